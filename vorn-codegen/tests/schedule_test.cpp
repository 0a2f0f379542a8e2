#include "vorn/codegen/exchange/schedule.hpp"

#include <fmt/format.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <random>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "exchange_test_support.hpp"
#include "vorn/codegen/exchange/problem.hpp"
#include "vorn/exchange/invariant.hpp"
#include "vorn/exchange/timing.hpp"

namespace vorn::codegen {
namespace {

using test_support::paired64;
using test_support::pending;
using test_support::word32;
using vorn::exchange::ExchangeError;
using vorn::exchange::ReceiveEvent;
using vorn::exchange::ReceiveEventKind;
using vorn::exchange::RowWords;
using vorn::exchange::Topology;
using vorn::exchange::Word;

constexpr std::string_view loopback_text =
    "multicast loopback requires separate source and destination memory elements";

// One phase being placed: its transfers, receive configuration, a Q480
// section, the schedule and its last-transfers table.
struct Phase {
    std::uint16_t tile_count;
    std::vector<PendingTransfer> transfers;
    ReceiveConfiguration config;
    Topology topology;
    MaterializedSchedule schedule;
    std::vector<TileLastTransfers> last;

    Phase(std::uint16_t tiles, std::vector<PendingTransfer> placed)
        : tile_count(tiles),
          transfers(test_support::positions(std::move(placed))),
          config(*receive_configuration(transfers, tiles)),
          topology(*Topology::q480_section(tiles)),
          schedule(MaterializedSchedule::create(tiles, transfers)),
          last(last_transfers_table(tiles)) {}

    tl::expected<std::uint32_t, ExchangeLoweringError> place(std::size_t position, std::uint32_t not_before = 0,
                                                             bool immediate = true) {
        return schedule.append(topology, transfers, config.incoming_bases, config.incoming_counts, position, not_before,
                               immediate, last);
    }

    // The activities of one transfer on one tile.
    std::vector<ExchangeActivity> on(std::uint16_t tile, std::uint32_t transfer) const {
        std::vector<ExchangeActivity> result;
        for (const ExchangeActivity& activity : schedule.activities[tile]) {
            if (activity.transfer == transfer) {
                result.push_back(activity);
            }
        }
        return result;
    }

