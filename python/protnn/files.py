"""New files and directories that appear whole or not at all and never replace anything.

A file is written under a temporary name in the same directory and then hard-linked to its
final name (the link fails when the name exists, so nothing is ever replaced) before the
temporary name goes.  A directory is built under a temporary name and renamed into place once
complete, after a check that the name is free.  Temporary names keep at most 32 characters
of the final name, so a long final name (an id of 100 characters) never makes one too long.

find_structures() is the one place that says which files of a folder are structures and what
their ids are; read_json() the one reader of protnn's JSON files.
"""

from __future__ import annotations

import json
import os
import re
import shutil
import tempfile
from pathlib import Path
from typing import TYPE_CHECKING, Callable

from . import ProtnnError

if TYPE_CHECKING:
    from .failures import Failure     # failures imports this module: no import at run time

# Suffixes that are not part of a structure's id (1hel.pdb.gz -> 1hel).
_ID_SUFFIXES = re.compile(r"(\.(pdb|ent|cif|mmcif|mmjson|json))?(\.gz)?$", re.IGNORECASE)
# The names of a folder's structure files.
_STRUCTURE_NAME = re.compile(r".+\.(pdb|ent|cif|mmcif|mmjson|json)(\.gz)?", re.IGNORECASE)
# A usable id: a file name, a wildcard value and a word of every table and list file.
MAX_ID = 100
_GOOD_ID = re.compile(r"[A-Za-z0-9][A-Za-z0-9._+-]*")
_TMP_KEEP = 32           # characters of a final name kept in its temporary name


def structure_id(path: str | os.PathLike) -> str:
    """The id of a structure file: its name without .pdb/.ent/.cif/.mmjson/.json/.gz."""
    name = Path(path).name
    stem = _ID_SUFFIXES.sub("", name)
    return stem or name


def id_problem(sid: str) -> str | None:
    """Why SID cannot be a protein's id, or None when it can."""
    if len(sid) > MAX_ID:
        return f"id of {len(sid)} characters (at most {MAX_ID})"
    if not _GOOD_ID.fullmatch(sid):
        return (f"id '{sid}' does not start with a letter or digit or holds characters other "
                f"than A-Z a-z 0-9 . _ + -")
    return None


def find_structures(paths: list[str]) -> tuple[dict[str, str], list[Failure]]:
    """The structure files of PATHS (files and folders): {id: path} sorted by id, and the
    files refused for their id (Failure rows, step "id", named by file name).

    A folder gives its files named *.pdb, *.ent, *.cif, *.mmcif, *.json or *.mmjson, each
    optionally .gz (any case), hidden files and sub-folders left aside; a file named
    explicitly is taken whatever its name.  Refused: an id that is longer than 100
    characters, does not start with a letter or digit or holds other characters than
    [A-Za-z0-9._+-], and every file of an id that two files give.  A path that does not
    exist stops with ProtnnError."""
    from .failures import Failure
    files: list[str] = []
    for p in paths:
        p = os.fspath(p)
        if os.path.isdir(p):
            try:
                names = sorted(os.listdir(p))
            except OSError as e:
                raise ProtnnError(f"{p}: cannot read the folder: {e.strerror}") from None
            files += [os.path.join(p, n) for n in names if not n.startswith(".") and
                      _STRUCTURE_NAME.fullmatch(n) and os.path.isfile(os.path.join(p, n))]
        elif os.path.isfile(p):
            files.append(p)
        else:
            raise ProtnnError(f"{p}: cannot read: no such file or folder")
    by_id: dict[str, list[str]] = {}
    seen: set[str] = set()
    failures: list[Failure] = []
    for f in files:
        # One file named twice (itself and by its folder) counts once; two names of one file
        # (a link) are two structures.
        key = os.path.join(os.path.realpath(os.path.dirname(f) or "."), os.path.basename(f))
        if key in seen:
            continue
        seen.add(key)
        sid = structure_id(f)
        problem = id_problem(sid)
        if problem:
            failures.append(Failure(os.path.basename(f), "id", f"{f}: {problem}"))
        else:
            by_id.setdefault(sid, []).append(f)
    found: dict[str, str] = {}
    for sid in sorted(by_id):
        fs = by_id[sid]
        if len(fs) == 1:
            found[sid] = fs[0]
            continue
        for f in fs:
            others = " ".join(o for o in fs if o != f)
            failures.append(Failure(os.path.basename(f), "id",
                                    f"{f}: id {sid} is also the id of {others}"))
    return found, failures


