// CPU cost of the HTTP text layer: URIs, form values, path merging, header
// lists (lookup, replacement, folding, unfolding), response heads and the
// cookie store. Each benchmark grows one input so the fitted complexity shows
// whether the cost stays linear in it.
#include <benchmark/benchmark.h>

#include <memory>
#include <string>

#include "http/cookies.h"
#include "http/headers.h"
#include "http/uri.h"
#include "runtime/text.h"

using namespace ts;

namespace {

// Concatenation by appending (GCC 12 warns falsely about "literal" + temporary at -O3).
template <typename... Parts>
std::string Cat(const Parts&... parts) {
  std::string out;
  (out.append(parts), ...);
  return out;
}

// A path of `bytes` bytes made of short directory names.
std::string PathOf(size_t bytes) {
  std::string path;
  for (int i = 0; path.size() < bytes; ++i) path += Cat("dir", std::to_string(i % 97), "/");
  return path;
}

// Form text as a note body brings it: ASCII words, markup, blanks and Shift-JIS.
std::string NoteText(size_t bytes) {
  static const std::string kPiece = "<xml><body>snap \x93\xfa\x96\x7b\x8c\xea [1] 100% & more</body></xml>\r\n";
  std::string text;
  while (text.size() < bytes) text += kPiece;
  text.resize(bytes);
  return text;
}

void SetComplexityRange(benchmark::internal::Benchmark* b, int64_t from, int64_t to) {
  b->RangeMultiplier(4)->Range(from, to)->Complexity();
}

}  // namespace

// ---- URI, form values, paths ----

static void BM_URIParse(benchmark::State& state) {
  const std::string url =
      Cat("http://user:pw@host.example:8080/", PathOf(static_cast<size_t>(state.range(0))), "doc.php?x=1&y=2#frag");
  TNetURI uri;
  for (auto _ : state) {
    uri.SetURI(url);
    benchmark::DoNotOptimize(uri.Document);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(url.size()));
  state.SetComplexityN(state.range(0));
}
BENCHMARK(BM_URIParse)->Apply([](auto* b) { SetComplexityRange(b, 16, 64 << 10); });

static void BM_EncodeParamValue(benchmark::State& state) {
  const std::string value = NoteText(static_cast<size_t>(state.range(0)));
  for (auto _ : state) benchmark::DoNotOptimize(TNetURI::EncodeParamValue(value));
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
  state.SetComplexityN(state.range(0));
}
BENCHMARK(BM_EncodeParamValue)->Apply([](auto* b) { SetComplexityRange(b, 64, 1 << 20); });

static void BM_MergePath(benchmark::State& state) {
  const std::string base = Cat("/", PathOf(static_cast<size_t>(state.range(0))));
  for (auto _ : state) benchmark::DoNotOptimize(MergePath(base, "../x/./y//z/"));
  state.SetComplexityN(state.range(0));
}
BENCHMARK(BM_MergePath)->Apply([](auto* b) { SetComplexityRange(b, 16, 64 << 10); });

// ---- header lists ----

namespace {

// `count` distinct headers, as a busy response might carry them.
void FillHeaders(TNetHeaderList& list, int64_t count) {
  list.Clear();
  for (int64_t i = 0; i < count; ++i) list.Add(Cat("X-Filler-", std::to_string(i), ": value ", std::to_string(i)));
}

}  // namespace

// Replacing the last of `n` headers: one lookup through the whole list.
static void BM_HeaderPutValueReplace(benchmark::State& state) {
  TNetHeaderList list(1024);
  FillHeaders(list, state.range(0));
  const std::string name = Cat("X-Filler-", std::to_string(state.range(0) - 1));
  int flip = 0;
  for (auto _ : state) list.PutValue(name, (flip ^= 1) ? "one" : "two");
  state.SetComplexityN(state.range(0));
}
BENCHMARK(BM_HeaderPutValueReplace)->Apply([](auto* b) { SetComplexityRange(b, 16, 16 << 10); });

// Looking a name up among `n` headers that all differ from it.
static void BM_HeaderValueOfMissing(benchmark::State& state) {
  TNetHeaderList list(1024);
  FillHeaders(list, state.range(0));
  for (auto _ : state) benchmark::DoNotOptimize(list.ValueOf("Content-Length"));
  state.SetComplexityN(state.range(0));
}
BENCHMARK(BM_HeaderValueOfMissing)->Apply([](auto* b) { SetComplexityRange(b, 16, 16 << 10); });

