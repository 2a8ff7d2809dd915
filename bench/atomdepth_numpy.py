#!/usr/bin/python3
"""atomdepth written the straightforward numpy way, all pairs: the benchmark's peer.

  atomdepth_numpy.py -dp FILE.pdb -o BASE

Takes the atoms as atomdepth does (ATOM and HETATM of the first model, one alternate
location per residue, no hydrogens or waters, residues made consecutive; radii by element),
shifts them by their mean, and for each of the three rotations of the 96 sphere points:
neighbours from the full atom-by-atom distance matrix (scipy's cdist, a block of rows at a
time), the accessibility of every point from its atom's neighbours, and the nearest
accessible point of every atom from the full atom-by-point distances (cdist, a block of
atoms at a time).  cdist sums the squares in its own order, so a last digit may differ where a value
lies within rounding of a .0005 boundary.  Writes the same
two depth files (reals with 3 decimals).  Time and memory grow with the square of the atoms.
"""
import math
import sys

import numpy as np
from scipy.spatial.distance import cdist

WATERS = {"HOH", "WAT", "H2O", "DOD", "TIP", "SOL"}
METALS = {"FE", "ZN", "MG", "MN", "CA", "NA", "K", "CU", "NI", "CO", "CD", "HG", "CL", "BR", "SE"}
RADII = {"C": 1.70, "N": 1.55, "O": 1.52, "S": 1.80, "SE": 1.90, "P": 1.80, "F": 1.47, "CL": 1.75,
         "BR": 1.85, "I": 1.98, "B": 1.92, "FE": 1.40, "ZN": 1.39, "MG": 1.73, "MN": 1.40, "CA": 1.40,
         "NA": 1.40, "K": 1.75, "CU": 1.40, "NI": 1.63, "CO": 1.40, "CD": 1.58, "HG": 1.55}
PROBE = 1.4
NPOINTS = 96
ROT = np.array([
    [[0.16013917463368754, -0.9854609266956963, -0.05676448452774652],
     [-0.9820382354466894, -0.16486835868202043, 0.09175689852130708],
     [-0.09978150564305076, 0.041051020225519944, -0.9941621924364504]],
    [[0.6095658746180606, 0.6605225518521088, -0.43833708831890705],
     [0.7906667225388117, -0.4666562500822665, 0.39633076858716265],
     [0.05723266873781985, -0.5881682605801978, -0.8067109264632601]],
    [[-0.1080319753621879, -0.8059985744717476, -0.5819754206569676],
     [-0.08348141435734678, -0.5759790490839545, 0.8131906224700582],
     [-0.9906361318648945, 0.1364347205291031, -0.005061746527132649]]])


def col(line, a, b):
    return line[a - 1:b].ljust(b - a + 1)


def coord(field):
    f = field.strip()
    if not f:
        return 0.0
    if "." not in f:
        return float(f) / 1000.0
    return float(f)


def element(line, het):
    e = col(line, 77, 78).strip().upper()
    if e:
        return e
    name = col(line, 13, 16)
    if het and name[0].isalpha() and name[:2].strip().upper() in METALS:
        return name[:2].strip().upper()
    n = name.strip().lstrip("0123456789")
    return n[0].upper() if n else "C"


def word(s):
    w = s.strip()
    for c in " \t,/":
        w = w.replace(c, "_")
    return w or "_"


def read_atoms(path):
    model, taken = 1, 0
    first_alt = {}
    order, residues, atoms = {}, [], []
    with open(path, errors="replace") as f:
        for line in f:
            line = line.rstrip("\r\n")
            rec = col(line, 1, 6)
            if rec == "MODEL ":
                model += 1
                continue
            if rec not in ("ATOM  ", "HETATM"):
                continue
            if taken == 0:
                taken = model
            if model != taken:
                continue
            xyz = [coord(col(line, 31 + 8 * k, 38 + 8 * k)) for k in range(3)]
            alt = col(line, 17, 17)
            chain = col(line, 22, 22)
            resid = ("_" if chain == " " else chain) + ":" + col(line, 23, 26).strip()
            if col(line, 27, 27) != " ":
                resid += col(line, 27, 27)
            if alt != " " and first_alt.setdefault(resid, alt) != alt:
                continue
            el = element(line, rec == "HETATM")
            if el in ("H", "D") or col(line, 18, 20).strip() in WATERS:
                continue
            key = (word(resid), word(col(line, 18, 20)))
            if key not in order:
                order[key] = len(residues)
                residues.append(key)
            atoms.append((order[key], word(col(line, 7, 11)), word(col(line, 13, 16)), xyz, RADII.get(el, 1.80)))
    atoms.sort(key=lambda a: a[0])  # stable: residues together, file order within
    return residues, atoms


