#ifndef KORVEX_TRANSPORT_OAUTH_CLIENT_H_
#define KORVEX_TRANSPORT_OAUTH_CLIENT_H_

#include <memory>
#include <string>
#include <vector>

#include "transport/security_client.h"
#include "transport/token_store.h"

namespace belmor::korvex {

// The process-wide holder of the one token store. While it exists its store
// is the access-token provider of every HTTP request. Destroying it writes the
// token file and withdraws the provider.
//
// Create it (through OAuthClient::Init) before worker threads send requests.
// If it still exists when the process ends, the token file is written then.
class oauth {
 public:
  virtual ~oauth();
  oauth(const oauth&) = delete;
  oauth& operator=(const oauth&) = delete;

  // The holder, created with a store for `path` on the first call; later
  // calls ignore the path.
  static std::shared_ptr<oauth> Instance(const std::string& path = kTokenFileName);
  // Forgets the process-wide holder; it ends when its last user lets go, and
  // the next Instance call creates a new one.
  static void Release();

  const std::shared_ptr<TokenStore>& Store() const { return store_; }

 private:
  explicit oauth(const std::string& path);

  std::shared_ptr<TokenStore> store_;
};

// The HIN OAuth security client: the engine and the automation object see the
// practice's logins through it. Holds the process-wide token store from Init
// until Shutdown. Calls from several threads must not overlap Init/Shutdown.
class OAuthClient : public SecurityClient {
 public:
  OAuthClient() = default;
  ~OAuthClient() override = default;

  // Opens the token store for the token file in the application-data directory.
  bool Init() override;
  // Lets go of the holder and forgets it process-wide (which writes the token
  // file once no other client holds it); afterwards this client has no store.
  void Shutdown() override;
  std::string GetVersion() override;
  // The stored logins in file order, then the text for a new login. Without a
  // store only that text.
  std::vector<std::string> GetLogins() override;
  uint16_t GetProxyPort() override { return 0; }
  std::string GetProxyHost() override { return std::string(); }
  // False only when the client has no store.
  bool SelectLogin(const std::string& login) override;
  // A new run may try a login again after one failed in the last run.
  void BeginRun() override;
  // Ends a pending browser login at once; no new login starts in this run.
  void Cancel() override;
  bool ClearText(std::string& text) override;
  bool IsRunning() override { return true; }
  bool IsAvailable() override { return true; }

  // The store, or null before Init and after Shutdown.
  std::shared_ptr<TokenStore> Store() const;

  // Where Init looks for the token file: the application-data directory
  // (relative "Belmor/korvex-ordiva/" when the environment cannot tell it).
  static std::string TokenFilePath();

 private:
  std::shared_ptr<oauth> holder_;
};

}  // namespace belmor::korvex

#endif  // KORVEX_TRANSPORT_OAUTH_CLIENT_H_
