#include "TempDir.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>

namespace quarrow::test {

TempDir::TempDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "quarrow-test-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr)
        throw std::runtime_error("cannot create a temporary folder");
    m_path = pattern + "/";
}

TempDir::~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(m_path, ignored);
}

std::string ReadFileBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

std::vector<std::string> FolderEntries(const std::string& folder) {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(folder))
        names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

void WriteFileBytes(const std::string& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

std::string TilePng(const std::string& text, int side) {
    const auto big32 = [](std::uint32_t value) {
        std::string bytes(4, '\0');
        for (int i = 3; i >= 0; --i, value >>= 8)
            bytes[static_cast<std::size_t>(i)] = static_cast<char>(value & 0xFF);
        return bytes;
    };
    const auto chunk = [&](const std::string& type, const std::string& data) {
        return big32(static_cast<std::uint32_t>(data.size())) + type + data + big32(0);
    };
    const std::string header = big32(static_cast<std::uint32_t>(side)) +
                               big32(static_cast<std::uint32_t>(side)) + std::string("\x08\x06\0\0\0", 5);
    return "\x89PNG\r\n\x1A\n" + chunk("IHDR", header) + chunk("tEXt", text) +
           std::string("\0\0\0\0IEND\xAE\x42\x60\x82", 12);
}

} // namespace quarrow::test
