// The connection's byte buffers.
#include <gtest/gtest.h>

#include <string>

#include "net/buffer.h"
#include "net/exceptions.h"

using namespace ts;

namespace {
std::string Pattern(size_t n) {
  std::string s(n, '\0');
  for (size_t i = 0; i < n; ++i) s[i] = static_cast<char>('a' + i % 26);
  return s;
}
std::string Contents(TNetSimpleBuffer& b) {
  return std::string(reinterpret_cast<const char*>(b.Memory()), static_cast<size_t>(b.Size()));
}
}  // namespace

TEST(SimpleBuffer, DiscardRemovesFromTheFrontAndReportsTheCount) {
  TNetSimpleBuffer b;
  int64_t removed = 0;
  int reports = 0;
  b.BytesRemovedHandler = [&](TNetSimpleBuffer*, int64_t n) {
    removed += n;
    ++reports;
  };
  b.Append("hello world", 11);
  EXPECT_EQ(b.TakeText(6), "hello ");
  EXPECT_EQ(Contents(b), "world");
  EXPECT_THROW(b.Discard(6), ENetNotEnoughDataInBuffer);
  EXPECT_THROW(b.TakeText(6), ENetNotEnoughDataInBuffer);
  EXPECT_EQ(Contents(b), "world");
  b.Discard(5);
  EXPECT_EQ(b.Size(), 0);
  EXPECT_EQ(removed, 11);
  EXPECT_EQ(reports, 2);
  b.Append("xy", 2);
  b.Clear();  // emptied outright: not a removal
  EXPECT_EQ(reports, 2);
  try {
    b.Discard(1);
  } catch (const ENetNotEnoughDataInBuffer& e) {
    EXPECT_EQ(e.Message(), "Not enough data in buffer.");
  }
}

TEST(ManagedBuffer, ConsumesLazilyAndCompactsAtTheThreshold) {
  TNetManagedBuffer b;
  int64_t removed = 0;
  b.BytesRemovedHandler = [&](TNetSimpleBuffer*, int64_t n) { removed += n; };
  const std::string data = Pattern(50000);
  b.Append(data.data(), static_cast<int64_t>(data.size()));

  b.Discard(1000);
  EXPECT_EQ(b.ConsumedCount(), 1000);
  EXPECT_EQ(b.StoredCount(), 50000);  // nothing moved
  EXPECT_EQ(b.Size(), 49000);
  EXPECT_EQ(Contents(b), data.substr(1000));

  // Seeking and reading see only the unread bytes.
  b.SetPosition(0);
  char two[2];
  EXPECT_EQ(b.Read(two, 2), 2);
  EXPECT_EQ(std::string(two, 2), data.substr(1000, 2));

  b.Discard(31767);  // 32767 consumed: still below the threshold
  EXPECT_EQ(b.ConsumedCount(), 32767);
  EXPECT_EQ(b.StoredCount(), 50000);
  b.Discard(1);  // 32768: compacted once
  EXPECT_EQ(b.ConsumedCount(), 0);
  EXPECT_EQ(b.StoredCount(), 50000 - 32768);
  EXPECT_EQ(Contents(b), data.substr(32768));

  // Appending after consumption keeps the order.
  b.Discard(100);
  b.Append("END", 3);
  EXPECT_EQ(Contents(b), data.substr(32868) + "END");

  EXPECT_THROW(b.Discard(b.Size() + 1), ENetNotEnoughDataInBuffer);
  int64_t rest = b.Size();
  b.Discard(rest);  // taking everything empties it
  EXPECT_EQ(b.Size(), 0);
  EXPECT_EQ(b.ConsumedCount(), 0);
  EXPECT_EQ(removed, 50003);
}
