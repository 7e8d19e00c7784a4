// The SQLite tile files of phone apps (.sqlitedb): OsmAnd's own form, and the older BigPlanet form
// that Locus, RMaps and OsmAnd all open. One writer; what differs is a row of a few settings.
#pragma once

#include <functional>
#include <string>
#include <string_view>

#include "NewSqliteFile.h"
#include "TileArchive.h"

namespace quarrow::archive {

enum class SqliteForm { OsmAnd, BigPlanet };
struct FormSettings;

// A URL template as OsmAnd continues a map online from: {0} the zoom, {1} x, {2} y and {rnd} one
// of the subdomains; empty when the template names what OsmAnd's form cannot ({q}). flippedRows
// tells that the rows count from the south ({-y}).
std::string OsmAndUrl(const TileSource& source, bool& flippedRows);

class SqliteDbWriter final : public TileArchive {
public:
    // The phone apps that read these files decode PNG and JPEG: a WebP tile goes in as the PNG
    // this gives (empty when it cannot).
    using WebpToPng = std::function<std::string(const std::string& webp)>;

    // Creates the database (the file must not hold another) with its tables and its info;
    // throws an Exception naming the path and SQLite's reason.
    SqliteDbWriter(std::string path, const ArchiveInfo& info, SqliteForm form, WebpToPng toPng);

    // The tile with its file's time where the form keeps one.
    void AddTile(int zoom, int x, int y, const std::string& bytes,
                 const std::string& path) override;
    void Finish() override;

private:
    const FormSettings& m_form;
    const bool m_webp; // the tiles are WebP, stored as PNG
    WebpToPng m_toPng;
    NewSqliteFile m_file;
    sqlite3_stmt* m_insert = nullptr; // the file's
};

} // namespace quarrow::archive
