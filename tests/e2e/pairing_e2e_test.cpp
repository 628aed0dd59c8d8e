// Pairing the device with the note service from the tray menu, against the
// real service: the owner's approval is posted through the service's own
// pages (sign in, open the code's page, approve or deny), and the device then
// sends with its token alone. A revoked token keeps the note and holds the
// outbox until the device is paired again.
#include <algorithm>
#include <atomic>
#include <regex>

#include "app/pairing.h"
#include "app/serviceclient.h"
#include "net/exceptions.h"
#include "platform/shell.h"
#include "tests/e2e/fixture.h"
#include "tests/support/process.h"

namespace e2e {
namespace {

class PairingEndToEnd : public SnapEndToEnd {
protected:
  void SetUp() override {
    SnapEndToEnd::SetUp();
    // The service's clock runs when the test says: a poll "five seconds
    // later" comes at once, and a code can run out.
    const int64_t start = store_->now_ms();
    store_->now_ms = [this, start] { return start + serviceMs_.load(); };
  }
  void Later(int64_t ms) { serviceMs_ += ms; }

  std::string Base() const { return "http://127.0.0.1:" + std::to_string(port_) + "/pinleaf2"; }

  // The owner, signed in to the service in a browser of their own, opens the
  // page the device named and presses a button; the page that follows.
  std::string Decide(const std::string& verificationUrl, const std::string& user, const std::string& decision) {
    ++signIns_;
    TServiceHttp browser;
    TStringList login;
    login.Add("data[User][username]=" + user);
    login.Add("data[User][password]=" + passwords_[user]);
    browser.PostForm(Base() + "/users/login", login);
    const std::string page = browser.GetText(verificationUrl);
    std::smatch token, code;
    if (!std::regex_search(page, token, std::regex("name=\"token\" value=\"([0-9a-f]{64})\"")) ||
        !std::regex_search(page, code, std::regex("name=\"user_code\" value=\"([A-Z-]+)\"")))
      return "no approval form: " + page;
    TStringList form;
    form.Add("token=" + token[1].str());
    form.Add("user_code=" + code[1].str());
    form.Add("decision=" + decision);
    return browser.PostForm(Base() + "/device", form);
  }

  int64_t UserId(const std::string& user) { return store_->CheckLogin(user, passwords_[user])->id; }
  std::vector<pinleaf::TAccessToken> Tokens(const std::string& user) { return store_->Data().ListTokens(UserId(user)); }
  std::vector<std::string> Texts(const std::string& user) {
    std::vector<std::string> out;
    for (auto& n : Notes(user)) out.push_back(n.body);
    return out;
  }

  // The tray menu's entries as it opens now, and a choice from it.
  std::vector<std::string> Menu(const std::string& choose = {}) {
    std::vector<std::string> captions;
    hl::SetPopupHandler([&](const hl::PopupRecord& r) {
      int command = 0;
      for (auto& e : r.entries) {
        captions.push_back(e.caption);
        if (e.caption == choose) command = e.command;
      }
      return command;
    });
    auto record = hl::TrayIcons().at(0);
    platform::PostToWindow(record.hWnd, record.uCallbackMessage, record.uID, platform::wm::RButtonUp);
    app_->ProcessMessages();
    hl::SetPopupHandler(nullptr);
    return captions;
  }
  static bool Has(const std::vector<std::string>& all, const std::string& one) {
    return std::find(all.begin(), all.end(), one) != all.end();
  }
  void Wait(uint32_t ms, uint32_t step = 500) {
    for (uint32_t t = 0; t < ms; t += step) {
      hl::AdvanceClock(step);
      app_->ProcessMessages();
    }
  }

  // Pairs from the tray menu, the owner approving; the balloons meanwhile.
  std::vector<std::string> PairFromMenu(TForm1& form, const std::string& user) {
    Balloons();
    Menu("Pair with the service...");
    EXPECT_NE(form.Pairing(), nullptr);
    if (!form.Pairing()) return Balloons();
    const std::string code = form.Pairing()->UserCode();
    const std::string url = form.Pairing()->VerificationUrl();
    EXPECT_EQ(url, Base() + "/device?user_code=" + code);
    EXPECT_EQ(hl::ShellOpens().empty() ? std::string() : hl::ShellOpens().back().file, url)
        << "the browser opens the page";
    const std::string done = Decide(url, user, "approve");
    EXPECT_NE(done.find("text snap on " + DeviceName()), std::string::npos) << done;
    Later(5000);
    Wait(5000);
    return Balloons();
  }

