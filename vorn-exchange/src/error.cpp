#include "vorn/exchange/error.hpp"

#include <ostream>

#include <fmt/format.h>

namespace vorn::exchange {

std::string_view debug_name(ExchangeErrorKind kind) noexcept {
    switch (kind) {
    case ExchangeErrorKind::ValidationBudgetExceeded:
        return "ValidationBudgetExceeded";
    case ExchangeErrorKind::Tile:
        return "Tile";
    case ExchangeErrorKind::DuplicateTile:
        return "DuplicateTile";
    case ExchangeErrorKind::Count:
        return "Count";
    case ExchangeErrorKind::ReceiverSet:
        return "ReceiverSet";
    case ExchangeErrorKind::Schedule:
        return "Schedule";
    case ExchangeErrorKind::PlanOffsetRange:
        return "PlanOffsetRange";
    case ExchangeErrorKind::Address:
        return "Address";
    case ExchangeErrorKind::HostPacket:
        return "HostPacket";
    }
    return "ExchangeError";
}

std::string ExchangeError::to_string() const {
    switch (kind_) {
    case ExchangeErrorKind::ValidationBudgetExceeded:
        return "exchange incremental-encoding work budget exhausted";
    case ExchangeErrorKind::Tile:
        return fmt::format("logical tile {} is out of range", first_);
    case ExchangeErrorKind::DuplicateTile:
        return "exchange endpoints must be distinct";
    case ExchangeErrorKind::Count:
        return fmt::format("exchange count {} is outside 1..={}", first_, max_exchange_words);
    case ExchangeErrorKind::ReceiverSet:
        return "invalid multicast receiver set";
    case ExchangeErrorKind::Schedule:
        return fmt::format("exchange schedule is not encodable: {}", name_.text());
    case ExchangeErrorKind::PlanOffsetRange:
        return fmt::format(
            "exchange event offset {} cycles from the phase-entry sync exceeds the encodable maximum of {} cycles",
            first_, second_);
    case ExchangeErrorKind::Address:
        return fmt::format("tile address 0x{:x} is not encodable", first_);
    case ExchangeErrorKind::HostPacket:
        return "host exchange address or length is not encodable";
    }
    return std::string{debug_name(kind_)};
}

std::string ExchangeError::debug() const {
    const std::string_view name = debug_name(kind_);
    switch (kind_) {
    case ExchangeErrorKind::Tile:
    case ExchangeErrorKind::Count:
    case ExchangeErrorKind::Address:
        return fmt::format("{}({})", name, first_);
    case ExchangeErrorKind::Schedule:
        // Quoted and escaped like a string literal.
        return fmt::format("{}({:?})", name, name_.text());
    case ExchangeErrorKind::PlanOffsetRange:
        return fmt::format("{} {{ cycles: {}, maximum: {} }}", name, first_, second_);
    case ExchangeErrorKind::ValidationBudgetExceeded:
    case ExchangeErrorKind::DuplicateTile:
    case ExchangeErrorKind::ReceiverSet:
    case ExchangeErrorKind::HostPacket:
        break;
    }
    return std::string{name};
}

std::ostream& operator<<(std::ostream& out, const ExchangeError& error) { return out << error.to_string(); }

}  // namespace vorn::exchange
