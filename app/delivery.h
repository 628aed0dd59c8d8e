// When the outbox's notes go out: the first try a while after the start, then
// pauses that double while the service stays away, at once after a stored
// snap, a settings change or the user's asking; never while a snap runs or
// the settings are being edited; held after a refused login until the
// settings change. Each try sends the oldest waiting note; the balloons say
// what became of the notes. The window supplies a timer and the live settings.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "app/outbox.h"
#include "app/serviceclient.h"
#include "app/snap.h"
#include "tray/trayicon.h"

namespace ts {

// The one timer the schedule runs on; it calls TDeliverySchedule::Tick when due.
class TDeliveryTimer {
public:
  virtual ~TDeliveryTimer() = default;
  virtual void Start(uint32_t milliseconds) = 0;
  virtual void Stop() = 0;
  virtual bool Running() const = 0;
};

inline constexpr uint32_t kDeliverSoonMs = 100;   // "at once", but after the handler that asked for it
inline constexpr uint32_t kDeliverBusyMs = 1000;  // a snap runs or the settings window is open

class TDeliverySchedule : public TNoteKeeper {
public:
  TDeliverySchedule(TOutbox& outbox, TServiceClient& service, TDeliveryTimer& timer)
      : outbox_(outbox), service_(service), timer_(timer) {}

  // The account of the live settings.
  std::function<TServiceAccount()> Account;
  // True while no delivery may run (a snap runs, the settings are open).
  std::function<bool()> Busy;
  // A balloon of the outbox's own.
  std::function<void(TBalloonInfoIconFlag icon, const std::string& title, const std::string& text)> Tell;
  // Each answer of the service.
  TServiceClient::TAnswerSink OnAnswer;
  // A conversation ended (whatever its outcome): a snap cut short by an error
  // no longer needs to wait for the HTTP client's disconnect.
  std::function<void()> OnConversationEnded;

  // The outbox has been read: plans the first try `firstPauseMs` from now.
  void Begin(uint32_t firstPauseMs);
  // The timer fell due: one delivery of the oldest waiting note, or a later
  // try when busy.
  void Tick();
  // The settings may have changed, or the user asks: a held delivery goes
  // again, at once.
  void RetryNow();
  // What the outbox allows changed: says why it keeps nothing, if so, and
  // plans anew.
  void Refresh() {
    TellRefusal();
    Plan(kDeliverSoonMs);
  }
  // Deliveries stopped by a refused login, until the settings change.
  bool Held() const { return held_; }
  bool Delivering() const { return delivering_; }

  // A snap's note goes on the disk before the conversation begins.
  void WriteAhead(TSnapNote& note) override;
  // A snap's note whose fate is known; the text its balloon adds.
  std::string Settle(const TSnapNote& note) override;
  // A note another program of ours could not deliver (the service was away):
  // kept as waiting, on the disk before this returns, and sent with the others.
  TOutbox::TKept KeepHanded(const std::string& utf8Text, const std::string& utf8Title = {});

private:
  // The next delivery in `milliseconds`, when notes wait and nothing holds them.
  void Plan(uint32_t milliseconds);
  void ReportDelivered();
  // Says once why the outbox keeps nothing (it cannot be read, ...).
  void TellRefusal();
  void Say(TBalloonInfoIconFlag icon, const std::string& title, const std::string& text) {
    if (Tell) Tell(icon, title, text);
  }

  TOutbox& outbox_;
  TServiceClient& service_;
  TDeliveryTimer& timer_;
  TRetrySchedule retry_;
  bool held_ = false;
  bool delivering_ = false;
  int delivered_ = 0;  // notes delivered since the last report
  std::string toldRefusal_;
};

}  // namespace ts
