// Real servers for the interoperability tests: each is started on 127.0.0.1
// and a free port, with its configuration in a temporary folder, waited for
// until it accepts, and stopped (and its folder removed) when the test ends.
#pragma once

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
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
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace interop {

namespace fs = std::filesystem;

// A port nobody uses at this moment.
inline int FreePort() {
  int s = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  a.sin_port = 0;
  bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a);
  socklen_t len = sizeof a;
  getsockname(s, reinterpret_cast<sockaddr*>(&a), &len);
  close(s);
  return ntohs(a.sin_port);
}

// Whether something accepts connections on the port.
inline bool Accepts(int port) {
  int s = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  a.sin_port = htons(static_cast<uint16_t>(port));
  bool ok = connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
  close(s);
  return ok;
}

inline bool Installed(const std::string& program) {
  for (const char* dir : {"/usr/sbin/", "/usr/bin/", "/usr/local/bin/", "/usr/local/sbin/"})
    if (access((std::string(dir) + program).c_str(), X_OK) == 0) return true;
  return false;
}

class TTempDir {
public:
  TTempDir() {
    std::string pattern = (fs::temp_directory_path() / "ts-interop-XXXXXX").string();
    if (!mkdtemp(pattern.data())) throw std::runtime_error("no temporary folder");
    path_ = pattern;
  }
  ~TTempDir() {
    std::error_code ignored;
    fs::remove_all(path_, ignored);
  }
  const fs::path& Path() const { return path_; }
  std::string File(const std::string& name) const { return (path_ / name).string(); }
  void Write(const std::string& name, const std::string& bytes) const {
    fs::create_directories((path_ / name).parent_path());
    std::ofstream(path_ / name, std::ios::binary) << bytes;
  }

private:
  fs::path path_;
};

// A program run in the background, in a process group of its own, with its
// output in a log file; stopped with SIGTERM (SIGKILL when it does not go),
// whole group, on destruction. It also goes when the test program dies.
class TProcess {
public:
  TProcess() = default;
  TProcess(const std::vector<std::string>& argv, const std::string& log) { Start(argv, log); }
  ~TProcess() { Stop(); }
  TProcess(const TProcess&) = delete;
  TProcess& operator=(const TProcess&) = delete;

  // False when the program could not be started at all.
  bool Start(const std::vector<std::string>& argv, const std::string& log) {
    log_ = log;
    pid_ = fork();
    if (pid_ == 0) {
      setpgid(0, 0);
      prctl(PR_SET_PDEATHSIG, SIGKILL);
      int fd = open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      if (fd >= 0) {
        dup2(fd, 1);
        dup2(fd, 2);
      }
      std::vector<char*> args;
      for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
      args.push_back(nullptr);
      execvp(args[0], args.data());
      _exit(127);
    }
    return pid_ > 0;
  }

