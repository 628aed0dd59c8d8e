// The application object: title, main form, the message loop and the way an
// error that escapes a handler reaches the user.
//
// A program starts like this:
//   TApplication app;                  // becomes ts::Application
//   app.ShowMainForm = false;          // a tray program keeps its window hidden
//   app.SetTitle("...");               // caption of error boxes
//   app.CreateForm<TMyForm>();         // the first form is the main form
//   app.Run();                         // until Terminate (closing the main form)
// Every message reaches its control through DispatchGuarded, so an error that
// escapes a handler is shown and the loop goes on with the next message.
#pragma once

#include <exception>
#include <string>
#include <utility>

#include "platform/window.h"
#include "ui/forms.h"

namespace ts {

class TApplication : public TComponent {
public:
  TApplication();
  ~TApplication() override;  // frees the forms it owns

  void Initialize() {}
  const std::string& Title() const { return title_; }
  void SetTitle(const std::string& utf8) { title_ = utf8; }

  // When false, Run does not show the main form.
  bool ShowMainForm = true;
  TForm* MainForm() const { return mainForm_; }
  // The first form created becomes the main form; `args` follow the owner.
  template <typename T, typename... Args>
  T* CreateForm(Args&&... args) {
    T* form = new T(this, std::forward<Args>(args)...);
    if (!mainForm_) mainForm_ = form;
    return form;
  }

  // Runs messages until Terminate.
  void Run();
  void Terminate();
  bool Terminated() const { return terminated_; }
  // Dispatches every waiting message, then returns.
  void ProcessMessages();
  // Waits for one message and dispatches it.
  void HandleMessage();

  // Shows an error: its text (with "." appended when it ends in a character
  // that sorts after ".") in a message box with the title as caption, a stop
  // icon and one OK button.
  void HandleException(const std::exception& error);
  void ShowException(const std::string& message);
  int MessageBox(const std::string& text, const std::string& caption, unsigned style);

  TForm* ActiveForm() const { return ActiveFormOf(); }
  // A hidden window of the application: owner of popup menus, receiver of notices.
  platform::WindowHandle Handle() const { return handle_; }

  // Replaces the error box when set.
  std::function<void(TObject* sender, const std::exception& error)> OnException;

protected:
  void Notification(TComponent* component, TOperation operation) override;

private:
  std::string title_;
  TForm* mainForm_ = nullptr;
  bool terminated_ = false;
  platform::WindowHandle handle_ = 0;
};

// The one application object of the process (none before it is created).
extern TApplication* Application;

// The message an error box shows for `message`.
std::string ErrorBoxText(const std::string& message);

}  // namespace ts
