#include "vorn/codegen/exchange/pending.hpp"

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include <gtest/gtest.h>

#include "exchange_test_support.hpp"

namespace vorn::codegen {
namespace {

using namespace vorn::codegen::test_support;

constexpr std::string_view prefix = "invalid exchange-schedule snapshot: ";

struct RejectCase {
    std::string_view name;
    ExchangeScheduleProblem problem;
    std::uint16_t tile_count;
    std::string expected;  // the error's display text
};

// Every message of the conversion, and inputs that break two rules at once:
// the rule checked first must win.
std::vector<RejectCase> reject_cases() {
    const std::string p{prefix};
    return {
        // Source tile.
        {"source outside the section", phase(7, {transfer(4, 4, {0x0}, {{1, 0x0}})}), 4,
         p + "phase 7 transfer 0 has source tile 4 outside 0..4"},
        {"source beats word count", phase(7, {transfer(9, 0, {}, {})}), 4,
         p + "phase 7 transfer 0 has source tile 9 outside 0..4"},
        // Word count.
        {"zero words", phase(7, {transfer(0, 0, {0x0}, {{1, 0x0}})}), 4,
         p + "phase 7 transfer 0 has invalid word count 0"},
        {"4149 words", phase(7, {transfer(0, 4149, {0x0}, {{1, 0x0}})}), 4,
         p + "phase 7 transfer 0 has invalid word count 4149"},
        {"word count beats odd paired payload", phase(7, {transfer(0, 4149, {0x0}, {{1, 0x0}}, paired64)}), 4,
         p + "phase 7 transfer 0 has invalid word count 4149"},
        // Paired payload.
        {"odd paired payload", phase(7, {transfer(0, 3, {0x0}, {{2, 0x0}}, paired64)}), 4,
         p + "phase 7 transfer 0 has invalid 3-word paired payload"},
        {"odd paired payload beats missing source addresses", phase(7, {transfer(0, 3, {}, {}, paired64)}), 4,
         p + "phase 7 transfer 0 has invalid 3-word paired payload"},
        // Source addresses.
        {"no source addresses", phase(7, {transfer(0, 4, {}, {{1, 0x0}})}), 4,
         p + "phase 7 transfer 0 has no source addresses"},
        {"missing source addresses beat missing destinations", phase(7, {transfer(0, 4, {}, {})}), 4,
         p + "phase 7 transfer 0 has no source addresses"},
        {"unaligned word source", phase(7, {transfer(0, 4, {0x1002}, {{1, 0x0}})}), 4,
         p + "phase 7 transfer 0 has unaligned source address 0x1002"},
        {"paired source on 4 but not 8", phase(7, {transfer(0, 4, {0xABC}, {{2, 0x0}}, paired64)}), 4,
         p + "phase 7 transfer 0 has unaligned source address 0xabc"},
        {"later repeat address unaligned", phase(7, {transfer(0, 4, {0x100, 0x201}, {{1, 0x0}})}), 4,
         p + "phase 7 transfer 0 has unaligned source address 0x201"},
        {"source span overflows", phase(7, {transfer(0, 1, {0xFFFFFFFC}, {{1, 0x0}})}), 4,
         "exchange address arithmetic overflowed"},
        {"source span ends just below 2^32", phase(7, {transfer(0, 1, {0xFFFFFFF8}, {{1, 0x3}})}), 4,
         p + "phase 7 transfer 0 has unaligned destination address 0x3"},
        {"unaligned beats overflow in one address", phase(7, {transfer(0, 4, {0xFFFFFFFE}, {{1, 0x0}})}), 4,
         p + "phase 7 transfer 0 has unaligned source address 0xfffffffe"},
        {"addresses are checked in order", phase(7, {transfer(0, 4, {0xFFFFFFF8, 0x2}, {{1, 0x0}})}), 4,
         "exchange address arithmetic overflowed"},
        {"source addresses beat destinations", phase(7, {transfer(0, 4, {0x2}, {{9, 0x1}})}), 4,
         p + "phase 7 transfer 0 has unaligned source address 0x2"},
        // Destinations.
        {"no destinations", phase(7, {transfer(0, 4, {0x0}, {})}), 4, p + "phase 7 transfer 0 has no destinations"},
        {"destination outside the section", phase(7, {transfer(0, 4, {0x0}, {{4, 0x0}})}), 4,
         p + "phase 7 transfer 0 has invalid destination tile 4"},
        {"destination tile beats its alignment", phase(7, {transfer(0, 4, {0x0}, {{4, 0x1}})}), 4,
         p + "phase 7 transfer 0 has invalid destination tile 4"},
        {"only destination is the source", phase(7, {transfer(1, 1, {0x0}, {{1, 0x4000}})}), 4,
         p + "phase 7 transfer 0 has invalid destination tile 1"},
        {"source in a multicast sharing an element", phase(7, {transfer(1, 1, {0x0}, {{2, 0x0}, {1, 0x100}})}), 4,
         p + "phase 7 transfer 0 has invalid destination tile 1"},
        {"source in a multicast sharing an element with a later repeat address",
         phase(7, {transfer(1, 1, {0x0, 0x4000}, {{2, 0x0}, {1, 0x4010}})}), 4,
         p + "phase 7 transfer 0 has invalid destination tile 1"},
        {"destination tile listed twice", phase(7, {transfer(0, 4, {0x0}, {{2, 0x0}, {3, 0x0}, {2, 0x100}})}), 4,
         p + "phase 7 transfer 0 has invalid destination tile 2"},
        // An accepted destination on the source tile still counts as seen and
        // is still checked for alignment and overflow.
        {"source tile accepted once, then listed again",
         phase(7, {transfer(0, 1, {0x0}, {{0, 0x4000}, {2, 0x0}, {0, 0x8000}})}), 4,
         p + "phase 7 transfer 0 has invalid destination tile 0"},
        {"accepted source-tile destination unaligned", phase(7, {transfer(0, 1, {0x0}, {{2, 0x0}, {0, 0x4002}})}),
         4, p + "phase 7 transfer 0 has unaligned destination address 0x4002"},
        {"unaligned word destination", phase(7, {transfer(0, 4, {0x0}, {{1, 0x12}})}), 4,
         p + "phase 7 transfer 0 has unaligned destination address 0x12"},
        {"paired destination on 4 but not 8", phase(7, {transfer(0, 2, {0x0}, {{2, 0xFFC}}, paired64)}), 4,
         p + "phase 7 transfer 0 has unaligned destination address 0xffc"},
        {"destination span overflows", phase(7, {transfer(0, 2, {0x0}, {{1, 0xFFFFFFFC}})}), 4,
         "exchange address arithmetic overflowed"},
        {"destinations are checked in order", phase(7, {transfer(0, 4, {0x0}, {{1, 0x2}, {9, 0x0}})}), 4,
         p + "phase 7 transfer 0 has unaligned destination address 0x2"},
        {"earlier destination overflow beats later bad tile",
         phase(7, {transfer(0, 2, {0x0}, {{1, 0xFFFFFFFC}, {9, 0x0}})}), 4,
         "exchange address arithmetic overflowed"},
        // Paired source.
        {"paired partner outside an odd section", phase(7, {transfer(2, 2, {0x0}, {{0, 0x0}}, paired64)}), 3,
         p + "phase 7 transfer 0 has paired source tile 3 outside 0..3"},
        {"destination beats the partner check", phase(7, {transfer(2, 2, {0x0}, {{2, 0x0}}, paired64)}), 3,
         p + "phase 7 transfer 0 has invalid destination tile 2"},
        // A tile count beyond the machine is the caller's to reject; the
        // partner lookup on the machine then fails for a tile it lacks.
        {"partner lookup outside the machine", phase(7, {transfer(1500, 2, {0x0}, {{0, 0x0}}, paired64)}), 2000,
         "logical tile 1500 is out of range"},
        // The first failing transfer wins, named by its position and the
        // problem's phase number.
        {"first failing transfer", phase(12, {transfer(0, 4, {0x0}, {{1, 0x0}}), transfer(0, 0, {0x0}, {{1, 0x0}}),
                                              transfer(9, 4, {0x0}, {{1, 0x0}})}),
         4, p + "phase 12 transfer 1 has invalid word count 0"},
    };
}

TEST(PendingFromProblemTest, RejectsTheFirstBrokenRule) {
    for (const RejectCase& c : reject_cases()) {
        SCOPED_TRACE(c.name);
        const auto pending = pending_from_problem(c.problem, c.tile_count);
        ASSERT_FALSE(pending.has_value());
        EXPECT_EQ(pending.error().to_string(), c.expected);
        // The check-only pass reports the very same error.
        const auto checked = check_problem_transfers(c.problem, c.tile_count);
        ASSERT_FALSE(checked.has_value());
        EXPECT_EQ(checked.error(), pending.error());
    }
}

TEST(PendingFromProblemTest, ReportsEachFailureWithItsVariant) {
    const auto overflow = pending_from_problem(phase(7, {transfer(0, 1, {0xFFFFFFFC}, {{1, 0x0}})}), 4);
    ASSERT_FALSE(overflow.has_value());
    EXPECT_EQ(overflow.error(), ExchangeLoweringError::overflow());

    const auto partner = pending_from_problem(phase(7, {transfer(1500, 2, {0x0}, {{0, 0x0}}, paired64)}), 2000);
    ASSERT_FALSE(partner.has_value());
    EXPECT_EQ(partner.error(), ExchangeLoweringError::exchange(vorn::exchange::ExchangeError::tile(1500)));

    const auto snapshot = pending_from_problem(phase(7, {transfer(0, 4, {0x0}, {})}), 4);
    ASSERT_FALSE(snapshot.has_value());
    EXPECT_EQ(snapshot.error(), ExchangeLoweringError::invalid_snapshot("phase 7 transfer 0 has no destinations"));
}

TEST(PendingFromProblemTest, AcceptsTheLimits) {
    const std::vector<ExchangeScheduleProblem> accepted = {
        phase(1, {transfer(0, 4148, {0x0}, {{1, 0x0}})}),
        phase(1, {transfer(0, 1, {0xFFFFFFF8}, {{1, 0xFFFFFFF8}})}),  // spans end at 2^32 - 4
        // The source tile among the receivers of a multicast, in another element.
        phase(1, {transfer(1, 1, {0x0}, {{2, 0x0}, {1, 0x4000}})}),
        phase(1, {transfer(1, 1, {0x7FFFC}, {{1, 0x80000}, {2, 0x0}})}),
        // Paired transfers from both lanes of the last pair of an even section.
        phase(1, {transfer(2, 2, {0x8}, {{0, 0x10}}, paired64), transfer(3, 2, {0x8}, {{0, 0x18}}, paired64)}),
        phase(1, {}),
    };
    for (std::size_t i = 0; i < accepted.size(); ++i) {
        SCOPED_TRACE(i);
        const ExchangeScheduleProblem& problem = accepted[i];
        const auto pending = pending_from_problem(problem, 4);
        ASSERT_TRUE(pending.has_value()) << pending.error();
        EXPECT_EQ(pending->size(), problem.transfers.size());
        EXPECT_TRUE(check_problem_transfers(problem, 4).has_value());
    }
}

TEST(PendingFromProblemTest, ConvertsEveryField) {
    const ExchangeScheduleProblem problem =
        phase(3, {transfer(0, 4, {0x8000, 0x0, 0x8010}, {{2, 0x40}, {1, 0x80}}),
                  transfer(45, 8, {0x7FFF8}, {{3, 0x0}}, paired64), transfer(2, 6, {0x10}, {{0, 0x20}}, paired64)});
    const auto pending = pending_from_problem(problem, 1472);
    ASSERT_TRUE(pending.has_value()) << pending.error();
    ASSERT_EQ(pending->size(), 3U);

    const PendingTransfer& word = (*pending)[0];
    EXPECT_EQ(word.index, 0U);
    EXPECT_EQ(word.source, 0);
    EXPECT_EQ(word.words, 4U);
    EXPECT_EQ(word.width, word32);
    EXPECT_EQ(word.source_addresses, (std::vector<std::uint32_t>{0x8000, 0x0, 0x8010}));
    EXPECT_EQ(word.destinations, (std::vector<PendingDestination>{{2, 0x40}, {1, 0x80}}));
    EXPECT_EQ(word.paired_source, std::nullopt);
    // The union of the source spans' elements, sorted and without repeats.
    EXPECT_EQ(word.source_elements, (std::vector<ExchangeMemoryElement>{{false, 0}, {false, 2}}));
    EXPECT_EQ(word.tiles(), (std::vector<std::uint16_t>{0, 2, 1}));
    EXPECT_EQ(word.item_count(), 4U);
    EXPECT_EQ(word.byte_length(), 16U);

    const PendingTransfer& paired = (*pending)[1];
    EXPECT_EQ(paired.index, 1U);
    EXPECT_EQ(paired.paired_source, 44);
    EXPECT_EQ(paired.source_elements, (std::vector<ExchangeMemoryElement>{{false, 31}, {true, 0}}));
    EXPECT_EQ(paired.tiles(), (std::vector<std::uint16_t>{45, 44, 3}));
    EXPECT_EQ(paired.item_count(), 4U);
    EXPECT_EQ(paired.byte_length(), 32U);

    EXPECT_EQ((*pending)[2].paired_source, 3);
    EXPECT_EQ((*pending)[2].item_count(), 3U);
}

TEST(PendingTransferTest, ItemCountOfAnOddPairedCountIsTheWordCount) {
    // pending_from_problem never builds one, but the derived value is total.
    EXPECT_EQ(pending(0, 7, {0x0}, {{1, 0x0}}, paired64, 1).item_count(), 7U);
    EXPECT_EQ(pending(0, 7, {0x0}, {{1, 0x0}}).item_count(), 7U);
}

TEST(PendingTransferTest, TilesRepeatTheSourceOfASelfMulticast) {
    const PendingTransfer transfer = pending(1, 1, {0x0}, {{2, 0x0}, {1, 0x4000}}, paired64, 0);
    EXPECT_EQ(transfer.tiles(), (std::vector<std::uint16_t>{1, 0, 2, 1}));
}

TEST(PendingTransferTest, RefreshSourceElementsFollowsTheAddresses) {
    PendingTransfer transfer = pending(0, 2, {0x3FFC}, {{1, 0x0}});
    EXPECT_EQ(transfer.source_elements, (std::vector<ExchangeMemoryElement>{{false, 0}, {false, 1}}));
    transfer.source_addresses = {0x90000, 0x4000, 0x3FFC, 0x90004};
    transfer.refresh_source_elements();
    EXPECT_EQ(transfer.source_elements,
              (std::vector<ExchangeMemoryElement>{{false, 0}, {false, 1}, {true, 2}}));
    transfer.source_addresses.clear();
    transfer.refresh_source_elements();
    EXPECT_TRUE(transfer.source_elements.empty());
}

}  // namespace
}  // namespace vorn::codegen
