"""New files and directories that appear whole or not at all and never replace anything.

A file is written under a temporary name in the same directory and then hard-linked to its
final name (the link fails when the name exists, so nothing is ever replaced) before the
temporary name goes.  A directory is built under a temporary name and renamed into place once
complete, after a check that the name is free.  Temporary names keep at most 32 characters
of the final name, so a long final name (an id of 100 characters) never makes one too long.

read_text() and read_json() are the readers of every text and JSON file protnn reads.
"""

from __future__ import annotations

import json
import os
import shutil
import tempfile
from pathlib import Path
from typing import Callable

from . import ProtnnError

_TMP_KEEP = 32           # characters of a final name kept in its temporary name


def read_bytes(path: str | os.PathLike) -> bytes:
    """The bytes of the file PATH."""
    try:
        with open(path, "rb") as f:
            return f.read()
    except OSError as e:
        raise ProtnnError(f"{path}: cannot read: {e.strerror}") from None


def settings_object(d: object, fields, where: str, what: str) -> dict:
    """D, a JSON object (or config) of settings whose keys are among FIELDS; WHAT names them
    in the error line ("feature", "stack")."""
    if not isinstance(d, dict):
        raise ProtnnError(f"{where}: expected a JSON object of {what} settings")
    unknown = sorted(set(d) - set(fields))
    if unknown:
        raise ProtnnError(f"{where}: unknown {what} setting '{unknown[0]}'")
    return d


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


def read_text(path: str | os.PathLike) -> str:
    """The text of the file PATH (UTF-8, undecodable bytes replaced, a byte-order mark
    dropped)."""
    try:
        with open(path, encoding="utf-8", errors="replace") as f:
            return f.read().lstrip("\ufeff")
    except OSError as e:
        raise ProtnnError(f"{path}: cannot read: {e.strerror}") from None


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
