// Fuzz target: nntrain's database loader (initdb through init_all, as a run starts), with the
// list file and the data files from the input; then, when asked, a short training run on the
// loaded database (two epochs of a small network, log and weight file in scratch).
//
// Input: byte 0 chooses switches (bit 0: -df, the degeneracy files; bit 1: -np with byte 1;
// bit 2: -f 0.5; bit 3: train after loading); the rest is split at lines "===" into the list file, the data file in_a
// (input type files of odd proteins, and "in2" of all), in_b (input files of even proteins,
// "out2"), out (the "out" files) and dgn (kelta.dgn).  The database directory is the fixed
// scratch layout (fuzz_common.hpp), given with -d, so paths stay inside scratch; a list file
// with ".." is passed over.  Every outcome but a clean refusal (textio::Failure) is a fault;
// a load that succeeds must hold exactly nip values per protein, and a training run that ends
// normally must leave a weight file of the size its sizes line gives.  Training is left out
// when an epoch would take more than 2*10^7 input weights times presentations (degeneracy files
// that ask for a long run by request, not a hang).
#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "tests/fuzz/fuzz_common.hpp"
#include "textio/error.hpp"
#include "trainer/nntrain.hpp"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzzing::quiet_stdout();
    fuzzing::database();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 2) return 0;
    const unsigned opts = data[0];
    const unsigned np = data[1];
    std::vector<std::string_view> part = fuzzing::parts(data + 2, size - 2, 5);
    if (fuzzing::leaves_scratch(part[0])) return 0;
    const std::string list = fuzzing::put("kelta.db", part[0]);
    fuzzing::put("in_a", part[1]);
    fuzzing::put("in_b", part[2]);
    fuzzing::put("out", part[3]);
    fuzzing::put("dgn", part[4]);

    std::vector<std::string> words = {"-l", list, "-d", fuzzing::database(), "-r", "1"};
    if (opts & 1) words.push_back("-df");
    if (opts & 2) words.insert(words.end(), {"-np", std::to_string(np)});
    if (opts & 4) words.insert(words.end(), {"-f", "0.5"});
    const std::string wei = fuzzing::scratch() + "/net.wei", log = wei + ".fort.15";
    if (opts & 8) words.insert(words.end(), {"-m", "2", "-h1", "3", "-h2", "2", "-owf", wei});

    nntrain::State st;
    try {
        nntrain::readcmd(st, words);
        nntrain::init_all(st);
    } catch (const textio::Failure& f) {
        fuzzing::refused(f.status(), f.what());
        return 0;
    }
    const auto& s = st.all_sizes;
    const auto& in = st.nn_input;
    if (s.nip < 1 || s.nop < 1 || s.ntotp < 20 || s.ntrap > s.ntotp)
        fuzzing::broken("a load passed its checks with bad sizes",
                        std::to_string(s.nip) + " " + std::to_string(s.nop) + " " + std::to_string(s.ntotp));
    if (in.protin.size() != static_cast<std::size_t>(s.nip) * s.ntotp ||
        in.protut.size() != static_cast<std::size_t>(s.nop) * s.ntotp || st.data_files.protid.size() != static_cast<std::size_t>(s.ntotp))
        fuzzing::broken("database arrays of the wrong size", std::to_string(in.protin.size()));
    if (!(opts & 8)) return 0;
    long long presentations = 0;
    for (int p = 0; p < s.ntrap; ++p) presentations += std::max(in.iprotdg[static_cast<std::size_t>(p)], 0);
    if (presentations * (s.nip + 1LL) > 20000000) return 0;
    std::remove(wei.c_str());
    std::remove(log.c_str());
    try {
        nntrain::kelta2train(st);
    } catch (const textio::Failure& f) {
        fuzzing::refused(f.status(), f.what());
    }
    if (std::FILE* f = std::fopen(wei.c_str(), "r")) {
        long long lines = 0;
        for (int c; (c = std::fgetc(f)) != EOF;) lines += c == '\n';
        std::fclose(f);
        const long long want = 4 + (s.nip + 1LL) * s.nw1 + (s.nw1 + 1LL) * s.nw2 + (s.nw2 + 1LL) * s.nop;
        if (lines != want) fuzzing::broken("weight file of the wrong length", std::to_string(lines) + " lines, not " + std::to_string(want));
    }
    std::remove(wei.c_str());
    std::remove(log.c_str());
    return 0;
}
