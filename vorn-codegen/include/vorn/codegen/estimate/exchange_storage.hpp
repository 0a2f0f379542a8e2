#pragma once
// Estimate of the exchange table storage of every tile, computed without
// scheduling. Each tile gets one table per phase with an entry per transfer it
// sends and per payload it receives; a tile may reuse an identical table of an
// earlier phase and then pays only for address patches. The estimate per
// phase is the largest row of that phase, over the run the largest per-tile
// total.
//
// Phases must name only tiles below the estimator's tile count (a snapshot
// that passed validation with that tile count does); a tile outside it is a
// broken invariant and aborts.
//
// "Rounded" below always means rounded up to the next multiple of 8 bytes.

#include <cstdint>
#include <map>
#include <optional>
#include <span>
#include <tuple>
#include <vector>

#include "vorn/codegen/exchange/snapshot.hpp"

namespace vorn::codegen {

// The table shape of one phase; every sequence has one entry per logical tile.
struct ExchangeStoragePhase {
    // Estimated bytes of the tile's table row (8 for a tile without entries).
    std::vector<std::uint64_t> row_bytes;
    // End address (address + 4 * words) of the last payload the tile received.
    std::vector<std::optional<std::uint64_t>> receive_end;
    // Order-dependent hash of the tile's entries, recognising identical tables.
    std::vector<std::uint64_t> fingerprints;
    // Entries whose address must be patched when the table is reused.
    std::vector<std::uint64_t> patch_entries;
    // Whether the table may be shared with an identical one of another phase.
    std::vector<bool> shareable;

    // A phase without entries: rows of 8 bytes, nothing received, empty
    // fingerprints, no patches, every table shareable.
    static ExchangeStoragePhase create(std::uint16_t tile_count);

    friend bool operator==(const ExchangeStoragePhase&, const ExchangeStoragePhase&) = default;
};

// The table shape of a phase with these transfers, entries in transfer and
// destination order.
ExchangeStoragePhase captured_phase(std::uint16_t tile_count, std::span<const ExchangeScheduleTransfer> transfers);

// Accumulates the storage of every phase of one run. Sharing depends on the
// order in which phases are added.
class ExchangeStorageEstimator {
public:
    static ExchangeStorageEstimator create(std::uint16_t tile_count);

    // Captures the phase, charges it to the totals (as add does) and returns
    // its rounded row bytes, one entry per logical tile.
    std::vector<std::uint64_t> add_phase(const ExchangeScheduleProblem& problem);

    // Charges a captured phase to the totals: a tile pays its rounded row for
    // a table not seen before on it (or one that may not be shared), the
    // rounded 12 bytes per patch entry for the first reuse of a stored table
    // and the rounded 4 bytes per patch entry for every later reuse.
    void add(ExchangeStoragePhase phase);

    // The largest per-tile total, 0 without tiles.
    std::uint64_t maximum_bytes() const noexcept;

    // Bytes charged to each tile over all phases added so far.
    std::span<const std::uint64_t> totals() const noexcept { return totals_; }
    std::uint16_t tile_count() const noexcept { return static_cast<std::uint16_t>(totals_.size()); }

private:
    // A stored table: (fingerprint, rounded row bytes, patch entries).
    using TableKey = std::tuple<std::uint64_t, std::uint64_t, std::uint64_t>;

    ExchangeStorageEstimator() = default;

    std::vector<std::uint64_t> totals_;
    // Per tile: every table stored on it, mapped to whether it has been
    // reused at least once.
    std::vector<std::map<TableKey, bool>> tables_;
};

}  // namespace vorn::codegen
