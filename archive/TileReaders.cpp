#include "TileReaders.h"
#include "TileFolder.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <condition_variable>
#include <cstring>
#include <filesystem>
#include <functional>
#include <list>
#include <map>
#include <mutex>
#include <vector>

#include <fcntl.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include "engine/TileFormat.h"
#include "PMTilesDirectory.h"
#include "PMTilesWriter.h"
#include "geo/Commonfunc.h"
#include "base/Exception.h"
#include "engine/ImageHeader.h"
#include "base/Json.h"
#include "base/NumberText.h"
#include "base/RetryEintr.h"
#include "store/TaskFiles.h"
#include "store/TextFile.h"
#include "base/TextRules.h"
#include "store/TileFile.h"
#include "engine/Unitclasstask.h"

namespace quarrow::archive {

namespace fs = std::filesystem;

namespace {

constexpr int MaxZoomLevel = 30;
constexpr double MaxLatitude = 85.0511287798066;

// The format by a name an archive gives it; empty for what is no picture Quarrow serves.
std::string PictureFormat(std::string_view name) {
    const TileFormatRow* row = TileFormatNamed(name);
    return row ? std::string(row->Extension) : std::string();
}

// Holds what an archive says within the map; throws when it gives no zoom level or no format.
void CheckInfo(ArchiveInfo& info, const std::string& path) {
    if (info.MinZoom < 0 || info.MaxZoom > MaxZoomLevel || info.MinZoom > info.MaxZoom)
        throw Exception(path + " gives no zoom levels within 0 to 30 (" +
                        std::to_string(info.MinZoom) + " to " + std::to_string(info.MaxZoom) +
                        ").");
    if (info.Format.empty())
        throw Exception(path + " holds tiles of a kind Quarrow does not serve (PNG, JPEG and "
                               "WebP pictures only).");
    const auto within = [](double value, double limit) {
        return std::isfinite(value) ? std::clamp(value, -limit, limit) : 0.0;
    };
    info.West = within(info.West, 180);
    info.East = within(info.East, 180);
    info.South = within(info.South, MaxLatitude);
    info.North = within(info.North, MaxLatitude);
    if (!(info.West < info.East) || !(info.South < info.North)) {
        info.West = -180;
        info.East = 180;
        info.South = -MaxLatitude;
        info.North = MaxLatitude;
    }
    if (info.TileSize != 512)
        info.TileSize = 256;
}

// Four numbers "west,south,east,north", else the info keeps its bounds.
void ReadBounds(ArchiveInfo& info, std::string_view text) {
    double values[4];
    for (double& value : values) {
        const std::size_t comma = text.find(',');
        const auto number = ParseCoordinate(text.substr(0, comma));
        if (!number)
            return;
        value = *number;
        text.remove_prefix(comma == std::string_view::npos ? text.size() : comma + 1);
    }
    info.West = values[0];
    info.South = values[1];
    info.East = values[2];
    info.North = values[3];
}

int ZoomNumber(std::string_view text, int fallback) {
    const auto number = ParseDecimal(TrimBlanks(text));
    return number ? *number : fallback;
}

// Tiles of 512 pixels are told by the first one; an archive of 256 need not say so.
int SideOf(const std::optional<std::string>& tile) {
    const auto size = tile ? ImageHeaderSize(*tile) : std::nullopt;
    return size && size->Width == 512 ? 512 : 256;
}

void RefuseNonFile(const std::string& path) {
    struct stat facts {};
    if (::stat(path.c_str(), &facts) != 0)
        throw Exception(path + " cannot be read: " + std::strerror(errno) + ".");
    if (!S_ISREG(facts.st_mode))
        throw Exception(path + " is no regular file.");
}

bool InLevel(int zoom, int x, int y) {
    if (zoom < 0 || zoom > MaxZoomLevel || x < 0 || y < 0)
        return false;
    const long long side = 1LL << zoom;
    return x < side && y < side;
}

// The row's first column as a tile's bytes; none for an empty one or one beyond a tile's size.
std::optional<std::string> TileBlob(sqlite3_stmt* row) {
    const auto* data = static_cast<const char*>(sqlite3_column_blob(row, 0));
    const int size = sqlite3_column_bytes(row, 0);
    if (!data || size <= 0 || static_cast<std::uint64_t>(size) > MaxTileFileSize)
        return std::nullopt;
    return std::string(data, static_cast<std::size_t>(size));
}

// A read-only SQLite file, a few connections deep, so that several threads read at once.
class SqliteFile {
public:
    static constexpr int Connections = 4;

