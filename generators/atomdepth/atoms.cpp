// The atoms taken from a structure file (readatoms) and their radii.
// Reads the file named on the command line through the shared PDB column reader
// (generators/common/pdb.hpp); writes an Atoms group.
//
// Atoms taken:
//   - records ATOM and HETATM (columns 1-6);
//   - the first model only: the one of the first atom record (records before any MODEL line
//     are model 1; every MODEL line starts the next model);
//   - one alternate location per residue (chain, number, insertion code): atoms with a blank
//     label, and those whose label is the first non-blank label met in the residue;
//   - no hydrogens (element H or D) and no waters (HOH WAT H2O DOD TIP SOL);
//   - the atoms of one residue (key and name) made consecutive, residues in order of first
//     appearance, atoms of a residue in file order.
// Element: columns 77-78 when they are not blank; otherwise the two-letter metals and
// halogens of a HETATM atom name that starts with a letter, else the first letter of the atom
// name after leading digits ("C" when none).
// Words as written: serial (columns 7-11), residue key (chain "_" when blank, ":", number,
// insertion code) and names stripped of outer blanks.
// A warning line on standard error names residues of one key that follow each other (two
// residue names at one chain, number and insertion code), which depthdist cannot tell apart.
// Choices of ours: inner blanks, commas and slashes of a word are written "_", an empty word
// "_", and a word that begins like a quoted text or a repeat count is quoted, so that every
// word reads back as one free-form item; a coordinate beyond 10^6 A, a blank coordinate field
// and an atom line that ends before column 54 are refused (file and line).
#include <algorithm>
#include <cctype>
#include <cmath>
#include <string>
#include <unordered_map>

#include "generators/atomdepth/atomdepth.hpp"
#include "generators/common/driver.hpp"
#include "generators/common/pdb.hpp"
#include "textio/error.hpp"
#include "textio/format.hpp"
#include "textio/source.hpp"
#include "textio/text.hpp"

