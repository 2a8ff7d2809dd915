"""The workflow's planning called directly: network seeds, batches, the nntrain words and the
stamps (batch keys, the programs list, the output folder's lock, a dry run's stamps)."""

import os
import subprocess
import sys

import pytest

from conftest import EXAMPLES, SOURCE, bin_dir
from protnn import ProtnnError
from protnn.plan import Stamps, batch_key_text, batches, networks, nntrain_words, run_lock
from protnn.versions import programs_list_text


def test_every_network_of_a_run_has_its_own_seed():
    nets = networks(5, 4, 21)
    assert len({n["seed"] for n in nets}) == 20 and len({n["file"] for n in nets}) == 20
    assert [(n["fold"], n["net"]) for n in nets[:5]] == [(1, 1), (1, 2), (1, 3), (1, 4), (2, 1)]
    assert min(n["seed"] for n in nets) == 21


def test_batches_are_the_same_in_every_process_and_adding_one_changes_one():
    ids = [f"s{n:04d}" for n in range(250)]
    plan = batches("train", ids, 100)
    assert len(plan) == 4 and sorted(i for b in plan.values() for i in b) == ids
    code = ("import sys; from protnn.plan import batches; "
            "print(batches('train', [f's{n:04d}' for n in range(250)], 100))")
    for seed in ("1", "2"):                       # Python's own hash() differs between these
        env = dict(os.environ, PYTHONHASHSEED=seed, PYTHONPATH=str(SOURCE / "python"))
        out = subprocess.run([sys.executable, "-c", code], env=env, capture_output=True,
                             text=True, check=True).stdout
        assert out.strip() == str(plan)
    more = batches("train", ids + ["new1"], 100)
    assert sum(more[b] != plan.get(b) for b in more) == 1


@pytest.mark.parametrize("text,message", [
    ("-m 5 -l x.db", "-l is set by the workflow itself"),
    ("-m 5; rm -rf /", "'5;' is neither a switch nor a number"),
    ("-m '5", "No closing quotation"),
])
def test_nntrain_words_refused(text, message):
    with pytest.raises(ProtnnError, match=message):
        nntrain_words(text)


def test_nntrain_words_are_split_like_a_shell_line():
    assert nntrain_words("-h1 5 -h2 5  -u 0.01 -m 2000") == ["-h1", "5", "-h2", "5", "-u",
                                                             "0.01", "-m", "2000"]


def test_a_batch_key_changes_with_the_content_under_the_same_size_and_time(tmp_path):
    f = tmp_path / "a.pdb"
    f.write_bytes((EXAMPLES / "structures" / "1vii.pdb").read_bytes())
    st = f.stat()
    key = batch_key_text(["a"], {"a": str(f)})
    data = bytearray(f.read_bytes())
    i = data.index(b"ATOM") + 31                       # a digit of the first x coordinate
    data[i] = ord("1") if data[i] != ord("1") else ord("2")
    f.write_bytes(bytes(data))                          # cp -p, touch -r: size and time kept
    os.utime(f, ns=(st.st_atime_ns, st.st_mtime_ns))
    assert f.stat().st_size == st.st_size and f.stat().st_mtime_ns == st.st_mtime_ns
    assert batch_key_text(["a"], {"a": str(f)}) != key


def test_a_program_replaced_under_the_same_version_line_is_another_program(tmp_path):
    b = tmp_path / "bin"
    b.mkdir()
    for p in ("pairdist", "depthdist", "atomdepth", "nntrain"):
        os.symlink(bin_dir() / p, b / p)
    before = programs_list_text(str(b))
    (b / "nntrain").unlink()                            # a wrapper: the same version line
    (b / "nntrain").write_text(f'#!/bin/sh\nexec "{bin_dir() / "nntrain"}" "$@"\n')
    (b / "nntrain").chmod(0o755)
    after = programs_list_text(str(b))
    assert [l.split("\t")[:2] for l in after.splitlines()] == \
        [l.split("\t")[:2] for l in before.splitlines()]
    assert after != before


def test_one_run_holds_the_output_folder_and_a_dry_run_writes_nothing_there(tmp_path):
    out = tmp_path / "out"
    held = run_lock(str(out))
    with pytest.raises(ProtnnError, match=r"another run of the workflow is using this output "
                                          rf"folder \(process {os.getpid()}\)"):
        run_lock(str(out))
    (out / "s").mkdir()
    (out / "s" / "same").write_text("a\n")
    (out / "s" / "other").write_text("a\n")
    before = sorted((p.name, p.stat().st_mtime_ns) for p in (out / "s").iterdir())
    dry = Stamps(dry=True)
    assert dry.write(str(out / "s" / "same"), "a\n") == str(out / "s" / "same")
    shadow = dry.write(str(out / "s" / "other"), "b\n")
    new = dry.write(str(out / "s" / "new"), "c\n")
    assert open(shadow).read() == "b\n" and open(new).read() == "c\n"
    assert sorted((p.name, p.stat().st_mtime_ns) for p in (out / "s").iterdir()) == before
    dry.close()
    assert not os.path.exists(shadow)
    held.close()                                        # the run ends: the next one may start
    run_lock(str(out)).close()
