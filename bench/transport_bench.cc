// What the trust center's distance costs a run: invoices through Auto (read,
// check, anonymize, send with the response download) while a delay proxy
// (bench/latency_proxy.py) adds a round-trip time between the engine and the
// test trust center. Everything the engine asks of the trust center goes
// through the proxy: the configuration and certificate downloads, the gates
// and the token endpoint (the settings and the served configuration name the
// proxy's port); only the browser's login page is reached directly.
//
//   transport_bench [--invoices N] [--rtt LIST] [--keep]
//
// --invoices: invoices of about 10 KB per run (default 100); --rtt: the
// round-trip times in milliseconds, comma-separated (default 0,20,50; a run
// at 0 is always made, as the base); --keep: leave the runs' directories.
// They live under $TMPDIR, /dev/shm when TMPDIR is not set.
//
// Each run is a child process of its own (this program started again with
// --child) with a private home, work area and HIN login, a simulator and a
// proxy of its own. The child starts the engine and makes a first Read run
// (the configuration download and the login), then times the Auto run alone
// and counts, over that run, the connections the proxy and the simulator
// accepted and the requests the simulator received. Per round-trip time the
// program prints the seconds, both connection counts, the requests and the
// time per request beyond the base run, in round-trip times:
// (t_rtt - t_0) / requests / rtt. Targets at 50 ms (else at the largest RTT
// given): at most 3 connections per run and at most 1.2 round-trip times per
// request; it exits 1 when one is missed or an invoice did not go all the way.

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "bench_practice.h"
#include "config/client_config.h"
#include "engine/korvex.h"
#include "engine/processing.h"
#include "logging/korvex_logger.h"
#include "logging/report.h"
#include "support/child_process.h"
#include "support/invoice_factory.h"
#include "support/temp_dir.h"
#include "support/trust_center_sim.h"
#include "transport/oauth_client.h"

extern char** environ;

