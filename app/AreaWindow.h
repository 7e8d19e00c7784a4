// The map window of the main window's "Map..." button: the chosen source's map, on which the task's
// area is drawn as a rectangle (moved and resized by its edges) or taken from a file (a GPX track,
// a KML or GeoJSON shape), with what the task would be.
#pragma once

#include <memory>
#include <optional>
#include <string>

#include <QDialog>

#include "geo/AreaShape.h"
#include "engine/TileSource.h"
#include "mapview/WebMapView.h"

class Dialogs;
class QCheckBox;
class QDoubleSpinBox;
class QLabel;

// The web map with the area over it. Shift+drag (or a right drag) draws a rectangle; a drag of its
// inside moves it and of its edges resizes it; any other drag moves the map.
class TAreaMap : public quarrow::map::WebMapView {
    Q_OBJECT
public:
    TAreaMap(std::shared_ptr<quarrow::map::DiskTileCache> cache, QWidget* parent = nullptr);

    // West, south, east, north in degrees; none before one is drawn.
    const std::optional<quarrow::GeoBounds>& Area() const noexcept { return m_area; }
    void SetArea(std::optional<quarrow::GeoBounds> area);
    // A shape is drawn over the map and fixes the area to its bounds.
    void SetShape(std::shared_ptr<const quarrow::AreaShape> shape);

signals:
    void AreaChanged();

protected:
    void PaintOver(QPainter& painter) override;
    bool TakePress(QMouseEvent* event) override;
    void TakenMove(QMouseEvent* event) override;
    void TakenRelease(QMouseEvent* event) override;
    Qt::CursorShape CursorAt(QPointF pixel) const override;

private:
    // Which edges a press at the pixel grips: bits of Left, Top, Right, Bottom; all four inside.
    int EdgesAt(QPointF pixel) const;
    QRectF AreaOnScreen() const;

    std::optional<quarrow::GeoBounds> m_area;
    std::shared_ptr<const quarrow::AreaShape> m_shape;
    int m_gripped = 0;   // the edges being dragged; all four: moving, none: drawing
    QPointF m_pressedAt; // in tiles of zoom level 0
    quarrow::GeoBounds m_before;
};

class TfrmArea : public QDialog {
    Q_OBJECT
public:
    // executableFolder ends in "/"; the dialogs are not owned.
    TfrmArea(Dialogs& dialogs, const QString& executableFolder, QWidget* parent = nullptr);

    // What the window shows when it opens: the source's map of the map type (17..19), the task's
    // zoom level for the figures, the rectangle typed in the main window, the shape of the task.
    void Begin(const std::optional<quarrow::TileSource>& source, int mapsType,
               const std::string& serviceHost, int taskZoom,
               std::optional<quarrow::GeoBounds> typed,
               std::shared_ptr<const quarrow::AreaShape> shape);

    std::optional<quarrow::GeoBounds> Area() const { return m_map->Area(); }
    std::shared_ptr<const quarrow::AreaShape> Shape() const { return m_shape; }
    TAreaMap* Map() const noexcept { return m_map; }

public slots:
    // Asks for an area file and draws its shape; the file's faults are told.
    void ButtonOpenAreaClick();
    // Reads the file as Open area does.
    void OpenArea(const QString& path);
    // Back to a rectangle.
    void ButtonClearShapeClick();
    void ButtonOkClick();

private:
    void ShowFigures();

    Dialogs& m_dialogs;
    const std::string m_executableFolder;
    std::shared_ptr<quarrow::map::DiskTileCache> m_cache;
    std::shared_ptr<const quarrow::AreaShape> m_shape;
    std::optional<quarrow::TileSource> m_source;
    std::string m_cacheKey;
    int m_taskZoom = 13;
    TAreaMap* m_map;
    QDoubleSpinBox* SpinCorridor;
    QCheckBox* CheckClosedTracks;
    QLabel* LabelArea;
    QLabel* LabelTask;
    QLabel* LabelCursor;
    QLabel* LabelAttribution;
};
