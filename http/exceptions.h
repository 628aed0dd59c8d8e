// Exceptions of the HTTP text layer. Every transport and HTTP failure derives
// from ENetException, a message text and nothing more.
#pragma once

#include <string>

#include "runtime/exception.h"

namespace ts {

class ENetException : public Exception {
public:
  using Exception::Exception;
};

// A URI that cannot be composed (protocol or host missing).
class ENetURIException : public ENetException {
public:
  using ENetException::ENetException;
};

// The operating system could not tell the local time zone.
class ENetFailedToRetreiveTimeZoneInfo : public ENetException {
public:
  ENetFailedToRetreiveTimeZoneInfo() : ENetException("Failed attempting to retrieve time zone information.") {}
};

}  // namespace ts
