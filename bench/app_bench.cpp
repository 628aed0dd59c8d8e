// Client-side cost of one snap with the service answered in memory: the
// clipboard checks, the note document, the form encoding of its body and the
// balloon excerpt, as the clipboard text grows. The network and the cues are
// left out; bench/loopback.sh measures the snap against a real server.
#include <benchmark/benchmark.h>

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <vector>

#include "app/outbox.h"
#include "app/secrets.h"
#include "app/snap.h"
#include "http/uri.h"
#include "platform/headless/control.h"
#include "platform/headless/desktop.h"
#include "runtime/codepage.h"

using namespace ts;
namespace hl = platform::headless;

namespace {

// Answers the probe without a login form and the upload as stored; a form is
// encoded the way the HTTP client encodes a form body before it is sent.
class TInMemoryHost : public TSnapHost, public TServiceTransport {
public:
  void ClearBalloon() override {}
  void TitleBalloon(TBalloonInfoIconFlag, const std::string& title) override { failures += title.empty() ? 0 : 1; }
  void FullBalloon(TBalloonInfoIconFlag, const std::string&, const std::string& text) override {
    excerptBytes += text.size();
  }
  bool AutoCopy() override { return false; }
  TServiceAccount Account() override { return {"http://localhost:8660/pinleaf2", "me", "secret", ""}; }
  void SetSendEnabled(bool) override {}
  void ShowResponse(const std::string&) override {}
  void ProcessMessages() override {}
  void PlayCue(int) override {}
  std::string GetText(const std::string&) override { return "<p>hello</p>"; }
  std::string PostForm(const std::string&, const TStringList& lines) override {
    std::string body;
    for (int i = 0; i < lines.Count(); ++i) {
      const std::string& line = lines[i];
      const size_t eq = line.find('=');
      if (!body.empty()) body += '&';
      body += eq == std::string::npos ? line : line.substr(0, eq + 1) + TNetURI::EncodeParamValue(line.substr(eq + 1));
    }
    sentBytes += body.size();
    return "<p>====</p>";
  }
  // A snap without a token never speaks the API.
  std::string PostJson(const std::string&, const std::string&, const std::string&) override {
    throw std::logic_error("no API call in this benchmark");
  }
  void Delete(const std::string&, const std::string&) override {
    throw std::logic_error("no API call in this benchmark");
  }

  size_t sentBytes = 0, excerptBytes = 0;
  int failures = 0;
};

std::string ClipboardText(size_t chars, char variant) {
  // Mixed Japanese and ASCII text as users select it.
  static const std::string kPiece = "\xe3\x83\x86\xe3\x82\xad\xe3\x82\xb9\xe3\x83\x88 snap <text> & 100%\r\n";
  std::string text(1, variant);
  while (text.size() < chars) text += kPiece;
  return text;
}

}  // namespace

static void BM_SnapInMemory(benchmark::State& state) {
  hl::ResetDesktop();
  hl::SetAnsiCodePage(932);
  hl::SetTickCount(100000);
  hl::SetLocalTime({2026, 12, 8, 2, 14, 30, 15, 123});
  const std::u16string texts[2] = {Utf8ToUtf16(ClipboardText(static_cast<size_t>(state.range(0)), 'a')),
                                   Utf8ToUtf16(ClipboardText(static_cast<size_t>(state.range(0)), 'b'))};
  TInMemoryHost host;
  TServiceClient service(host);
  TSnapPipeline snap(host, service);
  int turn = 0;
  for (auto _ : state) {
    // A fresh text five seconds after the last upload: every snap goes all the way.
    hl::SetClipboardUnicodeText(texts[turn ^= 1]);
    hl::AdvanceClock(5000);
    snap.Run();
  }
  if (host.failures > 0) state.SkipWithError("a snap was refused");
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
  state.SetComplexityN(state.range(0));
  hl::UseRealClock();
}
BENCHMARK(BM_SnapInMemory)->RangeMultiplier(8)->Range(64, 256 << 10)->Complexity();

// The secret guard over a note that holds no secret (the whole text is read),
// as it grows to 1 MiB. Three kinds of text: prose of Japanese and ASCII with
// numbers (its digits are looked at as card numbers), a base64 blob (letters
// that start many a token's prefix), a table of numbers in groups, and one
// run of single digits a megabyte long.
static std::string GuardText(size_t bytes, int kind) {
  std::string piece;
  switch (kind) {
    case 0:
      piece =
          "\xe4\xbc\x9a\xe8\xad\xb0\xe3\x81\xaf 10:30 (2026-12-10), room 4, tel +81 3 1234 5678. "
          "BEGIN the review; see https://example.com/a?x=1 and version 1.2.3 \xe3\x81\xa7\xe3\x81\x99\r\n";
      break;
    case 1:
      piece = "iVBORw0KGgoAAAANSUhEUgAAAAEAAAABCAYAAAAfFcSJAAAADUlEQVR42mNkeyJhIjoxfQAghpAKIAsk_AIzaxox\n";
      break;
    case 2:
      piece = "4000 4001 4002 4003 | 5500-5501-5502 | 1234567890123 | 41111111111111111111\n";
      break;
    default:
      // One endless run of digit groups: each place is looked at a bounded number of times.
      piece = "1 2 3 4 5 6 7 8 9 0 ";
      break;
  }
  std::string text;
  while (text.size() + piece.size() <= bytes) text += piece;
  text.append(piece, 0, bytes - text.size());
  return text;
}

