// Hostile clients against the real server process on loopback: bodies too
// large in every framing, slow and idle sockets, slow bodies, too many
// connections from one address, a full queue, password guessing, bursts of
// sign-ins, pages of long notes, forged log lines, foreign host names. Each case checks the answer, that ordinary
// clients are still served, and a bound on the server's peak memory (VmHWM).
#include <gtest/gtest.h>
#include <sys/socket.h>

#include <atomic>
#include <cerrno>
#include <filesystem>
#include <thread>

#include "service/server.h"
#include "support.h"
#include "test_db.h"

namespace pinleaf {
namespace {

using namespace test;

constexpr char kPassword[] = "right password";

// Under AddressSanitizer freed blocks are held in quarantine and every block
// carries shadow memory, so the server's peak says nothing about our bounds there.
#if defined(__SANITIZE_ADDRESS__)
constexpr bool kPeakMeansSomething = false;
#else
constexpr bool kPeakMeansSomething = true;
#endif

// Checks that the server's peak grew by less than `most_kib` since `before`.
void ExpectPeakGrowthBelow(const ServerProcess& server, long before, long most_kib) {
  long after = server.PeakKiB();
  ::testing::Test::RecordProperty("peak_growth_kib", static_cast<int>(after - before));
  std::printf("peak memory %ld KiB -> %ld KiB\n", before, after);
  if (kPeakMeansSomething) {
    EXPECT_LT(after - before, most_kib) << "peak grew from " << before << " KiB to " << after << " KiB";
  }
}

bool Has(const std::string& text, std::string_view part) { return text.find(part) != std::string::npos; }

class Hostile : public ::testing::Test {
protected:
  static void SetUpTestSuite() { signal(SIGPIPE, SIG_IGN); }

  // A server with account "alice", a short head deadline and a small per-address cap.
  void Start(std::vector<std::string> extra = {}) {
    db_ = "/tmp/pinleaf-hostile-" + std::to_string(getpid()) + ".db";
    std::vector<std::string> args{
        "--port", "0",         "--db", db_, "--add-user", "alice", "--head-timeout", "2", "--max-per-address",
        "40",     "--workers", "8"};
    args.insert(args.end(), extra.begin(), extra.end());
    server_ = std::make_unique<ServerProcess>(args, std::string(kPassword) + "\n");
    port_ = server_->Port();
    ASSERT_GT(port_, 0) << server_->Log();
  }
  void TearDown() override {
    if (server_) {
      EXPECT_EQ(server_->Finish(SIGTERM), 0) << server_->Log();
    }
    server_.reset();
    for (const char* suffix : {"", "-journal", "-wal", "-shm"}) std::remove((db_ + suffix).c_str());
  }

  // Signs in as the client does and returns the session cookie ("" when refused).
  std::string SignIn(const char* source = "127.0.0.1") {
    std::string answer = Exchange(port_, FormPost("/pinleaf2/users/login", LoginBody("alice", kPassword)), source);
    std::string set = HeaderOf(answer, "Set-Cookie");
    return StatusOf(answer) == 302 ? set.substr(0, set.find(';')) : std::string();
  }
  // One ordinary snap after the sign-in: probe and upload. True when stored.
  bool Snap(const std::string& cookie, const std::string& text) {
    std::string probe = Exchange(port_, Get("/pinleaf2/posts/nop/?0", "Cookie: " + cookie + "\r\n"));
    if (StatusOf(probe) != 200 || Has(probe, "data[User][username]")) return false;
    std::string upload = Exchange(
        port_, FormPost("/pinleaf2/posts/addpinleaf", UploadBody(NoteDocument(text)), "Cookie: " + cookie + "\r\n"));
    return Has(upload, "====");
  }

