#include "vorn/snapgen/options.hpp"

#include <algorithm>
#include <charconv>
#include <limits>

#include <fmt/format.h>

#include "vorn/snapgen/rules.hpp"

namespace vorn::snapgen {
namespace {

// A whole decimal number without sign, spaces or leading '+'.
std::optional<std::uint32_t> parse_number(std::string_view text) {
    std::uint32_t value = 0;
    const char* const end = text.data() + text.size();
    const auto [last, error] = std::from_chars(text.data(), end, value);
    if (text.empty() || error != std::errc{} || last != end) {
        return std::nullopt;
    }
    return value;
}

}  // namespace

std::string_view family_name(Family family) {
    switch (family) {
    case Family::AllToAll:
        return "all-to-all";
    case Family::Broadcast:
        return "broadcast";
    case Family::Halo:
        return "halo";
    case Family::Mixed:
        return "mixed";
    case Family::Pairs:
        return "pairs";
    }
    return "mixed";
}

tl::expected<Family, std::string> parse_family(std::string_view text) {
    for (const Family family : {Family::AllToAll, Family::Broadcast, Family::Halo, Family::Mixed, Family::Pairs}) {
        if (text == family_name(family)) {
            return family;
        }
    }
    return tl::make_unexpected(
        fmt::format("unknown family '{}' (expected all-to-all, broadcast, halo, mixed or pairs)", text));
}

tl::expected<CountRange, std::string> parse_count_range(std::string_view text, std::uint32_t low,
                                                        std::uint32_t high) {
    const auto invalid = [&] {
        return tl::make_unexpected(
            fmt::format("'{}' is not a count or MIN-MAX range within {}..{}", text, low, high));
    };
    const std::size_t dash = text.find('-');
    const std::optional<std::uint32_t> min = parse_number(text.substr(0, dash));
    const std::optional<std::uint32_t> max =
        dash == std::string_view::npos ? min : parse_number(text.substr(dash + 1));
    if (!min || !max || *min < low || *max > high || *min > *max) {
        return invalid();
    }
    return CountRange{*min, *max};
}

tl::expected<GridShape, std::string> parse_grid(std::string_view text) {
    const std::size_t cross = text.find('x');
    if (cross == std::string_view::npos) {
        return tl::make_unexpected(fmt::format("'{}' is not a grid COLUMNSxROWS", text));
    }
    const std::optional<std::uint32_t> columns = parse_number(text.substr(0, cross));
    const std::optional<std::uint32_t> rows = parse_number(text.substr(cross + 1));
    if (!columns || !rows || *columns == 0 || *rows == 0) {
        return tl::make_unexpected(fmt::format("'{}' is not a grid COLUMNSxROWS", text));
    }
    return GridShape{*columns, *rows};
}

tl::expected<JsonLayout, std::string> parse_layout(std::string_view text) {
    if (text == "compact") {
        return JsonLayout::Compact;
    }
    if (text == "phase-lines") {
        return JsonLayout::PhaseLines;
    }
    return tl::make_unexpected(fmt::format("unknown layout '{}' (expected compact or phase-lines)", text));
}

std::uint32_t all_to_all_round(std::uint32_t tile_count, std::uint32_t group_size) {
    const std::uint32_t full_groups = tile_count / group_size;
    const std::uint32_t rest = tile_count % group_size;
    return full_groups * group_size * (group_size - 1) + rest * (rest == 0 ? 0 : rest - 1);
}

std::uint32_t halo_round(GridShape grid) {
    return 2 * ((grid.columns - 1) * grid.rows + grid.columns * (grid.rows - 1));
}

GridShape default_grid(std::uint32_t tile_count) {
    std::uint32_t side = 1;
    while ((side + 1) * (side + 1) <= tile_count) {
        ++side;
    }
    return GridShape{side, tile_count / side};
}

tl::expected<GeneratorPlan, std::string> resolve_options(const GeneratorOptions& options) {
    using Error = tl::unexpected<std::string>;
    GeneratorPlan plan;
    plan.family = options.family;
    plan.seed = options.seed;
    plan.first_phase = options.first_phase;

    if (options.tile_count < 2 || options.tile_count > max_tile_count) {
        return Error(fmt::format("--tiles must be within 2..{}, got {}", max_tile_count, options.tile_count));
    }
    plan.tile_count = static_cast<std::uint16_t>(options.tile_count);
    const std::uint32_t tiles = plan.tile_count;

    const bool mixed = plan.family == Family::Mixed;
    const bool pairs = plan.family == Family::Pairs;
    if (pairs && tiles < 4) {
        return Error(fmt::format("--family pairs needs at least 4 tiles (two whole pairs), got {}", tiles));
    }
    plan.words = options.words.value_or(default_words);
    if (plan.words.min < 1 || plan.words.max > max_words || plan.words.min > plan.words.max) {
        return Error(fmt::format("--words must lie within 1..{}", max_words));
    }
    if (pairs && plan.words.min == plan.words.max && plan.words.min % 2 != 0) {
        return Error(fmt::format("--words {} leaves the pairs family no even word count", plan.words.min));
    }
    plan.repeats = options.repeats.value_or(mixed ? default_mixed_repeats : CountRange{1, 1});
    if (plan.repeats.min < 1 || plan.repeats.max > max_repeats || plan.repeats.min > plan.repeats.max) {
        return Error(fmt::format("--repeats must lie within 1..{}", max_repeats));
    }

    if (options.group_size) {
        if (*options.group_size < 2 || *options.group_size > tiles) {
            return Error(fmt::format("--group must be within 2..{} (the tile count)", tiles));
        }
        plan.group_size = *options.group_size;
    } else {
        plan.group_size = std::min(default_group_size, tiles);
    }

    if (options.fanout) {
        if (options.fanout->min < 1 || options.fanout->max > tiles - 1 ||
            options.fanout->min > options.fanout->max) {
            return Error(fmt::format("--fanout must lie within 1..{} (all tiles but the source)", tiles - 1));
        }
        plan.fanout = *options.fanout;
    } else {
        plan.fanout = CountRange{std::min(default_fanout.min, tiles - 1), std::min(default_fanout.max, tiles - 1)};
    }

    if (options.grid) {
        const std::uint64_t cells = std::uint64_t{options.grid->columns} * options.grid->rows;
        if (options.grid->columns == 0 || options.grid->rows == 0 || cells < 2 || cells > tiles) {
            return Error(fmt::format("--grid {}x{} must hold 2..{} tiles (the tile count)", options.grid->columns,
                                     options.grid->rows, tiles));
        }
        plan.grid = *options.grid;
    } else {
        plan.grid = default_grid(tiles);
    }

    if (options.transfers) {
        if (*options.transfers < 1 || *options.transfers > max_transfers) {
            return Error(fmt::format("--transfers must be within 1..{}", max_transfers));
        }
        plan.transfers = *options.transfers;
    } else {
        switch (plan.family) {
        case Family::AllToAll:
            plan.transfers = all_to_all_round(tiles, plan.group_size);
            break;
        case Family::Broadcast:
        case Family::Pairs:
            plan.transfers = std::max<std::uint32_t>(1, tiles / 4);
            break;
        case Family::Halo:
            plan.transfers = halo_round(plan.grid);
            break;
        case Family::Mixed:
            plan.transfers = default_mixed_transfers;
            break;
        }
    }

    if (options.phases) {
        if (*options.phases < 1 || *options.phases > max_phases) {
            return Error(fmt::format("--phases must be within 1..{}", max_phases));
        }
        plan.phases = *options.phases;
    } else {
        plan.phases = mixed ? default_mixed_phases : 1;
    }
    if (plan.phases - 1 > std::numeric_limits<std::uint32_t>::max() - plan.first_phase) {
        return Error(fmt::format("--first-phase {} leaves no room for {} phase ids below 2^32", plan.first_phase,
                                 plan.phases));
    }

    plan.paired_percent = options.paired_percent.value_or(mixed ? default_mixed_paired_percent : 0);
    if (plan.paired_percent > 100) {
        return Error(fmt::format("--paired must be within 0..100, got {}", plan.paired_percent));
    }
    return plan;
}

}  // namespace vorn::snapgen
