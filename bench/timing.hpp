// Small helpers shared by the benchmark programs: a monotonic clock, medians, and one
// result line per figure ("name value unit") that bench/run.sh picks up by name.
#pragma once

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <vector>

namespace bench {

inline double now() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

inline double median(std::vector<double> v) {
    if (v.empty()) return 0.0;
    std::sort(v.begin(), v.end());
    std::size_t n = v.size();
    return n % 2 ? v[n / 2] : 0.5 * (v[n / 2 - 1] + v[n / 2]);
}

inline void result(const char* name, double value, const char* unit) {
    std::printf("%s %.6g %s\n", name, value, unit);
    std::fflush(stdout);
}

// Keeps the compiler from dropping a computation whose result is otherwise unused.
inline void keep(double v) {
    asm volatile("" : : "r,m"(v) : "memory");
}

}  // namespace bench
