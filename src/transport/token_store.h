#ifndef KORVEX_TRANSPORT_TOKEN_STORE_H_
#define KORVEX_TRANSPORT_TOKEN_STORE_H_

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "common/mutex.h"
#include "transport/rpc_value.h"
#include "transport/transport_settings.h"

namespace belmor::korvex {

inline constexpr char kDefaultClientId[] = "ch.korvex.ordivaclient";
inline constexpr char kDefaultTokenGroup[] = "korvex_inputgate";
inline constexpr char kTokenFileName[] = "hin-oauth.json";

// How long a login waits for the browser to come back.
inline constexpr std::chrono::milliseconds kDefaultLoginWait{60000};

// The tokens of one HIN login.
struct TokenEntry {
  std::string hin_id;
  std::string access_token;
  std::string refresh_token;
  // Seconds since 1970: the last second in which access_token is used without
  // a refresh.
  int64_t expire = 0;

  friend bool operator==(const TokenEntry&, const TokenEntry&) = default;
};

// The practice's HIN OAuth tokens, one entry per login, kept in the token file
// and handed to every HTTP request.
//
// Two locks. The Mutex this class derives from is held by GetAccessToken for
// the whole of a refresh or a browser login, so concurrent requests wait for
// one login instead of starting several. The entries themselves sit behind a
// short inner lock, so SelectLogin, GetLogins and TokenRefused neither wait
// for a login of up to a minute nor race with it. Entries leave the store as
// copies: TokenRefused may remove one while a refresh for it runs.
//
// A login that failed, timed out or was cancelled is not started again until
// the next run (BeginRun): one run with many invoices must not open a browser
// window and wait a minute for every request. CancelLogin and BeginRun take
// neither lock, so a cancel reaches a login that holds the store's lock.
class TokenStore : public common::Mutex, public AccessTokenProvider {
 public:
  explicit TokenStore(std::string path);
  ~TokenStore() override;

  // Reads the token file the first time it is called; later calls do nothing.
  // A missing or unreadable file leaves the default client_id and
  // token_group; entries read before a damaged one stay.
  void Load();
  // Writes the token file, once loaded, as a new file with owner-only access
  // that replaces the old one in one rename: it holds credentials, and a
  // crash while writing must not lose the logins. Failures go to the debug log.
  void Save();
  // The entry of the current login, compared byte for byte.
  std::optional<TokenEntry> Lookup();

  // The access token of the current login: the stored one while it is not
  // due, else a refreshed one, else the result of a browser login; empty when
  // none of that gave a token. Runs under the store's lock and may take the
  // login wait plus the network time. An unusable token reply raises RpcError.
  std::string GetAccessToken() override;
  // After a 401: forgets the current login's tokens (DropCurrentLogin).
  void TokenRefused() override;

  // Posts the form body to the token endpoint and applies a 2xx reply.
  // Answers the updated entry, or `entry` when no usable reply came. A 2xx
  // reply that is not a token object raises RpcError "Invalid type
  // conversion" and changes nothing.
  std::optional<TokenEntry> RequestToken(const std::string& body, std::optional<TokenEntry> entry);
  // Takes the token reply: the login it names becomes current, its entry is
  // created or updated (due after two thirds of "expires_in"), the file is
  // written and the login stored as the "hinLogin" setting.
  TokenEntry ApplyTokenResponse(const RpcValue& value);
  // Removes the current login's entry and makes the login a single blank,
  // which is also stored as the "hinLogin" setting. The file is not written.
  void DropCurrentLogin();

  // Ends a pending browser login or token request at once, and lets no new
  // login start until BeginRun. Safe from any thread.
  void CancelLogin();
  // A new processing run: a login may be tried again.
  void BeginRun();
  // True while a login of this run has failed or been cancelled.
  bool LoginBlocked() const { return login_blocked_; }

  void SelectLogin(const std::string& login);
  // The hin_id of each entry in file order, then the catalogue text 64 (the
  // choice to register a new login).
  std::vector<std::string> GetLogins();

  const std::string& Path() const { return path_; }
  std::string CurrentLogin() const;
  std::string ClientId() const;
  std::string TokenGroup() const;
  std::vector<TokenEntry> Entries() const;
  // Tests shorten the wait for the browser.
  void SetLoginWait(std::chrono::milliseconds wait);

 private:
  // The browser login; the new entry, or none when it gave no token.
  std::optional<TokenEntry> RunLogin();
  // Posts the body to the token endpoint; the applied entry, or none when no
  // usable reply came.
  std::optional<TokenEntry> PostTokenRequest(const std::string& body);
  TokenEntry* LookupLocked();
  void StoreHinLogin(const std::string& login);

  const std::string path_;
  mutable std::mutex data_mutex_;
  bool loaded_ = false;
  std::string current_login_;
  std::string client_id_ = kDefaultClientId;
  std::string token_group_ = kDefaultTokenGroup;
  std::vector<std::unique_ptr<TokenEntry>> tokens_;
  std::chrono::milliseconds login_wait_ = kDefaultLoginWait;
  std::atomic<bool> login_blocked_{false};
  // An eventfd that CancelLogin signals and a waiting login polls beside its
  // listener; -1 when the system gave none (a cancel then ends the login at
  // its next check only).
  int cancel_fd_ = -1;
};

}  // namespace belmor::korvex

#endif  // KORVEX_TRANSPORT_TOKEN_STORE_H_
