// An 8-bit RGB PNG written row by row through libpng.
#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>

#include "StripWriter.h"

namespace quarrow::combiner {

// The largest width and height that a PNG holds.
inline constexpr std::int64_t PngMaxSide = 0x7fffffff;

struct PngWriteState; // libpng's structures, kept out of this header

class PngStripWriter : public StripWriter {
public:
    // Creates the file and writes the header; throws "Unable to write to " + path.
    PngStripWriter(std::string path, std::uint32_t width, std::uint32_t height);
    ~PngStripWriter() override;

    PixelOrder Order() const override { return PixelOrder::Rgb; }
    bool BottomUp() const override { return false; }
    std::size_t RowBytes() const override { return m_rowBytes; }
    void WriteRows(const unsigned char* rows, int count) override;
    void Finish() override;

private:
    [[noreturn]] void Fail(const char* what);

    std::string m_path;
    std::size_t m_rowBytes;
    std::unique_ptr<PngWriteState> m_state;
};

} // namespace quarrow::combiner
