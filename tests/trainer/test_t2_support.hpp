// Test helpers for the network routines: a State with network storage of given sizes, made
// directly (the same shapes the storage set-up makes), and a few random fillers.
#pragma once

#include <cstdint>
#include <vector>

#include "trainer/nntrain.hpp"

namespace t2test {

inline void make_net(nntrain::State& st, int nip, int h1, int h2, int nop, int ntotp = 1) {
    auto& a = st.all_sizes;
    a.nip = nip;
    a.nw1 = h1;
    a.nw2 = h2;
    a.nop = nop;
    a.ntotp = ntotp;
    st.nn_wei.wi.create(nip + 1, h1);
    st.nn_wei.wh.create(h1 + 1, h2);
    st.nn_wei.wo.create(h2 + 1, nop);
    st.nn_wei_sv.wisv.create(nip + 1, h1);
    st.nn_wei_sv.whsv.create(h1 + 1, h2);
    st.nn_wei_sv.wosv.create(h2 + 1, nop);
    st.nn_owei.oldwi.create(nip + 1, h1);
    st.nn_owei.oldwh.create(h1 + 1, h2);
    st.nn_owei.oldwo.create(h2 + 1, nop);
    st.nn_nodes.hnu1.assign(h1, 0.0);
    st.nn_nodes.hnu2.assign(h2, 0.0);
    st.nn_nodes.phi2p.assign(nop, 0.0);
    st.db_output.phiut.assign(static_cast<std::size_t>(nop) * ntotp, 0.0);
    st.nn_wei.exists = true;
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

}  // namespace t2test