  std::string db_;
  std::unique_ptr<ServerProcess> server_;
  int port_ = 0;
};

// Sends `head`, then endless chunks of `chunk` bytes until the server stops
// taking them; returns the bytes sent in chunks (capped at `most`).
size_t SendChunksUntilCut(int fd, const std::string& head, size_t chunk, size_t most) {
  timeval timeout{5, 0};
  setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof timeout);
  if (!SendAll(fd, head)) return 0;
  char size[32];
  std::snprintf(size, sizeof size, "%zx\r\n", chunk);
  std::string piece = size + std::string(chunk, 'x') + "\r\n";
  size_t sent = 0;
  while (sent < most && SendAll(fd, piece)) sent += chunk;
  return sent;
}

TEST_F(Hostile, BodiesOverTheLimitAreRefusedUnreadInEveryFraming) {
  Start();
  // Bodies are read before the session counts, so none is needed here.
  EXPECT_EQ(StatusOf(Exchange(port_, Get("/pinleaf2/posts/nop/?0"))), 200);
  server_->ResetPeak();
  long before = server_->PeakKiB();
  ASSERT_GT(before, 0);
  const std::string upload =
      "POST /pinleaf2/posts/addpinleaf HTTP/1.1\r\nHost: 127.0.0.1\r\n"
      "Content-Type: application/x-www-form-urlencoded\r\n";
  const std::string login =
      "POST /pinleaf2/users/login HTTP/1.1\r\nHost: 127.0.0.1\r\n"
      "Content-Type: application/x-www-form-urlencoded\r\n";

  // A length over the limit is answered from the head alone: nothing of the body is sent here.
  EXPECT_EQ(StatusOf(Exchange(port_, upload + "Content-Length: 1073741824\r\n\r\n")), 413);
  EXPECT_EQ(StatusOf(Exchange(port_, login + "Content-Length: 5000\r\n\r\n")), 413);
  // Compressed bodies are not inflated at all; framings that could be read two ways are refused.
  EXPECT_EQ(StatusOf(Exchange(port_, upload + "Content-Encoding: gzip\r\nContent-Length: 100000\r\n\r\n")), 415);
  EXPECT_EQ(StatusOf(Exchange(port_, upload + "Content-Encoding: deflate\r\nTransfer-Encoding: chunked\r\n\r\n")), 415);
  EXPECT_EQ(StatusOf(Exchange(port_, upload + "Transfer-Encoding: chunked\r\nContent-Length: 10\r\n\r\n")), 400);
  EXPECT_EQ(StatusOf(Exchange(port_, upload + "Transfer-Encoding: gzip, chunked\r\n\r\n")), 501);
  EXPECT_EQ(StatusOf(Exchange(port_, upload + "Content-Length: 5\r\nContent-Length: 6\r\n\r\n")), 400);
  EXPECT_EQ(StatusOf(Exchange(port_,
                              "POST /pinleaf2/users/login HTTP/1.1\r\nContent-Type: multipart/form-data; boundary=x\r\n"
                              "Content-Length: 100000\r\n\r\n")),
            415);
  // A head that never ends, and a form of too many fields.
  EXPECT_EQ(StatusOf(Exchange(port_, "GET /pinleaf2/notes HTTP/1.1\r\nX-Long: " + std::string(20000, 'a'))), 431);
  std::string fields;
  for (int i = 0; i < 100; ++i) fields += "f" + std::to_string(i) + "=1&";
  EXPECT_EQ(StatusOf(Exchange(port_, FormPost("/pinleaf2/users/login", fields))), 400);

  // 1 GiB sent chunked, to the largest limit (a note) and to a small one (sign-in):
  // the server stops taking it soon after the limit and says so when it can.
  for (const std::string& head : {upload, login}) {
    int fd = Connect(port_);
    size_t sent = SendChunksUntilCut(fd, head + "Transfer-Encoding: chunked\r\n\r\n", 64 * 1024, size_t(1) << 30);
    EXPECT_LT(sent, 64u << 20) << head;
    std::string answer = ReadAnswer(fd, 2000);
    if (!answer.empty()) {
      EXPECT_EQ(StatusOf(answer), 413);
    }
    close(fd);
  }
  // A chunk-size line that never ends, and 1-byte chunks with long extensions.
  {
    int fd = Connect(port_);
    SendAll(fd, login + "Transfer-Encoding: chunked\r\n\r\n1;");
    size_t sent = 0;
    std::string filler(64 * 1024, 'e');
    timeval timeout{5, 0};
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof timeout);
    while (sent < (256u << 20) && SendAll(fd, filler)) sent += filler.size();
    EXPECT_LT(sent, 64u << 20);
    close(fd);
  }
  ExpectPeakGrowthBelow(*server_, before, 24 * 1024);
  // Still serving, and a note of the largest size still fits.
  std::string cookie = SignIn();
  ASSERT_FALSE(cookie.empty());
  EXPECT_TRUE(Snap(cookie, std::string(kMaxNoteBodyBytes, 'y')));
}

