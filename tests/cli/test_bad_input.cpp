// Bad input, program by program: each case writes a small working setup (a database of 21
// proteins, a structure, depth files, types files), spoils one file, runs the real program and
// checks the exit status, the first words of the one message line on standard error, that
// nothing reached standard output and that no file was left behind in the run directory.
//
// Message prefixes name the file (and line where there is one): "file:line: what".  Free-form
// messages of the programs' own stops begin with one blank, which the comparison drops.
#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <functional>
#include <set>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "tests/support/run.hpp"

namespace {

namespace fs = std::filesystem;
using testing_support::run;
using testing_support::TempDir;
using testing_support::write_file;

// Deterministic binary garbage: every byte value, NUL and line ends included.
std::string garbage(std::size_t n, std::uint32_t seed) {
    std::string s(n, '\0');
    for (char& c : s) {
        seed = seed * 1664525u + 1013904223u;
        c = static_cast<char>(seed >> 24);
    }
    return s;
}

const std::string nul("\0", 1);

std::string repeat(const std::string& s, int n) {
    std::string out;
    for (int k = 0; k < n; ++k) out += s;
    return out;
}

// A name of exactly 3600 characters that ends in file: "./././.../" and file.
std::string long_name(const std::string& file) {
    return repeat("./", 1800 - static_cast<int>(file.size() + 1) / 2) + (file.size() % 2 ? "/" : "") + file;
}

std::string ids(int n) {
    std::string s;
    for (int i = 1; i <= n; ++i) s += "p" + std::to_string(i) + "\n";
    return s;
}

// The working setup every case starts from, in directory d.
void base_setup(const std::string& d) {
    for (int i = 1; i <= 21; ++i) {
        std::string p = d + "/db/p" + std::to_string(i);
        fs::create_directories(p);
        write_file(p + "/in", "# table\n1 2 3\n4 5 6\n");
        write_file(p + "/out", "0.5278 0.0000\n");
        write_file(p + "/kelta.dgn", "2\n");
    }
    write_file(d + "/good.db", "db\nin\nout\n" + ids(21));
    // 6 inputs, one node in each hidden layer, 2 outputs: 7 + 2 + 4 weights.
    std::string w = "\"db\"\nin \nout \n 6 1 1 2 2.0000000298023224E-01\n";
    for (int k = 0; k < 13; ++k) w += " 5.0000000000000000E-02\n";
    write_file(d + "/w.wei", w);
    write_file(d + "/s.pdb",
               "HEADER    TEST\n"
               "ATOM      1  N   ALA A   1      11.104   6.134  -6.504  1.00  0.00           N\n"
               "ATOM      2  CB  ALA A   1      11.639   6.071  -5.147  1.00  0.00           C\n"
               "ATOM      3  CA  GLY A   2      12.000   8.000  -4.000  1.00  0.00           C\n"
               "END\n");
    write_file(d + "/aa.types", "ALA\nGLY\n");
    write_file(d + "/d-residue.depth", "#residue resname depth_mean depth_sd\nA:1 ALA 1.6 0.1\nA:2 GLY 1.7 0.1\n");
    write_file(d + "/d-atom.depth",
               "#atom residue atom_name depth depth_sd\n1 A:1 N 1.550 0.000\n2 A:1 CA 1.700 0.100\n"
               "3 A:2 CA 1.800 0.000\n");
    write_file(d + "/atom.types", "ALA N\nALA CA\nGLY CA\n");
}

struct Case {
    const char* name;
    const char* program;
    std::function<void(const std::string&)> spoil;  // changes the setup in the run directory
    std::vector<std::string> args;
    int status;
    std::string first_words;  // expected start of the message ("" for a run that succeeds)
};

auto put(const std::string& rel, std::string content) {
    return [rel, content](const std::string& d) { write_file(d + "/" + rel, content); };
}
auto make_dir(const std::string& rel) {
    return [rel](const std::string& d) {
        fs::remove(d + "/" + rel);
        fs::create_directories(d + "/" + rel);
    };
}
auto nothing() {
    return [](const std::string&) {};
}

// The files under d (relative names), to see what a run left behind.
std::set<std::string> listing(const std::string& d) {
    std::set<std::string> names;
    for (const auto& e : fs::recursive_directory_iterator(d)) names.insert(fs::relative(e.path(), d).string());
    return names;
}

// The message: the last line on standard error (a prediction writes its header lines first).
std::string message(const std::string& err) {
    std::string e = err;
    while (!e.empty() && e.back() == '\n') e.pop_back();
    std::string line = e.substr(e.rfind('\n') == std::string::npos ? 0 : e.rfind('\n') + 1);
    if (!line.empty() && line[0] == ' ') line.erase(0, 1);
    return line;
}

// Lines on standard error other than the notes a run may write before it stops: "Unknown type"
// lines and warnings of the generators and the three header lines of a prediction.
std::size_t message_lines(const std::string& err) {
    std::size_t n = 0;
    for (const std::string& l : testing_support::lines_of(err))
        n += l.rfind(" Unknown type ", 0) != 0 && l.find(": warning: ") == std::string::npos;
    return err.find("INS/OUTS") == std::string::npos ? n : n - 3;
}

void check(const Case& c) {
    SCOPED_TRACE(c.name);
    TempDir dir;
    base_setup(dir.path());
    c.spoil(dir.path());
    const std::set<std::string> before = listing(dir.path());
    testing_support::Result r = run(c.program, c.args, dir.path());
    EXPECT_EQ(r.status, c.status) << r.err;
    if (c.status != 0) {
        std::string said = message(r.err);
        EXPECT_EQ(said.substr(0, c.first_words.size()), c.first_words) << r.err;
        EXPECT_EQ(message_lines(r.err), 1u) << r.err;
        EXPECT_TRUE(r.out.empty()) << "a failed run wrote " << r.out.size() << " bytes of output";
        EXPECT_EQ(listing(dir.path()), before) << "a failed run left a file behind";
    }
}

const std::vector<std::string> train = {"-l", "good.db", "-m", "1", "-r", "5"};
std::vector<std::string> with(std::vector<std::string> a, const std::vector<std::string>& more) {
    a.insert(a.end(), more.begin(), more.end());
    return a;
}

TEST(BadInput, Nntrain) {
    const std::vector<std::string> predict = {"-wf", "w.wei", "-pr1", "p1"};
    const std::vector<Case> cases = {
        {"list file of binary garbage", "nntrain", put("good.db", garbage(3000, 1)), train, 2, "'"},
        {"data file of binary garbage", "nntrain", put("db/p3/in", garbage(3000, 2)), train, 2, "db/p3/in:1: expected a number"},
        {"weight file of binary garbage", "nntrain", put("w.wei", garbage(3000, 3)), predict, 2, "w.wei:"},
        {"NUL byte in the directory name", "nntrain", put("good.db", "db" + nul + "x\nin\nout\n" + ids(21)), train, 2,
         "'db\\x00x/p1/in': cannot open"},
        {"NUL byte in a number", "nntrain", put("db/p3/in", "1 2 3\n4 5" + nul + " 6\n"), train, 2,
         "db/p3/in:2: expected a number, found '5\\x00'"},
        {"100000-character identifier", "nntrain", put("good.db", "db\nin\nout\n" + std::string(100000, 'x') + "\n" + ids(21)),
         train, 2, "'db/xxxxxxxx"},  // the identifier is cut to 3600 characters, the path refused
        {"100000-character data line", "nntrain", put("db/p1/in", std::string(50000, '1').replace(1, 1, " ") + "\n"), train,
         2, "db/p1/in:1: expected a number"},
        {"100000-character line of numbers", "nntrain", put("db/p1/in", [] {
             std::string s;
             while (s.size() < 100000) s += "1 ";
             return s + "\n";
         }()),
         train, 1, "db/p1/in:1: "},
        {"number with letters", "nntrain", put("db/p3/in", "1 2 3\n4 5x 6\n"), train, 2, "db/p3/in:2: expected a number, found '5x'"},
        {"blank first data line", "nntrain", put("db/p3/in", "# table\n \r\n1 2 3\n4 5 6\n"), train, 2,
         "db/p3/in:2: no number on the first data line"},
        {"extra number on a data line", "nntrain", put("db/p3/in", "1 2 3\n4 5 6 7\n"), train, 2,
         "db/p3/in:2: expected 3 numbers as on the first data line, found 4"},
        {"slash ending a data line early", "nntrain", put("db/p3/in", "1 2 3\n4 5 /\n"), train, 2,
         "db/p3/in:2: expected 3 numbers as on the first data line, found 2 and a slash"},
        {"NaN in a data file", "nntrain", put("db/p3/in", "1 2 3\n4 NaN 6\n"), train, 2,
         "db/p3/in:2: expected a finite number, found 'NaN'"},
        {"infinity in a target file", "nntrain", put("db/p5/out", "0.5 inf\n"), train, 2,
         "db/p5/out:1: expected a finite number, found 'inf'"},
        {"byte-order mark inside a data file", "nntrain", put("db/p2/in", "1 2 3\n\xef\xbb\xbf" "4 5 6\n"), train, 2,
         "db/p2/in:2: expected a number, found '\\xef\\xbb\\xbf4'"},
        {"weight with letters", "nntrain",
         put("w.wei", "\"db\"\nin \nout \n 6 1 1 2 0.2\n 0.5x\n" + repeat(" 0.5\n", 12)), predict, 2, "w.wei:5: expected a number, found '0.5x'"},
        {"NaN weight", "nntrain", put("w.wei", "\"db\"\nin \nout \n 6 1 1 2 0.2\n 0.5\n nan\n" + repeat(" 0.5\n", 11)), predict, 2,
         "w.wei:6: expected a finite weight, found NaN"},
        {"infinite weight in an averaged file", "nntrain",
         [](const std::string& d) {
             write_file(d + "/wl.lst", "w.wei\ninf.wei\n");
             write_file(d + "/inf.wei", "\"db\"\nin \nout \n 6 1 1 2 0.2\n" + repeat(" 0.5\n", 12) + " -Inf\n");
         },
         {"-aw", "wl.lst", "-pr1", "p1"}, 2, "inf.wei:17: expected a finite weight, found -Infinity"},
        {"infinite activation parameter", "nntrain", put("w.wei", "\"db\"\nin \nout \n 6 1 1 2 Infinity\n" + repeat(" 0.5\n", 13)),
         with(train, {"-wf", "w.wei", "-owf", "x.wei"}), 2, "w.wei:4: expected a finite activation parameter, found Infinity"},
        {"degeneracy beyond 32 bits", "nntrain", put("db/p3/kelta.dgn", "2147483648\n"), with(train, {"-df"}), 2,
         "db/p3/kelta.dgn:1: expected an integer, found '2147483648'"},
        {"layer size beyond 32 bits", "nntrain", put("w.wei", "\"db\"\nin \nout \n 6 99999999999 1 2 0.2\n"), predict, 2,
         "w.wei:4: expected an integer, found '99999999999'"},
        {"switch value beyond 32 bits", "nntrain", nothing(), {"-l", "good.db", "-m", "4294967296"}, 2,
         "value of -m: expected an integer"},
        // Values outside a setting's range, refused before any file is read (none.db is not).
        {"-f above 1", "nntrain", nothing(), {"-l", "none.db", "-f", "1.02", "-r", "1"}, 2,
         "value of -f: expected a number from 0 to 1, found '1.02'"},
        {"-u infinite after -aw (its list is not read)", "nntrain", nothing(), {"-aw", "none.lst", "-pr1", "p1", "-u", "inf"}, 2,
         "value of -u: expected a finite number, found 'inf'"},
        {"-f infinite", "nntrain", nothing(), with(train, {"-f", "inf"}), 2, "value of -f: expected a finite number, found 'inf'"},
        {"-f negative", "nntrain", nothing(), with(train, {"-f", "-0.5"}), 2,
         "value of -f: expected a number from 0 to 1, found '-0.5'"},
        {"-u NaN", "nntrain", nothing(), with(train, {"-u", "nan"}), 2, "value of -u: expected a finite number, found 'nan'"},
        {"-u infinite", "nntrain", nothing(), with(train, {"-u", "inf"}), 2, "value of -u: expected a finite number, found 'inf'"},
        {"-a NaN", "nntrain", nothing(), with(train, {"-a", "NaN"}), 2, "value of -a: expected a finite number, found 'NaN'"},
        {"-p infinite", "nntrain", nothing(), with(train, {"-p", "-Infinity"}), 2,
         "value of -p: expected a finite number, found '-Infinity'"},
        {"-h1 0", "nntrain", nothing(), with(train, {"-h1", "0"}), 2, "value of -h1: expected an integer of at least 1, found '0'"},
        {"-h2 negative", "nntrain", nothing(), with(train, {"-h2", "-2"}), 2,
         "value of -h2: expected an integer of at least 1, found '-2'"},
        {"-np negative", "nntrain", nothing(), with(train, {"-np", "-1"}), 2,
         "value of -np: expected an integer of at least 0, found '-1'"},
        {"-f 1: no training protein", "nntrain", nothing(), with(train, {"-f", "1"}), 1,
         "Something wrong with database (not enough proteins for training), aborting. 0"},
        // Names longer than the 3600 characters kept: cut, they would name w.wei and n.wei.
        {"-owf name beyond 3600 characters", "nntrain", nothing(), with(train, {"-owf", long_name("n.wei") + "ght"}), 2,
         "value of -owf: a name of 3603 characters, at most 3600 can be kept"},
        {"data-file path beyond 3600 characters", "nntrain", put("good.db", "db\ninx\nout\n" + ids(21)),
         with(train, {"-d", repeat("./", 1796) + "db"}), 2, "'" + repeat("./", 20) + "...': a name of 3601 characters"},
        {"weight-list name beyond 3600 characters", "nntrain", put("wl.lst", long_name("w.wei") + "x\n"),
         {"-aw", "wl.lst", "-pr1", "p1"}, 2, "wl.lst:1: a name of 3601 characters, at most 3600 can be kept"},
        {"line feed in the database directory", "nntrain", [](const std::string& d) { fs::rename(d + "/db", d + "/db\nx"); },
         with(train, {"-d", "db\nx"}), 2, "the database directory 'db\\x0ax' holds a line feed"},
        // Output paths are checked before training: a dangling symbolic link is an existing entry.
        {"dangling symbolic link as the weight file", "nntrain",
         [](const std::string& d) { fs::create_symlink("nowhere/x.wei", d + "/x.wei"); }, with(train, {"-owf", "x.wei"}), 2,
         "x.wei: cannot create: File exists"},
        // A switch value is one number, whole: no decimal comma, nothing after the number.
        {"decimal comma in -u", "nntrain", nothing(), with(train, {"-u", "0,01"}), 2,
         "value of -u: expected a number, found '0,01'"},
        {"thousands comma in -m", "nntrain", nothing(), {"-l", "good.db", "-m", "1,000"}, 2,
         "value of -m: expected an integer, found '1,000'"},
        {"words after the number of -m", "nntrain", nothing(), {"-l", "good.db", "-m", "1000 junk"}, 2,
         "value of -m: expected an integer, found '1000 junk'"},
        {"unterminated quote in the list file", "nntrain", put("good.db", "\"db\nin\nout\n" + ids(21)), train, 2,
         "good.db:1: unterminated quoted text"},
        {"unterminated quote in the weight file", "nntrain", put("w.wei", "'db\nin \nout \n 6 1 1 2 0.2\n"), predict, 2,
         "w.wei:1: unterminated quoted text"},
        {"empty list file", "nntrain", put("good.db", ""), train, 2, "good.db: unexpected end of file"},
        {"empty data file", "nntrain", put("db/p4/in", ""), train, 2, "db/p4/in: unexpected end of file"},
        {"empty weight file", "nntrain", put("w.wei", ""), predict, 2, "w.wei: unexpected end of file"},
        {"empty degeneracy file", "nntrain", put("db/p2/kelta.dgn", ""), with(train, {"-df"}), 2,
         "db/p2/kelta.dgn: unexpected end of file"},
        {"data file of comment lines only", "nntrain", put("db/p4/in", "# a\n# b\n"), train, 2,
         "db/p4/in: unexpected end of file after line 2"},
        {"list file of comment lines only", "nntrain", put("good.db", "# a\n# b\n"), train, 2,
         "good.db: unexpected end of file after line 2"},
        {"missing list file", "nntrain", nothing(), {"-l", "none.db"}, 2, "none.db: cannot open"},
        {"missing data file", "nntrain", [](const std::string& d) { fs::remove(d + "/db/p7/out"); }, train, 2,
         "db/p7/out: cannot open"},
        {"missing weight file", "nntrain", nothing(), {"-wf", "none.wei", "-pr1", "p1"}, 2, "none.wei: cannot open"},
        {"directory as list file", "nntrain", nothing(), {"-l", "db"}, 2, "db: cannot read"},
        {"directory as data file", "nntrain", make_dir("db/p5/in"), train, 2, "db/p5/in: cannot read"},
        {"directory as weight file", "nntrain", nothing(), {"-wf", "db", "-pr1", "p1"}, 2, "db: cannot read"},
    };
    for (const Case& c : cases) check(c);
}

TEST(BadInput, Pairdist) {
    const std::vector<std::string> args = {"-dp", "s.pdb", "-t", "aa.types"};
    const std::string ca = "ATOM      3  CA  GLY A   2      12.000   8.000  -4.000\n";
    const std::vector<Case> cases = {
        {"structure of binary garbage", "pairdist", put("s.pdb", garbage(3000, 4)), args, 1, "No residues read from s.pdb"},
        // Any first word of a line names a type, so garbage makes strange names and no error.
        {"types file of binary garbage (names, no error)", "pairdist", put("aa.types", garbage(3000, 5)), args, 0, ""},
        {"NUL byte in a coordinate", "pairdist", put("s.pdb", "ATOM      2  CB  ALA A   1      11.6" + nul + "39   6.071  -5.147\n" + ca),
         args, 2, "s.pdb:1: expected a number for x in columns 31-38"},
        // Columns beyond 54 are not read, however many there are.
        {"100000-character line", "pairdist",
         put("s.pdb", "ATOM      2  CB  ALA A   1      11.639   6.071  -5.147" + std::string(100000, '%') + "\n" + ca), args, 0, ""},
        {"100000-character line of digits", "pairdist",
         put("s.pdb", "ATOM      2  CB  ALA A   1      11.639   6.071  -5.14" + std::string(100000, '7') + "\n" + ca), args, 0, ""},
        {"number with letters", "pairdist", put("s.pdb", "ATOM      2  CB  ALA A   1      11.639   6.07l  -5.147\n" + ca), args,
         2, "s.pdb:1: expected a number for y in columns 39-46"},
        {"integer beyond 32 bits (runs into the next field)", "pairdist",
         put("s.pdb", "ATOM      2  CB  ALA A   1      99999999999   6.071  -5.147\n" + ca), args, 2,
         "s.pdb:1: expected a number for z in columns 47-54, found '6.071  -'"},
        {"unterminated quote in a coordinate", "pairdist", put("s.pdb", "ATOM      2  CB  ALA A   1      '11.639   6.071  -5.147\n" + ca),
         args, 2, "s.pdb:1: expected a number for x"},
        {"unterminated quote in the types file", "pairdist", put("aa.types", "ALA\n'GLY\n"), args, 2, "aa.types:2: unterminated quoted text"},
        {"empty structure", "pairdist", put("s.pdb", ""), args, 1, "No residues read from s.pdb"},
        {"structure of remark lines only", "pairdist", put("s.pdb", "REMARK   1\nREMARK   2\n"), args, 1, "No residues read from s.pdb"},
        {"empty types file (not an error)", "pairdist", put("aa.types", ""), args, 0, ""},
        {"infinite coordinate", "pairdist", put("s.pdb", "ATOM      2  CB  ALA A   1      11.639     inf  -5.147\n" + ca), args, 2,
         "s.pdb:1: expected a finite number for y in columns 39-46"},
        {"two points 1e-110 apart (1/d^3 not finite)", "pairdist",
         put("s.pdb", "ATOM      2  CB  ALA A   1       0.000   0.000   0.000\n"
                      "ATOM      3  CA  GLY A   2    1.0E-110   0.000   0.000\n"), args, 1, "Aborting, weird distance 1 2"},
        // Cut at 300 characters, the name would be "./////...s.pdb": another file.
        {"structure name longer than kept", "pairdist", nothing(),
         {"-dp", "./" + std::string(293, '/') + "s.pdbx", "-t", "aa.types"}, 2,
         "the file name after -dp has 301 characters, more than the 300"},
        {"types file name longer than kept", "pairdist", nothing(), {"-dp", "s.pdb", "-t", "./" + std::string(300, '/') + "aa.types"},
         2, "the file name after -t has 310 characters, more than the 300"},
        {"gzip data cut short", "pairdist", put("s.pdb", "\x1f\x8b\x08\x00"), args, 2, "s.pdb: damaged or incomplete gzip data"},
        {"missing structure", "pairdist", nothing(), {"-dp", "none.pdb", "-t", "aa.types"}, 2, "none.pdb: cannot open"},
        {"missing types file", "pairdist", nothing(), {"-dp", "s.pdb", "-t", "none.types"}, 2, "none.types: cannot open"},
        {"directory as structure", "pairdist", nothing(), {"-dp", "db", "-t", "aa.types"}, 2, "db: cannot read"},
        {"directory as types file", "pairdist", nothing(), {"-dp", "s.pdb", "-t", "db"}, 2, "db: cannot read"},
        // A word that is no switch and no switch's value, and a run without a structure: a
        // silent status 0 would give an empty table in a shell loop.
        {"structure without -dp", "pairdist", nothing(), {"s.pdb"}, 2, "pairdist: unknown switch or word 's.pdb'"},
        {"unknown switch before the structure", "pairdist", nothing(), {"-x", "s.pdb"}, 2, "pairdist: unknown switch or word '-x'"},
        {"--dp for -dp", "pairdist", nothing(), {"--dp", "s.pdb"}, 2, "pairdist: unknown switch or word '--dp'"},
        {"stray word after a whole command", "pairdist", nothing(), with(args, {"t.pdb"}), 2,
         "pairdist: unknown switch or word 't.pdb'"},
        {"types file only", "pairdist", nothing(), {"-t", "aa.types"}, 2, "pairdist: no structure file given (-dp)"},
        {"-dp as the last word", "pairdist", nothing(), {"-t", "aa.types", "-dp"}, 2, "pairdist: -dp needs a value"},
    };
    for (const Case& c : cases) check(c);
}

TEST(BadInput, Depthdist) {
    const std::vector<std::string> args = {"-dp", "d", "-t", "atom.types"};
    const std::string res = "#h\nA:1 ALA 1.6 0.1\n";
    const std::vector<Case> cases = {
        {"atom file of binary garbage", "depthdist", put("d-atom.depth", garbage(3000, 6)), args, 2, "d-atom.depth:"},
        {"residue file of binary garbage", "depthdist", put("d-residue.depth", garbage(3000, 7)), args, 2,
         "d-residue.depth:2: a slash ends the residue record"},
        {"slash in an atom line", "depthdist", put("d-atom.depth", "#h\n1 A:1 N 1.550 0.000\n2 A:1 CA /\n"), args, 2,
         "d-atom.depth:3: a slash ends the atom record early"},
        {"slash in a residue line", "depthdist", put("d-residue.depth", "#h\nA:1 ALA 1.6 0.1\nA:2 /\n"), args, 2,
         "d-residue.depth:3: a slash ends the residue record"},
        {"base name longer than kept", "depthdist", nothing(), {"-dp", std::string(301, 'd'), "-t", "atom.types"}, 2,
         "the file name after -dp has 301 characters, more than the 300"},
        {"types file of binary garbage", "depthdist", put("atom.types", garbage(3000, 8)), args, 2, "atom.types:"},
        {"NUL byte in a depth", "depthdist", put("d-atom.depth", "#h\n1 A:1 N 1.5" + nul + "50 0.000\n"), args, 2,
         "d-atom.depth:2: expected a number, found '1.5\\x0050'"},
        {"100000-character line", "depthdist", put("d-atom.depth", "#h\n1 A:1 N 1.550 0.0" + std::string(100000, '7') + "x\n"),
         args, 2, "d-atom.depth:2: expected a number"},
        {"number with letters", "depthdist", put("d-atom.depth", "#h\n1 A:1 N 1.55O 0.000\n"), args, 2,
         "d-atom.depth:2: expected a number, found '1.55O'"},
        {"real beyond the double range", "depthdist", put("d-atom.depth", "#h\n1 A:1 N 1.5E999 0.000\n"), args, 2,
         "d-atom.depth:2: expected a number, found '1.5E999'"},
        {"unterminated quote", "depthdist", put("d-atom.depth", "#h\n1 A:1 'N 1.550 0.000\n"), args, 2,
         "d-atom.depth:2: unterminated quoted text"},
        {"empty residue file", "depthdist", put("d-residue.depth", ""), args, 2, "d-residue.depth: unexpected end of file"},
        {"empty atom file", "depthdist", put("d-atom.depth", ""), args, 2, "d-atom.depth: unexpected end of file"},
        {"atom file of a header only", "depthdist", put("d-atom.depth", "#h\n"), args, 1, "Aborting, nres problem."},
        // "#b" is a residue key that no atom has: the walk runs off the end of the residue file.
        {"residue file of comment lines only", "depthdist", put("d-residue.depth", "#a\n#b\n#c\n"), args, 1,
         "Aborting, nres problem."},
        {"types file of comment lines only", "depthdist", put("atom.types", "#a\n#b\n"), args, 2, "atom.types:"},
        {"zero depth", "depthdist", put("d-atom.depth", "#h\n1 A:1 N 0.000 0.000\n"), args, 1, "Aborting, weird distance 1"},
        {"missing depth files", "depthdist", nothing(), {"-dp", "none", "-t", "atom.types"}, 2, "none-residue.depth: cannot open"},
        {"missing atom file", "depthdist", [](const std::string& d) { fs::remove(d + "/d-atom.depth"); }, args, 2,
         "d-atom.depth: cannot open"},
        {"missing types file", "depthdist", nothing(), {"-dp", "d", "-t", "none.types"}, 2, "none.types: cannot open"},
        {"directory as atom file", "depthdist", make_dir("d-atom.depth"), args, 2, "d-atom.depth: cannot read"},
        {"directory as types file", "depthdist", nothing(), {"-dp", "d", "-t", "db"}, 2, "db: cannot read"},
        {"base name without -dp", "depthdist", nothing(), {"d"}, 2, "depthdist: unknown switch or word 'd'"},
        {"types file only", "depthdist", nothing(), {"-t", "atom.types"}, 2, "depthdist: no base name of the depth files given (-dp)"},
    };
    for (const Case& c : cases) check(c);
}

TEST(BadInput, Atomdepth) {
    const std::vector<std::string> args = {"-dp", "s.pdb", "-o", "o"};
    const std::string atom = "ATOM      1  N   ALA A   1      11.104   6.134  -6.504  1.00  0.00           N\n";
    auto with_value = [&](const std::string& sw, const std::string& v) { return with(args, {sw, v}); };
    const std::vector<Case> cases = {
        {"structure of binary garbage", "atomdepth", put("s.pdb", garbage(3000, 9)), args, 1, "s.pdb: no ATOM or HETATM record"},
        {"empty structure", "atomdepth", put("s.pdb", ""), args, 1, "s.pdb: no ATOM or HETATM record"},
        {"hydrogens and waters only", "atomdepth",
         put("s.pdb", "ATOM      1  H   ALA A   1      11.104   6.134  -6.504  1.00  0.00           H\n"
                      "HETATM    2  O   HOH A   2      12.104   6.134  -6.504  1.00  0.00           O\n"),
         args, 1, "s.pdb: no atom taken"},
        {"infinite coordinate", "atomdepth", put("s.pdb", atom + "ATOM      2  CA  ALA A   1     -inf      6.071  -5.147\n"),
         args, 2, "s.pdb:2: expected a finite number for x in columns 31-38"},
        {"NaN coordinate", "atomdepth", put("s.pdb", atom + "ATOM      2  CA  ALA A   1      11.639   6.071     NaN\n"),
         args, 2, "s.pdb:2: expected a finite number for z in columns 47-54"},
        {"number with letters", "atomdepth", put("s.pdb", atom + "ATOM      2  CA  ALA A   1      11.639   6.07l  -5.147\n"),
         args, 2, "s.pdb:2: expected a number for y in columns 39-46"},
        // Cut short or blank, the atom would sit at 0 (pairdist reads such lines, and takes
        // blanks for 0, as its documentation says).
        {"atom line cut inside y", "atomdepth", put("s.pdb", atom + "ATOM      2  CA  ALA A   1      11.639   6.0\n"), args, 2,
         "s.pdb:2: the atom line ends at column 44, before its coordinates end (column 54)"},
        {"atom line cut after y", "atomdepth", put("s.pdb", "HETATM    2 ZN    ZN A   2      11.639   6.071\r\n" + atom), args, 2,
         "s.pdb:1: the atom line ends at column 46"},
        {"blank z field", "atomdepth", put("s.pdb", atom + "ATOM      2  CA  ALA A   1      11.639   6.071          1.00  0.00\n"),
         args, 2, "s.pdb:2: expected a number for z in columns 47-54, found a blank field"},
        {"gzip data cut short", "atomdepth", put("s.pdb", "\x1f\x8b\x08\x00\x00\x00"), args, 2,
         "s.pdb: damaged or incomplete gzip data"},
        {"atoms packed denser than any molecule", "atomdepth", put("s.pdb", repeat(atom, 1200)), args, 1,
         "s.pdb: atom 1 has more than 1000 neighbours"},
        {"existing atom file", "atomdepth", put("o-atom.depth", "x\n"), args, 2, "o-atom.depth: cannot create: File exists"},
        {"existing residue file", "atomdepth", put("o-residue.depth", "x\n"), args, 2, "o-residue.depth: cannot create"},
        {"output directory missing", "atomdepth", nothing(), {"-dp", "s.pdb", "-o", "none/o"}, 2, "none/o-residue.depth: cannot"},
        {"missing structure", "atomdepth", nothing(), {"-dp", "none.pdb", "-o", "o"}, 2, "none.pdb: cannot open"},
        {"directory as structure", "atomdepth", nothing(), {"-dp", "db", "-o", "o"}, 2, "db: cannot read"},
        {"no -o", "atomdepth", nothing(), {"-dp", "s.pdb"}, 2, "atomdepth: no base name for the depth files given (-o)"},
        {"no -dp", "atomdepth", nothing(), {"-o", "o"}, 2, "atomdepth: no structure file given (-dp)"},
        {"switch without its value", "atomdepth", nothing(), {"-o", "o", "-dp"}, 2, "atomdepth: -dp needs a value"},
        {"unknown switch", "atomdepth", nothing(), with(args, {"-x"}), 2, "atomdepth: unknown switch or word '-x'"},
        {"decimal comma in the probe radius", "atomdepth", nothing(), with_value("-pr", "1,4"), 2,
         "atomdepth: -pr '1,4': expected a probe radius from 0 to 5 (A)"},
        {"infinite probe radius", "atomdepth", nothing(), with_value("-pr", "inf"), 2, "atomdepth: -pr 'inf'"},
        {"probe radius 1e17", "atomdepth", nothing(), with_value("-pr", "1e17"), 2,
         "atomdepth: -pr '1e17': expected a probe radius from 0 to 5 (A)"},
        {"probe radius 5, the largest taken", "atomdepth", nothing(), with_value("-pr", "5"), 0, ""},
        {"probe radius just above 5", "atomdepth", nothing(), with_value("-pr", "5.0001"), 2, "atomdepth: -pr '5.0001'"},
        {"negative probe radius", "atomdepth", nothing(), with_value("-pr", "-0.1"), 2, "atomdepth: -pr '-0.1'"},
        {"NaN probe radius", "atomdepth", nothing(), with_value("-pr", "nan"), 2, "atomdepth: -pr 'nan'"},
        {"points beyond 100000", "atomdepth", nothing(), with_value("-np", "100001"), 2, "atomdepth: -np '100001'"},
        {"no estimate", "atomdepth", nothing(), with_value("-ne", "0"), 2, "atomdepth: -ne '0': expected 1, 2 or 3"},
        {"no points", "atomdepth", nothing(), with_value("-np", "0"), 2, "atomdepth: -np '0': expected a whole number"},
        {"four estimates", "atomdepth", nothing(), with_value("-ne", "4"), 2, "atomdepth: -ne '4': expected 1, 2 or 3"},
    };
    for (const Case& c : cases) check(c);
}

// A file the user may not read: refused with the system's reason.  Root reads every file.
TEST(BadInput, UnreadableFiles) {
    if (::geteuid() == 0) GTEST_SKIP() << "running as root: a file of mode 000 is still readable";
    auto unreadable = [](const std::string& rel) {
        return [rel](const std::string& d) { ::chmod((d + "/" + rel).c_str(), 0); };
    };
    const std::vector<Case> cases = {
        {"unreadable list file", "nntrain", unreadable("good.db"), train, 2, "good.db: cannot open: Permission denied"},
        {"unreadable data file", "nntrain", unreadable("db/p9/in"), train, 2, "db/p9/in: cannot open: Permission denied"},
        {"unreadable weight file", "nntrain", unreadable("w.wei"), {"-wf", "w.wei", "-pr1", "p1"}, 2,
         "w.wei: cannot open: Permission denied"},
        {"unreadable structure", "pairdist", unreadable("s.pdb"), {"-dp", "s.pdb", "-t", "aa.types"}, 2,
         "s.pdb: cannot open: Permission denied"},
        {"unreadable atom file", "depthdist", unreadable("d-atom.depth"), {"-dp", "d", "-t", "atom.types"}, 2,
         "d-atom.depth: cannot open: Permission denied"},
    };
    for (const Case& c : cases) check(c);
}

// The working setup itself runs clean, so every refusal above comes from the spoiled file.
TEST(BadInput, SetupRunsClean) {
    TempDir dir;
    base_setup(dir.path());
    EXPECT_EQ(run("nntrain", train, dir.path()).status, 0);
    EXPECT_EQ(run("nntrain", {"-wf", "w.wei", "-pr1", "p1"}, dir.path()).status, 0);
    testing_support::Result p = run("pairdist", {"-dp", "s.pdb", "-t", "aa.types"}, dir.path());
    EXPECT_EQ(p.status, 0) << p.err;
    EXPECT_EQ(testing_support::lines_of(p.out).size(), 9u);
    testing_support::Result d = run("depthdist", {"-dp", "d", "-t", "atom.types"}, dir.path());
    EXPECT_EQ(d.status, 0) << d.err;
    EXPECT_EQ(testing_support::lines_of(d.out).size(), 4u);
    testing_support::Result a = run("atomdepth", {"-dp", "s.pdb", "-o", "o"}, dir.path());
    EXPECT_EQ(a.status, 0) << a.err;
    EXPECT_EQ(testing_support::lines_of(testing_support::read_file(dir / "o-atom.depth")).size(), 4u);
}

}  // namespace

