#pragma once
// ExchangeError: the one error type of the exchange encoder package. Every
// fallible operation of the package returns tl::expected<T, ExchangeError>.
// An error is a small value (a kind and at most two numbers or one invariant
// name), cheap to copy and compare.

#include <cstdint>
#include <iosfwd>
#include <optional>
#include <string>
#include <string_view>

#include <fmt/core.h>

#include "vorn/exchange/invariant.hpp"

namespace vorn::exchange {

// Largest word count of one transfer. The row builders reject counts outside
// 1..=max_exchange_words with ExchangeError::count.
inline constexpr std::uint32_t max_exchange_words = 4148;

// The variants of ExchangeError, in their fixed order.
enum class ExchangeErrorKind : std::uint8_t {
    ValidationBudgetExceeded,  // the incremental-encoding work budget ran out
    Tile,                      // a logical tile outside the topology
    DuplicateTile,             // the two endpoints of an exchange are one tile
    Count,                     // a word count outside 1..=max_exchange_words
    ReceiverSet,               // an invalid multicast receiver set or tile map
    Schedule,                  // a broken encoding invariant, named
    PlanOffsetRange,           // an event too far from the phase-entry sync
    Address,                   // a tile address that cannot be encoded
    HostPacket,                // a host address or length that cannot be encoded
};

// The variant name of a kind, as used by ExchangeError::debug.
std::string_view debug_name(ExchangeErrorKind kind) noexcept;

class ExchangeError {
public:
    // One named constructor per variant.
    static constexpr ExchangeError validation_budget_exceeded() noexcept {
        return ExchangeError{ExchangeErrorKind::ValidationBudgetExceeded};
    }
    static constexpr ExchangeError tile(std::uint16_t logical_tile) noexcept {
        return ExchangeError{ExchangeErrorKind::Tile, logical_tile};
    }
    static constexpr ExchangeError duplicate_tile() noexcept {
        return ExchangeError{ExchangeErrorKind::DuplicateTile};
    }
    static constexpr ExchangeError count(std::uint32_t words) noexcept {
        return ExchangeError{ExchangeErrorKind::Count, words};
    }
    static constexpr ExchangeError receiver_set() noexcept { return ExchangeError{ExchangeErrorKind::ReceiverSet}; }
    static constexpr ExchangeError schedule(InvariantName name) noexcept {
        ExchangeError error{ExchangeErrorKind::Schedule};
        error.name_ = name;
        return error;
    }
    static constexpr ExchangeError plan_offset_range(std::uint32_t cycles, std::uint32_t maximum) noexcept {
        return ExchangeError{ExchangeErrorKind::PlanOffsetRange, cycles, maximum};
    }
    static constexpr ExchangeError address(std::uint32_t byte_address) noexcept {
        return ExchangeError{ExchangeErrorKind::Address, byte_address};
    }
    static constexpr ExchangeError host_packet() noexcept { return ExchangeError{ExchangeErrorKind::HostPacket}; }

    constexpr ExchangeErrorKind kind() const noexcept { return kind_; }

    // Field accessors; each is empty unless the error is of the variant that
    // carries the field.
    constexpr std::optional<std::uint16_t> logical_tile() const noexcept {
        if (kind_ != ExchangeErrorKind::Tile) {
            return std::nullopt;
        }
        return static_cast<std::uint16_t>(first_);
    }
    constexpr std::optional<std::uint32_t> word_count() const noexcept { return first_if(ExchangeErrorKind::Count); }
    constexpr std::optional<InvariantName> invariant_name() const noexcept {
        if (kind_ != ExchangeErrorKind::Schedule) {
            return std::nullopt;
        }
        return name_;
    }
    constexpr std::optional<std::uint32_t> cycles() const noexcept {
        return first_if(ExchangeErrorKind::PlanOffsetRange);
    }
    constexpr std::optional<std::uint32_t> maximum() const noexcept {
        if (kind_ != ExchangeErrorKind::PlanOffsetRange) {
            return std::nullopt;
        }
        return second_;
    }
    constexpr std::optional<std::uint32_t> byte_address() const noexcept {
        return first_if(ExchangeErrorKind::Address);
    }

    // True for a Schedule error naming exactly this invariant (whole text).
    constexpr bool is_schedule(InvariantName name) const noexcept {
        return kind_ == ExchangeErrorKind::Schedule && name_ == name;
    }

    // The display text, e.g. "logical tile 5 is out of range".
    std::string to_string() const;
    // The debug form: the variant name with its fields, e.g. "Tile(5)",
    // "Schedule(\"sender delay\")", "PlanOffsetRange { cycles: 10, maximum: 4 }".
    std::string debug() const;

    friend constexpr bool operator==(const ExchangeError&, const ExchangeError&) noexcept = default;

private:
    constexpr explicit ExchangeError(ExchangeErrorKind kind, std::uint32_t first = 0, std::uint32_t second = 0) noexcept
        : kind_(kind), first_(first), second_(second) {}

    constexpr std::optional<std::uint32_t> first_if(ExchangeErrorKind kind) const noexcept {
        if (kind_ != kind) {
            return std::nullopt;
        }
        return first_;
    }

    // Unused fields stay zero (and the name empty), so the defaulted
    // comparison compares exactly the fields of the variant.
    ExchangeErrorKind kind_;
    std::uint32_t first_;   // tile, count, cycles or address
    std::uint32_t second_;  // maximum
    InvariantName name_;    // Schedule only
};

// Writes the display text; lets test frameworks print errors readably.
std::ostream& operator<<(std::ostream& out, const ExchangeError& error);

}  // namespace vorn::exchange

// "{}" formats the display text.
template <>
struct fmt::formatter<vorn::exchange::ExchangeError> : fmt::formatter<std::string_view> {
    template <typename FormatContext>
    auto format(const vorn::exchange::ExchangeError& error, FormatContext& ctx) const -> decltype(ctx.out()) {
        return fmt::formatter<std::string_view>::format(error.to_string(), ctx);
    }
};
