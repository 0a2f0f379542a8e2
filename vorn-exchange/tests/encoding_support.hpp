#pragma once
// Test support for the tile-program encoder: sender rows and receive events
// built the way the row builders build them, and a generator of random tile
// schedules that edits a schedule as the phase program builder does
// (inserting and removing sender rows and receive events at sorted
// positions, tracking the clean prefix).

#include <algorithm>
#include <cstdint>
#include <optional>
#include <random>
#include <span>
#include <string>
#include <vector>

#include <fmt/format.h>

#include "vorn/exchange/chunked.hpp"
#include "vorn/exchange/encoding.hpp"
#include "vorn/exchange/words.hpp"

namespace vorn::exchange::testing {

// A sender row: SYNC 3, an optional DELAY of `lead` cycles, the Explicit SEND
// of the first (at most 64) items, an Offset continuation for the rest, an
// optional DELAY of `tail` cycles, RETURN and zero padding.
inline RowWords sender_row_words(std::uint32_t items, std::uint32_t operand, std::uint32_t send_control,
                                 std::uint32_t lead = 0, std::uint32_t tail = 0) {
    RowWords row{};
    std::size_t at = 0;
    row[at++] = sync_entry;
    if (lead > 0) {
        row[at++] = delay_word_for_cycles(lead);
    }
    row[at++] = explicit_send_word(std::min(items, max_send_count), operand, send_control);
    if (items > max_send_count) {
        row[at++] = offset_send_word(items - max_send_count, send_control);
    }
    if (tail > 0) {
        row[at++] = delay_word_for_cycles(tail);
    }
    row[at++] = return_word;
    return row;
}

inline ScheduledSenderRow scheduled_row(std::uint32_t payload_start, std::uint32_t items, std::uint32_t operand = 0x100,
                                        std::uint32_t send_control = 1) {
    return ScheduledSenderRow{sender_row_words(items, operand, send_control), payload_start, payload_start + items};
}

// Receive events as the receiver rows produce them. The delay fields carry
// junk on purpose: the encoder must replace them.
inline ReceiveEvent xpic_source_event(std::uint32_t time, std::uint32_t physical, bool paired = false) {
    return ReceiveEvent{time, xpic_word(xpic_source_value(physical, paired), time % 4096),
                        paired ? ReceiveEventKind::PairedXpicSource : ReceiveEventKind::XpicSource};
}
inline ReceiveEvent xpic_teardown_event(std::uint32_t time, bool paired = false) {
    return ReceiveEvent{time, xpic_word(xpic_teardown(paired), (time * 7) % 4096),
                        paired ? ReceiveEventKind::PairedXpicTeardown : ReceiveEventKind::XpicTeardown};
}
inline ReceiveEvent pic_pointer_event(std::uint32_t time, std::uint32_t byte_address, bool paired = false) {
    return ReceiveEvent{time, pic_word(pic_pointer_value(byte_address), time % 128),
                        paired ? ReceiveEventKind::PairedPicPointer : ReceiveEventKind::PicPointer};
}
inline ReceiveEvent pic_format_event(std::uint32_t time, std::uint32_t format) {
    return ReceiveEvent{time, pic_word(pic_format_value(format), 5), ReceiveEventKind::PicFormat};
}

template <typename T>
Chunked<T> chunked_of(std::span<const T> elements) {
    return Chunked<T>(elements);
}
template <typename T>
Chunked<T> chunked_of(const std::vector<T>& elements) {
    return Chunked<T>(std::span<const T>(elements));
}

// A tile schedule under random edits. Edits respect the placement rules of
// the phase program builder: sender payloads never overlap, no receive event
// falls on the cycle after a payload start, and simultaneous events are a
// PIC pointer with an ordinary mux control.
class RandomTileSchedule {
public:
    explicit RandomTileSchedule(std::uint64_t seed) : rng_(seed) {}

    Chunked<ScheduledSenderRow> rows;
    Chunked<ReceiveEvent> events;
    std::uint32_t horizon = 0;
    // Leading rows and events unchanged since the last mark_clean.
    std::size_t clean_rows = 0;
    std::size_t clean_events = 0;

    // Takes back the schedule of `saved` (an earlier copy of this one), but
    // not its random state, so the next edits differ.
    void restore(const RandomTileSchedule& saved) {
        rows = saved.rows;
        events = saved.events;
        horizon = saved.horizon;
        clean_rows = saved.clean_rows;
        clean_events = saved.clean_events;
    }

    void mark_clean() {
        clean_rows = rows.len();
        clean_events = events.len();
    }

    // One random edit; returns a short description for failure messages.
    std::string edit() {
        const std::uint32_t pick = uniform(0, 99);
        if (pick < 22) {
            return insert_row();
        }
        if (pick < 32 && !rows.empty()) {
            return remove_row();
        }
        if (pick < 62) {
            return insert_single();
        }
        if (pick < 80) {
            return insert_pair();
        }
        if (pick < 93 && !events.empty()) {
            return remove_event();
        }
        return change_horizon();
    }

    std::uint32_t uniform(std::uint32_t low, std::uint32_t high) {
        return std::uniform_int_distribution<std::uint32_t>(low, high)(rng_);
    }

private:
    // The cycle at which a new item may go: mostly near existing activity,
    // sometimes past a long gap (to need several DELAY words or a DELAY before
    // a control).
    std::uint32_t random_time() {
        const std::uint32_t roll = uniform(0, 99);
        if (roll < 3) {
            return horizon + uniform(0x7FFF0, 0x90000);
        }
        if (roll < 10) {
            return horizon + uniform(100, 6000);
        }
        return uniform(1, horizon + 40);
    }

