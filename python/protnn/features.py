"""Feature tables of many structures in one process: prep, pairdist, atomdepth, depthdist.

compute_batch() takes {id: structure file} and writes, per structure, FEATDIR/<id>/ with the
input tables the settings ask for (pairdist.tab: `pairdist -dp X.pdb`; depth.tab: `atomdepth
-dp X.pdb -o BASE` then `depthdist -dp BASE`, where X.pdb is what `protnn prep` writes) and
source.json, the stamp: the sha256 of the structure file's bytes, the settings, the versions of
the three programs (`PROGRAM --version`) with the sha256 of their executables, and the sha256 of
the types files.  A structure whose stamp and tables are all in place is not done again.  gemmi is imported once and prep runs in
this process; the programs are separate processes (argument lists, never a shell), so `jobs`
structures run at a time in a thread pool.

FEATDIR/<id>/ is built as FEATDIR/.<id>.*.tmp and renamed into place when complete, so it
is whole or absent.  A structure that fails gives one Failure (id, step, the program's last
message line and the first warning of its programs, "(after atomdepth: ...)"), leaves no
FEATDIR/<id>/ (a stale one is removed) and does not stop the others.  The programs' warnings
go to standard error (a batch's log), named by the structure file, except their "Unknown
type" lines (a name the types file lacks, counted in its catch-all type: the OXT of almost
every structure), which only a failure's message gives, as one line per program.

Types files: the programs look them up in their current directory first and then in
<bindir>/../share/protnn/; here they are named explicitly with -t (the shipped ones of
<bindir>/../share/protnn/, or those of a model folder), so the tables do not depend on the
directory a batch runs in.  The tables are byte for byte those of the programs' defaults.
"""

from __future__ import annotations

import hashlib
import json
import math
import os
import shutil
import subprocess
import sys
import tempfile
import threading
from concurrent.futures import ThreadPoolExecutor
from dataclasses import asdict, dataclass
from typing import Callable

from . import ProtnnError
from .failures import Failure, one_line
from .files import read_json, read_text, settings_object
from .versions import program_version

PROGRAMS = ("pairdist", "atomdepth", "depthdist")
# The types file each generator reads (-t), by its shipped name.
TYPES = {"pairdist": "amino_acids.types", "depthdist": "aa_atom.types"}
# The input tables this module can make, and the programs each needs.
TABLES = {"pairdist.tab": ("pairdist",), "depth.tab": ("atomdepth", "depthdist")}
STAMP = "source.json"
# atomdepth's bounds of -pr (A) and -np.
MAX_PROBE = 5
MAX_POINTS = 100000


@dataclass(frozen=True)
class FeatureSettings:
    nmr_model: int = 0          # model of an NMR file; 0: the first model of the file
    probe: float = 1.4          # atomdepth -pr (A)
    points: int = 96            # atomdepth -np
    estimates: int = 3          # atomdepth -ne
    inputs: tuple[str, ...] = ("pairdist.tab", "depth.tab")

    def to_dict(self) -> dict:
        d = asdict(self)
        d["inputs"] = list(self.inputs)
        return d


def settings_from_dict(d: object, where: str) -> FeatureSettings:
    """FeatureSettings from a JSON object (missing keys take the defaults), checked."""
    d = settings_object(d, FeatureSettings.__dataclass_fields__, where, "feature")
    default = FeatureSettings()

    def integer(key: str, lo: int, hi: int) -> int:
        v = d.get(key, getattr(default, key))
        if isinstance(v, bool) or not isinstance(v, int) or not lo <= v <= hi:
            raise ProtnnError(f"{where}: {key} must be a whole number from {lo} to {hi}, "
                              f"found {json.dumps(v)}")
        return v

    probe = d.get("probe", default.probe)
    if isinstance(probe, bool) or not isinstance(probe, (int, float)) or \
            not math.isfinite(probe) or not 0 <= probe <= MAX_PROBE:
        raise ProtnnError(f"{where}: probe must be a number from 0 to {MAX_PROBE}, found "
                          f"{json.dumps(probe)}")
    inputs = d.get("inputs", list(default.inputs))
    if not isinstance(inputs, list) or not inputs or \
            any(not isinstance(i, str) or i not in TABLES for i in inputs) or \
            len(set(inputs)) != len(inputs):
        raise ProtnnError(f"{where}: inputs must be distinct names among "
                          f"{', '.join(TABLES)}, found {json.dumps(inputs)}")
    return FeatureSettings(nmr_model=integer("nmr_model", 0, 10**9), probe=float(probe),
                           points=integer("points", 1, MAX_POINTS),
                           estimates=integer("estimates", 1, 3), inputs=tuple(inputs))


