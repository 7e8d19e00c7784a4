#include "MBTilesWriter.h"

#include <sqlite3.h>

#include "base/NumberText.h"

namespace quarrow::archive {

MBTilesWriter::MBTilesWriter(std::string path, const ArchiveInfo& metadata)
    : m_file(std::move(path)) {
    m_file.Execute("CREATE TABLE metadata (name TEXT, value TEXT)");
    m_file.Execute("CREATE TABLE tiles (zoom_level INTEGER, tile_column INTEGER, "
                   "tile_row INTEGER, tile_data BLOB)");
    m_file.Execute("CREATE UNIQUE INDEX tile_index ON tiles (zoom_level, tile_column, tile_row)");
    const std::string minZoom = std::to_string(metadata.MinZoom);
    const std::string maxZoom = std::to_string(metadata.MaxZoom);
    const std::pair<const char*, std::string> rows[] = {
        {"name", metadata.Name},
        {"format", metadata.Format},
        {"type", "baselayer"},
        {"version", "1.0"},
        {"bounds", metadata.BoundsText()},
        {"center", metadata.CenterText()},
        {"minzoom", minZoom},
        {"maxzoom", maxZoom},
    };
    sqlite3_stmt* statement =
        m_file.Prepare("INSERT INTO metadata (name, value) VALUES (?, ?)", "metadata");
    for (const auto& [name, value] : rows) {
        sqlite3_bind_text(statement, 1, name, -1, SQLITE_STATIC);
        sqlite3_bind_text(statement, 2, value.c_str(), static_cast<int>(value.size()),
                          SQLITE_TRANSIENT);
        m_file.Step(statement, "metadata");
    }
    m_insert = m_file.Prepare("INSERT OR REPLACE INTO tiles (zoom_level, tile_column, tile_row, "
                              "tile_data) VALUES (?, ?, ?, ?)",
                              "tiles");
}

void MBTilesWriter::AddTile(int zoom, int x, int y, const std::string& bytes, const std::string&) {
    // TMS rows count from the south: row 0 is the XYZ row 2^zoom - 1.
    const long long tmsRow = (1LL << zoom) - 1 - y;
    sqlite3_bind_int(m_insert, 1, zoom);
    sqlite3_bind_int(m_insert, 2, x);
    sqlite3_bind_int64(m_insert, 3, tmsRow);
    sqlite3_bind_blob64(m_insert, 4, bytes.data(), bytes.size(), SQLITE_STATIC);
    m_file.Step(m_insert, "tile");
}

void MBTilesWriter::Finish() {
    m_file.Finish();
}

} // namespace quarrow::archive
