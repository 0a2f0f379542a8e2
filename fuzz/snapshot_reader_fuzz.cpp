// libFuzzer target for the snapshot reader.
//
// Besides running the reader under the sanitizers, it checks the reader
// against the independent JSON syntax checker and against itself:
// - an accepted document is valid JSON;
// - a syntax error is only reported for invalid JSON;
// - a data or limit error is reported no later than the first syntax error
//   (reading stops at the first error, and nothing before it went unchecked);
// - every error has a position inside the document;
// - an accepted snapshot, written back in the object and in the positional
//   form, reads as the same snapshot.

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include <fmt/format.h>

#include "exchange/json_syntax.hpp"
#include "vorn/codegen/exchange/snapshot_reader.hpp"

namespace {

using namespace vorn::codegen;

[[noreturn]] void fail(const char* what, std::string_view detail = {}) {
    std::fprintf(stderr, "fuzz-snapshot-reader: %s %.*s\n", what, static_cast<int>(detail.size()), detail.data());
    std::abort();
}

std::string write_snapshot(const ExchangeScheduleSnapshot& snapshot, bool positional) {
    std::string out;
    auto sink = std::back_inserter(out);
    const auto width = [](ExchangeItemWidth w) { return w == ExchangeItemWidth::Paired64 ? "Paired64" : "Word32"; };
    if (positional) {
        fmt::format_to(sink, "[{},{},[", snapshot.schema_version, snapshot.tile_count);
    } else {
        fmt::format_to(sink, R"({{"schema_version":{},"tile_count":{},"phases":[)", snapshot.schema_version,
                       snapshot.tile_count);
    }
    for (std::size_t p = 0; p < snapshot.phases.size(); ++p) {
        const ExchangeScheduleProblem& problem = snapshot.phases[p];
        out += p ? "," : "";
        fmt::format_to(sink, fmt::runtime(positional ? "[{},[" : R"({{"phase":{},"transfers":[)"), problem.phase);
        for (std::size_t t = 0; t < problem.transfers.size(); ++t) {
            const ExchangeScheduleTransfer& transfer = problem.transfers[t];
            out += t ? "," : "";
            fmt::format_to(sink, fmt::runtime(positional ? "[{},[{}],[" : R"({{"source":{},"source_addresses":[{}],"destinations":[)"),
                           transfer.source, fmt::join(transfer.source_addresses, ","));
            for (std::size_t d = 0; d < transfer.destinations.size(); ++d) {
                out += d ? "," : "";
                fmt::format_to(sink, fmt::runtime(positional ? "[{},{}]" : R"({{"tile":{},"address":{}}})"),
                               transfer.destinations[d].tile, transfer.destinations[d].address);
            }
            fmt::format_to(sink, fmt::runtime(positional ? R"(],{},"{}"])" : R"(],"words":{},"width":"{}"}})"),
                           transfer.words, width(transfer.width));
        }
        out += positional ? "]]" : "]}";
    }
    out += positional ? "]]" : "]}";
    return out;
}

// Byte offset of a 1-based line and column.
std::size_t offset_of(std::string_view text, std::size_t line, std::size_t column) {
    std::size_t start = 0;
    for (std::size_t l = 1; l < line; ++l) {
        start = text.find('\n', start);
        if (start == std::string_view::npos) {
            fail("error line beyond the document");
        }
        ++start;
    }
    return start + column - 1;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const auto result = read_snapshot(text);
    const auto syntax = json_syntax::find_json_syntax_error(text);
    if (result) {
        if (syntax) {
            fail("accepted invalid JSON:", syntax->message);
        }
        for (const bool positional : {false, true}) {
            const auto again = read_snapshot(write_snapshot(*result, positional));
            if (!again) {
                fail("could not read a written snapshot:", again.error().render());
            }
            if (!(*again == *result)) {
                fail("a written snapshot reads differently");
            }
        }
        return 0;
    }
    const SnapshotReadError& error = result.error();
    if (error.line == 0 || error.column == 0) {
        fail("error without a position:", error.render());
    }
    const std::size_t at = offset_of(text, error.line, error.column);
    if (at > size) {
        fail("error position beyond the document:", error.render());
    }
    switch (error.kind) {
    case SnapshotReadErrorKind::Syntax:
        if (!syntax) {
            fail("syntax error for valid JSON:", error.render());
        }
        break;
    case SnapshotReadErrorKind::Data:
    case SnapshotReadErrorKind::Limit:
        if (syntax && at > syntax->offset) {
            fail("an earlier syntax error went unnoticed:", error.render());
        }
        break;
    case SnapshotReadErrorKind::Io:
        fail("I/O error from reading bytes in memory");
    }
    return 0;
}
