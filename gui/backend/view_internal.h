// What the backend's files share: face and event type codes, the state of
// the window system's side of the backend, and the routines one file
// calls in another. Only gui/backend/view*.cpp include it.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

#include "gui/backend/d2d.h"
#include "gui/backend/view.h"
#include "platform/win/controls.h"
#include "runtime/cell.h"

namespace kez::gui::view {

using namespace kez::win;

enum face_type : int {
  T_UNKNOWN = -1, T_WINDOW, T_BUTTON, T_TOGGLE, T_CHECK, T_RADIO, T_FIELD, T_AREA, T_TEXT, T_TEXT_LIST, T_PROGRESS,
  T_SLIDER, T_DROP_DOWN, T_DROP_LIST, T_BASE, T_PANEL, T_TAB_PANEL, T_GROUP_BOX, T_CAMERA, T_SCROLLER, T_RICH_TEXT,
  T_CALENDAR, T_SCREEN, T_COUNT,
};

// Event type codes.
enum ev : int32_t {
  EV_DOWN = 1, EV_UP, EV_MID_DOWN, EV_MID_UP, EV_ALT_DOWN, EV_ALT_UP, EV_AUX_DOWN, EV_AUX_UP, EV_CLICK, EV_DBL_CLICK,
  EV_WHEEL, EV_OVER, EV_KEY, EV_KEY_DOWN, EV_KEY_UP, EV_IME, EV_FOCUS, EV_UNFOCUS, EV_ENTER, EV_ZOOM, EV_PAN,
  EV_ROTATE, EV_TWO_TAP, EV_PRESS_TAP, EV_SELECT, EV_CHANGE, EV_MENU, EV_CLOSE, EV_MOVE, EV_RESIZE, EV_MOVING,
  EV_RESIZING, EV_TIME, EV_DRAWING, EV_SCROLL,
};

struct key_name {
  uint32_t vk;
  const char* name;
};

inline constexpr key_name key_names[] = {
    {0x13, "pause"}, {0x14, "caps-lock"}, {0x21, "page-up"}, {0x22, "page-down"}, {0x23, "end"}, {0x24, "home"},
    {0x25, "left"}, {0x26, "up"}, {0x27, "right"}, {0x28, "down"}, {0x2D, "insert"}, {0x2E, "delete"},
    {0x70, "F1"}, {0x71, "F2"}, {0x72, "F3"}, {0x73, "F4"}, {0x74, "F5"}, {0x75, "F6"}, {0x76, "F7"}, {0x77, "F8"},
    {0x78, "F9"}, {0x79, "F10"}, {0x7A, "F11"}, {0x7B, "F12"}, {0x90, "num-lock"}, {0x91, "scroll-lock"},
    {0xA0, "left-shift"}, {0xA1, "right-shift"}, {0xA2, "left-control"}, {0xA3, "right-control"},
    {0xA4, "left-alt"}, {0xA5, "right-alt"}, {0x5B, "left-command"}, {0x5C, "right-command"},
};

// view.cpp
uint32_t canon(const char* name);
cell facet(const cell* face, int32_t index);
cell* facet_slot(const cell* face, int32_t index);
void set_facet(const cell* face, int32_t index, const cell& value);
int type_of_word(const cell* w);
int face_type_of(const cell* face);
bool base_like(int t);
bool is_true(const cell* v);
bool is_false(const cell* v);
bool read_xy(const cell* v, double& x, double& y);
cell* block_at(const cell* b, int32_t n);
int32_t block_length(const cell* b);
std::u16string text_of(const cell* v);
bool text_like(const cell* v);
extern HINSTANCE instance;
extern bool windows8_plus, windows10_plus, windows11_plus, pre_vista;
extern uint32_t dpi_value;
extern double dpi_factor;
extern HWND main_window;
extern MSG* current_msg;
extern MSG spare_msg;
extern MSG* event_msg;
extern int32_t loop_count, exit_count;
extern int64_t modifier_cache;
extern int32_t last_key;
extern uint32_t pending_char;
extern bool ime_composing;
extern std::u16string ime_text;
extern int64_t gesture_zoom_base;
extern double gesture_zoom;
extern LPARAM last_mouse;
extern HWND hover_window, pressed_window, down_window;
extern POINT right_click;
extern int32_t menu_item;
extern HMENU menu_handle, context_menu;
extern HWND menu_window;
extern bool in_size_move;
void push_dpi_for(HWND hwnd, uint32_t& saved);
void pop_dpi(uint32_t saved);
void dpi_for_rect(double x, double y, double w, double h);
bool face_window_q(HWND hwnd);
void store_face(HWND hwnd, const cell* face);
cell get_state(const cell* face);
int32_t change_mask(const cell* face);
void set_change_mask(const cell* face, int32_t mask);
uint32_t face_flags(const cell* face);
double clamp_ratio(const cell* v);
cell option(const cell* face, const char* key);
extern HFONT default_font;
HFONT font_for(const cell* face);
void set_face_font(HWND hwnd, const cell* face);

// view_events.cpp
int call_guarded(const cell* fn, cell* args, int32_t count, const char* name);
bool get_event_window_face(HWND& hwnd);
bool read_field(const cell* e, int32_t index, cell* out);
int process_input(MSG* msg);
int send_event_for(HWND control, int32_t extra, int32_t type);
void process_command(HWND hwnd, WPARAM wparam, LPARAM lparam);
void scroll_control(HWND hwnd, UINT msg, WPARAM wparam, HWND control);
void gesture(HWND hwnd, WPARAM id, LPARAM info);
void ime_message(HWND hwnd, UINT msg, WPARAM wparam, LPARAM lparam);
bool os_send_event(const cell* e_in, bool queued);

// view_controls.cpp
bool menu_bar_q(const cell* spec, int type);
HMENU build_menu(const cell* spec_in, HMENU menu);
MSG* cursor_msg();
void send_menu_event(HWND hwnd);
bool show_context_menu(MSG* msg, int x, int y);
void sync_text(HWND hwnd, const cell* face_in, int32_t item);
void set_check_state(HWND hwnd, const cell* data, bool three_state, uint32_t flags);
void sync_check_data(HWND hwnd, const cell* face);
double size_extent(const cell* face, bool* vertical);
void set_progress_or_slider(HWND hwnd, const cell* face, int type, bool set_range);
void slider_to_data(HWND hwnd, const cell* face);
void scroller_to_data(const cell* face, const SCROLLINFO& si);
void set_tabs_from_data(HWND hwnd, const cell* face);
LRESULT tab_changing(HWND hwnd);
void tab_changed(HWND hwnd);
void select_tab(HWND hwnd, int index);
void set_list_items(HWND hwnd, const cell* face, bool combo, int type);
void update_list_data(HWND hwnd, const cell* face_in, const cell* word, const cell* target, uint32_t act, int32_t index, int32_t part, bool combo, int type);
HBITMAP make_dib(HDC dc, int w, int h, void** bits);
void set_button_image(HWND hwnd, const cell* face);
void read_calendar_date(HWND hwnd, const cell* face);
void set_calendar_date(HWND hwnd, const cell* face);
void set_calendar_colors(HWND hwnd, const cell* face);
void set_cursor(HWND hwnd, const cell* face);
void set_hint(HWND hwnd, const cell* face);
void set_tabs(HWND hwnd, const cell* face);
void set_caret_size(HWND hwnd, const cell* face);
bool owns_caret(HWND hwnd);
bool caret_face_shown(const cell* face);
void init_caret(HWND hwnd, const cell* face);
void raise_edit_limit(HWND hwnd, size_t more);
void get_text_extent(HWND hwnd, const cell* face, const std::u16string* typed);
LRESULT control_colors(HWND parent, UINT msg, WPARAM wparam, LPARAM lparam, bool* handled);
LRESULT custom_draw(const NMCUSTOMDRAW* cd);

// view_windows.cpp
extern d2d::draw_ctx* drawing_ctx;
extern HWND drawing_window;
bool base_layered_q(const cell* face);
bool layered_q(HWND hwnd);
void update_base(HWND hwnd);
void timer_proc(HWND hwnd, UINT, UINT_PTR, DWORD);
extern const cell* creating_face;
void init_default_font();
void init_metrics();
bool support_dark_mode();
void set_dark_mode(HWND hwnd, bool dark, bool frame);
int32_t face_to_edit_position(const std::u16string& t, int32_t at);
std::u16string edit_text(HWND hwnd);
void register_classes();
bool face_to_image(const cell* face_in, cell* result);

// view_camera.cpp
void camera_destroy(HWND hwnd);
void camera_open(HWND hwnd, const cell* face);
void camera_select(HWND hwnd, const cell* face, const cell* selected);
void camera_grab(HWND hwnd, const cell* face);
LRESULT camera_wnd_proc(HWND hwnd, UINT msg, WPARAM wparam, LPARAM lparam);

// view_changes.cpp
HWND os_make_view(const cell* face, HWND parent);
void change_pane(const cell* pane);
void os_update_view(const cell* face);
void os_update_views(const cell* faces_in);
void free_faces(const cell* face_in, bool close);
void os_show_window(HWND hwnd);

// view_requesters.cpp
cell* os_request_file(const cell* title, const cell* name, const cell* filter, bool save, bool multi);
cell* os_request_dir(const cell* title, const cell* dir, bool keep);

// Leaves the scope whatever happens inside it.
struct dpi_scope {
  uint32_t saved;
  explicit dpi_scope(HWND hwnd) { push_dpi_for(hwnd, saved); }
  ~dpi_scope() { pop_dpi(saved); }
};

}  // namespace kez::gui::view
