#include "vorn/tests/cache_mode.hpp"

#include "vorn/codegen/exchange/validation.hpp"

namespace vorn::tests {

tl::expected<CachedPhaseScheduler, Failure> CachedPhaseScheduler::prepare(
    std::uint16_t tile_count, const codegen::ExchangeScheduleProblem& problem, bool replay) {
    CachedPhaseScheduler scheduler(replay);
    if (replay) {
        // Stores the phase's recipe; the run itself is not measured or kept.
        auto populated = scheduler.cache_.schedule_problem(tile_count, problem);
        if (!populated) {
            return tl::make_unexpected(Failure(populated.error().to_string()));
        }
        const auto valid = codegen::validate_exchange_schedule(tile_count, populated->problem, populated->phase);
        if (!valid) {
            return tl::make_unexpected(Failure(valid.error().to_string()));
        }
    }
    return scheduler;
}

tl::expected<codegen::CachedScheduleResult, codegen::ExchangeLoweringError> CachedPhaseScheduler::schedule(
    std::uint16_t tile_count, const codegen::ExchangeScheduleProblem& problem) {
    if (!replay_) {
        cache_.clear();
    }
    return cache_.schedule_problem(tile_count, problem);
}

}  // namespace vorn::tests
