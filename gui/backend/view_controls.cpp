// The native controls' data: menus built from a face's menu spec, and
// each control's state kept in step with its face (texts, checks, ranges,
// tabs, list items, button images, the calendar), options such as the
// cursor, hint and caret, and the colours a control asks its parent for.
#include "gui/backend/view_internal.h"

#include <cstring>
#include <string>
#include <vector>

#include "gui/backend/d2d.h"
#include "gui/backend/draw.h"
#include "gui/backend/event.h"
#include "gui/backend/font.h"
#include "gui/backend/text_box.h"
#include "gui/backend/utils.h"
#include "platform/clipboard.h"
#include "platform/video_frames.h"
#include "platform/win/controls.h"
#include "runtime/arrays.h"
#include "runtime/collector.h"
#include "runtime/console.h"
#include "runtime/cycles.h"
#include "runtime/datatypes/block.h"
#include "runtime/datatypes/date.h"
#include "runtime/datatypes/float.h"
#include "runtime/datatypes/image.h"
#include "runtime/datatypes/integer.h"
#include "runtime/datatypes/logic.h"
#include "runtime/datatypes/none.h"
#include "runtime/datatypes/percent.h"
#include "runtime/datatypes/point.h"
#include "runtime/datatypes/string.h"
#include "runtime/datatypes/symbol.h"
#include "runtime/datatypes/word.h"
#include "runtime/error_ids.h"
#include "runtime/image_os.h"
#include "runtime/interpreter.h"
#include "runtime/memory.h"
#include "runtime/ownership.h"
#include "runtime/runtime.h"
#include "runtime/stack.h"
#include "runtime/system_stub.h"

