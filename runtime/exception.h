// Exception base: every failure of the system is an exception carrying a message text.
#pragma once

#include <exception>
#include <string>

namespace ts {

class Exception : public std::exception {
public:
  explicit Exception(std::string message) : message_(std::move(message)) {}
  const std::string& Message() const noexcept { return message_; }
  void SetMessage(std::string message) { message_ = std::move(message); }
  const char* what() const noexcept override { return message_.c_str(); }

private:
  std::string message_;
};

// Raised by the stream helpers when fewer bytes than asked could be moved.
class EReadError : public Exception {
public:
  EReadError() : Exception("ストリームからの読み込みエラー") {}
};
class EWriteError : public Exception {
public:
  EWriteError() : Exception("ストリームへの書き込みエラー") {}
};
class EConvertError : public Exception {
public:
  using Exception::Exception;
};
class EListError : public Exception {
public:
  using Exception::Exception;
};
// A file that could not be written (settings file, profile functions).
class EIniFileException : public Exception {
public:
  using Exception::Exception;
};

}  // namespace ts
