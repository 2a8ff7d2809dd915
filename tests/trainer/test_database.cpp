// The protein database loader and the storage set-up, run in-process on small databases
// built from the real target files: sizes, folds, value layout, the three loading modes, the
// reload flag, and the one-line refusals of malformed databases.
#include <gtest/gtest.h>

#include <filesystem>

#include "tests/support/run.hpp"
#include "tests/trainer/test_t1_support.hpp"
#include "textio/freeform.hpp"
#include "textio/source.hpp"
#include "trainer/nntrain.hpp"

using testing_support::read_file;
using testing_support::TempDir;
using testing_support::write_file;
using t1test::failure_of;
namespace fs = std::filesystem;

namespace {

nntrain::State loaded(const std::vector<std::string>& words) {
    nntrain::State st;
    nntrain::readcmd(st, words);
    nntrain::init_all(st);
    return st;
}

// All numbers of a file, comment lines skipped.
std::vector<double> numbers_of(const std::string& path) {
    std::vector<double> v;
    for (const std::string& line : testing_support::lines_of(read_file(path))) {
        if (!line.empty() && line[0] == '#') continue;
        std::size_t p = 0;
        while ((p = line.find_first_not_of(' ', p)) != std::string::npos) {
            std::size_t e = line.find(' ', p);
            double x = 0;
            textio::parse_real(line.substr(p, e - p), x);
            v.push_back(x);
            p = e;
        }
    }
    return v;
}

// Expects initdb to stop with status and a message that holds every text of parts.
void expect_refusal(const std::vector<std::string>& words, int status, const std::vector<std::string>& parts) {
    auto f = failure_of([&] { loaded(words); });
    EXPECT_EQ(f.status(), status) << f.what();
    for (const std::string& p : parts) EXPECT_NE(std::string(f.what()).find(p), std::string::npos) << f.what();
    EXPECT_EQ(std::string(f.what()).find('\n'), std::string::npos);
}

}  // namespace

TEST(Database, CountingWordsAndLines) {
    EXPECT_EQ(nntrain::icountel("  a\tb  c   "), 3);
    EXPECT_EQ(nntrain::icountel(""), 0);
    EXPECT_EQ(nntrain::icountel("      "), 0);
    EXPECT_EQ(nntrain::icountel("\t"), 0);
    EXPECT_EQ(nntrain::icountel("x"), 1);
    EXPECT_EQ(nntrain::icountel("1,2 3\t"), 2);

    TempDir t;
    nntrain::State st;
    st.data_files.fylein = t / "l";
    write_file(t / "l", "a\nb\nc\n");
    EXPECT_EQ(nntrain::numpro(st), 0);
    write_file(t / "l", "");
    EXPECT_EQ(nntrain::numpro(st), -3);
    write_file(t / "l", "a\n\nc\nd\n\nlast without end");
    EXPECT_EQ(nntrain::numpro(st), 3);
}

