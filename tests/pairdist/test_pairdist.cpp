// pairdist run as a user runs it: help and command line, types file, PDB reading edge cases,
// the worked pair values, and every real structure of the example set checked against a
// plain loop over coordinates that the test reads itself.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>

#include "generators/common/pdb.hpp"
#include "tests/support/numbers.hpp"
#include "tests/support/run.hpp"

namespace ts = testing_support;

namespace {

ts::Result pairdist(const std::vector<std::string>& args, const std::string& dir = "") {
    return ts::run("pairdist", args, dir);
}

std::string types_file() { return std::string(PROTNN_SOURCE_DIR) + "/data/amino_acids.types"; }

// One PDB ATOM/HETATM line; name is the 4-column atom name field (columns 13-16).
std::string pdbline(const char* rec, const char* name, const char* res, double x, double y, double z, char alt = ' ') {
    char buf[100];
    std::snprintf(buf, sizeof buf, "%-6s%5d %-4s%c%3s A%4d    %8.3f%8.3f%8.3f  1.00  0.00           C", rec, 1, name,
                  alt, res, 1, x, y, z);
    return std::string(buf) + "\n";
}

using testing_support::numbers;
using testing_support::rt3;

const std::string expected_help =
    " Distance matrix . Step 1+2\n"
    "  prints parmaters for distance to water\n"
    " Options:\n"
    "    Switch                      Description                       Default\n"
    "       -dp                          pdbfile                          NONE\n"
    "        -t                         typefile          TYPES\n"
    "        -h                  print_this_help\n"
    "\n"
    " Program to calculate inverse distance inputs to NN.\n";

std::string help_with(const std::string& depfl) {
    std::string shown = depfl.substr(0, 120);
    shown.resize(120, ' ');
    std::string h = expected_help;
    h.replace(h.find("TYPES"), 5, shown);
    return h;
}

}  // namespace

TEST(PairdistCommandLine, HelpTextInEveryCase) {
    ts::TempDir d;
    std::string longname(130, 'x');
    struct Case {
        std::vector<std::string> args;
        std::string shown;
    } cases[] = {
        {{}, "amino_acids.types"},
        {{"-h"}, "amino_acids.types"},
        {{"-t", "my.types", "-h"}, "my.types"},
        {{"-t", "my.types", "--help"}, "my.types"},
        {{"-h", "-t", "my.types"}, "amino_acids.types"},  // words after -h are never looked at
        {{"-dp", "-h"}, "amino_acids.types"},             // the value -h acts as a switch too
        {{"-t", "-h"}, "-h"},
        {{"junk", "-T", "-t", "a.types", "-t", "b.types", "-h"}, "b.types"},
        {{"-t", longname, "-h"}, longname},
    };
    for (const auto& c : cases) {
        ts::Result r = pairdist(c.args, d.path());
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.out, help_with(c.shown)) << c.args.size();
        EXPECT_EQ(r.err, "");
    }
}

TEST(PairdistCommandLine, VersionAndRunsWithoutStructure) {
    ts::TempDir d;
    ts::Result v = pairdist({"--version"});
    EXPECT_EQ(v.status, 0);
    EXPECT_EQ(v.out.rfind("pairdist ", 0), 0u);

    // Without -dp (or with -dp as the last word) nothing is read and the run is refused: a
    // status 0 without a table would pass for an empty result.
    ts::write_file(d / "my.types", "ALA\n");
    for (auto args : std::vector<std::vector<std::string>>{{"-t", "my.types"}, {"-t", "my.types", "-dp"}}) {
        ts::Result r = pairdist(args, d.path());
        EXPECT_EQ(r.status, 2);
        EXPECT_EQ(r.out, "");
        EXPECT_NE(r.err.find("-dp"), std::string::npos) << r.err;
    }
    ts::Result missing = pairdist({"-dp", "none.pdb", "-t", "none.types"}, d.path());
    EXPECT_EQ(missing.status, 2);
    EXPECT_NE(missing.err.find("none.types"), std::string::npos);  // the types file is read first
    ts::Result nopdb = pairdist({"-t", "my.types", "-dp", "none.pdb"}, d.path());
    EXPECT_EQ(nopdb.status, 2);
    EXPECT_NE(nopdb.err.find("none.pdb"), std::string::npos);
}

