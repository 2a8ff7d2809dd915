// End-to-end: examples/demo.sh in a reduced mode (few networks, few epochs) on the real example
// proteins: structures -> pairdist and depthdist tables -> database -> networks trained in
// parallel -> averaged predictions of held-out families -> summary.  Checks the files the
// pipeline leaves, recomputes the summary's errors from them, and checks that it refuses an
// existing output directory and stops at the first failing program.
#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "tests/support/run.hpp"

namespace {

using namespace testing_support;
namespace fs = std::filesystem;

const std::string demo_script = std::string(PROTNN_SOURCE_DIR) + "/examples/demo.sh";

// Runs the demo with a small ensemble and few epochs, so that it takes about a second.
Result run_demo(const std::string& bindir, const std::string& out) {
    return run("/usr/bin/env", {"DEMO_NETS=2", "DEMO_EPOCHS=30", "DEMO_BAD=10", "DEMO_SEED=5", "bash", demo_script,
                                bindir, out});
}

std::vector<std::string> words(const std::string& line) {
    std::istringstream in(line);
    std::vector<std::string> w;
    for (std::string s; in >> s;) w.push_back(s);
    return w;
}

std::vector<double> numbers_of(const std::string& path) {
    std::istringstream in(read_file(path));
    std::vector<double> v;
    for (double x; in >> x;) v.push_back(x);
    return v;
}

// sample -> protein family, from the manifest of the example proteins.
std::map<std::string, std::string> families() {
    std::map<std::string, std::string> group;
    auto lines = lines_of(read_file(examples("proteins/manifest.tsv")));
    for (size_t i = 1; i < lines.size(); ++i) {
        std::istringstream in(lines[i]);
        std::string sample, side, g;
        std::getline(in, sample, '\t');
        std::getline(in, side, '\t');
        std::getline(in, g, '\t');
        if (!sample.empty()) group[sample] = g;
    }
    return group;
}

// The last four numbers of the summary line that starts with label.
std::vector<double> summary_row(const std::string& out, const std::string& label) {
    for (const auto& line : lines_of(out)) {
        if (line.rfind(label, 0) != 0) continue;
        auto w = words(line);
        std::vector<double> v;
        for (size_t i = w.size() - 4; i < w.size(); ++i) v.push_back(std::stod(w[i]));
        return v;
    }
    ADD_FAILURE() << "no summary line starting with '" << label << "' in:\n" << out;
    return {0, 0, 0, 0};
}

class Demo : public ::testing::Test {
protected:
    TempDir tmp;
};

TEST_F(Demo, ReducedPipelineBuildsDatabaseTrainsPredictsAndSummarises) {
    std::string out = tmp / "run1";
    Result r = run_demo(PROTNN_BIN_DIR, out);
    ASSERT_EQ(r.status, 0) << r.out << r.err;

    // The database list: quoted directory, the two input and two output types, and no protein
    // of a held-out family.
    auto list = lines_of(read_file(out + "/kelta.db"));
    ASSERT_GE(list.size(), 23u);
    EXPECT_EQ(list[0], "\"" + fs::canonical(out).string() + "/db\"");
    EXPECT_EQ(list[1], "pairdist.tab depth.tab");
    EXPECT_EQ(list[2], "ss.target rg.target");
    std::vector<std::string> listed(list.begin() + 3, list.end());
    auto held = lines_of(read_file(out + "/holdout.ids"));
    ASSERT_FALSE(held.empty());
    auto group = families();
    EXPECT_EQ(listed.size() + held.size(), group.size()) << "every example protein is used once";
    std::set<std::string> held_groups;
    for (const auto& s : held) held_groups.insert(group.at(s));
    for (const auto& s : listed) EXPECT_EQ(held_groups.count(group.at(s)), 0u) << s << " shares a held-out family";

    // Every protein directory holds the two tables in the shapes nntrain expects.
    for (const auto& s : listed) {
        std::string dir = out + "/db/" + s;
        auto pd = lines_of(read_file(dir + "/pairdist.tab"));
        ASSERT_EQ(pd.size(), 441u) << s;
        EXPECT_EQ(words(pd[0]).size(), 3u) << s;
        auto dd = lines_of(read_file(dir + "/depth.tab"));
        ASSERT_EQ(dd.size(), 168u) << s;
        EXPECT_EQ(words(dd[0]).size(), 4u) << s;
        EXPECT_EQ(read_file(dir + "/ss.target"), read_file(examples("proteins/targets/" + s + "/ss.target")));
    }

    // Two networks with their logs, averaged over in the predictions.
    for (const char* f : {"net1.wei", "net2.wei", "net1.wei.fort.15", "net2.wei.fort.15"})
        EXPECT_TRUE(exists(out + "/" + f)) << f;
    EXPECT_NE(read_file(out + "/net1.wei"), read_file(out + "/net2.wei")) << "distinct seeds, distinct networks";
    auto pred = lines_of(read_file(out + "/predictions.txt"));
    ASSERT_EQ(pred.size(), held.size() * 3);

    // The summary's mean absolute errors, recomputed from the predictions and the targets.
    double mean[3] = {0, 0, 0};
    for (const auto& s : listed) {
        auto t = numbers_of(out + "/db/" + s + "/ss.target");
        auto g = numbers_of(out + "/db/" + s + "/rg.target");
        ASSERT_EQ(t.size(), 2u);
        ASSERT_EQ(g.size(), 1u);
        mean[0] += t[0], mean[1] += t[1], mean[2] += g[0];
    }
    for (double& m : mean) m /= listed.size();
    double ens[3] = {0, 0, 0}, triv[3] = {0, 0, 0};
    for (size_t i = 0; i < pred.size(); ++i) {
        auto w = words(pred[i]);
        ASSERT_EQ(w.size(), 4u) << pred[i];
        EXPECT_EQ(w[0], held[i / 3]);
        double target = std::stod(w[3]);
        ens[i % 3] += std::fabs(std::stod(w[1]) - target);
        triv[i % 3] += std::fabs(mean[i % 3] - target);
    }
    auto e = summary_row(r.out, "  ensemble (2 nets)");
    auto z = summary_row(r.out, "  trivial predictor");
    double n = held.size();
    for (int j = 0; j < 3; ++j) {
        EXPECT_NEAR(e[j], ens[j] / n, 6e-5) << "output " << j;
        EXPECT_NEAR(z[j], triv[j] / n, 6e-5) << "output " << j;
    }
    EXPECT_NEAR(e[3], (ens[0] + ens[1] + ens[2]) / (3 * n), 6e-5);
    EXPECT_NEAR(z[3], (triv[0] + triv[1] + triv[2]) / (3 * n), 6e-5);
    EXPECT_EQ(read_file(out + "/summary.txt").empty(), false);

    // A second run goes into a new directory and, with the same seeds, predicts the same.
    std::string out2 = tmp / "run2";
    Result r2 = run_demo(PROTNN_BIN_DIR, out2);
    ASSERT_EQ(r2.status, 0) << r2.err;
    EXPECT_EQ(read_file(out2 + "/predictions.txt"), read_file(out + "/predictions.txt"));
}

TEST_F(Demo, RefusesAnExistingOutputDirectory) {
    std::string out = tmp / "taken";
    fs::create_directory(out);
    write_file(out + "/keep.txt", "mine\n");
    Result r = run_demo(PROTNN_BIN_DIR, out);
    EXPECT_NE(r.status, 0);
    EXPECT_NE(r.err.find("exists already"), std::string::npos) << r.err;
    EXPECT_EQ(read_file(out + "/keep.txt"), "mine\n");
    EXPECT_FALSE(exists(out + "/db"));
}

// A program directory holding the real programs except one, which fails with a message.
std::string bin_dir_with_failing(const TempDir& tmp, const std::string& failing) {
    std::string bindir = tmp / "bin";
    fs::create_directories(bindir);
    for (const char* p : {"nntrain", "pairdist", "depthdist"})
        if (p != failing) fs::create_symlink(bin(p), bindir + "/" + p);
    write_file(bindir + "/" + failing, "#!/bin/sh\necho 'broken.pdb:7: expected a number, found x' >&2\nexit 2\n");
    fs::permissions(bindir + "/" + failing, fs::perms::owner_all);
    return bindir;
}

TEST_F(Demo, StopsAtTheFirstFailingProgramWithItsMessage) {
    // A generator failing on the first structure: nothing is trained.
    std::string out = tmp / "out";
    Result r = run_demo(bin_dir_with_failing(tmp, "pairdist"), out);
    EXPECT_NE(r.status, 0);
    EXPECT_NE(r.err.find("FAILED (exit status 2)"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("broken.pdb:7: expected a number, found x"), std::string::npos) << r.err;
    EXPECT_EQ(r.out.find("Summary"), std::string::npos) << r.out;
    EXPECT_FALSE(exists(out + "/kelta.db"));
    EXPECT_FALSE(exists(out + "/net1.wei"));
}

TEST_F(Demo, StopsWhenATrainingRunInTheBackgroundFails) {
    std::string out = tmp / "out";
    Result r = run_demo(bin_dir_with_failing(tmp, "nntrain"), out);
    EXPECT_NE(r.status, 0);
    EXPECT_NE(r.err.find("FAILED (exit status 2): nntrain training net1.wei"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("broken.pdb:7: expected a number, found x"), std::string::npos) << r.err;
    EXPECT_TRUE(exists(out + "/kelta.db"));
    EXPECT_FALSE(exists(out + "/predictions.txt"));
    EXPECT_EQ(r.out.find("Summary"), std::string::npos) << r.out;
}

// The man pages stay in step with the programs: every switch of a program's option table has
// its entry under OPTIONS, and every documented switch is one the program knows.
TEST(ManPages, DocumentEverySwitchOfTheHelpAndNoOther) {
    for (const std::string p : {"nntrain", "pairdist", "depthdist", "atomdepth"}) {
        std::string page = read_file(std::string(PROTNN_SOURCE_DIR) + "/doc/" + p + ".1");
        ASSERT_FALSE(page.empty()) << p;
        Result h = run(p, {"-h"});
        ASSERT_EQ(h.status, 0) << p;
        std::set<std::string> in_help;
        for (const auto& line : lines_of(h.out)) {
            auto w = words(line);
            if (!w.empty() && w[0].size() > 1 && w[0][0] == '-') in_help.insert(w[0]);
        }
        ASSERT_GE(in_help.size(), 3u) << p;
        std::set<std::string> in_page;
        for (const auto& line : lines_of(page)) {
            auto w = words(line);
            if (w.size() >= 2 && (w[0] == ".B" || w[0] == ".BI") && w[1].rfind("\\-", 0) == 0 &&
                w[1].rfind("\\-\\-", 0) != 0)
                in_page.insert("-" + w[1].substr(2));
        }
        for (const auto& s : in_help) EXPECT_EQ(in_page.count(s), 1u) << p << ".1 does not document " << s;
        for (const auto& s : in_page) {
            if (in_help.count(s)) continue;
            // A switch the table leaves out must still be one the program takes, not refuse.
            Result r = run(p, {s, "-h"});
            EXPECT_EQ(r.err.find("didnt recognize"), std::string::npos) << p << ".1 documents unknown " << s;
        }
        Result v = run(p, {"--version"});
        EXPECT_EQ(v.status, 0) << p;
        EXPECT_EQ(v.out.rfind(p + " ", 0), 0u) << v.out;
        EXPECT_NE(page.find("\\-\\-version"), std::string::npos) << p;
    }
}

}  // namespace
