#include "textio/format.hpp"

#include <charconv>
#include <cmath>
#include <cstdlib>

namespace textio {

namespace {

std::string stars(int w) { return std::string(static_cast<std::size_t>(w > 0 ? w : 0), '*'); }

std::string right(const std::string& s, int w) {
    if (static_cast<int>(s.size()) > w) return stars(w);
    return std::string(static_cast<std::size_t>(w) - s.size(), ' ') + s;
}

// NaN and infinities, right-justified; empty when v is finite.
std::string special(double v, int w) {
    if (std::isnan(v)) return w >= 3 ? right("NaN", w) : stars(w);
    if (std::isinf(v)) {
        std::string sign = v < 0 ? "-" : "";
        if (w >= static_cast<int>(sign.size()) + 8) return right(sign + "Infinity", w);
        if (w >= static_cast<int>(sign.size()) + 3) return right(sign + "Inf", w);
        return stars(w);
    }
    return {};
}

// |v| rounded to d significant digits: the digits and the decimal exponent e with
// value = 0.digits * 10^e.  Zero gives d zeros and e = 0.
void sig_digits(double v, int d, std::string& digits, int& e) {
    v = std::fabs(v);
    if (v == 0) {
        digits.assign(static_cast<std::size_t>(d), '0');
        e = 0;
        return;
    }
    char buf[64];
    auto r = std::to_chars(buf, buf + sizeof buf, v, std::chars_format::scientific, d - 1);
    std::string s(buf, r.ptr);  // d.ddde+XX
    std::size_t epos = s.find('e');
    digits = s.substr(0, 1) + (d > 1 ? s.substr(2, epos - 2) : "");
    e = std::atoi(s.c_str() + epos + 1) + 1;
}

std::string exp_form(double v, int w, int d, char letter) {
    std::string sp = special(v, w);
    if (!sp.empty()) return sp;
    std::string digits;
    int e = 0;
    sig_digits(v, d, digits, e);
    std::string s = std::signbit(v) && v != 0 ? "-" : "";
    s += "0." + digits;
    int ae = std::abs(e);
    std::string ed = std::to_string(ae);
    if (ae <= 99) {
        s += letter;
        s += e < 0 ? '-' : '+';
        s += std::string(2 - ed.size(), '0') + ed;
    } else if (ae <= 999) {
        s += e < 0 ? '-' : '+';
        s += ed;
    } else {
        return stars(w);
    }
    return right(s, w);
}

}  // namespace

std::string real17(double v) {
    if (std::isnan(v)) return "NaN";
    if (std::isinf(v)) return v < 0 ? "-Infinity" : "Infinity";
    char buf[64];
    auto r = std::to_chars(buf, buf + sizeof buf, v, std::chars_format::scientific, 16);
    std::string s(buf, r.ptr);
    for (char& c : s)
        if (c == 'e') c = 'E';
    return s;
}

std::string fmt_a(std::string_view s, int w) {
    if (static_cast<int>(s.size()) >= w) return std::string(s.substr(0, static_cast<std::size_t>(w)));
    return std::string(static_cast<std::size_t>(w) - s.size(), ' ') + std::string(s);
}

std::string fmt_i(std::int64_t v, int w, int m) {
    std::string digits = std::to_string(v < 0 ? -static_cast<std::uint64_t>(v) : static_cast<std::uint64_t>(v));
    if (static_cast<int>(digits.size()) < m) digits = std::string(static_cast<std::size_t>(m) - digits.size(), '0') + digits;
    return right((v < 0 ? "-" : "") + digits, w);
}

std::string fmt_f(double v, int w, int d) {
    std::string sp = special(v, w);
    if (!sp.empty()) return sp;
    char buf[400];
    auto r = std::to_chars(buf, buf + sizeof buf, std::fabs(v), std::chars_format::fixed, d);
    if (r.ec != std::errc()) return stars(w);
    std::string s(buf, r.ptr);
    if (d == 0) s += '.';
    if (v < 0) s = "-" + s;
    // The leading zero of a value below 1 is dropped when it does not fit.
    if (static_cast<int>(s.size()) > w) {
        std::size_t z = s[0] == '-' ? 1 : 0;
        if (s.compare(z, 2, "0.") == 0) s.erase(z, 1);
    }
    return right(s, w);
}

std::string fmt_d(double v, int w, int d) { return exp_form(v, w, d, 'D'); }
std::string fmt_e(double v, int w, int d) { return exp_form(v, w, d, 'E'); }

std::string fmt_g(double v, int w, int d) {
    std::string sp = special(v, w);
    if (!sp.empty()) return sp;
    std::string digits;
    int e = 0;
    sig_digits(v, d, digits, e);
    if (v == 0) return fmt_f(0.0, w - 4, d - 1) + "    ";
    if (e >= 0 && e <= d) return fmt_f(v, w - 4, d - e) + "    ";
    return exp_form(v, w, d, 'E');
}

FreeLine& FreeLine::num(std::int64_t v) {
    separate();
    line_ += std::to_string(v);
    return *this;
}

FreeLine& FreeLine::num(double v) {
    separate();
    line_ += real17(v);
    return *this;
}

}  // namespace textio
