// Nothing lost: notes the service did not take are kept beside the settings
// and delivered later, by the real window (headless desktop) against the note
// service on loopback, the clock driven by the test.
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <functional>

#include "app/notefile.h"
#include "http/http.h"
#include "platform/file.h"
#include "tests/e2e/fixture.h"
#include "tests/support/process.h"
#include "ui/clipboard.h"

using namespace ts;
namespace hl = platform::headless;

namespace {

class OutboxEndToEnd : public e2e::SnapEndToEnd {
protected:
  // Time passes in steps; the message loop runs after each (timers fire there).
  void Wait(uint32_t ms, uint32_t step = 500) {
    for (uint32_t t = 0; t < ms; t += step) {
      hl::AdvanceClock(step);
      app_->ProcessMessages();
    }
  }
  std::vector<TNoteRecord> OutboxFile() {
    auto bytes = platform::ReadWholeFile((dir_ / "outbox.dat").string());
    return bytes ? DecodeNoteRecords(*bytes).notes : std::vector<TNoteRecord>{};
  }
  // The tray menu as it opens now, and a choice from it by the captions on
  // the way to the item ("Recent snaps", an entry, "Discard").
  std::vector<platform::MenuEntry> OpenTrayMenu(const std::vector<std::string>& path = {}) {
    hl::SetPopupHandler([path](const hl::PopupRecord& r) {
      const std::vector<platform::MenuEntry>* level = &r.entries;
      int command = 0;
      for (auto& caption : path) {
        auto it = std::find_if(level->begin(), level->end(), [&](auto& e) { return e.caption == caption; });
        if (it == level->end()) return 0;
        command = it->command;
        level = &it->submenu;
      }
      return command;
    });
    auto record = hl::TrayIcons().at(0);
    platform::PostToWindow(record.hWnd, record.uCallbackMessage, record.uID, platform::wm::RButtonUp);
    app_->ProcessMessages();
    hl::SetPopupHandler(nullptr);
    return hl::Popups().back().entries;
  }
  static const platform::MenuEntry* Entry(const std::vector<platform::MenuEntry>& entries, const std::string& caption) {
    for (auto& e : entries)
      if (e.caption == caption) return &e;
    return nullptr;
  }
  std::string UrlOf(int port) const { return "http://127.0.0.1:" + std::to_string(port) + "/pinleaf2"; }
  // One snap of `text` by a new account, whose settings point at the service on `port`.
  TForm1& SnapTo(int port, const std::string& user, const std::string& text) {
    AddUser(user, "pw");
    TForm1& form = Start(user, "pw");
    form.Edit3->SetText(UrlOf(port));
    Copy(text);
    Press();
    return form;
  }
};

TEST_F(OutboxEndToEnd, KeptWhileTheServiceIsDownThenDeliveredInOrderAfterARestart) {
  AddUser("kim", "pw");
  TForm1* form = &Start("kim", "pw");
  const int port = port_;
  StopServer();

  Copy("first kept\r\n日本語 😀");
  Press();
  EXPECT_EQ(Balloons(), (std::vector<std::string>{"1 start", "2 kept: 1 waiting [sent when the service answers]"}));
  ASSERT_EQ(hl::MessageBoxes().size(), 1u) << "the error is still shown";
  auto kept = OutboxFile();
  ASSERT_EQ(kept.size(), 1u) << "on disk before the user is told";
  EXPECT_EQ(kept[0].text, "first kept\r\n日本語 😀");
  EXPECT_EQ(kept[0].state, TNoteState::nsWaiting);
  EXPECT_EQ(kept[0].paperId, "20260101000000000") << "the time of the snap (the test clock starts at midnight)";

  // The next press re-arms the trigger; a second note, then the same one again.
  Press();
  hl::AdvanceClock(6000);
  Copy("second kept");
  Press();
  Press();
  hl::AdvanceClock(6000);
  Press();
  EXPECT_EQ(Balloons(), (std::vector<std::string>{"3 wait 1 sec.", "1 start",
                                                  "2 kept: 2 waiting [sent when the service answers]", "3 wait 1 sec.",
                                                  "1 start", "2 kept: 2 waiting [sent when the service answers]"}));
  kept = OutboxFile();
  ASSERT_EQ(kept.size(), 2u) << "a note that already waits is not kept twice";
  EXPECT_EQ(kept[1].text, "second kept");
  auto menu = OpenTrayMenu();
  ASSERT_NE(Entry(menu, "Send waiting notes (2)"), nullptr);
  const platform::MenuEntry* recent = Entry(menu, "Recent snaps");
  ASSERT_NE(recent, nullptr);
  ASSERT_EQ(recent->submenu.size(), 2u);
  EXPECT_EQ(recent->submenu[0].caption, "second kept...  (waiting)");

  // The program ends and starts again; then the service comes back.
  form = &Start("kim", "pw");
  StartServer(port);
  Balloons();
  Wait(25000);
  EXPECT_TRUE(Notes("kim").empty()) << "the first try comes about 30 s after the start";
  Wait(10000);
  auto notes = Notes("kim");
  ASSERT_EQ(notes.size(), 2u);
  // Newest first: the oldest note went first, each with its capture time.
  EXPECT_EQ(notes[1].body, kept[0].text);
  EXPECT_EQ(notes[1].paper_id, kept[0].paperId);
  EXPECT_EQ(notes[0].body, kept[1].text);
  EXPECT_EQ(notes[0].paper_id, kept[1].paperId);
  EXPECT_TRUE(OutboxFile().empty());
  EXPECT_EQ(form->Outbox().Waiting(), 0u);
  EXPECT_EQ(Balloons(), (std::vector<std::string>{"1 sent: 2 kept notes"}));
  EXPECT_EQ(Requests("POST /pinleaf2/posts/addpinleaf"), 2);

  // The history says so, and gives a text back.
  menu = OpenTrayMenu({"Recent snaps", "second kept...  (sent)"});
  EXPECT_EQ(Entry(menu, "Send waiting notes (0)"), nullptr) << "hidden while nothing waits";
  EXPECT_EQ(Clipboard().AsUnicodeText(), u"second kept");
  OpenTrayMenu({"Open notes page"});
  ASSERT_FALSE(hl::ShellOpens().empty());
  EXPECT_EQ(hl::ShellOpens().back().file, UrlOf(port) + "/notes");
}

TEST_F(OutboxEndToEnd, NoDeliveryWhileASnapRunsAndTheSnapsSuccessSendsTheRestAtOnce) {
  AddUser("max", "pw");
  // Without the history on disk; the outbox is kept regardless.
  TForm1& form = Start("max", "pw", /*autoCopy=*/true, "history=0\r\n");
  const int port = port_;
  StopServer();
  Copy("kept first");
  Press();
  ASSERT_EQ(OutboxFile().size(), 1u);
  Press();  // re-arms
  StartServer(port);
  // The copy step of the next snap pumps messages after the retry is due.
  bool ctrl = false;
  hl::SetKeyStrokeHook([&ctrl](const hl::KeyStroke& k) {
    if (k.virtualKey == 162) ctrl = (k.flags & 2) == 0;
    if (k.virtualKey == 67 && (k.flags & 2) == 0 && ctrl) {
      hl::AdvanceClock(60000);
      hl::SetClipboardUnicodeText(u"snapped meanwhile");
    }
  });
  Press();
  hl::SetKeyStrokeHook(nullptr);
  auto notes = Notes("max");
  ASSERT_EQ(notes.size(), 1u) << "the kept note did not go inside the snap";
  EXPECT_EQ(notes[0].body, "snapped meanwhile");
  Wait(500, 100);
  notes = Notes("max");
  ASSERT_EQ(notes.size(), 2u) << "right after a stored snap";
  EXPECT_EQ(notes[0].body, "kept first");
  EXPECT_EQ(form.Outbox().Count(), 0u);
  EXPECT_FALSE(std::filesystem::exists(dir_ / "history.dat"));
  EXPECT_EQ(form.Outbox().Recent(10).size(), 2u) << "the menu still shows this session's snaps";
}

TEST_F(OutboxEndToEnd, ALoginRefusalHoldsDeliveryUntilTheSettingsChangeARefusedNoteWaitsForTheUser) {
  AddUser("lee", "pw");
  TForm1& form = Start("lee", "wrong");
  Copy("note A");
  Press();
  EXPECT_EQ(Balloons(), (std::vector<std::string>{"1 start", "3 cannot login! [kept: 1 waiting]"}));
  EXPECT_TRUE(form.DeliveryHeld());
  const int logins = Requests("POST /pinleaf2/users/login");
  Wait(30 * 60 * 1000, 5000);
  EXPECT_EQ(Requests("POST /pinleaf2/users/login"), logins) << "no retry with the refused password";
  EXPECT_TRUE(Notes("lee").empty());

  // The settings window: the right password, then OK.
  bool typed = false;
  hl::SetIdleHandler([&] {
    if (typed) return false;
    typed = true;
    hl::TypeText(form.Edit2->Handle(), "pw");
    hl::ClickControl(form.Button2->Handle());
    return true;
  });
  form.setting1Click(nullptr);
  hl::SetIdleHandler(nullptr);
  Wait(1000, 100);
  auto notes = Notes("lee");
  ASSERT_EQ(notes.size(), 1u) << "delivered at once after the change";
  EXPECT_EQ(notes[0].body, "note A");
  EXPECT_FALSE(form.DeliveryHeld());

  // Over the service's limit for one note: refused, kept with the reason,
  // never tried again on its own.
  hl::AdvanceClock(6000);
  const std::string huge(1024 * 1024 + 1, 'h');
  Copy(huge);
  Press();
  Balloons();
  auto kept = OutboxFile();
  ASSERT_EQ(kept.size(), 1u);
  EXPECT_EQ(kept[0].state, TNoteState::nsRefused);
  EXPECT_EQ(kept[0].reason, "cannot send data.");
  const int uploads = Requests("POST /pinleaf2/posts/addpinleaf");
  Wait(30 * 60 * 1000, 5000);
  EXPECT_EQ(Requests("POST /pinleaf2/posts/addpinleaf"), uploads);

  // The user takes its text back, then lets it go.
  const std::string caption = std::string(20, 'h') + "...  (refused)";
  auto menu = OpenTrayMenu({"Recent snaps", caption, "Copy to clipboard"});
  EXPECT_EQ(Clipboard().AsUnicodeText().size(), huge.size());
  EXPECT_EQ(Entry(menu, "Send waiting notes (0)"), nullptr) << "a refused note does not wait for delivery";
  OpenTrayMenu({"Recent snaps", caption, "Discard"});
  EXPECT_TRUE(OutboxFile().empty());
  EXPECT_EQ(Entry(Entry(OpenTrayMenu(), "Recent snaps")->submenu, caption), nullptr);
}

// A service that accepts and hangs up at once: every try fails after the connect.
class HangUpPeer {
public:
  HangUpPeer() {
    fd_ = testprocess::ListenOnLoopback(&port_);
    thread_ = std::thread([this] {
      for (;;) {
        int c = ::accept(fd_, nullptr, nullptr);
        if (c < 0) return;
        if (stop_) {
          ::close(c);
          return;
        }
        std::string answer;
        std::function<void()> once;
        {
          std::lock_guard<std::mutex> hold(lock_);
          ticks_.push_back(platform::GetTickCount());
          once.swap(once_);
          if (silent_) held_.push_back(c);  // taken, and never answered
          answer = answer_;
        }
        if (once) once();
        if (silent_) continue;
        if (!answer.empty()) {
          // The request's head, then the answer and the end of the connection.
          std::string head;
          char buffer[4096];
          ssize_t got;
          while (head.find("\r\n\r\n") == std::string::npos && (got = ::recv(c, buffer, sizeof buffer, 0)) > 0)
            head.append(buffer, static_cast<size_t>(got));
          ::send(c, answer.data(), answer.size(), MSG_NOSIGNAL);
          ::shutdown(c, SHUT_WR);
        }
        ::close(c);
      }
    });
  }
  ~HangUpPeer() {
    stop_ = true;
    ::shutdown(fd_, SHUT_RDWR);
    ::close(fd_);
    thread_.join();
    for (int c : held_) ::close(c);
  }
  int Port() const { return port_; }
  // From now on connections are taken and left without an answer.
  void FallSilent() {
    std::lock_guard<std::mutex> hold(lock_);
    silent_ = true;
  }
  // From now on each request is answered with `statusLine` and an empty body.
  void AnswerWith(const std::string& statusLine) {
    std::lock_guard<std::mutex> hold(lock_);
    answer_ = statusLine + "\r\nContent-Length: 0\r\nConnection: close\r\n\r\n";
  }
  // Runs `action` while the next connection is held, before it is answered.
  void AtNextConnection(std::function<void()> action) {
    std::lock_guard<std::mutex> hold(lock_);
    once_ = std::move(action);
  }
  // The clock's tick at each connection.
  std::vector<uint32_t> Ticks() {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    std::lock_guard<std::mutex> hold(lock_);
    return ticks_;
  }

private:
  int fd_ = -1, port_ = 0;
  std::atomic<bool> stop_{false};
  std::atomic<bool> silent_{false};
  std::string answer_;
  std::function<void()> once_;
  std::vector<int> held_;
  std::mutex lock_;
  std::vector<uint32_t> ticks_;
  std::thread thread_;
};

TEST_F(OutboxEndToEnd, AServiceThatStaysDownIsTriedWithGrowingPausesNeverMoreThanFifteenMinutesApart) {
  HangUpPeer peer;
  SnapTo(peer.Port(), "ned", "patient note");
  ASSERT_EQ(OutboxFile().size(), 1u);
  Wait(2 * 60 * 60 * 1000, 5000);
  auto ticks = peer.Ticks();
  ASSERT_GE(ticks.size(), 8u);
  std::vector<uint32_t> gaps;
  for (size_t i = 1; i < ticks.size(); ++i) gaps.push_back((ticks[i] - ticks[i - 1]) / 1000);
  // About 30 s, then doubling, up to 15 minutes and no further.
  EXPECT_NEAR(gaps[0], 30, 5);
  EXPECT_NEAR(gaps[1], 60, 5);
  EXPECT_NEAR(gaps[2], 120, 5);
  for (size_t i = 3; i < gaps.size(); ++i) {
    EXPECT_GE(gaps[i], gaps[i - 1] - 5) << i;
    EXPECT_LE(gaps[i], 905u) << i;
  }
  EXPECT_NEAR(gaps.back(), 900, 5);
  EXPECT_EQ(OutboxFile().size(), 1u) << "still kept";
}

TEST_F(OutboxEndToEnd, AHotKeyPressedDuringADeliveryRunsItsSnapAfterIt) {
  HangUpPeer peer;
  SnapTo(peer.Port(), "pat", "kept before");
  ASSERT_EQ(OutboxFile().size(), 1u);
  Balloons();
  // The user selects other text and presses the hotkey while the background
  // try (due 30 s later) waits for the service.
  Copy("pressed meanwhile");
  peer.AtNextConnection([] { hl::PressHotKey(e2e::kHotKeyMods, e2e::kHotKeyCode); });
  Wait(31 * 1000, 1000);
  EXPECT_EQ(peer.Ticks().size(), 3u) << "the delivery, then the snap of the press";
  EXPECT_EQ(Balloons(), (std::vector<std::string>{"1 start", "2 kept: 2 waiting [sent when the service answers]"}));
  auto kept = OutboxFile();
  ASSERT_EQ(kept.size(), 2u);
  EXPECT_EQ(kept[1].text, "pressed meanwhile");
}

// A service that takes the connection and never answers (or a half-open
// connection) must not hold the program: the snap ends with the time-out's
// error box and the note waits; the delivery later gives up the same way.
TEST_F(OutboxEndToEnd, ASilentServiceEndsTheSnapAndTheDeliveryAndTheNoteWaits) {
  HangUpPeer peer;
  peer.FallSilent();
  AddUser("sam", "pw");
  TForm1& form = Start("sam", "pw");
  form.Edit3->SetText(UrlOf(peer.Port()));
  // Every conversation has the limits; the test shortens the read limit to
  // spare its own time (the mechanism is the same).
  EXPECT_EQ(form.NetHTTP1->ConnectTimeout, 15000);
  EXPECT_EQ(form.NetHTTP1->ReadTimeout, 30000);
  form.NetHTTP1->ReadTimeout = 300;
  Copy("unanswered note");
  Press();
  EXPECT_EQ(Balloons(), (std::vector<std::string>{"1 start", "2 kept: 1 waiting [sent when the service answers]"}));
  ASSERT_EQ(hl::MessageBoxes().size(), 1u);
  EXPECT_EQ(hl::MessageBoxes()[0].text, "Read Timeout.");
  auto kept = OutboxFile();
  ASSERT_EQ(kept.size(), 1u);
  EXPECT_EQ(kept[0].state, TNoteState::nsWaiting);
  EXPECT_EQ(kept[0].text, "unanswered note");

  // The first try is due after 30 s and meets the same silence.
  Wait(31 * 1000, 1000);
  EXPECT_EQ(peer.Ticks().size(), 2u) << "the delivery reached the silent service";
  EXPECT_EQ(OutboxFile().size(), 1u) << "still kept";
  EXPECT_EQ(Balloons(), std::vector<std::string>{}) << "a background try fails quietly";
}

// While a snap waits for a silent service the tray stays usable: its menu
// opens, the settings window opens and closes with OK, and Quit ends the
// program at once (without the read limit's error box), the note kept.
TEST_F(OutboxEndToEnd, WhileASnapWaitsTheMenuAndSettingsOpenAndQuitEndsAtOnceWithTheNoteKept) {
  HangUpPeer peer;
  peer.FallSilent();
  AddUser("tia", "pw");
  TForm1& form = Start("tia", "pw");
  form.Edit3->SetText(UrlOf(peer.Port()));
  auto tray = hl::TrayIcons().at(0);
  auto openMenu = [tray] {
    platform::PostToWindow(tray.hWnd, tray.uCallbackMessage, tray.uID, platform::wm::RButtonUp);
  };
  std::vector<std::string> chosen = {"Settings...", "Quit"};
  int menus = 0;
  hl::SetPopupHandler([&](const hl::PopupRecord& r) {
    const std::string want = chosen.at(static_cast<size_t>(menus++));
    for (const auto& e : r.entries)
      if (e.caption == want) return e.command;
    return 0;
  });
  bool settingsShown = false;
  std::thread afterSettings;
  hl::SetIdleHandler([&] {
    if (settingsShown || !form.Visible()) return false;
    settingsShown = true;
    EXPECT_TRUE(form.Snapping()) << "the settings window opened inside the waiting snap";
    hl::ClickControl(form.Button2->Handle());
    // The menu again once the window has closed (Quit while it is shown
    // would only close the window).
    afterSettings = std::thread([&] {
      while (form.Visible()) std::this_thread::sleep_for(std::chrono::milliseconds(5));
      openMenu();
    });
    return true;
  });
  // The menu is asked for once the snap's conversation has begun.
  peer.AtNextConnection(openMenu);
  Copy("waiting when the program ends");
  Press();
  if (afterSettings.joinable()) afterSettings.join();
  hl::SetIdleHandler(nullptr);
  hl::SetPopupHandler(nullptr);
  EXPECT_EQ(menus, 2);
  EXPECT_TRUE(settingsShown);
  EXPECT_TRUE(app_->Terminated()) << "Quit ended the program";
  EXPECT_FALSE(form.Snapping());
  EXPECT_TRUE(hl::MessageBoxes().empty()) << "no error box for an ending the user asked for";
  auto kept = OutboxFile();
  ASSERT_EQ(kept.size(), 1u);
  EXPECT_EQ(kept[0].state, TNoteState::nsWaiting);
  EXPECT_EQ(kept[0].text, "waiting when the program ends");
  EXPECT_EQ(peer.Ticks().size(), 1u);
}

// Every way of the service being out of reach keeps the note; an answer
// below 500 is the service's own refusal. Then the kept notes meet a login
// the service refuses during a delivery, "Send waiting notes", a note the
// service refuses when it arrives, and a restart without the history on disk.
TEST_F(OutboxEndToEnd, EveryWayOutOfReachKeepsTheNoteAndDeliveriesMeetTheServicesRefusals) {
  AddUser("uma", "pw");
  HangUpPeer peer;
  TForm1* form = &Start("uma", "wrong", /*autoCopy=*/false, "history=0\r\n");
  auto snap = [&](const std::string& text) {
    Copy(text);
    Press();
    auto balloons = Balloons();
    if (balloons == std::vector<std::string>{"3 wait 1 sec."}) {  // the press after a failure re-arms
      Press();
      balloons = Balloons();
    }
    return balloons;
  };
  using Texts = std::vector<std::string>;
  form->Edit3->SetText("http://no-such-host.invalid/pinleaf2");
  EXPECT_EQ(snap("host not found"), (Texts{"1 start", "2 kept: 1 waiting [sent when the service answers]"}));
  form->Edit3->SetText(UrlOf(peer.Port()));
  peer.AnswerWith("HTTP/1.1 503 Service Unavailable");
  const std::string huge(1024 * 1024 + 1, 'h');  // more than the service takes in one note
  EXPECT_EQ(snap(huge), (Texts{"1 start", "2 kept: 2 waiting [sent when the service answers]"}));
  peer.AnswerWith("HTTP/1.1 404 Not Found");
  EXPECT_EQ(snap("wrong page"), (Texts{"1 start", "3 not sent! [kept in Recent snaps]"}));
  EXPECT_EQ(hl::MessageBoxes().size(), 3u) << "every error is still shown";
  auto kept = OutboxFile();
  ASSERT_EQ(kept.size(), 3u);
  EXPECT_EQ(kept[0].text, "host not found");
  EXPECT_EQ(kept[0].state, TNoteState::nsWaiting);
  EXPECT_EQ(kept[1].text.size(), huge.size());
  EXPECT_EQ(kept[1].state, TNoteState::nsWaiting);
  EXPECT_EQ(kept[2].text, "wrong page");
  EXPECT_EQ(kept[2].state, TNoteState::nsRefused);
  EXPECT_NE(kept[2].reason.find("404"), std::string::npos) << kept[2].reason;
  // The test's clock stands still: the three share a capture time, and each
  // must still meet its own fate below.
  EXPECT_EQ(kept[0].paperId, kept[2].paperId);

  // The service in reach again, with the password it refuses: the next try
  // (60 s after the second failure) stops at the login and holds the rest.
  form->Edit3->SetText(UrlOf(port_));
  Wait(65 * 1000, 1000);
  EXPECT_EQ(Balloons(), (Texts{"3 cannot login! [2 note(s) wait until the ID or password is changed]"}));
  EXPECT_TRUE(form->DeliveryHeld());
  const int logins = Requests("POST /pinleaf2/users/login");
  EXPECT_EQ(logins, 1);
  Wait(30 * 60 * 1000, 5000);
  EXPECT_EQ(Requests("POST /pinleaf2/users/login"), logins) << "no retry with the refused password";
  // The user's own "Send waiting notes" tries at once all the same.
  OpenTrayMenu({"Send waiting notes (2)"});
  Wait(1000, 100);
  EXPECT_EQ(Requests("POST /pinleaf2/users/login"), logins + 1);
  EXPECT_TRUE(form->DeliveryHeld());
  Balloons();

  // The right password: the oldest goes, the one the service refuses stays
  // refused, and nothing is tried again.
  bool typed = false;
  hl::SetIdleHandler([&] {
    if (typed) return false;
    typed = true;
    hl::TypeText(form->Edit2->Handle(), "pw");
    hl::ClickControl(form->Button2->Handle());
    return true;
  });
  form->setting1Click(nullptr);
  hl::SetIdleHandler(nullptr);
  Wait(1000, 100);
  auto notes = Notes("uma");
  ASSERT_EQ(notes.size(), 1u);
  EXPECT_EQ(notes[0].body, "host not found");
  EXPECT_EQ(Balloons(), (Texts{"1 sent: 1 kept note",
                               "3 cannot send data. [" + std::string(20, 'h') + "... (kept in Recent snaps)]"}));
  kept = OutboxFile();
  ASSERT_EQ(kept.size(), 2u);
  EXPECT_EQ(kept[0].state, TNoteState::nsRefused);
  EXPECT_EQ(kept[0].reason, "cannot send data.");
  EXPECT_EQ(kept[1].text, "wrong page");
  const int uploads = Requests("POST /pinleaf2/posts/addpinleaf");
  Wait(30 * 60 * 1000, 5000);
  EXPECT_EQ(Requests("POST /pinleaf2/posts/addpinleaf"), uploads);

  // After a restart, with no history on disk, the refused notes still wait
  // for the user's choice, newest first.
  form = &Start("uma", "pw", false, "history=0\r\n");
  EXPECT_FALSE(std::filesystem::exists(dir_ / "history.dat"));
  auto menu = OpenTrayMenu();
  const platform::MenuEntry* recent = Entry(menu, "Recent snaps");
  ASSERT_NE(recent, nullptr);
  ASSERT_EQ(recent->submenu.size(), 2u);
  EXPECT_EQ(recent->submenu[0].caption, "wrong page...  (refused)");
  EXPECT_EQ(recent->submenu[1].caption, std::string(20, 'h') + "...  (refused)");
  OpenTrayMenu({"Recent snaps", "wrong page...  (refused)", "Discard"});
  kept = OutboxFile();
  ASSERT_EQ(kept.size(), 1u);
  EXPECT_EQ(kept[0].text.size(), huge.size());
}

// Between the client and the service: passes everything on, but while told
// to, the answer to a note upload never reaches the client (the service has
// stored the note; the client sees its connection end).
class AnswerLosingRelay {
public:
  explicit AnswerLosingRelay(int servicePort) : service_(servicePort) {
    fd_ = testprocess::ListenOnLoopback(&port_);
    thread_ = std::thread([this] {
      for (;;) {
        int c = ::accept(fd_, nullptr, nullptr);
        if (c < 0 || stop_) {
          if (c >= 0) ::close(c);
          return;
        }
        std::lock_guard<std::mutex> hold(lock_);
        pipes_.emplace_back([this, c] { Pass(c); });
      }
    });
  }
  ~AnswerLosingRelay() {
    stop_ = true;
    ::shutdown(fd_, SHUT_RDWR);
    ::close(fd_);
    thread_.join();
    for (std::thread& t : pipes_) t.join();
  }
  int Port() const { return port_; }
  void LoseUploadAnswers(bool lose) { lose_ = lose; }
  // Runs `look` with each request's first bytes as they pass, before the
  // service sees them.
  void OnRequest(std::function<void(const std::string&)> look) {
    std::lock_guard<std::mutex> hold(lock_);
    look_ = std::move(look);
  }

private:
  void Pass(int client) {
    int service = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a = testprocess::Loopback(service_);
    if (::connect(service, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0) {
      bool losing = false;
      pollfd ends[2] = {{client, POLLIN, 0}, {service, POLLIN, 0}};
      char buffer[65536];
      while (!stop_ && ::poll(ends, 2, 100) >= 0) {
        if (ends[0].revents) {
          ssize_t got = ::recv(client, buffer, sizeof buffer, 0);
          if (got <= 0) break;
          const std::string bytes(buffer, static_cast<size_t>(got));
          if (lose_ && bytes.find("/posts/addpinleaf ") != std::string::npos) losing = true;
          std::function<void(const std::string&)> look;
          {
            std::lock_guard<std::mutex> hold(lock_);
            look = look_;
          }
          if (look && (bytes.rfind("GET ", 0) == 0 || bytes.rfind("POST ", 0) == 0)) look(bytes);
          ::send(service, buffer, static_cast<size_t>(got), MSG_NOSIGNAL);
        }
        if (ends[1].revents) {
          ssize_t got = ::recv(service, buffer, sizeof buffer, 0);
          if (got <= 0 || losing) break;
          ::send(client, buffer, static_cast<size_t>(got), MSG_NOSIGNAL);
        }
      }
    }
    ::close(service);
    ::close(client);
  }

  int fd_ = -1, port_ = 0, service_;
  std::atomic<bool> stop_{false}, lose_{false};
  std::mutex lock_;
  std::function<void(const std::string&)> look_;
  std::vector<std::thread> pipes_;
  std::thread thread_;
};

TEST_F(OutboxEndToEnd, AnUploadWhoseAnswerWasLostIsSentAgainAndStoredOnce) {
  AnswerLosingRelay relay(port_);
  relay.LoseUploadAnswers(true);
  TForm1& form = SnapTo(relay.Port(), "rob", "answer lost on the way");
  auto kept = OutboxFile();
  ASSERT_EQ(kept.size(), 1u) << "the client cannot know that the note arrived";
  ASSERT_EQ(Notes("rob").size(), 1u) << "but it did";
  relay.LoseUploadAnswers(false);
  Wait(31 * 1000, 1000);
  EXPECT_EQ(Requests("POST /pinleaf2/posts/addpinleaf"), 2);
  // The kept note carries the paper id of the upload that arrived (the time
  // of the snap), so the service recognises it.
  auto notes = Notes("rob");
  ASSERT_EQ(notes.size(), 1u) << "stored once";
  EXPECT_EQ(notes[0].paper_id, kept[0].paperId);
  EXPECT_TRUE(OutboxFile().empty());
  ASSERT_FALSE(form.Outbox().Recent(1).empty());
  EXPECT_EQ(form.Outbox().Recent(1).front().state, TNoteState::nsSent);
}

// A kill at any moment of a snap loses nothing: the note is on the disk, with
// the paper id its upload carries, before the probe leaves. A program started
// again from what the disk held while the upload was on its way (the service
// has stored the note; the killed client never heard) delivers it with that
// paper id, and the service stores it once. The balloons are a snap's own.
TEST_F(OutboxEndToEnd, TheNoteIsOnTheDiskBeforeItLeavesAndARestartAfterAKillStoresItOnce) {
  AnswerLosingRelay relay(port_);
  std::vector<std::string> requests;
  std::vector<std::vector<TNoteRecord>> onDisk;
  std::string atUpload;
  relay.OnRequest([&](const std::string& request) {
    requests.push_back(request.substr(0, request.find(' ', 5)));
    onDisk.push_back(OutboxFile());
    if (request.find("/posts/addpinleaf ") != std::string::npos)
      atUpload = platform::ReadWholeFile((dir_ / "outbox.dat").string()).value_or("");
  });
  TForm1& form = SnapTo(relay.Port(), "kit", "kept ahead of the wire");
  EXPECT_EQ(Balloons(), (std::vector<std::string>{"1 start", "1 complete! [kept ahead of the wi...]"}));
  auto notes = Notes("kit");
  ASSERT_EQ(notes.size(), 1u);
  // The probe, the login (and where it leads), the upload.
  ASSERT_GE(requests.size(), 3u);
  EXPECT_EQ(requests.front(), "GET /pinleaf2/posts/nop/?0");
  EXPECT_EQ(requests[1], "POST /pinleaf2/users/login");
  EXPECT_EQ(requests.back(), "POST /pinleaf2/posts/addpinleaf");
  for (const auto& seen : onDisk) {
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].state, TNoteState::nsWaiting);
    EXPECT_EQ(seen[0].text, "kept ahead of the wire");
    EXPECT_EQ(seen[0].paperId, notes[0].paper_id);
  }
  EXPECT_TRUE(OutboxFile().empty()) << "stored: it left the outbox";
  EXPECT_EQ(form.Outbox().Recent(1).front().state, TNoteState::nsSent);

