// What a snap learns of where it came from, against the real Windows
// functions: the focused window's title and program, the page's address in
// "HTML Format" as browsers write it, and the formats by which password
// managers keep a copy out of clipboard monitors.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "platform/clipboard.h"
#include "platform/foreground.h"

using namespace platform;

namespace {

// Puts the given formats on the clipboard at once, as one copy.
class TCopy {
public:
  TCopy() {
    window_ = ::CreateWindowExW(0, L"STATIC", L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, nullptr, nullptr);
    for (int tries = 0; tries < 50 && !::OpenClipboard(window_); ++tries) ::Sleep(20);
    ::EmptyClipboard();
  }
  ~TCopy() {
    ::CloseClipboard();
    ::DestroyWindow(window_);
  }
  void Put(UINT format, const void* data, size_t size) {
    HGLOBAL block = ::GlobalAlloc(GMEM_MOVEABLE, size);
    std::memcpy(::GlobalLock(block), data, size);
    ::GlobalUnlock(block);
    ::SetClipboardData(format, block);
  }
  void Text(const std::wstring& text) { Put(CF_UNICODETEXT, text.c_str(), (text.size() + 1) * sizeof(wchar_t)); }
  void Named(const wchar_t* name, const std::string& bytes) {
    Put(::RegisterClipboardFormatW(name), bytes.data(), bytes.size());
  }
  void Flag(const wchar_t* name, DWORD value) { Put(::RegisterClipboardFormatW(name), &value, sizeof value); }

private:
  HWND window_;
};

// "HTML Format" with its description, offsets of eight digits as browsers write them.
std::string HtmlFormat(const std::string& sourceUrl, const std::string& fragment) {
  const std::string html = "<html><body><!--StartFragment-->" + fragment + "<!--EndFragment--></body></html>";
  std::string head =
      "Version:0.9\r\nStartHTML:00000000\r\nEndHTML:00000000\r\nStartFragment:00000000\r\n"
      "EndFragment:00000000\r\n";
  if (!sourceUrl.empty()) head += "SourceURL:" + sourceUrl + "\r\n";
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

}  // namespace

TEST(WineSnapSource, TheFocusedWindowsTitleAndProgram) {
  const wchar_t* title =
      L"\u8b70\u4e8b\u9332 \u2014 \u65e5\u672c\u8a9e\u306e\u30bf\u30a4\u30c8\u30eb";  // 議事録 — 日本語のタイトル
  HWND window = ::CreateWindowExW(0, L"STATIC", title, WS_OVERLAPPEDWINDOW | WS_VISIBLE, 40, 40, 300, 200, nullptr,
                                  nullptr, nullptr, nullptr);
  ASSERT_NE(window, nullptr);
  ::SetForegroundWindow(window);
  MSG msg;
  for (int i = 0; i < 50 && ::GetForegroundWindow() != window; ++i) {
    while (::PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) ::DispatchMessageW(&msg);
    ::Sleep(20);
  }
  ASSERT_EQ(::GetForegroundWindow(), window) << "the desktop gave the test's window the focus";
  const ForegroundWindow focused = ForegroundWindowInfo();
  EXPECT_EQ(focused.title,
            "\xE8\xAD\xB0\xE4\xBA\x8B\xE9\x8C\xB2 \xE2\x80\x94 "
            "\xE6\x97\xA5\xE6\x9C\xAC\xE8\xAA\x9E\xE3\x81\xAE\xE3\x82\xBF\xE3\x82\xA4\xE3\x83\x88\xE3\x83\xAB");
  EXPECT_EQ(focused.program, "test_platform.exe");
  ::DestroyWindow(window);
}

TEST(WineSnapSource, TheSourceUrlOfHtmlFormat) {
  {
    TCopy copy;
    copy.Text(L"quoted");
    copy.Named(L"HTML Format",
               HtmlFormat("https://example.com/\xE3\x83\x9A\xE3\x83\xBC\xE3\x82\xB8?a=1", "<b>quoted</b>"));
  }
  EXPECT_EQ(ClipboardSourceUrl(), "https://example.com/\xE3\x83\x9A\xE3\x83\xBC\xE3\x82\xB8?a=1");
  EXPECT_FALSE(ClipboardMarkedSecret());
  {
    TCopy copy;  // a copy from a program that writes no source
    copy.Text(L"quoted");
    copy.Named(L"HTML Format", HtmlFormat("", "<p>SourceURL:https://inside.example/</p>"));
  }
  EXPECT_EQ(ClipboardSourceUrl(), "") << "a field is looked for in the description only";
  {
    TCopy copy;
    copy.Text(L"plain");
  }
  EXPECT_EQ(ClipboardSourceUrl(), "");
}

TEST(WineSnapSource, APasswordManagersMarks) {
  {
    TCopy copy;
    copy.Text(L"hunter2");
    copy.Named(L"ExcludeClipboardContentFromMonitorProcessing", std::string(1, '\0'));
  }
  EXPECT_TRUE(ClipboardMarkedSecret());
  for (const wchar_t* name : {L"CanUploadToCloudClipboard", L"CanIncludeInClipboardHistory"}) {
    {
      TCopy copy;
      copy.Text(L"hunter2");
      copy.Flag(name, 0);
    }
    EXPECT_TRUE(ClipboardMarkedSecret());
    {
      TCopy copy;
      copy.Text(L"hunter2");
      copy.Flag(name, 1);
    }
    EXPECT_FALSE(ClipboardMarkedSecret()) << "1 allows it";
  }
}
