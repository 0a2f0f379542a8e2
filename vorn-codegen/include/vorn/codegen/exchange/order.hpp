#pragma once
// Candidate placement orders for the optimisation of a phase.
//
// Both generators take the incumbent schedule's placement order as the
// reference ranking (a transfer's rank is its position in that order), never
// produce an order that breaks a dependency of the problem, and report no
// errors: an absent order means the generator does not apply or gave up.

#include <cstdint>
#include <optional>
#include <vector>

#include "vorn/codegen/exchange/problem.hpp"
#include "vorn/codegen/exchange/schedule.hpp"

namespace vorn::codegen {

// For phases of point-to-point transfers only: the order built in waves,
// each wave a maximum matching between sending and receiving tiles over the
// ready transfers, so that no tile sends or receives twice in one wave.
// Absent when the phase is unbalanced (a tile carrying more than twice
// ceil(n / min(senders, receivers)) transfers), when a transfer has 0 words
// or an odd Paired64 word count, or when a wave would be empty.
std::optional<std::vector<std::uint32_t>> point_to_point_matching_wave_order(const SchedulingProblem& problem,
                                                                             const MaterializedSchedule& incumbent);

// Repairs the incumbent's order around its critical chain by re-simulating
// the placement with a per-tile timing model. Broader mode (local false) is
// free re-simulation under a work budget of max(65536, 8n) queue visits and
// is absent when the budget runs out; local mode always yields an order.
// Returns the incumbent's order unchanged when there is nothing to repair.
std::optional<std::vector<std::uint32_t>> critical_neighborhood_order(const SchedulingProblem& problem,
                                                                      const MaterializedSchedule& incumbent,
                                                                      bool local);

}  // namespace vorn::codegen
