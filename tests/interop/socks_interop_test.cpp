// Connections through a real SOCKS server (danted) to a real HTTP server
// (python3 -m http.server), both on loopback: each protocol version fetches a
// page whole, and the server's own refusals arrive as their exception classes.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <memory>
#include <string>

#include "http/http.h"
#include "net/iohandler.h"
#include "net/socks.h"
#include "net/tcpconnection.h"
#include "tests/support/process.h"
#include "tests/support/raised.h"

using namespace ts;
using namespace testprocess;
using testsupport::RaisedText;

namespace {

const char* const kUser = "tssocksinterop";
const char* const kPassword = "Snap-pw-4711";

struct TProxySetting {
  TProxySetting(TSocksVersion v, int p, TSocksAuthentication a = TSocksAuthentication::saNoAuthentication,
                std::string user = "", std::string pass = "")
      : version(v), port(p), authentication(a), username(std::move(user)), password(std::move(pass)) {}
  TSocksVersion version;
  int port;
  TSocksAuthentication authentication;
  std::string username;
  std::string password;
};

void Configure(TNetSocksInfo& socks, const TProxySetting& setting) {
  socks.Version = setting.version;
  socks.Host = "127.0.0.1";
  socks.Port = setting.port;
  socks.Authentication = setting.authentication;
  socks.Username = setting.username;
  socks.Password = setting.password;
}

// A plain HTTP/1.0 GET written by hand over the buffered connection; the whole
// answer, head and body, read until the server closes.
std::string FetchRaw(const TProxySetting& setting, const std::string& host, int port, const std::string& path) {
  TNetTCPClient client(nullptr);
  auto* handler = new TNetIOHandlerSocket(&client);
  client.SetIOHandler(handler);
  Configure(*handler->SocksInfo(), setting);
  client.ReadTimeout = 10000;
  client.SetHost(host);
  client.SetPort(port);
  client.Connect();
  client.WriteText("GET " + path + " HTTP/1.0\r\nHost: " + host + ":" + std::to_string(port) + "\r\n\r\n");
  std::string answer = client.ReadAll();
  client.Disconnect();
  return answer;
}

// The page as the HTTP client fetches it, with its own connection through the proxy.
std::string FetchWithClient(const TProxySetting& setting, const std::string& url, bool followRedirects = false,
                            TNetHTTPProtocolVersion version = TNetHTTPProtocolVersion::pv1_1) {
  TNetHTTP http(nullptr);
  auto* handler = new TNetIOHandlerSocket(&http);
  http.SetIOHandler(handler);
  Configure(*handler->SocksInfo(), setting);
  http.ReadTimeout = 10000;
  http.HandleRedirects = followRedirects;
  http.ProtocolVersion = version;
  return http.GetText(url);
}

std::string BodyOf(const std::string& answer) {
  size_t end = answer.find("\r\n\r\n");
  return end == std::string::npos ? std::string() : answer.substr(end + 4);
}

}  // namespace

class SocksInteropTest : public ::testing::Test {
protected:
  static inline std::string folder;
  static inline std::string page;
  static inline int httpPort = 0;
  static inline int openProxyPort = 0;
  static inline int passwordProxyPort = 0;  // 0 when that proxy could not be set up
  static inline std::string passwordSkipReason;
  static inline bool createdUser = false;
  static inline std::unique_ptr<TProcess> http;
  static inline std::unique_ptr<TProcess> openProxy;
  static inline std::unique_ptr<TProcess> passwordProxy;
  static inline std::string setupFailure;

  static std::string DanteConfig(int port, const std::string& methods, const std::string& log) {
    std::string config = "logoutput: " + log + "\n" + "internal: 127.0.0.1 port = " + std::to_string(port) + "\n" +
                         "external: 127.0.0.1\n"
                         "clientmethod: none\n"
                         "socksmethod: " +
                         methods + "\n";
    // Run as root, the server drops what it does not need; checking system
    // passwords needs root for the shadow file.
    if (::geteuid() == 0) config += "user.privileged: root\nuser.unprivileged: nobody\n";
    config +=
        "client pass {\n  from: 127.0.0.0/8 to: 0.0.0.0/0\n}\n"
        "socks pass {\n  from: 127.0.0.0/8 to: 127.0.0.0/8\n  command: connect\n  protocol: tcp\n  log: error "
        "connect\n}\n";
    return config;
  }

