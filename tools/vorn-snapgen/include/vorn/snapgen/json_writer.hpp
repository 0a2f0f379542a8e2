#pragma once
// Writes snapshots as JSON in the object form, keys in declaration order,
// widths as "Word32" / "Paired64". Output is assembled in a memory buffer and
// handed to the file in large blocks.

#include <cstdint>
#include <cstdio>
#include <string>

#include <fmt/format.h>
#include <tl/expected.hpp>

#include "vorn/codegen/exchange/snapshot.hpp"
#include "vorn/snapgen/options.hpp"

namespace vorn::snapgen {

// Streams one document: begin, then phase after phase, then finish. With a
// file, the text goes to it whenever the buffer holds a block; without one,
// it stays in memory for text().
class SnapshotJsonWriter {
public:
    explicit SnapshotJsonWriter(JsonLayout layout, std::FILE* file = nullptr);

    void begin(std::uint32_t schema_version, std::uint16_t tile_count);
    void phase(const codegen::ExchangeScheduleProblem& problem);
    // Closes the document (and its line) and writes what is left to the file.
    tl::expected<void, std::string> finish();

    // The document so far (only meaningful without a file).
    std::string text() const { return fmt::to_string(buffer_); }

private:
    void put(char c) { buffer_.push_back(c); }
    void put(fmt::string_view text) { buffer_.append(text.data(), text.data() + text.size()); }
    void put_number(std::uint64_t value);
    void transfer(const codegen::ExchangeScheduleTransfer& transfer);
    void drain(bool all);

    JsonLayout layout_;
    std::FILE* file_;
    fmt::memory_buffer buffer_;
    bool first_phase_ = true;
    bool failed_ = false;
};

// The whole document as text.
std::string snapshot_json(const codegen::ExchangeScheduleSnapshot& snapshot, JsonLayout layout);
// The whole document into an open file; the error names the failed write.
tl::expected<void, std::string> write_snapshot_json(const codegen::ExchangeScheduleSnapshot& snapshot,
                                                    JsonLayout layout, std::FILE* file);

}  // namespace vorn::snapgen
