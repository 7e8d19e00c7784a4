// A folder of tiles read as every reader of one reads it (the server, the combiner, the viewer):
// beneath the folder, no "..", no absolute name, no link that leads out (one that stays inside,
// as trees that share equal tiles have, is followed), a regular file of a tile's size at most.
#pragma once

#include <string>

namespace quarrow::archive {

class TileFolder {
public:
    // A folder that cannot be opened holds no tile.
    explicit TileFolder(const std::string& folder);
    ~TileFolder();
    TileFolder(const TileFolder&) = delete;
    TileFolder& operator=(const TileFolder&) = delete;

    bool Opened() const noexcept { return m_fd >= 0; }
    // The file's bytes into bytes; false when it is none that may be read so.
    bool Read(const std::string& relative, std::string& bytes) const;

private:
    int m_fd;
};

// A tile file named by its path, read so beneath its folder.
bool ReadTileFile(const std::string& path, std::string& bytes);

} // namespace quarrow::archive
