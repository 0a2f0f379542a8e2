// Snapshot reader on simdjson On-Demand. This is the only translation unit
// that includes simdjson.
//
// How validity is ensured. simdjson's first pass checks the whole text for
// UTF-8, unescaped control characters and unclosed strings; the On-Demand
// iteration checks commas, colons and brackets along the path it walks, and
// the values it is asked to parse. It does not check what it is not asked
// about, so the reader looks at every value: fields are parsed strictly, and
// values under unknown keys (or beyond a positional record's fields) are
// walked completely by skip_value, which checks literals and numbers with
// the grammar of json_syntax and unescapes strings and keys to check their
// escapes. Keys are compared byte for byte with the field names first; a key
// that does not match is unescaped (which checks it) and compared again, so
// an escaped spelling of a field name counts as that field.
//
// Numbers and literals may be left unconsumed for the iteration to step
// over; strings never are, because stepping over a string that is followed
// by a colon takes it for a key.
//
// How errors are located. Data errors (wrong type, range, length, missing or
// duplicate field, unknown variant) are detected here with their position.
// A syntax problem only marks the failure; once reading has stopped,
// json_syntax::find_json_syntax_error walks the text and supplies the exact
// message and offset of the first syntax error. Everything before the point
// where reading stopped has been checked, so that first error is where
// reading stopped, except for the problems simdjson finds before any mapping
// (bad UTF-8, control characters, unclosed strings, a document that does not
// end with the bracket it starts with), which are reported first.

#include <simdjson.h>

#include <array>
#include <cstring>
#include <iterator>
#include <limits>
#include <string_view>
#include <vector>

#include <fmt/format.h>

#include "json_syntax.hpp"
#include "vorn/codegen/exchange/snapshot_reader.hpp"

namespace vorn::codegen {

namespace {

namespace od = simdjson::ondemand;
using json_syntax::is_whitespace;
using json_syntax::scan_literal;
using json_syntax::scan_number;

// The names a record has in messages and its fields in declaration order.
template <class R>
struct RecordInfo;

template <>
struct RecordInfo<ExchangeScheduleSnapshot> {
    static constexpr std::string_view name = "struct ExchangeScheduleSnapshot";
    static constexpr std::string_view with_elements = "struct ExchangeScheduleSnapshot with 3 elements";
    static constexpr std::array<std::string_view, 3> fields{"schema_version", "tile_count", "phases"};
};

template <>
struct RecordInfo<ExchangeScheduleProblem> {
    static constexpr std::string_view name = "struct ExchangeScheduleProblem";
    static constexpr std::string_view with_elements = "struct ExchangeScheduleProblem with 2 elements";
    static constexpr std::array<std::string_view, 2> fields{"phase", "transfers"};
};

template <>
struct RecordInfo<ExchangeScheduleTransfer> {
    static constexpr std::string_view name = "struct ExchangeScheduleTransfer";
    static constexpr std::string_view with_elements = "struct ExchangeScheduleTransfer with 5 elements";
    static constexpr std::array<std::string_view, 5> fields{"source", "source_addresses", "destinations", "words",
                                                            "width"};
};

template <>
struct RecordInfo<ExchangeScheduleDestination> {
    static constexpr std::string_view name = "struct ExchangeScheduleDestination";
    static constexpr std::string_view with_elements = "struct ExchangeScheduleDestination with 2 elements";
    static constexpr std::array<std::string_view, 2> fields{"tile", "address"};
};

template <class T>
constexpr std::string_view integer_name();
template <>
constexpr std::string_view integer_name<std::uint16_t>() {
    return "u16";
}
template <>
constexpr std::string_view integer_name<std::uint32_t>() {
    return "u32";
}

// json_syntax::is_token_delimiter as a table, for the integer fast path.
constexpr std::array<bool, 256> delimiters = [] {
    std::array<bool, 256> table{};
    for (std::size_t byte = 0; byte < table.size(); ++byte) {
        table[byte] = json_syntax::is_token_delimiter(static_cast<unsigned char>(byte));
    }
    return table;
}();

constexpr std::string_view sequence_expectation = "a sequence";
// A width is a variant name, as a string or as the single key of an object;
// a width of any other JSON type is a value where the variant identifier was
// expected. The value under the key of the object form is the unit value of
// a variant without data, null.
constexpr std::string_view width_expectation = "variant identifier";
constexpr std::string_view width_value_expectation = "unit";
constexpr std::string_view width_object_expectation = "map with a single key";

// A string as it appears in messages: in double quotes, with quotes,
// backslashes and control characters escaped.
std::string quoted(std::string_view text) {
    std::string out;
    out.reserve(text.size() + 2);
    out += '"';
    for (const char c : text) {
        switch (c) {
        case '"':
            out += "\\\"";
            break;
        case '\\':
            out += "\\\\";
            break;
        case '\n':
            out += "\\n";
            break;
        case '\r':
            out += "\\r";
            break;
        case '\t':
            out += "\\t";
            break;
        default:
            if (static_cast<unsigned char>(c) < 0x20) {
                out += fmt::format("\\u{{{:x}}}", static_cast<unsigned>(c));
            } else {
                out += c;
            }
        }
    }
    out += '"';
    return out;
}

struct Failure {
    SnapshotReadErrorKind kind = SnapshotReadErrorKind::Syntax;
    // Empty for a syntax error until the syntax checker has described it.
    std::string message;
    std::size_t offset = 0;
    simdjson::error_code code = simdjson::SUCCESS;  // what simdjson reported, if anything
};

// What a SnapshotReader keeps from one document to the next: the parser's
// buffers and the capacity of the scratch vectors.
struct ReaderState {
    od::parser parser;
    std::vector<ExchangeScheduleProblem> phases;
    std::vector<ExchangeScheduleTransfer> transfers;
    std::vector<std::uint32_t> addresses;
    std::vector<ExchangeScheduleDestination> destinations;
};

// One read of one document.
class Reader {
public:
    Reader(ReaderState& state, const char* data, std::size_t size, std::size_t capacity)
        : state_(state), begin_(data), end_(data + size), capacity_(capacity) {}

