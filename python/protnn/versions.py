"""The versions of what made a result: the programs, the libraries and the tools around them.

run.json and model.json record them; features' stamps record the programs' version lines.
programs.txt of a workflow run (written by programs_list_text, read by read_programs_list and
programs_sha256): `PATH<TAB>VERSION LINE<TAB>SHA256` per program, so that a program rebuilt
or replaced under the same version line is another program.
"""

from __future__ import annotations

import os
import platform
import subprocess

from . import ProtnnError, __version__
from .failures import one_line

# The programs of a workflow run, in the order of programs.txt.
WORKFLOW_PROGRAMS = ("pairdist", "depthdist", "atomdepth", "nntrain")


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


def missing_programs(bindir: str) -> list[str]:
    """The programs of a workflow run that BINDIR does not hold (as executables)."""
    return [p for p in WORKFLOW_PROGRAMS
            if not os.access(os.path.join(bindir, p), os.X_OK)
            or not os.path.isfile(os.path.join(bindir, p))]


def programs_list_text(bindir: str) -> str:
    """The text of programs.txt for the programs of BINDIR: path, version line, sha256."""
    from .features import sha256_file
    out = []
    for p in WORKFLOW_PROGRAMS:
        path = os.path.join(os.path.abspath(bindir), p)
        out.append(f"{path}\t{program_version(path)}\t{sha256_file(path)}\n")
    return "".join(out)


def _programs_rows(path: str) -> list[tuple[str, str, str]]:
    from .files import read_text
    out = []
    for n, line in enumerate(read_text(path).splitlines(), 1):
        if not line.strip():
            continue
        cells = line.split("\t")
        if len(cells) < 3:
            raise ProtnnError(f"{path}:{n}: expected PATH<TAB>VERSION<TAB>SHA256")
        out.append((os.path.basename(cells[0]), "\t".join(cells[1:-1]), cells[-1]))
    return out


def read_programs_list(path: str) -> dict[str, str]:
    """programs.txt of a workflow run: program name -> version line."""
    return {name: version for name, version, _ in _programs_rows(path)}


def programs_sha256(path: str) -> dict[str, str]:
    """programs.txt of a workflow run: program name -> the sha256 of its executable."""
    return {name: digest for name, _, digest in _programs_rows(path)}
