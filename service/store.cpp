#include "service/store.h"

#include <sodium.h>
#include <sqlite3.h>

#include <chrono>

namespace pinleaf {

namespace {

const char kSchema[] = R"sql(
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
)sql";

int64_t SystemNowMs() {
  using namespace std::chrono;
  return duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
}

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

void Exec(sqlite3* db, const char* sql) {
  char* error = nullptr;
  if (sqlite3_exec(db, sql, nullptr, nullptr, &error) != SQLITE_OK) {
    std::string message = error ? error : sqlite3_errmsg(db);
    sqlite3_free(error);
    throw EStoreError("database: " + message);
  }
}

std::string HashPassword(std::string_view password) {
  char hash[crypto_pwhash_STRBYTES];
  if (crypto_pwhash_str(hash, password.data(), password.size(), crypto_pwhash_OPSLIMIT_INTERACTIVE,
                        crypto_pwhash_MEMLIMIT_INTERACTIVE) != 0)
    throw EStoreError("out of memory while hashing a password");
  return hash;
}

bool VerifyPassword(const std::string& hash, std::string_view password) {
  return crypto_pwhash_str_verify(hash.c_str(), password.data(), password.size()) == 0;
}

std::string ToHex(const unsigned char* bytes, size_t size) {
  std::string hex(size * 2 + 1, '\0');
  sodium_bin2hex(hex.data(), hex.size(), bytes, size);
  hex.pop_back();
  return hex;
}

std::string TokenHash(std::string_view token) {
  unsigned char digest[32];
  crypto_generichash(digest, sizeof digest, reinterpret_cast<const unsigned char*>(token.data()), token.size(), nullptr,
                     0);
  return ToHex(digest, sizeof digest);
}

}  // namespace

std::string CheckAccount(std::string_view name, std::string_view password) {
  if (name.empty()) return "The ID is empty.";
  if (name.size() > kMaxUserNameBytes) return "The ID is longer than 100 bytes.";
  if (!IsValidUtf8(name)) return "The ID is not UTF-8 text.";
  for (char c : name) {
    auto b = static_cast<unsigned char>(c);
    if (b < 0x20 || b == 0x7F) return "The ID holds a control character.";
  }
  if (name.front() == ' ' || name.back() == ' ') return "The ID begins or ends with a blank.";
  if (password.empty()) return "The password is empty.";
  if (password.size() > kMaxPasswordBytes) return "The password is longer than 1024 bytes.";
  return {};
}

TNoteStore::TNoteStore(const std::string& path) : now_ms(SystemNowMs) {
  if (sodium_init() < 0) throw EStoreError("the crypto library cannot start");
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
    Exec(db_, "PRAGMA journal_mode = WAL;");
    Exec(db_, "PRAGMA synchronous = FULL;");
    Exec(db_, "PRAGMA foreign_keys = ON;");
    Exec(db_, kSchema);
  } catch (...) {
    sqlite3_close(db_);
    db_ = nullptr;
    throw;
  }
}

TNoteStore::~TNoteStore() { sqlite3_close(db_); }

std::optional<TUser> TNoteStore::CreateUser(std::string_view name, std::string_view password) {
  if (std::string why = CheckAccount(name, password); !why.empty()) throw EStoreError(why);
  std::string hash = HashPassword(password);
  std::lock_guard guard(lock_);
  TStatement s(db_, "INSERT INTO users(name, password_hash, created_ms) VALUES(?, ?, ?) ON CONFLICT(name) DO NOTHING");
  s.Bind(1, name).Bind(2, hash).Bind(3, now_ms()).Run();
  if (sqlite3_changes(db_) != 1) return std::nullopt;
  return TUser{sqlite3_last_insert_rowid(db_), std::string(name)};
}

bool TNoteStore::SetPassword(std::string_view name, std::string_view password) {
  if (std::string why = CheckAccount(name, password); !why.empty()) throw EStoreError(why);
  std::string hash = HashPassword(password);
  std::lock_guard guard(lock_);
  Exec(db_, "BEGIN");
  try {
    TStatement s(db_, "UPDATE users SET password_hash = ? WHERE name = ?");
    s.Bind(1, hash).Bind(2, name).Run();
    bool found = sqlite3_changes(db_) == 1;
    TStatement end(db_, "DELETE FROM sessions WHERE user_id = (SELECT id FROM users WHERE name = ?)");
    end.Bind(1, name).Run();
    Exec(db_, "COMMIT");
    return found;
  } catch (...) {
    sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
    throw;
  }
}