    SqliteFile(const std::string& path, const char* kind, const char* tileQuery) : m_path(path) {
        RefuseNonFile(path);
        try {
            Open(kind, tileQuery);
        } catch (...) {
            Close(); // no destructor runs after a constructor that throws
            throw;
        }
    }
    ~SqliteFile() { Close(); }
    SqliteFile(const SqliteFile&) = delete;
    SqliteFile& operator=(const SqliteFile&) = delete;

private:
    void Open(const char* kind, const char* tileQuery) {
        const std::string& path = m_path;
        for (int i = 0; i < Connections; ++i) {
            sqlite3* db = nullptr;
            const int opened = sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr);
            Connection& c = m_all.emplace_back(Connection{db, nullptr});
            sqlite3_stmt* statement = nullptr;
            if (opened != SQLITE_OK ||
                sqlite3_prepare_v2(db, tileQuery, -1, &statement, nullptr) != SQLITE_OK)
                throw Exception(path + " is no " + kind + " file: " +
                                (db ? sqlite3_errmsg(db) : "no memory") + ".");
            c.TileQuery = statement;
            m_free.push_back(&c);
        }
    }

    void Close() noexcept {
        for (Connection& c : m_all) {
            sqlite3_finalize(c.TileQuery);
            sqlite3_close(c.Db);
        }
        m_all.clear();
        m_free.clear();
    }

public:
    // The first column of the tile query's first row, its three numbers bound.
    std::optional<std::string> Blob(long long a, long long b, long long c) const {
        const Lease lease(*this);
        sqlite3_stmt* statement = lease.Held.TileQuery;
        sqlite3_bind_int64(statement, 1, a);
        sqlite3_bind_int64(statement, 2, b);
        sqlite3_bind_int64(statement, 3, c);
        std::optional<std::string> bytes;
        if (sqlite3_step(statement) == SQLITE_ROW)
            bytes = TileBlob(statement);
        return bytes;
    }

    // Each row of a query on the file (at opening, on the first connection); throws when the
    // query fails, as on a file that is no database.
    void EachRow(const char* sql, const std::function<void(sqlite3_stmt*)>& each) const {
        sqlite3* db = m_all.front().Db;
        sqlite3_stmt* statement = nullptr;
        if (sqlite3_prepare_v2(db, sql, -1, &statement, nullptr) != SQLITE_OK)
            throw Exception(m_path + " cannot be read: " + sqlite3_errmsg(db) + ".");
        int step = SQLITE_ROW;
        while ((step = sqlite3_step(statement)) == SQLITE_ROW)
            each(statement);
        sqlite3_finalize(statement);
        if (step != SQLITE_DONE)
            throw Exception(m_path + " cannot be read: " + sqlite3_errmsg(db) + ".");
    }

    // The first tile of the table, which tells what its tiles are.
    std::optional<std::string> FirstTile(const char* sql) const {
        std::optional<std::string> first;
        EachRow(sql, [&first](sqlite3_stmt* row) { first = TileBlob(row); });
        return first;
    }

    bool Has(const char* sql) const {
        sqlite3_stmt* statement = nullptr;
        const bool prepared =
            sqlite3_prepare_v2(m_all.front().Db, sql, -1, &statement, nullptr) == SQLITE_OK;
        sqlite3_finalize(statement);
        return prepared;
    }

private:
    struct Connection {
        sqlite3* Db;
        sqlite3_stmt* TileQuery;
    };

    // A connection of the pool, given back (its statement reset) however the use ends.
    struct Lease {
        explicit Lease(const SqliteFile& file) : File(file), Held(file.Take()) {}
        ~Lease() {
            sqlite3_reset(Held.TileQuery);
            File.Give(Held);
        }
        Lease(const Lease&) = delete;
        Lease& operator=(const Lease&) = delete;
        const SqliteFile& File;
        Connection& Held;
    };

