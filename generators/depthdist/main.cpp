// depthdist: per-atom-type depth inputs from residue and atom depth files (see depthdist.hpp).
#include "generators/depthdist/depthdist.hpp"
#include "textio/error.hpp"

int main(int argc, char** argv) {
    std::vector<std::string> words(argv + 1, argv + argc);
    return textio::run_main([&] {
        depthdist::Temp t;
        gen::initall(t, depthdist::generator, words);
    });
}
