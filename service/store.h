// The service's storage: accounts, sign-in sessions, notes, the counts of
// failed sign-ins and the service's secrets. TNoteStore holds the rules
// (password hashing, tokens, names); a TStoreBackend holds the data, in one
// SQLite file (the default) or in a PostgreSQL database shared by several
// instances of the service.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "service/note_document.h"

namespace pinleaf {

// Raised when the database cannot be opened or a statement fails.
class EStoreError : public std::runtime_error {
public:
  using std::runtime_error::runtime_error;
};

// Raised when too many password hashes are already running or waiting: the
// request should be answered "busy" rather than queue behind them.
class EStoreBusy : public EStoreError {
public:
  using EStoreError::EStoreError;
};

// Raised when the database cannot be reached (not running, connection lost,
// refusing sign-in): the request should be answered "unavailable" and may
// succeed later without anything done here.
class EStoreUnavailable : public EStoreError {
public:
  using EStoreError::EStoreError;
};

struct TUser {
  int64_t id = 0;
  std::string name;
};

struct TStoredNote {
  int64_t id = 0;
  std::string title;
  std::string body;        // the whole body, or its first bytes in a preview
  int64_t body_bytes = 0;  // size of the whole body
  std::optional<uint32_t> color;
  std::string paper_id;
  int64_t received_ms = 0;  // milliseconds since 1970-01-01 UTC
};

// Limits of an account, checked when one is created or its password is set.
inline constexpr size_t kMaxUserNameBytes = 100;
inline constexpr size_t kMaxPasswordBytes = 1024;
// How long a sign-in lasts.
inline constexpr int64_t kSessionLifetimeMs = 30LL * 24 * 60 * 60 * 1000;
// Sign-ins one account holds at most; a new one ends the oldest beyond this,
// so signing in again and again cannot grow the sessions without end.
inline constexpr int64_t kMaxSessionsPerUser = 100;

// Password hashes (each takes tens of MiB for a moment) run at once at most
// this many; at most kMaxHashesWaiting more wait for their turn.
inline constexpr int kMaxHashesRunning = 2;
inline constexpr int kMaxHashesWaiting = 4;

// Why a name or password cannot make an account; empty when they can.
// A name is 1-100 bytes of UTF-8 in normalisation form C, without control
// characters (C0 and C1), without invisible formatting characters and without
// blanks at either end; a password is 1-1024 bytes of anything.
std::string CheckAccount(std::string_view name, std::string_view password);

// The account name in normalisation form C, so that names that look the same
// but were typed as different code point sequences are one name. Text that
// is not UTF-8 comes back as it is.
std::string NormaliseAccountName(std::string_view name);

// Failed sign-ins counted under one key (a name or an address).
struct TThrottleEntry {
  int failures = 0;
  int64_t last_ms = 0;
  int64_t blocked_until_ms = 0;
};

// Where the data lives. Every method is one atomic step on the database and
// may be called from any thread. Names, tokens and texts are already checked
// and hashed by TNoteStore.
class TStoreBackend {
public:
  virtual ~TStoreBackend() = default;

  // The new account's ID; nothing when the name is taken.
  virtual std::optional<int64_t> InsertUser(std::string_view name, const std::string& password_hash,
                                            int64_t created_ms) = 0;
  // Sets the hash and ends every sign-in of the account; false when there is no such account.
  virtual bool ReplacePassword(std::string_view name, const std::string& password_hash) = 0;
  virtual std::optional<std::pair<int64_t, std::string>> FindUserHash(std::string_view name) = 0;

  // Drops sign-ins expired at `now_ms`, then adds one, then ends the user's
  // oldest beyond kMaxSessionsPerUser (never the one just added).
  virtual void InsertSession(const std::string& token_hash, int64_t user_id, int64_t now_ms, int64_t expires_ms) = 0;
  virtual std::optional<TUser> SessionUser(const std::string& token_hash, int64_t now_ms) = 0;
  virtual void DeleteSession(const std::string& token_hash) = 0;

  // Stores the note unless the account holds one with the same non-empty
  // paper ID and body hash; returns the ID of the stored (or found) note.
  virtual int64_t InsertNote(int64_t user_id, const TNote& note, int64_t received_ms, const std::string& body_hash) = 0;
  virtual std::vector<TStoredNote> ListNotes(int64_t user_id, int64_t limit, int64_t offset) = 0;
  // As TNoteStore::ListNotePreviews, but bodies come cut at `body_bytes` bytes
  // (anywhere) and body_bytes says the whole size.
  virtual std::vector<TStoredNote> ListNoteHeads(int64_t user_id, int64_t before_ms, int64_t before_id, int64_t limit,
                                                 size_t body_bytes) = 0;
  virtual std::optional<TStoredNote> GetNote(int64_t user_id, int64_t note_id) = 0;
  virtual bool DeleteNote(int64_t user_id, int64_t note_id) = 0;
  virtual int64_t CountNotes(int64_t user_id) = 0;

