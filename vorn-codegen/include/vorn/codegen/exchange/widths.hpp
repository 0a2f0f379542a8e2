#pragma once
// Paired-transfer alternatives and the width selection of a phase.
//
// A transfer of 32-bit words can sometimes be sent as 64-bit items by its
// source tile and that tile's partner together, to pairs of partner tiles.
// The width selection schedules the phase as captured and with every
// transfer that can be widened widened, and keeps the shorter schedule.

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include <tl/expected.hpp>

#include "vorn/codegen/exchange/lowering_error.hpp"
#include "vorn/codegen/exchange/optimize.hpp"
#include "vorn/codegen/exchange/pending.hpp"
#include "vorn/codegen/exchange/snapshot.hpp"
#include "vorn/exchange/topology.hpp"

namespace vorn::codegen {

// Per transfer, in order, its paired form when it has one. Fails (Exchange)
// only when the physical id of a destination tile cannot be looked up.
tl::expected<std::vector<std::optional<PendingTransfer>>, ExchangeLoweringError> paired_transfer_alternatives(
    std::span<const PendingTransfer> transfers, const vorn::exchange::Topology& topology, std::uint16_t tile_count);

// Optimises the transfers as captured and, when some can be widened, with
// every alternative taken, and keeps the paired schedule only when its
// horizon is strictly shorter.
tl::expected<ScheduleSelection, ExchangeLoweringError> select_transfer_widths(
    ExchangePhaseId phase, const vorn::exchange::Topology& topology, std::vector<PendingTransfer> transfers,
    std::uint16_t tile_count);

}  // namespace vorn::codegen
