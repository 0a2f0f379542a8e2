#pragma once
// Topology: the tile map between logical tile numbers (what the scheduler
// uses) and physical tile identifiers (what the fabric and the instruction
// words use), with the one concrete machine, Q480, and the pairing of tiles
// used by paired 64-bit transfers.
//
// A physical id uses 11 bits: row in bits 6..10, column in bits 2..5, lane in
// bit 1, parity in bit 0. The two tiles of a pair differ only in the lane bit.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <utility>
#include <vector>

#include <tl/expected.hpp>

#include "vorn/exchange/error.hpp"

namespace vorn::exchange {

// Number of tiles of the Q480 machine.
inline constexpr std::uint16_t q480_tile_count = 1472;

class Topology {
public:
    // The checked constructor: takes the physical id of every logical tile,
    // indexed by logical tile number, and stores it unchanged. Fails with
    // ReceiverSet when the sequence is empty or holds a physical id twice.
    static tl::expected<Topology, ExchangeError> create(std::vector<std::uint16_t> physical_ids);

    // The full Q480 map of q480_tile_count tiles. Logical tiles 2p and 2p+1
    // are the two lanes of pair p; pairs run in columns of 23, up and down
    // alternately.
    static Topology q480();

    // The machine section of a snapshot with tile_count tiles: the first
    // tile_count entries of the Q480 map, validated by create (so 0 tiles
    // fail with ReceiverSet). More than q480_tile_count tiles fail with Tile
    // naming the first logical tile the machine does not have.
    static tl::expected<Topology, ExchangeError> q480_section(std::uint16_t tile_count);

    std::size_t tile_count() const noexcept { return physical_ids_.size(); }
    std::span<const std::uint16_t> physical_ids() const noexcept { return physical_ids_; }

    // Physical id of a logical tile; Tile when it is outside the map.
    tl::expected<std::uint16_t, ExchangeError> physical(std::uint16_t logical) const;

    // The logical tile whose physical id is physical(logical) XOR 2, the
    // other lane of the pair; Tile with the tile asked for when it is outside
    // the map or its partner is not part of it.
    tl::expected<std::uint16_t, ExchangeError> paired_logical(std::uint16_t logical) const;

    // Two maps are equal when they map every logical tile alike.
    friend bool operator==(const Topology& a, const Topology& b) noexcept { return a.physical_ids_ == b.physical_ids_; }

private:
    Topology(std::vector<std::uint16_t> physical_ids, std::vector<std::uint16_t> logical_of_physical) noexcept
        : physical_ids_(std::move(physical_ids)), logical_of_physical_(std::move(logical_of_physical)) {}

    // The logical tile with physical id `physical`, if any.
    std::optional<std::uint16_t> logical_of(std::uint16_t physical) const noexcept;

    std::vector<std::uint16_t> physical_ids_;
    // Inverse map, indexed by physical id up to the largest one in use;
    // derived from physical_ids_ at construction.
    std::vector<std::uint16_t> logical_of_physical_;
};

}  // namespace vorn::exchange
