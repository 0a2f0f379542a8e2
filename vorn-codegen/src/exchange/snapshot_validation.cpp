#include "vorn/codegen/exchange/snapshot_validation.hpp"

#include <unordered_set>

#include <fmt/format.h>

#include "vorn/codegen/exchange/pending.hpp"
#include "vorn/exchange/topology.hpp"

namespace vorn::codegen {

tl::expected<void, ExchangeLoweringError> validate_snapshot(const ExchangeScheduleSnapshot& snapshot) {
    if (snapshot.schema_version != supported_snapshot_schema_version) {
        return tl::unexpected(ExchangeLoweringError::invalid_snapshot(
            fmt::format("unsupported schema version {} (expected {})", snapshot.schema_version,
                        supported_snapshot_schema_version)));
    }
    if (snapshot.tile_count == 0 || snapshot.tile_count > vorn::exchange::q480_tile_count) {
        return tl::unexpected(ExchangeLoweringError::invalid_snapshot(
            fmt::format("tile count {} is outside the Q480 topology", snapshot.tile_count)));
    }
    std::unordered_set<ExchangePhaseId> seen_phases;
    seen_phases.reserve(snapshot.phases.size());
    for (const ExchangeScheduleProblem& problem : snapshot.phases) {
        // Each problem is checked completely before the next one is looked
        // at, so a bad transfer wins over a later repeated phase.
        if (!seen_phases.insert(problem.phase).second) {
            return tl::unexpected(
                ExchangeLoweringError::invalid_snapshot(fmt::format("duplicate phase {}", problem.phase)));
        }
        if (auto checked = check_problem_transfers(problem, snapshot.tile_count); !checked) {
            return checked;
        }
    }
    return {};
}

}  // namespace vorn::codegen
