#!/usr/bin/env python3
"""Writes the seed corpora of the fuzz targets from the example proteins and small hand-made
files (run from anywhere; rewrites corpus/fuzz_{database,weights,pdb,depth}).  A multi-file
input is its parts joined by lines "===" (fuzz_common.hpp)."""
import gzip
import os
import random

here = os.path.dirname(os.path.abspath(__file__))
root = os.path.dirname(os.path.dirname(here))
E = os.path.join(root, 'examples', 'proteins')
random.seed(5)


def join(parts):
    out = b''
    for i, p in enumerate(parts):
        if isinstance(p, str):
            p = p.encode()
        if i > 0:
            out += b'===\n'
        if i < len(parts) - 1 and not p.endswith(b'\n'):
            p += b'\n'  # the separator line needs a line end before it (this part then has one)
        out += p
    return out


def put(target, name, data):
    d = os.path.join(here, 'corpus', target)
    os.makedirs(d, exist_ok=True)
    open(os.path.join(d, name), 'wb').write(data)


# --- database: byte 0 switches, byte 1 -np; list, in_a, in_b, out, dgn
ids = ''.join('p%d\n' % i for i in range(1, 26))
table = '# pairdist table\n1 2 3\n4 5 6\n'
put('fuzz_database', 'basic', bytes([0, 0]) + join(['/data/db\nin\nout\n' + ids, table, table, '0.5278 0.0000\n', '2\n']))
put('fuzz_database', 'degeneracy_two_types', bytes([1, 0]) + join(
    ["'/data/my db'\nin in2\tout2\nout\n" + ids, '0.25 1.5D-3 -4.0E+02\n', '0.25 1.5D-3 -4.0E+02\n', '1.0269\n', '3\n']))
crlf = ('db\nin\nout out\n' + ids).replace('\n', '\r\n')
put('fuzz_database', 'crlf_np', bytes([6, 22]) + join(
    [crlf, '#c\r\n 1, 2 ,3\r\n2*7.5 8\r\n', '#c\r\n 1, 2 ,3\r\n2*7.5 8\r\n', '0.5 0.5\r\n', '1\r\n']))
put('fuzz_database', 'different_counts', bytes([0, 0]) + join(['db\nin\nout\n' + ids, '1 2 3\n', '1 2 3\n4 5 6\n', '0.1\n', '1\n']))
put('fuzz_database', 'bad_number', bytes([0, 0]) + join(['db\nin\nout\n' + ids, '1 2 3\n4 x5 6\n', '1 2 3\n4 x5 6\n', '0.1\n', '']))
put('fuzz_database', 'train', bytes([8, 0]) + join(['/data/db\nin\nout\n' + ids, table, table, '0.5278 0.0000\n', '2\n']))
put('fuzz_database', 'train_degeneracy_np', bytes([11, 21]) + join(
    ['db\nin in2\nout\n' + ids, table, '1 2 3\n4 5 NaN\n', '0.5 -1.0E+300\n', '0\n']))
put('fuzz_database', 'too_few_proteins', bytes([0, 0]) + join(['db\nin\nout\np1\np2\n', table, table, '0.1\n', '']))


# --- weights: byte 0 switches; wA, wB, weight list, data in, data out
def wfile(nip, h1, h2, nop):
    lines = ['"/data/db"', 'in ', 'out ', ' %d %d %d %d  2.0000000298023224E-01' % (nip, h1, h2, nop)]
    n = (nip + 1) * h1 + (h1 + 1) * h2 + (h2 + 1) * nop
    lines += [' %.16E' % (random.random() - 0.5) for _ in range(n)]
    return '\n'.join(lines) + '\n'


inp, out = '# table\n1 2 3\n', '0.5278 0.0000\n'
put('fuzz_weights', 'single', bytes([0]) + join([wfile(3, 2, 1, 2), '', '', inp, out]))
put('fuzz_weights', 'average', bytes([1]) + join([wfile(3, 2, 1, 2), wfile(3, 1, 3, 2), 'wA\n\nwB\n', inp, out]))
put('fuzz_weights', 'average_nsw_dd', bytes([7]) + join([wfile(3, 2, 1, 2), wfile(3, 4, 2, 2), 'wA wB\nwB\n', inp, out]))
put('fuzz_weights', 'list_prediction', bytes([8]) + join([wfile(3, 3, 3, 2), '', '', inp, out]))
put('fuzz_weights', 'mismatch', bytes([0]) + join([wfile(4, 2, 1, 2), '', '', inp, out]))
put('fuzz_weights', 'short', bytes([0]) + join([wfile(3, 2, 1, 2)[:300], '', '', inp, out]))
put('fuzz_weights', 'several_values_per_line', bytes([0]) + join(
    [wfile(3, 1, 1, 2).replace('01\n', '01, 7 8\n'), '', '', inp, out]))


