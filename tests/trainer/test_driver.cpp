// The nntrain driver end to end: the real program trains on a small database built from the
// real target files, writes its log and weight file, predicts with them and averages over
// weight lists.  Predictions are checked against a forward pass computed here from the
// weight file.
#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>

#include "tests/support/run.hpp"
#include "tests/trainer/test_t1_support.hpp"
#include "textio/format.hpp"
#include "textio/freeform.hpp"
#include "trainer/nntrain.hpp"

using testing_support::exists;
using testing_support::lines_of;
using testing_support::read_file;
using testing_support::run;
using testing_support::TempDir;
using testing_support::write_file;
namespace fs = std::filesystem;

namespace {

std::vector<double> numbers_in(const std::string& text) {
    std::vector<double> v;
    for (const std::string& line : lines_of(text)) {
        if (!line.empty() && line[0] == '#') continue;
        std::size_t p = 0;
        while ((p = line.find_first_not_of(' ', p)) != std::string::npos) {
            std::size_t e = line.find(' ', p);
            double x = 0;
            EXPECT_TRUE(textio::parse_real(line.substr(p, e - p), x));
            v.push_back(x);
            p = e;
        }
    }
    return v;
}

// A weight file read back, and the forward pass of its network.
struct Net {
    int nip = 0, nw1 = 0, nw2 = 0, nop = 0;
    double alpha = 0;
    std::vector<double> w;  // all weights in file order

    explicit Net(const std::string& path) {
        auto lines = lines_of(read_file(path));
        std::vector<double> sizes = numbers_in(lines.at(3));
        nip = static_cast<int>(sizes.at(0));
        nw1 = static_cast<int>(sizes.at(1));
        nw2 = static_cast<int>(sizes.at(2));
        nop = static_cast<int>(sizes.at(3));
        alpha = sizes.at(4);
        for (std::size_t l = 4; l < lines.size(); ++l) w.push_back(numbers_in(lines[l]).at(0));
    }

    // One layer: weights of source k (1..n+1, n+1 the bias) to target j at base + (k-1)*m + (j-1).
    std::vector<double> layer(const std::vector<double>& x, std::size_t base, int m) const {
        std::vector<double> y(static_cast<std::size_t>(m));
        const std::size_t n = x.size();
        for (int j = 0; j < m; ++j) {
            double s = 0;
            for (std::size_t k = 0; k < n; ++k) s = s + x[k] * w[base + k * m + j];
            s = s + w[base + n * m + j];
            y[static_cast<std::size_t>(j)] = std::tanh(alpha * s);
        }
        return y;
    }
    std::vector<double> forward(const std::vector<double>& x) const {
        std::size_t b2 = static_cast<std::size_t>(nip + 1) * nw1;
        std::size_t b3 = b2 + static_cast<std::size_t>(nw1 + 1) * nw2;
        return layer(layer(layer(x, 0, nw1), b2, nw2), b3, nop);
    }
};

struct Case {
    TempDir t;
    t1test::Db db;
    explicit Case(int n = 25, const std::string& outs = "ss.target rg.target") : db(t1test::make_db(t.path(), n, outs)) {}

    std::vector<double> inputs(const std::string& id) const {
        std::vector<double> v = numbers_in(read_file(db.dir + "/" + id + "/a.in"));
        for (double x : numbers_in(read_file(db.dir + "/" + id + "/b.in"))) v.push_back(x);
        return v;
    }
    std::vector<double> targets(const std::string& id, const std::string& outs = "ss.target rg.target") const {
        std::vector<double> v;
        for (const char* f : {"ss.target", "rg.target"})
            if (outs.find(f) != std::string::npos)
                for (double x : numbers_in(read_file(db.dir + "/" + id + "/" + f))) v.push_back(x);
        return v;
    }
    // Trains in the case's directory; the weight file is named name (and its log name.fort.15).
    void train(const std::string& name, std::vector<std::string> args) const {
        args.insert(args.end(), {"-owf", name});
        auto r = run("nntrain", args, t.path());
        ASSERT_EQ(r.status, 0) << r.err;
        ASSERT_EQ(r.out, "");
        ASSERT_EQ(r.err, "");
    }
    std::string log(const std::string& name) const { return read_file(t / (name + ".fort.15")); }
};

std::vector<std::string> epoch_lines(const std::string& log) {
    auto l = lines_of(log);
    return std::vector<std::string>(l.begin() + 6, l.end() - 1);
}

}  // namespace

