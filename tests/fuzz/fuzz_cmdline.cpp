// Fuzz target: the command lines of the three programs (nntrain's readcmd with its option
// record and numeric switch values, and the generators' scan), with words from the input.
//
// Input: byte 0 picks the program (0 nntrain, 1 pairdist's scan, 2 depthdist's scan); the
// rest is split at NUL bytes into the words.  The target runs in its scratch directory, where
// the weight list "wl" (for -aw) exists; words with "/" are passed over so that no file outside
// scratch is opened.  Refusals are textio::Failure with status 1 or 2 and a message, or the
// normal stop (status 0) of -h and --version; anything else is a fault, and so is an option
// record longer than its 3600 characters.
#include <string>
#include <unistd.h>
#include <vector>

#include "generators/common/driver.hpp"
#include "tests/fuzz/fuzz_common.hpp"
#include "textio/error.hpp"
#include "trainer/nntrain.hpp"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzzing::quiet_stdout();
    fuzzing::put("wl", "\n\n  'w 1.wei'  second.wei\n");
    if (::chdir(fuzzing::scratch().c_str()) != 0) return 1;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 1) return 0;
    const unsigned program = data[0] % 3;
    std::string_view rest(reinterpret_cast<const char*>(data + 1), size - 1);
    if (rest.find('/') != std::string_view::npos) return 0;
    std::vector<std::string> words;
    while (!rest.empty()) {
        std::size_t at = rest.find('\0');
        words.emplace_back(rest.substr(0, at));
        rest.remove_prefix(at == std::string_view::npos ? rest.size() : at + 1);
    }
    try {
        if (program == 0) {
            nntrain::State st;
            nntrain::readcmd(st, words);
            if (st.data_files.weiadd.size() > nntrain::textlen) fuzzing::broken("option record too long", "");
        } else {
            gen::Temp t;
            t.depfl = program == 1 ? "amino_acids.types" : "aa_atom.types";
            gen::scancmd(t, words, program == 1 ? "pairdist" : "depthdist");
            if (t.pdbfl.size() > gen::fnlen || t.depfl.size() > gen::fnlen) fuzzing::broken("file name too long", "");
        }
    } catch (const textio::Failure& f) {
        if (f.status() != 0) fuzzing::refused(f.status(), f.what());
    }
    return 0;
}