TEST(Database, SizesFoldsAndValueLayout) {
    TempDir t;
    t1test::Db db = t1test::make_db(t.path(), 25, "ss.target rg.target");
    nntrain::State st = loaded({"-l", db.list});
    const auto& s = st.all_sizes;
    const auto& d = st.data_files;
    EXPECT_EQ(s.ntotp, 25);
    EXPECT_EQ(s.ntrap, 24);  // 25 * 0.05 = 1.25 rounds to 1
    EXPECT_EQ(s.nip, 13);
    EXPECT_EQ(s.nop, 3);
    EXPECT_EQ(d.datdir, db.dir);
    EXPECT_EQ(d.nsinp, 2);
    EXPECT_EQ(d.sinfyles[1], "b.in");
    EXPECT_EQ(d.sutfyles[1], "rg.target");
    EXPECT_EQ(d.foldpart, "# DB: nip,nop,ntotp =         13         3        25");
    EXPECT_EQ(s.dbv, -1);
    ASSERT_EQ(d.lstt.size(), 25u);
    ASSERT_EQ(d.lstt2.size(), 24u);
    EXPECT_EQ(d.lstt[24], 25);
    EXPECT_EQ(d.lstt2[23], 24);
    EXPECT_EQ(d.protid, db.ids);
    for (int p : {0, 7, 24}) {
        std::vector<double> in = numbers_of(db.dir + "/" + db.ids[p] + "/a.in");
        for (double x : numbers_of(db.dir + "/" + db.ids[p] + "/b.in")) in.push_back(x);
        std::vector<double> out = numbers_of(db.dir + "/" + db.ids[p] + "/ss.target");
        out.push_back(numbers_of(db.dir + "/" + db.ids[p] + "/rg.target").at(0));
        EXPECT_EQ(std::vector<double>(st.nn_input.protin.begin() + 13 * p, st.nn_input.protin.begin() + 13 * (p + 1)), in);
        EXPECT_EQ(std::vector<double>(st.nn_input.protut.begin() + 3 * p, st.nn_input.protut.begin() + 3 * (p + 1)), out);
    }
    EXPECT_EQ(st.nn_input.iprotdg, std::vector<int>(25, 1));

    // The thirteen network arrays for 13 inputs, 21 and 21 hidden nodes, 3 outputs.
    EXPECT_TRUE(st.nn_wei.exists);
    EXPECT_EQ(st.nn_wei.wi.a.size(), 14u * 21u);
    EXPECT_EQ(st.nn_wei.wh.a.size(), 22u * 21u);
    EXPECT_EQ(st.nn_owei.oldwo.a.size(), 22u * 3u);
    EXPECT_EQ(st.nn_wei_sv.wosv.a.size(), 22u * 3u);
    EXPECT_EQ(st.nn_nodes.hnu2.size(), 21u);
    EXPECT_EQ(st.nn_nodes.phi2p.size(), 3u);
    EXPECT_EQ(st.db_output.phiut.size(), 75u);
}

TEST(Database, ProteinCountAndFoldSize) {
    TempDir t;
    t1test::Db db = t1test::make_db(t.path(), 30);
    EXPECT_EQ(loaded({"-l", db.list}).all_sizes.ntrap, 28);  // 1.5 rounds to 2
    EXPECT_EQ(loaded({"-l", db.list, "-np", "0"}).all_sizes.ntotp, 30);
    EXPECT_EQ(loaded({"-l", db.list, "-np", "31"}).all_sizes.ntotp, 30);
    nntrain::State st = loaded({"-l", db.list, "-np", "22", "-f", "0.5"});
    EXPECT_EQ(st.all_sizes.ntotp, 22);
    EXPECT_EQ(st.all_sizes.ntrap, 11);
    EXPECT_EQ(st.data_files.protid.back(), db.ids[21]);
    EXPECT_EQ(loaded({"-l", db.list, "-np", "20"}).all_sizes.ntotp, 20);
    expect_refusal({"-l", db.list, "-np", "19"}, 1,
                   {" Something wrong with database (not enough proteins for training), aborting. 19"});
}

TEST(Database, DirectoryFromTheListOrFromD) {
    TempDir t;
    t1test::Db db = t1test::make_db(t.path(), 20);
    std::string list = read_file(db.list);
    std::string rest = list.substr(list.find('\n'));
    // -d wins; the first line is still read.
    write_file(db.list, "'nowhere'" + rest);
    EXPECT_EQ(loaded({"-l", db.list, "-d", db.dir}).data_files.datdir, db.dir);
    // An unquoted absolute path gives no directory.
    write_file(db.list, db.dir + rest);
    expect_refusal({"-l", db.list}, 1, {db.list, "directory"});
    write_file(db.list, "''" + rest);
    expect_refusal({"-l", db.list}, 1, {"directory"});
    // A relative directory is taken from the working directory of the run.
    write_file(db.list, "db" + rest);
    fs::path here = fs::current_path();
    fs::current_path(t.path());
    nntrain::State st = loaded({"-l", "kelta.db"});
    fs::current_path(here);
    EXPECT_EQ(st.data_files.datdir, "db");
    EXPECT_EQ(st.all_sizes.ntotp, 20);
}

