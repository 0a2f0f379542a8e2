// The snapshot reader: which documents map onto which snapshots, and the
// exact message, position and kind of every way a document can fail.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <fmt/format.h>

#include "vorn/codegen/exchange/snapshot_reader.hpp"

namespace vorn::codegen {
namespace {

using Kind = SnapshotReadErrorKind;

constexpr const char* minimal_document =
    R"({"schema_version": 3, "tile_count": 1472, "phases": [{"phase": 7, "transfers": [{"source": 0, )"
    R"("source_addresses": [4096], "destinations": [{"tile": 1, "address": 8192}], "words": 4, "width": "Word32"}]}]})";

ExchangeScheduleSnapshot minimal_snapshot() {
    return {3, 1472, {{7, {{0, {4096}, {{1, 8192}}, 4, ExchangeItemWidth::Word32}}}}};
}

// A document whose only transfer is `transfer`; the transfer's text starts at
// column 73.
std::string with_transfer(std::string_view transfer) {
    return fmt::format(R"({{"schema_version":3,"tile_count":1472,"phases":[{{"phase":7,"transfers":[{}]}}]}})", transfer);
}

ExchangeScheduleSnapshot snapshot_with(ExchangeScheduleTransfer transfer) {
    return {3, 1472, {{7, {std::move(transfer)}}}};
}

std::string describe(const tl::expected<ExchangeScheduleSnapshot, SnapshotReadError>& result) {
    return result ? std::string("accepted") : result.error().render();
}

// ---- documents that read ----

struct AcceptedCase {
    const char* name;
    std::string document;
    ExchangeScheduleSnapshot expected;
};

void PrintTo(const AcceptedCase& c, std::ostream* os) { *os << c.name; }

class ReaderAccepts : public testing::TestWithParam<AcceptedCase> {};

TEST_P(ReaderAccepts, ReadsTheExpectedSnapshot) {
    const auto result = read_snapshot(GetParam().document);
    ASSERT_TRUE(result) << describe(result);
    EXPECT_EQ(*result, GetParam().expected);
}

const ExchangeScheduleTransfer paired{5, {16, 32, 48}, {{6, 64}, {7, 128}}, 8, ExchangeItemWidth::Paired64};

INSTANTIATE_TEST_SUITE_P(
    Documents, ReaderAccepts,
    testing::Values(
        AcceptedCase{"Minimal", minimal_document, minimal_snapshot()},
        AcceptedCase{"KeysReversedAtEveryLevel",
                     R"({"phases": [{"transfers": [{"width": "Word32", "words": 4, "destinations": [{"address": 8192, )"
                     R"("tile": 1}], "source_addresses": [4096], "source": 0}], "phase": 7}], "tile_count": 1472, )"
                     R"("schema_version": 3})",
                     minimal_snapshot()},
        AcceptedCase{"UnknownKeysWithAnyValueAtEveryLevel",
                     R"({"comment": {"a": [1, 2.5e-3, -0, true, false, null, "x\"\\\u00e9"], "b": {}}, )"
                     R"("schema_version": 3, "tile_count": 1472, "phases": [{"phase": 7, "note": [[[]]], )"
                     R"("transfers": [{"source": 0, "extra": "", "source_addresses": [4096], "destinations": )"
                     R"([{"tile": 1, "address": 8192, "x": -1.5E+10}], "words": 4, "width": "Word32", "y": null}]}]})",
                     minimal_snapshot()},
        AcceptedCase{"UnknownKeyHoldingFieldNames",
                     R"({"schema": {"schema_version": 4, "phases": 1}, "schema_version": 3, "tile_count": 1472, )"
                     R"("phases": [{"phase": 7, "transfers": [{"source": 0, "source_addresses": [4096], )"
                     R"("destinations": [{"tile": 1, "address": 8192}], "words": 4, "width": "Word32"}]}]})",
                     minimal_snapshot()},
        AcceptedCase{"PositionalEverywhere", R"([3, 1472, [[7, [[0, [4096], [[1, 8192]], 4, "Word32"]]]]])",
                     minimal_snapshot()},
        AcceptedCase{"PositionalWithoutPhases", "[3, 1472, []]", {3, 1472, {}}},
        AcceptedCase{"FormsMixed",
                     R"([3, 1472, [{"phase": 7, "transfers": [[0, [4096], [{"tile": 1, "address": 8192}], 4, )"
                     R"({"Word32": null}]]}]])",
                     minimal_snapshot()},
        AcceptedCase{"PairedWidthAsString",
                     with_transfer(R"({"source":5,"source_addresses":[16,32,48],"destinations":[{"tile":6,"address":64},)"
                                   R"({"tile":7,"address":128}],"words":8,"width":"Paired64"})"),
                     snapshot_with(paired)},
        AcceptedCase{"PairedWidthAsObject",
                     with_transfer(R"([5,[16,32,48],[[6,64],[7,128]],8, { "Paired64" : null } ])"),
                     snapshot_with(paired)},
        AcceptedCase{"EscapedKeysAndWidth",
                     with_transfer(R"({"\u0073ource":5,"source\u005faddresses":[16,32,48],"destinations":[[6,64],)"
                                   R"([7,128]],"wor\u0064s":8,"width":"Pa\u0069red64"})"),
                     snapshot_with(paired)},
        AcceptedCase{"EscapedKeyOfWidthObject", with_transfer(R"([5,[16,32,48],[[6,64],[7,128]],8,{"\u0050aired64":null}])"),
                     snapshot_with(paired)},
        AcceptedCase{"AllJsonWhitespace",
                     " \t\r\n[ 3 ,\n\t1472\r\n, [ [ 7 , [ [ 0 , [ 4096 ] , [ { \"tile\" : 1 , \"address\" : 8192 } ] , 4 , "
                     "\"Word32\" ] ] ] ] ] \n\t\r ",
                     minimal_snapshot()},
        AcceptedCase{"LargestValues",
                     with_transfer(R"([65535,[4294967295],[[65535,4294967295]],4294967295,"Word32"])"),
                     {3, 1472, {{7, {{65535, {4294967295u}, {{65535, 4294967295u}}, 4294967295u, ExchangeItemWidth::Word32}}}}}},
        AcceptedCase{"ZerosAndEmptySequences", R"({"schema_version":0,"tile_count":0,"phases":[[0,[[0,[],[],0,"Word32"]]]]})",
                     {0, 0, {{0, {{0, {}, {}, 0, ExchangeItemWidth::Word32}}}}}}),
    [](const testing::TestParamInfo<AcceptedCase>& info) { return std::string(info.param.name); });

