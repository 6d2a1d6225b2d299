// The server korvex under load on a private session bus: 51 connections with
// one object each; one client runs Auto over 300 invoices against the
// trust-center simulator while the other 50 call Read, read properties and
// put settings as fast as the server answers. Before the run every client
// calls Cancel once (a cancel before a processing call has no effect on the
// run that call starts) and one more connection asks for too much: an AutoOne
// with a 10 MB name and 5,000 objects. Reports per client, distinct uploads,
// the slowest answer, the calls that failed otherwise than expected and the
// server's peak memory (VmHWM). See README.md.

#include <sys/types.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <regex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <korvex/korvex_proxy.h>
#include <sdbus-c++/sdbus-c++.h>

#include "bench_practice.h"
#include "support/invoice_factory.h"
#include "support/private_bus.h"
#include "support/temp_dir.h"
#include "support/trust_center_sim.h"

namespace {

namespace fs = std::filesystem;
using namespace belmor::korvex;
using Clock = std::chrono::steady_clock;

constexpr const char* kName = "ch.belmor.Korvex";

class Instance : public sdbus::ProxyInterfaces<ch::belmor::Korvex::IKorvex_proxy> {
 public:
  Instance(sdbus::IConnection& connection, const sdbus::ObjectPath& path) : ProxyInterfaces(connection, kName, path) {
    registerProxy();
  }
  ~Instance() { unregisterProxy(); }
  std::atomic<int> reports{0};
  std::atomic<bool> sent{false};

 private:
  void onKorvexEvent(const int32_t&, const int32_t& mclass, const int32_t& origin, const int32_t& code,
                     const std::string&, const std::string&) override {
    ++reports;
    if (mclass == mcModule && origin == moPSender && code == 1) sent = true;
  }
};

class Factory : public sdbus::ProxyInterfaces<ch::belmor::Korvex::Factory_proxy> {
 public:
  explicit Factory(sdbus::IConnection& connection) : ProxyInterfaces(connection, kName, "/ch/belmor/Korvex") {
    registerProxy();
  }
  ~Factory() { unregisterProxy(); }
};

struct Client {
  Client() : connection(sdbus::createSessionBusConnection()) {
    connection->enterEventLoopAsync();
    Factory factory(*connection);
    korvex = std::make_unique<Instance>(*connection, factory.CreateInstance());
  }
  ~Client() {
    korvex.reset();
    connection->leaveEventLoop();
  }
  std::unique_ptr<sdbus::IConnection> connection;
  std::unique_ptr<Instance> korvex;
};

// What the clients' calls answered, over all clients.
struct Calls {
  void Add(const char* what, Clock::duration took, const std::string& error) {
    std::lock_guard<std::mutex> lock(mutex);
    ++count;
    slowest = std::max(slowest, took);
    if (took > std::chrono::seconds(1)) ++overOneSecond;
    if (!error.empty()) ++errors[std::string(what) + ": " + error];
  }
  std::mutex mutex;
  long count = 0;
  long overOneSecond = 0;
  Clock::duration slowest{};
  std::map<std::string, long> errors;
};

template <typename F>
void Timed(Calls& calls, const char* what, F call) {
  const auto start = Clock::now();
  std::string error;
  try {
    call();
  } catch (const sdbus::Error& e) {
    error = e.getName();
  }
  calls.Add(what, Clock::now() - start, error);
}

long PeakKb(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/status");
  for (std::string line; std::getline(in, line);)
    if (line.rfind("VmHWM:", 0) == 0) return std::strtol(line.c_str() + 6, nullptr, 10);
  return -1;
}

std::string Program() {
  const char* program = std::getenv("KORVEX_PROGRAM");
  return program ? program : KORVEX_SERVER_PROGRAM;
}

}  // namespace

