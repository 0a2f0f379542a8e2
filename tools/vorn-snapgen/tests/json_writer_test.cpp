#include "vorn/snapgen/json_writer.hpp"

#include <algorithm>
#include <cstdio>
#include <string>

#include <gtest/gtest.h>
#include <simdjson.h>

#include "vorn/snapgen/families.hpp"

namespace vorn::snapgen {
namespace {

using codegen::ExchangeItemWidth;
using codegen::ExchangeScheduleProblem;
using codegen::ExchangeScheduleSnapshot;
using codegen::ExchangeScheduleTransfer;

const ExchangeScheduleSnapshot tiny{
    3,
    1472,
    {ExchangeScheduleProblem{7, {ExchangeScheduleTransfer{0, {4096}, {{1, 8192}}, 4, ExchangeItemWidth::Word32}}},
     ExchangeScheduleProblem{
         8, {ExchangeScheduleTransfer{2, {65536, 65600}, {{4, 524288}, {5, 524296}}, 8, ExchangeItemWidth::Paired64},
             ExchangeScheduleTransfer{1471, {4294967292U}, {{0, 0}}, 4148, ExchangeItemWidth::Word32}}}}};

TEST(SnapshotJson, CompactIsOneLineInDeclarationOrder) {
    EXPECT_EQ(snapshot_json(tiny, JsonLayout::Compact),
              R"({"schema_version":3,"tile_count":1472,"phases":[)"
              R"({"phase":7,"transfers":[{"source":0,"source_addresses":[4096],"destinations":[{"tile":1,"address":8192}],"words":4,"width":"Word32"}]},)"
              R"({"phase":8,"transfers":[{"source":2,"source_addresses":[65536,65600],"destinations":[{"tile":4,"address":524288},{"tile":5,"address":524296}],"words":8,"width":"Paired64"},)"
              R"({"source":1471,"source_addresses":[4294967292],"destinations":[{"tile":0,"address":0}],"words":4148,"width":"Word32"}]}]})"
              "\n");
}

TEST(SnapshotJson, PhaseLinesPutsEachPhaseOnItsOwnLine) {
    const std::string text = snapshot_json(tiny, JsonLayout::PhaseLines);
    EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 4);
    EXPECT_EQ(text.substr(0, text.find('\n')), R"({"schema_version":3,"tile_count":1472,"phases":[)");
    EXPECT_NE(text.find("\n{\"phase\":7,"), std::string::npos);
    EXPECT_NE(text.find("]},\n{\"phase\":8,"), std::string::npos);
    EXPECT_EQ(text.substr(text.size() - 4), "\n]}\n");
}

TEST(SnapshotJson, NoPhasesIsAnEmptyArray) {
    const ExchangeScheduleSnapshot empty{3, 2, {}};
    EXPECT_EQ(snapshot_json(empty, JsonLayout::Compact), "{\"schema_version\":3,\"tile_count\":2,\"phases\":[]}\n");
    EXPECT_EQ(snapshot_json(empty, JsonLayout::PhaseLines), "{\"schema_version\":3,\"tile_count\":2,\"phases\":[]}\n");
}

// Reads a document back with an independent JSON parser.
ExchangeScheduleSnapshot parse(const std::string& text) {
    simdjson::dom::parser parser;
    const simdjson::dom::element root = parser.parse(simdjson::padded_string(text));
    ExchangeScheduleSnapshot snapshot;
    snapshot.schema_version = static_cast<std::uint32_t>(std::uint64_t(root["schema_version"]));
    snapshot.tile_count = static_cast<std::uint16_t>(std::uint64_t(root["tile_count"]));
    for (const simdjson::dom::element phase : simdjson::dom::array(root["phases"])) {
        ExchangeScheduleProblem problem;
        problem.phase = static_cast<std::uint32_t>(std::uint64_t(phase["phase"]));
        for (const simdjson::dom::element item : simdjson::dom::array(phase["transfers"])) {
            ExchangeScheduleTransfer transfer;
            transfer.source = static_cast<std::uint16_t>(std::uint64_t(item["source"]));
            for (const simdjson::dom::element address : simdjson::dom::array(item["source_addresses"])) {
                transfer.source_addresses.push_back(static_cast<std::uint32_t>(std::uint64_t(address)));
            }
            for (const simdjson::dom::element destination : simdjson::dom::array(item["destinations"])) {
                transfer.destinations.push_back({static_cast<std::uint16_t>(std::uint64_t(destination["tile"])),
                                                 static_cast<std::uint32_t>(std::uint64_t(destination["address"]))});
            }
            transfer.words = static_cast<std::uint32_t>(std::uint64_t(item["words"]));
            const std::string_view width(item["width"]);
            EXPECT_TRUE(width == "Word32" || width == "Paired64") << width;
            transfer.width = width == "Paired64" ? ExchangeItemWidth::Paired64 : ExchangeItemWidth::Word32;
            problem.transfers.push_back(std::move(transfer));
        }
        snapshot.phases.push_back(std::move(problem));
    }
    return snapshot;
}

TEST(SnapshotJson, RoundTripsAGeneratedSnapshotInBothLayouts) {
    GeneratorOptions options;
    options.family = Family::Mixed;
    options.transfers = 400;
    const auto snapshot = generate_snapshot(resolve_options(options).value());
    EXPECT_EQ(parse(snapshot_json(snapshot, JsonLayout::Compact)), snapshot);
    EXPECT_EQ(parse(snapshot_json(snapshot, JsonLayout::PhaseLines)), snapshot);
    EXPECT_EQ(parse(snapshot_json(tiny, JsonLayout::Compact)), tiny);
}

TEST(SnapshotJson, FileOutputMatchesTheTextAcrossManyBlocks) {
    GeneratorOptions options;
    options.family = Family::AllToAll;
    options.phases = 3;
    options.repeats = CountRange{1, 4};
    const auto snapshot = generate_snapshot(resolve_options(options).value());
    const std::string expected = snapshot_json(snapshot, JsonLayout::PhaseLines);
    ASSERT_GT(expected.size(), std::size_t{3} << 20);  // several blocks

    std::FILE* file = std::tmpfile();
    ASSERT_NE(file, nullptr);
    const auto written = write_snapshot_json(snapshot, JsonLayout::PhaseLines, file);
    ASSERT_TRUE(written.has_value()) << written.error();
    std::rewind(file);
    std::string actual(expected.size() + 1, '\0');
    actual.resize(std::fread(actual.data(), 1, actual.size(), file));
    std::fclose(file);
    EXPECT_EQ(actual, expected);
}

TEST(SnapshotJson, ReportsAFailedWrite) {
    std::FILE* file = std::fopen("/dev/full", "wb");
    if (file == nullptr) {
        GTEST_SKIP() << "/dev/full is not available";
    }
    const auto written = write_snapshot_json(tiny, JsonLayout::Compact, file);
    std::fclose(file);
    ASSERT_FALSE(written.has_value());
    EXPECT_EQ(written.error().rfind("write failed: ", 0), 0U) << written.error();
}

}  // namespace
}  // namespace vorn::snapgen