    tl::expected<ExchangeScheduleSnapshot, SnapshotReadError> run() {
        ExchangeScheduleSnapshot snapshot;
        if (read_document(snapshot)) {
            return snapshot;
        }
        return tl::unexpected(finish());
    }

private:
    bool read_document(ExchangeScheduleSnapshot& snapshot) {
        const auto size = static_cast<std::size_t>(end_ - begin_);
        if (size == 0) {
            return syntax_error(begin_);
        }
        if (size > simdjson::SIMDJSON_MAXSIZE_BYTES) {
            return limit_error(begin_, "document too large: 4 GiB or more");
        }
        if (const auto code = state_.parser.iterate(begin_, size, capacity_).get(document_); code != simdjson::SUCCESS) {
            if (code == simdjson::MEMALLOC) {
                return limit_error(begin_, "out of memory while reading the document");
            }
            return syntax_error(begin_, code);
        }
        iterating_ = true;
        od::document& document = document_;
        std::string_view token;
        if (const auto code = document.raw_json_token().get(token); code != simdjson::SUCCESS) {
            return syntax_error(begin_, code);
        }
        const char* at = token.data();
        bool ok = false;
        if (*at == '{') {
            od::object object;
            const auto code = document.get_object().get(object);
            ok = code == simdjson::SUCCESS ? read_fields(object, snapshot, 1) : syntax_error(at, code);
        } else if (*at == '[') {
            od::array array;
            const auto code = document.get_array().get(array);
            ok = code == simdjson::SUCCESS ? read_elements(array, snapshot, 1) : syntax_error(at, code);
        } else {
            ok = unexpected_value(document, at, RecordInfo<ExchangeScheduleSnapshot>::name, false);
        }
        if (!ok) {
            return false;
        }
        // Anything but whitespace after the value is trailing content.
        const char* next = nullptr;
        if (document.current_location().get(next) == simdjson::SUCCESS) {
            return syntax_error(next);
        }
        return true;
    }

