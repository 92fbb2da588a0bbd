// A journal's file as SQLite sees it, for tests that make one as an older
// cabinetd left it and look at what the journal made of it.
#pragma once

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <string>

namespace cabinetd::test_support {

// Runs statements on the database at path (made if missing).
inline void run_sql(const std::string &path, const char *statements) {
    sqlite3 *db = nullptr;
    ASSERT_EQ(sqlite3_open(path.c_str(), &db), SQLITE_OK);
    EXPECT_EQ(sqlite3_exec(db, statements, nullptr, nullptr, nullptr), SQLITE_OK)
        << sqlite3_errmsg(db);
    sqlite3_close(db);
}

// The schema version the file says it has; -1 when it cannot be read.
inline int user_version(const std::string &path) {
    sqlite3 *db = nullptr;
    int version = -1;
    sqlite3_stmt *st = nullptr;
    if (sqlite3_open(path.c_str(), &db) == SQLITE_OK &&
        sqlite3_prepare_v2(db, "PRAGMA user_version", -1, &st, nullptr) == SQLITE_OK &&
        sqlite3_step(st) == SQLITE_ROW)
        version = sqlite3_column_int(st, 0);
    sqlite3_finalize(st);
    sqlite3_close(db);
    return version;
}

} // namespace cabinetd::test_support
