// The request engine against a scripted peer: the exact bytes on the wire,
// connection reuse, form bodies, redirects and the disconnect notices.
#include <gtest/gtest.h>

#include "http/exceptions.h"
#include "http/http.h"
#include "tests/support/peer.h"
#include "tests/support/wire.h"

using namespace ts;
using namespace testpeer;
using testwire::Wire;

namespace {

const std::string kAccept = "Accept: text/html, */*\r\n";
const std::string kAgent = "User-Agent: Mozilla/3.0 (compatible; text snap)\r\n";
const std::string kForm = "Content-Type: application/x-www-form-urlencoded\r\n";

// A client set up as the program sets up its own.
class ExchangeTest : public ::testing::Test {
protected:
  ExchangeTest() {
    http.HandleRedirects = true;
    http.SetCookieManager(&cookies);
    http.OnDisconnected = [this](TObject*) { ++disconnects; };
    // A script that goes wrong ends the test instead of holding it.
    http.ReadTimeout = 10000;
  }

  std::string HostLine(TScriptedPeer& peer) { return "Host: " + peer.HostHeader() + "\r\n"; }

  TStackKeeper keeper;
  TNetCookieManager cookies{nullptr};
  TNetHTTP http{nullptr};
  int disconnects = 0;
};

TStringList Lines(std::initializer_list<std::string> lines) {
  TStringList list;
  for (const std::string& line : lines) list.Add(line);
  return list;
}

}  // namespace

TEST_F(ExchangeTest, SnapConversationOnTheWire) {
  // Probe on a kept connection, login answered by a redirect that is sent the
  // same form again, then the upload: each POST on a fresh HTTP/1.0 connection.
  TScriptedPeer peer({
      Answers({Reply("200 OK", Wire("answer-login.html"), "Set-Cookie: sid=abc; path=/\r\n")}),
      Answers({Reply("302 Found", "moved", "Location: /users/home\r\n")}),
      Answers({Reply("200 OK", "home")}),
      Answers({Reply("200 OK", Wire("answer-stored.html"), "Connection: close\r\n")}, true),
  });
  std::string probe = http.GetText(peer.Base() + "/posts/nop/?1234");
  EXPECT_EQ(probe, Wire("answer-login.html"));
  EXPECT_TRUE(http.IsConnected());

  TStringList login = Lines({"data[User][username]=m&e", "data[User][password]=p+w="});
  EXPECT_EQ(http.PostForm(peer.Base() + "/users/login", login), "home");
  TStringList note = Lines({"data[Param][xmldata]=" + Wire("note-document.xml")});
  EXPECT_EQ(http.PostForm(peer.Base() + "/posts/addpinleaf", note), Wire("answer-stored.html"));
  peer.Join();

  const std::string loginBody = Wire("login-request.txt");
  const std::string noteBody = Wire("upload-request.txt");
  auto post = [&](const std::string& target, const std::string& body) {
    return "POST " + target + " HTTP/1.0\r\nConnection: keep-alive\r\n" + kForm +
           "Content-Length: " + IntToStr(static_cast<int64_t>(body.size())) + "\r\n" + HostLine(peer) + kAccept +
           kAgent + "Cookie: sid=abc\r\n\r\n" + body;
  };
  std::vector<std::string> requests = peer.Requests();
  ASSERT_EQ(requests.size(), 4u);
  EXPECT_EQ(requests[0], "GET /posts/nop/?1234 HTTP/1.1\r\n" + HostLine(peer) + kAccept + kAgent + "\r\n");
  EXPECT_EQ(requests[1], post("/users/login", loginBody));
  EXPECT_EQ(requests[2], post("/users/home", loginBody));
  EXPECT_EQ(requests[3], post("/posts/addpinleaf", noteBody));
  EXPECT_EQ(peer.RequestConnections(), (std::vector<int>{0, 1, 2, 3}));
  // The kept probe connection is closed by the login; under HTTP/1.0 an answer
  // without keep-alive ends its connection: the redirect's, the login's and
  // the upload's.
  EXPECT_EQ(disconnects, 4);
  EXPECT_FALSE(http.IsConnected());
  EXPECT_EQ(http.ProtocolVersion, TNetHTTPProtocolVersion::pv1_1);
}

