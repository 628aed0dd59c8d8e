// The service's storage: accounts, sign-in sessions and notes, in one SQLite file.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "service/note_document.h"

struct sqlite3;

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

// All methods may be called from any thread; the connection is shared and
// guarded by one lock. Password hashing runs outside the lock, so a slow login
// does not hold up other requests.
class TNoteStore {
public:
  // Opens (creating when absent, readable by its owner only) the database at
  // `path`; ":memory:" keeps it in memory. Raises EStoreError when it cannot
  // be opened or written.
  explicit TNoteStore(const std::string& path);
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
  // must outlive a restart, such as the one form tokens are derived from.
  std::string Secret(std::string_view name);

private:
  std::optional<std::pair<int64_t, std::string>> FindUserHash(std::string_view name);

  std::mutex lock_;
  sqlite3* db_ = nullptr;
  std::mutex hash_lock_;
  std::condition_variable hash_turn_;
  int hashes_running_ = 0;
  int hashes_waiting_ = 0;
  friend class THashTurn;
};

}  // namespace pinleaf
