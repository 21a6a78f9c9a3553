// Start and stop of the window system, screens, and the input script that
// whole programs name with KEZ_INPUT.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <sstream>

#include "platform/win/controls.h"
#include "platform/win/internal.h"

namespace kez::win::layer {
using namespace detail;

namespace {

bool started = false;

}  // namespace
}  // namespace kez::win::layer

namespace kez::win::detail {
using layer::screen;

// "WxH[+X+Y][@DPI]" items separated by commas.
// Sides and offsets stay within ±32767 (as input coordinates do), so that a
// rectangle's edges never overflow an int.
std::vector<screen> parse_screens(const char* text) {
  std::vector<screen> out;
  std::stringstream in(text);
  std::string part;
  // A number of at most ±32767, with at least one digit.
  auto number = [](const char* p, char** end, long* n) {
    errno = 0;
    *n = strtol(p, end, 10);
    return *end != p && errno == 0 && *n >= -32767 && *n <= 32767;
  };
  while (std::getline(in, part, ',')) {
    long w = 0, h = 0, x = 0, y = 0;
    unsigned long dpi = 96;
    const char* p = part.c_str();
    char* end;
    if (!number(p, &end, &w) || *end != 'x') return {};
    if (!number(end + 1, &end, &h)) return {};
    if (*end == '+') {
      if (!number(end + 1, &end, &x) || *end != '+') return {};
      if (!number(end + 1, &end, &y)) return {};
    }
    if (*end == '@') {
      const char* start = end + 1;
      errno = 0;
      dpi = strtoul(start, &end, 10);
      if (end == start || errno) return {};
    }
    if (*end || w <= 0 || h <= 0 || dpi < 48 || dpi > 960) return {};
    out.push_back(screen{RECT{int(x), int(y), int(x + w), int(y + h)}, unsigned(dpi)});
  }
  return out;
}

void set_monitors(const std::vector<screen>& screens) {
  for (HMONITOR h : st().monitors) remove(h);
  st().monitors.clear();
  for (const screen& s : screens) {
    auto m = std::make_unique<monitor>();
    m->rect = s.rect;
    m->work = s.rect;
    m->work.bottom -= (48 * int(s.dpi) + 48) / 96;  // the task bar
    m->dpi = s.dpi;
    st().monitors.push_back(add(std::move(m)));
  }
}

}  // namespace kez::win::detail

