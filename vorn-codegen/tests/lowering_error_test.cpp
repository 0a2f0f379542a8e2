#include "vorn/codegen/exchange/lowering_error.hpp"

#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include <fmt/format.h>
#include <gtest/gtest.h>

#include "vorn/codegen/storage.hpp"

namespace vorn::codegen {
namespace {

using vorn::exchange::ExchangeError;

template <typename Error>
std::string streamed(const Error& error) {
    std::ostringstream stream;
    stream << error;
    return stream.str();
}

struct StorageCase {
    StorageError error;
    StorageErrorKind kind;
    std::string_view display;
    std::string_view debug;
};

TEST(StorageErrorTest, RendersEveryVariant) {
    const std::vector<StorageCase> cases = {
        {StorageError::wrong_shard(), StorageErrorKind::WrongShard, "view does not refer to the supplied shard",
         "WrongShard"},
        {StorageError::invalid_view(), StorageErrorKind::InvalidView,
         "view extents are not a valid subset of the shard", "InvalidView"},
        {StorageError::matrix_rank(), StorageErrorKind::MatrixRank,
         "matrix storage requires a tensor of rank at least two", "MatrixRank"},
        {StorageError::amp_block(AmpOperandRole::TransposedLeft), StorageErrorKind::AmpBlock,
         "AMP TransposedLeft storage dimensions are incompatible with its block shape",
         "AmpBlock { role: TransposedLeft }"},
        {StorageError::amp_block(AmpOperandRole::Right), StorageErrorKind::AmpBlock,
         "AMP Right storage dimensions are incompatible with its block shape", "AmpBlock { role: Right }"},
        {StorageError::block_major_block({BlockMajorLayout::Matrix, 2, 4}), StorageErrorKind::BlockMajorBlock,
         "block-major Matrix { row_block: 2, column_block: 4 } storage dimensions are incompatible with its block "
         "shape",
         "BlockMajorBlock { order: Matrix { row_block: 2, column_block: 4 } }"},
        {StorageError::block_major_block({BlockMajorLayout::TransposedMatrix, 16, 1}),
         StorageErrorKind::BlockMajorBlock,
         "block-major TransposedMatrix { row_block: 16, column_block: 1 } storage dimensions are incompatible with "
         "its block shape",
         "BlockMajorBlock { order: TransposedMatrix { row_block: 16, column_block: 1 } }"},
        {StorageError::overflow(), StorageErrorKind::Overflow, "tensor storage size overflowed", "Overflow"},
    };
    for (const StorageCase& c : cases) {
        SCOPED_TRACE(c.debug);
        EXPECT_EQ(c.error.kind(), c.kind);
        EXPECT_EQ(c.error.to_string(), c.display);
        EXPECT_EQ(fmt::format("{}", c.error), c.display);
        EXPECT_EQ(streamed(c.error), c.display);
        EXPECT_EQ(c.error.debug(), c.debug);
    }
}

TEST(StorageErrorTest, ComparesOnlyTheVariantsFields) {
    EXPECT_EQ(StorageError::amp_block(AmpOperandRole::Left), StorageError::amp_block(AmpOperandRole::Left));
    EXPECT_NE(StorageError::amp_block(AmpOperandRole::Left), StorageError::amp_block(AmpOperandRole::Right));
    EXPECT_NE(StorageError::block_major_block({BlockMajorLayout::Matrix, 2, 4}),
              StorageError::block_major_block({BlockMajorLayout::Matrix, 4, 2}));
    EXPECT_NE(StorageError::overflow(), StorageError::matrix_rank());
}

struct LoweringCase {
    ExchangeLoweringError error;
    ExchangeLoweringErrorKind kind;
    std::string_view display;
    std::string_view debug;
};

TEST(ExchangeLoweringErrorTest, RendersEveryVariant) {
    const std::vector<LoweringCase> cases = {
        {ExchangeLoweringError::exchange(ExchangeError::tile(5)), ExchangeLoweringErrorKind::Exchange,
         "logical tile 5 is out of range", "Exchange(Tile(5))"},
        {ExchangeLoweringError::exchange(ExchangeError::plan_offset_range(10, 4)), ExchangeLoweringErrorKind::Exchange,
         "exchange event offset 10 cycles from the phase-entry sync exceeds the encodable maximum of 4 cycles",
         "Exchange(PlanOffsetRange { cycles: 10, maximum: 4 })"},
        {ExchangeLoweringError::storage(StorageError::amp_block(AmpOperandRole::TransposedLeft)),
         ExchangeLoweringErrorKind::Storage,
         "AMP TransposedLeft storage dimensions are incompatible with its block shape",
         "Storage(AmpBlock { role: TransposedLeft })"},
        {ExchangeLoweringError::storage(StorageError::overflow()), ExchangeLoweringErrorKind::Storage,
         "tensor storage size overflowed", "Storage(Overflow)"},
        {ExchangeLoweringError::unplaced_shard(), ExchangeLoweringErrorKind::UnplacedShard,
         "exchange refers to an unplaced shard", "UnplacedShard"},
        {ExchangeLoweringError::invalid_destination(), ExchangeLoweringErrorKind::InvalidDestination,
         "exchange destination is not writable", "InvalidDestination"},
        {ExchangeLoweringError::unaligned_payload(), ExchangeLoweringErrorKind::UnalignedPayload,
         "exchange payload is not a nonempty whole number of words", "UnalignedPayload"},
        {ExchangeLoweringError::size_mismatch(), ExchangeLoweringErrorKind::SizeMismatch,
         "exchange source and destination byte counts differ", "SizeMismatch"},
        {ExchangeLoweringError::overflow(), ExchangeLoweringErrorKind::Overflow,
         "exchange address arithmetic overflowed", "Overflow"},
        {ExchangeLoweringError::incompatible_repeat_rows(), ExchangeLoweringErrorKind::IncompatibleRepeatRows,
         "structured-repeat exchange rows have incompatible shapes", "IncompatibleRepeatRows"},
        {ExchangeLoweringError::diagnostic_tile(1472), ExchangeLoweringErrorKind::DiagnosticTile,
         "exchange diagnostic refers to missing tile 1472", "DiagnosticTile(1472)"},
        {ExchangeLoweringError::invalid_snapshot("duplicate phase 3"), ExchangeLoweringErrorKind::InvalidSnapshot,
         "invalid exchange-schedule snapshot: duplicate phase 3", R"(InvalidSnapshot("duplicate phase 3"))"},
        // The debug form quotes and escapes the text like a string literal.
        {ExchangeLoweringError::invariant("row \"a\"\tb"), ExchangeLoweringErrorKind::Invariant,
         "exchange-schedule invariant failed: row \"a\"\tb", R"(Invariant("row \"a\"\tb"))"},
    };
    for (const LoweringCase& c : cases) {
        SCOPED_TRACE(c.debug);
        EXPECT_EQ(c.error.kind(), c.kind);
        EXPECT_EQ(debug_name(c.kind), c.debug.substr(0, debug_name(c.kind).size()));
        EXPECT_EQ(c.error.to_string(), c.display);
        EXPECT_EQ(fmt::format("{}", c.error), c.display);
        EXPECT_EQ(streamed(c.error), c.display);
        EXPECT_EQ(c.error.debug(), c.debug);
    }
}

TEST(ExchangeLoweringErrorTest, PayloadAccessorsAnswerOnlyForTheirVariant) {
    const auto exchange = ExchangeLoweringError::exchange(ExchangeError::count(0));
    const auto storage = ExchangeLoweringError::storage(StorageError::wrong_shard());
    const auto tile = ExchangeLoweringError::diagnostic_tile(9);
    const auto snapshot = ExchangeLoweringError::invalid_snapshot("x");
    const auto invariant = ExchangeLoweringError::invariant("y");
    const auto plain = ExchangeLoweringError::overflow();

    EXPECT_EQ(exchange.exchange_error(), ExchangeError::count(0));
    EXPECT_EQ(storage.storage_error(), StorageError::wrong_shard());
    EXPECT_EQ(tile.diagnostic_tile(), 9);
    EXPECT_EQ(snapshot.text(), "x");
    EXPECT_EQ(invariant.text(), "y");

    for (const auto* error : {&storage, &tile, &snapshot, &invariant, &plain}) {
        EXPECT_FALSE(error->exchange_error().has_value());
    }
    for (const auto* error : {&exchange, &tile, &snapshot, &invariant, &plain}) {
        EXPECT_FALSE(error->storage_error().has_value());
    }
    for (const auto* error : {&exchange, &storage, &snapshot, &invariant, &plain}) {
        EXPECT_FALSE(error->diagnostic_tile().has_value());
    }
    for (const auto* error : {&exchange, &storage, &tile, &plain}) {
        EXPECT_FALSE(error->text().has_value());
    }
}

TEST(ExchangeLoweringErrorTest, EqualityTellsVariantsWithTheSameTextApart) {
    // Same text, different variants: a caller comparing errors must not
    // confuse a snapshot problem with a broken invariant.
    EXPECT_NE(ExchangeLoweringError::invalid_snapshot("t"), ExchangeLoweringError::invariant("t"));
    EXPECT_NE(ExchangeLoweringError::invalid_snapshot("t"), ExchangeLoweringError::invalid_snapshot("u"));
    EXPECT_EQ(ExchangeLoweringError::exchange(ExchangeError::tile(1)),
              ExchangeLoweringError::exchange(ExchangeError::tile(1)));
    EXPECT_NE(ExchangeLoweringError::exchange(ExchangeError::tile(1)),
              ExchangeLoweringError::exchange(ExchangeError::tile(2)));
    // The Overflow of the scheduler is not the storage overflow.
    EXPECT_NE(ExchangeLoweringError::overflow(), ExchangeLoweringError::storage(StorageError::overflow()));
}

}  // namespace
}  // namespace vorn::codegen
