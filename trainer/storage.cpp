// Working storage set-up: init_all (database load as the reload flag dbv asks, then the
// network storage) and make_network_storage (the thirteen network arrays for the sizes in
// force).
//
// State read: fylein, weifl, dbv, nip, nw1, nw2, nop, ntotp.  State written: dbv, and the
// arrays wi, wh, wo, wisv, whsv, wosv, oldwi, oldwh, oldwo, hnu1, hnu2, phi2p, phiut (replaced
// whole; an extent below 1 gives an empty dimension).  The arrays are zero-filled; no caller
// may rely on that.
#include <algorithm>
#include <cstdint>
#include <limits>
#include <stdexcept>

#include "trainer/nntrain.hpp"

namespace nntrain {

void init_all(State& st) {
    AllSizes& s = st.all_sizes;
    if (st.data_files.fylein.empty() && st.data_files.weifl.empty()) return;
    if (s.dbv >= 0) {
        initdb(st);
        if (s.dbv == 0) s.dbv = -1;
    }
    make_network_storage(st);
}

// Refuses a matrix of rows x cols doubles whose row count or byte size cannot be represented
// (a size of 2147483647 plus its bias row, say), before anything is allocated.
static void check_extent(std::int64_t rows, std::int64_t cols) {
    if (rows > std::numeric_limits<int>::max() || cols > std::numeric_limits<int>::max())
        throw std::length_error("network size");
    if (rows > 0 && cols > 0 && rows > std::numeric_limits<std::int64_t>::max() / 8 / cols)
        throw std::length_error("network size");
}

void make_network_storage(State& st) {
    const AllSizes& s = st.all_sizes;
    auto extent = [](std::int64_t n) { return static_cast<std::size_t>(std::max<std::int64_t>(n, 0)); };
    check_extent(std::int64_t{s.nip} + 1, s.nw1);
    check_extent(std::int64_t{s.nw1} + 1, s.nw2);
    check_extent(std::int64_t{s.nw2} + 1, s.nop);
    check_extent(s.nop, s.ntotp);
    // The working copy mirrors the old set: it goes with it.
    sync_weights(st);
    // Release the old set first so that the old and the new set are never held together.
    st.nn_wei = NnWei{};
    st.nn_wei_sv = NnWeiSv{};
    st.nn_owei = NnOwei{};
    st.nn_nodes = NnNodes{};
    st.db_output = DbOutput{};

    st.nn_wei.wi.create(s.nip + 1, s.nw1);
    st.nn_wei.wh.create(s.nw1 + 1, s.nw2);
    st.nn_wei.wo.create(s.nw2 + 1, s.nop);
    st.nn_wei_sv.wisv.create(s.nip + 1, s.nw1);
    st.nn_wei_sv.whsv.create(s.nw1 + 1, s.nw2);
    st.nn_wei_sv.wosv.create(s.nw2 + 1, s.nop);
    st.nn_owei.oldwi.create(s.nip + 1, s.nw1);
    st.nn_owei.oldwh.create(s.nw1 + 1, s.nw2);
    st.nn_owei.oldwo.create(s.nw2 + 1, s.nop);
    st.nn_nodes.hnu1.assign(extent(s.nw1), 0.0);
    st.nn_nodes.hnu2.assign(extent(s.nw2), 0.0);
    st.nn_nodes.phi2p.assign(extent(s.nop), 0.0);
    st.db_output.phiut.assign(extent(static_cast<std::int64_t>(s.nop) * s.ntotp), 0.0);
    st.nn_wei.exists = true;
}

}  // namespace nntrain
