#include "vorn/exchange/chunked.hpp"

#include <cstdio>
#include <cstdlib>

namespace vorn::exchange {
namespace {

std::atomic<std::uint64_t> chunk_allocations{0};

}  // namespace

namespace chunked_detail {

void assertion_failed(const char* message) noexcept {
    std::fprintf(stderr, "%s\n", message);
    std::fflush(stderr);
    std::abort();
}

void note_chunk_allocation() noexcept { chunk_allocations.fetch_add(1, std::memory_order_relaxed); }

}  // namespace chunked_detail

std::uint64_t chunked_chunk_allocations() noexcept { return chunk_allocations.load(std::memory_order_relaxed); }

}  // namespace vorn::exchange
