#include "vorn/runtime/utf8.hpp"

#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace vorn::runtime {
namespace {

struct LossyCase {
    std::string bytes;
    std::string text;
};

TEST(LossyUtf8, ReplacesEachMaximalIllFormedSubpart) {
    const std::string r = "\xEF\xBF\xBD";
    const std::vector<LossyCase> cases = {
        {"plain/path.json", "plain/path.json"},
        {"caf\xC3\xA9", "caf\xC3\xA9"},
        {"\xF0\x9F\x98\x80", "\xF0\x9F\x98\x80"},
        {"a\xFF" "b", "a" + r + "b"},
        {"\xC3", r},                        // truncated two-byte sequence
        {"\xE2\x82" "x", r + "x"},          // one replacement for the valid prefix
        {"\xF0\x9F\x98", r},
        {"\xC0\xAF", r + r},                // overlong lead is never valid
        {"\xED\xA0\x80", r + r + r},        // surrogate: ED then two lone continuations
        {"\xF4\x90\x80\x80", r + r + r + r},  // above U+10FFFF
        {"\x80\x80", r + r},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(lossy_utf8(c.bytes), c.text) << testing::PrintToString(c.bytes);
    }
}

TEST(Utf8Validity, AcceptsWellFormedTextOnly) {
    EXPECT_TRUE(is_valid_utf8(""));
    EXPECT_TRUE(is_valid_utf8("caf\xC3\xA9 \xF0\x9F\x98\x80"));
    EXPECT_FALSE(is_valid_utf8("\xC3"));
    EXPECT_FALSE(is_valid_utf8("\xED\xA0\x80"));
}

}  // namespace
}  // namespace vorn::runtime