TEST_F(Hostile, SlowAndIdleClientsDoNotStarveSnaps) {
  Start();
  std::string cookie = SignIn();
  ASSERT_FALSE(cookie.empty());
  server_->ResetPeak();
  long before = server_->PeakKiB();
  // 38 sockets from each of four addresses (the cap is 40 an address): half
  // say nothing, half send a request head one byte at a time.
  std::vector<int> idle, trickling;
  for (int a = 2; a <= 5; ++a) {
    std::string source = "127.0.0." + std::to_string(a);
    for (int i = 0; i < 38; ++i) {
      int fd = Connect(port_, source.c_str());
      ASSERT_GE(fd, 0);
      (i % 2 ? idle : trickling).push_back(fd);
    }
  }
  // One address over its cap is refused at once; others are not affected.
  std::this_thread::sleep_for(std::chrono::milliseconds(300));  // all of them taken in
  int over[3];
  for (int& fd : over) fd = Connect(port_, "127.0.0.2");
  EXPECT_EQ(StatusOf(ReadAnswer(over[2], 3000)), 503);
  for (int fd : over) close(fd);

  // A connection kept alive after its answer and then silent, and a sign-in
  // whose small body stops halfway: neither may hold its socket for long.
  int kept = Connect(port_);
  ASSERT_TRUE(SendAll(kept, "GET /pinleaf2/posts/nop/?1 HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n"));
  EXPECT_EQ(StatusOf(ReadAnswer(kept, 5000)), 200);
  int half_body = Connect(port_);
  ASSERT_TRUE(SendAll(half_body,
                      "POST /pinleaf2/users/login HTTP/1.1\r\nHost: 127.0.0.1\r\n"
                      "Content-Type: application/x-www-form-urlencoded\r\nContent-Length: 100\r\n\r\n"
                      "data[User][username]=alice"));
  std::atomic<bool> done{false};
  std::thread trickle([&] {
    const std::string head = "GET /pinleaf2/notes HTTP/1.1\r\nHost: 127.0.0.1\r\nX-Slow: ";
    for (size_t i = 0; !done; ++i) {
      for (int fd : trickling) send(fd, head.data() + (i % head.size()), 1, MSG_NOSIGNAL | MSG_DONTWAIT);
      std::this_thread::sleep_for(std::chrono::milliseconds(200));
    }
  });
  int stored = 0;
  for (int i = 0; i < 10; ++i) stored += Snap(cookie, "ordinary snap " + std::to_string(i));
  EXPECT_EQ(stored, 10);

  // The head deadline (2 s here) ends every one of them, trickling or not.
  int closed = 0;
  auto until = std::chrono::steady_clock::now() + std::chrono::seconds(8);
  for (std::vector<int>* set : {&idle, &trickling}) {
    for (int fd : *set) {
      char buffer[512];
      for (;;) {
        int left = static_cast<int>(
            std::chrono::duration_cast<std::chrono::milliseconds>(until - std::chrono::steady_clock::now()).count());
        pollfd p{fd, POLLIN, 0};
        if (left <= 0 || poll(&p, 1, left) <= 0) break;
        ssize_t n = recv(fd, buffer, sizeof buffer, 0);
        if (n <= 0) {
          ++closed;
          break;
        }
      }
    }
  }
  done = true;
  trickle.join();
  EXPECT_EQ(closed, static_cast<int>(idle.size() + trickling.size()));
  // The kept-alive one goes once idle (5 s), without an answer; the half body
  // meets the head deadline (2 s here), which small bodies share.
  EXPECT_EQ(ReadAnswer(kept, 8000), "");
  char byte;
  EXPECT_EQ(recv(kept, &byte, 1, MSG_DONTWAIT), 0) << "the kept-alive connection is still open";
  EXPECT_EQ(StatusOf(ReadAnswer(half_body, 8000)), 408);
  close(kept);
  close(half_body);
  for (int fd : idle) close(fd);
  for (int fd : trickling) close(fd);
  EXPECT_TRUE(Snap(cookie, "after the siege"));
  ExpectPeakGrowthBelow(*server_, before, 32 * 1024);
}

