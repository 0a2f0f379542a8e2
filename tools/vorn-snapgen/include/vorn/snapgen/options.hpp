#pragma once
// What to generate: the user's choices (GeneratorOptions, unset fields take
// the family's defaults) and the fully resolved, checked plan the families
// work from (GeneratorPlan).

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include <tl/expected.hpp>

namespace vorn::snapgen {

enum class Family : std::uint8_t {
    AllToAll,   // point-to-point between every two tiles of a group
    Broadcast,  // one source multicasting to many destinations
    Halo,       // 2-D grid, every tile sending to its four neighbours
    Mixed,      // several phases blending the three, with paired transfers,
                // Repeat iterations and forwarded payloads
    Pairs,      // ordinary multicasts to whole tile pairs from sources whose
                // partner stays free, so that the width selection can widen
};

// Inclusive range of counts; a single value is min == max.
struct CountRange {
    std::uint32_t min = 0;
    std::uint32_t max = 0;

    friend bool operator==(const CountRange&, const CountRange&) = default;
};

// Halo grid: tile (x, y) is logical tile y * columns + x.
struct GridShape {
    std::uint32_t columns = 0;
    std::uint32_t rows = 0;

    friend bool operator==(const GridShape&, const GridShape&) = default;
};

enum class JsonLayout : std::uint8_t {
    Compact,     // the whole document on one line
    PhaseLines,  // the header on the first line, then one phase per line
};

struct GeneratorOptions {
    Family family = Family::Mixed;
    std::uint32_t tile_count = 1472;
    std::optional<std::uint32_t> transfers;  // per phase
    std::optional<std::uint32_t> phases;
    std::uint64_t seed = 1;
    std::optional<CountRange> words;
    std::optional<CountRange> repeats;  // source addresses per transfer
    std::uint32_t first_phase = 0;
    std::optional<std::uint32_t> group_size;
    std::optional<CountRange> fanout;
    std::optional<GridShape> grid;
    std::optional<std::uint32_t> paired_percent;
};

// Defaults applied by resolve_options.
inline constexpr CountRange default_words{8, 512};
inline constexpr std::uint32_t default_group_size = 8;
inline constexpr CountRange default_fanout{2, 16};
inline constexpr std::uint32_t default_mixed_transfers = 1000;
inline constexpr std::uint32_t default_mixed_phases = 4;
inline constexpr CountRange default_mixed_repeats{1, 3};
inline constexpr std::uint32_t default_mixed_paired_percent = 10;
// Limits that keep a run within memory and within the tile's buffers.
inline constexpr std::uint32_t max_transfers = 10'000'000;
inline constexpr std::uint32_t max_phases = 1'000'000;
inline constexpr std::uint32_t max_repeats = 16;

struct GeneratorPlan {
    Family family = Family::Mixed;
    std::uint16_t tile_count = 0;
    std::uint32_t transfers = 0;  // per phase
    std::uint32_t phases = 0;
    std::uint64_t seed = 0;
    CountRange words;
    CountRange repeats;
    std::uint32_t first_phase = 0;
    std::uint32_t group_size = 0;
    CountRange fanout;
    GridShape grid;
    std::uint32_t paired_percent = 0;
};

// Checks the options against each other and the machine and fills in the
// defaults: transfers (all-to-all and halo: one full round, broadcast: a
// quarter of the tiles, pairs: a quarter of the tiles, mixed: 1000), phases
// (1, mixed 4), words 8-512,
// repeats (1, mixed 1-3), group size 8 and fanout 2-16 (both cut down to
// what the tile count allows), grid (the largest square that fits), paired
// share (0, mixed 10 %). Values given explicitly are never cut down: one that
// does not fit is an error, a usage message naming the option. The pairs
// family needs two whole tile pairs (4 tiles) and a word range holding an
// even count.
tl::expected<GeneratorPlan, std::string> resolve_options(const GeneratorOptions& options);

// "all-to-all", "broadcast", "halo", "mixed", "pairs".
std::string_view family_name(Family family);
tl::expected<Family, std::string> parse_family(std::string_view text);
// "N" or "MIN-MAX", each within [low, high], MIN <= MAX.
tl::expected<CountRange, std::string> parse_count_range(std::string_view text, std::uint32_t low,
                                                        std::uint32_t high);
// "COLUMNSxROWS", both positive.
tl::expected<GridShape, std::string> parse_grid(std::string_view text);
// "compact" or "phase-lines".
tl::expected<JsonLayout, std::string> parse_layout(std::string_view text);

// Transfers of one full round of the family on the plan's tiles: every
// ordered pair of every group (all-to-all), every existing neighbour of
// every grid tile (halo).
std::uint32_t all_to_all_round(std::uint32_t tile_count, std::uint32_t group_size);
std::uint32_t halo_round(GridShape grid);
GridShape default_grid(std::uint32_t tile_count);

}  // namespace vorn::snapgen
