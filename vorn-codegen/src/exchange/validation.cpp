#include "vorn/codegen/exchange/validation.hpp"

#include <algorithm>
#include <cstddef>
#include <limits>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <fmt/format.h>

#include "vorn/codegen/exchange/memory_element.hpp"
#include "vorn/exchange/diagnostic.hpp"
#include "vorn/exchange/topology.hpp"

namespace vorn::codegen {
namespace {

using vorn::exchange::Topology;

tl::unexpected<ExchangeLoweringError> broken(std::string text) {
    return tl::unexpected(ExchangeLoweringError::invariant(std::move(text)));
}

tl::unexpected<ExchangeLoweringError> exchange_failure(vorn::exchange::ExchangeError error) {
    return tl::unexpected(ExchangeLoweringError::exchange(error));
}

// Transfers with at most this many destinations find the destination of a
// receive by scanning them; longer lists get a sorted index.
constexpr std::size_t linear_destination_limit = 8;

constexpr std::size_t not_indexed = std::numeric_limits<std::size_t>::max();

// One destination of a transfer in its sorted index: ordered by tile, then
// address, then position, so the first match of (tile, address) is the first
// such destination of the transfer.
struct IndexedDestination {
    std::uint16_t tile = 0;
    std::uint32_t address = 0;
    std::uint32_t position = 0;

    friend constexpr auto operator<=>(const IndexedDestination&, const IndexedDestination&) noexcept = default;
};

// What the validation derives from the snapshot before it reads the tiles:
// the counters, the partner of every paired source, and the destination
// lookup.
struct SnapshotIndex {
    std::vector<std::uint64_t> send_counts;          // per transfer
    std::vector<std::uint64_t> partner_busy_counts;  // per transfer
    std::vector<std::uint64_t> receive_counts;       // per destination, flat
    std::vector<std::size_t> destination_offsets;    // per transfer, into receive_counts; one more at the end
    std::vector<std::optional<std::uint16_t>> partners;  // per transfer, Paired64 only
    std::vector<bool> partner_tiles;                 // per tile of the phase
    std::vector<std::size_t> index_starts;           // per transfer, into sorted, or not_indexed
    std::vector<IndexedDestination> sorted;

