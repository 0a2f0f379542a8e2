#pragma once
// Structured logging for the whole program.
//
// An event has a level, a target (the module path of the emitting code, e.g.
// "vorn_codegen::exchange"), a fixed message and named fields. Code emits
// events with VORN_EVENT:
//
//     VORN_EVENT(vorn::runtime::Level::Debug, "vorn_exchange",
//                "assembled point-to-point exchange",
//                VORN_FIELD(sender_logical, sender), VORN_FIELD(count, words));
//
// Events go to the one process-wide Subscriber, installed at most once (by
// init_tracing in the command). Until one is installed an event is a single
// load and a not-taken branch: the field expressions are not evaluated and
// nothing is formatted. With a subscriber installed, the level and target are
// checked against its filter before any field is built.
//
// Logging is off unless the filter variable is present; its value holds the
// filter directives (see EventFilter::parse).

#include <atomic>
#include <chrono>
#include <concepts>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <initializer_list>
#include <iterator>
#include <memory>
#include <optional>
#include <ranges>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <variant>
#include <vector>

#include <fmt/format.h>

namespace vorn::runtime {

// Its presence turns logging on; its value is the filter directives.
inline constexpr std::string_view log_filter_variable = "VORN_LOG";
// "json" selects JSON lines; anything else plain text.
inline constexpr std::string_view log_format_variable = "VORN_LOG_FORMAT";
// A non-empty value turns the colour escapes of plain text off.
inline constexpr std::string_view no_colour_variable = "NO_COLOR";

// The filter directives when the filter variable is present (possibly
// empty), nothing when it is absent.
std::optional<std::string> log_filter_from_environment();

// ---------------------------------------------------------------------------
// Levels and filters

// Severity of an event, most severe first.
enum class Level : std::uint8_t { Error = 1, Warn, Info, Debug, Trace };

// The most verbose level a filter lets through; Off lets nothing through.
enum class LevelFilter : std::uint8_t { Off = 0, Error, Warn, Info, Debug, Trace };

constexpr bool level_passes(Level level, LevelFilter filter) noexcept {
    return static_cast<std::uint8_t>(level) <= static_cast<std::uint8_t>(filter);
}

// "ERROR", "WARN", "INFO", "DEBUG" or "TRACE".
std::string_view level_name(Level level) noexcept;

// "error", "warn", "info", "debug", "trace" or "off" in any case.
std::optional<LevelFilter> parse_level_filter(std::string_view text) noexcept;

// Which events pass, by level and target.
class EventFilter {
public:
    // A level for one target and its "::" descendants.
    struct Directive {
        std::string target;
        LevelFilter level;
    };

    // The empty directive list: ERROR for every target.
    EventFilter() = default;

    // Comma-separated directives, each either a level (the default for
    // targets no other directive names) or "target=level". Blanks around
    // items and around "=" are ignored, as are empty items. When a level or a
    // target is given twice, the last one counts. A target is a module path:
    // segments of letters, digits and '_' joined by "::". Nothing when any
    // item does not parse.
    static std::optional<EventFilter> parse(std::string_view directives);
    // parse, or the single directive "info" when the text does not parse.
    static EventFilter parse_or_info(std::string_view directives);

