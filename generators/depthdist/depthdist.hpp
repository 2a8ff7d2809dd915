// depthdist: residue and atom depth files -> per-atom-type depth table.
// The run has pairdist's shape and reuses its command line, help layout and types-file
// handling (generators/common): defaults, command line, atom types file, depth files,
// statistics, output.  State is the group `temp` (gen::Temp) with two 10-character words per
// type (residue name, atom name) and two reals per atom (depth, second value).
#pragma once

#include <string>
#include <vector>

#include "generators/common/gen.hpp"

namespace depthdist {

using gen::Temp;

inline const std::string deftypes = "aa_atom.types";  // default atom types file

// The whole run; returns when it ends normally with its table written, throws
// textio::Failure for every other stop (the help and --version are status 0 stops).
void initall(Temp& t, const std::vector<std::string>& words);

void printhelp(const Temp& t);

// Reads base-residue.depth and base-atom.depth (base = t.pdbfl), pairing every atom line
// with the current or the next residue line: fills t.pdat, t.iaa, t.nres, t.ipo.
void readdepth(Temp& t);

// Per-type sums and the naatyp lines of the table on standard output.
void e2rr(Temp& t);

}  // namespace depthdist
