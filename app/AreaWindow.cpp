// The area lives in degrees; on the map it is drawn in the tiles of zoom level 0, the map's own
// coordinates, so that it stays in place at every zoom level.
#include "AreaWindow.h"

#include <algorithm>
#include <cmath>

#include <QCheckBox>
#include <QDoubleSpinBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QMouseEvent>
#include <QPainter>
#include <QPainterPath>
#include <QPushButton>
#include <QVBoxLayout>

#include "widgets/Dialogs.h"
#include "widgets/HandlerEdge.h"
#include "widgets/QtText.h"
#include "task/StartRules.h"
#include "area/AreaFile.h"
#include "download/ServiceRules.h"
#include "download/Tls.h"
#include "geo/Commonfunc.h"
#include "engine/Locations.h"
#include "geo/TileCoverage.h"
#include "engine/Unitclasstask.h"

using namespace quarrow;

namespace {

constexpr int Left = 1, Top = 2, Right = 4, Bottom = 8, Inside = Left | Top | Right | Bottom;
constexpr double Grip = 6; // pixels from an edge that still grip it
const QColor AreaColour(0x10, 0x60, 0xd0);
const QColor ShapeColour(0xe0, 0x70, 0x10);

double Lon(double tileX) {
    return std::clamp(TileXToLon(tileX, 0), -180.0, 180.0);
}

double Lat(double tileY) {
    return std::clamp(TileYToLat(tileY, 0), -85.0, 85.0);
}

QPushButton* Button(QWidget* owner, const char* name, const QString& caption) {
    auto* button = new QPushButton(caption, owner);
    button->setObjectName(QString::fromLatin1(name));
    button->setAutoDefault(false);
    return button;
}

} // namespace

TAreaMap::TAreaMap(std::shared_ptr<map::DiskTileCache> cache, QWidget* parent)
    : WebMapView(std::move(cache), parent) {
    setObjectName(QStringLiteral("AreaMap"));
}

void TAreaMap::SetArea(std::optional<GeoBounds> area) {
    m_area = area;
    update();
    emit AreaChanged();
}

void TAreaMap::SetShape(std::shared_ptr<const AreaShape> shape) {
    m_shape = std::move(shape);
    if (m_shape)
        m_area = ShapeBounds(*m_shape);
    update();
    emit AreaChanged();
}

QRectF TAreaMap::AreaOnScreen() const {
    if (!m_area)
        return {};
    return QRectF(ScreenOf(TileXOf(m_area->West, 0), TileYOf(m_area->North, 0)),
                  ScreenOf(TileXOf(m_area->East, 0), TileYOf(m_area->South, 0)));
}

int TAreaMap::EdgesAt(QPointF pixel) const {
    if (!m_area || m_shape)
        return 0;
    const QRectF area = AreaOnScreen();
    if (!area.adjusted(-Grip, -Grip, Grip, Grip).contains(pixel))
        return 0;
    int edges = 0;
    edges |= std::abs(pixel.x() - area.left()) <= Grip ? Left : 0;
    edges |= std::abs(pixel.x() - area.right()) <= Grip ? Right : 0;
    edges |= std::abs(pixel.y() - area.top()) <= Grip ? Top : 0;
    edges |= std::abs(pixel.y() - area.bottom()) <= Grip ? Bottom : 0;
    return edges != 0 ? edges : (area.contains(pixel) ? Inside : 0);
}

Qt::CursorShape TAreaMap::CursorAt(QPointF pixel) const {
    switch (EdgesAt(pixel)) {
    case Inside:
        return Qt::SizeAllCursor;
    case Left:
    case Right:
        return Qt::SizeHorCursor;
    case Top:
    case Bottom:
        return Qt::SizeVerCursor;
    case Left | Top:
    case Right | Bottom:
        return Qt::SizeFDiagCursor;
    case Right | Top:
    case Left | Bottom:
        return Qt::SizeBDiagCursor;
    default:
        return Qt::OpenHandCursor;
    }
}

bool TAreaMap::TakePress(QMouseEvent* event) {
    if (m_shape)
        return false; // a shape's area is its bounds
    const map::TilePoint at = TileOf(event->position());
    m_pressedAt = QPointF(at.X, at.Y);
    const bool draw =
        event->button() == Qt::RightButton || (event->modifiers() & Qt::ShiftModifier);
    if (draw) {
        m_gripped = 0;
        m_area = GeoBounds{Lon(at.X), Lat(at.Y), Lon(at.X), Lat(at.Y)};
        return true;
    }
    m_gripped = EdgesAt(event->position());
    if (m_gripped == 0)
        return false;
    m_before = *m_area;
    return true;
}

