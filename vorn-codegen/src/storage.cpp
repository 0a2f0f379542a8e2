#include "vorn/codegen/storage.hpp"

#include <ostream>

#include <fmt/format.h>

namespace vorn::codegen {
namespace {

std::string_view layout_name(BlockMajorLayout layout) noexcept {
    switch (layout) {
    case BlockMajorLayout::Matrix:
        return "Matrix";
    case BlockMajorLayout::TransposedMatrix:
        return "TransposedMatrix";
    }
    return "BlockMajorLayout";
}

}  // namespace

std::string_view name(AmpOperandRole role) noexcept {
    switch (role) {
    case AmpOperandRole::Left:
        return "Left";
    case AmpOperandRole::TransposedLeft:
        return "TransposedLeft";
    case AmpOperandRole::Right:
        return "Right";
    case AmpOperandRole::TransposedRight:
        return "TransposedRight";
    }
    return "AmpOperandRole";
}

std::string BlockMajorOrder::debug() const {
    return fmt::format("{} {{ row_block: {}, column_block: {} }}", layout_name(layout), row_block, column_block);
}

std::string_view debug_name(StorageErrorKind kind) noexcept {
    switch (kind) {
    case StorageErrorKind::WrongShard:
        return "WrongShard";
    case StorageErrorKind::InvalidView:
        return "InvalidView";
    case StorageErrorKind::MatrixRank:
        return "MatrixRank";
    case StorageErrorKind::AmpBlock:
        return "AmpBlock";
    case StorageErrorKind::BlockMajorBlock:
        return "BlockMajorBlock";
    case StorageErrorKind::Overflow:
        return "Overflow";
    }
    return "StorageError";
}

std::string StorageError::to_string() const {
    switch (kind_) {
    case StorageErrorKind::WrongShard:
        return "view does not refer to the supplied shard";
    case StorageErrorKind::InvalidView:
        return "view extents are not a valid subset of the shard";
    case StorageErrorKind::MatrixRank:
        return "matrix storage requires a tensor of rank at least two";
    case StorageErrorKind::AmpBlock:
        return fmt::format("AMP {} storage dimensions are incompatible with its block shape", name(role_));
    case StorageErrorKind::BlockMajorBlock:
        return fmt::format("block-major {} storage dimensions are incompatible with its block shape",
                           order_.debug());
    case StorageErrorKind::Overflow:
        return "tensor storage size overflowed";
    }
    return std::string{debug_name(kind_)};
}

std::string StorageError::debug() const {
    switch (kind_) {
    case StorageErrorKind::AmpBlock:
        return fmt::format("AmpBlock {{ role: {} }}", name(role_));
    case StorageErrorKind::BlockMajorBlock:
        return fmt::format("BlockMajorBlock {{ order: {} }}", order_.debug());
    case StorageErrorKind::WrongShard:
    case StorageErrorKind::InvalidView:
    case StorageErrorKind::MatrixRank:
    case StorageErrorKind::Overflow:
        break;
    }
    return std::string{debug_name(kind_)};
}

std::ostream& operator<<(std::ostream& out, const StorageError& error) { return out << error.to_string(); }

}  // namespace vorn::codegen