namespace atomdepth {

namespace {

// No molecule reaches this far from the origin; beyond it, squared distances would lose all
// precision and sums of coordinates could overflow.
constexpr double maxcoord = 1e6;

std::string_view strip(std::string_view s) {
    std::size_t b = s.find_first_not_of(' ');
    if (b == std::string_view::npos) return {};
    std::size_t e = s.find_last_not_of(' ');
    return s.substr(b, e - b + 1);
}

// A word as the depth files hold it, read back by a free-form read as one item with the same
// text: blanks, control bytes, commas and slashes become "_"; a word that a free-form read would
// take for a quoted text or a repeat count ('x, "x, 2*x) is written in quotes.
std::string word(std::string_view s) {
    std::string w(strip(s));
    for (char& c : w)
        if (static_cast<unsigned char>(c) <= ' ' || c == '\x7f' || c == ',' || c == '/') c = '_';
    if (w.empty()) return "_";
    std::size_t d = w.find_first_not_of("0123456789");
    if (w[0] != '\'' && w[0] != '"' && !(d > 0 && d != std::string::npos && w[d] == '*')) return w;
    const char q = w.find('"') == std::string::npos ? '"' : '\'';
    std::string quoted(1, q);
    for (char c : w) {
        quoted += c;
        if (c == q) quoted += q;  // a doubled quote stands for one
    }
    return quoted + q;
}

std::string upper(std::string_view s) {
    std::string u(s);
    for (char& c : u) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return u;
}

std::string element(std::string_view line, bool het) {
    std::string e = upper(strip(gen::cols(line, 77, 2)));
    if (!e.empty()) return e;
    std::string_view name = gen::cols(line, 13, 4);
    if (het && !name.empty() && std::isalpha(static_cast<unsigned char>(name[0]))) {
        static const char* const two[] = {"FE", "ZN", "MG", "MN", "CA", "NA", "K",  "CU",
                                          "NI", "CO", "CD", "HG", "CL", "BR", "SE"};
        std::string f = upper(strip(name.substr(0, 2)));
        for (const char* t : two)
            if (f == t) return f;
    }
    std::string_view n = strip(name);
    std::size_t i = n.find_first_not_of("0123456789");
    if (i == std::string_view::npos) return "C";
    return upper(n.substr(i, 1));
}

bool water(std::string_view resname) {
    std::string_view r = strip(resname);
    for (const char* w : {"HOH", "WAT", "H2O", "DOD", "TIP", "SOL"})
        if (r == w) return true;
    return false;
}

}  // namespace

double radius(const std::string& e) {
    static const std::unordered_map<std::string, double> r = {
        {"C", 1.70},  {"N", 1.55},  {"O", 1.52},  {"S", 1.80},  {"SE", 1.90}, {"P", 1.80},
        {"F", 1.47},  {"CL", 1.75}, {"BR", 1.85}, {"I", 1.98},  {"B", 1.92},  {"FE", 1.40},
        {"ZN", 1.39}, {"MG", 1.73}, {"MN", 1.40}, {"CA", 1.40}, {"NA", 1.40}, {"K", 1.75},
        {"CU", 1.40}, {"NI", 1.63}, {"CO", 1.40}, {"CD", 1.58}, {"HG", 1.55}};
    auto it = r.find(e);
    return it == r.end() ? 1.80 : it->second;
}

Atoms readatoms(const std::string& path) {
    textio::Source src = gen::open_structure(path);

    // Refused before anything grows with it: an atom as read takes a few hundred bytes (its
    // points are counted before they are made, in depths()).
    std::size_t nrec = 0;
    std::string_view line;
    while (src.next_line(line)) {
        std::string_view r = gen::cols(line, 1, 6);
        if (r.starts_with("ATOM") || r.starts_with("HETATM")) ++nrec;
    }
    const std::size_t per_atom = 512;
    if (nrec > gen::memory_limit() / per_atom)
        textio::fail(textio::status_io, path + ": " + std::to_string(nrec) +
                                            " atom records would need more memory than there is (about " +
                                            std::to_string(nrec / 2048) + " MB)");
    src.rewind();

    struct Rec {
        std::string serial, name, resname, key;
        char alt;
        double xyz[3];
        double rad;
    };
    std::vector<Rec> recs;
    std::unordered_map<std::string, char> firstalt;  // residue key (chain, number, code) -> first label
    int model = 1, taken = 0;                         // current model; the model taken (0: not yet known)
    while (src.next_line(line)) {
        std::string rec(gen::cols(line, 1, 6));
        rec.resize(6, ' ');
        if (rec == "MODEL ") {
            ++model;
            continue;
        }
        bool het = rec == "HETATM";
        if (rec != "ATOM  " && !het) continue;
        if (taken == 0) taken = model;
        if (model != taken) continue;
        Rec a;
        gen::readxyz(src, line, a.xyz, true);
        for (double v : a.xyz)
            if (std::fabs(v) > maxcoord)
                src.error("a coordinate beyond 1000000 A in columns 31-54, found " + textio::shown(gen::cols(line, 31, 24)));
        std::string_view altc = gen::cols(line, 17, 1);
        a.alt = altc.empty() ? ' ' : altc[0];
        std::string_view chain = gen::cols(line, 22, 1);
        std::string resid = std::string(chain.empty() || chain == " " ? "_" : chain) + ":" +
                            std::string(strip(gen::cols(line, 23, 4)));
        std::string_view icode = gen::cols(line, 27, 1);
        if (!icode.empty() && icode != " ") resid += icode;
        if (a.alt != ' ') {
            auto it = firstalt.try_emplace(resid, a.alt).first;
            if (it->second != a.alt) continue;
        }
        std::string el = element(line, het);
        if (el == "H" || el == "D") continue;
        std::string_view resname = gen::cols(line, 18, 3);
        if (water(resname)) continue;
        a.serial = word(gen::cols(line, 7, 5));
        a.name = word(gen::cols(line, 13, 4));
        a.resname = word(resname);
        a.key = word(resid);
        a.rad = radius(el);
        recs.push_back(std::move(a));
    }
    if (taken == 0) textio::fail(textio::status_stop, path + ": no ATOM or HETATM record");
    if (recs.empty())
        textio::fail(textio::status_stop, path + ": no atom taken (the first model holds only hydrogens and waters)");

    // Stable regrouping by residue (key and name), residues in order of first appearance.
    std::unordered_map<std::string, std::int32_t> resno;
    std::vector<std::int32_t> of(recs.size());
    Atoms at;
    for (std::size_t i = 0; i < recs.size(); ++i) {
        auto [it, fresh] = resno.try_emplace(recs[i].key + ' ' + recs[i].resname, static_cast<std::int32_t>(resno.size()));
        if (fresh) {
            at.rkey.push_back(recs[i].key);
            at.rkey.push_back(recs[i].resname);
        }
        of[i] = it->second;
    }
    std::vector<std::size_t> order(recs.size());
    for (std::size_t i = 0; i < order.size(); ++i) order[i] = i;
    std::stable_sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) { return of[a] < of[b]; });
    at.xyz.reserve(3 * recs.size());
    for (std::size_t i : order) {
        Rec& a = recs[i];
        at.xyz.insert(at.xyz.end(), a.xyz, a.xyz + 3);
        at.rad.push_back(a.rad);
        at.words.push_back(std::move(a.serial));
        at.words.push_back(std::move(a.name));
        at.res.push_back(of[i]);
    }
    // depthdist pairs atoms with residues by key alone: of two residues of one key that follow
    // each other, it stops or reads the second one's atoms as the first's.  Said, once.
    std::size_t shared = 0, first = 0;
    for (std::size_t r = 1; 2 * r < at.rkey.size(); ++r)
        if (at.rkey[2 * r] == at.rkey[2 * r - 2] && shared++ == 0) first = r;
    if (shared > 0)
        gen::say(path + ": warning: " + std::to_string(shared) + " pair" + (shared == 1 ? "" : "s") +
                 " of residues in a row share a residue key (first: " + at.rkey[2 * first - 2] + " " +
                 at.rkey[2 * first - 1] + " and " + at.rkey[2 * first + 1] + "); depthdist cannot tell them apart");
    return at;
}

}  // namespace atomdepth
