#include "vorn/exchange/diagnostic.hpp"

#include <algorithm>
#include <iterator>
#include <limits>
#include <ostream>
#include <string_view>
#include <utility>

#include <fmt/format.h>

#include "vorn/runtime/logging.hpp"

namespace vorn::exchange {
namespace {

tl::unexpected<ExchangeError> fail(InvariantName name) { return tl::unexpected(ExchangeError::schedule(name)); }

std::string_view stream_name(IncomingControlStream stream) noexcept {
    return stream == IncomingControlStream::Xpic ? "Xpic" : "Pic";
}

std::string_view encoding_name(SendEncoding encoding) noexcept {
    switch (encoding) {
        case SendEncoding::Explicit:
            return "Explicit";
        case SendEncoding::Offset:
            return "Offset";
        case SendEncoding::Pic:
            return "Pic";
        case SendEncoding::PicPair:
            return "PicPair";
    }
    return "SendEncoding(?)";
}

template <typename Out>
void format_control(Out out, const IncomingControl& control) {
    fmt::format_to(out, "IncomingControl {{ stream: {}, value: {} }}", stream_name(control.stream), control.value);
}

template <typename Out>
void format_operation(Out out, const PlanOperation& operation) {
    std::visit(
        [&](const auto& op) {
            using Op = std::decay_t<decltype(op)>;
            if constexpr (std::is_same_v<Op, PlanOperation::Delay>) {
                fmt::format_to(out, "Delay");
            } else if constexpr (std::is_same_v<Op, PlanOperation::IncomingControl>) {
                fmt::format_to(out, "IncomingControl(");
                format_control(out, op.control);
                fmt::format_to(out, ")");
            } else if constexpr (std::is_same_v<Op, PlanOperation::Send>) {
                fmt::format_to(out, "Send {{ encoding: {}, words: {}, raw_operand: {}, send_control: ",
                               encoding_name(op.encoding), op.words, op.raw_operand);
                if (op.send_control) {
                    fmt::format_to(out, "Some({})", *op.send_control);
                } else {
                    fmt::format_to(out, "None");
                }
                fmt::format_to(out, ", controls: [");
                for (std::size_t i = 0; i < op.controls.size(); ++i) {
                    if (i > 0) {
                        fmt::format_to(out, ", ");
                    }
                    format_control(out, op.controls[i]);
                }
                fmt::format_to(out, "] }}");
            } else if constexpr (std::is_same_v<Op, PlanOperation::Sync>) {
                fmt::format_to(out, "Sync({})", op.operand);
            } else if constexpr (std::is_same_v<Op, PlanOperation::Return>) {
                fmt::format_to(out, "Return");
            } else {
                fmt::format_to(out, "Unknown({})", op.word);
            }
        },
        operation.value);
}

IncomingControl xpic_control(std::uint32_t value) { return IncomingControl{IncomingControlStream::Xpic, value}; }
IncomingControl pic_control(std::uint32_t value) { return IncomingControl{IncomingControlStream::Pic, value}; }

// The operation a word (and, for a SENDPICP, the word after it) encodes.
PlanOperation decode_operation(WordKind kind, Word word, Word second) {
    switch (kind) {
        case WordKind::Return:
            return PlanOperation{PlanOperation::Return{}};
        case WordKind::Delay:
            return PlanOperation{PlanOperation::Delay{}};
        case WordKind::XpicControl:
            return PlanOperation{PlanOperation::IncomingControl{xpic_control(xpic_value(word))}};
        case WordKind::PicControl:
            return PlanOperation{PlanOperation::IncomingControl{pic_control(pic_value(word))}};
        case WordKind::SendPicPair:
            return PlanOperation{PlanOperation::Send{
                SendEncoding::PicPair,
                send_count(word),
                send_source_operand(word),
                static_cast<std::uint8_t>(send_control_field(word)),
                {xpic_control(sendpicp_xpic_value(second)), pic_control(sendpicp_pic_value(word, second))}}};
        case WordKind::SendPic: {
            const IncomingControl carried = send_pic_carries_pic(word) ? pic_control(send_pic_control_value(word))
                                                                       : xpic_control(send_pic_control_value(word));
            return PlanOperation{PlanOperation::Send{
                SendEncoding::Pic, send_count(word), send_pic_raw_operand(word), std::nullopt, {carried}}};
        }
        case WordKind::SendExplicit:
            return PlanOperation{PlanOperation::Send{SendEncoding::Explicit,
                                                     send_count(word),
                                                     send_source_operand(word),
                                                     static_cast<std::uint8_t>(send_control_field(word)),
                                                     {}}};
        case WordKind::SendOffset:
            return PlanOperation{PlanOperation::Send{SendEncoding::Offset,
                                                     offset_send_count(word),
                                                     offset_send_operand(word),
                                                     static_cast<std::uint8_t>(send_control_field(word)),
                                                     {}}};
        case WordKind::Sync:
            return PlanOperation{PlanOperation::Sync{static_cast<std::uint8_t>(sync_operand(word))}};
        case WordKind::Unknown:
            break;
    }
    return PlanOperation{PlanOperation::Unknown{word}};
}

std::string entry_at(std::span<const TimedIncomingControl> list, std::size_t index) {
    if (index >= list.size()) {
        return "None";
    }
    return fmt::format("Some({})", debug_string(list[index]));
}

// Entries start..end of the list, cut to its length; None when the list
// ends before the window starts.
std::string window_of(std::span<const TimedIncomingControl> list, std::size_t start, std::size_t end) {
    if (list.size() < start) {
        return "None";
    }
    std::string text = "Some([";
    for (std::size_t i = start; i < std::min(end, list.size()); ++i) {
        if (i > start) {
            text += ", ";
        }
        text += debug_string(list[i]);
    }
    text += "])";
    return text;
}

std::size_t first_difference(std::span<const TimedIncomingControl> actual,
                             std::span<const TimedIncomingControl> expected) {
    const std::size_t shorter = std::min(actual.size(), expected.size());
    return static_cast<std::size_t>(
        std::mismatch(actual.begin(), actual.begin() + static_cast<std::ptrdiff_t>(shorter), expected.begin()).first -
        actual.begin());
}

std::size_t window_start(std::size_t first_mismatch) { return first_mismatch >= 3 ? first_mismatch - 3 : 0; }
std::size_t window_end(std::size_t first_mismatch, std::size_t actual_len, std::size_t expected_len) {
    return std::min(std::max(actual_len, expected_len), first_mismatch + 4);
}

::vorn::runtime::Field debug_field(std::string_view name, std::string text) {
    return ::vorn::runtime::Field{name, ::vorn::runtime::FieldValue(std::in_place_type<::vorn::runtime::DebugText>,
                                                                    ::vorn::runtime::DebugText{std::move(text)})};
}

struct OutgoingInterval {
    std::uint32_t start;
    std::uint32_t end;
};

template <typename Rows, typename Events>
tl::expected<PlanProgramDiagnostic, ExchangeError> validate(std::uint16_t tile, const Rows& sender_rows,
                                                            const Events& receive_events, std::uint32_t horizon,
                                                            std::span<const Word> words) {
    auto decoded = diagnose_plan_program(words);
    if (!decoded) {
        return decoded;
    }
    const PlanProgramDiagnostic& program = *decoded;
    if (program.horizon != horizon) {
        return fail(invariant::encoded_tile_horizon_mismatch);
    }
    for (const DecodedPlanInstruction& instruction : program.instructions) {
        if (std::holds_alternative<PlanOperation::Unknown>(instruction.operation.value)) {
            return fail(invariant::unknown_encoded_exchange_instruction);
        }
    }

    // The incoming controls the program issues and the sends it makes.
    std::vector<TimedIncomingControl> actual;
    std::vector<OutgoingInterval> outgoing;
    for (const DecodedPlanInstruction& instruction : program.instructions) {
        if (const auto* control = std::get_if<PlanOperation::IncomingControl>(&instruction.operation.value)) {
            actual.push_back(TimedIncomingControl{instruction.end_cycle, control->control});
        } else if (const auto* send = std::get_if<PlanOperation::Send>(&instruction.operation.value)) {
            // A carried control takes effect on the cycle after the send starts.
            for (const IncomingControl& carried : send->controls) {
                actual.push_back(TimedIncomingControl{instruction.start_cycle + 1, carried});
            }
            if (send->send_control != std::optional<std::uint8_t>{0}) {
                outgoing.push_back(OutgoingInterval{instruction.start_cycle, instruction.end_cycle});
            }
        }
    }
    std::vector<TimedIncomingControl> expected;
    expected.reserve(receive_events.size());
    for (const ReceiveEvent& event : receive_events) {
        expected.push_back(TimedIncomingControl{
            event.time, is_xpic_kind(event.kind) ? xpic_control(control_value(event)) : pic_control(control_value(event))});
    }
    std::sort(actual.begin(), actual.end());
    std::sort(expected.begin(), expected.end());
    if (const auto mismatch = find_incoming_control_mismatch(actual, expected)) {
        VORN_EVENT(::vorn::runtime::Level::Debug, "vorn_exchange::diagnostic",
                   "encoded incoming controls differ from the phase schedule", VORN_FIELD(tile, tile),
                   VORN_FIELD(first_mismatch, mismatch->first_mismatch), VORN_FIELD(actual_len, mismatch->actual_len),
                   VORN_FIELD(expected_len, mismatch->expected_len), debug_field("actual", mismatch->actual),
                   debug_field("expected", mismatch->expected),
                   debug_field("actual_window", mismatch->actual_window),
                   debug_field("expected_window", mismatch->expected_window));
        return fail(invariant::encoded_incoming_control_mismatch);
    }

    // Outgoing intervals come in program order: sorted and disjoint.
    for (const ScheduledSenderRow& row : sender_rows) {
        auto first = std::partition_point(outgoing.begin(), outgoing.end(), [&](const OutgoingInterval& interval) {
            return interval.end <= row.payload_start;
        });
        if (first == outgoing.end() || first->start >= row.payload_end || first->start != row.payload_start) {
            return fail(invariant::encoded_sender_interval_mismatch);
        }
        auto last = first;
        for (auto next = std::next(first); next != outgoing.end() && next->start < row.payload_end; ++next) {
            if (next->start != last->end) {
                return fail(invariant::encoded_sender_interval_mismatch);
            }
            last = next;
        }
        if (last->end != row.payload_end) {
            return fail(invariant::encoded_sender_interval_mismatch);
        }
    }

    // Every send lies inside some row: among the rows starting at or before
    // it, the one reaching furthest must cover its end.
    std::vector<OutgoingInterval> rows;
    rows.reserve(sender_rows.size());
    for (const ScheduledSenderRow& row : sender_rows) {
        rows.push_back(OutgoingInterval{row.payload_start, row.payload_end});
    }
    std::sort(rows.begin(), rows.end(),
              [](const OutgoingInterval& a, const OutgoingInterval& b) { return a.start < b.start; });
    for (std::size_t i = 1; i < rows.size(); ++i) {
        rows[i].end = std::max(rows[i].end, rows[i - 1].end);
    }
    for (const OutgoingInterval& interval : outgoing) {
        auto after = std::partition_point(rows.begin(), rows.end(),
                                          [&](const OutgoingInterval& row) { return row.start <= interval.start; });
        if (after == rows.begin() || std::prev(after)->end < interval.end) {
            return fail(invariant::unexpected_encoded_outgoing_interval);
        }
    }
    return decoded;
}

}  // namespace

std::string debug_string(const IncomingControl& control) {
    std::string text;
    format_control(std::back_inserter(text), control);
    return text;
}

std::string debug_string(const PlanOperation& operation) {
    std::string text;
    format_operation(std::back_inserter(text), operation);
    return text;
}

std::string debug_string(const TimedIncomingControl& entry) {
    std::string text = fmt::format("({}, ", entry.cycle);
    format_control(std::back_inserter(text), entry.control);
    text += ')';
    return text;
}

std::ostream& operator<<(std::ostream& out, IncomingControlStream stream) { return out << stream_name(stream); }
std::ostream& operator<<(std::ostream& out, SendEncoding encoding) { return out << encoding_name(encoding); }
std::ostream& operator<<(std::ostream& out, const IncomingControl& control) { return out << debug_string(control); }
std::ostream& operator<<(std::ostream& out, const PlanOperation& operation) { return out << debug_string(operation); }
std::ostream& operator<<(std::ostream& out, const DecodedPlanInstruction& instruction) {
    PlanProgramDiagnostic one;
    one.instructions.push_back(instruction);
    std::string line = one.render();
    line.pop_back();
    return out << line;
}

std::string PlanProgramDiagnostic::render() const {
    fmt::memory_buffer out;
    auto it = std::back_inserter(out);
    for (const DecodedPlanInstruction& instruction : instructions) {
        if (instruction.address) {
            fmt::format_to(it, "0x{:05x}", *instruction.address);
        } else {
            fmt::format_to(it, "word+{}", instruction.word_index);
        }
        fmt::format_to(it, " cycles={}..{} ", instruction.start_cycle, instruction.end_cycle);
        format_operation(it, instruction.operation);
        out.push_back('\n');
    }
    return fmt::to_string(out);
}

tl::expected<PlanProgramDiagnostic, ExchangeError> diagnose_plan_program(std::span<const Word> words,
                                                                         std::optional<std::uint32_t> base_address) {
    constexpr std::uint64_t max_u32 = std::numeric_limits<std::uint32_t>::max();
    PlanProgramDiagnostic program;
    program.instructions.reserve(words.size());
    std::uint32_t cursor = 0;
    for (std::size_t index = 0; index < words.size();) {
        const Word word = words[index];
        const WordKind kind = classify_word(word);
        const std::size_t consumed = instruction_word_count(kind);
        if (index + consumed > words.size()) {
            return fail(invariant::truncated_sendpicp_payload);
        }
        const std::uint64_t end = static_cast<std::uint64_t>(cursor) + word_cycles(kind, word);
        if (end > max_u32) {
            return fail(invariant::diagnostic_event_horizon_overflow);
        }
        std::optional<std::uint32_t> address;
        if (base_address) {
            const std::uint64_t byte_address = *base_address + 4 * static_cast<std::uint64_t>(index);
            if (byte_address > max_u32) {
                return fail(invariant::diagnostic_row_address_overflow);
            }
            address = static_cast<std::uint32_t>(byte_address);
        }
        const Word second = consumed == 2 ? words[index + 1] : 0;
        program.instructions.push_back(DecodedPlanInstruction{decode_operation(kind, word, second), address,
                                                              static_cast<std::uint32_t>(index), cursor,
                                                              static_cast<std::uint32_t>(end)});
        cursor = static_cast<std::uint32_t>(end);
        index += consumed;
    }
    program.horizon = cursor;
    program.word_count = static_cast<std::uint32_t>(words.size());
    return program;
}

std::optional<IncomingControlMismatch> find_incoming_control_mismatch(std::span<const TimedIncomingControl> actual,
                                                                      std::span<const TimedIncomingControl> expected) {
    if (std::equal(actual.begin(), actual.end(), expected.begin(), expected.end())) {
        return std::nullopt;
    }
    IncomingControlMismatch mismatch;
    mismatch.first_mismatch = first_difference(actual, expected);
    mismatch.actual_len = actual.size();
    mismatch.expected_len = expected.size();
    mismatch.actual = entry_at(actual, mismatch.first_mismatch);
    mismatch.expected = entry_at(expected, mismatch.first_mismatch);
    const std::size_t start = window_start(mismatch.first_mismatch);
    const std::size_t end = window_end(mismatch.first_mismatch, actual.size(), expected.size());
    mismatch.actual_window = window_of(actual, start, end);
    mismatch.expected_window = window_of(expected, start, end);
    return mismatch;
}

tl::expected<PlanProgramDiagnostic, ExchangeError> validate_tile_program(std::uint16_t tile,
                                                                         const Chunked<ScheduledSenderRow>& sender_rows,
                                                                         const Chunked<ReceiveEvent>& receive_events,
                                                                         std::uint32_t horizon,
                                                                         std::span<const Word> words) {
    return validate(tile, sender_rows, receive_events, horizon, words);
}

tl::expected<PlanProgramDiagnostic, ExchangeError> validate_tile_program(
    std::uint16_t tile, std::span<const ScheduledSenderRow> sender_rows, std::span<const ReceiveEvent> receive_events,
    std::uint32_t horizon, std::span<const Word> words) {
    return validate(tile, sender_rows, receive_events, horizon, words);
}

}  // namespace vorn::exchange
