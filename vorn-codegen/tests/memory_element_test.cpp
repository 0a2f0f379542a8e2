#include "vorn/codegen/exchange/memory_element.hpp"

#include <algorithm>
#include <cstdint>
#include <iterator>
#include <ostream>
#include <vector>

#include <fmt/format.h>
#include <gtest/gtest.h>

namespace vorn::codegen {

// Readable failure output; internal linkage, found by argument lookup.
static void PrintTo(const ExchangeMemoryElement& element, std::ostream* out) {
    *out << (element.upper_region ? "upper " : "lower ") << element.element_index;
}

namespace {

constexpr ExchangeMemoryElement lower(std::uint32_t index) { return {false, index}; }
constexpr ExchangeMemoryElement upper(std::uint32_t index) { return {true, index}; }

TEST(ExchangeMemoryElementTest, MapsAddressesToElements) {
    const struct {
        std::uint32_t address;
        ExchangeMemoryElement element;
    } cases[] = {
        {0x0, lower(0)},          {0x3FFF, lower(0)},       {0x4000, lower(1)},
        {0x7FFFF, lower(31)},     {0x80000, upper(0)},      {0x87FFF, upper(0)},
        {0x88000, upper(1)},      {0xFFFFFFFF, upper(0x1FFEF)},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(fmt::format("address {:#x}", c.address));
        EXPECT_EQ(ExchangeMemoryElement::of(c.address), c.element);
    }
}

TEST(ExchangeMemoryElementTest, OrdersByRegionThenIndex) {
    EXPECT_LT(lower(31), upper(0));
    EXPECT_LT(lower(100), upper(0));  // region first, whatever the index
    EXPECT_LT(upper(0), upper(1));
    EXPECT_EQ(upper(3), upper(3));
    EXPECT_NE(lower(3), upper(3));
}

TEST(SpanElementsTest, ListsEveryElementTheSpanTouches) {
    const struct {
        std::uint32_t start;
        std::uint32_t words;
        std::vector<ExchangeMemoryElement> elements;
    } cases[] = {
        {0x0, 1, {lower(0)}},
        {0x3FFC, 1, {lower(0)}},
        {0x3FFC, 2, {lower(0), lower(1)}},
        {0x7FFFC, 2, {lower(31), upper(0)}},  // across the region border
        {0x4000, 0x2000, {lower(1), lower(2)}},
        {0x4000, 0x2001, {lower(1), lower(2), lower(3)}},
        {0x87FF8, 4, {upper(0), upper(1)}},
        {0x100, 0, {}},
        // The end saturates at 0xFFFFFFFF: the span still ends in the last element.
        {0xFFFFFFF0, 8, {upper(0x1FFEF)}},
        // Start 0xFFFFFFFF is not below the saturated end: no elements.
        {0xFFFFFFFF, 1, {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(fmt::format("start {:#x} words {}", c.start, c.words));
        EXPECT_EQ(span_elements(c.start, c.words), c.elements);
    }
}

TEST(SpanElementsTest, WordCountsBeyondThe32BitRangeSaturate) {
    EXPECT_EQ(saturating_span_end(0, 0x3FFFFFFF), 0xFFFFFFFC);
    EXPECT_EQ(saturating_span_end(0, 0x40000000), 0xFFFFFFFF);  // 4 * words does not fit
    EXPECT_EQ(saturating_span_end(4, 0x3FFFFFFF), 0xFFFFFFFF);  // the sum does not fit
    EXPECT_EQ(saturating_span_end(3, 0x3FFFFFFF), 0xFFFFFFFF);  // exactly 2^32 - 1
    EXPECT_EQ(saturating_span_end(0xFFFFFFFC, 1), 0xFFFFFFFF);  // would end at 2^32

    const std::vector<ExchangeMemoryElement> all = span_elements(0, 0xFFFFFFFF);
    ASSERT_EQ(all.size(), 32U + 0x1FFF0U);
    EXPECT_EQ(all.front(), lower(0));
    EXPECT_EQ(all[31], lower(31));
    EXPECT_EQ(all[32], upper(0));
    EXPECT_EQ(all.back(), upper(0x1FFEF));
    EXPECT_TRUE(std::is_sorted(all.begin(), all.end()));
}

TEST(SpansShareEffectiveMemoryElementTest, Examples) {
    EXPECT_FALSE(spans_share_effective_memory_element(0x0, 1, 0x4000, 1));
    EXPECT_TRUE(spans_share_effective_memory_element(0x0, 1, 0x100, 1));      // disjoint bytes, one element
    EXPECT_TRUE(spans_share_effective_memory_element(0x3FFC, 2, 0x4000, 1));  // the first spills over
    EXPECT_TRUE(spans_share_effective_memory_element(0x7FFFC, 2, 0x80000, 1));
    EXPECT_FALSE(spans_share_effective_memory_element(0x7FFFC, 1, 0x80000, 1));
    EXPECT_FALSE(spans_share_effective_memory_element(0x100, 0, 0x100, 4));  // an empty span has no element
    EXPECT_FALSE(spans_share_effective_memory_element(0x100, 4, 0x100, 0));
}

// The sharing test works on element ranges; it must agree with intersecting
// the element lists, including around region borders and saturated ends.
TEST(SpansShareEffectiveMemoryElementTest, AgreesWithIntersectingTheElementLists) {
    struct Span {
        std::uint32_t start;
        std::uint32_t words;
        std::vector<ExchangeMemoryElement> elements;
    };
    std::vector<Span> spans;
    for (const std::uint32_t start : {0x0U, 0x3FFCU, 0x4000U, 0x7C000U, 0x7FFFCU, 0x80000U, 0x87FFCU, 0x88000U,
                                      0x90004U, 0xFFFF7FF8U, 0xFFFFFFF0U, 0xFFFFFFFCU}) {
        for (const std::uint32_t words : {0U, 1U, 2U, 0x1000U, 0x1001U, 0x2001U}) {
            spans.push_back({start, words, span_elements(start, words)});
        }
    }
    // Saturated spans near the top of memory, where the element lists stay short.
    for (const std::uint32_t start : {0xFFFF0000U, 0xFFFF7FF8U, 0xFFFFFFF0U}) {
        spans.push_back({start, 0x40000000U, span_elements(start, 0x40000000U)});
    }
    for (const Span& a : spans) {
        for (const Span& b : spans) {
            std::vector<ExchangeMemoryElement> common;
            std::set_intersection(a.elements.begin(), a.elements.end(), b.elements.begin(), b.elements.end(),
                                  std::back_inserter(common));
            SCOPED_TRACE(fmt::format("({:#x}, {}) and ({:#x}, {})", a.start, a.words, b.start, b.words));
            EXPECT_EQ(spans_share_effective_memory_element(a.start, a.words, b.start, b.words), !common.empty());
        }
    }
}

TEST(SpanMeetsElementsTest, AgreesWithSearchingTheSpansElements) {
    // Element sets: empty, one lower element, scattered lower and upper ones.
    const std::vector<std::vector<ExchangeMemoryElement>> sets = {
        {}, {lower(1)}, {lower(0), lower(2), upper(0)}, {lower(31), upper(1), upper(3)}};
    for (const std::uint32_t start : {0x0U, 0x3FFCU, 0x4000U, 0x7FFFCU, 0x80000U, 0x87FFCU, 0x88000U, 0x90004U}) {
        for (const std::uint32_t words : {0U, 1U, 2U, 0x1000U, 0x1001U, 0x2001U}) {
            const std::vector<ExchangeMemoryElement> span = span_elements(start, words);
            for (const auto& set : sets) {
                const bool expected = std::any_of(span.begin(), span.end(), [&](const ExchangeMemoryElement& e) {
                    return std::binary_search(set.begin(), set.end(), e);
                });
                SCOPED_TRACE(fmt::format("({:#x}, {}) against {} elements", start, words, set.size()));
                EXPECT_EQ(span_meets_elements(start, words, set), expected);
            }
        }
    }
}

TEST(AppendSpansElementsTest, AppendsTheSortedUnionAfterWhatIsThere) {
    std::vector<ExchangeMemoryElement> out = {upper(5)};
    const std::uint32_t starts[] = {0x8000, 0x0, 0x4000};
    append_spans_elements(starts, 1, out);
    EXPECT_EQ(out, (std::vector<ExchangeMemoryElement>{upper(5), lower(0), lower(1), lower(2)}));
    const std::uint32_t one[] = {0x3FFC};
    append_spans_elements(one, 2, out);
    EXPECT_EQ(out, (std::vector<ExchangeMemoryElement>{upper(5), lower(0), lower(1), lower(2), lower(0), lower(1)}));
}

}  // namespace
}  // namespace vorn::codegen
