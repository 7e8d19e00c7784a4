// A PMTiles directory (version 3): its entries' tile ids, run lengths, lengths and offsets as
// varints, column by column, compressed with gzip. The writer makes them; the reader takes them
// back from an archive, outside input, so decoding checks every byte.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace quarrow::archive {

struct PMTilesEntry {
    std::uint64_t Id = 0;
    std::uint64_t Offset = 0;
    std::uint64_t Length = 0;
    std::uint32_t RunLength = 0; // 0: a leaf directory
    bool operator==(const PMTilesEntry&) const = default;
};

// The most a directory or the metadata may take once inflated.
inline constexpr std::size_t MaxDirectoryBytes = std::size_t{64} << 20;

// The entries as a directory, compressed.
std::string EncodeDirectory(const std::vector<PMTilesEntry>& entries);

// The entries of a directory (gzip-compressed when gzip); nullopt for bytes that are no whole
// directory, or that inflate beyond MaxDirectoryBytes.
std::optional<std::vector<PMTilesEntry>> DecodeDirectory(std::string_view stored, bool gzip);

// Gzip's bytes of the text; throws an Exception when zlib fails.
std::string Gzip(std::string_view bytes);
// Gzip's (or zlib's) bytes inflated, at most limit of them; nullopt for what does not inflate
// whole within it.
std::optional<std::string> Gunzip(std::string_view bytes, std::size_t limit);

} // namespace quarrow::archive
