// The pieces' JPEGs are kept until libzip writes the zip at the end (stored as they are: a JPEG
// does not shrink), so memory grows with the pieces, which the device's limit bounds; doc.kml,
// the first entry, is filled in at the end. Each piece's box is the Web-Mercator edges of its
// tiles, so it lies exactly where they do.
#include "KmzWriter.h"

#include <algorithm>
#include <csetjmp>
#include <cstdio>
#include <cstring>

#include <jpeglib.h>
#include <unistd.h>
#include <zip.h>

#include "geo/Commonfunc.h"
#include "base/Exception.h"
#include "store/FileReplacer.h"
#include "base/Json.h"
#include "base/TextRules.h"

namespace quarrow::combiner {

namespace {

struct JpegError {
    jpeg_error_mgr Manager;
    std::jmp_buf Back;
};

[[noreturn]] void LeaveJpeg(j_common_ptr info) {
    std::longjmp(reinterpret_cast<JpegError*>(info->err)->Back, 1);
}

// A piece of width x height pixels, rows `stride` bytes apart, as a JPEG; empty on failure. No
// object with a destructor lives across the long jump.
bool EncodeJpeg(const unsigned char* pixels, std::size_t stride, int width, int height, int quality,
                unsigned char** out, unsigned long* size) {
    jpeg_compress_struct info{};
    JpegError error{};
    info.err = jpeg_std_error(&error.Manager);
    error.Manager.error_exit = LeaveJpeg;
    if (setjmp(error.Back)) {
        jpeg_destroy_compress(&info);
        return false;
    }
    jpeg_create_compress(&info);
    jpeg_mem_dest(&info, out, size);
    info.image_width = static_cast<JDIMENSION>(width);
    info.image_height = static_cast<JDIMENSION>(height);
    info.input_components = 3;
    info.in_color_space = JCS_RGB;
    jpeg_set_defaults(&info);
    jpeg_set_quality(&info, quality, TRUE);
    jpeg_start_compress(&info, TRUE);
    while (info.next_scanline < info.image_height) {
        JSAMPROW row = const_cast<unsigned char*>(pixels) + stride * info.next_scanline;
        jpeg_write_scanlines(&info, &row, 1);
    }
    jpeg_finish_compress(&info);
    jpeg_destroy_compress(&info);
    return true;
}

std::string Degrees(double value) {
    char text[32];
    std::snprintf(text, sizeof text, "%.9f", value);
    return text;
}

// A name from a project file made anywhere: XML holds no control character nor broken UTF-8.
std::string Escaped(const std::string& text) {
    std::string out;
    for (const char c : ValidUtf8(PrintableText(text))) {
        switch (c) {
        case '&':
            out += "&amp;";
            break;
        case '<':
            out += "&lt;";
            break;
        case '>':
            out += "&gt;";
            break;
        default:
            out += c;
        }
    }
    return out;
}

} // namespace

long long KmzPieces(long long width, long long height) {
    return ((width + KmzPieceSide - 1) / KmzPieceSide) *
           ((height + KmzPieceSide - 1) / KmzPieceSide);
}

KmzWriter::KmzWriter(std::string path, std::uint32_t width, std::uint32_t height, int minX,
                     int minY, int zoom, std::string name, KmzLook look)
    : m_path(std::move(path)), m_width(width), m_height(height), m_minX(minX), m_minY(minY),
      m_zoom(zoom), m_name(std::move(name)), m_look(look),
      m_rowBytes(static_cast<std::size_t>(width) * 3), m_outWidth(width >> look.Halvings) {
    if (look.Halvings < 0 || look.Halvings > 8 || width % 256 != 0 || height % 256 != 0)
        throw Exception("A Garmin map is made of whole tiles, at most eight times halved.");
    // Made here, exclusively and never through a link; libzip then writes it whole at the end.
    ::close(CreateFreshFile(m_path));
    int error = 0;
    m_zip = zip_open(m_path.c_str(), ZIP_TRUNCATE, &error);
    if (!m_zip)
        throw WriteError(m_path, ": cannot be made as a zip file");
    // doc.kml comes first, as the devices look for it; its text is put in at the end.
    zip_source_t* placeholder = zip_source_buffer(m_zip, nullptr, 0, 0);
    if (!placeholder || zip_file_add(m_zip, "doc.kml", placeholder, ZIP_FL_ENC_UTF_8) != 0) {
        zip_source_free(placeholder);
        Fail("doc.kml");
    }
    m_rows.resize(static_cast<std::size_t>(m_outWidth) * 3 * KmzPieceSide);
    if (look.Halvings > 0) {
        m_sum.resize(static_cast<std::size_t>(m_outWidth) * 3);
        m_mean.resize(m_sum.size());
        m_opaque.resize(m_outWidth);
    }
}

KmzWriter::~KmzWriter() {
    if (m_zip)
        zip_discard(m_zip);
}

void KmzWriter::Fail(const std::string& what) {
    throw WriteError(m_path, " (" + what + "): " + (m_zip ? zip_strerror(m_zip) : "zip"));
}

void KmzWriter::WriteRows(const unsigned char* rows, const unsigned char* alpha, int count) {
    const int scale = 1 << m_look.Halvings;
    for (int row = 0; row < count; ++row) {
        const unsigned char* pixels = rows + m_rowBytes * static_cast<std::size_t>(row);
        const unsigned char* opacity =
            alpha ? alpha + static_cast<std::size_t>(m_width) * static_cast<std::size_t>(row)
                  : nullptr;
        if (scale == 1) {
            Gather(pixels, opacity);
            continue;
        }
        // Each pixel of the pieces is the mean of its scale x scale pixels of the tiles.
        for (std::uint32_t x = 0; x < m_width; ++x) {
            const std::size_t to = (x >> m_look.Halvings) * 3;
            for (int k = 0; k < 3; ++k)
                m_sum[to + static_cast<std::size_t>(k)] +=
                    pixels[x * 3 + static_cast<std::size_t>(k)];
            if (opacity && opacity[x] != 0)
                m_opaque[x >> m_look.Halvings] = 255;
        }
        if (++m_summed < scale)
            continue;
        const unsigned area = static_cast<unsigned>(scale * scale);
        for (std::size_t i = 0; i < m_sum.size(); ++i)
            m_mean[i] = static_cast<unsigned char>((m_sum[i] + area / 2) / area);
        Gather(m_mean.data(), alpha ? m_opaque.data() : nullptr);
        std::fill(m_sum.begin(), m_sum.end(), 0u);
        std::fill(m_opaque.begin(), m_opaque.end(), static_cast<unsigned char>(0));
        m_summed = 0;
    }
}

void KmzWriter::Gather(const unsigned char* row, const unsigned char* alpha) {
    const std::size_t bytes = static_cast<std::size_t>(m_outWidth) * 3;
    std::memcpy(m_rows.data() + bytes * static_cast<std::size_t>(m_gathered), row, bytes);
    if (alpha) {
        if (!m_hasAlpha) {
            m_hasAlpha = true;
            m_alpha.resize(static_cast<std::size_t>(m_outWidth) * KmzPieceSide);
        }
        std::memcpy(m_alpha.data() + static_cast<std::size_t>(m_outWidth) * m_gathered, alpha,
                    m_outWidth);
    }
    if (++m_gathered == KmzPieceSide)
        CutPieces();
}

void KmzWriter::CutPieces() {
    if (m_gathered == 0)
        return;
    // A tile's side at the pieces' scale.
    const int tileSide = 256 >> m_look.Halvings;
    const int tileRows = m_gathered / tileSide;
    const int tilesPerPiece = KmzPieceSide / tileSide;
    const std::size_t rowBytes = static_cast<std::size_t>(m_outWidth) * 3;
    for (std::uint32_t left = 0; left < m_outWidth; left += KmzPieceSide) {
        const int width =
            static_cast<int>(std::min<std::uint32_t>(KmzPieceSide, m_outWidth - left));
        // Nothing of a shape in it: no piece.
        if (m_hasAlpha) {
            bool seen = false;
            for (int row = 0; row < m_gathered && !seen; ++row) {
                const unsigned char* opacity =
                    m_alpha.data() + static_cast<std::size_t>(m_outWidth) * row + left;
                seen =
                    std::any_of(opacity, opacity + width, [](unsigned char a) { return a != 0; });
            }
            if (!seen)
                continue;
        }
        unsigned char* jpeg = nullptr;
        unsigned long size = 0;
        if (!EncodeJpeg(m_rows.data() + static_cast<std::size_t>(left) * 3, rowBytes, width,
                        m_gathered, m_look.Quality, &jpeg, &size)) {
            std::free(jpeg);
            Fail("JPEG");
        }
        const int pieceColumn = static_cast<int>(left / KmzPieceSide);
        const std::string file = "files/piece_" + std::to_string(m_pieceRow) + "_" +
                                 std::to_string(pieceColumn) + ".jpg";
        // libzip frees the JPEG's memory when it has written it.
        zip_source_t* source = zip_source_buffer(m_zip, jpeg, size, 1);
        if (!source) {
            std::free(jpeg);
            Fail(file);
        }
        const zip_int64_t index = zip_file_add(m_zip, file.c_str(), source, ZIP_FL_ENC_UTF_8);
        if (index < 0) {
            zip_source_free(source);
            Fail(file);
        }
        zip_set_file_compression(m_zip, static_cast<zip_uint64_t>(index), ZIP_CM_STORE, 0);
        const int firstX = m_minX + pieceColumn * tilesPerPiece;
        const int firstY = m_minY + m_pieceRow * tilesPerPiece;
        m_overlays += "  <GroundOverlay>\n    <name>" + std::to_string(++m_pieces) +
                      "</name>\n    <drawOrder>50</drawOrder>\n    <Icon><href>" + file +
                      "</href></Icon>\n    <LatLonBox>\n      <north>" +
                      Degrees(TileYToLat(firstY, m_zoom)) + "</north>\n      <south>" +
                      Degrees(TileYToLat(firstY + tileRows, m_zoom)) + "</south>\n      <east>" +
                      Degrees(TileXToLon(firstX + width / tileSide, m_zoom)) +
                      "</east>\n      <west>" + Degrees(TileXToLon(firstX, m_zoom)) +
                      "</west>\n    </LatLonBox>\n" + "  </GroundOverlay>\n";
    }
    ++m_pieceRow;
    m_gathered = 0;
    if (m_hasAlpha)
        std::fill(m_alpha.begin(), m_alpha.end(), static_cast<unsigned char>(0));
}

void KmzWriter::Finish() {
    CutPieces();
    const std::string kml = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
                            "<kml xmlns=\"http://www.opengis.net/kml/2.2\">\n<Folder>\n  <name>" +
                            Escaped(m_name) + "</name>\n" + m_overlays + "</Folder>\n</kml>\n";
    char* text = static_cast<char*>(std::malloc(kml.size()));
    if (!text)
        Fail("doc.kml");
    std::memcpy(text, kml.data(), kml.size());
    zip_source_t* source = zip_source_buffer(m_zip, text, kml.size(), 1);
    if (!source) {
        std::free(text);
        Fail("doc.kml");
    }
    if (zip_file_replace(m_zip, 0, source, ZIP_FL_ENC_UTF_8) != 0) {
        zip_source_free(source);
        Fail("doc.kml");
    }
    zip_t* zip = m_zip;
    m_zip = nullptr;
    if (zip_close(zip) != 0) {
        m_zip = zip; // discarded by the destructor
        Fail("close");
    }
}

} // namespace quarrow::combiner
