#include "vorn/codegen/exchange/materialize.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "exchange_test_support.hpp"
#include "vorn/codegen/exchange/problem.hpp"
#include "vorn/exchange/topology.hpp"

namespace vorn::codegen {
namespace {

using test_support::pending;
using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using vorn::exchange::Topology;

// The transfers of a phase with everything materialisation needs.
struct Phase {
    std::uint16_t tile_count;
    std::vector<PendingTransfer> transfers;
    ReceiveConfiguration config;
    Topology topology;
    SchedulingProblem problem;

    Phase(std::uint16_t tiles, std::vector<PendingTransfer> given)
        : tile_count(tiles),
          transfers(test_support::positions(std::move(given))),
          config(*receive_configuration(transfers, tiles)),
          topology(*Topology::q480_section(tiles)),
          problem(SchedulingProblem::create(transfers, tiles)) {}

    tl::expected<MaterializedSchedule, ExchangeLoweringError> greedy(bool immediate = false) const {
        return materialize_greedy_schedule_impl(topology, problem, config.incoming_bases, config.incoming_counts,
                                                immediate);
    }
    tl::expected<MaterializedSchedule, ExchangeLoweringError> in_order(std::vector<std::uint32_t> order) const {
        return materialize_schedule_order(topology, problem, config.incoming_bases, config.incoming_counts, order,
                                          false);
    }
};

PendingTransfer point(std::uint16_t from, std::uint16_t to, std::uint32_t words, std::uint32_t source_address = 0,
                      std::uint32_t destination_address = 0x4000) {
    return pending(from, words, {source_address}, {{to, destination_address}});
}

TEST(GreedyMaterialization, IndependentTransfersGoByLoadThenReceiversItemsSourceAndPosition) {
    // Disjoint tiles, no dependencies: every ready cycle is 0, so the static
    // keys decide. Loads: 2 x items for point-to-point, 3 x items for a
    // two-destination multicast.
    const Phase phase(32, {
                              point(0, 1, 4),                                    // load 8
                              point(2, 3, 16),                                   // load 32
                              pending(4, 2, {0}, {{5, 0x4000}, {6, 0x4000}}),    // load 6, 2 receivers
                              point(7, 8, 3),                                    // load 6, 1 receiver
                              point(10, 9, 4),                                   // load 8, source 10
                              point(11, 12, 16),                                 // load 32, later position
                          });
    const auto schedule = phase.greedy();
    ASSERT_TRUE(schedule.has_value()) << schedule.error().to_string();
    EXPECT_THAT(schedule->order, ElementsAre(1, 5, 0, 4, 2, 3));
    EXPECT_EQ(schedule->horizon, schedule->builder.event_cycles());
    for (const auto& placement : schedule->placements) {
        ASSERT_TRUE(placement.has_value());
    }
}

TEST(GreedyMaterialization, FullTieGoesToTheLowerSourceTile) {
    // Equal ready cycle, load, receivers and items.
    const Phase phase(16, {
                              point(3, 4, 4),  // load 8
                              point(1, 2, 4),  // load 8, lower source
                              point(5, 6, 4),  // load 8
                          });
    const auto schedule = phase.greedy();
    ASSERT_TRUE(schedule.has_value()) << schedule.error().to_string();
    EXPECT_THAT(schedule->order, ElementsAre(1, 0, 2));
}

TEST(GreedyMaterialization, TransfersOfOneSignaturePlaceInTheirGroupOrder) {
    // Three dependency-free transfers from tile 0 to tile 1 at different
    // addresses share one signature: larger items first, then position.
    const Phase phase(4, {
                             point(0, 1, 4, 0x000, 0x4000),
                             point(0, 1, 8, 0x100, 0x5000),
                             point(0, 1, 8, 0x200, 0x6000),
                         });
    const auto schedule = phase.greedy();
    ASSERT_TRUE(schedule.has_value()) << schedule.error().to_string();
    EXPECT_THAT(schedule->order, ElementsAre(1, 2, 0));
    // Each waits for the previous one on the shared tiles.
    const auto& placements = schedule->placements;
    EXPECT_GE(placements[2]->start, placements[1]->start);
    EXPECT_GE(placements[0]->start, placements[2]->start);
}

TEST(GreedyMaterialization, SuccessorWaitsForItsPredecessorsCompletion) {
    // Transfer 1 reads on tile 1 what transfer 0 writes there.
    const Phase phase(8, {
                             point(0, 1, 40, 0x0, 0x4000),
                             point(1, 2, 8, 0x4000, 0x8000),
                         });
    ASSERT_THAT(phase.problem.predecessors(1), ElementsAre(0));
    const auto schedule = phase.greedy();
    ASSERT_TRUE(schedule.has_value()) << schedule.error().to_string();
    EXPECT_THAT(schedule->order, ElementsAre(0, 1));
    EXPECT_GE(schedule->placements[1]->start, schedule->placements[0]->completion);
    // The dependency, not a mark, decided the start: the critical tile is the
    // source, whose last send (none) is the critical predecessor.
    EXPECT_EQ(schedule->placements[1]->critical_tile, 1U);
    EXPECT_EQ(schedule->placements[1]->critical_predecessor, std::nullopt);
}

TEST(GreedyMaterialization, ImmediateAndDeferredOffsetsAgreeOnPlainPhases) {
    std::vector<PendingTransfer> transfers;
    for (std::uint16_t t = 0; t < 24; ++t) {
        transfers.push_back(point(t, static_cast<std::uint16_t>((t * 5 + 3) % 24), 4 + t % 7, 0x100U * t,
                                  0x8000U + 0x100U * t));
    }
    const Phase phase(24, transfers);
    const auto deferred = phase.greedy(false);
    const auto immediate = phase.greedy(true);
    ASSERT_TRUE(deferred.has_value()) << deferred.error().to_string();
    ASSERT_TRUE(immediate.has_value()) << immediate.error().to_string();
    EXPECT_EQ(deferred->order, immediate->order);
    EXPECT_EQ(deferred->horizon, immediate->horizon);
    EXPECT_EQ(deferred->activities, immediate->activities);
}

TEST(GreedyMaterialization, WithRetryReturnsAFinishableSchedule) {
    const Phase phase(8, {point(0, 1, 4), pending(2, 6, {0x40}, {{3, 0x100}, {4, 0x200}, {5, 0x300}})});
    const auto schedule =
        materialize_greedy_schedule(phase.topology, phase.problem, phase.config.incoming_bases,
                                    phase.config.incoming_counts);
    ASSERT_TRUE(schedule.has_value()) << schedule.error().to_string();
    EXPECT_TRUE(schedule->builder.finish().has_value());
    EXPECT_GT(schedule->horizon, 0U);
}

TEST(GreedyMaterialization, PlacementErrorsEndTheRun) {
    // A multicast whose own tile is a destination inside its source elements.
    const Phase phase(8, {point(0, 1, 4), pending(2, 4, {0x40}, {{2, 0x40}, {3, 0x40}})});
    const auto schedule = phase.greedy();
    ASSERT_FALSE(schedule.has_value());
    EXPECT_EQ(schedule.error().to_string(),
              "exchange-schedule invariant failed: multicast loopback requires separate source and destination "
              "memory elements");
}

TEST(OrderedMaterialization, RejectsOrdersThatAreNotTopologicalPermutations) {
    const Phase phase(8, {
                             point(0, 1, 8, 0x0, 0x4000),
                             point(1, 2, 8, 0x4000, 0x8000),  // depends on transfer 0
                             point(3, 4, 8),
                         });
    const std::string not_topological =
        "exchange-schedule invariant failed: exchange order is not a topological permutation";
    struct Case {
        std::vector<std::uint32_t> order;
        std::string error;
    };
    const Case cases[] = {
        {{1, 0, 2}, not_topological},                     // successor first
        {{0, 0, 1}, not_topological},                     // repeated position
        {{0, 1, 3}, not_topological},                     // out of range
        {{0, 1}, "exchange address arithmetic overflowed"},  // too short
        {{0, 1, 2, 2}, "exchange address arithmetic overflowed"},
    };
    for (const Case& c : cases) {
        const auto schedule = phase.in_order(c.order);
        ASSERT_FALSE(schedule.has_value()) << ::testing::PrintToString(c.order);
        EXPECT_EQ(schedule.error().to_string(), c.error) << ::testing::PrintToString(c.order);
    }
}

TEST(OrderedMaterialization, PlacesInTheGivenOrderAfterThePredecessors) {
    const Phase phase(8, {
                             point(0, 1, 8, 0x0, 0x4000),
                             point(1, 2, 8, 0x4000, 0x8000),
                             point(3, 4, 8),
                         });
    const auto schedule = phase.in_order({2, 0, 1});
    ASSERT_TRUE(schedule.has_value()) << schedule.error().to_string();
    EXPECT_THAT(schedule->order, ElementsAre(2, 0, 1));
    EXPECT_GE(schedule->placements[1]->start, schedule->placements[0]->completion);
    EXPECT_EQ(schedule->horizon, schedule->builder.event_cycles());

    // The greedy order placed again gives the greedy schedule.
    const auto greedy = phase.greedy();
    ASSERT_TRUE(greedy.has_value());
    const auto again = phase.in_order(greedy->order);
    ASSERT_TRUE(again.has_value());
    EXPECT_EQ(again->horizon, greedy->horizon);
    EXPECT_EQ(again->activities, greedy->activities);
    EXPECT_EQ(again->placements, greedy->placements);
}

TEST(OrderedMaterialization, EmptyPhaseHasHorizonZero) {
    const Phase phase(4, {});
    const auto schedule = phase.in_order({});
    ASSERT_TRUE(schedule.has_value());
    EXPECT_EQ(schedule->horizon, 0U);
    EXPECT_TRUE(schedule->order.empty());
    const auto greedy = phase.greedy();
    ASSERT_TRUE(greedy.has_value());
    EXPECT_EQ(greedy->horizon, 0U);
}

}  // namespace
}  // namespace vorn::codegen
