#include "vorn/exchange/topology.hpp"

#include <algorithm>
#include <cstdint>
#include <numeric>
#include <random>
#include <string>
#include <vector>

#include <fmt/format.h>
#include <gtest/gtest.h>

namespace vorn::exchange {
namespace {

// A result as one comparable, readable string: the value in decimal, or the
// error's debug form.
template <typename T>
std::string outcome(const tl::expected<T, ExchangeError>& result) {
    return result ? fmt::to_string(*result) : result.error().debug();
}

std::string outcome(const tl::expected<Topology, ExchangeError>& result) {
    return result ? fmt::format("{} tiles", result->tile_count()) : result.error().debug();
}

// The partner as the tile map defines it: the first logical tile, scanning
// from 0, whose physical id is the tile's id XOR 2.
tl::expected<std::uint16_t, ExchangeError> scanned_partner(const std::vector<std::uint16_t>& ids,
                                                           std::uint16_t logical) {
    if (logical >= ids.size()) {
        return tl::unexpected(ExchangeError::tile(logical));
    }
    const auto wanted = static_cast<std::uint16_t>(ids[logical] ^ 2U);
    for (std::size_t other = 0; other < ids.size(); ++other) {
        if (ids[other] == wanted) {
            return static_cast<std::uint16_t>(other);
        }
    }
    return tl::unexpected(ExchangeError::tile(logical));
}

struct TileCase {
    std::uint16_t logical;
    std::string expected;
};

TEST(TopologyQ480Test, MapsLogicalTilesByThePairColumnFormula) {
    const Topology q480 = Topology::q480();
    const std::vector<TileCase> cases = {
        {0, "0"},       {1, "2"},       {2, "64"},      {3, "66"},      {4, "128"},         {5, "130"},
        {44, "1408"},   {45, "1410"},   {46, "1409"},   {47, "1411"},   {1470, "61"},       {1471, "63"},
        {1472, "Tile(1472)"},           {65535, "Tile(65535)"},
    };
    for (const TileCase& c : cases) {
        EXPECT_EQ(outcome(q480.physical(c.logical)), c.expected) << "logical " << c.logical;
    }
}

TEST(TopologyQ480Test, UsesEveryPhysicalIdOnce) {
    const Topology q480 = Topology::q480();
    ASSERT_EQ(q480.tile_count(), q480_tile_count);
    std::vector<std::uint16_t> ids(q480.physical_ids().begin(), q480.physical_ids().end());
    std::sort(ids.begin(), ids.end());
    std::vector<std::uint16_t> expected(q480_tile_count);
    std::iota(expected.begin(), expected.end(), std::uint16_t{0});
    EXPECT_EQ(ids, expected);
}

TEST(TopologyQ480Test, PairsTheTwoLanesOfEachPair) {
    const Topology q480 = Topology::q480();
    const std::vector<TileCase> cases = {
        {0, "1"},         {1, "0"},         {45, "44"},       {46, "47"},
        {1471, "1470"},   {1472, "Tile(1472)"},               {65535, "Tile(65535)"},
    };
    for (const TileCase& c : cases) {
        EXPECT_EQ(outcome(q480.paired_logical(c.logical)), c.expected) << "logical " << c.logical;
    }
    const std::vector<std::uint16_t> ids(q480.physical_ids().begin(), q480.physical_ids().end());
    for (std::uint16_t logical = 0; logical < q480_tile_count; ++logical) {
        EXPECT_EQ(q480.paired_logical(logical), static_cast<std::uint16_t>(logical ^ 1U)) << "logical " << logical;
        EXPECT_EQ(q480.paired_logical(logical), scanned_partner(ids, logical)) << "logical " << logical;
    }
}

TEST(TopologyQ480Test, SectionIsAValidatedPrefixOfTheMachine) {
    const Topology q480 = Topology::q480();
    const std::vector<TileCase> cases = {
        {0, "ReceiverSet"}, {1, "1 tiles"}, {5, "5 tiles"}, {45, "45 tiles"}, {1472, "1472 tiles"},
        {1473, "Tile(1472)"}, {65535, "Tile(1472)"},
    };
    for (const TileCase& c : cases) {
        SCOPED_TRACE(c.logical);
        const auto section = Topology::q480_section(c.logical);
        ASSERT_EQ(outcome(section), c.expected);
        if (section) {
            EXPECT_TRUE(std::equal(section->physical_ids().begin(), section->physical_ids().end(),
                                   q480.physical_ids().begin()));
        }
    }
    EXPECT_EQ(*Topology::q480_section(q480_tile_count), q480);
    // With an odd tile count the last tile's partner lies outside the section.
    EXPECT_EQ(outcome(Topology::q480_section(45)->paired_logical(44)), "Tile(44)");
    EXPECT_EQ(outcome(Topology::q480_section(46)->paired_logical(44)), "45");
}

struct CreateCase {
    std::string name;
    std::vector<std::uint16_t> ids;
    std::string expected;
};

TEST(TopologyCreateTest, RejectsEmptyAndRepeatedIds) {
    std::vector<std::uint16_t> every_id_and_one_more(65536);
    std::iota(every_id_and_one_more.begin(), every_id_and_one_more.end(), std::uint16_t{0});
    every_id_and_one_more.push_back(65535);

    const std::vector<CreateCase> cases = {
        {"empty", {}, "ReceiverSet"},
        {"single", {7}, "1 tiles"},
        {"adjacent repeat", {3, 3}, "ReceiverSet"},
        {"distant repeat", {3, 5, 9, 3}, "ReceiverSet"},
        {"repeat of zero", {0, 1, 0}, "ReceiverSet"},
        {"repeat of largest id", {65535, 0, 65535}, "ReceiverSet"},
        {"unordered distinct", {9, 2, 65535, 0}, "4 tiles"},
        {"more tiles than ids", every_id_and_one_more, "ReceiverSet"},
    };
    for (const CreateCase& c : cases) {
        SCOPED_TRACE(c.name);
        const auto topology = Topology::create(c.ids);
        EXPECT_EQ(outcome(topology), c.expected);
        if (topology) {
            EXPECT_TRUE(std::equal(topology->physical_ids().begin(), topology->physical_ids().end(), c.ids.begin(),
                                   c.ids.end()));
        }
    }
}

TEST(TopologyCreateTest, LooksUpPhysicalIdsAndPartners) {
    const Topology topology = *Topology::create({6, 9, 4, 11, 0, 8});
    const std::vector<TileCase> physical = {{0, "6"}, {3, "11"}, {5, "8"}, {6, "Tile(6)"}};
    for (const TileCase& c : physical) {
        EXPECT_EQ(outcome(topology.physical(c.logical)), c.expected) << "logical " << c.logical;
    }
    const std::vector<TileCase> partners = {
        {0, "2"},  // 6 ^ 2 = 4
        {2, "0"},
        {1, "3"},  // 9 ^ 2 = 11
        {3, "1"},
        {4, "Tile(4)"},  // 0 ^ 2 = 2 is not in the map
        {5, "Tile(5)"},  // 8 ^ 2 = 10 is above every id in the map
        {6, "Tile(6)"},
    };
    for (const TileCase& c : partners) {
        EXPECT_EQ(outcome(topology.paired_logical(c.logical)), c.expected) << "logical " << c.logical;
    }
}

TEST(TopologyCreateTest, PartnerLookupMatchesTheScanOnRandomMaps) {
    std::mt19937 random(12345);
    std::vector<std::uint16_t> pool(600);
    std::iota(pool.begin(), pool.end(), std::uint16_t{0});
    for (int round = 0; round < 30; ++round) {
        std::shuffle(pool.begin(), pool.end(), random);
        const std::size_t size = 1 + random() % pool.size();
        const std::vector<std::uint16_t> ids(pool.begin(), pool.begin() + static_cast<std::ptrdiff_t>(size));
        const Topology topology = *Topology::create(ids);
        for (std::uint16_t logical = 0; logical <= size; ++logical) {
            ASSERT_EQ(outcome(topology.paired_logical(logical)), outcome(scanned_partner(ids, logical)))
                << "round " << round << " logical " << logical;
        }
    }
}

TEST(TopologyCreateTest, HandlesAMapOfEverySixteenBitId) {
    // 65536 tiles: logical tile 65535 exists and must be found as a partner.
    std::vector<std::uint16_t> ids(65536);
    for (std::size_t logical = 0; logical < ids.size(); ++logical) {
        ids[logical] = static_cast<std::uint16_t>(65535 - logical);
    }
    const Topology topology = *Topology::create(ids);
    EXPECT_EQ(topology.tile_count(), 65536U);
    const std::vector<TileCase> partners = {{2, "0"}, {0, "2"}, {65533, "65535"}, {65535, "65533"}};
    for (const TileCase& c : partners) {
        EXPECT_EQ(outcome(topology.paired_logical(c.logical)), c.expected) << "logical " << c.logical;
        EXPECT_EQ(outcome(topology.paired_logical(c.logical)), outcome(scanned_partner(ids, c.logical)));
    }
    EXPECT_EQ(outcome(topology.physical(65535)), "0");
}

TEST(TopologyTest, CopiesCompareByTheirMaps) {
    const Topology q480 = Topology::q480();
    const Topology copy = q480;  // NOLINT(performance-unnecessary-copy-initialization)
    EXPECT_EQ(copy, q480);
    EXPECT_EQ(copy.paired_logical(45), q480.paired_logical(45));
    EXPECT_NE(*Topology::create({0, 2}), *Topology::create({2, 0}));
    EXPECT_NE(*Topology::create({0, 2}), *Topology::create({0, 2, 64}));
}

}  // namespace
}  // namespace vorn::exchange
