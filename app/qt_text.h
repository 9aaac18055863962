// Conversions between the engine's UTF-8 strings and the window's QString, short enough to read
// inline in the handlers.
#pragma once

#include <QString>
#include <string>
#include <string_view>

namespace tessaline {

inline QString Q(const std::string& text) {
    return QString::fromStdString(text);
}
inline QString Q(std::string_view text) {
    return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}
inline std::string S(const QString& text) {
    return text.toStdString();
}

}  // namespace tessaline
