#include "vorn/runtime/logging.hpp"

#include <string_view>

#include <gtest/gtest.h>

namespace {

using vorn::runtime::EventFilter;
using vorn::runtime::Level;
using vorn::runtime::LevelFilter;

struct FilterCase {
    std::string_view directives;
    Level level;
    std::string_view target;
    bool enabled;
};

// parse_or_info, as init_tracing applies it.
constexpr FilterCase filter_cases[] = {
    {"debug", Level::Debug, "vorn_codegen::exchange", true},
    {"debug", Level::Trace, "vorn_codegen::exchange", false},
    {"DEBUG", Level::Debug, "anything", true},
    {"Warn", Level::Warn, "anything", true},
    {"Warn", Level::Info, "anything", false},
    {"trace", Level::Trace, "vorn_exchange", true},
    // A target covers itself and its "::" descendants only.
    {"vorn_exchange=debug,warn", Level::Debug, "vorn_exchange", true},
    {"vorn_exchange=debug,warn", Level::Debug, "vorn_exchange::diagnostic", true},
    {"vorn_exchange=debug,warn", Level::Trace, "vorn_exchange", false},
    {"vorn_exchange=debug,warn", Level::Debug, "vorn_exchange_x", false},
    {"vorn_exchange=debug,warn", Level::Debug, "vorn_codegen::exchange", false},
    {"vorn_exchange=debug,warn", Level::Info, "vorn_codegen::exchange", false},
    {"vorn_exchange=debug,warn", Level::Warn, "vorn_codegen::exchange", true},
    {"vorn=debug", Level::Debug, "vorn_exchange", false},
    {"vorn=debug", Level::Debug, "vorn::exchange", true},
    {"vorn_exchange::diagnostic=debug", Level::Debug, "vorn_exchange", false},
    // An unparsable value is the single directive "info".
    {"garbage", Level::Info, "vorn_codegen", true},
    {"garbage", Level::Debug, "vorn_codegen", false},
    {"vorn_exchange=debug,garbage", Level::Debug, "vorn_exchange", false},
    {"vorn_exchange=debug,garbage", Level::Info, "vorn_exchange", true},
    // No directives: ERROR only.
    {"", Level::Error, "vorn_codegen", true},
    {"", Level::Warn, "vorn_codegen", false},
    {" , ,", Level::Error, "vorn_codegen", true},
    {" , ,", Level::Warn, "vorn_codegen", false},
    {"vorn_exchange=debug", Level::Warn, "vorn_codegen", false},
    {"vorn_exchange=debug", Level::Error, "vorn_codegen", true},
    {"off", Level::Error, "vorn_codegen", false},
    {"OFF", Level::Error, "vorn_codegen", false},
    {"info,vorn_exchange=off", Level::Error, "vorn_exchange::diagnostic", false},
    {"info,vorn_exchange=off", Level::Info, "vorn_codegen", true},
    // The longest matching target wins, whatever the order of the items.
    {"vorn_codegen=warn,vorn_codegen::exchange=debug", Level::Debug, "vorn_codegen::exchange", true},
    {"vorn_codegen=warn,vorn_codegen::exchange=debug", Level::Debug, "vorn_codegen::exchange::order", true},
    {"vorn_codegen=warn,vorn_codegen::exchange=debug", Level::Debug, "vorn_codegen", false},
    {"vorn_codegen=warn,vorn_codegen::exchange=debug", Level::Info, "vorn_codegen::storage", false},
    {"vorn_codegen=warn,vorn_codegen::exchange=debug", Level::Warn, "vorn_codegen::storage", true},
    {"vorn_codegen=warn,vorn_codegen::exchange=debug", Level::Warn, "vorn_exchange", false},
    {"vorn_codegen::exchange=debug,vorn_codegen=warn", Level::Debug, "vorn_codegen::exchange::reuse", true},
    {"vorn_codegen::exchange=debug,vorn_codegen=warn", Level::Info, "vorn_codegen", false},
    {"vorn_codegen::exchange=error,vorn_codegen=trace", Level::Warn, "vorn_codegen::exchange", false},
    {"vorn_codegen::exchange=error,vorn_codegen=trace", Level::Trace, "vorn_codegen::estimate", true},
    // Repeated levels and targets: the last one counts.
    {"trace,warn", Level::Info, "vorn_codegen", false},
    {"vorn_exchange=debug,vorn_exchange=error", Level::Debug, "vorn_exchange", false},
    {"vorn_exchange=debug,vorn_exchange=error", Level::Error, "vorn_exchange", true},
    // Blanks around items and around '=' are ignored.
    {" vorn_exchange = DEBUG , info ", Level::Debug, "vorn_exchange", true},
    {" vorn_exchange = DEBUG , info ", Level::Info, "vorn_codegen", true},
    {" vorn_exchange = DEBUG , info ", Level::Debug, "vorn_codegen", false},
};

TEST(EventFilter, DirectivesDecideWhichEventsPass) {
    for (const FilterCase& c : filter_cases) {
        const EventFilter filter = EventFilter::parse_or_info(c.directives);
        EXPECT_EQ(filter.enabled(c.level, c.target), c.enabled)
            << "directives \"" << c.directives << "\", level "
            << vorn::runtime::level_name(c.level) << ", target " << c.target;
    }
}

TEST(EventFilter, RejectsEveryItemThatIsNotALevelOrTargetLevel) {
    constexpr std::string_view rejected[] = {
        "garbage",     "debug,garbage", "vorn_exchange", "=debug",      "vorn=",
        "vorn=loud",   "a:b=debug",     "a::=debug",     "::a=debug",   "a::::b=debug",
        "a b=debug",   "a-b=debug",     "info=debug=trace", "[span]=debug", "debug info",
        "warning",     "vorn_exchange=debug,2",
    };
    for (const std::string_view text : rejected) {
        EXPECT_FALSE(EventFilter::parse(text).has_value()) << "directives \"" << text << "\"";
    }
    constexpr std::string_view accepted[] = {
        "", ",,", "OFF", "a::b::c=TRACE", "a1_B=info", "debug,", ",vorn_exchange=debug",
    };
    for (const std::string_view text : accepted) {
        EXPECT_TRUE(EventFilter::parse(text).has_value()) << "directives \"" << text << "\"";
    }
}

TEST(EventFilter, LevelNamesParseInAnyCase) {
    struct NameCase {
        std::string_view text;
        std::optional<LevelFilter> level;
    };
    constexpr NameCase cases[] = {
        {"off", LevelFilter::Off},     {"ERROR", LevelFilter::Error}, {"wArN", LevelFilter::Warn},
        {"Info", LevelFilter::Info},   {"debug", LevelFilter::Debug}, {"TRACE", LevelFilter::Trace},
        {"", std::nullopt},            {"inf", std::nullopt},         {"infos", std::nullopt},
        {"5", std::nullopt},
    };
    for (const NameCase& c : cases) {
        EXPECT_EQ(vorn::runtime::parse_level_filter(c.text), c.level) << c.text;
    }
}

}  // namespace
