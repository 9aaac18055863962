// SPDX-License-Identifier: GPL-3.0-or-later
// A small strict JSON reader for the tests: what the program writes is parsed as any consumer
// would parse it, and its fields read back.
#pragma once

#include <map>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace tessaline::test {

class Json {
  public:
    enum class Type { Null, Bool, Number, String, Array, Object };

    // Throws std::runtime_error, saying where, when the text is not one JSON value.
    static Json Parse(std::string_view text);

    Type type() const { return type_; }
    bool is_null() const { return type_ == Type::Null; }
    double number() const;
    bool boolean() const;
    const std::string& string() const;
    size_t size() const;  // of an array or object
    const Json& operator[](size_t i) const;
    const Json& operator[](const std::string& key) const;  // throws when missing
    bool has(const std::string& key) const;

  private:
    friend class JsonReader;
    Type type_ = Type::Null;
    bool bool_ = false;
    double number_ = 0;
    std::string string_;
    std::vector<Json> array_;
    std::map<std::string, Json> object_;
};

}  // namespace tessaline::test
