#include "vorn/runtime/siphash.hpp"

#include <array>
#include <cstdint>
#include <numeric>
#include <span>
#include <string_view>
#include <vector>

#include <gtest/gtest.h>

namespace vorn::runtime {
namespace {

std::span<const std::uint8_t> bytes_of(std::string_view text) {
    return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

std::vector<std::uint8_t> counting_bytes(std::size_t n) {
    std::vector<std::uint8_t> bytes(n);
    std::iota(bytes.begin(), bytes.end(), std::uint8_t{0});
    return bytes;
}

// The published SipHash-1-3 reference values: key 00 01 .. 0f, message of
// the first i bytes of 00 01 02 ...
constexpr std::array<std::uint64_t, 64> reference_vectors = {
    0xabac0158050fc4dc, 0xc9f49bf37d57ca93, 0x82cb9b024dc7d44d, 0x8bf80ab8e7ddf7fb, 0xcf75576088d38328,
    0xdef9d52f49533b67, 0xc50d2b50c59f22a7, 0xd3927d989bb11140, 0x369095118d299a8e, 0x25a48eb36c063de4,
    0x79de85ee92ff097f, 0x70c118c1f94dc352, 0x78a384b157b4d9a2, 0x306f760c1229ffa7, 0x605aa111c0f95d34,
    0xd320d86d2a519956, 0xcc4fdd1a7d908b66, 0x9cf2689063dbd80c, 0x8ffc389cb473e63e, 0xf21f9de58d297d1c,
    0xc0dc2f46a6cce040, 0xb992abfe2b45f844, 0x7ffe7b9ba320872e, 0x525a0e7fdae6c123, 0xf464aeb267349c8c,
    0x45cd5928705b0979, 0x3a3e35e3ca9913a5, 0xa91dc74e4ade3b35, 0xfb0bed02ef6cd00d, 0x88d93cb44ab1e1f4,
    0x540f11d643c5e663, 0x2370dd1f8c21d1bc, 0x81157b6c16a7b60d, 0x4d54b9e57a8ff9bf, 0x759f12781f2a753e,
    0xcea1a3bebf186b91, 0x2cf508d3ada26206, 0xb6101c2da3c33057, 0xb3f47496ae3a36a1, 0x626b57547b108392,
    0xc1d2363299e41531, 0x667cc1923f1ad944, 0x65704ffec8138825, 0x24f280d1c28949a6, 0xc2ca1cedfaf8876b,
    0xc2164bfc9f042196, 0xa16e9c9368b1d623, 0x49fb169c8b5114fd, 0x9f3143f8df074c46, 0xc6fdaf2412cc86b3,
    0x7eaf49d10a52098f, 0x1cf313559d292f9a, 0xc44a30dda2f41f12, 0x36fae98943a71ed0, 0x318fb34c73f0bce6,
    0xa27abf3670a7e980, 0xb4bcc0db243c6d75, 0x23f8d852fdb71513, 0x8f035f4da67d8a08, 0xd89cd0e5b7e8f148,
    0xf6f4e6bcf7a644ee, 0xaec59ad80f1837f2, 0xc3b2f6154b6694e0, 0x9d199062b7bbb3a8,
};

constexpr SipKey reference_key{0x0706050403020100, 0x0f0e0d0c0b0a0908};

TEST(SipHash13, MatchesReferenceVectorsForEveryTailLength) {
    const std::vector<std::uint8_t> message = counting_bytes(reference_vectors.size());
    for (std::size_t length = 0; length < reference_vectors.size(); ++length) {
        EXPECT_EQ(siphash13(std::span(message).first(length), reference_key), reference_vectors[length])
            << "length " << length;
    }
}

TEST(SipHash13, ZeroKeyIsTheDefault) {
    // Published zero-key values (16 zero key bytes).
    struct Case {
        std::string_view message;
        std::uint64_t hash;
    };
    const std::string thousand_x(1000, 'x');
    const std::array<std::uint8_t, 8> eight_zeros{};
    const std::array<std::uint8_t, 8> ucs2_text{0xe4, 0x00, 0xfa, 0x00, 0x11, 0x22, 0x07, 0x21};
    const std::array<Case, 4> cases = {{
        {"", 0xd1fba762150c532c},
        {"abc", 0xc03bc3a0042630f2},
        {"digest-sip_hash", 0xce31007e34130c0a},
        {thousand_x, 0x1b47c0cc4dd21f05},
    }};
    for (const Case& c : cases) {
        EXPECT_EQ(siphash13(bytes_of(c.message)), c.hash) << "message of " << c.message.size() << " bytes";
        EXPECT_EQ(siphash13(bytes_of(c.message), SipKey{0, 0}), c.hash);
    }
    EXPECT_EQ(siphash13(eight_zeros), 0xbd60acb658c79e45U);
    EXPECT_EQ(siphash13(ucs2_text), 0xd8ff3630bed5bd3dU);
}

TEST(SipHasher13, AnySplitOfTheMessageGivesTheSameHash) {
    const std::vector<std::uint8_t> message = counting_bytes(40);
    const std::span<const std::uint8_t> all(message);
    for (std::size_t first = 0; first <= all.size(); ++first) {
        for (std::size_t second = first; second <= all.size(); second += 3) {
            SipHasher13 hasher(reference_key);
            hasher.write(all.subspan(0, first));
            hasher.write(all.subspan(first, second - first));
            hasher.write(all.subspan(second));
            ASSERT_EQ(hasher.finish(), reference_vectors[40]) << "split at " << first << " and " << second;
        }
    }
    SipHasher13 bytewise(reference_key);
    for (const std::uint8_t byte : message) {
        bytewise.write_u8(byte);
    }
    EXPECT_EQ(bytewise.finish(), reference_vectors[40]);
}

TEST(SipHasher13, IntegersAreWrittenLittleEndianAtAnyAlignment) {
    // 00 01 .. 0e written as byte, u16, u32, u64 from every starting offset
    // of the block must hash like the plain bytes.
    for (std::size_t lead = 0; lead < 8; ++lead) {
        SipHasher13 hasher(reference_key);
        const std::vector<std::uint8_t> message = counting_bytes(lead + 15);
        hasher.write(std::span(message).first(lead));
        const auto at = [&](std::size_t i) { return static_cast<std::uint64_t>(message[lead + i]); };
        hasher.write_u8(static_cast<std::uint8_t>(at(0)));
        hasher.write_u16_le(static_cast<std::uint16_t>(at(1) | at(2) << 8));
        hasher.write_u32_le(static_cast<std::uint32_t>(at(3) | at(4) << 8 | at(5) << 16 | at(6) << 24));
        std::uint64_t wide = 0;
        for (std::size_t k = 0; k < 8; ++k) {
            wide |= at(7 + k) << (8 * k);
        }
        hasher.write_u64_le(wide);
        EXPECT_EQ(hasher.finish(), reference_vectors[lead + 15]) << "lead " << lead;
    }
}

TEST(SipHasher13, FinishLeavesTheMessageOpen) {
    const std::vector<std::uint8_t> message = counting_bytes(21);
    SipHasher13 hasher(reference_key);
    hasher.write(std::span(message).first(13));
    EXPECT_EQ(hasher.finish(), reference_vectors[13]);
    hasher.write(std::span(message).subspan(13));
    EXPECT_EQ(hasher.finish(), reference_vectors[21]);
}

}  // namespace
}  // namespace vorn::runtime
