// An application over a freshly reset in-process desktop.
#pragma once

#include <gtest/gtest.h>

#include "platform/headless/desktop.h"
#include "ui/application.h"

class UiTest : public ::testing::Test {
protected:
  void SetUp() override {
    platform::headless::ResetDesktop();
    platform::headless::SetWaitLimit(2000);
    app = new ts::TApplication;
    app->SetTitle("text snap for pinleaf online");
  }
  void TearDown() override {
    delete app;
    platform::headless::ResetDesktop();
  }
  ts::TApplication* app = nullptr;
};
