// The toolkit at other dpis than 96: a form described at 96 dpi is laid out,
// its fonts chosen and its labels sized for the dpi of the monitor it is on,
// and again when it moves to another; labels name the controls after them.
#include <gtest/gtest.h>

#include "fixture.h"
#include "ui/controls.h"
#include "ui/forms.h"

using namespace ts;
namespace hl = platform::headless;

namespace {

// A piece of the settings window: a label over an edit, two check boxes that
// meet, a button.
struct Piece : TForm {
  explicit Piece(TComponent* owner) : TForm(owner) {
    SetClientSize(487, 442);
    for (auto* c : std::initializer_list<TWinControl*>{first, label, edit, upper, lower, ok}) c->SetParent(this);
    first->SetBounds(32, 136, 361, 38);
    label->SetBounds(32, 184, 60, 12);
    label->SetCaption("PASSWORD");
    edit->SetBounds(32, 200, 361, 38);
    edit->Font().SetHeight(30);
    upper->SetBounds(112, 344, 97, 16);
    upper->SetCaption("alt");
    lower->SetBounds(112, 360, 97, 16);
    lower->SetCaption("ctl");
    ok->SetBounds(296, 344, 161, 57);
    ok->SetCaption("OK");
    ok->Font().SetBold(true);
  }
  TEdit* first = new TEdit(this);
  TLabel* label = new TLabel(this);
  TEdit* edit = new TEdit(this);
  TCheckBox* upper = new TCheckBox(this);
  TCheckBox* lower = new TCheckBox(this);
  TButton* ok = new TButton(this);
};

platform::Rect BoundsOf(TWinControl* c) { return hl::Inspect(c->Handle())->bounds; }
int FontOf(TWinControl* c) { return hl::Inspect(c->Handle())->font.height; }

// The label's box holds its text as the backend measures it at the label's dpi.
void ExpectLabelHoldsItsText(TLabel* label) {
  platform::Point text = platform::MeasureText(label->Handle(), label->Caption());
  platform::Rect box = BoundsOf(label);
  EXPECT_GE(box.width, text.x);
  EXPECT_GE(box.height, text.y);
  EXPECT_LE(box.width, text.x + 1) << "and no more than rounding adds";
}

TEST_F(UiTest, AFormDescribedAt96DpiIsLaidOutAtTheDpiOfItsMonitorAndAgainWhenItMoves) {
  hl::SetDesktopDpi(144);
  auto* f = app->CreateForm<Piece>();
  auto form = *hl::Inspect(f->Handle());
  EXPECT_EQ(form.clientWidth, 731) << "487 at 150 %";
  EXPECT_EQ(form.clientHeight, 663);
  EXPECT_EQ(form.font.height, -18);
  EXPECT_EQ(f->ClientWidth(), 487) << "the toolkit's own terms stay at 96 dpi";

  platform::Rect edit = BoundsOf(f->edit);
  EXPECT_EQ(edit.left, 48);
  EXPECT_EQ(edit.top, 300);
  EXPECT_EQ(edit.width, 542) << "the right edge 393 becomes 590 (589.5 rounded)";
  EXPECT_EQ(edit.height, 57);
  EXPECT_EQ(FontOf(f->edit), 45);
  EXPECT_EQ(f->edit->Width(), 361);
  EXPECT_EQ(FontOf(f->ok), -18);
  EXPECT_TRUE(hl::Inspect(f->ok->Handle())->font.bold);
  // Controls that meet at 96 dpi meet at every dpi: no gap, no overlap.
  platform::Rect upper = BoundsOf(f->upper), lower = BoundsOf(f->lower);
  EXPECT_EQ(upper.top + upper.height, lower.top);
  EXPECT_EQ(BoundsOf(f->first).top + BoundsOf(f->first).height, 261);
  // The label is sized by its text in its font at 144 dpi.
  ExpectLabelHoldsItsText(f->label);
  EXPECT_EQ(f->label->Width(), (platform::MeasureText(f->label->Handle(), "PASSWORD").x * 96 + 143) / 144);

  // Dragged to a monitor at 100 %: the system says so with the place it
  // suggests, and everything is as it was described.
  hl::SetWindowDpi(f->Handle(), 96);
  platform::Rect suggested{2000, 100, 500, 480};
  platform::SendToWindow(f->Handle(), platform::wm::DpiChanged, 96 | (96 << 16),
                         reinterpret_cast<std::intptr_t>(&suggested));
  form = *hl::Inspect(f->Handle());
  EXPECT_EQ(form.clientWidth, 487);
  EXPECT_EQ(form.clientHeight, 442);
  EXPECT_EQ(form.font.height, -12);
  EXPECT_EQ(form.bounds.left, 2000) << "at the suggested place";
  EXPECT_EQ(form.bounds.top, 100);
  edit = BoundsOf(f->edit);
  EXPECT_EQ(edit.left, 32);
  EXPECT_EQ(edit.top, 200);
  EXPECT_EQ(edit.width, 361);
  EXPECT_EQ(edit.height, 38);
  EXPECT_EQ(FontOf(f->edit), 30);
  EXPECT_EQ(FontOf(f->label), -12);
  ExpectLabelHoldsItsText(f->label);

  // And on to one at 200 %.
  hl::SetWindowDpi(f->Handle(), 192);
  platform::SendToWindow(f->Handle(), platform::wm::DpiChanged, 192 | (192 << 16),
                         reinterpret_cast<std::intptr_t>(&suggested));
  EXPECT_EQ(hl::Inspect(f->Handle())->clientWidth, 974);
  EXPECT_EQ(BoundsOf(f->ok).width, 322);
  EXPECT_EQ(FontOf(f->ok), -24);
  ExpectLabelHoldsItsText(f->label);
  // A control placed later takes the form's dpi.
  auto* late = new TButton(f);
  late->SetParent(f);
  late->SetBounds(10, 10, 50, 20);
  EXPECT_EQ(late->Dpi(), 192);
  EXPECT_EQ(BoundsOf(late).width, 100);
  EXPECT_EQ(FontOf(late), -24);
}

TEST_F(UiTest, AFormIsLaidOutForTheMonitorItOpensOn) {
  auto* f = app->CreateForm<Piece>();
  f->Position = TPosition::poDesktopCenter;
  EXPECT_EQ(f->Dpi(), 96);
  EXPECT_EQ(hl::Inspect(f->Handle())->clientWidth, 487);
  hl::SetWindowDpi(f->Handle(), 120);  // made on one monitor, shown on another
  f->Show();
  EXPECT_EQ(f->Dpi(), 120);
  EXPECT_EQ(f->edit->Dpi(), 120);
  EXPECT_EQ(hl::Inspect(f->Handle())->clientWidth, 609);
  EXPECT_EQ(FontOf(f->edit), 38) << "30 at 125 % is 37.5";
  EXPECT_TRUE(hl::Inspect(f->Handle())->centered);
  ExpectLabelHoldsItsText(f->label);
}

TEST_F(UiTest, LabelsStandBeforeTheControlsTheyNameAndTabPassesOverThem) {
  auto* f = app->CreateForm<Piece>();
  // Creation order: first, label, edit, upper, lower, ok.
  auto sequence = hl::Inspect(f->Handle())->tabSequence;
  std::vector<platform::WindowHandle> expected{f->first->Handle(), f->label->Handle(), f->edit->Handle(),
                                               f->upper->Handle(), f->lower->Handle(), f->ok->Handle()};
  EXPECT_EQ(sequence, expected);
  f->Show();
  f->first->SetFocus();
  hl::PressKey(9);
  EXPECT_TRUE(f->edit->Focused()) << "the label takes no focus";
  hl::PressKey(9, 4);
  EXPECT_TRUE(f->first->Focused());

  f->ok->SetAccessibleName("OK: save and close");
  EXPECT_EQ(hl::AccessibleName(f->ok->Handle()), "OK: save and close");
  EXPECT_EQ(hl::AccessibleName(f->edit->Handle()), "") << "the label before it names it";
}

}  // namespace
