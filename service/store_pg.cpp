#include "service/store_pg.h"

#include <libpq-fe.h>

#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <limits>
#include <map>
#include <mutex>
#include <type_traits>

#include "service/note_document.h"
#include "service/search.h"

namespace pinleaf {

namespace {

// How long a request waits for one of the pool's connections before it is
// answered "unavailable" instead.
constexpr auto kPoolWait = std::chrono::seconds(10);

// The connection broke (the server went away, restarted, or ended this
// session): the request fails "unavailable", the connection is dropped.
class EConnectionLost : public EStoreUnavailable {
public:
  using EStoreUnavailable::EStoreUnavailable;
};

std::string OneLine(const char* text) {
  std::string s = text ? text : "";
  while (!s.empty() && (s.back() == '\n' || s.back() == ' ')) s.pop_back();
  for (char& c : s)
    if (c == '\n' || c == '\t') c = ' ';
  return s;
}

// One parameter: text, raw bytes (bytea, sent in binary form) or NULL.
struct TParam {
  TParam(std::string_view text) : value(text) {}             // NOLINT(google-explicit-constructor)
  TParam(const std::string& text) : value(text) {}           // NOLINT(google-explicit-constructor)
  TParam(const char* text) : value(text) {}                  // NOLINT(google-explicit-constructor)
  TParam(int64_t number) : value(std::to_string(number)) {}  // NOLINT(google-explicit-constructor)
  static TParam Bytes(std::string_view bytes) {
    TParam p(bytes);
    p.binary = true;
    return p;
  }
  static TParam Null() {
    TParam p("");
    p.null = true;
    return p;
  }
  std::string value;
  bool binary = false;
  bool null = false;
};

class TResult {
public:
  explicit TResult(PGresult* r) : r_(r) {}
  ~TResult() { PQclear(r_); }
  TResult(TResult&& o) noexcept : r_(o.r_) { o.r_ = nullptr; }
  TResult(const TResult&) = delete;
  TResult& operator=(const TResult&) = delete;
  TResult& operator=(TResult&&) = delete;

  int Rows() const { return PQntuples(r_); }
  bool IsNull(int row, int column) const { return PQgetisnull(r_, row, column) != 0; }
  std::string Text(int row, int column) const {
    return std::string(PQgetvalue(r_, row, column), static_cast<size_t>(PQgetlength(r_, row, column)));
  }
  int64_t Int(int row, int column) const { return std::strtoll(PQgetvalue(r_, row, column), nullptr, 10); }
  // A bytea column, which arrives in its hex text form.
  std::string Bytes(int row, int column) const {
    size_t size = 0;
    unsigned char* raw = PQunescapeBytea(reinterpret_cast<const unsigned char*>(PQgetvalue(r_, row, column)), &size);
    if (!raw) throw EStoreError("database: out of memory");
    std::string out(reinterpret_cast<const char*>(raw), size);
    PQfreemem(raw);
    return out;
  }
  PGresult* Get() const { return r_; }
  int64_t Affected() const { return std::strtoll(PQcmdTuples(r_), nullptr, 10); }

private:
  PGresult* r_;
};

// Runs one statement; every value is a parameter, never spliced into the SQL.
TResult Run(PGconn* c, const char* sql, const std::vector<TParam>& params = {}) {
  std::vector<const char*> values;
  std::vector<int> lengths, formats;
  for (const TParam& p : params) {
    values.push_back(p.null ? nullptr : p.value.c_str());
    lengths.push_back(static_cast<int>(p.value.size()));
    formats.push_back(p.binary ? 1 : 0);
  }
  TResult r(
      PQexecParams(c, sql, static_cast<int>(params.size()), nullptr, values.data(), lengths.data(), formats.data(), 0));
  ExecStatusType status = PQresultStatus(r.Get());
  if (status == PGRES_COMMAND_OK || status == PGRES_TUPLES_OK) return r;
  const char* state = PQresultErrorField(r.Get(), PG_DIAG_SQLSTATE);
  std::string code = state ? state : "";
  std::string message = OneLine(PQerrorMessage(c));
  // Class 08 (connection exception) and 57P (the server shutting down or
  // ending sessions), or no usable connection at all.
  if (PQstatus(c) != CONNECTION_OK || code.rfind("08", 0) == 0 || code.rfind("57P", 0) == 0)
    throw EConnectionLost("database connection lost: " + message);
  throw EStoreError("database: " + message);
}

// Runs several statements without parameters (a step of the layout).
void RunScript(PGconn* c, const char* sql) {
  TResult r(PQexec(c, sql));
  if (PQresultStatus(r.Get()) == PGRES_COMMAND_OK || PQresultStatus(r.Get()) == PGRES_TUPLES_OK) return;
  std::string message = OneLine(PQerrorMessage(c));
  if (PQstatus(c) != CONNECTION_OK) throw EConnectionLost("database connection lost: " + message);
  throw EStoreError("database: " + message);
}

// Runs `body` in one transaction; rolls back when it throws.
template <typename F>
auto InTransaction(PGconn* c, F body) {
  Run(c, "BEGIN");
  try {
    if constexpr (std::is_void_v<decltype(body())>) {
      body();
      Run(c, "COMMIT");
    } else {
      auto result = body();
      Run(c, "COMMIT");
      return result;
    }
  } catch (...) {
    if (PQstatus(c) == CONNECTION_OK) PQclear(PQexec(c, "ROLLBACK"));
    throw;
  }
}

// The layout, one step per version. Texts from clients (titles, bodies, paper
// IDs, throttle keys) are kept as bytes: they may hold NUL or bytes that are
// not UTF-8, which a text column refuses.
const char* const kLayout1 = R"sql(
CREATE TABLE users(
  id BIGINT GENERATED BY DEFAULT AS IDENTITY PRIMARY KEY,
  name TEXT NOT NULL UNIQUE,
  password_hash TEXT NOT NULL,
  created_ms BIGINT NOT NULL);
CREATE TABLE sessions(
  token_hash TEXT PRIMARY KEY,
  user_id BIGINT NOT NULL REFERENCES users(id) ON DELETE CASCADE,
  expires_ms BIGINT NOT NULL);
CREATE INDEX sessions_by_user ON sessions(user_id);
CREATE INDEX sessions_by_expiry ON sessions(expires_ms);
CREATE TABLE notes(
  id BIGINT GENERATED BY DEFAULT AS IDENTITY PRIMARY KEY,
  user_id BIGINT NOT NULL REFERENCES users(id) ON DELETE CASCADE,
  title BYTEA NOT NULL,
  body BYTEA NOT NULL,
  color BIGINT,
  paper_id BYTEA NOT NULL,
  received_ms BIGINT NOT NULL,
  body_hash TEXT);
CREATE INDEX notes_by_user ON notes(user_id, received_ms DESC, id DESC);
CREATE UNIQUE INDEX notes_once ON notes(user_id, paper_id, body_hash) WHERE paper_id <> ''::bytea;
CREATE TABLE meta(
  name TEXT PRIMARY KEY,
  value TEXT NOT NULL);
CREATE TABLE login_failures(
  key BYTEA PRIMARY KEY,
  failures INTEGER NOT NULL,
  last_ms BIGINT NOT NULL,
  blocked_until_ms BIGINT NOT NULL);
CREATE INDEX login_failures_by_age ON login_failures(last_ms);
)sql";

// Search, tags and access tokens. Notes keep a folded copy of their text for
// exact matching and the key the trigram index is built over (see SearchKey);
// the index itself is made by the step's code, which knows where pg_trgm is.
const char* const kLayout2 = R"sql(
ALTER TABLE notes ADD COLUMN search_text TEXT, ADD COLUMN search_key TEXT;
CREATE TABLE note_tags(
  user_id BIGINT NOT NULL,
  tag TEXT NOT NULL,
  received_ms BIGINT NOT NULL,
  note_id BIGINT NOT NULL REFERENCES notes(id) ON DELETE CASCADE,
  PRIMARY KEY(user_id, tag, received_ms, note_id));
CREATE INDEX note_tags_by_note ON note_tags(note_id);
CREATE TABLE tag_counts(
  user_id BIGINT NOT NULL REFERENCES users(id) ON DELETE CASCADE,
  tag TEXT NOT NULL,
  notes BIGINT NOT NULL,
  PRIMARY KEY(user_id, tag));
CREATE TABLE access_tokens(
  id BIGINT GENERATED BY DEFAULT AS IDENTITY PRIMARY KEY,
  user_id BIGINT NOT NULL REFERENCES users(id) ON DELETE CASCADE,
  name TEXT NOT NULL,
  scope TEXT NOT NULL,
  token_hash TEXT NOT NULL UNIQUE,
  created_ms BIGINT NOT NULL,
  last_used_ms BIGINT NOT NULL DEFAULT 0);
CREATE INDEX access_tokens_by_user ON access_tokens(user_id);
)sql";

