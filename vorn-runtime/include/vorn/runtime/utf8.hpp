#pragma once
// UTF-8 well-formedness, shared by the log formats and by the commands that
// show file paths and other byte strings as text.

#include <cstddef>
#include <string>
#include <string_view>

namespace vorn::runtime {

// U+FFFD REPLACEMENT CHARACTER in UTF-8.
inline constexpr std::string_view utf8_replacement = "\xEF\xBF\xBD";

// The byte sequence at `i` (< text.size()): a whole well-formed UTF-8
// character (valid), or the maximal prefix of one that the next byte (or the
// end) cannot continue (invalid, at least one byte).
struct Utf8Step {
    std::size_t length;
    bool valid;
};
Utf8Step utf8_step(std::string_view text, std::size_t i) noexcept;

bool is_valid_utf8(std::string_view text) noexcept;

// The bytes as UTF-8 text: every maximal ill-formed subsequence is replaced
// by one U+FFFD replacement character; valid text passes unchanged.
std::string lossy_utf8(std::string_view bytes);

}  // namespace vorn::runtime