    Connection& Take() const {
        std::unique_lock lock(m_mutex);
        m_changed.wait(lock, [this] { return !m_free.empty(); });
        Connection* c = m_free.back();
        m_free.pop_back();
        return *c;
    }
    void Give(Connection& connection) const {
        {
            const std::scoped_lock lock(m_mutex);
            m_free.push_back(&connection);
        }
        m_changed.notify_one();
    }

    std::string m_path;
    std::list<Connection> m_all;
    mutable std::mutex m_mutex;
    mutable std::condition_variable m_changed;
    mutable std::vector<Connection*> m_free;
};

class MBTilesReader final : public TileReader {
public:
    explicit MBTilesReader(const std::string& path)
        : m_file(path, "MBTiles",
                 "SELECT tile_data FROM tiles WHERE zoom_level = ?1 AND tile_column = ?2 AND "
                 "tile_row = ?3") {
        m_info.Name = fs::path(path).stem().string();
        m_info.Format.clear();
        int minZoom = -1, maxZoom = -1;
        m_file.EachRow("SELECT name, value FROM metadata", [&](sqlite3_stmt* row) {
            const auto* name = reinterpret_cast<const char*>(sqlite3_column_text(row, 0));
            const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(row, 1));
            const std::string_view key = name ? name : "", value = text ? text : "";
            if (key == "name")
                m_info.Name = value;
            else if (key == "format")
                m_info.Format = PictureFormat(value);
            else if (key == "bounds")
                ReadBounds(m_info, value);
            else if (key == "attribution")
                m_info.Attribution = value;
            else if (key == "minzoom")
                minZoom = ZoomNumber(value, -1);
            else if (key == "maxzoom")
                maxZoom = ZoomNumber(value, -1);
        });
        if (minZoom < 0 || maxZoom < 0)
            m_file.EachRow("SELECT MIN(zoom_level), MAX(zoom_level) FROM tiles",
                           [&](sqlite3_stmt* row) {
                               minZoom = sqlite3_column_int(row, 0);
                               maxZoom = sqlite3_column_int(row, 1);
                           });
        m_info.MinZoom = minZoom;
        m_info.MaxZoom = maxZoom;
        const std::optional<std::string> first =
            m_file.FirstTile("SELECT tile_data FROM tiles LIMIT 1");
        if (m_info.Format.empty() && first)
            m_info.Format = ImageFormatOf(*first);
        m_info.TileSize = SideOf(first);
        CheckInfo(m_info, path);
    }

    std::optional<std::string> Tile(int zoom, int x, int y) const override {
        if (!InLevel(zoom, x, y))
            return std::nullopt;
        // TMS rows count from the south.
        return m_file.Blob(zoom, x, (1LL << zoom) - 1 - y);
    }

private:
    SqliteFile m_file;
};

// OsmAnd's form numbers zoom levels as they are; the older BigPlanet form (RMaps, Locus) as
// 17 - zoom, and has no tilenumbering in its info.
class SqliteDbReader final : public TileReader {
public:
    explicit SqliteDbReader(const std::string& path)
        : m_file(path, "OsmAnd or Locus",
                 "SELECT image FROM tiles WHERE z = ?1 AND x = ?2 AND y = ?3 LIMIT 1") {
        m_info.Name = fs::path(path).stem().string();
        m_bigPlanet = !m_file.Has("SELECT tilenumbering FROM info");
        int low = 0, high = -1;
        m_file.EachRow("SELECT MIN(z), MAX(z) FROM tiles", [&](sqlite3_stmt* row) {
            if (sqlite3_column_type(row, 0) != SQLITE_NULL) {
                low = sqlite3_column_int(row, 0);
                high = sqlite3_column_int(row, 1);
            }
        });
        m_info.MinZoom = m_bigPlanet ? 17 - high : low;
        m_info.MaxZoom = m_bigPlanet ? 17 - low : high;
        const std::string z = std::to_string(m_bigPlanet ? 17 - m_info.MinZoom : m_info.MinZoom);
        const std::string corners = "SELECT MIN(x), MIN(y), MAX(x), MAX(y) FROM tiles WHERE z = " + z;
        int minX = 0, minY = 0, maxX = -1, maxY = -1;
        m_file.EachRow(corners.c_str(), [&](sqlite3_stmt* row) {
            minX = sqlite3_column_int(row, 0);
            minY = sqlite3_column_int(row, 1);
            maxX = sqlite3_column_int(row, 2);
            maxY = sqlite3_column_int(row, 3);
        });
        const std::optional<std::string> first = m_file.FirstTile("SELECT image FROM tiles LIMIT 1");
        m_info.Format = std::string(first ? ImageFormatOf(*first) : RowOf(TileFormat::Png).Extension);
        m_info.TileSize = SideOf(first);
        if (m_info.MinZoom >= 0 && m_info.MinZoom <= MaxZoomLevel && maxX >= minX) {
            m_info.West = TileXToLon(minX, m_info.MinZoom);
            m_info.East = TileXToLon(maxX + 1.0, m_info.MinZoom);
            m_info.North = TileYToLat(minY, m_info.MinZoom);
            m_info.South = TileYToLat(maxY + 1.0, m_info.MinZoom);
        }
        CheckInfo(m_info, path);
    }

