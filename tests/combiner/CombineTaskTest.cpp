// The combiner on a small task written by the engine, with tiles missing, one unreadable and one
// blank: pixels, world file and MBTiles rows checked against the tile geometry.
#include "combiner/CombineTask.h"
#include "combiner/GeoTiffWriter.h"
#include "archive/MapPage.h"
#include "combiner/TileImage.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <map>
#include <memory>
#include <numbers>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include <png.h>
#include <sqlite3.h>
#include <tiffio.h>
#include <webp/encode.h>

#include <gtest/gtest.h>

#include "geo/Commonfunc.h"
#include "base/Exception.h"
#include "engine/ImageHeader.h"
#include "base/Json.h"
#include "store/TaskFiles.h"
#include "engine/Unitclasstask.h"
#include "tests/support/TaskMaker.h"
#include "tests/support/TempDir.h"

namespace {

using quarrow::combiner::CombineTask;
using quarrow::combiner::DecodeTile;
using quarrow::combiner::OutputFormat;
using quarrow::combiner::PixelOrder;
using quarrow::combiner::SizeRefusal;
using quarrow::test::FolderEntries;
using quarrow::test::ReadFileBytes;
using quarrow::test::TempDir;
using quarrow::test::WriteFileBytes;

constexpr int Side = 256;

struct Image {
    int Width = 0;
    int Height = 0;
    std::vector<unsigned char> Rgb;
    int Channels = 3; // 4 with alpha
    const unsigned char* At(long long x, long long y) const {
        return Rgb.data() + (static_cast<std::size_t>(y) * static_cast<std::size_t>(Width) +
                             static_cast<std::size_t>(x)) *
                                static_cast<std::size_t>(Channels);
    }
};

Image DecodePng(const std::string& bytes, bool withAlpha = false) {
    png_image image;
    std::memset(&image, 0, sizeof image);
    image.version = PNG_IMAGE_VERSION;
    Image out;
    if (!png_image_begin_read_from_memory(&image, bytes.data(), bytes.size()))
        return out;
    image.format = withAlpha ? PNG_FORMAT_RGBA : PNG_FORMAT_RGB;
    out.Channels = withAlpha ? 4 : 3;
    out.Width = static_cast<int>(image.width);
    out.Height = static_cast<int>(image.height);
    out.Rgb.resize(PNG_IMAGE_SIZE(image));
    if (!png_image_finish_read(&image, nullptr, out.Rgb.data(), 0, nullptr))
        return {};
    return out;
}

// A 24-bit bottom-up BMP read by its headers' own numbers.
Image DecodeBmp(const std::string& bytes) {
    const auto u32 = [&bytes](std::size_t at) {
        std::uint32_t v = 0;
        for (int i = 3; i >= 0; --i)
            v = (v << 8) | static_cast<unsigned char>(bytes[at + static_cast<std::size_t>(i)]);
        return v;
    };
    Image out;
    if (bytes.size() < 54 || bytes[0] != 'B' || bytes[1] != 'M' || u32(2) != bytes.size() ||
        u32(28) % 65536 != 24)
        return out;
    out.Width = static_cast<int>(u32(18));
    out.Height = static_cast<int>(u32(22));
    const std::size_t rowBytes = (static_cast<std::size_t>(out.Width) * 3 + 3) / 4 * 4;
    out.Rgb.resize(static_cast<std::size_t>(out.Width) * static_cast<std::size_t>(out.Height) * 3);
    for (int y = 0; y < out.Height; ++y) {
        const std::size_t row = u32(10) + rowBytes * static_cast<std::size_t>(out.Height - 1 - y);
        for (int x = 0; x < out.Width; ++x) {
            for (int k = 0; k < 3; ++k) // BGR in the file
                out.Rgb[(static_cast<std::size_t>(y) * static_cast<std::size_t>(out.Width) +
                         static_cast<std::size_t>(x)) *
                            3 +
                        static_cast<std::size_t>(k)] =
                    static_cast<unsigned char>(bytes[row + static_cast<std::size_t>(x) * 3 + 2 -
                                                     static_cast<std::size_t>(k)]);
        }
    }
    return out;
}

// The pixels of a tile that say where they lie, so a misplaced or flipped tile shows.
std::vector<unsigned char> PatternPixels(int x, int y, bool withAlpha) {
    std::vector<unsigned char> pixels;
    for (int j = 0; j < Side; ++j)
        for (int i = 0; i < Side; ++i) {
            pixels.push_back(static_cast<unsigned char>(x * 37 + i));
            pixels.push_back(static_cast<unsigned char>(y * 53 + j));
            pixels.push_back(static_cast<unsigned char>((i * 3) ^ j));
            if (withAlpha)
                pixels.push_back(255); // opaque, so the expected colours need no blending
        }
    return pixels;
}

// The pattern as a lossless WebP, so that every decoded pixel can be compared; a 512-pixel tile
// is the pattern twice over in each direction.
std::string PatternWebp(int x, int y, int side = Side) {
    std::vector<unsigned char> pixels = PatternPixels(x, y, false);
    if (side == 2 * Side) {
        std::vector<unsigned char> twice;
        for (int j = 0; j < side; ++j)
            for (int i = 0; i < side; ++i)
                for (int k = 0; k < 3; ++k)
                    twice.push_back(pixels[static_cast<std::size_t>(((j % Side) * Side + i % Side) * 3 + k)]);
        pixels = std::move(twice);
    }
    std::uint8_t* out = nullptr;
    const std::size_t size = WebPEncodeLosslessRGB(pixels.data(), side, side, side * 3, &out);
    std::string bytes(reinterpret_cast<const char*>(out), size);
    WebPFree(out);
    return bytes;
}

// A tile whose every pixel says where it lies, as a PNG.
std::string PatternTile(int x, int y, bool withAlpha) {
    const std::vector<unsigned char> pixels = PatternPixels(x, y, withAlpha);
    const int channels = withAlpha ? 4 : 3;
    png_image image;
    std::memset(&image, 0, sizeof image);
    image.version = PNG_IMAGE_VERSION;
    image.width = Side;
    image.height = Side;
    image.format = withAlpha ? PNG_FORMAT_RGBA : PNG_FORMAT_RGB;
    png_alloc_size_t size = 0;
    png_image_write_get_memory_size(image, size, 0, pixels.data(), 0, nullptr);
    std::string out(size, '\0');
    EXPECT_TRUE(png_image_write_to_memory(&image, out.data(), &size, 0, pixels.data(),
                                          channels * Side, nullptr));
    out.resize(size);
    return out;
}

double Parse(const std::string& text) {
    double value = 0;
    const auto result = std::from_chars(text.data(), text.data() + text.size(), value);
    EXPECT_EQ(result.ptr, text.data() + text.size()) << text;
    return value;
}

std::vector<std::string> Lines(const std::string& bytes) {
    std::vector<std::string> lines;
    std::size_t start = 0;
    for (std::size_t end; (end = bytes.find("\r\n", start)) != std::string::npos; start = end + 2)
        lines.push_back(bytes.substr(start, end - start));
    EXPECT_EQ(start, bytes.size()) << "every line ends in CR LF";
    return lines;
}

// Spherical Mercator of EPSG:3857, from degrees.
constexpr double R = 6378137.0;
double Easting(double lon) {
    return R * lon * std::numbers::pi / 180;
}
double Northing(double lat) {
    return R * std::log(std::tan(std::numbers::pi / 4 + lat * std::numbers::pi / 360));
}

enum class Kind { Pattern, PatternWithAlpha, Blank, Missing, Unreadable };

class CombineTaskTest : public ::testing::Test {
protected:
    void SetUp() override {
        auto params =
            quarrow::test::TaskParamsOf(m_dir.Path(), "small.zav", 13, 116.3, 116.39, 40.0, 39.95, 18);
        m_task = std::make_unique<DownloadTask>(params);
        m_task->WriteProjectFile();
        ASSERT_EQ(m_task->MaxX - m_task->MinX + 1, 3);
        ASSERT_EQ(m_task->MaxY - m_task->MinY + 1, 2);
        m_blank = ReadFileBytes(BLANK_TILE_PATH);
        ASSERT_FALSE(m_blank.empty());
        // Row by row: pattern, missing, blank / unreadable, pattern with alpha, missing.
        const Kind kinds[2][3] = {{Kind::Pattern, Kind::Missing, Kind::Blank},
                                  {Kind::Unreadable, Kind::PatternWithAlpha, Kind::Missing}};
        for (int r = 0; r < 2; ++r)
            for (int c = 0; c < 3; ++c) {
                const int x = m_task->MinX + c, y = m_task->MinY + r;
                m_kinds[{x, y}] = kinds[r][c];
                const std::string path = m_task->TilePath(x, y);
                switch (kinds[r][c]) {
                case Kind::Pattern:
                case Kind::PatternWithAlpha:
                    WriteFileBytes(path, PatternTile(x, y, kinds[r][c] == Kind::PatternWithAlpha));
                    break;
                case Kind::Blank:
                    WriteFileBytes(path, m_blank);
                    break;
                case Kind::Unreadable:
                    WriteFileBytes(path, "\x89PNG\r\n\x1a\n not really");
                    break;
                case Kind::Missing:
                    break;
                }
            }
    }

