#pragma once
// What a placed transfer does on each tile it involves, and how it was placed.
//
// Placing a transfer records one ExchangeActivity per tile role: a Send on its
// source tile, a PartnerBusy on the partner of a paired source (the tile whose
// transmitter the paired send borrows), and one Receive per destination, in
// destination order. The activity lists travel with the finished phase and
// are what the schedule validation checks. TransferPlacement keeps, per
// transfer, which earlier transfer and which tile decided its start; the
// critical-neighbourhood ordering walks these links.

#include <cstdint>
#include <iosfwd>
#include <optional>
#include <string_view>

#include <fmt/core.h>

namespace vorn::codegen {

// The role of a tile in one transfer, in its fixed order.
enum class ExchangeActivityKind : std::uint8_t {
    Send = 0,         // the source tile reads and transmits the payload
    Receive = 1,      // a destination tile writes the payload
    PartnerBusy = 2,  // the partner of a paired source, its transmitter borrowed
};

// The variant name: "Send", "Receive" or "PartnerBusy".
constexpr std::string_view debug_name(ExchangeActivityKind kind) noexcept {
    switch (kind) {
        case ExchangeActivityKind::Send:
            return "Send";
        case ExchangeActivityKind::Receive:
            return "Receive";
        case ExchangeActivityKind::PartnerBusy:
            return "PartnerBusy";
    }
    return "?";
}

// One entry of a tile's activity list. Cycles count from the phase start.
struct ExchangeActivity {
    std::uint32_t transfer = 0;    // position of the transfer in the pending sequence
    std::uint32_t start = 0;       // first cycle of the activity
    // Where the builder reports this part of the transfer complete;
    // [start, completion) is the activity's bus interval. Equals `end` for
    // PartnerBusy.
    std::uint32_t completion = 0;
    std::uint32_t end = 0;         // [start, end) is the memory access window
    // Send and PartnerBusy: the transfer's first source address; Receive:
    // this destination's address.
    std::uint32_t address = 0;
    std::uint32_t words = 0;                 // the transfer's word count
    std::uint16_t destination_count = 0;     // destinations of the transfer
    ExchangeActivityKind kind = ExchangeActivityKind::Send;
    bool paired = false;                     // the transfer is Paired64

    friend constexpr bool operator==(const ExchangeActivity&, const ExchangeActivity&) noexcept = default;
};

// How one transfer was placed.
struct TransferPlacement {
    // The earlier transfer whose mark on the critical tile decided the start;
    // absent when nothing before it did.
    std::optional<std::uint32_t> critical_predecessor;
    std::uint32_t start = 0;       // the cycle its send starts
    std::uint32_t completion = 0;  // the largest of its send and receive completions
    std::uint16_t critical_tile = 0;

    friend constexpr bool operator==(const TransferPlacement&, const TransferPlacement&) noexcept = default;
};

// Debug forms for test output, e.g. "ExchangeActivity { transfer: 3, start:
// 10, completion: 14, end: 20, address: 0x1a40, words: 4,
// destination_count: 1, kind: Send, paired: false }".
std::ostream& operator<<(std::ostream& out, ExchangeActivityKind kind);
std::ostream& operator<<(std::ostream& out, const ExchangeActivity& activity);
std::ostream& operator<<(std::ostream& out, const TransferPlacement& placement);

}  // namespace vorn::codegen

// "{}" formats the variant name.
template <>
struct fmt::formatter<vorn::codegen::ExchangeActivityKind> : fmt::formatter<std::string_view> {
    template <typename FormatContext>
    auto format(vorn::codegen::ExchangeActivityKind kind, FormatContext& ctx) const -> decltype(ctx.out()) {
        return fmt::formatter<std::string_view>::format(vorn::codegen::debug_name(kind), ctx);
    }
};