    const ExchangeActivity& only(std::uint16_t tile, ExchangeActivityKind kind) const {
        const auto& list = schedule.activities[tile];
        const auto found = std::find_if(list.begin(), list.end(), [&](const auto& a) { return a.kind == kind; });
        EXPECT_NE(found, list.end()) << "tile " << tile << " has no " << debug_name(kind);
        return *found;
    }
};

// ---------------------------------------------------------------------------
// Creating a schedule.

TEST(MaterializedScheduleCreate, StartsEmptyWithTheMinimumBudgetForSmallPhases) {
    const auto transfers = test_support::positions(
        {pending(1, 4, {0}, {{2, 0x100}, {3, 0x100}}), pending(2, 4, {0x200}, {{1, 0x100}}, paired64, 3)});
    const MaterializedSchedule schedule = MaterializedSchedule::create(8, transfers);
    EXPECT_EQ(schedule.builder.validation_budget(), std::optional<std::uint64_t>{std::uint64_t{1} << 29U});
    EXPECT_EQ(schedule.builder.tile_count(), 8);
    EXPECT_EQ(schedule.tile_marks, std::vector<TileMarks>(8));
    EXPECT_EQ(schedule.memory, std::vector<TileMemorySchedule>(8));
    EXPECT_EQ(schedule.activities, std::vector<std::vector<ExchangeActivity>>(8));
    EXPECT_TRUE(schedule.order.empty());
    EXPECT_GE(schedule.order.capacity(), 2U);
    EXPECT_EQ(schedule.placements, std::vector<std::optional<TransferPlacement>>(2));
    EXPECT_EQ(schedule.horizon, 0U);
}

TEST(MaterializedScheduleCreate, BudgetIsFourTimesTheEndpointWorkAboveTheMinimum) {
    // Tile 0: 5 sends and 7000 receives; tile 1: 5 receives; tile 2: one
    // send; tile 3 is only a paired source, which does not count.
    std::vector<PendingTransfer> transfers;
    for (int i = 0; i < 5; ++i) {
        transfers.push_back(pending(0, 2, {0}, {{1, 0x100}}, paired64, 1));
    }
    std::vector<PendingDestination> wide(7000, PendingDestination{0, 0x400});
    transfers.push_back(pending(2, 1, {0}, std::move(wide), word32, 3));
    const std::uint64_t n = 7005ULL * (5 + 3 * 7000 + 1) + 5ULL * (3 * 5 + 1) + 1ULL * 2;
    EXPECT_EQ(schedule_validation_budget(4, transfers), 4 * n);
    EXPECT_EQ(MaterializedSchedule::create(4, transfers).builder.validation_budget(), std::optional{4 * n});
}

// ---------------------------------------------------------------------------
// Critical tile and predecessor.

TEST(MaterializedScheduleCritical, FirstTransferTakesTheSmallestInvolvedTile) {
    const struct {
        std::string_view name;
        PendingTransfer transfer;
        std::uint16_t critical;
    } cases[] = {
        {"a destination below the source", pending(5, 4, {0}, {{7, 0x100}, {3, 0x100}}), 3},
        {"the source below its destinations", pending(2, 4, {0}, {{7, 0x100}, {3, 0x100}}), 2},
        {"the paired source below the rest", pending(5, 8, {0}, {{8, 0x100}, {9, 0x100}}, paired64, 4), 4},
    };
    for (const auto& c : cases) {
        Phase phase(12, {c.transfer});
        const auto placed = phase.place(0);
        ASSERT_TRUE(placed) << c.name << ": " << placed.error().debug();
        const TransferPlacement& placement = *phase.schedule.placements[0];
        EXPECT_EQ(placement.critical_tile, c.critical) << c.name;
        EXPECT_EQ(placement.critical_predecessor, std::nullopt) << c.name;
    }
}

TEST(MaterializedScheduleCritical, LatestMarkOrTheReadyCycleDecides) {
    Phase phase(16, {
                        pending(1, 8, {0}, {{2, 0x100}}),                             // 0
                        pending(1, 8, {0x40}, {{3, 0x100}}),                          // 1: waits for 1's send
                        pending(4, 8, {0}, {{2, 0x200}}),                             // 2: waits for 2's receive
                        pending(1, 8, {0x80}, {{5, 0x100}}),                          // 3: ready late
                        pending(6, 8, {0}, {{2, 0x300}}),                             // 4: ready late, fresh source
                        pending(8, 8, {0}, {{10, 0x100}, {11, 0x100}}, paired64, 9),  // 5: paired
                        pending(9, 8, {0x400}, {{12, 0x100}}),                        // 6: after its partner's send
                    });
    const auto critical = [&](std::uint32_t t) {
        return std::pair{phase.schedule.placements[t]->critical_tile,
                         phase.schedule.placements[t]->critical_predecessor};
    };
    using Expected = std::pair<std::uint16_t, std::optional<std::uint32_t>>;
    ASSERT_TRUE(phase.place(0));
    EXPECT_EQ(critical(0), (Expected{1, std::nullopt}));
    ASSERT_TRUE(phase.place(1));
    EXPECT_EQ(critical(1), (Expected{1, 0}));
    // The ready cycle equal to the latest mark leaves the mark's tile critical.
    const std::uint32_t receive_mark = phase.schedule.tile_marks[2].receive_mark;
    ASSERT_GT(receive_mark, 0U);
    ASSERT_TRUE(phase.place(2, receive_mark));
    EXPECT_EQ(critical(2), (Expected{2, 0}));
    // A ready cycle after every mark makes the source critical, with its
    // last send as predecessor, or none when it has not sent yet.
    ASSERT_TRUE(phase.place(3, 100000));
    EXPECT_EQ(critical(3), (Expected{1, 1}));
    ASSERT_TRUE(phase.place(4, 200000));
    EXPECT_EQ(critical(4), (Expected{6, std::nullopt}));
    // The partner of a paired send keeps the send's end as its mark and the
    // paired transfer as its last send.
    ASSERT_TRUE(phase.place(5, 300000));
    EXPECT_EQ(phase.schedule.tile_marks[9].send_mark, phase.only(8, ExchangeActivityKind::Send).end);
    ASSERT_TRUE(phase.place(6));
    EXPECT_EQ(critical(6), (Expected{9, 5}));
}

// ---------------------------------------------------------------------------
// Guards: payload, loopback and addresses.

TEST(MaterializedScheduleGuards, RejectsBadPayloadsLoopbacksAndAddressesBeforeChangingAnything) {
    const auto address_error = [](std::uint32_t a) {
        return ExchangeLoweringError::exchange(ExchangeError::address(a));
    };
    const struct {
        std::string_view name;
        PendingTransfer transfer;
        ExchangeLoweringError error;
    } cases[] = {
        {"zero words", pending(1, 0, {0}, {{2, 0x100}, {3, 0x100}}), ExchangeLoweringError::unaligned_payload()},
        {"no source address", pending(1, 4, {}, {{2, 0x100}, {3, 0x100}}), ExchangeLoweringError::unaligned_payload()},
        {"odd paired payload", pending(2, 3, {0}, {{4, 0x100}, {5, 0x100}}, paired64, 3),
         ExchangeLoweringError::unaligned_payload()},
        {"payload checked before loopback", pending(1, 0, {0}, {{1, 0x4000}}),
         ExchangeLoweringError::unaligned_payload()},
        {"only destination is the source", pending(1, 4, {0}, {{1, 0x4000}}),
         ExchangeLoweringError::invariant(std::string(loopback_text))},
        {"loopback checked before paired parity", pending(2, 3, {0}, {{2, 0x4000}}, paired64, 3),
         ExchangeLoweringError::invariant(std::string(loopback_text))},
        {"own-tile destination in the source element", pending(1, 1, {0}, {{2, 0x100}, {1, 0x100}}),
         ExchangeLoweringError::invariant(std::string(loopback_text))},
        {"own-tile destination in a later iteration's element", pending(1, 1, {0, 0x8000}, {{2, 0x100}, {1, 0x8100}}),
         ExchangeLoweringError::invariant(std::string(loopback_text))},
        {"destination address not word aligned", pending(1, 4, {0}, {{2, 0x2002}, {3, 0x100}}), address_error(0x2002)},
        {"destination address beyond the pointer range", pending(1, 4, {0}, {{2, 0x100}, {3, 0x100000}}),
         address_error(0x100000)},
        {"source address beyond the send operand", pending(1, 4, {0x100000}, {{2, 0x100}, {3, 0x100}}),
         address_error(0x100000)},
    };
    for (const auto& c : cases) {
        Phase phase(8, {c.transfer});
        const auto placed = phase.place(0);
        ASSERT_FALSE(placed) << c.name;
        EXPECT_EQ(placed.error(), c.error) << c.name << ": " << placed.error().debug();
        EXPECT_TRUE(phase.schedule.order.empty()) << c.name;
        EXPECT_EQ(phase.schedule.activities, std::vector<std::vector<ExchangeActivity>>(8)) << c.name;
        EXPECT_EQ(phase.schedule.builder.event_cycles(), 0U) << c.name;
        EXPECT_EQ(phase.last, last_transfers_table(8)) << c.name;
    }
}

TEST(MaterializedScheduleGuards, PairedSourceWithoutPartnerInTheSectionIsATileError) {
    // Tile 6 of a seven-tile section: its partner, tile 7, is not part of it.
    Phase phase(7, {pending(6, 2, {0}, {{2, 0x100}, {3, 0x100}}, paired64)});
    const auto placed = phase.place(0);
    ASSERT_FALSE(placed);
    EXPECT_EQ(placed.error(), ExchangeLoweringError::exchange(ExchangeError::tile(6))) << placed.error().debug();
}

TEST(MaterializedScheduleGuards, MulticastMayWriteItsOwnTileOutsideTheSourceElements) {
    Phase phase(8, {pending(1, 1, {0}, {{2, 0x100}, {1, 0x4000}})});
    ASSERT_TRUE(phase.place(0));
    const ExchangeActivity& send = phase.only(1, ExchangeActivityKind::Send);
    const ExchangeActivity& receive = phase.only(1, ExchangeActivityKind::Receive);
    EXPECT_EQ(receive.address, 0x4000U);
    EXPECT_EQ(send.address, 0U);
}

// ---------------------------------------------------------------------------
// Route choice.

RowWords sender_row_of(const Phase& phase, std::uint16_t tile) {
    const auto rows = phase.schedule.builder.tile(tile).sender_rows();
    EXPECT_EQ(rows.size(), 1U);
    return rows.to_vector().front().words;
}

// The receive pointer values the tile's program sets.
std::vector<std::uint32_t> pointer_values(const Phase& phase, std::uint16_t tile) {
    std::vector<std::uint32_t> values;
    for (const ReceiveEvent& event : phase.schedule.builder.tile(tile).receive_events().to_vector()) {
        if (event.kind == ReceiveEventKind::PicPointer || event.kind == ReceiveEventKind::PairedPicPointer) {
            values.push_back(vorn::exchange::control_value(event));
        }
    }
    return values;
}

RowWords patched(RowWords row, std::uint32_t source_address) {
    EXPECT_TRUE(vorn::exchange::patch_sender_address(row, source_address));
    return row;
}

TEST(MaterializedScheduleRoute, OnlyIncomingTransferAtTheBaseGoesPointToPoint) {
    const Topology topology = *Topology::q480_section(8);
    const RowWords point = patched(vorn::exchange::point_to_point(topology, 1, 2, 6)->sender_row, 0x40);
    const RowWords multicast =
        patched(vorn::exchange::multicast(topology, 1, std::vector<std::uint16_t>{2}, 6, 0)->sender_row, 0x40);
    ASSERT_NE(point, multicast);
    const PendingTransfer transfer = pending(1, 6, {0x40}, {{2, 0x200}});

    {
        Phase phase(8, {transfer});
        ASSERT_TRUE(phase.place(0));
        EXPECT_EQ(sender_row_of(phase, 1), point);
        // The receiver lands at its configured base; no pointer is patched.
        EXPECT_THAT(pointer_values(phase, 2), ::testing::Not(::testing::Contains(0x200U >> 2U)));
    }
    {
        Phase phase(8, {transfer, pending(3, 2, {0}, {{2, 0x1000}})});
        ASSERT_TRUE(phase.place(0));
        EXPECT_EQ(sender_row_of(phase, 1), multicast);
        EXPECT_THAT(pointer_values(phase, 2), ::testing::ElementsAre(0x200U >> 2U));
    }
    {
        // One incoming transfer, but not at the configured base.
        Phase phase(8, {transfer});
        phase.config.incoming_bases[2] = 0x300;
        ASSERT_TRUE(phase.place(0));
        EXPECT_EQ(sender_row_of(phase, 1), multicast);
        EXPECT_THAT(pointer_values(phase, 2), ::testing::ElementsAre(0x200U >> 2U));
    }
}

TEST(MaterializedSchedulePaired, PairedTransferRecordsItsPartnerAndEveryRole) {
    Phase phase(12, {pending(4, 8, {0x0, 0x8000}, {{8, 0x100}, {9, 0x4100}}, paired64, 5)});
    const Topology& topology = phase.topology;
    ASSERT_EQ(*topology.paired_logical(4), 5);
    const auto completion = phase.place(0);
    ASSERT_TRUE(completion) << completion.error();

    const auto rows = vorn::exchange::paired_multicast(topology, 4, std::vector<std::uint16_t>{8, 9}, 4);
    ASSERT_TRUE(rows);
    EXPECT_EQ(sender_row_of(phase, 4), patched(rows->sender_row, 0));
    EXPECT_THAT(pointer_values(phase, 8), ::testing::ElementsAre(0x100U >> 2U));
    EXPECT_THAT(pointer_values(phase, 9), ::testing::ElementsAre(0x4100U >> 2U));

    const auto sends = phase.on(4, 0);
    const auto partner = phase.on(5, 0);
    const auto first = phase.on(8, 0);
    const auto second = phase.on(9, 0);
    ASSERT_EQ(sends.size(), 1U);
    ASSERT_EQ(partner.size(), 1U);
    ASSERT_EQ(first.size(), 1U);
    ASSERT_EQ(second.size(), 1U);
    const ExchangeActivity& send = sends[0];
    EXPECT_EQ(send.kind, ExchangeActivityKind::Send);
    EXPECT_EQ(partner[0],
              (ExchangeActivity{0, send.start, send.end, send.end, 0, 8, 2, ExchangeActivityKind::PartnerBusy, true}));
    EXPECT_EQ(first[0].kind, ExchangeActivityKind::Receive);
    EXPECT_EQ(first[0].address, 0x100U);
    EXPECT_EQ(second[0].address, 0x4100U);
    for (const ExchangeActivity& a : {send, first[0], second[0]}) {
        EXPECT_EQ(a.words, 8U);
        EXPECT_EQ(a.destination_count, 2U);
        EXPECT_TRUE(a.paired);
        EXPECT_LE(a.completion, *completion);
        EXPECT_LE(a.start, a.completion);
    }
    EXPECT_EQ(*completion, std::max({send.completion, first[0].completion, second[0].completion}));
    // The partner's transmitter stays taken until the send ends.
    EXPECT_GE(phase.schedule.builder.tile(5).busy_until(), send.end);

    EXPECT_EQ(phase.schedule.placements[0], (TransferPlacement{std::nullopt, send.start, *completion, 4}));
    EXPECT_EQ(phase.schedule.order, std::vector<std::uint32_t>{0});
    EXPECT_EQ(phase.schedule.tile_marks[4], (TileMarks{send.completion, 0}));
    EXPECT_EQ(phase.schedule.tile_marks[5], (TileMarks{send.end, 0}));
    EXPECT_EQ(phase.schedule.tile_marks[8], (TileMarks{0, first[0].completion}));
    EXPECT_EQ(phase.last[4], (TileLastTransfers{0, std::nullopt}));
    EXPECT_EQ(phase.last[5], (TileLastTransfers{0, std::nullopt}));
    EXPECT_EQ(phase.last[9], (TileLastTransfers{std::nullopt, 0}));

    // Both Repeat iterations' source elements are read during the send.
    const Interval read{send.start, send.end, send.end};
    EXPECT_THAT(phase.schedule.memory[4].sends.intervals(ExchangeMemoryElement::of(0)), ::testing::ElementsAre(read));
    EXPECT_THAT(phase.schedule.memory[4].sends.intervals(ExchangeMemoryElement::of(0x8000)),
                ::testing::ElementsAre(read));
    EXPECT_THAT(phase.schedule.memory[9].receives.intervals(ExchangeMemoryElement::of(0x4100)),
                ::testing::ElementsAre(Interval{second[0].start, second[0].end, second[0].end}));
    EXPECT_TRUE(phase.schedule.memory[5].sends.empty());
    EXPECT_EQ(phase.schedule.horizon, 0U);
}

TEST(MaterializedScheduleOrder, OrderIsThePlacementOrder) {
    Phase phase(8, {pending(1, 4, {0}, {{2, 0x100}}), pending(3, 4, {0}, {{4, 0x100}})});
    ASSERT_TRUE(phase.place(1));
    EXPECT_EQ(phase.schedule.placements[0], std::nullopt);
    ASSERT_TRUE(phase.place(0));
    EXPECT_EQ(phase.schedule.order, (std::vector<std::uint32_t>{1, 0}));
}

// ---------------------------------------------------------------------------
// Patch-site scan of receiver rows.

constexpr Word sync3 = 0x41800003;
constexpr Word ret = 0x43A00000;
constexpr Word pointer = 0x60A05000;       // PIC pointer control (format bit clear)
constexpr Word format = 0x60A40000;        // PIC format control: bit 18 set, not a site
constexpr Word pair_format = 0xF8000000;   // SENDPICP with the format bit: not a site
constexpr Word pair_pointer = 0xF0000000;  // SENDPICP with the format bit clear: a site
constexpr Word second_word = 0xABCC1234;

TEST(ReceiveAddressPatch, PatchesTheFirstSiteOnly) {
    constexpr std::uint32_t a = 0x2000;
    const struct {
        std::string_view name;
        RowWords row;
        std::size_t index;  // the word that changes
        Word patched;
    } cases[] = {
        {"one-word pointer", {sync3, pointer, ret}, 1, 0x60A00000 | (a >> 2)},
        {"format control skipped", {sync3, format, pointer, ret}, 2, 0x60A00000 | (a >> 2)},
        {"second word of a skipped pair is no site",
         {sync3, pair_format, pointer, pointer, ret},
         3,
         0x60A00000 | (a >> 2)},
        {"pair site patches its second word",
         {sync3, pair_pointer, second_word, pointer, ret},
         2,
         0xABCC0000 | (a >> 2)},
        {"earlier one-word site wins over a pair",
         {sync3, pointer, pair_pointer, second_word, ret},
         1,
         0x60A00000 | (a >> 2)},
        {"pair site in the last two words",
         {sync3, ret, 0, 0, 0, 0, 0, pair_pointer, second_word},
         8,
         0xABCC0000 | (a >> 2)},
    };
    for (const auto& c : cases) {
        RowWords row = c.row;
        ASSERT_TRUE(patch_receive_address(row, a)) << c.name;
        RowWords expected = c.row;
        expected[c.index] = c.patched;
        EXPECT_EQ(row, expected) << c.name;
    }
}

TEST(ReceiveAddressPatch, FailsWithoutChangingTheRow) {
    const ExchangeError truncated = ExchangeError::schedule(vorn::exchange::invariant::truncated_sendpicp_payload);
    const struct {
        std::string_view name;
        RowWords row;
        std::uint32_t address;
        ExchangeError error;
    } cases[] = {
        {"no site", {sync3, format, ret}, 0x100, ExchangeError::address(0x100)},
        {"pair site in the last word", {sync3, ret, 0, 0, 0, 0, 0, 0, pair_pointer}, 0x100, truncated},
        {"a pair covering the last word hides it",
         {sync3, ret, 0, 0, 0, 0, 0, pair_format, pointer},
         0x100,
         ExchangeError::address(0x100)},
        {"non-site pair in the last word",
         {sync3, ret, 0, 0, 0, 0, 0, 0, pair_format},
         0x100,
         ExchangeError::address(0x100)},
        {"unaligned", {sync3, pointer, ret}, 0x102, ExchangeError::address(0x102)},
        {"above the pointer range", {sync3, pointer, ret}, 0x100000, ExchangeError::address(0x100000)},
    };
    for (const auto& c : cases) {
        RowWords row = c.row;
        const auto result = patch_receive_address(row, c.address);
        ASSERT_FALSE(result) << c.name;
        EXPECT_EQ(result.error(), c.error) << c.name << ": " << result.error().debug();
        EXPECT_EQ(row, c.row) << c.name;
    }
    RowWords row{sync3, pointer, ret};
    ASSERT_TRUE(patch_receive_address(row, 0xFFFFC));
    EXPECT_EQ(row[1], 0x60A00000U | 0x3FFFFU);
}

// ---------------------------------------------------------------------------
// Memory hazards: the offset search.

// Where the transfer below lands on an empty schedule.
struct Natural {
    ExchangeActivity send;
    ExchangeActivity first;   // tile 2
    ExchangeActivity second;  // tile 3
};

// Tile 1 reads elements 0 and 2 (two iterations) and writes element 0 of
// tiles 2 and 3.
PendingTransfer hazard_transfer() { return pending(1, 8, {0x0, 0x8000}, {{2, 0x1000}, {3, 0x2000}}); }

TEST(MaterializedScheduleHazards, ConflictingWindowsShiftThePlacement) {
    const ExchangeMemoryElement element0 = ExchangeMemoryElement::of(0);
    const std::vector<ExchangeMemoryElement> e0{element0};
    const std::vector<ExchangeMemoryElement> e1{ExchangeMemoryElement::of(0x4000)};
    const std::vector<ExchangeMemoryElement> e2{ExchangeMemoryElement::of(0x8000)};

    Phase natural_phase(8, {hazard_transfer()});
    const auto natural_completion = natural_phase.place(0);
    ASSERT_TRUE(natural_completion);
    const Natural n{natural_phase.only(1, ExchangeActivityKind::Send),
                    natural_phase.only(2, ExchangeActivityKind::Receive),
                    natural_phase.only(3, ExchangeActivityKind::Receive)};
    ASSERT_GE(n.first.start, 10U);
    ASSERT_GE(n.send.start, 10U);
    ASSERT_LT(n.first.start, n.first.end);

    using Setup = std::function<void(std::vector<TileMemorySchedule>&)>;
    const struct {
        std::string_view name;
        Setup setup;
        std::uint32_t shift;
    } cases[] = {
        {"read overlapping the start of a write window",
         [&](auto& m) { m[2].sends.record(e0, n.first.start - 5, n.first.start + 5); }, 5},
        {"read ending where the write starts",
         [&](auto& m) { m[2].sends.record(e0, n.first.start - 10, n.first.start); }, 0},
        {"read starting where the write ends", [&](auto& m) { m[2].sends.record(e0, n.first.end, n.first.end + 9); },
         0},
        {"read of another element", [&](auto& m) { m[2].sends.record(e1, n.first.start, n.first.end); }, 0},
        {"write against write", [&](auto& m) { m[2].receives.record(e0, n.first.start, n.first.end); }, 0},
        {"read on the second destination", [&](auto& m) { m[3].sends.record(e0, n.second.start, n.second.start + 3); },
         3},
        {"write under the source read", [&](auto& m) { m[1].receives.record(e0, n.send.start - 1, n.send.start + 7); },
         7},
        {"write under a later iteration's source element",
         [&](auto& m) { m[1].receives.record(e2, n.send.start, n.send.start + 4); }, 4},
        {"read against read", [&](auto& m) { m[1].sends.record(e0, n.send.start, n.send.end); }, 0},
        {"write on the source tile's other element",
         [&](auto& m) { m[1].receives.record(e1, n.send.start, n.send.end); }, 0},
        {"largest of the conflicts",
         [&](auto& m) {
             m[2].sends.record(e0, n.first.start, n.first.start + 5);
             m[1].receives.record(e0, n.send.start, n.send.start + 11);
         },
         11},
        // The first shift moves the write onto a window that did not meet it
        // where it started; the search goes round again.
        {"shift into a second conflict",
         [&](auto& m) {
             m[2].sends.record(e0, n.first.start, n.first.start + 5);
             m[2].sends.record(e0, n.first.end + 4, n.first.end + 10);
         },
         n.first.end + 10 - n.first.start},
        // A long earlier read still covers a write placed between two short
        // later reads.
        {"under a longer earlier window",
         [&](auto& m) {
             m[2].sends.record(e0, 0, n.first.start + 20);
             m[2].sends.record(e0, n.first.start - 8, n.first.start - 6);
         },
         20},
    };
    for (const auto& c : cases) {
        Phase phase(8, {hazard_transfer()});
        c.setup(phase.schedule.memory);
        const auto completion = phase.place(0);
        ASSERT_TRUE(completion) << c.name << ": " << completion.error();
        EXPECT_EQ(*completion, *natural_completion + c.shift) << c.name;
        const auto moved = [&](ExchangeActivity a) {
            a.start += c.shift;
            a.completion += c.shift;
            a.end += c.shift;
            return a;
        };
        EXPECT_EQ(phase.only(1, ExchangeActivityKind::Send), moved(n.send)) << c.name;
        EXPECT_EQ(phase.only(2, ExchangeActivityKind::Receive), moved(n.first)) << c.name;
        EXPECT_EQ(phase.only(3, ExchangeActivityKind::Receive), moved(n.second)) << c.name;
    }
}

TEST(MaterializedScheduleHazards, EarlierPlacementsShiftLaterOnes) {
    // Transfer 0 writes element 0 of tile 1; transfer 1 reads other bytes of
    // that element, ready while the write goes on. Only the hazard check
    // keeps the read out of the write window.
    Phase phase(8, {pending(2, 64, {0}, {{1, 0x100}, {3, 0x100}}), pending(1, 8, {0x3000}, {{4, 0x100}, {5, 0x100}})});
    ASSERT_TRUE(phase.place(0));
    const ExchangeActivity write = phase.only(1, ExchangeActivityKind::Receive);
    ASSERT_TRUE(phase.place(1, write.start));
    const ExchangeActivity& read = phase.only(1, ExchangeActivityKind::Send);
    EXPECT_GE(read.start, write.end);
}

TEST(MaterializedScheduleHazards, WindowReachingTheLastCycleFailsInsteadOfWrapping) {
    Phase phase(8, {hazard_transfer()});
    phase.schedule.memory[2].sends.record(std::vector{ExchangeMemoryElement::of(0)}, 0, 0xFFFFFFFFU);
    const auto placed = phase.place(0);
    ASSERT_FALSE(placed);
    EXPECT_THAT(placed.error().kind(),
                ::testing::AnyOf(ExchangeLoweringErrorKind::Exchange, ExchangeLoweringErrorKind::Overflow))
        << placed.error().debug();
}

TEST(MaterializedScheduleDeathTest, OutOfRangePositionsAndTilesAbort) {
    EXPECT_DEATH(
        {
            Phase phase(8, {pending(1, 4, {0}, {{2, 0x100}})});
            (void)phase.place(1);
        },
        "transfer position 1 is outside the 1 transfers");
    const auto outside = test_support::positions({pending(1, 4, {0}, {{9, 0x100}})});
    EXPECT_DEATH((void)MaterializedSchedule::create(8, outside), "destination tile 9 is outside the 8 tiles");
}

// ---------------------------------------------------------------------------
// Randomised phases placed in index order.

class PhaseGenerator {
public:
    PhaseGenerator(const Topology& topology, std::uint64_t seed, bool crowded)
        : topology_(topology),
          tiles_(static_cast<std::uint16_t>(topology.tile_count())),
          rng_(seed),
          crowded_(crowded),
          next_address_(tiles_, 0) {}

