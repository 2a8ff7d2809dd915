// pairdist: protein structure (PDB format) -> per-residue-type-pair inverse-distance table.
// The run is the shared driver's (gen::initall): defaults, command line, residue types file,
// structure, pair statistics, output.  All state is the group `temp` (gen::Temp): pdbfl,
// depfl, naatyp, aatom (one 3-character name per type), nres, pdat (x, y, z per residue),
// iaa, ipo, tmp.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "generators/common/driver.hpp"
#include "generators/common/pdb.hpp"

namespace pairdist {

using gen::Temp;

inline const std::string deftypes = "amino_acids.types";  // default residue types file

// pairdist as the shared driver runs it: gen::initall(t, pairdist::generator, words).
extern const gen::Generator generator;

// Reads the structure file t.pdbfl: one point per residue (CB, CA for glycine) from the
// lines whose first word is ATOM; fills t.pdat, t.iaa, t.nres, t.ipo.
void readpdb(Temp& t);

// The F8.3 coordinate field reader, shared with atomdepth (generators/common/pdb.hpp).
using gen::readf83;

// The pair loop in its versions.  All give the same bits: only exactly rounded operations
// (subtract, multiply, add, square root, divide) are vectorised, and each table cell still
// receives its terms one by one in pair order.
enum class Isa { plain, sse2, avx, avx512, best };
bool isa_supported(Isa isa);
const char* isa_name(Isa isa);

// Per-type-pair sums over the residue pairs r < s, indexed [(a-1)*naatyp + (b-1)] with a the
// type of r and b the type of s.
struct Sums {
    int naatyp = 0;
    std::vector<double> s1;         // sum of 1/d
    std::vector<double> s3;         // sum of 1/d^3
    std::vector<std::int64_t> cnt;  // number of pairs
};

// Computes the sums of residues t.ipo .. t.ipo+t.nres-1 with the given version of the pair
// loop.  Two residues at one point, or a pair that makes a sum not finite, stop the run
// (status 1) with "Aborting, weird distance ", the two residue numbers and the distance.
void pairsums(const Temp& t, Isa isa, Sums& s);

// Computes the sums (fastest version) and writes the naatyp^2 lines of the table.
void e2rr(Temp& t);

}  // namespace pairdist