    // The level of the longest directive target that is `target` itself or
    // one of its "::" ancestors; the default level when none is.
    LevelFilter level_for(std::string_view target) const noexcept;
    bool enabled(Level level, std::string_view target) const noexcept {
        return level_passes(level, max_level_) && level_passes(level, level_for(target));
    }
    // The most verbose level any target can get: a cheap first check.
    LevelFilter max_level() const noexcept { return max_level_; }

private:
    LevelFilter default_level_ = LevelFilter::Error;
    LevelFilter max_level_ = LevelFilter::Error;
    std::vector<Directive> targets_;  // longest target first
};

// ---------------------------------------------------------------------------
// Events

// A list or other composite value, already written in its debug form
// ("[1, 2, 3]"). Shown as is in plain text, as a string in JSON.
struct DebugText {
    std::string text;
};

// The value of a field: an integer, a boolean, a text (borrowed or owned) or
// a debug form. Text values written in plain text are quoted.
using FieldValue =
    std::variant<std::int64_t, std::uint64_t, bool, std::string_view, std::string, DebugText>;

// A named field of an event. A borrowed text only lives as long as what it
// was made from: build fields inside the emitting expression (VORN_FIELD).
struct Field {
    std::string_view name;
    FieldValue value;
};

struct Event {
    Level level;
    std::string_view target;
    std::string_view message;
    std::span<const Field> fields;
};

namespace detail {

template <class T>
concept TextLike = std::convertible_to<const T&, std::string_view>;

template <class T>
concept ListLike = std::ranges::input_range<const T> && !TextLike<T>;

// `text` in double quotes, escaped as plain-text field values are.
void append_quoted(std::string& out, std::string_view text);

template <class T>
void append_debug(std::string& out, const T& value) {
    using V = std::remove_cvref_t<T>;
    if constexpr (std::same_as<V, bool>) {
        out += value ? "true" : "false";
    } else if constexpr (std::same_as<V, char>) {
        append_quoted(out, std::string_view(&value, 1));
    } else if constexpr (std::integral<V>) {
        out += fmt::format_int(value).c_str();
    } else if constexpr (TextLike<V>) {
        append_quoted(out, std::string_view(value));
    } else if constexpr (ListLike<V>) {
        out += '[';
        bool first = true;
        for (const auto& element : value) {
            if (!first) {
                out += ", ";
            }
            first = false;
            append_debug(out, element);
        }
        out += ']';
    } else {
        fmt::format_to(std::back_inserter(out), "{}", value);
    }
}

}  // namespace detail

// The field value of `value`: integers widen to 64 bits, booleans stay
// booleans, string-like values are borrowed text, ranges become their debug
// form, anything else fmt can format becomes owned text.
template <class T>
FieldValue field_value(const T& value) {
    using V = std::remove_cvref_t<T>;
    if constexpr (std::same_as<V, bool>) {
        return FieldValue(std::in_place_type<bool>, value);
    } else if constexpr (std::same_as<V, char>) {
        return FieldValue(std::in_place_type<std::string>, std::size_t{1}, value);
    } else if constexpr (std::integral<V> && std::is_signed_v<V>) {
        return FieldValue(std::in_place_type<std::int64_t>, value);
    } else if constexpr (std::integral<V>) {
        return FieldValue(std::in_place_type<std::uint64_t>, value);
    } else if constexpr (detail::TextLike<V>) {
        return FieldValue(std::in_place_type<std::string_view>, std::string_view(value));
    } else if constexpr (detail::ListLike<V>) {
        DebugText debug;
        detail::append_debug(debug.text, value);
        return FieldValue(std::in_place_type<DebugText>, std::move(debug));
    } else {
        return FieldValue(std::in_place_type<std::string>, fmt::format("{}", value));
    }
}

// ---------------------------------------------------------------------------
// Formatting

enum class LogFormat : std::uint8_t { Plain, Json };

struct LogConfig {
    EventFilter filter;
    LogFormat format = LogFormat::Plain;
    bool colour = false;
};

// The configuration for the given variable values (nothing: unset). The
// filter falls back to "info" when the filter value is absent, is not valid
// UTF-8 or does not parse; the format is JSON only for exactly "json";
// colour is on unless the no-colour value is non-empty.
LogConfig log_config_from(std::optional<std::string_view> filter,
                          std::optional<std::string_view> format,
                          std::optional<std::string_view> no_colour);
// log_config_from with the values of the three environment variables.
LogConfig log_config_from_environment();

// `time` in UTC, RFC 3339 with microseconds: "2026-12-11T09:45:34.123456Z".
std::string rfc3339_timestamp(std::chrono::system_clock::time_point time);

// Appends the line of `event` at `time`, ending in '\n'.
//
// Plain text: "{timestamp} {level:>5} {target}: {message} {name}={value}...".
// Integers and booleans are written as they are, debug forms as they are,
// texts in double quotes with '"' and '\' escaped by a backslash, \n \r \t
// as such, other control characters and bytes that are not UTF-8 as \xHH.
// With colour the level is coloured and the timestamp and target dimmed.
//
// JSON: {"timestamp":...,"level":...,"fields":{"message":...,...},"target":...}
// with integers and booleans as JSON numbers and booleans, texts and debug
// forms as strings. Strings escape '"' and '\' by a backslash and control
// characters as \u00XX; invalid UTF-8 becomes U+FFFD.
void append_event_line(fmt::memory_buffer& out, const Event& event, LogFormat format,
                       bool colour, std::chrono::system_clock::time_point time);
std::string event_line(const Event& event, LogFormat format, bool colour,
                       std::chrono::system_clock::time_point time);

// ---------------------------------------------------------------------------
// The subscriber

// Receives each formatted line, '\n' included, in one call.
using LineWriter = std::function<void(std::string_view line)>;

// Writes each line with one fwrite on `stream`, so lines stay whole and in
// order with whatever else the program writes there through stdio.
LineWriter file_line_writer(std::FILE* stream);

// Filters events, formats them and hands each line to its writer.
class Subscriber {
public:
    Subscriber(LogConfig config, LineWriter writer);