    std::optional<std::string> Tile(int zoom, int x, int y) const override {
        if (!InLevel(zoom, x, y))
            return std::nullopt;
        return m_file.Blob(m_bigPlanet ? 17 - zoom : zoom, x, y);
    }

private:
    SqliteFile m_file;
    bool m_bigPlanet = false;
};

std::uint64_t Little(const std::string& bytes, std::size_t at, int size) {
    std::uint64_t value = 0;
    for (int i = size - 1; i >= 0; --i)
        value = (value << 8) | static_cast<unsigned char>(bytes[at + static_cast<std::size_t>(i)]);
    return value;
}

class PMTilesReader final : public TileReader {
public:
    explicit PMTilesReader(const std::string& path) : m_path(path) {
        m_fd = OpenRegularFile(path, &m_size);
        if (m_fd == NotRegularFile)
            throw Exception(path + " is no regular file.");
        if (m_fd < 0)
            throw Exception(path + " cannot be read: " + std::strerror(errno) + ".");
        try {
            Open();
        } catch (...) {
            ::close(m_fd);
            throw;
        }
    }
    ~PMTilesReader() override { ::close(m_fd); }

    std::optional<std::string> Tile(int zoom, int x, int y) const override {
        if (!InLevel(zoom, x, y) || zoom < m_info.MinZoom || zoom > m_info.MaxZoom)
            return std::nullopt;
        const std::uint64_t id =
            TileId(zoom, static_cast<std::uint32_t>(x), static_cast<std::uint32_t>(y));
        std::shared_ptr<const Directory> directory = m_root;
        for (int depth = 0; depth < 4 && directory; ++depth) {
            const auto after = std::upper_bound(
                directory->begin(), directory->end(), id,
                [](std::uint64_t value, const Entry& entry) { return value < entry.Id; });
            if (after == directory->begin())
                return std::nullopt;
            const Entry& entry = *std::prev(after);
            if (entry.RunLength == 0) {
                directory = Leaf(entry.Offset, entry.Length);
                continue;
            }
            if (id - entry.Id >= entry.RunLength || entry.Length > MaxTileFileSize ||
                entry.Offset > m_dataLength || entry.Length > m_dataLength - entry.Offset)
                return std::nullopt;
            std::string bytes;
            if (!ReadRaw(m_dataOffset + entry.Offset, entry.Length, bytes))
                return std::nullopt;
            return bytes;
        }
        return std::nullopt;
    }

    std::uint64_t RawSize() const override { return m_size; }

    bool ReadRaw(std::uint64_t offset, std::size_t length, std::string& bytes) const override {
        if (offset > m_size || length > m_size - offset)
            return false;
        bytes.resize(length);
        std::size_t done = 0;
        while (done < length) {
            const ssize_t count = RetryOnEintr([&] {
                return ::pread(m_fd, bytes.data() + done, length - done,
                               static_cast<off_t>(offset + done));
            });
            if (count <= 0)
                return false;
            done += static_cast<std::size_t>(count);
        }
        return true;
    }

private:
    using Entry = PMTilesEntry;
    using Directory = std::vector<Entry>;
    static constexpr std::size_t HeaderBytes = 127;
    static constexpr std::size_t CachedLeaves = 64;

