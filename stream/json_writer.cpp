// SPDX-License-Identifier: GPL-3.0-or-later
#include "stream/json_writer.h"

#include <cmath>
#include <cstdio>

namespace tessaline {
namespace {

// Length of the UTF-8 sequence starting at text[i], or 0 when it is not a valid one.
size_t Utf8Length(std::string_view text, size_t i) {
    const auto b = static_cast<unsigned char>(text[i]);
    size_t n = 0;
    uint32_t min = 0;
    if (b < 0x80) return 1;
    if ((b & 0xE0) == 0xC0)
        n = 2, min = 0x80;
    else if ((b & 0xF0) == 0xE0)
        n = 3, min = 0x800;
    else if ((b & 0xF8) == 0xF0)
        n = 4, min = 0x10000;
    else
        return 0;
    if (i + n > text.size()) return 0;
    uint32_t cp = b & (0xFF >> (n + 1));
    for (size_t k = 1; k < n; ++k) {
        const auto c = static_cast<unsigned char>(text[i + k]);
        if ((c & 0xC0) != 0x80) return 0;
        cp = (cp << 6) | (c & 0x3F);
    }
    if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return 0;
    return n;
}

}  // namespace

std::string JsonQuote(std::string_view text) {
    std::string out;
    out.reserve(text.size() + 2);
    out += '"';
    for (size_t i = 0; i < text.size();) {
        const char c = text[i];
        const auto u = static_cast<unsigned char>(c);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else if (c == '\n') {
            out += "\\n";
        } else if (c == '\t') {
            out += "\\t";
        } else if (c == '\r') {
            out += "\\r";
        } else if (u < 0x20 || u == 0x7F) {
            char b[8];
            std::snprintf(b, sizeof b, "\\u%04x", u);
            out += b;
        } else if (u >= 0x80) {
            const size_t n = Utf8Length(text, i);
            if (n == 0) {
                out += "\\ufffd";  // not UTF-8: a file name in another encoding
                ++i;
                continue;
            }
            out.append(text.substr(i, n));
            i += n;
            continue;
        } else {
            out += c;
        }
        ++i;
    }
    out += '"';
    return out;
}

void JsonWriter::Value() {
    if (after_key_) {
        after_key_ = false;
        return;
    }
    if (has_items_.empty()) return;
    if (has_items_.back()) out_ += ',';
    has_items_.back() = true;
    if (indent_ > 0) {
        out_ += '\n';
        out_.append(has_items_.size() * static_cast<size_t>(indent_), ' ');
    }
}

void JsonWriter::Close(char bracket) {
    const bool had_items = !has_items_.empty() && has_items_.back();
    if (!has_items_.empty()) has_items_.pop_back();
    if (indent_ > 0 && had_items) {
        out_ += '\n';
        out_.append(has_items_.size() * static_cast<size_t>(indent_), ' ');
    }
    out_ += bracket;
}

JsonWriter& JsonWriter::BeginObject() {
    Value();
    out_ += '{';
    has_items_.push_back(false);
    return *this;
}

JsonWriter& JsonWriter::EndObject() {
    Close('}');
    return *this;
}

JsonWriter& JsonWriter::BeginArray() {
    Value();
    out_ += '[';
    has_items_.push_back(false);
    return *this;
}

JsonWriter& JsonWriter::EndArray() {
    Close(']');
    return *this;
}

JsonWriter& JsonWriter::Key(std::string_view key) {
    Value();
    out_ += JsonQuote(key);
    out_ += indent_ > 0 ? ": " : ":";
    after_key_ = true;
    return *this;
}

JsonWriter& JsonWriter::String(std::string_view text) {
    Value();
    out_ += JsonQuote(text);
    return *this;
}

JsonWriter& JsonWriter::Number(double value, int decimals) {
    if (!std::isfinite(value)) return Null();
    Value();
    char b[64];
    std::snprintf(b, sizeof b, "%.*f", decimals, value);
    // "-0.000" is 0.
    if (std::string_view(b).find_first_not_of("-0.") == std::string_view::npos) {
        std::snprintf(b, sizeof b, "%.*f", decimals, 0.0);
    }
    out_ += b;
    return *this;
}

JsonWriter& JsonWriter::Int(int64_t value) {
    Value();
    out_ += std::to_string(value);
    return *this;
}

JsonWriter& JsonWriter::UInt(uint64_t value) {
    Value();
    out_ += std::to_string(value);
    return *this;
}

JsonWriter& JsonWriter::Bool(bool value) {
    Value();
    out_ += value ? "true" : "false";
    return *this;
}

JsonWriter& JsonWriter::Null() {
    Value();
    out_ += "null";
    return *this;
}

JsonWriter& JsonWriter::Raw(std::string_view json) {
    Value();
    out_.append(json);
    return *this;
}

}  // namespace tessaline
