// Test helpers for checking number tables independently of the programs' own readers.
#pragma once

#include <cmath>
#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

namespace testing_support {

// The C library's cube root at run time (a constant argument would be folded by the compiler,
// which may round differently).
inline double rt3(double n) {
    volatile double v = n;
    return std::cbrt(v);
}

// Every blank-separated word of text, read with strtod.
inline std::vector<double> numbers(const std::string& text) {
    std::vector<double> v;
    std::istringstream in(text);
    std::string w;
    while (in >> w) v.push_back(std::strtod(w.c_str(), nullptr));
    return v;
}

}  // namespace testing_support
