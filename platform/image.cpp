// The codec layer's shared parts and our own BMP codec. The library-backed
// formats live in image_formats.cpp.
#include "platform/image.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

namespace kez::image_codecs {

namespace {

// An image! keeps its channels in binaries of at most 0x7FFFFFF0 bytes, four
// per pixel: no decoder makes more pixels than that.
constexpr uint64_t DEFAULT_PIXEL_LIMIT = 0x7FFFFFF0u / 4;
uint64_t limit = DEFAULT_PIXEL_LIMIT;

uint32_t u16(const uint8_t* p) { return uint32_t(p[0]) | uint32_t(p[1]) << 8; }
uint32_t u32(const uint8_t* p) { return u16(p) | u16(p + 2) << 16; }
void put16(std::vector<uint8_t>& v, uint32_t x) {
  v.push_back(uint8_t(x));
  v.push_back(uint8_t(x >> 8));
}
void put32(std::vector<uint8_t>& v, uint32_t x) {
  put16(v, x & 0xFFFF);
  put16(v, x >> 16);
}

}  // namespace

uint64_t pixel_limit() { return limit; }
void set_pixel_limit(uint64_t pixels) { limit = std::min(pixels, DEFAULT_PIXEL_LIMIT); }

uint32_t* allocate_pixels(uint32_t width, uint32_t height, bool limited) {
  if (width == 0 || height == 0 || width > MAX_SIDE || height > MAX_SIDE) return nullptr;
  uint64_t n = uint64_t(width) * height;
  if (n > (limited ? limit : DEFAULT_PIXEL_LIMIT)) return nullptr;
  return static_cast<uint32_t*>(std::calloc(n, 4));
}

void release_pixels(uint32_t* pixels) { std::free(pixels); }

int32_t detect(const uint8_t* b, size_t n) {
  if (n >= 4 && b[0] == 0x89 && b[1] == 'P' && b[2] == 'N' && b[3] == 'G') return FORMAT_PNG;
  if (n >= 3 && b[0] == 0xFF && b[1] == 0xD8 && b[2] == 0xFF) return FORMAT_JPEG;
  if (n >= 2 && b[0] == 'B' && b[1] == 'M') return FORMAT_BMP;
  if (n >= 6 && std::memcmp(b, "GIF8", 4) == 0 && (b[4] == '7' || b[4] == '9') && b[5] == 'a') return FORMAT_GIF;
  if (n >= 4 && ((b[0] == 'I' && b[1] == 'I' && b[2] == 0x2A && b[3] == 0) ||
                 (b[0] == 'M' && b[1] == 'M' && b[2] == 0 && b[3] == 0x2A)))
    return FORMAT_TIFF;
  return FORMAT_NONE;
}

bool decode(const uint8_t* bytes, size_t length, bitmap& out) {
  switch (detect(bytes, length)) {
    case FORMAT_BMP: return decode_bmp(bytes, length, out);
    case FORMAT_PNG: return decode_png(bytes, length, out);
    case FORMAT_GIF: return decode_gif(bytes, length, out);
    case FORMAT_JPEG: return decode_jpeg(bytes, length, out);
    case FORMAT_TIFF: return decode_tiff(bytes, length, out);
    default: return false;
  }
}

namespace {

// The width and height a file declares in its first bytes, where its format
// puts them there (PNG, BMP, GIF); false when they are not known yet.
bool declared_size(const uint8_t* b, size_t n, uint64_t& width, uint64_t& height) {
  auto be32 = [](const uint8_t* p) { return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3]; };
  switch (detect(b, n)) {
    case FORMAT_PNG:
      if (n < 24) return false;
      width = be32(b + 16), height = be32(b + 20);
      return true;
    case FORMAT_GIF:
      if (n < 10) return false;
      width = u16(b + 6), height = u16(b + 8);
      return true;
    case FORMAT_BMP:
      if (n < 26) return false;
      if (u32(b + 14) == 12) {
        width = u16(b + 18), height = u16(b + 20);
      } else {
        width = uint64_t(std::abs(int64_t(int32_t(u32(b + 18)))));
        height = uint64_t(std::abs(int64_t(int32_t(u32(b + 22)))));
      }
      return true;
    default:
      return false;
  }
}

}  // namespace

