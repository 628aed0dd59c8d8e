#include "ui/application.h"

#include "platform/shell.h"
#include "runtime/exception.h"
#include "ui/thread.h"

namespace ts {

TApplication* Application = nullptr;

namespace detail {
// Set by the application for the notice queue of ui/thread.cpp.
void SetNoticeWindow(platform::WindowHandle window);
void RunNotices();
}  // namespace detail

TApplication::TApplication() : TComponent(nullptr) {
  handle_ = platform::NewWindow(platform::WindowKind::Hidden, 0, [](platform::Message& m) {
    if (m.msg != platform::wm::Notice) return false;
    detail::RunNotices();
    return true;
  });
  Application = this;
  detail::SetNoticeWindow(handle_);
}

TApplication::~TApplication() {
  detail::SetNoticeWindow(0);
  // The forms go first (the base destructor would free them too, but they may
  // still use the application while they do).
  while (ComponentCount() > 0) delete Components(ComponentCount() - 1);
  platform::FreeWindow(handle_);
  if (Application == this) Application = nullptr;
}

void TApplication::Notification(TComponent* component, TOperation operation) {
  if (operation == TOperation::opRemove && component == mainForm_) mainForm_ = nullptr;
}

void TApplication::Run() {
  if (mainForm_ && ShowMainForm) mainForm_->Show();
  while (!terminated_) HandleMessage();
}

void TApplication::Terminate() {
  terminated_ = true;
  platform::PostToWindow(handle_, platform::wm::Null, 0, 0);  // wakes a waiting loop
}

void TApplication::ProcessMessages() {
  for (;;) {
    platform::Pumped turn = platform::PumpMessage(false);
    if (turn == platform::Pumped::Quit) terminated_ = true;
    if (turn != platform::Pumped::Message) return;
  }
}

void TApplication::HandleMessage() {
  // A quit message ends Run, and a modal loop running inside it, as Terminate does.
  if (platform::PumpMessage(true) == platform::Pumped::Quit) terminated_ = true;
}

std::string ErrorBoxText(const std::string& message) {
  if (!message.empty() && static_cast<unsigned char>(message.back()) > static_cast<unsigned char>('.'))
    return message + ".";
  return message;
}

void TApplication::HandleException(const std::exception& error) {
  if (OnException) {
    OnException(this, error);
    return;
  }
  if (auto* own = dynamic_cast<const Exception*>(&error))
    ShowException(own->Message());
  else
    ShowException(error.what());
}

void TApplication::ShowException(const std::string& message) {
  MessageBox(ErrorBoxText(message), title_, platform::mb::Ok | platform::mb::IconError);
}

int TApplication::MessageBox(const std::string& text, const std::string& caption, unsigned style) {
  // The application's forms stay disabled while the box is open.
  std::vector<TForm*> disabled;
  for (TForm* f : Forms())
    if (f->Visible() && f->Enabled()) {
      f->SetEnabled(false);
      disabled.push_back(f);
    }
  TForm* active = ActiveForm();
  int answer = platform::ShowMessageBox(active ? active->Handle() : handle_, text, caption, style);
  for (TForm* f : disabled)
    for (TForm* alive : Forms())
      if (alive == f) f->SetEnabled(true);
  return answer;
}

}  // namespace ts