    // Transfers whose rows the machine can build (some short paired
    // transfers, for one, cannot be encoded at all).
    std::vector<PendingTransfer> phase(std::size_t count) {
        std::vector<PendingTransfer> transfers;
        while (transfers.size() < count) {
            PendingTransfer transfer = next();
            if (buildable(transfer)) {
                transfers.push_back(std::move(transfer));
            }
        }
        return test_support::positions(std::move(transfers));
    }

private:
    std::uint32_t uniform(std::uint32_t low, std::uint32_t high) {
        return std::uniform_int_distribution<std::uint32_t>(low, high)(rng_);
    }
    std::uint16_t tile() { return static_cast<std::uint16_t>(uniform(0, tiles_ - 1U)); }

    std::uint32_t words(bool paired) {
        const std::uint32_t roll = uniform(0, 99);
        std::uint32_t w = roll < 75 ? uniform(1, 48) : roll < 97 ? uniform(49, 400) : uniform(401, 1500);
        if (paired) {
            w = std::max<std::uint32_t>(2, w & ~1U);
        }
        return w;
    }

    // Crowded phases keep every address in the first two elements, so most
    // reads and writes of a tile meet.
    std::uint32_t address(std::uint32_t bytes, std::uint32_t alignment) {
        const std::uint32_t range = crowded_ ? 0x8000 : 0x40000;
        const std::uint32_t top = range > bytes ? range - bytes : 0;
        return uniform(0, top / alignment) * alignment;
    }