    std::uint32_t needed_horizon() const {
        std::uint32_t needed = 0;
        if (!rows.empty()) {
            needed = rows.back().payload_end;
            for (const ScheduledSenderRow& row : rows) {
                needed = std::max(needed, row.payload_end);
            }
        }
        if (!events.empty()) {
            needed = std::max(needed, events.back().time);
        }
        return needed;
    }

    bool event_at(std::uint32_t time) const {
        const auto it = std::partition_point(events.begin(), events.end(),
                                             [&](const ReceiveEvent& event) { return event.time < time; });
        return it != events.end() && it->time == time;
    }
    // Rows whose payload start is `time` or the cycle before.
    bool near_payload_start(std::uint32_t time) const {
        for (const ScheduledSenderRow& row : rows) {
            if (row.payload_start + 1 == time) {
                return true;
            }
        }
        return false;
    }

    void note_row_change(std::size_t index) { clean_rows = std::min(clean_rows, index); }
    void note_event_change(std::size_t index) { clean_events = std::min(clean_events, index); }

    std::string insert_row() {
        const std::uint32_t roll = uniform(0, 99);
        const std::uint32_t items = roll < 70 ? uniform(1, 64) : roll < 95 ? uniform(65, 400) : uniform(401, 4148);
        const std::uint32_t start = random_time() - (roll % 2);
        if (event_at(start + 1)) {
            return "skipped row";
        }
        for (const ScheduledSenderRow& row : rows) {
            if (row.payload_start < start + items && start < row.payload_end) {
                return "skipped row";
            }
        }
        const std::uint32_t control = uniform(1, 3) | (uniform(0, 3) == 0 ? send_control_paired64 : 0U);
        const ScheduledSenderRow row{sender_row_words(items, uniform(0, 0x3FFFF - 4148), control), start,
                                     start + items};
        const auto position = static_cast<std::size_t>(
            std::partition_point(rows.begin(), rows.end(),
                                 [&](const ScheduledSenderRow& r) { return r.payload_start < start; }) -
            rows.begin());
        rows.insert(position, row);
        note_row_change(position);
        horizon = std::max(horizon, row.payload_end + uniform(0, 6));
        return fmt::format("insert row {} at {}..{}", position, row.payload_start, row.payload_end);
    }

    std::string remove_row() {
        const std::size_t index = uniform(0, static_cast<std::uint32_t>(rows.len() - 1));
        rows.remove(index);
        note_row_change(index);
        return fmt::format("remove row {}", index);
    }

    ReceiveEvent random_single(std::uint32_t time) {
        switch (uniform(0, 6)) {
            case 0:
                return xpic_source_event(time, uniform(0, 1471));
            case 1:
                return xpic_teardown_event(time);
            case 2:
                return xpic_source_event(time, uniform(0, 1471), true);
            case 3:
                return xpic_teardown_event(time, true);
            case 4:
                return pic_pointer_event(time, uniform(0, 0x3FFFF) * 4, true);
            case 5:
                return pic_format_event(time, uniform(0, 2));
            default:
                return pic_pointer_event(time, uniform(0, 0x3FFFF) * 4);
        }
    }

    // Inserts after every event with a time <= its own, as the builder does.
    std::size_t insert_event(const ReceiveEvent& event) {
        const auto position =
            static_cast<std::size_t>(std::partition_point(events.begin(), events.end(),
                                                          [&](const ReceiveEvent& e) { return e.time <= event.time; }) -
                                     events.begin());
        events.insert(position, event);
        note_event_change(position);
        horizon = std::max(horizon, event.time + uniform(0, 3));
        return position;
    }

    std::string insert_single() {
        const std::uint32_t time = random_time();
        if (time == 0 || event_at(time) || near_payload_start(time)) {
            return "skipped event";
        }
        const std::size_t position = insert_event(random_single(time));
        return fmt::format("insert event {} at {}", position, time);
    }

    std::string insert_pair() {
        const std::uint32_t time = random_time();
        if (time == 0 || event_at(time) || near_payload_start(time)) {
            return "skipped pair";
        }
        const ReceiveEvent pointer = pic_pointer_event(time, uniform(0, 0x3FFFF) * 4);
        const ReceiveEvent mux =
            uniform(0, 1) == 0 ? xpic_source_event(time, uniform(0, 1471)) : xpic_teardown_event(time);
        const bool pointer_first = uniform(0, 1) == 0;
        const std::size_t position = insert_event(pointer_first ? pointer : mux);
        insert_event(pointer_first ? mux : pointer);
        return fmt::format("insert pair {} at {}", position, time);
    }

    std::string remove_event() {
        const std::size_t index = uniform(0, static_cast<std::uint32_t>(events.len() - 1));
        events.remove(index);
        note_event_change(index);
        return fmt::format("remove event {}", index);
    }

    std::string change_horizon() {
        horizon = needed_horizon() + uniform(0, 50);
        return fmt::format("horizon {}", horizon);
    }

    std::mt19937_64 rng_;
};

}  // namespace vorn::exchange::testing
