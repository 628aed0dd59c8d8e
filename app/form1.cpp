#include "app/form1.h"

#include <algorithm>
#include <exception>

#include "app/settings.h"
#include "http/cookies.h"
#include "http/http.h"
#include "platform/input.h"
#include "platform/shell.h"
#include "runtime/codepage.h"
#include "runtime/scope.h"
#include "runtime/text.h"
#include "storage/cues.h"
#include "storage/storedform.h"
#include "ui/application.h"
#include "ui/clipboard.h"

namespace ts {

namespace {

constexpr int kBalloonWarning = 2;
constexpr uint32_t kSoonMs = 100;                  // "at once", but after the handler that asked for it
constexpr uint32_t kBusyMs = 1000;                 // a snap runs or the settings window is open
constexpr int32_t kDeliveryReadTimeoutMs = 30000;  // a delivery waits this long for each answer
constexpr size_t kRecentShown = 10;
constexpr const char* kNotesPath = "/notes";

// A menu caption for a note: its first characters on one line, and its state.
std::string RecentCaption(const TNoteRecord& note) {
  std::string line = note.text;
  std::replace_if(
      line.begin(), line.end(), [](char c) { return c == '\r' || c == '\n' || c == '\t'; }, ' ');
  const char* state = note.state == TNoteState::nsSent      ? "sent"
                      : note.state == TNoteState::nsRefused ? "refused"
                                                            : "waiting";
  // "&" would underline the next letter of a menu caption.
  std::string shown;
  for (char c : TSnapPipeline::Excerpt(Trim(line))) shown += c == '&' ? std::string("&&") : std::string(1, c);
  return shown + "  (" + state + ")";
}

}  // namespace

TForm1::TForm1(TComponent* owner) : TForm1(owner, FindSettingsLocation()) {}

TForm1::TForm1(TComponent* owner, const std::string& settingsPath)
    : TForm1(owner, TSettingsLocation{settingsPath, settingsPath}) {}

TForm1::TForm1(TComponent* owner, TSettingsLocation settings) : TForm(owner), settings_(std::move(settings)) {
  SetName("Form1");
  // The window is read as one definition: the tray icon finishes loading
  // (and adds itself to the notification area) once every part exists.
  CreateParts();
  LayOut();
  TrayIcon1->EndLoading();

  OnShow = [this](TObject* s) { FormShow(s); };
  OnCloseQuery = [this](TObject* s, bool& canClose) { FormCloseQuery(s, canClose); };

  // An error in the creation handler is shown and the window lives on.
  try {
    FormCreate(this);
  } catch (const std::exception& e) {
    if (Application)
      Application->HandleException(e);
    else
      throw;
  }
}

TForm1::~TForm1() { DetachHandle(); }

std::string TForm1::IdInSystemCodePage() const { return Utf8ToSystem(Edit1->Text()); }
std::string TForm1::PasswordInSystemCodePage() const { return Utf8ToSystem(Edit2->Text()); }
std::string TForm1::UrlInSystemCodePage() const { return Utf8ToSystem(Edit3->Text()); }

void TForm1::FormCreate(TObject*) {
  TSettings settings = LoadSettings(settings_.readPath);
  // Notes may have to be kept before the user ever saves settings.
  MakeSettingsFolder(settings_);
  HotKeyCode = settings.hotkeyCode;
  HotKeyModifiers = settings.hotkeyModifiers;
  CheckBox4->SetChecked(settings.autoCopy);
  Edit3->SetText(SystemToUtf8(settings.url));
  Edit1->SetText(SystemToUtf8(settings.id));
  Edit2->SetText(SystemToUtf8(settings.password));
  NetSSLIOHandler1->SetPinnedCertificate(settings.certSha256);
  // A refusal here stays silent: the user notices that the hotkey does nothing.
  if (HotKeyCode != 0)
    platform::RegisterGlobalHotKey(Handle(), kHotKeyId, static_cast<unsigned>(HotKeyModifiers),
                                   static_cast<unsigned>(HotKeyCode));
  Label6->SetCaption(kHotKeyCaption);

  retry_ = TRetrySchedule(static_cast<uint32_t>(std::clamp(settings.outboxRetrySeconds, 1, 900)) * 1000u);
  if (int damaged = outbox_.Load(settings.keepHistory))
    Tell(biifWarning, "outbox damaged",
         IntToStr(damaged) + " damaged record(s) skipped; " + IntToStr(static_cast<int>(outbox_.Count())) +
             " note(s) kept");
  ScheduleDelivery(retry_.First());
}

void TForm1::FormShow(TObject*) {
  if (HotKeyCode != 0) platform::UnregisterGlobalHotKey(Handle(), kHotKeyId);
  Edit4->SetText(IntToStr(HotKeyCode));
  CheckBox1->SetChecked((HotKeyModifiers & 1) != 0);
  CheckBox2->SetChecked((HotKeyModifiers & 2) != 0);
  CheckBox3->SetChecked((HotKeyModifiers & 4) != 0);
}

void TForm1::FormCloseQuery(TObject*, bool& canClose) {
  TSettings settings;
  settings.url = UrlInSystemCodePage();
  settings.id = IdInSystemCodePage();
  settings.password = PasswordInSystemCodePage();
  settings.autoCopy = CheckBox4->Checked();
  settings.hotkeyCode = HotKeyCode;
  settings.hotkeyModifiers = HotKeyModifiers;
  // A failed write raises: the close is abandoned and the error shown.
  SaveSettings(settings_, settings);
  canClose = true;
  RetryNow();
}

void TForm1::setting1Click(TObject*) { ShowModal(); }

void TForm1::quit1Click(TObject*) { Close(); }

void TForm1::NetHTTP1Disconnected(TObject*) { Button1->SetEnabled(true); }

void TForm1::Edit4KeyDown(TObject*, uint16_t& key, TShiftState) { Edit4->SetText(IntToStr(key)); }

void TForm1::Button2Click(TObject*) {
  HotKeyCode = StrToIntDef(Edit4->Text(), 0);
  HotKeyModifiers = 0;
  if (CheckBox1->Checked()) HotKeyModifiers |= 1;
  if (CheckBox2->Checked()) HotKeyModifiers |= 2;
  if (CheckBox3->Checked()) HotKeyModifiers |= 4;
  if (HotKeyCode != 0) platform::UnregisterGlobalHotKey(Handle(), kHotKeyId);
  // Tried also for code 0; the window closes whatever the answer.
  if (!platform::RegisterGlobalHotKey(Handle(), kHotKeyId, static_cast<unsigned>(HotKeyModifiers),
                                      static_cast<unsigned>(HotKeyCode)))
    platform::ShowMessageBox(Handle(), "Error : Failed to register hotkey", "Error", platform::mb::Ok);
  SetModalResult(mrOk);
}

void TForm1::Button3Click(TObject*) { Edit3->SetText(kDefaultServiceUrl); }

void TForm1::Button4Click(TObject*) {
  // Always the default service's page: the URL box may hold anything.
  platform::ShellOpen(0, nullptr, std::string(kDefaultServiceUrl) + kSignUpPath, nullptr, nullptr,
                      platform::kShowNormal);
}

void TForm1::ConfigureHttp() {
  // Everything not set here keeps the client's default.
  NetHTTP1->HandleRedirects = true;
  NetHTTP1->AllowCookies = true;
  NetHTTP1->SetCookieManager(NetCookieManager1);
  // Owned by the client rather than the window: it is the client's end point.
  NetSSLIOHandler1 = new TNetSSLIOHandlerSocket(NetHTTP1);
  NetHTTP1->SetIOHandler(NetSSLIOHandler1);
  NetHTTP1->HTTPOptions = TNetHTTPOptions{TNetHTTPOption::hoForceEncodeParams};
  NetHTTP1->Request().Accept = "text/html, */*";
  NetHTTP1->Request().UserAgent = "Mozilla/3.0 (compatible; text snap)";
  NetHTTP1->MaxLineAction = TNetMaxLineAction::maException;
  NetHTTP1->OnDisconnected = [this](TObject* s) { NetHTTP1Disconnected(s); };
}

void TForm1::Button1Click(TObject*) { snap_.Run(); }

void TForm1::ClearBalloon() {
  TrayIcon1->SetBalloonText("");
  TrayIcon1->SetBalloonTitle("");
}

void TForm1::TitleBalloon(int icon, const std::string& title) {
  TrayIcon1->ShowBalloon(static_cast<TBalloonInfoIconFlag>(icon), title);
}

void TForm1::FullBalloon(int icon, const std::string& title, const std::string& text) {
  TrayIcon1->ShowBalloon(static_cast<TBalloonInfoIconFlag>(icon), title, text);
}

bool TForm1::AutoCopy() { return CheckBox4->Checked(); }
std::string TForm1::UserId() { return Edit1->Text(); }
std::string TForm1::Password() { return Edit2->Text(); }
std::string TForm1::BaseUrl() { return Edit3->Text(); }
void TForm1::SetSendEnabled(bool enabled) { Button1->SetEnabled(enabled); }
void TForm1::ShowResponse(const std::string& response) { Memo1->SetText(response); }

void TForm1::ProcessMessages() {
  if (Application) Application->ProcessMessages();
}

void TForm1::PlayCue(int index) { ts::PlayCue(*FileStorage1, index); }

std::string TForm1::GetText(const std::string& url) { return NetHTTP1->GetText(url); }

std::string TForm1::PostForm(const std::string& url, const TStringList& lines) {
  return NetHTTP1->PostForm(url, lines);
}

void TForm1::RunSnap(TObject* sender) {
  // The one guard against a snap inside a snap: the snap pumps messages while
  // it copies the selection, and a hotkey handled there (a second press, or
  // the copy keystroke itself matching the hotkey) must not start another.
  if (snapping_) return;
  snapping_ = true;
  auto done = OnScopeExit([this] { snapping_ = false; });
  Button1Click(sender);
}

void TForm1::HotKeyPressed(std::uintptr_t id) {
  if (id != static_cast<std::uintptr_t>(kHotKeyId)) return;
  // A press during a snap or a delivery is not a press after a failed snap: nothing to re-arm.
  if (snapping_ || delivering_) return;
  if (Button1->Enabled()) {
    Button1->Click();
    return;
  }
  // The trigger waits for the HTTP client's disconnect after a failed snap.
  // When the client holds no open connection (a refused or failed connect, or
  // a kept connection the service has since closed, which this check notices
  // and reports), no disconnect is left to come: re-arm for the next press
  // instead of refusing for good.
  if (!NetHTTP1->IsConnected()) Button1->SetEnabled(true);
  TrayIcon1->ShowBalloon(biifError, "wait 1 sec.");
}

void TForm1::Tell(TBalloonInfoIconFlag icon, const std::string& title, const std::string& text) {
  TrayIcon1->ShowBalloon(icon, title, text);
  // Balloons that show only a title (such as "wait 1 sec.") keep the current
  // text: this one's must not appear under them.
  TrayIcon1->SetBalloonText("");
}

std::string TForm1::NoteOutcome(const TSnapNote& snapped) {
  TNoteRecord note{TNoteState::nsWaiting, snapped.paperId, "", snapped.text};
  switch (snapped.result) {
    case TSnapResult::srStored:
      outbox_.Stored(note);
      // The service answers: notes that wait can follow at once.
      loginRefused_ = false;
      retry_.Reset();
      ScheduleDelivery(kSoonMs);
      return {};
    case TSnapResult::srRefused:
      note.state = TNoteState::nsRefused;
      note.reason = snapped.reason;
      break;
    case TSnapResult::srLoginRefused:
      loginRefused_ = true;
      break;
    case TSnapResult::srFailed:
      break;
  }
  const TOutbox::TKept kept = outbox_.Keep(note);
  if (note.state == TNoteState::nsWaiting) ScheduleDelivery(retry_.Next());
  const std::string waiting = "kept: " + IntToStr(static_cast<int>(outbox_.Waiting())) + " waiting";
  std::string told;
  switch (kept) {
    case TOutbox::TKept::kKept:
    case TOutbox::TKept::kAlreadyWaiting:
      told = note.state == TNoteState::nsRefused ? "kept in Recent snaps" : waiting;
      break;
    case TOutbox::TKept::kFull:
      told = "NOT kept: the outbox is full (" + IntToStr(static_cast<int>(outbox_.Count())) +
             " notes); send or discard some";
      break;
    case TOutbox::TKept::kWriteFailed:
      told = "NOT kept: the outbox file cannot be written";
      break;
  }
  // A failure goes on to its error box; the balloon says what became of the note.
  if (snapped.result == TSnapResult::srFailed) {
    const bool safe = kept == TOutbox::TKept::kKept || kept == TOutbox::TKept::kAlreadyWaiting;
    Tell(safe ? static_cast<TBalloonInfoIconFlag>(kBalloonWarning) : biifError, safe ? waiting : "not sent!",
         safe ? "sent when the service answers" : told);
  }
  return told;
}

TOutbox::TKept TForm1::KeepHandedNote(const std::string& utf8Text) {
  const TOutbox::TKept kept = outbox_.KeepWaiting(utf8Text);
  // Its sender has just found the service away, as a failed snap does. A try
  // already planned stands: a burst of handed notes must not push it away.
  if (kept == TOutbox::TKept::kKept && !Timer1->Enabled()) ScheduleDelivery(retry_.Next());
  return kept;
}

void TForm1::ScheduleDelivery(uint32_t milliseconds) {
  if (outbox_.Waiting() == 0 || loginRefused_) {
    Timer1->SetEnabled(false);
    return;
  }
  Timer1->SetInterval(milliseconds);
  Timer1->SetEnabled(true);
}

void TForm1::RetryNow() {
  loginRefused_ = false;
  retry_.Reset();
  ScheduleDelivery(kSoonMs);
}

void TForm1::ReportDelivered() {
  if (delivered_ == 0) return;
  const size_t left = outbox_.Waiting();
  Tell(biifInfo, "sent: " + IntToStr(delivered_) + (delivered_ == 1 ? " kept note" : " kept notes"),
       left ? IntToStr(static_cast<int>(left)) + " still waiting" : std::string());
  delivered_ = 0;
}

void TForm1::Timer1Timer(TObject*) {
  // Never inside a snap (its copy step pumps messages), never while the
  // settings are being edited, never twice at once.
  if (snapping_ || delivering_ || Visible()) {
    ScheduleDelivery(kBusyMs);
    return;
  }
  Timer1->SetEnabled(false);
  std::string failure;
  TOutbox::TDelivery result;
  {
    TRestore<bool> busy(delivering_, true);
    // A delivery runs while the user works on: a service that takes the
    // connection and then says nothing must not hold the program. The note
    // then waits for the next try like any other transport failure.
    TRestore<int32_t> patience(NetHTTP1->ReadTimeout, kDeliveryReadTimeoutMs);
    result = outbox_.DeliverOldest(snap_.Exchange(), *this, &failure);
  }
  // A snap cut short by an error waits for the HTTP client's disconnect; this
  // exchange has ended that state (and may keep its connection open).
  if (result != TOutbox::TDelivery::kNothing) Button1->SetEnabled(true);
  const std::string excerpt = Utf8ToSystem(TSnapPipeline::Excerpt(outbox_.LastTried().text));
  switch (result) {
    case TOutbox::TDelivery::kNothing:
      ReportDelivered();
      return;
    case TOutbox::TDelivery::kDelivered:
      ++delivered_;
      retry_.Reset();
      if (outbox_.Waiting() == 0) ReportDelivered();
      ScheduleDelivery(kSoonMs);
      return;
    case TOutbox::TDelivery::kRefused:
      ReportDelivered();
      Tell(biifError, "cannot send data.", excerpt + " (kept in Recent snaps)");
      ScheduleDelivery(kSoonMs);
      return;
    case TOutbox::TDelivery::kLoginRefused:
      ReportDelivered();
      loginRefused_ = true;
      Tell(biifError, "cannot login!",
           IntToStr(static_cast<int>(outbox_.Waiting())) + " note(s) wait until the ID or password is changed");
      ScheduleDelivery(0);
      return;
    case TOutbox::TDelivery::kFailed:
      // Quietly later: the service is still away.
      ReportDelivered();
      ScheduleDelivery(retry_.Next());
      return;
  }
}

void TForm1::PopupMenu1Popup(TObject*) {
  const size_t waiting = outbox_.Waiting();
  send1->Caption = "Send waiting notes (" + IntToStr(static_cast<int>(waiting)) + ")";
  send1->Visible = waiting > 0;
  recent1->Clear();
  const std::vector<TNoteRecord> recent = outbox_.Offered(kRecentShown);
  for (const TNoteRecord& note : recent) {
    auto* item = new TMenuItem(recent1);
    item->Caption = RecentCaption(note);
    recent1->Add(item);
    const std::string text = note.text;
    auto copy = [text](TObject*) { Clipboard().SetAsUnicodeText(Utf8ToUtf16(text)); };
    if (note.state != TNoteState::nsRefused) {
      item->OnClick = copy;
      continue;
    }
    // A refused note waits for the user: take its text back, or let it go.
    auto* take = new TMenuItem(item);  // freed with its entry at the next rebuild
    take->Caption = "Copy to clipboard";
    take->OnClick = copy;
    item->Add(take);
    auto* drop = new TMenuItem(item);
    drop->Caption = "Discard";
    drop->OnClick = [this, note](TObject*) { outbox_.Discard(note); };
    item->Add(drop);
  }
  if (recent.empty()) {
    auto* none = new TMenuItem(recent1);
    none->Caption = "(none)";
    none->Enabled = false;
    recent1->Add(none);
  }
}

void TForm1::send1Click(TObject*) { RetryNow(); }

void TForm1::notes1Click(TObject*) {
  platform::ShellOpen(0, nullptr, UrlInSystemCodePage() + kNotesPath, nullptr, nullptr, platform::kShowNormal);
}

bool TForm1::WndProc(platform::Message& message) {
  if (message.msg == platform::wm::HotKey) {
    HotKeyPressed(message.wParam);
    return true;
  }
  if (message.msg == kAnotherStartMessage) {
    TrayIcon1->ShowBalloon(biifInfo, kAlreadyRunningTitle, kAlreadyRunningText);
    return true;
  }
  return TForm::WndProc(message);
}

}  // namespace ts
