#!/usr/bin/env python3
"""Benchmark data: protein databases for nntrain and synthetic PDB structures for pairdist.

  gen_bench.py db  DIR NPROT   database of NPROT proteins under DIR (list file DIR/bench.db)
  gen_bench.py pdb FILE NRES   PDB file with NRES residues (one CB, or CA for GLY, each)

Database: every protein directory holds "pairdist.in" (441 lines of 3 reals: 21 residue
types squared), "depthdist.in" (200 lines of 4 reals) and "ss3.target" (one line of 3 reals),
so nip = 1323 + 800 = 2123 and nop = 3.  Reals are written the way the generators write them:
17 significant digits, one leading blank, blank-separated ("5.0000000000000000E-01").  The
list file has the directory (quoted) on line 1, the input types on line 2, the target type on
line 3 and one identifier per line after that.

Structures: residues on a jittered cubic lattice (about 130 cubic Angstrom per residue, as in
a folded protein) inside a sphere, visited in a serpentine order so neighbours in the chain are
neighbours in space; lattice spacing 5.07 A and jitter of at most 1 A keep every two points at
least 3 A apart (no coincident points).  Each residue has N, CA, C, O lines and a CB line
(glycine none), so the reader sees the usual mix of lines it passes over.  Chains hold at most
9999 residues; atom serials wrap at 100000 so the first word stays "ATOM".

Everything is seeded: the same arguments give the same files byte for byte.
"""
import math
import os
import random
import sys

NPAIR = 441  # pairdist.in lines: 21 x 21 residue-type pairs
NDEPTH = 200  # depthdist.in lines: atom types
NOUT = 3

# residue names and rough frequencies in proteins (percent)
RESIDUES = [("ALA", 8.3), ("ARG", 5.5), ("ASN", 4.1), ("ASP", 5.5), ("CYS", 1.4), ("GLN", 3.9),
            ("GLU", 6.8), ("GLY", 7.1), ("HIS", 2.3), ("ILE", 5.9), ("LEU", 9.7), ("LYS", 5.8),
            ("MET", 2.4), ("PHE", 3.9), ("PRO", 4.7), ("SER", 6.6), ("THR", 5.3), ("TRP", 1.1),
            ("TYR", 2.9), ("VAL", 6.9)]


def real(v):
    return "%.16E" % v


def line(values):
    return " " + " ".join(real(v) for v in values) + "\n"


