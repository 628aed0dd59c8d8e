// The settings window over the real Windows controls, at the dpi its Wine
// prefix runs at (tests/app/win32/dpi_layout.sh runs these cases at 96, 120,
// 144 and 192 dpi and says which in TS_EXPECT_DPI): every text fits its
// control as drawn with the control's own font, no two controls overlap, the
// tray icon is the resource's image of the notification area's size; screen
// readers get a name for every control, Tab walks them in reading order, the
// focus shows and Enter presses OK; the program declares its dpi awareness.
#include <gtest/gtest.h>
#include <windows.h>
// after windows.h, which they need
#include <oleacc.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "app/form1.h"
#include "platform/input.h"
#include "runtime/codepage.h"
#include "tests/support/scratch.h"
#include "ui/application.h"

using namespace ts;

namespace {

std::string& NextSettingsPath() {
  static std::string path;
  return path;
}

class TTestForm1 : public TForm1 {
public:
  explicit TTestForm1(TComponent* owner) : TForm1(owner, NextSettingsPath()) {}
};

std::string Utf8Of(const std::wstring& w) {
  std::u16string u(w.begin(), w.end());
  return Utf16ToUtf8(u);
}

std::wstring TextOf(HWND h) {
  std::wstring text(static_cast<size_t>(::GetWindowTextLengthW(h)) + 1, L'\0');
  text.resize(static_cast<size_t>(::GetWindowTextW(h, text.data(), static_cast<int>(text.size()))));
  return text;
}

std::wstring ClassOf(HWND h) {
  wchar_t name[64] = {};
  ::GetClassNameW(h, name, 64);
  return name;
}

// A system metric at a dpi, where the system can say it.
int MetricAt(int index, UINT dpi) {
  using Fn = int(WINAPI*)(int, UINT);
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wcast-function-type"
  static Fn fn = reinterpret_cast<Fn>(::GetProcAddress(::GetModuleHandleW(L"user32.dll"), "GetSystemMetricsForDpi"));
#pragma GCC diagnostic pop
  return fn ? fn(index, dpi) : ::MulDiv(::GetSystemMetrics(index), static_cast<int>(dpi), 96);
}

// The window's dpi as the system tells it (Windows 10 and Wine).
UINT DpiOf(HWND h) {
  using Fn = UINT(WINAPI*)(HWND);
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wcast-function-type"
  static Fn fn = reinterpret_cast<Fn>(::GetProcAddress(::GetModuleHandleW(L"user32.dll"), "GetDpiForWindow"));
#pragma GCC diagnostic pop
  return fn ? fn(h) : 96;
}

// The sizes of the images an icon group resource holds.
std::vector<int> IconSizesIn(HMODULE module) {
  std::vector<int> sizes;
  HRSRC group = ::FindResourceW(module, L"MAINICON", reinterpret_cast<LPCWSTR>(RT_GROUP_ICON));
  if (!group) return sizes;
  const auto* bytes = static_cast<const BYTE*>(::LockResource(::LoadResource(module, group)));
  int count = bytes[4] | (bytes[5] << 8);
  for (int i = 0; i < count; ++i) {
    int width = bytes[6 + 14 * i];  // GRPICONDIRENTRY: 14 bytes, the width first (0 for 256)
    sizes.push_back(width == 0 ? 256 : width);
  }
  return sizes;
}

class WineSettingsWindow : public ::testing::Test {
protected:
  void SetUp() override {
    dir = testscratch::CaseFolder("textsnap-settings");
    NextSettingsPath() = (dir / "ini.ini").string();
    std::ofstream(NextSettingsPath(), std::ios::binary) << "[globalsetting]\r\nini_online_id=demo\r\n[setting]"
                                                           "\r\nhotkey=120\r\nhotkey_shift=6\r\nhotkey_autocopy=1\r\n";
    app = new TApplication;
    app->ShowMainForm = false;
    app->SetTitle(kApplicationTitle);
    app->OnException = [this](TObject*, const std::exception& e) { errors.push_back(e.what()); };
    form = app->CreateForm<TTestForm1>();
    if (const char* expected = std::getenv("TS_EXPECT_DPI")) expectedDpi = std::atoi(expected);
  }
  void TearDown() override {
    delete app;
    std::error_code ignored;
    std::filesystem::remove_all(dir, ignored);
  }
  void Pump(int milliseconds) {
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
    while (std::chrono::steady_clock::now() < end) {
      app->ProcessMessages();
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
  }
  // The visible controls of the window, in z-order, with their names.
  std::vector<std::pair<HWND, std::string>> Controls() {
    std::map<HWND, std::string> names;
    for (int i = 0; i < form->ComponentCount(); ++i)
      if (auto* c = dynamic_cast<TWinControl*>(form->Components(i)))
        names[reinterpret_cast<HWND>(c->Handle())] = c->Name();
    std::vector<std::pair<HWND, std::string>> out;
    for (HWND h = ::GetWindow(Hwnd(), GW_CHILD); h; h = ::GetWindow(h, GW_HWNDNEXT))
      if (::IsWindowVisible(h)) out.emplace_back(h, names.count(h) ? names[h] : Utf8Of(ClassOf(h)));
    return out;
  }
  HWND Hwnd() const { return reinterpret_cast<HWND>(form->Handle()); }
  static HWND H(TWinControl* c) { return reinterpret_cast<HWND>(c->Handle()); }

  std::filesystem::path dir;
  TApplication* app = nullptr;
  TTestForm1* form = nullptr;
  std::vector<std::string> errors;
  int expectedDpi = 0;
};

TEST_F(WineSettingsWindow, EveryTextFitsItsControlAndNoTwoControlsOverlap) {
  form->Show();
  form->Edit2->SetText("demo-password");
  form->Edit4->SetText("255");  // the widest key code the box holds
  Pump(300);
  ASSERT_TRUE(::IsWindowVisible(Hwnd()));
  const UINT dpi = DpiOf(Hwnd());
  if (expectedDpi) {
    ASSERT_EQ(static_cast<int>(dpi), expectedDpi) << "the prefix's LogPixels took effect";
  }
  std::printf("settings window at %u dpi\n", dpi);
  EXPECT_EQ(form->Dpi(), static_cast<int>(dpi)) << "laid out for its monitor";
  RECT client{};
  ::GetClientRect(Hwnd(), &client);
  EXPECT_EQ(client.right, TWinControl::ScaleLength(487, static_cast<int>(dpi)));
  EXPECT_EQ(client.bottom, TWinControl::ScaleLength(442, static_cast<int>(dpi)));

  auto controls = Controls();
  ASSERT_EQ(controls.size(), 17u) << "6 labels, 4 edits, 3 buttons, 4 check boxes";
  const int edge = MetricAt(SM_CXEDGE, dpi);
  const int checkGlyph = MetricAt(SM_CXMENUCHECK, dpi);
  for (auto& [h, name] : controls) {
    SCOPED_TRACE(name);
    RECT box{};
    ::GetClientRect(h, &box);
    std::wstring text = TextOf(h), cls = ClassOf(h);
    HDC dc = ::GetDC(h);
    auto font = reinterpret_cast<HFONT>(::SendMessageW(h, WM_GETFONT, 0, 0));
    ASSERT_NE(font, nullptr) << "every control has its own font";
    HGDIOBJ old = ::SelectObject(dc, font);
    TEXTMETRICW metrics{};
    ::GetTextMetricsW(dc, &metrics);
    SIZE extent{};
    ::GetTextExtentPoint32W(dc, text.c_str(), static_cast<int>(text.size()), &extent);
    RECT needed{0, 0, box.right, 0};
    ::DrawTextW(dc, text.c_str(), static_cast<int>(text.size()), &needed,
                DT_CALCRECT | DT_WORDBREAK | DT_NOPREFIX | DT_EXPANDTABS);
    ::SelectObject(dc, old);
    ::ReleaseDC(h, dc);
    LONG style = ::GetWindowLongW(h, GWL_STYLE);
    if (_wcsicmp(cls.c_str(), L"Static") == 0) {
      // As the label draws it: broken into lines at its width.
      EXPECT_LE(needed.right, box.right) << Utf8Of(text) << " is wider than its label";
      EXPECT_LE(needed.bottom, box.bottom) << Utf8Of(text) << " is cut at the label's bottom";
    } else if (_wcsicmp(cls.c_str(), L"Edit") == 0) {
      EXPECT_LE(metrics.tmHeight, box.bottom) << "a line of the edit's font is cut";
      if (style & ES_READONLY) {
        EXPECT_LE(extent.cx + 4, box.right) << "the key code is cut";
      }
    } else if ((style & BS_TYPEMASK) == BS_AUTOCHECKBOX) {
      EXPECT_LE(checkGlyph + ::MulDiv(4, static_cast<int>(dpi), 96) + extent.cx, box.right)
          << Utf8Of(text) << " does not fit beside the box";
      EXPECT_LE(extent.cy, box.bottom);
    } else {
      // A push button draws its text inside its raised frame.
      EXPECT_LE(extent.cx + 4 * edge, box.right) << Utf8Of(text) << " is wider than its button";
      EXPECT_LE(extent.cy + 4 * edge, box.bottom);
    }
  }

  // Inside the window, and never over one another.
  std::vector<RECT> rects;
  for (auto& [h, name] : controls) {
    RECT r{};
    ::GetWindowRect(h, &r);
    ::MapWindowPoints(HWND_DESKTOP, Hwnd(), reinterpret_cast<POINT*>(&r), 2);
    EXPECT_TRUE(r.left >= 0 && r.top >= 0 && r.right <= client.right && r.bottom <= client.bottom)
        << name << " reaches out of the window";
    rects.push_back(r);
  }
  for (size_t i = 0; i < rects.size(); ++i)
    for (size_t j = i + 1; j < rects.size(); ++j) {
      RECT both{};
      EXPECT_FALSE(::IntersectRect(&both, &rects[i], &rects[j]))
          << controls[i].second << " and " << controls[j].second << " overlap";
    }

  // The tray icon: the resource's own image at the size the notification
  // area shows at this dpi.
  const int small = MetricAt(SM_CXSMICON, dpi);
  ICONINFO info{};
  ASSERT_TRUE(::GetIconInfo(reinterpret_cast<HICON>(form->TrayIcon1->NotifyRecord().hIcon), &info));
  BITMAP bits{};
  ::GetObjectW(info.hbmColor ? info.hbmColor : info.hbmMask, sizeof bits, &bits);
  if (info.hbmColor) ::DeleteObject(info.hbmColor);
  ::DeleteObject(info.hbmMask);
  EXPECT_EQ(bits.bmWidth, small);
  std::vector<int> sizes = IconSizesIn(::GetModuleHandleW(nullptr));
  EXPECT_NE(std::find(sizes.begin(), sizes.end(), small), sizes.end()) << "drawn at that size, not stretched";

  // Held on screen when asked, so that a picture can be taken of it.
  if (const char* hold = std::getenv("TS_HOLD_MS")) {
    form->Edit4->SetText("120");
    std::printf("settings window shown\n");
    std::fflush(stdout);
    Pump(std::atoi(hold));
  }
  form->Hide();
  EXPECT_TRUE(errors.empty());
}

TEST_F(WineSettingsWindow, ScreenReadersNameEveryControlAndTabReadsTheWindowInOrder) {
  form->Show();
  Pump(300);
  ASSERT_EQ(::CoInitialize(nullptr), S_OK);
  struct Expected {
    TWinControl* control;
    std::string name;
    long role;
  };
  const std::vector<Expected> expected = {
      {form->Button4, "CREATE ID / 新規アカウント作成", ROLE_SYSTEM_PUSHBUTTON},
      {form->Edit3, "url", ROLE_SYSTEM_TEXT},
      {form->Button3, "Default", ROLE_SYSTEM_PUSHBUTTON},
      {form->Edit1, "ID", ROLE_SYSTEM_TEXT},
      {form->Edit2, "PASSWORD", ROLE_SYSTEM_TEXT},
      {form->CheckBox4, "Ctrl + C （ショートカット） を自動で押してから送信する", ROLE_SYSTEM_CHECKBUTTON},
      {form->Edit4, "hotkey code: ショートカットにしたいキーを押してください", ROLE_SYSTEM_TEXT},
      {form->CheckBox1, "alt", ROLE_SYSTEM_CHECKBUTTON},
      {form->CheckBox2, "ctl", ROLE_SYSTEM_CHECKBUTTON},
      {form->CheckBox3, "shift", ROLE_SYSTEM_CHECKBUTTON},
      {form->Button2, "OK", ROLE_SYSTEM_PUSHBUTTON},
  };
  // The dialog manager's walk, as Tab takes it, from the first stop round.
  HWND at = ::GetNextDlgTabItem(Hwnd(), nullptr, FALSE);
  RECT previous{-1, -1, -1, -1};
  for (const Expected& e : expected) {
    SCOPED_TRACE(e.control->Name());
    ASSERT_EQ(at, H(e.control)) << "Tab reached " << Utf8Of(TextOf(at)) << " instead";
    // Reading order: never back up and to the left (OK, right of the
    // column of check boxes, comes after them).
    RECT r{};
    ::GetWindowRect(at, &r);
    EXPECT_TRUE(r.top > previous.top || r.left > previous.left);
    previous = r;

    IAccessible* accessible = nullptr;
    ASSERT_EQ(::AccessibleObjectFromWindow(at, static_cast<DWORD>(OBJID_CLIENT), __uuidof(IAccessible),
                                           reinterpret_cast<void**>(&accessible)),
              S_OK);
    VARIANT self;
    ::VariantInit(&self);
    self.vt = VT_I4;
    self.lVal = CHILDID_SELF;
    BSTR name = nullptr;
    EXPECT_EQ(accessible->get_accName(self, &name), S_OK);
    EXPECT_EQ(name ? Utf8Of(std::wstring(name, ::SysStringLen(name))) : std::string(), e.name);
    ::SysFreeString(name);
    // The system's own object, only named (Wine's oleacc knows the roles
    // of edits; buttons it reports as plain clients).
    VARIANT role;
    ::VariantInit(&role);
    EXPECT_EQ(accessible->get_accRole(self, &role), S_OK);
    EXPECT_EQ(role.vt, VT_I4);
    if (e.role == ROLE_SYSTEM_TEXT) {
      EXPECT_EQ(role.lVal, ROLE_SYSTEM_TEXT);
    }
    accessible->Release();
    at = ::GetNextDlgTabItem(Hwnd(), at, FALSE);
  }
  EXPECT_EQ(at, H(form->Button4)) << "and round again";

  // The focus shows from the start (the window was opened without a key).
  LRESULT state = ::SendMessageW(Hwnd(), WM_QUERYUISTATE, 0, 0);
  EXPECT_EQ(state & UISF_HIDEFOCUS, 0) << "focus rectangles are hidden";
  // OK is the default button: its look, and Enter in a box presses it.
  LRESULT def = ::SendMessageW(Hwnd(), DM_GETDEFID, 0, 0);
  EXPECT_EQ(HIWORD(def), DC_HASDEFID);
  EXPECT_EQ(LOWORD(def), ::GetDlgCtrlID(H(form->Button2)));
  EXPECT_EQ(::GetWindowLongW(H(form->Button2), GWL_STYLE) & BS_TYPEMASK, BS_DEFPUSHBUTTON);
  form->Hide();
  ::CoUninitialize();

  ::PostMessageW(H(form->Edit1), WM_KEYDOWN, VK_RETURN, 0);
  EXPECT_EQ(form->ShowModal(), mrOk) << "Enter in the ID box";
  EXPECT_TRUE(errors.empty());
  platform::UnregisterGlobalHotKey(form->Handle(), kHotKeyId);
}

TEST_F(WineSettingsWindow, TheProgramDeclaresPerMonitorDpiAwarenessAndCarriesEveryIconSize) {
  std::wstring exe = L"Z:" TS_BINARY_DIR "/app/textsnap.exe";
  HMODULE program = ::LoadLibraryExW(exe.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
  ASSERT_NE(program, nullptr);
  HRSRC found = ::FindResourceW(program, MAKEINTRESOURCEW(1), reinterpret_cast<LPCWSTR>(RT_MANIFEST));
  ASSERT_NE(found, nullptr) << "no manifest";
  std::string manifest(static_cast<const char*>(::LockResource(::LoadResource(program, found))),
                       ::SizeofResource(program, found));
  EXPECT_NE(manifest.find("<dpiAwareness xmlns=\"http://schemas.microsoft.com/SMI/2016/WindowsSettings\">PerMonitorV2"),
            std::string::npos);
  EXPECT_NE(manifest.find(">true/pm</dpiAware>"), std::string::npos) << "per monitor before Windows 10 too";
  std::vector<int> sizes = IconSizesIn(program);
  for (int size : {16, 20, 24, 28, 32, 40, 48, 64, 96, 256})
    EXPECT_NE(std::find(sizes.begin(), sizes.end(), size), sizes.end()) << size << " pixels";
  ::FreeLibrary(program);
}

}  // namespace
