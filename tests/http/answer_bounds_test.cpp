// What the client holds while a server sends far more than an answer may be:
// a head of endless lines, a body of 4 GiB in each framing. Every allocation
// of the program is counted here, so the peak the exchange reached above the
// idle figure is measured, not guessed; the same count works natively and
// under Wine.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <new>
#include <type_traits>

#include "http/exceptions.h"
#include "http/http.h"
#include "net/exceptions.h"
#include "tests/support/peer.h"

namespace {

std::atomic<int64_t> liveBytes{0};
std::atomic<int64_t> peakBytes{0};
// In front of each block: its size, in a header that keeps the alignment new gives.
constexpr size_t kHeader = 16;

void* CountedAlloc(size_t size) {
  void* block = std::malloc(size + kHeader);
  if (!block) throw std::bad_alloc();
  *static_cast<size_t*>(block) = size;
  const int64_t now = liveBytes.fetch_add(static_cast<int64_t>(size)) + static_cast<int64_t>(size);
  int64_t peak = peakBytes.load();
  while (now > peak && !peakBytes.compare_exchange_weak(peak, now)) {
  }
  return static_cast<char*>(block) + kHeader;
}

void CountedFree(void* pointer) {
  if (!pointer) return;
  char* block = static_cast<char*>(pointer) - kHeader;
  liveBytes.fetch_sub(static_cast<int64_t>(*reinterpret_cast<size_t*>(block)));
  std::free(block);
}

}  // namespace

