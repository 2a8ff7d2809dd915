// Weight files: layout, reading back, the size checks and the refusals.
#include <gtest/gtest.h>

#include <cstring>

#include "tests/support/run.hpp"
#include "tests/support/network.hpp"
#include "textio/error.hpp"
#include "textio/format.hpp"
#include "trainer/nntrain.hpp"

using nntrain::State;
using testing_support::network_storage;
using testing_support::lines_of;
using testing_support::read_file;
using testing_support::TempDir;
using testing_support::write_file;

namespace {

textio::Failure failure_of(const std::function<void()>& f) {
    try {
        f();
    } catch (const textio::Failure& e) {
        return e;
    }
    ADD_FAILURE() << "no error stop";
    return textio::Failure(-1, "");
}

void set_types(State& st) {
    st.data_files.datdir = "db/dir x";
    st.data_files.nsinp = 2;
    st.data_files.sinfyles[0] = "a.in";
    st.data_files.sinfyles[1] = "b.in";
    st.data_files.nsutp = 1;
    st.data_files.sutfyles[0] = "t.out";
}

std::string weight_line(double v) { return " " + textio::real17(v); }

bool same_bits(double a, double b) { return std::memcmp(&a, &b, sizeof a) == 0; }

// A weight file with header line 4 `sizes` and weights 1, 2, 3, ... (n of them).
std::string numbered_file(const std::string& sizes, int n) {
    std::string s = "\"d\"\nx \ny \n" + sizes + "\n";
    for (int v = 1; v <= n; ++v) s += " " + std::to_string(v) + ".0\n";
    return s;
}

}  // namespace

TEST(Writewei, ElevenLinesForTwoOneOneOne) {
    TempDir dir;
    State st;
    network_storage(st, 2, 1, 1, 1);
    set_types(st);
    st.nn_wei_sv.wisv.a = {0.125, -0.25, 0.375};
    st.nn_wei_sv.whsv.a = {0.5, -0.625};
    st.nn_wei_sv.wosv.a = {0.1, -1e-300};
    nntrain::writewei(st, dir / "w.wei", 2, 1, 1, 1, st.all_sizes.alpha);
    const auto lines = lines_of(read_file(dir / "w.wei"));
    ASSERT_EQ(lines.size(), 11u);
    EXPECT_EQ(lines[0], "\"db/dir x\"");
    EXPECT_EQ(lines[1], "a.in b.in ");
    EXPECT_EQ(lines[2], "t.out ");
    EXPECT_EQ(lines[3], " 2 1 1 1 2.0000000298023224E-01");
    EXPECT_EQ(lines[4], weight_line(0.125));
    EXPECT_EQ(lines[5], weight_line(-0.25));
    EXPECT_EQ(lines[6], weight_line(0.375));  // the bias (3,1) of the first matrix
    EXPECT_EQ(lines[7], weight_line(0.5));
    EXPECT_EQ(lines[10], weight_line(-1e-300));
}

TEST(Writewei, TargetIndexChangesFirst) {
    TempDir dir;
    State st;
    network_storage(st, 1, 2, 1, 1);
    st.nn_wei_sv.wisv(1, 1) = 11;
    st.nn_wei_sv.wisv(1, 2) = 12;
    st.nn_wei_sv.wisv(2, 1) = 21;
    st.nn_wei_sv.wisv(2, 2) = 22;
    nntrain::writewei(st, dir / "w.wei", 1, 2, 1, 1, 0.5);
    const auto lines = lines_of(read_file(dir / "w.wei"));
    ASSERT_EQ(lines.size(), 4u + 4 + 3 + 2);
    EXPECT_EQ(lines[1], "");  // no type names: an empty line
    EXPECT_EQ(lines[4], weight_line(11));
    EXPECT_EQ(lines[5], weight_line(12));
    EXPECT_EQ(lines[6], weight_line(21));
    EXPECT_EQ(lines[7], weight_line(22));
}

