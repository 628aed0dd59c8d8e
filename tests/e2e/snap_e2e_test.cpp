// A snap from the hotkey to the stored note: the real window (headless
// desktop) and its HTTP client against the note service on loopback.
#include "tests/e2e/fixture.h"
#include "tests/support/process.h"

using namespace ts;
using e2e::SnapEndToEnd;
namespace hl = platform::headless;

TEST_F(SnapEndToEnd, LoginThenStoreThenTheRefusalsThatFollow) {
  // Credentials with the characters that break a naive form encoding.
  AddUser("alice&bob", "p+w=1 &x");
  TForm1& form = Start("alice&bob", "p+w=1 &x");
  const std::string text = "  日本語のメモ 😀 a<b>&c\r\n";
  Copy(text);
  Press();
  // Only the balloon goes through the system code page, which has no emoji.
  EXPECT_EQ(Balloons(), (std::vector<std::string>{"1 start", "1 complete! [  日本語のメモ ?? a<b>&c\r\n...]"}));
  EXPECT_EQ(CuesPlayed(), 2u);
  EXPECT_TRUE(form.Button1->Enabled());
  EXPECT_NE(form.Memo1->Text().find("===="), std::string::npos);
  auto notes = Notes("alice&bob");
  ASSERT_EQ(notes.size(), 1u);
  EXPECT_EQ(notes[0].body, text) << "byte for byte, untrimmed";
  EXPECT_EQ(notes[0].color, 11270143u);
  EXPECT_EQ(notes[0].paper_id.size(), 17u);

  // Right after: throttled.
  hl::AdvanceClock(3200);
  Copy("another");
  Press();
  EXPECT_EQ(Balloons(), (std::vector<std::string>{"3 wait for 1.8 seconds!"}));
  EXPECT_EQ(CuesPlayed(), 0u);

  // Later, the same text again (other blanks): refused without a request.
  hl::AdvanceClock(5000);
  Copy("\r\n" + text + "  ");
  Press();
  EXPECT_EQ(Balloons(), (std::vector<std::string>{"3 same data!"}));

  Copy(" \r\n ");
  Press();
  EXPECT_EQ(Balloons(), (std::vector<std::string>{"3 no data!"}));
  hl::SetClipboardNonText();
  Press();
  EXPECT_EQ(Balloons(), (std::vector<std::string>{"3 not text!"}));

  // The session cookie carries over: the second note needs no login.
  Copy("second note");
  Press();
  EXPECT_EQ(Balloons(), (std::vector<std::string>{"1 start", "1 complete! [second note...]"}));
  notes = Notes("alice&bob");
  ASSERT_EQ(notes.size(), 2u);
  EXPECT_EQ(notes[0].body, "second note");
  EXPECT_EQ(CuesPlayed(), 2u);
}

TEST_F(SnapEndToEnd, WrongPasswordStoresNothing) {
  AddUser("carol", "right");
  TForm1& form = Start("carol", "wrong");
  Copy("secret plans");
  Press();
  EXPECT_EQ(Balloons(), (std::vector<std::string>{"1 start", "3 cannot login! [kept: 1 waiting]"}));
  EXPECT_EQ(CuesPlayed(), 1u) << "the start cue only";
  EXPECT_TRUE(form.Button1->Enabled());
  EXPECT_EQ(form.LastSendTime(), 0u);
  EXPECT_TRUE(Notes("carol").empty());
  // Not throttled: the refusal does not count as an upload.
  form.Edit2->SetText("right");
  Press();
  EXPECT_EQ(Balloons(), (std::vector<std::string>{"1 start", "1 complete! [secret plans...]"}));
  EXPECT_EQ(Notes("carol").size(), 1u);
}

TEST_F(SnapEndToEnd, UploadRefusedCountsAsAnsweredUpload) {
  AddUser("dave", "pw");
  TForm1& form = Start("dave", "pw");
  // Over the service's 1 MiB limit for one note.
  const std::string huge(1024 * 1024 + 1, 'x');
  Copy(huge);
  Press();
  EXPECT_EQ(Balloons(), (std::vector<std::string>{"1 start", "3 cannot send data. [kept in Recent snaps]"}));
  EXPECT_EQ(CuesPlayed(), 2u);
  EXPECT_NE(form.LastSendTime(), 0u);
  EXPECT_EQ(form.LastSentText().size(), huge.size());
  EXPECT_TRUE(Notes("dave").empty());
  hl::AdvanceClock(6000);
  Press();
  EXPECT_EQ(Balloons(), (std::vector<std::string>{"3 same data!"}));
}

TEST_F(SnapEndToEnd, AutoCopyTakesTheSelectionOfTheForegroundProgram) {
  AddUser("erin", "pw");
  Start("erin", "pw", /*autoCopy=*/true);
  Copy("stale clipboard");
  // The foreground program copies its selection on Ctrl+C.
  bool ctrl = false;
  hl::SetKeyStrokeHook([&ctrl](const hl::KeyStroke& k) {
    if (k.virtualKey == 162) ctrl = (k.flags & 2) == 0;
    if (k.virtualKey == 67 && (k.flags & 2) == 0 && ctrl) hl::SetClipboardUnicodeText(u"the selection");
  });
  Press();
  hl::SetKeyStrokeHook(nullptr);
  auto notes = Notes("erin");
  ASSERT_EQ(notes.size(), 1u);
  EXPECT_EQ(notes[0].body, "the selection");
}

