// Answering 401 and 407 challenges: the scheme registry, the authorization
// steps with their events, and the encrypting-route seam.
#include <gtest/gtest.h>

#include "http/exceptions.h"
#include "http/http.h"
#include "tests/support/peer.h"

using namespace ts;
using namespace testpeer;

namespace {

const std::string kChallenge = "WWW-Authenticate: Basic realm=\"notes\"\r\n";
const std::string kCredentials = "Authorization: Basic dTpw\r\n";  // u:p

class AuthTest : public ::testing::Test {
protected:
  AuthTest() {
    http.HandleRedirects = true;
    http.ReadTimeout = 10000;
    http.OnDisconnected = [this](TObject*) { ++disconnects; };
  }

  static size_t CountWith(const std::vector<std::string>& requests, const std::string& line) {
    size_t n = 0;
    for (const std::string& r : requests)
      if (r.find("\r\n" + line) != std::string::npos) ++n;
    return n;
  }

  TStackKeeper keeper;
  TNetHTTP http{nullptr};
  int disconnects = 0;
};

// A scheme whose header names the attempt; done after one step.
class TCountingScheme : public TNetAuthentication {
public:
  TNetAuthWhatsNext Next() override {
    ++Attempts;
    CurrentStep = 1;
    return TNetAuthWhatsNext::wnDoRequest;
  }
  int Steps() const override { return 1; }
  std::string HeaderValue() override { return "Counting " + IntToStr(Attempts); }

  static const TNetAuthenticationClass* ClassInfo() {
    static const TNetAuthenticationClass info{"TCountingScheme", [] { return std::make_unique<TCountingScheme>(); }};
    return &info;
  }
};

}  // namespace

TEST(AuthenticationRegistry, BasicIsThereAndNamesAreUnique) {
  EXPECT_EQ(FindAuthenticationMethod("basic"), TNetBasicAuthentication::ClassInfo());
  EXPECT_EQ(FindAuthenticationMethod("Digest"), nullptr);
  try {
    RegisterAuthenticationMethod("BASIC", TCountingScheme::ClassInfo());
    FAIL() << "registered twice";
  } catch (const ENetAlreadyRegisteredAuthenticationMethod& e) {
    EXPECT_EQ(e.Message(), "This authentication method is already registered with class name TNetBasicAuthentication.");
  }
  RegisterAuthenticationMethod("Counting", TCountingScheme::ClassInfo());
  EXPECT_EQ(FindAuthenticationMethod("counting"), TCountingScheme::ClassInfo());
  UnregisterAuthenticationMethod("COUNTING");
  EXPECT_EQ(FindAuthenticationMethod("Counting"), nullptr);
}

TEST_F(AuthTest, BasicIsRetriedUntilItHasCountedItsAttempts) {
  std::vector<std::string> answers(4, Reply("401 Unauthorized", "who are you", kChallenge));
  TScriptedPeer peer({Answers(answers)});
  http.HTTPOptions.Include(TNetHTTPOption::hoInProcessAuth);
  http.Request().Username = "u";
  http.Request().Password = "p";
  try {
    http.GetText(peer.Base() + "/private");
    FAIL() << "no error";
  } catch (const ENetHTTPProtocolException& e) {
    EXPECT_EQ(e.ReplyCode, 401);
    EXPECT_EQ(e.ErrorMessage, "who are you");
  }
  http.Disconnect();
  peer.Join();
  std::vector<std::string> requests = peer.Requests();
  ASSERT_EQ(requests.size(), 4u);
  EXPECT_EQ(CountWith(requests, kCredentials), 3u);
  EXPECT_EQ(requests[0].find("Authorization"), std::string::npos);
  // The kept scheme object starts over after the failure.
  ASSERT_NE(http.Request().Authentication(), nullptr);
  EXPECT_EQ(http.Request().Authentication()->Attempts, 0);
  EXPECT_EQ(static_cast<TNetBasicAuthentication*>(http.Request().Authentication())->Realm, "notes");
}

