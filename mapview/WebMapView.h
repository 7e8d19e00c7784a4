// A map of the world from a tile service at any zoom level: the tiles of the level that suits the
// scale, fetched through the disk cache. Its coordinates are those of zoom level 0 (the world is
// one tile wide).
#pragma once

#include <array>
#include <memory>
#include <optional>
#include <string>

#include "NetworkTileLoader.h"
#include "TileMapView.h"

namespace quarrow::map {

class WebMapView : public TileMapView {
    Q_OBJECT

public:
    struct Service {
        NetworkTileLoader::UrlOf Url;
        NetworkTileLoader::SetUp SetUp;
        std::string CacheKey; // tells its tiles apart in the disk cache
        int MinZoom = 0;
        int MaxZoom = 19;
    };

    WebMapView(std::shared_ptr<DiskTileCache> cache, QWidget* parent = nullptr);
    ~WebMapView() override;

    // The service whose tiles are shown from now on.
    void SetService(Service service);
    // Shows the rectangle (degrees) centred, filling most of the window, and keeps it so as the
    // window takes its size, until the view is moved.
    void ShowArea(double west, double south, double east, double north);

    double MinScale() const override;
    // The zoom level whose tiles are drawn now.
    int LevelZoom() const;

protected:
    std::optional<Level> DrawnLevel() const override;
    int BaseZoom() const override { return 0; }
    double MaxScaleOf() const override;
    ViewState Limited(const ViewState& view) const override;
    void Want(std::vector<TileKey> keys) override;
    void PaintBehind(QPainter& painter) override;
    void ViewMoved() override { m_fit.reset(); }
    void resizeEvent(QResizeEvent* event) override;

private:
    void Fit();

    std::shared_ptr<DiskTileCache> m_cache;
    Service m_service;
    std::optional<std::array<double, 4>> m_fit; // west, south, east, north kept in sight
    std::unique_ptr<NetworkTileLoader> m_loader; // last: it reports to what is above
};

} // namespace quarrow::map
