#pragma once
// The cycle model of the exchange fabric and the instruction rows of single
// transfers.
//
// time_to_mux says how many cycles after a sender's SEND the receiver's
// incoming-mux control (the XPIC control naming the sender) must take effect;
// direction says which way the sender drives its payload. On these two rest
// the row builders: point_to_point, multicast and paired_multicast each
// assemble the fixed-size rows (RowWords, nine words starting with SYNC 3) of
// one transfer, the sender's and every receiver's. The rows are completed and
// read back into timings by the functions of row_timing.hpp before the phase
// program builder places them.
//
// Tiles are logical tile numbers of the Topology given; the rows name tiles
// by physical id. Every failure is an ExchangeError, and nothing is returned
// partly built. All functions are pure.

#include <array>
#include <cstdint>
#include <iosfwd>
#include <span>
#include <vector>

#include <tl/expected.hpp>

#include "vorn/exchange/error.hpp"
#include "vorn/exchange/topology.hpp"
#include "vorn/exchange/words.hpp"

namespace vorn::exchange {

// ---------------------------------------------------------------------------
// Fields of a physical tile id (11 bits used) and the quantities the cycle
// model derives from them.

// Bits 6..10: 0..22 on Q480.
constexpr std::int32_t physical_row(std::uint16_t physical) noexcept { return (physical >> 6) & 0x1F; }
// Bits 2..5.
constexpr std::int32_t physical_column(std::uint16_t physical) noexcept { return (physical >> 2) & 0xF; }
// The half of the column range: 0 for columns 0..7, 1 for 8..15 (bit 5).
constexpr std::int32_t physical_half(std::uint16_t physical) noexcept { return physical_column(physical) >> 3; }
// The column folded onto 0..7, counted from the outer edge of its half.
constexpr std::int32_t physical_fold(std::uint16_t physical) noexcept {
    const std::int32_t column = physical_column(physical);
    return column < 8 ? column : 15 - column;
}
// Bit 1: the lane, the one bit in which the two tiles of a pair differ.
constexpr std::int32_t physical_lane(std::uint16_t physical) noexcept { return (physical >> 1) & 1; }
// Bit 0.
constexpr std::int32_t physical_parity(std::uint16_t physical) noexcept { return physical & 1; }

// The physical id of the other tile of a pair.
constexpr std::uint16_t pair_partner_physical(std::uint16_t physical) noexcept {
    return static_cast<std::uint16_t>(physical ^ 2U);
}

// The signed lateral distance the payload travels from sender to receiver
// (both physical ids); its sign gives the send direction.
constexpr std::int32_t lateral_offset(std::uint16_t sender, std::uint16_t receiver) noexcept {
    const bool aligned = physical_half(receiver) == physical_parity(receiver);
    const std::int32_t bias = physical_lane(receiver) == 0 ? (aligned ? 1 : 5) : (aligned ? 2 : 4);
    return bias + 6 * (physical_fold(receiver) - physical_fold(sender) -
                       (physical_parity(sender) ^ physical_half(sender)));
}

// The send direction from sender to receiver (physical ids): 1 when the
// lateral offset is positive, else 2.
constexpr std::uint8_t direction(std::uint16_t sender, std::uint16_t receiver) noexcept {
    return lateral_offset(sender, receiver) > 0 ? 1 : 2;
}

// Cycles by which the receiver's incoming-mux control follows the sender's
// SEND (physical ids). Over all pairs of distinct Q480 tiles the value lies
// in min_q480_time_to_mux..max_q480_time_to_mux.
constexpr std::int32_t time_to_mux(std::uint16_t sender, std::uint16_t receiver) noexcept {
    const std::int32_t sender_column = physical_column(sender);
    const std::int32_t hop = physical_half(sender) == physical_half(receiver) ? (sender_column % 8) + 1
                                                                             : 16 - (sender_column % 8);
    const std::int32_t lateral = lateral_offset(sender, receiver);
    return 8 * physical_half(sender) + 3 + 4 * physical_fold(sender) - physical_column(receiver) -
           4 * physical_fold(receiver) + hop + 2 * (physical_row(sender) - physical_row(receiver)) +
           (lateral < 0 ? -lateral : lateral) - 34;
}

inline constexpr std::int32_t min_q480_time_to_mux = -78;
inline constexpr std::int32_t max_q480_time_to_mux = 112;

// The point-to-point receiver waits this many cycles after its SYNC for the
// sender's payload; a sender whose mux delay reaches it cannot start early
// enough ("sender delay").
inline constexpr std::int32_t point_to_point_receive_wait = 112;

// A multicast's start delay and each receiver's mux delay must fit the
// 12-bit delay field of an XPIC control.
inline constexpr std::uint32_t max_multicast_cycle = max_xpic_delay;

// Placeholder receive pointer of multicast receiver rows; the scheduler
// writes the real receive address over it before the rows are prepared.
inline constexpr std::uint32_t multicast_pointer_placeholder = 0x14000;

// ---------------------------------------------------------------------------
// Transfer rows.

// The receiver row of a point-to-point transfer before its source is known:
// eight words, the one at patch_index an XPIC control whose 13-bit source
// value finalize_point_receiver (row_timing.hpp) fills in.
struct PointReceiverRow {
    std::uint32_t patch_index = 1;
    std::array<Word, 8> words{};

