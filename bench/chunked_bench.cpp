// Chunked sequences: the costs the phase program builder relies on. Appending
// words, copying a whole tile program (one reference per 128 elements), and
// inserting into a copy near the end versus near the start of the sequence
// (copy on write touches only the chunks from the insertion point on, so the
// cost follows the length of the suffix, not of the whole sequence).

#include <benchmark/benchmark.h>

#include <cstdint>
#include <vector>

#include "vorn/exchange/chunked.hpp"
#include "vorn/exchange/words.hpp"

namespace {

using vorn::exchange::Chunked;
using vorn::exchange::ReceiveEvent;
using vorn::exchange::ReceiveEventKind;

Chunked<std::uint32_t> words(std::int64_t n) {
    Chunked<std::uint32_t> c;
    for (std::int64_t i = 0; i < n; ++i) {
        c.push(static_cast<std::uint32_t>(i));
    }
    return c;
}

void chunked_push(benchmark::State& state) {
    for (auto _ : state) {
        Chunked<std::uint32_t> c;
        for (std::int64_t i = 0; i < state.range(0); ++i) {
            c.push(static_cast<std::uint32_t>(i));
        }
        benchmark::DoNotOptimize(c);
    }
    state.SetItemsProcessed(state.iterations() * state.range(0));
}

// The same appends into a std::vector, for scale.
void vector_push(benchmark::State& state) {
    for (auto _ : state) {
        std::vector<std::uint32_t> v;
        for (std::int64_t i = 0; i < state.range(0); ++i) {
            v.push_back(static_cast<std::uint32_t>(i));
        }
        benchmark::DoNotOptimize(v);
    }
    state.SetItemsProcessed(state.iterations() * state.range(0));
}

void chunked_copy(benchmark::State& state) {
    const Chunked<std::uint32_t> source = words(state.range(0));
    for (auto _ : state) {
        Chunked<std::uint32_t> copy = source;
        benchmark::DoNotOptimize(copy);
    }
    state.SetItemsProcessed(state.iterations() * state.range(0));
}

// Copy, then append one element: the shared last chunk is duplicated.
void chunked_copy_then_push(benchmark::State& state) {
    const Chunked<std::uint32_t> source = words(state.range(0) + 5);
    for (auto _ : state) {
        Chunked<std::uint32_t> copy = source;
        copy.push(1);
        benchmark::DoNotOptimize(copy);
    }
}

// Copy, then insert an element 10 positions before the end.
void chunked_insert_near_end(benchmark::State& state) {
    const Chunked<ReceiveEvent> source = [&] {
        Chunked<ReceiveEvent> c;
        for (std::int64_t i = 0; i < state.range(0); ++i) {
            c.push(ReceiveEvent{static_cast<std::uint32_t>(i), 0x64000640, ReceiveEventKind::XpicTeardown});
        }
        return c;
    }();
    const auto at = static_cast<std::size_t>(state.range(0) - 10);
    for (auto _ : state) {
        Chunked<ReceiveEvent> copy = source;
        copy.insert(at, ReceiveEvent{});
        benchmark::DoNotOptimize(copy);
    }
}

// Copy, then insert an element 10 positions after the start.
void chunked_insert_near_start(benchmark::State& state) {
    const Chunked<ReceiveEvent> source = [&] {
        Chunked<ReceiveEvent> c;
        for (std::int64_t i = 0; i < state.range(0); ++i) {
            c.push(ReceiveEvent{static_cast<std::uint32_t>(i), 0x64000640, ReceiveEventKind::XpicTeardown});
        }
        return c;
    }();
    for (auto _ : state) {
        Chunked<ReceiveEvent> copy = source;
        copy.insert(10, ReceiveEvent{});
        benchmark::DoNotOptimize(copy);
    }
}

// Iterating all elements (flattening a word sequence).
void chunked_iterate(benchmark::State& state) {
    const Chunked<std::uint32_t> source = words(state.range(0));
    for (auto _ : state) {
        std::uint64_t sum = 0;
        for (std::uint32_t w : source) {
            sum += w;
        }
        benchmark::DoNotOptimize(sum);
    }
    state.SetItemsProcessed(state.iterations() * state.range(0));
}

}  // namespace

BENCHMARK(chunked_push)->Arg(1 << 10)->Arg(1 << 16);
BENCHMARK(vector_push)->Arg(1 << 10)->Arg(1 << 16);
BENCHMARK(chunked_copy)->Arg(1 << 10)->Arg(1 << 16);
BENCHMARK(chunked_copy_then_push)->Arg(1 << 10)->Arg(1 << 16);
BENCHMARK(chunked_insert_near_end)->Arg(1 << 10)->Arg(1 << 16);
BENCHMARK(chunked_insert_near_start)->Arg(1 << 10)->Arg(1 << 16);
BENCHMARK(chunked_iterate)->Arg(1 << 16);
