// Runs fuzz inputs through a target's harness without libFuzzer, so every build (plain and
// sanitizer) replays the committed corpus and regression inputs as tests:
//   fuzz_replay_<target> <file or directory>...
// Exit status 0 when every input ran; a harness that finds a fault aborts.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);
extern "C" __attribute__((weak)) int LLVMFuzzerInitialize(int* argc, char*** argv);

int main(int argc, char** argv) {
    namespace fs = std::filesystem;
    std::vector<std::string> files;
    for (int i = 1; i < argc; ++i) {
        fs::path p = fs::absolute(argv[i]);  // the harness may change the working directory
        if (fs::is_directory(p)) {
            for (const auto& e : fs::directory_iterator(p))
                if (e.is_regular_file()) files.push_back(e.path().string());
        } else {
            files.push_back(p.string());
        }
    }
    std::sort(files.begin(), files.end());
    if (LLVMFuzzerInitialize) LLVMFuzzerInitialize(&argc, &argv);
    for (const std::string& f : files) {
        std::ifstream in(f, std::ios::binary);
        if (!in) {
            std::fprintf(stderr, "%s: cannot read\n", f.c_str());
            return 2;
        }
        std::stringstream ss;
        ss << in.rdbuf();
        std::string data = ss.str();
        std::fprintf(stderr, "replay %s (%zu bytes)\n", f.c_str(), data.size());
        LLVMFuzzerTestOneInput(reinterpret_cast<const std::uint8_t*>(data.data()), data.size());
    }
    std::fprintf(stderr, "replayed %zu inputs\n", files.size());
    return 0;
}
