#include "XyzTreeWriter.h"

#include <filesystem>
#include <system_error>

#include "MapPage.h"
#include "base/Exception.h"
#include "store/FileReplacer.h"
#include "store/TextFile.h"

namespace quarrow::archive {

namespace fs = std::filesystem;

XyzTreeWriter::XyzTreeWriter(std::string folder, const ArchiveInfo& info)
    : m_folder(std::move(folder)), m_info(info) {
    std::error_code ec;
    if (!fs::create_directories(m_folder, ec) || ec)
        throw WriteError(m_folder, ": " + ec.message());
}

void XyzTreeWriter::AddTile(int zoom, int x, int y, const std::string& bytes,
                            const std::string& path) {
    const std::string column = m_folder + "/" + std::to_string(zoom) + "/" + std::to_string(x);
    const std::string tile = column + "/" + std::to_string(y) + "." + m_info.Format;
    std::error_code error;
    // Each column's folder is made once, not looked up again for each of its tiles.
    if (m_columns.insert({zoom, x}).second)
        fs::create_directories(column, error);
    // A link where the file system allows: no second copy of the tile.
    fs::create_hard_link(path, tile, error);
    if (error == std::errc::file_exists) { // an overlapping task's: the later one's stays
        fs::remove(tile, error);
        fs::create_hard_link(path, tile, error);
    }
    if (error) {
        std::error_code ignored;
        fs::remove(tile, ignored);
        ReplaceFile(tile, bytes, Flush::Later); // flushed together at the end
    }
}

void XyzTreeWriter::Finish() {
    SaveLines(m_folder + "/tilejson.json", TileJsonLines(m_info, "{z}/{x}/{y}." + m_info.Format));
    // The tree is whole without its page; a system without Leaflet is told, not refused.
    try {
        WriteMapPage(m_folder, m_info);
    } catch (const Exception& error) {
        std::error_code ignored;
        std::filesystem::remove(m_folder + "/index.html", ignored);
        m_notes.push_back(std::string(error.what()) + " The tree has no index.html.");
    }
}

} // namespace quarrow::archive
