// The training kernel against the plain loops: several epochs of the driver's own epoch loop on
// random data give the same bits (outputs, weights, previous changes) in every version this
// build carries as on the plain version, for several layer sizes.
#include <gtest/gtest.h>

#include <cstring>

#include "tests/support/network.hpp"
#include "trainer/kernel.hpp"
#include "trainer/nntrain.hpp"

using nntrain::State;
namespace kernel = nntrain::kernel;

namespace {

bool same_bits(const std::vector<double>& a, const std::vector<double>& b) {
    return a.size() == b.size() && (a.empty() || std::memcmp(a.data(), b.data(), a.size() * sizeof(double)) == 0);
}

struct Net {
    int nip, h1, h2, nop;
};

// A random database and starting weights; inputs include zeros, negative zeros, large values
// (saturated nodes) and tiny ones.
State random_state(const Net& n, int ntotp, std::uint64_t seed) {
    State st;
    testing_support::network_storage(st, n.nip, n.h1, n.h2, n.nop, ntotp);
    testing_support::Filler f{seed};
    testing_support::random_weights(st, f, 0.5);
    st.nn_input.protin.resize(static_cast<std::size_t>(n.nip) * ntotp);
    f.fill(st.nn_input.protin, -2.0, 2.0);
    for (std::size_t k = 0; k < st.nn_input.protin.size(); k += 17) st.nn_input.protin[k] = 0.0;
    for (std::size_t k = 5; k < st.nn_input.protin.size(); k += 23) st.nn_input.protin[k] = -0.0;
    for (std::size_t k = 3; k < st.nn_input.protin.size(); k += 97) st.nn_input.protin[k] = 1e3;
    for (std::size_t k = 7; k < st.nn_input.protin.size(); k += 89) st.nn_input.protin[k] = 1e-310;
    st.nn_input.protut.resize(static_cast<std::size_t>(n.nop) * ntotp);
    f.fill(st.nn_input.protut, -1.0, 1.0);
    st.all_sizes.ntrap = ntotp - 3;
    st.data_files.lstt.resize(ntotp);
    for (int k = 0; k < ntotp; ++k) st.data_files.lstt[k] = k + 1;
    st.data_files.lstt2.resize(ntotp - 3);
    for (int k = 0; k < ntotp - 3; ++k) st.data_files.lstt2[k] = k + 1;
    st.nn_input.iprotdg.assign(ntotp, 1);
    st.all_sizes.alpha = 0.7;
    st.all_sizes.ratel = 0.05;
    st.all_sizes.rmoment = 0.4;
    return st;
}

// One epoch of the driver's loop on version isa.
void epoch(State& st, kernel::Isa isa) {
    ASSERT_TRUE(kernel::force(st, isa));
    EXPECT_TRUE(nntrain::train_epoch(st));
}

void expect_same(State& fast, const State& plain, const std::string& what) {
    nntrain::sync_weights(fast);
    EXPECT_TRUE(same_bits(fast.db_output.phiut, plain.db_output.phiut)) << what << ": outputs";
    EXPECT_TRUE(same_bits(fast.nn_wei.wi.a, plain.nn_wei.wi.a)) << what << ": wi";
    EXPECT_TRUE(same_bits(fast.nn_owei.oldwi.a, plain.nn_owei.oldwi.a)) << what << ": oldwi";
    EXPECT_TRUE(same_bits(fast.nn_wei.wh.a, plain.nn_wei.wh.a)) << what << ": wh";
    EXPECT_TRUE(same_bits(fast.nn_owei.oldwh.a, plain.nn_owei.oldwh.a)) << what << ": oldwh";
    EXPECT_TRUE(same_bits(fast.nn_wei.wo.a, plain.nn_wei.wo.a)) << what << ": wo";
    EXPECT_TRUE(same_bits(fast.nn_owei.oldwo.a, plain.nn_owei.oldwo.a)) << what << ": oldwo";
    EXPECT_TRUE(same_bits(fast.nn_nodes.hnu1, plain.nn_nodes.hnu1)) << what << ": hnu1";
    EXPECT_TRUE(same_bits(fast.nn_wei_sv.wisv.a, plain.nn_wei_sv.wisv.a)) << what << ": wisv";
}

class Kernels : public ::testing::TestWithParam<kernel::Isa> {};

std::string isa_name(const ::testing::TestParamInfo<kernel::Isa>& info) { return kernel::name(info.param); }

}  // namespace

