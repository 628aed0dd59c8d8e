// Socket handles, the socket I/O handler and connecting (directly and on the
// connect thread), against loopback listeners.
#include <gtest/gtest.h>

#include <memory>
#include <random>
#include <string>
#include <vector>

#include "net/iohandler.h"
#include "net/tcpconnection.h"
#include "tests/support/peer.h"

using namespace ts;
using namespace testpeer;

class HandleTest : public ::testing::Test {
protected:
  TStackKeeper keeper;

  // Three consecutive ports, each held by a bound socket on 127.0.0.1.
  std::vector<TNetSocket> HoldThreePorts(int& first) {
    std::mt19937 random(static_cast<unsigned>(platform::GetTickCount()));
    for (int attempt = 0; attempt < 50; ++attempt) {
      first = 20000 + static_cast<int>(random() % 30000);
      std::vector<TNetSocket> held;
      for (int p = first; p < first + 3; ++p) {
        TNetSocket s = SharedStack->NewSocket(SOCK_STREAM_, 0);
        if (SharedStack->NetBind(s, AF_INET_, "127.0.0.1", p) == NetSocketError) {
          SharedStack->NetCloseSocket(s);
          break;
        }
        held.push_back(s);
      }
      if (held.size() == 3) return held;
      for (TNetSocket s : held) SharedStack->NetCloseSocket(s);
    }
    return {};
  }
};

TEST_F(HandleTest, PortRangeIsTriedFromTheTopAndFullRangeFails) {
  int first;
  std::vector<TNetSocket> held = HoldThreePorts(first);
  ASSERT_EQ(held.size(), 3u);

  TNetSocketHandle handle;
  handle.OpenSocket(SOCK_STREAM_, 0);
  handle.IP = "127.0.0.1";
  handle.ClientPortMin = first;
  handle.ClientPortMax = first + 2;
  try {
    handle.BindLocal();
    FAIL() << "no exception";
  } catch (const ENetCanNotBindPortInRange& e) {
    EXPECT_EQ(e.Message(),
              "Can not bind in port range (" + std::to_string(first) + " - " + std::to_string(first + 2) + ")");
  }
  // The ports were tried from high to low, so the low end was tried last.
  EXPECT_EQ(handle.Port, first);

  // Free the middle port: the top is still taken, so the middle one is bound.
  SharedStack->NetCloseSocket(held[1]);
  handle.OpenSocket(SOCK_STREAM_, 0);
  handle.Port = 0;
  handle.BindLocal();
  EXPECT_EQ(handle.Port, first + 1);
  EXPECT_EQ(handle.IP, "127.0.0.1");

  // A fixed port in use.
  TNetSocketHandle fixed;
  fixed.OpenSocket(SOCK_STREAM_, 0);
  fixed.IP = "127.0.0.1";
  fixed.Port = first + 2;
  try {
    fixed.BindLocal();
    FAIL() << "no exception";
  } catch (const ENetCouldNotBindSocket& e) {
    EXPECT_EQ(e.Message(), "Could not bind socket. Address and port are already in use.");
  }
  SharedStack->NetCloseSocket(held[0]);
  SharedStack->NetCloseSocket(held[2]);

  TNetSocketHandle upsideDown;
  upsideDown.OpenSocket(SOCK_STREAM_, 0);
  upsideDown.ClientPortMin = 5002;
  upsideDown.ClientPortMax = 5000;
  try {
    upsideDown.BindLocal();
    FAIL() << "no exception";
  } catch (const ENetInvalidPortRange& e) {
    EXPECT_EQ(e.Message(), "Invalid Port Range (5002 - 5000)");
  }
}

TEST_F(HandleTest, AnyAddressBindGetsASystemPort) {
  TNetSocketHandle handle;
  handle.OpenSocket(SOCK_STREAM_, 0);
  EXPECT_TRUE(handle.HasSocket());
  handle.BindLocal();
  EXPECT_GT(handle.Port, 0);
  EXPECT_EQ(handle.IP, "0.0.0.0");
  handle.ShutAndClose();
  EXPECT_FALSE(handle.HasSocket());
  handle.ShutAndClose();  // nothing to close twice
  handle.ResetState(true);
  EXPECT_EQ(handle.SocketId(), NetInvalidSocket);
  EXPECT_EQ(handle.Port, 0);
}