def settings_text(settings: FeatureSettings) -> str:
    """The text of a feature settings file (protnn features --settings) for SETTINGS."""
    return json.dumps(settings.to_dict(), indent=1, sort_keys=True) + "\n"


def read_settings(path: str) -> FeatureSettings:
    return settings_from_dict(read_json(path, "a feature settings file"), path)


def read_stamp(outdir: str) -> dict:
    """The stamp OUTDIR/source.json ({} when there is none)."""
    path = os.path.join(outdir, STAMP)
    return read_json(path, "a feature stamp") if os.path.lexists(path) else {}


def sha256_file(path: str) -> str:
    h = hashlib.sha256()
    with open(path, "rb") as f:
        for block in iter(lambda: f.read(1 << 20), b""):
            h.update(block)
    return h.hexdigest()


@dataclass(frozen=True)
class Programs:
    """The feature programs of one batch, found and identified once."""
    paths: dict[str, str]       # program -> executable
    versions: dict[str, str]    # program -> its `--version` line
    sha256: dict[str, str]      # program -> the sha256 of its executable (a rebuild with a
                                # change but the same version line is still another program)
    types: dict[str, str]       # program -> types file given with -t
    types_sha256: dict[str, str]


def find_programs(bindir: str, types: dict[str, str] | None = None) -> Programs:
    """The programs of BINDIR with their versions; TYPES (program -> file) replaces the
    shipped types files of BINDIR/../share/protnn/."""
    paths, versions, binaries = {}, {}, {}
    for name in PROGRAMS:
        p = os.path.abspath(os.path.join(bindir, name))
        if not (os.path.isfile(p) and os.access(p, os.X_OK)):
            raise ProtnnError(f"{p}: no such program (--bindir {bindir})")
        paths[name] = p
        versions[name] = program_version(p)
        binaries[name] = sha256_file(p)
    files, sums = {}, {}
    for name, default in TYPES.items():
        t = (types or {}).get(name) or os.path.join(bindir, "..", "share", "protnn", default)
        t = os.path.abspath(t)
        try:
            sums[name] = sha256_file(t)
        except OSError as e:
            raise ProtnnError(f"{t}: cannot read the types file of {name}: {e.strerror}") \
                from None
        files[name] = t
    return Programs(paths, versions, binaries, files, sums)


def stamp_of(structure_sha256: str, settings: FeatureSettings, progs: Programs) -> dict:
    return {"structure_sha256": structure_sha256, "settings": settings.to_dict(),
            "versions": dict(progs.versions), "programs_sha256": dict(progs.sha256),
            "types_sha256": dict(progs.types_sha256)}


def is_done(outdir: str, stamp: dict, settings: FeatureSettings) -> bool:
    """Whether OUTDIR holds every table of SETTINGS under the stamp STAMP."""
    try:
        old = read_stamp(outdir)
    except ProtnnError:             # unreadable: made again
        return False
    return old == stamp and all(os.path.isfile(os.path.join(outdir, t))
                                for t in settings.inputs)


class _StepFailed(Exception):
    def __init__(self, step: str, message: str):
        super().__init__(message)
        self.step = step
        self.message = message


class _Stopped(Exception):
    """The batch is being stopped: a structure's work ends without a result or a failure."""


