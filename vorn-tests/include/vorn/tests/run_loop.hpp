#pragma once
// The phase run loop of the benchmark command: per selected phase a storage
// estimate, untimed warm-up runs, timed runs of the scheduler with a separate
// validation of each, the check that identical runs give identical output, an
// optional decoded dump of one tile, and the report lines; after the last
// phase the storage summary and the total time.

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include <tl/expected.hpp>

#include "vorn/codegen/exchange/activity.hpp"
#include "vorn/codegen/exchange/physical_phase.hpp"
#include "vorn/codegen/exchange/snapshot.hpp"
#include "vorn/exchange/words.hpp"
#include "vorn/tests/arguments.hpp"
#include "vorn/tests/failure.hpp"

namespace vorn::tests {

// Runs every selected phase (indices into the snapshot's phases, in snapshot
// order) and prints its lines on standard output, right after the header
// line. Every line is flushed once written, so the lines before a failure
// stay visible. The failures are reported bare: a scheduling or validation
// error's text, "phase {phase} scheduler/codegen output changed between
// identical runs", "logical tile {T} is out of range", a decoding error's
// text, and the recipe-cache modes' own failures.
tl::expected<void, Failure> run_phases(const Arguments& arguments, const codegen::ExchangeScheduleSnapshot& snapshot,
                                       std::span<const std::size_t> selected);

// The parts of a scheduled phase that every later identical run must
// reproduce exactly. The run statistics (neighbourhood improvements, initial
// horizon, lower bound) and the reuse flag are left out: they describe how
// the result was found, not the result.
class RepeatBaseline {
public:
    explicit RepeatBaseline(const codegen::PhysicalExchangePhase& first);

    // Every part equal, sequences element by element including their lengths.
    bool matches(const codegen::PhysicalExchangePhase& later) const;

private:
    std::vector<bool> active_;
    std::vector<std::vector<vorn::exchange::Word>> rows_;
    std::vector<std::uint32_t> incoming_bases_;
    std::vector<std::uint32_t> tile_horizons_;
    std::vector<std::vector<codegen::ExchangeActivity>> activities_;
    std::vector<std::vector<codegen::ExchangeRowPatch>> repeat_patches_;
    codegen::ExchangePhaseId phase_ = 0;
    std::uint32_t horizon_cycles_ = 0;
};

// A copy of the problem with `offset` added to every source address of every
// transfer and then to every destination address, in 32-bit unsigned
// arithmetic; "relocated address overflow" when an addition leaves 32 bits.
// An offset of 0 gives the problem unchanged.
tl::expected<codegen::ExchangeScheduleProblem, Failure> relocate_problem(const codegen::ExchangeScheduleProblem& problem,
                                                                         std::uint32_t offset);

}  // namespace vorn::tests
