#include "tests/fuzz/fuzz_common.hpp"

#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <stdexcept>
#include <unistd.h>

// Present in sanitizer builds only; the replay of a plain build writes to standard error.
extern "C" __attribute__((weak)) void __sanitizer_report_error_summary(const char* summary);

namespace fuzzing {

namespace {
std::string dir;
void remove_scratch() {
    std::error_code ec;
    if (!dir.empty()) std::filesystem::remove_all(dir, ec);
}
}  // namespace

const std::string& scratch() {
    if (dir.empty()) {
        std::string tmpl = (std::filesystem::temp_directory_path() / "protnn-fuzz-XXXXXX").string();
        if (!mkdtemp(tmpl.data())) throw std::runtime_error("cannot make a scratch directory");
        dir = tmpl;
        std::atexit(remove_scratch);
    }
    return dir;
}

std::string put(const std::string& rel, std::string_view content) {
    std::string path = scratch() + "/" + rel;
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) throw std::runtime_error("cannot write " + path);
    std::size_t done = 0;
    while (done < content.size()) {
        ssize_t n = ::write(fd, content.data() + done, content.size() - done);
        if (n <= 0) throw std::runtime_error("cannot write " + path);
        done += static_cast<std::size_t>(n);
    }
    ::close(fd);
    return path;
}

std::vector<std::string_view> parts(const std::uint8_t* data, std::size_t size, std::size_t n) {
    std::string_view all(reinterpret_cast<const char*>(data), size);
    static constexpr std::string_view sep = "\n===\n";
    std::vector<std::string_view> out;
    while (out.size() + 1 < n) {
        std::size_t at = all.find(sep);
        if (at == std::string_view::npos) break;
        out.push_back(all.substr(0, at + 1));  // the part keeps its last line end
        all.remove_prefix(at + sep.size());
    }
    out.push_back(all);
    out.resize(n);
    return out;
}

const std::string& database() {
    static std::string db;
    if (db.empty()) {
        namespace fs = std::filesystem;
        fs::path root = fs::path(scratch()) / "db";
        for (int p = 1; p <= 25; ++p) {
            fs::path dir = root / ("p" + std::to_string(p));
            fs::create_directories(dir);
            fs::create_symlink(p % 2 ? "../../in_a" : "../../in_b", dir / "in");
            fs::create_symlink("../../in_a", dir / "in2");
            fs::create_symlink("../../out", dir / "out");
            fs::create_symlink("../../in_b", dir / "out2");
            fs::create_symlink("../../dgn", dir / "kelta.dgn");
        }
        db = root.string();
    }
    return db;
}

bool leaves_scratch(std::string_view text) { return text.find("..") != std::string_view::npos; }

void broken(const std::string& what, const std::string& detail) {
    std::string line = what + ": " + detail.substr(0, 300);
    for (char& c : line)
        if (static_cast<unsigned char>(c) < 0x20) c = '?';
    if (__sanitizer_report_error_summary)
        __sanitizer_report_error_summary(line.c_str());
    else
        std::fprintf(stderr, "%s\n", line.c_str());
    std::abort();
}

void refused(int status, const char* message) {
    static const bool verbose = std::getenv("PROTNN_FUZZ_VERBOSE") != nullptr;
    if (verbose) std::fprintf(stderr, "refused (status %d): %s\n", status, message);
    if (status != 1 && status != 2) broken("refusal with an unexpected status", std::to_string(status) + " " + message);
    if (message[0] == '\0') broken("refusal without a message", "status " + std::to_string(status));
}

void quiet_stdout() {
    std::fflush(stdout);
    int fd = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
    if (fd >= 0) {
        ::dup2(fd, 1);
        ::close(fd);
    }
}

}  // namespace fuzzing
