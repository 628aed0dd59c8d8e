#include "app/snap.h"

#include "app/secrets.h"
#include "app/source.h"
#include "platform/clipboard.h"
#include "platform/clock.h"
#include "platform/foreground.h"
#include "platform/input.h"
#include "runtime/codepage.h"
#include "runtime/text.h"
#include "ui/clipboard.h"

namespace ts {

namespace {
constexpr uint32_t kThrottleMs = 5000;
constexpr uint8_t kLeftControl = 162;
constexpr uint8_t kKeyC = 67;
constexpr uint32_t kKeyUp = 2;
}  // namespace

std::string TSnapPipeline::ThrottleTitle(uint32_t elapsed) {
  const double seconds = static_cast<double>(kThrottleMs - elapsed) / 1000.0;
  return "wait for " + Format("%.1f", {seconds}) + " seconds!";
}

std::string TSnapPipeline::Excerpt(const std::string& utf8Text) {
  std::u16string units = Utf8ToUtf16(utf8Text);
  size_t cut = std::min<size_t>(units.size(), 20);
  // Cutting between the halves of a surrogate pair would leave a broken character.
  if (cut > 0 && cut < units.size() && units[cut - 1] >= 0xD800 && units[cut - 1] <= 0xDBFF) --cut;
  return Utf16ToUtf8(units.substr(0, cut)) + "...";
}

bool TSnapPipeline::ClipboardHasText() {
  return selected_ || Clipboard().HasFormat(cfUnicodeText) || Clipboard().HasFormat(cfText);
}

std::string TSnapPipeline::ClipboardUtf8() { return selected_ ? *selected_ : Utf16ToUtf8(Clipboard().AsUnicodeText()); }

void TSnapPipeline::CopySelection() {
  host_.ProcessMessages();
  if (platform::HowSelectionIsCopied() == platform::SelectionCopy::PrimarySelection) {
    // No program may press keys in another here: the text selected now is
    // the copy, kept for the whole snap as a copy would be. With nothing
    // selected the clipboard serves.
    std::optional<std::u16string> selected = platform::PrimarySelectionText();
    if (selected && !selected->empty()) selected_ = Utf16ToUtf8(*selected);
    return;
  }
  platform::SendKeyEvent(kLeftControl, 0, 0, 0);
  platform::SendKeyEvent(kKeyC, static_cast<uint8_t>(platform::MapKeyCode(kKeyC, 0)), 0, 0);
  platform::SendKeyEvent(kKeyC, static_cast<uint8_t>(platform::MapKeyCode(kKeyC, 0)), kKeyUp, 0);
  platform::SendKeyEvent(kLeftControl, 0, kKeyUp, 0);
  host_.ProcessMessages();
  platform::Sleep(30);
  host_.ProcessMessages();
}

std::pair<std::string, std::string> TSnapPipeline::HeldBack(const std::string& copied) {
  // A password manager's copy stays on the machine whatever the guard says.
  if (!selected_ && platform::ClipboardMarkedSecret()) return {kMarkedSecretTitle, ""};
  if (!host_.GuardSecrets()) return {};
  if (std::optional<TSecretFind> secret = FindSecret(copied))
    return {kLooksSecretTitle, Utf8ToSystem(SecretKindName(secret->kind))};
  return {};
}

std::string TSnapPipeline::GuardedClipboardUtf8(const std::string& checked) {
  std::string now = ClipboardUtf8();
  if (now != checked && !HeldBack(now).first.empty()) return checked;
  return now;
}

std::string TSnapPipeline::Body(const std::string& copied) {
  if (!host_.NoteSource() || selected_) return copied;
  const std::string url = platform::ClipboardSourceUrl();
  // An address that itself carries a key (a signed link) is left out; the
  // text goes without it.
  if (!UsableSourceUrl(url) || (host_.GuardSecrets() && FindSecret(url))) return copied;
  return WithSourceLine(copied, url);
}

void TSnapPipeline::Report(TBalloonInfoIconFlag icon, const std::string& title, const std::string& text) {
  if (text.empty())
    host_.TitleBalloon(icon, title);
  else
    host_.FullBalloon(icon, title, text);
}

void TSnapPipeline::Run() {
  host_.ClearBalloon();
  selected_.reset();

  const uint32_t elapsed = platform::GetTickCount() - lastSendTime_;  // modulo 2^32
  if (elapsed < kThrottleMs) {
    host_.TitleBalloon(biifError, ThrottleTitle(elapsed));
    return;
  }
  // The window the user snapped from has the focus until the copy keystroke.
  std::string title;
  if (host_.NoteSource()) {
    const platform::ForegroundWindow focused = platform::ForegroundWindowInfo();
    title = NoteTitle(focused.title, focused.program);
    if (host_.GuardSecrets() && FindSecret(title)) title.clear();
  }
  if (host_.AutoCopy()) CopySelection();

  const TServiceAccount account = host_.Account();

  if (!ClipboardHasText()) {
    host_.TitleBalloon(biifError, "not text!");
    return;
  }
  if (Trim(ClipboardUtf8()).empty()) {
    host_.TitleBalloon(biifError, "no data!");
    return;
  }
  // The checks, the excerpt and the last sent text are the copied text's
  // alone; the note may carry the page's address after it.
  std::string copied = ClipboardUtf8();
  if (Trim(copied) == Trim(lastSentText_)) {
    host_.TitleBalloon(biifError, "same data!");
    return;
  }
  // Nothing of a secret leaves, nor is it kept on the disk or remembered.
  const auto [heldTitle, heldText] = HeldBack(copied);
  if (!heldTitle.empty()) {
    Report(biifError, heldTitle, heldText);
    return;
  }
  TSnapNote note;
  note.text = Body(copied);
  note.title = title;
  note.paperId = PaperId(platform::GetLocalTime());

  host_.PlayCue(kStartCueIndex);
  host_.FullBalloon(biifInfo, "start", "");
  host_.SetSendEnabled(false);

  // On the disk before the first byte leaves: a crash or a kill during the
  // conversation loses nothing, and the note keeps its paper id (its capture
  // time) wherever it goes, so the service stores it once.
  if (keeper_) keeper_->WriteAhead(note);
  // The note goes out as the clipboard holds it after the probe and the login.
  // A copy made meanwhile that must not leave is not taken: the checked one goes.
  auto takeNote = [this, &note, &copied] {
    std::string now = GuardedClipboardUtf8(copied);
    if (now != copied) {
      copied = std::move(now);
      note.text = Body(copied);
      if (keeper_) keeper_->WriteAhead(note);
    }
    return TOutgoingNote{note.text, note.paperId, note.title};
  };
  const TServiceOutcome outcome =
      service_.Send(account, takeNote, [this](const std::string& answer) { host_.ShowResponse(answer); });
  note.result = outcome.result;
  note.reason = outcome.reason;
  if (outcome.error) {
    // Kept (or refused) before the error reaches the user. A failure's
    // balloon is the window's own; a refusal's says where the note went.
    const std::string told = Settle(note);
    if (note.result == TServiceResult::srRefused && !told.empty()) host_.FullBalloon(biifError, "not sent!", told);
    outcome.RaiseError();
  }
  switch (outcome.result) {
    case TServiceResult::srLoginRefused: {
      host_.SetSendEnabled(true);
      std::string told = Settle(note);
      // A paired device's token was refused: the way out is pairing again.
      if (!account.token.empty()) told += (told.empty() ? "" : "\r\n") + outcome.reason;
      Report(biifError, "cannot login!", told);
      return;
    }
    case TServiceResult::srStored: {
      const std::string extra = Settle(note);
      const std::string excerpt = Utf8ToSystem(Excerpt(GuardedClipboardUtf8(copied)));
      host_.FullBalloon(biifInfo, "complete!", extra.empty() ? excerpt : excerpt + "\r\n" + extra);
      break;
    }
    case TServiceResult::srRefused:
    case TServiceResult::srFailed:
      Report(biifError, "cannot send data.", Settle(note));
      break;
  }

  lastSendTime_ = platform::GetTickCount();
  host_.SetSendEnabled(true);
  lastSentText_ = GuardedClipboardUtf8(copied);
  host_.PlayCue(kEndCueIndex);
}

}  // namespace ts
