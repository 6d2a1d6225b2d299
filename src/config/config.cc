#include "config/config.h"

#include "logging/log.h"

namespace belmor::korvex {

Config::Config() = default;

Config::~Config() = default;

Config::Config(const Config& other)
    : rules_(other.rules_),
      credential_cache_(other.credential_cache_),
      package_name_(other.package_name_),
      timestamp_(other.timestamp_),
      version_(other.version_),
      system_(other.system_),
      stylesheet_cache_(other.stylesheet_cache_),
      schema_cache_(other.schema_cache_) {
  std::lock_guard<std::mutex> lock(other.centersMutex_);
  centers_ = other.centers_;
  current_center_ = other.current_center_;
  url_cert_ = other.url_cert_;
  url_down_ = other.url_down_;
}

Config& Config::operator=(const Config& other) {
  if (this == &other) return *this;
  rules_ = other.rules_;
  credential_cache_ = other.credential_cache_;
  package_name_ = other.package_name_;
  timestamp_ = other.timestamp_;
  version_ = other.version_;
  system_ = other.system_;
  stylesheet_cache_ = other.stylesheet_cache_;
  schema_cache_ = other.schema_cache_;
  std::scoped_lock lock(centersMutex_, other.centersMutex_);
  centers_ = other.centers_;
  current_center_ = other.current_center_;
  url_cert_ = other.url_cert_;
  url_down_ = other.url_down_;
  return *this;
}

void Config::SelectCenter(std::shared_ptr<TrustCenter> center) {
  std::lock_guard<std::mutex> lock(centersMutex_);
  current_center_ = std::move(center);
}

void Config::SelectCenter(int32_t id) {
  std::lock_guard<std::mutex> lock(centersMutex_);
  for (const auto& center : centers_) {
    if (center->id == id) {
      current_center_ = center;
      return;
    }
  }
}

void Config::SelectCenter(const std::string& name) {
  std::lock_guard<std::mutex> lock(centersMutex_);
  for (const auto& center : centers_) {
    if (center->labelNEW == name) {
      current_center_ = center;
      return;
    }
  }
}

bool Config::Good() const {
  if (rules_.empty()) {
    KX_LOG(DEBUG) << "Config::Good rule list empty";
    return false;
  }
  for (const auto& rule : rules_) {
    if (!rule->Good()) {
      KX_LOG(DEBUG) << "Config::Good " << rule->Version() << " failed";
      return false;
    }
  }
  if (Centers().empty()) {
    KX_LOG(DEBUG) << "Config::Good center list empty";
    return false;
  }
  return true;
}

std::shared_ptr<Rule> Config::FindRule(const std::string& invoiceText) const {
  for (const auto& rule : rules_) {
    // A regex element without an expression counts as no selection at all:
    // asking it would raise for every invoice instead of letting a later rule apply.
    const auto& selection = rule->Selection();
    if (!selection || selection->Expression().empty()) continue;
    if (selection->IsValid(invoiceText)) return rule;
  }
  return nullptr;
}

void Config::Clear() {
  stylesheet_cache_.clear();
  schema_cache_.clear();
  rules_.clear();
  std::lock_guard<std::mutex> lock(centersMutex_);
  centers_.clear();
}

}  // namespace belmor::korvex
