#pragma once
// Aborting on a broken internal invariant: a caller broke a precondition the
// scheduler's own steps guarantee (for example, a transfer naming a tile
// outside the tables it was built for). Continuing would index out of range,
// so the process stops with the message.

#include <cstdio>
#include <cstdlib>
#include <string_view>

#include <fmt/core.h>

namespace vorn::codegen::detail {

[[noreturn]] inline void fatal_invariant(std::string_view message) {
    fmt::print(stderr, "vorn-codegen: internal invariant violated: {}\n", message);
    std::fflush(stderr);
    std::abort();
}

}  // namespace vorn::codegen::detail
