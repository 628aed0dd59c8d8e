// The service's storage: accounts, sign-in sessions and notes, in one SQLite file.
#pragma once

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

struct TUser {
  int64_t id = 0;
  std::string name;
};

struct TStoredNote {
  int64_t id = 0;
  std::string title;
  std::string body;
  std::optional<uint32_t> color;
  std::string paper_id;
  int64_t received_ms = 0;  // milliseconds since 1970-01-01 UTC
};

// Limits of an account, checked when one is created or its password is set.
inline constexpr size_t kMaxUserNameBytes = 100;
inline constexpr size_t kMaxPasswordBytes = 1024;
// How long a sign-in lasts.
inline constexpr int64_t kSessionLifetimeMs = 30LL * 24 * 60 * 60 * 1000;

// Why a name or password cannot make an account; empty when they can.
// A name is 1-100 bytes of UTF-8 without control characters and without
// blanks at either end; a password is 1-1024 bytes of anything.
std::string CheckAccount(std::string_view name, std::string_view password);

// All methods may be called from any thread; the connection is shared and
// guarded by one lock. Password hashing runs outside the lock, so a slow login
// does not hold up other requests.
class TNoteStore {
public:
  // Opens (creating when absent) the database at `path`; ":memory:" keeps it in memory.
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

  // Stores a note received now; returns its ID.
  int64_t AddNote(int64_t user_id, const TNote& note);
  // A user's notes, newest first.
  std::vector<TStoredNote> ListNotes(int64_t user_id, int64_t limit, int64_t offset);
  int64_t CountNotes(int64_t user_id);

private:
  std::optional<std::pair<int64_t, std::string>> FindUserHash(std::string_view name);

  std::mutex lock_;
  sqlite3* db_ = nullptr;
  std::string dummy_hash_;  // verified against for unknown names, so they take as long as known ones
  std::once_flag dummy_once_;
};

}  // namespace pinleaf
