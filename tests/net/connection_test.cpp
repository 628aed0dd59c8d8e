// The buffered TCP connection against scripted loopback peers: lines, counts,
// streams, time-outs, peer closes and resets, disconnects, write buffering,
// intercepts and the reply exchange.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "net/tcpconnection.h"
#include "tests/support/peer.h"

using namespace ts;
using namespace testpeer;

namespace {

std::string Pattern(size_t n) {
  std::string s(n, '\0');
  for (size_t i = 0; i < n; ++i) s[i] = static_cast<char>('A' + i % 23);
  return s;
}

}  // namespace

class ConnectionTest : public ::testing::Test {
protected:
  TStackKeeper keeper;
  std::unique_ptr<TScriptedPeer> peer;
  std::unique_ptr<TNetTCPClient> client;
  std::vector<std::string> log;  // statuses and events in the order they came
  // What the peer received; members, so a peer still running after a failed
  // check never writes into a finished test body.
  std::string got, first, second, third, command;

  void Start(TScriptedPeer::TScript script) {
    peer = std::make_unique<TScriptedPeer>(std::vector<TScriptedPeer::TScript>{std::move(script)});
    client = std::make_unique<TNetTCPClient>(nullptr);
    client->SetHost("127.0.0.1");
    client->SetPort(peer->Port());
    client->OnStatus = [this](TObject*, TNetStatus, const std::string& text) { log.push_back(text); };
    client->OnDisconnected = [this](TObject*) { log.push_back("OnDisconnected"); };
    client->Connect();
    log.clear();
  }
  void TearDown() override {
    client.reset();
    peer.reset();
  }
  int Count(const std::string& entry) const { return static_cast<int>(std::count(log.begin(), log.end(), entry)); }
};

TEST_F(ConnectionTest, LinesEndAtTheTerminatorWithAnOptionalCR) {
  Start([](TPeerConnection& s) {
    s.Send("abc\r\nabc\n\r\nlast\r\n");
    s.Send("one\ntwo\r\n");
    s.ReceiveFor(3000);
  });
  EXPECT_EQ(client->ReadLine(), "abc");
  EXPECT_EQ(client->ReadLine(), "abc");
  EXPECT_EQ(client->ReadLine(), "");
  EXPECT_EQ(client->ReadLine("\r\n"), "last");
  // With CR LF asked for explicitly, a lone LF does not end the line.
  EXPECT_EQ(client->ReadLine("\r\n"), "one\ntwo");
  EXPECT_FALSE(client->LineWasSplit());
  EXPECT_FALSE(client->LineTimedOut());
}

TEST_F(ConnectionTest, TerminatorSplitAcrossTwoReceivesIsFound) {
  Start([](TPeerConnection& s) {
    s.Send("first\r");
    SleepMs(200);
    s.Send("\nsecond\r");
    SleepMs(200);
    s.Send("\n");
    s.ReceiveFor(3000);
  });
  EXPECT_EQ(client->ReadLine("\r\n"), "first");
  EXPECT_EQ(client->ReadLine("\r\n"), "second");
}

TEST_F(ConnectionTest, LineLongerThanTheLimitRaisesAsSoonAsItIsBuffered) {
  Start([](TPeerConnection& s) {
    s.Send(Pattern(16385));
    s.ReceiveFor(3000);  // no terminator ever comes
  });
  try {
    client->ReadLine();
    FAIL() << "no exception";
  } catch (const ENetReadLnMaxLineLengthExceeded& e) {
    EXPECT_EQ(e.Message(), "Max line length exceeded.");
  }
  // Nothing was taken.
  EXPECT_EQ(client->InputBuffer().Size(), 16385);
}

TEST_F(ConnectionTest, SplitModeReturnsTheLimitAndKeepsTheRest) {
  Start([](TPeerConnection& s) {
    s.Send(Pattern(16390) + "\nnext\n");
    s.ReceiveFor(3000);
  });
  client->MaxLineAction = TNetMaxLineAction::maSplit;
  const std::string line = Pattern(16390);
  EXPECT_EQ(client->ReadLine(), line.substr(0, 16384));
  EXPECT_TRUE(client->LineWasSplit());
  EXPECT_EQ(client->ReadLine(), line.substr(16384));
  EXPECT_FALSE(client->LineWasSplit());
  EXPECT_EQ(client->ReadLine(), "next");
}

