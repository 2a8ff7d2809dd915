// The fast pair loop against a plain loop written here, bit for bit, with every version of
// the loop that this machine runs forced in turn; and its stop on coincident residues.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <random>

#include "generators/pairdist/pairdist.hpp"
#include "textio/error.hpp"

namespace {

using pairdist::Isa;

const Isa all_isas[] = {Isa::plain, Isa::sse2, Isa::avx, Isa::avx512, Isa::best};

// n residues of naatyp-1 listed types and the catch-all, coordinates on the 0.001 grid of a
// PDB file, spread like a protein of that size.  skewed: seven residues in ten are of type 2
// (long runs of one type beside short and empty ones).
pairdist::Temp structure(std::size_t n, int naatyp, unsigned seed, bool skewed = false) {
    pairdist::Temp t;
    t.naatyp = naatyp;
    std::mt19937 g(seed);
    std::uniform_int_distribution<int> coord(-60000, 60000), type(1, naatyp);
    for (std::size_t r = 0; r < n; ++r) {
        for (int c = 0; c < 3; ++c) t.pdat.push_back(coord(g) / 1000.0);
        t.iaa.push_back(skewed && g() % 10 < 7 ? 2 : type(g));
    }
    t.nres = static_cast<std::int64_t>(n);
    t.ipo = 1;
    return t;
}

void reference(const pairdist::Temp& t, pairdist::Sums& s) {
    const std::size_t na = static_cast<std::size_t>(t.naatyp);
    s.s1.assign(na * na, 0.0);
    s.s3.assign(na * na, 0.0);
    s.cnt.assign(na * na, 0);
    const std::vector<double>& p = t.pdat;
    for (std::size_t r = 0; r < t.iaa.size(); ++r)
        for (std::size_t q = r + 1; q < t.iaa.size(); ++q) {
            double d = std::sqrt(((p[3 * r] - p[3 * q]) * (p[3 * r] - p[3 * q]) + (p[3 * r + 1] - p[3 * q + 1]) * (p[3 * r + 1] - p[3 * q + 1])) +
                                 (p[3 * r + 2] - p[3 * q + 2]) * (p[3 * r + 2] - p[3 * q + 2]));
            std::size_t c = static_cast<std::size_t>(t.iaa[r] - 1) * na + static_cast<std::size_t>(t.iaa[q] - 1);
            s.s1[c] += 1.0 / d;
            s.s3[c] += 1.0 / ((d * d) * d);
            s.cnt[c] += 1;
        }
}

bool same_bits(const std::vector<double>& a, const std::vector<double>& b) {
    return a.size() == b.size() && std::memcmp(a.data(), b.data(), a.size() * sizeof(double)) == 0;
}

}  // namespace

TEST(PairLoop, EveryVersionGivesThePlainLoopsBits) {
    // Sizes around the vector widths and the block of 512 residues; 1 residue has no pairs.
    for (std::size_t n : {1, 2, 3, 5, 9, 17, 511, 512, 513, 1030, 2500, 2501}) {
        pairdist::Temp t = structure(n, n % 2 ? 21 : 3, static_cast<unsigned>(n), n > 2500);
        pairdist::Sums want;
        reference(t, want);
        for (Isa isa : all_isas) {
            if (!pairdist::isa_supported(isa)) {
                std::printf("version %s not supported here, skipped\n", pairdist::isa_name(isa));
                continue;
            }
            pairdist::Sums got;
            pairdist::pairsums(t, isa, got);
            EXPECT_TRUE(same_bits(got.s1, want.s1)) << pairdist::isa_name(isa) << " n=" << n;
            EXPECT_TRUE(same_bits(got.s3, want.s3)) << pairdist::isa_name(isa) << " n=" << n;
            EXPECT_EQ(got.cnt, want.cnt) << pairdist::isa_name(isa) << " n=" << n;
        }
    }
}

TEST(PairLoop, CoincidentResiduesStopAtTheFirstPairInLoopOrder) {
    // Residue 700 repeats residue 3 (inside a vector and in a later block) and residue 1000
    // repeats residue 700: the first pair met is (3, 700).
    pairdist::Temp t = structure(1200, 21, 7);
    for (int c = 0; c < 3; ++c) {
        t.pdat[3 * 699 + c] = t.pdat[3 * 2 + c];
        t.pdat[3 * 999 + c] = t.pdat[3 * 2 + c];
    }
    // A coordinate that is not a number makes every distance to its residue not a number.
    pairdist::Temp u = structure(40, 21, 8);
    u.pdat[3 * 29 + 1] = std::nan("");
    for (Isa isa : all_isas) {
        if (!pairdist::isa_supported(isa)) continue;
        for (auto [st, msg] : {std::pair{&t, " Aborting, weird distance 3 700 0.0000000000000000E+00"},
                               std::pair{&u, " Aborting, weird distance 1 30 NaN"}}) {
            pairdist::Sums s;
            try {
                pairdist::pairsums(*st, isa, s);
                ADD_FAILURE() << pairdist::isa_name(isa) << " did not stop";
            } catch (const textio::Failure& f) {
                EXPECT_EQ(f.status(), 1);
                EXPECT_STREQ(f.what(), msg) << pairdist::isa_name(isa);
            }
        }
    }
}

TEST(PairLoop, FieldsReadAsF83) {
    struct Case {
        const char* field;
        double v;
    } good[] = {{"  12.345", 12.345}, {"   12345", 12.345}, {"      -5", -0.005}, {"        ", 0.0},
                {"-100.678", -100.678}, {" 1 2.5  ", 12.5}, {"  1.5E+1", 15.0},  {"   15D-1", 0.0015},
                {"   1.5+2", 150.0},  {"     +.5", 0.5}};
    for (const auto& c : good) {
        double v = -1;
        EXPECT_TRUE(pairdist::readf83(c.field, v)) << c.field;
        EXPECT_EQ(v, c.v) << c.field;
    }
    for (const char* bad : {"  12.3.4", "     abc", "   1.0E ", "    -   ", "  1,000 ", "    .   "}) {
        double v = 0;
        EXPECT_FALSE(pairdist::readf83(bad, v)) << bad;
    }
}
