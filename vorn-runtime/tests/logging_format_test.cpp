#include "vorn/runtime/logging.hpp"

#include <array>
#include <chrono>
#include <cstdint>
#include <limits>
#include <string>
#include <string_view>
#include <vector>

#include <gtest/gtest.h>

#include "json_check.hpp"

namespace {

using namespace std::chrono_literals;
using vorn::runtime::Event;
using vorn::runtime::event_line;
using vorn::runtime::Field;
using vorn::runtime::field_value;
using vorn::runtime::Level;
using vorn::runtime::LogFormat;
using vorn::runtime::testing::is_valid_json;

using TimePoint = std::chrono::system_clock::time_point;

TimePoint at(std::chrono::sys_days day, std::chrono::nanoseconds since_midnight) {
    return TimePoint(std::chrono::duration_cast<std::chrono::system_clock::duration>(
        day.time_since_epoch() + since_midnight));
}

// 2026-12-11T09:45:34.123456789Z
const TimePoint fixed_time =
    at(std::chrono::year{2026} / 12 / 11, 9h + 45min + 34s + 123456789ns);

TEST(Rfc3339Timestamp, UtcWithMicrosecondsRoundedDown) {
    struct Case {
        TimePoint time;
        std::string_view text;
    };
    const Case cases[] = {
        {fixed_time, "2026-12-11T09:45:34.123456Z"},
        {TimePoint{}, "1970-01-01T00:00:00.000000Z"},
        {at(std::chrono::year{2024} / 2 / 29, 23h + 59min + 59s + 999999999ns),
         "2024-02-29T23:59:59.999999Z"},
        {at(std::chrono::year{2000} / 3 / 1, 1us), "2000-03-01T00:00:00.000001Z"},
        {TimePoint{} - 1us, "1969-12-31T23:59:59.999999Z"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(vorn::runtime::rfc3339_timestamp(c.time), c.text);
    }
}

TEST(EventLine, PlainTextOfAnEventWithFields) {
    const Field fields[] = {
        VORN_FIELD(sender_logical, std::uint16_t{3}),
        VORN_FIELD(receiver_logical, std::uint16_t{1471}),
        VORN_FIELD(count, std::uint32_t{16}),
    };
    const Event event{Level::Debug, "vorn_exchange", "assembled point-to-point exchange", fields};
    EXPECT_EQ(event_line(event, LogFormat::Plain, false, fixed_time),
              "2026-12-11T09:45:34.123456Z DEBUG vorn_exchange: assembled point-to-point "
              "exchange sender_logical=3 receiver_logical=1471 count=16\n");
}

TEST(EventLine, PlainTextLevelsAreRightAlignedAndColouredByLevel) {
    struct Case {
        Level level;
        std::string_view column;
        std::string_view colour;
    };
    constexpr Case cases[] = {
        {Level::Error, "ERROR", "\x1b[31m"}, {Level::Warn, " WARN", "\x1b[33m"},
        {Level::Info, " INFO", "\x1b[32m"},  {Level::Debug, "DEBUG", "\x1b[34m"},
        {Level::Trace, "TRACE", "\x1b[35m"},
    };
    const Field fields[] = {VORN_FIELD(phase, 7)};
    for (const Case& c : cases) {
        const Event event{c.level, "vorn_codegen::exchange::reuse", "some message", fields};
        EXPECT_EQ(event_line(event, LogFormat::Plain, false, fixed_time),
                  "2026-12-11T09:45:34.123456Z " + std::string(c.column) +
                      " vorn_codegen::exchange::reuse: some message phase=7\n");
        EXPECT_EQ(event_line(event, LogFormat::Plain, true, fixed_time),
                  "\x1b[2m2026-12-11T09:45:34.123456Z\x1b[0m " + std::string(c.colour) +
                      std::string(c.column) +
                      "\x1b[0m \x1b[2mvorn_codegen::exchange::reuse:\x1b[0m some message "
                      "phase=7\n");
    }
}

TEST(EventLine, PlainTextWithoutFields) {
    const Event event{Level::Info, "vorn_codegen::exchange", "no fields here", {}};
    EXPECT_EQ(event_line(event, LogFormat::Plain, false, fixed_time),
              "2026-12-11T09:45:34.123456Z  INFO vorn_codegen::exchange: no fields here\n");
}

TEST(EventLine, JsonLineHasKeysInOrderAndTypedValues) {
    const Field fields[] = {
        VORN_FIELD(phase, std::uint32_t{7}),
        VORN_FIELD(candidates, std::size_t{2}),
        VORN_FIELD(ordinary_horizon, std::uint32_t{120}),
        VORN_FIELD(paired_horizon, std::uint32_t{100}),
        VORN_FIELD(use_paired, true),
    };
    const Event event{Level::Info, "vorn_codegen::exchange",
                      "compared ordinary and paired exchange schedules", fields};
    const std::string expected =
        R"({"timestamp":"2026-12-11T09:45:34.123456Z","level":"INFO","fields":{"message":)"
        R"("compared ordinary and paired exchange schedules","phase":7,"candidates":2,)"
        R"("ordinary_horizon":120,"paired_horizon":100,"use_paired":true},)"
        R"("target":"vorn_codegen::exchange"})"
        "\n";
    EXPECT_EQ(event_line(event, LogFormat::Json, false, fixed_time), expected);
    // JSON lines never carry colour escapes.
    EXPECT_EQ(event_line(event, LogFormat::Json, true, fixed_time), expected);
}

TEST(EventLine, JsonLineOfEachLevel) {
    struct Case {
        Level level;
        std::string_view name;
    };
    constexpr Case cases[] = {
        {Level::Error, "ERROR"}, {Level::Warn, "WARN"},   {Level::Info, "INFO"},
        {Level::Debug, "DEBUG"}, {Level::Trace, "TRACE"},
    };
    for (const Case& c : cases) {
        const Event event{c.level, "t", "m", {}};
        EXPECT_EQ(event_line(event, LogFormat::Json, false, fixed_time),
                  R"({"timestamp":"2026-12-11T09:45:34.123456Z","level":")" + std::string(c.name) +
                      R"(","fields":{"message":"m"},"target":"t"})"
                      "\n");
    }
}