TEST_F(ExchangeTest, GetAfterPostCarriesTheValuesLeftInTheRequest) {
  TScriptedPeer peer({
      Answers({Reply("200 OK", "posted")}),
      Answers({Reply("200 OK", "again")}),
  });
  TStringList form = Lines({"a=1"});
  http.PostForm(peer.Base() + "/p", form);
  EXPECT_EQ(http.GetText(peer.Base() + "/g"), "again");
  http.Disconnect();
  peer.Join();
  std::vector<std::string> requests = peer.Requests();
  ASSERT_EQ(requests.size(), 2u);
  EXPECT_EQ(requests[1],
            "GET /g HTTP/1.1\r\nConnection: keep-alive\r\n" + kForm + HostLine(peer) + kAccept + kAgent + "\r\n");
}

TEST_F(ExchangeTest, HostCarriesThePortUnlessItIs80) {
  TScriptedPeer peer({Answers({Reply("200 OK")})});
  http.GetText(peer.Base() + "/x");
  http.Disconnect();
  peer.Join();
  ASSERT_EQ(peer.Requests().size(), 1u);
  EXPECT_NE(peer.Requests()[0].find("\r\nHost: 127.0.0.1:" + IntToStr(peer.Port()) + "\r\n"), std::string::npos);
}

TEST_F(ExchangeTest, ThroughAProxyTheTargetIsTheFullUri) {
  TScriptedPeer proxy({
      Answers({Reply("200 OK", "x"), Reply("200 OK", "z")}),
      Answers({Reply("200 OK", "p")}),
  });
  http.ProxyParams().SetProxyServer("127.0.0.1");
  http.ProxyParams().SetProxyPort(proxy.Port());
  http.ProxyParams().BasicAuthentication = true;
  http.ProxyParams().ProxyUsername = "u";
  http.ProxyParams().ProxyPassword = "p";
  EXPECT_EQ(http.GetText("http://who:pw@example.test/x?y#frag"), "x");
  EXPECT_EQ(http.GetText("http://example.test:8080/z"), "z");
  TStringList form = Lines({"a=1"});
  EXPECT_EQ(http.PostForm("http://example.test/p", form), "p");
  proxy.Join();
  const std::string credentials = "Proxy-Authorization: Basic dTpw\r\n";
  std::vector<std::string> requests = proxy.Requests();
  ASSERT_EQ(requests.size(), 3u);
  EXPECT_EQ(requests[0], "GET http://example.test:80/x?y HTTP/1.1\r\nHost: example.test\r\n" + kAccept + kAgent +
                             credentials + "\r\n");
  EXPECT_EQ(requests[1].substr(0, 66), "GET http://example.test:8080/z HTTP/1.1\r\nHost: example.test:8080\r\n");
  EXPECT_EQ(requests[2].substr(0, requests[2].find("Accept:")),
            "POST http://example.test:80/p HTTP/1.0\r\n" + kForm +
                "Content-Length: 3\r\nProxy-Connection: keep-alive\r\nHost: example.test\r\n");
  EXPECT_EQ(proxy.RequestConnections(), (std::vector<int>{0, 0, 1}));
}

TEST_F(ExchangeTest, FormBodies) {
  struct Case {
    std::vector<std::string> lines;
    std::string body;
  } cases[] = {
      {{"a=b c"}, "a=b%20c"},
      {{"a=1", "b=2"}, "a=1&b=2"},
      {{}, ""},
      {{"plain text"}, "plain text"},
      {{"=v[1]", "k=a&b=c+d"}, "=v[1]&k=a%26b%3Dc%2Bd"},
      // A repeated name: each line's own value is encoded exactly once.
      {{"k=<", "k=>"}, "k=%3C&k=%3E"},
      // Japanese text: each byte of a double-byte character is escaped.
      {{"t=\x93\xfa"}, "t=%93%FA"},
  };
  std::vector<TScriptedPeer::TScript> scripts;
  for (size_t i = 0; i < std::size(cases); ++i) scripts.push_back(Answers({Reply("200 OK")}));
  TScriptedPeer peer(scripts);
  for (const Case& c : cases) {
    TStringList lines;
    for (const std::string& line : c.lines) lines.Add(line);
    http.PostForm(peer.Base() + "/f", lines);
  }
  http.Disconnect();
  peer.Join();
  std::vector<std::string> requests = peer.Requests();
  ASSERT_EQ(requests.size(), std::size(cases));
  for (size_t i = 0; i < std::size(cases); ++i) {
    const std::string& request = requests[i];
    size_t headEnd = request.find("\r\n\r\n") + 4;
    EXPECT_EQ(request.substr(headEnd), cases[i].body) << i;
    EXPECT_NE(request.find("\r\nContent-Length: " + IntToStr(static_cast<int64_t>(cases[i].body.size())) + "\r\n"),
              std::string::npos)
        << i;
  }
}

