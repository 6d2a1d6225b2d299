#include "support/trust_center_sim.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <stdexcept>
#include <thread>

#include "support/child_process.h"
#include "support/temp_dir.h"
#include "transport/json.h"
#include "transport/rpc_value.h"

namespace belmor::testing {

namespace fs = std::filesystem;

namespace {

constexpr auto kStartTimeout = std::chrono::seconds(30);
constexpr auto kStopTimeout = std::chrono::seconds(5);
constexpr auto kPoll = std::chrono::milliseconds(20);

std::string ScriptPath(const char* name) { return std::string(KORVEX_SOURCE_DIR) + "/testing/trustcenter/" + name; }

// A number of a flat JSON object the simulator wrote (sim.json, connections.json).
int JsonInt(const std::string& json, const std::string& key) {
  std::smatch m;
  if (!std::regex_search(json, m, std::regex("\"" + key + "\"\\s*:\\s*([0-9]+)"))) {
    throw std::runtime_error("trust-center simulator: no " + key + " in " + json);
  }
  return std::stoi(m[1].str());
}

std::string ReadIfPresent(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

// Writes through a temporary in the same directory and renames it, so the
// simulator never reads half a file.
void WriteAtomic(const std::string& path, const std::string& bytes) {
  const std::string tmp = path + ".tmp";
  WriteFile(tmp, bytes);
  fs::rename(tmp, path);
}

// Reaps the child if it has ended; true when it has. Code under test may reap
// children of its own with waitpid(-1) or ignore SIGCHLD; then the process
// is simply gone.
bool Reaped(pid_t pid) {
  int status = 0;
  const pid_t r = ::waitpid(pid, &status, WNOHANG);
  if (r == pid) return true;
  return r == -1 && errno == ECHILD && ::kill(pid, 0) != 0;
}

}  // namespace

TrustCenterSim::TrustCenterSim() : TrustCenterSim(TrustCenterSimOptions()) {}

TrustCenterSim::TrustCenterSim(const TrustCenterSimOptions& options) {
  std::string tmpl = TestRoot() + "/trustcenter-XXXXXX";
  if (::mkdtemp(tmpl.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  dir_ = tmpl;
  const std::string output = dir_ + "/simulator.out";

  const std::string script = ScriptPath("simulator.py");
  const std::string parent = std::to_string(::getpid());
  std::vector<std::string> command = {"python3", script, "--state-dir", dir_, "--parent-pid", parent};
  if (options.publicPort != 0) {
    command.push_back("--public-port");
    command.push_back(std::to_string(options.publicPort));
  }
  int rc = 0;
  pid_ = SpawnWithOutput(command, output, &rc);
  if (rc != 0) {
    pid_ = -1;
    RemoveAll(dir_);
    throw std::runtime_error("trust-center simulator: cannot start python3: " + std::string(strerror(rc)));
  }

  const std::string info_path = dir_ + "/sim.json";
  const auto deadline = std::chrono::steady_clock::now() + kStartTimeout;
  std::string info;
  while (true) {
    info = ReadIfPresent(info_path);
    if (!info.empty()) break;
    std::string failure;
    if (Reaped(pid_)) {
      pid_ = -1;
      failure = "trust-center simulator ended before it was ready";
    } else if (std::chrono::steady_clock::now() > deadline) {
      failure = "trust-center simulator not ready after 30 s";
    }
    if (!failure.empty()) {
      failure += ":\n" + ReadIfPresent(output);
      Stop();
      throw std::runtime_error(failure);
    }
    std::this_thread::sleep_for(kPoll);
  }
  try {
    https_port_ = JsonInt(info, "https_port");
    http_port_ = JsonInt(info, "http_port");
    public_port_ = JsonInt(info, "public_port");
  } catch (...) {
    Stop();
    throw;
  }
}

TrustCenterSim::~TrustCenterSim() { Stop(); }

void TrustCenterSim::Stop() {
  if (pid_ > 0) {
    ::kill(pid_, SIGTERM);
    const auto deadline = std::chrono::steady_clock::now() + kStopTimeout;
    bool ended = Reaped(pid_);
    while (!ended && std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(kPoll);
      ended = Reaped(pid_);
    }
    if (!ended) {
      ::kill(pid_, SIGKILL);
      int status = 0;
      ::waitpid(pid_, &status, 0);  // ECHILD when someone else reaps it; fine
    }
    pid_ = -1;
  }
  if (!dir_.empty()) RemoveAll(dir_);
}

std::string TrustCenterSim::CaFile() const { return dir_ + "/tls/ca.pem"; }
std::string TrustCenterSim::BaseUrl() const { return "http://localhost:" + std::to_string(public_port_); }
std::string TrustCenterSim::LoginBaseUrl() const { return "http://localhost:" + std::to_string(http_port_); }
std::string TrustCenterSim::TokenBaseUrl() const {
  return "https://oauth2.localhost:" + std::to_string(public_port_);
}
std::string TrustCenterSim::RecipientsDir() const { return dir_ + "/recipients"; }
std::string TrustCenterSim::RecipientCert(const std::string& name) const {
  return ReadFile(RecipientsDir() + "/" + name + ".crt");
}
std::string TrustCenterSim::RecipientKey(const std::string& name) const {
  return ReadFile(RecipientsDir() + "/" + name + ".key");
}

void TrustCenterSim::SetControl(const std::string& json) { WriteAtomic(dir_ + "/control.json", json); }

std::vector<std::string> TrustCenterSim::Uploads() const {
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(dir_ + "/uploads")) {
    const std::string name = entry.path().filename().string();
    // The simulator writes each upload through a hidden temporary.
    if (entry.is_regular_file() && name[0] != '.') names.push_back(name);
  }
  std::sort(names.begin(), names.end());
  std::vector<std::string> contents;
  for (const auto& name : names) contents.push_back(ReadFile(dir_ + "/uploads/" + name));
  return contents;
}

void TrustCenterSim::AddResponse(const std::string& filter, const std::string& name, const std::string& body) {
  const std::string directory = dir_ + "/responses/" + filter;
  fs::create_directories(directory);
  // The temporary goes outside the filter directory, so enumerating never lists it.
  const std::string tmp = dir_ + "/responses/." + name + ".tmp";
  WriteFile(tmp, body);
  fs::rename(tmp, directory + "/" + name);
}

bool TrustCenterSim::HasResponse(const std::string& filter, const std::string& name) const {
  return fs::exists(dir_ + "/responses/" + filter + "/" + name);
}

std::vector<std::string> TrustCenterSim::RequestLog() const {
  std::vector<std::string> lines;
  std::istringstream in(ReadIfPresent(dir_ + "/requests.log"));
  for (std::string line; std::getline(in, line);) {
    if (!line.empty()) lines.push_back(line);
  }
  return lines;
}

std::vector<SimRequest> TrustCenterSim::Requests() const {
  using korvex::RpcValue;
  std::vector<SimRequest> requests;
  for (const std::string& line : RequestLog()) {
    RpcValue entry;
    std::istringstream in(line);
    korvex::ReadJson(entry, in);
    const auto text = [&](const char* name) {
      const RpcValue& member = entry.GetMember(name);
      return member.kind() == RpcValue::kString ? member.AsString() : std::string();
    };
    const auto number = [&](const char* name) {
      const RpcValue& member = entry.GetMember(name);
      return member.kind() == RpcValue::kInt ? member.AsInt() : 0;
    };
    SimRequest request;
    request.port = text("port");
    request.connection = number("connection");
    request.host = text("host");
    request.method = text("method");
    request.path = text("path");
    if (entry.GetMember("authorization").kind() == RpcValue::kString) request.authorization = text("authorization");
    request.rpcMethod = text("rpc_method");
    request.status = number("status");
    requests.push_back(std::move(request));
  }
  return requests;
}

int TrustCenterSim::HttpsConnections() const { return JsonInt(ReadFile(dir_ + "/connections.json"), "https"); }
int TrustCenterSim::HttpConnections() const { return JsonInt(ReadFile(dir_ + "/connections.json"), "http"); }
int TrustCenterSim::HttpsHandshakeFailures() const {
  return JsonInt(ReadFile(dir_ + "/connections.json"), "https_handshake_failures");
}

std::string TrustCenterSim::BrowserCommand() { return ScriptPath("browser.py"); }

int ClosedLoopbackPort() {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
  ::close(fd);
  return ntohs(address.sin_port);
}

}  // namespace belmor::testing
