// The formats for phones and GPS devices, each read back by what did not write it: SQL queries on
// both SQLite forms, the KMZ unzipped and its KML's boxes against the Mercator formulas, gdalinfo
// on the OziExplorer map, and a PMTiles reader written here from the format's published
// description.
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <numbers>
#include <optional>
#include <string>
#include <vector>

#include <csetjmp>

#include <jpeglib.h>
#include <sqlite3.h>
#include <webp/encode.h>
#include <zip.h>
#include <zlib.h>

#include <gtest/gtest.h>

#include "archive/TileReaders.h"

#include "combiner/CombineTask.h"
#include "base/Exception.h"
#include "engine/ImageHeader.h"
#include "base/Json.h"
#include "engine/Unitclasstask.h"
#include "tests/support/TaskMaker.h"
#include "tests/support/TempDir.h"

namespace {

using namespace quarrow;
using combiner::CombineOptions;
using combiner::OutputFormat;
using test::ReadFileBytes;
using test::TempDir;
using test::TilePng;
using test::Lat;
using test::Lon;
using test::WriteFileBytes;
using test::WriteTask;

// Runs the query, one vector of column texts a row.
std::vector<std::vector<std::string>> Query(const std::string& file, const std::string& sql) {
    sqlite3* db = nullptr;
    std::vector<std::vector<std::string>> rows;
    if (sqlite3_open_v2(file.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) != SQLITE_OK)
        return rows;
    sqlite3_stmt* statement = nullptr;
    if (sqlite3_prepare_v2(db, sql.c_str(), -1, &statement, nullptr) == SQLITE_OK)
        while (sqlite3_step(statement) == SQLITE_ROW) {
            std::vector<std::string>& row = rows.emplace_back();
            for (int i = 0; i < sqlite3_column_count(statement); ++i) {
                const auto* bytes = static_cast<const char*>(sqlite3_column_blob(statement, i));
                row.emplace_back(bytes ? bytes : "",
                                 static_cast<std::size_t>(sqlite3_column_bytes(statement, i)));
            }
        }
    sqlite3_finalize(statement);
    sqlite3_close(db);
    return rows;
}

TEST(DeviceFormats, BothSqliteFormsKeepTheTilesInTheirOwnNumbering) {
    TempDir dir;
    const auto tile = [](int x, int y) {
        return TilePng(std::to_string(x) + "," + std::to_string(y));
    };
    const std::string low = WriteTask(dir.Path(), "low", 12, 3370, 1550, 2, 2, tile);
    const std::string high = WriteTask(dir.Path(), "high", 13, 6740, 3100, 2, 1, tile);
    const std::string osmand = dir.Path() + "map.sqlitedb", rmaps = dir.Path() + "rmaps.sqlitedb";
    combiner::Combine({low, high}, osmand, {});
    CombineOptions locus;
    locus.Format = OutputFormat::RMaps;
    combiner::Combine({low, high}, rmaps, locus);

    // OsmAnd: the zoom as it is, each tile's time; Locus/RMaps: 17 - zoom, and no time.
    const auto osmandTiles =
        Query(osmand, "SELECT x, y, z, s, image, time FROM tiles ORDER BY z, x, y");
    ASSERT_EQ(6u, osmandTiles.size());
    EXPECT_EQ((std::vector<std::string>{"3370", "1550", "12", "0"}),
              std::vector<std::string>(osmandTiles[0].begin(), osmandTiles[0].begin() + 4));
    EXPECT_EQ(TilePng("3370,1550"), osmandTiles[0][4]);
    const long long now = std::chrono::duration_cast<std::chrono::milliseconds>(
                              std::chrono::system_clock::now().time_since_epoch())
                              .count();
    EXPECT_NEAR(static_cast<double>(now), std::stod(osmandTiles[0][5]), 60'000.0);
    EXPECT_EQ("13", osmandTiles[4][2]);
    EXPECT_EQ((std::vector<std::vector<std::string>>{
                  {"simple", "12", "13", "0", "0", "yes", "256", "", ""}}),
              Query(osmand, "SELECT tilenumbering, minzoom, maxzoom, ellipsoid, inverted_y, "
                            "timecolumn, tilesize, url, randoms FROM info"));
    const auto rmapsTiles = Query(rmaps, "SELECT x, y, z, image FROM tiles ORDER BY z DESC, x, y");
    ASSERT_EQ(6u, rmapsTiles.size());
    EXPECT_EQ((std::vector<std::string>{"3370", "1550", "5", TilePng("3370,1550")}), rmapsTiles[0]);
    EXPECT_EQ("4", rmapsTiles[4][2]);
    EXPECT_EQ((std::vector<std::vector<std::string>>{{"5", "4"}}),
              Query(rmaps, "SELECT maxzoom, minzoom FROM info"));

    // A custom source's task: OsmAnd can go on online from its URL.
    TileSource source;
    source.Name = "Topo";
    source.Templates[0] = "https://{s}.topo.example/{z}/{x}/{-y}.png?key=k";
    source.Subdomains = {"a", "b"};
    source.Referer = "https://topo.example/";
    source.UserAgent = "Me/1";
    const std::string custom = WriteTask(dir.Path(), "custom", 12, 3370, 1550, 1, 1, tile, source);
    combiner::Combine({custom}, dir.Path() + "custom.sqlitedb", {});
    EXPECT_EQ(
        (std::vector<std::vector<std::string>>{{"https://{rnd}.topo.example/{0}/{1}/{2}.png?key=k",
                                                "a,b", "1", "https://topo.example/", "Me/1"}}),
        Query(dir.Path() + "custom.sqlitedb",
              "SELECT url, randoms, inverted_y, referer, useragent FROM info"));
}

TEST(DeviceFormats, AGarminMapIsPiecesOnTileEdgesWithinTheDevicesLimit) {
    TempDir dir;
    const std::string blank = ReadFileBytes(BLANK_TILE_PATH);
    // 6 x 5 tiles: 1536 x 1280 pixels, four pieces of at most 1024 pixels a side.
    const std::string task =
        WriteTask(dir.Path(), "walk", 14, 13480, 6200, 6, 5, [&](int, int) { return blank; });
    const std::string kmz = dir.Path() + "walk.kmz";
    CombineOptions few;
    few.MaxPieces = 3;
    try {
        combiner::Combine({task}, kmz, few);
        ADD_FAILURE() << "four pieces for a device of three";
    } catch (const Exception& error) {
        EXPECT_EQ("The map needs 4 pieces of at most 1024 x 1024 pixels, and the device takes 3 "
                  "(--max-pieces 500 for those that take more): choose a lower zoom level or a "
                  "smaller area.",
                  error.Message());
    }
    EXPECT_FALSE(std::filesystem::exists(kmz));
    combiner::Combine({task}, kmz, {});

    int error = 0;
    zip_t* zip = zip_open(kmz.c_str(), ZIP_RDONLY, &error);
    ASSERT_NE(nullptr, zip);
    const auto entry = [&](const std::string& name) {
        std::string bytes;
        zip_stat_t stat;
        if (zip_stat(zip, name.c_str(), 0, &stat) != 0)
            return bytes;
        bytes.resize(stat.size);
        zip_file_t* file = zip_fopen(zip, name.c_str(), 0);
        bytes.resize(static_cast<std::size_t>(zip_fread(file, bytes.data(), stat.size)));
        zip_fclose(file);
        return bytes;
    };
    EXPECT_STREQ("doc.kml", zip_get_name(zip, 0, 0));
    const std::string kml = entry("doc.kml");
    // Each GroundOverlay: its piece, at most 1024 pixels a side, and its box on tile edges.
    const auto value = [&](std::size_t& at, const std::string& tag) {
        const std::size_t open = kml.find("<" + tag + ">", at) + tag.size() + 2;
        at = kml.find("</" + tag + ">", open);
        return kml.substr(open, at - open);
    };
    std::size_t at = 0;
    int pieces = 0;
    for (int row = 0; row < 2; ++row)
        for (int column = 0; column < 2; ++column, ++pieces) {
            const std::string href = value(at, "href");
            EXPECT_EQ("files/piece_" + std::to_string(row) + "_" + std::to_string(column) + ".jpg",
                      href);
            const std::optional<ImageSize> size = ImageHeaderSize(entry(href));
            ASSERT_TRUE(size) << href;
            EXPECT_EQ((ImageSize{column == 0 ? 1024 : 512, row == 0 ? 1024 : 256}), *size);
            const int x = 13480 + 4 * column, y = 6200 + 4 * row;
            EXPECT_NEAR(Lat(y, 14), std::stod(value(at, "north")), 1e-8);
            EXPECT_NEAR(Lat(y + size->Height / 256, 14), std::stod(value(at, "south")), 1e-8);
            EXPECT_NEAR(Lon(x + size->Width / 256, 14), std::stod(value(at, "east")), 1e-8);
            EXPECT_NEAR(Lon(x, 14), std::stod(value(at, "west")), 1e-8);
        }
    EXPECT_EQ(4, pieces);
    EXPECT_EQ(std::string::npos, kml.find("<GroundOverlay>", at));
    EXPECT_NE(std::string::npos, kml.find("<drawOrder>50</drawOrder>"));
    EXPECT_EQ(5, zip_get_num_entries(zip, 0));
    zip_close(zip);
}

// A tile of one colour, as a lossless WebP.
std::string FlatTile(unsigned char red, unsigned char green, unsigned char blue) {
    std::vector<unsigned char> pixels;
    for (int i = 0; i < 256 * 256; ++i)
        pixels.insert(pixels.end(), {red, green, blue});
    std::uint8_t* out = nullptr;
    const std::size_t size = WebPEncodeLosslessRGB(pixels.data(), 256, 256, 256 * 3, &out);
    std::string bytes(reinterpret_cast<const char*>(out), size);
    WebPFree(out);
    return bytes;
}

// A JPEG's pixels, RGB, row after row; empty when it does not decode.
std::vector<unsigned char> DecodeJpeg(const std::string& bytes, int& width) {
    jpeg_decompress_struct info{};
    jpeg_error_mgr error{};
    info.err = jpeg_std_error(&error);
    jpeg_create_decompress(&info);
    jpeg_mem_src(&info, reinterpret_cast<const unsigned char*>(bytes.data()),
                 static_cast<unsigned long>(bytes.size()));
    jpeg_read_header(&info, TRUE);
    info.out_color_space = JCS_RGB;
    jpeg_start_decompress(&info);
    width = static_cast<int>(info.output_width);
    std::vector<unsigned char> pixels(static_cast<std::size_t>(width) * 3 * info.output_height);
    while (info.output_scanline < info.output_height) {
        JSAMPROW row = pixels.data() + static_cast<std::size_t>(width) * 3 * info.output_scanline;
        jpeg_read_scanlines(&info, &row, 1);
    }
    jpeg_finish_decompress(&info);
    jpeg_destroy_decompress(&info);
    return pixels;
}

// With --fit a map of too many pieces is written at half the scale: its tiles where they were
// (each at 128 pixels, its colour up to its edges), the piece's box on tile edges, each halving
// said; the JPEG quality asked for is the pieces'.
TEST(DeviceFormats, AGarminMapOfTooManyPiecesFitsAtHalfTheScale) {
    TempDir dir;
    const auto colour = [](int x, int y) {
        return std::array<unsigned char, 3>{static_cast<unsigned char>((x % 6) * 40),
                                            static_cast<unsigned char>((y % 5) * 50), 200};
    };
    // 6 x 5 tiles: four pieces at the tiles' scale, one at half of it.
    const std::string task = WriteTask(
        dir.Path(), "fit", 14, 13480, 6200, 6, 5,
        [&](int x, int y) {
            const auto c = colour(x, y);
            return FlatTile(c[0], c[1], c[2]);
        },
        [] {
            TileSource source;
            source.Name = "Flat";
            source.Templates[0] = "http://127.0.0.1:1/{z}/{x}/{y}.webp";
            source.Format = "webp";
            return source;
        }());
    CombineOptions fit;
    fit.MaxPieces = 1;
    fit.Fit = true;
    std::string pieces[2];
    for (const int quality : {10, 95}) {
        fit.Quality = quality;
        const std::string kmz = dir.Path() + "fit" + std::to_string(quality) + ".kmz";
        const combiner::CombineResult result = combiner::Combine({task}, kmz, fit);
        EXPECT_EQ(1, result.Halvings);
        EXPECT_EQ(std::vector<std::string>{"At 1/2 scale the map needs 1 piece (at 1/1: 4; the "
                                           "device takes 1)."},
                  result.Notes);
        EXPECT_EQ(", at 1/2 scale to fit the device's 1 piece", combiner::ScaleText(result, fit));
        int error = 0;
        zip_t* zip = zip_open(kmz.c_str(), ZIP_RDONLY, &error);
        ASSERT_NE(nullptr, zip);
        EXPECT_EQ(2, zip_get_num_entries(zip, 0));
        for (const std::string name : {"doc.kml", "files/piece_0_0.jpg"}) {
            zip_stat_t stat;
            ASSERT_EQ(0, zip_stat(zip, name.c_str(), 0, &stat)) << name;
            std::string bytes(stat.size, '\0');
            zip_file_t* file = zip_fopen(zip, name.c_str(), 0);
            zip_fread(file, bytes.data(), stat.size);
            zip_fclose(file);
            pieces[quality == 95] = bytes;
            if (name == "doc.kml") {
                const auto box = [&](const std::string& tag) {
                    const std::size_t at = bytes.find("<" + tag + ">") + tag.size() + 2;
                    return std::stod(bytes.substr(at, bytes.find('<', at) - at));
                };
                EXPECT_NEAR(Lat(6200, 14), box("north"), 1e-8);
                EXPECT_NEAR(Lat(6205, 14), box("south"), 1e-8);
                EXPECT_NEAR(Lon(13486, 14), box("east"), 1e-8);
                EXPECT_NEAR(Lon(13480, 14), box("west"), 1e-8);
            }
        }
        zip_close(zip);
        EXPECT_EQ((ImageSize{768, 640}), ImageHeaderSize(pieces[quality == 95]));
        if (quality == 10)
            continue;
        int width = 0;
        const std::vector<unsigned char> pixels = DecodeJpeg(pieces[1], width);
        ASSERT_EQ(768, width);
        for (int column = 0; column < 6; ++column)
            for (int row = 0; row < 5; ++row)
                for (const int inside : {3, 124}) // near each edge of the tile's 128 pixels
                    for (int k = 0; k < 3; ++k) {
                        const std::size_t at = (static_cast<std::size_t>(row * 128 + inside) * 768 +
                                                static_cast<std::size_t>(column * 128 + inside)) *
                                                   3 +
                                               static_cast<std::size_t>(k);
                        EXPECT_NEAR(colour(13480 + column, 6200 + row)[static_cast<std::size_t>(k)],
                                    pixels[at], 12)
                            << column << "," << row << " channel " << k;
                    }
    }
    EXPECT_LT(pieces[0].size(), pieces[1].size()) << "quality 10 is the smaller";
}

// A project file made elsewhere may carry a name no Start would take: in every output it stays
// inside its own field (a line of the .map, the text of a KML element, a JSON string).
TEST(DeviceFormats, ANameFromElsewhereStaysInsideItsFieldInEveryOutput) {
    TempDir dir;
    const std::string blank = ReadFileBytes(BLANK_TILE_PATH);
    const std::string name = "a\r\nMMPXY,9,0,0\x01<b>&\xFF\"";
    const auto tile = [&](int, int) { return blank; };
    const std::string odd = WriteTask(dir.Path(), name, 14, 13480, 6200, 2, 2, tile);
    const std::string plain = WriteTask(dir.Path(), "plain", 14, 13480, 6200, 2, 2, tile);

    combiner::Combine({odd}, dir.Path() + "odd.map", {});
    combiner::Combine({plain}, dir.Path() + "plain.map", {});
    const std::string map = ReadFileBytes(dir.Path() + "odd.map");
    const auto lines = [](const std::string& text) {
        return std::count(text.begin(), text.end(), '\n');
    };
    EXPECT_EQ(lines(ReadFileBytes(dir.Path() + "plain.map")), lines(map));
    EXPECT_NE(std::string::npos, map.find("\r\na??MMPXY,9,0,0?<b>&\xFF\"\r\n"));

    combiner::Combine({odd}, dir.Path() + "odd.kmz", {});
    int error = 0;
    zip_t* zip = zip_open((dir.Path() + "odd.kmz").c_str(), ZIP_RDONLY, &error);
    ASSERT_NE(nullptr, zip);
    zip_stat_t stat;
    ASSERT_EQ(0, zip_stat(zip, "doc.kml", 0, &stat));
    std::string kml(stat.size, '\0');
    zip_file_t* file = zip_fopen(zip, "doc.kml", 0);
    kml.resize(static_cast<std::size_t>(zip_fread(file, kml.data(), stat.size)));
    zip_fclose(file);
    zip_close(zip);
    EXPECT_NE(std::string::npos,
              kml.find("<name>a??MMPXY,9,0,0?&lt;b&gt;&amp;\xEF\xBF\xBD\"</name>"));

    combiner::Combine({odd}, dir.Path() + "tree/", {});
    const JsonParse tileJson = ParseJson(ReadFileBytes(dir.Path() + "tree/tilejson.json"));
    ASSERT_TRUE(tileJson.Value) << tileJson.Error;
    EXPECT_EQ("a\r\nMMPXY,9,0,0\x01<b>&\xEF\xBF\xBD\"", tileJson.Value->Find("name")->String());
}

TEST(DeviceFormats, GdalPlacesTheOziExplorerMapOnItsTiles) {
    TempDir dir;
    const std::string blank = ReadFileBytes(BLANK_TILE_PATH);
    const std::string task =
        WriteTask(dir.Path(), "city", 13, 6742, 3101, 3, 2, [&](int, int) { return blank; });
    const auto result = combiner::Combine({task}, dir.Path() + "city.map", {});
    EXPECT_EQ((std::vector<std::string>{dir.Path() + "city.map", dir.Path() + "city.png"}),
              result.Files); // the output first
    std::string text;
    if (std::FILE* pipe =
            ::popen(("gdalinfo -json '" + dir.Path() + "city.map' 2>/dev/null").c_str(), "r")) {
        char buffer[4096];
        for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;)
            text.append(buffer, n);
        ::pclose(pipe);
    }
    const auto info = ParseJson(text).Value;
    if (!info)
        GTEST_SKIP() << "gdalinfo is not installed";
    EXPECT_EQ("MAP", info->Find("driverShortName")->String());
    // The corners in degrees: the tiles' edges.
    const JsonArray& corners = info->Find("wgs84Extent")->Find("coordinates")->Array()[0].Array();
    double west = 180, east = -180, north = -90, south = 90;
    for (const JsonValue& corner : corners) {
        west = std::min(west, corner.Array()[0].Number());
        east = std::max(east, corner.Array()[0].Number());
        south = std::min(south, corner.Array()[1].Number());
        north = std::max(north, corner.Array()[1].Number());
    }
    EXPECT_NEAR(Lon(6742, 13), west, 1e-6);
    EXPECT_NEAR(Lon(6745, 13), east, 1e-6);
    EXPECT_NEAR(Lat(3101, 13), north, 1e-6);
    EXPECT_NEAR(Lat(3103, 13), south, 1e-6);
}

// --- A PMTiles reader of our own, from the format's published description (version 3) ---

std::uint64_t Little(const std::string& bytes, std::size_t at, int size) {
    std::uint64_t value = 0;
    for (int i = size - 1; i >= 0; --i)
        value = (value << 8) | static_cast<unsigned char>(bytes[at + static_cast<std::size_t>(i)]);
    return value;
}

std::string Gunzip(const std::string& bytes) {
    z_stream stream{};
    inflateInit2(&stream, 15 + 32);
    std::string out(1 << 20, '\0');
    stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(bytes.data()));
    stream.avail_in = static_cast<uInt>(bytes.size());
    stream.next_out = reinterpret_cast<Bytef*>(out.data());
    stream.avail_out = static_cast<uInt>(out.size());
    inflate(&stream, Z_FINISH);
    out.resize(stream.total_out);
    inflateEnd(&stream);
    return out;
}

