#include <gtest/gtest.h>
#include "net/tcpconnection.h"
TEST(Smoke, Builds) { ts::TNetTCPClient c(nullptr); EXPECT_FALSE(c.IsConnected()); }
