#pragma once
// The encoder of tile programs: one tile's schedule (its outgoing sender rows
// and its incoming receive events) becomes the instruction words the tile
// executes during an exchange phase.
//
// The encoder is incremental. While it writes words it leaves a Checkpoint
// after every group of receive events and after every sender message; given
// the encoding of an earlier state of the same schedule and the number of
// leading sender rows and receive events that are unchanged since, it resumes
// from the last checkpoint inside that unchanged prefix and shares the chunks
// of the earlier words and checkpoints. Re-encoding therefore costs what
// follows the first change, not the whole program.
//
// The building blocks (the receive-events record, the sender message and its
// payload words, gap splitting and control placement) are public: the row
// builders write receiver rows with the same routines.
//
// Every failure is an ExchangeError::schedule naming the broken invariant;
// nothing partial is returned.

#include <cstddef>
#include <cstdint>
#include <iosfwd>
#include <optional>
#include <span>
#include <vector>

#include <tl/expected.hpp>

#include "vorn/exchange/chunked.hpp"
#include "vorn/exchange/error.hpp"
#include "vorn/exchange/words.hpp"

namespace vorn::exchange {

// The state after one encoded group of receive events or one sender message.
struct Checkpoint {
    bool pair = false;                 // the group was a PIC+XPIC pair encoded as SENDPICP
    std::uint32_t limit = 0;           // the cycle that bounded the group (only read for pairs)
    std::uint64_t sender_rows = 0;     // sender rows fully encoded
    std::uint64_t receive_events = 0;  // receive events fully encoded
    std::uint64_t words = 0;           // words emitted so far
    std::uint32_t time = 0;            // the cursor after the group

    friend constexpr bool operator==(const Checkpoint&, const Checkpoint&) noexcept = default;
};

std::ostream& operator<<(std::ostream& out, const Checkpoint& checkpoint);

// One tile's encoded program with its checkpoints. Words end with RETURN.
struct EncodedSchedule {
    Chunked<Checkpoint> checkpoints;
    Chunked<Word> words;

    friend bool operator==(const EncodedSchedule&, const EncodedSchedule&) = default;
};

// The earlier encoding an incremental encoding resumes from, with how many
// leading sender rows and receive events of the schedule are unchanged since
// it was built.
struct EncodingBase {
    const EncodedSchedule* previous = nullptr;
    std::size_t clean_sender_rows = 0;
    std::size_t clean_receive_events = 0;
};

// The output of an encoder and its position: the words and checkpoints
// written so far, the cursor (the cycle at which the next word starts) and
// how many sender rows and receive events have been encoded completely.
struct ProgramWriter {
    Chunked<Word> words;
    Chunked<Checkpoint> checkpoints;
    std::uint32_t cursor = 0;
    std::uint64_t sender_rows = 0;
    std::uint64_t receive_events = 0;

    // Records the state after a group or message.
    void push_checkpoint(bool pair, std::uint32_t limit);
};

// ---------------------------------------------------------------------------
// Delays and timed controls.

// Advances the cursor by `cycles` with DELAY words of at most 0x80000 cycles
// each, the largest first; nothing for 0 cycles. The cursor must not pass
// 2^32 - 1 (a caller's error: aborts).
void append_delay_cycles(ProgramWriter& writer, std::uint32_t cycles);

// Advances the cursor to `target` with DELAY words; "plan delay order" when
// the cursor is already beyond it.
tl::expected<void, ExchangeError> pad_to(ProgramWriter& writer, std::uint32_t target);

// The timed word with its delay replaced by `delay`: a DELAY word gets field
// `delay` (at most 0x7FFFF, else "delay advance overflow"), a PIC control
// keeps its value and gets a delay of at most 127 ("PIC delay advance
// overflow"), an XPIC control at most 4095 ("XPIC delay advance overflow").
// Any other word is refused: "first scheduled event is not a delay" below
// 0x70000000, "scheduled offset truncates a send" from there up.
tl::expected<Word, ExchangeError> set_word_delay(Word word, std::uint32_t delay);

// Emits a PIC or XPIC control so that it takes effect at `time`: a gap longer
// than the control's delay field can absorb (128 cycles for PIC, 4096 for
// XPIC) is first reduced to exactly that by DELAY words. The cursor becomes
// `time`. "zero event advance" when `time` is the cursor itself, "plan delay
// order" when it lies before, "receive timed event" for a word that is not a
// control.
tl::expected<void, ExchangeError> append_timed_control(ProgramWriter& writer, Word control, std::uint32_t time);

// ---------------------------------------------------------------------------
// SENDPICP.

// The two words of a SENDPICP carrying the controls of a pair of receive
// events: the pair must hold an XPIC control ("SENDPICP PIC control"
// otherwise) and a PIC control ("SENDPICP XPIC control"), both at one time
// ("SENDPICP event time"). Count 1..64; operand and send control are 0 for a
// SENDPICP outside a send.
tl::expected<SendPicPairWords, ExchangeError> sendpicp_for_events(const ReceiveEvent& first, const ReceiveEvent& second,
                                                                  std::uint32_t count, std::uint32_t operand,
                                                                  std::uint32_t send_control);

// Source operand of a SENDPICP inside a message: the message's Explicit SEND
// operand plus the items already sent. "SENDPICP source overflow" on 32-bit
// overflow, "SENDPICP operand" above 0x3FFFF.
tl::expected<std::uint32_t, ExchangeError> sendpicp_source_operand(std::uint32_t explicit_operand,
                                                                   std::uint32_t items_sent);

// ---------------------------------------------------------------------------
// Receive events record.

// Encodes receive events (in increasing time; groups of equal time are one
// control or one PIC+XPIC pair) up to cycle `until`: each single control is
// emitted to take effect at its time, each pair becomes a SENDPICP that
// starts at an even word index one cycle before the pair's time and runs
// until the next group (at most 64 cycles). A checkpoint is pushed after
// every group and the cursor is finally padded to `until`.
tl::expected<void, ExchangeError> append_receive_events_record(ProgramWriter& writer,
                                                               std::span<const ReceiveEvent> events,
                                                               std::uint32_t until);

// ---------------------------------------------------------------------------
// Sender messages.

// The state of one sender message while its payload is written.
struct SenderMessage {
    Word explicit_send = 0;  // the row's Explicit SEND (its operand and send control are used)
    std::uint32_t send_control = 0;
    std::uint32_t operand = 0;      // source operand of the first item
    std::uint32_t remaining = 0;    // items still to send
    std::uint32_t sent = 0;         // items sent so far
    bool explicit_emitted = false;  // the Explicit SEND has been written

