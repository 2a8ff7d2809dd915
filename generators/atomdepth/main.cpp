// atomdepth: depth files from a structure (see atomdepth.hpp).
#include "generators/atomdepth/atomdepth.hpp"
#include "textio/error.hpp"

int main(int argc, char** argv) {
    std::vector<std::string> words(argv + 1, argv + argc);
    return textio::run_main([&] {
        const atomdepth::Settings s = atomdepth::cmdline(words);
        const atomdepth::Atoms at = atomdepth::readatoms(s.dp);
        const atomdepth::Depths d = atomdepth::depths(at, s);
        atomdepth::writefiles(s.base, at, d);
    });
}
