// A tile is a file "z_x_y" in its source's folder; the file's time is its age.
#include "DiskTileCache.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <system_error>
#include <vector>

#include "store/FileReplacer.h"
#include "engine/Locations.h"
#include "store/TextFile.h"

namespace fs = std::filesystem;

namespace quarrow::map {

DiskTileCache::DiskTileCache(std::string folder, std::uintmax_t maxBytes)
    : m_folder(folder.empty() || folder.back() == '/' ? folder : folder + "/"),
      m_maxBytes(maxBytes) {}

std::string DiskTileCache::DefaultFolder() {
    const char* cache = std::getenv("XDG_CACHE_HOME");
    const std::string base = cache && *cache == '/' ? cache : HomeFolder() + "/.cache";
    return base + "/quarrow/tiles/";
}

std::string DiskTileCache::KeyOf(const std::string& urlTemplate) {
    // FNV-1a: short, the same on every run and every machine.
    std::uint64_t hash = 0xcbf29ce484222325ULL;
    for (const char c : urlTemplate)
        hash = (hash ^ static_cast<unsigned char>(c)) * 0x100000001b3ULL;
    char text[17];
    std::snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(hash));
    return text;
}

std::string DiskTileCache::PathOf(const std::string& key, int z, int x, int y) const {
    return m_folder + key + "/" + std::to_string(z) + "_" + std::to_string(x) + "_" +
           std::to_string(y);
}

std::optional<std::string> DiskTileCache::Read(const std::string& key, int z, int x, int y) const {
    std::string bytes;
    if (!ReadWholeFile(PathOf(key, z, x, y), bytes) || bytes.empty())
        return std::nullopt;
    return bytes;
}

void DiskTileCache::Write(const std::string& key, int z, int x, int y, const std::string& bytes) {
    std::error_code ec;
    fs::create_directories(m_folder + key, ec);
    try {
        ReplaceFile(PathOf(key, z, x, y), bytes, Flush::Later); // a cache: nothing to lose
    } catch (const std::exception&) {
        return; // a cache that cannot be written only fetches again
    }
    const std::scoped_lock lock(m_mutex);
    if (!m_bytes) {
        std::uintmax_t total = 0;
        for (const auto& entry : fs::recursive_directory_iterator(m_folder, ec))
            if (entry.is_regular_file(ec))
                total += entry.file_size(ec);
        m_bytes = total;
    } else {
        *m_bytes += bytes.size();
    }
    if (*m_bytes > m_maxBytes)
        Trim();
}

void DiskTileCache::Trim() {
    struct Kept {
        fs::path Path;
        fs::file_time_type Time;
        std::uintmax_t Bytes;
    };
    std::vector<Kept> files;
    std::error_code ec;
    for (const auto& entry : fs::recursive_directory_iterator(m_folder, ec))
        if (entry.is_regular_file(ec))
            files.push_back({entry.path(), entry.last_write_time(ec), entry.file_size(ec)});
    std::sort(files.begin(), files.end(),
              [](const Kept& a, const Kept& b) { return a.Time < b.Time; });
    std::uintmax_t total = 0;
    for (const Kept& file : files)
        total += file.Bytes;
    // Down to nine tenths, so that not every next tile trims again.
    const std::uintmax_t target = m_maxBytes / 10 * 9;
    for (const Kept& file : files) {
        if (total <= target)
            break;
        if (fs::remove(file.Path, ec))
            total -= file.Bytes;
    }
    m_bytes = total;
}

std::optional<double> DiskTileCache::AverageBytes(const std::string& key) const {
    std::uintmax_t total = 0, count = 0;
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(m_folder + key, ec)) {
        if (entry.is_regular_file(ec)) {
            total += entry.file_size(ec);
            ++count;
        }
        if (count >= 2000) // a sample is enough for an estimate
            break;
    }
    if (count == 0)
        return std::nullopt;
    return static_cast<double>(total) / static_cast<double>(count);
}

} // namespace quarrow::map
