// A text file (or a text held in memory) read line by line.
//
// The whole file is read into memory at open, so every later step parses from a pointer and
// a length without further system calls or allocations.  A leading UTF-8 byte-order mark is
// dropped.  A line is the text up to a line
// feed; a carriage return just before the line end is dropped, so files saved with CRLF
// ends read exactly like files with LF ends.  A last line without a line end counts.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace textio {

class Source {
public:
    // Reads the whole file.  Failure (status 2) naming the file when it cannot be opened or
    // read, or is a directory, or its name holds a NUL byte (a name read from a file).
    static Source open(const std::string& path);
    // A text held in memory (a command-line word, a test input).  name is used in messages.
    static Source from_text(std::string name, std::string text);
    // A single word (a command-line value): messages name it without line numbers.
    static Source from_word(std::string name, std::string word);

    // The next line, without its end.  False at the end of the text; line is then empty.
    bool next_line(std::string_view& line);
    // Back to the first line.
    void rewind() { pos_ = 0; line_no_ = 0; }
    bool at_end() const { return pos_ >= data_.size(); }
    const std::string& name() const { return name_; }
    // The whole text as read, a leading byte-order mark already dropped (for a reader that
    // looks at its bytes first, such as the structure reader's gzip test).
    const std::string& text() const { return data_; }
    // Number of the line last returned by next_line (0 before the first).
    std::int64_t line_no() const { return line_no_; }
    // "name:line" for messages (just "name" before the first line).
    std::string where() const;
    // Failure (status 2) "name:line: what".
    [[noreturn]] void error(const std::string& what) const;
    // Failure (status 2) for a file that ended where more was needed.
    [[noreturn]] void eof_error(const std::string& expected) const;

private:
    Source(std::string name, std::string data, bool numbered = true)
        : name_(std::move(name)), data_(std::move(data)), numbered_(numbered) {}
    std::string name_;
    std::string data_;
    std::size_t pos_ = 0;
    std::int64_t line_no_ = 0;
    bool numbered_ = true;
};

// Reads the whole file at path into text (its old content replaced, its capacity reused, so a
// loader that reads many files keeps one buffer).  Fails (status 2) as Source::open does.  A
// leading byte-order mark is kept: the caller decides (Source::open drops it).
void read_file(const std::string& path, std::string& text);

// Quotes an offending text for a message: at most 40 characters, control bytes and bytes
// above 0x7e as \xNN (so an invisible byte-order mark or a stray Latin-1 byte shows).
std::string shown(std::string_view text);

}  // namespace textio
