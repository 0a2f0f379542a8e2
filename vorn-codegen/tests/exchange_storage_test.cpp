#include "vorn/codegen/estimate/exchange_storage.hpp"

#include <array>
#include <cstdint>
#include <string_view>
#include <vector>

#include <gtest/gtest.h>

#include "exchange_test_support.hpp"
#include "vorn/runtime/siphash.hpp"

namespace vorn::codegen {
namespace {

using namespace vorn::codegen::test_support;
using Bytes = std::vector<std::uint64_t>;

// add_phase's result per tile and what each tile's total is afterwards,
// for a phase added repeatedly to one estimator.
struct RepeatCase {
    std::string_view name;
    std::uint16_t tile_count;
    ExchangeScheduleProblem problem;
    Bytes rounded_rows;            // add_phase result, the same every time
    std::vector<Bytes> totals;     // totals after the 1st, 2nd, 3rd ... add
};

std::vector<RepeatCase> repeat_cases() {
    return {
        {"empty phase: 8 per tile, then its empty table is shared for free", 3, phase(1, {}), {8, 8, 8},
         {{8, 8, 8}, {8, 8, 8}, {8, 8, 8}}},
        // Tile 0: one 8-byte send entry (16); tile 1: one 12-byte receive
        // with a new address (20, rounded 24). Each has one patch entry:
        // first reuse costs rounded 12, later reuses rounded 4.
        {"64 words: short send entry", 3, phase(1, {transfer(0, 64, {0x100}, {{1, 0x200}})}), {16, 24, 8},
         {{16, 24, 8}, {32, 40, 8}, {40, 48, 8}, {48, 56, 8}}},
        {"65 words: wide send entry", 2, phase(1, {transfer(0, 65, {0x100}, {{1, 0x200}})}), {24, 24},
         {{24, 24}, {40, 40}}},
        // The second payload lands right behind the first (0x200 + 4 * 4):
        // 8 more bytes on tile 1 and no second patch entry, so reuse costs
        // rounded 12 and 4 of one entry.
        {"contiguous second receive", 2,
         phase(1, {transfer(0, 4, {0x100}, {{1, 0x200}}), transfer(0, 4, {0x300}, {{1, 0x210}})}), {24, 32},
         {{24, 32}, {48, 48}, {56, 56}}},
        {"gap before the second receive", 2,
         phase(1, {transfer(0, 4, {0x100}, {{1, 0x200}}), transfer(0, 4, {0x300}, {{1, 0x214}})}), {24, 32},
         {{24, 32}, {48, 56}, {56, 64}}},
        // Only the tile's last receive counts: 0x210 follows the first
        // payload but not the second, which came in between.
        {"contiguity with the last receive only", 3,
         phase(1, {transfer(0, 4, {0x100}, {{1, 0x200}}), transfer(2, 4, {0x100}, {{1, 0x800}}),
                   transfer(0, 4, {0x300}, {{1, 0x210}})}),
         {24, 48, 16}, {{24, 48, 16}, {48, 88, 32}}},
        // Contiguity is tracked per receiving tile; the multicast's two
        // receives each continue their own tile's previous payload.
        {"multicast receives tracked per tile", 3,
         phase(1, {transfer(0, 2, {0x100}, {{1, 0x40}, {2, 0x80}}), transfer(0, 2, {0x100}, {{1, 0x48}, {2, 0x88}})}),
         {24, 32, 32}, {{24, 32, 32}, {48, 48, 48}}},
        // Tile 0 reads from two Repeat addresses: never shared, full row
        // every time. Its receiver still shares.
        {"two source addresses", 2, phase(1, {transfer(0, 4, {0x100, 0x900}, {{1, 0x200}})}), {16, 24},
         {{16, 24}, {32, 40}, {48, 48}}},
        {"no tiles", 0, phase(1, {}), {}, {{}, {}}},
    };
}

TEST(ExchangeStorageEstimator, ChargesRepeatedPhases) {
    for (const RepeatCase& c : repeat_cases()) {
        SCOPED_TRACE(c.name);
        ExchangeStorageEstimator estimator = ExchangeStorageEstimator::create(c.tile_count);
        EXPECT_EQ(estimator.maximum_bytes(), 0U);
        for (std::size_t round = 0; round < c.totals.size(); ++round) {
            EXPECT_EQ(estimator.add_phase(c.problem), c.rounded_rows) << "add " << round + 1;
            const auto totals = estimator.totals();
            EXPECT_EQ(Bytes(totals.begin(), totals.end()), c.totals[round]) << "add " << round + 1;
            const Bytes& expected = c.totals[round];
            const std::uint64_t largest = expected.empty() ? 0 : *std::max_element(expected.begin(), expected.end());
            EXPECT_EQ(estimator.maximum_bytes(), largest) << "add " << round + 1;
        }
    }
}

TEST(CapturedPhase, CountsEntriesAndPatches) {
    // 64 words: 8-byte send entry; 65: 12-byte one. The second receive on
    // tile 1 continues the first (0x200 + 4 * 65 = 0x304).
    const ExchangeScheduleProblem problem =
        phase(3, {transfer(0, 65, {0x100}, {{1, 0x200}, {2, 0x0}}), transfer(2, 64, {0x0, 0x4}, {{1, 0x304}})});
    const ExchangeStoragePhase captured = captured_phase(4, problem.transfers);
    EXPECT_EQ(captured.row_bytes, (Bytes{20, 28, 28, 8}));
    EXPECT_EQ(captured.patch_entries, (Bytes{1, 1, 2, 0}));
    EXPECT_EQ(captured.shareable, (std::vector<bool>{true, true, false, true}));
    const std::vector<std::optional<std::uint64_t>> receive_end = {std::nullopt, 0x404, 0x104, std::nullopt};
    EXPECT_EQ(captured.receive_end, receive_end);
    EXPECT_EQ(captured.fingerprints[3], 0U);
    EXPECT_EQ(captured_phase(4, {}), ExchangeStoragePhase::create(4));
}

TEST(CapturedPhase, ReceiveEndIsComputedInSixtyFourBits) {
    const ExchangeScheduleProblem problem = phase(3, {transfer(0, 4, {0x0}, {{1, 0xFFFFFFF8}})});
    EXPECT_EQ(captured_phase(2, problem.transfers).receive_end[1], std::optional<std::uint64_t>{0x100000008});
}

// The entry bytes are hashed with the system's SipHash-1-3 and absorbed as
// f = f * 0x9E3779B185EBCA87 + h.
TEST(CapturedPhase, FingerprintsHashTheEntryBytes) {
    const ExchangeScheduleProblem problem = phase(3, {transfer(5, 3, {0x0}, {{258, 0x40}}, paired64)});
    const ExchangeStoragePhase captured = captured_phase(300, problem.transfers);

    // 0x00, tile 258 as u16, 12 payload bytes as u64, width 1, 1 destination as u64.
    const std::array<std::uint8_t, 20> send = {0x00, 0x02, 0x01, 12, 0, 0, 0, 0, 0, 0, 0, 1, 1, 0, 0, 0, 0, 0, 0, 0};
    std::array<std::uint8_t, 20> receive = send;
    receive[0] = 0x01;
    receive[1] = 5;
    receive[2] = 0;
    const std::array<std::uint8_t, 2> gap = {0x02, 0x01};
    const std::uint64_t multiplier = 0x9E3779B185EBCA87ULL;

    EXPECT_EQ(captured.fingerprints[5], runtime::siphash13(send));
    EXPECT_EQ(captured.fingerprints[258], runtime::siphash13(receive) * multiplier + runtime::siphash13(gap));
}

// Equal tables must be recognised whatever their addresses; any change of
// an entry or of their order must give a different table.
TEST(CapturedPhase, FingerprintsFollowTheEntriesNotTheAddresses) {
    const auto fingerprints = [](std::vector<ExchangeScheduleTransfer> transfers) {
        return captured_phase(4, phase(1, std::move(transfers)).transfers).fingerprints;
    };
    const std::vector<std::uint64_t> base =
        fingerprints({transfer(0, 4, {0x100}, {{1, 0x200}}), transfer(2, 6, {0x100}, {{1, 0x400}})});

    // Same entries at other addresses (the receives still leave a gap).
    EXPECT_EQ(fingerprints({transfer(0, 4, {0x900}, {{1, 0x1200}}), transfer(2, 6, {0x0}, {{1, 0x1400}})}), base);

    struct Variant {
        std::string_view name;
        std::vector<ExchangeScheduleTransfer> transfers;
        std::uint16_t tile;  // a tile whose table differs from the base
    };
    const std::vector<Variant> variants = {
        {"other word count", {transfer(0, 5, {0x100}, {{1, 0x200}}), transfer(2, 6, {0x100}, {{1, 0x400}})}, 0},
        {"other width",
         {transfer(0, 4, {0x100}, {{1, 0x200}}, paired64), transfer(2, 6, {0x100}, {{1, 0x400}})},
         1},
        {"other destination tile", {transfer(0, 4, {0x100}, {{3, 0x200}}), transfer(2, 6, {0x100}, {{1, 0x400}})}, 0},
        {"other source tile", {transfer(0, 4, {0x100}, {{1, 0x200}}), transfer(3, 6, {0x100}, {{1, 0x400}})}, 1},
        {"receives swapped", {transfer(2, 6, {0x100}, {{1, 0x400}}), transfer(0, 4, {0x100}, {{1, 0x200}})}, 1},
        {"second receive contiguous",
         {transfer(0, 4, {0x100}, {{1, 0x200}}), transfer(2, 6, {0x100}, {{1, 0x210}})},
         1},
        {"extra destination",
         {transfer(0, 4, {0x100}, {{1, 0x200}, {3, 0x0}}), transfer(2, 6, {0x100}, {{1, 0x400}})},
         1},
    };
    for (const Variant& v : variants) {
        EXPECT_NE(fingerprints(v.transfers)[v.tile], base[v.tile]) << v.name;
    }
}

TEST(ExchangeStorageEstimator, SharesOnlyIdenticalTables) {
    // Tile 0 sends 4 words to tile 1 in A, 5 words in B (same row bytes and
    // patch entries, other entries). A relocated copy of A shares with A.
    const ExchangeScheduleProblem a = phase(1, {transfer(0, 4, {0x100}, {{1, 0x200}})});
    const ExchangeScheduleProblem b = phase(2, {transfer(0, 5, {0x100}, {{1, 0x200}})});
    const ExchangeScheduleProblem a_moved = phase(3, {transfer(0, 4, {0x4100}, {{1, 0x8200}})});

    ExchangeStorageEstimator estimator = ExchangeStorageEstimator::create(2);
    const std::array<std::pair<const ExchangeScheduleProblem*, Bytes>, 4> steps = {{
        {&a, {16, 24}},        // new tables
        {&b, {32, 48}},        // new tables again: full rows
        {&a_moved, {48, 64}},  // first reuse of A's tables: rounded 12
        {&b, {64, 80}},        // first reuse of B's tables, not a second one of A's
    }};
    for (std::size_t i = 0; i < steps.size(); ++i) {
        estimator.add_phase(*steps[i].first);
        const auto totals = estimator.totals();
        EXPECT_EQ(Bytes(totals.begin(), totals.end()), steps[i].second) << "step " << i;
    }
}

TEST(ExchangeStorageEstimator, AddChargesACapturedPhase) {
    ExchangeStoragePhase phase = ExchangeStoragePhase::create(2);
    phase.row_bytes = {13, 40};
    phase.patch_entries = {3, 1};
    phase.fingerprints = {7, 7};
    ExchangeStorageEstimator estimator = ExchangeStorageEstimator::create(2);
    estimator.add(phase);
    estimator.add(phase);
    estimator.add(phase);
    // Tile 0: 16, then rounded 36 = 40, then rounded 12 = 16.
    // Tile 1: 40, then 16, then 8.
    const auto totals = estimator.totals();
    EXPECT_EQ(Bytes(totals.begin(), totals.end()), (Bytes{72, 64}));
    EXPECT_EQ(estimator.maximum_bytes(), 72U);
}

TEST(CapturedPhaseDeathTest, TileOutsideTheEstimatorAborts) {
    const ExchangeScheduleProblem problem = phase(1, {transfer(0, 4, {0x0}, {{4, 0x0}})});
    EXPECT_DEATH((void)captured_phase(4, problem.transfers), "transfer 0 names tile 4 outside 4 tiles");
}

}  // namespace
}  // namespace vorn::codegen
