// Answers the client must not take at their word: framing that can be read
// two ways, lengths that are not numbers, chunk sizes that are not sizes,
// redirects that would carry a form to another site, Secure cookies set in
// the clear. Each ends as a failure of the transport (the note waits and is
// tried again), never as an answer of the service.
#include <gtest/gtest.h>

#include "http/cookies.h"
#include "http/exceptions.h"
#include "http/http.h"
#include "tests/support/peer.h"
#include "tests/support/raised.h"

using namespace ts;
using namespace testpeer;
using testsupport::RaisedText;

namespace {

class UntrustedAnswer : public ::testing::Test {
protected:
  UntrustedAnswer() {
    http.HandleRedirects = true;
    http.ReadTimeout = 10000;
  }
  TStackKeeper keeper;
  TNetHTTP http{nullptr};
};

}  // namespace

TEST_F(UntrustedAnswer, ContentLengthIsPlainDigitsAndOneValue) {
  const char* malformed[] = {
      "Content-Length: +5",  "Content-Length: 0x5", "Content-Length: $5",   "Content-Length: 5 5",
      "Content-Length: -5",  "Content-Length:",     "Content-Length: 5, 6", "Content-Length: 5\r\nContent-Length: 6",
      "Content-Length: 5e0",
  };
  std::vector<TScriptedPeer::TScript> scripts;
  for (const char* field : malformed)
    scripts.push_back(Answers({"HTTP/1.1 200 OK\r\n" + std::string(field) + "\r\n\r\nhello"}));
  // The same value said twice, or as a list, is one length.
  scripts.push_back(Answers({"HTTP/1.1 200 OK\r\nContent-Length: 5\r\nContent-Length: 5\r\n\r\nhello",
                             "HTTP/1.1 200 OK\r\nContent-Length:  5 , 5 \r\n\r\nworld"}));
  TScriptedPeer peer(scripts);
  for (const char* field : malformed) {
    SCOPED_TRACE(field);
    const std::string error = RaisedText<ENetAnswerMalformed>([&] { http.GetText(peer.Base() + "/"); });
    EXPECT_EQ(error.rfind("The server's answer is malformed (", 0), 0u) << error;
    EXPECT_FALSE(http.IsConnected());
  }
  EXPECT_EQ(http.GetText(peer.Base() + "/"), "hello");
  EXPECT_EQ(http.GetText(peer.Base() + "/"), "world");
  http.Disconnect();
}

TEST_F(UntrustedAnswer, ChunkedWinsOverContentLengthAndTheConnectionIsNotUsedAgain) {
  TScriptedPeer peer({Answers({"HTTP/1.1 200 OK\r\nContent-Length: 3\r\nTransfer-Encoding: chunked\r\n\r\n"
                               "5\r\nhello\r\n0\r\n\r\n",
                               Reply("200 OK", "smuggled")}),
                      Answers({Reply("200 OK", "fresh")}, true)});
  EXPECT_EQ(http.GetText(peer.Base() + "/"), "hello");
  EXPECT_FALSE(http.IsConnected());
  EXPECT_EQ(http.GetText(peer.Base() + "/"), "fresh");
  peer.Join();
  EXPECT_EQ(peer.Connections(), 2);
}

TEST_F(UntrustedAnswer, ChunksThatAreNotSizedAsTheySayEndTheExchange) {
  const char* bodies[] = {
      "zz\r\nhello\r\n0\r\n\r\n",   // not hexadecimal
      "0x5\r\nhello\r\n0\r\n\r\n",  // a base prefix
      "-5\r\nhello\r\n0\r\n\r\n",   // a sign
      "\r\nhello\r\n0\r\n\r\n",     // no size at all
      "3\r\nhello\r\n0\r\n\r\n",    // more bytes than its size
  };
  std::vector<TScriptedPeer::TScript> scripts;
  for (const char* body : bodies)
    scripts.push_back(Answers({"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n" + std::string(body)}));
  TScriptedPeer peer(scripts);
  for (const char* body : bodies) {
    SCOPED_TRACE(body);
    EXPECT_THROW(http.GetText(peer.Base() + "/"), ENetAnswerMalformed);
    EXPECT_FALSE(http.IsConnected());
  }
}

TEST_F(UntrustedAnswer, AFormGoesAfterARedirectOnlyOnItsOwnOrigin) {
  TScriptedPeer elsewhere({Answers({Reply("200 OK", "taken elsewhere")}, true)});
  const std::string other = elsewhere.Base() + "/steal";
  std::vector<TScriptedPeer::TScript> scripts;
  for (const char* status : {"301 Moved Permanently", "302 Found", "307 Temporary Redirect", "308 Permanent Redirect"})
    scripts.push_back(Answers({Reply(status, "", "Location: " + other + "\r\n")}, true));
  TScriptedPeer peer(scripts);
  // "localhost" names the same machine, but is another site to a browser and to us.
  const std::string localhost = "http://localhost:" + IntToStr(peer.Port()) + "/steal";
  TScriptedPeer sameHost({Answers({Reply("307 Temporary Redirect", "", "Location: " + localhost + "\r\n")}, true)});
  for (int i = 0; i < 4; ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(RaisedText<ENetRedirectToOtherOrigin>(
                  [&] { http.PostForm(peer.Base() + "/users/login", TStringList{"data[User][password]=secret"}); }),
              "The server redirected the request to another site, http://127.0.0.1:" + IntToStr(elsewhere.Port()) +
                  "; its body was not sent there");
    EXPECT_FALSE(http.IsConnected());
  }
  EXPECT_EQ(RaisedText<ENetRedirectToOtherOrigin>(
                [&] { http.PostForm(sameHost.Base() + "/x", TStringList{"data[User][password]=secret"}); }),
            "The server redirected the request to another site, http://localhost:" + IntToStr(peer.Port()) +
                "; its body was not sent there");
  elsewhere.Join();
  EXPECT_EQ(elsewhere.Connections(), 0);

  // On its own origin the service's login redirect is followed as before, the
  // form sent again; a GET may go anywhere plain.
  TScriptedPeer service({Answers({Reply("302 Found", "", "Location: /users/home\r\nConnection: close\r\n")}, true),
                         Answers({Reply("200 OK", "home")}, true)});
  TScriptedPeer target({Answers({Reply("200 OK", "there")}, true)});
  EXPECT_EQ(http.PostForm(service.Base() + "/users/login", TStringList{"a=1"}), "home");
  const std::string there = target.Base() + "/page";
  TScriptedPeer getter({Answers({Reply("302 Found", "", "Location: " + there + "\r\n")}, true)});
  EXPECT_EQ(http.GetText(getter.Base() + "/"), "there");
  service.Join();
  const auto requests = service.Requests();
  ASSERT_EQ(requests.size(), 2u);
  EXPECT_EQ(requests[1].rfind("POST /users/home HTTP/1.0\r\n", 0), 0u) << requests[1];
  EXPECT_NE(requests[1].find("\r\n\r\na=1"), std::string::npos) << requests[1];
}

TEST_F(UntrustedAnswer, ASecureCookieSetInTheClearIsIgnored) {
  TScriptedPeer peer({Answers(
      {Reply("200 OK", "ok", "Set-Cookie: session=forged; path=/; Secure\r\nSet-Cookie: plain=1; path=/\r\n")}, true)});
  TNetCookieManager jar(nullptr);
  http.SetCookieManager(&jar);
  EXPECT_EQ(http.GetText(peer.Base() + "/"), "ok");
  EXPECT_EQ(jar.CookieHeaderFor(TNetURI("https://127.0.0.1/"), true), "plain=1");
  http.SetCookieManager(nullptr);
}
