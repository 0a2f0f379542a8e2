#include "vorn/exchange/builder.hpp"

#include <fmt/format.h>

#include <algorithm>
#include <limits>
#include <ostream>

#include "vorn/exchange/diagnostic.hpp"

namespace vorn::exchange {

namespace detail {

// The only writer of tile schedules. Every change goes through note_change,
// which keeps the encoding bookkeeping: a computed encoding of the state
// before the change becomes the base of the next encoding, the clean prefix
// shrinks to the first changed position, and the state gets a cell of its
// own (copies still in the old state keep the old cell).
struct TileScheduleEditor {
    TileProgramSchedule& schedule;

    void note_change(std::size_t first_row, std::size_t first_event) {
        auto& cell = schedule.encoding_;
        if (cell->value) {
            schedule.previous_ = cell->value;
            schedule.clean_sender_rows_ = schedule.sender_rows_.len();
            schedule.clean_receive_events_ = schedule.receive_events_.len();
        }
        schedule.clean_sender_rows_ = std::min(schedule.clean_sender_rows_, first_row);
        schedule.clean_receive_events_ = std::min(schedule.clean_receive_events_, first_event);
        if (cell.use_count() == 1) {
            cell->value.reset();
        } else {
            cell = std::make_shared<TileProgramSchedule::EncodingCell>();
        }
    }

