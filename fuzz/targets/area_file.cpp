// A GPX, KML or GeoJSON file the user brings: read as a stream, it is refused or gives a shape
// that a task can take and that writes back and reads again the same.
#include "FuzzSupport.h"
#include "area/AreaFile.h"
#include "geo/AreaShape.h"
#include "base/Exception.h"

using namespace quarrow;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 1)
        return 0;
    AreaFileOptions options;
    options.SimplifyZoom = 1 + data[0] % 18;
    options.ClosedTracksAsPolygons = data[0] & 0x80;
    const std::string path = fuzz::ScratchFolder() + "area";
    fuzz::WriteBytes(path, std::string_view(reinterpret_cast<const char*>(data) + 1, size - 1));
    AreaShape shape;
    try {
        shape = ReadAreaFile(path, options);
    } catch (const Exception&) {
        return 0;
    }
    fuzz::Check(!shape.Empty() && !CheckShape(shape), "a shape read is one a task can take");
    fuzz::Check(ShapeFromGeoJson(ShapeGeoJson(shape), shape.CorridorKm) == shape,
                "a shape read writes back and reads again the same");
    return 0;
}