// ---- documents that fail ----

struct FailureCase {
    const char* name;
    std::string document;
    std::string rendered;  // message and position
    Kind kind;
};

void PrintTo(const FailureCase& c, std::ostream* os) { *os << c.name; }

class ReaderRejects : public testing::TestWithParam<FailureCase> {};

TEST_P(ReaderRejects, WithTheExpectedErrorAndPosition) {
    const auto result = read_snapshot(GetParam().document);
    ASSERT_FALSE(result) << "the document was accepted";
    EXPECT_EQ(result.error().render(), GetParam().rendered);
    EXPECT_EQ(result.error().kind, GetParam().kind);
}

std::string nested_arrays(std::size_t depth) { return std::string(depth, '[') + std::string(depth, ']'); }

// Data errors: valid JSON that is not a snapshot.
INSTANTIATE_TEST_SUITE_P(
    Data, ReaderRejects,
    testing::Values(
        // Fields: missing at the closing brace, duplicates at the second key.
        FailureCase{"MissingWordsAtTheClosingBrace",
                    with_transfer(R"({"source":0,"source_addresses":[],"destinations":[],"width":"Word32"})"),
                    "missing field `words` at line 1 column 141", Kind::Data},
        FailureCase{"MissingSourceAndWidthNamesSource",
                    with_transfer(R"({"source_addresses":[],"destinations":[],"words":1} )"),
                    "missing field `source` at line 1 column 123", Kind::Data},
        FailureCase{"MissingEverything", "{\n  \"comment\": 1\n}", "missing field `schema_version` at line 3 column 1",
                    Kind::Data},
        FailureCase{"EmptyObject", "{}", "missing field `schema_version` at line 1 column 2", Kind::Data},
        FailureCase{"KeysAreCaseSensitive",
                    R"({"Schema_version":3,"tile_count":1472,"phases":[]})",
                    "missing field `schema_version` at line 1 column 50", Kind::Data},
        FailureCase{"TwoPhasesKeysEvenIfEqual", R"({"schema_version":3,"tile_count":1472,"phases":[],"phases":[]})",
                    "duplicate field `phases` at line 1 column 51", Kind::Data},
        FailureCase{"DuplicateThroughAnEscapedKey",
                    with_transfer(R"({"words":1,"source":0,"wor\u0064s":1})"),
                    "duplicate field `words` at line 1 column 95", Kind::Data},
        // Positional records: the length at the closing bracket.
        FailureCase{"SnapshotWithTwoElements", "[3, 1472]",
                    "invalid length 2, expected struct ExchangeScheduleSnapshot with 3 elements at line 1 column 9",
                    Kind::Data},
        FailureCase{"SnapshotWithFourElements", "[3, 1472, [], {\"x\": []}]",
                    "invalid length 4, expected struct ExchangeScheduleSnapshot with 3 elements at line 1 column 24",
                    Kind::Data},
        FailureCase{"EmptyPositionalSnapshot", "[ ]",
                    "invalid length 0, expected struct ExchangeScheduleSnapshot with 3 elements at line 1 column 3",
                    Kind::Data},
        FailureCase{"ProblemWithOneElement", "[3, 1472, [[7]]]",
                    "invalid length 1, expected struct ExchangeScheduleProblem with 2 elements at line 1 column 14",
                    Kind::Data},
        FailureCase{"TransferWithSixElements", with_transfer(R"([0,[],[],1,"Word32",0])"),
                    "invalid length 6, expected struct ExchangeScheduleTransfer with 5 elements at line 1 column 94",
                    Kind::Data},
        FailureCase{"DestinationWithThreeElements", with_transfer(R"([0,[],[[1,2,3]],1,"Word32"])"),
                    "invalid length 3, expected struct ExchangeScheduleDestination with 2 elements at line 1 column 86",
                    Kind::Data},
        // Integers: reported at the value.
        FailureCase{"TileCountAbove16Bits", R"({"schema_version":3,"tile_count":65536,"phases":[]})",
                    "invalid value: integer `65536`, expected u16 at line 1 column 34", Kind::Data},
        FailureCase{"U32Overflow", R"([4294967296, 1, []])",
                    "invalid value: integer `4294967296`, expected u32 at line 1 column 2", Kind::Data},
        FailureCase{"BeyondU64", R"([3, 1, [[99999999999999999999999, []]]])",
                    "invalid value: integer `99999999999999999999999`, expected u32 at line 1 column 10", Kind::Data},
        FailureCase{"Negative", R"([-1, 1, []])", "invalid value: integer `-1`, expected u32 at line 1 column 2",
                    Kind::Data},
        FailureCase{"NegativeZero", R"([3, -0, []])", "invalid value: integer `-0`, expected u16 at line 1 column 5",
                    Kind::Data},
        FailureCase{"Fraction", R"([3, 1.5, []])", "invalid type: floating point `1.5`, expected u16 at line 1 column 5",
                    Kind::Data},
        FailureCase{"ExponentOfAnInteger", R"([1e2, 1, []])",
                    "invalid type: floating point `1e2`, expected u32 at line 1 column 2", Kind::Data},
        FailureCase{"IntegerWithZeroFraction", with_transfer(R"([0,[4096.0],[],1,"Word32"])"),
                    "invalid type: floating point `4096.0`, expected u32 at line 1 column 77", Kind::Data},
        FailureCase{"IntegerAsString", R"({"schema_version":"3"})",
                    "invalid type: string \"3\", expected u32 at line 1 column 19", Kind::Data},
        FailureCase{"StringIsShownUnescaped", R"([3, "a\"b\\c\u00e9\n", []])",
                    "invalid type: string \"a\\\"b\\\\c\xc3\xa9\\n\", expected u16 at line 1 column 5", Kind::Data},
        FailureCase{"IntegerAsBoolean", R"([true, 1, []])", "invalid type: boolean `true`, expected u32 at line 1 column 2",
                    Kind::Data},
        FailureCase{"IntegerAsNull", R"([3, null, []])", "invalid type: null, expected u16 at line 1 column 5", Kind::Data},
        FailureCase{"IntegerAsArray", R"([[3], 1, []])", "invalid type: sequence, expected u32 at line 1 column 2",
                    Kind::Data},
        FailureCase{"IntegerAsObject", R"([{}, 1, []])", "invalid type: map, expected u32 at line 1 column 2", Kind::Data},
        // Records and sequences of the wrong type.
        FailureCase{"SnapshotAsInteger", " 42 ", "invalid type: integer `42`, expected struct ExchangeScheduleSnapshot at line 1 column 2",
                    Kind::Data},
        FailureCase{"SnapshotAsFloat", "-4.5e1", "invalid type: floating point `-4.5e1`, expected struct ExchangeScheduleSnapshot at line 1 column 1",
                    Kind::Data},
        FailureCase{"SnapshotAsString", "\"snapshot\"",
                    "invalid type: string \"snapshot\", expected struct ExchangeScheduleSnapshot at line 1 column 1",
                    Kind::Data},
        FailureCase{"SnapshotAsNull", "null", "invalid type: null, expected struct ExchangeScheduleSnapshot at line 1 column 1",
                    Kind::Data},
        FailureCase{"PhasesAsObject", R"({"schema_version":3,"tile_count":1,"phases":{}})",
                    "invalid type: map, expected a sequence at line 1 column 45", Kind::Data},
        FailureCase{"ProblemAsString", R"([3, 1, ["phase"]])",
                    "invalid type: string \"phase\", expected struct ExchangeScheduleProblem at line 1 column 9",
                    Kind::Data},
        FailureCase{"TransferAsNull", with_transfer("null"),
                    "invalid type: null, expected struct ExchangeScheduleTransfer at line 1 column 73", Kind::Data},
        FailureCase{"DestinationAsInteger", with_transfer(R"([0,[],[5],1,"Word32"])"),
                    "invalid type: integer `5`, expected struct ExchangeScheduleDestination at line 1 column 80",
                    Kind::Data},
        FailureCase{"SourceAddressesAsInteger", with_transfer(R"([0,4096,[],1,"Word32"])"),
                    "invalid type: integer `4096`, expected a sequence at line 1 column 76", Kind::Data},
        // Widths.
        FailureCase{"WidthLowerCase", with_transfer(R"([0,[],[],1,"word32"])"),
                    "unknown variant `word32`, expected `Word32` or `Paired64` at line 1 column 84", Kind::Data},
        FailureCase{"WidthUnknownAfterUnescaping", with_transfer(R"([0,[],[],1,"Word\u0033"])"),
                    "unknown variant `Word3`, expected `Word32` or `Paired64` at line 1 column 84", Kind::Data},
        FailureCase{"WidthAsInteger", with_transfer(R"([0,[],[],1,0])"),
                    "invalid type: integer `0`, expected variant identifier at line 1 column 84", Kind::Data},
        FailureCase{"WidthAsNull", with_transfer(R"([0,[],[],1,null])"),
                    "invalid type: null, expected variant identifier at line 1 column 84", Kind::Data},
        FailureCase{"WidthAsArray", with_transfer(R"([0,[],[],1,["Word32"]])"),
                    "invalid type: sequence, expected variant identifier at line 1 column 84", Kind::Data},
        FailureCase{"WidthObjectEmpty", with_transfer(R"([0,[],[],1,{ }])"),
                    "invalid length 0, expected map with a single key at line 1 column 86", Kind::Data},
        FailureCase{"WidthObjectWithTwoKeys", with_transfer(R"([0,[],[],1,{"Word32":null,"Paired64":null}])"),
                    "invalid length 2, expected map with a single key at line 1 column 114", Kind::Data},
        FailureCase{"WidthObjectUnknownKey", with_transfer(R"([0,[],[],1,{"Word64":null}])"),
                    "unknown variant `Word64`, expected `Word32` or `Paired64` at line 1 column 85", Kind::Data},
        FailureCase{"WidthObjectWithValue", with_transfer(R"([0,[],[],1,{"Word32":1}])"),
                    "invalid type: integer `1`, expected unit at line 1 column 94", Kind::Data},
        FailureCase{"WidthObjectWithObjectValue", with_transfer(R"([0,[],[],1,{"Word32":{}}])"),
                    "invalid type: map, expected unit at line 1 column 94", Kind::Data},
        // Reading stops at the first error, even when a syntax error follows.
        FailureCase{"TypeErrorBeforeSyntaxError", "[[3, 1, []]", "invalid type: sequence, expected u32 at line 1 column 2",
                    Kind::Data}),
    [](const testing::TestParamInfo<FailureCase>& info) { return std::string(info.param.name); });

