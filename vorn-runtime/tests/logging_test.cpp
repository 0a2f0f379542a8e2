#include "vorn/runtime/logging.hpp"

#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>

#include <gtest/gtest.h>

namespace {

using vorn::runtime::Level;
using vorn::runtime::LevelFilter;
using vorn::runtime::LogFormat;

TEST(LogFilterFromEnvironment, PresenceNotValueEnablesLogging) {
    ::unsetenv("VORN_LOG");
    EXPECT_EQ(vorn::runtime::log_filter_from_environment(), std::nullopt);

    ::setenv("VORN_LOG", "", 1);
    EXPECT_EQ(vorn::runtime::log_filter_from_environment(), std::optional<std::string>(""));

    ::setenv("VORN_LOG", "vorn_codegen::exchange=debug", 1);
    EXPECT_EQ(vorn::runtime::log_filter_from_environment(),
              std::optional<std::string>("vorn_codegen::exchange=debug"));
    ::unsetenv("VORN_LOG");
}

TEST(LogConfigFrom, VariablesSelectFilterFormatAndColour) {
    using Value = std::optional<std::string_view>;
    struct Case {
        Value filter;
        Value format;
        Value no_colour;
        LevelFilter level;  // for the target "vorn_codegen"
        LogFormat expected_format;
        bool colour;
    };
    const Case cases[] = {
        {std::nullopt, std::nullopt, std::nullopt, LevelFilter::Info, LogFormat::Plain, true},
        {"", "json", "", LevelFilter::Error, LogFormat::Json, true},
        {"debug", "JSON", "1", LevelFilter::Debug, LogFormat::Plain, false},
        {"debug", "json ", "0", LevelFilter::Debug, LogFormat::Plain, false},
        {"debug", "", std::nullopt, LevelFilter::Debug, LogFormat::Plain, true},
        {"debug", "\xFFjson", std::nullopt, LevelFilter::Debug, LogFormat::Plain, true},
        {"not a level", "json", std::nullopt, LevelFilter::Info, LogFormat::Json, true},
        // A value that is not UTF-8 cannot be read as directives.
        {"trace\xFF", std::nullopt, std::nullopt, LevelFilter::Info, LogFormat::Plain, true},
        {"vorn_exchange=debug,warn", std::nullopt, std::nullopt, LevelFilter::Warn,
         LogFormat::Plain, true},
    };
    for (const Case& c : cases) {
        const vorn::runtime::LogConfig config =
            vorn::runtime::log_config_from(c.filter, c.format, c.no_colour);
        SCOPED_TRACE(testing::Message() << "filter " << c.filter.value_or("(unset)") << ", format "
                                        << c.format.value_or("(unset)") << ", NO_COLOR "
                                        << c.no_colour.value_or("(unset)"));
        EXPECT_EQ(config.filter.level_for("vorn_codegen"), c.level);
        EXPECT_EQ(config.format, c.expected_format);
        EXPECT_EQ(config.colour, c.colour);
    }
}

TEST(LogConfigFromEnvironment, ReadsTheThreeVariables) {
    ::setenv("VORN_LOG", "vorn_exchange=trace,off", 1);
    ::setenv("VORN_LOG_FORMAT", "json", 1);
    ::setenv("NO_COLOR", "yes", 1);
    const vorn::runtime::LogConfig config = vorn::runtime::log_config_from_environment();
    EXPECT_TRUE(config.filter.enabled(Level::Trace, "vorn_exchange::diagnostic"));
    EXPECT_FALSE(config.filter.enabled(Level::Error, "vorn_codegen"));
    EXPECT_EQ(config.format, LogFormat::Json);
    EXPECT_FALSE(config.colour);
    ::unsetenv("VORN_LOG");
    ::unsetenv("VORN_LOG_FORMAT");
    ::unsetenv("NO_COLOR");
}

}  // namespace
