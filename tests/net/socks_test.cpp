// Proxy negotiation against scripted loopback proxies: the exact bytes each
// protocol puts on the wire, each refusal the proxy can answer with, proxies that
// close or answer in pieces, and settings that cannot be put on the wire.
#include <gtest/gtest.h>

#include <functional>
#include <initializer_list>
#include <memory>
#include <string>
#include <vector>

#include "net/iohandler.h"
#include "net/socks.h"
#include "net/tcpconnection.h"
#include "tests/support/peer.h"
#include "tests/support/raised.h"

using namespace ts;
using namespace testpeer;
using testsupport::RaisedText;

namespace {

std::string Bytes(std::initializer_list<int> values) {
  std::string out;
  for (int v : values) out.push_back(static_cast<char>(v));
  return out;
}

// Readable form of raw bytes for failure messages: printable ASCII as is, the
// rest as <hex>.
std::string Show(const std::string& bytes) {
  static const char digits[] = "0123456789abcdef";
  std::string out;
  for (unsigned char c : bytes) {
    if (c >= 0x21 && c < 0x7F && c != '<') {
      out.push_back(static_cast<char>(c));
    } else {
      out += '<';
      out.push_back(digits[c >> 4]);
      out.push_back(digits[c & 15]);
      out += '>';
    }
  }
  return out;
}

constexpr int kTargetPort = 0x1234;  // two different bytes show the order on the wire

}  // namespace

class SocksTest : public ::testing::Test {
protected:
  TStackKeeper keeper;
  std::unique_ptr<TScriptedPeer> proxy;
  std::unique_ptr<TNetTCPClient> client;
  TNetIOHandlerSocket* handler = nullptr;

  // A client whose end point goes through the scripted proxy.
  TNetSocksInfo& StartProxy(TScriptedPeer::TScript script, TSocksVersion version) {
    proxy = std::make_unique<TScriptedPeer>(std::vector<TScriptedPeer::TScript>{std::move(script)});
    client = std::make_unique<TNetTCPClient>(nullptr);
    handler = new TNetIOHandlerSocket(client.get());
    client->SetIOHandler(handler);
    TNetSocksInfo& socks = *handler->SocksInfo();
    socks.Version = version;
    socks.Host = "127.0.0.1";
    socks.Port = proxy->Port();
    return socks;
  }

  void ConnectTo(const std::string& host, int port = kTargetPort) {
    client->SetHost(host);
    client->SetPort(port);
    client->Connect();
  }

  void TearDown() override {
    if (client) client->Disconnect();
    if (proxy) proxy->Join();
  }
};

// ---- SOCKS 4 and 4A -------------------------------------------------------------

TEST_F(SocksTest, Socks4SendsTheLocallyResolvedAddressAndUserName) {
  std::string request;
  StartProxy(
      [&](TPeerConnection& s) {
        request = s.Receive(9 + 5);
        s.Send(Bytes({0, 90, 0, 0, 0, 0, 0, 0}) + "from target\n");
        s.ReceiveFor(3000);
      },
      TSocksVersion::svSocks4)
      .Username = "alice";
  ConnectTo("localhost");
  EXPECT_EQ(Show(request), Show(Bytes({4, 1, 0x12, 0x34, 127, 0, 0, 1}) + "alice" + Bytes({0})));
  // The reply is consumed whole: the first line read is the target's.
  EXPECT_EQ(client->ReadLine(), "from target");
  // The socket itself is connected to the proxy.
  EXPECT_EQ(handler->Binding()->RemotePort, proxy->Port());
}

TEST_F(SocksTest, Socks4AWithEmptyUserNameSendsTheHostName) {
  std::string request;
  StartProxy(
      [&](TPeerConnection& s) {
        request = s.ReceiveFor(500);
        s.Send(Bytes({0, 90, 1, 2, 3, 4, 5, 6}) + "ok\n");
        s.ReceiveFor(3000);
      },
      TSocksVersion::svSocks4A);
  // A name nobody here can resolve: the proxy does the lookup.
  ConnectTo("target.invalid");
  EXPECT_EQ(Show(request), Show(Bytes({4, 1, 0x12, 0x34, 0, 0, 0, 1, 0}) + "target.invalid" + Bytes({0})));
  EXPECT_EQ(client->ReadLine(), "ok");
}

