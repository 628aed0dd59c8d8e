// Servers that misbehave on purpose: cut or reset connections at every stage,
// never answer, send endless or countless lines, lie about lengths, redirect
// forever, flood cookies. Each exchange must end with its error or result,
// within its time and without holding on to what the peer sent too much of.
#include <gtest/gtest.h>

#include <chrono>

#include "http/cookies.h"
#include "http/exceptions.h"
#include "http/http.h"
#include "net/exceptions.h"
#include "tests/support/peer.h"

using namespace ts;
using namespace testpeer;

namespace {

class HostilePeer : public ::testing::Test {
protected:
  HostilePeer() {
    http.HandleRedirects = true;
    http.ReadTimeout = 5000;
  }

  // A connection that reads the request, sends `bytes` and then ends the way given.
  static TScriptedPeer::TScript SendThen(std::string bytes, bool reset) {
    return [bytes = std::move(bytes), reset](TPeerConnection& c) {
      if (c.ReadRequest().empty()) return;
      c.Send(bytes);
      if (reset)
        c.Reset();
      else
        c.Close();
    };
  }

  TStackKeeper keeper;
  TNetHTTP http{nullptr};
};

// Remembers the largest size it was asked to take: a length announced by the
// peer must not make the client reserve it all before the bytes come.
class TSizeWatch : public TMemoryStream {
public:
  void SetSize(int64_t size) override {
    largest = std::max(largest, size);
    TMemoryStream::SetSize(size);
  }
  int64_t largest = 0;
};

}  // namespace

TEST_F(HostilePeer, ResetAtEveryStageEndsWithAnError) {
  const std::string cuts[] = {
      "HTTP/1.1 20",                                                    // mid status line
      "HTTP/1.1 200 OK\r\nContent-Le",                                  // mid head
      "HTTP/1.1 200 OK\r\nContent-Length: 100\r\n\r\nonly part",        // mid counted body
      "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n10\r\nab",  // mid chunk
  };
  for (const std::string& cut : cuts) {
    SCOPED_TRACE(cut);
    TScriptedPeer peer({SendThen(cut, true)});
    TMemoryStream body;
    bool failed = false;
    try {
      http.GetToStream(peer.Base() + "/", body);
    } catch (const ENetException&) {
      failed = true;
    }
    // A reset may come before or after the bytes were read; either the
    // exchange failed, or it ended with at most what was sent.
    EXPECT_TRUE(failed || body.Size() <= 9);
    EXPECT_FALSE(http.IsConnected());
  }
}

TEST_F(HostilePeer, OrderlyCloseMidStatusLineOrChunk) {
  TScriptedPeer peer({SendThen("HTTP/1.1 20", false),
                      SendThen("HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n10\r\nab", false)});
  // Cut answers are failures of the transport, never a reply of the server's.
  EXPECT_THROW(http.GetText(peer.Base() + "/a"), ENetConnClosedGracefully);
  EXPECT_THROW(http.GetText(peer.Base() + "/b"), ENetAnswerCut);
}

TEST_F(HostilePeer, SilentServerEndsWithTheReadTimeOut) {
  TScriptedPeer peer([](TPeerConnection& c) {
    c.ReadRequest();
    c.WaitForClose(5000);
  });
  http.ReadTimeout = 300;
  auto start = std::chrono::steady_clock::now();
  EXPECT_THROW(http.GetText(peer.Base() + "/"), ENetReadTimeout);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(4));
  EXPECT_FALSE(http.IsConnected());
}

TEST_F(HostilePeer, EndlessHeaderLineHitsTheLineLimit) {
  TScriptedPeer peer([](TPeerConnection& c) {
    if (c.ReadRequest().empty()) return;
    c.Send("HTTP/1.1 200 OK\r\nX-Endless: ");
    // Far more than the limit, never a line end; the client gives up first.
    std::string chunk(64 * 1024, 'a');
    for (int i = 0; i < 64 && !c.ClientClosed(); ++i) c.Send(chunk);
    c.WaitForClose(5000);
  });
  EXPECT_THROW(http.GetText(peer.Base() + "/"), ENetReadLnMaxLineLengthExceeded);
  EXPECT_FALSE(http.IsConnected());
}

