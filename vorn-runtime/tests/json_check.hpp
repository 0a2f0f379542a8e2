#pragma once
// A strict JSON validity check (RFC 8259) for the tests: one value, no
// trailing text, strings with valid escapes, no raw control characters and
// well-formed UTF-8.

#include <cstddef>
#include <string_view>

namespace vorn::runtime::testing {

class JsonChecker {
public:
    explicit JsonChecker(std::string_view text) : text_(text) {}

    bool valid() {
        skip_space();
        if (!value(0)) {
            return false;
        }
        skip_space();
        return at_ == text_.size();
    }

private:
    static constexpr int max_depth = 64;

    bool done() const { return at_ >= text_.size(); }
    unsigned char peek() const { return static_cast<unsigned char>(text_[at_]); }

    void skip_space() {
        while (!done() && (peek() == ' ' || peek() == '\t' || peek() == '\n' || peek() == '\r')) {
            ++at_;
        }
    }

    bool literal(std::string_view word) {
        if (text_.substr(at_, word.size()) != word) {
            return false;
        }
        at_ += word.size();
        return true;
    }

    bool value(int depth) {
        if (done() || depth > max_depth) {
            return false;
        }
        switch (peek()) {
            case '{': return object(depth + 1);
            case '[': return array(depth + 1);
            case '"': return string();
            case 't': return literal("true");
            case 'f': return literal("false");
            case 'n': return literal("null");
            default: return number();
        }
    }

    bool object(int depth) {
        ++at_;
        skip_space();
        if (!done() && peek() == '}') {
            ++at_;
            return true;
        }
        while (true) {
            skip_space();
            if (done() || peek() != '"' || !string()) {
                return false;
            }
            skip_space();
            if (done() || peek() != ':') {
                return false;
            }
            ++at_;
            skip_space();
            if (!value(depth)) {
                return false;
            }
            skip_space();
            if (done()) {
                return false;
            }
            if (peek() == '}') {
                ++at_;
                return true;
            }
            if (peek() != ',') {
                return false;
            }
            ++at_;
        }
    }

    bool array(int depth) {
        ++at_;
        skip_space();
        if (!done() && peek() == ']') {
            ++at_;
            return true;
        }
        while (true) {
            skip_space();
            if (!value(depth)) {
                return false;
            }
            skip_space();
            if (done()) {
                return false;
            }
            if (peek() == ']') {
                ++at_;
                return true;
            }
            if (peek() != ',') {
                return false;
            }
            ++at_;
        }
    }

    static bool is_hex(unsigned char c) {
        return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
    }

    bool string() {
        ++at_;
        while (!done()) {
            const unsigned char c = peek();
            if (c == '"') {
                ++at_;
                return true;
            }
            if (c < 0x20) {
                return false;
            }
            if (c == '\\') {
                ++at_;
                if (done()) {
                    return false;
                }
                const unsigned char e = peek();
                ++at_;
                if (e == 'u') {
                    for (int k = 0; k < 4; ++k) {
                        if (done() || !is_hex(peek())) {
                            return false;
                        }
                        ++at_;
                    }
                } else if (std::string_view("\"\\/bfnrt").find(static_cast<char>(e)) ==
                           std::string_view::npos) {
                    return false;
                }
                continue;
            }
            if (c < 0x80) {
                ++at_;
                continue;
            }
            if (!utf8_character()) {
                return false;
            }
        }
        return false;
    }

    bool utf8_character() {
        const unsigned char lead = peek();
        int continuation = 0;
        unsigned char low = 0x80;
        unsigned char high = 0xBF;
        if (lead >= 0xC2 && lead <= 0xDF) {
            continuation = 1;
        } else if (lead == 0xE0) {
            continuation = 2;
            low = 0xA0;
        } else if (lead == 0xED) {
            continuation = 2;
            high = 0x9F;
        } else if (lead >= 0xE1 && lead <= 0xEF) {
            continuation = 2;
        } else if (lead == 0xF0) {
            continuation = 3;
            low = 0x90;
        } else if (lead >= 0xF1 && lead <= 0xF3) {
            continuation = 3;
        } else if (lead == 0xF4) {
            continuation = 3;
            high = 0x8F;
        } else {
            return false;
        }
        ++at_;
        for (int k = 0; k < continuation; ++k) {
            if (done() || peek() < low || peek() > high) {
                return false;
            }
            low = 0x80;
            high = 0xBF;
            ++at_;
        }
        return true;
    }

    bool digits() {
        const std::size_t start = at_;
        while (!done() && peek() >= '0' && peek() <= '9') {
            ++at_;
        }
        return at_ > start;
    }

    bool number() {
        if (!done() && peek() == '-') {
            ++at_;
        }
        if (done()) {
            return false;
        }
        if (peek() == '0') {
            ++at_;
        } else if (!digits()) {
            return false;
        }
        if (!done() && peek() == '.') {
            ++at_;
            if (!digits()) {
                return false;
            }
        }
        if (!done() && (peek() == 'e' || peek() == 'E')) {
            ++at_;
            if (!done() && (peek() == '+' || peek() == '-')) {
                ++at_;
            }
            if (!digits()) {
                return false;
            }
        }
        return true;
    }

    std::string_view text_;
    std::size_t at_ = 0;
};

inline bool is_valid_json(std::string_view text) { return JsonChecker(text).valid(); }

}  // namespace vorn::runtime::testing