namespace {

// Runs a program with its memory bounded (1 GB), so that a run that believes a file's size
// claims fails fast instead of taking the machine's memory.
testing_support::Result run_bounded(const std::string& program, const std::vector<std::string>& args,
                                    const std::string& dir) {
#if defined(__SANITIZE_ADDRESS__)
    const std::string limit =
        "export ASAN_OPTIONS=\"${ASAN_OPTIONS:+$ASAN_OPTIONS:}max_allocation_size_mb=1024:allocator_may_return_null=1\"; ";
#else
    const std::string limit = "ulimit -v 1048576; ";
#endif
    std::vector<std::string> words = {"-c", limit + "exec \"$0\" \"$@\"", testing_support::bin(program)};
    words.insert(words.end(), args.begin(), args.end());
    return run("/bin/sh", words, dir);
}

// A file whose sizes promise far more values than it holds is refused, naming it, before the
// storage for those sizes is set up (not with "Allocation would exceed memory limit", and not
// by taking gigabytes of memory when they happen to be there).
void expect_refused_naming(const testing_support::Result& r, const std::string& file) {
    EXPECT_TRUE(r.status == 1 || r.status == 2) << r.status << "\n" << r.err;
    EXPECT_EQ(message(r.err).substr(0, file.size()), file) << r.err;
    EXPECT_TRUE(r.out.empty());
}

std::string weight_file(const std::string& sizes, int nweights) {
    std::string w = "\"db\"\nin \nout \n" + sizes + "\n";
    for (int k = 0; k < nweights; ++k) w += " 5.0000000000000000E-02\n";
    return w;
}

TEST(SizeClaims, WeightFileHiddenLayersBeyondItsLines) {
    TempDir dir;
    base_setup(dir.path());
    for (const std::string sizes : {" 6 100000000 1 2 0.2", " 6 1 100000000 2 0.2", " 6 2147483647 1 2 0.2",
                                    " 6 1 2147483647 2 0.2"}) {
        SCOPED_TRACE(sizes);
        write_file(dir / "big.wei", weight_file(sizes, 13));
        expect_refused_naming(run_bounded("nntrain", {"-wf", "big.wei", "-pr1", "p1"}, dir.path()), "big.wei");
        // Training that starts from the file: the same refusal, and no log or weight file.
        const auto before = listing(dir.path());
        expect_refused_naming(run_bounded("nntrain", {"-l", "good.db", "-wf", "big.wei", "-m", "1", "-r", "5"}, dir.path()),
                              "big.wei");
        EXPECT_EQ(listing(dir.path()), before);
    }
}

TEST(SizeClaims, StructureBeyondTheMemory) {
#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "the sanitizer bounds allocations, not the address space the reader checks";
#endif
    // 300000 atoms with 3 x 96 points each would need 2.2 GB at most: refused under a 1 GB
    // limit before the points are made; 3 million atom records before they are read.
    TempDir dir;
    base_setup(dir.path());
    write_file(dir / "big.pdb", repeat("ATOM      1  N   ALA A   1      11.104   6.134  -6.504\n", 300000));
    testing_support::Result r = run_bounded("atomdepth", {"-dp", "big.pdb", "-o", "o"}, dir.path());
    expect_refused_naming(r, "big.pdb: 300000 atoms with 96 points on each of 3 spheres would need more memory");
    write_file(dir / "big.pdb", repeat("ATOM\n", 3000000));
    r = run_bounded("atomdepth", {"-dp", "big.pdb", "-o", "o"}, dir.path());
    expect_refused_naming(r, "big.pdb: 3000000 atom records would need more memory");
}

// A gzip bomb (2 GB of zeros in 2 MB, as 128 gzip members) is refused with one line before
// it is inflated past a quarter of the memory the process may have, under a limit on its
// address space (ulimit -v) and on its data (ulimit -d) alike, and not ended by running out.
TEST(SizeClaims, GzipBombUnderAMemoryLimit) {
#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "the sanitizer bounds allocations, not the address space the reader checks";
#endif
    TempDir dir;
    testing_support::Result z = run("/bin/sh", {"-c", "head -c 16777216 /dev/zero | gzip -c > one.gz && "
                                                      "for i in $(seq 128); do cat one.gz; done > bomb.pdb"},
                                    dir.path());
    ASSERT_EQ(z.status, 0) << z.err;
    for (const std::string limit : {"ulimit -v 1048576", "ulimit -d 1048576"}) {
        SCOPED_TRACE(limit);
        testing_support::Result r = run("/bin/sh", {"-c", limit + "; exec \"$0\" \"$@\"", testing_support::bin("atomdepth"),
                                                     "-dp", "bomb.pdb", "-o", "o"},
                                        dir.path());
        EXPECT_EQ(r.status, 2) << r.err;
        EXPECT_EQ(r.err.rfind("bomb.pdb: the decompressed structure would not fit in memory (more than ", 0), 0u) << r.err;
        EXPECT_EQ(message_lines(r.err), 1u) << r.err;
        EXPECT_FALSE(testing_support::exists(dir / "o-atom.depth"));
    }
}

TEST(SizeClaims, DataFileLinesBeyondItsNumbers) {
    // 1000 numbers on the first data line and 100000 empty lines: counted by lines, the first
    // protein has 10^8 inputs, so 21 proteins would need 16.8 GB.
    TempDir dir;
    base_setup(dir.path());
    std::string in;
    for (int k = 0; k < 1000; ++k) in += "1 ";
    write_file(dir / "db/p1/in", in + "\n" + std::string(100000, '\n'));
    expect_refused_naming(run_bounded("nntrain", train, dir.path()), "db/p1/in");
}

}  // namespace

