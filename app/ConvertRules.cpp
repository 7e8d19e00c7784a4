// Numbers are read with std::from_chars, so the C locale that the windowing toolkit sets cannot
// change what a field means; only the shown result takes the system's decimal separator.
#include "ConvertRules.h"

#include <charconv>
#include <cmath>
#include <limits>
#include <system_error>

#include "base/TextRules.h"

namespace quarrow {
namespace {

bool IsDigit(char c) noexcept {
    return c >= '0' && c <= '9';
}

std::size_t SkipDigits(std::string_view text, std::size_t i) noexcept {
    while (i < text.size() && IsDigit(text[i]))
        ++i;
    return i;
}

// Rounds to single precision; a finite value beyond the float range becomes infinite, as the
// hardware does, without leaving it to a conversion the language does not define.
float ToSingle(double value) noexcept {
    // Half a unit in the last place above the largest float: from here on rounding gives infinity.
    constexpr double Overflow = 340282356779733661637539395458142568448.0; // 2^128 - 2^103
    if (std::isfinite(value) && std::fabs(value) >= Overflow)
        return value < 0 ? -std::numeric_limits<float>::infinity()
                         : std::numeric_limits<float>::infinity();
    return static_cast<float>(value);
}

} // namespace

float LeadingSeconds(std::string_view text) noexcept {
    std::size_t i = 0;
    while (i < text.size() && IsBlank(text[i]))
        ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
        negative = text[i] == '-';
        ++i;
    }
    const std::size_t first = i;
    i = SkipDigits(text, i);
    bool anyDigit = i > first;
    if (i < text.size() && text[i] == '.') {
        const std::size_t fraction = i + 1;
        const std::size_t end = SkipDigits(text, fraction);
        // A lone "." is not a number; "5." and ".5" are.
        if (anyDigit || end > fraction) {
            anyDigit = true;
            i = end;
        }
    }
    if (!anyDigit)
        return 0;
    if (i < text.size() && (text[i] == 'e' || text[i] == 'E')) {
        std::size_t e = i + 1;
        if (e < text.size() && (text[e] == '+' || text[e] == '-'))
            ++e;
        const std::size_t end = SkipDigits(text, e);
        // An "e" without digits is the ignored rest, not part of the number.
        if (end > e)
            i = end;
    }
    const std::string_view number = text.substr(first, i - first);
    double magnitude = 0;
    const auto [end, error] = std::from_chars(number.data(), number.data() + number.size(),
                                              magnitude, std::chars_format::general);
    if (error == std::errc::result_out_of_range) {
        // from_chars leaves the value alone: too large is infinite, too small is zero.
        const std::size_t exponent = number.find_first_of("eE");
        const bool tiny = exponent != std::string_view::npos && exponent + 1 < number.size() &&
                          number[exponent + 1] == '-';
        magnitude = tiny ? 0.0 : std::numeric_limits<double>::infinity();
    }
    (void)end;
    return ToSingle(negative ? -magnitude : magnitude);
}

float DegreesFromParts(int degrees, int minutes, float seconds) noexcept {
    const double sum = static_cast<double>(degrees) + static_cast<double>(minutes) * (1.0 / 60) +
                       (1.0 / 3600) * static_cast<double>(seconds);
    return ToSingle(sum);
}

std::optional<std::string> ConvertedDegrees(std::string_view degrees, std::string_view minutes,
                                            std::string_view seconds, char decimalSeparator) {
    const float secondsValue = LeadingSeconds(seconds);
    const std::optional<int> degreesValue = ParseInteger(degrees);
    const std::optional<int> minutesValue = ParseInteger(minutes);
    if (!degreesValue || !minutesValue)
        return std::nullopt;
    const float result = DegreesFromParts(*degreesValue, *minutesValue, secondsValue);
    return GeneralNumberText(static_cast<double>(result), decimalSeparator);
}

} // namespace quarrow
