#include "NewSqliteFile.h"

#include <sqlite3.h>
#include <unistd.h>

#include "base/Exception.h"
#include "store/FileReplacer.h"

namespace quarrow::archive {

NewSqliteFile::NewSqliteFile(std::string path) : m_path(std::move(path)) {
    // An empty file is an empty database; made here so that no planted link is opened.
    ::close(CreateFreshFile(m_path));
    if (sqlite3_open_v2(m_path.c_str(), &m_db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOFOLLOW,
                        nullptr) != SQLITE_OK) {
        const std::string reason = m_db != nullptr ? sqlite3_errmsg(m_db) : "out of memory";
        Close();
        throw WriteError(m_path, " (open): " + reason);
    }
    try {
        Execute("PRAGMA journal_mode=OFF");
        Execute("PRAGMA synchronous=OFF");
        Execute("BEGIN");
    } catch (...) {
        Close();
        throw;
    }
}

NewSqliteFile::~NewSqliteFile() {
    Close();
}

void NewSqliteFile::Close() noexcept {
    for (sqlite3_stmt* statement : m_statements)
        sqlite3_finalize(statement);
    m_statements.clear();
    sqlite3_close(m_db);
    m_db = nullptr;
}

void NewSqliteFile::Execute(const std::string& sql, const char* what) {
    if (sqlite3_exec(m_db, sql.c_str(), nullptr, nullptr, nullptr) != SQLITE_OK)
        Fail(what ? what : sql);
}

sqlite3_stmt* NewSqliteFile::Prepare(const char* sql, const char* what) {
    sqlite3_stmt* statement = nullptr;
    if (sqlite3_prepare_v2(m_db, sql, -1, &statement, nullptr) != SQLITE_OK)
        Fail(what);
    m_statements.push_back(statement);
    return statement;
}

void NewSqliteFile::Step(sqlite3_stmt* statement, const char* what) {
    const int step = sqlite3_step(statement);
    sqlite3_reset(statement);
    if (step != SQLITE_DONE)
        Fail(what);
}

void NewSqliteFile::Finish() {
    for (sqlite3_stmt* statement : m_statements)
        sqlite3_finalize(statement);
    m_statements.clear();
    Execute("COMMIT");
    if (sqlite3_close(m_db) != SQLITE_OK)
        Fail("close");
    m_db = nullptr;
}

void NewSqliteFile::Fail(const std::string& what) {
    const std::string reason = m_db != nullptr ? sqlite3_errmsg(m_db) : "out of memory";
    throw WriteError(m_path, " (" + what + "): " + reason);
}

} // namespace quarrow::archive
