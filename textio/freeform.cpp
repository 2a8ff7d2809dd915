#include "textio/freeform.hpp"

#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <limits>

#include "textio/error.hpp"
#include "textio/text.hpp"

namespace textio {

namespace {

bool is_space(char c) { return c == ' ' || c == '\t'; }
bool ends_unquoted(char c) { return c == ' ' || c == '\t' || c == ',' || c == '/'; }
bool is_digit(char c) { return c >= '0' && c <= '9'; }

bool iequals(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        char x = a[i], y = b[i];
        if (x >= 'A' && x <= 'Z') x = static_cast<char>(x - 'A' + 'a');
        if (x != y) return false;
    }
    return true;
}

const char* kind_name(Item::Kind k) {
    switch (k) {
    case Item::integer: return "an integer";
    case Item::real: return "a number";
    default: return "a text";
    }
}

// One value of a read: the token text (quotes removed, doubled quotes still doubled) and
// whether it was quoted.
struct Token {
    std::string_view text;
    bool quoted = false;
    char quote = 0;
};

std::string unquote(const Token& t) {
    std::string s;
    s.reserve(t.text.size());
    for (std::size_t i = 0; i < t.text.size(); ++i) {
        s += t.text[i];
        if (t.text[i] == t.quote) ++i;  // a doubled quote stands for one
    }
    return s;
}

// The scanner shared by every free-form read.  assign(index, token) stores one value and
// throws on a malformed one.  Returns false at the end of the text before n values.
template <class Assign>
bool scan(Source& src, std::size_t n, Assign&& assign) {
    std::size_t idx = 0;
    std::string_view line;
    std::size_t p = 0;
    bool have_line = false;
    bool after_value = false;  // a value was read in this read
    bool comma_seen = false;   // a comma since the last value
    while (idx < n) {
        if (!have_line) {
            if (!src.next_line(line)) return false;
            p = 0;
            have_line = true;
        }
        while (p < line.size() && is_space(line[p])) ++p;
        if (p == line.size()) {
            have_line = false;
            continue;
        }
        char c = line[p];
        if (c == ',') {
            if (!after_value || comma_seen) src.error("empty item (a comma with no value before it)");
            comma_seen = true;
            ++p;
            continue;
        }
        if (c == '/') return true;

        // A repeat count: digits followed by '*'.
        std::size_t repeat = 1;
        std::size_t q = p;
        while (q < line.size() && is_digit(line[q])) ++q;
        if (q > p && q < line.size() && line[q] == '*') {
            std::int32_t r = 0;
            if (!parse_int32(line.substr(p, q - p), r) || r < 1)
                src.error("bad repeat count " + shown(line.substr(p, q - p)));
            repeat = static_cast<std::size_t>(r);
            p = q + 1;
            if (p == line.size() || ends_unquoted(line[p]))
                src.error("value missing after the repeat count " + shown(line.substr(0, p)));
        }

        Token tok;
        if (line[p] == '\'' || line[p] == '"') {
            char qc = line[p];
            std::size_t start = ++p;
            for (;;) {
                if (p >= line.size()) src.error("unterminated quoted text " + shown(line.substr(start - 1)));
                if (line[p] == qc) {
                    if (p + 1 < line.size() && line[p + 1] == qc) {
                        p += 2;
                        continue;
                    }
                    break;
                }
                ++p;
            }
            tok.text = line.substr(start, p - start);
            tok.quoted = true;
            tok.quote = qc;
            ++p;
            if (p < line.size() && !ends_unquoted(line[p]))
                src.error("expected a separator after quoted text, found " + shown(line.substr(p)));
        } else {
            std::size_t start = p;
            while (p < line.size() && !ends_unquoted(line[p])) ++p;
            tok.text = line.substr(start, p - start);
        }
        for (std::size_t r = 0; r < repeat && idx < n; ++r) assign(idx++, tok);
        after_value = true;
        comma_seen = false;
    }
    return true;
}

}  // namespace

bool parse_int32(std::string_view tok, std::int32_t& out) {
    std::size_t i = 0;
    if (!tok.empty() && (tok[0] == '+' || tok[0] == '-')) i = 1;
    if (i == tok.size()) return false;
    for (std::size_t j = i; j < tok.size(); ++j)
        if (!is_digit(tok[j])) return false;
    const char* b = tok.data() + (tok[0] == '+' ? 1 : 0);
    std::int32_t v = 0;
    auto [ptr, ec] = std::from_chars(b, tok.data() + tok.size(), v);
    if (ec != std::errc() || ptr != tok.data() + tok.size()) return false;
    out = v;
    return true;
}

