// The outbox's delivery schedule without a window: a timer that records what
// it was asked, a scripted service, the real outbox files. Portable: runs
// natively and under Wine.
#include <gtest/gtest.h>

#include <deque>
#include <filesystem>
#include <fstream>
#include <stdexcept>

#include "app/delivery.h"
#include "net/exceptions.h"
#include "tests/support/scratch.h"

using namespace ts;

namespace {

const std::string kLoginPage = "<form><input name=\"data[User][username]\"></form>";
const std::string kPlainPage = "<p>hello</p>";
const std::string kStored = "<p>====</p>";
const std::string kFailure = "!unreachable";  // raise a socket error instead of answering

class ScriptedService : public TServiceTransport {
public:
  std::deque<std::string> answers;
  std::vector<std::string> uploads;  // the note documents, in order
  std::string GetText(const std::string&) override { return Next(); }
  std::string PostForm(const std::string& url, const TStringList& lines) override {
    if (url.find("/posts/addpinleaf") != std::string::npos) uploads.push_back(lines[0]);
    return Next();
  }
  // The schedule's cases speak the form protocol only.
  std::string PostJson(const std::string&, const std::string&, const std::string&) override {
    throw std::logic_error("unexpected API request");
  }
  void Delete(const std::string&, const std::string&) override { throw std::logic_error("unexpected API request"); }
  void Script(std::initializer_list<std::string> pages) { answers.insert(answers.end(), pages); }

private:
  std::string Next() {
    if (answers.empty()) throw std::logic_error("unexpected request");
    std::string a = answers.front();
    answers.pop_front();
    if (a == kFailure) throw ENetSocketError(10061, "Socket Error # 10061\r\nConnection refused.");
    return a;
  }
};

class RecordingTimer : public TDeliveryTimer {
public:
  void Start(uint32_t ms) override {
    running = true;
    plans.push_back(ms);
  }
  void Stop() override { running = false; }
  bool Running() const override { return running; }
  bool running = false;
  std::vector<uint32_t> plans;
};

class DeliveryTest : public ::testing::Test {
protected:
  void SetUp() override {
    dir_ = testscratch::CaseFolder("textsnap-delivery");
    outbox_ = std::make_unique<TOutbox>((dir_ / "outbox.dat").string(), (dir_ / "history.dat").string());
    outbox_->Load(true);
    service_.LoginPauseMs = 0;
    schedule_ = std::make_unique<TDeliverySchedule>(*outbox_, service_, timer_);
    schedule_->Account = [] { return TServiceAccount{"http://svc/pinleaf2", "me", "pw", ""}; };
    schedule_->Busy = [this] { return busy_; };
    schedule_->Tell = [this](TBalloonInfoIconFlag icon, const std::string& title, const std::string& text) {
      told_.push_back(std::to_string(icon) + " " + title + (text.empty() ? "" : " [" + text + "]"));
    };
    schedule_->OnConversationEnded = [this] { ++conversations_; };
  }
  void TearDown() override {
    std::error_code ignored;
    std::filesystem::remove_all(dir_, ignored);
  }
  // A snap's note whose conversation ended with `result`.
  std::string Settle(const std::string& text, TServiceResult result, const std::string& paperId) {
    return schedule_->Settle({result, text, paperId, result == TServiceResult::srRefused ? "cannot send data." : ""});
  }
  std::vector<std::string> Told() { return std::exchange(told_, {}); }

  std::filesystem::path dir_;
  std::unique_ptr<TOutbox> outbox_;
  ScriptedService transport_;
  TServiceClient service_{transport_};
  RecordingTimer timer_;
  std::unique_ptr<TDeliverySchedule> schedule_;
  bool busy_ = false;
  int conversations_ = 0;
  std::vector<std::string> told_;
};

}  // namespace

