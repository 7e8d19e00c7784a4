// An MBTiles file: the tiles' bytes in an SQLite database, rows numbered in the TMS scheme
// (from the south), with the metadata that map apps read.
#pragma once

#include <string>

#include "NewSqliteFile.h"
#include "TileArchive.h"

namespace quarrow::archive {

class MBTilesWriter final : public TileArchive {
public:
    // Creates the database (the file must not hold another) with its tables and metadata;
    // throws an Exception naming the path and SQLite's reason.
    MBTilesWriter(std::string path, const ArchiveInfo& info);

    // The row is flipped here: MBTiles counts rows from the south.
    void AddTile(int zoom, int x, int y, const std::string& bytes,
                 const std::string& path) override;
    // Commits everything and closes the file.
    void Finish() override;

private:
    NewSqliteFile m_file;
    sqlite3_stmt* m_insert = nullptr; // the file's
};

} // namespace quarrow::archive
