#include "common/json_writer.hpp"

#include <gtest/gtest.h>

#include <bit>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>

#include "common/json_reader.hpp"

namespace korvane::json {
namespace {

// ---- float layout ----

struct FloatCase {
    double value;
    const char* expected;
};

TEST(JsonFloat, LayoutMatchesTheDocumentedForms) {
    const FloatCase cases[] = {
        // integer form
        {1.0, "1.0"},
        {123.0, "123.0"},
        {1e15, "1000000000000000.0"},
        {1234567890123456.0, "1234567890123456.0"},
        // point inside the digits
        {1.5, "1.5"},
        {123.456, "123.456"},
        {0.5, "0.5"},
        {1234567890.1234567, "1234567890.1234567"},
        // leading "0."
        {0.1, "0.1"},
        {0.0001, "0.0001"},
        {1e-5, "0.00001"},
        {0.000123, "0.000123"},
        {0.30000000000000004, "0.30000000000000004"},
        // exponent form
        {1e16, "1e16"},
        {1.2345678901234568e16, "1.2345678901234568e16"},
        {1e20, "1e20"},
        {1.2345e17, "1.2345e17"},
        {1e-6, "1e-6"},
        {1e-7, "1e-7"},
        {1.5e-6, "1.5e-6"},
        {5e-324, "5e-324"},
        {std::numeric_limits<double>::max(), "1.7976931348623157e308"},
        {std::numeric_limits<double>::min(), "2.2250738585072014e-308"},
        // signs and zero
        {0.0, "0.0"},
        {-0.0, "-0.0"},
        {-1.0, "-1.0"},
        {-1.5e-6, "-1.5e-6"},
        {-1e20, "-1e20"},
        {-0.001, "-0.001"},
        // not representable in JSON
        {std::numeric_limits<double>::quiet_NaN(), "null"},
        {std::numeric_limits<double>::infinity(), "null"},
        {-std::numeric_limits<double>::infinity(), "null"},
    };
    for (const auto& c : cases) EXPECT_EQ(format_float(c.value), c.expected) << c.expected;
}

void expect_float_round_trips(double value) {
    const std::string text = format_float(value);
    ASSERT_TRUE(text.find_first_of(".e") != std::string::npos) << text;
    double back = 0;
    const auto [ptr, ec] = std::from_chars(text.data(), text.data() + text.size(), back);
    ASSERT_EQ(ec, std::errc{}) << text;
    ASSERT_EQ(ptr, text.data() + text.size()) << text;
    ASSERT_EQ(std::bit_cast<std::uint64_t>(back), std::bit_cast<std::uint64_t>(value)) << text;
    // Our own reader must agree and keep it a float.
    auto parsed = parse(text);
    ASSERT_TRUE(parsed.ok()) << text;
    ASSERT_EQ(parsed->kind(), Kind::Float) << text;
    ASSERT_EQ(std::bit_cast<std::uint64_t>(*parsed->as_double()),
              std::bit_cast<std::uint64_t>(value))
        << text;
}

TEST(JsonFloat, RandomBitPatternsRoundTripExactly) {
    std::mt19937_64 rng(20240611);
    for (int i = 0; i < 200000; ++i) {
        const double value = std::bit_cast<double>(rng());
        if (!std::isfinite(value)) continue;
        expect_float_round_trips(value);
    }
}

TEST(JsonFloat, RandomEverydayMagnitudesRoundTripExactly) {
    // Random bit patterns rarely land near 1; these cover the positional forms.
    std::mt19937_64 rng(7);
    std::uniform_real_distribution<double> mantissa(-10.0, 10.0);
    std::uniform_int_distribution<int> exponent(-8, 18);
    for (int i = 0; i < 100000; ++i) {
        const double value = mantissa(rng) * std::pow(10.0, exponent(rng));
        expect_float_round_trips(value);
        expect_float_round_trips(std::round(value));
    }
}

// ---- strings and integers ----

struct QuoteCase {
    std::string_view text;
    const char* expected;
};

TEST(JsonWriterStrings, EscapesWhatJsonRequiresAndNothingElse) {
    using namespace std::string_view_literals;
    const QuoteCase cases[] = {
        {"plain", R"("plain")"},
        {"", R"("")"},
        {"say \"hi\"", R"("say \"hi\"")"},
        {"back\\slash", R"("back\\slash")"},
        {"a/b", R"("a/b")"},
        {"\n\r\t\b\f", R"("\n\r\t\b\f")"},
        {"\x01\x1f", R"("\u0001\u001f")"},
        {"nul\0byte"sv, R"("nul\u0000byte")"},
        {"\x7f", "\"\x7f\""},
        {"caf\xc3\xa9 \xf0\x9f\x98\x80", "\"caf\xc3\xa9 \xf0\x9f\x98\x80\""},
    };
    for (const auto& c : cases) {
        std::string out;
        append_quoted(out, c.text);
        EXPECT_EQ(out, c.expected) << c.expected;
    }
}

TEST(JsonWriterStrings, IntegersArePlainDecimal) {
    EXPECT_EQ(write(Value(std::numeric_limits<std::int64_t>::min())), "-9223372036854775808");
    EXPECT_EQ(write(Value(std::numeric_limits<std::uint64_t>::max())), "18446744073709551615");
    EXPECT_EQ(write(Value(0)), "0");
    EXPECT_EQ(write(Value(-42)), "-42");
}

// ---- DOM writing ----

struct LayoutCase {
    const char* name;
    Value value;
    const char* compact;
    const char* pretty;
};

TEST(JsonWriterDom, CompactAndPrettyLayouts) {
    const LayoutCase cases[] = {
        {"scalar", Value(true), "true", "true"},
        {"null", Value(), "null", "null"},
        {"empty array", Value::array(), "[]", "[]"},
        {"empty object", Value::object(), "{}", "{}"},
        {"flat array", Value::array().push(1).push(2.5).push("x"), R"([1,2.5,"x"])",
         "[\n  1,\n  2.5,\n  \"x\"\n]"},
        {"nested",
         Value::object()
             .push("name", "a")
             .push("points",
                   Value::array().push(Value::array().push(1).push(2)).push(Value::array()))
             .push("meta", Value::object())
             .push("inner", Value::object().push("k", Value())),
         R"({"name":"a","points":[[1,2],[]],"meta":{},"inner":{"k":null}})",
         "{\n"
         "  \"name\": \"a\",\n"
         "  \"points\": [\n"
         "    [\n"
         "      1,\n"
         "      2\n"
         "    ],\n"
         "    []\n"
         "  ],\n"
         "  \"meta\": {},\n"
         "  \"inner\": {\n"
         "    \"k\": null\n"
         "  }\n"
         "}"},
        {"duplicate keys in insertion order",
         Value::object().push("b", 1).push("a", 2).push("b", 3),
         R"({"b":1,"a":2,"b":3})", "{\n  \"b\": 1,\n  \"a\": 2,\n  \"b\": 3\n}"},
        {"non-finite floats", Value::array().push(std::nan("")).push(-INFINITY), "[null,null]",
         "[\n  null,\n  null\n]"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(write(c.value), c.compact) << c.name;
        EXPECT_EQ(write(c.value, Style::Pretty), c.pretty) << c.name;
    }
}

TEST(JsonWriterDom, WriteToAppends) {
    std::string out = "x=";
    write_to(out, Value::array().push(1));
    EXPECT_EQ(out, "x=[1]");
}

// ---- streaming ----

void write_points(JsonWriter& w) {
    w.begin_object().key("kind").value("points").key("points").begin_array();
    for (int i = 0; i < 2; ++i) w.begin_array().value(i).value(i * 0.5).end_array();
    w.end_array().key("tags").begin_array().end_array().key("ok").value(true).end_object();
}

TEST(JsonStreamingWriter, MatchesExpectedTextInBothStyles) {
    std::string compact;
    JsonWriter cw(compact);
    EXPECT_FALSE(cw.complete());
    write_points(cw);
    EXPECT_TRUE(cw.complete());
    EXPECT_EQ(compact, R"({"kind":"points","points":[[0,0.0],[1,0.5]],"tags":[],"ok":true})");

    std::string pretty;
    JsonWriter pw(pretty, Style::Pretty);
    write_points(pw);
    EXPECT_EQ(pretty,
              "{\n"
              "  \"kind\": \"points\",\n"
              "  \"points\": [\n"
              "    [\n"
              "      0,\n"
              "      0.0\n"
              "    ],\n"
              "    [\n"
              "      1,\n"
              "      0.5\n"
              "    ]\n"
              "  ],\n"
              "  \"tags\": [],\n"
              "  \"ok\": true\n"
              "}");
}

TEST(JsonStreamingWriter, OpenContainerIsNotComplete) {
    std::string out;
    JsonWriter w(out);
    w.begin_array().value(1);
    EXPECT_FALSE(w.complete());
    w.end_array();
    EXPECT_TRUE(w.complete());
}

TEST(JsonStreamingWriter, KeysAreEscaped) {
    std::string out;
    JsonWriter(out).begin_object().key("a\"b\n").value(nullptr).end_object();
    EXPECT_EQ(out, R"({"a\"b\n":null})");
}

// ---- DOM value API ----

TEST(JsonValue, FindReturnsFirstOfDuplicateKeys) {
    const Value v = Value::object().push("x", 1).push("y", 2).push("x", 3);
    ASSERT_NE(v.find("x"), nullptr);
    EXPECT_EQ(v.find("x")->as_int64(), 1);
    EXPECT_EQ(v.find("missing"), nullptr);
    EXPECT_EQ(Value::array().push(1).find("x"), nullptr);
    EXPECT_EQ(Value("x").find("x"), nullptr);
    ASSERT_NE(v.as_object(), nullptr);
    EXPECT_EQ(v.as_object()->size(), 3u);
}

TEST(JsonValue, IntegerAccessorsRespectRangeAndSign) {
    struct Case {
        Value value;
        std::optional<std::int64_t> i64;
        std::optional<std::uint64_t> u64;
    };
    const Case cases[] = {
        {Value(-1), -1, std::nullopt},
        {Value(0), 0, 0u},
        {Value(std::uint64_t{1} << 63), std::nullopt, std::uint64_t{1} << 63},
        {Value(std::numeric_limits<std::int64_t>::max()), std::numeric_limits<std::int64_t>::max(),
         static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())},
        {Value(1.0), std::nullopt, std::nullopt},  // a float is never an integer
        {Value("1"), std::nullopt, std::nullopt},
        {Value(true), std::nullopt, std::nullopt},
    };
    for (const auto& c : cases) {
        const std::string text = write(c.value);
        EXPECT_EQ(c.value.as_int64(), c.i64) << text;
        EXPECT_EQ(c.value.as_uint64(), c.u64) << text;
    }
    EXPECT_EQ(Value(3).as_double(), 3.0);
    EXPECT_EQ(Value("3").as_double(), std::nullopt);
    EXPECT_EQ(Value(true).as_bool(), true);
    EXPECT_EQ(Value(1).as_bool(), std::nullopt);
}

TEST(JsonValue, EqualityComparesIntegersByValueButNotAcrossFloats) {
    EXPECT_EQ(Value(std::int64_t{5}), Value(std::uint64_t{5}));
    EXPECT_NE(Value(std::int64_t{-1}), Value(std::numeric_limits<std::uint64_t>::max()));
    EXPECT_NE(Value(1), Value(1.0));
    EXPECT_NE(Value(), Value(false));
    EXPECT_NE(Value("a"), Value("b"));
    EXPECT_EQ(Value::object().push("a", 1), Value::object().push("a", 1));
    EXPECT_NE(Value::object().push("a", 1).push("b", 2), Value::object().push("b", 2).push("a", 1));
    EXPECT_NE(Value::array().push(1), Value::array().push(1).push(1));
}

TEST(JsonValue, KindsAndMutableAccess) {
    Value v = Value::object();
    EXPECT_TRUE(v.is_object());
    v.push("list", Value::array());
    Value* list = v.find("list");
    ASSERT_NE(list, nullptr);
    list->push("a");
    ASSERT_NE(list->as_array(), nullptr);
    EXPECT_EQ(write(v), R"({"list":["a"]})");
    EXPECT_EQ(kind_name(Value(1).kind()), "integer");
    EXPECT_EQ(kind_name(Value::array().kind()), "array");
}

}  // namespace
}  // namespace korvane::json
