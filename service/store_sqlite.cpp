#include "service/store_sqlite.h"

#include <fcntl.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <mutex>

namespace pinleaf {

namespace {

// One prepared statement; every value is bound, never spliced into the SQL.
class TStatement {
public:
  TStatement(sqlite3* db, const char* sql) : db_(db) {
    if (sqlite3_prepare_v2(db, sql, -1, &stmt_, nullptr) != SQLITE_OK) Raise();
  }
  ~TStatement() { sqlite3_finalize(stmt_); }
  TStatement(const TStatement&) = delete;
  TStatement& operator=(const TStatement&) = delete;

  TStatement& Bind(int index, std::string_view text) {
    Check(sqlite3_bind_text(stmt_, index, text.data(), static_cast<int>(text.size()), SQLITE_TRANSIENT));
    return *this;
  }
  TStatement& Bind(int index, int64_t value) {
    Check(sqlite3_bind_int64(stmt_, index, value));
    return *this;
  }
  TStatement& BindNull(int index) {
    Check(sqlite3_bind_null(stmt_, index));
    return *this;
  }

  // True while a row is available.
  bool Step() {
    int rc = sqlite3_step(stmt_);
    if (rc == SQLITE_ROW) return true;
    if (rc == SQLITE_DONE) return false;
    Raise();
  }
  void Run() {
    while (Step()) {
    }
  }

  int64_t Int(int column) const { return sqlite3_column_int64(stmt_, column); }
  bool IsNull(int column) const { return sqlite3_column_type(stmt_, column) == SQLITE_NULL; }
  std::string Text(int column) const {
    const auto* p = reinterpret_cast<const char*>(sqlite3_column_text(stmt_, column));
    return p ? std::string(p, static_cast<size_t>(sqlite3_column_bytes(stmt_, column))) : std::string();
  }

private:
  void Check(int rc) {
    if (rc != SQLITE_OK) Raise();
  }
  [[noreturn]] void Raise() { throw EStoreError(std::string("database: ") + sqlite3_errmsg(db_)); }

