// The area files as people have them: a GPS unit's GPX with segments and a route, a KML with
// nested folders, a GeoJSON FeatureCollection; and what is not usable, told with the file's name.
#include "area/AreaFile.h"

#include <cmath>
#include <random>

#include <filesystem>
#include <sys/stat.h>

#include <gtest/gtest.h>

#include "base/Exception.h"
#include "tests/support/TempDir.h"

namespace quarrow {
namespace {

using test::TempDir;
using test::WriteFileBytes;

const char* const Gpx = R"(<?xml version="1.0" encoding="UTF-8" standalone="no" ?>
<gpx xmlns="http://www.topografix.com/GPX/1/1" creator="eTrex 32x" version="1.1">
  <metadata><link href="http://www.garmin.com"><text>Garmin International</text></link>
    <time>2026-06-01T08:00:00Z</time></metadata>
  <wpt lat="47.0" lon="8.0"><name>Start</name></wpt>
  <trk><name>Morning</name><extensions><DisplayColor>Cyan</DisplayColor></extensions>
    <trkseg>
      <trkpt lat="47.3701" lon="8.5402"><ele>408.1</ele><time>2026-06-01T08:00:01Z</time></trkpt>
      <trkpt lat="47.3722" lon="8.5450"><ele>410.0</ele></trkpt>
    </trkseg>
    <trkseg>
      <trkpt lat="47.3750" lon="8.5500"/><trkpt lat="47.3780" lon="8.5550"/>
      <trkpt lat="47.3800" lon="8.5600"/>
    </trkseg>
  </trk>
  <rte><name>Back</name><rtept lat="47.3800" lon="8.5600"/><rtept lat="47.3701" lon="8.5402"/></rte>
</gpx>)";

const char* const Kml = R"(<?xml version="1.0" encoding="UTF-8"?>
<kml xmlns="http://www.opengis.net/kml/2.2"><Document><name>Trip</name>
  <Folder><name>Days</name><Folder><name>Day 1</name>
    <Placemark><name>Park</name><Polygon>
      <innerBoundaryIs><LinearRing><coordinates>8.52,47.36 8.53,47.36 8.53,47.37 8.52,47.36</coordinates></LinearRing></innerBoundaryIs>
      <outerBoundaryIs><LinearRing><coordinates>
        8.50,47.35,0 8.55,47.35,0 8.55,47.39,0 8.50,47.39,0 8.50,47.35,0
      </coordinates></LinearRing></outerBoundaryIs></Polygon></Placemark>
  </Folder></Folder>
  <Placemark><name>Both</name><MultiGeometry>
    <LineString><coordinates>8.6,47.4 8.7,47.45</coordinates></LineString>
    <Polygon><outerBoundaryIs><LinearRing><coordinates>8.8,47.5 8.9,47.5 8.9,47.6 8.8,47.5</coordinates></LinearRing></outerBoundaryIs></Polygon>
  </MultiGeometry></Placemark>
</Document></kml>)";

const char* const GeoJson = R"({"type": "FeatureCollection", "features": [
  {"type": "Feature", "properties": {"name": "Lake"}, "geometry": {"type": "Polygon",
   "coordinates": [[[8.6, 47.2], [8.7, 47.2], [8.7, 47.3], [8.6, 47.2]]]}},
  {"type": "Feature", "properties": {"corridor_km": 1.5}, "geometry": {"type": "MultiLineString",
   "coordinates": [[[8.1, 47.1], [8.2, 47.15]], [[8.3, 47.1], [8.35, 47.2], [8.4, 47.25]]]}},
  {"type": "Feature", "properties": {}, "geometry": {"type": "Point", "coordinates": [8, 47]}}
]})";

AreaShape Read(const TempDir& folder, const std::string& name, const char* content,
               AreaFileOptions options = {}) {
    WriteFileBytes(folder.Path() + name, content);
    return ReadAreaFile(folder.Path() + name, options);
}