    std::string Project() const { return m_task->ProjectFile(); }

    // The pixels a tile must show in the combined image.
    Image Expected(int x, int y) const {
        switch (m_kinds.at({x, y})) {
        case Kind::Pattern:
        case Kind::PatternWithAlpha:
        case Kind::Blank:
            return DecodePng(ReadFileBytes(m_task->TilePath(x, y)));
        default: {
            Image white{Side, Side, {}};
            white.Rgb.assign(Side * Side * 3, 255);
            return white;
        }
        }
    }

    void ExpectTilesInPlace(const Image& combined) {
        ASSERT_EQ(combined.Width, 3 * Side);
        ASSERT_EQ(combined.Height, 2 * Side);
        for (const auto& [tile, kind] : m_kinds) {
            const Image expected = Expected(tile.first, tile.second);
            ASSERT_EQ(expected.Width, Side);
            const long long left = (tile.first - m_task->MinX) * Side;
            const long long top = (tile.second - m_task->MinY) * Side;
            int wrong = 0;
            for (int j = 0; j < Side; ++j)
                for (int i = 0; i < Side; ++i)
                    wrong += std::memcmp(combined.At(left + i, top + j), expected.At(i, j), 3) != 0;
            EXPECT_EQ(wrong, 0) << "tile " << tile.first << "," << tile.second;
        }
    }

    TempDir m_dir;
    std::unique_ptr<DownloadTask> m_task;
    std::string m_blank;
    std::map<std::pair<int, int>, Kind> m_kinds;
};

TEST_F(CombineTaskTest, ImagesHoldEveryTileAtItsPlaceWithWorldAndProjectionFiles) {
    for (const std::string name : {"map.png", "map.BMP"}) {
        const std::string output = m_dir.Path() + name;
        std::vector<long long> seen;
        const auto result = CombineTask(Project(), output, [&](long long done, long long total) {
            EXPECT_EQ(total, 6);
            seen.push_back(done);
        });
        EXPECT_EQ(seen, (std::vector<long long>{0, 1, 2, 3, 4, 5, 6}));
        EXPECT_FALSE(result.Cancelled);
        EXPECT_EQ(result.Tiles, 6);
        EXPECT_EQ(result.Missing, 3); // two absent, one that does not decode
        EXPECT_EQ(result.Width, 768);
        EXPECT_EQ(result.Height, 512);
        const bool png = name == "map.png";
        const std::string world = m_dir.Path() + (png ? "map.pgw" : "map.bpw");
        const std::string prj = m_dir.Path() + "map.prj";
        EXPECT_EQ(result.Files, (std::vector<std::string>{output, world, prj}));

        const std::string bytes = ReadFileBytes(output);
        ExpectTilesInPlace(png ? DecodePng(bytes) : DecodeBmp(bytes));

        // The world file from the tile geometry: metres of the covering tiles' edges.
        const int z = m_task->Params->Zoom;
        const double west = Easting(TileXToLon(m_task->MinX, z));
        const double east = Easting(TileXToLon(m_task->MaxX + 1, z));
        const double north = Northing(TileYToLat(m_task->MinY, z));
        const double south = Northing(TileYToLat(m_task->MaxY + 1, z));
        const double pixelX = (east - west) / 768, pixelY = (north - south) / 512;
        const std::vector<std::string> lines = Lines(ReadFileBytes(world));
        ASSERT_EQ(lines.size(), 6u);
        const double expected[6] = {pixelX, 0, 0, -pixelY, west + pixelX / 2, north - pixelY / 2};
        for (std::size_t i = 0; i < 6; ++i)
            EXPECT_NEAR(Parse(lines[i]), expected[i], 1e-6) << "line " << i + 1;
        EXPECT_NEAR(pixelX, 2 * std::numbers::pi * R / (256 << z), 1e-9);

        const std::vector<std::string> wkt = Lines(ReadFileBytes(prj));
        ASSERT_EQ(wkt.size(), 1u);
        EXPECT_TRUE(wkt[0].starts_with("PROJCS[\"WGS 84 / Pseudo-Mercator\""));
        EXPECT_TRUE(wkt[0].ends_with("AUTHORITY[\"EPSG\",\"3857\"]]"));
    }
    // Nothing half-written remains, the tile folder is as it was.
    EXPECT_EQ(FolderEntries(m_dir.Path()),
              (std::vector<std::string>{"map.BMP", "map.bpw", "map.pgw", "map.png", "map.prj",
                                        "small", "small.zav"}));
    EXPECT_EQ(FolderEntries(m_dir.Path() + "small").size(), 4u);
}

TEST_F(CombineTaskTest, MBTilesHoldsThePresentTilesInTmsRowsWithTheirMetadata) {
    const std::string output = m_dir.Path() + "small.mbtiles";
    const auto result = CombineTask(Project(), output);
    EXPECT_EQ(result.Missing, 3);
    EXPECT_EQ(result.Files, std::vector<std::string>{output});

    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open_v2(output.c_str(), &db, SQLITE_OPEN_READONLY, nullptr), SQLITE_OK);
    const auto query = [db](const char* sql, auto&& row) {
        sqlite3_stmt* statement = nullptr;
        ASSERT_EQ(sqlite3_prepare_v2(db, sql, -1, &statement, nullptr), SQLITE_OK) << sql;
        while (sqlite3_step(statement) == SQLITE_ROW)
            row(statement);
        sqlite3_finalize(statement);
    };
    std::map<std::string, std::string> metadata;
    query("SELECT name, value FROM metadata", [&](sqlite3_stmt* s) {
        metadata[reinterpret_cast<const char*>(sqlite3_column_text(s, 0))] =
            reinterpret_cast<const char*>(sqlite3_column_text(s, 1));
    });
    EXPECT_EQ(metadata["name"], "small");
    EXPECT_EQ(metadata["format"], "png");
    EXPECT_EQ(metadata["minzoom"], "13");
    EXPECT_EQ(metadata["maxzoom"], "13");
    double bounds[4] = {};
    std::string text = metadata["bounds"] + ",";
    for (double& b : bounds) {
        const std::size_t comma = text.find(',');
        ASSERT_NE(comma, std::string::npos);
        b = Parse(text.substr(0, comma));
        text.erase(0, comma + 1);
    }
    const int z = 13;
    EXPECT_NEAR(bounds[0], TileXToLon(m_task->MinX, z), 1e-12);
    EXPECT_NEAR(bounds[1], TileYToLat(m_task->MaxY + 1, z), 1e-12);
    EXPECT_NEAR(bounds[2], TileXToLon(m_task->MaxX + 1, z), 1e-12);
    EXPECT_NEAR(bounds[3], TileYToLat(m_task->MinY, z), 1e-12);

