// Drawing the tile images, and the cache of recently drawn ones.
#include "TileRenderer.h"

#include <cstdio>
#include <cmath>
#include <cstdint>
#include <list>
#include <mutex>
#include <unordered_map>
#include <utility>

#include <QBuffer>
#include <QByteArray>
#include <QColor>
#include <QFont>
#include <QFontMetrics>
#include <QImage>
#include <QPainter>
#include <QPainterPath>
#include <QString>

namespace quarrow::tileservice {
namespace {

constexpr int TileSize = 256;
constexpr std::size_t CacheCapacity = 512;

// Patterns are laid out in world pixels, so neighbouring tiles of a mosaic join up seamlessly
// while every tile still looks different from its neighbours.
struct Origin {
    double X;
    double Y;
};

std::uint32_t Hash(std::uint64_t value) {
    value ^= value >> 33;
    value *= 0xff51afd7ed558ccdULL;
    value ^= value >> 33;
    value *= 0xc4ceb9fe1a85ec53ULL;
    value ^= value >> 33;
    return static_cast<std::uint32_t>(value);
}

// Light ground with a street grid, as a road map.
void DrawNormal(QPainter& painter, Origin origin) {
    painter.fillRect(0, 0, TileSize, TileSize, QColor(242, 239, 233));
    // Not a divisor of the tile size, so the grid sits differently on every tile.
    constexpr int Spacing = 72;
    const int firstX = Spacing - static_cast<int>(std::fmod(origin.X, Spacing));
    const int firstY = Spacing - static_cast<int>(std::fmod(origin.Y, Spacing));
    for (const auto& [width, colour] :
         {std::pair{9, QColor(205, 200, 190)}, std::pair{6, QColor(255, 255, 255)}}) {
        for (int p = firstX % Spacing; p < TileSize; p += Spacing) {
            painter.fillRect(p - width / 2, 0, width, TileSize, colour);
        }
        for (int p = firstY % Spacing; p < TileSize; p += Spacing) {
            painter.fillRect(0, p - width / 2, TileSize, width, colour);
        }
    }
}

// Dark fields of varied greens and browns, as an aerial photograph.
void DrawSatellite(QPainter& painter, Origin origin, int z) {
    constexpr int Cell = 32;
    const auto cellX = static_cast<std::int64_t>(origin.X) / Cell;
    const auto cellY = static_cast<std::int64_t>(origin.Y) / Cell;
    for (int row = 0; row < TileSize / Cell; ++row) {
        for (int column = 0; column < TileSize / Cell; ++column) {
            const std::uint32_t h =
                Hash(static_cast<std::uint64_t>(cellX + column) * 0x9e3779b97f4a7c15ULL ^
                     static_cast<std::uint64_t>(cellY + row) << 8 ^ static_cast<std::uint64_t>(z));
            const int shade = static_cast<int>(h % 40);
            const QColor colour = (h >> 8) % 3 == 0 ? QColor(80 + shade, 70 + shade / 2, 45)
                                                    : QColor(35 + shade / 2, 70 + shade, 40);
            painter.fillRect(column * Cell, row * Cell, Cell, Cell, colour);
        }
    }
}

// Pale green relief with brown contour lines.
void DrawTerrain(QPainter& painter, Origin origin) {
    painter.fillRect(0, 0, TileSize, TileSize, QColor(226, 236, 206));
    constexpr double Spacing = 24;
    painter.setRenderHint(QPainter::Antialiasing, true);
    painter.setPen(QPen(QColor(170, 130, 90), 1.5));
    const double firstLine = std::floor(origin.Y / Spacing) * Spacing - origin.Y - Spacing;
    for (double base = firstLine; base < TileSize + Spacing; base += Spacing) {
        QPainterPath path;
        for (int px = 0; px <= TileSize; px += 4) {
            const double y = base + 8 * std::sin((origin.X + px) / 40.0);
            if (px == 0) {
                path.moveTo(px, y);
            } else {
                path.lineTo(px, y);
            }
        }
        painter.drawPath(path);
    }
    painter.setRenderHint(QPainter::Antialiasing, false);
}

// The font size at which the text fits the width, from large to small.
QFont FittingFont(const QString& text, int largest, int width) {
    QFont font(QStringLiteral("DejaVu Sans"));
    font.setBold(true);
    for (int size = largest; size > 6; --size) {
        font.setPixelSize(size);
        if (QFontMetrics(font).horizontalAdvance(text) <= width) {
            break;
        }
    }
    return font;
}

std::string Render(const TileRequest& tile) {
    // A "@2x" tile is the same drawing at twice the pixels.
    QImage image(tile.Side, tile.Side, QImage::Format_RGB32);
    QPainter painter(&image);
    painter.scale(tile.Side / double{TileSize}, tile.Side / double{TileSize});
    const Origin origin{static_cast<double>(tile.X) * TileSize,
                        static_cast<double>(tile.Y) * TileSize};
    QColor border;
    QColor text;
    switch (tile.Kind) {
    case MapKind::Normal:
        DrawNormal(painter, origin);
        border = QColor(200, 40, 40);
        text = QColor(40, 40, 40);
        break;
    case MapKind::Satellite:
        DrawSatellite(painter, origin, tile.Z);
        border = QColor(255, 220, 0);
        text = QColor(255, 255, 255);
        break;
    case MapKind::Terrain:
        DrawTerrain(painter, origin);
        border = QColor(30, 90, 200);
        text = QColor(60, 40, 20);
        break;
    }

    constexpr int Edge = 2;
    painter.fillRect(0, 0, TileSize, Edge, border);
    painter.fillRect(0, TileSize - Edge, TileSize, Edge, border);
    painter.fillRect(0, 0, Edge, TileSize, border);
    painter.fillRect(TileSize - Edge, 0, Edge, TileSize, border);

    const QString address = QStringLiteral("%1/%2/%3").arg(tile.Z).arg(tile.X).arg(tile.Y);
    const QString kind = QString::fromLatin1(MapKindName(tile.Kind).data(),
                                             static_cast<qsizetype>(MapKindName(tile.Kind).size()));
    const QFont addressFont = FittingFont(address, 28, TileSize - 24);
    const QFont kindFont = FittingFont(kind, 16, TileSize - 24);
    const QRect plate(8, 88, TileSize - 16, 80);
    painter.fillRect(plate, tile.Kind == MapKind::Satellite ? QColor(0, 0, 0, 150)
                                                            : QColor(255, 255, 255, 190));
    painter.setPen(text);
    painter.setFont(kindFont);
    painter.drawText(plate.adjusted(0, 6, 0, -44), Qt::AlignCenter, kind);
    painter.setFont(addressFont);
    painter.drawText(plate.adjusted(0, 30, 0, -6), Qt::AlignCenter, address);
    if (tile.Changed) {
        // A newer picture of the same place: a band that says so.
        const QRect band(8, 190, TileSize - 16, 30);
        painter.fillRect(band, QColor(230, 120, 0));
        painter.setPen(QColor(255, 255, 255));
        painter.setFont(kindFont);
        painter.drawText(band, Qt::AlignCenter, QStringLiteral("updated"));
    }
    painter.end();

    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    // JPEG at the quality that map services commonly serve.
    if (tile.Format == TileRequest::Picture::Jpeg) {
        image.save(&buffer, "JPG", 85);
    } else if (tile.Format == TileRequest::Picture::Webp) {
        // Lossy, as the services that serve WebP do.
        if (!image.save(&buffer, "WEBP", 80))
            std::fprintf(stderr, "tileservice: Qt's image plugins cannot write WebP "
                                 "(qt6-image-formats-plugins)\n");
    } else {
        image.save(&buffer, "PNG");
    }
    return std::string(bytes.constData(), static_cast<std::size_t>(bytes.size()));
}

// Least recently used tiles leave first.
class TileCache {
public:
    std::optional<std::string> Find(std::uint64_t key) {
        const std::scoped_lock lock(m_mutex);
        const auto found = m_index.find(key);
        if (found == m_index.end()) {
            return std::nullopt;
        }
        m_order.splice(m_order.begin(), m_order, found->second);
        return found->second->second;
    }