namespace {

// Results that cannot be written are failures too: a full disk behind standard output, an
// output file in a directory that does not exist.
TEST(BadOutput, FullDiskAndMissingDirectory) {
    if (!fs::exists("/dev/full")) GTEST_SKIP() << "no /dev/full";
    TempDir dir;
    base_setup(dir.path());
    auto to_full = [&](const std::string& program, std::vector<std::string> args) {
        std::vector<std::string> words = {"-c", "exec \"$0\" \"$@\" > /dev/full", testing_support::bin(program)};
        words.insert(words.end(), args.begin(), args.end());
        return run("/bin/sh", words, dir.path());
    };
    for (const auto& r : {to_full("pairdist", {"-dp", "s.pdb", "-t", "aa.types"}),
                          to_full("depthdist", {"-dp", "d", "-t", "atom.types"}),
                          to_full("nntrain", {"-wf", "w.wei", "-pr1", "p1"})}) {
        EXPECT_EQ(r.status, 2) << r.err;
        EXPECT_EQ(message(r.err).substr(0, 30), "standard output: write failed:") << r.err;
    }
    const auto before = listing(dir.path());
    testing_support::Result r = run("nntrain", with(train, {"-owf", "none/net.wei"}), dir.path());
    EXPECT_EQ(r.status, 2) << r.err;
    EXPECT_EQ(message(r.err).substr(0, 12), "none/net.wei") << r.err;
    EXPECT_EQ(listing(dir.path()), before);
}

}  // namespace

