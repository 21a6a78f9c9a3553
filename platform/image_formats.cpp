// PNG, JPEG, GIF and TIFF over their libraries.
//
// libpng and libjpeg report errors by a long jump out of their own code;
// that is the only way they allow. Each decoder keeps the jump inside one
// function whose locals that outlive it are plain pointers (volatile where
// changed after setjmp) and whose cleanup runs on both paths. No C++ object
// with a destructor lives between setjmp and a possible jump.
#include <algorithm>
#include <csetjmp>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <vector>

#include <gif_lib.h>
#include <jpeglib.h>
#include <png.h>
#include <tiffio.h>

#include "platform/image.h"

namespace kez::image_codecs {

namespace {

void free_out(bitmap& out) {
  release_pixels(out.pixels);
  out = bitmap{};
}

// --- PNG ---------------------------------------------------------------------------------------

struct memory_source {
  const uint8_t* bytes;
  size_t length, at;
};

void png_read_memory(png_structp png, png_bytep to, size_t n) {
  auto* s = static_cast<memory_source*>(png_get_io_ptr(png));
  if (n > s->length - s->at) png_error(png, "truncated");
  if (n) std::memcpy(to, s->bytes + s->at, n);
  s->at += n;
}

void png_quiet(png_structp, png_const_charp) {}
void png_fail(png_structp png, png_const_charp) { png_longjmp(png, 1); }

void png_write_memory(png_structp png, png_bytep from, size_t n) {
  auto* v = static_cast<std::vector<uint8_t>*>(png_get_io_ptr(png));
  v->insert(v->end(), from, from + n);
}
void png_flush_nothing(png_structp) {}

}  // namespace

bool decode_png(const uint8_t* bytes, size_t length, bitmap& out) {
  memory_source source{bytes, length, 0};
  png_structp png = png_create_read_struct(PNG_LIBPNG_VER_STRING, nullptr, png_fail, png_quiet);
  if (!png) return false;
  png_infop info = png_create_info_struct(png);
  png_bytep* volatile rows = nullptr;
  uint32_t* volatile pixels = nullptr;
  if (!info || setjmp(png_jmpbuf(png))) {
    png_destroy_read_struct(&png, info ? &info : nullptr, nullptr);
    std::free(rows);
    release_pixels(pixels);
    out = bitmap{};
    return false;
  }
  png_set_read_fn(png, &source, png_read_memory);
  png_set_user_limits(png, MAX_SIDE, MAX_SIDE);
  png_set_chunk_malloc_max(png, 8u << 20);
  png_read_info(png, info);
  png_uint_32 w = png_get_image_width(png, info), h = png_get_image_height(png, info);
  int type = png_get_color_type(png, info);
  // Every form becomes 8-bit B, G, R, A; the stored values are kept as they
  // are (no gamma handling).
  png_set_expand(png);
  png_set_strip_16(png);
  if (type == PNG_COLOR_TYPE_GRAY || type == PNG_COLOR_TYPE_GRAY_ALPHA) png_set_gray_to_rgb(png);
  png_set_filler(png, 0xFF, PNG_FILLER_AFTER);
  png_set_bgr(png);
  png_set_interlace_handling(png);
  png_read_update_info(png, info);
  if (png_get_rowbytes(png, info) != size_t(w) * 4) png_longjmp(png, 1);
  pixels = allocate_pixels(w, h, true);
  rows = static_cast<png_bytep*>(std::malloc(sizeof(png_bytep) * h));
  if (!pixels || !rows) png_longjmp(png, 1);
  for (png_uint_32 y = 0; y < h; ++y) rows[y] = reinterpret_cast<png_bytep>(pixels + size_t(y) * w);
  png_read_image(png, rows);
  png_read_end(png, nullptr);
  png_destroy_read_struct(&png, &info, nullptr);
  std::free(rows);
  out.width = w;
  out.height = h;
  out.pixels = pixels;
  return true;
}

bool encode_png(uint32_t width, uint32_t height, const uint32_t* pixels, std::vector<uint8_t>& out) {
  size_t start = out.size();
  png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, png_fail, png_quiet);
  if (!png) return false;
  png_infop info = png_create_info_struct(png);
  if (!info || setjmp(png_jmpbuf(png))) {
    png_destroy_write_struct(&png, info ? &info : nullptr);
    out.resize(start);
    return false;
  }
  png_set_write_fn(png, &out, png_write_memory, png_flush_nothing);
  png_set_IHDR(png, info, width, height, 8, PNG_COLOR_TYPE_RGB_ALPHA, PNG_INTERLACE_NONE,
               PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
  png_write_info(png, info);
  png_set_bgr(png);
  for (uint32_t y = 0; y < height; ++y)
    png_write_row(png, reinterpret_cast<png_const_bytep>(pixels + size_t(y) * width));
  png_write_end(png, nullptr);
  png_destroy_write_struct(&png, &info);
  return true;
}

// --- JPEG --------------------------------------------------------------------------------------

namespace {

struct jpeg_failure {
  jpeg_error_mgr manager;
  jmp_buf jump;
};

void jpeg_fail(j_common_ptr info) { std::longjmp(reinterpret_cast<jpeg_failure*>(info->err)->jump, 1); }
void jpeg_quiet(j_common_ptr, int) {}

}  // namespace

bool decode_jpeg(const uint8_t* bytes, size_t length, bitmap& out) {
  jpeg_decompress_struct info;
  jpeg_failure failure;
  info.err = jpeg_std_error(&failure.manager);
  failure.manager.error_exit = jpeg_fail;
  failure.manager.emit_message = jpeg_quiet;
  uint32_t* volatile pixels = nullptr;
  uint8_t* volatile cmyk_row = nullptr;
  if (setjmp(failure.jump)) {
    jpeg_destroy_decompress(&info);
    release_pixels(pixels);
    std::free(cmyk_row);
    out = bitmap{};
    return false;
  }
  jpeg_create_decompress(&info);
  // Memory for whole-image buffers (progressive files) is bounded too.
  info.mem->max_memory_to_use = 512L << 20;
  jpeg_mem_src(&info, bytes, static_cast<unsigned long>(length));
  if (jpeg_read_header(&info, TRUE) != JPEG_HEADER_OK) std::longjmp(failure.jump, 1);
  bool cmyk = info.jpeg_color_space == JCS_CMYK || info.jpeg_color_space == JCS_YCCK;
  // The library turns YCCK into CMYK; CMYK becomes RGB here, inverted as
  // Adobe writers store it.
  info.out_color_space = cmyk ? JCS_CMYK : JCS_EXT_BGRA;
  jpeg_start_decompress(&info);
  uint32_t w = info.output_width, h = info.output_height;
  pixels = allocate_pixels(w, h, true);
  if (!pixels || info.output_components != 4) std::longjmp(failure.jump, 1);
  if (cmyk) {
    cmyk_row = static_cast<uint8_t*>(std::malloc(size_t(w) * 4));
    if (!cmyk_row) std::longjmp(failure.jump, 1);
  }
  bool inverted = info.saw_Adobe_marker;
  while (info.output_scanline < h) {
    uint32_t y = info.output_scanline;
    uint32_t* row = pixels + size_t(y) * w;
    JSAMPROW target = cmyk ? cmyk_row : reinterpret_cast<JSAMPROW>(row);
    if (jpeg_read_scanlines(&info, &target, 1) != 1) std::longjmp(failure.jump, 1);
    if (!cmyk) continue;
    for (uint32_t x = 0; x < w; ++x) {
      const uint8_t* p = cmyk_row + size_t(x) * 4;
      uint32_t c = p[0], m = p[1], yy = p[2], k = p[3];
      if (!inverted) {
        c = 255 - c;
        m = 255 - m;
        yy = 255 - yy;
        k = 255 - k;
      }
      // Inverted CMYK: each stored value is the amount of light left.
      uint32_t r = (c * k + 127) / 255, g = (m * k + 127) / 255, b = (yy * k + 127) / 255;
      row[x] = 0xFF000000u | r << 16 | g << 8 | b;
    }
  }
  jpeg_finish_decompress(&info);
  jpeg_destroy_decompress(&info);
  std::free(cmyk_row);
  out.width = w;
  out.height = h;
  out.pixels = pixels;
  return true;
}

bool encode_jpeg(uint32_t width, uint32_t height, const uint32_t* pixels, std::vector<uint8_t>& out) {
  jpeg_compress_struct info;
  jpeg_failure failure;
  info.err = jpeg_std_error(&failure.manager);
  failure.manager.error_exit = jpeg_fail;
  failure.manager.emit_message = jpeg_quiet;
  // The library allocates the output and may replace it as it grows; the
  // slot is read again after a failure, so its address escapes first.
  unsigned char* target = nullptr;
  unsigned long size = 0;
  if (setjmp(failure.jump)) {
    jpeg_destroy_compress(&info);
    std::free(target);
    return false;
  }
  jpeg_create_compress(&info);
  jpeg_mem_dest(&info, &target, &size);
  info.image_width = width;
  info.image_height = height;
  info.input_components = 4;
  info.in_color_space = JCS_EXT_BGRX;  // a JPEG has no alpha: it is dropped
  jpeg_set_defaults(&info);
  jpeg_set_quality(&info, 90, TRUE);
  jpeg_start_compress(&info, TRUE);
  while (info.next_scanline < height) {
    JSAMPROW row = reinterpret_cast<JSAMPROW>(const_cast<uint32_t*>(pixels + size_t(info.next_scanline) * width));
    jpeg_write_scanlines(&info, &row, 1);
  }
  jpeg_finish_compress(&info);
  out.insert(out.end(), target, target + size);
  jpeg_destroy_compress(&info);
  std::free(target);
  return true;
}

// --- GIF ---------------------------------------------------------------------------------------

namespace {

int gif_read_memory(GifFileType* gif, GifByteType* to, int n) {
  auto* s = static_cast<memory_source*>(gif->UserData);
  size_t take = std::min(size_t(n < 0 ? 0 : n), s->length - s->at);
  if (take) std::memcpy(to, s->bytes + s->at, take);
  s->at += take;
  return int(take);
}

int gif_write_memory(GifFileType* gif, const GifByteType* from, int n) {
  auto* v = static_cast<std::vector<uint8_t>*>(gif->UserData);
  v->insert(v->end(), from, from + n);
  return n;
}

// The first image of a GIF, with the transparency of the graphic control
// block before it.
bool read_first_frame(GifFileType* gif, bitmap& out) {
  int transparent = -1;
  GifRecordType record;
  do {
    if (DGifGetRecordType(gif, &record) == GIF_ERROR) return false;
    if (record == EXTENSION_RECORD_TYPE) {
      int code;
      GifByteType* block;
      if (DGifGetExtension(gif, &code, &block) == GIF_ERROR) return false;
      if (code == GRAPHICS_EXT_FUNC_CODE && block && block[0] >= 4)
        transparent = block[1] & 1 ? int(block[4]) : -1;
      while (block) {
        if (DGifGetExtensionNext(gif, &block) == GIF_ERROR) return false;
      }
    } else if (record == TERMINATE_RECORD_TYPE) {
      return false;
    }
  } while (record != IMAGE_DESC_RECORD_TYPE);
  if (DGifGetImageDesc(gif) == GIF_ERROR) return false;
  const GifImageDesc& d = gif->Image;
  if (d.Width <= 0 || d.Height <= 0 || d.Left < 0 || d.Top < 0) return false;
  // The logical screen, grown to hold the frame; what the frame leaves
  // uncovered is transparent.
  uint32_t w = uint32_t(std::max(gif->SWidth, d.Left + d.Width));
  uint32_t h = uint32_t(std::max(gif->SHeight, d.Top + d.Height));
  out.pixels = allocate_pixels(w, h, true);
  if (!out.pixels) return false;
  out.width = w;
  out.height = h;
  const ColorMapObject* map = d.ColorMap ? d.ColorMap : gif->SColorMap;
  uint32_t colours[256];
  for (int i = 0; i < 256; ++i) {
    colours[i] = 0xFF000000u;
    if (map && i < map->ColorCount) {
      const GifColorType& c = map->Colors[i];
      colours[i] |= uint32_t(c.Red) << 16 | uint32_t(c.Green) << 8 | c.Blue;
    }
  }
  if (transparent >= 0) colours[transparent] &= 0x00FFFFFFu;
  std::vector<GifPixelType> line(size_t(d.Width));
  auto put_row = [&](int y) {
    uint32_t* row = out.pixels + size_t(d.Top + y) * w + size_t(d.Left);
    for (int x = 0; x < d.Width; ++x) row[x] = colours[line[size_t(x)]];
  };
  if (d.Interlace) {
    static const int starts[] = {0, 4, 2, 1}, steps[] = {8, 8, 4, 2};
    for (int pass = 0; pass < 4; ++pass)
      for (int y = starts[pass]; y < d.Height; y += steps[pass]) {
        if (DGifGetLine(gif, line.data(), d.Width) == GIF_ERROR) return false;
        put_row(y);
      }
  } else {
    for (int y = 0; y < d.Height; ++y) {
      if (DGifGetLine(gif, line.data(), d.Width) == GIF_ERROR) return false;
      put_row(y);
    }
  }
  return true;
}

}  // namespace

bool decode_gif(const uint8_t* bytes, size_t length, bitmap& out) {
  memory_source source{bytes, length, 0};
  int error = 0;
  GifFileType* gif = DGifOpen(&source, gif_read_memory, &error);
  if (!gif) return false;
  bool ok = false;
  try {
    ok = read_first_frame(gif, out);
  } catch (const std::bad_alloc&) {
    ok = false;
  }
  DGifCloseFile(gif, &error);
  if (!ok) free_out(out);
  return ok;
}

namespace {

// The palette of an image: exact when its opaque colours number at most 255
// (index 255 stays free for transparency), else a median-cut quantisation.
// Pixels whose stored alpha is below 128 become the transparent index.
struct gif_palette {
  std::vector<GifColorType> colours;
  std::vector<GifByteType> indexes;
  int transparent = -1;
};

bool exact_palette(uint32_t n, const uint32_t* pixels, gif_palette& p) {
  std::vector<uint32_t> seen;  // sorted rgb values
  for (uint32_t i = 0; i < n; ++i) {
    if (pixels[i] >> 24 < 128) continue;
    uint32_t rgb = pixels[i] & 0xFFFFFF;
    auto at = std::lower_bound(seen.begin(), seen.end(), rgb);
    if (at != seen.end() && *at == rgb) continue;
    if (seen.size() == 255) return false;
    seen.insert(at, rgb);
  }
  for (uint32_t rgb : seen)
    p.colours.push_back(GifColorType{GifByteType(rgb >> 16), GifByteType(rgb >> 8), GifByteType(rgb)});
  p.indexes.resize(n);
  for (uint32_t i = 0; i < n; ++i) {
    if (pixels[i] >> 24 < 128) continue;
    p.indexes[i] = GifByteType(std::lower_bound(seen.begin(), seen.end(), pixels[i] & 0xFFFFFF) - seen.begin());
  }
  return true;
}

bool quantised_palette(uint32_t width, uint32_t height, const uint32_t* pixels, gif_palette& p) {
  size_t n = size_t(width) * height;
  std::vector<GifByteType> r(n), g(n), b(n);
  for (size_t i = 0; i < n; ++i) {
    r[i] = GifByteType(pixels[i] >> 16);
    g[i] = GifByteType(pixels[i] >> 8);
    b[i] = GifByteType(pixels[i]);
  }
  int size = 255;
  p.colours.resize(256);
  p.indexes.resize(n);
  if (GifQuantizeBuffer(width, height, &size, r.data(), g.data(), b.data(), p.indexes.data(), p.colours.data()) ==
      GIF_ERROR)
    return false;
  p.colours.resize(size_t(std::min(size, 255)));
  for (auto& i : p.indexes) i = std::min<GifByteType>(i, GifByteType(p.colours.size() - 1));
  return true;
}

}  // namespace

bool encode_gif(uint32_t width, uint32_t height, const uint32_t* pixels, std::vector<uint8_t>& out) {
  size_t start = out.size();
  uint32_t n = width * height;
  gif_palette palette;
  try {
    if (!exact_palette(n, pixels, palette)) {
      palette = gif_palette{};
      if (!quantised_palette(width, height, pixels, palette)) return false;
    }
  } catch (const std::bad_alloc&) {
    return false;
  }
  bool any_transparent = false;
  for (uint32_t i = 0; i < n; ++i)
    if (pixels[i] >> 24 < 128) any_transparent = true;
  if (any_transparent) {
    palette.transparent = int(palette.colours.size());
    uint32_t first = 0;
    while (pixels[first] >> 24 >= 128) ++first;
    uint32_t rgb = pixels[first];
    palette.colours.push_back(GifColorType{GifByteType(rgb >> 16), GifByteType(rgb >> 8), GifByteType(rgb)});
    for (uint32_t i = 0; i < n; ++i)
      if (pixels[i] >> 24 < 128) palette.indexes[i] = GifByteType(palette.transparent);
  }
  int bits = 1;
  while ((1u << bits) < palette.colours.size()) ++bits;
  palette.colours.resize(size_t(1) << bits, GifColorType{0, 0, 0});

  int error = 0;
  GifFileType* gif = EGifOpen(&out, gif_write_memory, &error);
  if (!gif) return false;
  ColorMapObject* map = GifMakeMapObject(1 << bits, palette.colours.data());
  bool ok = map != nullptr;
  EGifSetGifVersion(gif, true);
  ok = ok && EGifPutScreenDesc(gif, int(width), int(height), bits, 0, map) != GIF_ERROR;
  if (ok && palette.transparent >= 0) {
    GifByteType control[4] = {1, 0, 0, GifByteType(palette.transparent)};
    ok = EGifPutExtension(gif, GRAPHICS_EXT_FUNC_CODE, 4, control) != GIF_ERROR;
  }
  ok = ok && EGifPutImageDesc(gif, 0, 0, int(width), int(height), false, nullptr) != GIF_ERROR;
  for (uint32_t y = 0; ok && y < height; ++y)
    ok = EGifPutLine(gif, palette.indexes.data() + size_t(y) * width, int(width)) != GIF_ERROR;
  if (EGifCloseFile(gif, &error) == GIF_ERROR) ok = false;
  GifFreeMapObject(map);
  if (!ok) out.resize(start);
  return ok;
}

// --- TIFF --------------------------------------------------------------------------------------

namespace {

// A TIFF stream in memory: reads from the given bytes, or writes into a
// growable vector from a fixed start.
struct tiff_stream {
  const uint8_t* bytes;
  size_t length;
  std::vector<uint8_t>* sink;
  size_t base;
  uint64_t at;
};

tmsize_t tiff_read(thandle_t h, void* to, tmsize_t n) {
  auto* s = static_cast<tiff_stream*>(h);
  size_t size = s->sink ? s->sink->size() - s->base : s->length;
  const uint8_t* from = s->sink ? s->sink->data() + s->base : s->bytes;
  if (n < 0 || s->at >= size) return 0;
  size_t take = std::min<uint64_t>(uint64_t(n), size - s->at);
  std::memcpy(to, from + s->at, take);
  s->at += take;
  return tmsize_t(take);
}
tmsize_t tiff_write(thandle_t h, void* from, tmsize_t n) {
  auto* s = static_cast<tiff_stream*>(h);
  if (!s->sink || n < 0) return 0;
  std::vector<uint8_t>& v = *s->sink;
  if (s->base + s->at + uint64_t(n) > v.size()) v.resize(size_t(s->base + s->at + uint64_t(n)));
  std::memcpy(v.data() + s->base + s->at, from, size_t(n));
  s->at += uint64_t(n);
  return n;
}
toff_t tiff_seek(thandle_t h, toff_t off, int whence) {
  auto* s = static_cast<tiff_stream*>(h);
  uint64_t size = s->sink ? s->sink->size() - s->base : s->length;
  uint64_t to = whence == SEEK_SET ? off : whence == SEEK_CUR ? s->at + off : size + off;
  if (to > (uint64_t(1) << 40)) return toff_t(-1);
  s->at = to;
  return to;
}
int tiff_close(thandle_t) { return 0; }
toff_t tiff_size(thandle_t h) {
  auto* s = static_cast<tiff_stream*>(h);
  return s->sink ? s->sink->size() - s->base : s->length;
}
int tiff_map(thandle_t, void**, toff_t*) { return 0; }
void tiff_unmap(thandle_t, void*, toff_t) {}
int tiff_quiet(TIFF*, void*, const char*, const char*, va_list) { return 1; }

TIFF* tiff_open(tiff_stream& s, const char* mode) {
  // Messages the library sends without a file go to its global handlers.
  TIFFSetErrorHandler(nullptr);
  TIFFSetWarningHandler(nullptr);
  TIFFOpenOptions* options = TIFFOpenOptionsAlloc();
  if (!options) return nullptr;
  TIFFOpenOptionsSetMaxSingleMemAlloc(options, 256 << 20);
  TIFFOpenOptionsSetErrorHandlerExtR(options, tiff_quiet, nullptr);
  TIFFOpenOptionsSetWarningHandlerExtR(options, tiff_quiet, nullptr);
  TIFF* tif = TIFFClientOpenExt("memory", mode, &s, tiff_read, tiff_write, tiff_seek, tiff_close, tiff_size, tiff_map,
                                tiff_unmap, options);
  TIFFOpenOptionsFree(options);
  return tif;
}

uint32_t unpremultiply(uint32_t r, uint32_t a) { return a ? std::min<uint32_t>(255, (r * 255 + a / 2) / a) : 0; }

// The layout of an RGB or gray image with 8- or 16-bit unsigned samples,
// which is read directly: libtiff's RGBA reader would premultiply
// unassociated alpha into 8 bits (losing colour under low alpha) and divide
// gray+alpha wrongly.
struct tiff_layout {
  uint32_t w, h;
  uint16_t bits, samples;
  bool gray, inverted;  // inverted: 0 is white
  bool tiled, planar;
  int alpha_channel;    // the sample that is alpha, or -1
};

// Stores one 8-bit sample of channel c into a pixel.
inline void put_sample(uint32_t& pixel, const tiff_layout& l, int c, uint32_t v) {
  if (c == l.alpha_channel) {
    pixel = (pixel & 0x00FFFFFF) | v << 24;
  } else if (l.gray) {
    if (c != 0) return;
    if (l.inverted) v = 255 - v;
    pixel = (pixel & 0xFF000000) | v << 16 | v << 8 | v;
  } else if (c < 3) {
    uint32_t shift = 16 - 8 * uint32_t(c);
    pixel = (pixel & ~(0xFFu << shift)) | v << shift;
  }
}

// One decoded strip or tile: `rows` rows of `cols` pixels at (x0, y0), rows
// `stride` bytes apart, each pixel holding the samples from channel `first`
// on (all of them when contiguous, one plane's otherwise).
void put_unit(const uint8_t* data, size_t stride, uint32_t x0, uint32_t y0, uint32_t cols, uint32_t rows, int first,
              const tiff_layout& l, bitmap& out) {
  int per_pixel = l.planar ? 1 : l.samples;
  for (uint32_t y = 0; y < rows; ++y) {
    const uint8_t* p = data + size_t(y) * stride;
    uint32_t* row = out.pixels + size_t(y0 + y) * l.w + x0;
    for (uint32_t x = 0; x < cols; ++x) {
      for (int s = 0; s < per_pixel; ++s) {
        uint32_t v;
        if (l.bits == 16) {
          uint16_t wide;  // libtiff hands 16-bit samples over in host order
          std::memcpy(&wide, p, 2);
          v = wide >> 8;
          p += 2;
        } else {
          v = *p++;
        }
        put_sample(row[x], l, first + s, v);
      }
    }
  }
}

constexpr uint64_t TIFF_MOST_BUFFER = 256 << 20;  // as tiff_open's single-allocation bound

bool read_tiff_direct(TIFF* tif, const tiff_layout& l, bool associated, bitmap& out) {
  size_t bytes = l.bits / 8;
  int per_pixel = l.planar ? 1 : l.samples;
  int planes = l.planar ? l.samples : 1;
  uint32_t opaque = l.alpha_channel < 0 ? 0xFF000000u : 0;
  for (size_t i = 0, n = size_t(l.w) * l.h; i < n; ++i) out.pixels[i] = opaque;
  if (l.tiled) {
    uint32_t tw = 0, th = 0;
    if (!TIFFGetField(tif, TIFFTAG_TILEWIDTH, &tw) || !TIFFGetField(tif, TIFFTAG_TILELENGTH, &th) || !tw || !th)
      return false;
    // A tile is bounded as libtiff bounds its own buffers: a header may
    // claim any size.
    uint64_t stride = uint64_t(tw) * per_pixel * bytes;
    if (stride * th > TIFF_MOST_BUFFER) return false;
    tmsize_t size = TIFFTileSize(tif);
    if (size <= 0 || uint64_t(size) < stride * th) return false;
    std::unique_ptr<uint8_t[]> buffer(new uint8_t[size_t(size)]);
    for (int plane = 0; plane < planes; ++plane)
      for (uint32_t y = 0; y < l.h; y += th)
        for (uint32_t x = 0; x < l.w; x += tw) {
          if (TIFFReadTile(tif, buffer.get(), x, y, 0, uint16_t(plane)) < tmsize_t(stride * th)) return false;
          put_unit(buffer.get(), size_t(stride), x, y, std::min(tw, l.w - x), std::min(th, l.h - y), plane, l, out);
        }
  } else {
    // Strips line by line, one plane after the other.
    size_t stride = size_t(l.w) * per_pixel * bytes;
    tmsize_t size = TIFFScanlineSize(tif);
    if (size <= 0 || size_t(size) < stride) return false;
    std::vector<uint8_t> buffer(static_cast<size_t>(size));
    for (int plane = 0; plane < planes; ++plane)
      for (uint32_t y = 0; y < l.h; ++y) {
        if (TIFFReadScanline(tif, buffer.data(), y, uint16_t(plane)) < 0) return false;
        put_unit(buffer.data(), stride, 0, y, l.w, 1, plane, l, out);
      }
  }
  if (associated)
    for (size_t i = 0, n = size_t(l.w) * l.h; i < n; ++i) {
      uint32_t p = out.pixels[i], a = p >> 24;
      out.pixels[i] = a << 24 | unpremultiply((p >> 16) & 255, a) << 16 | unpremultiply((p >> 8) & 255, a) << 8 |
                      unpremultiply(p & 255, a);
    }
  return true;
}

// Any other layout (palette, CMYK, YCbCr and JPEG, bilevel) through
// libtiff's RGBA reader, which premultiplies alpha: the colours are divided
// back.
bool read_tiff_rgba(TIFF* tif, uint32_t w, uint32_t h, bool alpha, bitmap& out) {
  char message[1024];
  if (!TIFFRGBAImageOK(tif, message)) return false;
  if (!TIFFReadRGBAImageOriented(tif, w, h, out.pixels, ORIENTATION_TOPLEFT, 0)) return false;
  for (size_t i = 0, n = size_t(w) * h; i < n; ++i) {
    uint32_t p = out.pixels[i];
    uint32_t r = TIFFGetR(p), g = TIFFGetG(p), b = TIFFGetB(p), a = TIFFGetA(p);
    if (alpha) {
      r = unpremultiply(r, a);
      g = unpremultiply(g, a);
      b = unpremultiply(b, a);
    }
    out.pixels[i] = a << 24 | r << 16 | g << 8 | b;
  }
  return true;
}

}  // namespace

bool decode_tiff(const uint8_t* bytes, size_t length, bitmap& out) {
  tiff_stream s{bytes, length, nullptr, 0, 0};
  TIFF* tif = tiff_open(s, "rm");
  if (!tif) return false;
  uint32_t w = 0, h = 0;
  uint16_t bits = 0, samples = 0, photometric = 0, planar = PLANARCONFIG_CONTIG;
  uint16_t extra_count = 0;
  uint16_t* extra = nullptr;
  bool ok = TIFFGetField(tif, TIFFTAG_IMAGEWIDTH, &w) && TIFFGetField(tif, TIFFTAG_IMAGELENGTH, &h);
  TIFFGetFieldDefaulted(tif, TIFFTAG_BITSPERSAMPLE, &bits);
  TIFFGetFieldDefaulted(tif, TIFFTAG_SAMPLESPERPIXEL, &samples);
  TIFFGetFieldDefaulted(tif, TIFFTAG_PLANARCONFIG, &planar);
  TIFFGetFieldDefaulted(tif, TIFFTAG_EXTRASAMPLES, &extra_count, &extra);
  bool has_photometric = TIFFGetField(tif, TIFFTAG_PHOTOMETRIC, &photometric);
  bool alpha = extra_count > 0 && extra && (extra[0] == EXTRASAMPLE_ASSOCALPHA || extra[0] == EXTRASAMPLE_UNASSALPHA);
  bool associated = alpha && extra[0] == EXTRASAMPLE_ASSOCALPHA;
  if (ok) {
    out.pixels = allocate_pixels(w, h, true);
    ok = out.pixels != nullptr;
  }
  if (ok) {
    out.width = w;
    out.height = h;
    try {
      uint16_t format = SAMPLEFORMAT_UINT, compression = COMPRESSION_NONE;
      TIFFGetFieldDefaulted(tif, TIFFTAG_SAMPLEFORMAT, &format);
      TIFFGetFieldDefaulted(tif, TIFFTAG_COMPRESSION, &compression);
      bool gray = photometric == PHOTOMETRIC_MINISBLACK || photometric == PHOTOMETRIC_MINISWHITE;
      int colours = gray ? 1 : 3;
      tiff_layout l{w, h, bits, samples, gray, photometric == PHOTOMETRIC_MINISWHITE, TIFFIsTiled(tif) != 0,
                    planar == PLANARCONFIG_SEPARATE, alpha ? int(samples) - int(extra_count) : -1};
      bool direct = has_photometric && (gray || photometric == PHOTOMETRIC_RGB) && (bits == 8 || bits == 16) &&
                    format == SAMPLEFORMAT_UINT && samples <= 16 && compression != COMPRESSION_JPEG &&
                    compression != COMPRESSION_OJPEG && samples >= colours && extra_count <= samples - colours &&
                    (!alpha || l.alpha_channel == colours);
      ok = direct ? read_tiff_direct(tif, l, associated, out) : read_tiff_rgba(tif, w, h, alpha, out);
    } catch (const std::bad_alloc&) {
      ok = false;
    }
  }
  TIFFClose(tif);
  if (!ok) free_out(out);
  return ok;
}

bool encode_tiff(uint32_t width, uint32_t height, const uint32_t* pixels, std::vector<uint8_t>& out) {
  size_t start = out.size();
  tiff_stream s{nullptr, 0, &out, start, 0};
  TIFF* tif = tiff_open(s, "w");
  if (!tif) return false;
  uint16_t extra[] = {EXTRASAMPLE_UNASSALPHA};
  bool ok = TIFFSetField(tif, TIFFTAG_IMAGEWIDTH, width) && TIFFSetField(tif, TIFFTAG_IMAGELENGTH, height) &&
            TIFFSetField(tif, TIFFTAG_BITSPERSAMPLE, 8) && TIFFSetField(tif, TIFFTAG_SAMPLESPERPIXEL, 4) &&
            TIFFSetField(tif, TIFFTAG_EXTRASAMPLES, 1, extra) &&
            TIFFSetField(tif, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_RGB) &&
            TIFFSetField(tif, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG) &&
            TIFFSetField(tif, TIFFTAG_COMPRESSION, COMPRESSION_LZW) &&
            TIFFSetField(tif, TIFFTAG_ROWSPERSTRIP, TIFFDefaultStripSize(tif, 0));
  std::vector<uint8_t> line(size_t(width) * 4);
  for (uint32_t y = 0; ok && y < height; ++y) {
    const uint32_t* row = pixels + size_t(y) * width;
    for (uint32_t x = 0; x < width; ++x) {
      uint32_t p = row[x];
      uint8_t* q = line.data() + size_t(x) * 4;
      q[0] = uint8_t(p >> 16);
      q[1] = uint8_t(p >> 8);
      q[2] = uint8_t(p);
      q[3] = uint8_t(p >> 24);
    }
    ok = TIFFWriteScanline(tif, line.data(), y, 0) >= 0;
  }
  TIFFClose(tif);  // writes the directory
  if (!ok) out.resize(start);
  return ok;
}

}  // namespace kez::image_codecs
