#pragma once
// Snapshot records: the exchange phases of a compiled program as captured by
// the exporting tool. These are also the scheduler's input types; a phase
// (ExchangeScheduleProblem) is what scheduling, validation, the recipe cache
// and the storage estimate take. Plain values, freely copied.

#include <cstdint>
#include <vector>

namespace vorn::codegen {

// Physical exchange phase number of a snapshot phase.
using ExchangePhaseId = std::uint32_t;

enum class ExchangeItemWidth : std::uint8_t {
    Word32 = 0,    // ordinary transfer of 32-bit items
    Paired64 = 1,  // paired transfer of 64-bit items, sent with the partner tile
};

struct ExchangeScheduleDestination {
    std::uint16_t tile = 0;     // logical receiving tile
    std::uint32_t address = 0;  // byte address in the receiving tile's memory

    friend bool operator==(const ExchangeScheduleDestination&, const ExchangeScheduleDestination&) = default;
};

struct ExchangeScheduleTransfer {
    std::uint16_t source = 0;  // logical sending tile
    // One byte address per Repeat iteration of the phase; the first is the
    // address of the first iteration.
    std::vector<std::uint32_t> source_addresses;
    std::vector<ExchangeScheduleDestination> destinations;
    std::uint32_t words = 0;  // payload length in 32-bit words
    ExchangeItemWidth width = ExchangeItemWidth::Word32;

    friend bool operator==(const ExchangeScheduleTransfer&, const ExchangeScheduleTransfer&) = default;
};

struct ExchangeScheduleProblem {
    ExchangePhaseId phase = 0;
    // A transfer's position here is its transfer index everywhere.
    std::vector<ExchangeScheduleTransfer> transfers;

    friend bool operator==(const ExchangeScheduleProblem&, const ExchangeScheduleProblem&) = default;
};

struct ExchangeScheduleSnapshot {
    std::uint32_t schema_version = 0;
    std::uint16_t tile_count = 0;
    std::vector<ExchangeScheduleProblem> phases;

    friend bool operator==(const ExchangeScheduleSnapshot&, const ExchangeScheduleSnapshot&) = default;
};

}  // namespace vorn::codegen
