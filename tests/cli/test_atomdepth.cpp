// atomdepth on the real example structures: the 40 shipped depth-file pairs are reproduced
// line for line, depthdist gives the same tables on them, and a gzip-compressed structure
// (recognised by its bytes, not its name) gives the same files.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "tests/support/run.hpp"

namespace {

using namespace testing_support;
namespace fs = std::filesystem;

// Lines equal, or equal but for a last-digit step of one of the three-decimal values (a
// value that lay within rounding of a .0005 boundary, summed in another order).
bool same_but_last_digit(const std::string& a, const std::string& b) {
    if (a.size() != b.size()) return false;
    std::size_t diff = 0;
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (a[i] == b[i]) continue;
        // The differing character must be the last digit of a word (at most the depth and
        // its spread, or the mean and spread of a residue).
        const bool last = i + 1 == a.size() || a[i + 1] == ' ';
        if (++diff > 2 || !last) return false;
    }
    return true;
}

TEST(Atomdepth, ReproducesEveryShippedDepthFileAndItsDepthdistTable) {
    TempDir dir;
    std::vector<std::string> samples;
    for (const auto& e : fs::directory_iterator(examples("proteins/structures")))
        samples.push_back(e.path().stem().string());
    ASSERT_EQ(samples.size(), 40u);
    std::size_t lines = 0, last_digit = 0;
    for (const std::string& s : samples) {
        SCOPED_TRACE(s);
        Result r = run("atomdepth", {"-dp", examples("proteins/structures/" + s + ".pdb"), "-o", dir / s});
        ASSERT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err, "");
        for (const char* kind : {"-residue.depth", "-atom.depth"}) {
            const auto ours = lines_of(read_file(dir / (s + kind)));
            const auto shipped = lines_of(read_file(examples("proteins/depth/" + s + kind)));
            ASSERT_EQ(ours.size(), shipped.size()) << kind;
            for (std::size_t i = 0; i < ours.size(); ++i) {
                ++lines;
                if (ours[i] == shipped[i]) continue;
                ++last_digit;
                EXPECT_TRUE(same_but_last_digit(ours[i], shipped[i])) << kind << ":" << i + 1 << "\n"
                                                                      << ours[i] << "\n" << shipped[i];
            }
        }
        Result a = run("depthdist", {"-dp", dir / s});
        Result b = run("depthdist", {"-dp", examples("proteins/depth/" + s)});
        ASSERT_EQ(a.status, 0) << a.err;
        EXPECT_EQ(a.out, b.out);
    }
    // Every line identical on this machine; a few last-digit steps are allowed elsewhere.
    std::cout << "atomdepth: " << lines << " lines, " << last_digit << " differ in the last digit\n";
    EXPECT_LE(last_digit * 1000, lines);
}

TEST(Atomdepth, GzipIsReadByItsBytesAndOutputsAreNeverReplaced) {
    TempDir dir;
    const std::string pdb = examples("proteins/structures/1vii.pdb");
    Result z = run("/bin/sh", {"-c", "gzip -c \"$0\" > \"$1\"", pdb, dir / "plain.name"});
    ASSERT_EQ(z.status, 0) << z.err;
    Result a = run("atomdepth", {"-dp", dir / "plain.name", "-o", dir / "z"});
    ASSERT_EQ(a.status, 0) << a.err;
    for (const char* kind : {"-residue.depth", "-atom.depth"})
        EXPECT_EQ(read_file(dir / ("z" + std::string(kind))), read_file(examples("proteins/depth/1vii" + std::string(kind))));
    // A second run to the same base is refused and leaves both files as they were.
    const std::string before = read_file(dir / "z-atom.depth");
    Result again = run("atomdepth", {"-dp", pdb, "-o", dir / "z", "-ne", "1"});
    EXPECT_EQ(again.status, 2);
    EXPECT_NE(again.err.find("File exists"), std::string::npos) << again.err;
    EXPECT_EQ(read_file(dir / "z-atom.depth"), before);
    std::size_t entries = 0;
    for ([[maybe_unused]] const auto& e : fs::directory_iterator(dir.path())) ++entries;
    EXPECT_EQ(entries, 3u);  // plain.name and the two depth files: no temporary file left
}

// The settings change the result the way they should: one estimate has no spread, and with a
// larger probe no atom is shallower than its radius and some lie deeper.
TEST(Atomdepth, SettingsChangeTheEstimates) {
    TempDir dir;
    const std::string pdb = examples("proteins/structures/1vii.pdb");
    ASSERT_EQ(run("atomdepth", {"-dp", pdb, "-o", dir / "one", "-ne", "1"}).status, 0);
    ASSERT_EQ(run("atomdepth", {"-dp", pdb, "-o", dir / "big", "-pr", "3", "-np", "200"}).status, 0);
    const auto one = lines_of(read_file(dir / "one-atom.depth"));
    const auto big = lines_of(read_file(dir / "big-atom.depth"));
    const auto ref = lines_of(read_file(examples("proteins/depth/1vii-atom.depth")));
    ASSERT_EQ(one.size(), ref.size());
    ASSERT_EQ(big.size(), ref.size());
    std::size_t deeper = 0;
    for (std::size_t i = 1; i < one.size(); ++i) {
        EXPECT_EQ(one[i].substr(one[i].rfind(' ')), " 0.000") << one[i];
        double b = std::stod(big[i].substr(big[i].rfind(' ', big[i].rfind(' ') - 1)));
        double r = std::stod(ref[i].substr(ref[i].rfind(' ', ref[i].rfind(' ') - 1)));
        EXPECT_GE(b, 1.39) << big[i];
        deeper += b > r;
    }
    EXPECT_GT(deeper, 0u);  // a larger probe reaches less far into the grooves: some atoms lie deeper
}

}  // namespace