TEST_F(ExchangeTest, FormEncodingChangesTheCallersListAndCanBeSwitchedOff) {
  TScriptedPeer peer({Answers({Reply("200 OK")}), Answers({Reply("200 OK")}), Answers({Reply("200 OK")})});
  TStringList lines = Lines({"a=<b>"});
  http.PostForm(peer.Base() + "/f", lines);
  EXPECT_EQ(lines[0], "a=%3Cb%3E");

  // A list the caller holds constant is left as it is.
  const TStringList& kept = lines;
  http.PostForm(peer.Base() + "/f", kept);
  EXPECT_EQ(lines[0], "a=%3Cb%3E");

  http.HTTPOptions.Exclude(TNetHTTPOption::hoForceEncodeParams);
  http.Request().ContentType = "text/plain";
  TStringList raw = Lines({"a=<b>"});
  http.PostForm(peer.Base() + "/f", raw);
  http.Disconnect();
  peer.Join();
  std::vector<std::string> requests = peer.Requests();
  ASSERT_EQ(requests.size(), 3u);
  // The copy was encoded once more: what the server got is the list's text encoded.
  EXPECT_EQ(requests[1].substr(requests[1].size() - 13), "a=%253Cb%253E");
  EXPECT_EQ(raw[0], "a=<b>");
  EXPECT_NE(requests[2].find("Content-Type: text/plain\r\n"), std::string::npos);
  EXPECT_EQ(requests[2].substr(requests[2].size() - 5), "a=<b>");
}

TEST_F(ExchangeTest, PostClosesAKeptConnectionFirst) {
  bool firstClosedByClient = false;
  TScriptedPeer peer({
      [&](TPeerConnection& c) {
        c.ReadRequest();
        c.Send(Reply("200 OK", "kept"));
        firstClosedByClient = c.WaitForClose();
      },
      Answers({Reply("200 OK", "posted")}),
  });
  http.GetText(peer.Base() + "/g");
  ASSERT_TRUE(http.IsConnected());
  ASSERT_EQ(disconnects, 0);
  TStringList form = Lines({"a=1"});
  EXPECT_EQ(http.PostForm(peer.Base() + "/p", form), "posted");
  EXPECT_EQ(disconnects, 2);  // the GET's connection first, the POST's own at its end
  peer.Join();
  EXPECT_TRUE(firstClosedByClient);
  EXPECT_EQ(peer.RequestConnections(), (std::vector<int>{0, 1}));
}

TEST_F(ExchangeTest, KeptConnectionIsReusedAndAClosedOneReplaced) {
  TScriptedPeer peer({
      Answers({Reply("200 OK", "one"), Reply("200 OK", "two", "Connection: close\r\n")}),
      Answers({Reply("200 OK", "three")}, true),
  });
  EXPECT_EQ(http.GetText(peer.Base() + "/a/1"), "one");
  // A relative target continues from the previous one.
  EXPECT_EQ(http.GetText("2"), "two");
  EXPECT_EQ(disconnects, 1);  // "Connection: close" under HTTP/1.1
  EXPECT_EQ(http.GetText("/b"), "three");
  peer.Join();
  std::vector<std::string> requests = peer.Requests();
  ASSERT_EQ(requests.size(), 3u);
  EXPECT_EQ(requests[1].substr(0, 21), "GET /a/2 HTTP/1.1\r\nHo");
  EXPECT_EQ(peer.RequestConnections(), (std::vector<int>{0, 0, 1}));
}

TEST_F(ExchangeTest, ProtocolVersionIsRestoredAfterAFailedPost) {
  TScriptedPeer peer({
      Answers({Reply("500 Internal Server Error", "oops")}),
      Answers({Reply("200 OK", "fine")}),
  });
  TStringList form = Lines({"a=1"});
  try {
    http.PostForm(peer.Base() + "/p", form);
    FAIL() << "no protocol error";
  } catch (const ENetHTTPProtocolException& e) {
    EXPECT_EQ(e.ReplyCode, 500);
    EXPECT_EQ(e.Message(), "HTTP/1.1 500 Internal Server Error");
    EXPECT_EQ(e.ErrorMessage, "oops");
  }
  EXPECT_EQ(http.ProtocolVersion, TNetHTTPProtocolVersion::pv1_1);
  EXPECT_FALSE(http.IsConnected());  // not kept under HTTP/1.0 without keep-alive
  EXPECT_EQ(http.GetText(peer.Base() + "/g"), "fine");
  http.Disconnect();
  peer.Join();
  ASSERT_EQ(peer.Requests().size(), 2u);
  EXPECT_EQ(peer.Requests()[1].substr(0, 17), "GET /g HTTP/1.1\r\n");
}

