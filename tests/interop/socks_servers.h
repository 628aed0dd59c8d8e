// Real peers for the proxy interoperability tests: a SOCKS server (danted) and
// an HTTP server (python3's http.server), each a child process in its own
// process group on a free loopback port, stopped with its whole group.
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "servers.h"

namespace socksinterop {

using interop::Accepts;
using interop::ReadFile;
using TChildProcess = interop::TProcess;
inline int FreeLoopbackPort() { return interop::FreePort(); }

inline void WriteFile(const std::string& path, const std::string& text) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << text;
}

// The first of `names` found as an executable file, searched in PATH and the
// system program folders; empty when none is there.
inline std::string FindProgram(const std::string& name) {
  std::string path = std::getenv("PATH") ? std::getenv("PATH") : "";
  path += ":/usr/sbin:/sbin:/usr/bin";
  std::stringstream folders(path);
  std::string folder;
  while (std::getline(folders, folder, ':')) {
    if (folder.empty()) continue;
    std::string candidate = folder + "/" + name;
    if (::access(candidate.c_str(), X_OK) == 0) return candidate;
  }
  return "";
}

// Runs a command and reports whether it exited with 0. Output goes to `log`.
inline bool RunQuietly(const std::vector<std::string>& argv, const std::string& log, const std::string& input = "") {
  std::string command;
  for (const std::string& arg : argv) command += "'" + arg + "' ";
  if (!input.empty()) {
    std::string inputFile = log + ".in";
    WriteFile(inputFile, input);
    command += "< '" + inputFile + "' ";
  }
  command += ">> '" + log + "' 2>&1";
  return std::system(command.c_str()) == 0;
}

}  // namespace socksinterop
