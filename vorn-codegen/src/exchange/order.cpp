#include "vorn/codegen/exchange/order.hpp"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <map>
#include <optional>
#include <queue>
#include <set>
#include <span>
#include <string_view>
#include <utility>
#include <vector>

#include <fmt/format.h>

#include "fatal.hpp"
#include "vorn/runtime/logging.hpp"

namespace vorn::codegen {
namespace {

using detail::fatal_invariant;
using detail::RepairReady;

constexpr std::string_view log_target = "vorn_codegen::exchange::order";

constexpr std::uint32_t no_position = std::numeric_limits<std::uint32_t>::max();

std::uint64_t floor_sqrt(std::uint64_t value) noexcept {
    constexpr std::uint64_t largest_root = 0xFFFFFFFFU;
    auto root = static_cast<std::uint64_t>(std::sqrt(static_cast<double>(value)));
    root = std::min(root, largest_root);
    while (root > 0 && root * root > value) {
        --root;
    }
    while (root < largest_root && (root + 1) * (root + 1) <= value) {
        ++root;
    }
    return root;
}

// rank[t] = position of transfer t in the incumbent's placement order, which
// must hold every transfer exactly once.
std::vector<std::uint64_t> incumbent_ranks(const SchedulingProblem& problem, const MaterializedSchedule& incumbent) {
    const std::size_t n = problem.transfer_count();
    if (n > std::numeric_limits<std::uint32_t>::max()) {
        fatal_invariant("more transfers than 32-bit positions");
    }
    if (incumbent.order.size() != n) {
        fatal_invariant(
            fmt::format("incumbent order holds {} positions for {} transfers", incumbent.order.size(), n));
    }
    constexpr std::uint64_t unranked = std::numeric_limits<std::uint64_t>::max();
    std::vector<std::uint64_t> rank(n, unranked);
    for (std::size_t i = 0; i < n; ++i) {
        const std::uint32_t t = incumbent.order[i];
        if (t >= n || rank[t] != unranked) {
            fatal_invariant(fmt::format("incumbent order is not a permutation: position {} at {}", t, i));
        }
        rank[t] = i;
    }
    return rank;
}

// ---------------------------------------------------------------------------
// Matching waves

constexpr std::uint32_t infinite_distance = std::numeric_limits<std::uint32_t>::max();

// The candidate transfers of one active sender: edges[begin, end).
struct SenderCandidates {
    std::uint32_t begin = 0;
    std::uint32_t end = 0;
};

// One open call of the augmenting-path search: the sender and the index in
// `edges` of the candidate it is looking at.
struct AugmentFrame {
    std::uint32_t sender;
    std::uint32_t next;
};

// The augmenting-path search from `sender` along the BFS layers. It visits
// the candidates exactly as the recursive formulation does (for each
// candidate in list order: a free receiver ends the path; a receiver held by
// a sender one layer further down is searched from that sender first; a
// sender whose list runs out leaves the layers with an infinite distance),
// but keeps the open calls on an explicit stack: a path can pass through
// every sending tile, and there may be tens of thousands of those.
//
// On success every sender on the path, innermost first, takes its current
// candidate and the candidate's receiver takes the sender.
bool augment_ready_matching(std::uint32_t sender, std::span<const std::uint16_t> receiver_of,
                            std::span<const std::uint32_t> edges, std::span<const SenderCandidates> senders,
                            std::vector<std::uint32_t>& sender_match, std::vector<std::uint32_t>& receiver_match,
                            std::vector<std::uint32_t>& distances, std::vector<AugmentFrame>& stack) {
    stack.clear();
    stack.push_back({sender, senders[sender].begin});
    while (!stack.empty()) {
        AugmentFrame& frame = stack.back();
        if (frame.next == senders[frame.sender].end) {
            distances[frame.sender] = infinite_distance;
            stack.pop_back();
            if (!stack.empty()) {
                ++stack.back().next;
            }
            continue;
        }
        const std::uint32_t holder = receiver_match[receiver_of[edges[frame.next]]];
        if (holder == no_position) {
            for (auto open = stack.rbegin(); open != stack.rend(); ++open) {
                const std::uint32_t edge = edges[open->next];
                sender_match[open->sender] = edge;
                receiver_match[receiver_of[edge]] = open->sender;
            }
            return true;
        }
        // A sender on the stack has a finite distance: it got one in the
        // layering and only loses it when its own list runs out.
        if (distances[holder] == distances[frame.sender] + 1) {
            const std::uint32_t next_sender = holder;
            stack.push_back({next_sender, senders[next_sender].begin});
            continue;
        }
        ++frame.next;
    }
    return false;
}

// Hopcroft-Karp over the candidate edges, with buffers kept across waves.
class ReadyMatcher {
public:
    explicit ReadyMatcher(std::size_t receiver_count) : receiver_match_(receiver_count, no_position) {}

