"""Structure ids: what a folder's structure files are and which names a protein may have.

find_structures() is the one place that says which files of a folder are structures and what
their ids are; id_problem() holds the rule every id and output name obeys.
"""

from __future__ import annotations

import os
import re
from pathlib import Path

from . import ProtnnError
from .failures import Failure

# Suffixes that are not part of a structure's id (1hel.pdb.gz -> 1hel).
_ID_SUFFIXES = re.compile(r"(\.(pdb|ent|cif|mmcif|mmjson|json))?(\.gz)?$", re.IGNORECASE)
# The names of a folder's structure files.
_STRUCTURE_NAME = re.compile(r".+\.(pdb|ent|cif|mmcif|mmjson|json)(\.gz)?", re.IGNORECASE)
# A usable id: a file name, a wildcard value and a word of every table and list file.
MAX_ID = 100
_GOOD_ID = re.compile(r"[A-Za-z0-9][A-Za-z0-9._+-]*")


def structure_id(path: str | os.PathLike) -> str:
    """The id of a structure file: its name without .pdb/.ent/.cif/.mmjson/.json/.gz."""
    name = Path(path).name
    stem = _ID_SUFFIXES.sub("", name)
    return stem or name


def id_problem(sid: str, what: str = "id") -> str | None:
    """Why SID cannot be a protein's id (or WHAT it names: an output name, a file name of a
    model folder), or None when it can."""
    if len(sid) > MAX_ID:
        return f"{what} of {len(sid)} characters (at most {MAX_ID})"
    if not _GOOD_ID.fullmatch(sid):
        return (f"{what} {sid!r} does not start with a letter or digit or holds characters "
                f"other than A-Z a-z 0-9 . _ + -")
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
