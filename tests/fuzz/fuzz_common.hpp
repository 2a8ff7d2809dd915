// Shared pieces of the fuzz targets: a scratch directory per process (removed at exit),
// writing the files of one input there, and splitting one input into several files.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace fuzzing {

// The directory of this process's scratch files, made at the first call.
const std::string& scratch();
// Writes content to scratch()/rel, replacing an earlier version.
std::string put(const std::string& rel, std::string_view content);
// Splits an input into at most n parts at the separator line "\n===\n"; missing parts are empty.
std::vector<std::string_view> parts(const std::uint8_t* data, std::size_t size, std::size_t n);
// A broken promise of the code under test: reports what (through the sanitizer's report
// channel, which survives libFuzzer's -close_fd_mask) and aborts, so the input is kept.
[[noreturn]] void broken(const std::string& what, const std::string& detail);
// A database directory under scratch() for the trainer's targets: proteins p1 ... p25, each
// with the data files "in", "in2", "out", "out2" and "kelta.dgn" as links to the files
// in_a (odd proteins) or in_b (even ones), in_a, out, in_b and dgn of scratch(), which a
// target writes for each input.  Returns the directory's path.
const std::string& database();
// True when a text that becomes part of a path could lead out of scratch() ("..").
bool leaves_scratch(std::string_view text);
// Checks a refusal (textio::Failure): status 1 or 2 and a message; with PROTNN_FUZZ_VERBOSE
// set in the environment, also writes the message to standard error.
void refused(int status, const char* message);
// Sends standard output to /dev/null: the programs' results are not looked at.
void quiet_stdout();

}  // namespace fuzzing
