// Throughput of the snapshot reader on a generated document of about 100 MB.
//
// The document has the shape of a real capture: a few hundred phases of a
// 1472-tile program, each with thousands of transfers; a transfer has one to
// four source addresses (Repeat iterations) and one to six destinations, and
// most are Word32. It is written compactly in the object form, as the
// exporting tool writes it, and is the same on every run (fixed seed).

#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include <fmt/format.h>

#include "vorn/codegen/exchange/snapshot_reader.hpp"

#include "bench_random.hpp"

namespace {

using vorn::codegen::read_snapshot;
using vorn::codegen::SnapshotBytes;

using vorn::bench::Random;

enum class Form { Object, Positional };

std::string generate_snapshot(std::size_t target_bytes, Form form) {
    constexpr std::uint32_t tiles = 1472;
    Random random(0x5eed'0f'5a'b5'07ULL);
    std::string out;
    out.reserve(target_bytes + (1u << 20));
    auto sink = std::back_inserter(out);
    const bool objects = form == Form::Object;
    fmt::format_to(sink, fmt::runtime(objects ? R"({{"schema_version":3,"tile_count":{},"phases":[)" : "[3,{},["), tiles);
    for (std::uint32_t phase = 0; out.size() < target_bytes; ++phase) {
        fmt::format_to(sink, fmt::runtime(objects ? R"({}{{"phase":{},"transfers":[)" : "{}[{},["), phase == 0 ? "" : ",",
                       phase * 3 + 1);
        const std::uint32_t transfers = 1000 + random.below(4000);
        for (std::uint32_t t = 0; t < transfers; ++t) {
            const std::uint32_t source = random.below(tiles);
            const std::uint32_t words = 1 + random.below(512);
            const std::uint32_t repeats = 1 + random.below(4);
            const std::uint32_t base = 0x1000 * (1 + random.below(100));
            fmt::format_to(sink, fmt::runtime(objects ? R"({}{{"source":{},"source_addresses":[)" : "{}[{},["), t == 0 ? "" : ",",
                           source);
            for (std::uint32_t r = 0; r < repeats; ++r) {
                fmt::format_to(sink, "{}{}", r == 0 ? "" : ",", base + r * words * 4);
            }
            out += objects ? R"(],"destinations":[)" : "],[";
            const std::uint32_t destinations = 1 + random.below(6);
            for (std::uint32_t d = 0; d < destinations; ++d) {
                const std::uint32_t tile = (source + 1 + random.below(tiles - 1)) % tiles;
                const std::uint32_t address = 0x40000 + 0x100 * random.below(1000);
                fmt::format_to(sink, fmt::runtime(objects ? R"({}{{"tile":{},"address":{}}})" : "{}[{},{}]"), d == 0 ? "" : ",",
                               tile, address);
            }
            const char* width = random.below(8) == 0 ? "Paired64" : "Word32";
            fmt::format_to(sink, fmt::runtime(objects ? R"(],"words":{},"width":"{}"}})" : R"(],{},"{}"])"), words, width);
        }
        out += objects ? "]}" : "]]";
    }
    out += objects ? "]}" : "]]";
    return out;
}

const SnapshotBytes& document(Form form) {
    static const SnapshotBytes object_document(generate_snapshot(100u << 20, Form::Object));
    static const SnapshotBytes positional_document(generate_snapshot(100u << 20, Form::Positional));
    return form == Form::Object ? object_document : positional_document;
}

// Times `read(bytes)` per iteration; destroying the snapshot is not timed.
template <class Read>
void run_reader(benchmark::State& state, Form form, Read read) {
    const SnapshotBytes& bytes = document(form);
    std::size_t phases = 0;
    for (auto _ : state) {
        auto snapshot = read(bytes);
        if (!snapshot) {
            state.SkipWithError(snapshot.error().render().c_str());
            return;
        }
        phases = snapshot->phases.size();
        benchmark::DoNotOptimize(snapshot);
        state.PauseTiming();
        snapshot = {};
        state.ResumeTiming();
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * bytes.size()));
    state.counters["document_MB"] = static_cast<double>(bytes.size()) / 1e6;
    state.counters["phases"] = static_cast<double>(phases);
}

// read_snapshot as the command calls it: the parser's buffers are allocated
// (and the memory faulted in) for every document.
void BM_read_snapshot(benchmark::State& state, Form form) {
    run_reader(state, form, [](const SnapshotBytes& bytes) { return read_snapshot(bytes); });
}

// One SnapshotReader for all iterations: its buffers are reused.
void BM_snapshot_reader_reused(benchmark::State& state, Form form) {
    vorn::codegen::SnapshotReader reader;
    run_reader(state, form, [&reader](const SnapshotBytes& bytes) { return reader.read(bytes); });
}

BENCHMARK_CAPTURE(BM_read_snapshot, objects, Form::Object)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_read_snapshot, positional, Form::Positional)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_snapshot_reader_reused, objects, Form::Object)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_snapshot_reader_reused, positional, Form::Positional)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
