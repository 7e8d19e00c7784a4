// The BMP file and info headers (little-endian, 54 bytes), then the rows, each padded to 4 bytes.
#include "BmpStripWriter.h"

#include <array>

#include "base/Exception.h"
#include "store/FileReplacer.h"

namespace quarrow::combiner {
namespace {

constexpr std::uint32_t HeaderBytes = 14 + 40;

std::uint64_t PaddedRow(std::uint64_t width) {
    return (width * PixelBytes + 3) / 4 * 4;
}

template <std::size_t N>
void Put(std::array<unsigned char, N>& out, std::size_t at, std::uint32_t value, int bytes) {
    for (int i = 0; i < bytes; ++i)
        out[at + static_cast<std::size_t>(i)] = static_cast<unsigned char>(value >> (8 * i));
}

} // namespace

std::uint64_t BmpStripWriter::FileSize(std::uint64_t width, std::uint64_t height) {
    return HeaderBytes + PaddedRow(width) * height;
}

BmpStripWriter::BmpStripWriter(std::string path, std::uint32_t width, std::uint32_t height)
    : m_path(std::move(path)), m_rowBytes(static_cast<std::size_t>(PaddedRow(width))) {
    const std::uint64_t size = FileSize(width, height);
    if (size > UINT32_MAX)
        throw Exception("A BMP file holds at most 4 GiB.");
    m_file = OpenFreshFile(m_path);
    std::array<unsigned char, HeaderBytes> header{};
    header[0] = 'B';
    header[1] = 'M';
    Put(header, 2, static_cast<std::uint32_t>(size), 4);
    Put(header, 10, HeaderBytes, 4);
    Put(header, 14, 40, 4); // info header size
    Put(header, 18, width, 4);
    Put(header, 22, height, 4); // positive: bottom-up rows
    Put(header, 26, 1, 2);      // planes
    Put(header, 28, 24, 2);     // bits per pixel
    Put(header, 34, static_cast<std::uint32_t>(size - HeaderBytes), 4);
    Put(header, 38, 2835, 4); // 72 dots per inch, as pixels per metre
    Put(header, 42, 2835, 4);
    if (std::fwrite(header.data(), 1, header.size(), m_file) != header.size())
        throw WriteError(m_path);
}

BmpStripWriter::~BmpStripWriter() {
    if (m_file != nullptr)
        std::fclose(m_file);
}

void BmpStripWriter::WriteRows(const unsigned char* rows, const unsigned char*, int count) {
    const std::size_t bytes = m_rowBytes * static_cast<std::size_t>(count);
    if (std::fwrite(rows, 1, bytes, m_file) != bytes)
        throw WriteError(m_path);
}

void BmpStripWriter::Finish() {
    std::FILE* file = m_file;
    m_file = nullptr;
    if (std::fclose(file) != 0)
        throw WriteError(m_path);
}

} // namespace quarrow::combiner
