// Reading answers: status lines, heads, the body framings, the keep-alive
// rule and the errors an answer turns into.
#include <gtest/gtest.h>

#include "http/exceptions.h"
#include "http/http.h"
#include "platform/clock.h"
#include "tests/support/peer.h"

using namespace ts;
using namespace testpeer;

namespace {

class ResponseTest : public ::testing::Test {
protected:
  ResponseTest() {
    http.HandleRedirects = true;
    http.OnDisconnected = [this](TObject*) { ++disconnects; };
    http.ReadTimeout = 10000;
  }

  // The error an exchange ends with; fails the test when it ends normally.
  ENetHTTPProtocolException ProtocolError(const std::string& url) {
    try {
      http.GetText(url);
    } catch (const ENetHTTPProtocolException& e) {
      return e;
    }
    ADD_FAILURE() << "no protocol error for " << url;
    return ENetHTTPProtocolException(0, "", "");
  }

  TStackKeeper keeper;
  TNetHTTP http{nullptr};
  int disconnects = 0;
};

}  // namespace

TEST(StatusLine, CodeIsTheNumberAfterTheFirstBlank) {
  TNetHTTPResponse response(nullptr);
  struct {
    const char* line;
    int code;
  } cases[] = {
      {"HTTP/1.1 200 OK", 200},
      {"HTTP/1.0 404", 404},
      {"HTTP/1.1  302  Found", 302},
      {"HTTP/1.1", -1},
      {"HTTP/1.1 abc OK", -1},
      {"HTTP/1.1 2x0 OK", -1},
      {"", -1},
      {"HTTP/1.1 0x1F OK", -1},
      {"HTTP/1.1 -200 OK", -1},
      {"ICY 200 OK", 200},
  };
  for (const auto& c : cases) {
    response.SetStatusLine(c.line);
    EXPECT_EQ(response.StatusCode, c.code) << c.line;
    EXPECT_EQ(response.StatusLine(), c.line);
  }
}

TEST_F(ResponseTest, ChunkedBodies) {
  TScriptedPeer peer({Answers({
      "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n5\r\nhello\r\n0\r\n\r\n",
      // A chunk extension ends the size; upper-case digits; a trailer line.
      "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n5;x=1\r\nhello\r\nB ; y\r\n, world!!\r\n\r\n0\r\n"
      "X-Trailer: t\r\n\r\n",
      // Nothing after the trailer was left behind: this answer reads clean.
      Reply("200 OK", "after"),
  })});
  std::vector<std::string> statuses;
  http.OnStatus = [&](TObject*, TNetStatus status, const std::string& text) {
    if (status == TNetStatus::StatusMessage) statuses.push_back(text);
  };
  EXPECT_EQ(http.GetText(peer.Base() + "/1"), "hello");
  EXPECT_EQ(http.GetText("/2"), "hello, world!!\r\n");
  EXPECT_EQ(http.GetText("/3"), "after");
  EXPECT_EQ(statuses, (std::vector<std::string>{"Chunk Started", "Chunk Started"}));
  EXPECT_EQ(peer.Connections(), 1);
  http.Disconnect();
}

TEST_F(ResponseTest, ChunkedBodyCutShortIsAnError) {
  TScriptedPeer peer({Answers({"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n10\r\nonly part"}, true)});
  TMemoryStream body;
  EXPECT_THROW(http.GetToStream(peer.Base() + "/", body), ENetAnswerCut);
  EXPECT_EQ(body.DataString(), "only part");
  EXPECT_FALSE(http.IsConnected());
  EXPECT_EQ(disconnects, 1);
}

TEST_F(ResponseTest, BodyUntilCloseAndShortCountedBody) {
  TScriptedPeer peer({
      Answers({"HTTP/1.0 200 OK\r\nContent-Type: text/plain\r\n\r\nall of it\r\nuntil the end"}, true),
      Answers({"HTTP/1.1 200 OK\r\nContent-Length: 10\r\n\r\nabc"}, true),
  });
  EXPECT_EQ(http.GetText(peer.Base() + "/a"), "all of it\r\nuntil the end");
  EXPECT_FALSE(http.IsConnected());
  // Fewer bytes than announced: a cut answer, not the service's word.
  EXPECT_THROW(http.GetText("/b"), ENetAnswerCut);
  EXPECT_FALSE(http.IsConnected());
  EXPECT_EQ(disconnects, 2);
}

