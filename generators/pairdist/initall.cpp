// pairdist's run (initall), help text (printhelp) and structure reading (readpdb).
// Reads the command line and the files named there; writes t.pdbfl, t.depfl, t.naatyp,
// t.aatom (via gen::), t.pdat, t.iaa, t.nres, t.ipo.
//
// Structure file (PDB format): only lines whose first word is exactly "ATOM" are used; of
// those, columns 14-16 (atom name), 18-20 (residue name) and 31-38, 39-46, 47-54 (x, y, z
// as F8.3); a short line reads as if filled with blanks.  A glycine gives its CA line, every
// other residue its CB line.  Nothing groups lines by chain, model or alternate location:
// every selected line is one residue.
// Deviations (each mends a silent failure or a fixed limit):
//   - no residue taken: "No residues read from <file>" on standard error, status 1;
//   - no limit of 20000 residues: the arrays grow as lines are read;
//   - a coordinate that is not a number: status 2 naming the file, line and columns.
#include <cmath>
#include <string>

#include "generators/pairdist/pairdist.hpp"
#include "textio/error.hpp"
#include "textio/files.hpp"
#include "textio/format.hpp"
#include "textio/freeform.hpp"
#include "textio/source.hpp"
#include "textio/text.hpp"
#include "version.hpp"

namespace pairdist {

void printhelp(const Temp& t) { gen::writehelp(" prints parmaters for distance to water", "pdbfile", t.depfl); }

void initall(Temp& t, const std::vector<std::string>& words) {
    t.pdbfl.clear();
    t.depfl = deftypes;
    t.nw = 1;
    t.wlen = 3;
    t.np = 3;
    switch (gen::scancmd(t, words)) {
    case gen::Cmd::help:
        printhelp(t);
        textio::stop_normally();
    case gen::Cmd::version:
        textio::out(std::string("pairdist ") + PROTNN_VERSION + "\n");
        textio::stop_normally();
    case gen::Cmd::run:
        break;
    }
    gen::readtypes(t, deftypes);
    if (t.pdbfl.empty()) return;
    readpdb(t);
    e2rr(t);
}

bool readf83(std::string_view field, double& v) {
    std::string s;
    for (char c : field)
        if (c != ' ') s += c;
    if (s.empty()) {
        v = 0;
        return true;
    }
    // sign, digits with at most one point, then an exponent: a letter E or D with an
    // optional sign, or a sign alone (1.5+2), followed by digits.
    std::size_t i = 0;
    std::string sign;
    if (s[i] == '+' || s[i] == '-') sign = s[i++] == '-' ? "-" : "";
    std::size_t m0 = i;
    bool point = false;
    while (i < s.size() && ((s[i] >= '0' && s[i] <= '9') || (s[i] == '.' && !point))) point |= s[i++] == '.';
    std::string mant = s.substr(m0, i - m0);
    std::string exp;
    if (i < s.size()) {
        std::size_t e0 = i;
        if (s[i] == 'E' || s[i] == 'e' || s[i] == 'D' || s[i] == 'd') ++i;
        std::string esign;
        if (i < s.size() && (s[i] == '+' || s[i] == '-')) esign = s[i++];
        if (i == e0) return textio::parse_real(s, v);  // NaN, Inf, or not a number at all
        std::size_t d0 = i;
        while (i < s.size() && s[i] >= '0' && s[i] <= '9') ++i;
        if (i == d0 || i != s.size()) return false;
        exp = "e" + esign + s.substr(d0);
    }
    if (mant.find_first_of("0123456789") == std::string::npos) return false;
    if (!point) {
        // The implied decimal point: the text with the point put in reads to the same
        // correctly rounded value as the field scaled by 10^-3.
        if (mant.size() < 4) mant.insert(0, 4 - mant.size(), '0');
        mant.insert(mant.size() - 3, ".");
    }
    return textio::parse_real(sign + mant + exp, v);
}

// Columns from..from+len-1 (from counted from 1) of a line, blank-filled beyond its end.
static std::string_view cols(std::string_view line, std::size_t from, std::size_t len) {
    if (line.size() < from) return {};
    return line.substr(from - 1, len);
}

void readpdb(Temp& t) {
    t.pdat.clear();
    t.iaa.clear();
    textio::Source src = textio::Source::open(t.pdbfl);
    static const char* const what[3] = {"x in columns 31-38", "y in columns 39-46", "z in columns 47-54"};
    std::string_view line;
    while (src.next_line(line)) {
        // The first word ends at a blank, tab, comma or slash, as in a free-form read.
        std::size_t b = line.find_first_not_of(" \t");
        if (b == std::string_view::npos) continue;
        std::size_t e = line.find_first_of(" \t,/", b);
        if (line.substr(b, e == std::string_view::npos ? std::string_view::npos : e - b) != "ATOM") continue;

        std::string_view atom = textio::rtrim(cols(line, 14, 3));
        std::string_view res = cols(line, 18, 3);
        double xyz[3];
        for (int c = 0; c < 3; ++c) {
            std::string_view f = cols(line, 31 + 8 * static_cast<std::size_t>(c), 8);
            if (!readf83(f, xyz[c])) src.error("expected a number for " + std::string(what[c]) + ", found " + textio::shown(f));
        }
        if (atom != (textio::rtrim(res) == "GLY" ? "CA" : "CB")) continue;
        t.pdat.insert(t.pdat.end(), xyz, xyz + 3);
        t.iaa.push_back(gen::iaa2i(t, &res));
    }
    t.nres = static_cast<std::int64_t>(t.iaa.size());
    t.ipo = 1;
    if (t.nres == 0) textio::fail(textio::status_stop, textio::free_line("No residues read from ", t.pdbfl));
}

}  // namespace pairdist
