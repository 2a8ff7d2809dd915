#!/usr/bin/python3
"""Cost of one network: CPU seconds per epoch per protein of the list, and of loading.

    bench/learning/cost.py LIST.db [nntrain words ...]

Trains on the list file twice with the given words, for 1 and for 1 + EPOCHS epochs (-mi as
large, so neither stops early), and prints the CPU time of each (nntrain is single-threaded)
with seconds per epoch per protein = (t(1 + EPOCHS) - t(1)) / EPOCHS / proteins of the list.
"""

import os
import resource
import subprocess
import sys
import tempfile

EPOCHS = 1000
HERE = os.path.dirname(os.path.abspath(__file__))
NNTRAIN = os.path.join(HERE, "..", "..", "build", "bin", "nntrain")


def cpu(argv: list[str], cwd: str) -> float:
    before = resource.getrusage(resource.RUSAGE_CHILDREN)
    subprocess.run(argv, cwd=cwd, check=True, stdout=subprocess.DEVNULL,
                   stderr=subprocess.DEVNULL)
    after = resource.getrusage(resource.RUSAGE_CHILDREN)
    return (after.ru_utime - before.ru_utime) + (after.ru_stime - before.ru_stime)


def main() -> int:
    lst, words = sys.argv[1], sys.argv[2:]
    with open(lst) as f:
        lines = [l for l in f.read().splitlines()]
    proteins = len([l for l in lines[3:] if l.strip()])
    with tempfile.TemporaryDirectory() as tmp:
        t = {}
        for e in (1, 1 + EPOCHS):
            t[e] = cpu([NNTRAIN, "-l", os.path.abspath(lst), "-f", "0.15", "-r", "1", *words,
                        "-m", str(e), "-mi", str(e), "-owf", f"n{e}.wei"], tmp)
    per = (t[1 + EPOCHS] - t[1]) / EPOCHS / proteins
    print(f"{lst}: {proteins} proteins, words {' '.join(words)}: 1 epoch {t[1]:.2f} s CPU, "
          f"{1 + EPOCHS} epochs {t[1 + EPOCHS]:.2f} s; {per:.3g} s per epoch per protein")
    return 0


if __name__ == "__main__":
    sys.exit(main())