  sqlite3* db_;
  sqlite3_stmt* stmt_ = nullptr;
};

// `patienceMs` is for a statement SQLite may refuse as "locked" without
// waiting for the lock itself: it is asked again every 10 ms for that long.
void Exec(sqlite3* db, const char* sql, int patienceMs = 0) {
  for (int waited = 0;; waited += 10) {
    char* error = nullptr;
    const int rc = sqlite3_exec(db, sql, nullptr, nullptr, &error);
    if (rc == SQLITE_OK) return;
    std::string message = error ? error : sqlite3_errmsg(db);
    sqlite3_free(error);
    if ((rc & 0xFF) != SQLITE_BUSY || waited >= patienceMs) throw EStoreError("database: " + message);
    sqlite3_sleep(10);
  }
}

// Runs `body` in one transaction taken for writing at once, so two processes
// on one file never both read before either writes.
template <typename F>
auto InTransaction(sqlite3* db, F body) {
  Exec(db, "BEGIN IMMEDIATE");
  try {
    if constexpr (std::is_void_v<decltype(body())>) {
      body();
      Exec(db, "COMMIT");
    } else {
      auto result = body();
      Exec(db, "COMMIT");
      return result;
    }
  } catch (...) {
    sqlite3_exec(db, "ROLLBACK", nullptr, nullptr, nullptr);
    throw;
  }
}

// The layout, one step per version. Files made before the version table
// existed hold version 1 or 2 without saying so: every step up to 2 is
// written so that it does nothing to what is already there.
void Migrate1(sqlite3* db) {
  Exec(db, R"sql(
CREATE TABLE IF NOT EXISTS users(
  id INTEGER PRIMARY KEY,
  name TEXT NOT NULL UNIQUE,
  password_hash TEXT NOT NULL,
  created_ms INTEGER NOT NULL);
CREATE TABLE IF NOT EXISTS sessions(
  token_hash TEXT PRIMARY KEY,
  user_id INTEGER NOT NULL REFERENCES users(id) ON DELETE CASCADE,
  expires_ms INTEGER NOT NULL);
CREATE TABLE IF NOT EXISTS notes(
  id INTEGER PRIMARY KEY,
  user_id INTEGER NOT NULL REFERENCES users(id) ON DELETE CASCADE,
  title TEXT NOT NULL,
  body TEXT NOT NULL,
  color INTEGER,
  paper_id TEXT NOT NULL,
  received_ms INTEGER NOT NULL);
CREATE INDEX IF NOT EXISTS notes_by_user ON notes(user_id, received_ms DESC, id DESC);
CREATE INDEX IF NOT EXISTS sessions_by_user ON sessions(user_id);
CREATE TABLE IF NOT EXISTS meta(
  name TEXT PRIMARY KEY,
  value TEXT NOT NULL);
)sql");
}

// Notes carry a hash of their body, so that a note sent twice (a retry after
// an answer that was lost) meets the unique index below and is stored once.
// Older notes keep NULL, which the index never counts as equal.
void Migrate2(sqlite3* db) {
  bool has_hash = false;
  {
    TStatement columns(db, "SELECT 1 FROM pragma_table_info('notes') WHERE name = 'body_hash'");
    has_hash = columns.Step();
  }
  if (!has_hash) Exec(db, "ALTER TABLE notes ADD COLUMN body_hash TEXT");
  Exec(db, "CREATE UNIQUE INDEX IF NOT EXISTS notes_once ON notes(user_id, paper_id, body_hash) WHERE paper_id <> '';");
}

// Failed sign-ins are kept with the data, so every instance counts them alike.
void Migrate3(sqlite3* db) {
  Exec(db, R"sql(
CREATE TABLE login_failures(
  key TEXT PRIMARY KEY,
  failures INTEGER NOT NULL,
  last_ms INTEGER NOT NULL,
  blocked_until_ms INTEGER NOT NULL);
CREATE INDEX login_failures_by_age ON login_failures(last_ms);
)sql");
}

void (*const kMigrations[])(sqlite3*) = {Migrate1, Migrate2, Migrate3};

// A note from a row that starts with id, title, body, color, paper_id, received_ms.
TStoredNote NoteOfRow(TStatement& s) {
  TStoredNote n;
  n.id = s.Int(0);
  n.title = s.Text(1);
  n.body = s.Text(2);
  if (!s.IsNull(3)) n.color = static_cast<uint32_t>(s.Int(3));
  n.paper_id = s.Text(4);
  n.received_ms = s.Int(5);
  return n;
}

class TSqliteStore : public TStoreBackend {
public:
  explicit TSqliteStore(const std::string& path);
  ~TSqliteStore() override { sqlite3_close(db_); }
  TSqliteStore(const TSqliteStore&) = delete;
  TSqliteStore& operator=(const TSqliteStore&) = delete;

  std::optional<int64_t> InsertUser(std::string_view name, const std::string& hash, int64_t created_ms) override {
    std::lock_guard guard(lock_);
    TStatement s(db_,
                 "INSERT INTO users(name, password_hash, created_ms) VALUES(?, ?, ?) ON CONFLICT(name) DO NOTHING");
    s.Bind(1, name).Bind(2, hash).Bind(3, created_ms).Run();
    if (sqlite3_changes(db_) != 1) return std::nullopt;
    return sqlite3_last_insert_rowid(db_);
  }

  bool ReplacePassword(std::string_view name, const std::string& hash) override {
    std::lock_guard guard(lock_);
    return InTransaction(db_, [&] {
      TStatement s(db_, "UPDATE users SET password_hash = ? WHERE name = ?");
      s.Bind(1, hash).Bind(2, name).Run();
      bool found = sqlite3_changes(db_) == 1;
      TStatement end(db_, "DELETE FROM sessions WHERE user_id = (SELECT id FROM users WHERE name = ?)");
      end.Bind(1, name).Run();
      return found;
    });
  }

  std::optional<std::pair<int64_t, std::string>> FindUserHash(std::string_view name) override {
    std::lock_guard guard(lock_);
    TStatement s(db_, "SELECT id, password_hash FROM users WHERE name = ?");
    s.Bind(1, name);
    if (!s.Step()) return std::nullopt;
    return std::make_pair(s.Int(0), s.Text(1));
  }

