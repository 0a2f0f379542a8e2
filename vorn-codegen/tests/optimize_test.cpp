#include "vorn/codegen/exchange/optimize.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "exchange_test_support.hpp"
#include "vorn/codegen/exchange/materialize.hpp"
#include "vorn/codegen/exchange/problem.hpp"
#include "vorn/codegen/exchange/validation.hpp"
#include "vorn/exchange/topology.hpp"

namespace vorn::codegen {
namespace {

using test_support::phase;
using test_support::transfer;
using ::testing::Each;
using ::testing::ElementsAre;
using ::testing::IsEmpty;
using vorn::exchange::Topology;
using vorn::exchange::Word;

constexpr Word return_word = 0x43A00000U;

TEST(ScheduleExchangeProblem, TileCountMustLieInsideQ480) {
    const ExchangeScheduleProblem bad = phase(3, {transfer(0, 4, {0}, {{40000, 0}})});
    for (const std::uint16_t tiles : {std::uint16_t{0}, std::uint16_t{1473}}) {
        const auto result = schedule_exchange_problem(tiles, bad);
        ASSERT_FALSE(result.has_value());
        EXPECT_EQ(result.error().kind(), ExchangeLoweringErrorKind::InvalidSnapshot);
        EXPECT_EQ(result.error().text(), "tile count " + std::to_string(tiles) + " is outside the Q480 topology");
    }
    const auto full = schedule_exchange_problem(1472, phase(3, {}));
    ASSERT_TRUE(full.has_value()) << full.error().to_string();
    EXPECT_EQ(full->rows.size(), 1472U);
}

TEST(ScheduleExchangeProblem, TransferErrorsComeFromTheConversion) {
    const auto result = schedule_exchange_problem(4, phase(9, {transfer(0, 4, {0}, {{7, 0}})}));
    ASSERT_FALSE(result.has_value());
    EXPECT_EQ(result.error().kind(), ExchangeLoweringErrorKind::InvalidSnapshot);
}

TEST(ScheduleExchangeProblem, PhaseHasOneEntryPerTileAndIdleTilesReturn) {
    // Tiles 0 -> 1 and 2 -> {3, 4}; tiles 5..7 take no part.
    const ExchangeScheduleProblem problem =
        phase(12, {transfer(0, 6, {0x100}, {{1, 0x2000}}), transfer(2, 4, {0x40}, {{3, 0x800}, {4, 0x900}})});
    const auto result = schedule_exchange_problem(8, problem);
    ASSERT_TRUE(result.has_value()) << result.error().to_string();
    const PhysicalExchangePhase& scheduled = *result;
    EXPECT_EQ(scheduled.phase, 12U);
    EXPECT_THAT(scheduled.active, ElementsAre(true, true, true, true, true, false, false, false));
    ASSERT_EQ(scheduled.rows.size(), 8U);
    for (std::size_t tile = 5; tile < 8; ++tile) {
        EXPECT_THAT(scheduled.rows[tile], ElementsAre(return_word)) << tile;
        EXPECT_EQ(scheduled.tile_horizons[tile], 0U) << tile;
        EXPECT_THAT(scheduled.activities[tile], IsEmpty()) << tile;
    }
    EXPECT_EQ(scheduled.incoming_bases.size(), 8U);
    EXPECT_EQ(scheduled.incoming_bases[1], 0x2000U);  // the only incoming transfer of tile 1
    EXPECT_EQ(scheduled.incoming_bases[3], 0U);       // reached by a multicast
    EXPECT_EQ(scheduled.tile_horizons.size(), 8U);
    EXPECT_EQ(scheduled.activities.size(), 8U);
    ASSERT_EQ(scheduled.repeat_patches.size(), 8U);
    EXPECT_THAT(scheduled.repeat_patches, Each(IsEmpty()));
    EXPECT_FALSE(scheduled.reused);
    EXPECT_GT(scheduled.horizon_cycles, 0U);
    EXPECT_EQ(scheduled.horizon_cycles,
              *std::max_element(scheduled.tile_horizons.begin(), scheduled.tile_horizons.end()));
    EXPECT_TRUE(validate_exchange_schedule(8, problem, scheduled).has_value());
}

TEST(ScheduleExchangeProblem, PartnerOfAPairedSourceIsActiveOnlyWithARow) {
    // Tile 0 sends paired with its partner tile 1 to the partner pair 2, 3.
    const ExchangeScheduleProblem problem = phase(
        1, {transfer(0, 8, {0x100}, {{2, 0x2000}, {3, 0x2000}}, test_support::paired64)});
    const auto result = schedule_exchange_problem(8, problem);
    ASSERT_TRUE(result.has_value()) << result.error().to_string();
    EXPECT_EQ(result->active[1], result->tile_horizons[1] != 0);
    EXPECT_EQ(result->active[1], result->rows[1] != std::vector<Word>{return_word});
    ASSERT_EQ(result->activities[1].size(), 1U);
    EXPECT_EQ(result->activities[1][0].kind, ExchangeActivityKind::PartnerBusy);
    EXPECT_TRUE(validate_exchange_schedule(8, problem, *result).has_value());
}

TEST(ScheduleExchangeProblem, OneTransferKeepsTheGreedySchedule) {
    const auto result = schedule_exchange_problem(4, phase(0, {transfer(1, 10, {0}, {{2, 0x400}})}));
    ASSERT_TRUE(result.has_value()) << result.error().to_string();
    EXPECT_EQ(result->neighborhood_improvements, 0U);
    EXPECT_EQ(result->initial_horizon_cycles, result->horizon_cycles);
    EXPECT_EQ(result->endpoint_lower_bound_cycles, 10U);
}

// The pending transfers of a phase with their receive configuration.
struct Pending {
    std::uint16_t tile_count;
    std::vector<PendingTransfer> transfers;
    ReceiveConfiguration config;
    Topology topology;

