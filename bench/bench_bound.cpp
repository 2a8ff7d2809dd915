// What this machine can do at best for the two hot loops: the bounds the kernels are judged by.
//
//   bench_bound train [NIP NW1 REPS]    memory traffic of one training presentation
//   bench_bound divsqrt [NRES REPS]     one square root and two divisions per residue pair
//
// train: one presentation touches the input-layer weights wi and their momentum memory oldwi,
// (NIP+1) x NW1 doubles each (0.71 MB together for 2123 x 21, beyond the first-level cache,
// within the second).  Whatever the kernel, each weight and each momentum value must be read
// and written once per presentation: a kernel can fold the next protein's forward pass into
// the update pass, but not skip the update.  So the bound of an epoch is 475 streaming passes
// that read and write both arrays (no arithmetic: the arrays trade contents, 8-wide vectors),
// plus 25 forward passes reading wi for the test proteins.  Also reported: the update pass
// with the trainer's arithmetic, the forward pass alone (seven columns share each load of x,
// independent sums), and the epoch as two separate passes per presentation.  The smaller
// matrices wh and wo (under 4 KB) are left out.
//
// divsqrt: NRES (NRES-1)/2 pairs, each d = sqrt(q), 1/d and 1/((d*d)*d), over arrays small
// enough for the first-level cache, no table updates: the throughput bound of the pair loop of
// pairdist at the machine's vector width.  Compiled with -O3 -march=native so the loop runs
// on the widest vectors the machine has.
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "bench/timing.hpp"

