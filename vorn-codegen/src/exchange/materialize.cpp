#include "vorn/codegen/exchange/materialize.hpp"

#include <algorithm>
#include <bit>
#include <chrono>
#include <cstddef>
#include <map>
#include <optional>
#include <utility>
#include <vector>

#include "vorn/exchange/invariant.hpp"
#include "vorn/runtime/logging.hpp"

namespace vorn::codegen {
namespace {

using vorn::exchange::Topology;

constexpr std::string_view log_target = "vorn_codegen::exchange";

constexpr std::uint64_t saturating_add(std::uint64_t a, std::uint64_t b) noexcept {
    return a > ~std::uint64_t{0} - b ? ~std::uint64_t{0} : a + b;
}

// One competitor for the next placement. Its ready cycle and load are the
// values last computed for it and may lag behind the schedule. The entry
// also carries what recomputing them needs (the transfer's fixed dependency
// cycle and where its tiles are listed), so that a refresh reads only the
// tile list and the per-tile state; these fields take no part in the order.
struct ReadyTransfer {
    std::uint64_t load = 0;
    std::uint32_t ready_cycle = 0;
    std::uint32_t items = 0;
    std::uint32_t transfer = 0;
    std::uint16_t receivers = 0;
    std::uint16_t source = 0;
    // ready_cycles[transfer]: fixed once every predecessor is placed.
    std::uint32_t dependency_cycle = 0;
    // The transfer's tiles in the scheduler's flat tile list: `senders` send
    // tiles (source, then paired source), then the destination tiles.
    std::uint32_t tile_count = 0;
    std::size_t tiles_begin = 0;
    std::uint8_t senders = 0;
};

// True when `a` is placed before `b`: earlier ready cycle, then more load,
// more destinations, more items, lower source tile, lower position.
constexpr bool more_urgent(const ReadyTransfer& a, const ReadyTransfer& b) noexcept {
    if (a.ready_cycle != b.ready_cycle) {
        return a.ready_cycle < b.ready_cycle;
    }
    if (a.load != b.load) {
        return a.load > b.load;
    }
    if (a.receivers != b.receivers) {
        return a.receivers > b.receivers;
    }
    if (a.items != b.items) {
        return a.items > b.items;
    }
    if (a.source != b.source) {
        return a.source < b.source;
    }
    return a.transfer < b.transfer;
}

// Heap order for the std heap algorithms: the front is the most urgent entry.
struct LessUrgent {
    bool operator()(const ReadyTransfer& a, const ReadyTransfer& b) const noexcept { return more_urgent(b, a); }
};

// A max-priority queue of ready entries: a binary heap over a plain vector,
// so that the whole queue can be refreshed in place and rebuilt in linear
// time, and a top entry whose priority fell moves down in one pass.
class ReadyQueue {
public:
    bool empty() const noexcept { return entries_.empty(); }
    std::size_t size() const noexcept { return entries_.size(); }
    const ReadyTransfer& top() const noexcept { return entries_.front(); }

    void push(const ReadyTransfer& entry) {
        entries_.push_back(entry);
        std::push_heap(entries_.begin(), entries_.end(), LessUrgent{});
    }
    void pop() {
        if (entries_.size() > 1) {
            entries_.front() = entries_.back();
            entries_.pop_back();
            sift_down_top();
        } else {
            entries_.pop_back();
        }
    }
    // Replaces the top entry and restores the order.
    void replace_top(const ReadyTransfer& entry) {
        entries_.front() = entry;
        sift_down_top();
    }
    // Applies `update` to every entry, then restores the order.
    template <typename Update>
    void update_all(Update update) {
        for (ReadyTransfer& entry : entries_) {
            update(entry);
        }
        std::make_heap(entries_.begin(), entries_.end(), LessUrgent{});
    }

private:
    void sift_down_top() {
        const std::size_t size = entries_.size();
        const ReadyTransfer moving = entries_.front();
        std::size_t hole = 0;
        for (;;) {
            std::size_t child = 2 * hole + 1;
            if (child >= size) {
                break;
            }
            if (child + 1 < size && more_urgent(entries_[child + 1], entries_[child])) {
                ++child;
            }
            if (!more_urgent(entries_[child], moving)) {
                break;
            }
            entries_[hole] = entries_[child];
            hole = child;
        }
        entries_[hole] = moving;
    }