// Syntax errors: at the offending byte, whether in a field or in a value
// nobody reads.
INSTANTIATE_TEST_SUITE_P(
    Syntax, ReaderRejects,
    testing::Values(
        FailureCase{"Empty", "", "EOF while parsing a value at line 1 column 1", Kind::Syntax},
        FailureCase{"OnlyWhitespace", " \n\t ", "EOF while parsing a value at line 2 column 3", Kind::Syntax},
        FailureCase{"TrailingCharacters", std::string(minimal_document) + " x", "trailing characters at line 1 column 206",
                    Kind::Syntax},
        FailureCase{"TrailingBrace", std::string(minimal_document) + "}", "trailing characters at line 1 column 205",
                    Kind::Syntax},
        FailureCase{"SecondDocument", "[3, 1472, []]\n[3, 1472, []]", "trailing characters at line 2 column 1",
                    Kind::Syntax},
        FailureCase{"TrailingNul", std::string("[3, 1472, []]\0", 14), "trailing characters at line 1 column 14",
                    Kind::Syntax},
        FailureCase{"UnclosedObject", R"({"schema_version":3,)", "EOF while parsing an object at line 1 column 21",
                    Kind::Syntax},
        FailureCase{"UnclosedArray", "[3, 1472, [", "EOF while parsing a list at line 1 column 12", Kind::Syntax},
        FailureCase{"UnclosedString", "{\"schema_version", "EOF while parsing a string at line 1 column 17",
                    Kind::Syntax},
        FailureCase{"UnbalancedClose", "[3, 1472, []]]", "trailing characters at line 1 column 14", Kind::Syntax},
        FailureCase{"MissingComma", R"({"schema_version":3 "tile_count":1})",
                    "expected `,` or `}` at line 1 column 21", Kind::Syntax},
        FailureCase{"MissingColon", R"({"schema_version" 3})", "expected `:` at line 1 column 19", Kind::Syntax},
        FailureCase{"KeyNotAString", R"({"schema_version":3, tile_count:1})", "key must be a string at line 1 column 22",
                    Kind::Syntax},
        FailureCase{"TrailingCommaInArray", "[3, 1472, [],]", "trailing comma at line 1 column 14", Kind::Syntax},
        FailureCase{"TrailingCommaInObject", R"({"schema_version":3,})", "trailing comma at line 1 column 21",
                    Kind::Syntax},
        FailureCase{"ValueMissing", R"({"schema_version":})", "expected value at line 1 column 19", Kind::Syntax},
        FailureCase{"LiteralMisspeltWhereAnIntegerIsExpected", "[tru, 1, []]", "invalid literal at line 1 column 5",
                    Kind::Syntax},
        FailureCase{"NumberWithGarbage", "[3, 12a, []]", "invalid number at line 1 column 7", Kind::Syntax},
        FailureCase{"NumberWithTwoPoints", "[3, 1.5.3, []]", "invalid number at line 1 column 8", Kind::Syntax},
        FailureCase{"LeadingZero", "[03, 1, []]", "invalid number at line 1 column 3", Kind::Syntax},
        FailureCase{"NumberFollowedByString", "[3 \"x\", 1, []]", "expected `,` or `]` at line 1 column 4",
                    Kind::Syntax},
        FailureCase{"WidthStringFollowedByAColon",
                    with_transfer(R"({"source":1,"width":"Paired64":[1,2],"words":1})"),
                    "expected `,` or `}` at line 1 column 103", Kind::Syntax},
        FailureCase{"SkippedStringFollowedByAColon", R"({"comment": "x": 1})", "expected `,` or `}` at line 1 column 16",
                    Kind::Syntax},
        FailureCase{"StringGluedToANumber", R"({"comment": 3"schema_version", "tile_count": []})",
                    "invalid number at line 1 column 14", Kind::Syntax},
        FailureCase{"StringGluedToALiteral", R"([3, 1, [], true"x"])", "invalid literal at line 1 column 16",
                    Kind::Syntax},
        FailureCase{"ByteOrderMark", "\xef\xbb\xbf[3, 1472, []]", "expected value at line 1 column 1", Kind::Syntax},
        // Values under unknown keys are checked completely.
        FailureCase{"SkippedArrayWithDoubleComma", R"({"comment": [1, 2,, 3], "schema_version": 3})",
                    "expected value at line 1 column 19", Kind::Syntax},
        FailureCase{"SkippedNumberIncomplete", R"({"comment": {"a": [1.]}})", "invalid number at line 1 column 22",
                    Kind::Syntax},
        FailureCase{"SkippedMinusAlone", R"({"comment": -})", "invalid number at line 1 column 14", Kind::Syntax},
        FailureCase{"SkippedLiteralTooLong", R"({"comment": [truex]})", "invalid literal at line 1 column 18",
                    Kind::Syntax},
        FailureCase{"SkippedLiteralCapitalised", R"({"comment": Null})", "expected value at line 1 column 13",
                    Kind::Syntax},
        FailureCase{"SkippedStringWithBadEscape", R"({"comment": "a\x"})", "invalid escape at line 1 column 15",
                    Kind::Syntax},
        FailureCase{"SkippedStringWithShortUnicodeEscape", R"({"comment": "\u12"})", "invalid escape at line 1 column 14",
                    Kind::Syntax},
        FailureCase{"SkippedLoneSurrogate", R"({"comment": "\ud800x"})",
                    "invalid unicode code point at line 1 column 14", Kind::Syntax},
        FailureCase{"UnknownKeyWithBadEscape", R"({"comm\ent": 1})", "invalid escape at line 1 column 7",
                    Kind::Syntax},
        FailureCase{"SkippedObjectMissingColon", R"({"comment": {"a" 1}})", "expected `:` at line 1 column 18",
                    Kind::Syntax},
        FailureCase{"ExtraElementInvalid", "[3, 1472, [], -]", "invalid number at line 1 column 16", Kind::Syntax},
        FailureCase{"WidthObjectExtraKeyInvalid", with_transfer(R"([0,[],[],1,{"Word32":null,"x":01}])"),
                    "invalid number at line 1 column 104", Kind::Syntax},
        // Problems simdjson finds before any mapping, located here.
        FailureCase{"BadUtf8InString", "{\"comment\": \"ab\xff\"}", "invalid UTF-8 at line 1 column 16",
                    Kind::Syntax},
        FailureCase{"BadUtf8OnALaterLine", "[3,\n 1472,\n [], \"\xc3\xa9\xc3\"]", "invalid UTF-8 at line 3 column 9",
                    Kind::Syntax},
        FailureCase{"Utf8EncodedSurrogate", "[\"\xed\xa0\x80\", 1, []]", "invalid UTF-8 at line 1 column 3",
                    Kind::Syntax},
        FailureCase{"OverlongUtf8", "[\"\xc0\xaf\", 1, []]", "invalid UTF-8 at line 1 column 3", Kind::Syntax},
        FailureCase{"ControlCharacterInString", "[\"a\tb\", 1, []]", "control character in string at line 1 column 4",
                    Kind::Syntax},
        FailureCase{"UnclosedStringAfterValidPart", "[3, 1472, [], \"abc", "EOF while parsing a string at line 1 column 19",
                    Kind::Syntax},
        FailureCase{"DeepUnclosedNesting", "{\"x\": " + std::string(100000, '['),
                    "EOF while parsing a list at line 1 column 100007", Kind::Syntax}),
    [](const testing::TestParamInfo<FailureCase>& info) { return std::string(info.param.name); });