  void InsertSession(const std::string& token_hash, int64_t user_id, int64_t now_ms, int64_t expires_ms) override {
    std::lock_guard guard(lock_);
    TStatement purge(db_, "DELETE FROM sessions WHERE expires_ms <= ?");
    purge.Bind(1, now_ms).Run();
    TStatement s(db_, "INSERT INTO sessions(token_hash, user_id, expires_ms) VALUES(?, ?, ?)");
    s.Bind(1, token_hash).Bind(2, user_id).Bind(3, expires_ms).Run();
    TStatement oldest(db_,
                      "DELETE FROM sessions WHERE user_id = ? AND token_hash <> ? AND token_hash NOT IN "
                      "(SELECT token_hash FROM sessions WHERE user_id = ? AND token_hash <> ? "
                      "ORDER BY expires_ms DESC LIMIT ?)");
    oldest.Bind(1, user_id).Bind(2, token_hash).Bind(3, user_id).Bind(4, token_hash).Bind(5, kMaxSessionsPerUser - 1);
    oldest.Run();
  }

  std::optional<TUser> SessionUser(const std::string& token_hash, int64_t now_ms) override {
    std::lock_guard guard(lock_);
    TStatement s(db_,
                 "SELECT users.id, users.name FROM sessions JOIN users ON users.id = sessions.user_id "
                 "WHERE sessions.token_hash = ? AND sessions.expires_ms > ?");
    s.Bind(1, token_hash).Bind(2, now_ms);
    if (!s.Step()) return std::nullopt;
    return TUser{s.Int(0), s.Text(1)};
  }

  void DeleteSession(const std::string& token_hash) override {
    std::lock_guard guard(lock_);
    TStatement s(db_, "DELETE FROM sessions WHERE token_hash = ?");
    s.Bind(1, token_hash).Run();
  }

  int64_t InsertNote(int64_t user_id, const TNote& note, int64_t received_ms, const std::string& body_hash) override {
    std::lock_guard guard(lock_);
    TStatement s(db_,
                 "INSERT INTO notes(user_id, title, body, color, paper_id, received_ms, body_hash) "
                 "VALUES(?, ?, ?, ?, ?, ?, ?) ON CONFLICT DO NOTHING");
    s.Bind(1, user_id).Bind(2, note.title).Bind(3, note.body);
    if (note.color)
      s.Bind(4, static_cast<int64_t>(*note.color));
    else
      s.BindNull(4);
    s.Bind(5, note.paper_id).Bind(6, received_ms).Bind(7, body_hash).Run();
    if (sqlite3_changes(db_) == 1) return sqlite3_last_insert_rowid(db_);
    TStatement first(db_, "SELECT id FROM notes WHERE user_id = ? AND paper_id = ? AND body_hash = ?");
    first.Bind(1, user_id).Bind(2, note.paper_id).Bind(3, body_hash);
    if (!first.Step()) throw EStoreError("database: a note neither stored nor found");
    return first.Int(0);
  }

  std::vector<TStoredNote> ListNotes(int64_t user_id, int64_t limit, int64_t offset) override {
    std::lock_guard guard(lock_);
    TStatement s(db_,
                 "SELECT id, title, body, color, paper_id, received_ms FROM notes WHERE user_id = ? "
                 "ORDER BY received_ms DESC, id DESC LIMIT ? OFFSET ?");
    s.Bind(1, user_id).Bind(2, limit).Bind(3, offset);
    std::vector<TStoredNote> notes;
    while (s.Step()) {
      TStoredNote n = NoteOfRow(s);
      n.body_bytes = static_cast<int64_t>(n.body.size());
      notes.push_back(std::move(n));
    }
    return notes;
  }

