#include "vorn/snapgen/families.hpp"

#include <algorithm>
#include <array>
#include <numeric>
#include <optional>
#include <utility>
#include <vector>

#include "vorn/snapgen/random.hpp"
#include "vorn/snapgen/rules.hpp"

namespace vorn::snapgen {
namespace {

using codegen::ExchangeItemWidth;
using codegen::ExchangeScheduleDestination;
using codegen::ExchangeScheduleProblem;
using codegen::ExchangeScheduleTransfer;

// Buffers are 8-byte aligned, which suits both widths.
constexpr std::uint32_t buffer_alignment = 8;

// Share of a mixed phase's transfers that forward a payload received earlier
// in the same phase.
constexpr std::uint32_t mixed_relay_percent = 5;

// Family shares of a mixed phase (all-to-all, broadcast, halo), rotating with
// the phase's position so that consecutive phases differ in character.
constexpr std::array<std::array<std::uint32_t, 3>, 4> mixed_shares{{
    {50, 20, 30},
    {20, 30, 50},
    {30, 50, 20},
    {34, 33, 33},
}};

constexpr std::uint32_t round_up(std::uint32_t value, std::uint32_t step) { return (value + step - 1) / step * step; }

// One half of a tile's memory handed out front to back; when a buffer no
// longer fits, allocation starts again at the front. Reused bytes only add
// ordering between transfers, never a broken rule.
class BumpRegion {
public:
    BumpRegion(std::uint32_t begin, std::uint32_t end) : begin_(begin), end_(end), cursor_(begin) {}

    // bytes is at most the region size (max_repeats buffers of max_words).
    std::uint32_t allocate(std::uint32_t bytes) {
        const std::uint32_t size = round_up(bytes, buffer_alignment);
        if (end_ - cursor_ < size) {
            cursor_ = begin_;
        }
        const std::uint32_t address = cursor_;
        cursor_ += size;
        return address;
    }

private:
    std::uint32_t begin_;
    std::uint32_t end_;
    std::uint32_t cursor_;
};

struct TileMemory {
    BumpRegion sends;
    BumpRegion receives;
};

// A transfer as a family proposes it, before buffers are assigned.
struct TransferShape {
    std::uint16_t source = 0;
    std::vector<std::uint16_t> destinations;
    std::uint32_t words = 0;
    bool paired = false;  // wished for; kept only where the rules allow it
};

// State shared by the families while one phase is generated: its random
// stream and every tile's buffers.
class PhaseContext {
public:
    PhaseContext(const GeneratorPlan& plan, std::uint32_t index)
        : plan_(plan), random_(derive_seed(plan.seed, index)), marks_(plan.tile_count, 0) {
        // Even phases send from the lower half and receive into the upper
        // one, odd phases the other way round, so both memory element sizes
        // are exercised on both sides.
        const bool sends_low = index % 2 == 0;
        const BumpRegion low(reserved_end, upper_region_begin);
        const BumpRegion high(upper_region_begin, memory_end);
        memory_.assign(plan.tile_count, TileMemory{sends_low ? low : high, sends_low ? high : low});
    }

    const GeneratorPlan& plan() const { return plan_; }
    SplitMix64& random() { return random_; }
    std::uint16_t tile_count() const { return plan_.tile_count; }

    std::uint32_t draw_words() { return random_.between(plan_.words.min, plan_.words.max); }
    bool draw_paired() { return plan_.paired_percent > 0 && random_.chance(plan_.paired_percent); }

    bool in_range(std::uint32_t tile) const { return tile < plan_.tile_count; }

    // Whether the source's pair and every destination's pair are whole
    // within the tiles and no destination lies in the source's pair.
    bool pairable(const TransferShape& shape) const {
        if (!in_range(partner_tile(shape.source))) {
            return false;
        }
        return std::all_of(shape.destinations.begin(), shape.destinations.end(), [&](std::uint16_t tile) {
            return in_range(partner_tile(tile)) && (tile >> 1) != (shape.source >> 1);
        });
    }

