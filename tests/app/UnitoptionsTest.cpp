// The Options dialog against a settings file in a temporary executable folder.
#include "app/Unitoptions.h"

#include <filesystem>
#include <string>

#include <QCheckBox>
#include <QDir>
#include <QLabel>
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
using Kind = RecordingDialogs::Kind;

const char* const ProxyEdits[] = {"EditProxyServer", "EditProxyPort", "EditProxyUsername",
                                  "EditProxyPassword"};

class OptionsTest : public testing::Test {
protected:
    OptionsTest() : m_form(m_dialogs, QString::fromStdString(m_dir.Path())) {}

    std::string ConfigPath() const { return m_dir.Path() + "ini/config.ini"; }
    void MakeIniFolder() { std::filesystem::create_directory(m_dir.Path() + "ini"); }
    void WriteConfig(const std::string& bytes) {
        MakeIniFolder();
        WriteFileBytes(ConfigPath(), bytes);
    }

    template <typename T> T* Find(const char* name) {
        T* control = m_form.findChild<T*>(QString::fromLatin1(name));
        EXPECT_NE(control, nullptr) << name;
        return control;
    }
    QLineEdit* Edit(const char* name) { return Find<QLineEdit>(name); }
    QCheckBox* UseProxy() { return Find<QCheckBox>("CheckBoxUseProxy"); }
    void Press(const char* button) { Find<QPushButton>(button)->click(); }

    TempDir m_dir;
    RecordingDialogs m_dialogs;
    TfrmOptions m_form;
};

TEST_F(OptionsTest, FirstShowWithoutSettingsFileShowsTheDefaults) {
    m_form.show();
    EXPECT_EQ(Edit("Edit12")->text(), QDir::homePath() + QStringLiteral("/downloads"));
    EXPECT_FALSE(UseProxy()->isChecked());
    for (const char* name : ProxyEdits) {
        EXPECT_EQ(Edit(name)->text(), QString()) << name;
        EXPECT_EQ(Edit(name)->echoMode(), QLineEdit::Normal) << name;
    }
    EXPECT_TRUE(m_dialogs.Calls.empty());
    EXPECT_FALSE(std::filesystem::exists(m_dir.Path() + "ini"));

    EXPECT_EQ(m_form.windowTitle(), QStringLiteral("Options"));
    const std::pair<const char*, const char*> labels[] = {{"Label1", "Default path to save :"},
                                                          {"Label3", "Proxy Server Name (IP)"},
                                                          {"Label4", "Proxy Port"},
                                                          {"Label5", "Proxy Username"},
                                                          {"Label6", "Proxy Password"}};
    for (const auto& [name, caption] : labels)
        EXPECT_EQ(Find<QLabel>(name)->text(), QString::fromLatin1(caption));
    EXPECT_EQ(UseProxy()->text(), QStringLiteral("Use proxy server"));
    EXPECT_EQ(Find<QPushButton>("Button3")->text(), QStringLiteral("..."));
    EXPECT_EQ(Find<QPushButton>("Button1")->text(), QStringLiteral("OK"));
    EXPECT_TRUE(Find<QPushButton>("Button1")->isDefault());
    EXPECT_EQ(Find<QPushButton>("Button2")->text(), QStringLiteral("Cancel"));
    EXPECT_EQ(m_form.minimumSize(), m_form.maximumSize());
}

