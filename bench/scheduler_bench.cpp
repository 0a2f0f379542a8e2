// Scheduling cost of whole phases: runs the scheduler entry on generated
// phases of about 1,000 to 100,000 transfers over 1472 tiles and prints one
// row per phase: transfers, dependency edges, horizon, lower bound, the
// strategy of the kept schedule, the median time of the runs and the peak
// resident memory of one run.
//
//   bench-scheduler [--max-transfers N] [--repetitions R] [--family NAME]
//
// Every phase runs in a child process of its own, so that its peak memory
// (the child's resident high-water mark, VmHWM: generation, scheduling
// problem and the runs together) is not hidden by memory an earlier phase
// left in the allocator.

#include <fmt/format.h>

#include <algorithm>
#include <charconv>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

#include <sys/wait.h>
#include <unistd.h>

#include "vorn/codegen/exchange/optimize.hpp"
#include "vorn/codegen/exchange/pending.hpp"
#include "vorn/codegen/exchange/problem.hpp"
#include "vorn/snapgen/families.hpp"
#include "vorn/snapgen/options.hpp"

namespace {

using namespace vorn;

// The resident high-water mark of the process in KiB (VmHWM), 0 if unknown.
std::uint64_t peak_resident_kib() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("VmHWM:", 0) == 0) {
            return std::strtoull(line.c_str() + 6, nullptr, 10);
        }
    }
    return 0;
}

struct Family {
    std::string_view label;
    snapgen::Family family;
    std::optional<std::uint32_t> paired_percent;
};

struct Arguments {
    std::uint32_t max_transfers = 100'000;
    std::uint32_t repetitions = 3;
    std::optional<std::string> family;
};

// A whole decimal 32-bit count, or nothing.
std::optional<std::uint32_t> parse_count(std::string_view text) {
    std::uint32_t value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc{} || end != text.data() + text.size()) {
        return std::nullopt;
    }
    return value;
}

std::optional<Arguments> parse(int argc, char** argv) {
    Arguments arguments;
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg = argv[i];
        if (i + 1 >= argc) {
            return std::nullopt;
        }
        const std::string_view value = argv[++i];
        if (arg == "--max-transfers" || arg == "--repetitions") {
            const std::optional<std::uint32_t> count = parse_count(value);
            if (!count) {
                return std::nullopt;
            }
            (arg == "--max-transfers" ? arguments.max_transfers : arguments.repetitions) = *count;
        } else if (arg == "--family") {
            arguments.family = std::string(value);
        } else {
            return std::nullopt;
        }
    }
    arguments.repetitions = std::max<std::uint32_t>(1, arguments.repetitions);
    return arguments;
}

}  // namespace

int main(int argc, char** argv) {
    const auto arguments = parse(argc, argv);
    if (!arguments) {
        std::fputs("usage: bench-scheduler [--max-transfers N] [--repetitions R] [--family NAME]\n", stderr);
        return 2;
    }
    // Point-to-point, multicast, and the hazard-heavy blend (Repeat
    // iterations and forwarded payloads create dependency chains).
    const Family families[] = {
        {"all-to-all", snapgen::Family::AllToAll, std::nullopt},
        {"halo", snapgen::Family::Halo, std::nullopt},
        {"broadcast", snapgen::Family::Broadcast, std::nullopt},
        {"mixed", snapgen::Family::Mixed, 0},
    };
    if (arguments->family && std::none_of(std::begin(families), std::end(families), [&](const Family& family) {
            return family.label == *arguments->family;
        })) {
        fmt::print(stderr, "bench-scheduler: unknown family '{}'; the families are all-to-all, halo, broadcast, mixed\n",
                   *arguments->family);
        return 2;
    }
    const std::uint32_t sizes[] = {1'000, 3'000, 10'000, 30'000, 100'000};
    fmt::print("{:<11} {:>9} {:>8} {:>8} {:>8} {:<24} {:>10} {:>9}\n", "family", "transfers", "edges", "horizon",
               "bound", "strategy", "median ms", "peak MiB");
    std::fflush(stdout);
    for (const Family& family : families) {
        if (arguments->family && *arguments->family != family.label) {
            continue;
        }
        for (const std::uint32_t size : sizes) {
            if (size > arguments->max_transfers) {
                continue;
            }
            const pid_t child = fork();
            if (child < 0) {
                std::perror("bench-scheduler: fork");
                return 1;
            }
            if (child > 0) {
                int status = 0;
                if (waitpid(child, &status, 0) != child || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
                    return 1;
                }
                continue;
            }
            // The child reports why it could not measure the phase.
            const auto fail = [&](const std::string& why) {
                fmt::print(stderr, "{} {}: {}\n", family.label, size, why);
                return 1;
            };
            snapgen::GeneratorOptions options;
            options.family = family.family;
            options.tile_count = 1472;
            options.transfers = size;
            options.phases = 1;
            options.seed = 11;
            options.paired_percent = family.paired_percent;
            const auto plan = snapgen::resolve_options(options);
            if (!plan) {
                return fail(plan.error());
            }
            const codegen::ExchangeScheduleProblem problem = snapgen::generate_phase(*plan, 0);
            const auto pending = codegen::pending_from_problem(problem, plan->tile_count);
            if (!pending) {
                return fail(pending.error().to_string());
            }
            const std::size_t edges = codegen::SchedulingProblem::create(*pending, plan->tile_count).edge_count();
            const auto topology = codegen::machine_section(plan->tile_count);
            if (!topology) {
                return fail(topology.error().to_string());
            }
            const auto configuration = codegen::receive_configuration(*pending, plan->tile_count);
            if (!configuration) {
                return fail(configuration.error().to_string());
            }

            std::vector<double> milliseconds;
            std::string strategy;
            std::uint32_t horizon = 0;
            std::uint32_t bound = 0;
            for (std::uint32_t run = 0; run < arguments->repetitions; ++run) {
                const auto started = std::chrono::steady_clock::now();
                auto scheduled = codegen::optimize_pending_schedule(*topology, *pending,
                                                                    configuration->incoming_bases,
                                                                    configuration->incoming_counts, plan->tile_count);
                const auto elapsed = std::chrono::steady_clock::now() - started;
                if (!scheduled) {
                return fail(scheduled.error().to_string());
            }
                milliseconds.push_back(std::chrono::duration<double, std::milli>(elapsed).count());
                strategy = std::string(scheduled->strategy);
                if (scheduled->neighborhood_improvements != 0) {
                    strategy += fmt::format(" x{}", scheduled->neighborhood_improvements);
                }
                horizon = scheduled->schedule.horizon;
                bound = scheduled->endpoint_lower_bound_cycles;
            }
            std::sort(milliseconds.begin(), milliseconds.end());
            fmt::print("{:<11} {:>9} {:>8} {:>8} {:>8} {:<24} {:>10.1f} {:>9.1f}\n", family.label, pending->size(),
                       edges, horizon, bound, strategy, milliseconds[milliseconds.size() / 2],
                       static_cast<double>(peak_resident_kib()) / 1024.0);
            std::fflush(stdout);
            std::exit(0);
        }
    }
    return 0;
}
