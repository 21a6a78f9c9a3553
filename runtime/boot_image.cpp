#include "runtime/boot_image.h"

#include <cxxabi.h>
#include <elf.h>
#include <fcntl.h>
#include <link.h>
#include <sys/auxv.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <type_traits>
#include <vector>

#include "platform/vmem.h"
#include "runtime/arena.h"
#include "runtime/boot_image_format.h"
#include "runtime/checksum.h"
#include "runtime/collector.h"
#include "runtime/mem.h"

extern "C" char __executable_start[];
extern "C" char _end[];

namespace kez::boot_image {

namespace {

constexpr uint64_t PAGE = vmem::PAGE;

// The state that is never carried: what the process sets before the boot
// (arguments, stack bounds, signal handling, the tracked allocations) and
// what depends on where it runs (is standard output a terminal).
const char* const never_carried[] = {
    "kez::runtime::ctx",
    "kez::mem::tracked",
    "kez::runtime::(anonymous namespace)::machine_stack_base",
    "kez::runtime::(anonymous namespace)::machine_stack_limit",
    "kez::runtime::(anonymous namespace)::launch_body",
    "kez::runtime::(anonymous namespace)::init_body",
    "kez::runtime::(anonymous namespace)::faults",
    "kez::runtime::(anonymous namespace)::signal_stack",
    "kez::arena::base",
    "kez::arena::(anonymous namespace)::runs",
    "kez::console::(anonymous namespace)::terminal",
    "kez::collector::detail::stress",
    "kez::interpreter::(anonymous namespace)::depth_limit",  // from this thread's stack, when first needed
    "kez::interpreter::(anonymous namespace)::decoded_table",  // made again as code runs
    // What block evaluations in progress hold: nothing once the boot is done.
    "kez::interpreter::(anonymous namespace)::tail_saved",
    "kez::interpreter::(anonymous namespace)::tail_kind",
    "kez::interpreter::(anonymous namespace)::tail_code",
};

std::string demangle(const char* name) {
  int status = 0;
  char* text = abi::__cxa_demangle(name, nullptr, nullptr, &status);
  std::string out = status == 0 && text ? text : name;
  std::free(text);
  return out;
}

bool listed(const std::string& name, const char* const* first, const char* const* last) {
  for (auto p = first; p != last; ++p)
    if (name == *p) return true;
  return false;
}

// The executable's program headers as loaded, and the load bias to add to
// their addresses.
struct loaded_program {
  const ElfW(Phdr)* phdr = nullptr;
  size_t count = 0;
  uintptr_t bias = 0;
  loaded_program() {
    phdr = reinterpret_cast<const ElfW(Phdr)*>(getauxval(AT_PHDR));
    count = phdr ? getauxval(AT_PHNUM) : 0;
    for (size_t i = 0; i < count; ++i)
      if (phdr[i].p_type == PT_PHDR) bias = uintptr_t(phdr) - phdr[i].p_vaddr;
  }
};

// The executable's build id, from its note in the loaded program headers.
std::string own_build_id() {
  loaded_program program;
  for (size_t i = 0; i < program.count; ++i) {
    const ElfW(Phdr)& ph = program.phdr[i];
    if (ph.p_type != PT_NOTE) continue;
    auto* p = reinterpret_cast<const uint8_t*>(program.bias + ph.p_vaddr);
    auto* end = p + ph.p_memsz;
    while (p + sizeof(ElfW(Nhdr)) <= end) {
      auto* note = reinterpret_cast<const ElfW(Nhdr)*>(p);
      const uint8_t* name = p + sizeof(ElfW(Nhdr));
      const uint8_t* desc = name + ((note->n_namesz + 3) & ~3u);
      if (note->n_type == NT_GNU_BUILD_ID && note->n_namesz == 4 && std::memcmp(name, "GNU", 4) == 0)
        return std::string(reinterpret_cast<const char*>(desc), note->n_descsz);
      p = desc + ((note->n_descsz + 3) & ~3u);
    }
  }
  return {};
}

// The executable's data that stays writable once it is loaded: its writable
// segment, less the part made read-only after relocation.
void writable_data(uint64_t& low, uint64_t& high) {
  loaded_program program;
  low = high = 0;
  uint64_t relro_end = 0;
  for (size_t i = 0; i < program.count; ++i) {
    const ElfW(Phdr)& ph = program.phdr[i];
    if (ph.p_type == PT_LOAD && (ph.p_flags & PF_W)) {
      low = program.bias + ph.p_vaddr;
      high = low + ph.p_memsz;
    }
    if (ph.p_type == PT_GNU_RELRO) relro_end = (program.bias + ph.p_vaddr + ph.p_memsz) / PAGE * PAGE;
  }
  if (relro_end > low && relro_end <= high) low = relro_end;
}

// ---- writing --------------------------------------------------------------

struct mapping {
  uint64_t low, high;
  bool readable;
};

std::vector<mapping> read_maps() {
  std::vector<mapping> out;
  std::ifstream in("/proc/self/maps");
  std::string line;
  while (std::getline(in, line)) {
    mapping m{};
    char perms[5] = {};
    if (std::sscanf(line.c_str(), "%lx-%lx %4s", &m.low, &m.high, perms) != 3) continue;
    m.readable = perms[0] == 'r';
    out.push_back(m);
  }
  return out;
}

// An address that only this process has: mapped, and neither in the
// executable nor in the heap's range.
bool foreign(uint64_t value, const std::vector<mapping>& maps) {
  if (value >= uint64_t(uintptr_t(__executable_start)) && value < uint64_t(uintptr_t(_end))) return false;
  uint64_t base = uint64_t(uintptr_t(arena::base));
  if (value >= base && value < base + arena::size) return false;
  for (const mapping& m : maps)
    if (value >= m.low && value < m.high) return true;
  return false;
}

struct symbol {
  std::string name;
  uint64_t address, size;
  std::string before;  // the value before the boot
};

std::vector<symbol> prepared;

// The executable's own global variables: every object symbol of the kez
// namespace (function-local statics and their guards included) in a
// writable section, with its value now.
bool own_symbols(const std::string& file, std::vector<symbol>& out) {
  if (file.size() < sizeof(Elf64_Ehdr)) return false;
  auto* eh = reinterpret_cast<const Elf64_Ehdr*>(file.data());
  if (std::memcmp(eh->e_ident, ELFMAG, SELFMAG) != 0 || eh->e_shoff + uint64_t(eh->e_shnum) * sizeof(Elf64_Shdr) > file.size())
    return false;
  auto* sections = reinterpret_cast<const Elf64_Shdr*>(file.data() + eh->e_shoff);
  for (unsigned s = 0; s < eh->e_shnum; ++s) {
    if (sections[s].sh_type != SHT_SYMTAB) continue;
    const Elf64_Shdr& strings = sections[sections[s].sh_link];
    auto* syms = reinterpret_cast<const Elf64_Sym*>(file.data() + sections[s].sh_offset);
    size_t n = sections[s].sh_size / sizeof(Elf64_Sym);
    for (size_t i = 0; i < n; ++i) {
      const Elf64_Sym& sym = syms[i];
      if (ELF64_ST_TYPE(sym.st_info) != STT_OBJECT || sym.st_size == 0 || sym.st_shndx == SHN_UNDEF ||
          sym.st_shndx >= eh->e_shnum)
        continue;
      const Elf64_Shdr& section = sections[sym.st_shndx];
      if (!(section.sh_flags & SHF_ALLOC) || !(section.sh_flags & SHF_WRITE) || (section.sh_flags & SHF_TLS)) continue;
      const char* raw = file.data() + strings.sh_offset + sym.st_name;
      std::string_view mangled(raw);
      // _ZN3kez, _ZZN3kez (function-local statics), _ZGVN3kez / _ZGVZN3kez (their guards).
      size_t at = mangled.find("N3kez");
      if (!mangled.starts_with("_Z") || at == std::string_view::npos || at > 6) continue;
      std::string name = demangle(raw);
      if (name.starts_with("kez::boot_image::")) continue;  // the writer's own
      out.push_back({name, sym.st_value, sym.st_size,
                     std::string(reinterpret_cast<const char*>(uintptr_t(sym.st_value)), sym.st_size)});
    }
  }
  return !out.empty();
}

// The first aligned word in [p, p + n) that holds a foreign address, or -1.
int64_t first_foreign(const uint8_t* p, size_t n, const std::vector<mapping>& maps) {
  for (size_t at = (8 - uintptr_t(p) % 8) % 8; at + 8 <= n; at += 8) {
    uint64_t value;
    std::memcpy(&value, p + at, 8);
    if (foreign(value, maps)) return int64_t(at);
  }
  return -1;
}

template <class T>
void put(std::string& out, const T& value) {
  out.append(reinterpret_cast<const char*>(&value), sizeof value);
}

void pad_to_page(std::string& out) { out.resize((out.size() + PAGE - 1) / PAGE * PAGE, '\0'); }

// ---- loading --------------------------------------------------------------

// The executable's own file, open while the image is read.
struct own_file {
  int fd = open("/proc/self/exe", O_RDONLY | O_CLOEXEC);
  ~own_file() {
    if (fd >= 0) close(fd);
  }
  bool read(void* to, size_t size, uint64_t at) const {
    auto* p = static_cast<uint8_t*>(to);
    while (size) {
      ssize_t n = pread(fd, p, size, off_t(at));
      if (n <= 0) return false;
      p += n;
      at += uint64_t(n);
      size -= size_t(n);
    }
    return true;
  }
};

// An image that does not check out: start-up goes the long way. Said on
// standard error only when asked (KEZ_IMAGE_VERBOSE).
bool refused(const char* why) {
  if (std::getenv("KEZ_IMAGE_VERBOSE")) std::fprintf(stderr, "boot image: refused: %s\n", why);
  return false;
}

}  // namespace

bool prepare() {
  std::string file;
  {
    std::ifstream in("/proc/self/exe", std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    file = text.str();
  }
  if (own_symbols(file, prepared)) return true;
  std::fputs("boot image: the executable has no symbol table to find its globals by\n", stderr);
  return false;
}

bool write(const char* path) {
  if (prepared.empty()) return false;
  if (arena::base != arena::preferred_base) {
    std::fputs("boot image: the heap is not at its preferred base\n", stderr);
    return false;
  }
  std::string id = own_build_id();
  if (id.empty() || id.size() > sizeof header::build_id) {
    std::fputs("boot image: the executable has no build id\n", stderr);
    return false;
  }
  std::vector<mapping> maps = read_maps();
  bool verbose = std::getenv("KEZ_IMAGE_VERBOSE") != nullptr;

  // The globals the boot changed, and the tracked blocks they point to.
  std::vector<global> globals;
  std::vector<carried_block> blocks;
  bool refused = false;
  for (const symbol& s : prepared) {
    auto* live = reinterpret_cast<const uint8_t*>(uintptr_t(s.address));
    if (std::memcmp(live, s.before.data(), s.size) == 0 ||
        listed(s.name, std::begin(never_carried), std::end(never_carried)))
      continue;
    if (verbose) std::fprintf(stderr, "carried: %s (%lu bytes)\n", s.name.c_str(), static_cast<unsigned long>(s.size));
    // Only the pages of it that changed: a big table the boot fills sparsely
    // (the case tables) costs start-up no more than its used pages.
    for (uint64_t from = s.address; from < s.address + s.size;) {
      uint64_t to = std::min((from / PAGE + 1) * PAGE, s.address + s.size);
      size_t at = from - s.address;
      if (std::memcmp(live + at, s.before.data() + at, to - from) != 0) globals.push_back({from, to - from, 0});
      from = to;
    }
    for (size_t at = (8 - s.address % 8) % 8; at + 8 <= s.size; at += 8) {
      uint64_t value;
      std::memcpy(&value, live + at, 8);
      if (!foreign(value, maps)) continue;
      auto* target = reinterpret_cast<const uint8_t*>(uintptr_t(value));
      size_t size = mem::size_of(target);
      if (size && first_foreign(target, size, maps) < 0) {
        blocks.push_back({s.address + at, size, 0});
        continue;
      }
      std::fprintf(stderr, "boot image: %s holds an address outside the executable and the heap (+%lu)\n",
                   s.name.c_str(), static_cast<unsigned long>(at));
      refused = true;
    }
  }
  if (refused) return false;
  // In address order, neighbours merged: one read each at start-up.
  std::sort(globals.begin(), globals.end(), [](const global& a, const global& b) { return a.address < b.address; });
  std::vector<global> merged;
  std::string global_bytes;
  for (const global& g : globals) {
    if (!merged.empty() && merged.back().address + merged.back().size == g.address) merged.back().size += g.size;
    else merged.push_back({g.address, g.size, global_bytes.size()});
    global_bytes.append(reinterpret_cast<const char*>(uintptr_t(g.address)), g.size);
  }
  globals = std::move(merged);
  for (carried_block& b : blocks) {
    const uint8_t* target;
    std::memcpy(&target, reinterpret_cast<const void*>(uintptr_t(b.slot)), sizeof target);
    b.at = global_bytes.size();
    global_bytes.append(reinterpret_cast<const char*>(target), b.size);
  }

  // The heap: its committed stretches, whole.
  std::vector<range> ranges;
  uint64_t base = uint64_t(uintptr_t(arena::base));
  for (const mapping& m : maps) {
    if (m.low < base || m.high > base + arena::size) continue;
    if (!m.readable) continue;  // reserved, or sealed: nothing readable to carry
    ranges.push_back({m.low - base, m.high - m.low, 0});
  }
  arena::runs_state runs = arena::save_runs();

  header h{};
  std::memcpy(h.magic, MAGIC, sizeof MAGIC);
  h.version = VERSION;
  h.build_id_size = uint32_t(id.size());
  std::memcpy(h.build_id, id.data(), id.size());
  h.executable_end = uint64_t(uintptr_t(_end));
  h.base = base;
  h.runs_top = runs.top;
  h.released_count = uint32_t(runs.released.size());
  h.range_count = uint32_t(ranges.size());
  h.global_count = uint32_t(globals.size());
  h.block_count = uint32_t(blocks.size());

  // Layout: header, tables, global bytes, then the heap's pages, page-aligned.
  size_t tables = sizeof h + runs.released.size() * sizeof(page_runs::run) + ranges.size() * sizeof(range) +
                  globals.size() * sizeof(global) + blocks.size() * sizeof(carried_block);
  for (global& g : globals) g.at += tables;
  for (carried_block& b : blocks) b.at += tables;
  h.checked = tables + global_bytes.size();
  uint64_t at = (h.checked + PAGE - 1) / PAGE * PAGE;
  for (range& r : ranges) {
    r.at = at;
    at += r.bytes;
  }
  h.size = (at + sizeof(trailer) + PAGE - 1) / PAGE * PAGE;

  std::string out;
  out.reserve(h.size);
  put(out, h);
  for (const page_runs::run& r : runs.released) put(out, r);
  for (const range& r : ranges) put(out, r);
  for (const global& g : globals) put(out, g);
  for (const carried_block& b : blocks) put(out, b);
  out += global_bytes;
  h.checksum = checksum(reinterpret_cast<const uint8_t*>(out.data()), h);
  std::memcpy(out.data() + offsetof(header, checksum), &h.checksum, sizeof h.checksum);
  pad_to_page(out);
  for (const range& r : ranges) out.append(reinterpret_cast<const char*>(arena::base + r.offset), r.bytes);
  out.resize(h.size - sizeof(trailer), '\0');
  trailer t{h.size, {}};
  std::memcpy(t.magic, MAGIC, sizeof MAGIC);
  put(out, t);

  std::ofstream o(path, std::ios::binary | std::ios::trunc);
  o.write(out.data(), std::streamsize(out.size()));
  if (verbose)
    std::fprintf(stderr, "boot image: %zu global stretches and blocks (%zu bytes), %zu heap stretches, %zu bytes in all\n",
                 globals.size() + blocks.size(), global_bytes.size(), ranges.size(), out.size());
  return bool(o);
}

bool load() {
  if (std::getenv("KEZ_NO_IMAGE") || collector::boot_stress_q() || std::getenv("KEZ_WRITE_IMAGE")) return false;
  if (arena::base) return false;  // the heap is in use already
  own_file file;
  struct stat st;
  trailer t{};
  if (file.fd < 0 || fstat(file.fd, &st) != 0 || uint64_t(st.st_size) < sizeof t ||
      !file.read(&t, sizeof t, uint64_t(st.st_size) - sizeof t) || std::memcmp(t.magic, MAGIC, sizeof MAGIC) != 0)
    return false;  // no image at all: nothing to say
  if (t.size % PAGE != 0 || t.size < sizeof(header) || t.size > uint64_t(st.st_size) ||
      (uint64_t(st.st_size) - t.size) % PAGE != 0)
    return refused("its trailer does not fit the file");
  uint64_t start = uint64_t(st.st_size) - t.size;
  // The whole image, mapped for reading only what is used: the tables and
  // the globals' bytes (the heap's pages are mapped again in place below).
  void* mapped = mmap(nullptr, t.size, PROT_READ, MAP_PRIVATE, file.fd, off_t(start));
  if (mapped == MAP_FAILED) return refused("it cannot be mapped");
  struct unmap {
    void* p;
    size_t size;
    ~unmap() { munmap(p, size); }
  } unmap_image{mapped, t.size};
  const auto* image = static_cast<const uint8_t*>(mapped);
  // Checked against the range as this process reserved it: under an
  // address-space limit it may be too small for the image's heap, which
  // then boots the long way.
  if (arena::reserve() != arena::preferred_base) return refused("the heap is not at its preferred base");
  std::string id = own_build_id();
  expected e{reinterpret_cast<const uint8_t*>(id.data()), id.size(), uint64_t(uintptr_t(_end)),
             uint64_t(uintptr_t(arena::preferred_base)), arena::size - PAGE, 0, 0};
  writable_data(e.writable_low, e.writable_high);
  tables rows;
  if (const char* why = read_tables(image, t.size, e, rows)) return refused(why);

  // The heap's pages, mapped from the file: private, so that writes stay in
  // this process; pages never touched are never read.
  for (size_t i = 0; i < rows.ranges.size(); ++i) {
    const range& r = rows.ranges[i];
    void* p = mmap(arena::base + r.offset, r.bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_FIXED, file.fd,
                   off_t(start + r.at));
    if (p != MAP_FAILED) continue;
    // Refused: the range goes back to reserved, as fresh as the long boot
    // expects it.
    for (size_t k = 0; k < i; ++k) vmem::forget(arena::base + rows.ranges[k].offset, rows.ranges[k].bytes);
    return refused("its heap pages cannot be mapped");
  }
  for (const global& g : rows.globals)
    std::memcpy(reinterpret_cast<void*>(uintptr_t(g.address)), image + g.at, g.size);
  for (const carried_block& b : rows.blocks) {
    void* made = mem::allocate(b.size);
    std::memcpy(made, image + b.at, b.size);
    std::memcpy(reinterpret_cast<void*>(uintptr_t(b.slot)), &made, sizeof made);
  }
  uint64_t end = 0;
  for (const range& r : rows.ranges) end = std::max(end, r.offset + r.bytes);
  arena::restore_runs({rows.h.runs_top, std::move(rows.released)}, end);
  return true;
}

uint32_t checksum(const uint8_t* image, const header& h) {
  header zeroed = h;
  zeroed.checksum = 0;
  uint32_t sum = kez::checksum::crc32(reinterpret_cast<const uint8_t*>(&zeroed), sizeof zeroed);
  return kez::checksum::crc32(image + sizeof zeroed, h.checked - sizeof zeroed, sum);
}

const char* read_tables(const uint8_t* image, uint64_t size, const expected& e, tables& out) {
  header& h = out.h;
  if (size < sizeof h + sizeof(trailer)) return "it is cut short";
  std::memcpy(&h, image, sizeof h);
  if (std::memcmp(h.magic, MAGIC, sizeof MAGIC) != 0 || h.version != VERSION || h.size != size)
    return "its header is of another format";
  if (h.build_id_size != e.build_id_size || std::memcmp(h.build_id, e.build_id, e.build_id_size) != 0 ||
      h.executable_end != e.executable_end)
    return "it belongs to another build";
  if (h.base != e.base) return "it was made for another heap base";
  if (h.checked < sizeof h || h.checked > size - sizeof(trailer)) return "its checked size is outside it";

  // Each count against the bytes left before anything is made of it.
  uint64_t at = sizeof h;
  auto table = [&](auto& rows, uint32_t count) {
    using row = typename std::decay_t<decltype(rows)>::value_type;
    if (count > (h.checked - at) / sizeof(row)) return false;
    rows.resize(count);
    if (count) std::memcpy(rows.data(), image + at, count * sizeof(row));  // an empty table has no data()
    at += count * sizeof(row);
    return true;
  };
  if (!table(out.released, h.released_count) || !table(out.ranges, h.range_count) ||
      !table(out.globals, h.global_count) || !table(out.blocks, h.block_count))
    return "a table count goes past its end";

  // Every sum below is written as a difference of values already known to
  // be in order, so that none can wrap.
  const uint64_t tables_end = at;
  auto in_checked_bytes = [&](uint64_t from, uint64_t n) {
    return from >= tables_end && from <= h.checked && n <= h.checked - from;
  };
  auto in_heap = [&](uint64_t offset, uint64_t n, uint64_t end) {
    return n && offset >= arena::FIRST && offset % PAGE == 0 && n % PAGE == 0 && offset <= end && n <= end - offset;
  };
  auto in_writable = [&](uint64_t address, uint64_t n) {
    return n && address >= e.writable_low && address <= e.writable_high && n <= e.writable_high - address;
  };
  if (h.runs_top < arena::FIRST || h.runs_top > e.heap_end || h.runs_top % PAGE) return "its heap top is outside the heap";
  uint64_t previous_end = arena::FIRST;
  for (const page_runs::run& r : out.released) {
    if (r.start < previous_end || !in_heap(r.start, r.bytes, h.runs_top)) return "a released run is outside the heap";
    previous_end = r.start + r.bytes;
  }
  const uint64_t pages_end = size - sizeof(trailer);
  for (const range& r : out.ranges)
    if (!in_heap(r.offset, r.bytes, h.runs_top) || r.at % PAGE || r.at < h.checked || r.at > pages_end ||
        r.bytes > pages_end - r.at)
      return "a heap range is outside the heap or the image";
  for (const global& g : out.globals)
    if (!in_writable(g.address, g.size) || !in_checked_bytes(g.at, g.size))
      return "a global is outside the executable's data or the image";
  for (const carried_block& b : out.blocks)
    if (!in_writable(b.slot, sizeof(void*)) || b.slot % alignof(void*) || !b.size || !in_checked_bytes(b.at, b.size))
      return "a carried block is outside the executable's data or the image";
  if (checksum(image, h) != h.checksum) return "its checksum does not match";
  return nullptr;
}

}  // namespace kez::boot_image
