#include "service/store.h"

#include <gtest/gtest.h>
#include <sqlite3.h>
#include <unistd.h>

#include <filesystem>

namespace pinleaf {
namespace {

// A database file of its own in the temporary directory, removed afterwards.
class TempDb {
public:
  TempDb()
      : path_(std::filesystem::temp_directory_path() /
              ("pinleaf-store-" + std::to_string(getpid()) + "-" + std::to_string(counter_++) + ".db")) {}
  ~TempDb() { std::filesystem::remove(path_); }
  std::string path() const { return path_.string(); }

private:
  static inline int counter_ = 0;
  std::filesystem::path path_;
};

TEST(Store, AccountRules) {
  EXPECT_EQ(CheckAccount("alice", "x"), "");
  EXPECT_EQ(CheckAccount("日本 & co=+", "p"), "");
  for (std::string bad : {std::string(), std::string(101, 'a'), std::string(" lead"), std::string("trail "),
                          std::string("tab\there"), std::string("\xFF"), std::string("nul\0", 4)}) {
    EXPECT_NE(CheckAccount(bad, "pw"), "") << testing::PrintToString(bad);
  }
  EXPECT_NE(CheckAccount("alice", ""), "");
  EXPECT_NE(CheckAccount("alice", std::string(1025, 'p')), "");
  EXPECT_EQ(CheckAccount(std::string(100, 'a'), std::string(1024, 'p')), "");
}

TEST(Store, LoginIsExactAndNamesAreTakenOnce) {
  TNoteStore store(":memory:");
  const std::string password = "p&+= 日本🎉";
  std::optional<TUser> alice = store.CreateUser("alice", password);
  ASSERT_TRUE(alice);
  EXPECT_FALSE(store.CreateUser("alice", "other"));
  EXPECT_THROW(store.CreateUser("", "pw"), EStoreError);

  EXPECT_EQ(store.CheckLogin("alice", password)->id, alice->id);
  for (std::string wrong : std::initializer_list<std::string>{"p&+= 日本", "P&+= 日本🎉", password + " ", std::string()})
    EXPECT_FALSE(store.CheckLogin("alice", wrong)) << wrong;
  EXPECT_FALSE(store.CheckLogin("Alice", password));
  EXPECT_FALSE(store.CheckLogin("nobody", password));
  // A name that would break a spliced statement is just a name.
  ASSERT_TRUE(store.CreateUser("x' OR '1'='1", "pw"));
  EXPECT_FALSE(store.CheckLogin("x' OR '1'='1", password));
  EXPECT_TRUE(store.CheckLogin("alice", password));
}

TEST(Store, SessionsExpireAndEndWithANewPassword) {
  TNoteStore store(":memory:");
  int64_t now = 1'000'000;
  store.now_ms = [&now] { return now; };
  TUser bob = *store.CreateUser("bob", "one");
  std::string token = store.CreateSession(bob.id);
  std::string other = store.CreateSession(bob.id);
  EXPECT_EQ(token.size(), 64u);
  EXPECT_NE(token, other);
  EXPECT_EQ(store.UserForSession(token)->name, "bob");
  EXPECT_FALSE(store.UserForSession(token.substr(1)));
  EXPECT_FALSE(store.UserForSession(""));

  store.DeleteSession(other);
  EXPECT_FALSE(store.UserForSession(other));
  now += kSessionLifetimeMs - 1;
  EXPECT_TRUE(store.UserForSession(token));
  now += 1;
  EXPECT_FALSE(store.UserForSession(token));

  std::string fresh = store.CreateSession(bob.id);
  EXPECT_TRUE(store.SetPassword("bob", "two"));
  EXPECT_FALSE(store.UserForSession(fresh));
  EXPECT_TRUE(store.CheckLogin("bob", "two"));
  EXPECT_FALSE(store.CheckLogin("bob", "one"));
  EXPECT_FALSE(store.SetPassword("nobody", "x"));
}

TEST(Store, NotesPersistNewestFirstPerUser) {
  TempDb db;
  std::string token;
  int64_t now = 5000;
  {
    TNoteStore store(db.path());
    store.now_ms = [&now] { return now; };
    TUser a = *store.CreateUser("a", "pw");
    TUser b = *store.CreateUser("b", "pw");
    token = store.CreateSession(a.id);
    store.AddNote(a.id, TNote{"t1", std::string("first\0x", 7), 11270143u, "20261208143405123"});
    store.AddNote(b.id, TNote{"", "of b", std::nullopt, ""});
    now += 10;
    store.AddNote(a.id, TNote{"", "second", std::nullopt, ""});
    store.AddNote(a.id, TNote{"", "third, same time", 0u, ""});
  }
  TNoteStore store(db.path());
  store.now_ms = [&now] { return now; };
  std::optional<TUser> a = store.UserForSession(token);
  ASSERT_TRUE(a);
  EXPECT_EQ(store.CountNotes(a->id), 3);
  std::vector<TStoredNote> notes = store.ListNotes(a->id, 10, 0);
  ASSERT_EQ(notes.size(), 3u);
  EXPECT_EQ(notes[0].body, "third, same time");
  EXPECT_EQ(notes[0].color, 0u);
  EXPECT_EQ(notes[1].body, "second");
  EXPECT_EQ(notes[1].color, std::nullopt);
  EXPECT_EQ(notes[2].body, std::string("first\0x", 7));
  EXPECT_EQ(notes[2].title, "t1");
  EXPECT_EQ(notes[2].color, 11270143u);
  EXPECT_EQ(notes[2].paper_id, "20261208143405123");
  EXPECT_EQ(notes[2].received_ms, 5000);
  std::vector<TStoredNote> page = store.ListNotes(a->id, 1, 1);
  ASSERT_EQ(page.size(), 1u);
  EXPECT_EQ(page[0].body, "second");
}

TEST(Store, KeepsNoTokenAndNoPasswordInTheFile) {
  TempDb db;
  std::string token;
  {
    TNoteStore store(db.path());
    token = store.CreateSession(store.CreateUser("carol", "secret-password")->id);
  }
  sqlite3* raw = nullptr;
  ASSERT_EQ(sqlite3_open(db.path().c_str(), &raw), SQLITE_OK);
  auto count = [raw](const std::string& sql) {
    sqlite3_stmt* s = nullptr;
    EXPECT_EQ(sqlite3_prepare_v2(raw, sql.c_str(), -1, &s, nullptr), SQLITE_OK);
    int64_t n = sqlite3_step(s) == SQLITE_ROW ? sqlite3_column_int64(s, 0) : -1;
    sqlite3_finalize(s);
    return n;
  };
  EXPECT_EQ(count("SELECT COUNT(*) FROM sessions"), 1);
  EXPECT_EQ(count("SELECT COUNT(*) FROM sessions WHERE token_hash LIKE '%" + token + "%'"), 0);
  EXPECT_EQ(count("SELECT COUNT(*) FROM users WHERE password_hash LIKE '%secret-password%'"), 0);
  EXPECT_EQ(count("SELECT COUNT(*) FROM users WHERE password_hash LIKE '$argon2id$%'"), 1);
  sqlite3_close(raw);
}

}  // namespace
}  // namespace pinleaf

