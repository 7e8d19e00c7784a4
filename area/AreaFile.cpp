// XML through Qt's stream reader, element names without their namespaces; GeoJSON through the
// engine's own reader, which also reads a task's saved area.
#include "AreaFile.h"

#include <QFile>
#include <QString>
#include <QStringList>
#include <QXmlStreamReader>

#include "engine/Exception.h"
#include "engine/ShapeSimplifier.h"

namespace quarrow {

namespace {

bool NearlyEqual(const GeoPoint& a, const GeoPoint& b) {
    return std::abs(a.Lon - b.Lon) < 1e-9 && std::abs(a.Lat - b.Lat) < 1e-9;
}

// <gpx>: every track segment and every route is a line, thinned as its points come.
void ReadGpx(QXmlStreamReader& xml, const AreaFileOptions& options, AreaShape& shape) {
    PointSimplifier simplifier(options.SimplifyZoom);
    const auto finish = [&] {
        GeoLine line = simplifier.Finish();
        if (options.ClosedTracksAsPolygons && line.size() > 3 &&
            NearlyEqual(line.front(), line.back())) {
            line.pop_back();
            shape.Polygons.push_back({std::move(line)});
        } else if (!line.empty()) {
            shape.Lines.push_back(std::move(line));
        }
    };
    // Millions of points: each element's name and attributes are looked at once.
    while (!xml.atEnd()) {
        const QXmlStreamReader::TokenType token = xml.readNext();
        if (token == QXmlStreamReader::StartElement) {
            const QStringView name = xml.name();
            if (name != u"trkpt" && name != u"rtept")
                continue;
            bool lonRead = false, latRead = false;
            double lon = 0, lat = 0;
            for (const QXmlStreamAttribute& attribute : xml.attributes()) {
                const QStringView key = attribute.name();
                if (key == u"lon")
                    lon = attribute.value().toDouble(&lonRead);
                else if (key == u"lat")
                    lat = attribute.value().toDouble(&latRead);
            }
            if (lonRead && latRead)
                simplifier.Add({lon, lat});
        } else if (token == QXmlStreamReader::EndElement) {
            const QStringView name = xml.name();
            if (name == u"trkseg" || name == u"rte")
                finish();
        }
    }
}

// "lon,lat[,alt] lon,lat[,alt] ..." of a KML <coordinates>.
std::vector<GeoPoint> KmlPoints(const QString& text) {
    std::vector<GeoPoint> points;
    for (const QString& tuple : text.simplified().split(QLatin1Char(' '), Qt::SkipEmptyParts)) {
        const QStringList parts = tuple.split(QLatin1Char(','));
        bool lonRead = false, latRead = false;
        const double lon = parts.value(0).toDouble(&lonRead);
        const double lat = parts.value(1).toDouble(&latRead);
        if (lonRead && latRead)
            points.push_back({lon, lat});
    }
    return points;
}

GeoRing KmlRing(const QString& text) {
    GeoRing ring = KmlPoints(text);
    if (ring.size() > 1 && NearlyEqual(ring.front(), ring.back()))
        ring.pop_back();
    return ring;
}

// <kml>: the geometries of every Placemark, at any depth, MultiGeometry included.
void ReadKml(QXmlStreamReader& xml, AreaShape& shape) {
    GeoPolygon polygon;
    bool inPolygon = false, inner = false, inLine = false;
    while (!xml.atEnd()) {
        xml.readNext();
        const QStringView name = xml.name();
        if (xml.isStartElement()) {
            if (name == u"Polygon") {
                inPolygon = true;
                polygon.clear();
            } else if (name == u"outerBoundaryIs") {
                inner = false;
            } else if (name == u"innerBoundaryIs") {
                inner = true;
            } else if (name == u"LineString") {
                inLine = true;
            } else if (name == u"coordinates") {
                const QString text = xml.readElementText();
                if (inPolygon) {
                    GeoRing ring = KmlRing(text);
                    // The outer boundary first, whichever order the file has.
                    if (inner)
                        polygon.push_back(std::move(ring));
                    else
                        polygon.insert(polygon.begin(), std::move(ring));
                } else if (inLine) {
                    shape.Lines.push_back(KmlPoints(text));
                }
            }
        } else if (xml.isEndElement()) {
            if (name == u"Polygon") {
                if (!polygon.empty())
                    shape.Polygons.push_back(std::move(polygon));
                polygon.clear();
                inPolygon = false;
            } else if (name == u"LineString") {
                inLine = false;
            }
        }
    }
}

} // namespace

AreaShape ReadAreaFile(const std::string& path, const AreaFileOptions& options) {
    QFile file(QString::fromStdString(path));
    if (!file.open(QIODevice::ReadOnly))
        throw Exception("The area file " + path + " cannot be read.");
    // JSON begins with "{"; XML is read from the file as it goes.
    const bool json = file.peek(4096).trimmed().startsWith('{');
    AreaShape shape;
    shape.CorridorKm = options.CorridorKm;
    try {
        if (json) {
            shape = SimplifyShape(ShapeFromGeoJson(file.readAll().toStdString(), options.CorridorKm),
                                  options.SimplifyZoom);
        } else {
            QXmlStreamReader xml(&file);
            if (!xml.readNextStartElement())
                throw Exception("it is neither GPX, KML nor GeoJSON");
            if (xml.name() == u"gpx") {
                ReadGpx(xml, options, shape);
                shape.SimplifiedAt = options.SimplifyZoom;
            } else if (xml.name() == u"kml") {
                ReadKml(xml, shape);
                shape = SimplifyShape(shape, options.SimplifyZoom);
            } else
                throw Exception("it is neither GPX, KML nor GeoJSON");
            if (xml.hasError())
                throw Exception("it cannot be read: " + xml.errorString().toStdString());
            if (shape.Empty())
                throw Exception("it holds no track, route, polygon or line");
        }
    } catch (const Exception& error) {
        throw Exception("The area file " + path + " is not usable: " + error.Message() + ".");
    }
    // Lines of a single point and rings of fewer than three corners carry no area.
    std::erase_if(shape.Lines, [](const GeoLine& line) { return line.size() < 2; });
    if (const auto fault = CheckShape(shape))
        throw Exception("The area file " + path + " is not usable: " + *fault);
    return shape;
}

} // namespace quarrow
