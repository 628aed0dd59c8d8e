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

// A note to store: what the client sent, when it was received, the hash that
// tells it from others, and its tags.
struct TNewNote {
  TNote note;
  int64_t received_ms = 0;
  std::string body_hash;
  std::vector<std::string> tags;
  // An imported note without a paper ID is the same note as one of the
  // account's with the same text received at the same moment.
  bool same_time_is_same_note = false;
};

struct TInsertResult {
  int64_t id = 0;
  bool stored = false;  // false: the account held it already
};

// What a list of notes asks for. Terms and tag are folded (search.h).
struct TNoteQuery {
  int64_t user_id = 0;
  std::vector<std::string> terms;
  std::string tag;
  int64_t before_ms = 0, before_id = 0;  // older than this note; 0: from the newest
  int64_t limit = 50;
  size_t body_bytes = 0;  // bodies cut at this many bytes; 0: whole
  // A search that no index can answer reads at most this many notes.
  int64_t scan_rows = 20000;
};

struct TNoteQueryResult {
  std::vector<TStoredNote> notes;
  // Set when a bounded scan ended before the oldest note: the last note read.
  bool scan_cut = false;
  int64_t scanned_to_ms = 0, scanned_to_id = 0;
};

struct TTagCount {
  std::string tag;
  int64_t notes = 0;
};

// What an access token may do.
enum class TScope { kCapture, kRead, kFull };
std::string_view ScopeName(TScope scope);
std::optional<TScope> ParseScope(std::string_view name);

struct TAccessToken {
  int64_t id = 0;
  int64_t user_id = 0;
  std::string name;
  TScope scope = TScope::kCapture;
  int64_t created_ms = 0;
  int64_t last_used_ms = 0;  // 0: never used
};

struct TUserInfo {
  int64_t id = 0;
  std::string name;
  int64_t created_ms = 0;
  int64_t notes = 0;
  int64_t tokens = 0;
};

// Whole records, for copying a database into another.
struct TUserRecord {
  int64_t id = 0;
  std::string name, password_hash;
  int64_t created_ms = 0;
};
struct TTokenRecord {
  TAccessToken token;
  std::string token_hash;
};
struct TNoteRecord {
  int64_t user_id = 0;
  TStoredNote note;       // whole
  std::string body_hash;  // empty: none (notes from before hashes were kept)
};
struct TStoreCounts {
  int64_t users = 0, notes = 0, tokens = 0, tags = 0;
  bool operator==(const TStoreCounts&) const = default;
};

// A device's request to be paired with an account (the device authorization
// grant): kept in the database, so any instance answers any step.
struct TDeviceGrant {
  std::string device_code_hash;  // the device's secret, hashed
  std::string user_code;         // 8 letters, without the dash
  std::string client_id;
  TScope scope = TScope::kCapture;
  std::string token_name;  // the name the token gets ("text snap on HOST")
  std::string address;     // who asked
  int64_t created_ms = 0, expires_ms = 0;
  int interval_s = 5;
  std::string state = "pending";  // pending, approved, denied, issued
  int64_t user_id = 0;            // who decided
};

enum class TDeviceStart { kStored, kCodeTaken, kTooMany };
enum class TDeviceDecision { kDone, kNoSuchCode, kDecided, kTokenLimit };
enum class TDevicePoll { kUnknown, kPending, kSlowDown, kDenied, kExpired, kIssued, kTokenLimit };
struct TDevicePollResult {
  TDevicePoll answer = TDevicePoll::kUnknown;
  int interval_s = 0;
  TAccessToken token;  // when issued
  std::string secret;  // the token itself, when issued (TNoteStore fills it in)
};

