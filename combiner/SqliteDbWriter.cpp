// OsmAnd's form (its documentation of the SQLite format): tiles (x, y, z, s, image, time) with z
// the zoom level, and one row of info: the zoom levels, how to continue online (url, randoms,
// referer, useragent), ellipsoid 0 (the spherical Mercator of web maps), inverted_y, the time
// column, tilenumbering "simple" and the tile size. The BigPlanet form: tiles (x, y, z, s, image)
// with z = 17 - zoom, and info (maxzoom, minzoom) in that numbering, as RMaps wrote it.
#include "SqliteDbWriter.h"

#include <algorithm>
#include <chrono>
#include <filesystem>

#include <sqlite3.h>
#include <unistd.h>

#include "engine/Exception.h"
#include "engine/FileReplacer.h"

namespace quarrow::combiner {

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

void Replace(std::string& text, const std::string& from, const std::string& to) {
    for (std::size_t at = 0; (at = text.find(from, at)) != std::string::npos; at += to.size())
        text.replace(at, from.size(), to);
}

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
        Replace(url, zoom, "{0}");
    for (const char* x : {"{x}", "{$x}"})
        Replace(url, x, "{1}");
    for (const char* y : {"{y}", "{$y}", "{-y}"})
        Replace(url, y, "{2}");
    for (const char* subdomain : {"{s}", "{$serverpart}"})
        Replace(url, subdomain, "{rnd}");
    Replace(url, "{r}", "");
    return url;
}

SqliteDbWriter::SqliteDbWriter(std::string path, const ArchiveInfo& info, SqliteForm form)
    : m_path(std::move(path)),
      m_form(form == SqliteForm::OsmAnd ? OsmAndSettings : BigPlanetSettings) {
    // An empty file is an empty database; made here so that no planted link is opened.
    ::close(CreateFreshFile(m_path));
    if (sqlite3_open_v2(m_path.c_str(), &m_db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOFOLLOW,
                        nullptr) != SQLITE_OK)
        Fail("open");
    // One transaction for a new file renamed into place only when complete: no journal.
    Execute("PRAGMA journal_mode=OFF");
    Execute("PRAGMA synchronous=OFF");
    Execute("BEGIN");
    Execute(m_form.Tables);

    sqlite3_stmt* statement = nullptr;
    const auto text = [&](int column, const std::string& value) {
        sqlite3_bind_text(statement, column, value.c_str(), static_cast<int>(value.size()),
                          SQLITE_TRANSIENT);
    };
    if (m_form.BigPlanetZoom) {
        if (sqlite3_prepare_v2(m_db, "INSERT INTO info (maxzoom, minzoom) VALUES (?, ?)", -1,
                               &statement, nullptr) != SQLITE_OK)
            Fail("info");
        sqlite3_bind_int(statement, 1, 17 - info.MinZoom);
        sqlite3_bind_int(statement, 2, 17 - info.MaxZoom);
    } else {
        if (sqlite3_prepare_v2(m_db,
                               "INSERT INTO info (tilenumbering, minzoom, maxzoom, url, randoms, "
                               "ellipsoid, inverted_y, referer, useragent, timecolumn, "
                               "expireminutes, tilesize) VALUES ('simple', ?, ?, ?, ?, 0, ?, ?, ?, "
                               "'yes', 0, 256)",
                               -1, &statement, nullptr) != SQLITE_OK)
            Fail("info");
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
    const int step = sqlite3_step(statement);
    sqlite3_finalize(statement);
    if (step != SQLITE_DONE)
        Fail("info");
    const char* insert = m_form.Time
                             ? "INSERT OR REPLACE INTO tiles (x, y, z, s, image, time) "
                               "VALUES (?, ?, ?, 0, ?, ?)"
                             : "INSERT OR REPLACE INTO tiles (x, y, z, s, image) "
                               "VALUES (?, ?, ?, 0, ?)";
    if (sqlite3_prepare_v2(m_db, insert, -1, &m_insert, nullptr) != SQLITE_OK)
        Fail("tiles");
}

SqliteDbWriter::~SqliteDbWriter() {
    sqlite3_finalize(m_insert);
    sqlite3_close(m_db);
}

void SqliteDbWriter::Execute(const std::string& sql) {
    if (sqlite3_exec(m_db, sql.c_str(), nullptr, nullptr, nullptr) != SQLITE_OK)
        Fail(sql.substr(0, sql.find(' ', 8)));
}

void SqliteDbWriter::Fail(const std::string& what) {
    const std::string reason = m_db != nullptr ? sqlite3_errmsg(m_db) : "out of memory";
    throw WriteError(m_path, " (" + what + "): " + reason);
}

void SqliteDbWriter::AddTile(int zoom, int x, int y, const std::string& bytes,
                             const std::string& path) {
    sqlite3_bind_int(m_insert, 1, x);
    sqlite3_bind_int(m_insert, 2, y);
    sqlite3_bind_int(m_insert, 3, m_form.BigPlanetZoom ? 17 - zoom : zoom);
    sqlite3_bind_blob64(m_insert, 4, bytes.data(), bytes.size(), SQLITE_STATIC);
    if (m_form.Time) {
        // When the tile was fetched: its file's time, in milliseconds since 1970.
        std::error_code ec;
        const auto written = std::filesystem::last_write_time(path, ec);
        long long ms = 0;
        if (!ec)
            ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                     std::chrono::file_clock::to_sys(written).time_since_epoch())
                     .count();
        sqlite3_bind_int64(m_insert, 5, ms);
    }
    const int step = sqlite3_step(m_insert);
    sqlite3_reset(m_insert);
    if (step != SQLITE_DONE)
        Fail("tile");
}

void SqliteDbWriter::Finish() {
    sqlite3_finalize(m_insert);
    m_insert = nullptr;
    Execute("COMMIT");
    if (sqlite3_close(m_db) != SQLITE_OK)
        Fail("close");
    m_db = nullptr;
}

} // namespace quarrow::combiner
