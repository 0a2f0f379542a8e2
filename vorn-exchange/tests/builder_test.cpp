// The phase program builder: receive windows, the placement rules of the
// offset search, the validating search (staging, the alignment retry, the
// shared budget, the staged cache), appends that fail without changing a
// tile, the encoding cell shared by copies, and the receives that follow a
// paired format.

#include "vorn/exchange/builder.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <limits>
#include <optional>
#include <vector>

#include "builder_support.hpp"
#include "test_support.hpp"
#include "vorn/exchange/diagnostic.hpp"

namespace vorn::exchange {
namespace {

using testing::error_of;
using testing::place;
using testing::prepare_multicast;
using testing::prepare_point_to_point;
using testing::PreparedTransfer;

const Topology& section(std::uint16_t tiles) {
    static const Topology s8 = *Topology::q480_section(8);
    static const Topology s16 = *Topology::q480_section(16);
    static const Topology s128 = *Topology::q480_section(128);
    switch (tiles) {
        case 8:
            return s8;
        case 16:
            return s16;
        default:
            return s128;
    }
}

PreparedTransfer point(std::uint16_t tiles, std::uint16_t sender, std::uint16_t receiver, std::uint32_t words) {
    auto transfer = prepare_point_to_point(section(tiles), sender, receiver, words, 0x100);
    EXPECT_TRUE(transfer) << transfer.error();
    return std::move(*transfer);
}

PreparedTransfer multi(std::uint16_t tiles, std::uint16_t sender, std::vector<std::uint16_t> receivers,
                       std::uint32_t words, std::vector<std::uint32_t> addresses, bool paired = false) {
    auto transfer = prepare_multicast(section(tiles), sender, std::move(receivers), words, 0x100, addresses, paired);
    EXPECT_TRUE(transfer) << transfer.error();
    return std::move(*transfer);
}

tl::expected<std::uint32_t, ExchangeError> deferred(const PhaseProgramBuilder& builder, const PreparedTransfer& t,
                                                    std::uint32_t not_before = 0) {
    return builder.earliest_transfer_offset_deferred(t.sender, t.partners, t.receivers, *t.plan, t.items, not_before);
}
tl::expected<std::uint32_t, ExchangeError> validating(PhaseProgramBuilder& builder, const PreparedTransfer& t,
                                                      std::uint32_t not_before = 0) {
    return builder.earliest_transfer_offset(t.sender, t.partners, t.receivers, *t.plan, t.items, not_before);
}
tl::expected<PhaseTransferTiming, ExchangeError> append(PhaseProgramBuilder& builder, const PreparedTransfer& t,
                                                        std::uint32_t offset) {
    return builder.append_transfer_at(t.sender, t.partners, t.receivers, *t.plan, offset, t.items);
}

std::vector<TileProgramSchedule> tiles_of(const PhaseProgramBuilder& builder) {
    return {builder.tiles().begin(), builder.tiles().end()};
}

// Receive events by their role, to build rows by hand.
ReceiveEvent source_event(std::uint32_t time, std::uint32_t physical = 5) {
    return {time, xpic_word(xpic_source_value(physical)), ReceiveEventKind::XpicSource};
}
ReceiveEvent teardown_event(std::uint32_t time) {
    return {time, xpic_word(xpic_teardown()), ReceiveEventKind::XpicTeardown};
}
ReceiveEvent pointer_event(std::uint32_t time, std::uint32_t address) {
    return {time, pic_word(pic_pointer_value(address)), ReceiveEventKind::PicPointer};
}
ReceiveEvent format_event(std::uint32_t time, std::uint32_t format) {
    return {time, pic_word(pic_format_value(format)), ReceiveEventKind::PicFormat};
}

// An ordinary receive: source at 10, teardown at 30, pointer at 60 setting
// `address`, ending at 70.
ReceiveRowTiming ordinary_timing(std::uint32_t address = 0x400) {
    ReceiveRowTiming timing;
    timing.events = {source_event(10), teardown_event(30), pointer_event(60, address)};
    timing.source = 10;
    timing.teardown = 30;
    timing.pointer = 60;
    timing.pointer_address = address;
    timing.horizon = 70;
    return timing;
}

// A paired receive without mux controls: format start (value `format`) at
// 50, pointer at 52, format end at 58, ending at 65.
ReceiveRowTiming paired_timing(std::uint32_t format) {
    ReceiveRowTiming timing;
    timing.events = {format_event(50, format),
                     {52, pic_word(pic_pointer_value(0x800)), ReceiveEventKind::PairedPicPointer},
                     format_event(58, 0)};
    timing.format_start = 50;
    timing.format_end = 58;
    timing.pointer = 52;
    timing.pointer_address = 0x800;
    timing.horizon = 65;
    timing.paired = true;
    return timing;
}

std::uint32_t format_value_of_word(Word word) { return pic_value(word) & pic_pointer_mask; }

// The value of a paired row's format-start control.
std::uint32_t format_value_of(const ReceiveRowTiming& timing) {
    for (const ReceiveEvent& event : timing.events) {
        if (event.kind == ReceiveEventKind::PicFormat && event.time == timing.format_start) {
            return format_value_of_word(event.word);
        }
    }
    return 0;
}

// ---------------------------------------------------------------------------
// Receive windows.

TEST(BuilderReceiveWindow, ShiftsTheRowAndReleasesTheMuxWhenTheLastItemHasPassed) {
    const auto window = scheduled_receive_window(ordinary_timing(), 1000, 8, std::nullopt);
    ASSERT_TRUE(window) << window.error();
    EXPECT_THAT(window->events,
                ::testing::ElementsAre(source_event(1010), teardown_event(1018), pointer_event(1060, 0x400)));
    EXPECT_EQ(window->source_start, 1010U);
    EXPECT_EQ(window->source_end, 1018U);
    EXPECT_EQ(window->receive_start, 1060U);
    EXPECT_EQ(window->receive_completion, 1068U);
    EXPECT_EQ(window->receive_end, 1070U);  // the row's horizon is the latest
    EXPECT_EQ(window->address, 0x400U);
    EXPECT_FALSE(window->continues_format);

    // With many items the receive itself ends last.
    const auto long_window = scheduled_receive_window(ordinary_timing(), 0, 100, std::nullopt);
    ASSERT_TRUE(long_window);
    EXPECT_EQ(long_window->receive_end, 160U);
}

TEST(BuilderReceiveWindow, APointerAlreadyAtTheAddressIsDropped) {
    ReceiveStream stream;
    stream.next_address = 0x400;
    stream.source_free = 5;
    stream.pointer_free = 5;
    const auto continued = scheduled_receive_window(ordinary_timing(0x400), 0, 8, stream);
    ASSERT_TRUE(continued);
    EXPECT_TRUE(continued->continues_address);
    EXPECT_THAT(continued->events, ::testing::ElementsAre(source_event(10), teardown_event(18)));
    EXPECT_EQ(continued->receive_start, 60U);  // the receive still starts with the row's pointer

    const auto elsewhere = scheduled_receive_window(ordinary_timing(0x404), 0, 8, stream);
    ASSERT_TRUE(elsewhere);
    EXPECT_EQ(elsewhere->events.size(), 3U);

    stream.paired = true;  // a paired stream never continues an address
    const auto after_paired = scheduled_receive_window(ordinary_timing(0x400), 0, 8, stream);
    ASSERT_TRUE(after_paired);
    EXPECT_EQ(after_paired->events.size(), 3U);
}

TEST(BuilderReceiveWindow, AFormatContinuesOnlyWithItsValueAtItsEnd) {
    ReceiveStream stream;
    stream.format_open = true;
    stream.format_value = 1;
    stream.format_end = 150;
    stream.paired = true;
    struct Case {
        std::uint32_t format;
        std::uint32_t offset;
        bool continues;
    };
    for (const Case& c : {Case{1, 100, true}, Case{2, 100, false}, Case{1, 101, false}}) {
        const auto window = scheduled_receive_window(paired_timing(c.format), c.offset, 8, stream);
        ASSERT_TRUE(window) << window.error();
        EXPECT_EQ(window->continues_format, c.continues) << c.format << " at " << c.offset;
        const bool has_start = std::any_of(window->events.begin(), window->events.end(), [&](const ReceiveEvent& e) {
            return e.kind == ReceiveEventKind::PicFormat && e.time == c.offset + 50;
        });
        EXPECT_EQ(has_start, !c.continues);
        EXPECT_EQ(window->format_value, c.format);
        EXPECT_EQ(window->format_end, c.offset + 58);
    }
    stream.format_open = false;
    const auto closed = scheduled_receive_window(paired_timing(1), 100, 8, stream);
    ASSERT_TRUE(closed);
    EXPECT_FALSE(closed->continues_format);
}

TEST(BuilderReceiveWindow, RowsThatCannotBePlacedFail) {
    constexpr std::uint32_t max = std::numeric_limits<std::uint32_t>::max();
    struct Case {
        const char* what;
        ReceiveRowTiming timing;
        std::uint32_t offset;
        std::uint32_t items;
        InvariantName expected;
    };
    ReceiveRowTiming no_source = ordinary_timing();
    no_source.source.reset();
    ReceiveRowTiming no_pointer = ordinary_timing();
    no_pointer.pointer.reset();
    ReceiveRowTiming late_pointer = ordinary_timing();
    late_pointer.pointer = 69;  // the payload passes the row's end
    ReceiveRowTiming clash = ordinary_timing();
    clash.events.push_back(format_event(10, 0));  // beside the source control
    const std::vector<Case> cases = {
        {"row end beyond the last cycle", ordinary_timing(), max - 69, 1, invariant::receive_offset_overflow},
        {"neither source nor format start", no_source, 0, 8, invariant::receive_source_timing},
        {"source passes the last cycle", ordinary_timing(), max - 70, max - 30,
         invariant::receive_source_timing_overflow},
        {"no pointer", no_pointer, 0, 8, invariant::receive_pointer_event},
        {"payload passes the last cycle", late_pointer, max - 70, 10, invariant::receive_payload_timing_overflow},
        {"two mux controls at one cycle", clash, 0, 8, invariant::incompatible_simultaneous_receive_controls},
    };
    for (const Case& c : cases) {
        const auto window = scheduled_receive_window(c.timing, c.offset, c.items, std::nullopt);
        EXPECT_EQ(error_of(window), ExchangeError::schedule(c.expected)) << c.what;
    }
    // The teardown moved to the source end may meet the pointer: one SENDPICP.
    const auto pair = scheduled_receive_window(ordinary_timing(), 0, 50, std::nullopt);
    ASSERT_TRUE(pair) << pair.error();
    EXPECT_THAT(pair->events, ::testing::ElementsAre(source_event(10), teardown_event(60), pointer_event(60, 0x400)));
}

// ---------------------------------------------------------------------------
// Arguments.

TEST(BuilderArguments, TilesAndRowsAreCheckedBeforeAnythingElse) {
    const PreparedTransfer t = multi(16, 2, {3, 4}, 8, {0x1000, 0x1000});
    PhaseProgramBuilder builder(16);
    const std::vector<std::uint16_t> one{3};
    const std::vector<std::uint16_t> outside{3, 16};
    const std::vector<std::uint16_t> none;
    const std::vector<std::uint16_t> outside_partner{16};

    EXPECT_EQ(error_of(builder.earliest_transfer_offset_deferred(16, none, t.receivers, *t.plan, 8, 0)),
              ExchangeError::tile(16));
    EXPECT_EQ(error_of(builder.earliest_transfer_offset(2, none, one, *t.plan, 8, 0)),
              ExchangeError::schedule(invariant::receiver_row_count));
    EXPECT_EQ(error_of(builder.transfer_timing_at(2, outside, *t.plan, 0, 8)), ExchangeError::tile(16));
    EXPECT_EQ(error_of(builder.earliest_transfer_offset_deferred(2, outside, t.receivers, *t.plan, 8, 0)),
              ExchangeError::tile(16));
    EXPECT_EQ(error_of(builder.earliest_transfer_offset_deferred(2, outside_partner, t.receivers, *t.plan, 8, 0)),
              ExchangeError::tile(16));
    EXPECT_EQ(error_of(builder.append_transfer_at(2, none, outside, *t.plan, 0, 8)), ExchangeError::tile(16));
    EXPECT_FALSE(builder.staged());
}

TEST(BuilderArguments, AnEmptyBuilderFinishesWithoutPrograms) {
    const PhaseProgramBuilder empty(0);
    EXPECT_EQ(empty.event_cycles(), 0U);
    const PhaseProgramBuilder builder(16);
    EXPECT_EQ(builder.event_cycles(), 0U);
    const auto programs = builder.finish();
    ASSERT_TRUE(programs) << programs.error();
    EXPECT_EQ(programs->horizon, 0U);
    EXPECT_EQ(programs->programs, std::vector<std::optional<std::vector<Word>>>(16));
    EXPECT_EQ(programs->tile_horizons, std::vector<std::uint32_t>(16, 0));
}

// ---------------------------------------------------------------------------
// Placement rules.

TEST(BuilderPlacement, APayloadMovesOffTheCycleOfAReceivedControlAndTheCycleBefore) {
    PhaseProgramBuilder builder(16);
    const PreparedTransfer in = point(16, 2, 3, 40);
    ASSERT_TRUE(place(builder, in, 1000, false));
    // The source control of that receive stands alone: nothing on tile 3
    // within two cycles of it.
    const Chunked<ReceiveEvent>& events = builder.tile(3).receive_events();
    const std::uint32_t control = events[0].time;
    ASSERT_GT(events[1].time, control + 3);

    const PreparedTransfer out = point(16, 3, 4, 8);
    const std::uint32_t lead = out.plan->sender_timing().payload_start;
    ASSERT_GT(control, lead + 2);
    struct Case {
        std::uint32_t wanted_start;
        std::uint32_t start;
    };
    for (const Case& c : {Case{control - 2, control - 2}, Case{control - 1, control + 1}, Case{control, control + 1},
                          Case{control + 1, control + 1}}) {
        for (const bool validate : {false, true}) {
            PhaseProgramBuilder copy = builder;
            const auto offset =
                validate ? validating(copy, out, c.wanted_start - lead) : deferred(copy, out, c.wanted_start - lead);
            ASSERT_TRUE(offset) << offset.error();
            EXPECT_EQ(*offset + lead, c.start) << "wanted " << c.wanted_start << " validating " << validate;
        }
    }
}

TEST(BuilderPlacement, APayloadGoesIntoTheFirstGapOfTheSenderThatHoldsIt) {
    PhaseProgramBuilder builder(16);
    const PreparedTransfer first = point(16, 2, 3, 40);
    ASSERT_TRUE(place(builder, first, 400, false));
    const ScheduledSenderRow a = builder.tile(2).sender_rows()[0];
    struct Case {
        std::uint16_t receiver;
        std::uint32_t items;
        std::int64_t wanted;  // relative to the first payload's start
        std::int64_t start;   // where the payload lands, ditto; a second payload of 8 items follows the first
    };
    const std::int64_t length = a.payload_end - a.payload_start;
    for (const Case& c : {Case{5, 8, 10, length + 8}, Case{6, 64, -30, length + 8}, Case{7, 8, -30, -30},
                          Case{8, 8, -8, -8}, Case{9, 8, -7, length + 8}}) {
        PhaseProgramBuilder copy = builder;
        ASSERT_TRUE(place(copy, point(16, 2, 4, 8),
                          a.payload_end - point(16, 2, 4, 8).plan->sender_timing().payload_start, false));
        const PreparedTransfer next = point(16, 2, c.receiver, c.items);
        const std::uint32_t lead = next.plan->sender_timing().payload_start;
        const auto offset = deferred(copy, next, static_cast<std::uint32_t>(a.payload_start + c.wanted - lead));
        ASSERT_TRUE(offset) << offset.error();
        EXPECT_EQ(static_cast<std::int64_t>(*offset + lead) - a.payload_start, c.start)
            << c.items << " at " << c.wanted;
    }
}

TEST(BuilderPlacement, APairedSendKeepsItsPartnerIdle) {
    PhaseProgramBuilder builder(128);
    const std::uint16_t partner = *section(128).paired_logical(2);
    // The partner sends first.
    ASSERT_TRUE(place(builder, point(128, partner, 9, 40), 0, false));
    const std::uint32_t partner_end = builder.tile(partner).sender_rows()[0].payload_end;

    const PreparedTransfer paired = multi(128, 2, {0, 1}, 16, {0x1000, 0x2000}, true);
    ASSERT_EQ(paired.partners, std::vector<std::uint16_t>{partner});
    const auto offset = deferred(builder, paired);
    ASSERT_TRUE(offset);
    EXPECT_EQ(*offset, partner_end);
    const auto timing = append(builder, paired, *offset);
    ASSERT_TRUE(timing) << timing.error();
    EXPECT_EQ(builder.tile(partner).busy_until(), timing->send_end);
    EXPECT_GE(builder.tile(partner).horizon(), timing->send_end);

    // The partner's next payload waits for the paired send to end, and so
    // does the next paired send that needs the partner idle.
    const PreparedTransfer next = point(128, partner, 10, 8);
    const auto after = deferred(builder, next);
    ASSERT_TRUE(after);
    EXPECT_EQ(*after + next.plan->sender_timing().payload_start, timing->send_end);
    const PreparedTransfer again = multi(128, 2, {4, 5}, 16, {0x1000, 0x2000}, true);
    ASSERT_GT(again.plan->sender_timing().payload_start, 0U);
    EXPECT_EQ(deferred(builder, again), timing->send_end);
}

TEST(BuilderPlacement, AReceiveTakesOverTheMuxAndThePointerOfTheOneBefore) {
    PhaseProgramBuilder builder(16);
    ASSERT_TRUE(place(builder, multi(16, 2, {3}, 8, {0x1000}), 0, false));
    const std::uint32_t released = builder.tile(3).receive_stream()->source_free;
    ASSERT_EQ(builder.tile(3).receive_stream()->next_address, 0x1020U);

    // The next receive lands right behind: its source control replaces the
    // teardown, and the pointer already stands at its address.
    const PreparedTransfer next = multi(16, 4, {3}, 8, {0x1020});
    const auto offset = place(builder, next, 0, false);
    ASSERT_TRUE(offset);
    EXPECT_EQ(*offset + *next.plan->receive_timings()[0].source, released);
    const auto count = [&](ReceiveEventKind kind) {
        const auto& events = builder.tile(3).receive_events();
        return std::count_if(events.begin(), events.end(), [&](const ReceiveEvent& e) { return e.kind == kind; });
    };
    EXPECT_EQ(count(ReceiveEventKind::XpicSource), 2);
    EXPECT_EQ(count(ReceiveEventKind::XpicTeardown), 1);
    EXPECT_EQ(count(ReceiveEventKind::PicPointer), 1);
    EXPECT_EQ(builder.tile(3).receive_stream()->source_free, released + 8);
    EXPECT_TRUE(builder.finish());
}

TEST(BuilderPlacement, AReceiveWaitsForThePreviousPointerAsWellAsItsSource) {
    // Rows written by hand: both select the source at cycle 1 and release it
    // at 2; the first sets its pointer at 103, the second at 5.
    const auto receiver_row = [](std::uint32_t pointer_delay) {
        return RowWords{sync_entry,
                        xpic_word(xpic_source_value(9), 0),
                        xpic_word(xpic_teardown(), 0),
                        pic_word(pic_pointer_value(0x400), pointer_delay),
                        delay_word_for_cycles(4),
                        return_word};
    };
    const RowWords sender_row{sync_entry, explicit_send_word(8, 0x20, 1), return_word};
    const MulticastExchange far{{receiver_row(100)}, sender_row};
    const MulticastExchange near{{receiver_row(2)}, sender_row};
    const auto far_plan = MulticastPlan::prepare(far);
    const auto near_plan = MulticastPlan::prepare(near);
    ASSERT_TRUE(far_plan && near_plan);
    ASSERT_EQ(near_plan->receive_timings()[0].pointer, 5U);

    PhaseProgramBuilder builder(16);
    const std::vector<std::uint16_t> none;
    const std::vector<std::uint16_t> receiver{3};
    ASSERT_TRUE(builder.append_transfer_at(2, none, receiver, *far_plan, 0, 8));
    EXPECT_EQ(builder.tile(3).receive_stream()->pointer_free, 111U);
    // The source would be free for offset 8 already.
    EXPECT_EQ(builder.earliest_transfer_offset_deferred(4, none, receiver, *near_plan, 8, 0), 106U);
}

TEST(BuilderPlacement, TimingAtAnOffsetIsWhatTheAppendReports) {
    PhaseProgramBuilder builder(16);
    const PreparedTransfer t = multi(16, 2, {3, 9}, 60, {0x1000, 0x2000});
    const auto before = builder.transfer_timing_at(t.sender, t.receivers, *t.plan, 77, t.items);
    ASSERT_TRUE(before);
    EXPECT_EQ(builder.staged(), std::nullopt);
    const SenderRowTiming& sender = t.plan->sender_timing();
    EXPECT_EQ(before->send_start, 77 + sender.payload_start);
    EXPECT_EQ(before->send_completion, 77 + sender.payload_end);
    EXPECT_EQ(before->send_end, 77 + sender.horizon);
    ASSERT_EQ(before->receive_starts.size(), 2U);
    for (std::size_t i = 0; i < 2; ++i) {
        const ReceiveRowTiming& row = t.plan->receive_timings()[i];
        EXPECT_EQ(before->receive_starts[i], 77 + *row.pointer);
        EXPECT_EQ(before->receive_completions[i], 77 + *row.pointer + 60);
        EXPECT_GE(before->horizon, before->receive_ends[i]);
    }
    const auto appended = append(builder, t, 77);
    ASSERT_TRUE(appended);
    EXPECT_EQ(*appended, *before);
    EXPECT_EQ(builder.event_cycles(), before->horizon);
}

// ---------------------------------------------------------------------------
// Receives that follow a paired format. Tiles 0 and 1 are a pair; a paired
// send from tile 2 leaves both with a format ending at cycle F. Tile 0 drives
// the pair's mux; tile 1 has no mux controls, so its source is free exactly
// at F.

struct AfterPairedFormat {
    PhaseProgramBuilder builder{128};
    std::uint32_t format_end = 0;