class RunningPrograms:
    """The programs that a batch's threads run, so that a stop (a signal in the main thread)
    kills them at once instead of waiting for every structure: stop() kills those running,
    and a thread that would start one gets _Stopped."""

    def __init__(self) -> None:
        self.stopped = threading.Event()
        self._lock = threading.Lock()
        self._running: set[subprocess.Popen] = set()

    def start(self, args: list[str], **kw) -> subprocess.Popen:
        with self._lock:
            if self.stopped.is_set():
                raise _Stopped()
            p = subprocess.Popen(args, **kw)
            self._running.add(p)
            return p

    def finished(self, p: subprocess.Popen) -> None:
        with self._lock:
            self._running.discard(p)

    def stop(self) -> None:
        with self._lock:
            self.stopped.set()
            for p in self._running:
                p.kill()


UNKNOWN = "Unknown type"        # the generators' line for a name their types file lacks
CATCH_ALL = " (counted in the catch-all type)"


def _warning_lines(step: str, lines: list[str]) -> list[str]:
    """A program's warnings as STEP: LINE; its "Unknown type" lines as one line."""
    unknown = [l for l in lines if l.startswith(UNKNOWN)]
    kept = [f"{step}: {l}" for l in lines if not l.startswith(UNKNOWN)]
    if unknown:
        more = f" and {len(unknown) - 1} more" if len(unknown) > 1 else ""
        kept.append(f"{step}: {unknown[0]}{more}{CATCH_ALL}")
    return kept


def _run(step: str, args: list[str], cwd: str, stdout_to: str | None = None,
         running: RunningPrograms | None = None, warnings: list[str] | None = None,
         where: str = "") -> None:
    """Runs one program in CWD; its standard output goes to the new file STDOUT_TO.  A stop
    (RUNNING's, or a signal's exception in this thread) kills it.  Its warnings (the lines on
    standard error before its last, or all of them when it succeeds) go to standard error,
    named by WHERE (but not the "Unknown type" line), and are added to WARNINGS (the earlier
    programs' of the same structure); a failure's message ends with the first warning, which
    often says why."""
    running = running or RunningPrograms()
    out = open(os.path.join(cwd, stdout_to), "xb") if stdout_to else subprocess.DEVNULL
    try:
        p = running.start(args, cwd=cwd, stdout=out, stderr=subprocess.PIPE,
                          stdin=subprocess.DEVNULL)
    except OSError as e:
        raise _StepFailed(step, f"{args[0]}: {e.strerror}") from None
    finally:
        if stdout_to:
            out.close()
    try:
        _, err = p.communicate()
    except BaseException:                # a signal's exception: the program goes too
        p.kill()
        p.wait()
        raise
    finally:
        running.finished(p)
    if running.stopped.is_set():
        raise _Stopped()
    text = err.decode("utf-8", errors="replace")
    lines = [" ".join(l.split()) for l in text.splitlines() if l.strip()]
    said = _warning_lines(step, lines[:-1] if p.returncode != 0 else lines)
    for line in said:
        if not line.endswith(CATCH_ALL):     # (most structures: the C terminus's OXT)
            print(f"{where}: {line}" if where else line, file=sys.stderr)
    warnings = [] if warnings is None else warnings
    warnings.extend(said)
    if p.returncode != 0:
        msg = one_line(text)
        if p.returncode < 0:
            msg = f"killed by signal {-p.returncode}: {msg}"
        first = [w for w in warnings if not w.endswith(CATCH_ALL)] or warnings
        raise _StepFailed(step, f"{msg} (after {first[0]})" if first else msg)


