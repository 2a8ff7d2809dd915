// pairdist's description for the shared driver (generator) and its structure reading
// (readpdb).  Reads the structure file t.pdbfl; writes t.pdat, t.iaa, t.nres, t.ipo.
//
// Structure file (PDB format): only lines whose first word is exactly "ATOM" are used; of
// those, columns 14-16 (atom name), 18-20 (residue name) and 31-38, 39-46, 47-54 (x, y, z
// as F8.3); a short line reads as if filled with blanks.  A glycine gives its CA line, every
// other residue its CB line.  Nothing groups lines by chain, model or alternate location:
// every selected line is one residue.
// Deviations (each mends a silent failure or a fixed limit):
//   - no residue taken: "No residues read from <file>" on standard error, status 1;
//   - no limit of 20000 residues: the arrays grow as lines are read;
//   - a coordinate that is not a finite number: status 2 naming the file, line and columns;
//   - a gzip-compressed file is read like the plain file (generators/common/pdb.hpp).
#include <string>

#include "generators/common/pdb.hpp"
#include "generators/pairdist/pairdist.hpp"
#include "textio/error.hpp"
#include "textio/format.hpp"
#include "textio/source.hpp"
#include "textio/text.hpp"

namespace pairdist {

const gen::Generator generator = {"pairdist", deftypes, 1, 3, 3, " prints parmaters for distance to water", "pdbfile",
                                  readpdb, e2rr};

void readpdb(Temp& t) {
    t.pdat.clear();
    t.iaa.clear();
    textio::Source src = gen::open_structure(t.pdbfl);
    std::string_view line;
    while (src.next_line(line)) {
        // The first word ends at a blank, tab, comma or slash, as in a free-form read.
        std::size_t b = line.find_first_not_of(" \t");
        if (b == std::string_view::npos) continue;
        std::size_t e = line.find_first_of(" \t,/", b);
        if (line.substr(b, e == std::string_view::npos ? std::string_view::npos : e - b) != "ATOM") continue;

        std::string_view atom = textio::rtrim(gen::cols(line, 14, 3));
        std::string_view res = gen::cols(line, 18, 3);
        double xyz[3];
        gen::readxyz(src, line, xyz);
        if (atom != (textio::rtrim(res) == "GLY" ? "CA" : "CB")) continue;
        t.pdat.insert(t.pdat.end(), xyz, xyz + 3);
        t.iaa.push_back(gen::iaa2i(t, &res));
    }
    t.nres = static_cast<std::int64_t>(t.iaa.size());
    t.ipo = 1;
    if (t.nres == 0) textio::fail(textio::status_stop, textio::free_line("No residues read from ", t.pdbfl));
}

}  // namespace pairdist
