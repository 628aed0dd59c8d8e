#include "service/server.h"

#include <gtest/gtest.h>
#include <httplib.h>
#include <signal.h>

#include <atomic>
#include <thread>

#include "support.h"
#include "tests/support/wire.h"

namespace pinleaf {
namespace {

const char kLoginMarker[] = "data[User][username]";
const char kStoredMarker[] = "====";

bool Has(const std::string& text, std::string_view part) { return text.find(part) != std::string::npos; }

// A server on a free loopback port, with its store in memory.
class Service : public ::testing::Test {
protected:
  static void SetUpTestSuite() { signal(SIGPIPE, SIG_IGN); }
  void SetUp() override {
    port_ = server_.Bind("127.0.0.1", 0);
    ASSERT_GT(port_, 0);
    serving_ = std::thread([this] { server_.Serve(); });
  }
  void TearDown() override {
    server_.Stop();
    serving_.join();
  }

  httplib::Result Get(const std::string& path, const std::string& cookie = "") {
    httplib::Client client("127.0.0.1", port_);
    client.set_read_timeout(30);
    return client.Get(path.c_str(), Headers(cookie));
  }
  httplib::Result Post(const std::string& path, const std::string& body, const std::string& cookie = "") {
    httplib::Client client("127.0.0.1", port_);
    client.set_read_timeout(30);
    return client.Post(path.c_str(), Headers(cookie), body, "application/x-www-form-urlencoded");
  }
  // Signs in as the client does; the cookie to send back, empty when refused.
  std::string SignIn(const std::string& id, const std::string& password) {
    auto r = Post("/pinleaf2/users/login", test::LoginBody(id, password));
    if (!r || r->status != 302) return {};
    std::string set = r->get_header_value("Set-Cookie");
    return set.substr(0, set.find(';'));
  }
  int64_t StoredCount(int64_t user_id) { return store_.CountNotes(user_id); }
  // What a browser holds after showing a form page: its cookies (the form
  // cookie, plus `cookie` when given) and the token of the page's forms.
  struct TForm {
    std::string cookies, token;
  };
  TForm FormOf(const std::string& path, const std::string& cookie = "") {
    auto page = Get(path, cookie);
    TForm form;
    if (!page) return form;
    form.cookies = cookie;
    std::string set = page->get_header_value("Set-Cookie");
    if (!set.empty()) form.cookies += (cookie.empty() ? "" : "; ") + set.substr(0, set.find(';'));
    const std::string field = "name=\"token\" value=\"";
    size_t at = page->body.find(field);
    if (at != std::string::npos) form.token = page->body.substr(at + field.size(), 64);
    return form;
  }

