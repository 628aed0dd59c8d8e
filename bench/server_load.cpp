// Many clients snapping at once against one pinleaf-server, for
// bench/server_load.sh. Each client signs in once (not timed), then does its
// snaps one after the other as the tray client does them: the probe, then the
// upload of a new note, each on a connection of its own.
//
//   server_load BASE_URL[,BASE_URL...] USER PASSWORD CLIENTS SNAPS_PER_CLIENT [NOTE_BYTES]
// prints tab-separated lines: figure, unit, value (snaps per second over the
// whole run, median and p99 of one snap's time, the number of failures and of
// snaps answered "saved"). Several base URLs (instances of the service on one
// database) take the requests in turn, each request the next URL: a client
// signs in at one instance and its probes and uploads go to the others.
// With NOTE_BYTES, each note is about that long, every second one Japanese
// (what a search index has to take in); without, a short line.
#include <httplib.h>

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "tests/service/support.h"

namespace {

using Clock = std::chrono::steady_clock;

struct TTarget {
  std::string scheme_host_port;  // http://127.0.0.1:8660
  std::string base;              // /pinleaf2
};

TTarget Split(const std::string& url) {
  size_t slash = url.find('/', url.find("//") + 2);
  if (slash == std::string::npos) return {url, ""};
  std::string base = url.substr(slash);
  while (!base.empty() && base.back() == '/') base.pop_back();
  return {url.substr(0, slash), base};
}

// The session cookie of a sign-in answer ("name=value" up to the first ";").
std::string SessionCookie(const httplib::Result& res) {
  if (!res) return {};
  std::string cookie = res->get_header_value("Set-Cookie");
  return cookie.substr(0, cookie.find(';'));
}

// The instances, taken in turn by every request of every client.
class TRoundRobin {
public:
  explicit TRoundRobin(const std::string& urls) {
    size_t at = 0;
    while (at <= urls.size()) {
      size_t comma = urls.find(',', at);
      if (comma == std::string::npos) comma = urls.size();
      if (comma > at) targets_.push_back(Split(urls.substr(at, comma - at)));
      at = comma + 1;
    }
  }
  bool Empty() const { return targets_.empty(); }
  const TTarget& Next() { return targets_[next_++ % targets_.size()]; }

private:
  std::vector<TTarget> targets_;
  std::atomic<size_t> next_{0};
};

double Percentile(std::vector<double> values, double p) {
  if (values.empty()) return 0;
  std::sort(values.begin(), values.end());
  const size_t at = std::min(values.size() - 1, static_cast<size_t>(p * static_cast<double>(values.size() - 1) + 0.5));
  return values[at];
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 6) {
    std::fprintf(stderr, "usage: %s BASE_URL[,BASE_URL...] USER PASSWORD CLIENTS SNAPS_PER_CLIENT\n", argv[0]);
    return 2;
  }
  TRoundRobin targets(argv[1]);
  if (targets.Empty()) {
    std::fprintf(stderr, "no base URL\n");
    return 2;
  }
  // Repeated runs against one database store new notes: the same text with
  // the same paper ID would be taken for a resent note and stored once.
  const std::string run =
      std::to_string(::getpid()) + "." + std::to_string(std::chrono::system_clock::now().time_since_epoch().count());
  const std::string user = argv[2], password = argv[3];
  const int clients = std::max(1, std::atoi(argv[4]));
  const int snaps = std::max(1, std::atoi(argv[5]));
  const size_t note_bytes = argc > 6 ? static_cast<size_t>(std::max(0, std::atoi(argv[6]))) : 0;
  const httplib::Headers form = {{"Content-Type", "application/x-www-form-urlencoded"}};

  // Sign-ins first, one after the other: the password hash is deliberately
  // slow and is not what this measures.
  std::vector<std::string> cookies;
  for (int c = 0; c < clients; ++c) {
    const TTarget& target = targets.Next();
    httplib::Client http(target.scheme_host_port);
    auto res = http.Post(target.base + "/users/login", form, pinleaf::test::LoginBody(user, password),
                         "application/x-www-form-urlencoded");
    std::string cookie = SessionCookie(res);
    if (cookie.empty()) {
      std::fprintf(stderr, "sign-in %d failed\n", c);
      return 1;
    }
    cookies.push_back(cookie);
  }

  std::vector<std::vector<double>> times(static_cast<size_t>(clients));
  std::atomic<int> failures{0};
  std::atomic<int> saved{0};
  std::atomic<int> ready{0};
  std::atomic<bool> go{false};
  std::vector<std::thread> threads;
  for (int c = 0; c < clients; ++c) {
    threads.emplace_back([&, c] {
      httplib::Headers headers = {{"Cookie", cookies[static_cast<size_t>(c)]}};
      auto& mine = times[static_cast<size_t>(c)];
      mine.reserve(static_cast<size_t>(snaps));
      ++ready;
      while (!go) std::this_thread::yield();
      for (int i = 0; i < snaps; ++i) {
        const auto start = Clock::now();
        const TTarget& probe_at = targets.Next();
        httplib::Client probe(probe_at.scheme_host_port);
        auto answer = probe.Get(probe_at.base + "/posts/nop/", headers);
        const TTarget& upload_at = targets.Next();
        httplib::Client upload(upload_at.scheme_host_port);
        std::string text = "note " + std::to_string(c) + "-" + std::to_string(i) + " from load run " + run;
        while (text.size() < note_bytes)
          text +=
              i % 2 ? " 会議の資料を確認して、来週の予定を連絡する。" : " review the budget report before the meeting;";
        httplib::Headers post = headers;
        post.emplace("Content-Type", "application/x-www-form-urlencoded");
        auto stored = upload.Post(upload_at.base + "/posts/addpinleaf", post,
                                  pinleaf::test::UploadBody(pinleaf::test::NoteDocument(text)),
                                  "application/x-www-form-urlencoded");
        if (stored && stored->status == 200 && stored->body.find("====") != std::string::npos) ++saved;
        if (!answer || answer->status != 200 || !stored || stored->status != 200 ||
            stored->body.find("====") == std::string::npos) {
          // Said once per failure, so a failed run tells what went wrong.
          if (!answer)
            std::fprintf(stderr, "probe: %s\n", httplib::to_string(answer.error()).c_str());
          else if (!stored)
            std::fprintf(stderr, "upload: %s\n", httplib::to_string(stored.error()).c_str());
          else
            std::fprintf(stderr, "answers %d and %d\n", answer->status, stored->status);
          ++failures;
        }
        mine.push_back(std::chrono::duration<double, std::milli>(Clock::now() - start).count());
      }
    });
  }
  while (ready < clients) std::this_thread::yield();
  const auto start = Clock::now();
  go = true;
  for (auto& t : threads) t.join();
  const double seconds = std::chrono::duration<double>(Clock::now() - start).count();

  std::vector<double> all;
  for (auto& v : times) all.insert(all.end(), v.begin(), v.end());
  std::printf("snaps per second, %d clients\tsnaps/s\t%.0f\n", clients, static_cast<double>(all.size()) / seconds);
  std::printf("snap median, %d clients\tms\t%.3f\n", clients, Percentile(all, 0.5));
  std::printf("snap p99, %d clients\tms\t%.3f\n", clients, Percentile(all, 0.99));
  std::printf("failed snaps, %d clients\tcount\t%d\n", clients, failures.load());
  std::printf("snaps saved, %d clients\tcount\t%d\n", clients, saved.load());
  return failures == 0 ? 0 : 1;
}
