#include "app/delivery.h"

#include "runtime/codepage.h"
#include "runtime/scope.h"
#include "runtime/text.h"

namespace ts {

namespace {
std::string Count(size_t n) { return IntToStr(static_cast<int>(n)); }
}  // namespace

void TDeliverySchedule::Begin(uint32_t firstPauseMs) {
  retry_ = TRetrySchedule(firstPauseMs);
  TellRefusal();
  Plan(retry_.First());
}

void TDeliverySchedule::TellRefusal() {
  const std::string refusal = outbox_.Refusal();
  if (refusal == toldRefusal_) return;
  toldRefusal_ = refusal;
  if (!refusal.empty()) Say(biifError, refusal, "new notes are NOT kept until it can be used");
}

void TDeliverySchedule::Plan(uint32_t milliseconds) {
  // An outbox that cannot be read now is tried again later, like a service;
  // one that another program has sends nothing.
  if ((outbox_.Waiting() == 0 && !outbox_.Unreadable()) || held_ ||
      (!outbox_.Refusal().empty() && !outbox_.Unreadable())) {
    timer_.Stop();
    return;
  }
  timer_.Start(milliseconds);
}

void TDeliverySchedule::RetryNow() {
  held_ = false;
  retry_.Reset();
  Plan(kDeliverSoonMs);
}

void TDeliverySchedule::ReportDelivered() {
  if (delivered_ == 0) return;
  const size_t left = outbox_.Waiting();
  Say(biifInfo, "sent: " + IntToStr(delivered_) + (delivered_ == 1 ? " kept note" : " kept notes"),
      left ? Count(left) + " still waiting" : std::string());
  delivered_ = 0;
}

void TDeliverySchedule::Tick() {
  // Never inside a snap (its copy step pumps messages), never while the
  // settings are being edited, never twice at once.
  if (delivering_ || (Busy && Busy())) {
    Plan(kDeliverBusyMs);
    return;
  }
  timer_.Stop();
  std::optional<TServiceOutcome> outcome;
  const TServiceAccount account = Account ? Account() : TServiceAccount{};
  {
    TRestore<bool> busy(delivering_, true);
    outcome = outbox_.DeliverOldest(service_, account, OnAnswer);
  }
  TellRefusal();
  if (!outcome) {
    ReportDelivered();
    if (outbox_.Unreadable()) Plan(retry_.Next());
    return;
  }
  if (OnConversationEnded) OnConversationEnded();
  switch (outcome->result) {
    case TServiceResult::srStored:
      ++delivered_;
      retry_.Reset();
      if (outbox_.Waiting() == 0) ReportDelivered();
      Plan(kDeliverSoonMs);
      return;
    case TServiceResult::srRefused:
      ReportDelivered();
      Say(biifError, "cannot send data.",
          Utf8ToSystem(TSnapPipeline::Excerpt(outbox_.LastTried().text)) + " (kept in Recent snaps)");
      Plan(kDeliverSoonMs);
      return;
    case TServiceResult::srLoginRefused:
      ReportDelivered();
      held_ = true;
      Say(biifError, "cannot login!",
          Count(outbox_.Waiting()) + (account.token.empty() ? " note(s) wait until the ID or password is changed"
                                                            : " note(s) wait until this device is paired again"));
      Plan(0);
      return;
    case TServiceResult::srFailed:
      // Quietly later: the service is still away.
      ReportDelivered();
      Plan(retry_.Next());
      return;
  }
}

void TDeliverySchedule::WriteAhead(TSnapNote& snapped) {
  TNoteRecord note{TNoteState::nsWaiting, snapped.paperId, "", snapped.text, snapped.title};
  outbox_.WriteAhead(note);
  snapped.paperId = note.paperId;
}

std::string TDeliverySchedule::Settle(const TSnapNote& snapped) {
  TNoteRecord note{TNoteState::nsWaiting, snapped.paperId, "", snapped.text, snapped.title};
  switch (snapped.result) {
    case TServiceResult::srStored:
      outbox_.Stored(note);
      // The service answers: notes that wait can follow at once.
      held_ = false;
      retry_.Reset();
      Plan(kDeliverSoonMs);
      return {};
    case TServiceResult::srRefused:
      note.state = TNoteState::nsRefused;
      note.reason = snapped.reason;
      break;
    case TServiceResult::srLoginRefused:
      held_ = true;
      break;
    case TServiceResult::srFailed:
      break;
  }
  const TOutbox::TKept kept = outbox_.Keep(note);
  TellRefusal();
  if (note.state == TNoteState::nsWaiting) Plan(retry_.Next());
  const std::string waiting = "kept: " + Count(outbox_.Waiting()) + " waiting";
  const std::string notKept = outbox_.NotKeptReason(kept);
  std::string told;
  if (notKept.empty())
    told = note.state == TNoteState::nsRefused ? "kept in Recent snaps" : waiting;
  else if (kept == TOutbox::TKept::kpFull)
    told = "NOT kept: the outbox is full (" + Count(outbox_.Count()) + " notes); send or discard some";
  else
    told = "NOT kept: " + notKept;
  // A failure goes on to its error box; the balloon says what became of the note.
  if (snapped.result == TServiceResult::srFailed) {
    if (notKept.empty())
      Say(biifWarning, waiting, "sent when the service answers");
    else
      Say(biifError, "not sent!", told);
  }
  return told;
}

TOutbox::TKept TDeliverySchedule::KeepHanded(const std::string& utf8Text, const std::string& utf8Title) {
  const TOutbox::TKept kept = outbox_.KeepWaiting(utf8Text, utf8Title);
  TellRefusal();
  // Its sender has just found the service away, as a failed snap does. A try
  // already planned stands: a burst of handed notes must not push it away.
  if (kept == TOutbox::TKept::kpKept && !timer_.Running()) Plan(retry_.Next());
  return kept;
}

}  // namespace ts