TEST_F(ExchangeTest, KeepOrigProtocolPostsWithTheClientsVersion) {
  http.HTTPOptions.Include(TNetHTTPOption::hoKeepOrigProtocol);
  TScriptedPeer peer({Answers({Reply("200 OK")})});
  TStringList form = Lines({"a=1"});
  http.PostForm(peer.Base() + "/p", form);
  http.Disconnect();
  peer.Join();
  ASSERT_EQ(peer.Requests().size(), 1u);
  // HTTP/1.1 needs no keep-alive line.
  EXPECT_EQ(peer.Requests()[0].substr(0, 30), "POST /p HTTP/1.1\r\nContent-Type");
}

TEST_F(ExchangeTest, SeeOtherAfterPostFetchesTheNewResource) {
  TScriptedPeer peer(
      {Answers({Reply("303 See Other", "", "Location: /done\r\n")}), Answers({Reply("200 OK", "done")})});
  TStringList form = Lines({"a=1"});
  EXPECT_EQ(http.PostForm(peer.Base() + "/p", form), "done");
  http.Disconnect();
  peer.Join();
  std::vector<std::string> requests = peer.Requests();
  ASSERT_EQ(requests.size(), 2u);
  EXPECT_EQ(requests[1],
            "GET /done HTTP/1.0\r\nConnection: keep-alive\r\n" + kForm + HostLine(peer) + kAccept + kAgent + "\r\n");
}

TEST_F(ExchangeTest, ALineBreakInTheTargetStaysInsideTheRequestLine) {
  // The reader ends lines at LF, so a bare CR survives in a Location value.
  TScriptedPeer peer({Answers({Reply("302 Found", "", "Location: /next\rX-Evil:1\r\n"), Reply("200 OK", "done")})});
  EXPECT_EQ(http.GetText(peer.Base() + "/first"), "done");
  http.Disconnect();
  peer.Join();
  std::vector<std::string> requests = peer.Requests();
  ASSERT_EQ(requests.size(), 2u);
  EXPECT_EQ(requests[1].substr(0, requests[1].find("\r\n")), "GET /next%0DX-Evil:1 HTTP/1.1");
  EXPECT_EQ(requests[1].find("\nX-Evil"), std::string::npos);
  EXPECT_EQ(requests[1].find("\rX-Evil"), std::string::npos);
}

TEST_F(ExchangeTest, MovedPermanentlyAfterPostPostsAgain) {
  TRefusingPort refusing;
  TScriptedPeer peer({Answers(
      {Reply("301 Moved Permanently", "", "Location: http://127.0.0.1:" + IntToStr(refusing.port) + "/never\r\n")})});
  // The location names another port: the client moves its connection there.
  // Nothing listens on that port, so the move shows as a refused connect.
  TStringList form = Lines({"a=1"});
  EXPECT_THROW(http.PostForm(peer.Base() + "/p", form), ENetException);
  EXPECT_EQ(http.Request().Method, TNetHTTPMethod::hmPost);
  EXPECT_EQ(http.URL().Document, "never");
  // The connection to the old port was closed for the move.
  EXPECT_EQ(disconnects, 1);
  peer.Join();
}

TEST_F(ExchangeTest, RedirectChainStopsAtTheMaximum) {
  std::vector<std::string> answers;
  for (int i = 1; i <= 15; ++i)
    answers.push_back(Reply("302 Found", "body of " + IntToStr(i), "Location: /r" + IntToStr(i) + "\r\n"));
  TScriptedPeer peer({Answers(answers)});
  std::vector<int> counts;
  http.OnRedirect = [&](TObject*, std::string&, int count, bool&, TNetHTTPMethod&) { counts.push_back(count); };
  TMemoryStream body;
  body.WriteString("kept:");
  http.GetToStream(peer.Base() + "/r0", body);
  EXPECT_EQ(body.DataString(), "kept:");  // redirect bodies never reach the caller
  EXPECT_EQ(http.ResponseCode(), 302);
  EXPECT_EQ(http.Response().Location, "/r15");
  EXPECT_EQ(counts.size(), 15u);
  EXPECT_EQ(counts.back(), 15);
  EXPECT_EQ(http.RedirectCount(), 0);
  http.Disconnect();
  peer.Join();
  std::vector<std::string> requests = peer.Requests();
  ASSERT_EQ(requests.size(), 15u);
  EXPECT_EQ(requests[14].substr(0, 8), "GET /r14");
}

