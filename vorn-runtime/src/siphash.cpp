#include "vorn/runtime/siphash.hpp"

#include <bit>

namespace vorn::runtime {
namespace {

struct SipState {
    std::uint64_t v0;
    std::uint64_t v1;
    std::uint64_t v2;
    std::uint64_t v3;
};

constexpr void sip_round(SipState& s) noexcept {
    s.v0 += s.v1;
    s.v1 = std::rotl(s.v1, 13);
    s.v1 ^= s.v0;
    s.v0 = std::rotl(s.v0, 32);
    s.v2 += s.v3;
    s.v3 = std::rotl(s.v3, 16);
    s.v3 ^= s.v2;
    s.v0 += s.v3;
    s.v3 = std::rotl(s.v3, 21);
    s.v3 ^= s.v0;
    s.v2 += s.v1;
    s.v1 = std::rotl(s.v1, 17);
    s.v1 ^= s.v2;
    s.v2 = std::rotl(s.v2, 32);
}

}  // namespace

SipHasher13::SipHasher13(SipKey key) noexcept
    : v0_(key.k0 ^ 0x736f6d6570736575ULL),
      v1_(key.k1 ^ 0x646f72616e646f6dULL),
      v2_(key.k0 ^ 0x6c7967656e657261ULL),
      v3_(key.k1 ^ 0x7465646279746573ULL) {}

void SipHasher13::compress(std::uint64_t block) noexcept {
    SipState s{v0_, v1_, v2_, v3_};
    s.v3 ^= block;
    sip_round(s);
    s.v0 ^= block;
    v0_ = s.v0;
    v1_ = s.v1;
    v2_ = s.v2;
    v3_ = s.v3;
}

void SipHasher13::write_byte(std::uint8_t byte) noexcept {
    const unsigned fill = static_cast<unsigned>(length_ & 7U);
    pending_ |= std::uint64_t{byte} << (8U * fill);
    ++length_;
    if (fill == 7U) {
        compress(pending_);
        pending_ = 0;
    }
}

void SipHasher13::write(std::span<const std::uint8_t> bytes) noexcept {
    std::size_t i = 0;
    // Complete the unfinished block byte by byte, then take whole blocks.
    while (i < bytes.size() && (length_ & 7U) != 0) {
        write_byte(bytes[i++]);
    }
    while (bytes.size() - i >= 8) {
        std::uint64_t block = 0;
        for (unsigned k = 0; k < 8; ++k) {
            block |= std::uint64_t{bytes[i + k]} << (8U * k);
        }
        compress(block);
        length_ += 8;
        i += 8;
    }
    while (i < bytes.size()) {
        write_byte(bytes[i++]);
    }
}

void SipHasher13::write(std::span<const std::byte> bytes) noexcept {
    write(std::span<const std::uint8_t>(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size()));
}

void SipHasher13::write_u8(std::uint8_t value) noexcept { write_byte(value); }

void SipHasher13::write_u16_le(std::uint16_t value) noexcept {
    write_byte(static_cast<std::uint8_t>(value));
    write_byte(static_cast<std::uint8_t>(value >> 8));
}

void SipHasher13::write_u32_le(std::uint32_t value) noexcept {
    for (unsigned k = 0; k < 4; ++k) {
        write_byte(static_cast<std::uint8_t>(value >> (8U * k)));
    }
}

void SipHasher13::write_u64_le(std::uint64_t value) noexcept {
    if ((length_ & 7U) == 0) {
        // Block-aligned: the value is exactly the next block.
        compress(value);
        length_ += 8;
        return;
    }
    for (unsigned k = 0; k < 8; ++k) {
        write_byte(static_cast<std::uint8_t>(value >> (8U * k)));
    }
}

std::uint64_t SipHasher13::finish() const noexcept {
    SipState s{v0_, v1_, v2_, v3_};
    // Last block: the remaining bytes with the length modulo 256 in the top byte.
    const std::uint64_t last = pending_ | (length_ << 56);
    s.v3 ^= last;
    sip_round(s);
    s.v0 ^= last;
    s.v2 ^= 0xff;
    sip_round(s);
    sip_round(s);
    sip_round(s);
    return s.v0 ^ s.v1 ^ s.v2 ^ s.v3;
}

std::uint64_t siphash13(std::span<const std::uint8_t> bytes, SipKey key) noexcept {
    SipHasher13 hasher(key);
    hasher.write(bytes);
    return hasher.finish();
}

}  // namespace vorn::runtime