TEST(Training, LogLayoutGeneratedNameAndRepeatability) {
    Case c;
    fs::create_directories(c.t / "a");
    fs::create_directories(c.t / "b");
    const std::vector<std::string> args{"-l", c.db.list, "-r", "12345678", "-m", "30", "-h1", "5", "-h2", "4"};
    std::string rec = "-l" + c.db.list + "-r12345678-m30-h1_5-h2_4";
    std::string name = rec;
    std::replace(name.begin(), name.end(), '/', '_');
    name = "train.000025_00012345678." + name + ".wei";

    for (const char* d : {"a", "b"}) {
        auto r = run("nntrain", args, c.t / d);
        ASSERT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(r.out + r.err, "");
        ASSERT_TRUE(exists(c.t / d + "/" + name)) << name;
    }
    const std::string log = read_file(c.t / "a/" + name + ".fort.15");
    const std::string wei = read_file(c.t / "a/" + name);
    EXPECT_EQ(log, read_file(c.t / "b/" + name + ".fort.15"));
    EXPECT_EQ(wei, read_file(c.t / "b/" + name));

    auto l = lines_of(log);
    ASSERT_EQ(l.size(), 6u + 30u + 1u);
    EXPECT_EQ(l[0], nntrain::title_line());
    EXPECT_TRUE(l[0].ends_with("-h for help"));
    EXPECT_EQ(l[1], " Options: " + rec);
    EXPECT_EQ(l[2], " Weights file: " + name);
    EXPECT_EQ(l[3], "# Random Seed:        12345678");
    EXPECT_EQ(l[4], textio::fmt_a("INS/OUTS: ", 15) + textio::fmt_a("a.in", 15) + textio::fmt_a("b.in", 15) +
                        textio::fmt_a("/", 15) + textio::fmt_a("ss.target", 15) + textio::fmt_a("rg.target", 15));
    EXPECT_EQ(l[5], " # DB: nip,nop,ntotp =         13         3        25");
    EXPECT_EQ(l[6].substr(0, 10), "         1");
    EXPECT_EQ(l[6].size(), 32u);
    EXPECT_EQ(l[35].substr(0, 10), "        30");
    EXPECT_TRUE(l[36].starts_with("Min error at ")) << l[36];
    EXPECT_EQ(l[36].size(), 13u + 7 + 12 + 12 + 11 + 12);
    EXPECT_EQ(lines_of(wei).size(), 4u + 14 * 5 + 6 * 4 + 5 * 3);

    // The same run again in the same place: the log exists, nothing is overwritten.
    auto r = run("nntrain", args, c.t / "a");
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.err, name + ": cannot create: File exists\n");  // found before any training
    EXPECT_EQ(read_file(c.t / "a/" + name), wei);
}

TEST(Training, GeneratedNames) {
    nntrain::State st;
    st.all_sizes.ntotp = 250;
    st.randseed.itsd = 12345678;
    st.data_files.weiadd = "-h1_30-m500";
    EXPECT_EQ(nntrain::generated_name(st) + ".wei", "train.000250_00012345678.-h1_30-m500.wei");
    st.data_files.weiadd = "";
    EXPECT_EQ(nntrain::generated_name(st) + ".wei", "train.000250_00012345678..wei");
    st.randseed.itsd = -5;
    st.all_sizes.ntotp = 1000000;
    st.data_files.weiadd = "-ldir/x.db";
    EXPECT_EQ(nntrain::generated_name(st), "train.******_***********.-ldir_x.db");
}

