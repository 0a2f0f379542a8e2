#pragma once
// Exchange instruction words and the records built from them.
//
// Every tile runs a statically timed exchange program of 32-bit words. This
// header is the one definition of that format: the classifier that every
// reader of words uses (classify_word, first match wins in the order of
// WordKind), field accessors for every field of every kind, builders for the
// words the encoder and the row builders write, and the three records that
// carry words between the parts of the package: RowWords, ScheduledSenderRow
// and ReceiveEvent.
//
// Bit positions count from bit 0, the least significant; "bits a..b" is
// inclusive. Field accessors do not check the kind of the word they are given:
// classify first, then read the fields of that kind. Builders check their
// arguments and abort with a message on a violation (a programming error of
// the caller, never a data error).

#include <array>
#include <cstddef>
#include <cstdint>
#include <iosfwd>
#include <string_view>

#include <fmt/core.h>

namespace vorn::exchange {

// One 32-bit exchange instruction word.
using Word = std::uint32_t;

// ---------------------------------------------------------------------------
// Constants of the word format.

inline constexpr Word return_word = 0x43A00000;  // RETURN: the last word of a program or row
inline constexpr Word sync_entry = 0x41800003;   // SYNC 3: the first word of every row

inline constexpr Word delay_first = 0x40A00000;  // DELAY words: delay_first..delay_last
inline constexpr Word delay_last = 0x40A7FFFF;
inline constexpr std::uint32_t max_delay_field = 0x7FFFF;  // largest n of DELAY n
inline constexpr std::uint32_t max_delay_cycles = 0x80000; // cycles of DELAY max_delay_field

inline constexpr Word xpic_first = 0x64000000;  // XPIC control words: xpic_first..xpic_last
inline constexpr Word xpic_last = 0x67FFFFFF;
inline constexpr Word pic_first = 0x60000000;  // PIC control words: pic_first..pic_last
inline constexpr Word pic_last = 0x63FFFFFF;
inline constexpr std::uint32_t max_xpic_value = 0x3FFF;  // 14-bit XPIC value
inline constexpr std::uint32_t max_pic_value = 0x7FFFF;  // 19-bit PIC value
inline constexpr std::uint32_t max_xpic_delay = 4095;    // 12-bit delay field: up to 4096 cycles
inline constexpr std::uint32_t max_pic_delay = 127;      // 7-bit delay field: up to 128 cycles

inline constexpr Word sendpicp_first = 0xF0000000;  // every word from here up starts a SENDPICP
inline constexpr Word send_class_mask = 0xF8100000; // top five bits and bit 20 tell Pic from Offset SENDs
inline constexpr Word send_pic_match = 0x70100000;
inline constexpr Word send_offset_match = 0x70000000;
inline constexpr Word send_explicit_first = 0x78000000;  // Explicit SENDs: 0x78000000..0x7FFFFFFF
inline constexpr Word send_explicit_last = 0x7FFFFFFF;

inline constexpr Word sync_first = 0x41800000;  // SYNC words: sync_first..sync_last
inline constexpr Word sync_last = 0x418000FF;

// Largest item count of one Explicit, Pic-encoded or SENDPICP send (six-bit
// count - 1 field), and of one Offset send (twelve-bit count - 1 field).
inline constexpr std::uint32_t max_send_count = 64;
inline constexpr std::uint32_t max_offset_send_count = 4096;
// Largest source operand of an Explicit SEND or a SENDPICP (18 bits), and of
// an Offset SEND (11 bits).
inline constexpr std::uint32_t max_source_operand = 0x3FFFF;
inline constexpr std::uint32_t max_offset_operand = 0x7FF;

// XPIC values: bits 0..12 name the incoming mux source (a physical tile id),
// or the teardown value that releases the mux; bit 13 marks a paired
// (64-bit) receive.
inline constexpr std::uint32_t xpic_teardown_value = 0x640;
inline constexpr std::uint32_t xpic_source_mask = 0x1FFF;
inline constexpr std::uint32_t xpic_paired_bit = 1U << 13;

// PIC values: with the format bit clear, bits 0..17 are the receive pointer
// (destination byte address / 4); with it set the value is a paired format
// control: 1 or 2 starts a paired format (the send direction), 0 ends it.
inline constexpr std::uint32_t pic_pointer_mask = 0x3FFFF;
inline constexpr std::uint32_t pic_format_bit = 1U << 18;
inline constexpr std::uint32_t max_receive_byte_address = 0xFFFFC;

// Send control (3 bits): 1 and 2 one send direction, 3 both, plus 4 for
// 64-bit items (the source operand then counts 8-byte units).
inline constexpr std::uint32_t send_control_direction_mask = 3;
inline constexpr std::uint32_t send_control_paired64 = 4;
inline constexpr std::uint32_t max_send_control = 7;

// ---------------------------------------------------------------------------
// Classification.

// The kinds of words, in the order in which classify_word tries them.
enum class WordKind : std::uint8_t {
    Return,        // exactly return_word
    Delay,         // 0x40A00000..0x40A7FFFF
    XpicControl,   // 0x64000000..0x67FFFFFF
    PicControl,    // 0x60000000..0x63FFFFFF
    SendPicPair,   // first word of a two-word SENDPICP: word >= 0xF0000000
    SendPic,       // SEND carrying one control: word & 0xF8100000 == 0x70100000
    SendExplicit,  // 0x78000000..0x7FFFFFFF
    SendOffset,    // word & 0xF8100000 == 0x70000000
    Sync,          // 0x41800000..0x418000FF
    Unknown,       // anything else
};

// The kind of a word by the first matching line of the format table.
constexpr WordKind classify_word(Word word) noexcept {
    if (word == return_word) {
        return WordKind::Return;
    }
    if (word >= delay_first && word <= delay_last) {
        return WordKind::Delay;
    }
    if (word >= xpic_first && word <= xpic_last) {
        return WordKind::XpicControl;
    }
    if (word >= pic_first && word <= pic_last) {
        return WordKind::PicControl;
    }
    if (word >= sendpicp_first) {
        return WordKind::SendPicPair;
    }
    if ((word & send_class_mask) == send_pic_match) {
        return WordKind::SendPic;
    }
    if (word >= send_explicit_first && word <= send_explicit_last) {
        return WordKind::SendExplicit;
    }
    if ((word & send_class_mask) == send_offset_match) {
        return WordKind::SendOffset;
    }
    if (word >= sync_first && word <= sync_last) {
        return WordKind::Sync;
    }
    return WordKind::Unknown;
}

// The variant name, e.g. "SendPicPair".
std::string_view debug_name(WordKind kind) noexcept;

// Number of words an instruction of this kind occupies (2 for a SENDPICP).
constexpr std::size_t instruction_word_count(WordKind kind) noexcept { return kind == WordKind::SendPicPair ? 2 : 1; }

constexpr bool is_control(WordKind kind) noexcept {
    return kind == WordKind::XpicControl || kind == WordKind::PicControl;
}

// ---------------------------------------------------------------------------
// Field accessors. Each reads the field of one kind (named in the comment)
// without checking the kind.

namespace detail {
constexpr std::uint32_t bits(Word word, unsigned low, unsigned high) noexcept {
    const unsigned width = high - low + 1;
    const std::uint32_t mask = width >= 32 ? 0xFFFFFFFFU : ((1U << width) - 1U);
    return (word >> low) & mask;
}
}  // namespace detail

// DELAY: n = bits 0..18; the word takes n + 1 cycles.
constexpr std::uint32_t delay_field(Word word) noexcept { return detail::bits(word, 0, 18); }
constexpr std::uint32_t delay_cycles(Word word) noexcept { return delay_field(word) + 1; }

// XPIC control: value = bits 0..13, delay d = bits 14..25.
constexpr std::uint32_t xpic_value(Word word) noexcept { return detail::bits(word, 0, 13); }
constexpr std::uint32_t xpic_delay(Word word) noexcept { return detail::bits(word, 14, 25); }

// PIC control: value = bits 0..18, delay d = bits 19..25.
constexpr std::uint32_t pic_value(Word word) noexcept { return detail::bits(word, 0, 18); }
constexpr std::uint32_t pic_delay(Word word) noexcept { return detail::bits(word, 19, 25); }

// SEND (SENDPICP first word, Pic-encoded and Explicit): count - 1 = bits 21..26.
constexpr std::uint32_t send_count(Word word) noexcept { return detail::bits(word, 21, 26) + 1; }
// SENDPICP first word and Explicit SEND: source operand = bits 3..20.
constexpr std::uint32_t send_source_operand(Word word) noexcept { return detail::bits(word, 3, 20); }
// SENDPICP first word, Explicit and Offset SEND: send control = bits 0..2.
constexpr std::uint32_t send_control_field(Word word) noexcept { return detail::bits(word, 0, 2); }

// SENDPICP first word: bit 27 is bit 18 (the format bit) of the PIC value.
constexpr std::uint32_t sendpicp_pic_format_bit(Word first) noexcept { return detail::bits(first, 27, 27); }
// SENDPICP second word: XPIC value = bits 18..31.
constexpr std::uint32_t sendpicp_xpic_value(Word second) noexcept { return detail::bits(second, 18, 31); }
// SENDPICP: PIC value bits 0..17 from the second word, bit 18 from bit 27 of the first.
constexpr std::uint32_t sendpicp_pic_value(Word first, Word second) noexcept {
    return detail::bits(second, 0, 17) | (sendpicp_pic_format_bit(first) << 18);
}

// Pic-encoded SEND: bit 19 set means the carried control is a PIC control.
constexpr bool send_pic_carries_pic(Word word) noexcept { return detail::bits(word, 19, 19) != 0; }
// Pic-encoded SEND: the carried control's value; PIC: bits 0..18; XPIC: bits
// 0..12 with value bit 13 taken from word bit 18.
constexpr std::uint32_t send_pic_control_value(Word word) noexcept {
    if (send_pic_carries_pic(word)) {
        return detail::bits(word, 0, 18);
    }
    return detail::bits(word, 0, 12) | (detail::bits(word, 18, 18) << 13);
}
// Pic-encoded SEND: the raw operand bits 0..17 (what a decoder reports).
constexpr std::uint32_t send_pic_raw_operand(Word word) noexcept { return detail::bits(word, 0, 17); }

// Offset SEND: count - 1 has its low six bits in bits 21..26 and its high six
// bits in bits 14..19 (count 1..4096); operand = bits 3..13.
constexpr std::uint32_t offset_send_count(Word word) noexcept {
    return (detail::bits(word, 21, 26) | (detail::bits(word, 14, 19) << 6)) + 1;
}
constexpr std::uint32_t offset_send_operand(Word word) noexcept { return detail::bits(word, 3, 13); }

// SYNC: operand = bits 0..7.
constexpr std::uint32_t sync_operand(Word word) noexcept { return detail::bits(word, 0, 7); }

// Items sent by a send of the given kind (count; both halves for Offset); 0
// for other kinds.
constexpr std::uint32_t send_items(WordKind kind, Word word) noexcept {
    switch (kind) {
        case WordKind::SendPicPair:
        case WordKind::SendPic:
        case WordKind::SendExplicit:
            return send_count(word);
        case WordKind::SendOffset:
            return offset_send_count(word);
        default:
            return 0;
    }
}
constexpr std::uint32_t send_items(Word word) noexcept { return send_items(classify_word(word), word); }

// Cycles an instruction of this kind takes: DELAY n + 1, controls d + 1,
// sends their count, RETURN, SYNC and unknown words 0. For a SENDPICP pass
// its first word. The result is at most 0x80000.
constexpr std::uint32_t word_cycles(WordKind kind, Word word) noexcept {
    switch (kind) {
        case WordKind::Delay:
            return delay_cycles(word);
        case WordKind::XpicControl:
            return xpic_delay(word) + 1;
        case WordKind::PicControl:
            return pic_delay(word) + 1;
        case WordKind::SendPicPair:
        case WordKind::SendPic:
        case WordKind::SendExplicit:
        case WordKind::SendOffset:
            return send_items(kind, word);
        case WordKind::Return:
        case WordKind::Sync:
        case WordKind::Unknown:
            return 0;
    }
    return 0;
}
constexpr std::uint32_t word_cycles(Word word) noexcept { return word_cycles(classify_word(word), word); }

// ---------------------------------------------------------------------------
// Builders. Arguments outside the ranges stated abort the program.

namespace detail {
[[noreturn]] void word_precondition_failed(const char* message) noexcept;
constexpr void word_require(bool ok, const char* message) noexcept {
    if (!ok) {
        word_precondition_failed(message);
    }
}
}  // namespace detail

// DELAY n: takes n + 1 cycles. n <= max_delay_field.
constexpr Word delay_word(std::uint32_t n) noexcept {
    detail::word_require(n <= max_delay_field, "assertion failed: delay field <= 0x7FFFF");
    return delay_first | n;
}
// The DELAY word that takes exactly `cycles` cycles, 1..max_delay_cycles.
constexpr Word delay_word_for_cycles(std::uint32_t cycles) noexcept {
    detail::word_require(cycles >= 1 && cycles <= max_delay_cycles, "assertion failed: 1 <= delay cycles <= 0x80000");
    return delay_first | (cycles - 1);
}

// XPIC control with a 14-bit value and a 12-bit delay (it takes effect
// delay + 1 cycles after the word starts).
constexpr Word xpic_word(std::uint32_t value, std::uint32_t delay = 0) noexcept {
    detail::word_require(value <= max_xpic_value, "assertion failed: XPIC value <= 0x3FFF");
    detail::word_require(delay <= max_xpic_delay, "assertion failed: XPIC delay <= 4095");
    return xpic_first | (delay << 14) | value;
}
// PIC control with a 19-bit value and a 7-bit delay.
constexpr Word pic_word(std::uint32_t value, std::uint32_t delay = 0) noexcept {
    detail::word_require(value <= max_pic_value, "assertion failed: PIC value <= 0x7FFFF");
    detail::word_require(delay <= max_pic_delay, "assertion failed: PIC delay <= 127");
    return pic_first | (delay << 19) | value;
}
// The same control with its delay field replaced (the old delay discarded).
constexpr Word xpic_with_delay(Word xpic, std::uint32_t delay) noexcept { return xpic_word(xpic_value(xpic), delay); }
constexpr Word pic_with_delay(Word pic, std::uint32_t delay) noexcept { return pic_word(pic_value(pic), delay); }

// PIC values for a receive pointer (byte address, a multiple of 4 up to
// 0xFFFFC) and for a paired format control (1 or 2 start, 0 end).
constexpr std::uint32_t pic_pointer_value(std::uint32_t byte_address) noexcept {
    detail::word_require(byte_address % 4 == 0 && byte_address <= max_receive_byte_address,
                         "assertion failed: receive address is a multiple of 4 and <= 0xFFFFC");
    return byte_address / 4;
}
constexpr std::uint32_t pic_format_value(std::uint32_t format) noexcept {
    detail::word_require(format <= 2, "assertion failed: paired format value <= 2");
    return pic_format_bit | format;
}
// XPIC value selecting a physical source tile (13 bits), optionally paired.
constexpr std::uint32_t xpic_source_value(std::uint32_t physical_tile, bool paired = false) noexcept {
    detail::word_require(physical_tile <= xpic_source_mask, "assertion failed: XPIC source <= 0x1FFF");
    return physical_tile | (paired ? xpic_paired_bit : 0U);
}
// XPIC value releasing the incoming mux, optionally paired.
constexpr std::uint32_t xpic_teardown(bool paired = false) noexcept {
    return xpic_teardown_value | (paired ? xpic_paired_bit : 0U);
}

// Explicit SEND of count 1..64 items from an 18-bit source operand.
constexpr Word explicit_send_word(std::uint32_t count, std::uint32_t operand, std::uint32_t send_control) noexcept {
    detail::word_require(count >= 1 && count <= max_send_count, "assertion failed: 1 <= send count <= 64");
    detail::word_require(operand <= max_source_operand, "assertion failed: send operand <= 0x3FFFF");
    detail::word_require(send_control <= max_send_control, "assertion failed: send control <= 7");
    return send_explicit_first | ((count - 1) << 21) | (operand << 3) | send_control;
}
// The same Explicit SEND with its count replaced.
constexpr Word explicit_send_with_count(Word explicit_send, std::uint32_t count) noexcept {
    detail::word_require(count >= 1 && count <= max_send_count, "assertion failed: 1 <= send count <= 64");
    return (explicit_send & 0x781FFFFFU) | ((count - 1) << 21);
}
// Offset SEND continuing a message: count 1..4096, operand 0.
constexpr Word offset_send_word(std::uint32_t count, std::uint32_t send_control) noexcept {
    detail::word_require(count >= 1 && count <= max_offset_send_count, "assertion failed: 1 <= offset send count <= 4096");
    detail::word_require(send_control <= max_send_control, "assertion failed: send control <= 7");
    const std::uint32_t field = count - 1;
    return send_offset_match | send_control | ((field & 0x3FU) << 21) | (((field >> 6) & 0x3FU) << 14);
}
// Pic-encoded SEND of count 1..64 items carrying one PIC control (19-bit value).
constexpr Word send_pic_with_pic(std::uint32_t count, std::uint32_t pic_value_) noexcept {
    detail::word_require(count >= 1 && count <= max_send_count, "assertion failed: 1 <= send count <= 64");
    detail::word_require(pic_value_ <= max_pic_value, "assertion failed: PIC value <= 0x7FFFF");
    return send_pic_match | ((count - 1) << 21) | (1U << 19) | pic_value_;
}
// Pic-encoded SEND of count 1..64 items carrying one XPIC control (14-bit value).
constexpr Word send_pic_with_xpic(std::uint32_t count, std::uint32_t xpic_value_) noexcept {
    detail::word_require(count >= 1 && count <= max_send_count, "assertion failed: 1 <= send count <= 64");
    detail::word_require(xpic_value_ <= max_xpic_value, "assertion failed: XPIC value <= 0x3FFF");
    return send_pic_match | ((count - 1) << 21) | ((xpic_value_ >> 13) << 18) | (xpic_value_ & xpic_source_mask);
}
// Pic-encoded SEND carrying the control of a PIC or XPIC control word.
constexpr Word send_pic_with_control(std::uint32_t count, Word control) noexcept {
    const WordKind kind = classify_word(control);
    detail::word_require(is_control(kind), "assertion failed: a Pic-encoded send carries a PIC or XPIC control");
    return kind == WordKind::PicControl ? send_pic_with_pic(count, pic_value(control))
                                        : send_pic_with_xpic(count, xpic_value(control));
}

// The two words of a SENDPICP, first word first. In the program the first
// word must stand at an even word index.
struct SendPicPairWords {
    Word first;
    Word second;
    friend constexpr bool operator==(const SendPicPairWords&, const SendPicPairWords&) noexcept = default;
};
// SENDPICP of count 1..64 items from an 18-bit source operand with a send
// control (0 for a SENDPICP that only sets controls), carrying one XPIC value
// and one PIC value; both controls take effect at the cycle after the word
// starts.
constexpr SendPicPairWords sendpicp_words(std::uint32_t count, std::uint32_t operand, std::uint32_t send_control,
                                          std::uint32_t xpic_value_, std::uint32_t pic_value_) noexcept {
    detail::word_require(count >= 1 && count <= max_send_count, "assertion failed: 1 <= send count <= 64");
    detail::word_require(operand <= max_source_operand, "assertion failed: send operand <= 0x3FFFF");
    detail::word_require(send_control <= max_send_control, "assertion failed: send control <= 7");
    detail::word_require(xpic_value_ <= max_xpic_value, "assertion failed: XPIC value <= 0x3FFF");
    detail::word_require(pic_value_ <= max_pic_value, "assertion failed: PIC value <= 0x7FFFF");
    return SendPicPairWords{
        sendpicp_first | ((count - 1) << 21) | ((pic_value_ >> 18) << 27) | (operand << 3) | send_control,
        (pic_value_ & pic_pointer_mask) | (xpic_value_ << 18),
    };
}

// SYNC with an 8-bit operand.
constexpr Word sync_word(std::uint32_t operand) noexcept {
    detail::word_require(operand <= 0xFF, "assertion failed: SYNC operand <= 0xFF");
    return sync_first | operand;
}

// ---------------------------------------------------------------------------
// Records.

// The nine-word program of one tile for one transfer: sync_entry first, then
// the row's instructions, return_word, then zero words.
inline constexpr std::size_t row_word_count = 9;
using RowWords = std::array<Word, row_word_count>;

// One outgoing transfer placed in a tile's program.
struct ScheduledSenderRow {
    RowWords words{};                // the sender row, source address and send control filled in
    std::uint32_t payload_start = 0; // absolute cycles from the phase-entry sync
    std::uint32_t payload_end = 0;

