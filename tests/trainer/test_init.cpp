// Random start and presentation order: the draws each makes, in their order.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>

#include "tests/support/network.hpp"
#include "trainer/nntrain.hpp"

using nntrain::State;

namespace {

void seed(nntrain::Random& r, std::int32_t s) {
    std::array<std::int32_t, nntrain::Random::nseeds> w{};
    w.fill(s);
    r.seed(w);
}

// The stream of st must stand exactly n draws after a fresh stream of the same seed.
void expect_draws(State& st, std::int32_t s, int n) {
    nntrain::Random fresh;
    seed(fresh, s);
    for (int k = 0; k < n; ++k) fresh.next();
    EXPECT_EQ(st.randseed.rng.next(), fresh.next()) << "expected " << n << " draws";
}

}  // namespace

TEST(Netinit, OneDrawPerWeightSourceOuterTargetInner) {
    State st;
    testing_support::network_storage(st, 3, 2, 4, 2);
    seed(st.randseed.rng, 77);
    nntrain::netinit(st, 3, 2, 4, 2);
    nntrain::Random r;
    seed(r, 77);
    const double first = r.draw() - 0.5, second = r.draw() - 0.5;
    EXPECT_EQ(st.nn_wei.wi(1, 1), first);
    EXPECT_EQ(st.nn_wei.wi(1, 2), second);
    EXPECT_EQ(st.nn_owei.oldwi(1, 2), second / 10.0);
    for (const auto* m : {&st.nn_wei.wi, &st.nn_wei.wh, &st.nn_wei.wo})
        for (double v : m->a) EXPECT_TRUE(v >= -0.5 && v < 0.5);
    expect_draws(st, 77, 4 * 2 + 3 * 4 + 5 * 2);
}

TEST(Netinit, EmptyFirstHiddenLayerDrawsOnlyTheBiasRowOfWh) {
    State st;
    testing_support::network_storage(st, 3, 0, 2, 1);
    seed(st.randseed.rng, 5);
    nntrain::netinit(st, 3, 0, 2, 1);
    nntrain::Random r;
    seed(r, 5);
    EXPECT_EQ(st.nn_wei.wh(1, 1), r.draw() - 0.5);
    expect_draws(st, 5, 0 + 1 * 2 + 3 * 1);
}

TEST(Permute, DrawsOncePerPositionAndKeepsAPermutation) {
    State st;
    seed(st.randseed.rng, 9);
    std::vector<int> a{1, 2, 3, 4, 5, 6, 7};
    nntrain::permute(st, 7, 1, 0, a);  // ntrap = 0: nothing, no draw
    expect_draws(st, 9, 0);

    seed(st.randseed.rng, 9);
    nntrain::permute(st, 1, 1, 1, a);  // ntrap = 1: one draw, order unchanged
    EXPECT_EQ(a, (std::vector<int>{1, 2, 3, 4, 5, 6, 7}));
    expect_draws(st, 9, 1);

    seed(st.randseed.rng, 9);
    nntrain::permute(st, 7, 3, 6, a);  // positions 3..6 only
    expect_draws(st, 9, 4);
    EXPECT_EQ(a[0], 1);
    EXPECT_EQ(a[1], 2);
    EXPECT_EQ(a[6], 7);
    std::vector<int> sorted = a;
    std::sort(sorted.begin(), sorted.end());
    EXPECT_EQ(sorted, (std::vector<int>{1, 2, 3, 4, 5, 6, 7}));
}
