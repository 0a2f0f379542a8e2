#include "vorn/codegen/exchange/order.hpp"

#include <fmt/format.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <numeric>
#include <optional>
#include <random>
#include <set>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "log_capture.hpp"
#include "exchange_test_support.hpp"
#include "vorn/codegen/exchange/problem.hpp"
#include "vorn/codegen/exchange/schedule.hpp"
#include "vorn/runtime/logging.hpp"

namespace vorn::codegen {
namespace {

using detail::RepairReady;
using test_support::paired64;
using test_support::pending;
using test_support::word32;
using ::testing::ElementsAreArray;
using ::testing::UnorderedElementsAreArray;

using Order = std::vector<std::uint32_t>;
using Placements = std::vector<std::optional<TransferPlacement>>;

// A point-to-point transfer of 4 words read from 0x1000 on the source.
PendingTransfer p2p(std::uint16_t source, std::uint16_t destination, std::uint32_t address = 0x0,
                    std::uint32_t source_address = 0x1000, std::uint32_t words = 4) {
    return pending(source, words, {source_address}, {{destination, address}});
}

// A placement that completes at `completion`, its start decided by
// `predecessor`.
std::optional<TransferPlacement> placed(std::uint32_t completion,
                                        std::optional<std::uint32_t> predecessor = std::nullopt) {
    return TransferPlacement{predecessor, 0, completion, 0};
}

Order identity(std::size_t n) {
    Order order(n);
    std::iota(order.begin(), order.end(), 0U);
    return order;
}

// A phase's problem and an incumbent schedule whose order and placements
// are set by hand (nothing is really placed).
class Incumbent {
public:
    Incumbent(std::uint16_t tiles, std::vector<PendingTransfer> transfers, Order order, Placements placements = {})
        : transfers_(test_support::positions(std::move(transfers))),
          problem_(SchedulingProblem::create(transfers_, tiles)),
          schedule_(MaterializedSchedule::create(tiles, transfers_)) {
        schedule_.order = std::move(order);
        schedule_.placements = placements.empty() ? Placements(transfers_.size()) : std::move(placements);
    }
    Incumbent(const Incumbent&) = delete;
    Incumbent& operator=(const Incumbent&) = delete;

    const SchedulingProblem& problem() const { return problem_; }
    const MaterializedSchedule& schedule() const { return schedule_; }

