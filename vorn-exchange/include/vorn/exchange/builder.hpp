#pragma once
// The phase program builder: the exchange program of every tile of one
// phase while the scheduler places transfers one by one.
//
// A tile's program is held as a sorted schedule, its outgoing sender rows and
// its incoming receive events (TileProgramSchedule), not as words. For a
// prepared transfer (MulticastPlan) the builder finds the earliest cycle
// offset at which the transfer fits the sender's and receivers' programs
// without breaking an encoding rule, reports the transfer's cycle timing at
// an offset, and commits it. The words of a tile are computed once per state
// on first use (TileProgramSchedule::encoded) and re-encoded incrementally
// from the previous encoding after a change.
//
// Calling order for one transfer: MulticastPlan::prepare, then
// earliest_transfer_offset (or its deferred form) with the current
// not-before cycle, transfer_timing_at at the offset found, and
// append_transfer_at with the same offset. The validating search stages the
// transfer (the tile schedules with the transfer inserted, encoded) and the
// next append reuses them when it asks for the same transfer. After the last
// transfer: event_cycles for the phase horizon, then finish.
//
// All times are 32-bit cycles from the phase-entry sync; an item is what
// crosses the fabric in one cycle (a 32-bit word, or a 64-bit item of a
// paired transfer). Tiles are logical tile numbers. Every failure is an
// ExchangeError. Searches and transfer_timing_at change nothing but the
// staged cache and the validation budget; a failing append changes no tile.
//
// Single-threaded: copies of a builder (and of a tile schedule) may share
// state but are used on one thread. The one atomic is the validation budget
// counter that all copies of a builder share.

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <iosfwd>
#include <memory>
#include <optional>
#include <span>
#include <tl/expected.hpp>
#include <utility>
#include <vector>

#include "vorn/exchange/chunked.hpp"
#include "vorn/exchange/encoding.hpp"
#include "vorn/exchange/error.hpp"
#include "vorn/exchange/row_timing.hpp"
#include "vorn/exchange/words.hpp"

namespace vorn::exchange {

// The state of the last receive committed to a tile, which the next receive
// of that tile must follow.
struct ReceiveStream {
    bool format_open = false;                   // the last row opened a paired format (a PicFormat at its format start)
    std::uint32_t format_value = 0;             // that control's format value, 1 or 2 (0 when not open)
    std::optional<std::uint32_t> format_end;    // absolute cycle of the last row's format end
    std::optional<std::uint32_t> next_address;  // byte address following the last item received
    std::uint32_t source_free = 0;              // last source control + items
    std::uint32_t pointer_free = 0;             // last pointer control + items
    bool paired = false;                        // the last receive was paired

    friend constexpr bool operator==(const ReceiveStream&, const ReceiveStream&) noexcept = default;
};

// One receiver's part of a transfer placed at an offset.
struct ScheduledReceiverWindow {
    std::vector<ReceiveEvent> events;      // absolute times, filtered, sorted by time (stable)
    std::optional<std::uint32_t> address;  // the row's receive pointer address
    std::uint32_t source_start = 0;        // offset + source control (or format start without one)
    std::uint32_t source_end = 0;          // source start + items
    std::uint32_t receive_start = 0;       // offset + pointer control
    std::uint32_t receive_completion = 0;  // receive start + items
    std::uint32_t receive_end = 0;         // max(offset + row horizon, source end, receive completion)
    bool continues_format = false;         // the row continues the stream's open paired format
    // Derived from the row, for committing the window to the tile's stream.
    bool continues_address = false;           // the row's pointer is the stream's next address
    bool paired = false;                      // the row is a paired receive
    std::uint32_t format_value = 0;           // the row's format-start value (0 without one)
    bool opens_format = false;                // the row has a format-start control
    std::optional<std::uint32_t> format_end;  // offset + the row's format end

