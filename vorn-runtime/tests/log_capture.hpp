#pragma once
// Log capture for tests that check events in a freshly started copy of the
// test program (the process-wide subscriber can be installed only once).
// Every captured line starts at its level, the timestamp and the level's
// padding removed: "DEBUG vorn_exchange: assembled ... count=8\n".

#include <cstdio>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include <unistd.h>

#include "vorn/runtime/logging.hpp"

namespace vorn::runtime::test_support {

inline std::string& captured_log() {
    static std::string lines;
    return lines;
}

// Installs a plain-text, colourless subscriber with these filter directives
// that appends every line to captured_log(). Exits the process with 2 when
// that is not possible.
inline void capture_log(std::string_view directives) {
    auto filter = EventFilter::parse(directives);
    if (!filter || !install_subscriber(std::make_unique<Subscriber>(
                       LogConfig{*filter, LogFormat::Plain, false}, [](std::string_view line) {
                           const std::size_t level = line.find_first_not_of(' ', line.find(' '));
                           captured_log().append(line.substr(level));
                       }))) {
        std::fputs("could not install the capturing subscriber\n", stderr);
        ::_exit(2);
    }
}

// Empty when exactly `expected` was captured, else a text saying what was
// expected (run_logged prints the captured log beside it).
inline std::string log_mismatch(std::string_view expected) {
    if (captured_log() == expected) {
        return {};
    }
    return "expected the log:\n" + std::string(expected);
}

// Captures with `directives`, runs `body` and exits with 0 when it returns
// an empty text, else prints that text and the log and exits with 1.
[[noreturn]] inline void run_logged(std::string_view directives, const std::function<std::string()>& body) {
    capture_log(directives);
    const std::string failure = body();
    if (!failure.empty()) {
        std::fprintf(stderr, "%s\nlogged:\n%s", failure.c_str(), captured_log().c_str());
        ::_exit(1);
    }
    ::_exit(0);
}

}  // namespace vorn::runtime::test_support