TEST_F(HandleTest, ClosedHandlerRefusesTransfers) {
  TNetIOHandlerSocket handler(nullptr);
  char byte = 0;
  try {
    handler.Receive(&byte, 1);
    FAIL() << "no exception";
  } catch (const ENetClosedSocket& e) {
    EXPECT_EQ(e.Message(), "Disconnected.");
  }
  EXPECT_THROW(handler.Transmit(&byte, 1), ENetClosedSocket);
  handler.Open();
  EXPECT_FALSE(handler.IsOpen());  // open, but no socket yet
  try {
    handler.WaitReadable(0);
    FAIL() << "no exception";
  } catch (const ENetConnClosedGracefully& e) {
    EXPECT_EQ(e.Message(), "Connection Closed Gracefully.");
  }
}

TEST_F(HandleTest, SocksInfoIsCreatedOnFirstReadAndOwnedOnesArePointedAt) {
  TNetIOHandlerSocket handler(nullptr);
  TNetSocksInfo* own = handler.SocksInfo();
  ASSERT_NE(own, nullptr);
  EXPECT_EQ(handler.SocksInfo(), own);
  EXPECT_EQ(own->Port, 1080);
  EXPECT_EQ(own->Version, TSocksVersion::svNoSocks);
  EXPECT_EQ(own->Authentication, TSocksAuthentication::saNoAuthentication);

  TNetSocksInfo loose(nullptr);
  loose.Host = "proxy";
  loose.Port = 9050;
  handler.SetSocksInfo(&loose);  // no owner: copied
  EXPECT_EQ(handler.SocksInfo(), own);
  EXPECT_EQ(own->Host, "proxy");
  EXPECT_EQ(own->Port, 9050);

  TComponent owner(nullptr);
  auto* shared = new TNetSocksInfo(&owner);
  handler.SetSocksInfo(shared);
  EXPECT_EQ(handler.SocksInfo(), shared);
  delete shared;  // freed elsewhere: forgotten, and a new one appears on read
  TNetSocksInfo* fresh = handler.SocksInfo();
  EXPECT_NE(fresh, nullptr);
  EXPECT_EQ(fresh->Port, 1080);
}

class ConnectTest : public HandleTest {
protected:
  std::vector<std::string> statuses;
  TNetStatusEvent Recorder() {
    return [this](TObject*, TNetStatus, const std::string& text) { statuses.push_back(text); };
  }
};

TEST_F(ConnectTest, DirectConnectReportsStatusesAndFillsBothEnds) {
  TScriptedPeer peer([](TPeerConnection& s) { s.ReceiveFor(2000); });
  TNetTCPClient client(nullptr);
  client.OnStatus = Recorder();
  client.SetHost("127.0.0.1");
  client.SetPort(peer.Port());
  client.Connect(0);
  std::vector<std::string> literal = {"Connecting to 127.0.0.1.", "Connected."};
  EXPECT_EQ(statuses, literal);
  TNetSocketHandle* binding = client.SocketHandler()->Binding();
  EXPECT_EQ(binding->RemoteIP, "127.0.0.1");
  EXPECT_EQ(binding->RemotePort, peer.Port());
  EXPECT_EQ(binding->IP, "127.0.0.1");
  EXPECT_GT(binding->Port, 0);
  EXPECT_TRUE(client.OwnsIOHandler());
  try {
    client.Connect(0);
    FAIL() << "no exception";
  } catch (const ENetAlreadyConnected& e) {
    EXPECT_EQ(e.Message(), "Already connected.");
  }
  client.Disconnect();
  EXPECT_EQ(client.IOHandler(), nullptr);

  // A host name is resolved first, and reported.
  TScriptedPeer named([](TPeerConnection& s) { s.ReceiveFor(2000); });
  statuses.clear();
  client.SetHost("localhost");
  client.SetPort(named.Port());
  client.Connect(-1);
  std::vector<std::string> resolved = {"Resolving hostname localhost.", "Connecting to 127.0.0.1.", "Connected."};
  EXPECT_EQ(statuses, resolved);
  client.Disconnect();
}