// Nesting: the reader's limit counts the document's own levels, so a value
// under a key of the snapshot object may nest max_snapshot_nesting - 1 deep.
INSTANTIATE_TEST_SUITE_P(
    Limits, ReaderRejects,
    testing::Values(
        FailureCase{"NestingAtTheLimitIsRead", "{\"x\":" + nested_arrays(max_snapshot_nesting - 1) + "}",
                    "missing field `schema_version` at line 1 column 2004", Kind::Data},
        FailureCase{"NestingBeyondTheLimit", "{\"x\":" + nested_arrays(max_snapshot_nesting) + "}",
                    "nesting deeper than 1000 arrays and objects at line 1 column 1005", Kind::Limit},
        FailureCase{"DeepObjectsInAnExtraElement",
                    "[3, 1, [], " + [] {
                        std::string nested;
                        for (std::size_t i = 0; i < 2 * max_snapshot_nesting; ++i) {
                            nested += "{\"a\":";
                        }
                        nested += "0";
                        for (std::size_t i = 0; i < 2 * max_snapshot_nesting; ++i) {
                            nested += "}";
                        }
                        return nested + "]";
                    }(),
                    "nesting deeper than 1000 arrays and objects at line 1 column 5007", Kind::Limit}),
    [](const testing::TestParamInfo<FailureCase>& info) { return std::string(info.param.name); });

