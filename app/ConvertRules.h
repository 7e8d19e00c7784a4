// The converter's arithmetic and text rules, apart from its window: degrees and minutes as
// strict whole numbers, seconds as a lenient leading number, the sum through single precision.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "base/NumberText.h"

namespace quarrow {

// The longest leading part that reads as a decimal number (blanks, sign, digits with "." as the
// point, exponent), rounded to single precision; the rest is ignored, and no such part gives 0.
float LeadingSeconds(std::string_view text) noexcept;

// Degrees + minutes / 60 + seconds / 3600, summed in double and rounded to single precision.
// The parts are simply added: the sign of the degrees does not carry over.
float DegreesFromParts(int degrees, int minutes, float seconds) noexcept;

// The result text of the three fields, or nullopt when the degrees or the minutes are not a
// 32-bit whole number (the input error).
std::optional<std::string> ConvertedDegrees(std::string_view degrees, std::string_view minutes,
                                            std::string_view seconds,
                                            char decimalSeparator = SystemDecimalSeparator());

} // namespace quarrow