TEST_F(ResponseTest, AnswersWithoutBodyDoNotWaitForOne) {
  // Each answer leaves the connection open; reading a body here would wait
  // out the read time-out and fail.
  http.ReadTimeout = 3000;
  TScriptedPeer peer({Answers({
      "HTTP/1.1 204 No Content\r\n\r\n",
      "HTTP/1.1 100 Continue\r\n\r\nHTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok",
      "HTTP/1.1 304 Not Modified\r\nETag: x\r\n\r\n",
      "HTTP/1.1 200 OK\r\nContent-Length: 0\r\n\r\n",
      Reply("200 OK", "last"),
  })});
  TMemoryStream body;
  body.WriteString("prefix");
  http.GetToStream(peer.Base() + "/204", body);
  EXPECT_EQ(body.DataString(), "prefix");
  EXPECT_EQ(http.ResponseCode(), 204);
  EXPECT_EQ(http.GetText("/continue"), "ok");
  EXPECT_EQ(http.ResponseText(), "HTTP/1.1 200 OK");
  ENetHTTPProtocolException e = ProtocolError(peer.Base() + "/304");
  EXPECT_EQ(e.ReplyCode, 304);
  EXPECT_EQ(e.Message(), "HTTP/1.1 304 Not Modified");
  EXPECT_EQ(e.ErrorMessage, "");
  EXPECT_EQ(http.GetText("/empty"), "");
  EXPECT_EQ(http.GetText("/last"), "last");
  EXPECT_EQ(peer.Connections(), 1);
  EXPECT_EQ(disconnects, 0);
  http.Disconnect();
}

TEST_F(ResponseTest, ErrorStatusesCarryLineAndBody) {
  TScriptedPeer peer({Answers({
      Reply("404 Not Found", "<h1>no such page</h1>"),
      "HTTP/1.1 503 Busy\r\nTransfer-Encoding: chunked\r\n\r\n4\r\nlate\r\n0\r\n\r\n",
      Reply("101 Switching Protocols"),
  })});
  std::vector<int32_t> timeouts;
  http.OnWorkBegin = [&](TObject*, TWorkMode mode, int64_t) {
    if (mode == TWorkMode::WorkRead) timeouts.push_back(http.ReadTimeout);
  };
  ENetHTTPProtocolException e = ProtocolError(peer.Base() + "/missing");
  EXPECT_EQ(e.ReplyCode, 404);
  EXPECT_EQ(e.Message(), "HTTP/1.1 404 Not Found");
  EXPECT_EQ(e.ErrorMessage, "<h1>no such page</h1>");
  // The error body is read under its own short time-out; the client's comes back.
  EXPECT_EQ(timeouts, (std::vector<int32_t>{2000}));
  EXPECT_EQ(http.ReadTimeout, 10000);
  e = ProtocolError(peer.Base() + "/busy");
  EXPECT_EQ(e.ReplyCode, 503);
  EXPECT_EQ(e.ErrorMessage, "late");
  e = ProtocolError(peer.Base() + "/switch");
  EXPECT_EQ(e.ReplyCode, 101);
  EXPECT_EQ(peer.Connections(), 1);
  http.Disconnect();
}

TEST_F(ResponseTest, UnreadableStatusAndHeadCutByClose) {
  TScriptedPeer peer({
      Answers({"garbage\r\n\r\n"}, true),
      // The server closes in the middle of the head: a cut answer, whatever
      // its status says (a refusal cut short is no refusal to keep).
      Answers({"HTTP/1.1 200 OK\r\nContent-Length: 5\r\n"}, true),
      Answers({"HTTP/1.1 404 Not Found\r\nContent-Length: 5\r\n"}, true),
  });
  ENetHTTPProtocolException e = ProtocolError(peer.Base() + "/a");
  EXPECT_EQ(e.ReplyCode, -1);
  EXPECT_EQ(e.Message(), "garbage");
  EXPECT_THROW(http.GetText("/b"), ENetAnswerCut);
  EXPECT_FALSE(http.IsConnected());
  EXPECT_THROW(http.GetText("/c"), ENetAnswerCut);
  EXPECT_FALSE(http.IsConnected());
}