TEST_F(SocksTest, Socks4RefusalsRaiseTheirOwnClasses) {
  struct Case {
    int code;
    std::function<std::string(const std::function<void()>&)> raised;
    std::string text;
  };
  const std::vector<Case> cases = {
      {91, RaisedText<ENetSocksRequestFailed>, "Request rejected or failed."},
      {92, RaisedText<ENetSocksRequestServerFailed>, "Request rejected because SOCKS server cannot connect."},
      {93, RaisedText<ENetSocksRequestIdentFailed>,
       "Request rejected because the client program and identd report different user-ids."},
      {0, RaisedText<ENetSocksUnknownError>, "Unknown socks error."},
      {94, RaisedText<ENetSocksUnknownError>, "Unknown socks error."},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.code);
    StartProxy(
        [code = c.code](TPeerConnection& s) {
          s.ReceiveFor(300);
          s.Send(Bytes({0, code, 0, 0, 0, 0, 0, 0}));
          s.ReceiveFor(3000);
        },
        TSocksVersion::svSocks4A);
    EXPECT_EQ(c.raised([&] { ConnectTo("target.invalid"); }), c.text);
    // The failed connect drops the socket.
    EXPECT_FALSE(handler->IsOpen());
    proxy->Join();
  }
}

// ---- SOCKS 5 ----------------------------------------------------------------------

TEST_F(SocksTest, Socks5WithPasswordSendsEachStepAndSkipsTheBoundAddress) {
  std::string greeting, login, request;
  TNetSocksInfo& socks = StartProxy(
      [&](TPeerConnection& s) {
        greeting = s.Receive(3);
        s.Send(Bytes({5, 2}));
        login = s.Receive(3 + 5 + 6);
        s.Send(Bytes({1, 0}));
        request = s.Receive(7 + 11);
        // Bound address as an IPv4 address and port, then the target speaks.
        s.Send(Bytes({5, 0, 0, 1, 10, 0, 0, 9, 0x04, 0x38}) + "hello\n");
        s.ReceiveFor(3000);
      },
      TSocksVersion::svSocks5);
  socks.Authentication = TSocksAuthentication::saUsernamePassword;
  socks.Username = "alice";
  socks.Password = "s3cret";
  ConnectTo("example.org");
  EXPECT_EQ(Show(greeting), Show(Bytes({5, 1, 2})));
  EXPECT_EQ(Show(login), Show(Bytes({1, 5}) + "alice" + Bytes({6}) + "s3cret"));
  EXPECT_EQ(Show(request), Show(Bytes({5, 1, 0, 3, 11}) + "example.org" + Bytes({0x12, 0x34})));
  EXPECT_EQ(client->ReadLine(), "hello");
}

TEST_F(SocksTest, Socks5SendsAnAddressTextAsAName) {
  std::string greeting, request;
  StartProxy(
      [&](TPeerConnection& s) {
        greeting = s.Receive(3);
        s.Send(Bytes({5, 0}));
        request = s.ReceiveFor(500);
        s.Send(Bytes({5, 0, 0, 1, 0, 0, 0, 0, 0, 0}) + "hi\n");
        s.ReceiveFor(3000);
      },
      TSocksVersion::svSocks5)
      .Username = "unused";  // no authentication: the user name never goes out
  ConnectTo("10.1.2.3", 80);
  EXPECT_EQ(Show(greeting), Show(Bytes({5, 1, 0})));
  EXPECT_EQ(Show(request), Show(Bytes({5, 1, 0, 3, 8}) + "10.1.2.3" + Bytes({0, 80})));
  EXPECT_EQ(client->ReadLine(), "hi");
}

