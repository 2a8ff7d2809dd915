// atomdepth's defaults, command line and help text (cmdline).
// Reads the command-line words; writes a Settings group and, for -h and --version, standard
// output.
//
// Switches: -dp STRUCTURE, -o BASE, -pr probe radius (A, 0 to 5), -np points per
// atom sphere (1 .. 100000), -ne estimates (1 .. 3), -h (or --help), --version.  Every switch
// but these takes the next word as its value; a numeric value must be exactly one number.
// No words at all ask for the help, as for pairdist and depthdist.
// Choices of ours (a new program has no older readings to keep): an unknown word, a missing
// value or a missing -dp or -o is refused with status 2, naming it.
#include <cmath>
#include <string>

#include "generators/atomdepth/atomdepth.hpp"
#include "generators/common/driver.hpp"
#include "textio/error.hpp"
#include "textio/files.hpp"
#include "textio/format.hpp"
#include "textio/freeform.hpp"
#include "version.hpp"

namespace atomdepth {

namespace {

void printhelp() {
    std::string h;
    h += " Depth of every atom below the solvent-accessible surface\n";
    h += "  writes BASE-residue.depth and BASE-atom.depth for depthdist\n";
    h += " Options:\n";
    h += gen::helprow("Switch", "Description", "Default");
    h += gen::helprow("-dp", "pdbfile (plain or gzip)", "NONE");
    h += gen::helprow("-o", "base_of_the_depth_files", "NONE");
    h += gen::helprow("-pr", "probe_radius", "1.4");
    h += gen::helprow("-np", "points_per_atom_sphere", "96");
    h += gen::helprow("-ne", "estimates (1-3)", "3");
    h += gen::helprow("-h", "print_this_help", "");
    h += "\n";
    h += " Program to calculate atom and residue depth files.\n";
    textio::out(h);
}

// The largest probe radius taken, in A.  Water is 1.4; a probe of a few A already passes
// over the grooves of a surface, and beyond about 6 A some atoms of a large protein (3o21)
// have more neighbours than any molecule (see surface.cpp), so larger radii measure nothing
// of use.  1e17 made every depth 0 or negative.
constexpr double maxprobe = 5;

[[noreturn]] void bad(const std::string& sw, const std::string& value, const std::string& why) {
    textio::fail(textio::status_io, "atomdepth: " + sw + " " + textio::shown(value) + ": " + why);
}

}  // namespace

Settings cmdline(const std::vector<std::string>& words) {
    Settings s;
    if (words.empty()) {
        printhelp();
        textio::stop_normally();
    }
    for (const std::string& w : words) {
        if (w == "-h" || w == "--help") {
            printhelp();
            textio::stop_normally();
        }
        if (w == "--version") {
            textio::out(std::string("atomdepth ") + PROTNN_VERSION + "\n");
            textio::stop_normally();
        }
    }
    for (std::size_t i = 0; i < words.size(); ++i) {
        const std::string& w = words[i];
        if (w != "-dp" && w != "-o" && w != "-pr" && w != "-np" && w != "-ne")
            textio::fail(textio::status_io, "atomdepth: unknown switch or word " + textio::shown(w) + " (-h lists the switches)");
        if (i + 1 == words.size()) textio::fail(textio::status_io, "atomdepth: " + w + " needs a value");
        const std::string& v = words[++i];
        if (w == "-dp") {
            s.dp = v;
        } else if (w == "-o") {
            s.base = v;
        } else if (w == "-pr") {
            if (!textio::parse_real(v, s.probe) || !(s.probe >= 0 && s.probe <= maxprobe))
                bad(w, v, "expected a probe radius from 0 to 5 (A)");
        } else {
            std::int32_t k = 0;
            const bool np = w == "-np";
            if (!textio::parse_int32(v, k) || k < 1 || k > (np ? 100000 : 3))
                bad(w, v, np ? "expected a whole number from 1 to 100000" : "expected 1, 2 or 3");
            (np ? s.npoints : s.nest) = k;
        }
    }
    if (s.dp.empty()) textio::fail(textio::status_io, "atomdepth: no structure file given (-dp)");
    if (s.base.empty()) textio::fail(textio::status_io, "atomdepth: no base name for the depth files given (-o)");
    return s;
}

}  // namespace atomdepth