TEST(Weights, WriteThenReadIsBitIdentical) {
    TempDir dir;
    State st;
    network_storage(st, 7, 5, 4, 3);
    set_types(st);
    testing_support::Filler f;
    testing_support::random_weights(st, f, 3.0);
    st.nn_wei.wi.a[3] = 1.0 / 3.0;
    st.nn_wei.wo.a[0] = -0x1.fffffffffffffp-1022;  // subnormal
    nntrain::savewei(st);
    nntrain::writewei(st, dir / "w.wei", 7, 5, 4, 3, 0.123456789012345678);

    State back;
    network_storage(back, 7, 5, 4, 3);
    int h1 = 0, h2 = 0;
    double alpha = 0;
    nntrain::readwei(back, dir / "w.wei", 7, h1, h2, 3, alpha);
    EXPECT_EQ(h1, 5);
    EXPECT_EQ(h2, 4);
    EXPECT_TRUE(same_bits(alpha, 0.123456789012345678));
    auto check = [](const nntrain::Mat& w, const nntrain::Mat& sv, const nntrain::Mat& old) {
        ASSERT_EQ(w.a.size(), sv.a.size());
        for (std::size_t n = 0; n < w.a.size(); ++n) {
            EXPECT_TRUE(same_bits(w.a[n], sv.a[n])) << n;
            EXPECT_TRUE(same_bits(old.a[n], w.a[n] / 10.0)) << n;
        }
    };
    check(back.nn_wei.wi, st.nn_wei_sv.wisv, back.nn_owei.oldwi);
    check(back.nn_wei.wh, st.nn_wei_sv.whsv, back.nn_owei.oldwh);
    check(back.nn_wei.wo, st.nn_wei_sv.wosv, back.nn_owei.oldwo);
}

TEST(Readwei, SizesLineSetsHiddenSizesAndCountOfWeights) {
    TempDir dir;
    write_file(dir / "w.wei", numbered_file(" 3 5 4 2 0.2", 54) + " 99\n");
    State st;
    network_storage(st, 3, 21, 21, 2);
    nntrain::readwei(st, dir / "w.wei", 3, st.all_sizes.nw1, st.all_sizes.nw2, 2, st.all_sizes.alpha);
    EXPECT_EQ(st.all_sizes.nw1, 5);
    EXPECT_EQ(st.all_sizes.nw2, 4);
    EXPECT_EQ(st.all_sizes.alpha, 0.2);
    EXPECT_EQ(st.nn_wei.wi(1, 2), 2.0);   // file order: target index first
    EXPECT_EQ(st.nn_wei.wi(4, 5), 20.0);  // bias row of the first block
    EXPECT_EQ(st.nn_wei.wh(1, 1), 21.0);
    EXPECT_EQ(st.nn_wei.wh(6, 4), 44.0);  // bias row nhid1+1 = 6 within a storage of 22 rows
    EXPECT_EQ(st.nn_wei.wo(5, 2), 54.0);
    EXPECT_EQ(st.nn_owei.oldwo(5, 2), 5.4);

    write_file(dir / "short.wei", numbered_file(" 3 5 4 2 0.2", 53));
    State st2;
    network_storage(st2, 3, 21, 21, 2);
    EXPECT_EQ(failure_of([&] { nntrain::readwei(st2, dir / "short.wei", 3, st2.all_sizes.nw1, st2.all_sizes.nw2, 2, st2.all_sizes.alpha); }).status(),
              textio::status_io);
}

TEST(Readwei, CountMismatchStops) {
    TempDir dir;
    write_file(dir / "w.wei", numbered_file(" 4 1 1 2 0.2", 20));
    State st;
    network_storage(st, 3, 2, 2, 2);
    const auto f = failure_of([&] { nntrain::readwei(st, dir / "w.wei", 3, st.all_sizes.nw1, st.all_sizes.nw2, 2, st.all_sizes.alpha); });
    EXPECT_EQ(f.status(), textio::status_stop);
    EXPECT_STREQ(f.what(), " Different number of inputs/output b/w data and weight files, aborting. 3 4 2 2");
    write_file(dir / "w2.wei", numbered_file(" 3 1 1 1 0.2", 20));
    const auto g = failure_of([&] { nntrain::readwei(st, dir / "w2.wei", 3, st.all_sizes.nw1, st.all_sizes.nw2, 2, st.all_sizes.alpha); });
    EXPECT_STREQ(g.what(), " Different number of inputs/output b/w data and weight files, aborting. 3 3 2 1");
    write_file(dir / "w3.wei", "\"d\"\nx \ny \n 3 1 1 2 abc\n");
    const auto h = failure_of([&] { nntrain::readwei(st, dir / "w3.wei", 3, st.all_sizes.nw1, st.all_sizes.nw2, 2, st.all_sizes.alpha); });
    EXPECT_EQ(h.status(), textio::status_io);
    EXPECT_NE(std::string(h.what()).find("w3.wei:4"), std::string::npos) << h.what();
    EXPECT_EQ(failure_of([&] { nntrain::readwei(st, dir / "none.wei", 3, st.all_sizes.nw1, st.all_sizes.nw2, 2, st.all_sizes.alpha); }).status(),
              textio::status_io);
}

