#include <gtest/gtest.h>

#include "vorn/tests/arguments.hpp"

namespace vorn::tests {
namespace {

ParseOutcome parse(std::vector<std::string> words) {
    std::vector<const char*> argv{"vorn-tests"};
    for (const auto& word : words) {
        argv.push_back(word.c_str());
    }
    return parse_arguments(static_cast<int>(argv.size()), argv.data());
}

TEST(ParseArguments, DefaultsAndEveryOption) {
    const auto plain = parse({"s.json"});
    ASSERT_TRUE(std::holds_alternative<Arguments>(plain));
    Arguments expected;
    expected.snapshot = "s.json";
    EXPECT_EQ(std::get<Arguments>(plain), expected);

    const auto full = parse({"--phase", "7", "s.json", "--phase", "4294967295", "--footprint-only", "--warmup", "3",
                             "--iterations", "18446744073709551615", "--first-iteration-only", "--select-widths",
                             "--replay-cache", "--relocate-by", "4096", "--dump-tile", "5"});
    ASSERT_TRUE(std::holds_alternative<Arguments>(full));
    expected.phases = {7, 4294967295u};
    expected.footprint_only = true;
    expected.warmup = 3;
    expected.iterations = 18446744073709551615ull;
    expected.first_iteration_only = true;
    expected.select_widths = true;
    expected.replay_cache = true;
    expected.relocate_by = 4096;
    expected.dump_tile = 5;
    EXPECT_EQ(std::get<Arguments>(full), expected);

    // --iterations 0 is the command's own check, not a parser error.
    const auto zero = parse({"--iterations", "0", "s.json"});
    ASSERT_TRUE(std::holds_alternative<Arguments>(zero));
    EXPECT_EQ(std::get<Arguments>(zero).iterations, 0u);

    // The relocation needs the replay cache only when it is given.
    const auto option_equals = parse({"--select-widths", "--replay-cache", "--relocate-by=0", "s.json"});
    ASSERT_TRUE(std::holds_alternative<Arguments>(option_equals));
}

TEST(ParseArguments, UsageErrorsExitWithTwo) {
    const std::vector<std::vector<std::string>> cases = {
        {},
        {"a.json", "b.json"},
        {"--unknown", "s.json"},
        {"--warmup", "-1", "s.json"},
        {"--warmup", "0x10", "s.json"},
        {"--warmup", " 1", "s.json"},
        {"--warmup", "1.0", "s.json"},
        {"--warmup", "", "s.json"},
        {"--warmup", "18446744073709551616", "s.json"},
        {"--phase", "4294967296", "s.json"},
        {"--phase", "+3", "s.json"},
        {"--relocate-by", "4294967296", "--select-widths", "--replay-cache", "s.json"},
        {"--dump-tile", "x", "s.json"},
        {"--phase", "1", "2", "s.json"},
        {"--warmup", "1", "--warmup", "2", "s.json"},
        {"--footprint-only", "--footprint-only", "s.json"},
        {"--replay-cache", "s.json"},
        {"--relocate-by", "0", "s.json"},
        {"--relocate-by", "8", "--select-widths", "s.json"},
        {"--warmup"},
    };
    for (const auto& words : cases) {
        const auto outcome = parse(words);
        ASSERT_TRUE(std::holds_alternative<ParserExit>(outcome)) << testing::PrintToString(words);
        const auto& exit = std::get<ParserExit>(outcome);
        EXPECT_EQ(exit.status, 2) << testing::PrintToString(words);
        EXPECT_TRUE(exit.out.empty()) << testing::PrintToString(words);
        EXPECT_FALSE(exit.err.empty()) << testing::PrintToString(words);
    }
}

TEST(ParseArguments, HelpAndVersionGoToStandardOutput) {
    for (const auto& words : std::vector<std::vector<std::string>>{{"--help"}, {"-h"}, {"s.json", "--help"}}) {
        const auto outcome = parse(words);
        ASSERT_TRUE(std::holds_alternative<ParserExit>(outcome));
        const auto& exit = std::get<ParserExit>(outcome);
        EXPECT_EQ(exit.status, 0);
        EXPECT_TRUE(exit.err.empty());
        EXPECT_NE(exit.out.find(command_about), std::string::npos) << exit.out;
    }
    const auto version = parse({"--version"});
    ASSERT_TRUE(std::holds_alternative<ParserExit>(version));
    EXPECT_EQ(std::get<ParserExit>(version).status, 0);
    EXPECT_EQ(std::get<ParserExit>(version).out, "vorn-tests 0.1.0\n");
}

}  // namespace
}  // namespace vorn::tests