    // Matches the senders (in search order) to receivers; afterwards
    // sender_match()[s] is the transfer of sender s or no_position.
    void match(std::span<const std::uint16_t> receiver_of, std::span<const std::uint32_t> edges,
               std::span<const SenderCandidates> senders) {
        const auto count = static_cast<std::uint32_t>(senders.size());
        sender_match_.assign(count, no_position);
        distances_.assign(count, 0);
        for (;;) {
            queue_.clear();
            for (std::uint32_t s = 0; s < count; ++s) {
                if (sender_match_[s] == no_position) {
                    distances_[s] = 0;
                    queue_.push_back(s);
                } else {
                    distances_[s] = infinite_distance;
                }
            }
            bool free_receiver = false;
            for (std::size_t head = 0; head < queue_.size(); ++head) {
                const std::uint32_t s = queue_[head];
                for (std::uint32_t at = senders[s].begin; at < senders[s].end; ++at) {
                    const std::uint32_t holder = receiver_match_[receiver_of[edges[at]]];
                    if (holder == no_position) {
                        free_receiver = true;
                    } else if (distances_[holder] == infinite_distance) {
                        distances_[holder] = distances_[s] + 1;
                        queue_.push_back(holder);
                    }
                }
            }
            if (!free_receiver) {
                break;
            }
            bool augmented = false;
            for (std::uint32_t s = 0; s < count; ++s) {
                if (sender_match_[s] == no_position &&
                    augment_ready_matching(s, receiver_of, edges, senders, sender_match_, receiver_match_,
                                           distances_, stack_)) {
                    augmented = true;
                }
            }
            if (!augmented) {
                break;
            }
        }
        // Leave every receiver unmatched for the next wave; the matched ones
        // are exactly the receivers of the matched transfers.
        for (const std::uint32_t edge : sender_match_) {
            if (edge != no_position) {
                receiver_match_[receiver_of[edge]] = no_position;
            }
        }
    }

    std::span<const std::uint32_t> sender_match() const noexcept { return sender_match_; }

private:
    std::vector<std::uint32_t> sender_match_;
    std::vector<std::uint32_t> receiver_match_;
    std::vector<std::uint32_t> distances_;
    std::vector<std::uint32_t> queue_;
    std::vector<AugmentFrame> stack_;
};

// (rank, transfer position): the order of a ready set.
using RankedTransfer = std::pair<std::uint64_t, std::uint32_t>;

// The ready transfers per sending tile, per receiving tile, lowest rank
// first. A receiver without ready transfers has no key; `senders` holds the
// tiles with at least one.
class WaveReadySets {
public:
    explicit WaveReadySets(std::uint16_t tile_count) : per_sender_(tile_count) {}

    void insert(std::uint16_t sender, std::uint16_t receiver, RankedTransfer transfer) {
        per_sender_[sender][receiver].insert(transfer);
        senders_.insert(sender);
    }

    void erase(std::uint16_t sender, std::uint16_t receiver, RankedTransfer transfer) {
        auto& receivers = per_sender_[sender];
        const auto found = receivers.find(receiver);
        if (found == receivers.end() || found->second.erase(transfer) == 0) {
            fatal_invariant(fmt::format("transfer {} is not in its ready set", transfer.second));
        }
        if (found->second.empty()) {
            receivers.erase(found);
            if (receivers.empty()) {
                senders_.erase(sender);
            }
        }
    }