TEST_F(OptionsTest, OkWritesTheSixKeysInOrderAsTyped) {
    MakeIniFolder();
    m_form.show();
    Edit("Edit12")->setText(QStringLiteral("/data/t\u00e9l\u00e9"));
    UseProxy()->setChecked(true);
    Edit("EditProxyServer")->setText(QStringLiteral("10.0.0.1"));
    Edit("EditProxyPort")->setText(QStringLiteral("80a"));
    Edit("EditProxyPassword")->setText(QStringLiteral("p=w"));
    Press("Button1");
    EXPECT_EQ(ReadFileBytes(ConfigPath()),
              "[IniParas]\r\nDefaultPath=/data/t\xC3\xA9l\xC3\xA9\r\n"
              "[Proxy]\r\nUseProxy=1\r\nProxyServer=10.0.0.1\r\n"
              "ProxyPort=80a\r\nProxyUsername=\r\nProxyPassword=p=w\r\n");
    EXPECT_FALSE(m_form.isVisible());
    EXPECT_TRUE(m_dialogs.Calls.empty());

    // The next showing reads back what was written; unticked writes 0 and keeps the texts.
    m_form.show();
    EXPECT_EQ(Edit("Edit12")->text(), QStringLiteral("/data/t\u00e9l\u00e9"));
    EXPECT_TRUE(UseProxy()->isChecked());
    EXPECT_EQ(Edit("EditProxyPassword")->text(), QStringLiteral("p=w"));
    UseProxy()->setChecked(false);
    Press("Button1");
    EXPECT_EQ(ReadFileBytes(ConfigPath()),
              "[IniParas]\r\nDefaultPath=/data/t\xC3\xA9l\xC3\xA9\r\n"
              "[Proxy]\r\nUseProxy=0\r\nProxyServer=10.0.0.1\r\n"
              "ProxyPort=80a\r\nProxyUsername=\r\nProxyPassword=p=w\r\n");
}

TEST_F(OptionsTest, ProxyIsTickedExactlyWhenTheValueReadsAsOne) {
    const std::pair<const char*, bool> cases[] = {{"1", true},   {"0x1", true},  {"$1", true},
                                                  {" +1", true}, {"2", false},   {"0", false},
                                                  {"", false},   {"one", false}, {"-1", false}};
    for (const auto& [value, ticked] : cases) {
        WriteConfig(std::string("[proxy]\r\nuseproxy=") + value + "\r\nProxyServer= host \r\n");
        m_form.show();
        EXPECT_EQ(UseProxy()->isChecked(), ticked) << value;
        EXPECT_EQ(Edit("EditProxyServer")->text(), QStringLiteral("host")) << value;
        m_form.hide();
    }
}

TEST_F(OptionsTest, CancelAndCloseWriteNothing) {
    const std::string stored = "[IniParas]\r\nDefaultPath=/maps\r\n\r\n[Proxy]\r\nUseProxy=1\r\n"
                               "ProxyPort=3128\r\n";
    WriteConfig(stored);
    m_form.show();
    Edit("Edit12")->setText(QStringLiteral("/elsewhere"));
    UseProxy()->setChecked(false);
    Edit("EditProxyPort")->setText(QStringLiteral("1"));
    Press("Button2");
    EXPECT_FALSE(m_form.isVisible());

    m_form.show();
    EXPECT_EQ(Edit("Edit12")->text(), QStringLiteral("/maps"));
    EXPECT_TRUE(UseProxy()->isChecked());
    EXPECT_EQ(Edit("EditProxyPort")->text(), QStringLiteral("3128"));
    Edit("EditProxyPort")->setText(QStringLiteral("2"));
    m_form.close();
    EXPECT_FALSE(m_form.isVisible());
    EXPECT_EQ(ReadFileBytes(ConfigPath()), stored);
    EXPECT_TRUE(m_dialogs.Calls.empty());
}

TEST_F(OptionsTest, RefusedWriteIsShownAndTheDialogStaysOpen) {
    m_form.show();
    Press("Button1");
    EXPECT_EQ(m_dialogs.TextsOf(Kind::Error),
              QStringList{QString::fromStdString("Unable to write to " + ConfigPath())});
    EXPECT_TRUE(m_form.isVisible());
    EXPECT_FALSE(std::filesystem::exists(m_dir.Path() + "ini"));
}

TEST_F(OptionsTest, BrowseSetsThePathOnlyWhenAFolderIsChosen) {
    m_form.show();
    const QString before = Edit("Edit12")->text();
    m_dialogs.FolderAnswers = {QString(), QStringLiteral("/srv/tiles")};
    Press("Button3");
    EXPECT_EQ(Edit("Edit12")->text(), before);
    Press("Button3");
    EXPECT_EQ(Edit("Edit12")->text(), QStringLiteral("/srv/tiles"));
    EXPECT_EQ(m_dialogs.TextsOf(Kind::BrowseFolder),
              (QStringList{QStringLiteral("Select path"), QStringLiteral("Select path")}));
    EXPECT_EQ(m_dialogs.Calls.size(), 2u);
}

} // namespace
