#pragma once
// The scheduling problem of one phase: which transfers must be placed before
// which (byte-exact memory dependencies on every tile), and how much work each
// tile's endpoints carry. Also the per-tile receive configuration and the
// endpoint-work lower bound of a phase.
//
// Every operation here takes transfers as pending_from_problem returns them
// for the same tile count: every tile they name (source, paired source,
// destinations) lies below tile_count. receive_configuration checks the
// destination tiles and reports InvalidDestination; the other operations
// treat a tile outside the tables as a broken invariant and abort.

#include <compare>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include <tl/expected.hpp>

#include "vorn/codegen/exchange/lowering_error.hpp"
#include "vorn/codegen/exchange/pending.hpp"

namespace vorn::codegen {

// "Transfer `from` must be placed before transfer `to`", positions in the
// pending sequence; from < to always.
struct DependencyEdge {
    std::uint32_t from = 0;
    std::uint32_t to = 0;

    friend constexpr auto operator<=>(const DependencyEdge&, const DependencyEdge&) noexcept = default;
};

// The memory dependencies of the transfers, ascending and without duplicates:
// read after write, write after write and write after read on overlapping
// bytes of one tile. Every source address of a transfer is read on its source
// tile (not on the paired source), every destination written. Two reads never
// conflict; a transfer never depends on itself.
std::vector<DependencyEdge> memory_dependencies(std::span<const PendingTransfer> transfers,
                                                std::uint16_t tile_count);

// Built once per scheduling run and never changed. Borrows the transfers: the
// sequence must outlive the problem.
class SchedulingProblem {
public:
    static SchedulingProblem create(std::span<const PendingTransfer> transfers, std::uint16_t tile_count);
    // The problem would outlive a temporary sequence.
    static SchedulingProblem create(std::vector<PendingTransfer>&& transfers, std::uint16_t tile_count) = delete;

    std::span<const PendingTransfer> transfers() const noexcept { return transfers_; }
    std::size_t transfer_count() const noexcept { return transfers_.size(); }
    std::uint16_t tile_count() const noexcept { return tile_count_; }

    // The transfers that must be placed before / after `transfer`, ascending
    // and without duplicates.
    std::span<const std::uint32_t> predecessors(std::uint32_t transfer) const;
    std::span<const std::uint32_t> successors(std::uint32_t transfer) const;

    // Per tile: the sum of the item counts of the transfers whose tiles()
    // include it, once per occurrence.
    std::span<const std::uint64_t> endpoint_load() const noexcept { return endpoint_load_; }

    // Number of dependency edges.
    std::size_t edge_count() const noexcept { return successor_list_.size(); }

private:
    SchedulingProblem() = default;

    std::span<const PendingTransfer> transfers_;
    std::uint16_t tile_count_ = 0;
    // Adjacency in compressed form: the lists of transfer t are
    // list[offsets[t] .. offsets[t + 1]).
    std::vector<std::size_t> predecessor_offsets_;
    std::vector<std::uint32_t> predecessor_list_;
    std::vector<std::size_t> successor_offsets_;
    std::vector<std::uint32_t> successor_list_;
    std::vector<std::uint64_t> endpoint_load_;
};

struct ReceiveConfiguration {
    // Per tile: how many destination entries, over all transfers, name it.
    std::vector<std::uint64_t> incoming_counts;
    // Per tile: the destination address of its only incoming transfer when
    // exactly one destination entry of the phase names it and that transfer
    // has one destination; 0 otherwise.
    std::vector<std::uint32_t> incoming_bases;

    friend bool operator==(const ReceiveConfiguration&, const ReceiveConfiguration&) = default;
};

// Fails with InvalidDestination when a destination tile is not below
// tile_count.
tl::expected<ReceiveConfiguration, ExchangeLoweringError> receive_configuration(
    std::span<const PendingTransfer> transfers, std::uint16_t tile_count);

// The largest of send work and receive work over all tiles, in cycles (one
// item per cycle), clamped to 0xFFFFFFFF. A transfer adds its item count to
// the send work of its source and paired source and to the receive work of
// each destination.
std::uint32_t endpoint_work_lower_bound(std::span<const PendingTransfer> transfers, std::uint16_t tile_count);

}  // namespace vorn::codegen