    // Often right after the tile's last receive, so receives continue.
    std::uint32_t receive_address(std::uint16_t receiver, std::uint32_t bytes, std::uint32_t alignment) {
        std::uint32_t at = next_address_[receiver];
        if (uniform(0, 2) != 0 || at + bytes > 0x40000 || at % alignment != 0) {
            at = address(bytes, alignment);
        }
        next_address_[receiver] = at + bytes;
        return at;
    }

    std::vector<std::uint32_t> sources(std::uint32_t bytes, std::uint32_t alignment) {
        std::vector<std::uint32_t> result{address(bytes, alignment)};
        if (uniform(0, 4) == 0) {
            result.push_back(address(bytes, alignment));
        }
        return result;
    }

    PendingTransfer next() {
        const std::uint32_t kind = uniform(0, 99);
        const std::uint16_t source = tile();
        if (kind < 20) {
            // Paired: whole pairs other than the source's own.
            const std::uint32_t w = words(true);
            std::vector<PendingDestination> destinations;
            const std::uint32_t pairs = uniform(1, 2);
            while (destinations.size() < 2 * pairs) {
                const auto first = static_cast<std::uint16_t>(2 * uniform(0, tiles_ / 2U - 1));
                const bool taken = std::any_of(destinations.begin(), destinations.end(),
                                               [&](const PendingDestination& d) { return d.tile == first; });
                if (first / 2 != source / 2 && !taken) {
                    destinations.push_back({first, receive_address(first, w * 4, 8)});
                    destinations.push_back({static_cast<std::uint16_t>(first + 1),
                                            receive_address(static_cast<std::uint16_t>(first + 1), w * 4, 8)});
                }
            }
            return pending(source, w, sources(w * 4, 8), std::move(destinations), paired64,
                           static_cast<std::uint16_t>(source ^ 1U));
        }
        const std::uint32_t w = words(false);
        const std::uint32_t count = kind < 60 ? 1 : uniform(2, 4);
        std::vector<std::uint32_t> source_addresses = sources(w * 4, 4);
        std::vector<PendingDestination> destinations;
        // Some multicasts also write their own tile, in the upper region
        // where no source span lies.
        if (count >= 2 && w <= 16 && uniform(0, 3) == 0) {
            destinations.push_back({source, 0x80000 + uniform(0, 0x1000) * 4});
        }
        while (destinations.size() < count) {
            const std::uint16_t receiver = tile();
            const bool taken =
                receiver == source || std::any_of(destinations.begin(), destinations.end(),
                                                  [&](const PendingDestination& d) { return d.tile == receiver; });
            if (!taken) {
                destinations.push_back({receiver, receive_address(receiver, w * 4, 4)});
            }
        }
        return pending(source, w, std::move(source_addresses), std::move(destinations));
    }