void* operator new(size_t size) { return CountedAlloc(size); }
void* operator new[](size_t size) { return CountedAlloc(size); }
void operator delete(void* pointer) noexcept { CountedFree(pointer); }
void operator delete[](void* pointer) noexcept { CountedFree(pointer); }
void operator delete(void* pointer, size_t) noexcept { CountedFree(pointer); }
void operator delete[](void* pointer, size_t) noexcept { CountedFree(pointer); }
// The forms that do not throw too: a runtime that has its own (a sanitizer's)
// would otherwise hand out blocks ours then frees.
void* operator new(size_t size, const std::nothrow_t&) noexcept {
  try {
    return CountedAlloc(size);
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
}
void* operator new[](size_t size, const std::nothrow_t& tag) noexcept { return operator new(size, tag); }
void operator delete(void* pointer, const std::nothrow_t&) noexcept { CountedFree(pointer); }
void operator delete[](void* pointer, const std::nothrow_t&) noexcept { CountedFree(pointer); }

using namespace ts;
using namespace testpeer;

// The outbox keeps a note waiting after any transport failure and marks it
// refused after a reply error: these answers are never the service's word.
static_assert(!std::is_base_of_v<ENetProtocolReplyError, ENetAnswerTooLarge>);
static_assert(!std::is_base_of_v<ENetProtocolReplyError, ENetAnswerCut>);
static_assert(!std::is_base_of_v<ENetProtocolReplyError, ENetAnswerMalformed>);
static_assert(!std::is_base_of_v<ENetProtocolReplyError, ENetRedirectToOtherOrigin>);

namespace {

constexpr int64_t kFlood = int64_t{4} << 30;
constexpr int64_t kAllowance = 16 << 20;

// Reads the request, sends `head`, then `piece` again and again until 4 GiB
// have gone or the client has hung up; `sent` counts what went.
TScriptedPeer::TScript Flood(std::string head, const std::string& piece, std::atomic<int64_t>& sent) {
  return [head = std::move(head), &piece, &sent](TPeerConnection& c) {
    if (c.ReadRequest().empty()) return;
    c.Send(head);
    int64_t total = 0;
    while (total < kFlood) {
      const int n = SharedStack->NetSend(c.Handle(), piece.data(), static_cast<int>(piece.size()), 0);
      if (n <= 0) break;
      total += n;
    }
    sent = total;
  };
}

class AnswerBounds : public ::testing::Test {
protected:
  AnswerBounds() {
    http.ReadTimeout = 20000;
    // Made before the idle figure is taken, so the peer's own buffer is not counted.
    body.assign(1 << 20, 'x');
    chunk = "100000\r\n" + body + "\r\n";
    lines.clear();
    for (int i = 0; i < 4096; ++i) lines += "X-Line: " + std::to_string(i % 10) + "\r\n";
  }

  // The exchange's peak above the figure before it, and its failure's text.
  int64_t Peak(const std::function<void()>& exchange, std::string& error) {
    const int64_t idle = liveBytes.load();
    peakBytes = idle;
    try {
      exchange();
      error = "no error";
    } catch (const ENetAnswerTooLarge& e) {
      error = e.Message();
    } catch (const std::exception& e) {
      error = std::string("wrong class: ") + e.what();
    }
    return peakBytes.load() - idle;
  }

  TStackKeeper keeper;
  TNetHTTP http{nullptr};
  std::string body, chunk, lines;
};

}  // namespace

TEST_F(AnswerBounds, FourGigabytesInEveryFramingEndTheExchangeWithinSixteenMegabytes) {
  struct Case {
    const char* name;
    std::string head;
    const std::string& piece;
    const char* error;
  } cases[] = {
      {"counted", "HTTP/1.1 200 OK\r\nContent-Length: 4294967296\r\n\r\n", body,
       "The server's answer was too large (a body over 8388608 bytes)"},
      {"until close", "HTTP/1.0 200 OK\r\nContent-Type: text/plain\r\n\r\n", body,
       "The server's answer was too large (a body over 8388608 bytes)"},
      {"chunked", "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n", chunk,
       "The server's answer was too large (a body over 8388608 bytes)"},
      {"endless head", "HTTP/1.1 200 OK\r\n", lines, "The server's answer was too large (a head over 100 lines)"},
      {"one endless line", "HTTP/1.1 200 OK\r\nX-Long: ", body, "Max line length exceeded."},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::atomic<int64_t> sent{-1};
    std::string error;
    int64_t peak;
    {
      TScriptedPeer peer({Flood(c.head, c.piece, sent)});
      TMemoryStream received;
      peak = Peak([&] { http.GetToStream(peer.Base() + "/", received); }, error);
      EXPECT_FALSE(http.IsConnected());
      EXPECT_LE(received.Size(), int64_t{8} << 20);
    }
    // A single endless line meets the line limit first (a transport failure too).
    EXPECT_NE(error.find(c.error), std::string::npos) << error;
    EXPECT_LE(peak, kAllowance) << "peak above idle: " << peak;
    // The client hung up long before the peer was through.
    EXPECT_GE(sent.load(), 0);
    EXPECT_LT(sent.load(), int64_t{64} << 20);
  }
}

TEST_F(AnswerBounds, AnswersAtTheirBoundsArriveWhole) {
  const std::string whole(8 << 20, 'y');
  std::string head = "HTTP/1.1 200 OK\r\n";
  for (int i = 0; i < 98; ++i) head += "X-H: v\r\n";
  std::string chunked;
  for (int i = 0; i < 8; ++i) chunked += "100000\r\n" + whole.substr(0, 1 << 20) + "\r\n";
  TScriptedPeer peer({Answers({head + "Content-Length: 8388608\r\n\r\n" + whole,
                               "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n" + chunked + "0\r\n\r\n"}),
                      Answers({"HTTP/1.0 200 OK\r\n\r\n" + whole}, true)});
  for (const char* path : {"/counted", "/chunked", "/close"}) {
    SCOPED_TRACE(path);
    if (std::string(path) == "/close") http.Disconnect();
    TMemoryStream received;
    std::string error;
    const int64_t peak = Peak([&] { http.GetToStream(peer.Base() + path, received); }, error);
    EXPECT_EQ(error, "no error");
    EXPECT_EQ(received.Size(), 8 << 20);
    EXPECT_TRUE(received.DataString() == whole);
    // The body itself and nothing like a second copy of it.
    EXPECT_LE(peak, kAllowance) << "peak above idle: " << peak;
  }
}
