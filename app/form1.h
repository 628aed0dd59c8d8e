// The one window of the client: invisible main window that owns the tray
// icon, receives the global hotkey and runs the snap, and the settings window
// shown modally from the tray menu.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "app/delivery.h"
#include "app/outbox.h"
#include "app/pairing.h"
#include "app/serviceclient.h"
#include "app/settings.h"
#include "app/snap.h"
#include "storage/filestorage.h"
#include "tray/trayicon.h"
#include "ui/controls.h"
#include "ui/forms.h"
#include "ui/menus.h"
#include "ui/timer.h"

namespace ts {

class TNetHTTP;
class TNetSSLIOHandlerSocket;
class TNetCookieManager;
class TNetAntiFreezeBase;

inline constexpr const char* kApplicationTitle = "text snap for pinleaf online";
inline constexpr int kHotKeyId = 304;  // the only hotkey the program registers
inline constexpr const char* kSignUpPath = "/users/add";
// A later start of the program asks the running one to say so and ends (the
// mark names the running program's window; the message is its own).
inline constexpr const char* kInstanceName = "textsnap.pinleaf.instance";
inline constexpr uint32_t kAnotherStartMessage = 0xA130;
inline constexpr const char* kAlreadyRunningTitle = "text snap";
inline constexpr const char* kAlreadyRunningText = "text snap is already running.";
inline constexpr const char* kHotKeyCaption = "↑このエリアをクリックして、\rショートカットにしたいキーを押してください";

class TForm1 : public TForm, private TSnapHost, private TDeliveryTimer {
public:
  // Reads and writes the settings where FindSettingsLocation says.
  explicit TForm1(TComponent* owner);
  // Reads and writes the settings at `settingsPath` instead.
  TForm1(TComponent* owner, const std::string& settingsPath);
  TForm1(TComponent* owner, TSettingsLocation settings);
  ~TForm1() override;

  // The parts of the window, in the order of its definition.
  TButton* Button1;    // the invisible send trigger: enabled exactly when no snap runs
  TEdit* Edit1;        // account ID
  TNetHTTP* NetHTTP1;  // the service's client; its cookie jar is NetCookieManager1
  TNetCookieManager* NetCookieManager1;
  // NetHTTP1's end point: plain bytes for "http://" services, TLS for "https://".
  TNetSSLIOHandlerSocket* NetSSLIOHandler1;
  TMemo* Memo1;  // each service answer, never shown
  TEdit* Edit2;  // password
  TEdit* Edit3;  // base URL of the service
  TLabel* Label1;
  TLabel* Label2;
  TLabel* Label3;
  TTrayIcon* TrayIcon1;
  TButton* Button2;  // OK
  TEdit* Edit4;      // hotkey code, read-only: filled by the key pressed in it
  TLabel* Label4;
  TCheckBox* CheckBox1;  // Alt
  TCheckBox* CheckBox2;  // Ctrl
  TCheckBox* CheckBox3;  // Shift
  TPopupMenu* PopupMenu1;
  TMenuItem* setting1;
  TMenuItem* quit1;
  TMenuItem* N1;
  TCheckBox* CheckBox4;  // auto-copy
  TLabel* Label5;
  TButton* Button3;  // Default
  TLabel* Label6;
  TButton* Button4;  // CREATE ID
  TFileStorage* FileStorage1;
  // The outbox: its tray menu items and the timer that drives its deliveries.
  TMenuItem* send1;    // "Send waiting notes (N)", shown while notes wait
  TMenuItem* recent1;  // "Recent snaps", rebuilt each time the menu opens
  TMenuItem* notes1;   // "Open notes page"
  TTimer* Timer1;
  TMenuItem* source1;  // "Note where it came from", checked while snaps note it
  // Pairing this device with the service: "Pair with the service..." (or
  // "Cancel pairing" while a code waits), "Forget this pairing" while paired,
  // and the timer that polls the service while a code waits.
  TMenuItem* pair1;
  TMenuItem* forget1;
  TTimer* Timer2;

  // Window state shared with the snap and the settings window.
  int32_t HotKeyCode = 0;       // virtual-key code; 0: no hotkey
  int32_t HotKeyModifiers = 0;  // 1 Alt, 2 Ctrl, 4 Shift, as the system takes them
  // Tick count when the last upload was answered, and its text (UTF-8).
  uint32_t LastSendTime() const { return snap_->LastSendTime(); }
  const std::string& LastSentText() const { return snap_->LastSentText(); }

