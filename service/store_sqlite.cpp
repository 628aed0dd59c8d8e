#include "service/store_sqlite.h"

#include <fcntl.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <limits>
#include <map>
#include <mutex>

#include "service/search.h"

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
  sqlite3_stmt* Raw() const { return stmt_; }
  // Ready to run again with new values.
  void Reset() {
    sqlite3_reset(stmt_);
    sqlite3_clear_bindings(stmt_);
  }
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

// The trigrams (three characters in a row) a search word is looked up by:
// none for a word under three characters; for a long one, a dozen spread
// over it (its first and last among them) are as telling as all.
std::vector<std::string> Trigrams(std::string_view word) {
  std::vector<size_t> starts;
  for (size_t i = 0; i < word.size(); ++i) {
    if ((static_cast<unsigned char>(word[i]) & 0xC0) != 0x80) starts.push_back(i);
  }
  std::vector<std::string> out;
  if (starts.size() < 3) return out;
  const size_t count = starts.size() - 2;
  const size_t most = 12;
  for (size_t k = 0; k < std::min(count, most); ++k) {
    size_t at = count <= most ? k : k * (count - 1) / (most - 1);
    size_t end = at + 3 < starts.size() ? starts[at + 3] : word.size();
    std::string t(word.substr(starts[at], end - starts[at]));
    if (std::find(out.begin(), out.end(), t) == out.end()) out.push_back(std::move(t));
  }
  return out;
}

