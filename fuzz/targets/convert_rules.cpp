// The converter's rules: degrees and minutes as strict whole numbers, seconds as a lenient
// leading number, the result text.
#include <cmath>

#include "FuzzSupport.h"
#include "app/ConvertRules.h"
#include "base/TextRules.h"

using namespace quarrow;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const auto fields = fuzz::SplitFields(data, size, 3);
    const std::optional<int> degrees = ParseInteger(fields[0]);
    const std::optional<int> minutes = ParseInteger(fields[1]);
    for (const auto& number : {degrees, minutes})
        if (number)
            fuzz::Check(ParseInteger(std::to_string(*number)) == number,
                        "a whole number reads back from its decimal text");

    const float seconds = LeadingSeconds(fields[2]);
    fuzz::Check(!std::isnan(seconds), "seconds are never NaN");
    fuzz::Check(LeadingSeconds(std::string(fields[2]) + "x") == seconds,
                "text after the number is ignored");

    const std::optional<std::string> result =
        ConvertedDegrees(fields[0], fields[1], fields[2], ',');
    fuzz::Check(result.has_value() == (degrees && minutes),
                "a result exactly when degrees and minutes are whole numbers");
    if (result) {
        fuzz::Check(!result->empty() && result->find('.') == std::string::npos,
                    "the result uses the given separator");
        fuzz::Check(
            *result == GeneralNumberText(
                           static_cast<double>(DegreesFromParts(*degrees, *minutes, seconds)), ','),
            "the result is the sum's text");
    }
    return 0;
}
