#pragma once
// Test support for the phase program builder: transfers prepared the way the
// scheduler prepares them (rows from the topology, source and receive
// addresses patched in, then MulticastPlan::prepare), owning the exchange
// their plan refers to.

#include <fmt/format.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <tl/expected.hpp>
#include <vector>

#include "vorn/exchange/builder.hpp"
#include "vorn/exchange/row_timing.hpp"
#include "vorn/exchange/timing.hpp"
#include "vorn/exchange/topology.hpp"

namespace vorn::exchange::testing {

struct PreparedTransfer {
    std::uint16_t sender = 0;
    std::vector<std::uint16_t> partners;  // the paired source's partner, else empty
    std::vector<std::uint16_t> receivers;
    std::uint32_t items = 0;
    std::unique_ptr<MulticastExchange> exchange;  // the plan refers to it
    std::optional<MulticastPlan> plan;

    std::string describe() const {
        return fmt::format("sender {} partners [{}] receivers [{}] items {}", sender, fmt::join(partners, ", "),
                           fmt::join(receivers, ", "), items);
    }
};

// Writes a receive address into the first receive pointer of a receiver row:
// a PIC pointer control, or the second word of a SENDPICP whose PIC half is a
// pointer.
inline tl::expected<void, ExchangeError> patch_receive_address(RowWords& row, std::uint32_t address) {
    if (address % 4 != 0 || address > max_receive_byte_address) {
        return tl::unexpected(ExchangeError::address(address));
    }
    for (std::size_t index = 0; index < row.size();) {
        const Word word = row[index];
        if (word < 0xF0000000U) {
            if ((word & 0xFC040000U) == 0x60000000U) {
                row[index] = (word & 0x63F80000U) | (address >> 2);
                return {};
            }
            index += 1;
            continue;
        }
        if ((word & 0x08000000U) == 0) {
            if (index + 1 >= row.size()) {
                return tl::unexpected(ExchangeError::schedule(invariant::truncated_sendpicp_payload));
            }
            row[index + 1] = (row[index + 1] & 0xFFFC0000U) | (address >> 2);
            return {};
        }
        index += 2;
    }
    return tl::unexpected(ExchangeError::address(address));
}

namespace detail {
inline tl::expected<PreparedTransfer, ExchangeError> finish_preparation(PreparedTransfer transfer,
                                                                        std::uint32_t source_address) {
    if (auto patched = patch_sender_address(transfer.exchange->sender_row, source_address); !patched) {
        return tl::unexpected(patched.error());
    }
    auto plan = MulticastPlan::prepare(*transfer.exchange);
    if (!plan) {
        return tl::unexpected(plan.error());
    }
    transfer.plan.emplace(std::move(*plan));
    return transfer;
}
}  // namespace detail

inline tl::expected<PreparedTransfer, ExchangeError> prepare_point_to_point(const Topology& topology,
                                                                            std::uint16_t sender,
                                                                            std::uint16_t receiver, std::uint32_t words,
                                                                            std::uint32_t source_address) {
    auto rows = point_to_point(topology, sender, receiver, words);
    if (!rows) {
        return tl::unexpected(rows.error());
    }
    auto physical = topology.physical(sender);
    if (!physical) {
        return tl::unexpected(physical.error());
    }
    auto receiver_row = finalize_point_receiver(rows->receiver, *physical);
    if (!receiver_row) {
        return tl::unexpected(receiver_row.error());
    }
    PreparedTransfer transfer;
    transfer.sender = sender;
    transfer.receivers = {receiver};
    transfer.items = words;
    transfer.exchange = std::make_unique<MulticastExchange>(MulticastExchange{{*receiver_row}, rows->sender_row});
    return detail::finish_preparation(std::move(transfer), source_address);
}

// An ordinary multicast (paired = false) of `words` 32-bit words, or a paired
// multicast of words / 2 64-bit items to whole pairs, landing at the given
// receive addresses (one per receiver).
inline tl::expected<PreparedTransfer, ExchangeError> prepare_multicast(
    const Topology& topology, std::uint16_t sender, std::vector<std::uint16_t> receivers, std::uint32_t words,
    std::uint32_t source_address, std::span<const std::uint32_t> addresses, bool paired = false) {
    PreparedTransfer transfer;
    transfer.sender = sender;
    transfer.items = paired ? words / 2 : words;
    auto rows = paired ? paired_multicast(topology, sender, receivers, transfer.items)
                       : multicast(topology, sender, receivers, words, 0);
    if (!rows) {
        return tl::unexpected(rows.error());
    }
    if (paired) {
        auto partner = topology.paired_logical(sender);
        if (!partner) {
            return tl::unexpected(partner.error());
        }
        transfer.partners = {*partner};
    }
    for (std::size_t i = 0; i < rows->receiver_rows.size() && i < addresses.size(); ++i) {
        if (auto patched = patch_receive_address(rows->receiver_rows[i], addresses[i]); !patched) {
            return tl::unexpected(patched.error());
        }
    }
    transfer.receivers = std::move(receivers);
    transfer.exchange = std::make_unique<MulticastExchange>(std::move(*rows));
    return detail::finish_preparation(std::move(transfer), source_address);
}

// The calls the scheduler makes for one transfer: the search (validating or
// deferred) from `not_before`, the timing at the offset found, the append.
// Returns the offset.
inline tl::expected<std::uint32_t, ExchangeError> place(PhaseProgramBuilder& builder, const PreparedTransfer& transfer,
                                                        std::uint32_t not_before, bool validating) {
    auto offset =
        validating ? builder.earliest_transfer_offset(transfer.sender, transfer.partners, transfer.receivers,
                                                      *transfer.plan, transfer.items, not_before)
                   : builder.earliest_transfer_offset_deferred(transfer.sender, transfer.partners, transfer.receivers,
                                                               *transfer.plan, transfer.items, not_before);
    if (!offset) {
        return offset;
    }
    auto timing =
        builder.transfer_timing_at(transfer.sender, transfer.receivers, *transfer.plan, *offset, transfer.items);
    if (!timing) {
        return tl::unexpected(timing.error());
    }
    auto appended = builder.append_transfer_at(transfer.sender, transfer.partners, transfer.receivers, *transfer.plan,
                                               *offset, transfer.items);
    if (!appended) {
        return tl::unexpected(appended.error());
    }
    return *offset;
}

}  // namespace vorn::exchange::testing