    friend constexpr bool operator==(const ScheduledSenderRow&, const ScheduledSenderRow&) noexcept = default;
};

// The kind of an incoming control; 0..3 are XPIC controls, 4..6 PIC controls.
enum class ReceiveEventKind : std::uint8_t {
    XpicSource = 0,          // select the incoming mux source
    XpicTeardown = 1,        // release the incoming mux
    PairedXpicSource = 2,    // the same for a paired (64-bit) receive
    PairedXpicTeardown = 3,
    PairedPicPointer = 4,    // receive pointer of a paired receive
    PicPointer = 5,          // receive pointer
    PicFormat = 6,           // paired format start or end
};

inline constexpr std::uint8_t receive_event_kind_count = 7;

std::string_view debug_name(ReceiveEventKind kind) noexcept;

constexpr bool is_xpic_kind(ReceiveEventKind kind) noexcept { return static_cast<std::uint8_t>(kind) <= 3; }
constexpr bool is_pic_kind(ReceiveEventKind kind) noexcept {
    const auto raw = static_cast<std::uint8_t>(kind);
    return raw >= 4 && raw <= 6;
}
constexpr bool is_paired_kind(ReceiveEventKind kind) noexcept {
    return kind == ReceiveEventKind::PairedXpicSource || kind == ReceiveEventKind::PairedXpicTeardown ||
           kind == ReceiveEventKind::PairedPicPointer;
}
constexpr bool is_teardown_kind(ReceiveEventKind kind) noexcept {
    return kind == ReceiveEventKind::XpicTeardown || kind == ReceiveEventKind::PairedXpicTeardown;
}
// The only two kinds that may share a cycle: a receive pointer and an
// ordinary mux control, issued together by one SENDPICP.
constexpr bool forms_sendpicp_pair(ReceiveEventKind a, ReceiveEventKind b) noexcept {
    const auto mux = [](ReceiveEventKind kind) {
        return kind == ReceiveEventKind::XpicSource || kind == ReceiveEventKind::XpicTeardown;
    };
    return (a == ReceiveEventKind::PicPointer && mux(b)) || (b == ReceiveEventKind::PicPointer && mux(a));
}

// The kind of the event an XPIC value sets: paired when bit 13 is set, a
// teardown when bits 0..12 are the teardown value.
constexpr ReceiveEventKind xpic_event_kind(std::uint32_t xpic_value_) noexcept {
    const bool paired = (xpic_value_ & xpic_paired_bit) != 0;
    const bool teardown = (xpic_value_ & xpic_source_mask) == xpic_teardown_value;
    return static_cast<ReceiveEventKind>((paired ? 2U : 0U) + (teardown ? 1U : 0U));
}
// The kind of the event a PIC value sets in an ordinary row: a format control
// when bit 18 is set, else a receive pointer (paired rows mark their pointer
// PairedPicPointer themselves).
constexpr ReceiveEventKind pic_event_kind(std::uint32_t pic_value_) noexcept {
    return (pic_value_ & pic_format_bit) != 0 ? ReceiveEventKind::PicFormat : ReceiveEventKind::PicPointer;
}

// One incoming control of a tile at an absolute cycle.
struct ReceiveEvent {
    std::uint32_t time = 0;  // cycle at which the control takes effect
    Word word = 0;           // the control in single-word XPIC or PIC form; its delay field is irrelevant
    ReceiveEventKind kind = ReceiveEventKind::XpicSource;