    // Paired payloads: the word count rounded down to a multiple of 4, but
    // not below min_paired_words nor below the word range; 0 when no
    // multiple of 4 of the range qualifies.
    std::uint32_t paired_words(std::uint32_t words) const {
        const std::uint32_t lowest = round_up(std::max(plan_.words.min, min_paired_words), 4);
        const std::uint32_t rounded = std::max(words & ~3U, lowest);
        return rounded <= plan_.words.max ? rounded : 0;
    }

    // Assigns buffers: fresh source buffers unless `forwarded_from` names
    // the one source address to read, and a fresh receive buffer on every
    // destination.
    ExchangeScheduleTransfer build(TransferShape shape, std::optional<std::uint32_t> forwarded_from = std::nullopt) {
        bool paired = false;
        if (shape.paired && pairable(shape)) {
            if (const std::uint32_t words = paired_words(shape.words); words != 0) {
                paired = true;
                shape.words = words;
                // Whole pairs, in ascending order.
                std::vector<std::uint16_t> tiles;
                for (const std::uint16_t tile : shape.destinations) {
                    tiles.push_back(static_cast<std::uint16_t>(tile & ~1U));
                }
                std::sort(tiles.begin(), tiles.end());
                tiles.erase(std::unique(tiles.begin(), tiles.end()), tiles.end());
                shape.destinations.clear();
                for (const std::uint16_t even : tiles) {
                    shape.destinations.push_back(even);
                    shape.destinations.push_back(static_cast<std::uint16_t>(even + 1));
                }
            }
        }
        ExchangeScheduleTransfer transfer;
        transfer.source = shape.source;
        transfer.words = shape.words;
        transfer.width = paired ? ExchangeItemWidth::Paired64 : ExchangeItemWidth::Word32;
        const std::uint32_t stride = round_up(4 * shape.words, buffer_alignment);
        if (forwarded_from) {
            transfer.source_addresses = {*forwarded_from};
        } else {
            // One source buffer per Repeat iteration, back to back.
            const std::uint32_t repeats = random_.between(plan_.repeats.min, plan_.repeats.max);
            const std::uint32_t base = memory_[shape.source].sends.allocate(stride * repeats);
            for (std::uint32_t i = 0; i < repeats; ++i) {
                transfer.source_addresses.push_back(base + i * stride);
            }
        }
        for (const std::uint16_t tile : shape.destinations) {
            transfer.destinations.push_back(ExchangeScheduleDestination{tile, memory_[tile].receives.allocate(stride)});
        }
        return transfer;
    }

    // `count` distinct values below `universe`, none of them `excluded`
    // (pass universe or more for none), ascending. count < universe.
    std::vector<std::uint16_t> distinct_sample(std::uint32_t count, std::uint32_t universe, std::uint32_t excluded) {
        ++stamp_;
        if (marks_.size() < universe) {
            marks_.resize(universe, 0);
        }
        if (excluded < universe) {
            marks_[excluded] = stamp_;
        }
        std::vector<std::uint16_t> values;
        while (values.size() < count) {
            const auto value = static_cast<std::uint32_t>(random_.below(universe));
            if (marks_[value] != stamp_) {
                marks_[value] = stamp_;
                values.push_back(static_cast<std::uint16_t>(value));
            }
        }
        std::sort(values.begin(), values.end());
        return values;
    }

private:
    const GeneratorPlan& plan_;
    SplitMix64 random_;
    std::vector<TileMemory> memory_;
    std::vector<std::uint32_t> marks_;
    std::uint32_t stamp_ = 0;
};

// Groups of group_size consecutive tiles (the last one may be smaller; a
// single leftover tile has nobody to talk to). Within a group, every tile
// sends to every other, one shift at a time: first each tile to its next
// neighbour, then to the one after, and so on. The groups are visited
// starting at `first_group`, wrapping around, and the round repeats.
class AllToAllStream {
public:
    AllToAllStream(const PhaseContext& context, std::uint32_t first_group)
        : tiles_(context.tile_count()), group_size_(context.plan().group_size) {
        groups_ = tiles_ / group_size_ + (tiles_ % group_size_ >= 2 ? 1 : 0);
        group_ = first_group % groups_;
    }

