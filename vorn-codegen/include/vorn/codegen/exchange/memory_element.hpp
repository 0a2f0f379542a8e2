#pragma once
// Memory elements: the unit of tile memory for hazard tracking. The first
// 512 KiB of a tile are cut into 16 KiB elements, the rest into 32 KiB
// elements. Two accesses that touch one element conflict for the placement's
// hazard checks even when their bytes are disjoint.

#include <compare>
#include <cstdint>
#include <span>
#include <vector>

namespace vorn::codegen {

// Byte address where the upper region (32 KiB elements) begins.
inline constexpr std::uint32_t upper_region_base = 0x80000;
inline constexpr std::uint32_t lower_element_size = 0x4000;
inline constexpr std::uint32_t upper_element_size = 0x8000;

struct ExchangeMemoryElement {
    bool upper_region = false;
    std::uint32_t element_index = 0;

    // The element holding a byte address.
    static constexpr ExchangeMemoryElement of(std::uint32_t address) noexcept {
        if (address < upper_region_base) {
            return {false, address >> 14};
        }
        return {true, (address - upper_region_base) >> 15};
    }

    // Lower region before upper region, then by index: the order of the
    // addresses the elements cover.
    friend constexpr auto operator<=>(const ExchangeMemoryElement&, const ExchangeMemoryElement&) noexcept = default;
};

// The end of the span of `words` words from `start`: start + 4 * words,
// saturated to 0xFFFFFFFF when it does not fit 32 bits.
constexpr std::uint32_t saturating_span_end(std::uint32_t start, std::uint32_t words) noexcept {
    if (words > 0x3FFFFFFFU) {
        return 0xFFFFFFFFU;
    }
    const std::uint32_t bytes = words * 4U;
    return bytes > 0xFFFFFFFFU - start ? 0xFFFFFFFFU : start + bytes;
}

// Appends the elements of the span (start, words) to `out`, ascending and
// without duplicates; a span whose start is not below its saturated end adds
// nothing.
void append_span_elements(std::uint32_t start, std::uint32_t words, std::vector<ExchangeMemoryElement>& out);

// Appends the union of the elements of the spans (start, words) for every
// start in `starts` to `out`: the appended elements are ascending and without
// duplicates (what `out` held before is left alone).
void append_spans_elements(std::span<const std::uint32_t> starts, std::uint32_t words,
                           std::vector<ExchangeMemoryElement>& out);

// The elements of the span (start, words), ascending and without duplicates.
std::vector<ExchangeMemoryElement> span_elements(std::uint32_t start, std::uint32_t words);

// True when some element of the span (start, words) is in `elements`, which
// must be ascending.
bool span_meets_elements(std::uint32_t start, std::uint32_t words,
                         std::span<const ExchangeMemoryElement> elements) noexcept;

// True when some element of the first span is an element of the second.
bool spans_share_effective_memory_element(std::uint32_t start1, std::uint32_t words1, std::uint32_t start2,
                                          std::uint32_t words2) noexcept;

}  // namespace vorn::codegen
