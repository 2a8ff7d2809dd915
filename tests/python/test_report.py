"""protnn ridge and protnn report on a small database made by protnn db: output `a` is linear in
the inputs, output `b` is noise."""

import json
import re

import numpy as np
import pytest

from conftest import numbers_database, protnn
from protnn.ridge import PENALTIES, ridge

N, P = 60, 6


@pytest.fixture(scope="module")
def run(tmp_path_factory):
    d = tmp_path_factory.mktemp("ridge")
    rng = np.random.default_rng(7)
    X = rng.normal(size=(N, P)) * [1, 10, 0.1, 1, 1, 1] + [0, 5, 0, 0, 0, 0]
    a = X @ [0.5, 0.05, 3.0, 0, 0, -1.0] + 0.01 * rng.normal(size=N)
    b = rng.normal(size=N)
    # two lines, a constant input last (left out by the standardisation)
    numbers_database(d, [" ".join(f"{v:.17g}" for v in x[:3]) + "\n" +
                         " ".join(f"{v:.17g}" for v in x[3:]) + " 2.0\n" for x in X],
                     {"a": a, "b": b}, 3)
    r = protnn("ridge", "--db", d / "dbo", "-o", d / "ridge.tsv")
    assert r.returncode == 0, r.stderr
    return d, X, a, b, r.stderr


def read(path):
    lines = path.read_text().splitlines()
    return lines[0].split("\t"), [l.split("\t") for l in lines[1:]]


def test_ridge_is_the_closed_form_on_each_folds_training_proteins(run):
    d, X, a, b, stderr = run
    head, rows = read(d / "ridge.tsv")
    assert head == ["id", "output", "mean", "sd", "target", "role"]
    assert all(r[3] == "" and r[5] == "cv" for r in rows)
    pred = {(r[0], r[1]): float(r[2]) for r in rows}
    assert len(pred) == 2 * N
    info = json.loads((d / "dbo" / "folds.json").read_text())
    for k, fold in enumerate(info["folds"], 1):
        alpha = dict(re.findall(r"(\w+) ([0-9.e+-]+)",
                                re.search(rf"fold {k}: .*penalty[^:]*\) (.*)", stderr)[1]))
        train = [int(i[1:]) for i in (d / "dbo" / fold["list"]).read_text().splitlines()[3:]]
        held = [int(i[1:]) for i in (d / "dbo" / fold["ids"]).read_text().split()]
        mu, sd = X[train].mean(axis=0), X[train].std(axis=0)
        Z = (X[train] - mu) / sd
        lam_unit = np.trace(Z.T @ Z) / min(len(train) - 1, P)
        for name, y in (("a", a), ("b", b)):
            assert float(alpha[name]) in PENALTIES
            lam = float(alpha[name]) * lam_unit
            w = np.linalg.solve(Z.T @ Z + lam * np.eye(P), Z.T @ (y[train] - y[train].mean()))
            Zh = (np.clip(X[held], X[train].min(axis=0), X[train].max(axis=0)) - mu) / sd
            want = y[train].mean() + Zh @ w
            got = [pred[(f"p{i:02d}", name)] for i in held]
            assert got == pytest.approx(want, rel=1e-5, abs=1e-6)
        assert float(alpha["a"]) <= 0.01 < float(alpha["b"])   # signal: little shrinkage
    # the dual form (proteins x proteins), used when there are fewer proteins than inputs
    ridge(str(d / "dbo"), str(d / "dual.tsv"), dual=True)
    dual = {(r[0], r[1]): float(r[2]) for r in read(d / "dual.tsv")[1]}
    assert [dual[k] for k in pred] == pytest.approx(list(pred.values()), rel=1e-5, abs=1e-6)
    # threads share the sums and fits without changing a digit
    ridge(str(d / "dbo"), str(d / "threads.tsv"), jobs=2)
    assert (d / "threads.tsv").read_text() == (d / "ridge.tsv").read_text()

    # 2 folds: the inner cross-validation cuts the other fold into random parts
    r = protnn("db", "--features", d / "feat", "--targets", d / "t.csv", "--out", d / "dbo2",
               "--folds", "2", "--inputs", "x.tab")
    assert r.returncode == 0, r.stderr
    r = protnn("ridge", "--db", d / "dbo2", "-o", d / "ridge2.tsv", "--seed", "4")
    assert r.returncode == 0, r.stderr
    two = {(x[0], x[1]): float(x[2]) for x in read(d / "ridge2.tsv")[1]}
    assert sorted(two) == sorted(pred)
    err = [abs(two[(f"p{n:02d}", "a")] - a[n]) for n in range(N)]
    assert np.mean(err) < 0.25 * np.mean(np.abs(a - a.mean()))      # trivial: 1