// Devices asking to be paired with an account.
const char* const kLayout3 = R"sql(
CREATE TABLE device_grants(
  device_code_hash TEXT PRIMARY KEY,
  user_code TEXT NOT NULL UNIQUE,
  client_id TEXT NOT NULL,
  scope TEXT NOT NULL,
  token_name TEXT NOT NULL,
  address TEXT NOT NULL,
  created_ms BIGINT NOT NULL,
  expires_ms BIGINT NOT NULL,
  interval_s INTEGER NOT NULL,
  last_poll_ms BIGINT NOT NULL DEFAULT 0,
  state TEXT NOT NULL,
  user_id BIGINT REFERENCES users(id) ON DELETE CASCADE);
CREATE INDEX device_grants_by_expiry ON device_grants(expires_ms);
CREATE INDEX device_grants_by_address ON device_grants(address, expires_ms);
)sql";

// Invalid bytes as U+FFFD, so a text column takes it.
std::string ValidText(std::string_view text) {
  if (IsValidUtf8(text)) return std::string(text);
  std::string out;
  for (size_t i = 0; i < text.size();) {
    size_t n = 1;
    auto c = static_cast<unsigned char>(text[i]);
    if (c >= 0x80) {
      n = c >= 0xC2 && c <= 0xDF ? 2 : c >= 0xE0 && c <= 0xEF ? 3 : c >= 0xF0 && c <= 0xF4 ? 4 : 0;
      if (n == 0 || i + n > text.size() || !IsValidUtf8(text.substr(i, n))) {
        out += "\xEF\xBF\xBD";
        ++i;
        continue;
      }
    }
    out.append(text.substr(i, n));
    i += n;
  }
  return out;
}

// What a note is searched by: its folded text, and that text's index key.
std::pair<std::string, std::string> SearchColumns(std::string_view title, std::string_view body) {
  std::string text = ValidText(FoldForSearch(title) + "\n" + FoldForSearch(body));
  std::string key = SearchKey(text);
  return {std::move(text), std::move(key)};
}

// A LIKE pattern that finds `term` anywhere.
std::string Anywhere(std::string_view term) {
  std::string out = "%";
  for (char c : term) {
    if (c == '\\' || c == '%' || c == '_') out += '\\';
    out += c;
  }
  return out + "%";
}

