#include "vorn/exchange/row_timing.hpp"

#include <cstddef>
#include <limits>
#include <ostream>


namespace vorn::exchange {
namespace {

tl::unexpected<ExchangeError> fail(InvariantName name) { return tl::unexpected(ExchangeError::schedule(name)); }

constexpr std::uint32_t max_cycle = std::numeric_limits<std::uint32_t>::max();

// Index of the first RETURN among words 1..8.
std::optional<std::size_t> first_return(const RowWords& row) noexcept {
    for (std::size_t i = 1; i < row.size(); ++i) {
        if (classify_word(row[i]) == WordKind::Return) {
            return i;
        }
    }
    return std::nullopt;
}

// Adds `cycles` to the cursor; false when that would pass 2^32 - 1.
bool advance(std::uint32_t& cursor, std::uint32_t cycles) noexcept {
    if (cycles > max_cycle - cursor) {
        return false;
    }
    cursor += cycles;
    return true;
}

bool is_payload_send(WordKind kind) noexcept { return kind == WordKind::SendExplicit || kind == WordKind::SendOffset; }

// The sends whose send control set_sender_control rewrites: a SENDPICP that
// only sets controls (send control 0) stays as it is.
bool carries_send_control(WordKind kind, Word word) noexcept {
    return is_payload_send(kind) || (kind == WordKind::SendPicPair && (word & send_control_direction_mask) != 0);
}

// Records one time for a role of the row; false for a second one.
bool record_once(std::optional<std::uint32_t>& slot, std::uint32_t time) noexcept {
    if (slot) {
        return false;
    }
    slot = time;
    return true;
}

void write_optional(std::ostream& out, const char* name, const std::optional<std::uint32_t>& value) {
    out << ", " << name << ": ";
    if (value) {
        out << "Some(" << *value << ")";
    } else {
        out << "None";
    }
}

}  // namespace

tl::expected<SenderRowTiming, ExchangeError> sender_row_timing(const RowWords& row, std::uint32_t base) {
    if (row[0] != sync_entry) {
        return fail(invariant::sender_row_entry);
    }
    const auto end = first_return(row);
    if (!end) {
        return fail(invariant::sender_row_return);
    }
    std::uint32_t cursor = base;
    std::optional<std::uint32_t> payload_start;
    std::uint32_t payload_end = 0;
    for (std::size_t i = 1; i < *end;) {
        const WordKind kind = classify_word(row[i]);
        const std::uint32_t before = cursor;
        if (!advance(cursor, word_cycles(kind, row[i]))) {
            return fail(invariant::sender_event_horizon_overflow);
        }
        if (is_payload_send(kind)) {
            if (!payload_start) {
                payload_start = before;
            }
            payload_end = cursor;
        }
        i += instruction_word_count(kind);
    }
    if (!payload_start) {
        return fail(invariant::sender_payload);
    }
    return SenderRowTiming{*payload_start, payload_end, cursor};
}

tl::expected<ReceiveRowTiming, ExchangeError> receive_row_timing(const RowWords& row, std::uint32_t base) {
    if (row[0] != sync_entry) {
        return fail(invariant::receive_row_entry);
    }
    // A row whose word 1 is RETURN has no events; otherwise the RETURN is
    // searched from word 2 on, which finds the same word.
    const auto end = first_return(row);
    if (!end) {
        return fail(invariant::receive_row_return);
    }

    ReceiveRowTiming timing;
    std::uint32_t cursor = base;
    for (std::size_t i = 1; i < *end;) {
        const Word word = row[i];
        const WordKind kind = classify_word(word);
        if (kind == WordKind::SendPicPair) {
            // Both controls of the pair take effect one cycle after the word
            // starts; the XPIC control is listed first.
            const Word second = row[i + 1];
            if (cursor == max_cycle) {
                return fail(invariant::receive_event_horizon_overflow);
            }
            const std::uint32_t xpic = sendpicp_xpic_value(second);
            const std::uint32_t pic = sendpicp_pic_value(word, second);
            timing.events.push_back({cursor + 1, xpic_word(xpic), xpic_event_kind(xpic)});
            timing.events.push_back({cursor + 1, pic_word(pic), pic_event_kind(pic)});
            if (!advance(cursor, send_count(word))) {
                return fail(invariant::receive_event_horizon_overflow);
            }
            i += 2;
            continue;
        }
        if (!advance(cursor, word_cycles(kind, word))) {
            return fail(invariant::receive_event_horizon_overflow);
        }
        if (kind == WordKind::XpicControl) {
            timing.events.push_back({cursor, word, xpic_event_kind(xpic_value(word))});
        } else if (kind == WordKind::PicControl) {
            timing.events.push_back({cursor, word, pic_event_kind(pic_value(word))});
        }
        i += 1;
    }

    for (const ReceiveEvent& event : timing.events) {
        switch (event.kind) {
            case ReceiveEventKind::XpicSource:
            case ReceiveEventKind::PairedXpicSource:
                if (!record_once(timing.source, event.time)) {
                    return fail(invariant::multiple_receive_sources);
                }
                break;
            case ReceiveEventKind::XpicTeardown:
            case ReceiveEventKind::PairedXpicTeardown:
                if (!record_once(timing.teardown, event.time)) {
                    return fail(invariant::multiple_receive_teardowns);
                }
                break;
            case ReceiveEventKind::PairedPicPointer:
            case ReceiveEventKind::PicPointer:
                if (!record_once(timing.pointer, event.time)) {
                    return fail(invariant::multiple_receive_pointers);
                }
                timing.pointer_address = (event.word & pic_pointer_mask) * 4;
                break;
            case ReceiveEventKind::PicFormat: {
                const std::uint32_t format = event.word & pic_pointer_mask;
                if (format == 1 || format == 2) {
                    if (!record_once(timing.format_start, event.time)) {
                        return fail(invariant::multiple_paired_format_starts);
                    }
                } else if (format == 0) {
                    if (!record_once(timing.format_end, event.time)) {
                        return fail(invariant::multiple_paired_format_ends);
                    }
                } else {
                    return fail(invariant::paired_receive_format_value);
                }
                break;
            }
        }
    }

    if (timing.format_start) {
        if (!timing.format_end) {
            return fail(invariant::incomplete_paired_receive_format);
        }
        timing.paired = true;
        for (ReceiveEvent& event : timing.events) {
            if (event.kind == ReceiveEventKind::PicPointer) {
                event.kind = ReceiveEventKind::PairedPicPointer;
            }
        }
    } else {
        for (const ReceiveEvent& event : timing.events) {
            if (event.kind == ReceiveEventKind::PairedXpicSource ||
                event.kind == ReceiveEventKind::PairedXpicTeardown) {
                return fail(invariant::incomplete_paired_receive_format);
            }
        }
        if (!timing.source || !timing.teardown) {
            return fail(invariant::incomplete_ordinary_receive_mux);
        }
    }
    timing.horizon = cursor;
    return timing;
}

tl::expected<MulticastPlan, ExchangeError> MulticastPlan::prepare(const MulticastExchange& exchange) {
    const auto sender = sender_row_timing(exchange.sender_row, 0);
    if (!sender) {
        return tl::unexpected(sender.error());
    }
    std::vector<ReceiveRowTiming> receivers;
    receivers.reserve(exchange.receiver_rows.size());
    for (const RowWords& row : exchange.receiver_rows) {
        auto timing = receive_row_timing(row, 0);
        if (!timing) {
            return tl::unexpected(timing.error());
        }
        receivers.push_back(std::move(*timing));
    }
    return MulticastPlan{std::move(receivers), exchange, *sender};
}

tl::expected<void, ExchangeError> set_sender_control(RowWords& row, std::uint8_t control) {
    if (control < 1 || control > max_send_control) {
        return fail(invariant::send_control);
    }
    bool written = false;
    for (std::size_t i = 0; i < row.size();) {
        const WordKind kind = classify_word(row[i]);
        if (carries_send_control(kind, row[i])) {
            row[i] = (row[i] & ~Word{max_send_control}) | control;
            written = true;
        }
        i += instruction_word_count(kind);
    }
    if (!written) {
        return fail(invariant::sender_payload);
    }
    return {};
}

tl::expected<void, ExchangeError> patch_sender_address(RowWords& row, std::uint32_t address) {
    for (std::size_t i = 0; i < row.size();) {
        const WordKind kind = classify_word(row[i]);
        if (kind == WordKind::SendExplicit) {
            const std::uint32_t unit = (send_control_field(row[i]) & send_control_paired64) != 0 ? 8 : 4;
            if (address % unit != 0 || address / unit > max_source_operand) {
                return tl::unexpected(ExchangeError::address(address));
            }
            row[i] = (row[i] & 0xFFE00007U) | ((address / unit) << 3);
            return {};
        }
        i += instruction_word_count(kind);
    }
    return tl::unexpected(ExchangeError::address(address));
}

tl::expected<RowWords, ExchangeError> finalize_point_receiver(const PointReceiverRow& receiver, std::uint16_t value) {
    if (receiver.patch_index >= receiver.words.size() || value > xpic_source_mask) {
        return fail(invariant::point_receiver_patch_index);
    }
    RowWords row{};
    for (std::size_t i = 0; i < receiver.words.size(); ++i) {
        row[i] = receiver.words[i];
    }
    Word& patched = row[receiver.patch_index];
    patched = (patched & ~Word{xpic_source_mask}) | value;
    return row;
}

std::ostream& operator<<(std::ostream& out, const SenderRowTiming& timing) {
    return out << "SenderRowTiming { payload_start: " << timing.payload_start
               << ", payload_end: " << timing.payload_end << ", horizon: " << timing.horizon << " }";
}

std::ostream& operator<<(std::ostream& out, const ReceiveRowTiming& timing) {
    out << "ReceiveRowTiming { events: [";
    for (std::size_t i = 0; i < timing.events.size(); ++i) {
        out << (i == 0 ? "" : ", ") << timing.events[i];
    }
    out << "]";
    write_optional(out, "source", timing.source);
    write_optional(out, "teardown", timing.teardown);
    write_optional(out, "format_start", timing.format_start);
    write_optional(out, "format_end", timing.format_end);
    write_optional(out, "pointer", timing.pointer);
    write_optional(out, "pointer_address", timing.pointer_address);
    return out << ", horizon: " << timing.horizon << ", paired: " << (timing.paired ? "true" : "false") << " }";
}

}  // namespace vorn::exchange
