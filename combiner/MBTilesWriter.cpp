// One transaction for the whole file: the database is a new file that is renamed into place only
// when complete, so there is nothing to protect with a journal.
#include "MBTilesWriter.h"

#include <charconv>

#include <sqlite3.h>
#include <unistd.h>

#include "engine/Exception.h"
#include "engine/FileReplacer.h"

namespace quarrow::combiner {
namespace {

std::string Number(double value) {
    char buffer[32];
    const auto result = std::to_chars(buffer, buffer + sizeof buffer, value);
    return std::string(buffer, result.ptr);
}

} // namespace

std::string BoundsText(const ArchiveInfo& m) {
    return Number(m.West) + "," + Number(m.South) + "," + Number(m.East) + "," + Number(m.North);
}

MBTilesWriter::MBTilesWriter(std::string path, const ArchiveInfo& metadata)
    : m_path(std::move(path)) {
    // An empty file is an empty database; made here so that no planted link is opened.
    ::close(CreateFreshFile(m_path));
    if (sqlite3_open_v2(m_path.c_str(), &m_db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOFOLLOW,
                        nullptr) != SQLITE_OK)
        Fail("open");
    Execute("PRAGMA journal_mode=OFF");
    Execute("PRAGMA synchronous=OFF");
    Execute("BEGIN");
    Execute("CREATE TABLE metadata (name TEXT, value TEXT)");
    Execute("CREATE TABLE tiles (zoom_level INTEGER, tile_column INTEGER, tile_row INTEGER, "
            "tile_data BLOB)");
    Execute("CREATE UNIQUE INDEX tile_index ON tiles (zoom_level, tile_column, tile_row)");
    const std::string minZoom = std::to_string(metadata.MinZoom);
    const std::string maxZoom = std::to_string(metadata.MaxZoom);
    const double centerLon = (metadata.West + metadata.East) / 2;
    const double centerLat = (metadata.South + metadata.North) / 2;
    const std::pair<const char*, std::string> rows[] = {
        {"name", metadata.Name},
        {"format", metadata.Format},
        {"type", "baselayer"},
        {"version", "1.0"},
        {"bounds", BoundsText(metadata)},
        {"center", Number(centerLon) + "," + Number(centerLat) + "," + minZoom},
        {"minzoom", minZoom},
        {"maxzoom", maxZoom},
    };
    sqlite3_stmt* statement = nullptr;
    if (sqlite3_prepare_v2(m_db, "INSERT INTO metadata (name, value) VALUES (?, ?)", -1, &statement,
                           nullptr) != SQLITE_OK)
        Fail("metadata");
    for (const auto& [name, value] : rows) {
        sqlite3_bind_text(statement, 1, name, -1, SQLITE_STATIC);
        sqlite3_bind_text(statement, 2, value.c_str(), static_cast<int>(value.size()),
                          SQLITE_TRANSIENT);
        const int step = sqlite3_step(statement);
        sqlite3_reset(statement);
        if (step != SQLITE_DONE) {
            sqlite3_finalize(statement);
            Fail("metadata");
        }
    }
    sqlite3_finalize(statement);
    if (sqlite3_prepare_v2(m_db,
                           "INSERT OR REPLACE INTO tiles (zoom_level, tile_column, tile_row, "
                           "tile_data) "
                           "VALUES (?, ?, ?, ?)",
                           -1, &m_insert, nullptr) != SQLITE_OK)
        Fail("tiles");
}

MBTilesWriter::~MBTilesWriter() {
    sqlite3_finalize(m_insert);
    sqlite3_close(m_db);
}

void MBTilesWriter::Execute(const char* sql) {
    if (sqlite3_exec(m_db, sql, nullptr, nullptr, nullptr) != SQLITE_OK)
        Fail(sql);
}

void MBTilesWriter::Fail(const char* what) {
    const std::string reason = m_db != nullptr ? sqlite3_errmsg(m_db) : "out of memory";
    throw WriteError(m_path, std::string(" (") + what + "): " + reason);
}

void MBTilesWriter::AddTile(int zoom, int x, int y, const std::string& bytes, const std::string&) {
    // TMS rows count from the south: row 0 is the XYZ row 2^zoom - 1.
    const long long tmsRow = (1LL << zoom) - 1 - y;
    sqlite3_bind_int(m_insert, 1, zoom);
    sqlite3_bind_int(m_insert, 2, x);
    sqlite3_bind_int64(m_insert, 3, tmsRow);
    sqlite3_bind_blob64(m_insert, 4, bytes.data(), bytes.size(), SQLITE_STATIC);
    const int step = sqlite3_step(m_insert);
    sqlite3_reset(m_insert);
    if (step != SQLITE_DONE)
        Fail("tile");
}

void MBTilesWriter::Finish() {
    sqlite3_finalize(m_insert);
    m_insert = nullptr;
    Execute("COMMIT");
    if (sqlite3_close(m_db) != SQLITE_OK)
        Fail("close");
    m_db = nullptr;
}

} // namespace quarrow::combiner
