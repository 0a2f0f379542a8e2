#include <fmt/format.h>
#include <gtest/gtest.h>

#include "vorn/tests/arguments.hpp"
#include "vorn/tests/failure.hpp"
#include "vorn/tests/startup.hpp"

namespace vorn::tests {
namespace {

using codegen::ExchangeScheduleProblem;
using codegen::ExchangeScheduleSnapshot;
using codegen::ExchangeScheduleTransfer;

TEST(FailureRender, CausesFollowTheMessage) {
    EXPECT_EQ(Failure("--iterations must be nonzero").render(), "--iterations must be nonzero");
    EXPECT_EQ(Failure("No such file or directory").context("open x.json").render(),
              "open x.json\n\nCaused by:\n    No such file or directory");
    EXPECT_EQ(Failure("inner").context("middle").context("outer").render(),
              "outer\n\nCaused by:\n    0: middle\n    1: inner");
    EXPECT_EQ(Failure("first line\nsecond line").context("parse y").render(),
              "parse y\n\nCaused by:\n    first line\n    second line");
}

TEST(FailureRender, NumbersAreRightAlignedInFiveColumns) {
    Failure failure("c11");
    for (int i = 10; i >= 0; --i) {
        failure = std::move(failure).context(fmt::format("c{}", i));
    }
    const auto text = failure.render();
    EXPECT_NE(text.find("\n    0: c1\n"), std::string::npos) << text;
    EXPECT_NE(text.find("\n   10: c11"), std::string::npos) << text;
}

ExchangeScheduleSnapshot snapshot_with_phases(std::vector<std::uint32_t> ids) {
    ExchangeScheduleSnapshot snapshot{3, 1472, {}};
    for (const auto id : ids) {
        snapshot.phases.push_back(ExchangeScheduleProblem{id, {}});
    }
    return snapshot;
}

TEST(SelectPhases, SnapshotOrderAndSmallestMissingIdentifier) {
    const auto snapshot = snapshot_with_phases({5, 3, 1, 9});
    EXPECT_EQ(select_phases(snapshot, {}), (std::vector<std::size_t>{0, 1, 2, 3}));
    EXPECT_EQ(select_phases(snapshot, {1, 5}), (std::vector<std::size_t>{0, 2}));
    EXPECT_EQ(select_phases(snapshot, {5, 1}), (std::vector<std::size_t>{0, 2}));

    EXPECT_EQ(select_phases(snapshot, {3, 3}).error().render(), "--phase contains a duplicate phase ID");
    // Duplicates are reported before any identifier is looked up.
    EXPECT_EQ(select_phases(snapshot, {4, 4}).error().render(), "--phase contains a duplicate phase ID");
    EXPECT_EQ(select_phases(snapshot, {9, 7, 2}).error().render(), "snapshot does not contain phase 2");
    EXPECT_EQ(select_phases(snapshot_with_phases({}), {}), std::vector<std::size_t>{});
}

TEST(KeepFirstIterationOnly, ShortensEveryTransferWithAnAddress) {
    auto snapshot = snapshot_with_phases({1, 2});
    ExchangeScheduleTransfer three{0, {16, 32, 48}, {{1, 64}}, 4, codegen::ExchangeItemWidth::Word32};
    ExchangeScheduleTransfer none{1, {}, {{0, 64}}, 4, codegen::ExchangeItemWidth::Word32};
    snapshot.phases[0].transfers = {three, none};
    snapshot.phases[1].transfers = {three};
    keep_first_iteration_only(snapshot);
    EXPECT_EQ(snapshot.phases[0].transfers[0].source_addresses, std::vector<std::uint32_t>{16});
    EXPECT_TRUE(snapshot.phases[0].transfers[1].source_addresses.empty());
    EXPECT_EQ(snapshot.phases[1].transfers[0].source_addresses, std::vector<std::uint32_t>{16});
}

TEST(HeaderLine, FieldsInOrder) {
    Arguments arguments;
    arguments.snapshot = "snap\xFF.json";
    arguments.warmup = 2;
    arguments.iterations = 10;
    const auto snapshot = snapshot_with_phases({1, 2, 3});
    EXPECT_EQ(header_line(arguments, snapshot, 2),
              "snapshot=snap\xEF\xBF\xBD.json tiles=1472 phases=2 warmup=2 iterations=10 repeatAware=true");
    arguments.first_iteration_only = true;
    EXPECT_EQ(header_line(arguments, snapshot, 0),
              "snapshot=snap\xEF\xBF\xBD.json tiles=1472 phases=0 warmup=2 iterations=10 repeatAware=false");
}

}  // namespace
}  // namespace vorn::tests
