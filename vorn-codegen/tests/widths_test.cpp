#include "vorn/codegen/exchange/widths.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <fmt/format.h>
#include <fmt/ranges.h>

#include "log_capture.hpp"
#include "exchange_test_support.hpp"
#include "vorn/codegen/exchange/optimize.hpp"
#include "vorn/codegen/exchange/pending.hpp"
#include "vorn/codegen/exchange/problem.hpp"
#include "vorn/exchange/topology.hpp"
#include "vorn/runtime/logging.hpp"

namespace vorn::codegen {
namespace {

using test_support::paired64;
using test_support::pending;
using test_support::positions;
using test_support::word32;
using ::testing::ElementsAreArray;
using vorn::exchange::Topology;

Topology section(std::uint16_t tiles) { return *Topology::q480_section(tiles); }

// Tile 4 (partner 5) sends 8 words from 0x100 to the partner tiles 0 and 1
// (physical ids 0 and 2): a transfer that can be widened.
PendingTransfer widenable() { return pending(4, 8, {0x100}, {{0, 0x2000}, {1, 0x2008}}); }

struct EligibilityCase {
    const char* name;
    std::function<void(PendingTransfer&)> change;
    // The tiles of the alternative's destinations, or nothing for none.
    std::optional<std::vector<std::uint16_t>> pair_tiles;
};

TEST(PairedTransferAlternatives, EligibilityRules) {
    const auto destinations = [](std::vector<std::uint16_t> tiles) {
        return [tiles = std::move(tiles)](PendingTransfer& transfer) {
            transfer.destinations.clear();
            for (std::size_t i = 0; i < tiles.size(); ++i) {
                transfer.destinations.push_back(
                    PendingDestination{tiles[i], 0x2000U + 0x100U * static_cast<std::uint32_t>(i)});
            }
        };
    };
    using Tiles = std::vector<std::uint16_t>;
    const std::vector<EligibilityCase> cases = {
        {"as built", [](PendingTransfer&) {}, Tiles{0, 1}},
        {"partners in the other order", destinations({1, 0}), Tiles{1, 0}},
        {"one word", [](PendingTransfer& t) { t.words = 1; }, std::nullopt},
        {"odd word count", [](PendingTransfer& t) { t.words = 7; }, std::nullopt},
        {"two words", [](PendingTransfer& t) { t.words = 2; }, Tiles{0, 1}},
        {"source address a multiple of 4 only", [](PendingTransfer& t) { t.source_addresses = {0x104}; },
         std::nullopt},
        {"a later source address a multiple of 4 only",
         [](PendingTransfer& t) { t.source_addresses = {0x100, 0x204}; }, std::nullopt},
        {"destination address a multiple of 4 only", [](PendingTransfer& t) { t.destinations[1].address = 0x200C; },
         std::nullopt},
        {"already paired",
         [](PendingTransfer& t) {
             t.width = paired64;
             t.paired_source = 5;
         },
         std::nullopt},
        {"third destination alone in its pair", destinations({0, 1, 2}), std::nullopt},
        {"destinations of different pairs", destinations({0, 2}), std::nullopt},
        {"single destination", destinations({0}), std::nullopt},
        // Pairs are keyed by physical id (tile 2 is physical 64), so tiles 0
        // and 1 come first whatever the destination order.
        {"two pairs", destinations({2, 3, 0, 1}), Tiles{0, 1, 2, 3}},
        {"two pairs interleaved", destinations({3, 0, 2, 1}), Tiles{0, 1, 3, 2}},
        // Tiles 44..47 are physical 1408, 1410, 1409, 1411: 44 pairs with 45.
        {"pair across the column turn", destinations({45, 44}), Tiles{45, 44}},
        {"lanes of neighbouring pairs", destinations({44, 46}), std::nullopt},
    };
    const Topology topology = section(64);
    for (const EligibilityCase& c : cases) {
        std::vector<PendingTransfer> transfers{widenable()};
        c.change(transfers[0]);
        transfers[0].refresh_source_elements();
        transfers = positions(std::move(transfers));
        const auto alternatives = paired_transfer_alternatives(transfers, topology, 64);
        ASSERT_TRUE(alternatives.has_value()) << c.name << ": " << alternatives.error().to_string();
        ASSERT_EQ(alternatives->size(), 1U) << c.name;
        const std::optional<PendingTransfer>& alternative = (*alternatives)[0];
        ASSERT_EQ(alternative.has_value(), c.pair_tiles.has_value()) << c.name;
        if (!alternative) {
            continue;
        }
        std::vector<std::uint16_t> tiles;
        for (const PendingDestination& destination : alternative->destinations) {
            tiles.push_back(destination.tile);
            // Every destination keeps its own address.
            const auto original = std::find_if(
                transfers[0].destinations.begin(), transfers[0].destinations.end(),
                [&](const PendingDestination& d) { return d.tile == destination.tile; });
            ASSERT_NE(original, transfers[0].destinations.end()) << c.name;
            EXPECT_EQ(destination.address, original->address) << c.name;
        }
        EXPECT_EQ(tiles, *c.pair_tiles) << c.name;
        EXPECT_EQ(alternative->width, paired64) << c.name;
        EXPECT_EQ(alternative->paired_source, std::optional<std::uint16_t>{5}) << c.name;
        EXPECT_EQ(alternative->source, transfers[0].source) << c.name;
        EXPECT_EQ(alternative->words, transfers[0].words) << c.name;
        EXPECT_EQ(alternative->index, transfers[0].index) << c.name;
        EXPECT_EQ(alternative->source_addresses, transfers[0].source_addresses) << c.name;
        EXPECT_EQ(alternative->source_elements, transfers[0].source_elements) << c.name;
    }
}

TEST(PairedTransferAlternatives, OneEntryPerTransferInOrder) {
    const std::vector<PendingTransfer> transfers = positions({
        pending(0, 3, {0x100}, {{8, 0x2000}}),                   // odd: stays ordinary
        widenable(),                                              // widened
        pending(6, 16, {0x400, 0x800}, {{2, 0x3000}, {3, 0x3000}}),  // widened, two source addresses
    });
    const auto alternatives = paired_transfer_alternatives(transfers, section(16), 16);
    ASSERT_TRUE(alternatives.has_value()) << alternatives.error().to_string();
    ASSERT_EQ(alternatives->size(), 3U);
    EXPECT_FALSE((*alternatives)[0].has_value());
    ASSERT_TRUE((*alternatives)[1].has_value());
    EXPECT_EQ((*alternatives)[1]->index, 1U);
    ASSERT_TRUE((*alternatives)[2].has_value());
    EXPECT_EQ((*alternatives)[2]->index, 2U);
    EXPECT_EQ((*alternatives)[2]->paired_source, std::optional<std::uint16_t>{7});
}

TEST(PairedTransferAlternatives, SourceWhosePartnerIsNotATileHasNone) {
    // Tile 4 of five tiles: the section holds no partner for it at all.
    const std::vector<PendingTransfer> odd = positions({pending(4, 8, {0x100}, {{0, 0x2000}, {1, 0x2000}})});
    const auto in_odd_section = paired_transfer_alternatives(odd, section(5), 5);
    ASSERT_TRUE(in_odd_section.has_value()) << in_odd_section.error().to_string();
    EXPECT_FALSE((*in_odd_section)[0].has_value());

    // On the whole machine tile 5 exists, but not among the phase's tiles.
    const auto beyond_tile_count = paired_transfer_alternatives(odd, Topology::q480(), 5);
    ASSERT_TRUE(beyond_tile_count.has_value()) << beyond_tile_count.error().to_string();
    EXPECT_FALSE((*beyond_tile_count)[0].has_value());

    // Tile 3 of the same five tiles has its partner 2.
    const std::vector<PendingTransfer> even = positions({pending(3, 8, {0x100}, {{0, 0x2000}, {1, 0x2000}})});
    const auto partnered = paired_transfer_alternatives(even, section(5), 5);
    ASSERT_TRUE(partnered.has_value()) << partnered.error().to_string();
    ASSERT_TRUE((*partnered)[0].has_value());
    EXPECT_EQ((*partnered)[0]->paired_source, std::optional<std::uint16_t>{2});
}

TEST(PairedTransferAlternatives, DestinationOutsideTheTopologyFailsTheWholeOperation) {
    const std::vector<PendingTransfer> transfers =
        positions({pending(4, 8, {0x100}, {{0, 0x2000}, {9, 0x2000}}), widenable()});
    const auto alternatives = paired_transfer_alternatives(transfers, section(8), 8);
    ASSERT_FALSE(alternatives.has_value());
    EXPECT_EQ(alternatives.error(), ExchangeLoweringError::exchange(vorn::exchange::ExchangeError::tile(9)));

    // A transfer that fails an earlier check never looks its destinations up.
    const std::vector<PendingTransfer> odd = positions({pending(4, 7, {0x100}, {{0, 0x2000}, {9, 0x2000}})});
    const auto skipped = paired_transfer_alternatives(odd, section(8), 8);
    ASSERT_TRUE(skipped.has_value()) << skipped.error().to_string();
    EXPECT_FALSE((*skipped)[0].has_value());
}

// ---------------------------------------------------------------------------
// Width selection

// The horizon optimize_owned_pending reaches for the transfers.
std::uint32_t optimized_horizon(const Topology& topology, std::vector<PendingTransfer> transfers,
                                std::uint16_t tiles) {
    auto result = optimize_owned_pending(topology, std::move(transfers), tiles);
    EXPECT_TRUE(result.has_value()) << result.error().to_string();
    return result ? result->scheduled.schedule.horizon : 0;
}

std::vector<PendingTransfer> widened(const std::vector<PendingTransfer>& transfers, const Topology& topology,
                                     std::uint16_t tiles) {
    auto alternatives = paired_transfer_alternatives(transfers, topology, tiles);
    EXPECT_TRUE(alternatives.has_value());
    std::vector<PendingTransfer> result;
    for (std::size_t i = 0; i < transfers.size(); ++i) {
        result.push_back((*alternatives)[i] ? *(*alternatives)[i] : transfers[i]);
    }
    return result;
}

std::vector<ExchangeItemWidth> widths_of(const std::vector<PendingTransfer>& transfers) {
    std::vector<ExchangeItemWidth> widths;
    for (const PendingTransfer& transfer : transfers) {
        widths.push_back(transfer.width);
    }
    return widths;
}

// A long multicast to a partner pair: half as many items when widened.
std::vector<PendingTransfer> long_pair_multicast() {
    return positions({pending(4, 512, {0x1000}, {{0, 0x90000}, {1, 0x90000}})});
}

// The widenable multicast is short next to an ordinary transfer of odd
// length between other tiles, which sets the horizon either way.
std::vector<PendingTransfer> dominated_pair_multicast() {
    return positions({pending(8, 1001, {0x1000}, {{10, 0x90000}}),
                      pending(4, 8, {0x1000}, {{0, 0x90000}, {1, 0x90000}})});
}

TEST(SelectTransferWidths, ShorterPairedScheduleIsTaken) {
    const Topology topology = section(16);
    const std::vector<PendingTransfer> transfers = long_pair_multicast();
    const std::uint32_t ordinary = optimized_horizon(topology, transfers, 16);
    const std::uint32_t paired = optimized_horizon(topology, widened(transfers, topology, 16), 16);
    ASSERT_LT(paired, ordinary);

    const auto selection = select_transfer_widths(3, topology, transfers, 16);
    ASSERT_TRUE(selection.has_value()) << selection.error().to_string();
    EXPECT_THAT(widths_of(selection->transfers), ElementsAreArray({paired64}));
    EXPECT_EQ(selection->scheduled.schedule.horizon, paired);
    EXPECT_EQ(selection->transfers[0].paired_source, std::optional<std::uint16_t>{5});
    // The receive configuration belongs to the transfers scheduled.
    const auto configuration = receive_configuration(selection->transfers, 16);
    ASSERT_TRUE(configuration.has_value());
    EXPECT_EQ(selection->incoming_counts, configuration->incoming_counts);
    EXPECT_EQ(selection->incoming_bases, configuration->incoming_bases);
}

// Tiles 4 and 5 are partners and both send: widened, each borrows the
// other's transmitter and the phase gets longer.
std::vector<PendingTransfer> partners_both_sending() {
    return positions({pending(4, 64, {0x1000}, {{0, 0x90000}, {1, 0x90000}}),
                      pending(5, 64, {0x1000}, {{2, 0x90000}, {3, 0x90000}})});
}

TEST(SelectTransferWidths, CapturedWidthsStayUnlessPairedIsStrictlyShorter) {
    const Topology topology = section(16);
    struct Case {
        const char* name;
        std::vector<PendingTransfer> transfers;
        bool equal_horizons;
    };
    const std::vector<Case> cases = {
        {"equal horizons", dominated_pair_multicast(), true},
        {"paired longer", partners_both_sending(), false},
    };
    for (const Case& c : cases) {
        const std::uint32_t ordinary = optimized_horizon(topology, c.transfers, 16);
        const std::uint32_t paired = optimized_horizon(topology, widened(c.transfers, topology, 16), 16);
        if (c.equal_horizons) {
            ASSERT_EQ(paired, ordinary) << c.name;
        } else {
            ASSERT_GT(paired, ordinary) << c.name;
        }
        const auto selection = select_transfer_widths(3, topology, c.transfers, 16);
        ASSERT_TRUE(selection.has_value()) << c.name << ": " << selection.error().to_string();
        EXPECT_EQ(selection->transfers, c.transfers) << c.name;
        EXPECT_EQ(selection->scheduled.schedule.horizon, ordinary) << c.name;
    }
}

TEST(SelectTransferWidths, WithoutCandidatesTheTransfersAreOptimisedOnce) {
    const Topology topology = section(16);
    const std::vector<PendingTransfer> transfers =
        positions({pending(4, 9, {0x1000}, {{0, 0x90000}, {1, 0x90000}}), pending(2, 8, {0x1004}, {{3, 0x90000}})});
    const auto selection = select_transfer_widths(3, topology, transfers, 16);
    ASSERT_TRUE(selection.has_value()) << selection.error().to_string();
    EXPECT_EQ(selection->transfers, transfers);
    EXPECT_EQ(selection->scheduled.schedule.horizon, optimized_horizon(topology, transfers, 16));
}

TEST(SelectTransferWidths, AlternativeErrorsAreReturned) {
    const std::vector<PendingTransfer> transfers = positions({pending(4, 8, {0x100}, {{0, 0x2000}, {9, 0x2000}})});
    const auto selection = select_transfer_widths(3, section(8), transfers, 8);
    ASSERT_FALSE(selection.has_value());
    EXPECT_EQ(selection.error(), ExchangeLoweringError::exchange(vorn::exchange::ExchangeError::tile(9)));
}

// ---------------------------------------------------------------------------
// Log events. The subscriber can be installed once per process, so each
// check runs in a freshly started copy of the test program.

// The captured lines, each without its timestamp.
// Captures the exchange scheduler's events while `body` runs (see
// run_logged).
[[noreturn]] void run_logged(const std::function<std::string()>& body) {
    runtime::test_support::run_logged("vorn_codegen::exchange=debug", body);
}

// The captured lines that contain `message`.
std::vector<std::string> lines_with(std::string_view message) {
    std::vector<std::string> found;
    const std::string& lines = runtime::test_support::captured_log();
    for (std::size_t at = 0; at < lines.size();) {
        const std::size_t end = lines.find('\n', at);
        const std::string line = lines.substr(at, end - at);
        if (line.find(message) != std::string::npos) {
            found.push_back(line);
        }
        at = end == std::string::npos ? lines.size() : end + 1;
    }
    return found;
}

std::string expect_lines(std::string_view message, const std::vector<std::string>& expected) {
    const std::vector<std::string> found = lines_with(message);
    if (found != expected) {
        return fmt::format("lines with \"{}\": [{}], expected [{}]", message, fmt::join(found, " | "),
                           fmt::join(expected, " | "));
    }
    return {};
}

constexpr std::string_view comparison = "compared ordinary and paired exchange schedules";

TEST(SelectTransferWidthsEventsDeathTest, ComparisonIsLoggedWithBothHorizons) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    const auto body = [](const std::vector<PendingTransfer>& transfers, int candidates, bool use_paired) {
        return [transfers, candidates, use_paired]() -> std::string {
            const Topology topology = section(16);
            const std::uint32_t ordinary = optimized_horizon(topology, transfers, 16);
            const std::uint32_t paired = optimized_horizon(topology, widened(transfers, topology, 16), 16);
            runtime::test_support::captured_log().clear();
            if (!select_transfer_widths(21, topology, transfers, 16)) {
                return "the selection failed";
            }
            return expect_lines(comparison, {fmt::format("INFO vorn_codegen::exchange: {} phase=21 candidates={} "
                                                         "ordinary_horizon={} paired_horizon={} use_paired={}",
                                                         comparison, candidates, ordinary, paired, use_paired)});
        };
    };
    EXPECT_EXIT(run_logged(body(long_pair_multicast(), 1, true)), ::testing::ExitedWithCode(0), "");
    EXPECT_EXIT(run_logged(body(dominated_pair_multicast(), 1, false)), ::testing::ExitedWithCode(0), "");
    EXPECT_EXIT(run_logged(body(partners_both_sending(), 2, false)), ::testing::ExitedWithCode(0), "");
}

TEST(SelectTransferWidthsEventsDeathTest, NoComparisonWithoutCandidates) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(run_logged([] {
                    const std::vector<PendingTransfer> transfers =
                        positions({pending(4, 9, {0x1000}, {{0, 0x90000}, {1, 0x90000}})});
                    if (!select_transfer_widths(21, section(16), transfers, 16)) {
                        return std::string("the selection failed");
                    }
                    std::string failure = expect_lines(comparison, {});
                    failure += expect_lines("candidate is not encodable", {});
                    return failure;
                }),
                ::testing::ExitedWithCode(0), "");
}

}  // namespace
}  // namespace vorn::codegen