namespace kez::win::layer {

namespace {

struct named_key {
  const char* name;
  UINT vk;
  bool extended;
};
constexpr named_key key_names[] = {
    {"enter", VK_RETURN, false}, {"tab", VK_TAB, false}, {"escape", VK_ESCAPE, false},
    {"backspace", VK_BACK, false}, {"space", VK_SPACE, false}, {"left", VK_LEFT, true}, {"right", VK_RIGHT, true},
    {"up", VK_UP, true}, {"down", VK_DOWN, true}, {"home", VK_HOME, true}, {"end", VK_END, true},
    {"delete", VK_DELETE, true}, {"insert", VK_INSERT, true}, {"pageup", VK_PRIOR, true}, {"pagedown", VK_NEXT, true},
    {"shift", VK_LSHIFT, false}, {"rshift", VK_RSHIFT, false}, {"ctrl", VK_LCONTROL, false},
    {"rctrl", VK_RCONTROL, true}, {"alt", VK_LMENU, false}, {"ralt", VK_RMENU, true},
};

bool parse_key(const std::string& word, UINT* vk, bool* extended) {
  *extended = false;
  if (word.size() == 1 && isalnum(static_cast<unsigned char>(word[0]))) {
    *vk = UINT(toupper(word[0]));
    return true;
  }
  if (word.size() > 2 && word[0] == '0' && word[1] == 'x') {
    char* end;
    unsigned long v = strtoul(word.c_str() + 2, &end, 16);
    *vk = UINT(v);
    return !*end && v > 0 && v < 256;
  }
  if (word[0] == 'f' && word.size() <= 3) {
    int n = atoi(word.c_str() + 1);
    if (n >= 1 && n <= 12) return *vk = VK_F1 + UINT(n - 1), true;
  }
  for (const named_key& k : key_names)
    if (word == k.name) return *vk = k.vk, *extended = k.extended, true;
  return false;
}

// The quoted text of a `text` line, with \" \\ \n \t \u{HEX} escapes.
bool parse_text(const std::string& rest, std::u32string* out) {
  size_t i = rest.find_first_not_of(' ');
  if (i == std::string::npos || rest[i] != '"') return false;
  for (i++; i < rest.size(); i++) {
    unsigned char c = static_cast<unsigned char>(rest[i]);
    if (c == '"') return rest.find_first_not_of(' ', i + 1) == std::string::npos;
    if (c == '\\') {
      if (++i >= rest.size()) return false;
      char e = rest[i];
      if (e == 'n') out->push_back('\n');
      else if (e == 't') out->push_back('\t');
      else if (e == '"' || e == '\\') out->push_back(char32_t(e));
      else if (e == 'u' && i + 1 < rest.size() && rest[i + 1] == '{') {
        size_t close = rest.find('}', i);
        if (close == std::string::npos) return false;
        char* end;
        unsigned long v = strtoul(rest.c_str() + i + 2, &end, 16);
        if (end != rest.c_str() + close || v == 0 || v > 0x10FFFF || (v >= 0xD800 && v <= 0xDFFF)) return false;
        out->push_back(char32_t(v));
        i = close;
      } else {
        return false;
      }
      continue;
    }
    // UTF-8 in the file becomes code points.
    int extra = c < 0x80 ? 0 : c >= 0xF0 ? 3 : c >= 0xE0 ? 2 : c >= 0xC0 ? 1 : -1;
    if (extra < 0 || i + size_t(extra) >= rest.size()) return false;
    char32_t cp = extra ? c & (0x3F >> extra) : c;
    for (int k = 1; k <= extra; k++) {
      unsigned char cc = static_cast<unsigned char>(rest[i + size_t(k)]);
      if ((cc & 0xC0) != 0x80) return false;
      cp = cp << 6 | (cc & 0x3F);
    }
    if ((extra == 1 && cp < 0x80) || (extra == 2 && cp < 0x800) || (extra == 3 && (cp < 0x10000 || cp > 0x10FFFF)) ||
        (cp >= 0xD800 && cp <= 0xDFFF))
      return false;
    out->push_back(cp);
    i += size_t(extra);
  }
  return false;
}

// "item N", "cancel", "files "A" "B" ...", "font "NAME" SIZE [bold] [italic]".
bool parse_answer(const std::string& rest, answer* out) {
  std::stringstream words(rest);
  std::string kind;
  words >> kind;
  std::string tail;
  std::getline(words, tail);
  if (kind == "cancel") return out->kind = answer::cancel, tail.find_first_not_of(' ') == std::string::npos;
  if (kind == "item") {
    char* end;
    long n = strtol(tail.c_str(), &end, 10);
    if (end == tail.c_str() || std::string(end).find_first_not_of(' ') != std::string::npos || n < 0 || n > 65535) return false;
    out->kind = answer::item, out->n = int(n);
    return true;
  }
  // Quoted texts, then (for a font) the words after them.
  std::vector<std::u16string> texts;
  size_t i = 0;
  for (;;) {
    size_t q = tail.find_first_not_of(' ', i);
    if (q == std::string::npos || tail[q] != '"') { i = q == std::string::npos ? tail.size() : q; break; }
    size_t e = tail.find('"', q + 1);
    if (e == std::string::npos) return false;
    std::u32string t;
    if (!parse_text(tail.substr(q, e - q + 1), &t)) return false;
    std::u16string u;
    for (char32_t c : t) {
      if (c >= 0x10000) u += char16_t(0xD800 + ((c - 0x10000) >> 10)), u += char16_t(0xDC00 + (c & 0x3FF));
      else u += char16_t(c);
    }
    texts.push_back(u);
    i = e + 1;
  }
  std::stringstream more(tail.substr(i));
  if (kind == "files") {
    std::string extra;
    if (texts.empty() || (more >> extra)) return false;
    out->kind = answer::files, out->texts = texts;
    return true;
  }
  if (kind == "font") {
    int size = 0;
    if (texts.size() != 1 || !(more >> size) || size <= 0) return false;
    out->kind = answer::font, out->texts = texts, out->n = size;
    std::string w;
    while (more >> w) {
      if (w == "bold") out->bold = true;
      else if (w == "italic") out->italic = true;
      else return false;
    }
    return true;
  }
  return false;
}

bool parse_button(const std::string& word, UINT* vk) {
  if (word.empty() || word == "left") return *vk = VK_LBUTTON, true;
  if (word == "right") return *vk = VK_RBUTTON, true;
  if (word == "middle") return *vk = VK_MBUTTON, true;
  return false;
}

}  // namespace

mode start(mode wanted, const std::vector<screen>& screens) {
  if (started) stop();
  started = true;
  reset_queue();
  const char* display = getenv("DISPLAY");
  const char* forced = getenv("KEZ_HEADLESS");
  bool want_x = wanted == mode::x11 || (wanted == mode::automatic && display && *display && !(forced && *forced));
  st().mode = want_x && x11_open() ? mode::x11 : mode::headless;
  std::vector<screen> list = screens;
  if (st().mode == mode::x11) {
    x11_monitors(&list);
  } else if (list.empty()) {
    const char* env = getenv("KEZ_SCREENS");
    if (env) list = parse_screens(env);
    if (env && list.empty()) fprintf(stderr, "KEZ_SCREENS: not understood: %s\n", env);
  }
  if (list.empty()) list.push_back(screen{RECT{0, 0, 1920, 1080}, 96});
  set_monitors(list);
  register_controls();
  st().mouse = POINT{0, 0};
  if (st().mode == mode::headless)
    if (const char* path = getenv("KEZ_INPUT"); path && *path) {
      std::ifstream in(path, std::ios::binary);
      std::stringstream text;
      text << in.rdbuf();
      std::string error;
      if (!in) fprintf(stderr, "KEZ_INPUT: cannot read %s\n", path);
      else if (!load_input_script(text.str(), &error)) fprintf(stderr, "KEZ_INPUT: %s: %s\n", path, error.c_str());
    }
  return st().mode;
}

void stop() {
  if (!started) return;
  destroy_all_windows();
  set_monitors({});
  if (st().mode == mode::x11) x11_close();
  reset_queue();
  reset_settings();
  state& s = st();
  s.capture = s.focus = s.active = s.hover = 0;
  s.cursor = 0;
  std::fill(std::begin(s.keys), std::end(s.keys), 0);
  s.mode = mode::headless;
  started = false;
}

mode current() { return st().mode; }

bool load_input_script(const std::string& text, std::string* error) {
  // Parsed whole first, so a bad line injects nothing.
  std::vector<std::function<void()>> steps;
  std::stringstream in(text);
  std::string line;
  for (int number = 1; std::getline(in, line); number++) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    size_t start = line.find_first_not_of(" \t");
    if (start == std::string::npos || line[start] == '#') continue;
    std::stringstream words(line.substr(start));
    std::string verb, a, b;
    words >> verb;
    auto fail = [&](const char* what) {
      if (error) *error = "line " + std::to_string(number) + ": " + what;
      return false;
    };
    if (verb == "answer") {
      answer a;
      if (!parse_answer(line.substr(start + 6), &a)) return fail("answer wants item N, cancel, files \"PATH\"..., or font \"NAME\" SIZE [bold] [italic]");
      steps.push_back([a] { respond(a); });
      continue;
    }
    if (verb == "ime") {
      std::string step;
      std::stringstream(line.substr(start + 3)) >> step;
      std::u32string t;
      size_t after = line.find(step, start + 3) + step.size();
      bool texted = step == "compose" || step == "result";
      if ((step != "start" && step != "end" && !texted) || (texted && !parse_text(line.substr(after), &t)) ||
          (!texted && line.find_first_not_of(" \t", after) != std::string::npos))
        return fail("ime wants start, compose \"TEXT\", result \"TEXT\" or end");
      std::u16string u;
      for (char32_t c : t) {
        if (c >= 0x10000) u += char16_t(0xD800 + ((c - 0x10000) >> 10)), u += char16_t(0xDC00 + (c & 0x3FF));
        else u += char16_t(c);
      }
      ime_step k = step == "start" ? ime_step::start : step == "compose" ? ime_step::compose
                   : step == "result" ? ime_step::result : ime_step::end;
      steps.push_back([k, u] { inject_ime(k, u); });
      continue;
    }
    if (verb == "text") {
      std::u32string t;
      if (!parse_text(line.substr(start + 4), &t)) return fail("text wants one quoted string");
      steps.push_back([t] { inject_text(t); });
      continue;
    }
    words >> a >> b;
    std::string extra;
    if (words >> extra) return fail("too many words");
    if (verb == "key") {
      UINT vk;
      bool ext;
      if (!parse_key(a, &vk, &ext)) return fail("unknown key");
      if (b.empty()) steps.push_back([=] { inject_key(vk, true, ext); inject_key(vk, false, ext); });
      else if (b == "down" || b == "up") steps.push_back([=] { inject_key(vk, b == "down", ext); });
      else return fail("key wants down or up");
    } else if (verb == "move") {
      char *e1, *e2;
      long x = strtol(a.c_str(), &e1, 10), y = strtol(b.c_str(), &e2, 10);
      if (a.empty() || b.empty() || *e1 || *e2 || labs(x) > 32767 || labs(y) > 32767) return fail("move wants X Y");
      steps.push_back([=] { inject_mouse_move(int(x), int(y)); });
    } else if (verb == "click" || verb == "down" || verb == "up") {
      UINT vk;
      if (!b.empty() || !parse_button(a, &vk)) return fail("unknown button");
      if (verb == "click") steps.push_back([=] { inject_button(vk, true); inject_button(vk, false); });
      else steps.push_back([=] { inject_button(vk, verb == "down"); });
    } else if (verb == "wheel" || verb == "wait") {
      char* e;
      long n = strtol(a.c_str(), &e, 10);
      if (a.empty() || *e || !b.empty() || (verb == "wait" ? n < 0 || n > 86400000 : labs(n) > 32767))
        return fail(verb == "wait" ? "wait wants milliseconds" : "wheel wants a step");
      if (verb == "wait") steps.push_back([=] { inject_wait(DWORD(n)); });
      else steps.push_back([=] { inject_wheel(int(n)); });
    } else if (verb == "gesture") {
      static const char* const names[] = {"begin", "end", "zoom", "pan", "rotate", "two-tap", "press-tap"};
      DWORD id = 0;
      for (DWORD i = 0; i < 7; i++)
        if (a == names[i]) id = i + 1;
      char* e = nullptr;
      unsigned long long n = b.empty() ? 0 : strtoull(b.c_str(), &e, 10);
      if (!id || (e && *e)) return fail("gesture wants begin, end, zoom, pan, rotate, two-tap or press-tap, and a number");
      steps.push_back([=] { inject_gesture(id, n); });
    } else if (verb == "display") {
      std::vector<screen> list = parse_screens(a.c_str());
      if (list.empty() || !b.empty()) return fail("display wants WxH[+X+Y][@DPI],...");
      steps.push_back([=] { inject_display(list); });
    } else if (verb == "theme") {
      if (!b.empty() || (a != "light" && a != "dark" && a != "contrast")) return fail("theme wants light, dark or contrast");
      theme t = a == "dark" ? theme::dark : a == "contrast" ? theme::contrast : theme::light;
      steps.push_back([=] { inject_theme(t); });
    } else {
      return fail("unknown item");
    }
  }
  // Even an empty script is one: the loop ends when it is used up.
  detail::expect_scripted_input();
  for (auto& s : steps) s();
  return true;
}

}  // namespace kez::win::layer
