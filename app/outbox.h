// Nothing lost: notes the service did not take wait in the outbox beside the
// settings until a later try delivers them, and the last snaps are kept in a
// history the tray menu shows. Both are files of note records (notefile.h).
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "app/notefile.h"
#include "app/serviceclient.h"

namespace ts {

inline constexpr const char* kOutboxFileName = "outbox.dat";
inline constexpr const char* kHistoryFileName = "history.dat";
// Held by the process that has the outbox in memory (the running client, or
// a command keeping a note while none runs): the outbox is rewritten from
// memory, so a note another process wrote to the file meanwhile would be lost.
inline constexpr const char* kOutboxLockFileName = "outbox.lock";

// Pauses between tries while the service stays away: the first one, then
// twice the one before, never more than the longest.
class TRetrySchedule {
public:
  explicit TRetrySchedule(uint32_t firstMs = 30000, uint32_t longestMs = 15 * 60 * 1000)
      : first_(firstMs), longest_(longestMs) {}
  uint32_t First() const { return first_; }
  uint32_t Next();  // the pause before the next try; each call counts a failed one
  void Reset() { failures_ = 0; }

private:
  uint32_t first_, longest_;
  int failures_ = 0;
};

struct TOutboxLimits {
  size_t notes = 200;
  size_t bytes = 16u << 20;        // of note text, all kept notes together
  size_t history = 100;            // snaps remembered
  size_t historyBytes = 4u << 20;  // of their texts (the newest is kept whatever its size)
};

class TOutbox {
public:
  using TLimits = TOutboxLimits;
  TOutbox(std::string outboxPath, std::string historyPath, TLimits limits = TLimits())
      : outbox_(std::move(outboxPath)), history_(std::move(historyPath)), limits_(limits) {}
  const TLimits& Limits() const { return limits_; }

  // Reads both files; without `keepHistory` the history lives in memory only
  // and its file is removed. Returns the damaged outbox records skipped.
  int Load(bool keepHistory);
  // Why no note can be kept now: the file cannot be read (it is read again
  // at each use until it can), it holds a newer version's records (then it
  // is only read), or another text snap has it. Empty while notes can be kept.
  std::string Refusal() const;
  // Another process has the outbox: this one keeps and sends nothing.
  void SetInUseElsewhere(const std::string& why) { elsewhere_ = why; }
  // Reads a file that could not be read once more; true when it now could.
  bool ReadAgain();
  bool Unreadable() const { return outbox_.Unreadable(); }

  enum class TKept { kpKept, kpAlreadyWaiting, kpFull, kpWriteFailed, kpRefused };
  // Keeps a note the service did not store (waiting or refused). A note with
  // the same text in the same state is not kept twice; the note on its way
  // (WriteAhead) is on the disk already and only takes the state it ended in.
  TKept Keep(const TNoteRecord& note);
  // Waiting notes, the one on its way not counted.
  size_t Waiting() const;

  // A snap's note goes on the disk, as waiting, before the conversation
  // begins, so that no crash loses it; until Keep or Stored it is on its way
  // (shown so, and not delivered). A copy of the same text that waits already
  // stands for it, and the note takes that copy's paper id. A second call
  // with the note's new text (the clipboard changed meanwhile) rewrites the
  // record. False when it could not be written.
  bool WriteAhead(TNoteRecord& note);
  bool OnItsWay(const TNoteRecord& note) const;
  size_t Count() const { return outbox_.Notes().size(); }
  const std::vector<TNoteRecord>& Notes() const { return outbox_.Notes(); }

  // A snap's note the service stored: it joins the history, and a copy of the
  // same text that still waits is dropped (it would arrive twice).
  void Stored(const TNoteRecord& note);
  // Removes a refused (or any) note at the user's wish.
  void Discard(const TNoteRecord& note);

  // Sends the oldest waiting note with its own capture time as paper id; it
  // leaves only when the service said it is stored, and a refusal marks it
  // refused. Nothing when no note waits.
  std::optional<TServiceOutcome> DeliverOldest(TServiceClient& service, const TServiceAccount& account,
                                               const TServiceClient::TAnswerSink& onAnswer = {});
  // The note the last DeliverOldest was about.
  const TNoteRecord& LastTried() const { return lastTried_; }

  // A paper id for a new note: the capture time, waiting a moment for the
  // clock when a kept note has that id already (the outbox and the service
  // tell notes apart by it).
  std::string NewPaperId() const;
  // Keeps `utf8Text`, captured now, as a note waiting to be sent.
  TKept KeepWaiting(const std::string& utf8Text, const std::string& utf8Title = {}) {
    return Keep({TNoteState::nsWaiting, NewPaperId(), "", utf8Text, utf8Title});
  }

  // The newest `count` snaps, newest first.
  std::vector<TNoteRecord> Recent(size_t count) const;
  // What the user is offered to choose from: the newest `count` snaps, then
  // every refused note not among them (newest first). A refused note waits
  // for the user's choice however many snaps came after it, and whether or
  // not the history is kept on disk.
  std::vector<TNoteRecord> Offered(size_t count) const;
  void Remember(const TNoteRecord& note);

  // What stood in the way of keeping a note, for the user; empty when it is
  // kept (or was waiting already).
  std::string NotKeptReason(TKept kept) const;

private:
  void SetState(const TNoteRecord& note, TNoteState state, const std::string& reason);
  void SaveHistory();

  TNoteFile outbox_;
  TNoteFile history_;
  TLimits limits_;
  bool keepHistory_ = true;
  TNoteRecord lastTried_;
  std::optional<TNoteRecord> onItsWay_;
  std::string elsewhere_;
};

// The same for a note kept outside the client (the refusal not known).
std::string NotKeptReason(TOutbox::TKept kept);

// Keeps a note of `utf8Text`, captured now, in the outbox beside
// `settingsPath` from a process that is not the client, under the outbox's
// lock, waiting up to `waitMs` for it; nullopt when the lock stayed taken (a
// client holds it for as long as it runs).
std::optional<TOutbox::TKept> KeepOutsideClient(const std::string& settingsPath, const std::string& utf8Text,
                                                bool keepHistory, uint32_t waitMs, const std::string& utf8Title = {});

}  // namespace ts