TEST_F(Hostile, SlowBodiesFromOneAddressHoldOnlyAFewWorkers) {
  Start();  // 8 workers
  std::string cookie = SignIn();
  ASSERT_FALSE(cookie.empty());
  // Ten uploads announcing 1 MiB and sending a byte now and then: each would
  // hold a worker until the request deadline (30 s).
  std::vector<int> slow;
  for (int i = 0; i < 10; ++i) {
    int fd = Connect(port_, "127.0.0.30");
    ASSERT_GE(fd, 0);
    SendAll(fd,
            "POST /pinleaf2/posts/addpinleaf HTTP/1.1\r\nHost: 127.0.0.1\r\n"
            "Content-Type: application/x-www-form-urlencoded\r\nContent-Length: 1048576\r\n\r\nd");
    slow.push_back(fd);
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  int stored = 0;
  for (int i = 0; i < 5; ++i) {
    for (int fd : slow) send(fd, "a", 1, MSG_NOSIGNAL | MSG_DONTWAIT);
    stored += Snap(cookie, "beside slow bodies " + std::to_string(i));
  }
  EXPECT_EQ(stored, 5);
  // Still sending a byte every half second, each gets no more than the
  // request's deadline (30 s for body and answer, from the hand-over to a
  // worker): those on workers are cut then, the others were turned away
  // from the gate at their head deadline.
  std::vector<bool> open(slow.size(), true);
  std::vector<std::string> answers(slow.size());
  size_t ended = 0;
  const auto started = std::chrono::steady_clock::now();
  while (ended < slow.size() && std::chrono::steady_clock::now() - started < std::chrono::seconds(45)) {
    for (size_t i = 0; i < slow.size(); ++i) {
      if (!open[i]) continue;
      char buffer[4096];
      ssize_t n = recv(slow[i], buffer, sizeof buffer, MSG_DONTWAIT);
      if (n > 0) answers[i].append(buffer, static_cast<size_t>(n));
      bool gone = n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK);
      if (!gone && n < 0) gone = send(slow[i], "a", 1, MSG_NOSIGNAL | MSG_DONTWAIT) < 0 && errno != EAGAIN;
      if (gone) {
        open[i] = false;
        ++ended;
      }
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
  }
  auto took = std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now() - started).count();
  std::printf("slow bodies ended by the server after %lld s\n", static_cast<long long>(took));
  EXPECT_EQ(ended, slow.size()) << "slow bodies still open after " << took << " s";
  int timed_out = 0, turned_away = 0;
  for (const std::string& answer : answers) {
    timed_out += StatusOf(answer) == 408;
    turned_away += StatusOf(answer) == 503;
  }
  EXPECT_EQ(timed_out, 4);  // half of the 8 workers
  EXPECT_EQ(turned_away, 6);
  EXPECT_TRUE(Snap(cookie, "after the slow bodies"));
  for (int fd : slow) close(fd);
}