    friend bool operator==(const ScheduledReceiverWindow&, const ScheduledReceiverWindow&) = default;
};

// The window of a receiver row at `offset`, following the tile's stream.
// Fails with "receive offset overflow" when an event or time of the row
// passes 2^32 - 1 at the offset, "receive source timing" for a row with
// neither a source control nor a format start, "receive source timing
// overflow", "receive pointer event" for a row without a pointer control,
// "receive payload timing overflow", "receive horizon overflow", and
// "incompatible simultaneous receive controls" when two of its filtered
// events share a cycle without forming a pointer + ordinary mux control pair.
tl::expected<ScheduledReceiverWindow, ExchangeError> scheduled_receive_window(
    const ReceiveRowTiming& timing, std::uint32_t offset, std::uint32_t items,
    const std::optional<ReceiveStream>& stream);

namespace detail {
struct TileScheduleEditor;
}

// The program of one tile as a schedule. Copies share the chunks of their
// sequences and, while their states are equal, the computed encoding.
class TileProgramSchedule {
public:
    // An empty schedule: no rows, no events, horizon 0.
    TileProgramSchedule();

    // Sorted by payload start, never overlapping.
    const Chunked<ScheduledSenderRow>& sender_rows() const noexcept { return sender_rows_; }
    // Sorted by time; equal times keep insertion order.
    const Chunked<ReceiveEvent>& receive_events() const noexcept { return receive_events_; }
    const std::optional<ReceiveStream>& receive_stream() const noexcept { return receive_stream_; }
    // The tile may not start a payload before this cycle (raised while it is
    // the idle partner of a paired send).
    std::uint32_t busy_until() const noexcept { return busy_until_; }
    // The cycle at which the tile's program ends; 0 when it has none.
    std::uint32_t horizon() const noexcept { return horizon_; }

    // The tile's encoded program, computed on first use for this state and
    // shared with every copy in the same state. The computation resumes from
    // the previous encoding when there is one. A failure stores nothing.
    tl::expected<std::shared_ptr<const EncodedSchedule>, ExchangeError> encoded() const;

    // The encoding of this state when it has been computed, else null.
    std::shared_ptr<const EncodedSchedule> computed_encoding() const noexcept { return encoding_->value; }
    // The encoding of an earlier state that the next encoding resumes from,
    // with how many leading sender rows and receive events are unchanged
    // since; null before the first encoding.
    const std::shared_ptr<const EncodedSchedule>& previous_encoding() const noexcept { return previous_; }
    std::size_t clean_sender_rows() const noexcept { return clean_sender_rows_; }
    std::size_t clean_receive_events() const noexcept { return clean_receive_events_; }

    // Equal schedules hold equal rows, events, stream, busy-until and horizon
    // (encodings are not compared).
    friend bool operator==(const TileProgramSchedule& a, const TileProgramSchedule& b) noexcept;

private:
    friend struct detail::TileScheduleEditor;

    // A once-only cell for the encoding of one state, shared by the copies
    // of that state. Replaced (or emptied when no copy shares it) on change.
    struct EncodingCell {
        std::shared_ptr<const EncodedSchedule> value;
    };

    Chunked<ScheduledSenderRow> sender_rows_;
    Chunked<ReceiveEvent> receive_events_;
    std::shared_ptr<EncodingCell> encoding_;
    std::shared_ptr<const EncodedSchedule> previous_;
    std::size_t clean_sender_rows_ = 0;
    std::size_t clean_receive_events_ = 0;
    std::optional<ReceiveStream> receive_stream_;
    std::uint32_t busy_until_ = 0;
    std::uint32_t horizon_ = 0;
};

// The last transfer staged by a validating search, with the schedules of the
// tiles it changes: the sender first, then every receiver in order, each
// tile once.
struct StagedTransfer {
    std::uint16_t sender = 0;
    std::vector<std::uint16_t> receivers;
    std::vector<RowWords> receiver_rows;
    RowWords sender_row{};
    std::uint32_t offset = 0;
    std::uint32_t items = 0;
    std::vector<std::pair<std::uint16_t, TileProgramSchedule>> staged_tiles;
};

// The cycle timing of one transfer at one offset.
struct PhaseTransferTiming {
    std::vector<std::uint32_t> receive_starts;  // one per receiver, from its window
    std::vector<std::uint32_t> receive_completions;
    std::vector<std::uint32_t> receive_ends;
    std::uint32_t send_start = 0;       // offset + payload start
    std::uint32_t send_completion = 0;  // offset + payload end
    std::uint32_t send_end = 0;         // offset + sender row horizon
    std::uint32_t horizon = 0;          // max of send end and every receive end