  std::vector<TStoredNote> ListNoteHeads(int64_t user_id, int64_t before_ms, int64_t before_id, int64_t limit,
                                         size_t body_bytes) override {
    std::lock_guard guard(lock_);
    // Only the first bytes of each body leave the database; a page of long
    // notes costs no more memory than a page of short ones.
    TStatement s(db_,
                 "SELECT id, title, CAST(substr(CAST(body AS BLOB), 1, ?) AS TEXT), color, paper_id, received_ms, "
                 "length(CAST(body AS BLOB)) FROM notes WHERE user_id = ? "
                 "AND (? = 0 OR received_ms < ? OR (received_ms = ? AND id < ?)) "
                 "ORDER BY received_ms DESC, id DESC LIMIT ?");
    s.Bind(1, static_cast<int64_t>(body_bytes)).Bind(2, user_id).Bind(3, before_id).Bind(4, before_ms);
    s.Bind(5, before_ms).Bind(6, before_id).Bind(7, limit);
    std::vector<TStoredNote> notes;
    while (s.Step()) {
      TStoredNote n = NoteOfRow(s);
      n.body_bytes = s.Int(6);
      notes.push_back(std::move(n));
    }
    return notes;
  }

  std::optional<TStoredNote> GetNote(int64_t user_id, int64_t note_id) override {
    std::lock_guard guard(lock_);
    TStatement s(db_, "SELECT id, title, body, color, paper_id, received_ms FROM notes WHERE user_id = ? AND id = ?");
    s.Bind(1, user_id).Bind(2, note_id);
    if (!s.Step()) return std::nullopt;
    TStoredNote n = NoteOfRow(s);
    n.body_bytes = static_cast<int64_t>(n.body.size());
    return n;
  }

  bool DeleteNote(int64_t user_id, int64_t note_id) override {
    std::lock_guard guard(lock_);
    TStatement s(db_, "DELETE FROM notes WHERE user_id = ? AND id = ?");
    s.Bind(1, user_id).Bind(2, note_id).Run();
    return sqlite3_changes(db_) == 1;
  }

  int64_t CountNotes(int64_t user_id) override {
    std::lock_guard guard(lock_);
    TStatement s(db_, "SELECT COUNT(*) FROM notes WHERE user_id = ?");
    s.Bind(1, user_id);
    return s.Step() ? s.Int(0) : 0;
  }

  std::string KeepValue(const std::string& key, const std::string& candidate) override {
    std::lock_guard guard(lock_);
    TStatement add(db_, "INSERT INTO meta(name, value) VALUES(?, ?) ON CONFLICT(name) DO NOTHING");
    add.Bind(1, key).Bind(2, candidate).Run();
    TStatement s(db_, "SELECT value FROM meta WHERE name = ?");
    s.Bind(1, key);
    if (!s.Step()) throw EStoreError("database: the value " + key + " is missing");
    return s.Text(0);
  }

  std::optional<TThrottleEntry> ThrottleEntry(std::string_view key) override {
    std::lock_guard guard(lock_);
    return ReadThrottle(key);
  }

  void UpdateThrottle(std::string_view key,
                      const std::function<TThrottleEntry(const std::optional<TThrottleEntry>&)>& change) override {
    std::lock_guard guard(lock_);
    InTransaction(db_, [&] {
      TThrottleEntry e = change(ReadThrottle(key));
      TStatement s(db_,
                   "INSERT INTO login_failures(key, failures, last_ms, blocked_until_ms) VALUES(?, ?, ?, ?) "
                   "ON CONFLICT(key) DO UPDATE SET failures = excluded.failures, last_ms = excluded.last_ms, "
                   "blocked_until_ms = excluded.blocked_until_ms");
      s.Bind(1, key).Bind(2, static_cast<int64_t>(e.failures)).Bind(3, e.last_ms).Bind(4, e.blocked_until_ms).Run();
    });
  }

  void ForgetThrottle(std::string_view key) override {
    std::lock_guard guard(lock_);
    TStatement s(db_, "DELETE FROM login_failures WHERE key = ?");
    s.Bind(1, key).Run();
  }

  void PurgeThrottle(int64_t last_before_ms) override {
    std::lock_guard guard(lock_);
    TStatement s(db_, "DELETE FROM login_failures WHERE last_ms < ?");
    s.Bind(1, last_before_ms).Run();
  }

private:
  std::optional<TThrottleEntry> ReadThrottle(std::string_view key) {
    TStatement s(db_, "SELECT failures, last_ms, blocked_until_ms FROM login_failures WHERE key = ?");
    s.Bind(1, key);
    if (!s.Step()) return std::nullopt;
    return TThrottleEntry{static_cast<int>(s.Int(0)), s.Int(1), s.Int(2)};
  }

