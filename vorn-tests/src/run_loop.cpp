#include "vorn/tests/run_loop.hpp"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <limits>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include <fmt/format.h>

#include "vorn/codegen/estimate/exchange_storage.hpp"
#include "vorn/codegen/exchange/lowering_error.hpp"
#include "vorn/codegen/exchange/optimize.hpp"
#include "vorn/codegen/exchange/validation.hpp"
#include "vorn/exchange/diagnostic.hpp"
#include "vorn/tests/cache_mode.hpp"
#include "vorn/tests/report.hpp"

namespace vorn::tests {

RepeatBaseline::RepeatBaseline(const codegen::PhysicalExchangePhase& first)
    : active_(first.active),
      rows_(first.rows),
      incoming_bases_(first.incoming_bases),
      tile_horizons_(first.tile_horizons),
      activities_(first.activities),
      repeat_patches_(first.repeat_patches),
      phase_(first.phase),
      horizon_cycles_(first.horizon_cycles) {}

bool RepeatBaseline::matches(const codegen::PhysicalExchangePhase& later) const {
    return active_ == later.active && rows_ == later.rows && incoming_bases_ == later.incoming_bases &&
           tile_horizons_ == later.tile_horizons && activities_ == later.activities &&
           repeat_patches_ == later.repeat_patches && phase_ == later.phase &&
           horizon_cycles_ == later.horizon_cycles;
}

tl::expected<codegen::ExchangeScheduleProblem, Failure> relocate_problem(const codegen::ExchangeScheduleProblem& problem,
                                                                         std::uint32_t offset) {
    // Moves one address; false when it would pass the 32-bit range.
    const auto move = [offset](std::uint32_t& address) {
        if (address > std::numeric_limits<std::uint32_t>::max() - offset) {
            return false;
        }
        address += offset;
        return true;
    };
    const auto overflow = [] { return tl::make_unexpected(Failure("relocated address overflow")); };
    codegen::ExchangeScheduleProblem relocated = problem;
    for (codegen::ExchangeScheduleTransfer& transfer : relocated.transfers) {
        for (std::uint32_t& address : transfer.source_addresses) {
            if (!move(address)) {
                return overflow();
            }
        }
        for (codegen::ExchangeScheduleDestination& destination : transfer.destinations) {
            if (!move(destination.address)) {
                return overflow();
            }
        }
    }
    return relocated;
}

namespace {

using Clock = std::chrono::steady_clock;

RunDuration elapsed_since(Clock::time_point start) {
    return std::chrono::duration_cast<RunDuration>(Clock::now() - start);
}

// Report lines go through the same stdio stream as the log lines, which are
// written with fwrite too, so the two never interleave within a line. Each
// line is flushed at once: what was printed stays visible whatever ends the
// process afterwards.
void print_line(std::string_view line) {
    std::fwrite(line.data(), 1, line.size(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

Failure lowering_failure(const codegen::ExchangeLoweringError& error) { return Failure(error.to_string()); }

// What one scheduling run produced: the phase and, in the recipe-cache modes,
// the problem as the cache actually scheduled it (with its chosen widths).
struct ScheduledRun {
    std::optional<codegen::ExchangeScheduleProblem> effective_problem;
    codegen::PhysicalExchangePhase phase;

    const codegen::ExchangeScheduleProblem& scheduled_problem(const codegen::ExchangeScheduleProblem& given) const {
        return effective_problem ? *effective_problem : given;
    }
};

// The scheduling call of one phase, chosen by the mode: the scheduler entry
// itself, or the phase's recipe cache.
class PhaseScheduling {
public:
    // Sets up the mode for one phase; the cache modes populate their cache
    // here when asked to.
    static tl::expected<PhaseScheduling, Failure> prepare(const Arguments& arguments, std::uint16_t tile_count,
                                                          const codegen::ExchangeScheduleProblem& problem) {
        PhaseScheduling scheduling;
        if (!arguments.select_widths) {
            return scheduling;
        }
        auto cache = CachedPhaseScheduler::prepare(tile_count, problem, arguments.replay_cache);
        if (!cache) {
            return tl::make_unexpected(std::move(cache.error()));
        }
        scheduling.cache_.emplace(std::move(*cache));
        return scheduling;
    }

    // One scheduling run; everything it does belongs to the run's timed
    // interval.
    tl::expected<ScheduledRun, codegen::ExchangeLoweringError> run(std::uint16_t tile_count,
                                                                    const codegen::ExchangeScheduleProblem& problem) {
        if (cache_) {
            auto cached = cache_->schedule(tile_count, problem);
            if (!cached) {
                return tl::make_unexpected(std::move(cached.error()));
            }
            return ScheduledRun{std::move(cached->problem), std::move(cached->phase)};
        }
        auto phase = codegen::schedule_exchange_problem(tile_count, problem);
        if (!phase) {
            return tl::make_unexpected(std::move(phase.error()));
        }
        return ScheduledRun{std::nullopt, std::move(*phase)};
    }

private:
    PhaseScheduling() = default;

    std::optional<CachedPhaseScheduler> cache_;  // only in the recipe-cache modes
};

// Prints the dumped tile's activities and its decoded program.
tl::expected<void, Failure> dump_tile(const codegen::PhysicalExchangePhase& phase, codegen::ExchangePhaseId phase_id,
                                      std::uint64_t tile) {
    if (tile >= phase.rows.size() || tile >= phase.activities.size()) {
        return tl::make_unexpected(Failure(fmt::format("logical tile {} is out of range", tile)));
    }
    const auto index = static_cast<std::size_t>(tile);
    for (const codegen::ExchangeActivity& activity : phase.activities[index]) {
        print_line(activity_line(ActivityLineFigures{
            .phase = phase_id,
            .tile = tile,
            .transfer = activity.transfer,
            .kind = codegen::debug_name(activity.kind),
            .start = activity.start,
            .completion = activity.completion,
            .memory_end = activity.end,
            .address = activity.address,
            .words = activity.words,
        }));
    }
    const auto diagnostic = vorn::exchange::diagnose_plan_program(phase.rows[index]);
    if (!diagnostic) {
        return tl::make_unexpected(Failure(diagnostic.error().to_string()));
    }
    print_line(program_dump(phase_id, tile, diagnostic->render()));
    return {};
}

PhaseReport phase_report(const codegen::ExchangeScheduleProblem& scheduled, const codegen::PhysicalExchangePhase& phase,
                         std::vector<RunDuration>& schedule_durations, std::vector<RunDuration>& validation_durations) {
    return PhaseReport{
        .phase = scheduled.phase,
        .transfers = scheduled.transfers.size(),
        .destinations = destination_count(scheduled),
        .initial_horizon_cycles = phase.initial_horizon_cycles,
        .horizon_cycles = phase.horizon_cycles,
        .endpoint_lower_bound_cycles = phase.endpoint_lower_bound_cycles,
        .neighborhood_improvements = phase.neighborhood_improvements,
        .row_words = row_word_counts(phase.rows),
        .schedule = summarize_durations(schedule_durations),
        .validation_median = median_duration(validation_durations),
        .reused = phase.reused,
        .row_fingerprint = row_fingerprint(phase.rows),
    };
}

// Warm-up and timed runs of one phase, after its footprint line.
tl::expected<void, Failure> run_phase(const Arguments& arguments, std::uint16_t tile_count,
                                      const codegen::ExchangeScheduleProblem& selected) {
    auto scheduling = PhaseScheduling::prepare(arguments, tile_count, selected);
    if (!scheduling) {
        return tl::make_unexpected(std::move(scheduling.error()));
    }
    // The relocation follows the cache warm-up, so that every run below
    // schedules the moved phase against the recipe of the original one.
    std::optional<codegen::ExchangeScheduleProblem> relocated;
    if (arguments.select_widths && arguments.relocate_by != 0) {
        auto moved = relocate_problem(selected, arguments.relocate_by);
        if (!moved) {
            return tl::make_unexpected(std::move(moved.error()));
        }
        relocated.emplace(std::move(*moved));
    }
    const codegen::ExchangeScheduleProblem& problem = relocated ? *relocated : selected;

    for (std::uint64_t run = 0; run < arguments.warmup; ++run) {
        const auto result = scheduling->run(tile_count, problem);
        if (!result) {
            return tl::make_unexpected(lowering_failure(result.error()));
        }
        const auto valid =
            codegen::validate_exchange_schedule(tile_count, result->scheduled_problem(problem), result->phase);
        if (!valid) {
            return tl::make_unexpected(lowering_failure(valid.error()));
        }
    }

    // Reserved up front so that no run pays for growing them. An iteration
    // count too large to reserve for (it could never complete anyway) gets
    // a large reservation instead of failing the allocation; growing beyond
    // it happens after a run's clock has stopped.
    constexpr std::uint64_t largest_reservation = std::uint64_t{1} << 20U;
    const auto reservation = static_cast<std::size_t>(std::min(arguments.iterations, largest_reservation));
    std::vector<RunDuration> schedule_durations;
    std::vector<RunDuration> validation_durations;
    schedule_durations.reserve(reservation);
    validation_durations.reserve(reservation);
    std::optional<RepeatBaseline> baseline;

    for (std::uint64_t run = 0; run < arguments.iterations; ++run) {
        const Clock::time_point schedule_start = Clock::now();
        auto result = scheduling->run(tile_count, problem);
        schedule_durations.push_back(elapsed_since(schedule_start));
        if (!result) {
            return tl::make_unexpected(lowering_failure(result.error()));
        }
        const codegen::ExchangeScheduleProblem& scheduled = result->scheduled_problem(problem);

        const Clock::time_point validation_start = Clock::now();
        const auto valid = codegen::validate_exchange_schedule(tile_count, scheduled, result->phase);
        const RunDuration validation_time = elapsed_since(validation_start);
        if (!valid) {
            return tl::make_unexpected(lowering_failure(valid.error()));
        }
        validation_durations.push_back(validation_time);

        if (!baseline) {
            baseline.emplace(result->phase);
        } else if (!baseline->matches(result->phase)) {
            return tl::make_unexpected(Failure(
                fmt::format("phase {} scheduler/codegen output changed between identical runs", scheduled.phase)));
        }

        if (run == 0 && arguments.dump_tile) {
            if (auto dumped = dump_tile(result->phase, scheduled.phase, *arguments.dump_tile); !dumped) {
                return dumped;
            }
        }

        if (run + 1 == arguments.iterations) {
            print_line(phase_report_line(phase_report(scheduled, result->phase, schedule_durations, validation_durations)));
        }
    }
    return {};
}

}  // namespace

tl::expected<void, Failure> run_phases(const Arguments& arguments, const codegen::ExchangeScheduleSnapshot& snapshot,
                                       std::span<const std::size_t> selected) {
    const Clock::time_point total_start = Clock::now();
    const std::uint16_t tile_count = snapshot.tile_count;
    std::vector<std::uint64_t> unshared_totals(tile_count, 0);
    auto estimator = codegen::ExchangeStorageEstimator::create(tile_count);

    for (const std::size_t index : selected) {
        const codegen::ExchangeScheduleProblem& problem = snapshot.phases[index];

        const Clock::time_point footprint_start = Clock::now();
        const std::vector<std::uint64_t> row_bytes = estimator.add_phase(problem);
        const RunDuration footprint_time = elapsed_since(footprint_start);
        const std::size_t shared_tiles = std::min(row_bytes.size(), unshared_totals.size());
        for (std::size_t tile = 0; tile < shared_tiles; ++tile) {
            unshared_totals[tile] += row_bytes[tile];
        }
        print_line(footprint_line(problem.phase, row_bytes, footprint_time));

        if (arguments.footprint_only) {
            continue;
        }
        if (auto ran = run_phase(arguments, tile_count, problem); !ran) {
            return ran;
        }
    }

    print_line(storage_summary_line(estimator.maximum_bytes(), unshared_totals));
    print_line(total_time_line(elapsed_since(total_start)));
    return {};
}

}  // namespace vorn::tests