struct Entry {
    std::uint64_t Id, Offset, Length, Run;
};

std::vector<Entry> ReadDirectory(const std::string& compressed) {
    const std::string bytes = Gunzip(compressed);
    std::size_t at = 0;
    const auto varint = [&] {
        std::uint64_t value = 0;
        for (int shift = 0;; shift += 7) {
            const auto byte = static_cast<unsigned char>(bytes[at++]);
            value |= std::uint64_t{byte & 0x7Fu} << shift;
            if (!(byte & 0x80))
                return value;
        }
    };
    std::vector<Entry> entries(varint());
    std::uint64_t id = 0;
    for (Entry& e : entries)
        e.Id = id += varint();
    for (Entry& e : entries)
        e.Run = varint();
    for (Entry& e : entries)
        e.Length = varint();
    for (std::size_t i = 0; i < entries.size(); ++i) {
        const std::uint64_t offset = varint();
        entries[i].Offset =
            offset == 0 && i > 0 ? entries[i - 1].Offset + entries[i - 1].Length : offset - 1;
    }
    return entries;
}

// The tile id of z/x/y: the tiles of the levels above, then the Hilbert distance of (x, y).
std::uint64_t SpecTileId(int z, std::uint64_t x, std::uint64_t y) {
    std::uint64_t above = 0;
    for (int level = 0; level < z; ++level)
        above += std::uint64_t{1} << (2 * level);
    std::uint64_t d = 0;
    for (std::uint64_t s = (std::uint64_t{1} << z) / 2; s > 0; s /= 2) {
        const std::uint64_t rx = (x & s) ? 1 : 0, ry = (y & s) ? 1 : 0;
        d += s * s * ((3 * rx) ^ ry);
        if (ry == 0) {
            if (rx == 1) {
                x = s - 1 - x;
                y = s - 1 - y;
            }
            std::swap(x, y);
        }
    }
    return above + d;
}

