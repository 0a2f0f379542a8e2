#include "vorn/snapgen/rules.hpp"

#include <functional>
#include <ostream>
#include <string>

#include <gtest/gtest.h>

namespace vorn::snapgen {
namespace {

using codegen::ExchangeItemWidth;
using codegen::ExchangeScheduleProblem;
using codegen::ExchangeScheduleSnapshot;
using codegen::ExchangeScheduleTransfer;

ExchangeScheduleTransfer word_transfer() {
    return ExchangeScheduleTransfer{0, {0x10000, 0x10100}, {{1, 0x80000}, {5, 0x80010}}, 16, ExchangeItemWidth::Word32};
}

ExchangeScheduleTransfer paired_transfer() {
    return ExchangeScheduleTransfer{2, {0x10008}, {{4, 0x80000}, {5, 0x80008}}, 8, ExchangeItemWidth::Paired64};
}

struct BrokenCase {
    const char* name;
    std::function<ExchangeScheduleTransfer()> make;
    const char* message;
};

// Names the case in test listings instead of dumping its bytes.
void PrintTo(const BrokenCase& c, std::ostream* os) { *os << c.name; }


class BrokenTransfer : public testing::TestWithParam<BrokenCase> {};

TEST_P(BrokenTransfer, IsRejectedNamingTheRule) {
    const auto checked = check_transfer(GetParam().make(), 8);
    ASSERT_FALSE(checked.has_value());
    EXPECT_EQ(checked.error(), GetParam().message);
}

template <typename Change>
std::function<ExchangeScheduleTransfer()> word_with(Change change) {
    return [change] {
        auto transfer = word_transfer();
        change(transfer);
        return transfer;
    };
}

template <typename Change>
std::function<ExchangeScheduleTransfer()> paired_with(Change change) {
    return [change] {
        auto transfer = paired_transfer();
        change(transfer);
        return transfer;
    };
}

using T = ExchangeScheduleTransfer;

INSTANTIATE_TEST_SUITE_P(
    Rules, BrokenTransfer,
    testing::Values(
        BrokenCase{"SourceOutsideTiles", word_with([](T& t) { t.source = 8; }),
                   "source tile 8 is not below the tile count 8"},
        BrokenCase{"ZeroWords", word_with([](T& t) { t.words = 0; }), "word count 0 is outside 1..4148"},
        BrokenCase{"TooManyWords", word_with([](T& t) { t.words = 4149; }), "word count 4149 is outside 1..4148"},
        BrokenCase{"NoSourceAddress", word_with([](T& t) { t.source_addresses.clear(); }), "no source addresses"},
        BrokenCase{"UnalignedLaterSource", word_with([](T& t) { t.source_addresses[1] = 0x10102; }),
                   "source address 0x10102 is not a multiple of 4"},
        BrokenCase{"SourceWrapsAround",
                   word_with([](T& t) {
                       t.source_addresses[0] = 0xFFFFFFFC;
                       t.words = 1;
                   }),
                   "source address 0xfffffffc + 1 words overflows 32 bits"},
        BrokenCase{"SourceInReservedMemory", word_with([](T& t) { t.source_addresses[0] = 0xFFFC; }),
                   "source buffer 0xfffc..0x1003c leaves the tile memory 0x10000..0x100000"},
        BrokenCase{"SourcePastMemoryEnd", word_with([](T& t) { t.source_addresses[0] = 0xFFFF0; }),
                   "source buffer 0xffff0..0x100030 leaves the tile memory 0x10000..0x100000"},
        BrokenCase{"NoDestination", word_with([](T& t) { t.destinations.clear(); }), "no destinations"},
        BrokenCase{"DestinationOutsideTiles", word_with([](T& t) { t.destinations[1].tile = 9; }),
                   "destination tile 9 is not below the tile count 8"},
        BrokenCase{"DestinationOnSource", word_with([](T& t) { t.destinations[1].tile = 0; }),
                   "destination tile 0 is the source tile"},
        BrokenCase{"DestinationTwice", word_with([](T& t) { t.destinations[1].tile = 1; }),
                   "destination tile 1 listed twice"},
        BrokenCase{"UnalignedDestination", word_with([](T& t) { t.destinations[0].address = 0x80001; }),
                   "destination address 0x80001 is not a multiple of 4"},
        BrokenCase{"DestinationPastMemoryEnd", word_with([](T& t) { t.destinations[0].address = 0xFFFFC; }),
                   "destination buffer 0xffffc..0x10003c leaves the tile memory 0x10000..0x100000"},
        BrokenCase{"PairedOddWords", paired_with([](T& t) { t.words = 9; }),
                   "paired word count 9 is not a multiple of 4 of at least 8"},
        BrokenCase{"PairedTooShort", paired_with([](T& t) { t.words = 4; }),
                   "paired word count 4 is not a multiple of 4 of at least 8"},
        BrokenCase{"PairedSourceOnlyWordAligned", paired_with([](T& t) { t.source_addresses[0] = 0x10004; }),
                   "source address 0x10004 is not a multiple of 8"},
        BrokenCase{"PairedDestinationOnlyWordAligned", paired_with([](T& t) { t.destinations[1].address = 0x8000C; }),
                   "destination address 0x8000c is not a multiple of 8"},
        BrokenCase{"PairedHalfPair", paired_with([](T& t) { t.destinations.pop_back(); }),
                   "paired destination tile 4 comes without its partner 5"},
        BrokenCase{"PairedToOwnPartner",
                   paired_with([](T& t) { t.destinations = {{3, 0x80000}, {6, 0x80000}, {7, 0x80000}}; }),
                   "paired destination tile 3 is the source's partner"}),
    [](const testing::TestParamInfo<BrokenCase>& info) { return std::string(info.param.name); });

TEST(CheckTransfer, AcceptsWellFormedTransfers) {
    EXPECT_TRUE(check_transfer(word_transfer(), 8).has_value());
    EXPECT_TRUE(check_transfer(paired_transfer(), 8).has_value());
    // The last word of memory is usable.
    auto at_end = word_transfer();
    at_end.destinations[0].address = 0xFFFC0;
    EXPECT_TRUE(check_transfer(at_end, 8).has_value());
}

TEST(CheckTransfer, PairedSourceNeedsItsPartnerAmongTheTiles) {
    // Tile 6's partner is 7, outside a 7-tile snapshot.
    auto transfer = paired_transfer();
    transfer.source = 6;
    transfer.destinations = {{0, 0x80000}, {1, 0x80000}};
    const auto checked = check_transfer(transfer, 7);
    ASSERT_FALSE(checked.has_value());
    EXPECT_EQ(checked.error(), "paired source 6 has its partner 7 outside the tiles");
    EXPECT_TRUE(check_transfer(transfer, 8).has_value());
}

TEST(CheckSnapshot, NamesPhaseAndTransfer) {
    ExchangeScheduleSnapshot snapshot{3, 8, {ExchangeScheduleProblem{4, {word_transfer(), word_transfer()}}}};
    EXPECT_TRUE(check_snapshot(snapshot).has_value());
    snapshot.phases[0].transfers[1].destinations[0].tile = 0;
    const auto checked = check_snapshot(snapshot);
    ASSERT_FALSE(checked.has_value());
    EXPECT_EQ(checked.error(), "phase 4 transfer 1: destination tile 0 is the source tile");
}

TEST(CheckSnapshot, RejectsBadHeaderAndRepeatedPhases) {
    const ExchangeScheduleSnapshot good{3, 8, {{1, {}}, {2, {}}}};
    EXPECT_TRUE(check_snapshot(good).has_value());

    auto version = good;
    version.schema_version = 2;
    EXPECT_EQ(check_snapshot(version).error(), "schema version 2 is not 3");

    auto no_tiles = good;
    no_tiles.tile_count = 0;
    EXPECT_EQ(check_snapshot(no_tiles).error(), "tile count 0 is outside 1..1472");
    auto too_many = good;
    too_many.tile_count = 1473;
    EXPECT_EQ(check_snapshot(too_many).error(), "tile count 1473 is outside 1..1472");

    auto repeated = good;
    repeated.phases.push_back({1, {}});
    EXPECT_EQ(check_snapshot(repeated).error(), "phase 1 occurs twice");
}

TEST(PartnerTile, FollowsTheQ480Pairs) {
    EXPECT_EQ(partner_tile(0), 1);
    EXPECT_EQ(partner_tile(45), 44);
    EXPECT_EQ(partner_tile(1471), 1470);
}

}  // namespace
}  // namespace vorn::snapgen
