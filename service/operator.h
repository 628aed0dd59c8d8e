// pinleaf-server's operator commands: export, import, users, backup, migrate.
// They work on the same --db as the service, also while it runs.
#pragma once

#include <istream>
#include <ostream>
#include <string>
#include <vector>

namespace pinleaf {

// Whether `word` (the first argument) names an operator command.
bool IsOperatorCommand(const std::string& word);

// Runs the command `args` (its name first); `in` carries passwords and
// import files given as "-". Answers the exit code: 0 done, 1 failed, 2 a
// wrong command line.
int RunOperatorCommand(const std::vector<std::string>& args, std::istream& in, std::ostream& out, std::ostream& err);

std::string OperatorUsage();

}  // namespace pinleaf
