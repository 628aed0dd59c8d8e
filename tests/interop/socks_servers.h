// Real peers for the proxy interoperability tests: a SOCKS server (danted) and
// an HTTP server (python3's http.server), each a child process in its own
// process group on a free loopback port, stopped with its whole group.
#pragma once

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
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

extern char** environ;

namespace socksinterop {

// A port on 127.0.0.1 nobody listens on at the moment of asking.
inline int FreeLoopbackPort() {
  int s = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = 0;
  ::bind(s, reinterpret_cast<sockaddr*>(&address), sizeof address);
  socklen_t length = sizeof address;
  ::getsockname(s, reinterpret_cast<sockaddr*>(&address), &length);
  ::close(s);
  return ntohs(address.sin_port);
}

inline bool Accepts(int port) {
  int s = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(static_cast<uint16_t>(port));
  bool ok = ::connect(s, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
  ::close(s);
  return ok;
}

inline std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

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

class TChildProcess {
public:
  TChildProcess() = default;
  TChildProcess(const TChildProcess&) = delete;
  TChildProcess& operator=(const TChildProcess&) = delete;
  ~TChildProcess() { Stop(); }

  // Starts `argv` with output to `log`, in a process group of its own so that
  // everything it forks goes with it on Stop.
  bool Start(const std::vector<std::string>& argv, const std::string& log) {
    log_ = log;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    posix_spawnattr_setpgroup(&attributes, 0);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP);
    std::vector<char*> args;
    for (const std::string& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
    args.push_back(nullptr);
    int rc = posix_spawnp(&pid_, args[0], &actions, &attributes, args.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    if (rc != 0) pid_ = -1;
    return pid_ > 0;
  }

  bool Running() { return pid_ > 0 && !Exited(); }

  // Waits until the child accepts connections on `port`; false when it ended
  // first or took longer than `timeoutMs`.
  bool WaitForPort(int port, int timeoutMs = 15000) {
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (std::chrono::steady_clock::now() < end) {
      if (!Running()) return false;
      if (Accepts(port)) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return false;
  }

  void Stop() {
    if (pid_ <= 0) return;
    ::kill(-pid_, SIGTERM);
    auto end = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (std::chrono::steady_clock::now() < end && !Exited())
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    // The leader is not reaped yet, so its group id still names only what it
    // started: whatever of that is left goes now.
    ::kill(-pid_, SIGKILL);
    int status;
    ::waitpid(pid_, &status, 0);
    pid_ = -1;
  }

  std::string Output() const { return ReadFile(log_); }

private:
  // Whether the leader has ended, without reaping it.
  bool Exited() {
    siginfo_t info{};
    if (::waitid(P_PID, static_cast<id_t>(pid_), &info, WEXITED | WNOHANG | WNOWAIT) != 0) return true;
    return info.si_pid == pid_;
  }

  pid_t pid_ = -1;
  std::string log_;
};

}  // namespace socksinterop
