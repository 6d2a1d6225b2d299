// korvex: the automation server on the session bus. Started by the bus when a
// client asks for ch.belmor.Korvex, it serves automation objects until the
// last one is released; with a registration switch it writes or removes its
// activation file and interface description and ends.

#include <signal.h>

#include <atomic>
#include <cstring>
#include <iostream>
#include <memory>
#include <string>
#include <vector>

#include <sdbus-c++/sdbus-c++.h>

#include "engine/korvex.h"
#include "platform/folders.h"
#include "server/korvex_server.h"
#include "server/registration.h"
#include "transport/oauth_client.h"

namespace {

using namespace belmor::korvex;

const char kUsage[] =
    "usage: korvex [/RegServer | /UnregServer | /RegServerPerUser | /UnregServerPerUser]\n"
    "\n"
    "Without a switch korvex serves ch.belmor.Korvex on the session bus (normally the bus\n"
    "starts it) and ends about one second after its last client has let go.\n"
    "\n"
    "  /RegServer, -RegServer     register machine-wide: <prefix>/share/dbus-1/services and\n"
    "                             .../interfaces, <prefix> being above the program's directory\n"
    "  /UnregServer               remove the machine-wide registration\n"
    "  /RegServerPerUser          register for this user under $XDG_DATA_HOME/dbus-1\n"
    "                             ($HOME/.local/share when unset)\n"
    "  /UnregServerPerUser        remove the per-user registration\n"
    "  --help                     show this text\n"
    "  --version                  show the version\n"
    "\n"
    "Switch names are not case-sensitive and may start with \"-\" or \"/\".\n"
    "Exit status: 0 on success, 1 on failure (with the reason on stderr).\n";

std::shared_ptr<Korvex> MakeEngine() {
  std::shared_ptr<Korvex> engine = KorvexFactory().Create();
  if (!engine) return engine;
  // One security client for the process: every object's runs share it.
  auto security = std::make_shared<OAuthClient>();
  security->Init();
  engine->SetSecurityClient(security);
  return engine;
}

std::atomic<server::KorvexServer*> gServer{nullptr};

void OnStopSignal(int) {
  if (server::KorvexServer* server = gServer.load()) server->RequestStop();
}

// SIGTERM (the session ending, a service manager) and SIGINT end the server
// the orderly way while it serves: the run stops between files instead of in
// the middle of an upload. Programs we start get the default actions back.
class StopSignals {
 public:
  explicit StopSignals(server::KorvexServer& server) {
    gServer.store(&server);
    struct sigaction action {};
    action.sa_handler = OnStopSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    sigaction(SIGTERM, &action, nullptr);
    sigaction(SIGINT, &action, nullptr);
  }
  // The server's own end cancels and waits; a signal meanwhile changes nothing.
  ~StopSignals() { gServer.store(nullptr); }
};

}  // namespace

int main(int argc, char** argv) {
  const std::vector<std::string> arguments(argv + 1, argv + argc);
  const std::string program = belmor::platform::ProgramFile();
  if (const server::Switch which = server::FindSwitch(arguments); which != server::Switch::None)
    return server::RunSwitch(which, program);
  for (const std::string& argument : arguments) {
    if (argument == "--help" || argument == "-h") {
      std::cout << kUsage;
      return 0;
    }
    if (argument == "--version") {
      std::cout << "korvex (Korvex Ordiva) 5.0.3\n";
      return 0;
    }
  }

  std::unique_ptr<sdbus::IConnection> connection;
  try {
    connection = sdbus::createSessionBusConnection();
  } catch (const sdbus::Error& e) {
    std::cerr << "korvex: no session bus: " << e.getMessage() << "\n";
    return 1;
  }
  try {
    connection->requestName(server::kBusName);
  } catch (const sdbus::Error& e) {
    std::cerr << "korvex: the bus name " << server::kBusName
              << " is taken (is another korvex serving this session?): " << e.getMessage() << "\n";
    return 1;
  }
  try {
    server::KorvexServer server(*connection, MakeEngine);
    StopSignals stopSignals(server);
    server.Run();
  } catch (const std::exception& e) {
    std::cerr << "korvex: " << e.what() << "\n";
    return 1;
  }
  return 0;
}