    AfterPairedFormat() {
        EXPECT_TRUE(place(builder, multi(128, 2, {0, 1}, 16, {0x1000, 0x2000}, true), 0, false));
        const auto& lane = builder.tile(1).receive_stream();
        EXPECT_TRUE(lane && lane->format_end);
        format_end = *lane->format_end;
        EXPECT_EQ(lane->source_free, format_end);
        EXPECT_EQ(builder.tile(0).receive_stream()->format_end, format_end);
    }

    static std::size_t format_ends_at(const PhaseProgramBuilder& builder, std::uint16_t tile, std::uint32_t time) {
        const auto& events = builder.tile(tile).receive_events();
        return static_cast<std::size_t>(std::count_if(events.begin(), events.end(), [&](const ReceiveEvent& event) {
            return event.time == time && event.kind == ReceiveEventKind::PicFormat &&
                   format_value_of_word(event.word) == 0;
        }));
    }

    // The time of the first event of `kind` on `tile` after cycle `after`.
    std::optional<std::uint32_t> first_after(std::uint16_t tile, std::uint32_t after, ReceiveEventKind kind) const {
        for (const ReceiveEvent& event : builder.tile(tile).receive_events()) {
            if (event.time > after && event.kind == kind) {
                return event.time;
            }
        }
        return std::nullopt;
    }
};

TEST(BuilderAfterPairedFormat, TheSameFormatContinuesRightAtItsEnd) {
    AfterPairedFormat phase;
    // Tile 4 sends with the same direction as tile 2.
    const PreparedTransfer next = multi(128, 4, {0, 1}, 16, {0x1000, 0x2000}, true);
    for (const std::uint16_t tile : {0, 1}) {
        ASSERT_EQ(format_value_of(next.plan->receive_timings()[tile]),
                  phase.builder.tile(tile).receive_stream()->format_value);
    }
    const auto offset = place(phase.builder, next, 0, false);
    ASSERT_TRUE(offset) << offset.error();
    EXPECT_EQ(*offset + *next.plan->receive_timings()[0].format_start, phase.format_end);
    for (const std::uint16_t tile : {0, 1}) {
        // The old format end is gone, no new format start took its place.
        EXPECT_EQ(phase.format_ends_at(phase.builder, tile, phase.format_end), 0U) << tile;
        EXPECT_EQ(phase.first_after(tile, phase.format_end, ReceiveEventKind::PicFormat),
                  *offset + *next.plan->receive_timings()[tile].format_end);
    }
    EXPECT_TRUE(phase.builder.finish());
}

TEST(BuilderAfterPairedFormat, AnotherFormatValueWaitsOneCycleAfterTheFormatEnd) {
    AfterPairedFormat phase;
    // Tile 46 sends from the other side: other format values, and its mux
    // lane is tile 1, whose source control would come right at the format end.
    const PreparedTransfer next = multi(128, 46, {0, 1}, 16, {0x1000, 0x2000}, true);
    const ReceiveRowTiming& lane = next.plan->receive_timings()[1];
    ASSERT_TRUE(lane.source);
    ASSERT_NE(format_value_of(lane), phase.builder.tile(1).receive_stream()->format_value);

    for (const bool validate : {false, true}) {
        PhaseProgramBuilder builder = phase.builder;
        const auto offset = place(builder, next, 0, validate);
        ASSERT_TRUE(offset) << offset.error();
        EXPECT_EQ(*offset + *lane.source, phase.format_end + 1);
        EXPECT_EQ(phase.format_ends_at(builder, 1, phase.format_end), 1U);
        const auto programs = builder.finish();
        EXPECT_TRUE(programs) << programs.error();
    }
}

TEST(BuilderAfterPairedFormat, AnOrdinaryReceiveWaitsOneCycleAfterTheFormatEnd) {
    AfterPairedFormat phase;
    const PreparedTransfer next = multi(128, 4, {1}, 8, {0x3000});
    const ReceiveRowTiming& row = next.plan->receive_timings()[0];
    for (const bool validate : {false, true}) {
        PhaseProgramBuilder builder = phase.builder;
        const auto offset = place(builder, next, 0, validate);
        ASSERT_TRUE(offset) << offset.error();
        EXPECT_EQ(*offset + *row.source, phase.format_end + 1);
        const auto programs = builder.finish();
        EXPECT_TRUE(programs) << programs.error();
    }
}

// ---------------------------------------------------------------------------
// The validating search.

// On the 8-tile section: after a paired send from tile 2 to tiles 6 and 7,
// a multicast from tile 1 to tile 6 fits the placement rules at cycle 19,
// but there tile 6 needs a SENDPICP that cannot start at an even word index.
struct AlignmentCase {
    PreparedTransfer paired = multi(8, 2, {6, 7}, 36, {0x4000, 0x8000}, true);
    PreparedTransfer next = multi(8, 1, {6}, 58, {0x2000});
    PhaseProgramBuilder builder = PhaseProgramBuilder(8).with_validation_budget(1'000'000);

