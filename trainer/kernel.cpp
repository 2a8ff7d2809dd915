// The training kernel's loops in three instruction-set versions (baseline x86-64, AVX2,
// AVX-512F) picked once at run time from what the machine supports: the first layer's forward
// sums, updates and the fused sweep of both, the column updates and delta sums of the small
// matrices; and the building of the working copy of State::nn_work.
//
// The fused sweep is what makes an epoch fast: a presentation's work is bound by streaming
// the first layer's weights and previous changes through the caches, and the sweep reads and
// writes each of them once per presentation (update, then the next forward sum) instead of
// reading the weights a second time for the forward pass.
//
// One template body serves every version: GCC vector types of 2, 4 or 8 doubles, inlined into a
// function compiled for that instruction set.  Lane j of every vector belongs to target node
// j, so the vector width changes how many nodes are computed at once and never the order of
// any sum; the build's -ffp-contract=off keeps every product and sum separately rounded.
// The padding lanes of a row (beyond nhid1) hold zeros and are never copied back.
#include "trainer/kernel.hpp"

#include <cstdint>
#include <cstring>

// The vector helpers below are always inlined into functions compiled for their instruction
// set, so no vector value ever crosses a call boundary whose ABI the warning is about.
#pragma GCC diagnostic ignored "-Wpsabi"

