#include "TileFolder.h"

#include <unistd.h>

#include "base/TextRules.h"
#include "store/TextFile.h"
#include "store/TileFile.h"

namespace quarrow::archive {

TileFolder::TileFolder(const std::string& folder) : m_fd(OpenFolder(folder)) {}

TileFolder::~TileFolder() {
    if (m_fd >= 0)
        ::close(m_fd);
}

bool TileFolder::Read(const std::string& relative, std::string& bytes) const {
    return m_fd >= 0 && ReadFileBeneath(m_fd, relative, bytes, MaxTileFileSize);
}

bool ReadTileFile(const std::string& path, std::string& bytes) {
    const auto [folder, name] = SplitFolder(path);
    return TileFolder(folder.empty() ? "." : folder).Read(name, bytes);
}

} // namespace quarrow::archive
