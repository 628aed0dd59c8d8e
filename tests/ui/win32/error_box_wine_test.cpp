// The error box is the system's own message box: a screen reader finds its
// text and its button through the system's accessible objects, as in any
// other program's box, and nothing of ours draws it.
#include <gtest/gtest.h>
#include <windows.h>
// after windows.h, which it needs
#include <oleacc.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "runtime/codepage.h"
#include "ui/application.h"

using namespace ts;

namespace {

std::string NameOf(HWND h) {
  IAccessible* accessible = nullptr;
  if (::AccessibleObjectFromWindow(h, static_cast<DWORD>(OBJID_CLIENT), __uuidof(IAccessible),
                                   reinterpret_cast<void**>(&accessible)) != S_OK)
    return "(no accessible object)";
  VARIANT self;
  ::VariantInit(&self);
  self.vt = VT_I4;
  self.lVal = CHILDID_SELF;
  BSTR name = nullptr;
  std::string out;
  if (accessible->get_accName(self, &name) == S_OK && name) {
    std::u16string text(name, name + ::SysStringLen(name));
    out = Utf16ToUtf8(text);
  }
  ::SysFreeString(name);
  accessible->Release();
  return out;
}

TEST(WineErrorBox, IsTheSystemsOwnBoxWhoseTextAndButtonAScreenReaderFinds) {
  TApplication app;
  app.SetTitle("text snap for pinleaf online");
  // What a screen reader sees of the box, read from another thread while the
  // box waits for its answer; then OK is pressed as a user would.
  std::atomic<bool> found{false};
  std::string className, boxName;
  std::vector<std::string> childNames;
  bool ownerDrawn = false;
  std::thread reader([&] {
    ::CoInitialize(nullptr);
    HWND box = nullptr;
    for (int i = 0; i < 500 && !box; ++i) {
      box = ::FindWindowW(L"#32770", L"text snap for pinleaf online");
      if (!box) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    if (box) {
      found = true;
      wchar_t cls[64] = {};
      ::GetClassNameW(box, cls, 64);
      className = Utf16ToUtf8(std::u16string(cls, cls + wcslen(cls)));
      boxName = NameOf(box);
      for (HWND c = ::GetWindow(box, GW_CHILD); c; c = ::GetWindow(c, GW_HWNDNEXT)) {
        if (!::IsWindowVisible(c)) continue;
        LONG style = ::GetWindowLongW(c, GWL_STYLE);
        wchar_t childClass[64] = {};
        ::GetClassNameW(c, childClass, 64);
        if (_wcsicmp(childClass, L"Static") == 0 && (style & SS_TYPEMASK) == SS_OWNERDRAW) ownerDrawn = true;
        if (_wcsicmp(childClass, L"Button") == 0 && (style & BS_TYPEMASK) == BS_OWNERDRAW) ownerDrawn = true;
        std::string name = NameOf(c);
        if (!name.empty()) childNames.push_back(name);
      }
      ::PostMessageW(box, WM_COMMAND, IDOK, 0);
    }
    ::CoUninitialize();
  });
  app.ShowException("Socket Error # 10061\r\nConnection refused");
  reader.join();
  ASSERT_TRUE(found) << "no system message box appeared";
  EXPECT_EQ(className, "#32770") << "the system's dialog class";
  EXPECT_EQ(boxName, "text snap for pinleaf online") << "the box is named by its caption";
  EXPECT_NE(std::find(childNames.begin(), childNames.end(), "Socket Error # 10061\r\nConnection refused."),
            childNames.end())
      << "the text, with its full stop, is read from the box";
  EXPECT_NE(std::find(childNames.begin(), childNames.end(), "OK"), childNames.end());
  EXPECT_FALSE(ownerDrawn) << "nothing in the box is drawn by the program";
}

}  // namespace
