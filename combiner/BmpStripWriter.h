// A 24-bit BMP written directly, strip by strip from the bottom, as the format stores its rows.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

#include "StripWriter.h"

namespace quarrow::combiner {

class BmpStripWriter : public StripWriter {
public:
    // Creates the file and writes its headers; throws "Unable to write to " + path.
    BmpStripWriter(std::string path, std::uint32_t width, std::uint32_t height);
    ~BmpStripWriter() override;

    // The whole file's size, or more than UINT32_MAX when the format cannot hold it.
    static std::uint64_t FileSize(std::uint64_t width, std::uint64_t height);

    PixelOrder Order() const override { return PixelOrder::Bgr; }
    bool BottomUp() const override { return true; }
    std::size_t RowBytes() const override { return m_rowBytes; }
    void WriteRows(const unsigned char* rows, const unsigned char* alpha, int count) override;
    void Finish() override;

private:
    std::string m_path;
    std::size_t m_rowBytes;
    std::FILE* m_file = nullptr;
};

} // namespace quarrow::combiner