TEST_F(HostilePeer, HeadsUpToTheirBoundsAreReadAndTheBodyStillArrives) {
  // The status line and 99 header lines: the whole head the client reads.
  std::string head = "HTTP/1.1 200 OK\r\n";
  for (int i = 0; i < 98; ++i) head += "X-H" + IntToStr(i) + ": v\r\n";
  TScriptedPeer peer(
      {SendThen(head + "Content-Length: 2\r\n\r\nok", false),
       SendThen("HTTP/1.1 200 OK\r\nX-Big: " + std::string(16000, 'b') + "\r\nContent-Length: 2\r\n\r\nok", false)});
  EXPECT_EQ(http.GetText(peer.Base() + "/"), "ok");
  EXPECT_EQ(http.Response().RawHeaders().Count(), 99);
  EXPECT_EQ(http.GetText(peer.Base() + "/"), "ok");
}

TEST_F(HostilePeer, HugeContentLengthIsRefusedBeforeAByteOfTheBody) {
  TScriptedPeer peer({SendThen("HTTP/1.1 200 OK\r\nContent-Length: 2147483647\r\n\r\n0123456789", false),
                      SendThen("HTTP/1.1 200 OK\r\nContent-Length: 99999999999999999999999\r\n\r\n0123", false)});
  TSizeWatch body;
  EXPECT_THROW(http.GetToStream(peer.Base() + "/a", body), ENetAnswerTooLarge);
  EXPECT_EQ(body.largest, 0);
  EXPECT_FALSE(http.IsConnected());
  EXPECT_THROW(http.GetText(peer.Base() + "/b"), ENetAnswerTooLarge);
  EXPECT_FALSE(http.IsConnected());
}

TEST_F(HostilePeer, RedirectToItselfForeverEnds) {
  std::vector<TScriptedPeer::TScript> scripts;
  // Every pass on a connection of its own; more than the client may follow.
  for (int i = 0; i < 20; ++i)
    scripts.push_back(SendThen(Reply("302 Found", "", "Location: /loop\r\nConnection: close\r\n"), false));
  TScriptedPeer peer(scripts);
  TMemoryStream body;
  http.GetToStream(peer.Base() + "/loop", body);
  peer.Join();
  EXPECT_EQ(http.Response().StatusCode, 302);
  EXPECT_EQ(body.Size(), 0);
  EXPECT_EQ(peer.Connections(), http.RedirectMaximum);
}

TEST_F(HostilePeer, HundredThousandSetCookieLinesEndTheExchangeAndStoreNone) {
  std::string head = "HTTP/1.1 200 OK\r\n";
  for (int i = 0; i < 100000; ++i) head += "Set-cookie: c" + IntToStr(i) + "=v; path=/\r\n";
  TScriptedPeer peer({SendThen(head + "Content-Length: 2\r\n\r\nok", false)});
  TNetCookieManager jar(nullptr);
  http.SetCookieManager(&jar);
  EXPECT_THROW(http.GetText(peer.Base() + "/"), ENetAnswerTooLarge);
  // The head was refused before its cookies were handed over.
  EXPECT_EQ(jar.CookieCollection()->Count(), 0);
  http.SetCookieManager(nullptr);
}

TEST_F(HostilePeer, GiganticChunkSizeIsRefusedBeforeAByteOfIt) {
  TScriptedPeer peer({SendThen(
      "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n3\r\nabc\r\nFFFFFFFFFFFFFFFFFFFFFFFF\r\nabc", false)});
  TSizeWatch body;
  EXPECT_THROW(http.GetToStream(peer.Base() + "/", body), ENetAnswerTooLarge);
  EXPECT_EQ(body.DataString(), "abc");
  EXPECT_LE(body.largest, 1 << 20);
  EXPECT_FALSE(http.IsConnected());
}
