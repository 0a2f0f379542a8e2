#include "vorn/codegen/exchange/schedule.hpp"

#include <fmt/format.h>

#include <algorithm>
#include <limits>
#include <utility>

#include "fatal.hpp"
#include "vorn/exchange/invariant.hpp"
#include "vorn/exchange/timing.hpp"

namespace vorn::codegen {
namespace {

using detail::fatal_invariant;
using vorn::exchange::ExchangeError;
using vorn::exchange::MulticastExchange;
using vorn::exchange::MulticastPlan;
using vorn::exchange::PhaseProgramBuilder;
using vorn::exchange::PhaseTransferTiming;
using vorn::exchange::RowWords;
using vorn::exchange::Topology;
using vorn::exchange::Word;

constexpr std::uint64_t saturated = std::numeric_limits<std::uint64_t>::max();

constexpr std::uint64_t saturating_add(std::uint64_t a, std::uint64_t b) noexcept {
    return a > saturated - b ? saturated : a + b;
}

constexpr std::uint64_t saturating_mul(std::uint64_t a, std::uint64_t b) noexcept {
    return a != 0 && b > saturated / a ? saturated : a * b;
}

ExchangeLoweringError loopback_error() {
    return ExchangeLoweringError::invariant(
        "multicast loopback requires separate source and destination memory elements");
}

ExchangeLoweringError wrap(ExchangeError error) { return ExchangeLoweringError::exchange(error); }

void require_tile(std::uint16_t tile, std::size_t tile_count, std::string_view what) {
    if (tile >= tile_count) {
        fatal_invariant(fmt::format("{} tile {} is outside the {} tiles of the schedule", what, tile, tile_count));
    }
}

// The rows of a transfer and the tiles that must stay idle during its send.
struct Route {
    MulticastExchange exchange;
    std::vector<std::uint16_t> partner_tiles;
    bool point_to_point = false;
};

tl::expected<Route, ExchangeLoweringError> route_transfer(const Topology& topology, const PendingTransfer& transfer,
                                                          std::span<const std::uint16_t> destination_tiles,
                                                          std::span<const std::uint32_t> incoming_bases,
                                                          std::span<const std::uint64_t> incoming_counts,
                                                          std::uint32_t items) {
    const std::uint16_t source = transfer.source;
    if (transfer.width == ExchangeItemWidth::Paired64) {
        auto partner = topology.paired_logical(source);
        if (!partner) {
            return tl::unexpected(wrap(partner.error()));
        }
        auto rows = vorn::exchange::paired_multicast(topology, source, destination_tiles, items);
        if (!rows) {
            return tl::unexpected(wrap(rows.error()));
        }
        return Route{std::move(*rows), {*partner}, false};
    }
    if (transfer.destinations.size() == 1) {
        const PendingDestination& only = transfer.destinations.front();
        if (incoming_counts[only.tile] == 1 && incoming_bases[only.tile] == only.address) {
            auto rows = vorn::exchange::point_to_point(topology, source, only.tile, items);
            if (!rows) {
                return tl::unexpected(wrap(rows.error()));
            }
            auto physical = topology.physical(source);
            if (!physical) {
                return tl::unexpected(wrap(physical.error()));
            }
            auto receiver = vorn::exchange::finalize_point_receiver(rows->receiver, *physical);
            if (!receiver) {
                return tl::unexpected(wrap(receiver.error()));
            }
            return Route{MulticastExchange{{*receiver}, rows->sender_row}, {}, true};
        }
    }
    auto rows = vorn::exchange::multicast(topology, source, destination_tiles, items, 0);
    if (!rows) {
        return tl::unexpected(wrap(rows.error()));
    }
    return Route{std::move(*rows), {}, false};
}

// The largest of the send completion and every receive completion.
std::uint32_t transfer_completion(const PhaseTransferTiming& timing) {
    std::uint32_t completion = timing.send_completion;
    for (const std::uint32_t receive : timing.receive_completions) {
        completion = std::max(completion, receive);
    }
    return completion;
}

}  // namespace

std::vector<TileLastTransfers> last_transfers_table(std::uint16_t tile_count) {
    return std::vector<TileLastTransfers>(tile_count);
}

std::uint64_t schedule_validation_budget(std::uint16_t tile_count, std::span<const PendingTransfer> transfers) {
    std::vector<std::uint64_t> sends(tile_count, 0);
    std::vector<std::uint64_t> receives(tile_count, 0);
    for (const PendingTransfer& transfer : transfers) {
        require_tile(transfer.source, tile_count, "source");
        ++sends[transfer.source];
        for (const PendingDestination& destination : transfer.destinations) {
            require_tile(destination.tile, tile_count, "destination");
            ++receives[destination.tile];
        }
    }
    std::uint64_t n = 0;
    for (std::size_t tile = 0; tile < tile_count; ++tile) {
        const std::uint64_t s = sends[tile];
        const std::uint64_t r = receives[tile];
        const std::uint64_t left = saturating_add(s, r);
        const std::uint64_t right = saturating_add(saturating_add(s, saturating_mul(3, r)), 1);
        n = saturating_add(n, saturating_mul(left, right));
    }
    const std::uint64_t budget = n >= (std::uint64_t{1} << 62U) ? saturated : 4 * n;
    return std::max(budget, minimum_validation_budget);
}

MaterializedSchedule MaterializedSchedule::create(std::uint16_t tile_count,
                                                  std::span<const PendingTransfer> transfers) {
    for (const PendingTransfer& transfer : transfers) {
        if (transfer.paired_source) {
            require_tile(*transfer.paired_source, tile_count, "paired source");
        }
    }
    const std::uint64_t budget = schedule_validation_budget(tile_count, transfers);
    MaterializedSchedule schedule{
        PhaseProgramBuilder(tile_count).with_validation_budget(budget),
        std::vector<TileMarks>(tile_count),
        std::vector<TileMemorySchedule>(tile_count),
        std::vector<std::vector<ExchangeActivity>>(tile_count),
        {},
        std::vector<std::optional<TransferPlacement>>(transfers.size()),
        0,
        std::nullopt,
    };
    schedule.order.reserve(transfers.size());
    return schedule;
}

tl::expected<vorn::exchange::PhasePrograms, ExchangeError> MaterializedSchedule::take_finished_programs() {
    if (programs) {
        vorn::exchange::PhasePrograms kept = std::move(*programs);
        programs.reset();
        return kept;
    }
    return builder.finish();
}

tl::expected<void, ExchangeError> MaterializedSchedule::keep_finished_programs() {
    auto finished = builder.finish();
    if (!finished) {
        programs.reset();
        return tl::unexpected(finished.error());
    }
    programs = std::move(*finished);
    return {};
}

tl::expected<void, ExchangeError> patch_receive_address(RowWords& row, std::uint32_t address) {
    if (address % 4 != 0 || address > vorn::exchange::max_receive_byte_address) {
        return tl::unexpected(ExchangeError::address(address));
    }
    const Word operand = address >> 2U;
    for (std::size_t index = 0; index < row.size();) {
        const Word word = row[index];
        if (word < vorn::exchange::sendpicp_first) {
            if ((word & 0xFC040000U) == 0x60000000U) {
                row[index] = (word & 0x63F80000U) | operand;
                return {};
            }
            index += 1;
            continue;
        }
        if ((word & 0x08000000U) == 0) {
            if (index + 1 >= row.size()) {
                return tl::unexpected(ExchangeError::schedule(vorn::exchange::invariant::truncated_sendpicp_payload));
            }
            row[index + 1] = (row[index + 1] & 0xFFFC0000U) | operand;
            return {};
        }
        index += 2;
    }
    return tl::unexpected(ExchangeError::address(address));
}

tl::expected<std::uint32_t, ExchangeLoweringError> memory_safe_transfer_offset(
    PhaseProgramBuilder& builder, std::span<const TileMemorySchedule> memory, const PendingTransfer& transfer,
    std::span<const std::uint16_t> partner_tiles, std::span<const std::uint16_t> destination_tiles,
    std::span<const std::span<const ExchangeMemoryElement>> destination_elements, const MulticastPlan& plan,
    std::uint32_t items, std::uint32_t not_before, bool immediate_offsets) {
    if (destination_elements.size() != destination_tiles.size()) {
        fatal_invariant("memory-safe offset search needs the elements of every destination");
    }
    require_tile(transfer.source, memory.size(), "source");
    for (const std::uint16_t tile : destination_tiles) {
        require_tile(tile, memory.size(), "destination");
    }
    const std::uint16_t source = transfer.source;
    std::uint32_t candidate = not_before;
    for (;;) {
        auto offset = immediate_offsets ? builder.earliest_transfer_offset(source, partner_tiles, destination_tiles,
                                                                           plan, items, candidate)
                                        : builder.earliest_transfer_offset_deferred(
                                              source, partner_tiles, destination_tiles, plan, items, candidate);
        if (!offset) {
            return tl::unexpected(wrap(offset.error()));
        }
        if (*offset < candidate) {
            // The search could go round in circles: the builder broke its
            // promise never to return an offset before its bound.
            fatal_invariant(fmt::format("builder offset {} precedes its bound {}", *offset, candidate));
        }
        auto timing = builder.transfer_timing_at(source, destination_tiles, plan, *offset, items);
        if (!timing) {
            return tl::unexpected(wrap(timing.error()));
        }
        if (timing->receive_starts.size() != destination_tiles.size() ||
            timing->receive_ends.size() != destination_tiles.size()) {
            fatal_invariant("builder timing does not have one window per destination");
        }
        std::uint32_t shift = 0;
        for (std::size_t i = 0; i < destination_tiles.size(); ++i) {
            const std::uint32_t start = timing->receive_starts[i];
            const auto conflict = memory[destination_tiles[i]].sends.conflict_end(destination_elements[i], start,
                                                                                  timing->receive_ends[i]);
            if (conflict && *conflict > start) {
                shift = std::max(shift, *conflict - start);
            }
        }
        const auto conflict =
            memory[source].receives.conflict_end(transfer.source_elements, timing->send_start, timing->send_end);
        if (conflict && *conflict > timing->send_start) {
            shift = std::max(shift, *conflict - timing->send_start);
        }
        if (shift > std::numeric_limits<std::uint32_t>::max() - *offset) {
            return tl::unexpected(ExchangeLoweringError::overflow());
        }
        const std::uint32_t next = *offset + shift;
        if (next == candidate) {
            return *offset;
        }
        candidate = next;
    }
}

tl::expected<std::uint32_t, ExchangeLoweringError> MaterializedSchedule::append(
    const Topology& topology, std::span<const PendingTransfer> transfers, std::span<const std::uint32_t> incoming_bases,
    std::span<const std::uint64_t> incoming_counts, std::size_t position, std::uint32_t not_before,
    bool immediate_offsets, std::vector<TileLastTransfers>& last_transfers) {
    const std::size_t tile_count = tile_marks.size();
    if (position >= transfers.size() || position >= placements.size()) {
        fatal_invariant(fmt::format("transfer position {} is outside the {} transfers of the schedule", position,
                                    placements.size()));
    }
    if (last_transfers.size() != tile_count || incoming_bases.size() != tile_count ||
        incoming_counts.size() != tile_count) {
        fatal_invariant(fmt::format("per-tile tables of a placement must have the schedule's {} entries", tile_count));
    }
    // The builder is about to change.
    programs.reset();
    const PendingTransfer& transfer = transfers[position];
    const std::uint16_t source = transfer.source;
    const std::optional<std::uint16_t> paired = transfer.paired_source;
    require_tile(source, tile_count, "source");
    if (paired) {
        require_tile(*paired, tile_count, "paired source");
    }
    std::vector<std::uint16_t> destination_tiles;
    destination_tiles.reserve(transfer.destinations.size());
    for (const PendingDestination& destination : transfer.destinations) {
        require_tile(destination.tile, tile_count, "destination");
        destination_tiles.push_back(destination.tile);
    }

    // Critical tile: the involved tile whose mark is latest (the smallest
    // such tile on a tie), unless the caller's ready cycle is later still.
    std::uint16_t chosen = source;
    std::uint32_t chosen_mark = tile_marks[source].send_mark;
    const auto consider = [&](std::uint16_t tile, std::uint32_t mark) {
        if (mark > chosen_mark || (mark == chosen_mark && tile < chosen)) {
            chosen = tile;
            chosen_mark = mark;
        }
    };
    if (paired) {
        consider(*paired, tile_marks[*paired].send_mark);
    }
    for (const std::uint16_t tile : destination_tiles) {
        consider(tile, tile_marks[tile].receive_mark);
    }
    const std::uint16_t critical_tile = not_before > chosen_mark ? source : chosen;
    const bool critical_sends = critical_tile == source || (paired && critical_tile == *paired);
    const std::optional<std::uint32_t> critical_predecessor =
        critical_sends ? last_transfers[critical_tile].last_send : last_transfers[critical_tile].last_receive;

    const std::uint32_t words = transfer.words;
    if (transfer.source_elements.empty() || transfer.source_addresses.empty() || words == 0) {
        return tl::unexpected(ExchangeLoweringError::unaligned_payload());
    }

    // A destination on the source tile may only write memory the transfer
    // does not read; a transfer to its own tile alone is no exchange at all.
    if (transfer.destinations.size() == 1 && transfer.destinations.front().tile == source) {
        return tl::unexpected(loopback_error());
    }
    if (transfer.destinations.size() >= 2) {
        for (const PendingDestination& destination : transfer.destinations) {
            if (destination.tile == source &&
                span_meets_elements(destination.address, words, transfer.source_elements)) {
                return tl::unexpected(loopback_error());
            }
        }
    }

    const bool is_paired = transfer.width == ExchangeItemWidth::Paired64;
    if (is_paired && words % 2 != 0) {
        return tl::unexpected(ExchangeLoweringError::unaligned_payload());
    }
    const std::uint32_t items = transfer.item_count();

    auto route = route_transfer(topology, transfer, destination_tiles, incoming_bases, incoming_counts, items);
    if (!route) {
        return tl::unexpected(route.error());
    }
    MulticastExchange& exchange = route->exchange;
    if (auto patched = vorn::exchange::patch_sender_address(exchange.sender_row, transfer.source_addresses.front());
        !patched) {
        return tl::unexpected(wrap(patched.error()));
    }
    if (!route->point_to_point) {
        const std::size_t rows = std::min(exchange.receiver_rows.size(), transfer.destinations.size());
        for (std::size_t i = 0; i < rows; ++i) {
            if (auto patched = patch_receive_address(exchange.receiver_rows[i], transfer.destinations[i].address);
                !patched) {
                return tl::unexpected(wrap(patched.error()));
            }
        }
    }
    // The plan refers to `exchange`, which stays in place until the end.
    auto plan = MulticastPlan::prepare(exchange);
    if (!plan) {
        return tl::unexpected(wrap(plan.error()));
    }

    // The elements of every destination span, in one pool (a constant number
    // of allocations however many destinations): destination i owns
    // element_pool[element_ends[i - 1] .. element_ends[i]).
    std::vector<ExchangeMemoryElement> element_pool;
    std::vector<std::size_t> element_ends;
    element_ends.reserve(transfer.destinations.size());
    for (const PendingDestination& destination : transfer.destinations) {
        append_span_elements(destination.address, words, element_pool);
        element_ends.push_back(element_pool.size());
    }
    std::vector<std::span<const ExchangeMemoryElement>> destination_elements;
    destination_elements.reserve(element_ends.size());
    std::size_t element_begin = 0;
    for (const std::size_t element_end : element_ends) {
        destination_elements.push_back(
            std::span<const ExchangeMemoryElement>(element_pool).subspan(element_begin, element_end - element_begin));
        element_begin = element_end;
    }
    auto offset = memory_safe_transfer_offset(builder, memory, transfer, route->partner_tiles, destination_tiles,
                                              destination_elements, *plan, items, not_before, immediate_offsets);
    if (!offset) {
        return tl::unexpected(offset.error());
    }
    auto appended = builder.append_transfer_at(source, route->partner_tiles, destination_tiles, *plan, *offset, items);
    if (!appended) {
        return tl::unexpected(wrap(appended.error()));
    }
    const PhaseTransferTiming& timing = *appended;
    const std::size_t k = destination_tiles.size();
    if (timing.receive_starts.size() != k || timing.receive_completions.size() != k ||
        timing.receive_ends.size() != k) {
        fatal_invariant("builder timing does not have one window per destination");
    }
    const std::uint32_t completion = transfer_completion(timing);

    memory[source].sends.record(transfer.source_elements, timing.send_start, timing.send_end);
    for (std::size_t i = 0; i < k; ++i) {
        memory[destination_tiles[i]].receives.record(destination_elements[i], timing.receive_starts[i],
                                                     timing.receive_ends[i]);
    }

    if (position > std::numeric_limits<std::uint32_t>::max()) {
        return tl::unexpected(ExchangeLoweringError::overflow());
    }
    const auto index = static_cast<std::uint32_t>(position);
    // The route builders accept only distinct destination tiles of the
    // topology, so the count fits 16 bits.
    const auto destination_count = static_cast<std::uint16_t>(k);
    const std::uint32_t source_address = transfer.source_addresses.front();
    activities[source].push_back(ExchangeActivity{index, timing.send_start, timing.send_completion, timing.send_end,
                                                  source_address, words, destination_count, ExchangeActivityKind::Send,
                                                  is_paired});
    if (paired) {
        activities[*paired].push_back(ExchangeActivity{index, timing.send_start, timing.send_end, timing.send_end,
                                                       source_address, words, destination_count,
                                                       ExchangeActivityKind::PartnerBusy, is_paired});
    }
    for (std::size_t i = 0; i < k; ++i) {
        activities[destination_tiles[i]].push_back(ExchangeActivity{
            index, timing.receive_starts[i], timing.receive_completions[i], timing.receive_ends[i],
            transfer.destinations[i].address, words, destination_count, ExchangeActivityKind::Receive, is_paired});
    }

    tile_marks[source].send_mark = timing.send_completion;
    if (paired) {
        tile_marks[*paired].send_mark = timing.send_end;
        last_transfers[*paired].last_send = index;
    }
    for (std::size_t i = 0; i < k; ++i) {
        tile_marks[destination_tiles[i]].receive_mark = timing.receive_completions[i];
    }
    last_transfers[source].last_send = index;
    for (const std::uint16_t tile : destination_tiles) {
        last_transfers[tile].last_receive = index;
    }

    order.push_back(index);
    placements[position] = TransferPlacement{critical_predecessor, timing.send_start, completion, critical_tile};
    return completion;
}

}  // namespace vorn::codegen
