// How a test run makes the system trust its own CA, without touching the
// machine's trust store. Returns an empty text, or why it failed.
#pragma once

#include <string>

std::string TrustTestCA(const std::string& pemFile);
