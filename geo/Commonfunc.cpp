// Web-Mercator tile geometry. Everything is computed in double: extended precision moves points
// that lie on a tile border (longitude 0 at zoom 1) into the tile before it.
#include "Commonfunc.h"

#include <climits>
#include <cmath>

namespace quarrow {
namespace {

constexpr double Pi = 3.141592653589793;
constexpr double OneOver360 = 1.0 / 360.0;
constexpr double OneOver180 = 1.0 / 180.0;

// 2^z as a 32-bit int, formed by a shift. The count is masked to five bits as the processor's
// shift does, so an out-of-range zoom gives a defined (if useless) factor instead of UB.
double TilesPerSide(int z) {
    const unsigned shift = static_cast<unsigned>(z) & 31u;
    return static_cast<double>(static_cast<int>(1u << shift));
}

// Truncation toward zero; NaN gives 0 and values beyond int saturate, so no input is UB.
int TruncateToInt(double value) {
    if (std::isnan(value))
        return 0;
    if (value >= 2147483648.0)
        return INT_MAX;
    if (value <= -2147483649.0)
        return INT_MIN;
    return static_cast<int>(value);
}

} // namespace

double TileXOf(double lon, int z) {
    return (lon + 180.0) * OneOver360 * TilesPerSide(z);
}

double TileYOf(double lat, int z) {
    const double s = std::sin(Pi * lat * OneOver180);
    const double m = 0.5 * std::log((1.0 + s) / (1.0 - s));
    return (1.0 - m / Pi) * 0.5 * TilesPerSide(z);
}

int LonToTileX(double lon, int z) {
    return TruncateToInt(TileXOf(lon, z));
}

int LatToTileY(double lat, int z) {
    return TruncateToInt(TileYOf(lat, z));
}

double TileXToLon(double x, int z) {
    return 360.0 * x / TilesPerSide(z) - 180.0;
}

double TileYToLat(double y, int z) {
    // The exponent is 2a for a = pi * (1 - 2y / n); t = tanh(a).
    const double e2a = std::exp(2.0 * Pi - 4.0 * Pi * y / TilesPerSide(z));
    const double t = (e2a - 1.0) / (e2a + 1.0);
    return std::asin(t) * 180.0 / Pi;
}

} // namespace quarrow