    std::set<std::pair<int, int>> stored;
    query("SELECT zoom_level, tile_column, tile_row, tile_data FROM tiles", [&](sqlite3_stmt* s) {
        EXPECT_EQ(sqlite3_column_int(s, 0), z);
        const int x = sqlite3_column_int(s, 1);
        const int y = (1 << z) - 1 - sqlite3_column_int(s, 2); // TMS counts rows from the south
        const std::string data(static_cast<const char*>(sqlite3_column_blob(s, 3)),
                               static_cast<std::size_t>(sqlite3_column_bytes(s, 3)));
        EXPECT_EQ(data, ReadFileBytes(m_task->TilePath(x, y))) << x << "," << y;
        stored.insert({x, y});
    });
    sqlite3_close(db);
    std::set<std::pair<int, int>> present;
    for (const auto& [tile, kind] : m_kinds)
        if (kind == Kind::Pattern || kind == Kind::PatternWithAlpha || kind == Kind::Blank)
            present.insert(tile);
    EXPECT_EQ(stored, present);
}

TEST_F(CombineTaskTest, RefusedOrCancelledOutputsLeaveNothingBehind) {
    const std::vector<std::string> before = FolderEntries(m_dir.Path());
    const auto message = [](const std::function<void()>& action) -> std::string {
        try {
            action();
        } catch (const Exception& error) {
            return error.Message();
        }
        return "(no exception)";
    };
    // 150 x 150 tiles: 38400 pixels square, 4423680054 bytes as BMP.
    auto big = std::make_shared<TaskParams>(*m_task->Params);
    big->ProjectName = "big.zav";
    big->RightLongitude = TileXToLon(m_task->MinX + 149.5, 13);
    big->BottomLatitude = TileYToLat(m_task->MinY + 149.5, 13);
    DownloadTask bigTask(big);
    bigTask.WriteProjectFile();
    std::filesystem::remove(bigTask.TileFolder);
    ASSERT_EQ(bigTask.TileCount, 22500);
    const std::vector<std::string> withBig = FolderEntries(m_dir.Path());

    EXPECT_EQ(message([&] { CombineTask(bigTask.ProjectFile(), m_dir.Path() + "big.bmp"); }),
              "The image of 38400 x 38400 pixels would take 4423680054 bytes as BMP, which holds "
              "at most 4 GiB (4294967295 bytes). Choose a .png or .mbtiles output instead.");
    EXPECT_EQ(
        message([&] { CombineTask(Project(), m_dir.Path() + "map.jpg"); }),
        "The output " + m_dir.Path() +
            "map.jpg must end in .bmp, .png, .tif, .map, .kmz, .mbtiles, .sqlitedb, .pmtiles or a "
            "folder ending in /: its extension names the format.");
    EXPECT_EQ(message([&] { CombineTask(m_dir.Path() + "none.zav", m_dir.Path() + "m.png"); }),
              "Unable to read " + m_dir.Path() + "none.zav");
    EXPECT_EQ(FolderEntries(m_dir.Path()), withBig);
    std::filesystem::remove(bigTask.ProjectFile());

    // Cancelled midway, each format: the partial file is gone.
    for (const char* name : {"c.png", "c.bmp", "c.mbtiles"}) {
        std::stop_source stop;
        const auto result = CombineTask(
            Project(), m_dir.Path() + name,
            [&stop](long long done, long long) {
                if (done == 4)
                    stop.request_stop();
            },
            stop.get_token());
        EXPECT_TRUE(result.Cancelled) << name;
        EXPECT_TRUE(result.Files.empty());
    }
    EXPECT_EQ(FolderEntries(m_dir.Path()), before);
}

