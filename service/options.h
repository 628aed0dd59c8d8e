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
  // HTTPS of its own: PEM certificate (chain) and private key.
  std::string tls_cert;
  std::string tls_key;
  // Plain HTTP on an address other than loopback, for a service behind a
  // reverse proxy that terminates TLS.
  bool allow_plain_http = false;
};

// Reads "--name value" or "--name=value" options (arguments without the program
// name). Returns an error text, empty when every argument was understood.
std::string ParseOptions(const std::vector<std::string>& args, TOptions& options);

std::string Usage();

// Whether the options make a safe listener: TLS files come in pairs, and plain
// HTTP is served on loopback only unless it is asked for. An error text, or empty.
std::string CheckTransport(const TOptions& options);

}  // namespace pinleaf
