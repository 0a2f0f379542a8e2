#include "vorn/codegen/exchange/pending.hpp"

#include <algorithm>
#include <limits>
#include <string_view>
#include <utility>

#include <fmt/format.h>

#include "vorn/exchange/topology.hpp"

namespace vorn::codegen {
namespace {

using vorn::exchange::max_exchange_words;
using vorn::exchange::Topology;

// Checks the transfers of one phase, one at a time and in order, against the
// rules a pending transfer must satisfy. Shared by the conversion and by the
// check-only pass of snapshot validation, so that both report exactly the
// same first error.
class TransferChecker {
public:
    TransferChecker(const ExchangeScheduleProblem& problem, std::uint16_t tile_count)
        : problem_(problem), tile_count_(tile_count), seen_(tile_count, 0) {}

    // Checks transfer i; on success yields its paired source (Paired64 only).
    tl::expected<std::optional<std::uint16_t>, ExchangeLoweringError> check(std::size_t i) {
        const ExchangeScheduleTransfer& transfer = problem_.transfers[i];
        if (transfer.source >= tile_count_) {
            return fail(i, "source tile {} outside 0..{}", transfer.source, tile_count_);
        }
        if (transfer.words == 0 || transfer.words > max_exchange_words) {
            return fail(i, "invalid word count {}", transfer.words);
        }
        const bool paired = transfer.width == ExchangeItemWidth::Paired64;
        if (paired && transfer.words % 2 != 0) {
            return fail(i, "invalid {}-word paired payload", transfer.words);
        }
        if (transfer.source_addresses.empty()) {
            return fail(i, "no source addresses");
        }
        const std::uint32_t alignment = paired ? 8U : 4U;
        const std::uint64_t bytes = std::uint64_t{transfer.words} * 4U;
        for (const std::uint32_t address : transfer.source_addresses) {
            if (address % alignment != 0) {
                return fail(i, "unaligned source address 0x{:x}", address);
            }
            if (address + bytes > std::numeric_limits<std::uint32_t>::max()) {
                return tl::unexpected(ExchangeLoweringError::overflow());
            }
        }
        if (transfer.destinations.empty()) {
            return fail(i, "no destinations");
        }
        // A tile's stamp equals `stamp` once a destination of this transfer
        // has named it; stamps of earlier transfers are smaller.
        const std::size_t stamp = i + 1;
        for (const ExchangeScheduleDestination& destination : transfer.destinations) {
            if (destination.tile >= tile_count_) {
                return fail(i, "invalid destination tile {}", destination.tile);
            }
            // A multicast may include its own sender among its receivers, as
            // long as what it writes there lies in other memory elements than
            // every span it reads.
            if (destination.tile == transfer.source &&
                (transfer.destinations.size() < 2 || shares_source_element(transfer, destination.address))) {
                return fail(i, "invalid destination tile {}", destination.tile);
            }
            if (seen_[destination.tile] == stamp) {
                return fail(i, "invalid destination tile {}", destination.tile);
            }
            seen_[destination.tile] = stamp;
            if (destination.address % alignment != 0) {
                return fail(i, "unaligned destination address 0x{:x}", destination.address);
            }
            if (destination.address + bytes > std::numeric_limits<std::uint32_t>::max()) {
                return tl::unexpected(ExchangeLoweringError::overflow());
            }
        }
        if (i > std::numeric_limits<std::uint32_t>::max()) {
            return tl::unexpected(ExchangeLoweringError::overflow());
        }
        if (!paired) {
            return std::optional<std::uint16_t>{};
        }
        if (!q480_) {
            q480_ = Topology::q480();
        }
        const auto partner = q480_->paired_logical(transfer.source);
        if (!partner) {
            return tl::unexpected(ExchangeLoweringError::exchange(partner.error()));
        }
        // The partner comes from the full machine, so with an odd tile count
        // the last tile's partner lies outside the snapshot's section. Every
        // per-tile table of the scheduler (endpoint load and work, placement)
        // has tile_count entries and none for it: reject the transfer here.
        if (*partner >= tile_count_) {
            return fail(i, "paired source tile {} outside 0..{}", *partner, tile_count_);
        }
        return std::optional<std::uint16_t>{*partner};
    }

private:
    template <typename... Args>
    tl::unexpected<ExchangeLoweringError> fail(std::size_t i, fmt::format_string<Args...> rule, Args&&... args) const {
        return tl::unexpected(ExchangeLoweringError::invalid_snapshot(fmt::format(
            "phase {} transfer {} has {}", problem_.phase, i, fmt::format(rule, std::forward<Args>(args)...))));
    }

    static bool shares_source_element(const ExchangeScheduleTransfer& transfer, std::uint32_t address) {
        return std::any_of(transfer.source_addresses.begin(), transfer.source_addresses.end(),
                           [&](std::uint32_t source_address) {
                               return spans_share_effective_memory_element(address, transfer.words, source_address,
                                                                           transfer.words);
                           });
    }

    const ExchangeScheduleProblem& problem_;
    std::uint16_t tile_count_;
    std::vector<std::size_t> seen_;  // per tile, the stamp of the last transfer naming it
    std::optional<Topology> q480_;   // built for the first paired transfer
};

}  // namespace

std::vector<std::uint16_t> PendingTransfer::tiles() const {
    std::vector<std::uint16_t> result;
    result.reserve(1 + (paired_source ? 1 : 0) + destinations.size());
    result.push_back(source);
    if (paired_source) {
        result.push_back(*paired_source);
    }
    for (const PendingDestination& destination : destinations) {
        result.push_back(destination.tile);
    }
    return result;
}

void PendingTransfer::refresh_source_elements() {
    source_elements.clear();
    append_spans_elements(source_addresses, words, source_elements);
}

tl::expected<std::vector<PendingTransfer>, ExchangeLoweringError> pending_from_problem(
    const ExchangeScheduleProblem& problem, std::uint16_t tile_count) {
    TransferChecker checker(problem, tile_count);
    std::vector<PendingTransfer> pending;
    pending.reserve(problem.transfers.size());
    for (std::size_t i = 0; i < problem.transfers.size(); ++i) {
        auto paired_source = checker.check(i);
        if (!paired_source) {
            return tl::unexpected(std::move(paired_source.error()));
        }
        const ExchangeScheduleTransfer& transfer = problem.transfers[i];
        PendingTransfer& converted = pending.emplace_back();
        converted.destinations.reserve(transfer.destinations.size());
        for (const ExchangeScheduleDestination& destination : transfer.destinations) {
            converted.destinations.push_back({destination.tile, destination.address});
        }
        converted.source_addresses = transfer.source_addresses;
        converted.paired_source = *paired_source;
        converted.index = static_cast<std::uint32_t>(i);
        converted.words = transfer.words;
        converted.source = transfer.source;
        converted.width = transfer.width;
        converted.refresh_source_elements();
    }
    return pending;
}

tl::expected<void, ExchangeLoweringError> check_problem_transfers(const ExchangeScheduleProblem& problem,
                                                                  std::uint16_t tile_count) {
    TransferChecker checker(problem, tile_count);
    for (std::size_t i = 0; i < problem.transfers.size(); ++i) {
        if (auto checked = checker.check(i); !checked) {
            return tl::unexpected(std::move(checked.error()));
        }
    }
    return {};
}

}  // namespace vorn::codegen
