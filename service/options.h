// The command line of pinleaf-server.
#pragma once

#include <istream>
#include <string>
#include <utility>
#include <vector>

namespace pinleaf {

struct TOptions {
  std::string bind = "127.0.0.1";
  int port = 8660;
  std::string base = "/pinleaf2";
  // A file name or sqlite:FILE, or a postgresql:// (postgres://) URI.
  std::string db = "pinleaf.db";
  // The PostgreSQL password, never on the command line: read from this file
  // (its first line) when given, else libpq's PGPASSWORD or PGPASSFILE apply.
  std::string db_password_file;
  int db_pool = 8;
  // Accounts to create or update at start. Their passwords are never taken
  // from the command line (every local user can read it): one line each, in
  // the same order, from `password_file` or else from standard input.
  std::vector<std::string> add_users;
  std::string password_file;
  // Host names the service answers for; any when empty.
  std::vector<std::string> public_names;
  // Reverse proxies whose X-Forwarded-For is believed.
  std::vector<std::string> trusted_proxies;
  int head_timeout_s = 10;
  int max_per_address = 64;
  int workers = 16;
  bool help = false;
  // HTTPS of its own: PEM certificate (chain) and private key.
  std::string tls_cert;
  std::string tls_key;
  // Plain HTTP on an address other than loopback, for a service behind a
  // reverse proxy that terminates TLS.
  bool allow_plain_http = false;
  // "--sign-up closed": only the operator adds accounts.
  bool sign_up_open = true;
};

// Reads "--name value" or "--name=value" options (arguments without the program
// name). Returns an error text, empty when every argument was understood.
std::string ParseOptions(const std::vector<std::string>& args, TOptions& options);

std::string Usage();

// Whether the options make a safe listener: TLS files come in pairs, and plain
// HTTP is served on loopback only unless it is asked for. An error text, or empty.
std::string CheckTransport(const TOptions& options);

// Reads one password per name in `options.add_users` from `in` (one a line, a
// trailing CR dropped). Returns an error text, empty when all were there.
std::string ReadPasswords(std::istream& in, const TOptions& options, std::vector<std::string>& passwords);

}  // namespace pinleaf
