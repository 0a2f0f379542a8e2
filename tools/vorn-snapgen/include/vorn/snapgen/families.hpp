#pragma once
// The snapshot families. Every phase is generated from its own random stream
// (the seed and the phase's position), so a phase does not depend on the
// phases before it and a run can be written phase by phase.

#include <cstdint>

#include "vorn/codegen/exchange/snapshot.hpp"
#include "vorn/snapgen/options.hpp"

namespace vorn::snapgen {

// Phase number `index` (0-based) of the plan; its id is first_phase + index.
codegen::ExchangeScheduleProblem generate_phase(const GeneratorPlan& plan, std::uint32_t index);

// Every phase of the plan, schema version 3.
codegen::ExchangeScheduleSnapshot generate_snapshot(const GeneratorPlan& plan);

}  // namespace vorn::snapgen