def _make_tables(path: str, tmp: str, settings: FeatureSettings, progs: Programs,
                 running: RunningPrograms | None = None) -> None:
    """prep, then the programs the inputs need, all inside the directory TMP."""
    from .structure import prep
    try:
        prep(path, os.path.join(tmp, "structure.pdb"),
             settings.nmr_model if settings.nmr_model else None)
    except ProtnnError as e:
        raise _StepFailed("prep", str(e)) from None
    except Exception as e:       # gemmi's own, unforeseen: one file must not stop a batch
        raise _StepFailed("prep", f"{path}: {type(e).__name__}: {e}") from None
    # Relative names inside TMP: the generators keep at most 300 characters of a file name.
    said: list[str] = []                # the programs' warnings on this structure
    if "pairdist.tab" in settings.inputs:
        _run("pairdist", [progs.paths["pairdist"], "-dp", "structure.pdb",
                          "-t", progs.types["pairdist"]], tmp, "pairdist.tab", running, said,
             path)
    if "depth.tab" in settings.inputs:
        _run("atomdepth", [progs.paths["atomdepth"], "-dp", "structure.pdb", "-o", "depth",
                           "-pr", repr(settings.probe), "-np", str(settings.points),
                           "-ne", str(settings.estimates)], tmp, None, running, said, path)
        _run("depthdist", [progs.paths["depthdist"], "-dp", "depth",
                           "-t", progs.types["depthdist"]], tmp, "depth.tab", running, said,
             path)
        for side in ("residue", "atom"):
            os.unlink(os.path.join(tmp, f"depth-{side}.depth"))
    os.unlink(os.path.join(tmp, "structure.pdb"))


def _remove(path: str) -> None:
    if os.path.isdir(path) and not os.path.islink(path):
        shutil.rmtree(path)
    elif os.path.lexists(path):
        os.unlink(path)


def _dir_mode() -> int:
    """The mode of a new directory under the umask (read once, before any thread starts:
    reading it means setting it for a moment)."""
    mask = os.umask(0)
    os.umask(mask)
    return 0o777 & ~mask


def compute_one(id_: str, path: str, featdir: str, settings: FeatureSettings,
                progs: Programs, mode: int,
                running: RunningPrograms | None = None) -> tuple[bool, Failure | None]:
    """The tables of one structure, FEATDIR/<id>/ of MODE; returns (whether work was done,
    the failure or None).  Stopped (RUNNING.stop(), a signal), it leaves no temporary."""
    final = os.path.join(featdir, id_)
    try:
        digest = sha256_file(path)
    except OSError as e:
        _remove(final)
        return False, Failure(id_, "prep", f"{path}: cannot read: {e.strerror}")
    stamp = stamp_of(digest, settings, progs)
    if is_done(final, stamp, settings):
        return False, None
    tmp = tempfile.mkdtemp(prefix=f".{id_}.", suffix=".tmp", dir=featdir)
    old = None
    try:
        try:
            _make_tables(path, tmp, settings, progs, running)
        except _StepFailed as e:
            _remove(final)
            return True, Failure(id_, e.step, e.message)
        with open(os.path.join(tmp, STAMP), "x", encoding="utf-8") as f:
            f.write(json.dumps(stamp, indent=2) + "\n")
        # mkdtemp makes the folder private, and a file may have been created while another
        # thread's prep (files.write_new) had the umask at 0 for a moment: modes set here.
        for name in os.listdir(tmp):
            os.chmod(os.path.join(tmp, name), mode & 0o666)
        os.chmod(tmp, mode)
        if os.path.lexists(final):           # stale: other file, settings or programs
            old = tempfile.mkdtemp(prefix=f".{id_}.", suffix=".old", dir=featdir)
            os.rename(final, os.path.join(old, "x"))
        os.rename(tmp, final)
        return True, None
    finally:
        shutil.rmtree(tmp, ignore_errors=True)
        if old:
            shutil.rmtree(old, ignore_errors=True)