namespace belmor::korvex {
namespace {

namespace fs = std::filesystem;
using bench::BenchFactory;
using bench::CountingSink;
using bench::PrivatePractice;
using bench::SourceDir;
using Clock = std::chrono::steady_clock;

constexpr int kTargetConnections = 3;
constexpr double kTargetRttPerRequest = 1.2;
constexpr int kTargetRttMs = 50;
constexpr size_t kInvoiceBytes = 10 * 1024;
// Responses waiting at the trust center: each is fetched and then confirmed.
constexpr int kResponses = 5;


double Seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

std::string Response(int n) {
  return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<response xmlns=\"urn:belmor:fixture:invoice:1.0\" number=\"" +
         testing::GeneratedInvoiceNumber(n) + "\" status=\"paid\" amount=\"123.45\"/>\n";
}

// A number of a flat JSON object written by the proxy or the simulator.
int JsonNumber(const std::string& json, const std::string& key) {
  const std::string quoted = "\"" + key + "\"";
  const size_t at = json.find(quoted);
  if (at == std::string::npos) throw std::runtime_error("no " + key + " in " + json);
  const size_t colon = json.find(':', at + quoted.size());
  return std::stoi(json.substr(colon + 1));
}

int CountFiles(const std::string& dir) {
  if (!fs::is_directory(dir)) return 0;
  int n = 0;
  for (const auto& entry : fs::recursive_directory_iterator(dir)) n += entry.is_regular_file() ? 1 : 0;
  return n;
}

// The requests in the simulator's log that came through the HTTPS listener,
// that is through the proxy (the browser's login page is reached directly).
int CountHttpsRequests(const std::string& requestsLog) {
  std::ifstream in(requestsLog);
  int n = 0;
  for (std::string line; std::getline(in, line);) n += line.rfind("{\"port\": \"https\"", 0) == 0 ? 1 : 0;
  return n;
}

// ---------------------------------------------------------------------------
// Child side: one measured run.

struct ChildArgs {
  std::string corpus;
  std::string dir;
  int publicPort = 0;
  int httpPort = 0;
  std::string caFile;
  std::string simDir;
  std::string proxyStatus;
};

void Emit(const std::string& key, double value) { std::printf("%s %.6f\n", key.c_str(), value); }

// What the proxy and the simulator have counted so far.
struct Counts {
  int proxyConnections = 0;
  int simConnections = 0;
  int requests = 0;
};

Counts ReadCounts(const ChildArgs& args) {
  Counts c;
  c.proxyConnections = JsonNumber(testing::ReadFile(args.proxyStatus), "connections");
  c.simConnections = JsonNumber(testing::ReadFile(args.simDir + "/connections.json"), "https");
  c.requests = CountHttpsRequests(args.simDir + "/requests.log");
  return c;
}

void EmitCounts(const std::string& prefix, const Counts& before, const Counts& after) {
  Emit(prefix + "proxy_connections", after.proxyConnections - before.proxyConnections);
  Emit(prefix + "sim_connections", after.simConnections - before.simConnections);
  Emit(prefix + "requests", after.requests - before.requests);
}

int ChildMain(const ChildArgs& args) {
  PrivatePractice(args.dir, args.publicPort, args.httpPort, args.caFile);
  const Counts start = ReadCounts(args);

  std::shared_ptr<Korvex> engine = BenchFactory().Create();
  if (!engine) throw std::runtime_error("the engine did not start (see the debug log)");
  auto sink = std::make_shared<CountingSink>();
  engine->GetLogger()->SetEventSink(sink);
  auto security = std::make_shared<OAuthClient>();
  security->Init();
  engine->SetSecurityClient(security);

  // The first run downloads the configuration and makes the login, as the
  // first run of a practice does; later runs start with both in place.
  const auto setupStart = Clock::now();
  RunLease first = BeginProcessing(*engine, Processing::Read);
  if (!first) throw std::runtime_error("the step lock is taken");
  RunProcessing(engine, Processing::Read, std::move(first));
  if (engine->GetLastDownload() == 0) throw std::runtime_error("the configuration was not downloaded");
  Emit("setup_seconds", Seconds(Clock::now() - setupStart));
  sink->problems = 0;
  sink->shown.clear();

  const std::shared_ptr<ClientConfig>& config = engine->GetClientConfig();
  const std::string input = config->GetPathInputDir().ToString();
  for (const auto& entry : fs::directory_iterator(args.corpus)) {
    fs::create_hard_link(entry.path(), input + "/" + entry.path().filename().string());
  }

  const Counts before = ReadCounts(args);
  EmitCounts("setup_", start, before);
  const auto runStart = Clock::now();
  RunLease lease = BeginProcessing(*engine, Processing::Auto);
  if (!lease) throw std::runtime_error("the step lock is taken");
  RunProcessing(engine, Processing::Auto, std::move(lease));
  Emit("seconds", Seconds(Clock::now() - runStart));
  EmitCounts("", before, ReadCounts(args));

  const int left = CountFiles(input) + CountFiles(config->GetPathWorkInput().ToString()) +
                   CountFiles(config->GetPathWorkValid().ToString()) +
                   CountFiles(config->GetPathWorkOutput().ToString()) + CountFiles(config->GetPathError().ToString());
  Emit("left_behind", left);
  // The send step keeps what it fetched in the work area for the write step.
  Emit("responses", CountFiles(config->GetPathWork().ToString() + "/responses"));
  Emit("problems", sink->problems);
  for (const std::string& line : sink->shown) std::fprintf(stderr, "transport_bench: report: %s\n", line.c_str());
  security->Shutdown();
  return 0;
}

// ---------------------------------------------------------------------------
// Parent side: corpus, proxy and simulator per run, children, report.

// The delay proxy, started before the simulator: the simulator must name the
// proxy's port, and the proxy learns the simulator's port from a file.
class LatencyProxy {
 public:
  LatencyProxy(const std::string& dir, int rttMs) : targetFile_(dir + "/proxy-target"), status_(dir + "/proxy.json") {
    const std::string script = SourceDir() + "/bench/latency_proxy.py";
    int error = 0;
    pid_ = testing::SpawnWithOutput({"python3", script, "--rtt-ms", std::to_string(rttMs), "--target-file",
                                     targetFile_, "--status-file", status_, "--parent-pid",
                                     std::to_string(::getpid())},
                                    dir + "/proxy.out", &error);
    if (pid_ < 0) throw std::runtime_error("cannot start the delay proxy");
    const auto deadline = Clock::now() + std::chrono::seconds(30);
    while (!fs::exists(status_)) {
      int status = 0;
      if (::waitpid(pid_, &status, WNOHANG) == pid_) {
        pid_ = -1;
        throw std::runtime_error("the delay proxy ended at once; see " + dir + "/proxy.out");
      }
      if (Clock::now() > deadline) throw std::runtime_error("the delay proxy did not come up");
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    port_ = JsonNumber(testing::ReadFile(status_), "port");
  }
  ~LatencyProxy() {
    if (pid_ > 0) {
      ::kill(pid_, SIGTERM);
      int status = 0;
      ::waitpid(pid_, &status, 0);
    }
  }
  LatencyProxy(const LatencyProxy&) = delete;
  LatencyProxy& operator=(const LatencyProxy&) = delete;

  int Port() const { return port_; }
  const std::string& StatusFile() const { return status_; }
  void SetTarget(int port) {
    testing::WriteFile(targetFile_ + ".tmp", std::to_string(port) + "\n");
    fs::rename(targetFile_ + ".tmp", targetFile_);
  }

 private:
  std::string targetFile_;
  std::string status_;
  pid_t pid_ = -1;
  int port_ = 0;
};

struct RunResult {
  int rttMs = 0;
  std::map<std::string, double> values;
  int uploads = 0;
  double Value(const std::string& key) const { return values.count(key) ? values.at(key) : -1; }
};

class Parent {
 public:
  Parent(int invoices, std::vector<int> rtts, bool keep) : invoices_(invoices), rtts_(std::move(rtts)), keep_(keep) {}
  ~Parent() {
    if (!keep_ && !root_.empty()) testing::RemoveAll(testing::TestRoot());
  }

