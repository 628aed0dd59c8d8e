#include "app/form1.h"

#include <algorithm>
#include <exception>

#include "app/settings.h"
#include "app/traymenu.h"
#include "http/cookies.h"
#include "http/http.h"
#include "net/component.h"
#include "net/exceptions.h"
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
constexpr const char* kNotesPath = "/notes";
// How long a wait for the service goes without letting the window's messages through.
constexpr int kAntiFreezeSliceMs = 100;

// The program was told to end while a conversation waited: the wait ends at
// once (the note is on the disk already, waiting to be sent).
class ENetProgramEnding : public ENetSilentException {
public:
  ENetProgramEnding() : ENetSilentException("The program is ending.") {}
};

// While a conversation with the service waits, the tray stays usable: the
// transport's waits let the window's messages through (the menu, the
// settings window, Quit).
class TTrayAntiFreeze : public TNetAntiFreezeBase {
public:
  TTrayAntiFreeze() : TNetAntiFreezeBase(nullptr) { IdleTimeOut = kAntiFreezeSliceMs; }
  void ProcessMessages() override {
    if (!Application) return;
    Application->ProcessMessages();
    if (Application->Terminated()) throw ENetProgramEnding();
  }
};
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
  token_ = settings.token;
  tokenUrl_ = Edit3->Text();
  certSha256_ = settings.certSha256;
  serviceHttp_->SetPinnedCertificate(settings.certSha256);
  source1->Checked = settings.snapSource;
  secretGuard_ = settings.secretGuard;
  // A refusal here stays silent: the user notices that the hotkey does nothing.
  if (HotKeyCode != 0)
    platform::RegisterGlobalHotKey(Handle(), kHotKeyId, static_cast<unsigned>(HotKeyModifiers),
                                   static_cast<unsigned>(HotKeyCode));
  Label6->SetCaption(kHotKeyCaption);

  if (int damaged = outbox_.Load(settings.keepHistory))
    Tell(biifWarning, "outbox damaged",
         IntToStr(damaged) + " damaged record(s) skipped; " + IntToStr(static_cast<int>(outbox_.Count())) +
             " note(s) kept");
  delivery_->Begin(static_cast<uint32_t>(std::clamp(settings.outboxRetrySeconds, 1, 900)) * 1000u);
}

void TForm1::FormShow(TObject*) {
  if (HotKeyCode != 0) platform::UnregisterGlobalHotKey(Handle(), kHotKeyId);
  Edit4->SetText(IntToStr(HotKeyCode));
  CheckBox1->SetChecked((HotKeyModifiers & 1) != 0);
  CheckBox2->SetChecked((HotKeyModifiers & 2) != 0);
  CheckBox3->SetChecked((HotKeyModifiers & 4) != 0);
}

void TForm1::FormCloseQuery(TObject*, bool& canClose) {
  // A failed write raises: the close is abandoned and the error shown.
  if (SaveLiveSettings())
    Tell(biifWarning, "no keyring found",
         "the password is kept in ini.ini, readable by you only; with a keyring it would be kept there");
  canClose = true;
  delivery_->RetryNow();
}

bool TForm1::SaveLiveSettings() {
  TSettings settings;
  settings.url = UrlInSystemCodePage();
  settings.id = IdInSystemCodePage();
  settings.password = PasswordInSystemCodePage();
  settings.autoCopy = CheckBox4->Checked();
  settings.hotkeyCode = HotKeyCode;
  settings.hotkeyModifiers = HotKeyModifiers;
  // A token is the service's that gave it: another service in the URL box
  // never gets it, and this device is paired with none there.
  if (Edit3->Text() != tokenUrl_) token_.clear();
  settings.token = token_;
  return SaveSettings(settings_, settings);
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
  antiFreeze_ = std::make_unique<TTrayAntiFreeze>();
  serviceHttp_ = std::make_unique<TServiceHttp>(*NetHTTP1, *NetCookieManager1);
  NetSSLIOHandler1 = &serviceHttp_->Tls();
  NetHTTP1->OnDisconnected = [this](TObject* s) { NetHTTP1Disconnected(s); };
  service_ = std::make_unique<TServiceClient>(*serviceHttp_);
  delivery_ = std::make_unique<TDeliverySchedule>(outbox_, *service_, static_cast<TDeliveryTimer&>(*this));
  delivery_->Account = [this] { return Account(); };
  delivery_->Busy = [this] { return snapping_ || Visible(); };
  delivery_->Tell = [this](TBalloonInfoIconFlag icon, const std::string& title, const std::string& text) {
    Tell(icon, title, text);
  };
  delivery_->OnAnswer = [this](const std::string& answer) { ShowResponse(answer); };
  // A snap cut short by an error waits for the HTTP client's disconnect; a
  // delivery's conversation has ended that state (and may keep its connection open).
  delivery_->OnConversationEnded = [this] { Button1->SetEnabled(true); };
  snap_ = std::make_unique<TSnapPipeline>(static_cast<TSnapHost&>(*this), *service_, delivery_.get());
}

