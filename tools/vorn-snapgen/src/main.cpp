// vorn-snapgen: writes a synthetic exchange-schedule snapshot. Exit status 0
// on success, 1 when the output cannot be written, 2 for usage errors.

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include <CLI/CLI.hpp>
#include <fmt/format.h>

#include "vorn/snapgen/families.hpp"
#include "vorn/snapgen/json_writer.hpp"
#include "vorn/snapgen/options.hpp"
#include "vorn/snapgen/rules.hpp"

namespace {

using namespace vorn::snapgen;

constexpr int usage_status = 2;

int usage_error(const std::string& message) {
    fmt::print(stderr, "{}\nRun with --help for more information.\n", message);
    return usage_status;
}

}  // namespace

int main(int argc, char** argv) {
    CLI::App app{"Writes a synthetic exchange-schedule snapshot (schema 3, Q480 tiles) as JSON.\n"
                 "The same options and seed always give the same file.",
                 "vorn-snapgen"};
    app.set_version_flag("--version", "0.1.0");
    // An option given twice is a usage error rather than "last one wins".
    app.option_defaults()->multi_option_policy(CLI::MultiOptionPolicy::Throw);

    std::string family_text;
    std::uint32_t tiles = 1472;
    std::uint32_t transfers = 0;
    std::uint32_t phases = 0;
    std::uint64_t seed = 1;
    std::string words_text;
    std::string repeats_text;
    std::uint32_t group = 0;
    std::string fanout_text;
    std::string grid_text;
    std::uint32_t paired = 0;
    std::uint32_t first_phase = 0;
    std::string layout_text = "compact";
    std::string output = "-";

    app.add_option("--family", family_text,
                   "all-to-all: every tile of a group sends to every other; broadcast: multicasts "
                   "from one source to many destinations; halo: tiles on a 2-D grid send to their "
                   "four neighbours; mixed: phases blending the three, with paired transfers, "
                   "Repeat iterations and forwarded payloads; pairs: ordinary multicasts to whole "
                   "tile pairs that the width selection can widen")
        ->type_name("FAMILY")
        ->required();
    app.add_option("--tiles", tiles, "Tile count of the snapshot")->type_name("N")->default_val(1472)
        ->check(CLI::Range(2, 1472));
    auto* transfers_option =
        app.add_option("--transfers", transfers,
                       "Transfers per phase [default: all-to-all and halo one full round, broadcast "
                       "and pairs a quarter of the tiles, mixed 1000]")
            ->type_name("T");
    auto* phases_option = app.add_option("--phases", phases, "Phases [default: 1, mixed 4]")->type_name("P");
    app.add_option("--seed", seed, "Seed of the random choices")->type_name("S")->default_val(1);
    auto* words_option =
        app.add_option("--words", words_text, "Words per transfer, N or MIN-MAX within 1-4148 [default: 8-512]")
            ->type_name("W");
    auto* repeats_option =
        app.add_option("--repeats", repeats_text,
                       "Source addresses per transfer (Repeat iterations), N or MIN-MAX within 1-16 "
                       "[default: 1, mixed 1-3]")
            ->type_name("R");
    auto* group_option =
        app.add_option("--group", group, "Tiles per all-to-all group (all-to-all, mixed) [default: 8]")
            ->type_name("G");
    auto* fanout_option =
        app.add_option("--fanout", fanout_text,
                       "Destinations per multicast, N or MIN-MAX (broadcast, mixed, pairs) [default: 2-16]")
            ->type_name("F");
    auto* grid_option =
        app.add_option("--grid", grid_text,
                       "Halo grid COLUMNSxROWS (halo, mixed) [default: the largest square that fits]")
            ->type_name("CxR");
    auto* paired_option =
        app.add_option("--paired", paired,
                       "Percentage of transfers made Paired64 where the tile pairs allow it "
                       "[default: 0, mixed 10]")
            ->type_name("PERCENT");
    app.add_option("--first-phase", first_phase, "Id of the first phase; later phases count up")
        ->type_name("ID")
        ->default_val(0);
    app.add_option("--layout", layout_text, "JSON layout: compact (one line) or phase-lines (one phase per line)")
        ->type_name("LAYOUT")
        ->default_val("compact");
    app.add_option("--output", output, "Output file, - for standard output")->type_name("FILE")->default_val("-");

    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& error) {
        const int status = app.exit(error);
        return status == 0 ? 0 : usage_status;
    }

    GeneratorOptions options;
    const auto family = parse_family(family_text);
    if (!family) {
        return usage_error(fmt::format("--family: {}", family.error()));
    }
    options.family = *family;
    options.tile_count = tiles;
    options.seed = seed;
    options.first_phase = first_phase;
    if (transfers_option->count() != 0) {
        options.transfers = transfers;
    }
    if (phases_option->count() != 0) {
        options.phases = phases;
    }
    if (group_option->count() != 0) {
        options.group_size = group;
    }
    if (paired_option->count() != 0) {
        options.paired_percent = paired;
    }
    const struct {
        CLI::Option* option;
        const std::string& text;
        std::uint32_t low;
        std::uint32_t high;
        std::optional<CountRange>* target;
    } ranges[] = {
        {words_option, words_text, 1, max_words, &options.words},
        {repeats_option, repeats_text, 1, max_repeats, &options.repeats},
        {fanout_option, fanout_text, 1, max_tile_count - 1, &options.fanout},
    };
    for (const auto& range : ranges) {
        if (range.option->count() == 0) {
            continue;
        }
        auto parsed = parse_count_range(range.text, range.low, range.high);
        if (!parsed) {
            return usage_error(fmt::format("{}: {}", range.option->get_name(), parsed.error()));
        }
        *range.target = *parsed;
    }
    if (grid_option->count() != 0) {
        auto parsed = parse_grid(grid_text);
        if (!parsed) {
            return usage_error(fmt::format("--grid: {}", parsed.error()));
        }
        options.grid = *parsed;
    }
    const auto layout = parse_layout(layout_text);
    if (!layout) {
        return usage_error(fmt::format("--layout: {}", layout.error()));
    }
    const auto plan = resolve_options(options);
    if (!plan) {
        return usage_error(plan.error());
    }

    std::FILE* file = stdout;
    if (output != "-") {
        file = std::fopen(output.c_str(), "wb");
        if (file == nullptr) {
            fmt::print(stderr, "Error: cannot create {}: {}\n", output, std::strerror(errno));
            return 1;
        }
    }
    // Phase by phase, so a large snapshot never sits in memory whole.
    SnapshotJsonWriter writer(*layout, file);
    writer.begin(snapshot_schema_version, plan->tile_count);
    vorn::codegen::ExchangeScheduleSnapshot single{snapshot_schema_version, plan->tile_count, {}};
    for (std::uint32_t index = 0; index < plan->phases; ++index) {
        single.phases.assign(1, generate_phase(*plan, index));
        if (const auto checked = check_snapshot(single); !checked) {
            fmt::print(stderr, "Error: generated an invalid snapshot: {}\n", checked.error());
            return 1;
        }
        writer.phase(single.phases.front());
    }
    auto written = writer.finish();
    if (file != stdout && std::fclose(file) != 0 && written) {
        written = tl::make_unexpected(std::string(std::strerror(errno)));
    }
    if (!written) {
        fmt::print(stderr, "Error: cannot write {}: {}\n", output == "-" ? "standard output" : output,
                   written.error());
        return 1;
    }
    return 0;
}