load_status load_file(const std::string& path, bitmap& out) {
  FILE* f = std::fopen(path.c_str(), "rb");
  if (!f) return LOAD_FAILED;
  struct closer {
    FILE* f;
    ~closer() { std::fclose(f); }
  } close_at_end{f};
  // The format and, where the header gives it, the size are checked on the
  // first bytes: an endless device or a huge file in no known format, or
  // declaring more pixels than allowed, is refused before it is read.
  std::vector<uint8_t> bytes(32);
  size_t head = std::fread(bytes.data(), 1, bytes.size(), f);
  bytes.resize(head);
  if (std::ferror(f) || detect(bytes.data(), bytes.size()) == FORMAT_NONE) return LOAD_FAILED;
  uint64_t width, height;
  if (declared_size(bytes.data(), bytes.size(), width, height) &&
      (width == 0 || height == 0 || width > MAX_SIDE || height > MAX_SIDE || width * height > limit))
    return LOAD_FAILED;
  uint8_t chunk[65536];
  size_t n;
  while ((n = std::fread(chunk, 1, sizeof chunk, f)) > 0) {
    if (bytes.size() + n > MOST_FILE_BYTES) return LOAD_TOO_LARGE;
    try {
      bytes.insert(bytes.end(), chunk, chunk + n);
    } catch (const std::bad_alloc&) {
      return LOAD_TOO_LARGE;  // the system gave out before the format's limit
    }
  }
  if (std::ferror(f)) return LOAD_FAILED;
  return decode(bytes.data(), bytes.size(), out) ? LOAD_OK : LOAD_FAILED;
}

bool encode(int32_t format, uint32_t width, uint32_t height, const uint32_t* pixels, std::vector<uint8_t>& out) {
  switch (format) {
    case FORMAT_BMP: return encode_bmp(width, height, pixels, out);
    case FORMAT_PNG: return encode_png(width, height, pixels, out);
    case FORMAT_GIF: return encode_gif(width, height, pixels, out);
    case FORMAT_JPEG: return encode_jpeg(width, height, pixels, out);
    case FORMAT_TIFF: return encode_tiff(width, height, pixels, out);
    default: return false;
  }
}

// --- BMP ---------------------------------------------------------------------------------------

namespace {

enum bmp_compression : uint32_t { BI_RGB = 0, BI_RLE8 = 1, BI_RLE4 = 2, BI_BITFIELDS = 3, BI_ALPHABITFIELDS = 6 };

// One channel mask: where its bits sit and how many there are; a value is
// scaled to 8 bits exactly (v * 255 / max, rounded).
struct channel {
  uint32_t mask = 0, shift = 0, bits = 0;
  void set(uint32_t m) {
    mask = m;
    shift = m ? uint32_t(__builtin_ctz(m)) : 0;
    bits = 0;
    for (uint32_t x = m >> shift; x & 1; x >>= 1) ++bits;
    if (bits > 8 && bits <= 32) {  // keep the top 8 of a wide channel
      shift += bits - 8;
      bits = 8;
    }
  }
  uint32_t get(uint32_t v) const {
    if (!bits) return 0;
    uint32_t max = (1u << bits) - 1;
    uint32_t x = (v >> shift) & max;
    return (x * 255 + max / 2) / max;
  }
};

struct bmp_reader {
  const uint8_t* data = nullptr;
  size_t length = 0;
  int32_t width = 0, height = 0;  // height positive; top_down tells the order
  bool top_down = false;
  uint32_t bpp = 0, compression = 0;
  uint32_t palette[256] = {};
  uint32_t palette_count = 0;
  channel r, g, b, a;
  bool has_alpha_mask = false;
  size_t pixels_at = 0;