    bool buildable(const PendingTransfer& transfer) const {
        std::vector<std::uint16_t> receivers;
        for (const PendingDestination& d : transfer.destinations) {
            receivers.push_back(d.tile);
        }
        if (transfer.width == paired64) {
            return vorn::exchange::paired_multicast(topology_, transfer.source, receivers, transfer.item_count())
                .has_value();
        }
        return vorn::exchange::multicast(topology_, transfer.source, receivers, transfer.words, 0).has_value() &&
               (receivers.size() > 1 ||
                vorn::exchange::point_to_point(topology_, transfer.source, receivers[0], transfer.words).has_value());
    }

    const Topology& topology_;
    std::uint16_t tiles_;
    std::mt19937_64 rng_;
    bool crowded_;
    std::vector<std::uint32_t> next_address_;
};

std::vector<ExchangeMemoryElement> accessed(const PendingTransfer& transfer, const ExchangeActivity& activity) {
    return activity.kind == ExchangeActivityKind::Send ? transfer.source_elements
                                                       : span_elements(activity.address, activity.words);
}

bool share(const std::vector<ExchangeMemoryElement>& a, const std::vector<ExchangeMemoryElement>& b) {
    return std::any_of(a.begin(), a.end(),
                       [&](const ExchangeMemoryElement& e) { return std::binary_search(b.begin(), b.end(), e); });
}

// No tile reads and writes one element in overlapping windows.
void expect_no_memory_hazard(const Phase& phase, const std::string& where) {
    for (std::uint16_t tile = 0; tile < phase.tile_count; ++tile) {
        const auto& list = phase.schedule.activities[tile];
        for (const ExchangeActivity& read : list) {
            if (read.kind != ExchangeActivityKind::Send) {
                continue;
            }
            const auto read_elements = accessed(phase.transfers[read.transfer], read);
            for (const ExchangeActivity& write : list) {
                if (write.kind != ExchangeActivityKind::Receive || write.start >= read.end || read.start >= write.end) {
                    continue;
                }
                EXPECT_FALSE(share(read_elements, accessed(phase.transfers[write.transfer], write)))
                    << where << " tile " << tile << ": " << read << " meets " << write;
            }
        }
    }
}

// Every transfer has one Send, one PartnerBusy when paired and one Receive
// per destination, in destination order, none completing after the
// transfer.
void expect_roles(const Phase& phase, const std::vector<std::uint32_t>& completions, const std::string& where) {
    for (std::uint32_t t = 0; t < phase.transfers.size(); ++t) {
        const PendingTransfer& transfer = phase.transfers[t];
        std::vector<std::uint16_t> receivers;
        std::size_t sends = 0;
        std::size_t partners = 0;
        for (std::uint16_t tile = 0; tile < phase.tile_count; ++tile) {
            for (const ExchangeActivity& a : phase.schedule.activities[tile]) {
                if (a.transfer != t) {
                    continue;
                }
                EXPECT_LE(a.completion, completions[t]) << where << " " << a;
                sends += a.kind == ExchangeActivityKind::Send && tile == transfer.source ? 1 : 0;
                partners += a.kind == ExchangeActivityKind::PartnerBusy && tile == transfer.paired_source ? 1 : 0;
                if (a.kind == ExchangeActivityKind::Receive) {
                    receivers.push_back(tile);
                }
            }
        }
        std::vector<std::uint16_t> expected;
        for (const PendingDestination& d : transfer.destinations) {
            expected.push_back(d.tile);
        }
        std::sort(expected.begin(), expected.end());
        EXPECT_EQ(receivers, expected) << where << " transfer " << t;
        EXPECT_EQ(sends, 1U) << where << " transfer " << t;
        EXPECT_EQ(partners, transfer.paired_source ? 1U : 0U) << where << " transfer " << t;
        EXPECT_EQ(phase.schedule.placements[t]->completion, completions[t]) << where;
    }
}

TEST(MaterializedScheduleRandom, IndexOrderPlacementsFinishWithoutMemoryHazards) {
    const struct {
        std::uint16_t tiles;
        std::size_t transfers;
        bool crowded;
    } shapes[] = {{8, 40, true}, {16, 60, true}, {24, 60, false}, {12, 50, false}};
    for (const auto& shape : shapes) {
        for (std::uint64_t seed = 1; seed <= 3; ++seed) {
            for (const bool immediate : {true, false}) {
                const std::string where = fmt::format("tiles {} crowded {} seed {} immediate {}", shape.tiles,
                                                      shape.crowded, seed, immediate);
                const Topology topology = *Topology::q480_section(shape.tiles);
                PhaseGenerator generator(topology, seed * 7919 + shape.tiles, shape.crowded);
                Phase phase(shape.tiles, generator.phase(shape.transfers));
                const SchedulingProblem problem = SchedulingProblem::create(phase.transfers, shape.tiles);
                std::vector<std::uint32_t> completions(phase.transfers.size(), 0);
                for (std::uint32_t t = 0; t < phase.transfers.size(); ++t) {
                    std::uint32_t ready = 0;
                    for (const std::uint32_t before : problem.predecessors(t)) {
                        ready = std::max(ready, completions[before]);
                    }
                    const auto placed = phase.place(t, ready, immediate);
                    ASSERT_TRUE(placed) << where << " transfer " << t << ": " << placed.error().debug();
                    EXPECT_GE(phase.schedule.placements[t]->start, ready) << where;
                    completions[t] = *placed;
                }
                std::vector<std::uint32_t> in_order(phase.transfers.size());
                for (std::uint32_t t = 0; t < in_order.size(); ++t) {
                    in_order[t] = t;
                }
                EXPECT_EQ(phase.schedule.order, in_order) << where;
                expect_no_memory_hazard(phase, where);
                expect_roles(phase, completions, where);

                const auto finished = phase.schedule.builder.finish();
                if (immediate) {
                    EXPECT_TRUE(finished) << where << ": " << finished.error();
                } else if (!finished) {
                    // Placed by the rules alone, a tile may need its SENDPICP
                    // aligned; the scheduler then places again validating.
                    EXPECT_TRUE(finished.error().is_schedule(vorn::exchange::invariant::sendpicp_instruction_alignment))
                        << where << ": " << finished.error();
                }
            }
        }
    }
}

}  // namespace
}  // namespace vorn::codegen
