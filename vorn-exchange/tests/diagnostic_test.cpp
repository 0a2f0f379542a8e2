#include "vorn/exchange/diagnostic.hpp"

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "encoding_support.hpp"
#include "log_capture.hpp"
#include "vorn/exchange/encoding.hpp"
#include "vorn/runtime/logging.hpp"

namespace vorn::exchange {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;
using testing::pic_pointer_event;
using testing::scheduled_row;
using testing::xpic_source_event;
using testing::xpic_teardown_event;

PlanProgramDiagnostic decoded(const std::vector<Word>& words, std::optional<std::uint32_t> base = std::nullopt) {
    auto result = diagnose_plan_program(words, base);
    if (!result) {
        ADD_FAILURE() << "decoding failed: " << result.error();
        return {};
    }
    return *result;
}

IncomingControl xpic(std::uint32_t value) { return IncomingControl{IncomingControlStream::Xpic, value}; }
IncomingControl pic(std::uint32_t value) { return IncomingControl{IncomingControlStream::Pic, value}; }

PlanOperation send(SendEncoding encoding, std::uint32_t words, std::uint32_t operand,
                   std::optional<std::uint8_t> control, std::vector<IncomingControl> controls = {}) {
    return PlanOperation{PlanOperation::Send{encoding, words, operand, control, std::move(controls)}};
}

// ---------------------------------------------------------------------------
// Decoding.

TEST(DiagnosticDecode, ReturnAloneIsOneInstructionAtCycleZero) {
    const PlanProgramDiagnostic program = decoded({0x43A00000});
    ASSERT_EQ(program.instructions.size(), 1U);
    EXPECT_EQ(program.instructions[0],
              (DecodedPlanInstruction{PlanOperation{PlanOperation::Return{}}, std::nullopt, 0, 0, 0}));
    EXPECT_EQ(program.horizon, 0U);
    EXPECT_EQ(program.word_count, 1U);
    EXPECT_EQ(program.render(), "word+0 cycles=0..0 Return\n");
}

TEST(DiagnosticDecode, EmptyProgramHasNothing) {
    const PlanProgramDiagnostic program = decoded({});
    EXPECT_TRUE(program.instructions.empty());
    EXPECT_EQ(program.horizon, 0U);
    EXPECT_EQ(program.word_count, 0U);
    EXPECT_EQ(program.render(), "");
}

TEST(DiagnosticDecode, EachWordKindDecodesToItsOperationAndCycles) {
    struct Row {
        std::vector<Word> words;
        PlanOperation operation;
        std::uint32_t cycles;
    };
    const std::vector<Row> rows{
        {{0x43A00000}, PlanOperation{PlanOperation::Return{}}, 0},
        {{0x43A00001}, PlanOperation{PlanOperation::Unknown{0x43A00001}}, 0},
        {{0x40A00004}, PlanOperation{PlanOperation::Delay{}}, 5},
        {{0x40A7FFFF}, PlanOperation{PlanOperation::Delay{}}, 0x80000},
        {{0x40A80000}, PlanOperation{PlanOperation::Unknown{0x40A80000}}, 0},
        // XPIC: value bits 0..13, delay bits 14..25.
        {{0x67FFFFFF}, PlanOperation{PlanOperation::IncomingControl{xpic(0x3FFF)}}, 4096},
        {{0x64010640}, PlanOperation{PlanOperation::IncomingControl{xpic(1600)}}, 5},
        // PIC: value bits 0..18, delay bits 19..25.
        {{0x63FFFFFF}, PlanOperation{PlanOperation::IncomingControl{pic(0x7FFFF)}}, 128},
        {{0x60040001}, PlanOperation{PlanOperation::IncomingControl{pic(0x40001)}}, 1},
        // SENDPICP: XPIC from the second word's bits 18..31, PIC bits 0..17
        // from its low bits and bit 18 from bit 27 of the first word.
        {{0xF8E0003A, 0x19000100}, send(SendEncoding::PicPair, 8, 7, 2, {xpic(1600), pic(0x40100)}), 8},
        {{0xFFFFFFFF, 0xFFFFFFFF}, send(SendEncoding::PicPair, 64, 0x3FFFF, 7, {xpic(0x3FFF), pic(0x7FFFF)}), 64},
        // Pic-encoded SEND: bit 19 set carries PIC bits 0..18; clear, XPIC
        // bits 0..12 with bit 13 from word bit 18.
        {{send_pic_with_pic(3, 0x12345)}, send(SendEncoding::Pic, 3, 0x12345, std::nullopt, {pic(0x12345)}), 3},
        {{0x70740041}, send(SendEncoding::Pic, 4, 0x41, std::nullopt, {xpic(0x2041)}), 4},
        {{0x70100000}, send(SendEncoding::Pic, 1, 0, std::nullopt, {xpic(0)}), 1},
        {{0x78000000}, send(SendEncoding::Explicit, 1, 0, 0), 1},
        {{0x7FFFFFFF}, send(SendEncoding::Explicit, 64, 0x3FFFF, 7), 64},
        // Offset: count - 1 from bits 21..26 (low) and 14..19 (high), operand 3..13.
        {{0x70000000}, send(SendEncoding::Offset, 1, 0, 0), 1},
        {{0x77EFFFFF}, send(SendEncoding::Offset, 4096, 0x7FF, 7), 4096},
        {{0x41800003}, PlanOperation{PlanOperation::Sync{3}}, 0},
        {{0x418000FF}, PlanOperation{PlanOperation::Sync{255}}, 0},
        {{0x41800100}, PlanOperation{PlanOperation::Unknown{0x41800100}}, 0},
        {{0}, PlanOperation{PlanOperation::Unknown{0}}, 0},
    };
    for (const Row& row : rows) {
        const PlanProgramDiagnostic program = decoded(row.words);
        ASSERT_EQ(program.instructions.size(), 1U) << std::hex << row.words[0];
        EXPECT_EQ(program.instructions[0].operation, row.operation) << std::hex << row.words[0];
        EXPECT_EQ(program.instructions[0].end_cycle, row.cycles) << std::hex << row.words[0];
        EXPECT_EQ(program.word_count, row.words.size());
    }
}

TEST(DiagnosticDecode, CyclesAccumulateAndSendPicPairTakesTwoWords) {
    const SendPicPairWords pair = sendpicp_words(5, 0, 0, 0x640, 0x100);
    const PlanProgramDiagnostic program =
        decoded({0x40A00009, pair.first, pair.second, 0x64010001, 0x43A00000, 0x40A00000});
    ASSERT_EQ(program.instructions.size(), 5U);
    std::vector<std::uint32_t> indexes;
    std::vector<std::uint32_t> starts;
    std::vector<std::uint32_t> ends;
    for (const auto& instruction : program.instructions) {
        indexes.push_back(instruction.word_index);
        starts.push_back(instruction.start_cycle);
        ends.push_back(instruction.end_cycle);
    }
    EXPECT_THAT(indexes, ElementsAre(0U, 1U, 3U, 4U, 5U));
    EXPECT_THAT(starts, ElementsAre(0U, 10U, 15U, 20U, 20U));
    // Words after a RETURN are decoded too.
    EXPECT_THAT(ends, ElementsAre(10U, 15U, 20U, 20U, 21U));
    EXPECT_EQ(program.horizon, 21U);
    EXPECT_EQ(program.word_count, 6U);
}

TEST(DiagnosticDecode, BaseAddressGivesEveryInstructionItsByteAddress) {
    const SendPicPairWords pair = sendpicp_words(1, 0, 0, 1, 1);
    const PlanProgramDiagnostic program = decoded({0x40A00000, pair.first, pair.second, 0x43A00000}, 0x1000);
    ASSERT_EQ(program.instructions.size(), 3U);
    EXPECT_EQ(program.instructions[0].address, std::optional<std::uint32_t>(0x1000));
    EXPECT_EQ(program.instructions[1].address, std::optional<std::uint32_t>(0x1004));
    EXPECT_EQ(program.instructions[2].address, std::optional<std::uint32_t>(0x100C));
    EXPECT_EQ(decoded({0x43A00000}, 0xFFFFFFFC).instructions[0].address, std::optional<std::uint32_t>(0xFFFFFFFC));
}

// ---------------------------------------------------------------------------
// Rendering.

TEST(DiagnosticRender, LinesShowLocationCyclesAndTheDebugForm) {
    const PlanProgramDiagnostic program = decoded({0x41800003, 0x40A00003, 0x40A00005, explicit_send_word(4, 1024, 1)});
    EXPECT_EQ(program.render(),
              "word+0 cycles=0..0 Sync(3)\n"
              "word+1 cycles=0..4 Delay\n"
              "word+2 cycles=4..10 Delay\n"
              "word+3 cycles=10..14 Send { encoding: Explicit, words: 4, raw_operand: 1024, send_control: Some(1), "
              "controls: [] }\n");
}

TEST(DiagnosticRender, EveryOperationHasItsDebugForm) {
    const SendPicPairWords pair = sendpicp_words(5, 7, 2, 1600, 256);
    const PlanProgramDiagnostic program = decoded({0x80000000, 0x64000640, pair.first, pair.second,
                                                   send_pic_with_pic(3, 256), offset_send_word(97, 1), 0x43A00000});
    EXPECT_EQ(program.render(),
              "word+0 cycles=0..0 Unknown(2147483648)\n"
              "word+1 cycles=0..1 IncomingControl(IncomingControl { stream: Xpic, value: 1600 })\n"
              "word+2 cycles=1..6 Send { encoding: PicPair, words: 5, raw_operand: 7, send_control: Some(2), "
              "controls: [IncomingControl { stream: Xpic, value: 1600 }, IncomingControl { stream: Pic, value: 256 }] "
              "}\n"
              "word+4 cycles=6..9 Send { encoding: Pic, words: 3, raw_operand: 256, send_control: None, controls: "
              "[IncomingControl { stream: Pic, value: 256 }] }\n"
              "word+5 cycles=9..106 Send { encoding: Offset, words: 97, raw_operand: 0, send_control: Some(1), "
              "controls: [] }\n"
              "word+6 cycles=106..106 Return\n");
}

TEST(DiagnosticRender, AddressesAreLowerCaseHexadecimalOfAtLeastFiveDigits) {
    EXPECT_EQ(decoded({0x40A00000, 0x43A00000}, 0x400).render(),
              "0x00400 cycles=0..1 Delay\n0x00404 cycles=1..1 Return\n");
    EXPECT_EQ(decoded({0x43A00000}, 0xABCDEF0).render(), "0xabcdef0 cycles=0..0 Return\n");
}

// ---------------------------------------------------------------------------
// Validation.

struct TileCase {
    std::vector<ScheduledSenderRow> rows;
    std::vector<ReceiveEvent> events;
    std::uint32_t horizon = 0;
    std::vector<Word> words;
};

tl::expected<PlanProgramDiagnostic, ExchangeError> validate(const TileCase& tile) {
    return validate_tile_program(3, std::span<const ScheduledSenderRow>(tile.rows),
                                 std::span<const ReceiveEvent>(tile.events), tile.horizon,
                                 std::span<const Word>(tile.words));
}

std::optional<ExchangeError> validation_error(const TileCase& tile) {
    const auto result = validate(tile);
    if (result) {
        return std::nullopt;
    }
    return result.error();
}

TEST(DiagnosticValidate, ReturnsTheDecodedProgram) {
    const TileCase tile{{scheduled_row(10, 4, 0x80, 1)},
                        {xpic_source_event(5, 9)},
                        20,
                        {0x64010009, 0x40A00004, explicit_send_word(4, 0x80, 1), 0x40A00005, 0x43A00000}};
    const auto result = validate(tile);
    ASSERT_TRUE(result) << result.error();
    EXPECT_EQ(*result, decoded(tile.words));
    // The chunked form gives the same answer.
    const auto chunked = validate_tile_program(3, testing::chunked_of(tile.rows), testing::chunked_of(tile.events),
                                               tile.horizon, tile.words);
    ASSERT_TRUE(chunked);
    EXPECT_EQ(*chunked, *result);
}

TEST(DiagnosticValidate, CarriedControlsCountFromTheCycleAfterTheSendStarts) {
    // A send starting at 10 carrying an XPIC control issues it at 11; a
    // standalone XPIC control with delay 4 starting at 10 issues it at 15.
    const TileCase carried{{scheduled_row(10, 5, 0, 1)},
                           {xpic_source_event(11, 4)},
                           15,
                           {0x40A00009, send_pic_with_xpic(5, 4), 0x43A00000}};
    // The Pic-encoded send is the row's only send: it covers the payload.
    EXPECT_EQ(validation_error(carried), std::nullopt);
    const TileCase standalone{{}, {xpic_source_event(15, 4)}, 15, {0x40A00009, 0x64010004, 0x43A00000}};
    EXPECT_EQ(validation_error(standalone), std::nullopt);
    TileCase late = standalone;
    late.events[0].time = 14;
    EXPECT_EQ(validation_error(late), ExchangeError::schedule(invariant::encoded_incoming_control_mismatch));
}

TEST(DiagnosticValidate, ControlsCompareAsSortedLists) {
    // Two controls at one cycle, listed in either order in the schedule,
    // match one SENDPICP; the expected value keeps only the value bits of
    // the event's word.
    const SendPicPairWords pair = sendpicp_words(10, 0, 0, 0x640, 0x100);
    TileCase tile{{},
                  {xpic_teardown_event(6), pic_pointer_event(6, 0x400)},
                  15,
                  {0x40A00004, pair.first, pair.second, 0x43A00000}};
    EXPECT_EQ(validation_error(tile), std::nullopt);
    std::swap(tile.events[0], tile.events[1]);
    EXPECT_EQ(validation_error(tile), std::nullopt);
    // A PIC word under an XPIC kind is expected as an XPIC control.
    tile.events[0].kind = ReceiveEventKind::XpicSource;
    EXPECT_EQ(validation_error(tile), ExchangeError::schedule(invariant::encoded_incoming_control_mismatch));
}

TEST(DiagnosticValidate, SendsWithSendControlZeroAreNotOutgoing) {
    // An Explicit SEND with send control 0 sends nothing: no row needed, and
    // it cannot cover a row.
    const TileCase silent{{}, {}, 4, {explicit_send_word(4, 0, 0), 0x43A00000}};
    EXPECT_EQ(validation_error(silent), std::nullopt);
    TileCase row = silent;
    row.rows = {scheduled_row(0, 4, 0, 0)};
    EXPECT_EQ(validation_error(row), ExchangeError::schedule(invariant::encoded_sender_interval_mismatch));
    // A Pic-encoded send always is outgoing.
    const TileCase pic_send{{}, {xpic_source_event(1, 2)}, 4, {send_pic_with_xpic(4, 2), 0x43A00000}};
    EXPECT_EQ(validation_error(pic_send), ExchangeError::schedule(invariant::unexpected_encoded_outgoing_interval));
    // A receive-only SENDPICP is not.
    const SendPicPairWords pair = sendpicp_words(4, 0, 0, 0x640, 0x100);
    const TileCase receive_only{
        {}, {xpic_teardown_event(1), pic_pointer_event(1, 0x400)}, 4, {pair.first, pair.second, 0x43A00000}};
    EXPECT_EQ(validation_error(receive_only), std::nullopt);
}

TEST(DiagnosticValidate, SenderRowsMustBeCoveredExactly) {
    const auto tile = [](std::vector<Word> words, std::uint32_t horizon) {
        return TileCase{{scheduled_row(10, 8, 0, 1)}, {}, horizon, std::move(words)};
    };
    const Word four = explicit_send_word(4, 0, 1);
    const Word four_more = offset_send_word(4, 1);
    EXPECT_EQ(validation_error(tile({0x40A00009, four, four_more, 0x43A00000}, 18)), std::nullopt);
    // A one-cycle gap between the two sends.
    EXPECT_EQ(validation_error(tile({0x40A00009, four, 0x40A00000, four_more, 0x43A00000}, 19)),
              ExchangeError::schedule(invariant::encoded_sender_interval_mismatch));
    // Starting a cycle late.
    EXPECT_EQ(validation_error(tile({0x40A0000A, four, four_more, 0x43A00000}, 19)),
              ExchangeError::schedule(invariant::encoded_sender_interval_mismatch));
    // Ending early.
    EXPECT_EQ(validation_error(tile({0x40A00009, four, offset_send_word(3, 1), 0x43A00000}, 17)),
              ExchangeError::schedule(invariant::encoded_sender_interval_mismatch));
    // Running past the payload end.
    EXPECT_EQ(validation_error(tile({0x40A00009, four, offset_send_word(5, 1), 0x43A00000}, 19)),
              ExchangeError::schedule(invariant::encoded_sender_interval_mismatch));
    // No send at all.
    EXPECT_EQ(validation_error(tile({0x40A00011, 0x43A00000}, 18)),
              ExchangeError::schedule(invariant::encoded_sender_interval_mismatch));
    // An extra send after the row.
    EXPECT_EQ(validation_error(tile({0x40A00009, four, four_more, four_more, 0x43A00000}, 22)),
              ExchangeError::schedule(invariant::unexpected_encoded_outgoing_interval));
}

TEST(DiagnosticValidate, ChecksRunInTheirOrder) {
    // The horizon is checked before unknown words, unknown words before
    // controls, controls before sends.
    EXPECT_EQ(validation_error({{}, {}, 5, {0x80000000, 0x43A00000}}),
              ExchangeError::schedule(invariant::encoded_tile_horizon_mismatch));
    EXPECT_EQ(validation_error({{}, {xpic_source_event(3, 1)}, 0, {0x80000000, 0x43A00000}}),
              ExchangeError::schedule(invariant::unknown_encoded_exchange_instruction));
    EXPECT_EQ(validation_error({{scheduled_row(0, 4)}, {xpic_source_event(3, 1)}, 0, {0x43A00000}}),
              ExchangeError::schedule(invariant::encoded_incoming_control_mismatch));
    EXPECT_EQ(validation_error({{}, {}, 0, {0xF0000000}}),
              ExchangeError::schedule(invariant::truncated_sendpicp_payload));
}

// ---------------------------------------------------------------------------
// The mismatch description.

std::vector<TimedIncomingControl> controls_at(std::initializer_list<std::uint32_t> cycles, std::uint32_t value = 1600) {
    std::vector<TimedIncomingControl> list;
    for (std::uint32_t cycle : cycles) {
        list.push_back(TimedIncomingControl{cycle, xpic(value)});
    }
    return list;
}

TEST(DiagnosticMismatch, EqualListsHaveNoMismatch) {
    EXPECT_EQ(find_incoming_control_mismatch(controls_at({1, 2}), controls_at({1, 2})), std::nullopt);
    EXPECT_EQ(find_incoming_control_mismatch({}, {}), std::nullopt);
}

TEST(DiagnosticMismatch, DescribesTheFirstDifferenceAndItsWindows) {
    const auto actual = controls_at({4, 12, 56});
    auto expected = actual;
    expected[2].control = pic(5);
    const auto mismatch = find_incoming_control_mismatch(actual, expected);
    ASSERT_TRUE(mismatch);
    EXPECT_EQ(mismatch->first_mismatch, 2U);
    EXPECT_EQ(mismatch->actual_len, 3U);
    EXPECT_EQ(mismatch->expected_len, 3U);
    EXPECT_EQ(mismatch->actual, "Some((56, IncomingControl { stream: Xpic, value: 1600 }))");
    EXPECT_EQ(mismatch->expected, "Some((56, IncomingControl { stream: Pic, value: 5 }))");
    EXPECT_EQ(mismatch->actual_window,
              "Some([(4, IncomingControl { stream: Xpic, value: 1600 }), (12, IncomingControl { stream: Xpic, value: "
              "1600 }), (56, IncomingControl { stream: Xpic, value: 1600 })])");
    EXPECT_EQ(mismatch->expected_window,
              "Some([(4, IncomingControl { stream: Xpic, value: 1600 }), (12, IncomingControl { stream: Xpic, value: "
              "1600 }), (56, IncomingControl { stream: Pic, value: 5 })])");
}

TEST(DiagnosticMismatch, WindowsSpanThreeBeforeToThreeAfterCutToEachList) {
    // 20 expected entries, 12 actual ones equal to the first 12: the first
    // difference is at 12, the windows run from 9 to 16, the actual one cut
    // to its 12 entries.
    std::vector<TimedIncomingControl> expected;
    for (std::uint32_t i = 0; i < 20; ++i) {
        expected.push_back(TimedIncomingControl{i * 10, pic(i)});
    }
    const std::vector<TimedIncomingControl> actual(expected.begin(), expected.begin() + 12);
    const auto mismatch = find_incoming_control_mismatch(actual, expected);
    ASSERT_TRUE(mismatch);
    EXPECT_EQ(mismatch->first_mismatch, 12U);
    EXPECT_EQ(mismatch->actual, "None");
    EXPECT_EQ(mismatch->expected, "Some((120, IncomingControl { stream: Pic, value: 12 }))");
    EXPECT_EQ(mismatch->actual_window,
              "Some([(90, IncomingControl { stream: Pic, value: 9 }), (100, IncomingControl { stream: Pic, value: 10 "
              "}), (110, IncomingControl { stream: Pic, value: 11 })])");
    std::size_t entries = 0;
    for (std::size_t at = mismatch->expected_window.find("IncomingControl"); at != std::string::npos;
         at = mismatch->expected_window.find("IncomingControl", at + 1)) {
        ++entries;
    }
    EXPECT_EQ(entries, 7U);
    EXPECT_THAT(mismatch->expected_window, HasSubstr("Some([(90, "));
    EXPECT_THAT(mismatch->expected_window, HasSubstr("(150, IncomingControl { stream: Pic, value: 15 })])"));

    // Nothing scheduled but one control encoded.
    const auto lone = find_incoming_control_mismatch(controls_at({7}), {});
    ASSERT_TRUE(lone);
    EXPECT_EQ(lone->first_mismatch, 0U);
    EXPECT_EQ(lone->expected, "None");
    EXPECT_EQ(lone->expected_window, "Some([])");
    EXPECT_EQ(lone->actual_window, "Some([(7, IncomingControl { stream: Xpic, value: 1600 })])");
}

// Validates a program whose incoming controls differ from its schedule and
// one whose controls match; empty when the first logged exactly the
// mismatch event and the second nothing.
std::string log_control_mismatch() {
    using runtime::test_support::captured_log;
    const TileCase tile{
        {}, {xpic_source_event(5, 9), pic_pointer_event(9, 0x40)}, 9, {0x64010009, 0x6018000F, 0x43A00000}};
    if (validation_error(tile) != ExchangeError::schedule(invariant::encoded_incoming_control_mismatch)) {
        return "the mismatching program was not rejected with the control mismatch";
    }
    const std::string_view event =
        "DEBUG vorn_exchange::diagnostic: encoded incoming controls differ from the phase "
        "schedule tile=3 first_mismatch=1 actual_len=2 expected_len=2 "
        "actual=Some((9, IncomingControl { stream: Pic, value: 15 })) "
        "expected=Some((9, IncomingControl { stream: Pic, value: 16 })) "
        "actual_window=Some([(5, IncomingControl { stream: Xpic, value: 9 }), "
        "(9, IncomingControl { stream: Pic, value: 15 })]) "
        "expected_window=Some([(5, IncomingControl { stream: Xpic, value: 9 }), "
        "(9, IncomingControl { stream: Pic, value: 16 })])\n";
    if (std::string failure = runtime::test_support::log_mismatch(event); !failure.empty()) {
        return failure;
    }
    // Valid programs log nothing.
    captured_log().clear();
    TileCase valid = tile;
    valid.words[1] = 0x60180010;
    if (validation_error(valid) != std::nullopt) {
        return "the matching program was rejected";
    }
    return runtime::test_support::log_mismatch("");
}

// In a freshly started copy of the test program, in which no other test has
// installed a subscriber yet.
TEST(DiagnosticMismatchDeathTest, EmitsTheDebugEventWithItsFields) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(runtime::test_support::run_logged("vorn_exchange::diagnostic=debug", log_control_mismatch),
                ::testing::ExitedWithCode(0), "");
}

