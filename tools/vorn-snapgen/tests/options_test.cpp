#include "vorn/snapgen/options.hpp"

#include <ostream>
#include <string>

#include <gtest/gtest.h>

namespace vorn::snapgen {
namespace {

TEST(ParseCountRange, AcceptsSingleValuesAndRanges) {
    EXPECT_EQ(parse_count_range("7", 1, 4148).value(), (CountRange{7, 7}));
    EXPECT_EQ(parse_count_range("1-4148", 1, 4148).value(), (CountRange{1, 4148}));
    EXPECT_EQ(parse_count_range("64-64", 1, 4148).value(), (CountRange{64, 64}));
}

TEST(ParseCountRange, RejectsMalformedAndOutOfRange) {
    for (const char* text : {"", "0", "4149", "9-3", "1-", "-5", "1-2-3", "a", "1 ", "+3", "3-4149", "0x10"}) {
        EXPECT_FALSE(parse_count_range(text, 1, 4148).has_value()) << text;
    }
    EXPECT_EQ(parse_count_range("0", 1, 16).error(), "'0' is not a count or MIN-MAX range within 1..16");
}

TEST(ParseGrid, ReadsColumnsAndRows) {
    EXPECT_EQ(parse_grid("38x38").value(), (GridShape{38, 38}));
    EXPECT_EQ(parse_grid("1x2").value(), (GridShape{1, 2}));
    for (const char* text : {"", "38", "0x4", "4x0", "4x", "x4", "4X4", "4x4x4"}) {
        EXPECT_FALSE(parse_grid(text).has_value()) << text;
    }
}

TEST(ParseFamilyAndLayout, KnowTheirNames) {
    for (const Family family : {Family::AllToAll, Family::Broadcast, Family::Halo, Family::Mixed}) {
        EXPECT_EQ(parse_family(family_name(family)).value(), family);
    }
    EXPECT_FALSE(parse_family("Mixed").has_value());
    EXPECT_EQ(parse_layout("compact").value(), JsonLayout::Compact);
    EXPECT_EQ(parse_layout("phase-lines").value(), JsonLayout::PhaseLines);
    EXPECT_FALSE(parse_layout("pretty").has_value());
}

TEST(Rounds, CountEveryPairAndNeighbour) {
    // 20 tiles in groups of 6: three groups of 6 and one of 2.
    EXPECT_EQ(all_to_all_round(20, 6), 3U * 30U + 2U);
    // A single leftover tile has nobody to talk to.
    EXPECT_EQ(all_to_all_round(13, 6), 2U * 30U);
    EXPECT_EQ(all_to_all_round(1472, 8), 184U * 56U);
    // 5x4 grid: 4 horizontal links per row, 3 vertical per column, both ways.
    EXPECT_EQ(halo_round(GridShape{5, 4}), 2U * (4U * 4U + 5U * 3U));
    EXPECT_EQ(halo_round(GridShape{2, 1}), 2U);
    EXPECT_EQ(default_grid(1472), (GridShape{38, 38}));
    EXPECT_EQ(default_grid(2), (GridShape{1, 2}));
    EXPECT_EQ(default_grid(12), (GridShape{3, 4}));
}

GeneratorOptions options_for(Family family) {
    GeneratorOptions options;
    options.family = family;
    return options;
}

TEST(ResolveOptions, FillsFamilyDefaults) {
    const auto all_to_all = resolve_options(options_for(Family::AllToAll)).value();
    EXPECT_EQ(all_to_all.tile_count, 1472);
    EXPECT_EQ(all_to_all.transfers, 184U * 56U);
    EXPECT_EQ(all_to_all.phases, 1U);
    EXPECT_EQ(all_to_all.words, default_words);
    EXPECT_EQ(all_to_all.repeats, (CountRange{1, 1}));
    EXPECT_EQ(all_to_all.paired_percent, 0U);

    EXPECT_EQ(resolve_options(options_for(Family::Broadcast)).value().transfers, 368U);
    EXPECT_EQ(resolve_options(options_for(Family::Halo)).value().transfers, halo_round(GridShape{38, 38}));

    const auto mixed = resolve_options(options_for(Family::Mixed)).value();
    EXPECT_EQ(mixed.transfers, default_mixed_transfers);
    EXPECT_EQ(mixed.phases, default_mixed_phases);
    EXPECT_EQ(mixed.repeats, default_mixed_repeats);
    EXPECT_EQ(mixed.paired_percent, default_mixed_paired_percent);
}

TEST(ResolveOptions, CutsDefaultsDownToFewTiles) {
    auto options = options_for(Family::Mixed);
    options.tile_count = 3;
    const auto plan = resolve_options(options).value();
    EXPECT_EQ(plan.group_size, 3U);
    EXPECT_EQ(plan.fanout, (CountRange{2, 2}));
    EXPECT_EQ(plan.grid, (GridShape{1, 3}));
}

struct BadOptions {
    const char* name;
    GeneratorOptions options;
    const char* message;
};

// Names the case in test listings instead of dumping its bytes.
void PrintTo(const BadOptions& c, std::ostream* os) { *os << c.name; }


class ResolveRejects : public testing::TestWithParam<BadOptions> {};

TEST_P(ResolveRejects, WithAUsageMessage) {
    const auto plan = resolve_options(GetParam().options);
    ASSERT_FALSE(plan.has_value());
    EXPECT_EQ(plan.error(), GetParam().message);
}

GeneratorOptions with(void (*change)(GeneratorOptions&)) {
    GeneratorOptions options;
    change(options);
    return options;
}

INSTANTIATE_TEST_SUITE_P(
    Options, ResolveRejects,
    testing::Values(
        BadOptions{"OneTile", with([](GeneratorOptions& o) { o.tile_count = 1; }), "--tiles must be within 2..1472, got 1"},
        BadOptions{"TooManyTiles", with([](GeneratorOptions& o) { o.tile_count = 1473; }),
                   "--tiles must be within 2..1472, got 1473"},
        BadOptions{"GroupAboveTiles",
                   with([](GeneratorOptions& o) {
                       o.tile_count = 10;
                       o.group_size = 11;
                   }),
                   "--group must be within 2..10 (the tile count)"},
        BadOptions{"GroupOfOne", with([](GeneratorOptions& o) { o.group_size = 1; }),
                   "--group must be within 2..1472 (the tile count)"},
        BadOptions{"FanoutAboveOtherTiles",
                   with([](GeneratorOptions& o) {
                       o.tile_count = 10;
                       o.fanout = CountRange{2, 10};
                   }),
                   "--fanout must lie within 1..9 (all tiles but the source)"},
        BadOptions{"GridTooLarge",
                   with([](GeneratorOptions& o) {
                       o.tile_count = 10;
                       o.grid = GridShape{4, 3};
                   }),
                   "--grid 4x3 must hold 2..10 tiles (the tile count)"},
        BadOptions{"GridOfOne", with([](GeneratorOptions& o) { o.grid = GridShape{1, 1}; }),
                   "--grid 1x1 must hold 2..1472 tiles (the tile count)"},
        BadOptions{"NoTransfers", with([](GeneratorOptions& o) { o.transfers = 0; }),
                   "--transfers must be within 1..10000000"},
        BadOptions{"NoPhases", with([](GeneratorOptions& o) { o.phases = 0; }), "--phases must be within 1..1000000"},
        BadOptions{"PhaseIdsOverflow",
                   with([](GeneratorOptions& o) {
                       o.first_phase = 0xFFFFFFFE;
                       o.phases = 3;
                   }),
                   "--first-phase 4294967294 leaves no room for 3 phase ids below 2^32"},
        BadOptions{"PairedAboveAll", with([](GeneratorOptions& o) { o.paired_percent = 101; }),
                   "--paired must be within 0..100, got 101"},
        BadOptions{"WordsAboveLimit", with([](GeneratorOptions& o) { o.words = CountRange{1, 4149}; }),
                   "--words must lie within 1..4148"},
        BadOptions{"RepeatsAboveLimit", with([](GeneratorOptions& o) { o.repeats = CountRange{1, 17}; }),
                   "--repeats must lie within 1..16"}),
    [](const testing::TestParamInfo<BadOptions>& info) { return std::string(info.param.name); });

TEST(ResolveOptions, LastPhaseIdMayBeTheLargest) {
    GeneratorOptions options;
    options.first_phase = 0xFFFFFFFD;
    options.phases = 3;
    EXPECT_TRUE(resolve_options(options).has_value());
}

}  // namespace
}  // namespace vorn::snapgen
