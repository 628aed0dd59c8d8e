#include "app/traymenu.h"

#include <algorithm>

#include "app/snap.h"
#include "runtime/codepage.h"
#include "runtime/text.h"
#include "ui/clipboard.h"

namespace ts {

namespace {

// A menu caption for a note: its first characters on one line, and its state.
std::string RecentCaption(const TNoteRecord& note) {
  std::string line = note.text;
  std::replace_if(
      line.begin(), line.end(), [](char c) { return c == '\r' || c == '\n' || c == '\t'; }, ' ');
  const char* state = note.state == TNoteState::nsSent      ? "sent"
                      : note.state == TNoteState::nsRefused ? "refused"
                                                            : "waiting";
  // "&" would underline the next letter of a menu caption.
  std::string shown;
  for (char c : TSnapPipeline::Excerpt(Trim(line))) shown += c == '&' ? std::string("&&") : std::string(1, c);
  return shown + "  (" + state + ")";
}

}  // namespace

void RefreshOutboxMenu(TMenuItem& send, TMenuItem& recent, TOutbox& outbox) {
  const size_t waiting = outbox.Waiting();
  send.Caption = "Send waiting notes (" + IntToStr(static_cast<int>(waiting)) + ")";
  send.Visible = waiting > 0;
  recent.Clear();
  const std::vector<TNoteRecord> offered = outbox.Offered(kRecentShown);
  for (const TNoteRecord& note : offered) {
    auto* item = new TMenuItem(&recent);
    item->Caption = RecentCaption(note);
    recent.Add(item);
    const std::string text = note.text;
    auto copy = [text](TObject*) { Clipboard().SetAsUnicodeText(Utf8ToUtf16(text)); };
    if (note.state != TNoteState::nsRefused) {
      item->OnClick = copy;
      continue;
    }
    // A refused note waits for the user: take its text back, or let it go.
    auto* take = new TMenuItem(item);  // freed with its entry at the next rebuild
    take->Caption = "Copy to clipboard";
    take->OnClick = copy;
    item->Add(take);
    auto* drop = new TMenuItem(item);
    drop->Caption = "Discard";
    drop->OnClick = [&outbox, note](TObject*) { outbox.Discard(note); };
    item->Add(drop);
  }
  if (offered.empty()) {
    auto* none = new TMenuItem(&recent);
    none->Caption = "(none)";
    none->Enabled = false;
    recent.Add(none);
  }
}

void RefreshPairingMenu(TMenuItem& pair, TMenuItem& forget, bool paired, bool pairing) {
  pair.Caption = pairing ? "Cancel pairing" : "Pair with the service...";
  forget.Caption = "Forget this pairing";
  forget.Visible = paired && !pairing;
}

}  // namespace ts
