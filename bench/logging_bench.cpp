// Cost of events: without a subscriber (the default), with one that filters
// them out, and the formatting of an event that passes.
//
// The benchmarks without a subscriber run first; BM_FilteredOut* installs a
// subscriber for the rest of the process.

#include <cstdint>
#include <memory>
#include <string_view>
#include <vector>

#include <benchmark/benchmark.h>

#include "vorn/runtime/logging.hpp"

namespace {

using vorn::runtime::Level;

// The loop the event benchmarks add their event to.
void BM_EmptyLoop(benchmark::State& state) {
    std::uint32_t value = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(value);
        ++value;
    }
}
BENCHMARK(BM_EmptyLoop);

void BM_EventWithoutSubscriber(benchmark::State& state) {
    if (vorn::runtime::installed_subscriber() != nullptr) {
        state.SkipWithError("a subscriber is installed");
        return;
    }
    const std::vector<std::uint16_t> receivers{1, 2, 3, 4};
    std::uint32_t value = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(value);
        VORN_EVENT(Level::Debug, "vorn_exchange", "assembled multicast exchange",
                   VORN_FIELD(sender_logical, value), VORN_FIELD(receiver_logical, receivers),
                   VORN_FIELD(count, value + 1));
        ++value;
    }
}
BENCHMARK(BM_EventWithoutSubscriber);

void install_discarding_subscriber() {
    vorn::runtime::install_subscriber(std::make_unique<vorn::runtime::Subscriber>(
        vorn::runtime::LogConfig{vorn::runtime::EventFilter::parse_or_info("vorn_bench=info"),
                                 vorn::runtime::LogFormat::Plain, false},
        [](std::string_view line) { benchmark::DoNotOptimize(line.data()); }));
}

// Rejected by the filter's most verbose level, before the target is looked at.
void BM_FilteredOutByLevel(benchmark::State& state) {
    install_discarding_subscriber();
    std::uint32_t value = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(value);
        VORN_EVENT(Level::Debug, "vorn_exchange", "assembled point-to-point exchange",
                   VORN_FIELD(count, value));
        ++value;
    }
}
BENCHMARK(BM_FilteredOutByLevel);

// Passes the level check, rejected by the target's directive.
void BM_FilteredOutByTarget(benchmark::State& state) {
    install_discarding_subscriber();
    std::uint32_t value = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(value);
        VORN_EVENT(Level::Info, "vorn_codegen::exchange", "compared ordinary and paired exchange schedules",
                   VORN_FIELD(phase, value));
        ++value;
    }
}
BENCHMARK(BM_FilteredOutByTarget);

// Formatting and writing one passing event (to a writer that drops it).
void BM_EmitEvent(benchmark::State& state) {
    const auto format = static_cast<vorn::runtime::LogFormat>(state.range(0));
    const vorn::runtime::Subscriber subscriber(
        vorn::runtime::LogConfig{vorn::runtime::EventFilter::parse_or_info("trace"), format,
                                 state.range(1) != 0},
        [](std::string_view line) { benchmark::DoNotOptimize(line.data()); });
    const std::vector<std::uint16_t> receivers{17, 18, 19, 20, 21, 22};
    std::uint32_t value = 0;
    for (auto _ : state) {
        const vorn::runtime::Field fields[] = {
            VORN_FIELD(sender_logical, value),
            VORN_FIELD(receiver_logical, receivers),
            VORN_FIELD(count, value + 1),
            VORN_FIELD(error, "row does not fit"),
        };
        subscriber.emit({Level::Debug, "vorn_exchange", "assembled multicast exchange", fields});
        ++value;
    }
}
BENCHMARK(BM_EmitEvent)->ArgNames({"json", "colour"})->Args({0, 0})->Args({0, 1})->Args({1, 0});

}  // namespace
