// The command line of pinleaf-server.
#pragma once

#include <string>
#include <utility>
#include <vector>

namespace pinleaf {

struct TOptions {
  std::string bind = "127.0.0.1";
  int port = 8660;
  std::string base = "/pinleaf2";
  std::string db = "pinleaf.db";
  std::vector<std::pair<std::string, std::string>> add_users;  // name, password
  bool help = false;
};

// Reads "--name value" or "--name=value" options (arguments without the program
// name). Returns an error text, empty when every argument was understood.
std::string ParseOptions(const std::vector<std::string>& args, TOptions& options);

std::string Usage();

}  // namespace pinleaf
