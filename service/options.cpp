#include "service/options.h"

#include <charconv>

#include "service/server.h"
#include "service/store.h"

namespace pinleaf {

std::string Usage() {
  return "usage: pinleaf-server [--bind ADDRESS] [--port PORT] [--base PATH] [--db FILE|URI] [--db-pool N]\n"
         "                      [--db-password-file FILE] [--add-user NAME]... [--password-file FILE]\n"
         "                      [--public-name HOST]... [--head-timeout SECONDS] [--max-per-address N] [--workers N]\n"
         "                      [--sign-up open|closed]\n"
         "  --bind      address to listen on (default 127.0.0.1)\n"
         "  --port      TCP port, 0 for any free one (default 8660)\n"
         "  --base      path the service lives under (default /pinleaf2)\n"
         "  --db        where the data lives (default pinleaf.db):\n"
         "              FILE or sqlite:FILE  an SQLite database file, created when absent\n"
         "              postgresql://[USER@]HOST[:PORT]/DATABASE[?PARAM=VALUE...] (or postgres://)  a PostgreSQL\n"
         "              database several instances may share; what the URI leaves out comes from libpq's PG*\n"
         "              variables. The password never goes in the URI: it comes from --db-password-file,\n"
         "              PGPASSWORD or libpq's password file (PGPASSFILE, ~/.pgpass)\n"
         "  --db-password-file  file whose first line is the PostgreSQL password\n"
         "  --db-pool   PostgreSQL connections an instance holds at most (default 8); a request waits up to\n"
         "              10 seconds for one, and is answered 503 while the database cannot be reached\n"
         "  --add-user  create the account, or set its password when it exists with another; may be repeated.\n"
         "              The passwords come one a line, in the same order, from --password-file or standard input\n"
         "  --password-file  file holding the passwords of --add-user\n"
         "  --public-name    host name (optionally :port) the service is reached by; others are refused; repeatable\n"
         "  --trusted-proxy  address of a reverse proxy whose X-Forwarded-For names the client (its last entry);\n"
         "              sign-in limits and the log then count the client's address, not the proxy's; repeatable\n"
         "  --head-timeout   seconds a client has to send a whole request head (default 10)\n"
         "  --max-per-address  open connections allowed from one client address (default 64)\n"
         "  --workers   requests handled at once (default 16)\n"
         "  --tls-cert  PEM certificate (with its chain) to serve HTTPS; needs --tls-key\n"
         "  --tls-key   PEM private key of that certificate\n"
         "  --sign-up   open (default): anybody may make an account on the sign-up page; closed: only the\n"
         "              operator adds accounts (--add-user, or the operator commands)\n"
         "  --allow-plain-http  serve plain HTTP on an address other than loopback (behind a TLS-terminating\n"
         "              reverse proxy only: passwords and notes cross the network as they are)\n";
}

namespace {
std::string Quoted(const std::string& text) { return "\"" + text + "\""; }
}  // namespace

std::string ParseOptions(const std::vector<std::string>& args, TOptions& options) {
  for (size_t i = 0; i < args.size(); ++i) {
    std::string name = args[i];
    if (name == "--help" || name == "-h") {
      options.help = true;
      continue;
    }
    if (name == "--allow-plain-http") {
      options.allow_plain_http = true;
      continue;
    }
    std::string value;
    if (size_t eq = name.find('='); name.rfind("--", 0) == 0 && eq != std::string::npos) {
      value = name.substr(eq + 1);
      name.resize(eq);
    } else if (name == "--bind" || name == "--port" || name == "--base" || name == "--db" || name == "--add-user" ||
               name == "--tls-cert" || name == "--tls-key" || name == "--password-file" || name == "--public-name" ||
               name == "--trusted-proxy" || name == "--head-timeout" || name == "--max-per-address" ||
               name == "--workers" || name == "--db-pool" || name == "--db-password-file" || name == "--sign-up") {
      if (i + 1 >= args.size()) return name + " needs a value";
      value = args[++i];
    } else {
      return "unknown argument: " + name;
    }

    if (name == "--bind") {
      if (value.empty()) return "--bind needs an address";
      options.bind = value;
    } else if (name == "--port") {
      int port = -1;
      auto [end, ec] = std::from_chars(value.data(), value.data() + value.size(), port);
      if (ec != std::errc() || end != value.data() + value.size() || port < 0 || port > 65535)
        return "--port needs a number from 0 to 65535, not \"" + value + "\"";
      options.port = port;
    } else if (name == "--base") {
      // "/" alone serves at the root.
      if (!NormaliseBase(value, options.base))
        return "--base needs a path that starts with \"/\" and holds only letters, digits and /-._~";
    } else if (name == "--db") {
      TStoreKind kind{};
      std::string target;
      if (std::string bad = ParseDbOption(value, kind, target); !bad.empty()) return bad;
      options.db = value;
    } else if (name == "--sign-up") {
      if (value != "open" && value != "closed") return "--sign-up is open or closed, not " + Quoted(value);
      options.sign_up_open = value == "open";
    } else if (name == "--db-password-file") {
      if (value.empty()) return "--db-password-file needs a file name";
      options.db_password_file = value;
    } else if (name == "--db-pool") {
      int number = 0;
      auto [end, ec] = std::from_chars(value.data(), value.data() + value.size(), number);
      if (ec != std::errc() || end != value.data() + value.size() || number < 1 || number > 1000)
        return "--db-pool needs a number from 1 to 1000, not " + Quoted(value);
      options.db_pool = number;
    } else if (name == "--add-user") {
      if (value.empty()) return "--add-user needs an account name";
      options.add_users.push_back(value);
    } else if (name == "--password-file") {
      if (value.empty()) return "--password-file needs a file name";
      options.password_file = value;
    } else if (name == "--public-name") {
      if (value.empty()) return "--public-name needs a host name";
      options.public_names.push_back(value);
    } else if (name == "--trusted-proxy") {
      if (value.empty()) return "--trusted-proxy needs an address";
      options.trusted_proxies.push_back(value);
    } else if (name == "--head-timeout" || name == "--max-per-address" || name == "--workers") {
      int number = 0;
      auto [end, ec] = std::from_chars(value.data(), value.data() + value.size(), number);
      if (ec != std::errc() || end != value.data() + value.size() || number < 1 || number > 100000)
        return name + " needs a number from 1 to 100000, not " + Quoted(value);
      (name == "--head-timeout" ? options.head_timeout_s
       : name == "--workers"    ? options.workers
                                : options.max_per_address) = number;
    } else if (name == "--tls-cert" || name == "--tls-key") {
      if (value.empty()) return name + " needs a file name";
      (name == "--tls-cert" ? options.tls_cert : options.tls_key) = value;
    } else {
      return "unknown option: " + name;
    }
  }
  return {};
}

std::string CheckTransport(const TOptions& options) {
  if (options.tls_cert.empty() != options.tls_key.empty())
    return "--tls-cert and --tls-key go together: give both to serve HTTPS";
  if (!options.tls_cert.empty() || options.allow_plain_http) return {};
  const std::string& bind = options.bind;
  const bool loopback = bind.rfind("127.", 0) == 0 || bind == "::1" || bind == "localhost";
  if (loopback) return {};
  return "refusing to serve plain HTTP on " + bind +
         ": account passwords and notes would cross the network unencrypted. Serve HTTPS with --tls-cert FILE "
         "--tls-key FILE, or, behind a reverse proxy that terminates TLS, pass --allow-plain-http";
}

std::string ReadPasswords(std::istream& in, const TOptions& options, std::vector<std::string>& passwords) {
  for (const std::string& name : options.add_users) {
    std::string line;
    if (!std::getline(in, line))
      return "no password for account " + name + " (one line each, in the order of --add-user)";
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.empty()) return "the password for account " + name + " is empty";
    passwords.push_back(line);
  }
  return {};
}

}  // namespace pinleaf
