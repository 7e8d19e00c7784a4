// An area's bounds in degrees.
#pragma once

namespace quarrow {

// West, south, east, north in degrees.
struct GeoBounds {
    double West = -180, South = -85, East = 180, North = 85;
    bool operator==(const GeoBounds&) const = default;
};

} // namespace quarrow