  int Main() {
    root_ = testing::TestRoot() + "/transport-bench";
    fs::create_directories(root_ + "/corpus");
    std::printf("transport_bench: %d invoices of about 10 KB per run, runs in %s\n", invoices_, root_.c_str());
    for (int i = 0; i < invoices_; ++i) {
      char name[32];
      std::snprintf(name, sizeof name, "invoice-%06d.xml", i);
      testing::WriteFile(root_ + "/corpus/" + name, testing::GeneratedInvoice(1 + i, kInvoiceBytes));
    }
    // On disk before the runs, so the first run does not pay for writing it out.
    ::sync();
    std::vector<RunResult> results;
    for (int rtt : rtts_) results.push_back(Run(rtt));
    return Report(results);
  }

 private:
  RunResult Run(int rttMs) {
    const std::string dir = root_ + "/rtt-" + std::to_string(rttMs);
    fs::create_directories(dir);
    std::printf("transport_bench: RTT %3d ms ...", rttMs);
    std::fflush(stdout);

    LatencyProxy proxy(dir, rttMs);
    testing::TrustCenterSimOptions options;
    options.publicPort = proxy.Port();
    testing::TrustCenterSim sim(options);
    proxy.SetTarget(sim.HttpsPort());
    for (int i = 0; i < kResponses; ++i) {
      sim.AddResponse("Z1234", "antwort-" + std::to_string(i + 1) + ".xml", Response(1 + i));
    }

    const std::string output = dir + "/result.txt";
    std::vector<std::string> args = {"/proc/self/exe",
                                     "--child", "auto",
                                     "--corpus", root_ + "/corpus",
                                     "--dir", dir,
                                     "--public-port", std::to_string(proxy.Port()),
                                     "--http-port", std::to_string(sim.HttpPort()),
                                     "--ca-file", sim.CaFile(),
                                     "--sim-dir", sim.StateDir(),
                                     "--proxy-status", proxy.StatusFile()};
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, output.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    pid_t pid = -1;
    const int rc = ::posix_spawn(&pid, "/proc/self/exe", &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0) throw std::runtime_error("cannot start the child run");
    int status = 0;
    ::waitpid(pid, &status, 0);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
      throw std::runtime_error("the run at " + std::to_string(rttMs) + " ms failed; its output: " + output +
                               (keep_ ? "" : " (removed at the end; --keep keeps it)"));
    }

    // The simulator's directory goes with it; what it saw stays with the run.
    for (const char* name : {"requests.log", "connections.json"}) {
      fs::copy_file(sim.StateDir() + "/" + name, dir + "/" + name, fs::copy_options::overwrite_existing);
    }

    RunResult result;
    result.rttMs = rttMs;
    std::istringstream lines(testing::ReadFile(output));
    for (std::string key; lines >> key;) lines >> result.values[key];
    result.uploads = static_cast<int>(sim.Uploads().size());
    std::printf(" %.2f s, %d uploads, %.0f requests\n", result.Value("seconds"), result.uploads,
                result.Value("requests"));
    if (result.uploads != invoices_ || result.Value("left_behind") != 0 || result.Value("problems") != 0 ||
        result.Value("responses") != kResponses) {
      std::printf("transport_bench:   NOT ALL WENT THROUGH: %d uploaded, %.0f files left, %.0f of %d responses, "
                  "%.0f problems\n",
                  result.uploads, result.Value("left_behind"), result.Value("responses"), kResponses,
                  result.Value("problems"));
      complete_ = false;
    }
    std::fflush(stdout);
    return result;
  }