TEST_F(ExchangeTest, RedirectsRefusedRaiseTheProtocolError) {
  TScriptedPeer peer(
      {Answers({Reply("302 Found", "gone", "Location: /x\r\n"), Reply("201 Created", "made", "Location: /new\r\n")})});
  http.HandleRedirects = false;
  try {
    http.GetText(peer.Base() + "/a");
    FAIL() << "redirect followed";
  } catch (const ENetHTTPProtocolException& e) {
    EXPECT_EQ(e.ReplyCode, 302);
    EXPECT_EQ(e.ErrorMessage, "gone");
  }
  // A handler that turns the redirect down; any status with a Location counts.
  http.HandleRedirects = true;
  http.OnRedirect = [](TObject*, std::string&, int, bool& handled, TNetHTTPMethod&) { handled = false; };
  EXPECT_THROW(http.GetText(peer.Base() + "/b"), ENetHTTPProtocolException);
  http.Disconnect();
  peer.Join();
  EXPECT_EQ(peer.Requests().size(), 2u);
}

TEST_F(ExchangeTest, RedirectHandlerMayChangeTargetAndMethod) {
  TScriptedPeer peer({Answers({Reply("302 Found", "", "Location: /x\r\n"),
                               "HTTP/1.1 200 OK\r\nContent-Length: 4\r\n\r\n", Reply("200 OK", "next")})});
  http.OnRedirect = [](TObject*, std::string& dest, int, bool&, TNetHTTPMethod& method) {
    dest = "/changed?q=1";
    method = TNetHTTPMethod::hmHead;
  };
  TMemoryStream body;
  http.GetToStream(peer.Base() + "/a", body);
  // A HEAD answer has no body whatever its length says.
  EXPECT_EQ(body.Size(), 0);
  EXPECT_EQ(http.GetText("/n"), "next");
  http.Disconnect();
  peer.Join();
  ASSERT_EQ(peer.Requests().size(), 3u);
  EXPECT_EQ(peer.Requests()[1].substr(0, 29), "HEAD /changed?q=1 HTTP/1.1\r\nH");
}

TEST_F(ExchangeTest, RedirectBodyIsDiscardedUnderTheShortReadTimeout) {
  TScriptedPeer peer({Answers({Reply("302 Found", std::string(300, 'x'), "Location: /b\r\n"), Reply("200 OK", "b")})});
  http.ReadTimeout = 123;
  std::vector<int32_t> timeouts;
  http.OnWorkBegin = [&](TObject*, TWorkMode mode, int64_t) {
    if (mode == TWorkMode::WorkRead) timeouts.push_back(http.ReadTimeout);
  };
  EXPECT_EQ(http.GetText(peer.Base() + "/a"), "b");
  EXPECT_EQ(timeouts, (std::vector<int32_t>{4000, 123}));
  EXPECT_EQ(http.ReadTimeout, 123);
  http.Disconnect();
  peer.Join();
}

TEST_F(ExchangeTest, CookiesFromEveryHeadAreKept) {
  // Cookies come with a redirect and with an error; both are sent afterwards.
  TScriptedPeer peer({Answers({
      Reply("302 Found", "", "Set-Cookie: r=1; path=/\r\nLocation: /err\r\n"),
      Reply("404 Not Found", "none", "Set-cookie: e=2; path=/\r\nSet-cookie2: v=3; path=/; Version=1\r\n"),
      Reply("200 OK", "ok"),
  })});
  EXPECT_THROW(http.GetText(peer.Base() + "/start"), ENetHTTPProtocolException);
  EXPECT_EQ(http.GetText("/again"), "ok");
  http.Disconnect();
  peer.Join();
  std::vector<std::string> requests = peer.Requests();
  ASSERT_EQ(requests.size(), 3u);
  EXPECT_NE(requests[1].find("\r\nCookie: r=1\r\n"), std::string::npos);
  // Equal paths: the latest cookie first.
  EXPECT_NE(requests[2].find("\r\nCookie: v=3; e=2; r=1\r\n"), std::string::npos);
}

