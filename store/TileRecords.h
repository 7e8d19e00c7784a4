// What Quarrow keeps of each tile it saved, for bringing a task up to date later: when it was
// fetched or last checked, until when its service said it stays fresh, and the validators it
// came with (ETag, Last-Modified). One SQLite file beside the task, <base>_tiles.db; no file of
// the task's own names it, and a task without one simply has no validators.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

struct sqlite3;
struct sqlite3_stmt;

namespace quarrow {

// The longest ETag or Last-Modified kept; a tile's are a few dozen bytes.
inline constexpr std::size_t MaxValidatorSize = 1024;

struct TileRecord {
    int X = 0;
    int Y = 0;
    std::int64_t Checked = 0;    // seconds since 1970: fetched, or last found unchanged
    std::int64_t FreshUntil = 0; // seconds since 1970; 0: the service said nothing
    std::string ETag;
    std::string LastModified; // as the service sent it
    std::int64_t Pass = 0;    // the update that checked it last (its pass); 0: a download
    bool operator==(const TileRecord&) const = default;
};

inline constexpr std::int64_t SecondsPerDay = 86400;

// The longest text or blob a records file may hold in one value: a validator is far shorter.
inline constexpr int MaxRecordValueBytes = 64 * 1024;
// What SQLite may hold in all in a process that keeps records: a page cache for each worker's
// connection and the writer's, with room to spare.
inline constexpr long long MaxRecordsHeapBytes = 64LL << 20;

class TileRecords {
public:
    enum class Access { Read, Write };
    // Read: a file that does not exist has no records. Write: the file is made when missing,
    // and every Put waits in a transaction until Commit. Throws an Exception naming the file when
    // it cannot be opened.
    TileRecords(const std::string& path, Access access);
    ~TileRecords();
    TileRecords(const TileRecords&) = delete;
    TileRecords& operator=(const TileRecords&) = delete;

    std::optional<TileRecord> Find(int x, int y);
    void Put(const TileRecord& record);
    // What was put so far, atomically and durably; throws an Exception naming the file.
    void Commit();

    // The pass of an update: that of an update stopped before its end, so that it goes on, else a
    // new one, its start in seconds since 1970 (later than every earlier pass).
    std::int64_t UpdatePass(std::int64_t now);
    // The pass begins, or ends whole: the next update is a new one. A pass that begins anew
    // forgets the counts of the one before.
    void BeginUpdate(std::int64_t pass);
    void EndUpdate();
    // Whether the pass is one that an earlier run began and did not end.
    bool GoesOn(std::int64_t pass);
    // What the runs of the current pass found so far (unchanged, changed, gone, bytes fetched,
    // bytes held), so that a resumed update tells the whole update; zeros for none.
    static constexpr int PassCountKinds = 5;
    std::array<std::int64_t, PassCountKinds> PassCounts();
    void SetPassCounts(const std::array<std::int64_t, PassCountKinds>& counts);

private:
    void Open();
    void Close() noexcept;
    void Execute(const char* sql);
    std::optional<std::int64_t> Meta(const char* key);
    [[noreturn]] void Fail(const std::string& what);

    std::string m_path;
    sqlite3* m_db = nullptr;
    sqlite3_stmt* m_find = nullptr;
    sqlite3_stmt* m_put = nullptr;
    bool m_writing = false;
};

} // namespace quarrow