// The tile's bytes, found through the root and the leaf directories; "" when it is not there.
std::string FindTile(const std::string& file, int z, int x, int y) {
    const std::uint64_t id =
        SpecTileId(z, static_cast<std::uint64_t>(x), static_cast<std::uint64_t>(y));
    std::vector<Entry> directory =
        ReadDirectory(file.substr(Little(file, 8, 8), Little(file, 16, 8)));
    for (int depth = 0; depth < 4; ++depth) {
        const Entry* found = nullptr;
        for (const Entry& e : directory)
            if (e.Id <= id)
                found = &e;
        if (!found)
            return "";
        if (found->Run == 0) {
            directory =
                ReadDirectory(file.substr(Little(file, 40, 8) + found->Offset, found->Length));
            continue;
        }
        if (id >= found->Id + found->Run)
            return "";
        return file.substr(Little(file, 56, 8) + found->Offset, found->Length);
    }
    return "";
}

TEST(DeviceFormats, AnIndependentReaderFindsEveryTileOfAPMTilesArchive) {
    TempDir dir;
    // 70 x 70 tiles at zoom 13, more than one leaf of entries; a square of 4 x 4 identical tiles
    // makes one run. And one tile at zoom 14.
    const auto tile = [](int x, int y) {
        if (x >= 6744 && x < 6748 && y >= 3104 && y < 3108)
            return TilePng("same");
        return TilePng(std::to_string(x) + "," + std::to_string(y));
    };
    const std::string level13 = WriteTask(dir.Path(), "a", 13, 6740, 3100, 70, 70, tile);
    const std::string level14 =
        WriteTask(dir.Path(), "b", 14, 13500, 6210, 1, 1, [](int, int) { return TilePng("deep"); });
    const std::string output = dir.Path() + "map.pmtiles";
    const auto result = combiner::Combine({level13, level14}, output, {});
    EXPECT_EQ(0, result.Missing);
    const std::string file = ReadFileBytes(output);
    ASSERT_EQ("PMTiles", file.substr(0, 7));
    EXPECT_EQ(3, file[7]);
    EXPECT_EQ(4901u, Little(file, 72, 8));       // addressed tiles
    EXPECT_EQ(4901u - 15u, Little(file, 80, 8)); // entries: the square is one
    EXPECT_GT(Little(file, 48, 8), 0u);          // leaf directories
    EXPECT_EQ(2, file[99]);                      // tile type png
    EXPECT_EQ(13, file[100]);
    EXPECT_EQ(14, file[101]);
    EXPECT_LE(Little(file, 8, 8) + Little(file, 16, 8), 16384u); // the root within 16 KiB
    for (int x = 6740; x < 6810; x += 3)
        for (int y = 3100; y < 3170; y += 7)
            ASSERT_EQ(tile(x, y), FindTile(file, 13, x, y)) << x << "," << y;
    for (int x = 6744; x < 6748; ++x)
        for (int y = 3104; y < 3108; ++y)
            EXPECT_EQ(TilePng("same"), FindTile(file, 13, x, y)) << x << "," << y;
    EXPECT_EQ(TilePng("deep"), FindTile(file, 14, 13500, 6210));
    EXPECT_EQ("", FindTile(file, 13, 6739, 3100));
    // The server's reader finds the same through its leaves, runs and levels.
    const auto reader = archive::ReadPMTiles(output);
    for (int x = 6740; x < 6810; x += 3)
        for (int y = 3100; y < 3170; y += 7)
            ASSERT_EQ(tile(x, y), reader->Tile(13, x, y).value_or("")) << x << "," << y;
    EXPECT_EQ(TilePng("same"), reader->Tile(13, 6747, 3107).value_or(""));
    EXPECT_EQ(TilePng("deep"), reader->Tile(14, 13500, 6210).value_or(""));
    EXPECT_FALSE(reader->Tile(13, 6739, 3100));
    EXPECT_FALSE(reader->Tile(14, 13501, 6210));
    const auto metadata =
        ParseJson(Gunzip(file.substr(Little(file, 24, 8), Little(file, 32, 8)))).Value;
    ASSERT_TRUE(metadata);
    EXPECT_EQ("a", metadata->Find("name")->String());
    EXPECT_EQ(13, metadata->Find("minzoom")->Number());
    EXPECT_EQ(14, metadata->Find("maxzoom")->Number());
}

TEST(DeviceFormats, TwoSmallTasksFarApartMakeAPMTilesArchiveAtOnce) {
    TempDir dir;
    // At zoom 18 the square between them holds about 3e10 tiles: only the tasks' own are walked.
    const std::string a =
        WriteTask(dir.Path(), "a", 18, 1000, 90000, 1, 1, [](int, int) { return TilePng("a"); });
    const std::string b =
        WriteTask(dir.Path(), "b", 18, 200000, 170000, 1, 1, [](int, int) { return TilePng("b"); });
    const std::string output = dir.Path() + "far.pmtiles";
    const auto start = std::chrono::steady_clock::now();
    const auto result = combiner::Combine({a, b}, output, {});
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(1));
    EXPECT_EQ(0, result.Missing);
    const std::string file = ReadFileBytes(output);
    EXPECT_EQ(2u, Little(file, 72, 8));
    EXPECT_EQ(TilePng("a"), FindTile(file, 18, 1000, 90000));
    EXPECT_EQ(TilePng("b"), FindTile(file, 18, 200000, 170000));
}

} // namespace