TEST_F(CombineTaskTest, PlantedLinksAreNeverWrittenThroughAndATooWideMapIsRefused) {
    // A link at each temporary name points at a file of the user's: it is replaced, never
    // written through, and the output is whole.
    const std::string victim = m_dir.Path() + "victim.txt";
    WriteFileBytes(victim, "mine");
    for (const std::string part :
         {"o.png.part", "o.bmp.part", "o.tif.part", "o.tif.part.overview1", "o.mbtiles.part"}) {
        const std::string output = m_dir.Path() + part.substr(0, part.find(".part"));
        std::filesystem::create_symlink(victim, m_dir.Path() + part);
        const auto result = CombineTask(Project(), output);
        EXPECT_EQ("mine", ReadFileBytes(victim)) << part;
        EXPECT_EQ(3, result.Missing) << part;
        EXPECT_EQ(1, result.NotTiles) << part; // the file that is no picture
        EXPECT_FALSE(std::filesystem::exists(m_dir.Path() + part)) << part;
        EXPECT_TRUE(std::filesystem::is_regular_file(output)) << part;
    }
    quarrow::combiner::CombineResult counted;
    counted.Missing = 3;
    counted.NotTiles = 1;
    EXPECT_EQ("3 missing (1 of them no 256 x 256 tile picture)",
              quarrow::combiner::MissingText(counted));

    // 4200 tiles wide: a strip of more than 1 GiB, refused before anything is written.
    auto wide = std::make_shared<TaskParams>(*m_task->Params);
    wide->ProjectName = "wide.zav";
    wide->RightLongitude = TileXToLon(m_task->MinX + 4199.5, 13);
    wide->BottomLatitude = wide->TopLatitude;
    DownloadTask wideTask(wide);
    wideTask.WriteProjectFile();
    for (const char* name : {"w.png", "w.tif", "w.bmp"}) {
        try {
            CombineTask(wideTask.ProjectFile(), m_dir.Path() + name);
            ADD_FAILURE() << name << " was written";
        } catch (const Exception& error) {
            EXPECT_EQ("The map is 1075200 pixels wide: too wide for one image; choose MBTiles or "
                      "a tile tree.",
                      error.Message());
        }
        EXPECT_FALSE(std::filesystem::exists(m_dir.Path() + name + std::string(".part")));
    }
}

// An output that is one of the task's files, reached by any spelling, or that lies in its tile
// folder is refused before anything is written; a tile cut short goes into no archive.
TEST_F(CombineTaskTest, AnOutputNeverTakesATaskFilesPlaceAndArchivesGetOnlyWholeTiles) {
    const quarrow::TaskFiles files = quarrow::TaskFilesOf(Project());
    WriteFileBytes(files.Failed, "");
    std::filesystem::create_symlink(Project(), m_dir.Path() + "alias.png");
    const std::string project = ReadFileBytes(Project());
    quarrow::combiner::CombineOptions png;
    png.Format = OutputFormat::Png;
    const std::pair<std::string, std::string> outputs[] = {
        {Project(), "is the task's own file"},
        {m_dir.Path() + "./small.zav", "is the task's own file"},
        {m_dir.Path() + "alias.png", "is the task's own file"},
        {files.List, "is the task's own file"},
        {files.Log, "is the task's own file"},
        {files.Failed, "is the task's own file"},
        {files.Records, "is the task's own file"},
        {files.Lock, "is the task's own file"},
        {files.TileFolder + "map.png", "lies in the task's tile folder"},
        {files.TileFolder, "lies in the task's tile folder"},
    };
    for (const auto& [output, why] : outputs) {
        try {
            quarrow::combiner::Combine({Project()}, output, png);
            ADD_FAILURE() << output << " was written";
        } catch (const Exception& error) {
            EXPECT_NE(error.Message().find(why), std::string::npos) << error.Message();
        }
    }
    EXPECT_EQ(project, ReadFileBytes(Project()));
    EXPECT_EQ(4, FolderEntries(files.TileFolder).size());
    EXPECT_FALSE(std::filesystem::exists(files.Records));

    const std::string whole = ReadFileBytes(m_task->TilePath(m_task->MinX, m_task->MinY));
    WriteFileBytes(m_task->TilePath(m_task->MinX, m_task->MinY), whole.substr(0, whole.size() / 2));
    for (const char* name : {"cut.mbtiles", "cut.pmtiles", "cut.sqlitedb"}) {
        const auto result = CombineTask(Project(), m_dir.Path() + name);
        EXPECT_EQ(4, result.Missing) << name;
        EXPECT_EQ(2, result.NotTiles) << name;
    }
}

// A triangle and a corridor whose corners lie between pixel centres: each pixel of the images is
// inside or outside by plain geometry in the pixel plane, and only covered tiles are read.
Image DecodeTiff(const std::string& path, bool withAlpha = false);

TEST(CombineShape, PixelsOutsideTheShapeAreTransparentInPngAndTiffAndWhiteInBmp) {
    TempDir dir;
    constexpr int Zoom = 13;
    constexpr double Left = 6700 * 256, Top = 3100 * 256; // the area's first pixel, 4 x 3 tiles
    const auto geo = [](double px, double py) {
        return quarrow::GeoPoint{TileXToLon((Left + px) / 256, Zoom),
                                 TileYToLat((Top + py) / 256, Zoom)};
    };
    struct P {
        double X, Y;
    };
    const P triangle[3] = {{30.3, 20.7}, {700.1, 100.2}, {200.4, 700.9}};
    const P track[2] = {{600.2, 500.6}, {980.7, 700.3}};
    auto shape = std::make_shared<quarrow::AreaShape>();
    shape->Polygons.push_back(
        {{geo(triangle[0].X, triangle[0].Y), geo(triangle[1].X, triangle[1].Y),
          geo(triangle[2].X, triangle[2].Y)}});
    shape->Lines.push_back({geo(track[0].X, track[0].Y), geo(track[1].X, track[1].Y)});
    shape->CorridorKm = 0.3;
    const double radius = quarrow::TileCoverage::CorridorTiles(0.3, shape->Lines[0][0].Lat, Zoom) *
                          256; // the northern end

    auto params = std::make_shared<TaskParams>();
    const quarrow::GeoBounds bounds = quarrow::ShapeBounds(*shape);
    params->LeftLongitude = bounds.West;
    params->RightLongitude = bounds.East;
    params->TopLatitude = bounds.North;
    params->BottomLatitude = bounds.South;
    params->Zoom = Zoom;
    params->MapsType = 18;
    params->SavePath = dir.Path();
    params->ProjectName = "shape.zav";
    params->Shape = shape;
    DownloadTask task(params);
    task.WriteProjectFile();
    ASSERT_EQ(task.MinX, 6700);
    ASSERT_EQ(task.MinY, 3100);
    ASSERT_EQ(task.MaxX - task.MinX + 1, 4);
    ASSERT_EQ(task.MaxY - task.MinY + 1, 3);
    ASSERT_LT(task.TileCount, 12);
    for (int x = task.MinX; x <= task.MaxX; ++x)
        for (int y = task.MinY; y <= task.MaxY; ++y)
            if (task.Covers(x, y))
                WriteFileBytes(task.TilePath(x, y), PatternTile(x, y, false));

    // Pixel centres nearer an outline than this are left out: the shape went through its file.
    constexpr double Margin = 1e-3;
    const auto side = [](const P& a, const P& b, const P& p) {
        return ((b.X - a.X) * (p.Y - a.Y) - (b.Y - a.Y) * (p.X - a.X)) /
               std::hypot(b.X - a.X, b.Y - a.Y);
    };
    const auto classify = [&](const P& p) -> int { // 1 inside, 0 outside, -1 too near to tell
        double nearest = INFINITY;
        bool inTriangle = true;
        for (int i = 0; i < 3; ++i) {
            const double s = side(triangle[i], triangle[(i + 1) % 3], p);
            nearest = std::min(nearest, std::abs(s));
            inTriangle = inTriangle && s > 0;
        }
        const P& a = track[0];
        const P& b = track[1];
        const double t = std::clamp(((p.X - a.X) * (b.X - a.X) + (p.Y - a.Y) * (b.Y - a.Y)) /
                                        (std::pow(b.X - a.X, 2) + std::pow(b.Y - a.Y, 2)),
                                    0.0, 1.0);
        const double d = std::hypot(a.X + t * (b.X - a.X) - p.X, a.Y + t * (b.Y - a.Y) - p.Y);
        nearest = std::min(nearest, std::abs(d - radius));
        if (nearest < Margin)
            return -1;
        return inTriangle || d < radius ? 1 : 0;
    };

    for (const std::string name : {"shape.png", "shape.bmp", "shape.tif"}) {
        const std::string output = dir.Path() + name;
        const auto result = CombineTask(task.ProjectFile(), output);
        EXPECT_EQ(result.Tiles, task.TileCount);
        EXPECT_EQ(result.Missing, 0) << "tiles outside the shape are not the task's";
        const bool png = name != "shape.bmp"; // with transparency
        const std::string bytes = ReadFileBytes(output);
        const Image image = name == "shape.tif" ? DecodeTiff(output, true)
                            : png               ? DecodePng(bytes, true)
                                                : DecodeBmp(bytes);
        ASSERT_EQ(image.Width, 4 * Side);
        ASSERT_EQ(image.Height, 3 * Side);
        long long inside = 0, wrong = 0;
        for (int py = 0; py < image.Height; ++py)
            for (int px = 0; px < image.Width; ++px) {
                const int where = classify({px + 0.5, py + 0.5});
                if (where < 0)
                    continue;
                inside += where;
                const unsigned char* pixel = image.At(px, py);
                const unsigned char white[3] = {255, 255, 255};
                const int x = task.MinX + px / Side, y = task.MinY + py / Side;
                const unsigned char expected[3] = {
                    static_cast<unsigned char>(x * 37 + px % Side),
                    static_cast<unsigned char>(y * 53 + py % Side),
                    static_cast<unsigned char>(((px % Side) * 3) ^ (py % Side))};
                const bool right =
                    where == 1 ? std::memcmp(pixel, expected, 3) == 0 && (!png || pixel[3] == 255)
                               : (png ? pixel[3] == 0 : std::memcmp(pixel, white, 3) == 0);
                wrong += !right;
            }
        EXPECT_GT(inside, 100000);
        EXPECT_EQ(wrong, 0) << name;
    }
}

