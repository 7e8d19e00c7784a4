#include "PMTilesDirectory.h"

#include <zlib.h>

#include "base/Exception.h"

namespace quarrow::archive {

namespace {

void PutVarint(std::string& out, std::uint64_t value) {
    while (value >= 0x80) {
        out += static_cast<char>((value & 0x7F) | 0x80);
        value >>= 7;
    }
    out += static_cast<char>(value);
}

} // namespace

std::string EncodeDirectory(const std::vector<PMTilesEntry>& entries) {
    std::string out;
    PutVarint(out, entries.size());
    std::uint64_t lastId = 0;
    for (const PMTilesEntry& entry : entries) {
        PutVarint(out, entry.Id - lastId);
        lastId = entry.Id;
    }
    for (const PMTilesEntry& entry : entries)
        PutVarint(out, entry.RunLength);
    for (const PMTilesEntry& entry : entries)
        PutVarint(out, entry.Length);
    for (std::size_t i = 0; i < entries.size(); ++i) {
        // 0: right after the entry before; else the offset plus one.
        const bool follows =
            i > 0 && entries[i].Offset == entries[i - 1].Offset + entries[i - 1].Length;
        PutVarint(out, follows ? 0 : entries[i].Offset + 1);
    }
    return Gzip(out);
}

std::optional<std::vector<PMTilesEntry>> DecodeDirectory(std::string_view stored, bool gzip) {
    std::optional<std::string> inflated;
    if (gzip && !(inflated = Gunzip(stored, MaxDirectoryBytes)))
        return std::nullopt;
    const std::string_view bytes = gzip ? std::string_view(*inflated) : stored;
    std::size_t at = 0;
    bool good = true;
    const auto varint = [&]() -> std::uint64_t {
        std::uint64_t value = 0;
        for (int shift = 0; shift < 64 && at < bytes.size(); shift += 7) {
            const auto byte = static_cast<unsigned char>(bytes[at++]);
            value |= std::uint64_t{byte & 0x7Fu} << shift;
            if (!(byte & 0x80))
                return value;
        }
        good = false;
        return 0;
    };
    const std::uint64_t count = varint();
    // Every entry takes at least four bytes.
    if (!good || count > bytes.size() / 4)
        return std::nullopt;
    std::vector<PMTilesEntry> entries(static_cast<std::size_t>(count));
    std::uint64_t id = 0;
    for (PMTilesEntry& e : entries) {
        const std::uint64_t step = varint();
        good = good && id + step >= id; // ids only rise
        e.Id = id += step;
    }
    for (PMTilesEntry& e : entries) {
        const std::uint64_t run = varint();
        good = good && run <= UINT32_MAX;
        e.RunLength = static_cast<std::uint32_t>(run);
    }
    for (PMTilesEntry& e : entries)
        e.Length = varint();
    for (std::size_t i = 0; i < entries.size(); ++i) {
        const std::uint64_t value = varint();
        good = good && (value > 0 || i > 0);
        entries[i].Offset = value == 0 && i > 0
                                ? entries[i - 1].Offset + entries[i - 1].Length
                                : value - 1;
    }
    if (!good)
        return std::nullopt;
    return entries;
}

std::string Gzip(std::string_view bytes) {
    z_stream stream{};
    if (deflateInit2(&stream, Z_BEST_COMPRESSION, Z_DEFLATED, 15 + 16, 8, Z_DEFAULT_STRATEGY) !=
        Z_OK)
        throw Exception("gzip cannot be set up");
    std::string out(deflateBound(&stream, static_cast<uLong>(bytes.size())) + 32, '\0');
    stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(bytes.data()));
    stream.avail_in = static_cast<uInt>(bytes.size());
    stream.next_out = reinterpret_cast<Bytef*>(out.data());
    stream.avail_out = static_cast<uInt>(out.size());
    const int result = deflate(&stream, Z_FINISH);
    out.resize(stream.total_out);
    deflateEnd(&stream);
    if (result != Z_STREAM_END)
        throw Exception("gzip failed");
    return out;
}

std::optional<std::string> Gunzip(std::string_view bytes, std::size_t limit) {
    z_stream stream{};
    if (inflateInit2(&stream, 15 + 32) != Z_OK)
        return std::nullopt;
    std::string out;
    stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(bytes.data()));
    stream.avail_in = static_cast<uInt>(bytes.size());
    int result = Z_OK;
    char chunk[64 * 1024];
    while (result == Z_OK && out.size() <= limit) {
        stream.next_out = reinterpret_cast<Bytef*>(chunk);
        stream.avail_out = sizeof chunk;
        result = inflate(&stream, Z_NO_FLUSH);
        out.append(chunk, sizeof chunk - stream.avail_out);
    }
    inflateEnd(&stream);
    if (result != Z_STREAM_END || out.size() > limit)
        return std::nullopt;
    return out;
}

} // namespace quarrow::archive