  void Migrate(const std::string& path);

  std::mutex lock_;
  sqlite3* db_ = nullptr;
};

TSqliteStore::TSqliteStore(const std::string& path) {
  if (path != ":memory:" && !path.empty()) {
    // Created here for its owner only; SQLite gives its journal files the
    // mode of the database file. An existing file readable by others is
    // narrowed to its owner too.
    int fd = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0) throw EStoreError("cannot open the database " + path + " for writing: " + std::strerror(errno));
    struct stat st {};
    if (fstat(fd, &st) == 0 && (st.st_mode & 077) != 0 && S_ISREG(st.st_mode)) fchmod(fd, st.st_mode & 0700);
    close(fd);
  }
  if (sqlite3_open_v2(path.c_str(), &db_, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_FULLMUTEX,
                      nullptr) != SQLITE_OK) {
    std::string message = db_ ? sqlite3_errmsg(db_) : "out of memory";
    sqlite3_close(db_);
    db_ = nullptr;
    throw EStoreError("cannot open the database " + path + ": " + message);
  }
  try {
    sqlite3_busy_timeout(db_, 5000);
    // A write-ahead log, synced at every commit: a note is on the disk before
    // its upload is answered, across a crash of the process and a power loss
    // alike, and a commit costs one sync of the log instead of the rollback
    // journal's several (journal, database, journal removed).
    // Turning a fresh file to the log takes it for itself a moment; SQLite
    // answers "locked" at once there, without waiting, when another process
    // opens the file at the same time.
    Exec(db_, "PRAGMA journal_mode = WAL;", 5000);
    Exec(db_, "PRAGMA synchronous = FULL;");
    Exec(db_, "PRAGMA foreign_keys = ON;");
    // A database that opens but cannot be written (a read-only file or
    // folder, a full disk) is found now, not at the first note.
    if (sqlite3_db_readonly(db_, "main") == 1) throw EStoreError("the database " + path + " is read-only");
    Migrate(path);
    TStatement started(db_,
                       "INSERT INTO meta(name, value) VALUES('started_ms', CAST(strftime('%s') AS INTEGER) * 1000) "
                       "ON CONFLICT(name) DO UPDATE SET value = excluded.value");
    started.Run();
  } catch (const EStoreError& e) {
    sqlite3_close(db_);
    db_ = nullptr;
    throw EStoreError(std::string(e.what()) + " (" + path + ")");
  } catch (...) {
    sqlite3_close(db_);
    db_ = nullptr;
    throw;
  }
}

void TSqliteStore::Migrate(const std::string& path) {
  // Each step and the version it reaches commit together; a second process
  // opening the same file at once waits for the write lock and then finds
  // the steps done.
  InTransaction(db_, [&] {
    Exec(db_, "CREATE TABLE IF NOT EXISTS schema_version(version INTEGER PRIMARY KEY, applied_ms INTEGER NOT NULL)");
    int64_t version = 0;
    {
      TStatement s(db_, "SELECT COALESCE(MAX(version), 0) FROM schema_version");
      if (s.Step()) version = s.Int(0);
    }
    const int64_t known = static_cast<int64_t>(std::size(kMigrations));
    if (version > known)
      throw EStoreError("the database " + path + " has layout version " + std::to_string(version) +
                        ", newer than this program knows (" + std::to_string(known) + ")");
    for (int64_t v = version + 1; v <= known; ++v) {
      kMigrations[v - 1](db_);
      TStatement done(
          db_, "INSERT INTO schema_version(version, applied_ms) VALUES(?, CAST(strftime('%s') AS INTEGER) * 1000)");
      done.Bind(1, v).Run();
    }
  });
}

}  // namespace

std::unique_ptr<TStoreBackend> OpenSqliteStore(const std::string& path) { return std::make_unique<TSqliteStore>(path); }

}  // namespace pinleaf
