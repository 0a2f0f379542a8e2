#pragma once
// Chunked<T>: the sequence container of the encoder package.
//
// The elements live in chunks of exactly 128 elements (the last one holds
// 1..128). Chunks are shared between copies through atomic reference counts,
// so copying a Chunked costs one reference-count increment per chunk. A chunk
// is never written while it is shared: a writer first replaces its reference
// by a private copy of that chunk, so every other holder keeps the old
// contents. Each chunk stores its 128 slots inline, so appending to a private
// last chunk allocates nothing.
//
// Precondition violations (an index or length out of range) are programming
// errors of the caller: they print the failed assertion and abort.

#include <algorithm>
#include <atomic>
#include <compare>
#include <concepts>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <iterator>
#include <memory>
#include <new>
#include <span>
#include <utility>
#include <vector>

namespace vorn::exchange {

namespace chunked_detail {

// Prints "message" to standard error and aborts.
[[noreturn]] void assertion_failed(const char* message) noexcept;

inline void require(bool ok, const char* message) noexcept {
    if (!ok) [[unlikely]] {
        assertion_failed(message);
    }
}

// Counts chunk allocations of every Chunked in the process (relaxed); lets
// tests and benchmarks see which operations allocate.
void note_chunk_allocation() noexcept;

}  // namespace chunked_detail

// Number of chunks allocated so far by all Chunked values of the process.
std::uint64_t chunked_chunk_allocations() noexcept;

// The result of Chunked::slice: either a borrowed view of the elements of
// one chunk (valid while the chunk's holder is not changed or dropped), or an
// owned copy of elements taken from several chunks.
template <typename T>
class ChunkedSlice {
public:
    ChunkedSlice() noexcept = default;
    static ChunkedSlice view(std::span<const T> elements) noexcept {
        ChunkedSlice slice;
        slice.view_ = elements;
        return slice;
    }
    static ChunkedSlice copy(std::vector<T> elements) noexcept {
        ChunkedSlice slice;
        slice.owned_ = std::move(elements);
        slice.is_owned_ = true;
        return slice;
    }

    // True for a borrowed view (an empty slice is a view too).
    bool is_view() const noexcept { return !is_owned_; }
    bool is_owned() const noexcept { return is_owned_; }

    std::span<const T> span() const noexcept { return is_owned_ ? std::span<const T>(owned_) : view_; }
    std::size_t size() const noexcept { return span().size(); }
    bool empty() const noexcept { return size() == 0; }
    const T& operator[](std::size_t index) const noexcept {
        chunked_detail::require(index < size(), "assertion failed: index < slice.len");
        return span()[index];
    }
    auto begin() const noexcept { return span().begin(); }
    auto end() const noexcept { return span().end(); }
    std::vector<T> to_vector() const { return std::vector<T>(begin(), end()); }

private:
    std::span<const T> view_{};
    std::vector<T> owned_{};
    bool is_owned_ = false;
};

template <std::copyable T>
class Chunked {
public:
    static constexpr std::size_t chunk_size = 128;

    class const_iterator;
    using value_type = T;
    using size_type = std::size_t;
    using difference_type = std::ptrdiff_t;
    using const_reference = const T&;
    using iterator = const_iterator;

    Chunked() noexcept = default;
    Chunked(std::initializer_list<T> elements) { extend(std::span<const T>(elements.begin(), elements.size())); }
    explicit Chunked(std::span<const T> elements) { extend(elements); }

    // A copy shares every chunk: one reference per chunk, no element copied.
    Chunked(const Chunked& other) : chunks_(other.chunks_), len_(other.len_) {
        for (Chunk* chunk : chunks_) {
            chunk->retain();
        }
    }
    Chunked(Chunked&& other) noexcept : chunks_(std::move(other.chunks_)), len_(std::exchange(other.len_, 0)) {
        other.chunks_.clear();
    }
    Chunked& operator=(const Chunked& other) {
        if (this != &other) {
            Chunked copy(other);
            swap(copy);
        }
        return *this;
    }
    Chunked& operator=(Chunked&& other) noexcept {
        if (this != &other) {
            release_from(0);
            chunks_ = std::move(other.chunks_);
            other.chunks_.clear();
            len_ = std::exchange(other.len_, 0);
        }
        return *this;
    }
    ~Chunked() { release_from(0); }

