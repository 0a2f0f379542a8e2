// Reading rows back into timings and completing them: the timings of the
// rows the builders write, each check with its invariant, and the mutators
// leaving a row unchanged when they fail.

#include "vorn/exchange/row_timing.hpp"

#include <cstdint>
#include <limits>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include <gtest/gtest.h>

#include "test_support.hpp"

namespace vorn::exchange {
namespace {

using testing::error_of;
using testing::hex;

using Kind = ReceiveEventKind;

constexpr Word sync = 0x41800003;
constexpr Word ret = 0x43A00000;

ExchangeError schedule(InvariantName name) { return ExchangeError::schedule(name); }

// ---------------------------------------------------------------------------
// Sender rows.

TEST(SenderRowTimingTest, Timings) {
    struct Case {
        std::string_view name;
        RowWords row;
        std::uint32_t base;
        SenderRowTiming expected;
    };
    const Case cases[] = {
        // The point-to-point example: DELAY of 140 cycles, then 8 items.
        {"delay and send", {sync, 0x40A0008B, 0x78E00001, ret}, 0, {140, 148, 148}},
        {"base 10", {sync, 0x40A0008B, 0x78E00001, ret}, 10, {150, 158, 158}},
        {"continuation", {sync, 0x40A0008B, 0x7FE00001, 0x70000001, ret}, 0, {140, 205, 205}},
        {"longest continuation", {sync, 0x7FE00001, 0x766FC001, ret}, 0, {0, 4148, 4148}},
        // A DELAY after the payload extends the horizon only.
        {"padded", {sync, 0x78000001, 0x40A00004, ret}, 0, {0, 1, 6}},
        // Pic-encoded SENDs and SENDPICPs take time but are no payload; the
        // second word of a SENDPICP is part of it, not a DELAY.
        {"other sends", {sync, 0x70100000, 0x78200001, 0xF0200000, 0x40A00005, 0x70400001, ret}, 0, {1, 8, 8}},
        {"SYNC and unknown words take no time", {sync, 0x41800001, 0x00000007, 0x78E00001, ret}, 0, {0, 8, 8}},
        {"words after RETURN", {sync, 0x78E00001, ret, 0x40A00063, 0x78E00001}, 0, {0, 8, 8}},
        {"ending at the last cycle", {sync, 0x78E00001, ret}, 0xFFFFFFF7, {0xFFFFFFF7, 0xFFFFFFFF, 0xFFFFFFFF}},
    };
    for (const Case& c : cases) {
        const auto timing = sender_row_timing(c.row, c.base);
        ASSERT_TRUE(timing) << c.name << ": " << timing.error();
        EXPECT_EQ(*timing, c.expected) << c.name;
    }
}

TEST(SenderRowTimingTest, Checks) {
    struct Case {
        std::string_view name;
        RowWords row;
        std::uint32_t base;
        ExchangeError expected;
    };
    const Case cases[] = {
        {"SYNC 2 first", {0x41800002, 0x78E00001, ret}, 0, schedule(invariant::sender_row_entry)},
        {"zero first", {0, sync, 0x78E00001, ret}, 0, schedule(invariant::sender_row_entry)},
        {"no RETURN", {sync, 0x78E00001}, 0, schedule(invariant::sender_row_return)},
        {"nothing but RETURN", {sync, ret}, 0, schedule(invariant::sender_payload)},
        {"only a Pic-encoded send", {sync, 0x40A00000, 0x70100000, ret}, 0, schedule(invariant::sender_payload)},
        {"payload after RETURN", {sync, ret, 0x78E00001}, 0, schedule(invariant::sender_payload)},
        {"past the last cycle", {sync, 0x78E00001, ret}, 0xFFFFFFF8,
         schedule(invariant::sender_event_horizon_overflow)},
        // The walk comes before the payload check.
        {"overflow without payload", {sync, 0x40A00000, ret}, 0xFFFFFFFF,
         schedule(invariant::sender_event_horizon_overflow)},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(error_of(sender_row_timing(c.row, c.base)), c.expected) << c.name;
    }
}

// ---------------------------------------------------------------------------
// Receiver rows.

struct ReceiveCase {
    std::string_view name;
    RowWords row;
    std::uint32_t base;
    ReceiveRowTiming expected;
};

// Every case's row reads back, from its base, into the expected timing.
void expect_timings(std::span<const ReceiveCase> cases) {
    for (const ReceiveCase& c : cases) {
        const auto timing = receive_row_timing(c.row, c.base);
        ASSERT_TRUE(timing) << c.name << ": " << timing.error();
        EXPECT_EQ(*timing, c.expected) << c.name;
    }
}

TEST(ReceiveRowTimingTest, OrdinaryRows) {
    const ReceiveCase cases[] = {
        // The point-to-point receiver with source 0: mux control after 113
        // cycles, teardown 8 later, pointer 44 after that, DELAY of 13.
        {"point-to-point, 8 items",
         {sync, 0x641C0000, 0x6401C640, 0x61580000, 0x40A0000C, ret},
         0,
         {{{113, 0x641C0000, Kind::XpicSource},
           {121, 0x6401C640, Kind::XpicTeardown},
           {165, 0x61580000, Kind::PicPointer}},
          113, 121, std::nullopt, std::nullopt, 165, 0, 178, false}},
        {"base 7",
         {sync, 0x641C0000, 0x6401C640, 0x61580000, 0x40A0000C, ret},
         7,
         {{{120, 0x641C0000, Kind::XpicSource},
           {128, 0x6401C640, Kind::XpicTeardown},
           {172, 0x61580000, Kind::PicPointer}},
          120, 128, std::nullopt, std::nullopt, 172, 0, 185, false}},
        // From 52 items the pointer comes before the teardown.
        {"point-to-point, 52 items",
         {sync, 0x641C0000, 0x61980000, 0x64000640, 0x40A00038, ret},
         0,
         {{{113, 0x641C0000, Kind::XpicSource},
           {165, 0x61980000, Kind::PicPointer},
           {166, 0x64000640, Kind::XpicTeardown}},
          113, 166, std::nullopt, std::nullopt, 165, 0, 223, false}},
        // The first receiver of the multicast example, with the placeholder
        // pointer 0x14000 (byte address 0x50000).
        {"multicast receiver",
         {sync, 0x6400C000, 0x6401C640, 0x61594000, 0x40A0000C, ret},
         0,
         {{{4, 0x6400C000, Kind::XpicSource},
           {12, 0x6401C640, Kind::XpicTeardown},
           {56, 0x61594000, Kind::PicPointer}},
          4, 12, std::nullopt, std::nullopt, 56, 0x50000, 69, false}},
        // A SENDPICP whose XPIC half is the teardown: both controls one cycle
        // after it starts, the XPIC event first; the SENDPICP runs 3 cycles.
        {"SENDPICP teardown and pointer",
         {sync, 0x64010007, 0x40A00004, 0xF0400000, 0x19000100, ret},
         0,
         {{{5, 0x64010007, Kind::XpicSource},
           {11, 0x64000640, Kind::XpicTeardown},
           {11, 0x60000100, Kind::PicPointer}},
          5, 11, std::nullopt, std::nullopt, 11, 0x400, 13, false}},
        // A format end alone does not make a row paired; a pointer is not
        // required here.
        {"format end without start",
         {sync, 0x64000005, 0x64000640, 0x60040000, ret},
         0,
         {{{1, 0x64000005, Kind::XpicSource}, {2, 0x64000640, Kind::XpicTeardown}, {3, 0x60040000, Kind::PicFormat}},
          1, 2, std::nullopt, 3, std::nullopt, std::nullopt, 3, false}},
        {"largest pointer",
         {sync, 0x64000005, 0x6003FFFF, 0x64000640, ret},
         0,
         {{{1, 0x64000005, Kind::XpicSource}, {2, 0x6003FFFF, Kind::PicPointer}, {3, 0x64000640, Kind::XpicTeardown}},
          1, 3, std::nullopt, std::nullopt, 2, 0xFFFFC, 3, false}},
        {"ending at the last cycle",
         {sync, 0x64000000, 0x64000640, 0x60000000, ret},
         0xFFFFFFFC,
         {{{0xFFFFFFFD, 0x64000000, Kind::XpicSource},
           {0xFFFFFFFE, 0x64000640, Kind::XpicTeardown},
           {0xFFFFFFFF, 0x60000000, Kind::PicPointer}},
          0xFFFFFFFD, 0xFFFFFFFE, std::nullopt, std::nullopt, 0xFFFFFFFF, 0, 0xFFFFFFFF, false}},
    };
    expect_timings(cases);
}

TEST(ReceiveRowTimingTest, PairedRows) {
    const ReceiveCase cases[] = {
        // The receiver rows of the paired multicast from logical 4 to the
        // pair 0, 1: the lane that drives the mux, then its partner.
        {"mux lane",
         {sync, 0x64002080, 0x6401E640, 0x61540001, 0x60080000, 0x602C0000, 0x40A00006, ret},
         0,
         {{{1, 0x64002080, Kind::PairedXpicSource},
           {9, 0x6401E640, Kind::PairedXpicTeardown},
           {52, 0x61540001, Kind::PicFormat},
           {54, 0x60080000, Kind::PairedPicPointer},
           {60, 0x602C0000, Kind::PicFormat}},
          1, 9, 52, 60, 54, 0, 67, true}},
        {"partner lane",
         {sync, 0x619C0001, 0x60080000, 0x602C0000, 0x40A00006, ret},
         0,
         {{{52, 0x619C0001, Kind::PicFormat},
           {54, 0x60080000, Kind::PairedPicPointer},
           {60, 0x602C0000, Kind::PicFormat}},
          std::nullopt, std::nullopt, 52, 60, 54, 0, 67, true}},
        // A SENDPICP carrying the paired source and the format start (bit 27
        // of its first word).
        {"SENDPICP format start",
         {sync, 0xF8000000, 0x80140001, 0x60080000, 0x601C0000, 0x64002640, ret},
         0,
         {{{1, 0x64002005, Kind::PairedXpicSource},
           {1, 0x60040001, Kind::PicFormat},
           {3, 0x60080000, Kind::PairedPicPointer},
           {7, 0x601C0000, Kind::PicFormat},
           {8, 0x64002640, Kind::PairedXpicTeardown}},
          1, 8, 1, 7, 3, 0, 8, true}},
    };
    expect_timings(cases);
}

TEST(ReceiveRowTimingTest, Checks) {
    struct Case {
        std::string_view name;
        RowWords row;
        std::uint32_t base;
        InvariantName expected;
    };
    constexpr Word source = 0x64000005;
    constexpr Word teardown = 0x64000640;
    constexpr Word pointer = 0x60000000;
    const Case cases[] = {
        {"SYNC 2 first", {0x41800002, source, teardown, pointer, ret}, 0, invariant::receive_row_entry},
        {"RETURN first", {sync, ret}, 0, invariant::incomplete_ordinary_receive_mux},
        {"no RETURN", {sync, source, teardown, pointer, 0x40A00000, 0x40A00000, 0x40A00000, 0x40A00000, 0x40A00000}, 0,
         invariant::receive_row_return},
        {"control past the last cycle", {sync, 0x64000000, teardown, pointer, ret}, 0xFFFFFFFD,
         invariant::receive_event_horizon_overflow},
        {"SENDPICP at the last cycle", {sync, 0xF0000000, 0x19000100, ret}, 0xFFFFFFFF,
         invariant::receive_event_horizon_overflow},
        {"SENDPICP running past the last cycle", {sync, 0xF0200000, 0x19000100, ret}, 0xFFFFFFFE,
         invariant::receive_event_horizon_overflow},
        {"two sources", {sync, source, 0x64000006, teardown, pointer, ret}, 0, invariant::multiple_receive_sources},
        {"ordinary and paired source", {sync, source, 0x64002005, teardown, pointer, ret}, 0,
         invariant::multiple_receive_sources},
        {"two teardowns", {sync, source, teardown, 0x64002640, pointer, ret}, 0, invariant::multiple_receive_teardowns},
        {"two pointers", {sync, source, pointer, 0x60000010, teardown, ret}, 0, invariant::multiple_receive_pointers},
        {"two format starts", {sync, 0x60040001, 0x60040002, 0x60040000, pointer, ret}, 0,
         invariant::multiple_paired_format_starts},
        {"two format ends", {sync, 0x60040001, 0x60040000, pointer, 0x60040000, ret}, 0,
         invariant::multiple_paired_format_ends},
        {"format value 3", {sync, source, teardown, 0x60040003, ret}, 0, invariant::paired_receive_format_value},
        {"format value 0x100", {sync, source, teardown, 0x60040100, ret}, 0, invariant::paired_receive_format_value},
        {"format start without end", {sync, 0x60040001, pointer, ret}, 0, invariant::incomplete_paired_receive_format},
        {"paired mux without format", {sync, 0x64002005, 0x64002640, pointer, ret}, 0,
         invariant::incomplete_paired_receive_format},
        {"paired teardown in an ordinary row", {sync, source, 0x64002640, pointer, ret}, 0,
         invariant::incomplete_paired_receive_format},
        {"no teardown", {sync, source, pointer, ret}, 0, invariant::incomplete_ordinary_receive_mux},
        {"no source", {sync, teardown, pointer, ret}, 0, invariant::incomplete_ordinary_receive_mux},
        // Every control is scanned before the row's kind is judged.
        {"two sources in an incomplete paired row", {sync, 0x60040001, source, 0x64000006, ret}, 0,
         invariant::multiple_receive_sources},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(error_of(receive_row_timing(c.row, c.base)), schedule(c.expected)) << c.name;
    }
}

// ---------------------------------------------------------------------------
// Plans.

TEST(MulticastPlanTest, PreparesTheMulticastExample) {
    const MulticastExchange exchange{
        {{sync, 0x6400C000, 0x6401C640, 0x61594000, 0x40A0000C, ret},
         {sync, 0x64000000, 0x6401C640, 0x61694000, 0x40A0000C, ret}},
        {sync, 0x40A0001E, 0x78E00003, ret},
    };
    const auto plan = MulticastPlan::prepare(exchange);
    ASSERT_TRUE(plan) << plan.error();
    EXPECT_EQ(&plan->exchange(), &exchange);
    EXPECT_EQ(plan->sender_timing(), (SenderRowTiming{31, 39, 39}));
    ASSERT_EQ(plan->receive_timings().size(), 2U);
    EXPECT_EQ(plan->receive_timings()[0], *receive_row_timing(exchange.receiver_rows[0]));
    const ReceiveRowTiming& second = plan->receive_timings()[1];
    EXPECT_EQ(second.source, 1U);
    EXPECT_EQ(second.teardown, 9U);
    EXPECT_EQ(second.pointer, 55U);
    EXPECT_EQ(second.horizon, 68U);
}

TEST(MulticastPlanTest, ReturnsTheFirstError) {
    const RowWords sender_ok{sync, 0x78E00001, ret};
    const RowWords receiver_ok{sync, 0x64000005, 0x64000640, 0x60000000, ret};
    const RowWords no_return{sync, 0x64000005};
    const RowWords no_teardown{sync, 0x64000005, 0x60000000, ret};
    struct Case {
        std::string_view name;
        MulticastExchange exchange;
        std::optional<ExchangeError> expected;
    };
    const Case cases[] = {
        {"sender row first", {{no_return}, {0, 0x78E00001, ret}}, schedule(invariant::sender_row_entry)},
        {"receivers in order", {{receiver_ok, no_teardown, no_return}, sender_ok},
         schedule(invariant::incomplete_ordinary_receive_mux)},
        {"no receivers", {{}, sender_ok}, std::nullopt},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(error_of(MulticastPlan::prepare(c.exchange)), c.expected) << c.name;
    }
}

// ---------------------------------------------------------------------------
// Completing rows.

TEST(SetSenderControlTest, RewritesEverySendControl) {
    struct Case {
        std::string_view name;
        RowWords row;
        std::uint8_t control;
        RowWords expected;
    };
    const Case cases[] = {
        {"Explicit and Offset", {sync, 0x40A0008B, 0x7FE00001, 0x70000001, ret}, 6,
         {sync, 0x40A0008B, 0x7FE00006, 0x70000006, ret}},
        {"keeps the operand", {sync, 0x78FFFFF9, ret}, 2, {sync, 0x78FFFFFA, ret}},
        // A SENDPICP with send control 0 only sets controls and stays; its
        // second word is never taken for a send.
        {"SENDPICP", {sync, 0xF0000000, 0x78000001, 0xF0200001, 0x78000001, 0x78000002, ret}, 7,
         {sync, 0xF0000000, 0x78000001, 0xF0200007, 0x78000001, 0x78000007, ret}},
        {"all nine words", {sync, 0x78000001, ret, 0x70000002, 0, 0, 0, 0, 0x78000003}, 5,
         {sync, 0x78000005, ret, 0x70000005, 0, 0, 0, 0, 0x78000005}},
        {"Pic-encoded send untouched", {sync, 0x70100001, 0x78000001, ret}, 3, {sync, 0x70100001, 0x78000003, ret}},
    };
    for (const Case& c : cases) {
        RowWords row = c.row;
        ASSERT_TRUE(set_sender_control(row, c.control)) << c.name;
        EXPECT_EQ(hex(row), hex(c.expected)) << c.name;
    }
}

TEST(SetSenderControlTest, FailuresLeaveTheRowUnchanged) {
    struct Case {
        std::string_view name;
        RowWords row;
        std::uint8_t control;
        InvariantName expected;
    };
    const RowWords sender{sync, 0x78E00001, 0x70000001, ret};
    const Case cases[] = {
        {"control 0", sender, 0, invariant::send_control},
        {"control 8", sender, 8, invariant::send_control},
        {"control 255", sender, 255, invariant::send_control},
        {"control 0 without a send", {sync, ret}, 0, invariant::send_control},
        {"no send", {sync, 0x40A00000, ret}, 1, invariant::sender_payload},
        {"only a Pic-encoded send and a control SENDPICP", {sync, 0x70100000, 0xF0000000, 0x00000003, ret}, 1,
         invariant::sender_payload},
    };
    for (const Case& c : cases) {
        RowWords row = c.row;
        EXPECT_EQ(error_of(set_sender_control(row, c.control)), schedule(c.expected)) << c.name;
        EXPECT_EQ(hex(row), hex(c.row)) << c.name;
    }
}

TEST(PatchSenderAddressTest, WritesTheSourceOperand) {
    struct Case {
        std::string_view name;
        RowWords row;
        std::uint32_t address;
        std::optional<RowWords> expected;  // nothing: Address with the address
    };
    const RowWords words32{sync, 0x78E00001, ret};
    const RowWords items64{sync, 0x78E00005, ret};
    const Case cases[] = {
        {"0x100, 32-bit: 0x40", words32, 0x100, RowWords{sync, 0x78E00201, ret}},
        {"0x100, 64-bit: 0x20", items64, 0x100, RowWords{sync, 0x78E00105, ret}},
        {"0x104, 32-bit", words32, 0x104, RowWords{sync, 0x78E00209, ret}},
        {"0 keeps 0", words32, 0, words32},
        {"largest 32-bit", words32, 0xFFFFC, RowWords{sync, 0x78FFFFF9, ret}},
        {"largest 64-bit", items64, 0x1FFFF8, RowWords{sync, 0x78FFFFFD, ret}},
        {"replaces an operand", {sync, 0x40A00000, 0x78FFFFF9, ret}, 0x10, RowWords{sync, 0x40A00000, 0x78E00021, ret}},
        {"first Explicit only", {sync, 0x78000001, 0x78000001, ret}, 0x8, RowWords{sync, 0x78000011, 0x78000001, ret}},
        {"0x102", words32, 0x102, std::nullopt},
        {"0x104, 64-bit", items64, 0x104, std::nullopt},
        {"0x100000, 32-bit", words32, 0x100000, std::nullopt},
        {"0x200000, 64-bit", items64, 0x200000, std::nullopt},
        {"0xFFFFFFFC", words32, 0xFFFFFFFC, std::nullopt},
        {"no Explicit SEND", {sync, 0x70000001, 0xF0000001, 0x78000000, ret}, 0x100, std::nullopt},
    };
    for (const Case& c : cases) {
        RowWords row = c.row;
        const auto patched = patch_sender_address(row, c.address);
        if (c.expected) {
            ASSERT_TRUE(patched) << c.name << ": " << patched.error();
            EXPECT_EQ(hex(row), hex(*c.expected)) << c.name;
        } else {
            EXPECT_EQ(error_of(patched), ExchangeError::address(c.address)) << c.name;
            EXPECT_EQ(hex(row), hex(c.row)) << c.name;
        }
    }
}

TEST(FinalizePointReceiverTest, WritesTheSourceIntoThePatchControl) {
    const PointReceiverRow receiver{1, {sync, 0x641C0000, 0x6401C640, 0x61580000, 0x40A0000C, ret, 0, 0}};
    struct Case {
        std::string_view name;
        PointReceiverRow receiver;
        std::uint16_t value;
        std::optional<RowWords> expected;  // nothing: "point receiver patch index"
    };
    const Case cases[] = {
        {"source 2", receiver, 2, RowWords{sync, 0x641C0002, 0x6401C640, 0x61580000, 0x40A0000C, ret, 0, 0, 0}},
        {"source 8191", receiver, 8191, RowWords{sync, 0x641C1FFF, 0x6401C640, 0x61580000, 0x40A0000C, ret, 0, 0, 0}},
        {"replaces the low 13 bits", {1, {sync, 0x641C3FFF, ret}}, 5, RowWords{sync, 0x641C2005, ret}},
        {"patch index 7", {7, {sync, ret, 0, 0, 0, 0, 0, 0x641C1FFF}}, 5,
         RowWords{sync, ret, 0, 0, 0, 0, 0, 0x641C0005, 0}},
        {"value 8192", receiver, 8192, std::nullopt},
        {"value 65535", receiver, 65535, std::nullopt},
        {"patch index 8", {8, receiver.words}, 2, std::nullopt},
    };
    for (const Case& c : cases) {
        const auto row = finalize_point_receiver(c.receiver, c.value);
        if (c.expected) {
            ASSERT_TRUE(row) << c.name << ": " << row.error();
            EXPECT_EQ(hex(*row), hex(*c.expected)) << c.name;
        } else {
            EXPECT_EQ(error_of(row), schedule(invariant::point_receiver_patch_index)) << c.name;
        }
    }
}

// The order the scheduler uses for a point-to-point transfer: build, give
// the receiver its source, patch the address, prepare.
TEST(MulticastPlanTest, PreparesACompletedPointToPointTransfer) {
    const Topology topology = Topology::q480();
    const auto exchange = point_to_point(topology, 0, 1, 8);
    ASSERT_TRUE(exchange);
    const auto receiver = finalize_point_receiver(exchange->receiver, 0);
    ASSERT_TRUE(receiver);
    MulticastExchange completed{{*receiver}, exchange->sender_row};
    ASSERT_TRUE(patch_sender_address(completed.sender_row, 0x100));
    EXPECT_EQ(completed.sender_row[2], 0x78E00201U);
    const auto plan = MulticastPlan::prepare(completed);
    ASSERT_TRUE(plan);
    EXPECT_EQ(plan->sender_timing(), (SenderRowTiming{140, 148, 148}));
    ASSERT_EQ(plan->receive_timings().size(), 1U);
    EXPECT_EQ(plan->receive_timings()[0].source, 113U);
    EXPECT_EQ(plan->receive_timings()[0].pointer, 165U);
    EXPECT_EQ(plan->receive_timings()[0].horizon, 178U);
}

}  // namespace
}  // namespace vorn::exchange
