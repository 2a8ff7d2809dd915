#include "textio/files.hpp"

#include <cerrno>
#include <climits>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "textio/error.hpp"

namespace textio {

static std::string reason(int err) { return std::strerror(err); }

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
    int fd = ::mkstemp(tmp.data());
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
