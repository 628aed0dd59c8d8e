#include "service/store_pg.h"

#include <libpq-fe.h>

#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <mutex>
#include <type_traits>

#include "service/note_document.h"

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
const char* const kMigrations[] = {
    R"sql(
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
)sql",
};

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

  int64_t InsertNote(int64_t user_id, const TNote& note, int64_t received_ms, const std::string& body_hash) override {
    return Use([&](PGconn* c) {
      // Two instances storing the same note at once: the second insert waits
      // for the first to commit, meets the unique index and does nothing;
      // the select after it then sees the first one's row.
      TResult r = Run(c,
                      "INSERT INTO notes(user_id, title, body, color, paper_id, received_ms, body_hash) "
                      "VALUES($1, $2, $3, $4, $5, $6, $7) "
                      "ON CONFLICT(user_id, paper_id, body_hash) WHERE paper_id <> ''::bytea DO NOTHING RETURNING id",
                      {user_id, TParam::Bytes(note.title), TParam::Bytes(note.body),
                       note.color ? TParam(static_cast<int64_t>(*note.color)) : TParam::Null(),
                       TParam::Bytes(note.paper_id), received_ms, body_hash});
      if (r.Rows() == 1) return r.Int(0, 0);
      TResult first = Run(c, "SELECT id FROM notes WHERE user_id = $1 AND paper_id = $2 AND body_hash = $3",
                          {user_id, TParam::Bytes(note.paper_id), body_hash});
      if (first.Rows() != 1) throw EStoreError("database: a note neither stored nor found");
      return first.Int(0, 0);
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

  std::vector<TStoredNote> ListNoteHeads(int64_t user_id, int64_t before_ms, int64_t before_id, int64_t limit,
                                         size_t body_bytes) override {
    return Use([&](PGconn* c) {
      // Only the first bytes of each body leave the database.
      TResult r =
          Run(c,
              "SELECT id, title, substring(body FROM 1 FOR $1::integer), color, paper_id, received_ms, "
              "length(body) FROM notes WHERE user_id = $2 "
              "AND ($3::bigint = 0 OR received_ms < $4::bigint OR (received_ms = $4::bigint AND id < $3::bigint)) "
              "ORDER BY received_ms DESC, id DESC LIMIT $5",
              {static_cast<int64_t>(body_bytes), user_id, before_id, before_ms, limit});
      std::vector<TStoredNote> notes;
      for (int i = 0; i < r.Rows(); ++i) {
        notes.push_back(NoteOfRow(r, i));
        notes.back().body_bytes = r.Int(i, 6);
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
      return Run(c, "DELETE FROM notes WHERE user_id = $1 AND id = $2", {user_id, note_id}).Affected() == 1;
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
      const int64_t known = static_cast<int64_t>(std::size(kMigrations));
      if (version > known)
        throw EStoreError("the database has layout version " + std::to_string(version) +
                          ", newer than this program knows (" + std::to_string(known) + ")");
      for (int64_t v = version + 1; v <= known; ++v) {
        InTransaction(c, [&] {
          RunScript(c, kMigrations[v - 1]);
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
