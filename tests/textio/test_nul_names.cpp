// A file name read from a file may hold a NUL byte; the system would open the name cut at it.
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