TEST(Database, CommentLinesAndWidth) {
    TempDir t;
    t1test::Db db = t1test::make_db(t.path(), 20);
    // Width 3 from the first data line, which every later line must match.
    write_file(db.dir + "/" + db.ids[0] + "/a.in", "# one\n#two\n1 2 3\n4 5 6\n7,8 9\n-1 -2 -3\n");
    for (std::size_t p = 1; p < db.ids.size(); ++p)
        write_file(db.dir + "/" + db.ids[p] + "/a.in", "1\t2 3\n4 5 6\n7 8 9\n10 11 12\n");
    nntrain::State st = loaded({"-l", db.list});
    EXPECT_EQ(st.all_sizes.nip, 13);
    std::vector<double> first(st.nn_input.protin.begin(), st.nn_input.protin.begin() + 12);
    EXPECT_EQ(first, (std::vector<double>{1, 2, 3, 4, 5, 6, 7, 8, 9, -1, -2, -3}));
    // Lines that do not hold the width's numbers: none are dropped, none reused.
    const std::string p3 = db.dir + "/" + db.ids[3] + "/a.in";
    const std::vector<std::pair<std::string, std::vector<std::string>>> bad = {
        {"1 2 3\n4 5 6 7\n7 8 9\n1 1 1\n", {p3 + ":2: expected 3 numbers as on the first data line, found 4"}},
        {"1 2 3\n\n4 5 6\n7 8 9\n1 1 1\n", {p3 + ":2: expected 3 numbers", "found 0"}},
        {"1 2 3\n4 5 /\n7 8 9\n1 1 1\n", {p3 + ":2: expected 3 numbers", "found 2 and a slash"}},
        {"1 2 3\n4 5 6\n7 8 9\n1 1 1\n \t\n", {p3 + ":5: expected 3 numbers", "found 0"}},
        {"# a blank first data line\n\n1 2 3\n4 5 6\n7 8 9\n1 1 1\n", {p3 + ":2: no number on the first data line"}},
        {"\r\n1 2 3\n4 5 6\n7 8 9\n1 1 1\n", {p3 + ":1: no number on the first data line"}},
        {"/ 1 2 3\n4 5 6\n7 8 9\n1 1 1\n", {p3 + ":1: a slash ends the first data line"}},
        {"1 2 3\n4 nan 6\n7 8 9\n1 1 1\n", {p3 + ":2: expected a finite number, found 'nan'"}},
        {"1 2 3\n4 5 6\n7 8 -Infinity\n1 1 1\n", {p3 + ":3: expected a finite number, found '-Infinity'"}},
        {"1 2 3\n4 5 6\n7 8 9\n1 inf 1\n", {p3 + ":4: expected a finite number, found 'inf'"}},
    };
    for (const auto& [text, parts] : bad) {
        SCOPED_TRACE(text);
        write_file(p3, text);
        expect_refusal({"-l", db.list}, 2, parts);
    }
}

