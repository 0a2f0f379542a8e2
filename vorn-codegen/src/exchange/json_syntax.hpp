#pragma once
// Strict JSON syntax rules (RFC 8259, UTF-8 input) shared by the snapshot
// reader. The reader maps documents with simdjson On-Demand, which neither
// locates the errors found by its first pass nor checks values it does not
// look at closely; these helpers close both gaps:
//
// - scan_number and scan_literal check one scalar token exactly as the
//   grammar does, for the reader's own validation of scalars;
// - find_json_syntax_error is a small, independent checker that walks the
//   whole text and reports the first syntax error with its byte offset. The
//   reader runs it only once reading has failed for a syntax reason, to give
//   the error a precise message and position.

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace vorn::codegen::json_syntax {

// Bytes that may end a number or a literal: JSON whitespace and the
// structural characters. Not a quote: simdjson's first pass reads a quote
// right after a scalar as part of the scalar's token (`3"x"` is one token),
// so accepting `3` there would let the string go unchecked.
constexpr bool is_token_delimiter(unsigned char byte) {
    switch (byte) {
    case ' ':
    case '\t':
    case '\n':
    case '\r':
    case ',':
    case ':':
    case '[':
    case ']':
    case '{':
    case '}':
        return true;
    default:
        return false;
    }
}

constexpr bool is_whitespace(unsigned char byte) {
    return byte == ' ' || byte == '\t' || byte == '\n' || byte == '\r';
}

struct NumberToken {
    bool valid = false;     // the grammar matched and a delimiter (or the end) follows
    bool negative = false;  // starts with '-'
    bool integer = false;   // no fraction and no exponent
    // End of the number when valid; otherwise the first offending byte
    // (`end` when the input stops inside the number).
    const char* stop = nullptr;
};

// Scans the number starting at `p` (a '-' or a digit), reading no further
// than `end`.
NumberToken scan_number(const char* p, const char* end);

// True when `p` starts exactly the literal `word` ("true", "false" or "null")
// followed by a delimiter or the end.
bool scan_literal(const char* p, const char* end, std::string_view word);

struct SyntaxError {
    std::string message;
    std::size_t offset = 0;  // byte offset of the offending byte (the text's size at a premature end)
};

// The first syntax error of `text` as one JSON document with surrounding
// whitespace, or nothing when the text is valid JSON.
std::optional<SyntaxError> find_json_syntax_error(std::string_view text);

}  // namespace vorn::codegen::json_syntax