namespace kez::gui::view {

// ---------------------------------------------------------------- menus

bool menu_bar_q(const cell* spec, int type) {
  if (type != T_WINDOW || block_length(spec) == 0) return false;
  cell* first = block_at(spec, 0);
  return !(type_of(first) == TYPE_WORD && symbol::resolve(first->w2) == canon("popup"));
}

HMENU build_menu(const cell* spec_in, HMENU menu) {
  if (!block::any_block_q(type_of(spec_in))) return 0;
  cell spec_cell = *spec_in;
  collector::root_cells keep(&spec_cell);
  const cell* spec = &spec_cell;
  int32_t n = block_length(spec);
  UINT position = 0;
  uint32_t separator = canon("---");
  for (int32_t i = 0; i < n; ++i) {
    cell v = *block_at(spec, i);
    MENUITEMINFOW info{};
    info.cbSize = sizeof info;
    if (type_of(&v) == TYPE_STRING) {
      info.fMask = MIIM_STRING | MIIM_ID | MIIM_DATA;
      info.fType = MFT_STRING;
      info.dwItemData = uintptr_t(-1);
      cell* next = i + 1 < n ? block_at(spec, i + 1) : nullptr;
      if (next && type_of(next) == TYPE_BLOCK) {
        cell sub = *next;
        info.hSubMenu = build_menu(&sub, CreatePopupMenu());
        info.fMask |= MIIM_SUBMENU;
        ++i;
      } else if (next && type_of(next) == TYPE_WORD) {
        info.dwItemData = next->w2;
        ++i;
      }
      std::u16string text = utf16_of(&v);
      info.dwTypeData = text.data();
      info.cch = UINT(text.size());
      info.wID = position;
      InsertMenuItemW(menu, position, TRUE, &info);
      ++position;
    } else if (type_of(&v) == TYPE_WORD && symbol::resolve(v.w2) == separator) {
      info.fMask = MIIM_FTYPE | MIIM_ID | MIIM_DATA;
      info.fType = MFT_SEPARATOR;
      info.dwItemData = uintptr_t(-1);
      info.wID = position;
      InsertMenuItemW(menu, position, TRUE, &info);
      ++position;
    }
  }
  return menu;
}
namespace {

int32_t get_menu_item_id(HMENU menu, int32_t position) {
  MENUITEMINFOW info{};
  info.cbSize = sizeof info;
  info.fMask = MIIM_DATA;
  if (!GetMenuItemInfoW(menu, UINT(position), TRUE, &info)) return -1;
  return int32_t(info.dwItemData);
}

}  // namespace

MSG* cursor_msg() {
  if (current_msg) return current_msg;
  DWORD pos = GetMessagePos();
  spare_msg = MSG{};
  spare_msg.pt = POINT{GET_X_LPARAM(LPARAM(pos)), GET_Y_LPARAM(LPARAM(pos))};
  return &spare_msg;
}

void send_menu_event(HWND hwnd) {
  int32_t id = get_menu_item_id(menu_handle, menu_item);
  MSG* m = cursor_msg();
  HWND saved = m->hwnd;
  m->hwnd = menu_window ? menu_window : hwnd;
  make_event(m, id, EV_MENU);
  m->hwnd = saved;
  if (context_menu) DestroyMenu(context_menu);
  context_menu = 0;
  menu_window = 0;
  menu_handle = 0;
  menu_item = -1;
}

bool show_context_menu(MSG* msg, int x, int y) {
  cell face;
  HWND hwnd = msg->hwnd;
  if (!get_event_window_face(hwnd) || !window_face(hwnd, &face)) return false;
  menu_item = -1;
  menu_handle = 0;
  cell spec = facet(&face, FACET_MENU);
  if (!block::any_block_q(type_of(&spec)) || menu_bar_q(&spec, face_type_of(&face))) return false;
  collector::root_cells keep(&spec);
  HWND owner = GetParent(hwnd);
  if (!owner) owner = hwnd;
  menu_window = hwnd;
  context_menu = build_menu(&spec, CreatePopupMenu());
  TrackPopupMenuEx(context_menu, TPM_LEFTBUTTON, x, y, owner, nullptr);
  return true;
}

// ---------------------------------------------------------------- widget helpers

void sync_text(HWND hwnd, const cell* face_in, int32_t item) {
  cell face = *face_in;
  collector::root_cells keep(&face);
  LRESULT len = item < 0 ? SendMessageW(hwnd, WM_GETTEXTLENGTH, 0, 0) : SendMessageW(hwnd, CB_GETLBTEXTLEN, WPARAM(item), 0);
  if (len < 0) return;
  std::u16string buf(size_t(len) + 1, u'\0');
  if (len > 0) {
    if (item < 0) SendMessageW(hwnd, WM_GETTEXT, WPARAM(len + 1), LPARAM(buf.data()));
    else SendMessageW(hwnd, CB_GETLBTEXT, WPARAM(item), LPARAM(buf.data()));
  }
  cell s;
  string::make_at_unit(&s, uint32_t(len + 1), 2);
  collector::root_cells keep_s(&s);
  // Leniently: a widget may hold half a surrogate pair, and this runs outside
  // any handler's catch.
  if (len > 0) string::load_utf16(reinterpret_cast<const uint16_t*>(buf.data()), size_t(len), &s, false, true);
  set_facet(&face, FACET_TEXT, s);
}

// BM_SETCHECK from data: indeterminate only for a three-state check asked so.
void set_check_state(HWND hwnd, const cell* data, bool three_state, uint32_t flags) {
  WPARAM w;
  if (type_of(data) == TYPE_NONE) w = three_state && (flags & FACET_FLAGS_TRI_STATE) ? BST_INDETERMINATE : BST_UNCHECKED;
  else if (type_of(data) == TYPE_LOGIC) w = data->w1 ? BST_CHECKED : BST_UNCHECKED;
  else w = BST_CHECKED;
  SendMessageW(hwnd, BM_SETCHECK, w, 0);
}

void sync_check_data(HWND hwnd, const cell* face) {
  LRESULT s = SendMessageW(hwnd, BM_GETCHECK, 0, 0);
  cell v;
  if (s == BST_INDETERMINATE) none::make_at(&v);
  else logic::make_at(&v, s == BST_CHECKED);
  set_facet(face, FACET_DATA, v);
}

double size_extent(const cell* face, bool* vertical) {
  cell size = facet(face, FACET_SIZE);
  double w = 0, h = 0;
  read_xy(&size, w, h);
  if (vertical) *vertical = h > w;
  return w > h ? w : h;
}

void set_progress_or_slider(HWND hwnd, const cell* face, int type, bool set_range) {
  bool vertical;
  double extent = size_extent(face, &vertical);
  cell data = facet(face, FACET_DATA);
  double ratio = type_of(&data) == TYPE_FLOAT ? float_::get(&data) : type_of(&data) == TYPE_PERCENT ? percent::get(&data) : 0.0;
  int32_t pos = int32_t(ratio * extent);
  if (type == T_SLIDER) {
    if (set_range) SendMessageW(hwnd, TBM_SETRANGE, 1, MAKELPARAM(0, int(extent)));
    SendMessageW(hwnd, TBM_SETPOS, 1, vertical ? int32_t(extent) - pos : pos);
  } else {
    if (set_range) SendMessageW(hwnd, PBM_SETRANGE, 0, MAKELPARAM(0, int(extent)));
    SendMessageW(hwnd, PBM_SETPOS, WPARAM(pos), 0);
  }
}

// The slider's position as its data ratio; a vertical slider counts from the bottom.
void slider_to_data(HWND hwnd, const cell* face) {
  bool vertical;
  double extent = size_extent(face, &vertical);
  LRESULT pos = SendMessageW(hwnd, TBM_GETPOS, 0, 0);
  if (vertical) pos = LRESULT(extent) - pos;
  cell d;
  float_::make_at(&d, extent > 0 ? double(pos) / extent : 0.0);
  set_facet(face, FACET_DATA, d);
}

void scroller_to_data(const cell* face, const SCROLLINFO& si) {
  double range = double(si.nMax - si.nMin);
  cell d, p;
  float_::make_at(&d, range > 0 ? (si.nPos - si.nMin) / range : 0.0);
  percent::make_at(&p, range > 0 ? si.nPage / range : 0.0);
  set_facet(face, FACET_DATA, d);
  set_facet(face, FACET_SELECTED, p);
}

void set_tabs_from_data(HWND hwnd, const cell* face) {
  SendMessageW(hwnd, TCM_DELETEALLITEMS, 0, 0);
  cell data = facet(face, FACET_DATA);
  int32_t n = block_length(&data), count = 0;
  for (int32_t i = 0; i < n; ++i) {
    cell v = *block_at(&data, i);
    if (type_of(&v) != TYPE_STRING) continue;
    std::u16string t = utf16_of(&v);
    TCITEMW item{};
    item.mask = TCIF_TEXT;
    item.pszText = t.data();
    item.cchTextMax = int(t.size());
    item.iImage = -1;
    SendMessageW(hwnd, TCM_INSERTITEMW, WPARAM(count), LPARAM(&item));
    ++count;
  }
  cell sel = facet(face, FACET_SELECTED);
  if (type_of(&sel) == TYPE_INTEGER) {
    int32_t s = integer::get(&sel);
    if (s < 1) s = 1;
    if (s > count) s = count;
    cell v;
    integer::make_at(&v, s);
    set_facet(face, FACET_SELECTED, v);
    if (s >= 1) select_tab(hwnd, s - 1);
  } else {
    cell v;
    integer::make_at(&v, 1);
    set_facet(face, FACET_SELECTED, v);
  }
}
namespace {

// The page of tab n shows; every other page hides (the `selected` facet may
// already name the new tab when the change came from it).
void show_tab_page(const cell* face, int n) {
  cell pane = facet(face, FACET_PANE);
  int32_t pages = block_length(&pane);
  for (int32_t i = 0; i < pages; ++i) {
    cell page = *block_at(&pane, i);
    HWND pw = face_window(&page);
    if (!pw) continue;
    cell v;
    logic::make_at(&v, i == n);
    set_facet(&page, FACET_VISIBLE, v);
    ShowWindow(pw, i == n ? SW_SHOW : SW_HIDE);
    if (i == n) BringWindowToTop(pw);
  }
}

}  // namespace

// The `select` event's extra is the tab selected before the change,
// 0-based: make_event reports it one higher, as the 1-based tab number.
LRESULT tab_changing(HWND hwnd) {
  MSG* m = cursor_msg();
  HWND saved = m->hwnd;
  m->hwnd = hwnd;
  int r = make_event(m, int32_t(SendMessageW(hwnd, TCM_GETCURSEL, 0, 0)), EV_SELECT);
  m->hwnd = saved;
  return r == 0 ? 1 : 0;
}

void tab_changed(HWND hwnd) {
  cell face;
  if (!window_face(hwnd, &face)) return;
  collector::root_cells keep(&face);
  int n = int(SendMessageW(hwnd, TCM_GETCURSEL, 0, 0));
  show_tab_page(&face, n);
  MSG* m = cursor_msg();
  HWND saved = m->hwnd;
  m->hwnd = hwnd;
  make_event(m, n + 1, EV_CHANGE);
  m->hwnd = saved;
  cell v;
  integer::make_at(&v, n + 1);
  set_facet(&face, FACET_SELECTED, v);
}

void select_tab(HWND hwnd, int index) {
  HWND parent = GetParent(hwnd);
  NMHDR hdr{hwnd, 0, TCN_SELCHANGING};
  if (SendMessageW(parent, WM_NOTIFY, 0, LPARAM(&hdr))) return;
  SendMessageW(hwnd, TCM_SETCURFOCUS, WPARAM(index), 0);
  hdr.code = TCN_SELCHANGE;
  SendMessageW(parent, WM_NOTIFY, 0, LPARAM(&hdr));
}
namespace {

// Lists --------------------------------------------------------------------

// gui/set-list-extent: the list box scrolls sideways as far as its widest
// item, measured in the list's own font.
void set_list_extent(HWND hwnd, const std::u16string& text) {
  HDC dc = GetDC(hwnd);
  HGDIOBJ old = SelectObject(dc, HGDIOBJ(SendMessageW(hwnd, WM_GETFONT, 0, 0)));
  SIZE size{0, 0};
  GetTextExtentPoint32W(dc, text.c_str(), int(text.size()), &size);
  SelectObject(dc, old);
  ReleaseDC(hwnd, dc);
  SendMessageW(hwnd, LB_SETHORIZONTALEXTENT, WPARAM(size.cx + 4), 0);
}

}  // namespace

void set_list_items(HWND hwnd, const cell* face, bool combo, int type) {
  cell data = facet(face, FACET_DATA);
  if (block::any_block_q(type_of(&data)) || type_of(&data) == TYPE_MAP) {
    SendMessageW(hwnd, combo ? CB_RESETCONTENT : LB_RESETCONTENT, 0, 0);
    int32_t n = block_length(&data);
    std::u16string longest;
    for (int32_t i = 0; i < n; ++i) {
      cell v = *block_at(&data, i);
      if (!text_like(&v)) continue;
      std::u16string t = text_of(&v);
      SendMessageW(hwnd, combo ? CB_ADDSTRING : LB_ADDSTRING, 0, LPARAM(t.c_str()));
      if (t.size() > longest.size()) longest = t;
    }
    if (!combo) {
      set_list_extent(hwnd, longest);
      SetWindowLongW(hwnd, SLOT_CLOSING, LONG(longest.size()));
    }
  }
  cell sel = facet(face, FACET_SELECTED);
  cell text = facet(face, FACET_TEXT);
  if (type == T_DROP_DOWN && type_of(&text) == TYPE_STRING) {
    std::u16string t = utf16_of(&text);
    SetWindowTextW(hwnd, t.c_str());
    return;
  }
  if (type_of(&sel) == TYPE_INTEGER) {
    int32_t s = integer::get(&sel);
    SendMessageW(hwnd, combo ? CB_SETCURSEL : LB_SETCURSEL, WPARAM(s <= 0 ? -1 : s - 1), 0);
  } else if (!combo) {
    SendMessageW(hwnd, LB_SETCURSEL, WPARAM(-1), 0);
    cell v;
    integer::make_at(&v, -1);
    set_facet(face, FACET_SELECTED, v);
  }
}
namespace {

// gui/insert-list-item: a text value becomes an item at `position`
// (clamped to the count); a list box's extent follows a new longest item.
void insert_list_item(HWND hwnd, const cell* value, int32_t position, bool combo) {
  if (!text_like(value)) return;
  int32_t count = int32_t(SendMessageW(hwnd, combo ? CB_GETCOUNT : LB_GETCOUNT, 0, 0));
  if (position < 0 || position > count) position = count;
  std::u16string t = text_of(value);
  SendMessageW(hwnd, combo ? CB_INSERTSTRING : LB_INSERTSTRING, WPARAM(position), LPARAM(t.c_str()));
  if (!combo && GetWindowLongW(hwnd, SLOT_CLOSING) < LONG(t.size())) {
    SetWindowLongW(hwnd, SLOT_CLOSING, LONG(t.size()));
    set_list_extent(hwnd, t);
  }
}

void delete_list_item(HWND hwnd, int32_t position, bool combo) {
  SendMessageW(hwnd, combo ? CB_DELETESTRING : LB_DELETESTRING, WPARAM(position), 0);
}

// The cell at an index counted from the series' head, null past its tail.
cell* value_at_index(const cell* series, int32_t index) {
  series_buffer* b = block::buffer_of(series);
  cell* at = b->head_cell() + index;
  return index >= 0 && at < b->tail_cell() ? at : nullptr;
}

// gui/delete-list-items: one item deleted at `position` for each text value
// among the `count` values from `index`.
void delete_list_items(HWND hwnd, int32_t position, const cell* data, int32_t index, int32_t count, bool combo) {
  for (int32_t k = index; k < index + count; ++k)
    if (const cell* v = value_at_index(data, k); v && text_like(v)) delete_list_item(hwnd, position, combo);
}

}  // namespace

// gui/update-list-data: a deep change of a list's `data` edits its items in
// place: the report before a change deletes the items it takes away, the
// report after it inserts the new ones; the rows around keep their place.
// A change that reorders or rewrites the items (change, sort, swap,
// random, trim, move) rebuilds them once, after it.
void update_list_data(HWND hwnd, const cell* face_in, const cell* word, const cell* target, uint32_t act,
                      int32_t index, int32_t part, bool combo, int type) {
  cell face = *face_in, data = facet(face_in, FACET_DATA), facet_word = *word;
  collector::root_cells keep(&face), keep_data(&data), keep_word(&facet_word);
  auto is = [&](const char* n) { return act == canon(n); };
  if (!block::any_block_q(type_of(&data))) return set_list_items(hwnd, &face, combo, type);
  int32_t first = int32_t(data.w1);
  // Item position: the text values before the index.
  int32_t p = 0;
  for (int32_t k = first; k < index; ++k)
    if (const cell* v = value_at_index(&data, k); v && text_like(v)) ++p;
  if (type_of(target) != TYPE_BLOCK && type_of(target) != TYPE_HASH) {
    // One item string edited in place: shown again with its new text.
    const cell* v = value_at_index(&data, index);
    if (!v || !text_like(v) || index < first) return;
    cell item = *v;
    collector::root_cells keep_item(&item);
    delete_list_item(hwnd, p, combo);
    insert_list_item(hwnd, &item, p, combo);
    return;
  }
  if (index < first) return set_list_items(hwnd, &face, combo, type);
  if (is("clear") && index == first) {
    SendMessageW(hwnd, combo ? CB_RESETCONTENT : LB_RESETCONTENT, 0, 0);
    if (!combo) SetWindowLongW(hwnd, SLOT_CLOSING, 0);
  } else if (is("remove") || is("take") || is("clear") || is("reverse") || is("put") || is("poke")) {
    delete_list_items(hwnd, p, &data, index, part, combo);
  } else if (is("inserted") || is("appended") || is("poked") || is("put-ed") || is("reversed")) {
    for (int32_t k = index; k < index + part; ++k) {
      const cell* v = value_at_index(&data, k);
      if (!v || !text_like(v)) continue;
      cell item = *v;
      collector::root_cells keep_item(&item);
      // Owned by the face, so that later edits of the string are reported.
      ownership::set_owner(&item, &face, &facet_word);
      insert_list_item(hwnd, &item, p++, combo);
    }
  } else if (is("changed") || is("sorted") || is("swaped") || is("randomized") || is("trimmed") || is("moved")) {
    set_list_items(hwnd, &face, combo, type);
  }
}

// A 32-bit top-down bitmap of w by h pixels whose bits the caller fills.
HBITMAP make_dib(HDC dc, int w, int h, void** bits) {
  BITMAPINFO bi{};
  bi.bmiHeader.biSize = sizeof(BITMAPINFOHEADER);
  bi.bmiHeader.biWidth = w;
  bi.bmiHeader.biHeight = -h;
  bi.bmiHeader.biPlanes = 1;
  bi.bmiHeader.biBitCount = 32;
  *bits = nullptr;
  return CreateDIBSection(dc, &bi, DIB_RGB_COLORS, bits, 0, 0);
}

// gui/set-button-image: the image list of a button or toggle, one image of
// its own size, or six state images from a block (the first filling the
// states the block has no image for).
void set_button_image(HWND hwnd, const cell* face) {
  cell img = facet(face, FACET_IMAGE);
  collector::root_cells keep(&img);
  // Positions of the images in the block (-1: the facet is the image); the
  // nodes are read again after each allocation.
  std::vector<int32_t> at;
  int w = 0, h = 0;
  if (type_of(&img) == TYPE_IMAGE && img.w2) {
    at.push_back(-1);
    w = int(image::width_of(&img));
    h = int(image::height_of(&img));
  } else if (block::any_block_q(type_of(&img))) {
    cell size = facet(face, FACET_SIZE);
    double sw = 0, sh = 0;
    read_xy(&size, sw, sh);
    int32_t n = block_length(&img);
    cell* second = n == 2 ? block_at(&img, 1) : nullptr;
    if (second && type_of(second) == TYPE_PAIR) read_xy(second, sw, sh), n = 1;
    for (int32_t i = 0; i < n; ++i)
      if (cell* v = block_at(&img, i); v && type_of(v) == TYPE_IMAGE && v->w2) at.push_back(i);
    w = dpi_scale(sw);
    h = dpi_scale(sh);
  }
  auto node_at = [&](int32_t i) { return i < 0 ? img.w2 : block_at(&img, i)->w2; };
  BUTTON_IMAGELIST bil{};
  if (SendMessageW(hwnd, BCM_GETIMAGELIST, 0, LPARAM(&bil)) && bil.himl && bil.himl != HIMAGELIST(-1))
    ImageList_Destroy(bil.himl);
  bil = BUTTON_IMAGELIST{};
  bil.himl = HIMAGELIST(-1);
  if (!at.empty() && w > 0 && h > 0) {
    int count = at.size() == 1 ? 1 : 6;
    bil.himl = ImageList_Create(w, h, ILC_COLOR32, count, 0);
    HDC screen = GetDC(0);
    for (int i = 0; i < count; ++i) {
      uint32_t scaled = image_os::resize(node_at(at[size_t(i) < at.size() ? size_t(i) : 0]), uint32_t(w), uint32_t(h));
      cell hold{TYPE_NONE, 0, 0, 0};
      if (scaled) image::make_at(&hold, scaled);
      collector::root_cells keep_scaled(&hold);
      const uint32_t* px = scaled ? image_os::lock_pixels(hold.w2, false) : nullptr;
      void* bits = nullptr;
      HBITMAP bmp = make_dib(screen, w, h, &bits);
      if (bmp && bits && px) std::memcpy(bits, px, size_t(w) * size_t(h) * 4);
      if (bmp) {
        ImageList_Add(bil.himl, bmp, 0);
        DeleteObject(bmp);
      }
    }
    ReleaseDC(0, screen);
  }
  bil.uAlign = BUTTON_IMAGELIST_ALIGN_CENTER;
  SendMessageW(hwnd, BM_SETSTYLE, WPARAM(uint32_t(GetWindowLongW(hwnd, GWL_STYLE)) | BS_BITMAP), TRUE);
  BUTTON_IMAGELIST none_list{};
  SendMessageW(hwnd, BCM_SETIMAGELIST, 0, LPARAM(&none_list));
  SendMessageW(hwnd, BCM_SETIMAGELIST, 0, LPARAM(&bil));
}
namespace {

// Calendar -----------------------------------------------------------------

int clamp_year(int y) { return y < 1601 ? 1601 : y > 9999 ? 9999 : y; }

}  // namespace

void read_calendar_date(HWND hwnd, const cell* face) {
  SYSTEMTIME st{};
  SendMessageW(hwnd, MCM_GETCURSEL, 0, LPARAM(&st));
  cell d;
  date::make_at_fields(&d, clamp_year(st.wYear), st.wMonth, st.wDay, 0.0, 0, false);
  set_facet(face, FACET_DATA, d);
}

void set_calendar_date(HWND hwnd, const cell* face) {
  cell data = facet(face, FACET_DATA);
  if (type_of(&data) == TYPE_DATE) {
    SYSTEMTIME st{};
    st.wYear = WORD(clamp_year(date::year_of(data.w1)));
    st.wMonth = WORD(date::month_of(data.w1));
    st.wDay = WORD(date::day_of(data.w1));
    SendMessageW(hwnd, MCM_SETCURSEL, 0, LPARAM(&st));
  } else {
    read_calendar_date(hwnd, face);
  }
}

void set_calendar_colors(HWND hwnd, const cell* face) {
  cell color = facet(face, FACET_COLOR);
  if (type_of(&color) == TYPE_TUPLE) SendMessageW(hwnd, MCM_SETCOLOR, MCSC_BACKGROUND, LPARAM(to_color(&color) & 0xFFFFFF));
  else if (type_of(&color) == TYPE_NONE) SendMessageW(hwnd, MCM_SETCOLOR, MCSC_BACKGROUND, LPARAM(GetSysColor(COLOR_BTNFACE)));
}

// ---------------------------------------------------------------- options

// The `cursor` option: a system cursor by name, or an icon made from an
// image; the icon of an earlier image is freed.
void set_cursor(HWND hwnd, const cell* face) {
  if (HICON old = HICON(GetWindowLongW(hwnd, SLOT_CURSOR_ICON))) DestroyIcon(old);
  SetWindowLongW(hwnd, SLOT_CURSOR_ICON, 0);
  SetWindowLongW(hwnd, SLOT_CURSOR, 0);
  cell c = option(face, "cursor");
  if (type_of(&c) == TYPE_IMAGE && c.w2) {
    uint32_t w = image::width_of(&c), h = image::height_of(&c);
    std::vector<uint32_t> px(size_t(w) * h);
    const uint32_t* src = image_os::lock_pixels(c.w2, false);
    if (src) std::memcpy(px.data(), src, px.size() * 4);
    HICON icon = CreateIconFromPixels(px.data(), int(w), int(h), 0, 0);
    SetWindowLongW(hwnd, SLOT_CURSOR_ICON, LONG(icon));
    SetWindowLongW(hwnd, SLOT_CURSOR, LONG(icon));
  } else if (type_of(&c) == TYPE_WORD || type_of(&c) == TYPE_LIT_WORD) {
    uint32_t s = symbol::resolve(c.w2);
    uintptr_t id = s == canon("I-beam") ? IDC_IBEAM : s == canon("hand") ? IDC_HAND : s == canon("cross") ? IDC_CROSS
                   : s == canon("resize-ns") ? IDC_SIZENS
                   : s == canon("resize-ew") || s == canon("resize-we") ? IDC_SIZEWE : IDC_ARROW;
    SetWindowLongW(hwnd, SLOT_CURSOR, LONG(LoadCursorW(0, id)));
  }
}

void set_hint(HWND hwnd, const cell* face) {
  cell h = option(face, "hint");
  if (type_of(&h) != TYPE_STRING) return;
  std::u16string t = utf16_of(&h);
  SendMessageW(hwnd, EM_SETCUEBANNER, 0, LPARAM(t.c_str()));
}

void set_tabs(HWND hwnd, const cell* face) {
  int stops = 16;
  SendMessageW(hwnd, EM_SETTABSTOPS, 1, LPARAM(&stops));
  cell t = option(face, "tabs");
  if (type_of(&t) == TYPE_INTEGER) {
    stops = integer::get(&t) * 4;
    SendMessageW(hwnd, EM_SETTABSTOPS, 1, LPARAM(&stops));
  }
}

// A base face given `caret: face` is the caret of that face: the caret is
// made in the owner's window (slot 36) with this face's size, at its offset,
// and shows while this face is enabled.
void set_caret_size(HWND hwnd, const cell* face) {
  HWND owner = HWND(GetWindowLongW(hwnd, SLOT_LIVE));
  if (!owner || !IsWindow(owner)) return;
  cell size = facet(face, FACET_SIZE), off = facet(face, FACET_OFFSET), en = facet(face, FACET_ENABLED);
  double w = 0, h = 0, x = 0, y = 0;
  read_xy(&size, w, h);
  read_xy(&off, x, y);
  CreateCaret(owner, 0, dpi_scale(w), dpi_scale(h));
  SetCaretPos(dpi_scale(x), dpi_scale(y));
  if (is_true(&en)) ShowCaret(owner);
}

bool owns_caret(HWND hwnd) { return GetWindowLongW(hwnd, SLOT_WFLAGS) & 2; }

// A caret face shows only while it is both visible and enabled: disabled
// (its edit line scrolled out of view, its window unfocused) neither the face
// nor the caret it stands for is painted, in either phase of the blink.
bool caret_face_shown(const cell* face) {
  cell vis = facet(face, FACET_VISIBLE), en = facet(face, FACET_ENABLED);
  return is_true(&vis) && is_true(&en);
}

void init_caret(HWND hwnd, const cell* face) {
  cell opts = facet(face, FACET_OPTIONS);
  if (type_of(&opts) != TYPE_BLOCK || block_length(&opts) % 2) return;
  cell target = option(face, "caret");
  HWND owner = type_of(&target) == TYPE_OBJECT ? face_window(&target) : 0;
  if (!owner) return;
  SetWindowLongW(hwnd, SLOT_WFLAGS, GetWindowLongW(hwnd, SLOT_WFLAGS) | 2);
  SetWindowLongW(hwnd, SLOT_LIVE, LONG(owner));
  cell vis = facet(face, FACET_VISIBLE);
  if (is_true(&vis)) set_caret_size(hwnd, face);
  if (!caret_face_shown(face)) ShowWindow(hwnd, SW_HIDE);
}

// An edit keeps room for what is about to come in (`more` units) and for a
// text that has reached its limit: the limit grows, never shrinks.
void raise_edit_limit(HWND hwnd, size_t more) {
  size_t need = size_t(GetWindowTextLengthW(hwnd)) + more;
  size_t limit = size_t(SendMessageW(hwnd, EM_GETLIMITTEXT, 0, 0));
  if (need < limit) return;
  SendMessageW(hwnd, EM_SETLIMITTEXT, WPARAM(std::min<size_t>(need * 2 + 1, 0x7FFFFFFE)), 0);
}

// The bars an area's text needs: a line wider than the client width wants
// the horizontal bar (unless the para wraps, when it takes its wrapped
// height), lines reaching the client height the vertical one. The width
// test by the "M" width is rough; the longest line is measured exactly.
// `typed` is the control's own text while the user edits it.
void get_text_extent(HWND hwnd, const cell* face, const std::u16string* typed) {
  cell text = facet(face, FACET_TEXT);
  if (!typed && type_of(&text) != TYPE_STRING) {
    ShowScrollBar(hwnd, SB_BOTH, FALSE);
    return;
  }
  std::u16string own = typed ? std::u16string() : utf16_of(&text);
  const std::u16string& t = typed ? *typed : own;
  cell para = facet(face, FACET_PARA);
  bool wrap = false;
  if (type_of(&para) == TYPE_OBJECT)
    if (cell* w = object_field_slot(&para, "wrap?")) wrap = is_true(w);
  RECT rc;
  GetClientRect(hwnd, &rc);
  HDC dc = GetDC(hwnd);
  HGDIOBJ old = SelectObject(dc, HGDIOBJ(SendMessageW(hwnd, WM_GETFONT, 0, 0)));
  DWORD m = GetTabbedTextExtentW(dc, u"M", 1, 0, nullptr);
  int64_t cw = LOWORD(m), lh = HIWORD(m), total = 0;
  bool vertical = false, horizontal = false;
  size_t longest = 0, longest_n = 0;
  for (size_t start = 0;;) {
    size_t end = t.find(u'\n', start);
    size_t stop = end == std::u16string::npos ? t.size() : end;
    size_t n = stop - start - (stop > start && t[stop - 1] == u'\r' ? 1 : 0);
    int64_t line = lh;
    if (cw * int64_t(n) > rc.right) {
      if (wrap) {
        RECT r{0, 0, rc.right, 0};
        DrawTextW(dc, t.c_str() + start, int(n), &r, DT_CALCRECT | DT_WORDBREAK | DT_EXPANDTABS);
        line = r.bottom;
      } else {
        horizontal = true;
        if (n > longest_n) longest = start, longest_n = n;
      }
    }
    total += line;
    if (total >= rc.bottom) {
      vertical = true;
      if (wrap) break;
    }
    if (end == std::u16string::npos) break;
    start = end + 1;
  }
  if (horizontal) horizontal = LOWORD(GetTabbedTextExtentW(dc, t.c_str() + longest, int(longest_n), 0, nullptr)) > rc.right;
  SelectObject(dc, old);
  ReleaseDC(hwnd, dc);
  ShowScrollBar(hwnd, SB_VERT, vertical);
  ShowScrollBar(hwnd, SB_HORZ, horizontal);
}

// The colours a child control asks its parent for: the face's font colour
// for the text, its `color` for the background.
LRESULT control_colors(HWND parent, UINT msg, WPARAM wparam, LPARAM lparam, bool* handled) {
  *handled = false;
  HWND control = HWND(lparam);
  cell face;
  if (!face_window_q(control) || !window_face(control, &face)) return 0;
  HDC dc = HDC(wparam);
  cell font = facet(&face, FACET_FONT);
  bool text_set = false;
  if (type_of(&font) == TYPE_OBJECT) {
    cell fc = object_field(&font, "color");
    if (type_of(&fc) == TYPE_TUPLE) {
      SetTextColor(dc, to_color(&fc) & 0xFFFFFF);
      text_set = true;
    }
  }
  cell color = facet(&face, FACET_COLOR);
  if (type_of(&color) == TYPE_TUPLE) {
    COLORREF c = to_color(&color) & 0xFFFFFF;
    SetBkColor(dc, c);
    if (!text_set) SetTextColor(dc, GetSysColor(COLOR_WINDOWTEXT));
    SetDCBrushColor(dc, c);
    *handled = true;
    return LRESULT(GetStockObject(DC_BRUSH));
  }
  if (text_set) {
    *handled = true;
    if (msg == WM_CTLCOLORSTATIC) {
      SetBkMode(dc, TRANSPARENT_BK);
      return LRESULT(GetSysColorBrush(COLOR_BTNFACE));
    }
    return LRESULT(GetStockObject(DC_BRUSH));
  }
  // A text face without a colour paints nothing behind its text, as labels
  // do on Linux desktops: its parent's colour shows around the glyphs.
  if (msg == WM_CTLCOLORSTATIC && face_type_of(&face) == T_TEXT) {
    *handled = true;
    SetBkMode(dc, TRANSPARENT_BK);
    return LRESULT(GetSysColorBrush(COLOR_BTNFACE));
  }
  (void)parent;
  return 0;
}

// gui/custom-draw: a button's text in its font's colour, which the control
// itself does not know; every other case keeps the control's own drawing.
LRESULT custom_draw(const NMCUSTOMDRAW* cd) {
  cell face;
  if (!window_face(cd->hdr.hwndFrom, &face)) return 0;
  int type = face_type_of(&face);
  if (type != T_CHECK && type != T_RADIO && type != T_BUTTON && type != T_TOGGLE) return 0;
  if (cd->dwDrawStage != CDDS_PREPAINT || cd->uItemState == CDIS_DISABLED) return 0;
  cell font = facet(&face, FACET_FONT);
  if (type_of(&font) != TYPE_OBJECT) return 0;
  collector::root_cells keep(&face);
  int old_mode = SetBkMode(cd->hdc, TRANSPARENT_BK);
  cell color = object_field(&font, "color");
  if (type_of(&color) == TYPE_TUPLE && to_color(&color) != 0) SetTextColor(cd->hdc, to_color(&color) & 0xFFFFFF);
  RECT r = cd->rc;
  if (type == T_CHECK || type == T_RADIO) r.left += dpi_scale(16);
  cell text = facet(&face, FACET_TEXT);
  if (type_of(&text) == TYPE_STRING) {
    cell para = facet(&face, FACET_PARA);
    cell type_word = facet(&face, FACET_TYPE);
    UINT align = type_of(&para) == TYPE_OBJECT ? text_box::get_para_flags(type_word.w2, &para) & 0xF : 5;
    std::u16string t = text_of(&text);
    // The font the face gave its window: making one here would leak one per paint.
    HGDIOBJ old_font = SelectObject(cd->hdc, HFONT(SendMessageW(cd->hdr.hwndFrom, WM_GETFONT, 0, 0)));
    DrawTextW(cd->hdc, t.c_str(), -1, &r, align | DT_SINGLELINE);
    SelectObject(cd->hdc, old_font);
  }
  SetBkMode(cd->hdc, old_mode);
  return CDRF_SKIPDEFAULT;
}

}  // namespace kez::gui::view