TEST(PairdistTypes, DefaultFileFoundBesideTheProgramOrInTheWorkingDirectory) {
    ts::TempDir d;
    ts::write_file(d / "s.pdb", pdbline("ATOM", " CB ", "ALA", 0, 0, 0) + pdbline("ATOM", " CA ", "GLY", 1, 0, 0));
    ts::Result shipped = pairdist({"-dp", "s.pdb"}, d.path());
    EXPECT_EQ(shipped.status, 0);
    EXPECT_EQ(ts::lines_of(shipped.out).size(), 441u);
    ts::write_file(d / "amino_acids.types", "GLY\n");
    ts::Result local = pairdist({"-dp", "s.pdb"}, d.path());
    EXPECT_EQ(ts::lines_of(local.out).size(), 4u);
    EXPECT_EQ(local.err, " Unknown type ALA\n");
}

TEST(PairdistTypes, CountsLookupAndCatchAll) {
    ts::TempDir d;
    // ALA before GLY at distance 2: one pair in cell (type of ALA, type of GLY).
    ts::write_file(d / "s.pdb", pdbline("ATOM", " CB ", "ALA", 0, 0, 0) + pdbline("ATOM", " CA ", "GLY", 0, 2, 0));
    const double t = rt3(2.0);
    struct Case {
        std::string types;
        std::size_t naatyp, ala, gly;  // expected type numbers
        std::string err;
    } cases[] = {
        {"ALA\nGLY\n", 3, 1, 2, ""},
        {"GLY\nALA\nGLY\n", 4, 2, 3, ""},                    // a name listed twice: the later line
        {"ALAN, more words\n \t\n\nGLYCINE\n", 3, 1, 2, ""},  // cut to 3; blank lines define nothing
        {"", 1, 1, 1, " Unknown type ALA\n Unknown type GLY\n"},
        {"GLY\n", 2, 2, 1, " Unknown type ALA\n"},
    };
    for (const auto& c : cases) {
        ts::write_file(d / "t.types", c.types);
        ts::Result r = pairdist({"-t", "t.types", "-dp", "s.pdb"}, d.path());
        ASSERT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(r.err, c.err);
        std::vector<double> v = numbers(r.out);
        ASSERT_EQ(v.size(), 3 * c.naatyp * c.naatyp) << c.types;
        std::size_t cell = ((c.ala - 1) * c.naatyp + (c.gly - 1)) * 3;
        for (std::size_t i = 0; i < v.size(); ++i) {
            double want = i == cell ? 0.5 / t : i == cell + 1 ? 0.125 / t : i == cell + 2 ? 0.5 : 0.0;
            EXPECT_EQ(v[i], want) << c.types << " value " << i;
        }
    }
}

