// Number texts of the task's files. Both forms are built from std::to_chars, which is exact and
// ignores the C locale, so a locale set by the windowing toolkit cannot change a file.
#include "NumberText.h"

#include <charconv>
#include <clocale>
#include <cmath>
#include <string_view>

#include "TextRules.h"

namespace quarrow {
namespace {

constexpr int GeneralDigits = 15;
// Fixed notation while the decimal exponent (d.ddd x 10^e) lies in this range: from 0.00001 up
// to 15 digits before the separator.
constexpr int LowestFixedExponent = -5;
constexpr int HighestFixedExponent = GeneralDigits - 1;

// Largest "%.14f" text of a double: 309 integer digits, sign, point and 14 decimals.
constexpr int EdgeBufferSize = 400;
constexpr std::size_t EdgeWidth = 20;
constexpr int EdgeDecimals = 14;

} // namespace

char SingleByteSeparator(const char* decimalPoint) noexcept {
    if (decimalPoint == nullptr || decimalPoint[0] == '\0' || decimalPoint[1] != '\0')
        return '.';
    return decimalPoint[0];
}

char SystemDecimalSeparator() {
    const std::lconv* conv = std::localeconv();
    return SingleByteSeparator(conv == nullptr ? nullptr : conv->decimal_point);
}

std::string GeneralNumberText(double value, char decimalSeparator) {
    if (std::isnan(value))
        return "NAN";
    if (std::isinf(value))
        return value < 0 ? "-INF" : "INF";
    if (value == 0)
        return "0";

    // Rounded to 15 significant digits: "d.dddddddddddddde[+-]xx".
    char buffer[64];
    const auto result = std::to_chars(buffer, buffer + sizeof buffer, std::fabs(value),
                                      std::chars_format::scientific, GeneralDigits - 1);
    const std::string_view text(buffer, static_cast<std::size_t>(result.ptr - buffer));
    const std::size_t e = text.find('e');
    std::string digits;
    digits.reserve(GeneralDigits);
    for (const char c : text.substr(0, e))
        if (c != '.')
            digits += c;
    while (digits.size() > 1 && digits.back() == '0')
        digits.pop_back();
    int exponent = 0;
    const std::string_view exponentText = text.substr(e + 1);
    const char* first = exponentText.data();
    if (*first == '+')
        ++first;
    std::from_chars(first, exponentText.data() + exponentText.size(), exponent);

    std::string out;
    if (value < 0)
        out += '-';
    if (exponent >= LowestFixedExponent && exponent <= HighestFixedExponent) {
        const int count = static_cast<int>(digits.size());
        if (exponent < 0) {
            out += '0';
            out += decimalSeparator;
            out.append(static_cast<std::size_t>(-exponent - 1), '0');
            out += digits;
        } else if (exponent + 1 >= count) {
            out += digits;
            out.append(static_cast<std::size_t>(exponent + 1 - count), '0');
        } else {
            const auto split = static_cast<std::size_t>(exponent + 1);
            out.append(digits, 0, split);
            out += decimalSeparator;
            out.append(digits, split);
        }
    } else {
        out += digits[0];
        if (digits.size() > 1) {
            out += decimalSeparator;
            out.append(digits, 1);
        }
        out += 'E';
        out += std::to_string(exponent);
    }
    return out;
}

void AppendEdgeText(std::string& out, double value) {
    char buffer[EdgeBufferSize];
    const auto result = std::to_chars(buffer, buffer + sizeof buffer, value,
                                      std::chars_format::fixed, EdgeDecimals);
    const auto length = static_cast<std::size_t>(result.ptr - buffer);
    if (length < EdgeWidth)
        out.append(EdgeWidth - length, ' ');
    out.append(buffer, length);
}

std::string EdgeText(double value) {
    std::string out;
    AppendEdgeText(out, value);
    return out;
}

std::optional<double> ParseCoordinate(std::string_view written) {
    std::string text(TrimBlanks(written));
    for (char& c : text) {
        if (c == ',')
            c = '.';
    }
    std::string_view digits = text;
    // from_chars takes no plus sign; the user may type one.
    if (!digits.empty() && digits.front() == '+') {
        digits.remove_prefix(1);
        if (!digits.empty() && digits.front() == '-')
            return std::nullopt;
    }
    if (digits.empty())
        return std::nullopt;
    double value = 0;
    const auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), value);
    if (error != std::errc() || end != digits.data() + digits.size() || !std::isfinite(value))
        return std::nullopt;
    return value;
}

std::string RoundTripText(double value) {
    char text[32];
    return std::string(text, std::to_chars(text, text + sizeof text, value).ptr);
}

std::string AreaEdgeText(double degrees) {
    char text[48];
    const auto end = std::to_chars(text, text + sizeof text, degrees, std::chars_format::fixed, 6);
    return std::string(text, end.ptr);
}

std::string GroupedNumber(unsigned long long value) {
    std::string digits = std::to_string(value);
    for (std::size_t at = digits.size(); at > 3; at -= 3)
        digits.insert(at - 3, ",");
    return digits;
}

} // namespace quarrow
