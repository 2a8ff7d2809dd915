// Paths in weight lists need no quotes, and wide or comma-separated data lines lose no numbers.
#include <gtest/gtest.h>

#include <filesystem>

#include "tests/support/database.hpp"
#include "textio/format.hpp"
#include "trainer/nntrain.hpp"

using testing_support::lines_of;
using testing_support::read_file;
using testing_support::run;
using testing_support::TempDir;
using testing_support::write_file;

TEST(WeightLists, UnquotedPathsWithSlashesNameEachFile) {
    TempDir t;
    testing_support::Db db = testing_support::make_db(t.path(), 22);
    std::filesystem::create_directories(t / "nets");
    for (const char* seed : {"1", "2"}) {
        auto r = run("nntrain", {"-l", db.list, "-r", seed, "-h1", "3", "-h2", "2", "-m", "5",
                                 "-owf", std::string("nets/w") + seed + ".wei"}, t.path());
        ASSERT_EQ(r.status, 0) << r.err;
    }
    write_file(t / "p.lst", db.ids[0] + "\n");
    write_file(t / "paths.lst", "nets/w1.wei\n  nets/w2.wei, ignored\n");
    write_file(t / "quoted.lst", "'nets/w1.wei'\n\"nets/w2.wei\"\n");
    auto a = run("nntrain", {"-aw", "paths.lst", "-prl", "p.lst"}, t.path());
    auto b = run("nntrain", {"-aw", "quoted.lst", "-prl", "p.lst"}, t.path());
    ASSERT_EQ(a.status, 0) << a.err;
    EXPECT_EQ(a.out, b.out);
    EXPECT_EQ(lines_of(a.err).at(1), " Weights file: nets/w1.wei");
    // Two different networks: the deviation of some output is not zero.
    bool spread = false;
    for (const auto& l : lines_of(a.out)) spread = spread || l.substr(l.size() - 24, 12) != "   0.000    ";
    EXPECT_TRUE(spread) << a.out;
}

TEST(DataFiles, LinesWiderThanTheTextLengthKeepAllTheirNumbers) {
    TempDir t;
    testing_support::Db db = testing_support::make_db(t.path(), 20);
    // 200 numbers of 17 significant digits on each of 3 lines: about 4800 characters a line.
    std::vector<double> values;
    for (const auto& id : db.ids) {
        std::string text;
        for (int line = 0; line < 3; ++line) {
            for (int k = 0; k < 200; ++k) {
                double v = 0.001 * (line * 200 + k) + 1.0 / 3.0;
                if (id == db.ids[0]) values.push_back(v);
                text += " " + textio::real17(v);
            }
            text += "\n";
        }
        write_file(db.dir + "/" + id + "/a.in", text);
    }
    nntrain::State st;
    st.data_files.fylein = db.list;
    nntrain::initdb(st);
    ASSERT_EQ(st.all_sizes.nip, 601);
    for (std::size_t k = 0; k < values.size(); ++k) ASSERT_EQ(st.nn_input.protin[k], values[k]) << k;
}

TEST(DataFiles, CommaSeparatedLinesKeepAllTheirNumbers) {
    TempDir t;
    testing_support::Db db = testing_support::make_db(t.path(), 20);
    for (const auto& id : db.ids) write_file(db.dir + "/" + id + "/a.in", "# comma-separated\n1,2,3\n4, 5 ,6\n7,8\t9\n");
    nntrain::State st;
    st.data_files.fylein = db.list;
    nntrain::initdb(st);
    ASSERT_EQ(st.all_sizes.nip, 10);
    EXPECT_EQ(std::vector<double>(st.nn_input.protin.begin(), st.nn_input.protin.begin() + 9),
              (std::vector<double>{1, 2, 3, 4, 5, 6, 7, 8, 9}));
}
