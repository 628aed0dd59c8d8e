#include <gtest/gtest.h>

#include "runtime/codepage.h"
#include "runtime/exception.h"
#include "runtime/text.h"

using namespace ts;

TEST(Trim, RemovesControlBytesAndBlanksOnly) {
  EXPECT_EQ(Trim(" \t\r\nabc \x01"), "abc");
  EXPECT_EQ(Trim("\x7f"
                 "a\x80"),
            "\x7f"
            "a\x80");
  EXPECT_EQ(TrimLeft("  a  "), "a  ");
  EXPECT_EQ(TrimRight("  a  "), "  a");
  EXPECT_EQ(Trim("   "), "");
}

TEST(IntegerConversion, DecimalAndHexadecimalForms) {
  EXPECT_EQ(StrToIntDef("65", 0), 65);
  EXPECT_EQ(StrToIntDef("  65", 0), 65);
  EXPECT_EQ(StrToIntDef("+65", 0), 65);
  EXPECT_EQ(StrToIntDef("-65", 0), -65);
  EXPECT_EQ(StrToIntDef("065", 0), 65) << "a leading zero is not octal";
  EXPECT_EQ(StrToIntDef("$41", 0), 65);
  EXPECT_EQ(StrToIntDef("x41", 0), 65);
  EXPECT_EQ(StrToIntDef("X41", 0), 65);
  EXPECT_EQ(StrToIntDef("0x41", 0), 65);
  EXPECT_EQ(StrToIntDef("0XfF", 0), 255);
  EXPECT_EQ(StrToIntDef("$FFFFFFFF", 0), -1);
  EXPECT_EQ(StrToIntDef("2147483647", 0), 2147483647);
  EXPECT_EQ(StrToIntDef("-2147483648", 0), INT32_MIN);
}

TEST(IntegerConversion, AnythingIncompleteGivesTheDefault) {
  for (const char* bad : {"", " ", "0x", "$", "A1", "65 ", "6 5", "1e3", "$123456789", "2147483648", "-2147483649",
                          "99999999999999999999999", "-$1", "$-1", "++1", "\t65"})
    EXPECT_EQ(StrToIntDef(bad, 7), 7) << '"' << bad << '"';
  EXPECT_THROW(StrToInt("abc"), EConvertError);
}

TEST(Format, TheConversionsOfTheMessages) {
  EXPECT_EQ(Format("%s に書き込めません", {"C:\\a\\ini.ini"}), "C:\\a\\ini.ini に書き込めません");
  EXPECT_EQ(Format("StoredItem%d", {3}), "StoredItem3");
  EXPECT_EQ(Format("%.2d:%0.2d", {5, 7}), "05:07");
  EXPECT_EQ(Format("%.4d", {42}), "0042");
  EXPECT_EQ(Format("%.2d", {-5}), "-05");
  EXPECT_EQ(Format("%f", {1.0 / 3}), "0.33");
  EXPECT_EQ(Format("%.1f", {2.25}), "2.2");
  EXPECT_EQ(Format("%5d|%-3s|", {42, "a"}), "   42|a  |");
  EXPECT_EQ(Format("100%%", {}), "100%");
  EXPECT_EQ(Format("%x", {255}), "FF");
  EXPECT_THROW(Format("%d", {"text"}), EConvertError);
  EXPECT_THROW(Format("%s %s", {"one"}), EConvertError);
}

TEST(Compare, AsciiLettersFoldOnly) {
  EXPECT_TRUE(SameText("Content-Length", "content-LENGTH"));
  EXPECT_FALSE(SameText("\x82\xa0", "\x82\xc0"));
  EXPECT_LT(CompareText("abc", "ABD"), 0);
  EXPECT_LT(CompareText("ab", "abc"), 0);
  EXPECT_TRUE(StartsText("HTTP/", "http/1.1"));
  EXPECT_EQ(UpperCase("aZ\xe9"), "AZ\xe9");
}

TEST(Search, AnsiPosNeverMatchesInsideADoubleByteCharacter) {
  if (SystemCodePage() != 932) GTEST_SKIP() << "needs a Japanese system code page";
  // In Shift-JIS "\x83\x5c" is one character whose trail byte is a back-slash.
  std::string text =
      "\x83\x5c"
      "abc\\";
  EXPECT_EQ(Pos("\\", text), 2u);
  EXPECT_EQ(AnsiPos("\\", text), 6u);
  EXPECT_EQ(AnsiPos("abc", text), 3u);
  EXPECT_EQ(AnsiPos("", text), 0u);
  EXPECT_EQ(AnsiPos("zz", text), 0u);
}

TEST(Search, ExtractFilePathStepsOverDoubleByteCharacters) {
  if (SystemCodePage() != 932) GTEST_SKIP() << "needs a Japanese system code page";
  // "ソフト表" and "スナップ表": "ソ" is 83 5C and "表" 95 5C in Shift-JIS.
  const std::string folder = "C:\\\x83\x5c\x83\x74\x83\x67\x95\x5c\\";
  const std::string file = "\x83\x58\x83\x69\x83\x62\x83\x76\x95\x5c.exe";
  EXPECT_EQ(ExtractFilePath(folder + file), folder);
  EXPECT_EQ(ExtractFilePath(folder + "textsnap.exe"), folder);
  EXPECT_EQ(ExtractFilePath(folder), folder);
  EXPECT_EQ(ExtractFilePath("/home/u/textsnap"), "/home/u/");
  EXPECT_EQ(ExtractFilePath(file), "") << "a trail byte alone is no folder";
  EXPECT_EQ(ExtractFilePath(""), "");
}
