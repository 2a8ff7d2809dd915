"""fold_setting.py DBOUT K: prints the nntrain -f value of fold K that protnn db wrote into
DBOUT/folds.json (the share of the fold's list that makes its test fold exactly the trailing
whole groups)."""
import json
import sys

db, k = sys.argv[1], int(sys.argv[2])
with open(f"{db}/folds.json", encoding="utf-8") as f:
    folds = json.load(f)["folds"]
fold = folds[k - 1] if isinstance(folds, list) else folds[str(k)]
print(fold["f"])