  // The value kept under `key`; `candidate` becomes it when there is none yet.
  virtual std::string KeepValue(const std::string& key, const std::string& candidate) = 0;

  virtual std::optional<TThrottleEntry> ThrottleEntry(std::string_view key) = 0;
  // Replaces the entry under `key` by change(current entry), atomically
  // against every other instance counting under the same key.
  virtual void UpdateThrottle(std::string_view key,
                              const std::function<TThrottleEntry(const std::optional<TThrottleEntry>&)>& change) = 0;
  // Forgets the entry.
  virtual void ForgetThrottle(std::string_view key) = 0;
  // Forgets every entry whose last failure is older than `last_before_ms`.
  virtual void PurgeThrottle(int64_t last_before_ms) = 0;
};

// How to reach the data: `db` is a file name or "sqlite:FILE" (":memory:"
// keeps it in memory) for SQLite, a "postgresql://" or "postgres://" URI for
// PostgreSQL. The PostgreSQL password comes from `password` when not empty,
// else from libpq's own sources (PGPASSWORD, the password file); never from
// the URI.
struct TStoreSettings {
  std::string db = "pinleaf.db";
  std::string password;
  int pool = 8;  // PostgreSQL connections held at most at once
};

enum class TStoreKind { kSqlite, kPostgres };
// Which backend `db` names and its file or URI; an error text when it names none.
std::string ParseDbOption(const std::string& db, TStoreKind& kind, std::string& target);

// Opens the backend `settings` name, bringing its schema up to date.
std::unique_ptr<TStoreBackend> OpenStoreBackend(const TStoreSettings& settings);

// All methods may be called from any thread. Password hashing runs outside
// the backend, so a slow login does not hold up other requests.
class TNoteStore {
public:
  // Opens (creating when absent) the database `db` names, see TStoreSettings.
  // A new SQLite file is readable by its owner only. Raises EStoreError when
  // it cannot be opened or written.
  explicit TNoteStore(const std::string& db);
  explicit TNoteStore(const TStoreSettings& settings);
  explicit TNoteStore(std::unique_ptr<TStoreBackend> backend);
  ~TNoteStore();
  TNoteStore(const TNoteStore&) = delete;
  TNoteStore& operator=(const TNoteStore&) = delete;

  // The clock sessions and notes are stamped with; replaceable for tests.
  std::function<int64_t()> now_ms;

  // Creates an account; nothing when the name is taken. Raises EStoreError when
  // CheckAccount refuses the name or password.
  std::optional<TUser> CreateUser(std::string_view name, std::string_view password);
  // Sets a new password and ends every sign-in of that account. False when there is no such account.
  bool SetPassword(std::string_view name, std::string_view password);
  // The account when name and password match, else nothing.
  std::optional<TUser> CheckLogin(std::string_view name, std::string_view password);

  // Starts a sign-in; returns the random token the client holds. Only a hash of
  // it is stored, so a copy of the database does not sign anybody in.
  std::string CreateSession(int64_t user_id);
  // The account signed in with `token`, if the sign-in exists and has not expired.
  std::optional<TUser> UserForSession(std::string_view token);
  void DeleteSession(std::string_view token);

  // Stores a note received now; returns its ID. A note with a paper ID that
  // the account already holds with the same text is the same note sent again
  // (its first answer was lost): it is stored once and its first ID returned.
  int64_t AddNote(int64_t user_id, const TNote& note);
  // A user's notes, newest first.
  std::vector<TStoredNote> ListNotes(int64_t user_id, int64_t limit, int64_t offset);
  // Up to `limit` of a user's notes older than the note (`before_ms`, `before_id`)
  // (all when `before_id` is 0), newest first, each body cut to its first
  // `preview_bytes` bytes (at a character boundary).
  std::vector<TStoredNote> ListNotePreviews(int64_t user_id, int64_t before_ms, int64_t before_id, int64_t limit,
                                            size_t preview_bytes);
  // One note of the user's, whole.
  std::optional<TStoredNote> GetNote(int64_t user_id, int64_t note_id);
  // Deletes a note of the user's; false when the user has no such note.
  bool DeleteNote(int64_t user_id, int64_t note_id);
  int64_t CountNotes(int64_t user_id);

  // A random secret kept with the data (created on first use), for keys that
  // must outlive a restart and be the same in every instance, such as the one
  // form tokens are derived from.
  std::string Secret(std::string_view name);

  // The counts of failed sign-ins live with the data too (see TLoginThrottle).
  TStoreBackend& Data() { return *backend_; }

private:
  std::optional<std::pair<int64_t, std::string>> FindUserHash(std::string_view name);

  std::unique_ptr<TStoreBackend> backend_;
  std::mutex hash_lock_;
  std::condition_variable hash_turn_;
  int hashes_running_ = 0;
  int hashes_waiting_ = 0;
  friend class THashTurn;
};

}  // namespace pinleaf
