#include "vorn/tests/text.hpp"

#include <cstdint>

namespace vorn::tests {
namespace {

constexpr std::string_view replacement = "\xEF\xBF\xBD";

// Length of the valid sequence starting at `i`, or the length of the
// maximal prefix of a valid sequence (at least 1) negated when it is
// ill-formed there.
int sequence_length(std::string_view bytes, std::size_t i) {
    const auto lead = static_cast<std::uint8_t>(bytes[i]);
    if (lead < 0x80) {
        return 1;
    }
    int length = 0;
    std::uint8_t low = 0x80;  // range of the second byte
    std::uint8_t high = 0xBF;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        if (lead == 0xE0) {
            low = 0xA0;
        } else if (lead == 0xED) {
            high = 0x9F;
        }
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        if (lead == 0xF0) {
            low = 0x90;
        } else if (lead == 0xF4) {
            high = 0x8F;
        }
    } else {
        return -1;
    }
    for (int k = 1; k < length; ++k) {
        if (i + k >= bytes.size()) {
            return -k;
        }
        const auto byte = static_cast<std::uint8_t>(bytes[i + k]);
        const std::uint8_t lo = k == 1 ? low : 0x80;
        const std::uint8_t hi = k == 1 ? high : 0xBF;
        if (byte < lo || byte > hi) {
            return -k;
        }
    }
    return length;
}

}  // namespace

std::string lossy_utf8(std::string_view bytes) {
    std::string out;
    out.reserve(bytes.size());
    std::size_t i = 0;
    while (i < bytes.size()) {
        const int length = sequence_length(bytes, i);
        if (length > 0) {
            out.append(bytes.substr(i, static_cast<std::size_t>(length)));
            i += static_cast<std::size_t>(length);
        } else {
            out.append(replacement);
            i += static_cast<std::size_t>(-length);
        }
    }
    return out;
}

}  // namespace vorn::tests
