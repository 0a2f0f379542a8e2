#pragma once
// Whether a snapshot the reader accepted can be scheduled on the Q480 machine.

#include <cstdint>

#include <tl/expected.hpp>

#include "vorn/codegen/exchange/lowering_error.hpp"
#include "vorn/codegen/exchange/snapshot.hpp"

namespace vorn::codegen {

// The only schema version this system reads.
inline constexpr std::uint32_t supported_snapshot_schema_version = 3;

// Checks, in this order, and returns the first failure: the schema version;
// the tile count (1 ..= the Q480 tile count); then problem by problem, a
// phase number repeated from an earlier problem, and the checks of
// pending_from_problem on every transfer. The snapshot's own rules fail with
// InvalidSnapshot; the transfer checks with their own variants. Changes
// nothing and keeps nothing.
tl::expected<void, ExchangeLoweringError> validate_snapshot(const ExchangeScheduleSnapshot& snapshot);

}  // namespace vorn::codegen