void TForm1::Button1Click(TObject*) { snap_->Run(); }

void TForm1::ClearBalloon() {
  TrayIcon1->SetBalloonText("");
  TrayIcon1->SetBalloonTitle("");
}

void TForm1::TitleBalloon(TBalloonInfoIconFlag icon, const std::string& title) { TrayIcon1->ShowBalloon(icon, title); }

void TForm1::FullBalloon(TBalloonInfoIconFlag icon, const std::string& title, const std::string& text) {
  TrayIcon1->ShowBalloon(icon, title, text);
}

bool TForm1::AutoCopy() { return CheckBox4->Checked(); }
TServiceAccount TForm1::Account() {
  return {Edit3->Text(), Edit1->Text(), Edit2->Text(), Edit3->Text() == tokenUrl_ ? token_ : std::string()};
}
void TForm1::SetSendEnabled(bool enabled) { Button1->SetEnabled(enabled); }
void TForm1::ShowResponse(const std::string& response) { Memo1->SetText(response); }

void TForm1::ProcessMessages() {
  if (Application) Application->ProcessMessages();
}

void TForm1::PlayCue(int index) { ts::PlayCue(*FileStorage1, index); }

void TForm1::Start(uint32_t milliseconds) {
  Timer1->SetInterval(milliseconds);
  Timer1->SetEnabled(true);
}
void TForm1::Stop() { Timer1->SetEnabled(false); }
bool TForm1::Running() const { return Timer1->Enabled(); }

void TForm1::RunSnap(TObject* sender) {
  // The one guard against a snap inside a snap: the snap pumps messages while
  // it copies the selection, and a hotkey handled there (a second press, or
  // the copy keystroke itself matching the hotkey) must not start another.
  if (snapping_) return;
  snapping_ = true;
  auto done = OnScopeExit([this] { snapping_ = false; });
  try {
    Button1Click(sender);
  } catch (const ENetProgramEnding&) {
    // Quit during the snap: its note waits in the outbox; nothing to show.
  }
}

