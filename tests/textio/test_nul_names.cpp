// Names and offending texts in messages: a file name read from a file may hold a NUL byte (the
// system would open the name cut at it); bytes that a terminal does not show are written as \xNN.
#include <gtest/gtest.h>

#include <string>

#include "tests/support/run.hpp"
#include "textio/error.hpp"
#include "textio/source.hpp"

TEST(SourceOpen, NameWithNulByteIsRefusedVisibly) {
    testing_support::TempDir dir;
    testing_support::write_file(dir / "in", "1 2 3\n");
    std::string name = dir / "in";
    name += std::string("\0junk", 5);  // the part before the NUL names an existing file
    try {
        textio::Source::open(name);
        FAIL() << "opened a name with a NUL byte";
    } catch (const textio::Failure& f) {
        EXPECT_EQ(f.status(), textio::status_io);
        std::string msg = f.what();
        EXPECT_NE(msg.find("\\x00junk"), std::string::npos) << msg;  // shown, not cut
        EXPECT_EQ(msg.find('\0'), std::string::npos);
    }
}

// A number read from a file saved with a byte-order mark: the message shows the invisible
// bytes instead of "found '1'".
TEST(SourceMessages, OffendingTextShowsBytesOutsideAscii) {
    EXPECT_EQ(textio::shown("\xef\xbb\xbf" "1"), "'\\xef\\xbb\\xbf1'");
    EXPECT_EQ(textio::shown(std::string("a\0b\x7f", 4)), "'a\\x00b\\x7f'");
    EXPECT_EQ(textio::shown("A:12 O5'"), "'A:12 O5''");
}

// A file saved with a UTF-8 byte-order mark reads exactly like the same file without it.
TEST(SourceOpen, LeadingByteOrderMarkIsDropped) {
    testing_support::TempDir dir;
    testing_support::write_file(dir / "bom", "\xef\xbb\xbf" "ALA\nGLY\n");
    textio::Source s = textio::Source::open(dir / "bom");
    std::string_view line;
    ASSERT_TRUE(s.next_line(line));
    EXPECT_EQ(line, "ALA");
}
