// The real executable: start-up line, accounts from the command line, shutdown on a signal.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <httplib.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <thread>

#include "support.h"

namespace pinleaf {
namespace {

class ServerProcess {
public:
  explicit ServerProcess(std::vector<std::string> args) {
    int out[2];
    if (pipe(out) != 0) return;
    pid_ = fork();
    if (pid_ == 0) {
      dup2(out[1], STDOUT_FILENO);
      int null = open("/dev/null", O_WRONLY);
      dup2(null, STDERR_FILENO);
      std::vector<char*> argv{const_cast<char*>(PINLEAF_SERVER_EXE)};
      for (std::string& a : args) argv.push_back(a.data());
      argv.push_back(nullptr);
      execv(PINLEAF_SERVER_EXE, argv.data());
      _exit(127);
    }
    close(out[1]);
    out_ = out[0];
  }
  ~ServerProcess() {
    if (pid_ > 0 && status_ < 0) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
    if (out_ >= 0) close(out_);
  }

  // The first line the server prints, or "" if none comes in time.
  std::string FirstLine() {
    std::string line;
    char c;
    while (line.find('\n') == std::string::npos) {
      pollfd p{out_, POLLIN, 0};
      if (poll(&p, 1, 20000) <= 0 || read(out_, &c, 1) != 1) break;
      line += c;
    }
    return line;
  }

