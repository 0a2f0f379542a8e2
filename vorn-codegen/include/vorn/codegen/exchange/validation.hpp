#pragma once
// Independent validation of a scheduled phase.
//
// validate_exchange_schedule checks a PhysicalExchangePhase against the
// snapshot phase it was scheduled from, without any of the scheduler's own
// data: it reads the snapshot's transfer records, decodes every tile's
// encoded program again, and checks what every correct exchange schedule
// satisfies. The result has one entry per tile in every per-tile field; the
// horizons agree with the decoded programs; every transfer appears exactly
// once as a send, once per destination as a receive and, when paired, once as
// a partner-busy period on its source's partner; no tile transmits or
// receives two payloads at once; no tile reads and writes one memory element
// at the same time; and a borrowed transmitter is not used locally meanwhile.
//
// The checks run in a fixed order and the first broken one decides the error:
// an Invariant naming it ("phase {phase} ..."), or Exchange for a program
// that does not decode or a paired source without a partner on Q480.

#include <cstdint>

#include <tl/expected.hpp>

#include "vorn/codegen/exchange/lowering_error.hpp"
#include "vorn/codegen/exchange/physical_phase.hpp"
#include "vorn/codegen/exchange/snapshot.hpp"

namespace vorn::codegen {

// Pure: changes nothing. Linear in the tiles, words and activities of the
// phase apart from one sort per tile and check, and the pairs of activities
// of one tile whose windows overlap in time.
tl::expected<void, ExchangeLoweringError> validate_exchange_schedule(std::uint16_t tile_count,
                                                                     const ExchangeScheduleProblem& problem,
                                                                     const PhysicalExchangePhase& phase);

}  // namespace vorn::codegen
