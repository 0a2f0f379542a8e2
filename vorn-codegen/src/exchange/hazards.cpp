#include "vorn/codegen/exchange/hazards.hpp"

#include <algorithm>
#include <iterator>
#include <ostream>

namespace vorn::codegen {

std::ostream& operator<<(std::ostream& out, const Interval& interval) {
    return out << "[" << interval.start << ", " << interval.end << ") max_end " << interval.max_end;
}

const std::vector<Interval>* MemoryHistory::find(ExchangeMemoryElement element) const noexcept {
    const auto key = std::lower_bound(elements_.begin(), elements_.end(), element);
    if (key == elements_.end() || *key != element) {
        return nullptr;
    }
    return &intervals_[static_cast<std::size_t>(key - elements_.begin())];
}

void MemoryHistory::record(std::span<const ExchangeMemoryElement> elements, std::uint32_t start, std::uint32_t end) {
    for (const ExchangeMemoryElement element : elements) {
        const auto key = std::lower_bound(elements_.begin(), elements_.end(), element);
        const auto slot = static_cast<std::size_t>(key - elements_.begin());
        if (key == elements_.end() || *key != element) {
            elements_.insert(key, element);
            intervals_.emplace(intervals_.begin() + static_cast<std::ptrdiff_t>(slot));
        }
        std::vector<Interval>& intervals = intervals_[slot];
        const auto position = std::partition_point(intervals.begin(), intervals.end(),
                                                   [start](const Interval& interval) { return interval.start <= start; });
        const std::uint32_t before = position == intervals.begin() ? 0 : std::prev(position)->max_end;
        const auto inserted = intervals.insert(position, Interval{start, end, std::max(before, end)});
        // Every later running maximum becomes max(its old value, end). The old
        // values never decrease along the sequence, so once one reaches `end`
        // the rest are unchanged.
        for (auto later = std::next(inserted); later != intervals.end() && later->max_end < end; ++later) {
            later->max_end = end;
        }
    }
}

std::optional<std::uint32_t> MemoryHistory::conflict_end(std::span<const ExchangeMemoryElement> elements,
                                                         std::uint32_t start, std::uint32_t end) const {
    std::optional<std::uint32_t> result;
    if (elements_.empty()) {
        return result;
    }
    for (const ExchangeMemoryElement element : elements) {
        const std::vector<Interval>* intervals = find(element);
        if (intervals == nullptr) {
            continue;
        }
        const auto after = std::partition_point(intervals->begin(), intervals->end(),
                                                [end](const Interval& interval) { return interval.start < end; });
        if (after == intervals->begin()) {
            continue;
        }
        const std::uint32_t latest = std::prev(after)->max_end;
        if (latest > start && (!result || latest > *result)) {
            result = latest;
        }
    }
    return result;
}

std::span<const Interval> MemoryHistory::intervals(ExchangeMemoryElement element) const {
    const std::vector<Interval>* intervals = find(element);
    if (intervals == nullptr) {
        return {};
    }
    return *intervals;
}

}  // namespace vorn::codegen
