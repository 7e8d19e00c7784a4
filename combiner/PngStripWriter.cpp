// libpng reports errors by longjmp: every call into it sits in a small function whose frame holds
// nothing that needs destroying, and the error text is kept for the exception thrown afterwards.
#include "PngStripWriter.h"

#include <csetjmp>
#include <cstring>

#include <png.h>

#include "base/Exception.h"
#include "store/FileReplacer.h"

namespace quarrow::combiner {

struct PngWriteState {
    std::FILE* File = nullptr;
    png_structp Png = nullptr;
    png_infop Info = nullptr;
    char Error[256] = {};
};

namespace {

using State = PngWriteState;

void OnError(png_structp png, png_const_charp message) {
    auto* state = static_cast<State*>(png_get_error_ptr(png));
    std::strncpy(state->Error, message, sizeof state->Error - 1);
    png_longjmp(png, 1);
}

void OnWarning(png_structp, png_const_charp) {}

bool WriteHeader(State& state, png_uint_32 width, png_uint_32 height, bool alpha) {
    if (setjmp(png_jmpbuf(state.Png)))
        return false;
    png_init_io(state.Png, state.File);
    // libpng's own default stops at a million pixels a side; the format allows 2^31 - 1.
    png_set_user_limits(state.Png, PngMaxSide, PngMaxSide);
    png_set_IHDR(state.Png, state.Info, width, height, 8,
                 alpha ? PNG_COLOR_TYPE_RGB_ALPHA : PNG_COLOR_TYPE_RGB, PNG_INTERLACE_NONE,
                 PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    // Map tiles hold large flat areas: the fast settings compress them nearly as well.
    png_set_compression_level(state.Png, 2);
    png_set_filter(state.Png, PNG_FILTER_TYPE_BASE, PNG_FILTER_SUB);
    png_write_info(state.Png, state.Info);
    return true;
}

bool WriteRow(State& state, const unsigned char* row) {
    if (setjmp(png_jmpbuf(state.Png)))
        return false;
    png_write_row(state.Png, row);
    return true;
}

bool WriteEnd(State& state) {
    if (setjmp(png_jmpbuf(state.Png)))
        return false;
    png_write_end(state.Png, nullptr);
    return true;
}

} // namespace

PngStripWriter::PngStripWriter(std::string path, std::uint32_t width, std::uint32_t height,
                               bool alpha)
    : m_path(std::move(path)), m_rowBytes(static_cast<std::size_t>(width) * PixelBytes),
      m_alpha(alpha), m_state(std::make_unique<PngWriteState>()) {
    if (m_alpha)
        m_rgba.resize(static_cast<std::size_t>(width) * 4);
    m_state->File = OpenFreshFile(m_path);
    m_state->Png =
        png_create_write_struct(PNG_LIBPNG_VER_STRING, m_state.get(), OnError, OnWarning);
    if (m_state->Png != nullptr)
        m_state->Info = png_create_info_struct(m_state->Png);
    if (m_state->Info == nullptr)
        throw WriteError(m_path, ": out of memory");
    if (!WriteHeader(*m_state, width, height, m_alpha))
        Fail("header");
}

PngStripWriter::~PngStripWriter() {
    if (m_state->Png != nullptr)
        png_destroy_write_struct(&m_state->Png, &m_state->Info);
    if (m_state->File != nullptr)
        std::fclose(m_state->File);
}

void PngStripWriter::Fail(const char* what) {
    throw WriteError(m_path, std::string(" (") + what + "): " + m_state->Error);
}

void PngStripWriter::WriteRows(const unsigned char* rows, const unsigned char* alpha, int count) {
    const std::size_t width = m_rowBytes / PixelBytes;
    for (int i = 0; i < count; ++i) {
        const unsigned char* row = rows + static_cast<std::size_t>(i) * m_rowBytes;
        if (m_alpha) {
            const unsigned char* opacity =
                alpha == nullptr ? nullptr : alpha + static_cast<std::size_t>(i) * width;
            for (std::size_t p = 0; p < width; ++p) {
                std::memcpy(&m_rgba[p * 4], row + p * PixelBytes, PixelBytes);
                m_rgba[p * 4 + 3] = opacity == nullptr ? 0xFF : opacity[p];
            }
            row = m_rgba.data();
        }
        if (!WriteRow(*m_state, row))
            Fail("rows");
    }
    if (std::ferror(m_state->File))
        throw WriteError(m_path);
}

void PngStripWriter::Finish() {
    if (!WriteEnd(*m_state))
        Fail("end");
    png_destroy_write_struct(&m_state->Png, &m_state->Info);
    std::FILE* file = m_state->File;
    m_state->File = nullptr;
    const bool failed = std::fflush(file) != 0 || std::ferror(file) != 0;
    if (std::fclose(file) != 0 || failed)
        throw WriteError(m_path);
}

} // namespace quarrow::combiner