    const std::set<std::uint16_t>& senders() const noexcept { return senders_; }
    const std::map<std::uint16_t, std::set<RankedTransfer>>& receivers(std::uint16_t sender) const {
        return per_sender_[sender];
    }

private:
    std::vector<std::map<std::uint16_t, std::set<RankedTransfer>>> per_sender_;
    std::set<std::uint16_t> senders_;
};

// The balance test: no tile may send or receive more than twice the even
// share ceil(n / m) of the m = max(1, min(senders, receivers)) tiles.
bool balanced_point_to_point(std::span<const PendingTransfer> transfers, std::uint16_t tile_count) {
    std::vector<std::uint64_t> sends(tile_count, 0);
    std::vector<std::uint64_t> receives(tile_count, 0);
    for (const PendingTransfer& transfer : transfers) {
        ++sends[transfer.source];
        ++receives[transfer.destinations.front().tile];
    }
    std::uint64_t senders = 0;
    std::uint64_t receivers = 0;
    std::uint64_t largest = 0;
    for (std::size_t tile = 0; tile < tile_count; ++tile) {
        senders += sends[tile] != 0 ? 1U : 0U;
        receivers += receives[tile] != 0 ? 1U : 0U;
        largest = std::max({largest, sends[tile], receives[tile]});
    }
    const std::uint64_t n = transfers.size();
    const std::uint64_t m = std::max<std::uint64_t>(1, std::min(senders, receivers));
    const std::uint64_t share = (n + m - 1) / m;
    return largest <= 2 * share;
}

// ---------------------------------------------------------------------------
// Critical-neighbourhood repair

// The per-call state of a repair: rankings, the timing model and the
// predecessor counts.
struct RepairState {
    std::span<const PendingTransfer> transfers;
    std::vector<std::uint64_t> rank;
    std::vector<bool> in_neighborhood;
    std::uint64_t bucket_size = 1;
    std::vector<std::uint32_t> send_mark;                   // per tile
    std::vector<std::uint32_t> receive_mark;                // per tile
    std::vector<std::optional<std::uint32_t>> next_address;  // per tile
    std::vector<std::uint64_t> remaining_load;              // per tile
    std::vector<std::uint32_t> unplaced_predecessors;       // per transfer

    std::uint64_t bucket(std::uint32_t transfer) const { return rank[transfer] / bucket_size; }

    // The key under which a ready transfer sits in its group: it orders by
    // bucket, then neighbourhood, then rank.
    RepairReady static_key(std::uint32_t transfer) const {
        RepairReady key;
        key.window = bucket(transfer);
        key.bucket = key.window;
        key.in_neighborhood = in_neighborhood[transfer];
        key.rank = rank[transfer];
        key.transfer = transfer;
        return key;
    }
};

// The current entry of transfer t under the timing model; window is the
// bucket (the caller zeroes it in broader mode).
RepairReady repair_ready(std::uint32_t t, const RepairState& state) {
    const PendingTransfer& transfer = state.transfers[t];
    RepairReady entry = state.static_key(t);
    entry.ready_cycle = state.send_mark[transfer.source];
    entry.load = state.remaining_load[transfer.source];
    if (transfer.paired_source) {
        entry.ready_cycle = std::max(entry.ready_cycle, state.send_mark[*transfer.paired_source]);
        entry.load += state.remaining_load[*transfer.paired_source];
    }
    for (const PendingDestination& destination : transfer.destinations) {
        entry.ready_cycle = std::max(entry.ready_cycle, state.receive_mark[destination.tile]);
        if (state.next_address[destination.tile] == destination.address) {
            ++entry.continuations;
        }
        entry.load += state.remaining_load[destination.tile];
    }
    return entry;
}

using WriteSite = std::pair<std::uint16_t, std::uint32_t>;  // (destination tile, destination address)

// The transfers sharing one endpoint signature: source, paired source and
// the sorted destination tiles.
struct RepairGroup {
    // The ready, unplaced transfers under their static keys.
    std::set<RepairReady> ready;
    // Per write site, the ready transfers of the group writing there. Only
    // the ready writers of a site can take part in choosing the group's best
    // entry, so the placed and the waiting ones are not kept; a long chain of
    // overwrites of one site then costs nothing per lookup.
    std::map<WriteSite, std::vector<std::uint32_t>> writers;
    std::uint64_t generation = 0;

    void make_ready(std::uint32_t t, const RepairState& state) {
        ready.insert(state.static_key(t));
        for (const PendingDestination& destination : state.transfers[t].destinations) {
            writers[{destination.tile, destination.address}].push_back(t);
        }
    }

