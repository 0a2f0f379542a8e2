#include "vorn/exchange/chunked.hpp"

#include <algorithm>
#include <array>
#include <cstdint>
#include <numeric>
#include <random>
#include <string>
#include <vector>

#include <fmt/format.h>
#include <gtest/gtest.h>

#include "vorn/exchange/words.hpp"

namespace vorn::exchange {
namespace {

constexpr std::size_t chunk = Chunked<std::uint32_t>::chunk_size;

Chunked<std::uint32_t> iota_chunked(std::size_t n, std::uint32_t first = 0) {
    Chunked<std::uint32_t> c;
    for (std::size_t i = 0; i < n; ++i) {
        c.push(first + static_cast<std::uint32_t>(i));
    }
    return c;
}

std::vector<std::uint32_t> iota_vector(std::size_t n, std::uint32_t first = 0) {
    std::vector<std::uint32_t> v(n);
    std::iota(v.begin(), v.end(), first);
    return v;
}

// The layout invariants: ceil(len / 128) chunks, all full but the last,
// which holds 1..128 elements.
template <typename T>
::testing::AssertionResult well_formed(const Chunked<T>& c) {
    const std::size_t expected_chunks = (c.size() + chunk - 1) / chunk;
    if (c.chunk_count() != expected_chunks) {
        return ::testing::AssertionFailure() << "len " << c.size() << " in " << c.chunk_count() << " chunks";
    }
    for (std::size_t i = 0; i < c.chunk_count(); ++i) {
        const std::size_t want = i + 1 < c.chunk_count() ? chunk : c.size() - i * chunk;
        if (c.chunk(i).size() != want) {
            return ::testing::AssertionFailure() << "chunk " << i << " holds " << c.chunk(i).size();
        }
    }
    return ::testing::AssertionSuccess();
}

template <typename T>
::testing::AssertionResult holds(const Chunked<T>& c, const std::vector<T>& expected) {
    if (auto ok = well_formed(c); !ok) {
        return ok;
    }
    if (c.size() != expected.size()) {
        return ::testing::AssertionFailure() << "len " << c.size() << ", expected " << expected.size();
    }
    const auto mismatch = std::mismatch(c.begin(), c.end(), expected.begin());
    if (mismatch.first != c.end()) {
        return ::testing::AssertionFailure() << "first difference at index " << mismatch.first.index();
    }
    if (c.to_vector() != expected) {
        return ::testing::AssertionFailure() << "to_vector differs from iteration";
    }
    return ::testing::AssertionSuccess();
}

// ---------------------------------------------------------------------------
// Layout of push, truncate, insert and remove.

TEST(ChunkedLayout, PushFillsChunksOf128) {
    Chunked<std::uint32_t> c = iota_chunked(chunk);
    EXPECT_EQ(c.chunk_count(), 1U);
    c.push(128);
    EXPECT_EQ(c.chunk_count(), 2U);
    EXPECT_TRUE(holds(c, iota_vector(129)));
    EXPECT_EQ(c[128], 128U);
    EXPECT_EQ(c.back(), 128U);
    EXPECT_EQ(c.get(129), nullptr);
}

TEST(ChunkedLayout, TruncateKeepsTheFirstChunks) {
    struct Case {
        std::size_t len;
        std::size_t to;
    };
    for (const Case t : {Case{300, 128}, Case{300, 300}, Case{300, 0}, Case{300, 129}, Case{256, 255}, Case{5, 1}}) {
        SCOPED_TRACE(fmt::format("{} -> {}", t.len, t.to));
        Chunked<std::uint32_t> c = iota_chunked(t.len);
        const Chunked<std::uint32_t> before = c;
        c.truncate(t.to);
        EXPECT_TRUE(holds(c, iota_vector(t.to)));
        EXPECT_TRUE(holds(before, iota_vector(t.len)));
        // Whole chunks that are kept are still shared with the old value;
        // only a cut chunk was copied.
        for (std::size_t i = 0; i < c.chunk_count(); ++i) {
            const bool cut = i + 1 == c.chunk_count() && t.to % chunk != 0 && t.to != t.len;
            EXPECT_EQ(c.shares_chunk(before, i), !cut) << "chunk " << i;
        }
    }
}

TEST(ChunkedLayout, InsertCarriesThroughFullChunks) {
    // Three full chunks; inserting into the second moves the last element of
    // the second and third chunk on, and appends a fourth chunk.
    Chunked<std::uint32_t> c = iota_chunked(3 * chunk);
    const Chunked<std::uint32_t> before = c;
    std::vector<std::uint32_t> expected = iota_vector(3 * chunk);
    c.insert(130, 9999);
    expected.insert(expected.begin() + 130, 9999);
    EXPECT_TRUE(holds(c, expected));
    EXPECT_EQ(c.chunk_count(), 4U);
    EXPECT_EQ(c.chunk(3).size(), 1U);
    EXPECT_EQ(c[2 * chunk], 255U);  // carried from the end of chunk 1
    EXPECT_TRUE(c.shares_chunk(before, 0));
    EXPECT_FALSE(c.shares_chunk(before, 1));
    EXPECT_TRUE(holds(before, iota_vector(3 * chunk)));

    // A chunk with room absorbs the carry and the rest stays shared.
    Chunked<std::uint32_t> partial = iota_chunked(2 * chunk + 10);
    partial.insert(0, 7);
    EXPECT_EQ(partial.chunk_count(), 3U);
    EXPECT_EQ(partial.chunk(2).size(), 11U);
    EXPECT_EQ(partial[0], 7U);
    EXPECT_EQ(partial[chunk], 127U);

    // Inserting at len is a push.
    Chunked<std::uint32_t> at_end = iota_chunked(chunk);
    at_end.insert(chunk, 128);
    EXPECT_TRUE(holds(at_end, iota_vector(chunk + 1)));
}

TEST(ChunkedLayout, RemovePullsBackFromLaterChunks) {
    Chunked<std::uint32_t> c = iota_chunked(2 * chunk + 44);
    const Chunked<std::uint32_t> before = c;
    std::vector<std::uint32_t> expected = iota_vector(2 * chunk + 44);
    EXPECT_EQ(c.remove(5), 5U);
    expected.erase(expected.begin() + 5);
    EXPECT_TRUE(holds(c, expected));
    EXPECT_EQ(c[chunk - 1], 128U);      // pulled from chunk 1
    EXPECT_EQ(c[2 * chunk - 1], 256U);  // pulled from chunk 2
    EXPECT_TRUE(holds(before, iota_vector(2 * chunk + 44)));

    // Removing the only element of the last chunk releases that chunk.
    Chunked<std::uint32_t> one_over = iota_chunked(2 * chunk + 1);
    EXPECT_EQ(one_over.remove(2 * chunk), 256U);
    EXPECT_EQ(one_over.chunk_count(), 2U);
    EXPECT_EQ(one_over.remove(0), 0U);
    EXPECT_TRUE(holds(one_over, iota_vector(2 * chunk - 1, 1)));

    Chunked<std::uint32_t> single{42};
    EXPECT_EQ(single.remove(0), 42U);
    EXPECT_TRUE(single.empty());
    EXPECT_EQ(single.chunk_count(), 0U);
}

// ---------------------------------------------------------------------------
// Copies and copy on write.

TEST(ChunkedCopies, CopySharesEveryChunk) {
    const Chunked<std::uint32_t> source = iota_chunked(3 * chunk + 3);
    const std::uint64_t allocations = chunked_chunk_allocations();
    const Chunked<std::uint32_t> copy = source;
    EXPECT_EQ(chunked_chunk_allocations(), allocations);
    for (std::size_t i = 0; i < source.chunk_count(); ++i) {
        EXPECT_TRUE(copy.shares_chunk(source, i));
        EXPECT_EQ(source.chunk_holders(i), 2U);
    }
    EXPECT_EQ(copy, source);
}

TEST(ChunkedCopies, PushToACopyDuplicatesOnlyTheSharedLastChunk) {
    const Chunked<std::uint32_t> source = iota_chunked(2 * chunk + 5);
    Chunked<std::uint32_t> copy = source;
    const std::uint64_t allocations = chunked_chunk_allocations();
    copy.push(1000);
    EXPECT_EQ(chunked_chunk_allocations(), allocations + 1);
    EXPECT_TRUE(copy.shares_chunk(source, 0));
    EXPECT_TRUE(copy.shares_chunk(source, 1));
    EXPECT_FALSE(copy.shares_chunk(source, 2));
    EXPECT_EQ(source.chunk_holders(2), 1U);
    EXPECT_TRUE(holds(source, iota_vector(2 * chunk + 5)));
    EXPECT_EQ(copy.size(), 2 * chunk + 6);
    EXPECT_EQ(copy.back(), 1000U);

    // With a full last chunk the push starts a new chunk and copies nothing.
    const Chunked<std::uint32_t> full = iota_chunked(2 * chunk);
    Chunked<std::uint32_t> full_copy = full;
    const std::uint64_t before_full = chunked_chunk_allocations();
    full_copy.push(1);
    EXPECT_EQ(chunked_chunk_allocations(), before_full + 1);
    EXPECT_TRUE(full_copy.shares_chunk(full, 0));
    EXPECT_TRUE(full_copy.shares_chunk(full, 1));
    EXPECT_EQ(full.size(), 2 * chunk);
}

TEST(ChunkedCopies, AppendingToAPrivateLastChunkAllocatesNothing) {
    Chunked<std::uint32_t> c = iota_chunked(chunk + 1);
    const std::uint32_t* last = c.chunk(1).data();
    const std::uint64_t allocations = chunked_chunk_allocations();
    for (std::uint32_t i = 0; i < chunk - 1; ++i) {
        c.push(i);
    }
    EXPECT_EQ(chunked_chunk_allocations(), allocations);
    EXPECT_EQ(c.chunk(1).data(), last);
    EXPECT_EQ(c.chunk(1).size(), chunk);
    c.push(0);
    EXPECT_EQ(chunked_chunk_allocations(), allocations + 1);

    // Once the copy has its own last chunk, further pushes allocate nothing.
    Chunked<std::uint32_t> copy = c;
    copy.truncate(c.size() - 3);
    const std::uint64_t after_cut = chunked_chunk_allocations();
    copy.push(5);
    copy.push(6);
    EXPECT_EQ(chunked_chunk_allocations(), after_cut);
}

TEST(ChunkedCopies, WritesToEitherSideStayLocal) {
    Chunked<std::uint32_t> a = iota_chunked(3 * chunk);
    Chunked<std::uint32_t> b = a;
    a.set(10, 1);
    b.set(200, 2);
    b.insert(0, 3);
    (void)a.remove(300);
    std::vector<std::uint32_t> va = iota_vector(3 * chunk);
    std::vector<std::uint32_t> vb = va;
    va[10] = 1;
    vb[200] = 2;
    vb.insert(vb.begin(), 3);
    va.erase(va.begin() + 300);
    EXPECT_TRUE(holds(a, va));
    EXPECT_TRUE(holds(b, vb));
    // a's set copied chunk 0 and its remove chunk 2; chunk 1 is still shared.
    // b's insert at 0 made all of b's chunks private.
    EXPECT_FALSE(a.shares_chunk(b, 1));
    Chunked<std::uint32_t> c = a;
    c.set(0, 9);
    EXPECT_TRUE(c.shares_chunk(a, 1));
    EXPECT_TRUE(c.shares_chunk(a, 2));
    EXPECT_EQ(a[0], 0U);
}

// ---------------------------------------------------------------------------
// Slices, word pairs and iteration.

TEST(ChunkedSlices, ViewInsideAChunkCopyAcrossChunks) {
    Chunked<std::uint32_t> c = iota_chunked(3 * chunk);

    const ChunkedSlice<std::uint32_t> inside = c.slice(130, 140);
    EXPECT_TRUE(inside.is_view());
    EXPECT_EQ(inside.span().data(), c.chunk(1).data() + 2);
    EXPECT_EQ(inside.to_vector(), iota_vector(10, 130));

    const ChunkedSlice<std::uint32_t> whole_chunk = c.slice(chunk, 2 * chunk);
    EXPECT_TRUE(whole_chunk.is_view());
    EXPECT_EQ(whole_chunk.size(), chunk);

    ChunkedSlice<std::uint32_t> across = c.slice(120, 260);
    EXPECT_TRUE(across.is_owned());
    EXPECT_EQ(across.to_vector(), iota_vector(140, 120));
    c.set(125, 0);
    c.truncate(0);
    EXPECT_EQ(across[5], 125U);

    for (std::size_t at : {std::size_t{0}, std::size_t{5}, std::size_t{128}}) {
        const Chunked<std::uint32_t> d = iota_chunked(at);
        const ChunkedSlice<std::uint32_t> empty = d.slice(at, at);
        EXPECT_TRUE(empty.is_view());
        EXPECT_TRUE(empty.empty());
    }
}

TEST(ChunkedSlices, TwoWordsLowWordFirst) {
    Chunked<std::uint32_t> c = iota_chunked(chunk - 1);
    c.extend_u64(0x1111222233334444ULL);
    c.extend_two_words(7, 8);
    EXPECT_EQ(c.size(), chunk + 3);
    EXPECT_EQ(c[chunk - 1], 0x33334444U);
    EXPECT_EQ(c[chunk], 0x11112222U);
    EXPECT_EQ(c[chunk + 1], 7U);
    EXPECT_EQ(c[chunk + 2], 8U);
    EXPECT_TRUE(well_formed(c));
}

TEST(ChunkedSlices, BinarySearchOverRecords) {
    Chunked<ScheduledSenderRow> rows;
    for (std::uint32_t i = 0; i < 300; ++i) {
        rows.push(ScheduledSenderRow{RowWords{sync_entry, return_word}, 10 * i, 10 * i + 5});
    }
    auto at = std::partition_point(rows.begin(), rows.end(),
                                   [](const ScheduledSenderRow& r) { return r.payload_start < 1283; });
    EXPECT_EQ(at.index(), 129U);
    EXPECT_EQ(at->payload_start, 1290U);
    EXPECT_EQ(std::distance(rows.begin(), rows.end()), 300);
    EXPECT_EQ((rows.end() - 1)->payload_end, 2995U);
}

// ---------------------------------------------------------------------------
// Random operation sequences against std::vector.

// Indexes near a chunk boundary half of the time, anywhere otherwise.
std::size_t pick_index(std::mt19937_64& rng, std::size_t bound) {
    if (bound == 0) {
        return 0;
    }
    if (rng() % 2 == 0) {
        const std::size_t boundary = (rng() % (bound / chunk + 1)) * chunk;
        const std::size_t at = boundary + (rng() % 3) - 1;
        if (at < bound) {
            return at;
        }
    }
    return rng() % bound;
}

// Runs `ops` random operations on a few values at once, each mirrored by a
// vector. Values are copied into each other often, so that most writes hit
// shared chunks; after every write the written value, and regularly all
// values, must equal their mirrors.
template <typename T, typename Make>
void run_random(std::uint64_t seed, int ops, Make make) {
    constexpr std::size_t slots = 4;
    constexpr std::size_t max_len = 6 * chunk;
    std::mt19937_64 rng(seed);
    std::array<Chunked<T>, slots> values;
    std::array<std::vector<T>, slots> mirrors;
    std::uint64_t next = 0;

    for (int op = 0; op < ops; ++op) {
        const std::size_t s = rng() % slots;
        Chunked<T>& c = values[s];
        std::vector<T>& v = mirrors[s];
        const unsigned what = static_cast<unsigned>(rng() % 100);
        SCOPED_TRACE(fmt::format("seed {} op {} kind {} slot {} len {}", seed, op, what, s, v.size()));
        if (what < 30) {
            if (v.size() < max_len) {
                const std::size_t burst = 1 + rng() % 40;
                for (std::size_t i = 0; i < burst; ++i) {
                    T x = make(next++);
                    c.push(x);
                    v.push_back(x);
                }
            }
        } else if (what < 50) {
            if (v.size() < max_len) {
                const std::size_t at = pick_index(rng, v.size() + 1);
                T x = make(next++);
                c.insert(at, x);
                v.insert(v.begin() + static_cast<std::ptrdiff_t>(at), x);
            }
        } else if (what < 68) {
            if (!v.empty()) {
                const std::size_t at = pick_index(rng, v.size());
                const T removed = c.remove(at);
                ASSERT_EQ(removed, v[at]);
                v.erase(v.begin() + static_cast<std::ptrdiff_t>(at));
            }
        } else if (what < 74) {
            // Mostly short cuts off the end, sometimes anywhere.
            const std::size_t to = rng() % 3 == 0 ? pick_index(rng, v.size() + 1)
                                                  : v.size() - std::min<std::size_t>(v.size(), rng() % 150);
            c.truncate(to);
            v.resize(to);
        } else if (what < 80) {
            if (!v.empty()) {
                const std::size_t at = rng() % v.size();
                T x = make(next++);
                c.set(at, x);
                v[at] = x;
            }
        } else if (what < 92) {
            // Copy another value over this one (sometimes by move).
            const std::size_t from = rng() % slots;
            if (rng() % 4 == 0 && from != s) {
                Chunked<T> moved = values[from];
                c = std::move(moved);
            } else {
                c = values[from];
            }
            v = mirrors[from];
            for (std::size_t i = 0; i < c.chunk_count(); ++i) {
                ASSERT_TRUE(c.shares_chunk(values[from], i));
            }
        } else {
            const std::size_t a = pick_index(rng, v.size() + 1);
            const std::size_t b = pick_index(rng, v.size() + 1);
            const std::size_t lo = std::min(a, b);
            const std::size_t hi = std::max(a, b);
            const ChunkedSlice<T> slice = c.slice(lo, hi);
            ASSERT_EQ(slice.is_view(), lo == hi || lo / chunk == (hi - 1) / chunk);
            ASSERT_EQ(slice.to_vector(), std::vector<T>(v.begin() + static_cast<std::ptrdiff_t>(lo),
                                                         v.begin() + static_cast<std::ptrdiff_t>(hi)));
        }
        ASSERT_TRUE(holds(c, v));
        if (op % 16 == 0) {
            for (std::size_t i = 0; i < slots; ++i) {
                ASSERT_TRUE(holds(values[i], mirrors[i])) << "slot " << i;
            }
        }
    }
    for (std::size_t i = 0; i < slots; ++i) {
        ASSERT_TRUE(holds(values[i], mirrors[i])) << "slot " << i;
    }
}

TEST(ChunkedRandom, WordsAgainstVector) {
    for (std::uint64_t seed : {1ULL, 2ULL, 3ULL, 4ULL}) {
        run_random<std::uint32_t>(seed, 5000, [](std::uint64_t n) { return static_cast<std::uint32_t>(n); });
    }
}

TEST(ChunkedRandom, RecordsAgainstVector) {
    run_random<ReceiveEvent>(11, 3000, [](std::uint64_t n) {
        return ReceiveEvent{static_cast<std::uint32_t>(n), xpic_word(static_cast<std::uint32_t>(n % 0x3FFF)),
                            static_cast<ReceiveEventKind>(n % receive_event_kind_count)};
    });
}

// Elements that own memory: element lifetimes in the chunks must be exact
// (checked by the sanitizer builds).
TEST(ChunkedRandom, OwningElementsAgainstVector) {
    run_random<std::string>(21, 2000, [](std::uint64_t n) { return fmt::format("element number {:>20}", n); });
}

// ---------------------------------------------------------------------------
// Preconditions.

struct Violation {
    const char* name;
    void (*call)();
    const char* message;
};

TEST(ChunkedDeathTest, PreconditionsAbortWithTheirAssertion) {
    const Violation cases[] = {
        {"truncate", [] { iota_chunked(3).truncate(4); }, "assertion failed: len <= self.len"},
        {"insert", [] { iota_chunked(3).insert(4, 0); }, "assertion failed: index <= self.len"},
        {"remove", [] { (void)iota_chunked(3).remove(3); }, "assertion failed: index < self.len"},
        {"remove empty", [] { (void)iota_chunked(0).remove(0); }, "assertion failed: index < self.len"},
        {"slice end", [] { (void)iota_chunked(3).slice(0, 4); },
         "assertion failed: range.start <= range.end && range.end <= self.len"},
        {"slice order", [] { (void)iota_chunked(3).slice(2, 1); },
         "assertion failed: range.start <= range.end && range.end <= self.len"},
        {"index", [] { (void)iota_chunked(128)[128]; }, "assertion failed: index < self.len"},
    };
    for (const Violation& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_DEATH(c.call(), c.message);
    }
}

}  // namespace
}  // namespace vorn::exchange