    // ---- records ----

    template <class R>
    bool read_record(od::value& value, R& out, std::size_t level) {
        const char* at = value.raw_json_token().data();
        if (*at == '{') {
            od::object object;
            const auto code = value.get_object().get(object);
            return code == simdjson::SUCCESS ? read_fields(object, out, level) : syntax_error(at, code);
        }
        if (*at == '[') {
            od::array array;
            const auto code = value.get_array().get(array);
            return code == simdjson::SUCCESS ? read_elements(array, out, level) : syntax_error(at, code);
        }
        return unexpected_value(value, at, RecordInfo<R>::name, false);
    }

    // The object form: fields by name in any order, each exactly once.
    template <class R>
    bool read_fields(od::object object, R& out, std::size_t level) {
        using Info = RecordInfo<R>;
        constexpr std::size_t count = Info::fields.size();
        constexpr unsigned all = (1u << count) - 1;
        unsigned seen = 0;
        const bool read = each_item(object, [&](od::field& field) {
            // The key's raw text; unescaping the key below consumes it.
            const char* key = field.key().raw();
            const int index = field_index<Info>(field, key);
            if (index == unknown_key) {
                return skip_value(field.value(), level + 1);
            }
            if (index == bad_key) {
                return false;
            }
            const unsigned bit = 1u << index;
            if ((seen & bit) != 0) {
                return data_error(key - 1, fmt::format("duplicate field `{}`", Info::fields[index]));
            }
            seen |= bit;
            return read_field(out, static_cast<std::size_t>(index), field.value(), level + 1);
        });
        if (!read) {
            return false;
        }
        if (seen != all) [[unlikely]] {
            for (std::size_t i = 0; i < count; ++i) {
                if ((seen & (1u << i)) == 0) {
                    return data_error(last_closing_bracket(), fmt::format("missing field `{}`", Info::fields[i]));
                }
            }
        }
        return true;
    }

    // The positional form: exactly the fields' values in declaration order.
    template <class R>
    bool read_elements(od::array array, R& out, std::size_t level) {
        using Info = RecordInfo<R>;
        constexpr std::size_t count = Info::fields.size();
        std::size_t seen = 0;
        const bool read = each_item(array, [&](od::value& element) {
            // Elements beyond the fields are still checked, and counted for
            // the message.
            const bool element_read =
                seen < count ? read_field(out, seen, element, level + 1) : skip_value(element, level + 1);
            ++seen;
            return element_read;
        });
        if (!read) {
            return false;
        }
        if (seen != count) [[unlikely]] {
            return data_error(last_closing_bracket(), fmt::format("invalid length {}, expected {}", seen, Info::with_elements));
        }
        return true;
    }

    bool read_field(ExchangeScheduleSnapshot& out, std::size_t index, od::value& value, std::size_t level) {
        switch (index) {
        case 0:
            return read_integer(value, out.schema_version);
        case 1:
            return read_integer(value, out.tile_count);
        default:
            return read_sequence(value, out.phases, state_.phases, level,
                                 [this](od::value& element, ExchangeScheduleProblem& problem, std::size_t element_level) {
                                     return read_record(element, problem, element_level);
                                 });
        }
    }

    bool read_field(ExchangeScheduleProblem& out, std::size_t index, od::value& value, std::size_t level) {
        if (index == 0) {
            return read_integer(value, out.phase);
        }
        return read_sequence(value, out.transfers, state_.transfers, level,
                             [this](od::value& element, ExchangeScheduleTransfer& transfer, std::size_t element_level) {
                                 return read_record(element, transfer, element_level);
                             });
    }

    bool read_field(ExchangeScheduleTransfer& out, std::size_t index, od::value& value, std::size_t level) {
        switch (index) {
        case 0:
            return read_integer(value, out.source);
        case 1:
            return read_sequence(value, out.source_addresses, state_.addresses, level,
                                 [this](od::value& element, std::uint32_t& address, std::size_t) {
                                     return read_integer(element, address);
                                 });
        case 2:
            return read_sequence(
                value, out.destinations, state_.destinations, level,
                [this](od::value& element, ExchangeScheduleDestination& destination, std::size_t element_level) {
                    return read_record(element, destination, element_level);
                });
        case 3:
            return read_integer(value, out.words);
        default:
            return read_width(value, out.width, level);
        }
    }