// With every worker busy, complete requests wait in a queue of 256; those
// beyond it are refused at once instead of piling up, and the waiting ones
// are all answered once a worker is free.
TEST_F(Hostile, RequestsBeyondTheQueueAreRefusedAtOnceAndTheQueuedAreServed) {
  Start({"--workers", "1"});
  // The one worker, held by an upload whose body does not come.
  int blocker = Connect(port_, "127.0.0.50");
  ASSERT_TRUE(SendAll(blocker,
                      "POST /pinleaf2/posts/addpinleaf HTTP/1.1\r\nHost: 127.0.0.1\r\n"
                      "Content-Type: application/x-www-form-urlencoded\r\nContent-Length: 1048576\r\n\r\nd"));
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  // 300 requests from 300 addresses (one address has one request queued at most).
  std::vector<int> waiting;
  for (int i = 0; i < 300; ++i) {
    std::string source = "127.0." + std::to_string(5 + i / 200) + "." + std::to_string(1 + i % 200);
    int fd = Connect(port_, source.c_str());
    ASSERT_GE(fd, 0);
    ASSERT_TRUE(SendAll(fd, Get("/pinleaf2/posts/nop/?" + std::to_string(i))));
    waiting.push_back(fd);
  }
  // The refusals come as the gate takes the heads in, while the worker is still held.
  int refused_at_once = 0;
  std::vector<bool> refused(waiting.size(), false);
  for (int round = 0; round < 100 && refused_at_once < 300 - 256; ++round) {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    for (size_t i = 0; i < waiting.size(); ++i) {
      pollfd p{waiting[i], POLLIN, 0};
      if (refused[i] || poll(&p, 1, 0) <= 0) continue;
      refused[i] = true;
      refused_at_once += StatusOf(ReadAnswer(waiting[i], 2000)) == 503;
    }
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(200));  // no more than those
  for (size_t i = 0; i < waiting.size(); ++i) {
    pollfd p{waiting[i], POLLIN, 0};
    if (!refused[i] && poll(&p, 1, 0) > 0) ++refused_at_once;
  }
  close(blocker);
  int answered = 0;
  for (int fd : waiting) {
    answered += StatusOf(ReadAnswer(fd, 15000)) == 200;
    close(fd);
  }
  EXPECT_EQ(refused_at_once, 300 - 256);
  EXPECT_EQ(answered, 256);
}

TEST_F(Hostile, PasswordGuessingIsSlowedAlikeForRealAndUnknownNames) {
  Start();
  auto attempt = [&](const std::string& name, const std::string& password, const char* source) {
    return Exchange(port_, FormPost("/pinleaf2/users/login", LoginBody(name, password)), source);
  };
  // The page without its form token, which differs by design.
  auto page = [](std::string answer) {
    std::string body = BodyOf(answer);
    size_t at = body.find("name=\"token\" value=\"");
    if (at != std::string::npos) body.erase(at, 20 + 64);
    return std::to_string(StatusOf(answer)) + body;
  };
  // Five failures for a real name and for an unknown one, answered alike. Each
  // fifth is followed at once by an attempt from the guessing address that
  // must wait (a hash takes long on a busy machine; the wait starts at the failure).
  std::string held[2];
  for (int i = 0; i < 5; ++i) {
    std::string real = attempt("alice", "guess" + std::to_string(i), "127.0.0.20");
    if (i == 4) held[0] = attempt("alice", kPassword, "127.0.0.20");  // right password, held all the same
    std::string unknown = attempt("nobody", "guess" + std::to_string(i), "127.0.0.20");
    if (i == 4) held[1] = attempt("nobody", "guess", "127.0.0.20");
    EXPECT_TRUE(Has(real, "The ID or the password is wrong."));
    EXPECT_EQ(page(real), page(unknown));
  }
  EXPECT_TRUE(Has(held[0], "Too many failed sign-ins"));
  EXPECT_EQ(page(held[0]), page(held[1]));
  EXPECT_TRUE(Has(held[0], "data[User][username]"));  // the client reads it as "cannot login!"
  // The owner, at an address of their own, is not kept out by the guessing at
  // all; at the guessing address only for a moment.
  EXPECT_EQ(StatusOf(attempt("alice", kPassword, "127.0.0.21")), 302);
  std::string in;
  for (int i = 0; i < 30 && StatusOf(in) != 302; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    in = attempt("alice", kPassword, "127.0.0.20");
  }
  EXPECT_EQ(StatusOf(in), 302);
  // One address trying many names is held back too.
  std::string address_held;
  for (int i = 0; i < 20; ++i) {
    attempt("name" + std::to_string(i), "x", "127.0.0.22");
    if (i == 19) address_held = attempt("alice", kPassword, "127.0.0.22");
  }
  EXPECT_TRUE(Has(address_held, "Too many failed sign-ins"));
  EXPECT_EQ(StatusOf(attempt("alice", kPassword, "127.0.0.23")), 302);
}

