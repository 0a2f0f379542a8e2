#pragma once
// JSON reader for snapshots. A document is exactly one JSON value (with
// surrounding whitespace) mapping onto ExchangeScheduleSnapshot; every record
// may be an object or a positional array.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include <tl/expected.hpp>

#include "vorn/codegen/exchange/snapshot.hpp"

namespace vorn::codegen {

// What kind of problem stopped reading.
enum class SnapshotReadErrorKind : std::uint8_t {
    Io,      // the bytes could not be obtained (no position)
    Syntax,  // the document is not valid JSON
    Data,    // valid JSON that does not map onto a snapshot: wrong type,
             // value out of range, wrong length, missing or duplicate field,
             // unknown variant
    Limit,   // valid JSON beyond what the reader accepts: nesting deeper
             // than max_snapshot_nesting, a document of 4 GiB or more, or
             // memory exhausted
};

// Arrays and objects may nest at most this deep (the snapshot itself needs
// 7 levels; deeper values can only occur under unknown keys).
inline constexpr std::size_t max_snapshot_nesting = 1000;

// A reader failure: the message and the 1-based line and column where
// reading stopped. A failure without a position (an I/O error while reading
// the bytes) has line 0 and renders as the bare message. Columns count bytes.
//
// Where reading stops: a value of the wrong type, out of range or an unknown
// variant at the value's first byte; a duplicate field or a width object's
// unknown variant at the key's opening quote; a missing field or a width
// object with other than one key at the object's closing brace; a positional
// record with the wrong number of elements at the array's closing bracket;
// a syntax error at the offending byte (the end of the input when it ends
// too early); trailing content at its first byte; nesting beyond the limit
// at the first bracket too deep. Problems simdjson finds in its first pass
// over the whole text (bad UTF-8, control characters in strings, unclosed
// strings, a document not ending with the bracket it starts with) are
// reported before any data error.
struct SnapshotReadError {
    std::string message;
    std::size_t line = 0;
    std::size_t column = 0;
    SnapshotReadErrorKind kind = SnapshotReadErrorKind::Io;

    // "{message} at line {line} column {column}"
    std::string render() const;

    friend bool operator==(const SnapshotReadError&, const SnapshotReadError&) = default;
};

// Bytes of a document with the zeroed tail padding the JSON parser reads past
// the end. Reading a file straight into this avoids a second copy.
class SnapshotBytes {
public:
    static constexpr std::size_t padding = 64;

    SnapshotBytes() = default;
    explicit SnapshotBytes(std::string_view text);

    // Grows the buffer to hold `size` bytes (keeping the first
    // min(size, old size) bytes); the padding after them is zeroed.
    void resize(std::size_t size);
    char* data() { return buffer_.get(); }
    const char* data() const { return buffer_.get(); }
    std::size_t size() const { return size_; }
    std::size_t capacity() const { return capacity_; }
    std::string_view view() const { return {buffer_.get(), size_}; }

private:
    std::unique_ptr<char[]> buffer_;
    std::size_t size_ = 0;
    std::size_t capacity_ = 0;  // bytes allocated, at least size_ + padding
};

// Reads snapshot documents one after another. The JSON parser's buffers
// (about six times the size of the largest document read so far, of which
// four bytes per JSON token are touched) are kept from one read to the next,
// which saves allocating and faulting them in again; read_snapshot allocates
// them for one document and releases them afterwards.
class SnapshotReader {
public:
    SnapshotReader();
    ~SnapshotReader();
    SnapshotReader(SnapshotReader&&) noexcept;
    SnapshotReader& operator=(SnapshotReader&&) noexcept;

    // As read_snapshot.
    tl::expected<ExchangeScheduleSnapshot, SnapshotReadError> read(const SnapshotBytes& bytes);
    tl::expected<ExchangeScheduleSnapshot, SnapshotReadError> read(std::string_view text);

private:
    struct State;
    std::unique_ptr<State> state_;
};

// Reads a snapshot document. Stops at the first error; nothing of a partly
// read snapshot is returned.
tl::expected<ExchangeScheduleSnapshot, SnapshotReadError> read_snapshot(const SnapshotBytes& bytes);
tl::expected<ExchangeScheduleSnapshot, SnapshotReadError> read_snapshot(std::string_view text);

}  // namespace vorn::codegen
