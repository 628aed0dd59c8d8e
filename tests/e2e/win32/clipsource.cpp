// A stand-in for the programs a user copies from, for the end-to-end suite:
//
//   clipsource.exe TITLEFILE TEXTFILE [--url URL] [--exclude] [--no-cloud] [--no-history]
//
// shows a window titled with the UTF-8 text of TITLEFILE (any Unicode: a
// command line under Wine passes only what the locale of the shell can
// say) and puts the UTF-8 text of
// TEXTFILE on the clipboard as CF_UNICODETEXT, with "HTML Format" naming URL
// as its SourceURL as browsers write it, and the formats by which password
// managers keep a copy out of clipboard monitors and history. It stays, the
// clipboard's owner, until its window is closed.
#include <windows.h>
// windows.h first: shellapi.h builds on it.
#include <shellapi.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>

namespace {

std::wstring Wide(const std::string& utf8) {
  std::wstring out(
      static_cast<size_t>(::MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), nullptr, 0)),
      L'\0');
  ::MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), out.data(),
                        static_cast<int>(out.size()));
  return out;
}

std::string Utf8(const std::wstring& wide) {
  std::string out(static_cast<size_t>(::WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()),
                                                            nullptr, 0, nullptr, nullptr)),
                  '\0');
  ::WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()), out.data(),
                        static_cast<int>(out.size()), nullptr, nullptr);
  return out;
}

void Put(UINT format, const void* data, size_t size) {
  HGLOBAL block = ::GlobalAlloc(GMEM_MOVEABLE, size);
  std::memcpy(::GlobalLock(block), data, size);
  ::GlobalUnlock(block);
  if (!::SetClipboardData(format, block)) ::GlobalFree(block);
}

std::string HtmlFormat(const std::string& sourceUrl, const std::string& text) {
  const std::string html = "<html><body><!--StartFragment-->" + text + "<!--EndFragment--></body></html>";
  std::string head =
      "Version:0.9\r\nStartHTML:00000000\r\nEndHTML:00000000\r\nStartFragment:00000000\r\n"
      "EndFragment:00000000\r\nSourceURL:" +
      sourceUrl + "\r\n";
  auto put = [&head](const char* field, size_t value) {
    const size_t at = head.find(field) + std::strlen(field);
    const std::string digits = std::to_string(value);
    head.replace(at + 8 - digits.size(), digits.size(), digits);
  };
  const size_t start = head.size();
  put("StartHTML:", start);
  put("EndHTML:", start + html.size());
  put("StartFragment:", start + html.find("-->") + 3);
  put("EndFragment:", start + html.find("<!--End"));
  return head + html + std::string(1, '\0');
}

LRESULT CALLBACK WindowProc(HWND window, UINT msg, WPARAM wParam, LPARAM lParam) {
  if (msg == WM_DESTROY) {
    ::PostQuitMessage(0);
    return 0;
  }
  return ::DefWindowProcW(window, msg, wParam, lParam);
}

}  // namespace

int main() {
  int argc = 0;
  wchar_t** argv = ::CommandLineToArgvW(::GetCommandLineW(), &argc);
  if (!argv || argc < 3) {
    std::fputs("usage: clipsource TITLEFILE TEXTFILE [--url URL] [--exclude] [--no-cloud] [--no-history]\n", stderr);
    return 2;
  }
  std::ifstream titleIn(argv[1], std::ios::binary), in(argv[2], std::ios::binary);
  if (!titleIn || !in) {
    std::fputs("clipsource: cannot read the title or the text file\n", stderr);
    return 2;
  }
  const std::wstring title =
      Wide(std::string(std::istreambuf_iterator<char>(titleIn), std::istreambuf_iterator<char>()));
  const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  std::string url;
  bool exclude = false, noCloud = false, noHistory = false;
  for (int i = 3; i < argc; ++i) {
    const std::wstring arg = argv[i];
    if (arg == L"--url" && i + 1 < argc)
      url = Utf8(argv[++i]);
    else if (arg == L"--exclude")
      exclude = true;
    else if (arg == L"--no-cloud")
      noCloud = true;
    else if (arg == L"--no-history")
      noHistory = true;
  }

  WNDCLASSW type{};
  type.lpfnWndProc = WindowProc;
  type.hInstance = ::GetModuleHandleW(nullptr);
  type.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_WINDOW + 1);
  type.hCursor = ::LoadCursorW(nullptr, reinterpret_cast<LPCWSTR>(IDC_ARROW));
  type.lpszClassName = L"clipsource";
  ::RegisterClassW(&type);
  HWND window = ::CreateWindowExW(0, L"clipsource", title.c_str(), WS_OVERLAPPEDWINDOW, 300, 260, 420, 240, nullptr,
                                  nullptr, type.hInstance, nullptr);
  if (!window) return 1;
  ::ShowWindow(window, SW_SHOW);
  ::SetForegroundWindow(window);
  bool open = false;
  for (int tries = 0; tries < 100 && !(open = ::OpenClipboard(window)); ++tries) ::Sleep(50);
  if (!open) {
    std::fputs("clipsource: the clipboard cannot be opened\n", stderr);
    return 1;
  }
  ::EmptyClipboard();
  const std::wstring wide = Wide(text);
  Put(CF_UNICODETEXT, wide.c_str(), (wide.size() + 1) * sizeof(wchar_t));
  if (!url.empty()) {
    const std::string html = HtmlFormat(url, text);
    Put(::RegisterClipboardFormatW(L"HTML Format"), html.data(), html.size());
  }
  const DWORD no = 0;
  if (exclude) Put(::RegisterClipboardFormatW(L"ExcludeClipboardContentFromMonitorProcessing"), &no, sizeof no);
  if (noCloud) Put(::RegisterClipboardFormatW(L"CanUploadToCloudClipboard"), &no, sizeof no);
  if (noHistory) Put(::RegisterClipboardFormatW(L"CanIncludeInClipboardHistory"), &no, sizeof no);
  ::CloseClipboard();
  std::printf("ready\n");
  std::fflush(stdout);

  MSG msg;
  while (::GetMessageW(&msg, nullptr, 0, 0) > 0) {
    ::TranslateMessage(&msg);
    ::DispatchMessageW(&msg);
  }
  ::LocalFree(argv);
  return 0;
}
