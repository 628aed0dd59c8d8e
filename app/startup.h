// The program's start-up sequence: one client per session, the application
// object, the invisible main window and the message loop; and what later
// starts ask of the running client.
#pragma once

#include <exception>
#include <functional>
#include <string>

#include "app/form1.h"
#include "app/outbox.h"
#include "app/sendnote.h"
#include "platform/instance.h"
#include "platform/window.h"
#include "runtime/text.h"
#include "ui/application.h"

namespace ts {

// What a later start asks of the running client, and its answer to a note.
inline constexpr const char* kStartRequest = "start";  // a second start: say so with a balloon
inline constexpr const char* kSnapRequest = "snap";    // snap now, as the hotkey does
inline constexpr const char* kKeepRequest = "keep";    // keep the body, a note, in the outbox
inline constexpr const char* kKeptAnswer = "kept";     // ... it is on the disk
// The same for a note with a title: the body is the title (one line), a line
// feed, and the note. A client from before titles answers it "ok".
inline constexpr const char* kKeepTitledRequest = "keep-titled";
// The device was paired, or its pairing forgotten, by `textsnap pair`: the
// token is read again from the settings file.
inline constexpr const char* kPairingRequest = "pairing";

namespace detail {

// The running client's main window, while its loop runs.
inline TForm1*& RunningForm() {
  static TForm1* form = nullptr;
  return form;
}

inline void PostSnap(TForm1& form) { platform::PostToWindow(form.Handle(), platform::wm::HotKey, kHotKeyId, 0); }

// Serves a later start's request on the GUI thread.
inline std::string AnswerLaterStart(const std::string& request, const std::string& body) {
  TForm1* form = RunningForm();
  if (!form) return "not ready";
  if (request == kStartRequest) platform::PostToWindow(form->Handle(), kAnotherStartMessage, 0, 0);
  if (request == kSnapRequest) PostSnap(*form);
  if (request == kPairingRequest) form->TakePairingFromSettings();
  if (request == kKeepRequest || request == kKeepTitledRequest) {
    std::string title, text = body;
    if (request == kKeepTitledRequest) {
      const size_t end = body.find('\n');
      if (end == std::string::npos) return "not text";
      title = body.substr(0, end);
      text = body.substr(end + 1);
    }
    if (!IsNoteText(text) || Trim(text).empty() || !IsNoteText(title)) return "not text";
    const std::string why = form->Outbox().NotKeptReason(form->KeepHandedNote(text, title));
    return why.empty() ? kKeptAnswer : why;
  }
  return "ok";
}

}  // namespace detail

// How this start goes: `snap` snaps once the window is there (textsnap
// --snap), or has the running client snap; `claimed` runs once this process
// is the session's client, before its window is made; `alreadyRunning` runs
// when another client was there and has been told.
struct TStartOptions {
  bool snap = false;
  std::function<void()> claimed;
  std::function<void()> alreadyRunning;
};

// Runs the client until it is told to quit; returns the process exit code.
// A second start in the same session tells the running client instead of
// adding a second icon whose hotkey cannot register: the running one shows
// a balloon (or snaps), and this one ends. `Form` is the main window's class
// (tests run the sequence with a derived one).
template <typename Form = TForm1>
int RunTextSnap(const TStartOptions& start = {}) {
  if (!platform::ClaimInstance(kInstanceName, detail::AnswerLaterStart)) {
    const bool told = platform::AskInstance(kInstanceName, start.snap ? kSnapRequest : kStartRequest).has_value();
    if (start.alreadyRunning) start.alreadyRunning();
    return start.snap && !told ? 1 : 0;
  }
  if (start.claimed) start.claimed();
  TApplication application;
  application.Initialize();
  application.ShowMainForm = false;
  application.SetTitle(kApplicationTitle);
  // Requests are served until the window goes, before the application frees it.
  struct TServing {
    ~TServing() { detail::RunningForm() = nullptr; }
  } serving;
  try {
    Form* form = application.CreateForm<Form>();
    detail::RunningForm() = form;
    if (start.snap) detail::PostSnap(*form);
  } catch (const std::exception& e) {
    // Without its window (no tray icon) the program could neither be used
    // nor ended: say why and stop.
    application.HandleException(e);
    return 1;
  }
  application.Run();
  return 0;
}

}  // namespace ts
