#include "GeoTiffWriter.h"

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <system_error>

#include <tiffio.h>
#include <unistd.h>

#include "base/Exception.h"
#include "store/FileReplacer.h"

namespace quarrow::combiner {
namespace {

constexpr std::uint32_t Tile = TileSize;

// The three tags of GeoTIFF, which libtiff does not know by itself.
constexpr ttag_t ModelPixelScale = 33550;
constexpr ttag_t ModelTiepoint = 33922;
constexpr ttag_t GeoKeyDirectory = 34735;
const TIFFFieldInfo GeoTiffFields[] = {
    {ModelPixelScale, -1, -1, TIFF_DOUBLE, FIELD_CUSTOM, 1, 1,
     const_cast<char*>("ModelPixelScaleTag")},
    {ModelTiepoint, -1, -1, TIFF_DOUBLE, FIELD_CUSTOM, 1, 1, const_cast<char*>("ModelTiepointTag")},
    {GeoKeyDirectory, -1, -1, TIFF_SHORT, FIELD_CUSTOM, 1, 1,
     const_cast<char*>("GeoKeyDirectoryTag")},
};

TIFF* Tiff(void* handle) {
    return static_cast<TIFF*>(handle);
}

} // namespace

// An overview level: its size, the rows made so far in a file of their own, and a row of the
// level above waiting for its partner.
struct GeoTiffWriter::Level {
    std::uint32_t Width = 0;
    std::uint32_t Height = 0;
    std::string Path;
    std::FILE* File = nullptr;
    std::vector<unsigned char> Carry;
    bool HasCarry = false;