    friend constexpr bool operator==(const PointReceiverRow&, const PointReceiverRow&) noexcept = default;
};

struct PointToPointExchange {
    RowWords sender_row{};
    PointReceiverRow receiver{};

    friend constexpr bool operator==(const PointToPointExchange&, const PointToPointExchange&) noexcept = default;
};

struct MulticastExchange {
    std::vector<RowWords> receiver_rows;  // one per receiver, in the order of the receiver list
    RowWords sender_row{};

    friend bool operator==(const MulticastExchange&, const MulticastExchange&) = default;
};

// A point-to-point transfer of `count` 32-bit words. Checks, in order: count
// in 1..=max_exchange_words (Count), distinct endpoints (DuplicateTile), both
// tiles in the map (Tile, sender first), a mux delay below 113 ("sender
// delay"). The sender's source address and the receiver's source tile are
// left for patch_sender_address and finalize_point_receiver. Logs "assembled
// point-to-point exchange" at debug level.
tl::expected<PointToPointExchange, ExchangeError> point_to_point(const Topology& topology, std::uint16_t sender,
                                                                 std::uint16_t receiver, std::uint32_t count);

// A multicast of `count` 32-bit words to every receiver, the send starting
// `schedule_offset` cycles later than the earliest the receivers allow.
// Checks, in order: count (Count), sender in the map (Tile), a non-empty
// receiver set of distinct tiles in the map that is not just the sender
// (ReceiverSet), the start delay ("multicast start cycle"), each receiver's
// mux delay ("multicast receive cycle"). Receiver rows carry the placeholder
// receive pointer. Logs "assembled multicast exchange" at debug level.
tl::expected<MulticastExchange, ExchangeError> multicast(const Topology& topology, std::uint16_t sender,
                                                         std::span<const std::uint16_t> receivers,
                                                         std::uint32_t count, std::uint32_t schedule_offset);

// A multicast of `count` 64-bit items to whole pairs of tiles: the receiver
// list must consist of distinct tiles in the map whose partners are all in
// the list (ReceiverSet). The sender row is the multicast's with the paired
// send control set; each receiver row is paired_receiver_row with the common
// base timing of the receivers.
tl::expected<MulticastExchange, ExchangeError> paired_multicast(const Topology& topology, std::uint16_t sender,
                                                                std::span<const std::uint16_t> receivers,
                                                                std::uint32_t count);

// The receiver row of one tile of a paired multicast: the paired mux controls
// (only on the lane whose mux delay is the smaller of its pair), the paired
// format start, the paired receive pointer and the format end, encoded as
// one row. `base` is the common paired source timing of the multicast.
tl::expected<RowWords, ExchangeError> paired_receiver_row(const Topology& topology, std::uint16_t sender,
                                                          std::uint16_t receiver, std::uint32_t count,
                                                          std::int32_t base);

// Readable forms for test output.
std::ostream& operator<<(std::ostream& out, const PointReceiverRow& row);
std::ostream& operator<<(std::ostream& out, const PointToPointExchange& exchange);
std::ostream& operator<<(std::ostream& out, const MulticastExchange& exchange);

}  // namespace vorn::exchange
