#include "vorn/runtime/utf8.hpp"

namespace vorn::runtime {

Utf8Step utf8_step(std::string_view text, std::size_t i) noexcept {
    const auto lead = static_cast<unsigned char>(text[i]);
    if (lead < 0x80) {
        return {1, true};
    }
    std::size_t continuation = 0;
    unsigned char low = 0x80;
    unsigned char high = 0xBF;
    if (lead >= 0xC2 && lead <= 0xDF) {
        continuation = 1;
    } else if (lead == 0xE0) {
        continuation = 2;
        low = 0xA0;  // no overlong forms
    } else if (lead == 0xED) {
        continuation = 2;
        high = 0x9F;  // no surrogates
    } else if (lead >= 0xE1 && lead <= 0xEF) {
        continuation = 2;
    } else if (lead == 0xF0) {
        continuation = 3;
        low = 0x90;  // no overlong forms
    } else if (lead >= 0xF1 && lead <= 0xF3) {
        continuation = 3;
    } else if (lead == 0xF4) {
        continuation = 3;
        high = 0x8F;  // nothing above U+10FFFF
    } else {
        return {1, false};
    }
    std::size_t length = 1;
    for (std::size_t k = 0; k < continuation; ++k) {
        if (i + length >= text.size()) {
            return {length, false};
        }
        const auto byte = static_cast<unsigned char>(text[i + length]);
        if (byte < low || byte > high) {
            return {length, false};
        }
        low = 0x80;
        high = 0xBF;
        ++length;
    }
    return {length, true};
}

bool is_valid_utf8(std::string_view text) noexcept {
    for (std::size_t i = 0; i < text.size();) {
        const Utf8Step step = utf8_step(text, i);
        if (!step.valid) {
            return false;
        }
        i += step.length;
    }
    return true;
}

std::string lossy_utf8(std::string_view bytes) {
    std::string out;
    out.reserve(bytes.size());
    for (std::size_t i = 0; i < bytes.size();) {
        const Utf8Step step = utf8_step(bytes, i);
        out.append(step.valid ? bytes.substr(i, step.length) : utf8_replacement);
        i += step.length;
    }
    return out;
}

}  // namespace vorn::runtime
