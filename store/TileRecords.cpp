// Write-ahead logging, so that the workers read while the host writes; a commit is durable
// (synchronous FULL) and happens at the task's periodic save and at its end. SQLite's page cache
// keeps memory small whatever the task's size.
#include "TileRecords.h"

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <mutex>

#include <sqlite3.h>
#include <sys/stat.h>

#include "base/Exception.h"

namespace quarrow {

TileRecords::TileRecords(const std::string& path, Access access)
    : m_path(path), m_writing(access == Access::Write) {
    std::error_code ec;
    if (!m_writing && !std::filesystem::exists(m_path, ec))
        return;
    try {
        Open();
    } catch (...) {
        Close(); // SQLite hands out a connection even when the open fails
        throw;
    }
}

void TileRecords::Open() {
    // A FIFO or a device at the name would hold SQLite's open() or feed it without end.
    struct stat facts {};
    if (::lstat(m_path.c_str(), &facts) == 0 && !S_ISREG(facts.st_mode))
        throw Exception("Unable to keep the tiles' records in " + m_path +
                        ": it is not a regular file.");
    // A value is read whole before its length is known (a WITHOUT ROWID row even to compare its
    // key): SQLite in a process that keeps records gets a ceiling, so a tampered row of hundreds
    // of megabytes fails as out of memory, and Find skips it.
    static std::once_flag limited;
    std::call_once(limited, [] {
        if (sqlite3_hard_heap_limit64(-1) == 0)
            sqlite3_hard_heap_limit64(MaxRecordsHeapBytes);
    });
    const int flags = m_writing ? SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOFOLLOW
                                : SQLITE_OPEN_READONLY | SQLITE_OPEN_NOFOLLOW;
    if (sqlite3_open_v2(m_path.c_str(), &m_db, flags, nullptr) != SQLITE_OK)
        Fail("open");
    sqlite3_busy_timeout(m_db, 5000);
    // A value over the limit ends its statement as too big (Find skips the row) and is never
    // copied out; the heap ceiling above bounds what SQLite reads to learn it.
    sqlite3_limit(m_db, SQLITE_LIMIT_LENGTH, MaxRecordValueBytes);
    // The file may come with a task folder from anyone: its schema runs nothing of its own.
    sqlite3_db_config(m_db, SQLITE_DBCONFIG_DEFENSIVE, 1, nullptr);
    sqlite3_db_config(m_db, SQLITE_DBCONFIG_TRUSTED_SCHEMA, 0, nullptr);
    sqlite3_db_config(m_db, SQLITE_DBCONFIG_ENABLE_TRIGGER, 0, nullptr);
    sqlite3_db_config(m_db, SQLITE_DBCONFIG_ENABLE_VIEW, 0, nullptr);
    if (m_writing) {
        Execute("PRAGMA journal_mode=WAL");
        Execute("PRAGMA synchronous=FULL");
        Execute("CREATE TABLE IF NOT EXISTS tiles (x INTEGER, y INTEGER, checked INTEGER, "
                "fresh_until INTEGER, etag TEXT, last_modified TEXT, pass INTEGER, "
                "PRIMARY KEY (x, y)) "
                "WITHOUT ROWID");
        Execute("CREATE TABLE IF NOT EXISTS meta (key TEXT PRIMARY KEY, value INTEGER)");
        Execute("BEGIN");
        if (sqlite3_prepare_v2(m_db,
                               "INSERT OR REPLACE INTO tiles VALUES (?, ?, ?, ?, ?, ?, ?)", -1,
                               &m_put, nullptr) != SQLITE_OK)
            Fail("tiles");
    }
    // A file of another program's, or of no tiles yet, reads as holding nothing.
    sqlite3_prepare_v2(m_db,
                       "SELECT checked, fresh_until, etag, last_modified, pass FROM tiles "
                       "WHERE x = ? AND y = ?",
                       -1, &m_find, nullptr);
}

TileRecords::~TileRecords() {
    if (m_writing && m_db)
        sqlite3_exec(m_db, "COMMIT", nullptr, nullptr, nullptr);
    Close();
}

void TileRecords::Close() noexcept {
    sqlite3_finalize(m_find);
    sqlite3_finalize(m_put);
    sqlite3_close(m_db);
    m_find = m_put = nullptr;
    m_db = nullptr;
}

void TileRecords::Execute(const char* sql) {
    if (sqlite3_exec(m_db, sql, nullptr, nullptr, nullptr) != SQLITE_OK)
        Fail(sql);
}

void TileRecords::Fail(const std::string& what) {
    const std::string reason = m_db ? sqlite3_errmsg(m_db) : "out of memory";
    throw Exception("Unable to keep the tiles' records in " + m_path + " (" + what +
                    "): " + reason);
}

std::optional<TileRecord> TileRecords::Find(int x, int y) {
    if (!m_find)
        return std::nullopt;
    sqlite3_bind_int(m_find, 1, x);
    sqlite3_bind_int(m_find, 2, y);
    std::optional<TileRecord> found;
    // A row too big to read (SQLITE_TOOBIG), or whose validators pass their limit, is no record:
    // the tile is asked without validators.
    if (sqlite3_step(m_find) == SQLITE_ROW &&
        static_cast<std::size_t>(sqlite3_column_bytes(m_find, 2)) <= MaxValidatorSize &&
        static_cast<std::size_t>(sqlite3_column_bytes(m_find, 3)) <= MaxValidatorSize) {
        const auto text = [this](int column) {
            const auto* bytes = sqlite3_column_text(m_find, column);
            return bytes ? std::string(reinterpret_cast<const char*>(bytes),
                                       static_cast<std::size_t>(sqlite3_column_bytes(m_find, column)))
                         : std::string();
        };
        found = TileRecord{x, y, sqlite3_column_int64(m_find, 0), sqlite3_column_int64(m_find, 1),
                           text(2), text(3), sqlite3_column_int64(m_find, 4)};
    }
    sqlite3_reset(m_find);
    return found;
}

void TileRecords::Put(const TileRecord& record) {
    sqlite3_bind_int(m_put, 1, record.X);
    sqlite3_bind_int(m_put, 2, record.Y);
    sqlite3_bind_int64(m_put, 3, record.Checked);
    sqlite3_bind_int64(m_put, 4, record.FreshUntil);
    sqlite3_bind_text(m_put, 5, record.ETag.c_str(), static_cast<int>(record.ETag.size()),
                      SQLITE_TRANSIENT);
    sqlite3_bind_text(m_put, 6, record.LastModified.c_str(),
                      static_cast<int>(record.LastModified.size()), SQLITE_TRANSIENT);
    sqlite3_bind_int64(m_put, 7, record.Pass);
    const int step = sqlite3_step(m_put);
    sqlite3_reset(m_put);
    if (step != SQLITE_DONE)
        Fail("put");
}

void TileRecords::Commit() {
    Execute("COMMIT");
    Execute("BEGIN");
}

std::optional<std::int64_t> TileRecords::Meta(const char* key) {
    if (!m_db)
        return std::nullopt;
    sqlite3_stmt* statement = nullptr;
    std::optional<std::int64_t> value;
    if (sqlite3_prepare_v2(m_db, "SELECT value FROM meta WHERE key = ?", -1, &statement,
                           nullptr) == SQLITE_OK &&
        sqlite3_bind_text(statement, 1, key, -1, SQLITE_STATIC) == SQLITE_OK &&
        sqlite3_step(statement) == SQLITE_ROW)
        value = sqlite3_column_int64(statement, 0);
    sqlite3_finalize(statement);
    return value;
}

std::int64_t TileRecords::UpdatePass(std::int64_t now) {
    if (const std::optional<std::int64_t> unfinished = Meta("update_started"))
        return *unfinished;
    const std::optional<std::int64_t> last = Meta("last_update");
    return last && *last >= now && *last < INT64_MAX ? *last + 1 : now;
}

namespace {
constexpr const char* PassCountKeys[TileRecords::PassCountKinds] = {
    "pass_unchanged", "pass_changed", "pass_gone", "pass_bytes_fetched", "pass_bytes_held"};
} // namespace

bool TileRecords::GoesOn(std::int64_t pass) {
    return Meta("update_started") == pass;
}

std::array<std::int64_t, TileRecords::PassCountKinds> TileRecords::PassCounts() {
    std::array<std::int64_t, PassCountKinds> counts{};
    for (int i = 0; i < PassCountKinds; ++i)
        counts[static_cast<std::size_t>(i)] = std::max<std::int64_t>(0, Meta(PassCountKeys[i]).value_or(0));
    return counts;
}

void TileRecords::SetPassCounts(const std::array<std::int64_t, PassCountKinds>& counts) {
    for (int i = 0; i < PassCountKinds; ++i)
        Execute(("INSERT OR REPLACE INTO meta VALUES ('" + std::string(PassCountKeys[i]) + "', " +
                 std::to_string(counts[static_cast<std::size_t>(i)]) + ")")
                    .c_str());
}

void TileRecords::BeginUpdate(std::int64_t pass) {
    if (!GoesOn(pass))
        SetPassCounts({});
    const std::string value = std::to_string(pass);
    Execute(("INSERT OR REPLACE INTO meta VALUES ('update_started', " + value + ")").c_str());
    Execute(("INSERT OR REPLACE INTO meta VALUES ('last_update', " + value + ")").c_str());
}

void TileRecords::EndUpdate() {
    Execute("DELETE FROM meta WHERE key = 'update_started'");
}

} // namespace quarrow
