// Files saved with CRLF line ends (Windows) read exactly like the same files with LF ends, in
// every program: each run is made twice, on LF files and on their CRLF copies under the same
// names in another directory, and everything the runs write must be byte for byte the same.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "tests/support/run.hpp"

namespace {

namespace fs = std::filesystem;
using testing_support::examples;
using testing_support::read_file;
using testing_support::run;
using testing_support::TempDir;
using testing_support::write_file;

std::string crlf(const std::string& text) {
    std::string out;
    for (char c : text) {
        if (c == '\n') out += '\r';
        out += c;
    }
    return out;
}

// Writes text into both directories: as it is into lf, with CRLF ends into cr.
void put_both(const TempDir& lf, const TempDir& cr, const std::string& rel, const std::string& text) {
    fs::create_directories(fs::path(lf / rel).parent_path());
    fs::create_directories(fs::path(cr / rel).parent_path());
    write_file(lf / rel, text);
    write_file(cr / rel, crlf(text));
}

void expect_same_run(const std::string& program, const std::vector<std::string>& args, const TempDir& lf,
                     const TempDir& cr) {
    testing_support::Result a = run(program, args, lf.path()), b = run(program, args, cr.path());
    EXPECT_EQ(a.status, 0) << a.err;
    EXPECT_EQ(b.status, a.status) << b.err;
    EXPECT_FALSE(a.out.empty() && a.status == 0 && program != "nntrain");
    EXPECT_EQ(b.out, a.out);
    EXPECT_EQ(b.err, a.err);
}

TEST(Crlf, PairdistReadsStructureAndTypesAlike) {
    for (const char* sample : {"1vii", "1paa", "4zhl"}) {  // element columns, lines ending at column 66, insertion codes
        SCOPED_TRACE(sample);
        TempDir lf, cr;
        put_both(lf, cr, "s.pdb", read_file(examples(std::string("proteins/structures/") + sample + ".pdb")));
        put_both(lf, cr, "aa.types", read_file(std::string(PROTNN_SOURCE_DIR) + "/data/amino_acids.types"));
        expect_same_run("pairdist", {"-dp", "s.pdb", "-t", "aa.types"}, lf, cr);
    }
}

TEST(Crlf, DepthdistReadsDepthFilesAndTypesAlike) {
    for (const char* sample : {"1vii", "6c83_A", "4at1_B"}) {  // primes in atom names, a key shared by two residues
        SCOPED_TRACE(sample);
        TempDir lf, cr;
        for (const char* kind : {"-residue.depth", "-atom.depth"})
            put_both(lf, cr, std::string("d") + kind,
                     read_file(examples(std::string("proteins/depth/") + sample + kind)));
        put_both(lf, cr, "atom.types", read_file(std::string(PROTNN_SOURCE_DIR) + "/data/aa_atom.types"));
        expect_same_run("depthdist", {"-dp", "d", "-t", "atom.types"}, lf, cr);
    }
}

// nntrain: list file, data files with comment lines, degeneracy files, the weight file that
// training wrote (read back for prediction) and the prediction and weight lists.
TEST(Crlf, NntrainTrainsAndPredictsAlike) {
    TempDir lf, cr;
    std::string list = "'db'\nin rg.target\nss.target\n", ids;
    int n = 0;
    for (const auto& e : fs::directory_iterator(examples("proteins/targets"))) {
        const std::string id = e.path().filename().string();
        for (const char* t : {"rg.target", "ss.target"}) put_both(lf, cr, "db/" + id + "/" + t, read_file(e.path() / t));
        ++n;
        put_both(lf, cr, "db/" + id + "/in",
                 "# made for this test\n#\n" + std::to_string(n) + " 0.5D0 -1.5\n" + std::to_string(n % 7) + ",2,3\n");
        put_both(lf, cr, "db/" + id + "/kelta.dgn", std::to_string(1 + n % 3) + "\n");
        list += id + "\n";
        if (n <= 5) ids += id + "\n";
    }
    ASSERT_GE(n, 20);
    put_both(lf, cr, "kelta.db", list);
    put_both(lf, cr, "ids", ids);

    expect_same_run("nntrain", {"-m", "5", "-r", "77", "-df", "-h1", "4", "-h2", "3", "-owf", "net.wei"}, lf, cr);
    const std::string wei = read_file(lf / "net.wei");
    ASSERT_FALSE(wei.empty());
    EXPECT_EQ(read_file(cr / "net.wei"), wei);
    EXPECT_EQ(read_file(cr / "net.wei.fort.15"), read_file(lf / "net.wei.fort.15"));

    // The weight file (made CRLF in cr), a prediction list and an averaging list.
    put_both(lf, cr, "w.wei", wei);
    put_both(lf, cr, "w2.wei", wei);
    put_both(lf, cr, "wlist", "w.wei\n\nw2.wei\n");
    expect_same_run("nntrain", {"-wf", "w.wei", "-prl", "ids"}, lf, cr);
    expect_same_run("nntrain", {"-aw", "wlist", "-prl", "ids"}, lf, cr);
    testing_support::Result p = run("nntrain", {"-wf", "w.wei", "-prl", "ids"}, lf.path());
    EXPECT_EQ(testing_support::lines_of(p.out).size(), 10u);  // 5 proteins, 2 outputs each
    // Training that starts from the CRLF weight file.
    expect_same_run("nntrain", {"-l", "kelta.db", "-wf", "w.wei", "-m", "2", "-r", "3", "-owf", "again.wei"}, lf, cr);
    EXPECT_EQ(read_file(cr / "again.wei"), read_file(lf / "again.wei"));
}

}  // namespace
