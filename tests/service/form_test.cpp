#include "service/form.h"

#include <gtest/gtest.h>

#include "support.h"

namespace pinleaf {
namespace {

TEST(Form, ClientEscapedCredentialsArriveIntact) {
  for (std::string value : {"p&+= x", "a=b&c=d", "日本語🎉", "100% sure", " both ends ", "/?:~\x7F"}) {
    FormFields fields = DecodeForm(test::LoginBody("id " + value, value));
    ASSERT_EQ(fields.size(), 2u) << value;
    EXPECT_EQ(fields[0], std::make_pair(std::string("data[User][username]"), "id " + value));
    EXPECT_EQ(fields[1], std::make_pair(std::string("data[User][password]"), value));
  }
}

TEST(Form, BrowserConventionsAndOddPieces) {
  FormFields fields = DecodeForm("\r\na=1+2&&flag&c=%zz%4%&%5Bn%5d=x&a=second\r\n");
  FormFields expected = {{"a", "1 2"}, {"flag", ""}, {"c", "%zz%4%"}, {"[n]", "x"}, {"a", "second"}};
  EXPECT_EQ(fields, expected);
  EXPECT_EQ(FindField(fields, "a"), "1 2");  // the first one counts
  EXPECT_EQ(FindField(fields, "b"), std::nullopt);
  EXPECT_TRUE(DecodeForm("").empty());
}

}  // namespace
}  // namespace pinleaf
