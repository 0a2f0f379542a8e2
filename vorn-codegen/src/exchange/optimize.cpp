#include "vorn/codegen/exchange/optimize.hpp"

#include <algorithm>
#include <optional>
#include <utility>

#include <fmt/format.h>

#include "vorn/codegen/exchange/materialize.hpp"
#include "vorn/codegen/exchange/order.hpp"
#include "vorn/codegen/exchange/problem.hpp"

namespace vorn::codegen {
namespace {

using vorn::exchange::Topology;
using vorn::exchange::Word;

bool all_point_to_point(std::span<const PendingTransfer> transfers) {
    return std::all_of(transfers.begin(), transfers.end(),
                       [](const PendingTransfer& transfer) { return transfer.destinations.size() == 1; });
}

// Materialises a candidate order; a candidate that cannot be built is simply
// not taken.
std::optional<MaterializedSchedule> candidate_schedule(const Topology& topology, const SchedulingProblem& problem,
                                                       std::span<const std::uint32_t> incoming_bases,
                                                       std::span<const std::uint64_t> incoming_counts,
                                                       std::span<const std::uint32_t> order) {
    auto candidate = materialize_schedule_order(topology, problem, incoming_bases, incoming_counts, order, false);
    if (!candidate) {
        return std::nullopt;
    }
    return std::move(*candidate);
}

}  // namespace

tl::expected<Topology, ExchangeLoweringError> machine_section(std::uint16_t tile_count) {
    auto topology = Topology::q480_section(tile_count);
    if (!topology) {
        return tl::unexpected(ExchangeLoweringError::exchange(topology.error()));
    }
    return std::move(*topology);
}

tl::expected<ScheduledPending, ExchangeLoweringError> optimize_pending_schedule(
    const Topology& topology, std::span<const PendingTransfer> transfers,
    std::span<const std::uint32_t> incoming_bases, std::span<const std::uint64_t> incoming_counts,
    std::uint16_t tile_count) {
    const SchedulingProblem problem = SchedulingProblem::create(transfers, tile_count);
    auto greedy = materialize_greedy_schedule(topology, problem, incoming_bases, incoming_counts);
    if (!greedy) {
        return tl::unexpected(std::move(greedy.error()));
    }
    ScheduledPending result{std::move(*greedy), strategy_full_duplex, 0, 0,
                            endpoint_work_lower_bound(transfers, tile_count)};
    result.initial_horizon_cycles = result.schedule.horizon;

    if (transfers.size() >= 2 && all_point_to_point(transfers)) {
        if (auto order = point_to_point_matching_wave_order(problem, result.schedule)) {
            auto candidate = candidate_schedule(topology, problem, incoming_bases, incoming_counts, *order);
            if (candidate && candidate->horizon < result.schedule.horizon) {
                result.schedule = std::move(*candidate);
                result.strategy = strategy_matching_waves;
            }
        }
    }

    // Every accepted pass strictly lowers the horizon, so the passes end.
    for (;;) {
        auto order = critical_neighborhood_order(problem, result.schedule, false);
        if (!order) {
            order = critical_neighborhood_order(problem, result.schedule, true);
        }
        if (!order || *order == result.schedule.order) {
            break;
        }
        auto candidate = candidate_schedule(topology, problem, incoming_bases, incoming_counts, *order);
        if (!candidate || candidate->horizon >= result.schedule.horizon) {
            break;
        }
        result.schedule = std::move(*candidate);
        ++result.neighborhood_improvements;
        result.strategy = strategy_critical_neighborhood;
    }
    return result;
}

tl::expected<ScheduleSelection, ExchangeLoweringError> optimize_owned_pending(const Topology& topology,
                                                                              std::vector<PendingTransfer> transfers,
                                                                              std::uint16_t tile_count) {
    auto configuration = receive_configuration(transfers, tile_count);
    if (!configuration) {
        return tl::unexpected(std::move(configuration.error()));
    }
    auto scheduled = optimize_pending_schedule(topology, transfers, configuration->incoming_bases,
                                               configuration->incoming_counts, tile_count);
    if (!scheduled) {
        return tl::unexpected(std::move(scheduled.error()));
    }
    return ScheduleSelection{std::move(transfers), std::move(configuration->incoming_counts),
                             std::move(configuration->incoming_bases), std::move(*scheduled)};
}

tl::expected<PhysicalExchangePhase, ExchangeLoweringError> finish_exchange_run(
    std::uint16_t tile_count, ExchangePhaseId phase, std::vector<std::uint32_t> incoming_bases,
    ScheduledPending scheduled) {
    auto programs = scheduled.schedule.take_finished_programs();
    if (!programs) {
        return tl::unexpected(ExchangeLoweringError::exchange(programs.error()));
    }
    if (programs->horizon != scheduled.schedule.horizon) {
        return tl::unexpected(ExchangeLoweringError::invariant(
            fmt::format("phase {} row horizon {} differs from scheduled horizon {}", phase, programs->horizon,
                        scheduled.schedule.horizon)));
    }
    PhysicalExchangePhase result;
    result.active.assign(tile_count, false);
    result.rows.resize(tile_count);
    for (std::size_t tile = 0; tile < tile_count; ++tile) {
        std::optional<std::vector<Word>>* program =
            tile < programs->programs.size() ? &programs->programs[tile] : nullptr;
        if (program != nullptr && program->has_value()) {
            result.active[tile] = true;
            result.rows[tile] = std::move(**program);
        } else {
            result.rows[tile].assign(1, vorn::exchange::return_word);
        }
    }
    result.incoming_bases = std::move(incoming_bases);
    result.tile_horizons = std::move(programs->tile_horizons);
    result.activities = std::move(scheduled.schedule.activities);
    result.repeat_patches.resize(tile_count);
    result.phase = phase;
    result.horizon_cycles = scheduled.schedule.horizon;
    result.neighborhood_improvements = scheduled.neighborhood_improvements;
    result.initial_horizon_cycles = scheduled.initial_horizon_cycles;
    result.endpoint_lower_bound_cycles = scheduled.endpoint_lower_bound_cycles;
    result.reused = scheduled.strategy == strategy_reused;
    return result;
}

tl::expected<PhysicalExchangePhase, ExchangeLoweringError> schedule_exchange_problem(
    std::uint16_t tile_count, const ExchangeScheduleProblem& problem) {
    if (tile_count == 0 || tile_count > vorn::exchange::q480_tile_count) {
        return tl::unexpected(ExchangeLoweringError::invalid_snapshot(
            fmt::format("tile count {} is outside the Q480 topology", tile_count)));
    }
    auto topology = machine_section(tile_count);
    if (!topology) {
        return tl::unexpected(std::move(topology.error()));
    }
    auto pending = pending_from_problem(problem, tile_count);
    if (!pending) {
        return tl::unexpected(std::move(pending.error()));
    }
    auto selection = optimize_owned_pending(*topology, std::move(*pending), tile_count);
    if (!selection) {
        return tl::unexpected(std::move(selection.error()));
    }
    return finish_exchange_run(tile_count, problem.phase, std::move(selection->incoming_bases),
                               std::move(selection->scheduled));
}

}  // namespace vorn::codegen