// ---------------------------------------------------------------------------
// Every invariant the decoder and validator raise.

struct InvariantCase {
    std::string_view input;
    std::function<std::optional<ExchangeError>()> run;
    InvariantName expected;
};

std::optional<ExchangeError> decode_error(std::vector<Word> words, std::optional<std::uint32_t> base = std::nullopt) {
    const auto result = diagnose_plan_program(words, base);
    if (result) {
        return std::nullopt;
    }
    return result.error();
}

const std::vector<InvariantCase>& diagnostic_cases() {
    static const std::vector<InvariantCase> cases{
        {"program ending in a SENDPICP first word",
         [] {
             return decode_error({0x40A00000, 0xF0000000});
         },
         invariant::truncated_sendpicp_payload},
        {"second word past 0xFFFFFFFF",
         [] {
             return decode_error({0x40A00000, 0x43A00000}, 0xFFFFFFFC);
         },
         invariant::diagnostic_row_address_overflow},
        {"8192 longest DELAY words", [] { return decode_error(std::vector<Word>(8192, 0x40A7FFFF)); },
         invariant::diagnostic_event_horizon_overflow},
        {"horizon other than the schedule's",
         [] {
             return validation_error({{}, {}, 2, {0x40A00000, 0x43A00000}});
         },
         invariant::encoded_tile_horizon_mismatch},
        {"unknown word",
         [] {
             return validation_error({{}, {}, 0, {0x00000001, 0x43A00000}});
         },
         invariant::unknown_encoded_exchange_instruction},
        {"control missing from the program",
         [] {
             return validation_error({{}, {xpic_source_event(1, 2)}, 1, {0x40A00000, 0x43A00000}});
         },
         invariant::encoded_incoming_control_mismatch},
        {"control with another value",
         [] {
             return validation_error({{}, {xpic_source_event(1, 2)}, 1, {0x64000003, 0x43A00000}});
         },
         invariant::encoded_incoming_control_mismatch},
        {"row covered with a gap",
         [] {
             return validation_error({{scheduled_row(0, 8)},
                                      {},
                                      9,
                                      {explicit_send_word(4, 0, 1), 0x40A00000, offset_send_word(4, 1), 0x43A00000}});
         },
         invariant::encoded_sender_interval_mismatch},
        {"send without a row",
         [] {
             return validation_error({{}, {}, 4, {explicit_send_word(4, 0, 1), 0x43A00000}});
         },
         invariant::unexpected_encoded_outgoing_interval},
    };
    return cases;
}

