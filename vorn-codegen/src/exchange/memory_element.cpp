#include "vorn/codegen/exchange/memory_element.hpp"

#include <algorithm>
#include <cstddef>
#include <optional>
#include <utility>

namespace vorn::codegen {
namespace {

// First byte address of the element after `element`, saturated to
// 0xFFFFFFFF (only the last upper element reaches 2^32).
constexpr std::uint32_t next_element_start(ExchangeMemoryElement element) noexcept {
    const std::uint64_t base = element.upper_region ? upper_region_base : 0;
    const std::uint64_t size = element.upper_region ? upper_element_size : lower_element_size;
    const std::uint64_t next = base + (std::uint64_t{element.element_index} + 1) * size;
    return next > 0xFFFFFFFFU ? 0xFFFFFFFFU : static_cast<std::uint32_t>(next);
}

// Position of an element in the element order, counting lower elements first.
constexpr std::uint64_t ordinal(ExchangeMemoryElement element) noexcept {
    constexpr std::uint64_t lower_elements = upper_region_base / lower_element_size;
    return element.upper_region ? lower_elements + element.element_index : element.element_index;
}

// The first and last element of a span, or nothing for an empty span. The
// elements of a span are exactly the elements from its first to its last:
// they cover consecutive addresses and are ordered like them.
constexpr std::optional<std::pair<std::uint64_t, std::uint64_t>> element_range(std::uint32_t start,
                                                                               std::uint32_t words) noexcept {
    const std::uint32_t end = saturating_span_end(start, words);
    if (start >= end) {
        return std::nullopt;
    }
    return std::pair{ordinal(ExchangeMemoryElement::of(start)), ordinal(ExchangeMemoryElement::of(end - 1))};
}

}  // namespace

void append_span_elements(std::uint32_t start, std::uint32_t words, std::vector<ExchangeMemoryElement>& out) {
    const std::uint32_t end = saturating_span_end(start, words);
    std::uint32_t cur = start;
    while (cur < end) {
        const ExchangeMemoryElement element = ExchangeMemoryElement::of(cur);
        out.push_back(element);
        // A saturated next start equals or passes every possible end, so the
        // walk always terminates.
        cur = std::min(next_element_start(element), end);
    }
}

void append_spans_elements(std::span<const std::uint32_t> starts, std::uint32_t words,
                           std::vector<ExchangeMemoryElement>& out) {
    const std::size_t first = out.size();
    for (const std::uint32_t start : starts) {
        append_span_elements(start, words, out);
    }
    // One span's elements are already ascending and distinct.
    if (starts.size() > 1) {
        const auto begin = out.begin() + static_cast<std::ptrdiff_t>(first);
        std::sort(begin, out.end());
        out.erase(std::unique(begin, out.end()), out.end());
    }
}

std::vector<ExchangeMemoryElement> span_elements(std::uint32_t start, std::uint32_t words) {
    std::vector<ExchangeMemoryElement> elements;
    append_span_elements(start, words, elements);
    return elements;
}

bool span_meets_elements(std::uint32_t start, std::uint32_t words,
                         std::span<const ExchangeMemoryElement> elements) noexcept {
    const std::uint32_t end = saturating_span_end(start, words);
    if (start >= end) {
        return false;
    }
    // The span's elements are every element from its first to its last.
    const auto candidate = std::lower_bound(elements.begin(), elements.end(), ExchangeMemoryElement::of(start));
    return candidate != elements.end() && *candidate <= ExchangeMemoryElement::of(end - 1);
}

bool spans_share_effective_memory_element(std::uint32_t start1, std::uint32_t words1, std::uint32_t start2,
                                          std::uint32_t words2) noexcept {
    const auto first = element_range(start1, words1);
    const auto second = element_range(start2, words2);
    return first && second && first->first <= second->second && second->first <= first->second;
}

}  // namespace vorn::codegen
