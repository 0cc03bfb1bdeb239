#include "common/json_reader.hpp"

#include <algorithm>
#include <charconv>
#include <cstdint>

namespace korvane::json {
namespace {

// Exponents are only needed to tell overflow from underflow, so they saturate here.
constexpr std::int64_t kExponentCap = 1'000'000'000;

bool is_digit(char c) { return c >= '0' && c <= '9'; }

int hex_value(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

void append_utf8(std::string& out, std::uint32_t cp) {
    if (cp < 0x80) {
        out += static_cast<char>(cp);
    } else if (cp < 0x800) {
        out += static_cast<char>(0xC0 | (cp >> 6));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        out += static_cast<char>(0xE0 | (cp >> 12));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (cp >> 18));
        out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    }
}

class Parser {
public:
    explicit Parser(std::string_view text) : text_(text) {}

    bool parse_value(Value& out);
    void skip_whitespace();
    bool at_end() const { return pos_ >= text_.size(); }
    std::size_t pos() const { return pos_; }
    bool fail(std::size_t offset, const char* message);
    ParseError error() const;

private:
    bool parse_array(Value& out);
    bool parse_object(Value& out);
    bool parse_string(std::string& out);
    bool parse_escape(std::string& out);
    bool copy_utf8_sequence(std::string& out);
    bool parse_number(Value& out);
    bool parse_literal(std::string_view word, Value literal, Value& out);
    bool expect_more(std::size_t offset);

    char peek() const { return text_[pos_]; }