void TAreaMap::TakenMove(QMouseEvent* event) {
    const map::TilePoint at = TileOf(event->position());
    if (m_gripped == 0) {
        m_area =
            GeoBounds{Lon(std::min(m_pressedAt.x(), at.X)), Lat(std::max(m_pressedAt.y(), at.Y)),
                      Lon(std::max(m_pressedAt.x(), at.X)), Lat(std::min(m_pressedAt.y(), at.Y))};
    } else {
        double left = TileXOf(m_before.West, 0), right = TileXOf(m_before.East, 0);
        double top = TileYOf(m_before.North, 0), bottom = TileYOf(m_before.South, 0);
        const double dx = at.X - m_pressedAt.x(), dy = at.Y - m_pressedAt.y();
        if (m_gripped == Inside) {
            // Moved whole, and kept on the map.
            const double shiftX = std::clamp(dx, -left, 1 - right);
            const double shiftY = std::clamp(dy, TileYOf(85, 0) - top, TileYOf(-85, 0) - bottom);
            left += shiftX, right += shiftX, top += shiftY, bottom += shiftY;
        } else {
            left += (m_gripped & Left) ? dx : 0;
            right += (m_gripped & Right) ? dx : 0;
            top += (m_gripped & Top) ? dy : 0;
            bottom += (m_gripped & Bottom) ? dy : 0;
        }
        m_area = GeoBounds{Lon(std::min(left, right)), Lat(std::max(top, bottom)),
                           Lon(std::max(left, right)), Lat(std::min(top, bottom))};
    }
    update();
    emit AreaChanged();
}

void TAreaMap::TakenRelease(QMouseEvent*) {
    emit AreaChanged();
}