TEST_F(ResponseTest, ServerThatClosesBeforeAnswering) {
  TScriptedPeer peer([](TPeerConnection& c) {
    c.ReadRequest();
    c.Close();
  });
  EXPECT_THROW(http.GetText(peer.Base() + "/"), ENetConnClosedGracefully);
  EXPECT_FALSE(http.IsConnected());
  EXPECT_EQ(disconnects, 1);
}

TEST_F(ResponseTest, KeepAliveRuleFollowsTheClientsVersion) {
  struct Case {
    TNetHTTPProtocolVersion version;
    std::string headers;
    bool kept;
  } cases[] = {
      {TNetHTTPProtocolVersion::pv1_1, "", true},
      {TNetHTTPProtocolVersion::pv1_1, "Connection: Close \r\n", false},
      {TNetHTTPProtocolVersion::pv1_1, "Proxy-Connection: close\r\n", false},
      {TNetHTTPProtocolVersion::pv1_0, "", false},
      {TNetHTTPProtocolVersion::pv1_0, "Connection: Keep-Alive\r\n", true},
      {TNetHTTPProtocolVersion::pv1_0, "Proxy-Connection: keep-alive\r\n", true},
  };
  for (const Case& c : cases) {
    TScriptedPeer peer(
        {Answers({Reply("200 OK", "x", c.headers), Reply("200 OK", "y")}), Answers({Reply("200 OK", "y")})});
    http.ProtocolVersion = c.version;
    disconnects = 0;
    http.GetText(peer.Base() + "/1");
    EXPECT_EQ(http.IsConnected(), c.kept) << c.headers;
    EXPECT_EQ(disconnects, c.kept ? 0 : 1);
    http.GetText("/2");
    http.Disconnect();
    peer.Join();
    EXPECT_EQ(peer.Connections(), c.kept ? 1 : 2) << c.headers;
    // Under HTTP/1.0 the client asks for the connection to be kept.
    EXPECT_EQ(peer.Requests()[0].find("Connection: keep-alive") != std::string::npos,
              c.version == TNetHTTPProtocolVersion::pv1_0);
    http.Request().Connection.clear();
  }
}

TEST_F(ResponseTest, AnHttp10ServerKeepsTheConnectionOnlyWhenItSaysSo) {
  // The server stays open after its answer, as one whose close is still on its way.
  for (bool keepAlive : {false, true}) {
    const std::string first = std::string("HTTP/1.0 200 OK\r\n") + (keepAlive ? "Connection: keep-alive\r\n" : "") +
                              "Content-Length: 1\r\n\r\nx";
    TScriptedPeer peer({Answers({first, Reply("200 OK", "y")}), Answers({Reply("200 OK", "y")})});
    http.ProtocolVersion = TNetHTTPProtocolVersion::pv1_1;
    disconnects = 0;
    EXPECT_EQ(http.GetText(peer.Base() + "/1"), "x");
    EXPECT_EQ(http.IsConnected(), keepAlive);
    EXPECT_EQ(http.GetText("/2"), "y");
    http.Disconnect();
    peer.Join();
    EXPECT_EQ(peer.Connections(), keepAlive ? 1 : 2);
  }
}

TEST_F(ResponseTest, ServerVersionIsReadFromTheStatusLine) {
  TScriptedPeer peer({Answers({"HTTP/1.0 200 OK\r\nConnection: keep-alive\r\nContent-Length: 0\r\n\r\n",
                               Reply("200 OK"), "HTTP/2.0 200 OK\r\nContent-Length: 0\r\n\r\n"})});
  http.GetText(peer.Base() + "/");
  http.Response().KeepConnection();
  EXPECT_EQ(http.Response().ServerVersion, TNetHTTPProtocolVersion::pv1_0);
  http.GetText("/");
  http.Response().KeepConnection();
  EXPECT_EQ(http.Response().ServerVersion, TNetHTTPProtocolVersion::pv1_1);
  http.GetText("/");
  http.Response().KeepConnection();
  EXPECT_EQ(http.Response().ServerVersion, TNetHTTPProtocolVersion::pv1_1);  // unknown: unchanged
  http.Disconnect();
}

