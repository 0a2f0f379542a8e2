#include "vorn/codegen/exchange/problem.hpp"

#include <algorithm>
#include <cstdint>
#include <map>
#include <optional>
#include <ostream>
#include <set>
#include <string_view>
#include <utility>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "exchange_test_support.hpp"

namespace vorn::codegen {

static void PrintTo(const DependencyEdge& edge, std::ostream* out) { *out << edge.from << " -> " << edge.to; }

namespace {

using namespace vorn::codegen::test_support;
using ::testing::ElementsAre;
using ::testing::IsEmpty;

struct DependencyCase {
    std::string_view name;
    std::vector<PendingTransfer> transfers;
    std::vector<DependencyEdge> edges;
};

// Small phases on 4 tiles; tile 0 usually sends, tiles 1..3 receive.
std::vector<DependencyCase> dependency_cases() {
    return {
        {"two reads of the same bytes",
         {pending(0, 4, {0x100}, {{1, 0x0}}), pending(0, 4, {0x100}, {{2, 0x0}})},
         {}},
        {"write after read",
         {pending(0, 4, {0x100}, {{1, 0x0}}), pending(2, 4, {0x0}, {{0, 0x108}})},
         {{0, 1}}},
        {"read after write",
         {pending(0, 4, {0x0}, {{1, 0x200}}), pending(1, 2, {0x208}, {{2, 0x0}})},
         {{0, 1}}},
        {"write after write",
         {pending(0, 4, {0x0}, {{1, 0x200}}), pending(2, 4, {0x0}, {{1, 0x20C}})},
         {{0, 1}}},
        {"disjoint bytes in one memory element",
         {pending(0, 4, {0x0}, {{1, 0x200}}), pending(1, 4, {0x210}, {{2, 0x0}}), pending(3, 4, {0x0}, {{1, 0x1F0}})},
         {}},
        {"same bytes on different tiles",
         {pending(0, 4, {0x0}, {{1, 0x0}}), pending(2, 4, {0x0}, {{3, 0x0}})},
         {}},
        // A later Repeat iteration reads from its own address.
        {"later repeat address read",
         {pending(0, 4, {0x0, 0x1000}, {{1, 0x0}}), pending(2, 4, {0x0}, {{0, 0x1008}})},
         {{0, 1}}},
        {"repeated source address reads once",
         {pending(0, 4, {0x0, 0x0}, {{1, 0x0}}), pending(2, 4, {0x0}, {{0, 0x0}}), pending(0, 4, {0x0}, {{2, 0x40}})},
         {{0, 1}, {1, 2}}},
        // Only the bytes t1 left to t0 make t2 depend on t0.
        {"last writer per byte",
         {pending(0, 8, {0x0}, {{1, 0x0}}), pending(2, 4, {0x0}, {{1, 0x0}}), pending(1, 8, {0x0}, {{3, 0x0}})},
         {{0, 1}, {0, 2}, {1, 2}}},
        {"fully overwritten bytes hide the first writer",
         {pending(0, 4, {0x0}, {{1, 0x0}}), pending(2, 4, {0x0}, {{1, 0x0}}), pending(1, 4, {0x0}, {{3, 0x0}})},
         {{0, 1}, {1, 2}}},
        // A write clears the readers: the second write follows the first
        // write only.
        {"write clears readers",
         {pending(0, 4, {0x0}, {{1, 0x0}}), pending(2, 4, {0x0}, {{0, 0x0}}), pending(3, 4, {0x0}, {{0, 0x0}})},
         {{0, 1}, {1, 2}}},
        {"every reader before a write",
         {pending(0, 4, {0x0}, {{1, 0x0}}), pending(0, 2, {0x8}, {{2, 0x0}}), pending(3, 4, {0x0}, {{0, 0x4}})},
         {{0, 2}, {1, 2}}},
        // A multicast that writes to its own source tile reads before it
        // writes, and never depends on itself.
        {"self multicast",
         {pending(0, 4, {0x0}, {{1, 0x0}, {0, 0x4000}}), pending(0, 4, {0x4004}, {{2, 0x0}})},
         {{0, 1}}},
        {"self multicast writing the bytes it reads",
         {pending(0, 4, {0x0}, {{1, 0x0}, {0, 0x0}})},
         {}},
        // The paired source sends but reads nothing in the dependency model.
        {"paired source does not read",
         {pending(0, 4, {0x0}, {{2, 0x0}}, paired64, 1), pending(3, 4, {0x0}, {{1, 0x0}})},
         {}},
        // Conflicts on two tiles give one edge.
        {"edges from several tiles collapse",
         {pending(0, 4, {0x0}, {{1, 0x0}, {2, 0x0}}), pending(3, 4, {0x0}, {{1, 0x0}, {2, 0x8}})},
         {{0, 1}}},
        {"adjacent spans do not touch",
         {pending(0, 4, {0x0}, {{1, 0x0}}), pending(2, 4, {0x0}, {{1, 0x10}}), pending(3, 1, {0x0}, {{1, 0xC}})},
         {{0, 2}}},
    };
}

TEST(MemoryDependenciesTest, HandMadePhases) {
    for (const DependencyCase& c : dependency_cases()) {
        SCOPED_TRACE(c.name);
        const std::vector<PendingTransfer> transfers = positions(c.transfers);
        EXPECT_EQ(memory_dependencies(transfers, 4), c.edges);
    }
}

// Reference: the same rules applied byte by byte, without boundaries.
std::set<std::pair<std::uint32_t, std::uint32_t>> byte_dependencies(const std::vector<PendingTransfer>& transfers) {
    struct ByteState {
        std::optional<std::uint32_t> writer;
        std::vector<std::uint32_t> readers;
    };
    std::map<std::pair<std::uint16_t, std::uint64_t>, ByteState> bytes;
    std::set<std::pair<std::uint32_t, std::uint32_t>> edges;
    const auto access = [&](std::uint32_t t, std::uint16_t tile, std::uint64_t start, bool write) {
        for (std::uint64_t b = start; b < start + transfers[t].byte_length(); ++b) {
            ByteState& state = bytes[{tile, b}];
            if (state.writer && *state.writer != t) {
                edges.insert({*state.writer, t});
            }
            if (write) {
                for (const std::uint32_t r : state.readers) {
                    if (r != t) {
                        edges.insert({r, t});
                    }
                }
                state.readers.clear();
                state.writer = t;
            } else if (state.readers.empty() || state.readers.back() != t) {
                state.readers.push_back(t);
            }
        }
    };
    for (std::uint32_t t = 0; t < transfers.size(); ++t) {
        for (const std::uint32_t a : transfers[t].source_addresses) {
            access(t, transfers[t].source, a, false);
        }
        for (const PendingDestination& d : transfers[t].destinations) {
            access(t, d.tile, d.address, true);
        }
    }
    return edges;
}

TEST(MemoryDependenciesTest, AgreesWithAByteByByteReplay) {
    std::uint64_t state = 0x9E3779B97F4A7C15ULL;
    const auto below = [&state](std::uint32_t bound) {
        state ^= state >> 12;
        state ^= state << 25;
        state ^= state >> 27;
        return static_cast<std::uint32_t>((state * 0x2545F4914F6CDD1DULL >> 33) % bound);
    };
    for (int round = 0; round < 300; ++round) {
        std::vector<PendingTransfer> transfers;
        const std::uint32_t count = 2 + below(10);
        for (std::uint32_t t = 0; t < count; ++t) {
            std::vector<std::uint32_t> addresses;
            for (std::uint32_t k = 0, n = 1 + below(3); k < n; ++k) {
                addresses.push_back(4 * below(24));
            }
            std::vector<PendingDestination> destinations;
            for (std::uint32_t k = 0, n = 1 + below(3); k < n; ++k) {
                destinations.push_back({static_cast<std::uint16_t>(below(3)), 4 * below(24)});
            }
            transfers.push_back(
                pending(static_cast<std::uint16_t>(below(3)), 1 + below(8), std::move(addresses), destinations));
        }
        transfers = positions(std::move(transfers));
        std::vector<DependencyEdge> expected;
        for (const auto& [from, to] : byte_dependencies(transfers)) {
            expected.push_back({from, to});
        }
        SCOPED_TRACE(round);
        ASSERT_EQ(memory_dependencies(transfers, 3), expected);
    }
}

TEST(SchedulingProblemTest, AdjacencyListsAreAscendingAndAgree) {
    // Edges are found tile by tile, in the order 0->4, 1->4 (tile 0), 2->3
    // (tile 1), 1->3 (tile 2), 0->3, 3->4 (tile 3); the lists come out
    // ascending all the same.
    const std::vector<PendingTransfer> transfers = positions({
        pending(0, 4, {0x0}, {{3, 0x0}}),                // 0: writes tile 3
        pending(0, 4, {0x0}, {{2, 0x0}}),                // 1: reads tile 0 like 0, writes tile 2
        pending(2, 4, {0x100}, {{1, 0x0}}),              // 2: writes tile 1
        pending(1, 4, {0x0}, {{3, 0x0}, {2, 0x0}}),      // 3: reads 2's bytes, overwrites 0's and 1's
        pending(3, 4, {0x0}, {{0, 0x0}}),                // 4: reads 3's bytes, overwrites what 0 and 1 read
    });
    const SchedulingProblem problem = SchedulingProblem::create(transfers, 4);
    EXPECT_EQ(problem.transfer_count(), 5U);
    EXPECT_EQ(problem.tile_count(), 4);
    EXPECT_EQ(problem.transfers().data(), transfers.data());

    EXPECT_THAT(problem.predecessors(0), IsEmpty());
    EXPECT_THAT(problem.predecessors(1), IsEmpty());
    EXPECT_THAT(problem.predecessors(2), IsEmpty());
    EXPECT_THAT(problem.predecessors(3), ElementsAre(0, 1, 2));
    EXPECT_THAT(problem.predecessors(4), ElementsAre(0, 1, 3));
    EXPECT_THAT(problem.successors(0), ElementsAre(3, 4));
    EXPECT_THAT(problem.successors(1), ElementsAre(3, 4));
    EXPECT_THAT(problem.successors(2), ElementsAre(3));
    EXPECT_THAT(problem.successors(3), ElementsAre(4));
    EXPECT_THAT(problem.successors(4), IsEmpty());
    EXPECT_EQ(problem.edge_count(), 6U);

    // Both lists describe exactly the edges of memory_dependencies.
    std::vector<DependencyEdge> from_successors;
    std::vector<DependencyEdge> from_predecessors;
    for (std::uint32_t t = 0; t < transfers.size(); ++t) {
        for (const std::uint32_t s : problem.successors(t)) {
            from_successors.push_back({t, s});
        }
        for (const std::uint32_t p : problem.predecessors(t)) {
            from_predecessors.push_back({p, t});
        }
    }
    std::sort(from_predecessors.begin(), from_predecessors.end());
    const std::vector<DependencyEdge> edges = memory_dependencies(transfers, 4);
    EXPECT_EQ(from_successors, edges);
    EXPECT_EQ(from_predecessors, edges);
}

TEST(SchedulingProblemTest, EndpointLoadCountsEveryOccurrenceOfATile) {
    const std::vector<PendingTransfer> transfers = positions({
        pending(0, 8, {0x0}, {{2, 0x0}}, paired64, 1),         // 4 items on 0, 1, 2
        pending(2, 3, {0x100}, {{3, 0x0}, {2, 0x4000}}),       // 3 items on 2 (twice) and 3
    });
    const SchedulingProblem problem = SchedulingProblem::create(transfers, 5);
    EXPECT_THAT(problem.endpoint_load(), ElementsAre(4, 4, 4 + 3 + 3, 3, 0));
}

TEST(SchedulingProblemTest, EmptyPhase) {
    const std::vector<PendingTransfer> none;
    const SchedulingProblem problem = SchedulingProblem::create(none, 3);
    EXPECT_EQ(problem.transfer_count(), 0U);
    EXPECT_EQ(problem.edge_count(), 0U);
    EXPECT_THAT(problem.endpoint_load(), ElementsAre(0, 0, 0));
    EXPECT_THAT(memory_dependencies(none, 0), IsEmpty());
}

TEST(SchedulingProblemDeathTest, TileOutsideTheTablesAborts) {
    const std::vector<PendingTransfer> transfers = positions({pending(0, 4, {0x0}, {{7, 0x0}})});
    EXPECT_DEATH((void)SchedulingProblem::create(transfers, 4), "transfer 0 names tile 7 outside 0..4");
    const std::vector<PendingTransfer> paired = positions({pending(2, 4, {0x0}, {{0, 0x0}}, paired64, 3)});
    EXPECT_DEATH((void)endpoint_work_lower_bound(paired, 3), "transfer 0 names tile 3 outside 0..3");
}

TEST(ReceiveConfigurationTest, CountsAndBases) {
    const std::vector<PendingTransfer> transfers = positions({
        pending(0, 4, {0x0}, {{1, 0x2000}}),              // tile 1: the one single-destination receive
        pending(0, 4, {0x0}, {{2, 0x100}, {3, 0x200}}),   // tiles 2, 3: only a multicast
        pending(1, 4, {0x0}, {{4, 0x300}}),               // tile 4: two receives
        pending(2, 4, {0x0}, {{4, 0x400}}),
    });
    const auto configuration = receive_configuration(transfers, 6);
    ASSERT_TRUE(configuration.has_value()) << configuration.error();
    EXPECT_THAT(configuration->incoming_counts, ElementsAre(0, 1, 1, 1, 2, 0));
    EXPECT_THAT(configuration->incoming_bases, ElementsAre(0, 0x2000, 0, 0, 0, 0));
}

TEST(ReceiveConfigurationTest, DestinationOutsideTheSection) {
    const std::vector<PendingTransfer> transfers = positions({pending(0, 4, {0x0}, {{1, 0x0}, {6, 0x0}})});
    const auto configuration = receive_configuration(transfers, 6);
    ASSERT_FALSE(configuration.has_value());
    EXPECT_EQ(configuration.error(), ExchangeLoweringError::invalid_destination());
    EXPECT_EQ(configuration.error().to_string(), "exchange destination is not writable");
}

TEST(EndpointWorkLowerBoundTest, PairedTransferLoadsBothLanes) {
    // 8 paired words are 4 items, sent by tile 0 and its partner 1.
    const std::vector<PendingTransfer> transfers = positions({pending(0, 8, {0x0}, {{2, 0x0}}, paired64, 1)});
    EXPECT_EQ(endpoint_work_lower_bound(transfers, 4), 4U);
    // The partner's send work alone decides when it is the busiest sender.
    const std::vector<PendingTransfer> more = positions({
        pending(0, 8, {0x0}, {{2, 0x0}}, paired64, 1),
        pending(1, 3, {0x0}, {{3, 0x0}}),
    });
    EXPECT_EQ(endpoint_work_lower_bound(more, 4), 7U);
}

TEST(EndpointWorkLowerBoundTest, TakesTheLargerOfSendAndReceiveWork) {
    // Tile 0 sends 10 items and receives 12; nobody else is busier.
    const std::vector<PendingTransfer> transfers = positions({
        pending(0, 6, {0x0}, {{1, 0x0}}),
        pending(0, 4, {0x0}, {{2, 0x0}}),
        pending(1, 7, {0x0}, {{0, 0x100}}),
        pending(2, 5, {0x0}, {{0, 0x200}}),
    });
    EXPECT_EQ(endpoint_work_lower_bound(transfers, 3), 12U);
    EXPECT_EQ(endpoint_work_lower_bound({}, 0), 0U);
    EXPECT_EQ(endpoint_work_lower_bound({}, 3), 0U);
}

TEST(EndpointWorkLowerBoundTest, ClampsTo32Bits) {
    const std::vector<PendingTransfer> transfers = positions({
        pending(0, 0xFFFFFFFF, {0xFFFFFF00}, {{1, 0x0}}),
        pending(2, 0xFFFFFFFF, {0xFFFFFF00}, {{1, 0x0}}),
    });
    EXPECT_EQ(endpoint_work_lower_bound(transfers, 3), 0xFFFFFFFFU);
}

}  // namespace
}  // namespace vorn::codegen