    TransferShape next(PhaseContext& context) {
        const std::uint32_t start = group_ * group_size_;
        const std::uint32_t size = std::min(group_size_, tiles_ - start);
        TransferShape shape;
        shape.source = static_cast<std::uint16_t>(start + member_);
        shape.destinations = {static_cast<std::uint16_t>(start + (member_ + shift_) % size)};
        shape.words = context.draw_words();
        shape.paired = context.draw_paired();
        if (++member_ == size) {
            member_ = 0;
            if (++shift_ == size) {
                shift_ = 1;
                group_ = (group_ + 1) % groups_;
            }
        }
        return shape;
    }

private:
    std::uint32_t tiles_;
    std::uint32_t group_size_;
    std::uint32_t groups_ = 0;
    std::uint32_t group_ = 0;
    std::uint32_t member_ = 0;
    std::uint32_t shift_ = 1;
};

// Sources visit every tile once in a shuffled order before any repeats; each
// multicasts to a random set of destinations (fanout many; for a paired
// transfer half as many whole pairs, rounded up).
class BroadcastStream {
public:
    explicit BroadcastStream(PhaseContext& context) : sources_(context.tile_count()) {
        std::iota(sources_.begin(), sources_.end(), std::uint16_t{0});
        for (std::size_t i = sources_.size() - 1; i > 0; --i) {
            std::swap(sources_[i], sources_[context.random().below(i + 1)]);
        }
    }

    TransferShape next(PhaseContext& context) {
        const GeneratorPlan& plan = context.plan();
        TransferShape shape;
        shape.source = sources_[cursor_];
        cursor_ = (cursor_ + 1) % sources_.size();
        const std::uint32_t fanout = context.random().between(plan.fanout.min, plan.fanout.max);
        shape.words = context.draw_words();
        shape.paired = context.draw_paired();
        // Whole pairs other than the source's own.
        const std::uint32_t pairs = context.tile_count() / 2;
        const std::uint32_t wanted_pairs = (fanout + 1) / 2;
        if (shape.paired && context.in_range(partner_tile(shape.source)) && wanted_pairs < pairs) {
            for (const std::uint16_t pair : context.distinct_sample(wanted_pairs, pairs, shape.source >> 1)) {
                shape.destinations.push_back(static_cast<std::uint16_t>(2 * pair));
            }
        } else {
            shape.paired = false;
            shape.destinations = context.distinct_sample(fanout, context.tile_count(), shape.source);
        }
        return shape;
    }

private:
    std::vector<std::uint16_t> sources_;
    std::size_t cursor_ = 0;
};

// Tiles on a columns x rows grid, tile (x, y) = y * columns + x, each sending
// its faces to its north, east, south and west neighbours (no wrap-around at
// the edges). North and south faces have one size, east and west another,
// both drawn once per stream, as a stencil's block would give. The tiles are
// visited from `first_cell`, wrapping around, and the round repeats.
class HaloStream {
public:
    HaloStream(PhaseContext& context, std::uint32_t first_cell)
        : grid_(context.plan().grid),
          cells_(grid_.columns * grid_.rows),
          cell_(first_cell % cells_),
          vertical_words_(context.draw_words()),
          horizontal_words_(context.draw_words()) {}

