// Whole training runs through the driver in every kernel version this build carries against
// the same run on the plain version (the reference loops): the weight files are byte for byte
// the same and the log's epoch lines show the same errors.
#include <gtest/gtest.h>

#include "tests/support/run.hpp"
#include "tests/support/database.hpp"
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

// Trains with kernel version isa.
void train_on(kernel::Isa isa, const std::vector<std::string>& args, const std::string& out) {
    State st = set_up(args, out);
    ASSERT_TRUE(kernel::force(st, isa));
    nntrain::kelta2train(st);
}

std::vector<std::string> epoch_lines(const std::string& log_path) {
    const auto log = lines_of(read_file(log_path));
    EXPECT_GE(log.size(), 7u);
    return log.size() < 7 ? std::vector<std::string>{} : std::vector<std::string>(log.begin() + 6, log.end() - 1);
}

}  // namespace

TEST(Training, EveryKernelVersionWritesThePlainLoopsWeightFile) {
    TempDir dir;
    const testing_support::Db db = testing_support::make_db(dir.path(), 30, "ss.target rg.target");
    for (const std::string h1 : {"21", "9"}) {
        const std::vector<std::string> args{"-l", db.list, "-r", "4242", "-m", "25", "-mi", "6", "-h1", h1, "-h2", "5",
                                            "-u", "0.05"};
        const std::string plain = dir / ("plain" + h1 + ".wei");
        train_on(kernel::Isa::plain, args, plain);
        for (kernel::Isa isa : kernel::available()) {
            if (isa == kernel::Isa::plain) continue;
            const std::string name = dir / ("fast" + h1 + kernel::name(isa) + ".wei");
            train_on(isa, args, name);
            EXPECT_EQ(read_file(name), read_file(plain)) << kernel::name(isa) << " h1=" << h1;
            EXPECT_EQ(epoch_lines(name + ".fort.15"), epoch_lines(plain + ".fort.15")) << kernel::name(isa);
        }
    }
}

// The real program on the same database: its weight file is the plain loops' one.
TEST(Training, TheProgramWritesThePlainLoopsWeightFile) {
    TempDir dir;
    const testing_support::Db db = testing_support::make_db(dir.path(), 25, "ss.target");
    const std::vector<std::string> args{"-l", db.list, "-r", "77", "-m", "15", "-h1", "12", "-h2", "3"};
    train_on(kernel::Isa::plain, args, dir / "plain.wei");
    std::vector<std::string> run_args = args;
    run_args.insert(run_args.end(), {"-owf", "prog.wei"});
    const auto r = testing_support::run("nntrain", run_args, dir.path());
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(read_file(dir / "prog.wei"), read_file(dir / "plain.wei"));
}