    void Insert(std::uint64_t key, const std::string& png) {
        const std::scoped_lock lock(m_mutex);
        if (m_index.contains(key)) {
            return;
        }
        m_order.emplace_front(key, png);
        m_index.emplace(key, m_order.begin());
        if (m_order.size() > CacheCapacity) {
            m_index.erase(m_order.back().first);
            m_order.pop_back();
        }
    }

private:
    std::mutex m_mutex;
    std::list<std::pair<std::uint64_t, std::string>> m_order;
    std::unordered_map<std::uint64_t, std::list<std::pair<std::uint64_t, std::string>>::iterator>
        m_index;
};

std::uint64_t CacheKey(const TileRequest& tile) {
    return static_cast<std::uint64_t>(tile.Changed) << 63 |
           static_cast<std::uint64_t>(tile.Format) << 61 |
           static_cast<std::uint64_t>(tile.Side == 512) << 60 |
           static_cast<std::uint64_t>(tile.Kind) << 56 | static_cast<std::uint64_t>(tile.Z) << 48 |
           static_cast<std::uint64_t>(static_cast<std::uint32_t>(tile.X)) << 24 |
           static_cast<std::uint64_t>(static_cast<std::uint32_t>(tile.Y));
}

// Qt's painting and font machinery is only ever entered by one thread at a time.
std::mutex& RenderMutex() {
    static std::mutex mutex;
    return mutex;
}

} // namespace

std::string DrawTilePng(const TileRequest& tile) {
    const std::scoped_lock lock(RenderMutex());
    return Render(tile);
}

std::string RenderTilePng(const TileRequest& tile) {
    static TileCache cache;
    const std::uint64_t key = CacheKey(tile);
    if (std::optional<std::string> png = cache.Find(key)) {
        return std::move(*png);
    }
    const std::scoped_lock lock(RenderMutex());
    // Another thread may have drawn it while this one waited.
    if (std::optional<std::string> png = cache.Find(key)) {
        return std::move(*png);
    }
    std::string png = Render(tile);
    cache.Insert(key, png);
    return png;
}

} // namespace quarrow::tileservice