TEST(Readwei, EachLineContributesItsFirstValue) {
    TempDir dir;
    // 1-1-1-1: 2 + 2 + 2 weights; a line with several values, and an empty line passed over.
    write_file(dir / "w.wei", "\"d\"\nx \ny \n 1 1 1 1 0.5\n 0.5 9 9\n\n -0.25, 8\n 1\n 2\n 3\n 4\n");
    State st;
    network_storage(st, 1, 1, 1, 1);
    nntrain::readwei(st, dir / "w.wei", 1, st.all_sizes.nw1, st.all_sizes.nw2, 1, st.all_sizes.alpha);
    EXPECT_EQ(st.nn_wei.wi.a, (std::vector<double>{0.5, -0.25}));
    EXPECT_EQ(st.nn_wei.wh.a, (std::vector<double>{1, 2}));
    EXPECT_EQ(st.nn_wei.wo.a, (std::vector<double>{3, 4}));
}

// Hidden layers larger than the storage: the storage is set up again with the file's sizes.
TEST(Readwei, LargerHiddenLayersGetNewStorage) {
    TempDir dir;
    write_file(dir / "w.wei", numbered_file(" 3 5 4 2 0.2", 54));
    State st;
    network_storage(st, 3, 2, 2, 2, 4);
    nntrain::readwei(st, dir / "w.wei", 3, st.all_sizes.nw1, st.all_sizes.nw2, 2, st.all_sizes.alpha);
    EXPECT_EQ(st.nn_wei.wi.cols, 5);
    EXPECT_EQ(st.nn_wei.wh.ld, 6);
    EXPECT_EQ(st.nn_wei.wo(5, 2), 54.0);
    EXPECT_EQ(st.nn_nodes.hnu1.size(), 5u);
    EXPECT_EQ(st.db_output.phiut.size(), 8u);
}

TEST(Writewei, ExistingFileIsNeverTouched) {
    TempDir dir;
    write_file(dir / "w.wei", "precious\n");
    State st;
    network_storage(st, 2, 1, 1, 1);
    const auto f = failure_of([&] { nntrain::writewei(st, dir / "w.wei", 2, 1, 1, 1, 0.2); });
    EXPECT_EQ(f.status(), textio::status_io);
    EXPECT_EQ(read_file(dir / "w.wei"), "precious\n");
}

// Sizes that ask for more weights than the file has lines: refused naming the file, before
// any storage is set up for them (2147483647 nodes would not fit in memory).
TEST(Readwei, SizeClaimsBeyondTheFileAreRefused) {
    TempDir dir;
    for (const char* sizes : {" 3 2147483647 1 2 0.2", " 3 1 2147483647 2 0.2", " 3 100000000 1 2 0.2"}) {
        write_file(dir / "w.wei", "\"d\"\nx \ny \n" + std::string(sizes) + "\n 0.5\n 0.5\n");
        State st;
        network_storage(st, 3, 2, 2, 2);
        const auto f = failure_of([&] { nntrain::readwei(st, dir / "w.wei", 3, st.all_sizes.nw1, st.all_sizes.nw2, 2, st.all_sizes.alpha); });
        EXPECT_EQ(f.status(), textio::status_io) << sizes;
        EXPECT_EQ(std::string(f.what()).rfind(dir / "w.wei:4: the sizes ask for more weights", 0), 0u) << f.what();
        EXPECT_EQ(st.nn_wei.wi.cols, 2) << "no storage set up for the claim";
    }
}
