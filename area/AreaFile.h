// Areas from the files people have: GPX tracks and routes, KML placemarks, GeoJSON geometries.
#pragma once

#include <string>

#include "geo/AreaShape.h"

namespace quarrow {

struct AreaFileOptions {
    double CorridorKm = DefaultCorridorKm; // on each side of tracks, routes and lines
    // A GPX track whose first point is its last encloses an area: taken as a polygon.
    bool ClosedTracksAsPolygons = false;
    // The finest zoom level of the tasks to come: the points are thinned to it as they are read
    // (ShapeSimplifier.h), so that a track of millions of points takes little memory.
    int SimplifyZoom = 18;
};

// The shape in the file, told apart by its content (GPX, KML or GeoJSON), thinned at the
// options' zoom level. A GPX or KML file is read as a stream, never whole. Throws an Exception
// that names the file and says what is wrong or missing: unreadable, in none of the forms, no
// usable geometry, beyond the map or across the antimeridian.
AreaShape ReadAreaFile(const std::string& path, const AreaFileOptions& options = {});

} // namespace quarrow
