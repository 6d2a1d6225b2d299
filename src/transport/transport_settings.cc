#include "transport/transport_settings.h"

#include <mutex>
#include <utility>

namespace belmor::korvex {

namespace {

std::mutex& SettingsMutex() {
  static std::mutex mutex;
  return mutex;
}

TransportSettings& Settings() {
  static TransportSettings settings;
  return settings;
}

std::shared_ptr<AccessTokenProvider>& Provider() {
  static std::shared_ptr<AccessTokenProvider> provider;
  return provider;
}

}  // namespace

void SetTransportSettings(TransportSettings settings) {
  std::lock_guard<std::mutex> lock(SettingsMutex());
  Settings() = std::move(settings);
}

TransportSettings CurrentTransportSettings() {
  std::lock_guard<std::mutex> lock(SettingsMutex());
  return Settings();
}

void SetAccessTokenProvider(std::shared_ptr<AccessTokenProvider> provider) {
  std::lock_guard<std::mutex> lock(SettingsMutex());
  Provider() = std::move(provider);
}

std::shared_ptr<AccessTokenProvider> CurrentAccessTokenProvider() {
  std::lock_guard<std::mutex> lock(SettingsMutex());
  return Provider();
}

}  // namespace belmor::korvex