    void Open() {
        std::string header;
        if (m_size < HeaderBytes || !ReadRaw(0, HeaderBytes, header) ||
            header.compare(0, 7, "PMTiles") != 0)
            throw Exception(m_path + " is no PMTiles archive.");
        if (header[7] != 3)
            throw Exception(m_path + " is a PMTiles archive of version " +
                            std::to_string(static_cast<unsigned char>(header[7])) +
                            "; Quarrow reads version 3.");
        const unsigned char compression = static_cast<unsigned char>(header[97]);
        const unsigned char tileCompression = static_cast<unsigned char>(header[98]);
        const unsigned char type = static_cast<unsigned char>(header[99]);
        if (compression > 2 || tileCompression > 1)
            throw Exception(m_path + " is compressed in a way Quarrow does not read.");
        m_gzip = compression == 2;
        const TileFormatRow* format = TileFormatOfPMTilesType(type);
        m_info.Format = format ? std::string(format->Extension) : std::string();
        m_info.MinZoom = static_cast<unsigned char>(header[100]);
        m_info.MaxZoom = static_cast<unsigned char>(header[101]);
        const auto degrees = [&](std::size_t at) {
            return static_cast<std::int32_t>(static_cast<std::uint32_t>(Little(header, at, 4))) /
                   1e7;
        };
        m_info.West = degrees(102);
        m_info.South = degrees(106);
        m_info.East = degrees(110);
        m_info.North = degrees(114);
        m_info.Name = fs::path(m_path).stem().string();
        m_leavesOffset = Little(header, 40, 8);
        m_leavesLength = Little(header, 48, 8);
        m_dataOffset = Little(header, 56, 8);
        m_dataLength = Little(header, 64, 8);
        const auto within = [this](std::uint64_t offset, std::uint64_t length) {
            return offset <= m_size && length <= m_size - offset;
        };
        if (!within(m_leavesOffset, m_leavesLength) || !within(m_dataOffset, m_dataLength))
            throw Exception(m_path + " is a damaged PMTiles archive: its sections lie beyond "
                                     "its end.");
        m_root = ReadDirectory(Little(header, 8, 8), Little(header, 16, 8));
        if (!m_root)
            throw Exception(m_path + " is a damaged PMTiles archive: its root directory does "
                                     "not read.");
        std::string metadata;
        const std::uint64_t metadataOffset = Little(header, 24, 8);
        const std::uint64_t metadataLength = Little(header, 32, 8);
        if (metadataLength > 0 && metadataLength <= MaxDirectoryBytes &&
            within(metadataOffset, metadataLength) &&
            ReadRaw(metadataOffset, metadataLength, metadata)) {
            const auto text = m_gzip ? Gunzip(metadata, MaxDirectoryBytes) : metadata;
            const auto json = text ? ParseJson(*text).Value : std::nullopt;
            if (json && json->IsObject()) {
                if (const JsonValue* name = json->Find("name"); name && name->IsString())
                    m_info.Name = name->String();
                if (const JsonValue* by = json->Find("attribution"); by && by->IsString())
                    m_info.Attribution = by->String();
                if (const JsonValue* side = json->Find("tileSize"))
                    m_info.TileSize = static_cast<int>(side->Number());
            }
        }
        CheckInfo(m_info, m_path);
    }

    // The directory of length bytes at offset, decoded; null when it does not read.
    std::shared_ptr<const Directory> ReadDirectory(std::uint64_t offset,
                                                   std::uint64_t length) const {
        std::string stored;
        if (length == 0 || length > MaxDirectoryBytes || !ReadRaw(offset, length, stored))
            return nullptr;
        auto entries = DecodeDirectory(stored, m_gzip);
        if (!entries)
            return nullptr;
        return std::make_shared<const Directory>(std::move(*entries));
    }

    // A leaf directory, from the cache of the last ones read.
    std::shared_ptr<const Directory> Leaf(std::uint64_t offset, std::uint64_t length) const {
        if (offset > m_leavesLength || length > m_leavesLength - offset)
            return nullptr;
        {
            const std::scoped_lock lock(m_mutex);
            if (const auto found = m_leaves.find(offset); found != m_leaves.end()) {
                m_recent.splice(m_recent.begin(), m_recent, found->second.second);
                return found->second.first;
            }
        }
        std::shared_ptr<const Directory> leaf = ReadDirectory(m_leavesOffset + offset, length);
        if (!leaf)
            return nullptr;
        const std::scoped_lock lock(m_mutex);
        if (m_leaves.count(offset) == 0) {
            m_recent.push_front(offset);
            m_leaves.emplace(offset, std::make_pair(leaf, m_recent.begin()));
            if (m_leaves.size() > CachedLeaves) {
                m_leaves.erase(m_recent.back());
                m_recent.pop_back();
            }
        }
        return leaf;
    }

