#pragma once
// Completing the rows of one transfer and reading them back into timings.
//
// The row builders (timing.hpp) leave the sender's source address and, for a
// point-to-point receiver, the source tile open. patch_sender_address,
// set_sender_control and finalize_point_receiver fill them in; then
// sender_row_timing and receive_row_timing decode a row into the cycle
// offsets of its payload and its receive controls, and MulticastPlan bundles
// these timings for the phase program builder.
//
// Cycles are 32-bit and counted from the end of the row's leading SYNC, plus
// `base` (0 for every caller of this system). A word takes the cycles of the
// word format: DELAY n + 1, XPIC and PIC controls their delay field + 1,
// sends their item count, SYNC and RETURN none. Every failure is an
// ExchangeError; a mutator that fails leaves its row unchanged.

#include <cstdint>
#include <iosfwd>
#include <optional>
#include <span>
#include <utility>
#include <vector>

#include <tl/expected.hpp>

#include "vorn/exchange/error.hpp"
#include "vorn/exchange/timing.hpp"
#include "vorn/exchange/words.hpp"

namespace vorn::exchange {

struct SenderRowTiming {
    std::uint32_t payload_start = 0;  // the first payload SEND (Explicit or Offset) begins
    std::uint32_t payload_end = 0;    // the last payload SEND ends
    std::uint32_t horizon = 0;        // the last word before RETURN ends

    friend constexpr bool operator==(const SenderRowTiming&, const SenderRowTiming&) noexcept = default;
};

struct ReceiveRowTiming {
    std::vector<ReceiveEvent> events;            // in row order
    std::optional<std::uint32_t> source;         // the XPIC control selecting the source tile
    std::optional<std::uint32_t> teardown;       // the XPIC teardown
    std::optional<std::uint32_t> format_start;   // the paired format start (format value 1 or 2)
    std::optional<std::uint32_t> format_end;     // the paired format end (format value 0)
    std::optional<std::uint32_t> pointer;        // the receive-pointer control
    std::optional<std::uint32_t> pointer_address;  // byte address that control sets, at most 0xFFFFC
    std::uint32_t horizon = 0;                   // the last word before RETURN ends
    bool paired = false;                         // a 64-bit receive (the row opens a paired format)

    friend bool operator==(const ReceiveRowTiming&, const ReceiveRowTiming&) = default;
};

// The payload and horizon of a sender row. Fails with "sender row entry"
// (no SYNC 3 first), "sender row return" (no RETURN in words 1..8), "sender
// event horizon overflow" (the cycles pass 2^32 - 1) or "sender payload" (no
// Explicit or Offset SEND).
tl::expected<SenderRowTiming, ExchangeError> sender_row_timing(const RowWords& row, std::uint32_t base = 0);

// The receive events of a receiver row and the times of its controls. The
// row is either ordinary (a source and a teardown) or paired (a format start
// and end; its pointer is then a PairedPicPointer). Fails with "receive row
// entry", "receive row return", "receive event horizon overflow", one of the
// "multiple ..." names for a second control of a role, "paired receive
// format value", "incomplete paired receive format" or "incomplete ordinary
// receive mux".
tl::expected<ReceiveRowTiming, ExchangeError> receive_row_timing(const RowWords& row, std::uint32_t base = 0);

// The timings of one transfer, ready for the phase program builder. The plan
// refers to the exchange it was prepared from, which must outlive it
// unchanged.
class MulticastPlan {
public:
    // sender_row_timing of the sender row, then receive_row_timing of every
    // receiver row, all with base 0; the first error is returned.
    static tl::expected<MulticastPlan, ExchangeError> prepare(const MulticastExchange& exchange);
    static tl::expected<MulticastPlan, ExchangeError> prepare(const MulticastExchange&& exchange) = delete;

    // One per receiver row, in receiver order.
    std::span<const ReceiveRowTiming> receive_timings() const noexcept { return receive_timings_; }
    const MulticastExchange& exchange() const noexcept { return *exchange_; }
    const SenderRowTiming& sender_timing() const noexcept { return sender_timing_; }

private:
    MulticastPlan(std::vector<ReceiveRowTiming> receive_timings, const MulticastExchange& exchange,
                  SenderRowTiming sender_timing) noexcept
        : receive_timings_(std::move(receive_timings)), exchange_(&exchange), sender_timing_(sender_timing) {}

    std::vector<ReceiveRowTiming> receive_timings_;
    const MulticastExchange* exchange_;
    SenderRowTiming sender_timing_;
};

// Sets the send control (1..7, else "send control") of every send in the row
// that carries one: Explicit and Offset SENDs, and SENDPICPs with a non-zero
// send control. "sender payload" when the row has none.
tl::expected<void, ExchangeError> set_sender_control(RowWords& row, std::uint8_t control);

// Writes the source byte address into the row's first Explicit SEND, in
// units of 4 bytes, or 8 for a send of 64-bit items. Fails with Address when
// the row has no Explicit SEND, or the address is not a multiple of the unit
// or its unit count does not fit the 18-bit operand.
tl::expected<void, ExchangeError> patch_sender_address(RowWords& row, std::uint32_t address);

// The receiver row of a point-to-point transfer with the source tile (the
// sender's physical id, below 8192) written into its patch control, padded to
// nine words. "point receiver patch index" for a patch index of 8 or more or
// a value of 8192 or more.
tl::expected<RowWords, ExchangeError> finalize_point_receiver(const PointReceiverRow& receiver, std::uint16_t value);

// Readable forms for test output.
std::ostream& operator<<(std::ostream& out, const SenderRowTiming& timing);
std::ostream& operator<<(std::ostream& out, const ReceiveRowTiming& timing);

}  // namespace vorn::exchange
