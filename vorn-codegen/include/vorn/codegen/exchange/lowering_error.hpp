#pragma once
// ExchangeLoweringError: the error type of the whole exchange scheduler. Every
// fallible scheduling operation returns tl::expected<T, ExchangeLoweringError>.
// It wraps the encoder's ExchangeError and the StorageError unchanged (their
// texts are shown as they are) and adds the scheduler's own failures; snapshot
// problems and broken scheduler invariants carry a composed text.

#include <cstdint>
#include <iosfwd>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include <fmt/core.h>

#include "vorn/codegen/storage.hpp"
#include "vorn/exchange/error.hpp"

namespace vorn::codegen {

// The variants of ExchangeLoweringError, in their fixed order.
enum class ExchangeLoweringErrorKind : std::uint8_t {
    Exchange,                // an encoder error, wrapped
    Storage,                 // a storage-layout error, wrapped
    UnplacedShard,           // the exchange names a shard without a tile
    InvalidDestination,      // a destination that cannot be written
    UnalignedPayload,        // a payload that is not a nonempty number of words
    SizeMismatch,            // source and destination lengths differ
    Overflow,                // address arithmetic left 32 bits
    IncompatibleRepeatRows,  // structured-repeat rows of different shapes
    DiagnosticTile,          // a diagnostic request for a tile the phase lacks
    InvalidSnapshot,         // a snapshot that cannot be scheduled, described
    Invariant,               // a broken scheduler invariant, described
};

// The variant name of a kind, as used by ExchangeLoweringError::debug.
std::string_view debug_name(ExchangeLoweringErrorKind kind) noexcept;

class ExchangeLoweringError {
public:
    // One named constructor per variant.
    static ExchangeLoweringError exchange(vorn::exchange::ExchangeError error) {
        ExchangeLoweringError result{ExchangeLoweringErrorKind::Exchange};
        result.exchange_ = error;
        return result;
    }
    static ExchangeLoweringError storage(StorageError error) {
        ExchangeLoweringError result{ExchangeLoweringErrorKind::Storage};
        result.storage_ = error;
        return result;
    }
    static ExchangeLoweringError unplaced_shard() { return ExchangeLoweringError{ExchangeLoweringErrorKind::UnplacedShard}; }
    static ExchangeLoweringError invalid_destination() {
        return ExchangeLoweringError{ExchangeLoweringErrorKind::InvalidDestination};
    }
    static ExchangeLoweringError unaligned_payload() {
        return ExchangeLoweringError{ExchangeLoweringErrorKind::UnalignedPayload};
    }
    static ExchangeLoweringError size_mismatch() { return ExchangeLoweringError{ExchangeLoweringErrorKind::SizeMismatch}; }
    static ExchangeLoweringError overflow() { return ExchangeLoweringError{ExchangeLoweringErrorKind::Overflow}; }
    static ExchangeLoweringError incompatible_repeat_rows() {
        return ExchangeLoweringError{ExchangeLoweringErrorKind::IncompatibleRepeatRows};
    }
    static ExchangeLoweringError diagnostic_tile(std::uint16_t tile) {
        ExchangeLoweringError result{ExchangeLoweringErrorKind::DiagnosticTile};
        result.tile_ = tile;
        return result;
    }
    // `text` is the rule's own message, without the variant's prefix.
    static ExchangeLoweringError invalid_snapshot(std::string text) {
        ExchangeLoweringError result{ExchangeLoweringErrorKind::InvalidSnapshot};
        result.text_ = std::move(text);
        return result;
    }
    // `text` names the broken invariant, without the variant's prefix.
    static ExchangeLoweringError invariant(std::string text) {
        ExchangeLoweringError result{ExchangeLoweringErrorKind::Invariant};
        result.text_ = std::move(text);
        return result;
    }

    ExchangeLoweringErrorKind kind() const noexcept { return kind_; }

    // Payload accessors; each is empty unless the error is of the variant
    // that carries the payload.
    std::optional<vorn::exchange::ExchangeError> exchange_error() const noexcept;
    std::optional<StorageError> storage_error() const noexcept;
    std::optional<std::uint16_t> diagnostic_tile() const noexcept;
    // The text of an InvalidSnapshot or Invariant error, without the prefix.
    std::optional<std::string_view> text() const noexcept;

    // The display text: the wrapped error's own text for Exchange and
    // Storage, "invalid exchange-schedule snapshot: {text}" and so on for
    // the others.
    std::string to_string() const;
    // The debug form: the variant name, followed for the variants with a
    // payload by the payload's debug form in parentheses, e.g.
    // "Exchange(Tile(5))", "InvalidSnapshot(\"duplicate phase 3\")".
    std::string debug() const;

    friend bool operator==(const ExchangeLoweringError&, const ExchangeLoweringError&) = default;

private:
    explicit ExchangeLoweringError(ExchangeLoweringErrorKind kind) : kind_(kind) {}

    // Payloads of the other variants keep these defaults, so the defaulted
    // comparison compares exactly the payload of the variant.
    ExchangeLoweringErrorKind kind_;
    vorn::exchange::ExchangeError exchange_ = vorn::exchange::ExchangeError::validation_budget_exceeded();
    StorageError storage_ = StorageError::wrong_shard();
    std::uint16_t tile_ = 0;
    std::string text_;
};

std::ostream& operator<<(std::ostream& out, const ExchangeLoweringError& error);

}  // namespace vorn::codegen

// "{}" formats the display text.
template <>
struct fmt::formatter<vorn::codegen::ExchangeLoweringError> : fmt::formatter<std::string_view> {
    template <typename FormatContext>
    auto format(const vorn::codegen::ExchangeLoweringError& error, FormatContext& ctx) const
        -> decltype(ctx.out()) {
        return fmt::formatter<std::string_view>::format(error.to_string(), ctx);
    }
};
