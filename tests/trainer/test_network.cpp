// Forward pass, back-propagation and error measures on small networks whose results are known.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "tests/support/network.hpp"
#include "trainer/nntrain.hpp"

using nntrain::State;
using testing_support::network_storage;

namespace {

// The C library's tanh at run time (a compile-time tanh of a constant may round differently).
double th(double v) { return nntrain::tfunc(v); }

void fill_all(State& st, double v) {
    for (auto* m : {&st.nn_wei.wi, &st.nn_wei.wh, &st.nn_wei.wo}) m->a.assign(m->a.size(), v);
}

double half_squared_error(State& st, const double* x, const double* t) {
    const auto& a = st.all_sizes;
    nntrain::calcnet(st, 1, a.nip, a.nw1, a.nw2, a.nop, a.alpha, x);
    double e = 0;
    for (int k = 0; k < a.nop; ++k) e += 0.5 * (t[k] - st.nn_nodes.phi2p[k]) * (t[k] - st.nn_nodes.phi2p[k]);
    return e;
}

}  // namespace

// Protein 2 of 3: only its output in phiut changes.
TEST(Calcnet, ConstantWeightsByHand) {
    State st;
    network_storage(st, 2, 2, 1, 1, 3);
    fill_all(st, 0.1);
    st.db_output.phiut.assign(3, -9.0);
    const double x[] = {1.0, 2.0};
    nntrain::calcnet(st, 2, 2, 2, 1, 1, 0.5, x);
    const double h1 = th(0.5 * (((0.0 + 1.0 * 0.1) + 2.0 * 0.1) + 0.1));
    const double h2 = th(0.5 * (((0.0 + h1 * 0.1) + h1 * 0.1) + 0.1));
    const double y = th(0.5 * ((0.0 + h2 * 0.1) + 0.1));
    EXPECT_EQ(st.nn_nodes.hnu1[0], h1);
    EXPECT_EQ(st.nn_nodes.hnu1[1], h1);
    EXPECT_EQ(st.nn_nodes.hnu2[0], h2);
    EXPECT_EQ(st.nn_nodes.phi2p[0], y);
    EXPECT_EQ(st.db_output.phiut, (std::vector<double>{-9.0, y, -9.0}));
    EXPECT_NEAR(h1, std::tanh(0.2), 1e-15);
}

TEST(Calcnet, ZeroWeightsOrZeroAlphaGiveZeros) {
    State st;
    network_storage(st, 3, 4, 2, 2);
    const double x[] = {5.0, -7.0, 11.0};
    fill_all(st, 0.0);
    nntrain::calcnet(st, 1, 3, 4, 2, 2, 0.2, x);
    for (double v : st.db_output.phiut) EXPECT_EQ(v, 0.0);
    for (double v : st.nn_nodes.hnu1) EXPECT_EQ(v, 0.0);
    fill_all(st, 0.3);
    nntrain::calcnet(st, 1, 3, 4, 2, 2, 0.0, x);
    for (double v : st.nn_nodes.hnu2) EXPECT_EQ(v, 0.0);
    for (double v : st.db_output.phiut) EXPECT_EQ(v, 0.0);
}

TEST(Calcnet, EmptyHiddenLayerLeavesOnlyTheBiasInRowOne) {
    State st;
    network_storage(st, 2, 0, 2, 1);
    st.nn_wei.wh(1, 1) = 0.25;
    st.nn_wei.wh(1, 2) = -0.5;
    st.nn_wei.wo.a = {1.0, 2.0, 0.125};
    const double x[] = {1.0, 1.0};
    nntrain::calcnet(st, 1, 2, 0, 2, 1, 1.0, x);
    EXPECT_EQ(st.nn_nodes.hnu2[0], th(0.25));
    EXPECT_EQ(st.nn_nodes.hnu2[1], th(-0.5));
    EXPECT_EQ(st.nn_nodes.phi2p[0], th(((0.0 + th(0.25)) + th(-0.5) * 2.0) + 0.125));
}