bool parse_real(std::string_view tok, double& out) {
    std::size_t i = 0;
    bool neg = false;
    if (!tok.empty() && (tok[0] == '+' || tok[0] == '-')) {
        neg = tok[0] == '-';
        i = 1;
    }
    std::string_view body = tok.substr(i);
    if (iequals(body, "nan")) {
        out = std::numeric_limits<double>::quiet_NaN();
        return true;
    }
    if (iequals(body, "inf") || iequals(body, "infinity")) {
        out = neg ? -std::numeric_limits<double>::infinity() : std::numeric_limits<double>::infinity();
        return true;
    }
    // [digits][.digits] with at least one digit, then an optional exponent (E|D)[sign]digits.
    std::size_t digits = 0;
    while (i < tok.size() && is_digit(tok[i])) ++i, ++digits;
    if (i < tok.size() && tok[i] == '.') {
        ++i;
        while (i < tok.size() && is_digit(tok[i])) ++i, ++digits;
    }
    if (digits == 0) return false;
    std::size_t exp_at = std::string_view::npos;
    if (i < tok.size() && (tok[i] == 'E' || tok[i] == 'e' || tok[i] == 'D' || tok[i] == 'd')) {
        exp_at = i++;
        if (i < tok.size() && (tok[i] == '+' || tok[i] == '-')) ++i;
        std::size_t ed = 0;
        while (i < tok.size() && is_digit(tok[i])) ++i, ++ed;
        if (ed == 0) return false;
    }
    if (i != tok.size()) return false;

    // from_chars takes no '+' and no 'D': hand it a copy where needed.
    std::size_t from = tok[0] == '+' ? 1 : 0;
    char small[80];
    std::string big;
    const char* b = tok.data() + from;
    std::size_t len = tok.size() - from;
    if (exp_at != std::string_view::npos && (tok[exp_at] == 'D' || tok[exp_at] == 'd')) {
        char* dst = small;
        if (len >= sizeof small) {
            big.assign(b, len);
            dst = big.data();
        } else {
            std::copy(b, b + len, small);
        }
        dst[exp_at - from] = 'e';
        b = dst;
    }
    double v = 0;
    auto [ptr, ec] = std::from_chars(b, b + len, v, std::chars_format::general);
    if (ec == std::errc::result_out_of_range) {
        // Overflow is an error; underflow gives the nearest subnormal or zero.
        std::string copy(b, len);
        errno = 0;
        v = std::strtod(copy.c_str(), nullptr);
        if (std::isinf(v)) return false;
    } else if (ec != std::errc() || ptr != b + len) {
        return false;
    }
    out = v;
    return true;
}

bool try_read(Source& src, std::span<const Item> items) {
    return scan(src, items.size(), [&](std::size_t k, const Token& t) {
        const Item& it = items[k];
        switch (it.kind) {
        case Item::integer:
            if (t.quoted || !parse_int32(t.text, *static_cast<std::int32_t*>(it.target)))
                src.error(std::string("expected ") + kind_name(it.kind) + ", found " + shown(t.text));
            break;
        case Item::real:
            if (t.quoted || !parse_real(t.text, *static_cast<double*>(it.target)))
                src.error(std::string("expected ") + kind_name(it.kind) + ", found " + shown(t.text));
            break;
        case Item::text:
            *static_cast<std::string*>(it.target) = fixtext(t.quoted ? unquote(t) : std::string(t.text), it.len);
            break;
        }
    });
}

void read(Source& src, std::span<const Item> items, const std::string& expected) {
    if (!try_read(src, items)) src.eof_error(expected);
}

bool try_read_reals(Source& src, std::span<double> out) {
    return scan(src, out.size(), [&](std::size_t k, const Token& t) {
        if (t.quoted || !parse_real(t.text, out[k])) src.error("expected a number, found " + shown(t.text));
    });
}

bool try_read_word(Source& src, std::string& out, std::size_t len) {
    std::string_view line;
    while (src.next_line(line)) {
        std::size_t p = 0;
        while (p < line.size() && is_space(line[p])) ++p;
        if (p == line.size()) continue;
        if (line[p] == ',') src.error("empty item (a comma with no value before it)");
        if (line[p] == '\'' || line[p] == '"') {
            // The free-form scanner handles quotes; a slash inside them is text anyway.
            Source one = Source::from_text(src.where(), std::string(line.substr(p)));
            std::string word;
            read(one, {Item::of(word, len)}, "a quoted text");
            out = word;
            return true;
        }
        std::size_t q = p;
        while (q < line.size() && !is_space(line[q]) && line[q] != ',') ++q;
        out = fixtext(line.substr(p, q - p), len);
        return true;
    }
    return false;
}

std::string read_line(Source& src, std::size_t len, const std::string& expected) {
    std::string_view line;
    if (!src.next_line(line)) src.eof_error(expected);
    return fixtext(line, len);
}

void read_word(std::string_view word, Item item, const std::string& what) {
    // The whole word is the number: a free-form read would take "0,01" as 0 and "1000 junk"
    // as 1000 and drop the rest without a word.
    std::size_t b = 0, e = word.size();
    while (b < e && is_space(word[b])) ++b;
    while (e > b && is_space(word[e - 1])) --e;
    const std::string_view tok = word.substr(b, e - b);
    bool ok = false;
    switch (item.kind) {
    case Item::integer: ok = parse_int32(tok, *static_cast<std::int32_t*>(item.target)); break;
    case Item::real: ok = parse_real(tok, *static_cast<double*>(item.target)); break;
    case Item::text: *static_cast<std::string*>(item.target) = fixtext(tok, item.len); return;
    }
    if (!ok)
        fail(status_io, what + ": expected " + kind_name(item.kind) + ", found " +
                            (tok.empty() ? std::string("nothing") : shown(word)));
}

}  // namespace textio
