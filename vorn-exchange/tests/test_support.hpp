#pragma once
// Small helpers shared by the tests of the package.

#include <optional>
#include <span>
#include <string>

#include <fmt/format.h>
#include <tl/expected.hpp>

#include "vorn/exchange/error.hpp"
#include "vorn/exchange/words.hpp"

namespace vorn::exchange::testing {

// The error of a result; nothing for a success.
template <typename T>
std::optional<ExchangeError> error_of(const tl::expected<T, ExchangeError>& result) {
    if (result) {
        return std::nullopt;
    }
    return result.error();
}

// The words as eight hex digits each, separated by blanks.
inline std::string hex(std::span<const Word> words) {
    std::string text;
    for (const Word word : words) {
        text += fmt::format("{}{:08x}", text.empty() ? "" : " ", word);
    }
    return text;
}

}  // namespace vorn::exchange::testing