TEST(AreaFile, EachFormGivesItsTracksRoutesPolygonsAndHoles) {
    TempDir folder;
    const AreaShape gpx = Read(folder, "walk.gpx", Gpx);
    ASSERT_EQ(3u, gpx.Lines.size()); // two segments and the route; the waypoint is no area
    EXPECT_EQ((GeoLine{{8.5402, 47.3701}, {8.5450, 47.3722}}), gpx.Lines[0]);
    EXPECT_EQ(3u, gpx.Lines[1].size());
    EXPECT_TRUE(gpx.Polygons.empty());
    EXPECT_EQ(2, gpx.CorridorKm);

    // The route ends where the track began; the second segment does not close.
    AreaFileOptions closed;
    closed.ClosedTracksAsPolygons = true;
    closed.CorridorKm = 0.5;
    WriteFileBytes(folder.Path() + "loop.gpx",
                   "<gpx><trk><trkseg><trkpt lat='1' lon='1'/><trkpt lat='1' lon='2'/>"
                   "<trkpt lat='2' lon='2'/><trkpt lat='1' lon='1'/></trkseg></trk></gpx>");
    const AreaShape loop = ReadAreaFile(folder.Path() + "loop.gpx", closed);
    ASSERT_EQ(1u, loop.Polygons.size());
    EXPECT_EQ((GeoRing{{1, 1}, {2, 1}, {2, 2}}), loop.Polygons[0][0]);

    const AreaShape kml = Read(folder, "trip.kml", Kml);
    ASSERT_EQ(2u, kml.Polygons.size());
    ASSERT_EQ(2u, kml.Polygons[0].size()); // the outer ring first, then the hole
    EXPECT_EQ(4u, kml.Polygons[0][0].size());
    EXPECT_EQ((GeoPoint{8.52, 47.36}), kml.Polygons[0][1][0]);
    EXPECT_EQ(1u, kml.Lines.size());

    const AreaShape geojson = Read(folder, "lake.geojson", GeoJson);
    EXPECT_EQ(1u, geojson.Polygons.size());
    EXPECT_EQ(2u, geojson.Lines.size());
    EXPECT_EQ(1.5, geojson.CorridorKm);
    // Written and read back: the same shape.
    EXPECT_EQ(geojson, ShapeFromGeoJson(ShapeGeoJson(geojson)));

    // Every number comes back as it was: a GPS unit's seven decimals and fewer (written short),
    // and any other double, ones a hair from a seven-decimal value included, and the corridor.
    std::mt19937_64 random(11);
    std::uniform_real_distribution<double> degrees(-85, 85);
    AreaShape line;
    line.Lines.emplace_back();
    for (int i = 0; i < 3000; ++i) {
        const double any = degrees(random);
        const double gps = std::round(any * 1e7) / 1e7;
        line.Lines[0].push_back({any, gps});
        line.Lines[0].push_back({std::nextafter(gps, 100.0), std::round(any * 10) / 10});
    }
    line.Lines[0].push_back({-180, 0.5});
    line.CorridorKm = 1.0 / 3; // a corridor a program worked out, which a resume compares
    const std::string text = ShapeGeoJson(line);
    EXPECT_EQ(line, ShapeFromGeoJson(text));
    EXPECT_NE(std::string::npos, text.find("[-180,0.5]"));

    // A ring that ends where it began, its closing point given twice, comes back whole.
    const AreaShape doubled = ShapeFromGeoJson(
        R"({"type":"Polygon","coordinates":[[[116,39],[117,39],[117,40],[116,39],[116,39]]]})");
    EXPECT_EQ(doubled, ShapeFromGeoJson(ShapeGeoJson(doubled)));
}

