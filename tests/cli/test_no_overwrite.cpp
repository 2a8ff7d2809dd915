// Output files are never overwritten: a training run whose weight file or training log already
// exists stops with status 2 and leaves the existing files exactly as they were.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <sys/stat.h>
#include <vector>

#include "tests/support/run.hpp"

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

}  // namespace
