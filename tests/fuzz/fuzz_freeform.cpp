// Fuzz target: the free-form reader (textio/freeform.hpp) and the number writers it must
// round-trip with (textio/format.hpp).
//
// Input: byte 0 chooses the kinds of the items of each read (two bits per item: integer,
// real, text of 10 characters, text of 3600) and byte 1 how many items a read takes (1-6);
// the rest is the text, read with try_read until it ends, then again with read_line and
// try_read_reals.  Besides "no crash, no hang, only textio::Failure", it checks what the
// programs rely on:
// - every number accepted is the value the C library gives for the same digits;
// - every real written with 17 digits reads back with the same bits;
// - the fixed-column writers fill exactly their width.
// Reads no files and writes none.
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "textio/error.hpp"
#include "textio/format.hpp"
#include "textio/freeform.hpp"
#include "textio/source.hpp"
#include "tests/fuzz/fuzz_common.hpp"

namespace {

using fuzzing::broken;

bool same_bits(double a, double b) {
    if (std::isnan(a) && std::isnan(b)) return true;
    return std::memcmp(&a, &b, sizeof a) == 0;
}

// The real written with 17 digits reads back bit for bit; fixed-column fields keep their width.
void check_real(double v) {
    std::string s = textio::real17(v);
    double back = 0;
    if (!textio::parse_real(s, back) || !same_bits(back, v)) broken("real17 does not read back", s);
    struct Field {
        std::string text;
        int w;
    } fields[] = {{textio::fmt_f(v, 11, 4), 11}, {textio::fmt_d(v, 12, 4), 12}, {textio::fmt_d(v, 20, 6), 20},
                  {textio::fmt_e(v, 15, 7), 15}, {textio::fmt_g(v, 12, 4), 12}};
    for (const Field& f : fields)
        if (static_cast<int>(f.text.size()) != f.w) broken("field width", f.text + " for " + s);
}

// parse_real against the C library on the same digits (E or D exponent, NaN/Inf words).
void check_token(std::string_view tok) {
    double v = 0;
    if (textio::parse_real(tok, v)) {
        std::string c(tok);
        for (char& ch : c)
            if (ch == 'd' || ch == 'D') ch = 'e';
        char* end = nullptr;
        double ref = std::strtod(c.c_str(), &end);
        if (end != c.c_str() + c.size()) broken("parse_real accepted what strtod refuses", c);
        if (!same_bits(v, ref)) broken("parse_real differs from strtod", c);
        check_real(v);
    }
    std::int32_t i = 0;
    if (textio::parse_int32(tok, i)) {
        std::string c(tok);
        errno = 0;
        char* end = nullptr;
        long long ref = std::strtoll(c.c_str(), &end, 10);
        if (errno != 0 || end != c.c_str() + c.size() || ref != i) broken("parse_int32 differs from strtoll", c);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 2) return 0;
    unsigned kinds = data[0];
    std::size_t nitems = 1 + data[1] % 6;
    std::string text(reinterpret_cast<const char*>(data + 2), size - 2);

    // Tokens split at the reader's separators, for the number checks.
    std::size_t p = 0;
    while (p < text.size()) {
        std::size_t q = text.find_first_of(" \t,/\n\r'\"", p);
        if (q == std::string::npos) q = text.size();
        if (q > p && q - p < 400) check_token(std::string_view(text).substr(p, q - p));
        p = q + 1;
    }

    std::vector<std::int32_t> ints(nitems);
    std::vector<double> reals(nitems);
    std::vector<std::string> texts(nitems);
    std::vector<textio::Item> items;
    for (std::size_t k = 0; k < nitems; ++k) {
        switch ((kinds >> (2 * (k % 4))) & 3) {
        case 0: items.push_back(textio::Item::of(ints[k])); break;
        case 1: items.push_back(textio::Item::of(reals[k])); break;
        case 2: items.push_back(textio::Item::of(texts[k], 10)); break;
        default: items.push_back(textio::Item::of(texts[k], 3600)); break;
        }
    }

    textio::Source src = textio::Source::from_text("fuzz.txt", text);
    try {
        while (textio::try_read(src, items)) {
            for (std::size_t k = 0; k < nitems; ++k) {
                if (items[k].kind == textio::Item::real) check_real(reals[k]);
                if (items[k].kind == textio::Item::text && texts[k].size() > items[k].len)
                    broken("text longer than its length", texts[k]);
                if (!texts[k].empty() && texts[k].back() == ' ') broken("text keeps a trailing blank", texts[k]);
            }
        }
    } catch (const textio::Failure& f) {
        if (f.status() != textio::status_io) broken("reader error with status other than 2", f.what());
        if (std::strncmp(f.what(), "fuzz.txt", 8) != 0) broken("reader error does not name the source", f.what());
    }

    src.rewind();
    try {
        for (;;) {
            std::string line = textio::read_line(src, 3600, "a line");
            if (line.size() > 3600) broken("read_line longer than its length", line.substr(0, 80));
        }
    } catch (const textio::Failure&) {
    }

    src.rewind();
    try {
        std::vector<double> row(nitems);
        while (textio::try_read_reals(src, row))
            for (double v : row) check_real(v);
    } catch (const textio::Failure& f) {
        if (f.status() != textio::status_io) broken("reader error with status other than 2", f.what());
    }

    try {
        std::int32_t i = 0;
        textio::read_word(text.substr(0, 200), textio::Item::of(i), "value of -m");
    } catch (const textio::Failure&) {
    }
    return 0;
}
