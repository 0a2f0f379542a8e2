#include "vorn/codegen/estimate/exchange_storage.hpp"

#include <algorithm>
#include <utility>

#include <fmt/core.h>

#include "../exchange/fatal.hpp"
#include "vorn/runtime/siphash.hpp"

namespace vorn::codegen {
namespace {

// Entry kinds, the first byte of every hashed entry.
constexpr std::uint8_t send_entry = 0x00;
constexpr std::uint8_t receive_entry = 0x01;
constexpr std::uint8_t gap_entry = 0x02;

// Payloads longer than this need the wide (12-byte) send entry.
constexpr std::uint32_t short_send_words = 64;

constexpr std::uint64_t fingerprint_multiplier = 0x9E3779B185EBCA87ULL;

constexpr std::uint64_t rounded(std::uint64_t bytes) noexcept { return (bytes + 7U) & ~std::uint64_t{7}; }

constexpr void absorb(std::uint64_t& fingerprint, std::uint64_t hash) noexcept {
    fingerprint = fingerprint * fingerprint_multiplier + hash;
}

// Hash of a send or receive entry: kind, the tile at the other end, the
// payload bytes, the item width and the transfer's destination count.
std::uint64_t transfer_entry_hash(std::uint8_t kind, std::uint16_t other_tile, std::uint32_t words,
                                  ExchangeItemWidth width, std::uint64_t destinations) noexcept {
    runtime::SipHasher13 hasher;
    hasher.write_u8(kind);
    hasher.write_u16_le(other_tile);
    hasher.write_u64_le(std::uint64_t{words} * 4U);
    hasher.write_u8(static_cast<std::uint8_t>(width));
    hasher.write_u64_le(destinations);
    return hasher.finish();
}

// Hash of the entry telling whether a receive continues the previous one.
std::uint64_t gap_entry_hash(std::uint8_t gap) noexcept {
    const std::uint8_t bytes[] = {gap_entry, gap};
    return runtime::siphash13(bytes);
}

void check_tile(std::uint16_t tile, std::uint16_t tile_count, std::size_t transfer) {
    if (tile >= tile_count) {
        detail::fatal_invariant(fmt::format("storage estimate: transfer {} names tile {} outside {} tiles", transfer,
                                            tile, tile_count));
    }
}

}  // namespace

ExchangeStoragePhase ExchangeStoragePhase::create(std::uint16_t tile_count) {
    ExchangeStoragePhase phase;
    phase.row_bytes.assign(tile_count, 8);
    phase.receive_end.assign(tile_count, std::nullopt);
    phase.fingerprints.assign(tile_count, 0);
    phase.patch_entries.assign(tile_count, 0);
    phase.shareable.assign(tile_count, true);
    return phase;
}

ExchangeStoragePhase captured_phase(std::uint16_t tile_count, std::span<const ExchangeScheduleTransfer> transfers) {
    ExchangeStoragePhase phase = ExchangeStoragePhase::create(tile_count);
    for (std::size_t index = 0; index < transfers.size(); ++index) {
        const ExchangeScheduleTransfer& transfer = transfers[index];
        const std::uint16_t source = transfer.source;
        check_tile(source, tile_count, index);
        const std::uint64_t destinations = transfer.destinations.size();

        phase.row_bytes[source] += transfer.words > short_send_words ? 12 : 8;
        phase.patch_entries[source] += 1;
        if (transfer.source_addresses.size() > 1) {
            // A table sending from several addresses is bound to its Repeat.
            phase.shareable[source] = false;
        }

        for (const ExchangeScheduleDestination& destination : transfer.destinations) {
            const std::uint16_t tile = destination.tile;
            check_tile(tile, tile_count, index);
            absorb(phase.fingerprints[source],
                   transfer_entry_hash(send_entry, tile, transfer.words, transfer.width, destinations));
            absorb(phase.fingerprints[tile],
                   transfer_entry_hash(receive_entry, source, transfer.words, transfer.width, destinations));

            // A receive that starts where the tile's previous one ended
            // continues it: no new address, so nothing to patch.
            const bool contiguous = phase.receive_end[tile] == std::uint64_t{destination.address};
            const std::uint8_t gap = contiguous ? 0 : 1;
            phase.row_bytes[tile] += 8U + 4U * gap;
            phase.patch_entries[tile] += gap;
            absorb(phase.fingerprints[tile], gap_entry_hash(gap));
            phase.receive_end[tile] = std::uint64_t{destination.address} + 4U * std::uint64_t{transfer.words};
        }
    }
    return phase;
}

ExchangeStorageEstimator ExchangeStorageEstimator::create(std::uint16_t tile_count) {
    ExchangeStorageEstimator estimator;
    estimator.totals_.assign(tile_count, 0);
    estimator.tables_.resize(tile_count);
    return estimator;
}

std::vector<std::uint64_t> ExchangeStorageEstimator::add_phase(const ExchangeScheduleProblem& problem) {
    ExchangeStoragePhase phase = captured_phase(tile_count(), problem.transfers);
    std::vector<std::uint64_t> row_bytes(phase.row_bytes.size());
    std::transform(phase.row_bytes.begin(), phase.row_bytes.end(), row_bytes.begin(), rounded);
    add(std::move(phase));
    return row_bytes;
}

void ExchangeStorageEstimator::add(ExchangeStoragePhase phase) {
    const std::size_t tiles = totals_.size();
    if (phase.row_bytes.size() != tiles || phase.fingerprints.size() != tiles ||
        phase.patch_entries.size() != tiles || phase.shareable.size() != tiles) {
        detail::fatal_invariant(fmt::format("storage estimate: phase of {} tiles added to an estimator of {} tiles",
                                            phase.row_bytes.size(), tiles));
    }
    for (std::size_t tile = 0; tile < tiles; ++tile) {
        const std::uint64_t row = rounded(phase.row_bytes[tile]);
        const std::uint64_t patches = phase.patch_entries[tile];
        std::uint64_t charge = row;
        if (phase.shareable[tile]) {
            const auto [entry, inserted] = tables_[tile].try_emplace(TableKey{phase.fingerprints[tile], row, patches},
                                                                     false);
            if (!inserted) {
                bool& reused = entry->second;
                charge = reused ? rounded(4U * patches) : rounded(12U * patches);
                reused = true;
            }
        }
        totals_[tile] += charge;
    }
}

std::uint64_t ExchangeStorageEstimator::maximum_bytes() const noexcept {
    return totals_.empty() ? 0 : *std::max_element(totals_.begin(), totals_.end());
}

}  // namespace vorn::codegen