  // Starts danted with `methods` on a free port; 0 and a reason on failure.
  static int StartDante(std::unique_ptr<TProcess>& process, const std::string& name, const std::string& methods) {
    const std::string danted = FindProgram("danted");
    if (danted.empty()) {
      setupFailure = "danted not found: install the Debian package dante-server";
      return 0;
    }
    const std::string config = folder + "/" + name + ".conf";
    process = std::make_unique<TProcess>();
    const int port = StartOnFreePort(
        *process,
        [&](int free) {
          WriteFile(config, DanteConfig(free, methods, folder + "/" + name + ".log"));
          return std::vector<std::string>{danted, "-f", config, "-p", folder + "/" + name + ".pid", "-N", "1"};
        },
        folder + "/" + name + ".out");
    if (!port) setupFailure = "danted did not start: " + process->Output() + ReadFile(folder + "/" + name + ".log");
    return port;
  }

  static void SetUpTestSuite() {
    char pattern[] = "/tmp/ts-socks-interop-XXXXXX";
    folder = ::mkdtemp(pattern);
    // Big enough that it crosses the proxy in many pieces.
    page = "<html><body><p>through the proxy</p>\n";
    for (int i = 0; i < 2000; ++i) page += "line " + std::to_string(i) + " of the page\n";
    page += "</body></html>\n";
    WriteFile(folder + "/page.html", page);
    std::filesystem::create_directory(folder + "/sub");
    WriteFile(folder + "/sub/index.html", "<html><body>below</body></html>\n");

    const std::string python = FindProgram("python3");
    if (python.empty()) {
      setupFailure = "python3 not found";
      return;
    }
    // It binds port 0 and says which port it got.
    http = std::make_unique<TProcess>();
    if (http->Start({python, "-u", "-m", "http.server", "-b", "127.0.0.1", "0", "-d", folder}, folder + "/http.out",
                    {"", true})) {
      const std::string line = http->ReadLine(15000);
      const size_t at = line.find(" port ");
      if (at != std::string::npos) httpPort = std::atoi(line.c_str() + at + 6);
    }
    if (httpPort <= 0 || !http->WaitForPort(httpPort)) {
      setupFailure = "python3 -m http.server did not start: " + http->Output();
      return;
    }

    openProxyPort = StartDante(openProxy, "open", "none");
    if (!openProxyPort) return;

    // The username method checks system accounts: one is made for the test, which
    // only root can do.
    if (::geteuid() != 0) {
      passwordSkipReason = "username authentication needs a system user, and only root can create one";
      return;
    }
    const std::string userLog = folder + "/user.log";
    if (RunToEnd({"id", kUser}, userLog) != 0) {
      if (RunToEnd({"useradd", "-M", "-s", "/usr/sbin/nologin", kUser}, userLog) != 0) {
        setupFailure = "useradd failed: " + ReadFile(userLog);
        return;
      }
      createdUser = true;
    }
    if (RunToEnd({"chpasswd"}, userLog, std::string(kUser) + ":" + kPassword + "\n") != 0) {
      setupFailure = "chpasswd failed: " + ReadFile(userLog);
      return;
    }
    passwordProxyPort = StartDante(passwordProxy, "password", "username");
  }

  static void TearDownTestSuite() {
    passwordProxy.reset();
    openProxy.reset();
    http.reset();
    if (createdUser) RunToEnd({"userdel", kUser}, folder + "/user.log");
    std::error_code ignored;
    std::filesystem::remove_all(folder, ignored);
  }

  void SetUp() override {
    ASSERT_EQ(setupFailure, "");
    ASSERT_NE(openProxyPort, 0);
  }

  void ExpectPage(const std::string& answer) {
    EXPECT_EQ(answer.substr(0, 13), "HTTP/1.0 200 ");
    EXPECT_TRUE(BodyOf(answer) == page) << "body of " << BodyOf(answer).size() << " bytes, expected " << page.size();
  }
};

