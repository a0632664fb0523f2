#include <signal.h>

#include <cstdio>
#include <string>
#include <vector>

#include "companion/companion_server.h"
#include "platform/foundation/log.h"

using streaming::companion::CompanionServer;

int main(int argc, char** argv) {
  std::vector<std::string> arguments(argv + 1, argv + argc);
  auto parsed = streaming::companion::parseArguments(arguments);
  if (!parsed) {
    std::fprintf(stderr, "tovarine-companion: %s\n%s", parsed.error().c_str(),
                 streaming::companion::usageText().c_str());
    return 2;
  }
  if (parsed->helpRequested) {
    std::fputs(streaming::companion::usageText().c_str(), stdout);
    return 0;
  }

  // Wait for Ctrl-C or a termination request on this thread; the server runs on its own.
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);

  CompanionServer server(parsed->options);
  if (auto error = server.start()) {
    std::fprintf(stderr, "tovarine-companion: cannot listen on 127.0.0.1:%u: %s\n",
                 static_cast<unsigned>(parsed->options.port), error.message().c_str());
    return 1;
  }
  const auto& options = server.options();
  platform::print("Companion \"" + options.name + "\" (" + std::to_string(options.width) + "x" +
                  std::to_string(options.height) + " at " + std::to_string(options.ppi) +
                  " ppi) listening on 127.0.0.1:" + std::to_string(server.port()));
  int received = 0;
  sigwait(&signals, &received);
  server.stop();
  return 0;
}
