#include "vorn/exchange/topology.hpp"

#include <algorithm>
#include <cassert>
#include <limits>

namespace vorn::exchange {
namespace {

// Marks a physical id that no logical tile uses. Logical tile 0xFFFF exists
// only in a map of 65536 tiles, which uses every physical id; that one entry
// is told apart by looking at the map itself (Topology::logical_of).
constexpr std::uint16_t no_logical = std::numeric_limits<std::uint16_t>::max();

// A map of more tiles than there are 16-bit ids necessarily repeats one.
constexpr std::size_t max_tiles = std::size_t{std::numeric_limits<std::uint16_t>::max()} + 1;

// Physical id of logical tile L < q480_tile_count on the Q480 machine.
constexpr std::uint16_t q480_physical(std::uint16_t logical) noexcept {
    const unsigned pair = logical / 2U;
    const unsigned column = pair / 23U;  // 0..31
    const unsigned step = pair % 23U;
    const unsigned row = column % 2U == 0 ? step : 22U - step;
    return static_cast<std::uint16_t>(row * 64U + (column / 2U) * 4U + (logical % 2U) * 2U + column % 2U);
}

std::vector<std::uint16_t> q480_prefix(std::uint16_t tile_count) {
    std::vector<std::uint16_t> ids(tile_count);
    for (std::uint16_t logical = 0; logical < tile_count; ++logical) {
        ids[logical] = q480_physical(logical);
    }
    return ids;
}

}  // namespace

tl::expected<Topology, ExchangeError> Topology::create(std::vector<std::uint16_t> physical_ids) {
    if (physical_ids.empty() || physical_ids.size() > max_tiles) {
        return tl::unexpected(ExchangeError::receiver_set());
    }
    const std::uint16_t largest = *std::max_element(physical_ids.begin(), physical_ids.end());
    std::vector<std::uint16_t> logical_of_physical(std::size_t{largest} + 1, no_logical);
    for (std::size_t logical = 0; logical < physical_ids.size(); ++logical) {
        std::uint16_t& slot = logical_of_physical[physical_ids[logical]];
        // Only the last possible logical tile (0xFFFF) is stored as the marker
        // value, and no id follows it, so a marker always means "unused" here.
        if (slot != no_logical) {
            return tl::unexpected(ExchangeError::receiver_set());
        }
        slot = static_cast<std::uint16_t>(logical);
    }
    return Topology{std::move(physical_ids), std::move(logical_of_physical)};
}

Topology Topology::q480() {
    auto topology = create(q480_prefix(q480_tile_count));
    assert(topology.has_value() && "the Q480 formula uses every physical id once");
    return std::move(*topology);
}

tl::expected<Topology, ExchangeError> Topology::q480_section(std::uint16_t tile_count) {
    if (tile_count > q480_tile_count) {
        return tl::unexpected(ExchangeError::tile(q480_tile_count));
    }
    return create(q480_prefix(tile_count));
}

tl::expected<std::uint16_t, ExchangeError> Topology::physical(std::uint16_t logical) const {
    if (logical >= physical_ids_.size()) {
        return tl::unexpected(ExchangeError::tile(logical));
    }
    return physical_ids_[logical];
}

tl::expected<std::uint16_t, ExchangeError> Topology::paired_logical(std::uint16_t logical) const {
    if (logical >= physical_ids_.size()) {
        return tl::unexpected(ExchangeError::tile(logical));
    }
    // Ids are unique, so the inverse map gives the one (and thus first)
    // logical tile holding the partner id.
    const auto partner = logical_of(static_cast<std::uint16_t>(physical_ids_[logical] ^ 2U));
    if (!partner) {
        return tl::unexpected(ExchangeError::tile(logical));
    }
    return *partner;
}

std::optional<std::uint16_t> Topology::logical_of(std::uint16_t physical) const noexcept {
    if (physical >= logical_of_physical_.size()) {
        return std::nullopt;
    }
    const std::uint16_t logical = logical_of_physical_[physical];
    if (logical != no_logical) {
        return logical;
    }
    if (physical_ids_.size() == max_tiles && physical_ids_[no_logical] == physical) {
        return no_logical;
    }
    return std::nullopt;
}

}  // namespace vorn::exchange
