#pragma once
// Start-up of the benchmark command after the command line is parsed:
// reading the snapshot, the first-iteration-only option, phase selection and
// the header line.

#include <cstddef>
#include <string>
#include <vector>

#include <tl/expected.hpp>

#include "vorn/codegen/exchange/snapshot.hpp"
#include "vorn/tests/arguments.hpp"
#include "vorn/tests/failure.hpp"

namespace vorn::tests {

// Opens and reads the snapshot file. Failures carry the operating system's
// or the reader's message under "open {path}" or "parse {path}".
tl::expected<codegen::ExchangeScheduleSnapshot, Failure> load_snapshot(const std::string& path);

// Keeps only the first source address of every transfer that has one.
void keep_first_iteration_only(codegen::ExchangeScheduleSnapshot& snapshot);

// Indices of the selected phases in snapshot order: all of them for an empty
// list, otherwise those whose phase identifier is listed.
tl::expected<std::vector<std::size_t>, Failure> select_phases(const codegen::ExchangeScheduleSnapshot& snapshot,
                                                              const std::vector<std::uint32_t>& phases);

// "snapshot=... tiles=... phases=... warmup=... iterations=... repeatAware=..."
// without the line feed.
std::string header_line(const Arguments& arguments, const codegen::ExchangeScheduleSnapshot& snapshot,
                        std::size_t selected);

}  // namespace vorn::tests
