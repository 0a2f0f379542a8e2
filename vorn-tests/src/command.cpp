#include "vorn/tests/command.hpp"

#include <cstdio>
#include <variant>

#include <fmt/format.h>

#include "vorn/tests/arguments.hpp"
#include "vorn/tests/failure.hpp"
#include "vorn/tests/run_loop.hpp"
#include "vorn/tests/startup.hpp"
#include "vorn/codegen/exchange/snapshot_validation.hpp"
#include "vorn/runtime/logging.hpp"

namespace vorn::tests {
namespace {

constexpr int failure_status = 1;

tl::expected<void, Failure> run(const Arguments& arguments) {
    if (arguments.iterations == 0) {
        return tl::make_unexpected(Failure("--iterations must be nonzero"));
    }
    auto snapshot = load_snapshot(arguments.snapshot);
    if (!snapshot) {
        return tl::make_unexpected(std::move(snapshot.error()));
    }
    // Validation sees the snapshot as written, before any option changes it.
    if (const auto valid = codegen::validate_snapshot(*snapshot); !valid) {
        return tl::make_unexpected(Failure(valid.error().to_string()));
    }
    if (arguments.first_iteration_only) {
        keep_first_iteration_only(*snapshot);
    }
    const auto selected = select_phases(*snapshot, arguments.phases);
    if (!selected) {
        return tl::make_unexpected(selected.error());
    }
    fmt::print(stdout, "{}\n", header_line(arguments, *snapshot, selected->size()));
    return run_phases(arguments, *snapshot, *selected);
}

}  // namespace

int run_command(int argc, const char* const* argv) {
    auto parsed = parse_arguments(argc, argv);
    if (auto* exit = std::get_if<ParserExit>(&parsed)) {
        std::fputs(exit->out.c_str(), stdout);
        std::fputs(exit->err.c_str(), stderr);
        std::fflush(stdout);
        return exit->status;
    }
    const auto& arguments = std::get<Arguments>(parsed);
    // Logging is installed only when asked for, so by default no event is
    // ever formatted.
    if (runtime::log_filter_from_environment()) {
        runtime::init_tracing();
    }
    const auto result = run(arguments);
    std::fflush(stdout);
    if (!result) {
        fmt::print(stderr, "Error: {}\n", result.error().render());
        return failure_status;
    }
    return 0;
}

}  // namespace vorn::tests