  // The disk as the kill left it; the program starts again.
  ASSERT_FALSE(atUpload.empty());
  ASSERT_TRUE(platform::ReplaceDurably((dir_ / "outbox.dat").string(), atUpload));
  Start("kit", "pw").Edit3->SetText(UrlOf(port_));
  Wait(31 * 1000, 1000);
  EXPECT_EQ(Requests("POST /pinleaf2/posts/addpinleaf"), 2);
  notes = Notes("kit");
  ASSERT_EQ(notes.size(), 1u) << "stored once";
  EXPECT_TRUE(OutboxFile().empty());
}

// A second client of the user (another session) that could not have the
// outbox: it says so once, keeps no note (a failed snap is NOT kept), sends
// none of the notes it finds, and leaves the file to the one that has it.
TEST_F(OutboxEndToEnd, AClientWithoutTheOutboxKeepsNothingAndSaysSo) {
  AddUser("ivy", "pw");
  const std::string waiting = EncodeNoteRecord({TNoteState::nsWaiting, "20261208120000000", "", "the other's"});
  std::ofstream(dir_ / "outbox.dat", std::ios::binary) << waiting;
  TForm1& form = Start("ivy", "pw");
  Balloons();
  form.OutboxInUseElsewhere("outbox is in use by another text snap (on another display?)");
  EXPECT_EQ(Balloons(), (std::vector<std::string>{"3 outbox is in use by another text snap (on another display?) "
                                                  "[new notes are NOT kept until it can be used]"}));
  StopServer();
  Copy("not kept here");
  Press();
  EXPECT_EQ(Balloons(), (std::vector<std::string>{"1 start",
                                                  "3 not sent! [NOT kept: outbox is in use by another text snap "
                                                  "(on another display?)]"}));
  StartServer();
  form.Edit3->SetText(UrlOf(port_));
  Wait(60 * 1000, 1000);
  EXPECT_TRUE(Notes("ivy").empty()) << "the other client's note is its to send";
  EXPECT_TRUE(platform::ReadWholeFile((dir_ / "outbox.dat").string()) == waiting);
}

