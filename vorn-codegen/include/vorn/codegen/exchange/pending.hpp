#pragma once
// Pending transfers: the scheduler's checked working form of the transfers of
// one snapshot phase. pending_from_problem converts a phase transfer by
// transfer and stops at the first transfer the machine cannot perform.

#include <cstdint>
#include <optional>
#include <vector>

#include <tl/expected.hpp>

#include "vorn/codegen/exchange/lowering_error.hpp"
#include "vorn/codegen/exchange/memory_element.hpp"
#include "vorn/codegen/exchange/snapshot.hpp"

namespace vorn::codegen {

struct PendingDestination {
    std::uint16_t tile = 0;     // logical receiving tile
    std::uint32_t address = 0;  // byte address the payload is written to

    friend bool operator==(const PendingDestination&, const PendingDestination&) = default;
};

struct PendingTransfer {
    // One entry per snapshot destination, in snapshot order.
    std::vector<PendingDestination> destinations;
    // The snapshot's source addresses, one per Repeat iteration.
    std::vector<std::uint32_t> source_addresses;
    // Ascending, without duplicates: the elements of the spans (a, words)
    // for every source address a. Kept so that hazard checks need not
    // recompute them; refresh_source_elements rebuilds it.
    std::vector<ExchangeMemoryElement> source_elements;
    // Paired64 only: the partner of the source tile.
    std::optional<std::uint16_t> paired_source;
    std::uint32_t index = 0;  // position in the snapshot phase's transfers
    std::uint32_t words = 0;  // payload length in 32-bit words, 1..4148
    std::uint16_t source = 0;
    ExchangeItemWidth width = ExchangeItemWidth::Word32;

    // Items crossing the fabric, one per cycle: the word count for Word32,
    // the number of 64-bit pairs for Paired64 (the word count for an odd
    // Paired64 count, which pending_from_problem never produces).
    constexpr std::uint32_t item_count() const noexcept {
        const std::uint32_t shift = width == ExchangeItemWidth::Paired64 ? 1U : 0U;
        return (words & shift) == 0 ? words >> shift : words;
    }

    constexpr std::uint64_t byte_length() const noexcept { return std::uint64_t{words} * 4U; }

    // The source tile, then the paired source when present, then every
    // destination tile in destination order. A tile may appear twice (a
    // multicast may include its sender).
    std::vector<std::uint16_t> tiles() const;

    // Recomputes source_elements from source_addresses and words.
    void refresh_source_elements();

    friend bool operator==(const PendingTransfer&, const PendingTransfer&) = default;
};

// Converts the transfers of `problem` in order, checking each against the
// snapshot's tile count and the machine; the result has one entry per
// transfer, at the position of its index. Fails with InvalidSnapshot
// ("phase {phase} transfer {i} has ..."), Overflow, or Exchange for a failed
// partner lookup, at the first transfer that breaks a rule; nothing of a
// partly converted phase is returned.
tl::expected<std::vector<PendingTransfer>, ExchangeLoweringError> pending_from_problem(
    const ExchangeScheduleProblem& problem, std::uint16_t tile_count);

// The checks of pending_from_problem alone, without building the transfers:
// the same first error, or success.
tl::expected<void, ExchangeLoweringError> check_problem_transfers(const ExchangeScheduleProblem& problem,
                                                                  std::uint16_t tile_count);

}  // namespace vorn::codegen