TEST_F(AuthTest, AcceptedCredentialsGiveTheAnswerAndStayInUse) {
  TScriptedPeer peer({
      Answers({Reply("401 Unauthorized", "no", kChallenge), Reply("200 OK", "secret")}),
      // The server closes after its challenge: the request goes again on a new connection.
      Answers({Reply("401 Unauthorized", "no", kChallenge + "Connection: close\r\n")}, true),
      Answers({Reply("200 OK", "again")}),
  });
  http.HTTPOptions.Include(TNetHTTPOption::hoInProcessAuth);
  http.Request().Username = "u";
  http.Request().Password = "p";
  TMemoryStream body;
  http.GetToStream(peer.Base() + "/private", body);
  EXPECT_EQ(body.DataString(), "secret");
  EXPECT_EQ(http.RedirectCount(), 0);
  // A new connection, a new challenge (the object is kept across the close).
  http.Disconnect();
  ASSERT_NE(http.Request().Authentication(), nullptr);
  EXPECT_EQ(http.GetText("/other"), "again");
  http.Disconnect();
  peer.Join();
  std::vector<std::string> requests = peer.Requests();
  ASSERT_EQ(requests.size(), 4u);
  EXPECT_EQ(requests[0].find("Authorization"), std::string::npos);
  EXPECT_NE(requests[1].find(kCredentials), std::string::npos);
  EXPECT_NE(requests[2].find(kCredentials), std::string::npos);  // sent on from the kept object
  EXPECT_NE(requests[3].find(kCredentials), std::string::npos);
  EXPECT_EQ(peer.RequestConnections(), (std::vector<int>{0, 0, 1, 2}));
}

TEST_F(AuthTest, ChallengesThatCannotBeAnswered) {
  TScriptedPeer peer({Answers({
      Reply("401 Unauthorized", "digest", "WWW-Authenticate: Digest realm=\"x\", nonce=\"1\"\r\n"),
      Reply("401 Unauthorized", "nobody", kChallenge),
      Reply("401 Unauthorized", "off", kChallenge),
  })});
  // Only a scheme nobody registered.
  http.HTTPOptions.Include(TNetHTTPOption::hoInProcessAuth);
  http.Request().Username = "u";
  EXPECT_THROW(http.GetText(peer.Base() + "/a"), ENetHTTPProtocolException);
  EXPECT_EQ(http.Request().Authentication(), nullptr);
  // No user name and nobody to ask.
  http.Request().Username.clear();
  EXPECT_THROW(http.GetText("/b"), ENetHTTPProtocolException);
  // Credentials, but neither in-process answers nor a handler.
  http.Request().SetAuthentication(nullptr);
  http.Request().Username = "u";
  http.HTTPOptions.Exclude(TNetHTTPOption::hoInProcessAuth);
  EXPECT_THROW(http.GetText("/c"), ENetHTTPProtocolException);
  http.Disconnect();
  peer.Join();
  EXPECT_EQ(peer.Requests().size(), 3u);
}

TEST_F(AuthTest, ProgramIsAskedForCredentials) {
  TScriptedPeer peer({Answers({
      Reply("401 Unauthorized", "first", kChallenge),
      Reply("200 OK", "in"),
      Reply("401 Unauthorized", "refused", kChallenge),
  })});
  std::vector<std::string> realms;
  http.OnAuthorization = [&](TObject*, TNetAuthentication* auth, bool& handled) {
    realms.push_back(static_cast<TNetBasicAuthentication*>(auth)->Realm);
    auth->SetUsername("u");
    auth->SetPassword("p");
    handled = true;
  };
  // Without in-process answers the challenge's own body is the result; the
  // credentials go with the next request.
  EXPECT_EQ(http.GetText(peer.Base() + "/a"), "first");
  EXPECT_EQ(realms, (std::vector<std::string>{"notes"}));
  EXPECT_TRUE(http.Request().BasicAuthentication);
  EXPECT_EQ(http.Request().Username, "u");
  EXPECT_EQ(http.Request().Password, "p");
  EXPECT_EQ(http.GetText("/a"), "in");
  // A handler that declines ends with the protocol error.
  http.Request().SetAuthentication(nullptr);
  http.Request().Username.clear();
  http.OnAuthorization = [](TObject*, TNetAuthentication*, bool& handled) { handled = false; };
  EXPECT_THROW(http.GetText("/a"), ENetHTTPProtocolException);
  http.Disconnect();
  peer.Join();
  std::vector<std::string> requests = peer.Requests();
  ASSERT_EQ(requests.size(), 3u);
  EXPECT_NE(requests[1].find(kCredentials), std::string::npos);
}