TEST_F(SocksTest, Socks5BoundAddressOfEachTypeIsSkippedEvenWhenItArrivesInPieces) {
  struct Case {
    const char* name;
    std::string boundAddress;  // address type, address, port
  };
  const std::vector<Case> cases = {
      {"IPv4", Bytes({1, 192, 168, 0, 1, 0x1F, 0x90})},
      {"name", Bytes({3, 9}) + "proxy.lan" + Bytes({0x1F, 0x90})},
      {"empty name", Bytes({3, 0, 0x1F, 0x90})},
      {"IPv6", Bytes({4, 0xFE, 0x80, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1, 0x1F, 0x90})},
      // Unknown type: three bytes in all are taken.
      {"unknown", Bytes({9, 1, 2, 3})},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string reply = Bytes({5, 0, 0}) + c.boundAddress;
    StartProxy(
        [&](TPeerConnection& s) {
          s.Receive(3);
          s.Send(Bytes({5, 0}));
          s.ReceiveFor(300);
          // One byte at a time: the reply must be read whole however it comes.
          for (char byte : reply) {
            s.Send(std::string(1, byte));
            SleepMs(5);
          }
          s.Send("PAYLOAD\n");
          s.ReceiveFor(3000);
        },
        TSocksVersion::svSocks5);
    ConnectTo("target.invalid");
    EXPECT_EQ(client->ReadLine(), "PAYLOAD");
    client->Disconnect();
    proxy->Join();
  }
}

TEST_F(SocksTest, Socks5MethodOtherThanTheOfferedOneIsRefusedBeforeTheRequest) {
  // Offering no authentication and being answered with the password method, or
  // with "none acceptable".
  for (int answered : {2, 255}) {
    SCOPED_TRACE(answered);
    std::string after;
    StartProxy(
        [&, answered](TPeerConnection& s) {
          s.Receive(3);
          s.Send(Bytes({5, answered}));
          after = s.ReceiveFor(3000);
        },
        TSocksVersion::svSocks5);
    EXPECT_EQ(RaisedText<ENetSocksAuthMethodError>([&] { ConnectTo("target.invalid"); }),
              "Invalid socks authentication method.");
    proxy->Join();
    EXPECT_EQ(Show(after), "");
  }
  // Offering the password method and being answered with none.
  StartProxy(
      [](TPeerConnection& s) {
        s.Receive(3);
        s.Send(Bytes({5, 0}));
        s.ReceiveFor(3000);
      },
      TSocksVersion::svSocks5)
      .Authentication = TSocksAuthentication::saUsernamePassword;
  EXPECT_THROW(ConnectTo("target.invalid"), ENetSocksAuthMethodError);
}

TEST_F(SocksTest, Socks5RejectedLoginRaisesAuthenticationError) {
  std::string after;
  TNetSocksInfo& socks = StartProxy(
      [&](TPeerConnection& s) {
        s.Receive(3);
        s.Send(Bytes({5, 2}));
        s.Receive(3 + 3 + 5);
        s.Send(Bytes({1, 1}));
        after = s.ReceiveFor(3000);
      },
      TSocksVersion::svSocks5);
  socks.Authentication = TSocksAuthentication::saUsernamePassword;
  socks.Username = "bob";
  socks.Password = "wrong";
  EXPECT_EQ(RaisedText<ENetSocksAuthError>([&] { ConnectTo("target.invalid"); }),
            "Authentication error to socks server.");
  proxy->Join();
  // No connect request follows a rejected login.
  EXPECT_EQ(Show(after), "");
}

