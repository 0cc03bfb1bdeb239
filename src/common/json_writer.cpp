#include "common/json_writer.hpp"

#include <algorithm>
#include <cassert>
#include <charconv>
#include <cmath>

namespace korvane::json {
namespace {

// Positional notation is used while the decimal point lands within 16 digits of the front, or at
// most 4 zeros after "0."; beyond that the exponent form is shorter and easier to read.
constexpr int kMaxPositionalDigits = 16;
constexpr int kMinPositionalExponent = -5;

void append_integer(std::string& out, auto value) {
    char buffer[24];
    auto [end, ec] = std::to_chars(buffer, buffer + sizeof buffer, value);
    (void)ec;  // 24 bytes hold every 64-bit integer
    out.append(buffer, end);
}

}  // namespace

void append_float(std::string& out, double value) {
    if (!std::isfinite(value)) {
        out += "null";
        return;
    }
    if (value == 0) {
        out += std::signbit(value) ? "-0.0" : "0.0";
        return;
    }
    // Shortest round-trip digits come out as "-d.ddde±XX"; split them into digits and exponent.
    char buffer[32];
    auto [end, ec] =
        std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::scientific);
    (void)ec;  // the longest form, "-1.7976931348623157e+308", fits
    const char* p = buffer;
    if (*p == '-') {
        out += '-';
        ++p;
    }
    const char* e = std::find(p, static_cast<const char*>(end), 'e');
    char digit_buffer[20];
    int n = 0;
    for (const char* q = p; q < e; ++q)
        if (*q != '.') digit_buffer[n++] = *q;
    const std::string_view digits(digit_buffer, static_cast<std::size_t>(n));
    const char* exp_begin = e + 1;
    if (*exp_begin == '+') ++exp_begin;  // from_chars accepts '-' but not '+'
    int sci_exponent = 0;
    std::from_chars(exp_begin, end, sci_exponent);

    // value = digits × 10^k, and the decimal point sits kk digits from the front.
    const int kk = sci_exponent + 1;
    const int k = kk - n;
    if (k >= 0 && kk <= kMaxPositionalDigits) {
        out += digits;
        out.append(static_cast<std::size_t>(k), '0');
        out += ".0";
    } else if (kk > 0 && kk <= kMaxPositionalDigits) {
        out += digits.substr(0, kk);
        out += '.';
        out += digits.substr(kk);
    } else if (kk > kMinPositionalExponent && kk <= 0) {
        out += "0.";
        out.append(static_cast<std::size_t>(-kk), '0');
        out += digits;
    } else {
        out += digits[0];
        if (n > 1) {
            out += '.';
            out += digits.substr(1);
        }
        out += 'e';
        append_integer(out, kk - 1);
    }
}

std::string format_float(double value) {
    std::string out;
    append_float(out, value);
    return out;
}

void append_quoted(std::string& out, std::string_view text) {
    static constexpr char kHex[] = "0123456789abcdef";
    out += '"';
    std::size_t run_start = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const auto c = static_cast<unsigned char>(text[i]);
        if (c >= 0x20 && c != '"' && c != '\\') continue;
        out.append(text.substr(run_start, i - run_start));
        run_start = i + 1;
        switch (c) {
            case '"': out += "\\\""; break;
            case '\\': out += "\\\\"; break;
            case '\n': out += "\\n"; break;
            case '\r': out += "\\r"; break;
            case '\t': out += "\\t"; break;
            case '\b': out += "\\b"; break;
            case '\f': out += "\\f"; break;
            default:
                out += "\\u00";
                out += kHex[c >> 4];
                out += kHex[c & 0xF];
        }
    }
    out.append(text.substr(run_start));
    out += '"';
}

// ---- JsonWriter ----

void JsonWriter::new_line(std::size_t depth) {
    out_ += '\n';
    out_.append(depth * 2, ' ');
}

void JsonWriter::before_value() {
    if (stack_.empty()) {
        assert(!wrote_top_ && "a JSON document holds one top-level value");
        wrote_top_ = true;
        return;
    }
    Frame& frame = stack_.back();
    if (frame.is_object) {
        assert(key_pending_ && "object members need a key before the value");
        key_pending_ = false;
        return;
    }
    if (!frame.empty) out_ += ',';
    frame.empty = false;
    if (style_ == Style::Pretty) new_line(stack_.size());
}

JsonWriter& JsonWriter::key(std::string_view name) {
    assert(!stack_.empty() && stack_.back().is_object && !key_pending_);
    if (stack_.empty() || !stack_.back().is_object) return *this;
    Frame& frame = stack_.back();
    if (!frame.empty) out_ += ',';
    frame.empty = false;
    if (style_ == Style::Pretty) new_line(stack_.size());
    append_quoted(out_, name);
    out_ += style_ == Style::Pretty ? ": " : ":";
    key_pending_ = true;
    return *this;
}

JsonWriter& JsonWriter::begin_object() {
    before_value();
    out_ += '{';
    stack_.push_back(Frame{true});
    return *this;
}

JsonWriter& JsonWriter::begin_array() {
    before_value();
    out_ += '[';
    stack_.push_back(Frame{false});
    return *this;
}

void JsonWriter::close(bool is_object, char bracket) {
    assert(!stack_.empty() && stack_.back().is_object == is_object && !key_pending_);
    if (stack_.empty() || stack_.back().is_object != is_object) return;
    const bool empty = stack_.back().empty;
    stack_.pop_back();
    // Empty containers stay on one line: "[]", "{}".
    if (!empty && style_ == Style::Pretty) new_line(stack_.size());
    out_ += bracket;
}

JsonWriter& JsonWriter::end_object() {
    close(true, '}');
    return *this;
}

JsonWriter& JsonWriter::end_array() {
    close(false, ']');
    return *this;
}

JsonWriter& JsonWriter::null() {
    before_value();
    out_ += "null";
    return *this;
}

JsonWriter& JsonWriter::value(bool b) {
    before_value();
    out_ += b ? "true" : "false";
    return *this;
}

JsonWriter& JsonWriter::value(std::int64_t i) {
    before_value();
    append_integer(out_, i);
    return *this;
}

JsonWriter& JsonWriter::value(std::uint64_t u) {
    before_value();
    append_integer(out_, u);
    return *this;
}

JsonWriter& JsonWriter::value(double d) {
    before_value();
    append_float(out_, d);
    return *this;
}

JsonWriter& JsonWriter::value(std::string_view s) {
    before_value();
    append_quoted(out_, s);
    return *this;
}

JsonWriter& JsonWriter::value(const Value& v) {
    switch (v.kind()) {
        case Kind::Null: return null();
        case Kind::Bool: return value(*v.as_bool());
        case Kind::Int: return value(*v.as_int64());
        case Kind::UInt: return value(*v.as_uint64());
        case Kind::Float: return value(*v.as_double());
        case Kind::String: return value(std::string_view(*v.as_string()));
        case Kind::Array:
            begin_array();
            for (const Value& item : *v.as_array()) value(item);
            return end_array();
        case Kind::Object:
            begin_object();
            for (const Member& m : *v.as_object()) key(m.key).value(m.value);
            return end_object();
    }
    return *this;
}

// ---- DOM writing ----

void write_to(std::string& out, const Value& value, Style style) {
    JsonWriter(out, style).value(value);
}

std::string write(const Value& value, Style style) {
    std::string out;
    write_to(out, value, style);
    return out;
}

}  // namespace korvane::json
