#include "service/operator.h"

#include <cstdio>
#include <fstream>
#include <map>

#include "service/archive.h"
#include "service/pages.h"
#include "service/server.h"
#include "service/store.h"
#include "service/store_sqlite.h"

namespace pinleaf {

namespace {

struct TCommandLine {
  std::vector<std::string> words;  // the command and what is not an option
  std::map<std::string, std::string> options;
};

// Options of the form "--name value" or "--name=value".
std::string Split(const std::vector<std::string>& args, TCommandLine& line) {
  static const char* const kTaking[] = {"--db", "--db-password-file", "--user", "--format",
                                        "--to", "--to-password-file"};
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    if (a.rfind("--", 0) != 0) {
      line.words.push_back(a);
      continue;
    }
    std::string name = a, value;
    if (size_t eq = a.find('='); eq != std::string::npos) {
      name = a.substr(0, eq);
      value = a.substr(eq + 1);
    } else {
      if (i + 1 >= args.size()) return a + " needs a value";
      value = args[++i];
    }
    bool known = false;
    for (const char* k : kTaking) known = known || name == k;
    if (!known) return "unknown option: " + name;
    line.options[name] = value;
  }
  return {};
}

std::string Option(const TCommandLine& line, const std::string& name, const std::string& fallback = "") {
  auto it = line.options.find(name);
  return it == line.options.end() ? fallback : it->second;
}

// The first line of a file (a password), without its line end; empty when unreadable.
std::string FirstLine(std::istream& in) {
  std::string line;
  std::getline(in, line);
  if (!line.empty() && line.back() == '\r') line.pop_back();
  return line;
}

TStoreSettings Settings(const TCommandLine& line, std::string& error) {
  TStoreSettings settings{Option(line, "--db", "pinleaf.db"), {}, 2};
  if (std::string file = Option(line, "--db-password-file"); !file.empty()) {
    std::ifstream in(file);
    settings.password = FirstLine(in);
    if (settings.password.empty()) error = "no password on the first line of " + file;
  }
  return settings;
}

std::optional<TUser> FindUser(TNoteStore& store, const std::string& name) {
  std::string normal = NormaliseAccountName(name);
  auto found = store.Data().FindUserHash(normal);
  if (!found && normal != name) found = store.Data().FindUserHash(name);
  if (!found) return std::nullopt;
  return TUser{found->first, normal};
}

int Export(TNoteStore& store, const TCommandLine& line, std::ostream& out, std::ostream& err) {
  std::string format = Option(line, "--format", "json");
  if (format != "json" && format != "zip") {
    err << "pinleaf-server export: --format is json or zip\n";
    return 2;
  }
  std::optional<TUser> user = FindUser(store, Option(line, "--user"));
  if (!user) {
    err << "pinleaf-server export: no account " << LogEscape(Option(line, "--user")) << "\n";
    return 1;
  }
  std::string to = Option(line, "--to");
  std::ofstream file;
  if (!to.empty()) {
    file.open(to, std::ios::binary | std::ios::trunc);
    if (!file) {
      err << "pinleaf-server export: cannot write " << to << "\n";
      return 1;
    }
  }
  std::ostream& sink = to.empty() ? out : file;
  TNoteExport exporter(store, user->id, format == "zip" ? TExportFormat::kMarkdownZip : TExportFormat::kJson);
  std::string piece;
  while (exporter.Next(piece)) sink.write(piece.data(), static_cast<std::streamsize>(piece.size()));
  sink.flush();
  if (!sink) {
    err << "pinleaf-server export: writing failed\n";
    return 1;
  }
  return 0;
}

int Import(TNoteStore& store, const TCommandLine& line, std::istream& in, std::ostream& out, std::ostream& err) {
  if (line.words.size() != 2) {
    err << "pinleaf-server import: give one FILE (or - for standard input)\n";
    return 2;
  }
  std::optional<TUser> user = FindUser(store, Option(line, "--user"));
  if (!user) {
    err << "pinleaf-server import: no account " << LogEscape(Option(line, "--user")) << "\n";
    return 1;
  }
  std::ifstream file;
  std::istream* source = &in;
  if (line.words[1] != "-") {
    file.open(line.words[1], std::ios::binary);
    if (!file) {
      err << "pinleaf-server import: cannot read " << line.words[1] << "\n";
      return 1;
    }
    source = &file;
  }
  TImportResult r = ImportJson(store, user->id, [&](char* buffer, size_t size) {
    source->read(buffer, static_cast<std::streamsize>(size));
    return static_cast<size_t>(source->gcount());
  });
  out << r.stored << " notes imported, " << r.present << " were here already, " << r.refused << " refused\n";
  for (const std::string& p : r.problems) err << "pinleaf-server import: " << p << "\n";
  if (!r.error.empty()) {
    err << "pinleaf-server import: the file could not be read on: " << r.error << "\n";
    return 1;
  }
  return 0;
}

int Users(TNoteStore& store, const TCommandLine& line, std::istream& in, std::ostream& out, std::ostream& err) {
  const std::string what = line.words.size() > 1 ? line.words[1] : "";
  if (what == "list" && line.words.size() == 2) {
    for (const TUserInfo& u : store.Data().ListUsers())
      out << LogEscape(u.name) << "\t" << u.notes << " notes\t" << u.tokens << " tokens\tsince "
          << FormatUtc(u.created_ms) << "\n";
    return 0;
  }
  if ((what == "delete" || what == "reset-password") && line.words.size() == 3) {
    const std::string& name = line.words[2];
    std::optional<TUser> user = FindUser(store, name);
    if (!user) {
      err << "pinleaf-server users: no account " << LogEscape(name) << "\n";
      return 1;
    }
    if (what == "delete") {
      if (!store.Data().DeleteUser(user->name)) {
        err << "pinleaf-server users: no account " << LogEscape(name) << "\n";
        return 1;
      }
      out << "deleted account " << LogEscape(user->name) << " with its notes and tokens\n";
      return 0;
    }
    // The new password from standard input, never from the command line.
    std::string password = FirstLine(in);
    if (password.empty()) {
      err << "pinleaf-server users: give the new password on standard input\n";
      return 2;
    }
    if (std::string why = CheckAccount(user->name, password); !why.empty()) {
      err << "pinleaf-server users: " << why << "\n";
      return 2;
    }
    store.SetPassword(user->name, password);
    out << "set a new password for " << LogEscape(user->name) << "; its sign-ins have ended\n";
    return 0;
  }
  err << "pinleaf-server users: list, delete NAME or reset-password NAME\n";
  return 2;
}

int Backup(const TCommandLine& line, std::ostream& out, std::ostream& err) {
  TStoreKind kind{};
  std::string target;
  if (std::string bad = ParseDbOption(Option(line, "--db", "pinleaf.db"), kind, target); !bad.empty()) {
    err << "pinleaf-server backup: " << bad << "\n";
    return 2;
  }
  if (kind == TStoreKind::kPostgres) {
    err << "pinleaf-server backup: a PostgreSQL database is backed up with pg_dump (see the README)\n";
    return 2;
  }
  std::string to = Option(line, "--to");
  if (to.empty()) {
    err << "pinleaf-server backup: --to FILE says where the copy goes\n";
    return 2;
  }
  BackupSqlite(target, to);
  out << "backed up " << target << " to " << to << "\n";
  return 0;
}

int Migrate(const TCommandLine& line, std::ostream& out, std::ostream& err) {
  TStoreKind from_kind{}, to_kind{};
  std::string from_target, to_target;
  std::string bad = ParseDbOption(Option(line, "--db", "pinleaf.db"), from_kind, from_target);
  if (bad.empty()) bad = ParseDbOption(Option(line, "--to"), to_kind, to_target);
  if (!bad.empty()) {
    err << "pinleaf-server migrate: " << bad << "\n";
    return 2;
  }
  if (from_kind != TStoreKind::kSqlite || to_kind != TStoreKind::kPostgres) {
    err << "pinleaf-server migrate: copies an SQLite --db into the PostgreSQL database of --to postgresql://...\n";
    return 2;
  }
  std::string error;
  TStoreSettings from = Settings(line, error);
  TStoreSettings to{Option(line, "--to"), {}, 2};
  if (std::string file = Option(line, "--to-password-file"); !file.empty()) {
    std::ifstream in(file);
    to.password = FirstLine(in);
    if (to.password.empty()) error = "no password on the first line of " + file;
  }
  if (!error.empty()) {
    err << "pinleaf-server migrate: " << error << "\n";
    return 2;
  }
  TNoteStore source(from);
  TNoteStore target(to);
  TStoreCounts before = source.Data().Counts();
  int64_t after_id = 0;
  target.Data().Load(
      source.Data().UserRecords(),
      [&] {
        std::vector<TNoteRecord> batch = source.Data().NoteRecords(after_id, 1000);
        if (!batch.empty()) after_id = batch.back().note.id;
        return batch;
      },
      source.Data().TokenRecords());
  TStoreCounts copied = target.Data().Counts();
  TStoreCounts now = source.Data().Counts();
  auto say = [](const TStoreCounts& c) {
    return std::to_string(c.users) + " accounts, " + std::to_string(c.notes) + " notes, " + std::to_string(c.tokens) +
           " access tokens, " + std::to_string(c.tags) + " tags of notes";
  };
  out << "source: " << say(before) << "\ncopied: " << say(copied) << "\n";
  if (!(copied == before) || !(now == before)) {
    err << "pinleaf-server migrate: the counts differ"
        << (now == before ? "" : " (the source changed meanwhile: stop the service while migrating)") << "\n";
    return 1;
  }
  out << "the counts match\n";
  return 0;
}

}  // namespace

