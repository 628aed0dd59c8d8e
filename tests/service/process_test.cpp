// The real executable: start-up line, accounts with passwords from standard
// input or a file, the database's mode, a database that cannot be written,
// shutdown on a signal.
#include <gtest/gtest.h>
#include <httplib.h>
#include <sys/stat.h>

#include <filesystem>

#include "service/note_document.h"
#include "support.h"

namespace pinleaf {
namespace {

using test::ServerProcess;

TEST(ServerProcess, ServesAccountsFromItsInputAndStopsCleanly) {
  signal(SIGPIPE, SIG_IGN);
  std::filesystem::path dir = std::filesystem::temp_directory_path() / ("pinleaf-proc-" + std::to_string(getpid()));
  std::filesystem::create_directories(dir);
  std::string db = dir / "notes.db";
  const std::string password = "pa:ss&+= 日本🎉";
  std::string cookie;
  int port;
  {
    ServerProcess server(
        {"--port", "0", "--db", db, "--base=/notes-svc/", "--add-user", "demo", "--add-user", "second"},
        password + "\nother pw\r\n");
    std::string line = server.FirstLine();
    ASSERT_NE(line.find("listening on http://127.0.0.1:"), std::string::npos) << line << server.Log();
    EXPECT_NE(line.find("/notes-svc\n"), std::string::npos) << line;
    port = std::atoi(line.c_str() + line.rfind(':') + 1);
    // The database holds passwords and notes: its owner alone may read it.
    struct stat st {};
    ASSERT_EQ(stat(db.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    httplib::Client client("127.0.0.1", port);
    auto login =
        client.Post("/notes-svc/users/login", test::LoginBody("demo", password), "application/x-www-form-urlencoded");
    ASSERT_TRUE(login);
    ASSERT_EQ(login->status, 302);
    EXPECT_EQ(
        client
            .Post("/notes-svc/users/login", test::LoginBody("second", "other pw"), "application/x-www-form-urlencoded")
            ->status,
        302);
    std::string set = login->get_header_value("Set-Cookie");
    cookie = set.substr(0, set.find(';'));
    auto upload = client.Post("/notes-svc/posts/addpinleaf", {{"Cookie", cookie}},
                              test::UploadBody(test::NoteDocument("kept")), "application/x-www-form-urlencoded");
    ASSERT_TRUE(upload);
    EXPECT_NE(upload->body.find("===="), std::string::npos);
    for (const auto& entry : std::filesystem::directory_iterator(dir)) {
      ASSERT_EQ(stat(entry.path().c_str(), &st), 0);
      EXPECT_EQ(st.st_mode & 077, 0u) << entry.path();
    }

    // The port is taken now: a second server says so and ends.
    ServerProcess second({"--port", std::to_string(port), "--db", db + "-2"});
    EXPECT_EQ(second.Finish(0), 1);
    std::filesystem::remove(db + "-2");

    EXPECT_EQ(server.Finish(SIGTERM), 0);
    EXPECT_EQ(server.Log().find(password), std::string::npos);
  }
  {
    // Same database after a restart, the password now from a file: the sign-in and the note are still there.
    std::string file = dir / "passwords";
    std::ofstream(file) << password << "\n";
    ServerProcess server(
        {"--port", "0", "--db", db, "--base", "/notes-svc", "--add-user", "demo", "--password-file", file});
    port = server.Port();
    ASSERT_GT(port, 0) << server.Log();
    httplib::Client client("127.0.0.1", port);
    auto notes = client.Get("/notes-svc/notes", {{"Cookie", cookie}});
    ASSERT_TRUE(notes);
    EXPECT_NE(notes->body.find("kept"), std::string::npos);
    EXPECT_EQ(server.Finish(SIGINT), 0);
  }
  {
    // A database that can be read but not written is refused at start, saying
    // why. (Root writes a read-only file all the same, so only others can see it.)
    if (geteuid() != 0) {
      chmod(db.c_str(), 0400);
      ServerProcess server({"--port", "0", "--db", db});
      EXPECT_EQ(server.Finish(0), 1);
      EXPECT_NE(server.Log().find("read"), std::string::npos) << server.Log();
      chmod(db.c_str(), 0600);
    }
    if (geteuid() == 0) {
      // Root may write anything, so the refusal is shown by an ordinary user
      // (nobody) running a copy of the server: a database it may read but not
      // write, and one it may write in a folder where it can make no journal.
      std::filesystem::path other = dir / "other";
      std::filesystem::create_directories(other);
      std::filesystem::permissions(other, std::filesystem::perms(0755));
      std::filesystem::copy_file(PINLEAF_SERVER_EXE, other / "pinleaf-server");
      std::filesystem::permissions(other / "pinleaf-server", std::filesystem::perms(0755));
      std::filesystem::copy_file(db, other / "readable.db");
      chmod((other / "readable.db").c_str(), 0644);
      std::filesystem::copy_file(db, other / "own.db");
      ASSERT_EQ(chown((other / "own.db").c_str(), 65534, 65534), 0);
      const std::vector<std::string> as_nobody{"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups",
                                               (other / "pinleaf-server").string()};
      std::vector<std::string> help = as_nobody;
      help.push_back("--help");
      // Only where user nobody can run the copy at all (a temporary folder mounted noexec cannot).
      const bool can_run = testprocess::RunToEnd(help, (dir / "help.log").string()) == 0;
      if (!can_run)
        std::printf("not tried as user nobody: %s\n", testprocess::ReadFile((dir / "help.log").string()).c_str());
      for (const char* name : {"readable.db", "own.db"}) {
        if (!can_run) continue;
        std::string log = (dir / (std::string(name) + ".log")).string();
        std::vector<std::string> args = as_nobody;
        args.insert(args.end(), {"--port", "0", "--db", (other / name).string()});
        int code = testprocess::RunToEnd(args, log);
        const std::string said = testprocess::ReadFile(log);
        EXPECT_EQ(code, 1) << name << ": " << said;
        EXPECT_EQ(said.find("listening"), std::string::npos) << said;
        EXPECT_NE(said.find((other / name).string()), std::string::npos) << said;  // which database, and why
        std::printf("%s: %s", name, said.c_str());
      }
    }
    ServerProcess missing({"--port", "0", "--db", (dir / "no-such-dir" / "x.db").string()});
    EXPECT_EQ(missing.Finish(0), 1);
    EXPECT_NE(missing.Log().find("No such file or directory"), std::string::npos) << missing.Log();
  }
  std::filesystem::remove_all(dir);

  for (std::vector<std::string> bad : {std::vector<std::string>{"--port", "70000"},
                                       {"--base", "no-slash"},
                                       {"--add-user", "nopassword"},
                                       {"--port"},
                                       {"--workers", "0"},
                                       {"--frobnicate"}}) {
    ServerProcess server(bad);
    EXPECT_EQ(server.Finish(0), 2) << bad[0];
  }
}

// A database that fails while serving (here the disk is full: the server may
// write files of 2 MiB at most) answers with an error, says why in its log,
// never acknowledges the note, and serves on.
TEST(ServerProcess, ADatabaseErrorIsLoggedWithItsCauseAndAcknowledgesNothing) {
  signal(SIGPIPE, SIG_IGN);
  const std::filesystem::path dir =
      std::filesystem::temp_directory_path() / ("pinleaf-full-" + std::to_string(getpid()));
  std::filesystem::create_directories(dir);
  const std::string log = (dir / "server.log").string();
  testprocess::TProcess server;
  // A file size limit, its signal ignored, so writes past it fail as on a full disk.
  ASSERT_TRUE(server.Start({"sh", "-c", "trap '' XFSZ; ulimit -f 4096; exec \"$0\" \"$@\"", PINLEAF_SERVER_EXE,
                            "--port", "0", "--db", (dir / "notes.db").string(), "--add-user", "demo"},
                           log, {"pw\n", true}));
  std::string line = server.ReadLine();
  ASSERT_NE(line.find("listening on http://127.0.0.1:"), std::string::npos) << line << testprocess::ReadFile(log);
  const int port = std::atoi(line.c_str() + line.rfind(':') + 1);
  httplib::Client client("127.0.0.1", port);
  client.set_read_timeout(30);
  auto login = client.Post("/pinleaf2/users/login", test::LoginBody("demo", "pw"), "application/x-www-form-urlencoded");
  ASSERT_TRUE(login);
  ASSERT_EQ(login->status, 302);
  std::string set = login->get_header_value("Set-Cookie");
  const httplib::Headers cookie{{"Cookie", set.substr(0, set.find(';'))}};
  // Notes of 1 MiB until one does not fit.
  int stored = 0, failed = 0;
  for (int i = 0; i < 6 && failed == 0; ++i) {
    auto upload = client.Post("/pinleaf2/posts/addpinleaf", cookie,
                              test::UploadBody(test::NoteDocument(std::string(kMaxNoteBodyBytes - 1, 'a' + i))),
                              "application/x-www-form-urlencoded");
    ASSERT_TRUE(upload);
    if (upload->body.find("====") != std::string::npos)
      ++stored;
    else
      failed = upload->status;
  }
  EXPECT_EQ(failed, 500);
  EXPECT_GE(stored, 1);
  const std::string said = testprocess::ReadFile(log);
  EXPECT_NE(said.find("POST /pinleaf2/posts/addpinleaf failed: database: disk I/O error"), std::string::npos) << said;
  // Still answering, and what it acknowledged is there.
  auto notes = client.Get("/pinleaf2/notes", cookie);
  ASSERT_TRUE(notes);
  EXPECT_EQ(notes->status, 200);
  EXPECT_NE(notes->body.find(std::to_string(stored) + (stored == 1 ? " note<" : " notes<")), std::string::npos);
  server.Signal(SIGTERM);
  EXPECT_EQ(server.Wait(), 0) << testprocess::ReadFile(log);
  std::filesystem::remove_all(dir);
}

TEST(ServerProcess, ServesHTTPSWithSecureCookiesAndRefusesUnsafeOrBrokenTransportSettings) {
  signal(SIGPIPE, SIG_IGN);
  const std::filesystem::path dir =
      std::filesystem::temp_directory_path() / ("pinleaf-tls-" + std::to_string(getpid()));
  std::filesystem::create_directories(dir);
  const std::string d = dir.string();
  for (const std::string name : {"a", "b"})
    ASSERT_EQ(testprocess::RunToEnd({"openssl", "req", "-x509", "-newkey", "ec", "-pkeyopt",
                                     "ec_paramgen_curve:prime256v1", "-nodes", "-days", "2", "-subj", "/CN=localhost",
                                     "-keyout", d + "/" + name + ".key", "-out", d + "/" + name + ".pem"},
                                    d + "/openssl.log"),
              0);
  // A run that ends by itself: its exit code and everything it printed.
  const auto refused = [&](std::vector<std::string> args, const std::string& why) {
    std::string shown;
    for (const std::string& a : args) shown += a + " ";
    args.insert(args.begin(), PINLEAF_SERVER_EXE);
    args.insert(args.end(), {"--port", "0", "--db", d + "/p.db"});
    const int code = testprocess::RunToEnd(args, d + "/refused.log");
    const std::string output = testprocess::ReadFile(d + "/refused.log");
    EXPECT_EQ(code, 2) << shown << ": " << output;
    EXPECT_NE(output.find(why), std::string::npos) << shown << ": " << output;
  };
  // Plain HTTP beyond loopback, unless asked for: refused before anything is bound.
  refused({"--bind", "0.0.0.0"}, "refusing to serve plain HTTP on 0.0.0.0");
  refused({"--bind", "192.0.2.1"},
          "--tls-cert FILE --tls-key FILE, or, behind a reverse proxy that terminates TLS, pass "
          "--allow-plain-http");
  refused({"--tls-cert", d + "/a.pem"}, "--tls-cert and --tls-key go together");
  refused({"--tls-cert", d + "/none.pem", "--tls-key", d + "/a.key"},
          "cannot read the TLS certificate " + d + "/none.pem: No such file or directory");
  refused({"--tls-cert", d + "/a.key", "--tls-key", d + "/a.key"}, "holds no PEM certificate");
  refused({"--tls-cert", d + "/a.pem", "--tls-key", d + "/a.pem"}, "holds no PEM private key");
  refused({"--tls-cert", d + "/a.pem", "--tls-key", d + "/b.key"}, "does not belong to the certificate");

  {
    ServerProcess server({"--port", "0", "--db", d + "/p.db", "--tls-cert", d + "/a.pem", "--tls-key", d + "/a.key",
                          "--add-user", "demo"},
                         "pw\n");
    std::string line = server.FirstLine();
    ASSERT_NE(line.find("listening on https://127.0.0.1:"), std::string::npos) << line;
    const int port = std::atoi(line.c_str() + line.rfind(':') + 1);
    httplib::SSLClient client("127.0.0.1", port);
    client.enable_server_certificate_verification(false);
    auto login =
        client.Post("/pinleaf2/users/login", test::LoginBody("demo", "pw"), "application/x-www-form-urlencoded");
    ASSERT_TRUE(login);
    EXPECT_EQ(login->status, 302);
    EXPECT_NE(login->get_header_value("Set-Cookie").find("; Secure"), std::string::npos)
        << login->get_header_value("Set-Cookie");
    EXPECT_EQ(login->get_header_value("Strict-Transport-Security"), "max-age=31536000");
    // The browser form's token seed is kept to https as well.
    auto form = client.Get("/pinleaf2/users/login");
    ASSERT_TRUE(form);
    const std::string seed = form->get_header_value("Set-Cookie");
    EXPECT_EQ(seed.rfind("pinleaf_form=", 0), 0u) << seed;
    EXPECT_NE(seed.find("; Secure"), std::string::npos) << seed;
    // Plain HTTP on the TLS port gets nothing.
    httplib::Client plain("127.0.0.1", port);
    plain.set_read_timeout(1);
    auto answer = plain.Get("/pinleaf2/users/login");
    EXPECT_TRUE(!answer || answer->status >= 400);
    // A client that offers nothing newer than TLS 1.1 gets no session.
    const auto handshakeUpTo = [port](int version) {
      SSL_CTX* ctx = SSL_CTX_new(TLS_client_method());
      SSL_CTX_set_security_level(ctx, 0);  // let this end offer the old versions at all
      SSL_CTX_set_min_proto_version(ctx, TLS1_VERSION);
      SSL_CTX_set_max_proto_version(ctx, version);
      int fd = test::Connect(port);
      timeval patience{10, 0};
      setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &patience, sizeof patience);
      SSL* ssl = SSL_new(ctx);
      SSL_set_fd(ssl, fd);
      const bool stood = SSL_connect(ssl) == 1;
      SSL_free(ssl);
      close(fd);
      SSL_CTX_free(ctx);
      return stood;
    };
    EXPECT_FALSE(handshakeUpTo(TLS1_1_VERSION));
    EXPECT_TRUE(handshakeUpTo(TLS1_2_VERSION));
    EXPECT_EQ(server.Finish(SIGTERM), 0);
  }
  // Behind a TLS-terminating proxy the operator may ask for plain HTTP on any address.
  {
    ServerProcess server({"--bind", "0.0.0.0", "--port", "0", "--db", d + "/p.db", "--allow-plain-http"});
    EXPECT_NE(server.FirstLine().find("listening on http://0.0.0.0:"), std::string::npos);
    EXPECT_EQ(server.Finish(SIGTERM), 0);
  }
  std::filesystem::remove_all(dir);
}

}  // namespace
}  // namespace pinleaf
