#pragma once
// The generator's one source of randomness. SplitMix64 is fully specified by
// its few lines below, so a seed gives the same snapshot with every compiler
// and standard library (std distributions do not promise that).

#include <cstdint>

namespace vorn::snapgen {

class SplitMix64 {
public:
    explicit SplitMix64(std::uint64_t seed) : state_(seed) {}

    std::uint64_t next() {
        std::uint64_t z = (state_ += 0x9E3779B97F4A7C15ULL);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
        return z ^ (z >> 31);
    }

    // Uniform in [0, bound); bound must be positive. Draws below
    // 2^64 mod bound are rejected so that every value is equally likely.
    std::uint64_t below(std::uint64_t bound) {
        const std::uint64_t threshold = (0 - bound) % bound;
        for (;;) {
            const std::uint64_t r = next();
            if (r >= threshold) {
                return r % bound;
            }
        }
    }

    // Uniform in [low, high]; low <= high.
    std::uint32_t between(std::uint32_t low, std::uint32_t high) {
        return low + static_cast<std::uint32_t>(below(std::uint64_t{high} - low + 1));
    }

    // True with probability percent / 100.
    bool chance(std::uint32_t percent) { return below(100) < percent; }

private:
    std::uint64_t state_;
};

// An independent stream for one part of a generation (a phase, a family
// inside a mixed phase): mixes the user's seed with the part's number.
inline std::uint64_t derive_seed(std::uint64_t seed, std::uint64_t part) {
    SplitMix64 outer(seed);
    SplitMix64 inner(part ^ outer.next());
    return inner.next();
}

}  // namespace vorn::snapgen
