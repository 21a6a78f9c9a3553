"""Writes the small hand-made image fixtures beside this script (committed;
run again only to change them). The BMP is laid out byte by byte; the GIF
and the JPEG come from Python's imaging library.

- rle8.bmp: 5x4, 8 bits, RLE8 with a run, an absolute span (padded), a
  delta that skips pixels and rows, end of line and end of bitmap; bottom up.
- interlaced.gif: 16x16, interlaced, every row its own palette colour,
  colour 5 transparent.
- cmyk.jpg: 16x8 CMYK with the Adobe marker: red on the left half, blue on
  the right.
"""
import os
import struct

from PIL import Image

here = os.path.dirname(os.path.abspath(__file__))

palette = [(10, 20, 30), (255, 0, 0), (0, 255, 0), (0, 0, 255)]
pixels = bytes([
    0x02, 0x01, 0x00, 0x03, 0x02, 0x03, 0x01, 0x00, 0x00, 0x00,  # row 3: 1 1 | 2 3 1 | EOL
    0x05, 0x02, 0x00, 0x00,                                      # row 2: 2 x5 | EOL
    0x01, 0x03, 0x00, 0x02, 0x02, 0x01,                          # row 1: 3 | delta 2,1
    0x02, 0x01, 0x00, 0x01,                                      # row 0 from x 3: 1 1 | end
])
header = struct.pack("<IiiHHIIiiII", 40, 5, 4, 1, 8, 1, len(pixels), 2835, 2835, 4, 0)
colours = b"".join(bytes([b, g, r, 0]) for r, g, b in palette)
offset = 14 + len(header) + len(colours)
with open(os.path.join(here, "rle8.bmp"), "wb") as f:
    f.write(b"BM" + struct.pack("<IHHI", offset + len(pixels), 0, 0, offset) + header + colours + pixels)

gif = Image.new("P", (16, 16))
gif.putpalette([v for i in range(16) for v in (i * 16, 255 - i * 16, (i * 37) % 256)])
gif.putdata([y for y in range(16) for x in range(16)])
gif.save(os.path.join(here, "interlaced.gif"), interlace=True, transparency=5)

cmyk = Image.new("CMYK", (16, 8))
cmyk.putdata([(0, 255, 255, 0) if x < 8 else (255, 255, 0, 0) for y in range(8) for x in range(16)])
cmyk.save(os.path.join(here, "cmyk.jpg"), quality=95)
