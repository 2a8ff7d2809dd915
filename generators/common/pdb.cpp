// PDB columns (see pdb.hpp): structure files, plain or gzip-compressed, and their fields.
#include "generators/common/pdb.hpp"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <string>
#include <vector>
#include <sys/resource.h>
#include <unistd.h>
#include <zlib.h>

#include "textio/error.hpp"
#include "textio/freeform.hpp"
#include "textio/source.hpp"

namespace gen {

namespace {

constexpr std::size_t unlimited = static_cast<std::size_t>(-1);

// The first line of a small file, or "" when it cannot be read.
std::string first_line(const std::string& path) {
    std::string text;
    try {
        textio::read_file(path, text);
    } catch (const textio::Failure&) {
        return {};
    }
    return text.substr(0, text.find('\n'));
}

// A byte count as a limit file holds it: digits, or "max" (none).
std::size_t limit_value(const std::string& text) {
    std::uint64_t v = 0;
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), v);
    if (ec != std::errc() || end != text.data() + text.size()) return unlimited;
    return v > unlimited ? unlimited : static_cast<std::size_t>(v);
}

std::vector<std::string> split(std::string_view s, char sep) {
    std::vector<std::string> parts;
    for (;;) {
        std::size_t at = s.find(sep);
        parts.emplace_back(s.substr(0, at));
        if (at == std::string_view::npos) return parts;
        s.remove_prefix(at + 1);
    }
}

}  // namespace

std::size_t cgroup_memory_limit(const std::string& proc) {
    // The groups of the process: "0::/path" (v2), "N:memory:/path" or "N:cpu,memory:/path" (v1).
    std::string v2path, v1path;
    bool v2 = false, v1 = false;
    std::string text;
    try {
        textio::read_file(proc + "/cgroup", text);
    } catch (const textio::Failure&) {
        return unlimited;
    }
    for (const std::string& line : split(text, '\n')) {
        std::vector<std::string> f = split(line, ':');
        if (f.size() < 3) continue;
        std::string path = line.substr(f[0].size() + f[1].size() + 2);
        if (f[0] == "0" && f[1].empty()) {
            v2 = true;
            v2path = path;
        }
        for (const std::string& c : split(f[1], ','))
            if (c == "memory") {
                v1 = true;
                v1path = path;
            }
    }
    // Where each hierarchy is mounted, and which of its folders the mount shows (mountinfo:
    // id parent dev root mountpoint options [optional...] - type source superoptions).
    try {
        textio::read_file(proc + "/mountinfo", text);
    } catch (const textio::Failure&) {
        return unlimited;
    }
    std::size_t lim = unlimited;
    for (const std::string& line : split(text, '\n')) {
        std::vector<std::string> f = split(line, ' ');
        std::size_t dash = 0;
        while (dash < f.size() && f[dash] != "-") ++dash;
        if (f.size() < 5 || dash + 3 > f.size()) continue;
        const std::string &root = f[3], &mnt = f[4], &type = f[dash + 1];
        std::string path, file;
        if (type == "cgroup2" && v2) {
            path = v2path;
            file = "memory.max";
        } else if (type == "cgroup" && v1) {
            bool memory = false;
            for (const std::string& o : split(f[dash + 3], ',')) memory |= o == "memory";
            if (!memory) continue;
            path = v1path;
            file = "memory.limit_in_bytes";
        } else {
            continue;
        }
        // The group's folder under the mount point, then every folder above it up to the
        // mount point: a limit of a parent group holds for its children too.
        if (root != "/") {
            if (path.compare(0, root.size(), root) != 0 || (path.size() > root.size() && path[root.size()] != '/')) continue;
            path.erase(0, root.size());
        }
        std::string dir = mnt + path;
        while (!dir.empty() && dir.back() == '/') dir.pop_back();
        for (;;) {
            lim = std::min(lim, limit_value(first_line(dir + "/" + file)));
            if (dir.size() <= mnt.size()) break;
            dir.erase(dir.rfind('/'));
        }
    }
    return lim;
}

std::size_t memory_limit() {
    long pages = ::sysconf(_SC_PHYS_PAGES), size = ::sysconf(_SC_PAGESIZE);
    std::size_t lim = pages > 0 && size > 0 ? static_cast<std::size_t>(pages) * static_cast<std::size_t>(size) : unlimited;
    for (int resource : {RLIMIT_AS, RLIMIT_DATA}) {
        struct rlimit rl {};
        if (::getrlimit(resource, &rl) == 0 && rl.rlim_cur != RLIM_INFINITY && rl.rlim_cur < lim)
            lim = static_cast<std::size_t>(rl.rlim_cur);
    }
    return std::min(lim, cgroup_memory_limit("/proc/self"));
}

