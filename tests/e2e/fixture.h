// Shared by the end-to-end suites: the real window over the headless desktop
// and the note service on loopback, with a scratch folder for its files.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <thread>

#include "app/form1.h"
#include "app/settings.h"
#include "platform/headless/control.h"
#include "platform/headless/desktop.h"
#include "runtime/codepage.h"
#include "runtime/inifile.h"
#include "service/server.h"
#include "service/store.h"
#include "tests/support/scratch.h"
#include "ui/application.h"

namespace e2e {

using namespace ts;
namespace hl = platform::headless;

constexpr unsigned kHotKeyCode = 120;  // F9, with Ctrl+Shift
constexpr unsigned kHotKeyMods = 6;

class SnapEndToEnd : public ::testing::Test {
protected:
  void SetUp() override {
    hl::ResetDesktop();
    hl::SetAnsiCodePage(932);
    hl::SetWaitLimit(2000);
    hl::SetTickCount(1000000);
    dir_ = testscratch::CaseFolder("textsnap-e2e");
    store_ = std::make_unique<pinleaf::TNoteStore>((dir_ / "notes.db").string());
    StartServer();
  }
  void TearDown() override {
    app_.reset();
    StopServer();
    store_.reset();
    hl::UseRealClock();
    hl::ResetDesktop();
    std::error_code ignored;
    std::filesystem::remove_all(dir_, ignored);
  }

  // With `settings.tls` the service speaks HTTPS only, and the settings file
  // that Start writes gives an https URL.
  void StartServer(int port = 0, pinleaf::TServerSettings settings = {}) {
    scheme_ = settings.tls.cert.empty() ? "http" : "https";
    server_ = std::make_unique<pinleaf::TPinleafServer>(*store_, "/pinleaf2", std::move(settings));
    server_->log = [this](const std::string& line) {
      std::lock_guard<std::mutex> hold(logLock_);
      log_.push_back(line);
    };
    port_ = server_->Bind("127.0.0.1", port);
    ASSERT_GT(port_, 0);
    thread_ = std::thread([this] { server_->Serve(); });
  }
  void StopServer() {
    if (!server_) return;
    server_->Stop();
    if (thread_.joinable()) thread_.join();
    server_.reset();
  }

  // The settings file, written as the settings window would (plus `extra`
  // lines by hand, and the pinned certificate when one is given), then the
  // program's window.
  TForm1& Start(const std::string& id, const std::string& password, bool autoCopy = false,
                const std::string& extra = "", const std::string& certSha256 = "") {
    TSettings s;
    s.url = scheme_ + "://127.0.0.1:" + std::to_string(port_) + "/pinleaf2";
    s.id = Utf8ToSystem(id);
    s.password = Utf8ToSystem(password);
    s.hotkeyCode = kHotKeyCode;
    s.hotkeyModifiers = kHotKeyMods;
    s.autoCopy = autoCopy;
    SaveSettings((dir_ / "ini.ini").string(), s);
    if (!extra.empty()) std::ofstream(dir_ / "ini.ini", std::ios::binary | std::ios::app) << extra;
    if (!certSha256.empty())
      TIniFile((dir_ / "ini.ini").string()).WriteString("globalsetting", "ini_online_cert_sha256", certSha256);
    form_ = nullptr;
    app_.reset();
    app_ = std::make_unique<TApplication>();
    app_->ShowMainForm = false;
    app_->SetTitle(kApplicationTitle);
    // The main form, as the program's own start makes it: Quit ends the program.
    form_ = app_->CreateForm<TForm1>((dir_ / "ini.ini").string());
    return *form_;
  }

  // The user presses the hotkey somewhere; the message reaches the window.
  void Press() {
    hl::ClearPlayedSounds();
    ASSERT_TRUE(hl::PressHotKey(kHotKeyMods, kHotKeyCode));
    app_->ProcessMessages();
  }
  void Copy(const std::string& utf8) { hl::SetClipboardUnicodeText(Utf8ToUtf16(utf8)); }

  // Balloon titles (and texts) sent to the shell since the last call.
  std::vector<std::string> Balloons() {
    std::vector<std::string> out;
    for (auto& call : hl::NotifyIconCalls())
      if ((call.data.uFlags & platform::nif::Info) && call.data.szInfoTitle[0]) {
        // The icon kind without the no-sound flag; a blank text is the shell's empty text.
        std::string b = std::to_string(call.data.dwInfoFlags & 0x0F) + " " + call.data.szInfoTitle;
        if (std::string(call.data.szInfo) != " ") b += " [" + SystemToUtf8(call.data.szInfo) + "]";
        out.push_back(b);
      }
    hl::ClearNotifyIconCalls();
    return out;
  }
  size_t CuesPlayed() const { return hl::PlayedSounds().size(); }
  std::vector<pinleaf::TStoredNote> Notes(const std::string& user) {
    auto u = store_->CheckLogin(user, passwords_[user]);
    return u ? store_->ListNotes(u->id, 100, 0) : std::vector<pinleaf::TStoredNote>{};
  }
  // Requests the service logged whose line begins with `prefix` ("POST /pinleaf2/posts/addpinleaf").
  int Requests(const std::string& prefix) {
    // The service logs a request once its answer has left.
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    std::lock_guard<std::mutex> hold(logLock_);
    int n = 0;
    for (auto& line : log_)
      if (line.rfind(prefix, 0) == 0) ++n;
    return n;
  }
  void AddUser(const std::string& name, const std::string& password) {
    ASSERT_TRUE(store_->CreateUser(name, password));
    passwords_[name] = password;
  }

  std::filesystem::path dir_;
  std::unique_ptr<pinleaf::TNoteStore> store_;
  std::unique_ptr<pinleaf::TPinleafServer> server_;
  std::thread thread_;
  int port_ = 0;
  std::string scheme_ = "http";
  std::unique_ptr<TApplication> app_;
  TForm1* form_ = nullptr;
  std::map<std::string, std::string> passwords_;
  std::mutex logLock_;
  std::vector<std::string> log_;
};

}  // namespace e2e