TEST(Database, MalformedFilesAreRefusedWithPlaceAndText) {
    TempDir t;
    t1test::Db db = t1test::make_db(t.path(), 20);
    const std::string p2 = db.dir + "/" + db.ids[2];
    const std::string good = read_file(p2 + "/a.in");

    fs::remove(p2 + "/b.in");
    expect_refusal({"-l", db.list}, 2, {p2 + "/b.in", "cannot open"});
    write_file(p2 + "/b.in", "0.5\n");

    write_file(p2 + "/a.in", "1 2 3\n4 x5 6\n7 8 9\n1 1 1\n");
    expect_refusal({"-l", db.list}, 2, {p2 + "/a.in:2", "expected a number", "'x5'"});
    write_file(p2 + "/a.in", "1 2 3\n4 5 6\n# late comment\n1 1 1\n");
    expect_refusal({"-l", db.list}, 2, {p2 + "/a.in:3", "'#"});
    write_file(p2 + "/a.in", "# only a comment\n");
    expect_refusal({"-l", db.list}, 2, {p2 + "/a.in", "end of file"});
    write_file(p2 + "/a.in", "1 2 3\n4 5 6\n7 8 9\n");  // one line short
    expect_refusal({"-l", db.list}, 1, {p2 + "/b.in", db.ids[2], "10", "13"});
    write_file(p2 + "/a.in", good + "1 2 3\n");  // one line too many
    expect_refusal({"-l", db.list}, 1, {p2 + "/a.in", db.ids[2], "13"});
    write_file(p2 + "/a.in", good);

    std::string wide;
    for (int k = 0; k < 1001; ++k) wide += "1 ";
    write_file(db.dir + "/" + db.ids[0] + "/b.in", wide + "\n");
    expect_refusal({"-l", db.list}, 1, {db.ids[0] + "/b.in:1", "1001", "1000"});
    write_file(db.dir + "/" + db.ids[0] + "/b.in", "0.5\n");
    EXPECT_EQ(loaded({"-l", db.list}).all_sizes.nip, 13);

    // The first protein's lines are held to its width as well (it sets every size).
    write_file(db.dir + "/" + db.ids[0] + "/b.in", "0.5\n\n");
    expect_refusal({"-l", db.list}, 2, {db.ids[0] + "/b.in:2: expected 1 number", "found 0"});
    write_file(db.dir + "/" + db.ids[0] + "/b.in", "0.5\n");
    write_file(db.dir + "/" + db.ids[0] + "/a.in", "# nothing\n");
    expect_refusal({"-l", db.list}, 2, {db.ids[0] + "/a.in: unexpected end of file after line 1"});

    // No value at all on the first protein: no input type.
    std::string list = read_file(db.list);
    std::size_t l1 = list.find('\n'), l2 = list.find('\n', l1 + 1);
    write_file(db.list, list.substr(0, l1 + 1) + list.substr(l2));
    expect_refusal({"-l", db.list}, 1, {" Something wrong with database (nip/nop), aborting. 0 2"});
}

TEST(Database, HeaderLimitsAndDegeneracy) {
    TempDir t;
    t1test::Db db = t1test::make_db(t.path(), 20);
    std::string list = read_file(db.list);
    std::size_t l1 = list.find('\n'), l2 = list.find('\n', l1 + 1);
    std::string many;
    for (int k = 0; k < 101; ++k) many += "t" + std::to_string(k) + " ";
    write_file(t / "many.db", list.substr(0, l1 + 1) + many + list.substr(l2));
    expect_refusal({"-l", t / "many.db"}, 1, {"many.db:2", "101", "100"});

    for (std::size_t p = 0; p < db.ids.size(); ++p)
        write_file(db.dir + "/" + db.ids[p] + "/kelta.dgn", std::to_string(p % 3) + " extra\n");
    nntrain::State st = loaded({"-l", db.list, "-df"});
    EXPECT_EQ(st.nn_input.iprotdg[0], 0);
    EXPECT_EQ(st.nn_input.iprotdg[4], 1);
    EXPECT_EQ(st.nn_input.iprotdg[5], 2);
    write_file(db.dir + "/" + db.ids[5] + "/kelta.dgn", "");
    expect_refusal({"-l", db.list, "-df"}, 2, {db.ids[5] + "/kelta.dgn"});
    EXPECT_EQ(loaded({"-l", db.list}).nn_input.iprotdg[5], 1);  // read only with -df
}