TEST_F(SocksTest, Socks5ReplyCodesRaiseTheirOwnClasses) {
  struct Case {
    int code;
    std::function<std::string(const std::function<void()>&)> raised;
    std::string text;
  };
  const std::vector<Case> cases = {
      {1, RaisedText<ENetSocksServerGeneralError>, "General SOCKS server failure."},
      {2, RaisedText<ENetSocksServerPermissionError>, "Connection not allowed by ruleset."},
      {3, RaisedText<ENetSocksServerNetUnreachableError>, "Network unreachable."},
      {4, RaisedText<ENetSocksServerHostUnreachableError>, "Host unreachable."},
      {5, RaisedText<ENetSocksServerConnectionRefusedError>, "Connection refused."},
      {6, RaisedText<ENetSocksServerTTLExpiredError>, "TTL expired."},
      {7, RaisedText<ENetSocksServerCommandError>, "Command not supported."},
      {8, RaisedText<ENetSocksServerAddressError>, "Address type not supported."},
      {9, RaisedText<ENetSocksUnknownError>, "Unknown socks error."},
      {255, RaisedText<ENetSocksUnknownError>, "Unknown socks error."},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.code);
    StartProxy(
        [code = c.code](TPeerConnection& s) {
          s.Receive(3);
          s.Send(Bytes({5, 0}));
          s.ReceiveFor(300);
          s.Send(Bytes({5, code, 0, 1, 0, 0, 0, 0, 0, 0}));
          s.ReceiveFor(3000);
        },
        TSocksVersion::svSocks5);
    EXPECT_EQ(c.raised([&] { ConnectTo("target.invalid"); }), c.text);
    EXPECT_FALSE(handler->IsOpen());
    proxy->Join();
  }
}

// ---- proxies that stop answering --------------------------------------------------

