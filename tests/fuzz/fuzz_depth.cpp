// Fuzz target: depthdist's whole run on a residue depth file, an atom depth file and,
// optionally, an atom types file from the input: the types file, the walk that pairs atom
// lines with residue lines, the per-type statistics and the table (to /dev/null).
//
// Input: byte 0 bit 0 set: the rest is split at lines "===" into the residue file, the atom
// file and the types file; clear: into the two depth files, with a small types file of
// backbone atoms.  Every outcome but a clean refusal (textio::Failure) is a fault; a run that
// ends normally must have read at least one atom, each with a type of the table and a depth
// above 0.
#include <string>
#include <vector>

#include "generators/depthdist/depthdist.hpp"
#include "tests/fuzz/fuzz_common.hpp"
#include "textio/error.hpp"

namespace {
const char* const small_types = "ALA N\nALA CA\nALA C\nALA O\nALA CB\nGLY N\nGLY CA\nGLY C\nGLY O\nMET SD\n";
}

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzzing::quiet_stdout();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 1) return 0;
    const bool own_types = data[0] & 1;
    std::vector<std::string_view> part = fuzzing::parts(data + 1, size - 1, 3);
    fuzzing::put("d-residue.depth", part[0]);
    fuzzing::put("d-atom.depth", part[1]);
    const std::string types = fuzzing::put("d.types", own_types ? part[2] : small_types);

    gen::Temp t;
    try {
        gen::initall(t, depthdist::generator, {"-dp", fuzzing::scratch() + "/d", "-t", types});
    } catch (const textio::Failure& f) {
        fuzzing::refused(f.status(), f.what());
        return 0;
    }
    if (t.nres < 1) fuzzing::broken("a table written for no atom", std::to_string(t.nres));
    for (std::int64_t a = 0; a < t.nres; ++a) {
        const std::size_t i = static_cast<std::size_t>(a);
        if (t.iaa[i] < 1 || t.iaa[i] > t.naatyp) fuzzing::broken("atom type out of the table", std::to_string(t.iaa[i]));
        if (!(t.pdat[i * 2] > 0)) fuzzing::broken("a table written with a depth not above 0", std::to_string(t.pdat[i * 2]));
    }
    return 0;
}
