// depthdist: residue and atom depth files -> per-atom-type depth table.
// The run is the shared driver's (gen::initall, generators/common), as for pairdist:
// defaults, command line, atom types file, depth files, statistics, output.  State is the group `temp` (gen::Temp) with two 10-character words per
// type (residue name, atom name) and two reals per atom (depth, second value).
#pragma once

#include <string>
#include <vector>

#include "generators/common/driver.hpp"

namespace depthdist {

using gen::Temp;

inline const std::string deftypes = "aa_atom.types";  // default atom types file

// depthdist as the shared driver runs it: gen::initall(t, depthdist::generator, words).
extern const gen::Generator generator;

// Reads base-residue.depth and base-atom.depth (base = t.pdbfl), pairing every atom line
// with the current or the next residue line: fills t.pdat, t.iaa, t.nres, t.ipo.
void readdepth(Temp& t);

// Per-type sums and the naatyp lines of the table on standard output.
void e2rr(Temp& t);

}  // namespace depthdist
