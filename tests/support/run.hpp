// Test helpers: run a program of the build as a user would and capture what it says.
#pragma once

#include <functional>
#include <string>
#include <vector>

namespace testing_support {

struct Result {
    int status = -1;  // exit status; 128 + signal number when killed by a signal
    std::string out;  // standard output
    std::string err;  // standard error
};

// Runs program (a name in the build's bin directory, or a path) with args in directory dir
// (empty: the current directory), with input on standard input.
Result run(const std::string& program, const std::vector<std::string>& args, const std::string& dir = "",
           const std::string& input = "");

// As run, and calls meanwhile(pid) while the program runs (to send it a signal, say).
Result run_meanwhile(const std::string& program, const std::vector<std::string>& args, const std::string& dir,
                     const std::function<void(int pid)>& meanwhile, const std::string& input = "");

// The path of a program of the build, and the examples directory of the source tree.
std::string bin(const std::string& program);
std::string examples(const std::string& rel = "");
// The rows of the example proteins' manifest (examples/proteins/manifest.tsv) after its
// header line, each split at its tabs (a row ending in a tab has an empty last field).
std::vector<std::vector<std::string>> manifest();

// A fresh temporary directory, removed with its contents when the object goes.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& path() const { return path_; }
    std::string operator/(const std::string& rel) const { return path_ + "/" + rel; }

private:
    std::string path_;
};

std::string read_file(const std::string& path);
void write_file(const std::string& path, const std::string& text);
bool exists(const std::string& path);
std::vector<std::string> lines_of(const std::string& text);

}  // namespace testing_support
