// The program's start-up sequence: the application object, the invisible main
// window and the message loop.
#pragma once

#include <exception>

#include "app/form1.h"
#include "ui/application.h"

namespace ts {

// Runs the client until it is told to quit; returns the process exit code.
// `Form` is the main window's class (tests run the sequence with a derived one).
template <typename Form = TForm1>
int RunTextSnap() {
  TApplication application;
  application.Initialize();
  application.ShowMainForm = false;
  application.SetTitle(kApplicationTitle);
  try {
    application.CreateForm<Form>();
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