// ---- large documents ----

// A deterministic multi-phase snapshot and its text, in either form.
struct Generated {
    ExchangeScheduleSnapshot snapshot;
    std::string text;
};

Generated generate(std::uint32_t phases, bool positional, bool pretty) {
    Generated out{{3, 1472, {}}, {}};
    std::uint64_t state = 0x9e3779b97f4a7c15ULL;
    const auto next = [&state](std::uint32_t bound) {
        state = state * 6364136223846793005ULL + 1442695040888963407ULL;
        return static_cast<std::uint32_t>((state >> 33) % bound);
    };
    const char* nl = pretty ? "\n  " : "";
    std::string& t = out.text;
    t += positional ? "[3, 1472, [" : R"({"schema_version": 3, "tile_count": 1472, "phases": [)";
    for (std::uint32_t p = 0; p < phases; ++p) {
        ExchangeScheduleProblem& problem = out.snapshot.phases.emplace_back();
        problem.phase = p * 2 + 1;
        t += fmt::format(fmt::runtime(positional ? "{}{}[{}, [" : R"({}{}{{"phase": {}, "transfers": [)"), p ? "," : "", nl,
                         problem.phase);
        const std::uint32_t transfers = next(40);
        for (std::uint32_t i = 0; i < transfers; ++i) {
            ExchangeScheduleTransfer& transfer = problem.transfers.emplace_back();
            transfer.source = static_cast<std::uint16_t>(next(1472));
            transfer.words = next(1u << 31) * 2 + 1;
            transfer.width = next(3) == 0 ? ExchangeItemWidth::Paired64 : ExchangeItemWidth::Word32;
            t += fmt::format(fmt::runtime(positional ? "{}{}[{}, [" : R"({}{}{{"source": {}, "source_addresses": [)"), i ? "," : "",
                             nl, transfer.source);
            for (std::uint32_t a = 0, n = next(5); a < n; ++a) {
                transfer.source_addresses.push_back(next(0xFFFFFFFFu));
                t += fmt::format("{}{}", a ? ", " : "", transfer.source_addresses.back());
            }
            t += positional ? "], [" : R"(], "destinations": [)";
            for (std::uint32_t d = 0, n = next(7); d < n; ++d) {
                transfer.destinations.push_back({static_cast<std::uint16_t>(next(65536)), next(0xFFFFFFFFu)});
                t += fmt::format(fmt::runtime(positional ? "{}[{}, {}]" : R"({}{{"tile": {}, "address": {}}})"), d ? ", " : "",
                                 transfer.destinations.back().tile, transfer.destinations.back().address);
            }
            const char* width = transfer.width == ExchangeItemWidth::Paired64 ? "Paired64" : "Word32";
            t += fmt::format(fmt::runtime(positional ? R"(], {}, "{}"])" : R"(], "words": {}, "width": "{}"}})"), transfer.words,
                             width);
        }
        t += positional ? "]]" : "]}";
    }
    t += positional ? "]]" : "]}";
    return out;
}