TEST(Training, EarlyStopEmptyTestFoldAndNoEpoch) {
    Case c;
    // No learning at all: no epoch improves on the first, -mi 1 ends after epoch 2.
    c.train("still.wei", {"-l", c.db.list, "-r", "5", "-h1", "3", "-h2", "2", "-u", "0", "-p", "0", "-mi", "1", "-m", "10"});
    auto e = epoch_lines(c.log("still.wei"));
    ASSERT_EQ(e.size(), 2u);
    EXPECT_EQ(e[0].substr(10), e[1].substr(10));
    EXPECT_TRUE(lines_of(c.log("still.wei")).back().starts_with("Min error at       1: training, "));

    // Empty test fold: NaN test errors, epoch 1 kept.
    c.train("nofold.wei", {"-l", c.db.list, "-r", "5", "-h1", "3", "-h2", "2", "-f", "0", "-m", "3"});
    e = epoch_lines(c.log("nofold.wei"));
    ASSERT_EQ(e.size(), 3u);
    for (const std::string& l : e) EXPECT_EQ(l.substr(21), "        NaN");
    EXPECT_TRUE(lines_of(c.log("nofold.wei")).back().starts_with("Min error at       1: training, "));
    EXPECT_TRUE(lines_of(c.log("nofold.wei")).back().ends_with("; overfit,          NaN"));

    // No epoch: the starting weights are written.
    c.train("none.wei", {"-l", c.db.list, "-r", "5", "-h1", "3", "-h2", "2", "-m", "0"});
    EXPECT_EQ(epoch_lines(c.log("none.wei")).size(), 0u);
    EXPECT_EQ(lines_of(c.log("none.wei")).back(), "Min error at       0: training,          NaN; overfit,   0.2000D+02");
    // Same seed, no learning: the starting weights are those of the run above.
    EXPECT_EQ(read_file(c.t / "none.wei"), read_file(c.t / "still.wei"));

    // Starting from a weight file (its hidden sizes win over -h1) and running no epoch copies it.
    c.train("copy.wei", {"-l", c.db.list, "-wf", "none.wei", "-h1", "9", "-m", "0"});
    EXPECT_EQ(read_file(c.t / "copy.wei"), read_file(c.t / "none.wei"));
}

TEST(Training, ProteinsPresentedZeroTimesStillGetOutputs) {
    Case c;
    for (const std::string& id : c.db.ids) write_file(c.db.dir + "/" + id + "/kelta.dgn", "0\n");
    // Nobody is presented: the weights never change, as with no learning rate and momentum.
    c.train("zero.wei", {"-l", c.db.list, "-r", "9", "-h1", "3", "-h2", "2", "-m", "3", "-df"});
    c.train("still.wei", {"-l", c.db.list, "-r", "9", "-h1", "3", "-h2", "2", "-m", "3", "-u", "0", "-p", "0"});
    EXPECT_EQ(epoch_lines(c.log("zero.wei")), epoch_lines(c.log("still.wei")));
    EXPECT_EQ(read_file(c.t / "zero.wei"), read_file(c.t / "still.wei"));
}

TEST(Prediction, ReproducesTheForwardPass) {
    Case c;
    c.train("w.wei", {"-l", c.db.list, "-r", "77", "-h1", "4", "-h2", "3", "-m", "20", "-a", "0.7"});
    Net net(c.t / "w.wei");
    EXPECT_EQ(net.alpha, static_cast<double>(0.7));

    write_file(c.t / "p.lst", c.db.ids[3] + "\n" + c.db.ids[24] + "\n" + c.db.ids[0] + "\n");
    auto r = run("nntrain", {"-wf", "w.wei", "-prl", "p.lst"}, c.t.path());
    ASSERT_EQ(r.status, 0) << r.err;
    std::string expected;
    for (int p : {3, 24, 0}) {
        const std::string& id = c.db.ids[static_cast<std::size_t>(p)];
        std::vector<double> y = net.forward(c.inputs(id)), t = c.targets(id);
        for (std::size_t j = 0; j < y.size(); ++j)
            expected += id + " " + textio::fmt_g(y[j], 12, 4) + textio::fmt_g(t[j], 12, 4) + "\n";
    }
    EXPECT_EQ(r.out, expected);
    auto err = lines_of(r.err);
    ASSERT_EQ(err.size(), 3u);
    EXPECT_EQ(err[0], nntrain::title_line());
    EXPECT_EQ(err[1], " Weights file: w.wei");
    EXPECT_TRUE(err[2].starts_with(textio::fmt_a("INS/OUTS: ", 15)));

    r = run("nntrain", {"-pr1", c.db.ids[24], "-wf", "w.wei"}, c.t.path());
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, lines_of(expected)[3] + "\n" + lines_of(expected)[4] + "\n" + lines_of(expected)[5] + "\n");
}