void TForm1::HotKeyPressed(std::uintptr_t id) {
  if (id != static_cast<std::uintptr_t>(kHotKeyId)) return;
  // A press during a snap is not a press after a failed snap: nothing to
  // re-arm. One during a delivery snaps as soon as the delivery is over.
  if (snapping_) return;
  if (delivery_->Delivering()) {
    pressedMeanwhile_ = true;
    return;
  }
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

TOutbox::TKept TForm1::KeepHandedNote(const std::string& utf8Text, const std::string& utf8Title) {
  return delivery_->KeepHanded(utf8Text, utf8Title);
}

void TForm1::OutboxInUseElsewhere(const std::string& why) {
  outbox_.SetInUseElsewhere(why);
  delivery_->Refresh();
}

void TForm1::Timer1Timer(TObject*) {
  delivery_->Tick();
  if (pressedMeanwhile_ && !delivery_->Delivering()) {
    pressedMeanwhile_ = false;
    platform::PostToWindow(Handle(), platform::wm::HotKey, static_cast<std::uintptr_t>(kHotKeyId), 0);
  }
}

void TForm1::PopupMenu1Popup(TObject*) {
  RefreshOutboxMenu(*send1, *recent1, outbox_);
  RefreshPairingMenu(*pair1, *forget1, Paired(), pairing_ != nullptr);
}

void TForm1::send1Click(TObject*) { delivery_->RetryNow(); }

void TForm1::source1Click(TObject*) {
  source1->Checked = !source1->Checked;
  // Saved at once: a choice made in the menu has no OK to wait for. A failed
  // write raises and is shown; the choice holds for this run all the same.
  SaveSnapSource(settings_, source1->Checked);
}

std::unique_ptr<TServiceHttp> TForm1::PairingHttp() {
  auto http = std::make_unique<TServiceHttp>();
  http->SetPinnedCertificate(certSha256_);
  return http;
}

void TForm1::pair1Click(TObject*) {
  // A step of the pairing waits for the service (the tray stays usable
  // meanwhile): the click counts once that step is done.
  if (polling_) return;
  if (pairing_) {
    // The second click cancels: the code is left to expire on the service.
    pairing_->Stop();
    EndPairing();
    return;
  }
  const std::string url = Edit3->Text();
  std::unique_ptr<TServiceHttp> http = PairingHttp();
  auto pairing = std::make_unique<TPairing>(*http, url);
  bool asked = false;
  std::string why;
  {
    TRestore<bool> busy(polling_, true);
    try {
      asked = pairing->Begin();
      why = pairing->Reason();
    } catch (const ENetException& e) {
      why = "the service cannot be reached: " + e.Message();
    }
  }
  if (Application && Application->Terminated()) return;
  if (!asked) {
    Tell(biifError, "not paired", Utf8ToSystem(why));
    return;
  }
  pairingUrl_ = url;
  pairingHttp_ = std::move(http);
  pairing_ = std::move(pairing);
  // The owner approves in a browser where they are signed in; the code is
  // shown here too, to be checked against the page (or typed, without a browser).
  Tell(biifInfo, "pairing code: " + pairing_->UserCode(),
       "approve it in the browser; the page opens now (" + Utf8ToSystem(pairing_->VerificationUrl()) + ")");
  platform::ShellOpen(Handle(), nullptr, Utf8ToSystem(pairing_->VerificationUrl()), nullptr, nullptr,
                      platform::kShowNormal);
  Timer2->SetInterval(pairing_->PollDelayMs());
  Timer2->SetEnabled(true);
}

void TForm1::Timer2Timer(TObject*) {
  // A poll waits for the service with the tray usable: a tick that comes
  // meanwhile is not a second poll.
  if (!pairing_ || polling_) return;
  Timer2->SetEnabled(false);
  TPairingState state;
  {
    TRestore<bool> busy(polling_, true);
    state = pairing_->Poll();
  }
  if (Application && Application->Terminated()) return;
  if (state == TPairingState::psWaiting) {
    Timer2->SetInterval(pairing_->PollDelayMs());
    Timer2->SetEnabled(true);
    return;
  }
  EndPairing();
}

void TForm1::EndPairing() {
  Timer2->SetEnabled(false);
  std::unique_ptr<TPairing> ended = std::move(pairing_);
  if (ended->State() != TPairingState::psPaired) {
    const bool cancelled = ended->State() == TPairingState::psStopped;
    Tell(cancelled ? biifInfo : biifError, "not paired", Utf8ToSystem(ended->Reason()));
    return;
  }
  token_ = ended->Token();
  tokenUrl_ = pairingUrl_;
  // Kept at once, where the password would be: the token is the device's
  // from now on, whatever happens to the settings window.
  const bool inFile = SaveLiveSettings();
  Tell(biifInfo, "paired",
       inFile ? "notes from here go with this device's token (kept in ini.ini for want of a keyring)"
              : "notes from here go with this device's token; no password needed");
  // Notes held for a refused sign-in or a revoked token go now.
  delivery_->RetryNow();
}

void TForm1::TakePairingFromSettings() {
  const TSettings settings = LoadSettings(settings_.writePath);
  const bool paired = !settings.token.empty() && settings.token != token_;
  token_ = settings.token;
  tokenUrl_ = SystemToUtf8(settings.url);
  if (!paired) return;
  Tell(biifInfo, "paired", "notes from here go with this device's token; no password needed");
  delivery_->RetryNow();
}

void TForm1::forget1Click(TObject*) {
  const TServiceAccount account = Account();
  if (account.token.empty()) return;
  std::string why;
  std::unique_ptr<TServiceHttp> http = PairingHttp();
  const bool revoked = RevokeToken(*http, account.baseUrl, account.token, why);
  if (Application && Application->Terminated()) return;
  token_.clear();
  SaveLiveSettings();
  if (revoked)
    Tell(biifInfo, "pairing forgotten", "the service no longer takes this device's token");
  else
    Tell(biifWarning, "pairing forgotten here",
         "the service did not answer (" + Utf8ToSystem(why) + "); revoke the token on its page Access tokens");
}

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
