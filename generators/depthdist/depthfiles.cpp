// depthdist's description for the shared driver (generator) and its depth-file reading
// (readdepth).  Reads the two depth files of base name t.pdbfl; writes t.pdat, t.iaa, t.nres,
// t.ipo.
//
// Depth files, named by the base name plus "-residue.depth" and "-atom.depth": line 1 of
// each is a header and is skipped; then free-form records, residue file: key, residue name
// (further words ignored); atom file: a word not used, residue key, atom name, depth, second
// value (further words ignored).  A record with fewer words takes the rest from the next line.
// The residue file moves on by at most one residue per atom line.
// Deviations:
//   - the program's own stops ("Strings for residues don't match for ", "Aborting, nres
//     problem.") exit with status 1;
//   - a file that ends inside an atom or residue record is an error (status 2) rather than
//     the end of the data;
//   - no limit of 200000 atoms: the arrays grow as lines are read;
//   - a slash that ends an atom or residue record before its last item is an error
//     (status 2, file and line) instead of keeping the previous record's values;
//   - atom lines after the residue file's last residue are still not read (depth programs
//     may list hetero groups in the atom file only), but one warning line on standard
//     error says how many and names the files.
#include <bit>
#include <cstdint>
#include <string>

#include "generators/depthdist/depthdist.hpp"
#include "textio/error.hpp"
#include "textio/files.hpp"
#include "textio/format.hpp"
#include "textio/freeform.hpp"
#include "textio/source.hpp"

namespace depthdist {

const gen::Generator generator = {"depthdist", deftypes, 2, 10, 2, " prints parmaters for distance atom_res to atom_res",
                                  "deppdbfile", readdepth, e2rr};

namespace {

// A value no free-form read gives (a control byte): left in place, it shows that a read
// that hit the end of the file found none of its items.
const std::string untouched = "\x01";

// A depth no free-form read gives (a NaN with a payload of its own, told apart by its bits):
// left in place after a read that succeeded, it shows that a slash ended the record early.
const double unread = std::bit_cast<double>(std::uint64_t{0x7ff8dead0000beefu});
bool isunread(double v) { return std::bit_cast<std::uint64_t>(v) == std::bit_cast<std::uint64_t>(unread); }

// Reads the next residue record into (tc2, tc1); false at the end of the file.
bool nextres(textio::Source& src, std::string& tc2, std::string& tc1) {
    tc2 = untouched;
    tc1 = untouched;
    if (textio::try_read(src, {textio::Item::of(tc2, 10), textio::Item::of(tc1, 10)})) {
        if (tc1 == untouched) src.error("a slash ends the residue record before its residue name");
        return true;
    }
    if (tc2 != untouched) src.eof_error("a residue name after the residue key");
    return false;
}

// The lines left in src that hold more than blanks.
std::int64_t linesleft(textio::Source& src) {
    std::int64_t n = 0;
    std::string_view line;
    while (src.next_line(line))
        if (line.find_first_not_of(" \t") != std::string_view::npos) ++n;
    return n;
}

}  // namespace

void readdepth(Temp& t) {
    t.pdat.clear();
    t.iaa.clear();
    std::string tmpfl = t.pdbfl + "-residue.depth";  // the depth file opened last
    textio::Source res = textio::Source::open(tmpfl);
    tmpfl = t.pdbfl + "-atom.depth";
    textio::Source atm = textio::Source::open(tmpfl);
    textio::read_line(res, 1, "a header line");
    textio::read_line(atm, 1, "a header line");

    std::string tc2, tc1;       // key and residue name of the current residue line
    std::string arg, tc3, tc4;  // first word (not used), residue key and atom name of the atom line
    double xc[2] = {0, 0};      // depth and second value of the atom line
    if (nextres(res, tc2, tc1)) {
        const textio::Item items[] = {textio::Item::of(arg, 10), textio::Item::of(tc3, 10), textio::Item::of(tc4, 10),
                                      textio::Item::of(xc[0]), textio::Item::of(xc[1])};
        for (;;) {
            arg = untouched;
            xc[1] = unread;
            if (!textio::try_read(atm, items)) {
                if (arg != untouched) atm.eof_error("the rest of an atom record (key, atom name, depth, second value)");
                break;
            }
            // A slash would keep the previous atom's values for the items after it.
            if (isunread(xc[1]))
                atm.error("a slash ends the atom record early (expected serial, residue key, atom name, depth, second value)");
            if (tc3 != tc2) {
                if (!nextres(res, tc2, tc1)) {
                    // Kept on purpose: hetero groups may be listed in the atom file only.
                    // Said, so that a residue file cut short does not drop atoms unnoticed.
                    const std::int64_t left = 1 + linesleft(atm);
                    gen::say(atm.name() + ": warning: " + std::to_string(left) + " atom line" + (left == 1 ? "" : "s") +
                             " after the last residue of " + res.name() + " not read");
                    break;
                }
                if (tc3 != tc2)
                    textio::fail(textio::status_stop, textio::free_line("Strings for residues don't match for ", tmpfl));
            }
            t.pdat.insert(t.pdat.end(), xc, xc + 2);
            const std::string_view key[2] = {tc1, tc4};
            t.iaa.push_back(gen::iaa2i(t, key));
        }
    }
    t.nres = static_cast<std::int64_t>(t.iaa.size());
    t.ipo = 1;
    if (t.nres == 0) textio::fail(textio::status_stop, textio::free_line("Aborting, nres problem."));
}

}  // namespace depthdist