// A "Cookie" value of `n` bytes written into an empty list, folded at `foldLength` columns.
static void HeaderFold(benchmark::State& state, int foldLength) {
  std::string value;
  for (int i = 0; value.size() < static_cast<size_t>(state.range(0)); ++i)
    value += Cat("name", std::to_string(i), "=value", std::to_string(i), "; ");
  value.resize(static_cast<size_t>(state.range(0)));
  TNetHeaderList list(foldLength);
  for (auto _ : state) {
    list.Clear();
    list.PutValue("Cookie", value);
    benchmark::DoNotOptimize(list.Count());
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
  state.SetComplexityN(state.range(0));
}
// The custom headers' fold length and the raw headers' one.
static void BM_HeaderFoldAt78(benchmark::State& state) { HeaderFold(state, 78); }
static void BM_HeaderFoldAt1024(benchmark::State& state) { HeaderFold(state, 1024); }
BENCHMARK(BM_HeaderFoldAt78)->Apply([](auto* b) { SetComplexityRange(b, 256, 256 << 10); });
BENCHMARK(BM_HeaderFoldAt1024)->Apply([](auto* b) { SetComplexityRange(b, 256, 256 << 10); });

// Reading a header that arrived folded over `n` continuation lines.
static void BM_HeaderUnfold(benchmark::State& state) {
  TNetHeaderList list(1024);
  list.Add("X-Long: start");
  for (int64_t i = 0; i < state.range(0); ++i) list.Add(Cat("\tpiece ", std::to_string(i)));
  list.Add("Server: x");
  for (auto _ : state) benchmark::DoNotOptimize(list.ValueOf("X-Long"));
  state.SetComplexityN(state.range(0));
}
BENCHMARK(BM_HeaderUnfold)->Apply([](auto* b) { SetComplexityRange(b, 16, 16 << 10); });

// A response head of `n` lines as the engine handles it: the lines appended to
// the raw headers one by one, then parsed into the response record.
static void BM_ResponseHeadParse(benchmark::State& state) {
  std::vector<std::string> lines = {"Date: Sun, 06 Nov 1994 08:49:37 GMT",
                                    "Server: nginx",
                                    "Content-Type: text/html; charset=Shift_JIS",
                                    "Content-Length: 1234",
                                    "Set-Cookie: sid=abc; path=/",
                                    "Connection: keep-alive"};
  for (int64_t i = static_cast<int64_t>(lines.size()); i < state.range(0); ++i)
    lines.push_back(Cat("X-Filler-", std::to_string(i), ": value ", std::to_string(i)));
  TNetResponseHeaderInfo response;
  for (auto _ : state) {
    TNetHeaderList& raw = response.RawHeaders();
    raw.Clear();
    for (const auto& line : lines) raw.Add(line);
    response.ParseHeaders();
    benchmark::DoNotOptimize(response.ContentLength());
  }
  state.SetComplexityN(state.range(0));
}
BENCHMARK(BM_ResponseHeadParse)->Apply([](auto* b) { SetComplexityRange(b, 8, 16 << 10); });

// ---- cookies ----

namespace {

std::string SetCookieValue(int64_t i) {
  // A third each at "/", "/posts/" and "/users/"; every fifth one with a max-age.
  static const char* kPaths[] = {"/", "/posts/", "/users/"};
  std::string value = Cat("c", std::to_string(i), "=v", std::to_string(i), "; path=", std::string(kPaths[i % 3]),
                          "; domain=example.com");
  if (i % 5 == 0) value += "; max-age=3600";
  return value;
}

}  // namespace

// Storing `n` cookies into a fresh manager (its teardown is not timed).
static void BM_CookieStore(benchmark::State& state) {
  std::vector<std::string> values;
  for (int64_t i = 0; i < state.range(0); ++i) values.push_back(SetCookieValue(i));
  for (auto _ : state) {
    auto manager = std::make_unique<TNetCookieManager>(nullptr);
    for (const auto& value : values) manager->StoreSetCookie(value, "www.example.com");
    state.PauseTiming();
    manager.reset();
    state.ResumeTiming();
  }
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
  state.SetComplexityN(state.range(0));
}
BENCHMARK(BM_CookieStore)->Arg(10)->Arg(100)->Arg(1000)->Arg(3000)->Complexity();

// Destroying a manager that holds `n` cookies.
static void BM_CookieTeardown(benchmark::State& state) {
  for (auto _ : state) {
    state.PauseTiming();
    auto manager = std::make_unique<TNetCookieManager>(nullptr);
    for (int64_t i = 0; i < state.range(0); ++i) manager->StoreSetCookie(SetCookieValue(i), "www.example.com");
    state.ResumeTiming();
    manager.reset();
  }
  state.SetComplexityN(state.range(0));
}
BENCHMARK(BM_CookieTeardown)->Arg(10)->Arg(100)->Arg(1000)->Arg(3000)->Complexity();

// The "Cookie" header of one request with `n` cookies held (about two thirds apply).
static void BM_CookieHeaderFor(benchmark::State& state) {
  TNetCookieManager manager(nullptr);
  for (int64_t i = 0; i < state.range(0); ++i) manager.StoreSetCookie(SetCookieValue(i), "www.example.com");
  TNetURI uri("http://www.example.com/posts/addpinleaf");
  for (auto _ : state) benchmark::DoNotOptimize(manager.CookieHeaderFor(uri, false));
  state.SetComplexityN(state.range(0));
}
BENCHMARK(BM_CookieHeaderFor)->Arg(10)->Arg(100)->Arg(1000)->Arg(3000)->Complexity();

// A server renewing one cookie when `n` are held: the lookup and the in-place update.
static void BM_CookieReplace(benchmark::State& state) {
  TNetCookieManager manager(nullptr);
  for (int64_t i = 0; i < state.range(0); ++i) manager.StoreSetCookie(SetCookieValue(i * 3), "www.example.com");
  const std::string renew = SetCookieValue((state.range(0) - 1) * 3);
  const std::string renew2 = Cat("c", std::to_string((state.range(0) - 1) * 3), "=other; path=/; domain=example.com");
  int flip = 0;
  for (auto _ : state) manager.StoreSetCookie((flip ^= 1) ? renew2 : renew, "www.example.com");
  state.SetComplexityN(state.range(0));
}
BENCHMARK(BM_CookieReplace)->Arg(10)->Arg(100)->Arg(1000)->Arg(3000)->Complexity();

BENCHMARK_MAIN();