TEST_F(SnapEndToEnd, ClipboardErrorBeforeTheExchangeLeavesTheTriggerEnabled) {
  AddUser("frank", "pw");
  TForm1& form = Start("frank", "pw");
  Copy("text");
  hl::SetClipboardRefusesOpen(true);
  Press();
  ASSERT_EQ(hl::MessageBoxes().size(), 1u);
  EXPECT_EQ(hl::MessageBoxes()[0].text, "クリップボードを開くことができません.");
  EXPECT_TRUE(form.Button1->Enabled());
  EXPECT_EQ(CuesPlayed(), 0u);
}

TEST_F(SnapEndToEnd, NetworkErrorAfterStartWaitsForTheDisconnect) {
  AddUser("grace", "pw");
  TForm1& form = Start("grace", "pw");
  Copy("first");
  Press();
  ASSERT_EQ(Notes("grace").size(), 1u);
  Balloons();
  // The service goes away mid-session.
  StopServer();
  hl::AdvanceClock(6000);
  Copy("second");
  Press();
  EXPECT_EQ(Balloons(), (std::vector<std::string>{"1 start", "2 kept: 1 waiting [sent when the service answers]"}));
  ASSERT_EQ(hl::MessageBoxes().size(), 1u);
  EXPECT_NE(hl::MessageBoxes()[0].text.find("10061"), std::string::npos) << hl::MessageBoxes()[0].text;
  EXPECT_EQ(CuesPlayed(), 1u);
  EXPECT_EQ(form.LastSentText(), "first");

  // The refused connect left no connection whose close could re-arm the
  // trigger: the next press answers "wait 1 sec." and re-arms it.
  StartServer(0);
  form.Edit3->SetText("http://127.0.0.1:" + std::to_string(port_) + "/pinleaf2");
  EXPECT_FALSE(form.Button1->Enabled());
  Press();
  EXPECT_EQ(Balloons(), (std::vector<std::string>{"3 wait 1 sec."}));
  EXPECT_TRUE(form.Button1->Enabled());
  Press();
  EXPECT_EQ(Balloons(), (std::vector<std::string>{"1 start", "1 complete! [second...]"}));
  EXPECT_EQ(Notes("grace").size(), 2u);
}

// The program over https: a service with a self-signed certificate of its
// own. Without a pin the trust store refuses it, and so does a pin of another
// certificate: each time the error box names the cause and the service sees
// no request. With its own certificate pinned in ini.ini the note arrives.
TEST_F(SnapEndToEnd, OverHttpsOnlyATrustedOrPinnedCertificateGetsTheNote) {
  const std::string cert = (dir_ / "cert.pem").string(), key = (dir_ / "key.pem").string();
  ASSERT_EQ(
      testprocess::RunToEnd({"openssl", "req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1",
                             "-nodes", "-days", "2", "-subj", "/CN=localhost", "-addext",
                             "subjectAltName=DNS:localhost,IP:127.0.0.1", "-keyout", key, "-out", cert},
                            (dir_ / "openssl.log").string()),
      0);
  const std::string printed = (dir_ / "fingerprint.txt").string();
  ASSERT_EQ(testprocess::RunToEnd({"openssl", "x509", "-in", cert, "-noout", "-fingerprint", "-sha256"}, printed), 0);
  std::string pin = testprocess::ReadFile(printed);  // "sha256 Fingerprint=A8:6E:...", as the README shows it
  pin = pin.substr(pin.find('=') + 1);
  pin = pin.substr(0, pin.find_first_of("\r\n"));
  ASSERT_EQ(pin.size(), 95u) << pin;
  StopServer();
  pinleaf::TServerSettings https;
  https.tls = {cert, key};
  StartServer(0, https);
  AddUser("heidi", "pw");
  const auto requests = [this] { return Requests("GET ") + Requests("POST "); };

  Start("heidi", "pw");
  Copy("not for an untrusted server");
  Press();
  ASSERT_FALSE(hl::MessageBoxes().empty());
  EXPECT_EQ(hl::MessageBoxes().back().text,
            "Secure connection to 127.0.0.1 refused: the server's certificate is not trusted.");
  EXPECT_EQ(hl::MessageBoxes().back().caption, kApplicationTitle);
  EXPECT_EQ(Balloons(), (std::vector<std::string>{"1 start", "2 kept: 1 waiting [sent when the service answers]"}));
  Start("heidi", "pw", false, "", std::string(64, 'a'));
  hl::AdvanceClock(6000);
  Copy("not for another certificate");
  Press();
  EXPECT_EQ(hl::MessageBoxes().back().text,
            "Secure connection to 127.0.0.1 refused: the server's certificate is not the pinned one.");
  EXPECT_EQ(requests(), 0) << "the service saw a request";
  EXPECT_TRUE(Notes("heidi").empty());

  const size_t boxes = hl::MessageBoxes().size();
  Start("heidi", "pw", false, "", pin);
  hl::AdvanceClock(6000);
  const std::string text = "pinned: 日本語 & <b>";
  Copy(text);
  Press();
  EXPECT_EQ(hl::MessageBoxes().size(), boxes);
  bool stored = false;
  for (const auto& note : Notes("heidi")) stored = stored || note.body == text;
  EXPECT_TRUE(stored) << "the snap over https did not arrive";
  EXPECT_GE(Requests("POST /pinleaf2/users/login"), 1);
}