TEST(Database, PredictionModes) {
    TempDir t;
    t1test::Db db = t1test::make_db(t.path(), 20);
    // A header and the (14*5 + 6*4 + 5*2) weight lines its sizes ask for.
    std::string weights;
    for (int k = 0; k < 14 * 5 + 6 * 4 + 5 * 2; ++k) weights += " 1.0E-01\n";
    write_file(t / "w.wei", "\"" + db.dir + "\"\na.in b.in \nss.target \n 13 5 4 2 5.0E-01\n" + weights);
    nntrain::State st = loaded({"-wf", t / "w.wei", "-pr1", db.ids[3]});
    EXPECT_EQ(st.all_sizes.ntotp, 1);
    EXPECT_EQ(st.all_sizes.ntrap, 1);
    EXPECT_EQ(st.all_sizes.nw1, 5);
    EXPECT_EQ(st.all_sizes.nw2, 4);
    EXPECT_EQ(st.all_sizes.alpha, 0.5);
    EXPECT_EQ(st.data_files.fylein, t / "w.wei");
    EXPECT_EQ(st.data_files.protid, std::vector<std::string>{db.ids[3]});
    EXPECT_EQ(st.db_output.phiut.size(), 2u);

    write_file(t / "p.lst", db.ids[7] + "\n" + db.ids[1] + "\n" + db.ids[2] + "\n" + db.ids[3] + "\n" + db.ids[4] + "\n");
    st = loaded({"-wf", t / "w.wei", "-prl", t / "p.lst"});
    EXPECT_EQ(st.all_sizes.ntotp, 5);
    EXPECT_EQ(st.data_files.protid[0], db.ids[7]);
    std::vector<double> in7 = numbers_of(db.dir + "/" + db.ids[7] + "/a.in");
    EXPECT_EQ(std::vector<double>(st.nn_input.protin.begin(), st.nn_input.protin.begin() + 12), in7);
    EXPECT_EQ(loaded({"-wf", t / "w.wei", "-prl", t / "p.lst", "-np", "2"}).all_sizes.ntotp, 2);
    EXPECT_EQ(loaded({"-wf", t / "w.wei", "-prl", t / "p.lst", "-np", "3"}).all_sizes.ntotp, 5);

    expect_refusal({"-pr1", db.ids[3]}, 1, {"weight file"});
    write_file(t / "w.lst", "'" + t / "w.wei'\n");  // quoted: an unquoted slash would end the read
    expect_refusal({"-aw", t / "w.lst"}, 1, {"list file"});
}

TEST(Storage, ReloadFlag) {
    TempDir t;
    t1test::Db db = t1test::make_db(t.path(), 20);
    nntrain::State st;
    nntrain::readcmd(st, {"-l", ""});
    nntrain::init_all(st);  // neither a list file nor a weight file: nothing happens
    EXPECT_FALSE(st.nn_wei.exists);
    EXPECT_EQ(st.all_sizes.dbv, 0);

    st = loaded({"-l", db.list});
    const std::vector<double> first = st.nn_input.protin;
    write_file(db.dir + "/" + db.ids[0] + "/b.in", "42\n");
    st.all_sizes.nw1 = 3;
    nntrain::init_all(st);  // dbv -1: storage only
    EXPECT_EQ(st.all_sizes.dbv, -1);
    EXPECT_EQ(st.nn_input.protin, first);
    EXPECT_EQ(st.nn_wei.wi.cols, 3);
    EXPECT_EQ(st.nn_wei.wh.ld, 4);

    st = loaded({"-l", db.list, "-dd"});
    const std::vector<double> again = st.nn_input.protin;
    nntrain::init_all(st);
    EXPECT_EQ(st.all_sizes.dbv, 1);
    EXPECT_EQ(st.nn_input.protin, again);  // the same files give the same arrays
    write_file(db.dir + "/" + db.ids[0] + "/b.in", "43\n");
    nntrain::init_all(st);
    EXPECT_EQ(st.nn_input.protin[12], 43.0);
}
