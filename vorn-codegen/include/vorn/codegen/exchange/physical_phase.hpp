#pragma once
// The scheduled and encoded result of one exchange phase: every tile's
// exchange program, which tiles take part, the per-tile horizons, the
// activity lists the validation checks, and the figures the benchmark
// reports. A self-contained value: it owns all its sequences and compares
// field by field (the run loop compares repeated identical runs).

#include <cstdint>
#include <vector>

#include "vorn/codegen/exchange/activity.hpp"
#include "vorn/codegen/exchange/snapshot.hpp"
#include "vorn/exchange/words.hpp"

namespace vorn::codegen {

// A change to one tile's row for a structured Repeat. Standalone phases, all
// that this system schedules, carry none.
struct ExchangeRowPatch {
    std::uint32_t position = 0;
    std::vector<vorn::exchange::Word> words;

    friend bool operator==(const ExchangeRowPatch&, const ExchangeRowPatch&) = default;
};

struct PhysicalExchangePhase {
    // Every per-tile sequence has one entry per tile of the snapshot, in
    // logical tile order.

    // The tile has an exchange program of its own.
    std::vector<bool> active;
    // The tile's encoded exchange program; an inactive tile has the one word
    // RETURN.
    std::vector<std::vector<vorn::exchange::Word>> rows;
    // The receive base of each tile (receive_configuration).
    std::vector<std::uint32_t> incoming_bases;
    // The horizon of each tile's program.
    std::vector<std::uint32_t> tile_horizons;
    // Every activity placed on the tile, in placement order.
    std::vector<std::vector<ExchangeActivity>> activities;
    // Empty for every tile.
    std::vector<std::vector<ExchangeRowPatch>> repeat_patches;
    ExchangePhaseId phase = 0;
    std::uint32_t horizon_cycles = 0;  // the phase length in cycles
    // Statistics of the run that produced the phase.
    std::uint64_t neighborhood_improvements = 0;   // accepted critical-neighbourhood repairs
    std::uint32_t initial_horizon_cycles = 0;      // horizon of the run's first schedule
    std::uint32_t endpoint_lower_bound_cycles = 0; // endpoint-work lower bound of the phase
    bool reused = false;                           // replayed from the recipe cache

    friend bool operator==(const PhysicalExchangePhase&, const PhysicalExchangePhase&) = default;
};

}  // namespace vorn::codegen
