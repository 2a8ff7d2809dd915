// depthdist's run (initall), help text (printhelp) and depth-file reading (readdepth).
// Reads the command line, the atom types file and the two depth files; writes t.pdbfl,
// t.depfl, t.naatyp, t.aatom (via gen::), t.pdat, t.iaa, t.nres, t.ipo.
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
//   - no limit of 200000 atoms: the arrays grow as lines are read.
#include <string>

#include "generators/depthdist/depthdist.hpp"
#include "textio/error.hpp"
#include "textio/files.hpp"
#include "textio/format.hpp"
#include "textio/freeform.hpp"
#include "textio/source.hpp"
#include "version.hpp"

namespace depthdist {

void printhelp(const Temp& t) {
    gen::writehelp(" prints parmaters for distance atom_res to atom_res", "deppdbfile", t.depfl);
}

void initall(Temp& t, const std::vector<std::string>& words) {
    t.pdbfl.clear();
    t.depfl = deftypes;
    t.nw = 2;
    t.wlen = 10;
    t.np = 2;
    switch (gen::scancmd(t, words)) {
    case gen::Cmd::help:
        printhelp(t);
        textio::stop_normally();
    case gen::Cmd::version:
        textio::out(std::string("depthdist ") + PROTNN_VERSION + "\n");
        textio::stop_normally();
    case gen::Cmd::run:
        break;
    }
    gen::readtypes(t, deftypes);
    if (t.pdbfl.empty()) return;
    readdepth(t);
    e2rr(t);
}

namespace {

// A value no free-form read gives (a control byte): left in place, it shows that a read
// that hit the end of the file found none of its items.
const std::string untouched = "\x01";

// Reads the next residue record into (tc2, tc1); false at the end of the file.
bool nextres(textio::Source& src, std::string& tc2, std::string& tc1) {
    tc2 = untouched;
    if (textio::try_read(src, {textio::Item::of(tc2, 10), textio::Item::of(tc1, 10)})) return true;
    if (tc2 != untouched) src.eof_error("a residue name after the residue key");
    return false;
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
            if (!textio::try_read(atm, items)) {
                if (arg != untouched) atm.eof_error("the rest of an atom record (key, atom name, depth, second value)");
                break;
            }
            if (tc3 != tc2) {
                if (!nextres(res, tc2, tc1)) break;
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
