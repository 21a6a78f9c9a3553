"""CSV against Python's csv module, both ways: records that `to-csv` writes
must read back in Python as the same records, and text that Python's writer
makes (in its default and its Unix dialect) must load in kez as the records
Python wrote. The records travel to and from kez as JSON.

usage: csv_peer.py KEZ
"""
import csv
import io
import json
import os
import subprocess
import sys
import tempfile

kez = sys.argv[1]

# Tables of equal-length records; each holds a case a careless writer or
# reader gets wrong.
tables = {
    # A lone empty field must not be written as a blank line.
    "one_field": [["a"], [""], ["b"]],
    "lone_empty_last": [["a"], ["b"], [""]],
    "awkward": [
        ["plain", "with,comma", 'with "quotes"', "", "end"],
        ['"', '""', ",", "line\nbreak", "crlf\r\ninside"],
        ["", "", "", "", ""],
        [" lead", "trail ", "tab\tin", "cr\ronly", "é中😀"],
        ["a\n\nb", '"quoted"', "x,\"y\",z", "\n", "last"],
    ],
    "single_column_quotes": [['"'], ['a"b'], [""], ['""']],
}

work = tempfile.mkdtemp()


def path(name):
    return os.path.join(work, name)


with open(path("records.json"), "w", encoding="utf-8") as f:
    json.dump(tables, f, ensure_ascii=False)

# Python's writer, in both of its line-end forms.
for dialect in ("excel", "unix"):
    for name, rows in tables.items():
        with open(path(f"py_{dialect}_{name}.csv"), "w", encoding="utf-8", newline="") as f:
            csv.writer(f, dialect=dialect).writerows(rows)

script = path("csv.kez")
with open(script, "w", encoding="utf-8") as f:
    f.write(f"""Kez []
dir: %{work}/
tables: load-json read dir/records.json
read-back: make map! []
foreach [name rows] body-of tables [
    write rejoin [dir "kez_" name ".csv"] to-csv rows
    foreach dialect ["excel" "unix"] [
        ; read/binary: a text read would turn the CRs inside fields into LFs.
        data: load-csv to string! read/binary rejoin [dir "py_" dialect "_" name ".csv"]
        if error? data [data: rejoin ["error: " data/id " " data/arg1]]
        put read-back rejoin [dialect "_" name] data
    ]
]
write dir/read_back.json to-json read-back
""")

run = subprocess.run([kez, script], capture_output=True, text=True, timeout=300)
if run.returncode != 0:
    print(run.stdout, run.stderr)
    sys.exit(1)

failed = False
for name, rows in tables.items():
    with open(path(f"kez_{name}.csv"), encoding="utf-8", newline="") as f:
        got = list(csv.reader(f))
    if got != rows:
        print(f"Python reads kez's {name} as {got!r}, not {rows!r}")
        failed = True
with open(path("read_back.json"), encoding="utf-8") as f:
    back = json.load(f)
for dialect in ("excel", "unix"):
    for name, rows in tables.items():
        got = back.get(f"{dialect}_{name}")
        if got != rows:
            print(f"kez loads Python's {dialect} {name} as {got!r}, not {rows!r}")
            failed = True

for entry in os.listdir(work):
    os.remove(path(entry))
os.rmdir(work)
print("FAILED" if failed else "ok")
sys.exit(1 if failed else 0)
