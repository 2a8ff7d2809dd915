"""Shared helpers of the Python tests: where the examples and the built programs are, and a
runner for `python3 -m protnn` as a user runs it.

The programs are taken from PROTNN_BIN_DIR (set by ctest to <build>/bin), else from build/bin
of the source tree."""

from __future__ import annotations

import os
import subprocess
import sys
from pathlib import Path

import pytest

SOURCE = Path(__file__).resolve().parents[2]
EXAMPLES = SOURCE / "examples" / "proteins"
STRUCTURES = sorted(p.name[:-4] for p in (EXAMPLES / "structures").glob("*.pdb"))
sys.path.insert(0, str(SOURCE / "python"))


def bin_dir() -> Path:
    return Path(os.environ.get("PROTNN_BIN_DIR", SOURCE / "build" / "bin"))


def program(name: str) -> str:
    p = bin_dir() / name
    if not p.exists():
        pytest.skip(f"{p} not built")
    return str(p)


def protnn(*args: str, cwd: str | Path | None = None) -> subprocess.CompletedProcess:
    env = dict(os.environ, PYTHONPATH=str(SOURCE / "python"), PYTHONDONTWRITEBYTECODE="1")
    return subprocess.run(["/usr/bin/python3", "-m", "protnn", *map(str, args)], cwd=cwd,
                          env=env, capture_output=True, text=True)


def run_program(name: str, *args: str, cwd: str | Path | None = None) -> bytes:
    r = subprocess.run([program(name), *map(str, args)], cwd=cwd, capture_output=True)
    assert r.returncode == 0, r.stderr.decode()
    return r.stdout


def numbers_database(d: Path, tables: list[str], targets: dict, folds: int) -> None:
    """A database made by protnn db in D/dbo from protein n's one input table D/feat/pNN/x.tab
    (its text TABLES[n]) and the targets table D/t.csv (TARGETS: output -> values; proteins 2n
    and 2n + 1 share a group)."""
    rows = ["id," + ",".join(targets) + ",group"]
    for n, text in enumerate(tables):
        f = d / "feat" / f"p{n:02d}"
        f.mkdir(parents=True)
        (f / "x.tab").write_text(text)
        rows.append(f"p{n:02d}," + ",".join(f"{v[n]:.17g}" for v in targets.values()) +
                    f",g{n // 2}")
    (d / "t.csv").write_text("\n".join(rows) + "\n")
    r = protnn("db", "--features", d / "feat", "--targets", d / "t.csv", "--out", d / "dbo",
               "--folds", str(folds), "--inputs", "x.tab")
    assert r.returncode == 0, r.stderr
