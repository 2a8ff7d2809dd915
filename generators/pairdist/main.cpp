// pairdist: residue-pair inverse-distance inputs from a PDB structure (see pairdist.hpp).
#include "generators/pairdist/pairdist.hpp"
#include "textio/error.hpp"

int main(int argc, char** argv) {
    std::vector<std::string> words(argv + 1, argv + argc);
    return textio::run_main([&] {
        pairdist::Temp t;
        gen::initall(t, pairdist::generator, words);
    });
}
