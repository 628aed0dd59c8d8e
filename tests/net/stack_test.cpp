// The socket stack: address parsing, error texts, host resolution, readiness
// waits, handle sets, and the lazily bound entries of the socket library.
#include <gtest/gtest.h>

#include <cstring>

#include "net/stack.h"
#include "runtime/codepage.h"
#include "tests/support/peer.h"

using namespace ts;
using namespace testpeer;

namespace {

struct TParsed {
  bool ok;
  TIPOctets octets;
  TIPForm form;
  TIPClass ipClass;
};

TParsed Parse(const std::string& text) {
  TParsed p{};
  p.ok = TNetStack::ParseIPAddress(text, p.octets, p.form, p.ipClass);
  return p;
}

}  // namespace

TEST(ParseIPAddress, EveryShapeGivesItsOctetsFormAndClass) {
  struct {
    const char* text;
    TIPOctets octets;
    TIPForm form;
    TIPClass ipClass;
  } cases[] = {
      {"10.1", {10, 0, 0, 1}, TIPForm::IPFormDotted, TIPClass::IPClassA},
      {"10.65539", {10, 1, 0, 3}, TIPForm::IPFormDotted, TIPClass::IPClassA},
      {"172.16.5", {172, 16, 0, 5}, TIPForm::IPFormDotted, TIPClass::IPClassB},
      {"172.16.258", {172, 16, 1, 2}, TIPForm::IPFormDotted, TIPClass::IPClassB},
      {"3232235777", {192, 168, 1, 1}, TIPForm::IPFormNumeric, TIPClass::IPClassUnknown},
      {"4294967295", {255, 255, 255, 255}, TIPForm::IPFormNumeric, TIPClass::IPClassUnknown},
      {"127.0.0.1", {127, 0, 0, 1}, TIPForm::IPFormDotted, TIPClass::IPClassA},
      {"128.1.2.3", {128, 1, 2, 3}, TIPForm::IPFormDotted, TIPClass::IPClassB},
      {"191.255.0.0", {191, 255, 0, 0}, TIPForm::IPFormDotted, TIPClass::IPClassB},
      {"192.168.1.1", {192, 168, 1, 1}, TIPForm::IPFormDotted, TIPClass::IPClassC},
      {"224.0.0.1", {224, 0, 0, 1}, TIPForm::IPFormDotted, TIPClass::IPClassD},
      {"240.0.0.1", {240, 0, 0, 1}, TIPForm::IPFormDotted, TIPClass::IPClassE},
  };
  for (const auto& c : cases) {
    TParsed p = Parse(c.text);
    EXPECT_TRUE(p.ok) << c.text;
    EXPECT_EQ(p.octets, c.octets) << c.text;
    EXPECT_EQ(p.form, c.form) << c.text;
    EXPECT_EQ(p.ipClass, c.ipClass) << c.text;
  }
}

TEST(ParseIPAddress, RejectsTextThatIsNoAddress) {
  for (const char* text : {"", "1.2.3.4.5", "256.1.1.1", "1.2.3.-1", "1.2.3.256", "4294967296", "10.16777216",
                           "1.2.65536", "a.b.c.d", "host.example", "1..3.4", "1.2..4", "-1", "1.2.3.4x"}) {
    TParsed p = Parse(text);
    EXPECT_FALSE(p.ok) << text;
    EXPECT_EQ(p.form, TIPForm::IPFormInvalid) << text;
  }
}

class StackTest : public ::testing::Test {
protected:
  TStackKeeper keeper;
  TNetStack& stack = *SharedStack;
};

TEST_F(StackTest, AddressTextAndBytesConvertBothWays) {
  TIPOctets bytes;
  stack.TextToAddress("192.0.2.33", bytes);
  EXPECT_EQ(bytes, (TIPOctets{192, 0, 2, 33}));
  EXPECT_EQ(stack.AddressToText(bytes), "192.0.2.33");
  uint32_t in = stack.TextToInAddr("1.2.3.4");
  const auto* b = reinterpret_cast<const uint8_t*>(&in);
  EXPECT_EQ(b[0], 1);
  EXPECT_EQ(b[3], 4);
  EXPECT_EQ(stack.NetNetToHostLong(in), 0x01020304u);

  try {
    stack.TextToAddress("1.2.3.999", bytes);
    FAIL() << "no exception";
  } catch (const ENetInvalidIPAddress& e) {
    EXPECT_EQ(e.Message(), "1.2.3.999 is not a valid IP address.");
  }
}