// How one field value is written: plain text after "x=", JSON after "\"x\":".
struct ValueCase {
    vorn::runtime::FieldValue value;
    std::string_view plain;
    std::string_view json;
};

void expect_value_written(const ValueCase& c) {
    const Field fields[] = {Field{"x", c.value}};
    const Event event{Level::Info, "t", "m", fields};
    const std::string plain = event_line(event, LogFormat::Plain, false, fixed_time);
    EXPECT_EQ(plain, "2026-12-11T09:45:34.123456Z  INFO t: m x=" + std::string(c.plain) + "\n");
    const std::string json = event_line(event, LogFormat::Json, false, fixed_time);
    EXPECT_EQ(json, R"({"timestamp":"2026-12-11T09:45:34.123456Z","level":"INFO","fields":)"
                    R"({"message":"m","x":)" +
                        std::string(c.json) + R"(},"target":"t"})" + "\n");
    EXPECT_TRUE(is_valid_json(json)) << json;
}

struct Point {
    int x;
    int y;
};

}  // namespace

template <>
struct fmt::formatter<Point> : fmt::formatter<std::string_view> {
    auto format(const Point& p, fmt::format_context& ctx) const {
        return fmt::format_to(ctx.out(), "({}, {})", p.x, p.y);
    }
};

namespace {

TEST(FieldValue, EachKindIsWrittenByItsType) {
    const std::string owned = "owned text";
    const ValueCase cases[] = {
        {field_value(std::int8_t{-5}), "-5", "-5"},
        {field_value(std::numeric_limits<std::int64_t>::min()), "-9223372036854775808",
         "-9223372036854775808"},
        {field_value(std::numeric_limits<std::uint64_t>::max()), "18446744073709551615",
         "18446744073709551615"},
        {field_value(std::uint8_t{200}), "200", "200"},
        {field_value(true), "true", "true"},
        {field_value(false), "false", "false"},
        {field_value("literal"), R"("literal")", R"("literal")"},
        {field_value(owned), R"("owned text")", R"("owned text")"},
        {field_value(std::string_view("")), R"("")", R"("")"},
        {field_value('c'), R"("c")", R"("c")"},
        {field_value(std::vector<std::uint16_t>{1, 2, 3}), "[1, 2, 3]", R"("[1, 2, 3]")"},
        {field_value(std::vector<int>{}), "[]", R"("[]")"},
        {field_value(std::vector<std::vector<int>>{{1}, {-2, 3}}), "[[1], [-2, 3]]",
         R"("[[1], [-2, 3]]")"},
        {field_value(std::array<bool, 2>{true, false}), "[true, false]", R"("[true, false]")"},
        {field_value(std::vector<std::string>{"a", "b\"c"}), R"(["a", "b\"c"])",
         R"("[\"a\", \"b\\\"c\"]")"},
        {field_value(Point{1, -2}), R"x("(1, -2)")x", R"x("(1, -2)")x"},
    };
    for (const ValueCase& c : cases) {
        expect_value_written(c);
    }
}

