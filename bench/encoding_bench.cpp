// The tile-program encoder and decoder on one long tile schedule: 4000
// blocks of 100 cycles, each with a sender row of 40 items carrying one
// control inside its payload, a PIC+XPIC pair between rows and a teardown,
// so every kind of group the encoder writes occurs (about 32,000 words).
//
// - Encode: a fresh encoding; the rate is words written per second.
// - Reencode/<percent>: an incremental encoding after one sender row at that
//   position of the schedule was replaced; its cost must grow with the part
//   of the schedule after the change (compare 1% with 99%).
// - Decode and Validate: words read back per second.

#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstdlib>
#include <vector>

#include "vorn/exchange/chunked.hpp"
#include "vorn/exchange/diagnostic.hpp"
#include "vorn/exchange/encoding.hpp"
#include "vorn/exchange/words.hpp"

namespace {

using namespace vorn::exchange;

constexpr std::uint32_t blocks = 4000;

RowWords sender_row(std::uint32_t items, std::uint32_t operand) {
    RowWords row{};
    row[0] = sync_entry;
    row[1] = explicit_send_word(items, operand, 1);
    row[2] = return_word;
    return row;
}

struct Schedule {
    Chunked<ScheduledSenderRow> rows;
    Chunked<ReceiveEvent> events;
    std::uint32_t horizon = 0;
};

Schedule long_schedule() {
    Schedule schedule;
    for (std::uint32_t block = 0; block < blocks; ++block) {
        const std::uint32_t base = block * 100;
        schedule.rows.push(ScheduledSenderRow{sender_row(40, 0x100 + block % 1000), base + 10, base + 50});
        schedule.events.push(
            ReceiveEvent{base + 30, xpic_word(xpic_source_value(block % 1472)), ReceiveEventKind::XpicSource});
        schedule.events.push(
            ReceiveEvent{base + 70, pic_word(pic_pointer_value(4 * (block % 0x3FFFF))), ReceiveEventKind::PicPointer});
        schedule.events.push(ReceiveEvent{base + 70, xpic_word(xpic_teardown()), ReceiveEventKind::XpicTeardown});
        schedule.events.push(ReceiveEvent{base + 95, pic_word(pic_pointer_value(0x400)), ReceiveEventKind::PicPointer});
    }
    schedule.horizon = blocks * 100;
    return schedule;
}

EncodedSchedule encode_or_die(const Schedule& schedule) {
    auto encoded = encoding::build_scheduled_program(schedule.rows, schedule.events, schedule.horizon);
    if (!encoded) {
        std::abort();
    }
    return *encoded;
}

void Encode(benchmark::State& state) {
    const Schedule schedule = long_schedule();
    std::size_t words = 0;
    for (auto _ : state) {
        auto encoded = encoding::build_scheduled_program(schedule.rows, schedule.events, schedule.horizon);
        words = encoded->words.len();
        benchmark::DoNotOptimize(encoded);
    }
    state.counters["words"] = static_cast<double>(words);
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * words));
}
BENCHMARK(Encode)->Unit(benchmark::kMicrosecond);

void Reencode(benchmark::State& state) {
    Schedule schedule = long_schedule();
    const EncodedSchedule base = encode_or_die(schedule);
    // Replace one sender row by one sending from another address.
    const auto changed = static_cast<std::size_t>(blocks * static_cast<std::uint64_t>(state.range(0)) / 100);
    ScheduledSenderRow row = schedule.rows.remove(changed);
    row.words = sender_row(40, 0x3000);
    schedule.rows.insert(changed, row);
    const EncodingBase previous{&base, changed, schedule.events.len()};
    std::size_t reencoded = 0;
    for (auto _ : state) {
        auto encoded = encoding::build_scheduled_program(schedule.rows, schedule.events, schedule.horizon, previous);
        reencoded = encoded->words.len();
        benchmark::DoNotOptimize(encoded);
    }
    state.counters["rows_after_change"] = static_cast<double>(blocks - changed);
    state.counters["words"] = static_cast<double>(reencoded);
}
BENCHMARK(Reencode)->Arg(1)->Arg(25)->Arg(50)->Arg(75)->Arg(99)->Unit(benchmark::kMicrosecond);

void Decode(benchmark::State& state) {
    const std::vector<Word> words = encode_or_die(long_schedule()).words.to_vector();
    for (auto _ : state) {
        auto program = diagnose_plan_program(words);
        benchmark::DoNotOptimize(program);
    }
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * words.size()));
}
BENCHMARK(Decode)->Unit(benchmark::kMicrosecond);

void Validate(benchmark::State& state) {
    const Schedule schedule = long_schedule();
    const std::vector<Word> words = encode_or_die(schedule).words.to_vector();
    for (auto _ : state) {
        auto program = validate_tile_program(0, schedule.rows, schedule.events, schedule.horizon, words);
        if (!program) {
            std::abort();
        }
        benchmark::DoNotOptimize(program);
    }
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * words.size()));
}
BENCHMARK(Validate)->Unit(benchmark::kMicrosecond);

}  // namespace
