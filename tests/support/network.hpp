// Test helpers for the network routines: a State with the network storage of given sizes
// (set up by the program's own make_network_storage), and reproducible random fillers.
#pragma once

#include <cstdint>
#include <vector>

#include "trainer/nntrain.hpp"

namespace testing_support {

// Sets the sizes of st and sets its network storage up for them.
inline void network_storage(nntrain::State& st, int nip, int h1, int h2, int nop, int ntotp = 1) {
    auto& a = st.all_sizes;
    a.nip = nip;
    a.nw1 = h1;
    a.nw2 = h2;
    a.nop = nop;
    a.ntotp = ntotp;
    nntrain::make_network_storage(st);
}

// A reproducible uniform filler in [lo, hi), independent of the run's random stream.
struct Filler {
    std::uint64_t s = 0x243f6a8885a308d3ull;
    double next(double lo, double hi) {
        s = s * 6364136223846793005ull + 1442695040888963407ull;
        return lo + (hi - lo) * static_cast<double>(s >> 11) * 0x1.0p-53;
    }
    void fill(std::vector<double>& v, double lo, double hi) {
        for (double& x : v) x = next(lo, hi);
    }
};

// Random weights and previous changes for the whole storage.
inline void random_weights(nntrain::State& st, Filler& f, double scale = 0.5) {
    f.fill(st.nn_wei.wi.a, -scale, scale);
    f.fill(st.nn_wei.wh.a, -scale, scale);
    f.fill(st.nn_wei.wo.a, -scale, scale);
    f.fill(st.nn_owei.oldwi.a, -scale / 10, scale / 10);
    f.fill(st.nn_owei.oldwh.a, -scale / 10, scale / 10);
    f.fill(st.nn_owei.oldwo.a, -scale / 10, scale / 10);
}

}  // namespace testing_support
