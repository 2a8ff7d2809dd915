// depthdist run as a user runs it: its help beside pairdist's, the pairing of atom lines with
// residue lines, the stops, the worked records, and every real depth-file pair of the example
// set checked against sums that the test computes from its own reading of the files.
#include <gtest/gtest.h>

#include <cmath>
#include <fstream>
#include <map>
#include <sstream>

#include "tests/support/numbers.hpp"
#include "tests/support/run.hpp"

namespace ts = testing_support;

namespace {

ts::Result depthdist(const std::vector<std::string>& args, const std::string& dir = "") {
    return ts::run("depthdist", args, dir);
}

using testing_support::numbers;
using testing_support::rt3;

// A protein "p" in dir: residue lines and atom lines after the usual headers, and a types
// file of three atom types.
struct Depth {
    ts::TempDir d;
    Depth() { ts::write_file(d / "t.types", "ALA N\nALA CA\nGLY CA   extra words\n"); }
    ts::Result run(const std::string& residues, const std::string& atoms,
                   const std::string& rhead = "#residue resname depth_mean depth_sd\n",
                   const std::string& ahead = "#atom residue atom_name depth depth_sd\n") {
        ts::write_file(d / "p-residue.depth", rhead + residues);
        ts::write_file(d / "p-atom.depth", ahead + atoms);
        return depthdist({"-t", "t.types", "-dp", "p"}, d.path());
    }
};

const std::string res3 = "A:1 ALA 1.0 0.1\nA:2 GLY 2.0 0.2\nA:3 ALA 3.0 0.3\n";

}  // namespace

TEST(DepthdistCommandLine, HelpDiffersFromPairdistsInLineTwoAndTheDpRow) {
    for (auto args : std::vector<std::vector<std::string>>{{"-t", "x.types", "-h"}, {"-dp", "-t", "x.types", "-h"}}) {
        std::vector<std::string> p = ts::lines_of(ts::run("pairdist", args).out);
        ts::Result r = depthdist(args);
        EXPECT_EQ(r.status, 0);
        std::vector<std::string> d = ts::lines_of(r.out);
        ASSERT_EQ(d.size(), 9u);
        ASSERT_EQ(p.size(), 9u);
        for (std::size_t i = 0; i < 9; ++i) {
            if (i != 1 && i != 4) {
                EXPECT_EQ(d[i], p[i]) << "line " << i + 1;
            }
        }
        EXPECT_EQ(d[1], "  prints parmaters for distance atom_res to atom_res");
        EXPECT_EQ(d[4], "       -dp                       deppdbfile                          NONE");
    }
    ts::Result plain = depthdist({});
    EXPECT_EQ(plain.status, 0);
    std::string shown = "aa_atom.types";
    shown.resize(120, ' ');
    EXPECT_EQ(ts::lines_of(plain.out)[5], "        -t                         typefile          " + shown);
    ts::Result v = depthdist({"--version"});
    EXPECT_EQ(v.status, 0);
    EXPECT_EQ(v.out.rfind("depthdist ", 0), 0u);
}

TEST(DepthdistFiles, RunsWithoutDepthFilesAndMissingFiles) {
    Depth p;
    ts::Result none = depthdist({"-t", "t.types"}, p.d.path());
    EXPECT_EQ(none.status, 2);
    EXPECT_EQ(none.out, "");
    EXPECT_EQ(none.err, "depthdist: no base name of the depth files given (-dp)\n");
    ts::Result missing = depthdist({"-t", "t.types", "-dp", "q"}, p.d.path());
    EXPECT_EQ(missing.status, 2);
    EXPECT_NE(missing.err.find("q-residue.depth"), std::string::npos);
    ts::write_file(p.d / "q-residue.depth", "");
    ts::write_file(p.d / "q-atom.depth", "");
    ts::Result empty = depthdist({"-t", "t.types", "-dp", "q"}, p.d.path());
    EXPECT_EQ(empty.status, 2);  // not even a header line
    EXPECT_NE(empty.err.find("q-residue.depth"), std::string::npos);
    // The default types file is the shipped one: 167 types and the catch-all.
    p.run("A:1 ALA\n", "1 A:1 N 1.5 0\n");
    ts::Result shipped = depthdist({"-dp", "p"}, p.d.path());
    EXPECT_EQ(shipped.status, 0);
    EXPECT_EQ(ts::lines_of(shipped.out).size(), 168u);
}