  int Report(const std::vector<RunResult>& results) {
    const RunResult& base = results.front();  // RTT 0, see main
    int targetRtt = 0;
    for (const RunResult& r : results) {
      if (r.rttMs == kTargetRttMs || (targetRtt != kTargetRttMs && r.rttMs > targetRtt)) targetRtt = r.rttMs;
    }

    std::printf("\nAuto run of %d invoices (after a first Read run that downloads the configuration and logs in)\n",
                invoices_);
    std::printf("  %6s %9s %12s %12s %9s %14s   %s\n", "RTT", "seconds", "conn. proxy", "conn. sim", "requests",
                "RTT/request", "first Read run: conn. proxy/sim, requests");
    bool ok = complete_;
    std::vector<std::string> missed;
    for (const RunResult& r : results) {
      const double seconds = r.Value("seconds");
      const double requests = r.Value("requests");
      const int connections = static_cast<int>(std::max(r.Value("proxy_connections"), r.Value("sim_connections")));
      std::string perRequest = "-";
      double rttPerRequest = 0;
      if (r.rttMs > 0 && requests > 0) {
        rttPerRequest = (seconds - base.Value("seconds")) / requests / (r.rttMs / 1000.0);
        char text[32];
        std::snprintf(text, sizeof text, "%.2f", rttPerRequest);
        perRequest = text;
      }
      std::printf("  %3d ms %9.2f %12.0f %12.0f %9.0f %14s   %.0f/%.0f, %.0f\n", r.rttMs, seconds,
                  r.Value("proxy_connections"), r.Value("sim_connections"), requests, perRequest.c_str(),
                  r.Value("setup_proxy_connections"), r.Value("setup_sim_connections"), r.Value("setup_requests"));
      if (r.rttMs == targetRtt && targetRtt > 0) {
        if (connections > kTargetConnections) {
          missed.push_back("at " + std::to_string(r.rttMs) + " ms the run opened " + std::to_string(connections) +
                           " connections (target: at most " + std::to_string(kTargetConnections) + ")");
        }
        if (rttPerRequest > kTargetRttPerRequest) {
          char text[160];
          std::snprintf(text, sizeof text, "at %d ms a request cost %.2f round trips beyond the base run "
                        "(target: at most %.1f)", r.rttMs, rttPerRequest, kTargetRttPerRequest);
          missed.push_back(text);
        }
      }
    }
    std::printf("  (RTT/request: (seconds - seconds at 0 ms) / requests / RTT; conn.: HTTPS connections accepted\n"
                "   by the proxy and by the simulator during the Auto run)\n\n");
    if (targetRtt == 0) {
      std::printf("targets: no run with a round-trip time above 0, nothing checked\n");
    } else if (missed.empty()) {
      std::printf("targets at %d ms (at most %d connections, at most %.1f RTT per request): met\n", targetRtt,
                  kTargetConnections, kTargetRttPerRequest);
    } else {
      for (const std::string& line : missed) std::printf("target MISSED: %s\n", line.c_str());
    }
    if (!complete_) std::printf("NOT ALL INVOICES WENT THROUGH (see above)\n");
    return ok && missed.empty() ? 0 : 1;
  }

  int invoices_;
  std::vector<int> rtts_;
  bool keep_;
  std::string root_;
  bool complete_ = true;
};

int Usage() {
  std::fprintf(stderr, "usage: transport_bench [--invoices N] [--rtt MS,MS,...] [--keep]\n");
  return 2;
}

}  // namespace
}  // namespace belmor::korvex

int main(int argc, char** argv) {
  using namespace belmor::korvex;
  std::map<std::string, std::string> options;
  bool keep = false;
  if (!bench::ParseOptions(argc, argv, options, keep)) return Usage();
  try {
    if (options.count("child")) {
      ChildArgs args;
      args.corpus = options.at("corpus");
      args.dir = options.at("dir");
      args.publicPort = std::stoi(options.at("public-port"));
      args.httpPort = std::stoi(options.at("http-port"));
      args.caFile = options.at("ca-file");
      args.simDir = options.at("sim-dir");
      args.proxyStatus = options.at("proxy-status");
      return ChildMain(args);
    }
    for (const auto& [key, value] : options) {
      if (key != "invoices" && key != "rtt") return Usage();
    }
    // Work areas in memory unless told otherwise: the steps' flushes to disk
    // take milliseconds that vary several-fold with what else writes, and
    // would drown the network's share that this program measures.
    if (!std::getenv("TMPDIR") && fs::is_directory("/dev/shm")) ::setenv("TMPDIR", "/dev/shm", 1);
    const int invoices = options.count("invoices") ? std::stoi(options.at("invoices")) : 100;
    if (invoices < 1) return Usage();
    // The base run at 0 ms comes first; the others are measured against it.
    std::vector<int> rtts = {0};
    std::stringstream list(options.count("rtt") ? options.at("rtt") : "0,20,50");
    for (std::string item; std::getline(list, item, ',');) {
      const int rtt = std::stoi(item);
      if (rtt < 0) return Usage();
      if (std::find(rtts.begin(), rtts.end(), rtt) == rtts.end()) rtts.push_back(rtt);
    }
    return Parent(invoices, rtts, keep).Main();
  } catch (const std::exception& e) {
    std::fprintf(stderr, "transport_bench: %s\n", e.what());
    return 1;
  }
}