// A protein whose output-type files are missing is predicted all the same, with target NaN
// (the first protein of the list too); one file missing is enough.  A target file that is
// there but cannot be read is still an error, and training still needs every file.
TEST(Prediction, ProteinsWithoutTargetFiles) {
    Case c;
    c.train("w.wei", {"-l", c.db.list, "-r", "77", "-h1", "4", "-h2", "3", "-m", "5"});
    Net net(c.t / "w.wei");
    const std::string& first = c.db.ids[0];
    const std::string& other = c.db.ids[3];
    const std::string& known = c.db.ids[24];
    const std::vector<double> known_targets = c.targets(known);
    fs::remove(c.db.dir + "/" + first + "/ss.target");
    fs::remove(c.db.dir + "/" + first + "/rg.target");
    fs::remove(c.db.dir + "/" + other + "/rg.target");
    write_file(c.t / "p.lst", first + "\n" + known + "\n" + other + "\n");
    write_file(c.t / "w.lst", "w.wei\nw.wei\n");
    std::string expected, averaged;
    for (const std::string& id : {first, known, other}) {
        std::vector<double> y = net.forward(c.inputs(id));
        for (std::size_t j = 0; j < y.size(); ++j) {
            const std::string t = id == known ? textio::fmt_g(known_targets[j], 12, 4) : "         NaN";
            expected += id + " " + textio::fmt_g(y[j], 12, 4) + t + "\n";
            averaged += id + " " + textio::fmt_g(y[j], 12, 4) + textio::fmt_g(0.0, 12, 4) + t + "\n";
        }
    }
    auto r = run("nntrain", {"-wf", "w.wei", "-prl", "p.lst"}, c.t.path());
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, expected);
    r = run("nntrain", {"-aw", "w.lst", "-prl", "p.lst"}, c.t.path());
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, averaged);
    r = run("nntrain", {"-wf", "w.wei", "-pr1", first}, c.t.path());
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, lines_of(expected)[0] + "\n" + lines_of(expected)[1] + "\n" + lines_of(expected)[2] + "\n");

    fs::create_directories(c.db.dir + "/" + other + "/rg.target");
    r = run("nntrain", {"-wf", "w.wei", "-prl", "p.lst"}, c.t.path());
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(lines_of(r.err).back(), c.db.dir + "/" + other + "/rg.target: cannot read: Is a directory");
    EXPECT_EQ(r.out, "");
    r = run("nntrain", {"-l", c.db.list, "-r", "1", "-m", "1", "-owf", "x.wei"}, c.t.path());
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(lines_of(r.err).back(), c.db.dir + "/" + first + "/ss.target: cannot open: No such file or directory");
}

TEST(Prediction, AveragingOverWeightFiles) {
    Case c;
    c.train("w1.wei", {"-l", c.db.list, "-r", "1", "-h1", "4", "-h2", "3", "-m", "10"});
    c.train("w2.wei", {"-l", c.db.list, "-r", "2", "-h1", "6", "-h2", "2", "-m", "10"});
    write_file(c.t / "p.lst", c.db.ids[1] + "\n" + c.db.ids[2] + "\n");

    // One file: the means are its outputs and every deviation is exactly 0.
    write_file(c.t / "one.lst", "w1.wei\n");
    auto single = run("nntrain", {"-wf", "w1.wei", "-prl", "p.lst"}, c.t.path());
    auto r = run("nntrain", {"-aw", "one.lst", "-prl", "p.lst"}, c.t.path());
    ASSERT_EQ(r.status, 0) << r.err;
    auto a = lines_of(r.out), s = lines_of(single.out);
    ASSERT_EQ(a.size(), 6u);
    for (std::size_t k = 0; k < a.size(); ++k) {
        std::size_t n = s[k].size() - 12;
        EXPECT_EQ(a[k], s[k].substr(0, n) + "   0.000    " + s[k].substr(n));
    }

    // Two files of different hidden sizes: mean and population deviation, per output value.
    write_file(c.t / "two.lst", "w1.wei extra words\n\n'w2.wei'\n");
    Net n1(c.t / "w1.wei"), n2(c.t / "w2.wei");
    std::string expected;
    for (int p : {1, 2}) {
        const std::string& id = c.db.ids[static_cast<std::size_t>(p)];
        auto y1 = n1.forward(c.inputs(id)), y2 = n2.forward(c.inputs(id));
        auto t = c.targets(id);
        for (std::size_t j = 0; j < y1.size(); ++j) {
            double sum = 0.0 + y1[j] + y2[j], sq = 0.0 + y1[j] * y1[j] + y2[j] * y2[j];
            double mean = sum / 2, var = sq / 2 - mean * mean;
            expected += id + " " + textio::fmt_g(mean, 12, 4) + textio::fmt_g(std::sqrt(var < 0 ? 0 : var), 12, 4) +
                        textio::fmt_g(t[j], 12, 4) + "\n";
        }
    }
    for (auto extra : std::vector<std::vector<std::string>>{{}, {"-nsw"}, {"-nsw", "-dd"}}) {
        std::vector<std::string> args{"-aw", "two.lst", "-prl", "p.lst"};
        args.insert(args.end(), extra.begin(), extra.end());
        r = run("nntrain", args, c.t.path());
        ASSERT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(r.out, expected);
        EXPECT_EQ(lines_of(r.err).at(1), " Weights file: w1.wei");
    }
}