TEST_F(ConnectionTest, LineOfExactlyTheLimitAndNoLimitAtAll) {
  const std::string exact = Pattern(16384);
  const std::string huge = Pattern(100000);
  Start([=, this](TPeerConnection& s) {
    s.Send(exact + "\n" + huge + "\n" + exact + "x\n");
    s.ReceiveFor(3000);
  });
  EXPECT_EQ(client->ReadLine(), exact);
  client->MaxLineLength = 0;
  EXPECT_EQ(client->ReadLine(), huge);
  // One byte over the limit, terminator already there.
  client->MaxLineLength = 16384;
  EXPECT_THROW(client->ReadLine(), ENetReadLnMaxLineLengthExceeded);
}

TEST_F(ConnectionTest, ReadTimeoutRaisesButAnExplicitTimeoutReturnsEmpty) {
  Start([](TPeerConnection& s) { s.ReceiveFor(5000); });  // silent
  client->ReadTimeout = 300;
  try {
    client->ReadLine();
    FAIL() << "no exception";
  } catch (const ENetReadTimeout& e) {
    EXPECT_EQ(e.Message(), "Read Timeout");
  }
  EXPECT_EQ(client->ReadLine("\n", 300), "");
  EXPECT_TRUE(client->LineTimedOut());
  EXPECT_TRUE(client->IsConnected());
}

TEST_F(ConnectionTest, PeerCloseMidLineFiresOnDisconnectedOnceBeforeTheException) {
  Start([](TPeerConnection& s) {
    s.Send("partial");
    SleepMs(100);
    s.Close();
  });
  int firedBeforeException = -1;
  try {
    client->ReadLine();
    FAIL() << "no exception";
  } catch (const ENetConnClosedGracefully& e) {
    firedBeforeException = Count("OnDisconnected");
    EXPECT_EQ(e.Message(), "Connection Closed Gracefully.");
  }
  EXPECT_EQ(firedBeforeException, 1);
  // The peer's close reports the status before the event.
  std::vector<std::string> expected = {"Disconnected.", "OnDisconnected"};
  EXPECT_EQ(log, expected);
  EXPECT_FALSE(client->IsConnected());
  // A disconnect after the peer's close fires nothing more.
  client->Disconnect();
  EXPECT_EQ(log, expected);
  // The unterminated bytes are still there for whoever wants them.
  EXPECT_EQ(client->TakeInputBuffer(), "partial");
}

TEST_F(ConnectionTest, BufferedLinesStayReadableAfterThePeerCloses) {
  Start([](TPeerConnection& s) {
    s.Send("a\nb\n");
    s.Close();
  });
  SleepMs(200);
  EXPECT_EQ(client->ReadLine(), "a");
  EXPECT_EQ(client->ReadLine(), "b");
  EXPECT_THROW(client->ReadLine(), ENetConnClosedGracefully);
  EXPECT_EQ(Count("OnDisconnected"), 1);
  EXPECT_THROW(client->ReadLine(), ENetConnClosedGracefully);
  EXPECT_EQ(Count("OnDisconnected"), 1);
}

TEST_F(ConnectionTest, DisconnectTwiceFiresOnce) {
  Start([](TPeerConnection& s) { s.ReceiveFor(3000); });
  client->Disconnect();
  client->Disconnect();
  std::vector<std::string> expected = {"Disconnecting.", "OnDisconnected", "Disconnected."};
  EXPECT_EQ(log, expected);
  EXPECT_FALSE(client->IsConnected());
  EXPECT_THROW(client->WriteText("x"), ENetNotConnected);
  try {
    client->ReadLine();
    FAIL() << "no exception";
  } catch (const ENetNotConnected& e) {
    EXPECT_EQ(e.Message(), "Not Connected");
  }
}

TEST_F(ConnectionTest, ReadBytesAndInt32WaitForTheWholeCount) {
  Start([](TPeerConnection& s) {
    s.Send(std::string("\x00\x00\x01\x02", 4) + "he");
    SleepMs(100);
    s.Send("llo");
    s.ReceiveFor(3000);
  });
  EXPECT_EQ(client->ReadInt32(), 258);
  char bytes[5];
  client->ReadBytes(bytes, 5);
  EXPECT_EQ(std::string(bytes, 5), "hello");
}