    // The position of the first destination of `transfer` on `tile` at
    // `address`, if any.
    std::optional<std::size_t> find_destination(const ExchangeScheduleTransfer& transfer, std::size_t position,
                                                std::uint16_t tile, std::uint32_t address) const {
        const std::size_t start = index_starts[position];
        if (start == not_indexed) {
            for (std::size_t j = 0; j < transfer.destinations.size(); ++j) {
                if (transfer.destinations[j].tile == tile && transfer.destinations[j].address == address) {
                    return j;
                }
            }
            return std::nullopt;
        }
        const auto first = sorted.begin() + static_cast<std::ptrdiff_t>(start);
        const auto last = first + static_cast<std::ptrdiff_t>(transfer.destinations.size());
        const auto found = std::lower_bound(first, last, IndexedDestination{tile, address, 0});
        if (found == last || found->tile != tile || found->address != address) {
            return std::nullopt;
        }
        return found->position;
    }
};

tl::expected<SnapshotIndex, ExchangeLoweringError> index_snapshot(const Topology& machine, std::uint16_t tile_count,
                                                                  const ExchangeScheduleProblem& problem) {
    const std::size_t count = problem.transfers.size();
    SnapshotIndex index;
    index.send_counts.assign(count, 0);
    index.partner_busy_counts.assign(count, 0);
    index.partners.assign(count, std::nullopt);
    index.partner_tiles.assign(tile_count, false);
    index.index_starts.assign(count, not_indexed);
    index.destination_offsets.reserve(count + 1);
    std::size_t destinations = 0;
    for (std::size_t i = 0; i < count; ++i) {
        const ExchangeScheduleTransfer& transfer = problem.transfers[i];
        index.destination_offsets.push_back(destinations);
        destinations += transfer.destinations.size();
        if (transfer.width == ExchangeItemWidth::Paired64) {
            const auto partner = machine.paired_logical(transfer.source);
            if (!partner) {
                return exchange_failure(partner.error());
            }
            index.partners[i] = *partner;
            // A partner beyond the phase's tiles (a paired source on the last
            // tile of an odd section) has no tile to mark.
            if (*partner < tile_count) {
                index.partner_tiles[*partner] = true;
            }
        }
        if (transfer.destinations.size() > linear_destination_limit) {
            index.index_starts[i] = index.sorted.size();
            for (std::size_t j = 0; j < transfer.destinations.size(); ++j) {
                const ExchangeScheduleDestination& destination = transfer.destinations[j];
                index.sorted.push_back({destination.tile, destination.address, static_cast<std::uint32_t>(j)});
            }
            std::sort(index.sorted.begin() + static_cast<std::ptrdiff_t>(index.index_starts[i]), index.sorted.end());
        }
    }
    index.destination_offsets.push_back(destinations);
    index.receive_counts.assign(destinations, 0);
    return index;
}

// The first source address of a transfer. A snapshot transfer always has one
// once the snapshot is validated; an unvalidated one without any matches no
// activity.
std::optional<std::uint32_t> first_source_address(const ExchangeScheduleTransfer& transfer) {
    if (transfer.source_addresses.empty()) {
        return std::nullopt;
    }
    return transfer.source_addresses.front();
}

// Bus windows [start, completion) of one kind must not overlap: sorted by
// start, then completion, each starts no earlier than the previous one's
// completion.
bool bus_windows_overlap(std::vector<std::pair<std::uint32_t, std::uint32_t>>& windows) {
    std::sort(windows.begin(), windows.end());
    for (std::size_t i = 1; i < windows.size(); ++i) {
        if (windows[i].first < windows[i - 1].second) {
            return true;
        }
    }
    return false;
}

// One activity of a tile in a sweep over time: its window and where its
// memory elements lie in the tile's element pool.
struct SweepEntry {
    std::uint32_t start = 0;
    std::uint32_t end = 0;
    std::uint32_t activity = 0;  // index in the tile's activity list
    bool primary = false;        // the sweep's first kind: Send, or PartnerBusy
};

void sort_by_start(std::vector<SweepEntry>& entries) {
    std::sort(entries.begin(), entries.end(), [](const SweepEntry& a, const SweepEntry& b) {
        return a.start != b.start ? a.start < b.start : a.activity < b.activity;
    });
}

// Drops the entries whose window ends at or before `cycle`.
void retire(std::vector<std::uint32_t>& active, const std::vector<SweepEntry>& entries, std::uint32_t cycle) {
    for (std::size_t i = 0; i < active.size();) {
        if (entries[active[i]].end <= cycle) {
            active[i] = active.back();
            active.pop_back();
        } else {
            ++i;
        }
    }
}

constexpr bool windows_overlap(const SweepEntry& a, const SweepEntry& b) noexcept {
    return a.start < b.end && b.start < a.end;
}

// Reused buffers of the per-tile checks.
struct TileScratch {
    std::vector<std::pair<std::uint32_t, std::uint32_t>> windows;
    std::vector<SweepEntry> entries;
    std::vector<std::uint32_t> active_primary;
    std::vector<std::uint32_t> active_secondary;
    // Memory elements of the sweep entries: entry k owns
    // pool[element_offsets[k] .. element_offsets[k + 1]).
    std::vector<ExchangeMemoryElement> pool;
    std::vector<std::size_t> element_offsets;
};

// True when some Send and some Receive of the tile access one memory element
// in overlapping windows [start, end). A send occupies the elements of every
// source address of its transfer.
bool memory_overlap(std::span<const ExchangeActivity> activities, const ExchangeScheduleProblem& problem,
                    TileScratch& scratch) {
    auto& entries = scratch.entries;
    entries.clear();
    bool sends = false;
    bool receives = false;
    for (std::size_t k = 0; k < activities.size(); ++k) {
        const ExchangeActivity& activity = activities[k];
        if (activity.kind == ExchangeActivityKind::Send || activity.kind == ExchangeActivityKind::Receive) {
            const bool send = activity.kind == ExchangeActivityKind::Send;
            sends = sends || send;
            receives = receives || !send;
            entries.push_back({activity.start, activity.end, static_cast<std::uint32_t>(k), send});
        }
    }
    if (!sends || !receives) {
        return false;
    }
    sort_by_start(entries);

    // Elements in sweep order, each entry's sorted and free of duplicates.
    auto& pool = scratch.pool;
    auto& offsets = scratch.element_offsets;
    pool.clear();
    offsets.assign(1, 0);
    for (const SweepEntry& entry : entries) {
        const ExchangeActivity& activity = activities[entry.activity];
        if (entry.primary) {
            append_spans_elements(problem.transfers[activity.transfer].source_addresses, activity.words, pool);
        } else {
            append_span_elements(activity.address, activity.words, pool);
        }
        offsets.push_back(pool.size());
    }
    const auto elements = [&](std::size_t entry) {
        return std::span<const ExchangeMemoryElement>(pool).subspan(offsets[entry], offsets[entry + 1] - offsets[entry]);
    };
    const auto share = [&](std::size_t a, std::size_t b) {
        const auto first = elements(a);
        const auto second = elements(b);
        for (const ExchangeMemoryElement element : second) {
            if (std::binary_search(first.begin(), first.end(), element)) {
                return true;
            }
        }
        return false;
    };

    auto& active_sends = scratch.active_primary;
    auto& active_receives = scratch.active_secondary;
    active_sends.clear();
    active_receives.clear();
    for (std::size_t k = 0; k < entries.size(); ++k) {
        const SweepEntry& entry = entries[k];
        retire(active_sends, entries, entry.start);
        retire(active_receives, entries, entry.start);
        // Every earlier entry still active started no later than this one and
        // ends after its start, so every overlapping pair is met here once.
        for (const std::uint32_t other : entry.primary ? active_receives : active_sends) {
            if (windows_overlap(entry, entries[other]) && share(k, other)) {
                return true;
            }
        }
        (entry.primary ? active_sends : active_receives).push_back(static_cast<std::uint32_t>(k));
    }
    return false;
}

// True when a PartnerBusy period of the tile overlaps, in its bus window
// [start, completion), a Send or another PartnerBusy of a different transfer.
bool borrowed_overlap(std::span<const ExchangeActivity> activities, TileScratch& scratch) {
    auto& entries = scratch.entries;
    entries.clear();
    bool borrowed = false;
    for (std::size_t k = 0; k < activities.size(); ++k) {
        const ExchangeActivity& activity = activities[k];
        if (activity.kind == ExchangeActivityKind::Receive) {
            continue;
        }
        const bool partner = activity.kind == ExchangeActivityKind::PartnerBusy;
        borrowed = borrowed || partner;
        entries.push_back({activity.start, activity.completion, static_cast<std::uint32_t>(k), partner});
    }
    if (!borrowed) {
        return false;
    }
    sort_by_start(entries);
    auto& active = scratch.active_primary;
    active.clear();
    for (std::size_t k = 0; k < entries.size(); ++k) {
        const SweepEntry& entry = entries[k];
        retire(active, entries, entry.start);
        for (const std::uint32_t other : active) {
            const SweepEntry& earlier = entries[other];
            if ((entry.primary || earlier.primary) &&
                activities[entry.activity].transfer != activities[earlier.activity].transfer &&
                windows_overlap(entry, earlier)) {
                return true;
            }
        }
        active.push_back(static_cast<std::uint32_t>(k));
    }
    return false;
}

}  // namespace

tl::expected<void, ExchangeLoweringError> validate_exchange_schedule(std::uint16_t tile_count,
                                                                     const ExchangeScheduleProblem& problem,
                                                                     const PhysicalExchangePhase& phase) {
    const ExchangePhaseId id = problem.phase;
    if (phase.phase != id) {
        return broken(fmt::format("phase id {} differs from snapshot phase {}", phase.phase, id));
    }

    const std::pair<std::size_t, std::string_view> shapes[] = {
        {phase.active.size(), "active"},
        {phase.rows.size(), "programs"},
        {phase.incoming_bases.size(), "incoming bases"},
        {phase.tile_horizons.size(), "tile horizons"},
        {phase.activities.size(), "activities"},
        {phase.repeat_patches.size(), "repeat patches"},
    };
    for (const auto& [entries, name] : shapes) {
        if (entries != tile_count) {
            return broken(fmt::format("phase {} has {} {} entries for {} tiles", id, entries, name, tile_count));
        }
    }

    if (std::any_of(phase.repeat_patches.begin(), phase.repeat_patches.end(),
                    [](const std::vector<ExchangeRowPatch>& patches) { return !patches.empty(); })) {
        return broken(fmt::format("standalone phase {} unexpectedly contains repeat patches", id));
    }

    const std::uint32_t maximum =
        phase.tile_horizons.empty() ? 0 : *std::max_element(phase.tile_horizons.begin(), phase.tile_horizons.end());
    if (phase.horizon_cycles != maximum) {
        return broken(fmt::format("phase {} horizon {} differs from maximum tile horizon {}", id,
                                  phase.horizon_cycles, maximum));
    }

    // Partners are looked up on the whole machine, whatever section the
    // snapshot uses.
    const Topology machine = Topology::q480();
    auto indexed = index_snapshot(machine, tile_count, problem);
    if (!indexed) {
        return tl::unexpected(std::move(indexed.error()));
    }
    SnapshotIndex& index = *indexed;
    const std::size_t transfer_count = problem.transfers.size();

    TileScratch scratch;
    for (std::uint16_t t = 0; t < tile_count; ++t) {
        const auto decoded = vorn::exchange::diagnose_plan_program(phase.rows[t]);
        if (!decoded) {
            return exchange_failure(decoded.error());
        }
        const std::uint32_t horizon = phase.tile_horizons[t];
        if (decoded->horizon != horizon) {
            return broken(fmt::format("phase {} tile {} decoded horizon {} differs from {}", id, t, decoded->horizon,
                                      horizon));
        }

        const std::vector<ExchangeActivity>& activities = phase.activities[t];
        const bool expected_active = !activities.empty() || index.partner_tiles[t];
        if (phase.active[t] != expected_active || phase.active[t] != (horizon != 0)) {
            return broken(fmt::format("phase {} tile {} has inconsistent active state", id, t));
        }

        for (const ExchangeActivity& activity : activities) {
            if (!(activity.start <= activity.completion && activity.completion <= activity.end &&
                  activity.end <= horizon)) {
                return broken(fmt::format("phase {} tile {} transfer {} has invalid cycle interval", id, t,
                                          activity.transfer));
            }
            if (activity.transfer >= transfer_count) {
                return broken(fmt::format("phase {} tile {} references missing transfer {}", id, t, activity.transfer));
            }
            const ExchangeScheduleTransfer& transfer = problem.transfers[activity.transfer];
            if (activity.words != transfer.words) {
                return broken(fmt::format("phase {} tile {} transfer {} has wrong word count", id, t,
                                          activity.transfer));
            }
            switch (activity.kind) {
                case ExchangeActivityKind::Send:
                    if (t != transfer.source || first_source_address(transfer) != activity.address) {
                        return broken(fmt::format("phase {} transfer {} has a mismatched send activity", id,
                                                  activity.transfer));
                    }
                    ++index.send_counts[activity.transfer];
                    break;
                case ExchangeActivityKind::PartnerBusy:
                    // The partner of every paired source was looked up while
                    // indexing, where a failed lookup already ended the check.
                    if (transfer.width != ExchangeItemWidth::Paired64 || index.partners[activity.transfer] != t ||
                        first_source_address(transfer) != activity.address) {
                        return broken(fmt::format("phase {} transfer {} has a mismatched partner-busy activity", id,
                                                  activity.transfer));
                    }
                    ++index.partner_busy_counts[activity.transfer];
                    break;
                case ExchangeActivityKind::Receive: {
                    const auto destination = index.find_destination(transfer, activity.transfer, t, activity.address);
                    if (!destination) {
                        return broken(fmt::format("phase {} transfer {} has an unexpected receive activity on tile {}",
                                                  id, activity.transfer, t));
                    }
                    ++index.receive_counts[index.destination_offsets[activity.transfer] + *destination];
                    break;
                }
                default:
                    // Not one of the three kinds: the value was forged.
                    return broken(fmt::format("phase {} tile {} transfer {} has an unknown activity kind", id, t,
                                              activity.transfer));
            }
        }

        for (const ExchangeActivityKind kind : {ExchangeActivityKind::Send, ExchangeActivityKind::Receive}) {
            scratch.windows.clear();
            for (const ExchangeActivity& activity : activities) {
                if (activity.kind == kind) {
                    scratch.windows.emplace_back(activity.start, activity.completion);
                }
            }
            if (bus_windows_overlap(scratch.windows)) {
                return broken(fmt::format("phase {} tile {} has overlapping {} bus intervals", id, t, kind));
            }
        }

        if (memory_overlap(activities, problem, scratch)) {
            return broken(fmt::format("phase {} tile {} overlaps send/receive access to one SRAM element", id, t));
        }

        if (borrowed_overlap(activities, scratch)) {
            return broken(fmt::format("phase {} tile {} overlaps borrowed and local transmit intervals", id, t));
        }
    }

    for (std::size_t i = 0; i < transfer_count; ++i) {
        if (index.send_counts[i] != 1) {
            return broken(fmt::format("phase {} transfer {} has {} send activities", id, i, index.send_counts[i]));
        }
    }
    for (std::size_t i = 0; i < transfer_count; ++i) {
        const std::uint64_t expected = problem.transfers[i].width == ExchangeItemWidth::Paired64 ? 1 : 0;
        if (index.partner_busy_counts[i] != expected) {
            return broken(fmt::format("phase {} transfer {} has {} partner-busy activities, expected {}", id, i,
                                      index.partner_busy_counts[i], expected));
        }
    }
    for (std::size_t i = 0; i < transfer_count; ++i) {
        const auto first = index.receive_counts.begin() + static_cast<std::ptrdiff_t>(index.destination_offsets[i]);
        const auto last = index.receive_counts.begin() + static_cast<std::ptrdiff_t>(index.destination_offsets[i + 1]);
        if (std::any_of(first, last, [](std::uint64_t count) { return count != 1; })) {
            return broken(fmt::format("phase {} transfer {} does not have exactly one activity per destination", id, i));
        }
    }
    return {};
}

}  // namespace vorn::codegen
