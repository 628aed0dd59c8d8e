// The HTTP client over TLS against real peers started by peers.sh: nginx with
// a certificate of a test CA, an expired one, one for another host, a
// self-signed one and a server that speaks only TLS 1.0/1.1; tinyproxy for the
// CONNECT tunnel and danted for SOCKS 5. The same cases run natively (OpenSSL)
// and, cross-built, under Wine (Schannel).
#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>
#include <vector>

#include "http/exceptions.h"
#include "http/http.h"
#include "net/tlshandler.h"
#include "tests/support/peer.h"
#include "tests/support/raised.h"
#include "trust.h"

using namespace ts;
using testsupport::RaisedText;

namespace {

std::string Env(const char* name) {
  const char* value = std::getenv(name);
  return value ? value : "";
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

class TLSTest : public ::testing::Test {
protected:
  static void SetUpTestSuite() {
    if (!Env("TS_TLS_DIR").empty()) trusted = TrustTestCA(Env("TS_TLS_CA"));
  }

  void SetUp() override {
    ASSERT_FALSE(Env("TS_TLS_DIR").empty()) << "run through tests/tls/peers.sh";
    ASSERT_EQ(trusted, "") << "the test CA could not be trusted";
    tls = new TNetSSLIOHandlerSocket(&http);
    http.SetIOHandler(tls);
    http.HandleRedirects = true;
    http.ReadTimeout = 20000;
    http.SetCookieManager(&cookies);
    http.OnConnected = [this](TObject*) {
      ++connects;
      resumed.push_back(tls->Resumed());
    };
  }

  static std::string Url(const std::string& scheme, const std::string& host, const char* portVariable,
                         const std::string& path) {
    return scheme + "://" + host + ":" + Env(portVariable) + path;
  }
  static std::string Log(const std::string& server) {
    return ReadFile(Env("TS_TLS_DIR") + "/" + server + ".access.log");
  }

  static inline std::string trusted;
  TNetCookieManager cookies{nullptr};
  TNetHTTP http{nullptr};
  TNetSSLIOHandlerSocket* tls = nullptr;
  int connects = 0;
  std::vector<bool> resumed;  // per connection: whether its session was a kept one
};

TEST_F(TLSTest, PagesFormsAndKeptConnectionsOverTLS) {
  const std::string page = Env("TS_TLS_PAGE") + "\n";
  // By name (SNI and a DNS name checked) and by address (an IP address checked).
  EXPECT_EQ(http.GetText(Url("https", "localhost", "TS_TLS_PORT_GOOD", "/page.txt")), page);
  EXPECT_TRUE(tls->Encrypting());
  EXPECT_EQ(tls->Protocol().substr(0, 6), "TLSv1.");
  EXPECT_GE(tls->Protocol(), "TLSv1.2");
  EXPECT_EQ(http.GetText(Url("https", "localhost", "TS_TLS_PORT_GOOD", "/page.txt")), page);
  // The server learnt the name it was asked for (SNI).
  EXPECT_EQ(http.GetText(Url("https", "localhost", "TS_TLS_PORT_GOOD", "/sni")), "sni: localhost");
  EXPECT_EQ(connects, 1) << "the later GETs should have used the kept TLS connection";
  EXPECT_EQ(http.GetText(Url("https", "127.0.0.1", "TS_TLS_PORT_GOOD", "/page.txt")), page);

  // A megabyte over TLS, compared with the same file fetched in the clear.
  const std::string big = http.GetText(Url("https", "127.0.0.1", "TS_TLS_PORT_GOOD", "/mib.bin"));
  TNetHTTP plain(nullptr);
  EXPECT_TRUE(big == plain.GetText(Url("http", "127.0.0.1", "TS_TLS_PORT_PLAIN", "/mib.bin")));
  EXPECT_EQ(big.size(), 1048576u);

  TStringList form;
  form.Add("note=<xml>caf\xc3\xa9 100%</xml>");
  form.Add("id=snap");
  EXPECT_EQ(http.PostForm(Url("https", "localhost", "TS_TLS_PORT_GOOD", "/form"), form),
            "posted: note=%3Cxml%3Ecaf%C3%A9%20100%25%3C/xml%3E&id=snap");
}

// The note service's own exchange over HTTPS: probe, login (its redirect is a
// path on the same server), the Secure session cookie sent back over TLS.
TEST_F(TLSTest, PinleafServerSignsInAndTakesANoteOverTLS) {
  const std::string base = Env("TS_TLS_PINLEAF_URL");
  if (base.empty()) GTEST_SKIP() << "pinleaf-server is not built (native preset)";
  EXPECT_NE(http.GetText(base + "/posts/nop/?1").find("data[User][username]"), std::string::npos);
  http.PostForm(base + "/users/login", TStringList{"data[User][username]=snap", "data[User][password]=pass-1"});
  EXPECT_EQ(http.URL().Protocol, "https");
  EXPECT_EQ(http.Response().RawHeaders().ValueOf("Strict-Transport-Security"), "max-age=31536000");
  EXPECT_EQ(http.GetText(base + "/posts/nop/?2").find("data[User][username]"), std::string::npos)
      << "the session cookie was not sent back";
  const std::string answer = http.PostForm(
      base + "/posts/addpinleaf",
      TStringList{"data[Param][xmldata]=<xml><post><title></title><body>over%20TLS</body><color>11270143</color>"
                  "<paperid>20261209010203004</paperid></post></xml>"});
  EXPECT_NE(answer.find("===="), std::string::npos) << answer;
  // The probe, the login, its redirect and the upload: every connection after
  // the first resumed the session of the one before.
  ASSERT_GE(resumed.size(), 3u);
  EXPECT_FALSE(resumed.front());
  for (size_t i = 1; i < resumed.size(); ++i) EXPECT_EQ(resumed[i], ResumesSessions()) << "connection " << i;
}

TEST_F(TLSTest, RedirectsGoFromPlainToTLSNeverBackAndSecureCookiesStayOnTLS) {
  const std::string page = Env("TS_TLS_PAGE") + "\n";
  // http -> https: the redirect puts the client on the TLS route.
  EXPECT_EQ(http.GetText(Url("http", "127.0.0.1", "TS_TLS_PORT_PLAIN", "/to-tls")), page);
  EXPECT_TRUE(tls->Encrypting());
  // A relative redirect on a TLS connection stays on TLS.
  EXPECT_EQ(http.GetText(Url("https", "127.0.0.1", "TS_TLS_PORT_GOOD", "/relative")), page);
  // https -> http is not followed, not even for a GET: the cookies of the
  // secured site (and whatever the answer is trusted for) stay off the wire.
  EXPECT_EQ(RaisedText<ENetRedirectToPlain>(
                [&] { http.GetText(Url("https", "127.0.0.1", "TS_TLS_PORT_GOOD", "/secure-cookie")); }),
            "The server redirected the request to plain http://127.0.0.1:" + Env("TS_TLS_PORT_PLAIN") +
                "; it was not sent there unencrypted");
  EXPECT_FALSE(http.IsConnected());
  EXPECT_EQ(http.GetText(Url("http", "127.0.0.1", "TS_TLS_PORT_PLAIN", "/cookies")), "cookies: both=plain");
  EXPECT_EQ(Log("plain").find("secret"), std::string::npos);
  // The cookie the server marked secure came over TLS and is sent there.
  EXPECT_EQ(http.GetText(Url("https", "127.0.0.1", "TS_TLS_PORT_GOOD", "/cookies")), "cookies: both=plain; tls=secret");
  // A form sent over TLS is not sent again to a plain address it is redirected to.
  TStringList form;
  form.Add("data[User][password]=never-in-clear");
  EXPECT_EQ(RaisedText<ENetRedirectToPlain>(
                [&] { http.PostForm(Url("https", "127.0.0.1", "TS_TLS_PORT_GOOD", "/form-to-plain"), form); }),
            "The server redirected the request to plain http://127.0.0.1:" + Env("TS_TLS_PORT_PLAIN") +
                "; it was not sent there unencrypted");
  EXPECT_EQ(Log("plain").find("/form"), std::string::npos);
  // The plain server logs the cookies it got (the log is complete by now: one
  // nginx process, and requests came after): the plain one, never the secure one.
  EXPECT_NE(Log("plain").find("GET /cookies HTTP/1.1 \"both=plain\""), std::string::npos) << Log("plain");
  EXPECT_FALSE(http.IsConnected());
}

TEST_F(TLSTest, ThroughAnHTTPProxyTunnelAndThroughSOCKS5) {
  const std::string page = Env("TS_TLS_PAGE") + "\n";
  http.ProxyParams().SetProxyServer("127.0.0.1");
  http.ProxyParams().SetProxyPort(std::stoi(Env("TS_TLS_PORT_TINYPROXY")));
  EXPECT_EQ(http.GetText(Url("https", "localhost", "TS_TLS_PORT_GOOD", "/page.txt")), page);
  EXPECT_EQ(http.GetText(Url("https", "localhost", "TS_TLS_PORT_GOOD", "/page.txt")), page);
  EXPECT_EQ(connects, 1) << "the tunnel should have been kept";
  // Through the tunnel the certificate is still checked against the target.
  EXPECT_EQ(
      RaisedText<ENetTLSOtherHost>([&] { http.GetText(Url("https", "127.0.0.1", "TS_TLS_PORT_OTHERHOST", "/")); }),
      "Secure connection to 127.0.0.1 refused: the server's certificate is issued for another host");

  http.ProxyParams().SetProxyServer("");
  http.ProxyParams().SetProxyPort(0);
  tls->SocksInfo()->Version = TSocksVersion::svSocks5;
  tls->SocksInfo()->Host = "127.0.0.1";
  tls->SocksInfo()->Port = std::stoi(Env("TS_TLS_PORT_SOCKS"));
  EXPECT_EQ(http.GetText(Url("https", "localhost", "TS_TLS_PORT_GOOD", "/page.txt")), page);
  EXPECT_TRUE(tls->Encrypting());
}

// Each refusal names its cause, and the server never saw a request: its
// access log (which records even a broken request) stays empty.
TEST_F(TLSTest, CertificateAndProtocolFailuresAreRefusedBeforeTheRequest) {
  TStringList form;
  form.Add("data[User][password]=never-sent");
  const auto post = [&](const char* port) {
    return [&, port] { http.PostForm(Url("https", "localhost", port, "/form"), form); };
  };
  EXPECT_EQ(RaisedText<ENetTLSNotTimeValid>(post("TS_TLS_PORT_EXPIRED")),
            "Secure connection to localhost refused: the server's certificate has expired or is not yet valid");
  EXPECT_EQ(RaisedText<ENetTLSNotTimeValid>(post("TS_TLS_PORT_FUTURE")),
            "Secure connection to localhost refused: the server's certificate has expired or is not yet valid");
  EXPECT_EQ(RaisedText<ENetTLSOtherHost>(post("TS_TLS_PORT_OTHERHOST")),
            "Secure connection to localhost refused: the server's certificate is issued for another host");
  EXPECT_EQ(RaisedText<ENetTLSNotTrusted>(post("TS_TLS_PORT_SELF")),
            "Secure connection to localhost refused: the server's certificate is not trusted");
  EXPECT_EQ(RaisedText<ENetTLSHandshakeRefused>(post("TS_TLS_PORT_TLS10")),
            "Secure connection to localhost failed: the TLS handshake was refused (TLS 1.2 or newer is required)");
  EXPECT_FALSE(http.IsConnected());
  // The client is still usable afterwards.
  EXPECT_EQ(http.GetText(Url("https", "localhost", "TS_TLS_PORT_GOOD", "/page.txt")), Env("TS_TLS_PAGE") + "\n");
  for (const char* server : {"expired", "future", "otherhost", "self", "tls10"}) EXPECT_EQ(Log(server), "") << server;
}

// A server that takes the connection but never answers the handshake ends it
// after the handshake's time limit; one that hangs up on the greeting is a
// refused handshake. Neither leaves the client waiting or connected.
TEST_F(TLSTest, AServerThatNeverAnswersOrHangsUpEndsTheHandshakeWithAReason) {
  testpeer::TScriptedPeer peer({[](testpeer::TPeerConnection& c) { c.WaitForClose(10000); },
                                [](testpeer::TPeerConnection& c) {
                                  c.Receive(5);  // the first bytes of the client's greeting
                                  c.Close();
                                }});
  const std::string url = "https://127.0.0.1:" + std::to_string(peer.Port()) + "/";
  tls->HandshakeTimeout = 300;
  EXPECT_EQ(RaisedText<ENetReadTimeout>([&] { http.GetText(url); }), "Read Timeout");
  EXPECT_FALSE(http.IsConnected());
  EXPECT_EQ(RaisedText<ENetTLSHandshakeRefused>([&] { http.GetText(url); }),
            "Secure connection to 127.0.0.1 failed: the TLS handshake was refused (TLS 1.2 or newer is required)");
  EXPECT_FALSE(http.IsConnected());
  peer.Join();
  EXPECT_EQ(peer.Connections(), 2);
}

TEST_F(TLSTest, APinnedCertificateIsTheOnlyOneAccepted) {
  const std::string page = Env("TS_TLS_PAGE") + "\n";
  // Colons and case do not matter.
  tls->SetPinnedCertificate(Env("TS_TLS_SELF_SHA256"));
  EXPECT_EQ(http.GetText(Url("https", "localhost", "TS_TLS_PORT_SELF", "/page.txt")), page);
  EXPECT_EQ(tls->PeerCertificateSha256(), tls->PinnedCertificate());
  // A certificate the trust store would accept is refused while another is pinned.
  EXPECT_EQ(
      RaisedText<ENetTLSPinMismatch>([&] { http.GetText(Url("https", "localhost", "TS_TLS_PORT_GOOD", "/page.txt")); }),
      "Secure connection to localhost refused: the server's certificate is not the pinned one");
  tls->SetPinnedCertificate("A8:6E:44");
  EXPECT_EQ(RaisedText<ENetTLSPinInvalid>([&] { http.GetText(Url("https", "localhost", "TS_TLS_PORT_SELF", "/")); }),
            "Secure connection to localhost refused: the pinned certificate digest is not a SHA-256 (64 hex digits)");
  tls->SetPinnedCertificate(Env("TS_TLS_OTHER_SELF_SHA256"));
  EXPECT_EQ(
      RaisedText<ENetTLSPinMismatch>([&] { http.GetText(Url("https", "localhost", "TS_TLS_PORT_SELF", "/page.txt")); }),
      "Secure connection to localhost refused: the server's certificate is not the pinned one");
}

// Where only the close ends an answer, a close without the session's own end
// (close_notify) may be anyone's on the path: a cut answer, a failure of the
// transport. The same answer ended properly is whole.
TEST_F(TLSTest, AnAnswerEndedByACloseWithoutTheSessionsEndIsCut) {
  if (Env("TS_TLS_PORT_PEER13").empty()) GTEST_SKIP() << "tls_peer is not built (native preset)";
  EXPECT_EQ(http.GetText(Url("https", "localhost", "TS_TLS_PORT_PEER13", "/whole")), "the whole body");
  EXPECT_THROW(http.GetText(Url("https", "localhost", "TS_TLS_PORT_PEER13", "/cut")), ENetAnswerCut);
  EXPECT_FALSE(http.IsConnected());
  EXPECT_EQ(http.GetText(Url("https", "localhost", "TS_TLS_PORT_PEER12", "/whole")), "the whole body");
  EXPECT_THROW(http.GetText(Url("https", "localhost", "TS_TLS_PORT_PEER12", "/cut")), ENetAnswerCut);
}

// A TLS 1.3 server that updates its keys and asks for ours gets our update
// before it answers; a backend that speaks TLS 1.2 only is not asked.
TEST_F(TLSTest, AKeyUpdateIsAnsweredAtOnce) {
  if (Env("TS_TLS_PORT_PEER13").empty()) GTEST_SKIP() << "tls_peer is not built (native preset)";
  EXPECT_EQ(http.GetText(Url("https", "localhost", "TS_TLS_PORT_PEER13", "/keyupdate")),
            OffersTLS13() ? "key update answered" : "no TLS 1.3");
}

// A renegotiation could bring another certificate than the one judged at the
// handshake: the client refuses it (a no_renegotiation alert, or, where the
// backend sends none, by ending the session) and never starts one.
TEST_F(TLSTest, ARenegotiationIsRefused) {
  if (Env("TS_TLS_PORT_PEER12").empty()) GTEST_SKIP() << "tls_peer is not built (native preset)";
  const std::string exchange =
      RaisedText<ENetTLSBroken>([&] { http.GetText(Url("https", "localhost", "TS_TLS_PORT_PEER12", "/renegotiate")); });
  EXPECT_EQ(exchange, "The secure connection to the server was broken");
  EXPECT_FALSE(http.IsConnected());
  const std::string outcome = http.GetText(Url("https", "localhost", "TS_TLS_PORT_PEER12", "/report"));
  EXPECT_EQ(outcome, RefusesRenegotiationWithAnAlert() ? "refused" : "ignored");
}

// A kept session is offered only to the server name, port and pin it was
// made with, and a server that lost it (restarted, here with another
// certificate) is judged by a full handshake: its certificate is refused as
// it would be on the first connection, and nothing of it is kept.
TEST_F(TLSTest, SessionsResumeOnlyWhereTheyWereMadeAndAChangedCertificateIsRefused) {
  if (Env("TS_TLS_PORT_PEER13").empty()) GTEST_SKIP() << "tls_peer is not built (native preset)";
  const std::string again = ResumesSessions() ? "resumed" : "full handshake";
  for (const char* port : {"TS_TLS_PORT_PEER13", "TS_TLS_PORT_PEER12"}) {
    SCOPED_TRACE(port);
    tls->ForgetSessions();
    tls->SetPinnedCertificate(Env("TS_TLS_GOOD_SHA256"));
    EXPECT_EQ(http.GetText(Url("https", "localhost", port, "/resumed")), "full handshake");
    EXPECT_EQ(http.GetText(Url("https", "localhost", port, "/resumed")), again);
    // Another name of the same server is another key.
    EXPECT_EQ(http.GetText(Url("https", "127.0.0.1", port, "/resumed")), "full handshake");
    EXPECT_EQ(http.GetText(Url("https", "localhost", port, "/swap-next")),
              ResumesSessions() ? "swapping, resumed" : "swapping");
    EXPECT_EQ(RaisedText<ENetTLSPinMismatch>([&] { http.GetText(Url("https", "localhost", port, "/resumed")); }),
              "Secure connection to localhost refused: the server's certificate is not the pinned one");
    EXPECT_FALSE(http.IsConnected());
    // The refused server's ticket was not kept, and the first server's was dropped with it.
    EXPECT_EQ(http.GetText(Url("https", "localhost", port, "/resumed")), "full handshake");
    // Without a pin the trust store judges the restarted server just the same.
    tls->SetPinnedCertificate("");
    EXPECT_EQ(http.GetText(Url("https", "localhost", port, "/resumed")), "full handshake");
    EXPECT_EQ(http.GetText(Url("https", "localhost", port, "/swap-next")),
              ResumesSessions() ? "swapping, resumed" : "swapping");
    EXPECT_THROW(http.GetText(Url("https", "localhost", port, "/resumed")), ENetTLSNotTrusted);
  }
}

}  // namespace
