#include "app/snap.h"

#include "app/outbox.h"
#include "net/exceptions.h"

#include "platform/clipboard.h"
#include "platform/clock.h"
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

std::string TServiceExchange::Probe(const std::string& base) {
  return host_.GetText(base + "/posts/nop/?" + IntToStr(numbers_.Next()));
}

std::string TServiceExchange::Login(const std::string& base, const std::string& id, const std::string& password) {
  TStringList lines;
  lines.Add("data[User][username]=" + id);
  lines.Add("data[User][password]=" + password);
  return host_.PostForm(base + "/users/login", lines);
}

std::string TServiceExchange::Upload(const std::string& base, const std::string& noteDocument) {
  TStringList lines;
  lines.Add("data[Param][xmldata]=" + noteDocument);
  return host_.PostForm(base + "/posts/addpinleaf", lines);
}

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

void TSnapPipeline::Report(int icon, const std::string& title, const std::string& text) {
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
    host_.TitleBalloon(kBalloonError, ThrottleTitle(elapsed));
    return;
  }
  if (host_.AutoCopy()) CopySelection();

  const std::string id = host_.UserId();
  const std::string password = host_.Password();

  if (!ClipboardHasText()) {
    host_.TitleBalloon(kBalloonError, "not text!");
    return;
  }
  if (Trim(ClipboardUtf8()).empty()) {
    host_.TitleBalloon(kBalloonError, "no data!");
    return;
  }
  TSnapNote note;
  note.text = ClipboardUtf8();
  if (Trim(note.text) == Trim(lastSentText_)) {
    host_.TitleBalloon(kBalloonError, "same data!");
    return;
  }
  note.paperId = PaperId(platform::GetLocalTime());

  host_.PlayCue(kStartCueIndex);
  host_.FullBalloon(kBalloonInfo, "start", "");
  host_.SetSendEnabled(false);

  std::string response;
  try {
    const std::string base = host_.BaseUrl();
    response = exchange_.Probe(base);
    host_.ShowResponse(response);
    if (HasLoginMarker(response)) {
      response = exchange_.Login(base, id, password);
      host_.ShowResponse(response);
      platform::Sleep(300);
    }
    if (HasLoginMarker(response)) {
      host_.SetSendEnabled(true);
      note.result = TSnapResult::srLoginRefused;
      note.reason = "cannot login!";
      Report(kBalloonError, "cannot login!", host_.NoteOutcome(note));
      return;
    }

    note.text = ClipboardUtf8();
    const platform::LocalTime built = platform::GetLocalTime();
    note.paperId = PaperId(built);
    response = exchange_.Upload(base, BuildNoteDocument(note.text, built));
  } catch (const ENetException& e) {
    // Kept (or refused) before the error reaches the user. A failure's
    // balloon is the window's own; a refusal's says where the note went.
    note.result = IsPassingFailure(e) ? TSnapResult::srFailed : TSnapResult::srRefused;
    note.reason = e.Message();
    const std::string told = host_.NoteOutcome(note);
    if (note.result == TSnapResult::srRefused && !told.empty()) host_.FullBalloon(kBalloonError, "not sent!", told);
    throw;
  }
  host_.ShowResponse(response);
  if (HasSuccessMarker(response)) {
    note.result = TSnapResult::srStored;
    const std::string extra = host_.NoteOutcome(note);
    const std::string excerpt = Utf8ToSystem(Excerpt(ClipboardUtf8()));
    host_.FullBalloon(kBalloonInfo, "complete!", extra.empty() ? excerpt : excerpt + "\r\n" + extra);
  } else {
    note.result = TSnapResult::srRefused;
    note.reason = "cannot send data.";
    Report(kBalloonError, "cannot send data.", host_.NoteOutcome(note));
  }

  lastSendTime_ = platform::GetTickCount();
  host_.SetSendEnabled(true);
  lastSentText_ = ClipboardUtf8();
  host_.PlayCue(kEndCueIndex);
}

}  // namespace ts