# --- pdb: byte 0 bit 0 own types; structure (, types)
def atoms_excerpt(name, limit=5000):
    lines = open(os.path.join(E, 'structures', name + '.pdb'), 'rb').read().split(b'\n')
    first = next(i for i, l in enumerate(lines) if l[:6] in (b'ATOM  ', b'HETATM', b'MODEL '))
    seg = lines[:3] + lines[first:] if first > 3 else lines
    out = b''
    for l in seg:
        if len(out) + len(l) + 1 > limit:
            break
        out += l + b'\n'
    return out


for name in ['1vii', '1paa', '4zhl', '2jo4', '6c83_A', '3hsy_B', '1a7g', '4at1_B']:
    put('fuzz_pdb', name, b'\x00' + atoms_excerpt(name))
alt = [l for l in open(os.path.join(E, 'structures', '1dpx.pdb'), 'rb').read().split(b'\n')
       if l[:4] == b'ATOM' and l[16:17] != b' ']
put('fuzz_pdb', '1dpx_altlocs', b'\x00' + b'\n'.join(alt)[:4000] + b'\n')
put('fuzz_pdb', 'own_types', b'\x01' + join([atoms_excerpt('1vii', 3000), 'ALA, alanine\nGLYCINE\n\n  \t\nLEU\nALA\n']))
put('fuzz_pdb', 'coincident', b'\x00' + b'ATOM      1  CB  ALA A   1      11.104   6.134  -6.504\n'
    b'ATOM      2  CA  GLY A   2      11104    6134   -6504\n')
# gzip-compressed (fixed time stamp, so the seed is the same every time), and HETATM metals
# without element columns
put('fuzz_pdb', '1vii_gzip', b'\x00' + gzip.compress(atoms_excerpt('1vii', 3000), mtime=0))
put('fuzz_pdb', 'metals_no_element', b'\x00' + b'HETATM    1 ZN    ZN A 101      11.104   6.134  -6.504\n'
    b'HETATM    2 CL    CL A 102      13.104   6.134  -6.504\n'
    b'HETATM    3 1HB  ALA A 103      12.104   8.134  -6.504\n'
    b'MODEL        2\nATOM      4  CA  GLY A   2      14.000   6.134  -6.504\n')

# --- depth: byte 0 bit 0 own types; residue file, atom file (, types)
for name, n in [('1vii', 60), ('4at1_B', 80), ('6c83_A', 80), ('2jo4_m1', 40)]:
    al = open(os.path.join(E, 'depth', name + '-atom.depth'), 'rb').read().split(b'\n')
    rl = open(os.path.join(E, 'depth', name + '-residue.depth'), 'rb').read().split(b'\n')
    atoms = al[:n + 1]
    keys = []
    for l in atoms[1:]:
        w = l.split()
        if len(w) > 1 and (not keys or keys[-1] != w[1]):
            keys.append(w[1])
    res = b'\n'.join([rl[0]] + rl[1:1 + len(keys)]) + b'\n'
    put('fuzz_depth', name, b'\x00' + join([res, b'\n'.join(atoms) + b'\n']))
    if name == '1vii':
        types = open(os.path.join(root, 'data', 'aa_atom.types'), 'rb').read()
        put('fuzz_depth', name + '_own_types', b'\x01' + join([res, b'\n'.join(atoms) + b'\n', types]))
put('fuzz_depth', 'mismatch', b'\x00' + join(['h\nR1 ALA\nR2 GLY\nR3 ALA\n', 'h\n1 R1 N 1.5 0.1\n2 R3 CA 2.0 0\n']))
put('fuzz_depth', 'first_residue_without_atoms', b'\x00' + join(
    ['h\nR0 ALA\nR1 GLY\n', 'h\n1 R1 N 1.5 0.1\n2 R1 CA 2.0,-0.5\n3 R1 C\n 0.5D0 1E-3\n']))
put('fuzz_depth', 'weird_distance', b'\x00' + join(['h\nR1 ALA\n', 'h\n1 R1 N 0.0 0.1\n']))

# --- command lines: byte 0 program (0 nntrain, 1 pairdist, 2 depthdist); words split at NUL
def words(program, *w):
    return bytes([program]) + b'\0'.join(x.encode() for x in w)


put('fuzz_cmdline', 'train', words(0, '-l', 'kelta.db', '-h1', '30', '-m', '500', '-df', '-f', '0.1D0', '-a', '-2.5E-1'))
put('fuzz_cmdline', 'predict_average', words(0, '-aw', 'wl', '-pr1', 'A', '-prl', 'L', '-nsw', '-dd', '-u', '1e-3'))
put('fuzz_cmdline', 'help_after_values', words(0, '-m', '50', '-r', '2147483647', '-h'))
put('fuzz_cmdline', 'negative_value_word', words(0, '-r', '-5'))
put('fuzz_cmdline', 'pairdist', words(1, '-t', 'my.types', '-dp', '-h'))
put('fuzz_cmdline', 'depthdist', words(2, 'x', '-dp', 'base', '-t', '--version'))
