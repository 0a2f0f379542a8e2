#include "vorn/codegen/exchange/snapshot_validation.hpp"

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include <gtest/gtest.h>

#include "exchange_test_support.hpp"
#include "vorn/codegen/exchange/snapshot_reader.hpp"

namespace vorn::codegen {
namespace {

using namespace vorn::codegen::test_support;

constexpr std::string_view prefix = "invalid exchange-schedule snapshot: ";

ExchangeScheduleSnapshot snapshot(std::uint32_t schema_version, std::uint16_t tile_count,
                                  std::vector<ExchangeScheduleProblem> phases) {
    return ExchangeScheduleSnapshot{schema_version, tile_count, std::move(phases)};
}

// A transfer every section of at least two tiles accepts.
ExchangeScheduleTransfer good() { return transfer(0, 4, {0x1000}, {{1, 0x2000}}); }
// One that breaks the word-count rule.
ExchangeScheduleTransfer no_words() { return transfer(0, 0, {0x1000}, {{1, 0x2000}}); }

struct ValidationCase {
    std::string_view name;
    ExchangeScheduleSnapshot snapshot;
    std::string expected;  // the error's display text
};

std::vector<ValidationCase> rejected() {
    const std::string p{prefix};
    return {
        {"schema version 2", snapshot(2, 1472, {phase(1, {good()})}),
         p + "unsupported schema version 2 (expected 3)"},
        {"schema version beats every other rule",
         snapshot(2, 0, {phase(1, {no_words()}), phase(1, {no_words()})}),
         p + "unsupported schema version 2 (expected 3)"},
        {"schema version 4294967295", snapshot(4294967295U, 4, {}),
         p + "unsupported schema version 4294967295 (expected 3)"},
        {"no tiles", snapshot(3, 0, {}), p + "tile count 0 is outside the Q480 topology"},
        {"more tiles than the machine", snapshot(3, 1473, {}), p + "tile count 1473 is outside the Q480 topology"},
        {"tile count beats duplicate phases", snapshot(3, 65535, {phase(1, {}), phase(1, {})}),
         p + "tile count 65535 is outside the Q480 topology"},
        {"duplicate phase", snapshot(3, 4, {phase(7, {good()}), phase(8, {}), phase(7, {good()})}),
         p + "duplicate phase 7"},
        // The repeated phase is rejected before its transfers are looked at.
        {"duplicate phase beats its own bad transfer", snapshot(3, 4, {phase(7, {good()}), phase(7, {no_words()})}),
         p + "duplicate phase 7"},
        // Problems are checked one after the other, each completely.
        {"bad transfer beats a later duplicate phase",
         snapshot(3, 4, {phase(7, {good(), no_words()}), phase(7, {good()})}),
         p + "phase 7 transfer 1 has invalid word count 0"},
        {"transfer of a later phase", snapshot(3, 4, {phase(7, {good()}), phase(9, {good(), good(), no_words()})}),
         p + "phase 9 transfer 2 has invalid word count 0"},
        {"source span ending at 2^32", snapshot(3, 4, {phase(1, {transfer(0, 1, {0xFFFFFFFC}, {{1, 0x0}})})}),
         "exchange address arithmetic overflowed"},
        {"two destinations on one tile",
         snapshot(3, 4, {phase(1, {transfer(0, 1, {0x0}, {{1, 0x0}, {2, 0x0}, {1, 0x40}})})}),
         p + "phase 1 transfer 0 has invalid destination tile 1"},
        // The conversion runs with the snapshot's tile count.
        {"source outside the snapshot's tiles", snapshot(3, 2, {phase(5, {transfer(2, 4, {0x0}, {{1, 0x0}})})}),
         p + "phase 5 transfer 0 has source tile 2 outside 0..2"},
        {"paired transfer from the last tile of an odd section",
         snapshot(3, 1471, {phase(5, {transfer(1470, 2, {0x0}, {{0, 0x0}}, paired64)})}),
         p + "phase 5 transfer 0 has paired source tile 1471 outside 0..1471"},
    };
}

TEST(ValidateSnapshotTest, RejectsTheFirstBrokenRule) {
    for (const ValidationCase& c : rejected()) {
        SCOPED_TRACE(c.name);
        const auto result = validate_snapshot(c.snapshot);
        ASSERT_FALSE(result.has_value());
        EXPECT_EQ(result.error().to_string(), c.expected);
    }
}

TEST(ValidateSnapshotTest, AcceptsSchedulableSnapshots) {
    const std::vector<ExchangeScheduleSnapshot> accepted = {
        snapshot(3, 1, {}),
        snapshot(3, 1472, {}),
        snapshot(3, 4, {phase(7, {})}),
        snapshot(3, 4, {phase(7, {good()}), phase(8, {good()}), phase(0, {})}),
        // The last pair of the full machine.
        snapshot(3, 1472, {phase(0, {transfer(1471, 2, {0x0}, {{0, 0x0}}, paired64),
                                     transfer(1470, 2, {0x0}, {{1, 0x0}}, paired64)})}),
        // The recipe cache's check of a tile count alone.
        snapshot(3, 1471, {}),
    };
    for (std::size_t i = 0; i < accepted.size(); ++i) {
        SCOPED_TRACE(i);
        const auto result = validate_snapshot(accepted[i]);
        EXPECT_TRUE(result.has_value()) << result.error();
    }
}

TEST(ValidateSnapshotTest, ReadDocuments) {
    const auto minimal = read_snapshot(
        R"({"schema_version": 3, "tile_count": 1472, "phases": [{"phase": 7, "transfers": [{"source": 0, )"
        R"("source_addresses": [4096], "destinations": [{"tile": 1, "address": 8192}], "words": 4, )"
        R"("width": "Word32"}]}]})");
    ASSERT_TRUE(minimal.has_value()) << minimal.error().render();
    EXPECT_TRUE(validate_snapshot(*minimal).has_value());

    const auto paired = read_snapshot(R"([3, 3, [[4, [[2, [16], [[0, 0]], 2, "Paired64"]]]]])");
    ASSERT_TRUE(paired.has_value()) << paired.error().render();
    const auto result = validate_snapshot(*paired);
    ASSERT_FALSE(result.has_value());
    EXPECT_EQ(result.error().to_string(),
              "invalid exchange-schedule snapshot: phase 4 transfer 0 has paired source tile 3 outside 0..3");
}

}  // namespace
}  // namespace vorn::codegen
