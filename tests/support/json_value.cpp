// SPDX-License-Identifier: GPL-3.0-or-later
#include "tests/support/json_value.h"

#include <cstdlib>

namespace tessaline::test {

class JsonReader {
  public:
    explicit JsonReader(std::string_view text) : t_(text) {}

    Json Document() {
        Json v = Value();
        Space();
        if (at_ != t_.size()) Fail("text after the value");
        return v;
    }

  private:
    [[noreturn]] void Fail(const std::string& what) {
        throw std::runtime_error("JSON: " + what + " at " + std::to_string(at_));
    }
    void Space() {
        while (at_ < t_.size() &&
               (t_[at_] == ' ' || t_[at_] == '\n' || t_[at_] == '\t' || t_[at_] == '\r'))
            ++at_;
    }
    bool Take(char c) {
        Space();
        if (at_ < t_.size() && t_[at_] == c) {
            ++at_;
            return true;
        }
        return false;
    }
    void Expect(char c) {
        if (!Take(c)) Fail(std::string("'") + c + "' expected");
    }
    bool Word(std::string_view w) {
        if (t_.substr(at_, w.size()) != w) return false;
        at_ += w.size();
        return true;
    }
    std::string String() {
        Expect('"');
        std::string out;
        while (at_ < t_.size() && t_[at_] != '"') {
            const char c = t_[at_++];
            if (static_cast<unsigned char>(c) < 0x20) Fail("control character in a string");
            if (c != '\\') {
                out += c;
                continue;
            }
            if (at_ >= t_.size()) Fail("cut escape");
            const char e = t_[at_++];
            switch (e) {
                case '"':
                case '\\':
                case '/':
                    out += e;
                    break;
                case 'n':
                    out += '\n';
                    break;
                case 't':
                    out += '\t';
                    break;
                case 'r':
                    out += '\r';
                    break;
                case 'b':
                    out += '\b';
                    break;
                case 'f':
                    out += '\f';
                    break;
                case 'u': {
                    if (at_ + 4 > t_.size()) Fail("cut \\u");
                    const unsigned cp = std::stoul(std::string(t_.substr(at_, 4)), nullptr, 16);
                    at_ += 4;
                    if (cp < 0x80) {
                        out += char(cp);
                    } else if (cp < 0x800) {
                        out += char(0xC0 | (cp >> 6));
                        out += char(0x80 | (cp & 0x3F));
                    } else {
                        out += char(0xE0 | (cp >> 12));
                        out += char(0x80 | ((cp >> 6) & 0x3F));
                        out += char(0x80 | (cp & 0x3F));
                    }
                    break;
                }
                default:
                    Fail("bad escape");
            }
        }
        if (at_ >= t_.size()) Fail("unterminated string");
        ++at_;
        return out;
    }
    Json Value() {
        Space();
        if (at_ >= t_.size()) Fail("value expected");
        Json v;
        const char c = t_[at_];
        if (c == '{') {
            ++at_;
            v.type_ = Json::Type::Object;
            if (Take('}')) return v;
            do {
                Space();
                std::string key = String();
                Expect(':');
                if (v.object_.count(key)) Fail("key twice: " + key);
                v.object_[key] = Value();
            } while (Take(','));
            Expect('}');
        } else if (c == '[') {
            ++at_;
            v.type_ = Json::Type::Array;
            if (Take(']')) return v;
            do {
                v.array_.push_back(Value());
            } while (Take(','));
            Expect(']');
        } else if (c == '"') {
            v.type_ = Json::Type::String;
            v.string_ = String();
        } else if (Word("null")) {
        } else if (Word("true") || Word("false")) {
            v.type_ = Json::Type::Bool;
            v.bool_ = t_[at_ - 1] == 'e' && t_[at_ - 2] == 'u';
        } else {
            const std::string rest(t_.substr(at_, 40));
            char* end = nullptr;
            v.number_ = std::strtod(rest.c_str(), &end);
            if (end == rest.c_str() || rest[0] == '+' || rest[0] == '.') Fail("value expected");
            at_ += static_cast<size_t>(end - rest.c_str());
            v.type_ = Json::Type::Number;
        }
        return v;
    }

    std::string_view t_;
    size_t at_ = 0;
};

Json Json::Parse(std::string_view text) {
    return JsonReader(text).Document();
}

double Json::number() const {
    if (type_ != Type::Number) throw std::runtime_error("JSON: not a number");
    return number_;
}
bool Json::boolean() const {
    if (type_ != Type::Bool) throw std::runtime_error("JSON: not a boolean");
    return bool_;
}
const std::string& Json::string() const {
    if (type_ != Type::String) throw std::runtime_error("JSON: not a string");
    return string_;
}
size_t Json::size() const {
    return type_ == Type::Array ? array_.size() : object_.size();
}
const Json& Json::operator[](size_t i) const {
    if (type_ != Type::Array || i >= array_.size())
        throw std::runtime_error("JSON: no item " + std::to_string(i));
    return array_[i];
}
const Json& Json::operator[](const std::string& key) const {
    const auto it = object_.find(key);
    if (type_ != Type::Object || it == object_.end())
        throw std::runtime_error("JSON: no key " + key);
    return it->second;
}
bool Json::has(const std::string& key) const {
    return type_ == Type::Object && object_.count(key) != 0;
}

}  // namespace tessaline::test
