// One instance per log-on session: a mutex in the session's namespace is the
// claim, and a message-only window named after it takes the requests of
// later starts as WM_COPYDATA. Window messages reach only the programs of
// the same session and desktop, so no other user can ask or answer. The
// asker passes a message-only window of its own, to which the answer is sent
// back while the asker still waits in its send (a thread waiting in a send
// takes the messages sent to it).
#include "platform/instance.h"

#include <windows.h>

namespace platform {

namespace {

const wchar_t kChannelClass[] = L"TextSnapInstance";
constexpr ULONG_PTR kRequestTag = 0x54535251;  // "command\n" and the body
constexpr ULONG_PTR kAnswerTag = 0x54534157;   // the answer line

std::wstring Wide(const std::string& ascii) { return std::wstring(ascii.begin(), ascii.end()); }

// Behind each channel window: the claimant's handler, or the asker's answer.
struct Channel {
  TInstanceRequestHandler onRequest;
  std::optional<std::string> answer;
};

Channel* ChannelOf(HWND h) { return reinterpret_cast<Channel*>(::GetWindowLongPtrW(h, GWLP_USERDATA)); }

std::string Served(const Channel* channel, const COPYDATASTRUCT& request) {
  std::string data(static_cast<const char*>(request.lpData), request.cbData);
  const size_t end = data.find('\n');
  std::string answer;
  if (end == std::string::npos || data.size() - end - 1 > kMaxInstanceRequestBody)
    answer = "bad request";
  else if (channel->onRequest)
    answer = channel->onRequest(data.substr(0, end), data.substr(end + 1));
  if (answer.empty()) answer = "ok";
  for (char& c : answer)
    if (c == '\n' || c == '\r') c = ' ';
  return answer;
}

LRESULT CALLBACK ChannelProcedure(HWND h, UINT msg, WPARAM w, LPARAM l) {
  if (msg == WM_NCCREATE) {
    auto* cs = reinterpret_cast<CREATESTRUCTW*>(l);
    ::SetWindowLongPtrW(h, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(cs->lpCreateParams));
  }
  Channel* channel = ChannelOf(h);
  if (msg == WM_COPYDATA && channel) {
    const auto& data = *reinterpret_cast<const COPYDATASTRUCT*>(l);
    if (data.dwData == kAnswerTag) {
      channel->answer = std::string(static_cast<const char*>(data.lpData), data.cbData);
      return TRUE;
    }
    if (data.dwData == kRequestTag) {
      std::string answer;
      try {
        answer = Served(channel, data);
      } catch (...) {
        answer = "failed";  // nothing may unwind through the system's frames
      }
      COPYDATASTRUCT reply{kAnswerTag, static_cast<DWORD>(answer.size()), answer.data()};
      DWORD_PTR ignored = 0;
      ::SendMessageTimeoutW(reinterpret_cast<HWND>(w), WM_COPYDATA, reinterpret_cast<WPARAM>(h),
                            reinterpret_cast<LPARAM>(&reply), SMTO_NORMAL, 5000, &ignored);
      return TRUE;
    }
  }
  return ::DefWindowProcW(h, msg, w, l);
}

HWND NewChannel(const std::wstring& name, Channel* channel) {
  static bool registered = false;
  if (!registered) {
    WNDCLASSEXW wc{};
    wc.cbSize = sizeof wc;
    wc.lpfnWndProc = ChannelProcedure;
    wc.hInstance = ::GetModuleHandleW(nullptr);
    wc.lpszClassName = kChannelClass;
    ::RegisterClassExW(&wc);
    registered = true;
  }
  return ::CreateWindowExW(0, kChannelClass, name.c_str(), 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                           ::GetModuleHandleW(nullptr), channel);
}

// "Local\" is the namespace of the log-on session: another user, or the same
// user in another session, runs a program of their own.
std::wstring MutexName(const std::string& name) { return L"Local\\" + Wide(name); }

}  // namespace

bool ClaimInstance(const std::string& name, TInstanceRequestHandler onRequest) {
  HANDLE mutex = ::CreateMutexW(nullptr, FALSE, MutexName(name).c_str());
  if (!mutex) return false;
  if (::GetLastError() == ERROR_ALREADY_EXISTS) {
    ::CloseHandle(mutex);
    return false;
  }
  // The mutex and the channel stay for the life of the process; the system
  // takes them down with it.
  auto* channel = new Channel{std::move(onRequest), std::nullopt};
  if (!NewChannel(Wide(name), channel)) delete channel;  // runs alone: later starts find no channel
  return true;
}

std::optional<std::string> AskInstance(const std::string& name, const std::string& command, const std::string& body,
                                       int waitMs) {
  const ULONGLONG deadline = ::GetTickCount64() + static_cast<ULONGLONG>(waitMs < 0 ? 0 : waitMs);
  HWND target = nullptr;
  // The running one may still be starting: the claim comes before its channel.
  while (!(target = ::FindWindowExW(HWND_MESSAGE, nullptr, kChannelClass, Wide(name).c_str()))) {
    HANDLE claimed = ::OpenMutexW(SYNCHRONIZE, FALSE, MutexName(name).c_str());
    if (!claimed) return std::nullopt;  // none runs
    ::CloseHandle(claimed);
    if (::GetTickCount64() >= deadline) return std::nullopt;
    ::Sleep(50);
  }
  Channel mine;
  HWND own = NewChannel(L"", &mine);
  if (!own) return std::nullopt;
  std::string data = command + "\n" + body;
  COPYDATASTRUCT request{kRequestTag, static_cast<DWORD>(data.size()), data.data()};
  const ULONGLONG now = ::GetTickCount64();
  const UINT left = static_cast<UINT>(now < deadline ? deadline - now : 1);
  DWORD_PTR result = 0;
  if (!::SendMessageTimeoutW(target, WM_COPYDATA, reinterpret_cast<WPARAM>(own), reinterpret_cast<LPARAM>(&request),
                             SMTO_NORMAL, left, &result))
    mine.answer.reset();
  ::DestroyWindow(own);
  return mine.answer;
}

}  // namespace platform