TEST_F(ConnectionTest, ReadToStreamCutShortKeepsTheBytesAndRaises) {
  const std::string sixty = Pattern(60);
  Start([=, this](TPeerConnection& s) {
    s.Send(sixty);
    SleepMs(100);
    s.Close();
  });
  TMemoryStream stream;
  stream.WriteString("XY");
  EXPECT_THROW(client->ReadToStream(stream, 100), ENetConnClosedGracefully);
  EXPECT_EQ(stream.DataString(), "XY" + sixty);
  EXPECT_EQ(stream.Size(), 62);  // the presize was undone
  EXPECT_EQ(Count("OnDisconnected"), 1);
}

TEST_F(ConnectionTest, ReadToStreamUntilCloseEndsQuietly) {
  const std::string sixty = Pattern(60);
  Start([=, this](TPeerConnection& s) {
    s.Send(sixty);
    SleepMs(100);
    s.Close();
  });
  TMemoryStream stream;
  client->ReadToStream(stream, -1, true);
  EXPECT_EQ(stream.DataString(), sixty);
}

TEST_F(ConnectionTest, ReadToStreamAfterTheCloseWasSeenStillReportsTheShortfall) {
  Start([](TPeerConnection& s) {
    s.Send("head\nbody");
    SleepMs(100);
    s.Close();
  });
  SleepMs(300);
  // Reading the head line after the close makes the connection notice it.
  EXPECT_EQ(client->ReadLine(), "head");
  EXPECT_EQ(client->ProbeDisconnect(false), 0);
  EXPECT_FALSE(client->IsConnected());
  TMemoryStream stream;
  EXPECT_THROW(client->ReadToStream(stream, 10), ENetConnClosedGracefully);
  EXPECT_EQ(stream.DataString(), "body");
}

TEST_F(ConnectionTest, ReadToStreamWithALengthPrefixAndProgressTotals) {
  const std::string body = Pattern(100000);
  Start([=, this](TPeerConnection& s) {
    s.Send(std::string("\x00\x01\x86\xA0", 4));  // 100000
    for (size_t at = 0; at < body.size(); at += 7000) {
      s.Send(body.substr(at, 7000));
      SleepMs(1);
    }
    s.ReceiveFor(3000);
  });
  std::vector<int64_t> totals;
  int64_t maximum = -1;
  int ends = 0;
  client->OnWorkBegin = [&](TObject*, TWorkMode mode, int64_t max) {
    if (mode == TWorkMode::WorkRead) maximum = max;
  };
  client->OnWork = [&](TObject*, TWorkMode mode, int64_t count) {
    if (mode == TWorkMode::WorkRead) totals.push_back(count);
  };
  client->OnWorkEnd = [&](TObject*, TWorkMode) { ++ends; };
  TMemoryStream stream;
  client->ReadToStream(stream);
  EXPECT_EQ(stream.DataString(), body);
  EXPECT_EQ(maximum, 100000);
  EXPECT_EQ(ends, 1);
  ASSERT_FALSE(totals.empty());
  EXPECT_EQ(totals.back(), 100000);
  for (size_t i = 1; i < totals.size(); ++i) EXPECT_GT(totals[i], totals[i - 1]);
}