  // Row y of the picture as stored (0 is the first row in the file).
  uint32_t* row(bitmap& out, uint32_t stored_row) const {
    uint32_t y = top_down ? stored_row : uint32_t(height) - 1 - stored_row;
    return out.pixels + size_t(y) * out.width;
  }
  uint32_t colour(uint32_t index) const { return index < palette_count ? palette[index] : 0xFF000000u; }
};

bool read_header(bmp_reader& r) {
  const uint8_t* d = r.data;
  if (r.length < 26 || d[0] != 'B' || d[1] != 'M') return false;
  uint32_t offset = u32(d + 10);
  uint32_t header = u32(d + 14);
  if (header < 12 || 14 + uint64_t(header) > r.length) return false;
  const uint8_t* h = d + 14;
  bool core = header < 40;
  uint32_t planes;
  if (core) {
    if (header != 12) return false;
    r.width = int32_t(u16(h + 4));
    r.height = int32_t(u16(h + 6));
    planes = u16(h + 8);
    r.bpp = u16(h + 10);
    r.compression = BI_RGB;
  } else {
    r.width = int32_t(u32(h + 4));
    int32_t hh = int32_t(u32(h + 8));
    if (hh == INT32_MIN) return false;
    r.top_down = hh < 0;
    r.height = hh < 0 ? -hh : hh;
    planes = u16(h + 12);
    r.bpp = u16(h + 14);
    r.compression = u32(h + 16);
  }
  (void)planes;  // some writers leave it 0; the pixels say more than it does
  if (r.width <= 0 || r.height <= 0 || uint32_t(r.width) > MAX_SIDE || uint32_t(r.height) > MAX_SIDE) return false;
  switch (r.bpp) {
    case 1: case 4: case 8: case 16: case 24: case 32: break;
    default: return false;
  }
  if (r.compression == BI_RLE8 && r.bpp != 8) return false;
  if (r.compression == BI_RLE4 && r.bpp != 4) return false;
  if ((r.compression == BI_BITFIELDS || r.compression == BI_ALPHABITFIELDS) && r.bpp != 16 && r.bpp != 32) return false;
  if (r.compression > BI_BITFIELDS && r.compression != BI_ALPHABITFIELDS) return false;
  if ((r.compression == BI_RLE8 || r.compression == BI_RLE4) && r.top_down) return false;

  // Channel masks: from the header when it is long enough, else right after
  // a 40-byte header, else the defaults.
  size_t after = 14 + size_t(header);
  if (r.bpp == 16) {
    r.r.set(0x7C00);
    r.g.set(0x03E0);
    r.b.set(0x001F);
  } else {
    r.r.set(0xFF0000);
    r.g.set(0x00FF00);
    r.b.set(0x0000FF);
  }
  if (r.compression == BI_BITFIELDS || r.compression == BI_ALPHABITFIELDS) {
    size_t masks_at = 14 + 40;
    uint32_t count = r.compression == BI_ALPHABITFIELDS ? 4 : 3;
    if (header == 40) after += 4 * count;
    else if (header >= 56) count = 4;
    if (masks_at + 4 * count > r.length || (header > 40 && header < 52)) return false;
    r.r.set(u32(d + masks_at));
    r.g.set(u32(d + masks_at + 4));
    r.b.set(u32(d + masks_at + 8));
    if (count == 4) {
      r.a.set(u32(d + masks_at + 12));
      r.has_alpha_mask = r.a.mask != 0;
    }
  } else if (r.bpp == 32 && header >= 56 && 14 + 56 <= r.length) {
    uint32_t am = u32(d + 14 + 52);
    if (am) {
      r.a.set(am);
      r.has_alpha_mask = true;
    }
  }

  if (r.bpp <= 8) {
    uint32_t entry = core ? 3 : 4;
    uint32_t used = core ? 0 : u32(h + 32);
    uint32_t count = used == 0 || used > (1u << r.bpp) ? 1u << r.bpp : used;
    // A palette cut short by the file keeps the entries that are there.
    size_t available = after < r.length ? (std::min<size_t>(r.length, offset > after ? offset : r.length) - after) / entry : 0;
    r.palette_count = uint32_t(std::min<size_t>(count, available));
    for (uint32_t i = 0; i < r.palette_count; ++i) {
      const uint8_t* p = d + after + size_t(i) * entry;
      r.palette[i] = 0xFF000000u | uint32_t(p[2]) << 16 | uint32_t(p[1]) << 8 | p[0];
    }
    for (uint32_t i = r.palette_count; i < 256; ++i) r.palette[i] = 0xFF000000u;
    r.palette_count = 256;  // indexes past the palette read as opaque black
  }
  r.pixels_at = offset;
  return offset < r.length;
}

bool read_plain(const bmp_reader& r, bitmap& out) {
  uint64_t stride = (uint64_t(r.width) * r.bpp + 31) / 32 * 4;
  if (r.pixels_at + stride * uint64_t(r.height) > r.length) return false;
  uint32_t bytes_per = r.bpp / 8;
  // A 32-bit file without an alpha mask keeps its fourth byte; when every one
  // of them is 0 it is an old writer's padding and the image is opaque.
  bool alpha_byte = r.bpp == 32 && !r.has_alpha_mask && r.compression == BI_RGB;
  bool any_alpha = false;
  for (int32_t y = 0; y < r.height; ++y) {
    const uint8_t* s = r.data + r.pixels_at + stride * uint64_t(y);
    uint32_t* o = r.row(out, uint32_t(y));
    for (int32_t x = 0; x < r.width; ++x) {
      if (r.bpp <= 8) {
        uint32_t bit = uint32_t(x) * r.bpp;
        uint32_t v = s[bit / 8] >> (8 - r.bpp - bit % 8) & ((1u << r.bpp) - 1);
        o[x] = r.colour(v);
        continue;
      }
      if (r.bpp == 24) {
        const uint8_t* p = s + size_t(x) * 3;
        o[x] = 0xFF000000u | uint32_t(p[2]) << 16 | uint32_t(p[1]) << 8 | p[0];
        continue;
      }
      uint32_t v = bytes_per == 2 ? u16(s + size_t(x) * 2) : u32(s + size_t(x) * 4);
      uint32_t alpha = r.has_alpha_mask ? r.a.get(v) : alpha_byte ? v >> 24 : 255;
      if (alpha_byte && alpha) any_alpha = true;
      o[x] = alpha << 24 | r.r.get(v) << 16 | r.g.get(v) << 8 | r.b.get(v);
    }
  }
  if (alpha_byte && !any_alpha)
    for (size_t i = 0, n = size_t(out.width) * out.height; i < n; ++i) out.pixels[i] |= 0xFF000000u;
  return true;
}

// RLE8 and RLE4: runs and literal spans, with end-of-line, end-of-bitmap and
// delta escapes; pixels no code reaches keep palette colour 0.
bool read_rle(const bmp_reader& r, bitmap& out) {
  uint32_t background = r.colour(0);
  for (size_t i = 0, n = size_t(out.width) * out.height; i < n; ++i) out.pixels[i] = background;
  const uint8_t* p = r.data + r.pixels_at;
  const uint8_t* end = r.data + r.length;
  bool four = r.compression == BI_RLE4;
  uint32_t x = 0, y = 0, w = uint32_t(r.width), h = uint32_t(r.height);
  auto put = [&](uint32_t index) {
    if (x < w && y < h) r.row(out, y)[x] = r.colour(index);
    ++x;
  };
  while (end - p >= 2 && y < h) {
    uint32_t count = p[0], value = p[1];
    p += 2;
    if (count) {
      for (uint32_t i = 0; i < count && x < w; ++i) put(four ? (i & 1 ? value & 15 : value >> 4) : value);
      continue;
    }
    if (value == 0) {
      x = 0;
      ++y;
    } else if (value == 1) {
      break;
    } else if (value == 2) {
      if (end - p < 2) break;
      x += p[0];
      y += p[1];
      p += 2;
    } else {
      size_t bytes = four ? (value + 1) / 2 : value;
      size_t padded = (bytes + 1) & ~size_t(1);
      if (size_t(end - p) < bytes) return false;
      for (uint32_t i = 0; i < value; ++i) put(four ? (i & 1 ? p[i / 2] & 15 : p[i / 2] >> 4) : p[i]);
      p += std::min(padded, size_t(end - p));
    }
  }
  return true;
}

}  // namespace