    bool read_field(ExchangeScheduleDestination& out, std::size_t index, od::value& value, std::size_t) {
        return index == 0 ? read_integer(value, out.tile) : read_integer(value, out.address);
    }

    // ---- keys ----

    static constexpr int unknown_key = -1;
    static constexpr int bad_key = -2;  // the key's escapes are invalid (failure recorded)

    // Index of the field named by the key (whose raw text, after the
    // opening quote, is at `raw`), unknown_key or bad_key.
    template <class Info>
    int field_index(od::field& field, const char* raw) {
        // A key spelled plainly equals a field name when its bytes are the
        // name followed by the closing quote. The comparison may read a few
        // bytes past a short key; the buffer's padding keeps that in bounds.
        for (std::size_t i = 0; i < Info::fields.size(); ++i) {
            const std::string_view name = Info::fields[i];
            if (std::memcmp(raw, name.data(), name.size()) == 0 && raw[name.size()] == '"') {
                return static_cast<int>(i);
            }
        }
        std::string_view key;
        if (const auto code = field.unescaped_key().get(key); code != simdjson::SUCCESS) {
            syntax_error(raw - 1, code);
            return bad_key;
        }
        for (std::size_t i = 0; i < Info::fields.size(); ++i) {
            if (key == Info::fields[i]) {
                return static_cast<int>(i);
            }
        }
        return unknown_key;
    }

    // ---- values ----

    template <class T>
    bool read_integer(od::value& value, T& out) {
        // The common case, parsed here directly: at most ten digits without
        // a leading zero, followed by a delimiter, within range. The value is
        // left for the iteration to step over.
        const auto* p = reinterpret_cast<const unsigned char*>(value.raw_json_token().data());
        std::uint64_t number = 0;
        std::size_t length = 0;
        for (unsigned digit; length < 11 && (digit = p[length] - unsigned{'0'}) <= 9; ++length) {
            number = number * 10 + digit;
        }
        if (length != 0 && length <= 10 && delimiters[p[length]] && (length == 1 || p[0] != '0') &&
            number <= std::numeric_limits<T>::max()) [[likely]] {
            out = static_cast<T>(number);
            return true;
        }
        return read_integer_slowly(value, out);
    }

    template <class T>
    bool read_integer_slowly(od::value& value, T& out) {
        const char* at = value.raw_json_token().data();
        if (*at >= '0' && *at <= '9') {
            const json_syntax::NumberToken number = scan_number(at, end_);
            if (!number.valid) {
                return syntax_error(number.stop);
            }
            if (number.integer) {
                const std::string_view text(at, static_cast<std::size_t>(number.stop - at));
                std::uint64_t parsed = 0;
                for (const char c : text) {
                    if (parsed > std::numeric_limits<T>::max()) {
                        break;
                    }
                    parsed = parsed * 10 + static_cast<unsigned>(c - '0');
                }
                if (parsed <= std::numeric_limits<T>::max()) {
                    out = static_cast<T>(parsed);  // an integer at the very end of the text
                    return true;
                }
                return data_error(at, fmt::format("invalid value: integer `{}`, expected {}", text, integer_name<T>()));
            }
        }
        return unexpected_value(value, at, integer_name<T>(), true);
    }