TEST(PairdistStructure, WhichLinesAreTaken) {
    ts::TempDir d;
    std::string pdb = "HEADER    TEST\n" + pdbline("ATOM", " N  ", "GLY", 9, 9, 9) + pdbline("ATOM", " CA ", "GLY", 0, 0, 0) +
                      pdbline("ATOM", " CA ", "ALA", 9, 9, 8) + pdbline("ATOM", " CB ", "ALA", 3, 0, 0) +
                      pdbline("ATOM", "CB  ", "ALA", 9, 8, 8) +      // CB from column 13: not recognised
                      pdbline("HETATM", " CA ", "GLY", 9, 8, 9) +    // HETATM passed over
                      pdbline("ATOM", " CB ", "SER", 0, 4, 0, 'A') +  // two alternate locations count twice
                      pdbline("ATOM", " CB ", "SER", 0, 5, 0, 'B') + "TER\nEND\n";
    std::string big = pdbline("ATOM", " CB ", "ALA", 8, 8, 8);
    big.replace(0, 11, "ATOM100000 ");  // first word runs into the serial: passed over
    pdb += big;
    ts::write_file(d / "s.pdb", pdb);
    ts::write_file(d / "t.types", "GLY\nALA\nSER\n");
    ts::Result r = pairdist({"-t", "t.types", "-dp", "s.pdb"}, d.path());
    ASSERT_EQ(r.status, 0) << r.err;
    // Points: GLY (0,0,0), ALA (3,0,0), SER (0,4,0), SER (0,5,0).
    std::vector<double> v = numbers(r.out);
    ASSERT_EQ(v.size(), 48u);
    auto cell = [&](int a, int b) { return std::vector<double>(v.begin() + ((a - 1) * 4 + b - 1) * 3, v.begin() + ((a - 1) * 4 + b) * 3); };
    const double t = rt3(4.0);
    EXPECT_EQ(cell(1, 2), (std::vector<double>{(1.0 / 3) / t, (1.0 / 27) / t, 0.25}));
    EXPECT_EQ(cell(2, 1), (std::vector<double>{0, 0, 0}));  // the order of the file matters
    EXPECT_EQ(cell(3, 3), (std::vector<double>{1.0 / t, 1.0 / t, 0.25}));
    EXPECT_EQ(cell(1, 3), (std::vector<double>{(0.25 + 0.2) / t, (1.0 / 64 + 1.0 / 125) / t, 0.5}));
    EXPECT_EQ(cell(2, 3)[1], (1.0 / ((5.0 * 5.0) * 5.0) + 1.0 / ((std::sqrt(34.0) * std::sqrt(34.0)) * std::sqrt(34.0))) / t);
}

TEST(PairdistStructure, ColumnsImpliedDecimalsShortLinesAndCrlf) {
    ts::TempDir d;
    ts::write_file(d / "t.types", "ALA\n");
    // x as digits without a point (three implied decimals), y blank (0), z with an exponent;
    // the second line ends at column 54 with CRLF, the third is cut inside z (blank-filled).
    std::string l1 = "ATOM      1  CB  ALA A   1       1000           1.0E1\n";
    std::string l2 = "ATOM      2  CB  ALA A   2    -2000.      0.  10.000\r\n";
    std::string l3 = "ATOM      3  CB  ALA A   3      -1     0.5     3";
    ts::write_file(d / "s.pdb", l1 + l2 + l3);
    ts::Result r = pairdist({"-t", "t.types", "-dp", "s.pdb"}, d.path());
    ASSERT_EQ(r.status, 0) << r.err;
    // Points (1,0,10), (-2000,0,10), (-0.001,0.5,0.003).
    double p[3][3] = {{1, 0, 10}, {-2000, 0, 10}, {-0.001, 0.5, 0.003}};
    double s1 = 0, s3 = 0;
    for (int a = 0; a < 3; ++a)
        for (int b = a + 1; b < 3; ++b) {
            double dx = p[a][0] - p[b][0], dy = p[a][1] - p[b][1], dz = p[a][2] - p[b][2];
            double dd = std::sqrt((dx * dx + dy * dy) + dz * dz);
            s1 += 1.0 / dd;
            s3 += 1.0 / ((dd * dd) * dd);
        }
    std::vector<double> v = numbers(r.out);
    ASSERT_EQ(v.size(), 12u);
    EXPECT_EQ(v[0], s1 / rt3(3.0));
    EXPECT_EQ(v[1], s3 / rt3(3.0));
    EXPECT_EQ(v[2], 1.0);
}

