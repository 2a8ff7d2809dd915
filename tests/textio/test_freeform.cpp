// Free-form reading: separators, quotes, slashes, continuation over lines, repeats, number
// forms, end of file, and malformed input that must stop with a clear message.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>

#include "textio/error.hpp"
#include "textio/freeform.hpp"

using namespace textio;

namespace {

Source text(const std::string& s) { return Source::from_text("in.txt", s); }

// The message of the Failure that f throws, or "" when it throws none.
template <class F>
std::string failure_of(F&& f, int* status = nullptr) {
    try {
        f();
    } catch (const Failure& e) {
        if (status) *status = e.status();
        return e.what();
    }
    return "";
}

}  // namespace

TEST(FreeForm, SeparatorsQuotesAndTypes) {
    Source s = text("  12,\t-3.5D2 , 'a b/c', \"it\"\"s\"\tword/x 9\n");
    std::int32_t i = 0;
    double r = 0;
    std::string q1, q2, w, after = "kept";
    ASSERT_TRUE(try_read(s, {Item::of(i), Item::of(r), Item::of(q1, 100), Item::of(q2, 100), Item::of(w, 100),
                             Item::of(after, 100)}));
    EXPECT_EQ(i, 12);
    EXPECT_EQ(r, -350.0);
    EXPECT_EQ(q1, "a b/c");
    EXPECT_EQ(q2, "it\"s");
    EXPECT_EQ(w, "word");  // an unquoted text ends at the slash, which then ends the read
    EXPECT_EQ(after, "kept");
}

TEST(FreeForm, ReadsContinueOverLinesAndDropTheRestOfTheLastLine) {
    Source s = text("1 2\n\n   \n3 4 5\n6\n");
    double a[3];
    ASSERT_TRUE(try_read_reals(s, a));
    EXPECT_EQ(a[0], 1);
    EXPECT_EQ(a[1], 2);
    EXPECT_EQ(a[2], 3);
    ASSERT_TRUE(try_read_reals(s, std::span<double>(a, 1)));  // the next read starts on the next line
    EXPECT_EQ(a[0], 6);
    EXPECT_FALSE(try_read_reals(s, std::span<double>(a, 1)));
}

TEST(FreeForm, CommaRulesAndRepeats) {
    Source s = text("1 ,2,\n  ,3\n");  // a comma at a line end, and one opening the next line after it, is too many
    double a[3];
    std::string msg = failure_of([&] { try_read_reals(s, a); });
    EXPECT_NE(msg.find("in.txt:2: empty item"), std::string::npos) << msg;

    Source t = text("1,2,\n3\n3*7.5 2*'x y' 1\n");
    ASSERT_TRUE(try_read_reals(t, a));
    EXPECT_EQ(a[2], 3);
    double b[3];
    std::string x, y;
    std::int32_t one = 0;
    ASSERT_TRUE(try_read_reals(t, b));
    EXPECT_EQ(b[0], 7.5);
    EXPECT_EQ(b[2], 7.5);
    Source u = text("2*'x y' 1\n");
    ASSERT_TRUE(try_read(u, {Item::of(x, 10), Item::of(y, 10), Item::of(one)}));
    EXPECT_EQ(x, "x y");
    EXPECT_EQ(y, "x y");
    EXPECT_EQ(one, 1);
}

TEST(FreeForm, CarriageReturnsBeforeLineEndsAreDropped) {
    Source lf = text("a b\n1.5 2\n");
    Source crlf = text("a b\r\n1.5 2\r\n");
    for (Source* s : {&lf, &crlf}) {
        std::string l = read_line(*s, 3600, "a line");
        EXPECT_EQ(l, "a b");
        double v[2];
        ASSERT_TRUE(try_read_reals(*s, v));
        EXPECT_EQ(v[1], 2.0);
    }
}

TEST(FreeForm, TextsAreCutToTheirLengthAndLoseTrailingBlanks) {
    Source s = text("'  ab   ' abcdefghijkl\n");
    std::string a, b;
    ASSERT_TRUE(try_read(s, {Item::of(a, 10), Item::of(b, 5)}));
    EXPECT_EQ(a, "  ab");
    EXPECT_EQ(b, "abcde");
}

TEST(FreeForm, NumberForms) {
    struct Case {
        const char* tok;
        bool ok;
        double v;
    } cases[] = {
        {"1", true, 1},           {"-0.5", true, -0.5},   {"+.25", true, 0.25},    {"5.", true, 5},
        {"1.5D-3", true, 1.5e-3}, {"2d2", true, 200},      {"1E+2", true, 100},     {"1e400", false, 0},
        {"1e-400", true, 0},      {".", false, 0},         {"1.5x", false, 0},      {"e5", false, 0},
        {"1e", false, 0},         {"--1", false, 0},       {"0x10", false, 0},      {"1,5", false, 0},
    };
    for (const Case& c : cases) {
        double v = -1;
        EXPECT_EQ(parse_real(c.tok, v), c.ok) << c.tok;
        if (c.ok) {
            EXPECT_EQ(v, c.v) << c.tok;
        }
    }
    double v = 0;
    EXPECT_TRUE(parse_real("NaN", v) && std::isnan(v));
    EXPECT_TRUE(parse_real("-Infinity", v) && v == -std::numeric_limits<double>::infinity());

    std::int32_t i = 0;
    EXPECT_TRUE(parse_int32("2147483647", i) && i == 2147483647);
    EXPECT_TRUE(parse_int32("-2147483648", i) && i == std::numeric_limits<std::int32_t>::min());
    EXPECT_TRUE(parse_int32("+7", i) && i == 7);
    EXPECT_FALSE(parse_int32("2147483648", i));  // out of range is an error, not a wrap
    EXPECT_FALSE(parse_int32("1.0", i));
    EXPECT_FALSE(parse_int32("1e3", i));
    EXPECT_FALSE(parse_int32("", i));
    EXPECT_FALSE(parse_int32("-", i));
}