// The decompressed text of the gzip data z (one or more members, as gzip writes them).
static std::string gunzip(const std::string& path, const std::string& z) {
    z_stream s{};
    if (inflateInit2(&s, 16 + MAX_WBITS) != Z_OK) textio::fail(textio::status_io, path + ": cannot decompress");
    std::string out;
    // The text and the atoms read from it must fit: the text may take a quarter of the memory
    // the process may have.  The buffer grows by hand so that it never holds more than that
    // (a doubling string would ask for twice as much at once).
    const std::size_t lim = memory_limit(), cap = lim / 4;
    s.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(z.data()));
    std::size_t left = z.size();
    char buf[1 << 16];
    int rc = Z_OK;
    for (;;) {
        uInt chunk = static_cast<uInt>(std::min<std::size_t>(left, 1u << 30));
        s.avail_in = chunk;
        s.next_out = reinterpret_cast<Bytef*>(buf);
        s.avail_out = sizeof buf;
        rc = inflate(&s, Z_NO_FLUSH);
        left -= chunk - s.avail_in;
        const std::size_t n = sizeof buf - s.avail_out;
        if (n > cap - out.size()) {
            inflateEnd(&s);
            textio::fail(textio::status_io, path + ": the decompressed structure would not fit in memory (more than " +
                                                std::to_string(cap >> 20) + " MB, a quarter of the " +
                                                std::to_string(lim >> 20) + " MB this process may have)");
        }
        if (out.size() + n > out.capacity()) out.reserve(std::min(cap, std::max(2 * out.capacity(), out.size() + n)));
        out.append(buf, n);
        if (rc == Z_STREAM_END) {
            // Another member may follow (concatenated gzip files decompress to the joined texts).
            if (left == 0) break;
            if (inflateReset(&s) != Z_OK) break;
            continue;
        }
        if (rc == Z_BUF_ERROR && left == 0 && s.avail_out != 0) break;  // cut short
        if (rc != Z_OK && rc != Z_BUF_ERROR) break;
    }
    inflateEnd(&s);
    if (rc != Z_STREAM_END) textio::fail(textio::status_io, path + ": damaged or incomplete gzip data");
    return out;
}

textio::Source open_structure(const std::string& path) {
    textio::Source src = textio::Source::open(path);
    const std::string& t = src.text();
    if (t.size() >= 2 && static_cast<unsigned char>(t[0]) == 0x1f && static_cast<unsigned char>(t[1]) == 0x8b)
        return textio::Source::from_text(path, gunzip(path, t));
    return src;
}

std::string_view cols(std::string_view line, std::size_t from, std::size_t len) {
    if (line.size() < from) return {};
    return line.substr(from - 1, len);
}

bool readf83(std::string_view field, double& v) {
    std::string s;
    for (char c : field)
        if (c != ' ') s += c;
    if (s.empty()) {
        v = 0;
        return true;
    }
    // sign, digits with at most one point, then an exponent: a letter E or D with an
    // optional sign, or a sign alone (1.5+2), followed by digits.
    std::size_t i = 0;
    std::string sign;
    if (s[i] == '+' || s[i] == '-') sign = s[i++] == '-' ? "-" : "";
    std::size_t m0 = i;
    bool point = false;
    while (i < s.size() && ((s[i] >= '0' && s[i] <= '9') || (s[i] == '.' && !point))) point |= s[i++] == '.';
    std::string mant = s.substr(m0, i - m0);
    std::string exp;
    if (i < s.size()) {
        std::size_t e0 = i;
        if (s[i] == 'E' || s[i] == 'e' || s[i] == 'D' || s[i] == 'd') ++i;
        std::string esign;
        if (i < s.size() && (s[i] == '+' || s[i] == '-')) esign = s[i++];
        if (i == e0) return textio::parse_real(s, v);  // NaN, Inf, or not a number at all
        std::size_t d0 = i;
        while (i < s.size() && s[i] >= '0' && s[i] <= '9') ++i;
        if (i == d0 || i != s.size()) return false;
        exp = "e" + esign + s.substr(d0);
    }
    if (mant.find_first_of("0123456789") == std::string::npos) return false;
    if (!point) {
        // The implied decimal point: the text with the point put in reads to the same
        // correctly rounded value as the field scaled by 10^-3.
        if (mant.size() < 4) mant.insert(0, 4 - mant.size(), '0');
        mant.insert(mant.size() - 3, ".");
    }
    return textio::parse_real(sign + mant + exp, v);
}

void readxyz(const textio::Source& src, std::string_view line, double xyz[3], bool whole) {
    static const char* const what[3] = {"x in columns 31-38", "y in columns 39-46", "z in columns 47-54"};
    if (whole && line.size() < 54)
        src.error("the atom line ends at column " + std::to_string(line.size()) +
                  ", before its coordinates end (column 54)");
    for (int c = 0; c < 3; ++c) {
        std::string_view f = cols(line, 31 + 8 * static_cast<std::size_t>(c), 8);
        if (whole && f.find_first_not_of(' ') == std::string_view::npos)
            src.error("expected a number for " + std::string(what[c]) + ", found a blank field");
        if (!readf83(f, xyz[c]))
            src.error("expected a number for " + std::string(what[c]) + ", found " + textio::shown(f));
        // NaN and infinities read as numbers elsewhere, but no atom lies there; a distance
        // or depth computed from one would be nonsense.
        if (!std::isfinite(xyz[c]))
            src.error("expected a finite number for " + std::string(what[c]) + ", found " + textio::shown(f));
    }
}

}  // namespace gen