// A counted stream read with nothing buffered receives straight into its
// chunk; with an intercept it goes through the input buffer. Both must deliver
// every byte (all 256 values), take nothing of what follows the count, and
// report progress per chunk of RecvBufferSize after what was buffered.
TEST_F(ConnectionTest, StreamReadsKeepEveryByteAndReportEachChunk) {
  std::string body(150001, '\0');
  for (size_t i = 0; i < body.size(); ++i) body[i] = static_cast<char>((i * 7 + i / 251) & 0xFF);
  for (bool intercepted : {false, true}) {
    SCOPED_TRACE(intercepted ? "through an intercept" : "direct");
    Start([=, this](TPeerConnection& s) {
      s.Send("head\n" + body.substr(0, 5000));
      SleepMs(20);
      for (size_t at = 5000; at < body.size(); at += 7919) {
        s.Send(body.substr(at, 7919));
        if (at % 3 == 0) SleepMs(1);
      }
      s.Send("next\n");
      s.ReceiveFor(3000);
    });
    TNetConnectionIntercept intercept(nullptr);  // passes the bytes on unchanged
    if (intercepted) client->SetIntercept(&intercept);
    client->RecvBufferSize = 1000;
    std::vector<int64_t> totals;
    int begins = 0, ends = 0;
    client->OnWorkBegin = [&](TObject*, TWorkMode, int64_t max) {
      ++begins;
      EXPECT_EQ(max, static_cast<int64_t>(body.size()));
    };
    client->OnWork = [&](TObject*, TWorkMode mode, int64_t count) {
      if (mode == TWorkMode::WorkRead) totals.push_back(count);
    };
    client->OnWorkEnd = [&](TObject*, TWorkMode) { ++ends; };
    EXPECT_EQ(client->ReadLine(), "head");
    SleepMs(50);  // let some of the body pile up in the input buffer
    TMemoryStream stream;
    stream.WriteString("XY");
    client->ReadToStream(stream, static_cast<int64_t>(body.size()));
    EXPECT_EQ(stream.DataString(), "XY" + body);
    EXPECT_EQ(stream.Size(), stream.Position());
    EXPECT_EQ(begins, 1);
    EXPECT_EQ(ends, 1);
    ASSERT_GE(totals.size(), 2u);
    EXPECT_EQ(totals.back(), static_cast<int64_t>(body.size()));
    for (size_t i = 1; i + 1 < totals.size(); ++i) EXPECT_EQ(totals[i] - totals[i - 1], 1000) << i;
    EXPECT_EQ(client->ReadLine(), "next");
    client->SetIntercept(nullptr);
    client->Disconnect();
  }
}

// A stream read that the peer leaves hanging: the read time-out raises as for
// any read, and the bytes that did arrive stay in the stream.
TEST_F(ConnectionTest, StreamReadTimesOutKeepingWhatArrived) {
  const std::string part = Pattern(40000);
  Start([=, this](TPeerConnection& s) {
    s.Send(part);
    s.ReceiveFor(5000);
  });
  ASSERT_TRUE(client->IOHandler()->WaitReadable(5000));  // the bytes are there before the clock matters
  client->ReadTimeout = 500;
  int64_t reported = 0;
  client->OnWork = [&](TObject*, TWorkMode, int64_t count) { reported = count; };
  TMemoryStream stream;
  EXPECT_THROW(client->ReadToStream(stream, 100000), ENetReadTimeout);
  EXPECT_EQ(stream.DataString(), part);
  EXPECT_EQ(reported, 32768);  // the chunk the time-out cut short is not reported
  EXPECT_TRUE(client->IsConnected());
  EXPECT_EQ(client->InputBuffer().Size(), 0);
}

TEST_F(ConnectionTest, OneReceiveTakesAtMostTheReceiveBufferSize) {
  Start([](TPeerConnection& s) {
    s.Send(Pattern(1000));
    s.ReceiveFor(3000);
  });
  SleepMs(200);
  client->RecvBufferSize = 100;
  EXPECT_EQ(client->FillInputBuffer(), 100);
  EXPECT_EQ(client->InputBuffer().Size(), 100);
}

TEST_F(ConnectionTest, ReadAllCollectsEverythingUntilTheClose) {
  const std::string text = Pattern(70000);
  Start([=, this](TPeerConnection& s) {
    s.Send(text);
    s.Close();
  });
  EXPECT_EQ(client->ReadAll(), text);
  EXPECT_EQ(Count("OnDisconnected"), 1);
}

TEST_F(ConnectionTest, FlushOfPartOfTheWriteBufferSendsJustThatPart) {
  // The peer listens in three windows; the client flushes in the middle of the
  // second and finishes in the third.
  Start([=, this](TPeerConnection& s) {
    first = s.ReceiveFor(600);
    second = s.ReceiveFor(1200);
    third = s.Receive(15, 3000);
  });
  client->StartWriteBuffering(-1);
  const std::string bytes = Pattern(25);
  client->WriteText(bytes);
  EXPECT_EQ(client->WriteBuffer()->Size(), 25);
  SleepMs(1200);
  client->FlushWriteBuffering(10);
  EXPECT_EQ(client->WriteBuffer()->Size(), 15);
  SleepMs(1200);
  client->FinishWriteBuffering();
  EXPECT_EQ(client->WriteBuffer(), nullptr);
  peer->Join();
  EXPECT_EQ(first, "");
  EXPECT_EQ(second, bytes.substr(0, 10));
  EXPECT_EQ(third, bytes.substr(10));
}

