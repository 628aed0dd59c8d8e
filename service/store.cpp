#include "service/store.h"

#include <fcntl.h>
#include <sodium.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unicode/uchar.h>
#include <unicode/unorm2.h>
#include <unicode/ustring.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>

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
CREATE TABLE IF NOT EXISTS meta(
  name TEXT PRIMARY KEY,
  value TEXT NOT NULL);
)sql";

// Notes carry a hash of their body, so that a note sent twice (a retry after
// an answer that was lost) meets the unique index below and is stored once.
// Databases from before the column have it added; their old notes keep NULL,
// which the index never counts as equal.
const char kNoteOnce[] = R"sql(
CREATE UNIQUE INDEX IF NOT EXISTS notes_once ON notes(user_id, paper_id, body_hash) WHERE paper_id <> '';
)sql";

// Verified against for unknown names, so a sign-in with an unknown name takes
// as long as one with a wrong password. Same cost parameters as real hashes.
const char kNoSuchAccountHash[] =
    "$argon2id$v=19$m=65536,t=2,p=1$J4f883yniwhxxp1xkIl2kw$mrI4whXkOi5n0FaHp3dgq74QgC2O3QMxw54N7CRUKhI";

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

}  // namespace

// A turn to run one password hash; refuses at once when too many wait.
class THashTurn {
public:
  explicit THashTurn(TNoteStore& store) : store_(store) {
    std::unique_lock guard(store_.hash_lock_);
    if (store_.hashes_running_ >= kMaxHashesRunning) {
      if (store_.hashes_waiting_ >= kMaxHashesWaiting) throw EStoreBusy("too many sign-ins at once");
      ++store_.hashes_waiting_;
      store_.hash_turn_.wait(guard, [this] { return store_.hashes_running_ < kMaxHashesRunning; });
      --store_.hashes_waiting_;
    }
    ++store_.hashes_running_;
  }
  ~THashTurn() {
    {
      std::lock_guard guard(store_.hash_lock_);
      --store_.hashes_running_;
    }
    store_.hash_turn_.notify_one();
  }
  THashTurn(const THashTurn&) = delete;
  THashTurn& operator=(const THashTurn&) = delete;

private:
  TNoteStore& store_;
};

