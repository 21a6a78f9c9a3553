"""Interoperability with a second program (Python's imaging library).

A Kez script writes our encoders' files with `encode-image` and `write`; the
peer must read them with the same size and pixels (PNG, BMP, TIFF and GIF
exactly, JPEG within a tolerance). The peer writes its own files, and the
same Kez script must decode them (`decode-image` of the file) to the peer's
size and pixels.

usage: peer_check.py KEZ_PROGRAM WORK_DIR
"""
import os
import subprocess
import sys

from PIL import Image

kez, work = sys.argv[1], os.path.abspath(sys.argv[2])
os.makedirs(work, exist_ok=True)
failures = []


def argb(im):
    """The pixels as image! keeps them (its argb channel): B, G, R, alpha."""
    data = im.convert("RGBA").tobytes()
    out = bytearray(len(data))
    out[0::4], out[1::4], out[2::4], out[3::4] = data[2::4], data[1::4], data[0::4], data[3::4]
    return bytes(out)


# The peer's files, each with its pixels as the peer reads them back.
w, h = 11, 6
rgba = Image.new("RGBA", (w, h))
rgba.putdata([((x * 23) % 256, (y * 40) % 256, (x * y * 9) % 256, 255 - (x + y * w) * 3)
              for y in range(h) for x in range(w)])
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
for name, (im, options) in made.items():
    path = os.path.join(work, name)
    im.save(path, **options)
    with Image.open(path) as back:
        back.load()
        with open(path + ".argb", "wb") as f:
            f.write(argb(back))

script = os.path.join(work, "peer.kez")
with open(script, "w") as f:
    f.write(f"""Kez [Title: "Our files for the peer; the peer's files for our decoders"]
dir: %{work}/
at-dir: func [name] [append copy dir name]
suffixes: ["bmp" "png" "gif" "jpg" "tif"]
; 13x7, every transparency and colours in every channel; the GIF form keeps
; opaque or clear pixels only, the JPEG form is opaque and smooth.
pattern: func [format /local img x y] [
    img: make image! 13x7
    repeat row 7 [repeat column 13 [
        x: column - 1 y: row - 1
        poke img as-pair column row to tuple! case [
            format = 2 [either 0 = ((x + y) % 5) [[0 0 0 255]] [reduce [x * 19 y * 36 (x * y * 7) % 256 0]]]
            format = 3 [reduce [40 + (x * 12) 200 - (y * 20) 128 0]]
            true [reduce [x * 19 y * 36 (x * y * 7) % 256 (x + (y * 13)) * 2]]
        ]
    ]]
    img
]
repeat n 5 [
    img: pattern n - 1
    name: append copy "ours." pick suffixes n
    write at-dir name encode-image img n - 1
    write at-dir append copy name ".argb" img/argb
]
foreach name [{" ".join('"' + n + '"' for n in made)}] [
    img: decode-image at-dir name
    raw: read/binary at-dir append copy name ".argb"
    either img/size <> {w}x{h} [print ["FAIL" name "size" img/size]] [
        worst: 0
        bytes: img/argb
        repeat i length? raw [worst: max worst absolute (pick bytes i) - (pick raw i)]
        if worst > either find name ".jpg" [12] [0] [print ["FAIL" name "differs by" worst]]
    ]
]
print "done"
""")
run = subprocess.run([kez, script], capture_output=True, text=True)
lines = run.stdout.splitlines()
failures += [line for line in lines if line.startswith("FAIL")]
if run.returncode != 0 or "done" not in lines:
    failures.append(f"kez ended with {run.returncode}: {run.stderr.strip()}")

for suffix in ["bmp", "png", "gif", "jpg", "tif"]:
    path = os.path.join(work, "ours." + suffix)
    if not os.path.exists(path):
        failures.append(f"{suffix}: not written")
        continue
    with open(path + ".argb", "rb") as f:
        expected = f.read()
    with Image.open(path) as im:
        im.load()
        size = im.size
        got = argb(im)
    if size != (13, 7):
        failures.append(f"{suffix}: size {size}")
        continue
    if suffix == "gif":
        # A clear pixel of a GIF carries no colour of its own: compare alpha only there.
        keep = [i for i in range(len(expected)) if expected[i - i % 4 + 3] or i % 4 == 3]
        got, expected = bytes(got[i] for i in keep), bytes(expected[i] for i in keep)
    tolerance = 12 if suffix == "jpg" else 0
    worst = max(abs(a - b) for a, b in zip(got, expected))
    if len(got) != len(expected) or worst > tolerance:
        failures.append(f"{suffix}: the peer's pixels differ by up to {worst}")

for failure in failures:
    print("FAIL", failure)
print(f"{0 if failures else 1} passed, {1 if failures else 0} failed")
sys.exit(1 if failures else 0)
