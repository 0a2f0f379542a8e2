#include "vorn/codegen/exchange/reuse.hpp"

#include <algorithm>
#include <cstddef>
#include <string>
#include <utility>

#include "fatal.hpp"
#include "vorn/codegen/exchange/materialize.hpp"
#include "vorn/codegen/exchange/snapshot_validation.hpp"
#include "vorn/codegen/exchange/widths.hpp"
#include "vorn/exchange/encoding.hpp"
#include "vorn/exchange/invariant.hpp"
#include "vorn/runtime/logging.hpp"
#include "vorn/runtime/siphash.hpp"

namespace vorn::codegen {
namespace {

using vorn::exchange::Topology;
using vorn::exchange::Word;

constexpr std::string_view log_target = "vorn_codegen::exchange::reuse";

bool is_sendpicp_alignment(const ExchangeLoweringError& error) {
    const auto exchange = error.exchange_error();
    return exchange && exchange->is_schedule(vorn::exchange::invariant::sendpicp_instruction_alignment);
}

// The snapshot transfers of the phase as it was scheduled.
ExchangeScheduleProblem effective_problem(ExchangePhaseId phase, std::span<const PendingTransfer> transfers) {
    ExchangeScheduleProblem problem;
    problem.phase = phase;
    problem.transfers.reserve(transfers.size());
    for (const PendingTransfer& transfer : transfers) {
        ExchangeScheduleTransfer& out = problem.transfers.emplace_back();
        out.source = transfer.source;
        out.source_addresses = transfer.source_addresses;
        out.destinations.reserve(transfer.destinations.size());
        for (const PendingDestination& destination : transfer.destinations) {
            out.destinations.push_back(ExchangeScheduleDestination{destination.tile, destination.address});
        }
        out.words = transfer.words;
        out.width = transfer.width;
    }
    return problem;
}

}  // namespace

std::uint64_t schedule_shape_hash(std::uint16_t tile_count, std::span<const PendingTransfer> transfers) {
    runtime::SipHasher13 hasher;
    hasher.write_u16_le(tile_count);
    hasher.write_u64_le(transfers.size());
    for (const PendingTransfer& transfer : transfers) {
        hasher.write_u16_le(transfer.source);
        hasher.write_u32_le(transfer.words);
        hasher.write_u64_le(transfer.source_addresses.size());
        hasher.write_u64_le(transfer.destinations.size());
        for (const PendingDestination& destination : transfer.destinations) {
            hasher.write_u16_le(destination.tile);
        }
    }
    return hasher.finish();
}

tl::expected<std::vector<std::vector<Word>>, ExchangeLoweringError> normalized_rows(
    const MaterializedSchedule& schedule) {
    // The programs the materialisation kept, else the builder finished now.
    std::optional<vorn::exchange::PhasePrograms> finished;
    const vorn::exchange::PhasePrograms* programs = schedule.programs ? &*schedule.programs : nullptr;
    if (programs == nullptr) {
        auto computed = schedule.builder.finish();
        if (!computed) {
            return tl::unexpected(ExchangeLoweringError::exchange(computed.error()));
        }
        programs = &finished.emplace(std::move(*computed));
    }
    std::vector<std::vector<Word>> rows;
    rows.reserve(programs->programs.size());
    // A tile without a program of its own runs the one-word RETURN row.
    const std::span<const Word> idle(&vorn::exchange::return_word, 1);
    for (const std::optional<std::vector<Word>>& program : programs->programs) {
        rows.push_back(program ? vorn::exchange::normalized_exchange_address_words(*program)
                               : vorn::exchange::normalized_exchange_address_words(idle));
    }
    return rows;
}

tl::expected<std::optional<RecipeReplay>, ExchangeLoweringError> ScheduleRecipe::replay(
    const Topology& topology, std::vector<PendingTransfer>& transfers, std::uint16_t tile_count) const {
    if (widths.size() != transfers.size()) {
        detail::fatal_invariant("a recipe replayed on transfers of another count");
    }
    auto alternatives = paired_transfer_alternatives(transfers, topology, tile_count);
    if (!alternatives) {
        return tl::unexpected(std::move(alternatives.error()));
    }
    const std::size_t count = transfers.size();
    for (std::size_t i = 0; i < count; ++i) {
        if (widths[i] == ExchangeItemWidth::Paired64 && !(*alternatives)[i]) {
            return std::nullopt;
        }
    }
    // The ordinary transfers move into the chosen list and move back should
    // the replay not be taken; the widened ones are replaced by their
    // alternatives and stay where they are.
    std::vector<PendingTransfer> chosen;
    chosen.reserve(count);
    for (std::size_t i = 0; i < count; ++i) {
        chosen.push_back(widths[i] == ExchangeItemWidth::Paired64 ? std::move(*(*alternatives)[i])
                                                                  : std::move(transfers[i]));
    }
    const auto give_back = [&] {
        for (std::size_t i = 0; i < count; ++i) {
            if (widths[i] != ExchangeItemWidth::Paired64) {
                transfers[i] = std::move(chosen[i]);
            }
        }
    };

    auto configuration = receive_configuration(chosen, tile_count);
    if (!configuration) {
        give_back();
        return tl::unexpected(std::move(configuration.error()));
    }
    const SchedulingProblem problem = SchedulingProblem::create(chosen, tile_count);
    auto schedule = materialize_schedule_order(topology, problem, configuration->incoming_bases,
                                               configuration->incoming_counts, order, false);
    if (!schedule && is_sendpicp_alignment(schedule.error())) {
        schedule = materialize_schedule_order(topology, problem, configuration->incoming_bases,
                                              configuration->incoming_counts, order, true);
    }
    if (!schedule) {
        give_back();
        return tl::unexpected(std::move(schedule.error()));
    }
    auto replayed_rows = normalized_rows(*schedule);
    if (!replayed_rows) {
        give_back();
        return tl::unexpected(std::move(replayed_rows.error()));
    }
    if (*replayed_rows != rows) {
        give_back();
        return std::nullopt;
    }
    return RecipeReplay{std::move(chosen), std::move(*configuration), std::move(*schedule)};
}

std::shared_ptr<const ScheduleRecipe> ExchangeScheduleCache::recipe(ExchangePhaseId phase) const {
    const auto found = recipes_.find(phase);
    return found == recipes_.end() ? nullptr : found->second;
}

tl::expected<ScheduleSelection, ExchangeLoweringError> ExchangeScheduleCache::select(
    ExchangePhaseId phase, const Topology& topology, std::vector<PendingTransfer> transfers,
    std::uint16_t tile_count) {
    const std::uint64_t shape = schedule_shape_hash(tile_count, transfers);
    if (const auto found = recipes_.find(phase); found != recipes_.end()) {
        const ScheduleRecipe& recipe = *found->second;
        if (recipe.shape == shape && recipe.widths.size() == transfers.size()) {
            auto replayed = recipe.replay(topology, transfers, tile_count);
            if (!replayed) {
                const std::string error = replayed.error().to_string();
                VORN_EVENT(runtime::Level::Debug, log_target,
                           "exchange choices require reoptimization after placement", VORN_FIELD(phase, phase),
                           VORN_FIELD(error, error));
            } else if (replayed->has_value()) {
                RecipeReplay& replay = **replayed;
                const std::uint32_t horizon = replay.schedule.horizon;
                const std::uint32_t lower_bound = endpoint_work_lower_bound(replay.transfers, tile_count);
                ScheduleSelection selection{
                    std::move(replay.transfers), std::move(replay.configuration.incoming_counts),
                    std::move(replay.configuration.incoming_bases),
                    ScheduledPending{std::move(replay.schedule), strategy_reused, 0, horizon, lower_bound}};
                VORN_EVENT(runtime::Level::Info, log_target,
                           "reused exchange optimization after validating relocated rows", VORN_FIELD(phase, phase));
                return selection;
            }
        }
    }

    auto selection = select_transfer_widths(phase, topology, std::move(transfers), tile_count);
    if (!selection) {
        return selection;
    }
    auto rows = normalized_rows(selection->scheduled.schedule);
    if (!rows) {
        return tl::unexpected(std::move(rows.error()));
    }
    auto recipe = std::make_shared<ScheduleRecipe>();
    recipe->shape = shape;
    recipe->widths.reserve(selection->transfers.size());
    for (const PendingTransfer& transfer : selection->transfers) {
        recipe->widths.push_back(transfer.width);
    }
    recipe->order = selection->scheduled.schedule.order;
    recipe->rows = std::move(*rows);
    recipes_[phase] = std::move(recipe);
    return selection;
}

tl::expected<CachedScheduleResult, ExchangeLoweringError> ExchangeScheduleCache::schedule_problem(
    std::uint16_t tile_count, const ExchangeScheduleProblem& problem) {
    // A snapshot without phases: only its tile count is checked.
    const ExchangeScheduleSnapshot bare{supported_snapshot_schema_version, tile_count, {}};
    if (auto valid = validate_snapshot(bare); !valid) {
        return tl::unexpected(std::move(valid.error()));
    }
    auto topology = machine_section(tile_count);
    if (!topology) {
        return tl::unexpected(std::move(topology.error()));
    }
    auto pending = pending_from_problem(problem, tile_count);
    if (!pending) {
        return tl::unexpected(std::move(pending.error()));
    }
    if (std::any_of(pending->begin(), pending->end(), [](const PendingTransfer& transfer) {
            return transfer.width == ExchangeItemWidth::Paired64;
        })) {
        return tl::unexpected(
            ExchangeLoweringError::invalid_snapshot("width selection requires an ordinary-transfer capture"));
    }
    auto selection = select(problem.phase, *topology, std::move(*pending), tile_count);
    if (!selection) {
        return tl::unexpected(std::move(selection.error()));
    }
    ExchangeScheduleProblem effective = effective_problem(problem.phase, selection->transfers);
    auto phase = finish_exchange_run(tile_count, problem.phase, std::move(selection->incoming_bases),
                                     std::move(selection->scheduled));
    if (!phase) {
        return tl::unexpected(std::move(phase.error()));
    }
    return CachedScheduleResult{std::move(effective), std::move(*phase)};
}

}  // namespace vorn::codegen