    void swap(Chunked& other) noexcept {
        chunks_.swap(other.chunks_);
        std::swap(len_, other.len_);
    }

    std::size_t size() const noexcept { return len_; }
    std::size_t len() const noexcept { return len_; }
    bool empty() const noexcept { return len_ == 0; }

    // Element access; index < len.
    const T& operator[](std::size_t index) const noexcept {
        chunked_detail::require(index < len_, "assertion failed: index < self.len");
        return chunks_[index / chunk_size]->items[index % chunk_size];
    }
    // The element at index, or nullptr when index >= len.
    const T* get(std::size_t index) const noexcept {
        return index < len_ ? &chunks_[index / chunk_size]->items[index % chunk_size] : nullptr;
    }
    const T& front() const noexcept { return (*this)[0]; }
    const T& back() const noexcept {
        chunked_detail::require(len_ > 0, "assertion failed: index < self.len");
        return (*this)[len_ - 1];
    }

    // Appends an element. A new chunk is allocated only when len is a
    // multiple of 128; a shared last chunk is copied first.
    void push(T element) {
        if (len_ % chunk_size == 0) {
            chunks_.push_back(Chunk::allocate());
        }
        Chunk& last = make_private(chunks_.size() - 1);
        last.push_back(std::move(element));
        ++len_;
    }
    void push_back(T element) { push(std::move(element)); }

    // Appends every element in order.
    void extend(std::span<const T> elements) {
        for (const T& element : elements) {
            push(element);
        }
    }

    // Appends two 32-bit words (a 64-bit value split low word first).
    void extend_two_words(std::uint32_t first, std::uint32_t second)
        requires std::same_as<T, std::uint32_t>
    {
        push(first);
        push(second);
    }
    void extend_u64(std::uint64_t value)
        requires std::same_as<T, std::uint32_t>
    {
        extend_two_words(static_cast<std::uint32_t>(value), static_cast<std::uint32_t>(value >> 32));
    }

    // Shortens to new_len elements; new_len <= len. Releases the chunks past
    // the new end; only a cut last chunk is made private.
    void truncate(std::size_t new_len) {
        chunked_detail::require(new_len <= len_, "assertion failed: len <= self.len");
        if (new_len == len_) {
            return;
        }
        const std::size_t keep = (new_len + chunk_size - 1) / chunk_size;
        release_from(keep);
        chunks_.resize(keep);
        if (new_len % chunk_size != 0) {
            make_private(keep - 1).truncate(new_len % chunk_size);
        }
        len_ = new_len;
    }
    void clear() { truncate(0); }

    // Inserts element at index <= len. Each full chunk from the insertion
    // point on passes its last element to the start of the next chunk (a new
    // chunk is appended when the last one overflows).
    void insert(std::size_t index, T element) {
        chunked_detail::require(index <= len_, "assertion failed: index <= self.len");
        if (index == len_) {
            push(std::move(element));
            return;
        }
        std::size_t c = index / chunk_size;
        std::size_t position = index % chunk_size;
        T carry = std::move(element);
        for (;;) {
            Chunk& chunk = make_private(c);
            if (chunk.size < chunk_size) {
                chunk.insert(position, std::move(carry));
                break;
            }
            // Full: the inserted element stays here and the last one moves on.
            T last = chunk.pop_back();
            chunk.insert(position, std::move(carry));
            carry = std::move(last);
            ++c;
            position = 0;
            if (c == chunks_.size()) {
                chunks_.push_back(Chunk::allocate());
            }
        }
        ++len_;
    }

    // Removes and returns the element at index < len. Every later chunk
    // passes its first element to the end of the previous chunk; an emptied
    // last chunk is released.
    T remove(std::size_t index) {
        chunked_detail::require(index < len_, "assertion failed: index < self.len");
        std::size_t c = index / chunk_size;
        T removed = make_private(c).erase(index % chunk_size);
        for (std::size_t next = c + 1; next < chunks_.size(); ++next) {
            T moved = make_private(next).erase(0);
            chunks_[next - 1]->push_back(std::move(moved));
        }
        --len_;
        if (len_ % chunk_size == 0) {
            release_from(chunks_.size() - 1);
            chunks_.pop_back();
        }
        return removed;
    }