namespace {

// Truncated downloads: real files cut at several places.  Each run either succeeds with the
// whole table or fails with status 1 or 2, one message line and nothing on standard output.
void expect_whole_or_clean_failure(const testing_support::Result& r, std::size_t table_lines) {
    if (r.status == 0) {
        EXPECT_EQ(testing_support::lines_of(r.out).size(), table_lines);
        return;
    }
    EXPECT_TRUE(r.status == 1 || r.status == 2) << r.status << "\n" << r.err;
    EXPECT_TRUE(r.out.empty()) << "output written by a failed run";
    EXPECT_EQ(message_lines(r.err), 1u) << r.err;
}

TEST(Truncated, RealFilesCutAnywhere) {
    TempDir dir;
    base_setup(dir.path());
    const std::string pdb = testing_support::read_file(testing_support::examples("proteins/structures/1vii.pdb"));
    const std::string atoms = testing_support::read_file(testing_support::examples("proteins/depth/1vii-atom.depth"));
    const std::string residues = testing_support::read_file(testing_support::examples("proteins/depth/1vii-residue.depth"));
    ASSERT_EQ(run("nntrain", with(train, {"-owf", "t.wei"}), dir.path()).status, 0);
    const std::string wei = testing_support::read_file(dir / "t.wei");
    for (int k = 1; k <= 12; ++k) {
        SCOPED_TRACE("cut at " + std::to_string(k) + "/13");
        write_file(dir / "cut.pdb", pdb.substr(0, pdb.size() * k / 13));
        expect_whole_or_clean_failure(run("pairdist", {"-dp", "cut.pdb", "-t", "aa.types"}, dir.path()), 9);
        write_file(dir / "cut-atom.depth", atoms.substr(0, atoms.size() * k / 13));
        write_file(dir / "cut-residue.depth", residues);
        expect_whole_or_clean_failure(run("depthdist", {"-dp", "cut", "-t", "atom.types"}, dir.path()), 4);
        write_file(dir / "cut-atom.depth", atoms);
        write_file(dir / "cut-residue.depth", residues.substr(0, residues.size() * k / 13));
        expect_whole_or_clean_failure(run("depthdist", {"-dp", "cut", "-t", "atom.types"}, dir.path()), 4);
        write_file(dir / "cut.wei", wei.substr(0, wei.size() * k / 13));
        testing_support::Result r = run("nntrain", {"-wf", "cut.wei", "-pr1", "p1"}, dir.path());
        EXPECT_NE(r.status, 0) << "a cut weight file was read whole";
        expect_whole_or_clean_failure(r, 0);
        EXPECT_NE(message(r.err).find("cut.wei"), std::string::npos) << r.err;
    }
}

}  // namespace
