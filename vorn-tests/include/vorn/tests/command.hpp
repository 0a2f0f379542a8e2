#pragma once

namespace vorn::tests {

// The whole benchmark command: parses the command line, starts up and runs.
// Returns the process exit status: 0 on success, 1 after a reported failure,
// 2 for a command-line usage error.
int run_command(int argc, const char* const* argv);

}  // namespace vorn::tests
