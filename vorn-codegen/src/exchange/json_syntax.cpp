#include "json_syntax.hpp"

#include <cstdint>
#include <cstring>
#include <vector>

namespace vorn::codegen::json_syntax {

namespace {

constexpr bool is_digit(char c) { return c >= '0' && c <= '9'; }

int hex_value(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return -1;
}

// Length of the well-formed UTF-8 sequence at `p` (shortest form, no
// surrogates, at most U+10FFFF), or 0 when it is malformed or truncated.
std::size_t utf8_sequence_length(const unsigned char* p, const unsigned char* end) {
    const unsigned char lead = p[0];
    const auto continuation = [&](std::size_t i, unsigned char low = 0x80, unsigned char high = 0xBF) {
        return p + i < end && p[i] >= low && p[i] <= high;
    };
    if (lead < 0x80) {
        return 1;
    }
    if (lead >= 0xC2 && lead <= 0xDF) {
        return continuation(1) ? 2 : 0;
    }
    if (lead == 0xE0) {
        return continuation(1, 0xA0) && continuation(2) ? 3 : 0;
    }
    if ((lead >= 0xE1 && lead <= 0xEC) || lead == 0xEE || lead == 0xEF) {
        return continuation(1) && continuation(2) ? 3 : 0;
    }
    if (lead == 0xED) {  // U+D000..U+D7FF; the surrogates are excluded
        return continuation(1, 0x80, 0x9F) && continuation(2) ? 3 : 0;
    }
    if (lead == 0xF0) {
        return continuation(1, 0x90) && continuation(2) && continuation(3) ? 4 : 0;
    }
    if (lead >= 0xF1 && lead <= 0xF3) {
        return continuation(1) && continuation(2) && continuation(3) ? 4 : 0;
    }
    if (lead == 0xF4) {
        return continuation(1, 0x80, 0x8F) && continuation(2) && continuation(3) ? 4 : 0;
    }
    return 0;
}

// The checker proper: one pass over the text with an explicit stack, so any
// nesting depth is fine.
class Checker {
public:
    explicit Checker(std::string_view text)
        : begin_(text.data()), end_(text.data() + text.size()), p_(begin_) {}