def protein_files(rng):
    """The three files of one protein: shaped like the generators' tables."""
    n = rng.randint(40, 600)  # residues of this protein
    t = n ** (1.0 / 3.0)
    pair = []
    for a in range(21):
        for b in range(21):
            if a == 20 or b == 20:  # the catch-all type: almost always empty
                pair.append(line((0.0, 0.0, 0.0)))
                continue
            cnt = rng.randint(0, 2 * n // 40 + 1)
            inv = cnt * rng.uniform(0.02, 0.08) / t
            cub = cnt * rng.uniform(0.0001, 0.002) / t
            pair.append(line((inv, cub, cnt / n)))
    depth = []
    natom = 8 * n
    for k in range(NDEPTH):
        if k >= 168:  # types the atom table does not have
            depth.append(line((0.0, 0.0, 0.0, 0.0)))
            continue
        cnt = rng.randint(0, natom // 80)
        depth.append(line((cnt * rng.uniform(0.1, 0.3), cnt * rng.uniform(0.0, 0.5),
                           cnt * rng.uniform(0.001, 0.02) / (natom ** (1.0 / 3.0)), cnt / natom)))
    target = line((rng.uniform(0.0, 0.6), rng.uniform(0.0, 0.4), rng.uniform(0.5, 0.99)))
    return "".join(pair), "".join(depth), target


def gen_db(outdir, nprot):
    rng = random.Random(20240 + nprot)
    pdir = os.path.join(os.path.abspath(outdir), "proteins")
    os.makedirs(pdir, exist_ok=True)
    ids = ["P%05d" % (i + 1) for i in range(nprot)]
    for pid in ids:
        d = os.path.join(pdir, pid)
        os.makedirs(d, exist_ok=True)
        pair, depth, target = protein_files(rng)
        for name, text in (("pairdist.in", pair), ("depthdist.in", depth), ("ss3.target", target)):
            with open(os.path.join(d, name), "w") as f:
                f.write(text)
    with open(os.path.join(outdir, "bench.db"), "w") as f:
        f.write('"%s"\n' % pdir)
        f.write("pairdist.in depthdist.in\n")
        f.write("ss3.target\n")
        for pid in ids:
            f.write(pid + "\n")


def lattice_points(nres, rng):
    """nres jittered lattice points inside a sphere, in serpentine order."""
    spacing = 130.0 ** (1.0 / 3.0)
    radius = (3.0 * 130.0 * nres / (4.0 * math.pi)) ** (1.0 / 3.0)
    m = int(radius / spacing) + 2
    while True:
        pts = []
        for i in range(-m, m + 1):
            js = range(-m, m + 1) if (i + m) % 2 == 0 else range(m, -m - 1, -1)
            for jn, j in enumerate(js):
                ks = range(-m, m + 1) if (jn + i + m) % 2 == 0 else range(m, -m - 1, -1)
                for k in ks:
                    if (i * i + j * j + k * k) * spacing * spacing <= radius * radius:
                        pts.append((i, j, k))
        if len(pts) >= nres:
            break
        radius += spacing / 2
        m += 1
    pts = pts[:nres]
    out = []
    for (i, j, k) in pts:
        out.append(tuple(c * spacing + rng.uniform(-1.0, 1.0) for c in (i, j, k)))
    return out


def gen_pdb(path, nres):
    rng = random.Random(7000 + nres)
    names = [r for r, _ in RESIDUES]
    weights = [w for _, w in RESIDUES]
    cbs = lattice_points(nres, rng)
    lines = ["HEADER    SYNTHETIC STRUCTURE FOR BENCHMARKS\n"]
    serial = 0
    chains = "ABCDEFGHIJKLMNOPQRSTUVWXYZ"

    def atom(name, res, chain, resno, x, y, z, elem):
        nonlocal serial
        serial = serial % 99999 + 1
        lines.append("ATOM  %5d  %-3s %3s %1s%4d    %8.3f%8.3f%8.3f  1.00 20.00           %s\n"
                     % (serial, name, res, chain, resno, x, y, z, elem))

    for r, (x, y, z) in enumerate(cbs):
        res = rng.choices(names, weights)[0]
        chain = chains[r // 9999]
        resno = r % 9999 + 1
        # backbone atoms about 1.5 A from the representative point, off in one direction
        ox, oy, oz = rng.uniform(-1, 1), rng.uniform(-1, 1), rng.uniform(-1, 1)
        atom("N", res, chain, resno, x + 1.2 * ox + 0.8, y + 1.2 * oy, z + 1.2 * oz, "N")
        if res == "GLY":
            atom("CA", res, chain, resno, x, y, z, "C")
        else:
            atom("CA", res, chain, resno, x + 1.2 * ox, y + 1.2 * oy + 0.6, z + 1.2 * oz, "C")
        atom("C", res, chain, resno, x + 1.2 * ox, y + 1.2 * oy, z + 1.2 * oz + 0.9, "C")
        atom("O", res, chain, resno, x + 1.2 * ox - 0.7, y + 1.2 * oy, z + 1.2 * oz + 1.5, "O")
        if res != "GLY":
            atom("CB", res, chain, resno, x, y, z, "C")
        if r % 9999 == 9998 or r == nres - 1:
            lines.append("TER\n")
    lines.append("END\n")
    with open(path, "w") as f:
        f.write("".join(lines))


def main(argv):
    if len(argv) != 4 or argv[1] not in ("db", "pdb"):
        sys.stderr.write(__doc__)
        return 2
    n = int(argv[3])
    if argv[1] == "db":
        gen_db(argv[2], n)
    else:
        gen_pdb(argv[2], n)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
