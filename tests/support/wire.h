// The wire exchanges both sides' suites read: the note document the client
// sends and the answers the service gives, kept once as files in tests/wire/
// (byte for byte, with no line break added at the end). The client's suites
// serve the answers from their scripted peers; the service's suites hold its
// real answers to the same files.
#pragma once

#include <fstream>
#include <iterator>
#include <stdexcept>
#include <string>

namespace testwire {

// The contents of tests/wire/NAME; throws when there is no such file.
inline std::string Wire(const std::string& name) {
  std::ifstream in(std::string(TS_WIRE_DIR) + "/" + name, std::ios::binary);
  if (!in) throw std::runtime_error("no wire file " + name + " in " + TS_WIRE_DIR);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// The service's sign-in page carries a fresh form token; the shared page
// holds "{token}" in its place.
inline std::string WithTokenPlaceholder(std::string page) {
  const std::string field = "name=\"token\" value=\"";
  for (size_t at = page.find(field); at != std::string::npos; at = page.find(field, at)) {
    at += field.size();
    page.replace(at, page.find('"', at) - at, "{token}");
  }
  return page;
}

}  // namespace testwire
