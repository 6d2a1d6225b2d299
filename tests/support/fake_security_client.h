#ifndef KORVEX_TESTS_SUPPORT_FAKE_SECURITY_CLIENT_H_
#define KORVEX_TESTS_SUPPORT_FAKE_SECURITY_CLIENT_H_

#include <cstdint>
#include <string>
#include <vector>

#include "transport/security_client.h"

namespace belmor::testing {

// A security client that answers from its fields and records the logins the
// engine selects, the cancels it passes on and the runs begun.
class FakeSecurityClient : public korvex::SecurityClient {
 public:
  bool Init() override { return true; }
  void Shutdown() override {}
  std::string GetVersion() override { return "fake"; }
  std::vector<std::string> GetLogins() override { return {}; }
  uint16_t GetProxyPort() override { return proxyPort; }
  std::string GetProxyHost() override { return proxyHost; }
  bool SelectLogin(const std::string& login) override {
    logins.push_back(login);
    return starts;
  }
  void Cancel() override { ++cancels; }
  void BeginRun() override { ++runs; }
  bool ClearText(std::string&) override { return false; }
  bool IsRunning() override { return true; }
  bool IsAvailable() override { return available; }

  bool available = true;
  bool starts = true;
  std::string proxyHost = "proxy.example";
  uint16_t proxyPort = 3128;
  std::vector<std::string> logins;
  int cancels = 0;
  int runs = 0;  // BeginRun calls
};

}  // namespace belmor::testing

#endif  // KORVEX_TESTS_SUPPORT_FAKE_SECURITY_CLIENT_H_
