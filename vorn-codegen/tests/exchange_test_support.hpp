#pragma once
// Small builders for hand-made snapshot transfers and pending transfers, so
// that test tables show the values that matter and nothing else.

#include <cstdint>
#include <initializer_list>
#include <optional>
#include <utility>
#include <vector>

#include "vorn/codegen/exchange/pending.hpp"
#include "vorn/codegen/exchange/snapshot.hpp"

namespace vorn::codegen::test_support {

constexpr ExchangeItemWidth word32 = ExchangeItemWidth::Word32;
constexpr ExchangeItemWidth paired64 = ExchangeItemWidth::Paired64;

// A snapshot transfer from `source` of `words` words.
inline ExchangeScheduleTransfer transfer(std::uint16_t source, std::uint32_t words,
                                         std::vector<std::uint32_t> source_addresses,
                                         std::vector<ExchangeScheduleDestination> destinations,
                                         ExchangeItemWidth width = word32) {
    return ExchangeScheduleTransfer{source, std::move(source_addresses), std::move(destinations), words, width};
}

inline ExchangeScheduleProblem phase(ExchangePhaseId id, std::vector<ExchangeScheduleTransfer> transfers) {
    return ExchangeScheduleProblem{id, std::move(transfers)};
}

// A pending transfer as the dependency builder sees it; source_elements is
// filled in, index is left for `positions` to set.
inline PendingTransfer pending(std::uint16_t source, std::uint32_t words, std::vector<std::uint32_t> source_addresses,
                               std::vector<PendingDestination> destinations, ExchangeItemWidth width = word32,
                               std::optional<std::uint16_t> paired_source = std::nullopt) {
    PendingTransfer result;
    result.destinations = std::move(destinations);
    result.source_addresses = std::move(source_addresses);
    result.paired_source = paired_source;
    result.words = words;
    result.source = source;
    result.width = width;
    result.refresh_source_elements();
    return result;
}

// Numbers the transfers by position, as pending_from_problem does.
inline std::vector<PendingTransfer> positions(std::vector<PendingTransfer> transfers) {
    for (std::size_t i = 0; i < transfers.size(); ++i) {
        transfers[i].index = static_cast<std::uint32_t>(i);
    }
    return transfers;
}

}  // namespace vorn::codegen::test_support
