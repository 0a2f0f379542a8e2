#include "vorn/exchange/encoding.hpp"

#include <algorithm>
#include <limits>
#include <ostream>

#include <fmt/format.h>

namespace vorn::exchange {
namespace {

tl::unexpected<ExchangeError> fail(InvariantName name) { return tl::unexpected(ExchangeError::schedule(name)); }

constexpr std::uint32_t ceil_div(std::uint32_t value, std::uint32_t divisor) noexcept {
    return value / divisor + (value % divisor != 0 ? 1U : 0U);
}

// Writes `word_count` DELAY words covering exactly `cycles` cycles, largest
// first: each word takes as much as it can while leaving at least one cycle
// for every word still to come.
void push_delay_words(ProgramWriter& writer, std::uint32_t cycles, std::uint32_t word_count) {
    // A broken precondition of a caller inside the package: a programming error.
    detail::word_require(static_cast<std::uint64_t>(word_count) <= cycles &&
                             static_cast<std::uint64_t>(word_count) * max_delay_cycles >= cycles,
                         "assertion failed: delay words can cover the cycles");
    for (std::uint32_t left = word_count; left > 0; --left) {
        const std::uint32_t take = std::min(max_delay_cycles, cycles - (left - 1));
        writer.words.push(delay_word_for_cycles(take));
        cycles -= take;
    }
}

void advance_cursor(ProgramWriter& writer, std::uint32_t cycles) {
    detail::word_require(cycles <= std::numeric_limits<std::uint32_t>::max() - writer.cursor,
                         "assertion failed: encoder cursor stays below 2^32");
    writer.cursor += cycles;
}

// End (exclusive) of the group of events of equal time that starts at `first`.
template <typename Events>
std::size_t group_end(const Events& events, std::size_t first, std::size_t end) {
    std::size_t next = first + 1;
    while (next < end && events[next].time == events[first].time) {
        ++next;
    }
    return next;
}

template <typename Events>
tl::expected<void, ExchangeError> check_event_groups(const Events& events, std::size_t first, std::size_t end) {
    for (std::size_t group = first; group < end;) {
        const std::size_t next = group_end(events, group, end);
        if (next - group > 2 || (next - group == 2 && !forms_sendpicp_pair(events[group].kind, events[group + 1].kind))) {
            return fail(invariant::incompatible_simultaneous_receive_controls);
        }
        group = next;
    }
    return {};
}

template <typename Events>
tl::expected<void, ExchangeError> encode_receive_events(ProgramWriter& writer, const Events& events, std::size_t first,
                                                        std::size_t end, std::uint32_t until) {
    for (std::size_t group = first; group < end;) {
        const std::size_t next = group_end(events, group, end);
        const std::uint32_t time = events[group].time;
        // The last cycle this group may use before the next one takes over.
        const std::int64_t limit = next < end ? static_cast<std::int64_t>(events[next].time) - 1 : until;
        bool pair = false;
        if (next - group == 1) {
            const ReceiveEvent& event = events[group];
            if (time < writer.cursor) {
                return fail(invariant::receive_event_order);
            }
            if (time == writer.cursor) {
                return fail(invariant::receive_control_issue_interval);
            }
            if (!is_control(classify_word(event.word))) {
                return fail(invariant::receive_timed_event);
            }
            if (auto placed = append_timed_control(writer, event.word, time); !placed) {
                return placed;
            }
        } else if (next - group == 2) {
            pair = true;
            // The SENDPICP starts one cycle before its controls take effect.
            if (time == 0) {
                return fail(invariant::receive_control_at_phase_entry);
            }
            if (time - 1 < writer.cursor) {
                return fail(invariant::plan_delay_order);
            }
            const std::uint32_t wait = time - 1 - writer.cursor;
            std::uint32_t delay_words = ceil_div(wait, max_delay_cycles);
            if ((writer.words.len() + delay_words) % 2 != 0) {
                ++delay_words;  // one word more puts the SENDPICP at an even index
            }
            if (wait < delay_words) {
                return fail(invariant::sendpicp_instruction_alignment);
            }
            push_delay_words(writer, wait, delay_words);
            advance_cursor(writer, wait);
            if (limit < writer.cursor) {
                return fail(invariant::receive_control_order);
            }
            if (limit == writer.cursor) {
                return fail(invariant::empty_sendpicp_interval);
            }
            const auto count =
                static_cast<std::uint32_t>(std::min<std::int64_t>(limit - writer.cursor, max_send_count));
            auto words = sendpicp_for_events(events[group], events[group + 1], count, 0, 0);
            if (!words) {
                return tl::unexpected(words.error());
            }
            writer.words.extend_two_words(words->first, words->second);
            advance_cursor(writer, count);
        } else {
            return fail(invariant::incompatible_simultaneous_receive_controls);
        }
        writer.receive_events += next - group;
        writer.push_checkpoint(pair, static_cast<std::uint32_t>(std::max<std::int64_t>(limit, 0)));
        group = next;
    }
    return pad_to(writer, until);
}

template <typename Events>
tl::expected<void, ExchangeError> encode_sender_message(ProgramWriter& writer, const ScheduledSenderRow& row,
                                                        const Events& events, std::size_t first, std::size_t end) {
    if (auto padded = pad_to(writer, row.payload_start); !padded) {
        return padded;
    }
    auto parsed = SenderMessage::from_row(row.words);
    if (!parsed) {
        return tl::unexpected(parsed.error());
    }
    SenderMessage& message = *parsed;
    for (std::size_t group = first; group < end;) {
        const std::size_t next = group_end(events, group, end);
        if (next - group > 2) {
            return fail(invariant::incompatible_simultaneous_receive_controls);
        }
        const bool pair = next - group == 2;
        const std::int64_t time = events[group].time;
        const std::int64_t cursor = writer.cursor;
        if (time == 0) {
            return fail(invariant::send_control_at_phase_entry);
        }
        if (time - 1 < cursor) {
            return fail(invariant::send_control_order);
        }
        if (time - cursor - 1 >= message.remaining) {
            return fail(invariant::send_control_beyond_payload);
        }
        // The payload before the cycle on which the control is issued.
        if (auto sent = emit_sender_words(writer, message, static_cast<std::uint32_t>(time - cursor - 1), pair);
            !sent) {
            return sent;
        }
        // The part carrying the control runs until the next group (or the
        // payload end); before a pair it leaves one item when that lets the
        // pair's SENDPICP start at an even word index.
        std::int64_t bound = row.payload_end;
        bool next_is_pair = false;
        if (next < end) {
            bound = static_cast<std::int64_t>(events[next].time) - 1;
            next_is_pair = group_end(events, next, end) - next == 2;
        }
        std::int64_t span = bound - static_cast<std::int64_t>(writer.cursor);
        if (span < 0) {
            return fail(invariant::send_control_order);
        }
        if (next_is_pair && span >= 2 && (writer.words.len() + (pair ? 2 : 1)) % 2 != 0) {
            span -= 1;
        }
        const std::int64_t usable = std::min<std::int64_t>(span, message.remaining);
        if (usable == 0) {
            return fail(invariant::empty_receive_control_continuation);
        }
        const auto count = static_cast<std::uint32_t>(std::min<std::int64_t>(usable, max_send_count));
        if (!pair) {
            const Word control = events[group].word;
            if (!is_control(classify_word(control))) {
                return fail(invariant::receive_timed_event);
            }
            writer.words.push(send_pic_with_control(count, control));
        } else {
            auto operand = sendpicp_source_operand(message.operand, message.sent);
            if (!operand) {
                return tl::unexpected(operand.error());
            }
            auto words = sendpicp_for_events(events[group], events[group + 1], count, *operand, message.send_control);
            if (!words) {
                return tl::unexpected(words.error());
            }
            writer.words.extend_two_words(words->first, words->second);
        }
        advance_cursor(writer, count);
        message.remaining -= count;
        message.sent += count;
        writer.receive_events += next - group;
        group = next;
    }
    if (auto rest = emit_sender_words(writer, message, message.remaining, false); !rest) {
        return rest;
    }
    if (writer.cursor != row.payload_end) {
        return fail(invariant::sender_payload_horizon);
    }
    return {};
}

// The last checkpoint of `previous` from which encoding the current schedule
// gives the same words as a fresh encoding, or nothing.
std::optional<std::size_t> resume_checkpoint(const EncodingBase& base, const Chunked<ScheduledSenderRow>& rows,
                                             const Chunked<ReceiveEvent>& events, std::uint32_t horizon) {
    const Chunked<Checkpoint>& checkpoints = base.previous->checkpoints;
    const std::size_t clean_rows = std::min(base.clean_sender_rows, rows.len());
    const std::size_t clean_events = std::min(base.clean_receive_events, events.len());
    // Checkpoint counts never decrease, so the ones inside the clean prefix
    // are a prefix of the checkpoints.
    const auto inside = std::partition_point(checkpoints.begin(), checkpoints.end(), [&](const Checkpoint& cp) {
        return cp.sender_rows <= clean_rows && cp.receive_events <= clean_events;
    });
    for (std::size_t index = inside.index(); index-- > 0;) {
        const Checkpoint& cp = checkpoints[index];
        // What the encoder would do next from this state.
        const std::uint32_t next_start = cp.sender_rows < rows.len() ? rows[cp.sender_rows].payload_start : horizon;
        const ReceiveEvent* next_event = events.get(cp.receive_events);
        if (next_start < cp.time) {
            continue;
        }
        if (next_event != nullptr && next_event->time <= cp.time) {
            continue;  // the next event would have joined an encoded group
        }
        if (cp.receive_events > 0 && events[cp.receive_events - 1].time >= next_start) {
            continue;  // the last encoded event would now belong to the next message
        }
        if (cp.pair) {
            // The SENDPICP's length was bounded by what followed it.
            std::uint32_t limit = next_start;
            if (next_event != nullptr && static_cast<std::int64_t>(next_event->time) - 1 < limit) {
                limit = next_event->time - 1;
            }
            if (cp.limit != limit) {
                continue;
            }
        }
        return index;
    }
    return std::nullopt;
}

}  // namespace

std::ostream& operator<<(std::ostream& out, const Checkpoint& checkpoint) {
    return out << fmt::format(
               "Checkpoint {{ pair: {}, limit: {}, sender_rows: {}, receive_events: {}, words: {}, time: {} }}",
               checkpoint.pair, checkpoint.limit, checkpoint.sender_rows, checkpoint.receive_events, checkpoint.words,
               checkpoint.time);
}

void ProgramWriter::push_checkpoint(bool pair, std::uint32_t limit) {
    checkpoints.push(Checkpoint{pair, limit, sender_rows, receive_events, words.len(), cursor});
}

void append_delay_cycles(ProgramWriter& writer, std::uint32_t cycles) {
    advance_cursor(writer, cycles);
    push_delay_words(writer, cycles, ceil_div(cycles, max_delay_cycles));
}

tl::expected<void, ExchangeError> pad_to(ProgramWriter& writer, std::uint32_t target) {
    if (target < writer.cursor) {
        return fail(invariant::plan_delay_order);
    }
    append_delay_cycles(writer, target - writer.cursor);
    return {};
}

tl::expected<Word, ExchangeError> set_word_delay(Word word, std::uint32_t delay) {
    switch (classify_word(word)) {
        case WordKind::Delay:
            if (delay > max_delay_field) {
                return fail(invariant::delay_advance_overflow);
            }
            return delay_word(delay);
        case WordKind::PicControl:
            if (delay > max_pic_delay) {
                return fail(invariant::pic_delay_advance_overflow);
            }
            return pic_with_delay(word, delay);
        case WordKind::XpicControl:
            if (delay > max_xpic_delay) {
                return fail(invariant::xpic_delay_advance_overflow);
            }
            return xpic_with_delay(word, delay);
        default:
            return fail(word < 0x70000000U ? invariant::first_scheduled_event_is_not_a_delay
                                           : invariant::scheduled_offset_truncates_a_send);
    }
}

tl::expected<void, ExchangeError> append_timed_control(ProgramWriter& writer, Word control, std::uint32_t time) {
    const WordKind kind = classify_word(control);
    if (!is_control(kind)) {
        return fail(invariant::receive_timed_event);
    }
    if (time < writer.cursor) {
        return fail(invariant::plan_delay_order);
    }
    if (time == writer.cursor) {
        return fail(invariant::zero_event_advance);
    }
    // The delay field absorbs up to its capacity; DELAY words cover the rest.
    const std::uint32_t capacity = (kind == WordKind::PicControl ? max_pic_delay : max_xpic_delay) + 1;
    if (time - writer.cursor > capacity) {
        append_delay_cycles(writer, time - writer.cursor - capacity);
    }
    auto word = set_word_delay(control, time - writer.cursor - 1);
    if (!word) {
        return tl::unexpected(word.error());
    }
    writer.words.push(*word);
    writer.cursor = time;
    return {};
}

tl::expected<SendPicPairWords, ExchangeError> sendpicp_for_events(const ReceiveEvent& first, const ReceiveEvent& second,
                                                                  std::uint32_t count, std::uint32_t operand,
                                                                  std::uint32_t send_control) {
    const WordKind first_kind = classify_word(first.word);
    const WordKind second_kind = classify_word(second.word);
    const ReceiveEvent* xpic = first_kind == WordKind::XpicControl    ? &first
                               : second_kind == WordKind::XpicControl ? &second
                                                                      : nullptr;
    const ReceiveEvent* pic = first_kind == WordKind::PicControl    ? &first
                              : second_kind == WordKind::PicControl ? &second
                                                                    : nullptr;
    // The names follow the encoder's historical pairing: the search for the
    // XPIC half reports "SENDPICP PIC control" and vice versa.
    if (xpic == nullptr) {
        return fail(invariant::sendpicp_pic_control);
    }
    if (pic == nullptr) {
        return fail(invariant::sendpicp_xpic_control);
    }
    if (first.time != second.time) {
        return fail(invariant::sendpicp_event_time);
    }
    return sendpicp_words(count, operand, send_control, xpic_value(xpic->word), pic_value(pic->word));
}

tl::expected<std::uint32_t, ExchangeError> sendpicp_source_operand(std::uint32_t explicit_operand,
                                                                   std::uint32_t items_sent) {
    if (items_sent > std::numeric_limits<std::uint32_t>::max() - explicit_operand) {
        return fail(invariant::sendpicp_source_overflow);
    }
    const std::uint32_t operand = explicit_operand + items_sent;
    if (operand > max_source_operand) {
        return fail(invariant::sendpicp_operand);
    }
    return operand;
}

tl::expected<void, ExchangeError> append_receive_events_record(ProgramWriter& writer,
                                                               std::span<const ReceiveEvent> events,
                                                               std::uint32_t until) {
    return encode_receive_events(writer, events, 0, events.size(), until);
}

tl::expected<SenderMessage, ExchangeError> SenderMessage::from_row(const RowWords& row) {
    std::optional<Word> explicit_send;
    std::uint32_t payload = 0;
    for (std::size_t index = 0; index < row.size();) {
        const WordKind kind = classify_word(row[index]);
        if (kind == WordKind::SendExplicit || kind == WordKind::SendOffset) {
            if (kind == WordKind::SendExplicit) {
                if (explicit_send) {
                    return fail(invariant::multiple_initial_sends);
                }
                explicit_send = row[index];
            }
            const std::uint32_t items = send_items(kind, row[index]);
            if (items > std::numeric_limits<std::uint32_t>::max() - payload) {
                return fail(invariant::sender_payload_overflow);
            }
            payload += items;
        }
        index += instruction_word_count(kind);
    }
    if (!explicit_send) {
        return fail(invariant::sender_payload);
    }
    SenderMessage message;
    message.explicit_send = *explicit_send;
    message.send_control = send_control_field(*explicit_send);
    message.operand = send_source_operand(*explicit_send);
    message.remaining = payload;
    return message;
}

tl::expected<Word, ExchangeError> initial_send_word(Word explicit_send, std::uint32_t count) {
    if (count < 1 || count > max_send_count) {
        return fail(invariant::initial_send_size);
    }
    return explicit_send_with_count(explicit_send, count);
}

tl::expected<void, ExchangeError> emit_sender_words(ProgramWriter& writer, SenderMessage& message, std::uint32_t items,
                                                    bool alignment) {
    if (items > message.remaining) {
        return fail(invariant::sender_payload_overflow);
    }
    if (items == 0) {
        if (!message.explicit_emitted) {
            return fail(invariant::unencodable_initial_send_control);
        }
        if (alignment && writer.words.len() % 2 != 0) {
            return fail(invariant::sendpicp_instruction_alignment);
        }
        return {};
    }
    if (items > std::numeric_limits<std::uint32_t>::max() - writer.cursor) {
        return fail(invariant::sender_payload_horizon);
    }
    // The parts: the Explicit SEND (when not yet written), then Offset SENDs
    // of max_offset_send_count items, the last one taking the remainder.
    const std::uint32_t explicit_items = message.explicit_emitted ? 0 : std::min(items, max_send_count);
    const std::uint32_t offset_items = items - explicit_items;
    const std::uint32_t offset_parts = ceil_div(offset_items, max_offset_send_count);
    const std::uint32_t last_offset =
        offset_items - (offset_parts > 0 ? (offset_parts - 1) * max_offset_send_count : 0);
    const std::size_t parts = (explicit_items > 0 ? 1 : 0) + offset_parts;

    // With alignment and an odd word count, the last part longer than one
    // item becomes one item followed by the rest.
    constexpr std::uint32_t no_split = std::numeric_limits<std::uint32_t>::max();
    constexpr std::uint32_t split_explicit = no_split - 1;
    std::uint32_t split = no_split;  // offset part index, split_explicit or no_split
    if (alignment && (writer.words.len() + parts) % 2 != 0) {
        if (offset_parts > 0 && last_offset > 1) {
            split = offset_parts - 1;
        } else if (offset_parts >= 2) {
            split = offset_parts - 2;
        } else if (explicit_items > 1) {
            split = split_explicit;
        } else {
            return fail(invariant::sendpicp_instruction_alignment);
        }
    }

    if (explicit_items > 0) {
        if (split == split_explicit) {
            auto first = initial_send_word(message.explicit_send, 1);
            if (!first) {
                return tl::unexpected(first.error());
            }
            writer.words.push(*first);
            writer.words.push(offset_send_word(explicit_items - 1, message.send_control));
        } else {
            auto first = initial_send_word(message.explicit_send, explicit_items);
            if (!first) {
                return tl::unexpected(first.error());
            }
            writer.words.push(*first);
        }
    }
    for (std::uint32_t part = 0; part < offset_parts; ++part) {
        const std::uint32_t size = part + 1 == offset_parts ? last_offset : max_offset_send_count;
        if (part == split) {
            writer.words.push(offset_send_word(1, message.send_control));
            writer.words.push(offset_send_word(size - 1, message.send_control));
        } else {
            writer.words.push(offset_send_word(size, message.send_control));
        }
    }
    writer.cursor += items;
    message.remaining -= items;
    message.sent += items;
    message.explicit_emitted = true;
    return {};
}

tl::expected<void, ExchangeError> append_sender_message(ProgramWriter& writer, const ScheduledSenderRow& row,
                                                        std::span<const ReceiveEvent> events) {
    return encode_sender_message(writer, row, events, 0, events.size());
}

namespace encoding {

tl::expected<EncodedSchedule, ExchangeError> build_scheduled_program(const Chunked<ScheduledSenderRow>& sender_rows,
                                                                     const Chunked<ReceiveEvent>& receive_events,
                                                                     std::uint32_t horizon,
                                                                     std::optional<EncodingBase> base) {
    const std::size_t row_count = sender_rows.len();
    const std::size_t event_count = receive_events.len();
    const bool incremental = base && base->previous != nullptr;

    // Simultaneous controls must form SENDPICP pairs. The groups inside the
    // clean prefix passed this check when the base was encoded; the first
    // changed event is checked with the whole group it belongs to.
    std::size_t checked_from = 0;
    if (incremental) {
        checked_from = std::min(base->clean_receive_events, event_count);
        while (checked_from > 0 && checked_from < event_count &&
               receive_events[checked_from - 1].time == receive_events[checked_from].time) {
            --checked_from;
        }
    }
    if (auto groups = check_event_groups(receive_events, checked_from, event_count); !groups) {
        return tl::unexpected(groups.error());
    }

    ProgramWriter writer;
    if (incremental) {
        if (const auto index = resume_checkpoint(*base, sender_rows, receive_events, horizon)) {
            const Checkpoint cp = base->previous->checkpoints[*index];
            writer.words = base->previous->words;
            writer.words.truncate(cp.words);
            writer.checkpoints = base->previous->checkpoints;
            writer.checkpoints.truncate(*index + 1);
            writer.cursor = cp.time;
            writer.sender_rows = cp.sender_rows;
            writer.receive_events = cp.receive_events;
        }
    }

    for (std::size_t row_index = writer.sender_rows; row_index < row_count; ++row_index) {
        const ScheduledSenderRow& row = sender_rows[row_index];
        std::size_t before_payload = writer.receive_events;
        while (before_payload < event_count && receive_events[before_payload].time <= row.payload_start) {
            ++before_payload;
        }
        if (auto record =
                encode_receive_events(writer, receive_events, writer.receive_events, before_payload, row.payload_start);
            !record) {
            return tl::unexpected(record.error());
        }
        std::size_t in_payload = before_payload;
        while (in_payload < event_count && receive_events[in_payload].time <= row.payload_end) {
            ++in_payload;
        }
        if (auto message = encode_sender_message(writer, row, receive_events, before_payload, in_payload); !message) {
            return tl::unexpected(message.error());
        }
        writer.sender_rows = row_index + 1;
        writer.push_checkpoint(false, row.payload_end);
    }
    if (auto record = encode_receive_events(writer, receive_events, writer.receive_events, event_count, horizon);
        !record) {
        return tl::unexpected(record.error());
    }
    writer.words.push(return_word);
    return EncodedSchedule{std::move(writer.checkpoints), std::move(writer.words)};
}

}  // namespace encoding

std::vector<Word> normalized_exchange_address_words(std::span<const Word> words) {
    std::vector<Word> out(words.begin(), words.end());
    for (std::size_t index = 0; index < out.size();) {
        const Word word = out[index];
        const WordKind kind = classify_word(word);
        if (kind == WordKind::SendExplicit) {
            out[index] = word & 0x7FE00007U;  // count and send control only
        } else if (kind == WordKind::SendPicPair) {
            if (send_control_field(word) != 0) {
                out[index] = word & 0xFFE00007U;  // drop the source operand
            }
            if (sendpicp_pic_format_bit(word) == 0 && index + 1 < out.size()) {
                out[index + 1] &= ~pic_pointer_mask;  // drop the receive pointer
            }
        } else if ((word & 0xF81C0000U) == 0x70180000U || (word & 0xFC040000U) == 0x60000000U) {
            out[index] = word & ~pic_pointer_mask;  // a receive pointer, carried by a send or alone
        }
        index += instruction_word_count(kind);
    }
    return out;
}

}  // namespace vorn::exchange
