#include "vorn/snapgen/rules.hpp"

#include <algorithm>
#include <unordered_set>
#include <vector>

#include <fmt/format.h>

namespace vorn::snapgen {
namespace {

using codegen::ExchangeItemWidth;
using codegen::ExchangeScheduleTransfer;
using Error = tl::unexpected<std::string>;

// Checks a buffer [address, address + 4 * words): aligned, no 32-bit
// wrap-around, and inside the addressable tile memory.
tl::expected<void, std::string> check_buffer(std::string_view what, std::uint32_t address, std::uint32_t words,
                                             std::uint32_t alignment) {
    if (address % alignment != 0) {
        return Error(fmt::format("{} address {:#x} is not a multiple of {}", what, address, alignment));
    }
    const std::uint64_t end = std::uint64_t{address} + 4 * std::uint64_t{words};
    if (end > 0xFFFF'FFFFULL) {
        return Error(fmt::format("{} address {:#x} + {} words overflows 32 bits", what, address, words));
    }
    if (address < reserved_end || end > memory_end) {
        return Error(fmt::format("{} buffer {:#x}..{:#x} leaves the tile memory {:#x}..{:#x}", what, address, end,
                                 reserved_end, memory_end));
    }
    return {};
}

}  // namespace

tl::expected<void, std::string> check_transfer(const ExchangeScheduleTransfer& transfer, std::uint16_t tile_count) {
    const bool paired = transfer.width == ExchangeItemWidth::Paired64;
    if (transfer.width != ExchangeItemWidth::Word32 && !paired) {
        return Error("unknown width");
    }
    if (transfer.source >= tile_count) {
        return Error(fmt::format("source tile {} is not below the tile count {}", transfer.source, tile_count));
    }
    if (transfer.words == 0 || transfer.words > max_words) {
        return Error(fmt::format("word count {} is outside 1..{}", transfer.words, max_words));
    }
    if (paired && (transfer.words % 4 != 0 || transfer.words < min_paired_words)) {
        return Error(fmt::format("paired word count {} is not a multiple of 4 of at least {}", transfer.words,
                                 min_paired_words));
    }
    if (transfer.source_addresses.empty()) {
        return Error("no source addresses");
    }
    const std::uint32_t alignment = paired ? 8 : 4;
    for (const std::uint32_t address : transfer.source_addresses) {
        if (auto checked = check_buffer("source", address, transfer.words, alignment); !checked) {
            return checked;
        }
    }
    if (transfer.destinations.empty()) {
        return Error("no destinations");
    }
    std::vector<std::uint16_t> seen;
    for (const auto& destination : transfer.destinations) {
        if (destination.tile >= tile_count) {
            return Error(fmt::format("destination tile {} is not below the tile count {}", destination.tile,
                                     tile_count));
        }
        if (destination.tile == transfer.source) {
            return Error(fmt::format("destination tile {} is the source tile", destination.tile));
        }
        if (std::find(seen.begin(), seen.end(), destination.tile) != seen.end()) {
            return Error(fmt::format("destination tile {} listed twice", destination.tile));
        }
        seen.push_back(destination.tile);
        if (auto checked = check_buffer("destination", destination.address, transfer.words, alignment); !checked) {
            return checked;
        }
    }
    if (paired) {
        const std::uint16_t partner = partner_tile(transfer.source);
        if (partner >= tile_count) {
            return Error(fmt::format("paired source {} has its partner {} outside the tiles", transfer.source,
                                     partner));
        }
        for (const std::uint16_t tile : seen) {
            if (tile == partner) {
                return Error(fmt::format("paired destination tile {} is the source's partner", tile));
            }
            if (std::find(seen.begin(), seen.end(), partner_tile(tile)) == seen.end()) {
                return Error(fmt::format("paired destination tile {} comes without its partner {}", tile,
                                         partner_tile(tile)));
            }
        }
    }
    return {};
}

tl::expected<void, std::string> check_snapshot(const codegen::ExchangeScheduleSnapshot& snapshot) {
    if (snapshot.schema_version != snapshot_schema_version) {
        return Error(fmt::format("schema version {} is not {}", snapshot.schema_version, snapshot_schema_version));
    }
    if (snapshot.tile_count < 1 || snapshot.tile_count > max_tile_count) {
        return Error(fmt::format("tile count {} is outside 1..{}", snapshot.tile_count, max_tile_count));
    }
    std::unordered_set<std::uint32_t> phase_ids;
    for (const auto& problem : snapshot.phases) {
        if (!phase_ids.insert(problem.phase).second) {
            return Error(fmt::format("phase {} occurs twice", problem.phase));
        }
        for (std::size_t i = 0; i < problem.transfers.size(); ++i) {
            if (auto checked = check_transfer(problem.transfers[i], snapshot.tile_count); !checked) {
                return Error(fmt::format("phase {} transfer {}: {}", problem.phase, i, checked.error()));
            }
        }
    }
    return {};
}

}  // namespace vorn::snapgen