    std::optional<Order> waves() const { return point_to_point_matching_wave_order(problem_, schedule_); }
    std::optional<Order> repair(bool local) const { return critical_neighborhood_order(problem_, schedule_, local); }
    std::vector<std::uint32_t> neighborhood() const {
        const std::vector<bool> members = detail::critical_neighborhood(problem_, schedule_);
        std::vector<std::uint32_t> result;
        for (std::uint32_t t = 0; t < members.size(); ++t) {
            if (members[t]) {
                result.push_back(t);
            }
        }
        return result;
    }

private:
    std::vector<PendingTransfer> transfers_;
    SchedulingProblem problem_;
    MaterializedSchedule schedule_;
};

// Empty when `order` holds every transfer once and each after all of its
// predecessors; otherwise what is wrong.
std::string topological_fault(const SchedulingProblem& problem, const Order& order) {
    const std::size_t n = problem.transfer_count();
    if (order.size() != n) {
        return fmt::format("{} positions for {} transfers", order.size(), n);
    }
    std::vector<bool> done(n, false);
    for (const std::uint32_t t : order) {
        if (t >= n || done[t]) {
            return fmt::format("position {} out of range or repeated", t);
        }
        for (const std::uint32_t predecessor : problem.predecessors(t)) {
            if (!done[predecessor]) {
                return fmt::format("{} placed before its predecessor {}", t, predecessor);
            }
        }
        done[t] = true;
    }
    return {};
}

// ---------------------------------------------------------------------------
// Matching waves

// Tile 0 sends `from_zero` transfers to tiles 1..from_zero; tiles 11 and
// 13 send one each, to tiles 12 and 14.
std::vector<PendingTransfer> star_and_two(std::uint16_t from_zero) {
    std::vector<PendingTransfer> transfers;
    for (std::uint16_t i = 1; i <= from_zero; ++i) {
        transfers.push_back(p2p(0, i));
    }
    transfers.push_back(p2p(11, 12));
    transfers.push_back(p2p(13, 14));
    return transfers;
}

TEST(MatchingWaveOrder, AbsentForUnbalancedOrUnsupportedPhases) {
    struct Case {
        std::string_view name;
        std::vector<PendingTransfer> transfers;
        bool present;
    };
    const std::vector<Case> cases = {
        // S = 3, R = 12, ceil(12 / 3) = 4: 10 sends on tile 0 exceed 8.
        {"tile 0 sends 10 of 12", star_and_two(10), false},
        // S = 3, R = 10, ceil(10 / 3) = 4: 8 sends are just allowed.
        {"tile 0 sends 8 of 10", star_and_two(8), true},
        {"zero words", {p2p(0, 1), p2p(2, 3, 0x0, 0x1000, 0)}, false},
        {"odd paired word count", {p2p(0, 1), pending(2, 3, {0x1000}, {{4, 0x0}}, paired64, 3)}, false},
        {"even paired word count", {p2p(0, 1), pending(2, 4, {0x1000}, {{4, 0x0}}, paired64, 3)}, true},
        {"a multicast", {p2p(0, 1), pending(2, 4, {0x1000}, {{3, 0x0}, {4, 0x0}})}, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const Incumbent incumbent(15, c.transfers, identity(c.transfers.size()));
        const std::optional<Order> order = incumbent.waves();
        EXPECT_EQ(order.has_value(), c.present);
        if (order) {
            EXPECT_EQ(topological_fault(incumbent.problem(), *order), "");
        }
    }
}

TEST(MatchingWaveOrder, WavesAreMaximumMatchingsEmittedInRankOrder) {
    struct Case {
        std::string_view name;
        std::vector<PendingTransfer> transfers;
        Order incumbent;
        Order expected;
    };
    const std::vector<Case> cases = {
        // Wave 1 matches 0->1 and 2->3, wave 2 the other two.
        {"two waves", {p2p(0, 1, 0x0), p2p(2, 3, 0x0), p2p(0, 3, 0x100), p2p(2, 1, 0x100)}, {0, 1, 2, 3}, {0, 1, 2, 3}},
        // Ranks 0..3 for 0->1, 0->3, 2->3, 2->1: the waves are {0->1, 2->3}
        // and {0->3, 2->1}, so the incumbent's rank order is broken up.
        {"waves break the rank order",
         {p2p(0, 1, 0x0), p2p(0, 3, 0x100), p2p(2, 3, 0x0), p2p(2, 1, 0x100)},
         {0, 1, 2, 3},
         {0, 2, 1, 3}},
        // Tile 2's most urgent transfer (2->1) takes receiver 1 first; the
        // augmenting path moves tile 2 to receiver 3 so that 0->1 fits too.
        {"augmenting path", {p2p(0, 1, 0x0), p2p(2, 1, 0x100), p2p(2, 3, 0x0)}, {1, 0, 2}, {0, 2, 1}},
        // 4->0 overwrites the bytes 0->1 reads, so it is released while the
        // first wave is emitted and must wait for the second wave, although
        // its rank is lower than 2->3's and tiles 4 and 0 are free.
        {"released successor waits for the next wave",
         {p2p(0, 1, 0x0, 0x1000), p2p(2, 3), p2p(4, 0, 0x1000)},
         {0, 2, 1},
         {0, 1, 2}},
        // A chain over one tile pair: one transfer per wave, in dependency
        // order.
        {"chain", {p2p(0, 1, 0x0), p2p(0, 1, 0x0), p2p(0, 1, 0x0)}, {0, 1, 2}, {0, 1, 2}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const Incumbent incumbent(6, c.transfers, c.incumbent);
        const std::optional<Order> order = incumbent.waves();
        ASSERT_TRUE(order.has_value());
        EXPECT_THAT(*order, ElementsAreArray(c.expected));
    }
}

// Kuhn's simple augmenting-path matching: the size of a maximum matching.
std::size_t maximum_matching_size(const std::vector<std::vector<std::uint32_t>>& candidates,
                                  const std::vector<std::uint16_t>& receiver_of, std::size_t receivers) {
    std::vector<std::optional<std::size_t>> owner(receivers);
    std::size_t size = 0;
    for (std::size_t s = 0; s < candidates.size(); ++s) {
        std::vector<bool> seen(receivers, false);
        const auto augment = [&](const auto& self, std::size_t sender) -> bool {
            for (const std::uint32_t edge : candidates[sender]) {
                const std::uint16_t r = receiver_of[edge];
                if (seen[r]) {
                    continue;
                }
                seen[r] = true;
                if (!owner[r] || self(self, *owner[r])) {
                    owner[r] = sender;
                    return true;
                }
            }
            return false;
        };
        size += augment(augment, s) ? 1 : 0;
    }
    return size;
}

// The matching is a matching over the candidate edges: each sender takes
// one of its own candidates, each receiver at most one sender.
void expect_valid_matching(const std::vector<std::optional<std::uint32_t>>& matching,
                           const std::vector<std::vector<std::uint32_t>>& candidates,
                           const std::vector<std::uint16_t>& receiver_of) {
    ASSERT_EQ(matching.size(), candidates.size());
    std::set<std::uint16_t> receivers;
    for (std::size_t s = 0; s < matching.size(); ++s) {
        if (matching[s]) {
            EXPECT_NE(std::find(candidates[s].begin(), candidates[s].end(), *matching[s]), candidates[s].end())
                << "sender " << s;
            EXPECT_TRUE(receivers.insert(receiver_of[*matching[s]]).second) << "receiver matched twice";
        }
    }
}

TEST(ReadyMatching, RandomGraphsGetMaximumMatchings) {
    std::mt19937_64 random(4242);
    for (int round = 0; round < 300; ++round) {
        const std::size_t senders = 1 + random() % 7;
        const std::size_t receivers = 1 + random() % 7;
        std::vector<std::vector<std::uint32_t>> candidates(senders);
        std::vector<std::uint16_t> receiver_of;
        for (auto& list : candidates) {
            std::vector<std::uint16_t> tiles(receivers);
            std::iota(tiles.begin(), tiles.end(), std::uint16_t{0});
            std::shuffle(tiles.begin(), tiles.end(), random);
            tiles.resize(random() % (receivers + 1));
            for (const std::uint16_t tile : tiles) {
                list.push_back(static_cast<std::uint32_t>(receiver_of.size()));
                receiver_of.push_back(tile);
            }
        }
        SCOPED_TRACE(round);
        const auto matching = detail::maximum_ready_matching(candidates, receiver_of, receivers);
        expect_valid_matching(matching, candidates, receiver_of);
        const auto matched = static_cast<std::size_t>(std::count_if(
            matching.begin(), matching.end(), [](const auto& edge) { return edge.has_value(); }));
        EXPECT_EQ(matched, maximum_matching_size(candidates, receiver_of, receivers));
    }
}

TEST(ReadyMatching, AugmentsAlongAPathThroughTensOfThousandsOfSenders) {
    // Senders 1..k take receivers 1..k in the first phase (sender i lists
    // receiver i, then i + 1); sender 0, searched last and listing only
    // receiver 1, then needs the path through every other sender, which
    // ends at receiver k + 1.
    constexpr std::uint32_t k = 60000;
    std::vector<std::vector<std::uint32_t>> candidates;
    std::vector<std::uint16_t> receiver_of;
    const auto edge = [&](std::uint32_t receiver) {
        receiver_of.push_back(static_cast<std::uint16_t>(receiver));
        return static_cast<std::uint32_t>(receiver_of.size() - 1);
    };
    for (std::uint32_t i = 1; i <= k; ++i) {
        candidates.push_back({edge(i), edge(i + 1)});
    }
    candidates.push_back({edge(1)});
    const auto matching = detail::maximum_ready_matching(candidates, receiver_of, k + 2);
    expect_valid_matching(matching, candidates, receiver_of);
    for (std::uint32_t i = 0; i < k; ++i) {
        ASSERT_TRUE(matching[i].has_value());
        ASSERT_EQ(receiver_of[*matching[i]], i + 2) << "sender " << i + 1;
    }
    ASSERT_TRUE(matching[k].has_value());
    EXPECT_EQ(receiver_of[*matching[k]], 1);
}

// ---------------------------------------------------------------------------
// Critical neighbourhood

TEST(CriticalNeighborhood, TransfersWithinTheSquareRootOfATileListJoin) {
    struct Case {
        std::string_view name;
        std::uint16_t tiles;
        std::vector<PendingTransfer> transfers;
        Order incumbent;
        Placements placements;
        std::vector<std::uint32_t> members;
    };
    std::vector<PendingTransfer> nine;
    for (std::uint16_t i = 1; i <= 9; ++i) {
        nine.push_back(p2p(0, i));
    }
    Placements nine_placed(9, placed(5));
    nine_placed[0] = placed(20);
    const std::vector<Case> cases = {
        // Tile 0's list is the incumbent order; transfer 0 is critical at
        // list position 4, so positions 1..7 join (w = 3).
        {"nine on one tile", 10, nine, {3, 7, 1, 8, 0, 5, 2, 6, 4}, nine_placed, {1, 2, 5, 6, 7, 8, 0}},
        // Transfer 0 writes its own source tile as well: listed once on tile
        // 0, the list has 3 entries (w = 1) and transfer 0 stays outside.
        {"sender among the receivers counts once",
         4,
         {pending(0, 4, {0x0}, {{0, 0x4000}, {1, 0x0}}), p2p(0, 2), p2p(0, 3)},
         {0, 1, 2},
         {placed(5), placed(6), placed(9)},
         {1, 2}},
        // The chain runs from the latest completion (the larger position of
        // two) along the critical predecessors and stops at a transfer
        // already marked; on tiles of their own only the chain joins.
        {"chain of critical predecessors",
         8,
         {p2p(0, 1), p2p(2, 3), p2p(4, 5), p2p(6, 7)},
         {0, 1, 2, 3},
         {placed(3, 3), placed(7, 0), placed(10), placed(10, 1)},
         {0, 1, 3}},
        {"no placement, no chain", 4, {p2p(0, 1), p2p(0, 2)}, {0, 1}, {}, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const Incumbent incumbent(c.tiles, c.transfers, c.incumbent, c.placements);
        EXPECT_THAT(incumbent.neighborhood(), UnorderedElementsAreArray(c.members));
    }
}

// ---------------------------------------------------------------------------
// Repair

TEST(CriticalNeighborhoodOrder, ReturnsTheIncumbentWhenThereIsNothingToRepair) {
    // Transfers on tiles of their own: the neighbourhood is the critical
    // transfer alone.
    const Incumbent single(6, {p2p(0, 1), p2p(2, 3), p2p(4, 5)}, {2, 0, 1}, {placed(4), placed(4), placed(9)});
    const Incumbent one(2, {p2p(0, 1)}, {0}, {placed(4)});
    for (const bool local : {false, true}) {
        EXPECT_EQ(single.repair(local), std::optional<Order>(Order{2, 0, 1}));
        EXPECT_EQ(one.repair(local), std::optional<Order>(Order{0}));
    }
}

struct RepairCase {
    std::string_view name;
    std::uint16_t tiles;
    std::vector<PendingTransfer> transfers;
    Placements placements;  // the incumbent order is 0, 1, 2, ...
    Order broader;
    Order local;
};

// Four transfers (bucket size 2): ranks 0, 1 form bucket 0, ranks 2, 3
// bucket 1.
std::vector<RepairCase> repair_cases() {
    return {
        // After 0 (tile 1 written up to 0x10) and the idle 1, transfers 2
        // and 3 are both ready at cycle 4 in bucket 1; 3 writes at 0x10 and
        // continues tile 1's stream.
        {"continuation across groups",
         6,
         {p2p(0, 1, 0x0), p2p(4, 5), p2p(2, 1, 0x100), p2p(3, 1, 0x10)},
         {placed(4), placed(4), placed(8), placed(12)},
         {0, 1, 3, 2},
         {0, 1, 3, 2}},
        // The same within one endpoint group (0 -> 1): the group's static
        // choice would be rank 2, but rank 3 writes at tile 1's next address.
        {"continuation within a group",
         6,
         {p2p(0, 1, 0x0, 0x1000), p2p(4, 5), p2p(0, 1, 0x100, 0x2000), p2p(0, 1, 0x10, 0x3000)},
         {placed(4), placed(4), placed(8), placed(12)},
         {0, 1, 3, 2},
         {0, 1, 3, 2}},
        // Transfer 1 waits for tile 0 until cycle 4; the broader repair
        // fills the gap with bucket 1, the local one keeps bucket 0 first.
        {"lower bucket first in local mode",
         7,
         {p2p(0, 1), p2p(0, 2), p2p(3, 4), p2p(5, 6)},
         {placed(4), placed(8, 0), placed(4), placed(4)},
         {0, 2, 3, 1},
         {0, 1, 2, 3}},
        // The same wait, for the receiver: tile 1 receives until cycle 4.
        {"busy receiver delays",
         7,
         {p2p(0, 1, 0x0), p2p(2, 1, 0x100), p2p(3, 4), p2p(5, 6)},
         {placed(4), placed(8, 0), placed(4), placed(4)},
         {0, 2, 3, 1},
         {0, 1, 2, 3}},
        // And for a paired send that borrows tile 1's transmitter until
        // cycle 4 (8 words, 4 pairs).
        {"busy partner delays",
         8,
         {pending(0, 8, {0x1000}, {{2, 0x0}}, paired64, 1), p2p(1, 3), p2p(4, 5), p2p(6, 7)},
         {placed(4), placed(8, 0), placed(4), placed(4)},
         {0, 2, 3, 1},
         {0, 1, 2, 3}},
    };
}

TEST(CriticalNeighborhoodOrder, PrefersEarlyStartsContinuationsAndLowBuckets) {
    for (const RepairCase& c : repair_cases()) {
        SCOPED_TRACE(c.name);
        const Incumbent incumbent(c.tiles, c.transfers, identity(c.transfers.size()), c.placements);
        EXPECT_EQ(incumbent.repair(false), std::optional<Order>(c.broader));
        EXPECT_EQ(incumbent.repair(true), std::optional<Order>(c.local));
    }
}

TEST(RepairReadyOrder, ComparesFieldByFieldInPriorityOrder) {
    const RepairReady base{5, 100, 5, 1, false, 50, 20, 7};
    struct Case {
        std::string_view name;
        RepairReady better;
    };
    // Each `better` entry beats `base` by the named field, and loses on
    // every later field so that the named one must decide.
    const std::vector<Case> cases = {
        {"smaller window", {4, 200, 9, 0, false, 0, 90, 9}},
        {"smaller ready cycle", {5, 99, 9, 0, false, 0, 90, 9}},
        {"smaller bucket", {5, 100, 4, 0, false, 0, 90, 9}},
        {"more continuations", {5, 100, 5, 2, false, 0, 90, 9}},
        {"in the neighbourhood", {5, 100, 5, 1, true, 0, 90, 9}},
        {"larger load", {5, 100, 5, 1, false, 51, 90, 9}},
        {"smaller rank", {5, 100, 5, 1, false, 50, 19, 9}},
        {"smaller transfer", {5, 100, 5, 1, false, 50, 20, 6}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_TRUE(base < c.better);
        EXPECT_FALSE(c.better < base);
    }
    EXPECT_FALSE(base < base);
}

// Tile 0 sends one transfer to each of tiles 1..n. Every placement delays
// all the others, whose queued entries then go stale one after another: the
// broader repair needs about n^2 / 2 visits.
std::vector<PendingTransfer> fan_out(std::uint16_t n) {
    std::vector<PendingTransfer> transfers;
    for (std::uint16_t i = 1; i <= n; ++i) {
        transfers.push_back(p2p(0, i));
    }
    return transfers;
}

Placements fan_out_placements(std::uint16_t n) {
    Placements placements;
    for (std::uint32_t i = 0; i < n; ++i) {
        placements.push_back(placed(4 * (i + 1), i == 0 ? std::nullopt : std::optional<std::uint32_t>(i - 1)));
    }
    return placements;
}

TEST(CriticalNeighborhoodOrder, BroaderRepairGivesUpBeyondItsVisitBudget) {
    EXPECT_EQ(detail::repair_visit_budget(1000), 65536U);
    EXPECT_EQ(detail::repair_visit_budget(8192), 65536U);
    EXPECT_EQ(detail::repair_visit_budget(10000), 80000U);

    // About 45,000 visits for 300 transfers: within the budget.
    const Incumbent small(301, fan_out(300), identity(300), fan_out_placements(300));
    const std::optional<Order> within = small.repair(false);
    ASSERT_TRUE(within.has_value());
    EXPECT_EQ(topological_fault(small.problem(), *within), "");

    // About 500,000 for 1,000: the broader repair gives up, the local one
    // (no budget) still yields an order.
    const Incumbent large(1001, fan_out(1000), identity(1000), fan_out_placements(1000));
    EXPECT_EQ(large.repair(false), std::nullopt);
    const std::optional<Order> local = large.repair(true);
    ASSERT_TRUE(local.has_value());
    EXPECT_EQ(topological_fault(large.problem(), *local), "");
}

// ---------------------------------------------------------------------------
// Random phases

// Small random phases with many overlapping addresses (so many
// dependencies), a random topological incumbent order and random placements
// along it.
class RandomPhase {
public:
    RandomPhase(std::uint64_t seed, bool point_to_point) : random_(seed) {
        tiles_ = static_cast<std::uint16_t>(3 + random_() % 6);
        const std::size_t n = 2 + random_() % 14;
        for (std::size_t i = 0; i < n; ++i) {
            transfers_.push_back(make_transfer(point_to_point));
        }
    }

    std::uint16_t tiles() const { return tiles_; }
    const std::vector<PendingTransfer>& transfers() const { return transfers_; }

    // A topological order picking a random ready transfer each step, and
    // placements whose critical predecessors are earlier in that order.
    std::pair<Order, Placements> incumbent(const SchedulingProblem& problem) {
        const std::size_t n = problem.transfer_count();
        std::vector<std::size_t> waiting(n);
        std::vector<std::uint32_t> ready;
        for (std::uint32_t t = 0; t < n; ++t) {
            waiting[t] = problem.predecessors(t).size();
            if (waiting[t] == 0) {
                ready.push_back(t);
            }
        }
        Order order;
        Placements placements(n);
        while (!ready.empty()) {
            const std::size_t pick = random_() % ready.size();
            const std::uint32_t t = ready[pick];
            ready.erase(ready.begin() + static_cast<std::ptrdiff_t>(pick));
            std::optional<std::uint32_t> predecessor;
            if (!order.empty() && random_() % 3 != 0) {
                predecessor = order[random_() % order.size()];
            }
            placements[t] = placed(static_cast<std::uint32_t>(random_() % 40), predecessor);
            order.push_back(t);
            for (const std::uint32_t successor : problem.successors(t)) {
                if (--waiting[successor] == 0) {
                    ready.push_back(successor);
                }
            }
        }
        return {order, placements};
    }

private:
    PendingTransfer make_transfer(bool point_to_point) {
        static constexpr std::uint32_t addresses[] = {0x0, 0x8, 0x10, 0x40};
        const auto source = static_cast<std::uint16_t>(random_() % tiles_);
        std::vector<std::uint16_t> others;
        for (std::uint16_t tile = 0; tile < tiles_; ++tile) {
            if (tile != source) {
                others.push_back(tile);
            }
        }
        std::shuffle(others.begin(), others.end(), random_);
        const std::size_t count = point_to_point ? 1 : std::min<std::size_t>(1 + random_() % 3, others.size());
        std::vector<PendingDestination> destinations;
        for (std::size_t i = 0; i < count; ++i) {
            destinations.push_back({others[i], addresses[random_() % 4]});
        }
        const bool paired = random_() % 5 == 0;
        const std::uint32_t words = paired ? 2 * (1 + random_() % 4) : 1 + random_() % 8;
        const std::optional<std::uint16_t> partner =
            paired ? std::optional<std::uint16_t>(static_cast<std::uint16_t>((source ^ 1U) % tiles_)) : std::nullopt;
        return pending(source, words, {addresses[random_() % 4]}, std::move(destinations),
                       paired ? paired64 : word32, partner);
    }

    std::mt19937_64 random_;
    std::uint16_t tiles_ = 0;
    std::vector<PendingTransfer> transfers_;
};

// In local mode, each placed transfer comes from the lowest bucket that has
// a ready transfer at that point.
std::string local_bucket_fault(const SchedulingProblem& problem, const Order& incumbent, const Order& order) {
    const std::size_t n = problem.transfer_count();
    std::size_t bucket_size = 1;
    while ((bucket_size + 1) * (bucket_size + 1) <= n) {
        ++bucket_size;
    }
    std::vector<std::size_t> bucket(n);
    for (std::size_t rank = 0; rank < n; ++rank) {
        bucket[incumbent[rank]] = rank / bucket_size;
    }
    std::vector<bool> done(n, false);
    for (const std::uint32_t t : order) {
        for (std::uint32_t u = 0; u < n; ++u) {
            const auto predecessors = problem.predecessors(u);
            const bool ready = !done[u] && std::all_of(predecessors.begin(), predecessors.end(),
                                                       [&](std::uint32_t p) { return done[p]; });
            if (ready && bucket[u] < bucket[t]) {
                return fmt::format("{} (bucket {}) placed while {} (bucket {}) was ready", t, bucket[t], u, bucket[u]);
            }
        }
        done[t] = true;
    }
    return {};
}

TEST(OrderRandom, EveryOrderIsATopologicalPermutation) {
    int wave_orders = 0;
    int repaired = 0;
    for (std::uint64_t seed = 1; seed <= 400; ++seed) {
        const bool point_to_point = seed % 2 == 0;
        RandomPhase phase(seed, point_to_point);
        const std::vector<PendingTransfer> transfers = test_support::positions(phase.transfers());
        const SchedulingProblem problem = SchedulingProblem::create(transfers, phase.tiles());
        auto [order, placements] = phase.incumbent(problem);
        const Incumbent incumbent(phase.tiles(), transfers, order, placements);
        SCOPED_TRACE(fmt::format("seed {} tiles {} transfers {}", seed, phase.tiles(), transfers.size()));

        if (point_to_point) {
            if (const std::optional<Order> waves = incumbent.waves()) {
                ++wave_orders;
                EXPECT_EQ(topological_fault(incumbent.problem(), *waves), "");
            }
        }
        const std::optional<Order> broader = incumbent.repair(false);
        const std::optional<Order> local = incumbent.repair(true);
        ASSERT_TRUE(broader.has_value());
        ASSERT_TRUE(local.has_value());
        EXPECT_EQ(topological_fault(incumbent.problem(), *broader), "");
        EXPECT_EQ(topological_fault(incumbent.problem(), *local), "");
        if (*local != order) {
            ++repaired;
            EXPECT_EQ(local_bucket_fault(incumbent.problem(), order, *local), "");
        }
    }
    // The generator must exercise the interesting paths, not only the
    // early returns.
    EXPECT_GT(wave_orders, 50);
    EXPECT_GT(repaired, 50);
}

// ---------------------------------------------------------------------------
// Log events

// Runs repairs and compares the order events they log (without
// timestamps); empty when they match.
std::string log_repairs() {
    const RepairCase buckets = repair_cases()[2];
    const Incumbent four(buckets.tiles, buckets.transfers, identity(4), buckets.placements);
    (void)four.repair(true);
    (void)four.repair(false);
    // Nothing to repair: no event.
    const Incumbent single(6, {p2p(0, 1), p2p(2, 3), p2p(4, 5)}, {2, 0, 1}, {placed(4), placed(4), placed(9)});
    (void)single.repair(false);
    const Incumbent large(1001, fan_out(1000), identity(1000), fan_out_placements(1000));
    (void)large.repair(false);
    return runtime::test_support::log_mismatch(
        "DEBUG vorn_codegen::exchange::order: finished exchange repair ordering transfers=4 visits=5 local=true\n"
        "DEBUG vorn_codegen::exchange::order: finished exchange repair ordering transfers=4 visits=5 local=false\n"
        "DEBUG vorn_codegen::exchange::order: broader exchange repair reached its queue-work budget "
        "transfers=1000 visits=65537\n");
}

// In a freshly started copy of the test program, in which no other test has
// installed a subscriber yet.
TEST(OrderEventsDeathTest, RepairsLogTheirDebugEvents) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(runtime::test_support::run_logged("vorn_codegen::exchange::order=debug", log_repairs),
                ::testing::ExitedWithCode(0), "");
}

}  // namespace
}  // namespace vorn::codegen
