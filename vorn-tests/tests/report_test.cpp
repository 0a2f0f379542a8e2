#include "vorn/tests/report.hpp"

#include <array>
#include <charconv>
#include <chrono>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include <gtest/gtest.h>

namespace vorn::tests {
namespace {

using std::chrono::milliseconds;
using std::chrono::nanoseconds;
using std::chrono::seconds;
using Rows = std::vector<std::vector<std::uint32_t>>;

TEST(FormatMilliseconds, RoundsTheDoubleOnceToThreeDigits) {
    struct Case {
        nanoseconds duration;
        std::string_view text;
    };
    const std::array<Case, 14> cases = {{
        {nanoseconds{0}, "0.000"},
        {nanoseconds{1'500'000}, "1.500"},
        // The double nearest to 0.0025 lies above it.
        {nanoseconds{2'500}, "0.003"},
        {nanoseconds{500}, "0.001"},
        // seconds + nanoseconds / 10^9 then * 1000 gives a double above
        // 0.0045 here (4500 / 10^6 would give one below it).
        {nanoseconds{4'500}, "0.005"},
        {nanoseconds{10'500}, "0.010"},
        // Exact binary ties go to the even digit.
        {nanoseconds{62'500}, "0.062"},
        {nanoseconds{187'500}, "0.188"},
        {nanoseconds{2'000'500}, "2.001"},
        {nanoseconds{999'999'999}, "1000.000"},
        {seconds{3} + nanoseconds{4'500}, "3000.005"},
        {seconds{1} + milliseconds{500}, "1500.000"},
        // Large values stay in fixed notation.
        {seconds{1'000'000'000}, "1000000000000.000"},
        {milliseconds{2}, "2.000"},
    }};
    for (const Case& c : cases) {
        EXPECT_EQ(format_milliseconds(c.duration), c.text) << c.duration.count() << " ns";
    }
}

// An independent correctly rounded formatter must agree everywhere,
// including near the ties at every sixteenth of a millisecond.
TEST(FormatMilliseconds, AgreesWithTheStandardLibrarysExactFormatting) {
    const auto standard = [](double value) {
        std::array<char, 64> buffer{};
        const auto result = std::to_chars(buffer.data(), buffer.data() + buffer.size(), value,
                                          std::chars_format::fixed, 3);
        return std::string(buffer.data(), result.ptr);
    };
    const auto check = [&](std::int64_t count) {
        const nanoseconds duration{count};
        ASSERT_EQ(format_milliseconds(duration), standard(duration_milliseconds(duration))) << count << " ns";
    };
    for (std::int64_t count = 0; count < 200'000; ++count) {
        check(count);
    }
    for (std::int64_t tie = 62'500; tie < 50'000'000'000; tie = tie * 3 + 62'500 * 2) {
        for (std::int64_t offset = -3; offset <= 3; ++offset) {
            check(tie + offset);
        }
    }
}

TEST(NearestRankIndex, PicksTheCeilingRank) {
    struct Case {
        std::size_t n;
        std::uint32_t percent;
        std::size_t index;
    };
    const std::array<Case, 14> cases = {{
        {1, 50, 0},
        {1, 95, 0},
        {2, 50, 0},
        {2, 95, 1},
        {3, 50, 1},
        {4, 50, 1},
        {20, 95, 18},
        {21, 95, 19},
        {100, 50, 49},
        {100, 95, 94},
        {101, 95, 95},
        {5, 0, 0},
        {5, 100, 4},
        // n * q does not fit 64 bits here.
        {1'000'000'000'000'000'000, 95, 949'999'999'999'999'999},
    }};
    for (const Case& c : cases) {
        EXPECT_EQ(nearest_rank_index(c.n, c.percent), c.index) << "n " << c.n << " q " << c.percent;
    }
}

TEST(SummarizeDurations, SortsAndPicksByNearestRank) {
    struct Case {
        std::string_view name;
        std::vector<nanoseconds> durations;
        DurationSummary expected;
        nanoseconds validation_median;  // median_duration of the same durations
    };
    const auto ms = [](std::int64_t count) { return nanoseconds{milliseconds{count}}; };
    std::vector<nanoseconds> twenty;
    for (std::int64_t i = 20; i >= 1; --i) {
        twenty.push_back(ms(i));
    }
    const std::vector<Case> cases = {
        {"one run", {ms(5)}, {ms(5), ms(5), ms(5), ms(5)}, ms(5)},
        {"two runs", {ms(9), ms(4)}, {ms(4), ms(4), ms(9), ms(9)}, ms(4)},
        {"three runs of 2, 1, 3 ms", {ms(2), ms(1), ms(3)}, {ms(1), ms(2), ms(3), ms(3)}, ms(2)},
        {"four runs", {ms(4), ms(3), ms(2), ms(1)}, {ms(1), ms(2), ms(4), ms(4)}, ms(2)},
        {"twenty runs", twenty, {ms(1), ms(10), ms(19), ms(20)}, ms(10)},
        // Ordered by seconds first, then nanoseconds.
        {"seconds before nanoseconds",
         {seconds{1} + nanoseconds{1}, nanoseconds{999'999'999}, seconds{1}},
         {nanoseconds{999'999'999}, seconds{1}, seconds{1} + nanoseconds{1}, seconds{1} + nanoseconds{1}},
         seconds{1}},
        {"no runs", {}, {}, nanoseconds{0}},
    };
    for (const Case& c : cases) {
        std::vector<nanoseconds> schedule = c.durations;
        const DurationSummary summary = summarize_durations(schedule);
        EXPECT_EQ(summary.minimum, c.expected.minimum) << c.name;
        EXPECT_EQ(summary.median, c.expected.median) << c.name;
        EXPECT_EQ(summary.p95, c.expected.p95) << c.name;
        EXPECT_EQ(summary.maximum, c.expected.maximum) << c.name;
        EXPECT_TRUE(std::is_sorted(schedule.begin(), schedule.end())) << c.name;

        std::vector<nanoseconds> validation = c.durations;
        EXPECT_EQ(median_duration(validation), c.validation_median) << c.name;
        EXPECT_TRUE(std::is_sorted(validation.begin(), validation.end())) << c.name;
    }
}

TEST(SummarizeDurations, HundredRunsPickTheFiftiethAndNinetyFifth) {
    std::vector<nanoseconds> durations;
    for (std::int64_t i = 0; i < 100; ++i) {
        durations.push_back(nanoseconds{(i * 37) % 100});  // a permutation of 0..99
    }
    const DurationSummary summary = summarize_durations(durations);
    EXPECT_EQ(summary.minimum, nanoseconds{0});
    EXPECT_EQ(summary.median, nanoseconds{49});
    EXPECT_EQ(summary.p95, nanoseconds{94});
    EXPECT_EQ(summary.maximum, nanoseconds{99});
}

// Reference values from a separately written SipHash-1-3 over the byte
// string: row count, then per row its word count and its words.
TEST(RowFingerprint, HashesCountsAndWordsInTileOrder) {
    struct Case {
        std::string_view name;
        Rows rows;
        std::uint64_t fingerprint;
    };
    const std::vector<Case> cases = {
        // SipHash-1-3 of eight zero bytes.
        {"no rows", {}, 0xbd60acb658c79e45},
        {"one empty row", {{}}, 0x8934f5f0a51fbffa},
        {"one RETURN row", {{0x43A00000}}, 0x7f96a39d50763082},
        {"three RETURN rows", {{0x43A00000}, {0x43A00000}, {0x43A00000}}, 0x26a6eea245f9171e},
        {"words split 2 + 1", {{1, 2}, {3}}, 0x44556a71918c0e23},
        {"words split 1 + 2", {{1}, {2, 3}}, 0x6b15fb5b3e3cb6a1},
        {"tiles swapped", {{3}, {1, 2}}, 0x4d09ebba2e26f08f},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(row_fingerprint(c.rows), c.fingerprint) << c.name;
    }
}

TEST(RowWordCounts, TotalsAndLargestRow) {
    EXPECT_EQ(row_word_counts(Rows{}).total, 0U);
    EXPECT_EQ(row_word_counts(Rows{}).maximum, 0U);
    // Every tile with the one-word empty program.
    const Rows idle(5, std::vector<std::uint32_t>{0x43A00000});
    EXPECT_EQ(row_word_counts(idle).total, 5U);
    EXPECT_EQ(row_word_counts(idle).maximum, 1U);
    const Rows mixed = {{1}, {1, 2, 3, 4}, {}, {5, 6}};
    EXPECT_EQ(row_word_counts(mixed).total, 7U);
    EXPECT_EQ(row_word_counts(mixed).maximum, 4U);
}

TEST(DestinationCount, SumsOverTransfers) {
    codegen::ExchangeScheduleProblem problem;
    problem.phase = 4;
    problem.transfers.resize(3);
    problem.transfers[0].destinations = {{1, 0}, {2, 0}};
    problem.transfers[2].destinations = {{3, 0}, {1, 8}, {2, 8}};
    EXPECT_EQ(destination_count(problem), 5U);
    EXPECT_EQ(destination_count(codegen::ExchangeScheduleProblem{}), 0U);
}

TEST(ReportLines, FootprintSummaryAndTotal) {
    const std::vector<std::uint64_t> rows = {8, 24, 16};
    EXPECT_EQ(footprint_line(7, rows, nanoseconds{1'500'000}),
              "phase=7 estimatedMaximumRowBytes=24 footprintMs=1.500");
    EXPECT_EQ(footprint_line(4294967295U, {}, nanoseconds{2'500}),
              "phase=4294967295 estimatedMaximumRowBytes=0 footprintMs=0.003");

    const std::vector<std::uint64_t> unshared = {40, 112, 0};
    const std::vector<std::uint64_t> all_zero = {0, 0};
    EXPECT_EQ(storage_summary_line(96, unshared), "estimatedMaximumTableBytes=96 unsharedMaximumTableBytes=112");
    EXPECT_EQ(storage_summary_line(0, all_zero), "estimatedMaximumTableBytes=0 unsharedMaximumTableBytes=0");
    EXPECT_EQ(storage_summary_line(0, {}), "estimatedMaximumTableBytes=0 unsharedMaximumTableBytes=0");

    EXPECT_EQ(total_time_line(seconds{2} + nanoseconds{1'234'567}), "totalMs=2001.235");
}

TEST(ReportLines, ActivityAddressesInHexadecimal) {
    ActivityLineFigures figures;
    figures.phase = 12;
    figures.tile = 3;
    figures.transfer = 41;
    figures.kind = "Receive";
    figures.start = 17;
    figures.completion = 33;
    figures.memory_end = 6784;
    figures.address = 6720;
    figures.words = 16;
    EXPECT_EQ(activity_line(figures),
              "phase=12 logicalTile=3 transfer=41 Receive cycles=17..33 memoryEnd=6784 address=0x1a40 words=16");

    figures.kind = "PartnerBusy";
    figures.address = 0;
    figures.start = 0;
    figures.completion = 0;
    EXPECT_EQ(activity_line(figures),
              "phase=12 logicalTile=3 transfer=41 PartnerBusy cycles=0..0 memoryEnd=6784 address=0x0 words=16");
}

TEST(ReportLines, ProgramDumpEndsWithAnEmptyLineOnceTerminated) {
    const std::string block = program_dump(12, 3, "0000: SYNC 3\n0001: RETURN\n") + "\n";
    EXPECT_EQ(block, "phase=12 logicalTile=3\n0000: SYNC 3\n0001: RETURN\n\n");
    EXPECT_EQ(program_dump(12, 3, "") + "\n", "phase=12 logicalTile=3\n\n");
}

PhaseReport sample_report() {
    PhaseReport report;
    report.phase = 9;
    report.transfers = 3;
    report.destinations = 5;
    report.initial_horizon_cycles = 180;
    report.horizon_cycles = 150;
    report.endpoint_lower_bound_cycles = 120;
    report.neighborhood_improvements = 2;
    report.row_words = {.total = 1472, .maximum = 1};
    std::vector<nanoseconds> runs = {milliseconds{2}, milliseconds{1}, milliseconds{3}};
    report.schedule = summarize_durations(runs);
    report.validation_median = nanoseconds{2'500};
    report.reused = false;
    report.row_fingerprint = 0xbd60acb658c79e45;
    return report;
}

TEST(ReportLines, PhaseReport) {
    struct Case {
        std::string_view name;
        void (*change)(PhaseReport&);
        std::string_view line;
    };
    const std::array<Case, 3> cases = {{
        {"three runs of 2, 1, 3 ms", [](PhaseReport&) {},
         "phase=9 transfers=3 destinations=5 initialHorizonCycles=180 horizonCycles=150 "
         "endpointLowerBoundCycles=120 lowerBoundGapCycles=30 neighborhoodImprovements=2 rowWords=1472 "
         "maximumRowWords=1 scheduleCodegenMinMs=1.000 scheduleCodegenMedianMs=2.000 scheduleCodegenP95Ms=3.000 "
         "scheduleCodegenMaxMs=3.000 validationMedianMs=0.003 reused=false rowFingerprint=bd60acb658c79e45 "
         "invariants=PASS"},
        {"horizon below the lower bound, reused, small fingerprint",
         [](PhaseReport& r) {
             r.horizon_cycles = 100;
             r.reused = true;
             r.row_fingerprint = 0xabc;
         },
         "phase=9 transfers=3 destinations=5 initialHorizonCycles=180 horizonCycles=100 "
         "endpointLowerBoundCycles=120 lowerBoundGapCycles=0 neighborhoodImprovements=2 rowWords=1472 "
         "maximumRowWords=1 scheduleCodegenMinMs=1.000 scheduleCodegenMedianMs=2.000 scheduleCodegenP95Ms=3.000 "
         "scheduleCodegenMaxMs=3.000 validationMedianMs=0.003 reused=true rowFingerprint=0000000000000abc "
         "invariants=PASS"},
        {"extreme values",
         [](PhaseReport& r) {
             r.horizon_cycles = 4294967295U;
             r.endpoint_lower_bound_cycles = 0;
             r.neighborhood_improvements = 18446744073709551615U;
             r.row_fingerprint = 0;
         },
         "phase=9 transfers=3 destinations=5 initialHorizonCycles=180 horizonCycles=4294967295 "
         "endpointLowerBoundCycles=0 lowerBoundGapCycles=4294967295 neighborhoodImprovements=18446744073709551615 "
         "rowWords=1472 maximumRowWords=1 scheduleCodegenMinMs=1.000 scheduleCodegenMedianMs=2.000 "
         "scheduleCodegenP95Ms=3.000 scheduleCodegenMaxMs=3.000 validationMedianMs=0.003 reused=false "
         "rowFingerprint=0000000000000000 invariants=PASS"},
    }};
    for (const Case& c : cases) {
        PhaseReport report = sample_report();
        c.change(report);
        EXPECT_EQ(phase_report_line(report), c.line) << c.name;
    }
}

}  // namespace
}  // namespace vorn::tests