TEST(AreaFile, WhatCannotBeAnAreaIsToldWithTheFile) {
    TempDir folder;
    const auto fault = [&](const std::string& name, const char* content) {
        WriteFileBytes(folder.Path() + name, content);
        try {
            ReadAreaFile(folder.Path() + name);
        } catch (const Exception& error) {
            return error.Message();
        }
        return std::string("read");
    };
    const std::string lead = "The area file " + folder.Path();
    EXPECT_EQ(lead + "a.xml is not usable: it is neither GPX, KML nor GeoJSON.",
              fault("a.xml", "<svg/>"));
    EXPECT_EQ(lead + "w.gpx is not usable: it holds no track, route, polygon or line.",
              fault("w.gpx", "<gpx><wpt lat='1' lon='2'/></gpx>"));
    EXPECT_EQ(lead + "p.json is not usable: it holds no Polygon, MultiPolygon, LineString or "
                     "MultiLineString.",
              fault("p.json", R"({"type": "Point", "coordinates": [1, 2]})"));
    EXPECT_EQ(lead + "x.gpx is not usable: It crosses the antimeridian (longitude 180), which a "
                     "task cannot: split it in two at 180.",
              fault("x.gpx", "<gpx><rte><rtept lat='60' lon='179.5'/><rtept lat='60' "
                             "lon='-179.5'/></rte></gpx>"));
    // What expat refuses says where; entities are refused before any is expanded.
    EXPECT_EQ(lead + "cut.gpx is not usable: it cannot be read: no element found at line 1.",
              fault("cut.gpx", "<gpx><trk><trkseg><trkpt lat='1' lon='2'/>"));
    EXPECT_EQ(lead + "bomb.gpx is not usable: it cannot be read: it declares XML entities.",
              fault("bomb.gpx", "<!DOCTYPE gpx [<!ENTITY a \"1234567890\"><!ENTITY b "
                                "\"&a;&a;&a;&a;&a;&a;&a;&a;&a;&a;\">]><gpx><rte><rtept lat='&b;' "
                                "lon='1'/></rte></gpx>"));
    EXPECT_EQ(lead + "e.kml is not usable: it is neither GPX, KML nor GeoJSON.", fault("e.kml", ""));
    try {
        ReadAreaFile(folder.Path() + "none.gpx");
        ADD_FAILURE() << "a missing file was read";
    } catch (const Exception& error) {
        EXPECT_EQ("The area file " + folder.Path() + "none.gpx cannot be read.", error.Message());
    }
    // A FIFO is not waited on, a device not read without end.
    ASSERT_EQ(0, ::mkfifo((folder.Path() + "fifo.gpx").c_str(), 0600));
    std::filesystem::create_symlink("/dev/zero", folder.Path() + "zero.kml");
    for (const char* name : {"fifo.gpx", "zero.kml"}) {
        try {
            ReadAreaFile(folder.Path() + name);
            ADD_FAILURE() << name << " was read";
        } catch (const Exception& error) {
            EXPECT_EQ("The area file " + folder.Path() + name + " is not a regular file.",
                      error.Message());
        }
    }
}

TEST(AreaFile, XmlIsReadAsItStreamsWhateverItsPiecesPrefixesAndEncoding) {
    TempDir folder;
    // One <coordinates> of 40,000 points (about 1 MB, many read pieces), every kind of XML space
    // between them: a zigzag that thinning keeps whole, so each tuple cut between two pieces
    // shows as a lost or wrong point.
    std::string kml = "<kml><Placemark><LineString><coordinates>";
    GeoLine zigzag;
    const char* const spaces[] = {" ", "\n", "\t", "\r\n  "};
    for (int i = 0; i < 40000; ++i) {
        zigzag.push_back({8 + i * 1e-4, 47 + (i % 2) * 1e-3});
        kml += std::to_string(zigzag.back().Lon) + "," + std::to_string(zigzag.back().Lat) + ",0" +
               spaces[i % 4];
    }
    kml += "</coordinates></LineString></Placemark></kml>";
    const AreaShape line = Read(folder, "long.kml", kml.c_str());
    ASSERT_EQ(1u, line.Lines.size());
    ASSERT_EQ(zigzag.size(), line.Lines[0].size());
    for (std::size_t i = 0; i < zigzag.size(); ++i)
        ASSERT_NEAR(zigzag[i].Lon, line.Lines[0][i].Lon, 1e-6) << i;

    // A Windows code page, prefixed names, a number with a decimal comma (no point) and blanks
    // around numbers.
    const AreaShape gpx = Read(folder, "old.gpx",
                               "<?xml version='1.0' encoding='windows-1252'?>\n"
                               "<g:gpx xmlns:g='http://www.topografix.com/GPX/1/1'><g:trk>"
                               "<g:name>Caf\xe9 \x80</g:name><g:trkseg>"
                               "<g:trkpt lat=' 47.1 ' lon='8.1'/><g:trkpt lat='47,2' lon='8.2'/>"
                               "<g:trkpt lat='47.3' lon='+8.3'/></g:trkseg></g:trk></g:gpx>");
    ASSERT_EQ(1u, gpx.Lines.size());
    EXPECT_EQ((GeoLine{{8.1, 47.1}, {8.3, 47.3}}), gpx.Lines[0]);
}

} // namespace
} // namespace quarrow
