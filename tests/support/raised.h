// What an action raised, as text a test can compare.
#pragma once

#include <exception>
#include <functional>
#include <string>

namespace testsupport {

// The message of the exception `action` raises when it is of class E; a
// description of anything else.
template <class E>
std::string RaisedText(const std::function<void()>& action) {
  try {
    action();
  } catch (const E& e) {
    return e.Message();
  } catch (const std::exception& e) {
    return std::string("wrong class: ") + e.what();
  }
  return "no exception";
}

}  // namespace testsupport
