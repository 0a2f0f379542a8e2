#include "vorn/exchange/error.hpp"

#include <set>
#include <sstream>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

#include <fmt/format.h>
#include <gtest/gtest.h>

namespace vorn::exchange {
namespace {

// Errors travel by value through every result of the package.
static_assert(std::is_trivially_copyable_v<ExchangeError>);
static_assert(sizeof(ExchangeError) <= 32);

struct RenderCase {
    ExchangeError error;
    ExchangeErrorKind kind;
    std::string_view display;
    std::string_view debug;
};

TEST(ExchangeErrorTest, RendersEveryVariant) {
    const std::vector<RenderCase> cases = {
        {ExchangeError::validation_budget_exceeded(), ExchangeErrorKind::ValidationBudgetExceeded,
         "exchange incremental-encoding work budget exhausted", "ValidationBudgetExceeded"},
        {ExchangeError::tile(5), ExchangeErrorKind::Tile, "logical tile 5 is out of range", "Tile(5)"},
        {ExchangeError::tile(65535), ExchangeErrorKind::Tile, "logical tile 65535 is out of range", "Tile(65535)"},
        {ExchangeError::duplicate_tile(), ExchangeErrorKind::DuplicateTile, "exchange endpoints must be distinct",
         "DuplicateTile"},
        {ExchangeError::count(0), ExchangeErrorKind::Count, "exchange count 0 is outside 1..=4148", "Count(0)"},
        {ExchangeError::count(4294967295U), ExchangeErrorKind::Count, "exchange count 4294967295 is outside 1..=4148",
         "Count(4294967295)"},
        {ExchangeError::receiver_set(), ExchangeErrorKind::ReceiverSet, "invalid multicast receiver set",
         "ReceiverSet"},
        {ExchangeError::schedule(invariant::sender_delay), ExchangeErrorKind::Schedule,
         "exchange schedule is not encodable: sender delay", R"(Schedule("sender delay"))"},
        {ExchangeError::plan_offset_range(10, 4), ExchangeErrorKind::PlanOffsetRange,
         "exchange event offset 10 cycles from the phase-entry sync exceeds the encodable maximum of 4 cycles",
         "PlanOffsetRange { cycles: 10, maximum: 4 }"},
        {ExchangeError::address(4096), ExchangeErrorKind::Address, "tile address 0x1000 is not encodable",
         "Address(4096)"},
        {ExchangeError::address(0), ExchangeErrorKind::Address, "tile address 0x0 is not encodable", "Address(0)"},
        {ExchangeError::address(0xDEADBEEFU), ExchangeErrorKind::Address, "tile address 0xdeadbeef is not encodable",
         "Address(3735928559)"},
        {ExchangeError::host_packet(), ExchangeErrorKind::HostPacket,
         "host exchange address or length is not encodable", "HostPacket"},
    };
    for (const RenderCase& c : cases) {
        SCOPED_TRACE(c.debug);
        EXPECT_EQ(c.error.kind(), c.kind);
        EXPECT_EQ(debug_name(c.kind), c.debug.substr(0, debug_name(c.kind).size()));
        EXPECT_EQ(c.error.to_string(), c.display);
        EXPECT_EQ(fmt::format("{}", c.error), c.display);
        EXPECT_EQ(c.error.debug(), c.debug);
        std::ostringstream stream;
        stream << c.error;
        EXPECT_EQ(stream.str(), c.display);
    }
}

TEST(ExchangeErrorTest, FormatterHonoursWidth) {
    EXPECT_EQ(fmt::format("[{:>32}]", ExchangeError::tile(7)), "[  logical tile 7 is out of range]");
    EXPECT_EQ(fmt::format("[{:<14}]", invariant::sender_delay), "[sender delay  ]");
}

TEST(ExchangeErrorTest, AccessorsAnswerOnlyForTheirVariant) {
    const ExchangeError tile = ExchangeError::tile(9);
    const ExchangeError count = ExchangeError::count(9);
    const ExchangeError address = ExchangeError::address(9);
    const ExchangeError range = ExchangeError::plan_offset_range(9, 3);
    const ExchangeError schedule = ExchangeError::schedule(invariant::receive_row_entry);
    const ExchangeError plain = ExchangeError::receiver_set();

    EXPECT_EQ(tile.logical_tile(), 9);
    EXPECT_EQ(count.word_count(), 9U);
    EXPECT_EQ(address.byte_address(), 9U);
    EXPECT_EQ(range.cycles(), 9U);
    EXPECT_EQ(range.maximum(), 3U);
    EXPECT_EQ(schedule.invariant_name(), invariant::receive_row_entry);

    for (const ExchangeError& other : {count, address, range, schedule, plain}) {
        EXPECT_FALSE(other.logical_tile()) << other.debug();
    }
    for (const ExchangeError& other : {tile, address, range, schedule, plain}) {
        EXPECT_FALSE(other.word_count()) << other.debug();
    }
    for (const ExchangeError& other : {tile, count, range, schedule, plain}) {
        EXPECT_FALSE(other.byte_address()) << other.debug();
    }
    for (const ExchangeError& other : {tile, count, address, schedule, plain}) {
        EXPECT_FALSE(other.cycles()) << other.debug();
        EXPECT_FALSE(other.maximum()) << other.debug();
    }
    for (const ExchangeError& other : {tile, count, address, range, plain}) {
        EXPECT_FALSE(other.invariant_name()) << other.debug();
        EXPECT_FALSE(other.is_schedule(invariant::receive_row_entry)) << other.debug();
    }
}

TEST(ExchangeErrorTest, EqualityComparesKindAndFields) {
    EXPECT_EQ(ExchangeError::tile(3), ExchangeError::tile(3));
    EXPECT_NE(ExchangeError::tile(3), ExchangeError::tile(4));
    EXPECT_EQ(ExchangeError::plan_offset_range(1, 2), ExchangeError::plan_offset_range(1, 2));
    EXPECT_NE(ExchangeError::plan_offset_range(1, 2), ExchangeError::plan_offset_range(2, 1));
    EXPECT_EQ(ExchangeError::schedule(invariant::send_control), ExchangeError::schedule(invariant::send_control));
    EXPECT_NE(ExchangeError::schedule(invariant::send_control),
              ExchangeError::schedule(invariant::send_control_order));

    // Variants that carry the same number, or none, are still different errors.
    const std::vector<ExchangeError> distinct = {
        ExchangeError::validation_budget_exceeded(),
        ExchangeError::tile(0),
        ExchangeError::duplicate_tile(),
        ExchangeError::count(0),
        ExchangeError::receiver_set(),
        ExchangeError::schedule(invariant::sender_delay),
        ExchangeError::plan_offset_range(0, 0),
        ExchangeError::address(0),
        ExchangeError::host_packet(),
    };
    for (std::size_t i = 0; i < distinct.size(); ++i) {
        for (std::size_t j = 0; j < distinct.size(); ++j) {
            EXPECT_EQ(distinct[i] == distinct[j], i == j) << distinct[i].debug() << " vs " << distinct[j].debug();
        }
    }
}

TEST(InvariantCatalogueTest, NamesAreDistinctAndClean) {
    EXPECT_EQ(invariant::catalogue.size(), 74U);
    std::set<std::string_view> seen;
    for (const InvariantName name : invariant::catalogue) {
        const std::string_view text = name.text();
        EXPECT_TRUE(seen.insert(text).second) << "repeated name: " << text;
        ASSERT_FALSE(text.empty());
        EXPECT_NE(text.front(), ' ') << text;
        EXPECT_NE(text.back(), ' ') << text;
        EXPECT_EQ(text.find("  "), std::string_view::npos) << text;
    }
    // The scheduler's retry depends on this exact text.
    EXPECT_EQ(invariant::sendpicp_instruction_alignment.text(), "SENDPICP instruction alignment");
}

TEST(InvariantCatalogueTest, ScheduleErrorCarriesTheNameByReference) {
    for (const InvariantName name : invariant::catalogue) {
        const ExchangeError error = ExchangeError::schedule(name);
        const ExchangeError copy = error;
        SCOPED_TRACE(name.text());
        EXPECT_EQ(copy.kind(), ExchangeErrorKind::Schedule);
        EXPECT_EQ(copy.to_string(), fmt::format("exchange schedule is not encodable: {}", name.text()));
        EXPECT_EQ(copy.debug(), fmt::format("Schedule(\"{}\")", name.text()));
        ASSERT_TRUE(copy.invariant_name());
        EXPECT_EQ(copy.invariant_name()->text().data(), name.text().data());
    }
}

TEST(InvariantCatalogueTest, RecognitionComparesTheWholeText) {
    // Several names are prefixes of others ("sender payload" and "sender
    // payload overflow"); only the exact name may match.
    for (const InvariantName raised : invariant::catalogue) {
        const ExchangeError error = ExchangeError::schedule(raised);
        for (const InvariantName asked : invariant::catalogue) {
            EXPECT_EQ(error.is_schedule(asked), raised.text() == asked.text())
                << "raised \"" << raised.text() << "\", asked \"" << asked.text() << "\"";
        }
    }
    EXPECT_NE(invariant::sender_payload, std::string_view{"sender payload overflow"});
    EXPECT_EQ(invariant::sender_payload, std::string_view{"sender payload"});
}

}  // namespace
}  // namespace vorn::exchange
