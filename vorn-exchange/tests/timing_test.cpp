// The cycle model of the fabric and the rows of single transfers: the
// worked examples word for word, the boundaries of every check, the order of
// the checks, and the relations between the rows that every schedule relies
// on (each receiver's controls come at fixed distances from the SEND).

#include "log_capture.hpp"
#include "vorn/exchange/timing.hpp"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <limits>
#include <memory>
#include <optional>
#include <random>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include <unistd.h>

#include <fmt/format.h>
#include <gtest/gtest.h>

#include "test_support.hpp"
#include "vorn/exchange/row_timing.hpp"
#include "vorn/runtime/logging.hpp"

namespace vorn::exchange {
namespace {

using testing::error_of;
using testing::hex;

const Topology& q480() {
    static const Topology topology = Topology::q480();
    return topology;
}

std::uint16_t logical_of(const Topology& topology, std::uint16_t physical) {
    const auto ids = topology.physical_ids();
    const auto found = std::find(ids.begin(), ids.end(), physical);
    EXPECT_NE(found, ids.end()) << "physical " << physical;
    return static_cast<std::uint16_t>(found - ids.begin());
}

// The first ordered pair of distinct Q480 tiles (logical) whose mux delay is
// `mux`.
std::optional<std::pair<std::uint16_t, std::uint16_t>> q480_pair_with_mux(std::int32_t mux) {
    const auto ids = q480().physical_ids();
    for (std::uint16_t s = 0; s < ids.size(); ++s) {
        for (std::uint16_t d = 0; d < ids.size(); ++d) {
            if (s != d && time_to_mux(ids[s], ids[d]) == mux) {
                return std::pair{s, d};
            }
        }
    }
    return std::nullopt;
}

// ---------------------------------------------------------------------------
// The cycle model.

TEST(FabricTimingTest, WorkedExamples) {
    struct Case {
        std::uint16_t sender;
        std::uint16_t receiver;
        std::int32_t mux;
        std::int32_t lateral;
        std::uint8_t direction;
    };
    const Case cases[] = {
        {0, 2, -28, 2, 1},
        {0, 64, -31, 1, 1},
        {1471, 0, 31, 1, 1},
        {100, 200, 31, -29, 2},
        {128, 0, -25, 1, 1},
        {128, 2, -24, 2, 1},
        {0, 0, -29, 1, 1},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(time_to_mux(c.sender, c.receiver), c.mux) << c.sender << " -> " << c.receiver;
        EXPECT_EQ(lateral_offset(c.sender, c.receiver), c.lateral) << c.sender << " -> " << c.receiver;
        EXPECT_EQ(direction(c.sender, c.receiver), c.direction) << c.sender << " -> " << c.receiver;
    }
}

TEST(FabricTimingTest, PhysicalIdFields) {
    // 1471 = row 22, column 15, lane 1, parity 1; 100 = row 1, column 9.
    EXPECT_EQ(physical_row(1471), 22);
    EXPECT_EQ(physical_column(1471), 15);
    EXPECT_EQ(physical_half(1471), 1);
    EXPECT_EQ(physical_fold(1471), 0);
    EXPECT_EQ(physical_lane(1471), 1);
    EXPECT_EQ(physical_parity(1471), 1);
    EXPECT_EQ(physical_fold(100), 6);
    EXPECT_EQ(physical_half(100), 1);
    EXPECT_EQ(physical_fold(200), 2);
    EXPECT_EQ(pair_partner_physical(1409), 1411);
}

TEST(FabricTimingTest, Q480MuxDelaysSpanExactlyTheirRange) {
    const auto ids = q480().physical_ids();
    std::int32_t low = std::numeric_limits<std::int32_t>::max();
    std::int32_t high = std::numeric_limits<std::int32_t>::min();
    for (const std::uint16_t s : ids) {
        for (const std::uint16_t d : ids) {
            if (s != d) {
                const std::int32_t mux = time_to_mux(s, d);
                low = std::min(low, mux);
                high = std::max(high, mux);
            }
        }
    }
    EXPECT_EQ(low, min_q480_time_to_mux);
    EXPECT_EQ(high, max_q480_time_to_mux);
    // So no Q480 pair reaches the "sender delay" failure (a delay of 113).
    EXPECT_LT(high, 113);
}

// ---------------------------------------------------------------------------
// Point-to-point rows.

struct RowCase {
    std::uint32_t count;
    RowWords sender;
    std::array<Word, 8> receiver;
};

TEST(PointToPointTest, RowsFromLogical0To1) {
    // Physical 0 -> 2: mux delay -28, direction 1, receiver row 0.
    const RowCase cases[] = {
        // The worked example: DELAY of 140 cycles, SEND of 8 items; XPIC 112,
        // teardown 7, PIC 43, DELAY of 13 cycles.
        {8,
         {0x41800003, 0x40A0008B, 0x78E00001, 0x43A00000, 0, 0, 0, 0, 0},
         {0x41800003, 0x641C0000, 0x6401C640, 0x61580000, 0x40A0000C, 0x43A00000, 0, 0}},
        {1,
         {0x41800003, 0x40A0008B, 0x78000001, 0x43A00000, 0, 0, 0, 0, 0},
         {0x41800003, 0x641C0000, 0x64000640, 0x61900000, 0x40A00005, 0x43A00000, 0, 0}},
        // Below 52 items: XPIC teardown before the PIC pointer.
        {51,
         {0x41800003, 0x40A0008B, 0x7E400001, 0x43A00000, 0, 0, 0, 0, 0},
         {0x41800003, 0x641C0000, 0x640C8640, 0x60000000, 0x40A00037, 0x43A00000, 0, 0}},
        // From 52 items: PIC pointer first, then the teardown, DELAY of 57.
        {52,
         {0x41800003, 0x40A0008B, 0x7E600001, 0x43A00000, 0, 0, 0, 0, 0},
         {0x41800003, 0x641C0000, 0x61980000, 0x64000640, 0x40A00038, 0x43A00000, 0, 0}},
        {54,
         {0x41800003, 0x40A0008B, 0x7EA00001, 0x43A00000, 0, 0, 0, 0, 0},
         {0x41800003, 0x641C0000, 0x61980000, 0x64004640, 0x40A00038, 0x43A00000, 0, 0}},
        // 64 items fit the Explicit SEND; 65 need a continuation of 1 item
        // (0 in both count fields).
        {64,
         {0x41800003, 0x40A0008B, 0x7FE00001, 0x43A00000, 0, 0, 0, 0, 0},
         {0x41800003, 0x641C0000, 0x61980000, 0x6402C640, 0x40A00038, 0x43A00000, 0, 0}},
        {65,
         {0x41800003, 0x40A0008B, 0x7FE00001, 0x70000001, 0x43A00000, 0, 0, 0, 0},
         {0x41800003, 0x641C0000, 0x61980000, 0x64030640, 0x40A00038, 0x43A00000, 0, 0}},
        // The longest transfer: continuation of 4084 items (count - 1 =
        // 0xFF3: low six bits 0x33, high six bits 0x3F); teardown delay 4095.
        {4148,
         {0x41800003, 0x40A0008B, 0x7FE00001, 0x766FC001, 0x43A00000, 0, 0, 0, 0},
         {0x41800003, 0x641C0000, 0x61980000, 0x67FFC640, 0x40A00038, 0x43A00000, 0, 0}},
    };
    for (const RowCase& c : cases) {
        const auto exchange = point_to_point(q480(), 0, 1, c.count);
        ASSERT_TRUE(exchange) << "count " << c.count << ": " << exchange.error();
        EXPECT_EQ(hex(exchange->sender_row), hex(c.sender)) << "count " << c.count;
        EXPECT_EQ(exchange->receiver.patch_index, 1U) << "count " << c.count;
        EXPECT_EQ(hex(exchange->receiver.words), hex(c.receiver)) << "count " << c.count;
    }
}

TEST(PointToPointTest, ReceiverPointerDelayFollowsTheReceiverRow) {
    // Logical 0 -> 2 is physical 0 -> 64 (row 1, mux delay -31): the sender
    // waits 143 cycles and the PIC delay grows by 2 per row.
    const auto exchange = point_to_point(q480(), 0, 2, 8);
    ASSERT_TRUE(exchange);
    EXPECT_EQ(hex(exchange->sender_row), hex(RowWords{0x41800003, 0x40A0008E, 0x78E00001, 0x43A00000}));
    EXPECT_EQ(exchange->receiver.words[3], 0x61680000U);
}

TEST(PointToPointTest, LatestSenderHasNoLeadingDelayAndPadsShortMessages) {
    // A pair with the largest Q480 mux delay, 112: the SEND comes right after
    // the SYNC; while 112 - count > 106 a DELAY keeps the sender running for
    // 6 cycles.
    const auto pair = q480_pair_with_mux(112);
    ASSERT_TRUE(pair);
    const auto [sender, receiver] = *pair;
    const Word control = direction(q480().physical_ids()[sender], q480().physical_ids()[receiver]);
    struct Case {
        std::uint32_t count;
        RowWords row;
    };
    const Case cases[] = {
        {1, {0x41800003, 0x78000000 | control, 0x40A00004, 0x43A00000}},
        {5, {0x41800003, 0x78800000 | control, 0x40A00000, 0x43A00000}},
        {6, {0x41800003, 0x78A00000 | control, 0x43A00000}},
    };
    for (const Case& c : cases) {
        const auto exchange = point_to_point(q480(), sender, receiver, c.count);
        ASSERT_TRUE(exchange) << exchange.error();
        EXPECT_EQ(hex(exchange->sender_row), hex(c.row)) << "count " << c.count;
        const auto timing = sender_row_timing(exchange->sender_row);
        ASSERT_TRUE(timing);
        EXPECT_EQ(timing->horizon, std::max<std::uint32_t>(c.count, 6)) << "count " << c.count;
    }
}

TEST(PointToPointTest, MuxDelayBeyond112FailsWithSenderDelay) {
    // Q480 never gets there, but a map with rows up to 31 does.
    std::optional<std::pair<std::uint16_t, std::uint16_t>> found;
    for (std::uint16_t s = 0; s < 2048 && !found; ++s) {
        for (std::uint16_t d = 0; d < 2048; ++d) {
            if (time_to_mux(s, d) == 113) {
                found = std::pair{s, d};
                break;
            }
        }
    }
    ASSERT_TRUE(found);
    const auto topology = Topology::create({found->first, found->second});
    ASSERT_TRUE(topology);
    EXPECT_EQ(error_of(point_to_point(*topology, 0, 1, 8)), ExchangeError::schedule(invariant::sender_delay));
}

TEST(PointToPointTest, ChecksInOrder) {
    struct Case {
        std::uint16_t sender;
        std::uint16_t receiver;
        std::uint32_t count;
        ExchangeError expected;
    };
    const Case cases[] = {
        {0, 1, 0, ExchangeError::count(0)},
        {0, 1, 4149, ExchangeError::count(4149)},
        {0, 1, 0xFFFFFFFF, ExchangeError::count(0xFFFFFFFF)},
        // A zero count with equal endpoints reports the count.
        {3, 3, 0, ExchangeError::count(0)},
        {3, 3, 8, ExchangeError::duplicate_tile()},
        {1472, 1472, 8, ExchangeError::duplicate_tile()},
        {1472, 1473, 8, ExchangeError::tile(1472)},
        {0, 1472, 8, ExchangeError::tile(1472)},
        {2000, 0, 8, ExchangeError::tile(2000)},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(error_of(point_to_point(q480(), c.sender, c.receiver, c.count)), c.expected)
            << c.sender << " -> " << c.receiver << " count " << c.count;
    }
}

// ---------------------------------------------------------------------------
// Multicast rows.

struct MulticastCase {
    std::string_view name;
    std::uint16_t sender;
    std::vector<std::uint16_t> receivers;
    std::uint32_t count;
    std::uint32_t offset;
    RowWords sender_row;
    std::vector<RowWords> receiver_rows;
};

TEST(MulticastTest, Rows) {
    const std::uint16_t far_corner = logical_of(q480(), 1471);
    const MulticastCase cases[] = {
        // The worked example: mux delays -28 and -31, start 31, both
        // directions; the receivers' XPIC delays 3 and 0, PIC delays 43 and
        // 45 (row 1), the placeholder pointer 0x14000.
        {"worked example",
         0,
         {1, 2},
         8,
         0,
         {0x41800003, 0x40A0001E, 0x78E00003, 0x43A00000},
         {{0x41800003, 0x6400C000, 0x6401C640, 0x61594000, 0x40A0000C, 0x43A00000},
          {0x41800003, 0x64000000, 0x6401C640, 0x61694000, 0x40A0000C, 0x43A00000}}},
        // One receiver: its direction; 51 items keep the teardown before the
        // pointer, 52 move it after.
        {"51 items",
         0,
         {1},
         51,
         0,
         {0x41800003, 0x40A0001B, 0x7E400001, 0x43A00000},
         {{0x41800003, 0x64000000, 0x640C8640, 0x60014000, 0x40A00037, 0x43A00000}}},
        {"52 items",
         0,
         {1},
         52,
         0,
         {0x41800003, 0x40A0001B, 0x7E600001, 0x43A00000},
         {{0x41800003, 0x64000000, 0x61994000, 0x64000640, 0x40A00038, 0x43A00000}}},
        {"65 items",
         0,
         {1},
         65,
         0,
         {0x41800003, 0x40A0001B, 0x7FE00001, 0x70000001, 0x43A00000},
         {{0x41800003, 0x64000000, 0x61994000, 0x64030640, 0x40A00038, 0x43A00000}}},
        // The receiver's mux control names the sender's physical id (66).
        {"source physical id",
         3,
         {0},
         8,
         0,
         {0x41800003, 0x40A0001A, 0x78E00001, 0x43A00000},
         {{0x41800003, 0x64000042, 0x6401C640, 0x61594000, 0x40A0000C, 0x43A00000}}},
        // A schedule offset delays the send and every mux control.
        {"schedule offset 5",
         0,
         {1},
         8,
         5,
         {0x41800003, 0x40A00020, 0x78E00001, 0x43A00000},
         {{0x41800003, 0x64014000, 0x6401C640, 0x61594000, 0x40A0000C, 0x43A00000}}},
        // Mux delay 31 >= 0: no start delay; a message shorter than 6 cycles
        // is padded to 6.
        {"1 item, no start delay",
         far_corner,
         {0},
         1,
         0,
         {0x41800003, 0x78000001, 0x40A00004, 0x43A00000},
         {{0x41800003, 0x6407C5BF, 0x64000640, 0x61914000, 0x40A00005, 0x43A00000}}},
        {"5 items, no start delay",
         far_corner,
         {0},
         5,
         0,
         {0x41800003, 0x78800001, 0x40A00000, 0x43A00000},
         {{0x41800003, 0x6407C5BF, 0x64010640, 0x61714000, 0x40A00009, 0x43A00000}}},
        {"6 items, no start delay",
         far_corner,
         {0},
         6,
         0,
         {0x41800003, 0x78A00001, 0x43A00000},
         {{0x41800003, 0x6407C5BF, 0x64014640, 0x61694000, 0x40A0000A, 0x43A00000}}},
        {"start 2 + 3 items padded",
         far_corner,
         {0},
         3,
         2,
         {0x41800003, 0x40A00001, 0x78400001, 0x40A00000, 0x43A00000},
         {{0x41800003, 0x640845BF, 0x64008640, 0x61814000, 0x40A00007, 0x43A00000}}},
        // The sender among several receivers is allowed.
        {"sender among the receivers",
         0,
         {0, 1},
         8,
         0,
         {0x41800003, 0x40A0001C, 0x78E00003, 0x43A00000},
         {{0x41800003, 0x64000000, 0x6401C640, 0x61594000, 0x40A0000C, 0x43A00000},
          {0x41800003, 0x64004000, 0x6401C640, 0x61594000, 0x40A0000C, 0x43A00000}}},
    };
    for (const MulticastCase& c : cases) {
        const auto exchange = multicast(q480(), c.sender, c.receivers, c.count, c.offset);
        ASSERT_TRUE(exchange) << c.name << ": " << exchange.error();
        EXPECT_EQ(hex(exchange->sender_row), hex(c.sender_row)) << c.name;
        ASSERT_EQ(exchange->receiver_rows.size(), c.receiver_rows.size()) << c.name;
        for (std::size_t i = 0; i < c.receiver_rows.size(); ++i) {
            EXPECT_EQ(hex(exchange->receiver_rows[i]), hex(c.receiver_rows[i])) << c.name << ", receiver " << i;
        }
    }
}

TEST(MulticastTest, ChecksInOrder) {
    const std::uint16_t far_corner = logical_of(q480(), 1471);  // mux delay 31 to logical 0
    struct Case {
        std::string_view name;
        std::uint16_t sender;
        std::vector<std::uint16_t> receivers;
        std::uint32_t count;
        std::uint32_t offset;
        std::optional<ExchangeError> expected;
    };
    const ExchangeError start_cycle = ExchangeError::schedule(invariant::multicast_start_cycle);
    const ExchangeError receive_cycle = ExchangeError::schedule(invariant::multicast_receive_cycle);
    const Case cases[] = {
        {"zero count first", 1472, {}, 0, 0, ExchangeError::count(0)},
        {"4149 items", 0, {1}, 4149, 0, ExchangeError::count(4149)},
        {"4148 items", 0, {1}, 4148, 0, std::nullopt},
        {"sender outside before the receivers", 1472, {}, 8, 0, ExchangeError::tile(1472)},
        {"no receivers", 0, {}, 8, 0, ExchangeError::receiver_set()},
        {"only the sender", 5, {5}, 8, 0, ExchangeError::receiver_set()},
        {"receiver repeated", 0, {1, 2, 1}, 8, 0, ExchangeError::receiver_set()},
        {"receiver outside", 0, {1, 1472}, 8, 0, ExchangeError::receiver_set()},
        {"receiver set before the start cycle", 0, {1, 1}, 8, 5000, ExchangeError::receiver_set()},
        // Start delay 28 + offset: 4095 is the largest.
        {"start 4095", 0, {1}, 8, 4067, std::nullopt},
        {"start 4096", 0, {1}, 8, 4068, start_cycle},
        {"offset overflowing 32 bits", 0, {1}, 8, 0xFFFFFFFF, start_cycle},
        // No start delay: the receiver's mux delay is 31 + offset.
        {"receive 4095", far_corner, {0}, 8, 4064, std::nullopt},
        {"receive 4096", far_corner, {0}, 8, 4065, receive_cycle},
        {"receive cycle with a valid start", far_corner, {0}, 8, 4095, receive_cycle},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(error_of(multicast(q480(), c.sender, c.receivers, c.count, c.offset)), c.expected) << c.name;
    }
}

// ---------------------------------------------------------------------------
// Paired multicast rows.

TEST(PairedMulticastTest, RowsOfOnePairOnOneSide) {
    // Sender logical 4 (physical 128) to the pair logical 0 and 1 (physical 0
    // and 2): mux delays -25 and -24, so the multicast starts at 25 and the
    // base timing is -24; both receivers start at P = 1. Physical 0 has the
    // smaller delay and drives the mux: paired source at 1 (source 128),
    // teardown at 9; both get the format start at 52 (direction 1), the
    // pointer at 54 and the format end at 60, and end at 67.
    const std::vector<std::uint16_t> receivers{0, 1};
    const auto exchange = paired_multicast(q480(), 4, receivers, 8);
    ASSERT_TRUE(exchange) << exchange.error();
    EXPECT_EQ(hex(exchange->sender_row), hex(RowWords{0x41800003, 0x40A00018, 0x78E00005, 0x43A00000}));
    ASSERT_EQ(exchange->receiver_rows.size(), 2U);
    EXPECT_EQ(hex(exchange->receiver_rows[0]),
              hex(RowWords{0x41800003, 0x64002080, 0x6401E640, 0x61540001, 0x60080000, 0x602C0000, 0x40A00006,
                           0x43A00000, 0}));
    EXPECT_EQ(hex(exchange->receiver_rows[1]),
              hex(RowWords{0x41800003, 0x619C0001, 0x60080000, 0x602C0000, 0x40A00006, 0x43A00000}));
    for (std::size_t i = 0; i < receivers.size(); ++i) {
        const auto row = paired_receiver_row(q480(), 4, receivers[i], 8, -24);
        ASSERT_TRUE(row);
        EXPECT_EQ(hex(*row), hex(exchange->receiver_rows[i])) << "receiver " << i;
    }
}

TEST(PairedMulticastTest, SendControl) {
    struct Case {
        std::string_view name;
        std::uint16_t sender;
        std::vector<std::uint16_t> receivers;
        std::uint32_t count;
        RowWords sender_row;
    };
    const Case cases[] = {
        // One pair on one side of the sender: its direction plus 64-bit.
        {"one pair", 4, {1, 0}, 8, {0x41800003, 0x40A00018, 0x78E00005, 0x43A00000}},
        // Two pairs, or a pair holding the sender: both directions, 64-bit.
        // Every send word gets the control.
        {"two pairs", 4, {0, 1, 2, 3}, 65, {0x41800003, 0x40A0001A, 0x7FE00007, 0x70000007, 0x43A00000}},
        {"the sender's own pair", 0, {0, 1}, 8, {0x41800003, 0x40A0001C, 0x78E00007, 0x43A00000}},
    };
    for (const Case& c : cases) {
        const auto exchange = paired_multicast(q480(), c.sender, c.receivers, c.count);
        ASSERT_TRUE(exchange) << c.name << ": " << exchange.error();
        EXPECT_EQ(hex(exchange->sender_row), hex(c.sender_row)) << c.name;
        EXPECT_EQ(exchange->receiver_rows.size(), c.receivers.size()) << c.name;
    }
}

TEST(PairedMulticastTest, ChecksInOrder) {
    // Physical 0 and 1 are not a pair: neither has a partner in this map.
    const auto unpaired = Topology::create({0, 1, 64, 66});
    ASSERT_TRUE(unpaired);
    struct Case {
        std::string_view name;
        const Topology* topology;
        std::uint16_t sender;
        std::vector<std::uint16_t> receivers;
        std::uint32_t count;
        ExchangeError expected;
    };
    const Case cases[] = {
        {"zero count first", &q480(), 1472, {0}, 0, ExchangeError::count(0)},
        {"4149 items", &q480(), 4, {0, 1}, 4149, ExchangeError::count(4149)},
        {"no receivers", &q480(), 4, {}, 8, ExchangeError::receiver_set()},
        {"three receivers", &q480(), 4, {0, 1, 2}, 8, ExchangeError::receiver_set()},
        {"partners missing", &q480(), 4, {0, 2}, 8, ExchangeError::receiver_set()},
        {"pair and a stranger", &q480(), 4, {0, 1, 2, 5}, 8, ExchangeError::receiver_set()},
        {"receiver repeated", &q480(), 4, {0, 1, 0, 1}, 8, ExchangeError::receiver_set()},
        {"receiver outside", &q480(), 4, {0, 1472}, 8, ExchangeError::receiver_set()},
        {"no partner in the map", &*unpaired, 2, {0, 1}, 8, ExchangeError::receiver_set()},
        {"receiver set before the sender", &q480(), 1472, {0, 2}, 8, ExchangeError::receiver_set()},
        // The multicast's errors pass through.
        {"sender outside", &q480(), 1472, {0, 1}, 8, ExchangeError::tile(1472)},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(error_of(paired_multicast(*c.topology, c.sender, c.receivers, c.count)), c.expected) << c.name;
    }
    // The pairs of the second map are fine.
    EXPECT_TRUE(paired_multicast(*unpaired, 0, std::vector<std::uint16_t>{2, 3}, 8));
}

TEST(PairedReceiverRowTest, Checks) {
    // Sender 4 -> receiver 0 or 1 as above: pair delay -24, P = -24 + max(1 -
    // base, 0), format start at P + 51.
    struct Case {
        std::string_view name;
        std::uint16_t sender;
        std::uint16_t receiver;
        std::uint32_t count;
        std::int32_t base;
        std::optional<ExchangeError> expected;
    };
    const auto schedule = [](InvariantName name) { return ExchangeError::schedule(name); };
    const Case cases[] = {
        {"sender outside", 1472, 1473, 8, -24, ExchangeError::tile(1472)},
        {"receiver outside", 4, 1473, 8, -24, ExchangeError::tile(1473)},
        {"negative start", 4, 1, 8, 1, schedule(invariant::paired_source_timing)},
        {"start -1", 4, 1, 8, -22, schedule(invariant::paired_source_timing)},
        {"start 0 without mux controls", 4, 1, 8, -23, std::nullopt},
        // The mux lane's source control at cycle 0 cannot be encoded; the
        // encoder's error passes through.
        {"start 0 with mux controls", 4, 0, 8, -23, schedule(invariant::receive_control_issue_interval)},
        // A start near 2^31 is computed without wrapping; the gap before it
        // takes thousands of DELAY words.
        {"the most negative base", 4, 0, 8, std::numeric_limits<std::int32_t>::min(),
         schedule(invariant::paired_receive_row_capacity)},
        // Zero items put the teardown on the source and the format end on
        // the format start; two items the format end on the pointer.
        {"zero items", 4, 0, 0, -24, schedule(invariant::paired_receive_coincident_controls)},
        {"zero items, other lane", 4, 1, 0, -24, schedule(invariant::paired_receive_coincident_controls)},
        {"two items", 4, 1, 2, -24, schedule(invariant::paired_receive_coincident_controls)},
        {"teardown on the format start", 4, 0, 51, -24, schedule(invariant::paired_receive_coincident_controls)},
        {"three items", 4, 1, 3, -24, std::nullopt},
        // Format end at 52 + count: the last event may be 0xFFFFFFF8; then
        // the gap needs thousands of DELAY words.
        {"last event 0xFFFFFFF8", 4, 1, 0xFFFFFFC4, -24, schedule(invariant::paired_receive_row_capacity)},
        {"last event 0xFFFFFFF9", 4, 1, 0xFFFFFFC5, -24, schedule(invariant::paired_receive_horizon_overflow)},
        {"count overflowing 32 bits", 4, 0, 0xFFFFFFFF, -24, schedule(invariant::paired_receive_horizon_overflow)},
        // Pointer at 54, format end at 52 + count: the PIC control takes 128
        // cycles, three DELAY words 3 * 0x80000 more; nine words in all.
        {"nine words", 4, 1, 0x180082, -24, std::nullopt},
        {"ten words", 4, 1, 0x180083, -24, schedule(invariant::paired_receive_row_capacity)},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(error_of(paired_receiver_row(q480(), c.sender, c.receiver, c.count, c.base)), c.expected)
            << c.name;
    }
    const auto nine = paired_receiver_row(q480(), 4, 1, 0x180082, -24);
    ASSERT_TRUE(nine);
    EXPECT_EQ(hex(*nine), hex(RowWords{0x41800003, 0x619C0001, 0x60080000, 0x40A7FFFF, 0x40A7FFFF, 0x40A7FFFF,
                                       0x63FC0000, 0x40A00006, 0x43A00000}));
}

// ---------------------------------------------------------------------------
// What the placement relies on: read back into timings, every receiver's mux
// control takes effect one cycle after mux delay cycles have passed from the
// start of the SEND, and its receive pointer 2 * row + 52 cycles after that;
// the two builders of ordinary transfers agree.

TEST(TransferRowsTest, ReceiveControlsKeepTheirDistanceFromTheSend) {
    const auto ids = q480().physical_ids();
    std::mt19937 random(20240611);
    std::uniform_int_distribution<std::uint16_t> tile(0, static_cast<std::uint16_t>(ids.size() - 1));
    std::uniform_int_distribution<std::uint32_t> count(1, max_exchange_words);
    std::uniform_int_distribution<std::size_t> fan_out(1, 6);
    for (int round = 0; round < 400; ++round) {
        const std::uint16_t sender = tile(random);
        std::vector<std::uint16_t> receivers;
        const std::size_t wanted = fan_out(random);
        while (receivers.size() < wanted) {
            const std::uint16_t receiver = tile(random);
            if (receiver != sender && std::find(receivers.begin(), receivers.end(), receiver) == receivers.end()) {
                receivers.push_back(receiver);
            }
        }
        const std::uint32_t items = round % 4 == 0 ? count(random) % 80 + 1 : count(random);
        const std::uint16_t source = ids[sender];
        const std::string context = fmt::format("sender {} receivers {} count {}", sender, fmt::join(receivers, ","),
                                                items);

        auto check = [&](const RowWords& sender_row, const RowWords& receiver_row, std::uint16_t receiver) {
            const auto send = sender_row_timing(sender_row);
            const auto receive = receive_row_timing(receiver_row);
            ASSERT_TRUE(send && receive) << context;
            const std::uint16_t target = ids[receiver];
            EXPECT_EQ(send->payload_end - send->payload_start, items) << context;
            EXPECT_GE(send->horizon, 6U) << context;
            ASSERT_TRUE(receive->source && receive->teardown && receive->pointer) << context;
            EXPECT_EQ(std::int64_t{*receive->source} - send->payload_start, time_to_mux(source, target) + 1)
                << context;
            EXPECT_EQ(*receive->pointer - *receive->source, static_cast<std::uint32_t>(2 * physical_row(target) + 52))
                << context;
            EXPECT_GT(*receive->teardown, *receive->source) << context;
            EXPECT_FALSE(receive->paired) << context;
        };

        const auto single = point_to_point(q480(), sender, receivers[0], items);
        ASSERT_TRUE(single) << context << ": " << single.error();
        const auto finalized = finalize_point_receiver(single->receiver, source);
        ASSERT_TRUE(finalized);
        check(single->sender_row, *finalized, receivers[0]);

        const auto many = multicast(q480(), sender, receivers, items, 0);
        ASSERT_TRUE(many) << context << ": " << many.error();
        for (std::size_t i = 0; i < receivers.size(); ++i) {
            check(many->sender_row, many->receiver_rows[i], receivers[i]);
        }
    }
}

TEST(TransferRowsTest, PairedRowsReadBackAsPairedReceives) {
    // The receivers of a paired multicast start at their pair's later mux
    // delay, all shifted so that the earliest starts at cycle 1 or later;
    // exactly the lane with the smaller mux delay carries the
    // paired mux controls, and the format spans the items.
    const auto ids = q480().physical_ids();
    std::mt19937 random(7);
    std::uniform_int_distribution<std::uint16_t> pair_of(0, static_cast<std::uint16_t>(ids.size() / 2 - 1));
    std::uniform_int_distribution<std::uint32_t> count(3, 400);
    for (int round = 0; round < 300; ++round) {
        const std::uint16_t sender = static_cast<std::uint16_t>(pair_of(random) * 2 + round % 2);
        std::vector<std::uint16_t> receivers;
        const int pairs = 1 + round % 3;
        while (receivers.size() < static_cast<std::size_t>(2 * pairs)) {
            const auto first = static_cast<std::uint16_t>(pair_of(random) * 2);
            if (std::find(receivers.begin(), receivers.end(), first) == receivers.end()) {
                receivers.push_back(first);
                receivers.push_back(static_cast<std::uint16_t>(first + 1));
            }
        }
        const std::uint32_t items = count(random);
        const std::string context = fmt::format("sender {} receivers {} count {}", sender, fmt::join(receivers, ","),
                                                items);
        const auto exchange = paired_multicast(q480(), sender, receivers, items);
        if (!exchange) {
            // Only coincident controls can stop a Q480 paired row here.
            EXPECT_EQ(exchange.error(), ExchangeError::schedule(invariant::paired_receive_coincident_controls))
                << context;
            continue;
        }
        const auto send = sender_row_timing(exchange->sender_row);
        ASSERT_TRUE(send) << context;
        EXPECT_EQ(send->payload_end - send->payload_start, items) << context;
        std::uint32_t earliest_start = std::numeric_limits<std::uint32_t>::max();
        std::int32_t base = std::numeric_limits<std::int32_t>::max();
        for (const std::uint16_t receiver : receivers) {
            const std::uint16_t target = ids[receiver];
            base = std::min(base, std::max(time_to_mux(ids[sender], target),
                                           time_to_mux(ids[sender], pair_partner_physical(target))));
        }
        for (std::size_t i = 0; i < receivers.size(); ++i) {
            const auto receive = receive_row_timing(exchange->receiver_rows[i]);
            ASSERT_TRUE(receive) << context << ": " << receive.error();
            const std::uint16_t source = ids[sender];
            const std::uint16_t target = ids[receivers[i]];
            EXPECT_TRUE(receive->paired) << context;
            ASSERT_TRUE(receive->format_start && receive->format_end && receive->pointer) << context;
            EXPECT_EQ(*receive->pointer, *receive->format_start + 2) << context;
            EXPECT_EQ(*receive->format_end, *receive->format_start + items) << context;
            const std::uint32_t start =
                *receive->format_start - static_cast<std::uint32_t>(2 * physical_row(target) + 51);
            earliest_start = std::min(earliest_start, start);
            const bool drives_mux = time_to_mux(source, target) < time_to_mux(source, pair_partner_physical(target));
            EXPECT_EQ(receive->source.has_value(), drives_mux) << context;
            if (drives_mux) {
                EXPECT_EQ(*receive->source, start) << context;
                EXPECT_EQ(*receive->teardown, start + items) << context;
            }
        }
        EXPECT_EQ(earliest_start, static_cast<std::uint32_t>(std::max(base, 1))) << context;
    }
}

// ---------------------------------------------------------------------------
// The debug events of the row builders.

// Builds rows (some failing) and compares the events of this package they
// log (without timestamps); empty when they match.
std::string log_rows() {
    const Topology topology = Topology::q480();
    (void)point_to_point(topology, 0, 1, 8);
    (void)point_to_point(topology, 0, 1, 0);
    (void)multicast(topology, 0, std::vector<std::uint16_t>{1, 2}, 8, 0);
    (void)multicast(topology, 7, std::vector<std::uint16_t>{1}, 3, 12);
    (void)multicast(topology, 0, std::vector<std::uint16_t>{}, 8, 0);
    // A paired multicast logs the multicast it starts from.
    (void)paired_multicast(topology, 4, std::vector<std::uint16_t>{0, 1}, 8);
    return runtime::test_support::log_mismatch(
        "DEBUG vorn_exchange: assembled point-to-point exchange sender_logical=0 receiver_logical=1 count=8\n"
        "DEBUG vorn_exchange: assembled multicast exchange sender_logical=0 receiver_logical=[1, 2] count=8 "
        "schedule_offset=0\n"
        "DEBUG vorn_exchange: assembled multicast exchange sender_logical=7 receiver_logical=[1] count=3 "
        "schedule_offset=12\n"
        "DEBUG vorn_exchange: assembled multicast exchange sender_logical=4 receiver_logical=[0, 1] count=8 "
        "schedule_offset=0\n");
}

// In a freshly started copy of the test program, in which no other test has
// installed a subscriber yet.
TEST(TransferRowEventsDeathTest, SuccessfulBuildsLogTheirDebugEvent) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(runtime::test_support::run_logged("vorn_exchange=debug", log_rows), ::testing::ExitedWithCode(0),
                "");
}

}  // namespace
}  // namespace vorn::exchange
