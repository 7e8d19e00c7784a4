// The windows hand texts to the engine, and take them back, as UTF-8 std::strings.
#pragma once

#include <string>

#include <QString>

inline QString Q(const std::string& text) {
    return QString::fromStdString(text);
}
