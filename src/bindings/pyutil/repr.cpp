#include "bindings/pyutil/repr.hpp"

#include <cstdio>

#include "common/number_format.hpp"

namespace korvane::py {

void append_quoted(std::string& out, std::string_view text) {
    out += '"';
    for (unsigned char c : text) {
        switch (c) {
            case '"': out += "\\\""; break;
            case '\\': out += "\\\\"; break;
            case '\n': out += "\\n"; break;
            case '\t': out += "\\t"; break;
            case '\r': out += "\\r"; break;
            default:
                if (c < 0x20 || c == 0x7f) {
                    char buffer[16];
                    std::snprintf(buffer, sizeof buffer, "\\u{%x}", c);
                    out += buffer;
                } else {
                    out += static_cast<char>(c);
                }
        }
    }
    out += '"';
}

ReprBuilder::ReprBuilder(std::string_view class_name) : out_(class_name) { out_ += '('; }

void ReprBuilder::begin_field(std::string_view field) {
    if (!first_) out_ += ", ";
    first_ = false;
    out_ += field;
    out_ += '=';
}

ReprBuilder& ReprBuilder::display(std::string_view field, double value) {
    begin_field(field);
    append_display(out_, value);
    return *this;
}

ReprBuilder& ReprBuilder::fixed(std::string_view field, double value, int decimals) {
    begin_field(field);
    append_fixed(out_, value, decimals);
    return *this;
}

ReprBuilder& ReprBuilder::integer(std::string_view field, std::uint64_t value) {
    begin_field(field);
    out_ += std::to_string(value);
    return *this;
}

ReprBuilder& ReprBuilder::string(std::string_view field, std::string_view value) {
    begin_field(field);
    append_quoted(out_, value);
    return *this;
}

ReprBuilder& ReprBuilder::raw(std::string_view field, std::string_view text) {
    begin_field(field);
    out_ += text;
    return *this;
}

PyObject* ReprBuilder::build() const {
    const std::string text = str();
    return PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
}

}  // namespace korvane::py
