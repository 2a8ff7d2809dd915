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
