#ifndef KORVEX_TESTS_TRANSPORT_SIM_FIXTURE_H_
#define KORVEX_TESTS_TRANSPORT_SIM_FIXTURE_H_

// A test trust center shared by the tests of one suite, with a fixed bearer
// token, its CA trusted, and the debug log captured in memory.

#include <gtest/gtest.h>

#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "logging/log.h"
#include "support/trust_center_sim.h"
#include "transport/curl_transfer.h"
#include "transport/json.h"
#include "transport/rpc_value.h"
#include "transport/transport_settings.h"

namespace belmor::korvex::testing {

using belmor::testing::TrustCenterSim;

class FixedTokenProvider : public AccessTokenProvider {
 public:
  explicit FixedTokenProvider(std::string token) : token(std::move(token)) {}
  std::string GetAccessToken() override {
    ++asked;
    return token;
  }
  void TokenRefused() override { ++refused; }

  std::string token;
  int asked = 0;
  int refused = 0;
};

// Keeps the text of every debug line.
class CapturingLogger : public log::BaseLogger {
 public:
  bool Write(const log::LogData& data) override {
    std::lock_guard<std::mutex> lock(mutex_);
    lines_.push_back(data.stream.str());
    return true;
  }
  std::vector<std::string> Lines() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return lines_;
  }
  // The lines that contain `part`.
  std::vector<std::string> Matching(const std::string& part) const {
    std::vector<std::string> out;
    for (const std::string& line : Lines()) {
      if (line.find(part) != std::string::npos) out.push_back(line);
    }
    return out;
  }

 private:
  mutable std::mutex mutex_;
  std::vector<std::string> lines_;
};

// One line of the simulator's requests.log.
struct LoggedRequest {
  std::string method;
  std::string path;
  RpcValue authorization;  // String, or Null when the header was missing
  std::vector<std::pair<std::string, std::string>> headers;  // in the order received
  int bodyLength = 0;
  std::string rpcMethod;  // empty for requests that are no XML-RPC call
  RpcValue rpcParams;
  RpcValue status;  // Int, or Null for a dropped connection

  std::string Header(const std::string& name) const {
    for (const auto& [n, v] : headers) {
      if (n == name) return v;
    }
    return "<none>";
  }
};

inline LoggedRequest ParseLoggedRequest(const std::string& line) {
  RpcValue value;
  std::istringstream in(line);
  ReadJson(value, in);
  auto text = [&](const char* name) {
    const RpcValue& member = value.GetMember(name);
    return member.kind() == RpcValue::kString ? member.AsString() : std::string();
  };
  LoggedRequest request;
  request.method = text("method");
  request.path = text("path");
  request.authorization = value.GetMember("authorization");
  for (const RpcValue& pair : value.GetMember("headers").AsArray()) {
    request.headers.emplace_back(pair.AsArray().at(0).AsString(), pair.AsArray().at(1).AsString());
  }
  request.bodyLength = value.GetMember("body_length").AsInt();
  request.rpcMethod = text("rpc_method");
  request.rpcParams = value.GetMember("rpc_params");
  request.status = value.GetMember("status");
  return request;
}

// One simulator for all tests of a suite: starting one takes about a second.
class SharedSimTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { sim_ = new TrustCenterSim(); }
  static void TearDownTestSuite() {
    delete sim_;
    sim_ = nullptr;
  }

  static inline TrustCenterSim* sim_ = nullptr;
};

// The simulator with a valid token installed, its CA trusted and the debug log captured.
class SimTest : public SharedSimTest {
 protected:

  void SetUp() override {
    sim_->SetControl("{}");
    // Every test starts without connections kept by an earlier one.
    ConnectionPool::CloseIdle();
    provider_ = std::make_shared<FixedTokenProvider>(TrustCenterSim::kValidToken);
    SetAccessTokenProvider(provider_);
    TransportSettings settings;
    settings.caFile = sim_->CaFile();
    SetTransportSettings(settings);
    previousLogger_ = log::CurrentLogger();
    logger_ = std::make_shared<CapturingLogger>();
    log::InstallLogger(logger_);
    seenRequests_ = sim_->RequestLog().size();
    seenUploads_ = sim_->Uploads().size();
  }

  void TearDown() override {
    log::InstallLogger(previousLogger_);
    SetAccessTokenProvider(nullptr);
    SetTransportSettings(TransportSettings());
  }

  TrustCenterSim& Sim() { return *sim_; }
  // A configured URL of the simulator's trust center ("http://localhost:PORT" + path).
  std::string Url(const std::string& path) const { return sim_->BaseUrl() + path; }

  // The requests the simulator received since the test began.
  std::vector<LoggedRequest> NewRequests() const {
    std::vector<LoggedRequest> out;
    const std::vector<std::string> lines = sim_->RequestLog();
    for (size_t i = seenRequests_; i < lines.size(); ++i) out.push_back(ParseLoggedRequest(lines[i]));
    return out;
  }
  std::vector<std::string> NewUploads() const {
    const std::vector<std::string> all = sim_->Uploads();
    return std::vector<std::string>(all.begin() + static_cast<std::ptrdiff_t>(seenUploads_), all.end());
  }

  void Settings(const std::function<void(TransportSettings&)>& change) {
    TransportSettings settings = CurrentTransportSettings();
    change(settings);
    SetTransportSettings(settings);
  }

  std::shared_ptr<FixedTokenProvider> provider_;
  std::shared_ptr<CapturingLogger> logger_;
  std::shared_ptr<log::BaseLogger> previousLogger_;
  size_t seenRequests_ = 0;
  size_t seenUploads_ = 0;
};

}  // namespace belmor::korvex::testing

#endif  // KORVEX_TESTS_TRANSPORT_SIM_FIXTURE_H_
