#include "vorn/codegen/exchange/reuse.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <fmt/format.h>

#include "log_capture.hpp"
#include "exchange_test_support.hpp"
#include "vorn/codegen/exchange/optimize.hpp"
#include "vorn/codegen/exchange/pending.hpp"
#include "vorn/codegen/exchange/validation.hpp"
#include "vorn/exchange/topology.hpp"
#include "vorn/runtime/logging.hpp"

namespace vorn::codegen {
namespace {

using test_support::paired64;
using test_support::phase;
using test_support::transfer;
using test_support::word32;
using ::testing::ElementsAre;
using vorn::exchange::Topology;
using vorn::exchange::Word;

constexpr std::uint16_t tiles = 16;

// Tile 4 multicasts a long payload to the partner tiles 0 and 1, which the
// width selection widens, and tile 8 sends to tile 10, which stays ordinary.
ExchangeScheduleProblem pair_phase(ExchangePhaseId id = 7) {
    return phase(id, {transfer(4, 512, {0x1000}, {{0, 0x90000}, {1, 0x90000}}),
                      transfer(8, 64, {0x2000}, {{10, 0x90000}})});
}

// Every source and destination address moved by `delta`.
ExchangeScheduleProblem relocated(ExchangeScheduleProblem problem, std::uint32_t delta) {
    for (ExchangeScheduleTransfer& t : problem.transfers) {
        for (std::uint32_t& address : t.source_addresses) {
            address += delta;
        }
        for (ExchangeScheduleDestination& destination : t.destinations) {
            destination.address += delta;
        }
    }
    return problem;
}

std::vector<PendingTransfer> pending_of(const ExchangeScheduleProblem& problem, std::uint16_t tile_count = tiles) {
    auto pending = pending_from_problem(problem, tile_count);
    EXPECT_TRUE(pending.has_value()) << pending.error().to_string();
    return pending ? std::move(*pending) : std::vector<PendingTransfer>{};
}

std::uint64_t shape_of(const ExchangeScheduleProblem& problem, std::uint16_t tile_count = tiles) {
    return schedule_shape_hash(tile_count, pending_of(problem, tile_count));
}

CachedScheduleResult schedule(ExchangeScheduleCache& cache, const ExchangeScheduleProblem& problem,
                              std::uint16_t tile_count = tiles) {
    auto result = cache.schedule_problem(tile_count, problem);
    EXPECT_TRUE(result.has_value()) << result.error().to_string();
    if (!result) {
        return CachedScheduleResult{problem, {}};
    }
    const auto valid = validate_exchange_schedule(tile_count, result->problem, result->phase);
    EXPECT_TRUE(valid.has_value()) << valid.error().to_string();
    return std::move(*result);
}

std::vector<ExchangeItemWidth> widths_of(const ExchangeScheduleProblem& problem) {
    std::vector<ExchangeItemWidth> widths;
    for (const ExchangeScheduleTransfer& t : problem.transfers) {
        widths.push_back(t.width);
    }
    return widths;
}

// ---------------------------------------------------------------------------
// Shape hash

TEST(ScheduleShapeHash, CountsAndTilesChangeTheShapeAddressesDoNot) {
    const ExchangeScheduleProblem base = pair_phase();
    const std::uint64_t base_shape = shape_of(base);
    struct Change {
        const char* name;
        std::function<void(ExchangeScheduleProblem&)> apply;
        bool same_shape;
    };
    const std::vector<Change> changes = {
        {"one transfer more", [](auto& p) { p.transfers.push_back(transfer(2, 4, {0x3000}, {{3, 0x90000}})); },
         false},
        {"another destination tile", [](auto& p) { p.transfers[1].destinations[0].tile = 11; }, false},
        {"another word count", [](auto& p) { p.transfers[1].words = 66; }, false},
        {"another source tile", [](auto& p) { p.transfers[1].source = 9; }, false},
        {"one destination more", [](auto& p) { p.transfers[1].destinations.push_back({12, 0x90000}); }, false},
        {"one source address more", [](auto& p) { p.transfers[1].source_addresses.push_back(0x4000); }, false},
        {"transfers swapped", [](auto& p) { std::swap(p.transfers[0], p.transfers[1]); }, false},
        {"another source address", [](auto& p) { p.transfers[0].source_addresses[0] = 0x1800; }, true},
        {"another destination address", [](auto& p) { p.transfers[1].destinations[0].address = 0xA0004; }, true},
        {"everything relocated", [](auto& p) { p = relocated(p, 0x40); }, true},
        {"another phase id", [](auto& p) { p.phase = 99; }, true},
    };
    for (const Change& change : changes) {
        ExchangeScheduleProblem changed = base;
        change.apply(changed);
        EXPECT_EQ(shape_of(changed) == base_shape, change.same_shape) << change.name;
    }
    EXPECT_NE(shape_of(base, 32), base_shape) << "another tile count";
}

// ---------------------------------------------------------------------------
// Normalised rows

TEST(NormalizedRows, RowsThatDifferOnlyInAddressesAreEqual) {
    const auto build = [](const ExchangeScheduleProblem& problem) {
        const Topology topology = *Topology::q480_section(tiles);
        auto selection = optimize_owned_pending(topology, pending_of(problem), tiles);
        EXPECT_TRUE(selection.has_value());
        return std::move(*selection);
    };
    const ScheduleSelection original = build(pair_phase());
    const ScheduleSelection moved = build(relocated(pair_phase(), 0x40));
    const auto original_rows = normalized_rows(original.scheduled.schedule);
    const auto moved_rows = normalized_rows(moved.scheduled.schedule);
    ASSERT_TRUE(original_rows.has_value()) << original_rows.error().to_string();
    ASSERT_TRUE(moved_rows.has_value()) << moved_rows.error().to_string();
    ASSERT_EQ(original_rows->size(), tiles);
    EXPECT_EQ(*original_rows, *moved_rows);
    // Tile 15 takes no part: the RETURN row.
    EXPECT_THAT((*original_rows)[15], ElementsAre(vorn::exchange::return_word));

    // The programs themselves carry the addresses and differ.
    auto original_programs = original.scheduled.schedule.builder.finish();
    auto moved_programs = moved.scheduled.schedule.builder.finish();
    ASSERT_TRUE(original_programs && moved_programs);
    EXPECT_NE(original_programs->programs, moved_programs->programs);
    // Computing them leaves the schedule usable.
    EXPECT_EQ(normalized_rows(original.scheduled.schedule), original_rows);
}

// ---------------------------------------------------------------------------
// The cache

TEST(ExchangeScheduleCache, FirstSelectionStoresARecipeTheSecondReusesIt) {
    ExchangeScheduleCache cache;
    EXPECT_TRUE(cache.empty());
    const ExchangeScheduleProblem problem = pair_phase();
    const CachedScheduleResult first = schedule(cache, problem);
    EXPECT_FALSE(first.phase.reused);
    EXPECT_THAT(widths_of(first.problem), ElementsAre(paired64, word32));

    const std::shared_ptr<const ScheduleRecipe> recipe = cache.recipe(7);
    ASSERT_NE(recipe, nullptr);
    EXPECT_FALSE(cache.empty());
    EXPECT_EQ(cache.recipe(8), nullptr);
    EXPECT_EQ(recipe->shape, shape_of(problem));
    EXPECT_THAT(recipe->widths, ElementsAre(paired64, word32));
    EXPECT_EQ(recipe->order.size(), 2U);
    EXPECT_EQ(recipe->rows.size(), tiles);

    const CachedScheduleResult second = schedule(cache, problem);
    EXPECT_TRUE(second.phase.reused);
    EXPECT_EQ(second.problem, first.problem);
    EXPECT_EQ(second.phase.rows, first.phase.rows);
    EXPECT_EQ(second.phase.activities, first.phase.activities);
    EXPECT_EQ(second.phase.horizon_cycles, first.phase.horizon_cycles);
    EXPECT_EQ(second.phase.initial_horizon_cycles, second.phase.horizon_cycles);
    EXPECT_EQ(second.phase.neighborhood_improvements, 0U);
    EXPECT_EQ(second.phase.endpoint_lower_bound_cycles, first.phase.endpoint_lower_bound_cycles);
    // A replay leaves the recipe as it is.
    EXPECT_EQ(cache.recipe(7), recipe);

    cache.clear();
    EXPECT_TRUE(cache.empty());
    EXPECT_FALSE(schedule(cache, problem).phase.reused);
}

TEST(ExchangeScheduleCache, RelocationByAMultipleOf8IsReplayed) {
    for (const std::uint32_t delta : {0x8U, 0x40U, 0x4000U}) {
        ExchangeScheduleCache cache;
        const CachedScheduleResult first = schedule(cache, pair_phase());
        const std::shared_ptr<const ScheduleRecipe> recipe = cache.recipe(7);
        const ExchangeScheduleProblem moved = relocated(pair_phase(), delta);
        const CachedScheduleResult second = schedule(cache, moved);
        EXPECT_TRUE(second.phase.reused) << delta;
        EXPECT_EQ(cache.recipe(7), recipe) << delta;
        EXPECT_EQ(second.phase.horizon_cycles, first.phase.horizon_cycles) << delta;
        // The effective problem carries the relocated addresses.
        EXPECT_EQ(second.problem.transfers[0].source_addresses, moved.transfers[0].source_addresses) << delta;
        EXPECT_EQ(second.problem.transfers[1].destinations, moved.transfers[1].destinations) << delta;
        EXPECT_THAT(widths_of(second.problem), ElementsAre(paired64, word32)) << delta;
    }
}

TEST(ExchangeScheduleCache, AnotherShapeIsSelectedAfreshAndReplacesTheRecipe) {
    struct Variant {
        const char* name;
        ExchangeScheduleProblem problem;
        std::uint16_t tile_count;
    };
    ExchangeScheduleProblem more = pair_phase();
    more.transfers.push_back(transfer(2, 4, {0x3000}, {{3, 0x90000}}));
    ExchangeScheduleProblem words = pair_phase();
    words.transfers[1].words = 66;
    ExchangeScheduleProblem tile = pair_phase();
    tile.transfers[1].destinations[0].tile = 11;
    const std::vector<Variant> variants = {
        {"one transfer more", more, tiles},
        {"another word count", words, tiles},
        {"another destination tile", tile, tiles},
        {"another tile count", pair_phase(), 32},
    };
    for (const Variant& variant : variants) {
        ExchangeScheduleCache cache;
        schedule(cache, pair_phase());
        const std::shared_ptr<const ScheduleRecipe> old_recipe = cache.recipe(7);
        const CachedScheduleResult result = schedule(cache, variant.problem, variant.tile_count);
        EXPECT_FALSE(result.phase.reused) << variant.name;
        const std::shared_ptr<const ScheduleRecipe> new_recipe = cache.recipe(7);
        ASSERT_NE(new_recipe, nullptr) << variant.name;
        EXPECT_NE(new_recipe, old_recipe) << variant.name;
        EXPECT_EQ(new_recipe->shape, shape_of(variant.problem, variant.tile_count)) << variant.name;
        EXPECT_EQ(new_recipe->widths.size(), variant.problem.transfers.size()) << variant.name;
        // The new recipe is the one replayed next.
        EXPECT_TRUE(schedule(cache, variant.problem, variant.tile_count).phase.reused) << variant.name;
    }
}

// Tile 0 sends to tile 2 while tile 2 sends on to tile 6. As captured, tile
// 2 receives into one memory element and sends from another, so both can
// run at once; `same_element` moves the send buffer next to the receive
// buffer (no byte shared, so no ordering), and the hazard delays the send.
ExchangeScheduleProblem hazard_phase(bool same_element) {
    return phase(4, {transfer(0, 64, {0x20000}, {{2, 0x10000}}),
                     transfer(2, 64, {same_element ? 0x10400U : 0x30000U}, {{6, 0x90000}})});
}

TEST(ExchangeScheduleCache, ReplayWithOtherRowsFallsBackAndReplacesTheRecipe) {
    ExchangeScheduleCache cache;
    const CachedScheduleResult separate = schedule(cache, hazard_phase(false));
    const std::shared_ptr<const ScheduleRecipe> old_recipe = cache.recipe(4);
    ASSERT_EQ(shape_of(hazard_phase(true)), old_recipe->shape);

    const CachedScheduleResult shared = schedule(cache, hazard_phase(true));
    EXPECT_FALSE(shared.phase.reused);
    EXPECT_GT(shared.phase.horizon_cycles, separate.phase.horizon_cycles);
    const std::shared_ptr<const ScheduleRecipe> new_recipe = cache.recipe(4);
    EXPECT_NE(new_recipe, old_recipe);
    EXPECT_NE(new_recipe->rows, old_recipe->rows);
    EXPECT_TRUE(schedule(cache, hazard_phase(true)).phase.reused);
}

TEST(ExchangeScheduleCache, WidenedTransferWithoutAlternativeIsSelectedAfresh) {
    ExchangeScheduleCache cache;
    schedule(cache, pair_phase());
    const std::shared_ptr<const ScheduleRecipe> old_recipe = cache.recipe(7);
    ASSERT_THAT(old_recipe->widths, ElementsAre(paired64, word32));
    // A destination moved by 4 is no longer 8-byte aligned: the multicast
    // cannot be widened, so the recipe's widths no longer apply.
    ExchangeScheduleProblem unaligned = pair_phase();
    unaligned.transfers[0].destinations[1].address += 4;
    const CachedScheduleResult result = schedule(cache, unaligned);
    EXPECT_FALSE(result.phase.reused);
    EXPECT_THAT(widths_of(result.problem), ElementsAre(word32, word32));
    EXPECT_THAT(cache.recipe(7)->widths, ElementsAre(word32, word32));
}

TEST(ExchangeScheduleCache, PhasesKeepTheirOwnRecipes) {
    ExchangeScheduleCache cache;
    schedule(cache, pair_phase(1));
    schedule(cache, hazard_phase(false));
    EXPECT_NE(cache.recipe(1), nullptr);
    EXPECT_NE(cache.recipe(4), nullptr);
    EXPECT_TRUE(schedule(cache, pair_phase(1)).phase.reused);
    EXPECT_FALSE(schedule(cache, pair_phase(2)).phase.reused);
}

TEST(ExchangeScheduleCache, RejectedPhasesLeaveTheCacheAlone) {
    ExchangeScheduleCache cache;
    const auto paired =
        cache.schedule_problem(tiles, phase(7, {transfer(4, 8, {0x1000}, {{0, 0x90000}, {1, 0x90000}}, paired64)}));
    ASSERT_FALSE(paired.has_value());
    EXPECT_EQ(paired.error(),
              ExchangeLoweringError::invalid_snapshot("width selection requires an ordinary-transfer capture"));

    for (const std::uint16_t tile_count : {std::uint16_t{0}, std::uint16_t{1473}}) {
        const auto outside = cache.schedule_problem(tile_count, pair_phase());
        ASSERT_FALSE(outside.has_value());
        EXPECT_EQ(outside.error(), ExchangeLoweringError::invalid_snapshot(
                                       fmt::format("tile count {} is outside the Q480 topology", tile_count)));
    }

    const ExchangeScheduleProblem bad = phase(7, {transfer(4, 8, {0x1000}, {{20, 0x90000}})});
    const auto conversion = cache.schedule_problem(tiles, bad);
    ASSERT_FALSE(conversion.has_value());
    EXPECT_EQ(conversion.error(), pending_from_problem(bad, tiles).error());
    EXPECT_TRUE(cache.empty());
}

// ---------------------------------------------------------------------------
// Log events, each check in a freshly started copy of the test program (the
// subscriber can be installed once per process).

// Captures the recipe cache's events while `body` runs (see run_logged).
[[noreturn]] void run_logged(const std::function<std::string()>& body) {
    runtime::test_support::run_logged("vorn_codegen::exchange::reuse=debug", body);
}

TEST(ExchangeScheduleCacheEventsDeathTest, ReuseIsLoggedWithThePhase) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(run_logged([] {
                    ExchangeScheduleCache cache;
                    if (!cache.schedule_problem(tiles, pair_phase(12))) {
                        return std::string("the first scheduling failed");
                    }
                    std::string failure = runtime::test_support::log_mismatch("");
                    auto second = cache.schedule_problem(tiles, relocated(pair_phase(12), 0x40));
                    if (!second || !second->phase.reused) {
                        return std::string("the relocated phase was not reused");
                    }
                    failure += runtime::test_support::log_mismatch(
                        "INFO vorn_codegen::exchange::reuse: reused exchange optimization after validating "
                        "relocated rows phase=12\n");
                    return failure;
                }),
                ::testing::ExitedWithCode(0), "");
}

TEST(ExchangeScheduleCacheEventsDeathTest, MismatchingRowsFallBackSilently) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(run_logged([] {
                    ExchangeScheduleCache cache;
                    auto first = cache.schedule_problem(tiles, hazard_phase(false));
                    auto second = cache.schedule_problem(tiles, hazard_phase(true));
                    if (!first || !second || second->phase.reused) {
                        return std::string("the moved phase was not scheduled afresh");
                    }
                    return runtime::test_support::log_mismatch("");
                }),
                ::testing::ExitedWithCode(0), "");
}

