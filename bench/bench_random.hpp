#pragma once
// The benchmarks' source of generated data: xorshift64*, small, fast and the
// same everywhere, so a fixed seed gives the same workload on every run.

#include <cstdint>

namespace vorn::bench {

class Random {
public:
    explicit Random(std::uint64_t seed) : state_(seed) {}
    std::uint64_t next() {
        state_ ^= state_ >> 12;
        state_ ^= state_ << 25;
        state_ ^= state_ >> 27;
        return state_ * 0x2545F4914F6CDD1DULL;
    }
    std::uint32_t below(std::uint32_t bound) { return static_cast<std::uint32_t>(next() % bound); }

private:
    std::uint64_t state_;
};

}  // namespace vorn::bench