    // Reads the elements into `scratch` (whose capacity is kept from one
    // sequence to the next) and moves them into `out`, so that `out` is
    // allocated once with its exact size. No sequence contains a sequence of
    // its own type, so one scratch vector per element type suffices.
    template <class T, class ReadElement>
    bool read_sequence(od::value& value, std::vector<T>& out, std::vector<T>& scratch, std::size_t level,
                       ReadElement read_element) {
        const char* at = value.raw_json_token().data();
        if (*at != '[') {
            return unexpected_value(value, at, sequence_expectation, false);
        }
        od::array array;
        if (const auto code = value.get_array().get(array); code != simdjson::SUCCESS) {
            return syntax_error(at, code);
        }
        const bool read = each_item(
            array, [&](od::value& element) { return read_element(element, scratch.emplace_back(), level + 1); });
        if (!read) {
            return false;
        }
        out.assign(std::make_move_iterator(scratch.begin()), std::make_move_iterator(scratch.end()));
        scratch.clear();
        return true;
    }

    bool read_width(od::value& value, ExchangeItemWidth& out, std::size_t level) {
        const char* at = value.raw_json_token().data();
        if (*at == '"') {
            // The string must be consumed: the iteration would step over a
            // string followed by a colon as if it were a key. The plain
            // spellings need no unescaping.
            od::raw_json_string raw;
            if (const auto code = value.get_raw_json_string().get(raw); code != simdjson::SUCCESS) {
                return syntax_error(at, code);
            }
            if (std::memcmp(at + 1, "Word32\"", 7) == 0) {
                out = ExchangeItemWidth::Word32;
                return true;
            }
            if (std::memcmp(at + 1, "Paired64\"", 9) == 0) {
                out = ExchangeItemWidth::Paired64;
                return true;
            }
            std::string_view name;
            if (const auto code = value.get_string().get(name); code != simdjson::SUCCESS) {
                return syntax_error(at, code);
            }
            return width_variant(name, at, out);
        }
        if (*at == '{') {
            return read_width_object(value, at, out, level);
        }
        return unexpected_value(value, at, width_expectation, false);
    }

    bool width_variant(std::string_view name, const char* at, ExchangeItemWidth& out) {
        if (name == "Word32") {
            out = ExchangeItemWidth::Word32;
            return true;
        }
        if (name == "Paired64") {
            out = ExchangeItemWidth::Paired64;
            return true;
        }
        return data_error(at, fmt::format("unknown variant `{}`, expected `Word32` or `Paired64`", name));
    }

    // {"Word32": null} or {"Paired64": null}.
    bool read_width_object(od::value& value, const char* at, ExchangeItemWidth& out, std::size_t level) {
        od::object object;
        if (const auto code = value.get_object().get(object); code != simdjson::SUCCESS) {
            return syntax_error(at, code);
        }
        std::size_t keys = 0;
        const bool read = each_item(object, [&](od::field& field) {
            const char* key_at = field.key().raw() - 1;
            std::string_view key;
            if (!unescaped_key(field, key_at, key)) {
                return false;
            }
            if (keys == 0) {
                if (!width_variant(key, key_at, out)) {
                    return false;
                }
                od::value& unit = field.value();
                const char* unit_at = unit.raw_json_token().data();
                if (!scan_literal(unit_at, end_, "null") &&
                    !unexpected_value(unit, unit_at, width_value_expectation, false)) {
                    return false;
                }
            } else if (!skip_value(field.value(), level + 1)) {
                return false;
            }
            ++keys;
            return true;
        });
        if (!read) {
            return false;
        }
        if (keys != 1) {
            return data_error(last_closing_bracket(),
                              fmt::format("invalid length {}, expected {}", keys, width_object_expectation));
        }
        return true;
    }

    // Calls visit on every item of an object (with its od::field) or an
    // array (with its od::value), in order, until one call fails; an item
    // that does not parse is a syntax error where the parser stands.
    template <class Items, class Visit>
    bool each_item(Items& items, Visit&& visit) {
        for (auto item : items) {
            if (const auto code = item.error(); code != simdjson::SUCCESS) {
                return syntax_error(current(), code);
            }
            if (!visit(item.value_unsafe())) {
                return false;
            }
        }
        return true;
    }

    // Unescapes the key of `field`, whose opening quote is at `key_at`.
    bool unescaped_key(od::field& field, const char* key_at, std::string_view& key) {
        const auto code = field.unescaped_key().get(key);
        return code == simdjson::SUCCESS || syntax_error(key_at, code);
    }

