"""protnn groups on the example structures: MMseqs2 clusters of the chains, joined per structure."""

import csv
import shutil

import pytest

from conftest import EXAMPLES, protnn

pytestmark = pytest.mark.skipif(shutil.which("mmseqs") is None, reason="mmseqs2 not installed")

# Families of the manifest that are not one protein: the zinc fingers are a fold of unrelated
# sequences, and 6c83_C is another protein than chain A of the same entry.
NOT_BY_SEQUENCE = {"zinc_finger"}
OTHER_PROTEIN = {"6c83_C"}
ION_ONLY = ("HETATM    1 ZN    ZN A 101      10.000  10.000  10.000  1.00 20.00          ZN\n"
            "END\n")


def manifest():
    with open(EXAMPLES / "manifest.tsv", newline="") as f:
        return list(csv.DictReader(f, delimiter="\t"))


@pytest.fixture(scope="module", params=[[], ["--min-seq-id", "0.95", "-j", "2"]],
                ids=["defaults", "identity95"])
def grouped(request, tmp_path_factory):
    d = tmp_path_factory.mktemp("groups")
    (d / "extra").mkdir()
    (d / "extra" / "zn.pdb").write_text(ION_ONLY)
    r = protnn("groups", *request.param, "-o", d / "groups.tsv", "--failed", d / "failed.tsv",
               EXAMPLES / "structures", d / "extra")
    rows = [l.split("\t") for l in (d / "groups.tsv").read_text().splitlines()]
    return request.param, r, rows, d


def test_entries_chains_and_models_share_a_group_and_families_by_sequence_are_groups(grouped):
    args, r, rows, d = grouped
    assert r.returncode == 3, r.stderr
    assert r.stderr.startswith("zn: groups: ") and "no protein chain" in r.stderr
    failed = (d / "failed.tsv").read_text().splitlines()      # what the workflow reads
    assert failed[0] == "id\tstep\tmessage" and len(failed) == 2 and \
        failed[1].startswith("zn\tgroups\t") and "no protein chain" in failed[1]
    assert rows[0] == ["id", "group"]
    group = dict(rows[1:])
    samples = manifest()
    assert sorted(group) == sorted(s["sample"] for s in samples)
    members: dict[str, list[str]] = {}
    for i, g in group.items():
        members.setdefault(g, []).append(i)
    assert all(g == min(m) for g, m in members.items())      # named by its smallest id

    entry = {s["pdb_id"]: s["sample"] for s in samples if s["selection"] == "whole"}
    for s in samples:             # chain:X and model:N samples beside their whole entry
        if s["pdb_id"] in entry:
            assert group[s["sample"]] == group[entry[s["pdb_id"]]], s["sample"]
    assert group["2jo4_m1"] == group["2jo4_m6"] == group["2jo4"]

    family = {s["sample"]: s["group"] for s in samples}
    for s in samples:
        f, i = s["group"], s["sample"]
        same = {x for x in group if group[x] == group[i]}
        if i in OTHER_PROTEIN:
            assert same == {i}
        elif f not in NOT_BY_SEQUENCE and not args:
            assert same == {x for x in family if family[x] == f} - OTHER_PROTEIN, i
        else:                     # a group never spans two families
            assert {family[x] for x in same} == {f}, i
    # 3o21 (GluA3) and 3hsy (GluA2) are homologues well below 95% identity
    assert (group["3o21"] == group["3hsy"]) == (not args)
    assert group["3o21_A"] == group["3o21"]


def test_short_peptides_are_grouped_by_identity_without_mmseqs(tmp_path):
    # MMseqs2 stops when no chain is long enough for its k-mers (8 residues here); peptides
    # under 20 residues are kept from it and join identical peptides only.
    lines = (EXAMPLES / "structures" / "1hel.pdb").read_text().splitlines()
    atoms = [l for l in lines if l.startswith("ATOM")]
    first = [l for l in atoms if int(l[22:26]) <= 8]
    other = [l for l in atoms if 30 < int(l[22:26]) <= 38]
    for name, rows in (("pa", first), ("pb", first), ("pc", other)):
        (tmp_path / f"{name}.pdb").write_text("\n".join(rows + ["END"]) + "\n")
    r = protnn("groups", "-o", tmp_path / "g.tsv", "--failed", tmp_path / "f.tsv", tmp_path)
    assert r.returncode == 0, r.stderr
    assert (tmp_path / "g.tsv").read_text() == "id\tgroup\npa\tpa\npb\tpa\npc\tpc\n"
    assert (tmp_path / "f.tsv").read_text() == "id\tstep\tmessage\n"