static void BM_SecretGuard(benchmark::State& state) {
  const std::string text = GuardText(static_cast<size_t>(state.range(0)), static_cast<int>(state.range(1)));
  for (auto _ : state) {
    auto found = FindSecret(text);
    benchmark::DoNotOptimize(found);
    if (found) state.SkipWithError("an ordinary text was taken for a secret");
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
  state.SetComplexityN(state.range(0));
}
BENCHMARK(BM_SecretGuard)
    ->ArgsProduct({{4096, 64 << 10, 1 << 20}, {0, 1, 2, 3}})
    ->Unit(benchmark::kMillisecond)
    ->ComputeStatistics("min", [](const std::vector<double>& v) { return *std::min_element(v.begin(), v.end()); })
    ->ComputeStatistics("max", [](const std::vector<double>& v) { return *std::max_element(v.begin(), v.end()); });

// What keeping a snap safe costs it: the note written to the outbox as
// waiting before the conversation (an append flushed to the disk), then,
// once the service stored it, dropped from the outbox and added to the
// history (both files rewritten through a temporary file and a rename),
// with 0, 10 or 100 other notes waiting and a full history. The files are in
// a real folder: TS_BENCH_DIR, or the system's temporary folder.
// Second argument: 0 times the write-ahead alone, 1 the write-ahead and the
// step after a stored snap together.
static std::filesystem::path BenchFolder() {
  const char* dir = std::getenv("TS_BENCH_DIR");
  const std::filesystem::path base = dir && *dir ? std::filesystem::path(dir) : std::filesystem::temp_directory_path();
  return base / ("textsnap-outbox-bench-" + std::to_string(::getpid()));
}

static std::string BenchPaperId(uint64_t n) {
  char id[32];
  std::snprintf(id, sizeof id, "2026121009%07llu", static_cast<unsigned long long>(n % 10000000));
  return id;
}

static void BM_OutboxWriteAhead(benchmark::State& state) {
  const auto dir = BenchFolder();
  std::error_code ignored;
  std::filesystem::remove_all(dir, ignored);
  std::filesystem::create_directories(dir);
  const auto waiting = static_cast<size_t>(state.range(0));
  const bool withStored = state.range(1) != 0;
  uint64_t serial = 0;
  {
    // The notes that already wait and a full history, written as the files
    // they would be on the disk.
    TNoteFile outbox((dir / kOutboxFileName).string()), history((dir / kHistoryFileName).string());
    outbox.Load();
    history.Load();
    for (size_t i = 0; i < std::max(waiting, TOutboxLimits().history); ++i) {
      TNoteRecord note{TNoteState::nsWaiting, BenchPaperId(++serial), "",
                       "kept note " + std::to_string(serial) + " " + ClipboardText(80, 'k')};
      if (i < waiting) outbox.Notes().push_back(note);
      note.state = TNoteState::nsSent;
      history.Notes().push_back(note);
    }
    if (!outbox.Save() || !history.Save()) state.SkipWithError("the files could not be written");
  }
  TOutbox outbox((dir / kOutboxFileName).string(), (dir / kHistoryFileName).string());
  outbox.Load(true);
  if (outbox.Waiting() != waiting) state.SkipWithError("the waiting notes were not kept");
  bool failed = false;
  for (auto _ : state) {
    TNoteRecord note{TNoteState::nsWaiting, BenchPaperId(++serial), "",
                     "snap " + std::to_string(serial) + " " + ClipboardText(40, 's')};
    failed |= !outbox.WriteAhead(note);
    if (!withStored) state.PauseTiming();
    outbox.Stored(note);
    if (!withStored) state.ResumeTiming();
  }
  if (failed) state.SkipWithError("a write-ahead failed");
  if (outbox.Waiting() != waiting) state.SkipWithError("a stored note stayed in the outbox");
  std::filesystem::remove_all(dir, ignored);
}
BENCHMARK(BM_OutboxWriteAhead)
    ->ArgsProduct({{0, 10, 100}, {0, 1}})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->ComputeStatistics("min", [](const std::vector<double>& v) { return *std::min_element(v.begin(), v.end()); })
    ->ComputeStatistics("max", [](const std::vector<double>& v) { return *std::max_element(v.begin(), v.end()); });

BENCHMARK_MAIN();