int main(int argc, char** argv) {
  std::map<std::string, std::string> options;
  bool keep = false;
  if (!bench::ParseOptions(argc, argv, options, keep) || keep) {
    std::fprintf(stderr, "usage: server_load_bench [--invoices N] [--clients N]\n");
    return 2;
  }
  const int invoices = options.count("invoices") ? std::stoi(options["invoices"]) : 300;
  const int noisy = options.count("clients") ? std::stoi(options["clients"]) : 50;

  belmor::testing::TempDir dir;
  belmor::testing::TrustCenterSim sim;
  bench::PrivatePractice(dir.path(), sim.PublicPort(), sim.HttpPort(), sim.CaFile());
  for (int n = 1; n <= invoices; ++n) {
    char name[64];
    std::snprintf(name, sizeof name, "/Rechnungen/rechnung-%04d.xml", n);
    belmor::testing::WriteFile(dir.path() + name, belmor::testing::GeneratedInvoice(n));
  }

  belmor::testing::PrivateBus bus;
  if (!bus.RegisterServer(Program())) {
    std::fprintf(stderr, "registering %s failed\n", Program().c_str());
    return 1;
  }
  std::vector<std::unique_ptr<Client>> clients;
  for (int i = 0; i <= noisy; ++i) clients.push_back(std::make_unique<Client>());
  const pid_t server = bus.ServerPid();
  Instance& runner = *clients.front()->korvex;
  const std::string inputDir = runner.inputDirectory();
  Calls calls;

  // Too much asked by one more connection.
  {
    Client greedy;
    Timed(calls, "AutoOne 10 MB", [&] { greedy.korvex->AutoOne(std::string(10 * 1024 * 1024, 'x')); });
    Factory factory(*greedy.connection);
    int made = 1;
    for (int i = 1; i < 5000; ++i) {
      try {
        (void)factory.CreateInstance();
        ++made;
      } catch (const sdbus::Error&) {
      }
    }
    std::printf("one connection asking for 5,000 objects got %d\n", made);
  }
  for (auto& client : clients) Timed(calls, "Cancel", [&] { client->korvex->Cancel(); });

  const auto start = Clock::now();
  runner.Auto();
  std::atomic<bool> over{false};
  std::vector<std::thread> threads;
  // Two threads share the 50 noisy clients: each call waits for its answer,
  // so the server always has calls of many clients before it.
  for (int t = 0; t < 2; ++t) {
    threads.emplace_back([&, t] {
      for (long round = 0; !over; ++round) {
        for (size_t i = 1 + t; i < clients.size() && !over; i += 2) {
          Instance& k = *clients[i]->korvex;
          switch (round % 4) {
            case 0: Timed(calls, "Read", [&] { k.Read(); }); break;
            case 1: Timed(calls, "put zsrDownFilter", [&] { k.zsrDownFilter("*"); }); break;
            case 2: Timed(calls, "put withArchive", [&] { k.withArchive(true); }); break;
            case 3:
              Timed(calls, "put inputDirectory (same)", [&] { k.inputDirectory(inputDir); });
              Timed(calls, "put inputDirectory (other)", [&] { k.inputDirectory(dir.path() + "/elsewhere/"); });
              Timed(calls, "get session", [&] { (void)k.session(); });
              break;
          }
        }
      }
    });
  }
  const auto limit = Clock::now() + std::chrono::minutes(10);
  while (!runner.sent && Clock::now() < limit) std::this_thread::sleep_for(std::chrono::milliseconds(50));
  const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  over = true;
  for (auto& thread : threads) thread.join();
  // The last reports are on their way to the other clients.
  std::this_thread::sleep_for(std::chrono::seconds(2));
  const long peak = PeakKb(server);

  std::map<int, int> byCount;
  for (auto& client : clients) ++byCount[client->korvex->reports];
  std::set<std::string> numbers;
  static const std::regex number("<number>([^<]*)</number>");
  const std::vector<std::string> uploads = sim.Uploads();
  for (const std::string& upload : uploads) {
    std::smatch match;
    if (std::regex_search(upload, match, number)) numbers.insert(match[1]);
  }

  std::printf("Auto over %d invoices with %d clients: %s after %.1f s\n", invoices, noisy + 1,
              runner.sent ? "sent" : "NOT finished", seconds);
  for (const auto& [count, howMany] : byCount) std::printf("  %d of %zu clients got %d reports\n", howMany, clients.size(), count);
  std::printf("uploads: %zu, distinct invoices: %zu\n", uploads.size(), numbers.size());
  std::printf("calls: %ld, slowest %.3f s, over 1 s: %ld\n", calls.count,
              std::chrono::duration<double>(calls.slowest).count(), calls.overOneSecond);
  for (const auto& [what, count] : calls.errors) std::printf("  %ld x %s\n", count, what.c_str());
  std::printf("server VmHWM: %ld kB\n", peak);

  const bool good = runner.sent && byCount.size() == 1 && numbers.size() == static_cast<size_t>(invoices) &&
                    uploads.size() == numbers.size() && calls.overOneSecond == 0;
  clients.clear();
  return good ? 0 : 1;
}