TEST_F(ConnectionTest, WriteBufferFlushesAtItsThresholdAndDiscardDropsIt) {
  Start([=, this](TPeerConnection& s) { got = s.ReceiveFor(1500); });
  client->StartWriteBuffering(10);
  client->WriteText("0123456");
  EXPECT_EQ(client->WriteBuffer()->Size(), 7);
  client->WriteText("789abcdefghijklmnopq");  // 27 collected: the first 10 leave
  EXPECT_EQ(client->WriteBuffer()->Size(), 17);
  client->DiscardWriteBuffering();
  client->FinishWriteBuffering();
  peer->Join();
  EXPECT_EQ(got, "0123456789");
}

TEST_F(ConnectionTest, BufferedHeadLeavesInOneSend) {
  Start([=, this](TPeerConnection& s) { got = s.ReceiveUntil("\r\n\r\n"); });
  TNetConnectionIntercept intercept(nullptr);
  std::vector<std::string> sends;
  intercept.OnSend = [&](TObject*, TStream& stream) {
    std::string bytes(static_cast<size_t>(stream.Size()), '\0');
    stream.Read(bytes.data(), stream.Size());
    sends.push_back(bytes);
  };
  client->SetIntercept(&intercept);
  client->StartWriteBuffering(-1);
  client->WriteLine("GET / HTTP/1.1");
  client->WriteLine("Host: 127.0.0.1");
  client->WriteLine("");
  client->FinishWriteBuffering();
  peer->Join();
  const std::string head = "GET / HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";
  EXPECT_EQ(sends, std::vector<std::string>{head});
  EXPECT_EQ(got, head);
  client->SetIntercept(nullptr);
}

TEST_F(ConnectionTest, InterceptChainFiltersBothWaysInOrder) {
  Start([=, this](TPeerConnection& s) {
    got = s.Receive(5);
    s.Send("hello\n");
    s.ReceiveFor(2000);
  });
  std::vector<std::string> order;
  TNetConnectionIntercept outer(nullptr), inner(nullptr);
  outer.SetIntercept(&inner);
  auto upper = [](TStream& stream) {
    auto& buffer = dynamic_cast<TNetSimpleBuffer&>(stream);
    for (int64_t i = 0; i < buffer.Size(); ++i) buffer.Memory()[i] = static_cast<uint8_t>(toupper(buffer.Memory()[i]));
  };
  auto appendBang = [](TStream& stream) {
    stream.Seek(0, TSeekOrigin::soEnd);
    stream.Write("!", 1);
  };
  outer.OnSend = [&](TObject*, TStream& s) {
    order.push_back("outer send");
    upper(s);
  };
  inner.OnSend = [&](TObject*, TStream& s) {
    order.push_back("inner send");
    appendBang(s);
  };
  outer.OnReceive = [&](TObject*, TStream& s) {
    order.push_back("outer receive");
    appendBang(s);
  };
  inner.OnReceive = [&](TObject*, TStream& s) {
    order.push_back("inner receive");
    upper(s);
  };
  outer.OnDisconnect = [&](TObject*) { order.push_back("outer disconnect"); };
  inner.OnDisconnect = [&](TObject*) { order.push_back("inner disconnect"); };
  client->SetIntercept(&outer);
  client->WriteText("abcd");
  EXPECT_EQ(client->ReadLine("!"), "HELLO\n");
  client->Disconnect();
  peer->Join();
  EXPECT_EQ(got, "ABCD!");
  std::vector<std::string> expected = {"outer send",    "inner send",       "inner receive",
                                       "outer receive", "inner disconnect", "outer disconnect"};
  EXPECT_EQ(order, expected);
  EXPECT_EQ(outer.Connection(), nullptr);
}

TEST_F(ConnectionTest, ASCIIFilterMasksTheHighBit) {
  Start([](TPeerConnection& s) {
    s.Send("\xC1\xE2\x63\n");
    SleepMs(100);
    s.Send("\xD8\xF9\x7A");
    s.ReceiveFor(2000);
  });
  client->ASCIIFilter = true;
  EXPECT_EQ(client->ReadLine(), "Abc");
  TMemoryStream stream;  // a stream read receives past the input buffer: still masked
  client->ReadToStream(stream, 3);
  EXPECT_EQ(stream.DataString(), "Xyz");
}

