// Writers: free-form lines, 17-digit reals that read back to the same bits, and the
// fixed-column edit descriptors with their overflow and NaN rules.
#include <gtest/gtest.h>

#include <clocale>
#include <cmath>
#include <cstring>
#include <limits>
#include <random>

#include "textio/format.hpp"
#include "textio/freeform.hpp"

using namespace textio;

TEST(Format, RealsKeepSeventeenDigitsAndReadBackBitIdentical) {
    EXPECT_EQ(real17(0.5), "5.0000000000000000E-01");
    EXPECT_EQ(real17(-0.1), "-1.0000000000000001E-01");
    EXPECT_EQ(real17(0.0), "0.0000000000000000E+00");
    EXPECT_EQ(real17(std::nan("")), "NaN");
    std::mt19937_64 g(7);
    for (int n = 0; n < 20000; ++n) {
        std::uint64_t bits = g();
        double v;
        std::memcpy(&v, &bits, sizeof v);
        if (std::isnan(v)) continue;
        double back = 0;
        ASSERT_TRUE(parse_real(real17(v), back)) << real17(v);
        ASSERT_EQ(std::memcmp(&v, &back, sizeof v), 0) << real17(v);
    }
}

TEST(Format, FreeLines) {
    EXPECT_EQ(free_line("Aborting, didnt recognize ", "-5"), " Aborting, didnt recognize -5");
    EXPECT_EQ(free_line("Something wrong with database (nip/nop), aborting.", 0, 3),
              " Something wrong with database (nip/nop), aborting. 0 3");
    EXPECT_EQ(free_line("Options: ", "-l", "x.db"), " Options: -lx.db");
    EXPECT_EQ(free_line(3, 5, 0.2), " 3 5 2.0000000000000001E-01");
}

TEST(Format, EditDescriptors) {
    EXPECT_EQ(fmt_a("Switch", 10), "    Switch");
    EXPECT_EQ(fmt_a("abcdefghijkl", 5), "abcde");
    EXPECT_EQ(fmt_a("", 4), "    ");
    EXPECT_EQ(fmt_i(250, 6, 6), "000250");
    EXPECT_EQ(fmt_i(12345678, 11, 11), "00012345678");
    EXPECT_EQ(fmt_i(-5, 11, 11), "***********");
    EXPECT_EQ(fmt_i(1234567, 6, 6), "******");
    EXPECT_EQ(fmt_i(-42, 10), "       -42");
    EXPECT_EQ(fmt_f(0.25, 11, 4), "     0.2500");
    EXPECT_EQ(fmt_f(123456789.0, 11, 4), "***********");
    EXPECT_EQ(fmt_f(std::nan(""), 11, 4), "        NaN");
    EXPECT_EQ(fmt_f(0.5, 5, 4), ".5000");  // the leading zero goes when it does not fit
    EXPECT_EQ(fmt_d(0.05, 20, 6), "        0.500000D-01");
    EXPECT_EQ(fmt_d(static_cast<double>(0.2f), 20, 6), "        0.200000D+00");
    EXPECT_EQ(fmt_d(static_cast<double>(0.001f), 20, 6), "        0.100000D-02");
    EXPECT_EQ(fmt_d(0.5, 12, 4), "  0.5000D+00");
    EXPECT_EQ(fmt_d(-0.5, 12, 4), " -0.5000D+00");
    EXPECT_EQ(fmt_d(0.0, 12, 4), "  0.0000D+00");
    EXPECT_EQ(fmt_d(20.0, 12, 4), "  0.2000D+02");
    EXPECT_EQ(fmt_d(1e-120, 12, 4), "  0.1000-119");
    EXPECT_EQ(fmt_d(std::nan(""), 12, 4), "         NaN");
    EXPECT_EQ(fmt_d(std::numeric_limits<double>::infinity(), 12, 4), "    Infinity");
}

TEST(Format, GeneralForm) {
    EXPECT_EQ(fmt_g(0.5, 12, 4), "  0.5000    ");
    EXPECT_EQ(fmt_g(1.5, 12, 4), "   1.500    ");
    EXPECT_EQ(fmt_g(0.0, 12, 4), "   0.000    ");
    EXPECT_EQ(fmt_g(-0.25, 12, 4), " -0.2500    ");
    EXPECT_EQ(fmt_g(1234.0, 12, 4), "   1234.    ");
    EXPECT_EQ(fmt_g(0.099996, 12, 4), "  0.1000    ");  // rounds into the fixed range
    EXPECT_EQ(fmt_g(9999.6, 12, 4), "  0.1000E+05");  // rounds out of it
    EXPECT_EQ(fmt_g(0.05, 12, 4), "  0.5000E-01");
    EXPECT_EQ(fmt_g(-123456.0, 12, 4), " -0.1235E+06");
    EXPECT_EQ(fmt_g(std::nan(""), 12, 4), "         NaN");
}

TEST(Format, WritersIgnoreTheLocale) {
    // A locale with a decimal comma, where one is installed; the writers must not care.
    const char* names[] = {"de_DE.UTF-8", "de_DE.utf8", "fr_FR.UTF-8", "C.UTF-8"};
    std::string before = real17(0.5) + fmt_f(0.5, 8, 3) + fmt_d(0.5, 12, 4) + fmt_g(1.5, 12, 4);
    for (const char* n : names) {
        if (!std::setlocale(LC_ALL, n)) continue;
        std::string after = real17(0.5) + fmt_f(0.5, 8, 3) + fmt_d(0.5, 12, 4) + fmt_g(1.5, 12, 4);
        double back = 0;
        EXPECT_TRUE(parse_real("0.5", back));
        EXPECT_EQ(back, 0.5);
        std::setlocale(LC_ALL, "C");
        EXPECT_EQ(before, after) << n;
    }
}
