"""targets_table.py TABLE OUT ID...: the targets table of the run.

Writes OUT: TABLE unchanged, then one row with unknown (empty) targets for every ID (a
structure of the run) that TABLE has no row for, so that protnn db lists it among the new
proteins to predict.  TABLE's own faults (no id column, bad numbers) are left to protnn db,
which names them; a TABLE that cannot be read as CSV here is copied unchanged.  OUT is written
to a temporary file and renamed into place.
"""
import csv
import os
import sys

table, out, ids = sys.argv[1], sys.argv[2], sys.argv[3:]
with open(table, encoding="utf-8", newline="") as f:
    text = f.read()
extra = []
try:
    rows = list(csv.reader(text.splitlines()))
    header = rows[0] if rows else []
    if "id" in header:
        col = header.index("id")
        have = {r[col] for r in rows[1:] if len(r) > col}
        for i in ids:
            if i not in have:
                cells = [""] * len(header)
                cells[col] = i
                extra.append(",".join(cells))
except csv.Error:
    extra = []
if extra and text and not text.endswith("\n"):
    text += "\n"
tmp = os.path.join(os.path.dirname(out) or ".", f".{os.path.basename(out)}.tmp.{os.getpid()}")
try:
    with open(tmp, "w", encoding="utf-8", newline="") as f:
        f.write(text + "".join(e + "\n" for e in extra))
    os.replace(tmp, out)
finally:
    if os.path.exists(tmp):
        os.unlink(tmp)
