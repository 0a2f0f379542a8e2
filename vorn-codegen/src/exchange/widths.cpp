#include "vorn/codegen/exchange/widths.hpp"

#include <algorithm>
#include <cstddef>
#include <map>
#include <string>
#include <utility>

#include "vorn/exchange/timing.hpp"
#include "vorn/runtime/logging.hpp"

namespace vorn::codegen {
namespace {

using vorn::exchange::Topology;

constexpr std::string_view log_target = "vorn_codegen::exchange";

// The lane bit of a physical tile id: the two tiles of a pair differ in it
// alone.
constexpr std::uint16_t lane_bit = 0x2;

constexpr bool multiple_of_8(std::uint32_t address) noexcept { return address % 8 == 0; }

// The paired form of `transfer`: nothing when it cannot be widened, an error
// only when a destination tile has no physical id.
tl::expected<std::optional<PendingTransfer>, ExchangeLoweringError> paired_alternative(
    const PendingTransfer& transfer, const Topology& topology, std::uint16_t tile_count) {
    const std::optional<PendingTransfer> none;
    if (transfer.width != ExchangeItemWidth::Word32 || transfer.words < 2 || transfer.words % 2 != 0) {
        return none;
    }
    if (!std::all_of(transfer.source_addresses.begin(), transfer.source_addresses.end(), multiple_of_8)) {
        return none;
    }
    // The last tile of a section with an odd tile count has no partner; its
    // transfers simply stay ordinary.
    const auto partner = topology.paired_logical(transfer.source);
    if (!partner || *partner >= tile_count) {
        return none;
    }

    // Destinations grouped by the physical id of their pair (lane bit
    // cleared), groups in ascending key order, destinations in their order.
    std::map<std::uint16_t, std::vector<const PendingDestination*>> groups;
    for (const PendingDestination& destination : transfer.destinations) {
        const auto physical = topology.physical(destination.tile);
        if (!physical) {
            return tl::unexpected(ExchangeLoweringError::exchange(physical.error()));
        }
        groups[static_cast<std::uint16_t>(*physical & ~lane_bit)].push_back(&destination);
    }
    if (groups.empty()) {
        return none;
    }
    std::vector<PendingDestination> pairs;
    pairs.reserve(transfer.destinations.size());
    for (const auto& [key, members] : groups) {
        if (members.size() != 2) {
            return none;
        }
        const PendingDestination& first = *members[0];
        const PendingDestination& second = *members[1];
        const auto first_partner = topology.paired_logical(first.tile);
        if (!first_partner || *first_partner != second.tile || !multiple_of_8(first.address) ||
            !multiple_of_8(second.address)) {
            return none;
        }
        pairs.push_back(first);
        pairs.push_back(second);
    }

    // Only proves that the paired rows can be built; they are dropped.
    std::vector<std::uint16_t> receivers;
    receivers.reserve(pairs.size());
    for (const PendingDestination& destination : pairs) {
        receivers.push_back(destination.tile);
    }
    if (!vorn::exchange::paired_multicast(topology, transfer.source, receivers, transfer.words / 2)) {
        return none;
    }

    PendingTransfer alternative = transfer;
    alternative.destinations = std::move(pairs);
    alternative.width = ExchangeItemWidth::Paired64;
    alternative.paired_source = *partner;
    return alternative;
}

std::uint32_t horizon_of(const ScheduleSelection& selection) noexcept { return selection.scheduled.schedule.horizon; }

}  // namespace

tl::expected<std::vector<std::optional<PendingTransfer>>, ExchangeLoweringError> paired_transfer_alternatives(
    std::span<const PendingTransfer> transfers, const Topology& topology, std::uint16_t tile_count) {
    std::vector<std::optional<PendingTransfer>> alternatives;
    alternatives.reserve(transfers.size());
    for (const PendingTransfer& transfer : transfers) {
        auto alternative = paired_alternative(transfer, topology, tile_count);
        if (!alternative) {
            return tl::unexpected(std::move(alternative.error()));
        }
        alternatives.push_back(std::move(*alternative));
    }
    return alternatives;
}

tl::expected<ScheduleSelection, ExchangeLoweringError> select_transfer_widths(ExchangePhaseId phase,
                                                                              const Topology& topology,
                                                                              std::vector<PendingTransfer> transfers,
                                                                              std::uint16_t tile_count) {
    auto alternatives = paired_transfer_alternatives(transfers, topology, tile_count);
    if (!alternatives) {
        return tl::unexpected(std::move(alternatives.error()));
    }
    const auto candidates = static_cast<std::size_t>(
        std::count_if(alternatives->begin(), alternatives->end(),
                      [](const std::optional<PendingTransfer>& alternative) { return alternative.has_value(); }));
    if (candidates == 0) {
        return optimize_owned_pending(topology, std::move(transfers), tile_count);
    }

    std::vector<PendingTransfer> paired_list;
    paired_list.reserve(transfers.size());
    for (std::size_t i = 0; i < transfers.size(); ++i) {
        std::optional<PendingTransfer>& alternative = (*alternatives)[i];
        paired_list.push_back(alternative ? std::move(*alternative) : transfers[i]);
    }
    alternatives->clear();

    auto ordinary = optimize_owned_pending(topology, std::move(transfers), tile_count);
    auto paired = optimize_owned_pending(topology, std::move(paired_list), tile_count);
    if (!paired) {
        const std::string error = paired.error().to_string();
        VORN_EVENT(runtime::Level::Debug, log_target, "paired exchange candidate is not encodable",
                   VORN_FIELD(phase, phase), VORN_FIELD(error, error));
        return ordinary;
    }
    if (!ordinary) {
        const std::string error = ordinary.error().to_string();
        VORN_EVENT(runtime::Level::Debug, log_target, "ordinary exchange candidate is not encodable",
                   VORN_FIELD(phase, phase), VORN_FIELD(error, error));
        return paired;
    }
    const std::uint32_t ordinary_horizon = horizon_of(*ordinary);
    const std::uint32_t paired_horizon = horizon_of(*paired);
    // Equal horizons keep the widths as captured.
    const bool use_paired = paired_horizon < ordinary_horizon;
    VORN_EVENT(runtime::Level::Info, log_target, "compared ordinary and paired exchange schedules",
               VORN_FIELD(phase, phase), VORN_FIELD(candidates, candidates),
               VORN_FIELD(ordinary_horizon, ordinary_horizon), VORN_FIELD(paired_horizon, paired_horizon),
               VORN_FIELD(use_paired, use_paired));
    return use_paired ? std::move(paired) : std::move(ordinary);
}

}  // namespace vorn::codegen
