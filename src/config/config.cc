#include "config/config.h"

#include "logging/log.h"

namespace belmor::korvex {

Config::Config() = default;

Config::~Config() = default;

void Config::SelectCenter(std::shared_ptr<TrustCenter> center) { current_center_ = std::move(center); }

void Config::SelectCenter(int32_t id) {
  for (const auto& center : centers_) {
    if (center->id == id) {
      current_center_ = center;
      return;
    }
  }
}

void Config::SelectCenter(const std::string& name) {
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
  if (centers_.empty()) {
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
  centers_.clear();
}

}  // namespace belmor::korvex
