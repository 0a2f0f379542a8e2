#include "vorn/tests/report.hpp"

#include <algorithm>

#include <fmt/format.h>

#include "vorn/runtime/siphash.hpp"

namespace vorn::tests {

double duration_milliseconds(RunDuration duration) noexcept {
    constexpr std::int64_t nanoseconds_per_second = 1'000'000'000;
    const std::int64_t count = duration.count();
    const std::int64_t seconds = count / nanoseconds_per_second;
    const std::int64_t nanoseconds = count % nanoseconds_per_second;
    return (static_cast<double>(seconds) + static_cast<double>(nanoseconds) / 1e9) * 1000.0;
}

std::string format_milliseconds(RunDuration duration) {
    // fmt's fixed precision output is exact: the decimal expansion of the
    // binary value rounded once, never an exponent.
    return fmt::format("{:.3f}", duration_milliseconds(duration));
}

std::size_t nearest_rank_index(std::size_t n, std::uint32_t percent) noexcept {
    if (n == 0 || percent == 0) {
        return 0;
    }
    if (percent >= 100) {
        return n - 1;  // k >= n
    }
    // k = ceil(n * q / 100) without forming n * q: split n = 100 * a + b.
    const std::size_t rank = (n / 100) * percent + ((n % 100) * percent + 99) / 100;
    return std::min(rank, n) - 1;
}

DurationSummary summarize_durations(std::span<RunDuration> durations) {
    if (durations.empty()) {
        return {};
    }
    std::sort(durations.begin(), durations.end());
    const std::size_t n = durations.size();
    return DurationSummary{
        .minimum = durations.front(),
        .median = durations[nearest_rank_index(n, 50)],
        .p95 = durations[nearest_rank_index(n, 95)],
        .maximum = durations.back(),
    };
}

RunDuration median_duration(std::span<RunDuration> durations) { return summarize_durations(durations).median; }

std::uint64_t row_fingerprint(TileRows rows) noexcept {
    runtime::SipHasher13 hasher;
    hasher.write_u64_le(rows.size());
    for (const std::vector<std::uint32_t>& row : rows) {
        hasher.write_u64_le(row.size());
        for (const std::uint32_t word : row) {
            hasher.write_u32_le(word);
        }
    }
    return hasher.finish();
}

RowWordCounts row_word_counts(TileRows rows) noexcept {
    RowWordCounts counts;
    for (const std::vector<std::uint32_t>& row : rows) {
        counts.total += row.size();
        counts.maximum = std::max<std::uint64_t>(counts.maximum, row.size());
    }
    return counts;
}

std::uint64_t destination_count(const codegen::ExchangeScheduleProblem& problem) noexcept {
    std::uint64_t count = 0;
    for (const codegen::ExchangeScheduleTransfer& transfer : problem.transfers) {
        count += transfer.destinations.size();
    }
    return count;
}

std::uint64_t largest_entry(std::span<const std::uint64_t> values) noexcept {
    return values.empty() ? 0 : *std::max_element(values.begin(), values.end());
}

std::string footprint_line(codegen::ExchangePhaseId phase, std::span<const std::uint64_t> phase_row_bytes,
                           RunDuration footprint_time) {
    return fmt::format("phase={} estimatedMaximumRowBytes={} footprintMs={}", phase, largest_entry(phase_row_bytes),
                       format_milliseconds(footprint_time));
}

std::string activity_line(const ActivityLineFigures& figures) {
    return fmt::format("phase={} logicalTile={} transfer={} {} cycles={}..{} memoryEnd={} address=0x{:x} words={}",
                       figures.phase, figures.tile, figures.transfer, figures.kind, figures.start, figures.completion,
                       figures.memory_end, figures.address, figures.words);
}

std::string program_dump(codegen::ExchangePhaseId phase, std::uint64_t tile, std::string_view rendered_program) {
    return fmt::format("phase={} logicalTile={}\n{}", phase, tile, rendered_program);
}

std::string phase_report_line(const PhaseReport& report) {
    const std::uint32_t gap = report.horizon_cycles >= report.endpoint_lower_bound_cycles
                                  ? report.horizon_cycles - report.endpoint_lower_bound_cycles
                                  : 0;
    return fmt::format(
        "phase={} transfers={} destinations={} initialHorizonCycles={} horizonCycles={} "
        "endpointLowerBoundCycles={} lowerBoundGapCycles={} neighborhoodImprovements={} rowWords={} "
        "maximumRowWords={} scheduleCodegenMinMs={} scheduleCodegenMedianMs={} scheduleCodegenP95Ms={} "
        "scheduleCodegenMaxMs={} validationMedianMs={} reused={} rowFingerprint={:016x} invariants=PASS",
        report.phase, report.transfers, report.destinations, report.initial_horizon_cycles, report.horizon_cycles,
        report.endpoint_lower_bound_cycles, gap, report.neighborhood_improvements, report.row_words.total,
        report.row_words.maximum, format_milliseconds(report.schedule.minimum),
        format_milliseconds(report.schedule.median), format_milliseconds(report.schedule.p95),
        format_milliseconds(report.schedule.maximum), format_milliseconds(report.validation_median), report.reused,
        report.row_fingerprint);
}

std::string storage_summary_line(std::uint64_t estimated_maximum_bytes,
                                 std::span<const std::uint64_t> unshared_totals) {
    return fmt::format("estimatedMaximumTableBytes={} unsharedMaximumTableBytes={}", estimated_maximum_bytes,
                       largest_entry(unshared_totals));
}

std::string total_time_line(RunDuration elapsed) { return fmt::format("totalMs={}", format_milliseconds(elapsed)); }

}  // namespace vorn::tests
