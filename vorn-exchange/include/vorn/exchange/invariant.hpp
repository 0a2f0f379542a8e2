#pragma once
// Names of the encoding invariants. An ExchangeError::schedule error carries
// one of these names to say which invariant of an exchange program was broken.
// The names are observable: they appear in error reports, and the scheduler
// recognises "SENDPICP instruction alignment" to decide on a retry. So every
// name is defined exactly once here, and code that raises or recognises one
// uses the constant; a name is never composed at run time.

#include <array>
#include <string_view>

#include <fmt/core.h>

namespace vorn::exchange {

class ExchangeError;

// A fixed invariant name. It can only be made from a compile-time constant
// (the constructor is consteval), so the referenced text always has static
// storage and an InvariantName is a safe, two-word value to carry around.
// Names are compared by their whole text.
class InvariantName {
public:
    consteval explicit InvariantName(std::string_view text) : text_(text) {}

    constexpr std::string_view text() const noexcept { return text_; }
    constexpr operator std::string_view() const noexcept { return text_; }  // NOLINT: implicit by design

    friend constexpr bool operator==(InvariantName a, InvariantName b) noexcept { return a.text_ == b.text_; }
    friend constexpr bool operator==(InvariantName a, std::string_view b) noexcept { return a.text_ == b; }

private:
    // Only ExchangeError keeps an empty name in the variants that carry none.
    friend class ExchangeError;
    constexpr InvariantName() noexcept = default;

