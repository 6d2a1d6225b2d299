#include "transport/token_store.h"

#include <curl/curl.h>
#include <fcntl.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <utility>

#include "common/durable_file.h"
#include "common/exception.h"
#include "config/hin_defaults.h"
#include "logging/korvex_logger.h"
#include "logging/log.h"
#include "platform/command.h"
#include "platform/step_lock.h"
#include "transport/curl_transfer.h"
#include "transport/json.h"
#include "transport/oauth_redirect.h"

namespace belmor::korvex {

namespace {

int64_t Now() { return static_cast<int64_t>(std::time(nullptr)); }

// The longest a kept connection may have been idle to carry a token request.
constexpr long kTokenConnectionMaxIdleSeconds = 2;

std::string Or(const std::string& value, const char* fallback) { return value.empty() ? fallback : value; }

// Replaces path by bytes through a temporary file beside it that only the
// owner may read from its creation on; answers an error text, empty on success.
std::string WriteOwnerOnlyFile(const std::string& path, const std::string& bytes) {
  try {
    common::ReplaceFileAtomically(path, bytes, 0600);
    return std::string();
  } catch (const common::Exception& e) {
    return e.Text();
  }
}

std::string TokenFileText(const std::string& clientId, const std::string& tokenGroup,
                          const std::vector<std::unique_ptr<TokenEntry>>& tokens) {
  RpcValue list = RpcValue::MakeArray();
  for (const auto& entry : tokens) {
    RpcValue item = RpcValue::MakeStruct();
    item.AppendMember("hin_id", RpcValue::MakeString(entry->hin_id));
    item.AppendMember("access_token", RpcValue::MakeString(entry->access_token));
    item.AppendMember("refresh_token", RpcValue::MakeString(entry->refresh_token));
    // The file keeps a 32-bit number: the low half, read back signed. It
    // turns negative in 2038, when every token will look due.
    item.AppendMember("expire", RpcValue::MakeInt(static_cast<int32_t>(static_cast<uint32_t>(entry->expire))));
    list.Append(std::move(item));
  }
  RpcValue root = RpcValue::MakeStruct();
  root.AppendMember("client_id", RpcValue::MakeString(clientId));
  root.AppendMember("token_group", RpcValue::MakeString(tokenGroup));
  root.AppendMember("tokens", std::move(list));
  std::ostringstream out;
  WriteJson(root, out);
  return out.str();
}

bool Usable(const std::optional<TokenEntry>& entry) {
  return entry && !entry->access_token.empty() && entry->expire >= Now();
}

}  // namespace

TokenStore::TokenStore(std::string path)
    : path_(std::move(path)), cancel_fd_(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {}

TokenStore::~TokenStore() {
  if (cancel_fd_ >= 0) ::close(cancel_fd_);
}

void TokenStore::CancelLogin() {
  login_blocked_ = true;
  if (cancel_fd_ >= 0) {
    const uint64_t one = 1;
    // Only fails when the counter is full, and then it is signalled anyway.
    [[maybe_unused]] ssize_t written = ::write(cancel_fd_, &one, sizeof one);
  }
}

void TokenStore::BeginRun() {
  if (cancel_fd_ >= 0) {
    uint64_t count = 0;
    [[maybe_unused]] ssize_t drained = ::read(cancel_fd_, &count, sizeof count);
  }
  login_blocked_ = false;
}

void TokenStore::Load() {
  std::lock_guard<std::mutex> lock(data_mutex_);
  if (loaded_) return;
  loaded_ = true;
  try {
    RpcValue root;
    std::ifstream in(path_, std::ios::binary);
    if (in) ReadJson(root, in);
    root.AsStruct();
    client_id_ = root.GetMember("client_id").AsString();
    token_group_ = root.GetMember("token_group").AsString();
    for (const RpcValue& item : root.GetMember("tokens").AsArray()) {
      auto entry = std::make_unique<TokenEntry>();
      entry->hin_id = item.GetMember("hin_id").AsString();
      entry->access_token = item.GetMember("access_token").AsString();
      entry->refresh_token = item.GetMember("refresh_token").AsString();
      entry->expire = item.GetMember("expire").AsInt();
      tokens_.push_back(std::move(entry));
    }
  } catch (const RpcError& e) {
    KX_LOG(DEBUG) << "[TokenStore::Load][" << path_ << "][" << e.Message() << "]";
    client_id_ = kDefaultClientId;
    token_group_ = kDefaultTokenGroup;
  }
}

void TokenStore::Save() {
  std::lock_guard<std::mutex> lock(data_mutex_);
  if (!loaded_) return;
  // Written under the lock so two saves cannot overtake each other's rename.
  std::string error = WriteOwnerOnlyFile(path_, TokenFileText(client_id_, token_group_, tokens_));
  if (!error.empty()) KX_LOG(DEBUG) << "[TokenStore::Save][" << error << "]";
}

TokenEntry* TokenStore::LookupLocked() {
  for (auto& entry : tokens_) {
    if (entry->hin_id == current_login_) return entry.get();
  }
  return nullptr;
}

std::optional<TokenEntry> TokenStore::Lookup() {
  std::lock_guard<std::mutex> lock(data_mutex_);
  TokenEntry* entry = LookupLocked();
  if (entry == nullptr) return std::nullopt;
  return *entry;
}

std::string TokenStore::GetAccessToken() {
  common::MutexLock lock(this);
  Load();
  std::optional<TokenEntry> entry = Lookup();
  if (Usable(entry)) return entry->access_token;
  // Checked after the lock: requests that waited for a login which then
  // failed give up at once instead of starting one each.
  if (login_blocked_) {
    KX_LOG(DEBUG) << "[TokenStore::GetAccessToken][no login in this run any more: the last one failed or was "
                     "cancelled]";
    return std::string();
  }
  if (entry && !entry->refresh_token.empty()) {
    // The body is built first: the entry is moved into the call.
    const std::string body = "grant_type=refresh_token&refresh_token=" + EscapeUrlComponent(entry->refresh_token) +
                             "&client_id=" + EscapeUrlComponent(ClientId());
    entry = RequestToken(body, std::move(entry));
    if (Usable(entry)) return entry->access_token;
  }
  std::optional<TokenEntry> login;
  try {
    login = RunLogin();
  } catch (...) {
    login_blocked_ = true;
    throw;
  }
  if (login) return login->access_token;
  login_blocked_ = true;
  return entry ? entry->access_token : std::string();
}

std::optional<TokenEntry> TokenStore::RunLogin() {
  if (login_blocked_) return std::nullopt;
  RedirectListener listener;
  if (!listener.Open()) return std::nullopt;
  const std::string state = NewLoginState();
  if (state.empty()) {
    KX_LOG(DEBUG) << "[TokenStore::GetAccessToken][no random state for the login]";
    return std::nullopt;
  }
  const TransportSettings settings = CurrentTransportSettings();
  std::optional<PkcePair> pkce;
  if (settings.hinPkce) {
    pkce = NewPkcePair();
    if (!pkce) {
      KX_LOG(DEBUG) << "[TokenStore::GetAccessToken][no random verifier for the login]";
      return std::nullopt;
    }
  }
  const std::string redirect = "http://localhost:" + std::to_string(listener.Port()) + "/";
  const std::string authCodeUrl =
      Or(settings.hinAuthUrl, kDefaultHinAuthUrl) + "/REST/v1/OAuth/GetAuthCode/" + EscapeUrlComponent(TokenGroup());
  std::string url = authCodeUrl + "?response_type=code&client_id=" + EscapeUrlComponent(ClientId()) +
                    "&redirect_uri=" + EscapeUrlComponent(redirect) + "&state=" + state;
  if (pkce) url += "&code_challenge=" + pkce->challenge + "&code_challenge_method=S256";
  // The browser gets a page beside the step lock, in the user's private
  // directory, never the URL: every user of the machine can read the
  // arguments of a process, and the state and the port would let them send
  // the listener a code of their own.
  LoginPageFile page;
  if (!page.Create(std::filesystem::path(platform::StepLockFile(platform::kRunLockName)).parent_path().string(),
                   url)) {
    return std::nullopt;
  }
  // The state stays out of the debug log as well.
  KX_LOG(DEBUG) << "[TokenStore::GetAccessToken][login][" << authCodeUrl << "][listener port " << listener.Port()
                << (pkce ? ", PKCE" : ", without PKCE") << "][" << page.Path() << "]";
  if (!platform::OpenInBrowser(page.Path())) {
    // Nobody could come back; waiting would only hold every request up.
    KX_LOG(DEBUG) << "[TokenStore::GetAccessToken][the browser could not be started]";
    return std::nullopt;
  }
  std::chrono::milliseconds wait;
  {
    std::lock_guard<std::mutex> lock(data_mutex_);
    wait = login_wait_;
  }
  std::optional<std::string> code =
      listener.WaitForCode(state, Or(settings.hinStartPage, kDefaultHinStartPage), wait, cancel_fd_);
  // The browser has read the page by now, or never will.
  page.Remove();
  if (!code || login_blocked_) return std::nullopt;
  // The code is passed on as it came in the query, still URL-encoded.
  std::string body = "grant_type=authorization_code&redirect_uri=" + redirect + "&code=" + *code +
                     "&client_id=" + EscapeUrlComponent(ClientId());
  if (pkce) body += "&code_verifier=" + pkce->verifier;
  return PostTokenRequest(body);
}

std::optional<TokenEntry> TokenStore::RequestToken(const std::string& body, std::optional<TokenEntry> entry) {
  std::optional<TokenEntry> applied = PostTokenRequest(body);
  return applied ? applied : entry;
}

namespace {

// Aborts a token request once the run is cancelled.
int AbortWhenBlocked(void* blocked, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
  return static_cast<const std::atomic<bool>*>(blocked)->load() ? 1 : 0;
}

}  // namespace

std::optional<TokenEntry> TokenStore::PostTokenRequest(const std::string& body) {
  const std::shared_ptr<ConnectionPool> pool = ConnectionPool::Current();
  CurlHandle curl = NewCurlHandle();
  if (!curl) return std::nullopt;
  const TransportSettings settings = CurrentTransportSettings();
  const std::string url = Or(settings.hinTokenUrl, kDefaultHinTokenUrl) + "/REST/v1/OAuth/GetAccessToken";
  std::string response;
  pool->Attach(curl.get());
  curl_easy_setopt(curl.get(), CURLOPT_URL, url.c_str());
  // The body carries the authorization code or the refresh token: never in
  // clear text, never on to wherever a redirect points.
  curl_easy_setopt(curl.get(), CURLOPT_PROTOCOLS_STR, "https");
  curl_easy_setopt(curl.get(), CURLOPT_FOLLOWLOCATION, 0L);
  // Read through a callback that refuses to rewind: a request the service
  // may already have acted on (a code used up, a refresh token turned over)
  // is never sent a second time.
  RequestBody source{&body};
  curl_easy_setopt(curl.get(), CURLOPT_POST, 1L);
  SendBodyOnce(curl.get(), &source);
  // Since a request that dies on a kept connection is not repeated, a
  // connection the service may be about to close is not taken for it.
  curl_easy_setopt(curl.get(), CURLOPT_MAXAGE_CONN, kTokenConnectionMaxIdleSeconds);
  ReplyBody reply{&response, kTokenReplyLimit};
  CollectReply(curl.get(), &reply);
  // The same limits as every other request: the store's lock is held
  // meanwhile, so a hung token endpoint must not hold up all requests.
  ApplyTransferLimits(curl.get(), settings);
  curl_easy_setopt(curl.get(), CURLOPT_XFERINFOFUNCTION, AbortWhenBlocked);
  curl_easy_setopt(curl.get(), CURLOPT_XFERINFODATA, &login_blocked_);
  curl_easy_setopt(curl.get(), CURLOPT_NOPROGRESS, 0L);

  CURLcode result = curl_easy_perform(curl.get());
  if (result != CURLE_OK) {
    KX_LOG(DEBUG) << "[TokenStore::RequestToken][" << url << "][curl_easy_perform() failed: "
                  << curl_easy_strerror(result)
                  << (result == CURLE_SEND_FAIL_REWIND ? "; the request is not sent again" : "") << "]";
    return std::nullopt;
  }
  long status = 0;
  curl_easy_getinfo(curl.get(), CURLINFO_RESPONSE_CODE, &status);
  // The reply carries the tokens themselves, so only its size is logged.
  KX_LOG(DEBUG) << "[TokenStore::RequestToken][" << url << "][status=" << status << ", " << response.size()
                << " bytes]";
  if (status < 200 || status > 299) return std::nullopt;
  size_t close = response.rfind('}');
  if (close != std::string::npos) response.resize(close);
  std::istringstream in(response);
  RpcValue value;
  ReadJson(value, in);
  return ApplyTokenResponse(value);
}

TokenEntry TokenStore::ApplyTokenResponse(const RpcValue& value) {
  Load();
  // Every member is taken before anything changes: a reply that lacks one
  // must not leave a half-filled entry or a changed login behind.
  value.AsStruct();
  const std::string hinId = value.GetMember("hin_id").AsString();
  const std::string accessToken = value.GetMember("access_token").AsString();
  const std::string refreshToken = value.GetMember("refresh_token").AsString();
  const int32_t expiresIn = value.GetMember("expires_in").AsInt();
  // Due after two thirds of the granted lifetime. 64-bit arithmetic: a huge
  // expires_in must not overflow into an expiry in the past.
  const int64_t expire = Now() + (2 * static_cast<int64_t>(expiresIn)) / 3;

  TokenEntry result;
  {
    std::lock_guard<std::mutex> lock(data_mutex_);
    current_login_ = hinId;
    TokenEntry* entry = LookupLocked();
    if (entry == nullptr) {
      tokens_.push_back(std::make_unique<TokenEntry>());
      entry = tokens_.back().get();
    }
    entry->hin_id = hinId;
    entry->access_token = accessToken;
    entry->refresh_token = refreshToken;
    entry->expire = expire;
    result = *entry;
  }
  Save();
  StoreHinLogin(hinId);
  return result;
}

void TokenStore::TokenRefused() {
  Load();
  DropCurrentLogin();
}

void TokenStore::DropCurrentLogin() {
  {
    std::lock_guard<std::mutex> lock(data_mutex_);
    for (auto it = tokens_.begin(); it != tokens_.end(); ++it) {
      if ((*it)->hin_id == current_login_) {
        tokens_.erase(it);
        break;
      }
    }
    current_login_ = " ";
  }
  StoreHinLogin(" ");
}

void TokenStore::StoreHinLogin(const std::string& login) {
  const TransportSettings settings = CurrentTransportSettings();
  if (!settings.storeHinLogin) return;
  // The token is good whether or not the settings file could be written; a
  // failure there must not fail the request that needed the token.
  try {
    settings.storeHinLogin(login);
  } catch (const std::exception& e) {
    KX_LOG(DEBUG) << "[TokenStore::StoreHinLogin][" << e.what() << "]";
  }
}

void TokenStore::SelectLogin(const std::string& login) {
  std::lock_guard<std::mutex> lock(data_mutex_);
  current_login_ = login;
}

std::vector<std::string> TokenStore::GetLogins() {
  Load();
  std::vector<std::string> logins;
  {
    std::lock_guard<std::mutex> lock(data_mutex_);
    for (const auto& entry : tokens_) logins.push_back(entry->hin_id);
  }
  logins.push_back(KorvexLogger::GetMessageText(64));
  return logins;
}

std::string TokenStore::CurrentLogin() const {
  std::lock_guard<std::mutex> lock(data_mutex_);
  return current_login_;
}

std::string TokenStore::ClientId() const {
  std::lock_guard<std::mutex> lock(data_mutex_);
  return client_id_;
}

std::string TokenStore::TokenGroup() const {
  std::lock_guard<std::mutex> lock(data_mutex_);
  return token_group_;
}

std::vector<TokenEntry> TokenStore::Entries() const {
  std::lock_guard<std::mutex> lock(data_mutex_);
  std::vector<TokenEntry> entries;
  for (const auto& entry : tokens_) entries.push_back(*entry);
  return entries;
}

void TokenStore::SetLoginWait(std::chrono::milliseconds wait) {
  std::lock_guard<std::mutex> lock(data_mutex_);
  login_wait_ = wait;
}

}  // namespace belmor::korvex
