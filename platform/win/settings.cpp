// What the desktop itself decides: its colours and theme (light, dark, high
// contrast), the dark theme of single windows and their frames, touch
// gestures and the input method; and the injected input that changes them.
#include <cstring>
#include <map>
#include <set>

#include "platform/win/controls.h"
#include "platform/win/internal.h"

namespace kez::win {
using namespace detail;

namespace {

layer::theme desktop = layer::theme::light;
bool apps_dark = false;  // the desktop asks applications for dark colours (its own stay as they are)

struct colour_entry {
  int index;
  COLORREF light, dark, contrast;
};
constexpr colour_entry palette[] = {
    {COLOR_WINDOW, RGB(255, 255, 255), RGB(32, 32, 32), RGB(0, 0, 0)},
    {COLOR_HIGHLIGHTTEXT, RGB(255, 255, 255), RGB(255, 255, 255), RGB(0, 0, 0)},
    {COLOR_WINDOWTEXT, RGB(0, 0, 0), RGB(255, 255, 255), RGB(255, 255, 255)},
    {COLOR_BTNTEXT, RGB(0, 0, 0), RGB(255, 255, 255), RGB(255, 255, 255)},
    {COLOR_BACKGROUND, RGB(0, 0, 0), RGB(0, 0, 0), RGB(0, 0, 0)},
    {COLOR_WINDOWFRAME, RGB(0, 0, 0), RGB(100, 100, 100), RGB(255, 255, 255)},
    {COLOR_BTNFACE, RGB(240, 240, 240), RGB(43, 43, 43), RGB(0, 0, 0)},
    {COLOR_SCROLLBAR, RGB(200, 200, 200), RGB(77, 77, 77), RGB(0, 0, 0)},
    {COLOR_ACTIVECAPTION, RGB(153, 180, 209), RGB(32, 32, 32), RGB(0, 0, 0)},
    {COLOR_HIGHLIGHT, RGB(0, 120, 215), RGB(0, 120, 215), RGB(26, 235, 255)},
    {COLOR_BTNSHADOW, RGB(160, 160, 160), RGB(100, 100, 100), RGB(255, 255, 255)},
    {COLOR_GRAYTEXT, RGB(109, 109, 109), RGB(150, 150, 150), RGB(63, 242, 63)},
    {COLOR_HOTLIGHT, RGB(0, 102, 204), RGB(153, 235, 255), RGB(255, 255, 0)},
};

COLORREF colour_in(layer::theme t, int index) {
  for (const colour_entry& e : palette)
    if (e.index == index) return t == layer::theme::dark ? e.dark : t == layer::theme::contrast ? e.contrast : e.light;
  return 0;
}

// Gesture records live from the WM_GESTURE that names them until closed.
std::map<HGESTUREINFO, GESTUREINFO> gestures;
HGESTUREINFO next_gesture = 0x100;
DWORD gesture_sequence = 0;

// The input method: one composition at a time; windows whose context was
// taken away; windows that took their own (they draw the composition); the
// font each context was given.
struct ime_state {
  std::u16string composing, result;
  std::map<HWND, HIMC> associated;
  std::set<HWND> own;
  std::map<HIMC, std::u16string> font;
} ime;

LONG copy_units(const std::u16string& text, void* out, DWORD bytes) {
  LONG size = LONG(text.size() * sizeof(char16_t));
  if (!out || !bytes) return size;
  if (bytes < DWORD(size)) return -1;  // IMM_ERROR_GENERAL: no room
  std::memcpy(out, text.data(), size_t(size));
  return size;
}

// Frames (menu bars, scroll bars) are painted apart from the client areas:
// the window's and its children's are painted again, then everything else.
void repaint_frames(window* w) {
  if (w->surface) paint_frame(w);
  for (HWND h : w->children)
    if (window* c = detail::win(h)) repaint_frames(c);
}

void redraw(HWND hwnd) {
  window* w = detail::win(hwnd);
  if (!w) return;
  repaint_frames(w);
  top_changed(detail::win(GetAncestor(hwnd, GA_ROOT)));
  RedrawWindow(hwnd, nullptr, 0, RDW_INVALIDATE | RDW_ERASE | RDW_ALLCHILDREN);
}

void redraw_all() {
  for (HWND top : st().tops) redraw(top);
}

}  // namespace

namespace detail {

void reset_settings() {
  desktop = layer::theme::light;
  apps_dark = false;
  gestures.clear();
  ime = ime_state{};
}

// A window without a theme of its own paints as the window it is in (or
// the one that owns it, for menus and dialogs) does.
bool dark_colours(HWND hwnd) {
  if (desktop == layer::theme::dark) return true;
  if (desktop == layer::theme::contrast) return false;
  for (window* w = detail::win(hwnd); w; w = detail::win(w->parent ? w->parent : w->owner))
    if (w->themed) return w->dark;
  return false;
}

COLORREF sys_colour(HWND hwnd, int index) {
  return colour_in(dark_colours(hwnd) ? layer::theme::dark : desktop, index);
}

// DefWindowProcW's part for gestures and the input method: a gesture record
// is closed; a result text comes in as characters.
bool input_default(HWND hwnd, UINT msg, WPARAM wparam, LPARAM lparam, LRESULT* result) {
  switch (msg) {
  case WM_GESTURE: CloseGestureInfoHandle(HGESTUREINFO(lparam)); break;
  case WM_IME_COMPOSITION:
    if (lparam & GCS_RESULTSTR)
      for (char16_t unit : ime.result) post_input(hwnd, WM_IME_CHAR, unit, 1);
    break;
  case WM_IME_CHAR: post_input(hwnd, WM_CHAR, wparam, 1); break;
  default: return false;
  }
  *result = 0;
  return true;
}

bool ime_composes_itself(HWND hwnd) { return ime.own.count(hwnd) && detail::win(hwnd); }

void desktop_theme_changed(bool prefers_dark) {
  apps_dark = prefers_dark;
  for (HWND top : st().tops) post_input(top, WM_THEMECHANGED, 0, 0);
  redraw_all();
}

}  // namespace detail

COLORREF GetSysColor(int index) { return colour_in(desktop, index); }

BOOL SystemParametersInfoW(UINT action, UINT param, void* out, UINT) {
  if (action != SPI_GETHIGHCONTRAST || !out || param != sizeof(HIGHCONTRASTW)) return 0;
  auto* hc = static_cast<HIGHCONTRASTW*>(out);
  if (hc->cbSize != sizeof(HIGHCONTRASTW)) return 0;
  hc->dwFlags = desktop == layer::theme::contrast ? DWORD(HCF_HIGHCONTRASTON) : 0u;
  hc->lpszDefaultScheme = nullptr;
  return 1;
}

int SetWindowTheme(HWND hwnd, const WCHAR* app_name, const WCHAR* id_list) {
  window* w = detail::win(hwnd);
  if (!w) return int(0x80070006);  // E_HANDLE
  (void)id_list;
  w->themed = app_name != nullptr;  // none: back to the theme around it
  w->dark = app_name && std::u16string_view(app_name) == u"DarkMode_Explorer";
  redraw(hwnd);
  return 0;
}

int DwmSetWindowAttribute(HWND hwnd, DWORD attribute, const void* value, DWORD size) {
  window* w = detail::win(hwnd);
  if (!w || w->parent) return int(0x80070006);
  if (attribute != DWMWA_USE_IMMERSIVE_DARK_MODE || !value || size != sizeof(BOOL)) return int(0x80070057);
  BOOL on;
  std::memcpy(&on, value, sizeof on);
  w->dark_frame = on != 0;
  if (w->surface) paint_frame(w), top_changed(w);
  if (st().mode == layer::mode::x11) x11_dark_variant(w);
  return 0;
}

int DwmGetWindowAttribute(HWND hwnd, DWORD attribute, void* value, DWORD size) {
  window* w = detail::win(hwnd);
  if (!w || w->parent) return int(0x80070006);
  if (attribute != DWMWA_USE_IMMERSIVE_DARK_MODE || !value || size != sizeof(BOOL)) return int(0x80070057);
  BOOL on = w->dark_frame;
  std::memcpy(value, &on, sizeof on);
  return 0;
}

BOOL ShouldAppsUseDarkMode() { return desktop == layer::theme::dark || apps_dark; }

BOOL DwmIsCompositionEnabled(BOOL* enabled) {
  if (!enabled) return int(0x80070057);
  *enabled = 1;
  return 0;
}

BOOL GetGestureInfo(HGESTUREINFO info, GESTUREINFO* out) {
  auto it = gestures.find(info);
  if (it == gestures.end() || !out || out->cbSize != sizeof(GESTUREINFO)) return 0;
  *out = it->second;
  return 1;
}

BOOL CloseGestureInfoHandle(HGESTUREINFO info) { return gestures.erase(info) ? 1 : 0; }

HIMC ImmGetContext(HWND hwnd) {
  if (!detail::win(hwnd)) return 0;
  auto it = ime.associated.find(hwnd);
  return it == ime.associated.end() ? hwnd : it->second;
}

HIMC ImmAssociateContext(HWND hwnd, HIMC context) {
  HIMC old = ImmGetContext(hwnd);
  if (!detail::win(hwnd)) return 0;
  if (context == hwnd) ime.associated.erase(hwnd), ime.own.insert(hwnd);
  else ime.associated[hwnd] = context, ime.own.erase(hwnd);
  return old;
}

LONG ImmGetCompositionStringW(HIMC context, DWORD index, void* out, DWORD bytes) {
  if (!detail::win(context)) return -1;
  if (index == GCS_COMPSTR) return copy_units(ime.composing, out, bytes);
  if (index == GCS_RESULTSTR) return copy_units(ime.result, out, bytes);
  return -1;
}

BOOL ImmSetCompositionFontW(HIMC context, const LOGFONTW* font) {
  if (!detail::win(context) || !font) return 0;
  ime.font[context] = std::u16string(font->lfFaceName);
  return 1;
}

namespace layer {

std::u16string ime_font_name(HWND hwnd) {
  auto it = ime.font.find(ImmGetContext(hwnd));
  return it == ime.font.end() ? std::u16string() : it->second;
}

void inject_gesture(DWORD id, uint64_t argument) {
  action_input([id, argument] {
    POINT at = st().mouse;
    HWND under = hit_window(at, nullptr);
    if (!under) return;
    HWND top = GetAncestor(under, GA_ROOT);
    GESTUREINFO g{};
    g.cbSize = sizeof g;
    g.dwFlags = id == GID_BEGIN ? DWORD(GF_BEGIN) : id == GID_END ? DWORD(GF_END) : 0u;
    g.dwID = id;
    g.hwndTarget = top;
    g.ptsLocation = POINTS{int16_t(at.x), int16_t(at.y)};
    g.dwSequenceID = ++gesture_sequence;
    g.ullArguments = argument;
    HGESTUREINFO h = next_gesture++;
    gestures[h] = g;
    post_input(top, WM_GESTURE, id, LPARAM(h));
  });
}

void inject_ime(ime_step step, const std::u16string& text) {
  action_input([step, text] {
    HWND target = st().focus ? st().focus : st().active;
    if (!target) return;
    if (!ImmGetContext(target)) {
      // No input method for this window: what it would have made is typed.
      if (step == ime_step::result)
        for (char16_t unit : text) post_input(target, WM_CHAR, unit, 1);
      return;
    }
    switch (step) {
    case ime_step::start:
      ime.composing.clear();
      post_input(target, WM_IME_STARTCOMPOSITION, 0, 0);
      break;
    case ime_step::compose:
      // The key that changed the composition went to the input method.
      post_input(target, WM_KEYDOWN, VK_PROCESSKEY, 1);
      ime.composing = text;
      post_input(target, WM_IME_COMPOSITION, text.empty() ? 0 : text.back(), GCS_COMPSTR);
      break;
    case ime_step::result:
      ime.composing.clear();
      ime.result = text;
      post_input(target, WM_IME_COMPOSITION, text.empty() ? 0 : text.front(), GCS_RESULTSTR);
      break;
    case ime_step::end:
      ime.composing.clear();
      post_input(target, WM_IME_ENDCOMPOSITION, 0, 0);
      break;
    }
  });
}

void inject_display(const std::vector<screen>& screens) {
  action_input([screens] {
    set_monitors(screens);
    const RECT& r = screens.front().rect;
    for (HWND top : st().tops) post_input(top, WM_DISPLAYCHANGE, 32, MAKELPARAM(r.right - r.left, r.bottom - r.top));
  });
}

void inject_theme(theme t) {
  action_input([t] {
    desktop = t;
    for (HWND top : st().tops) post_input(top, WM_THEMECHANGED, 0, 0);
    redraw_all();
  });
}

}  // namespace layer
}  // namespace kez::win
