// The layout: the 127-byte header, the root directory right after it and padded to 16 KiB, the
// tile data from there in TileId order, then the leaf directories and the metadata. The header
// and the root are written last, when their offsets and counts are known.
#include "PMTilesWriter.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>

#include <unistd.h>

#include "engine/TileFormat.h"
#include "base/Exception.h"
#include "store/FileReplacer.h"
#include "base/Json.h"
#include "base/NumberText.h"

namespace quarrow::archive {

namespace {

constexpr std::size_t HeaderBytes = 127;
// What a reader fetches first: the header and the root directory together.
constexpr std::uint64_t DataOffset = 16384;
constexpr std::size_t LeafEntries = 4096;

constexpr unsigned char GzipCompression = 2;
constexpr unsigned char NoCompression = 1;

// x and y on the curve of an n x n grid turned for the next quarter, as the curve's definition
// has it.
void Rotate(std::uint64_t n, std::uint64_t& x, std::uint64_t& y, std::uint64_t rx,
            std::uint64_t ry) {
    if (ry == 0) {
        if (rx == 1) {
            x = n - 1 - x;
            y = n - 1 - y;
        }
        std::swap(x, y);
    }
}

// The cell of the n x n curve at distance d along it.
void CellAt(std::uint64_t n, std::uint64_t d, std::uint64_t& x, std::uint64_t& y) {
    x = y = 0;
    for (std::uint64_t s = 1; s < n; s *= 2) {
        const std::uint64_t rx = 1 & (d / 2);
        const std::uint64_t ry = 1 & (d ^ rx);
        Rotate(s, x, y, rx, ry);
        x += s * rx;
        y += s * ry;
        d /= 4;
    }
}

void PutLittle(std::string& out, std::uint64_t value, int bytes) {
    for (int i = 0; i < bytes; ++i, value >>= 8)
        out += static_cast<char>(value & 0xFF);
}

std::int32_t E7(double degrees) {
    return static_cast<std::int32_t>(std::lround(degrees * 1e7));
}

} // namespace

std::uint64_t TileId(int zoom, std::uint32_t x, std::uint32_t y) {
    // The tiles of the levels above: (4^zoom - 1) / 3.
    std::uint64_t id = ((std::uint64_t{1} << (2 * zoom)) - 1) / 3;
    const std::uint64_t n = std::uint64_t{1} << zoom;
    std::uint64_t tx = x, ty = y;
    for (std::uint64_t s = n / 2; s > 0; s /= 2) {
        const std::uint64_t rx = (tx & s) > 0 ? 1 : 0;
        const std::uint64_t ry = (ty & s) > 0 ? 1 : 0;
        id += s * s * ((3 * rx) ^ ry);
        Rotate(s, tx, ty, rx, ry);
    }
    return id;
}

void EachTileAlongTheCurve(int zoom, int minX, int minY, int maxX, int maxY,
                           const std::function<void(int x, int y)>& each) {
    EachTileAlongTheCurve(zoom, std::vector<TileRect>{{minX, minY, maxX, maxY}}, each);
}

void EachTileAlongTheCurve(int zoom, const std::vector<TileRect>& rects,
                           const std::function<void(int x, int y)>& each) {
    const std::uint64_t n = std::uint64_t{1} << zoom;
    const auto touches = [&rects](std::uint64_t x, std::uint64_t y, std::uint64_t side) {
        return std::any_of(rects.begin(), rects.end(), [&](const TileRect& r) {
            return x <= static_cast<std::uint64_t>(r.MaxX) &&
                   y <= static_cast<std::uint64_t>(r.MaxY) &&
                   x + side > static_cast<std::uint64_t>(r.MinX) &&
                   y + side > static_cast<std::uint64_t>(r.MinY);
        });
    };
    // A stretch of 4^k cells that begins at a multiple of 4^k is a square of 2^k cells aligned on
    // 2^k: it is visited whole or not at all. Only squares that touch a rectangle are entered, so
    // two small tasks far apart cost two paths down the curve, not the square between them.
    const std::function<void(int, std::uint64_t)> visit = [&](int k, std::uint64_t start) {
        std::uint64_t x = 0, y = 0;
        CellAt(n, start, x, y);
        const std::uint64_t side = std::uint64_t{1} << k;
        x &= ~(side - 1);
        y &= ~(side - 1);
        if (!touches(x, y, side))
            return;
        if (k == 0) {
            each(static_cast<int>(x), static_cast<int>(y));
            return;
        }
        const std::uint64_t quarter = std::uint64_t{1} << (2 * (k - 1));
        for (std::uint64_t i = 0; i < 4; ++i)
            visit(k - 1, start + i * quarter);
    };
    visit(zoom, 0);
}

PMTilesWriter::PMTilesWriter(std::string path, const ArchiveInfo& info)
    : m_path(std::move(path)), m_info(info), m_fd(CreateFreshFile(m_path)) {}

PMTilesWriter::~PMTilesWriter() {
    if (m_fd >= 0)
        ::close(m_fd);
}

void PMTilesWriter::WriteAt(std::uint64_t offset, const std::string& bytes) {
    if (!WriteWhole(m_fd, bytes, offset))
        throw WriteError(m_path, std::string(": ") + std::strerror(errno));
}

void PMTilesWriter::AddTile(int zoom, int x, int y, const std::string& bytes,
                            const std::string&) {
    const std::uint64_t id =
        TileId(zoom, static_cast<std::uint32_t>(x), static_cast<std::uint32_t>(y));
    ++m_addressed;
    // The same picture as the tile before, and its next neighbour on the curve: a longer run.
    if (!m_leaf.empty() && bytes == m_previous &&
        m_leaf.back().Id + m_leaf.back().RunLength == id) {
        ++m_leaf.back().RunLength;
        return;
    }
    if (m_leaf.size() == LeafEntries)
        FlushLeaf();
    WriteAt(DataOffset + m_dataLength, bytes);
    m_leaf.push_back({id, m_dataLength, bytes.size(), 1});
    m_dataLength += bytes.size();
    m_previous = bytes;
    ++m_entries;
    ++m_contents;
}


void PMTilesWriter::FlushLeaf() {
    if (m_leaf.empty())
        return;
    const std::string leaf = EncodeDirectory(m_leaf);
    m_root.push_back({m_leaf.front().Id, m_leaves.size(), leaf.size(), 0});
    m_leaves += leaf;
    m_leaf.clear();
}

void PMTilesWriter::Finish() {
    // Few enough tiles for the root alone; else every one in leaves, the root pointing at them.
    std::string root;
    if (m_root.empty())
        root = EncodeDirectory(m_leaf);
    if (!m_root.empty() || HeaderBytes + root.size() > DataOffset) {
        FlushLeaf();
        root = EncodeDirectory(m_root);
        if (HeaderBytes + root.size() > DataOffset)
            throw Exception("Too many tiles for one PMTiles file: " + std::to_string(m_entries) +
                            " entries.");
    }
    const std::uint64_t leavesOffset = DataOffset + m_dataLength;
    WriteAt(leavesOffset, m_leaves);

    const std::string metadata = Gzip(
        "{\"name\":" + JsonString(m_info.Name) + ",\"format\":\"" + m_info.Format +
        "\",\"type\":\"baselayer\",\"attribution\":" + JsonString(m_info.Attribution) +
        ",\"bounds\":[" + m_info.BoundsText() + "],\"center\":[" + m_info.CenterText() +
        "],\"minzoom\":" + std::to_string(m_info.MinZoom) +
        ",\"maxzoom\":" + std::to_string(m_info.MaxZoom) +
        ",\"tileSize\":" + std::to_string(m_info.TileSize) + "}");
    const std::uint64_t metadataOffset = leavesOffset + m_leaves.size();
    WriteAt(metadataOffset, metadata);

    std::string header = "PMTiles";
    header += static_cast<char>(3);
    for (const std::uint64_t value :
         {std::uint64_t{HeaderBytes}, std::uint64_t{root.size()}, metadataOffset,
          std::uint64_t{metadata.size()}, leavesOffset, std::uint64_t{m_leaves.size()},
          DataOffset, m_dataLength, m_addressed, m_entries, m_contents})
        PutLittle(header, value, 8);
    header += static_cast<char>(1); // clustered: the data in TileId order
    header += static_cast<char>(GzipCompression);
    header += static_cast<char>(NoCompression); // PNG and JPEG are compressed of their own
    const TileFormatRow* format = TileFormatNamed(m_info.Format);
    header += static_cast<char>((format ? *format : RowOf(TileFormat::Png)).PMTilesType);
    header += static_cast<char>(m_info.MinZoom);
    header += static_cast<char>(m_info.MaxZoom);
    for (const double degrees : {m_info.West, m_info.South, m_info.East, m_info.North})
        PutLittle(header, static_cast<std::uint32_t>(E7(degrees)), 4);
    header += static_cast<char>(m_info.MinZoom);
    PutLittle(header, static_cast<std::uint32_t>(E7(m_info.CenterLon())), 4);
    PutLittle(header, static_cast<std::uint32_t>(E7(m_info.CenterLat())), 4);
    WriteAt(0, header + root);
    const int fd = m_fd;
    m_fd = -1;
    if (::close(fd) != 0)
        throw WriteError(m_path, std::string(": ") + std::strerror(errno));
}

} // namespace quarrow::archive
