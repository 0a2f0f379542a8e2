#pragma once
// The recipe-cache modes of the phase run loop (--select-widths, with
// --replay-cache and --relocate-by): every run of a phase goes through one
// recipe cache that belongs to that phase, which chooses between ordinary and
// paired transfers and replays a stored recipe when it applies.

#include <cstdint>

#include <tl/expected.hpp>

#include "vorn/codegen/exchange/lowering_error.hpp"
#include "vorn/codegen/exchange/reuse.hpp"
#include "vorn/codegen/exchange/snapshot.hpp"
#include "vorn/tests/failure.hpp"

namespace vorn::tests {

class CachedPhaseScheduler {
public:
    // The phase's cache, empty. With `replay` it is populated by one
    // scheduling of `problem` through it, whose result is validated against
    // the problem the cache returned and then discarded; either error fails.
    static tl::expected<CachedPhaseScheduler, Failure> prepare(std::uint16_t tile_count,
                                                               const codegen::ExchangeScheduleProblem& problem,
                                                               bool replay);

    // One scheduling run through the cache. Without replay the cache is
    // emptied first, so every run starts afresh; this is part of the run and
    // belongs inside its timed interval.
    tl::expected<codegen::CachedScheduleResult, codegen::ExchangeLoweringError> schedule(
        std::uint16_t tile_count, const codegen::ExchangeScheduleProblem& problem);

private:
    explicit CachedPhaseScheduler(bool replay) : replay_(replay) {}

    codegen::ExchangeScheduleCache cache_;
    bool replay_ = false;
};

}  // namespace vorn::tests