def read_json(path: str | os.PathLike, what: str) -> dict:
    """The JSON object in the file PATH; WHAT names the kind of file in the error line
    ("a folds file of protnn db")."""
    try:
        with open(path, encoding="utf-8") as f:
            d = json.load(f)
    except OSError as e:
        raise ProtnnError(f"{path}: cannot read: {e.strerror}") from None
    except ValueError as e:         # bad JSON, bad UTF-8
        raise ProtnnError(f"{path}: not {what} ({e})") from None
    if not isinstance(d, dict):
        raise ProtnnError(f"{path}: not {what} (a JSON {type(d).__name__}, not an object)")
    return d


def _tmp_prefix(path: str) -> str:
    return "." + os.path.basename(path)[:_TMP_KEEP] + "."


def refuse_existing(path: str | os.PathLike) -> None:
    """Stops when anything (a file, a directory, a dangling link) is at PATH."""
    if os.path.lexists(path):
        raise ProtnnError(f"{path}: exists already; not replaced")


def write_new(path: str | os.PathLike, write: Callable[[str], None]) -> None:
    """Has WRITE(temporary path) make the file, then gives it the name PATH exclusively."""
    path = os.fspath(path)
    refuse_existing(path)
    directory = os.path.dirname(path) or "."
    try:
        fd, tmp = tempfile.mkstemp(prefix=_tmp_prefix(path), suffix=".tmp",
                                   dir=directory)
    except OSError as e:
        raise ProtnnError(f"{path}: cannot create: {e.strerror}") from None
    os.close(fd)
    mask = os.umask(0)
    os.umask(mask)
    os.chmod(tmp, 0o666 & ~mask)               # mkstemp makes it private; a result is not
    try:
        try:
            write(tmp)
        except OSError as e:
            raise ProtnnError(f"{path}: cannot write: {e.strerror}") from None
        try:
            os.link(tmp, path)
        except FileExistsError:
            raise ProtnnError(f"{path}: exists already; not replaced") from None
    finally:
        os.unlink(tmp)


def write_new_text(path: str | os.PathLike, text: str) -> None:
    """Writes TEXT as the new file PATH (exclusive, atomic)."""
    def write(tmp: str) -> None:
        with open(tmp, "w", encoding="utf-8", newline="\n") as f:
            f.write(text)
    write_new(path, write)


class NewDirectory:
    """A directory built under a temporary name and renamed to its final name on success.

    with NewDirectory(out) as tmp: ...fill tmp...   (removed again when anything fails)
    """

    def __init__(self, path: str | os.PathLike):
        self.path = os.path.abspath(os.fspath(path))
        self.tmp = ""

    def __enter__(self) -> Path:
        refuse_existing(self.path)
        parent = os.path.dirname(self.path)
        if not os.path.isdir(parent):
            raise ProtnnError(f"{parent}: no such directory")
        self.tmp = tempfile.mkdtemp(prefix=_tmp_prefix(self.path),
                                    suffix=".tmp", dir=parent)
        mask = os.umask(0)
        os.umask(mask)
        os.chmod(self.tmp, 0o777 & ~mask)      # mkdtemp makes it private; a result is not
        return Path(self.tmp)

    def __exit__(self, kind, value, trace) -> None:
        if kind is None:
            # Choices of ours: the check just before the rename leaves only a tiny window in
            # which another process could create an empty directory of that name.
            try:
                refuse_existing(self.path)
                os.rename(self.tmp, self.path)
                return
            except BaseException:
                shutil.rmtree(self.tmp, ignore_errors=True)
                raise
        shutil.rmtree(self.tmp, ignore_errors=True)