TEST_F(OutboxEndToEnd, AFullOutboxSaysTheNoteWasNotKept) {
  AddUser("ola", "pw");
  std::string full;
  for (int i = 0; i < 200; ++i)
    full +=
        EncodeNoteRecord({TNoteState::nsWaiting, "20251231" + std::to_string(100000000 + i), "", std::to_string(i)});
  // The last write was cut short: reported at the start and cut away.
  std::string torn = EncodeNoteRecord({TNoteState::nsWaiting, "20251231235959999", "", "torn"});
  std::ofstream(dir_ / "outbox.dat", std::ios::binary) << full << torn.substr(0, torn.size() - 3);
  Start("ola", "pw");
  EXPECT_EQ(Balloons(), (std::vector<std::string>{"2 outbox damaged [1 damaged record(s) skipped; 200 note(s) kept]"}));
  EXPECT_TRUE(platform::ReadWholeFile((dir_ / "outbox.dat").string()) == full) << "rewritten without the torn record";
  StopServer();
  Copy("one too many");
  Press();
  EXPECT_EQ(Balloons(),
            (std::vector<std::string>{"1 start",
                                      "3 not sent! [NOT kept: the outbox is full (200 notes); send or discard some]"}));
  EXPECT_EQ(hl::MessageBoxes().size(), 1u);
  EXPECT_EQ(OutboxFile().size(), 200u);
  EXPECT_EQ(OutboxFile().back().text, "199");
}

}  // namespace