TEST_F(ResponseTest, PeerCloseBetweenExchangesIsNoticedBeforeTheNextRequest) {
  std::atomic<bool> closed{false};
  TScriptedPeer peer({
      [&](TPeerConnection& c) {
        c.ReadRequest();
        c.Send(Reply("200 OK", "first"));
        c.Close();
        closed = true;
      },
      Answers({Reply("200 OK", "second")}),
  });
  EXPECT_EQ(http.GetText(peer.Base() + "/"), "first");
  // Once the close has been sent the next request must not go to it.
  for (int i = 0; i < 500 && !closed; ++i) platform::Sleep(10);
  EXPECT_EQ(http.GetText("/"), "second");
  EXPECT_EQ(disconnects, 1);
  http.Disconnect();
}

TEST_F(ResponseTest, RedirectBodyThatCannotBeReadEndsItsConnection) {
  // The rest of a body that could not be read would be taken for the next
  // answer: the redirect is followed on a new connection instead.
  http.MaxLineLength = 100;
  TScriptedPeer peer({
      Answers({"HTTP/1.1 302 Found\r\nLocation: /next\r\nTransfer-Encoding: chunked\r\n\r\n" + std::string(200, '1') +
               "\r\nxx\r\n0\r\n\r\n"}),
      Answers({Reply("200 OK", "next")}),
  });
  EXPECT_EQ(http.GetText(peer.Base() + "/a"), "next");
  http.Disconnect();
  peer.Join();
  EXPECT_EQ(peer.RequestConnections(), (std::vector<int>{0, 1}));
}

TEST_F(ResponseTest, ConnectionResetWhileKeptIsReplaced) {
  std::atomic<bool> reset{false};
  TScriptedPeer peer({
      [&](TPeerConnection& c) {
        c.ReadRequest();
        c.Send(Reply("200 OK", "first"));
        platform::Sleep(100);
        c.Reset();
        reset = true;
      },
      Answers({Reply("200 OK", "second")}),
  });
  EXPECT_EQ(http.GetText(peer.Base() + "/"), "first");
  for (int i = 0; i < 500 && !reset; ++i) platform::Sleep(10);
  platform::Sleep(50);
  EXPECT_EQ(http.GetText("/"), "second");
  http.Disconnect();
}

TEST_F(ResponseTest, KeptConnectionClosedAsTheRequestLeavesIsReplacedOnce) {
  // The server gives up its idle connection just as the next request comes:
  // the request goes again on a new connection. A fresh connection that
  // closes unanswered is an error, as is one that closed mid-answer.
  TScriptedPeer peer({
      [](TPeerConnection& c) {
        c.ReadRequest();
        c.Send(Reply("200 OK", "first"));
        c.ReadRequest();
        c.Close();
      },
      Answers({Reply("200 OK", "second"), "HTTP/1.1 20"}, true),
      [](TPeerConnection& c) {
        c.ReadRequest();
        c.Close();
      },
  });
  EXPECT_EQ(http.GetText(peer.Base() + "/a"), "first");
  EXPECT_EQ(http.GetText("/b"), "second");
  EXPECT_THROW(http.GetText("/c"), ENetConnClosedGracefully);
  EXPECT_THROW(http.GetText("/d"), ENetConnClosedGracefully);
  peer.Join();
  std::vector<std::string> requests = peer.Requests();
  ASSERT_EQ(requests.size(), 5u);
  EXPECT_EQ(requests[1].substr(0, 6), "GET /b");
  EXPECT_EQ(requests[2].substr(0, 6), "GET /b");
  EXPECT_EQ(peer.RequestConnections(), (std::vector<int>{0, 0, 1, 1, 2}));
}
