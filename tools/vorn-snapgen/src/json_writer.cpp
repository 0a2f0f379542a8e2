#include "vorn/snapgen/json_writer.hpp"

#include <cerrno>
#include <cstring>

namespace vorn::snapgen {
namespace {

// The buffer goes to the file once it holds this much.
constexpr std::size_t block_size = std::size_t{1} << 20;

}  // namespace

SnapshotJsonWriter::SnapshotJsonWriter(JsonLayout layout, std::FILE* file) : layout_(layout), file_(file) {}

void SnapshotJsonWriter::put_number(std::uint64_t value) {
    const fmt::format_int digits(value);
    put(fmt::string_view(digits.data(), digits.size()));
}

void SnapshotJsonWriter::begin(std::uint32_t schema_version, std::uint16_t tile_count) {
    put("{\"schema_version\":");
    put_number(schema_version);
    put(",\"tile_count\":");
    put_number(tile_count);
    put(",\"phases\":[");
}

void SnapshotJsonWriter::transfer(const codegen::ExchangeScheduleTransfer& transfer) {
    put("{\"source\":");
    put_number(transfer.source);
    put(",\"source_addresses\":[");
    for (std::size_t i = 0; i < transfer.source_addresses.size(); ++i) {
        if (i != 0) {
            put(',');
        }
        put_number(transfer.source_addresses[i]);
    }
    put("],\"destinations\":[");
    for (std::size_t i = 0; i < transfer.destinations.size(); ++i) {
        put(i == 0 ? "{\"tile\":" : ",{\"tile\":");
        put_number(transfer.destinations[i].tile);
        put(",\"address\":");
        put_number(transfer.destinations[i].address);
        put('}');
    }
    put("],\"words\":");
    put_number(transfer.words);
    put(transfer.width == codegen::ExchangeItemWidth::Paired64 ? ",\"width\":\"Paired64\"}"
                                                                : ",\"width\":\"Word32\"}");
}

void SnapshotJsonWriter::phase(const codegen::ExchangeScheduleProblem& problem) {
    if (!first_phase_) {
        put(',');
    }
    if (layout_ == JsonLayout::PhaseLines) {
        put('\n');
    }
    first_phase_ = false;
    put("{\"phase\":");
    put_number(problem.phase);
    put(",\"transfers\":[");
    for (std::size_t i = 0; i < problem.transfers.size(); ++i) {
        if (i != 0) {
            put(',');
        }
        transfer(problem.transfers[i]);
        if (buffer_.size() >= block_size) {
            drain(false);
        }
    }
    put("]}");
}

void SnapshotJsonWriter::drain(bool all) {
    if (file_ == nullptr || (!all && buffer_.size() < block_size)) {
        return;
    }
    if (!failed_ && std::fwrite(buffer_.data(), 1, buffer_.size(), file_) != buffer_.size()) {
        failed_ = true;
    }
    buffer_.clear();
}

tl::expected<void, std::string> SnapshotJsonWriter::finish() {
    if (layout_ == JsonLayout::PhaseLines && !first_phase_) {
        put('\n');
    }
    put("]}\n");
    if (file_ == nullptr) {
        return {};
    }
    drain(true);
    if (!failed_ && std::fflush(file_) != 0) {
        failed_ = true;
    }
    if (failed_ || std::ferror(file_) != 0) {
        return tl::make_unexpected(fmt::format("write failed: {}", std::strerror(errno)));
    }
    return {};
}

std::string snapshot_json(const codegen::ExchangeScheduleSnapshot& snapshot, JsonLayout layout) {
    SnapshotJsonWriter writer(layout);
    writer.begin(snapshot.schema_version, snapshot.tile_count);
    for (const auto& problem : snapshot.phases) {
        writer.phase(problem);
    }
    (void)writer.finish();
    return writer.text();
}

tl::expected<void, std::string> write_snapshot_json(const codegen::ExchangeScheduleSnapshot& snapshot,
                                                    JsonLayout layout, std::FILE* file) {
    SnapshotJsonWriter writer(layout, file);
    writer.begin(snapshot.schema_version, snapshot.tile_count);
    for (const auto& problem : snapshot.phases) {
        writer.phase(problem);
    }
    return writer.finish();
}

}  // namespace vorn::snapgen
