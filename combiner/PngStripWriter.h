// An 8-bit RGB PNG, or RGBA when parts are transparent, written row by row through libpng.
#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "StripWriter.h"

namespace quarrow::combiner {

// The largest width and height that a PNG holds.
inline constexpr std::int64_t PngMaxSide = 0x7fffffff;

struct PngWriteState; // libpng's structures, kept out of this header

class PngStripWriter : public StripWriter {
public:
    // Creates the file and writes the header (of an RGBA image when alpha is set); throws
    // "Unable to write to " + path.
    PngStripWriter(std::string path, std::uint32_t width, std::uint32_t height, bool alpha = false);
    ~PngStripWriter() override;

    PixelOrder Order() const override { return PixelOrder::Rgb; }
    bool BottomUp() const override { return false; }
    std::size_t RowBytes() const override { return m_rowBytes; }
    void WriteRows(const unsigned char* rows, const unsigned char* alpha, int count) override;
    void Finish() override;

private:
    [[noreturn]] void Fail(const char* what);

    std::string m_path;
    std::size_t m_rowBytes;
    bool m_alpha;
    std::vector<unsigned char> m_rgba; // one row, when the image has alpha
    std::unique_ptr<PngWriteState> m_state;
};

} // namespace quarrow::combiner