  TNoteStore store_{":memory:"};
  TPinleafServer server_{store_, "/pinleaf2"};
  int port_ = 0;

private:
  static httplib::Headers Headers(const std::string& cookie) {
    httplib::Headers h;
    if (!cookie.empty()) h.emplace("Cookie", cookie);
    return h;
  }
  std::thread serving_;
};

TEST_F(Service, ProbeShowsTheLoginFormUntilTheRightLogin) {
  const std::string id = "ユーザー&+=", password = "p&+= 日本🎉";
  ASSERT_TRUE(store_.CreateUser(id, password));
  auto probe = Get("/pinleaf2/posts/nop/?0");
  ASSERT_TRUE(probe);
  EXPECT_EQ(probe->status, 200);
  EXPECT_TRUE(Has(probe->body, kLoginMarker));
  EXPECT_TRUE(Has(probe->body, "data[User][password]"));
  EXPECT_EQ(testwire::WithTokenPlaceholder(probe->body), testwire::Wire("answer-login.html"));

  // A password cut at its "&" or with "+" read as a blank must not pass.
  for (std::string wrong : {"p", "p + = 日本🎉", "p&+= 日本"}) {
    auto r = Post("/pinleaf2/users/login", test::LoginBody(id, wrong));
    ASSERT_TRUE(r);
    EXPECT_EQ(r->status, 200) << wrong;
    EXPECT_TRUE(Has(r->body, kLoginMarker));
    EXPECT_FALSE(Has(r->get_header_value("Set-Cookie"), "pinleaf_session"));
  }

  auto login = Post("/pinleaf2/users/login", test::LoginBody(id, password));
  ASSERT_TRUE(login);
  ASSERT_EQ(login->status, 302);
  EXPECT_EQ(login->get_header_value("Location"), "/pinleaf2/users/home");
  std::string set = login->get_header_value("Set-Cookie");
  EXPECT_TRUE(Has(set, "; Path=/pinleaf2/;"));
  EXPECT_TRUE(Has(set, "; HttpOnly"));
  std::string cookie = set.substr(0, set.find(';'));

  // The client repeats its POST at the new location.
  auto home = Post("/pinleaf2/users/home", test::LoginBody(id, password), cookie);
  ASSERT_TRUE(home);
  EXPECT_EQ(home->status, 200);
  EXPECT_FALSE(Has(home->body, kLoginMarker));
  EXPECT_FALSE(Has(Get("/pinleaf2/posts/nop/?313", cookie)->body, kLoginMarker));
  EXPECT_EQ(Get("/pinleaf2/posts/nop/?313", cookie)->body, testwire::Wire("answer-signed-in.html"));
  EXPECT_TRUE(Has(Get("/pinleaf2/posts/nop/?313")->body, kLoginMarker));
  EXPECT_TRUE(Has(Get("/pinleaf2/posts/nop/?313", "pinleaf_session=forged")->body, kLoginMarker));

  // Signing out ends that session; it takes a POST with the form's token.
  EXPECT_EQ(Get("/pinleaf2/users/logout", cookie)->status, 405);
  EXPECT_FALSE(Has(Get("/pinleaf2/posts/nop/?2025", cookie)->body, kLoginMarker));
  TForm form = FormOf("/pinleaf2/notes", cookie);
  EXPECT_EQ(Post("/pinleaf2/users/logout", "token=" + form.token, cookie)->status, 403);
  EXPECT_EQ(Post("/pinleaf2/users/logout", "token=" + form.token, form.cookies)->status, 303);
  EXPECT_TRUE(Has(Get("/pinleaf2/posts/nop/?2025", cookie)->body, kLoginMarker));
}

// The client's own bytes (tests/wire, which the client's exchange test holds
// its requests to): its login for "m&e", then its upload of the shared document.
TEST_F(Service, TheClientsSharedExchangeSignsInAndStores) {
  TUser user = *store_.CreateUser("m&e", "p+w=");
  auto login = Post("/pinleaf2/users/login", testwire::Wire("login-request.txt"));
  ASSERT_TRUE(login);
  ASSERT_EQ(login->status, 302);
  std::string set = login->get_header_value("Set-Cookie");
  std::string cookie = set.substr(0, set.find(';'));
  auto stored = Post("/pinleaf2/posts/addpinleaf", testwire::Wire("upload-request.txt"), cookie);
  ASSERT_TRUE(stored);
  EXPECT_EQ(stored->body, testwire::Wire("answer-stored.html"));
  std::vector<TStoredNote> notes = store_.ListNotes(user.id, 10, 0);
  ASSERT_EQ(notes.size(), 1u);
  EXPECT_EQ(notes[0].body, "a");
  EXPECT_EQ(notes[0].paper_id, "20260307090504042");
}

TEST_F(Service, AnAccountNamedLikeTheFormFieldCanSignIn) {
  ASSERT_TRUE(store_.CreateUser(kLoginMarker, "pw===="));
  std::string cookie = SignIn(kLoginMarker, "pw====");
  ASSERT_FALSE(cookie.empty());
  EXPECT_FALSE(Has(Post("/pinleaf2/users/home", "", cookie)->body, kLoginMarker));
  EXPECT_FALSE(Has(Get("/pinleaf2/posts/nop/?0", cookie)->body, kLoginMarker));
}

TEST_F(Service, UploadStoresTheTextOnlyForASignedInClient) {
  TUser user = *store_.CreateUser("alice", "pw");
  const std::string text = "メモ 🎉 <&>\r\n\"====\" %41";
  auto anonymous = Post("/pinleaf2/posts/addpinleaf", test::UploadBody(test::NoteDocument(text)));
  ASSERT_TRUE(anonymous);
  EXPECT_EQ(anonymous->status, 200);
  EXPECT_FALSE(Has(anonymous->body, kStoredMarker));
  EXPECT_EQ(StoredCount(user.id), 0);

  std::string cookie = SignIn("alice", "pw");
  auto stored = Post("/pinleaf2/posts/addpinleaf", test::UploadBody(test::NoteDocument(text)), cookie);
  ASSERT_TRUE(stored);
  EXPECT_TRUE(Has(stored->body, kStoredMarker));
  EXPECT_EQ(stored->body, testwire::Wire("answer-stored.html"));
  std::vector<TStoredNote> notes = store_.ListNotes(user.id, 10, 0);
  ASSERT_EQ(notes.size(), 1u);
  EXPECT_EQ(notes[0].body, text);
  EXPECT_EQ(notes[0].color, 11270143u);
  EXPECT_EQ(notes[0].paper_id, "20261208143405123");

  // Refusals: a broken document, no document, a body one byte over the limit.
  for (std::string body : {test::UploadBody("<xml><post><body>%6</body></post></xml>"),
                           test::UploadBody("<xml><post><body>%61</body>"), std::string("data[Param][other]=x"),
                           test::UploadBody(test::NoteDocument(std::string(kMaxNoteBodyBytes + 1, 'x')))}) {
    auto r = Post("/pinleaf2/posts/addpinleaf", body, cookie);
    ASSERT_TRUE(r);
    EXPECT_EQ(r->status, 200);
    EXPECT_FALSE(Has(r->body, kStoredMarker)) << body.substr(0, 60);
  }
  EXPECT_EQ(StoredCount(user.id), 1);

  auto largest = Post("/pinleaf2/posts/addpinleaf",
                      test::UploadBody(test::NoteDocument(std::string(kMaxNoteBodyBytes, 'y'))), cookie);
  ASSERT_TRUE(largest);
  EXPECT_TRUE(Has(largest->body, kStoredMarker));
  EXPECT_EQ(store_.ListNotes(user.id, 1, 0)[0].body.size(), kMaxNoteBodyBytes);
}

TEST_F(Service, ARequestBodyOverTheCapIsNotRead) {
  TUser user = *store_.CreateUser("alice", "pw");
  std::string cookie = SignIn("alice", "pw");
  auto r = Post("/pinleaf2/posts/addpinleaf", std::string(kMaxRequestBodyBytes + 1, 'x'), cookie);
  if (r) {
    EXPECT_EQ(r->status, 413);  // or the connection is cut while still sending
  }
  EXPECT_EQ(StoredCount(user.id), 0);
  EXPECT_EQ(Get("/pinleaf2/posts/nop/?0")->status, 200);
}

TEST_F(Service, SignUpCreatesAnAccountAndSignsIn) {
  auto page = Get("/pinleaf2/users/add");
  ASSERT_TRUE(page);
  EXPECT_TRUE(Has(page->body, "action=\"/pinleaf2/users/add\""));
  EXPECT_TRUE(Has(page->body, "name=\"data[User][password]\""));

  TForm browser = FormOf("/pinleaf2/users/add");
  ASSERT_EQ(browser.token.size(), 64u);
  const std::string form =
      "data%5BUser%5D%5Busername%5D=new+user&data[User][password]=a%26b+c&"
      "data[User][password_confirm]=a%26b+c&token=" +
      browser.token;
  // Without the form's cookie the token is worth nothing.
  EXPECT_EQ(Post("/pinleaf2/users/add", form)->status, 403);
  auto created = Post("/pinleaf2/users/add", form, browser.cookies);
  ASSERT_TRUE(created);
  ASSERT_EQ(created->status, 303);
  std::string set = created->get_header_value("Set-Cookie");
  EXPECT_FALSE(Has(Get("/pinleaf2/posts/nop/?0", set.substr(0, set.find(';')))->body, kLoginMarker));
  EXPECT_FALSE(SignIn("new user", "a&b c").empty());

  const struct {
    std::string form, notice;
  } refused[] = {
      {form, "taken"},
      {"data[User][username]=other&data[User][password]=x&data[User][password_confirm]=y", "differ"},
      {"data[User][username]=%20other&data[User][password]=x", "blank"},
      {"data[User][username]=other", "password is empty"},
  };
  for (const auto& c : refused) {
    auto r = Post("/pinleaf2/users/add", c.form + "&token=" + browser.token, browser.cookies);
    ASSERT_TRUE(r);
    EXPECT_EQ(r->status, 200);
    EXPECT_TRUE(Has(r->body, c.notice)) << c.form;
    EXPECT_FALSE(r->has_header("Set-Cookie"));
  }
  EXPECT_TRUE(SignIn("other", "x").empty());
}

TEST_F(Service, NotesPageListsOwnNotesNewestFirstEscaped) {
  EXPECT_TRUE(Has(Get("/pinleaf2/notes")->body, kLoginMarker));
  TUser alice = *store_.CreateUser("alice <b>", "pw");
  TUser bob = *store_.CreateUser("bob", "pw");
  store_.AddNote(bob.id, TNote{"", "bob's secret", std::nullopt, ""});
  std::string cookie = SignIn("alice <b>", "pw");
  for (std::string text : {"oldest note", "<script>alert('x')</script> & \"q\"", "newest 日本"})
    ASSERT_TRUE(Has(Post("/pinleaf2/posts/addpinleaf", test::UploadBody(test::NoteDocument(text)), cookie)->body,
                    kStoredMarker));

  std::string page = Get("/pinleaf2/notes", cookie)->body;
  EXPECT_TRUE(Has(page, "alice &lt;b&gt;"));
  EXPECT_TRUE(Has(page, "&lt;script&gt;alert(&#39;x&#39;)&lt;/script&gt; &amp; &quot;q&quot;"));
  EXPECT_FALSE(Has(page, "<script>"));
  EXPECT_FALSE(Has(page, "bob's secret"));
  EXPECT_TRUE(Has(page, "background:#fff7ab"));
  size_t newest = page.find("newest 日本"), middle = page.find("&lt;script"), oldest = page.find("oldest note");
  ASSERT_NE(oldest, std::string::npos);
  EXPECT_LT(newest, middle);
  EXPECT_LT(middle, oldest);

  // The oldest of a longer list moves to the second page.
  for (int i = 0; i < kNotesPageSize; ++i) store_.AddNote(alice.id, TNote{"", "filler", std::nullopt, ""});
  page = Get("/pinleaf2/notes", cookie)->body;
  EXPECT_FALSE(Has(page, "oldest note"));
  const std::string anchor = "class=\"older\" href=\"?";
  size_t older = page.find(anchor);
  ASSERT_NE(older, std::string::npos);
  older += anchor.size();
  std::string query = page.substr(older, page.find('"', older) - older);
  std::string second = Get("/pinleaf2/notes?" + query, cookie)->body;
  EXPECT_TRUE(Has(second, "oldest note"));
  EXPECT_FALSE(Has(second, "filler"));
  EXPECT_FALSE(Has(second, "class=\"older\""));
}

TEST_F(Service, LongNotesShowAPreviewAndAPageStaysSmall) {
  TUser alice = *store_.CreateUser("alice", "pw");
  std::string cookie = SignIn("alice", "pw");
  // 40 notes of 256 KiB each, Japanese text (three bytes a character) after one
  // byte, so no preview can end on a character boundary by luck.
  std::string text = "a";
  while (text.size() < 256 * 1024) text += "日本語の長いメモ";
  for (int i = 0; i < 40; ++i) store_.AddNote(alice.id, TNote{"", text + std::to_string(i), std::nullopt, ""});
  std::string page = Get("/pinleaf2/notes", cookie)->body;
  EXPECT_LT(page.size(), 2 * kNotesPageBytes + 32 * 1024);
  EXPECT_TRUE(IsValidUtf8(page));
  EXPECT_TRUE(Has(page, "日本語の長いメモ"));
  EXPECT_FALSE(Has(page, "39</pre>"));  // previews only
  size_t more = page.find("class=\"more\" href=\"");
  ASSERT_NE(more, std::string::npos);
  std::string link = page.substr(more + 19, page.find('"', more + 19) - more - 19);
  std::string whole = Get(link, cookie)->body;
  EXPECT_TRUE(Has(whole, "39</pre>"));
  EXPECT_GT(whole.size(), text.size());
  // Another user's note is not shown by its number.
  store_.CreateUser("bob", "pw");
  EXPECT_EQ(Get(link, SignIn("bob", "pw"))->status, 404);
}

TEST_F(Service, BrowserFormsNeedTheirTokenAndTheirOwnOrigin) {
  TUser alice = *store_.CreateUser("alice", "pw");
  TUser bob = *store_.CreateUser("bob", "pw");
  std::string cookie = SignIn("alice", "pw");
  int64_t mine = store_.AddNote(alice.id, TNote{"", "mine", std::nullopt, ""});
  int64_t theirs = store_.AddNote(bob.id, TNote{"", "theirs", std::nullopt, ""});
  TForm form = FormOf("/pinleaf2/notes", cookie);

  auto page = Get("/pinleaf2/notes", cookie);
  EXPECT_EQ(page->get_header_value("X-Frame-Options"), "DENY");
  EXPECT_TRUE(Has(page->get_header_value("Content-Security-Policy"), "frame-ancestors 'none'"));
  EXPECT_EQ(page->get_header_value("Referrer-Policy"), "same-origin");

  // Deleting: not without the token, not someone else's note, one's own with it.
  EXPECT_EQ(Post("/pinleaf2/notes/delete", "id=" + std::to_string(mine), form.cookies)->status, 403);
  EXPECT_EQ(
      Post("/pinleaf2/notes/delete", "id=" + std::to_string(theirs) + "&token=" + form.token, form.cookies)->status,
      404);
  EXPECT_EQ(StoredCount(bob.id), 1);
  auto deleted = Post("/pinleaf2/notes/delete", "id=" + std::to_string(mine) + "&token=" + form.token, form.cookies);
  EXPECT_EQ(deleted->status, 303);
  EXPECT_EQ(StoredCount(alice.id), 0);

  // A form posted from another site's page is refused, whatever it carries;
  // the same requests without Origin (the snap client) go through.
  httplib::Client client("127.0.0.1", port_);
  httplib::Headers foreign{{"Cookie", form.cookies}, {"Origin", "http://evil.example"}};
  auto upload = client.Post("/pinleaf2/posts/addpinleaf", foreign, test::UploadBody(test::NoteDocument("x")),
                            "application/x-www-form-urlencoded");
  EXPECT_EQ(upload->status, 403);
  EXPECT_EQ(StoredCount(alice.id), 0);
  auto login = client.Post("/pinleaf2/users/login", foreign, test::LoginBody("alice", "pw"),
                           "application/x-www-form-urlencoded");
  EXPECT_EQ(login->status, 403);
  // From its own page a browser signs in with the token.
  httplib::Headers own{{"Cookie", form.cookies}, {"Origin", "http://127.0.0.1:" + std::to_string(port_)}};
  EXPECT_EQ(
      client.Post("/pinleaf2/users/login", own, test::LoginBody("alice", "pw"), "application/x-www-form-urlencoded")
          ->status,
      403);
  auto signed_in = client.Post("/pinleaf2/users/login", own, test::LoginBody("alice", "pw") + "&token=" + form.token,
                               "application/x-www-form-urlencoded");
  EXPECT_EQ(signed_in->status, 302);
  std::string set = signed_in->get_header_value("Set-Cookie");
  EXPECT_TRUE(Has(
      Post("/pinleaf2/posts/addpinleaf", test::UploadBody(test::NoteDocument("x")), set.substr(0, set.find(';')))->body,
      kStoredMarker));
}

TEST_F(Service, ANoteSentAgainIsStoredOnce) {
  TUser alice = *store_.CreateUser("alice", "pw");
  std::string cookie = SignIn("alice", "pw");
  std::string same = test::UploadBody(test::NoteDocument("retried", "20261208143405123"));
  // Retries racing each other, as after lost answers: every one is told "stored".
  std::vector<std::thread> senders;
  std::atomic<int> stored{0};
  for (int i = 0; i < 6; ++i)
    senders.emplace_back([&] { stored += Has(Post("/pinleaf2/posts/addpinleaf", same, cookie)->body, kStoredMarker); });
  for (std::thread& t : senders) t.join();
  EXPECT_EQ(stored, 6);
  EXPECT_EQ(StoredCount(alice.id), 1);
  // Another text with the same paper ID, or the same text with another, is another note.
  for (std::string body : {test::UploadBody(test::NoteDocument("other", "20261208143405123")),
                           test::UploadBody(test::NoteDocument("retried", "20261208143405124"))})
    EXPECT_TRUE(Has(Post("/pinleaf2/posts/addpinleaf", body, cookie)->body, kStoredMarker));
  EXPECT_EQ(StoredCount(alice.id), 3);
}

TEST_F(Service, AccountNamesAreOneWhateverTheirCodePoints) {
  TForm browser = FormOf("/pinleaf2/users/add");
  auto sign_up = [&](const std::string& name) {
    return Post("/pinleaf2/users/add",
                "data[User][username]=" + test::ClientEncode(name) + "&data[User][password]=pw&token=" + browser.token,
                browser.cookies);
  };
  EXPECT_EQ(sign_up("A\xCC\x8Angstr\xC3\xB6m")->status, 303);  // A + combining ring, decomposed
  auto again = sign_up("\xC3\x85ngstr\xC3\xB6m");              // the same name, composed
  EXPECT_EQ(again->status, 200);
  EXPECT_TRUE(Has(again->body, "taken"));
  EXPECT_FALSE(SignIn("\xC3\x85ngstr\xC3\xB6m", "pw").empty());
  EXPECT_FALSE(SignIn("A\xCC\x8Angstr\xC3\xB6m", "pw").empty());
  // Names that only look like another: invisible characters, C1 controls, wide blanks at the ends.
  for (std::string name : {"bo\xE2\x80\x8B"
                           "b",
                           "bob\xC2\x85",
                           "\xE3\x80\x80"
                           "bob",
                           "bob\xE2\x80\xAE",
                           "b\x7F"
                           "ob"}) {
    auto r = sign_up(name);
    EXPECT_EQ(r->status, 200) << name;
    EXPECT_FALSE(r->has_header("Set-Cookie") && Has(r->get_header_value("Set-Cookie"), "pinleaf_session"));
  }
}

TEST_F(Service, OddPathsAndRequestsGetPlainAnswers) {
  EXPECT_EQ(Get("/pinleaf2//posts/nop/?0")->status, 200);  // a base URL typed with a trailing "/"
  EXPECT_EQ(Get("/pinleaf2x/posts/nop/?0")->status, 404);
  EXPECT_EQ(Get("/elsewhere")->status, 404);
  EXPECT_EQ(Get("/pinleaf2/posts/addpinleaf")->status, 405);
  EXPECT_EQ(Get("/pinleaf2")->get_header_value("Location"), "/pinleaf2/notes");

  httplib::Client client("127.0.0.1", port_);
  httplib::MultipartFormDataItems items = {{"data[User][username]", "a", "", ""}};
  auto multipart = client.Post("/pinleaf2/users/login", items);
  ASSERT_TRUE(multipart);
  EXPECT_EQ(multipart->status, 415);
  EXPECT_EQ(Get("/pinleaf2/posts/nop/?0")->status, 200);
}

using test::Exchange;

TEST_F(Service, AnswersTheClientsOwnRequestBytes) {
  ASSERT_TRUE(store_.CreateUser("u&1", "p+ 2"));
  std::string body = test::LoginBody("u&1", "p+ 2");
  std::string login = Exchange(port_,
                               "POST /pinleaf2/users/login HTTP/1.0\r\nConnection: keep-alive\r\n"
                               "Content-Type: application/x-www-form-urlencoded\r\nContent-Length: " +
                                   std::to_string(body.size()) +
                                   "\r\nHost: 127.0.0.1\r\nAccept: text/html, */*\r\n"
                                   "User-Agent: Mozilla/3.0 (compatible; text snap)\r\n\r\n" +
                                   body);
  ASSERT_TRUE(Has(login, " 302 ")) << login;
  size_t at = login.find("Set-Cookie: ");
  ASSERT_NE(at, std::string::npos);
  std::string cookie = login.substr(at + 12, login.find(';', at) - at - 12);
  // After a POST the client's GETs still carry its form content type, with no body.
  std::string probe = Exchange(port_,
                               "GET /pinleaf2/posts/nop/?8610 HTTP/1.1\r\nConnection: keep-alive\r\n"
                               "Content-Type: application/x-www-form-urlencoded\r\nHost: 127.0.0.1\r\n"
                               "Accept: text/html, */*\r\nCookie: " +
                                   cookie + "\r\n\r\n");
  EXPECT_TRUE(Has(probe, " 200 ")) << probe;
  EXPECT_FALSE(Has(probe, kLoginMarker));
  // Requests sent back to back on one connection, a form body between them,
  // are each answered in turn: none is cut short or read into the next.
  {
    int fd = test::Connect(port_);
    std::string wrong = test::LoginBody("u&1", "wrong");
    ASSERT_TRUE(test::SendAll(fd,
                              "GET /pinleaf2/posts/nop/?0 HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n"
                              "POST /pinleaf2/users/login HTTP/1.1\r\nHost: 127.0.0.1\r\n"
                              "Content-Type: application/x-www-form-urlencoded\r\nContent-Length: " +
                                  std::to_string(wrong.size()) + "\r\n\r\n" + wrong +
                                  "GET /pinleaf2/posts/nop/?313 HTTP/1.1\r\nHost: 127.0.0.1\r\nCookie: " + cookie +
                                  "\r\nConnection: close\r\n\r\n"));
    std::string all, piece;
    while (!(piece = test::ReadAnswer(fd, 5000)).empty()) all += piece;
    close(fd);
    size_t answers = 0;
    for (size_t pos = 0; (pos = all.find("HTTP/1.1 200 OK", pos)) != std::string::npos; ++pos) ++answers;
    EXPECT_EQ(answers, 3u) << all;
    EXPECT_TRUE(Has(all, "The ID or the password is wrong."));
    EXPECT_TRUE(Has(all, "You are signed in."));
  }
  // Garbage does not take the server down.
  const char tls_hello[] = "\x16\x03\x01\x02\x00\x01\x00\x01\xfc\x03\x03 junk\r\n\r\n";
  Exchange(port_, std::string(tls_hello, sizeof tls_hello - 1));
  Exchange(port_, "POST /pinleaf2/users/login HTTP/1.1\r\nContent-Length: -5\r\n\r\n");
  EXPECT_TRUE(Has(Exchange(port_, "GET /pinleaf2/posts/nop/?1 HTTP/1.0\r\n\r\n"), kLoginMarker));
}

}  // namespace
}  // namespace pinleaf
