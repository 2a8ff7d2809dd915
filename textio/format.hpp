// Writing numbers and texts: the free-form line and the fixed-column edit descriptors.
//
// Everything here is independent of the locale (std::to_chars).  Free-form reals always
// carry 17 significant digits ("5.0000000000000000E-01"), so a value read back has the same
// bits.  The fixed-column helpers follow the classic edit descriptors:
//   fmt_a(s, w)      A w: right-justified in w columns, a longer text keeps its leftmost w.
//   fmt_i(v, w, m)   I w.m: right-justified, at least m digits (leading zeros).
//   fmt_f(v, w, d)   F w.d: fixed notation with d decimals.
//   fmt_d(v, w, d)   D w.d: "0." d digits "D" sign and two exponent digits (three digits
//                    without the letter when the exponent's magnitude exceeds 99).
//   fmt_e(v, w, d)   E w.d: the same with the letter E.
//   fmt_g(v, w, d)   G w.d: F (w-4).(d-e) and 4 blanks when the value rounded to d
//                    significant digits has magnitude in [0.1, 10^d) (e digits before the
//                    point; zero as 0.000...), else E w.d.
// A number that does not fit fills its field with asterisks; a NaN is "NaN" and an infinity
// "Infinity" (or "Inf" when narrower), right-justified.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <type_traits>

namespace textio {

std::string real17(double v);

std::string fmt_a(std::string_view s, int w);
std::string fmt_i(std::int64_t v, int w, int m = 0);
std::string fmt_f(double v, int w, int d);
std::string fmt_d(double v, int w, int d);
std::string fmt_e(double v, int w, int d);
std::string fmt_g(double v, int w, int d);

// A free-form line: one leading blank, then the items in order.  Texts follow one another
// without separators; a number is separated from what precedes it by one blank.  Ends with a
// line feed.
class FreeLine {
public:
    FreeLine& text(std::string_view s) {
        line_ += s;
        return *this;
    }
    FreeLine& num(std::int64_t v);
    FreeLine& num(double v);
    std::string str() const { return line_ + "\n"; }

private:
    void separate() {
        if (line_.back() != ' ') line_ += ' ';
    }
    std::string line_ = " ";
};

// free_line("Aborting, weird distance ", 3, 0.0) builds a FreeLine from texts, integers and
// reals (without the final line feed, as an error message).
template <class... T>
std::string free_line(const T&... items) {
    FreeLine l;
    auto add = [&l](const auto& x) {
        using X = std::decay_t<decltype(x)>;
        if constexpr (std::is_floating_point_v<X>)
            l.num(static_cast<double>(x));
        else if constexpr (std::is_integral_v<X>)
            l.num(static_cast<std::int64_t>(x));
        else
            l.text(x);
    };
    (add(items), ...);
    std::string s = l.str();
    s.pop_back();
    return s;
}

}  // namespace textio
