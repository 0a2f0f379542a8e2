#pragma once
// The report lines of the benchmark command and the figures they show:
// timing statistics, millisecond values and the fingerprint of the encoded
// programs. Every *_line function returns the text without its final line
// feed; the caller writes it followed by exactly one "\n" (like the header
// line). Nothing here measures time or writes output.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "vorn/codegen/exchange/snapshot.hpp"

namespace vorn::tests {

// A measured duration, never negative.
using RunDuration = std::chrono::nanoseconds;

// The duration in milliseconds: (whole seconds + nanoseconds / 10^9) * 1000,
// in double precision and in exactly that order of operations.
double duration_milliseconds(RunDuration duration) noexcept;

// The duration's milliseconds with exactly three digits after the point,
// correctly rounded from the double (an exact tie goes to the even digit),
// never in exponent form: 1.5 ms gives "1.500", 2500 ns gives "0.003".
std::string format_milliseconds(RunDuration duration);

// Nearest-rank index into an ascending sequence of n entries for the
// percentage q: k = ceil(n * q / 100) in exact integers, index 0 when k is 0,
// else min(k, n) - 1. Also 0 for n = 0 (there is no entry to pick then).
std::size_t nearest_rank_index(std::size_t n, std::uint32_t percent) noexcept;

// Statistics of the timed runs of one phase.
struct DurationSummary {
    RunDuration minimum{};
    RunDuration median{};
    RunDuration p95{};
    RunDuration maximum{};
};

// Sorts the durations ascending in place and picks minimum, median (50 %),
// 95th percentile and maximum by nearest rank. All zero when empty.
DurationSummary summarize_durations(std::span<RunDuration> durations);

// Sorts the durations ascending in place and returns their nearest-rank
// median; zero when empty.
RunDuration median_duration(std::span<RunDuration> durations);

// Per-tile encoded programs, in logical tile order.
using TileRows = std::span<const std::vector<std::uint32_t>>;

// SipHash-1-3 (zero key) of: the number of rows as 8 bytes little-endian,
// then per row its word count as 8 bytes little-endian followed by its words
// as 4 bytes little-endian each.
std::uint64_t row_fingerprint(TileRows rows) noexcept;

// Word counts of the rows: the total and the largest single row (0 without rows).
struct RowWordCounts {
    std::uint64_t total = 0;
    std::uint64_t maximum = 0;
};
RowWordCounts row_word_counts(TileRows rows) noexcept;

// The number of destinations over all transfers of the problem.
std::uint64_t destination_count(const codegen::ExchangeScheduleProblem& problem) noexcept;

// The largest entry, 0 for an empty sequence.
std::uint64_t largest_entry(std::span<const std::uint64_t> values) noexcept;

// "phase={phase} estimatedMaximumRowBytes={largest row byte count} footprintMs={ms}"
// from the sequence add_phase returned and the time that call took.
std::string footprint_line(codegen::ExchangePhaseId phase, std::span<const std::uint64_t> phase_row_bytes,
                           RunDuration footprint_time);

// The figures of one dumped activity of the dumped tile.
struct ActivityLineFigures {
    codegen::ExchangePhaseId phase = 0;
    std::uint64_t tile = 0;         // the tile as given on the command line
    std::uint64_t transfer = 0;
    std::string_view kind;          // "Send", "Receive" or "PartnerBusy"
    std::uint64_t start = 0;        // cycles
    std::uint64_t completion = 0;   // cycles
    std::uint64_t memory_end = 0;
    std::uint64_t address = 0;      // printed in lower-case hexadecimal
    std::uint64_t words = 0;
};

// "phase=... logicalTile=... transfer=... {kind} cycles={start}..{completion}
//  memoryEnd=... address=0x{hex} words=..."
std::string activity_line(const ActivityLineFigures& figures);

// The header "phase={phase} logicalTile={tile}", a line feed and the rendered
// program text. The rendered text already ends every instruction line with a
// line feed, so once the caller adds the final one the block ends with an
// empty line.
std::string program_dump(codegen::ExchangePhaseId phase, std::uint64_t tile, std::string_view rendered_program);

// The figures of the phase report line.
struct PhaseReport {
    codegen::ExchangePhaseId phase = 0;  // of the scheduled problem
    std::uint64_t transfers = 0;         // transfers of the scheduled problem
    std::uint64_t destinations = 0;      // destination_count of it
    std::uint32_t initial_horizon_cycles = 0;
    std::uint32_t horizon_cycles = 0;
    std::uint32_t endpoint_lower_bound_cycles = 0;
    std::uint64_t neighborhood_improvements = 0;
    RowWordCounts row_words;             // row_word_counts of the last run's rows
    DurationSummary schedule;            // summarize_durations of the scheduling times
    RunDuration validation_median{};     // median_duration of the validation times
    bool reused = false;
    std::uint64_t row_fingerprint = 0;   // row_fingerprint of the last run's rows
};

// "phase=... transfers=... destinations=... initialHorizonCycles=...
//  horizonCycles=... endpointLowerBoundCycles=... lowerBoundGapCycles=...
//  neighborhoodImprovements=... rowWords=... maximumRowWords=...
//  scheduleCodegenMinMs=... scheduleCodegenMedianMs=... scheduleCodegenP95Ms=...
//  scheduleCodegenMaxMs=... validationMedianMs=... reused=... rowFingerprint=...
//  invariants=PASS"; the gap is horizon - lower bound, 0 when the horizon is
// below the bound.
std::string phase_report_line(const PhaseReport& report);

// "estimatedMaximumTableBytes={estimated} unsharedMaximumTableBytes={largest unshared total}"
std::string storage_summary_line(std::uint64_t estimated_maximum_bytes, std::span<const std::uint64_t> unshared_totals);

// "totalMs={ms}"
std::string total_time_line(RunDuration elapsed);

}  // namespace vorn::tests