    // Checks a value nobody asked for, completely.
    bool skip_value(od::value& value, std::size_t level) {
        const char* at = value.raw_json_token().data();
        switch (*at) {
        case '{':
        case '[': {
            if (level > max_snapshot_nesting) {
                return nesting_error(at);
            }
            if (*at == '[') {
                od::array array;
                if (const auto code = value.get_array().get(array); code != simdjson::SUCCESS) {
                    return syntax_error(at, code);
                }
                return each_item(array, [&](od::value& element) { return skip_value(element, level + 1); });
            }
            od::object object;
            if (const auto code = value.get_object().get(object); code != simdjson::SUCCESS) {
                return syntax_error(at, code);
            }
            return each_item(object, [&](od::field& field) {
                std::string_view key;
                return unescaped_key(field, field.key().raw() - 1, key) && skip_value(field.value(), level + 1);
            });
        }
        case '"': {
            std::string_view text;
            const auto code = value.get_string().get(text);
            return code == simdjson::SUCCESS || syntax_error(at, code);
        }
        case 't':
            return scan_literal(at, end_, "true") || syntax_error(at);
        case 'f':
            return scan_literal(at, end_, "false") || syntax_error(at);
        case 'n':
            return scan_literal(at, end_, "null") || syntax_error(at);
        default:
            return ((*at == '-' || (*at >= '0' && *at <= '9')) && scan_number(at, end_).valid) || syntax_error(at);
        }
    }

    // Fails for a value at `at` that is not what `expectation` names,
    // describing what was found. With `integer_expected`, an integer is of
    // the right type but out of range. A value that is not valid JSON is a
    // syntax error instead. `V` is od::value or od::document (the root).
    template <class V>
    bool unexpected_value(V& value, const char* at, std::string_view expectation, bool integer_expected) {
        std::string found;
        switch (*at) {
        case '{':
            found = "map";
            break;
        case '[':
            found = "sequence";
            break;
        case '"': {
            std::string_view text;
            if (const auto code = value.get_string().get(text); code != simdjson::SUCCESS) {
                return syntax_error(at, code);
            }
            found = "string " + quoted(text);
            break;
        }
        case 't':
        case 'f':
            if (!scan_literal(at, end_, *at == 't' ? "true" : "false")) {
                return syntax_error(at);
            }
            found = *at == 't' ? "boolean `true`" : "boolean `false`";
            break;
        case 'n':
            if (!scan_literal(at, end_, "null")) {
                return syntax_error(at);
            }
            found = "null";
            break;
        default: {
            if (*at != '-' && (*at < '0' || *at > '9')) {
                return syntax_error(at);
            }
            const json_syntax::NumberToken number = scan_number(at, end_);
            if (!number.valid) {
                return syntax_error(at);
            }
            const std::string_view text(at, static_cast<std::size_t>(number.stop - at));
            if (!number.integer) {
                found = fmt::format("floating point `{}`", text);
            } else if (!integer_expected) {
                found = fmt::format("integer `{}`", text);
            } else if (number.negative || !fits_u64(text)) {
                return data_error(at, fmt::format("invalid value: integer `{}`, expected {}", text, expectation));
            } else {
                // A valid unsigned integer that simdjson would not parse is
                // followed by something that is not allowed there.
                return syntax_error(number.stop);
            }
        }
        }
        return data_error(at, fmt::format("invalid type: {}, expected {}", found, expectation));
    }

    static bool fits_u64(std::string_view digits) {
        constexpr std::string_view max = "18446744073709551615";
        return digits.size() < max.size() || (digits.size() == max.size() && digits <= max);
    }

    // ---- positions and failures ----

    // Where the iteration is (the next token), or the end of the text.
    const char* current() {
        const char* at = nullptr;
        if (!iterating_ || document_.current_location().get(at) != simdjson::SUCCESS) {
            return end_;
        }
        return at;
    }