TEST_F(AuthTest, HandlerThatNeverGivesAUserNameDoesNotHoldTheExchange) {
  TScriptedPeer peer({Answers({Reply("401 Unauthorized", "", kChallenge)})});
  int asked = 0;
  http.OnAuthorization = [&](TObject*, TNetAuthentication*, bool& handled) {
    ++asked;
    handled = true;
  };
  EXPECT_THROW(http.GetText(peer.Base() + "/a"), ENetHTTPProtocolException);
  EXPECT_GE(asked, 1);
  EXPECT_LE(asked, http.AuthRetries + 1);
  http.Disconnect();
}

TEST_F(AuthTest, SchemeCanBeChosenByTheProgramAndIsDroppedWhenDone) {
  TScriptedPeer peer({
      Answers({Reply("401 Unauthorized", "", kChallenge), Reply("200 OK", "ok", "Connection: close\r\n")}, true),
      Answers({Reply("200 OK", "plain")}),
  });
  http.HTTPOptions.Include(TNetHTTPOption::hoInProcessAuth);
  http.Request().Username = "u";
  std::string offered;
  http.OnSelectAuthorization = [&](TObject*, const TNetAuthenticationClass*& chosen, const TNetHeaderList& info) {
    offered = info.Text();
    chosen = TCountingScheme::ClassInfo();
  };
  EXPECT_EQ(http.GetText(peer.Base() + "/a"), "ok");
  EXPECT_EQ(offered, "Basic realm=\"notes\"\r\n");
  // The scheme went through all its steps: the close of the connection drops it.
  EXPECT_EQ(http.Request().Authentication(), nullptr);
  EXPECT_EQ(http.GetText("/b"), "plain");
  http.Disconnect();
  peer.Join();
  std::vector<std::string> requests = peer.Requests();
  ASSERT_EQ(requests.size(), 3u);
  EXPECT_NE(requests[1].find("\r\nAuthorization: Counting 1\r\n"), std::string::npos);
  EXPECT_EQ(requests[2].find("Authorization"), std::string::npos);
}

TEST_F(AuthTest, ProxyChallenge) {
  const std::string proxyChallenge = "Proxy-Authenticate: Basic realm=\"gate\"\r\n";
  TScriptedPeer proxy({Answers({
      Reply("407 Proxy Authentication Required", "", proxyChallenge),
      Reply("200 OK", "through"),
      Reply("407 Proxy Authentication Required", "", proxyChallenge),
      Reply("407 Proxy Authentication Required", "", proxyChallenge),
      Reply("407 Proxy Authentication Required", "denied", proxyChallenge),
  })});
  http.HTTPOptions.Include(TNetHTTPOption::hoInProcessAuth);
  TNetProxyConnectionInfo& params = http.ProxyParams();
  params.SetProxyServer("127.0.0.1");
  params.SetProxyPort(proxy.Port());
  params.ProxyUsername = "u";
  params.ProxyPassword = "p";
  EXPECT_EQ(http.GetText("http://example.test/a"), "through");
  try {
    http.GetText("http://example.test/b");
    FAIL() << "no error";
  } catch (const ENetHTTPProtocolException& e) {
    EXPECT_EQ(e.ReplyCode, 407);
    EXPECT_EQ(e.ErrorMessage, "denied");
  }
  // A proxy that keeps refusing has its credentials forgotten.
  EXPECT_EQ(params.ProxyUsername, "");
  EXPECT_EQ(params.ProxyPassword, "");
  http.Disconnect();
  proxy.Join();
  std::vector<std::string> requests = proxy.Requests();
  // The attempts the kept object counted for the first answer count on.
  ASSERT_EQ(requests.size(), 5u);
  EXPECT_EQ(requests[0].find("Proxy-Authorization"), std::string::npos);
  EXPECT_NE(requests[1].find("\r\nProxy-Authorization: Basic dTpw\r\n"), std::string::npos);
  EXPECT_EQ(CountWith(requests, "Proxy-Authorization: Basic dTpw\r\n"), 4u);
}