    std::string_view text_;
};

namespace invariant {

// Topology and row assembly (timing model and transfer rows).
inline constexpr InvariantName sender_delay{"sender delay"};
inline constexpr InvariantName multicast_start_cycle{"multicast start cycle"};
inline constexpr InvariantName multicast_receive_cycle{"multicast receive cycle"};
inline constexpr InvariantName send_instruction_operand{"send instruction operand"};
inline constexpr InvariantName paired_source_timing{"paired source timing"};
inline constexpr InvariantName paired_receive_coincident_controls{"paired receive coincident controls"};
inline constexpr InvariantName paired_receive_horizon_overflow{"paired receive horizon overflow"};
inline constexpr InvariantName paired_receive_row_capacity{"paired receive row capacity"};

// Row timing and transfer preparation (reading rows back into timings,
// patching controls and addresses).
inline constexpr InvariantName sender_row_entry{"sender row entry"};
inline constexpr InvariantName sender_row_return{"sender row return"};
inline constexpr InvariantName sender_event_horizon_overflow{"sender event horizon overflow"};  // also builder
inline constexpr InvariantName sender_payload{"sender payload"};                                // also encoder
inline constexpr InvariantName receive_row_entry{"receive row entry"};
inline constexpr InvariantName receive_row_return{"receive row return"};
inline constexpr InvariantName receive_event_horizon_overflow{"receive event horizon overflow"};
inline constexpr InvariantName multiple_receive_sources{"multiple receive sources"};
inline constexpr InvariantName multiple_receive_teardowns{"multiple receive teardowns"};
inline constexpr InvariantName multiple_receive_pointers{"multiple receive pointers"};
inline constexpr InvariantName multiple_paired_format_starts{"multiple paired format starts"};
inline constexpr InvariantName multiple_paired_format_ends{"multiple paired format ends"};
inline constexpr InvariantName paired_receive_format_value{"paired receive format value"};
inline constexpr InvariantName incomplete_paired_receive_format{"incomplete paired receive format"};
inline constexpr InvariantName incomplete_ordinary_receive_mux{"incomplete ordinary receive mux"};
inline constexpr InvariantName send_control{"send control"};
inline constexpr InvariantName point_receiver_patch_index{"point receiver patch index"};

// Phase program builder.
inline constexpr InvariantName receiver_row_count{"receiver row count"};
inline constexpr InvariantName send_offset_overflow{"send offset overflow"};
inline constexpr InvariantName send_offset_order{"send offset order"};
inline constexpr InvariantName receive_source_timing{"receive source timing"};
inline constexpr InvariantName receive_pointer_event{"receive pointer event"};
inline constexpr InvariantName receive_offset_overflow{"receive offset overflow"};
inline constexpr InvariantName receive_source_timing_overflow{"receive source timing overflow"};
inline constexpr InvariantName receive_payload_timing_overflow{"receive payload timing overflow"};
inline constexpr InvariantName receive_horizon_overflow{"receive horizon overflow"};
inline constexpr InvariantName incompatible_simultaneous_receive_controls{
    "incompatible simultaneous receive controls"};  // also row assembly, encoder
inline constexpr InvariantName overlapping_outgoing_messages{"overlapping outgoing messages"};
inline constexpr InvariantName unencodable_initial_send_control{"unencodable initial send control"};  // also encoder
inline constexpr InvariantName receive_address_overflow{"receive address overflow"};
inline constexpr InvariantName overlapping_receive_streams{"overlapping receive streams"};

// Encoder. Most of these are also raised by row assembly, which encodes the
// rows of single transfers with the same routines.
inline constexpr InvariantName plan_delay_order{"plan delay order"};
inline constexpr InvariantName receive_event_order{"receive event order"};
inline constexpr InvariantName receive_control_issue_interval{"receive control issue interval"};
inline constexpr InvariantName receive_timed_event{"receive timed event"};
inline constexpr InvariantName zero_event_advance{"zero event advance"};
inline constexpr InvariantName delay_advance_overflow{"delay advance overflow"};
inline constexpr InvariantName pic_delay_advance_overflow{"PIC delay advance overflow"};
inline constexpr InvariantName xpic_delay_advance_overflow{"XPIC delay advance overflow"};
inline constexpr InvariantName first_scheduled_event_is_not_a_delay{"first scheduled event is not a delay"};
inline constexpr InvariantName scheduled_offset_truncates_a_send{"scheduled offset truncates a send"};
inline constexpr InvariantName receive_control_at_phase_entry{"receive control at phase entry"};
// The scheduler retries with incremental alignment validation on this one.
inline constexpr InvariantName sendpicp_instruction_alignment{"SENDPICP instruction alignment"};
inline constexpr InvariantName receive_control_order{"receive control order"};
inline constexpr InvariantName empty_sendpicp_interval{"empty SENDPICP interval"};
inline constexpr InvariantName sendpicp_pic_control{"SENDPICP PIC control"};
inline constexpr InvariantName sendpicp_xpic_control{"SENDPICP XPIC control"};
inline constexpr InvariantName sendpicp_event_time{"SENDPICP event time"};
inline constexpr InvariantName multiple_initial_sends{"multiple initial sends"};
inline constexpr InvariantName sender_payload_overflow{"sender payload overflow"};
inline constexpr InvariantName send_control_at_phase_entry{"send control at phase entry"};
inline constexpr InvariantName send_control_order{"send control order"};
inline constexpr InvariantName send_control_beyond_payload{"send control beyond payload"};
inline constexpr InvariantName empty_receive_control_continuation{"empty receive-control continuation"};
inline constexpr InvariantName sendpicp_source_overflow{"SENDPICP source overflow"};
inline constexpr InvariantName sendpicp_operand{"SENDPICP operand"};
inline constexpr InvariantName sender_payload_horizon{"sender payload horizon"};
inline constexpr InvariantName initial_send_size{"initial send size"};

// Program diagnostics (decoding encoded programs back into schedules); the
// first is also raised by the placement's receive-address patch.
inline constexpr InvariantName truncated_sendpicp_payload{"truncated SENDPICP payload"};
inline constexpr InvariantName diagnostic_row_address_overflow{"diagnostic row address overflow"};
inline constexpr InvariantName diagnostic_event_horizon_overflow{"diagnostic event horizon overflow"};
inline constexpr InvariantName unexpected_encoded_outgoing_interval{"unexpected encoded outgoing interval"};
inline constexpr InvariantName encoded_incoming_control_mismatch{"encoded incoming-control mismatch"};
inline constexpr InvariantName unknown_encoded_exchange_instruction{"unknown encoded exchange instruction"};
inline constexpr InvariantName encoded_tile_horizon_mismatch{"encoded tile horizon mismatch"};
inline constexpr InvariantName encoded_sender_interval_mismatch{"encoded sender interval mismatch"};

// Every name above, in the order above.
inline constexpr std::array catalogue{
    sender_delay,
    multicast_start_cycle,
    multicast_receive_cycle,
    send_instruction_operand,
    paired_source_timing,
    paired_receive_coincident_controls,
    paired_receive_horizon_overflow,
    paired_receive_row_capacity,

    sender_row_entry,
    sender_row_return,
    sender_event_horizon_overflow,
    sender_payload,
    receive_row_entry,
    receive_row_return,
    receive_event_horizon_overflow,
    multiple_receive_sources,
    multiple_receive_teardowns,
    multiple_receive_pointers,
    multiple_paired_format_starts,
    multiple_paired_format_ends,
    paired_receive_format_value,
    incomplete_paired_receive_format,
    incomplete_ordinary_receive_mux,
    send_control,
    point_receiver_patch_index,

    receiver_row_count,
    send_offset_overflow,
    send_offset_order,
    receive_source_timing,
    receive_pointer_event,
    receive_offset_overflow,
    receive_source_timing_overflow,
    receive_payload_timing_overflow,
    receive_horizon_overflow,
    incompatible_simultaneous_receive_controls,
    overlapping_outgoing_messages,
    unencodable_initial_send_control,
    receive_address_overflow,
    overlapping_receive_streams,

    plan_delay_order,
    receive_event_order,
    receive_control_issue_interval,
    receive_timed_event,
    zero_event_advance,
    delay_advance_overflow,
    pic_delay_advance_overflow,
    xpic_delay_advance_overflow,
    first_scheduled_event_is_not_a_delay,
    scheduled_offset_truncates_a_send,
    receive_control_at_phase_entry,
    sendpicp_instruction_alignment,
    receive_control_order,
    empty_sendpicp_interval,
    sendpicp_pic_control,
    sendpicp_xpic_control,
    sendpicp_event_time,
    multiple_initial_sends,
    sender_payload_overflow,
    send_control_at_phase_entry,
    send_control_order,
    send_control_beyond_payload,
    empty_receive_control_continuation,
    sendpicp_source_overflow,
    sendpicp_operand,
    sender_payload_horizon,
    initial_send_size,

    truncated_sendpicp_payload,
    diagnostic_row_address_overflow,
    diagnostic_event_horizon_overflow,
    unexpected_encoded_outgoing_interval,
    encoded_incoming_control_mismatch,
    unknown_encoded_exchange_instruction,
    encoded_tile_horizon_mismatch,
    encoded_sender_interval_mismatch,
};

}  // namespace invariant
}  // namespace vorn::exchange

template <>
struct fmt::formatter<vorn::exchange::InvariantName> : fmt::formatter<std::string_view> {
    template <typename FormatContext>
    auto format(vorn::exchange::InvariantName name, FormatContext& ctx) const -> decltype(ctx.out()) {
        return fmt::formatter<std::string_view>::format(name.text(), ctx);
    }
};