  bool Running() {
    if (pid_ <= 0) return false;
    int status;
    if (waitpid(pid_, &status, WNOHANG) == pid_) {
      pid_ = -1;
      return false;
    }
    return true;
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

  void Stop() {
    if (pid_ <= 0) return;
    kill(-pid_, SIGTERM);
    kill(pid_, SIGTERM);
    for (int i = 0; i < 100; ++i) {
      int status;
      if (waitpid(pid_, &status, WNOHANG) == pid_) {
        kill(-pid_, SIGKILL);
        pid_ = -1;
        return;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    kill(-pid_, SIGKILL);
    kill(pid_, SIGKILL);
    int status;
    waitpid(pid_, &status, 0);
    pid_ = -1;
  }

  std::string Output() const;

private:
  pid_t pid_ = -1;
  std::string log_;
};

inline std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline std::string TProcess::Output() const { return ReadFile(log_); }

// A started server: its folder, its port and its process. Ready() says
// whether it accepted within the time; Log() tells why not.
class TServer {
public:
  int Port() const { return port_; }
  std::string Base() const { return "http://127.0.0.1:" + std::to_string(port_); }
  bool Ready() const { return ready_; }
  std::string Log() const { return ReadFile(dir_.File("server.log")); }
  const TTempDir& Dir() const { return dir_; }

protected:
  // Starts the program `launch` gives for the current port (writing its
  // configuration for that port on the way). A port is free when chosen but
  // may be taken before the server binds it: then the server ends at once,
  // and it is started again on another port.
  void Start(const std::function<std::vector<std::string>()>& launch) {
    for (int attempt = 0; attempt < 3 && !ready_; ++attempt) {
      if (attempt > 0) port_ = FreePort();
      process_ = std::make_unique<TProcess>(launch(), dir_.File("server.log"));
      ready_ = process_->WaitForPort(port_, 10000);
    }
  }

  TTempDir dir_;
  int port_ = FreePort();
  bool ready_ = false;
  std::unique_ptr<TProcess> process_;
};

// nginx in the foreground, one process, everything it writes in its folder.
class TNginx : public TServer {
public:
  explicit TNginx(std::string locations) : locations_(std::move(locations)) {
    for (const char* sub : {"www", "tmp"}) fs::create_directories(dir_.Path() / sub);
  }
  void Run() {
    Start([this] {
      WriteConfig();
      return std::vector<std::string>{"nginx", "-p", dir_.Path().string(), "-c", dir_.File("nginx.conf")};
    });
  }
  std::string Log() const { return TServer::Log() + ReadFile(dir_.File("error.log")); }

private:
  void WriteConfig() {
    std::string d = dir_.Path().string();
    dir_.Write("nginx.conf", "daemon off;\nmaster_process off;\nworker_processes 1;\npid " + d +
                                 "/nginx.pid;\nerror_log " + d +
                                 "/error.log;\nevents { worker_connections 64; }\n"
                                 "http {\n  access_log off;\n  default_type text/plain;\n  keepalive_timeout 30;\n"
                                 "  client_body_temp_path " +
                                 d + "/tmp/body;\n  proxy_temp_path " + d + "/tmp/proxy;\n  fastcgi_temp_path " + d +
                                 "/tmp/fastcgi;\n  uwsgi_temp_path " + d + "/tmp/uwsgi;\n  scgi_temp_path " + d +
                                 "/tmp/scgi;\n  server {\n    listen 127.0.0.1:" + std::to_string(port_) +
                                 ";\n    root " + d + "/www;\n" + locations_ + "  }\n}\n");
  }

  std::string locations_;
};

// tinyproxy in the foreground, letting loopback clients reach loopback servers.
class TTinyproxy : public TServer {
public:
  TTinyproxy() {
    Start([this] {
      WriteConfig();
      return std::vector<std::string>{"tinyproxy", "-d", "-c", dir_.File("tinyproxy.conf")};
    });
  }

private:
  void WriteConfig() {
    dir_.Write("tinyproxy.conf", "Port " + std::to_string(port_) +
                                     "\nListen 127.0.0.1\nTimeout 30\nMaxClients 16\nAllow 127.0.0.1\n"
                                     "LogLevel Info\nLogFile \"" +
                                     dir_.File("tinyproxy.log") + "\"\nPidFile \"" + dir_.File("tinyproxy.pid") +
                                     "\"\n");
  }
};

// python3's http.server: HTTP/1.0, one answer per connection. Files come with
// their length; /until-close comes without, so it ends with the connection.
class TPythonServer : public TServer {
public:
  explicit TPythonServer(const std::string& untilCloseBody) {
    dir_.Write("www/static.txt", "static file\n");
    dir_.Write("until-close.bin", untilCloseBody);
    dir_.Write("server.py",
               "import http.server, sys, functools\n"
               "body = open(sys.argv[3], 'rb').read()\n"
               "class Handler(http.server.SimpleHTTPRequestHandler):\n"
               "    def do_GET(self):\n"
               "        if self.path == '/until-close':\n"
               "            self.send_response(200)\n"
               "            self.send_header('Content-Type', 'application/octet-stream')\n"
               "            self.end_headers()\n"
               "            self.wfile.write(body)\n"
               "        else:\n"
               "            super().do_GET()\n"
               "handler = functools.partial(Handler, directory=sys.argv[2])\n"
               "http.server.ThreadingHTTPServer(('127.0.0.1', int(sys.argv[1])), handler).serve_forever()\n");
    Start([this] {
      return std::vector<std::string>{"python3", dir_.File("server.py"), std::to_string(port_), dir_.File("www"),
                                      dir_.File("until-close.bin")};
    });
  }
};

}  // namespace interop