std::optional<std::pair<int64_t, std::string>> TNoteStore::FindUserHash(std::string_view name) {
  std::lock_guard guard(lock_);
  TStatement s(db_, "SELECT id, password_hash FROM users WHERE name = ?");
  s.Bind(1, name);
  if (!s.Step()) return std::nullopt;
  return std::make_pair(s.Int(0), s.Text(1));
}

std::optional<TUser> TNoteStore::CheckLogin(std::string_view name, std::string_view password) {
  auto found = FindUserHash(name);
  if (!found) {
    std::call_once(dummy_once_, [this] { dummy_hash_ = HashPassword("no such account"); });
    VerifyPassword(dummy_hash_, password);
    return std::nullopt;
  }
  if (!VerifyPassword(found->second, password)) return std::nullopt;
  return TUser{found->first, std::string(name)};
}

std::string TNoteStore::CreateSession(int64_t user_id) {
  unsigned char random[32];
  randombytes_buf(random, sizeof random);
  std::string token = ToHex(random, sizeof random);
  int64_t now = now_ms();
  std::lock_guard guard(lock_);
  TStatement purge(db_, "DELETE FROM sessions WHERE expires_ms <= ?");
  purge.Bind(1, now).Run();
  TStatement s(db_, "INSERT INTO sessions(token_hash, user_id, expires_ms) VALUES(?, ?, ?)");
  s.Bind(1, TokenHash(token)).Bind(2, user_id).Bind(3, now + kSessionLifetimeMs).Run();
  return token;
}

std::optional<TUser> TNoteStore::UserForSession(std::string_view token) {
  if (token.empty()) return std::nullopt;
  std::lock_guard guard(lock_);
  TStatement s(db_,
               "SELECT users.id, users.name FROM sessions JOIN users ON users.id = sessions.user_id "
               "WHERE sessions.token_hash = ? AND sessions.expires_ms > ?");
  s.Bind(1, TokenHash(token)).Bind(2, now_ms());
  if (!s.Step()) return std::nullopt;
  return TUser{s.Int(0), s.Text(1)};
}

void TNoteStore::DeleteSession(std::string_view token) {
  std::lock_guard guard(lock_);
  TStatement s(db_, "DELETE FROM sessions WHERE token_hash = ?");
  s.Bind(1, TokenHash(token)).Run();
}

int64_t TNoteStore::AddNote(int64_t user_id, const TNote& note) {
  std::lock_guard guard(lock_);
  TStatement s(db_, "INSERT INTO notes(user_id, title, body, color, paper_id, received_ms) VALUES(?, ?, ?, ?, ?, ?)");
  s.Bind(1, user_id).Bind(2, note.title).Bind(3, note.body);
  if (note.color)
    s.Bind(4, static_cast<int64_t>(*note.color));
  else
    s.BindNull(4);
  s.Bind(5, note.paper_id).Bind(6, now_ms()).Run();
  return sqlite3_last_insert_rowid(db_);
}

std::vector<TStoredNote> TNoteStore::ListNotes(int64_t user_id, int64_t limit, int64_t offset) {
  std::lock_guard guard(lock_);
  TStatement s(db_,
               "SELECT id, title, body, color, paper_id, received_ms FROM notes WHERE user_id = ? "
               "ORDER BY received_ms DESC, id DESC LIMIT ? OFFSET ?");
  s.Bind(1, user_id).Bind(2, limit).Bind(3, offset);
  std::vector<TStoredNote> notes;
  while (s.Step()) {
    TStoredNote n;
    n.id = s.Int(0);
    n.title = s.Text(1);
    n.body = s.Text(2);
    if (!s.IsNull(3)) n.color = static_cast<uint32_t>(s.Int(3));
    n.paper_id = s.Text(4);
    n.received_ms = s.Int(5);
    notes.push_back(std::move(n));
  }
  return notes;
}

int64_t TNoteStore::CountNotes(int64_t user_id) {
  std::lock_guard guard(lock_);
  TStatement s(db_, "SELECT COUNT(*) FROM notes WHERE user_id = ?");
  s.Bind(1, user_id);
  return s.Step() ? s.Int(0) : 0;
}

}  // namespace pinleaf