// An unknown name costs the same password hash as a wrong password (the
// hash's 64 MiB show in the peak), so neither the answer nor its time tells
// which names exist.
TEST_F(Hostile, AnUnknownNameCostsAPasswordHashLikeAWrongPassword) {
  Start();
  auto timed_attempt = [&](const std::string& name, const char* source, long& growth_kib) {
    server_->ResetPeak();
    long before = server_->PeakKiB();
    auto start = std::chrono::steady_clock::now();
    std::string answer = Exchange(port_, FormPost("/pinleaf2/users/login", LoginBody(name, "wrong")), source);
    auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count();
    growth_kib = server_->PeakKiB() - before;
    EXPECT_TRUE(Has(answer, "The ID or the password is wrong.")) << name;
    return static_cast<long>(ms);
  };
  long known_kib = 0, unknown_kib = 0, odd_kib = 0;
  long known_ms = timed_attempt("alice", "127.0.0.40", known_kib);
  long unknown_ms = timed_attempt("nobody", "127.0.0.41", unknown_kib);
  // A name no account can have (not UTF-8) takes the same way.
  long odd_ms = timed_attempt("\xFFnobody", "127.0.0.42", odd_kib);
  std::printf("wrong password %ld ms (+%ld KiB), unknown name %ld ms (+%ld KiB), unusable name %ld ms (+%ld KiB)\n",
              known_ms, known_kib, unknown_ms, unknown_kib, odd_ms, odd_kib);
  if (kPeakMeansSomething) {
    EXPECT_GT(known_kib, 48 * 1024);
    EXPECT_GT(unknown_kib, 48 * 1024);
    EXPECT_GT(odd_kib, 48 * 1024);
  }
}

TEST_F(Hostile, ABurstOfSignInsDoesNotStarveUploads) {
  Start();
  std::string cookie = SignIn();
  ASSERT_FALSE(cookie.empty());
  server_->ResetPeak();
  long before = server_->PeakKiB();
  std::atomic<int> answered{0}, busy{0}, stored{0};
  std::vector<std::thread> threads;
  for (int i = 0; i < 40; ++i) {
    threads.emplace_back([&, i] {
      std::string source = "127.0.1." + std::to_string(i + 1);
      std::string a =
          Exchange(port_, FormPost("/pinleaf2/users/login", LoginBody("u" + std::to_string(i), "pw")), source.c_str());
      answered += StatusOf(a) == 200;
      busy += StatusOf(a) == 503;
    });
  }
  for (int i = 0; i < 10; ++i) stored += Snap(cookie, "during the burst " + std::to_string(i));
  for (std::thread& t : threads) t.join();
  EXPECT_EQ(stored, 10);
  EXPECT_EQ(answered + busy, 40);
  std::printf("%d sign-ins answered, %d told busy\n", answered.load(), busy.load());
  // Two hashes of 64 MiB at a time, with room to spare; forty at once would be 2.5 GiB.
  ExpectPeakGrowthBelow(*server_, before, 160 * 1024);
}

