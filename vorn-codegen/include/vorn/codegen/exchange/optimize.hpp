#pragma once
// The scheduler's entry for one exchange phase and the policy that decides
// which schedule of the phase is kept.
//
// optimize_pending_schedule always builds the greedy schedule, tries the
// matching-wave order on balanced point-to-point phases, then runs
// critical-neighbourhood repair passes for as long as each shortens the
// phase. A candidate replaces the incumbent only when its horizon is strictly
// smaller; only the greedy schedule can make the optimisation fail.

#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

#include <tl/expected.hpp>

#include "vorn/codegen/exchange/lowering_error.hpp"
#include "vorn/codegen/exchange/pending.hpp"
#include "vorn/codegen/exchange/physical_phase.hpp"
#include "vorn/codegen/exchange/schedule.hpp"
#include "vorn/codegen/exchange/snapshot.hpp"
#include "vorn/exchange/topology.hpp"

namespace vorn::codegen {

// Strategy names of a kept schedule.
inline constexpr std::string_view strategy_full_duplex = "full-duplex";
inline constexpr std::string_view strategy_matching_waves = "matching-waves";
inline constexpr std::string_view strategy_critical_neighborhood = "critical-neighborhood";
inline constexpr std::string_view strategy_reused = "reused";

// The result of one optimisation and the input of finishing a run.
struct ScheduledPending {
    MaterializedSchedule schedule;                  // the kept schedule, horizon set
    std::string_view strategy = strategy_full_duplex;  // one of the names above
    std::uint64_t neighborhood_improvements = 0;    // accepted repair passes
    std::uint32_t initial_horizon_cycles = 0;       // horizon of the greedy schedule
    std::uint32_t endpoint_lower_bound_cycles = 0;  // endpoint_work_lower_bound of the transfers
};

// An optimisation together with everything its schedule refers to.
struct ScheduleSelection {
    std::vector<PendingTransfer> transfers;
    std::vector<std::uint64_t> incoming_counts;
    std::vector<std::uint32_t> incoming_bases;
    ScheduledPending scheduled;
};

tl::expected<ScheduledPending, ExchangeLoweringError> optimize_pending_schedule(
    const vorn::exchange::Topology& topology, std::span<const PendingTransfer> transfers,
    std::span<const std::uint32_t> incoming_bases, std::span<const std::uint64_t> incoming_counts,
    std::uint16_t tile_count);

// Computes the receive configuration of the transfers and optimises them.
tl::expected<ScheduleSelection, ExchangeLoweringError> optimize_owned_pending(
    const vorn::exchange::Topology& topology, std::vector<PendingTransfer> transfers, std::uint16_t tile_count);

// Turns the kept schedule into the scheduled phase: the finished programs
// (inactive tiles get the one-word RETURN row), the activities, the receive
// bases, empty repeat patches and the run's statistics. Exchange when the
// builder cannot finish; Invariant "phase {phase} row horizon {row} differs
// from scheduled horizon {horizon}" when the schedule's horizon was not set
// from the builder.
tl::expected<PhysicalExchangePhase, ExchangeLoweringError> finish_exchange_run(
    std::uint16_t tile_count, ExchangePhaseId phase, std::vector<std::uint32_t> incoming_bases,
    ScheduledPending scheduled);

// Schedules one snapshot phase from scratch: the machine section of
// tile_count tiles, the pending transfers, the receive configuration, the
// optimisation and the finish. InvalidSnapshot "tile count {n} is outside the
// Q480 topology" for 0 or more than 1472 tiles; otherwise the first error of
// the steps above.
tl::expected<PhysicalExchangePhase, ExchangeLoweringError> schedule_exchange_problem(
    std::uint16_t tile_count, const ExchangeScheduleProblem& problem);

// The Topology of logical tiles 0 .. tile_count - 1 with the Q480 tile
// numbering; Exchange when it cannot be built.
tl::expected<vorn::exchange::Topology, ExchangeLoweringError> machine_section(std::uint16_t tile_count);

}  // namespace vorn::codegen