TEST_F(StackTest, ErrorTextsCarryNumberAndTableText) {
  EXPECT_EQ(stack.NetErrorText(10061), "Socket Error # 10061\r\nConnection refused.");
  EXPECT_EQ(stack.NetErrorText(10035), "Socket Error # 10035\r\nOperation would block. ");
  EXPECT_EQ(stack.NetErrorText(10066), "Socket Error # 10066\r\nDirectory not empty");
  EXPECT_EQ(stack.NetErrorText(11001), "Socket Error # 11001\r\nHost not found.");
  EXPECT_EQ(stack.NetErrorText(10091), "Socket Error # 10091\r\n");
  try {
    stack.RaiseSocketFailure(10054);
    FAIL() << "no exception";
  } catch (const ENetSocketError& e) {
    EXPECT_EQ(e.ErrorCode, 10054);
    EXPECT_EQ(e.Message(), "Socket Error # 10054\r\nConnection reset by peer.");
  }
}

TEST_F(StackTest, CheckSocketResultIgnoresListedErrorsAndRaisesOthers) {
  EXPECT_FALSE(stack.CheckSocketResult(0));
  EXPECT_FALSE(stack.CheckSocketResult(5, {10038}));
  // Closing something that is no socket fails with "not a socket".
  int result = stack.NetCloseSocket(NetInvalidSocket);
  EXPECT_EQ(result, NetSocketError);
  EXPECT_TRUE(stack.CheckSocketResult(result, {10009, 10038}));
  EXPECT_EQ(stack.LastSocketError, 10038);

  stack.LastSocketError = 0;
  try {
    stack.CheckSocketResult(stack.NetCloseSocket(NetInvalidSocket), {10053});
    FAIL() << "no exception";
  } catch (const ENetSocketError& e) {
    EXPECT_EQ(e.ErrorCode, 10038);
    EXPECT_EQ(e.Message(), "Socket Error # 10038\r\nSocket operation on non-socket.");
  }
  EXPECT_EQ(stack.LastSocketError, 10038);
}

TEST_F(StackTest, ResolveHostAddress) {
  for (const char* name : {"localhost", "LocalHost", "LOCALHOST"})
    EXPECT_EQ(stack.ResolveHostAddress(name), "127.0.0.1");
  // Address texts stay as typed.
  EXPECT_EQ(stack.ResolveHostAddress("10.1"), "10.1");
  EXPECT_EQ(stack.ResolveHostAddress("127.0.0.1"), "127.0.0.1");
  // A name whose label is too long for any lookup cannot exist (and asks no server).
  std::string bad = std::string(64, 'a') + ".invalid";
  try {
    stack.ResolveHostAddress(bad);
    FAIL() << "no exception";
  } catch (const ENetSocketError& e) {
    EXPECT_EQ(e.ErrorCode, 11001);
    EXPECT_EQ(e.Message(), "Socket Error # 11001\r\nHost not found.");
  }
}

TEST_F(StackTest, ServiceNamesAndNumbers) {
  EXPECT_EQ(stack.NetServiceByName("8660"), 8660);
  try {
    stack.NetServiceByName("no-such-service-here");
    FAIL() << "no exception";
  } catch (const ENetInvalidServiceName& e) {
    EXPECT_EQ(e.Message(), "no-such-service-here is not a valid service.");
  }
  std::unique_ptr<TStringList> names(stack.NetServiceNamesByPort(1));
  ASSERT_NE(names, nullptr);
}