    std::vector<ReadyTransfer> entries_;
};

// The ready transfers of one greedy run and the loads they compete with.
class TransferScheduler {
public:
    TransferScheduler(const SchedulingProblem& problem, const MaterializedSchedule& schedule)
        : problem_(problem),
          schedule_(schedule),
          transfers_(problem.transfers()),
          remaining_load_(problem.endpoint_load().begin(), problem.endpoint_load().end()),
          remaining_predecessors_(transfers_.size()),
          ready_cycles_(transfers_.size(), 0),
          group_of_(transfers_.size()) {
        tile_offsets_.reserve(transfers_.size() + 1);
        tile_offsets_.push_back(0);
        send_tiles_.reserve(transfers_.size());
        for (std::uint32_t t = 0; t < transfers_.size(); ++t) {
            const PendingTransfer& pending = transfers_[t];
            remaining_predecessors_[t] = problem.predecessors(t).size();
            if (pending.destinations.size() >= 2) {
                multicast_ = true;
            }
            tile_list_.push_back(pending.source);
            if (pending.paired_source) {
                tile_list_.push_back(*pending.paired_source);
            }
            send_tiles_.push_back(pending.paired_source ? 2 : 1);
            for (const PendingDestination& destination : pending.destinations) {
                tile_list_.push_back(destination.tile);
            }
            tile_offsets_.push_back(tile_list_.size());
        }
        group_initial_transfers();
    }

    bool empty() const noexcept { return heads_.empty(); }

    // The next transfer to place, after bringing stale entries at the top of
    // the queue up to date. The queue must not be empty.
    std::uint32_t take_next() {
        std::size_t stale = 0;
        for (;;) {
            const ReadyTransfer top = heads_.top();
            ReadyTransfer updated = top;
            refresh(updated);
            if (top.ready_cycle == updated.ready_cycle && top.load == updated.load) {
                remove_top(top);
                return top.transfer;
            }
            ++stale;
            const std::size_t size = heads_.size();
            const std::size_t log2 = static_cast<std::size_t>(std::bit_width(size)) - 1;
            if (size > 127 && 4 * stale * log2 >= size) {
                heads_.update_all([this](ReadyTransfer& entry) { refresh(entry); });
            } else {
                heads_.replace_top(updated);
            }
        }
    }

    std::uint32_t ready_cycle(std::uint32_t transfer) const { return ready_cycles_[transfer]; }

    // Accounts for a placed transfer that completed at `completion`.
    void placed(std::uint32_t transfer, std::uint32_t completion) {
        if (multicast_) {
            const std::uint64_t items = transfers_[transfer].item_count();
            for (const std::uint16_t tile : tiles_of(transfer)) {
                std::uint64_t& load = remaining_load_[tile];
                load = load > items ? load - items : 0;
            }
        }
        for (const std::uint32_t successor : problem_.successors(transfer)) {
            ready_cycles_[successor] = std::max(ready_cycles_[successor], completion);
            if (--remaining_predecessors_[successor] == 0) {
                heads_.push(make_entry(successor));
            }
        }
    }

private:
    ReadyTransfer make_entry(std::uint32_t transfer) const {
        const PendingTransfer& pending = transfers_[transfer];
        ReadyTransfer entry;
        entry.ready_cycle = ready_cycles_[transfer];
        entry.receivers = static_cast<std::uint16_t>(pending.destinations.size());
        entry.items = pending.item_count();
        entry.source = pending.source;
        entry.transfer = transfer;
        entry.dependency_cycle = ready_cycles_[transfer];
        entry.tiles_begin = tile_offsets_[transfer];
        entry.tile_count = static_cast<std::uint32_t>(tile_offsets_[transfer + 1] - tile_offsets_[transfer]);
        entry.senders = send_tiles_[transfer];
        for (const std::uint16_t tile : tiles_of(entry)) {
            entry.load = saturating_add(entry.load, remaining_load_[tile]);
        }
        return entry;
    }

    std::span<const std::uint16_t> tiles_of(const ReadyTransfer& entry) const {
        return std::span<const std::uint16_t>(tile_list_).subspan(entry.tiles_begin, entry.tile_count);
    }

