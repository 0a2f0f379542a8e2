// The parts of the snapshot reader that do not touch the JSON parser: the
// padded byte buffer and the rendering of a reader error.

#include "vorn/codegen/exchange/snapshot_reader.hpp"

#include <algorithm>
#include <cstring>

#include <fmt/format.h>

namespace vorn::codegen {

std::string SnapshotReadError::render() const {
    if (line == 0) {
        return message;
    }
    return fmt::format("{} at line {} column {}", message, line, column);
}

SnapshotBytes::SnapshotBytes(std::string_view text) {
    resize(text.size());
    if (!text.empty()) {
        std::memcpy(buffer_.get(), text.data(), text.size());
    }
}

void SnapshotBytes::resize(std::size_t size) {
    const std::size_t needed = size + padding;
    if (needed > capacity_) {
        // Grow geometrically so that a caller appending block by block
        // copies every byte only a bounded number of times.
        const std::size_t capacity = std::max(needed, capacity_ + capacity_ / 2);
        std::unique_ptr<char[]> grown(new char[capacity]);
        if (size_ != 0) {
            std::memcpy(grown.get(), buffer_.get(), std::min(size, size_));
        }
        buffer_ = std::move(grown);
        capacity_ = capacity;
    }
    size_ = size;
    std::memset(buffer_.get() + size_, 0, padding);
}

}  // namespace vorn::codegen
