// Every generated family, at several sizes, must schedule without error,
// deterministically, and every tile program must validate: the scheduler's
// whole pipeline on the inputs the benchmarks use.

#include <gtest/gtest.h>

#include <cstddef>
#include <functional>
#include <map>
#include <string>

#include "vorn/codegen/exchange/optimize.hpp"
#include "vorn/codegen/exchange/pending.hpp"
#include "vorn/codegen/exchange/problem.hpp"
#include "vorn/codegen/exchange/validation.hpp"
#include "vorn/exchange/diagnostic.hpp"
#include "vorn/snapgen/families.hpp"
#include "vorn/snapgen/options.hpp"

namespace vorn::snapgen {
namespace {

struct Case {
    Family family;
    std::uint32_t tiles;
    std::uint32_t transfers;
    std::uint32_t paired_percent;
};

std::string describe(const Case& c, std::uint64_t seed) {
    return std::string(family_name(c.family)) + " tiles=" + std::to_string(c.tiles) +
           " transfers=" + std::to_string(c.transfers) + " seed=" + std::to_string(seed);
}

// Schedules the phase again, keeping the builder, and checks every tile's
// encoded words against that tile's own schedule; the words must be those of
// the finished phase.
// The strategy names seen, to check that the cases exercise every one.
using StrategyCounts = std::map<std::string, std::size_t, std::less<>>;

void expect_programs_match_their_schedules(std::uint16_t tile_count, const codegen::ExchangeScheduleProblem& problem,
                                           const codegen::PhysicalExchangePhase& phase, const std::string& what,
                                           StrategyCounts& strategies) {
    const auto topology = codegen::machine_section(tile_count);
    ASSERT_TRUE(topology.has_value()) << what;
    const auto pending = codegen::pending_from_problem(problem, tile_count);
    ASSERT_TRUE(pending.has_value()) << what;
    const auto configuration = codegen::receive_configuration(*pending, tile_count);
    ASSERT_TRUE(configuration.has_value()) << what;
    const auto scheduled = codegen::optimize_pending_schedule(
        *topology, *pending, configuration->incoming_bases, configuration->incoming_counts, tile_count);
    ASSERT_TRUE(scheduled.has_value()) << what << ": " << scheduled.error().to_string();
    // The statistics must describe the strategy that produced the phase.
    const std::string strategy(scheduled->strategy);
    ++strategies[strategy];
    EXPECT_EQ(scheduled->schedule.horizon, phase.horizon_cycles) << what;
    EXPECT_EQ(scheduled->neighborhood_improvements, phase.neighborhood_improvements) << what;
    if (strategy == "full-duplex") {
        EXPECT_EQ(phase.horizon_cycles, phase.initial_horizon_cycles) << what;
        EXPECT_EQ(phase.neighborhood_improvements, 0U) << what;
    } else if (strategy == "matching-waves") {
        EXPECT_LT(phase.horizon_cycles, phase.initial_horizon_cycles) << what;
        EXPECT_EQ(phase.neighborhood_improvements, 0U) << what;
    } else {
        EXPECT_EQ(strategy, "critical-neighborhood") << what;
        EXPECT_LT(phase.horizon_cycles, phase.initial_horizon_cycles) << what;
        EXPECT_GE(phase.neighborhood_improvements, 1U) << what;
    }
    const auto& builder = scheduled->schedule.builder;
    for (std::uint16_t tile = 0; tile < tile_count; ++tile) {
        const auto& schedule = builder.tile(tile);
        if (schedule.horizon() == 0) {
            EXPECT_FALSE(phase.active[tile]) << what << " tile=" << tile;
            continue;
        }
        EXPECT_TRUE(phase.active[tile]) << what << " tile=" << tile;
        const auto checked = vorn::exchange::validate_tile_program(tile, schedule.sender_rows(),
                                                                   schedule.receive_events(), schedule.horizon(),
                                                                   phase.rows[tile]);
        ASSERT_TRUE(checked.has_value()) << what << " tile=" << tile << ": " << checked.error().to_string();
    }
}

TEST(GeneratedSnapshots, ScheduleDeterministicallyAndValidate) {
    const Case cases[] = {
        {Family::AllToAll, 2, 2, 0},      {Family::AllToAll, 64, 300, 0},   {Family::AllToAll, 1472, 2000, 0},
        {Family::Broadcast, 17, 20, 0},   {Family::Broadcast, 1472, 200, 0}, {Family::Halo, 64, 256, 0},
        {Family::Halo, 1472, 3000, 0},    {Family::Mixed, 17, 60, 50},      {Family::Mixed, 64, 400, 30},
        {Family::Mixed, 1472, 1500, 10},  {Family::Pairs, 16, 8, 0},        {Family::Pairs, 1472, 400, 0},
    };
    StrategyCounts strategies;
    for (const Case& c : cases) {
        for (const std::uint64_t seed : {1u, 7u}) {
            GeneratorOptions options;
            options.family = c.family;
            options.tile_count = c.tiles;
            options.transfers = c.transfers;
            options.phases = 2;
            options.seed = seed;
            if (c.family == Family::Mixed) {
                options.paired_percent = c.paired_percent;
            }
            const auto plan = resolve_options(options);
            ASSERT_TRUE(plan.has_value()) << describe(c, seed) << ": " << plan.error();
            const auto snapshot = generate_snapshot(*plan);
            for (const auto& problem : snapshot.phases) {
                const std::string what = describe(c, seed) + " phase=" + std::to_string(problem.phase);
                const auto first = codegen::schedule_exchange_problem(snapshot.tile_count, problem);
                ASSERT_TRUE(first.has_value()) << what << ": " << first.error().to_string();
                const auto second = codegen::schedule_exchange_problem(snapshot.tile_count, problem);
                ASSERT_TRUE(second.has_value()) << what << ": " << second.error().to_string();
                EXPECT_TRUE(*first == *second) << what << ": two runs differ";
                const auto valid = codegen::validate_exchange_schedule(snapshot.tile_count, problem, *first);
                EXPECT_TRUE(valid.has_value()) << what << ": " << valid.error().to_string();
                expect_programs_match_their_schedules(snapshot.tile_count, problem, *first, what, strategies);
                EXPECT_GE(first->horizon_cycles, first->endpoint_lower_bound_cycles) << what;
                EXPECT_LE(first->horizon_cycles, first->initial_horizon_cycles) << what;
            }
        }
    }
    for (const char* strategy : {"full-duplex", "matching-waves", "critical-neighborhood"}) {
        EXPECT_GT(strategies[strategy], 0U) << "no case kept a " << strategy << " schedule";
    }
}

}  // namespace
}  // namespace vorn::snapgen
