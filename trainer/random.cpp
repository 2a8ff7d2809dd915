#include "trainer/random.hpp"

namespace nntrain {

static std::uint64_t splitmix64(std::uint64_t x) {
    std::uint64_t z = x + 0x9e3779b97f4a7c15ull;
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ull;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebull;
    return z ^ (z >> 31);
}

static std::uint64_t rotl(std::uint64_t x, int k) { return (x << k) | (x >> (64 - k)); }

void Random::seed(std::span<const std::int32_t> w) {
    for (int j = 0; j < 4; ++j) {
        std::uint64_t hi = static_cast<std::uint32_t>(w[2 * j]);
        std::uint64_t lo = static_cast<std::uint32_t>(w[2 * j + 1]);
        s_[j] = splitmix64((hi << 32) | lo);
    }
}

std::uint64_t Random::next() {
    const std::uint64_t result = rotl(s_[1] * 5, 7) * 9;
    const std::uint64_t t = s_[1] << 17;
    s_[2] ^= s_[0];
    s_[3] ^= s_[1];
    s_[1] ^= s_[2];
    s_[0] ^= s_[3];
    s_[2] ^= t;
    s_[3] = rotl(s_[3], 45);
    return result;
}

double Random::draw() { return static_cast<double>(next() >> 11) * 0x1.0p-53; }

}  // namespace nntrain
