#pragma once
// StorageError: a bad storage layout of a tensor view. The scheduler wraps it
// as ExchangeLoweringError::storage; nothing in the exchange tools raises it,
// but its texts are fixed so that every producer reports it alike.

#include <cstdint>
#include <iosfwd>
#include <string>
#include <string_view>

#include <fmt/core.h>

namespace vorn::codegen {

// The operand role of an AMP block layout.
enum class AmpOperandRole : std::uint8_t {
    Left,
    TransposedLeft,
    Right,
    TransposedRight,
};

// The variant name of a role, e.g. "TransposedLeft".
std::string_view name(AmpOperandRole role) noexcept;

// The two shapes of a block-major order.
enum class BlockMajorLayout : std::uint8_t {
    Matrix,
    TransposedMatrix,
};

// A block-major storage order: the layout and the block shape it tiles by.
struct BlockMajorOrder {
    BlockMajorLayout layout = BlockMajorLayout::Matrix;
    std::uint32_t row_block = 0;
    std::uint32_t column_block = 0;

    // "Matrix { row_block: 2, column_block: 4 }"
    std::string debug() const;

    friend bool operator==(const BlockMajorOrder&, const BlockMajorOrder&) = default;
};

// The variants of StorageError, in their fixed order.
enum class StorageErrorKind : std::uint8_t {
    WrongShard,       // the view belongs to another shard
    InvalidView,      // the view's extents leave the shard
    MatrixRank,       // matrix storage of a tensor of rank below two
    AmpBlock,         // dimensions that do not fit an AMP block layout
    BlockMajorBlock,  // dimensions that do not fit a block-major order
    Overflow,         // the storage size does not fit
};

class StorageError {
public:
    static constexpr StorageError wrong_shard() noexcept { return StorageError{StorageErrorKind::WrongShard}; }
    static constexpr StorageError invalid_view() noexcept { return StorageError{StorageErrorKind::InvalidView}; }
    static constexpr StorageError matrix_rank() noexcept { return StorageError{StorageErrorKind::MatrixRank}; }
    static constexpr StorageError amp_block(AmpOperandRole role) noexcept {
        StorageError error{StorageErrorKind::AmpBlock};
        error.role_ = role;
        return error;
    }
    static constexpr StorageError block_major_block(BlockMajorOrder order) noexcept {
        StorageError error{StorageErrorKind::BlockMajorBlock};
        error.order_ = order;
        return error;
    }
    static constexpr StorageError overflow() noexcept { return StorageError{StorageErrorKind::Overflow}; }

    constexpr StorageErrorKind kind() const noexcept { return kind_; }
    // The role of an AmpBlock error (Left for every other variant).
    constexpr AmpOperandRole role() const noexcept { return role_; }
    // The order of a BlockMajorBlock error (a zero Matrix order otherwise).
    constexpr const BlockMajorOrder& order() const noexcept { return order_; }

    // The display text, e.g. "tensor storage size overflowed".
    std::string to_string() const;
    // The debug form: "Overflow", "AmpBlock { role: TransposedLeft }",
    // "BlockMajorBlock { order: Matrix { row_block: 2, column_block: 4 } }".
    std::string debug() const;

    friend constexpr bool operator==(const StorageError&, const StorageError&) noexcept = default;

private:
    constexpr explicit StorageError(StorageErrorKind kind) noexcept : kind_(kind) {}

    // Fields of the other variants keep their defaults, so the defaulted
    // comparison compares exactly the fields of the variant.
    StorageErrorKind kind_;
    AmpOperandRole role_ = AmpOperandRole::Left;
    BlockMajorOrder order_{};
};

// The variant name of a kind, as used by StorageError::debug.
std::string_view debug_name(StorageErrorKind kind) noexcept;

std::ostream& operator<<(std::ostream& out, const StorageError& error);

}  // namespace vorn::codegen

// "{}" formats the display text.
template <>
struct fmt::formatter<vorn::codegen::StorageError> : fmt::formatter<std::string_view> {
    template <typename FormatContext>
    auto format(const vorn::codegen::StorageError& error, FormatContext& ctx) const -> decltype(ctx.out()) {
        return fmt::formatter<std::string_view>::format(error.to_string(), ctx);
    }
};
