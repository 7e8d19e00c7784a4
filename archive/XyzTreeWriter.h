// A tile tree: folder/{z}/{x}/{y}.png (or .jpg), each tile linked to its task's file where the
// file system allows, else copied, with folder/tilejson.json (TileJSON 3.0.0) describing it and
// folder/index.html showing it in a browser.
#pragma once

#include <set>
#include <string>
#include <utility>
#include <vector>

#include "TileArchive.h"

namespace quarrow::archive {

class XyzTreeWriter final : public TileArchive {
public:
    // folder is made here and must not exist; info.Format names the tiles' extension.
    XyzTreeWriter(std::string folder, const ArchiveInfo& info);

    void AddTile(int zoom, int x, int y, const std::string& bytes,
                 const std::string& path) override;
    // Writes tilejson.json, and index.html with Leaflet beside it.
    void Finish() override;
    std::vector<std::string> Notes() const override { return m_notes; }

private:
    std::string m_folder;
    ArchiveInfo m_info;
    std::set<std::pair<int, int>> m_columns; // zoom and x of the folders made
    std::vector<std::string> m_notes;
};

} // namespace quarrow::archive
