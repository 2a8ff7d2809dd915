// The one random stream of nntrain: xoshiro256** (Blackman and Vigna, "Scrambled linear
// pseudorandom number generators", ACM TOMS 47(4), 2021), state filled by splitmix64.
//
// Seeding takes k = 8 signed 32-bit seed words w1..w8; state word j (j = 0..3) is
// splitmix64(((uint64)w(2j+1) << 32) | w(2j+2)), the words taken as unsigned 32-bit values.
// A draw is u = (next() >> 11) * 2^-53, a real uniform in [0, 1).  Integer arithmetic only,
// so every compiler and platform gives the same stream.
#pragma once

#include <cstdint>
#include <span>

namespace nntrain {

class Random {
public:
    static constexpr int nseeds = 8;  // seed words the generator takes

    void seed(std::span<const std::int32_t> words);  // words.size() == nseeds
    double draw();                                   // uniform in [0, 1)
    std::uint64_t next();                            // raw 64-bit output

private:
    std::uint64_t s_[4] = {0x9e3779b97f4a7c15ull, 0xbf58476d1ce4e5b9ull, 0x94d049bb133111ebull, 1};
};

}  // namespace nntrain