    friend constexpr bool operator==(const ReceiveEvent&, const ReceiveEvent&) noexcept = default;
};

// The control value an event sets: the word's bits 0..13 for the XPIC kinds,
// bits 0..18 for the PIC kinds.
constexpr std::uint32_t control_value(const ReceiveEvent& event) noexcept {
    return is_xpic_kind(event.kind) ? xpic_value(event.word) : pic_value(event.word);
}

// Readable forms for test output and logs.
std::ostream& operator<<(std::ostream& out, WordKind kind);
std::ostream& operator<<(std::ostream& out, ReceiveEventKind kind);
std::ostream& operator<<(std::ostream& out, const ReceiveEvent& event);
std::ostream& operator<<(std::ostream& out, const ScheduledSenderRow& row);

}  // namespace vorn::exchange

template <>
struct fmt::formatter<vorn::exchange::WordKind> : fmt::formatter<std::string_view> {
    template <typename FormatContext>
    auto format(vorn::exchange::WordKind kind, FormatContext& ctx) const -> decltype(ctx.out()) {
        return fmt::formatter<std::string_view>::format(vorn::exchange::debug_name(kind), ctx);
    }
};

template <>
struct fmt::formatter<vorn::exchange::ReceiveEventKind> : fmt::formatter<std::string_view> {
    template <typename FormatContext>
    auto format(vorn::exchange::ReceiveEventKind kind, FormatContext& ctx) const -> decltype(ctx.out()) {
        return fmt::formatter<std::string_view>::format(vorn::exchange::debug_name(kind), ctx);
    }
};