TEST(TileImage, JpegTilesDecodeAndBrokenOnesAreRefused) {
    const std::string blank = ReadFileBytes(BLANK_JPEG_PATH);
    ASSERT_TRUE(quarrow::HasImageSide(blank, 256));
    std::vector<unsigned char> pixels(256 * 256 * 3, 0);
    for (const PixelOrder order : {PixelOrder::Rgb, PixelOrder::Bgr}) {
        std::fill(pixels.begin(), pixels.end(), 0);
        ASSERT_TRUE(DecodeTile(blank, order, pixels.data(), 256 * 3));
        EXPECT_EQ(std::count(pixels.begin(), pixels.end(), 255), 256 * 256 * 3);
    }
    // Bottom-up, as a BMP strip takes it: the bottom row first, where the buffer begins. Guard
    // bytes before and after show a write outside it.
    std::vector<unsigned char> guarded(256 * 3 + 256 * 256 * 3 + 256 * 3, 0);
    ASSERT_TRUE(DecodeTile(blank, PixelOrder::Bgr, guarded.data() + 256 * 3, -256 * 3));
    EXPECT_EQ(std::count(guarded.begin(), guarded.end(), 255), 256 * 256 * 3);
    EXPECT_EQ(std::count(guarded.begin(), guarded.begin() + 256 * 3, 0), 256 * 3);
    const std::string broken = "\xFF\xD8\xFF\xE0 not a picture at all";
    EXPECT_FALSE(quarrow::HasImageSide(broken, 256));
    EXPECT_FALSE(DecodeTile(broken, PixelOrder::Rgb, pixels.data(), 256 * 3));
}

// The window offers the task's own name: two formats of one extension get two names, and the
// tile tree does not take the task's tile folder.
TEST(OutputName, TheTasksNameInEachFormat) {
    using quarrow::combiner::DefaultOutputName;
    EXPECT_EQ("bj.png", DefaultOutputName("bj", OutputFormat::Png));
    EXPECT_EQ("bj.sqlitedb", DefaultOutputName("bj", OutputFormat::OsmAnd));
    EXPECT_EQ("bj-locus.sqlitedb", DefaultOutputName("bj", OutputFormat::RMaps));
    EXPECT_EQ("bj-xyz/", DefaultOutputName("bj", OutputFormat::Xyz));
    EXPECT_EQ("bj.kmz", DefaultOutputName("bj", OutputFormat::Kmz));
}

TEST(OutputSize, EachFormatRefusesOnlyWhatItCannotHold) {
    struct Case {
        OutputFormat Format;
        long long Width, Height;
        bool Refused;
    };
    const Case cases[] = {
        {OutputFormat::Bmp, 25600, 25600, false},             // 1.97 GB
        {OutputFormat::Bmp, 37632, 38025, false},             // 4292870454 bytes: just fits
        {OutputFormat::Bmp, 38400, 38400, true},              //
        {OutputFormat::Png, 256, 2147483647, false},          // the format's own limit
        {OutputFormat::Png, 256, 2147483648, true},           //
        {OutputFormat::Png, 1048576, 256, false},             // a strip of 1 GiB
        {OutputFormat::GeoTiff, 1048577, 256, true},          // wider: choose MBTiles
        {OutputFormat::MBTiles, 1LL << 26, 1LL << 26, false}, // zoom 18 whole world
    };
    for (const Case& c : cases)
        EXPECT_EQ(SizeRefusal(c.Format, c.Width, c.Height).has_value(), c.Refused)
            << c.Width << " x " << c.Height;
    // A Garmin map holds a row of 1024-pixel pieces with their opacity: 1 GiB at the most,
    // however many pieces the device takes.
    quarrow::combiner::CombineOptions many;
    many.MaxPieces = quarrow::combiner::MaxKmzPieces;
    EXPECT_FALSE(SizeRefusal(OutputFormat::Kmz, 262144, 1024, many).has_value());
    EXPECT_TRUE(SizeRefusal(OutputFormat::Kmz, 262145, 1024, many).has_value());
    EXPECT_FALSE(SizeRefusal(OutputFormat::Kmz, 10241, 10241, many).has_value());
    EXPECT_TRUE(SizeRefusal(OutputFormat::Kmz, 10241, 10241).has_value()); // 121 pieces: above 100
    EXPECT_EQ(quarrow::combiner::FormatOfOutput("a/b.MBTiles"), OutputFormat::MBTiles);
    EXPECT_EQ(quarrow::combiner::FormatOfOutput(".png"), std::nullopt);
}