namespace pinleaf {
namespace {

TEST(Store, ADatabaseOfTheEarlierLayoutKeepsItsNotesAndGainsOnceOnlyUploads) {
  TempDb db;
  {
    // The layout before notes carried a hash of their text: one user, one note.
    sqlite3* raw = nullptr;
    ASSERT_EQ(sqlite3_open(db.path().c_str(), &raw), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(raw,
                           "CREATE TABLE users(id INTEGER PRIMARY KEY, name TEXT NOT NULL UNIQUE, "
                           "password_hash TEXT NOT NULL, created_ms INTEGER NOT NULL);"
                           "CREATE TABLE notes(id INTEGER PRIMARY KEY, user_id INTEGER NOT NULL, title TEXT NOT NULL, "
                           "body TEXT NOT NULL, color INTEGER, paper_id TEXT NOT NULL, received_ms INTEGER NOT NULL);"
                           "INSERT INTO users VALUES(1, 'old', 'x', 0);"
                           "INSERT INTO notes VALUES(1, 1, '', 'kept from before', NULL, '20250101000000000', 5);",
                           nullptr, nullptr, nullptr),
              SQLITE_OK);
    sqlite3_close(raw);
  }
  TNoteStore store(db.path());
  TNote again{"", "kept from before", std::nullopt, "20250101000000000"};
  // The old row has no hash, so the first new copy is stored; from then on it is once only.
  int64_t first = store.AddNote(1, again);
  EXPECT_EQ(store.AddNote(1, again), first);
  std::vector<TStoredNote> notes = store.ListNotePreviews(1, 0, 0, 10, 4);
  ASSERT_EQ(notes.size(), 2u);
  EXPECT_EQ(notes[1].body, "kept");
  EXPECT_EQ(notes[1].body_bytes, 16);
  EXPECT_TRUE(store.DeleteNote(1, 1));
  EXPECT_FALSE(store.DeleteNote(2, first));  // not that user's
  EXPECT_EQ(store.CountNotes(1), 1);
  EXPECT_EQ(store.Secret("form"), TNoteStore(db.path()).Secret("form"));  // kept across openings
}

}  // namespace
}  // namespace pinleaf
