#include "tests/support/run.hpp"

#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <csignal>
#include <sstream>
#include <spawn.h>
#include <stdexcept>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace testing_support {

namespace fs = std::filesystem;

std::string bin(const std::string& program) {
    if (program.find('/') != std::string::npos) return program;
    return std::string(PROTNN_BIN_DIR) + "/" + program;
}

std::string examples(const std::string& rel) {
    return rel.empty() ? std::string(PROTNN_EXAMPLES_DIR) : std::string(PROTNN_EXAMPLES_DIR) + "/" + rel;
}

std::vector<std::vector<std::string>> manifest() {
    std::vector<std::vector<std::string>> rows;
    const std::vector<std::string> lines = lines_of(read_file(examples("proteins/manifest.tsv")));
    for (std::size_t i = 1; i < lines.size(); ++i) {
        if (lines[i].empty()) continue;
        std::vector<std::string> fields;
        std::size_t from = 0;
        for (std::size_t tab; (tab = lines[i].find('\t', from)) != std::string::npos; from = tab + 1)
            fields.push_back(lines[i].substr(from, tab - from));
        fields.push_back(lines[i].substr(from));
        rows.push_back(fields);
    }
    return rows;
}

Result run(const std::string& program, const std::vector<std::string>& args, const std::string& dir,
           const std::string& input) {
    return run_meanwhile(program, args, dir, nullptr, input);
}

Result run_meanwhile(const std::string& program, const std::vector<std::string>& args, const std::string& dir,
                     const std::function<void(int pid)>& meanwhile, const std::string& input) {
    TempDir io;
    std::string in_path = io / "stdin", out_path = io / "stdout", err_path = io / "stderr";
    write_file(in_path, input);
    std::string exe = bin(program);
    if (exe[0] != '/') exe = fs::absolute(exe).string();

    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_addopen(&fa, 0, in_path.c_str(), O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&fa, 1, out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addopen(&fa, 2, err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (!dir.empty()) posix_spawn_file_actions_addchdir_np(&fa, dir.c_str());

    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(exe.c_str()));
    for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);

    // Every signal at its default action in the program, whatever the test runner ignores.
    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    sigset_t all;
    sigfillset(&all);
    posix_spawnattr_setsigdefault(&attr, &all);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGDEF);

    pid_t pid = 0;
    int rc = posix_spawn(&pid, exe.c_str(), &fa, &attr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&fa);
    posix_spawnattr_destroy(&attr);
    if (rc != 0) throw std::runtime_error("cannot start " + exe);
    if (meanwhile) meanwhile(pid);
    int ws = 0;
    waitpid(pid, &ws, 0);
    Result r;
    r.status = WIFEXITED(ws) ? WEXITSTATUS(ws) : 128 + WTERMSIG(ws);
    r.out = read_file(out_path);
    r.err = read_file(err_path);
    return r;
}

TempDir::TempDir() {
    std::string tmpl = (fs::temp_directory_path() / "protnn-test-XXXXXX").string();
    if (!mkdtemp(tmpl.data())) throw std::runtime_error("cannot make a temporary directory");
    path_ = tmpl;
}

TempDir::~TempDir() {
    std::error_code ec;
    fs::remove_all(path_, ec);
}

std::string read_file(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    std::stringstream ss;
    ss << f.rdbuf();
    return ss.str();
}

void write_file(const std::string& path, const std::string& text) {
    std::ofstream f(path, std::ios::binary | std::ios::trunc);
    f << text;
}

bool exists(const std::string& path) { return fs::exists(path); }

std::vector<std::string> lines_of(const std::string& text) {
    std::vector<std::string> v;
    std::size_t p = 0;
    while (p < text.size()) {
        std::size_t nl = text.find('\n', p);
        if (nl == std::string::npos) nl = text.size();
        v.push_back(text.substr(p, nl - p));
        p = nl + 1;
    }
    return v;
}

}  // namespace testing_support