// Limits of an account, checked when one is created or its password is set.
inline constexpr size_t kMaxUserNameBytes = 100;
inline constexpr size_t kMaxPasswordBytes = 1024;
// Access tokens an account holds at most, and how long a name may be.
inline constexpr int64_t kMaxTokensPerUser = 20;
inline constexpr size_t kMaxTokenNameBytes = 100;
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

  // Stores the notes in one transaction, each unless the account holds one
  // with the same non-empty paper ID and body hash (or, when the note says
  // so, the same time and hash); answers the ID of each stored (or found)
  // note. Tags are kept with the note, in the same transaction, as is the
  // search index.
  virtual std::vector<TInsertResult> InsertNotes(int64_t user_id, const std::vector<TNewNote>& notes) = 0;
  virtual std::vector<TStoredNote> ListNotes(int64_t user_id, int64_t limit, int64_t offset) = 0;
  virtual std::optional<TStoredNote> GetNote(int64_t user_id, int64_t note_id) = 0;
  virtual bool DeleteNote(int64_t user_id, int64_t note_id) = 0;
  virtual int64_t CountNotes(int64_t user_id) = 0;

  // A page of notes, newest first: all, a tag's, or those holding every term.
  virtual TNoteQueryResult FindNotes(const TNoteQuery& query) = 0;
  // The account's tags, most used first, at most `limit`.
  virtual std::vector<TTagCount> Tags(int64_t user_id, int64_t limit) = 0;
  // Whole notes after (after_ms, after_id), oldest first: at most `limit`,
  // and no more than `max_bytes` of text together (at least one note).
  virtual std::vector<TStoredNote> NotesAfter(int64_t user_id, int64_t after_ms, int64_t after_id, int64_t limit,
                                              size_t max_bytes) = 0;

  // Adds a token unless the account holds `max` already; its ID, or nothing.
  virtual std::optional<int64_t> InsertToken(const TAccessToken& token, const std::string& token_hash, int64_t max) = 0;
  virtual std::vector<TAccessToken> ListTokens(int64_t user_id) = 0;
  virtual bool DeleteToken(int64_t user_id, int64_t token_id) = 0;
  // The token and its account; notes its use when the last one noted is
  // older than `note_use_after_ms`.
  virtual std::optional<std::pair<TUser, TAccessToken>> UseToken(const std::string& token_hash, int64_t now_ms,
                                                                 int64_t note_use_after_ms) = 0;

  // Device grants. Expired ones are dropped a day after they expire (until
  // then their device is told "expired"). Refused when the address asks for
  // `max_per_address` or more that are still pending, or all addresses for `max_pending`.
  virtual TDeviceStart InsertDeviceGrant(const TDeviceGrant& grant, int64_t max_per_address, int64_t max_pending) = 0;
  virtual std::optional<TDeviceGrant> DeviceGrantByUserCode(const std::string& user_code) = 0;
  // Approves (for `user_id`) or denies a pending grant that has not expired.
  virtual TDeviceDecision DecideDeviceGrant(const std::string& user_code, int64_t user_id, bool approve, int64_t now_ms,
                                            int64_t max_tokens) = 0;
  // One poll of the device: too soon after the last one it is told to slow
  // down (and its interval grows by 5 s); once approved, the token with
  // `token_hash` is made for the account, in the same transaction, and the
  // grant is used up.
  virtual TDevicePollResult PollDeviceGrant(const std::string& device_code_hash, const std::string& client_id,
                                            int64_t now_ms, const std::string& token_hash, int64_t max_tokens) = 0;

  virtual std::vector<TUserInfo> ListUsers() = 0;
  // Deletes the account with everything it holds; false when there is none.
  virtual bool DeleteUser(std::string_view name) = 0;

  // For copying a database: every user, token and (in pieces) note, whole.
  virtual std::vector<TUserRecord> UserRecords() = 0;
  virtual std::vector<TTokenRecord> TokenRecords() = 0;
  // Notes of every account with an ID above `after_id`, by ID, at most `limit`.
  virtual std::vector<TNoteRecord> NoteRecords(int64_t after_id, int64_t limit) = 0;
  // Loads a copy into this database, which must hold no account yet, in one
  // transaction: IDs are kept; `next_notes` is asked until it gives none.
  virtual void Load(const std::vector<TUserRecord>& users, const std::function<std::vector<TNoteRecord>()>& next_notes,
                    const std::vector<TTokenRecord>& tokens) = 0;
  virtual TStoreCounts Counts() = 0;

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
  TInsertResult AddNoteOnce(int64_t user_id, const TNote& note);
  // Stores imported notes (with the time each was received, 0 for now) in
  // one transaction; a note the account holds already is skipped.
  std::vector<TInsertResult> ImportNotes(int64_t user_id, const std::vector<std::pair<TNote, int64_t>>& notes);
  // The hash that tells a note's text from others.
  static std::string NoteHash(const TNote& note);
  // The note as the backends take it: hash and tags worked out.
  static TNewNote Prepare(const TNote& note, int64_t received_ms);
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

  // A page of notes: `query` (a search box text) and `tag` as typed; an
  // empty query and tag list every note.
  TNoteQueryResult FindNotes(int64_t user_id, std::string_view query, std::string_view tag, int64_t before_ms,
                             int64_t before_id, int64_t limit, size_t preview_bytes);

  // Access tokens: a new one (the token itself, shown once; only its hash is
  // kept), or nothing when the account holds kMaxTokensPerUser.
  std::optional<std::pair<std::string, TAccessToken>> CreateToken(int64_t user_id, std::string_view name, TScope scope);
  // The account and token `token` names, if it is one.
  std::optional<std::pair<TUser, TAccessToken>> UserForToken(std::string_view token);
  // The hash kept for a token.
  static std::string TokenHashOf(std::string_view token);

  // Device pairing: a new grant for `client_id` (its device code, shown
  // only to the device, and its user code), or nothing when too many are
  // pending. The token it may lead to is named `token_name`.
  struct TDeviceCodes {
    std::string device_code, user_code;
    int64_t expires_in_s = 0;
    int interval_s = 0;
  };
  std::optional<TDeviceCodes> StartDeviceGrant(const std::string& client_id, TScope scope,
                                               const std::string& token_name, const std::string& address);
  // A user code as typed ("wdjb mjht", "WDJB-MJHT"): its 8 letters, or "" when it cannot be one.
  static std::string NormaliseUserCode(std::string_view typed);
  // "WDJBMJHT" -> "WDJB-MJHT".
  static std::string ShowUserCode(const std::string& code);
  TDevicePollResult PollDeviceGrant(std::string_view device_code, const std::string& client_id);
  // How long a pairing code is valid, and how often its device may ask.
  static constexpr int64_t kDeviceCodeLifetimeS = 600;
  static constexpr int kDevicePollIntervalS = 5;

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
