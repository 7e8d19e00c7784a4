// A new SQLite file for one of the combiner's outputs: made exclusively, so that no planted link
// is opened, and filled in one transaction without a journal, since it is renamed into place only
// when complete. The MBTiles and the phone apps' writers share it.
#pragma once

#include <string>
#include <vector>

struct sqlite3;
struct sqlite3_stmt;

namespace quarrow::archive {

class NewSqliteFile {
public:
    // Creates the file and begins its transaction; throws an Exception naming the path and
    // SQLite's reason.
    explicit NewSqliteFile(std::string path);
    ~NewSqliteFile();
    NewSqliteFile(const NewSqliteFile&) = delete;
    NewSqliteFile& operator=(const NewSqliteFile&) = delete;

    // Failures are told with `what`, or the statement itself.
    void Execute(const std::string& sql, const char* what = nullptr);
    // A statement that lives as long as the file.
    sqlite3_stmt* Prepare(const char* sql, const char* what);
    // Runs a statement once bound, and makes it ready for the next binding.
    void Step(sqlite3_stmt* statement, const char* what);
    // Commits everything and closes the file.
    void Finish();
    [[noreturn]] void Fail(const std::string& what);

private:
    void Close() noexcept;

    std::string m_path;
    sqlite3* m_db = nullptr;
    std::vector<sqlite3_stmt*> m_statements;
};

} // namespace quarrow::archive
