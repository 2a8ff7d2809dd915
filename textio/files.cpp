#include "textio/files.hpp"

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "textio/error.hpp"

namespace textio {

static std::string reason(int err) { return std::strerror(err); }

namespace {

// The signals that end a process by default and can be caught.
constexpr int fatal_signals[] = {SIGHUP,  SIGINT,  SIGQUIT, SIGILL,  SIGTRAP, SIGABRT,   SIGBUS,  SIGFPE,
                                 SIGUSR1, SIGSEGV, SIGUSR2, SIGPIPE, SIGALRM, SIGTERM,   SIGXCPU, SIGXFSZ,
                                 SIGVTALRM, SIGPROF, SIGSYS};
constexpr int nfatal = sizeof fatal_signals / sizeof fatal_signals[0];

// The temporary file of the write in progress, for the signal handler.
volatile std::sig_atomic_t tmp_armed = 0;
const char* tmp_path = nullptr;

extern "C" void remove_tmp_and_end(int sig) {
    if (tmp_armed) ::unlink(tmp_path);
    ::signal(sig, SIG_DFL);  // then the signal does what it would have done
    ::raise(sig);
}

// While it lives, a signal that would end the process first removes the temporary file.  Only
// signals left at their default action are taken over: an ignored one stays ignored, and one
// the program handles itself (a training's stop request) lets the write finish.
class TmpGuard {
public:
    TmpGuard() {
        struct sigaction act {};
        act.sa_handler = remove_tmp_and_end;
        sigemptyset(&act.sa_mask);
        sigemptyset(&set_);
        for (int k = 0; k < nfatal; ++k) {
            taken_[k] = false;
            if (sigaction(fatal_signals[k], nullptr, &old_[k]) != 0 || old_[k].sa_handler != SIG_DFL) continue;
            taken_[k] = sigaction(fatal_signals[k], &act, nullptr) == 0;
            sigaddset(&set_, fatal_signals[k]);
        }
    }
    // Creates the file from template tmpl with the signals held back, so that no signal falls
    // between its creation and the moment the handler knows it.
    int create(std::string& tmpl) {
        sigset_t before;
        sigprocmask(SIG_BLOCK, &set_, &before);
        int fd = ::mkstemp(tmpl.data());
        if (fd >= 0) {
            tmp_path = tmpl.c_str();
            tmp_armed = 1;
        }
        sigprocmask(SIG_SETMASK, &before, nullptr);
        return fd;
    }
    ~TmpGuard() {
        sigset_t before;
        sigprocmask(SIG_BLOCK, &set_, &before);
        tmp_armed = 0;
        for (int k = 0; k < nfatal; ++k)
            if (taken_[k]) sigaction(fatal_signals[k], &old_[k], nullptr);
        sigprocmask(SIG_SETMASK, &before, nullptr);
    }
    TmpGuard(const TmpGuard&) = delete;
    TmpGuard& operator=(const TmpGuard&) = delete;

private:
    struct sigaction old_[nfatal];
    bool taken_[nfatal];
    sigset_t set_;
};

}  // namespace

NewFile::NewFile(const std::string& path) : path_(path) {
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd < 0) fail(status_io, path + ": cannot create: " + reason(errno));
    f_ = ::fdopen(fd, "w");
    if (!f_) {
        int err = errno;
        ::close(fd);
        fail(status_io, path + ": cannot create: " + reason(err));
    }
}

NewFile::~NewFile() {
    if (f_) std::fclose(f_);
}

void NewFile::line(std::string_view text) {
    std::fwrite(text.data(), 1, text.size(), f_);
    std::fputc('\n', f_);
    if (std::fflush(f_) != 0) fail(status_io, path_ + ": write failed: " + reason(errno));
}

void NewFile::close() {
    if (!f_) return;
    bool bad = std::ferror(f_) != 0;
    int rc = std::fclose(f_);
    f_ = nullptr;
    if (bad || rc != 0) fail(status_io, path_ + ": write failed: " + reason(errno));
}

void write_new_file(const std::string& path, std::string_view content) {
    std::string dir = ".";
    std::size_t slash = path.rfind('/');
    if (slash != std::string::npos) dir = slash == 0 ? "/" : path.substr(0, slash);
    std::string tmpl = dir + "/.tmp-XXXXXX";
    std::string tmp(tmpl);
    TmpGuard guard;  // the temporary file never outlives the process, whatever signal ends it
    int fd = guard.create(tmp);
    if (fd < 0) fail(status_io, path + ": cannot create: " + reason(errno));
    auto give_up = [&](int err) {
        ::close(fd);
        ::unlink(tmp.c_str());
        fail(status_io, path + ": cannot write: " + reason(err));
    };
    const char* p = content.data();
    std::size_t left = content.size();
    while (left > 0) {
        ssize_t n = ::write(fd, p, left);
        if (n < 0) {
            if (errno == EINTR) continue;
            give_up(errno);
        }
        p += n;
        left -= static_cast<std::size_t>(n);
    }
    // mkstemp makes the file private; give it the mode an ordinary new file gets.
    mode_t mask = ::umask(0);
    ::umask(mask);
    if (::fchmod(fd, 0666 & ~mask) != 0) give_up(errno);
    if (::close(fd) != 0) {
        int err = errno;
        ::unlink(tmp.c_str());
        fail(status_io, path + ": cannot write: " + reason(err));
    }
    if (::link(tmp.c_str(), path.c_str()) != 0) {
        int err = errno;
        ::unlink(tmp.c_str());
        fail(status_io, path + ": cannot create: " + reason(err));
    }
    ::unlink(tmp.c_str());
}

void out(std::string_view text) { std::fwrite(text.data(), 1, text.size(), stdout); }

std::string program_dir() {
    char buf[PATH_MAX];
    ssize_t n = ::readlink("/proc/self/exe", buf, sizeof buf - 1);
    if (n <= 0) return {};
    std::string p(buf, static_cast<std::size_t>(n));
    std::size_t slash = p.rfind('/');
    return slash == std::string::npos ? std::string() : p.substr(0, slash);
}

}  // namespace textio
