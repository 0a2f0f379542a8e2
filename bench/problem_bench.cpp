// Building the scheduling problem of one large phase: 20,000 transfers over
// the 1472 tiles of the Q480 machine, the same phase on every run (fixed
// seed). Also the conversion into pending transfers and the check-only pass
// that snapshot validation runs on every phase.
//
// The phase has the shape of a real capture: a transfer has one to four
// source addresses (Repeat iterations, back to back) in one of a hundred
// 4 KiB-aligned buffers, one to six distinct destinations in a shared receive
// area, up to 512 words, and one in eight is Paired64. Buffers and receive
// slots are shared between transfers, so the phase has many dependencies.

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <utility>
#include <vector>

#include "vorn/codegen/exchange/pending.hpp"
#include "vorn/codegen/exchange/problem.hpp"

#include "bench_random.hpp"

namespace {

using namespace vorn::codegen;

constexpr std::uint16_t tiles = 1472;
constexpr std::uint32_t transfer_count = 20000;

using vorn::bench::Random;

ExchangeScheduleProblem generate_phase() {
    Random random(0x0b5e55ed'5eedULL);
    ExchangeScheduleProblem problem;
    problem.phase = 1;
    problem.transfers.reserve(transfer_count);
    for (std::uint32_t t = 0; t < transfer_count; ++t) {
        ExchangeScheduleTransfer& transfer = problem.transfers.emplace_back();
        const bool paired = random.below(8) == 0;
        transfer.width = paired ? ExchangeItemWidth::Paired64 : ExchangeItemWidth::Word32;
        transfer.source = static_cast<std::uint16_t>(random.below(tiles));
        transfer.words = paired ? 2 * (1 + random.below(256)) : 1 + random.below(512);
        const std::uint32_t base = 0x1000 * (1 + random.below(100));
        for (std::uint32_t r = 0, repeats = 1 + random.below(4); r < repeats; ++r) {
            transfer.source_addresses.push_back(base + r * transfer.words * 4);
        }
        for (std::uint32_t d = 0, destinations = 1 + random.below(6); d < destinations; ++d) {
            std::uint16_t tile = 0;
            do {
                tile = static_cast<std::uint16_t>((transfer.source + 1 + random.below(tiles - 1)) % tiles);
            } while (std::any_of(transfer.destinations.begin(), transfer.destinations.end(),
                                 [tile](const ExchangeScheduleDestination& seen) { return seen.tile == tile; }));
            transfer.destinations.push_back({tile, 0x40000 + 0x100 * random.below(1000)});
        }
    }
    return problem;
}

const ExchangeScheduleProblem& phase() {
    static const ExchangeScheduleProblem generated = generate_phase();
    return generated;
}

const std::vector<PendingTransfer>& pending() {
    static const std::vector<PendingTransfer> converted = [] {
        auto result = pending_from_problem(phase(), tiles);
        if (!result) {
            std::abort();  // the generator only makes valid transfers
        }
        return std::move(*result);
    }();
    return converted;
}

void BM_scheduling_problem_create(benchmark::State& state) {
    const std::vector<PendingTransfer>& transfers = pending();
    std::size_t edges = 0;
    for (auto _ : state) {
        const SchedulingProblem problem = SchedulingProblem::create(transfers, tiles);
        edges = problem.edge_count();
        benchmark::DoNotOptimize(problem.endpoint_load().data());
    }
    state.counters["transfers"] = static_cast<double>(transfers.size());
    state.counters["edges"] = static_cast<double>(edges);
}

void BM_pending_from_problem(benchmark::State& state) {
    const ExchangeScheduleProblem& problem = phase();
    for (auto _ : state) {
        auto converted = pending_from_problem(problem, tiles);
        benchmark::DoNotOptimize(converted);
    }
}

void BM_check_problem_transfers(benchmark::State& state) {
    const ExchangeScheduleProblem& problem = phase();
    for (auto _ : state) {
        auto checked = check_problem_transfers(problem, tiles);
        benchmark::DoNotOptimize(checked);
    }
}

BENCHMARK(BM_scheduling_problem_create)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_pending_from_problem)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_check_problem_transfers)->Unit(benchmark::kMillisecond);

}  // namespace
