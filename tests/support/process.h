// Programs the tests start: one launcher for servers run in the background
// and for commands run to their end, plus the small file and port helpers
// that go with them. Linux only (the tests that start programs run natively).
#pragma once

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace testprocess {

namespace fs = std::filesystem;

inline std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline void WriteFile(const std::string& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

// The program's path, searched in PATH and the system program folders; empty
// when it is not there.
inline std::string FindProgram(const std::string& name) {
  std::string path = std::getenv("PATH") ? std::getenv("PATH") : "";
  path += ":/usr/local/sbin:/usr/local/bin:/usr/sbin:/sbin:/usr/bin";
  std::stringstream folders(path);
  std::string folder;
  while (std::getline(folders, folder, ':')) {
    if (folder.empty()) continue;
    std::string candidate = folder + "/" + name;
    if (::access(candidate.c_str(), X_OK) == 0) return candidate;
  }
  return "";
}

inline bool Installed(const std::string& program) { return !FindProgram(program).empty(); }

class TTempDir {
public:
  TTempDir() {
    std::string pattern = (fs::temp_directory_path() / "ts-test-XXXXXX").string();
    if (!mkdtemp(pattern.data())) throw std::runtime_error("no temporary folder");
    path_ = pattern;
  }
  ~TTempDir() {
    std::error_code ignored;
    fs::remove_all(path_, ignored);
  }
  TTempDir(const TTempDir&) = delete;
  TTempDir& operator=(const TTempDir&) = delete;
  const fs::path& Path() const { return path_; }
  std::string File(const std::string& name) const { return (path_ / name).string(); }
  void Write(const std::string& name, const std::string& bytes) const {
    fs::create_directories((path_ / name).parent_path());
    WriteFile(File(name), bytes);
  }

private:
  fs::path path_;
};

inline sockaddr_in Loopback(int port) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  a.sin_port = htons(static_cast<uint16_t>(port));
  return a;
}

// A socket listening on 127.0.0.1 on a port of the system's choice, told in `port`.
inline int ListenOnLoopback(int* port, int backlog = 16) {
  int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in a = Loopback(0);
  socklen_t length = sizeof a;
  if (bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || listen(s, backlog) != 0 ||
      getsockname(s, reinterpret_cast<sockaddr*>(&a), &length) != 0) {
    close(s);
    throw std::runtime_error("no loopback port to listen on");
  }
  *port = ntohs(a.sin_port);
  return s;
}

// Whether something accepts connections on the port.
inline bool Accepts(int port) {
  int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in a = Loopback(port);
  bool ok = connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
  close(s);
  return ok;
}

// A port on 127.0.0.1 where nothing listens: held by a bound socket that
// never listens, so no one else takes it meanwhile and connecting is refused.
class THeldPort {
public:
  THeldPort() : s_(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
    sockaddr_in a = Loopback(0);
    socklen_t length = sizeof a;
    if (bind(s_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
        getsockname(s_, reinterpret_cast<sockaddr*>(&a), &length) != 0)
      throw std::runtime_error("no loopback port to hold");
    port_ = ntohs(a.sin_port);
  }
  ~THeldPort() { close(s_); }
  THeldPort(const THeldPort&) = delete;
  THeldPort& operator=(const THeldPort&) = delete;
  int Port() const { return port_; }

private:
  int s_;
  int port_ = 0;
};

// A port nobody uses at this moment. Someone else may take it before the
// program told about it binds it: only for programs that cannot bind port 0
// and report theirs, and only through StartOnFreePort, which tries again.
inline int FreePort() {
  THeldPort held;
  return held.Port();
}

struct TStartOptions {
  std::string input;        // given on standard input, then end of file
  bool readOutput = false;  // standard output through ReadLine instead of the log
};

// A program run in the background, in a process group of its own, its
// output (standard error always, standard output unless it is read through
// ReadLine) in a log file, `input` on its standard input. Stopped with
// SIGTERM (SIGKILL when it does not go), whole group, on destruction; it also
// goes when the test program dies.
class TProcess {
public:
  TProcess() = default;
  TProcess(const std::vector<std::string>& argv, const std::string& log, const TStartOptions& options = {}) {
    Start(argv, log, options);
  }
  ~TProcess() { Stop(); }
  TProcess(const TProcess&) = delete;
  TProcess& operator=(const TProcess&) = delete;

  // False when the program could not be started at all.
  bool Start(const std::vector<std::string>& argv, const std::string& log, const TStartOptions& options = {}) {
    Stop();
    log_ = log;
    status_ = -1;
    // Everything the child needs is made before the fork: a threaded test
    // program may hold the allocator's lock at that moment.
    std::vector<char*> args;
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    int logFd = open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    int in[2], out[2] = {-1, -1};
    if (logFd < 0 || pipe2(in, O_CLOEXEC) != 0 || (options.readOutput && pipe2(out, O_CLOEXEC) != 0)) {
      if (logFd >= 0) close(logFd);
      return false;
    }
    pid_ = fork();
    if (pid_ == 0) {
      setpgid(0, 0);
      prctl(PR_SET_PDEATHSIG, SIGKILL);
      dup2(in[0], STDIN_FILENO);
      dup2(options.readOutput ? out[1] : logFd, STDOUT_FILENO);
      dup2(logFd, STDERR_FILENO);
      execvp(args[0], args.data());
      _exit(127);
    }
    close(logFd);
    close(in[0]);
    if (out[1] >= 0) close(out[1]);
    out_ = out[0];
    if (pid_ > 0 && !options.input.empty()) {
      // Small inputs (passwords, a line or two) fit the pipe whole; a program
      // that ends without reading them must not end the test program.
      signal(SIGPIPE, SIG_IGN);
      if (write(in[1], options.input.data(), options.input.size()) < 0) {
      }
    }
    close(in[1]);
    return pid_ > 0;
  }

  pid_t Pid() const { return pid_; }

  bool Running() {
    if (pid_ <= 0 || status_ >= 0) return false;
    Reap(WNOHANG);
    return status_ < 0;
  }

  // The next line of standard output (with its "\n"), or what came of it
  // before the time ran out or the output ended.
  std::string ReadLine(int timeoutMs = 20000) {
    std::string line;
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    char c;
    while (out_ >= 0 && line.find('\n') == std::string::npos) {
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
      pollfd p{out_, POLLIN, 0};
      if (left.count() <= 0 || poll(&p, 1, static_cast<int>(left.count())) <= 0 || read(out_, &c, 1) != 1) break;
      line += c;
    }
    return line;
  }

  // Whether the program accepts on the port within the time (false as soon as it ends).
  bool WaitForPort(int port, int timeoutMs = 15000) {
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (std::chrono::steady_clock::now() < end) {
      if (!Running()) return false;
      if (Accepts(port)) return Running();
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return false;
  }

  // Sends the signal to the program itself (0 sends none).
  void Signal(int signalNumber) {
    if (signalNumber && Running()) kill(pid_, signalNumber);
  }

  // Its exit code once it ends (128 + the signal's number when a signal
  // ended it), -1 when it is still running after the time.
  int Wait(int timeoutMs = 20000) {
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (Running() && std::chrono::steady_clock::now() < end)
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    return status_;
  }

  // Ends the whole group: `first` (SIGTERM by default), SIGKILL after two
  // seconds when that does not end it.
  void Stop(int first = SIGTERM) {
    if (pid_ > 0 && Running()) {
      kill(-pid_, first);
      kill(pid_, first);
      if (Wait(2000) < 0) {
        kill(-pid_, SIGKILL);
        kill(pid_, SIGKILL);
        Reap(0);
      }
    }
    if (pid_ > 0) kill(-pid_, SIGKILL);  // whatever it left behind in its group
    pid_ = -1;
    if (out_ >= 0) close(out_);
    out_ = -1;
  }

  // Everything written to the log so far.
  std::string Output() const { return ReadFile(log_); }
  const std::string& LogPath() const { return log_; }

private:
  void Reap(int flags) {
    int status = 0;
    if (waitpid(pid_, &status, flags) == pid_)
      status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  }

  pid_t pid_ = -1;
  int out_ = -1;
  int status_ = -1;
  std::string log_;
};

// Runs a command to its end; its exit code (-1 when it cannot start or does
// not end within the time), with all it wrote in `log`.
inline int RunToEnd(const std::vector<std::string>& argv, const std::string& log, const std::string& input = "",
                    int timeoutMs = 60000) {
  TProcess process;
  if (!process.Start(argv, log, {input, false})) return -1;
  return process.Wait(timeoutMs);
}

// Starts the program `launch` gives for a port on a free port and waits until
// it accepts there; the port, or 0. A port that is free when chosen may be
// taken before the program binds it: then the program ends at once, and it is
// started again on another port.
inline int StartOnFreePort(TProcess& process, const std::function<std::vector<std::string>(int port)>& launch,
                           const std::string& log, int timeoutMs = 10000) {
  for (int attempt = 0; attempt < 3; ++attempt) {
    int port = FreePort();
    if (!process.Start(launch(port), log)) return 0;
    if (process.WaitForPort(port, timeoutMs)) return port;
    process.Stop();
  }
  return 0;
}

}  // namespace testprocess