TEST(ReaderLargeDocuments, ReadEveryFieldOfEveryRecordInBothForms) {
    for (const bool positional : {false, true}) {
        for (const bool pretty : {false, true}) {
            SCOPED_TRACE(fmt::format("positional={} pretty={}", positional, pretty));
            const Generated generated = generate(2000, positional, pretty);
            ASSERT_GT(generated.text.size(), 4u << 20);
            const auto result = read_snapshot(generated.text);
            ASSERT_TRUE(result) << describe(result);
            EXPECT_TRUE(*result == generated.snapshot);
        }
    }
}

TEST(ReaderLargeDocuments, ReportsAnErrorNearTheEndAtItsLineAndColumn) {
    std::string text = generate(2000, false, true).text;
    // Break the last width of the document: "Word32" or "Paired64" becomes
    // an unknown variant; count the line and column independently.
    const std::size_t width = text.rfind("\"width\": \"") + 10;
    text[width] = 'X';
    const std::size_t line = 1 + static_cast<std::size_t>(std::count(text.begin(), text.begin() + width, '\n'));
    const std::size_t column = width - text.rfind('\n', width);
    const auto result = read_snapshot(text);
    ASSERT_FALSE(result);
    EXPECT_EQ(result.error().line, line);
    EXPECT_EQ(result.error().column, column - 1);  // the opening quote, one before the changed byte
    EXPECT_THAT(result.error().message, testing::StartsWith("unknown variant `X"));
}