TEST(ExchangeScheduleCacheEventsDeathTest, FailedReplayIsLoggedAndSelectedAfresh) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(run_logged([] {
                    ExchangeScheduleCache cache;
                    const Topology topology = *Topology::q480_section(tiles);
                    if (!cache.select(7, topology, pending_of(pair_phase()), tiles)) {
                        return std::string("the first selection failed");
                    }
                    const std::shared_ptr<const ScheduleRecipe> recipe = cache.recipe(7);
                    // On a machine section without tile 10 the replay cannot
                    // look up the destinations, and nor can the fresh
                    // selection, whose error is returned.
                    const Topology small = *Topology::q480_section(10);
                    const auto again = cache.select(7, small, pending_of(pair_phase()), tiles);
                    const ExchangeLoweringError expected =
                        ExchangeLoweringError::exchange(vorn::exchange::ExchangeError::tile(10));
                    if (again || again.error() != expected) {
                        return std::string("the selection did not fail with Tile(10)");
                    }
                    if (cache.recipe(7) != recipe) {
                        return std::string("a failed selection changed the recipe");
                    }
                    return runtime::test_support::log_mismatch(fmt::format("DEBUG vorn_codegen::exchange::reuse: exchange choices require "
                                                  "reoptimization after placement phase=7 error=\"{}\"\n",
                                                  expected.to_string()));
                }),
                ::testing::ExitedWithCode(0), "");
}

}  // namespace
}  // namespace vorn::codegen