  // Exit code after a signal (or after exiting on its own), -1 if it does not end in time.
  int Finish(int signal_number) {
    if (signal_number) kill(pid_, signal_number);
    for (int i = 0; i < 400; ++i) {
      int status = 0;
      if (waitpid(pid_, &status, WNOHANG) == pid_) {
        status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        return status_;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return -1;
  }

private:
  pid_t pid_ = -1;
  int out_ = -1;
  int status_ = -1;
};

int PortOf(const std::string& line) {
  size_t colon = line.rfind(':');
  return colon == std::string::npos ? -1 : std::atoi(line.c_str() + colon + 1);
}

TEST(ServerProcess, ServesAccountsFromTheCommandLineAndStopsCleanly) {
  signal(SIGPIPE, SIG_IGN);
  std::string db = (std::filesystem::temp_directory_path() / ("pinleaf-proc-" + std::to_string(getpid()) + ".db"));
  std::string cookie;
  int port;
  {
    ServerProcess server({"--port", "0", "--db", db, "--base=/notes-svc/", "--add-user", "demo:pa:ss&+= 日本🎉"});
    std::string line = server.FirstLine();
    ASSERT_NE(line.find("listening on http://127.0.0.1:"), std::string::npos) << line;
    EXPECT_NE(line.find("/notes-svc\n"), std::string::npos) << line;
    port = PortOf(line.substr(0, line.rfind('/')));
    httplib::Client client("127.0.0.1", port);
    auto login = client.Post("/notes-svc/users/login", test::LoginBody("demo", "pa:ss&+= 日本🎉"),
                             "application/x-www-form-urlencoded");
    ASSERT_TRUE(login);
    ASSERT_EQ(login->status, 302);
    std::string set = login->get_header_value("Set-Cookie");
    cookie = set.substr(0, set.find(';'));
    auto upload = client.Post("/notes-svc/posts/addpinleaf", {{"Cookie", cookie}},
                              test::UploadBody(test::NoteDocument("kept")), "application/x-www-form-urlencoded");
    ASSERT_TRUE(upload);
    EXPECT_NE(upload->body.find("===="), std::string::npos);

    // The port is taken now: a second server says so and ends.
    ServerProcess second({"--port", std::to_string(port), "--db", db + "-2"});
    EXPECT_EQ(second.Finish(0), 1);
    std::filesystem::remove(db + "-2");

    EXPECT_EQ(server.Finish(SIGTERM), 0);
  }
  {
    // Same database and account after a restart: the sign-in and the note are still there.
    ServerProcess server({"--port", "0", "--db", db, "--base", "/notes-svc", "--add-user", "demo:pa:ss&+= 日本🎉"});
    port = PortOf(server.FirstLine());
    httplib::Client client("127.0.0.1", port);
    auto notes = client.Get("/notes-svc/notes", {{"Cookie", cookie}});
    ASSERT_TRUE(notes);
    EXPECT_NE(notes->body.find("kept"), std::string::npos);
    EXPECT_EQ(server.Finish(SIGINT), 0);
  }
  std::filesystem::remove(db);

  for (std::vector<std::string> bad : {std::vector<std::string>{"--port", "70000"},
                                       {"--base", "no-slash"},
                                       {"--add-user", "nocolon"},
                                       {"--port"},
                                       {"--frobnicate"}}) {
    ServerProcess server(bad);
    EXPECT_EQ(server.Finish(0), 2) << bad[0];
  }
}

// Everything the server prints and its exit code, for a run that ends by itself.
std::pair<std::string, int> RunToEnd(const std::string& args) {
  std::string output;
  FILE* pipe = popen((std::string(PINLEAF_SERVER_EXE) + " " + args + " 2>&1").c_str(), "r");
  if (!pipe) return {"", -1};
  char buffer[512];
  while (size_t n = fread(buffer, 1, sizeof buffer, pipe)) output.append(buffer, n);
  int status = pclose(pipe);
  return {output, WIFEXITED(status) ? WEXITSTATUS(status) : -1};
}

TEST(ServerProcess, ServesHTTPSWithSecureCookiesAndRefusesUnsafeOrBrokenTransportSettings) {
  signal(SIGPIPE, SIG_IGN);
  const std::filesystem::path dir =
      std::filesystem::temp_directory_path() / ("pinleaf-tls-" + std::to_string(getpid()));
  std::filesystem::create_directories(dir);
  const std::string d = dir.string();
  for (const char* name : {"a", "b"})
    ASSERT_EQ(std::system(("openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 2 -subj "
                           "/CN=localhost -keyout " +
                           d + "/" + name + ".key -out " + d + "/" + name + ".pem >/dev/null 2>&1")
                              .c_str()),
              0);
  const std::string db = " --port 0 --db " + d + "/p.db";
  const auto refused = [&](const std::string& args, const std::string& why) {
    auto [output, code] = RunToEnd(args + db);
    EXPECT_EQ(code, 2) << args << ": " << output;
    EXPECT_NE(output.find(why), std::string::npos) << args << ": " << output;
  };
  // Plain HTTP beyond loopback, unless asked for: refused before anything is bound.
  refused("--bind 0.0.0.0", "refusing to serve plain HTTP on 0.0.0.0");
  refused("--bind 192.0.2.1",
          "--tls-cert FILE --tls-key FILE, or, behind a reverse proxy that terminates TLS, pass "
          "--allow-plain-http");
  refused("--tls-cert " + d + "/a.pem", "--tls-cert and --tls-key go together");
  refused("--tls-cert " + d + "/none.pem --tls-key " + d + "/a.key",
          "cannot read the TLS certificate " + d + "/none.pem: No such file or directory");
  refused("--tls-cert " + d + "/a.key --tls-key " + d + "/a.key", "holds no PEM certificate");
  refused("--tls-cert " + d + "/a.pem --tls-key " + d + "/a.pem", "holds no PEM private key");
  refused("--tls-cert " + d + "/a.pem --tls-key " + d + "/b.key", "does not belong to the certificate");

  {
    ServerProcess server({"--port", "0", "--db", d + "/p.db", "--tls-cert", d + "/a.pem", "--tls-key", d + "/a.key",
                          "--add-user", "demo:pw"});
    std::string line = server.FirstLine();
    ASSERT_NE(line.find("listening on https://127.0.0.1:"), std::string::npos) << line;
    httplib::SSLClient client("127.0.0.1", PortOf(line.substr(0, line.rfind('/'))));
    client.enable_server_certificate_verification(false);
    auto login =
        client.Post("/pinleaf2/users/login", test::LoginBody("demo", "pw"), "application/x-www-form-urlencoded");
    ASSERT_TRUE(login);
    EXPECT_EQ(login->status, 302);
    EXPECT_NE(login->get_header_value("Set-Cookie").find("; Secure"), std::string::npos)
        << login->get_header_value("Set-Cookie");
    EXPECT_EQ(login->get_header_value("Strict-Transport-Security"), "max-age=31536000");
    // Plain HTTP on the TLS port gets nothing.
    httplib::Client plain("127.0.0.1", PortOf(line.substr(0, line.rfind('/'))));
    plain.set_read_timeout(1);
    auto answer = plain.Get("/pinleaf2/users/login");
    EXPECT_TRUE(!answer || answer->status >= 400);
    EXPECT_EQ(server.Finish(SIGTERM), 0);
  }
  std::filesystem::remove_all(dir);
}

}  // namespace
}  // namespace pinleaf