bool IsOperatorCommand(const std::string& word) {
  return word == "export" || word == "import" || word == "users" || word == "backup" || word == "migrate";
}

std::string OperatorUsage() {
  return "operator commands (each takes --db and --db-password-file as the service does):\n"
         "  pinleaf-server export --user NAME [--format json|zip] [--to FILE]   (standard output without --to)\n"
         "  pinleaf-server import --user NAME FILE                               (FILE - reads standard input)\n"
         "  pinleaf-server users list\n"
         "  pinleaf-server users delete NAME\n"
         "  pinleaf-server users reset-password NAME      (the password on standard input)\n"
         "  pinleaf-server backup --to FILE               (SQLite, while the service runs; PostgreSQL: pg_dump)\n"
         "  pinleaf-server migrate --to postgresql://... [--to-password-file FILE]   (SQLite into PostgreSQL)\n";
}

int RunOperatorCommand(const std::vector<std::string>& args, std::istream& in, std::ostream& out, std::ostream& err) {
  TCommandLine line;
  if (std::string bad = Split(args, line); !bad.empty()) {
    err << "pinleaf-server: " << bad << "\n" << OperatorUsage();
    return 2;
  }
  const std::string& command = line.words.at(0);
  try {
    if (command == "backup") return Backup(line, out, err);
    if (command == "migrate") return Migrate(line, out, err);
    std::string error;
    TStoreSettings settings = Settings(line, error);
    if (!error.empty()) {
      err << "pinleaf-server: " << error << "\n";
      return 2;
    }
    if ((command == "export" || command == "import") && Option(line, "--user").empty()) {
      err << "pinleaf-server " << command << ": --user NAME says whose notes\n";
      return 2;
    }
    if (command == "export" && line.words.size() != 1) {
      err << "pinleaf-server export: unexpected " << line.words[1] << "\n";
      return 2;
    }
    TNoteStore store(settings);
    if (command == "export") return Export(store, line, out, err);
    if (command == "import") return Import(store, line, in, out, err);
    return Users(store, line, in, out, err);
  } catch (const std::exception& e) {
    err << "pinleaf-server " << command << ": " << LogEscape(e.what()) << "\n";
    return 1;
  }
}

}  // namespace pinleaf