// ---- the two entry points and the buffer ----

TEST(ReaderEntryPoints, BytesAndTextReadAlike) {
    const SnapshotBytes bytes(minimal_document);
    const auto from_bytes = read_snapshot(bytes);
    ASSERT_TRUE(from_bytes) << describe(from_bytes);
    EXPECT_EQ(*from_bytes, minimal_snapshot());

    const SnapshotBytes broken("[3, 1472]");
    const auto error = read_snapshot(broken);
    ASSERT_FALSE(error);
    EXPECT_EQ(error.error(), read_snapshot(std::string_view("[3, 1472]")).error());
}

TEST(ReaderEntryPoints, OneReaderReadsDocumentsInTurnAsIfFresh) {
    // Failures in the middle of sequences leave partial elements behind in
    // the reader; later documents must not see them.
    const std::vector<std::string> documents = {
        generate(50, false, false).text,
        with_transfer(R"([1,[1,2,3],[[1,2],[3,4],[5,6]],1,"Word33"])"),
        R"([3, 1, [[1, [[0, [7], [[1, 2]], 1, "Word32"], [0, [8, -1]]]]]])",
        minimal_document,
        "[3, 1472, [[1, [[0, [1], [], 1, \"Word32\"], 5]]]]",
        generate(10, true, true).text,
        "[3, 1472, [[2, []], [3, [[0, [], [], 0, \"Paired64\"]]]]]",
    };
    SnapshotReader reader;
    for (int round = 0; round < 2; ++round) {
        for (const std::string& document : documents) {
            SCOPED_TRACE(document.substr(0, 60));
            EXPECT_EQ(reader.read(document), read_snapshot(document));
        }
    }
}