  // The file the settings are saved to.
  const std::string& SettingsFile() const { return settings_.writePath; }
  const TOutbox& Outbox() const { return outbox_; }
  // Deliveries stopped by a refused login, until the settings change.
  bool DeliveryHeld() const { return delivery_->Held(); }
  // Whether this device holds a token of the service in the URL box.
  bool Paired() { return !Account().token.empty(); }
  // Another program of ours paired this device, or forgot its pairing: the
  // token is the settings file's from now on.
  void TakePairingFromSettings();
  // The pairing under way, nullptr when none is.
  const TPairing* Pairing() const { return pairing_.get(); }
  // A note another program of ours could not deliver (the service was
  // away): kept in the outbox, on the disk before this returns, and sent
  // with the others.
  TOutbox::TKept KeepHandedNote(const std::string& utf8Text, const std::string& utf8Title = {});
  // Another text snap of the user has the outbox (a second session): this
  // one keeps and sends no notes, says so once, and reports failed snaps as
  // NOT kept.
  void OutboxInUseElsewhere(const std::string& why);

  // The live settings as the settings file keeps them, in the system code
  // page (the snap reads the boxes' UTF-8 texts through UserId and the like).
  std::string IdInSystemCodePage() const;
  std::string PasswordInSystemCodePage() const;
  std::string UrlInSystemCodePage() const;

  // Handlers.
  void FormCreate(TObject* sender);
  void FormShow(TObject* sender);
  void FormCloseQuery(TObject* sender, bool& canClose);
  void setting1Click(TObject* sender);
  void quit1Click(TObject* sender);
  void NetHTTP1Disconnected(TObject* sender);
  void Edit4KeyDown(TObject* sender, uint16_t& key, TShiftState shift);
  void Button2Click(TObject* sender);
  void Button3Click(TObject* sender);
  void Button4Click(TObject* sender);
  void PopupMenu1Popup(TObject* sender);
  void send1Click(TObject* sender);
  void notes1Click(TObject* sender);
  // Turns noting where a snap came from on or off, and saves the choice.
  void source1Click(TObject* sender);
  // Starts pairing (or cancels the one under way) / forgets the pairing.
  void pair1Click(TObject* sender);
  void forget1Click(TObject* sender);
  // One poll of the pairing under way.
  void Timer2Timer(TObject* sender);
  // One delivery of the oldest waiting note, or a later try when busy.
  void Timer1Timer(TObject* sender);
  // One snap. Tests override it to see what the hotkey dispatch does.
  virtual void Button1Click(TObject* sender);

  // The hotkey message: only identifier 304 counts.
  void HotKeyPressed(std::uintptr_t id);
  // True while a snap runs (between the click on Button1 and its return).
  bool Snapping() const { return snapping_; }

protected:
  bool WndProc(platform::Message& message) override;

private:
  void CreateParts();
  void LayOut();
  void RunSnap(TObject* sender);
  // The service client over NetHTTP1, and everything that talks through it.
  void ConfigureHttp();

  // What the snap asks of the window.
  void ClearBalloon() override;
  void TitleBalloon(TBalloonInfoIconFlag icon, const std::string& title) override;
  void FullBalloon(TBalloonInfoIconFlag icon, const std::string& title, const std::string& text) override;
  bool AutoCopy() override;
  TServiceAccount Account() override;
  bool NoteSource() override { return source1->Checked; }
  bool GuardSecrets() override { return secretGuard_; }
  void SetSendEnabled(bool enabled) override;
  void ShowResponse(const std::string& response) override;
  void ProcessMessages() override;
  void PlayCue(int index) override;

  // The delivery schedule's timer is Timer1.
  void Start(uint32_t milliseconds) override;
  void Stop() override;
  bool Running() const override;

  // Writes the settings as they stand now (the boxes, the hotkey, the token).
  bool SaveLiveSettings();
  // The HTTP client of a pairing step: parts of its own, so a poll never
  // stands in the way of a snap or a delivery, with the service's pin.
  std::unique_ptr<TServiceHttp> PairingHttp();
  // The pairing ended (paired, refused, expired, cancelled): says so.
  void EndPairing();

  // A balloon of the outbox's own.
  void Tell(TBalloonInfoIconFlag icon, const std::string& title, const std::string& text);

  TSettingsLocation settings_;
  bool snapping_ = false;
  bool secretGuard_ = true;        // [setting] secret_guard, by hand only
  bool pressedMeanwhile_ = false;  // the hotkey, pressed while a delivery waited
  std::string token_;              // this device's access token from pairing (empty: none)
  std::string tokenUrl_;           // the service (UTF-8) that gave it: no other sees it
  std::string certSha256_;         // the service's pinned certificate, from the settings
  std::unique_ptr<TServiceHttp> pairingHttp_;
  std::unique_ptr<TPairing> pairing_;
  std::string pairingUrl_;  // the service the pairing under way asks
  bool polling_ = false;
  std::unique_ptr<TNetAntiFreezeBase> antiFreeze_;
  std::unique_ptr<TServiceHttp> serviceHttp_;  // over NetHTTP1, made with it
  std::unique_ptr<TServiceClient> service_;
  std::unique_ptr<TSnapPipeline> snap_;
  TOutbox outbox_{BesideSettings(settings_.writePath, kOutboxFileName),
                  BesideSettings(settings_.writePath, kHistoryFileName)};
  std::unique_ptr<TDeliverySchedule> delivery_;
};

}  // namespace ts
