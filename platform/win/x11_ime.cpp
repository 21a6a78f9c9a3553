// Composing on the spot with the X input method: where the method offers to
// hand over what is being composed (preedit callbacks), the composition
// reaches the focused window as the composition messages, and the window
// draws it where it edits; the committed text arrives as typed characters.
// Windows of the layer's own controls keep the method's window over the spot.
#include <X11/Xlib.h>

#include <algorithm>
#include <string>

#include "platform/win/internal.h"

namespace kez::win::detail {

namespace {

std::u32string composing;  // one composition at a time, over all windows

std::u32string of_xim_text(const XIMText* t) {
  std::u32string out;
  if (!t) return out;
  if (t->encoding_is_wchar) {
    if (t->string.wide_char)
      for (unsigned short i = 0; i < t->length; i++) out += char32_t(t->string.wide_char[i]);
    return out;
  }
  // The method speaks the locale it was opened in, UTF-8.
  const char* s = t->string.multi_byte;
  if (!s) return out;
  for (size_t i = 0; s[i];) {
    auto c = static_cast<unsigned char>(s[i]);
    int extra = c < 0x80 ? 0 : c >= 0xF0 ? 3 : c >= 0xE0 ? 2 : c >= 0xC0 ? 1 : -1;
    if (extra < 0) break;
    char32_t cp = extra ? c & (0x3F >> extra) : c;
    int k = 1;
    for (; k <= extra && s[i + size_t(k)]; k++) cp = cp << 6 | (static_cast<unsigned char>(s[i + size_t(k)]) & 0x3F);
    if (k <= extra) break;
    out += cp;
    i += size_t(extra) + 1;
  }
  return out;
}

std::u16string utf16(const std::u32string& s) {
  std::u16string out;
  for (char32_t cp : s)
    if (cp >= 0x10000) out += char16_t(0xD800 + ((cp - 0x10000) >> 10)), out += char16_t(0xDC00 + (cp & 0x3FF));
    else out += char16_t(cp);
  return out;
}

int preedit_start(XIC, XPointer, XPointer) {
  composing.clear();
  layer::inject_ime(layer::ime_step::start);
  return -1;  // no limit on its length
}

void preedit_draw(XIC, XPointer, XPointer data) {
  auto* d = reinterpret_cast<XIMPreeditDrawCallbackStruct*>(data);
  if (!d) return;
  size_t first = std::min(composing.size(), size_t(std::max(d->chg_first, 0)));
  size_t length = std::min(composing.size() - first, size_t(std::max(d->chg_length, 0)));
  composing.replace(first, length, of_xim_text(d->text));
  layer::inject_ime(layer::ime_step::compose, utf16(composing));
}

void preedit_done(XIC, XPointer, XPointer) {
  composing.clear();
  layer::inject_ime(layer::ime_step::end);
}

void preedit_caret(XIC, XPointer, XPointer) {}  // the window keeps its caret at the composition's end

constexpr XIMStyle inline_style = XIMPreeditCallbacks | XIMStatusNothing;

}  // namespace

bool x11_ime_offers_inline(XIM im) {
  XIMStyles* styles = nullptr;
  bool yes = false;
  if (im && !XGetIMValues(im, XNQueryInputStyle, &styles, nullptr) && styles) {
    for (int i = 0; i < styles->count_styles; i++) yes = yes || styles->supported_styles[i] == inline_style;
    XFree(styles);
  }
  return yes;
}

XIC x11_ime_inline_context(XIM im, unsigned long xid) {
  // The callbacks are called with the context, whatever the record's type
  // says (the start callback's answer is read too).
  auto proc = [](auto f) { return reinterpret_cast<XIMProc>(reinterpret_cast<void (*)()>(f)); };
  static XIMCallback start{nullptr, proc(preedit_start)};
  static XIMCallback draw{nullptr, proc(preedit_draw)};
  static XIMCallback done{nullptr, proc(preedit_done)};
  static XIMCallback caret{nullptr, proc(preedit_caret)};
  XVaNestedList pre = XVaCreateNestedList(0, XNPreeditStartCallback, &start, XNPreeditDrawCallback, &draw,
                                          XNPreeditDoneCallback, &done, XNPreeditCaretCallback, &caret, nullptr);
  XIC ic = XCreateIC(im, XNInputStyle, inline_style, XNClientWindow, ::Window(xid), XNFocusWindow, ::Window(xid),
                     XNPreeditAttributes, pre, nullptr);
  XFree(pre);
  return ic;
}

void x11_ime_forget() { composing.clear(); }

}  // namespace kez::win::detail