TEST_P(Kernels, EpochsMatchThePlainLoopsBitForBit) {
    // Hidden sizes around the lane blocks: 1 node, 8, 21 (24 lanes, 3 of them padding), 33 and 70
    // (blocks of 32 or 64 lanes and a smaller one).  The weights are also saved between epochs.
    for (const Net& n : {Net{37, 21, 21, 3}, Net{5, 1, 1, 1}, Net{64, 8, 3, 2}, Net{19, 33, 6, 4}, Net{7, 70, 3, 2},
                         Net{3, 0, 2, 1}}) {
        State plain = random_state(n, 12, 0x9e3779b97f4a7c15ull + n.nip);
        State fast = plain;
        for (int e = 1; e <= 4; ++e) {
            epoch(plain, kernel::Isa::plain);
            epoch(fast, GetParam());
            if (e == 2) {
                nntrain::savewei(plain);
                nntrain::savewei(fast);
            }
            expect_same(fast, plain, "h1=" + std::to_string(n.h1) + " epoch " + std::to_string(e));
        }
    }
}

// Sizes below the storage's: the leading part of each matrix, bias rows at size+1.
TEST_P(Kernels, SmallerSizesThanTheStorage) {
    State plain = random_state(Net{11, 13, 9, 2}, 6, 42);
    plain.all_sizes.nw1 = 6;
    plain.all_sizes.nw2 = 4;
    State fast = plain;
    for (int e = 0; e < 3; ++e) {
        epoch(plain, kernel::Isa::plain);
        epoch(fast, GetParam());
    }
    expect_same(fast, plain, "smaller sizes");
}

// Two updates without a forward pass between them (the first one waits in the copy), then
// a forward pass: still the plain loops' bits.
TEST_P(Kernels, BackToBackUpdates) {
    State plain = random_state(Net{29, 21, 5, 2}, 4, 99);
    State fast = plain;
    ASSERT_TRUE(kernel::force(fast, GetParam()));
    const auto& a = plain.all_sizes;
    const double* x = plain.nn_input.protin.data();
    const double* t = plain.nn_input.protut.data();
    kernel::calcnet_plain(plain, 1, a.nip, a.nw1, a.nw2, a.nop, a.alpha, x);
    kernel::backprop_plain(plain, a.nip, a.nw1, a.nw2, a.nop, a.alpha, 0.1, 0.4, x, t);
    kernel::backprop_plain(plain, a.nip, a.nw1, a.nw2, a.nop, a.alpha, 0.2, 0.3, x + a.nip, t);
    kernel::calcnet_plain(plain, 2, a.nip, a.nw1, a.nw2, a.nop, a.alpha, x + a.nip);
    nntrain::calcnet(fast, 1, a.nip, a.nw1, a.nw2, a.nop, a.alpha, x);
    nntrain::backprop(fast, a.nip, a.nw1, a.nw2, a.nop, a.alpha, 0.1, 0.4, x, t);
    nntrain::backprop(fast, a.nip, a.nw1, a.nw2, a.nop, a.alpha, 0.2, 0.3, x + a.nip, t);
    nntrain::savewei(plain);
    nntrain::savewei(fast);  // taken from the working copy while an update waits in it
    nntrain::calcnet(fast, 2, a.nip, a.nw1, a.nw2, a.nop, a.alpha, x + a.nip);
    expect_same(fast, plain, "back to back");
}

INSTANTIATE_TEST_SUITE_P(EveryVersion, Kernels, ::testing::ValuesIn(kernel::available()), isa_name);

// After sync_weights the column-major weights are the current ones again: a direct change of
// wi is seen by the next forward pass.  Forward passes alone (a prediction) build the working
// copy once and reuse it: it stays fresh, and only sync_weights makes it stale.
TEST(KernelVersions, DirectChangesAfterSyncAreSeen) {
    State st = random_state(Net{4, 3, 2, 1}, 4, 7);
    const auto& a = st.all_sizes;
    const double* x = st.nn_input.protin.data();
    nntrain::calcnet(st, 1, a.nip, a.nw1, a.nw2, a.nop, a.alpha, x);
    nntrain::backprop(st, a.nip, a.nw1, a.nw2, a.nop, a.alpha, 0.1, 0.4, x, st.nn_input.protut.data());
    EXPECT_EQ(st.nn_work.copy(), nntrain::NnWork::Copy::ahead);
    nntrain::sync_weights(st);
    EXPECT_EQ(st.nn_work.copy(), nntrain::NnWork::Copy::stale);
    st.nn_wei.wi.a.assign(st.nn_wei.wi.a.size(), 0.0);
    nntrain::calcnet(st, 1, a.nip, a.nw1, a.nw2, a.nop, a.alpha, x);
    for (double v : st.nn_nodes.hnu1) EXPECT_EQ(v, 0.0);
    EXPECT_EQ(st.nn_work.copy(), nntrain::NnWork::Copy::fresh);
    const double* copy = st.nn_work.wit.data();
    nntrain::calcnet(st, 2, a.nip, a.nw1, a.nw2, a.nop, a.alpha, x + a.nip);
    EXPECT_EQ(st.nn_work.copy(), nntrain::NnWork::Copy::fresh);
    EXPECT_EQ(st.nn_work.wit.data(), copy);
    // Storage set up again is never read through the old copy.
    nntrain::make_network_storage(st);
    EXPECT_EQ(st.nn_work.copy(), nntrain::NnWork::Copy::stale);
}
