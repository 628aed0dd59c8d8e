// One snap: copy the selection (optionally), check the clipboard text, upload
// it as a note and report the outcome with balloons and cues. The pipeline
// talks to the window through TSnapHost, so it can run against the real
// window or against a test double.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "app/protocol.h"
#include "runtime/strings.h"

namespace ts {

// Balloon icon kinds used by the snap.
inline constexpr int kBalloonInfo = 1;
inline constexpr int kBalloonError = 3;
// Stored files of the window's storage.
inline constexpr int kStartCueIndex = 0;
inline constexpr int kEndCueIndex = 1;

// What became of a snap's note once the exchange began.
enum class TSnapResult { srStored, srRefused, srLoginRefused, srFailed };
struct TSnapNote {
  TSnapResult result = TSnapResult::srFailed;
  std::string text;     // UTF-8
  std::string paperId;  // capture time: when the document was built, else when the snap began
  std::string reason;   // the refusal or the error's text
};

class TSnapHost {
public:
  virtual ~TSnapHost() = default;
  // Tray balloons; titles and texts in the system code page.
  virtual void ClearBalloon() = 0;
  virtual void TitleBalloon(int icon, const std::string& title) = 0;
  virtual void FullBalloon(int icon, const std::string& title, const std::string& text) = 0;
  // The live settings: auto-copy switch, and the ID, password and base URL boxes (UTF-8).
  virtual bool AutoCopy() = 0;
  virtual std::string UserId() = 0;
  virtual std::string Password() = 0;
  virtual std::string BaseUrl() = 0;
  // The send trigger and the response box.
  virtual void SetSendEnabled(bool enabled) = 0;
  virtual void ShowResponse(const std::string& response) = 0;
  virtual void ProcessMessages() = 0;
  virtual void PlayCue(int index) = 0;
  // The HTTP client: answers as received; failures raise.
  virtual std::string GetText(const std::string& url) = 0;
  virtual std::string PostForm(const std::string& url, const TStringList& lines) = 0;
  // The note's fate, before the snap reports it (a failure: before the error
  // passes up). Returns a text for the outcome balloon (empty: none).
  virtual std::string NoteOutcome(const TSnapNote&) { return {}; }
};

// The three requests of the exchange with the service.
class TServiceExchange {
public:
  explicit TServiceExchange(TSnapHost& host) : host_(host) {}
  std::string Probe(const std::string& base);
  // Two form lines, so an ID or password holding "&", "+" or "=" arrives intact.
  std::string Login(const std::string& base, const std::string& id, const std::string& password);
  std::string Upload(const std::string& base, const std::string& noteDocument);

private:
  TSnapHost& host_;
  TProbeNumbers numbers_;
};

class TSnapPipeline {
public:
  explicit TSnapPipeline(TSnapHost& host) : host_(host), exchange_(host) {}

  // Runs one snap to its end; errors of the clipboard and the HTTP client pass up.
  // The window guards against a snap started inside a running one.
  void Run();
  // The exchange with its probe numbers, shared with the outbox's deliveries.
  TServiceExchange& Exchange() { return exchange_; }

  uint32_t LastSendTime() const { return lastSendTime_; }
  // UTF-8 text of the last answered upload.
  const std::string& LastSentText() const { return lastSentText_; }

  // "wait for " + seconds + " seconds!" for a press `elapsed` ms after the last upload.
  static std::string ThrottleTitle(uint32_t elapsed);
  // The first 20 UTF-16 code units of the text (never half a surrogate pair) and "...".
  static std::string Excerpt(const std::string& utf8Text);

private:
  void CopySelection();
  // A title balloon, or a full one when the window has something to add.
  void Report(int icon, const std::string& title, const std::string& text);
  // The snap's text in UTF-8: the clipboard's, read afresh (raises when it
  // cannot be opened), or the selection this snap took itself.
  std::string ClipboardUtf8();
  bool ClipboardHasText();

  TSnapHost& host_;
  TServiceExchange exchange_;
  uint32_t lastSendTime_ = 0;
  std::string lastSentText_;
  // The selection as the auto-copy took it where no keys can copy it (UTF-8).
  std::optional<std::string> selected_;
};

}  // namespace ts