    ~Level() {
        if (File)
            std::fclose(File);
        std::error_code ignored;
        std::filesystem::remove(Path, ignored);
    }
};

int GeoTiffWriter::OverviewCount(std::uint32_t width, std::uint32_t height) {
    int count = 0;
    while (width > Tile || height > Tile) {
        width = (width + 1) / 2;
        height = (height + 1) / 2;
        ++count;
    }
    return count;
}

GeoTiffWriter::GeoTiffWriter(std::string path, std::uint32_t width, std::uint32_t height,
                             const MercatorPlacement& placement, const GeoTiffOptions& options)
    : m_path(std::move(path)), m_width(width), m_height(height), m_placement(placement),
      m_options(options), m_bands(options.Alpha ? 4 : 3) {
    const std::uint64_t pixels = static_cast<std::uint64_t>(width) * height;
    // The overviews add a third at most.
    const bool big = pixels * static_cast<std::uint64_t>(m_bands) * 4 / 3 > options.BigTiffAbove;
    const int fd = CreateFreshFile(m_path);
    m_tiff = TIFFFdOpen(fd, m_path.c_str(), big ? "w8" : "w");
    if (!m_tiff) {
        ::close(fd);
        Fail("");
    }
    TIFFMergeFieldInfo(Tiff(m_tiff), GeoTiffFields, sizeof GeoTiffFields / sizeof GeoTiffFields[0]);
    StartDirectory(width, height, false);

    const double scale[] = {placement.PixelSize, placement.PixelSize, 0};
    const double tiepoint[] = {0, 0, 0, placement.West, placement.North, 0};
    // Version 1.1.0, three keys: projected, pixel is area, EPSG:3857.
    const std::uint16_t keys[] = {1, 1, 0, 3, 1024, 0, 1, 1, 1025, 0, 1, 1, 3072, 0, 1, 3857};
    if (!TIFFSetField(Tiff(m_tiff), ModelPixelScale, 3, scale) ||
        !TIFFSetField(Tiff(m_tiff), ModelTiepoint, 6, tiepoint) ||
        !TIFFSetField(Tiff(m_tiff), GeoKeyDirectory, 16, keys))
        Fail("");

    std::uint32_t w = width, h = height;
    for (int i = 0, n = OverviewCount(width, height); i < n; ++i) {
        w = (w + 1) / 2;
        h = (h + 1) / 2;
        auto level = std::make_unique<Level>();
        level->Width = w;
        level->Height = h;
        level->Path = m_path + ".overview" + std::to_string(i + 1);
        level->File = OpenFreshFile(level->Path);
        m_levels.push_back(std::move(level));
    }
    if (options.Alpha)
        m_samples.resize(static_cast<std::size_t>(width) * 4 * Tile);
}

GeoTiffWriter::~GeoTiffWriter() {
    if (m_tiff)
        TIFFClose(Tiff(m_tiff));
}

void GeoTiffWriter::Fail(const std::string& what) {
    throw WriteError(m_path, what);
}

void GeoTiffWriter::StartDirectory(std::uint32_t width, std::uint32_t height, bool reduced) {
    TIFF* tiff = Tiff(m_tiff);
    const bool jpeg = m_options.Jpeg && !m_options.Alpha;
    bool ok = TIFFSetField(tiff, TIFFTAG_IMAGEWIDTH, width) &&
              TIFFSetField(tiff, TIFFTAG_IMAGELENGTH, height) &&
              TIFFSetField(tiff, TIFFTAG_BITSPERSAMPLE, 8) &&
              TIFFSetField(tiff, TIFFTAG_SAMPLESPERPIXEL, m_bands) &&
              TIFFSetField(tiff, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG) &&
              TIFFSetField(tiff, TIFFTAG_TILEWIDTH, Tile) &&
              TIFFSetField(tiff, TIFFTAG_TILELENGTH, Tile);
    if (reduced)
        ok = ok && TIFFSetField(tiff, TIFFTAG_SUBFILETYPE, FILETYPE_REDUCEDIMAGE);
    if (m_options.Alpha) {
        const std::uint16_t extra[] = {EXTRASAMPLE_UNASSALPHA};
        ok = ok && TIFFSetField(tiff, TIFFTAG_EXTRASAMPLES, 1, extra);
    }
    if (jpeg) {
        ok = ok && TIFFSetField(tiff, TIFFTAG_COMPRESSION, COMPRESSION_JPEG) &&
             TIFFSetField(tiff, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_YCBCR) &&
             TIFFSetField(tiff, TIFFTAG_JPEGQUALITY, m_options.Quality) &&
             TIFFSetField(tiff, TIFFTAG_JPEGCOLORMODE, JPEGCOLORMODE_RGB);
    } else {
        ok = ok && TIFFSetField(tiff, TIFFTAG_COMPRESSION, COMPRESSION_ADOBE_DEFLATE) &&
             TIFFSetField(tiff, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_RGB) &&
             TIFFSetField(tiff, TIFFTAG_PREDICTOR, PREDICTOR_HORIZONTAL);
    }
    if (!ok)
        Fail("");
}

void GeoTiffWriter::WriteTileRow(const unsigned char* samples, std::uint32_t width,
                                 std::uint32_t rows, std::uint32_t tileRow) {
    const std::size_t pixel = static_cast<std::size_t>(m_bands);
    const std::size_t rowBytes = width * pixel;
    std::vector<unsigned char> tile(static_cast<std::size_t>(Tile) * Tile * pixel);
    for (std::uint32_t x0 = 0; x0 < width; x0 += Tile) {
        const std::uint32_t columns = std::min(Tile, width - x0);
        // Beyond the image's edge: white, and transparent where there is alpha.
        std::fill(tile.begin(), tile.end(), static_cast<unsigned char>(0xFF));
        if (m_options.Alpha)
            for (std::size_t p = 3; p < tile.size(); p += pixel)
                tile[p] = 0;
        for (std::uint32_t r = 0; r < rows; ++r)
            std::memcpy(tile.data() + r * Tile * pixel, samples + r * rowBytes + x0 * pixel,
                        columns * pixel);
        const ttile_t index = TIFFComputeTile(Tiff(m_tiff), x0, tileRow * Tile, 0, 0);
        if (TIFFWriteEncodedTile(Tiff(m_tiff), index, tile.data(),
                                 static_cast<tmsize_t>(tile.size())) < 0)
            Fail("");
    }
}

void GeoTiffWriter::Reduce(std::size_t level, const unsigned char* samples, std::uint32_t rows) {
    if (level >= m_levels.size())
        return;
    Level& into = *m_levels[level];
    const std::uint32_t from = level == 0 ? m_width : m_levels[level - 1]->Width;
    const std::size_t pixel = static_cast<std::size_t>(m_bands);
    const std::size_t fromBytes = from * pixel;
    std::vector<unsigned char> made;
    const auto halve = [&](const unsigned char* upper, const unsigned char* lower) {
        const std::size_t start = made.size();
        made.resize(start + into.Width * pixel);
        for (std::uint32_t x = 0; x < into.Width; ++x) {
            const std::uint32_t left = 2 * x, right = std::min(2 * x + 1, from - 1);
            for (std::size_t b = 0; b < pixel; ++b) {
                const unsigned sum = upper[left * pixel + b] + upper[right * pixel + b] +
                                     lower[left * pixel + b] + lower[right * pixel + b];
                made[start + x * pixel + b] = static_cast<unsigned char>((sum + 2) / 4);
            }
        }
    };
    for (std::uint32_t r = 0; r < rows; ++r) {
        const unsigned char* row = samples + r * fromBytes;
        if (!into.HasCarry) {
            into.Carry.assign(row, row + fromBytes);
            into.HasCarry = true;
            continue;
        }
        halve(into.Carry.data(), row);
        into.HasCarry = false;
    }
    if (rows == 0 && into.HasCarry) { // the end: an odd last row stands for two
        halve(into.Carry.data(), into.Carry.data());
        into.HasCarry = false;
    }
    if (!made.empty() && std::fwrite(made.data(), 1, made.size(), into.File) != made.size())
        Fail("");
    const auto count = static_cast<std::uint32_t>(made.size() / (into.Width * pixel));
    Reduce(level + 1, made.data(), count);
    if (rows == 0)
        Reduce(level + 1, nullptr, 0);
}

void GeoTiffWriter::WriteRows(const unsigned char* rows, const unsigned char* alpha, int count) {
    const auto n = static_cast<std::uint32_t>(count);
    const std::size_t pixels = static_cast<std::size_t>(m_width) * n;
    // Three bands are the rows as they come; a fourth is interleaved into a strip of its own.
    const unsigned char* samples = rows;
    if (m_options.Alpha) {
        for (std::size_t p = 0; p < pixels; ++p) {
            std::memcpy(m_samples.data() + p * 4, rows + p * 3, 3);
            m_samples[p * 4 + 3] = alpha ? alpha[p] : 0xFF;
        }
        samples = m_samples.data();
    }
    WriteTileRow(samples, m_width, n, m_rowsWritten / Tile);
    m_rowsWritten += n;
    Reduce(0, samples, n);
}

void GeoTiffWriter::Finish() {
    Reduce(0, nullptr, 0);
    if (!TIFFWriteDirectory(Tiff(m_tiff)))
        Fail("");
    const std::size_t pixel = static_cast<std::size_t>(m_bands);
    for (const auto& level : m_levels) {
        StartDirectory(level->Width, level->Height, true);
        if (std::fflush(level->File) != 0 || std::fseek(level->File, 0, SEEK_SET) != 0)
            Fail("");
        std::vector<unsigned char> strip(static_cast<std::size_t>(level->Width) * pixel * Tile);
        for (std::uint32_t y = 0; y < level->Height; y += Tile) {
            const std::uint32_t rows = std::min(Tile, level->Height - y);
            const std::size_t bytes = static_cast<std::size_t>(level->Width) * pixel * rows;
            if (std::fread(strip.data(), 1, bytes, level->File) != bytes)
                Fail("");
            WriteTileRow(strip.data(), level->Width, rows, y / Tile);
        }
        if (!TIFFWriteDirectory(Tiff(m_tiff)))
            Fail("");
    }
    TIFFClose(Tiff(m_tiff));
    m_tiff = nullptr;
    m_levels.clear();
}

} // namespace quarrow::combiner
