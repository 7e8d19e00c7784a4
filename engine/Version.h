// The version of Quarrow and its programs; the build description reads it from here.
#pragma once

#include <string_view>

namespace quarrow {

inline constexpr std::string_view QuarrowVersion = "5.56";

} // namespace quarrow
