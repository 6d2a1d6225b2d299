#ifndef KORVEX_TRANSPORT_SECURITY_CLIENT_H_
#define KORVEX_TRANSPORT_SECURITY_CLIENT_H_

#include <cstdint>
#include <string>
#include <vector>

namespace belmor::korvex {

// The security client the engine and the automation object talk to: it holds
// the practice's logins and gives every request its credentials. The OAuth
// client of the HIN network is the one implementation in the product; tests
// use doubles.
class SecurityClient {
 public:
  virtual ~SecurityClient() = default;

  virtual bool Init() = 0;
  virtual void Shutdown() = 0;
  virtual std::string GetVersion() = 0;
  virtual std::vector<std::string> GetLogins() = 0;
  virtual uint16_t GetProxyPort() = 0;
  virtual std::string GetProxyHost() = 0;
  // Makes the login current; the engine calls it when a step starts the client.
  virtual bool SelectLogin(const std::string& login) = 0;
  // The engine calls it when a processing run starts: whatever the client
  // gave up on in the previous run (a login that failed or timed out) may be
  // tried again.
  virtual void BeginRun() {}
  virtual void Cancel() = 0;
  virtual bool ClearText(std::string& text) = 0;
  virtual bool IsRunning() = 0;
  virtual bool IsAvailable() = 0;
};

}  // namespace belmor::korvex

#endif  // KORVEX_TRANSPORT_SECURITY_CLIENT_H_