// Whether pg_trgm takes a trigram out of LIKE '%key%': a run of three
// letters or digits.
bool HasTrigram(std::string_view key) {
  size_t run = 0;
  for (char c : key) {
    bool word = (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z');
    run = word ? run + 1 : 0;
    if (run >= 3) return true;
  }
  return false;
}

// Text as a field of COPY's text format.
void CopyText(std::string& out, std::string_view text) {
  for (char c : text) {
    switch (c) {
      case '\\':
        out += "\\\\";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      case '\t':
        out += "\\t";
        break;
      default:
        out += c;
    }
  }
}

void CopyBytes(std::string& out, std::string_view bytes) {
  static const char kHex[] = "0123456789abcdef";
  out += "\\\\x";
  for (char c : bytes) {
    auto b = static_cast<unsigned char>(c);
    out += kHex[b >> 4];
    out += kHex[b & 15];
  }
}

TStoredNote NoteOfRow(const TResult& r, int row) {
  TStoredNote n;
  n.id = r.Int(row, 0);
  n.title = r.Bytes(row, 1);
  n.body = r.Bytes(row, 2);
  if (!r.IsNull(row, 3)) n.color = static_cast<uint32_t>(r.Int(row, 3));
  n.paper_id = r.Bytes(row, 4);
  n.received_ms = r.Int(row, 5);
  return n;
}

// A name a text column can hold; no account can have any other.
bool StorableName(std::string_view name) { return IsValidUtf8(name) && name.find('\0') == std::string_view::npos; }

class TPgStore : public TStoreBackend {
public:
  TPgStore(std::string uri, std::string password, int pool)
      : uri_(std::move(uri)), password_(std::move(password)), max_(pool < 1 ? 1 : pool) {
    try {
      Use([this](PGconn* c) { Migrate(c); });
    } catch (...) {
      // No destructor runs for a store that never opened: close its pool here.
      CloseIdle();
      throw;
    }
  }
  ~TPgStore() override { CloseIdle(); }
  TPgStore(const TPgStore&) = delete;
  TPgStore& operator=(const TPgStore&) = delete;

  std::optional<int64_t> InsertUser(std::string_view name, const std::string& hash, int64_t created_ms) override {
    return Use([&](PGconn* c) -> std::optional<int64_t> {
      TResult r = Run(c,
                      "INSERT INTO users(name, password_hash, created_ms) VALUES($1, $2, $3) "
                      "ON CONFLICT(name) DO NOTHING RETURNING id",
                      {name, hash, created_ms});
      if (r.Rows() != 1) return std::nullopt;
      return r.Int(0, 0);
    });
  }

  bool ReplacePassword(std::string_view name, const std::string& hash) override {
    if (!StorableName(name)) return false;
    return Use([&](PGconn* c) {
      return InTransaction(c, [&] {
        TResult r = Run(c, "UPDATE users SET password_hash = $1 WHERE name = $2 RETURNING id", {hash, name});
        if (r.Rows() != 1) return false;
        Run(c, "DELETE FROM sessions WHERE user_id = $1", {r.Int(0, 0)});
        return true;
      });
    });
  }

  std::optional<std::pair<int64_t, std::string>> FindUserHash(std::string_view name) override {
    if (!StorableName(name)) return std::nullopt;
    return Use([&](PGconn* c) -> std::optional<std::pair<int64_t, std::string>> {
      TResult r = Run(c, "SELECT id, password_hash FROM users WHERE name = $1", {name});
      if (r.Rows() != 1) return std::nullopt;
      return std::make_pair(r.Int(0, 0), r.Text(0, 1));
    });
  }

  void InsertSession(const std::string& token_hash, int64_t user_id, int64_t now_ms, int64_t expires_ms) override {
    Use([&](PGconn* c) {
      Run(c, "DELETE FROM sessions WHERE expires_ms <= $1", {now_ms});
      Run(c, "INSERT INTO sessions(token_hash, user_id, expires_ms) VALUES($1, $2, $3)",
          {token_hash, user_id, expires_ms});
      Run(c,
          "DELETE FROM sessions WHERE user_id = $1 AND token_hash <> $2 AND token_hash NOT IN "
          "(SELECT token_hash FROM sessions WHERE user_id = $1 AND token_hash <> $2 "
          "ORDER BY expires_ms DESC LIMIT $3)",
          {user_id, token_hash, kMaxSessionsPerUser - 1});
    });
  }

  std::optional<TUser> SessionUser(const std::string& token_hash, int64_t now_ms) override {
    return Use([&](PGconn* c) -> std::optional<TUser> {
      TResult r = Run(c,
                      "SELECT users.id, users.name FROM sessions JOIN users ON users.id = sessions.user_id "
                      "WHERE sessions.token_hash = $1 AND sessions.expires_ms > $2",
                      {token_hash, now_ms});
      if (r.Rows() != 1) return std::nullopt;
      return TUser{r.Int(0, 0), r.Text(0, 1)};
    });
  }

  void DeleteSession(const std::string& token_hash) override {
    Use([&](PGconn* c) { Run(c, "DELETE FROM sessions WHERE token_hash = $1", {token_hash}); });
  }

  std::vector<TInsertResult> InsertNotes(int64_t user_id, const std::vector<TNewNote>& notes) override {
    return Use([&](PGconn* c) {
      // One note is one statement, atomic by itself: no transaction around it.
      if (notes.size() == 1 && !notes[0].same_time_is_same_note)
        return std::vector<TInsertResult>{InsertOne(c, user_id, notes[0])};
      return InTransaction(c, [&] {
        std::vector<TInsertResult> results;
        results.reserve(notes.size());
        for (const TNewNote& n : notes) results.push_back(InsertOne(c, user_id, n));
        return results;
      });
    });
  }

  std::vector<TStoredNote> ListNotes(int64_t user_id, int64_t limit, int64_t offset) override {
    return Use([&](PGconn* c) {
      TResult r = Run(c,
                      "SELECT id, title, body, color, paper_id, received_ms FROM notes WHERE user_id = $1 "
                      "ORDER BY received_ms DESC, id DESC LIMIT $2 OFFSET $3",
                      {user_id, limit, offset});
      std::vector<TStoredNote> notes;
      for (int i = 0; i < r.Rows(); ++i) {
        notes.push_back(NoteOfRow(r, i));
        notes.back().body_bytes = static_cast<int64_t>(notes.back().body.size());
      }
      return notes;
    });
  }

  std::optional<TStoredNote> GetNote(int64_t user_id, int64_t note_id) override {
    return Use([&](PGconn* c) -> std::optional<TStoredNote> {
      TResult r =
          Run(c, "SELECT id, title, body, color, paper_id, received_ms FROM notes WHERE user_id = $1 AND id = $2",
              {user_id, note_id});
      if (r.Rows() != 1) return std::nullopt;
      TStoredNote n = NoteOfRow(r, 0);
      n.body_bytes = static_cast<int64_t>(n.body.size());
      return n;
    });
  }

  bool DeleteNote(int64_t user_id, int64_t note_id) override {
    return Use([&](PGconn* c) {
      return InTransaction(c, [&] {
        TResult gone =
            Run(c, "DELETE FROM note_tags WHERE note_id = $1 AND user_id = $2 RETURNING tag", {note_id, user_id});
        for (int i = 0; i < gone.Rows(); ++i)
          Run(c, "UPDATE tag_counts SET notes = notes - 1 WHERE user_id = $1 AND tag = $2", {user_id, gone.Text(i, 0)});
        if (gone.Rows() > 0) Run(c, "DELETE FROM tag_counts WHERE user_id = $1 AND notes <= 0", {user_id});
        return Run(c, "DELETE FROM notes WHERE user_id = $1 AND id = $2", {user_id, note_id}).Affected() == 1;
      });
    });
  }

  TNoteQueryResult FindNotes(const TNoteQuery& q) override {
    int64_t before_ms = q.before_id == 0 ? std::numeric_limits<int64_t>::max() : q.before_ms;
    int64_t before_id = q.before_id == 0 ? std::numeric_limits<int64_t>::max() : q.before_id;
    const int64_t cut = q.body_bytes == 0 ? std::numeric_limits<int32_t>::max() : static_cast<int64_t>(q.body_bytes);
    const std::string columns =
        "id, title, substring(body FROM 1 FOR $1::integer), color, paper_id, received_ms, length(body)";
    return Use([&](PGconn* c) {
      TNoteQueryResult result;
      auto take = [&](const TResult& r) {
        for (int i = 0; i < r.Rows(); ++i) {
          result.notes.push_back(NoteOfRow(r, i));
          result.notes.back().body_bytes = r.Int(i, 6);
        }
      };
      // The terms as conditions on search_text, from parameter `first` on.
      auto exact = [&](std::vector<TParam>& params) {
        std::string where;
        for (const std::string& term : q.terms) {
          params.emplace_back(Anywhere(ValidText(term)));
          where += " AND w.search_text LIKE $" + std::to_string(params.size());
        }
        return where;
      };
      std::string window;  // newest first, older than the cursor
      std::vector<TParam> params{cut, q.user_id, before_ms, before_id};
      int64_t bound = q.limit;
      bool indexable = false;
      for (const std::string& term : q.terms) indexable = indexable || HasTrigram(SearchKey(ValidText(term)));
      if (!q.tag.empty()) {
        params.emplace_back(q.tag);
        window =
            "SELECT n.* FROM note_tags t JOIN notes n ON n.id = t.note_id WHERE t.user_id = $2 AND t.tag = $5 "
            "AND (t.received_ms, t.note_id) < ($3, $4) ORDER BY t.received_ms DESC, t.note_id DESC";
        if (!q.terms.empty()) bound = q.scan_rows;
      } else {
        window =
            "SELECT * FROM notes WHERE user_id = $2 AND (received_ms, id) < ($3, $4) "
            "ORDER BY received_ms DESC, id DESC";
        if (!q.terms.empty()) bound = indexable ? kScanBeforeIndex : q.scan_rows;
      }
      params.emplace_back(bound);
      std::string bound_at = "$" + std::to_string(params.size());
      std::string where = exact(params);
      params.emplace_back(q.limit);
      std::string sql = "SELECT " + columns + " FROM (" + window + " LIMIT " + bound_at + ") w WHERE true" + where +
                        " ORDER BY received_ms DESC, id DESC LIMIT $" + std::to_string(params.size());
      take(Run(c, sql.c_str(), params));
      if (q.terms.empty() || static_cast<int64_t>(result.notes.size()) >= q.limit) return result;
      // Where the window ended, when it was full: older notes were not read.
      std::vector<TParam> last_params(params.begin(), params.begin() + 4);
      if (!q.tag.empty()) last_params.emplace_back(q.tag);
      last_params.emplace_back(bound - 1);
      std::string last_sql = "SELECT received_ms, id, $1::integer FROM (" + window + ") w OFFSET $" +
                             std::to_string(last_params.size()) + " LIMIT 1";
      TResult last = Run(c, last_sql.c_str(), last_params);
      if (last.Rows() == 0) return result;
      result.scanned_to_ms = last.Int(0, 0);
      result.scanned_to_id = last.Int(0, 1);
      if (!q.tag.empty() || !indexable) {
        result.scan_cut = true;
        return result;
      }
      // Rarer words: the notes the trigram index names, older than those read.
      std::vector<TParam> found{cut, q.user_id, result.scanned_to_ms, result.scanned_to_id};
      std::string keys;
      for (const std::string& term : q.terms) {
        std::string key = SearchKey(ValidText(term));
        if (!HasTrigram(key)) continue;
        found.emplace_back(Anywhere(key));
        keys += std::string(keys.empty() ? " WHERE" : " AND") + " search_key LIKE $" + std::to_string(found.size());
      }
      std::string more = exact(found);
      found.emplace_back(q.limit - static_cast<int64_t>(result.notes.size()));
      // Materialized, so the index alone picks the candidates, whatever the
      // planner thinks of reading the account's notes in order instead.
      std::string index_sql = "WITH m AS MATERIALIZED (SELECT id FROM notes" + keys + ") SELECT " + columns +
                              " FROM notes w JOIN m USING (id) WHERE w.user_id = $2 AND (w.received_ms, w.id) < "
                              "($3, $4)" +
                              more + " ORDER BY received_ms DESC, id DESC LIMIT $" + std::to_string(found.size());
      take(Run(c, index_sql.c_str(), found));
      return result;
    });
  }

  std::vector<TTagCount> Tags(int64_t user_id, int64_t limit) override {
    return Use([&](PGconn* c) {
      TResult r = Run(c, "SELECT tag, notes FROM tag_counts WHERE user_id = $1 ORDER BY notes DESC, tag LIMIT $2",
                      {user_id, limit});
      std::vector<TTagCount> tags;
      tags.reserve(static_cast<size_t>(r.Rows()));
      for (int i = 0; i < r.Rows(); ++i) tags.push_back({r.Text(i, 0), r.Int(i, 1)});
      return tags;
    });
  }

  std::vector<TStoredNote> NotesAfter(int64_t user_id, int64_t after_ms, int64_t after_id, int64_t limit,
                                      size_t max_bytes) override {
    return Use([&](PGconn* c) {
      TResult heads = Run(c,
                          "SELECT id, received_ms, length(title) + length(body) FROM notes WHERE user_id = $1 "
                          "AND (received_ms, id) > ($2, $3) ORDER BY received_ms, id LIMIT $4",
                          {user_id, after_ms, after_id, limit});
      std::vector<TStoredNote> notes;
      int rows = 0;
      size_t bytes = 0;
      for (; rows < heads.Rows(); ++rows) {
        size_t size = static_cast<size_t>(heads.Int(rows, 2));
        if (rows > 0 && bytes + size > max_bytes) break;
        bytes += size;
      }
      if (rows == 0) return notes;
      TResult r = Run(c,
                      "SELECT id, title, body, color, paper_id, received_ms FROM notes WHERE user_id = $1 "
                      "AND (received_ms, id) > ($2, $3) AND (received_ms, id) <= ($4, $5) ORDER BY received_ms, id",
                      {user_id, after_ms, after_id, heads.Int(rows - 1, 1), heads.Int(rows - 1, 0)});
      for (int i = 0; i < r.Rows(); ++i) {
        notes.push_back(NoteOfRow(r, i));
        notes.back().body_bytes = static_cast<int64_t>(notes.back().body.size());
      }
      return notes;
    });
  }

  std::optional<int64_t> InsertToken(const TAccessToken& t, const std::string& token_hash, int64_t max) override {
    return Use([&](PGconn* c) {
      return InTransaction(c, [&]() -> std::optional<int64_t> {
        // The account's row, locked: two instances adding tokens at once count one after the other.
        Run(c, "SELECT id FROM users WHERE id = $1 FOR UPDATE", {t.user_id});
        if (Run(c, "SELECT COUNT(*) FROM access_tokens WHERE user_id = $1", {t.user_id}).Int(0, 0) >= max)
          return std::nullopt;
        return Run(c,
                   "INSERT INTO access_tokens(user_id, name, scope, token_hash, created_ms, last_used_ms) "
                   "VALUES($1, $2, $3, $4, $5, $6) RETURNING id",
                   {t.user_id, t.name, ScopeName(t.scope), token_hash, t.created_ms, t.last_used_ms})
            .Int(0, 0);
      });
    });
  }

  std::vector<TAccessToken> ListTokens(int64_t user_id) override {
    return Use([&](PGconn* c) {
      TResult r = Run(c,
                      "SELECT id, user_id, name, scope, created_ms, last_used_ms FROM access_tokens WHERE user_id = $1 "
                      "ORDER BY created_ms DESC, id DESC",
                      {user_id});
      std::vector<TAccessToken> tokens;
      tokens.reserve(static_cast<size_t>(r.Rows()));
      for (int i = 0; i < r.Rows(); ++i) tokens.push_back(TokenOfRow(r, i, 0));
      return tokens;
    });
  }

  bool DeleteToken(int64_t user_id, int64_t token_id) override {
    return Use([&](PGconn* c) {
      return Run(c, "DELETE FROM access_tokens WHERE user_id = $1 AND id = $2", {user_id, token_id}).Affected() == 1;
    });
  }

  std::optional<std::pair<TUser, TAccessToken>> UseToken(const std::string& token_hash, int64_t now_ms,
                                                         int64_t note_use_after_ms) override {
    return Use([&](PGconn* c) -> std::optional<std::pair<TUser, TAccessToken>> {
      TResult r = Run(c,
                      "SELECT t.id, t.user_id, t.name, t.scope, t.created_ms, t.last_used_ms, u.name "
                      "FROM access_tokens t JOIN users u ON u.id = t.user_id WHERE t.token_hash = $1",
                      {token_hash});
      if (r.Rows() != 1) return std::nullopt;
      TAccessToken t = TokenOfRow(r, 0, 0);
      if (t.last_used_ms == 0 || now_ms - t.last_used_ms >= note_use_after_ms) {
        Run(c, "UPDATE access_tokens SET last_used_ms = $1 WHERE id = $2", {now_ms, t.id});
        t.last_used_ms = now_ms;
      }
      return std::make_pair(TUser{t.user_id, r.Text(0, 6)}, t);
    });
  }

  TDeviceStart InsertDeviceGrant(const TDeviceGrant& g, int64_t max_per_address, int64_t max_pending) override {
    return Use([&](PGconn* c) {
      return InTransaction(c, [&] {
        // One instance at a time counts and adds, so the limits hold across them.
        Run(c, "LOCK TABLE device_grants IN SHARE ROW EXCLUSIVE MODE");
        Run(c, "DELETE FROM device_grants WHERE expires_ms < $1", {g.created_ms - kDeviceGrantKeptMs});
        if (Run(c, "SELECT COUNT(*) FROM device_grants WHERE address = $1 AND expires_ms > $2 AND state = 'pending'",
                {g.address, g.created_ms})
                .Int(0, 0) >= max_per_address)
          return TDeviceStart::kTooMany;
        if (Run(c, "SELECT COUNT(*) FROM device_grants WHERE expires_ms > $1 AND state = 'pending'", {g.created_ms})
                .Int(0, 0) >= max_pending)
          return TDeviceStart::kTooMany;
        TResult r = Run(c,
                        "INSERT INTO device_grants(device_code_hash, user_code, client_id, scope, token_name, address, "
                        "created_ms, expires_ms, interval_s, state) VALUES($1, $2, $3, $4, $5, $6, $7, $8, $9, "
                        "'pending') ON CONFLICT DO NOTHING",
                        {g.device_code_hash, g.user_code, g.client_id, ScopeName(g.scope), g.token_name, g.address,
                         g.created_ms, g.expires_ms, static_cast<int64_t>(g.interval_s)});
        return r.Affected() == 1 ? TDeviceStart::kStored : TDeviceStart::kCodeTaken;
      });
    });
  }

  std::optional<TDeviceGrant> DeviceGrantByUserCode(const std::string& user_code) override {
    return Use([&](PGconn* c) -> std::optional<TDeviceGrant> {
      TResult r = Run(c,
                      "SELECT device_code_hash, user_code, client_id, scope, token_name, address, created_ms, "
                      "expires_ms, interval_s, state, COALESCE(user_id, 0) FROM device_grants WHERE user_code = $1",
                      {user_code});
      if (r.Rows() != 1) return std::nullopt;
      TDeviceGrant g;
      g.device_code_hash = r.Text(0, 0);
      g.user_code = r.Text(0, 1);
      g.client_id = r.Text(0, 2);
      g.scope = ParseScope(r.Text(0, 3)).value_or(TScope::kCapture);
      g.token_name = r.Text(0, 4);
      g.address = r.Text(0, 5);
      g.created_ms = r.Int(0, 6);
      g.expires_ms = r.Int(0, 7);
      g.interval_s = static_cast<int>(r.Int(0, 8));
      g.state = r.Text(0, 9);
      g.user_id = r.Int(0, 10);
      return g;
    });
  }

  TDeviceDecision DecideDeviceGrant(const std::string& user_code, int64_t user_id, bool approve, int64_t now_ms,
                                    int64_t max_tokens) override {
    return Use([&](PGconn* c) {
      return InTransaction(c, [&] {
        TResult g = Run(c, "SELECT state, expires_ms FROM device_grants WHERE user_code = $1 FOR UPDATE", {user_code});
        if (g.Rows() != 1 || g.Int(0, 1) <= now_ms) return TDeviceDecision::kNoSuchCode;
        if (g.Text(0, 0) != "pending") return TDeviceDecision::kDecided;
        if (approve &&
            Run(c, "SELECT COUNT(*) FROM access_tokens WHERE user_id = $1", {user_id}).Int(0, 0) >= max_tokens)
          return TDeviceDecision::kTokenLimit;
        Run(c, "UPDATE device_grants SET state = $1, user_id = $2 WHERE user_code = $3",
            {approve ? "approved" : "denied", user_id, user_code});
        return TDeviceDecision::kDone;
      });
    });
  }

  TDevicePollResult PollDeviceGrant(const std::string& device_code_hash, const std::string& client_id, int64_t now_ms,
                                    const std::string& token_hash, int64_t max_tokens) override {
    return Use([&](PGconn* c) {
      return InTransaction(c, [&] {
        TDevicePollResult r;
        // Locked: two polls at once (two instances) take turns, so one token at most is made.
        TResult g = Run(c,
                        "SELECT client_id, scope, token_name, expires_ms, interval_s, last_poll_ms, state, "
                        "COALESCE(user_id, 0) FROM device_grants WHERE device_code_hash = $1 FOR UPDATE",
                        {device_code_hash});
        if (g.Rows() != 1 || g.Text(0, 0) != client_id || g.Text(0, 6) == "issued") return r;
        r.interval_s = static_cast<int>(g.Int(0, 4));
        const std::string state = g.Text(0, 6);
        if (g.Int(0, 3) <= now_ms) {
          r.answer = TDevicePoll::kExpired;
          return r;
        }
        const bool early = g.Int(0, 5) > 0 && now_ms - g.Int(0, 5) < g.Int(0, 4) * 1000;
        if (early) r.interval_s += 5;
        Run(c, "UPDATE device_grants SET last_poll_ms = $1, interval_s = $2 WHERE device_code_hash = $3",
            {now_ms, static_cast<int64_t>(r.interval_s), device_code_hash});
        if (early) {
          r.answer = TDevicePoll::kSlowDown;
          return r;
        }
        if (state == "denied") r.answer = TDevicePoll::kDenied;
        if (state == "pending") r.answer = TDevicePoll::kPending;
        if (state != "approved") return r;
        TAccessToken t;
        t.user_id = g.Int(0, 7);
        t.name = g.Text(0, 2);
        t.scope = ParseScope(g.Text(0, 1)).value_or(TScope::kCapture);
        t.created_ms = now_ms;
        Run(c, "SELECT id FROM users WHERE id = $1 FOR UPDATE", {t.user_id});
        if (Run(c, "SELECT COUNT(*) FROM access_tokens WHERE user_id = $1", {t.user_id}).Int(0, 0) >= max_tokens) {
          r.answer = TDevicePoll::kTokenLimit;
          return r;
        }
        t.id = Run(c,
                   "INSERT INTO access_tokens(user_id, name, scope, token_hash, created_ms, last_used_ms) "
                   "VALUES($1, $2, $3, $4, $5, 0) RETURNING id",
                   {t.user_id, t.name, ScopeName(t.scope), token_hash, now_ms})
                   .Int(0, 0);
        Run(c, "UPDATE device_grants SET state = 'issued' WHERE device_code_hash = $1", {device_code_hash});
        r.answer = TDevicePoll::kIssued;
        r.token = t;
        return r;
      });
    });
  }

  std::vector<TUserInfo> ListUsers() override {
    return Use([&](PGconn* c) {
      TResult r = Run(c,
                      "SELECT u.id, u.name, u.created_ms, (SELECT COUNT(*) FROM notes WHERE user_id = u.id), "
                      "(SELECT COUNT(*) FROM access_tokens WHERE user_id = u.id) FROM users u ORDER BY u.name");
      std::vector<TUserInfo> users;
      users.reserve(static_cast<size_t>(r.Rows()));
      for (int i = 0; i < r.Rows(); ++i)
        users.push_back({r.Int(i, 0), r.Text(i, 1), r.Int(i, 2), r.Int(i, 3), r.Int(i, 4)});
      return users;
    });
  }

  bool DeleteUser(std::string_view name) override {
    if (!StorableName(name)) return false;
    return Use([&](PGconn* c) { return Run(c, "DELETE FROM users WHERE name = $1", {name}).Affected() == 1; });
  }

  std::vector<TUserRecord> UserRecords() override {
    return Use([&](PGconn* c) {
      TResult r = Run(c, "SELECT id, name, password_hash, created_ms FROM users ORDER BY id");
      std::vector<TUserRecord> users;
      users.reserve(static_cast<size_t>(r.Rows()));
      for (int i = 0; i < r.Rows(); ++i) users.push_back({r.Int(i, 0), r.Text(i, 1), r.Text(i, 2), r.Int(i, 3)});
      return users;
    });
  }

  std::vector<TTokenRecord> TokenRecords() override {
    return Use([&](PGconn* c) {
      TResult r = Run(c,
                      "SELECT id, user_id, name, scope, created_ms, last_used_ms, token_hash FROM access_tokens "
                      "ORDER BY id");
      std::vector<TTokenRecord> tokens;
      tokens.reserve(static_cast<size_t>(r.Rows()));
      for (int i = 0; i < r.Rows(); ++i) tokens.push_back({TokenOfRow(r, i, 0), r.Text(i, 6)});
      return tokens;
    });
  }

  std::vector<TNoteRecord> NoteRecords(int64_t after_id, int64_t limit) override {
    return Use([&](PGconn* c) {
      TResult r = Run(c,
                      "SELECT id, title, body, color, paper_id, received_ms, user_id, body_hash FROM notes "
                      "WHERE id > $1 ORDER BY id LIMIT $2",
                      {after_id, limit});
      std::vector<TNoteRecord> notes;
      for (int i = 0; i < r.Rows(); ++i) {
        TNoteRecord n;
        n.note = NoteOfRow(r, i);
        n.note.body_bytes = static_cast<int64_t>(n.note.body.size());
        n.user_id = r.Int(i, 6);
        n.body_hash = r.IsNull(i, 7) ? "" : r.Text(i, 7);
        notes.push_back(std::move(n));
      }
      return notes;
    });
  }

  void Load(const std::vector<TUserRecord>& users, const std::function<std::vector<TNoteRecord>()>& next_notes,
            const std::vector<TTokenRecord>& tokens) override {
    bool fresh = false;
    PGconn* c = Take(fresh);
    try {
      InTransaction(c, [&] {
        Run(c, "LOCK TABLE users IN EXCLUSIVE MODE");
        if (Run(c, "SELECT COUNT(*) FROM users").Int(0, 0) > 0)
          throw EStoreError("the database holds accounts already");
        for (const TUserRecord& u : users)
          Run(c, "INSERT INTO users(id, name, password_hash, created_ms) VALUES($1, $2, $3, $4)",
              {u.id, u.name, u.password_hash, u.created_ms});
        // Rows go in through COPY; the trigram index is built once at the end,
        // which is far quicker than keeping it up to date row by row.
        Run(c, "DROP INDEX IF EXISTS notes_search");
        std::string tag_rows;
        Copy(c,
             "COPY notes(id, user_id, title, body, color, paper_id, received_ms, body_hash, search_text, search_key) "
             "FROM STDIN",
             [&](std::string& out) {
               std::vector<TNoteRecord> batch = next_notes();
               for (const TNoteRecord& r : batch) {
                 const TStoredNote& n = r.note;
                 auto [text, key] = SearchColumns(n.title, n.body);
                 out += std::to_string(n.id) + "\t" + std::to_string(r.user_id) + "\t";
                 CopyBytes(out, n.title);
                 out += '\t';
                 CopyBytes(out, n.body);
                 out += '\t';
                 out += n.color ? std::to_string(*n.color) : "\\N";
                 out += '\t';
                 CopyBytes(out, n.paper_id);
                 out += "\t" + std::to_string(n.received_ms) + "\t";
                 if (r.body_hash.empty())
                   out += "\\N";
                 else
                   CopyText(out, r.body_hash);
                 out += '\t';
                 CopyText(out, text);
                 out += '\t';
                 CopyText(out, key);
                 out += '\n';
                 for (const std::string& tag : ExtractTags(n.title, n.body)) {
                   tag_rows += std::to_string(r.user_id) + "\t";
                   CopyText(tag_rows, tag);
                   tag_rows += "\t" + std::to_string(n.received_ms) + "\t" + std::to_string(n.id) + "\n";
                 }
               }
               return !batch.empty();
             });
        Copy(c, "COPY note_tags(user_id, tag, received_ms, note_id) FROM STDIN", [&](std::string& out) {
          out.swap(tag_rows);
          return !out.empty();
        });
        Run(c,
            "INSERT INTO tag_counts(user_id, tag, notes) SELECT user_id, tag, COUNT(*) FROM note_tags "
            "GROUP BY user_id, tag");
        for (const TTokenRecord& r : tokens) {
          const TAccessToken& t = r.token;
          Run(c,
              "INSERT INTO access_tokens(id, user_id, name, scope, token_hash, created_ms, last_used_ms) "
              "VALUES($1, $2, $3, $4, $5, $6, $7)",
              {t.id, t.user_id, t.name, ScopeName(t.scope), r.token_hash, t.created_ms, t.last_used_ms});
        }
        Run(c, "SET LOCAL maintenance_work_mem = '256MB'");
        CreateSearchIndex(c);
        // New rows continue after the IDs copied.
        for (const char* table : {"users", "notes", "access_tokens"}) {
          std::string sql = std::string("SELECT setval(pg_get_serial_sequence('") + table +
                            "', 'id'), GREATEST(COALESCE(MAX(id), 0), 1)) FROM " + table;
          Run(c, sql.c_str());
        }
      });
      Run(c, "ANALYZE notes");
      GiveBack(c, true);
    } catch (...) {
      GiveBack(c, false);
      throw;
    }
  }

  TStoreCounts Counts() override {
    return Use([&](PGconn* c) {
      TResult r = Run(c,
                      "SELECT (SELECT COUNT(*) FROM users), (SELECT COUNT(*) FROM notes), "
                      "(SELECT COUNT(*) FROM access_tokens), (SELECT COUNT(*) FROM note_tags)");
      return TStoreCounts{r.Int(0, 0), r.Int(0, 1), r.Int(0, 2), r.Int(0, 3)};
    });
  }

  int64_t CountNotes(int64_t user_id) override {
    return Use([&](PGconn* c) { return Run(c, "SELECT COUNT(*) FROM notes WHERE user_id = $1", {user_id}).Int(0, 0); });
  }

  std::string KeepValue(const std::string& key, const std::string& candidate) override {
    return Use([&](PGconn* c) {
      Run(c, "INSERT INTO meta(name, value) VALUES($1, $2) ON CONFLICT(name) DO NOTHING", {key, candidate});
      TResult r = Run(c, "SELECT value FROM meta WHERE name = $1", {key});
      if (r.Rows() != 1) throw EStoreError("database: the value " + key + " is missing");
      return r.Text(0, 0);
    });
  }

  std::optional<TThrottleEntry> ThrottleEntry(std::string_view key) override {
    return Use([&](PGconn* c) -> std::optional<TThrottleEntry> {
      TResult r =
          Run(c, "SELECT failures, last_ms, blocked_until_ms FROM login_failures WHERE key = $1", {TParam::Bytes(key)});
      if (r.Rows() != 1) return std::nullopt;
      return TThrottleEntry{static_cast<int>(r.Int(0, 0)), r.Int(0, 1), r.Int(0, 2)};
    });
  }

  void UpdateThrottle(std::string_view key,
                      const std::function<TThrottleEntry(const std::optional<TThrottleEntry>&)>& change) override {
    Use([&](PGconn* c) {
      InTransaction(c, [&] {
        // The row exists (a zero one when new) and is locked, so two
        // instances counting failures of one name add up instead of one
        // overwriting the other.
        Run(c,
            "INSERT INTO login_failures(key, failures, last_ms, blocked_until_ms) VALUES($1, 0, 0, 0) "
            "ON CONFLICT(key) DO NOTHING",
            {TParam::Bytes(key)});
        TResult r = Run(c, "SELECT failures, last_ms, blocked_until_ms FROM login_failures WHERE key = $1 FOR UPDATE",
                        {TParam::Bytes(key)});
        std::optional<TThrottleEntry> now;
        if (r.Rows() == 1 && r.Int(0, 0) > 0)
          now = TThrottleEntry{static_cast<int>(r.Int(0, 0)), r.Int(0, 1), r.Int(0, 2)};
        TThrottleEntry e = change(now);
        Run(c, "UPDATE login_failures SET failures = $2, last_ms = $3, blocked_until_ms = $4 WHERE key = $1",
            {TParam::Bytes(key), static_cast<int64_t>(e.failures), e.last_ms, e.blocked_until_ms});
      });
    });
  }

  void ForgetThrottle(std::string_view key) override {
    Use([&](PGconn* c) { Run(c, "DELETE FROM login_failures WHERE key = $1", {TParam::Bytes(key)}); });
  }

  void PurgeThrottle(int64_t last_before_ms) override {
    Use([&](PGconn* c) { Run(c, "DELETE FROM login_failures WHERE last_ms < $1", {last_before_ms}); });
  }

private:
  // Notes read newest first before a search asks the index (see the SQLite backend).
  static constexpr int64_t kScanBeforeIndex = 2000;
  // Expired device grants are kept this long, so their devices hear "expired".
  static constexpr int64_t kDeviceGrantKeptMs = 24LL * 3600 * 1000;

  static TAccessToken TokenOfRow(const TResult& r, int row, int at) {
    TAccessToken t;
    t.id = r.Int(row, at);
    t.user_id = r.Int(row, at + 1);
    t.name = r.Text(row, at + 2);
    t.scope = ParseScope(r.Text(row, at + 3)).value_or(TScope::kCapture);
    t.created_ms = r.Int(row, at + 4);
    t.last_used_ms = r.Int(row, at + 5);
    return t;
  }

  // Within a transaction.
  static TInsertResult InsertOne(PGconn* c, int64_t user_id, const TNewNote& n) {
    const TNote& note = n.note;
    if (n.same_time_is_same_note && note.paper_id.empty()) {
      TResult same = Run(c, "SELECT id FROM notes WHERE user_id = $1 AND received_ms = $2 AND body_hash = $3",
                         {user_id, n.received_ms, n.body_hash});
      if (same.Rows() > 0) return {same.Int(0, 0), false};
    }
    auto [text, key] = SearchColumns(note.title, note.body);
    std::string tags;
    for (const std::string& tag : n.tags) tags += (tags.empty() ? "" : "\n") + tag;  // a tag holds no line break
    // One statement, one round trip: the note, its tags and their counts.
    // Two instances storing the same note at once: the second insert waits
    // for the first to commit, meets the unique index and does nothing;
    // the select after it then sees the first one's row.
    TResult r = Run(c,
                    "WITH n AS (INSERT INTO notes(user_id, title, body, color, paper_id, received_ms, body_hash, "
                    "search_text, search_key) VALUES($1, $2, $3, $4, $5, $6, $7, $8, $9) "
                    "ON CONFLICT(user_id, paper_id, body_hash) WHERE paper_id <> ''::bytea DO NOTHING RETURNING id), "
                    "t AS (INSERT INTO note_tags(user_id, tag, received_ms, note_id) SELECT $1, tag, $6, n.id "
                    "FROM n, unnest(string_to_array($10, chr(10))) AS tag ON CONFLICT DO NOTHING RETURNING tag), "
                    "c AS (INSERT INTO tag_counts(user_id, tag, notes) SELECT $1, tag, 1 FROM t "
                    "ON CONFLICT(user_id, tag) DO UPDATE SET notes = tag_counts.notes + 1) "
                    "SELECT id FROM n",
                    {user_id, TParam::Bytes(note.title), TParam::Bytes(note.body),
                     note.color ? TParam(static_cast<int64_t>(*note.color)) : TParam::Null(),
                     TParam::Bytes(note.paper_id), n.received_ms, n.body_hash, text, key, tags});
    if (r.Rows() == 1) return {r.Int(0, 0), true};
    TResult first = Run(c, "SELECT id FROM notes WHERE user_id = $1 AND paper_id = $2 AND body_hash = $3",
                        {user_id, TParam::Bytes(note.paper_id), n.body_hash});
    if (first.Rows() != 1) throw EStoreError("database: a note neither stored nor found");
    return {first.Int(0, 0), false};
  }

  // Runs a COPY ... FROM STDIN, sending what `produce` appends until it says there is no more.
  static void Copy(PGconn* c, const char* sql, const std::function<bool(std::string&)>& produce) {
    TResult start(PQexec(c, sql));
    if (PQresultStatus(start.Get()) != PGRES_COPY_IN) throw EStoreError("database: " + OneLine(PQerrorMessage(c)));
    std::string data;
    for (;;) {
      data.clear();
      bool more = produce(data);
      if (!data.empty() && PQputCopyData(c, data.data(), static_cast<int>(data.size())) != 1)
        throw EConnectionLost("database connection lost: " + OneLine(PQerrorMessage(c)));
      if (!more) break;
    }
    if (PQputCopyEnd(c, nullptr) != 1) throw EConnectionLost("database connection lost: " + OneLine(PQerrorMessage(c)));
    TResult end(PQgetResult(c));
    if (PQresultStatus(end.Get()) != PGRES_COMMAND_OK) throw EStoreError("database: " + OneLine(PQerrorMessage(c)));
    while (PGresult* rest = PQgetResult(c)) PQclear(rest);
  }

  // pg_trgm is installed once for the whole database, in the schema public
  // (a schema of the service's own may be dropped with its data; the
  // extension must outlive it), by whichever instance comes first.
  static std::string TrigramSchema(PGconn* c) {
    auto where = [&] {
      TResult r = Run(c,
                      "SELECT n.nspname FROM pg_extension e JOIN pg_namespace n ON n.oid = e.extnamespace "
                      "WHERE e.extname = 'pg_trgm'");
      return r.Rows() == 1 ? r.Text(0, 0) : std::string();
    };
    std::string schema = where();
    if (!schema.empty()) return schema;
    InTransaction(c, [&] {
      Run(c, "SELECT pg_advisory_xact_lock(1885957740, 0)");
      if (!where().empty()) return;
      RunScript(c, "CREATE EXTENSION IF NOT EXISTS pg_trgm SCHEMA public");
    });
    schema = where();
    if (schema.empty()) throw EStoreError("database: the extension pg_trgm could not be installed");
    return schema;
  }

  static void CreateSearchIndex(PGconn* c) {
    std::string schema = TrigramSchema(c);
    std::string quoted = "\"";
    for (char ch : schema) quoted += ch == '"' ? std::string("\"\"") : std::string(1, ch);
    quoted += "\"";
    std::string sql =
        "CREATE INDEX IF NOT EXISTS notes_search ON notes USING gin (search_key " + quoted + ".gin_trgm_ops)";
    RunScript(c, sql.c_str());
  }

  // The search columns and tags of the notes stored before there were any, a batch at a time.
  static void FillSearch(PGconn* c) {
    for (;;) {
      TResult r = Run(c, "SELECT id, user_id, received_ms, title, body FROM notes WHERE search_text IS NULL LIMIT 500");
      if (r.Rows() == 0) break;
      for (int i = 0; i < r.Rows(); ++i) {
        std::string title = r.Bytes(i, 3), body = r.Bytes(i, 4);
        auto [text, key] = SearchColumns(title, body);
        int64_t id = r.Int(i, 0), user_id = r.Int(i, 1), received_ms = r.Int(i, 2);
        Run(c, "UPDATE notes SET search_text = $1, search_key = $2 WHERE id = $3", {text, key, id});
        for (const std::string& tag : ExtractTags(title, body)) {
          if (Run(c,
                  "INSERT INTO note_tags(user_id, tag, received_ms, note_id) VALUES($1, $2, $3, $4) "
                  "ON CONFLICT DO NOTHING",
                  {user_id, tag, received_ms, id})
                  .Affected() == 1)
            Run(c,
                "INSERT INTO tag_counts(user_id, tag, notes) VALUES($1, $2, 1) "
                "ON CONFLICT(user_id, tag) DO UPDATE SET notes = tag_counts.notes + 1",
                {user_id, tag});
        }
      }
    }
  }

  void CloseIdle() {
    for (PGconn* c : idle_) PQfinish(c);
    idle_.clear();
  }

  PGconn* Connect() {
    // Defaults first, so the URI may set them otherwise; the password last,
    // so it wins. A database host that stops answering (not refusing) is
    // found by TCP keepalives within half a minute instead of a request
    // hanging on it.
    const char* keys[] = {"fallback_application_name", "connect_timeout", "keepalives_idle", "keepalives_interval",
                          "keepalives_count",          "dbname",          "password",        nullptr};
    const char* values[] = {
        "pinleaf-server", "10", "15", "5", "3", uri_.c_str(), password_.empty() ? nullptr : password_.c_str(), nullptr};
    PGconn* c = PQconnectdbParams(keys, values, 1);
    if (!c) throw EStoreUnavailable("database unavailable: out of memory");
    if (PQstatus(c) != CONNECTION_OK) {
      std::string message = OneLine(PQerrorMessage(c));
      PQfinish(c);
      throw EStoreUnavailable("database unavailable: " + message);
    }
    // Notices ("already exists, skipping") are not worth a log line.
    PQsetNoticeProcessor(
        c, [](void*, const char*) {}, nullptr);
    return c;
  }

  // A connection of the pool for one call: an idle one, else a new one while
  // fewer than the pool's size are open, else the next one given back.
  PGconn* Take(bool& fresh) {
    std::unique_lock guard(lock_);
    if (!turn_.wait_for(guard, kPoolWait, [this] { return !idle_.empty() || open_ < max_; }))
      throw EStoreUnavailable("database unavailable: all " + std::to_string(max_) +
                              " connections of the pool stayed busy");
    if (!idle_.empty()) {
      PGconn* c = idle_.back();
      idle_.pop_back();
      fresh = false;
      return c;
    }
    ++open_;
    guard.unlock();
    try {
      fresh = true;
      return Connect();
    } catch (...) {
      guard.lock();
      --open_;
      turn_.notify_one();
      throw;
    }
  }

  void GiveBack(PGconn* c, bool keep) {
    if (keep && (PQstatus(c) != CONNECTION_OK || PQtransactionStatus(c) != PQTRANS_IDLE)) keep = false;
    if (!keep) PQfinish(c);
    std::lock_guard guard(lock_);
    if (keep)
      idle_.push_back(c);
    else
      --open_;
    turn_.notify_one();
  }

  // Runs `body` on a connection of the pool. A pooled connection that turns
  // out broken (the database restarted, or ended the session, while it sat
  // idle) is dropped and the call made once more on a new one; a new one that
  // breaks, or none to be had, makes the call fail "unavailable".
  template <typename F>
  auto Use(F body) -> std::invoke_result_t<F&, PGconn*> {
    for (int attempt = 0;; ++attempt) {
      bool fresh = false;
      PGconn* c = Take(fresh);
      try {
        if constexpr (std::is_void_v<decltype(body(c))>) {
          body(c);
          GiveBack(c, true);
          return;
        } else {
          auto result = body(c);
          GiveBack(c, true);
          return result;
        }
      } catch (const EConnectionLost&) {
        GiveBack(c, false);
        if (fresh || attempt > 0) throw;
      } catch (...) {
        GiveBack(c, true);
        throw;
      }
    }
  }

  void Migrate(PGconn* c) {
    // One instance at a time brings the schema up to date; the others wait
    // here and find nothing left to do. The key is per schema, so instances
    // on other schemas of the database do not wait for each other.
    Run(c, "SELECT pg_advisory_lock(1885957740, hashtext(coalesce(current_schema(), '')))");
    try {
      Run(c, "CREATE TABLE IF NOT EXISTS schema_version(version INTEGER PRIMARY KEY, applied_ms BIGINT NOT NULL)");
      int64_t version = Run(c, "SELECT COALESCE(MAX(version), 0) FROM schema_version").Int(0, 0);
      const char* const steps[] = {kLayout1, kLayout2, kLayout3};
      const int64_t known = static_cast<int64_t>(std::size(steps));
      if (version > known)
        throw EStoreError("the database has layout version " + std::to_string(version) +
                          ", newer than this program knows (" + std::to_string(known) + ")");
      for (int64_t v = version + 1; v <= known; ++v) {
        // Outside the step's transaction: an extension is the whole database's.
        if (v == 2) TrigramSchema(c);
        InTransaction(c, [&] {
          RunScript(c, steps[v - 1]);
          if (v == 2) {
            FillSearch(c);
            CreateSearchIndex(c);
          }
          Run(c,
              "INSERT INTO schema_version(version, applied_ms) "
              "VALUES($1, (extract(epoch FROM clock_timestamp()) * 1000)::bigint)",
              {v});
        });
      }
    } catch (...) {
      if (PQstatus(c) == CONNECTION_OK) PQclear(PQexec(c, "SELECT pg_advisory_unlock_all()"));
      throw;
    }
    Run(c, "SELECT pg_advisory_unlock_all()");
  }

  std::string uri_;
  std::string password_;
  int max_;
  std::mutex lock_;
  std::condition_variable turn_;
  std::vector<PGconn*> idle_;
  int open_ = 0;
};

}  // namespace

std::unique_ptr<TStoreBackend> OpenPgStore(const std::string& uri, const std::string& password, int pool) {
  return std::make_unique<TPgStore>(uri, password, pool);
}

}  // namespace pinleaf
