// The session's instances on the in-process desktop: the test process is the
// whole session, so a name claimed once stays claimed until the desktop is
// reset (or a test releases it, as when the first program ended). A request
// from another thread waits in the GUI thread's queue like the system's own
// messages do and is served when a loop pumps it; one asked on the GUI
// thread itself is served at once, as a window message sent within one
// thread is.
#include <condition_variable>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <thread>

#include "platform/headless/desktop.h"
#include "platform/headless/desktop_internal.h"
#include "platform/instance.h"
#include "platform/window.h"

namespace platform {

namespace {

constexpr uint32_t kRequestWaits = wm::User + 0x3A1;

struct TRequest {
  std::string command, body;
  std::optional<std::string> answer;
  bool done = false;
};

struct TClaim {
  TInstanceRequestHandler onRequest;
  WindowHandle channel = 0;  // on the GUI thread, which claimed the name
  std::thread::id gui;
  std::deque<std::shared_ptr<TRequest>> waiting;
};

struct Instances {
  std::mutex lock;
  std::condition_variable answered;
  std::map<std::string, std::shared_ptr<TClaim>> claims;
};
Instances& I() {
  static Instances* i = new Instances;
  return *i;
}

std::string Served(const TInstanceRequestHandler& onRequest, const std::string& command, const std::string& body) {
  std::string answer;
  if (body.size() > kMaxInstanceRequestBody)
    answer = "bad request";
  else if (onRequest)
    answer = onRequest(command, body);
  if (answer.empty()) answer = "ok";
  for (char& c : answer)
    if (c == '\n' || c == '\r') c = ' ';
  return answer;
}

// The claim's channel window takes the oldest waiting request.
void ServeOne(const std::shared_ptr<TClaim>& claim) {
  std::shared_ptr<TRequest> request;
  {
    std::lock_guard<std::mutex> hold(I().lock);
    if (claim->waiting.empty()) return;
    request = claim->waiting.front();
    claim->waiting.pop_front();
  }
  std::string answer = Served(claim->onRequest, request->command, request->body);
  {
    std::lock_guard<std::mutex> hold(I().lock);
    request->answer = std::move(answer);
    request->done = true;
  }
  I().answered.notify_all();
}

// Ends a claim: its channel goes, and whoever still waits gets no answer.
void Drop(const std::shared_ptr<TClaim>& claim) {
  {
    std::lock_guard<std::mutex> hold(I().lock);
    for (auto& request : claim->waiting) request->done = true;
    claim->waiting.clear();
  }
  I().answered.notify_all();
  FreeWindow(claim->channel);
}

}  // namespace

bool ClaimInstance(const std::string& name, TInstanceRequestHandler onRequest) {
  auto claim = std::make_shared<TClaim>();
  claim->onRequest = std::move(onRequest);
  claim->gui = std::this_thread::get_id();
  std::weak_ptr<TClaim> weak = claim;
  claim->channel = NewWindow(WindowKind::Hidden, 0, [weak](Message& m) {
    if (m.msg != kRequestWaits) return false;
    if (auto alive = weak.lock()) ServeOne(alive);
    return true;
  });
  bool first;
  {
    std::lock_guard<std::mutex> hold(I().lock);
    first = I().claims.emplace(name, claim).second;
  }
  if (!first) FreeWindow(claim->channel);
  return first;
}

std::optional<std::string> AskInstance(const std::string& name, const std::string& command, const std::string& body,
                                       int waitMs) {
  std::unique_lock<std::mutex> hold(I().lock);
  auto it = I().claims.find(name);
  if (it == I().claims.end()) return std::nullopt;
  std::shared_ptr<TClaim> claim = it->second;
  if (claim->gui == std::this_thread::get_id()) {
    hold.unlock();
    return Served(claim->onRequest, command, body);
  }
  auto request = std::make_shared<TRequest>();
  request->command = command;
  request->body = body;
  claim->waiting.push_back(request);
  hold.unlock();
  PostToWindow(claim->channel, kRequestWaits, 0, 0);
  hold.lock();
  I().answered.wait_for(hold, std::chrono::milliseconds(waitMs < 0 ? 0 : waitMs), [&] { return request->done; });
  return request->answer;
}

namespace headless {
namespace detail {
void ResetInstances() {
  std::map<std::string, std::shared_ptr<TClaim>> claims;
  {
    std::lock_guard<std::mutex> hold(I().lock);
    claims.swap(I().claims);
  }
  for (auto& entry : claims) Drop(entry.second);
}
}  // namespace detail

void ReleaseInstance(const std::string& name) {
  std::shared_ptr<TClaim> claim;
  {
    std::lock_guard<std::mutex> hold(I().lock);
    auto it = I().claims.find(name);
    if (it == I().claims.end()) return;
    claim = it->second;
    I().claims.erase(it);
  }
  Drop(claim);
}
}  // namespace headless
}  // namespace platform
