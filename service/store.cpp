#include "service/store.h"

#include "service/search.h"
#include "service/store_pg.h"
#include "service/store_sqlite.h"

#include <sodium.h>
#include <unicode/uchar.h>
#include <unicode/unorm2.h>
#include <unicode/ustring.h>

#include <chrono>

namespace pinleaf {

namespace {

// Verified against for unknown names, so a sign-in with an unknown name takes
// as long as one with a wrong password. Same cost parameters as real hashes.
const char kNoSuchAccountHash[] =
    "$argon2id$v=19$m=65536,t=2,p=1$J4f883yniwhxxp1xkIl2kw$mrI4whXkOi5n0FaHp3dgq74QgC2O3QMxw54N7CRUKhI";

int64_t SystemNowMs() {
  using namespace std::chrono;
  return duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
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

std::string ParseDbOption(const std::string& db, TStoreKind& kind, std::string& target) {
  auto starts = [&db](std::string_view prefix) { return db.rfind(prefix, 0) == 0; };
  if (starts("postgresql://") || starts("postgres://")) {
    kind = TStoreKind::kPostgres;
    target = db;
    // The part before the host: "user" or "user:password". A password in the
    // URI would be readable by every local user in the process list.
    size_t from = db.find("://") + 3;
    size_t end = db.find_first_of("/?#", from);
    std::string authority = db.substr(from, end == std::string::npos ? std::string::npos : end - from);
    size_t at = authority.rfind('@');
    std::string query = end == std::string::npos ? "" : db.substr(end);
    bool in_query = query.find("?password=") != std::string::npos || query.find("&password=") != std::string::npos;
    if ((at != std::string::npos && authority.substr(0, at).find(':') != std::string::npos) || in_query)
      return "--db: the URI carries a password; give it in PGPASSWORD, a password file (--db-password-file "
             "FILE, or libpq's PGPASSFILE) instead, never on the command line";
    return {};
  }
  if (starts("sqlite:")) {
    kind = TStoreKind::kSqlite;
    target = db.substr(7);
    if (target.empty()) return "--db sqlite: needs a file name";
    return {};
  }
  if (db.find("://") != std::string::npos)
    return "--db: unknown kind of database \"" + db.substr(0, db.find("://")) +
           "\"; give a file name, sqlite:FILE or a postgresql:// URI";
  if (db.empty()) return "--db needs a file name or a postgresql:// URI";
  kind = TStoreKind::kSqlite;
  target = db;
  return {};
}

std::unique_ptr<TStoreBackend> OpenStoreBackend(const TStoreSettings& settings) {
  TStoreKind kind{};
  std::string target;
  if (std::string bad = ParseDbOption(settings.db, kind, target); !bad.empty()) throw EStoreError(bad);
  if (kind == TStoreKind::kPostgres) return OpenPgStore(target, settings.password, settings.pool);
  return OpenSqliteStore(target);
}

TNoteStore::TNoteStore(const std::string& db) : TNoteStore(TStoreSettings{db, {}, 8}) {}

TNoteStore::TNoteStore(const TStoreSettings& settings) : now_ms(SystemNowMs) {
  if (sodium_init() < 0) throw EStoreError("the crypto library cannot start");
  backend_ = OpenStoreBackend(settings);
}

TNoteStore::TNoteStore(std::unique_ptr<TStoreBackend> backend) : now_ms(SystemNowMs), backend_(std::move(backend)) {
  if (sodium_init() < 0) throw EStoreError("the crypto library cannot start");
}

TNoteStore::~TNoteStore() = default;

std::optional<TUser> TNoteStore::CreateUser(std::string_view given, std::string_view password) {
  std::string normal = NormaliseAccountName(given);
  std::string_view name = normal;
  if (std::string why = CheckAccount(name, password); !why.empty()) throw EStoreError(why);
  std::string hash;
  {
    THashTurn turn(*this);
    hash = HashPassword(password);
  }
  std::optional<int64_t> id = backend_->InsertUser(name, hash, now_ms());
  if (!id) return std::nullopt;
  return TUser{*id, std::string(name)};
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
  return backend_->ReplacePassword(name, hash);
}

std::optional<std::pair<int64_t, std::string>> TNoteStore::FindUserHash(std::string_view name) {
  return backend_->FindUserHash(name);
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
  backend_->InsertSession(TokenHash(token), user_id, now, now + kSessionLifetimeMs);
  return token;
}

std::optional<TUser> TNoteStore::UserForSession(std::string_view token) {
  if (token.empty()) return std::nullopt;
  return backend_->SessionUser(TokenHash(token), now_ms());
}

void TNoteStore::DeleteSession(std::string_view token) { backend_->DeleteSession(TokenHash(token)); }

std::string TNoteStore::NoteHash(const TNote& note) { return TokenHash(note.title + '\0' + note.body); }

TNewNote TNoteStore::Prepare(const TNote& note, int64_t received_ms) {
  TNewNote n;
  n.note = note;
  n.received_ms = received_ms;
  n.body_hash = NoteHash(note);
  n.tags = ExtractTags(note.title, note.body);
  return n;
}

int64_t TNoteStore::AddNote(int64_t user_id, const TNote& note) { return AddNoteOnce(user_id, note).id; }

TInsertResult TNoteStore::AddNoteOnce(int64_t user_id, const TNote& note) {
  return backend_->InsertNotes(user_id, {Prepare(note, now_ms())}).at(0);
}

std::vector<TInsertResult> TNoteStore::ImportNotes(int64_t user_id,
                                                   const std::vector<std::pair<TNote, int64_t>>& notes) {
  std::vector<TNewNote> batch;
  batch.reserve(notes.size());
  int64_t now = now_ms();
  for (const auto& [note, received_ms] : notes) {
    batch.push_back(Prepare(note, received_ms > 0 ? received_ms : now));
    batch.back().same_time_is_same_note = received_ms > 0;
  }
  return backend_->InsertNotes(user_id, batch);
}

TNoteQueryResult TNoteStore::FindNotes(int64_t user_id, std::string_view query, std::string_view tag, int64_t before_ms,
                                       int64_t before_id, int64_t limit, size_t preview_bytes) {
  TNoteQuery q;
  q.user_id = user_id;
  q.terms = ParseSearch(query);
  if (!tag.empty()) {
    q.tag = NormaliseTag(tag);
    // A tag no note can carry finds nothing rather than everything.
    if (q.tag.empty()) return {};
  }
  q.before_ms = before_ms;
  q.before_id = before_id;
  q.limit = limit;
  // A few bytes more than shown, so the cut below can see whether it falls
  // inside a character.
  q.body_bytes = preview_bytes == 0 ? 0 : preview_bytes + 4;
  TNoteQueryResult result = backend_->FindNotes(q);
  if (preview_bytes > 0) {
    for (TStoredNote& n : result.notes) {
      if (n.body.size() > preview_bytes) {
        size_t cut = preview_bytes;
        while (cut > 0 && (static_cast<unsigned char>(n.body[cut]) & 0xC0) == 0x80) --cut;
        n.body.resize(cut);
      }
    }
  }
  return result;
}

std::string TNoteStore::TokenHashOf(std::string_view token) { return TokenHash(token); }

std::optional<std::pair<std::string, TAccessToken>> TNoteStore::CreateToken(int64_t user_id, std::string_view name,
                                                                            TScope scope) {
  unsigned char random[24];
  randombytes_buf(random, sizeof random);
  // A prefix of its own lets secret scanners and people tell what it is.
  std::string token = "plf_" + ToHex(random, sizeof random);
  TAccessToken t;
  t.user_id = user_id;
  t.name = std::string(name);
  t.scope = scope;
  t.created_ms = now_ms();
  std::optional<int64_t> id = backend_->InsertToken(t, TokenHash(token), kMaxTokensPerUser);
  if (!id) return std::nullopt;
  t.id = *id;
  return std::make_pair(token, t);
}

std::optional<std::pair<TUser, TAccessToken>> TNoteStore::UserForToken(std::string_view token) {
  if (token.size() != 52 || token.rfind("plf_", 0) != 0) return std::nullopt;
  // The last use is noted at most once a minute: a script calling in a loop
  // does not turn every read into a write.
  return backend_->UseToken(TokenHash(token), now_ms(), 60 * 1000);
}

namespace {

// Letters that cannot be mistaken for each other or for digits, none a vowel
// (no words by chance): 20^8 codes.
const char kUserCodeLetters[] = "BCDFGHJKLMNPQRSTVWXZ";

}  // namespace

std::string TNoteStore::NormaliseUserCode(std::string_view typed) {
  std::string code;
  for (char c : typed) {
    if (c == '-' || c == ' ') continue;
    char upper = c >= 'a' && c <= 'z' ? static_cast<char>(c - 32) : c;
    if (std::string_view(kUserCodeLetters).find(upper) == std::string_view::npos || code.size() >= 8) return {};
    code += upper;
  }
  return code.size() == 8 ? code : std::string();
}

std::string TNoteStore::ShowUserCode(const std::string& code) {
  return code.size() == 8 ? code.substr(0, 4) + "-" + code.substr(4) : code;
}

std::optional<TNoteStore::TDeviceCodes> TNoteStore::StartDeviceGrant(const std::string& client_id, TScope scope,
                                                                     const std::string& token_name,
                                                                     const std::string& address) {
  unsigned char random[32];
  randombytes_buf(random, sizeof random);
  TDeviceCodes codes;
  codes.device_code = ToHex(random, sizeof random);
  codes.expires_in_s = kDeviceCodeLifetimeS;
  codes.interval_s = kDevicePollIntervalS;
  TDeviceGrant grant;
  grant.device_code_hash = TokenHash(codes.device_code);
  grant.client_id = client_id;
  grant.scope = scope;
  grant.token_name = token_name;
  grant.address = address;
  grant.created_ms = now_ms();
  grant.expires_ms = grant.created_ms + kDeviceCodeLifetimeS * 1000;
  grant.interval_s = kDevicePollIntervalS;
  // A user code taken by another pending grant (one in 25 billion) is drawn again.
  for (int attempt = 0; attempt < 5; ++attempt) {
    grant.user_code.clear();
    for (int i = 0; i < 8; ++i) grant.user_code += kUserCodeLetters[randombytes_uniform(sizeof kUserCodeLetters - 1)];
    switch (backend_->InsertDeviceGrant(grant, 10, 10000)) {
      case TDeviceStart::kStored:
        codes.user_code = grant.user_code;
        return codes;
      case TDeviceStart::kTooMany:
        return std::nullopt;
      case TDeviceStart::kCodeTaken:
        break;
    }
  }
  return std::nullopt;
}

TDevicePollResult TNoteStore::PollDeviceGrant(std::string_view device_code, const std::string& client_id) {
  unsigned char random[24];
  randombytes_buf(random, sizeof random);
  std::string token = "plf_" + ToHex(random, sizeof random);
  TDevicePollResult r =
      backend_->PollDeviceGrant(TokenHash(device_code), client_id, now_ms(), TokenHash(token), kMaxTokensPerUser);
  if (r.answer == TDevicePoll::kIssued) r.secret = token;
  return r;
}

std::string_view ScopeName(TScope scope) {
  switch (scope) {
    case TScope::kCapture:
      return "capture";
    case TScope::kRead:
      return "read";
    case TScope::kFull:
      return "full";
  }
  return "capture";
}

std::optional<TScope> ParseScope(std::string_view name) {
  if (name == "capture") return TScope::kCapture;
  if (name == "read") return TScope::kRead;
  if (name == "full") return TScope::kFull;
  return std::nullopt;
}

std::vector<TStoredNote> TNoteStore::ListNotes(int64_t user_id, int64_t limit, int64_t offset) {
  return backend_->ListNotes(user_id, limit, offset);
}

std::vector<TStoredNote> TNoteStore::ListNotePreviews(int64_t user_id, int64_t before_ms, int64_t before_id,
                                                      int64_t limit, size_t preview_bytes) {
  // Cut at a character boundary: never in the middle of a UTF-8 sequence.
  return FindNotes(user_id, "", "", before_ms, before_id, limit, preview_bytes).notes;
}

std::optional<TStoredNote> TNoteStore::GetNote(int64_t user_id, int64_t note_id) {
  return backend_->GetNote(user_id, note_id);
}

bool TNoteStore::DeleteNote(int64_t user_id, int64_t note_id) { return backend_->DeleteNote(user_id, note_id); }

int64_t TNoteStore::CountNotes(int64_t user_id) { return backend_->CountNotes(user_id); }

std::string TNoteStore::Secret(std::string_view name) {
  unsigned char random[32];
  randombytes_buf(random, sizeof random);
  return backend_->KeepValue("secret:" + std::string(name), ToHex(random, sizeof random));
}

}  // namespace pinleaf
