// Output files are never overwritten: a training run whose weight file or training log already
// exists stops with status 2 and leaves the existing files exactly as they were.  And they are
// whole or absent: an interrupted training writes the best weights so far and says so in its
// log, a log's result line means its weight file is there, and no temporary file outlives a
// signal.
#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <filesystem>
#include <string>
#include <sys/stat.h>
#include <thread>
#include <vector>

#include "tests/support/run.hpp"
#include "textio/error.hpp"
#include "textio/files.hpp"

namespace {

using testing_support::read_file;
using testing_support::run;
using testing_support::TempDir;
using testing_support::write_file;

void database(const TempDir& dir) {
    std::string list = "db\nin\nout\n";
    for (int i = 1; i <= 21; ++i) {
        std::string p = dir / ("db/p" + std::to_string(i));
        std::filesystem::create_directories(p);
        write_file(p + "/in", "1 2 " + std::to_string(i) + "\n");
        write_file(p + "/out", "0.5\n");
        list += "p" + std::to_string(i) + "\n";
    }
    write_file(dir / "kelta.db", list);
}

struct Snapshot {
    std::string text;
    struct timespec mtime {};
};
Snapshot snap(const std::string& path) {
    Snapshot s;
    s.text = read_file(path);
    struct stat st {};
    ::stat(path.c_str(), &st);
    s.mtime = st.st_mtim;
    return s;
}
void expect_untouched(const std::string& path, const Snapshot& before) {
    Snapshot now = snap(path);
    EXPECT_EQ(now.text, before.text) << path;
    EXPECT_EQ(now.mtime.tv_sec, before.mtime.tv_sec) << path;
    EXPECT_EQ(now.mtime.tv_nsec, before.mtime.tv_nsec) << path;
}

const std::vector<std::string> args = {"-m", "2", "-r", "5"};
std::vector<std::string> with(std::vector<std::string> a, const std::vector<std::string>& more) {
    a.insert(a.end(), more.begin(), more.end());
    return a;
}

TEST(NoOverwrite, WeightFileAndLogBothExist) {
    TempDir dir;
    database(dir);
    // The named output (-owf) and the generated name.
    for (const auto& [name, extra] :
         std::vector<std::pair<std::string, std::vector<std::string>>>{{"net.wei", {"-owf", "net.wei"}},
                                                                        {"train.000021_00000000005.-m2-r5.wei", {}}}) {
        SCOPED_TRACE(name);
        write_file(dir / name, "earlier weights\n");
        write_file(dir / (name + ".fort.15"), "earlier log\n");
        Snapshot wei = snap(dir / name), log = snap(dir / (name + ".fort.15"));
        testing_support::Result r = run("nntrain", with(args, extra), dir.path());
        EXPECT_EQ(r.status, 2) << r.err;
        EXPECT_NE(r.err.find(name), std::string::npos) << r.err;  // the message names the file
        expect_untouched(dir / name, wei);
        expect_untouched(dir / (name + ".fort.15"), log);
    }
}

TEST(NoOverwrite, LogExists) {
    TempDir dir;
    database(dir);
    write_file(dir / "net.wei.fort.15", "earlier log\n");
    Snapshot log = snap(dir / "net.wei.fort.15");
    testing_support::Result r = run("nntrain", with(args, {"-owf", "net.wei"}), dir.path());
    EXPECT_EQ(r.status, 2) << r.err;
    EXPECT_EQ(r.err.rfind("net.wei.fort.15: cannot create", 0), 0u) << r.err;
    expect_untouched(dir / "net.wei.fort.15", log);
    EXPECT_FALSE(testing_support::exists(dir / "net.wei")) << "weights written although the run failed";
}

// An existing weight file is found before the run starts: no training is spent on a result
// that cannot be saved, and no log of it is left beside the earlier file.
TEST(NoOverwrite, WeightFileExistsRefusedBeforeTraining) {
    TempDir dir;
    database(dir);
    write_file(dir / "net.wei", "earlier weights\n");
    Snapshot wei = snap(dir / "net.wei");
    testing_support::Result r = run("nntrain", with(args, {"-owf", "net.wei"}), dir.path());
    EXPECT_EQ(r.status, 2) << r.err;
    EXPECT_NE(r.err.find("net.wei: cannot create"), std::string::npos) << r.err;
    expect_untouched(dir / "net.wei", wei);
    EXPECT_FALSE(testing_support::exists(dir / "net.wei.fort.15")) << "a log was left behind by a run that failed";
}

// The same run into a fresh directory works, so the refusals above come from the files.
TEST(NoOverwrite, FreshDirectoryWritesBoth) {
    TempDir dir;
    database(dir);
    testing_support::Result r = run("nntrain", with(args, {"-owf", "net.wei"}), dir.path());
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(testing_support::exists(dir / "net.wei"));
    EXPECT_TRUE(testing_support::exists(dir / "net.wei.fort.15"));
    // And a second identical run refuses, leaving the first run's files as they were.
    Snapshot wei = snap(dir / "net.wei"), log = snap(dir / "net.wei.fort.15");
    EXPECT_EQ(run("nntrain", with(args, {"-owf", "net.wei"}), dir.path()).status, 2);
    expect_untouched(dir / "net.wei", wei);
    expect_untouched(dir / "net.wei.fort.15", log);
}

// Temporary files left in dir (the hidden ".tmp-" files of an output file being written).
std::vector<std::string> temporaries(const TempDir& dir) {
    std::vector<std::string> t;
    for (const auto& e : std::filesystem::directory_iterator(dir.path()))
        if (e.path().filename().string().rfind(".tmp-", 0) == 0) t.push_back(e.path().filename().string());
    return t;
}

// Waits until the log holds n lines (a minute at most, so a run that fails early cannot hang
// the test), then sends sig to the run.
std::function<void(int)> signal_after_lines(const std::string& log, std::size_t n, int sig) {
    return [log, n, sig](int pid) {
        const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(60);
        while ((!testing_support::exists(log) || testing_support::lines_of(read_file(log)).size() < n) &&
               std::chrono::steady_clock::now() < give_up)
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        ::kill(pid, sig);
    };
}

// A stop signal during training: the weights of the best epoch so far are written, the log
// ends with the result line and a line that says where the run stopped, the status is
// 128 + the signal's number.
TEST(Interrupted, BestWeightsSoFarWrittenAndSaid) {
    for (int sig : {SIGINT, SIGHUP}) {
        SCOPED_TRACE(sig);
        TempDir dir;
        database(dir);
        const std::vector<std::string> endless = {"-m", "100000000", "-mi", "100000000", "-r", "5", "-h1", "3", "-h2", "2",
                                                  "-owf", "net.wei"};
        testing_support::Result r =
            testing_support::run_meanwhile("nntrain", endless, dir.path(), signal_after_lines(dir / "net.wei.fort.15", 9, sig));
        EXPECT_EQ(r.status, 128 + sig) << r.err;
        std::vector<std::string> log = testing_support::lines_of(read_file(dir / "net.wei.fort.15"));
        ASSERT_GE(log.size(), 6u + 3 + 2);
        const std::size_t epochs = log.size() - 8;  // the epoch lines: all finished epochs
        const std::string name = sig == SIGINT ? "SIGINT" : "SIGHUP";
        const std::string last = " Interrupted by " + name + " in epoch " + std::to_string(epochs + 1) + ": the weights of epoch ";
        EXPECT_EQ(log.back().substr(0, last.size()), last) << log.back();
        EXPECT_TRUE(log.back().ends_with(" are written to net.wei.")) << log.back();
        EXPECT_EQ(r.err, log.back() + "\n");
        EXPECT_TRUE(log[log.size() - 2].starts_with("Min error at ")) << log[log.size() - 2];
        EXPECT_TRUE(log[6 + epochs - 1].starts_with(std::string(9 - std::to_string(epochs).size(), ' ') + " " + std::to_string(epochs))) << log[6 + epochs - 1];
        // The weights are whole: a prediction reads them.
        EXPECT_EQ(run("nntrain", {"-wf", "net.wei", "-pr1", "p3"}, dir.path()).status, 0);
        EXPECT_TRUE(temporaries(dir).empty());
    }
}

// Stopped before the first epoch ends (a presentation count that makes epoch 1 endless): no
// weights to write, and the log says so.
TEST(Interrupted, BeforeTheFirstEpochEndsNoWeights) {
    TempDir dir;
    database(dir);
    write_file(dir / "db/p1/kelta.dgn", "2000000000\n");
    for (int i = 2; i <= 21; ++i) write_file(dir / ("db/p" + std::to_string(i) + "/kelta.dgn"), "1\n");
    testing_support::Result r = testing_support::run_meanwhile(
        "nntrain", with(args, {"-df", "-owf", "net.wei"}), dir.path(), signal_after_lines(dir / "net.wei.fort.15", 6, SIGTERM));
    EXPECT_EQ(r.status, 128 + SIGTERM) << r.err;
    const std::string why = " Interrupted by SIGTERM in epoch 1, before any epoch finished: no weights written.";
    EXPECT_EQ(r.err, why + "\n");
    std::vector<std::string> log = testing_support::lines_of(read_file(dir / "net.wei.fort.15"));
    ASSERT_EQ(log.size(), 7u);
    EXPECT_EQ(log.back(), why);
    EXPECT_FALSE(testing_support::exists(dir / "net.wei"));
}

// The weight write ended by a signal (SIGXFSZ: the weight file outgrows the size limit, the
// log does not): the temporary file is removed, and the log has no result line, since the
// weight file never appeared.
TEST(Interrupted, SignalDuringTheWeightWriteLeavesNoTemporaryFile) {
    TempDir dir;
    database(dir);
    testing_support::Result r =
        run("/bin/sh", {"-c", "ulimit -f 100; exec \"$0\" \"$@\"", testing_support::bin("nntrain"), "-m", "2", "-r", "5", "-h1",
                        "300", "-h2", "300", "-owf", "big.wei"},
            dir.path());
    EXPECT_EQ(r.status, 128 + SIGXFSZ) << r.err;
    EXPECT_TRUE(temporaries(dir).empty()) << temporaries(dir).front();
    EXPECT_FALSE(testing_support::exists(dir / "big.wei"));
    std::vector<std::string> log = testing_support::lines_of(read_file(dir / "big.wei.fort.15"));
    ASSERT_EQ(log.size(), 8u);
    EXPECT_FALSE(log.back().starts_with("Min error at")) << "a result line without its weight file";
}

// atomdepth's two depth files are a pair: ended by a signal during the second write (SIGXFSZ:
// the atom file outgrows the size limit, the residue file does not), the run leaves neither
// file and no temporary file, so that the same command can simply run again.
TEST(Interrupted, AtomdepthLeavesBothDepthFilesOrNeither) {
    TempDir dir;
    const std::string pdb = testing_support::examples("proteins/structures/1hel.pdb");  // files of 2.8 and 24 kB
    testing_support::Result r =
        run("/bin/sh", {"-c", "ulimit -f 20; exec \"$0\" \"$@\"", testing_support::bin("atomdepth"), "-dp", pdb, "-o", "d"},
            dir.path());
    EXPECT_EQ(r.status, 128 + SIGXFSZ) << r.err;
    std::size_t entries = 0;
    for ([[maybe_unused]] const auto& e : std::filesystem::directory_iterator(dir.path())) ++entries;
    EXPECT_EQ(entries, 0u) << "left behind: " << std::filesystem::directory_iterator(dir.path())->path();
    // Without the limit the same command then runs.
    EXPECT_EQ(run("atomdepth", {"-dp", pdb, "-o", "d"}, dir.path()).status, 0);
    EXPECT_TRUE(testing_support::exists(dir / "d-residue.depth") && testing_support::exists(dir / "d-atom.depth"));
}

// A set of files whose last name exists already: the names linked before it go again, the
// existing file is left as it was, and no temporary file stays.
TEST(NoOverwrite, FileSetWithOneExistingNameLeavesNothingNew) {
    TempDir dir;
    write_file(dir / "c", "earlier\n");
    Snapshot c = snap(dir / "c");
    try {
        textio::write_new_files({{dir / "a", "1\n"}, {dir / "b", "2\n"}, {dir / "c", "3\n"}});
        ADD_FAILURE() << "an existing name was replaced";
    } catch (const textio::Failure& f) {
        EXPECT_EQ(f.status(), 2);
        EXPECT_EQ(std::string(f.what()), dir / "c" + ": cannot create: File exists");
    }
    expect_untouched(dir / "c", c);
    EXPECT_FALSE(testing_support::exists(dir / "a"));
    EXPECT_FALSE(testing_support::exists(dir / "b"));
    EXPECT_TRUE(temporaries(dir).empty());
}

}  // namespace
