#include "vorn/exchange/words.hpp"

#include <cstdint>
#include <random>
#include <sstream>
#include <vector>

#include <fmt/format.h>
#include <gtest/gtest.h>

namespace vorn::exchange {
namespace {

struct ClassifyCase {
    Word word;
    WordKind kind;
    std::uint32_t cycles;
};

// Boundaries of every line of the word table, and words that a careless
// order of the checks would put into the wrong line.
const std::vector<ClassifyCase> classify_cases = {
    // RETURN is exactly one word; its neighbours are unknown.
    {0x43A00000, WordKind::Return, 0},
    {0x43A00001, WordKind::Unknown, 0},
    {0x439FFFFF, WordKind::Unknown, 0},
    // DELAY n takes n + 1 cycles; the range ends at 0x40A7FFFF.
    {0x40A00000, WordKind::Delay, 1},
    {0x40A00004, WordKind::Delay, 5},
    {0x40A7FFFF, WordKind::Delay, 0x80000},
    {0x40A80000, WordKind::Unknown, 0},
    {0x409FFFFF, WordKind::Unknown, 0},
    // Controls take delay + 1 cycles.
    {0x64000000, WordKind::XpicControl, 1},
    {0x641C0000, WordKind::XpicControl, 113},
    {0x67FFFFFF, WordKind::XpicControl, 4096},
    {0x60000000, WordKind::PicControl, 1},
    {0x63FFFFFF, WordKind::PicControl, 128},
    {0x5FFFFFFF, WordKind::Unknown, 0},
    {0x68000000, WordKind::Unknown, 0},
    {0x6FFFFFFF, WordKind::Unknown, 0},
    // Any word from 0xF0000000 up starts a SENDPICP, whatever its other bits.
    {0xF0000000, WordKind::SendPicPair, 1},
    {0xF0100000, WordKind::SendPicPair, 1},
    {0xF8100000, WordKind::SendPicPair, 1},
    {0xF7E00000, WordKind::SendPicPair, 64},
    {0xFFFFFFFF, WordKind::SendPicPair, 64},
    {0xEFFFFFFF, WordKind::Unknown, 0},
    // Top five bits 01111: Explicit, also with bit 20 set.
    {0x78000000, WordKind::SendExplicit, 1},
    {0x78100000, WordKind::SendExplicit, 1},
    {0x7FFFFFFF, WordKind::SendExplicit, 64},
    // 0x70000000..0x77FFFFFF: Pic-encoded with bit 20 set, Offset without.
    {0x70100000, WordKind::SendPic, 1},
    {0x77FFFFFF, WordKind::SendPic, 64},
    {0x70000000, WordKind::SendOffset, 1},
    {0x77EFFFFF, WordKind::SendOffset, 4096},
    {0x700FC000, WordKind::SendOffset, 4033},
    // SYNC operand 0..0xFF; above it unknown up to RETURN.
    {0x41800000, WordKind::Sync, 0},
    {0x41800003, WordKind::Sync, 0},
    {0x418000FF, WordKind::Sync, 0},
    {0x41800100, WordKind::Unknown, 0},
    {0x417FFFFF, WordKind::Unknown, 0},
    {0x00000000, WordKind::Unknown, 0},
    {0x80000000, WordKind::Unknown, 0},
};

TEST(WordClassifier, FirstMatchingLineOfTheTable) {
    for (const ClassifyCase& c : classify_cases) {
        SCOPED_TRACE(fmt::format("word {:#010x}", c.word));
        EXPECT_EQ(classify_word(c.word), c.kind);
        EXPECT_EQ(word_cycles(c.word), c.cycles);
    }
}

TEST(WordClassifier, SyncAndReturnConstants) {
    EXPECT_EQ(classify_word(sync_entry), WordKind::Sync);
    EXPECT_EQ(sync_operand(sync_entry), 3U);
    EXPECT_EQ(sync_word(3), sync_entry);
    EXPECT_EQ(classify_word(return_word), WordKind::Return);
    EXPECT_EQ(instruction_word_count(WordKind::SendPicPair), 2U);
    EXPECT_EQ(instruction_word_count(WordKind::SendExplicit), 1U);
}

// Words that appear in transfer rows, read field by field.
TEST(WordFields, KnownRowWords) {
    // XPIC with delay 112, value 0 (the point-to-point receiver's mux control).
    EXPECT_EQ(xpic_delay(0x641C0000), 112U);
    EXPECT_EQ(xpic_value(0x641C0000), 0U);
    EXPECT_EQ(xpic_word(0, 112), 0x641C0000U);
    // XPIC teardown with delay 7.
    EXPECT_EQ(xpic_word(xpic_teardown(), 7), (7U << 14) | 0x64000640U);
    EXPECT_EQ(xpic_word(xpic_teardown(true)), 0x64002640U);
    // PIC with delay 43 and the placeholder pointer 0x14000.
    EXPECT_EQ(pic_word(0x14000, 43), ((43U << 19) | 0x60014000U));
    EXPECT_EQ(pic_delay(pic_word(0x14000, 43)), 43U);
    EXPECT_EQ(pic_value(pic_word(0x14000, 43)), 0x14000U);
    // Paired format start in direction 2.
    EXPECT_EQ(pic_word(pic_format_value(2)), 0x60040002U);
    // Explicit SEND of 8 items, send control 3.
    EXPECT_EQ(explicit_send_word(8, 0, 3), 0x78000000U + (7U << 21) + 3U);
    EXPECT_EQ(explicit_send_with_count(explicit_send_word(8, 0x1234, 5), 64), explicit_send_word(64, 0x1234, 5));
    // DELAY of 31 cycles has field 30.
    EXPECT_EQ(delay_word_for_cycles(31), 0x40A0001EU);
    EXPECT_EQ(delay_word(30), 0x40A0001EU);
    EXPECT_EQ(delay_word_for_cycles(max_delay_cycles), delay_last);
}

// The row builders write the continuation of a c-item send (c > 64) as
// 0x70000000 + dir + (((c - 65) & 0x3F) << 21) + (((c - 65) << 8) & 0xFC000):
// an Offset SEND of c - 64 items.
TEST(WordFields, OffsetSendMatchesRowContinuation) {
    for (std::uint32_t c : {65U, 66U, 128U, 129U, 1000U, 4096U, 4147U, 4148U}) {
        for (std::uint32_t dir : {1U, 2U, 3U, 7U}) {
            SCOPED_TRACE(fmt::format("count {} dir {}", c, dir));
            const Word row_form = 0x70000000U + dir + (((c - 65) & 0x3FU) << 21) + (((c - 65) << 8) & 0xFC000U);
            EXPECT_EQ(offset_send_word(c - 64, dir), row_form);
            EXPECT_EQ(classify_word(row_form), WordKind::SendOffset);
            EXPECT_EQ(offset_send_count(row_form), c - 64);
            EXPECT_EQ(send_control_field(row_form), dir);
        }
    }
}

// Every builder's word classifies as its kind and reads back the fields it
// was built from, over random field values.
TEST(WordFields, BuildersRoundTrip) {
    std::mt19937 rng(20240611);
    auto draw = [&](std::uint32_t low, std::uint32_t high) {
        return std::uniform_int_distribution<std::uint32_t>(low, high)(rng);
    };
    for (int i = 0; i < 2000; ++i) {
        const std::uint32_t count = draw(1, max_send_count);
        const std::uint32_t long_count = draw(1, max_offset_send_count);
        const std::uint32_t operand = draw(0, max_source_operand);
        const std::uint32_t control = draw(0, max_send_control);
        const std::uint32_t xv = draw(0, max_xpic_value);
        const std::uint32_t pv = draw(0, max_pic_value);
        const std::uint32_t xd = draw(0, max_xpic_delay);
        const std::uint32_t pd = draw(0, max_pic_delay);
        const std::uint32_t n = draw(0, max_delay_field);

        const Word delay = delay_word(n);
        ASSERT_EQ(classify_word(delay), WordKind::Delay);
        ASSERT_EQ(delay_field(delay), n);

        const Word xpic = xpic_word(xv, xd);
        ASSERT_EQ(classify_word(xpic), WordKind::XpicControl);
        ASSERT_EQ(xpic_value(xpic), xv);
        ASSERT_EQ(xpic_delay(xpic), xd);
        ASSERT_EQ(xpic_with_delay(xpic, 0), xpic_word(xv, 0));

        const Word pic = pic_word(pv, pd);
        ASSERT_EQ(classify_word(pic), WordKind::PicControl);
        ASSERT_EQ(pic_value(pic), pv);
        ASSERT_EQ(pic_delay(pic), pd);
        ASSERT_EQ(pic_with_delay(pic, 127), pic_word(pv, 127));

        const Word explicit_send = explicit_send_word(count, operand, control);
        ASSERT_EQ(classify_word(explicit_send), WordKind::SendExplicit);
        ASSERT_EQ(send_count(explicit_send), count);
        ASSERT_EQ(send_source_operand(explicit_send), operand);
        ASSERT_EQ(send_control_field(explicit_send), control);

        const Word offset = offset_send_word(long_count, control);
        ASSERT_EQ(classify_word(offset), WordKind::SendOffset);
        ASSERT_EQ(offset_send_count(offset), long_count);
        ASSERT_EQ(offset_send_operand(offset), 0U);
        ASSERT_EQ(send_control_field(offset), control);

        const Word carries_pic = send_pic_with_pic(count, pv);
        ASSERT_EQ(classify_word(carries_pic), WordKind::SendPic);
        ASSERT_TRUE(send_pic_carries_pic(carries_pic));
        ASSERT_EQ(send_pic_control_value(carries_pic), pv);
        ASSERT_EQ(send_count(carries_pic), count);
        ASSERT_EQ(send_pic_with_control(count, pic), carries_pic);

        const Word carries_xpic = send_pic_with_xpic(count, xv);
        ASSERT_EQ(classify_word(carries_xpic), WordKind::SendPic);
        ASSERT_FALSE(send_pic_carries_pic(carries_xpic));
        ASSERT_EQ(send_pic_control_value(carries_xpic), xv);
        ASSERT_EQ(send_count(carries_xpic), count);
        ASSERT_EQ(send_pic_with_control(count, xpic), carries_xpic);

        const SendPicPairWords pair = sendpicp_words(count, operand, control, xv, pv);
        ASSERT_EQ(classify_word(pair.first), WordKind::SendPicPair);
        ASSERT_EQ(send_count(pair.first), count);
        ASSERT_EQ(send_source_operand(pair.first), operand);
        ASSERT_EQ(send_control_field(pair.first), control);
        ASSERT_EQ(sendpicp_xpic_value(pair.second), xv);
        ASSERT_EQ(sendpicp_pic_value(pair.first, pair.second), pv);
        // The encoder's form of the second word: PIC bits 0..17 and the XPIC
        // word shifted up, whatever delays the two words carried.
        ASSERT_EQ(pair.second, (pic & 0x3FFFFU) | (xpic << 18));
        ASSERT_EQ(word_cycles(pair.first), count);
    }
}

// A SENDPICP row word read back the way the row reader does: the PIC event
// word takes bit 18 from bit 27 of the first word.
TEST(WordFields, SendPicPairFormatBit) {
    const SendPicPairWords pair = sendpicp_words(1, 0, 0, xpic_teardown(true), pic_format_value(1));
    EXPECT_EQ(sendpicp_pic_format_bit(pair.first), 1U);
    EXPECT_EQ(0x60000000U | (pair.second & 0x3FFFFU) | ((pair.first >> 9) & 0x40000U),
              pic_word(pic_format_value(1)));
    EXPECT_EQ(0x64000000U | (pair.second >> 18), xpic_word(xpic_teardown(true)));
}

TEST(ReceiveEvents, KindsAndControlValues) {
    struct KindCase {
        ReceiveEventKind kind;
        bool xpic;
        bool paired;
        bool teardown;
    };
    const KindCase cases[] = {
        {ReceiveEventKind::XpicSource, true, false, false},
        {ReceiveEventKind::XpicTeardown, true, false, true},
        {ReceiveEventKind::PairedXpicSource, true, true, false},
        {ReceiveEventKind::PairedXpicTeardown, true, true, true},
        {ReceiveEventKind::PairedPicPointer, false, true, false},
        {ReceiveEventKind::PicPointer, false, false, false},
        {ReceiveEventKind::PicFormat, false, false, false},
    };
    for (const KindCase& c : cases) {
        SCOPED_TRACE(debug_name(c.kind));
        EXPECT_EQ(is_xpic_kind(c.kind), c.xpic);
        EXPECT_EQ(is_pic_kind(c.kind), !c.xpic);
        EXPECT_EQ(is_paired_kind(c.kind), c.paired);
        EXPECT_EQ(is_teardown_kind(c.kind), c.teardown);
    }

    EXPECT_EQ(xpic_event_kind(5), ReceiveEventKind::XpicSource);
    EXPECT_EQ(xpic_event_kind(xpic_teardown()), ReceiveEventKind::XpicTeardown);
    EXPECT_EQ(xpic_event_kind(xpic_source_value(5, true)), ReceiveEventKind::PairedXpicSource);
    EXPECT_EQ(xpic_event_kind(xpic_teardown(true)), ReceiveEventKind::PairedXpicTeardown);
    EXPECT_EQ(pic_event_kind(pic_pointer_value(0x400)), ReceiveEventKind::PicPointer);
    EXPECT_EQ(pic_event_kind(pic_format_value(0)), ReceiveEventKind::PicFormat);

    // The value ignores the delay field of the stored word.
    EXPECT_EQ(control_value({10, xpic_word(0x2640, 4095), ReceiveEventKind::PairedXpicTeardown}), 0x2640U);
    EXPECT_EQ(control_value({10, pic_word(0x7FFFF, 127), ReceiveEventKind::PicFormat}), 0x7FFFFU);
}

TEST(Records, PrintForms) {
    std::ostringstream out;
    out << ReceiveEvent{12, 0x64000640, ReceiveEventKind::XpicTeardown};
    EXPECT_EQ(out.str(), "ReceiveEvent { time: 12, word: 0x64000640, kind: XpicTeardown }");
    EXPECT_EQ(fmt::format("{}", WordKind::SendPicPair), "SendPicPair");
}

struct BuilderDeath {
    const char* name;
    void (*call)();
    const char* message;
};

TEST(WordBuildersDeathTest, OutOfRangeArgumentsAbort) {
    const BuilderDeath cases[] = {
        {"delay field", [] { (void)delay_word(0x80000); }, "delay field <= 0x7FFFF"},
        {"zero delay cycles", [] { (void)delay_word_for_cycles(0); }, "1 <= delay cycles <= 0x80000"},
        {"xpic delay", [] { (void)xpic_word(0, 4096); }, "XPIC delay <= 4095"},
        {"pic delay", [] { (void)pic_word(0, 128); }, "PIC delay <= 127"},
        {"send count", [] { (void)explicit_send_word(65, 0, 1); }, "1 <= send count <= 64"},
        {"offset count", [] { (void)offset_send_word(4097, 1); }, "1 <= offset send count <= 4096"},
        {"operand", [] { (void)sendpicp_words(1, 0x40000, 0, 0, 0); }, "send operand <= 0x3FFFF"},
        {"pointer", [] { (void)pic_pointer_value(0x100000); }, "receive address"},
        {"carried word", [] { (void)send_pic_with_control(1, return_word); }, "carries a PIC or XPIC control"},
    };
    for (const BuilderDeath& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_DEATH(c.call(), c.message);
    }
}

}  // namespace
}  // namespace vorn::exchange
