#pragma once
// SipHash-1-3: one compression round per 8-byte block, three finalisation
// rounds, 64-bit result. It is the one hash of the whole program: the row
// fingerprint of the report, the recipe-cache shape hash and the storage
// estimator's table fingerprints all use it with both key halves zero.
//
// Bytes are consumed in the order given; multi-byte integers are written in
// little-endian order, so a value hashes the same on every host.

#include <cstddef>
#include <cstdint>
#include <span>

namespace vorn::runtime {

// The 128-bit key as its two little-endian halves; the program uses {0, 0}.
struct SipKey {
    std::uint64_t k0 = 0;
    std::uint64_t k1 = 0;
};

// Incremental SipHash-1-3: write bytes in any split, then finish. The result
// depends only on the concatenation of everything written.
class SipHasher13 {
public:
    explicit SipHasher13(SipKey key = {}) noexcept;

    void write(std::span<const std::uint8_t> bytes) noexcept;
    void write(std::span<const std::byte> bytes) noexcept;
    void write_u8(std::uint8_t value) noexcept;
    void write_u16_le(std::uint16_t value) noexcept;
    void write_u32_le(std::uint32_t value) noexcept;
    void write_u64_le(std::uint64_t value) noexcept;

    // The hash of everything written so far; the hasher stays usable and
    // further writes continue the same message.
    [[nodiscard]] std::uint64_t finish() const noexcept;

private:
    void write_byte(std::uint8_t byte) noexcept;
    void compress(std::uint64_t block) noexcept;

    std::uint64_t v0_;
    std::uint64_t v1_;
    std::uint64_t v2_;
    std::uint64_t v3_;
    std::uint64_t pending_ = 0;  // bytes of the unfinished block, little-endian
    std::uint64_t length_ = 0;   // total bytes written
};

// SipHash-1-3 of one byte string.
[[nodiscard]] std::uint64_t siphash13(std::span<const std::uint8_t> bytes, SipKey key = {}) noexcept;

}  // namespace vorn::runtime
