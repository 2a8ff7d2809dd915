#!/usr/bin/python3
"""Markdown table of the results of cv.py: bench/learning/table.py WORK/*/result.json"""

import json
import sys


def main() -> int:
    print("| method | nets | wall s | output | r ens | r ridge | MAE ens | MAE ridge | MAE triv "
          "| ens - ridge MAE [95%] |")
    print("|---|---|---|---|---|---|---|---|---|---|")
    for path in sys.argv[1:]:
        with open(path) as f:
            d = json.load(f)
        for n, (o, v) in enumerate(d["outputs"].items()):
            head = [f"`{d['name']}`", str(d["nets"]), f"{d['wall']:.0f}"] if n == 0 else \
                ["", "", ""]
            print("| " + " | ".join(head + [
                o, f"{v['r_ens']:.3f}", f"{v['r_ridge']:.3f}", f"{v['mae_ens']:.4f}",
                f"{v['mae_ridge']:.4f}", f"{v['mae_triv']:.4f}",
                f"{v['diff']:+.4f} [{v['diff_lo']:+.4f}, {v['diff_hi']:+.4f}]"]) + " |")
    return 0


if __name__ == "__main__":
    sys.exit(main())