// A network smaller than its storage uses the leading part of each array, bias row at size+1.
TEST(Calcnet, SmallerSizesThanTheStorage) {
    State big, small;
    network_storage(big, 3, 5, 4, 2);
    network_storage(small, 3, 2, 3, 2);
    testing_support::Filler f;
    testing_support::random_weights(big, f);
    for (int j = 1; j <= 2; ++j)
        for (int k = 1; k <= 4; ++k) small.nn_wei.wi(k, j) = big.nn_wei.wi(k, j);
    for (int j = 1; j <= 3; ++j) {
        for (int k = 1; k <= 2; ++k) small.nn_wei.wh(k, j) = big.nn_wei.wh(k, j);
        small.nn_wei.wh(3, j) = big.nn_wei.wh(3, j);  // row nhid1+1 of the big storage is the bias
    }
    for (int j = 1; j <= 2; ++j)
        for (int k = 1; k <= 4; ++k) small.nn_wei.wo(k, j) = big.nn_wei.wo(k, j);
    const double x[] = {0.3, -1.2, 2.5};
    nntrain::calcnet(big, 1, 3, 2, 3, 2, 0.4, x);
    nntrain::calcnet(small, 1, 3, 2, 3, 2, 0.4, x);
    EXPECT_EQ(big.nn_nodes.phi2p[0], small.nn_nodes.phi2p[0]);
    EXPECT_EQ(big.nn_nodes.phi2p[1], small.nn_nodes.phi2p[1]);
}

TEST(Backprop, OneInputNetworkOnlyOutputBiasMoves) {
    State st;
    network_storage(st, 1, 1, 1, 1);
    const double x[] = {1.0}, t[] = {0.5};
    const double rate = 0.001;
    nntrain::calcnet(st, 1, 1, 1, 1, 1, 1.0, x);
    nntrain::backprop(st, 1, 1, 1, 1, 1.0, rate, 0.4, x, t);
    nntrain::sync_weights(st);
    EXPECT_EQ(st.nn_wei.wo(2, 1), 0.5 * rate);
    EXPECT_EQ(st.nn_owei.oldwo(2, 1), 0.5 * rate);
    EXPECT_EQ(st.nn_wei.wo(1, 1), 0.0);
    for (double v : st.nn_wei.wi.a) EXPECT_EQ(v, 0.0);
    for (double v : st.nn_wei.wh.a) EXPECT_EQ(v, 0.0);
}

// Outputs equal to their targets: every delta is 0 and every weight moves by mom x its
// previous change, which also catches a previous-change element taken from the wrong place.
TEST(Backprop, PerfectOutputsMoveByMomentumOnly) {
    State st;
    network_storage(st, 4, 3, 2, 2);
    testing_support::Filler f;
    testing_support::random_weights(st, f);
    State before = st;
    const double x[] = {0.5, -1.0, 2.0, 0.25};
    nntrain::calcnet(st, 1, 4, 3, 2, 2, 0.2, x);
    const std::vector<double> t = st.nn_nodes.phi2p;
    const double mom = 0.4;
    nntrain::backprop(st, 4, 3, 2, 2, 0.2, 0.5, mom, x, t.data());
    nntrain::sync_weights(st);
    auto check = [&](const nntrain::Mat& w, const nntrain::Mat& w0, const nntrain::Mat& o, const nntrain::Mat& o0) {
        for (std::size_t n = 0; n < w.a.size(); ++n) {
            EXPECT_EQ(o.a[n], o0.a[n] * mom) << n;
            EXPECT_EQ(w.a[n], w0.a[n] + o0.a[n] * mom) << n;
        }
    };
    check(st.nn_wei.wi, before.nn_wei.wi, st.nn_owei.oldwi, before.nn_owei.oldwi);
    check(st.nn_wei.wh, before.nn_wei.wh, st.nn_owei.oldwh, before.nn_owei.oldwh);
    check(st.nn_wei.wo, before.nn_wei.wo, st.nn_owei.oldwo, before.nn_owei.oldwo);
}

