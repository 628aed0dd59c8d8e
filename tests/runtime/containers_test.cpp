#include <gtest/gtest.h>

#include "runtime/codepage.h"
#include "runtime/collection.h"
#include "runtime/component.h"
#include "runtime/exception.h"
#include "runtime/stream.h"
#include "runtime/strings.h"

using namespace ts;

TEST(StringList, TextJoinsWithCrLfAndSplitsAtAnyLineEnd) {
  TStringList list;
  list.SetText("a\r\nb\nc\rd");
  ASSERT_EQ(list.Count(), 4);
  EXPECT_EQ(list[3], "d");
  EXPECT_EQ(list.Text(), "a\r\nb\r\nc\r\nd\r\n");
  list.SetText("x\r\n\r\ny\r\n");
  EXPECT_EQ(list.Count(), 3) << "an empty line stays, the final line end adds nothing";
  list.SetText("");
  EXPECT_EQ(list.Count(), 0);
}

TEST(StringList, NameValueAccess) {
  TStringList list{"data[User][username]=me", "plain", "k=v=w"};
  EXPECT_EQ(list.Names(0), "data[User][username]");
  EXPECT_EQ(list.Values("DATA[user][username]"), "me");
  EXPECT_EQ(list.Values("k"), "v=w");
  EXPECT_EQ(list.Names(1), "");
  EXPECT_EQ(list.IndexOfName("plain"), -1);
  list.SetValues("k", "z");
  EXPECT_EQ(list[2], "k=z");
  list.SetValues("new", "1");
  EXPECT_EQ(list[3], "new=1");
  list.SetValues("new", "");
  EXPECT_EQ(list.Count(), 3);
  EXPECT_THROW(list.Strings(3), EListError);
}

TEST(StringList, SortedListAcceptsDuplicatesInArrivalOrder) {
  TStringList list;
  list.SetSorted(true);
  list.SetDuplicates(TDuplicates::dupAccept);
  int one = 1, two = 2;
  list.AddObject("b", &one);
  list.Add("a");
  list.AddObject("B", &two);
  list.Add("c");
  ASSERT_EQ(list.Count(), 4);
  EXPECT_EQ(list[0], "a");
  EXPECT_EQ(list.Objects(1), &one);
  EXPECT_EQ(list.Objects(2), &two);
  int index;
  EXPECT_TRUE(list.Find("b", index));
  EXPECT_EQ(index, 1) << "Find gives the first of equal lines";
  EXPECT_THROW(list.Insert(0, "z"), EListError);
  list.SetDuplicates(TDuplicates::dupIgnore);
  EXPECT_EQ(list.Add("A"), 0);
  EXPECT_EQ(list.Count(), 4);
}

TEST(MemoryStream, GrowsAndKeepsItsPosition) {
  TMemoryStream s;
  s.WriteString("hello");
  s.SetPosition(2);
  s.WriteString("LLO world");
  EXPECT_EQ(s.DataString(), "heLLO world");
  EXPECT_EQ(s.Position(), 11);
  s.SetPosition(6);
  char buf[16] = {};
  EXPECT_EQ(s.Read(buf, 16), 5);
  EXPECT_STREQ(buf, "world");
  s.SetPosition(9);
  EXPECT_THROW(s.ReadBuffer(buf, 5), EReadError);
  s.SetSize(2);
  EXPECT_EQ(s.Position(), 2);
  TMemoryStream copy;
  copy.CopyFrom(s, 0);
  EXPECT_EQ(copy.DataString(), "he");
}

namespace {
struct Probe : TComponent {
  Probe(TComponent* owner, std::vector<std::string>* log, std::string name) : TComponent(owner), log_(log) {
    SetName(std::move(name));
  }
  ~Probe() override { log_->push_back("free " + Name()); }
  TComponent* ref = nullptr;
  void Notification(TComponent* c, TOperation op) override {
    if (op == TOperation::opRemove && c == ref) {
      log_->push_back(Name() + " forgets " + c->Name());
      ref = nullptr;
    }
  }
  std::vector<std::string>* log_;
};
}  // namespace

TEST(Component, OwnerFreesChildrenAndReferencesAreForgotten) {
  std::vector<std::string> log;
  auto* form = new Probe(nullptr, &log, "form");
  auto* menu = new Probe(form, &log, "menu");
  auto* tray = new Probe(form, &log, "tray");
  tray->ref = menu;
  tray->FreeNotification(menu);
  EXPECT_EQ(form->ComponentCount(), 2);
  EXPECT_EQ(form->FindComponent("tray"), tray);
  delete menu;
  EXPECT_EQ(tray->ref, nullptr);
  EXPECT_EQ(form->ComponentCount(), 1);
  delete form;
  EXPECT_EQ(log, (std::vector<std::string>{"free menu", "tray forgets menu", "free form", "free tray"}));
}

TEST(Collection, ItemsKnowTheirIndexAndKeepUniqueIds) {
  TCollection c([](TCollection* owner) { return new TCollectionItem(owner); });
  auto* a = c.Add();
  auto* b = c.Add();
  auto* d = c.Add();
  EXPECT_EQ(d->Index(), 2);
  delete b;
  EXPECT_EQ(d->Index(), 1);
  auto* e = c.Add();
  EXPECT_EQ(e->ID(), 3) << "IDs are never reused";
  d->SetIndex(0);
  EXPECT_EQ(c.Items(0), d);
  EXPECT_EQ(c.FindItemID(a->ID()), a);
  c.Delete(0);
  EXPECT_EQ(c.Count(), 2);
  EXPECT_THROW(c.Items(5), EListError);
}

TEST(CodePage, RoundTripsThroughUtf8AndUtf16) {
  if (SystemCodePage() != 932) GTEST_SKIP() << "needs a Japanese system code page";
  const std::string sjis = "\x93\xfa\x96\x7b\x8c\xea";  // 日本語
  EXPECT_EQ(SystemToUtf8(sjis), "日本語");
  EXPECT_EQ(Utf8ToSystem("日本語"), sjis);
  EXPECT_EQ(Utf8ToUtf16("a\xF0\x9F\x98\x80"), (std::u16string{u'a', 0xD83D, 0xDE00}));
  EXPECT_EQ(Utf16ToUtf8(std::u16string{0xD83D, 0xDE00}), "\xF0\x9F\x98\x80");
  EXPECT_EQ(Utf8ToUtf16("\xC0\xAF"), (std::u16string{0xFFFD, 0xFFFD})) << "overlong forms are refused";
  EXPECT_EQ(Utf16ToUtf8(std::u16string{0xD800}), "\xEF\xBF\xBD");
  const std::string lost = Utf8ToSystem("\xF0\x9F\x98\x80");
  EXPECT_FALSE(lost.empty());
  EXPECT_EQ(lost.find_first_not_of('?'), std::string::npos) << "what the code page lacks becomes '?'";
}
