// The driver shared by the two table generators (pairdist, depthdist): the state group
// `temp`, the run (initall), the command-line scan, the help text, the types file and the
// type lookup `iaa2i`.  Each generator describes itself in a Generator (names, shapes, its
// reader and its table writer); the run is the same for both.
//
// State: everything lives in one `Temp` passed by reference.  pairdist keeps one 3-character
// name per type and x, y, z per residue; depthdist keeps a (residue name, atom name) pair of
// 10-character words per type and (depth, second value) per atom.  The shared routines are
// told the shape by `nw`, `wlen` and `np`, so neither program carries a copy of them.
//
// Formats: the command line and help text of both programs; the types file (one type per
// line, the first nw free-form words of each line, each cut to wlen characters).
// Deviations:
//   - Lines of the types file holding only blanks or tabs are skipped in both passes and
//     define no type (a blank line would otherwise shift every later name by one type).
//   - The default types file is looked for in the working directory, then in the data
//     directory beside the program (<bindir>/../share/protnn/); the help shows the plain name.
//   - `--help` is another name of `-h`;
//   - `--version` is a switch of its own: it prints "<program> <version>" and stops (status 0);
//   - a file name longer than the 300 characters kept (after trailing blanks are dropped)
//     is refused (status 2) instead of being cut, which named another file;
//   - a stray word and a run without -dp are refused (status 2) instead of passed over.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace gen {

inline constexpr std::size_t fnlen = 300;  // fixed length of the file-name texts

struct Temp {
    std::string pdbfl;               // structure file (pairdist) or base name of the depth files; empty: not given
    std::string depfl;               // types file as named: the default or the word after -t
    int nw = 1;                      // words per type: 1 (residue name) or 2 (residue name, atom name)
    std::size_t wlen = 3;            // characters kept of each types-file word
    int naatyp = 0;                  // number of types: types-file lines plus the catch-all type naatyp
    std::vector<std::string> aatom;  // aatom[(k-1)*nw + w]: word w+1 of type k, k = 1 .. naatyp-1
    int np = 3;                      // reals per entry of pdat: 3 (x, y, z) or 2 (depth, second value)
    std::int64_t nres = 0;           // residues (pairdist) or atoms (depthdist) read
    std::vector<double> pdat;        // pdat[(r-1)*np + c-1]: value c of residue/atom r
    std::vector<int> iaa;            // iaa[r-1]: type number (1 .. naatyp) of residue/atom r
    std::int64_t ipo = 1;            // first entry handed to e2rr; always 1
    double tmp = 0;                  // cube root of nres while the table is written
};

// What makes one generator: everything initall needs to know about it.
struct Generator {
    const char* name;            // program name (--version)
    std::string deftypes;        // default types file
    int nw;                      // words per type
    std::size_t wlen;            // characters kept of each types-file word
    int np;                      // reals per entry of pdat
    const char* line2;           // second line of the help text
    const char* dpdesc;          // description of -dp in the help text
    void (*read)(Temp& t);       // reads the file(s) named by t.pdbfl into pdat, iaa, nres
    void (*table)(Temp& t);      // computes and writes the table on standard output
};

// The whole run of generator g: defaults, command line, types file, input, table.  Returns
// when it ends normally with its table written, throws textio::Failure for every other stop
// (the help and --version are status 0 stops).
void initall(Temp& t, const Generator& g, const std::vector<std::string>& words);

// What the command line asks for.
enum class Cmd { run, help, version };

// Scans the command-line words (program name excluded) into t.pdbfl and t.depfl: "-dp" and
// "-t" take the next word and that word is then examined as a switch in its turn; "-h" (or
// "--help") and "--version" act when met, whatever else the line holds.  No words at all ask
// for the help.
// Otherwise refused with status 2, naming the program: a word that is neither a switch nor
// the value of -dp or -t before it, -dp or -t as the last word, and a line without -dp (or
// with an empty one), so that no run ends with status 0 and no table.  A value longer than
// fnlen characters (trailing blanks dropped) is refused with status 2.
Cmd scancmd(Temp& t, const std::vector<std::string>& words, std::string_view name);

// Writes the help text; line2 and dpdesc (the -dp description) are what differ between the
// two programs, depfl is the current types file shown in the -t row.
void writehelp(std::string_view line2, std::string_view dpdesc, std::string_view depfl);

// One row of the option table: A10, 3X, A30, 10X, A20, and a line end.
std::string helprow(std::string_view c1, std::string_view c2, std::string_view c3);

// The file to open for the types file t.depfl whose default name is defname.
std::string typespath(const std::string& depfl, const std::string& defname);

// Reads the types file (both passes): t.naatyp and t.aatom.  Failure (status 2) when it
// cannot be opened or a line lacks its words.
void readtypes(Temp& t, const std::string& defname);

// Type number of the nw words key[0..nw): the last types-file line whose words all equal
// them (trailing blanks ignored), or t.naatyp with "Unknown type " and the words on
// standard error.
int iaa2i(const Temp& t, const std::string_view* key);

// Writes one line to standard error.
void say(std::string_view line);

}  // namespace gen
