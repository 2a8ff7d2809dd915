// One training epoch of nntrain, the plain loops against the training kernel (Google
// Benchmark).  The database is synthetic: 500 proteins of 2123 inputs (a residue-pair table of
// 21 types plus a depth table of 200 types) and 3 outputs, hidden layers of 21 nodes, 475
// training and 25 test proteins.  An epoch is the driver's own (nntrain::train_epoch) and the
// two errors.
//
//   bench_train [--benchmark_repetitions=7 --benchmark_report_aggregates_only=true]
//
// BM_epoch_plain runs it on the plain version (the loops of kernel_ref.cpp); BM_epoch_fast/<version>
// on each kernel version this machine runs (the last one is what nntrain uses).
#include <benchmark/benchmark.h>

#include <array>
#include <cmath>

#include "trainer/kernel.hpp"
#include "trainer/nntrain.hpp"

namespace {

using nntrain::State;
namespace kernel = nntrain::kernel;

constexpr int nprot = 500, nip = 2123, nop = 3, nhid = 21;

State make_state() {
    State st;
    auto& a = st.all_sizes;
    a.nip = nip;
    a.nop = nop;
    a.ntotp = nprot;
    a.ntrap = nprot - static_cast<int>(std::round(0.05 * nprot));
    a.nw1 = a.nw2 = nhid;
    std::array<std::int32_t, nntrain::Random::nseeds> seed{};
    seed.fill(12345);
    st.randseed.rng.seed(seed);
    // Inputs like the generators' tables: small positive sums, many zeros.
    st.nn_input.protin.resize(static_cast<std::size_t>(nip) * nprot);
    for (double& v : st.nn_input.protin) {
        const double u = st.randseed.rng.draw();
        v = u < 0.3 ? 0.0 : 2.0 * u;
    }
    st.nn_input.protut.resize(static_cast<std::size_t>(nop) * nprot);
    for (double& v : st.nn_input.protut) v = st.randseed.rng.draw();
    st.nn_input.iprotdg.assign(nprot, 1);
    st.data_files.lstt.resize(nprot);
    st.data_files.lstt2.resize(a.ntrap);
    for (int k = 0; k < nprot; ++k) st.data_files.lstt[k] = k + 1;
    for (int k = 0; k < a.ntrap; ++k) st.data_files.lstt2[k] = k + 1;
    nntrain::make_network_storage(st);
    nntrain::netinit(st, nip, nhid, nhid, nop);
    return st;
}

// One epoch of the driver's loop and its two errors, on the version in use.
void epoch(State& st) {
    nntrain::train_epoch(st);
    double etr = 0, ete = 0;
    int better = 0;
    nntrain::calcierr(st, etr, ete, better, 20.0);
    benchmark::DoNotOptimize(etr);
}

void BM_epoch_plain(benchmark::State& bs) {
    State st = make_state();
    kernel::force(st, kernel::Isa::plain);
    for (auto _ : bs) epoch(st);
    bs.counters["us_per_presentation"] = benchmark::Counter(
        static_cast<double>(bs.iterations()) * st.all_sizes.ntrap,
        benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

void BM_epoch_fast(benchmark::State& bs) {
    const kernel::Isa isa = static_cast<kernel::Isa>(bs.range(0));
    State st = make_state();
    if (!kernel::force(st, isa)) {
        bs.SkipWithError("this machine cannot run that version");
        return;
    }
    bs.SetLabel(kernel::name(isa));
    for (auto _ : bs) epoch(st);
    bs.counters["us_per_presentation"] = benchmark::Counter(
        static_cast<double>(bs.iterations()) * st.all_sizes.ntrap,
        benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

void versions(benchmark::internal::Benchmark* b) {
    for (kernel::Isa isa : kernel::available())
        if (isa != kernel::Isa::plain) b->Arg(static_cast<int>(isa));
}

}  // namespace

BENCHMARK(BM_epoch_plain)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_epoch_fast)->Apply(versions)->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();
