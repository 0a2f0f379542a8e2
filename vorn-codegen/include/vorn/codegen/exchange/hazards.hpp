#pragma once
// Memory hazards of one tile: the busy windows of its memory elements.
//
// On one tile a memory element must not be read by an outgoing transfer while
// an incoming transfer writes it. The placement keeps, per tile, one history
// of read windows and one of write windows (TileMemorySchedule); before it
// places a transfer it asks the opposite history of every tile involved until
// which cycle earlier accesses conflict with the new windows, and after
// placing it records them.
//
// A history keeps, per element, its windows sorted by start, each with the
// running maximum of the ends so far. A conflict query is then one lookup in
// the ordered element map and one binary search per element, however many
// windows overlap.

#include <cstddef>
#include <cstdint>
#include <iosfwd>
#include <optional>
#include <span>
#include <vector>

#include "vorn/codegen/exchange/memory_element.hpp"

namespace vorn::codegen {

// One busy window [start, end) of one memory element.
struct Interval {
    std::uint32_t start = 0;
    std::uint32_t end = 0;
    // The largest `end` of this interval and of every interval before it in
    // its element's sequence.
    std::uint32_t max_end = 0;

    friend constexpr bool operator==(const Interval&, const Interval&) noexcept = default;
};

std::ostream& operator<<(std::ostream& out, const Interval& interval);

class MemoryHistory {
public:
    // Records the window [start, end) on every given element, in order. The
    // window goes after every interval of the element that starts at or
    // before `start`, so windows with equal starts keep their recording
    // order; the running maxima after it are brought up to date.
    void record(std::span<const ExchangeMemoryElement> elements, std::uint32_t start, std::uint32_t end);

    // The latest end of any recorded interval on the given elements that
    // overlaps [start, end), or nothing when none does. An interval that only
    // touches the window (it ends at `start` or starts at `end`) does not
    // overlap it. Precisely: per element, the last interval starting before
    // `end` conflicts when its running maximum exceeds `start`, and the
    // result is the largest such maximum.
    std::optional<std::uint32_t> conflict_end(std::span<const ExchangeMemoryElement> elements, std::uint32_t start,
                                              std::uint32_t end) const;

    // The intervals of one element, sorted by start; empty when the element
    // was never recorded.
    std::span<const Interval> intervals(ExchangeMemoryElement element) const;

    // Number of elements with an entry.
    std::size_t element_count() const noexcept { return elements_.size(); }
    bool empty() const noexcept { return elements_.empty(); }

    friend bool operator==(const MemoryHistory&, const MemoryHistory&) = default;

private:
    // The entry of an element, if it has one.
    const std::vector<Interval>* find(ExchangeMemoryElement element) const noexcept;

    // The ordered map from element to its intervals, kept as two parallel
    // sorted sequences: a tile's memory has a few dozen elements, so a
    // binary search over contiguous keys beats a node-based tree, and new
    // keys are rare after the first transfers.
    std::vector<ExchangeMemoryElement> elements_;
    std::vector<std::vector<Interval>> intervals_;
};

// The two histories of one tile.
struct TileMemorySchedule {
    MemoryHistory sends;     // windows in which an outgoing transfer reads the tile's memory
    MemoryHistory receives;  // windows in which an incoming transfer writes it

    friend bool operator==(const TileMemorySchedule&, const TileMemorySchedule&) = default;
};

}  // namespace vorn::codegen
