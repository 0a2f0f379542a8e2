#pragma once

#include <string>
#include <string_view>

namespace vorn::tests {

// The bytes as UTF-8 text: every maximal ill-formed subsequence is replaced
// by one U+FFFD replacement character; valid text passes unchanged.
std::string lossy_utf8(std::string_view bytes);

}  // namespace vorn::tests