    // Replaces the element at index < len (copying its chunk if shared).
    void set(std::size_t index, T element) {
        chunked_detail::require(index < len_, "assertion failed: index < self.len");
        make_private(index / chunk_size).items[index % chunk_size] = std::move(element);
    }

    // Elements start..end: a view when they lie in one chunk, else a copy.
    ChunkedSlice<T> slice(std::size_t start, std::size_t end) const {
        chunked_detail::require(start <= end && end <= len_,
                                "assertion failed: range.start <= range.end && range.end <= self.len");
        if (start == end) {
            return ChunkedSlice<T>{};
        }
        const std::size_t c = start / chunk_size;
        if (c == (end - 1) / chunk_size) {
            return ChunkedSlice<T>::view(std::span<const T>(chunks_[c]->items + start % chunk_size, end - start));
        }
        std::vector<T> copy;
        copy.reserve(end - start);
        for (std::size_t i = start; i < end; ++i) {
            copy.push_back(chunks_[i / chunk_size]->items[i % chunk_size]);
        }
        return ChunkedSlice<T>::copy(std::move(copy));
    }

    // All elements in order, as one plain sequence.
    std::vector<T> to_vector() const {
        std::vector<T> out;
        out.reserve(len_);
        for (const Chunk* chunk : chunks_) {
            out.insert(out.end(), chunk->items, chunk->items + chunk->size);
        }
        return out;
    }

    // The chunks themselves: chunk c holds elements 128c.. in order.
    std::size_t chunk_count() const noexcept { return chunks_.size(); }
    std::span<const T> chunk(std::size_t c) const noexcept {
        chunked_detail::require(c < chunks_.size(), "assertion failed: chunk < self.chunks.len");
        return std::span<const T>(chunks_[c]->items, chunks_[c]->size);
    }
    // Number of Chunked values holding chunk c (1 when it is private).
    std::size_t chunk_holders(std::size_t c) const noexcept {
        chunked_detail::require(c < chunks_.size(), "assertion failed: chunk < self.chunks.len");
        return chunks_[c]->refs.load(std::memory_order_acquire);
    }
    // True when chunk c of both values is the same shared chunk.
    bool shares_chunk(const Chunked& other, std::size_t c) const noexcept {
        return c < chunks_.size() && c < other.chunks_.size() && chunks_[c] == other.chunks_[c];
    }

    const_iterator begin() const noexcept { return const_iterator(this, 0); }
    const_iterator end() const noexcept { return const_iterator(this, len_); }
    const_iterator cbegin() const noexcept { return begin(); }
    const_iterator cend() const noexcept { return end(); }

    friend bool operator==(const Chunked& a, const Chunked& b) noexcept(noexcept(std::declval<const T&>() ==
                                                                                  std::declval<const T&>()))
        requires std::equality_comparable<T>
    {
        if (a.len_ != b.len_) {
            return false;
        }
        for (std::size_t c = 0; c < a.chunks_.size(); ++c) {
            const Chunk* x = a.chunks_[c];
            const Chunk* y = b.chunks_[c];
            if (x != y && !std::equal(x->items, x->items + x->size, y->items)) {
                return false;
            }
        }
        return true;
    }

    // Random-access iterator over the elements (read only).
    class const_iterator {
    public:
        using iterator_concept = std::random_access_iterator_tag;
        using iterator_category = std::random_access_iterator_tag;
        using value_type = T;
        using difference_type = std::ptrdiff_t;
        using pointer = const T*;
        using reference = const T&;

        const_iterator() noexcept = default;

        reference operator*() const noexcept { return owner_->chunks_[index_ / chunk_size]->items[index_ % chunk_size]; }
        pointer operator->() const noexcept { return &**this; }
        reference operator[](difference_type n) const noexcept { return *(*this + n); }

