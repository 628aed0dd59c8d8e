// The program's start-up sequence: the application object, the invisible main
// window and the message loop.
#pragma once

#include <exception>

#include "app/form1.h"
#include "platform/clock.h"
#include "platform/instance.h"
#include "ui/application.h"

namespace ts {

// A second start in the same session: tell the running program, which shows
// a balloon, instead of adding a second icon whose hotkey cannot register.
// The running one may still be creating its window (the sign-in start and a
// double-click at once): give it a few seconds to appear.
inline void TellRunningInstance() {
  for (int tries = 0; tries < 50; ++tries) {
    if (platform::WindowHandle running = platform::FindMarkedWindow(kInstanceName)) {
      platform::PostToWindow(running, kAnotherStartMessage, 0, 0);
      return;
    }
    platform::Sleep(100);
  }
}

// Runs the client until it is told to quit; returns the process exit code.
// `Form` is the main window's class (tests run the sequence with a derived one).
template <typename Form = TForm1>
int RunTextSnap() {
  if (!platform::ClaimSessionName(kInstanceName)) {
    TellRunningInstance();
    return 0;
  }
  TApplication application;
  application.Initialize();
  application.ShowMainForm = false;
  application.SetTitle(kApplicationTitle);
  try {
    Form* form = application.CreateForm<Form>();
    platform::MarkWindow(form->Handle(), kInstanceName);
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