namespace {

// Stands in for an encrypting handler: the bytes go through as they are, so
// a scripted peer can read them; the switches are recorded.
class TClearTLS : public TNetSSLIOHandlerSocketBase {
public:
  using TNetSSLIOHandlerSocketBase::TNetSSLIOHandlerSocketBase;
  void SetPassThrough(bool value) override {
    switches.push_back(value);
    TNetSSLIOHandlerSocketBase::SetPassThrough(value);
  }
  std::vector<bool> switches;
};

}  // namespace

TEST_F(AuthTest, EncryptedRoutesUseTheAssignedHandler) {
  TClearTLS tls(nullptr);
  http.SetIOHandler(&tls);
  TNetCookieManager cookies(nullptr);
  http.SetCookieManager(&cookies);
  cookies.StoreSetCookie("s=1; path=/; secure", "example.test");
  cookies.StoreSetCookie("s=1; path=/; secure", "127.0.0.1");

  TScriptedPeer direct({Answers({Reply("200 OK", "direct")})});
  http.Request().Connection = "keep-alive";
  EXPECT_EQ(http.GetText("https://127.0.0.1:" + IntToStr(direct.Port()) + "/d"), "direct");
  EXPECT_EQ(tls.switches, (std::vector<bool>{false}));
  http.Disconnect();
  direct.Join();
  ASSERT_EQ(direct.Requests().size(), 1u);
  // No keep-alive line on an encrypted route; the secure cookie goes along.
  EXPECT_EQ(direct.Requests()[0], "GET /d HTTP/1.1\r\nHost: 127.0.0.1:" + IntToStr(direct.Port()) +
                                      "\r\nAccept: text/html, */*\r\nUser-Agent: Mozilla/3.0 (compatible; text "
                                      "snap)\r\nCookie: s=1\r\n\r\n");

  // Through a proxy: the tunnel is asked for in the clear, then switched.
  TScriptedPeer proxy({Answers({"HTTP/1.0 200 Connection established\r\n\r\n", Reply("200 OK", "tunnelled")})});
  tls.switches.clear();
  http.ProxyParams().SetProxyServer("127.0.0.1");
  http.ProxyParams().SetProxyPort(proxy.Port());
  EXPECT_EQ(http.GetText("https://example.test/t"), "tunnelled");
  EXPECT_EQ(tls.switches, (std::vector<bool>{true, false}));
  http.Disconnect();
  proxy.Join();
  std::vector<std::string> requests = proxy.Requests();
  ASSERT_EQ(requests.size(), 2u);
  EXPECT_EQ(requests[0],
            "CONNECT example.test:443 HTTP/1.1\r\nPragma: no-cache\r\nProxy-Connection: keep-alive\r\nHost: "
            "example.test:443\r\nAccept: text/html, */*\r\nUser-Agent: Mozilla/3.0 (compatible; text snap)\r\n\r\n");
  EXPECT_EQ(requests[1].substr(0, 54), "GET /t HTTP/1.1\r\nHost: example.test:443\r\nAccept: text/");
  EXPECT_NE(requests[1].find("\r\nCookie: s=1\r\n"), std::string::npos);
  http.SetIOHandler(nullptr);
}

TEST_F(AuthTest, TunnelRefusedByTheProxy) {
  TClearTLS tls(nullptr);
  http.SetIOHandler(&tls);
  TScriptedPeer proxy({Answers({Reply("403 Forbidden", "no tunnels")})});
  http.ProxyParams().SetProxyServer("127.0.0.1");
  http.ProxyParams().SetProxyPort(proxy.Port());
  try {
    http.GetText("https://example.test/t");
    FAIL() << "no error";
  } catch (const ENetHTTPProtocolException& e) {
    EXPECT_EQ(e.ReplyCode, 403);
    EXPECT_EQ(e.ErrorMessage, "no tunnels");
  }
  http.Disconnect();
  http.SetIOHandler(nullptr);
}