TEST(PairdistStructure, StopsWithoutOutput) {
    ts::TempDir d;
    ts::write_file(d / "t.types", "ALA\nGLY\n");
    struct Case {
        std::string pdb;
        int status;
        std::string err;  // expected standard error, or a part of it
    } cases[] = {
        {"HEADER\n" + pdbline("HETATM", " CA ", "GLY", 0, 0, 0), 1, " No residues read from s.pdb\n"},
        {"", 1, " No residues read from s.pdb\n"},
        {pdbline("ATOM", " CB ", "ALA", 1, 2, 3) + pdbline("ATOM", " CA ", "GLY", 5, 5, 5) + pdbline("ATOM", " CB ", "ALA", 1, 2, 3),
         1, " Aborting, weird distance 1 3 0.0000000000000000E+00\n"},
        {pdbline("ATOM", " CB ", "ALA", 1, 2, 3) + "ATOM      2  CA  GLY A   2       1.000   2.x00   3.000\n", 2,
         "s.pdb:2: expected a number for y in columns 39-46, found '   2.x00'"},
        {"ATOM      2  N   GLY A   2       1.000  NUMBER   3.000\n", 2, "s.pdb:1:"},  // any ATOM line
    };
    for (const auto& c : cases) {
        ts::write_file(d / "s.pdb", c.pdb);
        ts::Result r = pairdist({"-t", "t.types", "-dp", "s.pdb"}, d.path());
        EXPECT_EQ(r.status, c.status) << c.pdb;
        EXPECT_EQ(r.out, "");
        EXPECT_NE(r.err.find(c.err), std::string::npos) << r.err;
    }
}

// Every structure of the example set: the points the test finds itself, the plain pair loop
// over them, and the program's table compared value for value, to the bit.
TEST(PairdistRealStructures, MatchPlainLoopOverOwnParse) {
    std::map<std::string, int> typeno;
    {
        std::ifstream in(types_file());
        std::string w;
        int k = 0;
        while (in >> w) typeno[w.substr(0, 3)] = ++k;
    }
    const std::size_t na = typeno.size() + 1;
    int samples = 0;
    for (const std::vector<std::string>& f : ts::manifest()) {
        const std::string sample = f[0];
        const std::size_t points = std::stoul(f[9]);
        const std::string path = ts::examples("proteins/structures/" + sample + ".pdb");

        std::vector<double> x, y, z;
        std::vector<std::size_t> ty;
        std::size_t unknown = 0;
        std::ifstream pdb(path);
        for (std::string l; std::getline(pdb, l);) {
            if (!l.empty() && l.back() == '\r') l.pop_back();
            std::istringstream ws(l);
            std::string first;
            if (!(ws >> first) || first != "ATOM") continue;
            l.resize(std::max<std::size_t>(l.size(), 54), ' ');
            std::string atom = l.substr(13, 3), res = l.substr(17, 3);
            while (!atom.empty() && atom.back() == ' ') atom.pop_back();
            if (atom != (res == "GLY" ? "CA" : "CB")) continue;
            x.push_back(std::strtod(l.substr(30, 8).c_str(), nullptr));
            y.push_back(std::strtod(l.substr(38, 8).c_str(), nullptr));
            z.push_back(std::strtod(l.substr(46, 8).c_str(), nullptr));
            auto it = typeno.find(res);
            ty.push_back(it == typeno.end() ? na : static_cast<std::size_t>(it->second));
            unknown += it == typeno.end();
        }
        ASSERT_EQ(x.size(), points) << sample;

        std::vector<double> s1(na * na, 0.0), s3(na * na, 0.0), cnt(na * na, 0.0);
        for (std::size_t r = 0; r < x.size(); ++r)
            for (std::size_t s = r + 1; s < x.size(); ++s) {
                double dx = x[r] - x[s], dy = y[r] - y[s], dz = z[r] - z[s];
                double dd = std::sqrt((dx * dx + dy * dy) + dz * dz);
                std::size_t c = (ty[r] - 1) * na + ty[s] - 1;
                s1[c] += 1.0 / dd;
                s3[c] += 1.0 / ((dd * dd) * dd);
                cnt[c] += 1;
            }
        ts::Result r = pairdist({"-dp", path});
        ASSERT_EQ(r.status, 0) << sample << r.err;
        EXPECT_EQ(ts::lines_of(r.err).size(), unknown) << sample;
        std::vector<std::string> out = ts::lines_of(r.out);
        ASSERT_EQ(out.size(), na * na) << sample;
        const double t = rt3(static_cast<double>(points));
        for (std::size_t c = 0; c < na * na; ++c) {
            std::vector<double> v = numbers(out[c]);
            ASSERT_EQ(v.size(), 3u);
            EXPECT_EQ(v[0], s1[c] / t) << sample << " line " << c + 1;
            EXPECT_EQ(v[1], s3[c] / t) << sample << " line " << c + 1;
            EXPECT_EQ(v[2], cnt[c] / static_cast<double>(points)) << sample << " line " << c + 1;
        }
        ++samples;
    }
    EXPECT_EQ(samples, 40);
}

