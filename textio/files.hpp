// Output files.  Every file a program writes is created as a new file: an existing file of
// that name is never opened for writing, truncated or replaced.
#pragma once

#include <cstdio>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace textio {

// An output file created exclusively (O_EXCL); Failure (status 2) naming the file when it
// exists or cannot be created.  Lines written through line() are flushed at once, so a
// reader following the file (tail -f) sees each line when it is complete.
class NewFile {
public:
    explicit NewFile(const std::string& path);
    ~NewFile();
    NewFile(const NewFile&) = delete;
    NewFile& operator=(const NewFile&) = delete;

    void line(std::string_view text);  // writes text and a line feed, then flushes
    void close();                      // Failure (status 2) when a write failed
    const std::string& path() const { return path_; }

private:
    std::string path_;
    std::FILE* f_ = nullptr;
};

// Writes content to a new file that appears complete or not at all: the text goes to a
// temporary file in the same directory, which is then linked to path (link() refuses an
// existing path) and removed.  Failure (status 2) naming path when it exists or cannot be
// written; the temporary file never stays behind, not even when a signal ends the process
// during the write (SIGKILL aside): a signal left at its default action removes it first.
void write_new_file(const std::string& path, std::string_view content);

// Writes several new files (path, content) that appear all or none: each is written to a
// temporary file, then all are linked to their names, and when one name cannot be made the
// names already linked are removed again.  A signal that ends the process (SIGKILL aside)
// removes the temporary files and the names linked so far, so a set is never left in part.
// Failure (status 2) as write_new_file, naming the file.  At most 8 files.
void write_new_files(const std::vector<std::pair<std::string, std::string_view>>& files);

// Writes text to standard output (buffered; run_main flushes and checks it).
void out(std::string_view text);

// The directory that holds the running program (from /proc/self/exe), without a trailing
// slash; empty when it cannot be found.
std::string program_dir();

}  // namespace textio
