// OsmAnd's form (its documentation of the SQLite format): tiles (x, y, z, s, image, time) with z
// the zoom level, and one row of info: the zoom levels, how to continue online (url, randoms,
// referer, useragent), ellipsoid 0 (the spherical Mercator of web maps), inverted_y, the time
// column, tilenumbering "simple" and the tile size. The BigPlanet form: tiles (x, y, z, s, image)
// with z = 17 - zoom, and info (maxzoom, minzoom) in that numbering, as RMaps wrote it.
#include "SqliteDbWriter.h"

#include <sqlite3.h>

#include "engine/TileFormat.h"
#include "base/Exception.h"
#include "base/TextRules.h"
#include "store/TileFile.h"

namespace quarrow::archive {

struct FormSettings {
    bool BigPlanetZoom; // z = 17 - zoom, in the tiles and in info
    bool Time;          // a time column in tiles, with each tile's time
    const char* Tables;
};

namespace {

// clang-format off
//                                     17 - zoom  time   tables
const FormSettings OsmAndSettings    {false,      true,
    "CREATE TABLE tiles (x int, y int, z int, s int, image blob, time long, "
    "PRIMARY KEY (x, y, z, s));"
    "CREATE TABLE info (tilenumbering text, minzoom int, maxzoom int, url text, randoms text, "
    "ellipsoid int, inverted_y int, referer text, useragent text, timecolumn text, "
    "expireminutes int, tilesize int);"};
const FormSettings BigPlanetSettings {true,       false,
    "CREATE TABLE tiles (x int, y int, z int, s int, image blob, PRIMARY KEY (x, y, z, s));"
    "CREATE TABLE info (maxzoom int, minzoom int);"
    "CREATE TABLE android_metadata (locale text);"
    "INSERT INTO android_metadata VALUES ('en_US');"};
// clang-format on

} // namespace

std::string OsmAndUrl(const TileSource& source, bool& flippedRows) {
    std::string url;
    for (const std::string& one : source.Templates)
        if (!one.empty()) {
            url = one;
            break;
        }
    flippedRows = url.find("{-y}") != std::string::npos;
    if (url.find("{q}") != std::string::npos || url.find("{$q}") != std::string::npos)
        return {};
    for (const char* zoom : {"{z}", "{zoom}", "{$z}"})
        ReplaceAll(url, zoom, "{0}");
    for (const char* x : {"{x}", "{$x}"})
        ReplaceAll(url, x, "{1}");
    for (const char* y : {"{y}", "{$y}", "{-y}"})
        ReplaceAll(url, y, "{2}");
    for (const char* subdomain : {"{s}", "{$serverpart}"})
        ReplaceAll(url, subdomain, "{rnd}");
    ReplaceAll(url, "{r}", "");
    return url;
}

SqliteDbWriter::SqliteDbWriter(std::string path, const ArchiveInfo& info, SqliteForm form,
                               WebpToPng toPng)
    : m_form(form == SqliteForm::OsmAnd ? OsmAndSettings : BigPlanetSettings),
      m_webp(TileFormatNamed(info.Format) == &RowOf(TileFormat::Webp)), m_toPng(std::move(toPng)),
      m_file(std::move(path)) {
    m_file.Execute(m_form.Tables, "CREATE TABLE");

    sqlite3_stmt* statement = nullptr;
    const auto text = [&](int column, const std::string& value) {
        sqlite3_bind_text(statement, column, value.c_str(), static_cast<int>(value.size()),
                          SQLITE_TRANSIENT);
    };
    if (m_form.BigPlanetZoom) {
        statement = m_file.Prepare("INSERT INTO info (maxzoom, minzoom) VALUES (?, ?)", "info");
        sqlite3_bind_int(statement, 1, 17 - info.MinZoom);
        sqlite3_bind_int(statement, 2, 17 - info.MaxZoom);
    } else {
        statement = m_file.Prepare(
            "INSERT INTO info (tilenumbering, minzoom, maxzoom, url, randoms, ellipsoid, "
            "inverted_y, referer, useragent, timecolumn, expireminutes, tilesize) VALUES "
            "('simple', ?, ?, ?, ?, 0, ?, ?, ?, 'yes', 0, 256)",
            "info");
        bool flipped = false;
        std::string url, randoms, referer, agent;
        if (info.Source) {
            url = OsmAndUrl(*info.Source, flipped);
            for (const std::string& subdomain : info.Source->Subdomains)
                randoms += (randoms.empty() ? "" : ",") + subdomain;
            referer = info.Source->Referer;
            agent = UserAgentOf(*info.Source);
        }
        sqlite3_bind_int(statement, 1, info.MinZoom);
        sqlite3_bind_int(statement, 2, info.MaxZoom);
        text(3, url);
        text(4, randoms);
        sqlite3_bind_int(statement, 5, flipped ? 1 : 0);
        text(6, referer);
        text(7, agent);
    }
    m_file.Step(statement, "info");
    m_insert =
        m_file.Prepare(m_form.Time ? "INSERT OR REPLACE INTO tiles (x, y, z, s, image, time) "
                                     "VALUES (?, ?, ?, 0, ?, ?)"
                                   : "INSERT OR REPLACE INTO tiles (x, y, z, s, image) "
                                     "VALUES (?, ?, ?, 0, ?)",
                       "tiles");
}

void SqliteDbWriter::AddTile(int zoom, int x, int y, const std::string& bytes,
                             const std::string& path) {
    sqlite3_bind_int(m_insert, 1, x);
    sqlite3_bind_int(m_insert, 2, y);
    sqlite3_bind_int(m_insert, 3, m_form.BigPlanetZoom ? 17 - zoom : zoom);
    // The phone apps that read these files decode PNG and JPEG; a WebP goes in as a PNG.
    const std::string* image = &bytes;
    std::string converted;
    if (m_webp) {
        converted = m_toPng(bytes);
        if (converted.empty())
            throw Exception("The tile " + path + " cannot be converted from WebP to PNG.");
        image = &converted;
    }
    sqlite3_bind_blob64(m_insert, 4, image->data(), image->size(), SQLITE_STATIC);
    if (m_form.Time) {
        // When the tile was fetched: its file's time, in milliseconds since 1970.
        const std::optional<TileFile> file = LookAtTileFile(path);
        sqlite3_bind_int64(m_insert, 5, file ? file->WrittenMs : 0);
    }
    m_file.Step(m_insert, "tile");
}

void SqliteDbWriter::Finish() {
    m_file.Finish();
}

} // namespace quarrow::archive
