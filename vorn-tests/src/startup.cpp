#include "vorn/tests/startup.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <set>

#include <fmt/format.h>

#include "vorn/codegen/exchange/snapshot_reader.hpp"
#include "vorn/runtime/utf8.hpp"

namespace vorn::tests {
namespace {

class FileDescriptor {
public:
    explicit FileDescriptor(int fd) : fd_(fd) {}
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;
    ~FileDescriptor() {
        if (fd_ >= 0) {
            ::close(fd_);
        }
    }
    int get() const { return fd_; }

private:
    int fd_;
};

std::string os_error_text(int error) { return std::strerror(error); }

// Reads the whole file into a padded buffer. A regular file is read in one
// pass (one byte more than its size shows the end); anything else grows the
// buffer chunk by chunk, SnapshotBytes growing its capacity geometrically.
tl::expected<codegen::SnapshotBytes, int> read_all(int fd) {
    constexpr std::size_t chunk = 8192;
    std::size_t expected = 0;
    struct stat status {};
    if (::fstat(fd, &status) == 0 && S_ISREG(status.st_mode) && status.st_size > 0) {
        expected = static_cast<std::size_t>(status.st_size);
    }
    codegen::SnapshotBytes bytes;
    bytes.resize(std::max(expected + 1, chunk));
    std::size_t size = 0;
    while (true) {
        if (size == bytes.size()) {
            bytes.resize(size + chunk);
        }
        const ssize_t got = ::read(fd, bytes.data() + size, bytes.size() - size);
        if (got < 0) {
            if (errno == EINTR) {
                continue;
            }
            return tl::make_unexpected(errno);
        }
        if (got == 0) {
            break;
        }
        size += static_cast<std::size_t>(got);
    }
    bytes.resize(size);
    return bytes;
}

}  // namespace

tl::expected<codegen::ExchangeScheduleSnapshot, Failure> load_snapshot(const std::string& path) {
    const std::string shown = runtime::lossy_utf8(path);
    FileDescriptor file(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (file.get() < 0) {
        return tl::make_unexpected(Failure(os_error_text(errno)).context(fmt::format("open {}", shown)));
    }
    auto bytes = read_all(file.get());
    if (!bytes) {
        return tl::make_unexpected(Failure(os_error_text(bytes.error())).context(fmt::format("parse {}", shown)));
    }
    auto snapshot = codegen::read_snapshot(*bytes);
    if (!snapshot) {
        return tl::make_unexpected(Failure(snapshot.error().render()).context(fmt::format("parse {}", shown)));
    }
    return std::move(*snapshot);
}

void keep_first_iteration_only(codegen::ExchangeScheduleSnapshot& snapshot) {
    for (auto& problem : snapshot.phases) {
        for (auto& transfer : problem.transfers) {
            if (transfer.source_addresses.size() > 1) {
                transfer.source_addresses.erase(transfer.source_addresses.begin() + 1,
                                                transfer.source_addresses.end());
            }
        }
    }
}

tl::expected<std::vector<std::size_t>, Failure> select_phases(const codegen::ExchangeScheduleSnapshot& snapshot,
                                                              const std::vector<std::uint32_t>& phases) {
    const std::set<std::uint32_t> wanted(phases.begin(), phases.end());
    if (wanted.size() < phases.size()) {
        return tl::make_unexpected(Failure("--phase contains a duplicate phase ID"));
    }
    std::set<std::uint32_t> present;
    for (const auto& problem : snapshot.phases) {
        present.insert(problem.phase);
    }
    for (const auto id : wanted) {
        if (!present.contains(id)) {
            return tl::make_unexpected(Failure(fmt::format("snapshot does not contain phase {}", id)));
        }
    }
    std::vector<std::size_t> selected;
    for (std::size_t i = 0; i < snapshot.phases.size(); ++i) {
        if (wanted.empty() || wanted.contains(snapshot.phases[i].phase)) {
            selected.push_back(i);
        }
    }
    return selected;
}

std::string header_line(const Arguments& arguments, const codegen::ExchangeScheduleSnapshot& snapshot,
                        std::size_t selected) {
    return fmt::format("snapshot={} tiles={} phases={} warmup={} iterations={} repeatAware={}",
                       runtime::lossy_utf8(arguments.snapshot), snapshot.tile_count, selected, arguments.warmup,
                       arguments.iterations, arguments.first_iteration_only ? "false" : "true");
}

}  // namespace vorn::tests