namespace {

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

namespace {

std::u16string ToUtf16(std::string_view text) {
  std::u16string out(text.size(), u'\0');
  int32_t length = 0;
  UErrorCode status = U_ZERO_ERROR;
  u_strFromUTF8(out.data(), static_cast<int32_t>(out.size()), &length, text.data(), static_cast<int32_t>(text.size()),
                &status);
  out.resize(U_SUCCESS(status) ? static_cast<size_t>(length) : 0);
  return out;
}

std::string ToUtf8(const std::u16string& text) {
  std::string out(text.size() * 3, '\0');
  int32_t length = 0;
  UErrorCode status = U_ZERO_ERROR;
  u_strToUTF8(out.data(), static_cast<int32_t>(out.size()), &length, text.data(), static_cast<int32_t>(text.size()),
              &status);
  out.resize(U_SUCCESS(status) ? static_cast<size_t>(length) : 0);
  return out;
}

// Characters that show nothing, or nothing of their own, so two names that
// differ only by them would look alike.
bool IsInvisible(UChar32 c) {
  return u_charType(c) == U_FORMAT_CHAR || u_hasBinaryProperty(c, UCHAR_DEFAULT_IGNORABLE_CODE_POINT) ||
         u_charType(c) == U_CONTROL_CHAR;
}

}  // namespace

std::string NormaliseAccountName(std::string_view name) {
  if (name.empty() || !IsValidUtf8(name)) return std::string(name);
  UErrorCode status = U_ZERO_ERROR;
  const UNormalizer2* nfc = unorm2_getNFCInstance(&status);
  std::u16string source = ToUtf16(name);
  if (U_FAILURE(status) || source.empty()) return std::string(name);
  std::u16string normal(source.size() * 3 + 16, u'\0');
  int32_t length = unorm2_normalize(nfc, source.data(), static_cast<int32_t>(source.size()), normal.data(),
                                    static_cast<int32_t>(normal.size()), &status);
  if (U_FAILURE(status)) return std::string(name);
  normal.resize(static_cast<size_t>(length));
  return ToUtf8(normal);
}

std::string CheckAccount(std::string_view name, std::string_view password) {
  if (name.empty()) return "The ID is empty.";
  if (name.size() > kMaxUserNameBytes) return "The ID is longer than 100 bytes.";
  if (!IsValidUtf8(name)) return "The ID is not UTF-8 text.";
  std::u16string text = ToUtf16(name);
  UChar32 first = 0, last = 0;
  for (size_t i = 0; i < text.size();) {
    UChar32 c;
    U16_NEXT(text.data(), i, text.size(), c);
    if (u_charType(c) == U_CONTROL_CHAR) return "The ID holds a control character.";
    if (IsInvisible(c)) return "The ID holds an invisible formatting character.";
    if (i == static_cast<size_t>(U16_LENGTH(c))) first = c;
    last = c;
  }
  if (u_isUWhiteSpace(first) || u_isUWhiteSpace(last)) return "The ID begins or ends with a blank.";
  if (NormaliseAccountName(name) != name) return "The ID is not in normalisation form C.";
  if (password.empty()) return "The password is empty.";
  if (password.size() > kMaxPasswordBytes) return "The password is longer than 1024 bytes.";
  return {};
}

TNoteStore::TNoteStore(const std::string& path) : now_ms(SystemNowMs) {
  if (sodium_init() < 0) throw EStoreError("the crypto library cannot start");
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
    Exec(db_, "PRAGMA journal_mode = WAL;");
    Exec(db_, "PRAGMA synchronous = FULL;");
    Exec(db_, "PRAGMA foreign_keys = ON;");
    Exec(db_, kSchema);
    bool has_hash = false;
    {
      TStatement columns(db_, "SELECT 1 FROM pragma_table_info('notes') WHERE name = 'body_hash'");
      has_hash = columns.Step();
    }
    if (!has_hash) Exec(db_, "ALTER TABLE notes ADD COLUMN body_hash TEXT");
    Exec(db_, kNoteOnce);
    // A database that opens but cannot be written (a read-only file or
    // folder, a full disk) is found now, not at the first note.
    if (sqlite3_db_readonly(db_, "main") == 1) throw EStoreError("the database " + path + " is read-only");
    TStatement started(db_,
                       "INSERT INTO meta(name, value) VALUES('started_ms', ?) "
                       "ON CONFLICT(name) DO UPDATE SET value = excluded.value");
    started.Bind(1, std::to_string(now_ms())).Run();
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

TNoteStore::~TNoteStore() { sqlite3_close(db_); }

std::optional<TUser> TNoteStore::CreateUser(std::string_view given, std::string_view password) {
  std::string normal = NormaliseAccountName(given);
  std::string_view name = normal;
  if (std::string why = CheckAccount(name, password); !why.empty()) throw EStoreError(why);
  std::string hash;
  {
    THashTurn turn(*this);
    hash = HashPassword(password);
  }
  std::lock_guard guard(lock_);
  TStatement s(db_, "INSERT INTO users(name, password_hash, created_ms) VALUES(?, ?, ?) ON CONFLICT(name) DO NOTHING");
  s.Bind(1, name).Bind(2, hash).Bind(3, now_ms()).Run();
  if (sqlite3_changes(db_) != 1) return std::nullopt;
  return TUser{sqlite3_last_insert_rowid(db_), std::string(name)};
}

bool TNoteStore::SetPassword(std::string_view given, std::string_view password) {
  std::string normal = NormaliseAccountName(given);
  std::string_view name = normal;
  if (std::string why = CheckAccount(name, password); !why.empty()) throw EStoreError(why);
  std::string hash;
  {
    THashTurn turn(*this);
    hash = HashPassword(password);
  }
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

std::optional<TUser> TNoteStore::CheckLogin(std::string_view given, std::string_view password) {
  // Names are stored in form C; one kept from before that rule is still found as it was typed.
  std::string name = NormaliseAccountName(given);
  auto found = FindUserHash(name);
  if (!found && name != given) {
    found = FindUserHash(given);
    if (found) name = std::string(given);
  }
  THashTurn turn(*this);
  if (!found) {
    VerifyPassword(kNoSuchAccountHash, password);
    return std::nullopt;
  }
  if (!VerifyPassword(found->second, password)) return std::nullopt;
  return TUser{found->first, name};
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
  std::string body_hash = TokenHash(note.title + '\0' + note.body);
  std::lock_guard guard(lock_);
  TStatement s(db_,
               "INSERT INTO notes(user_id, title, body, color, paper_id, received_ms, body_hash) "
               "VALUES(?, ?, ?, ?, ?, ?, ?) ON CONFLICT DO NOTHING");
  s.Bind(1, user_id).Bind(2, note.title).Bind(3, note.body);
  if (note.color)
    s.Bind(4, static_cast<int64_t>(*note.color));
  else
    s.BindNull(4);
  s.Bind(5, note.paper_id).Bind(6, now_ms()).Bind(7, body_hash).Run();
  if (sqlite3_changes(db_) == 1) return sqlite3_last_insert_rowid(db_);
  TStatement first(db_, "SELECT id FROM notes WHERE user_id = ? AND paper_id = ? AND body_hash = ?");
  first.Bind(1, user_id).Bind(2, note.paper_id).Bind(3, body_hash);
  if (!first.Step()) throw EStoreError("database: a note neither stored nor found");
  return first.Int(0);
}

std::vector<TStoredNote> TNoteStore::ListNotes(int64_t user_id, int64_t limit, int64_t offset) {
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

std::vector<TStoredNote> TNoteStore::ListNotePreviews(int64_t user_id, int64_t before_ms, int64_t before_id,
                                                      int64_t limit, size_t preview_bytes) {
  std::lock_guard guard(lock_);
  // Only the first bytes of each body leave the database; a page of long
  // notes costs no more memory than a page of short ones.
  TStatement s(db_,
               "SELECT id, title, CAST(substr(CAST(body AS BLOB), 1, ?) AS TEXT), color, paper_id, received_ms, "
               "length(CAST(body AS BLOB)) FROM notes WHERE user_id = ? "
               "AND (? = 0 OR received_ms < ? OR (received_ms = ? AND id < ?)) "
               "ORDER BY received_ms DESC, id DESC LIMIT ?");
  s.Bind(1, static_cast<int64_t>(preview_bytes + 4)).Bind(2, user_id).Bind(3, before_id).Bind(4, before_ms);
  s.Bind(5, before_ms).Bind(6, before_id).Bind(7, limit);
  std::vector<TStoredNote> notes;
  while (s.Step()) {
    TStoredNote n = NoteOfRow(s);
    n.body_bytes = s.Int(6);
    // Cut at a character boundary: never in the middle of a UTF-8 sequence.
    if (n.body.size() > preview_bytes) {
      size_t cut = preview_bytes;
      while (cut > 0 && (static_cast<unsigned char>(n.body[cut]) & 0xC0) == 0x80) --cut;
      n.body.resize(cut);
    }
    notes.push_back(std::move(n));
  }
  return notes;
}

std::optional<TStoredNote> TNoteStore::GetNote(int64_t user_id, int64_t note_id) {
  std::lock_guard guard(lock_);
  TStatement s(db_, "SELECT id, title, body, color, paper_id, received_ms FROM notes WHERE user_id = ? AND id = ?");
  s.Bind(1, user_id).Bind(2, note_id);
  if (!s.Step()) return std::nullopt;
  TStoredNote n = NoteOfRow(s);
  n.body_bytes = static_cast<int64_t>(n.body.size());
  return n;
}

bool TNoteStore::DeleteNote(int64_t user_id, int64_t note_id) {
  std::lock_guard guard(lock_);
  TStatement s(db_, "DELETE FROM notes WHERE user_id = ? AND id = ?");
  s.Bind(1, user_id).Bind(2, note_id).Run();
  return sqlite3_changes(db_) == 1;
}

std::string TNoteStore::Secret(std::string_view name) {
  unsigned char random[32];
  randombytes_buf(random, sizeof random);
  std::string key = "secret:" + std::string(name);
  std::lock_guard guard(lock_);
  TStatement add(db_, "INSERT INTO meta(name, value) VALUES(?, ?) ON CONFLICT(name) DO NOTHING");
  add.Bind(1, key).Bind(2, ToHex(random, sizeof random)).Run();
  TStatement s(db_, "SELECT value FROM meta WHERE name = ?");
  s.Bind(1, key);
  if (!s.Step()) throw EStoreError("database: the secret " + std::string(name) + " is missing");
  return s.Text(0);
}

int64_t TNoteStore::CountNotes(int64_t user_id) {
  std::lock_guard guard(lock_);
  TStatement s(db_, "SELECT COUNT(*) FROM notes WHERE user_id = ?");
  s.Bind(1, user_id);
  return s.Step() ? s.Int(0) : 0;
}

}  // namespace pinleaf
