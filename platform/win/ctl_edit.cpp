// The edit control, single- and multi-line: typing within the limit,
// selections, the password character, the cue banner, tab stops, the
// clipboard and the selected-text selection (what a person selects there; a
// middle click pastes it), the caret, and the parent's EN_* notifications.
#include <algorithm>
#include <utility>

#include "platform/clipboard.h"
#include "platform/win/ctl.h"

namespace kez::win {
using namespace detail;

namespace {

constexpr int margin = 2;

struct edit_state {
  HFONT font = 0;
  std::u16string text;
  uint32_t anchor = 0, caret = 0;
  uint32_t limit = 30000;
  WCHAR password = 0;
  std::u16string cue;
  bool cue_focused = false;
  std::vector<int> tabs;  // dialog units; empty: every 32
  float scroll_x = 0, scroll_y = 0;
  bool selecting = false;
  // The selection last put in the selected-text selection, so a key that
  // leaves it as it was does not put it again.
  uint32_t offered_at = 0;
  std::u16string offered;
  WCHAR high = 0;  // the first half of a surrogate pair, until its second comes
};
states<edit_state> edits;

DWORD style_of(HWND h) { return DWORD(GetWindowLongW(h, GWL_STYLE)); }
bool multiline(HWND h) { return style_of(h) & ES_MULTILINE; }

uint32_t sel_min(const edit_state* s) { return std::min(s->anchor, s->caret); }
uint32_t sel_max(const edit_state* s) { return std::max(s->anchor, s->caret); }

std::u16string shown(HWND h, const edit_state* s) {
  if (!s->password || multiline(h)) return s->text;
  return std::u16string(s->text.size(), s->password);
}

gfx::text_format format_of(HWND h, const edit_state* s) {
  const gfx::gdi_font& f = font_of(s->font);
  gfx::text_format fmt = f.format();
  fmt.spacing_method = gfx::line_spacing_method::uniform;
  fmt.line_spacing = float(f.height());
  fmt.baseline = float(f.ascent());
  // Tab stops are in dialog units: a quarter of the average character width.
  float du = f.average_char_width() / 4.0f;
  if (s->tabs.empty())
    fmt.incremental_tab_stop = 32 * du;
  else if (s->tabs.size() == 1)
    fmt.incremental_tab_stop = std::max(1, s->tabs[0]) * du;
  else
    for (int t : s->tabs) fmt.tab_stops.push_back(float(t) * du);
  DWORD style = style_of(h);
  bool wrap = (style & ES_MULTILINE) && !(style & ES_AUTOHSCROLL);
  fmt.wrapping = wrap ? gfx::word_wrapping::wrap : gfx::word_wrapping::no_wrap;
  fmt.text_align = (style & 3) == ES_CENTER  ? gfx::text_alignment::center
                   : (style & 3) == ES_RIGHT ? gfx::text_alignment::trailing
                                             : gfx::text_alignment::leading;
  return fmt;
}

RECT text_area(HWND h) {
  RECT r;
  GetClientRect(h, &r);
  return RECT{r.left + margin, r.top + 1, r.right - margin, r.bottom - 1};
}

std::unique_ptr<gfx::text_layout> layout_of(HWND h, const edit_state* s) {
  RECT a = text_area(h);
  gfx::text_format fmt = format_of(h, s);
  // Alignment needs a width; a scrolled single line is laid out unbounded.
  float width = fmt.wrapping == gfx::word_wrapping::wrap || fmt.text_align != gfx::text_alignment::leading
                    ? float(a.right - a.left)
                    : 0;
  return std::make_unique<gfx::text_layout>(shown(h, s), fmt, width, 0);
}

// Where the text's origin sits in client coordinates.
POINT origin_of(HWND h, const edit_state* s, gfx::text_layout& l) {
  RECT a = text_area(h);
  float y = float(a.top) - s->scroll_y;
  if (!multiline(h) && (style_of(h) & 0x200)) {  // vertically centred single line
    y = float(a.top + (a.bottom - a.top - line_height(s->font)) / 2);
  }
  (void)l;
  return POINT{int(float(a.left) - s->scroll_x), int(y)};
}

void place_caret(HWND h, edit_state* s) {
  auto l = layout_of(h, s);
  float x = 0, y = 0;
  l->hit_test_text_position(s->caret, false, &x, &y);
  RECT a = text_area(h);
  int lh = line_height(s->font);
  // Keep the caret in view.
  float visible_w = float(a.right - a.left), visible_h = float(a.bottom - a.top);
  if (x - s->scroll_x > visible_w - 1) s->scroll_x = x - visible_w + 1;
  if (x < s->scroll_x) s->scroll_x = x;
  if (multiline(h)) {
    if (y + lh - s->scroll_y > visible_h) s->scroll_y = y + lh - visible_h;
    if (y < s->scroll_y) s->scroll_y = y;
  }
  POINT o = origin_of(h, s, *l);
  if (GetFocus() == h) SetCaretPos(o.x + int(x), o.y + int(y));
}

// A multi-line edit keeps its window's vertical bar in step: lines, the
// lines that show, the first one shown.
void update_bar(HWND h, edit_state* s) {
  if (!multiline(h) || !(style_of(h) & WS_VSCROLL)) return;
  auto l = layout_of(h, s);
  int lh = std::max(1, line_height(s->font));
  RECT a = text_area(h);
  int lines = int(l->metrics().line_count), shown = std::max(1, int(a.bottom - a.top) / lh);
  SCROLLINFO si{sizeof si,   SIF_RANGE | SIF_PAGE | SIF_POS, 0, std::max(0, lines - 1),
                UINT(shown), int(s->scroll_y) / lh,          0};
  SetScrollInfo(h, SB_VERT, &si, TRUE);
}

void changed(HWND h, edit_state* s) {
  place_caret(h, s);
  update_bar(h, s);
  InvalidateRect(h, nullptr, TRUE);
}

void scroll_lines(HWND h, edit_state* s, int first_line) {
  auto l = layout_of(h, s);
  int lh = std::max(1, line_height(s->font));
  RECT a = text_area(h);
  int lines = int(l->metrics().line_count), shown = std::max(1, int(a.bottom - a.top) / lh);
  s->scroll_y = float(std::clamp(first_line, 0, std::max(0, lines - shown)) * lh);
  update_bar(h, s);
  POINT o = origin_of(h, s, *l);
  float x = 0, y = 0;
  l->hit_test_text_position(s->caret, false, &x, &y);
  if (GetFocus() == h) SetCaretPos(o.x + int(x), o.y + int(y));
  InvalidateRect(h, nullptr, TRUE);
}

// Replaces the selection. A user's edit keeps within the limit (what does
// not fit is dropped, with EN_MAXTEXT when something was); EN_CHANGE follows.
bool replace(HWND h, edit_state* s, std::u16string_view with, bool user) {
  uint32_t a = sel_min(s), b = sel_max(s);
  std::u16string put(with);
  if (user) {
    size_t room = s->limit - std::min<size_t>(s->limit, s->text.size() - (b - a));
    if (put.size() > room) {
      put.resize(room);
      if (put.size() > 1 && put.back() >= 0xD800 && put.back() <= 0xDBFF) put.pop_back();
      command(h, EN_MAXTEXT);
      if (put.empty() && a == b) return false;
    }
  }
  s->text.replace(a, b - a, put);
  s->anchor = s->caret = a + uint32_t(put.size());
  detail::win(h)->text = s->text;
  changed(h, s);
  command(h, EN_UPDATE);
  command(h, EN_CHANGE);
  return true;
}

// One step left or right, over a CR LF pair and a surrogate pair as one.
uint32_t step(const std::u16string& t, uint32_t at, int dir) {
  if (dir < 0) {
    if (at == 0) return 0;
    uint32_t p = at - 1;
    if (p > 0 && ((t[p] == u'\n' && t[p - 1] == u'\r') ||
                  (t[p] >= 0xDC00 && t[p] <= 0xDFFF && t[p - 1] >= 0xD800 && t[p - 1] <= 0xDBFF)))
      p--;
    return p;
  }
  if (at >= t.size()) return uint32_t(t.size());
  uint32_t p = at + 1;
  if (p < t.size() &&
      ((t[at] == u'\r' && t[p] == u'\n') || (t[at] >= 0xD800 && t[at] <= 0xDBFF && t[p] >= 0xDC00 && t[p] <= 0xDFFF)))
    p++;
  return p;
}

uint32_t position_at(HWND h, edit_state* s, POINT client) {
  auto l = layout_of(h, s);
  POINT o = origin_of(h, s, *l);
  bool trailing = false, in = false;
  gfx::hit_test_metrics m = l->hit_test_point(float(client.x - o.x), float(client.y - o.y), &trailing, &in);
  uint32_t p = m.text_position + (trailing ? m.length : 0);
  return std::min<uint32_t>(p, uint32_t(s->text.size()));
}

// The selected text as it leaves the edit: UTF-8 with LF line ends; empty
// when nothing is selected or the text is hidden.
std::string selected_text(const edit_state* s) {
  if (s->password || sel_min(s) == sel_max(s)) return {};
  std::u16string part = s->text.substr(sel_min(s), sel_max(s) - sel_min(s));
  std::u16string lf;
  for (size_t i = 0; i < part.size(); i++)
    if (!(part[i] == u'\r' && i + 1 < part.size() && part[i + 1] == u'\n')) lf += part[i];
  return gfx::utf8_of(lf);
}

void copy(edit_state* s) {
  std::string utf8 = selected_text(s);
  if (utf8.empty()) return;
  auto& cb = platform::clipboard();
  if (!cb.open()) return;
  cb.empty();
  cb.set(platform::CLIP_TEXT, std::vector<uint8_t>(utf8.begin(), utf8.end()));
  cb.close();
}

// After a person changed the selection: a new one becomes the selected-text
// selection.
void offer_selection(edit_state* s) {
  uint32_t at = sel_min(s);
  std::u16string part = s->text.substr(at, sel_max(s) - at);
  if (part.empty() || s->password || (at == s->offered_at && part == s->offered)) return;
  s->offered_at = at;
  s->offered = part;
  platform::own_primary_text(selected_text(s));
}

// Text from the clipboard or the selected-text selection, in place of the
// selection.
void paste(HWND h, edit_state* s, const std::string& utf8) {
  // Both hold LF; an edit holds CR LF.
  std::u16string t;
  for (char16_t c : utf16_of(utf8)) {
    if (c == u'\n') t += u'\r';
    t += c;
  }
  if (!multiline(h)) t = t.substr(0, t.find(u'\r'));  // a single line takes the first line
  replace(h, s, t, true);
}

void paste(HWND h, edit_state* s) {
  auto& cb = platform::clipboard();
  std::vector<uint8_t> bytes;
  if (!cb.open()) return;
  bool got = cb.get(platform::CLIP_TEXT, bytes);
  cb.close();
  if (got) paste(h, s, std::string(bytes.begin(), bytes.end()));
}

void key_down(HWND h, edit_state* s, WPARAM vk) {
  bool shift = GetKeyState(VK_SHIFT) < 0, ctrl = GetKeyState(VK_CONTROL) < 0;
  uint32_t n = uint32_t(s->text.size()), to = s->caret;
  switch (vk) {
  case VK_LEFT:
    if (!shift && s->anchor != s->caret)
      to = sel_min(s);
    else
      to = step(s->text, s->caret, -1);
    break;
  case VK_RIGHT:
    if (!shift && s->anchor != s->caret)
      to = sel_max(s);
    else
      to = step(s->text, s->caret, 1);
    break;
  case VK_HOME:
  case VK_END: {
    if (ctrl || !multiline(h)) {
      to = vk == VK_HOME ? 0 : n;
      break;
    }
    size_t a = s->text.rfind(u'\n', s->caret ? s->caret - 1 : 0);
    if (vk == VK_HOME)
      to = s->caret == 0 || a == std::u16string::npos ? 0 : uint32_t(a + 1);
    else {
      size_t e = s->text.find(u'\r', s->caret);
      to = e == std::u16string::npos ? n : uint32_t(e);
    }
    if (vk == VK_HOME && s->caret > 0 && s->text[s->caret - 1] == u'\n') to = s->caret;
    break;
  }
  case VK_UP:
  case VK_DOWN: {
    if (!multiline(h)) {
      to = vk == VK_UP ? step(s->text, s->caret, -1) : step(s->text, s->caret, 1);
      break;
    }
    auto l = layout_of(h, s);
    float x = 0, y = 0;
    l->hit_test_text_position(s->caret, false, &x, &y);
    float ny = y + (vk == VK_UP ? -0.5f : 1.5f) * float(line_height(s->font));
    if (ny < 0) {
      to = 0;
      break;
    }
    bool trailing = false, in = false;
    gfx::hit_test_metrics m = l->hit_test_point(x, ny, &trailing, &in);
    to = std::min<uint32_t>(m.text_position + (trailing ? m.length : 0), n);
    break;
  }
  case VK_DELETE:
    if (style_of(h) & ES_READONLY) return;
    if (shift) {
      copy(s);
      replace(h, s, u"", true);
      return;
    }
    if (s->anchor == s->caret) s->caret = step(s->text, s->caret, 1);
    if (s->anchor != s->caret) replace(h, s, u"", true);
    return;
  default: return;
  }
  s->caret = to;
  if (!shift) s->anchor = to;
  changed(h, s);
}

void typed(HWND h, edit_state* s, WCHAR ch) {
  DWORD style = style_of(h);
  bool ml = style & ES_MULTILINE;
  switch (ch) {
  case 1: SendMessageW(h, EM_SETSEL, 0, -1); return;  // Ctrl+A
  case 3: copy(s); return;
  case 24:
    if (!(style & ES_READONLY)) copy(s), replace(h, s, u"", true);
    return;
  case 22: SendMessageW(h, WM_PASTE, 0, 0); return;  // as a paste from anywhere, so a superclass sees it
  }
  if (style & ES_READONLY) return;
  // A character beyond the 16-bit range comes as two halves, inserted as one.
  WCHAR high = std::exchange(s->high, WCHAR(0));
  if (ch >= 0xD800 && ch <= 0xDBFF) {
    s->high = ch;
    return;
  }
  if (ch >= 0xDC00 && ch <= 0xDFFF) {
    if (high) replace(h, s, std::u16string{high, ch}, true);
    return;
  }
  if (ch == 8) {
    if (s->anchor == s->caret) s->anchor = step(s->text, s->caret, -1);
    if (s->anchor != s->caret) replace(h, s, u"", true);
    return;
  }
  if (ch == 13 || ch == 10) {
    if (ml) replace(h, s, u"\r\n", true);
    return;
  }
  if (ch == 9) {
    if (ml) replace(h, s, u"\t", true);
    return;
  }
  if (ch < 32 || ch == 127) return;
  if ((style & ES_NUMBER) && (ch < '0' || ch > '9')) return;
  replace(h, s, std::u16string(1, ch), true);
}

void paint(HWND h, edit_state* s) {
  DWORD style = style_of(h);
  paint_scope p(h);
  auto& [dc, cr, r] = p.area;
  bool grey = (style & (WS_DISABLED | ES_READONLY));
  colours c =
      ask_colours(h, dc, grey ? WM_CTLCOLORSTATIC : WM_CTLCOLOREDIT, p.sys(grey ? COLOR_BTNFACE : COLOR_WINDOW),
                  p.sys((style & WS_DISABLED) ? COLOR_GRAYTEXT : COLOR_WINDOWTEXT));
  fill(cr, r, c.back);
  RECT a = text_area(h);
  cairo_save(cr);
  cairo_rectangle(cr, a.left, a.top, a.right - a.left, a.bottom - a.top);
  cairo_clip(cr);
  bool focused = GetFocus() == h;
  if (s->text.empty()) {
    // The cue banner shows in an empty field, while focused only when asked.
    if (!s->cue.empty() && (!focused || s->cue_focused))
      draw_text(dc, s->font, s->cue, a, gfx::DT_SINGLELINE | gfx::DT_NOPREFIX, p.sys(COLOR_GRAYTEXT));
  } else {
    auto l = layout_of(h, s);
    POINT o = origin_of(h, s, *l);
    cairo_t* target = cr;  // a lambda cannot capture a structured binding everywhere
    auto paint_text = [&](COLORREF colour) {
      cairo_set_source_rgb(target, (colour & 0xFF) / 255.0, (colour >> 8 & 0xFF) / 255.0, (colour >> 16 & 0xFF) / 255.0);
      l->draw(target, {float(o.x), float(o.y)}, font_of(s->font).antialias());
    };
    paint_text(c.text);
    uint32_t a0 = sel_min(s), a1 = sel_max(s);
    if (a0 != a1 && (focused || (style & ES_NOHIDESEL))) {
      auto boxes = l->hit_test_text_range(a0, a1 - a0, float(o.x), float(o.y));
      cairo_save(cr);
      for (auto& b : boxes) cairo_rectangle(cr, b.left, b.top, std::max(b.width, 3.0f), b.height);
      cairo_clip_preserve(cr);
      COLORREF hl = focused ? p.sys(COLOR_HIGHLIGHT) : RGB(204, 204, 204);
      cairo_set_source_rgb(cr, (hl & 0xFF) / 255.0, (hl >> 8 & 0xFF) / 255.0, (hl >> 16 & 0xFF) / 255.0);
      cairo_fill(cr);
      paint_text(focused ? p.sys(COLOR_HIGHLIGHTTEXT) : c.text);
      cairo_restore(cr);
    }
  }
  cairo_restore(cr);
}

}  // namespace

namespace detail {

LRESULT edit_proc(HWND h, UINT msg, WPARAM wp, LPARAM lp) {
  edit_state* s = edits.of_message(h, msg);
  switch (msg) {
  case WM_CREATE: {
    auto* cs = reinterpret_cast<CREATESTRUCTW*>(lp);
    if (cs->style & ES_PASSWORD) s->password = 0x25CF;
    if (cs->style & ES_MULTILINE) s->limit = 0xFFFFFFFF;
    s->text = detail::win(h)->text;
    return 0;
  }
  case WM_SETFONT: return keep_font(h, s->font, wp, lp);
  case WM_GETFONT: return LRESULT(s->font);
  case WM_SETTEXT: {
    std::u16string t = lp ? std::u16string(reinterpret_cast<const WCHAR*>(lp)) : std::u16string();
    // A multi-line edit holds no more than its limit, even when set.
    if (multiline(h) && t.size() > s->limit) t.resize(s->limit);
    s->text = t;
    detail::win(h)->text = t;
    s->anchor = s->caret = 0;
    s->scroll_x = s->scroll_y = 0;
    changed(h, s);
    if (!multiline(h)) command(h, EN_CHANGE);  // as a single-line edit does, and a multi-line one does not
    return 1;
  }
  case WM_GETTEXT:
  case WM_GETTEXTLENGTH: detail::win(h)->text = s->text; return DefWindowProcW(h, msg, wp, lp);
  case WM_GETDLGCODE: return 0x81 | (multiline(h) ? 4 : 0);  // DLGC_WANTARROWS | DLGC_WANTCHARS (| DLGC_WANTALLKEYS)
  case EM_GETSEL: {
    uint32_t a = sel_min(s), b = sel_max(s);
    if (wp) *reinterpret_cast<DWORD*>(wp) = a;
    if (lp) *reinterpret_cast<DWORD*>(lp) = b;
    return a > 0xFFFF || b > 0xFFFF ? -1 : LRESULT(MAKELPARAM(int(a), int(b)) & 0xFFFFFFFF);
  }
  case EM_SETSEL: {
    int64_t n = int64_t(s->text.size());
    int64_t a = int64_t(intptr_t(wp)), b = int64_t(lp);
    if (a == -1) {  // removes the selection, leaving the caret
      s->anchor = s->caret;
    } else {
      if (b < 0) b = n;
      s->anchor = uint32_t(std::clamp<int64_t>(a, 0, n));
      s->caret = uint32_t(std::clamp<int64_t>(b, 0, n));
    }
    changed(h, s);
    return 0;
  }
  case EM_REPLACESEL: {
    std::u16string t = lp ? std::u16string(reinterpret_cast<const WCHAR*>(lp)) : std::u16string();
    replace(h, s, t, false);
    return 0;
  }
  case EM_LIMITTEXT: s->limit = wp ? uint32_t(wp) : multiline(h) ? 0xFFFFFFFFu : 0x7FFFFFFEu; return 0;
  case EM_GETLIMITTEXT: return LRESULT(s->limit);
  case EM_SETPASSWORDCHAR:
    s->password = WCHAR(wp);
    SetWindowLongW(h, GWL_STYLE, LONG(wp ? style_of(h) | ES_PASSWORD : style_of(h) & ~DWORD(ES_PASSWORD)));
    changed(h, s);
    return 0;
  case EM_GETPASSWORDCHAR: return LRESULT(s->password);
  case EM_SETCUEBANNER:
    if (multiline(h)) return 0;  // single-line edits only
    s->cue = lp ? std::u16string(reinterpret_cast<const WCHAR*>(lp)) : std::u16string();
    s->cue_focused = wp != 0;
    InvalidateRect(h, nullptr, TRUE);
    return 1;
  case EM_GETCUEBANNER: {
    if (!wp || lp <= 0) return 0;
    size_t n = std::min<size_t>(s->cue.size(), size_t(lp) - 1);
    auto* out = reinterpret_cast<WCHAR*>(wp);
    std::copy_n(s->cue.data(), n, out);
    out[n] = 0;
    return 1;
  }
  case EM_SETTABSTOPS: {
    auto* stops = reinterpret_cast<const int*>(lp);
    if (wp && !stops) return 0;
    s->tabs.assign(stops, stops + wp);
    changed(h, s);
    return 1;
  }
  case EM_SETREADONLY:
    SetWindowLongW(h, GWL_STYLE, LONG(wp ? style_of(h) | ES_READONLY : style_of(h) & ~DWORD(ES_READONLY)));
    InvalidateRect(h, nullptr, TRUE);
    return 1;
  case EM_GETLINECOUNT: {
    LRESULT n = 1;
    for (size_t i = 0; i < s->text.size(); i++) n += s->text[i] == u'\n';
    return n;
  }
  case EM_POSFROMCHAR: {
    auto l = layout_of(h, s);
    POINT o = origin_of(h, s, *l);
    float x = 0, y = 0;
    l->hit_test_text_position(std::min<uint32_t>(uint32_t(wp), uint32_t(s->text.size())), false, &x, &y);
    return MAKELPARAM(o.x + int(x), o.y + int(y));
  }
  case EM_CHARFROMPOS: return LRESULT(position_at(h, s, lparam_point(lp)));
  case WM_SETFOCUS:
    CreateCaret(h, 0, 1, line_height(s->font));
    place_caret(h, s);
    ShowCaret(h);
    InvalidateRect(h, nullptr, TRUE);
    command(h, EN_SETFOCUS);
    return 0;
  case WM_KILLFOCUS:
    DestroyCaret();
    InvalidateRect(h, nullptr, TRUE);
    command(h, EN_KILLFOCUS);
    return 0;
  case WM_LBUTTONDOWN:
    SetFocus(h);
    SetCapture(h);
    s->selecting = true;
    s->caret = position_at(h, s, lparam_point(lp));
    if (!(wp & MK_SHIFT)) s->anchor = s->caret;
    changed(h, s);
    return 0;
  case WM_LBUTTONDBLCLK: {
    // A word: the run of letters and digits around the point.
    uint32_t p = position_at(h, s, lparam_point(lp)), a = p, b = p;
    auto word = [](char16_t c) { return c > 32 && c != u'\r' && c != u'\n' && c != u'\t'; };
    while (a > 0 && word(s->text[a - 1])) a--;
    while (b < s->text.size() && word(s->text[b])) b++;
    s->anchor = a, s->caret = b;
    changed(h, s);
    offer_selection(s);
    return 0;
  }
  case WM_MBUTTONDOWN: {
    // The selected text goes in at the point clicked, not in place of the
    // selection, as on the desktop.
    if (style_of(h) & ES_READONLY) return 0;
    std::string utf8;
    if (!platform::primary_text(utf8) || utf8.empty()) return 0;
    SetFocus(h);
    s->anchor = s->caret = position_at(h, s, lparam_point(lp));
    paste(h, s, utf8);
    return 0;
  }
  case WM_MOUSEMOVE:
    if (s->selecting && GetCapture() == h) {
      s->caret = position_at(h, s, lparam_point(lp));
      changed(h, s);
    }
    return 0;
  case WM_LBUTTONUP:
    if (s->selecting) {
      s->selecting = false;
      if (GetCapture() == h) ReleaseCapture();
      offer_selection(s);
    }
    return 0;
  case WM_KEYDOWN: key_down(h, s, wp); return 0;
  case WM_KEYUP: offer_selection(s); return 0;
  case WM_CHAR: typed(h, s, WCHAR(wp)); return 0;
  case WM_COPY: copy(s); return 0;
  case WM_CUT:
    copy(s);
    replace(h, s, u"", false);
    return 0;
  case WM_PASTE:
    if (!(style_of(h) & ES_READONLY)) paste(h, s);
    return 0;
  case WM_CLEAR: replace(h, s, u"", false); return 0;
  case WM_SIZE:
    place_caret(h, s);
    update_bar(h, s);
    return 0;
  case WM_VSCROLL: {
    if (!multiline(h)) return 0;
    int lh = std::max(1, line_height(s->font)), first = int(s->scroll_y) / lh;
    RECT a = text_area(h);
    int page = std::max(1, int(a.bottom - a.top) / lh);
    SCROLLINFO si{sizeof si, SIF_TRACKPOS, 0, 0, 0, 0, 0};
    GetScrollInfo(h, SB_VERT, &si);
    switch (LOWORD(wp)) {
    case SB_LINEUP: first--; break;
    case SB_LINEDOWN: first++; break;
    case SB_PAGEUP: first -= page; break;
    case SB_PAGEDOWN: first += page; break;
    case SB_THUMBTRACK:
    case SB_THUMBPOSITION: first = si.nTrackPos; break;
    default: return 0;
    }
    scroll_lines(h, s, first);
    return 0;
  }
  case WM_MOUSEWHEEL:
    if (multiline(h))
      scroll_lines(h, s, int(s->scroll_y) / std::max(1, line_height(s->font)) - 3 * int16_t(HIWORD(wp)) / 120);
    return 0;
  case WM_ENABLE: InvalidateRect(h, nullptr, TRUE); return 0;
  case WM_ERASEBKGND: return 1;
  case WM_PAINT: paint(h, s); return 0;
  }
  return DefWindowProcW(h, msg, wp, lp);
}

}  // namespace detail
}  // namespace kez::win
