// The Start action's coordinate texts: each read as one number, then the area checks.
#include <cmath>

#include "FuzzSupport.h"
#include "task/StartRules.h"
#include "base/NumberText.h"

using namespace quarrow;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const auto fields = fuzz::SplitFields(data, size, 4);
    double values[4] = {};
    bool all = true;
    for (std::size_t i = 0; i < 4; ++i) {
        const std::optional<double> value = ParseCoordinate(fields[i]);
        if (!value) {
            all = false;
            continue;
        }
        fuzz::Check(std::isfinite(*value), "a coordinate is finite");
        const std::string padded = " \t" + std::string(fields[i]) + "\t ";
        const std::optional<double> again = ParseCoordinate(padded);
        fuzz::Check(again && *again == *value, "blanks around a coordinate change nothing");
        values[i] = *value;
    }
    if (!all)
        return 0;
    const double left = values[0], right = values[1], top = values[2], bottom = values[3];
    const auto problem = CheckArea(left, right, top, bottom);
    const bool valid = left >= -180 && left <= 180 && right >= -180 && right <= 180 && top >= -85 &&
                       top <= 85 && bottom >= -85 && bottom <= 85 && left <= right && bottom <= top;
    fuzz::Check(!problem == valid, "the area passes exactly when it lies in range and in order");
    return 0;
}