    std::string m_path;
    int m_fd = -1;
    std::uint64_t m_size = 0;
    bool m_gzip = false;
    std::uint64_t m_leavesOffset = 0, m_leavesLength = 0, m_dataOffset = 0, m_dataLength = 0;
    std::shared_ptr<const Directory> m_root;
    mutable std::mutex m_mutex; // guards the cache of leaves
    mutable std::list<std::uint64_t> m_recent;
    mutable std::map<std::uint64_t, std::pair<std::shared_ptr<const Directory>,
                                              std::list<std::uint64_t>::iterator>>
        m_leaves;
};

// Tiles beneath a folder, as every reader of one takes them: a tree's or a task's.
class FolderTiles {
public:
    explicit FolderTiles(const std::string& folder) : m_folder(folder) {
        if (!m_folder.Opened())
            throw Exception(folder + " is no folder that can be read.");
    }

    std::optional<std::string> Read(const std::string& relative) const {
        std::string bytes;
        if (!m_folder.Read(relative, bytes))
            return std::nullopt;
        return bytes;
    }

private:
    TileFolder m_folder;
};

class XyzTreeReader final : public TileReader {
public:
    explicit XyzTreeReader(const std::string& folder) : m_tiles(folder) {
        fs::path named = fs::path(folder).lexically_normal();
        if (named.filename().empty())
            named = named.parent_path();
        m_info.Name = named.filename().string();
        std::string text;
        const auto json = ReadWholeFile(folder + "/tilejson.json", text, 1 << 20)
                              ? ParseJson(text).Value
                              : std::nullopt;
        if (json && json->IsObject())
            FromTileJson(*json);
        else
            FromLevels(folder);
        CheckInfo(m_info, folder);
    }

    std::optional<std::string> Tile(int zoom, int x, int y) const override {
        if (!InLevel(zoom, x, y))
            return std::nullopt;
        return m_tiles.Read(std::to_string(zoom) + "/" + std::to_string(x) + "/" +
                            std::to_string(y) + "." + m_info.Format);
    }

private:
    void FromTileJson(const JsonValue& json) {
        m_info.Format.clear();
        if (const JsonValue* name = json.Find("name"); name && name->IsString())
            m_info.Name = name->String();
        if (const JsonValue* tiles = json.Find("tiles"); tiles && !tiles->Array().empty()) {
            const std::string& url = tiles->Array().front().String();
            const std::size_t dot = url.rfind('.');
            if (url.starts_with("{z}/{x}/{y}.") && dot != std::string::npos)
                m_info.Format = PictureFormat(std::string_view(url).substr(dot + 1));
        }
        m_info.MinZoom = static_cast<int>(json.Find("minzoom") ? json.Find("minzoom")->Number() : 0);
        m_info.MaxZoom =
            static_cast<int>(json.Find("maxzoom") ? json.Find("maxzoom")->Number() : 22);
        if (const JsonValue* bounds = json.Find("bounds"); bounds && bounds->Array().size() == 4) {
            const JsonArray& b = bounds->Array();
            m_info.West = b[0].Number();
            m_info.South = b[1].Number();
            m_info.East = b[2].Number();
            m_info.North = b[3].Number();
        }
        if (const JsonValue* side = json.Find("tileSize"))
            m_info.TileSize = static_cast<int>(side->Number());
        if (const JsonValue* by = json.Find("attribution"); by && by->IsString())
            m_info.Attribution = by->String();
    }

    // A tree without its tilejson.json: the levels are its numbered folders, the format the
    // first tile's.
    void FromLevels(const std::string& folder) {
        m_info.MinZoom = MaxZoomLevel + 1;
        m_info.MaxZoom = -1;
        m_info.Format.clear();
        std::error_code ec;
        for (const auto& level : fs::directory_iterator(folder, ec)) {
            const auto zoom = ParseDecimal(level.path().filename().string());
            if (!zoom || *zoom < 0 || *zoom > MaxZoomLevel || !level.is_directory(ec))
                continue;
            m_info.MinZoom = std::min(m_info.MinZoom, *zoom);
            m_info.MaxZoom = std::max(m_info.MaxZoom, *zoom);
            for (auto tile = fs::recursive_directory_iterator(level.path(), ec);
                 m_info.Format.empty() && tile != fs::recursive_directory_iterator();
                 tile.increment(ec))
                if (tile->is_regular_file(ec))
                    m_info.Format = PictureFormat(tile->path().extension().string().substr(1));
        }
        if (m_info.MaxZoom < 0)
            throw Exception(folder + " holds no tile tree (no tilejson.json, no folder of a "
                                     "zoom level).");
    }

