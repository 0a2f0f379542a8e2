#include "vorn/exchange/encoding.hpp"

#include <cstdint>
#include <functional>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "encoding_support.hpp"
#include "test_support.hpp"
#include "vorn/exchange/diagnostic.hpp"

namespace vorn::exchange {
namespace {

using testing::chunked_of;
using testing::error_of;
using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using testing::pic_format_event;
using testing::pic_pointer_event;
using testing::scheduled_row;
using testing::sender_row_words;
using testing::xpic_source_event;
using testing::xpic_teardown_event;

struct Schedule {
    std::vector<ScheduledSenderRow> rows;
    std::vector<ReceiveEvent> events;
    std::uint32_t horizon = 0;
};

tl::expected<EncodedSchedule, ExchangeError> encode(const Schedule& schedule) {
    return encoding::build_scheduled_program(chunked_of(schedule.rows), chunked_of(schedule.events), schedule.horizon);
}

// The words of an encoding that must succeed and must pass the validator.
std::vector<Word> encoded_words(const Schedule& schedule) {
    const auto encoded = encode(schedule);
    if (!encoded) {
        ADD_FAILURE() << "encoding failed: " << encoded.error();
        return {};
    }
    std::vector<Word> words = encoded->words.to_vector();
    const auto validated = validate_tile_program(0, std::span<const ScheduledSenderRow>(schedule.rows),
                                                 std::span<const ReceiveEvent>(schedule.events), schedule.horizon,
                                                 std::span<const Word>(words));
    EXPECT_TRUE(validated.has_value()) << validated.error();
    return words;
}

// ---------------------------------------------------------------------------
// Delays and empty tiles.

TEST(EncodingEmptyTile, HorizonZeroIsTheReturnWordAlone) { EXPECT_THAT(encoded_words({}), ElementsAre(0x43A00000U)); }

TEST(EncodingEmptyTile, DelaysCoverTheHorizonLargestFirst) {
    EXPECT_THAT(encoded_words({{}, {}, 1}), ElementsAre(0x40A00000U, 0x43A00000U));
    EXPECT_THAT(encoded_words({{}, {}, 0x80000}), ElementsAre(0x40A7FFFFU, 0x43A00000U));
    EXPECT_THAT(encoded_words({{}, {}, 0x80001}), ElementsAre(0x40A7FFFFU, 0x40A00000U, 0x43A00000U));
    EXPECT_THAT(encoded_words({{}, {}, 0x100005}), ElementsAre(0x40A7FFFFU, 0x40A7FFFFU, 0x40A00004U, 0x43A00000U));
}

TEST(EncodingEmptyTile, HasNoCheckpoints) {
    const auto encoded = encode({{}, {}, 500});
    ASSERT_TRUE(encoded);
    EXPECT_TRUE(encoded->checkpoints.empty());
}

TEST(EncodingDelays, SetWordDelayReplacesTheOldDelay) {
    EXPECT_EQ(set_word_delay(0x40A01234U, 7), 0x40A00007U);
    EXPECT_EQ(set_word_delay(0x40A00000U, 0x7FFFF), 0x40A7FFFFU);
    // PIC: value bits 0..18 kept, delay in bits 19..25.
    EXPECT_EQ(set_word_delay(0x63FFFFFFU, 0), 0x6007FFFFU);
    EXPECT_EQ(set_word_delay(0x60014000U, 127), 0x63F94000U);
    // XPIC: value bits 0..13 kept, delay in bits 14..25.
    EXPECT_EQ(set_word_delay(0x67FFFFFFU, 1), 0x64007FFFU);
    EXPECT_EQ(set_word_delay(0x64000640U, 4095), 0x67FFC640U);
}

TEST(EncodingDelays, ControlsAbsorbUpToTheirDelayFieldAndDelaysCoverTheRest) {
    // A PIC control 200 cycles after the cursor: DELAY of 72, PIC delay 127.
    EXPECT_THAT(encoded_words({{}, {pic_pointer_event(200, 0x400)}, 200}),
                ElementsAre(0x40A00047U, 0x63F80100U, 0x43A00000U));
    // Exactly 128 cycles fit the PIC delay field.
    EXPECT_THAT(encoded_words({{}, {pic_pointer_event(128, 0x400)}, 128}), ElementsAre(0x63F80100U, 0x43A00000U));
    // An XPIC control absorbs up to 4096 cycles.
    EXPECT_THAT(encoded_words({{}, {xpic_source_event(4096, 5)}, 4096}), ElementsAre(0x67FFC005U, 0x43A00000U));
    EXPECT_THAT(encoded_words({{}, {xpic_source_event(5000, 5)}, 5000}),
                ElementsAre(0x40A00387U, 0x67FFC005U, 0x43A00000U));
    // A control beyond one DELAY word's reach.
    EXPECT_THAT(encoded_words({{}, {xpic_source_event(0x80000 + 4097, 5)}, 0x80000 + 4097}),
                ElementsAre(0x40A7FFFFU, 0x40A00000U, 0x67FFC005U, 0x43A00000U));
}

// ---------------------------------------------------------------------------
// Receive events.

TEST(EncodingReceive, OrdinaryReceiveIsTheReceiverRowWithoutItsSync) {
    // The first receiver row of the multicast of 8 words from logical 0 to
    // logical 1 and 2: XPIC delay 3, XPIC teardown delay 7, PIC delay 43 with
    // the placeholder pointer, DELAY of 13 cycles. Placed at offset 0 its
    // controls take effect at 4, 12 and 56 and the row ends at 69.
    const Schedule schedule{{},
                            {ReceiveEvent{4, 0x64000000, ReceiveEventKind::XpicSource},
                             ReceiveEvent{12, 0x64000640, ReceiveEventKind::XpicTeardown},
                             ReceiveEvent{56, 0x60014000, ReceiveEventKind::PicPointer}},
                            69};
    EXPECT_THAT(encoded_words(schedule), ElementsAre(0x6400C000U, 0x6401C640U, 0x61594000U, 0x40A0000CU, 0x43A00000U));
    const auto encoded = encode(schedule);
    ASSERT_TRUE(encoded);
    EXPECT_THAT(encoded->checkpoints.to_vector(),
                ElementsAre(Checkpoint{false, 11, 0, 1, 1, 4}, Checkpoint{false, 55, 0, 2, 2, 12},
                            Checkpoint{false, 69, 0, 3, 3, 56}));
}

TEST(EncodingReceive, PointerAndTeardownAtOneCycleBecomeOneSendPicPair) {
    // The SENDPICP starts at cycle 5 (its controls take effect at 6); the
    // five waiting cycles take two DELAY words, largest first, so that it
    // starts at an even word index. It lasts until the horizon.
    const Schedule schedule{{}, {pic_pointer_event(6, 0x400), xpic_teardown_event(6)}, 30};
    EXPECT_THAT(encoded_words(schedule), ElementsAre(0x40A00003U, 0x40A00000U, 0xF3000000U, 0x19000100U, 0x43A00000U));
    const auto encoded = encode(schedule);
    ASSERT_TRUE(encoded);
    EXPECT_THAT(encoded->checkpoints.to_vector(), ElementsAre(Checkpoint{true, 30, 0, 2, 4, 30}));
}

TEST(EncodingReceive, SendPicPairNeedsNoExtraDelayAtAnEvenIndex) {
    const Schedule schedule{{}, {xpic_source_event(4, 9), xpic_teardown_event(20), pic_pointer_event(20, 0x800)}, 40};
    // XPIC at word 0, DELAY 15 at word 1, SENDPICP at word 2 for 21 cycles
    // (19..40), the order of the two events not mattering.
    EXPECT_THAT(encoded_words(schedule), ElementsAre(0x6400C009U, 0x40A0000EU, 0xF2800000U, 0x19000200U, 0x43A00000U));
}

TEST(EncodingReceive, SendPicPairRunsUntilTheNextEventAndAtMost64Cycles) {
    // Pair at 10 and the next control at 30: the SENDPICP covers 9..29.
    const Schedule bounded{{}, {pic_pointer_event(10, 0), xpic_source_event(10, 3), pic_format_event(30, 1)}, 30};
    EXPECT_THAT(encoded_words(bounded),
                ElementsAre(0x40A00007U, 0x40A00000U, 0xF2600000U, 0x000C0000U, 0x60040001U, 0x43A00000U));
    // Alone before a far horizon it stops after 64 cycles; DELAY pads.
    const Schedule capped{{}, {pic_pointer_event(1, 0), xpic_source_event(1, 3)}, 200};
    EXPECT_THAT(encoded_words(capped), ElementsAre(0xF7E00000U, 0x000C0000U, 0x40A00087U, 0x43A00000U));
}

TEST(EncodingReceive, RecordCountsWordsAlreadyWritten) {
    // Receiver rows start with SYNC 3: after it one DELAY word already puts
    // the SENDPICP at an even index.
    ProgramWriter writer;
    writer.words.push(sync_entry);
    const std::vector<ReceiveEvent> pair{pic_pointer_event(6, 0x400), xpic_teardown_event(6)};
    ASSERT_TRUE(append_receive_events_record(writer, pair, 12));
    EXPECT_THAT(writer.words.to_vector(), ElementsAre(0x41800003U, 0x40A00004U, 0xF0C00000U, 0x19000100U));
    EXPECT_EQ(writer.cursor, 12U);
    EXPECT_EQ(writer.receive_events, 2U);
}

TEST(EncodingReceive, PairedFormatControlsCarryTheirFormatBit) {
    // A PIC format value has bit 18 set; a SENDPICP is not used for it.
    const Schedule schedule{{}, {pic_format_event(3, 2), pic_format_event(9, 0)}, 9};
    EXPECT_THAT(encoded_words(schedule), ElementsAre(0x60140002U, 0x602C0000U, 0x43A00000U));
}

// ---------------------------------------------------------------------------
// Sender messages.

TEST(EncodingSend, SenderRowPlacedAtOffsetZeroIsItsOwnWords) {
    // The multicast sender row: SYNC 3, DELAY of 31, Explicit SEND of 8
    // items with send control 3, RETURN. Placed at offset 0 the payload is
    // 31..39 and the tile program is the row without its SYNC.
    const RowWords row = sender_row_words(8, 0x40, 3, 31);
    EXPECT_THAT(encoded_words({{ScheduledSenderRow{row, 31, 39}}, {}, 39}),
                ElementsAre(0x40A0001EU, 0x78E00203U, 0x43A00000U));
}

TEST(EncodingSend, LongSendIsAnExplicitSendAndOffsetSends) {
    // 4148 items: an Explicit SEND of 64 and one Offset SEND of 4084.
    EXPECT_THAT(encoded_words({{scheduled_row(0, 4148, 0x10, 2)}, {}, 4148}),
                ElementsAre(0x7FE00082U, 0x766FC002U, 0x43A00000U));
    EXPECT_EQ(offset_send_count(0x766FC002U), 4084U);
}

TEST(EncodingSend, ControlInsideThePayloadRidesOnAPicEncodedSend) {
    // Payload 10..110; an XPIC control at 50 is issued by the send starting
    // at 49: the first 39 items, then a Pic-encoded SEND carrying the
    // control up to the payload end (61 items).
    const Schedule schedule{{scheduled_row(10, 100, 0x200, 1)}, {xpic_source_event(50, 0x41)}, 110};
    EXPECT_THAT(encoded_words(schedule),
                ElementsAre(0x40A00009U, explicit_send_word(39, 0x200, 1), send_pic_with_xpic(61, 0x41), 0x43A00000U));
    // With a longer payload the carrying part stops at 64 items and an
    // Offset SEND sends the rest.
    const Schedule longer{{scheduled_row(10, 200, 0x200, 1)}, {pic_pointer_event(50, 0x1000)}, 210};
    EXPECT_THAT(encoded_words(longer), ElementsAre(0x40A00009U, explicit_send_word(39, 0x200, 1),
                                                   send_pic_with_pic(64, 0x400), offset_send_word(97, 1), 0x43A00000U));
    const auto encoded = encode(longer);
    ASSERT_TRUE(encoded);
    EXPECT_THAT(encoded->checkpoints.to_vector(), ElementsAre(Checkpoint{false, 210, 1, 1, 4, 210}));
}

TEST(EncodingSend, PairInsideThePayloadSendsFromTheAdvancedOperand) {
    // A pair at 50 in payload 10..110: SENDPICP with the row's send control
    // and source operand 0x200 + 39 items already sent.
    const Schedule schedule{
        {scheduled_row(10, 100, 0x200, 2)}, {pic_pointer_event(50, 0x800), xpic_teardown_event(50)}, 110};
    const SendPicPairWords pair = sendpicp_words(61, 0x227, 2, 0x640, 0x200);
    EXPECT_THAT(encoded_words(schedule),
                ElementsAre(0x40A00009U, explicit_send_word(39, 0x200, 2), pair.first, pair.second, 0x43A00000U));
}

TEST(EncodingSend, PayloadBeforeAPairIsSplitToReachAnEvenIndex) {
    // Without a leading DELAY the 49 items before the pair would be one
    // word; the Explicit SEND is split into one item and the rest.
    const Schedule schedule{
        {scheduled_row(0, 100, 0x200, 1)}, {xpic_source_event(50, 7), pic_pointer_event(50, 0x40)}, 100};
    const SendPicPairWords pair = sendpicp_words(51, 0x200 + 49, 1, 7, 0x10);
    EXPECT_THAT(encoded_words(schedule), ElementsAre(explicit_send_word(1, 0x200, 1), offset_send_word(48, 1),
                                                     pair.first, pair.second, 0x43A00000U));
}

TEST(EncodingSend, SplitTakesTheLastPartLongerThanOneItem) {
    // 64 + 4096 + 1 items before the pair: the last Offset part is a single
    // item, so the 4096-item part before it is split.
    const std::uint32_t before = 64 + 4096 + 1;
    ProgramWriter writer;
    auto message = SenderMessage::from_row(sender_row_words(64, 0, 1));
    ASSERT_TRUE(message);
    message->remaining = before;
    ASSERT_TRUE(emit_sender_words(writer, *message, before, true));
    EXPECT_THAT(writer.words.to_vector(), ElementsAre(explicit_send_word(64, 0, 1), offset_send_word(1, 1),
                                                      offset_send_word(4095, 1), offset_send_word(1, 1)));
    EXPECT_EQ(writer.cursor, before);
    EXPECT_EQ(message->sent, before);
    EXPECT_EQ(message->remaining, 0U);
}

TEST(EncodingSend, CarryingPartBeforeAPairLeavesOneItemForAlignment) {
    // Payload 10..100 behind a DELAY word: Explicit SEND (word 1), the
    // single control's Pic SEND would be word 2 and leave the pair's SENDPICP
    // at the odd index 3, so it stops one cycle early and a one-item Offset
    // SEND moves the SENDPICP to index 4.
    const Schedule schedule{{scheduled_row(10, 90, 0x100, 1)},
                            {pic_pointer_event(30, 0x40), xpic_source_event(40, 2), pic_pointer_event(40, 0x80)},
                            100};
    const SendPicPairWords pair = sendpicp_words(61, 0x100 + 29, 1, 2, 0x20);
    EXPECT_THAT(encoded_words(schedule),
                ElementsAre(0x40A00009U, explicit_send_word(19, 0x100, 1), send_pic_with_pic(9, 0x10),
                            offset_send_word(1, 1), pair.first, pair.second, 0x43A00000U));
}

TEST(EncodingSend, ReceiveEventsBeforeAndAtThePayloadStartArePlacedFirst) {
    // A control taking effect at the payload start itself is issued before
    // the message.
    const Schedule schedule{
        {scheduled_row(20, 4, 0x100, 1)}, {xpic_source_event(10, 3), pic_pointer_event(20, 0x40)}, 30};
    EXPECT_THAT(encoded_words(schedule),
                ElementsAre(0x64024003U, 0x60480010U, explicit_send_word(4, 0x100, 1), 0x40A00005U, 0x43A00000U));
    const auto encoded = encode(schedule);
    ASSERT_TRUE(encoded);
    EXPECT_THAT(encoded->checkpoints.to_vector(),
                ElementsAre(Checkpoint{false, 19, 0, 1, 1, 10}, Checkpoint{false, 20, 0, 2, 2, 20},
                            Checkpoint{false, 24, 1, 2, 3, 24}));
}

// ---------------------------------------------------------------------------
// Incremental encoding.

struct LongSchedule {
    Chunked<ScheduledSenderRow> rows;
    Chunked<ReceiveEvent> events;
    std::uint32_t horizon = 0;
};

// A tile that sends every 100 cycles and receives a pair in between.
LongSchedule long_schedule(std::uint32_t blocks) {
    LongSchedule schedule;
    for (std::uint32_t block = 0; block < blocks; ++block) {
        const std::uint32_t base = block * 100;
        schedule.rows.push(scheduled_row(base + 10, 20, 0x100 + block, 1));
        schedule.events.push(pic_pointer_event(base + 60, 0x40));
        schedule.events.push(xpic_source_event(base + 60, 5));
        schedule.events.push(xpic_teardown_event(base + 80));
    }
    schedule.horizon = blocks * 100;
    return schedule;
}

TEST(EncodingIncremental, ChangeNearTheEndSharesTheUnchangedChunks) {
    LongSchedule schedule = long_schedule(400);
    const auto base = encoding::build_scheduled_program(schedule.rows, schedule.events, schedule.horizon);
    ASSERT_TRUE(base);
    ASSERT_GT(base->words.chunk_count(), 10U);

    // Replace the last sender row by a shorter one.
    const std::size_t last = schedule.rows.len() - 1;
    ScheduledSenderRow row = schedule.rows.remove(last);
    row = scheduled_row(row.payload_start, 10, 0x999, 2);
    schedule.rows.push(row);
    const std::uint64_t allocations_before = chunked_chunk_allocations();
    const auto resumed = encoding::build_scheduled_program(schedule.rows, schedule.events, schedule.horizon,
                                                           EncodingBase{&*base, last, schedule.events.len()});
    const std::uint64_t allocations = chunked_chunk_allocations() - allocations_before;
    ASSERT_TRUE(resumed);

    const auto fresh = encoding::build_scheduled_program(schedule.rows, schedule.events, schedule.horizon);
    ASSERT_TRUE(fresh);
    EXPECT_EQ(resumed->words, fresh->words);
    // Only the chunk holding the resume point and the one after it may be
    // new in each sequence.
    const auto shared_chunks = [](const auto& now, const auto& before) {
        std::size_t shared = 0;
        for (std::size_t c = 0; c < now.chunk_count(); ++c) {
            shared += now.shares_chunk(before, c) ? 1 : 0;
        }
        return shared;
    };
    EXPECT_GE(shared_chunks(resumed->words, base->words) + 2, resumed->words.chunk_count());
    EXPECT_GE(shared_chunks(resumed->checkpoints, base->checkpoints) + 2, resumed->checkpoints.chunk_count());
    EXPECT_LE(allocations, 4U);
}

TEST(EncodingIncremental, ChangeAtTheStartReencodesEverything) {
    LongSchedule schedule = long_schedule(50);
    const auto base = encoding::build_scheduled_program(schedule.rows, schedule.events, schedule.horizon);
    ASSERT_TRUE(base);
    schedule.events.insert(0, xpic_source_event(3, 1));
    const auto resumed = encoding::build_scheduled_program(schedule.rows, schedule.events, schedule.horizon,
                                                           EncodingBase{&*base, schedule.rows.len(), 0});
    ASSERT_TRUE(resumed);
    const auto fresh = encoding::build_scheduled_program(schedule.rows, schedule.events, schedule.horizon);
    ASSERT_TRUE(fresh);
    EXPECT_EQ(resumed->words, fresh->words);
    EXPECT_FALSE(resumed->words.shares_chunk(base->words, 0));
}

TEST(EncodingIncremental, PairCheckpointIsNotReusedWhenItsBoundMoves) {
    // A pair bounded by the horizon: a later horizon lets it run longer, so
    // the encoder must not resume after it.
    {
        const Chunked<ReceiveEvent> pair{pic_pointer_event(10, 0x40), xpic_source_event(10, 2)};
        const auto base = encoding::build_scheduled_program({}, pair, 40);
        ASSERT_TRUE(base);
        EXPECT_EQ(send_count(base->words[2]), 31U);
        const auto resumed = encoding::build_scheduled_program({}, pair, 100, EncodingBase{&*base, 0, 2});
        const auto fresh = encoding::build_scheduled_program({}, pair, 100);
        ASSERT_TRUE(resumed);
        ASSERT_TRUE(fresh);
        EXPECT_EQ(resumed->words, fresh->words);
        EXPECT_EQ(send_count(resumed->words[2]), 64U);
    }
    // A pair alone before the horizon runs 64 cycles; an event inserted
    // inside its span shortens it.
    Chunked<ReceiveEvent> events{pic_pointer_event(10, 0x40), xpic_source_event(10, 2)};
    const auto base = encoding::build_scheduled_program({}, events, 200);
    ASSERT_TRUE(base);
    events.push(pic_format_event(50, 1));
    const auto resumed = encoding::build_scheduled_program({}, events, 200, EncodingBase{&*base, 0, 2});
    const auto fresh = encoding::build_scheduled_program({}, events, 200);
    ASSERT_TRUE(resumed);
    ASSERT_TRUE(fresh);
    EXPECT_EQ(resumed->words, fresh->words);
    EXPECT_EQ(send_count(resumed->words[2]), 40U);  // 9..49
}

TEST(EncodingIncremental, HorizonChangeIsPickedUpFromAKeptCheckpoint) {
    Chunked<ReceiveEvent> events{xpic_source_event(5, 1), pic_pointer_event(20, 0x40)};
    const auto base = encoding::build_scheduled_program({}, events, 20);
    ASSERT_TRUE(base);
    const auto resumed = encoding::build_scheduled_program({}, events, 90, EncodingBase{&*base, 0, 2});
    ASSERT_TRUE(resumed);
    EXPECT_THAT(resumed->words.to_vector(), ElementsAre(0x64010001U, 0x60700010U, 0x40A00045U, 0x43A00000U));
}

// ---------------------------------------------------------------------------
// Address normalisation.

TEST(EncodingNormalized, AddressFieldsAreCleared) {
    const SendPicPairWords in_send = sendpicp_words(5, 0x1234, 2, 0x640, 0x3ABCD);
    const SendPicPairWords receive_only = sendpicp_words(5, 0, 0, 0x41, 0x100);
    const SendPicPairWords format = sendpicp_words(5, 0x1234, 1, 0x2041, pic_format_value(1));
    const std::vector<Word> words{explicit_send_word(8, 0x3FFFF, 3),          // operand cleared, count and control kept
                                  offset_send_word(100, 3),                   // unchanged
                                  send_pic_with_pic(4, 0x12345),              // pointer cleared
                                  send_pic_with_pic(4, pic_format_value(2)),  // a format control: unchanged
                                  send_pic_with_xpic(4, 0x2041),              // unchanged
                                  pic_word(0x2345, 9),                        // pointer cleared, delay kept
                                  pic_word(pic_format_value(1), 9),           // unchanged
                                  xpic_word(0x41, 9),                         // unchanged
                                  in_send.first,
                                  in_send.second,  // operand and pointer cleared
                                  receive_only.first,
                                  receive_only.second,  // pointer cleared whatever the send control
                                  format.first,
                                  format.second,  // operand cleared, second word kept
                                  0x40A00010U,
                                  0x43A00000U};
    EXPECT_THAT(
        normalized_exchange_address_words(words),
        ElementsAre(explicit_send_word(8, 0, 3), offset_send_word(100, 3), send_pic_with_pic(4, 0),
                    send_pic_with_pic(4, pic_format_value(2)), send_pic_with_xpic(4, 0x2041), pic_word(0, 9),
                    pic_word(pic_format_value(1), 9), xpic_word(0x41, 9), sendpicp_words(5, 0, 2, 0x640, 0).first,
                    sendpicp_words(5, 0, 2, 0x640, 0).second, receive_only.first,
                    sendpicp_words(5, 0, 0, 0x41, 0).second, sendpicp_words(5, 0, 1, 0x2041, pic_format_value(1)).first,
                    format.second, 0x40A00010U, 0x43A00000U));
}

TEST(EncodingNormalized, SecondWordOfASendPicPairIsNotReadAsAnInstruction) {
    // This second word would be an Explicit SEND on its own.
    const SendPicPairWords format = sendpicp_words(3, 0, 0, 0x1E00, pic_format_value(0));
    ASSERT_EQ(classify_word(format.second), WordKind::SendExplicit);
    const std::vector<Word> words{format.first, format.second};
    EXPECT_EQ(normalized_exchange_address_words(words), words);
    // A SENDPICP first word at the very end is handled alone.
    const std::vector<Word> truncated{sendpicp_words(3, 0x55, 1, 0x10, 0x20).first};
    EXPECT_THAT(normalized_exchange_address_words(truncated), ElementsAre(sendpicp_words(3, 0, 1, 0x10, 0x20).first));
}

TEST(EncodingNormalized, RelocatedSchedulesNormalizeAlike) {
    // The same receives and sends at other addresses: equal after
    // normalisation; a different count is not.
    const auto program = [](std::uint32_t shift, std::uint32_t items) {
        const Schedule schedule{{scheduled_row(10, items, 0x100 + shift, 1)},
                                {pic_pointer_event(30, 0x400 + 4 * shift), xpic_teardown_event(30),
                                 pic_pointer_event(120, 0x800 + 4 * shift), xpic_source_event(120, 4),
                                 pic_pointer_event(200, 0x900 + 4 * shift)},
                                250};
        return normalized_exchange_address_words(encoded_words(schedule));
    };
    EXPECT_EQ(program(0, 60), program(0x777, 60));
    EXPECT_NE(program(0, 60), program(0, 61));
}

// ---------------------------------------------------------------------------
// Every invariant the encoder raises, with an input that breaks it.

struct InvariantCase {
    std::string_view input;
    std::function<std::optional<ExchangeError>()> run;
    InvariantName expected;
};

std::optional<ExchangeError> encode_error(const Schedule& schedule) { return error_of(encode(schedule)); }

std::optional<ExchangeError> message_error(const ScheduledSenderRow& row, std::vector<ReceiveEvent> events) {
    ProgramWriter writer;
    return error_of(append_sender_message(writer, row, events));
}

std::optional<ExchangeError> record_error(std::vector<ReceiveEvent> events, std::uint32_t until) {
    ProgramWriter writer;
    return error_of(append_receive_events_record(writer, events, until));
}

RowWords two_explicit_sends() {
    RowWords row = sender_row_words(4, 0, 1);
    row[2] = explicit_send_word(4, 8, 1);
    row[3] = return_word;
    return row;
}

RowWords offset_sends_only() {
    RowWords row{};
    row[0] = sync_entry;
    row[1] = offset_send_word(4, 1);
    row[2] = return_word;
    return row;
}

const std::vector<InvariantCase>& encoder_cases() {
    static const std::vector<InvariantCase> cases{
        {"control after the horizon",
         [] {
             return encode_error({{}, {xpic_source_event(50, 1)}, 40});
         },
         invariant::plan_delay_order},
        {"payload start before the cursor",
         [] {
             return encode_error({{scheduled_row(0, 10), scheduled_row(5, 4)}, {}, 20});
         },
         invariant::plan_delay_order},
        {"events out of order",
         [] {
             return encode_error({{}, {xpic_source_event(50, 1), pic_pointer_event(20, 0)}, 60});
         },
         invariant::receive_event_order},
        {"control at phase entry",
         [] {
             return encode_error({{}, {xpic_source_event(0, 1)}, 10});
         },
         invariant::receive_control_issue_interval},
        {"event word is a DELAY",
         [] {
             return encode_error({{}, {ReceiveEvent{5, 0x40A00003, ReceiveEventKind::XpicSource}}, 10});
         },
         invariant::receive_timed_event},
        {"control placed at the cursor",
         [] {
             ProgramWriter writer;
             writer.cursor = 10;
             return error_of(append_timed_control(writer, xpic_word(1), 10));
         },
         invariant::zero_event_advance},
        {"DELAY field 0x80000", [] { return error_of(set_word_delay(delay_word(0), 0x80000)); },
         invariant::delay_advance_overflow},
        {"PIC delay 128", [] { return error_of(set_word_delay(pic_word(5), 128)); },
         invariant::pic_delay_advance_overflow},
        {"XPIC delay 4096", [] { return error_of(set_word_delay(xpic_word(5), 4096)); },
         invariant::xpic_delay_advance_overflow},
        {"delay of a SYNC word", [] { return error_of(set_word_delay(sync_entry, 1)); },
         invariant::first_scheduled_event_is_not_a_delay},
        {"delay of a SEND word", [] { return error_of(set_word_delay(explicit_send_word(4, 0, 1), 1)); },
         invariant::scheduled_offset_truncates_a_send},
        {"pair at cycle 0",
         [] {
             return encode_error({{}, {pic_pointer_event(0, 0), xpic_teardown_event(0)}, 10});
         },
         invariant::receive_control_at_phase_entry},
        {"pair right after a control at an odd index",
         [] {
             return encode_error({{}, {xpic_source_event(1, 1), pic_pointer_event(2, 0), xpic_teardown_event(2)}, 10});
         },
         invariant::sendpicp_instruction_alignment},
        {"pair one item into a payload at an odd index",
         [] {
             return encode_error({{scheduled_row(0, 20)}, {pic_pointer_event(2, 0), xpic_teardown_event(2)}, 20});
         },
         invariant::sendpicp_instruction_alignment},
        {"pair two cycles after the horizon",
         [] {
             return encode_error({{}, {pic_pointer_event(12, 0), xpic_teardown_event(12)}, 10});
         },
         invariant::receive_control_order},
        {"pair one cycle after the horizon",
         [] {
             return encode_error({{}, {pic_pointer_event(11, 0), xpic_teardown_event(11)}, 10});
         },
         invariant::empty_sendpicp_interval},
        {"pair of two XPIC controls",
         [] {
             return record_error({xpic_source_event(5, 1), xpic_teardown_event(5)}, 20);
         },
         invariant::sendpicp_xpic_control},
        {"pair of two PIC controls",
         [] {
             return record_error({pic_pointer_event(5, 0), pic_format_event(5, 1)}, 20);
         },
         invariant::sendpicp_pic_control},
        {"pair with two times",
         [] { return error_of(sendpicp_for_events(pic_pointer_event(5, 0), xpic_teardown_event(6), 1, 0, 0)); },
         invariant::sendpicp_event_time},
        {"row with two Explicit SENDs",
         [] {
             return encode_error({{ScheduledSenderRow{two_explicit_sends(), 0, 4}}, {}, 4});
         },
         invariant::multiple_initial_sends},
        {"more payload items than remain",
         [] {
             ProgramWriter writer;
             auto message = SenderMessage::from_row(sender_row_words(4, 0, 1));
             return error_of(emit_sender_words(writer, *message, 5, false));
         },
         invariant::sender_payload_overflow},
        {"control at cycle 0 inside a payload",
         [] { return message_error(scheduled_row(0, 8), {xpic_source_event(0, 1)}); },
         invariant::send_control_at_phase_entry},
        {"controls out of order inside a payload",
         [] {
             return encode_error({{scheduled_row(10, 20)}, {xpic_source_event(15, 1), pic_pointer_event(12, 0)}, 30});
         },
         invariant::send_control_order},
        {"control after the row's items",
         [] {
             return encode_error(
                 {{ScheduledSenderRow{sender_row_words(4, 0, 1), 10, 30}}, {xpic_source_event(20, 1)}, 30});
         },
         invariant::send_control_beyond_payload},
        {"control after the payload end",
         [] {
             return message_error(ScheduledSenderRow{sender_row_words(5, 0, 1), 10, 12}, {xpic_source_event(13, 1)});
         },
         invariant::empty_receive_control_continuation},
        {"SENDPICP operand overflowing 32 bits", [] { return error_of(sendpicp_source_operand(0xFFFFFFFFU, 1)); },
         invariant::sendpicp_source_overflow},
        {"SENDPICP operand above 18 bits",
         [] {
             return encode_error(
                 {{scheduled_row(10, 40, 0x3FFFF, 1)}, {pic_pointer_event(20, 0), xpic_source_event(20, 1)}, 50});
         },
         invariant::sendpicp_operand},
        {"row items shorter than its payload",
         [] {
             return encode_error({{ScheduledSenderRow{sender_row_words(5, 0, 1), 10, 20}}, {}, 20});
         },
         invariant::sender_payload_horizon},
        {"Explicit SEND of 65 items", [] { return error_of(initial_send_word(explicit_send_word(1, 0, 1), 65)); },
         invariant::initial_send_size},
        {"Explicit SEND of no items", [] { return error_of(initial_send_word(explicit_send_word(1, 0, 1), 0)); },
         invariant::initial_send_size},
        {"two mux controls at one cycle",
         [] {
             return encode_error({{}, {xpic_source_event(5, 1), xpic_teardown_event(5)}, 10});
         },
         invariant::incompatible_simultaneous_receive_controls},
        {"three controls at one cycle",
         [] {
             return encode_error({{}, {pic_pointer_event(5, 0), xpic_teardown_event(5), pic_pointer_event(5, 8)}, 10});
         },
         invariant::incompatible_simultaneous_receive_controls},
        {"control on the cycle after the payload start",
         [] {
             return encode_error({{scheduled_row(10, 20)}, {xpic_source_event(11, 1)}, 30});
         },
         invariant::unencodable_initial_send_control},
        {"row without an Explicit SEND",
         [] {
             return encode_error({{ScheduledSenderRow{offset_sends_only(), 0, 4}}, {}, 4});
         },
         invariant::sender_payload},
    };
    return cases;
}

TEST(EncodingInvariants, EachInputRaisesItsInvariant) {
    for (const InvariantCase& c : encoder_cases()) {
        const std::optional<ExchangeError> error = c.run();
        ASSERT_TRUE(error.has_value()) << c.input;
        EXPECT_EQ(*error, ExchangeError::schedule(c.expected)) << c.input;
    }
}

TEST(EncodingInvariants, EveryEncoderInvariantIsCovered) {
    std::set<std::string_view> covered;
    for (const InvariantCase& c : encoder_cases()) {
        covered.insert(c.expected.text());
    }
    const std::vector<InvariantName> encoder_names{
        invariant::plan_delay_order,
        invariant::receive_event_order,
        invariant::receive_control_issue_interval,
        invariant::receive_timed_event,
        invariant::zero_event_advance,
        invariant::delay_advance_overflow,
        invariant::pic_delay_advance_overflow,
        invariant::xpic_delay_advance_overflow,
        invariant::first_scheduled_event_is_not_a_delay,
        invariant::scheduled_offset_truncates_a_send,
        invariant::receive_control_at_phase_entry,
        invariant::sendpicp_instruction_alignment,
        invariant::receive_control_order,
        invariant::empty_sendpicp_interval,
        invariant::sendpicp_pic_control,
        invariant::sendpicp_xpic_control,
        invariant::sendpicp_event_time,
        invariant::multiple_initial_sends,
        invariant::sender_payload_overflow,
        invariant::send_control_at_phase_entry,
        invariant::send_control_order,
        invariant::send_control_beyond_payload,
        invariant::empty_receive_control_continuation,
        invariant::sendpicp_source_overflow,
        invariant::sendpicp_operand,
        invariant::sender_payload_horizon,
        invariant::initial_send_size,
        invariant::incompatible_simultaneous_receive_controls,
        invariant::unencodable_initial_send_control,
        invariant::sender_payload,
    };
    for (InvariantName name : encoder_names) {
        EXPECT_TRUE(covered.contains(name.text())) << name.text();
    }
}

TEST(EncodingInvariants, FailedEncodingLeavesTheBaseUntouched) {
    LongSchedule schedule = long_schedule(3);
    const auto base = encoding::build_scheduled_program(schedule.rows, schedule.events, schedule.horizon);
    ASSERT_TRUE(base);
    const std::vector<Word> before = base->words.to_vector();
    schedule.events.push(xpic_source_event(schedule.horizon + 5, 1));
    const auto failed =
        encoding::build_scheduled_program(schedule.rows, schedule.events, schedule.horizon, EncodingBase{&*base, 3, 9});
    ASSERT_FALSE(failed);
    EXPECT_EQ(failed.error(), ExchangeError::schedule(invariant::plan_delay_order));
    EXPECT_EQ(base->words.to_vector(), before);
}

}  // namespace
}  // namespace vorn::exchange