    Pending(std::uint16_t tiles, const ExchangeScheduleProblem& problem)
        : tile_count(tiles),
          transfers(*pending_from_problem(problem, tiles)),
          config(*receive_configuration(transfers, tiles)),
          topology(*Topology::q480_section(tiles)) {}

    ScheduledPending optimize() const {
        auto result = optimize_pending_schedule(topology, transfers, config.incoming_bases, config.incoming_counts,
                                                tile_count);
        EXPECT_TRUE(result.has_value()) << result.error().to_string();
        return std::move(*result);
    }
};

ExchangeScheduleProblem ring_phase(std::uint16_t tiles, std::uint32_t rounds) {
    std::vector<ExchangeScheduleTransfer> transfers;
    for (std::uint32_t round = 1; round <= rounds; ++round) {
        for (std::uint16_t tile = 0; tile < tiles; ++tile) {
            const auto to = static_cast<std::uint16_t>((tile + round) % tiles);
            transfers.push_back(transfer(tile, 4 + (tile * 7 + round) % 29, {0x100U * round},
                                         {{to, 0x10000U + 0x1000U * round + 0x40U * tile}}));
        }
    }
    return phase(5, std::move(transfers));
}

TEST(OptimizePendingSchedule, StrategyAndStatisticsDescribeTheKeptSchedule) {
    for (const std::uint32_t rounds : {1U, 3U, 6U}) {
        const Pending pending(16, ring_phase(16, rounds));
        const ScheduledPending result = pending.optimize();
        EXPECT_THAT(std::string(result.strategy),
                    ::testing::AnyOf("full-duplex", "matching-waves", "critical-neighborhood"));
        EXPECT_LE(result.schedule.horizon, result.initial_horizon_cycles);
        if (result.strategy == strategy_full_duplex) {
            EXPECT_EQ(result.schedule.horizon, result.initial_horizon_cycles);
        }
        if (result.strategy != strategy_critical_neighborhood) {
            EXPECT_EQ(result.neighborhood_improvements, 0U);
        } else {
            EXPECT_GE(result.neighborhood_improvements, 1U);
        }
        EXPECT_EQ(result.endpoint_lower_bound_cycles,
                  endpoint_work_lower_bound(pending.transfers, pending.tile_count));
        EXPECT_GE(result.schedule.horizon, result.endpoint_lower_bound_cycles);

        // The initial horizon is the greedy schedule's.
        const SchedulingProblem problem = SchedulingProblem::create(pending.transfers, pending.tile_count);
        const auto greedy = materialize_greedy_schedule(pending.topology, problem, pending.config.incoming_bases,
                                                        pending.config.incoming_counts);
        ASSERT_TRUE(greedy.has_value());
        EXPECT_EQ(result.initial_horizon_cycles, greedy->horizon);
    }
}

TEST(OptimizeOwnedPending, KeepsTheTransfersAndTheirConfiguration) {
    const Pending pending(16, ring_phase(16, 2));
    auto owned = optimize_owned_pending(pending.topology, pending.transfers, pending.tile_count);
    ASSERT_TRUE(owned.has_value()) << owned.error().to_string();
    EXPECT_EQ(owned->transfers, pending.transfers);
    EXPECT_EQ(owned->incoming_counts, pending.config.incoming_counts);
    EXPECT_EQ(owned->incoming_bases, pending.config.incoming_bases);
    EXPECT_EQ(owned->scheduled.schedule.horizon, pending.optimize().schedule.horizon);

    std::vector<PendingTransfer> outside = pending.transfers;
    outside[0].destinations[0].tile = 40;
    const auto failed = optimize_owned_pending(pending.topology, std::move(outside), pending.tile_count);
    ASSERT_FALSE(failed.has_value());
    EXPECT_EQ(failed.error().kind(), ExchangeLoweringErrorKind::InvalidDestination);
}

TEST(FinishExchangeRun, ReusedExactlyForTheReplayStrategy) {
    for (const auto& [strategy, reused] : {std::pair{strategy_full_duplex, false},
                                           std::pair{strategy_matching_waves, false},
                                           std::pair{strategy_critical_neighborhood, false},
                                           std::pair{strategy_reused, true}}) {
        const Pending pending(8, ring_phase(8, 1));
        ScheduledPending scheduled = pending.optimize();
        scheduled.strategy = strategy;
        scheduled.neighborhood_improvements = 3;
        scheduled.initial_horizon_cycles = 77;
        scheduled.endpoint_lower_bound_cycles = 5;
        const std::uint32_t horizon = scheduled.schedule.horizon;
        const auto finished = finish_exchange_run(8, 21, pending.config.incoming_bases, std::move(scheduled));
        ASSERT_TRUE(finished.has_value()) << finished.error().to_string();
        EXPECT_EQ(finished->reused, reused) << strategy;
        EXPECT_EQ(finished->phase, 21U);
        EXPECT_EQ(finished->horizon_cycles, horizon);
        EXPECT_EQ(finished->neighborhood_improvements, 3U);
        EXPECT_EQ(finished->initial_horizon_cycles, 77U);
        EXPECT_EQ(finished->endpoint_lower_bound_cycles, 5U);
    }
}

TEST(FinishExchangeRun, HorizonNotTakenFromTheBuilderIsAnInvariantFailure) {
    const Pending pending(8, ring_phase(8, 1));
    ScheduledPending scheduled = pending.optimize();
    const std::uint32_t row_horizon = scheduled.schedule.builder.event_cycles();
    scheduled.schedule.horizon = row_horizon + 1;
    const auto finished = finish_exchange_run(8, 4, pending.config.incoming_bases, std::move(scheduled));
    ASSERT_FALSE(finished.has_value());
    EXPECT_EQ(finished.error().kind(), ExchangeLoweringErrorKind::Invariant);
    EXPECT_EQ(finished.error().text(), "phase 4 row horizon " + std::to_string(row_horizon) +
                                           " differs from scheduled horizon " + std::to_string(row_horizon + 1));
}

TEST(ScheduleExchangeProblem, RepeatedRunsAreEqual) {
    const ExchangeScheduleProblem problem = ring_phase(32, 4);
    const auto first = schedule_exchange_problem(32, problem);
    const auto second = schedule_exchange_problem(32, problem);
    ASSERT_TRUE(first.has_value() && second.has_value());
    EXPECT_TRUE(*first == *second);
    EXPECT_TRUE(validate_exchange_schedule(32, problem, *first).has_value());
}

}  // namespace
}  // namespace vorn::codegen
