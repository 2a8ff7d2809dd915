// pairdist's pair loop over a 20000-residue structure: the plain loop as written down against
// each vector version (all give the same bits; the tests check it), median of repeated runs;
// and the reading of the structure file.
//
//   bench_pairdist [--benchmark_repetitions=N] [--nres=NRES]
//
// The structure: residues on a jittered cubic lattice (5.07 A spacing, jitter up to 1 A,
// about the packing of a folded protein), coordinates on the 0.001 A grid of a PDB file,
// 20 residue types drawn evenly; seeded, so every run sees the same points.
#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <unistd.h>

#include "generators/pairdist/pairdist.hpp"

namespace {

long nres_wanted = 20000;

pairdist::Temp make_structure(long n) {
    pairdist::Temp t;
    t.naatyp = 21;
    std::mt19937_64 g(12345);
    std::uniform_real_distribution<double> jitter(-0.5, 0.5);
    std::uniform_int_distribution<int> type(1, 20);
    long side = static_cast<long>(std::ceil(std::cbrt(static_cast<double>(n))));
    for (long r = 0; r < n; ++r) {
        long idx[3] = {r % side, (r / side) % side, r / (side * side)};
        for (int c = 0; c < 3; ++c) t.pdat.push_back(std::round((5.07 * static_cast<double>(idx[c]) + jitter(g)) * 1000.0) / 1000.0);
        t.iaa.push_back(type(g));
    }
    t.nres = n;
    t.ipo = 1;
    return t;
}

const pairdist::Temp& structure() {
    static pairdist::Temp t = make_structure(nres_wanted);
    return t;
}

void pair_loop(benchmark::State& state, pairdist::Isa isa) {
    if (!pairdist::isa_supported(isa)) {
        state.SkipWithError("not supported on this machine");
        return;
    }
    const pairdist::Temp& t = structure();
    pairdist::Sums s;
    for (auto _ : state) {
        pairdist::pairsums(t, isa, s);
        benchmark::DoNotOptimize(s.s1.data());
    }
    state.counters["pairs"] = 0.5 * static_cast<double>(t.nres) * static_cast<double>(t.nres - 1);
    state.counters["ns_per_pair"] = benchmark::Counter(
        0.5 * static_cast<double>(t.nres) * static_cast<double>(t.nres - 1) * 1e-9,
        benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}

// readpdb over the structure written as a PDB file with N, CA, C, O and CB lines per residue.
void read_structure(benchmark::State& state) {
    const pairdist::Temp& src = structure();
    char path[] = "/tmp/bench_pairdist_XXXXXX";
    int fd = mkstemp(path);
    std::string text;
    char line[100];
    const char* names[] = {" N  ", " CA ", " C  ", " O  ", " CB "};
    for (long r = 0; r < src.nres; ++r)
        for (int a = 0; a < 5; ++a) {
            std::snprintf(line, sizeof line, "ATOM  %5ld %s ALA A%4ld    %8.3f%8.3f%8.3f  1.00  0.00           C\n",
                          (5 * r + a + 1) % 100000, names[a], r % 10000, src.pdat[3 * r], src.pdat[3 * r + 1], src.pdat[3 * r + 2]);
            text += line;
        }
    if (fd < 0 || write(fd, text.data(), text.size()) != static_cast<ssize_t>(text.size())) {
        state.SkipWithError("cannot write the structure file");
        return;
    }
    close(fd);
    pairdist::Temp t;
    t.pdbfl = path;
    t.naatyp = 21;
    for (const char* n : {"ALA", "ARG", "ASN", "ASP", "CYS", "GLN", "GLU", "GLY", "HIS", "ILE", "LEU", "LYS", "MET",
                          "PHE", "PRO", "SER", "THR", "TRP", "TYR", "VAL"})
        t.aatom.push_back(n);
    for (auto _ : state) {
        pairdist::readpdb(t);
        benchmark::DoNotOptimize(t.pdat.data());
    }
    unlink(path);
}

}  // namespace

BENCHMARK_CAPTURE(pair_loop, plain, pairdist::Isa::plain)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK_CAPTURE(pair_loop, sse2, pairdist::Isa::sse2)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK_CAPTURE(pair_loop, avx, pairdist::Isa::avx)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK_CAPTURE(pair_loop, avx512, pairdist::Isa::avx512)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK_CAPTURE(pair_loop, best, pairdist::Isa::best)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(read_structure)->Unit(benchmark::kMillisecond)->UseRealTime();

int main(int argc, char** argv) {
    // --nres=N (ours) is taken out before Google Benchmark sees the arguments.
    int kept = 1;
    for (int i = 1; i < argc; ++i) {
        if (std::strncmp(argv[i], "--nres=", 7) == 0)
            nres_wanted = std::atol(argv[i] + 7);
        else
            argv[kept++] = argv[i];
    }
    argc = kept;
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