// With mom = 0 each change is -rate x the gradient of half the squared error: a finite-difference
// check over every weight catches sign, index and ordering faults (deltas from updated weights).
TEST(Backprop, ChangeIsTheNegativeGradientStep) {
    State st;
    network_storage(st, 3, 4, 3, 2);
    st.all_sizes.alpha = 0.9;
    testing_support::Filler f;
    testing_support::random_weights(st, f, 0.8);
    const double x[] = {0.7, -0.4, 1.3}, t[] = {0.6, -0.3};
    const double rate = 1e-3;
    State orig = st;
    nntrain::calcnet(st, 1, 3, 4, 3, 2, 0.9, x);
    nntrain::backprop(st, 3, 4, 3, 2, 0.9, rate, 0.0, x, t);
    nntrain::sync_weights(st);
    auto check = [&](nntrain::Mat State::*, nntrain::Mat& after, nntrain::Mat& w0) {
        for (std::size_t n = 0; n < w0.a.size(); ++n) {
            State p = orig;
            nntrain::Mat& w = (&w0 == &orig.nn_wei.wi) ? p.nn_wei.wi : (&w0 == &orig.nn_wei.wh) ? p.nn_wei.wh : p.nn_wei.wo;
            const double h = 1e-6;
            nntrain::sync_weights(p);  // the one way to change the weights the kernel's copy mirrors
            w.a[n] = w0.a[n] + h;
            const double ep = half_squared_error(p, x, t);
            nntrain::sync_weights(p);
            w.a[n] = w0.a[n] - h;
            const double em = half_squared_error(p, x, t);
            const double grad = (ep - em) / (2 * h);
            const double step = (after.a[n] - w0.a[n]) / rate;
            EXPECT_NEAR(step, -grad, 1e-7 + 1e-5 * std::fabs(grad)) << n;
        }
    };
    check(nullptr, st.nn_wei.wi, orig.nn_wei.wi);
    check(nullptr, st.nn_wei.wh, orig.nn_wei.wh);
    check(nullptr, st.nn_wei.wo, orig.nn_wei.wo);
}

TEST(Calcierr, MeanAbsoluteErrorsOfBothFolds) {
    State st;
    st.all_sizes.nop = 2;
    st.all_sizes.ntotp = 3;
    st.all_sizes.ntrap = 2;
    // Protein 2 is the test fold: the fold order comes from lstt, not from the database order.
    st.data_files.lstt = {3, 1, 2};
    st.nn_input.protut = {1.0, 1.0, 0.0, 0.0, -1.0, 2.0};
    st.db_output.phiut = {1.1, 0.7, 0.5, -0.7, -0.8, 2.4};
    double etr = 0, ete = 0;
    int better = -1;
    nntrain::calcierr(st, etr, ete, better, 20.0);
    EXPECT_NEAR(etr, 0.25, 1e-15);
    EXPECT_NEAR(ete, 0.6, 1e-15);
    EXPECT_EQ(better, 1);
    st.nn_input.protut = {0, 0, 0, 0, 0, 0};
    st.db_output.phiut = {0.2, 0.4, 0.5, 0.7, 0.1, 0.3};
    nntrain::calcierr(st, etr, ete, better, 0.6);
    EXPECT_EQ(ete, 0.6);
    EXPECT_EQ(better, 0);  // an equal test error is no improvement

    st.all_sizes.ntrap = 3;
    nntrain::calcierr(st, etr, ete, better, 20.0);
    EXPECT_TRUE(std::isnan(ete));
    EXPECT_EQ(better, 0);
    st.all_sizes.ntrap = 0;
    nntrain::calcierr(st, etr, ete, better, 20.0);
    EXPECT_TRUE(std::isnan(etr));
    EXPECT_FALSE(std::isnan(ete));
}