bool decode_bmp(const uint8_t* bytes, size_t length, bitmap& out) {
  bmp_reader r;
  r.data = bytes;
  r.length = length;
  if (!read_header(r)) return false;
  out.pixels = allocate_pixels(uint32_t(r.width), uint32_t(r.height), true);
  if (!out.pixels) return false;
  out.width = uint32_t(r.width);
  out.height = uint32_t(r.height);
  bool ok = r.compression == BI_RLE8 || r.compression == BI_RLE4 ? read_rle(r, out) : read_plain(r, out);
  if (!ok) {
    release_pixels(out.pixels);
    out = bitmap{};
  }
  return ok;
}

// 32 bits per pixel with an alpha mask (a version 4 header), rows bottom up.
bool encode_bmp(uint32_t width, uint32_t height, const uint32_t* pixels, std::vector<uint8_t>& out) {
  constexpr uint32_t HEADER = 108;
  uint64_t data = uint64_t(width) * height * 4;
  uint64_t total = 14 + HEADER + data;
  if (total > 0xFFFFFFFFu) return false;
  size_t start = out.size();
  out.reserve(start + size_t(total));
  out.push_back('B');
  out.push_back('M');
  put32(out, uint32_t(total));
  put32(out, 0);
  put32(out, 14 + HEADER);
  put32(out, HEADER);
  put32(out, width);
  put32(out, height);
  put16(out, 1);
  put16(out, 32);
  put32(out, BI_BITFIELDS);
  put32(out, uint32_t(data));
  put32(out, 2835);  // 72 dots per inch
  put32(out, 2835);
  put32(out, 0);
  put32(out, 0);
  put32(out, 0x00FF0000);
  put32(out, 0x0000FF00);
  put32(out, 0x000000FF);
  put32(out, 0xFF000000);
  put32(out, 0x73524742);  // 'sRGB'
  out.resize(start + 14 + HEADER, 0);  // endpoints and gamma: unused with sRGB
  for (uint32_t y = height; y-- > 0;) {
    const uint8_t* row = reinterpret_cast<const uint8_t*>(pixels + size_t(y) * width);
    out.insert(out.end(), row, row + size_t(width) * 4);
  }
  return true;
}

}  // namespace kez::image_codecs