    std::optional<SyntaxError> run() {
        enum class Step { Value, AfterValue, Key };
        Step step = Step::Value;
        bool after_comma = false;
        skip_whitespace();
        for (;;) {
            switch (step) {
            case Step::Value:
                if (p_ == end_) {
                    return fail(stack_.empty()          ? "EOF while parsing a value"
                                : stack_.back() == '[' ? "EOF while parsing a list"
                                                       : "EOF while parsing an object",
                                p_);
                }
                switch (*p_) {
                case '{':
                    ++p_;
                    skip_whitespace();
                    if (p_ < end_ && *p_ == '}') {
                        ++p_;
                        step = Step::AfterValue;
                    } else {
                        stack_.push_back('{');
                        step = Step::Key;
                        after_comma = false;
                    }
                    break;
                case '[':
                    ++p_;
                    skip_whitespace();
                    if (p_ < end_ && *p_ == ']') {
                        ++p_;
                        step = Step::AfterValue;
                    } else {
                        stack_.push_back('[');
                        step = Step::Value;
                        after_comma = false;
                    }
                    break;
                case '"':
                    if (!string()) {
                        return error_;
                    }
                    step = Step::AfterValue;
                    break;
                case 't':
                    if (!literal("true")) {
                        return error_;
                    }
                    step = Step::AfterValue;
                    break;
                case 'f':
                    if (!literal("false")) {
                        return error_;
                    }
                    step = Step::AfterValue;
                    break;
                case 'n':
                    if (!literal("null")) {
                        return error_;
                    }
                    step = Step::AfterValue;
                    break;
                default:
                    if (*p_ == '-' || is_digit(*p_)) {
                        const NumberToken number = scan_number(p_, end_);
                        if (!number.valid) {
                            return fail(number.stop == end_ ? "EOF while parsing a value" : "invalid number",
                                        number.stop);
                        }
                        p_ = number.stop;
                        step = Step::AfterValue;
                    } else if (*p_ == ']' && after_comma) {
                        return fail("trailing comma", p_);
                    } else {
                        return fail("expected value", p_);
                    }
                }
                break;

            case Step::Key:
                skip_whitespace();
                if (p_ == end_) {
                    return fail("EOF while parsing an object", p_);
                }
                if (*p_ != '"') {
                    return fail(*p_ == '}' && after_comma ? "trailing comma" : "key must be a string", p_);
                }
                if (!string()) {
                    return error_;
                }
                skip_whitespace();
                if (p_ == end_) {
                    return fail("EOF while parsing an object", p_);
                }
                if (*p_ != ':') {
                    return fail("expected `:`", p_);
                }
                ++p_;
                skip_whitespace();
                step = Step::Value;
                after_comma = false;
                break;

            case Step::AfterValue:
                skip_whitespace();
                if (stack_.empty()) {
                    if (p_ != end_) {
                        return fail("trailing characters", p_);
                    }
                    return std::nullopt;
                }
                if (stack_.back() == '[') {
                    if (p_ == end_) {
                        return fail("EOF while parsing a list", p_);
                    }
                    if (*p_ == ',') {
                        ++p_;
                        skip_whitespace();
                        step = Step::Value;
                        after_comma = true;
                    } else if (*p_ == ']') {
                        ++p_;
                        stack_.pop_back();
                    } else {
                        return fail("expected `,` or `]`", p_);
                    }
                } else {
                    if (p_ == end_) {
                        return fail("EOF while parsing an object", p_);
                    }
                    if (*p_ == ',') {
                        ++p_;
                        step = Step::Key;
                        after_comma = true;
                    } else if (*p_ == '}') {
                        ++p_;
                        stack_.pop_back();
                    } else {
                        return fail("expected `,` or `}`", p_);
                    }
                }
                break;
            }
        }
    }

private:
    std::optional<SyntaxError> fail(const char* message, const char* at) {
        error_ = SyntaxError{message, static_cast<std::size_t>(at - begin_)};
        return error_;
    }

    void skip_whitespace() {
        while (p_ < end_ && is_whitespace(static_cast<unsigned char>(*p_))) {
            ++p_;
        }
    }

    bool literal(std::string_view word) {
        for (std::size_t i = 0; i < word.size(); ++i) {
            if (p_ + i == end_) {
                fail("EOF while parsing a value", end_);
                return false;
            }
            if (p_[i] != word[i]) {
                fail("invalid literal", p_ + i);
                return false;
            }
        }
        p_ += word.size();
        if (p_ < end_ && !is_token_delimiter(static_cast<unsigned char>(*p_))) {
            fail("invalid literal", p_);
            return false;
        }
        return true;
    }

    // Reads four hex digits after "\u" at `escape`; -1 when they are not.
    long unicode_escape(const char* escape) {
        long value = 0;
        for (int i = 2; i < 6; ++i) {
            if (escape + i >= end_) {
                return -2;  // the text ends inside the escape
            }
            const int digit = hex_value(escape[i]);
            if (digit < 0) {
                return -1;
            }
            value = value * 16 + digit;
        }
        return value;
    }

    // A string from its opening quote at p_; leaves p_ after the closing quote.
    bool string() {
        ++p_;
        for (;;) {
            if (p_ == end_) {
                fail("EOF while parsing a string", end_);
                return false;
            }
            const auto byte = static_cast<unsigned char>(*p_);
            if (byte == '"') {
                ++p_;
                return true;
            }
            if (byte == '\\') {
                if (!escape()) {
                    return false;
                }
            } else if (byte < 0x20) {
                fail("control character in string", p_);
                return false;
            } else if (byte < 0x80) {
                ++p_;
            } else {
                const std::size_t length = utf8_sequence_length(reinterpret_cast<const unsigned char*>(p_),
                                                                reinterpret_cast<const unsigned char*>(end_));
                if (length == 0) {
                    fail("invalid UTF-8", p_);
                    return false;
                }
                p_ += length;
            }
        }
    }

