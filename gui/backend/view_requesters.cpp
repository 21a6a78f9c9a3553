// The file and folder requesters.
#include "gui/backend/view_internal.h"

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
#include "runtime/datatypes/error.h"
#include "runtime/datatypes/file.h"
#include "runtime/datatypes/integer.h"
#include "runtime/datatypes/none.h"
#include "runtime/datatypes/point.h"
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

namespace {

// ---------------------------------------------------------------- requesters

cell* push_file_of(const std::u16string& path) {
  std::string utf8;
  for (size_t i = 0; i < path.size(); ++i) {
    uint32_t c = path[i];
    if (c >= 0xD800 && c <= 0xDBFF && i + 1 < path.size()) c = 0x10000 + ((c - 0xD800) << 10) + (path[++i] - 0xDC00);
    if (c < 0x80) utf8 += char(c);
    else if (c < 0x800) utf8 += char(0xC0 | c >> 6), utf8 += char(0x80 | (c & 0x3F));
    else if (c < 0x10000) utf8 += char(0xE0 | c >> 12), utf8 += char(0x80 | (c >> 6 & 0x3F)), utf8 += char(0x80 | (c & 0x3F));
    else
      utf8 += char(0xF0 | c >> 18), utf8 += char(0x80 | (c >> 12 & 0x3F)), utf8 += char(0x80 | (c >> 6 & 0x3F)),
          utf8 += char(0x80 | (c & 0x3F));
  }
  return file::load(reinterpret_cast<const uint8_t*>(utf8.data()), utf8.size(), stack::push_cell());
}

std::u16string local_name(const cell* v) {
  if (type_of(v) == TYPE_FILE) {
    std::string p;
    if (file::to_local_path(v, p)) {
      cell s;
      return std::u16string(p.begin(), p.end());
    }
  }
  if (type_of(v) == TYPE_STRING) return utf16_of(v);
  return u"";
}

std::u16string make_filter(const cell* filter) {
  std::u16string out;
  if (!block::any_block_q(type_of(filter))) {
    static const char16_t def[] = u"All files\0*.*\0Kez scripts\0*.kez;*.kezs\0Other scripts\0*.r\0Text files\0*.txt\0";
    return std::u16string(def, sizeof def / 2 - 1);
  }
  for (int32_t i = 0, n = block_length(filter); i < n; ++i) {
    cell v = *block_at(filter, i);
    if (type_of(&v) != TYPE_STRING && type_of(&v) != TYPE_FILE) error::fire(err::cat_script, err::script::invalid_arg, &v);
    out += utf16_of(&v);
    out += u'\0';
  }
  return out;
}

}  // namespace

cell* os_request_file(const cell* title, const cell* name, const cell* filter, bool save, bool multi) {
  std::u16string initial = local_name(name), folder, buf(8192, u'\0');
  size_t slash = initial.rfind(u'/');
  if (slash != std::u16string::npos) {
    folder = initial.substr(0, slash);
    initial = initial.substr(slash + 1);
  }
  std::copy(initial.begin(), initial.begin() + std::min<size_t>(initial.size(), 8000), buf.begin());
  std::u16string flt = make_filter(filter) + u'\0', ttl = type_of(title) == TYPE_STRING ? utf16_of(title) : u"";
  OPENFILENAMEW ofn{};
  ofn.lStructSize = sizeof ofn;
  ofn.hwndOwner = GetForegroundWindow();
  ofn.lpstrFilter = flt.c_str();
  ofn.lpstrFile = buf.data();
  ofn.nMaxFile = 8192;
  ofn.lpstrInitialDir = folder.empty() ? nullptr : folder.c_str();
  ofn.lpstrTitle = ttl.empty() ? nullptr : ttl.c_str();
  ofn.Flags = 0x8000C | (multi ? OFN_ALLOWMULTISELECT : 0);
  BOOL ok = save ? GetSaveFileNameW(&ofn) : GetOpenFileNameW(&ofn);
  if (!ok) return none::push();
  std::vector<std::u16string> parts;
  for (size_t at = 0; at < buf.size() && buf[at];) {
    size_t end = buf.find(u'\0', at);
    parts.push_back(buf.substr(at, end - at));
    at = end + 1;
  }
  if (parts.empty()) return none::push();
  if (!multi) return push_file_of(parts[0]);
  cell* out = block::make_at(stack::push_cell(), int32_t(parts.size()));
  if (parts.size() == 1) {
    push_file_of(parts[0]);
    block::ks_append(out, stack::top - 1);
    stack::pop(1);
    return out;
  }
  for (size_t i = 1; i < parts.size(); ++i) {
    push_file_of(parts[0] + u"/" + parts[i]);
    block::ks_append(out, stack::top - 1);
    stack::pop(1);
  }
  return out;
}
namespace {

// The folder the last requester asked to keep its place chose; the next one
// that keeps its place starts there.
PIDLIST_ABSOLUTE kept_folder = nullptr;

// gui/browse-folder-callback: the dialog starts on the start folder; it is
// selected again at the first change of selection, which the dialog makes
// as it fills its list.
struct browse_start {
  const void* folder;
  bool by_path;
  bool reselected = false;
};

int browse_folder_callback(HWND dlg, UINT msg, LPARAM, LPARAM data) {
  auto* start = reinterpret_cast<browse_start*>(data);
  if (!start || !start->folder) return 0;
  if (msg == BFFM_INITIALIZED || (msg == BFFM_SELCHANGED && !start->reselected)) {
    if (msg == BFFM_SELCHANGED) start->reselected = true;
    SendMessageW(dlg, BFFM_SETSELECTIONW, WPARAM(start->by_path), LPARAM(start->folder));
  }
  return 0;
}

}  // namespace

cell* os_request_dir(const cell* title, const cell* dir, bool keep) {
  std::u16string ttl = type_of(title) == TYPE_STRING ? utf16_of(title) : u"", from = local_name(dir);
  browse_start start{nullptr, true};
  if (keep) start = browse_start{kept_folder, false};
  else if (!from.empty()) start = browse_start{from.c_str(), true};
  BROWSEINFOW bi{};
  bi.hwndOwner = GetForegroundWindow();
  bi.lpszTitle = ttl.empty() ? nullptr : ttl.c_str();
  bi.ulFlags = 0x51;
  bi.lpfn = browse_folder_callback;
  bi.lParam = LPARAM(&start);
  PIDLIST_ABSOLUTE list = SHBrowseForFolderW(&bi);
  if (!list) return none::push();
  WCHAR path[260] = {};
  SHGetPathFromIDListW(list, path);
  if (keep) {
    if (kept_folder) CoTaskMemFree(kept_folder);
    kept_folder = list;
  } else {
    CoTaskMemFree(list);
  }
  std::u16string p(path);
  if (p.empty() || p.back() != u'/') p += u'/';
  return push_file_of(p);
}

}  // namespace kez::gui::view