TEST_F(StackTest, NetSelectReportsReadyHandlesAndRefillsLists) {
  int port;
  TNetSocket listener = Listen(5, port);
  TNetSocketVector idle{listener};
  EXPECT_EQ(stack.NetSelect(&idle, nullptr, 0, nullptr), 0);
  EXPECT_TRUE(idle.empty());

  TNetSocket client = stack.NewSocket(SOCK_STREAM_, 0);
  ASSERT_FALSE(stack.CheckSocketResult(stack.NetConnect(client, AF_INET_, "127.0.0.1", port)));
  TNetSocketVector ready{listener};
  TNetSocketVector writable{client};
  EXPECT_EQ(stack.NetSelect(&ready, &writable, 2000, nullptr), 2);
  EXPECT_EQ(ready, TNetSocketVector{listener});
  EXPECT_EQ(writable, TNetSocketVector{client});

  std::string ip;
  int peerPort;
  TNetSocket accepted = stack.NetAccept(listener, ip, peerPort);
  ASSERT_NE(accepted, NetInvalidSocket);
  EXPECT_EQ(ip, "127.0.0.1");
  int family, localPort;
  std::string localIP;
  stack.NetSockName(client, family, localIP, localPort);
  EXPECT_EQ(peerPort, localPort);
  EXPECT_EQ(family, AF_INET_);

  stack.NetCloseSocket(accepted);
  stack.NetCloseSocket(client);
  stack.NetCloseSocket(listener);
}

namespace {
TTimeVal capturedTime;
bool capturedLimit;
int TS_WINAPI CaptureSelect(int, TFDSet*, TFDSet*, TFDSet*, const TTimeVal* time) {
  capturedLimit = time != nullptr;
  if (time) capturedTime = *time;
  return 0;
}
}  // namespace

TEST_F(StackTest, NetSelectSplitsTheTimeOutAndRefusesOversizedSets) {
  // Route the select entry to a recorder for a moment.
  void* saved = winsock::select.address.load();
  winsock::select.address.store(reinterpret_cast<void*>(&CaptureSelect));
  TNetSocketVector list{1};
  stack.NetSelect(&list, nullptr, 2500, nullptr);
  bool limitedAt2500 = capturedLimit;
  TTimeVal at2500 = capturedTime;
  stack.NetSelect(&list, nullptr, -2, nullptr);
  bool limitedUnbounded = capturedLimit;

  capturedLimit = false;
  TNetSocketVector tooMany(65, 1);
  bool raised = false;
  try {
    stack.NetSelect(&tooMany, nullptr, 0, nullptr);
  } catch (const ENetStackSetSizeExceeded& e) {
    raised = e.Message() == "Set Size Exceeded.";
  }
  bool selectCalled = capturedLimit;
  winsock::select.address.store(saved);

  EXPECT_TRUE(limitedAt2500);
  EXPECT_EQ(at2500.tv_sec, 2);
  EXPECT_EQ(at2500.tv_usec, 500000);
  EXPECT_FALSE(limitedUnbounded);
  EXPECT_TRUE(raised);
  EXPECT_FALSE(selectCalled);
}

TEST(SocketList, HoldsSixtyFourHandlesAndMovesTheLastIntoAGap) {
  TNetSocketListWindows list;
  for (TNetSocket h = 1; h <= 64; ++h) list.Add(h);
  EXPECT_EQ(list.Count(), 64);
  EXPECT_THROW(list.Add(65), ENetStackSetSizeExceeded);
  EXPECT_THROW(list.Items(64), ENetStackSetSizeExceeded);
  EXPECT_THROW(list.Items(-1), ENetStackSetSizeExceeded);
  list.Remove(3);
  EXPECT_EQ(list.Count(), 63);
  EXPECT_EQ(list.Items(2), 64u);
  EXPECT_EQ(list.Items(3), 4u);
  list.Remove(99);
  EXPECT_EQ(list.Count(), 63);
}

