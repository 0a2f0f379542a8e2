#include "vorn/codegen/exchange/problem.hpp"

#include <algorithm>
#include <limits>
#include <optional>

#include <fmt/format.h>

#include "fatal.hpp"

namespace vorn::codegen {
namespace {

using detail::fatal_invariant;

// One memory access of one transfer on one tile: [start, end), 64-bit so
// that no address arithmetic can wrap.
struct TransferAccess {
    std::uint32_t transfer;
    std::uint64_t start;
    std::uint64_t end;
    bool write;
};

// The state of one elementary byte interval of a tile: its last writer and
// the transfers that read it since that write.
struct AccessFrontier {
    std::optional<std::uint32_t> last_writer;
    std::vector<std::uint32_t> readers;
};

// An edge packed as from << 32 | to, so that sorting the packed values sorts
// the edges by (from, to).
using PackedEdge = std::uint64_t;

constexpr PackedEdge pack(std::uint32_t from, std::uint32_t to) noexcept {
    return std::uint64_t{from} << 32U | to;
}
constexpr std::uint32_t edge_from(PackedEdge edge) noexcept { return static_cast<std::uint32_t>(edge >> 32U); }
constexpr std::uint32_t edge_to(PackedEdge edge) noexcept { return static_cast<std::uint32_t>(edge); }

void require_tile(std::uint16_t tile, std::uint16_t tile_count, std::uint32_t transfer) {
    if (tile >= tile_count) {
        fatal_invariant(fmt::format("transfer {} names tile {} outside 0..{}", transfer, tile, tile_count));
    }
}

void require_positions(std::span<const PendingTransfer> transfers) {
    if (transfers.size() > std::numeric_limits<std::uint32_t>::max()) {
        fatal_invariant("more transfers than 32-bit positions");
    }
}

// One end of one access of a tile, packed as address << slot_bits | slot so
// that sorting plain integers sorts the ends by address. The slot says where
// the end's rank is recorded: 2i for the start of access i, 2i + 1 for its
// end. An end address is below 2^35 (a 32-bit address plus four times a
// 32-bit word count), which leaves 29 bits for the slot.
using BoundaryKey = std::uint64_t;
constexpr unsigned slot_bits = 29;
constexpr std::uint64_t slot_mask = (std::uint64_t{1} << slot_bits) - 1;
constexpr std::size_t max_tile_accesses = std::size_t{1} << (slot_bits - 1);

// All accesses, grouped by tile: the accesses of tile x are
// accesses[offsets[x] .. offsets[x + 1]), in transfer order, and within one
// transfer its reads before its writes.
struct TileAccesses {
    std::vector<std::size_t> offsets;
    std::vector<TransferAccess> accesses;
};

TileAccesses group_accesses(std::span<const PendingTransfer> transfers, std::uint16_t tile_count) {
    TileAccesses grouped;
    grouped.offsets.assign(std::size_t{tile_count} + 1, 0);
    for (std::uint32_t position = 0; position < transfers.size(); ++position) {
        const PendingTransfer& transfer = transfers[position];
        require_tile(transfer.source, tile_count, position);
        grouped.offsets[std::size_t{transfer.source} + 1] += transfer.source_addresses.size();
        for (const PendingDestination& destination : transfer.destinations) {
            require_tile(destination.tile, tile_count, position);
            grouped.offsets[std::size_t{destination.tile} + 1] += 1;
        }
    }
    for (std::size_t tile = 0; tile < tile_count; ++tile) {
        grouped.offsets[tile + 1] += grouped.offsets[tile];
    }
    grouped.accesses.resize(grouped.offsets.back());
    std::vector<std::size_t> cursor(grouped.offsets.begin(), grouped.offsets.end() - 1);
    for (std::uint32_t position = 0; position < transfers.size(); ++position) {
        const PendingTransfer& transfer = transfers[position];
        const std::uint64_t bytes = transfer.byte_length();
        for (const std::uint32_t address : transfer.source_addresses) {
            grouped.accesses[cursor[transfer.source]++] = {position, address, address + bytes, false};
        }
        for (const PendingDestination& destination : transfer.destinations) {
            grouped.accesses[cursor[destination.tile]++] = {position, destination.address,
                                                             destination.address + bytes, true};
        }
    }
    return grouped;
}

// The sorted, distinct edges of all tiles, packed.
std::vector<PackedEdge> packed_dependencies(std::span<const PendingTransfer> transfers, std::uint16_t tile_count) {
    require_positions(transfers);
    const TileAccesses grouped = group_accesses(transfers, tile_count);

    std::vector<PackedEdge> edges;
    // Reused from tile to tile; a frontier's reader list keeps its capacity.
    std::vector<BoundaryKey> boundaries;
    std::vector<std::size_t> interval_of;
    std::vector<AccessFrontier> frontiers;
    const auto add_edge = [&edges](std::uint32_t from, std::uint32_t to) {
        const PackedEdge edge = pack(from, to);
        // Consecutive intervals of one access mostly yield the same edge;
        // dropping those repeats early keeps the final sort small.
        if (edges.empty() || edges.back() != edge) {
            edges.push_back(edge);
        }
    };

    for (std::size_t tile = 0; tile < tile_count; ++tile) {
        const std::span<const TransferAccess> accesses{grouped.accesses.data() + grouped.offsets[tile],
                                                        grouped.offsets[tile + 1] - grouped.offsets[tile]};
        if (accesses.empty()) {
            continue;
        }
        // Sorting the ends of all accesses once both yields the distinct
        // boundaries and tells every end its boundary's rank, so no access
        // has to search for its ends.
        if (accesses.size() > max_tile_accesses) {
            fatal_invariant(fmt::format("tile {} has {} accesses, more than {}", tile, accesses.size(),
                                        max_tile_accesses));
        }
        boundaries.clear();
        for (std::size_t i = 0; i < accesses.size(); ++i) {
            boundaries.push_back(accesses[i].start << slot_bits | 2 * i);
            boundaries.push_back(accesses[i].end << slot_bits | (2 * i + 1));
        }
        std::sort(boundaries.begin(), boundaries.end());
        interval_of.resize(boundaries.size());
        std::size_t rank = 0;
        for (std::size_t k = 0; k < boundaries.size(); ++k) {
            if (k != 0 && boundaries[k] >> slot_bits != boundaries[k - 1] >> slot_bits) {
                ++rank;
            }
            interval_of[boundaries[k] & slot_mask] = rank;
        }

        // Interval r lies between the boundaries of rank r and r + 1.
        const std::size_t intervals = rank;
        if (frontiers.size() < intervals) {
            frontiers.resize(intervals);
        }
        for (std::size_t k = 0; k < intervals; ++k) {
            frontiers[k].last_writer.reset();
            frontiers[k].readers.clear();
        }

        for (std::size_t i = 0; i < accesses.size(); ++i) {
            const TransferAccess& access = accesses[i];
            const std::size_t first = interval_of[2 * i];
            const std::size_t last = interval_of[2 * i + 1];
            const std::uint32_t t = access.transfer;
            for (std::size_t k = first; k < last; ++k) {
                AccessFrontier& frontier = frontiers[k];
                if (frontier.last_writer && *frontier.last_writer != t) {
                    add_edge(*frontier.last_writer, t);
                }
                if (access.write) {
                    for (const std::uint32_t reader : frontier.readers) {
                        if (reader != t) {
                            add_edge(reader, t);
                        }
                    }
                    frontier.readers.clear();
                    frontier.last_writer = t;
                } else if (frontier.readers.empty() || frontier.readers.back() != t) {
                    frontier.readers.push_back(t);
                }
            }
        }
    }

    std::sort(edges.begin(), edges.end());
    edges.erase(std::unique(edges.begin(), edges.end()), edges.end());
    return edges;
}

}  // namespace

std::vector<DependencyEdge> memory_dependencies(std::span<const PendingTransfer> transfers,
                                                std::uint16_t tile_count) {
    const std::vector<PackedEdge> packed = packed_dependencies(transfers, tile_count);
    std::vector<DependencyEdge> edges;
    edges.reserve(packed.size());
    for (const PackedEdge edge : packed) {
        edges.push_back({edge_from(edge), edge_to(edge)});
    }
    return edges;
}

SchedulingProblem SchedulingProblem::create(std::span<const PendingTransfer> transfers, std::uint16_t tile_count) {
    SchedulingProblem problem;
    problem.transfers_ = transfers;
    problem.tile_count_ = tile_count;

    const std::vector<PackedEdge> edges = packed_dependencies(transfers, tile_count);
    const std::size_t n = transfers.size();
    problem.successor_offsets_.assign(n + 1, 0);
    problem.predecessor_offsets_.assign(n + 1, 0);
    for (const PackedEdge edge : edges) {
        // Every access is met in transfer order, so an edge can only lead
        // from an earlier transfer to a later one.
        if (edge_from(edge) >= edge_to(edge)) {
            fatal_invariant(
                fmt::format("dependency {} -> {} does not follow transfer order", edge_from(edge), edge_to(edge)));
        }
        ++problem.successor_offsets_[std::size_t{edge_from(edge)} + 1];
        ++problem.predecessor_offsets_[std::size_t{edge_to(edge)} + 1];
    }
    for (std::size_t t = 0; t < n; ++t) {
        problem.successor_offsets_[t + 1] += problem.successor_offsets_[t];
        problem.predecessor_offsets_[t + 1] += problem.predecessor_offsets_[t];
    }
    // Visiting the edges in ascending (from, to) order leaves every list
    // ascending; the edges are distinct, so no list repeats an entry.
    problem.successor_list_.resize(edges.size());
    problem.predecessor_list_.resize(edges.size());
    std::vector<std::size_t> predecessor_cursor(problem.predecessor_offsets_.begin(),
                                                problem.predecessor_offsets_.end() - 1);
    for (std::size_t k = 0; k < edges.size(); ++k) {
        problem.successor_list_[k] = edge_to(edges[k]);
        problem.predecessor_list_[predecessor_cursor[edge_to(edges[k])]++] = edge_from(edges[k]);
    }

    problem.endpoint_load_.assign(tile_count, 0);
    for (std::uint32_t position = 0; position < n; ++position) {
        const PendingTransfer& transfer = transfers[position];
        const std::uint64_t items = transfer.item_count();
        problem.endpoint_load_[transfer.source] += items;
        if (transfer.paired_source) {
            require_tile(*transfer.paired_source, tile_count, position);
            problem.endpoint_load_[*transfer.paired_source] += items;
        }
        for (const PendingDestination& destination : transfer.destinations) {
            problem.endpoint_load_[destination.tile] += items;
        }
    }
    return problem;
}

std::span<const std::uint32_t> SchedulingProblem::predecessors(std::uint32_t transfer) const {
    if (transfer >= transfers_.size()) {
        fatal_invariant(fmt::format("predecessors of transfer {} of {}", transfer, transfers_.size()));
    }
    return std::span<const std::uint32_t>{predecessor_list_}.subspan(
        predecessor_offsets_[transfer], predecessor_offsets_[transfer + 1] - predecessor_offsets_[transfer]);
}

std::span<const std::uint32_t> SchedulingProblem::successors(std::uint32_t transfer) const {
    if (transfer >= transfers_.size()) {
        fatal_invariant(fmt::format("successors of transfer {} of {}", transfer, transfers_.size()));
    }
    return std::span<const std::uint32_t>{successor_list_}.subspan(
        successor_offsets_[transfer], successor_offsets_[transfer + 1] - successor_offsets_[transfer]);
}

tl::expected<ReceiveConfiguration, ExchangeLoweringError> receive_configuration(
    std::span<const PendingTransfer> transfers, std::uint16_t tile_count) {
    ReceiveConfiguration configuration;
    configuration.incoming_counts.assign(tile_count, 0);
    for (const PendingTransfer& transfer : transfers) {
        for (const PendingDestination& destination : transfer.destinations) {
            if (destination.tile >= tile_count) {
                return tl::unexpected(ExchangeLoweringError::invalid_destination());
            }
            ++configuration.incoming_counts[destination.tile];
        }
    }
    // A tile named by one destination entry in the whole phase is set by at
    // most one transfer, so a plain assignment decides its base.
    configuration.incoming_bases.assign(tile_count, 0);
    for (const PendingTransfer& transfer : transfers) {
        if (transfer.destinations.size() == 1) {
            const PendingDestination& destination = transfer.destinations.front();
            if (configuration.incoming_counts[destination.tile] == 1) {
                configuration.incoming_bases[destination.tile] = destination.address;
            }
        }
    }
    return configuration;
}

std::uint32_t endpoint_work_lower_bound(std::span<const PendingTransfer> transfers, std::uint16_t tile_count) {
    require_positions(transfers);
    std::vector<std::uint64_t> send_work(tile_count, 0);
    std::vector<std::uint64_t> receive_work(tile_count, 0);
    for (std::uint32_t position = 0; position < transfers.size(); ++position) {
        const PendingTransfer& transfer = transfers[position];
        const std::uint64_t items = transfer.item_count();
        require_tile(transfer.source, tile_count, position);
        send_work[transfer.source] += items;
        if (transfer.paired_source) {
            require_tile(*transfer.paired_source, tile_count, position);
            send_work[*transfer.paired_source] += items;
        }
        for (const PendingDestination& destination : transfer.destinations) {
            require_tile(destination.tile, tile_count, position);
            receive_work[destination.tile] += items;
        }
    }
    std::uint64_t bound = 0;
    for (std::size_t tile = 0; tile < tile_count; ++tile) {
        bound = std::max({bound, send_work[tile], receive_work[tile]});
    }
    return static_cast<std::uint32_t>(std::min<std::uint64_t>(bound, std::numeric_limits<std::uint32_t>::max()));
}

}  // namespace vorn::codegen