TEST(DiagnosticInvariants, EachInputRaisesItsInvariant) {
    for (const InvariantCase& c : diagnostic_cases()) {
        const std::optional<ExchangeError> error = c.run();
        ASSERT_TRUE(error.has_value()) << c.input;
        EXPECT_EQ(*error, ExchangeError::schedule(c.expected)) << c.input;
    }
    // One cycle less than the overflow still decodes.
    std::vector<Word> longest(8191, 0x40A7FFFF);
    EXPECT_EQ(decoded(longest).horizon, 0xFFF80000U);
}

TEST(DiagnosticInvariants, EveryDiagnosticInvariantIsCovered) {
    std::set<std::string_view> covered;
    for (const InvariantCase& c : diagnostic_cases()) {
        covered.insert(c.expected.text());
    }
    for (InvariantName name :
         {invariant::truncated_sendpicp_payload, invariant::diagnostic_row_address_overflow,
          invariant::diagnostic_event_horizon_overflow, invariant::encoded_tile_horizon_mismatch,
          invariant::unknown_encoded_exchange_instruction, invariant::encoded_incoming_control_mismatch,
          invariant::encoded_sender_interval_mismatch, invariant::unexpected_encoded_outgoing_interval}) {
        EXPECT_TRUE(covered.contains(name.text())) << name.text();
    }
}