    bool enabled(Level level, std::string_view target) const noexcept {
        return config_.filter.enabled(level, target);
    }
    // Formats `event` with the current time and writes it, whether enabled
    // or not; a line that cannot be built or written is dropped.
    void emit(const Event& event) const noexcept;

    const LogConfig& config() const noexcept { return config_; }

private:
    LogConfig config_;
    LineWriter writer_;
};

// Makes `subscriber` the process-wide one for the rest of the process.
// False, and `subscriber` dropped, when one is already installed.
bool install_subscriber(std::unique_ptr<Subscriber> subscriber) noexcept;

// Installs, once, the subscriber the environment describes, writing to
// standard output. A second call, or a call after install_subscriber,
// changes nothing. Never fails visibly.
void init_tracing() noexcept;

namespace detail {

// The installed subscriber; null until one is installed, then fixed.
extern std::atomic<const Subscriber*> installed;

inline const Subscriber* active_subscriber() noexcept {
    return installed.load(std::memory_order_acquire);
}

void emit(const Subscriber& subscriber, Level level, std::string_view target,
          std::string_view message, std::initializer_list<Field> fields) noexcept;

}  // namespace detail

inline const Subscriber* installed_subscriber() noexcept { return detail::active_subscriber(); }

}  // namespace vorn::runtime

// A field named `name` (an identifier) with the value of the expression.
#define VORN_FIELD(name, ...) \
    ::vorn::runtime::Field { #name, ::vorn::runtime::field_value(__VA_ARGS__) }

// Emits an event: level, target, message, then any VORN_FIELDs. The fields
// are evaluated only when a subscriber is installed and lets the event pass.
#define VORN_EVENT(level, target, message, ...)                                          \
    do {                                                                                 \
        if (const ::vorn::runtime::Subscriber* vorn_subscriber_ =                        \
                ::vorn::runtime::detail::active_subscriber();                            \
            vorn_subscriber_ != nullptr) [[unlikely]] {                                  \
            const ::vorn::runtime::Level vorn_level_ = (level);                          \
            const ::std::string_view vorn_target_ = (target);                            \
            if (vorn_subscriber_->enabled(vorn_level_, vorn_target_)) {                  \
                ::vorn::runtime::detail::emit(*vorn_subscriber_, vorn_level_, vorn_target_, \
                                              (message), {__VA_ARGS__});                 \
            }                                                                            \
        }                                                                                \
    } while (false)
