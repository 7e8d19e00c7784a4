// Tile sources in the windows: the import forms, the sources window's import and test fetch, and
// the main window's choice of source with its refusals.
#include <filesystem>

#include <QApplication>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QRadioButton>

#include <gtest/gtest.h>

#include "app/SourceImport.h"
#include "app/SourcesDialog.h"
#include "app/Unit1.h"
#include "download/ServiceRules.h"
#include "download/Tls.h"
#include "engine/ProfileFile.h"
#include "engine/SourcesFile.h"
#include "tests/app/RecordingDialogs.h"
#include "tests/support/TempDir.h"
#include "tests/support/TestCertificates.h"
#include "tools/tileservice/TileRenderer.h"
#include "tools/tileservice/TileService.h"

namespace quarrow {
namespace {

using test::RecordingDialogs;
using test::TempDir;
using test::WriteFileBytes;

TEST(SourceImport, EachFormOfOneServiceGivesTheSameSource) {
    TempDir folder;
    const std::string files[] = {
        "<customMapSource><name>Topo</name><minZoom>1</minZoom><maxZoom>17</maxZoom>"
        "<tileType>JPG</tileType><url>https://topo.example/{$z}/{$x}/{$y}.jpg</url>"
        "</customMapSource>",
        "<!DOCTYPE connections><qgsXYZTilesConnections version=\"1.0\"><xyztiles name=\"Topo\" "
        "url=\"https://topo.example/{z}/{x}/{y}.jpg\" zmin=\"1\" zmax=\"17\" "
        "referer=\"https://topo.example/\"/></qgsXYZTilesConnections>",
        R"({"tilejson": "3.0.0", "name": "Topo", "tiles": ["https://topo.example/{z}/{x}/{y}.jpg"],
            "minzoom": 1, "maxzoom": 17})",
        // As QGIS 3.24 to 3.40 export it: a prefix that no namespace declares.
        "<!DOCTYPE connections>\n<qgsXYZTilesConnections version=\"1.0\">\n  <xyztiles zmax=\"17\" "
        "zmin=\"1\" url=\"https://topo.example/{z}/{x}/{y}.jpg\" name=\"Topo\" "
        "referer=\"https://topo.example/\" http-header:referer=\"https://topo.example/\" "
        "http-header:X-Api-Key=\"k1\" username=\"\" password=\"\" authcfg=\"\" "
        "tilePixelRatio=\"0\"/>\n</qgsXYZTilesConnections>\n",
    };
    for (const std::string& content : files) {
        WriteFileBytes(folder.Path() + "s", content);
        const ImportedSources imported = ImportSources(folder.Path() + "s");
        ASSERT_EQ(1u, imported.Sources.size()) << content;
        const TileSource& source = imported.Sources.front();
        EXPECT_EQ("Topo", source.Name);
        EXPECT_EQ("https://topo.example/5/10/12.jpg",
                  ExpandTemplate(source.Templates[0], 5, 10, 12, source.Subdomains));
        EXPECT_EQ((std::pair{1, 17}), std::pair(source.MinZoom, source.MaxZoom));
        EXPECT_EQ("jpg", source.Format);
        if (content.find("http-header:") != std::string::npos) {
            EXPECT_EQ("https://topo.example/", source.Referer);
            EXPECT_EQ((std::vector<std::pair<std::string, std::string>>{{"X-Api-Key", "k1"}}),
                      source.Headers);
        }
    }
    // The first layer of several, said so; TMS rows; what is no source file.
    WriteFileBytes(folder.Path() + "multi.xml",
                   "<customMultiLayerMapSource><name>Both</name><layers>"
                   "<customMapSource><name>a</name><url>http://a.example/{$z}/{$x}/{$y}.png</url>"
                   "</customMapSource><customMapSource><name>b</name>"
                   "<url>http://b.example/{$z}/{$x}/{$y}.png</url></customMapSource>"
                   "</layers></customMultiLayerMapSource>");
    const ImportedSources multi = ImportSources(folder.Path() + "multi.xml");
    EXPECT_EQ("http://a.example/{$z}/{$x}/{$y}.png", multi.Sources.at(0).Templates[0]);
    EXPECT_EQ(std::vector<std::string>{"\"Both\" has 2 layers: only the first is taken."},
              multi.Notes);
    WriteFileBytes(folder.Path() + "tms.json",
                   R"({"tiles": ["http://t.example/{z}/{x}/{y}.png"], "scheme": "tms"})");
    EXPECT_EQ("http://t.example/{z}/{x}/{-y}.png",
              ImportSources(folder.Path() + "tms.json").Sources.at(0).Templates[0]);
    // The file's own word on format and size, else the URL's: WebP, and "@2x" retina tiles.
    WriteFileBytes(folder.Path() + "retina.json",
                   R"({"tiles": ["http://t.example/{z}/{x}/{y}"], "format": "webp", "tileSize": 512})");
    WriteFileBytes(folder.Path() + "at2x.json", R"({"tiles": ["http://t.example/{z}/{x}/{y}@2x.webp"]})");
    for (const char* file : {"retina.json", "at2x.json"}) {
        const TileSource read = ImportSources(folder.Path() + file).Sources.at(0);
        EXPECT_EQ("webp", read.Format) << file;
        EXPECT_EQ(512, read.TileSize) << file;
    }
    WriteFileBytes(folder.Path() + "other.xml", "<gpx/>");
    try {
        ImportSources(folder.Path() + "other.xml");
        ADD_FAILURE() << "an unknown file was imported";
    } catch (const Exception& error) {
        EXPECT_EQ(folder.Path() + "other.xml is neither a MOBAC map source, a QGIS XYZ "
                                  "connections file nor a TileJSON file.",
                  error.Message());
    }
}

TEST(SourceImport, AnImportCannotAddAKeyOrASectionAndABigFileIsNotRead) {
    TempDir folder;
    // A TileJSON attribution that tries to add a source of its own to the sources file: its
    // breaks fold to blanks, so it stays the one value it shows. Blanks around the template go,
    // as the sources file would drop them.
    WriteFileBytes(folder.Path() + "evil.json",
                   R"({"name": "Topo", "tiles": [" https://topo.example/{z}/{x}/{y}.png "],
                       "attribution": "(c) Topo\r\n[Evil]\r\nMapView=http://evil.example/{z}/{x}/{y}"})");
    const ImportedSources imported = ImportSources(folder.Path() + "evil.json");
    ASSERT_EQ(1u, imported.Sources.size());
    EXPECT_EQ("(c) Topo  [Evil]  MapView=http://evil.example/{z}/{x}/{y}",
              imported.Sources[0].Attribution);
    EXPECT_EQ("https://topo.example/{z}/{x}/{y}.png", imported.Sources[0].Templates[0]);
    WriteSources(folder.Path() + "sources.ini", imported.Sources);
    EXPECT_EQ(imported.Sources, ReadSources(folder.Path() + "sources.ini"));
    // A MOBAC name with a line break is refused, naming why.
    WriteFileBytes(folder.Path() + "name.xml",
                   "<customMapSource><name>Topo&#13;&#10;[Evil]</name>"
                   "<url>https://topo.example/{$z}/{$x}/{$y}.png</url></customMapSource>");
    try {
        ImportSources(folder.Path() + "name.xml");
        ADD_FAILURE() << "a name with a line break was imported";
    } catch (const Exception& error) {
        EXPECT_NE(std::string::npos, error.Message().find("cannot hold \"[\", \"]\" or a line break"));
    }
    // Larger than any source file: refused before it is read.
    std::filesystem::resize_file(folder.Path() + "evil.json", (16 << 20) + 1);
    try {
        ImportSources(folder.Path() + "evil.json");
        ADD_FAILURE() << "a file of 16 MB was imported";
    } catch (const Exception& error) {
        EXPECT_EQ(folder.Path() + "evil.json is larger than 16 MB: no map source file is that large.",
                  error.Message());
    }
}

// Lets the test fetch of the sources window end.
bool PumpWhileTesting(const TfrmSources& window) {
    for (int i = 0; i < 2000 && window.Testing(); ++i) {
        QCoreApplication::processEvents();
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return !window.Testing();
}

TEST(SourcesWindow, TheEditorKeepsEveryRuleOfASource) {
    test::RecordingDialogs dialogs;
    TfrmSourceEdit editor(dialogs, {});
    TileSource source;
    source.Name = "Topo";
    source.Templates = {"https://{s}.t.example/{z}/{x}/{y}.png", "", "https://t.example/t/{q}"};
    source.Subdomains = {"a", "b"};
    source.Format = "jpg";
    source.MinZoom = 3;
    source.MaxZoom = 17;
    source.Bounds = GeoBounds{1, 2, 3, 4};
    source.Workers = 4;
    source.TileDelayMs = 250;
    source.MinAgeDays = 7;
    source.UserAgent = "Agent/1";
    source.Referer = "https://r.example/";
    source.Headers = {{"X-Key", "1"}};
    source.Attribution = "(c) Topo";
    editor.SetSource(source);
    editor.ButtonOkClick();
    EXPECT_TRUE(dialogs.Calls.empty());
    TileSource edited = editor.Source();
    edited.Bounds = source.Bounds; // taken from its edit by OK, which checked it above
    EXPECT_EQ(source, edited);
}

TEST(SourcesWindow, ImportsAFileAndFetchesOneTileOverHttps) {
    TempDir exe;
    std::filesystem::create_directory(exe.Path() + "ini");
    const test::CertificateFiles tls = test::MakeCertificates(exe.Path(), "local", "127.0.0.1");
    tileservice::ServiceOptions options;
    options.Port = 0;
    options.TlsCert = tls.Cert;
    options.TlsKey = tls.Key;
    tileservice::TileService service(options);
    WriteFileBytes(exe.Path() + "ini/config.ini", "[Tls]\r\nCaFile=" + tls.CaCert + "\r\n");
    WriteFileBytes(exe.Path() + "local.json", R"({"name": "Local", "tiles": ["https://127.0.0.1:)" +
                                                  std::to_string(service.Port()) +
                                                  R"(/xyz/terrain/{z}/{x}/{y}.png"]})");

    RecordingDialogs dialogs;
    dialogs.FileAnswers = {QString::fromStdString(exe.Path() + "local.json")};
    TfrmSources window(dialogs, QString::fromStdString(exe.Path()));
    window.ButtonImportClick();
    EXPECT_EQ(QStringList{"Imported \"Local\"."}, dialogs.TextsOf(RecordingDialogs::Kind::Message));
    ASSERT_EQ(1u, ReadSources(SourcesFilePath(exe.Path())).size());

    window.ButtonTestClick();
    ASSERT_TRUE(PumpWhileTesting(window));
    const std::string tile = tileservice::RenderTilePng({tileservice::MapKind::Terrain, 0, 0, 0});
    const QString result = window.findChild<QLabel*>("TestResult")->text();
    EXPECT_TRUE(result.startsWith("Tile 0/0/0: " + QString::number(tile.size()) + " bytes in "))
        << result.toStdString();
    EXPECT_FALSE(window.findChild<QLabel*>("TestPicture")->pixmap().isNull());

    // A source from zoom 2 within bounds is tried there, not at 0/0/0.
    TileSource source = ReadSources(SourcesFilePath(exe.Path())).front();
    source.MinZoom = 2;
    source.Bounds = GeoBounds{116, 39, 117, 40};
    const TestFetch fetched = FetchTestTile(source, 0, std::make_shared<TlsContext>(tls.CaCert));
    EXPECT_EQ((std::tuple{2, 3, 1}), std::tuple(fetched.Z, fetched.X, fetched.Y));
    EXPECT_TRUE(fetched.Url.ends_with("/xyz/terrain/2/3/1.png")) << fetched.Url;
    EXPECT_EQ("", fetched.Error);
}

TEST(SourcesChoice, TheMainWindowOffersTheSourcesAndRefusesAForbiddingService) {
    TempDir exe, save;
    std::filesystem::create_directory(exe.Path() + "ini");
    TileSource osm, satellite;
    osm.Name = "OSM";
    osm.Templates[0] = "https://{s}.tile.openstreetmap.org/{z}/{x}/{y}.png";
    osm.Subdomains = {"a", "b", "c"};
    satellite.Name = "Sat";
    satellite.Templates[1] = "https://sat.example/{z}/{x}/{y}.jpg";
    WriteSources(SourcesFilePath(exe.Path()), {osm, satellite});
    WriteFileBytes(exe.Path() + "ini/config.ini", "[Source]\r\nName=OSM\r\n");

    RecordingDialogs dialogs;
    TForm1 form(dialogs, QString::fromStdString(exe.Path()));
    form.show();
    auto* combo = form.findChild<QComboBox*>("ComboSource");
    ASSERT_EQ(3, combo->count());
    EXPECT_EQ("Quarrow tile service", combo->itemText(0));
    EXPECT_EQ("OSM", combo->currentText());
    const auto radios = form.findChild<QWidget*>("radio_mapstype")->findChildren<QRadioButton*>();
    EXPECT_TRUE(radios[0]->isChecked());
    EXPECT_FALSE(radios[1]->isEnabled());

    form.findChild<QLineEdit*>("Edit1")->setText("116.3");
    form.findChild<QLineEdit*>("Edit3")->setText("116.5");
    form.findChild<QLineEdit*>("Edit2")->setText("39.9");
    form.findChild<QLineEdit*>("Edit4")->setText("39.8");
    form.findChild<QLineEdit*>("Edit6")->setText(QString::fromStdString(save.Path()));
    form.BitBtn1Click();
    const QStringList messages = dialogs.TextsOf(RecordingDialogs::Kind::Message);
    ASSERT_EQ(1, messages.size());
    EXPECT_TRUE(messages[0].startsWith("\"OSM\" fetches from tile.openstreetmap.org, whose terms"));
    EXPECT_EQ(nullptr, form.CurrentTask);
    EXPECT_TRUE(std::filesystem::is_empty(save.Path()));

    // Another source: only its map type; the choice is kept in the settings.
    combo->setCurrentIndex(2);
    EXPECT_TRUE(radios[1]->isChecked());
    EXPECT_FALSE(radios[0]->isEnabled());
    EXPECT_EQ("Sat", ProfileFile(exe.Path() + "ini/config.ini").ReadString("Source", "Name", ""));
}

} // namespace
} // namespace quarrow
