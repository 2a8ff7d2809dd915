// examples/demo.sh, the workflow on the example structures: its whole run is what the ctest
// test workflow_local does on a subset (tests/workflow/run-workflow.sh); here only its refusal
// of an existing output directory, which must happen before the workflow starts.  And the man
// pages against the programs' option tables.
#include <gtest/gtest.h>

#include <filesystem>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "tests/support/run.hpp"

namespace {

using namespace testing_support;
namespace fs = std::filesystem;

const std::string demo_script = std::string(PROTNN_SOURCE_DIR) + "/examples/demo.sh";

TEST(Demo, RefusesAnExistingOutputDirectory) {
    TempDir tmp;
    std::string out = tmp / "taken";
    fs::create_directory(out);
    write_file(out + "/keep.txt", "mine\n");
    Result r = run("/usr/bin/env", {"bash", demo_script, out});
    EXPECT_NE(r.status, 0);
    EXPECT_NE(r.err.find("exists already"), std::string::npos) << r.err;
    EXPECT_EQ(read_file(out + "/keep.txt"), "mine\n");
    EXPECT_FALSE(exists(out + "/targets.csv"));
}

std::vector<std::string> words(const std::string& line) {
    std::istringstream in(line);
    std::vector<std::string> w;
    for (std::string s; in >> s;) w.push_back(s);
    return w;
}

// The man pages stay in step with the programs: every switch of a program's option table has
// its entry under OPTIONS, and every documented switch is one the program knows; --help prints
// what -h prints, and --version the program's name.
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
        Result help = run(p, {"--help"});
        EXPECT_EQ(help.status, 0) << p;
        EXPECT_EQ(help.out, h.out) << p;
        EXPECT_EQ(help.err, "") << p;
        EXPECT_NE(page.find("\\-\\-help"), std::string::npos) << p;
    }
}

}  // namespace
