// The pairs family: ordinary multicasts that the width selection of the
// recipe cache can widen, and does widen where that shortens the phase.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <set>
#include <string>

#include "vorn/codegen/exchange/optimize.hpp"
#include "vorn/codegen/exchange/pending.hpp"
#include "vorn/codegen/exchange/reuse.hpp"
#include "vorn/codegen/exchange/snapshot_validation.hpp"
#include "vorn/codegen/exchange/validation.hpp"
#include "vorn/codegen/exchange/widths.hpp"
#include "vorn/snapgen/families.hpp"
#include "vorn/snapgen/options.hpp"
#include "vorn/snapgen/rules.hpp"

namespace vorn::snapgen {
namespace {

using codegen::ExchangeItemWidth;

GeneratorOptions pairs_options(std::uint32_t tiles) {
    GeneratorOptions options;
    options.family = Family::Pairs;
    options.tile_count = tiles;
    return options;
}

GeneratorPlan plan_for(const GeneratorOptions& options) {
    auto plan = resolve_options(options);
    EXPECT_TRUE(plan.has_value()) << plan.error();
    return plan.value_or(GeneratorPlan{});
}

TEST(PairsFamily, OptionsNeedTwoPairsAndAnEvenWordCount) {
    EXPECT_EQ(parse_family("pairs").value(), Family::Pairs);
    EXPECT_EQ(family_name(Family::Pairs), "pairs");
    const GeneratorPlan plan = plan_for(pairs_options(1472));
    EXPECT_EQ(plan.transfers, 368U);
    EXPECT_EQ(plan.phases, 1U);
    EXPECT_EQ(plan.paired_percent, 0U);

    const auto three = resolve_options(pairs_options(3));
    ASSERT_FALSE(three.has_value());
    EXPECT_NE(three.error().find("at least 4 tiles"), std::string::npos) << three.error();
    EXPECT_TRUE(resolve_options(pairs_options(4)).has_value());

    for (const CountRange words : {CountRange{1, 1}, CountRange{7, 7}}) {
        GeneratorOptions options = pairs_options(16);
        options.words = words;
        const auto odd = resolve_options(options);
        ASSERT_FALSE(odd.has_value()) << words.min;
        EXPECT_NE(odd.error().find("no even word count"), std::string::npos) << odd.error();
    }
    GeneratorOptions narrow = pairs_options(16);
    narrow.words = CountRange{7, 8};
    EXPECT_TRUE(resolve_options(narrow).has_value());
}

TEST(PairsFamily, MulticastsToWholePairsFromSourcesWithAFreePartner) {
    struct Case {
        std::uint32_t tiles;
        CountRange words;
        CountRange fanout;
        std::uint32_t transfers;
    };
    const Case cases[] = {
        {4, {1, 3}, {1, 3}, 10},         // two pairs: every multicast goes to the other one
        {5, {5, 7}, {2, 4}, 12},         // the last tile has no partner
        {6, {7, 9}, {2, 5}, 12},
        {64, {8, 512}, {2, 16}, 64},     // sending pairs repeat
        {1471, {1, 4148}, {1, 40}, 500},
    };
    for (const Case& c : cases) {
        GeneratorOptions options = pairs_options(c.tiles);
        options.words = c.words;
        options.fanout = c.fanout;
        options.transfers = c.transfers;
        options.phases = 2;
        const auto resolved = resolve_options(options);
        ASSERT_TRUE(resolved.has_value()) << c.tiles << ": " << resolved.error();
        const GeneratorPlan& plan = *resolved;
        const auto snapshot = generate_snapshot(plan);
        const auto rules = check_snapshot(snapshot);
        EXPECT_TRUE(rules.has_value()) << c.tiles << ": " << rules.error();
        const auto valid = codegen::validate_snapshot(snapshot);
        EXPECT_TRUE(valid.has_value()) << c.tiles << ": " << valid.error().to_string();
        const std::uint32_t pairs = c.tiles / 2;
        for (const auto& problem : snapshot.phases) {
            ASSERT_EQ(problem.transfers.size(), c.transfers);
            std::set<std::uint16_t> sources;
            for (const auto& transfer : problem.transfers) {
                sources.insert(transfer.source);
                EXPECT_EQ(transfer.width, ExchangeItemWidth::Word32);
                // The paired payload sizes where the range has them.
                const bool wide = c.words.max >= 8 && (c.words.max & ~3U) >= c.words.min;
                EXPECT_EQ(transfer.words % (wide ? 4 : 2), 0U) << transfer.words;
                EXPECT_GE(transfer.words, std::max(c.words.min, wide ? 8U : 2U));
                EXPECT_LE(transfer.words, c.words.max);
                for (const std::uint32_t address : transfer.source_addresses) {
                    EXPECT_EQ(address % 8, 0U);
                }
                ASSERT_EQ(transfer.destinations.size() % 2, 0U);
                const std::size_t wanted = std::min<std::size_t>((c.fanout.max + 1) / 2, pairs - 1);
                EXPECT_GE(transfer.destinations.size(), 2U);
                EXPECT_LE(transfer.destinations.size(), 2 * wanted);
                for (std::size_t d = 0; d < transfer.destinations.size(); d += 2) {
                    const auto& first = transfer.destinations[d];
                    const auto& second = transfer.destinations[d + 1];
                    EXPECT_EQ(first.tile % 2, 0);
                    EXPECT_EQ(second.tile, first.tile + 1);
                    EXPECT_LT(second.tile, 2 * pairs);
                    EXPECT_NE(first.tile >> 1, transfer.source >> 1);
                    EXPECT_EQ(first.address % 8, 0U);
                    EXPECT_EQ(second.address % 8, 0U);
                }
            }
            // No source's partner sends in the phase.
            for (const std::uint16_t source : sources) {
                EXPECT_LT(source, 2 * pairs);
                EXPECT_EQ(sources.count(partner_tile(source)), 0U) << source;
            }
        }
    }
}

TEST(PairsFamily, PairedShareWidensInTheSnapshot) {
    GeneratorOptions options = pairs_options(32);
    options.paired_percent = 100;
    options.transfers = 16;
    const auto snapshot = generate_snapshot(plan_for(options));
    EXPECT_TRUE(check_snapshot(snapshot).has_value());
    for (const auto& transfer : snapshot.phases[0].transfers) {
        EXPECT_EQ(transfer.width, ExchangeItemWidth::Paired64);
    }
}

TEST(PairsFamily, EveryTransferCanBeWidenedAndWideningWins) {
    GeneratorOptions options = pairs_options(64);
    options.transfers = 8;
    options.phases = 3;
    options.words = CountRange{64, 256};
    options.fanout = CountRange{2, 4};
    const GeneratorPlan plan = plan_for(options);
    const auto snapshot = generate_snapshot(plan);
    const auto topology = codegen::machine_section(plan.tile_count);
    ASSERT_TRUE(topology.has_value());
    std::size_t widened_phases = 0;
    for (const auto& problem : snapshot.phases) {
        const auto pending = codegen::pending_from_problem(problem, plan.tile_count);
        ASSERT_TRUE(pending.has_value()) << pending.error().to_string();
        const auto alternatives = codegen::paired_transfer_alternatives(*pending, *topology, plan.tile_count);
        ASSERT_TRUE(alternatives.has_value()) << alternatives.error().to_string();
        EXPECT_TRUE(std::all_of(alternatives->begin(), alternatives->end(),
                                [](const auto& alternative) { return alternative.has_value(); }))
            << "phase " << problem.phase;

        codegen::ExchangeScheduleCache cache;
        const auto result = cache.schedule_problem(plan.tile_count, problem);
        ASSERT_TRUE(result.has_value()) << result.error().to_string();
        const auto valid = codegen::validate_exchange_schedule(plan.tile_count, result->problem, result->phase);
        EXPECT_TRUE(valid.has_value()) << valid.error().to_string();
        const bool widened = std::any_of(result->problem.transfers.begin(), result->problem.transfers.end(),
                                         [](const auto& t) { return t.width == ExchangeItemWidth::Paired64; });
        widened_phases += widened ? 1 : 0;
    }
    EXPECT_EQ(widened_phases, snapshot.phases.size());
}

}  // namespace
}  // namespace vorn::snapgen
