#include "vorn/codegen/exchange/materialize.hpp"

#include <algorithm>
#include <bit>
#include <chrono>
#include <cstddef>
#include <map>
#include <optional>
#include <tuple>
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

// One competitor for the next placement, packed into a 128-bit key whose
// ascending order is the placement priority: earlier ready cycle, then more
// load, then the transfer's static rank (more destinations, more items,
// lower source tile, lower position). The ready cycle and load are the
// values last computed for the entry and may lag behind the schedule.
//
// Layout: `high` = ready cycle (32 bits) and the upper half of the inverted
// load; `low` = the lower half of the inverted load and the rank (32 bits).
struct ReadyTransfer {
    std::uint64_t high = 0;
    std::uint64_t low = 0;

    static constexpr ReadyTransfer make(std::uint32_t ready_cycle, std::uint64_t load, std::uint32_t rank) noexcept {
        const std::uint64_t inverted = ~load;
        return ReadyTransfer{(std::uint64_t{ready_cycle} << 32) | (inverted >> 32), (inverted << 32) | rank};
    }
    constexpr std::uint32_t ready_cycle() const noexcept { return static_cast<std::uint32_t>(high >> 32); }
    constexpr std::uint64_t load() const noexcept { return ~((high << 32) | (low >> 32)); }
    constexpr std::uint32_t rank() const noexcept { return static_cast<std::uint32_t>(low); }
    constexpr ReadyTransfer with_ready_cycle(std::uint32_t cycle) const noexcept {
        return ReadyTransfer{(std::uint64_t{cycle} << 32) | (high & 0xffff'ffffU), low};
    }

    // True when this entry is placed before `other`.
    constexpr bool more_urgent_than(const ReadyTransfer& other) const noexcept {
        return high != other.high ? high < other.high : low < other.low;
    }
    friend constexpr bool operator==(const ReadyTransfer&, const ReadyTransfer&) noexcept = default;
};

static_assert(ReadyTransfer::make(7, 0x1'2345'6789'abcdULL, 3).load() == 0x1'2345'6789'abcdULL);
static_assert(ReadyTransfer::make(7, 0x1'2345'6789'abcdULL, 3).with_ready_cycle(9).ready_cycle() == 9);
static_assert(ReadyTransfer::make(7, 0x1'2345'6789'abcdULL, 3).with_ready_cycle(9).load() == 0x1'2345'6789'abcdULL);
static_assert(ReadyTransfer::make(1, 0, 9).more_urgent_than(ReadyTransfer::make(2, ~0ULL, 0)));
static_assert(ReadyTransfer::make(1, 0x1'0000'0000ULL, 9).more_urgent_than(ReadyTransfer::make(1, 0xffff'ffffULL, 0)));
static_assert(ReadyTransfer::make(1, 5, 2).more_urgent_than(ReadyTransfer::make(1, 5, 3)));

// Heap order for the std heap algorithms: the front is the most urgent entry.
struct LessUrgent {
    bool operator()(const ReadyTransfer& a, const ReadyTransfer& b) const noexcept { return b.more_urgent_than(a); }
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
    // Lets `rewrite` change any entries (given as one span), then restores
    // the order.
    template <typename Rewrite>
    void rewrite_all(Rewrite rewrite) {
        rewrite(std::span<ReadyTransfer>(entries_));
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
            if (child + 1 < size && entries_[child + 1].more_urgent_than(entries_[child])) {
                ++child;
            }
            if (!entries_[child].more_urgent_than(moving)) {
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
        rank_transfers();
        tiles_by_rank_.resize(transfers_.size());
        for (std::uint32_t t = 0; t < transfers_.size(); ++t) {
            const PendingTransfer& pending = transfers_[t];
            remaining_predecessors_[t] = problem.predecessors(t).size();
            if (pending.destinations.size() >= 2) {
                multicast_ = true;
            }
            const std::size_t begin = tile_list_.size();
            tile_list_.push_back(pending.source);
            if (pending.paired_source) {
                tile_list_.push_back(*pending.paired_source);
            }
            for (const PendingDestination& destination : pending.destinations) {
                tile_list_.push_back(destination.tile);
            }
            tiles_by_rank_[rank_of_[t]] = TransferTiles{begin, static_cast<std::uint32_t>(tile_list_.size() - begin),
                                                        pending.paired_source ? 2U : 1U, 0};
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
            const ReadyTransfer updated = refreshed(top);
            if (updated == top) {
                remove_top(top);
                return by_rank_[top.rank()];
            }
            ++stale;
            const std::size_t size = heads_.size();
            const std::size_t log2 = static_cast<std::size_t>(std::bit_width(size)) - 1;
            if (size > 127 && 4 * stale * log2 >= size) {
                heads_.rewrite_all([this](std::span<ReadyTransfer> entries) { refresh_all(entries); });
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
            for (const std::uint16_t tile : tiles_of(tiles_by_rank_[rank_of_[transfer]])) {
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
    // Where a transfer's tiles are listed: `senders` send tiles (source, then
    // paired source), then the destination tiles in order; and its
    // dependency cycle, fixed once the transfer is ready. Kept by rank, so
    // that refreshing a queue entry needs nothing else.
    struct TransferTiles {
        std::size_t begin = 0;
        std::uint32_t count = 0;
        std::uint32_t senders = 0;
        std::uint32_t dependency_cycle = 0;
    };

    // Orders the transfers by the priority keys that never change: more
    // destinations, more items, lower source tile, lower position.
    void rank_transfers() {
        by_rank_.resize(transfers_.size());
        for (std::uint32_t t = 0; t < transfers_.size(); ++t) {
            by_rank_[t] = t;
        }
        const auto static_key = [this](std::uint32_t t) {
            const PendingTransfer& pending = transfers_[t];
            const auto receivers = static_cast<std::uint16_t>(pending.destinations.size());
            return std::tuple(static_cast<std::uint16_t>(~receivers), ~pending.item_count(), pending.source, t);
        };
        std::sort(by_rank_.begin(), by_rank_.end(),
                  [&](std::uint32_t a, std::uint32_t b) { return static_key(a) < static_key(b); });
        rank_of_.resize(transfers_.size());
        for (std::uint32_t rank = 0; rank < by_rank_.size(); ++rank) {
            rank_of_[by_rank_[rank]] = rank;
        }
    }

    ReadyTransfer make_entry(std::uint32_t transfer) {
        const std::uint32_t rank = rank_of_[transfer];
        TransferTiles& tiles = tiles_by_rank_[rank];
        tiles.dependency_cycle = ready_cycles_[transfer];
        return ReadyTransfer::make(tiles.dependency_cycle, load_of(tiles_of(tiles)), rank);
    }

    std::span<const std::uint16_t> tiles_of(const TransferTiles& tiles) const {
        return std::span<const std::uint16_t>(tile_list_).subspan(tiles.begin, tiles.count);
    }

    // The sum of the remaining loads of these tiles.
    std::uint64_t load_of(std::span<const std::uint16_t> tiles) const {
        std::uint64_t load = 0;
        for (const std::uint16_t tile : tiles) {
            load = saturating_add(load, remaining_load_[tile]);
        }
        return load;
    }

    // The entry with its ready cycle (the dependency cycle and the marks of
    // the transfer's tiles: send marks on the send side, receive marks
    // elsewhere) and, in a phase with a multicast, its load recomputed.
    ReadyTransfer refreshed(const ReadyTransfer& entry) const {
        const TransferTiles& info = tiles_by_rank_[entry.rank()];
        const std::span<const std::uint16_t> tiles = tiles_of(info);
        const TileMarks* marks = schedule_.tile_marks.data();
        std::uint32_t cycle = info.dependency_cycle;
        for (std::size_t i = 0; i < info.senders; ++i) {
            cycle = std::max(cycle, marks[tiles[i]].send_mark);
        }
        for (std::size_t i = info.senders; i < tiles.size(); ++i) {
            cycle = std::max(cycle, marks[tiles[i]].receive_mark);
        }
        return multicast_ ? ReadyTransfer::make(cycle, load_of(tiles), entry.rank()) : entry.with_ready_cycle(cycle);
    }

    // Refreshes every entry. The entries name transfers in no useful order,
    // so each refresh would wait for two dependent memory reads (where the
    // tiles are listed, then the list); fetching both some entries ahead
    // lets those reads overlap.
    void refresh_all(std::span<ReadyTransfer> entries) const {
        constexpr std::size_t where_ahead = 16;
        constexpr std::size_t list_ahead = 8;
        const std::size_t count = entries.size();
        for (std::size_t i = 0; i < count; ++i) {
            if (i + where_ahead < count) {
                __builtin_prefetch(&tiles_by_rank_[entries[i + where_ahead].rank()]);
            }
            if (i + list_ahead < count) {
                __builtin_prefetch(tile_list_.data() + tiles_by_rank_[entries[i + list_ahead].rank()].begin);
            }
            entries[i] = refreshed(entries[i]);
        }
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
        const std::optional<std::uint32_t> group = group_of_[by_rank_[top.rank()]];
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
        heads_.replace_top(members.top().with_ready_cycle(top.ready_cycle()));
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
    std::vector<std::uint32_t> by_rank_;
    std::vector<std::uint32_t> rank_of_;
    std::vector<TransferTiles> tiles_by_rank_;
    std::vector<std::uint16_t> tile_list_;
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
