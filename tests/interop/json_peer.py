"""JSON against Python's json module: documents that Python writes (from a
fixed seed, in its ASCII-escaped and its UTF-8 forms) are loaded by kez and
written back compact, pretty and ASCII-only; Python must read every one of
them as data equal to what it wrote.

usage: json_peer.py KEZ SIZE_IN_BYTES
"""
import json
import math
import os
import random
import subprocess
import sys
import tempfile

kez, size = sys.argv[1], int(sys.argv[2])
rng = random.Random(27)
# Small runs (the sanitizer build) keep each value small too.
max_depth = 6 if size > 100000 else 2

ALPHABET = "abcxyz019 _-/\\\"'\t\n\r\x00\x01\x1f\x7f" + "éßΣж中文" + "\u2028\ufeff" + "😀𝄞"


def text():
    return "".join(rng.choice(ALPHABET) for _ in range(rng.randint(0, 12)))


def number():
    kind = rng.randint(0, 5)
    if kind == 0:
        return rng.randint(-2**31, 2**31 - 1)
    if kind == 1:
        return rng.randint(-1000, 1000)
    if kind == 2:
        return rng.uniform(-1e6, 1e6)
    if kind == 3:
        return rng.choice([-1.0, 1.0]) * 10.0 ** rng.uniform(-300, 300)
    if kind == 4:
        return rng.choice([0.1 + 0.2, 1e-7, 5e-324, 1.7976931348623157e308, -0.5, 2.0 ** 53])
    return round(rng.uniform(-100, 100), 2)


def key():
    # Keys that read as words become words, which the writer spells back the
    # same; map keys compare without case, so every key here is lower case.
    return rng.choice(["a", "b-c", "name", "x1", "1x", "k ey", "é", "", "-1", "v.2"]) + str(rng.randint(0, 9999))


def value(depth):
    roll = rng.random()
    if depth > max_depth or roll < 0.45:
        return rng.choice([number, number, text, lambda: rng.choice([True, False, None])])()
    if roll < 0.7:
        return [value(depth + 1) for _ in range(rng.randint(0, 6))]
    obj = {}
    for _ in range(rng.randint(0, 6)):
        obj[key()] = value(depth + 1)
    return obj


doc = []
written = 2
while written < size:
    item = value(0)
    doc.append(item)
    written += len(json.dumps(item)) + 2

work = tempfile.mkdtemp()
inputs = {
    "ascii.json": json.dumps(doc),
    "utf8.json": json.dumps(doc, ensure_ascii=False),
    "indented.json": json.dumps(doc, indent=2, ensure_ascii=False),
}
for name, body in inputs.items():
    with open(os.path.join(work, name), "w", encoding="utf-8", newline="") as f:
        f.write(body)

script = os.path.join(work, "roundtrip.kez")
with open(script, "w", encoding="utf-8") as f:
    f.write("Kez []\n")
    for name in inputs:
        path = "%" + os.path.join(work, name)
        f.write("""data: load-json read %s
if error? data [print ["load failed:" %s data/arg1] quit-return 1]
write %s to-json data
write %s to-json/pretty data "  "
write %s to-json/ascii data
""" % (path, json.dumps(name), path + ".compact", path + ".pretty", path + ".ascii"))

# Python compares floats exactly; NaN never occurs in the documents.
def same(a, b):
    if isinstance(a, float) or isinstance(b, float):
        return isinstance(a, (int, float)) and isinstance(b, (int, float)) and float(a) == float(b) \
            and math.copysign(1, float(a)) == math.copysign(1, float(b))
    if isinstance(a, list):
        return isinstance(b, list) and len(a) == len(b) and all(same(x, y) for x, y in zip(a, b))
    if isinstance(a, dict):
        return isinstance(b, dict) and a.keys() == b.keys() and all(same(a[k], b[k]) for k in a)
    return type(a) is type(b) and a == b


run = subprocess.run([kez, script], capture_output=True, text=True, timeout=600)
if run.returncode != 0:
    print(run.stdout, run.stderr)
    sys.exit(1)
failed = False
for name in inputs:
    for form in ("compact", "pretty", "ascii"):
        path = os.path.join(work, name + "." + form)
        with open(path, encoding="utf-8") as f:
            body = f.read()
        if form == "ascii" and not body.isascii():
            print(path, "holds non-ASCII characters")
            failed = True
        if not same(json.loads(body), doc):
            print(path, "does not read back as the document")
            failed = True
for entry in os.listdir(work):
    os.remove(os.path.join(work, entry))
os.rmdir(work)
print("%d bytes, %d values: %s" % (written, len(doc), "FAILED" if failed else "ok"))
sys.exit(1 if failed else 0)
