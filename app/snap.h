// One snap: copy the selection (optionally), check the clipboard text, upload
// it as a note and report the outcome with balloons and cues. The pipeline
// talks to the window through TSnapHost and to the service through the
// service client, so it can run against the real window or a test double.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <utility>

#include "app/serviceclient.h"
#include "tray/trayicon.h"

namespace ts {

// Stored files of the window's storage.
inline constexpr int kStartCueIndex = 0;
inline constexpr int kEndCueIndex = 1;

// A snap's note once the conversation began, and what became of it.
struct TSnapNote {
  TServiceResult result = TServiceResult::srFailed;
  std::string text;        // UTF-8: the copied text, and the page's address when one is noted
  std::string paperId;     // capture time: when the document was built, else when the snap began
  std::string reason;      // the refusal or the error's text
  std::string title = {};  // UTF-8: the window and program it came from, when noted
};

// The balloons of a copy that is held back.
inline constexpr const char* kLooksSecretTitle = "not sent: looks like a secret";
inline constexpr const char* kMarkedSecretTitle = "not sent: marked secret by its program";

// What the snap asks of the window.
class TSnapHost {
public:
  virtual ~TSnapHost() = default;
  // Tray balloons; titles and texts in the system code page.
  virtual void ClearBalloon() = 0;
  virtual void TitleBalloon(TBalloonInfoIconFlag icon, const std::string& title) = 0;
  virtual void FullBalloon(TBalloonInfoIconFlag icon, const std::string& title, const std::string& text) = 0;
  // The live settings: the auto-copy switch, and the account of the ID,
  // password and base URL boxes.
  virtual bool AutoCopy() = 0;
  virtual TServiceAccount Account() = 0;
  // The send trigger and the response box.
  virtual void SetSendEnabled(bool enabled) = 0;
  virtual void ShowResponse(const std::string& response) = 0;
  virtual void ProcessMessages() = 0;
  virtual void PlayCue(int index) = 0;
  // Whether a snap notes where it came from (the window's title, its
  // program, the page's address), and whether a text that looks like a
  // secret is held back.
  virtual bool NoteSource() { return false; }
  virtual bool GuardSecrets() { return true; }
};

// Where a snap's note is kept (the outbox).
class TNoteKeeper {
public:
  virtual ~TNoteKeeper() = default;
  // Before the note leaves (again, when its text changed meanwhile): on the
  // disk, so that nothing loses it. May give the note the paper id of a copy
  // that waits already.
  virtual void WriteAhead(TSnapNote& note) = 0;
  // Once its fate is known, before the snap reports it (a failure: before the
  // error passes up). Returns a text for the outcome balloon (empty: none).
  virtual std::string Settle(const TSnapNote& note) = 0;
};

class TSnapPipeline {
public:
  TSnapPipeline(TSnapHost& host, TServiceClient& service, TNoteKeeper* keeper = nullptr)
      : host_(host), service_(service), keeper_(keeper) {}

  // Runs one snap to its end; errors of the clipboard and the HTTP client pass up.
  // The window guards against a snap started inside a running one.
  void Run();

  uint32_t LastSendTime() const { return lastSendTime_; }
  // UTF-8 text of the last answered upload.
  const std::string& LastSentText() const { return lastSentText_; }

  // "wait for " + seconds + " seconds!" for a press `elapsed` ms after the last upload.
  static std::string ThrottleTitle(uint32_t elapsed);
  // The first 20 UTF-16 code units of the text (never half a surrogate pair) and "...".
  static std::string Excerpt(const std::string& utf8Text);

private:
  void CopySelection();
  std::string Settle(const TSnapNote& note) { return keeper_ ? keeper_->Settle(note) : std::string(); }
  // A title balloon, or a full one when the window has something to add.
  void Report(TBalloonInfoIconFlag icon, const std::string& title, const std::string& text);
  // The snap's text in UTF-8: the clipboard's, read afresh (raises when it
  // cannot be opened), or the selection this snap took itself.
  std::string ClipboardUtf8();
  bool ClipboardHasText();
  // Why the copied text must not leave (the balloon's title and text); empty
  // when it may. The program's mark counts only for the clipboard's content.
  std::pair<std::string, std::string> HeldBack(const std::string& copied);
  // The clipboard's text as a note may carry it: the text read afresh, or
  // `checked` when the clipboard now holds what must not leave.
  std::string GuardedClipboardUtf8(const std::string& checked);
  // The note's body: the copied text and, when noted, the page's address.
  std::string Body(const std::string& copied);

  TSnapHost& host_;
  TServiceClient& service_;
  TNoteKeeper* keeper_;
  uint32_t lastSendTime_ = 0;
  std::string lastSentText_;
  // The selection as the auto-copy took it where no keys can copy it (UTF-8).
  std::optional<std::string> selected_;
};

}  // namespace ts
