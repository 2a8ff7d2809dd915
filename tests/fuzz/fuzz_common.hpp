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
// Sends standard output to /dev/null: the programs' results are not looked at.
void quiet_stdout();

}  // namespace fuzzing