// One tag of a note, and its count on the account.
void AddTag(sqlite3* db, int64_t user_id, const std::string& tag, int64_t received_ms, int64_t note_id) {
  TStatement add(db, "INSERT OR IGNORE INTO note_tags(user_id, tag, received_ms, note_id) VALUES(?, ?, ?, ?)");
  add.Bind(1, user_id).Bind(2, tag).Bind(3, received_ms).Bind(4, note_id).Run();
  if (sqlite3_changes(db) != 1) return;
  TStatement count(db,
                   "INSERT INTO tag_counts(user_id, tag, notes) VALUES(?, ?, 1) "
                   "ON CONFLICT(user_id, tag) DO UPDATE SET notes = notes + 1");
  count.Bind(1, user_id).Bind(2, tag).Run();
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

// Search, tags and access tokens. The search index holds trigrams of title
// and body (any script, case folded) and is kept by triggers, so it changes
// in the transaction that changes the note; the tags of the notes already
// there are read out of their text once, here. The index keeps which notes
// hold a trigram, not where (detail none) nor their sizes (no ranking here):
// a search checks its candidates against the text anyway, and each note
// stored writes a third fewer pages.
void Migrate4(sqlite3* db) {
  Exec(db, R"sql(
CREATE VIRTUAL TABLE notes_fts USING fts5(title, body, content='notes', content_rowid='id', tokenize='trigram',
                                          detail='none', columnsize=0);
CREATE TRIGGER notes_fts_added AFTER INSERT ON notes BEGIN
  INSERT INTO notes_fts(rowid, title, body) VALUES(new.id, new.title, new.body);
END;
CREATE TRIGGER notes_fts_removed AFTER DELETE ON notes BEGIN
  INSERT INTO notes_fts(notes_fts, rowid, title, body) VALUES('delete', old.id, old.title, old.body);
END;
CREATE TRIGGER notes_fts_changed AFTER UPDATE OF title, body ON notes BEGIN
  INSERT INTO notes_fts(notes_fts, rowid, title, body) VALUES('delete', old.id, old.title, old.body);
  INSERT INTO notes_fts(rowid, title, body) VALUES(new.id, new.title, new.body);
END;
INSERT INTO notes_fts(notes_fts) VALUES('rebuild');
CREATE TABLE note_tags(
  user_id INTEGER NOT NULL,
  tag TEXT NOT NULL,
  received_ms INTEGER NOT NULL,
  note_id INTEGER NOT NULL REFERENCES notes(id) ON DELETE CASCADE,
  PRIMARY KEY(user_id, tag, received_ms, note_id)) WITHOUT ROWID;
CREATE INDEX note_tags_by_note ON note_tags(note_id);
CREATE TABLE tag_counts(
  user_id INTEGER NOT NULL REFERENCES users(id) ON DELETE CASCADE,
  tag TEXT NOT NULL,
  notes INTEGER NOT NULL,
  PRIMARY KEY(user_id, tag)) WITHOUT ROWID;
CREATE TABLE access_tokens(
  id INTEGER PRIMARY KEY,
  user_id INTEGER NOT NULL REFERENCES users(id) ON DELETE CASCADE,
  name TEXT NOT NULL,
  scope TEXT NOT NULL,
  token_hash TEXT NOT NULL UNIQUE,
  created_ms INTEGER NOT NULL,
  last_used_ms INTEGER NOT NULL DEFAULT 0);
CREATE INDEX access_tokens_by_user ON access_tokens(user_id);
)sql");
  TStatement notes(db, "SELECT id, user_id, received_ms, title, body FROM notes");
  while (notes.Step()) {
    for (const std::string& tag : ExtractTags(notes.Text(3), notes.Text(4)))
      AddTag(db, notes.Int(1), tag, notes.Int(2), notes.Int(0));
  }
}

// Devices asking to be paired with an account; every step in the database,
// so whichever process answers a step finds the others'.
void Migrate5(sqlite3* db) {
  Exec(db, R"sql(
CREATE TABLE device_grants(
  device_code_hash TEXT PRIMARY KEY,
  user_code TEXT NOT NULL UNIQUE,
  client_id TEXT NOT NULL,
  scope TEXT NOT NULL,
  token_name TEXT NOT NULL,
  address TEXT NOT NULL,
  created_ms INTEGER NOT NULL,
  expires_ms INTEGER NOT NULL,
  interval_s INTEGER NOT NULL,
  last_poll_ms INTEGER NOT NULL DEFAULT 0,
  state TEXT NOT NULL,
  user_id INTEGER REFERENCES users(id) ON DELETE CASCADE);
CREATE INDEX device_grants_by_expiry ON device_grants(expires_ms);
CREATE INDEX device_grants_by_address ON device_grants(address, expires_ms);
)sql");
}

void (*const kMigrations[])(sqlite3*) = {Migrate1, Migrate2, Migrate3, Migrate4, Migrate5};

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

  std::vector<TInsertResult> InsertNotes(int64_t user_id, const std::vector<TNewNote>& notes) override {
    std::lock_guard guard(lock_);
    return InTransaction(db_, [&] {
      std::vector<TInsertResult> results;
      results.reserve(notes.size());
      for (const TNewNote& n : notes) results.push_back(InsertOne(user_id, n));
      return results;
    });
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
    return InTransaction(db_, [&] {
      TStatement tags(db_, "DELETE FROM note_tags WHERE note_id = ? AND user_id = ? RETURNING tag");
      tags.Bind(1, note_id).Bind(2, user_id);
      std::vector<std::string> gone;
      while (tags.Step()) gone.push_back(tags.Text(0));
      for (const std::string& tag : gone) {
        TStatement count(db_, "UPDATE tag_counts SET notes = notes - 1 WHERE user_id = ? AND tag = ?");
        count.Bind(1, user_id).Bind(2, tag).Run();
      }
      if (!gone.empty()) Exec(db_, "DELETE FROM tag_counts WHERE notes <= 0");
      TStatement s(db_, "DELETE FROM notes WHERE user_id = ? AND id = ?");
      s.Bind(1, user_id).Bind(2, note_id).Run();
      return sqlite3_changes(db_) == 1;
    });
  }

  int64_t CountNotes(int64_t user_id) override {
    std::lock_guard guard(lock_);
    TStatement s(db_, "SELECT COUNT(*) FROM notes WHERE user_id = ?");
    s.Bind(1, user_id);
    return s.Step() ? s.Int(0) : 0;
  }

  TNoteQueryResult FindNotes(const TNoteQuery& q) override {
    std::lock_guard guard(lock_);
    TNoteQueryResult result;
    int64_t before_ms = q.before_id == 0 ? std::numeric_limits<int64_t>::max() : q.before_ms;
    int64_t before_id = q.before_id == 0 ? std::numeric_limits<int64_t>::max() : q.before_id;
    const size_t cut = q.body_bytes == 0 ? std::numeric_limits<size_t>::max() : q.body_bytes;
    auto take = [&](TStatement& s) {
      TStoredNote n;
      n.id = s.Int(0);
      n.title = s.Text(1);
      if (!s.IsNull(3)) n.color = static_cast<uint32_t>(s.Int(3));
      n.paper_id = s.Text(4);
      n.received_ms = s.Int(5);
      const auto* body = reinterpret_cast<const char*>(sqlite3_column_text(s.Raw(), 2));
      size_t bytes = static_cast<size_t>(sqlite3_column_bytes(s.Raw(), 2));
      n.body_bytes = static_cast<int64_t>(bytes);
      if (body) n.body.assign(body, std::min(bytes, cut));
      result.notes.push_back(std::move(n));
    };
    auto matches = [&](TStatement& s) {
      auto text = [&](int column) {
        const auto* p = reinterpret_cast<const char*>(sqlite3_column_text(s.Raw(), column));
        return p ? std::string_view(p, static_cast<size_t>(sqlite3_column_bytes(s.Raw(), column))) : std::string_view();
      };
      return NoteMatches(text(1), text(2), q.terms);
    };
    // Reads the statement's rows newest first, keeping the matching ones
    // until the page is full; tells whether it read every row it was given.
    auto read = [&](TStatement& s) {
      int64_t seen = 0;
      while (static_cast<int64_t>(result.notes.size()) < q.limit && s.Step()) {
        ++seen;
        result.scanned_to_ms = s.Int(5);
        result.scanned_to_id = s.Int(0);
        if (matches(s)) take(s);
      }
      return seen;
    };
    const char* columns = "n.id, n.title, n.body, n.color, n.paper_id, n.received_ms";
    if (!q.tag.empty()) {
      TStatement s(db_, (std::string("SELECT ") + columns +
                         " FROM note_tags t JOIN notes n ON n.id = t.note_id WHERE t.user_id = ? AND t.tag = ? "
                         "AND (t.received_ms, t.note_id) < (?, ?) ORDER BY t.received_ms DESC, t.note_id DESC LIMIT ?")
                            .c_str());
      int64_t bound = q.terms.empty() ? q.limit : q.scan_rows;
      s.Bind(1, q.user_id).Bind(2, q.tag).Bind(3, before_ms).Bind(4, before_id).Bind(5, bound);
      int64_t seen = read(s);
      result.scan_cut = !q.terms.empty() && seen == bound && static_cast<int64_t>(result.notes.size()) < q.limit;
      return result;
    }
    // The notes that hold every trigram of every word long enough to have
    // one: a few more than match (the trigrams may lie apart), which the
    // check of the text sorts out.
    bool indexable = false;
    std::string match;
    for (const std::string& term : q.terms) {
      for (const std::string& trigram : Trigrams(term)) {
        indexable = true;
        std::string quoted = "\"";
        for (char c : trigram) quoted += c == '"' ? std::string("\"\"") : std::string(1, c);
        match += (match.empty() ? "" : " AND ") + quoted + "\"";
      }
    }
    // Newest first through the account's notes: the whole answer when the
    // words are common (or there are none), and the only way for words too
    // short for the index.
    int64_t bound = q.terms.empty() ? q.limit : indexable ? kScanBeforeIndex : q.scan_rows;
    TStatement s(db_, (std::string("SELECT ") + columns +
                       " FROM notes n WHERE n.user_id = ? AND (n.received_ms, n.id) < (?, ?) "
                       "ORDER BY n.received_ms DESC, n.id DESC LIMIT ?")
                          .c_str());
    s.Bind(1, q.user_id).Bind(2, before_ms).Bind(3, before_id).Bind(4, bound);
    int64_t seen = read(s);
    bool more = seen == bound && static_cast<int64_t>(result.notes.size()) < q.limit;
    if (!more || q.terms.empty()) return result;
    if (!indexable) {
      result.scan_cut = true;
      return result;
    }
    // Rarer words: the notes the index names, older than those read already.
    TStatement found(db_, (std::string("SELECT ") + columns +
                           " FROM notes AS n NOT INDEXED WHERE n.id IN (SELECT rowid FROM notes_fts WHERE notes_fts "
                           "MATCH ?) AND n.user_id = ? AND (n.received_ms, n.id) < (?, ?) "
                           "ORDER BY n.received_ms DESC, n.id DESC")
                              .c_str());
    found.Bind(1, match).Bind(2, q.user_id).Bind(3, result.scanned_to_ms).Bind(4, result.scanned_to_id);
    read(found);
    return result;
  }

  std::vector<TTagCount> Tags(int64_t user_id, int64_t limit) override {
    std::lock_guard guard(lock_);
    TStatement s(db_, "SELECT tag, notes FROM tag_counts WHERE user_id = ? ORDER BY notes DESC, tag LIMIT ?");
    s.Bind(1, user_id).Bind(2, limit);
    std::vector<TTagCount> tags;
    while (s.Step()) tags.push_back({s.Text(0), s.Int(1)});
    return tags;
  }

  std::vector<TStoredNote> NotesAfter(int64_t user_id, int64_t after_ms, int64_t after_id, int64_t limit,
                                      size_t max_bytes) override {
    std::lock_guard guard(lock_);
    // First the sizes, then only as many whole notes as fit.
    TStatement heads(db_,
                     "SELECT id, received_ms, length(CAST(title AS BLOB)) + length(CAST(body AS BLOB)) FROM notes "
                     "WHERE user_id = ? AND (received_ms, id) > (?, ?) ORDER BY received_ms, id LIMIT ?");
    heads.Bind(1, user_id).Bind(2, after_ms).Bind(3, after_id).Bind(4, limit);
    int64_t last_ms = 0, last_id = 0;
    size_t bytes = 0;
    bool any = false;
    while (heads.Step()) {
      size_t size = static_cast<size_t>(heads.Int(2));
      if (any && bytes + size > max_bytes) break;
      any = true;
      bytes += size;
      last_id = heads.Int(0);
      last_ms = heads.Int(1);
    }
    std::vector<TStoredNote> notes;
    if (!any) return notes;
    TStatement s(db_,
                 "SELECT id, title, body, color, paper_id, received_ms FROM notes WHERE user_id = ? "
                 "AND (received_ms, id) > (?, ?) AND (received_ms, id) <= (?, ?) ORDER BY received_ms, id");
    s.Bind(1, user_id).Bind(2, after_ms).Bind(3, after_id).Bind(4, last_ms).Bind(5, last_id);
    while (s.Step()) {
      notes.push_back(NoteOfRow(s));
      notes.back().body_bytes = static_cast<int64_t>(notes.back().body.size());
    }
    return notes;
  }

  std::optional<int64_t> InsertToken(const TAccessToken& t, const std::string& token_hash, int64_t max) override {
    std::lock_guard guard(lock_);
    return InTransaction(db_, [&]() -> std::optional<int64_t> {
      TStatement count(db_, "SELECT COUNT(*) FROM access_tokens WHERE user_id = ?");
      count.Bind(1, t.user_id);
      if (count.Step() && count.Int(0) >= max) return std::nullopt;
      TStatement s(db_,
                   "INSERT INTO access_tokens(user_id, name, scope, token_hash, created_ms, last_used_ms) "
                   "VALUES(?, ?, ?, ?, ?, ?)");
      s.Bind(1, t.user_id).Bind(2, t.name).Bind(3, ScopeName(t.scope)).Bind(4, token_hash).Bind(5, t.created_ms);
      s.Bind(6, t.last_used_ms).Run();
      return sqlite3_last_insert_rowid(db_);
    });
  }

  std::vector<TAccessToken> ListTokens(int64_t user_id) override {
    std::lock_guard guard(lock_);
    TStatement s(db_,
                 "SELECT id, user_id, name, scope, created_ms, last_used_ms FROM access_tokens WHERE user_id = ? "
                 "ORDER BY created_ms DESC, id DESC");
    s.Bind(1, user_id);
    std::vector<TAccessToken> tokens;
    while (s.Step()) tokens.push_back(TokenOfRow(s, 0));
    return tokens;
  }

  bool DeleteToken(int64_t user_id, int64_t token_id) override {
    std::lock_guard guard(lock_);
    TStatement s(db_, "DELETE FROM access_tokens WHERE user_id = ? AND id = ?");
    s.Bind(1, user_id).Bind(2, token_id).Run();
    return sqlite3_changes(db_) == 1;
  }

  std::optional<std::pair<TUser, TAccessToken>> UseToken(const std::string& token_hash, int64_t now_ms,
                                                         int64_t note_use_after_ms) override {
    std::lock_guard guard(lock_);
    TStatement s(db_,
                 "SELECT t.id, t.user_id, t.name, t.scope, t.created_ms, t.last_used_ms, u.name FROM access_tokens t "
                 "JOIN users u ON u.id = t.user_id WHERE t.token_hash = ?");
    s.Bind(1, token_hash);
    if (!s.Step()) return std::nullopt;
    TAccessToken t = TokenOfRow(s, 0);
    TUser user{t.user_id, s.Text(6)};
    if (t.last_used_ms == 0 || now_ms - t.last_used_ms >= note_use_after_ms) {
      TStatement used(db_, "UPDATE access_tokens SET last_used_ms = ? WHERE id = ?");
      used.Bind(1, now_ms).Bind(2, t.id).Run();
      t.last_used_ms = now_ms;
    }
    return std::make_pair(user, t);
  }

  TDeviceStart InsertDeviceGrant(const TDeviceGrant& g, int64_t max_per_address, int64_t max_pending) override {
    std::lock_guard guard(lock_);
    return InTransaction(db_, [&] {
      TStatement purge(db_, "DELETE FROM device_grants WHERE expires_ms < ?");
      purge.Bind(1, g.created_ms - kDeviceGrantKeptMs).Run();
      TStatement mine(db_,
                      "SELECT COUNT(*) FROM device_grants WHERE address = ? AND expires_ms > ? AND state = 'pending'");
      mine.Bind(1, g.address).Bind(2, g.created_ms);
      if (mine.Step() && mine.Int(0) >= max_per_address) return TDeviceStart::kTooMany;
      TStatement all(db_, "SELECT COUNT(*) FROM device_grants WHERE expires_ms > ? AND state = 'pending'");
      all.Bind(1, g.created_ms);
      if (all.Step() && all.Int(0) >= max_pending) return TDeviceStart::kTooMany;
      TStatement s(db_,
                   "INSERT INTO device_grants(device_code_hash, user_code, client_id, scope, token_name, address, "
                   "created_ms, expires_ms, interval_s, state) VALUES(?, ?, ?, ?, ?, ?, ?, ?, ?, 'pending') "
                   "ON CONFLICT DO NOTHING");
      s.Bind(1, g.device_code_hash).Bind(2, g.user_code).Bind(3, g.client_id).Bind(4, ScopeName(g.scope));
      s.Bind(5, g.token_name).Bind(6, g.address).Bind(7, g.created_ms).Bind(8, g.expires_ms);
      s.Bind(9, static_cast<int64_t>(g.interval_s)).Run();
      return sqlite3_changes(db_) == 1 ? TDeviceStart::kStored : TDeviceStart::kCodeTaken;
    });
  }

  std::optional<TDeviceGrant> DeviceGrantByUserCode(const std::string& user_code) override {
    std::lock_guard guard(lock_);
    TStatement s(db_,
                 "SELECT device_code_hash, user_code, client_id, scope, token_name, address, created_ms, expires_ms, "
                 "interval_s, state, COALESCE(user_id, 0) FROM device_grants WHERE user_code = ?");
    s.Bind(1, user_code);
    if (!s.Step()) return std::nullopt;
    TDeviceGrant g;
    g.device_code_hash = s.Text(0);
    g.user_code = s.Text(1);
    g.client_id = s.Text(2);
    g.scope = ParseScope(s.Text(3)).value_or(TScope::kCapture);
    g.token_name = s.Text(4);
    g.address = s.Text(5);
    g.created_ms = s.Int(6);
    g.expires_ms = s.Int(7);
    g.interval_s = static_cast<int>(s.Int(8));
    g.state = s.Text(9);
    g.user_id = s.Int(10);
    return g;
  }

  TDeviceDecision DecideDeviceGrant(const std::string& user_code, int64_t user_id, bool approve, int64_t now_ms,
                                    int64_t max_tokens) override {
    std::lock_guard guard(lock_);
    return InTransaction(db_, [&] {
      TStatement find(db_, "SELECT state, expires_ms FROM device_grants WHERE user_code = ?");
      find.Bind(1, user_code);
      if (!find.Step() || find.Int(1) <= now_ms) return TDeviceDecision::kNoSuchCode;
      if (find.Text(0) != "pending") return TDeviceDecision::kDecided;
      if (approve) {
        TStatement count(db_, "SELECT COUNT(*) FROM access_tokens WHERE user_id = ?");
        count.Bind(1, user_id);
        if (count.Step() && count.Int(0) >= max_tokens) return TDeviceDecision::kTokenLimit;
      }
      TStatement s(db_, "UPDATE device_grants SET state = ?, user_id = ? WHERE user_code = ? AND state = 'pending'");
      s.Bind(1, approve ? "approved" : "denied").Bind(2, user_id).Bind(3, user_code).Run();
      return TDeviceDecision::kDone;
    });
  }

  TDevicePollResult PollDeviceGrant(const std::string& device_code_hash, const std::string& client_id, int64_t now_ms,
                                    const std::string& token_hash, int64_t max_tokens) override {
    std::lock_guard guard(lock_);
    return InTransaction(db_, [&] {
      TDevicePollResult r;
      TStatement find(db_,
                      "SELECT client_id, scope, token_name, expires_ms, interval_s, last_poll_ms, state, "
                      "COALESCE(user_id, 0) FROM device_grants WHERE device_code_hash = ?");
      find.Bind(1, device_code_hash);
      if (!find.Step() || find.Text(0) != client_id || find.Text(6) == "issued") return r;  // unknown, or used
      r.interval_s = static_cast<int>(find.Int(4));
      const std::string state = find.Text(6);
      if (find.Int(3) <= now_ms) {
        r.answer = TDevicePoll::kExpired;
        return r;
      }
      const bool early = find.Int(5) > 0 && now_ms - find.Int(5) < find.Int(4) * 1000;
      if (early) r.interval_s += 5;
      TStatement polled(db_, "UPDATE device_grants SET last_poll_ms = ?, interval_s = ? WHERE device_code_hash = ?");
      polled.Bind(1, now_ms).Bind(2, static_cast<int64_t>(r.interval_s)).Bind(3, device_code_hash).Run();
      if (early) {
        r.answer = TDevicePoll::kSlowDown;
        return r;
      }
      if (state == "denied") r.answer = TDevicePoll::kDenied;
      if (state == "pending") r.answer = TDevicePoll::kPending;
      if (state != "approved") return r;
      TAccessToken t;
      t.user_id = find.Int(7);
      t.name = find.Text(2);
      t.scope = ParseScope(find.Text(1)).value_or(TScope::kCapture);
      t.created_ms = now_ms;
      TStatement count(db_, "SELECT COUNT(*) FROM access_tokens WHERE user_id = ?");
      count.Bind(1, t.user_id);
      if (count.Step() && count.Int(0) >= max_tokens) {
        r.answer = TDevicePoll::kTokenLimit;
        return r;
      }
      TStatement add(db_,
                     "INSERT INTO access_tokens(user_id, name, scope, token_hash, created_ms, last_used_ms) "
                     "VALUES(?, ?, ?, ?, ?, 0)");
      add.Bind(1, t.user_id).Bind(2, t.name).Bind(3, ScopeName(t.scope)).Bind(4, token_hash).Bind(5, now_ms).Run();
      t.id = sqlite3_last_insert_rowid(db_);
      TStatement used(db_, "UPDATE device_grants SET state = 'issued' WHERE device_code_hash = ?");
      used.Bind(1, device_code_hash).Run();
      r.answer = TDevicePoll::kIssued;
      r.token = t;
      return r;
    });
  }

  std::vector<TUserInfo> ListUsers() override {
    std::lock_guard guard(lock_);
    TStatement s(db_,
                 "SELECT u.id, u.name, u.created_ms, (SELECT COUNT(*) FROM notes WHERE user_id = u.id), "
                 "(SELECT COUNT(*) FROM access_tokens WHERE user_id = u.id) FROM users u ORDER BY u.name");
    std::vector<TUserInfo> users;
    while (s.Step()) users.push_back({s.Int(0), s.Text(1), s.Int(2), s.Int(3), s.Int(4)});
    return users;
  }

  bool DeleteUser(std::string_view name) override {
    std::lock_guard guard(lock_);
    return InTransaction(db_, [&] {
      TStatement s(db_, "DELETE FROM users WHERE name = ?");
      s.Bind(1, name).Run();
      return sqlite3_changes(db_) == 1;
    });
  }

  std::vector<TUserRecord> UserRecords() override {
    std::lock_guard guard(lock_);
    TStatement s(db_, "SELECT id, name, password_hash, created_ms FROM users ORDER BY id");
    std::vector<TUserRecord> users;
    while (s.Step()) users.push_back({s.Int(0), s.Text(1), s.Text(2), s.Int(3)});
    return users;
  }

  std::vector<TTokenRecord> TokenRecords() override {
    std::lock_guard guard(lock_);
    TStatement s(
        db_, "SELECT id, user_id, name, scope, created_ms, last_used_ms, token_hash FROM access_tokens ORDER BY id");
    std::vector<TTokenRecord> tokens;
    while (s.Step()) tokens.push_back({TokenOfRow(s, 0), s.Text(6)});
    return tokens;
  }

  std::vector<TNoteRecord> NoteRecords(int64_t after_id, int64_t limit) override {
    std::lock_guard guard(lock_);
    TStatement s(db_,
                 "SELECT id, title, body, color, paper_id, received_ms, user_id, body_hash FROM notes WHERE id > ? "
                 "ORDER BY id LIMIT ?");
    s.Bind(1, after_id).Bind(2, limit);
    std::vector<TNoteRecord> notes;
    while (s.Step()) {
      TNoteRecord r;
      r.note = NoteOfRow(s);
      r.note.body_bytes = static_cast<int64_t>(r.note.body.size());
      r.user_id = s.Int(6);
      r.body_hash = s.IsNull(7) ? "" : s.Text(7);
      notes.push_back(std::move(r));
    }
    return notes;
  }

  void Load(const std::vector<TUserRecord>& users, const std::function<std::vector<TNoteRecord>()>& next_notes,
            const std::vector<TTokenRecord>& tokens) override {
    std::lock_guard guard(lock_);
    InTransaction(db_, [&] {
      TStatement any(db_, "SELECT COUNT(*) FROM users");
      if (any.Step() && any.Int(0) > 0) throw EStoreError("the database holds accounts already");
      for (const TUserRecord& u : users) {
        TStatement s(db_, "INSERT INTO users(id, name, password_hash, created_ms) VALUES(?, ?, ?, ?)");
        s.Bind(1, u.id).Bind(2, u.name).Bind(3, u.password_hash).Bind(4, u.created_ms).Run();
      }
      TStatement note(db_,
                      "INSERT INTO notes(id, user_id, title, body, color, paper_id, received_ms, body_hash) "
                      "VALUES(?, ?, ?, ?, ?, ?, ?, ?)");
      TStatement tag(db_, "INSERT OR IGNORE INTO note_tags(user_id, tag, received_ms, note_id) VALUES(?, ?, ?, ?)");
      std::map<std::pair<int64_t, std::string>, int64_t> counts;
      for (std::vector<TNoteRecord> batch = next_notes(); !batch.empty(); batch = next_notes()) {
        for (const TNoteRecord& r : batch) {
          const TStoredNote& n = r.note;
          note.Reset();
          note.Bind(1, n.id).Bind(2, r.user_id).Bind(3, n.title).Bind(4, n.body);
          if (n.color)
            note.Bind(5, static_cast<int64_t>(*n.color));
          else
            note.BindNull(5);
          note.Bind(6, n.paper_id).Bind(7, n.received_ms);
          if (r.body_hash.empty())
            note.BindNull(8);
          else
            note.Bind(8, r.body_hash);
          note.Run();
          for (const std::string& t : ExtractTags(n.title, n.body)) {
            tag.Reset();
            tag.Bind(1, r.user_id).Bind(2, t).Bind(3, n.received_ms).Bind(4, n.id).Run();
            if (sqlite3_changes(db_) == 1) ++counts[{r.user_id, t}];
          }
        }
      }
      for (const auto& [key, n] : counts) {
        TStatement s(db_, "INSERT INTO tag_counts(user_id, tag, notes) VALUES(?, ?, ?)");
        s.Bind(1, key.first).Bind(2, key.second).Bind(3, n).Run();
      }
      for (const TTokenRecord& r : tokens) {
        const TAccessToken& t = r.token;
        TStatement s(db_,
                     "INSERT INTO access_tokens(id, user_id, name, scope, token_hash, created_ms, last_used_ms) "
                     "VALUES(?, ?, ?, ?, ?, ?, ?)");
        s.Bind(1, t.id).Bind(2, t.user_id).Bind(3, t.name).Bind(4, ScopeName(t.scope)).Bind(5, r.token_hash);
        s.Bind(6, t.created_ms).Bind(7, t.last_used_ms).Run();
      }
    });
  }

  TStoreCounts Counts() override {
    std::lock_guard guard(lock_);
    TStatement s(db_,
                 "SELECT (SELECT COUNT(*) FROM users), (SELECT COUNT(*) FROM notes), "
                 "(SELECT COUNT(*) FROM access_tokens), (SELECT COUNT(*) FROM note_tags)");
    s.Step();
    return {s.Int(0), s.Int(1), s.Int(2), s.Int(3)};
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
  // Notes read newest first before a search asks the index: when a word is
  // common the page fills from them at once, which the index, naming every
  // note with the word, could not do faster.
  static constexpr int64_t kScanBeforeIndex = 2000;
  // Expired device grants are kept this long, so their devices hear "expired".
  static constexpr int64_t kDeviceGrantKeptMs = 24LL * 3600 * 1000;

  static TAccessToken TokenOfRow(TStatement& s, int at) {
    TAccessToken t;
    t.id = s.Int(at);
    t.user_id = s.Int(at + 1);
    t.name = s.Text(at + 2);
    t.scope = ParseScope(s.Text(at + 3)).value_or(TScope::kCapture);
    t.created_ms = s.Int(at + 4);
    t.last_used_ms = s.Int(at + 5);
    return t;
  }

  // Within a transaction.
  TInsertResult InsertOne(int64_t user_id, const TNewNote& n) {
    const TNote& note = n.note;
    if (n.same_time_is_same_note && note.paper_id.empty()) {
      TStatement same(db_, "SELECT id FROM notes WHERE user_id = ? AND received_ms = ? AND body_hash = ?");
      same.Bind(1, user_id).Bind(2, n.received_ms).Bind(3, n.body_hash);
      if (same.Step()) return {same.Int(0), false};
    }
    TStatement s(db_,
                 "INSERT INTO notes(user_id, title, body, color, paper_id, received_ms, body_hash) "
                 "VALUES(?, ?, ?, ?, ?, ?, ?) ON CONFLICT DO NOTHING");
    s.Bind(1, user_id).Bind(2, note.title).Bind(3, note.body);
    if (note.color)
      s.Bind(4, static_cast<int64_t>(*note.color));
    else
      s.BindNull(4);
    s.Bind(5, note.paper_id).Bind(6, n.received_ms).Bind(7, n.body_hash).Run();
    if (sqlite3_changes(db_) == 1) {
      int64_t id = sqlite3_last_insert_rowid(db_);
      for (const std::string& tag : n.tags) AddTag(db_, user_id, tag, n.received_ms, id);
      return {id, true};
    }
    TStatement first(db_, "SELECT id FROM notes WHERE user_id = ? AND paper_id = ? AND body_hash = ?");
    first.Bind(1, user_id).Bind(2, note.paper_id).Bind(3, n.body_hash);
    if (!first.Step()) throw EStoreError("database: a note neither stored nor found");
    return {first.Int(0), false};
  }

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

void BackupSqlite(const std::string& path, const std::string& to) {
  sqlite3* source = nullptr;
  sqlite3* copy = nullptr;
  const std::string part = to + ".part";
  auto fail = [&](const std::string& what, sqlite3* db) {
    std::string message = what + (db ? std::string(": ") + sqlite3_errmsg(db) : std::string());
    sqlite3_close(copy);
    sqlite3_close(source);
    std::remove(part.c_str());
    throw EStoreError(message);
  };
  if (sqlite3_open_v2(path.c_str(), &source, SQLITE_OPEN_READWRITE, nullptr) != SQLITE_OK)
    fail("cannot open the database " + path, source);
  sqlite3_busy_timeout(source, 10000);
  std::remove(part.c_str());
  int fd = open(part.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  if (fd < 0) fail("cannot create " + part + ": " + std::strerror(errno), nullptr);
  close(fd);
  if (sqlite3_open_v2(part.c_str(), &copy, SQLITE_OPEN_READWRITE, nullptr) != SQLITE_OK)
    fail("cannot open " + part, copy);
  sqlite3_backup* backup = sqlite3_backup_init(copy, "main", source, "main");
  if (!backup) fail("cannot start the backup", copy);
  // All pages in one step: one read transaction, so one consistent picture
  // however busy the service is (in pieces, every write by another process
  // would start the copy over). The write-ahead log lets the service go on
  // writing meanwhile.
  int rc;
  for (int tries = 0;; ++tries) {
    rc = sqlite3_backup_step(backup, -1);
    if ((rc != SQLITE_BUSY && rc != SQLITE_LOCKED) || tries >= 100) break;
    sqlite3_sleep(100);
  }
  sqlite3_backup_finish(backup);
  if (rc != SQLITE_DONE) fail("the backup failed", copy);
  // The copy stands on its own: one file, no log beside it.
  char* error = nullptr;
  if (sqlite3_exec(copy, "PRAGMA journal_mode = DELETE", nullptr, nullptr, &error) != SQLITE_OK) {
    std::string message = error ? error : "?";
    sqlite3_free(error);
    fail("cannot finish the copy: " + message, nullptr);
  }
  sqlite3_close(copy);
  copy = nullptr;
  sqlite3_close(source);
  source = nullptr;
  fd = open(part.c_str(), O_RDONLY | O_CLOEXEC);
  bool synced = fd >= 0 && fsync(fd) == 0;
  if (fd >= 0) close(fd);
  if (!synced || std::rename(part.c_str(), to.c_str()) != 0)
    fail("cannot write " + to + ": " + std::strerror(errno), nullptr);
  std::string folder = to.find('/') == std::string::npos ? "." : to.substr(0, to.rfind('/') + 1);
  fd = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd >= 0) {
    fsync(fd);
    close(fd);
  }
}

}  // namespace pinleaf