TEST_F(StackTest, EntriesBindByNameOnFirstCall) {
  const winsock::TWinsockEntry& entry = winsock::WinsockEntryTable[27];
  ASSERT_STREQ(entry.name, "getservbyport");
  EXPECT_STREQ(winsock::WinsockEntryTable[0].name, "WSACleanup");
  EXPECT_STREQ(winsock::WinsockEntryTable[98].name, "WSASocketA");
  EXPECT_STREQ(winsock::WinsockEntryTable[111].name, "WSARecvEx");

  entry.variable->store(entry.stub);
  std::unique_ptr<TStringList> names(stack.NetServiceNamesByPort(7));
  void* bound = entry.variable->load();
  EXPECT_NE(bound, entry.stub);
  EXPECT_EQ(bound, platform::GetSocketProc(winsock::WinsockLibraryHandle(), "getservbyport"));
}

TEST_F(StackTest, AnEntryTheLibraryLacksRaisesInsteadOfCallingNothing) {
  // Only meaningful where the library really lacks the export.
  if (platform::GetSocketProc(winsock::WinsockLibraryHandle(), "WSARecvEx")) GTEST_SKIP();
  try {
    int flags = 0;
    char buffer[4];
    winsock::WSARecvEx(NetInvalidSocket, buffer, 4, &flags);
    FAIL() << "no exception";
  } catch (const ENetWS2StubError& e) {
    EXPECT_EQ(e.Title, "Error on call Winsock2 library function WSARecvEx");
    EXPECT_EQ(e.SystemError, 10093u);
    EXPECT_EQ(e.Message(), e.Title + ": " + e.SystemErrorText);
  }
}

TEST_F(StackTest, CallsBeforeTheLibraryIsLoadedRaiseAndLoadingAgainWorks) {
  winsock::UnloadWinsock();
  EXPECT_EQ(winsock::WinsockLibraryHandle(), nullptr);
  std::string title;
  uint32_t code = 0;
  try {
    stack.NewSocket(SOCK_STREAM_, 0);
  } catch (const ENetWS2StubError& e) {
    title = e.Title;
    code = e.SystemError;
  }
  TWSAData data;
  std::memset(&data, 0, sizeof data);
  EXPECT_EQ(winsock::StartWinsock(0x0202, &data), 0);
  EXPECT_EQ(data.wVersion, 0x0202);
  // Loaded: a second start does nothing.
  EXPECT_EQ(winsock::StartWinsock(0x0202, &data), 0);
  EXPECT_EQ(title, "Error on call Winsock2 library function socket");
  EXPECT_EQ(code, 10093u);
  TNetSocket s = stack.NewSocket(SOCK_STREAM_, 0);
  EXPECT_NE(s, NetInvalidSocket);
  stack.NetCloseSocket(s);
}

TEST(WS2StubError, MessageIsTheTitleWithTheSystemTextWhenThereIsANumber) {
  ENetWS2StubError plain("Error on loading Winsock2 library (WS2_32.DLL)", 0);
  EXPECT_EQ(plain.Message(), "Error on loading Winsock2 library (WS2_32.DLL)");
  ENetWS2StubError withCode("Error on loading Winsock2 library (WS2_32.DLL)", 126);
  EXPECT_FALSE(withCode.SystemErrorText.empty());
  // The system's text is in the system code page; the message is shown by the
  // Unicode message box, so it carries that text as UTF-8.
  EXPECT_EQ(withCode.Message(),
            "Error on loading Winsock2 library (WS2_32.DLL): " + SystemToUtf8(withCode.SystemErrorText));
}

TEST(SocketLibrary, OnlyTheRegisteredNameLoads) {
  EXPECT_EQ(platform::LoadSocketLibrary("NO_SUCH_SOCKET_LIBRARY_HERE.DLL"), nullptr);
  EXPECT_NE(platform::LastSystemError(), 0u);
  void* lib = platform::LoadSocketLibrary("ws2_32.dll");
  ASSERT_NE(lib, nullptr);
  EXPECT_NE(platform::GetSocketProc(lib, "WSAStartup"), nullptr);
  EXPECT_EQ(platform::GetSocketProc(lib, "NoSuchExportAnywhere"), nullptr);
  platform::FreeSocketLibrary(lib);
}