TEST_F(SocksInteropTest, EachVersionFetchesThePageThroughAnOpenProxy) {
  struct Case {
    const char* name;
    TSocksVersion version;
    std::string username;
    std::string host;
  };
  // The server does not take the 4A extension (it would connect to 0.0.0.1
  // itself); 4A is covered against scripted proxies.
  const Case cases[] = {
      {"SOCKS 4, address", TSocksVersion::svSocks4, "", "127.0.0.1"},
      {"SOCKS 4, name resolved here, with a user name", TSocksVersion::svSocks4, "snapuser", "localhost"},
      {"SOCKS 5, name", TSocksVersion::svSocks5, "", "localhost"},
      {"SOCKS 5, address sent as a name", TSocksVersion::svSocks5, "", "127.0.0.1"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TProxySetting setting{c.version, openProxyPort};
    setting.username = c.username;
    ExpectPage(FetchRaw(setting, c.host, httpPort, "/page.html"));
  }
}

TEST_F(SocksInteropTest, RefusalsOfAnOpenProxyArriveAsTheirClasses) {
  const THeldPort closed;
  const int closedPort = closed.Port();
  EXPECT_EQ(RaisedText<ENetSocksServerConnectionRefusedError>([&] {
              FetchRaw({TSocksVersion::svSocks5, openProxyPort}, "127.0.0.1", closedPort, "/");
            }),
            "Connection refused.");
  EXPECT_EQ(RaisedText<ENetSocksRequestFailed>([&] {
              FetchRaw({TSocksVersion::svSocks4, openProxyPort}, "127.0.0.1", closedPort, "/");
            }),
            "Request rejected or failed.");
  // Outside the proxy's rules.
  EXPECT_EQ(RaisedText<ENetSocksServerPermissionError>([&] {
              FetchRaw({TSocksVersion::svSocks5, openProxyPort}, "192.0.2.1", 80, "/");
            }),
            "Connection not allowed by ruleset.");
  // A proxy without the username method does not accept an offer of it.
  TProxySetting withPassword{TSocksVersion::svSocks5, openProxyPort, TSocksAuthentication::saUsernamePassword, kUser,
                             kPassword};
  EXPECT_EQ(RaisedText<ENetSocksAuthMethodError>([&] { FetchRaw(withPassword, "127.0.0.1", httpPort, "/"); }),
            "Invalid socks authentication method.");
}

TEST_F(SocksInteropTest, PasswordProxyLetsOnlyTheRightLoginThrough) {
  if (passwordProxyPort == 0) GTEST_SKIP() << passwordSkipReason;
  TProxySetting right{TSocksVersion::svSocks5, passwordProxyPort, TSocksAuthentication::saUsernamePassword, kUser,
                      kPassword};
  ExpectPage(FetchRaw(right, "localhost", httpPort, "/page.html"));
  EXPECT_TRUE(FetchWithClient(right, "http://localhost:" + std::to_string(httpPort) + "/page.html") == page)
      << "the HTTP client";

  TProxySetting wrong = right;
  wrong.password = "not-the-password";
  EXPECT_EQ(RaisedText<ENetSocksAuthError>([&] { FetchRaw(wrong, "localhost", httpPort, "/page.html"); }),
            "Authentication error to socks server.");
  EXPECT_EQ(RaisedText<ENetSocksAuthMethodError>([&] {
              FetchRaw({TSocksVersion::svSocks5, passwordProxyPort}, "localhost", httpPort, "/page.html");
            }),
            "Invalid socks authentication method.");
  // SOCKS 4 has no password: the proxy turns it away.
  TProxySetting socks4{TSocksVersion::svSocks4, passwordProxyPort};
  socks4.username = kUser;
  EXPECT_EQ(RaisedText<ENetSocksRequestFailed>([&] { FetchRaw(socks4, "127.0.0.1", httpPort, "/page.html"); }),
            "Request rejected or failed.");
}

TEST_F(SocksInteropTest, HttpClientFetchesThroughAnOpenProxy) {
  const std::string url = "http://localhost:" + std::to_string(httpPort) + "/page.html";
  EXPECT_TRUE(FetchWithClient({TSocksVersion::svSocks4, openProxyPort}, url) == page) << "SOCKS 4";
  EXPECT_TRUE(FetchWithClient({TSocksVersion::svSocks5, openProxyPort}, url) == page) << "SOCKS 5";
  // The server answers a folder without its slash with a redirect and closes
  // (an HTTP/1.0 client keeps nothing not marked keep-alive): the redirected
  // request goes over a new connection, negotiated afresh.
  EXPECT_EQ(
      FetchWithClient({TSocksVersion::svSocks5, openProxyPort}, "http://127.0.0.1:" + std::to_string(httpPort) + "/sub",
                      true, TNetHTTPProtocolVersion::pv1_0),
      "<html><body>below</body></html>\n");
}
