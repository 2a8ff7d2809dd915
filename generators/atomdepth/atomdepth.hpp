// atomdepth: a structure (PDB format, plain or gzip) -> the residue and atom depth files that
// depthdist reads.  The run: defaults, command line, atoms taken from the structure, points
// on the atom spheres, their accessibility, the depth of every atom, the two files.
//
// Depth of an atom: the distance from its centre to the nearest solvent-accessible point of
// the structure, less the probe radius; an atom on the surface gets its own radius.  Each
// atom carries a sphere of points (radius: its van der Waals radius plus the probe radius);
// a point is accessible when it lies inside no other atom's sphere.  The depth written is the
// mean of several such estimates, each with the sphere points turned by another rotation.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

namespace atomdepth {

// What the command line asks for.
struct Settings {
    std::string dp;       // structure file (-dp)
    std::string base;     // base name of the two depth files (-o)
    double probe = 1.4;   // probe radius in A (-pr)
    int npoints = 96;     // points per atom sphere (-np)
    int nest = 3;         // estimates, each with its own rotation of the points (-ne), 1 .. 3
};

// The atoms taken from a structure, in output order (residues consecutive).
struct Atoms {
    std::vector<double> xyz;         // xyz[3i .. 3i+2]: coordinates of atom i, as read
    std::vector<double> rad;         // van der Waals radius of atom i
    std::vector<std::string> words;  // words[2i]: serial, words[2i+1]: atom name (as written)
    std::vector<std::int32_t> res;   // res[i]: residue of atom i (0-based, ascending)
    std::vector<std::string> rkey;   // rkey[2r]: residue key (A:12), rkey[2r+1]: residue name
    std::size_t size() const { return rad.size(); }
};

// Reads the command line; the help and --version stop here (status 0).
Settings cmdline(const std::vector<std::string>& words);

// The atoms taken from the structure file s.dp (first model, one alternate location per
// residue, no hydrogens, no waters).  Failure when none is taken, a coordinate is not a
// finite number, or the structure would not fit in memory.
Atoms readatoms(const std::string& path);

// Van der Waals radius of an element symbol (upper case).
double radius(const std::string& element);

// The rotation matrices of the estimates, row by row.
extern const std::array<std::array<double, 9>, 3> rotations;

// Per atom, the depth (mean of the estimates) and its spread (population standard deviation).
struct Depths {
    std::vector<double> depth, sd;
};
Depths depths(const Atoms& at, const Settings& s);

// The text of BASE-atom.depth and BASE-residue.depth.
std::string atomfile(const Atoms& at, const Depths& d);
std::string residuefile(const Atoms& at, const Depths& d);

// Writes both files, the pair whole or not at all (a signal that ends the run leaves neither);
// neither replaces an existing file.
void writefiles(const std::string& base, const Atoms& at, const Depths& d);

}  // namespace atomdepth
