#include "vorn/runtime/logging.hpp"

#include "vorn/runtime/utf8.hpp"

#include <algorithm>
#include <cstdlib>

namespace vorn::runtime {

namespace {

std::optional<std::string_view> environment_value(std::string_view name) {
    const std::string key(name);
    const char* value = std::getenv(key.c_str());
    if (value == nullptr) {
        return std::nullopt;
    }
    return std::string_view(value);
}

constexpr bool is_blank(char c) noexcept {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v';
}

std::string_view trim(std::string_view text) noexcept {
    while (!text.empty() && is_blank(text.front())) {
        text.remove_prefix(1);
    }
    while (!text.empty() && is_blank(text.back())) {
        text.remove_suffix(1);
    }
    return text;
}

constexpr bool is_path_char(char c) noexcept {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_';
}

// Segments of letters, digits and '_' joined by "::".
bool is_target_path(std::string_view text) noexcept {
    while (true) {
        const std::size_t end = text.find("::");
        const std::string_view segment = text.substr(0, end);
        if (segment.empty() || !std::all_of(segment.begin(), segment.end(), is_path_char)) {
            return false;
        }
        if (end == std::string_view::npos) {
            return true;
        }
        text.remove_prefix(end + 2);
    }
}

// `target` is `ancestor` itself or lies below it in the module path.
bool target_within(std::string_view target, std::string_view ancestor) noexcept {
    return target.starts_with(ancestor) &&
           (target.size() == ancestor.size() || target.substr(ancestor.size()).starts_with("::"));
}

// ---------------------------------------------------------------------------
// Escaping

constexpr char hex_digits[] = "0123456789abcdef";

enum class Escaping : std::uint8_t { Plain, Json };

// Appends `text` escaped for the inside of a quoted string. Out is
// std::string or fmt::memory_buffer.
template <class Out>
void append_escaped(Out& out, std::string_view text, Escaping escaping) {
    for (std::size_t i = 0; i < text.size();) {
        const auto byte = static_cast<unsigned char>(text[i]);
        if (byte >= 0x80) {
            const Utf8Step step = utf8_step(text, i);
            if (step.valid) {
                out.append(text.data() + i, text.data() + i + step.length);
            } else if (escaping == Escaping::Json) {
                out.append(utf8_replacement.data(), utf8_replacement.data() + utf8_replacement.size());
            } else {
                for (std::size_t k = 0; k < step.length; ++k) {
                    const auto bad = static_cast<unsigned char>(text[i + k]);
                    const char escape[] = {'\\', 'x', hex_digits[bad >> 4], hex_digits[bad & 0xF]};
                    out.append(escape, escape + 4);
                }
            }
            i += step.length;
            continue;
        }
        ++i;
        if (byte == '"' || byte == '\\') {
            out.push_back('\\');
            out.push_back(static_cast<char>(byte));
        } else if (byte >= 0x20 && byte != 0x7F) {
            out.push_back(static_cast<char>(byte));
        } else if (escaping == Escaping::Json) {
            if (byte == 0x7F) {
                out.push_back(static_cast<char>(byte));  // allowed in JSON strings
            } else {
                const char escape[] = {'\\', 'u', '0', '0', hex_digits[byte >> 4],
                                       hex_digits[byte & 0xF]};
                out.append(escape, escape + 6);
            }
        } else if (byte == '\n' || byte == '\r' || byte == '\t') {
            out.push_back('\\');
            out.push_back(byte == '\n' ? 'n' : byte == '\r' ? 'r' : 't');
        } else {
            const char escape[] = {'\\', 'x', hex_digits[byte >> 4], hex_digits[byte & 0xF]};
            out.append(escape, escape + 4);
        }
    }
}

template <class Out>
void append_quoted_as(Out& out, std::string_view text, Escaping escaping) {
    out.push_back('"');
    append_escaped(out, text, escaping);
    out.push_back('"');
}

void append_text(fmt::memory_buffer& out, std::string_view text) {
    out.append(text.data(), text.data() + text.size());
}

// ---------------------------------------------------------------------------
// Line formats

// Appends `value` as exactly `width` decimal digits (value < 10^width).
void append_digits(fmt::memory_buffer& out, std::uint32_t value, int width) {
    char digits[8] = {};
    for (int k = width - 1; k >= 0; --k) {
        digits[k] = static_cast<char>('0' + value % 10);
        value /= 10;
    }
    out.append(digits, digits + width);
}

// Written by hand: it is on every line, and fmt's general path costs more
// than the rest of a short line.
void append_timestamp(fmt::memory_buffer& out, std::chrono::system_clock::time_point time) {
    using namespace std::chrono;
    const auto micros = floor<microseconds>(time);
    const auto day = floor<days>(micros);
    const year_month_day date{day};
    const hh_mm_ss clock{micros - day};
    const int year = static_cast<int>(date.year());
    if (year < 0 || year > 9999) {
        fmt::format_to(std::back_inserter(out), "{:04}", year);
    } else {
        append_digits(out, static_cast<std::uint32_t>(year), 4);
    }
    out.push_back('-');
    append_digits(out, static_cast<unsigned>(date.month()), 2);
    out.push_back('-');
    append_digits(out, static_cast<unsigned>(date.day()), 2);
    out.push_back('T');
    append_digits(out, static_cast<std::uint32_t>(clock.hours().count()), 2);
    out.push_back(':');
    append_digits(out, static_cast<std::uint32_t>(clock.minutes().count()), 2);
    out.push_back(':');
    append_digits(out, static_cast<std::uint32_t>(clock.seconds().count()), 2);
    out.push_back('.');
    append_digits(out, static_cast<std::uint32_t>(clock.subseconds().count()), 6);
    out.push_back('Z');
}

template <class Integer>
void append_integer(fmt::memory_buffer& out, Integer value) {
    const fmt::format_int text(value);
    out.append(text.data(), text.data() + text.size());
}

std::string_view level_colour(Level level) noexcept {
    switch (level) {
        case Level::Error: return "\x1b[31m";  // red
        case Level::Warn: return "\x1b[33m";   // yellow
        case Level::Info: return "\x1b[32m";   // green
        case Level::Debug: return "\x1b[34m";  // blue
        case Level::Trace: return "\x1b[35m";  // magenta
    }
    return "";
}

constexpr std::string_view dim = "\x1b[2m";
constexpr std::string_view reset = "\x1b[0m";
constexpr std::string_view five_spaces = "     ";

// Integers and booleans as they are in both formats; a debug form as it is
// in plain text and as a string in JSON; texts quoted.
void append_value(fmt::memory_buffer& out, const FieldValue& value, Escaping escaping) {
    std::visit(
        [&out, escaping](const auto& v) {
            using V = std::remove_cvref_t<decltype(v)>;
            if constexpr (std::same_as<V, bool>) {
                append_text(out, v ? "true" : "false");
            } else if constexpr (std::same_as<V, std::int64_t> || std::same_as<V, std::uint64_t>) {
                append_integer(out, v);
            } else if constexpr (std::same_as<V, DebugText>) {
                if (escaping == Escaping::Json) {
                    append_quoted_as(out, v.text, escaping);
                } else {
                    append_text(out, v.text);
                }
            } else {
                append_quoted_as(out, v, escaping);
            }
        },
        value);
}

void append_plain_line(fmt::memory_buffer& out, const Event& event, bool colour,
                       std::chrono::system_clock::time_point time) {
    if (colour) {
        append_text(out, dim);
    }
    append_timestamp(out, time);
    if (colour) {
        append_text(out, reset);
    }
    out.push_back(' ');
    if (colour) {
        append_text(out, level_colour(event.level));
    }
    const std::string_view name = level_name(event.level);
    out.append(five_spaces.data(), five_spaces.data() + (5 - name.size()));
    append_text(out, name);
    if (colour) {
        append_text(out, reset);
    }
    out.push_back(' ');
    if (colour) {
        append_text(out, dim);
    }
    append_text(out, event.target);
    out.push_back(':');
    if (colour) {
        append_text(out, reset);
    }
    out.push_back(' ');
    append_text(out, event.message);
    for (const Field& field : event.fields) {
        out.push_back(' ');
        append_text(out, field.name);
        out.push_back('=');
        append_value(out, field.value, Escaping::Plain);
    }
    out.push_back('\n');
}

void append_json_line(fmt::memory_buffer& out, const Event& event,
                      std::chrono::system_clock::time_point time) {
    append_text(out, "{\"timestamp\":\"");
    append_timestamp(out, time);
    append_text(out, "\",\"level\":\"");
    append_text(out, level_name(event.level));
    append_text(out, "\",\"fields\":{\"message\":");
    append_quoted_as(out, event.message, Escaping::Json);
    for (const Field& field : event.fields) {
        out.push_back(',');
        append_quoted_as(out, field.name, Escaping::Json);
        out.push_back(':');
        append_value(out, field.value, Escaping::Json);
    }
    append_text(out, "},\"target\":");
    append_quoted_as(out, event.target, Escaping::Json);
    append_text(out, "}\n");
}

}  // namespace

std::optional<std::string> log_filter_from_environment() {
    const std::optional<std::string_view> value = environment_value(log_filter_variable);
    if (!value) {
        return std::nullopt;
    }
    return std::string(*value);
}

// ---------------------------------------------------------------------------
// Levels and filters

std::string_view level_name(Level level) noexcept {
    switch (level) {
        case Level::Error: return "ERROR";
        case Level::Warn: return "WARN";
        case Level::Info: return "INFO";
        case Level::Debug: return "DEBUG";
        case Level::Trace: return "TRACE";
    }
    return "";
}

std::optional<LevelFilter> parse_level_filter(std::string_view text) noexcept {
    static constexpr std::pair<std::string_view, LevelFilter> names[] = {
        {"off", LevelFilter::Off},     {"error", LevelFilter::Error}, {"warn", LevelFilter::Warn},
        {"info", LevelFilter::Info},   {"debug", LevelFilter::Debug}, {"trace", LevelFilter::Trace},
    };
    for (const auto& [name, level] : names) {
        const bool same = std::equal(name.begin(), name.end(), text.begin(), text.end(),
                                     [](char expected, char c) {
                                         const char lower =
                                             (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c;
                                         return lower == expected;
                                     });
        if (same) {
            return level;
        }
    }
    return std::nullopt;
}

std::optional<EventFilter> EventFilter::parse(std::string_view directives) {
    EventFilter filter;
    std::size_t start = 0;
    while (start <= directives.size()) {
        std::size_t end = directives.find(',', start);
        if (end == std::string_view::npos) {
            end = directives.size();
        }
        const std::string_view item = trim(directives.substr(start, end - start));
        start = end + 1;
        if (item.empty()) {
            continue;
        }
        const std::size_t equals = item.find('=');
        if (equals == std::string_view::npos) {
            const std::optional<LevelFilter> level = parse_level_filter(item);
            if (!level) {
                return std::nullopt;
            }
            filter.default_level_ = *level;
            continue;
        }
        const std::string_view target = trim(item.substr(0, equals));
        const std::optional<LevelFilter> level = parse_level_filter(trim(item.substr(equals + 1)));
        if (!level || !is_target_path(target)) {
            return std::nullopt;
        }
        std::erase_if(filter.targets_,
                      [target](const Directive& directive) { return directive.target == target; });
        filter.targets_.push_back(Directive{std::string(target), *level});
    }
    std::stable_sort(filter.targets_.begin(), filter.targets_.end(),
                     [](const Directive& a, const Directive& b) {
                         return a.target.size() > b.target.size();
                     });
    filter.max_level_ = filter.default_level_;
    for (const Directive& directive : filter.targets_) {
        filter.max_level_ = std::max(filter.max_level_, directive.level);
    }
    return filter;
}

EventFilter EventFilter::parse_or_info(std::string_view directives) {
    std::optional<EventFilter> filter = parse(directives);
    if (!filter) {
        filter = parse("info");
    }
    return std::move(*filter);
}

LevelFilter EventFilter::level_for(std::string_view target) const noexcept {
    for (const Directive& directive : targets_) {
        if (target_within(target, directive.target)) {
            return directive.level;
        }
    }
    return default_level_;
}

// ---------------------------------------------------------------------------
// Configuration and formatting

LogConfig log_config_from(std::optional<std::string_view> filter,
                          std::optional<std::string_view> format,
                          std::optional<std::string_view> no_colour) {
    LogConfig config;
    config.filter = (filter && is_valid_utf8(*filter)) ? EventFilter::parse_or_info(*filter)
                                                       : EventFilter::parse_or_info("info");
    config.format = (format && *format == "json") ? LogFormat::Json : LogFormat::Plain;
    config.colour = !(no_colour && !no_colour->empty());
    return config;
}

LogConfig log_config_from_environment() {
    return log_config_from(environment_value(log_filter_variable),
                           environment_value(log_format_variable),
                           environment_value(no_colour_variable));
}

std::string rfc3339_timestamp(std::chrono::system_clock::time_point time) {
    fmt::memory_buffer out;
    append_timestamp(out, time);
    return fmt::to_string(out);
}

void append_event_line(fmt::memory_buffer& out, const Event& event, LogFormat format,
                       bool colour, std::chrono::system_clock::time_point time) {
    if (format == LogFormat::Json) {
        append_json_line(out, event, time);
    } else {
        append_plain_line(out, event, colour, time);
    }
}

std::string event_line(const Event& event, LogFormat format, bool colour,
                       std::chrono::system_clock::time_point time) {
    fmt::memory_buffer out;
    append_event_line(out, event, format, colour, time);
    return fmt::to_string(out);
}

void detail::append_quoted(std::string& out, std::string_view text) {
    append_quoted_as(out, text, Escaping::Plain);
}

// ---------------------------------------------------------------------------
// The subscriber

LineWriter file_line_writer(std::FILE* stream) {
    return [stream](std::string_view line) { std::fwrite(line.data(), 1, line.size(), stream); };
}

Subscriber::Subscriber(LogConfig config, LineWriter writer)
    : config_(std::move(config)), writer_(std::move(writer)) {}

void Subscriber::emit(const Event& event) const noexcept {
    try {
        fmt::memory_buffer line;
        append_event_line(line, event, config_.format, config_.colour,
                          std::chrono::system_clock::now());
        writer_(std::string_view(line.data(), line.size()));
    } catch (...) {
        // Logging never disturbs the program: the line is lost.
    }
}

std::atomic<const Subscriber*> detail::installed{nullptr};

bool install_subscriber(std::unique_ptr<Subscriber> subscriber) noexcept {
    const Subscriber* expected = nullptr;
    if (!detail::installed.compare_exchange_strong(expected, subscriber.get(),
                                                   std::memory_order_acq_rel)) {
        return false;
    }
    // Installed for the rest of the process; reachable through `installed`.
    static_cast<void>(subscriber.release());
    return true;
}

void init_tracing() noexcept {
    if (detail::active_subscriber() != nullptr) {
        return;
    }
    try {
        install_subscriber(
            std::make_unique<Subscriber>(log_config_from_environment(), file_line_writer(stdout)));
    } catch (...) {
        // Without memory for the subscriber the program runs without logging.
    }
}

void detail::emit(const Subscriber& subscriber, Level level, std::string_view target,
                  std::string_view message, std::initializer_list<Field> fields) noexcept {
    subscriber.emit(Event{level, target, message, std::span<const Field>(fields.begin(), fields.size())});
}

}  // namespace vorn::runtime