TEST(ProjectFileRead, CoordinatesWithADecimalCommaReadAsWritten) {
    TempDir dir;
    WriteFileBytes(dir.Path() + "t.zav", "[MapsType]\r\nMapsType=19\r\n[AREA]\r\n"
                                         "LeftLongitude=116,3\r\nRightLongitude= 116.5 \r\n"
                                         "TopLatitude=40\r\nBottomLatitude=-3,25E1\r\n"
                                         "[Zoom]\r\nZoom=12\r\n");
    const TaskParams params = quarrow::ReadTaskParams(dir.Path() + "t.zav");
    EXPECT_EQ(params.SavePath, dir.Path());
    EXPECT_EQ(params.ProjectName, "t.zav");
    EXPECT_EQ(params.MapsType, 19);
    EXPECT_EQ(params.Zoom, 12);
    EXPECT_EQ(params.LeftLongitude, 116.3);
    EXPECT_EQ(params.RightLongitude, 116.5);
    EXPECT_EQ(params.TopLatitude, 40);
    EXPECT_EQ(params.BottomLatitude, -32.5);
    WriteFileBytes(dir.Path() + "t.zav", "[AREA]\r\nLeftLongitude=east\r\n");
    EXPECT_THROW(quarrow::ReadTaskParams(dir.Path() + "t.zav"), Exception);
}

// A GeoTIFF's pixels, as libtiff decodes them whatever the compression.
Image DecodeTiff(const std::string& path, bool withAlpha) {
    Image out;
    out.Channels = withAlpha ? 4 : 3;
    TIFF* tiff = TIFFOpen(path.c_str(), "r");
    if (!tiff)
        return out;
    std::uint32_t width = 0, height = 0;
    TIFFGetField(tiff, TIFFTAG_IMAGEWIDTH, &width);
    TIFFGetField(tiff, TIFFTAG_IMAGELENGTH, &height);
    std::vector<std::uint32_t> abgr(static_cast<std::size_t>(width) * height);
    if (TIFFReadRGBAImageOriented(tiff, width, height, abgr.data(), ORIENTATION_TOPLEFT, 0)) {
        out.Width = static_cast<int>(width);
        out.Height = static_cast<int>(height);
        for (const std::uint32_t pixel : abgr)
            for (int band = 0; band < out.Channels; ++band)
                out.Rgb.push_back(static_cast<unsigned char>(pixel >> (8 * band)));
    }
    TIFFClose(tiff);
    return out;
}

// What gdalinfo -json says of the file, and its warnings; empty when gdalinfo is not there.
std::pair<std::optional<quarrow::JsonValue>, std::string> GdalInfo(const std::string& path) {
    const std::string command = "gdalinfo -json '" + path + "' 2>" + path + ".err";
    std::string text;
    if (std::FILE* pipe = ::popen(command.c_str(), "r")) {
        char buffer[4096];
        for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;)
            text.append(buffer, n);
        ::pclose(pipe);
    }
    return {quarrow::ParseJson(text).Value, ReadFileBytes(path + ".err")};
}

TEST_F(CombineTaskTest, AGeoTiffPlacesItselfInWebMercatorWithItsOverviews) {
    const std::string output = m_dir.Path() + "map.tif";
    const auto result = CombineTask(Project(), output);
    EXPECT_EQ(result.Files, std::vector<std::string>{output}); // no world file: it is inside
    EXPECT_EQ(result.Missing, 3);
    ExpectTilesInPlace(DecodeTiff(output));
    EXPECT_EQ(ReadFileBytes(output).substr(0, 4), std::string("II*\0", 4)); // a classic TIFF

    const auto [info, warnings] = GdalInfo(output);
    if (!info)
        GTEST_SKIP() << "gdalinfo is not installed";
    EXPECT_EQ("", warnings);
    const std::string wkt = info->Find("coordinateSystem")->Find("wkt")->String();
    EXPECT_NE(std::string::npos, wkt.find("WGS 84 / Pseudo-Mercator")) << wkt;
    // The corners from the tile geometry, through the spherical Mercator formulas.
    const int z = m_task->Params->Zoom;
    const double west = Easting(TileXToLon(m_task->MinX, z));
    const double east = Easting(TileXToLon(m_task->MaxX + 1, z));
    const double north = Northing(TileYToLat(m_task->MinY, z));
    const double south = Northing(TileYToLat(m_task->MaxY + 1, z));
    const quarrow::JsonValue* corners = info->Find("cornerCoordinates");
    const auto corner = [&](const char* name, int axis) {
        return corners->Find(name)->Array()[static_cast<std::size_t>(axis)].Number();
    };
    EXPECT_NEAR(west, corner("upperLeft", 0), 1e-3);
    EXPECT_NEAR(north, corner("upperLeft", 1), 1e-3);
    EXPECT_NEAR(east, corner("lowerRight", 0), 1e-3);
    EXPECT_NEAR(south, corner("lowerRight", 1), 1e-3);
    // 768 x 512 halved to 384 x 256 and 192 x 128.
    const quarrow::JsonArray& bands = info->Find("bands")->Array();
    ASSERT_EQ(3u, bands.size());
    EXPECT_EQ(2u, bands[0].Find("overviews")->Array().size());
}

TEST(GeoTiffWriter, ABigTiffPastTheThreshold) {
    TempDir dir;
    for (const std::uint64_t above : {std::uint64_t{0}, std::uint64_t{1} << 30}) {
        const std::string path = dir.Path() + "t.tif";
        quarrow::combiner::GeoTiffOptions options;
        options.BigTiffAbove = above;
        {
            quarrow::combiner::GeoTiffWriter writer(
                path, 256, 256, quarrow::combiner::PlacementOf(0, 0, 1), options);
            const std::vector<unsigned char> rows(256 * 256 * 3, 0x80);
            writer.WriteRows(rows.data(), nullptr, 256);
            writer.Finish();
        }
        EXPECT_EQ(ReadFileBytes(path).substr(0, 4),
                  above == 0 ? std::string("II+\0", 4) : std::string("II*\0", 4));
        EXPECT_EQ(128, DecodeTiff(path).Rgb.at(1000));
    }
}