// Failed snaps keep their notes and plan tries whose pauses double up to
// fifteen minutes; a busy window defers a try; the notes go oldest first,
// each with its capture time; "sent" is said once, when none is left.
TEST_F(DeliveryTest, KeptNotesGoOutOldestFirstAfterPausesThatDoubleAndAreToldOnce) {
  schedule_->Begin(30000);
  EXPECT_TRUE(timer_.plans.empty()) << "nothing waits: no timer";
  EXPECT_EQ(Settle("first", TServiceResult::srFailed, "20261208143000001"), "kept: 1 waiting");
  EXPECT_EQ(Told(), (std::vector<std::string>{"2 kept: 1 waiting [sent when the service answers]"}));
  EXPECT_EQ(Settle("second", TServiceResult::srFailed, "20261208143000002"), "kept: 2 waiting");
  Told();
  for (int i = 0; i < 6; ++i) {
    transport_.Script({kFailure});
    schedule_->Tick();
  }
  EXPECT_EQ(timer_.plans, (std::vector<uint32_t>{30000, 60000, 120000, 240000, 480000, 900000, 900000, 900000}));
  EXPECT_EQ(Told(), std::vector<std::string>{}) << "a background try fails quietly";
  EXPECT_EQ(conversations_, 6);

  busy_ = true;
  timer_.plans.clear();
  schedule_->Tick();
  EXPECT_EQ(timer_.plans, (std::vector<uint32_t>{kDeliverBusyMs})) << "no try while a snap runs";
  EXPECT_TRUE(transport_.answers.empty());

  busy_ = false;
  transport_.Script({kPlainPage, kStored});
  schedule_->Tick();
  ASSERT_EQ(transport_.uploads.size(), 1u);
  EXPECT_NE(transport_.uploads[0].find("%66%69%72%73%74</body>"), std::string::npos) << "the oldest first";
  EXPECT_NE(transport_.uploads[0].find("<paperid>20261208143000001</paperid>"), std::string::npos);
  EXPECT_EQ(Told(), std::vector<std::string>{}) << "one more waits: not told yet";
  EXPECT_EQ(timer_.plans.back(), kDeliverSoonMs);
  transport_.Script({kPlainPage, kStored});
  schedule_->Tick();
  EXPECT_EQ(Told(), (std::vector<std::string>{"1 sent: 2 kept notes"}));
  EXPECT_EQ(outbox_->Waiting(), 0u);
  schedule_->Tick();
  EXPECT_FALSE(timer_.Running()) << "nothing left to plan";
}

// A refused login holds every delivery until the settings change; a note the
// service refuses stays refused and is not sent again; a stored snap takes a
// waiting copy of its text along and lets the others follow at once.
TEST_F(DeliveryTest, ALoginRefusalHoldsARefusedNoteStaysAndAStoredSnapReleasesTheRest) {
  Settle("held", TServiceResult::srFailed, "20261208143000001");
  Settle("refused later", TServiceResult::srFailed, "20261208143000002");
  Told();
  transport_.Script({kLoginPage, kLoginPage});
  schedule_->Tick();
  EXPECT_TRUE(schedule_->Held());
  EXPECT_EQ(Told(), (std::vector<std::string>{"3 cannot login! [2 note(s) wait until the ID or password is changed]"}));
  EXPECT_FALSE(timer_.Running());
  EXPECT_EQ(Settle("third", TServiceResult::srFailed, "20261208143000003"), "kept: 3 waiting");
  EXPECT_FALSE(timer_.Running()) << "held: a failed snap plans nothing";
  Told();

  schedule_->RetryNow();
  EXPECT_FALSE(schedule_->Held());
  EXPECT_EQ(timer_.plans.back(), kDeliverSoonMs);
  transport_.Script({kPlainPage, kStored, kPlainPage, "<p>refused</p>"});
  schedule_->Tick();
  schedule_->Tick();
  EXPECT_EQ(Told(), (std::vector<std::string>{"1 sent: 1 kept note [1 still waiting]",
                                              "3 cannot send data. [refused later... (kept in Recent snaps)]"}));
  ASSERT_EQ(outbox_->Count(), 2u);
  EXPECT_EQ(outbox_->Notes()[0].state, TNoteState::nsRefused);
  EXPECT_EQ(outbox_->Waiting(), 1u);

  EXPECT_EQ(Settle("third", TServiceResult::srStored, "20261208143000009"), "");
  EXPECT_EQ(outbox_->Waiting(), 0u) << "the waiting copy of the stored text is gone";
  EXPECT_EQ(outbox_->Recent(1).front().state, TNoteState::nsSent);
  EXPECT_EQ(Settle("refused now", TServiceResult::srRefused, "20261208143000010"), "kept in Recent snaps");
  EXPECT_EQ(outbox_->Waiting(), 0u);
  schedule_->Tick();
  EXPECT_TRUE(transport_.answers.empty()) << "a refused note is never sent again";
}

