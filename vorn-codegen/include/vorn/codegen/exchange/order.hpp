#pragma once
// Candidate placement orders for the optimisation of a phase.
//
// Both generators take the incumbent schedule's placement order as the
// reference ranking (a transfer's rank is its position in that order), never
// produce an order that breaks a dependency of the problem, and report no
// errors: an absent order means the generator does not apply or gave up.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "vorn/codegen/exchange/problem.hpp"
#include "vorn/codegen/exchange/schedule.hpp"

namespace vorn::codegen {

// For phases of point-to-point transfers only: the order built in waves,
// each wave a maximum matching between sending and receiving tiles over the
// ready transfers, so that no tile sends or receives twice in one wave.
// Absent when the phase is unbalanced (a tile carrying more than twice
// ceil(n / min(senders, receivers)) transfers), when a transfer has 0 words
// or an odd Paired64 word count, or when a wave would be empty; absent as
// well when a transfer does not have exactly one destination. Aborts when
// the incumbent's order is not a permutation of the transfer positions.
std::optional<std::vector<std::uint32_t>> point_to_point_matching_wave_order(const SchedulingProblem& problem,
                                                                             const MaterializedSchedule& incumbent);

// Repairs the incumbent's order around its critical chain by re-simulating
// the placement with a per-tile timing model. Broader mode (local false) is
// free re-simulation under a work budget of max(65536, 8n) queue visits and
// is absent when the budget runs out; local mode always yields an order.
// Returns the incumbent's order unchanged when there is nothing to repair.
// Aborts when the incumbent's order is not a permutation of the transfer
// positions or it does not hold one placement slot per transfer.
std::optional<std::vector<std::uint32_t>> critical_neighborhood_order(const SchedulingProblem& problem,
                                                                      const MaterializedSchedule& incumbent,
                                                                      bool local);

// Pieces of the generators, exposed for their tests.
namespace detail {

// One ready transfer during a repair, with the values that rank it.
struct RepairReady {
    std::uint64_t window = 0;         // the bucket in local mode, 0 in broader mode
    std::uint32_t ready_cycle = 0;    // earliest start in the repair's timing model
    std::uint64_t bucket = 0;         // rank / floor(sqrt(n))
    std::uint64_t continuations = 0;  // destinations writing at their tile's next address
    bool in_neighborhood = false;     // near the incumbent's critical chain
    std::uint64_t load = 0;           // remaining endpoint load over the transfer's tiles
    std::uint64_t rank = 0;           // position in the incumbent's order
    std::uint32_t transfer = 0;

    friend constexpr bool operator==(const RepairReady&, const RepairReady&) noexcept = default;
};

// a < b when b is the better entry, the one placed first: smaller window,
// then smaller ready cycle, smaller bucket, more continuations, in the
// neighbourhood, larger load, smaller rank, smaller transfer position.
constexpr bool operator<(const RepairReady& a, const RepairReady& b) noexcept {
    if (a.window != b.window) {
        return a.window > b.window;
    }
    if (a.ready_cycle != b.ready_cycle) {
        return a.ready_cycle > b.ready_cycle;
    }
    if (a.bucket != b.bucket) {
        return a.bucket > b.bucket;
    }
    if (a.continuations != b.continuations) {
        return a.continuations < b.continuations;
    }
    if (a.in_neighborhood != b.in_neighborhood) {
        return b.in_neighborhood;
    }
    if (a.load != b.load) {
        return a.load < b.load;
    }
    if (a.rank != b.rank) {
        return a.rank > b.rank;
    }
    return a.transfer > b.transfer;
}

// Per transfer: whether it lies within floor(sqrt(c)) list positions of a
// transfer of the incumbent's critical chain on some tile whose list (the
// transfers touching the tile, in the incumbent's order) holds c transfers.
std::vector<bool> critical_neighborhood(const SchedulingProblem& problem, const MaterializedSchedule& incumbent);

// The maximum matching of one wave, computed as the wave order does: the
// senders in search order, each with its candidate transfers in list order;
// receiver_of[t] is the receiving tile of transfer t, below receiver_count.
// Returns, per sender, the transfer it is matched with.
std::vector<std::optional<std::uint32_t>> maximum_ready_matching(
    std::span<const std::vector<std::uint32_t>> candidates, std::span<const std::uint16_t> receiver_of,
    std::size_t receiver_count);

// The broader repair's work budget for n transfers: max(65536, 8n) visits.
constexpr std::uint64_t repair_visit_budget(std::uint64_t transfers) noexcept {
    constexpr std::uint64_t minimum = 65536;
    return transfers > minimum / 8 ? 8 * transfers : minimum;
}

}  // namespace detail

}  // namespace vorn::codegen
