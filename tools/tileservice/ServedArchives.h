// What the local tile server serves from disk: downloaded tasks, MBTiles, PMTiles and OsmAnd or
// Locus files and tile trees, each under a name of its own, as web maps and GIS programs ask:
//   /NAME/{z}/{x}/{y}.EXT   a tile (404 when the archive has none)
//   /NAME/tilejson.json     TileJSON 3.0.0 with the tiles' URL template
//   /NAME/                  the map page, with Leaflet at /NAME/leaflet/
//   /NAME.pmtiles           a PMTiles archive as it is, in ranges
// Every answer has an ETag (a 304 for a request that names it) and lets pages of any origin read.
#pragma once

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "Answer.h"
#include "RequestHead.h"
#include "archive/TileReaders.h"

namespace quarrow::tileservice {

// The name a path is served under: its file's name without the extension (a folder's own
// name), every character other than letters, digits, "-", "_" and "." made "_".
std::string ServedName(const std::string& path);

class ServedArchives {
public:
    struct Item {
        std::string Name;
        std::string Path;
        std::unique_ptr<archive::TileReader> Reader;
        std::string Page;    // the map page
        std::string PageTag; // its ETag
        std::string RawTag;  // a PMTiles archive's ETag, of its header and size; else empty
    };

    // Opens every path, each under its ServedName (a second of a name gets "-2", ...). Throws an
    // Exception naming the first that cannot be served, and why.
    explicit ServedArchives(const std::vector<std::string>& paths);

    const std::vector<Item>& Items() const noexcept { return m_items; }
    // What is worth telling at the start (Leaflet missing); empty when all is well.
    const std::vector<std::string>& Warnings() const noexcept { return m_warnings; }

    // The answer to the request; authority ("127.0.0.1:8643") begins the URLs of tilejson.json.
    Answer AnswerFor(const RequestHead& request, std::string_view authority) const;

private:
    const Item* Find(std::string_view name) const;
    Answer RawAnswer(const Item& item, const RequestHead& request) const;

    std::vector<Item> m_items;
    struct LeafletFile {
        std::string File;
        std::string Bytes;
        std::string Tag;
    };
    std::vector<LeafletFile> m_leaflet;
    std::vector<std::string> m_warnings;
};

} // namespace quarrow::tileservice
