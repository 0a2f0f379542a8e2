#pragma once
// Reading encoded tile programs back.
//
// diagnose_plan_program decodes a tile's instruction words into timed
// instructions, PlanProgramDiagnostic::render prints them one per line, and
// validate_tile_program checks that a tile's words do exactly what its
// schedule says: the same incoming controls at the same cycles, and sends
// that cover exactly the scheduled sender rows. Words are classified by the
// one classifier of the word format (classify_word).

#include <cstddef>
#include <cstdint>
#include <iosfwd>
#include <optional>
#include <span>
#include <string>
#include <variant>
#include <vector>

#include <tl/expected.hpp>

#include "vorn/exchange/chunked.hpp"
#include "vorn/exchange/error.hpp"
#include "vorn/exchange/words.hpp"

namespace vorn::exchange {

// Which incoming control a value sets. Pic orders before Xpic.
enum class IncomingControlStream : std::uint8_t { Pic = 0, Xpic = 1 };

// One incoming control: a 14-bit XPIC value or a 19-bit PIC value.
struct IncomingControl {
    IncomingControlStream stream = IncomingControlStream::Pic;
    std::uint32_t value = 0;

    friend constexpr bool operator==(const IncomingControl&, const IncomingControl&) noexcept = default;
    friend constexpr auto operator<=>(const IncomingControl&, const IncomingControl&) noexcept = default;
};

enum class SendEncoding : std::uint8_t { Explicit = 0, Offset = 1, Pic = 2, PicPair = 3 };

// What one decoded instruction does.
struct PlanOperation {
    struct Delay {
        friend constexpr bool operator==(const Delay&, const Delay&) noexcept = default;
    };
    // Named after its variant; the payload is the outer IncomingControl.
    struct IncomingControl {
        ::vorn::exchange::IncomingControl control;
        friend constexpr bool operator==(const IncomingControl&, const IncomingControl&) noexcept = default;
    };
    struct Send {
        SendEncoding encoding = SendEncoding::Explicit;
        std::uint32_t words = 0;  // items sent
        std::uint32_t raw_operand = 0;
        std::optional<std::uint8_t> send_control;
        std::vector<::vorn::exchange::IncomingControl> controls;  // carried by the send, in order
        friend bool operator==(const Send&, const Send&) = default;
    };
    struct Sync {
        std::uint8_t operand = 0;
        friend constexpr bool operator==(const Sync&, const Sync&) noexcept = default;
    };
    struct Return {
        friend constexpr bool operator==(const Return&, const Return&) noexcept = default;
    };
    struct Unknown {
        Word word = 0;
        friend constexpr bool operator==(const Unknown&, const Unknown&) noexcept = default;
    };

    // The variants in their fixed order.
    std::variant<Delay, IncomingControl, Send, Sync, Return, Unknown> value;

    friend bool operator==(const PlanOperation&, const PlanOperation&) = default;
};

struct DecodedPlanInstruction {
    PlanOperation operation;
    std::optional<std::uint32_t> address;  // byte address of the first word, with a base address
    std::uint32_t word_index = 0;          // index of the first word in the program
    std::uint32_t start_cycle = 0;         // cycles from the phase-entry cycle 0
    std::uint32_t end_cycle = 0;           // start + the instruction's cycles

    friend bool operator==(const DecodedPlanInstruction&, const DecodedPlanInstruction&) = default;
};

struct PlanProgramDiagnostic {
    std::vector<DecodedPlanInstruction> instructions;  // in program order
    std::uint32_t horizon = 0;                         // end cycle of the last instruction
    std::uint32_t word_count = 0;                      // words decoded

    // One line per instruction: the location ("word+N", or "0x" and the
    // address in at least five hexadecimal digits), " cycles=S..E", a space
    // and the operation's debug form, then a line feed.
    std::string render() const;

    friend bool operator==(const PlanProgramDiagnostic&, const PlanProgramDiagnostic&) = default;
};

// Debug forms, e.g. "IncomingControl { stream: Xpic, value: 1600 }" and
// "Send { encoding: Explicit, words: 4, raw_operand: 1024, send_control:
// Some(1), controls: [] }".
std::string debug_string(const IncomingControl& control);
std::string debug_string(const PlanOperation& operation);

std::ostream& operator<<(std::ostream& out, IncomingControlStream stream);
std::ostream& operator<<(std::ostream& out, SendEncoding encoding);
std::ostream& operator<<(std::ostream& out, const IncomingControl& control);
std::ostream& operator<<(std::ostream& out, const PlanOperation& operation);
std::ostream& operator<<(std::ostream& out, const DecodedPlanInstruction& instruction);

// Decodes a whole program from cycle 0. Fails with "truncated SENDPICP
// payload" when the last word starts a SENDPICP, "diagnostic event horizon
// overflow" when a cycle passes 2^32 - 1, and "diagnostic row address
// overflow" when an instruction's address does. A missing RETURN is fine and
// words after a RETURN are decoded too.
tl::expected<PlanProgramDiagnostic, ExchangeError> diagnose_plan_program(
    std::span<const Word> words, std::optional<std::uint32_t> base_address = std::nullopt);

// An incoming control with the cycle at which it takes effect.
struct TimedIncomingControl {
    std::uint32_t cycle = 0;
    IncomingControl control;

    friend constexpr bool operator==(const TimedIncomingControl&, const TimedIncomingControl&) noexcept = default;
    friend constexpr auto operator<=>(const TimedIncomingControl&, const TimedIncomingControl&) noexcept = default;
};

// "(12, IncomingControl { stream: Xpic, value: 1600 })".
std::string debug_string(const TimedIncomingControl& entry);

// Where the decoded incoming controls of a program first differ from the
// scheduled ones (both sorted), with the debug forms reported by the
// mismatch event: the entries at the first difference ("Some(...)" or
// "None") and windows of up to seven entries around it ("Some([...])" or
// "None").
struct IncomingControlMismatch {
    std::size_t first_mismatch = 0;
    std::size_t actual_len = 0;
    std::size_t expected_len = 0;
    std::string actual;
    std::string expected;
    std::string actual_window;
    std::string expected_window;
};

// Nothing when the two lists are equal.
std::optional<IncomingControlMismatch> find_incoming_control_mismatch(std::span<const TimedIncomingControl> actual,
                                                                      std::span<const TimedIncomingControl> expected);

// Checks a tile's encoded words against its schedule (sender rows in payload
// order, receive events in time order, horizon) and returns the decoded
// program. Fails with a decoding error, "encoded tile horizon mismatch",
// "unknown encoded exchange instruction", "encoded incoming-control mismatch"
// (after a DEBUG event of vorn_exchange::diagnostic describing the
// difference), "encoded sender interval mismatch" or "unexpected encoded
// outgoing interval". `tile` only appears in the event.
tl::expected<PlanProgramDiagnostic, ExchangeError> validate_tile_program(std::uint16_t tile,
                                                                         const Chunked<ScheduledSenderRow>& sender_rows,
                                                                         const Chunked<ReceiveEvent>& receive_events,
                                                                         std::uint32_t horizon,
                                                                         std::span<const Word> words);
tl::expected<PlanProgramDiagnostic, ExchangeError> validate_tile_program(
    std::uint16_t tile, std::span<const ScheduledSenderRow> sender_rows, std::span<const ReceiveEvent> receive_events,
    std::uint32_t horizon, std::span<const Word> words);

}  // namespace vorn::exchange
