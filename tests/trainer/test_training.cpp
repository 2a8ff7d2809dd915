// Whole training runs through the driver with the training kernel, in every instruction-set
// version this build carries, against a replay of the same run with the plain loops: the
// weight files are byte for byte the same and the log's epoch lines show the same errors.
#include <gtest/gtest.h>

#include "tests/support/run.hpp"
#include "tests/support/database.hpp"
#include "textio/format.hpp"
#include "trainer/kernel.hpp"
#include "trainer/nntrain.hpp"

using nntrain::State;
namespace kernel = nntrain::kernel;
using testing_support::lines_of;
using testing_support::read_file;
using testing_support::TempDir;

namespace {

State set_up(std::vector<std::string> args, const std::string& out) {
    args.insert(args.end(), {"-owf", out});
    State st;
    nntrain::readcmd(st, args);
    nntrain::init_all(st);
    return st;
}

// The training path with the plain loops (no -wf, every presentation count 1); returns the
// epoch lines of its log.
std::vector<std::string> plain_training(State& st) {
    const auto& a = st.all_sizes;
    auto& df = st.data_files;
    nntrain::netinit(st, a.nip, a.nw1, a.nw2, a.nop);
    std::vector<std::string> lines;
    double emin = 20.0;
    int bad = 0;
    for (int epoch = 1; epoch <= a.nte && bad < a.itbmax; ++epoch) {
        nntrain::permute(st, a.ntrap, 1, a.ntrap, df.lstt2);
        for (int i = 1; i <= a.ntotp; ++i) {
            const int k = i <= a.ntrap ? df.lstt[df.lstt2[i - 1] - 1] : df.lstt[i - 1];
            const double* x = st.nn_input.protin.data() + static_cast<std::size_t>(k - 1) * a.nip;
            const double* t = st.nn_input.protut.data() + static_cast<std::size_t>(k - 1) * a.nop;
            kernel::calcnet_plain(st, k, a.nip, a.nw1, a.nw2, a.nop, a.alpha, x);
            if (i <= a.ntrap) kernel::backprop_plain(st, a.nip, a.nw1, a.nw2, a.nop, a.alpha, a.ratel, a.rmoment, x, t);
        }
        double etr = 0, ete = 0;
        int better = 0;
        nntrain::calcierr(st, etr, ete, better, emin);
        if (better == 1 || epoch == 1) {
            nntrain::savewei(st);
            emin = ete;
            bad = 0;
        } else {
            ++bad;
        }
        lines.push_back(textio::fmt_i(epoch, 10) + textio::fmt_f(etr, 11, 4) + textio::fmt_f(ete, 11, 4));
    }
    nntrain::writewei(st, df.oweifl, a.nip, a.nw1, a.nw2, a.nop, a.alpha);
    return lines;
}

}  // namespace

TEST(Training, EveryKernelVersionWritesThePlainLoopsWeightFile) {
    TempDir dir;
    const testing_support::Db db = testing_support::make_db(dir.path(), 30, "ss.target rg.target");
    for (const std::string h1 : {"21", "9"}) {
        const std::vector<std::string> args{"-l", db.list, "-r", "4242", "-m", "25", "-mi", "6", "-h1", h1, "-h2", "5",
                                            "-u", "0.05"};
        State plain = set_up(args, dir / ("plain" + h1 + ".wei"));
        const std::vector<std::string> expected = plain_training(plain);
        const std::string want = read_file(dir / ("plain" + h1 + ".wei"));
        const kernel::Isa saved = kernel::active();
        for (kernel::Isa isa : kernel::available()) {
            ASSERT_TRUE(kernel::force(isa));
            const std::string name = dir / ("fast" + h1 + kernel::name(isa) + ".wei");
            State st = set_up(args, name);
            nntrain::kelta2train(st);
            EXPECT_EQ(read_file(name), want) << kernel::name(isa) << " h1=" << h1;
            const auto log = lines_of(read_file(name + ".fort.15"));
            ASSERT_GE(log.size(), 7u);
            EXPECT_EQ(std::vector<std::string>(log.begin() + 6, log.end() - 1), expected) << kernel::name(isa);
        }
        kernel::force(saved);
    }
}

// The real program on the same database: its weight file is the plain replay's.
TEST(Training, TheProgramWritesThePlainLoopsWeightFile) {
    TempDir dir;
    const testing_support::Db db = testing_support::make_db(dir.path(), 25, "ss.target");
    const std::vector<std::string> args{"-l", db.list, "-r", "77", "-m", "15", "-h1", "12", "-h2", "3"};
    State plain = set_up(args, dir / "plain.wei");
    plain_training(plain);
    std::vector<std::string> run_args = args;
    run_args.insert(run_args.end(), {"-owf", "prog.wei"});
    const auto r = testing_support::run("nntrain", run_args, dir.path());
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(read_file(dir / "prog.wei"), read_file(dir / "plain.wei"));
}
