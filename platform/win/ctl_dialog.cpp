// The dialogs: open and save (one file or several), folder, font and the
// message box. Each is a window of our controls run by a nested loop that
// disables its owner; headless, a scripted answer settles it at once.
#include <dirent.h>
#include <fnmatch.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <functional>

#include "platform/win/ctl.h"

namespace kez::win {
using namespace detail;

namespace {

std::string utf8(const std::u16string& s) { return gfx::utf8_of(s); }
std::u16string utf16(const std::string& s) { return utf16_of(s); }

bool is_dir(const std::u16string& path) {
  struct stat st;
  return stat(utf8(path).c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

std::u16string cwd() {
  char buf[4096];
  return getcwd(buf, sizeof buf) ? utf16(buf) : u"/";
}

std::u16string join(const std::u16string& folder, const std::u16string& name) {
  if (!name.empty() && name[0] == u'/') return name;
  return folder.empty() || folder.back() == u'/' ? folder + name : folder + u"/" + name;
}

// "/a/b/.." and "/a/./b" made plain, so the folder line reads well.
std::u16string normal(const std::u16string& path) {
  std::vector<std::u16string> parts;
  size_t i = 0;
  while (i <= path.size()) {
    size_t j = path.find(u'/', i);
    if (j == std::u16string::npos) j = path.size();
    std::u16string p = path.substr(i, j - i);
    if (p == u"..") {
      if (!parts.empty()) parts.pop_back();
    } else if (!p.empty() && p != u".")
      parts.push_back(p);
    i = j + 1;
  }
  std::u16string out;
  for (auto& p : parts) out += u"/" + p;
  return out.empty() ? u"/" : out;
}

HWND make(HWND parent, const char16_t* cls, const char16_t* text, DWORD style, int x, int y, int w, int h, int id,
          DWORD ex = 0) {
  HWND c = CreateWindowExW(ex, cls, text, WS_CHILD | WS_VISIBLE | style, x, y, w, h, parent, HMENU(intptr_t(id)), 0,
                           nullptr);
  return c;
}

// One running dialog: its window, its outcome and what its commands do.
struct dialog {
  HWND hwnd = 0;
  int result = 0;  // 0 while it runs
  std::function<void(int id, int code, HWND ctl)> on_command;
  std::function<bool()> on_ok;  // false keeps the dialog open
};
std::unordered_map<HWND, dialog*> running;

void end_dialog(dialog* d, int result) {
  if (result == IDOK && d->on_ok && !d->on_ok()) return;
  d->result = result;
}

HWND create_dialog(dialog* d, HWND owner, const std::u16string& title, int width, int height) {
  RECT r{0, 0, width, height};
  DWORD style = WS_POPUP | WS_CAPTION | WS_SYSMENU;
  AdjustWindowRectEx(&r, style, FALSE, 0);
  int w = r.right - r.left, h = r.bottom - r.top;
  // Centred over the owner, or on the primary screen.
  RECT area{0, 0, GetSystemMetrics(SM_CXSCREEN), GetSystemMetrics(SM_CYSCREEN)};
  if (owner && IsWindow(owner)) GetWindowRect(owner, &area);
  int x = std::max(0, int(area.left + (area.right - area.left - w) / 2));
  int y = std::max(0, int(area.top + (area.bottom - area.top - h) / 2));
  d->hwnd = CreateWindowExW(0, u"#32770", title.c_str(), style, x, y, w, h, owner, 0, 0, nullptr);
  running[d->hwnd] = d;
  return d->hwnd;
}

// Tab order: the children with WS_TABSTOP in creation order.
void next_tab(HWND dlg, bool back) {
  window* w = detail::win(dlg);
  if (!w) return;
  std::vector<HWND> order;
  for (auto it = w->children.rbegin(); it != w->children.rend(); ++it)
    if ((GetWindowLongW(*it, GWL_STYLE) & (WS_TABSTOP | WS_VISIBLE | WS_DISABLED)) == (WS_TABSTOP | WS_VISIBLE))
      order.push_back(*it);
  if (order.empty()) return;
  HWND f = GetFocus();
  while (f && GetParent(f) != dlg) f = GetParent(f);
  auto at = std::find(order.begin(), order.end(), f);
  long i = at == order.end() ? 0 : long(at - order.begin()) + (back ? -1 : 1);
  SetFocus(order[size_t((i + long(order.size())) % long(order.size()))]);
}

int run_dialog(dialog* d, HWND owner, HWND first_focus) {
  bool owner_was_enabled = owner && IsWindowEnabled(owner);
  if (owner_was_enabled) EnableWindow(owner, FALSE);
  ShowWindow(d->hwnd, SW_SHOW);
  UpdateWindow(d->hwnd);
  if (first_focus) SetFocus(first_focus);
  modal_scope scope(d->hwnd);
  MSG m;
  while (!d->result) {
    if (!modal_get(&m)) {
      d->result = IDCANCEL;
      break;
    }
    if (m.message == WM_KEYDOWN && (m.hwnd == d->hwnd || IsChild(d->hwnd, m.hwnd))) {
      bool multiline_edit = (GetWindowLongW(m.hwnd, GWL_STYLE) & ES_MULTILINE) &&
                            GetWindowLongPtrW(m.hwnd, GWL_WNDPROC) == intptr_t(edit_proc);
      if (m.wParam == VK_ESCAPE) {
        end_dialog(d, IDCANCEL);
        continue;
      }
      if (m.wParam == VK_RETURN && !multiline_edit) {
        end_dialog(d, IDOK);
        continue;
      }
      if (m.wParam == VK_TAB) {
        next_tab(d->hwnd, GetKeyState(VK_SHIFT) < 0);
        continue;
      }
    }
    TranslateMessage(&m);
    DispatchMessageW(&m);
  }
  if (owner_was_enabled && IsWindow(owner)) EnableWindow(owner, TRUE);
  running.erase(d->hwnd);
  if (IsWindow(d->hwnd)) DestroyWindow(d->hwnd);
  if (owner && IsWindow(owner)) SetActiveWindow(owner);
  return d->result;
}

// --- File dialogs ---------------------------------------------------------

struct file_dialog {
  dialog d;
  OPENFILENAMEW* ofn;
  bool save, multi;
  std::u16string folder;
  std::vector<std::u16string> patterns;  // of the filter in use; empty: all
  HWND folder_label = 0, list = 0, name = 0, filter = 0;
  std::vector<std::u16string> chosen;
};

std::vector<std::pair<std::u16string, std::u16string>> filter_pairs(const WCHAR* f) {
  std::vector<std::pair<std::u16string, std::u16string>> out;
  while (f && *f) {
    std::u16string desc(f);
    f += desc.size() + 1;
    if (!*f) break;
    std::u16string pattern(f);
    f += pattern.size() + 1;
    out.emplace_back(desc, pattern);
  }
  return out;
}

void use_filter(file_dialog* fd, const std::u16string& pattern) {
  fd->patterns.clear();
  size_t i = 0;
  while (i <= pattern.size()) {
    size_t j = pattern.find(u';', i);
    if (j == std::u16string::npos) j = pattern.size();
    std::u16string p = pattern.substr(i, j - i);
    if (!p.empty() && p != u"*.*" && p != u"*") fd->patterns.push_back(p);
    i = j + 1;
  }
}

bool matches(file_dialog* fd, const std::string& name) {
  if (fd->patterns.empty()) return true;
  for (auto& p : fd->patterns)
    if (fnmatch(utf8(p).c_str(), name.c_str(), 0) == 0) return true;
  return false;
}

void fill_list(file_dialog* fd) {
  SendMessageW(fd->list, LB_RESETCONTENT, 0, 0);
  std::vector<std::string> dirs, files;
  if (DIR* dir = opendir(utf8(fd->folder).c_str())) {
    while (dirent* e = readdir(dir)) {
      std::string n = e->d_name;
      if (n == "." || n == ".." || n[0] == '.') continue;
      if (is_dir(join(fd->folder, utf16(n))))
        dirs.push_back(n + "/");
      else if (matches(fd, n))
        files.push_back(n);
    }
    closedir(dir);
  }
  std::sort(dirs.begin(), dirs.end());
  std::sort(files.begin(), files.end());
  if (fd->folder != u"/") SendMessageW(fd->list, LB_ADDSTRING, 0, LPARAM(u"../"));
  for (auto* v : {&dirs, &files})
    for (auto& n : *v) SendMessageW(fd->list, LB_ADDSTRING, 0, LPARAM(utf16(n).c_str()));
  SetWindowTextW(fd->folder_label, fd->folder.c_str());
}

void enter(file_dialog* fd, const std::u16string& sub) {
  fd->folder = normal(join(fd->folder, sub));
  fill_list(fd);
  SetWindowTextW(fd->name, u"");
}

std::u16string list_text(HWND list, int i) {
  LRESULT n = SendMessageW(list, LB_GETTEXTLEN, WPARAM(i), 0);
  if (n < 0) return {};
  std::u16string t(size_t(n), u' ');
  SendMessageW(list, LB_GETTEXT, WPARAM(i), LPARAM(t.data()));
  return t;
}

std::u16string window_text(HWND h) {
  std::u16string t(size_t(GetWindowTextLengthW(h)) + 1, u'\0');
  t.resize(size_t(GetWindowTextW(h, t.data(), int(t.size()))));
  return t;
}

// The names in the name field: one, or several in double quotes.
std::vector<std::u16string> names_in(const std::u16string& text, bool multi) {
  std::vector<std::u16string> out;
  if (multi && text.find(u'"') != std::u16string::npos) {
    size_t i = 0;
    while ((i = text.find(u'"', i)) != std::u16string::npos) {
      size_t j = text.find(u'"', i + 1);
      if (j == std::u16string::npos) break;
      if (j > i + 1) out.push_back(text.substr(i + 1, j - i - 1));
      i = j + 1;
    }
    return out;
  }
  size_t a = text.find_first_not_of(u' '), b = text.find_last_not_of(u' ');
  if (a != std::u16string::npos) out.push_back(text.substr(a, b - a + 1));
  return out;
}

bool file_ok(file_dialog* fd) {
  std::vector<std::u16string> names = names_in(window_text(fd->name), fd->multi);
  if (names.empty()) {
    int i = int(SendMessageW(fd->list, LB_GETCURSEL, 0, 0));
    std::u16string t = i >= 0 ? list_text(fd->list, i) : std::u16string();
    if (!t.empty() && t.back() == u'/') enter(fd, t);
    return false;
  }
  if (names.size() == 1 && is_dir(join(fd->folder, names[0]))) {
    enter(fd, names[0]);
    return false;
  }
  fd->chosen.clear();
  for (auto& n : names) fd->chosen.push_back(normal(join(fd->folder, n)));
  return true;
}

// Writes the choice in the caller's buffer: a path, or for several files
// the folder, then each name, each ended by a NUL, and a second NUL.
bool store_files(OPENFILENAMEW* ofn, const std::vector<std::u16string>& paths, bool multi) {
  if (paths.empty() || !ofn->lpstrFile) return false;
  std::u16string out;
  WORD offset = 0, extension = 0;
  if (paths.size() == 1 || !multi) {
    out = paths[0];
    size_t slash = out.rfind(u'/'), dot = out.rfind(u'.');
    offset = WORD(slash == std::u16string::npos ? 0 : slash + 1);
    if (dot != std::u16string::npos && dot >= offset) extension = WORD(dot + 1);
    out += u'\0';
  } else {
    std::u16string folder = paths[0].substr(0, paths[0].rfind(u'/'));
    for (auto& p : paths)
      while (!folder.empty() && p.compare(0, folder.size() + 1, folder + u"/") != 0)
        folder = folder.substr(0, folder.rfind(u'/'));
    out = (folder.empty() ? u"/" : folder) + u'\0';
    offset = WORD(out.size());
    for (auto& p : paths) out += p.substr(folder.size() + 1) + u'\0';
  }
  out += u'\0';
  if (out.size() > ofn->nMaxFile) {
    if (ofn->nMaxFile >= 2) ofn->lpstrFile[0] = WCHAR(out.size()), ofn->lpstrFile[1] = 0;  // the size it needs
    return false;
  }
  std::copy(out.begin(), out.end(), ofn->lpstrFile);
  ofn->nFileOffset = offset;
  ofn->nFileExtension = extension;
  return true;
}

BOOL file_dialog_run(OPENFILENAMEW* ofn, bool save) {
  if (!ofn || ofn->lStructSize < sizeof(OPENFILENAMEW) - 16) return 0;
  bool multi = ofn->Flags & OFN_ALLOWMULTISELECT;
  layer::answer a;
  if (take_answer(&a)) {
    if (a.kind != layer::answer::files || a.texts.empty()) return 0;
    return store_files(ofn, multi ? a.texts : std::vector<std::u16string>{a.texts[0]}, multi);
  }
  file_dialog fd;
  fd.ofn = ofn, fd.save = save, fd.multi = multi;
  std::u16string initial = ofn->lpstrFile ? std::u16string(ofn->lpstrFile) : std::u16string();
  std::u16string name = initial;
  fd.folder = ofn->lpstrInitialDir && *ofn->lpstrInitialDir ? std::u16string(ofn->lpstrInitialDir) : cwd();
  if (size_t slash = initial.rfind(u'/'); slash != std::u16string::npos) {
    fd.folder = initial.substr(0, slash);
    name = initial.substr(slash + 1);
  }
  fd.folder = normal(fd.folder[0] == u'/' ? fd.folder : join(cwd(), fd.folder));
  if (!is_dir(fd.folder)) fd.folder = cwd();
  auto filters = filter_pairs(ofn->lpstrFilter);
  size_t pick =
      ofn->nFilterIndex ? std::min<size_t>(ofn->nFilterIndex - 1, filters.empty() ? 0 : filters.size() - 1) : 0;
  if (!filters.empty()) use_filter(&fd, filters[pick].second);
  std::u16string title = ofn->lpstrTitle ? std::u16string(ofn->lpstrTitle) : save ? u"Save As" : u"Open";
  HWND dlg = create_dialog(&fd.d, ofn->hwndOwner, title, 480, 330);
  fd.folder_label = make(dlg, u"STATIC", u"", SS_ENDELLIPSIS, 10, 10, 460, 20, 100);
  fd.list = make(dlg, u"ListBox", u"", LBS_NOTIFY | WS_VSCROLL | WS_TABSTOP, 10, 34, 460, 190, 101, WS_EX_CLIENTEDGE);
  make(dlg, u"STATIC", u"File name:", SS_CENTERIMAGE, 10, 234, 80, 23, 102);
  fd.name = make(dlg, u"EDIT", name.c_str(), ES_AUTOHSCROLL | WS_TABSTOP, 90, 234, 380, 23, 103, WS_EX_CLIENTEDGE);
  if (!filters.empty()) {
    make(dlg, u"STATIC", u"Type:", SS_CENTERIMAGE, 10, 264, 80, 23, 104);
    fd.filter = make(dlg, u"ComboBox", u"", CBS_DROPDOWNLIST | CBS_HASSTRINGS | WS_TABSTOP, 90, 264, 380, 23, 105);
    for (auto& f : filters) SendMessageW(fd.filter, CB_ADDSTRING, 0, LPARAM(f.first.c_str()));
    SendMessageW(fd.filter, CB_SETCURSEL, WPARAM(pick), 0);
  }
  make(dlg, u"BUTTON", save ? u"&Save" : u"&Open", BS_DEFPUSHBUTTON | WS_TABSTOP, 300, 296, 80, 26, IDOK);
  make(dlg, u"BUTTON", u"Cancel", BS_PUSHBUTTON | WS_TABSTOP, 390, 296, 80, 26, IDCANCEL);
  fill_list(&fd);
  fd.d.on_ok = [&fd] { return file_ok(&fd); };
  fd.d.on_command = [&fd, &filters](int id, int code, HWND) {
    if (id == 101 && code == LBN_SELCHANGE) {
      int i = int(SendMessageW(fd.list, LB_GETCURSEL, 0, 0));
      std::u16string t = list_text(fd.list, i);
      if (!t.empty() && t.back() != u'/')
        SetWindowTextW(fd.name,
                       fd.multi && t.find(u' ') != std::u16string::npos ? (u"\"" + t + u"\"").c_str() : t.c_str());
    } else if (id == 101 && code == LBN_DBLCLK) {
      int i = int(SendMessageW(fd.list, LB_GETCURSEL, 0, 0));
      std::u16string t = list_text(fd.list, i);
      if (!t.empty() && t.back() == u'/')
        enter(&fd, t);
      else if (!t.empty())
        end_dialog(&fd.d, IDOK);
    } else if (id == 105 && code == CBN_SELCHANGE) {
      int i = int(SendMessageW(fd.filter, CB_GETCURSEL, 0, 0));
      if (i >= 0 && size_t(i) < filters.size()) use_filter(&fd, filters[size_t(i)].second), fill_list(&fd);
    }
  };
  if (run_dialog(&fd.d, ofn->hwndOwner, fd.name) != IDOK) return 0;
  return store_files(ofn, fd.chosen, multi);
}

// --- Folder dialog --------------------------------------------------------

struct folder_dialog {
  dialog d;
  BROWSEINFOW* info;
  std::u16string folder;
  HWND label = 0, list = 0, edit = 0;
  bool initialized = false;  // BFFM_SELCHANGED only after BFFM_INITIALIZED
};

void* make_item_list(const std::u16string& path) {
  auto* p = static_cast<char16_t*>(malloc((path.size() + 1) * sizeof(char16_t)));
  if (!p) return nullptr;
  std::copy(path.begin(), path.end(), p);
  p[path.size()] = 0;
  return p;
}

void show_folder(folder_dialog* fd, const std::u16string& path) {
  fd->folder = normal(path);
  SendMessageW(fd->list, LB_RESETCONTENT, 0, 0);
  std::vector<std::string> dirs;
  if (DIR* dir = opendir(utf8(fd->folder).c_str())) {
    while (dirent* e = readdir(dir)) {
      std::string n = e->d_name;
      if (n[0] != '.' && is_dir(join(fd->folder, utf16(n)))) dirs.push_back(n + "/");
    }
    closedir(dir);
  }
  std::sort(dirs.begin(), dirs.end());
  if (fd->folder != u"/") SendMessageW(fd->list, LB_ADDSTRING, 0, LPARAM(u"../"));
  for (auto& n : dirs) SendMessageW(fd->list, LB_ADDSTRING, 0, LPARAM(utf16(n).c_str()));
  SetWindowTextW(fd->label, fd->folder.c_str());
  if (fd->edit) SetWindowTextW(fd->edit, fd->folder.c_str());
  if (fd->info->lpfn && fd->initialized) {
    void* list = make_item_list(fd->folder);
    fd->info->lpfn(fd->d.hwnd, BFFM_SELCHANGED, LPARAM(list), fd->info->lParam);
    free(list);
  }
}

std::unordered_map<HWND, folder_dialog*> folder_dialogs;

// --- Font dialog ----------------------------------------------------------

std::vector<std::u16string> font_families(bool fixed_only) {
  std::vector<std::u16string> out;
  for (const std::string& f : gfx::font_families(fixed_only)) out.push_back(utf16(f));
  return out;
}

void store_font(CHOOSEFONTW* cf, const std::u16string& face, int points, bool bold, bool italic) {
  LOGFONTW& lf = *cf->lpLogFont;
  lf = LOGFONTW{};
  lf.lfHeight = -int(std::lround(points * double(GetDpiForSystem()) / 72));
  lf.lfWeight = bold ? 700 : 400;
  lf.lfItalic = italic;
  lf.lfCharSet = 1;
  size_t n = std::min<size_t>(face.size(), 31);
  std::copy_n(face.data(), n, lf.lfFaceName);
  lf.lfFaceName[n] = 0;
  cf->iPointSize = points * 10;
}

// --- Message box ----------------------------------------------------------

struct box_button {
  int id;
  const char16_t* text;
};
std::vector<box_button> buttons_of(UINT type) {
  switch (type & 0xF) {
  case MB_OKCANCEL: return {{IDOK, u"OK"}, {IDCANCEL, u"Cancel"}};
  case MB_YESNOCANCEL: return {{IDYES, u"&Yes"}, {IDNO, u"&No"}, {IDCANCEL, u"Cancel"}};
  case MB_YESNO: return {{IDYES, u"&Yes"}, {IDNO, u"&No"}};
  }
  return {{IDOK, u"OK"}};
}

// What closing the box without a choice answers: Cancel when it has one,
// else its only or last button.
int box_escape(const std::vector<box_button>& b) {
  for (auto& x : b)
    if (x.id == IDCANCEL) return IDCANCEL;
  return b.size() == 1 ? b[0].id : 0;
}

}  // namespace

namespace detail {

LRESULT dialog_proc(HWND h, UINT msg, WPARAM wp, LPARAM lp) {
  auto it = running.find(h);
  dialog* d = it == running.end() ? nullptr : it->second;
  switch (msg) {
  case WM_COMMAND:
    if (!d) return 0;
    if (LOWORD(wp) == IDOK || LOWORD(wp) == IDCANCEL || LOWORD(wp) == IDYES || LOWORD(wp) == IDNO) {
      if (HIWORD(wp) == BN_CLICKED) end_dialog(d, LOWORD(wp));
      return 0;
    }
    if (d->on_command) d->on_command(LOWORD(wp), HIWORD(wp), HWND(lp));
    return 0;
  case WM_CLOSE:
    if (d) end_dialog(d, IDCANCEL);
    return 0;
  case WM_DESTROY:
    if (d && !d->result) d->result = IDCANCEL;  // gone with its owner
    break;
  case BFFM_SETSELECTIONW: {
    auto f = folder_dialogs.find(h);
    if (f == folder_dialogs.end() || !lp) return 0;
    std::u16string path(reinterpret_cast<const char16_t*>(lp));  // a path, or our item list, which is one
    if (is_dir(path)) show_folder(f->second, path);
    return 0;
  }
  }
  return DefWindowProcW(h, msg, wp, lp);
}

}  // namespace detail

BOOL GetOpenFileNameW(OPENFILENAMEW* ofn) { return file_dialog_run(ofn, false); }
BOOL GetSaveFileNameW(OPENFILENAMEW* ofn) { return file_dialog_run(ofn, true); }

PIDLIST_ABSOLUTE SHBrowseForFolderW(BROWSEINFOW* info) {
  if (!info) return nullptr;
  layer::answer a;
  if (take_answer(&a)) {
    if (a.kind != layer::answer::files || a.texts.empty()) return nullptr;
    return make_item_list(normal(a.texts[0]));
  }
  folder_dialog fd;
  fd.info = info;
  std::u16string title = info->lpszTitle ? std::u16string(info->lpszTitle) : u"Choose a folder";
  HWND dlg = create_dialog(&fd.d, info->hwndOwner, u"Browse for Folder", 400, 330);
  make(dlg, u"STATIC", title.c_str(), 0, 10, 8, 380, 20, 100);
  fd.label = make(dlg, u"STATIC", u"", SS_ENDELLIPSIS, 10, 30, 380, 20, 101);
  fd.list = make(dlg, u"ListBox", u"", LBS_NOTIFY | WS_VSCROLL | WS_TABSTOP, 10, 52, 380, 200, 102, WS_EX_CLIENTEDGE);
  if (info->ulFlags & BIF_EDITBOX)
    fd.edit = make(dlg, u"EDIT", u"", ES_AUTOHSCROLL | WS_TABSTOP, 10, 260, 380, 23, 103, WS_EX_CLIENTEDGE);
  make(dlg, u"BUTTON", u"OK", BS_DEFPUSHBUTTON | WS_TABSTOP, 220, 296, 80, 26, IDOK);
  make(dlg, u"BUTTON", u"Cancel", BS_PUSHBUTTON | WS_TABSTOP, 310, 296, 80, 26, IDCANCEL);
  folder_dialogs[dlg] = &fd;
  show_folder(&fd, cwd());
  fd.initialized = true;
  if (info->lpfn) info->lpfn(dlg, BFFM_INITIALIZED, 0, info->lParam);
  fd.d.on_command = [&fd](int id, int code, HWND) {
    if (id == 102 && code == LBN_DBLCLK) {
      int i = int(SendMessageW(fd.list, LB_GETCURSEL, 0, 0));
      std::u16string t = list_text(fd.list, i);
      if (!t.empty()) show_folder(&fd, join(fd.folder, t));
    }
  };
  fd.d.on_ok = [&fd] {
    if (fd.edit) {
      std::u16string typed = window_text(fd.edit);
      std::u16string path = normal(join(fd.folder, typed));
      if (!typed.empty() && !is_dir(path)) return false;
      if (!typed.empty()) fd.folder = path;
    }
    return true;
  };
  int r = run_dialog(&fd.d, info->hwndOwner, fd.edit ? fd.edit : fd.list);
  folder_dialogs.erase(dlg);
  return r == IDOK ? make_item_list(fd.folder) : nullptr;
}

BOOL SHGetPathFromIDListW(PIDLIST_ABSOLUTE list, WCHAR* out) {
  if (!list || !out) return 0;
  std::u16string path(static_cast<const char16_t*>(list));
  if (path.size() >= 260) return 0;  // MAX_PATH
  std::copy(path.begin(), path.end(), out);
  out[path.size()] = 0;
  return 1;
}

void CoTaskMemFree(void* p) { free(p); }

BOOL ChooseFontW(CHOOSEFONTW* cf) {
  if (!cf || !cf->lpLogFont) return 0;
  bool fixed = cf->Flags & CF_FIXEDPITCHONLY;
  std::vector<std::u16string> families = font_families(fixed);
  layer::answer a;
  if (take_answer(&a)) {
    // Only what the dialog offers can be chosen.
    if (a.kind != layer::answer::font || a.texts.empty() || a.n <= 0 ||
        std::find(families.begin(), families.end(), a.texts[0]) == families.end())
      return 0;
    store_font(cf, a.texts[0], a.n, a.bold, a.italic);
    return 1;
  }
  std::u16string face;
  int points = 11;
  bool bold = false, italic = false;
  if (cf->Flags & CF_INITTOLOGFONTSTRUCT) {
    face = cf->lpLogFont->lfFaceName;
    if (cf->lpLogFont->lfHeight)
      points = std::max(1, int(std::lround(std::abs(cf->lpLogFont->lfHeight) * 72.0 / GetDpiForSystem())));
    bold = cf->lpLogFont->lfWeight >= 700, italic = cf->lpLogFont->lfItalic;
  }
  dialog d;
  HWND dlg = create_dialog(&d, cf->hwndOwner, u"Font", 420, 330);
  make(dlg, u"STATIC", u"&Font:", 0, 10, 8, 250, 20, 100);
  HWND list = make(dlg, u"ListBox", u"", LBS_NOTIFY | WS_VSCROLL | WS_TABSTOP, 10, 30, 250, 250, 101, WS_EX_CLIENTEDGE);
  make(dlg, u"STATIC", u"&Size:", 0, 280, 8, 120, 20, 102);
  std::u16string size_text;
  for (char c : std::to_string(points)) size_text += char16_t(c);
  HWND size = make(dlg, u"EDIT", size_text.c_str(), ES_NUMBER | WS_TABSTOP, 280, 30, 60, 23, 103, WS_EX_CLIENTEDGE);
  HWND b = make(dlg, u"BUTTON", u"&Bold", BS_AUTOCHECKBOX | WS_TABSTOP, 280, 64, 120, 22, 104);
  HWND i = make(dlg, u"BUTTON", u"&Italic", BS_AUTOCHECKBOX | WS_TABSTOP, 280, 90, 120, 22, 105);
  make(dlg, u"BUTTON", u"OK", BS_DEFPUSHBUTTON | WS_TABSTOP, 240, 296, 80, 26, IDOK);
  make(dlg, u"BUTTON", u"Cancel", BS_PUSHBUTTON | WS_TABSTOP, 330, 296, 80, 26, IDCANCEL);
  for (auto& f : families) SendMessageW(list, LB_ADDSTRING, 0, LPARAM(f.c_str()));
  auto at = std::find(families.begin(), families.end(), face);
  SendMessageW(list, LB_SETCURSEL, WPARAM(at == families.end() ? 0 : at - families.begin()), 0);
  SendMessageW(b, BM_SETCHECK, bold, 0);
  SendMessageW(i, BM_SETCHECK, italic, 0);
  d.on_ok = [&] {
    int sel = int(SendMessageW(list, LB_GETCURSEL, 0, 0));
    int pts = atoi(utf8(window_text(size)).c_str());
    if (sel < 0 || pts <= 0) return false;
    store_font(cf, families[size_t(sel)], pts, SendMessageW(b, BM_GETCHECK, 0, 0) == BST_CHECKED,
               SendMessageW(i, BM_GETCHECK, 0, 0) == BST_CHECKED);
    return true;
  };
  return run_dialog(&d, cf->hwndOwner, list) == IDOK;
}

int MessageBoxW(HWND owner, const WCHAR* text, const WCHAR* caption, UINT type) {
  std::vector<box_button> buttons = buttons_of(type);
  layer::answer a;
  if (take_answer(&a)) {
    if (a.kind == layer::answer::item)
      for (auto& x : buttons)
        if (x.id == a.n) return a.n;
    return box_escape(buttons) ? box_escape(buttons) : buttons.back().id;
  }
  std::u16string body = text ? std::u16string(text) : std::u16string();
  gfx::gdi_dc g;
  gfx::gdi_rect r{0, 0, 400, 0};
  g.draw_text(body, r, gfx::DT_WORDBREAK | gfx::DT_CALCRECT | gfx::DT_EXPANDTABS | gfx::DT_NOPREFIX);
  int text_w = std::max(int(r.right), 90 * int(buttons.size())), text_h = std::max(int(r.bottom), 20);
  int width = text_w + 40, height = text_h + 80;
  dialog d;
  HWND dlg = create_dialog(&d, owner, caption ? std::u16string(caption) : u"Error", width, height);
  make(dlg, u"STATIC", body.c_str(), 0, 20, 20, text_w, text_h, 100);
  int x = width - 10 - 90 * int(buttons.size());
  HWND first = 0;
  for (size_t k = 0; k < buttons.size(); k++) {
    HWND bt = make(dlg, u"BUTTON", buttons[k].text, (k ? BS_PUSHBUTTON : BS_DEFPUSHBUTTON) | WS_TABSTOP,
                   x + 90 * int(k), height - 40, 80, 26, buttons[k].id);
    if (!k) first = bt;
  }
  // Enter answers the first button; Escape and closing answer as above.
  d.on_ok = [&] {
    if (buttons[0].id != IDOK) {
      d.result = buttons[0].id;
      return false;
    }
    return true;
  };
  int result = run_dialog(&d, owner, first);
  // Escape or closing a box without Cancel answers its last button.
  if (result == IDCANCEL && !box_escape(buttons)) result = buttons.back().id;
  return result;
}

}  // namespace kez::win
