// pinleaf-server: a small, self-hostable note service for the text snap client.
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <iostream>
#include <thread>

#include "service/options.h"
#include "service/server.h"
#include "service/store.h"
#include "service/tls.h"

namespace {

int Run(const pinleaf::TOptions& options) {
  // Signals are taken by sigwait below, never by a handler, so stopping runs on
  // an ordinary thread. The mask is set before any thread starts, so every
  // server thread inherits it. SIGUSR1 is how the serving thread says it ended.
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGTERM);
  sigaddset(&signals, SIGUSR1);
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);
  // A client that hangs up mid-answer must not end the process.
  signal(SIGPIPE, SIG_IGN);

  if (std::string refused = pinleaf::CheckTransport(options); !refused.empty()) {
    std::cerr << "pinleaf-server: " << refused << "\n";
    return 2;
  }
  if (!options.tls_cert.empty()) {
    if (std::string bad = pinleaf::CheckCertificateAndKey(options.tls_cert, options.tls_key); !bad.empty()) {
      std::cerr << "pinleaf-server: " << bad << "\n";
      return 2;
    }
  }

  try {
    pinleaf::TNoteStore store(options.db);
    for (const auto& [name, password] : options.add_users) {
      if (store.CreateUser(name, password)) {
        std::cerr << "pinleaf-server: created account " << name << "\n";
      } else if (store.CheckLogin(name, password)) {
        // Unchanged: keep its sign-ins, so a script may pass the same account at every start.
        std::cerr << "pinleaf-server: account " << name << " exists\n";
      } else {
        store.SetPassword(name, password);
        std::cerr << "pinleaf-server: set a new password for account " << name << "\n";
      }
    }

    pinleaf::TPinleafServer server(store, options.base, {options.tls_cert, options.tls_key});
    server.log = [](const std::string& line) { std::cerr << line << "\n"; };
    int port = server.Bind(options.bind, options.port);
    if (port < 0) {
      std::cerr << "pinleaf-server: cannot listen on " << options.bind << ":" << options.port
                << " (address in use or not available)\n";
      return 1;
    }
    // An IPv6 address goes in brackets, so the printed URL can be used as it stands.
    std::string host = options.bind.find(':') == std::string::npos ? options.bind : "[" + options.bind + "]";
    std::cout << "pinleaf-server listening on " << (options.tls_cert.empty() ? "http" : "https") << "://" << host << ":"
              << port << options.base << std::endl;

    std::atomic<bool> stopping{false};
    pid_t self = getpid();
    std::thread serving([&] {
      server.Serve();
      if (!stopping) kill(self, SIGUSR1);
    });
    int signal_number = 0;
    sigwait(&signals, &signal_number);
    stopping = true;
    server.Stop();
    serving.join();
    if (signal_number == SIGUSR1) {
      std::cerr << "pinleaf-server: serving stopped unexpectedly\n";
      return 1;
    }
    std::cerr << "pinleaf-server: stopped\n";
    return 0;
  } catch (const std::exception& e) {
    std::cerr << "pinleaf-server: " << e.what() << "\n";
    return 1;
  }
}

}  // namespace

int main(int argc, char** argv) {
  pinleaf::TOptions options;
  std::string error = pinleaf::ParseOptions(std::vector<std::string>(argv + 1, argv + argc), options);
  if (!error.empty()) {
    std::cerr << "pinleaf-server: " << error << "\n" << pinleaf::Usage();
    return 2;
  }
  if (options.help) {
    std::cout << pinleaf::Usage();
    return 0;
  }
  return Run(options);
}
