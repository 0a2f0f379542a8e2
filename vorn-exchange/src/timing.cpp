#include "vorn/exchange/timing.hpp"

#include <algorithm>
#include <cstddef>
#include <limits>
#include <ostream>

#include <fmt/format.h>

#include "vorn/exchange/encoding.hpp"
#include "vorn/exchange/row_timing.hpp"
#include "vorn/runtime/logging.hpp"

namespace vorn::exchange {
namespace {

constexpr std::string_view log_target = "vorn_exchange";

tl::unexpected<ExchangeError> fail(InvariantName name) { return tl::unexpected(ExchangeError::schedule(name)); }

// Writes the words of one row from the front; the rest stays zero.
class RowWriter {
public:
    void push(Word word) noexcept {
        // A broken invariant of the row builders themselves: a programming error.
        detail::word_require(next_ < row_.size(), "assertion failed: a transfer row holds at most nine words");
        row_[next_++] = word;
    }
    const RowWords& row() const noexcept { return row_; }

private:
    RowWords row_{};
    std::size_t next_ = 0;
};

bool count_in_range(std::uint32_t count) noexcept { return count - 1U < max_exchange_words; }

// The payload words of a send of `count` items: an Explicit SEND of up to 64
// items with source operand 0 (patched later), then, for a longer send, one
// Offset SEND with the rest.
tl::expected<void, ExchangeError> push_send_words(RowWriter& writer, std::uint32_t count, std::uint32_t control) {
    if (count == 0) {
        return fail(invariant::send_instruction_operand);
    }
    writer.push(explicit_send_word(std::min(count, max_send_count), 0, control));
    if (count > max_send_count) {
        writer.push(offset_send_word(count - max_send_count, control));
    }
    return {};
}

// The receiver row of an ordinary receive of `count` words whose mux
// control takes effect `mux_delay` + 1 cycles after the SYNC, selecting
// `source`, with the receive pointer `pointer` (row(D) = `row`). The pointer
// follows the mux control by 2 * row + 52 cycles; for a short receive the
// teardown is issued between the two, for a long one after the pointer.
std::array<Word, 8> ordinary_receiver_words(std::uint32_t mux_delay, std::uint32_t source, std::int32_t row,
                                            std::uint32_t count, std::uint32_t pointer) {
    const auto pointer_lead = static_cast<std::uint32_t>(2 * row + 51);
    if (count < 52) {
        return {sync_entry,
                xpic_word(source, mux_delay),
                xpic_word(xpic_teardown_value, count - 1),
                pic_word(pointer, pointer_lead - count),
                delay_word(count + 4),
                return_word,
                0,
                0};
    }
    return {sync_entry,
            xpic_word(source, mux_delay),
            pic_word(pointer, pointer_lead),
            xpic_word(xpic_teardown_value, count >= 53 ? count - 53 : 0),
            delay_word(56),
            return_word,
            0,
            0};
}

RowWords with_ninth_word(const std::array<Word, 8>& words) {
    RowWords row{};
    std::copy(words.begin(), words.end(), row.begin());
    return row;
}

tl::expected<std::uint16_t, ExchangeError> physical_of(const Topology& topology, std::uint16_t logical) {
    return topology.physical(logical);
}

bool in_map(const Topology& topology, std::uint16_t logical) noexcept { return logical < topology.tile_count(); }

// The receiver list is a set of tiles of the map, and not just the sender.
bool valid_receiver_set(const Topology& topology, std::uint16_t sender, std::span<const std::uint16_t> receivers) {
    if (receivers.empty() || (receivers.size() == 1 && receivers[0] == sender)) {
        return false;
    }
    for (std::size_t i = 0; i < receivers.size(); ++i) {
        const auto earlier = receivers.first(i);
        if (!in_map(topology, receivers[i]) ||
            std::find(earlier.begin(), earlier.end(), receivers[i]) != earlier.end()) {
            return false;
        }
    }
    return true;
}

// The list consists of whole pairs: distinct tiles of the map, each with a
// partner that is itself in the list.
bool valid_pair_set(const Topology& topology, std::span<const std::uint16_t> receivers) {
    if (receivers.empty() || receivers.size() % 2 != 0) {
        return false;
    }
    for (std::size_t i = 0; i < receivers.size(); ++i) {
        const std::uint16_t receiver = receivers[i];
        const auto earlier = receivers.first(i);
        if (std::find(earlier.begin(), earlier.end(), receiver) != earlier.end() || !in_map(topology, receiver)) {
            return false;
        }
        const auto partner = topology.paired_logical(receiver);
        if (!partner || std::find(receivers.begin(), receivers.end(), *partner) == receivers.end()) {
            return false;
        }
    }
    return true;
}

// The later of the two mux delays of a pair: the paired receive of both
// lanes can start only when both halves of an item have arrived.
std::int32_t pair_mux_delay(std::uint16_t sender, std::uint16_t receiver) noexcept {
    return std::max(time_to_mux(sender, receiver), time_to_mux(sender, pair_partner_physical(receiver)));
}

void write_words(std::ostream& out, std::span<const Word> words) {
    out << '[';
    for (std::size_t i = 0; i < words.size(); ++i) {
        out << (i == 0 ? "" : ", ") << fmt::format("{:#010x}", words[i]);
    }
    out << ']';
}

}  // namespace

tl::expected<PointToPointExchange, ExchangeError> point_to_point(const Topology& topology, std::uint16_t sender,
                                                                 std::uint16_t receiver, std::uint32_t count) {
    if (!count_in_range(count)) {
        return tl::unexpected(ExchangeError::count(count));
    }
    if (sender == receiver) {
        return tl::unexpected(ExchangeError::duplicate_tile());
    }
    const auto sender_physical = physical_of(topology, sender);
    if (!sender_physical) {
        return tl::unexpected(sender_physical.error());
    }
    const auto receiver_physical = physical_of(topology, receiver);
    if (!receiver_physical) {
        return tl::unexpected(receiver_physical.error());
    }
    const std::uint8_t send_control = direction(*sender_physical, *receiver_physical);
    const std::int32_t mux = time_to_mux(*sender_physical, *receiver_physical);
    if (mux > point_to_point_receive_wait) {
        return fail(invariant::sender_delay);
    }

    // The sender waits so that its SEND starts `mux` cycles before the
    // receiver's mux control, which the receiver issues a fixed 113 cycles
    // after its SYNC; a short message is padded so that the mux control has
    // been issued before the sender returns.
    RowWriter sender_row;
    sender_row.push(sync_entry);
    if (mux != point_to_point_receive_wait) {
        sender_row.push(delay_word(static_cast<std::uint32_t>(point_to_point_receive_wait - 1 - mux)));
    }
    if (auto sent = push_send_words(sender_row, count, send_control); !sent) {
        return tl::unexpected(sent.error());
    }
    const std::int64_t tail = std::int64_t{mux} - std::int64_t{count};
    if (tail > 106) {
        sender_row.push(delay_word(static_cast<std::uint32_t>(tail - 107)));
    }
    sender_row.push(return_word);

    PointToPointExchange exchange;
    exchange.sender_row = sender_row.row();
    exchange.receiver.patch_index = 1;
    exchange.receiver.words = ordinary_receiver_words(static_cast<std::uint32_t>(point_to_point_receive_wait), 0,
                                                      physical_row(*receiver_physical), count, 0);
    VORN_EVENT(runtime::Level::Debug, log_target, "assembled point-to-point exchange",
               VORN_FIELD(sender_logical, sender), VORN_FIELD(receiver_logical, receiver), VORN_FIELD(count, count));
    return exchange;
}

tl::expected<MulticastExchange, ExchangeError> multicast(const Topology& topology, std::uint16_t sender,
                                                         std::span<const std::uint16_t> receivers,
                                                         std::uint32_t count, std::uint32_t schedule_offset) {
    if (!count_in_range(count)) {
        return tl::unexpected(ExchangeError::count(count));
    }
    const auto sender_physical = physical_of(topology, sender);
    if (!sender_physical) {
        return tl::unexpected(sender_physical.error());
    }
    if (!valid_receiver_set(topology, sender, receivers)) {
        return tl::unexpected(ExchangeError::receiver_set());
    }
    const std::uint16_t source = *sender_physical;

    std::vector<std::uint16_t> receiver_physical(receivers.size());
    std::vector<std::int32_t> mux(receivers.size());
    for (std::size_t i = 0; i < receivers.size(); ++i) {
        receiver_physical[i] = topology.physical_ids()[receivers[i]];
        mux[i] = time_to_mux(source, receiver_physical[i]);
    }

    // The send starts late enough that no receiver's mux control would have
    // to come before the receiver's own SYNC.
    const std::int32_t earliest_mux = *std::min_element(mux.begin(), mux.end());
    const std::uint64_t start =
        static_cast<std::uint64_t>(std::max<std::int64_t>(0, -std::int64_t{earliest_mux})) + schedule_offset;
    if (start > max_multicast_cycle) {
        return fail(invariant::multicast_start_cycle);
    }
    const auto start_delay = static_cast<std::uint32_t>(start);
    const std::uint32_t send_control = receivers.size() == 1 ? direction(source, receiver_physical[0]) : 3U;

    RowWriter sender_row;
    sender_row.push(sync_entry);
    if (start_delay > 0) {
        sender_row.push(delay_word(start_delay - 1));
    }
    if (auto sent = push_send_words(sender_row, count, send_control); !sent) {
        return tl::unexpected(sent.error());
    }
    if (std::uint64_t{start_delay} + count < 6) {
        sender_row.push(delay_word((5U - start_delay - count) & max_delay_field));
    }
    sender_row.push(return_word);

    MulticastExchange exchange;
    exchange.sender_row = sender_row.row();
    exchange.receiver_rows.reserve(receivers.size());
    for (std::size_t i = 0; i < receivers.size(); ++i) {
        const std::int64_t mux_delay = std::int64_t{mux[i]} + start_delay;
        if (mux_delay > max_multicast_cycle) {
            return fail(invariant::multicast_receive_cycle);
        }
        exchange.receiver_rows.push_back(with_ninth_word(
            ordinary_receiver_words(static_cast<std::uint32_t>(mux_delay), source & xpic_source_mask,
                                    physical_row(receiver_physical[i]), count, multicast_pointer_placeholder)));
    }
    VORN_EVENT(runtime::Level::Debug, log_target, "assembled multicast exchange", VORN_FIELD(sender_logical, sender),
               VORN_FIELD(receiver_logical, receivers), VORN_FIELD(count, count),
               VORN_FIELD(schedule_offset, schedule_offset));
    return exchange;
}

tl::expected<MulticastExchange, ExchangeError> paired_multicast(const Topology& topology, std::uint16_t sender,
                                                                std::span<const std::uint16_t> receivers,
                                                                std::uint32_t count) {
    if (!count_in_range(count)) {
        return tl::unexpected(ExchangeError::count(count));
    }
    if (!valid_pair_set(topology, receivers)) {
        return tl::unexpected(ExchangeError::receiver_set());
    }
    auto exchange = multicast(topology, sender, receivers, count, 0);
    if (!exchange) {
        return exchange;
    }
    const auto sender_physical = physical_of(topology, sender);
    if (!sender_physical) {
        return tl::unexpected(sender_physical.error());
    }
    const std::uint16_t source = *sender_physical;

    // 64-bit items in both directions, unless the one pair lies on one side
    // of the sender.
    std::uint8_t send_control = 7;
    if (receivers.size() == 2 && receivers[0] != sender && receivers[1] != sender) {
        send_control = static_cast<std::uint8_t>(
            direction(source, topology.physical_ids()[receivers[0]]) | send_control_paired64);
    }
    if (auto set = set_sender_control(exchange->sender_row, send_control); !set) {
        return tl::unexpected(set.error());
    }

    std::int32_t base = std::numeric_limits<std::int32_t>::max();
    for (const std::uint16_t receiver : receivers) {
        const auto receiver_physical = physical_of(topology, receiver);
        if (!receiver_physical) {
            return tl::unexpected(receiver_physical.error());
        }
        base = std::min(base, pair_mux_delay(source, *receiver_physical));
    }

    exchange->receiver_rows.clear();
    for (const std::uint16_t receiver : receivers) {
        auto row = paired_receiver_row(topology, sender, receiver, count, base);
        if (!row) {
            return tl::unexpected(row.error());
        }
        exchange->receiver_rows.push_back(*row);
    }
    return exchange;
}

tl::expected<RowWords, ExchangeError> paired_receiver_row(const Topology& topology, std::uint16_t sender,
                                                          std::uint16_t receiver, std::uint32_t count,
                                                          std::int32_t base) {
    const auto sender_physical = physical_of(topology, sender);
    if (!sender_physical) {
        return tl::unexpected(sender_physical.error());
    }
    const auto receiver_physical = physical_of(topology, receiver);
    if (!receiver_physical) {
        return tl::unexpected(receiver_physical.error());
    }
    const std::uint16_t source = *sender_physical;
    const std::uint16_t target = *receiver_physical;

    // Every receiver of the multicast shifts by the same amount, enough to
    // keep the earliest of them (the base) from starting before cycle 1.
    const std::int64_t start =
        std::int64_t{pair_mux_delay(source, target)} + std::max<std::int64_t>(1 - std::int64_t{base}, 0);
    if (start < 0) {
        return fail(invariant::paired_source_timing);
    }

    struct TimedControl {
        std::uint64_t time;
        ReceiveEvent event;
    };
    std::vector<TimedControl> controls;
    controls.reserve(5);
    const auto at = static_cast<std::uint64_t>(start);
    // Only the lane the payload reaches first drives the pair's incoming mux.
    if (time_to_mux(source, target) < time_to_mux(source, pair_partner_physical(target))) {
        const std::uint32_t mux_source = (source & xpic_source_mask) ^ (target & 2U);
        controls.push_back(
            {at, {0, xpic_word(xpic_source_value(mux_source, true)), ReceiveEventKind::PairedXpicSource}});
        controls.push_back(
            {at + count, {0, xpic_word(xpic_teardown(true)), ReceiveEventKind::PairedXpicTeardown}});
    }
    const std::uint64_t format_start = at + static_cast<std::uint64_t>(2 * physical_row(target) + 51);
    controls.push_back({format_start,
                        {0, pic_word(pic_format_value(direction(source, target))), ReceiveEventKind::PicFormat}});
    controls.push_back({format_start + 2, {0, pic_word(0), ReceiveEventKind::PairedPicPointer}});
    controls.push_back({format_start + count, {0, pic_word(pic_format_value(0)), ReceiveEventKind::PicFormat}});

    std::stable_sort(controls.begin(), controls.end(),
                     [](const TimedControl& a, const TimedControl& b) { return a.time < b.time; });
    for (std::size_t i = 1; i < controls.size(); ++i) {
        if (controls[i].time == controls[i - 1].time) {
            return fail(invariant::paired_receive_coincident_controls);
        }
    }
    constexpr std::uint64_t latest_event = 0xFFFFFFF8;
    if (controls.back().time > latest_event) {
        return fail(invariant::paired_receive_horizon_overflow);
    }

    std::vector<ReceiveEvent> events;
    events.reserve(controls.size());
    for (const TimedControl& control : controls) {
        ReceiveEvent event = control.event;
        event.time = static_cast<std::uint32_t>(control.time);
        events.push_back(event);
    }
    ProgramWriter writer;
    if (auto encoded = append_receive_events_record(writer, events, events.back().time + 7); !encoded) {
        return tl::unexpected(encoded.error());
    }
    // SYNC 3, the record, RETURN.
    if (writer.words.size() + 2 > row_word_count) {
        return fail(invariant::paired_receive_row_capacity);
    }
    RowWriter row;
    row.push(sync_entry);
    for (const Word word : writer.words) {
        row.push(word);
    }
    row.push(return_word);
    return row.row();
}

std::ostream& operator<<(std::ostream& out, const PointReceiverRow& row) {
    out << "PointReceiverRow { patch_index: " << row.patch_index << ", words: ";
    write_words(out, row.words);
    return out << " }";
}

std::ostream& operator<<(std::ostream& out, const PointToPointExchange& exchange) {
    out << "PointToPointExchange { sender_row: ";
    write_words(out, exchange.sender_row);
    return out << ", receiver: " << exchange.receiver << " }";
}

std::ostream& operator<<(std::ostream& out, const MulticastExchange& exchange) {
    out << "MulticastExchange { receiver_rows: [";
    for (std::size_t i = 0; i < exchange.receiver_rows.size(); ++i) {
        out << (i == 0 ? "" : ", ");
        write_words(out, exchange.receiver_rows[i]);
    }
    out << "], sender_row: ";
    write_words(out, exchange.sender_row);
    return out << " }";
}

}  // namespace vorn::exchange
