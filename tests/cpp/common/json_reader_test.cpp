#include "common/json_reader.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <string>

#include "common/json_writer.hpp"

namespace korvane::json {
namespace {

// Far below the smallest subnormal, and far above the largest double.
const std::string kTinyDecimal = "0." + std::string(400, '0') + "1";
const std::string kHugeInteger = "1" + std::string(400, '0');

struct ValidCase {
    std::string_view text;
    const char* compact;  // what the writer gives back
};

TEST(JsonReader, ValidDocumentsRoundTripThroughTheWriter) {
    using namespace std::string_view_literals;
    const ValidCase cases[] = {
        {"null", "null"},
        {"true", "true"},
        {" \t\r\nfalse \n", "false"},
        {"0", "0"},
        {"-0", "0"},
        {"-12", "-12"},
        {"1.0", "1.0"},
        {"1E2", "100.0"},
        {"1e+2", "100.0"},
        {"0.1e1", "1.0"},
        {"-0.0", "-0.0"},
        {"2.5e-3", "0.0025"},
        {"1.7976931348623157e308", "1.7976931348623157e308"},
        {"1e-400", "0.0"},   // underflow is fine
        {"-1e-400", "-0.0"},
        {kTinyDecimal, "0.0"},
        {"4.9406564584124654e-324", "5e-324"},
        {"100000000000000000000000", "1e23"},
        {R"("")", R"("")"},
        {R"("a\"b\\c\/d\b\f\n\r\t")", R"("a\"b\\c/d\b\f\n\r\t")"},
        {R"("\u0041\u00e9\u20AC")", "\"A\xc3\xa9\xe2\x82\xac\""},
        {R"("\ud83d\ude00")", "\"\xf0\x9f\x98\x80\""},
        {R"("\u0000")", R"("\u0000")"},
        {"\"caf\xc3\xa9 \xf4\x8f\xbf\xbf\"", "\"caf\xc3\xa9 \xf4\x8f\xbf\xbf\""},
        {"[]", "[]"},
        {"[ ]", "[]"},
        {"{ }", "{}"},
        {"[1, [2, [3]], {}]", "[1,[2,[3]],{}]"},
        {R"( { "b" : 1 , "a" : [ true , null ] } )", R"({"b":1,"a":[true,null]})"},
        {R"({"":{"":""}})", R"({"":{"":""}})"},
    };
    for (const auto& c : cases) {
        auto parsed = parse(c.text);
        ASSERT_TRUE(parsed.ok()) << c.text << ": " << parsed.error().display();
        EXPECT_EQ(write(*parsed), c.compact) << c.text;
    }
}

struct InvalidCase {
    std::string_view text;
    const char* message;
    std::size_t line;
    std::size_t column;
};

TEST(JsonReader, InvalidDocumentsReportMessageAndPosition) {
    using namespace std::string_view_literals;
    const InvalidCase cases[] = {
        // structure
        {"", "unexpected end of input", 1, 1},
        {"   ", "unexpected end of input", 1, 4},
        {"[1,", "unexpected end of input", 1, 4},
        {"{\"a\"", "unexpected end of input", 1, 5},
        {"[1,]", "expected value", 1, 4},
        {"[,1]", "expected value", 1, 2},
        {"{\"a\":1,}", "expected object key", 1, 8},
        {"{1:2}", "expected object key", 1, 2},
        {"{'a':1}", "expected object key", 1, 2},
        {"[1 2]", "expected ',' or ']'", 1, 4},
        {"{\"a\" 1}", "expected ':'", 1, 6},
        {"{\"a\":1 \"b\":2}", "expected ',' or '}'", 1, 8},
        {"[1] x", "trailing characters after value", 1, 5},
        {"1 2", "trailing characters after value", 1, 3},
        {"{}}", "trailing characters after value", 1, 3},
        {"// note\n1", "expected value", 1, 1},
        {"\xef\xbb\xbf{}", "expected value", 1, 1},
        {"{\n  \"a\": [1,\n  ]\n}", "expected value", 3, 3},
        // literals
        {"tru", "invalid literal", 1, 1},
        {"[nul]", "invalid literal", 1, 2},
        {"True", "expected value", 1, 1},
        {"NaN", "expected value", 1, 1},
        {"Infinity", "expected value", 1, 1},
        {"-Infinity", "invalid number", 1, 2},
        // numbers
        {"01", "leading zero in number", 1, 1},
        {"[-00]", "leading zero in number", 1, 2},
        {"1.", "invalid number", 1, 3},
        {"1.e5", "invalid number", 1, 3},
        {".5", "expected value", 1, 1},
        {"+1", "expected value", 1, 1},
        {"-", "invalid number", 1, 2},
        {"1e", "invalid number", 1, 3},
        {"1e+", "invalid number", 1, 4},
        {"0x10", "trailing characters after value", 1, 2},
        {"1e400", "number out of range", 1, 1},
        {"[0, -1.5e99999999999999999999]", "number out of range", 1, 5},
        {kHugeInteger, "number out of range", 1, 1},
        // strings
        {"\"abc", "unterminated string", 1, 1},
        {"[\"a\\", "unterminated string", 1, 2},
        {"\"a\nb\"", "control character in string", 1, 3},
        {"\"a\tb\"", "control character in string", 1, 3},
        {"\"\x7f\x01\"", "control character in string", 1, 3},
        {R"("\x")", "invalid escape", 1, 2},
        {R"("\U0041")", "invalid escape", 1, 2},
        {R"("\u12")", "invalid \\u escape", 1, 2},
        {R"("\u12G4")", "invalid \\u escape", 1, 2},
        {R"("\ud800")", "unpaired surrogate in \\u escape", 1, 2},
        {R"("\udc00\ud800")", "unpaired surrogate in \\u escape", 1, 2},
        {R"("ab\ud800\u0041")", "unpaired surrogate in \\u escape", 1, 4},
        {R"("\ud800\ud800")", "unpaired surrogate in \\u escape", 1, 2},
        {R"("\ud800)", "unpaired surrogate in \\u escape", 1, 2},
        {"\"\xff\"", "invalid UTF-8 in string", 1, 2},
        {"\"\x80\"", "invalid UTF-8 in string", 1, 2},
        {"\"\xc0\xaf\"", "invalid UTF-8 in string", 1, 2},          // overlong '/'
        {"\"\xe0\x80\xaf\"", "invalid UTF-8 in string", 1, 2},      // overlong, 3 bytes
        {"\"\xf0\x80\x80\xaf\"", "invalid UTF-8 in string", 1, 2},  // overlong, 4 bytes
        {"\"\xed\xa0\x80\"", "invalid UTF-8 in string", 1, 2},      // encoded surrogate
        {"\"\xf4\x90\x80\x80\"", "invalid UTF-8 in string", 1, 2},  // above U+10FFFF
        {"\"ok\xe2\x82\"", "invalid UTF-8 in string", 1, 4},        // truncated sequence
        {"\"\xe2\x82", "invalid UTF-8 in string", 1, 2},            // truncated at end
        {"{\"k\xc3\":1}", "invalid UTF-8 in string", 1, 4},         // keys are checked too
    };
    for (const auto& c : cases) {
        auto parsed = parse(c.text);
        ASSERT_FALSE(parsed.ok()) << c.text;
        const ParseError& e = parsed.error();
        EXPECT_EQ(e.message, c.message) << c.text;
        EXPECT_EQ(e.line, c.line) << c.text;
        EXPECT_EQ(e.column, c.column) << c.text;
    }
}

TEST(JsonReader, ErrorDisplayNamesLineAndColumn) {
    auto parsed = parse("[1,\n  2,\n  x]");
    ASSERT_FALSE(parsed.ok());
    EXPECT_EQ(parsed.error().display(), "expected value at line 3 column 3");
    EXPECT_EQ(parsed.error().offset, 11u);
}

TEST(JsonReader, DuplicateKeysAreKeptInOrder) {
    auto parsed = parse(R"({"x":1,"y":2,"x":3})");
    ASSERT_TRUE(parsed.ok());
    const Object* members = parsed->as_object();
    ASSERT_NE(members, nullptr);
    ASSERT_EQ(members->size(), 3u);
    EXPECT_EQ((*members)[0].key, "x");
    EXPECT_EQ((*members)[1].key, "y");
    EXPECT_EQ((*members)[2].key, "x");
    EXPECT_EQ((*members)[2].value.as_uint64(), 3u);
    EXPECT_EQ(parsed->find("x")->as_uint64(), 1u);
}

struct NumberKindCase {
    const char* text;
    Kind kind;
    std::optional<std::int64_t> i64;
    std::optional<std::uint64_t> u64;
    double as_double;
};

TEST(JsonReader, NumberKindsKeepIntegerNessAndSign) {
    constexpr auto kU64Max = std::numeric_limits<std::uint64_t>::max();
    constexpr auto kI64Min = std::numeric_limits<std::int64_t>::min();
    const NumberKindCase cases[] = {
        {"0", Kind::UInt, 0, 0u, 0.0},
        {"-0", Kind::Int, 0, 0u, 0.0},
        {"7", Kind::UInt, 7, 7u, 7.0},
        {"-7", Kind::Int, -7, std::nullopt, -7.0},
        {"9223372036854775808", Kind::UInt, std::nullopt, std::uint64_t{1} << 63,
         9223372036854775808.0},
        {"18446744073709551615", Kind::UInt, std::nullopt, kU64Max, 18446744073709551615.0},
        {"18446744073709551616", Kind::Float, std::nullopt, std::nullopt, 18446744073709551616.0},
        {"-9223372036854775808", Kind::Int, kI64Min, std::nullopt, -9223372036854775808.0},
        {"-9223372036854775809", Kind::Float, std::nullopt, std::nullopt, -9223372036854775808.0},
        {"1.0", Kind::Float, std::nullopt, std::nullopt, 1.0},
        {"1e2", Kind::Float, std::nullopt, std::nullopt, 100.0},
        {"-1.5", Kind::Float, std::nullopt, std::nullopt, -1.5},
    };
    for (const auto& c : cases) {
        auto parsed = parse(c.text);
        ASSERT_TRUE(parsed.ok()) << c.text;
        EXPECT_EQ(parsed->kind(), c.kind) << c.text;
        EXPECT_EQ(parsed->as_int64(), c.i64) << c.text;
        EXPECT_EQ(parsed->as_uint64(), c.u64) << c.text;
        EXPECT_EQ(parsed->as_double(), c.as_double) << c.text;
    }
}

TEST(JsonReader, ParsePrefixStopsAfterOneValue) {
    const std::string_view text = "{\"a\":1}\n{\"b\":2}";
    auto first = parse_prefix(text);
    ASSERT_TRUE(first.ok());
    EXPECT_EQ(write(first->first), R"({"a":1})");
    EXPECT_EQ(first->second, 7u);

    auto second = parse_prefix(text.substr(first->second));
    ASSERT_TRUE(second.ok());
    EXPECT_EQ(write(second->first), R"({"b":2})");
    EXPECT_EQ(first->second + second->second, text.size());

    // A whole document with the same text is an error.
    auto whole = parse(text);
    ASSERT_FALSE(whole.ok());
    EXPECT_EQ(whole.error().display(), "trailing characters after value at line 2 column 1");
}

TEST(JsonReader, ParsePrefixLeavesTrailingTextAndReportsErrors) {
    auto scalar = parse_prefix("  42 x");
    ASSERT_TRUE(scalar.ok());
    EXPECT_EQ(scalar->first.as_uint64(), 42u);
    EXPECT_EQ(scalar->second, 4u);  // just past the digits, before the space

    auto empty = parse_prefix(" \n");
    ASSERT_FALSE(empty.ok());
    EXPECT_EQ(empty.error().display(), "unexpected end of input at line 2 column 1");

    auto bad = parse_prefix("[1,]\n");
    ASSERT_FALSE(bad.ok());
    EXPECT_EQ(bad.error().message, "expected value");
}

TEST(JsonReader, NestingDepthIsLimited) {
    auto nested = [](const char* open, const char* close, std::size_t depth) {
        std::string text;
        for (std::size_t i = 0; i < depth; ++i) text += open;
        text += "0";
        for (std::size_t i = 0; i < depth; ++i) text += close;
        return text;
    };
    auto arrays = parse(nested("[", "]", kMaxDepth));
    ASSERT_TRUE(arrays.ok()) << arrays.error().display();
    auto objects = parse(nested("{\"k\":", "}", kMaxDepth));
    ASSERT_TRUE(objects.ok()) << objects.error().display();

    struct Case {
        std::string text;
        std::size_t column;
    };
    const Case too_deep[] = {
        {nested("[", "]", kMaxDepth + 1), kMaxDepth + 1},
        {nested("{\"k\":", "}", kMaxDepth + 1), 5 * kMaxDepth + 1},
        {std::string(1'000'000, '['), kMaxDepth + 1},  // hostile input, unbalanced
    };
    for (const auto& c : too_deep) {
        auto parsed = parse(c.text);
        ASSERT_FALSE(parsed.ok());
        EXPECT_EQ(parsed.error().message, "nesting too deep");
        EXPECT_EQ(parsed.error().column, c.column);
    }
}

// Mutated documents must be rejected or accepted without crashing; anything accepted must
// survive a write/parse round trip unchanged.
TEST(JsonReader, MutatedDocumentsNeverCrash) {
    const std::string seeds[] = {
        R"({"name":"caf\u00e9","pts":[[1,2.5],[-3,4e-7]],"ok":true,"none":null})",
        "[\"\xf0\x9f\x98\x80\\ud83d\\ude00\", 18446744073709551615, -0.0, {\"a\":{\"b\":[]}}]",
        "{\n  \"x\": [1,\n    2],\n  \"y\": \"\\\"\\\\\\n\"\n}",
    };
    const char interesting[] = {'[', ']', '{', '}', '"', '\\', ',', ':', '0', '-', 'e', '.', 'u',
                                '\x00', '\x7f', '\x80', '\xc3', '\xed', '\xf4', '\xff', ' ', '\n'};
    std::mt19937 rng(12345);
    auto pick = [&rng](std::size_t n) {
        return std::uniform_int_distribution<std::size_t>(0, n - 1)(rng);
    };
    for (int i = 0; i < 30000; ++i) {
        std::string text = seeds[pick(std::size(seeds))];
        const int edits = 1 + static_cast<int>(pick(3));
        for (int e = 0; e < edits && !text.empty(); ++e) {
            const std::size_t at = pick(text.size());
            const char byte = pick(2) ? interesting[pick(sizeof interesting)]
                                      : static_cast<char>(pick(256));
            switch (pick(4)) {
                case 0: text[at] = byte; break;
                case 1: text.erase(at, 1); break;
                case 2: text.insert(at, 1, byte); break;
                case 3: text.resize(at); break;
            }
        }
        auto parsed = parse(text);
        if (!parsed.ok()) {
            const ParseError& err = parsed.error();
            ASSERT_LE(err.offset, text.size()) << text;
            ASSERT_FALSE(err.message.empty());
            continue;
        }
        auto again = parse(write(*parsed));
        ASSERT_TRUE(again.ok()) << text;
        ASSERT_EQ(*again, *parsed) << text;
    }
}

}  // namespace
}  // namespace korvane::json