// Every list is read once, so a pipe, process substitution, /dev/stdin or a FIFO serves as
// well as a regular file, for the database list, the prediction list and the weight list.
TEST(Prediction, ListsFromPipes) {
    Case c;
    c.train("w1.wei", {"-l", c.db.list, "-r", "1", "-h1", "4", "-h2", "3", "-m", "3"});
    c.train("w2.wei", {"-l", c.db.list, "-r", "2", "-h1", "4", "-h2", "3", "-m", "3"});
    write_file(c.t / "p.lst", c.db.ids[1] + "\n" + c.db.ids[2] + "\n");
    write_file(c.t / "w.lst", "w1.wei\nw2.wei\n");
    auto bash = [&](const std::string& script) { return run("/bin/bash", {"-c", script}, c.t.path()); };
    const std::string nntrain = testing_support::bin("nntrain");

    auto r = bash("cat " + c.db.list + " | " + nntrain + " -l /dev/stdin -r 1 -h1 4 -h2 3 -m 3 -owf piped.wei");
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(read_file(c.t / "piped.wei"), read_file(c.t / "w1.wei"));

    auto files = run("nntrain", {"-aw", "w.lst", "-prl", "p.lst"}, c.t.path());
    ASSERT_EQ(files.status, 0) << files.err;
    r = bash(nntrain + " -aw <(cat w.lst) -prl <(cat p.lst)");
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, files.out);
    r = bash("mkfifo wf pf && { cat w.lst > wf & cat p.lst > pf & " + nntrain + " -aw wf -prl pf -nsw -dd; }");
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, files.out);
}

TEST(Prediction, Refusals) {
    Case c(25, "ss.target");
    c.train("w2.wei", {"-l", c.db.list, "-r", "1", "-h1", "3", "-h2", "2", "-m", "2"});
    std::string list = read_file(c.db.list);
    std::size_t l1 = list.find('\n'), l2 = list.find('\n', l1 + 1), l3 = list.find('\n', l2 + 1);
    write_file(c.t / "three.db", list.substr(0, l2 + 1) + "ss.target rg.target" + list.substr(l3));
    c.train("w3.wei", {"-l", "three.db", "-r", "1", "-h1", "3", "-h2", "2", "-m", "2"});
    write_file(c.t / "mixed.lst", "w2.wei\nw3.wei\n");
    const std::string id = c.db.ids[0];

    auto r = run("nntrain", {"-aw", "mixed.lst", "-l", c.db.list}, c.t.path());
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, " Must have -pr1/l with -aw, aborting.\n");
    r = run("nntrain", {"-aw", "mixed.lst"}, c.t.path());
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");

    // The second file has 3 outputs, the data loaded for the first 2.
    r = run("nntrain", {"-aw", "mixed.lst", "-pr1", id}, c.t.path());
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(lines_of(r.err).back(),
              " Different number of inputs/output b/w data and weight files, aborting. 13 13 2 3");
    // Reloading from each file's header gives a database of another shape: refused.
    r = run("nntrain", {"-aw", "mixed.lst", "-pr1", id, "-nsw", "-dd"}, c.t.path());
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_NE(lines_of(r.err).back().find("w3.wei"), std::string::npos) << r.err;

    r = run("nntrain", {"-pr1", id, "-wf", "missing.wei"}, c.t.path());
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.err.find("missing.wei"), std::string::npos);
}
