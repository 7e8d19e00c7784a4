// Number texts of the task's files, all independent of the C locale.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace quarrow {

// The decimal point of the user's locale (as set by setlocale), used only by GeneralNumberText.
char SystemDecimalSeparator();
// The separator for a locale's decimal point text: one that is not a single byte cannot go into
// an 8-bit file whole, so it gives ".".
char SingleByteSeparator(const char* decimalPoint) noexcept;

// At most 15 significant digits, rounded; no trailing zeros or separator; fixed notation from
// 0.00001 upward, "1E-6" style below; "0" for zero.
std::string GeneralNumberText(double value, char decimalSeparator = SystemDecimalSeparator());

// The "%20.14f" form: 14 digits after a ".", right-aligned in 20 characters, never cut.
std::string EdgeText(double value);

// Appends EdgeText(value) to out without building a temporary string.
void AppendEdgeText(std::string& out, double value);

// The shortest digits that read back as the same number, "." as the decimal point (an exponent
// when it is shorter): for files that another program or a later run reads back exactly.
std::string RoundTripText(double value);

// An area's edge as the map window writes it into a coordinate field: six decimals after a ".".
std::string AreaEdgeText(double degrees);

// A coordinate as typed or stored: every "," read as ".", then the whole text one decimal number
// (blanks around it and a plus sign allowed, an exponent allowed; infinities and NaN are not
// numbers).
std::optional<double> ParseCoordinate(std::string_view text);

// "68,494,818,470": the digits in groups of three, for counts a person reads.
std::string GroupedNumber(unsigned long long value);

} // namespace quarrow