def compute_batch(structures: dict[str, str], featdir: str, settings: FeatureSettings,
                  bindir: str, jobs: int = 1, strict: bool = False,
                  progress: Callable | None = None, *,
                  types: dict[str, str] | None = None) -> list[Failure]:
    """Writes FEATDIR/<id>/ for every structure not done yet; returns the failures (in id
    order).  PROGRESS(done, failed, total), when given, is called after each structure.  With
    STRICT the first failure stops the batch (ProtnnError).  TYPES: program -> types file, in
    place of the shipped ones (a model folder's)."""
    if jobs < 1:
        raise ProtnnError(f"-j {jobs}: at least 1")
    progs = find_programs(bindir, types)
    os.makedirs(featdir, exist_ok=True)
    from . import structure  # noqa: F401  gemmi, imported once here rather than in a thread
    mode = _dir_mode()
    failures: dict[str, Failure] = {}
    lock = threading.Lock()
    count = [0, 0]                   # structures finished, of them failed
    stop = threading.Event()
    running = RunningPrograms()

    def one(item: tuple[str, str]) -> None:
        if stop.is_set() or running.stopped.is_set():
            return
        id_, path = item
        try:
            _, failure = compute_one(id_, path, featdir, settings, progs, mode, running)
        except _Stopped:
            return
        with lock:
            count[0] += 1
            if failure:
                failures[id_] = failure
                count[1] += 1
                if strict:
                    stop.set()
            if progress:
                progress(count[0], count[1], len(structures))

    items = sorted(structures.items())
    if jobs == 1:
        for item in items:
            one(item)
    else:
        _in_pool(one, items, jobs, running)
    rows = [failures[i] for i in sorted(failures)]
    if strict and rows:
        r = rows[0]
        raise ProtnnError(f"{r.id}: {r.step}: {r.message}")
    return rows


def _in_pool(one: Callable, items: list, jobs: int, running: RunningPrograms) -> None:
    """ONE(item) for every item, JOBS at a time.  An exception in this thread (a signal's:
    Ctrl-C, SIGTERM) cancels the items not started, kills the programs running and waits
    for the threads, each of which removes its temporary folder; then it goes on."""
    pool = ThreadPoolExecutor(max_workers=jobs)
    try:
        for f in [pool.submit(one, item) for item in items]:
            f.result()
    except BaseException:
        running.stop()
        pool.shutdown(wait=True, cancel_futures=True)
        raise
    pool.shutdown(wait=True)


def read_batch_list(path: str) -> dict[str, str]:
    """BATCH.tsv: `id<TAB>path` per line, no header."""
    lines = read_text(path).splitlines()
    out: dict[str, str] = {}
    for n, line in enumerate(lines, 1):
        if not line.strip():
            continue
        cells = line.split("\t")
        if len(cells) != 2 or not cells[0] or not cells[1]:
            raise ProtnnError(f"{path}:{n}: expected id<TAB>path")
        if cells[0] in out:
            raise ProtnnError(f"{path}:{n}: id {cells[0]} listed twice")
        if cells[0].startswith(".") or "/" in cells[0]:
            raise ProtnnError(f"{path}:{n}: id '{cells[0]}' cannot name a folder")
        out[cells[0]] = cells[1]
    return out


def catch_all_shares(folder: str) -> dict[str, float]:
    """The shares of a structure's residues and atoms in the catch-all type (the last type of
    the types files: names they do not list), from the tables of FOLDER (a structure's
    feature folder), as {"residues": share, "atoms": share} for the tables it holds.

    depth.tab: the fourth number of its last line is the catch-all type's share of the atoms.
    pairdist.tab: its T x T lines hold the residue pairs per residue in their third column;
    with N residues, M of them typed, they sum to (N - 1) / 2 over all lines and to
    M (M - 1) / (2 N) over the lines of two typed types (all but the last of each T)."""
    out: dict[str, float] = {}
    pairs = os.path.join(folder, "pairdist.tab")
    if os.path.isfile(pairs):
        counts = [float(l.split()[2]) for l in read_text(pairs).splitlines() if l.strip()]
        t = math.isqrt(len(counts))
        if t > 1 and t * t == len(counts):
            n = 2 * sum(counts) + 1
            typed = sum(counts[a * t + b] for a in range(t - 1) for b in range(t - 1))
            m = round((1 + math.sqrt(1 + 8 * n * typed)) / 2)
            out["residues"] = (round(n) - m) / round(n)
    depth = os.path.join(folder, "depth.tab")
    if os.path.isfile(depth):
        lines = [l.split() for l in read_text(depth).splitlines() if l.strip()]
        if lines and len(lines[-1]) >= 4:
            out["atoms"] = float(lines[-1][3])
    return out