        const_iterator& operator++() noexcept {
            ++index_;
            return *this;
        }
        const_iterator operator++(int) noexcept {
            const_iterator old = *this;
            ++index_;
            return old;
        }
        const_iterator& operator--() noexcept {
            --index_;
            return *this;
        }
        const_iterator operator--(int) noexcept {
            const_iterator old = *this;
            --index_;
            return old;
        }
        const_iterator& operator+=(difference_type n) noexcept {
            index_ = static_cast<std::size_t>(static_cast<difference_type>(index_) + n);
            return *this;
        }
        const_iterator& operator-=(difference_type n) noexcept { return *this += -n; }
        friend const_iterator operator+(const_iterator it, difference_type n) noexcept { return it += n; }
        friend const_iterator operator+(difference_type n, const_iterator it) noexcept { return it += n; }
        friend const_iterator operator-(const_iterator it, difference_type n) noexcept { return it -= n; }
        friend difference_type operator-(const const_iterator& a, const const_iterator& b) noexcept {
            return static_cast<difference_type>(a.index_) - static_cast<difference_type>(b.index_);
        }
        friend bool operator==(const const_iterator& a, const const_iterator& b) noexcept {
            return a.index_ == b.index_;
        }
        friend std::strong_ordering operator<=>(const const_iterator& a, const const_iterator& b) noexcept {
            return a.index_ <=> b.index_;
        }

        // Position of the iterator in its sequence.
        std::size_t index() const noexcept { return index_; }

    private:
        friend class Chunked;
        const_iterator(const Chunked* owner, std::size_t index) noexcept : owner_(owner), index_(index) {}

        const Chunked* owner_ = nullptr;
        std::size_t index_ = 0;
    };

private:
    // One chunk: a reference count and 128 inline slots, the first `size` of
    // which hold live elements.
    struct Chunk {
        std::atomic<std::size_t> refs{1};
        std::size_t size = 0;
        union {
            T items[chunk_size];
        };

        Chunk() noexcept {}
        ~Chunk() { std::destroy(items, items + size); }
        Chunk(const Chunk&) = delete;
        Chunk& operator=(const Chunk&) = delete;

        static Chunk* allocate() {
            chunked_detail::note_chunk_allocation();
            return new Chunk;
        }
        // A private copy of this chunk's elements.
        Chunk* clone() const {
            Chunk* copy = allocate();
            std::uninitialized_copy(items, items + size, copy->items);
            copy->size = size;
            return copy;
        }

        void retain() noexcept { refs.fetch_add(1, std::memory_order_relaxed); }
        void release() noexcept {
            if (refs.fetch_sub(1, std::memory_order_acq_rel) == 1) {
                delete this;
            }
        }
        bool unique() const noexcept { return refs.load(std::memory_order_acquire) == 1; }

        // Slot operations on a private chunk.
        void push_back(T element) {
            std::construct_at(items + size, std::move(element));
            ++size;
        }
        T pop_back() {
            T last = std::move(items[size - 1]);
            std::destroy_at(items + size - 1);
            --size;
            return last;
        }
        // Inserts at position <= size < chunk_size, shifting the rest up.
        void insert(std::size_t position, T element) {
            if (position == size) {
                push_back(std::move(element));
                return;
            }
            std::construct_at(items + size, std::move(items[size - 1]));
            std::move_backward(items + position, items + size - 1, items + size);
            items[position] = std::move(element);
            ++size;
        }
        // Takes out the element at position < size, shifting the rest down.
        T erase(std::size_t position) {
            T removed = std::move(items[position]);
            std::move(items + position + 1, items + size, items + position);
            std::destroy_at(items + size - 1);
            --size;
            return removed;
        }
        void truncate(std::size_t new_size) noexcept {
            std::destroy(items + new_size, items + size);
            size = new_size;
        }
    };

    // Chunk c, replaced by a private copy first if it is shared.
    Chunk& make_private(std::size_t c) {
        Chunk* chunk = chunks_[c];
        if (!chunk->unique()) {
            Chunk* copy = chunk->clone();
            chunk->release();
            chunks_[c] = copy;
            chunk = copy;
        }
        return *chunk;
    }

    // Drops this value's references to chunks first.. (the pointers stay
    // in chunks_ for the caller to remove).
    void release_from(std::size_t first) noexcept {
        for (std::size_t c = first; c < chunks_.size(); ++c) {
            chunks_[c]->release();
        }
    }

    std::vector<Chunk*> chunks_;
    std::size_t len_ = 0;
};

template <std::copyable T>
void swap(Chunked<T>& a, Chunked<T>& b) noexcept {
    a.swap(b);
}

}  // namespace vorn::exchange