// The memory limit of the control groups, read as the shared structure reader reads it (the
// gzip reader refuses a structure that would not fit under it): a made-up /proc/self and
// cgroup mounts in a temporary folder.  Slurm puts a job's limit on a group above the step's
// own, whose limit is then unset (v1: a huge number) or "max" (v2).
TEST(PdbReader, MemoryLimitOfTheControlGroups) {
    ts::TempDir d;
    auto put = [](const std::string& path, const std::string& text) {
        std::filesystem::create_directories(std::filesystem::path(path).parent_path());
        ts::write_file(path, text);
    };
    const std::string v1 = d / "memory", v2 = d / "unified";
    auto mounts = [&](const std::string& v1root) {
        put(d / "proc/mountinfo",
                       "31 23 0:28 / /sys/fs/cgroup rw,relatime - tmpfs tmpfs rw,mode=755\n"
                       "34 31 0:31 / " + d / "cpuset" + " rw,relatime - cgroup cgroup rw,cpuset\n"
                       "35 31 0:32 " + v1root + " " + v1 + " rw,relatime shared:9 - cgroup cgroup rw,memory\n"
                       "41 31 0:38 / " + v2 + " rw,relatime - cgroup2 cgroup2 rw\n");
    };
    put(d / "proc/cgroup", "5:cpuset:/job_7/step_0\n4:memory:/job_7/step_0\n0::/job_7/step_0\n");
    put(d / "cpuset/job_7/step_0/memory.limit_in_bytes", "1000\n");  // not the memory hierarchy
    put(v1 + "/job_7/step_0/memory.limit_in_bytes", "9223372036854771712\n");
    put(v1 + "/job_7/memory.limit_in_bytes", "3000000000\n");
    put(v2 + "/job_7/step_0/memory.max", "max\n");
    mounts("/");
    EXPECT_EQ(gen::cgroup_memory_limit(d / "proc"), 3000000000u);  // v1: the job's group
    put(v2 + "/job_7/memory.max", "2000000000\n");
    EXPECT_EQ(gen::cgroup_memory_limit(d / "proc"), 2000000000u);  // v2 beside it, lower
    // A mount that shows the hierarchy from /job_7 on (a container's view of its own group).
    std::filesystem::rename(v1 + "/job_7/step_0", v1 + "/step_0");
    put(v1 + "/step_0/memory.limit_in_bytes", "1500000000\n");
    mounts("/job_7");
    EXPECT_EQ(gen::cgroup_memory_limit(d / "proc"), 1500000000u);
    // No limit anywhere, and no /proc to read.
    put(d / "proc/cgroup", "0::/\n");
    EXPECT_EQ(gen::cgroup_memory_limit(d / "proc"), static_cast<std::size_t>(-1));
    EXPECT_EQ(gen::cgroup_memory_limit(d / "none"), static_cast<std::size_t>(-1));
    // This machine's own limit is never above what the shared reader takes as its limit.
    EXPECT_LE(gen::memory_limit(), gen::cgroup_memory_limit("/proc/self"));
}