// Pages of long notes: only previews leave the database (SQLite and
// PostgreSQL alike), so walking every page of a hundred notes of 1 MiB costs
// little memory and each page is small.
TEST_F(Hostile, NotesPagesOfLongNotesStaySmallInSizeAndMemory) {
  const int kNotes = 100;
  for (TestDb::Kind kind : {TestDb::kSqlite, TestDb::kPostgres}) {
    const char* backend = kind == TestDb::kSqlite ? "SQLite" : "PostgreSQL";
    TestDb db(kind);
    if (!db.Missing().empty()) {
      std::printf("%s not tried: %s\n", backend, db.Missing().c_str());
      continue;
    }
    ASSERT_EQ(db.Error(), "");
    {
      TNoteStore store(db.DbOption());
      TUser alice = *store.CreateUser("alice", kPassword);
      std::string body(kMaxNoteBodyBytes - 8, 'n');
      for (int i = 0; i < kNotes; ++i) {
        char tail[9];
        std::snprintf(tail, sizeof tail, "%08d", i);
        store.AddNote(alice.id, TNote{std::string(kMaxNoteTitleBytes, 't'), body + tail, std::nullopt, ""});
      }
    }
    Start({"--db", db.DbOption()});
    std::string cookie = SignIn();
    ASSERT_FALSE(cookie.empty()) << backend;
    server_->ResetPeak();
    long before = server_->PeakKiB();
    std::string query;
    int pages = 0, notes = 0;
    for (; pages < kNotes; ++pages) {
      std::string page = Exchange(port_, Get("/pinleaf2/notes" + query, "Cookie: " + cookie + "\r\n"));
      ASSERT_EQ(StatusOf(page), 200) << backend;
      EXPECT_LT(BodyOf(page).size(), 2 * kNotesPageBytes + 32 * 1024) << backend;
      for (size_t at = 0; (at = page.find("<article", at)) != std::string::npos; ++at) ++notes;
      const std::string anchor = "class=\"older\" href=\"";
      size_t older = page.find(anchor);
      if (older == std::string::npos) break;
      older += anchor.size();
      query = page.substr(older, page.find('"', older) - older);
    }
    EXPECT_EQ(notes, kNotes) << backend;
    // The whole of one note is there behind its link.
    std::string view = Exchange(port_, Get("/pinleaf2/notes/view?id=1", "Cookie: " + cookie + "\r\n"));
    EXPECT_EQ(StatusOf(view), 200) << backend;
    EXPECT_TRUE(Has(view, "00000000</pre>")) << backend;
    std::printf("%s: %d pages for %d notes of 1 MiB\n", backend, pages + 1, notes);
    // A page built from whole bodies would take 51 of them: over 50 MiB.
    ExpectPeakGrowthBelow(*server_, before, 16 * 1024);
    EXPECT_EQ(server_->Finish(SIGTERM), 0) << server_->Log();
    server_.reset();
  }
}

