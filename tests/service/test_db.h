// A database of a test's own on either backend of the service's store.
#pragma once

#include <libpq-fe.h>
#include <sqlite3.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

namespace pinleaf::test {

// Where a test keeps its data: an SQLite file of its own, or a schema of its
// own in the PostgreSQL database that libpq's PG* variables name (PGHOST,
// PGPORT, PGUSER, PGDATABASE, PGPASSWORD). Both are removed afterwards.
class TestDb {
public:
  enum Kind { kSqlite, kPostgres };

  explicit TestDb(Kind kind) : kind_(kind) {
    static int serial = 0;
    std::string name = "pinleaf_t" + std::to_string(getpid()) + "_" + std::to_string(++serial);
    if (kind_ == kSqlite) {
      path_ = (std::filesystem::temp_directory_path() / (name + ".db")).string();
      return;
    }
    bool named = false;
    for (const char* v : {"PGHOST", "PGPORT", "PGUSER", "PGDATABASE", "PGSERVICE"}) named = named || std::getenv(v);
    if (!named) {
      missing_ =
          "no PostgreSQL cluster named: set PGHOST, PGPORT, PGUSER, PGDATABASE and PGPASSWORD (./test.sh "
          "does for its own; by hand: scripts/pg-cluster.sh start build/pg && eval \"$(scripts/pg-cluster.sh "
          "env build/pg)\")";
      return;
    }
    admin_ = PQconnectdb("");
    if (PQstatus(admin_) != CONNECTION_OK) {
      error_ =
          std::string("the PostgreSQL cluster the PG* variables name cannot be reached: ") + PQerrorMessage(admin_);
      return;
    }
    PQsetNoticeProcessor(
        admin_, [](void*, const char*) {}, nullptr);
    schema_ = name;
    if (!Run("CREATE SCHEMA " + schema_) || !Run("SET search_path TO " + schema_)) schema_.clear();
  }
  ~TestDb() {
    if (kind_ == kSqlite) {
      for (const char* tail : {"", "-wal", "-shm", "-journal"}) std::filesystem::remove(path_ + tail);
      return;
    }
    if (!schema_.empty()) Run("DROP SCHEMA " + schema_ + " CASCADE");
    for (const std::string& role : roles_) {
      Run("SELECT pg_terminate_backend(pid) FROM pg_stat_activity WHERE usename = '" + role + "'");
      Run("DROP ROLE IF EXISTS " + role);
    }
    if (admin_) PQfinish(admin_);
  }
  TestDb(const TestDb&) = delete;
  TestDb& operator=(const TestDb&) = delete;

  // Why a case cannot run here (skip), and what went wrong where it should (fail).
  const std::string& Missing() const { return missing_; }
  const std::string& Error() const { return error_; }

  // The service's --db for this database; on PostgreSQL as `user` when given.
  std::string DbOption(const std::string& user = "") const {
    if (kind_ == kSqlite) return path_;
    return "postgresql://" + (user.empty() ? "" : user + "@") + "?options=-csearch_path%3D" + schema_;
  }
  const std::string& Path() const { return path_; }

  // Runs SQL as the test (the cluster's user); false when it fails.
  bool Run(const std::string& sql) { return Number(sql, true) != -2; }
  // The first column of the first row `sql` gives, as a number; -1 when none, -2 when it fails.
  int64_t Number(const std::string& sql, bool quiet = false) {
    if (kind_ == kPostgres) {
      PGresult* r = PQexec(admin_, sql.c_str());
      int64_t n = -1;
      ExecStatusType st = PQresultStatus(r);
      if (st != PGRES_COMMAND_OK && st != PGRES_TUPLES_OK) {
        if (!quiet) error_ = PQerrorMessage(admin_);
        n = -2;
      } else if (PQntuples(r) > 0 && !PQgetisnull(r, 0, 0)) {
        n = std::atoll(PQgetvalue(r, 0, 0));
      }
      PQclear(r);
      return n;
    }
    sqlite3* db = nullptr;
    sqlite3_stmt* s = nullptr;
    int64_t n = -2;
    if (sqlite3_open(path_.c_str(), &db) == SQLITE_OK &&
        sqlite3_prepare_v2(db, sql.c_str(), -1, &s, nullptr) == SQLITE_OK) {
      int rc = sqlite3_step(s);
      n = rc == SQLITE_ROW    ? (sqlite3_column_type(s, 0) == SQLITE_NULL ? -1 : sqlite3_column_int64(s, 0))
          : rc == SQLITE_DONE ? -1
                              : -2;
    }
    sqlite3_finalize(s);
    sqlite3_close(db);
    return n;
  }

  // A role of the test's own that may log in with `password` and use its
  // schema; empty when the cluster's user may not create roles.
  std::string AddRole(const std::string& password) {
    std::string role = schema_ + "_r" + std::to_string(roles_.size());
    if (!Run("CREATE ROLE " + role + " LOGIN PASSWORD '" + password + "'")) return {};
    roles_.push_back(role);
    if (!Run("GRANT USAGE, CREATE ON SCHEMA " + schema_ + " TO " + role)) return {};
    return role;
  }

private:
  Kind kind_;
  std::string path_, schema_, missing_, error_;
  PGconn* admin_ = nullptr;
  std::vector<std::string> roles_;
};

}  // namespace pinleaf::test
