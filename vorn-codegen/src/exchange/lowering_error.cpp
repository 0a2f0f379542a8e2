#include "vorn/codegen/exchange/lowering_error.hpp"

#include <ostream>

#include <fmt/format.h>

namespace vorn::codegen {

std::string_view debug_name(ExchangeLoweringErrorKind kind) noexcept {
    switch (kind) {
    case ExchangeLoweringErrorKind::Exchange:
        return "Exchange";
    case ExchangeLoweringErrorKind::Storage:
        return "Storage";
    case ExchangeLoweringErrorKind::UnplacedShard:
        return "UnplacedShard";
    case ExchangeLoweringErrorKind::InvalidDestination:
        return "InvalidDestination";
    case ExchangeLoweringErrorKind::UnalignedPayload:
        return "UnalignedPayload";
    case ExchangeLoweringErrorKind::SizeMismatch:
        return "SizeMismatch";
    case ExchangeLoweringErrorKind::Overflow:
        return "Overflow";
    case ExchangeLoweringErrorKind::IncompatibleRepeatRows:
        return "IncompatibleRepeatRows";
    case ExchangeLoweringErrorKind::DiagnosticTile:
        return "DiagnosticTile";
    case ExchangeLoweringErrorKind::InvalidSnapshot:
        return "InvalidSnapshot";
    case ExchangeLoweringErrorKind::Invariant:
        return "Invariant";
    }
    return "ExchangeLoweringError";
}

std::optional<vorn::exchange::ExchangeError> ExchangeLoweringError::exchange_error() const noexcept {
    if (kind_ != ExchangeLoweringErrorKind::Exchange) {
        return std::nullopt;
    }
    return exchange_;
}

std::optional<StorageError> ExchangeLoweringError::storage_error() const noexcept {
    if (kind_ != ExchangeLoweringErrorKind::Storage) {
        return std::nullopt;
    }
    return storage_;
}

std::optional<std::uint16_t> ExchangeLoweringError::diagnostic_tile() const noexcept {
    if (kind_ != ExchangeLoweringErrorKind::DiagnosticTile) {
        return std::nullopt;
    }
    return tile_;
}

std::optional<std::string_view> ExchangeLoweringError::text() const noexcept {
    if (kind_ != ExchangeLoweringErrorKind::InvalidSnapshot && kind_ != ExchangeLoweringErrorKind::Invariant) {
        return std::nullopt;
    }
    return std::string_view{text_};
}

std::string ExchangeLoweringError::to_string() const {
    switch (kind_) {
    case ExchangeLoweringErrorKind::Exchange:
        return exchange_.to_string();
    case ExchangeLoweringErrorKind::Storage:
        return storage_.to_string();
    case ExchangeLoweringErrorKind::UnplacedShard:
        return "exchange refers to an unplaced shard";
    case ExchangeLoweringErrorKind::InvalidDestination:
        return "exchange destination is not writable";
    case ExchangeLoweringErrorKind::UnalignedPayload:
        return "exchange payload is not a nonempty whole number of words";
    case ExchangeLoweringErrorKind::SizeMismatch:
        return "exchange source and destination byte counts differ";
    case ExchangeLoweringErrorKind::Overflow:
        return "exchange address arithmetic overflowed";
    case ExchangeLoweringErrorKind::IncompatibleRepeatRows:
        return "structured-repeat exchange rows have incompatible shapes";
    case ExchangeLoweringErrorKind::DiagnosticTile:
        return fmt::format("exchange diagnostic refers to missing tile {}", tile_);
    case ExchangeLoweringErrorKind::InvalidSnapshot:
        return fmt::format("invalid exchange-schedule snapshot: {}", text_);
    case ExchangeLoweringErrorKind::Invariant:
        return fmt::format("exchange-schedule invariant failed: {}", text_);
    }
    return std::string{debug_name(kind_)};
}

std::string ExchangeLoweringError::debug() const {
    const std::string_view name = debug_name(kind_);
    switch (kind_) {
    case ExchangeLoweringErrorKind::Exchange:
        return fmt::format("{}({})", name, exchange_.debug());
    case ExchangeLoweringErrorKind::Storage:
        return fmt::format("{}({})", name, storage_.debug());
    case ExchangeLoweringErrorKind::DiagnosticTile:
        return fmt::format("{}({})", name, tile_);
    case ExchangeLoweringErrorKind::InvalidSnapshot:
    case ExchangeLoweringErrorKind::Invariant:
        // Quoted and escaped like a string literal.
        return fmt::format("{}({:?})", name, text_);
    case ExchangeLoweringErrorKind::UnplacedShard:
    case ExchangeLoweringErrorKind::InvalidDestination:
    case ExchangeLoweringErrorKind::UnalignedPayload:
    case ExchangeLoweringErrorKind::SizeMismatch:
    case ExchangeLoweringErrorKind::Overflow:
    case ExchangeLoweringErrorKind::IncompatibleRepeatRows:
        break;
    }
    return std::string{name};
}

std::ostream& operator<<(std::ostream& out, const ExchangeLoweringError& error) { return out << error.to_string(); }

}  // namespace vorn::codegen