    void insert_sender_row(std::size_t position, const ScheduledSenderRow& row) {
        note_change(position, schedule.receive_events_.len());
        schedule.sender_rows_.insert(position, row);
    }
    void insert_receive_event(std::size_t position, const ReceiveEvent& event) {
        note_change(schedule.sender_rows_.len(), position);
        schedule.receive_events_.insert(position, event);
    }
    void remove_receive_event(std::size_t position) {
        note_change(schedule.sender_rows_.len(), position);
        schedule.receive_events_.remove(position);
    }
    void raise_horizon(std::uint32_t horizon) {
        if (horizon > schedule.horizon_) {
            note_change(schedule.sender_rows_.len(), schedule.receive_events_.len());
            schedule.horizon_ = horizon;
        }
    }
    // Not part of what the encoder reads, so the encoding stays valid.
    void raise_busy_until(std::uint32_t cycle) { schedule.busy_until_ = std::max(schedule.busy_until_, cycle); }
    void set_receive_stream(const ReceiveStream& stream) { schedule.receive_stream_ = stream; }
};

}  // namespace detail

namespace {

using detail::TileScheduleEditor;
using StagedTiles = std::vector<std::pair<std::uint16_t, TileProgramSchedule>>;

constexpr std::uint64_t max_cycle = std::numeric_limits<std::uint32_t>::max();

tl::unexpected<ExchangeError> fail(InvariantName name) { return tl::unexpected(ExchangeError::schedule(name)); }

constexpr std::uint32_t saturating_sub(std::uint32_t a, std::uint32_t b) noexcept { return a > b ? a - b : 0; }

constexpr std::uint64_t saturating_add(std::uint64_t a, std::uint64_t b) noexcept {
    return a > std::numeric_limits<std::uint64_t>::max() - b ? std::numeric_limits<std::uint64_t>::max() : a + b;
}

// ---------------------------------------------------------------------------
// Lookups in sorted tile schedules.

// Index of the first event at `time` or later.
std::size_t first_event_from(const Chunked<ReceiveEvent>& events, std::uint64_t time) {
    const auto it = std::partition_point(events.begin(), events.end(),
                                         [&](const ReceiveEvent& event) { return event.time < time; });
    return it.index();
}

// Index after the last event at `time` or earlier: where an event at `time`
// goes behind the ones already there.
std::size_t event_insertion_point(const Chunked<ReceiveEvent>& events, std::uint32_t time) {
    const auto it = std::partition_point(events.begin(), events.end(),
                                         [&](const ReceiveEvent& event) { return event.time <= time; });
    return it.index();
}

// True when a receive event lies at `start` or `start` + 1, the two cycles
// on which a payload's initial send cannot carry a control.
bool event_near_payload_start(const Chunked<ReceiveEvent>& events, std::uint64_t start) {
    const ReceiveEvent* event = events.get(first_event_from(events, start));
    return event != nullptr && event->time <= start + 1;
}

// True when a sender row starts its payload at `time` or the cycle before.
bool payload_starts_near(const Chunked<ScheduledSenderRow>& rows, std::uint32_t time) {
    const std::uint64_t earliest = time == 0 ? 0 : time - 1;
    const auto it = std::partition_point(rows.begin(), rows.end(),
                                         [&](const ScheduledSenderRow& row) { return row.payload_start < earliest; });
    return it != rows.end() && it->payload_start <= time;
}

// Index of the event of `kind` at `time`, if there is one.
std::optional<std::size_t> find_event(const Chunked<ReceiveEvent>& events, std::uint32_t time, ReceiveEventKind kind) {
    for (std::size_t index = first_event_from(events, time); index < events.len() && events[index].time == time;
         ++index) {
        if (events[index].kind == kind) {
            return index;
        }
    }
    return std::nullopt;
}

// ---------------------------------------------------------------------------
// Receive windows and how they meet a tile's events.

// scheduled_receive_window written into `window`, reusing its event storage
// (the searches build one window per receiver and candidate offset). On
// failure `window` is left in no particular state.
tl::expected<void, ExchangeError> build_receive_window(ScheduledReceiverWindow& window,
                                                       const ReceiveRowTiming& timing, std::uint32_t offset,
                                                       std::uint32_t items, const std::optional<ReceiveStream>& stream);

// The stream's teardown that a window starting its source exactly when the
// stream's source is free takes over (the mux switches from the old source
// to the new one without being released): the ordinary teardown between two
// ordinary receives, the paired one between two paired receives of one
// continuing format.
std::optional<ReceiveEventKind> superseded_teardown(const ReceiveStream& stream,
                                                    const ScheduledReceiverWindow& window) noexcept {
    if (window.source_start != stream.source_free) {
        return std::nullopt;
    }
    if (!stream.paired && !window.paired) {
        return ReceiveEventKind::XpicTeardown;
    }
    if (stream.paired && window.paired && window.continues_format) {
        return ReceiveEventKind::PairedXpicTeardown;
    }
    return std::nullopt;
}

// Whether the window event of kind `kind` at `time` may share its cycle with
// the tile's existing event `existing`.
//
// Two events the staging removes do not count: the stream's teardown taken
// over by the new source, and the stream's format end when the window
// continues the format (the window's own format start there is dropped, so
// the format simply stays open). Without a continuation the format end stays
// in the program, and nothing else may be issued on its cycle: a second
// paired receive with another format value, or an ordinary receive after a
// paired one, has to wait a cycle.
bool may_share_cycle(const std::optional<ReceiveStream>& stream, const ScheduledReceiverWindow& window,
                     std::uint32_t time, ReceiveEventKind kind, const ReceiveEvent& existing) {
    if (stream) {
        if (window.continues_format && stream->format_end == time && existing.kind == ReceiveEventKind::PicFormat) {
            return true;
        }
        if (const auto teardown = superseded_teardown(*stream, window);
            teardown && time == stream->source_free && existing.kind == *teardown) {
            return true;
        }
    }
    return forms_sendpicp_pair(kind, existing.kind);
}

// True when a window event cannot be issued beside the tile's program: it
// meets an existing event it cannot share a cycle with, or falls on the
// first payload cycle of a sender row or the cycle after it.
bool window_conflicts(const TileProgramSchedule& tile, const ScheduledReceiverWindow& window) {
    const Chunked<ReceiveEvent>& events = tile.receive_events();
    for (const ReceiveEvent& event : window.events) {
        const std::uint32_t time = event.time;
        for (std::size_t index = first_event_from(events, time); index < events.len() && events[index].time == time;
             ++index) {
            if (!may_share_cycle(tile.receive_stream(), window, time, event.kind, events[index])) {
                return true;
            }
        }
        if (payload_starts_near(tile.sender_rows(), time)) {
            return true;
        }
    }
    return false;
}

// ---------------------------------------------------------------------------
// The transfer being placed.

struct Request {
    std::uint16_t sender;
    std::span<const std::uint16_t> partners;
    std::span<const std::uint16_t> receivers;
    const MulticastPlan& plan;
    std::uint32_t items;
};

tl::expected<void, ExchangeError> check_request(std::span<const TileProgramSchedule> tiles, std::uint16_t sender,
                                                std::span<const std::uint16_t> receivers, const MulticastPlan& plan) {
    if (sender >= tiles.size()) {
        return tl::unexpected(ExchangeError::tile(sender));
    }
    if (receivers.size() != plan.receive_timings().size()) {
        return fail(invariant::receiver_row_count);
    }
    return {};
}

// ---------------------------------------------------------------------------
// The earliest offset by the placement rules.

// The sender's rules, repeated until none moves the offset: not before the
// tile is free as a partner, no overlap with its payloads, no receive event
// on the new payload's first cycle or the cycle after.
tl::expected<std::uint32_t, ExchangeError> apply_sender_rules(const TileProgramSchedule& tile,
                                                              const SenderRowTiming& timing, std::uint32_t offset) {
    const Chunked<ScheduledSenderRow>& rows = tile.sender_rows();
    for (;;) {
        offset = std::max(offset, saturating_sub(tile.busy_until(), timing.payload_start));
        if (std::uint64_t{offset} + timing.payload_end > max_cycle) {
            return fail(invariant::send_offset_overflow);
        }
        const std::uint32_t start = offset + timing.payload_start;
        const std::uint32_t end = offset + timing.payload_end;
        // Payloads never overlap, so their ends are sorted like their starts.
        const auto next = std::partition_point(rows.begin(), rows.end(),
                                               [&](const ScheduledSenderRow& row) { return row.payload_end <= start; });
        if (next != rows.end() && next->payload_start < end) {
            if (next->payload_end < timing.payload_start) {
                return fail(invariant::send_offset_order);
            }
            offset = next->payload_end - timing.payload_start;
            continue;
        }
        if (event_near_payload_start(tile.receive_events(), start)) {
            if (offset == max_cycle) {
                return fail(invariant::send_offset_overflow);
            }
            ++offset;
            continue;
        }
        return offset;
    }
}

// The receiver's stream rules: the new receive starts its source and pointer
// only when the previous receive of the tile has released them.
tl::expected<std::uint32_t, ExchangeError> apply_stream_rules(const ReceiveStream& stream,
                                                              const ReceiveRowTiming& timing, std::uint32_t offset) {
    if (!timing.source && !timing.format_start) {
        return fail(invariant::receive_source_timing);
    }
    if (!timing.pointer) {
        return fail(invariant::receive_pointer_event);
    }
    const std::uint32_t source = timing.source ? *timing.source : *timing.format_start;
    offset = std::max(offset, saturating_sub(stream.source_free, source));
    if (!stream.paired && timing.format_start) {
        offset = std::max(offset, saturating_sub(stream.pointer_free, *timing.format_start));
    }
    return std::max(offset, saturating_sub(stream.pointer_free, *timing.pointer));
}

tl::expected<std::uint32_t, ExchangeError> placement_offset(std::span<const TileProgramSchedule> tiles,
                                                            const Request& request, std::uint32_t offset) {
    const SenderRowTiming& sender_timing = request.plan.sender_timing();
    const std::span<const ReceiveRowTiming> receive_timings = request.plan.receive_timings();
    const TileProgramSchedule& sender = tiles[request.sender];
    ScheduledReceiverWindow window;
    for (;;) {
        auto sent = apply_sender_rules(sender, sender_timing, offset);
        if (!sent) {
            return sent;
        }
        offset = *sent;

        const std::uint32_t after_sender = offset;
        for (const std::uint16_t partner : request.partners) {
            if (partner >= tiles.size()) {
                return tl::unexpected(ExchangeError::tile(partner));
            }
            const TileProgramSchedule& tile = tiles[partner];
            const std::uint32_t last_payload_end =
                tile.sender_rows().empty() ? 0 : tile.sender_rows().back().payload_end;
            offset = std::max({offset, tile.busy_until(), last_payload_end});
        }
        if (offset != after_sender) {
            continue;
        }

        bool moved = false;
        for (std::size_t i = 0; i < request.receivers.size() && !moved; ++i) {
            const std::uint16_t receiver = request.receivers[i];
            if (receiver >= tiles.size()) {
                return tl::unexpected(ExchangeError::tile(receiver));
            }
            const TileProgramSchedule& tile = tiles[receiver];
            const ReceiveRowTiming& timing = receive_timings[i];
            if (tile.receive_stream()) {
                auto ruled = apply_stream_rules(*tile.receive_stream(), timing, offset);
                if (!ruled) {
                    return ruled;
                }
                if (*ruled != offset) {
                    offset = *ruled;
                    moved = true;
                    continue;
                }
            }
            if (auto built = build_receive_window(window, timing, offset, request.items, tile.receive_stream());
                !built) {
                return tl::unexpected(built.error());
            }
            if (window_conflicts(tile, window)) {
                if (offset == max_cycle) {
                    return fail(invariant::receive_offset_overflow);
                }
                ++offset;
                moved = true;
            }
        }
        if (!moved) {
            return offset;
        }
    }
}

// ---------------------------------------------------------------------------
// Staging: copies of the involved tile schedules with the transfer inserted.

tl::expected<void, ExchangeError> stage_send(TileProgramSchedule& schedule, const Request& request,
                                             std::uint32_t offset) {
    const SenderRowTiming& timing = request.plan.sender_timing();
    const Chunked<ScheduledSenderRow>& rows = schedule.sender_rows();
    const std::uint64_t start = std::uint64_t{offset} + timing.payload_start;
    const std::uint64_t end = std::uint64_t{offset} + timing.payload_end;
    const std::uint64_t horizon = std::uint64_t{offset} + timing.horizon;
    const std::size_t position = std::partition_point(rows.begin(), rows.end(), [&](const ScheduledSenderRow& row) {
                                     return row.payload_start < start;
                                 }).index();
    if ((position > 0 && rows[position - 1].payload_end > start) ||
        (position < rows.len() && rows[position].payload_start < end)) {
        return fail(invariant::overlapping_outgoing_messages);
    }
    if (event_near_payload_start(schedule.receive_events(), start)) {
        return fail(invariant::unencodable_initial_send_control);
    }
    if (horizon > max_cycle) {
        return fail(invariant::sender_event_horizon_overflow);
    }
    TileScheduleEditor editor{schedule};
    editor.insert_sender_row(position,
                             ScheduledSenderRow{request.plan.exchange().sender_row, static_cast<std::uint32_t>(start),
                                                static_cast<std::uint32_t>(end)});
    editor.raise_horizon(static_cast<std::uint32_t>(horizon));
    return {};
}

// `window` is scratch storage for the receiver's window (only its event
// storage carries over between calls).
tl::expected<void, ExchangeError> stage_receive(TileProgramSchedule& schedule, const ReceiveRowTiming& timing,
                                                std::uint32_t offset, std::uint32_t items,
                                                ScheduledReceiverWindow& window) {
    const std::optional<ReceiveStream>& stream = schedule.receive_stream();
    if (auto built = build_receive_window(window, timing, offset, items, stream); !built) {
        return built;
    }
    ReceiveStream next;
    if (window.address) {
        const std::uint64_t item_bytes = window.paired ? 8 : 4;
        const std::uint64_t next_address = *window.address + std::uint64_t{items} * item_bytes;
        if (next_address > std::numeric_limits<std::uint32_t>::max()) {
            return fail(invariant::receive_address_overflow);
        }
        next.next_address = static_cast<std::uint32_t>(next_address);
    }

    TileScheduleEditor editor{schedule};
    if (stream) {
        if (window.source_start < stream->source_free || window.receive_start < stream->pointer_free) {
            return fail(invariant::overlapping_receive_streams);
        }
        // The controls the new receive supersedes.
        if (window.continues_format && stream->format_end) {
            if (const auto index =
                    find_event(schedule.receive_events(), *stream->format_end, ReceiveEventKind::PicFormat)) {
                editor.remove_receive_event(*index);
            }
        }
        if (const auto teardown = superseded_teardown(*stream, window)) {
            if (const auto index = find_event(schedule.receive_events(), stream->source_free, *teardown)) {
                editor.remove_receive_event(*index);
            }
        }
    }
    for (const ReceiveEvent& event : window.events) {
        editor.insert_receive_event(event_insertion_point(schedule.receive_events(), event.time), event);
    }
    editor.raise_horizon(window.receive_end);

    next.format_open = window.opens_format;
    next.format_value = window.format_value;
    next.format_end = window.format_end;
    next.source_free = window.source_end;
    next.pointer_free = window.receive_completion;
    next.paired = window.paired;
    editor.set_receive_stream(next);
    return {};
}

// Whether `tile` occurs among receivers[0..index).
bool repeats_earlier(std::span<const std::uint16_t> receivers, std::size_t index, std::vector<bool>& seen) {
    const std::uint16_t tile = receivers[index];
    if (seen.empty()) {
        return std::find(receivers.begin(), receivers.begin() + static_cast<std::ptrdiff_t>(index), tile) !=
               receivers.begin() + static_cast<std::ptrdiff_t>(index);
    }
    if (seen[tile]) {
        return true;
    }
    seen[tile] = true;
    return false;
}

// The sender's and every receiver's schedule with the transfer inserted at
// `offset` (sender first, receivers in order, each tile once); with
// `validate` every one of them is encoded and the first error returned.
tl::expected<StagedTiles, ExchangeError> stage_transfer(std::span<const TileProgramSchedule> tiles,
                                                        const Request& request, std::uint32_t offset, bool validate) {
    const std::span<const ReceiveRowTiming> receive_timings = request.plan.receive_timings();
    StagedTiles staged;
    staged.reserve(1 + request.receivers.size());
    staged.emplace_back(request.sender, tiles[request.sender]);
    if (auto sent = stage_send(staged.front().second, request, offset); !sent) {
        return tl::unexpected(sent.error());
    }

    // Long receiver lists find repeats with a table, short ones by scanning.
    constexpr std::size_t scan_limit = 16;
    std::vector<bool> seen;
    if (request.receivers.size() > scan_limit) {
        seen.assign(tiles.size(), false);
    }
    ScheduledReceiverWindow window;
    for (std::size_t i = 0; i < request.receivers.size(); ++i) {
        const std::uint16_t receiver = request.receivers[i];
        if (receiver >= tiles.size()) {
            return tl::unexpected(ExchangeError::tile(receiver));
        }
        if (repeats_earlier(request.receivers, i, seen)) {
            return tl::unexpected(ExchangeError::duplicate_tile());
        }
        std::size_t slot = 0;
        if (receiver != request.sender) {
            slot = staged.size();
            staged.emplace_back(receiver, tiles[receiver]);
        }
        if (auto received = stage_receive(staged[slot].second, receive_timings[i], offset, request.items, window);
            !received) {
            return tl::unexpected(received.error());
        }
    }

    if (validate) {
        for (const auto& entry : staged) {
            if (auto encoded = entry.second.encoded(); !encoded) {
                return tl::unexpected(encoded.error());
            }
        }
    }
    return staged;
}

bool staged_matches(const StagedTransfer& staged, const Request& request, std::uint32_t offset) {
    const MulticastExchange& exchange = request.plan.exchange();
    return staged.sender == request.sender && staged.offset == offset && staged.items == request.items &&
           std::equal(staged.receivers.begin(), staged.receivers.end(), request.receivers.begin(),
                      request.receivers.end()) &&
           staged.sender_row == exchange.sender_row && staged.receiver_rows == exchange.receiver_rows;
}

// The encoding work one validation may cost: the size of every involved
// tile's schedule.
std::uint64_t validation_work(std::span<const TileProgramSchedule> tiles, const Request& request) {
    const auto size_of = [&](std::uint16_t tile) {
        const TileProgramSchedule& schedule = tiles[tile];
        return saturating_add(saturating_add(schedule.sender_rows().len(), schedule.receive_events().len()), 1);
    };
    std::uint64_t work = size_of(request.sender);
    for (const std::uint16_t receiver : request.receivers) {
        work = saturating_add(work, size_of(receiver));
    }
    return work;
}

// Takes `work` from the counter when it holds that much; otherwise leaves it.
bool charge(std::atomic<std::uint64_t>& budget, std::uint64_t work) {
    std::uint64_t remaining = budget.load(std::memory_order_relaxed);
    do {
        if (remaining < work) {
            return false;
        }
    } while (!budget.compare_exchange_weak(remaining, remaining - work, std::memory_order_acq_rel,
                                           std::memory_order_relaxed));
    return true;
}

}  // namespace

// ---------------------------------------------------------------------------
// Receive windows.

namespace {

tl::expected<void, ExchangeError> build_receive_window(ScheduledReceiverWindow& window,
                                                       const ReceiveRowTiming& timing, std::uint32_t offset,
                                                       std::uint32_t items, const std::optional<ReceiveStream>& stream) {
    std::vector<ReceiveEvent> events = std::move(window.events);
    events.clear();
    window = ScheduledReceiverWindow{};
    window.events = std::move(events);

    bool overflow = false;
    const auto at = [&](std::uint32_t time) {
        const std::uint64_t shifted = std::uint64_t{offset} + time;
        overflow = overflow || shifted > max_cycle;
        return static_cast<std::uint32_t>(shifted);
    };
    const auto at_optional = [&](const std::optional<std::uint32_t>& time) -> std::optional<std::uint32_t> {
        if (!time) {
            return std::nullopt;
        }
        return at(*time);
    };

    window.events.reserve(timing.events.size());
    for (const ReceiveEvent& event : timing.events) {
        window.events.push_back(ReceiveEvent{at(event.time), event.word, event.kind});
    }
    at_optional(timing.teardown);  // moves to the source end, but must fit like every time of the row
    const std::optional<std::uint32_t> source = at_optional(timing.source);
    const std::optional<std::uint32_t> format_start = at_optional(timing.format_start);
    const std::optional<std::uint32_t> format_end = at_optional(timing.format_end);
    const std::optional<std::uint32_t> pointer = at_optional(timing.pointer);
    const std::uint32_t horizon = at(timing.horizon);
    if (overflow) {
        return fail(invariant::receive_offset_overflow);
    }

    const std::optional<std::uint32_t> source_start = source ? source : format_start;
    if (!source_start) {
        return fail(invariant::receive_source_timing);
    }
    if (std::uint64_t{*source_start} + items > max_cycle) {
        return fail(invariant::receive_source_timing_overflow);
    }
    window.source_start = *source_start;
    window.source_end = *source_start + items;

    // The row's format-start control, if it has one.
    if (timing.format_start) {
        for (const ReceiveEvent& event : timing.events) {
            if (event.kind == ReceiveEventKind::PicFormat && event.time == *timing.format_start) {
                window.opens_format = true;
                window.format_value = pic_value(event.word) & pic_pointer_mask;
                break;
            }
        }
    }
    window.continues_format = window.opens_format && stream && stream->format_open &&
                              stream->format_value == window.format_value && stream->format_end == format_start;
    window.continues_address = !timing.paired && stream && !stream->paired && stream->next_address &&
                               timing.pointer_address == stream->next_address;

    if (!pointer) {
        return fail(invariant::receive_pointer_event);
    }
    if (std::uint64_t{*pointer} + items > max_cycle) {
        return fail(invariant::receive_payload_timing_overflow);
    }
    window.receive_start = *pointer;
    window.receive_completion = *pointer + items;
    window.receive_end = std::max({horizon, window.source_end, window.receive_completion});
    window.address = timing.pointer_address;
    window.paired = timing.paired;
    window.format_end = format_end;

    // The ordinary teardown releases the mux when the last item has passed;
    // a pointer already standing at the address and a format that is
    // already open need no control.
    bool format_start_dropped = false;
    std::size_t kept = 0;
    for (std::size_t i = 0; i < window.events.size(); ++i) {
        ReceiveEvent event = window.events[i];
        if (event.kind == ReceiveEventKind::XpicTeardown) {
            event.time = window.source_end;
        } else if (window.continues_address && event.kind == ReceiveEventKind::PicPointer) {
            continue;
        } else if (window.continues_format && !format_start_dropped && event.kind == ReceiveEventKind::PicFormat &&
                   event.time == *format_start) {
            format_start_dropped = true;
            continue;
        }
        window.events[kept++] = event;
    }
    window.events.resize(kept);
    std::stable_sort(window.events.begin(), window.events.end(),
                     [](const ReceiveEvent& a, const ReceiveEvent& b) { return a.time < b.time; });
    for (std::size_t i = 1; i < window.events.size(); ++i) {
        if (window.events[i].time != window.events[i - 1].time) {
            continue;
        }
        const bool third = i + 1 < window.events.size() && window.events[i + 1].time == window.events[i].time;
        if (third || !forms_sendpicp_pair(window.events[i - 1].kind, window.events[i].kind)) {
            return fail(invariant::incompatible_simultaneous_receive_controls);
        }
    }
    return {};
}

}  // namespace

tl::expected<ScheduledReceiverWindow, ExchangeError> scheduled_receive_window(
    const ReceiveRowTiming& timing, std::uint32_t offset, std::uint32_t items,
    const std::optional<ReceiveStream>& stream) {
    ScheduledReceiverWindow window;
    if (auto built = build_receive_window(window, timing, offset, items, stream); !built) {
        return tl::unexpected(built.error());
    }
    return window;
}

// ---------------------------------------------------------------------------
// Tile schedules.

TileProgramSchedule::TileProgramSchedule() : encoding_(std::make_shared<EncodingCell>()) {}

tl::expected<std::shared_ptr<const EncodedSchedule>, ExchangeError> TileProgramSchedule::encoded() const {
    if (encoding_->value) {
        return encoding_->value;
    }
    std::optional<EncodingBase> base;
    if (previous_) {
        base = EncodingBase{previous_.get(), clean_sender_rows_, clean_receive_events_};
    }
    auto built = encoding::build_scheduled_program(sender_rows_, receive_events_, horizon_, base);
    if (!built) {
        return tl::unexpected(built.error());
    }
    encoding_->value = std::make_shared<const EncodedSchedule>(std::move(*built));
    return encoding_->value;
}

bool operator==(const TileProgramSchedule& a, const TileProgramSchedule& b) noexcept {
    return a.horizon_ == b.horizon_ && a.busy_until_ == b.busy_until_ && a.receive_stream_ == b.receive_stream_ &&
           a.sender_rows_ == b.sender_rows_ && a.receive_events_ == b.receive_events_;
}

// ---------------------------------------------------------------------------
// The builder.

PhaseProgramBuilder::PhaseProgramBuilder(std::uint16_t tile_count) : tiles_(tile_count) {}

PhaseProgramBuilder PhaseProgramBuilder::with_validation_budget(std::uint64_t budget) && {
    budget_ = std::make_shared<std::atomic<std::uint64_t>>(budget);
    return std::move(*this);
}

std::uint32_t PhaseProgramBuilder::event_cycles() const noexcept {
    std::uint32_t cycles = 0;
    for (const TileProgramSchedule& tile : tiles_) {
        cycles = std::max(cycles, tile.horizon());
    }
    return cycles;
}

const TileProgramSchedule& PhaseProgramBuilder::tile(std::uint16_t tile) const noexcept {
    detail::word_require(tile < tiles_.size(), "assertion failed: tile < builder.tile_count");
    return tiles_[tile];
}

std::optional<std::uint64_t> PhaseProgramBuilder::validation_budget() const noexcept {
    if (!budget_) {
        return std::nullopt;
    }
    return budget_->load(std::memory_order_acquire);
}

tl::expected<std::uint32_t, ExchangeError> PhaseProgramBuilder::earliest_transfer_offset_deferred(
    std::uint16_t sender, std::span<const std::uint16_t> partner_tiles, std::span<const std::uint16_t> receivers,
    const MulticastPlan& plan, std::uint32_t items, std::uint32_t not_before) const {
    if (auto checked = check_request(tiles_, sender, receivers, plan); !checked) {
        return tl::unexpected(checked.error());
    }
    return placement_offset(tiles_, Request{sender, partner_tiles, receivers, plan, items}, not_before);
}

tl::expected<std::uint32_t, ExchangeError> PhaseProgramBuilder::earliest_transfer_offset(
    std::uint16_t sender, std::span<const std::uint16_t> partner_tiles, std::span<const std::uint16_t> receivers,
    const MulticastPlan& plan, std::uint32_t items, std::uint32_t not_before) {
    if (auto checked = check_request(tiles_, sender, receivers, plan); !checked) {
        return tl::unexpected(checked.error());
    }
    const Request request{sender, partner_tiles, receivers, plan, items};
    std::uint32_t offset = not_before;
    for (;;) {
        auto placed = placement_offset(tiles_, request, offset);
        if (!placed) {
            return placed;
        }
        offset = *placed;
        if (staged_ && staged_matches(*staged_, request, offset)) {
            return offset;
        }
        if (budget_ && !charge(*budget_, validation_work(tiles_, request))) {
            return tl::unexpected(ExchangeError::validation_budget_exceeded());
        }
        auto staged = stage_transfer(tiles_, request, offset, true);
        if (staged) {
            staged_ = StagedTransfer{sender,
                                     std::vector<std::uint16_t>(receivers.begin(), receivers.end()),
                                     plan.exchange().receiver_rows,
                                     plan.exchange().sender_row,
                                     offset,
                                     items,
                                     std::move(*staged)};
            return offset;
        }
        // A SENDPICP that cannot reach an even word index here may one cycle
        // later; every other encoding failure stands.
        if (!staged.error().is_schedule(invariant::sendpicp_instruction_alignment)) {
            return tl::unexpected(staged.error());
        }
        if (offset == max_cycle) {
            return fail(invariant::receive_offset_overflow);
        }
        ++offset;
    }
}

tl::expected<PhaseTransferTiming, ExchangeError> PhaseProgramBuilder::transfer_timing_at(
    std::uint16_t sender, std::span<const std::uint16_t> receivers, const MulticastPlan& plan, std::uint32_t offset,
    std::uint32_t items) const {
    if (auto checked = check_request(tiles_, sender, receivers, plan); !checked) {
        return tl::unexpected(checked.error());
    }
    const SenderRowTiming& sender_timing = plan.sender_timing();
    if (std::uint64_t{offset} + sender_timing.horizon > max_cycle) {
        return fail(invariant::sender_event_horizon_overflow);
    }
    PhaseTransferTiming timing;
    timing.send_start = offset + sender_timing.payload_start;
    timing.send_completion = offset + sender_timing.payload_end;
    timing.send_end = offset + sender_timing.horizon;
    timing.horizon = timing.send_end;
    timing.receive_starts.reserve(receivers.size());
    timing.receive_completions.reserve(receivers.size());
    timing.receive_ends.reserve(receivers.size());
    const std::span<const ReceiveRowTiming> receive_timings = plan.receive_timings();
    ScheduledReceiverWindow window;
    for (std::size_t i = 0; i < receivers.size(); ++i) {
        if (receivers[i] >= tiles_.size()) {
            return tl::unexpected(ExchangeError::tile(receivers[i]));
        }
        if (auto built = build_receive_window(window, receive_timings[i], offset, items,
                                              tiles_[receivers[i]].receive_stream());
            !built) {
            return tl::unexpected(built.error());
        }
        timing.receive_starts.push_back(window.receive_start);
        timing.receive_completions.push_back(window.receive_completion);
        timing.receive_ends.push_back(window.receive_end);
        timing.horizon = std::max(timing.horizon, window.receive_end);
    }
    return timing;
}

tl::expected<PhaseTransferTiming, ExchangeError> PhaseProgramBuilder::append_transfer_at(
    std::uint16_t sender, std::span<const std::uint16_t> partner_tiles, std::span<const std::uint16_t> receivers,
    const MulticastPlan& plan, std::uint32_t offset, std::uint32_t items) {
    auto timing = transfer_timing_at(sender, receivers, plan, offset, items);
    if (!timing) {
        return timing;
    }
    const Request request{sender, partner_tiles, receivers, plan, items};
    std::optional<StagedTransfer> cached = std::exchange(staged_, std::nullopt);
    StagedTiles staged;
    if (cached && staged_matches(*cached, request, offset)) {
        staged = std::move(cached->staged_tiles);
    } else {
        auto fresh = stage_transfer(tiles_, request, offset, false);
        if (!fresh) {
            return tl::unexpected(fresh.error());
        }
        staged = std::move(*fresh);
    }

    for (std::size_t j = 0; j < partner_tiles.size(); ++j) {
        const std::uint16_t partner = partner_tiles[j];
        const auto earlier = partner_tiles.begin() + static_cast<std::ptrdiff_t>(j);
        if (partner == sender || std::find(partner_tiles.begin(), earlier, partner) != earlier) {
            return tl::unexpected(ExchangeError::duplicate_tile());
        }
        if (partner >= tiles_.size()) {
            return tl::unexpected(ExchangeError::tile(partner));
        }
        auto slot =
            std::find_if(staged.begin(), staged.end(), [&](const auto& entry) { return entry.first == partner; });
        if (slot == staged.end()) {
            staged.emplace_back(partner, tiles_[partner]);
            slot = staged.end() - 1;
        }
        TileScheduleEditor editor{slot->second};
        editor.raise_busy_until(timing->send_end);
        editor.raise_horizon(timing->send_end);
    }

    for (auto& [tile, schedule] : staged) {
        tiles_[tile] = std::move(schedule);
    }
    return timing;
}

tl::expected<PhasePrograms, ExchangeError> PhaseProgramBuilder::finish() const {
    PhasePrograms programs;
    programs.programs.resize(tiles_.size());
    programs.tile_horizons.reserve(tiles_.size());
    for (std::size_t index = 0; index < tiles_.size(); ++index) {
        const TileProgramSchedule& tile = tiles_[index];
        programs.tile_horizons.push_back(tile.horizon());
        programs.horizon = std::max(programs.horizon, tile.horizon());
        if (tile.horizon() == 0) {
            continue;
        }
        auto encoded = tile.encoded();
        if (!encoded) {
            return tl::unexpected(encoded.error());
        }
        std::vector<Word> words = (*encoded)->words.to_vector();
        auto checked = validate_tile_program(static_cast<std::uint16_t>(index), tile.sender_rows(),
                                             tile.receive_events(), tile.horizon(), words);
        if (!checked) {
            return tl::unexpected(checked.error());
        }
        programs.programs[index] = std::move(words);
    }
    return programs;
}

// ---------------------------------------------------------------------------
// Readable forms.

namespace {
std::string optional_text(const std::optional<std::uint32_t>& value) {
    return value ? fmt::format("Some({})", *value) : std::string("None");
}
}  // namespace

std::ostream& operator<<(std::ostream& out, const ReceiveStream& stream) {
    return out << fmt::format(
               "ReceiveStream {{ format_open: {}, format_value: {}, format_end: {}, next_address: {}, "
               "source_free: {}, pointer_free: {}, paired: {} }}",
               stream.format_open, stream.format_value, optional_text(stream.format_end),
               optional_text(stream.next_address), stream.source_free, stream.pointer_free, stream.paired);
}

std::ostream& operator<<(std::ostream& out, const ScheduledReceiverWindow& window) {
    out << "ScheduledReceiverWindow { events: [";
    for (std::size_t i = 0; i < window.events.size(); ++i) {
        out << (i == 0 ? "" : ", ") << window.events[i];
    }
    return out << fmt::format(
               "], address: {}, source_start: {}, source_end: {}, receive_start: {}, receive_completion: {}, "
               "receive_end: {}, continues_format: {} }}",
               optional_text(window.address), window.source_start, window.source_end, window.receive_start,
               window.receive_completion, window.receive_end, window.continues_format);
}

std::ostream& operator<<(std::ostream& out, const PhaseTransferTiming& timing) {
    return out << fmt::format(
               "PhaseTransferTiming {{ receive_starts: [{}], receive_completions: [{}], receive_ends: [{}], "
               "send_start: {}, send_completion: {}, send_end: {}, horizon: {} }}",
               fmt::join(timing.receive_starts, ", "), fmt::join(timing.receive_completions, ", "),
               fmt::join(timing.receive_ends, ", "), timing.send_start, timing.send_completion, timing.send_end,
               timing.horizon);
}

}  // namespace vorn::exchange
