#pragma once
// Materialisation: turning a scheduling problem into a complete schedule by
// placing every transfer once, in an order that respects its dependencies.
//
// The greedy list scheduler always places the most urgent ready transfer
// next (earliest ready cycle, then most endpoint load, most destinations,
// most items, lowest source tile, lowest position); the ordered form places
// the transfers in an order the caller gives and rejects an order that is
// not a topological permutation of the transfers.

#include <cstdint>
#include <span>

#include <tl/expected.hpp>

#include "vorn/codegen/exchange/lowering_error.hpp"
#include "vorn/codegen/exchange/problem.hpp"
#include "vorn/codegen/exchange/schedule.hpp"
#include "vorn/exchange/topology.hpp"

namespace vorn::codegen {

// One greedy run: every transfer placed once, the horizon set from the
// builder. incoming_bases and incoming_counts are the phase's receive
// configuration; immediate_offsets selects the builder's validating offset
// search. The first error of a placement ends the run and is returned.
tl::expected<MaterializedSchedule, ExchangeLoweringError> materialize_greedy_schedule_impl(
    const vorn::exchange::Topology& topology, const SchedulingProblem& problem,
    std::span<const std::uint32_t> incoming_bases, std::span<const std::uint64_t> incoming_counts,
    bool immediate_offsets);

// The greedy run with deferred offsets, checked to finish encoding. When the
// finished programs fail with "SENDPICP instruction alignment", the run is
// repeated once with immediate offsets (logged at info level under
// vorn_codegen::exchange) and that result is final; any other finish failure
// is returned as Exchange.
tl::expected<MaterializedSchedule, ExchangeLoweringError> materialize_greedy_schedule(
    const vorn::exchange::Topology& topology, const SchedulingProblem& problem,
    std::span<const std::uint32_t> incoming_bases, std::span<const std::uint64_t> incoming_counts);

// Places the transfers in `order`. Overflow when the order's length is not
// the number of transfers; Invariant "exchange order is not a topological
// permutation" for a position out of range, repeated, or before one of its
// predecessors; Exchange when the finished builder cannot encode.
tl::expected<MaterializedSchedule, ExchangeLoweringError> materialize_schedule_order(
    const vorn::exchange::Topology& topology, const SchedulingProblem& problem,
    std::span<const std::uint32_t> incoming_bases, std::span<const std::uint64_t> incoming_counts,
    std::span<const std::uint32_t> order, bool immediate_offsets);

}  // namespace vorn::codegen
