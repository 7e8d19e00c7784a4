// The Options dialog against a settings file in a temporary executable folder.
#include "app/Unitoptions.h"

#include <filesystem>
#include <string>
#include <utility>

#include <QCheckBox>
#include <QDir>
#include <QLineEdit>
#include <QPushButton>
#include <gtest/gtest.h>

#include "tests/app/RecordingDialogs.h"
#include "tests/support/TempDir.h"

namespace {

using quarrow::test::ReadFileBytes;
using quarrow::test::RecordingDialogs;
using quarrow::test::TempDir;
using quarrow::test::WriteFileBytes;

class OptionsTest : public testing::Test {
protected:
    OptionsTest() : m_form(m_dialogs, QString::fromStdString(m_dir.Path())) {}

    std::string ConfigPath() const { return m_dir.Path() + "ini/config.ini"; }
    void WriteConfig(const std::string& bytes) {
        std::filesystem::create_directory(m_dir.Path() + "ini");
        WriteFileBytes(ConfigPath(), bytes);
    }
    QString Text(const char* edit) { return Find<QLineEdit>(edit)->text(); }
    void Type(const char* edit, const QString& text) { Find<QLineEdit>(edit)->setText(text); }
    QCheckBox* UseProxy() { return Find<QCheckBox>("CheckBoxUseProxy"); }
    void Press(const char* button) { Find<QPushButton>(button)->click(); }

    template <typename T> T* Find(const char* name) {
        T* control = m_form.findChild<T*>(QString::fromLatin1(name));
        EXPECT_NE(control, nullptr) << name;
        return control;
    }

    TempDir m_dir;
    RecordingDialogs m_dialogs;
    TfrmOptions m_form;
};

TEST_F(OptionsTest, FirstShowWithoutSettingsFileShowsTheDefaults) {
    m_form.show();
    EXPECT_EQ(Text("Edit12"), QDir::homePath() + QStringLiteral("/downloads"));
    EXPECT_FALSE(UseProxy()->isChecked());
    for (const char* edit :
         {"EditProxyServer", "EditProxyPort", "EditProxyUsername", "EditProxyPassword"})
        EXPECT_EQ(Text(edit), QString()) << edit;
    EXPECT_EQ(Find<QLineEdit>("EditProxyPassword")->echoMode(), QLineEdit::Normal);
    EXPECT_TRUE(Find<QPushButton>("Button1")->isDefault());
    EXPECT_EQ(m_form.minimumSize(), m_form.maximumSize());
    EXPECT_TRUE(m_dialogs.Calls.empty());
}

TEST_F(OptionsTest, OkWritesTheSixKeysInOrderAsTyped) {
    WriteConfig("");
    m_form.show();
    Type("Edit12", QStringLiteral("/data/t\u00e9l\u00e9"));
    UseProxy()->setChecked(true);
    Type("EditProxyServer", QStringLiteral("10.0.0.1"));
    Type("EditProxyPort", QStringLiteral("80a"));
    Type("EditProxyPassword", QStringLiteral("p=w"));
    Press("Button1");
    const std::string written = "[IniParas]\r\nDefaultPath=/data/t\xC3\xA9l\xC3\xA9\r\n[Proxy]\r\n"
                                "UseProxy=1\r\nProxyServer=10.0.0.1\r\nProxyPort=80a\r\n"
                                "ProxyUsername=\r\nProxyPassword=p=w\r\n";
    EXPECT_EQ(ReadFileBytes(ConfigPath()), written);
    EXPECT_FALSE(m_form.isVisible());

    // The next showing reads back what was written; unticked writes 0 and keeps the texts.
    m_form.show();
    EXPECT_EQ(Text("Edit12"), QStringLiteral("/data/t\u00e9l\u00e9"));
    EXPECT_TRUE(UseProxy()->isChecked());
    UseProxy()->setChecked(false);
    Press("Button1");
    std::string unticked = written;
    unticked.replace(unticked.find("UseProxy=1"), 10, "UseProxy=0");
    EXPECT_EQ(ReadFileBytes(ConfigPath()), unticked);
    EXPECT_TRUE(m_dialogs.Calls.empty());
}

TEST_F(OptionsTest, ProxyIsTickedExactlyWhenTheValueReadsAsOne) {
    const std::pair<const char*, bool> cases[] = {{"1", true},   {"0x1", true}, {"$1", true},
                                                  {"2", false},  {"0", false},  {"", false},
                                                  {"one", false}};
    for (const auto& [value, ticked] : cases) {
        WriteConfig(std::string("[proxy]\r\nuseproxy=") + value + "\r\nProxyServer= host \r\n");
        m_form.show();
        EXPECT_EQ(UseProxy()->isChecked(), ticked) << value;
        EXPECT_EQ(Text("EditProxyServer"), QStringLiteral("host")) << value;
        m_form.hide();
    }
}

TEST_F(OptionsTest, CancelAndCloseWriteNothing) {
    const std::string stored = "[IniParas]\r\nDefaultPath=/maps\r\n[Proxy]\r\nProxyPort=3128\r\n";
    WriteConfig(stored);
    m_form.show();
    Type("Edit12", QStringLiteral("/elsewhere"));
    Type("EditProxyPort", QStringLiteral("1"));
    Press("Button2");
    EXPECT_FALSE(m_form.isVisible());
    m_form.show();
    EXPECT_EQ(Text("Edit12"), QStringLiteral("/maps"));
    EXPECT_EQ(Text("EditProxyPort"), QStringLiteral("3128"));
    Type("EditProxyPort", QStringLiteral("2"));
    m_form.close();
    EXPECT_FALSE(m_form.isVisible());
    EXPECT_EQ(ReadFileBytes(ConfigPath()), stored);
}

TEST_F(OptionsTest, RefusedWriteIsShownAndTheDialogStaysOpen) {
    m_form.show();
    Press("Button1");
    EXPECT_EQ(m_dialogs.TextsOf(RecordingDialogs::Kind::Error),
              QStringList{QString::fromStdString("Unable to write to " + ConfigPath())});
    EXPECT_TRUE(m_form.isVisible());
    EXPECT_FALSE(std::filesystem::exists(m_dir.Path() + "ini"));
}

TEST_F(OptionsTest, BrowseSetsThePathOnlyWhenAFolderIsChosen) {
    m_form.show();
    const QString before = Text("Edit12");
    m_dialogs.FolderAnswers = {QString(), QStringLiteral("/srv/tiles")};
    Press("Button3");
    EXPECT_EQ(Text("Edit12"), before);
    Press("Button3");
    EXPECT_EQ(Text("Edit12"), QStringLiteral("/srv/tiles"));
    EXPECT_EQ(m_dialogs.TextsOf(RecordingDialogs::Kind::BrowseFolder),
              QStringList(2, QStringLiteral("Select path")));
}

} // namespace