    void remove_ready(std::uint32_t t, const RepairState& state) {
        if (ready.erase(state.static_key(t)) == 0) {
            fatal_invariant(fmt::format("repaired transfer {} is not ready in its group", t));
        }
        for (const PendingDestination& destination : state.transfers[t].destinations) {
            const auto site = writers.find({destination.tile, destination.address});
            if (site == writers.end()) {
                fatal_invariant(fmt::format("repaired transfer {} is not a writer of its site", t));
            }
            std::vector<std::uint32_t>& listed = site->second;
            listed.erase(std::find(listed.begin(), listed.end(), t));
            if (listed.empty()) {
                writers.erase(site);
            }
        }
    }

    // The group's best entry now: the transfer of its greatest static key,
    // unless a ready transfer of the same bucket that writes at a
    // destination tile's next address ranks higher under the current timing.
    std::optional<RepairReady> best(const RepairState& state, bool local) const {
        if (ready.empty()) {
            return std::nullopt;
        }
        const std::uint32_t first = ready.rbegin()->transfer;
        RepairReady chosen = repair_ready(first, state);
        if (!local) {
            chosen.window = 0;
        }
        for (const PendingDestination& destination : state.transfers[first].destinations) {
            const std::optional<std::uint32_t> next = state.next_address[destination.tile];
            if (!next) {
                continue;
            }
            const auto site = writers.find({destination.tile, *next});
            if (site == writers.end()) {
                continue;
            }
            for (const std::uint32_t u : site->second) {
                if (state.bucket(u) != chosen.bucket) {
                    continue;
                }
                RepairReady candidate = repair_ready(u, state);
                if (!local) {
                    candidate.window = 0;
                }
                if (!(candidate < chosen)) {
                    chosen = candidate;
                }
            }
        }
        return chosen;
    }
};

// An entry of the repair queue. Greater is popped first: the better entry,
// then the larger group number, then the larger generation.
struct QueuedRepair {
    RepairReady entry;
    std::uint32_t group;
    std::uint64_t generation;
};

struct QueuedRepairLess {
    bool operator()(const QueuedRepair& a, const QueuedRepair& b) const noexcept {
        if (a.entry < b.entry) {
            return true;
        }
        if (b.entry < a.entry) {
            return false;
        }
        if (a.group != b.group) {
            return a.group < b.group;
        }
        return a.generation < b.generation;
    }
};

// The endpoint signature of a transfer as one comparable key: source,
// paired-source flag and tile, then the destination tiles ascending.
std::vector<std::uint16_t> endpoint_signature(const PendingTransfer& transfer) {
    std::vector<std::uint16_t> signature;
    signature.reserve(3 + transfer.destinations.size());
    signature.push_back(transfer.source);
    signature.push_back(transfer.paired_source ? 1U : 0U);
    signature.push_back(transfer.paired_source.value_or(0));
    for (const PendingDestination& destination : transfer.destinations) {
        signature.push_back(destination.tile);
    }
    std::sort(signature.begin() + 3, signature.end());
    return signature;
}

// The critical-neighbourhood membership of every transfer (see
// detail::critical_neighborhood), for an incumbent already checked.
std::vector<bool> neighborhood_members(const SchedulingProblem& problem, const MaterializedSchedule& incumbent) {
    const std::span<const PendingTransfer> transfers = problem.transfers();
    const std::size_t n = transfers.size();
    const std::uint16_t tile_count = problem.tile_count();
    if (incumbent.placements.size() != n) {
        fatal_invariant(
            fmt::format("incumbent holds {} placement slots for {} transfers", incumbent.placements.size(), n));
    }

    // The critical chain: from the latest completion (the larger position
    // on a tie) back along the critical predecessors.
    std::vector<bool> critical(n, false);
    std::optional<std::uint32_t> last;
    for (std::uint32_t t = 0; t < n; ++t) {
        const std::optional<TransferPlacement>& placement = incumbent.placements[t];
        if (placement && (!last || placement->completion >= incumbent.placements[*last]->completion)) {
            last = t;
        }
    }
    for (std::optional<std::uint32_t> at = last; at && !critical[*at];) {
        critical[*at] = true;
        const std::optional<TransferPlacement>& placement = incumbent.placements[*at];
        at = placement ? placement->critical_predecessor : std::nullopt;
        if (at && *at >= n) {
            fatal_invariant(fmt::format("critical predecessor {} is outside the {} transfers", *at, n));
        }
    }

    // Per tile, the transfers touching it in the incumbent's order, each
    // once even when it names the tile twice.
    std::vector<std::size_t> offsets(std::size_t{tile_count} + 1, 0);
    std::vector<std::uint32_t> stamp(tile_count, no_position);
    const auto for_each_tile = [&](std::uint32_t t, auto&& visit) {
        const PendingTransfer& transfer = transfers[t];
        const auto once = [&](std::uint16_t tile) {
            if (stamp[tile] != t) {
                stamp[tile] = t;
                visit(tile);
            }
        };
        once(transfer.source);
        if (transfer.paired_source) {
            once(*transfer.paired_source);
        }
        for (const PendingDestination& destination : transfer.destinations) {
            once(destination.tile);
        }
    };
    for (const std::uint32_t t : incumbent.order) {
        for_each_tile(t, [&](std::uint16_t tile) { ++offsets[std::size_t{tile} + 1]; });
    }
    for (std::size_t tile = 0; tile < tile_count; ++tile) {
        offsets[tile + 1] += offsets[tile];
    }
    std::vector<std::uint32_t> lists(offsets[tile_count]);
    std::vector<std::size_t> fill(offsets.begin(), offsets.end() - 1);
    std::fill(stamp.begin(), stamp.end(), no_position);
    for (const std::uint32_t t : incumbent.order) {
        for_each_tile(t, [&](std::uint16_t tile) { lists[fill[tile]++] = t; });
    }

    std::vector<bool> members(n, false);
    for (std::size_t tile = 0; tile < tile_count; ++tile) {
        const std::span<const std::uint32_t> list(lists.data() + offsets[tile], offsets[tile + 1] - offsets[tile]);
        const std::size_t c = list.size();
        const auto w = static_cast<std::size_t>(floor_sqrt(c));
        std::size_t unmarked = 0;  // list positions below it are marked already
        for (std::size_t i = 0; i < c; ++i) {
            if (!critical[list[i]]) {
                continue;
            }
            const std::size_t to = std::min(c - 1, i + w);
            for (std::size_t at = std::max(unmarked, i >= w ? i - w : 0); at <= to; ++at) {
                members[list[at]] = true;
            }
            unmarked = std::max(unmarked, to + 1);
        }
    }
    return members;
}

}  // namespace

// ---------------------------------------------------------------------------

std::optional<std::vector<std::uint32_t>> point_to_point_matching_wave_order(const SchedulingProblem& problem,
                                                                             const MaterializedSchedule& incumbent) {
    const std::span<const PendingTransfer> transfers = problem.transfers();
    const std::size_t n = transfers.size();
    for (const PendingTransfer& transfer : transfers) {
        if (transfer.destinations.size() != 1) {
            return std::nullopt;
        }
    }
    if (!balanced_point_to_point(transfers, problem.tile_count())) {
        return std::nullopt;
    }
    for (const PendingTransfer& transfer : transfers) {
        if (transfer.words == 0 || (transfer.width == ExchangeItemWidth::Paired64 && transfer.words % 2 != 0)) {
            return std::nullopt;
        }
    }
    const std::vector<std::uint64_t> rank = incumbent_ranks(problem, incumbent);

    std::vector<std::uint16_t> receiver_of(n);
    std::vector<std::uint32_t> unplaced(n);
    WaveReadySets ready(problem.tile_count());
    for (std::uint32_t t = 0; t < n; ++t) {
        receiver_of[t] = transfers[t].destinations.front().tile;
        unplaced[t] = static_cast<std::uint32_t>(problem.predecessors(t).size());
        if (unplaced[t] == 0) {
            ready.insert(transfers[t].source, receiver_of[t], {rank[t], t});
        }
    }

    std::vector<std::uint32_t> output;
    output.reserve(n);
    ReadyMatcher matcher(problem.tile_count());
    std::vector<std::uint32_t> edges;
    struct ActiveSender {
        std::uint64_t first_rank;
        SenderCandidates candidates;
    };
    std::vector<ActiveSender> active;
    std::vector<SenderCandidates> search_order;
    std::vector<std::uint32_t> wave;
    const auto by_rank = [&rank](std::uint32_t a, std::uint32_t b) { return rank[a] < rank[b]; };
    while (output.size() < n) {
        // Candidate lists: per sender the lowest-rank transfer to each of
        // its receivers, sorted by rank; senders by their first candidate.
        edges.clear();
        active.clear();
        for (const std::uint16_t sender : ready.senders()) {
            const auto begin = static_cast<std::uint32_t>(edges.size());
            for (const auto& [receiver, ranked] : ready.receivers(sender)) {
                edges.push_back(ranked.begin()->second);
            }
            const auto end = static_cast<std::uint32_t>(edges.size());
            std::sort(edges.begin() + begin, edges.begin() + end, by_rank);
            active.push_back({rank[edges[begin]], {begin, end}});
        }
        std::sort(active.begin(), active.end(),
                  [](const ActiveSender& a, const ActiveSender& b) { return a.first_rank < b.first_rank; });
        search_order.clear();
        for (const ActiveSender& sender : active) {
            search_order.push_back(sender.candidates);
        }

        matcher.match(receiver_of, edges, search_order);
        wave.clear();
        for (const std::uint32_t transfer : matcher.sender_match()) {
            if (transfer != no_position) {
                wave.push_back(transfer);
            }
        }
        if (wave.empty()) {
            return std::nullopt;
        }
        // One transfer per sender, so ordering by sender tile first changes
        // nothing once the wave is sorted by rank.
        std::sort(wave.begin(), wave.end(), by_rank);
        for (const std::uint32_t t : wave) {
            ready.erase(transfers[t].source, receiver_of[t], {rank[t], t});
            output.push_back(t);
            for (const std::uint32_t successor : problem.successors(t)) {
                if (--unplaced[successor] == 0) {
                    ready.insert(transfers[successor].source, receiver_of[successor], {rank[successor], successor});
                }
            }
        }
    }
    return output;
}

std::optional<std::vector<std::uint32_t>> critical_neighborhood_order(const SchedulingProblem& problem,
                                                                      const MaterializedSchedule& incumbent,
                                                                      bool local) {
    const std::span<const PendingTransfer> transfers = problem.transfers();
    const std::size_t n = transfers.size();
    std::vector<std::uint64_t> rank = incumbent_ranks(problem, incumbent);
    if (n < 2) {
        return incumbent.order;
    }
    std::vector<bool> neighborhood = neighborhood_members(problem, incumbent);
    if (std::count(neighborhood.begin(), neighborhood.end(), true) <= 1) {
        return incumbent.order;
    }

    const std::uint16_t tile_count = problem.tile_count();
    RepairState state;
    state.transfers = transfers;
    state.rank = std::move(rank);
    state.in_neighborhood = std::move(neighborhood);
    state.bucket_size = floor_sqrt(n);
    state.send_mark.assign(tile_count, 0);
    state.receive_mark.assign(tile_count, 0);
    state.next_address.assign(tile_count, std::nullopt);
    state.remaining_load.assign(problem.endpoint_load().begin(), problem.endpoint_load().end());
    state.unplaced_predecessors.resize(n);

    std::vector<RepairGroup> groups;
    std::vector<std::uint32_t> group_of(n);
    {
        std::map<std::vector<std::uint16_t>, std::uint32_t> group_numbers;
        for (std::uint32_t t = 0; t < n; ++t) {
            const auto [found, created] =
                group_numbers.try_emplace(endpoint_signature(transfers[t]), static_cast<std::uint32_t>(groups.size()));
            if (created) {
                groups.emplace_back();
            }
            group_of[t] = found->second;
            state.unplaced_predecessors[t] = static_cast<std::uint32_t>(problem.predecessors(t).size());
            if (state.unplaced_predecessors[t] == 0) {
                groups[group_of[t]].make_ready(t, state);
            }
        }
    }

    std::priority_queue<QueuedRepair, std::vector<QueuedRepair>, QueuedRepairLess> queue;
    for (std::uint32_t g = 0; g < groups.size(); ++g) {
        if (const std::optional<RepairReady> best = groups[g].best(state, local)) {
            queue.push({*best, g, 0});
        }
    }

    const std::uint64_t budget = detail::repair_visit_budget(n);
    std::uint64_t visits = 0;
    std::vector<std::uint32_t> output;
    output.reserve(n);
    std::vector<std::uint32_t> touched_groups;
    while (!queue.empty()) {
        const QueuedRepair popped = queue.top();
        queue.pop();
        ++visits;
        if (!local && visits > budget) {
            VORN_EVENT(runtime::Level::Debug, log_target, "broader exchange repair reached its queue-work budget",
                       VORN_FIELD(transfers, n), VORN_FIELD(visits, visits));
            return std::nullopt;
        }
        RepairGroup& group = groups[popped.group];
        if (popped.generation != group.generation) {
            continue;
        }
        const std::optional<RepairReady> current = group.best(state, local);
        if (!current) {
            continue;
        }
        if (!(*current == popped.entry)) {
            queue.push({*current, popped.group, group.generation});
            continue;
        }

        const std::uint32_t t = current->transfer;
        const PendingTransfer& transfer = transfers[t];
        group.remove_ready(t, state);
        const std::uint64_t finish_wide = std::uint64_t{current->ready_cycle} + transfer.item_count();
        if (finish_wide > std::numeric_limits<std::uint32_t>::max()) {
            return incumbent.order;
        }
        const auto finish = static_cast<std::uint32_t>(finish_wide);
        state.send_mark[transfer.source] = finish;
        if (transfer.paired_source) {
            state.send_mark[*transfer.paired_source] = finish;
        }
        if (transfer.words <= 0x3FFFFFFFU) {
            for (const PendingDestination& destination : transfer.destinations) {
                state.receive_mark[destination.tile] = finish;
                const std::uint64_t next = std::uint64_t{destination.address} + 4U * std::uint64_t{transfer.words};
                state.next_address[destination.tile] =
                    next <= std::numeric_limits<std::uint32_t>::max()
                        ? std::optional<std::uint32_t>(static_cast<std::uint32_t>(next))
                        : std::nullopt;
            }
        }
        const std::uint64_t items = transfer.item_count();
        const auto consume = [&state, items](std::uint16_t tile) {
            std::uint64_t& load = state.remaining_load[tile];
            load = load > items ? load - items : 0;
        };
        consume(transfer.source);
        if (transfer.paired_source) {
            consume(*transfer.paired_source);
        }
        for (const PendingDestination& destination : transfer.destinations) {
            consume(destination.tile);
        }
        output.push_back(t);

        touched_groups.clear();
        touched_groups.push_back(popped.group);
        for (const std::uint32_t successor : problem.successors(t)) {
            if (--state.unplaced_predecessors[successor] == 0) {
                groups[group_of[successor]].make_ready(successor, state);
                touched_groups.push_back(group_of[successor]);
            }
        }
        std::sort(touched_groups.begin(), touched_groups.end());
        touched_groups.erase(std::unique(touched_groups.begin(), touched_groups.end()), touched_groups.end());
        for (const std::uint32_t g : touched_groups) {
            RepairGroup& changed = groups[g];
            ++changed.generation;
            if (const std::optional<RepairReady> best = changed.best(state, local)) {
                queue.push({*best, g, changed.generation});
            }
        }
    }

    VORN_EVENT(runtime::Level::Debug, log_target, "finished exchange repair ordering", VORN_FIELD(transfers, n),
               VORN_FIELD(visits, visits), VORN_FIELD(local, local));
    if (output.size() != n) {
        return incumbent.order;
    }
    return output;
}

namespace detail {

std::vector<bool> critical_neighborhood(const SchedulingProblem& problem, const MaterializedSchedule& incumbent) {
    // Checks the incumbent's order as the repair does before asking.
    (void)incumbent_ranks(problem, incumbent);
    return neighborhood_members(problem, incumbent);
}

std::vector<std::optional<std::uint32_t>> maximum_ready_matching(
    std::span<const std::vector<std::uint32_t>> candidates, std::span<const std::uint16_t> receiver_of,
    std::size_t receiver_count) {
    std::vector<std::uint32_t> edges;
    std::vector<SenderCandidates> senders;
    for (const std::vector<std::uint32_t>& list : candidates) {
        const auto begin = static_cast<std::uint32_t>(edges.size());
        for (const std::uint32_t edge : list) {
            if (edge >= receiver_of.size() || receiver_of[edge] >= receiver_count) {
                fatal_invariant(fmt::format("candidate {} has no receiver below {}", edge, receiver_count));
            }
            edges.push_back(edge);
        }
        senders.push_back({begin, static_cast<std::uint32_t>(edges.size())});
    }
    ReadyMatcher matcher(receiver_count);
    matcher.match(receiver_of, edges, senders);
    std::vector<std::optional<std::uint32_t>> result;
    result.reserve(senders.size());
    for (const std::uint32_t edge : matcher.sender_match()) {
        result.push_back(edge == no_position ? std::nullopt : std::optional<std::uint32_t>(edge));
    }
    return result;
}

}  // namespace detail
}  // namespace vorn::codegen
