// Fuzz target: nntrain's weight files, read as a prediction run reads them: the header (the
// database loader reads lines 1-4 in prediction mode) and readwei, then the forward passes and
// the prediction lines; with -aw, a list of weight files averaged.
//
// Input: byte 0 chooses the run (bit 0: -aw list instead of -wf; bit 1: -nsw; bit 2: -dd;
// bit 3: -prl with the proteins p1 p2 p3 instead of -pr1 p1); the rest is split at lines "==="
// into weight file wA, weight file wB, the weight list (names relative to scratch, where the
// target runs), the input data file in_a/in_b and the target data file out.  -d fixes the
// database directory to the scratch layout; a weight list with "/" or ".." is passed over.
// Every outcome but a clean refusal (textio::Failure) is a fault.
#include <string>
#include <unistd.h>
#include <vector>

#include "tests/fuzz/fuzz_common.hpp"
#include "textio/error.hpp"
#include "trainer/nntrain.hpp"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzzing::quiet_stdout();
    fuzzing::database();
    fuzzing::put("ids", "p1\np2\np3\n");
    if (::chdir(fuzzing::scratch().c_str()) != 0) return 1;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 1) return 0;
    const unsigned opts = data[0];
    std::vector<std::string_view> part = fuzzing::parts(data + 1, size - 1, 5);
    if (part[2].find('/') != std::string_view::npos || fuzzing::leaves_scratch(part[2])) return 0;
    fuzzing::put("wA", part[0]);
    fuzzing::put("wB", part[1]);
    fuzzing::put("wlist", part[2]);
    fuzzing::put("in_a", part[3]);
    fuzzing::put("in_b", part[3]);
    fuzzing::put("out", part[4]);

    std::vector<std::string> words = {"-d", fuzzing::database(), "-r", "1"};
    if (opts & 1)
        words.insert(words.end(), {"-aw", "wlist"});
    else
        words.insert(words.end(), {"-wf", "wA"});
    if (opts & 2) words.push_back("-nsw");
    if (opts & 4) words.push_back("-dd");
    if (opts & 8)
        words.insert(words.end(), {"-prl", "ids"});
    else
        words.insert(words.end(), {"-pr1", "p1"});

    nntrain::State st;
    try {
        nntrain::readcmd(st, words);
        nntrain::init_all(st);
        nntrain::kelta2train(st);
    } catch (const textio::Failure& f) {
        fuzzing::refused(f.status(), f.what());
    }
    return 0;
}