    // The tiles of a transfer: the send side (source, then paired source)
    // first, then every destination tile in order.
    std::span<const std::uint16_t> tiles_of(std::uint32_t transfer) const {
        return std::span<const std::uint16_t>(tile_list_).subspan(
            tile_offsets_[transfer], tile_offsets_[transfer + 1] - tile_offsets_[transfer]);
    }

    // Recomputes the entry's ready cycle (its dependency cycle and the marks
    // of its tiles: send marks on the send side, receive marks elsewhere)
    // and, in a phase with a multicast, its load, in one pass over its tiles.
    void refresh(ReadyTransfer& entry) const {
        const std::span<const std::uint16_t> tiles = tiles_of(entry);
        const TileMarks* marks = schedule_.tile_marks.data();
        std::uint32_t cycle = entry.dependency_cycle;
        if (!multicast_) {
            for (std::size_t i = 0; i < entry.senders; ++i) {
                cycle = std::max(cycle, marks[tiles[i]].send_mark);
            }
            for (std::size_t i = entry.senders; i < tiles.size(); ++i) {
                cycle = std::max(cycle, marks[tiles[i]].receive_mark);
            }
            entry.ready_cycle = cycle;
            return;
        }
        const std::uint64_t* loads = remaining_load_.data();
        std::uint64_t load = 0;
        for (std::size_t i = 0; i < entry.senders; ++i) {
            cycle = std::max(cycle, marks[tiles[i]].send_mark);
            load = saturating_add(load, loads[tiles[i]]);
        }
        for (std::size_t i = entry.senders; i < tiles.size(); ++i) {
            cycle = std::max(cycle, marks[tiles[i]].receive_mark);
            load = saturating_add(load, loads[tiles[i]]);
        }
        entry.ready_cycle = cycle;
        entry.load = load;
    }

    // Groups the transfers ready from the start by endpoint signature; only
    // each group's most urgent member stands in the queue.
    void group_initial_transfers() {
        std::map<std::vector<std::uint32_t>, std::uint32_t> group_numbers;
        std::vector<std::uint32_t> signature;
        for (std::uint32_t t = 0; t < transfers_.size(); ++t) {
            if (remaining_predecessors_[t] != 0) {
                continue;
            }
            const PendingTransfer& pending = transfers_[t];
            signature.clear();
            signature.push_back(pending.source);
            signature.push_back(pending.paired_source ? 0x10000U + *pending.paired_source : 0U);
            for (const PendingDestination& destination : pending.destinations) {
                signature.push_back(destination.tile);
            }
            const auto [it, inserted] =
                group_numbers.try_emplace(signature, static_cast<std::uint32_t>(groups_.size()));
            if (inserted) {
                groups_.emplace_back();
            }
            group_of_[t] = it->second;
            groups_[it->second].push(make_entry(t));
        }
        for (const ReadyQueue& group : groups_) {
            heads_.push(group.top());
        }
    }

    // Takes the current top entry out of the queue; a grouped transfer hands
    // its place to the next member of its group, which inherits the entry's
    // ready cycle and is brought up to date when it reaches the top.
    void remove_top(const ReadyTransfer& top) {
        const std::optional<std::uint32_t> group = group_of_[top.transfer];
        if (!group) {
            heads_.pop();
            return;
        }
        ReadyQueue& members = groups_[*group];
        members.pop();
        if (members.empty()) {
            heads_.pop();
            return;
        }
        ReadyTransfer next = members.top();
        next.ready_cycle = top.ready_cycle;
        heads_.replace_top(next);
    }

