#pragma once
// The parsed command line of the benchmark command.

#include <cstdint>
#include <optional>
#include <string>
#include <variant>
#include <vector>

namespace vorn::tests {

inline constexpr const char* command_name = "vorn-tests";
inline constexpr const char* command_version = "0.1.0";
inline constexpr const char* command_about =
    "Replay and validate production exchange scheduling without VORN hardware";

struct Arguments {
    std::string snapshot;               // path bytes exactly as given
    std::vector<std::uint32_t> phases;  // in command-line order
    bool footprint_only = false;
    std::uint64_t warmup = 0;
    std::uint64_t iterations = 1;
    bool first_iteration_only = false;
    bool select_widths = false;
    bool replay_cache = false;
    std::uint32_t relocate_by = 0;
    std::optional<std::uint64_t> dump_tile;

    friend bool operator==(const Arguments&, const Arguments&) = default;
};

// Parsing ends either with arguments to run with, or with the process exit
// the parser decided on: help and version (status 0, text for standard
// output) or a usage error (status 2, text for standard error).
struct ParserExit {
    int status = 0;
    std::string out;
    std::string err;
};

using ParseOutcome = std::variant<Arguments, ParserExit>;

ParseOutcome parse_arguments(int argc, const char* const* argv);

}  // namespace vorn::tests