    friend bool operator==(const PhaseTransferTiming&, const PhaseTransferTiming&) = default;
};

// The finished programs of a phase.
struct PhasePrograms {
    std::vector<std::optional<std::vector<Word>>> programs;  // per tile; absent when its horizon is 0
    std::vector<std::uint32_t> tile_horizons;                // per tile
    std::uint32_t horizon = 0;                               // the largest tile horizon

    friend bool operator==(const PhasePrograms&, const PhasePrograms&) = default;
};

class PhaseProgramBuilder {
public:
    // A builder of tile_count empty tile schedules, nothing staged and no
    // validation budget.
    explicit PhaseProgramBuilder(std::uint16_t tile_count);

    // The builder with a new budget counter holding `budget` units of
    // encoding work for validating searches; copies made from it share the
    // counter.
    PhaseProgramBuilder with_validation_budget(std::uint64_t budget) &&;

    // The largest tile horizon (0 without tiles).
    std::uint32_t event_cycles() const noexcept;

    // The earliest offset, not before `not_before`, at which the transfer
    // fits the placement rules and every changed tile still encodes. The
    // transfer is staged for the next append. An offset whose encoding fails
    // with "SENDPICP instruction alignment" is retried one cycle later; any
    // other error ends the search. Each staging first charges the budget, if
    // one is set, with the size of the tile schedules involved
    // (ValidationBudgetExceeded when it does not hold that much).
    // `partner_tiles` are the tiles that must be idle during the send (the
    // paired source's partner; empty for 32-bit transfers).
    tl::expected<std::uint32_t, ExchangeError> earliest_transfer_offset(std::uint16_t sender,
                                                                        std::span<const std::uint16_t> partner_tiles,
                                                                        std::span<const std::uint16_t> receivers,
                                                                        const MulticastPlan& plan, std::uint32_t items,
                                                                        std::uint32_t not_before);

    // The same search by the placement rules only: no encoding, no budget,
    // nothing staged.
    tl::expected<std::uint32_t, ExchangeError> earliest_transfer_offset_deferred(
        std::uint16_t sender, std::span<const std::uint16_t> partner_tiles, std::span<const std::uint16_t> receivers,
        const MulticastPlan& plan, std::uint32_t items, std::uint32_t not_before) const;

    // The timing of the transfer at `offset`; changes nothing.
    tl::expected<PhaseTransferTiming, ExchangeError> transfer_timing_at(std::uint16_t sender,
                                                                        std::span<const std::uint16_t> receivers,
                                                                        const MulticastPlan& plan, std::uint32_t offset,
                                                                        std::uint32_t items) const;

    // Commits the transfer at `offset` (reusing the staged schedules when the
    // last validating search staged exactly this transfer) and keeps every
    // partner tile busy until the send ends. On failure no tile changes.
    tl::expected<PhaseTransferTiming, ExchangeError> append_transfer_at(std::uint16_t sender,
                                                                        std::span<const std::uint16_t> partner_tiles,
                                                                        std::span<const std::uint16_t> receivers,
                                                                        const MulticastPlan& plan, std::uint32_t offset,
                                                                        std::uint32_t items);

    // Encodes every tile with a program and checks it against its schedule
    // with validate_tile_program; the first error is returned. Leaves the
    // builder as it was (apart from encodings it caches), so it can go on.
    tl::expected<PhasePrograms, ExchangeError> finish() const;

    std::uint16_t tile_count() const noexcept { return static_cast<std::uint16_t>(tiles_.size()); }
    std::span<const TileProgramSchedule> tiles() const noexcept { return tiles_; }
    // The schedule of one tile; tile < tile_count.
    const TileProgramSchedule& tile(std::uint16_t tile) const noexcept;
    const std::optional<StagedTransfer>& staged() const noexcept { return staged_; }
    // What the shared budget counter still holds; empty without a budget.
    std::optional<std::uint64_t> validation_budget() const noexcept;

private:
    std::vector<TileProgramSchedule> tiles_;
    std::optional<StagedTransfer> staged_;
    std::shared_ptr<std::atomic<std::uint64_t>> budget_;
};

// Readable forms for test output.
std::ostream& operator<<(std::ostream& out, const ReceiveStream& stream);
std::ostream& operator<<(std::ostream& out, const ScheduledReceiverWindow& window);
std::ostream& operator<<(std::ostream& out, const PhaseTransferTiming& timing);

}  // namespace vorn::exchange