    // An escape sequence at p_ (the backslash); leaves p_ after it.
    bool escape() {
        const char* backslash = p_;
        if (p_ + 1 == end_) {
            fail("EOF while parsing a string", end_);
            return false;
        }
        switch (p_[1]) {
        case '"':
        case '\\':
        case '/':
        case 'b':
        case 'f':
        case 'n':
        case 'r':
        case 't':
            p_ += 2;
            return true;
        case 'u':
            break;
        default:
            fail("invalid escape", backslash);
            return false;
        }
        const long first = unicode_escape(backslash);
        if (first < 0) {
            first == -2 ? fail("EOF while parsing a string", end_) : fail("invalid escape", backslash);
            return false;
        }
        p_ += 6;
        if (first >= 0xDC00 && first <= 0xDFFF) {
            fail("invalid unicode code point", backslash);  // a low surrogate on its own
            return false;
        }
        if (first < 0xD800 || first > 0xDBFF) {
            return true;
        }
        // A high surrogate must be followed by an escaped low surrogate.
        if (end_ - p_ < 2) {
            p_ == end_ || p_[0] == '\\' ? fail("EOF while parsing a string", end_)
                                        : fail("invalid unicode code point", backslash);
            return false;
        }
        if (p_[0] != '\\' || p_[1] != 'u') {
            fail("invalid unicode code point", backslash);
            return false;
        }
        const long second = unicode_escape(p_);
        if (second < 0) {
            second == -2 ? fail("EOF while parsing a string", end_) : fail("invalid escape", p_);
            return false;
        }
        if (second < 0xDC00 || second > 0xDFFF) {
            fail("invalid unicode code point", backslash);
            return false;
        }
        p_ += 6;
        return true;
    }

    const char* begin_;
    const char* end_;
    const char* p_;
    std::vector<char> stack_;  // '[' or '{' per open container
    std::optional<SyntaxError> error_;
};

}  // namespace

NumberToken scan_number(const char* p, const char* end) {
    NumberToken token;
    const char* q = p;
    const auto stop = [&](const char* at) {
        token.stop = at;
        return token;
    };
    if (q < end && *q == '-') {
        token.negative = true;
        ++q;
    }
    if (q == end || !is_digit(*q)) {
        return stop(q);
    }
    if (*q == '0') {
        ++q;
        if (q < end && is_digit(*q)) {
            return stop(q);  // no leading zeros
        }
    } else {
        while (q < end && is_digit(*q)) {
            ++q;
        }
    }
    token.integer = true;
    if (q < end && *q == '.') {
        token.integer = false;
        ++q;
        if (q == end || !is_digit(*q)) {
            return stop(q);
        }
        while (q < end && is_digit(*q)) {
            ++q;
        }
    }
    if (q < end && (*q == 'e' || *q == 'E')) {
        token.integer = false;
        ++q;
        if (q < end && (*q == '+' || *q == '-')) {
            ++q;
        }
        if (q == end || !is_digit(*q)) {
            return stop(q);
        }
        while (q < end && is_digit(*q)) {
            ++q;
        }
    }
    if (q < end && !is_token_delimiter(static_cast<unsigned char>(*q))) {
        return stop(q);
    }
    token.valid = true;
    return stop(q);
}

bool scan_literal(const char* p, const char* end, std::string_view word) {
    if (static_cast<std::size_t>(end - p) < word.size() || std::memcmp(p, word.data(), word.size()) != 0) {
        return false;
    }
    const char* after = p + word.size();
    return after == end || is_token_delimiter(static_cast<unsigned char>(*after));
}

std::optional<SyntaxError> find_json_syntax_error(std::string_view text) {
    return Checker(text).run();
}

}  // namespace vorn::codegen::json_syntax