TEST(FieldValue, TextIsEscapedSoItsEndIsVisible) {
    using namespace std::string_view_literals;
    struct EscapeCase {
        std::string_view text;
        std::string_view plain;
        std::string_view json;
    };
    constexpr EscapeCase cases[] = {
        {"say \"hi\"", R"("say \"hi\"")", R"("say \"hi\"")"},
        {"back\\slash", R"("back\\slash")", R"("back\\slash")"},
        {"a x=1", R"("a x=1")", R"("a x=1")"},
        {"line\nbreak\ttab\r", R"("line\nbreak\ttab\r")", R"("line\u000abreak\u0009tab\u000d")"},
        {"\x01\x1f\x7f", R"("\x01\x1f\x7f")", "\"\\u0001\\u001f\x7f\""},
        {"nul\0end"sv, R"("nul\x00end")", R"("nul\u0000end")"},
        {"\x1b[31m", R"("\x1b[31m")", R"("\u001b[31m")"},
        // Well-formed UTF-8 passes through.
        {"gr\xC3\xB6\xC3\x9F" "e \xE2\x82\xAC \xF0\x9D\x84\x9E",
         "\"gr\xC3\xB6\xC3\x9F" "e \xE2\x82\xAC \xF0\x9D\x84\x9E\"",
         "\"gr\xC3\xB6\xC3\x9F" "e \xE2\x82\xAC \xF0\x9D\x84\x9E\""},
        {"\xF4\x8F\xBF\xBF", "\"\xF4\x8F\xBF\xBF\"", "\"\xF4\x8F\xBF\xBF\""},
        // Malformed UTF-8: bytes in plain text, one U+FFFD per maximal bad
        // sequence in JSON.
        {"\xFF", R"("\xff")", "\"\xEF\xBF\xBD\""},
        {"a\xE2\x82", R"("a\xe2\x82")", "\"a\xEF\xBF\xBD\""},
        {"\xE2\x82x", R"("\xe2\x82x")", "\"\xEF\xBF\xBDx\""},
        {"\xC0\xAF", R"("\xc0\xaf")", "\"\xEF\xBF\xBD\xEF\xBF\xBD\""},
        {"\xE0\x80\x80", R"("\xe0\x80\x80")", "\"\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD\""},
        {"\xED\xA0\x80", R"("\xed\xa0\x80")", "\"\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD\""},
        {"\xF4\x90\x80\x80", R"("\xf4\x90\x80\x80")",
         "\"\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD\""},
        {"\x80", R"("\x80")", "\"\xEF\xBF\xBD\""},
    };
    for (const EscapeCase& c : cases) {
        SCOPED_TRACE(testing::Message() << "text of " << c.text.size() << " bytes: " << c.plain);
        expect_value_written({field_value(c.text), c.plain, c.json});
    }
}

TEST(EventLine, JsonEscapesMessageTargetAndFieldNames) {
    const Field fields[] = {Field{"odd\"name", field_value(1)}};
    const Event event{Level::Warn, "weird\\target", "a \"quoted\"\nmessage", fields};
    const std::string json = event_line(event, LogFormat::Json, false, fixed_time);
    EXPECT_EQ(json, R"({"timestamp":"2026-12-11T09:45:34.123456Z","level":"WARN","fields":)"
                    R"({"message":"a \"quoted\"\u000amessage","odd\"name":1},)"
                    R"("target":"weird\\target"})"
                    "\n");
    EXPECT_TRUE(is_valid_json(json));
}

TEST(JsonChecker, AcceptsOnlyValidDocuments) {
    using namespace std::string_view_literals;
    constexpr std::string_view valid[] = {
        R"({})", R"([])", R"({"a":[1,-0.5e+3,true,false,null,"\u00e9\n"]})", " 0 ",
        "\"\xE2\x82\xAC\"",
    };
    for (const std::string_view doc : valid) {
        EXPECT_TRUE(is_valid_json(doc)) << doc;
    }
    constexpr std::string_view invalid[] = {
        "",          "{",         R"({"a"})",       R"({"a":1,})", "[1,]",   "01",
        "1.",        R"("\x41")", "\"a\nb\"",       "\"\xFF\"",    "\"\xED\xA0\x80\"",
        "\"a\0\""sv, "{} {}",     R"({a:1})",       "tru",         R"("\u12")",
    };
    for (const std::string_view doc : invalid) {
        EXPECT_FALSE(is_valid_json(doc)) << doc;
    }
}

}  // namespace