  std::atomic<int64_t> serviceMs_{0};
  int signIns_ = 0;  // the owner's, in the browser
};

TEST_F(PairingEndToEnd, TrayPairsSendsWithTokenHoldsWhenRevokedAndPairsAgain) {
  AddUser("ann", "ann-pw");
  // No ID and no password in the settings: only the token will do.
  TForm1& form = Start("", "");
  auto menu = Menu();
  EXPECT_TRUE(Has(menu, "Pair with the service...")) << "offered before any pairing";
  EXPECT_FALSE(Has(menu, "Forget this pairing"));

  std::vector<std::string> told = PairFromMenu(form, "ann");
  ASSERT_EQ(told.size(), 2u) << ::testing::PrintToString(told);
  EXPECT_EQ(told[0].rfind("1 pairing code: ", 0), 0u) << told[0];
  EXPECT_EQ(told[1].rfind("1 paired [", 0), 0u) << told[1];
  ASSERT_TRUE(form.Paired());
  EXPECT_EQ(form.Pairing(), nullptr);
  ASSERT_EQ(Tokens("ann").size(), 1u);
  EXPECT_EQ(Tokens("ann")[0].name, "text snap on " + DeviceName());
  EXPECT_EQ(Tokens("ann")[0].scope, pinleaf::TScope::kCapture);
  // Kept with the settings: the next start sends with it too.
  EXPECT_FALSE(LoadSettings((dir_ / "ini.ini").string()).token.empty());
  EXPECT_TRUE(Has(Menu(), "Forget this pairing"));

  // A snap goes with the token: no probe, no sign-in.
  Copy("sent with the token");
  Press();
  EXPECT_EQ(Balloons(), (std::vector<std::string>{"1 start", "1 complete! [sent with the token...]"}));
  EXPECT_EQ(Texts("ann"), (std::vector<std::string>{"sent with the token"}));
  ASSERT_EQ(Notes("ann").size(), 1u);
  EXPECT_EQ(Notes("ann")[0].paper_id.size(), 17u);
  EXPECT_EQ(Requests("POST /pinleaf2/api/v1/notes 201"), 1);
  EXPECT_EQ(Requests("POST /pinleaf2/users/login"), signIns_) << "the device never signs in";
  EXPECT_EQ(Requests("GET /pinleaf2/posts/nop"), 0);

  // The owner revokes the token on the service: the next snap is kept, the
  // balloon says to pair again, and nothing is tried again by itself.
  ASSERT_TRUE(store_->Data().DeleteToken(UserId("ann"), Tokens("ann")[0].id));
  hl::AdvanceClock(6000);
  Copy("kept while revoked");
  Press();
  told = Balloons();
  ASSERT_EQ(told.size(), 2u) << ::testing::PrintToString(told);
  EXPECT_EQ(told[1], std::string("3 cannot login! [kept: 1 waiting\r\n") + kPairAgainReason + "]");
  EXPECT_TRUE(form.DeliveryHeld());
  EXPECT_EQ(form.Outbox().Waiting(), 1u);
  Wait(120000, 5000);
  EXPECT_EQ(Requests("POST /pinleaf2/api/v1/notes 401"), 1) << "a held outbox tries nothing";

  // Paired again: the kept note goes at once.
  Later(60000);  // past the service's pause after a refused token
  told = PairFromMenu(form, "ann");
  ASSERT_FALSE(told.empty());
  EXPECT_EQ(told.back().rfind("1 paired [", 0), 0u) << ::testing::PrintToString(told);
  Wait(3000);
  EXPECT_EQ(Texts("ann"), (std::vector<std::string>{"kept while revoked", "sent with the token"}));
  EXPECT_EQ(form.Outbox().Waiting(), 0u);
  EXPECT_FALSE(form.DeliveryHeld());
  EXPECT_EQ(Balloons(), (std::vector<std::string>{"1 sent: 1 kept note"}));

  // Forgotten: revoked on the service, gone here.
  Menu("Forget this pairing");
  EXPECT_EQ(Balloons(),
            (std::vector<std::string>{"1 pairing forgotten [the service no longer takes this device's token]"}));
  EXPECT_TRUE(Tokens("ann").empty());
  EXPECT_FALSE(form.Paired());
  EXPECT_TRUE(LoadSettings((dir_ / "ini.ini").string()).token.empty());
  EXPECT_EQ(Requests("POST /pinleaf2/users/login"), signIns_);
  EXPECT_EQ(Requests("GET /pinleaf2/posts/nop"), 0);

  // The same client speaks the form protocol again, as before any pairing.
  form.Edit1->SetText("ann");
  form.Edit2->SetText("ann-pw");
  hl::AdvanceClock(6000);
  Copy("with the password");
  Press();
  EXPECT_EQ(Balloons(), (std::vector<std::string>{"1 start", "1 complete! [with the password...]"}));
  EXPECT_EQ(Texts("ann").front(), "with the password");
  EXPECT_EQ(Requests("POST /pinleaf2/users/login"), signIns_ + 1);
  EXPECT_EQ(Requests("POST /pinleaf2/posts/addpinleaf 200"), 1);
}

// `textsnap pair` keeps the token in the settings file and tells the running
// window, which sends what a refused sign-in held back.
TEST_F(PairingEndToEnd, TheWindowTakesAPairingMadeElsewhere) {
  AddUser("cy", "cy-pw");
  TForm1& form = Start("cy", "wrong");
  Copy("held by the wrong password");
  Press();
  EXPECT_TRUE(form.DeliveryHeld());
  ASSERT_EQ(form.Outbox().Waiting(), 1u);

  auto made = store_->CreateToken(UserId("cy"), "text snap on elsewhere", pinleaf::TScope::kCapture);
  ASSERT_TRUE(made);
  TSettings settings = LoadSettings((dir_ / "ini.ini").string());
  settings.token = made->first;
  SaveSettings((dir_ / "ini.ini").string(), settings);
  Balloons();
  form.TakePairingFromSettings();
  EXPECT_TRUE(form.Paired());
  Wait(3000);
  EXPECT_EQ(Texts("cy"), (std::vector<std::string>{"held by the wrong password"}));
  EXPECT_EQ(form.Outbox().Waiting(), 0u);
  EXPECT_EQ(Balloons(),
            (std::vector<std::string>{"1 paired [notes from here go with this device's token; no password needed]",
                                      "1 sent: 1 kept note"}));

  // Forgotten elsewhere: the window goes back to the ID and password.
  settings.token.clear();
  SaveSettings((dir_ / "ini.ini").string(), settings);
  form.TakePairingFromSettings();
  EXPECT_FALSE(form.Paired());
  EXPECT_TRUE(Balloons().empty());
}

TEST_F(PairingEndToEnd, ExchangeFollowsTheServicePaceRefusalAndExpiry) {
  AddUser("bo", "bo-pw");
  TServiceHttp http;
  // Polled at the pace asked; sooner, the service asks for more patience.
  TPairing pairing(http, Base());
  ASSERT_TRUE(pairing.Begin("desk 7")) << pairing.Reason();
  EXPECT_TRUE(std::regex_match(pairing.UserCode(), std::regex("[A-Z]{4}-[A-Z]{4}"))) << pairing.UserCode();
  EXPECT_EQ(pairing.PollDelayMs(), 5000u);
  EXPECT_EQ(pairing.Poll(), TPairingState::psWaiting);
  EXPECT_EQ(pairing.Poll(), TPairingState::psWaiting);
  EXPECT_EQ(pairing.PollDelayMs(), 10000u) << "slowed down by five seconds";
  // The owner refuses: the device hears so at its next poll.
  const std::string page = Decide(pairing.VerificationUrl(), "bo", "deny");
  EXPECT_NE(page.find("text snap on desk 7"), std::string::npos) << page;
  Later(10000);
  EXPECT_EQ(pairing.Poll(), TPairingState::psDenied);
  EXPECT_NE(pairing.Reason().find("refused"), std::string::npos) << pairing.Reason();
  EXPECT_TRUE(pairing.Token().empty());
  EXPECT_EQ(pairing.Poll(), TPairingState::psDenied) << "an ended pairing asks nothing more";
  EXPECT_TRUE(Tokens("bo").empty());

  // Nobody approves in time.
  TPairing late(http, Base());
  ASSERT_TRUE(late.Begin("desk 7"));
  Later(601 * 1000);
  EXPECT_EQ(late.Poll(), TPairingState::psExpired);
  EXPECT_NE(late.Reason().find("expired"), std::string::npos);

  // Approved: a token that adds notes and nothing else, revoked again.
  TPairing good(http, Base());
  ASSERT_TRUE(good.Begin(""));
  Decide(good.VerificationUrl(), "bo", "approve");
  Later(5000);
  ASSERT_EQ(good.Poll(), TPairingState::psPaired) << good.Reason();
  ASSERT_EQ(Tokens("bo").size(), 1u);
  EXPECT_EQ(Tokens("bo")[0].name, "text snap");
  TServiceClient client(http);
  TServiceOutcome sent =
      client.Send({Base(), "", "", good.Token()}, TOutgoingNote{"a \"quoted\"\ttext \xE2\x9C\x93", "", "its title"});
  EXPECT_TRUE(sent.Stored()) << sent.reason;
  ASSERT_EQ(Notes("bo").size(), 1u);
  EXPECT_EQ(Notes("bo")[0].body, "a \"quoted\"\ttext \xE2\x9C\x93");
  EXPECT_EQ(Notes("bo")[0].title, "its title");
  // A note the service will not take is refused, not held.
  sent = client.Send({Base(), "", "", good.Token()}, TOutgoingNote{"x", "12", ""});
  EXPECT_EQ(sent.result, TServiceResult::srRefused) << sent.reason;
  std::string why;
  EXPECT_TRUE(RevokeToken(http, Base(), good.Token(), why)) << why;
  EXPECT_TRUE(Tokens("bo").empty());
  sent = client.Send({Base(), "", "", good.Token()}, TOutgoingNote{"after", "", ""});
  EXPECT_EQ(sent.result, TServiceResult::srLoginRefused);
  EXPECT_EQ(sent.reason, kPairAgainReason);

  // With the service away, forgetting says it could not revoke.
  const std::string base = Base();
  StopServer();
  EXPECT_FALSE(RevokeToken(http, base, "plf_0", why));
  EXPECT_FALSE(why.empty());
  TPairing away(http, base);
  EXPECT_THROW(away.Begin("desk 7"), ENetException);
}

}  // namespace
}  // namespace e2e
