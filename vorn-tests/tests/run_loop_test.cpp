// The pieces of the phase run loop that the command's output alone cannot
// reach: the repeat check's comparison and the relocation of a phase.

#include "vorn/tests/run_loop.hpp"

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace vorn::tests {
namespace {

using codegen::ExchangeActivity;
using codegen::ExchangeActivityKind;
using codegen::ExchangeRowPatch;
using codegen::ExchangeScheduleDestination;
using codegen::ExchangeScheduleProblem;
using codegen::ExchangeScheduleTransfer;
using codegen::PhysicalExchangePhase;

PhysicalExchangePhase two_tile_phase() {
    PhysicalExchangePhase phase;
    phase.active = {true, true};
    phase.rows = {{0x41800003, 0x43A00000}, {0x41800003, 0x43A00000}};
    phase.incoming_bases = {0, 64};
    phase.tile_horizons = {12, 12};
    phase.activities = {
        {ExchangeActivity{.transfer = 0, .start = 2, .completion = 6, .end = 6, .address = 4096, .words = 4,
                          .destination_count = 1, .kind = ExchangeActivityKind::Send}},
        {ExchangeActivity{.transfer = 0, .start = 8, .completion = 12, .end = 12, .address = 8192, .words = 4,
                          .destination_count = 1, .kind = ExchangeActivityKind::Receive}},
    };
    phase.repeat_patches = {{}, {}};
    phase.phase = 3;
    phase.horizon_cycles = 12;
    phase.neighborhood_improvements = 1;
    phase.initial_horizon_cycles = 14;
    phase.endpoint_lower_bound_cycles = 8;
    return phase;
}

struct Change {
    std::string name;
    std::function<void(PhysicalExchangePhase&)> apply;
    bool still_matches;
};

TEST(RepeatBaselineTest, ComparesTheResultButNotTheRunStatistics) {
    const std::vector<Change> changes = {
        {"identical", [](PhysicalExchangePhase&) {}, true},
        {"active", [](PhysicalExchangePhase& p) { p.active[1] = false; }, false},
        {"active length", [](PhysicalExchangePhase& p) { p.active.push_back(false); }, false},
        {"row word", [](PhysicalExchangePhase& p) { p.rows[1][0] = 0x40A00001; }, false},
        {"row length", [](PhysicalExchangePhase& p) { p.rows[0].push_back(0x43A00000); }, false},
        {"number of rows", [](PhysicalExchangePhase& p) { p.rows.pop_back(); }, false},
        {"incoming base", [](PhysicalExchangePhase& p) { p.incoming_bases[0] = 4; }, false},
        {"tile horizon", [](PhysicalExchangePhase& p) { p.tile_horizons[1] = 13; }, false},
        {"activity field", [](PhysicalExchangePhase& p) { p.activities[0][0].address = 4100; }, false},
        {"activity order",
         [](PhysicalExchangePhase& p) { std::swap(p.activities[0], p.activities[1]); },
         false},
        {"extra activity", [](PhysicalExchangePhase& p) { p.activities[1].push_back(p.activities[1][0]); }, false},
        {"repeat patch", [](PhysicalExchangePhase& p) { p.repeat_patches[0].push_back(ExchangeRowPatch{}); }, false},
        {"phase", [](PhysicalExchangePhase& p) { p.phase = 4; }, false},
        {"horizon", [](PhysicalExchangePhase& p) { p.horizon_cycles = 11; }, false},
        {"neighbourhood improvements", [](PhysicalExchangePhase& p) { p.neighborhood_improvements = 5; }, true},
        {"initial horizon", [](PhysicalExchangePhase& p) { p.initial_horizon_cycles = 20; }, true},
        {"lower bound", [](PhysicalExchangePhase& p) { p.endpoint_lower_bound_cycles = 1; }, true},
        {"reused", [](PhysicalExchangePhase& p) { p.reused = true; }, true},
    };
    const RepeatBaseline baseline(two_tile_phase());
    for (const auto& change : changes) {
        PhysicalExchangePhase later = two_tile_phase();
        change.apply(later);
        EXPECT_EQ(baseline.matches(later), change.still_matches) << change.name;
    }
}

// A phase of two transfers: a fixed one, moved by `moved_by`, and one with
// the given addresses.
ExchangeScheduleProblem problem_with(std::vector<std::uint32_t> sources, std::vector<std::uint32_t> destinations,
                                     std::uint32_t moved_by = 0) {
    ExchangeScheduleTransfer first{
        .source = 2, .source_addresses = {64 + moved_by}, .destinations = {{1, 128 + moved_by}}, .words = 2};
    ExchangeScheduleTransfer second{.source = 0, .source_addresses = std::move(sources), .destinations = {},
                                    .words = 4};
    for (const std::uint32_t address : destinations) {
        second.destinations.push_back(ExchangeScheduleDestination{.tile = 1, .address = address});
    }
    return ExchangeScheduleProblem{.phase = 9, .transfers = {first, second}};
}

struct Relocation {
    std::string name;
    ExchangeScheduleProblem problem;
    std::uint32_t offset;
    bool overflows;
    ExchangeScheduleProblem expected;  // when it does not overflow
};

TEST(RelocateProblemTest, MovesEveryAddressInThirtyTwoBits) {
    const std::vector<Relocation> cases = {
        {"offset 0 changes nothing", problem_with({4096, 8192}, {0xFFFFFFF0}), 0, false,
         problem_with({4096, 8192}, {0xFFFFFFF0})},
        {"sources and destinations move", problem_with({4096, 8192}, {0, 12288}), 0x10000, false,
         problem_with({0x11000, 0x12000}, {0x10000, 0x13000}, 0x10000)},
        {"up to the last address", problem_with({0xFFFFFF00}, {0xFFFFFFF0}), 0xF, false,
         problem_with({0xFFFFFF0F}, {0xFFFFFFFF}, 0xF)},
        {"a later source overflows", problem_with({4096, 0xFFFFF000}, {0}), 0x1000, true, {}},
        {"a destination overflows", problem_with({4096}, {0, 0xFFFFFFFC}), 4, true, {}},
        {"the largest offset", problem_with({1}, {0}), 0xFFFFFFFF, true, {}},
    };
    for (const auto& c : cases) {
        const auto relocated = relocate_problem(c.problem, c.offset);
        if (c.overflows) {
            ASSERT_FALSE(relocated) << c.name;
            EXPECT_EQ(relocated.error(), Failure("relocated address overflow")) << c.name;
        } else {
            ASSERT_TRUE(relocated) << c.name << ": " << relocated.error().render();
            EXPECT_EQ(*relocated, c.expected) << c.name;
        }
    }
}

}  // namespace
}  // namespace vorn::tests