namespace {

typedef double v8d __attribute__((vector_size(64)));

v8d load(const double* p) {
    v8d v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

// Forward pass traffic: nw1 sums of x(k) * w(k, j), a column each.  Seven columns share each
// load of x, so the loads of w dominate: the form that reads w fastest on this machine.
__attribute__((noinline)) void forward(const double* __restrict x, const double* __restrict w, int ld, int cols,
                                       double* __restrict s) {
    constexpr int g = 7;
    int j = 0;
    for (; j + g <= cols; j += g) {
        v8d a[g] = {};
        int k = 0;
        for (; k + 8 <= ld; k += 8) {
            v8d xv = load(x + k);
            for (int c = 0; c < g; ++c) a[c] += xv * load(w + static_cast<std::size_t>(j + c) * ld + k);
        }
        for (int c = 0; c < g; ++c) {
            double r = 0;
            for (int l = 0; l < 8; ++l) r += a[c][l];
            for (int kk = k; kk < ld; ++kk) r += x[kk] * w[static_cast<std::size_t>(j + c) * ld + kk];
            s[j + c] = r;
        }
    }
    for (; j < cols; ++j) {
        double r = 0;
        for (int k = 0; k < ld; ++k) r += x[k] * w[static_cast<std::size_t>(j) * ld + k];
        s[j] = r;
    }
}

// Update traffic: change = x(k) g + old(k, j) mom; w += change; old = change (as the trainer).
__attribute__((noinline)) void update(const double* __restrict x, double* __restrict w, double* __restrict old,
                                      int ld, int cols, const double* __restrict g, double mom) {
    for (int j = 0; j < cols; ++j) {
        double* c = w + static_cast<std::size_t>(j) * ld;
        double* o = old + static_cast<std::size_t>(j) * ld;
        double gj = g[j];
        for (int k = 0; k < ld; ++k) {
            double ch = x[k] * gj + o[k] * mom;
            c[k] += ch;
            o[k] = ch;
        }
    }
}

// Pure streaming traffic of one presentation: read and write every weight and every momentum
// value once, no arithmetic (the two arrays trade contents).
__attribute__((noinline)) void stream(double* __restrict w, double* __restrict old, std::size_t n) {
    for (std::size_t i = 0; i < n; ++i) {
        double a = w[i], b = old[i];
        w[i] = b;
        old[i] = a;
    }
}

template <class F>
double per_call(int reps, int calls, F f) {
    std::vector<double> times;
    for (int r = 0; r < reps + 1; ++r) {  // the first round warms the caches
        double t0 = bench::now();
        for (int p = 0; p < calls; ++p) f();
        double t1 = bench::now();
        if (r > 0) times.push_back((t1 - t0) / calls);
    }
    return bench::median(times);
}

int train(int nip, int nw1, int reps) {
    const int ld = nip + 1, ntrap = 475, ntest = 25;
    std::vector<double> x(static_cast<std::size_t>(ld), 0.5), w(static_cast<std::size_t>(ld) * nw1),
        old(w.size()), s(nw1), g(nw1, 1e-9);
    for (std::size_t i = 0; i < w.size(); ++i) w[i] = 1e-3 * static_cast<double>(i % 97), old[i] = 1e-4;
    double sink = 0;
    double tf = per_call(reps, ntrap, [&] {
        forward(x.data(), w.data(), ld, nw1, s.data());
        sink += s[0];
    });
    double tu = per_call(reps, ntrap, [&] { update(x.data(), w.data(), old.data(), ld, nw1, g.data(), 0.4); });
    double ts = per_call(reps, ntrap, [&] { stream(w.data(), old.data(), w.size()); });
    bench::keep(sink + w[1] + old[1]);
    const double mb = 8.0 * ld * nw1 / 1e6;  // one matrix
    std::printf("# wi and oldwi: %.3f MB each; the forward pass reads wi, the update reads and writes both\n", mb);
    bench::result("bound_stream", ts * 1e6, "us");
    bench::result("bound_stream_bandwidth", 4 * mb / ts / 1e3, "GB/s");
    bench::result("bound_update", tu * 1e6, "us");
    bench::result("bound_update_bandwidth", 4 * mb / tu / 1e3, "GB/s");
    bench::result("bound_forward", tf * 1e6, "us");
    bench::result("bound_forward_bandwidth", mb / tf / 1e3, "GB/s");
    // The bound of an epoch: every training presentation must read and write each weight and
    // momentum value once (a kernel that folds the next forward pass into the update needs no
    // more), every test protein must read wi once.
    bench::result("bound_epoch", (ntrap * ts + ntest * tf) * 1e3, "ms");
    // The same with a separate forward pass and the trainer's update arithmetic, for comparison.
    bench::result("twopass_epoch", (ntrap * (tf + tu) + ntest * tf) * 1e3, "ms");
    return 0;
}

__attribute__((noinline)) void divsqrt(const double* __restrict q, double* __restrict a, double* __restrict b, int m) {
    for (int i = 0; i < m; ++i) {
        double d = std::sqrt(q[i]);
        a[i] = 1.0 / d;
        b[i] = 1.0 / ((d * d) * d);
    }
}

int pairs(long nres, int reps) {
    const int m = 1024;  // three arrays of 8 KB: all in the first-level cache
    std::vector<double> q(m), a(m), b(m);
    for (int i = 0; i < m; ++i) q[i] = 9.0 + 0.37 * i;
    const double npairs = 0.5 * static_cast<double>(nres) * static_cast<double>(nres - 1);
    const long blocks = static_cast<long>(npairs / m);
    std::vector<double> times;
    double sink = 0;
    for (int r = 0; r < reps + 1; ++r) {
        double t0 = bench::now();
        for (long k = 0; k < blocks; ++k) {
            divsqrt(q.data(), a.data(), b.data(), m);
            sink += a[k & (m - 1)];
        }
        double t1 = bench::now();
        if (r > 0) times.push_back((t1 - t0) * npairs / (static_cast<double>(blocks) * m));
    }
    bench::keep(sink);
    std::printf("# divsqrt: %ld residues, %.4g pairs\n", nres, npairs);
    bench::result("bound_divsqrt", bench::median(times), "s");
    bench::result("bound_divsqrt_per_pair", bench::median(times) / npairs * 1e9, "ns");
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc >= 2 && std::strcmp(argv[1], "train") == 0)
        return train(argc > 2 ? std::atoi(argv[2]) : 2123, argc > 3 ? std::atoi(argv[3]) : 21,
                     argc > 4 ? std::atoi(argv[4]) : 21);
    if (argc >= 2 && std::strcmp(argv[1], "divsqrt") == 0)
        return pairs(argc > 2 ? std::atol(argv[2]) : 20000, argc > 3 ? std::atoi(argv[3]) : 5);
    std::fprintf(stderr, "usage: bench_bound train [NIP NW1 REPS] | divsqrt [NRES REPS]\n");
    return 2;
}
