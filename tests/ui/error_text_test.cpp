#include <gtest/gtest.h>

#include "ui/application.h"

namespace {

TEST(ErrorBoxText, AppendsPeriodOnlyAfterCharactersThatSortAfterIt) {
  EXPECT_EQ(ts::ErrorBoxText("Socket Error # 10061"), "Socket Error # 10061.");
  EXPECT_EQ(ts::ErrorBoxText("HTTP/1.1 404 Not Found"), "HTTP/1.1 404 Not Found.");
  EXPECT_EQ(ts::ErrorBoxText("path/"), "path/.");
  EXPECT_EQ(ts::ErrorBoxText("クリップボードを開くことができません"), "クリップボードを開くことができません.");
  EXPECT_EQ(ts::ErrorBoxText("done."), "done.");
  EXPECT_EQ(ts::ErrorBoxText("wait!"), "wait!");
  EXPECT_EQ(ts::ErrorBoxText("(closed)"), "(closed)");
  EXPECT_EQ(ts::ErrorBoxText("line\r\n"), "line\r\n");
  EXPECT_EQ(ts::ErrorBoxText("a,"), "a,");
  EXPECT_EQ(ts::ErrorBoxText(""), "");
}

}  // namespace
