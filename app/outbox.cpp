#include "app/outbox.h"

#include <algorithm>

#include "app/protocol.h"
#include "app/settings.h"
#include "platform/clock.h"
#include "platform/file.h"

namespace ts {

namespace {
// A note is its capture time and its text: two snaps may share a capture time
// (a clock set back, two in one millisecond) and must not share a fate.
auto SameNoteAs(const TNoteRecord& note) {
  return [&note](const TNoteRecord& n) { return n.paperId == note.paperId && n.text == note.text; };
}

void Drop(std::vector<TNoteRecord>& notes, const TNoteRecord& note) {
  notes.erase(std::remove_if(notes.begin(), notes.end(), SameNoteAs(note)), notes.end());
}

void Mark(std::vector<TNoteRecord>& notes, const TNoteRecord& note, TNoteState state, const std::string& reason) {
  for (TNoteRecord& n : notes)
    if (SameNoteAs(note)(n)) {
      n.state = state;
      n.reason = reason;
    }
}
}  // namespace

uint32_t TRetrySchedule::Next() {
  uint64_t pause = first_;
  for (int i = 0; i < failures_ && pause < longest_; ++i) pause *= 2;
  ++failures_;
  return static_cast<uint32_t>(std::min<uint64_t>(pause, longest_));
}

int TOutbox::Load(bool keepHistory) {
  keepHistory_ = keepHistory;
  onItsWay_.reset();
  const int damaged = outbox_.Load();
  if (keepHistory_)
    history_.Load();
  else
    history_.Erase();
  return damaged;
}

std::string TOutbox::Refusal() const {
  if (!elsewhere_.empty()) return elsewhere_;
  if (outbox_.Unreadable()) return "outbox cannot be read: " + outbox_.Refusal();
  if (!outbox_.Writable()) return "outbox is only read: " + outbox_.Refusal();
  return {};
}

bool TOutbox::ReadAgain() {
  if (!outbox_.Unreadable()) return false;
  outbox_.Load();
  if (keepHistory_ && history_.Unreadable()) history_.Load();
  return !outbox_.Unreadable();
}

size_t TOutbox::Waiting() const {
  const auto waiting =
      static_cast<size_t>(std::count_if(outbox_.Notes().begin(), outbox_.Notes().end(),
                                        [](const TNoteRecord& n) { return n.state == TNoteState::nsWaiting; }));
  return onItsWay_ && waiting > 0 ? waiting - 1 : waiting;
}

bool TOutbox::OnItsWay(const TNoteRecord& note) const { return onItsWay_ && SameNoteAs(*onItsWay_)(note); }

bool TOutbox::WriteAhead(TNoteRecord& note) {
  ReadAgain();
  if (!elsewhere_.empty()) return false;
  auto& notes = outbox_.Notes();
  if (onItsWay_) {
    // The same note with the text it has now: its record follows.
    auto same = std::find_if(notes.begin(), notes.end(), SameNoteAs(*onItsWay_));
    onItsWay_.reset();
    if (same != notes.end()) {
      same->text = note.text;
      same->title = note.title;
      note.paperId = same->paperId;
      if (!outbox_.Save()) return false;
      onItsWay_ = *same;
      return true;
    }
  }
  auto waiting = std::find_if(notes.begin(), notes.end(), [&](const TNoteRecord& n) {
    return n.state == TNoteState::nsWaiting && n.text == note.text;
  });
  if (waiting != notes.end()) {
    note.paperId = waiting->paperId;
    onItsWay_ = *waiting;
    return true;
  }
  if (notes.size() >= limits_.notes || outbox_.TextBytes() + note.text.size() > limits_.bytes) return false;
  TNoteRecord record{TNoteState::nsWaiting, note.paperId, "", note.text, note.title};
  if (!outbox_.Append(record)) return false;
  onItsWay_ = record;
  return true;
}

TOutbox::TKept TOutbox::Keep(const TNoteRecord& note) {
  ReadAgain();
  if (!Refusal().empty()) return TKept::kpRefused;
  if (OnItsWay(note)) {
    // On the disk since before the conversation: it only takes its state.
    onItsWay_.reset();
    if (note.state != TNoteState::nsWaiting) SetState(note, note.state, note.reason);
    Remember(note);
    return TKept::kpKept;
  }
  // Only a copy in the same state makes this one superfluous: a refused copy
  // is never sent again, so a text that fails anew must wait of its own.
  for (const TNoteRecord& kept : outbox_.Notes())
    if (kept.text == note.text && kept.state == note.state) return TKept::kpAlreadyWaiting;
  if (outbox_.Notes().size() >= limits_.notes || outbox_.TextBytes() + note.text.size() > limits_.bytes)
    return TKept::kpFull;
  if (!outbox_.Append(note)) return TKept::kpWriteFailed;
  Remember(note);
  return TKept::kpKept;
}

void TOutbox::Stored(const TNoteRecord& note) {
  onItsWay_.reset();
  auto& notes = outbox_.Notes();
  const size_t before = notes.size();
  notes.erase(
      std::remove_if(notes.begin(), notes.end(),
                     [&](const TNoteRecord& n) { return n.state == TNoteState::nsWaiting && n.text == note.text; }),
      notes.end());
  if (notes.size() != before) outbox_.Save();
  TNoteRecord sent = note;
  sent.state = TNoteState::nsSent;
  Remember(sent);
}

void TOutbox::Discard(const TNoteRecord& note) {
  Drop(outbox_.Notes(), note);
  outbox_.Save();
  Drop(history_.Notes(), note);
  SaveHistory();
}

void TOutbox::SetState(const TNoteRecord& note, TNoteState state, const std::string& reason) {
  if (state == TNoteState::nsSent)
    Drop(outbox_.Notes(), note);
  else
    Mark(outbox_.Notes(), note, state, reason);
  // Should the rewrite fail, the file still holds the note: it is sent again
  // after a restart, and the service recognises it by its paper id.
  outbox_.Save();
  Mark(history_.Notes(), note, state, reason);
  SaveHistory();
}

std::optional<TServiceOutcome> TOutbox::DeliverOldest(TServiceClient& service, const TServiceAccount& account,
                                                      const TServiceClient::TAnswerSink& onAnswer) {
  ReadAgain();
  // Nothing goes out that could not be marked sent afterwards.
  if (!Refusal().empty()) return std::nullopt;
  auto it = std::find_if(outbox_.Notes().begin(), outbox_.Notes().end(),
                         [this](const TNoteRecord& n) { return n.state == TNoteState::nsWaiting && !OnItsWay(n); });
  if (it == outbox_.Notes().end()) return std::nullopt;
  lastTried_ = *it;
  TServiceOutcome outcome =
      service.Send(account, TOutgoingNote{lastTried_.text, lastTried_.paperId, lastTried_.title}, onAnswer);
  if (outcome.result == TServiceResult::srStored) SetState(lastTried_, TNoteState::nsSent, "");
  if (outcome.result == TServiceResult::srRefused) SetState(lastTried_, TNoteState::nsRefused, outcome.reason);
  return outcome;
}

std::vector<TNoteRecord> TOutbox::Recent(size_t count) const {
  const auto& past = history_.Notes();
  std::vector<TNoteRecord> out;
  for (auto it = past.rbegin(); it != past.rend() && out.size() < count; ++it) out.push_back(*it);
  return out;
}

std::vector<TNoteRecord> TOutbox::Offered(size_t count) const {
  std::vector<TNoteRecord> out = Recent(count);
  // The note on its way is the newest of all.
  if (onItsWay_ && std::none_of(out.begin(), out.end(), SameNoteAs(*onItsWay_))) {
    out.insert(out.begin(), *onItsWay_);
    if (out.size() > count) out.pop_back();
  }
  for (auto kept = Notes().rbegin(); kept != Notes().rend(); ++kept)
    if (kept->state == TNoteState::nsRefused && std::none_of(out.begin(), out.end(), SameNoteAs(*kept)))
      out.push_back(*kept);
  return out;
}

void TOutbox::Remember(const TNoteRecord& note) {
  auto& past = history_.Notes();
  auto same = std::find_if(past.begin(), past.end(), SameNoteAs(note));
  if (same != past.end()) past.erase(same);
  past.push_back(note);
  if (past.size() > limits_.history)
    past.erase(past.begin(), past.end() - static_cast<std::ptrdiff_t>(limits_.history));
  // Every snap rewrites the history: a few huge notes must not make that slow.
  while (past.size() > 1 && history_.TextBytes() > limits_.historyBytes) past.erase(past.begin());
  SaveHistory();
}

void TOutbox::SaveHistory() {
  if (keepHistory_) history_.Save();
}

std::string TOutbox::NewPaperId() const {
  std::string id;
  // A clock that stands still (or a day's worth of notes in one millisecond)
  // must not hold the caller: after a while the id is taken as it is.
  for (int tries = 0; tries < 1000; ++tries) {
    id = PaperId(platform::GetLocalTime());
    if (std::none_of(Notes().begin(), Notes().end(), [&](const TNoteRecord& n) { return n.paperId == id; })) break;
    platform::Sleep(1);
  }
  return id;
}

std::optional<TOutbox::TKept> KeepOutsideClient(const std::string& settingsPath, const std::string& utf8Text,
                                                bool keepHistory, uint32_t waitMs, const std::string& utf8Title) {
  const int lock = platform::LockFile(BesideSettings(settingsPath, kOutboxLockFileName), waitMs);
  if (lock < 0) return std::nullopt;
  TOutbox outbox(BesideSettings(settingsPath, kOutboxFileName), BesideSettings(settingsPath, kHistoryFileName));
  outbox.Load(keepHistory);
  const TOutbox::TKept kept = outbox.KeepWaiting(utf8Text, utf8Title);
  platform::UnlockFile(lock);
  return kept;
}

std::string NotKeptReason(TOutbox::TKept kept) {
  switch (kept) {
    case TOutbox::TKept::kpKept:
    case TOutbox::TKept::kpAlreadyWaiting:
      return {};
    case TOutbox::TKept::kpFull:
      return "the outbox is full";
    case TOutbox::TKept::kpWriteFailed:
      return "the outbox file cannot be written";
    case TOutbox::TKept::kpRefused:
      return "the outbox cannot be used";
  }
  return "not kept";
}

std::string TOutbox::NotKeptReason(TKept kept) const {
  if (kept == TKept::kpRefused && !Refusal().empty()) return Refusal();
  return ts::NotKeptReason(kept);
}

}  // namespace ts
