#include "transport/oauth_client.h"

#include <atomic>
#include <cstdlib>
#include <mutex>

#include "common/path.h"
#include "logging/korvex_logger.h"
#include "logging/log.h"
#include "platform/folders.h"

namespace belmor::korvex {

namespace {

struct HolderSlot {
  std::mutex mutex;
  std::shared_ptr<oauth> holder;
};

// Set once exit handlers run: the provider registry may be gone by the time a
// holder kept alive by another static ends, so it is no longer touched.
std::atomic<bool> exiting{false};

HolderSlot& Slot();

void SaveAtExit() {
  exiting = true;
  HolderSlot& slot = Slot();
  std::lock_guard<std::mutex> lock(slot.mutex);
  if (slot.holder) slot.holder->Store()->Save();
}

// Never destroyed, so a client that outlives static destruction still finds
// it. The token file is written at exit by a handler registered after the
// logger and the provider registry exist, so both are still there when it runs.
HolderSlot& Slot() {
  static HolderSlot* slot = [] {
    log::CurrentLogger();
    CurrentAccessTokenProvider();
    std::atexit(SaveAtExit);
    return new HolderSlot;
  }();
  return *slot;
}

}  // namespace

oauth::oauth(const std::string& path) : store_(std::make_shared<TokenStore>(path)) {
  SetAccessTokenProvider(store_);
}

oauth::~oauth() {
  store_->Save();
  // A test or another holder may have installed its own provider meanwhile.
  if (!exiting && CurrentAccessTokenProvider() == store_) SetAccessTokenProvider(nullptr);
}

std::shared_ptr<oauth> oauth::Instance(const std::string& path) {
  HolderSlot& slot = Slot();
  std::lock_guard<std::mutex> lock(slot.mutex);
  if (!slot.holder) slot.holder.reset(new oauth(path));
  return slot.holder;
}

void oauth::Release() {
  std::shared_ptr<oauth> last;
  {
    HolderSlot& slot = Slot();
    std::lock_guard<std::mutex> lock(slot.mutex);
    last = std::move(slot.holder);
  }
  // Destroyed here, outside the slot's lock, when nobody else holds it.
}

std::string OAuthClient::TokenFilePath() {
  common::Path path(platform::RoamingAppDataFolder(), true);
  path.PushDirectory("Belmor");
  path.PushDirectory("korvex-ordiva");
  path.SetFileName(kTokenFileName);
  return path.ToString();
}

bool OAuthClient::Init() {
  if (holder_) return true;
  holder_ = oauth::Instance(TokenFilePath());
  return true;
}

void OAuthClient::Shutdown() {
  holder_.reset();
  oauth::Release();
}

std::string OAuthClient::GetVersion() { return "Korvex oAuth Client V 1.0.1"; }

std::vector<std::string> OAuthClient::GetLogins() {
  if (!holder_) return {KorvexLogger::GetMessageText(64)};
  return holder_->Store()->GetLogins();
}

bool OAuthClient::SelectLogin(const std::string& login) {
  if (!holder_) return false;
  holder_->Store()->SelectLogin(login);
  return true;
}

void OAuthClient::BeginRun() {
  if (holder_) holder_->Store()->BeginRun();
}

void OAuthClient::Cancel() {
  if (holder_) holder_->Store()->CancelLogin();
}

bool OAuthClient::ClearText(std::string& text) {
  text.clear();
  return true;
}

std::shared_ptr<TokenStore> OAuthClient::Store() const { return holder_ ? holder_->Store() : nullptr; }

}  // namespace belmor::korvex