TEST_F(CombineTaskTest, TwoZoomsInOneMBTilesAndATileTreeWithItsTileJson) {
    // A second task of the same source and map type, one zoom level deeper: one tile.
    auto params = std::make_shared<TaskParams>(*m_task->Params);
    params->Zoom = 14;
    params->ProjectName = "deeper.zav";
    params->RightLongitude = params->LeftLongitude + 0.001;
    params->BottomLatitude = params->TopLatitude - 0.001;
    const DownloadTask deeper(params);
    deeper.WriteProjectFile();
    WriteFileBytes(deeper.TilePath(deeper.MinX, deeper.MinY), PatternTile(1, 2, false));

    const std::string mbtiles = m_dir.Path() + "both.mbtiles";
    const auto result = quarrow::combiner::CombineTasks({Project(), deeper.ProjectFile()}, mbtiles);
    EXPECT_EQ(7, result.Tiles);
    sqlite3* db = nullptr;
    ASSERT_EQ(SQLITE_OK, sqlite3_open_v2(mbtiles.c_str(), &db, SQLITE_OPEN_READONLY, nullptr));
    const auto query = [db](const char* sql) {
        std::string text;
        sqlite3_stmt* statement = nullptr;
        sqlite3_prepare_v2(db, sql, -1, &statement, nullptr);
        while (sqlite3_step(statement) == SQLITE_ROW)
            text +=
                reinterpret_cast<const char*>(sqlite3_column_text(statement, 0)) + std::string(";");
        sqlite3_finalize(statement);
        return text;
    };
    EXPECT_EQ("13;14;", query("SELECT value FROM metadata WHERE name IN ('minzoom', 'maxzoom') "
                              "ORDER BY value"));
    EXPECT_EQ("13 3;14 1;", query("SELECT zoom_level || ' ' || count(*) FROM tiles "
                                  "GROUP BY zoom_level ORDER BY zoom_level"));
    sqlite3_close(db);

    // Another map type is other tiles: refused, nothing written.
    auto other = std::make_shared<TaskParams>(*m_task->Params);
    other->MapsType = 17;
    other->ProjectName = "other.zav";
    DownloadTask(other).WriteProjectFile();
    try {
        quarrow::combiner::CombineTasks({Project(), m_dir.Path() + "other.zav"},
                                        m_dir.Path() + "mixed.mbtiles");
        ADD_FAILURE() << "mixed map types combined";
    } catch (const quarrow::Exception& error) {
        EXPECT_NE(std::string::npos,
                  error.Message().find("different map types (Satellite, Map view)"))
            << error.Message();
    }
    EXPECT_FALSE(std::filesystem::exists(m_dir.Path() + "mixed.mbtiles"));

    // The tree: every readable tile at {z}/{x}/{y}.png, the same bytes, and its TileJSON.
    const std::string tree = m_dir.Path() + "tree";
    quarrow::combiner::CombineXyz({Project(), deeper.ProjectFile()}, tree);
    int files = 0;
    for (const auto& [tile, kind] : m_kinds) {
        const std::string path =
            tree + "/13/" + std::to_string(tile.first) + "/" + std::to_string(tile.second) + ".png";
        const bool readable =
            kind == Kind::Pattern || kind == Kind::PatternWithAlpha || kind == Kind::Blank;
        EXPECT_EQ(readable, std::filesystem::exists(path)) << path;
        if (readable) {
            EXPECT_EQ(ReadFileBytes(m_task->TilePath(tile.first, tile.second)),
                      ReadFileBytes(path));
            ++files;
        }
    }
    EXPECT_EQ(3, files);
    EXPECT_TRUE(std::filesystem::exists(tree + "/14/" + std::to_string(deeper.MinX) + "/" +
                                        std::to_string(deeper.MinY) + ".png"));
    const auto json = quarrow::ParseJson(ReadFileBytes(tree + "/tilejson.json")).Value;
    ASSERT_TRUE(json);
    EXPECT_EQ("3.0.0", json->Find("tilejson")->String());
    EXPECT_EQ("{z}/{x}/{y}.png", json->Find("tiles")->Array().at(0).String());
    EXPECT_EQ(13, json->Find("minzoom")->Number());
    EXPECT_EQ(14, json->Find("maxzoom")->Number());
    EXPECT_NEAR(m_task->LeftLongitudeDownload, json->Find("bounds")->Array().at(0).Number(), 1e-9);
    EXPECT_THROW(quarrow::combiner::CombineXyz({Project()}, tree), quarrow::Exception)
        << "not empty";

    // Overlapping tasks: a tile of both is there once, with its bytes.
    const std::string twice = m_dir.Path() + "twice";
    quarrow::combiner::CombineXyz({Project(), Project()}, twice);
    int tiles = 0;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(twice + "/13"))
        tiles += entry.is_regular_file() ? 1 : 0;
    EXPECT_EQ(3, tiles);
    for (const auto& [tile, kind] : m_kinds) {
        if (kind != Kind::Pattern)
            continue;
        EXPECT_EQ(ReadFileBytes(m_task->TilePath(tile.first, tile.second)),
                  ReadFileBytes(twice + "/13/" + std::to_string(tile.first) + "/" +
                                std::to_string(tile.second) + ".png"));
    }
}

} // namespace

// A task of a lossless WebP source (with side 512, its "@2x" tiles) from 116.3, 40.0 to the
// right and bottom edges at zoom 13, its project written and every tile the pattern.
std::unique_ptr<quarrow::DownloadTask> WebpTask(const std::string& folder, const std::string& name,
                                                double right, double bottom, int side) {
    auto params = quarrow::test::TaskParamsOf(folder, name + ".zav", 13, 116.3, right, 40.0, bottom);
    quarrow::TileSource source;
    source.Name = name;
    source.Templates[0] =
        std::string("http://127.0.0.1:1/{z}/{x}/{y}") + (side == 512 ? "@2x" : "") + ".webp";
    source.Format = "webp";
    source.TileSize = side;
    params->Source = source;
    auto task = std::make_unique<quarrow::DownloadTask>(params);
    task->WriteProjectFile();
    for (int x = task->MinX; x <= task->MaxX; ++x)
        for (int y = task->MinY; y <= task->MaxY; ++y)
            WriteFileBytes(task->TilePath(x, y), PatternWebp(x, y, side));
    return task;
}

