// image!: a series of pixels over an image record of the image layer
// (type id 53, a child of series!).
//
// Cell: word 1 the head (a pixel position, row-major from the top-left
// pixel); word 2 the record's node, 0 for an image with no pixels; word 3
// the size, width in the low 16 bits and height in the high 16, copied from
// the record when the cell is made.
//
// The language sees a pixel as R.G.B.A with A the transparency (255 minus
// the stored alpha), and three channels as binaries: rgb (3 bytes a pixel),
// alpha (1 byte, transparency) and argb (4 bytes, the stored memory: B, G,
// R, alpha).
//
// Invariants:
// - A head lies in 0 .. width x height; length? is width x height whatever
//   the head.
// - Each in-place change is reported to the ownership layer (the record's
//   buffer carries the owned flag).
#pragma once

#include <cstdint>

#include "runtime/cell.h"

namespace kez::image {

constexpr uint32_t MAX_PIXELS = 0x7FFFFFF0u / 4;  // an argb channel must fit one binary

// Fills target with an image! over a record node (0: no pixels, size 0x0).
cell* make_at(cell* target, uint32_t node);
inline uint32_t width_of(const cell* image) { return image->w3 & 0xFFFF; }
inline uint32_t height_of(const cell* image) { return image->w3 >> 16; }
inline uint32_t pixel_count(const cell* image) { return width_of(image) * height_of(image); }
// Pixels from the head to the end (what foreach and forall still visit).
int32_t pixels_left(const cell* image);

// The format code of a binary's signature: 0 BMP, 1 PNG, 2 GIF, 3 JPEG,
// 4 TIFF, -1 for anything else.
int32_t detect_format(const cell* binary);
// none! for no known signature, Access Error bad-media when it cannot be
// decoded, else a new image! (in target).
cell* load_binary(cell* target, const cell* binary);
// A binary! through load_binary, a file! through the file loader (Access
// Error cannot-open with the file when that fails).
cell* decode(cell* target, const cell* data);
// The encoded binary! of an image (format 0-4, else Script Error
// invalid-arg); an image with no pixels raises Access Error bad-media.
cell* save_value(cell* target, const cell* image, const cell* where, int32_t format);

enum channel : uint32_t { CHANNEL_ARGB = 2, CHANNEL_RGB = 3, CHANNEL_ALPHA = 4 };  // accessor indexes
cell* get_channels(cell* target, const cell* image, channel which);
void set_channels(const cell* image, channel which, const cell* value);

// A new image! of another size, nearest-neighbour scaled, pushed.
cell* push_resized(const cell* image, uint32_t width, uint32_t height);
// The collector's row for image!: marks the record and, through the image
// layer, its handle and cached bitmap.
void mark(cell* value);
// Releases the value's native pixels at once (GUI use).
void free_value(const cell* image);

// `to image!` of a face: the GUI installs the capture; without it a face
// cannot be converted. The hook answers false for an object that is no face.
using face_to_image_fn = bool (*)(const cell* face, cell* result);
void set_face_to_image(face_to_image_fn fn);

void init();          // image! (after series!), the handle kind, the collector row
void init_natives();  // decode-image, encode-image, detect-image (after the natives)

}  // namespace kez::image