TEST(SnapshotBytes, KeepsContentWhileGrowingAndZeroesThePadding) {
    SnapshotBytes bytes;
    EXPECT_EQ(bytes.size(), 0u);
    std::string expected;
    // Grow the way a file reader does: a block at a time.
    for (int block = 0; block < 50; ++block) {
        const std::size_t old_size = bytes.size();
        bytes.resize(old_size + 1000);
        std::memset(bytes.data() + old_size, 'a' + block % 26, 1000);
        expected.append(1000, static_cast<char>('a' + block % 26));
        ASSERT_GE(bytes.capacity(), bytes.size() + SnapshotBytes::padding);
    }
    EXPECT_EQ(bytes.view(), expected);
    bytes.resize(10);  // shrinking keeps the prefix and pads after it
    EXPECT_EQ(bytes.view(), expected.substr(0, 10));
    for (std::size_t i = 0; i < SnapshotBytes::padding; ++i) {
        ASSERT_EQ(bytes.data()[10 + i], '\0') << "padding byte " << i;
    }
}

TEST(SnapshotReadError, RendersThePositionOnlyWhenThereIsOne) {
    EXPECT_EQ((SnapshotReadError{"missing field `words`", 1, 118, Kind::Data}).render(),
              "missing field `words` at line 1 column 118");
    EXPECT_EQ((SnapshotReadError{"Is a directory (os error 21)"}).render(), "Is a directory (os error 21)");
}

// ---- the public JSON conformance corpus ----

std::string read_file(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

TEST(ReaderConformance, RejectsInvalidJsonAndNeverCallsValidJsonASyntaxError) {
    const std::filesystem::path dir = VORN_JSONTESTSUITE_DIR;
    if (!std::filesystem::is_directory(dir)) {
        GTEST_SKIP() << "JSON conformance corpus not found at " << dir << "; skipping";
    }
    std::size_t files = 0;
    for (const auto& entry : std::filesystem::directory_iterator(dir)) {
        const std::string name = entry.path().filename().string();
        if (entry.path().extension() != ".json" || name.size() < 2 || name[1] != '_') {
            continue;
        }
        ++files;
        SCOPED_TRACE(name);
        const auto result = read_snapshot(read_file(entry.path()));
        switch (name[0]) {
        case 'n':  // invalid JSON: never accepted (a data error may come first)
            EXPECT_FALSE(result) << "accepted";
            break;
        case 'y':  // valid JSON: fails, if at all, as not being a snapshot
            if (!result) {
                EXPECT_EQ(result.error().kind, Kind::Data) << result.error().render();
            }
            break;
        default:  // either way; reaching here means it did not crash
            break;
        }
    }
    EXPECT_GT(files, 0u) << "no y_/n_/i_ files in " << dir;
}

}  // namespace
}  // namespace vorn::codegen