    AlignmentCase() { EXPECT_TRUE(place(builder, paired, 0, false)); }
};

TEST(BuilderValidation, AnUnalignedSendPicPairIsRetriedOneCycleLater) {
    AlignmentCase c;
    const auto rule_offset = deferred(c.builder, c.next);
    ASSERT_TRUE(rule_offset);

    // At the offset the rules allow, tile 6 does not encode.
    PhaseProgramBuilder trial = c.builder;
    ASSERT_TRUE(append(trial, c.next, *rule_offset));
    EXPECT_EQ(error_of(trial.tile(6).encoded()), ExchangeError::schedule(invariant::sendpicp_instruction_alignment));
    EXPECT_EQ(error_of(trial.finish()), ExchangeError::schedule(invariant::sendpicp_instruction_alignment));
    // A failed encoding stores nothing.
    EXPECT_EQ(trial.tile(6).computed_encoding(), nullptr);

    // The validating search stages twice: the failed cycle and the next.
    const std::uint64_t budget = *c.builder.validation_budget();
    const std::uint64_t work =
        2 * ((c.builder.tile(1).sender_rows().len() + c.builder.tile(1).receive_events().len() + 1) +
             (c.builder.tile(6).sender_rows().len() + c.builder.tile(6).receive_events().len() + 1));
    const auto offset = validating(c.builder, c.next);
    ASSERT_TRUE(offset) << offset.error();
    EXPECT_EQ(*offset, *rule_offset + 1);
    EXPECT_EQ(*c.builder.validation_budget(), budget - work);
    ASSERT_TRUE(append(c.builder, c.next, *offset));
    EXPECT_TRUE(c.builder.finish());
}

TEST(BuilderValidation, OtherEncodingErrorsEndTheSearch) {
    // A paired send to its own pair and another: the sender's own receive
    // controls come on the cycle after its payload starts, at every offset.
    const PreparedTransfer self = multi(16, 4, {0, 1, 4, 5}, 58, {0x1000, 0x2000, 0x3000, 0x4000}, true);
    PhaseProgramBuilder builder = PhaseProgramBuilder(16).with_validation_budget(1'000'000);
    EXPECT_EQ(deferred(builder, self), 0U);
    EXPECT_EQ(error_of(validating(builder, self)),
              ExchangeError::schedule(invariant::unencodable_initial_send_control));
    EXPECT_FALSE(builder.staged());
    // One staging was paid for.
    EXPECT_EQ(*builder.validation_budget(), 1'000'000U - 5U);
}

TEST(BuilderValidation, TheBudgetIsOneCounterForAllCopies) {
    const PreparedTransfer t = multi(16, 2, {3, 9}, 8, {0x1000, 0x2000});
    // Each validation of t on an empty builder costs one unit per tile.
    PhaseProgramBuilder builder = PhaseProgramBuilder(16).with_validation_budget(5);
    PhaseProgramBuilder copy = builder;
    ASSERT_TRUE(validating(copy, t));
    EXPECT_EQ(builder.validation_budget(), 2U);
    EXPECT_EQ(copy.validation_budget(), 2U);

    // Not enough left: nothing is taken, and the deferred search does not
    // need any.
    EXPECT_EQ(error_of(validating(builder, t)), ExchangeError::validation_budget_exceeded());
    EXPECT_EQ(builder.validation_budget(), 2U);
    EXPECT_FALSE(builder.staged());
    EXPECT_EQ(deferred(builder, t), 0U);

    // The copy's staged transfer is served without charging again.
    EXPECT_EQ(validating(copy, t), 0U);
    EXPECT_EQ(copy.validation_budget(), 2U);

    // A new budget is a new counter; without one, nothing is counted.
    PhaseProgramBuilder fresh = PhaseProgramBuilder(builder).with_validation_budget(3);
    ASSERT_TRUE(validating(fresh, t));
    EXPECT_EQ(fresh.validation_budget(), 0U);
    EXPECT_EQ(builder.validation_budget(), 2U);
    PhaseProgramBuilder unlimited(16);
    EXPECT_TRUE(validating(unlimited, t));
    EXPECT_EQ(unlimited.validation_budget(), std::nullopt);
}

TEST(BuilderValidation, ABudgetBelowTheFirstValidationFails) {
    PhaseProgramBuilder builder = PhaseProgramBuilder(16).with_validation_budget(2);
    const PreparedTransfer t = multi(16, 2, {3, 9}, 8, {0x1000, 0x2000});
    EXPECT_EQ(error_of(validating(builder, t)), ExchangeError::validation_budget_exceeded());
    EXPECT_EQ(deferred(builder, t), 0U);
    EXPECT_TRUE(place(builder, t, 0, false));
}

TEST(BuilderValidation, TheNextAppendReusesTheStagedSchedules) {
    PhaseProgramBuilder builder(16);
    ASSERT_TRUE(place(builder, point(16, 5, 3, 20), 0, true));
    const PreparedTransfer t = multi(16, 2, {3, 9}, 8, {0x1000, 0x2000});
    const auto offset = validating(builder, t);
    ASSERT_TRUE(offset);
    ASSERT_TRUE(builder.staged());
    const StagedTransfer& staged = *builder.staged();
    EXPECT_EQ(staged.offset, *offset);
    ASSERT_EQ(staged.staged_tiles.size(), 3U);
    std::vector<std::shared_ptr<const EncodedSchedule>> encodings;
    for (const std::uint16_t tile : {2, 3, 9}) {
        const auto found = std::find_if(staged.staged_tiles.begin(), staged.staged_tiles.end(),
                                        [&](const auto& entry) { return entry.first == tile; });
        ASSERT_NE(found, staged.staged_tiles.end());
        encodings.push_back(found->second.computed_encoding());
        ASSERT_NE(encodings.back(), nullptr);
    }

    // Appending the same transfer elsewhere stages afresh (and empties the
    // cache); appending it where it was staged takes the staged schedules.
    PhaseProgramBuilder elsewhere = builder;
    ASSERT_TRUE(append(elsewhere, t, *offset + 1));
    EXPECT_FALSE(elsewhere.staged());
    EXPECT_EQ(elsewhere.tile(2).computed_encoding(), nullptr);

    ASSERT_TRUE(append(builder, t, *offset));
    EXPECT_FALSE(builder.staged());
    std::size_t index = 0;
    for (const std::uint16_t tile : {2, 3, 9}) {
        EXPECT_EQ(builder.tile(tile).computed_encoding(), encodings[index++]) << tile;
    }

    // The schedules are the ones an unvalidated append builds.
    PhaseProgramBuilder plain(16);
    ASSERT_TRUE(place(plain, point(16, 5, 3, 20), 0, false));
    ASSERT_TRUE(append(plain, t, *offset));
    EXPECT_EQ(tiles_of(plain), tiles_of(builder));
}

TEST(BuilderValidation, AStagedTransferIsServedOnlyForTheSameRequest) {
    PhaseProgramBuilder builder = PhaseProgramBuilder(16).with_validation_budget(100);
    const PreparedTransfer t = multi(16, 2, {3, 9}, 8, {0x1000, 0x2000});
    const PreparedTransfer moved = multi(16, 2, {3, 9}, 8, {0x1000, 0x2040});
    ASSERT_EQ(validating(builder, t), 0U);
    EXPECT_EQ(builder.validation_budget(), 97U);
    EXPECT_EQ(validating(builder, t), 0U);
    EXPECT_EQ(builder.validation_budget(), 97U);
    // Other receiver rows, other items, another offset: validated again.
    EXPECT_EQ(validating(builder, moved), 0U);
    EXPECT_EQ(builder.validation_budget(), 94U);
    EXPECT_EQ(builder.staged()->receiver_rows, moved.exchange->receiver_rows);
    EXPECT_TRUE(builder.earliest_transfer_offset(t.sender, t.partners, t.receivers, *t.plan, 7, 0));
    EXPECT_EQ(builder.validation_budget(), 91U);
    EXPECT_EQ(validating(builder, t, 5), 5U);
    EXPECT_EQ(builder.validation_budget(), 88U);
}

// ---------------------------------------------------------------------------
// Appends that fail.

TEST(BuilderAppend, AFailingAppendChangesNoTile) {
    PhaseProgramBuilder builder(128);
    ASSERT_TRUE(place(builder, point(128, 0, 5, 30), 0, false));
    const PreparedTransfer paired = multi(128, 2, {0, 1}, 16, {0x1000, 0x2000}, true);
    const auto offset = validating(builder, paired);
    ASSERT_TRUE(offset);
    const std::vector<TileProgramSchedule> before = tiles_of(builder);

    const std::uint16_t partner = paired.partners[0];
    const std::vector<std::uint16_t> with_sender{partner, 2};
    const std::vector<std::uint16_t> repeated{partner, partner};
    const std::vector<std::uint16_t> outside{128};
    const std::vector<std::uint16_t> twice{0, 0};
    struct Case {
        const char* what;
        std::span<const std::uint16_t> partners;
        std::span<const std::uint16_t> receivers;
        ExchangeError expected;
    };
    const std::vector<Case> cases = {
        {"sender among the partners", with_sender, paired.receivers, ExchangeError::duplicate_tile()},
        {"partner repeated", repeated, paired.receivers, ExchangeError::duplicate_tile()},
        {"partner outside", outside, paired.receivers, ExchangeError::tile(128)},
        {"receiver repeated", paired.partners, twice, ExchangeError::duplicate_tile()},
    };
    for (const Case& c : cases) {
        PhaseProgramBuilder copy = builder;
        const auto result = copy.append_transfer_at(2, c.partners, c.receivers, *paired.plan, *offset, paired.items);
        EXPECT_EQ(error_of(result), c.expected) << c.what;
        EXPECT_EQ(tiles_of(copy), before) << c.what;
    }
    // An append that would overlap a payload of the sender.
    const PreparedTransfer overlap = point(128, 0, 6, 30);
    const auto result = append(builder, overlap, 0);
    EXPECT_EQ(error_of(result), ExchangeError::schedule(invariant::overlapping_outgoing_messages));
    EXPECT_EQ(tiles_of(builder), before);
}

// ---------------------------------------------------------------------------
// Encodings.

TEST(BuilderEncoding, CopiesInOneStateShareOneEncoding) {
    PhaseProgramBuilder builder(16);
    ASSERT_TRUE(place(builder, point(16, 2, 3, 20), 0, false));
    ASSERT_TRUE(place(builder, point(16, 4, 3, 20), 0, false));
    const PhaseProgramBuilder copy = builder;
    EXPECT_EQ(builder.tile(3).computed_encoding(), nullptr);

    const auto encoded = copy.tile(3).encoded();
    ASSERT_TRUE(encoded);
    EXPECT_EQ(builder.tile(3).computed_encoding(), *encoded);
    EXPECT_EQ(builder.tile(3).encoded().value(), *encoded);

    // A change gives the changed copy a state of its own; its old encoding
    // becomes the base of the next one.
    ASSERT_TRUE(place(builder, point(16, 5, 3, 20), 0, false));
    const TileProgramSchedule& changed = builder.tile(3);
    EXPECT_EQ(changed.computed_encoding(), nullptr);
    EXPECT_EQ(changed.previous_encoding(), *encoded);
    EXPECT_EQ(copy.tile(3).computed_encoding(), *encoded);
    // The clean prefix is what the two states have in common: the new
    // receive took over the last teardown and went after the rest.
    const auto& old_events = copy.tile(3).receive_events();
    const auto& new_events = changed.receive_events();
    const auto common = std::mismatch(old_events.begin(), old_events.end(), new_events.begin(), new_events.end());
    EXPECT_EQ(changed.clean_receive_events(), common.first.index());
    EXPECT_LT(changed.clean_receive_events(), old_events.len());

    const auto reencoded = changed.encoded();
    ASSERT_TRUE(reencoded);
    EXPECT_NE(*reencoded, *encoded);
    const auto fresh =
        encoding::build_scheduled_program(changed.sender_rows(), changed.receive_events(), changed.horizon());
    ASSERT_TRUE(fresh);
    EXPECT_EQ(**reencoded, *fresh);
}

TEST(BuilderEncoding, FinishedProgramsAreTheValidatedEncodings) {
    PhaseProgramBuilder builder(16);
    ASSERT_TRUE(place(builder, multi(16, 2, {3, 9}, 70, {0x1000, 0x2000}), 0, false));
    const auto programs = builder.finish();
    ASSERT_TRUE(programs) << programs.error();
    EXPECT_EQ(programs->horizon, builder.event_cycles());
    for (std::uint16_t tile = 0; tile < 16; ++tile) {
        const TileProgramSchedule& schedule = builder.tile(tile);
        EXPECT_EQ(programs->tile_horizons[tile], schedule.horizon());
        const bool active = tile == 2 || tile == 3 || tile == 9;
        ASSERT_EQ(programs->programs[tile].has_value(), active) << tile;
        if (active) {
            EXPECT_EQ(*programs->programs[tile], schedule.computed_encoding()->words.to_vector());
        }
    }
    // Finishing again reads the same cached encodings.
    const auto again = builder.finish();
    ASSERT_TRUE(again);
    EXPECT_EQ(*again, *programs);
}

}  // namespace
}  // namespace vorn::exchange
