// What later starts ask of the running client, over the in-process desktop
// (the test process is the whole session): a second start has it show a
// balloon, `textsnap --snap` has it snap through its hotkey, and a note that
// `textsnap send` hands over is kept in its outbox before the answer says so.
// A later start is played by a thread of its own, as another process would
// ask, while the running client's loop serves it.
#include <atomic>
#include <optional>
#include <thread>

#include "app/startup.h"
#include "platform/instance.h"
#include "shell_support.h"

namespace ts::testing {
namespace {

class LaterStart : public ShellTest {
protected:
  // Runs `ask` on a thread of its own while this (the GUI) thread serves it.
  template <typename Ask>
  static auto FromElsewhere(Ask ask) {
    decltype(ask()) answer{};
    std::atomic<bool> done{false};
    platform::WindowHandle waker = platform::NewWindow(platform::WindowKind::Hidden, 0, nullptr);
    std::thread other([&] {
      answer = ask();
      done = true;
      platform::PostToWindow(waker, platform::wm::Null, 0, 0);  // ends the GUI thread's wait
    });
    EXPECT_TRUE(hl::PumpUntil([&] { return done.load(); }, 60000)) << "the running client never answered";
    other.join();
    platform::FreeWindow(waker);
    return answer;
  }
  std::string Outbox() const {
    std::ifstream in(dir_ / kOutboxFileName, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }
};

TEST_F(LaterStart, ASecondStartAndASnapRequestReachTheRunningClient) {
  TTestForm1* running = nullptr;
  int secondResult = -1, snapResult = -1;
  bool saidAlreadyRunning = false;
  TScript script;
  script
      .Then([&] {
        running = dynamic_cast<TTestForm1*>(Application->MainForm());
        ASSERT_NE(running, nullptr);
        EXPECT_EQ(running->Snaps, 0);
        // textsnap again: told, it ends; the running one shows a balloon.
        secondResult = FromElsewhere([&] {
          TStartOptions again;
          again.alreadyRunning = [&] { saidAlreadyRunning = true; };
          return RunTextSnap<TTestForm1>(again);
        });
        // textsnap --snap: the running one snaps as if its hotkey was pressed.
        snapResult = FromElsewhere([] {
          TStartOptions snap;
          snap.snap = true;
          return RunTextSnap<TTestForm1>(snap);
        });
      })
      .Then([&] {
        EXPECT_EQ(secondResult, 0);
        EXPECT_TRUE(saidAlreadyRunning);
        EXPECT_EQ(LastBalloonTitle(), kAlreadyRunningTitle);
        EXPECT_STREQ(hl::TrayIcons()[0].szInfo, kAlreadyRunningText);
        EXPECT_EQ(snapResult, 0);
        EXPECT_EQ(running->Snaps, 1) << "the snap went the hotkey's way";
        EXPECT_EQ(hl::TrayIcons().size(), 1u) << "no second icon";
        EXPECT_EQ(Application->MainForm(), running);
        ChooseFromTrayMenu("Quit");
      });
  EXPECT_EQ(RunTextSnap<TTestForm1>(), 0);
  EXPECT_EQ(script.Ran(), 2u);

  // Once its window is gone nothing of it is used: a request that still
  // reaches it is refused; once it has ended, none reaches it.
  std::optional<std::string> late =
      FromElsewhere([] { return platform::AskInstance(kInstanceName, kSnapRequest, "", 2000); });
  EXPECT_EQ(late, "not ready");
  hl::ReleaseInstance(kInstanceName);
  EXPECT_FALSE(platform::AskInstance(kInstanceName, kSnapRequest, "", 200).has_value());
}

TEST_F(LaterStart, SnapAtStartSnapsOnceTheWindowIsThere) {
  TScript script;
  script.Then([&] {
    auto* form = dynamic_cast<TTestForm1*>(Application->MainForm());
    ASSERT_NE(form, nullptr);
    EXPECT_EQ(form->Snaps, 1);
    ChooseFromTrayMenu("Quit");
  });
  TStartOptions start;
  start.snap = true;
  bool claimed = false;
  start.claimed = [&] {
    claimed = true;
    EXPECT_TRUE(hl::TrayIcons().empty()) << "before the window is made";
  };
  EXPECT_EQ(RunTextSnap<TTestForm1>(start), 0);
  EXPECT_TRUE(claimed);
  EXPECT_EQ(script.Ran(), 1u);
}

TEST_F(LaterStart, AHandedNoteIsKeptByTheRunningClientBeforeItAnswersKept) {
  const std::string note = "handed to the running client 🍀\n<&> 100%";
  std::optional<std::string> kept, again, notText, blank, titled, untitled;
  TScript script;
  script
      .Then([&] {
        kept = FromElsewhere([&] { return platform::AskInstance(kInstanceName, kKeepRequest, note, 30000); });
        // The answer came after the note was on the disk.
        EXPECT_NE(Outbox().find(note), std::string::npos);
        again = FromElsewhere([&] { return platform::AskInstance(kInstanceName, kKeepRequest, note, 30000); });
        notText = FromElsewhere([] { return platform::AskInstance(kInstanceName, kKeepRequest, "caf\xe9", 30000); });
        blank = FromElsewhere([] { return platform::AskInstance(kInstanceName, kKeepRequest, " \n\t ", 30000); });
        // With a title (textsnap send --title): the first line is the title.
        titled = FromElsewhere([] {
          return platform::AskInstance(kInstanceName, kKeepTitledRequest, "議事録 (a script)\ntitled note", 30000);
        });
        untitled = FromElsewhere(
            [] { return platform::AskInstance(kInstanceName, kKeepTitledRequest, "no line feed", 30000); });
      })
      .Then([&] { ChooseFromTrayMenu("Quit"); });
  EXPECT_EQ(RunTextSnap<TTestForm1>(), 0);
  EXPECT_EQ(script.Ran(), 2u);
  EXPECT_EQ(kept, kKeptAnswer);
  EXPECT_EQ(again, kKeptAnswer) << "already waiting counts as kept";
  EXPECT_EQ(notText, "not text");
  EXPECT_EQ(blank, "not text");
  const std::string outbox = Outbox();
  const size_t first = outbox.find(note);
  ASSERT_NE(first, std::string::npos) << "still there after the client ended";
  EXPECT_EQ(outbox.find(note, first + 1), std::string::npos) << "kept once";
  EXPECT_EQ(outbox.find("caf"), std::string::npos);
  EXPECT_EQ(titled, kKeptAnswer);
  EXPECT_EQ(untitled, "not text");
  TNoteFile file((dir_ / kOutboxFileName).string());
  file.Load();
  ASSERT_EQ(file.Notes().size(), 2u);
  EXPECT_EQ(file.Notes()[1].text, "titled note");
  EXPECT_EQ(file.Notes()[1].title, "議事録 (a script)");
}

}  // namespace
}  // namespace ts::testing