    TransferShape next(PhaseContext& context) {
        for (;;) {
            const std::uint32_t x = cell_ % grid_.columns;
            const std::uint32_t y = cell_ / grid_.columns;
            const std::uint32_t direction = direction_;
            if (++direction_ == 4) {
                direction_ = 0;
                cell_ = (cell_ + 1) % cells_;
            }
            std::uint32_t neighbour = 0;
            switch (direction) {
            case 0:  // north
                if (y == 0) {
                    continue;
                }
                neighbour = cell_of(x, y - 1);
                break;
            case 1:  // east
                if (x + 1 == grid_.columns) {
                    continue;
                }
                neighbour = cell_of(x + 1, y);
                break;
            case 2:  // south
                if (y + 1 == grid_.rows) {
                    continue;
                }
                neighbour = cell_of(x, y + 1);
                break;
            default:  // west
                if (x == 0) {
                    continue;
                }
                neighbour = cell_of(x - 1, y);
                break;
            }
            TransferShape shape;
            shape.source = static_cast<std::uint16_t>(cell_of(x, y));
            shape.destinations = {static_cast<std::uint16_t>(neighbour)};
            shape.words = direction % 2 == 0 ? vertical_words_ : horizontal_words_;
            shape.paired = context.draw_paired();
            return shape;
        }
    }

private:
    std::uint32_t cell_of(std::uint32_t x, std::uint32_t y) const { return y * grid_.columns + x; }

    GridShape grid_;
    std::uint32_t cells_;
    std::uint32_t cell_;
    std::uint32_t direction_ = 0;
    std::uint32_t vertical_words_;
    std::uint32_t horizontal_words_;
};

// Ordinary multicasts that the width selection can widen to paired
// transfers. Each whole pair sends from one lane only, drawn once per pair,
// so the other lane's transmitter stays free to be borrowed; destinations
// are whole pairs other than the source's own (F destinations asked for:
// half as many pairs, rounded up). Word counts follow the paired payload
// rule (multiples of 4, at least 8), at which the paired receive rows always
// encode; a word range without such a count gets even counts. The sending
// pairs
// are visited in a shuffled order before any sends again. A last tile
// without a partner (odd tile count) takes no part.
class PairsStream {
public:
    explicit PairsStream(PhaseContext& context) : pairs_(context.tile_count() / 2) {
        order_.resize(pairs_);
        std::iota(order_.begin(), order_.end(), std::uint16_t{0});
        for (std::size_t i = order_.size() - 1; i > 0; --i) {
            std::swap(order_[i], order_[context.random().below(i + 1)]);
        }
        lanes_.reserve(pairs_);
        for (std::uint32_t pair = 0; pair < pairs_; ++pair) {
            lanes_.push_back(static_cast<std::uint16_t>(context.random().below(2)));
        }
    }

    TransferShape next(PhaseContext& context) {
        const GeneratorPlan& plan = context.plan();
        const std::uint16_t pair = order_[cursor_];
        cursor_ = (cursor_ + 1) % order_.size();
        TransferShape shape;
        shape.source = static_cast<std::uint16_t>(2 * pair + lanes_[pair]);
        const std::uint32_t fanout = context.random().between(plan.fanout.min, plan.fanout.max);
        const std::uint32_t wanted_pairs = std::min((fanout + 1) / 2, pairs_ - 1);
        const std::uint32_t words = context.draw_words();
        const std::uint32_t wide = context.paired_words(words);
        shape.words = wide != 0 ? wide : even_words(words, plan.words);
        shape.paired = context.draw_paired();
        for (const std::uint16_t other : context.distinct_sample(wanted_pairs, pairs_, pair)) {
            shape.destinations.push_back(static_cast<std::uint16_t>(2 * other));
            shape.destinations.push_back(static_cast<std::uint16_t>(2 * other + 1));
        }
        return shape;
    }

private:
    // The drawn count when even, else its upper neighbour when the range
    // allows, else its lower one (the options guarantee an even count).
    static std::uint32_t even_words(std::uint32_t words, CountRange range) {
        if (words % 2 == 0) {
            return words;
        }
        return words + 1 <= range.max ? words + 1 : words - 1;
    }

