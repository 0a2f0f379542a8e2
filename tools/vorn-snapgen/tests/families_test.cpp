#include "vorn/snapgen/families.hpp"

#include <algorithm>
#include <cstdlib>
#include <map>
#include <set>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "vorn/snapgen/rules.hpp"

namespace vorn::snapgen {
namespace {

using codegen::ExchangeItemWidth;
using codegen::ExchangeScheduleProblem;
using codegen::ExchangeScheduleSnapshot;
using codegen::ExchangeScheduleTransfer;

GeneratorPlan plan_for(GeneratorOptions options) {
    auto plan = resolve_options(options);
    EXPECT_TRUE(plan.has_value()) << plan.error();
    return plan.value_or(GeneratorPlan{});
}

struct FamilyCase {
    const char* name;
    GeneratorOptions options;
};

// Names the case in test listings instead of dumping its bytes.
void PrintTo(const FamilyCase& c, std::ostream* os) { *os << c.name; }


GeneratorOptions make(Family family, std::uint32_t tiles, void (*change)(GeneratorOptions&) = nullptr) {
    GeneratorOptions options;
    options.family = family;
    options.tile_count = tiles;
    if (change != nullptr) {
        change(options);
    }
    return options;
}

// Memory element of a byte address: 16 KiB below 0x80000, 32 KiB above.
std::pair<bool, std::uint32_t> element_of(std::uint32_t address) {
    if (address < upper_region_begin) {
        return {false, address >> 14};
    }
    return {true, (address - upper_region_begin) >> 15};
}

using ElementSet = std::set<std::pair<bool, std::uint32_t>>;

void add_elements(ElementSet& set, std::uint32_t address, std::uint32_t words) {
    for (std::uint32_t a = address; a < address + 4 * words; a += 0x4000) {
        set.insert(element_of(a));
    }
    set.insert(element_of(address + 4 * words - 4));
}

// Per transfer, whether it forwards a payload: it reads a buffer that an
// earlier transfer of the phase wrote.
std::vector<bool> forwards(const ExchangeScheduleProblem& problem) {
    std::set<std::pair<std::uint16_t, std::uint32_t>> landed;
    std::vector<bool> result;
    for (const auto& transfer : problem.transfers) {
        result.push_back(landed.count({transfer.source, transfer.source_addresses.front()}) != 0);
        for (const auto& destination : transfer.destinations) {
            landed.insert({destination.tile, destination.address});
        }
    }
    return result;
}

class EveryFamily : public testing::TestWithParam<FamilyCase> {};

TEST_P(EveryFamily, KeepsEveryRule) {
    const GeneratorPlan plan = plan_for(GetParam().options);
    const ExchangeScheduleSnapshot snapshot = generate_snapshot(plan);
    const auto checked = check_snapshot(snapshot);
    EXPECT_TRUE(checked.has_value()) << checked.error();
    EXPECT_EQ(snapshot.schema_version, 3U);
    EXPECT_EQ(snapshot.tile_count, plan.tile_count);
    ASSERT_EQ(snapshot.phases.size(), plan.phases);
    for (std::uint32_t i = 0; i < plan.phases; ++i) {
        EXPECT_EQ(snapshot.phases[i].phase, plan.first_phase + i);
        EXPECT_EQ(snapshot.phases[i].transfers.size(), plan.transfers);
    }
}

TEST_P(EveryFamily, IsDeterministicForASeed) {
    const GeneratorPlan plan = plan_for(GetParam().options);
    const ExchangeScheduleSnapshot first = generate_snapshot(plan);
    EXPECT_EQ(first, generate_snapshot(plan));
    // Each phase stands on its own stream, so it can be generated alone.
    for (std::uint32_t i = 0; i < plan.phases; ++i) {
        EXPECT_EQ(generate_phase(plan, i), first.phases[i]);
    }
    GeneratorPlan other = plan;
    other.seed = plan.seed + 1;
    EXPECT_NE(generate_snapshot(other), first);
}

TEST_P(EveryFamily, KeepsRepeatsAndWordsInRange) {
    const GeneratorPlan plan = plan_for(GetParam().options);
    for (const auto& problem : generate_snapshot(plan).phases) {
        const auto forwarded = forwards(problem);
        for (std::size_t i = 0; i < problem.transfers.size(); ++i) {
            const auto& transfer = problem.transfers[i];
            EXPECT_GE(transfer.words, plan.words.min);
            EXPECT_LE(transfer.words, plan.words.max);
            if (!forwarded[i]) {
                EXPECT_GE(transfer.source_addresses.size(), plan.repeats.min);
                EXPECT_LE(transfer.source_addresses.size(), plan.repeats.max);
            }
        }
    }
}

TEST_P(EveryFamily, SeparatesSendAndReceiveMemory) {
    // A tile's own send buffers never share a memory element with buffers
    // it receives into, so no transfer waits for another by accident; only a
    // forwarded payload reads what arrived, on purpose.
    const GeneratorPlan plan = plan_for(GetParam().options);
    const auto snapshot = generate_snapshot(plan);
    for (std::size_t p = 0; p < snapshot.phases.size(); ++p) {
        const auto& problem = snapshot.phases[p];
        std::map<std::uint16_t, ElementSet> sends;
        std::map<std::uint16_t, ElementSet> receives;
        const auto forwarded = forwards(problem);
        for (std::size_t i = 0; i < problem.transfers.size(); ++i) {
            const auto& transfer = problem.transfers[i];
            const bool forward = forwarded[i];
            for (const std::uint32_t address : transfer.source_addresses) {
                // Even phases send from the lower half of memory.
                EXPECT_EQ(address >= upper_region_begin, forward == (p % 2 == 0)) << "phase " << p << " transfer " << i;
                if (!forward) {
                    add_elements(sends[transfer.source], address, transfer.words);
                }
            }
            for (const auto& destination : transfer.destinations) {
                EXPECT_EQ(destination.address >= upper_region_begin, p % 2 == 0);
                add_elements(receives[destination.tile], destination.address, transfer.words);
            }
        }
        for (const auto& [tile, elements] : sends) {
            for (const auto& element : elements) {
                EXPECT_EQ(receives[tile].count(element), 0U) << "tile " << tile;
            }
        }
    }
}

INSTANTIATE_TEST_SUITE_P(
    Families, EveryFamily,
    testing::Values(
        FamilyCase{"AllToAllDefault", make(Family::AllToAll, 1472)},
        FamilyCase{"AllToAllOddGroupsPaired", make(Family::AllToAll, 101,
                                                   [](GeneratorOptions& o) {
                                                       o.group_size = 7;
                                                       o.paired_percent = 100;
                                                       o.phases = 3;
                                                       o.repeats = CountRange{2, 4};
                                                   })},
        FamilyCase{"AllToAllTwoTiles", make(Family::AllToAll, 2,
                                            [](GeneratorOptions& o) {
                                                o.transfers = 9;
                                                o.paired_percent = 100;
                                            })},
        FamilyCase{"BroadcastDefault", make(Family::Broadcast, 1472)},
        FamilyCase{"BroadcastPairedOddTiles", make(Family::Broadcast, 1471,
                                                   [](GeneratorOptions& o) {
                                                       o.paired_percent = 100;
                                                       o.fanout = CountRange{1, 40};
                                                       o.transfers = 3000;
                                                       o.words = CountRange{1, 4148};
                                                   })},
        FamilyCase{"BroadcastToAllOthers", make(Family::Broadcast, 9,
                                                [](GeneratorOptions& o) {
                                                    o.fanout = CountRange{8, 8};
                                                    o.transfers = 20;
                                                    o.paired_percent = 50;
                                                })},
        FamilyCase{"HaloDefault", make(Family::Halo, 1472, [](GeneratorOptions& o) { o.phases = 2; })},
        FamilyCase{"HaloThinGridPaired", make(Family::Halo, 64,
                                              [](GeneratorOptions& o) {
                                                  o.grid = GridShape{1, 64};
                                                  o.paired_percent = 100;
                                                  o.transfers = 500;
                                              })},
        FamilyCase{"MixedDefault", make(Family::Mixed, 1472)},
        FamilyCase{"MixedLargePayloads", make(Family::Mixed, 1472,
                                              [](GeneratorOptions& o) {
                                                  o.words = CountRange{4000, 4148};
                                                  o.repeats = CountRange{16, 16};
                                                  o.transfers = 3000;
                                                  o.phases = 2;
                                                  o.first_phase = 100;
                                              })},
        FamilyCase{"MixedSmallWordsNeverPaired", make(Family::Mixed, 64,
                                                      [](GeneratorOptions& o) {
                                                          o.words = CountRange{1, 4};
                                                          o.paired_percent = 100;
                                                          o.transfers = 200;
                                                      })},
        FamilyCase{"MixedFewTiles", make(Family::Mixed, 3, [](GeneratorOptions& o) { o.transfers = 50; })},
        FamilyCase{"PairsDefault", make(Family::Pairs, 1472)},
        FamilyCase{"PairsThreePhases", make(Family::Pairs, 100, [](GeneratorOptions& o) { o.phases = 3; })}),
    [](const testing::TestParamInfo<FamilyCase>& info) { return std::string(info.param.name); });

TEST(AllToAll, SendsEveryOrderedPairOfEveryGroupOncePerRound) {
    auto options = make(Family::AllToAll, 20, [](GeneratorOptions& o) { o.group_size = 6; });
    const GeneratorPlan plan = plan_for(options);
    ASSERT_EQ(plan.transfers, 92U);
    GeneratorPlan two_rounds = plan;
    two_rounds.transfers = 2 * plan.transfers;
    std::map<std::pair<int, int>, int> pairs;
    for (const auto& transfer : generate_phase(two_rounds, 0).transfers) {
        ASSERT_EQ(transfer.destinations.size(), 1U);
        const int source = transfer.source;
        const int destination = transfer.destinations[0].tile;
        EXPECT_EQ(source / 6, destination / 6) << source << " -> " << destination;
        ++pairs[{source, destination}];
    }
    EXPECT_EQ(pairs.size(), 92U);
    for (const auto& [pair, count] : pairs) {
        EXPECT_EQ(count, 2) << pair.first << " -> " << pair.second;
    }
}

TEST(AllToAll, GivesEveryPayloadItsOwnReceiveBuffer) {
    const GeneratorPlan plan = plan_for(make(Family::AllToAll, 64, [](GeneratorOptions& o) { o.group_size = 16; }));
    std::map<std::uint16_t, std::vector<std::pair<std::uint32_t, std::uint32_t>>> spans;
    for (const auto& transfer : generate_phase(plan, 0).transfers) {
        const auto& destination = transfer.destinations[0];
        spans[destination.tile].emplace_back(destination.address, destination.address + 4 * transfer.words);
    }
    for (auto& [tile, list] : spans) {
        std::sort(list.begin(), list.end());
        for (std::size_t i = 1; i < list.size(); ++i) {
            EXPECT_LE(list[i - 1].second, list[i].first) << "tile " << tile;
        }
    }
}

TEST(AllToAll, PairsOnlyWholeTilePairs) {
    const GeneratorPlan plan = plan_for(make(Family::AllToAll, 32, [](GeneratorOptions& o) {
        o.paired_percent = 100;
        o.words = CountRange{8, 64};
    }));
    std::size_t paired = 0;
    for (const auto& transfer : generate_phase(plan, 0).transfers) {
        if (transfer.width != ExchangeItemWidth::Paired64) {
            // Only a destination in the source's own pair keeps it ordinary.
            ASSERT_EQ(transfer.destinations.size(), 1U);
            EXPECT_EQ(transfer.destinations[0].tile >> 1, transfer.source >> 1);
            continue;
        }
        ++paired;
        ASSERT_EQ(transfer.destinations.size(), 2U);
        EXPECT_EQ(transfer.destinations[0].tile % 2, 0);
        EXPECT_EQ(transfer.destinations[1].tile, transfer.destinations[0].tile + 1);
        EXPECT_EQ(transfer.words % 4, 0U);
        for (const auto address : transfer.source_addresses) {
            EXPECT_EQ(address % 8, 0U);
        }
    }
    // Groups of 8: of each tile's 7 partners in the group, 6 lie in other pairs.
    EXPECT_EQ(paired, 32U * 6U);
}

TEST(Broadcast, VisitsEverySourceBeforeRepeatingOne) {
    const GeneratorPlan plan = plan_for(make(Family::Broadcast, 50, [](GeneratorOptions& o) {
        o.transfers = 100;
        o.fanout = CountRange{3, 5};
    }));
    std::map<std::uint16_t, int> sources;
    const auto problem = generate_phase(plan, 0);
    for (std::size_t i = 0; i < problem.transfers.size(); ++i) {
        const auto& transfer = problem.transfers[i];
        ++sources[transfer.source];
        EXPECT_EQ(transfer.source, problem.transfers[i % 50].source);
        EXPECT_GE(transfer.destinations.size(), 3U);
        EXPECT_LE(transfer.destinations.size(), 5U);
        EXPECT_TRUE(std::is_sorted(transfer.destinations.begin(), transfer.destinations.end(),
                                   [](const auto& a, const auto& b) { return a.tile < b.tile; }));
    }
    EXPECT_EQ(sources.size(), 50U);
}

TEST(Broadcast, PairedMulticastsReachWholePairs) {
    const GeneratorPlan plan = plan_for(make(Family::Broadcast, 40, [](GeneratorOptions& o) {
        o.transfers = 200;
        o.fanout = CountRange{5, 5};
        o.paired_percent = 100;
        o.words = CountRange{8, 100};
    }));
    for (const auto& transfer : generate_phase(plan, 0).transfers) {
        ASSERT_EQ(transfer.width, ExchangeItemWidth::Paired64);
        // Five destinations asked for: three whole pairs.
        EXPECT_EQ(transfer.destinations.size(), 6U);
    }
}

TEST(Halo, SendsToEveryNeighbourOnce) {
    const GeneratorPlan plan = plan_for(make(Family::Halo, 24, [](GeneratorOptions& o) { o.grid = GridShape{5, 4}; }));
    ASSERT_EQ(plan.transfers, 62U);
    std::set<std::pair<int, int>> links;
    std::set<std::uint32_t> vertical_words;
    std::set<std::uint32_t> horizontal_words;
    for (const auto& transfer : generate_phase(plan, 0).transfers) {
        ASSERT_EQ(transfer.destinations.size(), 1U);
        const int source = transfer.source;
        const int destination = transfer.destinations[0].tile;
        ASSERT_LT(source, 20);
        ASSERT_LT(destination, 20);
        const int dx = destination % 5 - source % 5;
        const int dy = destination / 5 - source / 5;
        EXPECT_EQ(std::abs(dx) + std::abs(dy), 1) << source << " -> " << destination;
        (dx == 0 ? vertical_words : horizontal_words).insert(transfer.words);
        EXPECT_TRUE(links.insert({source, destination}).second);
    }
    EXPECT_EQ(links.size(), 62U);
    // One face size per direction, as a stencil block gives.
    EXPECT_EQ(vertical_words.size(), 1U);
    EXPECT_EQ(horizontal_words.size(), 1U);
}

TEST(Mixed, BlendsPairedRepeatedAndForwardedTransfers) {
    const GeneratorPlan plan = plan_for(make(Family::Mixed, 1472));
    const auto snapshot = generate_snapshot(plan);
    for (const auto& problem : snapshot.phases) {
        std::size_t paired = 0;
        std::size_t repeated = 0;
        std::size_t multicast = 0;
        std::size_t forward_count = 0;
        const auto forwarded = forwards(problem);
        for (std::size_t i = 0; i < problem.transfers.size(); ++i) {
            const auto& transfer = problem.transfers[i];
            paired += transfer.width == ExchangeItemWidth::Paired64 ? 1 : 0;
            repeated += transfer.source_addresses.size() > 1 ? 1 : 0;
            multicast += transfer.destinations.size() > 2 ? 1 : 0;
            if (forwarded[i]) {
                ++forward_count;
                // Forwards close the phase, after everything they read.
                EXPECT_GE(i, problem.transfers.size() - 50);
            }
        }
        EXPECT_GT(paired, 30U);
        EXPECT_GT(repeated, 300U);
        EXPECT_GT(multicast, 100U);
        EXPECT_EQ(forward_count, 50U);
    }
}

}  // namespace
}  // namespace vorn::snapgen
