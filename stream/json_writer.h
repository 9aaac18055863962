// SPDX-License-Identifier: GPL-3.0-or-later
// Writes JSON text: objects and arrays nested by calls, strings escaped (and made valid UTF-8),
// numbers with a fixed number of decimals, NaN and infinities as null.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace tessaline {

class JsonWriter {
  public:
    // indent 0: one line; otherwise that many spaces per level.
    explicit JsonWriter(int indent = 0) : indent_(indent) {}

    JsonWriter& BeginObject();
    JsonWriter& EndObject();
    JsonWriter& BeginArray();
    JsonWriter& EndArray();
    JsonWriter& Key(std::string_view key);

    JsonWriter& String(std::string_view text);
    JsonWriter& Number(double value, int decimals);  // NaN, infinity: null
    JsonWriter& Int(int64_t value);
    JsonWriter& UInt(uint64_t value);
    JsonWriter& Bool(bool value);
    JsonWriter& Null();
    // Text already in JSON form (an object made by another writer).
    JsonWriter& Raw(std::string_view json);

    const std::string& text() const noexcept { return out_; }

  private:
    void Value();  // the separator and line break before a value
    void Close(char bracket);

    int indent_;
    std::string out_;
    std::vector<bool> has_items_;  // per open level
    bool after_key_ = false;
};

// The text as a JSON string literal, quotes included.
std::string JsonQuote(std::string_view text);

}  // namespace tessaline