TEST_F(ConnectTest, RefusedConnectionRaisesTheSocketError) {
  TRefusingPort refusing;
  for (int timeout : {0, 3000}) {  // directly, and on the connect thread
    TNetTCPClient client(nullptr);
    client.SetHost("127.0.0.1");
    client.SetPort(refusing.port);
    try {
      client.Connect(timeout);
      FAIL() << "no exception with time-out " << timeout;
    } catch (const ENetSocketError& e) {
      EXPECT_EQ(e.ErrorCode, 10061) << timeout;
      EXPECT_EQ(e.Message(), "Socket Error # 10061\r\nConnection refused.") << timeout;
    }
    EXPECT_FALSE(client.IsConnected());
    // The owned handler stays after a failed connect.
    EXPECT_NE(client.IOHandler(), nullptr);
  }
}

TEST_F(ConnectTest, ThreadedConnectSucceedsAndUnlimitedWaitNeverTimesOut) {
  for (int timeout : {1000, -2}) {
    TScriptedPeer peer([](TPeerConnection& s) { s.Send("hi\n"); });
    TNetTCPClient client(nullptr);
    client.SetHost("127.0.0.1");
    client.SetPort(peer.Port());
    client.Connect(timeout);
    EXPECT_TRUE(client.IsConnected());
    EXPECT_EQ(client.ReadLine(), "hi");
    client.Disconnect();
  }
}

TEST_F(ConnectTest, HandshakeThatNeverCompletesTimesOut) {
  // A listener whose accept queue is full leaves further handshakes pending.
  int port;
  TNetSocket listener = Listen(0, port);
  std::vector<std::unique_ptr<TNetTCPClient>> clients;
  bool timedOut = false;
  std::string message;
  for (int i = 0; i < 8 && !timedOut; ++i) {
    auto client = std::make_unique<TNetTCPClient>(nullptr);
    client->SetHost("127.0.0.1");
    client->SetPort(port);
    try {
      client->Connect(300);
    } catch (const ENetConnectTimeout& e) {
      timedOut = true;
      message = e.Message();
      EXPECT_FALSE(client->IsConnected());
    }
    clients.push_back(std::move(client));
  }
  EXPECT_TRUE(timedOut);
  EXPECT_EQ(message, "Connect timed out.");
  clients.clear();
  SharedStack->NetCloseSocket(listener);
}

TEST_F(ConnectTest, NagleSwitchSetsNoDelayOnNewConnections) {
  TScriptedPeer peer([](TPeerConnection& s) { s.ReceiveFor(2000); });
  TNetTCPClient client(nullptr);
  auto* handler = new TNetIOHandlerSocket(&client);
  handler->SetUseNagle(false);
  client.SetIOHandler(handler);
  client.SetHost("127.0.0.1");
  client.SetPort(peer.Port());
  client.Connect();
  // The option reads back as a boolean of one or four bytes.
  int32_t value = 0;
  int length = sizeof value;
  SharedStack->NetGetSockOpt(handler->Binding()->SocketId(), IPPROTO_TCP_, TCP_NODELAY_, &value, &length);
  EXPECT_NE(value & 0xFF, 0);
  // Switching back applies at once on the open connection.
  handler->SetUseNagle(true);
  value = 0x7F7F7F7F;
  length = sizeof value;
  SharedStack->NetGetSockOpt(handler->Binding()->SocketId(), IPPROTO_TCP_, TCP_NODELAY_, &value, &length);
  EXPECT_EQ(value & 0xFF, 0);
  client.Disconnect();
  // Not owned by the connection: still there after the disconnect.
  EXPECT_EQ(client.IOHandler(), handler);
}

TEST_F(ConnectTest, ProxyVersionWithoutNegotiationIsRefusedClearly) {
  TScriptedPeer proxy([](TPeerConnection& s) { s.ReceiveFor(1000); });
  TNetTCPClient client(nullptr);
  auto* handler = new TNetIOHandlerSocket(&client);
  handler->SocksInfo()->Version = TSocksVersion::svSocks5;
  handler->SocksInfo()->Host = "127.0.0.1";
  handler->SocksInfo()->Port = proxy.Port();
  client.SetIOHandler(handler);
  client.SetHost("example.invalid");
  client.SetPort(80);
  EXPECT_THROW(client.Connect(), ENetSocksError);
  EXPECT_TRUE(proxy.Accepted() || (proxy.Join(), proxy.Accepted()));
  EXPECT_FALSE(client.IsConnected());
}