TEST_F(ConnectionTest, SendToAResetPeerRaisesDropsTheSocketAndReportsTheLossOnce) {
  Start([](TPeerConnection& s) {
    SleepMs(200);  // after the client has finished connecting
    s.Reset();
  });
  peer->Join();
  SleepMs(100);
  const std::string block = Pattern(65536);
  bool raised = false;
  int code = 0;
  for (int i = 0; i < 50 && !raised; ++i) {
    try {
      client->WriteText(block);
    } catch (const ENetSocketError& e) {
      raised = true;
      code = e.ErrorCode;
    } catch (const ENetConnClosedGracefully&) {
      raised = true;
      code = -1;
    }
  }
  ASSERT_TRUE(raised);
  EXPECT_TRUE(code == 10053 || code == 10054 || code == 10058) << code;
  EXPECT_FALSE(client->IsConnected());
  // The owner learns of the loss once, and a later Disconnect has nothing left to report.
  EXPECT_EQ(Count("OnDisconnected"), 1);
  EXPECT_EQ(Count("Disconnected."), 1);
  client->Disconnect();
  EXPECT_EQ(Count("OnDisconnected"), 1);
}

TEST_F(ConnectionTest, ResetDuringAReadRaisesTheResetError) {
  if (!AbortiveCloseWorks()) GTEST_SKIP() << "a zero-linger close is graceful on this system";
  Start([](TPeerConnection& s) {
    s.Send("no end");
    SleepMs(300);
    s.Reset();  // with bytes it never read, so the close is abortive everywhere
  });
  client->WriteText("never read");
  try {
    client->ReadLine();
    FAIL() << "no exception";
  } catch (const ENetSocketError& e) {
    EXPECT_EQ(e.ErrorCode, 10054);
    EXPECT_EQ(e.Message(), "Socket Error # 10054\r\nConnection reset by peer.");
  }
}

TEST_F(ConnectionTest, StreamsAndFilesGoOutWhole) {
  const std::string body = Pattern(80000);
  const std::string file = "net_test_file.bin";
  {
    std::ofstream out(file, std::ios::binary);
    out << "file contents";
  }
  Start([=, this](TPeerConnection& s) { got = s.Receive(4 + 80000 + 5 + 13 + 13); });
  TMemoryStream stream;
  stream.WriteString(body);
  client->WriteFromStream(stream, true, true);
  stream.SetPosition(2);
  client->WriteFromStream(stream, false, false, 5);
  EXPECT_EQ(client->WriteFileContents(file), 13);
  // Asking for the system's whole-file send delivers the same bytes, whether or
  // not the library offers one.
  EXPECT_EQ(client->WriteFileContents(file, true), 13);
  peer->Join();
  std::remove(file.c_str());
  EXPECT_EQ(got, std::string("\x00\x01\x38\x80", 4) + body + body.substr(2, 5) + "file contents" + "file contents");
  try {
    client->WriteFileContents("no_such_file.bin");
    FAIL() << "no exception";
  } catch (const ENetFileNotFound& e) {
    EXPECT_EQ(e.Message(), "File \"no_such_file.bin\" not found");
  }
}

TEST_F(ConnectionTest, WriteFromAStreamThatRunsDryRaises) {
  Start([](TPeerConnection& s) { s.ReceiveFor(1000); });
  TMemoryStream stream;
  stream.WriteString("short");
  try {
    client->WriteFromStream(stream, true, false, 10);
    FAIL() << "no exception";
  } catch (const ENetNoDataToRead& e) {
    EXPECT_EQ(e.Message(), "No data to read.");
  }
}

TEST_F(ConnectionTest, ReplyExchangeReadsMultiLineRepliesAndChecksTheCode) {
  Start([=, this](TPeerConnection& s) {
    command = s.ReceiveUntil("\r\n");
    s.Send("250-first line\r\n250-second\r\n250 last\r\n");
    s.ReceiveUntil("\r\n");
    s.Send("\r\n550-No such thing\r\n  here\r\n550 really\r\n");
    s.ReceiveFor(2000);
  });
  EXPECT_EQ(client->SendCommand("HELO there", {250, 251}), 250);
  EXPECT_EQ(command, "HELO there\r\n");
  EXPECT_EQ(client->LastReply().TextCode, "250");
  std::vector<std::string> lines;
  for (int i = 0; i < client->LastReply().Text.Count(); ++i) lines.push_back(client->LastReply().Text[i]);
  EXPECT_EQ(lines, (std::vector<std::string>{"first line", "second", "last"}));
  try {
    client->SendCommand("FIND it", {250});
    FAIL() << "no exception";
  } catch (const ENetProtocolReplyError& e) {
    EXPECT_EQ(e.ReplyCode, 550);
    EXPECT_EQ(e.Message(), "No such thing\r\nhere\r\nreally");
  }
}

