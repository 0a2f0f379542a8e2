#pragma once
// The machine facts the generator builds on and the rules every generated
// snapshot keeps. check_snapshot is the generator's own safety net: the
// command runs it on every phase before writing, and the tests run it on
// every family. It is stricter than the reader's validation where that keeps
// a snapshot schedulable (addresses within the tile's addressable memory,
// paired transfers to whole tile pairs).

#include <cstdint>
#include <string>

#include <tl/expected.hpp>

#include "vorn/codegen/exchange/snapshot.hpp"

namespace vorn::snapgen {

inline constexpr std::uint32_t snapshot_schema_version = 3;
// Logical tiles of the Q480 machine.
inline constexpr std::uint16_t max_tile_count = 1472;
// Longest payload of one transfer, in 32-bit words.
inline constexpr std::uint32_t max_words = 4148;

// Tile memory as the generator uses it. Exchange instructions address at
// most 0xFFFFC, so every buffer lies below 1 MiB. The first 64 KiB are left
// to code and stack. Below 0x80000 memory is tracked in 16 KiB elements,
// above it in 32 KiB elements; send and receive buffers of one phase sit in
// different halves so that a tile's sends never share a memory element with
// its receives.
inline constexpr std::uint32_t reserved_end = 0x10000;
inline constexpr std::uint32_t upper_region_begin = 0x80000;
inline constexpr std::uint32_t memory_end = 0x100000;

// Paired payloads: 64-bit items, so an even word count; the generator keeps
// to multiples of 4 words and at least 8 so that a paired receive never has
// two of its controls on the same cycle.
inline constexpr std::uint32_t min_paired_words = 8;

// In Q480 the two tiles of a pair are logical 2p and 2p+1.
constexpr std::uint16_t partner_tile(std::uint16_t tile) { return static_cast<std::uint16_t>(tile ^ 1U); }

// Success, or a message naming the first broken rule, e.g.
// "phase 3 transfer 17: destination tile 5 listed twice".
tl::expected<void, std::string> check_snapshot(const codegen::ExchangeScheduleSnapshot& snapshot);

// The transfer rules alone; the message carries no phase or transfer prefix.
tl::expected<void, std::string> check_transfer(const codegen::ExchangeScheduleTransfer& transfer,
                                               std::uint16_t tile_count);

}  // namespace vorn::snapgen
