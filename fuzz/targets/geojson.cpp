// An area as GeoJSON, from the user or a task's folder: a shape read writes back and reads again
// the same, and thinning it keeps its lines' ends and its rings' corners of three or more.
#include "FuzzSupport.h"
#include "geo/AreaShape.h"
#include "base/Exception.h"
#include "geo/ShapeSimplifier.h"

using namespace quarrow;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 1)
        return 0;
    const int zoom = 1 + data[0] % 18;
    const std::string text(reinterpret_cast<const char*>(data) + 1, size - 1);
    AreaShape shape;
    try {
        shape = ShapeFromGeoJson(text);
    } catch (const Exception&) {
        return 0;
    }
    fuzz::Check(ShapeFromGeoJson(ShapeGeoJson(shape), shape.CorridorKm) == shape,
                "a shape written reads back the same");
    const AreaShape thin = SimplifyShape(shape, zoom);
    fuzz::Check(thin.Lines.size() == shape.Lines.size() &&
                    thin.Polygons.size() == shape.Polygons.size(),
                "thinning keeps every part");
    for (std::size_t i = 0; i < shape.Lines.size(); ++i)
        if (!shape.Lines[i].empty())
            fuzz::Check(thin.Lines[i].front() == shape.Lines[i].front() &&
                            thin.Lines[i].back() == shape.Lines[i].back(),
                        "a line keeps its ends");
    CheckShape(thin);
    return 0;
}
