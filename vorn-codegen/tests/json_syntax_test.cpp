// The strict JSON syntax checker and token scanners the snapshot reader
// relies on to locate syntax errors and to check values it skips.

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "exchange/json_syntax.hpp"

namespace vorn::codegen::json_syntax {
namespace {

struct NumberCase {
    std::string text;
    bool valid;
    bool negative;
    bool integer;
    std::size_t stop;  // offset of the end or of the offending byte
};

TEST(JsonSyntaxScanNumber, FollowsTheGrammarAndStopsAtTheOffendingByte) {
    const NumberCase cases[] = {
        {"0", true, false, true, 1},       {"-0", true, true, true, 2},        {"123,", true, false, true, 3},
        {"1.5]", true, false, false, 3},   {"1e2 ", true, false, false, 3},    {"-1.25E-10}", true, true, false, 9},
        {"1E+9\"", false, false, false, 4}, {"01", false, false, false, 1},     {"-", false, true, false, 1},
        {"-a", false, true, false, 1},     {"1.", false, false, false, 2},     {"1.e3", false, false, false, 2},
        {"1e", false, false, false, 2},    {"1e+", false, false, false, 3},    {"1.5.3", false, false, false, 3},
        {"12a", false, false, false, 2},   {std::string("1\0", 2), false, false, false, 1},  {"+1", false, false, false, 0},
    };
    for (const NumberCase& c : cases) {
        SCOPED_TRACE(c.text);
        const std::string& text = c.text;
        const NumberToken token = scan_number(text.data(), text.data() + text.size());
        EXPECT_EQ(token.valid, c.valid);
        EXPECT_EQ(token.stop - text.data(), static_cast<std::ptrdiff_t>(c.stop));
        if (c.valid) {
            EXPECT_EQ(token.negative, c.negative);
            EXPECT_EQ(token.integer, c.integer);
        }
    }
}

TEST(JsonSyntaxScanLiteral, NeedsTheWholeWordAndADelimiter) {
    const struct {
        std::string text;
        std::string_view word;
        bool matches;
    } cases[] = {
        {"true", "true", true},   {"true,", "true", true}, {"null}", "null", true}, {"false ", "false", true},
        {"tru", "true", false},   {"truex", "true", false}, {"nul", "null", false}, {"Null", "null", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        EXPECT_EQ(scan_literal(c.text.data(), c.text.data() + c.text.size(), c.word), c.matches);
    }
}

TEST(JsonSyntaxChecker, AcceptsValidDocuments) {
    for (const char* text : {"0", " [] ", "{}", R"({"a": [1, -2.5e3, true, false, null, "\u00e9\ud83d\ude00\"\\\/\b\f\n\r\t"]})",
                             "\"\xf4\x8f\xbf\xbf\"", "[[[[[[[[[[]]]]]]]]]]"}) {
        SCOPED_TRACE(text);
        EXPECT_EQ(find_json_syntax_error(text), std::nullopt);
    }
}

TEST(JsonSyntaxChecker, HandlesAnyNestingDepthWithoutRecursion) {
    const std::size_t depth = 1'000'000;
    EXPECT_EQ(find_json_syntax_error(std::string(depth, '[') + std::string(depth, ']')), std::nullopt);
    const auto error = find_json_syntax_error(std::string(depth, '['));
    ASSERT_TRUE(error);
    EXPECT_EQ(error->offset, depth);
}

std::string read_file(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

// The checker decides what the reader calls a syntax error, so it must agree
// with the corpus wherever the corpus is definite.
TEST(JsonSyntaxChecker, AgreesWithTheConformanceCorpus) {
    const std::filesystem::path dir = VORN_JSONTESTSUITE_DIR;
    if (!std::filesystem::is_directory(dir)) {
        GTEST_SKIP() << "JSON conformance corpus not found at " << dir << "; skipping";
    }
    for (const auto& entry : std::filesystem::directory_iterator(dir)) {
        const std::string name = entry.path().filename().string();
        if (entry.path().extension() != ".json" || (name.rfind("y_", 0) != 0 && name.rfind("n_", 0) != 0)) {
            continue;
        }
        SCOPED_TRACE(name);
        const std::string text = read_file(entry.path());
        const auto error = find_json_syntax_error(text);
        if (name[0] == 'y') {
            EXPECT_FALSE(error) << error->message << " at offset " << error->offset;
        } else {
            ASSERT_TRUE(error) << "accepted";
            EXPECT_LE(error->offset, text.size());
        }
    }
}

}  // namespace
}  // namespace vorn::codegen::json_syntax