TEST_F(SocksTest, ProxyClosingMidNegotiationIsReportedAsNotResponding) {
  struct Case {
    const char* name;
    TSocksVersion version;
    std::function<void(TPeerConnection&)> script;
  };
  const std::vector<Case> cases = {
      {"SOCKS 5, closed instead of choosing a method", TSocksVersion::svSocks5,
       [](TPeerConnection& s) { s.Receive(3); }},
      {"SOCKS 5, half a method choice", TSocksVersion::svSocks5,
       [](TPeerConnection& s) {
         s.Receive(3);
         s.Send(Bytes({5}));
       }},
      {"SOCKS 5, closed instead of the login status", TSocksVersion::svSocks5,
       [](TPeerConnection& s) {
         s.Receive(3);
         s.Send(Bytes({5, 2}));
         s.ReceiveFor(300);
       }},
      // Two bytes that look like success, then nothing: must not pass for a grant.
      {"SOCKS 5, reply cut short", TSocksVersion::svSocks5,
       [](TPeerConnection& s) {
         s.Receive(3);
         s.Send(Bytes({5, 0}));
         s.ReceiveFor(300);
         s.Send(Bytes({5, 0}));
       }},
      {"SOCKS 5, bound address cut short", TSocksVersion::svSocks5,
       [](TPeerConnection& s) {
         s.Receive(3);
         s.Send(Bytes({5, 0}));
         s.ReceiveFor(300);
         s.Send(Bytes({5, 0, 0, 1, 127, 0}));
       }},
      {"SOCKS 4, reply cut short", TSocksVersion::svSocks4A,
       [](TPeerConnection& s) {
         s.ReceiveFor(300);
         s.Send(Bytes({0, 90, 0, 0}));
       }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TNetSocksInfo& socks = StartProxy(c.script, c.version);  // the script's end closes the socket
    if (std::string(c.name).find("login") != std::string::npos) {
      socks.Authentication = TSocksAuthentication::saUsernamePassword;
      socks.Username = "u";
    }
    EXPECT_EQ(RaisedText<ENetSocksServerRespondError>([&] { ConnectTo("target.invalid"); }),
              "Socks server did not respond.");
    EXPECT_FALSE(handler->IsOpen());
    proxy->Join();
  }
}

// ---- settings that cannot go on the wire ------------------------------------------

TEST_F(SocksTest, SettingsThatDoNotFitAreRefusedBeforeAnythingIsSent) {
  const std::string long256(256, 'x');
  struct Case {
    const char* name;
    TSocksVersion version;
    TSocksAuthentication auth;
    std::string username, password, host;
    int port;
    std::string text;
  };
  const auto withPassword = TSocksAuthentication::saUsernamePassword;
  const auto none = TSocksAuthentication::saNoAuthentication;
  const std::vector<Case> cases = {
      {"SOCKS 5 user name", TSocksVersion::svSocks5, withPassword, long256, "pw", "h", 80,
       "SOCKS user name is longer than 255 bytes."},
      {"SOCKS 5 password", TSocksVersion::svSocks5, withPassword, "u", long256, "h", 80,
       "SOCKS password is longer than 255 bytes."},
      {"SOCKS 5 host", TSocksVersion::svSocks5, none, "", "", long256, 80,
       "SOCKS target host name is longer than 255 bytes."},
      {"SOCKS 4 user name", TSocksVersion::svSocks4, none, long256, "", "127.0.0.1", 80,
       "SOCKS user name is longer than 255 bytes."},
      {"SOCKS 4A user name with a zero byte", TSocksVersion::svSocks4A, none, std::string("a\0b", 3), "", "h", 80,
       "SOCKS user name must not contain a zero byte."},
      {"SOCKS 4A host with a zero byte", TSocksVersion::svSocks4A, none, "", "", std::string("evil\0h", 6), 80,
       "SOCKS target host name must not contain a zero byte."},
      {"port beyond two bytes", TSocksVersion::svSocks5, none, "", "", "h", 65536 + 80,
       "SOCKS target port 65616 is out of range."},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::string received;
    bool closed = false;
    TNetSocksInfo& socks = StartProxy(
        [&](TPeerConnection& s) {
          received = s.ReceiveFor(3000);
          closed = s.ClientClosed();
        },
        c.version);
    socks.Authentication = c.auth;
    socks.Username = c.username;
    socks.Password = c.password;
    EXPECT_EQ(RaisedText<ENetSocksInvalidSetting>([&] { ConnectTo(c.host, c.port); }), c.text);
    proxy->Join();
    EXPECT_TRUE(closed);
    EXPECT_EQ(Show(received), "");
  }
}

TEST_F(SocksTest, CredentialsOfExactly255BytesGoOutWhole) {
  const std::string user(255, 'u');
  const std::string password(255, 'p');
  std::string login;
  TNetSocksInfo& socks = StartProxy(
      [&](TPeerConnection& s) {
        s.Receive(3);
        s.Send(Bytes({5, 2}));
        login = s.Receive(3 + 255 + 255);
        s.Send(Bytes({1, 0}));
        s.ReceiveFor(300);
        s.Send(Bytes({5, 0, 0, 1, 0, 0, 0, 0, 0, 0}) + "in\n");
        s.ReceiveFor(3000);
      },
      TSocksVersion::svSocks5);
  socks.Authentication = TSocksAuthentication::saUsernamePassword;
  socks.Username = user;
  socks.Password = password;
  ConnectTo("target.invalid");
  EXPECT_EQ(Show(login), Show(Bytes({1, 255}) + user + Bytes({255}) + password));
  EXPECT_EQ(client->ReadLine(), "in");
}

// ---- without a proxy --------------------------------------------------------------

TEST_F(SocksTest, NoProxyVersionConnectsStraightToTheTarget) {
  std::string received;
  bool accepted = false;
  TScriptedPeer target([&](TPeerConnection& s) {
    s.Send("direct\n");
    received = s.ReceiveFor(3000);
  });
  // Proxy settings that would fail if used.
  TNetSocksInfo& socks = StartProxy([&](TPeerConnection&) { accepted = true; }, TSocksVersion::svNoSocks);
  socks.Host = "proxy.invalid";
  ConnectTo("127.0.0.1", target.Port());
  EXPECT_EQ(client->ReadLine(), "direct");
  client->Disconnect();
  target.Join();
  EXPECT_EQ(Show(received), "");
  proxy.reset();
  EXPECT_FALSE(accepted);
}
