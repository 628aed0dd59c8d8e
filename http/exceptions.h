// Exceptions of the HTTP layer. Every transport and HTTP failure derives from
// the transport's ENetException, a message text and nothing more.
#pragma once

#include <cstdint>
#include <string>

#include "net/exceptions.h"

namespace ts {

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
