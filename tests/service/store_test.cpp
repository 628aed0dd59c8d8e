#include "service/store.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sodium.h>
#include <sqlite3.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <memory>
#include <thread>

#include "service/options.h"
#include "service/pages.h"
#include "service/search.h"
#include "service/throttle.h"
#include "support.h"
#include "test_db.h"

namespace pinleaf {
namespace {

using test::TestDb;

TEST(StoreRules, AccountRules) {
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

TEST(StoreRules, TheDatabaseIsAFileOrAPostgresUriWithoutPassword) {
  TStoreKind kind{};
  std::string target;
  EXPECT_EQ(ParseDbOption("notes.db", kind, target), "");
  EXPECT_TRUE(kind == TStoreKind::kSqlite && target == "notes.db");
  EXPECT_EQ(ParseDbOption("sqlite:/var/lib/pinleaf/a:b.db", kind, target), "");
  EXPECT_TRUE(kind == TStoreKind::kSqlite && target == "/var/lib/pinleaf/a:b.db");
  for (const char* uri : {"postgresql://pinleaf@db.example:5433/notes?sslmode=require", "postgres://db/notes",
                          "postgresql://?options=-csearch_path%3Dx", "postgresql://user@[::1]/notes"}) {
    EXPECT_EQ(ParseDbOption(uri, kind, target), "") << uri;
    EXPECT_TRUE(kind == TStoreKind::kPostgres && target == uri) << uri;
  }
  // A password on the command line is readable by every local user.
  for (const char* uri : {"postgresql://pinleaf:secret@db/notes", "postgres://u:@db/n",
                          "postgresql://db/notes?sslmode=require&password=secret", "postgresql://db?password=x"}) {
    EXPECT_NE(ParseDbOption(uri, kind, target).find("password"), std::string::npos) << uri;
    TOptions options;
    EXPECT_NE(ParseOptions({"--db", uri}, options), "") << uri;
  }
  EXPECT_NE(ParseDbOption("mysql://db/notes", kind, target), "");
  EXPECT_NE(ParseDbOption("sqlite:", kind, target), "");
  EXPECT_NE(ParseDbOption("", kind, target), "");
  TOptions options;
  EXPECT_EQ(ParseOptions({"--db=postgres://db/n", "--db-pool", "3", "--db-password-file", "/run/pw"}, options), "");
  EXPECT_EQ(options.db_pool, 3);
  EXPECT_EQ(options.db_password_file, "/run/pw");
  EXPECT_NE(ParseOptions({"--db-pool", "0"}, options), "");
}

// Every case runs on both backends, each time on a database of its own.
class Store : public ::testing::TestWithParam<TestDb::Kind> {
protected:
  void SetUp() override {
    if (!db_.Missing().empty()) GTEST_SKIP() << db_.Missing();
    ASSERT_EQ(db_.Error(), "");
  }
  TestDb db_{GetParam()};
};

INSTANTIATE_TEST_SUITE_P(, Store, ::testing::Values(TestDb::kSqlite, TestDb::kPostgres), [](const auto& backend) {
  return backend.param == TestDb::kSqlite ? "SQLite" : "PostgreSQL";
});

TEST_P(Store, LoginIsExactAndNamesAreTakenOnce) {
  TNoteStore store(db_.DbOption());
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
  // Names no account can have (not UTF-8, a NUL) are simply unknown.
  EXPECT_FALSE(store.CheckLogin("\xFF\xFE", password));
  EXPECT_FALSE(store.CheckLogin(std::string("alice\0", 6), password));
  // A name that would break a spliced statement is just a name.
  ASSERT_TRUE(store.CreateUser("x' OR '1'='1", "pw"));
  EXPECT_FALSE(store.CheckLogin("x' OR '1'='1", password));
  EXPECT_TRUE(store.CheckLogin("alice", password));
}

TEST_P(Store, SessionsExpireAndEndWithANewPassword) {
  TNoteStore store(db_.DbOption());
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
  // Neither the token nor the password is kept as it is.
  TUser carol = *store.CreateUser("carol", "secret-password");
  std::string kept = store.CreateSession(carol.id);
  EXPECT_EQ(db_.Number("SELECT COUNT(*) FROM sessions WHERE token_hash LIKE '%" + kept + "%'"), 0);
  EXPECT_EQ(db_.Number("SELECT COUNT(*) FROM users WHERE password_hash LIKE '%secret-password%'"), 0);
  EXPECT_EQ(db_.Number("SELECT COUNT(*) FROM users WHERE password_hash LIKE '$argon2id$%'"), 2);

  // However often an account signs in, it holds at most kMaxSessionsPerUser
  // sign-ins: each new one ends the oldest, never itself (even when all
  // expire at the same moment) nor another account's.
  std::vector<std::string> many;
  for (int64_t i = 0; i < kMaxSessionsPerUser + 5; ++i) {
    if (i <= 3) ++now;  // the first three are the oldest; the rest expire alike
    many.push_back(store.CreateSession(bob.id));
    EXPECT_TRUE(store.UserForSession(many.back())) << i;
  }
  EXPECT_EQ(db_.Number("SELECT COUNT(*) FROM sessions WHERE user_id = " + std::to_string(bob.id)), kMaxSessionsPerUser);
  for (int i = 0; i < 3; ++i) EXPECT_FALSE(store.UserForSession(many[static_cast<size_t>(i)])) << i;
  EXPECT_TRUE(store.UserForSession(kept));
}

TEST_P(Store, NotesPersistNewestFirstPerUserWithAnyBytes) {
  std::string token;
  int64_t now = 5000;
  const std::string binary("first\0x\xFF\xFE", 9);  // not UTF-8, with a NUL
  {
    TNoteStore store(db_.DbOption());
    store.now_ms = [&now] { return now; };
    TUser a = *store.CreateUser("a", "pw");
    TUser b = *store.CreateUser("b", "pw");
    token = store.CreateSession(a.id);
    store.AddNote(a.id, TNote{std::string("t\0\x81", 3), binary, 11270143u, "20261208143405123"});
    store.AddNote(b.id, TNote{"", "of b", std::nullopt, ""});
    now += 10;
    store.AddNote(a.id, TNote{"", "second", std::nullopt, ""});
    store.AddNote(a.id, TNote{"", "third, same time", 0u, ""});
  }
  TNoteStore store(db_.DbOption());
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
  EXPECT_EQ(notes[2].body, binary);
  EXPECT_EQ(notes[2].body_bytes, 9);
  EXPECT_EQ(notes[2].title, std::string("t\0\x81", 3));
  EXPECT_EQ(notes[2].color, 11270143u);
  EXPECT_EQ(notes[2].paper_id, "20261208143405123");
  EXPECT_EQ(notes[2].received_ms, 5000);
  std::vector<TStoredNote> page = store.ListNotes(a->id, 1, 1);
  ASSERT_EQ(page.size(), 1u);
  EXPECT_EQ(page[0].body, "second");
  EXPECT_EQ(store.GetNote(a->id, notes[2].id)->body, binary);
  EXPECT_FALSE(store.GetNote(a->id + 1, notes[2].id));  // not that user's

  // Previews: cut at a character boundary, paged by (time, id).
  int64_t long_id = store.AddNote(a->id, TNote{"", "日本語のメモ", std::nullopt, ""});
  std::vector<TStoredNote> first = store.ListNotePreviews(a->id, 0, 0, 2, 4);
  ASSERT_EQ(first.size(), 2u);
  EXPECT_EQ(first[0].id, long_id);
  EXPECT_EQ(first[0].body, "日");
  EXPECT_EQ(first[0].body_bytes, 18);
  std::vector<TStoredNote> rest = store.ListNotePreviews(a->id, first[1].received_ms, first[1].id, 10, 100);
  ASSERT_EQ(rest.size(), 2u);
  EXPECT_EQ(rest[0].body, "second");
  EXPECT_EQ(rest[1].body, binary);

  EXPECT_FALSE(store.DeleteNote(a->id + 1, long_id));
  EXPECT_TRUE(store.DeleteNote(a->id, long_id));
  EXPECT_FALSE(store.DeleteNote(a->id, long_id));
  EXPECT_EQ(store.CountNotes(a->id), 3);
  EXPECT_EQ(store.Secret("form"), TNoteStore(db_.DbOption()).Secret("form"));  // kept, and one for every instance
  EXPECT_NE(store.Secret("form"), store.Secret("other"));
}

// Two instances on one database take the same upload at the same moment (a
// client that retried while its first attempt was still being stored): one
// note, and both answers name it.
TEST_P(Store, TheSameNoteSentAtOnceThroughTwoInstancesIsStoredOnce) {
  TNoteStore one(db_.DbOption()), two(db_.DbOption());
  TUser u = *one.CreateUser("u", "pw");
  constexpr int kRounds = 5, kSenders = 6;
  for (int round = 0; round < kRounds; ++round) {
    TNote note{"", "snap " + std::to_string(round), std::nullopt, "2026120814340" + std::to_string(5000 + round)};
    std::atomic<bool> go{false};
    std::vector<int64_t> ids(kSenders, 0);
    std::vector<std::string> errors(kSenders);
    std::vector<std::thread> senders;
    for (int i = 0; i < kSenders; ++i) {
      senders.emplace_back([&, i] {
        while (!go) std::this_thread::yield();
        try {
          ids[i] = (i % 2 ? one : two).AddNote(u.id, note);
        } catch (const std::exception& e) {
          errors[i] = e.what();
        }
      });
    }
    go = true;
    for (std::thread& t : senders) t.join();
    for (int i = 0; i < kSenders; ++i) {
      EXPECT_EQ(errors[i], "");
      EXPECT_EQ(ids[i], ids[0]) << "round " << round;
    }
  }
  EXPECT_EQ(one.CountNotes(u.id), kRounds);
  // Another text under the same paper ID is another note; without a paper ID every upload is one.
  one.AddNote(u.id, TNote{"", "snap 0, edited", std::nullopt, "20261208143405000"});
  TNote anonymous{"", "same", std::nullopt, ""};
  EXPECT_NE(one.AddNote(u.id, anonymous), two.AddNote(u.id, anonymous));
  EXPECT_EQ(two.CountNotes(u.id), kRounds + 3);
}

// Failed sign-ins counted by one instance hold the name back on every other.
TEST_P(Store, FailedSignInsCountAcrossInstances) {
  TNoteStore one(db_.DbOption()), two(db_.DbOption());
  TLoginThrottle a(one.Data()), b(two.Data());
  const int64_t t = 10'000'000;
  for (int i = 0; i < 4; ++i) (i % 2 ? a : b).Failed("alice", "10.0.0." + std::to_string(i), t);
  EXPECT_EQ(a.WaitMs("alice", "10.0.0.9", t), 0);
  b.Failed("alice", "10.0.0.9", t);  // the fifth starts a wait of 2 s, for every address that failed on it
  EXPECT_EQ(a.WaitMs("alice", "10.0.0.1", t), 2000);
  EXPECT_EQ(b.WaitMs("alice", "10.0.0.9", t + 500), 1500);
  // The owner of the name, at an address that has not failed on it, is not held back.
  EXPECT_EQ(a.WaitMs("alice", "10.0.0.8", t), 0);
  a.Failed("alice", "10.0.0.9", t + 2000);  // and it doubles
  EXPECT_EQ(b.WaitMs("Alice", "10.0.0.9", t + 2000), 0);
  EXPECT_EQ(b.WaitMs("alice", "10.0.0.9", t + 2000), 4000);
  // A right password through one instance clears the name on the other.
  b.Succeeded("alice");
  EXPECT_EQ(a.WaitMs("alice", "10.0.0.9", t + 2000), 0);
  // An address's count is not cleared by a right password: a guesser signing
  // in to an account of its own between guesses is held back all the same.
  for (int i = 0; i < 19; ++i) (i % 2 ? a : b).Failed("name" + std::to_string(i), "203.0.113.7", t);
  EXPECT_EQ(a.WaitMs("mine", "203.0.113.7", t), 0);
  b.Succeeded("mine");
  a.Failed("name19", "203.0.113.7", t);
  EXPECT_EQ(b.WaitMs("mine", "203.0.113.7", t), 2000);

  // Counted at once from both: no failure is lost.
  std::vector<std::thread> guessers;
  for (int i = 0; i < 4; ++i)
    guessers.emplace_back([&, i] {
      for (int n = 0; n < 5; ++n) (i % 2 ? a : b).Failed("bob", "192.0.2." + std::to_string(i), t);
    });
  for (std::thread& g : guessers) g.join();
  std::optional<TThrottleEntry> bob = one.Data().ThrottleEntry("n:bob");
  ASSERT_TRUE(bob);
  EXPECT_EQ(bob->failures, 20);
  EXPECT_EQ(a.WaitMs("bob", "192.0.2.1", t), TLoginThrottle::kName.longest_wait_ms);
  EXPECT_EQ(a.WaitMs("bob", "198.51.100.1", t), 0);
  // Forgotten a quarter of an hour after the last failure, and purged by the next one.
  int64_t later = t + TLoginThrottle::kForgetMs + 1;
  EXPECT_EQ(b.WaitMs("bob", "198.51.100.1", later), 0);
  a.Failed("carol", "198.51.100.1", later);
  EXPECT_FALSE(two.Data().ThrottleEntry("n:bob"));
  // Left: carol, her address and the pair of them, and 10.0.0.9 with its
  // failure on alice, which came 2 s after the others.
  EXPECT_EQ(db_.Number("SELECT COUNT(*) FROM login_failures"), 5);
}

// Instances starting together on a fresh database: every one opens it, and
// each step of the layout is applied once.
TEST_P(Store, StoresStartingAtOnceOnAFreshDatabaseAllOpenIt) {
  constexpr int kStores = 6;
  std::vector<std::string> errors(kStores);
  std::atomic<bool> go{false};
  std::vector<std::thread> starters;
  for (int i = 0; i < kStores; ++i) {
    starters.emplace_back([&, i] {
      while (!go) std::this_thread::yield();
      try {
        TNoteStore store(db_.DbOption());
        store.Secret("form");
      } catch (const std::exception& e) {
        errors[i] = e.what();
      }
    });
  }
  go = true;
  for (std::thread& t : starters) t.join();
  for (const std::string& e : errors) EXPECT_EQ(e, "");
  int64_t versions = db_.Number("SELECT MAX(version) FROM schema_version");
  EXPECT_GE(versions, 1);
  EXPECT_EQ(db_.Number("SELECT COUNT(*) FROM schema_version"), versions);
  EXPECT_EQ(db_.Number("SELECT COUNT(*) FROM meta WHERE name = 'secret:form'"), 1);
  // A database a newer program has brought further is not touched.
  ASSERT_TRUE(
      db_.Run("INSERT INTO schema_version(version, applied_ms) VALUES(" + std::to_string(versions + 1) + ", 0)"));
  try {
    TNoteStore store(db_.DbOption());
    ADD_FAILURE() << "opened a database of a newer layout";
  } catch (const EStoreError& e) {
    EXPECT_NE(std::string(e.what()).find("newer"), std::string::npos) << e.what();
  }
}

// A database file as the service has written it until now (no version
// table) opens and keeps everything: accounts, sign-ins, notes, secrets.
TEST(SqliteStore, AFileOfTheCurrentLayoutKeepsEverything) {
  TestDb db(TestDb::kSqlite);
  ASSERT_EQ(sodium_init() < 0, false);
  char hash[crypto_pwhash_STRBYTES];
  ASSERT_EQ(crypto_pwhash_str(hash, "pw", 2, crypto_pwhash_OPSLIMIT_INTERACTIVE, crypto_pwhash_MEMLIMIT_INTERACTIVE),
            0);
  auto hex_digest = [](const std::string& bytes) {
    unsigned char digest[32];
    crypto_generichash(digest, sizeof digest, reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size(),
                       nullptr, 0);
    char hex[65];
    sodium_bin2hex(hex, sizeof hex, digest, sizeof digest);
    return std::string(hex);
  };
  const std::string token(64, 'a');
  {
    sqlite3* raw = nullptr;
    ASSERT_EQ(sqlite3_open(db.Path().c_str(), &raw), SQLITE_OK);
    std::string sql =
        "PRAGMA journal_mode = WAL;"
        "CREATE TABLE users(id INTEGER PRIMARY KEY, name TEXT NOT NULL UNIQUE, password_hash TEXT NOT NULL, "
        "created_ms INTEGER NOT NULL);"
        "CREATE TABLE sessions(token_hash TEXT PRIMARY KEY, user_id INTEGER NOT NULL REFERENCES users(id) ON DELETE "
        "CASCADE, expires_ms INTEGER NOT NULL);"
        "CREATE TABLE notes(id INTEGER PRIMARY KEY, user_id INTEGER NOT NULL REFERENCES users(id) ON DELETE CASCADE, "
        "title TEXT NOT NULL, body TEXT NOT NULL, color INTEGER, paper_id TEXT NOT NULL, received_ms INTEGER NOT "
        "NULL, body_hash TEXT);"
        "CREATE INDEX notes_by_user ON notes(user_id, received_ms DESC, id DESC);"
        "CREATE INDEX sessions_by_user ON sessions(user_id);"
        "CREATE TABLE meta(name TEXT PRIMARY KEY, value TEXT NOT NULL);"
        "CREATE UNIQUE INDEX notes_once ON notes(user_id, paper_id, body_hash) WHERE paper_id <> '';"
        "INSERT INTO meta VALUES('started_ms', '1'), ('secret:form', 'kept-secret');"
        "INSERT INTO users VALUES(7, 'dora', '" +
        std::string(hash) + "', 1);" + "INSERT INTO sessions VALUES('" + hex_digest(token) +
        "', 7, 9000000000000);"
        "INSERT INTO notes VALUES(3, 7, '', 'from before', NULL, '20250101000000000', 5, '" +
        hex_digest(std::string("\0from before", 12)) + "');" +
        "INSERT INTO notes VALUES(4, 7, '', '会議 memo #Old', NULL, '', 6, NULL);";
    ASSERT_EQ(sqlite3_exec(raw, sql.c_str(), nullptr, nullptr, nullptr), SQLITE_OK) << sqlite3_errmsg(raw);
    sqlite3_close(raw);
  }
  TNoteStore store(db.Path());
  EXPECT_EQ(store.CheckLogin("dora", "pw")->id, 7);
  EXPECT_EQ(store.UserForSession(token)->name, "dora");
  EXPECT_EQ(store.Secret("form"), "kept-secret");
  // The note sent again is the one stored before.
  EXPECT_EQ(store.AddNote(7, TNote{"", "from before", std::nullopt, "20250101000000000"}), 3);
  ASSERT_EQ(store.ListNotes(7, 10, 0).size(), 2u);
  // Notes from before the search index are found, their tags counted.
  for (std::string_view q : {"会議", "memo", "MEMO #old"}) {
    std::vector<TStoredNote> found = store.FindNotes(7, q, "", 0, 0, 10, 0).notes;
    ASSERT_EQ(found.size(), 1u) << q;
    EXPECT_EQ(found[0].id, 4) << q;
  }
  EXPECT_EQ(store.FindNotes(7, "", "old", 0, 0, 10, 0).notes.size(), 1u);
  ASSERT_EQ(store.Data().Tags(7, 10).size(), 1u);
  EXPECT_EQ(store.Data().Tags(7, 10)[0].notes, 1);
  TLoginThrottle throttle(store.Data());
  throttle.Failed("dora", "127.0.0.1", 1);
  EXPECT_EQ(db.Number("SELECT COUNT(*) FROM login_failures"), 3);  // the name, the address, the two together
  EXPECT_EQ(db.Number("SELECT COUNT(*) FROM schema_version"), db.Number("SELECT MAX(version) FROM schema_version"));
}

TEST(SqliteStore, ADatabaseOfTheEarlierLayoutKeepsItsNotesAndGainsOnceOnlyUploads) {
  TestDb db(TestDb::kSqlite);
  {
    // The layout before notes carried a hash of their text: one user, one note.
    sqlite3* raw = nullptr;
    ASSERT_EQ(sqlite3_open(db.Path().c_str(), &raw), SQLITE_OK);
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
  TNoteStore store(db.Path());
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
}

// The database goes away under a running server (its sessions are ended and
// it takes no new ones): requests are answered 503 with the cause in the log,
// and once the database is back the same server, not restarted, serves again.
TEST(PgStore, AServerWhoseDatabaseGoesAwayAnswers503AndRecoversByItself) {
  signal(SIGPIPE, SIG_IGN);
  TestDb db(TestDb::kPostgres);
  if (!db.Missing().empty()) GTEST_SKIP() << db.Missing();
  ASSERT_EQ(db.Error(), "");
  // A role of the test's own, whose password is not the one in PGPASSWORD:
  // the server can only have it from its password file.
  const std::string password = "pg-pw-" + std::to_string(getpid());
  std::string role = db.AddRole(password);
  if (role.empty()) GTEST_SKIP() << "the cluster's user may not create roles: " << db.Error();
  std::string password_file = std::filesystem::temp_directory_path() / ("pinleaf-pgpw-" + std::to_string(getpid()));
  std::ofstream(password_file) << password << "\n";

  test::ServerProcess server({"--port", "0", "--db", db.DbOption(role), "--db-password-file", password_file,
                              "--db-pool", "2", "--add-user", "alice"},
                             "alice-pw\n");
  int port = server.Port();
  ASSERT_GT(port, 0) << server.Log();
  std::string login =
      test::Exchange(port, test::FormPost("/pinleaf2/users/login", test::LoginBody("alice", "alice-pw")));
  ASSERT_EQ(test::StatusOf(login), 302) << login;
  std::string cookie = test::HeaderOf(login, "Set-Cookie");
  cookie = "Cookie: " + cookie.substr(0, cookie.find(';')) + "\r\n";
  auto upload = [&](const std::string& text) {
    return test::Exchange(
        port, test::FormPost("/pinleaf2/posts/addpinleaf", test::UploadBody(test::NoteDocument(text)), cookie));
  };
  ASSERT_EQ(test::StatusOf(upload("before")), 200);
  // Sessions ended while the database stays up (a failover, an administrator):
  // the pool's broken connections are replaced without the client noticing.
  const std::string end_sessions =
      "SELECT COUNT(pg_terminate_backend(pid)) FROM pg_stat_activity WHERE usename = '" + role + "'";
  ASSERT_GE(db.Number(end_sessions), 1);
  EXPECT_EQ(test::StatusOf(upload("after its sessions ended")), 200);

  ASSERT_TRUE(db.Run("ALTER ROLE " + role + " NOLOGIN"));
  ASSERT_GE(db.Number(end_sessions), 1);
  for (int i = 0; i < 3; ++i) {
    std::string refused = upload("while away " + std::to_string(i));
    EXPECT_EQ(test::StatusOf(refused), 503) << refused;
    EXPECT_EQ(test::HeaderOf(refused, "Retry-After"), "5");
  }
  EXPECT_EQ(test::StatusOf(test::Exchange(port, test::Get("/pinleaf2/posts/nop/?0", cookie))), 503);
  std::string log = server.Log();
  EXPECT_NE(log.find("failed: database unavailable:"), std::string::npos) << log;
  EXPECT_NE(log.find("not permitted to log in"), std::string::npos) << log;

  ASSERT_TRUE(db.Run("ALTER ROLE " + role + " LOGIN"));
  std::string back = upload("after");
  EXPECT_EQ(test::StatusOf(back), 200) << back;
  EXPECT_EQ(db.Number("SELECT COUNT(*) FROM notes"), 3);
  EXPECT_EQ(server.Finish(SIGTERM), 0);
  std::filesystem::remove(password_file);
}

// A database the server may read but not write (a standby, or one set
// read-only) stops the start with the cause, before anything is served.
TEST(PgStore, ADatabaseThatCannotBeWrittenIsRefusedAtStart) {
  TestDb db(TestDb::kPostgres);
  if (!db.Missing().empty()) GTEST_SKIP() << db.Missing();
  ASSERT_EQ(db.Error(), "");
  const std::string password = "pg-ro-" + std::to_string(getpid());
  std::string role = db.AddRole(password);
  if (role.empty()) GTEST_SKIP() << "the cluster's user may not create roles: " << db.Error();
  std::string password_file = std::filesystem::temp_directory_path() / ("pinleaf-pgro-" + std::to_string(getpid()));
  std::ofstream(password_file) << password << "\n";
  const std::vector<std::string> args{"--port", "0", "--db", db.DbOption(role), "--db-password-file", password_file};
  {
    test::ServerProcess first(args);  // lays out the tables, as that role
    ASSERT_GT(first.Port(), 0) << first.Log();
    EXPECT_EQ(first.Finish(SIGTERM), 0);
  }
  ASSERT_TRUE(db.Run("ALTER ROLE " + role + " SET default_transaction_read_only = on"));
  test::ServerProcess again(args);
  EXPECT_EQ(again.FirstLine(), "");
  EXPECT_EQ(again.Finish(0), 1);
  EXPECT_NE(again.Log().find("read-only transaction"), std::string::npos) << again.Log();
  std::filesystem::remove(password_file);
}

// Three instances on one database: whatever one was told, the others know.
// Sign in through the first, upload through the second, read the notes and
// take a form through the third, use that form through the first; failed
// sign-ins through one hold the name back on the others.
TEST(PgStore, AnyInstanceAnswersAnyRequest) {
  signal(SIGPIPE, SIG_IGN);
  TestDb db(TestDb::kPostgres);
  if (!db.Missing().empty()) GTEST_SKIP() << db.Missing();
  ASSERT_EQ(db.Error(), "");
  std::vector<std::unique_ptr<test::ServerProcess>> servers;
  std::vector<int> ports;
  for (int i = 0; i < 3; ++i) {
    servers.push_back(std::make_unique<test::ServerProcess>(
        std::vector<std::string>{"--port", "0", "--db", db.DbOption(), "--add-user", "alice"}, "alice-pw\n"));
    ports.push_back(servers.back()->Port());
    ASSERT_GT(ports.back(), 0) << servers.back()->Log();
  }
  std::string login =
      test::Exchange(ports[0], test::FormPost("/pinleaf2/users/login", test::LoginBody("alice", "alice-pw")));
  ASSERT_EQ(test::StatusOf(login), 302) << login;
  std::string session = test::HeaderOf(login, "Set-Cookie");
  session = session.substr(0, session.find(';'));
  std::string upload = test::Exchange(
      ports[1], test::FormPost("/pinleaf2/posts/addpinleaf", test::UploadBody(test::NoteDocument("through two")),
                               "Cookie: " + session + "\r\n"));
  ASSERT_EQ(test::StatusOf(upload), 200);
  EXPECT_NE(upload.find("===="), std::string::npos);

  std::string page = test::Exchange(ports[2], test::Get("/pinleaf2/notes", "Cookie: " + session + "\r\n"));
  ASSERT_EQ(test::StatusOf(page), 200);
  EXPECT_NE(page.find("through two"), std::string::npos);
  const std::string field = "name=\"token\" value=\"";
  ASSERT_NE(page.find(field), std::string::npos);
  std::string token = page.substr(page.find(field) + field.size(), 64);
  std::string form_cookie = test::HeaderOf(page, "Set-Cookie");
  form_cookie = form_cookie.substr(0, form_cookie.find(';'));
  int64_t id = db.Number("SELECT id FROM notes");
  std::string deleted = test::Exchange(
      ports[0], test::FormPost("/pinleaf2/notes/delete", "id=" + std::to_string(id) + "&token=" + token,
                               "Origin: http://127.0.0.1\r\nCookie: " + session + "; " + form_cookie + "\r\n"));
  EXPECT_EQ(test::StatusOf(deleted), 303) << deleted;
  EXPECT_EQ(db.Number("SELECT COUNT(*) FROM notes"), 0);

  for (int i = 0; i < 5; ++i)
    test::Exchange(ports[i % 3], test::FormPost("/pinleaf2/users/login", test::LoginBody("alice", "wrong")));
  std::string held =
      test::Exchange(ports[(5 + 1) % 3], test::FormPost("/pinleaf2/users/login", test::LoginBody("alice", "alice-pw")));
  EXPECT_EQ(test::StatusOf(held), 200);
  EXPECT_NE(held.find("Too many failed sign-ins"), std::string::npos) << held;
  for (auto& server : servers) EXPECT_EQ(server->Finish(SIGTERM), 0);
}

// However many requests call at once, an instance holds at most its pool's
// connections; the others wait their turn, and all are answered.
TEST(PgStore, AnInstanceHoldsAtMostItsPoolsConnections) {
  TestDb db(TestDb::kPostgres);
  if (!db.Missing().empty()) GTEST_SKIP() << db.Missing();
  ASSERT_EQ(db.Error(), "");
  const std::string name = "pool_" + std::to_string(getpid());
  const std::string held = "SELECT COUNT(*) FROM pg_stat_activity WHERE application_name = '" + name + "'";
  {
    TStoreSettings settings{db.DbOption() + "&application_name=" + name, {}, 2};
    TNoteStore store(settings);
    TUser u = *store.CreateUser("u", "pw");
    std::atomic<int> running{8}, failures{0};
    std::vector<std::thread> callers;
    for (int i = 0; i < 8; ++i)
      callers.emplace_back([&] {
        for (int n = 0; n < 40; ++n) {
          try {
            store.AddNote(u.id, TNote{"", "n", std::nullopt, ""});
            store.ListNotes(u.id, 5, 0);
          } catch (const std::exception&) {
            ++failures;
          }
        }
        --running;
      });
    int64_t most = 0;
    while (running > 0) {
      most = std::max(most, db.Number(held));
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    for (std::thread& t : callers) t.join();
    EXPECT_EQ(failures, 0);
    EXPECT_EQ(store.CountNotes(u.id), 8 * 40);
    EXPECT_GE(most, 1);
    EXPECT_LE(most, 2);
  }
  // Closed with the store (a backend leaves a moment after its client hung up).
  int64_t left = 0;
  for (int i = 0; i < 200 && (left = db.Number(held)) != 0; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  EXPECT_EQ(left, 0);
}

}  // namespace
}  // namespace pinleaf

namespace pinleaf {
namespace {

TEST(SearchRules, WordsTagsAndMarks) {
  // Blanks (the ideographic one too) part words; quotes keep a phrase; case folds; repeats count once.
  EXPECT_EQ(ParseSearch("Meeting  会議\u3000\"Budget Review\" meeting"),
            (std::vector<std::string>{"meeting", "会議", "budget review"}));
  EXPECT_EQ(ParseSearch("\"unclosed phrase"), std::vector<std::string>{"unclosed phrase"});
  EXPECT_TRUE(ParseSearch(std::string(kMaxSearchBytes + 1, 'a')).empty());
  EXPECT_EQ(FoldForSearch("ÉCOLE Straße ΣΟΦΊΑ"), "école straße σοφία");  // simple folding, as the index does
  EXPECT_TRUE(NoteMatches("Title", "body ÉCOLE", {"école", "title"}));
  EXPECT_FALSE(NoteMatches("Title", "body", {"title body"}));  // a phrase does not span title and body
  // The shortcuts give what folding the whole text gives.
  EXPECT_TRUE(ContainsFolded("議事録: 会議", "会議"));
  EXPECT_FALSE(ContainsFolded("会 議", "会議"));
  EXPECT_TRUE(ContainsFolded("ＦＵＬＬ ｗｉｄｔｈ", "ｆｕｌｌ"));  // full-width letters have case
  EXPECT_TRUE(ContainsFolded("日本 MEETING", "meeting"));
  EXPECT_TRUE(ContainsFolded("\u212Aelvin 温度", "kelvin"));  // the Kelvin sign folds to k
  EXPECT_TRUE(ContainsFolded("Mi\u017Fs", "miss"));           // so does the long s to s
  EXPECT_FALSE(ContainsFolded("plain ascii", "é"));
  EXPECT_TRUE(ContainsFolded("CAFÉ", "café"));
  // Marks: every match, escaped like all note text, on the original (unfolded) characters.
  EXPECT_EQ(HighlightHtml("<b>MEETING</b> and meeting & 会議", {"meeting", "会議"}),
            "&lt;b&gt;<mark>MEETING</mark>&lt;/b&gt; and <mark>meeting</mark> &amp; <mark>会議</mark>");
  EXPECT_EQ(HighlightHtml("aaaa", {"aa"}), "<mark>aaaa</mark>");
  // Tags: any script, folded, once; not in addresses, not after letters, not numbers.
  EXPECT_EQ(ExtractTags("#Title", "Plan #work and #Work, #仕事。 ＃買い物 #todo_list"),
            (std::vector<std::string>{"title", "work", "仕事", "買い物", "todo_list"}));
  EXPECT_TRUE(
      ExtractTags("", "https://example.com/page#section www.example.com/#x C# issue#5 #1 #2026 &#123; ##x").empty());
  EXPECT_EQ(NormaliseTag("#Work"), "work");
  EXPECT_EQ(NormaliseTag("仕事"), "仕事");
  EXPECT_EQ(NormaliseTag("a b"), "");
  EXPECT_EQ(NormaliseTag("42"), "");
  // The trigram key: ASCII as it is, every other character three letters or digits.
  EXPECT_EQ(SearchKey("ab 猫"), "ab " + SearchKey("猫"));
  EXPECT_EQ(SearchKey("猫").size(), 3u);
  EXPECT_EQ(SearchKey("猫").find_first_not_of("0123456789abcdefghijklmnopqrstuvwxyz"), std::string::npos);
}

TEST(NoteText, OnlyALastLineAddressBecomesALink) {
  const char* link =
      "<a class=\"source\" href=\"https://example.com/a?b=1&amp;c=%E4%BC%9A\" "
      "rel=\"noopener noreferrer nofollow\">https://example.com/a?b=1&amp;c=%E4%BC%9A</a>";
  EXPECT_EQ(NoteBodyHtml("copied <b>text</b>\n\nhttps://example.com/a?b=1&c=%E4%BC%9A", true, {}),
            std::string("copied &lt;b&gt;text&lt;/b&gt;\n\n") + link);
  EXPECT_EQ(NoteBodyHtml("text\n\nhttps://example.com/a?b=1&c=%E4%BC%9A\r\n", true, {}),
            std::string("text\n\n") + link + "\r\n");
  EXPECT_NE(NoteBodyHtml("HTTP://EXAMPLE.COM/X", true, {}).find("href=\"HTTP://EXAMPLE.COM/X\""), std::string::npos);
  // Nothing else: an address inside the text, other schemes, anything that
  // is not one address alone, a body shown cut.
  for (const char* body : {"see https://example.com/ here\nlast line", "javascript:alert(1)", "file:///etc/passwd",
                           "ftp://example.com/x", "https://example.com/a b", "https://", "http:///path",
                           "https://example.com/\"onmouseover=\"x", "<a href=\"https://example.com\">x</a>"}) {
    EXPECT_EQ(NoteBodyHtml(body, true, {}).find("<a"), std::string::npos) << body;
  }
  EXPECT_EQ(NoteBodyHtml("text\nhttps://example.com/", false, {}).find("<a"), std::string::npos);
  // Marks inside the link's text, not in its address.
  EXPECT_EQ(NoteBodyHtml("x\nhttps://example.com/meeting", true, {"meeting"}),
            "x\n<a class=\"source\" href=\"https://example.com/meeting\" rel=\"noopener noreferrer nofollow\">"
            "https://example.com/<mark>meeting</mark></a>");
}

std::vector<int64_t> IdsOf(const TNoteQueryResult& r) {
  std::vector<int64_t> ids;
  for (const TStoredNote& n : r.notes) ids.push_back(n.id);
  return ids;
}

// Words of one to eight characters in Latin and Japanese script, several at
// once, phrases and tags; the matches lie behind thousands of newer notes, so
// the index (not only the first scan) answers, and a bounded scan says where
// it stopped.
TEST_P(Store, SearchFindsWordsOfAnyLengthAndScriptNewestFirst) {
  TNoteStore store(db_.DbOption());
  int64_t now = 1000;
  store.now_ms = [&now] { return now++; };
  TUser a = *store.CreateUser("a", "pw");
  TUser b = *store.CreateUser("b", "pw");
  int64_t meeting = store.AddNote(a.id, TNote{"Weekly (notes.exe)", "MEETING with the budget team #Work", 0u, ""});
  int64_t kaigi = store.AddNote(a.id, TNote{"", "会議の議事録: 予算 #仕事", std::nullopt, "20261210093000123"});
  int64_t neko = store.AddNote(a.id, TNote{"", "猫が好き。 a cat note", std::nullopt, ""});
  int64_t fox = store.AddNote(a.id, TNote{"", "the quick brown fox", std::nullopt, ""});
  store.AddNote(b.id, TNote{"", "meeting of b, 会議", std::nullopt, ""});
  std::vector<std::pair<TNote, int64_t>> fillers;
  for (int i = 0; i < 2500; ++i) fillers.emplace_back(TNote{"", "filler " + std::to_string(i), std::nullopt, ""}, 0);
  store.ImportNotes(a.id, fillers);
  auto ids = [&](std::string_view q, std::string_view tag = "") {
    return IdsOf(store.FindNotes(a.id, q, tag, 0, 0, 50, 0));
  };
  using V = std::vector<int64_t>;
  EXPECT_EQ(ids("meeting"), V{meeting});
  EXPECT_EQ(ids("Weekly"), V{meeting});  // the title
  EXPECT_EQ(ids("会議"), V{kaigi});
  EXPECT_EQ(ids("猫"), V{neko});
  EXPECT_EQ(ids("議事録"), V{kaigi});
  EXPECT_EQ(ids("budget meeting"), V{meeting});
  EXPECT_EQ(ids("budget 会議"), V{});
  EXPECT_EQ(ids("\"quick brown\""), V{fox});
  EXPECT_EQ(ids("\"brown quick\""), V{});
  EXPECT_EQ(ids("filler 2499").size(), 1u);
  EXPECT_EQ(ids("").size(), 50u);
  EXPECT_EQ(ids("", "work"), V{meeting});
  EXPECT_EQ(ids("", "#WORK"), V{meeting});
  EXPECT_EQ(ids("", "仕事"), V{kaigi});
  EXPECT_EQ(ids("予算", "仕事"), V{kaigi});
  EXPECT_EQ(ids("meeting", "仕事"), V{});
  EXPECT_EQ(ids("", "a b"), V{});  // no tag at all finds nothing, not everything

  // Several matches come newest first, and page on from the last one shown.
  int64_t later = store.AddNote(a.id, TNote{"", "another meeting", std::nullopt, ""});
  EXPECT_EQ(ids("meeting"), (V{later, meeting}));
  TNoteQueryResult first = store.FindNotes(a.id, "meeting", "", 0, 0, 1, 0);
  ASSERT_EQ(IdsOf(first), V{later});
  EXPECT_EQ(IdsOf(store.FindNotes(a.id, "meeting", "", first.notes[0].received_ms, first.notes[0].id, 1, 0)),
            V{meeting});

  // A word too short for the index reads a bounded number of notes at a time
  // and says where it stopped; going on from there finds the rest.
  TNoteQuery short_word;
  short_word.user_id = a.id;
  short_word.terms = {"ca"};  // of "a cat note": two letters, which no trigram index can look up
  short_word.scan_rows = 100;
  TNoteQueryResult cut = store.Data().FindNotes(short_word);
  EXPECT_TRUE(cut.notes.empty());
  ASSERT_TRUE(cut.scan_cut);
  int rounds = 0;
  while (cut.notes.empty() && cut.scan_cut && ++rounds < 100) {
    short_word.before_ms = cut.scanned_to_ms;
    short_word.before_id = cut.scanned_to_id;
    cut = store.Data().FindNotes(short_word);
  }
  EXPECT_EQ(IdsOf(cut), V{neko});
  EXPECT_EQ(rounds, 25);  // 2501 newer notes, 100 at a time

  // Tags with their counts; a deleted note takes its tags with it.
  std::vector<TTagCount> tags = store.Data().Tags(a.id, 10);
  ASSERT_EQ(tags.size(), 2u);
  EXPECT_EQ(tags[0].notes + tags[1].notes, 2);
  EXPECT_TRUE(store.DeleteNote(a.id, meeting));
  tags = store.Data().Tags(a.id, 10);
  ASSERT_EQ(tags.size(), 1u);
  EXPECT_EQ(tags[0].tag, "仕事");
  EXPECT_EQ(ids("meeting"), V{later});
  EXPECT_EQ(store.Data().Counts().tags, 1);
}

TEST_P(Store, AccessTokensAreKeptHashedCountedAndRevocable) {
  TNoteStore store(db_.DbOption());
  int64_t now = 1000;
  store.now_ms = [&now] { return now; };
  TUser a = *store.CreateUser("a", "pw");
  auto made = store.CreateToken(a.id, "phone", TScope::kCapture);
  ASSERT_TRUE(made);
  const std::string token = made->first;
  EXPECT_EQ(token.rfind("plf_", 0), 0u);
  // Only a hash is kept.
  EXPECT_EQ(db_.Number("SELECT COUNT(*) FROM access_tokens WHERE token_hash = '" + token + "'"), 0);
  EXPECT_EQ(
      db_.Number("SELECT COUNT(*) FROM access_tokens WHERE token_hash = '" + TNoteStore::TokenHashOf(token) + "'"), 1);
  now = 5000;
  auto used = store.UserForToken(token);
  ASSERT_TRUE(used);
  EXPECT_EQ(used->first.name, "a");
  EXPECT_EQ(used->second.scope, TScope::kCapture);
  EXPECT_EQ(store.Data().ListTokens(a.id).at(0).last_used_ms, 5000);
  now = 5000 + 30 * 1000;  // within the minute: not written again
  store.UserForToken(token);
  EXPECT_EQ(store.Data().ListTokens(a.id).at(0).last_used_ms, 5000);
  EXPECT_FALSE(store.UserForToken(token.substr(0, token.size() - 1) + (token.back() == '0' ? "1" : "0")));
  EXPECT_FALSE(store.UserForToken("plf_short"));
  for (int i = 1; i < kMaxTokensPerUser; ++i)
    ASSERT_TRUE(store.CreateToken(a.id, "t" + std::to_string(i), TScope::kRead));
  EXPECT_FALSE(store.CreateToken(a.id, "one too many", TScope::kFull));
  EXPECT_TRUE(store.Data().DeleteToken(a.id, made->second.id));
  EXPECT_FALSE(store.UserForToken(token));
  EXPECT_TRUE(store.CreateToken(a.id, "room again", TScope::kFull));
  // An account deleted takes its notes and tokens with it.
  store.AddNote(a.id, TNote{"", "x #tag", std::nullopt, ""});
  EXPECT_TRUE(store.Data().DeleteUser("a"));
  EXPECT_EQ(store.Data().Counts(), TStoreCounts{});
}

}  // namespace
}  // namespace pinleaf

namespace pinleaf {
namespace {

TEST(PgStore, ADatabaseOfTheFirstLayoutGainsSearchAndTags) {
  TestDb db(TestDb::kPostgres);
  if (!db.Missing().empty()) GTEST_SKIP() << db.Missing();
  ASSERT_EQ(db.Error(), "");
  // The layout as the version before search left it, with an account and its notes.
  ASSERT_TRUE(db.Run(
      "CREATE TABLE users(id BIGINT GENERATED BY DEFAULT AS IDENTITY PRIMARY KEY, name TEXT NOT NULL UNIQUE, "
      "password_hash TEXT NOT NULL, created_ms BIGINT NOT NULL);"
      "CREATE TABLE sessions(token_hash TEXT PRIMARY KEY, user_id BIGINT NOT NULL REFERENCES users(id) ON DELETE "
      "CASCADE, expires_ms BIGINT NOT NULL);"
      "CREATE TABLE notes(id BIGINT GENERATED BY DEFAULT AS IDENTITY PRIMARY KEY, user_id BIGINT NOT NULL "
      "REFERENCES users(id) ON DELETE CASCADE, title BYTEA NOT NULL, body BYTEA NOT NULL, color BIGINT, paper_id "
      "BYTEA NOT NULL, received_ms BIGINT NOT NULL, body_hash TEXT);"
      "CREATE INDEX notes_by_user ON notes(user_id, received_ms DESC, id DESC);"
      "CREATE UNIQUE INDEX notes_once ON notes(user_id, paper_id, body_hash) WHERE paper_id <> ''::bytea;"
      "CREATE TABLE meta(name TEXT PRIMARY KEY, value TEXT NOT NULL);"
      "CREATE TABLE login_failures(key BYTEA PRIMARY KEY, failures INTEGER NOT NULL, last_ms BIGINT NOT NULL, "
      "blocked_until_ms BIGINT NOT NULL);"
      "CREATE TABLE schema_version(version INTEGER PRIMARY KEY, applied_ms BIGINT NOT NULL);"
      "INSERT INTO schema_version VALUES(1, 0);"
      "INSERT INTO users(id, name, password_hash, created_ms) VALUES(7, 'dora', 'x', 1);"
      "INSERT INTO notes(user_id, title, body, paper_id, received_ms) VALUES"
      "(7, ''::bytea, convert_to('会議 memo #Old', 'UTF8'), ''::bytea, 5),"
      "(7, convert_to('Weekly', 'UTF8'), convert_to('plain', 'UTF8'), ''::bytea, 6),"
      "(7, ''::bytea, '\\x006e756c20ff'::bytea, ''::bytea, 7);"))
      << db.Error();
  TNoteStore store(db.DbOption());
  for (std::string_view q : {"会議", "memo", "weekly"}) {
    std::vector<TStoredNote> found = store.FindNotes(7, q, "", 0, 0, 10, 0).notes;
    ASSERT_EQ(found.size(), 1u) << q;
    EXPECT_EQ(found[0].id, q == "weekly" ? 2 : 1) << q;
  }
  // A body that is no text (a NUL, a byte that is not UTF-8) is kept as it was and found by what it holds.
  EXPECT_EQ(store.FindNotes(7, "nul", "", 0, 0, 10, 0).notes.size(), 1u);
  EXPECT_EQ(store.FindNotes(7, "", "old", 0, 0, 10, 0).notes.size(), 1u);
  EXPECT_EQ(db.Number("SELECT COUNT(*) FROM notes WHERE search_key IS NULL"), 0);
  EXPECT_EQ(db.Number("SELECT MAX(version) FROM schema_version"), 3);
  // New notes go on after the old IDs.
  EXPECT_EQ(store.AddNote(7, TNote{"", "new", std::nullopt, ""}), 4);
}

}  // namespace
}  // namespace pinleaf