TEST_F(ExchangeTest, ClientMakesItsOwnCookieManagerWhenNoneIsGiven) {
  TScriptedPeer peer({Answers({Reply("200 OK", "", "Set-Cookie: s=1; path=/\r\n"), Reply("200 OK")})});
  http.SetCookieManager(nullptr);
  http.GetText(peer.Base() + "/a");
  TNetCookieManager* own = http.CookieManager();
  ASSERT_NE(own, nullptr);
  EXPECT_EQ(own->Owner(), &http);
  http.GetText("/b");
  // Another manager replaces (and frees) the client's own.
  int owned = http.ComponentCount();
  http.SetCookieManager(&cookies);
  EXPECT_EQ(http.ComponentCount(), owned - 1);
  http.Disconnect();
  peer.Join();
  ASSERT_EQ(peer.Requests().size(), 2u);
  EXPECT_NE(peer.Requests()[1].find("Cookie: s=1\r\n"), std::string::npos);

  // An assigned manager that is destroyed is forgotten.
  auto* gone = new TNetCookieManager(nullptr);
  http.SetCookieManager(gone);
  delete gone;
  EXPECT_EQ(http.CookieManager(), nullptr);

  // Without cookies allowed nothing is made.
  http.AllowCookies = false;
  TScriptedPeer plain({Answers({Reply("200 OK", "", "Set-Cookie: s=1; path=/\r\n")})});
  http.GetText(plain.Base() + "/");
  EXPECT_EQ(http.CookieManager(), nullptr);
  http.Disconnect();
}

TEST_F(ExchangeTest, TargetsThatCannotBeRequested) {
  // An https target needs an encrypting handler, which the client lacks.
  try {
    http.GetText("https://127.0.0.1:1/");
    FAIL();
  } catch (const ENetIOHandlerPropInvalid& e) {
    EXPECT_EQ(e.Message(), "IOHandler value is not valid");
  }
  EXPECT_THROW(http.GetText("ftp://127.0.0.1/x"), ENetUnknownProtocol);
  EXPECT_THROW(http.GetText("http://127.0.0.1:8x/"), EConvertError);

  TNetHTTP fresh(nullptr);
  fresh.SetPort(0);
  fresh.URL().Port.clear();
  EXPECT_THROW(fresh.GetText("relative"), ENetUnknownProtocol);

  http.ProtocolVersion = TNetHTTPProtocolVersion::pv1_0;
  for (TNetHTTPMethod m : {TNetHTTPMethod::hmOptions, TNetHTTPMethod::hmTrace, TNetHTTPMethod::hmPut}) {
    try {
      http.Perform(m, "http://127.0.0.1:1/", nullptr, nullptr);
      FAIL();
    } catch (const ENetException& e) {
      EXPECT_EQ(e.Message(), "This request method is supported in HTTP 1.1");
    }
  }
  EXPECT_EQ(disconnects, 0);
}

TEST_F(ExchangeTest, OptionsStarAndPut) {
  TScriptedPeer peer({Answers({Reply("200 OK"), Reply("201 Created", "stored")})});
  http.Perform(TNetHTTPMethod::hmOptions, peer.Base() + "/*", nullptr, nullptr);
  TMemoryStream source, answer;
  source.WriteString("bytes");
  http.Perform(TNetHTTPMethod::hmPut, peer.Base() + "/file", &source, &answer);
  EXPECT_EQ(answer.DataString(), "stored");
  http.Disconnect();
  peer.Join();
  std::vector<std::string> requests = peer.Requests();
  ASSERT_EQ(requests.size(), 2u);
  EXPECT_EQ(requests[0].substr(0, 19), "OPTIONS * HTTP/1.1\r");
  EXPECT_EQ(requests[1],
            "PUT /file HTTP/1.1\r\nContent-Length: 5\r\n" + HostLine(peer) + kAccept + kAgent + "\r\nbytes");
}

TEST_F(ExchangeTest, CredentialsInTheUrlAreKeptForTheRequest) {
  TScriptedPeer peer({Answers({Reply("200 OK")})});
  http.Request().BasicAuthentication = true;
  http.GetText("http://me:pw@127.0.0.1:" + IntToStr(peer.Port()) + "/");
  http.Disconnect();
  peer.Join();
  EXPECT_EQ(http.Request().Username, "me");
  ASSERT_EQ(peer.Requests().size(), 1u);
  EXPECT_NE(peer.Requests()[0].find("\r\nAuthorization: Basic bWU6cHc=\r\n"), std::string::npos);
}