// A full outbox says the note was NOT kept; a note handed over by another
// program waits like a failed snap's, and a burst of them keeps the planned try.
TEST_F(DeliveryTest, AFullOutboxSaysSoAndHandedNotesKeepThePlannedTry) {
  outbox_ = std::make_unique<TOutbox>((dir_ / "small.dat").string(), (dir_ / "smallhistory.dat").string(),
                                      TOutboxLimits{2, 1u << 20, 100, 4u << 20});
  outbox_->Load(true);
  schedule_ = std::make_unique<TDeliverySchedule>(*outbox_, service_, timer_);
  schedule_->Tell = [this](TBalloonInfoIconFlag icon, const std::string& title, const std::string& text) {
    told_.push_back(std::to_string(icon) + " " + title + (text.empty() ? "" : " [" + text + "]"));
  };
  schedule_->Begin(30000);
  EXPECT_EQ(schedule_->KeepHanded("handed one"), TOutbox::TKept::kpKept);
  EXPECT_EQ(timer_.plans, (std::vector<uint32_t>{30000}));
  EXPECT_EQ(schedule_->KeepHanded("handed two"), TOutbox::TKept::kpKept);
  EXPECT_EQ(timer_.plans, (std::vector<uint32_t>{30000})) << "the planned try stands";
  EXPECT_EQ(schedule_->KeepHanded("handed one"), TOutbox::TKept::kpAlreadyWaiting);
  EXPECT_EQ(Settle("one too many", TServiceResult::srFailed, "20261208143000003"),
            "NOT kept: the outbox is full (2 notes); send or discard some");
  EXPECT_EQ(Told(),
            (std::vector<std::string>{"3 not sent! [NOT kept: the outbox is full (2 notes); send or discard some]"}));
}

// An outbox that cannot be read is said once; meanwhile a failed snap's note
// is reported NOT kept, and the schedule keeps trying the file: once it can
// be read, what it held is delivered.
TEST_F(DeliveryTest, AnOutboxThatCannotBeReadIsToldOnceAndTriedAgainUntilItCan) {
  const std::string path = (dir_ / "blocked.dat").string();
  std::filesystem::create_directory(path);
  outbox_ = std::make_unique<TOutbox>(path, (dir_ / "blockedhistory.dat").string());
  outbox_->Load(true);
  schedule_ = std::make_unique<TDeliverySchedule>(*outbox_, service_, timer_);
  schedule_->Tell = [this](TBalloonInfoIconFlag icon, const std::string& title, const std::string& text) {
    told_.push_back(std::to_string(icon) + " " + title.substr(0, title.find(':') + 1) + " [" + text + "]");
  };
  schedule_->Begin(30000);
  EXPECT_EQ(Told(),
            (std::vector<std::string>{"3 outbox cannot be read: [new notes are NOT kept until it can be used]"}));
  EXPECT_EQ(timer_.plans, (std::vector<uint32_t>{30000})) << "tried again later";
  const std::string told = Settle("lost?", TServiceResult::srFailed, "20261208143000001");
  EXPECT_EQ(told.rfind("NOT kept: outbox cannot be read: ", 0), 0u) << told;
  EXPECT_EQ(Told().size(), 1u) << "the failed snap's own balloon only";
  schedule_->Tick();
  EXPECT_EQ(Told(), std::vector<std::string>{}) << "said once";
  EXPECT_TRUE(timer_.Running());

  std::filesystem::remove(path);
  std::ofstream(path, std::ios::binary) << EncodeNoteRecord({TNoteState::nsWaiting, "20261208120000000", "", "held"});
  transport_.Script({kPlainPage, kStored});
  schedule_->Tick();
  ASSERT_EQ(transport_.uploads.size(), 1u);
  EXPECT_NE(transport_.uploads[0].find("<paperid>20261208120000000</paperid>"), std::string::npos);
  EXPECT_EQ(outbox_->Count(), 0u);
}

// A snap's title stays with its note: kept when the service is away, it goes
// out later with the same title, and the history shows it.
TEST_F(DeliveryTest, AKeptNoteIsSentLaterWithItsTitle) {
  TSnapNote snapped{TServiceResult::srFailed, "kept text", "20261208143000001", ""};
  snapped.title = "日 (notepad.exe)";
  schedule_->WriteAhead(snapped);
  schedule_->Settle(snapped);
  TOutbox reread((dir_ / "outbox.dat").string(), (dir_ / "history.dat").string());
  reread.Load(true);
  ASSERT_EQ(reread.Notes().size(), 1u);
  EXPECT_EQ(reread.Notes()[0].title, "日 (notepad.exe)");
  transport_.Script({kPlainPage, kStored});
  schedule_->Tick();
  ASSERT_EQ(transport_.uploads.size(), 1u);
  EXPECT_NE(transport_.uploads[0].find("<title>%E6%97%A5%20%28%6E%6F%74%65%70%61%64%2E%65%78%65%29</title>"),
            std::string::npos)
      << transport_.uploads[0];
  ASSERT_FALSE(outbox_->Recent(1).empty());
  EXPECT_EQ(outbox_->Recent(1)[0].title, "日 (notepad.exe)");
  EXPECT_EQ(outbox_->Recent(1)[0].state, TNoteState::nsSent);
}
