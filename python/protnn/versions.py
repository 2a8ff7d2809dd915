"""The versions of what made a result: the programs, the libraries and the tools around them.

run.json and model.json record them; features' stamps record the programs' version lines.
"""

from __future__ import annotations

import platform
import subprocess

from . import ProtnnError, __version__
from .failures import one_line


def program_version(path: str) -> str:
    """The first line that `PATH --version` prints; refuses a program that does not answer."""
    try:
        r = subprocess.run([path, "--version"], capture_output=True, text=True, timeout=60)
    except (OSError, subprocess.SubprocessError) as e:
        raise ProtnnError(f"{path} --version: {e}") from None
    if r.returncode != 0 or not r.stdout.strip():
        raise ProtnnError(f"{path} --version: status {r.returncode}: {one_line(r.stderr)}")
    return r.stdout.strip().splitlines()[0]


def first_line(argv: list[str]) -> str:
    """The first line a command prints (standard output and error), '' when it cannot run."""
    try:
        r = subprocess.run(argv, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True,
                           timeout=60)
        return (r.stdout.strip().splitlines() or [""])[0]
    except (OSError, subprocess.SubprocessError):
        return ""


def library_versions() -> dict[str, str]:
    """protnn, gemmi and Python."""
    import gemmi
    return {"protnn": __version__, "gemmi": gemmi.__version__,
            "python": platform.python_version()}


def run_versions(programs: dict[str, str]) -> dict[str, str]:
    """What a workflow run records: the programs' version lines (PROGRAMS), the libraries,
    mkdssp, MMseqs2 and Snakemake ('' for a tool that is not installed)."""
    try:
        import snakemake
        engine = snakemake.__version__
    except ImportError:
        engine = ""
    lib = library_versions()
    return dict(programs) | {"protnn": lib["protnn"], "gemmi": lib["gemmi"],
                             "mkdssp": first_line(["mkdssp", "--version"]),
                             "mmseqs2": first_line(["mmseqs", "version"]),
                             "snakemake": engine, "python": lib["python"]}


def read_programs_list(path: str) -> dict[str, str]:
    """programs.txt of a workflow run (`PATH<TAB>VERSION LINE` per program, written by
    workflow/scripts/programs.sh): program name -> version line."""
    import os
    from .files import read_text
    out = {}
    for n, line in enumerate(read_text(path).splitlines(), 1):
        if not line.strip():
            continue
        if "\t" not in line:
            raise ProtnnError(f"{path}:{n}: expected PATH<TAB>VERSION")
        prog, version = line.split("\t", 1)
        out[os.path.basename(prog)] = version
    return out