TEST_F(ConnectionTest, ConnectEmptiesTheInputOfAnEarlierConnection) {
  Start([](TPeerConnection& s) {
    s.Send("left over");
    s.Close();
  });
  EXPECT_THROW(client->ReadLine(), ENetConnClosedGracefully);
  EXPECT_EQ(client->InputBuffer().Size(), 9);
  TScriptedPeer next([](TPeerConnection& s) {
    s.Send("fresh\n");
    s.ReceiveFor(2000);
  });
  client->SetPort(next.Port());
  client->Connect();
  EXPECT_EQ(client->ReadLine(), "fresh");
  client->Disconnect();
}

namespace {
class TCountingAntiFreeze : public TNetAntiFreezeBase {
public:
  using TNetAntiFreezeBase::TNetAntiFreezeBase;
  void ProcessMessages() override { ++calls; }
  int calls = 0;
};
}  // namespace

TEST_F(ConnectionTest, AnAntiFreezeCutsAnUnlimitedWaitIntoIdleSlices) {
  Start([](TPeerConnection& s) {
    SleepMs(400);
    s.Send("late\n");
    s.ReceiveFor(2000);
  });
  TCountingAntiFreeze antiFreeze(nullptr);
  antiFreeze.IdleTimeOut = 50;
  EXPECT_EQ(client->ReadLine(), "late");
  EXPECT_GE(antiFreeze.calls, 3);
}

TEST_F(ConnectionTest, AnAntiFreezeCutsALimitedWaitIntoIdleSlicesThatAddUpToTheLimit) {
  Start([](TPeerConnection& s) {
    SleepMs(400);
    s.Send("late\n");
    s.ReceiveFor(3000);
  });
  TCountingAntiFreeze antiFreeze(nullptr);
  antiFreeze.IdleTimeOut = 50;
  client->ReadTimeout = 2000;
  EXPECT_EQ(client->ReadLine(), "late");
  EXPECT_GE(antiFreeze.calls, 3) << "messages got through while the answer was awaited";
  // Nothing more comes: the limit still ends the wait, in slices.
  antiFreeze.calls = 0;
  client->ReadTimeout = 300;
  EXPECT_THROW(client->ReadLine(), ENetReadTimeout);
  EXPECT_GE(antiFreeze.calls, 4);
}

TEST_F(ConnectionTest, ConnectAndReadAllTakesTheWholeAnswer) {
  Start([](TPeerConnection& s) { s.ReceiveFor(2000); });
  client->Disconnect();
  log.clear();
  TScriptedPeer answering([](TPeerConnection& s) {
    s.Send("the whole\nanswer");
    s.Close();
  });
  int connected = 0;
  client->OnConnected = [&](TObject*) { ++connected; };
  client->SetPort(answering.Port());
  EXPECT_EQ(client->ConnectAndReadAll(), "the whole\nanswer");
  EXPECT_EQ(connected, 1);
  EXPECT_EQ(Count("OnDisconnected"), 1);
  EXPECT_EQ(client->IOHandler(), nullptr);
  client->OnConnected = nullptr;
}

TEST_F(ConnectionTest, AHandlerFreedElsewhereIsForgotten) {
  Start([](TPeerConnection& s) { s.ReceiveFor(2000); });
  client->Disconnect();
  TComponent owner(nullptr);
  auto* handler = new TNetIOHandlerSocket(&owner);
  client->SetIOHandler(handler);
  EXPECT_EQ(client->SocketHandler(), handler);
  EXPECT_FALSE(client->OwnsIOHandler());
  delete handler;
  EXPECT_EQ(client->IOHandler(), nullptr);
  EXPECT_EQ(client->SocketHandler(), nullptr);
  EXPECT_FALSE(client->IsConnected());
}