    const SchedulingProblem& problem_;
    const MaterializedSchedule& schedule_;
    std::span<const PendingTransfer> transfers_;
    std::vector<std::uint64_t> remaining_load_;
    std::vector<std::size_t> remaining_predecessors_;
    std::vector<std::uint32_t> ready_cycles_;
    ReadyQueue heads_;
    std::vector<ReadyQueue> groups_;
    std::vector<std::optional<std::uint32_t>> group_of_;
    std::vector<std::size_t> tile_offsets_;
    std::vector<std::uint16_t> tile_list_;
    std::vector<std::uint8_t> send_tiles_;
    bool multicast_ = false;
};

}  // namespace

tl::expected<MaterializedSchedule, ExchangeLoweringError> materialize_greedy_schedule_impl(
    const Topology& topology, const SchedulingProblem& problem, std::span<const std::uint32_t> incoming_bases,
    std::span<const std::uint64_t> incoming_counts, bool immediate_offsets) {
    const std::span<const PendingTransfer> transfers = problem.transfers();
    MaterializedSchedule schedule = MaterializedSchedule::create(problem.tile_count(), transfers);
    std::vector<TileLastTransfers> last_transfers = last_transfers_table(problem.tile_count());
    TransferScheduler scheduler(problem, schedule);
    while (!scheduler.empty()) {
        const std::uint32_t transfer = scheduler.take_next();
        auto completion = schedule.append(topology, transfers, incoming_bases, incoming_counts, transfer,
                                          scheduler.ready_cycle(transfer), immediate_offsets, last_transfers);
        if (!completion) {
            return tl::unexpected(std::move(completion.error()));
        }
        scheduler.placed(transfer, *completion);
    }
    schedule.horizon = schedule.builder.event_cycles();
    return schedule;
}

tl::expected<MaterializedSchedule, ExchangeLoweringError> materialize_greedy_schedule(
    const Topology& topology, const SchedulingProblem& problem, std::span<const std::uint32_t> incoming_bases,
    std::span<const std::uint64_t> incoming_counts) {
    auto schedule = materialize_greedy_schedule_impl(topology, problem, incoming_bases, incoming_counts, false);
    if (!schedule) {
        return schedule;
    }
    auto finished = schedule->keep_finished_programs();
    if (finished) {
        return schedule;
    }
    if (!finished.error().is_schedule(vorn::exchange::invariant::sendpicp_instruction_alignment)) {
        return tl::unexpected(ExchangeLoweringError::exchange(finished.error()));
    }
    const std::size_t transfer_count = problem.transfer_count();
    VORN_EVENT(runtime::Level::Info, log_target,
               "retrying exchange schedule with incremental instruction-alignment validation",
               VORN_FIELD(transfers, transfer_count));
    const auto started = std::chrono::steady_clock::now();
    auto retried = materialize_greedy_schedule_impl(topology, problem, incoming_bases, incoming_counts, true);
    const auto elapsed = std::chrono::steady_clock::now() - started;
    const auto elapsed_ms =
        static_cast<std::uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(elapsed).count());
    const bool success = retried.has_value();
    VORN_EVENT(runtime::Level::Info, log_target, "finished incremental instruction-alignment validation",
               VORN_FIELD(transfers, transfer_count), VORN_FIELD(elapsed_ms, elapsed_ms),
               VORN_FIELD(success, success));
    return retried;
}

tl::expected<MaterializedSchedule, ExchangeLoweringError> materialize_schedule_order(
    const Topology& topology, const SchedulingProblem& problem, std::span<const std::uint32_t> incoming_bases,
    std::span<const std::uint64_t> incoming_counts, std::span<const std::uint32_t> order, bool immediate_offsets) {
    const std::span<const PendingTransfer> transfers = problem.transfers();
    if (order.size() != transfers.size()) {
        return tl::unexpected(ExchangeLoweringError::overflow());
    }
    MaterializedSchedule schedule = MaterializedSchedule::create(problem.tile_count(), transfers);
    std::vector<TileLastTransfers> last_transfers = last_transfers_table(problem.tile_count());
    std::vector<bool> placed(transfers.size(), false);
    std::vector<std::uint32_t> completions(transfers.size(), 0);
    for (const std::uint32_t transfer : order) {
        bool ready = transfer < transfers.size() && !placed[transfer];
        std::uint32_t not_before = 0;
        if (ready) {
            for (const std::uint32_t predecessor : problem.predecessors(transfer)) {
                if (!placed[predecessor]) {
                    ready = false;
                    break;
                }
                not_before = std::max(not_before, completions[predecessor]);
            }
        }
        if (!ready) {
            return tl::unexpected(ExchangeLoweringError::invariant("exchange order is not a topological permutation"));
        }
        auto completion = schedule.append(topology, transfers, incoming_bases, incoming_counts, transfer, not_before,
                                          immediate_offsets, last_transfers);
        if (!completion) {
            return tl::unexpected(std::move(completion.error()));
        }
        completions[transfer] = *completion;
        placed[transfer] = true;
    }
    schedule.horizon = schedule.builder.event_cycles();
    if (auto finished = schedule.keep_finished_programs(); !finished) {
        return tl::unexpected(ExchangeLoweringError::exchange(finished.error()));
    }
    return schedule;
}

}  // namespace vorn::codegen
