// Error stops shared by all three programs.
//
// Every refusal, of the program's own or of the reader, throws one exception type that
// carries the message line and the exit status; each program's main() catches it in
// run_main(), flushes standard output, writes the message (if any) as one line to standard
// error and returns the status.  Nothing calls exit() deep inside, so every routine can be
// run in-process by the tests.
//
// Exit statuses: 0 normal stop (help, --version, end of run), 1 a stop of the program's own
// (its message texts), 2 a file that cannot be opened, read or created, a value that is not
// a number, or memory that cannot be had; 128 + N a run that stopped itself on signal N (an
// interrupted training, which still writes its results).
#pragma once

#include <functional>
#include <stdexcept>
#include <string>

namespace textio {

enum : int { status_ok = 0, status_stop = 1, status_io = 2 };

class Failure : public std::runtime_error {
public:
    Failure(int status, std::string message) : std::runtime_error(std::move(message)), status_(status) {}
    int status() const { return status_; }

private:
    int status_;
};

// Throws Failure(status, message).  A status of 0 with an empty message is a silent normal stop.
[[noreturn]] void fail(int status, std::string message);

// Normal stop: exit status 0, nothing more written.
[[noreturn]] inline void stop_normally() { fail(status_ok, ""); }

// Runs body() and turns the outcome into an exit status: 0 when it returns; a Failure's status
// and message; "Allocation would exceed memory limit" (status 2) when memory runs out.  Always
// flushes standard output and reports a failed write of it (a full disk is an error).
int run_main(const std::function<void()>& body);

}  // namespace textio