    std::string_view text_;
    std::size_t pos_ = 0;
    std::size_t depth_ = 0;
    std::size_t error_offset_ = 0;
    const char* error_message_ = "";
};

bool Parser::fail(std::size_t offset, const char* message) {
    error_offset_ = offset;
    error_message_ = message;
    return false;
}

ParseError Parser::error() const {
    ParseError e;
    e.message = error_message_;
    e.offset = error_offset_;
    const std::string_view before = text_.substr(0, error_offset_);
    e.line = 1 + static_cast<std::size_t>(std::count(before.begin(), before.end(), '\n'));
    const std::size_t last_newline = before.rfind('\n');
    e.column = last_newline == std::string_view::npos ? error_offset_ + 1
                                                      : error_offset_ - last_newline;
    return e;
}

void Parser::skip_whitespace() {
    while (pos_ < text_.size()) {
        const char c = peek();
        if (c != ' ' && c != '\t' && c != '\n' && c != '\r') return;
        ++pos_;
    }
}

bool Parser::expect_more(std::size_t offset) {
    if (pos_ < text_.size()) return true;
    return fail(offset, "unexpected end of input");
}

bool Parser::parse_value(Value& out) {
    skip_whitespace();
    if (!expect_more(pos_)) return false;
    switch (peek()) {
        case '{': return parse_object(out);
        case '[': return parse_array(out);
        case '"': {
            std::string s;
            if (!parse_string(s)) return false;
            out = Value(std::move(s));
            return true;
        }
        case 't': return parse_literal("true", Value(true), out);
        case 'f': return parse_literal("false", Value(false), out);
        case 'n': return parse_literal("null", Value(), out);
        default:
            if (peek() == '-' || is_digit(peek())) return parse_number(out);
            return fail(pos_, "expected value");
    }
}

bool Parser::parse_literal(std::string_view word, Value literal, Value& out) {
    if (text_.substr(pos_, word.size()) != word) return fail(pos_, "invalid literal");
    pos_ += word.size();
    out = std::move(literal);
    return true;
}

bool Parser::parse_array(Value& out) {
    if (++depth_ > kMaxDepth) return fail(pos_, "nesting too deep");
    ++pos_;  // '['
    Array items;
    skip_whitespace();
    if (pos_ < text_.size() && peek() == ']') {
        ++pos_;
    } else {
        while (true) {
            Value item;
            if (!parse_value(item)) return false;
            items.push_back(std::move(item));
            skip_whitespace();
            if (!expect_more(pos_)) return false;
            const char c = peek();
            ++pos_;
            if (c == ']') break;
            if (c != ',') return fail(pos_ - 1, "expected ',' or ']'");
        }
    }
    --depth_;
    out = Value(std::move(items));
    return true;
}

bool Parser::parse_object(Value& out) {
    if (++depth_ > kMaxDepth) return fail(pos_, "nesting too deep");
    ++pos_;  // '{'
    Object members;
    skip_whitespace();
    if (pos_ < text_.size() && peek() == '}') {
        ++pos_;
    } else {
        while (true) {
            skip_whitespace();
            if (!expect_more(pos_)) return false;
            if (peek() != '"') return fail(pos_, "expected object key");
            Member member;
            if (!parse_string(member.key)) return false;
            skip_whitespace();
            if (!expect_more(pos_)) return false;
            if (peek() != ':') return fail(pos_, "expected ':'");
            ++pos_;
            if (!parse_value(member.value)) return false;
            members.push_back(std::move(member));
            skip_whitespace();
            if (!expect_more(pos_)) return false;
            const char c = peek();
            ++pos_;
            if (c == '}') break;
            if (c != ',') return fail(pos_ - 1, "expected ',' or '}'");
        }
    }
    --depth_;
    out = Value(std::move(members));
    return true;
}

bool Parser::parse_string(std::string& out) {
    const std::size_t start = pos_;
    ++pos_;  // opening quote
    while (true) {
        // Copy runs of plain ASCII in one go; stop at anything that needs a closer look.
        const std::size_t run = pos_;
        while (pos_ < text_.size()) {
            const auto c = static_cast<unsigned char>(peek());
            if (c == '"' || c == '\\' || c < 0x20 || c >= 0x80) break;
            ++pos_;
        }
        out.append(text_.substr(run, pos_ - run));
        if (pos_ >= text_.size()) return fail(start, "unterminated string");
        const auto c = static_cast<unsigned char>(peek());
        if (c == '"') {
            ++pos_;
            return true;
        }
        if (c == '\\') {
            if (pos_ + 1 >= text_.size()) return fail(start, "unterminated string");
            if (!parse_escape(out)) return false;
        } else if (c < 0x20) {
            return fail(pos_, "control character in string");
        } else if (!copy_utf8_sequence(out)) {
            return false;
        }
    }
}

bool Parser::parse_escape(std::string& out) {
    const std::size_t start = pos_;  // at the backslash
    const char e = text_[pos_ + 1];
    const char* simple = nullptr;
    switch (e) {
        case '"': simple = "\""; break;
        case '\\': simple = "\\"; break;
        case '/': simple = "/"; break;
        case 'b': simple = "\b"; break;
        case 'f': simple = "\f"; break;
        case 'n': simple = "\n"; break;
        case 'r': simple = "\r"; break;
        case 't': simple = "\t"; break;
        case 'u': break;
        default: return fail(start, "invalid escape");
    }
    if (simple) {
        out += simple;
        pos_ += 2;
        return true;
    }

    // Four hex digits at `at`, or -1.
    auto hex4 = [this](std::size_t at) -> std::int32_t {
        if (at + 4 > text_.size()) return -1;
        std::int32_t v = 0;
        for (std::size_t i = 0; i < 4; ++i) {
            const int h = hex_value(text_[at + i]);
            if (h < 0) return -1;
            v = v * 16 + h;
        }
        return v;
    };
    const std::int32_t unit = hex4(pos_ + 2);
    if (unit < 0) return fail(start, "invalid \\u escape");
    pos_ += 6;
    if (unit >= 0xDC00 && unit <= 0xDFFF) return fail(start, "unpaired surrogate in \\u escape");
    if (unit < 0xD800 || unit > 0xDBFF) {
        append_utf8(out, static_cast<std::uint32_t>(unit));
        return true;
    }
    // A high surrogate must be followed directly by an escaped low one.
    const bool has_next = pos_ + 1 < text_.size() && text_[pos_] == '\\' && text_[pos_ + 1] == 'u';
    const std::int32_t low = has_next ? hex4(pos_ + 2) : -1;
    if (low < 0xDC00 || low > 0xDFFF) return fail(start, "unpaired surrogate in \\u escape");
    pos_ += 6;
    const auto cp = 0x10000 + ((static_cast<std::uint32_t>(unit) - 0xD800) << 10) +
                    (static_cast<std::uint32_t>(low) - 0xDC00);
    append_utf8(out, cp);
    return true;
}

// Validates one multi-byte UTF-8 sequence at pos_ (lead byte >= 0x80) and copies it.  Rejects
// overlong forms, UTF-16 surrogates and code points above U+10FFFF.
bool Parser::copy_utf8_sequence(std::string& out) {
    const auto lead = static_cast<unsigned char>(peek());
    std::size_t length = 0;
    unsigned char second_min = 0x80, second_max = 0xBF;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        if (lead == 0xE0) second_min = 0xA0;
        if (lead == 0xED) second_max = 0x9F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        if (lead == 0xF0) second_min = 0x90;
        if (lead == 0xF4) second_max = 0x8F;
    } else {
        return fail(pos_, "invalid UTF-8 in string");
    }
    if (pos_ + length > text_.size()) return fail(pos_, "invalid UTF-8 in string");
    for (std::size_t i = 1; i < length; ++i) {
        const auto c = static_cast<unsigned char>(text_[pos_ + i]);
        const unsigned char lo = i == 1 ? second_min : 0x80;
        const unsigned char hi = i == 1 ? second_max : 0xBF;
        if (c < lo || c > hi) return fail(pos_, "invalid UTF-8 in string");
    }
    out.append(text_.substr(pos_, length));
    pos_ += length;
    return true;
}

bool Parser::parse_number(Value& out) {
    const std::size_t start = pos_;
    const bool negative = peek() == '-';
    if (negative) ++pos_;
    auto skip_digits = [this] {
        while (pos_ < text_.size() && is_digit(peek())) ++pos_;
    };
    auto at_digit = [this] { return pos_ < text_.size() && is_digit(peek()); };

    const std::size_t int_begin = pos_;
    if (!at_digit()) return fail(pos_, "invalid number");
    if (peek() == '0') {
        ++pos_;
        if (at_digit()) return fail(start, "leading zero in number");
    } else {
        skip_digits();
    }
    const std::size_t int_end = pos_;

    bool integer = true;
    std::size_t frac_begin = pos_, frac_end = pos_;
    if (pos_ < text_.size() && peek() == '.') {
        integer = false;
        ++pos_;
        if (!at_digit()) return fail(pos_, "invalid number");
        frac_begin = pos_;
        skip_digits();
        frac_end = pos_;
    }
    std::int64_t exponent = 0;
    if (pos_ < text_.size() && (peek() == 'e' || peek() == 'E')) {
        integer = false;
        ++pos_;
        bool exp_negative = false;
        if (pos_ < text_.size() && (peek() == '+' || peek() == '-')) {
            exp_negative = peek() == '-';
            ++pos_;
        }
        if (!at_digit()) return fail(pos_, "invalid number");
        for (; at_digit(); ++pos_)
            exponent = std::min(exponent * 10 + (peek() - '0'), kExponentCap);
        if (exp_negative) exponent = -exponent;
    }

    const char* first = text_.data() + start;
    const char* last = text_.data() + pos_;
    if (integer) {
        // Integers too large for 64 bits fall through to double.
        if (negative) {
            std::int64_t i = 0;
            if (std::from_chars(first, last, i).ec == std::errc{}) {
                out = Value(i);
                return true;
            }
        } else {
            std::uint64_t u = 0;
            if (std::from_chars(first, last, u).ec == std::errc{}) {
                out = Value(u);
                return true;
            }
        }
    }
    double d = 0;
    const auto [ptr, ec] = std::from_chars(first, last, d);
    (void)ptr;  // the grammar above already matched exactly this span
    if (ec == std::errc::result_out_of_range) {
        // from_chars reports both overflow and underflow; the position of the first significant
        // digit relative to the decimal point tells them apart (value < 1 means underflow).
        std::int64_t magnitude = 0;
        if (text_[int_begin] != '0') {
            magnitude = static_cast<std::int64_t>(int_end - int_begin) + exponent;
        } else {
            const std::string_view frac = text_.substr(frac_begin, frac_end - frac_begin);
            const std::size_t first_nonzero = std::min(frac.find_first_not_of('0'), frac.size());
            magnitude = -static_cast<std::int64_t>(first_nonzero) + exponent;
        }
        if (magnitude > 0) return fail(start, "number out of range");
        d = negative ? -0.0 : 0.0;
    } else if (ec != std::errc{}) {
        return fail(start, "invalid number");
    }
    out = Value(d);
    return true;
}

}  // namespace

std::string ParseError::display() const {
    return message + " at line " + std::to_string(line) + " column " + std::to_string(column);
}

Result<std::pair<Value, std::size_t>, ParseError> parse_prefix(std::string_view text) {
    Parser parser(text);
    Value value;
    if (!parser.parse_value(value)) return Err{parser.error()};
    return std::pair<Value, std::size_t>(std::move(value), parser.pos());
}

Result<Value, ParseError> parse(std::string_view text) {
    Parser parser(text);
    Value value;
    if (!parser.parse_value(value)) return Err{parser.error()};
    parser.skip_whitespace();
    if (!parser.at_end()) {
        parser.fail(parser.pos(), "trailing characters after value");
        return Err{parser.error()};
    }
    return value;
}

}  // namespace korvane::json
