// The map window: it shows the typed rectangle, a Shift+drag draws another, OK writes it into the
// main window's coordinates with six decimals, and an opened track becomes the task's shape.
#include <cstdlib>
#include <filesystem>

#include <QApplication>
#include <QLabel>
#include <QLineEdit>
#include <QMouseEvent>
#include <QTimer>

#include <gtest/gtest.h>

#include "app/AreaWindow.h"
#include "app/Unit1.h"
#include "mapview/ViewGeometry.h"
#include "tests/app/RecordingDialogs.h"
#include "tests/support/TempDir.h"
#include "tools/tileservice/TileService.h"

namespace quarrow {
namespace {

using test::RecordingDialogs;
using test::TempDir;

void Drag(QWidget& widget, QPointF from, QPointF to, Qt::KeyboardModifiers modifiers) {
    QMouseEvent press(QEvent::MouseButtonPress, from, widget.mapToGlobal(from), Qt::LeftButton,
                      Qt::LeftButton, modifiers);
    QApplication::sendEvent(&widget, &press);
    QMouseEvent move(QEvent::MouseMove, to, widget.mapToGlobal(to), Qt::NoButton, Qt::LeftButton,
                     modifiers);
    QApplication::sendEvent(&widget, &move);
    QMouseEvent release(QEvent::MouseButtonRelease, to, widget.mapToGlobal(to), Qt::LeftButton,
                        Qt::NoButton, modifiers);
    QApplication::sendEvent(&widget, &release);
}

class AreaWindowTest : public ::testing::Test {
protected:
    AreaWindowTest() : m_service(Options()) {
        setenv("XDG_CACHE_HOME", m_cache.Path().c_str(), 1);
        std::filesystem::create_directory(m_exe.Path() + "ini");
        test::WriteFileBytes(m_exe.Path() + "ini/config.ini",
                             "[Service]\r\nHost=127.0.0.1:" + std::to_string(m_service.Port()) +
                                 "\r\n");
    }
    ~AreaWindowTest() override { unsetenv("XDG_CACHE_HOME"); }
    static tileservice::ServiceOptions Options() {
        tileservice::ServiceOptions options;
        options.Port = 0;
        return options;
    }

    TempDir m_cache, m_exe;
    tileservice::TileService m_service;
    RecordingDialogs m_dialogs;
};

TEST_F(AreaWindowTest, ADrawnAreaFillsTheCoordinatesAndATrackBecomesTheShape) {
    TForm1 form(m_dialogs, QString::fromStdString(m_exe.Path()));
    form.show();
    const auto edit = [&](const char* name) { return form.findChild<QLineEdit*>(name); };
    edit("Edit1")->setText("116.3");
    edit("Edit3")->setText("116.5");
    edit("Edit2")->setText("40");
    edit("Edit4")->setText("39.8");

    // Inside the window's own event loop: the typed rectangle is shown; a Shift+drag draws one.
    std::optional<GeoBounds> shown, drawn;
    QString figures;
    QTimer::singleShot(0, &form, [&] {
        auto* window = form.findChild<TfrmArea*>();
        ASSERT_NE(nullptr, window);
        shown = window->Area();
        TAreaMap* map = window->Map();
        const map::LonLat from = map::LonLatAt(map->View(), 100, 120, 0);
        const map::LonLat to = map::LonLatAt(map->View(), 300, 260, 0);
        Drag(*map, {100, 120}, {300, 260}, Qt::ShiftModifier);
        drawn = window->Area();
        EXPECT_NEAR(from.Lon, drawn->West, 1e-9);
        EXPECT_NEAR(to.Lon, drawn->East, 1e-9);
        EXPECT_NEAR(from.Lat, drawn->North, 1e-9);
        EXPECT_NEAR(to.Lat, drawn->South, 1e-9);
        figures = window->findChild<QLabel*>("LabelTask")->text();
        window->ButtonOkClick();
    });
    form.ButtonMapClick();
    ASSERT_TRUE(shown && drawn);
    EXPECT_EQ((GeoBounds{116.3, 39.8, 116.5, 40}), *shown);
    EXPECT_TRUE(figures.startsWith("Zoom 13: ")) << figures.toStdString();
    EXPECT_EQ(QString::number(drawn->West, 'f', 6), edit("Edit1")->text());
    EXPECT_EQ(QString::number(drawn->East, 'f', 6), edit("Edit3")->text());
    EXPECT_EQ(QString::number(drawn->North, 'f', 6), edit("Edit2")->text());
    EXPECT_EQ(QString::number(drawn->South, 'f', 6), edit("Edit4")->text());
    EXPECT_EQ(6, edit("Edit1")->text().section('.', 1).size());

    // A track opened and accepted: the shape's rectangle and its tiles; Cancel changes nothing.
    test::WriteFileBytes(m_exe.Path() + "t.gpx",
                         "<gpx><trk><trkseg><trkpt lat='39.9' lon='116.3'/>"
                         "<trkpt lat='39.95' lon='116.4'/></trkseg></trk></gpx>");
    QTimer::singleShot(0, &form, [&] {
        auto* window = form.findChild<TfrmArea*>();
        window->OpenArea(QString::fromStdString(m_exe.Path() + "t.gpx"));
        window->ButtonOkClick();
    });
    form.ButtonMapClick();
    const QString text = form.findChild<QLabel*>("ProgressText")->text();
    EXPECT_TRUE(text.startsWith("Next task: ") && text.contains(" tiles of the shape"))
        << text.toStdString();
    const QString left = edit("Edit1")->text();
    QTimer::singleShot(0, &form, [&] { form.findChild<TfrmArea*>()->reject(); });
    form.ButtonMapClick();
    EXPECT_EQ(left, edit("Edit1")->text());
    EXPECT_TRUE(m_dialogs.TextsOf(RecordingDialogs::Kind::Error).isEmpty());
}

} // namespace
} // namespace quarrow
