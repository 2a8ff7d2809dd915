// Fuzz target: the structure reader (PDB columns, plain or gzip) as both programs use it:
// pairdist's whole run on a structure file (PDB format) and, optionally, a residue types
// file from the input; then atomdepth's atoms, depths and depth files on the same structure,
// read back by depthdist.
//
// Input: byte 0 bit 0 set: the rest is split at a line "===" into the structure and the types
// file; clear: the rest is the structure and the types file is the 20 standard residues.
// Every outcome but a clean refusal (textio::Failure) is a fault.  A pairdist run that ends
// normally must have taken at least one residue, each with a type of the table; an atomdepth
// run must give every atom a finite depth of at least its radius (less rounding) and a finite
// spread of 0 or more, and depthdist must read its two files (unless two residues of one key
// follow each other, which depthdist cannot tell apart).
#include <cmath>
#include <string>
#include <vector>

#include "generators/atomdepth/atomdepth.hpp"
#include "generators/depthdist/depthdist.hpp"
#include "generators/pairdist/pairdist.hpp"
#include "tests/fuzz/fuzz_common.hpp"
#include "textio/error.hpp"

namespace {
const char* const standard_types =
    "ALA\nARG\nASN\nASP\nCYS\nGLN\nGLU\nGLY\nHIS\nILE\nLEU\nLYS\nMET\nPHE\nPRO\nSER\nTHR\nTRP\nTYR\nVAL\n";

void pairdist_run(const std::string& pdb, const std::string& types) {
    gen::Temp t;
    try {
        gen::initall(t, pairdist::generator, {"-dp", pdb, "-t", types});
    } catch (const textio::Failure& f) {
        fuzzing::refused(f.status(), f.what());
        return;
    }
    if (t.nres < 1) fuzzing::broken("a table written for no residue", std::to_string(t.nres));
    for (std::int64_t r = 0; r < t.nres; ++r)
        if (t.iaa[static_cast<std::size_t>(r)] < 1 || t.iaa[static_cast<std::size_t>(r)] > t.naatyp)
            fuzzing::broken("residue type out of the table", std::to_string(t.iaa[static_cast<std::size_t>(r)]));
}

void atomdepth_run(const std::string& pdb) {
    atomdepth::Settings s;
    s.dp = pdb;
    s.npoints = 24;  // fewer points: the same code, a faster run
    atomdepth::Atoms at;
    atomdepth::Depths d;
    try {
        at = atomdepth::readatoms(pdb);
        d = atomdepth::depths(at, s);
    } catch (const textio::Failure& f) {
        fuzzing::refused(f.status(), f.what());
        return;
    }
    if (at.size() < 1) fuzzing::broken("depths of no atom", "");
    for (std::size_t i = 0; i < at.size(); ++i) {
        if (!(std::isfinite(d.depth[i]) && d.depth[i] >= at.rad[i] - 1e-9))
            fuzzing::broken("depth not finite or less than the radius", std::to_string(d.depth[i]));
        if (!(std::isfinite(d.sd[i]) && d.sd[i] >= 0)) fuzzing::broken("spread not finite", std::to_string(d.sd[i]));
    }
    const std::string base = fuzzing::scratch() + "/a";
    fuzzing::put("a-residue.depth", atomdepth::residuefile(at, d));
    fuzzing::put("a-atom.depth", atomdepth::atomfile(at, d));
    const std::string types = fuzzing::put("a.types", "ALA CA\n");
    // depthdist pairs atoms with residues by key alone, so two residues of one key in a row
    // (atomdepth warns of them) may stop it; nothing else may.
    bool shared = false;
    for (std::size_t r = 1; 2 * r < at.rkey.size(); ++r) shared |= at.rkey[2 * r] == at.rkey[2 * r - 2];
    gen::Temp t;
    try {
        gen::initall(t, depthdist::generator, {"-dp", base, "-t", types});
    } catch (const textio::Failure& f) {
        if (!shared) fuzzing::broken("depthdist refused atomdepth's files", f.what());
        fuzzing::refused(f.status(), f.what());
        return;
    }
    if (t.nres != static_cast<std::int64_t>(at.size()))
        fuzzing::broken("depthdist read another number of atoms", std::to_string(t.nres));
}
}  // namespace

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
    pairdist_run(pdb, types);
    atomdepth_run(pdb);
    return 0;
}
