"""Interoperability with a second program (Python's imaging library).

Our encoders' files (written by the image_files helper) must read back in
the peer with the same size and pixels: PNG, BMP, TIFF and GIF exactly,
JPEG within a tolerance. Then the peer writes its own files, and our
decoders must read them with the peer's size and pixels.

usage: peer_check.py IMAGE_FILES_PROGRAM WORK_DIR
"""
import os
import subprocess
import sys

from PIL import Image

program, work = sys.argv[1], sys.argv[2]
os.makedirs(work, exist_ok=True)
failures = []

subprocess.run([program, "write", work], check=True)
for suffix in ["bmp", "png", "gif", "jpg", "tif"]:
    path = os.path.join(work, "ours." + suffix)
    with open(path + ".rgba", "rb") as f:
        expected = f.read()
    with Image.open(path) as im:
        im.load()
        size = im.size
        got = im.convert("RGBA").tobytes()
    if size != (13, 7):
        failures.append(f"{suffix}: size {size}")
        continue
    if suffix == "gif":
        # Fully transparent pixels carry no colour in a GIF: compare alpha only there.
        got = bytes(b for i, b in enumerate(got) if expected[i - i % 4 + 3] or i % 4 == 3)
        expected = bytes(b for i, b in enumerate(expected) if expected[i - i % 4 + 3] or i % 4 == 3)
    tolerance = 12 if suffix == "jpg" else 0
    worst = max(abs(a - b) for a, b in zip(got, expected))
    if len(got) != len(expected) or worst > tolerance:
        failures.append(f"{suffix}: pixels differ by up to {worst}")

# The peer's files, with their pixels as the peer reads them back.
w, h = 11, 6
rgba = Image.new("RGBA", (w, h))
rgba.putdata([((x * 23) % 256, (y * 40) % 256, (x * y * 9) % 256, 255 - (x + y * w) * 3) for y in range(h) for x in range(w)])
opaque = rgba.convert("RGB")
made = {
    "peer.png": (rgba, {}),
    "peer_rgb.png": (opaque, {}),
    "peer_grey.png": (opaque.convert("L"), {}),
    "peer_palette.png": (opaque.convert("P"), {}),
    "peer.bmp": (opaque, {}),
    "peer_palette.bmp": (opaque.convert("P"), {}),
    "peer.tif": (rgba, {"compression": "tiff_lzw"}),
    "peer_rgb.tif": (opaque, {}),
    "peer.gif": (opaque.convert("P"), {}),
    "peer.jpg": (opaque, {"quality": 95}),
    "peer_grey.jpg": (opaque.convert("L"), {"quality": 95}),
}
names = []
for name, (im, options) in made.items():
    path = os.path.join(work, name)
    im.save(path, **options)
    with Image.open(path) as back:
        back.load()
        data = back.convert("RGBA").tobytes()
    with open(path + ".rgba", "wb") as f:
        f.write(data)
    with open(path + ".size", "w") as f:
        f.write(f"{w} {h}")
    names.append(name)
if subprocess.run([program, "check", work] + names).returncode != 0:
    failures.append("our decoders differ from the peer on its files")

for failure in failures:
    print("FAIL", failure)
print(f"{0 if failures else 1} passed, {1 if failures else 0} failed")
sys.exit(1 if failures else 0)
