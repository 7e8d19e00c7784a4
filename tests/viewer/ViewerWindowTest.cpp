// The viewer's window driven as a person would: a task opened from the Open dialog, its counts in
// the status bar, its tiles drawn at their places, the place under the cursor, wheel and drag.
#include "viewer/ViewerWindow.h"

#include <filesystem>

#include <QApplication>
#include <QBuffer>
#include <QElapsedTimer>
#include <QImage>
#include <QLabel>
#include <QMouseEvent>
#include <QWheelEvent>
#include <gtest/gtest.h>

#include "SampleTask.h"
#include "geo/Commonfunc.h"
#include "tests/app/RecordingDialogs.h"
#include "tests/support/TempDir.h"
#include "tools/tileservice/TileRenderer.h"
#include "viewer/MapView.h"

namespace quarrow::viewer {
namespace {

using test::RecordingDialogs;
using test::TempDir;

std::string WhitePng() {
    QImage white(256, 256, QImage::Format_RGB32);
    white.fill(Qt::white);
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    white.save(&buffer, "PNG");
    return bytes.toStdString();
}

// Runs the event loop until the condition holds, for at most 30 s.
template <typename Condition> bool WaitFor(MapView& view, Condition condition) {
    QElapsedTimer timer;
    timer.start();
    while (timer.elapsed() < 30000) {
        view.grab();
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        if (condition())
            return true;
    }
    return false;
}

void SendMouse(QWidget& widget, QEvent::Type type, QPointF at, Qt::MouseButton button) {
    const Qt::MouseButtons held = type == QEvent::MouseButtonRelease ? Qt::NoButton : button;
    QMouseEvent event(type, at, widget.mapToGlobal(at),
                      type == QEvent::MouseMove ? Qt::NoButton : button, held, Qt::NoModifier);
    QCoreApplication::sendEvent(&widget, &event);
}

QString LabelText(const QWidget& window, const char* name) {
    return window.findChild<QLabel*>(name)->text();
}

TEST(ViewerWindow, ShowsATasksTilesCountsAndThePlaceUnderTheCursor) {
    TempDir exe;
    TempDir data;
    std::filesystem::create_directory(exe.Path() + "blankimg");
    const std::string blank = WhitePng();
    test::WriteFileBytes(exe.Path() + "blankimg/blank.png", blank);
    const test::SampleTask sample = test::WriteSampleTask(data.Path(), blank);

    RecordingDialogs dialogs;
    dialogs.FileAnswers.push_back(QString::fromStdString(sample.ProjectFile));
    // The Open dialog starts in the save folder of the settings.
    std::filesystem::create_directory(exe.Path() + "ini");
    test::WriteFileBytes(exe.Path() + "ini/config.ini",
                         "[IniParas]\r\nDefaultPath=" + data.Path() + "\r\n");
    ViewerWindow window(dialogs, QString::fromStdString(exe.Path()));
    window.resize(1400, 900);
    window.setAttribute(Qt::WA_DontShowOnScreen);
    window.show();
    window.OpenClick();
    ASSERT_EQ(1, dialogs.TextsOf(RecordingDialogs::Kind::OpenFile).size());
    EXPECT_EQ(QString::fromStdString(data.Path()), dialogs.Calls[0].Extra[1]);
    EXPECT_TRUE(dialogs.TextsOf(RecordingDialogs::Kind::Error).isEmpty());

    MapView& view = *window.View();
    ASSERT_TRUE(WaitFor(view, [&] { return view.CountsFinished() && view.OverviewFinished(); }));
    EXPECT_EQ("Present: 38   Blank: 1   Missing: 3", LabelText(window, "CountsLabel"));
    // Opened on the whole task.
    EXPECT_DOUBLE_EQ(view.MinScale(), view.View().Scale);

    // The tiles' own pixels, the task's north-west corner at the top left.
    view.SetView({6742, 3101, 256});
    ASSERT_TRUE(WaitFor(view, [&] { return view.TilesSettled(); }));
    const QImage shot = view.grab().toImage().convertToFormat(QImage::Format_RGB32);
    ASSERT_GE(shot.width(), 1280);
    // Missing (6742, 3101): empty, outlined.
    EXPECT_EQ(MissingColour, shot.pixel(128, 128));
    EXPECT_NE(MissingColour, shot.pixel(2, 128));
    // Present (6743, 3101): the tile's own pixels.
    QImage tile;
    const std::string png =
        tileservice::RenderTilePng({tileservice::MapKind::Normal, 13, 6743, 3101});
    ASSERT_TRUE(tile.loadFromData(reinterpret_cast<const uchar*>(png.data()),
                                  static_cast<int>(png.size())));
    tile = tile.convertToFormat(QImage::Format_RGB32);
    for (const QPoint at : {QPoint(10, 10), QPoint(100, 200), QPoint(250, 128)})
        EXPECT_EQ(tile.pixel(at), shot.pixel(at + QPoint(256, 0)));
    // Blank (6746, 3102): the white image, hatched.
    int marked = 0;
    for (int i = 0; i < 256; ++i)
        marked += shot.pixel(1024 + i, 256 + 128) != qRgb(255, 255, 255);
    EXPECT_GT(marked, 10);
    EXPECT_LT(marked, 200);

    // The cursor over the middle of tile (6743, 3101).
    SendMouse(view, QEvent::MouseMove, QPointF(384, 128), Qt::NoButton);
    EXPECT_EQ(CursorText(TileXToLon(6743.5, 13), TileYToLat(3101.5, 13)),
              LabelText(window, "CursorLabel"));

    // The wheel zooms around the cursor; a drag moves the map with the mouse.
    const QPointF at(300, 200);
    const TilePoint before = TileAt(view.View(), at.x(), at.y());
    QWheelEvent wheel(at, view.mapToGlobal(at), QPoint(), QPoint(0, 120), Qt::NoButton,
                      Qt::NoModifier, Qt::NoScrollPhase, false);
    QCoreApplication::sendEvent(&view, &wheel);
    EXPECT_DOUBLE_EQ(256 * 1.25, view.View().Scale);
    EXPECT_NEAR(before.X, TileAt(view.View(), at.x(), at.y()).X, 1e-9);
    EXPECT_NEAR(before.Y, TileAt(view.View(), at.x(), at.y()).Y, 1e-9);
    const ViewState zoomed = view.View();
    SendMouse(view, QEvent::MouseButtonPress, QPointF(500, 500), Qt::LeftButton);
    SendMouse(view, QEvent::MouseMove, QPointF(400, 450), Qt::LeftButton);
    SendMouse(view, QEvent::MouseButtonRelease, QPointF(400, 450), Qt::LeftButton);
    EXPECT_NEAR(zoomed.Left + 100 / zoomed.Scale, view.View().Left, 1e-9);
    EXPECT_NEAR(zoomed.Top + 50 / zoomed.Scale, view.View().Top, 1e-9);
}

TEST(ViewerWindow, AFileThatIsNoTaskIsShownAsAnErrorAndABigTaskClosesWhileScanning) {
    TempDir data;
    RecordingDialogs dialogs;
    {
        ViewerWindow window(dialogs, QString::fromStdString(data.Path()));
        EXPECT_FALSE(window.OpenTask(QString::fromStdString(data.Path() + "absent.zav")));
        ASSERT_EQ(1, dialogs.TextsOf(RecordingDialogs::Kind::Error).size());
        EXPECT_TRUE(dialogs.TextsOf(RecordingDialogs::Kind::Error)[0].contains("absent.zav"));

        // A million tiles, their folder there but empty: the window opens at once and can be
        // closed while the background still counts.
        auto params = std::make_shared<TaskParams>();
        params->LeftLongitude = TileXToLon(8000.5, 14);
        params->RightLongitude = TileXToLon(8999.5, 14);
        params->TopLatitude = TileYToLat(5000.5, 14);
        params->BottomLatitude = TileYToLat(5999.5, 14);
        params->Zoom = 14;
        params->SavePath = data.Path();
        params->ProjectName = "big.zav";
        const DownloadTask big(params);
        big.WriteProjectFile();
        ASSERT_TRUE(window.OpenTask(QString::fromStdString(big.ProjectFile())));
        EXPECT_EQ(1'000'000, big.TileCount);
        window.View()->grab();
        QCoreApplication::processEvents();
    }
    EXPECT_EQ(1, dialogs.Calls.size());
}

} // namespace
} // namespace quarrow::viewer
