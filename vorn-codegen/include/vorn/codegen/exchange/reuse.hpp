#pragma once
// The recipe cache: per physical exchange phase, the outcome of one full
// optimisation (the chosen widths and placement order) and the programs it
// produced with every address cleared. A phase that comes again with the
// same shape is placed in the remembered order and the result is kept only
// when its address-free programs equal the remembered ones; anything else
// falls back to a fresh selection, which replaces the recipe.

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <span>
#include <utility>
#include <vector>

#include <tl/expected.hpp>

#include "vorn/codegen/exchange/lowering_error.hpp"
#include "vorn/codegen/exchange/optimize.hpp"
#include "vorn/codegen/exchange/pending.hpp"
#include "vorn/codegen/exchange/physical_phase.hpp"
#include "vorn/codegen/exchange/problem.hpp"
#include "vorn/codegen/exchange/schedule.hpp"
#include "vorn/codegen/exchange/snapshot.hpp"
#include "vorn/exchange/topology.hpp"
#include "vorn/exchange/words.hpp"

namespace vorn::codegen {

// SipHash-1-3 (zero keys) of what must stay equal for a recipe to apply:
// the tile count, the number of transfers, and per transfer its source,
// words, number of source addresses, number of destinations and destination
// tiles. Addresses are not part of it.
std::uint64_t schedule_shape_hash(std::uint16_t tile_count, std::span<const PendingTransfer> transfers);

// The finished rows of the schedule's builder (RETURN for a tile without a
// row) with every address field cleared. Exchange when the builder cannot
// finish.
tl::expected<std::vector<std::vector<vorn::exchange::Word>>, ExchangeLoweringError> normalized_rows(
    const MaterializedSchedule& schedule);

// A schedule placed by replaying a recipe, with what it refers to.
struct RecipeReplay {
    std::vector<PendingTransfer> transfers;  // the chosen widths applied
    ReceiveConfiguration configuration;      // of the chosen transfers
    MaterializedSchedule schedule;
};

struct ScheduleRecipe {
    std::uint64_t shape = 0;
    std::vector<ExchangeItemWidth> widths;                // per transfer
    std::vector<std::uint32_t> order;                     // placement order
    std::vector<std::vector<vorn::exchange::Word>> rows;  // normalised, per tile

    // Applies the recipe's widths to the transfers (a widened one takes its
    // paired alternative), places them in the recipe's order, retrying once
    // with immediate offsets when the deferred search leaves a SENDPICP
    // misaligned, and checks that the normalised rows equal the recipe's.
    // Nothing when a transfer the recipe widened has no alternative now or
    // the rows differ; an error when the alternatives, the receive
    // configuration, the placement or the rows fail. Requires one width per
    // transfer. On success the transfers have moved into the result;
    // otherwise `transfers` is left as it was given.
    tl::expected<std::optional<RecipeReplay>, ExchangeLoweringError> replay(
        const vorn::exchange::Topology& topology, std::vector<PendingTransfer>& transfers,
        std::uint16_t tile_count) const;
};

// The phase as scheduled and its result.
struct CachedScheduleResult {
    ExchangeScheduleProblem problem;  // the effective problem, with the chosen widths
    PhysicalExchangePhase phase;
};

class ExchangeScheduleCache {
public:
    // Schedules one snapshot phase through the cache, widths included, and
    // finishes the run.
    tl::expected<CachedScheduleResult, ExchangeLoweringError> schedule_problem(
        std::uint16_t tile_count, const ExchangeScheduleProblem& problem);

    // Replays the phase's recipe when it applies and reproduces its rows,
    // otherwise selects widths afresh and stores the new recipe.
    tl::expected<ScheduleSelection, ExchangeLoweringError> select(ExchangePhaseId phase,
                                                                  const vorn::exchange::Topology& topology,
                                                                  std::vector<PendingTransfer> transfers,
                                                                  std::uint16_t tile_count);

    void clear() noexcept { recipes_.clear(); }
    bool empty() const noexcept { return recipes_.empty(); }
    // The stored recipe of a phase, if any.
    std::shared_ptr<const ScheduleRecipe> recipe(ExchangePhaseId phase) const;

private:
    std::map<ExchangePhaseId, std::shared_ptr<const ScheduleRecipe>> recipes_;
};

}  // namespace vorn::codegen