namespace nntrain::kernel {

namespace {

typedef double v2d __attribute__((vector_size(16)));
typedef double v4d __attribute__((vector_size(32)));
typedef double v8d __attribute__((vector_size(64)));

template <class V>
[[gnu::always_inline]] inline V load(const double* p) {
    V v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

template <class V>
[[gnu::always_inline]] inline void store(double* p, V v) {
    std::memcpy(p, &v, sizeof v);
}

// Sums of nv vectors of lanes (a block of target nodes) held in registers over the whole run of k.
template <class V, int nv>
[[gnu::always_inline]] inline void forward_block(const double* w, int width, int ninp, const double* x, double* acc) {
    constexpr int lanes = sizeof(V) / sizeof(double);
    V a[nv];
#pragma GCC unroll 16
    for (int v = 0; v < nv; ++v) a[v] = V{};
    for (int k = 0; k < ninp; ++k) {
        const double xk = x[k];
        const double* row = w + static_cast<std::size_t>(k) * width;
#pragma GCC unroll 16
        for (int v = 0; v < nv; ++v) a[v] = a[v] + xk * load<V>(row + v * lanes);
    }
    const double* bias = w + static_cast<std::size_t>(ninp) * width;
#pragma GCC unroll 16
    for (int v = 0; v < nv; ++v) store(acc + v * lanes, a[v] + load<V>(bias + v * lanes));
}

// The last block of a row, of r lanes (r < the block size, a multiple of 8): the block
// sizes n = most-8, most-16, ... are tried in turn.
template <class V, int n>
[[gnu::always_inline]] inline void forward_rest(int r, const double* w, int width, int ninp, const double* x,
                                                 double* acc) {
    if constexpr (n >= 8) {
        if (r == n)
            forward_block<V, n / (sizeof(V) / sizeof(double))>(w, width, ninp, x, acc);
        else
            forward_rest<V, n - 8>(r, w, width, ninp, x, acc);
    }
}

// A row in blocks of `most` lanes and one smaller block (width is a multiple of 8).  A wide
// block sweeps the rows once for many nodes, which matters more than registers to spare.
template <class V, int most>
[[gnu::always_inline]] inline void forward_body(const double* w, int width, int ninp, const double* x, double* acc) {
    constexpr int lanes = sizeof(V) / sizeof(double);
    int j = 0;
    for (; width - j >= most; j += most) forward_block<V, most / lanes>(w + j, width, ninp, x, acc + j);
    if (width > j) forward_rest<V, most - 8>(width - j, w + j, width, ninp, x, acc + j);
}

template <class V>
[[gnu::always_inline]] inline void update_body(double* w, double* old, int width, int ninp, const double* x,
                                                const double* g, double mom) {
    constexpr int lanes = sizeof(V) / sizeof(double);
    for (int k = 0; k < ninp; ++k) {
        const double xk = x[k];
        double* wr = w + static_cast<std::size_t>(k) * width;
        double* orow = old + static_cast<std::size_t>(k) * width;
        for (int j = 0; j < width; j += lanes) {
            const V change = xk * load<V>(g + j) + load<V>(orow + j) * mom;
            store(wr + j, load<V>(wr + j) + change);
            store(orow + j, change);
        }
    }
    double* wr = w + static_cast<std::size_t>(ninp) * width;
    double* orow = old + static_cast<std::size_t>(ninp) * width;
    for (int j = 0; j < width; j += lanes) {
        const V change = load<V>(orow + j) * mom + load<V>(g + j);
        store(wr + j, load<V>(wr + j) + change);
        store(orow + j, change);
    }
}

// The pending update of a block of lanes and the next forward sums in one sweep over the rows:
// row k is updated (change = xp[k]*g + old*mom; w += change; old = change) and its new weights
// enter the sums at once, so each weight is read and written once per presentation.  The
// operations per weight are those of update_body followed by forward_block.
template <class V, int nv>
[[gnu::always_inline]] inline void step_block(double* w, double* old, int width, int ninp, const double* xp,
                                               const double* g, double mom, const double* x, double* acc) {
    constexpr int lanes = sizeof(V) / sizeof(double);
    V a[nv], gv[nv];
#pragma GCC unroll 16
    for (int v = 0; v < nv; ++v) {
        a[v] = V{};
        gv[v] = load<V>(g + v * lanes);
    }
    for (int k = 0; k < ninp; ++k) {
        const double pk = xp[k], xk = x[k];
        double* wr = w + static_cast<std::size_t>(k) * width;
        double* orow = old + static_cast<std::size_t>(k) * width;
#pragma GCC unroll 16
        for (int v = 0; v < nv; ++v) {
            const V change = pk * gv[v] + load<V>(orow + v * lanes) * mom;
            const V nw = load<V>(wr + v * lanes) + change;
            store(wr + v * lanes, nw);
            store(orow + v * lanes, change);
            a[v] = a[v] + xk * nw;
        }
    }
    double* wr = w + static_cast<std::size_t>(ninp) * width;
    double* orow = old + static_cast<std::size_t>(ninp) * width;
#pragma GCC unroll 16
    for (int v = 0; v < nv; ++v) {
        const V change = load<V>(orow + v * lanes) * mom + gv[v];
        const V nw = load<V>(wr + v * lanes) + change;
        store(wr + v * lanes, nw);
        store(orow + v * lanes, change);
        store(acc + v * lanes, a[v] + nw);
    }
}

template <class V, int n>
[[gnu::always_inline]] inline void step_rest(int r, double* w, double* old, int width, int ninp, const double* xp,
                                              const double* g, double mom, const double* x, double* acc) {
    if constexpr (n >= 8) {
        if (r == n)
            step_block<V, n / (sizeof(V) / sizeof(double))>(w, old, width, ninp, xp, g, mom, x, acc);
        else
            step_rest<V, n - 8>(r, w, old, width, ninp, xp, g, mom, x, acc);
    }
}

// As forward_body: blocks of `most` lanes and one smaller block.
template <class V, int most>
[[gnu::always_inline]] inline void step_body(double* w, double* old, int width, int ninp, const double* xp,
                                              const double* g, double mom, const double* x, double* acc) {
    constexpr int lanes = sizeof(V) / sizeof(double);
    int j = 0;
    for (; width - j >= most; j += most)
        step_block<V, most / lanes>(w + j, old + j, width, ninp, xp, g + j, mom, x, acc + j);
    if (width > j) step_rest<V, most - 8>(width - j, w + j, old + j, width, ninp, xp, g + j, mom, x, acc + j);
}

// A column of a small matrix: change = v[k]*g + old[k]*mom for k < n (the sources in the
// lanes, one target node); w += change; old = change.
template <class V>
[[gnu::always_inline]] inline void column_body(double* w, double* old, int n, const double* v, double g, double mom) {
    constexpr int lanes = sizeof(V) / sizeof(double);
    int k = 0;
    for (; k + lanes <= n; k += lanes) {
        const V change = load<V>(v + k) * g + load<V>(old + k) * mom;
        store(w + k, load<V>(w + k) + change);
        store(old + k, change);
    }
    for (; k < n; ++k) {
        const double change = v[k] * g + old[k] * mom;
        w[k] = w[k] + change;
        old[k] = change;
    }
}

// One term of n sums at once: s[j] = s[j] + c[j]*d.
template <class V>
[[gnu::always_inline]] inline void accumulate_body(double* s, const double* c, int n, double d) {
    constexpr int lanes = sizeof(V) / sizeof(double);
    int j = 0;
    for (; j + lanes <= n; j += lanes) store(s + j, load<V>(s + j) + load<V>(c + j) * d);
    for (; j < n; ++j) s[j] = s[j] + c[j] * d;
}

void forward_generic(const double* w, int width, int ninp, const double* x, double* acc) {
    forward_body<v2d, 32>(w, width, ninp, x, acc);
}
void update_generic(double* w, double* old, int width, int ninp, const double* x, const double* g, double mom) {
    update_body<v2d>(w, old, width, ninp, x, g, mom);
}
void step_generic(double* w, double* old, int width, int ninp, const double* xp, const double* g, double mom,
                  const double* x, double* acc) {
    step_body<v2d, 32>(w, old, width, ninp, xp, g, mom, x, acc);
}
void column_generic(double* w, double* old, int n, const double* v, double g, double mom) {
    column_body<v2d>(w, old, n, v, g, mom);
}
void accumulate_generic(double* s, const double* c, int n, double d) { accumulate_body<v2d>(s, c, n, d); }

#if defined(__x86_64__) && defined(__GNUC__)
#define PROTNN_X86_VERSIONS 1
__attribute__((target("avx2"))) void forward_avx2(const double* w, int width, int ninp, const double* x,
                                                  double* acc) {
    forward_body<v4d, 32>(w, width, ninp, x, acc);
}
__attribute__((target("avx2"))) void update_avx2(double* w, double* old, int width, int ninp, const double* x,
                                                 const double* g, double mom) {
    update_body<v4d>(w, old, width, ninp, x, g, mom);
}
__attribute__((target("avx2"))) void step_avx2(double* w, double* old, int width, int ninp, const double* xp,
                                               const double* g, double mom, const double* x, double* acc) {
    step_body<v4d, 32>(w, old, width, ninp, xp, g, mom, x, acc);
}
__attribute__((target("avx2"))) void column_avx2(double* w, double* old, int n, const double* v, double g,
                                                 double mom) {
    column_body<v4d>(w, old, n, v, g, mom);
}
__attribute__((target("avx2"))) void accumulate_avx2(double* s, const double* c, int n, double d) {
    accumulate_body<v4d>(s, c, n, d);
}
__attribute__((target("avx512f"))) void forward_avx512(const double* w, int width, int ninp, const double* x,
                                                       double* acc) {
    forward_body<v8d, 64>(w, width, ninp, x, acc);
}
__attribute__((target("avx512f"))) void update_avx512(double* w, double* old, int width, int ninp, const double* x,
                                                      const double* g, double mom) {
    update_body<v8d>(w, old, width, ninp, x, g, mom);
}
__attribute__((target("avx512f"))) void step_avx512(double* w, double* old, int width, int ninp, const double* xp,
                                                    const double* g, double mom, const double* x, double* acc) {
    step_body<v8d, 64>(w, old, width, ninp, xp, g, mom, x, acc);
}
__attribute__((target("avx512f"))) void column_avx512(double* w, double* old, int n, const double* v, double g,
                                                      double mom) {
    column_body<v8d>(w, old, n, v, g, mom);
}
__attribute__((target("avx512f"))) void accumulate_avx512(double* s, const double* c, int n, double d) {
    accumulate_body<v8d>(s, c, n, d);
}
#endif

using ForwardFn = void (*)(const double*, int, int, const double*, double*);
using UpdateFn = void (*)(double*, double*, int, int, const double*, const double*, double);
using StepFn = void (*)(double*, double*, int, int, const double*, const double*, double, const double*, double*);
using ColumnFn = void (*)(double*, double*, int, const double*, double, double);
using AccumulateFn = void (*)(double*, const double*, int, double);

struct Version {
    Isa isa;
    ForwardFn forward;
    UpdateFn update;
    StepFn step;
    ColumnFn column;
    AccumulateFn accumulate;
};

bool supported(Isa isa) {
#ifdef PROTNN_X86_VERSIONS
    __builtin_cpu_init();  // the choice is made during static initialisation
    if (isa == Isa::avx2) return __builtin_cpu_supports("avx2");
    if (isa == Isa::avx512) return __builtin_cpu_supports("avx512f");
#endif
    return isa == Isa::generic || isa == Isa::plain;
}

Version version_of(Isa isa) {
#ifdef PROTNN_X86_VERSIONS
    if (isa == Isa::avx512) return {isa, forward_avx512, update_avx512, step_avx512, column_avx512, accumulate_avx512};
    if (isa == Isa::avx2) return {isa, forward_avx2, update_avx2, step_avx2, column_avx2, accumulate_avx2};
#endif
    // The plain version computes in calcnet_plain and backprop_plain; the generic functions
    // only stand in for its table entries.
    return {isa == Isa::plain ? Isa::plain : Isa::generic, forward_generic, update_generic, step_generic, column_generic,
            accumulate_generic};
}

}  // namespace

std::vector<Isa> available() {
    std::vector<Isa> v;
    for (Isa isa : {Isa::plain, Isa::generic, Isa::avx2, Isa::avx512})
        if (supported(isa)) v.push_back(isa);
    return v;
}

const char* name(Isa isa) {
    switch (isa) {
        case Isa::plain: return "plain";
        case Isa::avx2: return "avx2";
        case Isa::avx512: return "avx512";
        default: return "generic";
    }
}

Isa fastest() {
    static const Isa best = available().back();
    return best;
}

bool force(State& st, Isa isa) {
    if (!supported(isa)) return false;
    st.nn_work.version = isa;
    return true;
}

void forward1(Isa isa, const double* w, int width, int ninp, const double* x, double* acc) {
    version_of(isa).forward(w, width, ninp, x, acc);
}

void update1(Isa isa, double* w, double* old, int width, int ninp, const double* x, const double* g, double mom) {
    version_of(isa).update(w, old, width, ninp, x, g, mom);
}

void step1(Isa isa, double* w, double* old, int width, int ninp, const double* xp, const double* g, double mom,
           const double* x, double* acc) {
    version_of(isa).step(w, old, width, ninp, xp, g, mom, x, acc);
}

void update_column(Isa isa, double* w, double* old, int n, const double* v, double g, double mom) {
    version_of(isa).column(w, old, n, v, g, mom);
}

void accumulate(Isa isa, double* s, const double* c, int n, double d) { version_of(isa).accumulate(s, c, n, d); }

double* rows(std::vector<double>& v) {
    const auto p = reinterpret_cast<std::uintptr_t>(v.data());
    return v.data() + ((64 - p % 64) % 64) / sizeof(double);
}

double* work_w(NnWork& wk) { return rows(wk.wit); }

double* work_old(NnWork& wk) {
    return rows(wk.wit) + static_cast<std::size_t>(wk.ninp + 1) * static_cast<std::size_t>(wk.width);
}

void build_work(State& st, int ninp, int nhid1) {
    NnWork& wk = st.nn_work;
    const int width = (nhid1 + 7) / 8 * 8;
    const std::size_t n = static_cast<std::size_t>(ninp + 1) * static_cast<std::size_t>(width);
    wk.ninp = ninp;
    wk.nhid1 = nhid1;
    wk.width = width;
    wk.wit.assign(2 * n + 8, 0.0);  // the 8 spare values leave room for the alignment
    wk.acc.assign(width + 8, 0.0);
    wk.g.assign(width + 8, 0.0);
    double* w = work_w(wk);
    double* o = work_old(wk);
    const Mat& wi = st.nn_wei.wi;
    const Mat& oldwi = st.nn_owei.oldwi;
    for (int j = 0; j < nhid1; ++j) {
        const double* wc = wi.col(j + 1);
        const double* oc = oldwi.col(j + 1);
        for (int k = 0; k <= ninp; ++k) {
            w[static_cast<std::size_t>(k) * width + j] = wc[k];
            o[static_cast<std::size_t>(k) * width + j] = oc[k];
        }
    }
    wk.built(wi, oldwi);
}

}  // namespace nntrain::kernel
