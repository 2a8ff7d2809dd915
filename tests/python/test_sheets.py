"""The targets table as db and collect use it: groups from a sheet, folds balanced by proteins,
scaling refused when it cannot be exact, and prediction files that belong to another database
refused by collect."""

import json

import pytest

from conftest import EXAMPLES, STRUCTURES, protnn

GROUPS = {}       # id -> family, from the manifest
for line in (EXAMPLES / "manifest.tsv").read_text().splitlines()[1:]:
    GROUPS[line.split("\t")[0]] = line.split("\t")[2]


@pytest.fixture(scope="module")
def run(tmp_path_factory):
    """The shipped targets without a group column, and feature files that db only links."""
    d = tmp_path_factory.mktemp("table")
    for s in STRUCTURES:
        (d / "feat" / s).mkdir(parents=True)
        for name in ("pairdist.tab", "depth.tab"):
            (d / "feat" / s / name).write_text(f" {len(s)}\n")
    r = protnn("targets", "--from-dir", EXAMPLES / "targets", "-o", d / "targets.csv")
    assert r.returncode == 0, r.stderr
    lines = (d / "targets.csv").read_text().splitlines()
    (d / "helix.csv").write_text("".join(",".join(l.split(",")[:2]) + "\n" for l in lines))
    return d


def db(run, out, *args, targets="targets.csv"):
    r = protnn("db", "--features", run / "feat", "--targets", run / targets, "--out", out,
               *map(str, args))
    assert r.returncode == 0, r.stderr
    return out


def test_folds_hold_whole_groups_of_the_sheet_and_equal_numbers_of_proteins(run, tmp_path):
    # 40 proteins in 16 families of 1 to 7: 5 folds of 8 proteins each, every family in one
    # fold (the table itself has no group column).
    dbo = db(run, tmp_path / "dbo", "--groups", EXAMPLES / "manifest.tsv", "--seed", 3)
    held = [(dbo / f"fold{k}.ids").read_text().split() for k in range(1, 6)]
    assert [len(h) for h in held] == [8] * 5
    for h in held:
        assert not {GROUPS[i] for i in h} & {GROUPS[i] for g in held if g is not h for i in g}
    plain = db(run, tmp_path / "plain", "--seed", 3)      # without: one group per protein
    assert [len((plain / f"fold{k}.ids").read_text().split()) for k in range(1, 6)] == [8] * 5
    assert held != [(plain / f"fold{k}.ids").read_text().split() for k in range(1, 6)]


def test_every_output_is_unscaled_with_its_own_map(run, tmp_path):
    dbo = db(run, tmp_path / "dbo")
    maps = json.loads((dbo / "scaling.json").read_text())["maps"]
    (tmp_path / "p.out").write_text("1hel   0.2000      0.1000E-01         NaN\n"
                                    "1hel  -0.5000      0.3000E-01         NaN\n"
                                    "1hel   0.9000      0.2000             NaN\n")
    r = protnn("collect", tmp_path / "p.out", "--db", dbo, "-o", tmp_path / "p.tsv")
    assert r.returncode == 0, r.stderr
    rows = [l.split("\t") for l in (tmp_path / "p.tsv").read_text().splitlines()[1:]]
    for (mean, sd), row in zip([(0.2, 0.01), (-0.5, 0.03), (0.9, 0.2)], rows):
        m = maps[row[1]]
        assert (float(row[2]), float(row[3])) == \
            (pytest.approx((mean - m["b"]) / m["a"], rel=1e-5), pytest.approx(sd / m["a"], rel=1e-5))
    assert len({m["a"] for m in maps.values()}) == 3


@pytest.mark.parametrize("targets,lines,message", [
    # three outputs per protein for a database of one output
    ("helix.csv", ["1hel 0.1 0.2", "1hel 0.3 0.4", "1hel 0.5 0.6", "1dpx 0.1 0.2"],
     "p.out:2: protein 1hel has more than 1 line(s)"),
    ("targets.csv", ["1hel 0.1 0.2", "1hel 0.3 0.4"],
     "p.out: last protein 1hel has 2 lines, expected 3"),
    ("helix.csv", ["1hel 0.1 0.2", "1dpx 0.1 0.2", "1hel 0.3 0.4"],
     "p.out:3: protein 1hel listed again (first on line 1)"),
    ("helix.csv", ["1hel 0.1 0.2", "9zzz 0.1 0.2"],
     "p.out: protein 9zzz is not in the database"),
])
def test_collect_refuses_predictions_of_another_database(run, tmp_path, targets, lines, message):
    dbo = db(run, tmp_path / "dbo", targets=targets)
    (tmp_path / "p.out").write_text("".join(l + "\n" for l in lines))
    r = protnn("collect", tmp_path / "p.out", "--db", dbo, "-o", tmp_path / "p.tsv")
    assert r.returncode == 1 and message in r.stderr and r.stderr.count("\n") == 1
    assert not (tmp_path / "p.tsv").exists()


@pytest.mark.parametrize("values,message", [
    (("0", "1e-320"), "the targets from 0.0 to 1e-320 cannot be scaled"),
    (("1e17", "100000000000000016"),
     "the targets from 1e+17 to 1.0000000000000002e+17 cannot be scaled into [-0.9, 0.9] exactly"),
])
def test_a_range_that_cannot_be_scaled_exactly_is_refused(run, tmp_path, values, message):
    lines = (run / "helix.csv").read_text().splitlines()
    body = [f"{l.split(',')[0]},{values[k % 2]}" for k, l in enumerate(lines[1:])]
    (tmp_path / "t.csv").write_text("\n".join(lines[:1] + body) + "\n")
    r = protnn("db", "--features", run / "feat", "--targets", tmp_path / "t.csv", "--out",
               tmp_path / "dbo")
    assert r.returncode == 1 and f"t.csv: helix: {message}" in r.stderr
    assert not (tmp_path / "dbo").exists()
