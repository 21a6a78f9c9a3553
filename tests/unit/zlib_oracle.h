// Real zlib as the oracle of our own deflate, zlib and gzip (tests only:
// the runtime never links it). Window bits name the container the way zlib
// does: -15 raw, 15 zlib, 31 gzip.
#pragma once

#include <zlib.h>

#include <cstdint>
#include <vector>

namespace kez::oracle {

// Decodes one stream; false when zlib refuses it or it would pass `limit` bytes.
inline bool zlib_inflate(int bits, const uint8_t* data, size_t size, std::vector<uint8_t>* out,
                         size_t limit = size_t(1) << 30) {
  z_stream z{};
  if (inflateInit2(&z, bits) != Z_OK) return false;
  z.next_in = const_cast<Bytef*>(data);
  z.avail_in = uInt(size);
  out->clear();
  uint8_t chunk[16384];
  int r;
  do {
    z.next_out = chunk;
    z.avail_out = sizeof chunk;
    r = ::inflate(&z, Z_NO_FLUSH);
    out->insert(out->end(), chunk, chunk + (sizeof chunk - z.avail_out));
  } while (r == Z_OK && out->size() <= limit);
  inflateEnd(&z);
  return r == Z_STREAM_END;
}

// Encodes with every knob zlib has; empty when zlib fails.
inline std::vector<uint8_t> zlib_deflate(int bits, int level, int strategy, int mem_level,
                                         const std::vector<uint8_t>& in) {
  z_stream z{};
  if (deflateInit2(&z, level, Z_DEFLATED, bits, mem_level, strategy) != Z_OK) return {};
  std::vector<uint8_t> out(deflateBound(&z, uLong(in.size())) + 32);
  z.next_in = const_cast<Bytef*>(in.data());
  z.avail_in = uInt(in.size());
  z.next_out = out.data();
  z.avail_out = uInt(out.size());
  int r = ::deflate(&z, Z_FINISH);
  out.resize(r == Z_STREAM_END ? out.size() - z.avail_out : 0);
  deflateEnd(&z);
  return out;
}

}  // namespace kez::oracle
