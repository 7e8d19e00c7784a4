// An MBTiles file: the tiles' bytes in an SQLite database, rows numbered in the TMS scheme
// (from the south), with the metadata that map apps read.
#pragma once

#include <string>

struct sqlite3;
struct sqlite3_stmt;

namespace quarrow::combiner {

struct MBTilesMetadata {
    std::string Name;
    int MinZoom = 1;
    int MaxZoom = 1;
    double West = 0, South = 0, East = 0, North = 0; // degrees
    std::string Format = "png";                      // of the tiles: "png" or "jpg"
};

class MBTilesWriter {
public:
    // Creates the database (the file must not hold another) with its tables and metadata;
    // throws an Exception naming the path and SQLite's reason.
    MBTilesWriter(std::string path, const MBTilesMetadata& metadata);
    ~MBTilesWriter();
    MBTilesWriter(const MBTilesWriter&) = delete;
    MBTilesWriter& operator=(const MBTilesWriter&) = delete;

    // x and y in the XYZ scheme of the tile files at the zoom level; the row is flipped here. A
    // tile already there (of an overlapping task) is replaced.
    void AddTile(int zoom, int x, int y, const std::string& bytes);
    // Commits everything and closes the file.
    void Finish();

private:
    void Execute(const char* sql);
    [[noreturn]] void Fail(const char* what);

    std::string m_path;
    sqlite3* m_db = nullptr;
    sqlite3_stmt* m_insert = nullptr;
};

// The metadata value of "bounds": west, south, east, north with "." as the decimal point.
std::string BoundsText(const MBTilesMetadata& metadata);

} // namespace quarrow::combiner
