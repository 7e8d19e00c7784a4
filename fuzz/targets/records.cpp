// A records file's row as anyone may have written it (any time, any type, any validator) and the
// HTTP dates and freshness lines of a service's answer, against any clock: read, judged for an
// update and turned into a request's lines without an overflow, and never a validator that
// would break a request line.
#include <cstring>

#include <sqlite3.h>

#include "FuzzSupport.h"
#include "engine/HttpDate.h"
#include "engine/TaskUpdate.h"
#include "base/TextRules.h"
#include "store/TileRecords.h"

using namespace quarrow;

namespace {

std::int64_t Take64(const std::uint8_t*& data) {
    std::int64_t value = 0;
    std::memcpy(&value, data, sizeof value);
    data += sizeof value;
    return value;
}

// Binds the number as the type the selector's two bits choose: integer, text, blob or real.
void BindAs(sqlite3_stmt* statement, int column, std::int64_t value, unsigned selector) {
    const std::string text = std::to_string(value);
    switch (selector & 3) {
    case 0:
        sqlite3_bind_int64(statement, column, value);
        break;
    case 1:
        sqlite3_bind_text(statement, column, text.c_str(), -1, SQLITE_TRANSIENT);
        break;
    case 2:
        sqlite3_bind_blob(statement, column, &value, sizeof value, SQLITE_TRANSIENT);
        break;
    default:
        sqlite3_bind_double(statement, column, static_cast<double>(value) * 1.5);
    }
}

void WriteRow(const std::string& path, const std::int64_t (&numbers)[3], unsigned types,
              std::string_view etag, std::string_view lastModified) {
    std::remove(path.c_str());
    sqlite3* db = nullptr;
    if (sqlite3_open(path.c_str(), &db) != SQLITE_OK)
        fuzz::Broken("the scratch records file opens");
    sqlite3_exec(db,
                 "CREATE TABLE tiles (x INTEGER, y INTEGER, checked INTEGER, fresh_until INTEGER, "
                 "etag TEXT, last_modified TEXT, pass INTEGER, PRIMARY KEY (x, y)) WITHOUT ROWID",
                 nullptr, nullptr, nullptr);
    sqlite3_stmt* insert = nullptr;
    sqlite3_prepare_v2(db, "INSERT INTO tiles VALUES (1, 2, ?, ?, ?, ?, ?)", -1, &insert, nullptr);
    BindAs(insert, 1, numbers[0], types);
    BindAs(insert, 2, numbers[1], types >> 2);
    sqlite3_bind_text(insert, 3, etag.data(), static_cast<int>(etag.size()), SQLITE_TRANSIENT);
    sqlite3_bind_text(insert, 4, lastModified.data(), static_cast<int>(lastModified.size()),
                      SQLITE_TRANSIENT);
    BindAs(insert, 5, numbers[2], types >> 4);
    sqlite3_step(insert);
    sqlite3_finalize(insert);
    sqlite3_close(db);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    constexpr std::size_t Head = 5 * 8 + 2;
    if (size < Head)
        return 0;
    const std::uint8_t* at = data;
    const std::int64_t numbers[3] = {Take64(at), Take64(at), Take64(at)};
    const std::int64_t now = Take64(at), fileTime = Take64(at);
    const unsigned types = *at++, rules = *at++;
    const auto fields = fuzz::SplitFields(at, size - Head, 5);

    const std::string path = fuzz::ScratchFolder() + "t_tiles.db";
    WriteRow(path, numbers, types, fields[0], fields[1]);
    const std::optional<TileRecord> record = TileRecords(path, TileRecords::Access::Read).Find(1, 2);
    if (record && (record->ETag.size() > MaxValidatorSize ||
                   record->LastModified.size() > MaxValidatorSize))
        fuzz::Broken("a record's validators are within their limit");

    UpdateRules update;
    update.OlderThanDays = rules & 0x3F;
    update.Force = (rules & 0x40) != 0;
    update.MinAgeDays = (rules & 0x80) ? 3650 : 0;
    update.Pass = numbers[2] ^ now;
    UpdateSkips(update, record, (types & 0x40) ? std::optional(fileTime) : std::nullopt, now);
    for (const auto& [name, value] : ConditionalHeaders(record))
        if (HasControl(value) || value.empty() || value.size() > MaxValidatorSize)
            fuzz::Broken("a conditional line's value is safe to send");

    // A service's dates and freshness lines.
    constexpr std::time_t LastOf9999 = 253402300799;
    if (const auto date = ParseHttpDate(fields[2]); date && *date <= LastOf9999) {
        const std::string again = HttpDate(*date);
        if (ParseHttpDate(again) != date)
            fuzz::Broken("a parsed date is written back as the same time");
    }
    const HeaderList answer = {{"Cache-Control", std::string(fields[3])},
                               {"Expires", std::string(fields[4])},
                               {"Date", std::string(fields[2])}};
    FreshUntil(answer, now);
    ValidatorsOf(answer);
    return 0;
}
