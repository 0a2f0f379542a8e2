#include "vorn/codegen/exchange/hazards.hpp"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <random>
#include <string_view>
#include <vector>

#include <fmt/format.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>

namespace vorn::codegen {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;

constexpr ExchangeMemoryElement lower(std::uint32_t index) { return {false, index}; }
constexpr ExchangeMemoryElement upper(std::uint32_t index) { return {true, index}; }

struct Window {
    std::vector<ExchangeMemoryElement> elements;
    std::uint32_t start;
    std::uint32_t end;
};

MemoryHistory history_of(const std::vector<Window>& windows) {
    MemoryHistory history;
    for (const Window& window : windows) {
        history.record(window.elements, window.start, window.end);
    }
    return history;
}

TEST(MemoryHistoryTest, ConflictEndIsTheLatestEndOfAnOverlappingWindow) {
    const struct {
        std::string_view name;
        std::vector<Window> recorded;
        Window query;
        std::optional<std::uint32_t> conflict;
    } cases[] = {
        {"empty history", {}, {{lower(0)}, 0, 100}, std::nullopt},
        {"no elements asked", {{{lower(0)}, 10, 20}}, {{}, 0, 100}, std::nullopt},
        {"never-recorded element", {{{lower(0)}, 10, 20}}, {{lower(1)}, 0, 100}, std::nullopt},
        {"same index, other region", {{{lower(3)}, 10, 20}}, {{upper(3)}, 0, 100}, std::nullopt},
        {"overlap at the start", {{{lower(0)}, 10, 20}}, {{lower(0)}, 15, 25}, 20},
        {"overlap at the end", {{{lower(0)}, 10, 20}}, {{lower(0)}, 5, 11}, 20},
        {"query inside", {{{lower(0)}, 10, 20}}, {{lower(0)}, 12, 13}, 20},
        {"touching after", {{{lower(0)}, 10, 20}}, {{lower(0)}, 20, 30}, std::nullopt},
        {"touching before", {{{lower(0)}, 10, 20}}, {{lower(0)}, 0, 10}, std::nullopt},
        {"one cycle into it", {{{lower(0)}, 10, 20}}, {{lower(0)}, 19, 20}, 20},
        {"latest of several overlapping", {{{lower(0)}, 10, 30}, {{lower(0)}, 15, 22}}, {{lower(0)}, 20, 25}, 30},
        // The last window starting before the query's end is [30, 40), but the
        // earlier, longer [0, 100) still covers the query.
        {"between windows, under a longer earlier one",
         {{{lower(0)}, 0, 100}, {{lower(0)}, 10, 20}, {{lower(0)}, 30, 40}},
         {{lower(0)}, 50, 60},
         100},
        {"after every window", {{{lower(0)}, 0, 100}, {{lower(0)}, 10, 20}}, {{lower(0)}, 100, 110}, std::nullopt},
        {"windows starting at the query's end do not count",
         {{{lower(0)}, 0, 12}, {{lower(0)}, 20, 90}},
         {{lower(0)}, 10, 20},
         12},
        {"largest over the elements asked",
         {{{lower(0)}, 0, 15}, {{lower(1)}, 5, 40}, {{upper(0)}, 0, 90}},
         {{lower(0), lower(1), lower(2)}, 10, 20},
         40},
        {"an element not asked about is ignored", {{{lower(0), lower(1)}, 0, 50}, {{lower(1)}, 0, 80}},
         {{lower(0)}, 10, 20}, 50},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const MemoryHistory history = history_of(c.recorded);
        EXPECT_EQ(history.conflict_end(c.query.elements, c.query.start, c.query.end), c.conflict);
    }
}

TEST(MemoryHistoryTest, RecordKeepsStartOrderWithRunningMaximum) {
    const struct {
        std::string_view name;
        std::vector<Window> recorded;
        std::vector<Interval> intervals;  // of lower(0)
    } cases[] = {
        {"equal starts keep recording order",
         {{{lower(0)}, 5, 10}, {{lower(0)}, 5, 30}, {{lower(0)}, 5, 7}},
         {{5, 10, 10}, {5, 30, 30}, {5, 7, 30}}},
        {"an earlier start goes in front and raises every later maximum",
         {{{lower(0)}, 20, 25}, {{lower(0)}, 30, 35}, {{lower(0)}, 10, 100}},
         {{10, 100, 100}, {20, 25, 100}, {30, 35, 100}}},
        {"a window in the middle raises only what follows",
         {{{lower(0)}, 0, 12}, {{lower(0)}, 20, 25}, {{lower(0)}, 30, 60}, {{lower(0)}, 15, 40}},
         {{0, 12, 12}, {15, 40, 40}, {20, 25, 40}, {30, 60, 60}}},
        {"a short window does not lower the maximum",
         {{{lower(0)}, 0, 50}, {{lower(0)}, 10, 11}},
         {{0, 50, 50}, {10, 11, 50}}},
        {"one window on several elements lands on each", {{{lower(1), lower(0)}, 3, 9}}, {{3, 9, 9}}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const MemoryHistory history = history_of(c.recorded);
        const auto intervals = history.intervals(lower(0));
        EXPECT_EQ(std::vector<Interval>(intervals.begin(), intervals.end()), c.intervals);
    }
}

TEST(MemoryHistoryTest, OnlyRecordedElementsHaveEntries) {
    MemoryHistory history;
    EXPECT_TRUE(history.empty());
    history.record(std::vector{lower(2), upper(0)}, 1, 2);
    history.record(std::vector<ExchangeMemoryElement>{}, 5, 6);
    EXPECT_EQ(history.element_count(), 2U);
    EXPECT_THAT(history.intervals(lower(1)), IsEmpty());
    EXPECT_THAT(history.intervals(upper(0)), ElementsAre(Interval{1, 2, 2}));
    // A query does not create entries.
    EXPECT_EQ(history.conflict_end(std::vector{lower(5)}, 0, 10), std::nullopt);
    EXPECT_EQ(history.element_count(), 2U);
}

// The reference: scan every recorded window of every element asked.
struct ReferenceHistory {
    struct Entry {
        ExchangeMemoryElement element;
        std::uint32_t start;
        std::uint32_t end;
    };
    std::vector<Entry> entries;  // in recording order

    void record(const std::vector<ExchangeMemoryElement>& elements, std::uint32_t start, std::uint32_t end) {
        for (const ExchangeMemoryElement element : elements) {
            entries.push_back({element, start, end});
        }
    }

    std::optional<std::uint32_t> conflict_end(const std::vector<ExchangeMemoryElement>& elements,
                                              std::uint32_t start, std::uint32_t end) const {
        std::optional<std::uint32_t> result;
        for (const Entry& entry : entries) {
            const bool asked = std::find(elements.begin(), elements.end(), entry.element) != elements.end();
            if (asked && entry.start < end && entry.end > start) {
                result = std::max(result.value_or(0), entry.end);
            }
        }
        return result;
    }

    // The intervals of one element: sorted by start, recording order among
    // equal starts, with the running maximum of the ends.
    std::vector<Interval> intervals(ExchangeMemoryElement element) const {
        std::vector<Interval> result;
        for (const Entry& entry : entries) {
            if (entry.element == element) {
                result.push_back({entry.start, entry.end, 0});
            }
        }
        std::stable_sort(result.begin(), result.end(),
                         [](const Interval& a, const Interval& b) { return a.start < b.start; });
        std::uint32_t running = 0;
        for (Interval& interval : result) {
            running = std::max(running, interval.end);
            interval.max_end = running;
        }
        return result;
    }
};

TEST(MemoryHistoryTest, AgreesWithAScanOfEveryWindow) {
    const std::vector<ExchangeMemoryElement> universe = {lower(0), lower(1), lower(31), upper(0), upper(7)};
    std::mt19937 random(20240611);
    const auto pick = [&](std::uint32_t low, std::uint32_t high) {
        return std::uniform_int_distribution<std::uint32_t>(low, high)(random);
    };
    const auto elements = [&] {
        std::vector<ExchangeMemoryElement> chosen;
        for (const ExchangeMemoryElement element : universe) {
            if (pick(0, 2) == 0) {
                chosen.push_back(element);
            }
        }
        return chosen;
    };
    for (int round = 0; round < 50; ++round) {
        SCOPED_TRACE(fmt::format("round {}", round));
        MemoryHistory history;
        ReferenceHistory reference;
        // Short cycle ranges make equal starts, touching and empty windows
        // common.
        const std::uint32_t span = pick(8, 200);
        for (int step = 0; step < 120; ++step) {
            const std::uint32_t start = pick(0, span);
            const std::uint32_t end = start + pick(0, span / 4);
            const auto chosen = elements();
            if (pick(0, 1) == 0) {
                history.record(chosen, start, end);
                reference.record(chosen, start, end);
            } else {
                ASSERT_EQ(history.conflict_end(chosen, start, end), reference.conflict_end(chosen, start, end))
                    << "query [" << start << ", " << end << ") at step " << step;
            }
        }
        for (const ExchangeMemoryElement element : universe) {
            const auto intervals = history.intervals(element);
            ASSERT_EQ(std::vector<Interval>(intervals.begin(), intervals.end()), reference.intervals(element));
        }
    }
}

}  // namespace
}  // namespace vorn::codegen