TEST(FreeForm, MalformedInputStopsWithFileLineAndText) {
    struct Case {
        std::string input;
        std::string expect;  // part of the message
    } cases[] = {
        {"1 'abc\n", "in.txt:1: unterminated quoted text"},
        {"3*\n", "in.txt:1: value missing after the repeat count"},
        {"3* 4\n", "value missing after the repeat count"},
        {"0*4\n", "bad repeat count"},
        {"1 2x\n", "in.txt:1: expected a number, found '2x'"},
        {"1\n2\nab\n", "in.txt:3: expected a number, found 'ab'"},
        {std::string("1 2\0003\n", 6), "expected a number, found '2\\x003'"},
        {"'a'b 1\n", "expected a separator after quoted text"},
        {"," , "empty item"},
        {std::string(5000, '7') + "x\n", "expected a number, found '7777"},
    };
    for (const Case& c : cases) {
        Source s = text(c.input);
        double a[3];
        int status = 0;
        std::string msg = failure_of([&] { try_read_reals(s, a); }, &status);
        EXPECT_NE(msg.find(c.expect), std::string::npos) << "input " << c.input.substr(0, 20) << " gave: " << msg;
        EXPECT_EQ(status, status_io);
        EXPECT_LT(msg.size(), 200u);  // long offending texts are shortened
    }
}

TEST(FreeForm, EndOfFileIsReportedOrAnError) {
    Source s = text("1 2\n");
    double a[3];
    EXPECT_FALSE(try_read_reals(s, a));
    Source t = text("1 2\n");
    std::int32_t i = 0, j = 0, k = 0;
    std::string msg = failure_of([&] { read(t, {Item::of(i), Item::of(j), Item::of(k)}, "three counts"); });
    EXPECT_EQ(msg, "in.txt: unexpected end of file after line 1, expected three counts");
    Source e = text("");
    msg = failure_of([&] { read_line(e, 10, "the directory"); });
    EXPECT_EQ(msg, "in.txt: unexpected end of file (the file is empty), expected the directory");
}

TEST(FreeForm, WholeLinesAreCut) {
    Source s = text(std::string(4000, 'x') + "\nlast");
    EXPECT_EQ(read_line(s, 3600, "a line").size(), 3600u);
    EXPECT_EQ(read_line(s, 3600, "a line"), "last");  // a last line without a line end counts
}

TEST(FreeForm, CommandLineWords) {
    std::int32_t m = 1000;
    read_word("50", Item::of(m), "value of -m");
    EXPECT_EQ(m, 50);
    read_word(" 60\t", Item::of(m), "value of -m");  // blanks around the number are no part of it
    EXPECT_EQ(m, 60);
    EXPECT_EQ(failure_of([&] { read_word("5.5", Item::of(m), "value of -m"); }),
              "value of -m: expected an integer, found '5.5'");
    EXPECT_EQ(failure_of([&] { read_word("", Item::of(m), "value of -m"); }),
              "value of -m: expected an integer, found nothing");
    // A word is one number or an error: no free-form reading of its first item.
    for (const char* w : {"1,000", "1000 junk", "7,9", "/", "'5'", "2*5", "5/", "1e3"})
        EXPECT_EQ(failure_of([&] { read_word(w, Item::of(m), "value of -m"); }),
                  std::string("value of -m: expected an integer, found '") + w + "'");
    EXPECT_EQ(m, 60);
    double u = 0.5;
    read_word("1.5D-3", Item::of(u), "value of -u");
    EXPECT_EQ(u, 1.5e-3);
    read_word("2E1", Item::of(u), "value of -u");
    EXPECT_EQ(u, 20.0);
    for (const char* w : {"0,01", "0.01 0.02", "0.01x", "1E", "1e309"})
        EXPECT_EQ(failure_of([&] { read_word(w, Item::of(u), "value of -u"); }),
                  std::string("value of -u: expected a number, found '") + w + "'");
}

TEST(FreeForm, FirstWordsOfListLines) {
    Source s = text("\n   dir/w1.wei  rest\nw2.wei,x\n'a b/c.wei'\n\t\n");
    std::string w;
    ASSERT_TRUE(try_read_word(s, w, 3600));
    EXPECT_EQ(w, "dir/w1.wei");  // a slash is part of a word here
    ASSERT_TRUE(try_read_word(s, w, 3600));
    EXPECT_EQ(w, "w2.wei");
    ASSERT_TRUE(try_read_word(s, w, 3600));
    EXPECT_EQ(w, "a b/c.wei");
    EXPECT_FALSE(try_read_word(s, w, 3600));
}
