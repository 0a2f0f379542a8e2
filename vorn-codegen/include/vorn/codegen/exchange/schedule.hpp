#pragma once
// The schedule of one exchange phase under construction.
//
// A schedule grows by placing one transfer at a time (MaterializedSchedule::
// append, in an order the caller chooses). Placing a transfer picks its route
// (paired multicast, point-to-point or ordinary multicast), builds and
// patches its instruction rows, searches the earliest cycle offset at which
// the phase program builder accepts it and no memory element of a tile it
// touches is read and written in overlapping windows, commits it, and
// records its memory windows, its per-tile activities, the tile marks and
// which earlier transfer decided its start (the critical predecessor).
//
// A schedule (and the caller's last-transfers table) that saw an error is
// left partly changed and must be discarded.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <tl/expected.hpp>
#include <vector>

#include "vorn/codegen/exchange/activity.hpp"
#include "vorn/codegen/exchange/hazards.hpp"
#include "vorn/codegen/exchange/lowering_error.hpp"
#include "vorn/codegen/exchange/memory_element.hpp"
#include "vorn/codegen/exchange/pending.hpp"
#include "vorn/exchange/builder.hpp"
#include "vorn/exchange/error.hpp"
#include "vorn/exchange/row_timing.hpp"
#include "vorn/exchange/topology.hpp"
#include "vorn/exchange/words.hpp"

namespace vorn::codegen {

// The marks the last transfer using a tile left on it: its send completion
// (send end for the partner of a paired send) and its receive completion.
struct TileMarks {
    std::uint32_t send_mark = 0;
    std::uint32_t receive_mark = 0;

    friend constexpr bool operator==(const TileMarks&, const TileMarks&) noexcept = default;
};

// Per tile, the last transfer placed with the tile as its source or paired
// source, and the last one placed with the tile among its destinations. The
// caller owns one table per schedule (see last_transfers_table) and passes it
// to every append of that schedule.
struct TileLastTransfers {
    std::optional<std::uint32_t> last_send;
    std::optional<std::uint32_t> last_receive;

    friend constexpr bool operator==(const TileLastTransfers&, const TileLastTransfers&) noexcept = default;
};

// A table of tile_count entries, every field absent.
std::vector<TileLastTransfers> last_transfers_table(std::uint16_t tile_count);

// The encoding-work budget of the builder of a phase: with s_t the
// transfers sourced on tile t and r_t the destination entries naming t (paired
// sources not counted), n = sum over tiles of (s_t + r_t)(s_t + 3 r_t + 1),
// saturating at 2^64 - 1; the budget is 4n (2^64 - 1 from n >= 2^62), but at
// least 2^29. Every tile named must be below tile_count (aborts otherwise).
std::uint64_t schedule_validation_budget(std::uint16_t tile_count, std::span<const PendingTransfer> transfers);

inline constexpr std::uint64_t minimum_validation_budget = std::uint64_t{1} << 29U;

struct MaterializedSchedule {
    // The per-tile exchange programs being built, with the validation budget
    // of schedule_validation_budget.
    vorn::exchange::PhaseProgramBuilder builder;
    std::vector<TileMarks> tile_marks;                         // per tile
    std::vector<TileMemorySchedule> memory;                    // per tile: every recorded memory window
    std::vector<std::vector<ExchangeActivity>> activities;     // per tile, in placement order
    std::vector<std::uint32_t> order;                          // positions, in placement order
    std::vector<std::optional<TransferPlacement>> placements;  // per transfer; absent until placed
    // The phase length; 0 until the caller sets it from
    // builder.event_cycles() after the last placement.
    std::uint32_t horizon = 0;
    // The builder's finished programs, kept by the materialisation that
    // finished it after the last placement, so that later steps need not
    // encode and check every tile again. append clears it.
    std::optional<vorn::exchange::PhasePrograms> programs;

    // The finished programs: the kept ones (moved out), else builder.finish().
    tl::expected<vorn::exchange::PhasePrograms, vorn::exchange::ExchangeError> take_finished_programs();
    // Finishes the builder and keeps the programs; the error when it cannot
    // finish (nothing is kept then).
    tl::expected<void, vorn::exchange::ExchangeError> keep_finished_programs();

    // An empty schedule for the transfers (which it does not keep): marks 0,
    // no windows, activities or placements. Every tile the transfers name
    // must be below tile_count (aborts otherwise).
    static MaterializedSchedule create(std::uint16_t tile_count, std::span<const PendingTransfer> transfers);

    // Places transfers[position] no earlier than `not_before` and returns its
    // completion: the largest of its send completion and its receive
    // completions. incoming_bases and incoming_counts are the phase's receive
    // configuration (one entry per tile); immediate_offsets selects the
    // builder's validating offset search (true) or its deferred one (false).
    //
    // Errors: UnalignedPayload (no source elements or address, zero words,
    // odd Paired64 word count), Invariant "multicast loopback requires
    // separate source and destination memory elements", Exchange for any
    // failure of the topology, the rows, the address patches or the builder,
    // Overflow when the offset search passes 2^32 - 1 or the position does
    // not fit 32 bits. The caller must not place a transfer twice and must
    // place it after its predecessors; neither is checked. A position, tile
    // or table outside the schedule's sizes aborts.
    tl::expected<std::uint32_t, ExchangeLoweringError> append(const vorn::exchange::Topology& topology,
                                                              std::span<const PendingTransfer> transfers,
                                                              std::span<const std::uint32_t> incoming_bases,
                                                              std::span<const std::uint64_t> incoming_counts,
                                                              std::size_t position, std::uint32_t not_before,
                                                              bool immediate_offsets,
                                                              std::vector<TileLastTransfers>& last_transfers);
};

// Writes the receive byte address into the first receive-pointer site of a
// receiver row: a one-word PIC pointer control, or the second word of a
// SENDPICP whose first word has the format bit (27) clear. Fails with Address
// for an address that is unaligned or above 0xFFFFC or a row without a site,
// and with Schedule "truncated SENDPICP payload" when the site is a SENDPICP
// in the row's last word. A failure leaves the row unchanged.
tl::expected<void, vorn::exchange::ExchangeError> patch_receive_address(vorn::exchange::RowWords& row,
                                                                        std::uint32_t address);

// The earliest offset, not before `not_before`, at which the builder accepts
// the prepared transfer and neither a destination's write window meets a
// read window on its tile nor the source's read window meets a write window
// on the source tile. destination_elements[i] are the elements of
// destination i's span. Each round asks the builder for its earliest offset
// from the candidate, reads the timing there, and moves the candidate past
// the latest conflicting window; it ends when a round leaves the candidate
// where it was. Overflow when the candidate passes 2^32 - 1.
tl::expected<std::uint32_t, ExchangeLoweringError> memory_safe_transfer_offset(
    vorn::exchange::PhaseProgramBuilder& builder, std::span<const TileMemorySchedule> memory,
    const PendingTransfer& transfer, std::span<const std::uint16_t> partner_tiles,
    std::span<const std::uint16_t> destination_tiles,
    std::span<const std::span<const ExchangeMemoryElement>> destination_elements,
    const vorn::exchange::MulticastPlan& plan,
    std::uint32_t items, std::uint32_t not_before, bool immediate_offsets);

}  // namespace vorn::codegen
