// The parts of the main window and where they sit: the window's definition,
// read once when the window is made. Coordinates are at 96 dpi.
#include "app/form1.h"

#include "http/cookies.h"
#include "http/http.h"
#include "storage/storedform.h"

namespace ts {

namespace {

constexpr const char* kFontName = "ＭＳ Ｐゴシック";

template <typename T>
T* Part(TComponent* owner, const char* name) {
  T* part = new T(owner);
  part->SetName(name);
  return part;
}

// Puts a control on the form at its place; the font starts as the form's.
void Place(TWinControl* control, TForm* form, int left, int top, int width, int height) {
  control->SetParent(form);
  control->SetBounds(left, top, width, height);
}

}  // namespace

void TForm1::CreateParts() {
  Button1 = Part<TButton>(this, "Button1");
  Edit1 = Part<TEdit>(this, "Edit1");
  NetHTTP1 = Part<TNetHTTP>(this, "NetHTTP1");
  NetCookieManager1 = Part<TNetCookieManager>(this, "NetCookieManager1");
  ConfigureHttp();
  Memo1 = Part<TMemo>(this, "Memo1");
  Edit2 = Part<TEdit>(this, "Edit2");
  Edit3 = Part<TEdit>(this, "Edit3");
  Label1 = Part<TLabel>(this, "Label1");
  Label2 = Part<TLabel>(this, "Label2");
  Label3 = Part<TLabel>(this, "Label3");
  TrayIcon1 = Part<TTrayIcon>(this, "TrayIcon1");
  TrayIcon1->BeginReadState();
  Button2 = Part<TButton>(this, "Button2");
  Edit4 = Part<TEdit>(this, "Edit4");
  Label4 = Part<TLabel>(this, "Label4");
  CheckBox1 = Part<TCheckBox>(this, "CheckBox1");
  CheckBox2 = Part<TCheckBox>(this, "CheckBox2");
  CheckBox3 = Part<TCheckBox>(this, "CheckBox3");
  PopupMenu1 = Part<TPopupMenu>(this, "PopupMenu1");
  setting1 = Part<TMenuItem>(this, "setting1");
  quit1 = Part<TMenuItem>(this, "quit1");
  N1 = Part<TMenuItem>(this, "N1");
  CheckBox4 = Part<TCheckBox>(this, "CheckBox4");
  Label5 = Part<TLabel>(this, "Label5");
  Button3 = Part<TButton>(this, "Button3");
  Label6 = Part<TLabel>(this, "Label6");
  Button4 = Part<TButton>(this, "Button4");
  FileStorage1 = Part<TFileStorage>(this, "FileStorage1");
  LoadWindowStoredData(*FileStorage1);
  send1 = Part<TMenuItem>(this, "send1");
  recent1 = Part<TMenuItem>(this, "recent1");
  notes1 = Part<TMenuItem>(this, "notes1");
  Timer1 = Part<TTimer>(this, "Timer1");
  Timer1->SetEnabled(false);
  Timer1->OnTimer = [this](TObject* s) { Timer1Timer(s); };
  source1 = Part<TMenuItem>(this, "source1");
  pair1 = Part<TMenuItem>(this, "pair1");
  forget1 = Part<TMenuItem>(this, "forget1");
  Timer2 = Part<TTimer>(this, "Timer2");
  Timer2->SetEnabled(false);
  Timer2->OnTimer = [this](TObject* s) { Timer2Timer(s); };
}

void TForm1::LayOut() {
  SetCaption("setting");
  SetBorderStyle(TBorderStyle::bsToolWindow);
  SetBorderIcons(false);
  SetClientSize(487, 442);
  Position = TPosition::poDesktopCenter;
  Font().SetName(kFontName);
  Font().SetCharset(kShiftJisCharset);
  Font().SetHeight(-12);

  // The send trigger and the answer box never show; they take no focus.
  Place(Button1, this, 0, 0, 75, 25);
  Button1->SetVisible(false);
  Button1->TabStop = false;
  Button1->OnClick = [this](TObject* s) { RunSnap(s); };
  Place(Memo1, this, 0, 0, 185, 89);
  Memo1->SetVisible(false);
  Memo1->TabStop = false;

  Place(Button4, this, 32, 16, 361, 33);
  Button4->SetCaption("CREATE ID / 新規アカウント作成");
  Button4->OnClick = [this](TObject* s) { Button4Click(s); };

  // The other labels take the size of their caption.
  Place(Label1, this, 32, 56, 18, 12);
  Label1->SetCaption("url");

  Place(Edit3, this, 32, 72, 361, 38);
  Edit3->AutoSize = false;
  Edit3->Font().SetHeight(14);

  Place(Button3, this, 400, 72, 65, 41);
  Button3->SetCaption("Default");
  Button3->OnClick = [this](TObject* s) { Button3Click(s); };

  Place(Label2, this, 32, 120, 12, 12);
  Label2->SetCaption("ID");

  Place(Edit1, this, 32, 136, 361, 38);
  Edit1->Font().SetHeight(30);

  Place(Label3, this, 32, 184, 60, 12);
  Label3->SetCaption("PASSWORD");

  Place(Edit2, this, 32, 200, 361, 38);
  Edit2->Font().SetHeight(30);
  Edit2->SetPasswordChar('*');

  // As wide as the row allows: its text alone nearly fills 361 pixels.
  Place(CheckBox4, this, 40, 256, 425, 33);
  CheckBox4->SetCaption("Ctrl + C （ショートカット） を自動で押してから送信する");

  // Sized by its text like the others: a fixed box cut the text short
  // (there is room up to the right edge at every dpi).
  Place(Label5, this, 56, 296, 357, 12);
  Label5->SetCaption("選択範囲を作成してホットキーを押すだけで、選択内容が送信されます");

  Place(Label4, this, 40, 328, 66, 12);
  Label4->SetCaption("hotkey code");

  Place(Edit4, this, 40, 344, 57, 57);
  Edit4->SetReadOnly(true);
  // Its label says what it holds; a screen reader is also told what to do in it.
  std::string hotKeyCaption = kHotKeyCaption;
  Edit4->SetAccessibleName("hotkey code: " + hotKeyCaption.substr(hotKeyCaption.find('\r') + 1));
  Edit4->AutoSize = false;
  Edit4->Font().SetHeight(20);
  Edit4->OnKeyDown = [this](TObject* s, uint16_t& key, TShiftState shift) { Edit4KeyDown(s, key, shift); };

  // One below the other, each 16 high: they meet without overlapping.
  Place(CheckBox1, this, 112, 344, 97, 16);
  CheckBox1->SetCaption("alt");
  Place(CheckBox2, this, 112, 360, 97, 16);
  CheckBox2->SetCaption("ctl");
  Place(CheckBox3, this, 112, 376, 97, 16);
  CheckBox3->SetCaption("shift");

  Place(Button2, this, 296, 344, 161, 57);
  Button2->SetCaption("OK");
  Button2->SetDefault(true);
  Button2->Font().SetBold(true);
  Button2->Font().SetHeight(-12);
  Button2->OnClick = [this](TObject* s) { Button2Click(s); };

  Place(Label6, this, 40, 408, 260, 24);
  Label6->Font().SetHeight(10);

  // The reading order of the visible controls, top to bottom and left to
  // right: Tab follows it, and each edit's label comes just before the edit
  // (a screen reader names the edit by it). The focus starts in the ID.
  TWinControl* order[] = {Button4, Label1, Edit3, Button3,   Label2,    Edit1,     Label3,  Edit2, CheckBox4,
                          Label5,  Label4, Edit4, CheckBox1, CheckBox2, CheckBox3, Button2, Label6};
  int at = 0;
  for (TWinControl* control : order) control->SetTabOrder(at++);
  ActiveControl = Edit1;

  setting1->Caption = "Settings...";
  setting1->OnClick = [this](TObject* s) { setting1Click(s); };
  N1->Caption.assign(1, '-');  // a separator (assigned so; GCC 12 misreads a one-byte literal here)
  quit1->Caption = "Quit";
  quit1->OnClick = [this](TObject* s) { quit1Click(s); };
  send1->OnClick = [this](TObject* s) { send1Click(s); };
  recent1->Caption = "Recent snaps";
  notes1->Caption = "Open notes page";
  notes1->OnClick = [this](TObject* s) { notes1Click(s); };
  source1->Caption = "Note where it came from";
  source1->OnClick = [this](TObject* s) { source1Click(s); };
  pair1->OnClick = [this](TObject* s) { pair1Click(s); };
  forget1->OnClick = [this](TObject* s) { forget1Click(s); };
  PopupMenu1->Add(setting1);
  PopupMenu1->Add(send1);
  PopupMenu1->Add(recent1);
  PopupMenu1->Add(notes1);
  PopupMenu1->Add(source1);
  PopupMenu1->Add(pair1);
  PopupMenu1->Add(forget1);
  PopupMenu1->Add(N1);
  PopupMenu1->Add(quit1);
  PopupMenu1->OnPopup = [this](TObject* s) { PopupMenu1Popup(s); };

  TrayIcon1->SetTipHelp(kApplicationTitle);
  TrayIcon1->SetRBPopupMenu(PopupMenu1);
  TrayIcon1->SetVisible(true);
  TrayIcon1->BalloonIcon = biifNone;
}

}  // namespace ts
