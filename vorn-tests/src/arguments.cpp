#include "vorn/tests/arguments.hpp"

#include <charconv>
#include <limits>
#include <sstream>
#include <string_view>

#include <CLI/CLI.hpp>
#include <fmt/format.h>

namespace vorn::tests {
namespace {

constexpr int usage_error_status = 2;

// Plain decimal digits only: no sign, no base prefix, no surrounding space.
// CLI11's own integer conversion accepts hexadecimal and octal prefixes and
// surrounding blanks, which a phase or tile number must not silently take.
template <typename Unsigned>
std::optional<Unsigned> parse_decimal(std::string_view text) {
    // from_chars into an unsigned type takes digits only: no sign, prefix or blank.
    Unsigned value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (text.empty() || error != std::errc() || end != text.data() + text.size()) {
        return std::nullopt;
    }
    return value;
}

template <typename Unsigned>
CLI::Validator decimal_validator() {
    return CLI::Validator(
        [](std::string& text) -> std::string {
            if (parse_decimal<Unsigned>(text)) {
                return {};
            }
            return fmt::format("Value {} is not an unsigned integer in 0..={}", text,
                               std::numeric_limits<Unsigned>::max());
        },
        "");
}

// Every option except --phase may be given at most once.
CLI::Option* once(CLI::Option* option) {
    return option->multi_option_policy(CLI::MultiOptionPolicy::Throw);
}

}  // namespace

ParseOutcome parse_arguments(int argc, const char* const* argv) {
    CLI::App app(command_about, command_name);
    app.set_version_flag("--version", fmt::format("{} {}", command_name, command_version),
                         "Print version");
    app.set_help_flag("-h,--help", "Print help");
    app.get_formatter()->column_width(34);

    std::string snapshot;
    std::vector<std::string> phases;
    std::string warmup;
    std::string iterations;
    std::string relocate_by;
    std::string dump_tile;
    bool footprint_only = false;
    bool first_iteration_only = false;
    bool select_widths = false;
    bool replay_cache = false;

    once(app.add_option("snapshot", snapshot,
                        "JSON snapshot written by vorn-trivial-test --export-exchange-schedule"))
        ->required()
        ->type_name("SNAPSHOT");
    app.add_option("--phase", phases, "Restrict the benchmark to these physical exchange phase IDs")
        ->type_name("PHASES")
        ->expected(1)
        ->allow_extra_args(false)
        ->multi_option_policy(CLI::MultiOptionPolicy::TakeAll)
        ->check(decimal_validator<std::uint32_t>());
    once(app.add_flag("--footprint-only", footprint_only,
                      "Report storage estimates without running the scheduler"));
    once(app.add_option("--warmup", warmup, "Untimed scheduler/codegen runs before measurement"))
        ->type_name("WARMUP")
        ->default_str("0")
        ->check(decimal_validator<std::uint64_t>());
    once(app.add_option("--iterations", iterations, "Timed scheduler/codegen runs per selected phase"))
        ->type_name("ITERATIONS")
        ->default_str("1")
        ->check(decimal_validator<std::uint64_t>());
    once(app.add_flag("--first-iteration-only", first_iteration_only,
                      "Ignore sender addresses after the first Repeat iteration. This reproduces the "
                      "unsafe scheduler behavior used before Repeat-aware memory-element hazard checking"));
    auto* select = once(app.add_flag("--select-widths", select_widths,
                                     "Include the production comparison of ordinary and paired transfers"));
    auto* replay = once(app.add_flag("--replay-cache", replay_cache,
                                     "Populate the production recipe cache before timing, then measure replay"));
    auto* relocate = once(app.add_option("--relocate-by", relocate_by,
                                         "Relocate every source/destination by this many bytes after cache warmup"))
                         ->type_name("RELOCATE_BY")
                         ->default_str("0")
                         ->check(decimal_validator<std::uint32_t>());
    once(app.add_option("--dump-tile", dump_tile, "Decode the generated exchange program for this logical tile"))
        ->type_name("DUMP_TILE")
        ->check(decimal_validator<std::uint64_t>());
    replay->needs(select);
    relocate->needs(replay);

    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& error) {
        std::ostringstream out;
        std::ostringstream err;
        const int status = app.exit(error, out, err);
        return ParserExit{status == 0 ? 0 : usage_error_status, out.str(), err.str()};
    }

    Arguments arguments;
    arguments.snapshot = std::move(snapshot);
    for (const auto& phase : phases) {
        arguments.phases.push_back(*parse_decimal<std::uint32_t>(phase));
    }
    arguments.footprint_only = footprint_only;
    if (!warmup.empty()) {
        arguments.warmup = *parse_decimal<std::uint64_t>(warmup);
    }
    if (!iterations.empty()) {
        arguments.iterations = *parse_decimal<std::uint64_t>(iterations);
    }
    arguments.first_iteration_only = first_iteration_only;
    arguments.select_widths = select_widths;
    arguments.replay_cache = replay_cache;
    if (!relocate_by.empty()) {
        arguments.relocate_by = *parse_decimal<std::uint32_t>(relocate_by);
    }
    if (!dump_tile.empty()) {
        arguments.dump_tile = *parse_decimal<std::uint64_t>(dump_tile);
    }
    return arguments;
}

}  // namespace vorn::tests