// ---------------------------------------------------------------------------
// Round trip through the encoder.

TEST(DiagnosticRoundTrip, EncodedProgramDecodesToItsScheduledControls) {
    const std::vector<ScheduledSenderRow> rows{scheduled_row(10, 100, 0x200, 3), scheduled_row(300, 70, 0x900, 1)};
    const std::vector<ReceiveEvent> events{
        xpic_source_event(5, 11),   pic_pointer_event(40, 0x40),  xpic_teardown_event(40), pic_pointer_event(90, 0x80),
        xpic_source_event(200, 12), pic_pointer_event(200, 0xC0), xpic_teardown_event(340)};
    const auto encoded = encoding::build_scheduled_program(testing::chunked_of(rows), testing::chunked_of(events), 400);
    ASSERT_TRUE(encoded) << encoded.error();
    const std::vector<Word> words = encoded->words.to_vector();
    const auto result = validate_tile_program(1, std::span<const ScheduledSenderRow>(rows),
                                              std::span<const ReceiveEvent>(events), 400, std::span<const Word>(words));
    ASSERT_TRUE(result) << result.error();
    std::vector<TimedIncomingControl> issued;
    for (const auto& instruction : result->instructions) {
        if (const auto* control = std::get_if<PlanOperation::IncomingControl>(&instruction.operation.value)) {
            issued.push_back({instruction.end_cycle, control->control});
        } else if (const auto* carried = std::get_if<PlanOperation::Send>(&instruction.operation.value)) {
            for (const IncomingControl& c : carried->controls) {
                issued.push_back({instruction.start_cycle + 1, c});
            }
        }
    }
    EXPECT_THAT(issued, ElementsAre(TimedIncomingControl{5, xpic(11)}, TimedIncomingControl{40, xpic(0x640)},
                                    TimedIncomingControl{40, pic(0x10)}, TimedIncomingControl{90, pic(0x20)},
                                    TimedIncomingControl{200, xpic(12)}, TimedIncomingControl{200, pic(0x30)},
                                    TimedIncomingControl{340, xpic(0x640)}));
}

}  // namespace
}  // namespace vorn::exchange
