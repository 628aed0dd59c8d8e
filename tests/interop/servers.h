// Real servers for the interoperability tests: each is started on 127.0.0.1
// and a free port, with its configuration in a temporary folder, waited for
// until it accepts, and stopped (and its folder removed) when the test ends.
#pragma once

#include <cstdlib>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "tests/support/process.h"

namespace interop {

namespace fs = std::filesystem;
using testprocess::Accepts;
using testprocess::FindProgram;
using testprocess::Installed;
using testprocess::ReadFile;
using testprocess::THeldPort;
using testprocess::TProcess;
using testprocess::TTempDir;
using testprocess::WriteFile;

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
  // Starts the program `launch` gives for a port (writing its configuration
  // for that port on the way), on a free port, again on another one when
  // that was taken before the server bound it.
  void Start(const std::function<std::vector<std::string>()>& launch) {
    port_ = testprocess::StartOnFreePort(
        process_,
        [&](int port) {
          port_ = port;
          return launch();
        },
        dir_.File("server.log"));
    ready_ = port_ != 0;
  }

  TTempDir dir_;
  int port_ = 0;
  bool ready_ = false;
  TProcess process_;
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
// It binds port 0 itself and prints the port it got.
class TPythonServer : public TServer {
public:
  explicit TPythonServer(const std::string& untilCloseBody) {
    dir_.Write("www/static.txt", "static file\n");
    dir_.Write("until-close.bin", untilCloseBody);
    dir_.Write("server.py",
               "import http.server, sys, functools\n"
               "body = open(sys.argv[2], 'rb').read()\n"
               "class Handler(http.server.SimpleHTTPRequestHandler):\n"
               "    def do_GET(self):\n"
               "        if self.path == '/until-close':\n"
               "            self.send_response(200)\n"
               "            self.send_header('Content-Type', 'application/octet-stream')\n"
               "            self.end_headers()\n"
               "            self.wfile.write(body)\n"
               "        else:\n"
               "            super().do_GET()\n"
               "handler = functools.partial(Handler, directory=sys.argv[1])\n"
               "server = http.server.ThreadingHTTPServer(('127.0.0.1', 0), handler)\n"
               "print(server.server_address[1], flush=True)\n"
               "server.serve_forever()\n");
    process_.Start({"python3", dir_.File("server.py"), dir_.File("www"), dir_.File("until-close.bin")},
                   dir_.File("server.log"), {"", true});
    port_ = std::atoi(process_.ReadLine(10000).c_str());
    ready_ = port_ > 0 && process_.WaitForPort(port_, 10000);
  }
};

}  // namespace interop
