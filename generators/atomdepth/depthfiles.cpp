// The two depth files (atomfile, residuefile, writefiles).
// Reads an Atoms group and its depths; writes BASE-atom.depth and BASE-residue.depth.
//
// Atom file: a header line, then per atom "serial key name depth spread".  Residue file: a
// header line, then per residue (atom-file order) "key name mean spread" of the depths of its
// atoms (unrounded depths; population standard deviation).  One blank between words, reals
// with three decimals.  These are the files depthdist reads.
#include <charconv>
#include <cmath>
#include <string>
#include <sys/stat.h>

#include "generators/atomdepth/atomdepth.hpp"
#include "textio/error.hpp"
#include "textio/files.hpp"

namespace atomdepth {

namespace {

// A real with three decimals, independent of the locale (as printf's %.3f rounds it).
void f3(std::string& out, double v) {
    char buf[64];
    auto r = std::to_chars(buf, buf + sizeof buf, v, std::chars_format::fixed, 3);
    out += ' ';
    out.append(buf, r.ptr);
}

}  // namespace

std::string atomfile(const Atoms& at, const Depths& d) {
    std::string t = "#atom residue atom_name depth depth_sd   (A; depth below the solvent-accessible surface, see README)\n";
    for (std::size_t i = 0; i < at.size(); ++i) {
        t += at.words[2 * i];
        t += ' ';
        t += at.rkey[2 * static_cast<std::size_t>(at.res[i])];
        t += ' ';
        t += at.words[2 * i + 1];
        f3(t, d.depth[i]);
        f3(t, d.sd[i]);
        t += '\n';
    }
    return t;
}

std::string residuefile(const Atoms& at, const Depths& d) {
    std::string t = "#residue resname depth_mean depth_sd   (A; mean and spread of the atom depths of the residue)\n";
    for (std::size_t a = 0; a < at.size();) {
        std::size_t b = a;
        double sum = 0;
        for (; b < at.size() && at.res[b] == at.res[a]; ++b) sum += d.depth[b];
        const double n = static_cast<double>(b - a), mean = sum / n;
        double ss = 0;
        for (std::size_t i = a; i < b; ++i) ss += (d.depth[i] - mean) * (d.depth[i] - mean);
        const std::size_t r = static_cast<std::size_t>(at.res[a]);
        t += at.rkey[2 * r];
        t += ' ';
        t += at.rkey[2 * r + 1];
        f3(t, mean);
        f3(t, std::sqrt(ss / n));
        t += '\n';
        a = b;
    }
    return t;
}

void writefiles(const std::string& base, const Atoms& at, const Depths& d) {
    const std::string res = base + "-residue.depth", atm = base + "-atom.depth";
    // Both names are checked before either file is written, so an existing atom file does
    // not leave a new residue file behind (any directory entry counts, a dangling link too).
    for (const std::string& p : {res, atm}) {
        struct stat st {};
        if (::lstat(p.c_str(), &st) == 0) textio::fail(textio::status_io, p + ": cannot create: File exists");
    }
    const std::string rt = residuefile(at, d), at_ = atomfile(at, d);
    // The pair appears whole or not at all, also when a signal ends the run between the two.
    textio::write_new_files({{res, rt}, {atm, at_}});
}

}  // namespace atomdepth