def unit_points(n):
    t = np.arange(n) + 0.5
    z = 1 - 2 * t / n
    r = np.sqrt(1 - z * z)
    phi = math.pi * (1 + math.sqrt(5)) * t
    return np.stack([r * np.cos(phi), r * np.sin(phi), z], axis=1)


def sq(d):
    return (d[..., 0] * d[..., 0] + d[..., 1] * d[..., 1]) + d[..., 2] * d[..., 2]


def estimate(c, s, rot, block=256):
    n = len(c)
    u = unit_points(NPOINTS)
    q = np.stack([rot[k, 0] * u[:, 0] + rot[k, 1] * u[:, 1] + rot[k, 2] * u[:, 2] for k in range(3)], axis=1)
    pts = c[:, None, :] + s[:, None, None] * q[None, :, :]  # (n, 96, 3)
    acc = np.zeros((n, NPOINTS), dtype=bool)
    s2 = s * s
    for a in range(0, n, block):  # neighbours: all pairs, a block of rows at a time
        nb = cdist(c[a:a + block], c) < s[a:a + block, None] + s[None, :]
        for i in range(a, min(a + block, n)):
            nb[i - a, i] = False
            js = np.nonzero(nb[i - a])[0]
            inside = sq(pts[i][:, None, :] - c[js][None, :, :]) < s2[js][None, :]
            acc[i] = ~inside.any(axis=1)
    points = pts[acc]
    if len(points) == 0:
        sys.exit("no accessible point")
    best = np.empty(n)
    for a in range(0, n, 64):  # every atom against every accessible point
        best[a:a + 64] = cdist(c[a:a + 64], points).min(axis=1)
    return best - PROBE


def main(argv):
    args = dict(zip(argv[1::2], argv[2::2]))
    residues, atoms = read_atoms(args["-dp"])
    xyz = np.array([a[3] for a in atoms], dtype=float)
    c = xyz - np.array([sum(xyz[:, k].tolist()) for k in range(3)]) / len(xyz)  # sums in atom order, as atomdepth
    s = np.array([a[4] for a in atoms]) + PROBE
    est = np.stack([estimate(c, s, ROT[k]) for k in range(3)])
    depth = (est[0] + est[1] + est[2]) / 3
    sd = np.sqrt(((est[0] - depth) ** 2 + (est[1] - depth) ** 2 + (est[2] - depth) ** 2) / 3)
    base = args["-o"]
    with open(base + "-atom.depth", "x") as f:
        f.write("#atom residue atom_name depth depth_sd   (A; depth below the solvent-accessible surface, see README)\n")
        for a, d, e in zip(atoms, depth, sd):
            f.write("%s %s %s %.3f %.3f\n" % (a[1], residues[a[0]][0], a[2], d, e))
    with open(base + "-residue.depth", "x") as f:
        f.write("#residue resname depth_mean depth_sd   (A; mean and spread of the atom depths of the residue)\n")
        res = np.array([a[0] for a in atoms])
        start = 0
        while start < len(atoms):
            end = start
            while end < len(atoms) and res[end] == res[start]:
                end += 1
            v = depth[start:end].tolist()
            m = sum(v) / len(v)
            f.write("%s %s %.3f %.3f\n" % (residues[res[start]][0], residues[res[start]][1], m,
                                           math.sqrt(sum((x - m) * (x - m) for x in v) / len(v))))
            start = end


if __name__ == "__main__":
    main(sys.argv)
