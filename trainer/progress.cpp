#include "trainer/progress.hpp"

#include <cstdio>
#include <ctime>
#include <unistd.h>

namespace nntrain {

namespace {

double now() {
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<double>(t.tv_sec) + 1e-9 * static_cast<double>(t.tv_nsec);
}

constexpr double interval = 0.2;  // seconds between two rewrites of the line

std::string clock_text(double seconds) {
    long s = static_cast<long>(seconds);
    char buf[32];
    if (s >= 3600)
        std::snprintf(buf, sizeof buf, "%ld:%02ld:%02ld", s / 3600, s / 60 % 60, s % 60);
    else
        std::snprintf(buf, sizeof buf, "%ld:%02ld", s / 60, s % 60);
    return buf;
}

std::string fixed(double v, int decimals) {
    char buf[64];
    std::snprintf(buf, sizeof buf, "%.*f", decimals, v);
    return buf;
}

void put(const std::string& s) {
    // Straight to the descriptor: standard error is unbuffered anyway, and a failed write of
    // a status line is no reason to stop a training.
    std::size_t done = 0;
    while (done < s.size()) {
        ssize_t n = ::write(STDERR_FILENO, s.data() + done, s.size() - done);
        if (n <= 0) return;
        done += static_cast<std::size_t>(n);
    }
}

}  // namespace

void Progress::enable_on_terminal() { on_ = ::isatty(STDERR_FILENO) == 1; }

void Progress::show(const std::string& text) {
    put("\r\033[K" + text);  // back to the line's start, erase it, write it again
    shown_ = true;
}

void Progress::loading(std::size_t done, std::size_t total) {
    if (!on_) return;
    const double t = now();
    if (start_ < 0) start_ = last_ = t;
    // Loading that ends within the first interval is not worth a line.
    if (t - last_ < interval && done != total) return;
    if (!shown_ && done == total) return;
    last_ = t;
    show("loading proteins " + std::to_string(done) + "/" + std::to_string(total));
}

void Progress::epoch(int epoch, int max, double etr, double ete, int kept, int since) {
    if (!on_) return;
    const double t = now();
    if (start_ < 0 || first_epoch_ == 0) {
        start_ = t;
        first_epoch_ = epoch;
    }
    const double elapsed = t - start_;
    const double rate = elapsed > 0 ? (epoch - first_epoch_ + 1) / elapsed : 0.0;
    pending_ = "epoch " + std::to_string(epoch) + "/" + std::to_string(max) + "  training " +
               fixed(etr, 4) + "  test " + fixed(ete, 4) + "  kept epoch " +
               std::to_string(kept) + "  since " + std::to_string(since) + "  " + clock_text(elapsed) + "  " +
               fixed(rate, 1) + " epochs/s";
    if (epoch != first_epoch_ && t - last_ < interval) return;
    last_ = t;
    show(pending_);
    pending_.clear();
}

void Progress::finish() {
    if (!on_) return;
    if (!pending_.empty()) show(pending_);
    pending_.clear();
    if (shown_) put("\n");
    shown_ = false;
    start_ = last_ = -1;
    first_epoch_ = 0;
}

void Progress::clear() {
    if (shown_) put("\r\033[K");
    shown_ = false;
    pending_.clear();
    start_ = last_ = -1;
    first_epoch_ = 0;
}

}  // namespace nntrain
