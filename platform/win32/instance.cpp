// One instance per log-on session: a mutex in the session's namespace is the
// claim, and a hidden window named after it takes the requests of later
// starts as WM_COPYDATA. Window messages reach only the programs of
// the same session and desktop, so no other user can ask or answer. The
// asker passes a hidden window of its own, to which the answer is sent
// back while the asker still waits in its send (a thread waiting in a send
// takes the messages sent to it).
#include "platform/instance.h"

#include <windows.h>

#include <functional>

#include "platform/window.h"

namespace platform {

namespace {

// The class of our own windows (platform/win32/window.cpp): the channel is a
// hidden one, found by its caption.
const wchar_t kWindowClass[] = L"TextSnapWindow";
constexpr ULONG_PTR kRequestTag = 0x54535251;  // "command\n" and the body
constexpr ULONG_PTR kAnswerTag = 0x54534157;   // the answer line

std::wstring Wide(const std::string& ascii) { return std::wstring(ascii.begin(), ascii.end()); }

std::string Served(const TInstanceRequestHandler& onRequest, const COPYDATASTRUCT& request) {
  std::string data(static_cast<const char*>(request.lpData), request.cbData);
  const size_t end = data.find('\n');
  std::string answer;
  if (end == std::string::npos || data.size() - end - 1 > kMaxInstanceRequestBody)
    answer = "bad request";
  else if (onRequest)
    answer = onRequest(data.substr(0, end), data.substr(end + 1));
  if (answer.empty()) answer = "ok";
  for (char& c : answer)
    if (c == '\n' || c == '\r') c = ' ';
  return answer;
}

// A hidden window of ours named `name` that takes WM_COPYDATA tagged `tag`.
WindowHandle NewChannel(const std::string& name, ULONG_PTR tag,
                        std::function<void(HWND from, const COPYDATASTRUCT& data)> take) {
  WindowHandle channel = NewWindow(WindowKind::Hidden, 0, [tag, take](Message& m) {
    if (m.msg != WM_COPYDATA) return false;
    const auto& data = *reinterpret_cast<const COPYDATASTRUCT*>(m.lParam);
    if (data.dwData != tag) return false;
    take(reinterpret_cast<HWND>(m.wParam), data);
    m.result = TRUE;
    return true;
  });
  if (channel) SetWindowCaption(channel, name);
  return channel;
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
  // takes them down with it. Without a channel it runs alone: later starts
  // find none to ask.
  NewChannel(name, kRequestTag, [onRequest](HWND asker, const COPYDATASTRUCT& request) {
    std::string answer = Served(onRequest, request);
    COPYDATASTRUCT reply{kAnswerTag, static_cast<DWORD>(answer.size()), answer.data()};
    DWORD_PTR ignored = 0;
    ::SendMessageTimeoutW(asker, WM_COPYDATA, 0, reinterpret_cast<LPARAM>(&reply), SMTO_NORMAL, 5000, &ignored);
  });
  return true;
}

std::optional<std::string> AskInstance(const std::string& name, const std::string& command, const std::string& body,
                                       int waitMs) {
  const ULONGLONG deadline = ::GetTickCount64() + static_cast<ULONGLONG>(waitMs < 0 ? 0 : waitMs);
  HWND target = nullptr;
  // The running one may still be starting: the claim comes before its channel.
  while (!(target = ::FindWindowExW(nullptr, nullptr, kWindowClass, Wide(name).c_str()))) {
    HANDLE claimed = ::OpenMutexW(SYNCHRONIZE, FALSE, MutexName(name).c_str());
    if (!claimed) return std::nullopt;  // none runs
    ::CloseHandle(claimed);
    if (::GetTickCount64() >= deadline) return std::nullopt;
    ::Sleep(50);
  }
  std::optional<std::string> answer;
  WindowHandle own = NewChannel("", kAnswerTag, [&answer](HWND, const COPYDATASTRUCT& reply) {
    answer = std::string(static_cast<const char*>(reply.lpData), reply.cbData);
  });
  if (!own) return std::nullopt;
  std::string data = command + "\n" + body;
  COPYDATASTRUCT request{kRequestTag, static_cast<DWORD>(data.size()), data.data()};
  const ULONGLONG now = ::GetTickCount64();
  const UINT left = static_cast<UINT>(now < deadline ? deadline - now : 1);
  DWORD_PTR result = 0;
  if (!::SendMessageTimeoutW(target, WM_COPYDATA, static_cast<WPARAM>(own), reinterpret_cast<LPARAM>(&request),
                             SMTO_NORMAL, left, &result))
    answer.reset();
  FreeWindow(own);
  return answer;
}

}  // namespace platform
