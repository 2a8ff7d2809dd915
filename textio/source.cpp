#include "textio/source.hpp"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "textio/error.hpp"

namespace textio {

static std::string system_error(const std::string& path, const char* what, int err) {
    return path + ": " + what + ": " + std::strerror(err);
}

void read_file(const std::string& path, std::string& data) {
    // The system would open the name cut at the NUL byte: another file than the one named.
    if (path.find('\0') != std::string::npos) fail(status_io, shown(path) + ": cannot open: the name holds a NUL byte");
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) fail(status_io, system_error(path, "cannot open", errno));
    struct stat st {};
    if (::fstat(fd, &st) != 0) {
        int err = errno;
        ::close(fd);
        fail(status_io, system_error(path, "cannot read", err));
    }
    if (S_ISDIR(st.st_mode)) {
        ::close(fd);
        fail(status_io, path + ": cannot read: Is a directory");
    }
    // Read straight into the buffer: the size of a regular file (plus one byte, to see its end
    // in the same read), grown in steps for pipes and for files that grow meanwhile.
    std::size_t want = S_ISREG(st.st_mode) && st.st_size > 0 ? static_cast<std::size_t>(st.st_size) + 1 : 1 << 16;
    std::size_t have = 0;
    data.resize(want);
    for (;;) {
        if (have == data.size()) data.resize(data.size() * 2);
        ssize_t n = ::read(fd, data.data() + have, data.size() - have);
        if (n == 0) break;
        if (n < 0) {
            if (errno == EINTR) continue;
            int err = errno;
            ::close(fd);
            fail(status_io, system_error(path, "cannot read", err));
        }
        have += static_cast<std::size_t>(n);
    }
    ::close(fd);
    data.resize(have);
}

Source Source::open(const std::string& path) {
    std::string data;
    read_file(path, data);
    // A UTF-8 byte-order mark, as some editors on Windows save it, is not part of the text:
    // such a file reads exactly like the same file without it.
    if (data.compare(0, 3, "\xef\xbb\xbf") == 0) data.erase(0, 3);
    return Source(path, std::move(data));
}

Source Source::from_text(std::string name, std::string text) { return Source(std::move(name), std::move(text)); }

Source Source::from_word(std::string name, std::string word) {
    return Source(std::move(name), std::move(word), false);
}

bool Source::next_line(std::string_view& line) {
    if (pos_ >= data_.size()) {
        line = {};
        return false;
    }
    const char* begin = data_.data() + pos_;
    std::size_t left = data_.size() - pos_;
    const void* nl = std::memchr(begin, '\n', left);
    std::size_t len = nl ? static_cast<std::size_t>(static_cast<const char*>(nl) - begin) : left;
    pos_ += nl ? len + 1 : len;
    if (len > 0 && begin[len - 1] == '\r') --len;
    line = std::string_view(begin, len);
    ++line_no_;
    return true;
}

std::string Source::where() const {
    if (line_no_ == 0 || !numbered_) return name_;
    return name_ + ":" + std::to_string(line_no_);
}

void Source::error(const std::string& what) const { fail(status_io, where() + ": " + what); }

void Source::eof_error(const std::string& expected) const {
    if (!numbered_) fail(status_io, name_ + ": expected " + expected + ", found nothing");
    if (line_no_ == 0) fail(status_io, name_ + ": unexpected end of file (the file is empty), expected " + expected);
    fail(status_io, name_ + ": unexpected end of file after line " + std::to_string(line_no_) + ", expected " + expected);
}

std::string shown(std::string_view text) {
    std::string out = "'";
    std::size_t n = 0;
    for (unsigned char c : text) {
        if (++n > 40) {
            out += "...";
            break;
        }
        if (c < 0x20 || c >= 0x7f) {  // also bytes of other encodings, such as a byte-order mark
            static const char hex[] = "0123456789abcdef";
            out += "\\x";
            out += hex[c >> 4];
            out += hex[c & 15];
        } else {
            out += static_cast<char>(c);
        }
    }
    return out + "'";
}

}  // namespace textio