def test_report_compares_with_ridge_and_records_the_run(run):
    d, X, a, b, _ = run
    _, rows = read(d / "ridge.tsv")
    rng = np.random.default_rng(3)
    # ensemble: a close to its target (beats both), b the target shuffled (beats neither)
    lines = ["id\toutput\tmean\tsd\ttarget\trole"]
    for r in rows:
        t = float(r[4])
        mean = t + 0.001 * rng.normal() if r[1] == "a" else float(rng.normal())
        lines.append(f"{r[0]}\t{r[1]}\t{mean:.6g}\t0.01\t{r[4]}\tcv")
    (d / "pred.tsv").write_text("\n".join(lines) + "\n")
    (d / "failed.tsv").write_text("id\tstep\tmessage\nq1\tprep\tno atoms read\n"
                                  "q2\tgroups\tno protein chain\n")
    (d / "run.json").write_text(json.dumps({
        "config": {"folds": 3, "networks": 2, "seed": 11, "groups": "none",
                   "nntrain": "-h1 5 -h2 5"},
        "nntrain_words": ["-h1", "5", "-h2", "5"], "structures": 64,
        "networks": [{"file": "fold1-net1.wei", "fold": 1, "net": 1, "seed": 11}],
        "groups": {"source": "none"}, "versions": {"mmseqs2": "14-7e284", "gemmi": "0.5.7"}}))
    (d / "groups.tsv").write_text("id\tgroup\n" + "".join(f"p{n:02d}\tg{n // 2}\n"
                                                          for n in range(N)))
    r = protnn("report", "--predictions", d / "pred.tsv", "--db", d / "dbo", "--ridge",
               d / "ridge.tsv", "--failed", d / "failed.tsv", "--run", d / "run.json",
               "--groups", d / "groups.tsv", "-o", d / "rep")
    assert r.returncode == 0, r.stderr
    out = r.stdout.splitlines()
    assert out[-1] == f"2 of 64 structures failed ({d / 'failed.tsv'})"
    assert out[-2].endswith(": a; not for b.") and "ridge" in out[-2]
    mae_ridge_a = np.mean([abs(float(x[2]) - float(x[4])) for x in rows if x[1] == "a"])
    assert out[0].split()[:3] == ["output", "n", "MAE"] and "MAE ridge" in out[0]
    line_a = out[1].split()
    assert line_a[0] == "a" and f"{mae_ridge_a:.4f}" in line_a
    assert "groups: none" in r.stderr and "optimistic" in r.stderr
    page = (d / "rep" / "index.html").read_text()
    for text in ("Settings of the run", "<td>14-7e284</td>", "<code>-h1 5 -h2 5</code>",
                 "<td>q2</td><td>groups</td>", "proteins.tsv", "<td>ridge</td>",
                 "30 groups of 60 proteins"):
        assert text in page
    assert "r trivial" not in page
    head, prot = read(d / "rep" / "proteins.tsv")
    assert head[:4] == ["id", "role", "fold", "group"] and len(prot) == N
    info = json.loads((d / "dbo" / "folds.json").read_text())
    fold_of = {i: str(f["fold"]) for f in info["folds"]
               for i in (d / "dbo" / f["ids"]).read_text().split()}
    assert all(p[2] == fold_of[p[0]] and p[3] == f"g{int(p[0][1:]) // 2}" for p in prot)

    # predictions only (no targets, no logs, no db): their spread, no errors
    (d / "new.tsv").write_text("id\toutput\tmean\tsd\ttarget\trole\n" + "".join(
        f"p{n:02d}\ta\t{n / 10}\t0.{n % 7}\t\tnew\n" for n in range(N)))
    # with a run record whose values are markup: shown as text
    mark = "<script>x</script>"
    (d / "marked.json").write_text(json.dumps({
        "config": {mark: mark}, "nntrain_words": [mark], "features": {mark: mark},
        "networks": [{"file": mark, "fold": mark, "net": mark, "seed": mark}],
        "groups": {"source": "sequence", "min_seq_id": mark, "coverage": mark},
        "versions": {mark: mark}}))
    r = protnn("report", "--predictions", d / "new.tsv", "--run", d / "marked.json",
               "-o", d / "rep-new")
    assert r.returncode == 0, r.stderr
    assert r.stdout.splitlines()[1].split()[:3] == ["a", str(N), f"{np.mean(range(N)) / 10:.4f}"]
    page = (d / "rep-new" / "index.html").read_text()
    assert "<script" not in page and "least identity &lt;script&gt;x&lt;/script&gt;" in page
    assert "Errors per output" not in page and "Learning curves" not in page
    assert (d / "rep-new" / "predictions.png").stat().st_size > 10000
    # with the record of a run that only predicts: the model's networks, no flag on errors
    r = protnn("report", "--predictions", d / "new.tsv", "--run", d / "run.json",
               "-o", d / "rep-run")
    assert r.returncode == 0 and "groups: none" not in r.stderr, r.stderr
    assert f"{N} proteins predicted (0 with known targets), 1 network." in \
        (d / "rep-run" / "index.html").read_text()