TEST(DepthdistWalk, WhichAtomLinesPairWithWhichResidueLines) {
    struct Case {
        const char* what;
        std::string residues, atoms;
        int status;
        std::size_t atoms_read;  // the fourth values of the records sum to 1 over this many atoms
        std::string err = "";    // standard error of a run that succeeds
    } cases[] = {
        {"R1 R1 R2 R3", res3, "1 A:1 N 1 0\n2 A:1 CA 1 0\n3 A:2 CA 1 0\n4 A:3 CA 1 0\n", 0, 4},
        {"R1 R3", res3, "1 A:1 N 1 0\n2 A:3 CA 1 0\n3 A:3 N 1 0\n", 1, 0},
        {"R1 R2 R1", res3, "1 A:1 N 1 0\n2 A:2 CA 1 0\n3 A:1 CA 1 0\n", 1, 0},
        {"first residue without atoms", "A:0 GLY 1 1\n" + res3, "1 A:1 N 1 0\n2 A:2 CA 1 0\n", 0, 2},
        {"atoms after the last residue", "A:1 ALA\n", "1 A:1 N 1 0\n2 A:2 CA 1 0\n3 A:2 N 1 0\n\n", 0, 1,
         "p-atom.depth: warning: 2 atom lines after the last residue of p-residue.depth not read\n"},
        {"records across lines", "A:1\nALA\n", "1 A:1\nN 1 0 and more\n2\n\nA:1 CA 1\n0\n", 0, 2},
        {"keys compared case-sensitively", "a:1 ALA\nA:2 ALA\n", "1 A:1 N 1 0\n", 1, 0},
    };
    for (const auto& c : cases) {
        Depth p;
        ts::Result r = p.run(c.residues, c.atoms);
        EXPECT_EQ(r.status, c.status) << c.what << r.err;
        if (c.status != 0) {
            EXPECT_EQ(r.out, "") << c.what;
            EXPECT_EQ(r.err, " Strings for residues don't match for p-atom.depth\n") << c.what;
            continue;
        }
        EXPECT_EQ(r.err, c.err) << c.what;
        std::vector<double> v = numbers(r.out);
        ASSERT_EQ(v.size(), 16u) << c.what;
        double fractions = v[3] + v[7] + v[11] + v[15];
        EXPECT_EQ(fractions, 1.0) << c.what;
        EXPECT_EQ(v[1] + v[5] + v[9] + v[13], 0.0) << c.what;
        EXPECT_EQ(v[0] + v[4] + v[8] + v[12], static_cast<double>(c.atoms_read) / rt3(static_cast<double>(c.atoms_read)))
            << c.what;
    }
}

TEST(DepthdistStatistics, WorkedRecordsAndCatchAll) {
    Depth p;
    // One atom of type 2 (ALA CA) with depth 2 and second value 0.5, after header lines that
    // look like data.
    ts::Result one = p.run("A:1 ALA\n", "1 A:1 CA 2 0.5\n", "A:1 ALA 9 9\n", "1 A:1 N 9 9\n");
    ASSERT_EQ(one.status, 0) << one.err;
    EXPECT_EQ(numbers(one.out), (std::vector<double>{0, 0, 0, 0, 0.5, 0.5, 0.125, 1, 0, 0, 0, 0, 0, 0, 0, 0}));
    // Two atoms of type 1 with depths 1 and 2, second values 3 and 4.
    ts::Result two = p.run("A:7 ALA\n", "1 A:7 N 1 3\n2 A:7 N 2.0D0 4\n");
    ASSERT_EQ(two.status, 0) << two.err;
    const double c = rt3(2.0);
    std::vector<double> v = numbers(two.out);
    ASSERT_EQ(v.size(), 16u);
    EXPECT_EQ(std::vector<double>(v.begin(), v.begin() + 4), (std::vector<double>{1.5 / c, 7 / c, (1 + 1.0 / 8) / c, 1}));
    // An unlisted (residue, atom) pair is reported and counted under the catch-all type 4; a
    // negative second value is added like any other.
    ts::Result odd = p.run("A:1 ALA\nA:2 HOH\n", "1 A:1 OXT 4 -1\n2 A:2 O 4 -2\n3 A:2 CA 4 1\n");
    ASSERT_EQ(odd.status, 0) << odd.err;
    EXPECT_EQ(odd.err, " Unknown type ALA       OXT\n Unknown type HOH       O\n Unknown type HOH       CA\n");
    v = numbers(odd.out);
    const double c3 = rt3(3.0);
    EXPECT_EQ(std::vector<double>(v.begin() + 12, v.end()),
              (std::vector<double>{(0.25 + 0.25 + 0.25) / c3, -2 / c3, (1.0 / 64 + 1.0 / 64 + 1.0 / 64) / c3, 1}));
}

