// A scratch folder for the running test case. Portable: natively and under Wine.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <string>

namespace testscratch {

// An empty folder under the system's temporary folder named after `prefix`,
// the running case and this process, so that the same case run by two test
// runs at once never shares one.
inline std::filesystem::path CaseFolder(const std::string& prefix) {
  const std::filesystem::path dir =
      std::filesystem::temp_directory_path() /
      (prefix + "-" + ::testing::UnitTest::GetInstance()->current_test_info()->name() + "-" + std::to_string(getpid()));
  std::filesystem::remove_all(dir);
  std::filesystem::create_directories(dir);
  return dir;
}

}  // namespace testscratch
