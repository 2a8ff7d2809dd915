// Fuzz target: pairdist's whole run on a structure file (PDB format) and, optionally, a
// residue types file from the input: the types file, the structure reading by columns, the
// pair statistics and the table (to /dev/null).
//
// Input: byte 0 bit 0 set: the rest is split at a line "===" into the structure and the types
// file; clear: the rest is the structure and the types file is the 20 standard residues.
// Every outcome but a clean refusal (textio::Failure) is a fault; a run that ends normally
// must have taken at least one residue, each with a type of the table.
#include <string>
#include <vector>

#include "generators/pairdist/pairdist.hpp"
#include "tests/fuzz/fuzz_common.hpp"
#include "textio/error.hpp"

namespace {
const char* const standard_types =
    "ALA\nARG\nASN\nASP\nCYS\nGLN\nGLU\nGLY\nHIS\nILE\nLEU\nLYS\nMET\nPHE\nPRO\nSER\nTHR\nTRP\nTYR\nVAL\n";
}

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzzing::quiet_stdout();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 1) return 0;
    const bool own_types = data[0] & 1;
    std::vector<std::string_view> part = fuzzing::parts(data + 1, size - 1, own_types ? 2 : 1);
    const std::string pdb = fuzzing::put("s.pdb", part[0]);
    const std::string types = fuzzing::put("s.types", own_types ? part[1] : standard_types);

    gen::Temp t;
    try {
        gen::initall(t, pairdist::generator, {"-dp", pdb, "-t", types});
    } catch (const textio::Failure& f) {
        fuzzing::refused(f.status(), f.what());
        return 0;
    }
    if (t.nres < 1) fuzzing::broken("a table written for no residue", std::to_string(t.nres));
    for (std::int64_t r = 0; r < t.nres; ++r)
        if (t.iaa[static_cast<std::size_t>(r)] < 1 || t.iaa[static_cast<std::size_t>(r)] > t.naatyp)
            fuzzing::broken("residue type out of the table", std::to_string(t.iaa[static_cast<std::size_t>(r)]));
    return 0;
}
