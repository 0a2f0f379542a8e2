// The phase program builder on the whole Q480 machine (1472 tiles): placing
// a phase of random transfers (40% point-to-point, 35% multicast to 1..4
// tiles, 25% paired to one or two pairs; mostly short, some up to 4148
// words) in the scheduler's calling order.
//
// - Deferred/<n>: search by the placement rules, timing, append; then
//   finish (which encodes and validates every tile once).
// - Validating/<n>: the validating search (every placement staged and its
//   tiles encoded incrementally), timing, append reusing the staged tiles;
//   then finish (validation only: the encodings are cached).
// - EncodeFinal/<n> and ValidateFinal/<n>: a fresh encoding, and the
//   validation, of every tile of the final phase, for the share of the
//   totals above that goes to encoding.
// The rate is transfers placed per second.

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <random>
#include <vector>

#include "builder_support.hpp"
#include "vorn/exchange/builder.hpp"
#include "vorn/exchange/diagnostic.hpp"
#include "vorn/exchange/encoding.hpp"

namespace {

using namespace vorn::exchange;
using vorn::exchange::testing::PreparedTransfer;

const Topology& machine() {
    static const Topology topology = Topology::q480();
    return topology;
}

std::vector<PreparedTransfer> random_phase(std::size_t count, std::uint64_t seed) {
    std::mt19937_64 rng(seed);
    const auto uniform = [&](std::uint32_t low, std::uint32_t high) {
        return std::uniform_int_distribution<std::uint32_t>(low, high)(rng);
    };
    const auto tiles = static_cast<std::uint32_t>(machine().tile_count());
    const auto words = [&] {
        const std::uint32_t roll = uniform(0, 99);
        return roll < 70 ? uniform(1, 60) : roll < 95 ? uniform(61, 700) : uniform(701, max_exchange_words);
    };
    const auto attempt = [&]() -> tl::expected<PreparedTransfer, ExchangeError> {
        const std::uint32_t kind = uniform(0, 99);
        const auto sender = static_cast<std::uint16_t>(uniform(0, tiles - 1));
        if (kind < 40) {
            const auto receiver = static_cast<std::uint16_t>((sender + uniform(1, tiles - 1)) % tiles);
            const std::uint32_t w = words();
            return testing::prepare_point_to_point(machine(), sender, receiver, w, uniform(0, 0x3FFF) * 4);
        }
        const bool paired = kind >= 75;
        const std::uint32_t w = paired ? std::max<std::uint32_t>(2, words() & ~1U) : words();
        std::vector<std::uint16_t> receivers;
        const std::uint32_t wanted = paired ? 2 * uniform(1, 2) : uniform(1, 4);
        while (receivers.size() < wanted) {
            auto tile = static_cast<std::uint16_t>(uniform(0, tiles - 1));
            if (paired) {
                tile = static_cast<std::uint16_t>(tile & ~1U);
                if (tile / 2 == sender / 2 || std::find(receivers.begin(), receivers.end(), tile) != receivers.end()) {
                    continue;
                }
                receivers.push_back(tile);
                receivers.push_back(static_cast<std::uint16_t>(tile + 1));
            } else if (tile != sender && std::find(receivers.begin(), receivers.end(), tile) == receivers.end()) {
                receivers.push_back(tile);
            }
        }
        std::vector<std::uint32_t> addresses;
        for (std::size_t i = 0; i < receivers.size(); ++i) {
            addresses.push_back(uniform(0, (max_receive_byte_address - w * 4) / 8) * 8);
        }
        return testing::prepare_multicast(machine(), sender, receivers, w, uniform(0, 0x3FFF) * (paired ? 8 : 4),
                                          addresses, paired);
    };
    std::vector<PreparedTransfer> phase;
    while (phase.size() < count) {
        if (auto made = attempt()) {
            phase.push_back(std::move(*made));
        }
    }
    return phase;
}

const std::vector<PreparedTransfer>& phase_of(std::size_t count) {
    static std::vector<PreparedTransfer> small = random_phase(3000, 7);
    static std::vector<PreparedTransfer> large = random_phase(20000, 7);
    return count <= small.size() ? small : large;
}

PhaseProgramBuilder build(const std::vector<PreparedTransfer>& phase, bool validating) {
    PhaseProgramBuilder builder = PhaseProgramBuilder(static_cast<std::uint16_t>(machine().tile_count()))
                                      .with_validation_budget(std::uint64_t{1} << 40);
    for (const PreparedTransfer& t : phase) {
        if (!testing::place(builder, t, 0, validating)) {
            std::abort();
        }
    }
    return builder;
}

void BM_Deferred(benchmark::State& state) {
    const auto& phase = phase_of(static_cast<std::size_t>(state.range(0)));
    for (auto _ : state) {
        PhaseProgramBuilder builder = build(phase, false);
        // The deferred search may leave a misaligned SENDPICP; the time to
        // find out is part of the run either way.
        benchmark::DoNotOptimize(builder.finish());
    }
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * phase.size()));
}

void BM_Validating(benchmark::State& state) {
    const auto& phase = phase_of(static_cast<std::size_t>(state.range(0)));
    for (auto _ : state) {
        PhaseProgramBuilder builder = build(phase, true);
        auto programs = builder.finish();
        if (!programs) {
            std::abort();
        }
        benchmark::DoNotOptimize(programs);
    }
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * phase.size()));
}

void BM_EncodeFinal(benchmark::State& state) {
    const auto& phase = phase_of(static_cast<std::size_t>(state.range(0)));
    const PhaseProgramBuilder builder = build(phase, true);
    for (auto _ : state) {
        for (const TileProgramSchedule& tile : builder.tiles()) {
            benchmark::DoNotOptimize(
                encoding::build_scheduled_program(tile.sender_rows(), tile.receive_events(), tile.horizon()));
        }
    }
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * phase.size()));
}

void BM_ValidateFinal(benchmark::State& state) {
    const auto& phase = phase_of(static_cast<std::size_t>(state.range(0)));
    const PhaseProgramBuilder builder = build(phase, true);
    std::vector<std::vector<Word>> words;
    for (const TileProgramSchedule& tile : builder.tiles()) {
        words.push_back(tile.encoded().value()->words.to_vector());
    }
    for (auto _ : state) {
        for (std::uint16_t t = 0; t < builder.tile_count(); ++t) {
            const TileProgramSchedule& tile = builder.tile(t);
            benchmark::DoNotOptimize(
                validate_tile_program(t, tile.sender_rows(), tile.receive_events(), tile.horizon(), words[t]));
        }
    }
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * phase.size()));
}

BENCHMARK(BM_Deferred)->Arg(3000)->Arg(20000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Validating)->Arg(3000)->Arg(20000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_EncodeFinal)->Arg(3000)->Arg(20000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ValidateFinal)->Arg(3000)->Arg(20000)->Unit(benchmark::kMillisecond);

}  // namespace
