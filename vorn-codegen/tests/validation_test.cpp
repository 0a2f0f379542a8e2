#include "vorn/codegen/exchange/validation.hpp"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <fmt/format.h>
#include <gtest/gtest.h>

#include "validation_support.hpp"

namespace vorn::codegen {
namespace {

using namespace vorn::codegen::validation_support;
using Kind = ExchangeActivityKind;

tl::expected<void, ExchangeLoweringError> validate(const ValidationSubject& subject) {
    return validate_exchange_schedule(subject.tile_count, subject.problem, subject.phase);
}

// The error of a subject that must fail, or a printable stand-in.
std::string failure_of(const ValidationSubject& subject) {
    const auto result = validate(subject);
    return result ? std::string("success") : result.error().debug();
}

ValidationSubject point_to_point() {
    auto subject = encoded_point_to_point_subject(4, 0, 2, 6, 0x100, 0x2000);
    if (!subject) {
        ADD_FAILURE() << "cannot encode the point-to-point phase: " << subject.error().debug();
        return {};
    }
    return std::move(*subject);
}

// Fixtures that must pass, each built differently.
TEST(ValidateExchangeScheduleTest, AcceptsValidPhases) {
    const struct {
        std::string_view name;
        std::function<ValidationSubject()> build;
    } cases[] = {
        {"hand-made phase of six tiles", [] { return rich_subject(); }},
        {"encoded point-to-point transfer", [] { return point_to_point(); }},
        {"no transfers on every Q480 tile", [] { return assemble_subject(1472, {9, {}}, {}); }},
        {"no tiles at all", [] { return assemble_subject(0, {9, {}}, {}); }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const ValidationSubject subject = c.build();
        EXPECT_EQ(failure_of(subject), "success");
    }
}

TEST(ValidateExchangeScheduleTest, EncodedPointToPointProgramsCarryTheirHorizons) {
    const ValidationSubject subject = point_to_point();
    ASSERT_EQ(subject.tile_count, 4);
    // The real programs are more than a wait: they send and set controls.
    EXPECT_GT(subject.phase.rows[0].size(), 2U);
    EXPECT_GT(subject.phase.rows[2].size(), 2U);
    EXPECT_NE(subject.phase.rows[0], delay_program(subject.phase.tile_horizons[0]));
    EXPECT_EQ(subject.phase.rows[1], std::vector<Word>{vorn::exchange::return_word});
    EXPECT_EQ(subject.phase.incoming_bases[2], 0x2000U);
}

void expect_every_corruption_reported(const std::function<ValidationSubject()>& build, bool all_must_apply) {
    for (const Corruption& corruption : single_corruptions()) {
        SCOPED_TRACE(corruption.name);
        ValidationSubject subject = build();
        ASSERT_EQ(failure_of(subject), "success");
        const std::optional<ExchangeLoweringError> expected = corruption.apply(subject);
        if (!expected) {
            EXPECT_FALSE(all_must_apply) << "the corruption found nothing to break";
            continue;
        }
        EXPECT_EQ(failure_of(subject), expected->debug());
    }
}

TEST(ValidateExchangeScheduleTest, ReportsEveryCorruptionOfTheHandMadePhase) {
    expect_every_corruption_reported([] { return rich_subject(); }, true);
}

TEST(ValidateExchangeScheduleTest, ReportsTheCorruptionsThatApplyToAnEncodedPhase) {
    expect_every_corruption_reported(point_to_point, false);
}

// Two corruptions of the hand-made phase at once: the one whose check comes
// first decides. `others` are applied first, then `decisive`, whose
// expected error (computed on the already corrupted phase) must be reported.
TEST(ValidateExchangeScheduleTest, TheFirstBrokenCheckDecides) {
    const struct {
        std::vector<std::string_view> others;
        std::string_view decisive;
    } cases[] = {
        {{"one active flag too few"}, "the result names another phase"},
        {{"one program too many"}, "one active flag too few"},
        {{"the phase horizon exceeds every tile horizon"}, "a tile carries a repeat patch"},
        // The phase horizon is checked before any program is decoded, and
        // partners are looked up before that too.
        {{"a program ends inside a SENDPICP"}, "the phase horizon exceeds every tile horizon"},
        {{"a program ends inside a SENDPICP"}, "a paired source outside the machine"},
        // On tile 0: decoded horizon, then active state, then its activities.
        {{"a busy tile marked inactive"}, "a program runs past its tile horizon"},
        {{"an activity completes after its end"}, "a busy tile marked inactive"},
        // One activity: interval, then transfer, then word count.
        {{"an activity names a missing transfer"}, "an activity completes after its end"},
        {{"an activity has the wrong word count"}, "an activity names a missing transfer"},
        // Activities in list order: a word count on the first beats an
        // interval on the last.
        {{"an activity ends after its tile horizon"}, "an activity has the wrong word count"},
        // On tile 0: activities, then send bus, then receive bus, then memory.
        {{"a receive recorded twice"}, "a receive writes an address no destination names"},
        {{"a receive recorded twice"}, "a send recorded twice"},
        {{"a receive writes the element a concurrent send reads"}, "a send recorded twice"},
        // Every tile before any count.
        {{"a send removed", "a receive removed"}, "a receive writes the element a concurrent send reads"},
        // Send counts of all transfers (transfer 2 here) before partner-busy
        // counts (transfer 1), before receive counts (transfer 0).
        {{"a partner-busy period removed"}, "a send removed"},
        {{"a destination without a receive"}, "a partner-busy period removed"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(fmt::format("{} over {}", c.decisive, fmt::join(c.others, ", ")));
        ValidationSubject subject = rich_subject();
        for (const std::string_view other : c.others) {
            ASSERT_TRUE(corruption_named(other).apply(subject).has_value());
        }
        const auto expected = corruption_named(c.decisive).apply(subject);
        ASSERT_TRUE(expected.has_value());
        EXPECT_EQ(failure_of(subject), expected->debug());
    }
}

TEST(ValidateExchangeScheduleTest, TilesAreCheckedInOrderEachCompletely) {
    // Tile 3 of the hand-made phase sends transfer 2 from element 0 during
    // [4, 12), is busy as the partner of transfers 1 and 4, and receives
    // transfer 3 into element 0 during [22, 28). `later` is applied first,
    // then `decisive`, whose error must be reported.
    using Break = std::function<std::optional<ExchangeLoweringError>(ValidationSubject&)>;
    const struct {
        std::string_view name;
        Break later;
        Break decisive;
    } cases[] = {
        {"a borrowed-transmit overlap on tile 3 before a decoding failure on tile 5",
         [](ValidationSubject& s) -> std::optional<ExchangeLoweringError> {
             s.phase.rows[5].push_back(vorn::exchange::sendpicp_first);
             return ExchangeLoweringError::exchange(vorn::exchange::ExchangeError::schedule(
                 vorn::exchange::invariant::truncated_sendpicp_payload));
         },
         corruption_named("two partner-busy periods of one tile overlap").apply},
        {"a memory overlap on tile 3 before a borrowed-transmit overlap there",
         corruption_named("a partner-busy period overlaps a local send").apply,
         [](ValidationSubject& s) -> std::optional<ExchangeLoweringError> {
             // Transfer 3's receive moved into the send's window.
             ExchangeActivity& receive = s.phase.activities[3][2];
             if (receive.kind != Kind::Receive) {
                 return std::nullopt;
             }
             receive.start = 5;
             receive.completion = 6;
             receive.end = 10;
             return ExchangeLoweringError::invariant("phase 7 tile 3 overlaps send/receive access to one SRAM element");
         }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ValidationSubject subject = rich_subject();
        ASSERT_TRUE(c.later(subject).has_value());
        const auto expected = c.decisive(subject);
        ASSERT_TRUE(expected.has_value());
        EXPECT_EQ(failure_of(subject), expected->debug());
    }
}

// ---------------------------------------------------------------------------
// Small phases for the time-window rules. Tile 0 sends transfer 0 (one word
// from `source`) to tile 2; tile 1 sends transfer 1 into tile 0 at
// `destination`, received during `receive`.

struct Span {
    std::uint32_t start;
    std::uint32_t end;
};

ValidationSubject send_and_receive_on_one_tile(std::vector<std::uint32_t> sources, std::uint32_t words,
                                               Span send, std::uint32_t destination, std::uint32_t destination_words,
                                               Span receive) {
    ExchangeScheduleProblem problem{5, {}};
    problem.transfers.push_back({0, std::move(sources), {{2, 0x0}}, words, ExchangeItemWidth::Word32});
    problem.transfers.push_back({1, {0x0}, {{0, destination}}, destination_words, ExchangeItemWidth::Word32});
    std::vector<std::vector<ExchangeActivity>> activities(4);
    activities[0] = {send_of(problem, 0, send.start, send.start + 1, send.end),
                     receive_of(problem, 1, 0, receive.start, receive.start + 1, receive.end)};
    activities[1] = {send_of(problem, 1, 0, 1, 2)};
    activities[2] = {receive_of(problem, 0, 0, send.start, send.start + 1, send.end)};
    return assemble_subject(4, std::move(problem), std::move(activities));
}

TEST(ValidateExchangeScheduleTest, ReadAndWriteOfOneElementMustNotOverlapInTime) {
    const std::string sram = "phase 5 tile 0 overlaps send/receive access to one SRAM element";
    const struct {
        std::string_view name;
        std::vector<std::uint32_t> sources;
        std::uint32_t words;
        Span send;
        std::uint32_t destination;
        std::uint32_t destination_words;
        Span receive;
        bool conflict;
    } cases[] = {
        {"element 0 read and written at once", {0x0}, 1, {10, 20}, 0x100, 1, {15, 25}, true},
        {"the write 16 KiB further", {0x0}, 1, {10, 20}, 0x4000, 1, {15, 25}, false},
        {"the write right after the read", {0x0}, 1, {10, 20}, 0x100, 1, {20, 30}, false},
        {"the write right before the read", {0x0}, 1, {10, 20}, 0x100, 1, {2, 10}, false},
        {"the write ends in the element the read starts in", {0x4000}, 1, {10, 20}, 0x3FFC, 2, {15, 25}, true},
        {"the write ends just before that element", {0x4000}, 1, {10, 20}, 0x3FF8, 2, {15, 25}, false},
        {"the read spills into the written element", {0x3FFC}, 2, {10, 20}, 0x4100, 1, {15, 25}, true},
        {"a later Repeat iteration reads the element", {0x8000, 0x0}, 1, {10, 20}, 0x100, 1, {15, 25}, true},
        {"no Repeat iteration reads it", {0x8000, 0xC000}, 1, {10, 20}, 0x100, 1, {15, 25}, false},
        {"upper elements are 32 KiB", {0x80000}, 1, {10, 20}, 0x87FFC, 1, {15, 25}, true},
        {"the next upper element", {0x80000}, 1, {10, 20}, 0x88000, 1, {15, 25}, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const ValidationSubject subject = send_and_receive_on_one_tile(c.sources, c.words, c.send, c.destination,
                                                                       c.destination_words, c.receive);
        EXPECT_EQ(failure_of(subject), c.conflict ? ExchangeLoweringError::invariant(sram).debug() : "success");
    }
}

TEST(ValidateExchangeScheduleTest, BusWindowsOfOneKindMustNotOverlap) {
    // Transfers 0 and 1, from tiles 0 and 1, both received on tile 2 with
    // the given bus windows; or, with `sends`, both sent by tile 0 to tiles 1
    // and 2 with the given bus windows.
    const struct {
        std::string_view name;
        bool sends;
        Span first;
        Span second;
        bool overlap;
    } cases[] = {
        {"receives that touch", false, {10, 20}, {20, 30}, false},
        {"receives one cycle into each other", false, {10, 21}, {20, 30}, true},
        {"receives listed late-first", false, {20, 30}, {10, 21}, true},
        {"a receive inside another", false, {10, 40}, {20, 30}, true},
        {"receives with equal starts", false, {10, 11}, {10, 30}, true},
        {"sends that touch", true, {10, 20}, {20, 30}, false},
        {"sends one cycle into each other", true, {10, 21}, {20, 30}, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ExchangeScheduleProblem problem{5, {}};
        std::vector<std::vector<ExchangeActivity>> activities(3);
        if (c.sends) {
            problem.transfers.push_back({0, {0x0}, {{1, 0x0}}, 1, ExchangeItemWidth::Word32});
            problem.transfers.push_back({0, {0x4}, {{2, 0x0}}, 1, ExchangeItemWidth::Word32});
            activities[0] = {send_of(problem, 0, c.first.start, c.first.end, c.first.end),
                             send_of(problem, 1, c.second.start, c.second.end, c.second.end)};
            activities[1] = {receive_of(problem, 0, 0, c.first.start, c.first.end, c.first.end)};
            activities[2] = {receive_of(problem, 1, 0, c.second.start, c.second.end, c.second.end)};
        } else {
            problem.transfers.push_back({0, {0x0}, {{2, 0x0}}, 1, ExchangeItemWidth::Word32});
            problem.transfers.push_back({1, {0x0}, {{2, 0x100}}, 1, ExchangeItemWidth::Word32});
            activities[0] = {send_of(problem, 0, c.first.start, c.first.end, c.first.end)};
            activities[1] = {send_of(problem, 1, c.second.start, c.second.end, c.second.end)};
            activities[2] = {receive_of(problem, 0, 0, c.first.start, c.first.end, c.first.end),
                             receive_of(problem, 1, 0, c.second.start, c.second.end, c.second.end)};
        }
        const ValidationSubject subject = assemble_subject(3, std::move(problem), std::move(activities));
        const std::string message = c.sends ? "phase 5 tile 0 has overlapping Send bus intervals"
                                            : "phase 5 tile 2 has overlapping Receive bus intervals";
        EXPECT_EQ(failure_of(subject), c.overlap ? ExchangeLoweringError::invariant(message).debug() : "success");
    }
}

TEST(ValidateExchangeScheduleTest, BorrowedTransmitterMustNotBeUsedLocally) {
    // Transfer 0 is paired from tile 2, so tile 3 is partner-busy during
    // `busy`; tile 3 also sends transfer 1 during `local` and receives
    // transfer 2 during `receive`.
    const struct {
        std::string_view name;
        Span busy;
        Span local;
        Span receive;
        bool overlap;
    } cases[] = {
        {"the local send right after", {10, 20}, {20, 25}, {30, 31}, false},
        {"the local send right before", {10, 20}, {4, 10}, {30, 31}, false},
        {"the local send one cycle into it", {10, 20}, {19, 25}, {30, 31}, true},
        {"the local send inside it", {10, 20}, {12, 14}, {30, 31}, true},
        {"a receive during it", {10, 20}, {20, 25}, {12, 14}, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ExchangeScheduleProblem problem{5, {}};
        problem.transfers.push_back({2, {0x0}, {{0, 0x0}, {1, 0x0}}, 2, ExchangeItemWidth::Paired64});
        problem.transfers.push_back({3, {0x8000}, {{0, 0x100}}, 1, ExchangeItemWidth::Word32});
        problem.transfers.push_back({1, {0x8000}, {{3, 0x0}}, 1, ExchangeItemWidth::Word32});
        std::vector<std::vector<ExchangeActivity>> activities(4);
        activities[0] = {receive_of(problem, 0, 0, 12, 13, 22), receive_of(problem, 1, 0, 40, 41, 42)};
        activities[1] = {receive_of(problem, 0, 1, 12, 13, 22), send_of(problem, 2, 50, 51, 52)};
        activities[2] = {send_of(problem, 0, c.busy.start, c.busy.start + 1, c.busy.end)};
        activities[3] = {partner_busy_of(problem, 0, c.busy.start, c.busy.end),
                         send_of(problem, 1, c.local.start, c.local.end, c.local.end),
                         receive_of(problem, 2, 0, c.receive.start, c.receive.end, c.receive.end)};
        const ValidationSubject subject = assemble_subject(4, std::move(problem), std::move(activities));
        EXPECT_EQ(failure_of(subject),
                  c.overlap ? ExchangeLoweringError::invariant(
                                  "phase 5 tile 3 overlaps borrowed and local transmit intervals")
                                  .debug()
                            : "success");
    }
}

// ---------------------------------------------------------------------------
// Receives are matched to the first destination with their tile and address,
// whether the transfer has a few destinations or many.

TEST(ValidateExchangeScheduleTest, MatchesReceivesToDestinations) {
    for (const std::uint16_t destinations : {2, 12}) {
        // Transfer 0 from tile 0 to tiles 1..destinations.
        const auto build = [destinations](const std::function<void(ExchangeScheduleProblem&)>& change_snapshot,
                                          const std::function<void(std::vector<std::vector<ExchangeActivity>>&)>&
                                              change_activities) {
            const auto tiles = static_cast<std::uint16_t>(destinations + 1);
            ExchangeScheduleProblem problem{5, {{0, {0x0}, {}, 1, ExchangeItemWidth::Word32}}};
            for (std::uint16_t d = 1; d <= destinations; ++d) {
                problem.transfers[0].destinations.push_back({d, 0x40U * d});
            }
            std::vector<std::vector<ExchangeActivity>> activities(tiles);
            activities[0] = {send_of(problem, 0, 10, 11, 12)};
            for (std::uint16_t d = 1; d <= destinations; ++d) {
                activities[d] = {receive_of(problem, 0, d - 1U, 10, 11, 12)};
            }
            change_snapshot(problem);
            change_activities(activities);
            return assemble_subject(tiles, std::move(problem), std::move(activities));
        };
        const auto keep_snapshot = [](ExchangeScheduleProblem&) {};
        const auto keep_activities = [](std::vector<std::vector<ExchangeActivity>>&) {};
        const std::uint16_t last = destinations;
        const struct {
            std::string_view name;
            std::function<void(ExchangeScheduleProblem&)> snapshot;
            std::function<void(std::vector<std::vector<ExchangeActivity>>&)> activities;
            std::optional<std::string> failure;
        } cases[] = {
            {"every destination received once", keep_snapshot, keep_activities, std::nullopt},
            {"a receive at another address",
             keep_snapshot,
             [last](auto& a) { a[last][0].address += 4; },
             fmt::format("phase 5 transfer 0 has an unexpected receive activity on tile {}", last)},
            {"a receive on the source tile",
             keep_snapshot,
             [](auto& a) { a[0].push_back(a[1][0]); },
             "phase 5 transfer 0 has an unexpected receive activity on tile 0"},
            // The first of two equal destinations takes the receive; the
            // second is left without one.
            {"one destination listed twice",
             [](ExchangeScheduleProblem& p) { p.transfers[0].destinations.push_back(p.transfers[0].destinations[0]); },
             keep_activities,
             "phase 5 transfer 0 does not have exactly one activity per destination"},
            {"a destination received twice",
             keep_snapshot,
             [last](auto& a) {
                 ExchangeActivity later = a[last][0];
                 later.start += 10;
                 later.completion += 10;
                 later.end += 10;
                 a[last].push_back(later);
             },
             "phase 5 transfer 0 does not have exactly one activity per destination"},
        };
        for (const auto& c : cases) {
            SCOPED_TRACE(fmt::format("{} destinations: {}", destinations, c.name));
            const ValidationSubject subject = build(c.snapshot, c.activities);
            EXPECT_EQ(failure_of(subject),
                      c.failure ? ExchangeLoweringError::invariant(*c.failure).debug() : "success");
        }
    }
}

// ---------------------------------------------------------------------------
// Malformed inputs are reported, never read out of range.

TEST(ValidateExchangeScheduleTest, ReportsMalformedInputs) {
    const struct {
        std::string_view name;
        std::function<ValidationSubject()> build;
        std::string failure;
    } cases[] = {
        {"1471 activity lists for 1472 tiles",
         [] {
             ValidationSubject s = assemble_subject(1472, {9, {}}, {});
             s.phase.activities.pop_back();
             return s;
         },
         "phase 9 has 1471 activities entries for 1472 tiles"},
        {"a partner tile whose only activity is gone stays expected active",
         [] {
             ExchangeScheduleProblem p{5, {{0, {0x0}, {{2, 0x0}, {3, 0x0}}, 2, ExchangeItemWidth::Paired64}}};
             std::vector<std::vector<ExchangeActivity>> a(4);
             a[0] = {send_of(p, 0, 0, 1, 4)};
             a[2] = {receive_of(p, 0, 0, 2, 3, 6)};
             a[3] = {receive_of(p, 0, 1, 2, 3, 6)};
             // Tile 1, the partner, keeps its program but lost its activity.
             return assemble_subject(4, std::move(p), std::move(a), {0, 4, 0, 0});
         },
         "phase 5 transfer 0 has 0 partner-busy activities, expected 1"},
        {"a paired source whose partner lies beyond an odd section",
         [] {
             ExchangeScheduleProblem p{5, {{4, {0x0}, {{0, 0x0}, {1, 0x0}}, 2, ExchangeItemWidth::Paired64}}};
             std::vector<std::vector<ExchangeActivity>> a(5);
             a[4] = {send_of(p, 0, 0, 1, 4)};
             a[0] = {receive_of(p, 0, 0, 2, 3, 6)};
             a[1] = {receive_of(p, 0, 1, 2, 3, 6)};
             return assemble_subject(5, std::move(p), std::move(a));
         },
         "phase 5 transfer 0 has 0 partner-busy activities, expected 1"},
        // Overlapping partner-busy periods of one transfer are no borrowed
        // transmit conflict; the count catches the copy.
        {"a partner-busy period recorded twice",
         [] {
             ExchangeScheduleProblem p{5, {{0, {0x0}, {{2, 0x0}, {3, 0x0}}, 2, ExchangeItemWidth::Paired64}}};
             std::vector<std::vector<ExchangeActivity>> a(4);
             a[0] = {send_of(p, 0, 0, 1, 4)};
             a[1] = {partner_busy_of(p, 0, 0, 4), partner_busy_of(p, 0, 0, 4)};
             a[2] = {receive_of(p, 0, 0, 2, 3, 6)};
             a[3] = {receive_of(p, 0, 1, 2, 3, 6)};
             return assemble_subject(4, std::move(p), std::move(a));
         },
         "phase 5 transfer 0 has 2 partner-busy activities, expected 1"},
        {"a partner-busy period of a 32-bit transfer",
         [] {
             ExchangeScheduleProblem p{5, {{0, {0x0}, {{2, 0x0}}, 1, ExchangeItemWidth::Word32}}};
             std::vector<std::vector<ExchangeActivity>> a(3);
             a[0] = {send_of(p, 0, 0, 1, 4)};
             a[1] = {partner_busy_of(p, 0, 0, 4)};
             a[2] = {receive_of(p, 0, 0, 2, 3, 6)};
             return assemble_subject(3, std::move(p), std::move(a));
         },
         "phase 5 transfer 0 has a mismatched partner-busy activity"},
        {"a transfer without source addresses",
         [] {
             ExchangeScheduleProblem p{5, {{0, {0x0}, {{1, 0x0}}, 1, ExchangeItemWidth::Word32}}};
             std::vector<std::vector<ExchangeActivity>> a(2);
             a[0] = {send_of(p, 0, 0, 1, 4)};
             a[1] = {receive_of(p, 0, 0, 2, 3, 6)};
             p.transfers[0].source_addresses.clear();
             return assemble_subject(2, std::move(p), std::move(a));
         },
         "phase 5 transfer 0 has a mismatched send activity"},
        {"an activity of no known kind",
         [] {
             ExchangeScheduleProblem p{5, {{0, {0x0}, {{1, 0x0}}, 1, ExchangeItemWidth::Word32}}};
             std::vector<std::vector<ExchangeActivity>> a(2);
             a[0] = {send_of(p, 0, 0, 1, 4)};
             a[1] = {receive_of(p, 0, 0, 2, 3, 6)};
             a[1][0].kind = static_cast<Kind>(3);
             return assemble_subject(2, std::move(p), std::move(a));
         },
         "phase 5 tile 1 transfer 0 has an unknown activity kind"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const ValidationSubject subject = c.build();
        EXPECT_EQ(failure_of(subject), ExchangeLoweringError::invariant(c.failure).debug());
    }
}

}  // namespace
}  // namespace vorn::codegen
