#include "textio/files.hpp"

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "textio/error.hpp"

namespace textio {

static std::string reason(int err) { return std::strerror(err); }

namespace {

// The signals that end a process by default and can be caught.
constexpr int fatal_signals[] = {SIGHUP,  SIGINT,  SIGQUIT, SIGILL,  SIGTRAP, SIGABRT,   SIGBUS,  SIGFPE,
                                 SIGUSR1, SIGSEGV, SIGUSR2, SIGPIPE, SIGALRM, SIGTERM,   SIGXCPU, SIGXFSZ,
                                 SIGVTALRM, SIGPROF, SIGSYS};
constexpr int nfatal = sizeof fatal_signals / sizeof fatal_signals[0];

// The names that a signal ending the process must remove: the temporary files of the write
// in progress and the new files it has already linked, for the signal handler.
constexpr int maxarmed = 16;
const char* armed[maxarmed];
volatile std::sig_atomic_t narmed = 0;

extern "C" void remove_armed_and_end(int sig) {
    for (int k = 0; k < narmed; ++k) ::unlink(armed[k]);
    ::signal(sig, SIG_DFL);  // then the signal does what it would have done
    ::raise(sig);
}

// While it lives, a signal that would end the process first removes the names armed.  Only
// signals left at their default action are taken over: an ignored one stays ignored, and one
// the program handles itself (a training's stop request) lets the write finish.  Every change
// of the armed names is made with those signals held back, so that no signal falls between
// the creation of a file and the moment the handler knows it.
class Guard {
public:
    Guard() {
        names_.reserve(maxarmed);  // never moved: the handler holds pointers into them
        struct sigaction act {};
        act.sa_handler = remove_armed_and_end;
        sigemptyset(&act.sa_mask);
        sigemptyset(&set_);
        for (int k = 0; k < nfatal; ++k) {
            taken_[k] = false;
            if (sigaction(fatal_signals[k], nullptr, &old_[k]) != 0 || old_[k].sa_handler != SIG_DFL) continue;
            taken_[k] = sigaction(fatal_signals[k], &act, nullptr) == 0;
            sigaddset(&set_, fatal_signals[k]);
        }
    }
    // Creates a temporary file from template tmpl (see mkstemp) and arms its name.
    int create(std::string& tmpl) {
        Held held(set_);
        int fd = ::mkstemp(tmpl.data());
        if (fd >= 0) arm(tmpl, true);
        return fd;
    }
    // Links path to the file tmp (link() refuses an existing path) and arms path.
    bool link(const std::string& tmp, const std::string& path) {
        Held held(set_);
        if (::link(tmp.c_str(), path.c_str()) != 0) return false;
        arm(path, false);
        return true;
    }
    // Removes every name armed (the write failed), or only the temporary ones (it is done).
    void remove_all() { remove(true); }
    void remove_temporaries() { remove(false); }
    // Whatever is still armed belongs to a write that did not finish (an exception on its way
    // out): it goes too.
    ~Guard() {
        remove(true);
        Held held(set_);
        for (int k = 0; k < nfatal; ++k)
            if (taken_[k]) sigaction(fatal_signals[k], &old_[k], nullptr);
    }
    Guard(const Guard&) = delete;
    Guard& operator=(const Guard&) = delete;

private:
    // The signals of set held back while it lives.
    struct Held {
        explicit Held(const sigset_t& set) { sigprocmask(SIG_BLOCK, &set, &before); }
        ~Held() { sigprocmask(SIG_SETMASK, &before, nullptr); }
        sigset_t before;
    };
    void arm(const std::string& name, bool temporary) {
        names_.push_back(name);
        temporary_.push_back(temporary);
        armed[narmed] = names_.back().c_str();
        narmed = narmed + 1;
    }
    void remove(bool all) {
        Held held(set_);
        for (std::size_t k = 0; k < names_.size(); ++k)
            if (all || temporary_[k]) ::unlink(names_[k].c_str());
        names_.clear();
        temporary_.clear();
        narmed = 0;
    }
    std::vector<std::string> names_;  // the names armed, in order
    std::vector<bool> temporary_;     // temporary_[k]: names_[k] is a temporary file
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

void write_new_files(const std::vector<std::pair<std::string, std::string_view>>& files) {
    if (2 * files.size() > maxarmed) fail(status_io, "more files in one write than can be kept whole");
    Guard guard;  // no temporary file outlives the process, nor one file of the set without the others
    std::vector<std::string> tmps;
    for (const auto& file : files) {
        // Named references, not a structured binding: clang 14 cannot capture one in a lambda.
        const std::string& path = file.first;
        const std::string_view content = file.second;
        std::string dir = ".";
        std::size_t slash = path.rfind('/');
        if (slash != std::string::npos) dir = slash == 0 ? "/" : path.substr(0, slash);
        std::string tmp = dir + "/.tmp-XXXXXX";
        int fd = guard.create(tmp);
        if (fd < 0) {
            int err = errno;
            guard.remove_all();
            fail(status_io, path + ": cannot create: " + reason(err));
        }
        tmps.push_back(tmp);
        auto give_up = [&](int err) {
            ::close(fd);
            guard.remove_all();
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
            guard.remove_all();
            fail(status_io, path + ": cannot write: " + reason(err));
        }
    }
    // Every file is written; now the names appear, and go again when one cannot.
    for (std::size_t k = 0; k < files.size(); ++k) {
        if (!guard.link(tmps[k], files[k].first)) {
            int err = errno;
            guard.remove_all();
            fail(status_io, files[k].first + ": cannot create: " + reason(err));
        }
    }
    guard.remove_temporaries();
}

void write_new_file(const std::string& path, std::string_view content) { write_new_files({{path, content}}); }

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
