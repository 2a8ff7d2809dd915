#include "textio/error.hpp"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <new>

namespace textio {

void fail(int status, std::string message) { throw Failure(status, std::move(message)); }

static void say(const std::string& line) {
    if (line.empty()) return;
    std::fputs(line.c_str(), stderr);
    std::fputc('\n', stderr);
}

int run_main(const std::function<void()>& body) {
    int status = status_ok;
    try {
        body();
    } catch (const Failure& f) {
        status = f.status();
        std::fflush(stdout);
        say(f.what());
    } catch (const std::bad_alloc&) {
        std::fflush(stdout);
        say("Allocation would exceed memory limit");
        status = status_io;
    } catch (const std::length_error&) {
        std::fflush(stdout);
        say("Integer overflow when calculating the amount of memory to allocate");
        status = status_io;
    }
    if (std::fflush(stdout) != 0 || std::ferror(stdout)) {
        say(std::string("standard output: write failed: ") + std::strerror(errno));
        if (status == status_ok) status = status_io;
    }
    return status;
}

}  // namespace textio
