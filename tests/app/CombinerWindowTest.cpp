// The combiner's window: the output it offers follows the task and the format, Save as sets it,
// and an existing file is replaced only when the user says so.
#include "combiner/TfrmCombiner.h"

#include <QComboBox>
#include <QLineEdit>
#include <QPushButton>

#include <gtest/gtest.h>

#include "engine/Unitclasstask.h"
#include "tests/app/RecordingDialogs.h"
#include "tests/support/TempDir.h"

namespace quarrow {
namespace {

using Kind = test::RecordingDialogs::Kind;

TEST(CombinerWindow, TheOfferedOutputFollowsTheFormatAndAFileIsReplacedOnlyWhenSaidSo) {
    test::TempDir dir;
    auto params = std::make_shared<TaskParams>();
    params->LeftLongitude = 116.3;
    params->RightLongitude = 116.31;
    params->TopLatitude = 39.91;
    params->BottomLatitude = 39.9;
    params->Zoom = 12;
    params->MapsType = 17;
    params->SavePath = dir.Path();
    params->ProjectName = "bj.zav";
    const DownloadTask task(params);
    task.WriteProjectFile();

    test::RecordingDialogs dialogs;
    TfrmCombiner window(dialogs, QString::fromStdString(dir.Path()));
    window.OpenTask(QString::fromStdString(task.ProjectFile()));
    auto* output = window.findChild<QLineEdit*>(QStringLiteral("EditOutput"));
    auto* format = window.findChild<QComboBox*>(QStringLiteral("ComboFormat"));
    const QString folder = QString::fromStdString(dir.Path());
    EXPECT_EQ(folder + "bj.bmp", output->text());
    for (const auto& [name, offered] : {std::pair{"rmaps", "bj-locus.sqlitedb"},
                                        {"osmand", "bj.sqlitedb"},
                                        {"xyz", "bj-xyz/"},
                                        {"png", "bj.png"}}) {
        const auto chosen = combiner::FormatNamed(name);
        format->setCurrentIndex(format->findData(static_cast<int>(*chosen)));
        QMetaObject::invokeMethod(format, "activated", Q_ARG(int, format->currentIndex()));
        EXPECT_EQ(folder + offered, output->text()) << name;
    }

    // Save as sets the output; an existing one is asked about, and "no" writes nothing.
    const QString mine = folder + "mine.png";
    dialogs.FileAnswers = {mine};
    window.findChild<QPushButton*>(QStringLiteral("ButtonBrowseOutput"))->click();
    EXPECT_EQ(mine, output->text());
    EXPECT_EQ((QStringList{"PNG picture (.png)|*.png", folder + "bj.png"}), dialogs.Calls[0].Extra);
    test::WriteFileBytes(mine.toStdString(), "my own picture");
    dialogs.ReplaceAnswers = {false};
    window.ButtonCombineClick();
    EXPECT_FALSE(window.Running());
    EXPECT_EQ(QStringList{mine + " exists. Replace it?"}, dialogs.TextsOf(Kind::Replace));
    EXPECT_EQ("my own picture", test::ReadFileBytes(mine.toStdString()));
}

} // namespace
} // namespace quarrow