// A WebP source's tiles: decoded to their pixels for an image, kept as they are in MBTiles and
// PMTiles (which say so), turned into PNGs for the phone apps' files.
TEST(CombineWebp, ImagesDecodeThemArchivesKeepThemPhoneFilesGetPngs) {
    TempDir dir;
    const auto made = WebpTask(dir.Path(), "webp", 116.39, 39.95, Side);
    const quarrow::DownloadTask& task = *made;
    for (int x = task.MinX; x <= task.MaxX; ++x)
        for (int y = task.MinY; y <= task.MaxY; ++y)
            EXPECT_TRUE(task.TilePath(x, y).ends_with(".webp"));
    const auto expectPixels = [&](const std::string& png, int x, int y) {
        const Image image = DecodePng(png);
        const std::vector<unsigned char> expected = PatternPixels(x, y, false);
        EXPECT_EQ(
            std::vector<unsigned char>(image.Rgb.begin(), image.Rgb.begin() + Side * Side * 3),
            expected)
            << x << "," << y;
    };

    // Top-down (PNG) and bottom-up (BMP) strips.
    for (const std::string name : {"map.png", "map.bmp"}) {
        SCOPED_TRACE(name);
        const auto image = CombineTask(task.ProjectFile(), dir.Path() + name);
        EXPECT_EQ(image.Missing, 0);
        const std::string bytes = ReadFileBytes(dir.Path() + name);
        const Image combined = name == "map.png" ? DecodePng(bytes) : DecodeBmp(bytes);
        for (int x = task.MinX; x <= task.MaxX; ++x)
            for (int y = task.MinY; y <= task.MaxY; ++y) {
                const std::vector<unsigned char> expected = PatternPixels(x, y, false);
                int wrong = 0;
                for (int j = 0; j < Side; ++j)
                    for (int i = 0; i < Side; ++i)
                        wrong +=
                            std::memcmp(
                                combined.At((x - task.MinX) * Side + i, (y - task.MinY) * Side + j),
                                &expected[static_cast<std::size_t>(j * Side + i) * 3], 3) != 0;
                EXPECT_EQ(wrong, 0) << "tile " << x << "," << y;
            }
    }

    CombineTask(task.ProjectFile(), dir.Path() + "webp.mbtiles");
    CombineTask(task.ProjectFile(), dir.Path() + "webp.sqlitedb");
    for (const std::string file : {"webp.mbtiles", "webp.sqlitedb"}) {
        SCOPED_TRACE(file);
        const bool mbtiles = file == "webp.mbtiles";
        sqlite3* db = nullptr;
        ASSERT_EQ(sqlite3_open_v2((dir.Path() + file).c_str(), &db, SQLITE_OPEN_READONLY, nullptr),
                  SQLITE_OK);
        sqlite3_stmt* s = nullptr;
        ASSERT_EQ(sqlite3_prepare_v2(db,
                                     mbtiles ? "SELECT tile_column, tile_row, tile_data FROM tiles"
                                             : "SELECT x, y, image FROM tiles",
                                     -1, &s, nullptr),
                  SQLITE_OK);
        int rows = 0;
        while (sqlite3_step(s) == SQLITE_ROW) {
            ++rows;
            const int x = sqlite3_column_int(s, 0);
            const int y =
                mbtiles ? (1 << 13) - 1 - sqlite3_column_int(s, 1) : sqlite3_column_int(s, 1);
            const std::string data(static_cast<const char*>(sqlite3_column_blob(s, 2)),
                                   static_cast<std::size_t>(sqlite3_column_bytes(s, 2)));
            if (mbtiles)
                EXPECT_EQ(data, ReadFileBytes(task.TilePath(x, y)));
            else
                expectPixels(data, x, y);
        }
        sqlite3_finalize(s);
        EXPECT_EQ(rows, task.TileCount);
        if (mbtiles) {
            ASSERT_EQ(sqlite3_prepare_v2(db, "SELECT value FROM metadata WHERE name = 'format'", -1,
                                         &s, nullptr),
                      SQLITE_OK);
            ASSERT_EQ(sqlite3_step(s), SQLITE_ROW);
            EXPECT_STREQ(reinterpret_cast<const char*>(sqlite3_column_text(s, 0)), "webp");
            sqlite3_finalize(s);
        }
        sqlite3_close(db);
    }
    CombineTask(task.ProjectFile(), dir.Path() + "webp.pmtiles");
    const std::string pmtiles = ReadFileBytes(dir.Path() + "webp.pmtiles");
    ASSERT_GT(pmtiles.size(), 127u);
    EXPECT_EQ(pmtiles[99], 4) << "the header's tile type: WebP";
}

// A source's 512-pixel tiles: an image of twice the pixels, each tile's at its place, the world
// file's pixel half as wide; a tile tree says the size in its tilejson.json.
TEST(CombineRetina, TwiceThePixelsEachTileAtItsPlace) {
    TempDir dir;
    const auto made = WebpTask(dir.Path(), "retina", 116.35, 39.98, 512);
    const quarrow::DownloadTask& task = *made;
    const int columns = task.MaxX - task.MinX + 1, rows = task.MaxY - task.MinY + 1;
    // A GeoTIFF takes its rows 256 at a time, as from any task.
    const auto tiff = CombineTask(task.ProjectFile(), dir.Path() + "map.tif");
    EXPECT_EQ(tiff.Height, rows * 512);
    for (const std::string name : {"map.png", "map.bmp"}) {
    SCOPED_TRACE(name);
    const auto result = CombineTask(task.ProjectFile(), dir.Path() + name);
    EXPECT_EQ(result.Missing, 0);
    EXPECT_EQ(result.Width, columns * 512);
    const std::string bytes = ReadFileBytes(dir.Path() + name);
    const Image combined = name == "map.png" ? DecodePng(bytes) : DecodeBmp(bytes);
    ASSERT_EQ(combined.Width, columns * 512);
    ASSERT_EQ(combined.Height, rows * 512);
    for (int x = task.MinX; x <= task.MaxX; ++x)
        for (int y = task.MinY; y <= task.MaxY; ++y) {
            const std::vector<unsigned char> expected = PatternPixels(x, y, false);
            int wrong = 0;
            for (int j = 0; j < 512; ++j)
                for (int i = 0; i < 512; ++i)
                    wrong += std::memcmp(
                                 combined.At((x - task.MinX) * 512 + i, (y - task.MinY) * 512 + j),
                                 &expected[static_cast<std::size_t>((j % Side) * Side + i % Side) * 3],
                                 3) != 0;
            EXPECT_EQ(wrong, 0) << "tile " << x << "," << y;
        }
    }
    const std::vector<std::string> world = Lines(ReadFileBytes(dir.Path() + "map.pgw"));
    ASSERT_EQ(world.size(), 6u);
    EXPECT_NEAR(Parse(world[0]), 2 * std::numbers::pi * R / (512 << 13), 1e-9);
    EXPECT_NEAR(Parse(world[4]), Easting(TileXToLon(task.MinX, 13)) + Parse(world[0]) / 2, 1e-6);
    quarrow::combiner::CombineXyz({task.ProjectFile()}, dir.Path() + "tree");
    EXPECT_NE(std::string::npos,
              ReadFileBytes(dir.Path() + "tree/tilejson.json").find("\"tileSize\": 512,"));
}

// A source's name and attribution are outside input: on the tree's page they stay text, never
// markup or script.
TEST(MapPage, KeepsHostileTextsAsText) {
    quarrow::combiner::ArchiveInfo info;
    info.Name = "<b>city</b>";
    info.Attribution = "</script><img src=x onerror=alert(1)>";
    info.TileSize = 512;
    const std::string page = quarrow::combiner::MapPageHtml(info);
    EXPECT_EQ(std::string::npos, page.find("<b>city"));
    EXPECT_NE(std::string::npos, page.find("<title>&lt;b&gt;city&lt;/b&gt;</title>"));
    EXPECT_EQ(std::string::npos, page.find("</script><img"));
    EXPECT_EQ(std::string::npos, page.find("<img"));
    // 512-pixel tiles of level z are drawn at Leaflet's level z + 1.
    EXPECT_NE(std::string::npos, page.find("tileSize: 512, zoomOffset: -1"));
}
