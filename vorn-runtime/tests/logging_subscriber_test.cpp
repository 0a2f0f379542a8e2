// The subscriber, the process-wide installation and init_tracing. The tests
// that fork run first: they need a process in which nothing is installed yet,
// and the last test of this file installs a subscriber for good.

#include "vorn/runtime/logging.hpp"

#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <fmt/core.h>
#include <gtest/gtest.h>

#include "json_check.hpp"

namespace {

using vorn::runtime::EventFilter;
using vorn::runtime::Level;
using vorn::runtime::LogConfig;
using vorn::runtime::LogFormat;
using vorn::runtime::Subscriber;

// The shape of a timestamp: 'd' a decimal digit, anything else itself.
constexpr std::string_view timestamp_shape = "dddd-dd-ddTdd:dd:dd.ddddddZ";

bool timestamp_at(std::string_view text, std::size_t at) {
    if (text.size() - at < timestamp_shape.size()) {
        return false;
    }
    for (std::size_t k = 0; k < timestamp_shape.size(); ++k) {
        const char c = text[at + k];
        const bool fits = timestamp_shape[k] == 'd' ? (c >= '0' && c <= '9') : c == timestamp_shape[k];
        if (!fits) {
            return false;
        }
    }
    return true;
}

std::string without_timestamps(std::string_view text) {
    std::string out;
    for (std::size_t at = 0; at < text.size();) {
        if (timestamp_at(text, at)) {
            out += "TS";
            at += timestamp_shape.size();
        } else {
            out += text[at++];
        }
    }
    return out;
}

// Lines captured from a LineWriter, one entry per call.
using Captured = std::shared_ptr<std::vector<std::string>>;

vorn::runtime::LineWriter capture_into(const Captured& captured) {
    return [captured](std::string_view line) { captured->emplace_back(line); };
}

void set_variable(const char* name, const std::optional<std::string>& value) {
    if (value) {
        ::setenv(name, value->c_str(), 1);
    } else {
        ::unsetenv(name);
    }
}

struct Environment {
    std::optional<std::string> filter;
    std::optional<std::string> format;
    std::optional<std::string> no_colour;
};

// Runs `body` in a child process whose standard output is captured, with the
// given environment, and returns that output with timestamps replaced by TS.
std::string run_in_child(const Environment& environment, const std::function<void()>& body) {
    std::fflush(stdout);
    std::fflush(stderr);
    int pipe_ends[2];
    if (::pipe(pipe_ends) != 0) {
        ADD_FAILURE() << "pipe failed";
        return {};
    }
    const pid_t child = ::fork();
    if (child == 0) {
        ::close(pipe_ends[0]);
        ::dup2(pipe_ends[1], STDOUT_FILENO);
        ::close(pipe_ends[1]);
        set_variable("VORN_LOG", environment.filter);
        set_variable("VORN_LOG_FORMAT", environment.format);
        set_variable("NO_COLOR", environment.no_colour);
        body();
        std::fflush(stdout);
        ::_exit(0);
    }
    ::close(pipe_ends[1]);
    std::string output;
    char buffer[4096];
    ssize_t got = 0;
    while ((got = ::read(pipe_ends[0], buffer, sizeof buffer)) > 0) {
        output.append(buffer, static_cast<std::size_t>(got));
    }
    ::close(pipe_ends[0]);
    int status = 0;
    ::waitpid(child, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "child status " << status;
    return without_timestamps(output);
}

// Report lines through stdio with events of every level in between, as the
// command interleaves them.
void emit_sample_events() {
    fmt::print(stdout, "report 1\n");
    VORN_EVENT(Level::Error, "vorn_test", "error event", VORN_FIELD(n, 1));
    VORN_EVENT(Level::Warn, "vorn_test", "warn event", VORN_FIELD(n, 2));
    fmt::print(stdout, "report 2\n");
    VORN_EVENT(Level::Info, "vorn_test", "info event", VORN_FIELD(text, "a b"));
    VORN_EVENT(Level::Debug, "vorn_test", "debug event", VORN_FIELD(flag, true));
    VORN_EVENT(Level::Trace, "vorn_test", "trace event");
    VORN_EVENT(Level::Debug, "vorn_test::inner", "inner debug event",
               VORN_FIELD(list, std::vector<int>{1, 2, 3}));
    VORN_EVENT(Level::Warn, "other", "other warn event");
    fmt::print(stdout, "report 3\n");
}

bool nothing_installed() { return vorn::runtime::installed_subscriber() == nullptr; }

TEST(InitTracing, EnvironmentDecidesWhatReachesStandardOutput) {
    if (!nothing_installed()) {
        GTEST_SKIP() << "a subscriber is already installed in this process";
    }
    struct Case {
        std::string_view name;
        Environment environment;
        bool call_init;
        std::string expected;
    };
    const Case cases[] = {
        {"not installed",
         {std::nullopt, "json", "1"},
         false,
         "report 1\nreport 2\nreport 3\n"},
        {"unparsable filter is info",
         {"garbage", std::nullopt, "1"},
         true,
         "report 1\n"
         "TS ERROR vorn_test: error event n=1\n"
         "TS  WARN vorn_test: warn event n=2\n"
         "report 2\n"
         "TS  INFO vorn_test: info event text=\"a b\"\n"
         "TS  WARN other: other warn event\n"
         "report 3\n"},
        {"upper-case JSON is plain; target at debug, rest at warn",
         {"vorn_test=debug,warn", "JSON", "1"},
         true,
         "report 1\n"
         "TS ERROR vorn_test: error event n=1\n"
         "TS  WARN vorn_test: warn event n=2\n"
         "report 2\n"
         "TS  INFO vorn_test: info event text=\"a b\"\n"
         "TS DEBUG vorn_test: debug event flag=true\n"
         "TS DEBUG vorn_test::inner: inner debug event list=[1, 2, 3]\n"
         "TS  WARN other: other warn event\n"
         "report 3\n"},
        {"json lines, never coloured",
         {"debug,other=off", "json", std::nullopt},
         true,
         "report 1\n"
         R"({"timestamp":"TS","level":"ERROR","fields":{"message":"error event","n":1},"target":"vorn_test"})"
         "\n"
         R"({"timestamp":"TS","level":"WARN","fields":{"message":"warn event","n":2},"target":"vorn_test"})"
         "\n"
         "report 2\n"
         R"({"timestamp":"TS","level":"INFO","fields":{"message":"info event","text":"a b"},"target":"vorn_test"})"
         "\n"
         R"({"timestamp":"TS","level":"DEBUG","fields":{"message":"debug event","flag":true},"target":"vorn_test"})"
         "\n"
         R"({"timestamp":"TS","level":"DEBUG","fields":{"message":"inner debug event","list":"[1, 2, 3]"},"target":"vorn_test::inner"})"
         "\n"
         "report 3\n"},
        {"empty filter is error only; empty NO_COLOR keeps colour",
         {"", std::nullopt, ""},
         true,
         "report 1\n"
         "\x1b[2mTS\x1b[0m \x1b[31mERROR\x1b[0m \x1b[2mvorn_test:\x1b[0m error event n=1\n"
         "report 2\n"
         "report 3\n"},
    };
    for (const Case& c : cases) {
        const bool call_init = c.call_init;
        const std::string output = run_in_child(c.environment, [call_init] {
            if (call_init) {
                vorn::runtime::init_tracing();
            }
            emit_sample_events();
        });
        EXPECT_EQ(output, c.expected) << c.name;
    }
}

TEST(InitTracing, JsonLinesOnStandardOutputAreValidJson) {
    if (!nothing_installed()) {
        GTEST_SKIP() << "a subscriber is already installed in this process";
    }
    const std::string output = run_in_child({"trace", "json", std::nullopt}, [] {
        vorn::runtime::init_tracing();
        VORN_EVENT(Level::Debug, "vorn_test", "awkward \"values\"",
                   VORN_FIELD(text, std::string_view("tab\there\0nul\xFF\x1b", 14)),
                   VORN_FIELD(names, std::vector<std::string>{"q\"", "back\\"}),
                   VORN_FIELD(negative, -17), VORN_FIELD(big, ~std::uint64_t{0}));
        VORN_EVENT(Level::Trace, "vorn_test", "no fields");
    });
    std::size_t lines = 0;
    std::size_t start = 0;
    while (start < output.size()) {
        const std::size_t end = output.find('\n', start);
        ASSERT_NE(end, std::string::npos) << "unterminated line";
        const std::string_view line(output.data() + start, end - start);
        EXPECT_TRUE(vorn::runtime::testing::is_valid_json(line)) << line;
        ++lines;
        start = end + 1;
    }
    EXPECT_EQ(lines, 2U);
}

TEST(InitTracing, SecondCallChangesNothing) {
    if (!nothing_installed()) {
        GTEST_SKIP() << "a subscriber is already installed in this process";
    }
    const std::string output = run_in_child({"info", "json", std::nullopt}, [] {
        vorn::runtime::init_tracing();
        ::setenv("VORN_LOG", "off", 1);
        ::unsetenv("VORN_LOG_FORMAT");
        vorn::runtime::init_tracing();
        VORN_EVENT(Level::Info, "vorn_test", "still json");
    });
    EXPECT_EQ(output,
              R"({"timestamp":"TS","level":"INFO","fields":{"message":"still json"},"target":"vorn_test"})"
              "\n");
}

TEST(Subscriber, WritesEachEventAsOneWholeLineWithTheCurrentTime) {
    const Captured captured = std::make_shared<std::vector<std::string>>();
    const Subscriber subscriber(
        LogConfig{EventFilter::parse_or_info("vorn_test=debug"), LogFormat::Plain, false},
        capture_into(captured));
    EXPECT_TRUE(subscriber.enabled(Level::Debug, "vorn_test::inner"));
    EXPECT_FALSE(subscriber.enabled(Level::Info, "vorn_codegen"));

    const vorn::runtime::Field fields[] = {VORN_FIELD(count, 3), VORN_FIELD(name, "x")};
    const auto before = std::chrono::system_clock::now();
    subscriber.emit({Level::Debug, "vorn_test", "first", fields});
    subscriber.emit({Level::Warn, "vorn_test", "second", {}});
    const auto after = std::chrono::system_clock::now();

    ASSERT_EQ(captured->size(), 2U);
    EXPECT_EQ(without_timestamps((*captured)[0]), "TS DEBUG vorn_test: first count=3 name=\"x\"\n");
    EXPECT_EQ(without_timestamps((*captured)[1]), "TS  WARN vorn_test: second\n");
    // Timestamps of one format sort as text, so the line's time lies between.
    const std::string stamp = (*captured)[0].substr(0, 27);
    EXPECT_LE(vorn::runtime::rfc3339_timestamp(before), stamp);
    EXPECT_GE(vorn::runtime::rfc3339_timestamp(after), stamp);
}

// Installs a subscriber for the rest of this test process.
TEST(GlobalSubscriber, FieldsAreEvaluatedOnlyForEventsThatPass) {
    if (!nothing_installed()) {
        GTEST_SKIP() << "a subscriber is already installed in this process";
    }
    int evaluations = 0;
    const auto counted = [&evaluations](int value) {
        ++evaluations;
        return value;
    };

    VORN_EVENT(Level::Error, "vorn_test", "nothing installed", VORN_FIELD(n, counted(1)));
    EXPECT_EQ(evaluations, 0);

    const Captured captured = std::make_shared<std::vector<std::string>>();
    auto subscriber = std::make_unique<Subscriber>(
        LogConfig{EventFilter::parse_or_info("vorn_test=info"), LogFormat::Plain, false},
        capture_into(captured));
    const Subscriber* const installed = subscriber.get();
    ASSERT_TRUE(vorn::runtime::install_subscriber(std::move(subscriber)));
    EXPECT_EQ(vorn::runtime::installed_subscriber(), installed);

    VORN_EVENT(Level::Debug, "vorn_test", "level filtered out", VORN_FIELD(n, counted(2)));
    VORN_EVENT(Level::Info, "vorn_codegen", "target filtered out", VORN_FIELD(n, counted(3)));
    EXPECT_EQ(evaluations, 0);
    EXPECT_TRUE(captured->empty());

    VORN_EVENT(Level::Info, "vorn_test::inner", "passes", VORN_FIELD(n, counted(4)));
    EXPECT_EQ(evaluations, 1);
    ASSERT_EQ(captured->size(), 1U);
    EXPECT_EQ(without_timestamps(captured->back()), "TS  INFO vorn_test::inner: passes n=4\n");

    // Later installations change nothing.
    EXPECT_FALSE(vorn::runtime::install_subscriber(std::make_unique<Subscriber>(
        LogConfig{EventFilter::parse_or_info("trace"), LogFormat::Json, false},
        capture_into(captured))));
    ::setenv("VORN_LOG", "trace", 1);
    vorn::runtime::init_tracing();
    ::unsetenv("VORN_LOG");
    EXPECT_EQ(vorn::runtime::installed_subscriber(), installed);
    VORN_EVENT(Level::Debug, "vorn_test", "still filtered", VORN_FIELD(n, counted(5)));
    EXPECT_EQ(evaluations, 1);
    EXPECT_EQ(captured->size(), 1U);
}

}  // namespace