    std::uint32_t pairs_;
    std::vector<std::uint16_t> order_;  // sending pairs, shuffled
    std::vector<std::uint16_t> lanes_;  // per pair, the lane that sends
    std::size_t cursor_ = 0;
};

template <typename Stream>
void take(PhaseContext& context, Stream& stream, std::uint32_t count, std::vector<ExchangeScheduleTransfer>& out) {
    for (std::uint32_t i = 0; i < count; ++i) {
        out.push_back(context.build(stream.next(context)));
    }
}

// A payload that arrived earlier in the phase is sent on from where it
// landed: the forward reads the bytes the earlier transfer writes, so it must
// be placed after it.
ExchangeScheduleTransfer relay(PhaseContext& context, const ExchangeScheduleTransfer& origin) {
    const ExchangeScheduleDestination& landing =
        origin.destinations[context.random().below(origin.destinations.size())];
    TransferShape shape;
    shape.source = landing.tile;
    shape.destinations = context.distinct_sample(1, context.tile_count(), landing.tile);
    shape.words = origin.words;
    return context.build(std::move(shape), landing.address);
}

std::vector<ExchangeScheduleTransfer> mixed_transfers(PhaseContext& context, std::uint32_t index) {
    const GeneratorPlan& plan = context.plan();
    const std::uint32_t relays = plan.transfers * mixed_relay_percent / 100;
    const std::uint32_t base = plan.transfers - relays;
    const auto& shares = mixed_shares[index % mixed_shares.size()];
    const std::uint32_t all_to_all = base * shares[0] / 100;
    const std::uint32_t broadcast = base * shares[1] / 100;
    const std::uint32_t halo = base - all_to_all - broadcast;

    std::vector<ExchangeScheduleTransfer> transfers;
    transfers.reserve(plan.transfers);
    AllToAllStream all_to_all_stream(context, static_cast<std::uint32_t>(context.random().below(plan.tile_count)));
    take(context, all_to_all_stream, all_to_all, transfers);
    BroadcastStream broadcast_stream(context);
    take(context, broadcast_stream, broadcast, transfers);
    HaloStream halo_stream(context, static_cast<std::uint32_t>(context.random().below(plan.tile_count)));
    take(context, halo_stream, halo, transfers);

    // The families' transfers interleaved, as a compiler's phase lists them.
    for (std::size_t i = transfers.size(); i > 1; --i) {
        std::swap(transfers[i - 1], transfers[context.random().below(i)]);
    }
    // Forwards come last, each after the transfer it forwards.
    const std::size_t originals = transfers.size();
    for (std::uint32_t i = 0; i < relays && originals > 0; ++i) {
        transfers.push_back(relay(context, transfers[context.random().below(originals)]));
    }
    return transfers;
}

}  // namespace

ExchangeScheduleProblem generate_phase(const GeneratorPlan& plan, std::uint32_t index) {
    PhaseContext context(plan, index);
    ExchangeScheduleProblem problem;
    problem.phase = plan.first_phase + index;
    switch (plan.family) {
    case Family::AllToAll: {
        AllToAllStream stream(context, 0);
        take(context, stream, plan.transfers, problem.transfers);
        break;
    }
    case Family::Broadcast: {
        BroadcastStream stream(context);
        take(context, stream, plan.transfers, problem.transfers);
        break;
    }
    case Family::Halo: {
        HaloStream stream(context, 0);
        take(context, stream, plan.transfers, problem.transfers);
        break;
    }
    case Family::Mixed:
        problem.transfers = mixed_transfers(context, index);
        break;
    case Family::Pairs: {
        PairsStream stream(context);
        take(context, stream, plan.transfers, problem.transfers);
        break;
    }
    }
    return problem;
}

codegen::ExchangeScheduleSnapshot generate_snapshot(const GeneratorPlan& plan) {
    codegen::ExchangeScheduleSnapshot snapshot;
    snapshot.schema_version = snapshot_schema_version;
    snapshot.tile_count = plan.tile_count;
    snapshot.phases.reserve(plan.phases);
    for (std::uint32_t index = 0; index < plan.phases; ++index) {
        snapshot.phases.push_back(generate_phase(plan, index));
    }
    return snapshot;
}

}  // namespace vorn::snapgen