def test_report_flags_the_structures_mostly_of_the_catch_all_type(tmp_path):
    # 1hel with 70 of its non-glycine residues under names of another naming (UHBD's LY+,
    # AR+, ...), beside 1hel itself: the programs put them in the catch-all type, and the
    # report names that structure alone, with the shares the types files give.
    import gemmi
    from conftest import EXAMPLES, bin_dir
    from protnn.features import FeatureSettings, catch_all_shares, compute_batch
    st = gemmi.read_structure(str(EXAMPLES / "structures" / "1hel.pdb"))
    st.remove_hydrogens()
    st.remove_waters()
    renamed = [r for r in st[0][0] if r.name != "GLY"][:70]
    for k, r in enumerate(renamed):
        r.name = ("LY+", "AR+", "ASC", "MEN")[k % 4]
    st.write_pdb(str(tmp_path / "uhbd.pdb"))
    fails = compute_batch({"uhbd": str(tmp_path / "uhbd.pdb"),
                           "1hel": str(EXAMPLES / "structures" / "1hel.pdb")},
                          str(tmp_path / "feat"), FeatureSettings(), str(bin_dir()))
    assert not fails
    types = {tuple(l.split()[:2]) for l in
             (bin_dir().parent / "share" / "protnn" / "aa_atom.types").read_text().splitlines()}
    atoms = [(r.name, a.name) for r in st[0][0] for a in r]
    points = sum(1 for r in st[0][0] if r.find_atom("CB", "*") or r.name == "GLY")
    shares = {"residues": len(renamed) / points,
              "atoms": sum(a not in types for a in atoms) / len(atoms)}
    assert catch_all_shares(str(tmp_path / "feat" / "uhbd")) == pytest.approx(shares, rel=1e-9)
    assert catch_all_shares(str(tmp_path / "feat" / "1hel"))["residues"] == 0
    want = {k: f"{v:.0%}" for k, v in shares.items()}
    (tmp_path / "new.tsv").write_text("id\toutput\tmean\tsd\ttarget\trole\n"
                                      "uhbd\ta\t0.5\t0.1\t\tnew\n1hel\ta\t0.4\t0.1\t\tnew\n")
    r = protnn("report", "--predictions", tmp_path / "new.tsv", "--features",
               tmp_path / "feat", "-o", tmp_path / "rep")
    assert r.returncode == 0, r.stderr
    flag = (f"1 of 2 structures have most of their residues or atoms in the catch-all type "
            f"(names the types files do not list: another naming, or not a protein), so their "
            f"inputs say little of them: uhbd (residues {want['residues']}, atoms "
            f"{want['atoms']}).")
    assert flag in r.stderr and flag in (tmp_path / "rep" / "index.html").read_text()