TEST(DepthdistStatistics, Stops) {
    struct Case {
        std::string residues, atoms;
        int status;
        std::string err;
    } cases[] = {
        {res3, "", 1, " Aborting, nres problem.\n"},
        {"", "1 A:1 N 1 0\n", 1, " Aborting, nres problem.\n"},
        {res3, "1 A:1 N 1 0\n2 A:1 CA 0 0\n3 A:1 CA -1 0\n", 1, " Aborting, weird distance 2 0.0000000000000000E+00\n"},
        {res3, "1 A:1 N 1 0\n2 A:1 CA abc 0\n", 2, "p-atom.depth:3: expected a number, found 'abc'\n"},
        {res3, "1 A:1 N 1 0\n2 A:1 CA\n", 2, "p-atom.depth"},  // the file ends inside a record
        {"A:1\n", "1 A:1 N 1 0\n", 2, "p-residue.depth"},
    };
    for (const auto& c : cases) {
        Depth p;
        ts::Result r = p.run(c.residues, c.atoms);
        EXPECT_EQ(r.status, c.status) << c.atoms;
        EXPECT_EQ(r.out, "");
        if (c.status == 1) {
            EXPECT_EQ(r.err, c.err);
        } else {
            EXPECT_NE(r.err.find(c.err), std::string::npos) << r.err;
        }
    }
}

// Every depth-file pair of the example set: the test reads the files and the shipped types
// itself, pairs atoms with residues, sums in atom order and compares every value to the bit.
TEST(DepthdistRealFiles, MatchSumsOverOwnReading) {
    std::map<std::pair<std::string, std::string>, std::size_t> typeno;
    {
        std::ifstream in(std::string(PROTNN_SOURCE_DIR) + "/data/aa_atom.types");
        std::string res, atom;
        std::size_t k = 0;
        while (in >> res >> atom) typeno[{res, atom}] = ++k;
    }
    const std::size_t na = typeno.size() + 1;
    ASSERT_EQ(na, 168u);
    std::string line;
    int samples = 0;
    for (const std::vector<std::string>& f : ts::manifest()) {
        const std::string sample = f[0], base = ts::examples("proteins/depth/" + sample);
        const std::string cases = f.size() > 22 ? f[22] : "";
        std::size_t tagged_unknown = 0;
        if (auto at = cases.find("depth_unknown_types="); at != std::string::npos) tagged_unknown = std::stoul(cases.substr(at + 20));

        std::vector<std::pair<std::string, std::string>> residues;  // key, name
        std::ifstream rin(base + "-residue.depth");
        std::getline(rin, line);
        while (std::getline(rin, line)) {
            std::istringstream ws(line);
            std::string key, name;
            ws >> key >> name;
            residues.push_back({key, name});
        }
        std::vector<double> s1(na, 0.0), s2(na, 0.0), s3(na, 0.0), cnt(na, 0.0);
        std::size_t n = 0, unknown = 0, cur = 0;
        std::ifstream ain(base + "-atom.depth");
        std::getline(ain, line);
        while (std::getline(ain, line)) {
            std::istringstream ws(line);
            std::string serial, key, atom, depth, second;
            ws >> serial >> key >> atom >> depth >> second;
            if (key != residues[cur].first) ++cur;
            ASSERT_LT(cur, residues.size()) << sample;
            ASSERT_EQ(key, residues[cur].first) << sample;
            auto it = typeno.find({residues[cur].second, atom});
            std::size_t k = it == typeno.end() ? na - 1 : it->second - 1;
            unknown += it == typeno.end();
            double d = std::strtod(depth.c_str(), nullptr);
            s1[k] += 1.0 / d;
            s2[k] += std::strtod(second.c_str(), nullptr);
            s3[k] += 1.0 / ((d * d) * d);
            cnt[k] += 1;
            ++n;
        }
        ASSERT_EQ(n, std::stoul(f[11])) << sample;
        EXPECT_EQ(unknown, tagged_unknown) << sample;

        ts::Result r = depthdist({"-dp", base});
        ASSERT_EQ(r.status, 0) << sample << r.err;
        EXPECT_EQ(ts::lines_of(r.err).size(), unknown) << sample;
        std::vector<std::string> out = ts::lines_of(r.out);
        ASSERT_EQ(out.size(), na) << sample;
        const double c = rt3(static_cast<double>(n));
        for (std::size_t k = 0; k < na; ++k) {
            EXPECT_EQ(numbers(out[k]), (std::vector<double>{s1[k] / c, s2[k] / c, s3[k] / c, cnt[k] / static_cast<double>(n)}))
                << sample << " record " << k + 1;
        }
        ++samples;
    }
    EXPECT_EQ(samples, 40);
}