    // The message of a sender row: its one Explicit SEND ("multiple initial
    // sends" for a second, "sender payload" for none) and its payload, the
    // Explicit count plus the counts of the row's Offset SENDs ("sender
    // payload overflow" on 32-bit overflow).
    static tl::expected<SenderMessage, ExchangeError> from_row(const RowWords& row);
};

// The Explicit SEND that starts a message: `explicit_send` with its count
// replaced; "initial send size" for a count outside 1..64.
tl::expected<Word, ExchangeError> initial_send_word(Word explicit_send, std::uint32_t count);

// Writes the next `items` items of the message as payload words: the
// Explicit SEND first (at most 64 items) when it has not been written, then
// Offset SENDs of at most 4096 items. With `alignment` (a SENDPICP follows)
// the word count is made even by splitting the last part longer than one
// item into one item and the rest. Fails with "sender payload overflow" for
// more items than remain, "unencodable initial send control" for no items
// before the Explicit SEND, "SENDPICP instruction alignment" when the word
// count cannot be made even.
tl::expected<void, ExchangeError> emit_sender_words(ProgramWriter& writer, SenderMessage& message, std::uint32_t items,
                                                    bool alignment);

// Encodes one sender row: pads to its payload start, then sends its payload,
// carrying the receive events inside the payload (`events`, in time order) on
// Pic-encoded SENDs and SENDPICPs issued one cycle before each event. The
// cursor must end at the payload end ("sender payload horizon"). Pushes no
// checkpoint.
tl::expected<void, ExchangeError> append_sender_message(ProgramWriter& writer, const ScheduledSenderRow& row,
                                                        std::span<const ReceiveEvent> events);

// ---------------------------------------------------------------------------
// Whole tile programs.

namespace encoding {

// Encodes one tile's schedule: sender rows sorted by payload start, receive
// events sorted by time, and the horizon at which the program ends. With a
// base, resumes from the last usable checkpoint of the earlier encoding
// inside the clean prefix (or starts afresh when there is none); the result
// is the same as a fresh encoding.
tl::expected<EncodedSchedule, ExchangeError> build_scheduled_program(const Chunked<ScheduledSenderRow>& sender_rows,
                                                                     const Chunked<ReceiveEvent>& receive_events,
                                                                     std::uint32_t horizon,
                                                                     std::optional<EncodingBase> base = std::nullopt);

}  // namespace encoding

// A copy of the words with every address field cleared, so that programs
// differing only in transfer addresses compare equal: Explicit SENDs keep
// only their count and send control, receive pointers (PIC pointer controls
// and Pic-encoded SENDs carrying one) lose their pointer, a SENDPICP with a
// send control loses its source operand, and a SENDPICP whose PIC control is
// a pointer (bit 27 clear) loses the pointer in its second word.
std::vector<Word> normalized_exchange_address_words(std::span<const Word> words);

}  // namespace vorn::exchange