    // The bracket or brace the iteration has just consumed: the last
    // non-whitespace byte before the next token.
    const char* last_closing_bracket() {
        const char* p = current();
        while (p > begin_ && is_whitespace(static_cast<unsigned char>(p[-1]))) {
            --p;
        }
        return p > begin_ ? p - 1 : begin_;
    }

    bool data_error(const char* at, std::string message) {
        failure_ = Failure{SnapshotReadErrorKind::Data, std::move(message), offset(at), simdjson::SUCCESS};
        return false;
    }

    bool limit_error(const char* at, std::string message) {
        failure_ = Failure{SnapshotReadErrorKind::Limit, std::move(message), offset(at), simdjson::SUCCESS};
        return false;
    }

    bool nesting_error(const char* at) {
        return limit_error(at, fmt::format("nesting deeper than {} arrays and objects", max_snapshot_nesting));
    }

    // Marks a syntax error; finish() describes it.
    bool syntax_error(const char* at, simdjson::error_code code = simdjson::SUCCESS) {
        failure_ = Failure{SnapshotReadErrorKind::Syntax, {}, offset(at), code};
        return false;
    }

    std::size_t offset(const char* at) const {
        if (at < begin_ || at > end_) {
            return static_cast<std::size_t>(end_ - begin_);
        }
        return static_cast<std::size_t>(at - begin_);
    }

    SnapshotReadError finish() {
        Failure failure = std::move(failure_);
        const std::string_view text(begin_, static_cast<std::size_t>(end_ - begin_));
        if (failure.kind == SnapshotReadErrorKind::Syntax && failure.message.empty()) {
            if (auto syntax = json_syntax::find_json_syntax_error(text)) {
                failure.message = std::move(syntax->message);
                failure.offset = syntax->offset;
            } else {
                // simdjson refused a text the syntax checker accepts; say
                // what simdjson said rather than nothing.
                failure.message = fmt::format(
                    "invalid JSON ({})",
                    failure.code == simdjson::SUCCESS ? "unexpected token" : simdjson::error_message(failure.code));
            }
        }
        const std::string_view before = text.substr(0, failure.offset);
        const std::size_t line_start = before.rfind('\n') == std::string_view::npos ? 0 : before.rfind('\n') + 1;
        std::size_t lines = 1;
        for (const char c : before) {
            lines += c == '\n' ? 1 : 0;
        }
        return SnapshotReadError{std::move(failure.message), lines, failure.offset - line_start + 1, failure.kind};
    }

    ReaderState& state_;
    const char* begin_;
    const char* end_;
    std::size_t capacity_;
    od::document document_;
    bool iterating_ = false;  // document_ holds the iteration
    Failure failure_;
};

}  // namespace

struct SnapshotReader::State : ReaderState {};

SnapshotReader::SnapshotReader() : state_(std::make_unique<State>()) {}
SnapshotReader::~SnapshotReader() = default;
SnapshotReader::SnapshotReader(SnapshotReader&&) noexcept = default;
SnapshotReader& SnapshotReader::operator=(SnapshotReader&&) noexcept = default;

tl::expected<ExchangeScheduleSnapshot, SnapshotReadError> SnapshotReader::read(const SnapshotBytes& bytes) {
    if (!state_) {
        state_ = std::make_unique<State>();  // moved from
    }
    auto result = Reader(*state_, bytes.data(), bytes.size(), bytes.capacity()).run();
    // A failed read may leave elements behind.
    state_->phases.clear();
    state_->transfers.clear();
    state_->addresses.clear();
    state_->destinations.clear();
    return result;
}

tl::expected<ExchangeScheduleSnapshot, SnapshotReadError> SnapshotReader::read(std::string_view text) {
    return read(SnapshotBytes(text));
}

tl::expected<ExchangeScheduleSnapshot, SnapshotReadError> read_snapshot(const SnapshotBytes& bytes) {
    return SnapshotReader().read(bytes);
}

tl::expected<ExchangeScheduleSnapshot, SnapshotReadError> read_snapshot(std::string_view text) {
    return read_snapshot(SnapshotBytes(text));
}

}  // namespace vorn::codegen