    FolderTiles m_tiles;
};

class TaskTilesReader final : public TileReader {
public:
    explicit TaskTilesReader(const std::string& projectFile)
        : m_task(ReadTask(projectFile)), m_tiles(TileFolderOf(*m_task, projectFile)) {
        std::vector<std::unique_ptr<DownloadTask>> tasks;
        tasks.push_back(std::make_unique<DownloadTask>(m_task->Params, DownloadTask::ReadOnly{}));
        m_info = ArchiveInfoOf(tasks);
        CheckInfo(m_info, projectFile);
    }

    // A task's blank tiles are served as it holds them: the blank picture.
    std::optional<std::string> Tile(int zoom, int x, int y) const override {
        if (zoom != m_task->Params->Zoom || x < m_task->MinX || x > m_task->MaxX ||
            y < m_task->MinY || y > m_task->MaxY || !m_task->Covers(x, y))
            return std::nullopt;
        return m_tiles.Read(m_task->TileFileName(x, y));
    }

private:
    static std::unique_ptr<DownloadTask> ReadTask(const std::string& projectFile) {
        RefuseNonFile(projectFile);
        return std::make_unique<DownloadTask>(
            std::make_shared<TaskParams>(ReadTaskParams(projectFile)), DownloadTask::ReadOnly{});
    }
    static std::string TileFolderOf(const DownloadTask& task, const std::string& projectFile) {
        std::error_code ec;
        if (!fs::is_directory(task.TileFolder, ec))
            throw Exception(projectFile + " is a task without its tile folder " +
                            task.TileFolder + ".");
        return task.TileFolder;
    }

    std::unique_ptr<DownloadTask> m_task;
    FolderTiles m_tiles;
};

} // namespace

bool TileReader::ReadRaw(std::uint64_t, std::size_t, std::string&) const {
    return false;
}

std::unique_ptr<TileReader> ReadMBTiles(const std::string& path) {
    return std::make_unique<MBTilesReader>(path);
}

std::unique_ptr<TileReader> ReadSqliteDb(const std::string& path) {
    return std::make_unique<SqliteDbReader>(path);
}

std::unique_ptr<TileReader> ReadPMTiles(const std::string& path) {
    return std::make_unique<PMTilesReader>(path);
}

std::unique_ptr<TileReader> ReadXyzTree(const std::string& folder) {
    return std::make_unique<XyzTreeReader>(folder);
}

std::unique_ptr<TileReader> ReadTaskTiles(const std::string& projectFile) {
    return std::make_unique<TaskTilesReader>(projectFile);
}

std::unique_ptr<TileReader> OpenTileReader(const std::string& path) {
    std::error_code ec;
    const fs::file_status status = fs::status(path, ec);
    if (!fs::exists(status))
        throw Exception(path + " does not exist.");
    if (fs::is_directory(status))
        return ReadXyzTree(path);
    if (EqualsNoCase(fs::path(path).extension().string(), ".zav"))
        return ReadTaskTiles(path);
    // clang-format off
    static constexpr struct {
        std::string_view Extension;
        std::unique_ptr<TileReader> (*Read)(const std::string& path);
    } Readers[] = {
        {".mbtiles", ReadMBTiles}, {".sqlitedb", ReadSqliteDb}, {".pmtiles", ReadPMTiles},
    };
    // clang-format on
    const std::string extension = fs::path(path).extension().string();
    for (const auto& reader : Readers)
        if (EqualsNoCase(extension, reader.Extension))
            return reader.Read(path);
    throw Exception(path + " is none of what Quarrow serves: a task's .zav, an .mbtiles, "
                           ".pmtiles or .sqlitedb file, or a tile tree's folder.");
}

} // namespace quarrow::archive