void TAreaMap::PaintOver(QPainter& painter) {
    painter.setRenderHint(QPainter::Antialiasing);
    const auto pixel = [this](const GeoPoint& p) {
        return ScreenOf(TileXOf(p.Lon, 0), TileYOf(p.Lat, 0));
    };
    if (m_shape) {
        QPainterPath polygons;
        for (const GeoPolygon& polygon : m_shape->Polygons)
            for (const GeoRing& ring : polygon) {
                QPolygonF points;
                for (const GeoPoint& p : ring)
                    points << pixel(p);
                polygons.addPolygon(points);
                polygons.closeSubpath();
            }
        QColor fill = ShapeColour;
        fill.setAlpha(60);
        painter.setPen(QPen(ShapeColour, 2));
        painter.setBrush(fill);
        painter.drawPath(polygons);
        for (const GeoLine& line : m_shape->Lines) {
            QPolygonF points;
            for (const GeoPoint& p : line)
                points << pixel(p);
            // The corridor at its width on this map, where the line begins.
            const double width =
                2 * View().Scale *
                TileCoverage::CorridorTiles(m_shape->CorridorKm, line.front().Lat, 0);
            QColor corridor = ShapeColour;
            corridor.setAlpha(70);
            painter.setPen(
                QPen(corridor, std::max(2.0, width), Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
            painter.setBrush(Qt::NoBrush);
            painter.drawPolyline(points);
            painter.setPen(QPen(ShapeColour, 1.5));
            painter.drawPolyline(points);
        }
    }
    if (!m_area)
        return;
    const QRectF area = AreaOnScreen();
    QColor fill = AreaColour;
    fill.setAlpha(m_shape ? 0 : 40);
    painter.setPen(QPen(AreaColour, 2, m_shape ? Qt::DashLine : Qt::SolidLine));
    painter.setBrush(fill);
    painter.drawRect(area);
    if (!m_shape) {
        painter.setBrush(AreaColour);
        for (const QPointF corner :
             {area.topLeft(), area.topRight(), area.bottomLeft(), area.bottomRight()})
            painter.drawRect(QRectF(corner - QPointF(3, 3), QSizeF(6, 6)));
    }
}

TfrmArea::TfrmArea(Dialogs& dialogs, const QString& executableFolder, QWidget* parent)
    : QDialog(parent), m_dialogs(dialogs), m_executableFolder(executableFolder.toStdString()),
      m_cache(std::make_shared<map::DiskTileCache>(map::DiskTileCache::DefaultFolder())),
      m_map(new TAreaMap(m_cache, this)), SpinCorridor(new QDoubleSpinBox(this)),
      CheckClosedTracks(new QCheckBox(QStringLiteral("Closed tracks as polygons"), this)),
      LabelArea(new QLabel(this)), LabelTask(new QLabel(this)), LabelCursor(new QLabel(this)),
      LabelAttribution(new QLabel(this)) {
    setObjectName(QStringLiteral("frmArea"));
    setWindowTitle(QStringLiteral("The task's area"));
    setWindowFlags(Qt::Window | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                   Qt::WindowMaximizeButtonHint | Qt::WindowCloseButtonHint);
    resize(900, 680);

    auto* hint = new QLabel(QStringLiteral("Drag to move the map, turn the wheel to zoom. "
                                           "Shift+drag (or drag with the right button) draws the "
                                           "area; drag its inside to move it, its edges to resize "
                                           "it."),
                            this);
    hint->setWordWrap(true);
    SpinCorridor->setObjectName(QStringLiteral("SpinCorridor"));
    SpinCorridor->setRange(0.1, 100);
    SpinCorridor->setDecimals(1);
    SpinCorridor->setValue(DefaultCorridorKm);
    SpinCorridor->setSuffix(QStringLiteral(" km each side"));
    CheckClosedTracks->setObjectName(QStringLiteral("CheckClosedTracks"));
    LabelArea->setObjectName(QStringLiteral("LabelArea"));
    LabelTask->setObjectName(QStringLiteral("LabelTask"));
    LabelCursor->setObjectName(QStringLiteral("LabelCursor"));
    LabelAttribution->setObjectName(QStringLiteral("LabelAttribution"));
    LabelArea->setTextInteractionFlags(Qt::TextSelectableByMouse);

    auto* shapeRow = new QHBoxLayout;
    QPushButton* open = Button(this, "ButtonOpenArea", QStringLiteral("Open area..."));
    QPushButton* clear = Button(this, "ButtonClearShape", QStringLiteral("Rectangle only"));
    shapeRow->addWidget(open);
    shapeRow->addWidget(new QLabel(QStringLiteral("Corridor:"), this));
    shapeRow->addWidget(SpinCorridor);
    shapeRow->addWidget(CheckClosedTracks);
    shapeRow->addWidget(clear);
    shapeRow->addStretch(1);

    auto* status = new QHBoxLayout;
    status->addWidget(LabelCursor, 1);
    status->addWidget(LabelAttribution);

    auto* buttons = new QHBoxLayout;
    buttons->addWidget(LabelArea, 1);
    QPushButton* ok = Button(this, "ButtonOk", QStringLiteral("OK"));
    ok->setDefault(true);
    QPushButton* cancel = Button(this, "ButtonCancel", QStringLiteral("Cancel"));
    buttons->addWidget(ok);
    buttons->addWidget(cancel);

    auto* layout = new QVBoxLayout(this);
    layout->addWidget(hint);
    layout->addWidget(m_map, 1);
    layout->addLayout(shapeRow);
    layout->addWidget(LabelTask);
    layout->addLayout(buttons);
    layout->addLayout(status);

    connect(open, &QPushButton::clicked, this, &TfrmArea::ButtonOpenAreaClick);
    connect(clear, &QPushButton::clicked, this, &TfrmArea::ButtonClearShapeClick);
    connect(ok, &QPushButton::clicked, this, &TfrmArea::ButtonOkClick);
    connect(cancel, &QPushButton::clicked, this, &QDialog::reject);
    connect(m_map, &TAreaMap::AreaChanged, this, &TfrmArea::ShowFigures);
    connect(m_map, &TAreaMap::CursorMoved, this,
            [this](double lon, double lat) { LabelCursor->setText(map::CursorText(lon, lat)); });
    connect(SpinCorridor, &QDoubleSpinBox::valueChanged, this, [this](double km) {
        // The corridor of the lines shown follows the width set.
        if (m_shape && !m_shape->Lines.empty() && m_shape->CorridorKm != km) {
            auto wider = std::make_shared<AreaShape>(*m_shape);
            wider->CorridorKm = km;
            m_shape = std::move(wider);
            m_map->SetShape(m_shape);
        }
    });
}

void TfrmArea::Begin(const std::optional<TileSource>& source, int mapsType,
                     const std::string& serviceHost, int taskZoom, std::optional<GeoBounds> typed,
                     std::shared_ptr<const AreaShape> shape) {
    m_source = source;
    m_taskZoom = taskZoom;
    map::WebMapView::Service service;
    const auto index = static_cast<std::size_t>(std::clamp(mapsType - 17, 0, 2));
    if (source) {
        const std::string urlTemplate = source->Templates[index];
        service.Url = [urlTemplate, subdomains = source->Subdomains](int z, int x, int y) {
            return ExpandTemplate(urlTemplate, z, x, y, subdomains);
        };
        const std::string caFile = ReadStartSettings(SettingsFilePath(m_executableFolder)).CaFile;
        std::shared_ptr<const TlsContext> tls;
        try {
            tls = std::make_shared<TlsContext>(caFile);
        } catch (const Exception&) {
            tls = std::make_shared<TlsContext>();
        }
        service.SetUp = [rules = *source, tls](TIdHTTP& client) {
            ApplySourceRules(client, rules, tls);
        };
        service.CacheKey = map::DiskTileCache::KeyOf(urlTemplate);
        service.MinZoom = source->MinZoom;
        service.MaxZoom = std::min(source->MaxZoom, 19);
        LabelAttribution->setText(
            Q(source->Attribution.empty() ? source->Name : source->Attribution));
    } else {
        service.Url = [serviceHost, mapsType](int z, int x, int y) {
            return BuiltInTileUrl(serviceHost, mapsType, z, x, y);
        };
        service.SetUp = [](TIdHTTP&) {};
        service.CacheKey =
            map::DiskTileCache::KeyOf("builtin " + serviceHost + " " + std::to_string(mapsType));
        service.MinZoom = 0;
        service.MaxZoom = 18;
        LabelAttribution->setText(Q(std::string(BuiltInSourceName)));
    }
    m_cacheKey = service.CacheKey;
    m_map->SetService(std::move(service));
    m_shape = std::move(shape);
    if (m_shape && !m_shape->Lines.empty())
        SpinCorridor->setValue(m_shape->CorridorKm);
    m_map->SetShape(m_shape);
    if (!m_shape)
        m_map->SetArea(typed);
    const GeoBounds shown = m_map->Area().value_or(GeoBounds{-180, -85, 180, 85});
    m_map->ShowArea(shown.West, shown.South, shown.East, shown.North);
    ShowFigures();
}

void TfrmArea::ShowFigures() {
    const std::optional<GeoBounds> area = m_map->Area();
    if (!area) {
        LabelArea->setText(QStringLiteral("No area yet: Shift+drag on the map."));
        LabelTask->clear();
        return;
    }
    LabelArea->setText(QStringLiteral("West %1   East %2   North %3   South %4")
                           .arg(area->West, 0, 'f', 6)
                           .arg(area->East, 0, 'f', 6)
                           .arg(area->North, 0, 'f', 6)
                           .arg(area->South, 0, 'f', 6));
    const TileRange range =
        CoveringTiles(area->West, area->East, area->North, area->South, m_taskZoom);
    const unsigned long long rectangle = range.Count();
    unsigned long long tiles = rectangle;
    if (m_shape && rectangle <= 50'000'000ULL)
        tiles = static_cast<unsigned long long>(TileCoverage(*m_shape, m_taskZoom, range).Count());
    const double perTile = m_cache->AverageBytes(m_cacheKey).value_or(DefaultTileBytes);
    const double seconds =
        TaskSeconds(static_cast<long long>(std::min(tiles, 1ULL << 62)), m_source);
    QString text = QStringLiteral("Zoom %1: %2").arg(m_taskZoom).arg(Q(TilesText(tiles)));
    if (m_shape)
        text += QStringLiteral(" along the shape (%1 in its rectangle)").arg(rectangle);
    text += QStringLiteral(", about %1, about %2 at the source's pace")
                .arg(Q(SizeText(static_cast<std::uintmax_t>(static_cast<double>(tiles) * perTile))))
                .arg(Q(DurationText(seconds)));
    LabelTask->setText(text);
}

void TfrmArea::ButtonOpenAreaClick() {
    RunHandler(m_dialogs, [this] {
        const QString file = m_dialogs.OpenFile(
            QStringLiteral("Open area"),
            QStringLiteral("Areas(*.gpx;*.kml;*.geojson;*.json)|*.gpx;*.kml;*.geojson;*.json"),
            Q(HomeFolder()));
        if (!file.isEmpty())
            OpenArea(file);
    });
}

void TfrmArea::OpenArea(const QString& path) {
    RunHandler(m_dialogs, [&] {
        AreaFileOptions options;
        options.CorridorKm = SpinCorridor->value();
        options.ClosedTracksAsPolygons = CheckClosedTracks->isChecked();
        m_shape = std::make_shared<const AreaShape>(ReadAreaFile(path.toStdString(), options));
        m_map->SetShape(m_shape);
        const GeoBounds bounds = ShapeBounds(*m_shape);
        m_map->ShowArea(bounds.West, bounds.South, bounds.East, bounds.North);
    });
}

void TfrmArea::ButtonClearShapeClick() {
    m_shape.reset();
    m_map->SetShape(nullptr);
}

void TfrmArea::ButtonOkClick() {
    if (!m_map->Area()) {
        m_dialogs.Message(QStringLiteral("Draw the area first: Shift+drag on the map."));
        return;
    }
    accept();
}