TEST_F(Hostile, LogLinesCannotBeForgedAndForeignHostsGetNothing) {
  Start({"--public-name", "notes.example"});
  std::string bad = Exchange(port_,
                             "GET /pinleaf2/%0D%0Afake%20line%20%C2%85%FF HTTP/1.1\r\nHost: notes.example\r\n"
                             "Connection: close\r\n\r\n");
  EXPECT_EQ(StatusOf(bad), 404);
  // The line is written just after the answer.
  std::string log;
  for (int i = 0; i < 50 && !Has(log = server_->Log(), "fake"); ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_TRUE(Has(log, "\\x0d\\x0afake line \\xc2\\x85\\xff")) << log;
  EXPECT_FALSE(Has(log, "\nfake")) << log;
  // Named by another host (a rebinding name pointing here): refused.
  EXPECT_EQ(StatusOf(Exchange(port_, "GET /pinleaf2/posts/nop/?0 HTTP/1.1\r\nHost: evil.example\r\n\r\n")), 421);
  EXPECT_EQ(StatusOf(Exchange(port_, "GET /pinleaf2/posts/nop/?0 HTTP/1.1\r\nHost: NOTES.example:8660\r\n\r\n")), 200);
}

// HTTPS connections pass the same gate: TLS sockets that never finish their
// handshake hold no worker, count against their own address's cap, meet the
// head deadline, and are freed on both sides, closed by either end.
TEST_F(Hostile, SilentTLSClientsHoldNoWorkerAndCountByTheirOwnAddress) {
  const std::string dir = "/tmp/pinleaf-hostile-tls-" + std::to_string(getpid());
  std::filesystem::create_directories(dir);
  ASSERT_EQ(testprocess::RunToEnd(
                {"openssl", "req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes",
                 "-days", "2", "-subj", "/CN=localhost", "-keyout", dir + "/k.pem", "-out", dir + "/c.pem"},
                dir + "/openssl.log"),
            0);
  Start({"--tls-cert", dir + "/c.pem", "--tls-key", dir + "/k.pem"});  // cap 40 an address, 8 workers
  const auto sign_in = [&](const char* source) {
    std::string answer = TLSExchange(port_, FormPost("/pinleaf2/users/login", LoginBody("alice", kPassword)), source);
    std::string set = HeaderOf(answer, "Set-Cookie");
    if (StatusOf(answer) != 302) return std::string();
    EXPECT_NE(set.find("; Secure"), std::string::npos) << answer;
    return set.substr(0, set.find(';'));
  };
  const auto snap = [&](const std::string& cookie, const std::string& text, const char* source) {
    std::string upload = TLSExchange(
        port_, FormPost("/pinleaf2/posts/addpinleaf", UploadBody(NoteDocument(text)), "Cookie: " + cookie + "\r\n"),
        source);
    return Has(upload, "====");
  };
  // Signed in first: a password hash takes 64 MiB for a moment, which would hide the rest.
  std::string cookie = sign_in("127.0.0.3");
  ASSERT_FALSE(cookie.empty());
  server_->ResetPeak();
  long before = server_->PeakKiB();
  // 40 sockets from 127.0.0.2 (its whole cap): half say nothing, half send
  // the start of a ClientHello and stop there.
  const std::string hello("\x16\x03\x01\x02\x00\x01\x00\x01\xfc\x03\x03", 11);
  std::vector<int> held;
  for (int i = 0; i < 40; ++i) {
    int fd = Connect(port_, "127.0.0.2");
    ASSERT_GE(fd, 0);
    if (i % 2) SendAll(fd, hello);
    held.push_back(fd);
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(300));  // all of them taken in
  // One more from that address is refused by the gate, and the refusal
  // reaches it over TLS; another address is served by the workers meanwhile,
  // and the stalled sockets take little memory.
  EXPECT_EQ(StatusOf(TLSExchange(port_, Get("/pinleaf2/posts/nop/?0"), "127.0.0.2")), 503) << server_->Log();
  EXPECT_TRUE(snap(cookie, "snapped while others stall", "127.0.0.3"));
  ExpectPeakGrowthBelow(*server_, before, 16 * 1024);

  // Ten of them go away by themselves, five with a reset: their places are
  // free again for that address.
  for (int i = 0; i < 10; ++i) {
    if (i % 2) {
      linger abort{1, 0};
      setsockopt(held[static_cast<size_t>(i)], SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
    }
    close(held[static_cast<size_t>(i)]);
  }
  held.erase(held.begin(), held.begin() + 10);
  std::string again;
  for (int i = 0; i < 40 && (again = sign_in("127.0.0.2")).empty(); ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_FALSE(again.empty());

  // The head deadline (2 s here) ends the other thirty on the server's side.
  int closed = 0;
  for (int fd : held) {
    char buffer[512];
    pollfd p{fd, POLLIN, 0};
    while (poll(&p, 1, 15000) > 0) {
      if (recv(fd, buffer, sizeof buffer, 0) <= 0) {
        ++closed;
        break;
      }
    }
    close(fd);
  }
  EXPECT_EQ(closed, 30);
  // A client that completes its handshake and then says nothing meets the same deadline.
  EXPECT_EQ(StatusOf(TLSExchange(port_, "", "127.0.0.4")), 408);
  std::string log = server_->Log();
  EXPECT_TRUE(Has(log, "503 127.0.0.2 too many connections")) << log;
  EXPECT_TRUE(Has(log, "408 127.0.0.2")) << log;
  EXPECT_TRUE(snap(cookie, "after the siege", "127.0.0.3"));
  // A note of the largest size passes through the front's small buffers
  // whole, both ways.
  const std::string large(kMaxNoteBodyBytes, 'y');
  EXPECT_TRUE(snap(cookie, large, "127.0.0.3"));
  std::string list = TLSExchange(port_, Get("/pinleaf2/notes", "Cookie: " + cookie + "\r\n"), "127.0.0.3");
  size_t link = list.find("/notes/view?id=");
  ASSERT_NE(link, std::string::npos) << list;
  std::string id = list.substr(link + 15, list.find_first_not_of("0123456789", link + 15) - link - 15);
  std::string view =
      TLSExchange(port_, Get("/pinleaf2/notes/view?id=" + id, "Cookie: " + cookie + "\r\n"), "127.0.0.3");
  EXPECT_EQ(StatusOf(view), 200);
  EXPECT_TRUE(Has(view, large)) << view.size();
  std::filesystem::remove_all(dir);
}

}  // namespace
}  // namespace pinleaf
