#ifndef KORVEX_CONFIG_CONFIG_H_
#define KORVEX_CONFIG_CONFIG_H_

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "common/exception.h"
#include "config/rule.h"

namespace belmor::korvex {

class AbstractDocumentLoader;
class CredentialCache;

// Every failure to get a complete configuration ends in this exception, with
// what went wrong as its cause.
// The macro inherits constructors by repeating the base name, so the base must
// be named without qualification.
using common::RuntimeException;
KORVEX_DECLARE_EXCEPTION(ConfigLoadException, RuntimeException, "Korvex Ordiva config load exception");

// One trust center the practice may send to, from a "center" element.
struct TrustCenter {
  int32_t id = 0;  // "TCid"; text that is not a number gives 0
  std::string label;
  std::string labelNEW;
  std::string esr;
  std::string ean;
  std::string rcpt;
  // "rcpt" split at ",", each item trimmed; empty items between two commas
  // stay, a trailing comma adds none.
  std::vector<std::string> recipients;
  std::string url;
  std::string tel;
  std::string iglog;
};

// The trust-center configuration: the rules for invoices, the trust centers,
// the current one, and the two caches of compiled documents the rules use.
// Filled by Parse (and the loaders) on the worker thread of a run. The
// centers, the current one and the two service URLs are also read and chosen
// by clients while a run works, so they are guarded and handed out as copies;
// the rules and the document caches belong to the worker alone.
class Config {
 public:
  Config();
  virtual ~Config();
  // Copies take the other's guarded members under its lock.
  Config(const Config& other);
  Config& operator=(const Config& other);

  virtual void SelectCenter(std::shared_ptr<TrustCenter> center);
  // The first center with this id; an unknown id keeps the current center.
  virtual void SelectCenter(int32_t id);
  // The first center whose labelNEW equals the name byte for byte; an unknown
  // name keeps the current center.
  virtual void SelectCenter(const std::string& name);
  virtual void SetPackageName(const std::string& v) { package_name_ = v; }
  virtual void SetUrlCert(const std::string& v) {
    std::lock_guard<std::mutex> lock(centersMutex_);
    url_cert_ = v;
  }
  virtual void SetUrlDown(const std::string& v) {
    std::lock_guard<std::mutex> lock(centersMutex_);
    url_down_ = v;
  }
  void SetTimestamp(const std::string& v) { timestamp_ = v; }
  void SetVersion(const std::string& v) { version_ = v; }
  void SetSystem(const std::string& v) { system_ = v; }

  const std::string& PackageName() const { return package_name_; }
  std::string UrlCert() const {
    std::lock_guard<std::mutex> lock(centersMutex_);
    return url_cert_;
  }
  std::string UrlDown() const {
    std::lock_guard<std::mutex> lock(centersMutex_);
    return url_down_;
  }
  const std::string& Timestamp() const { return timestamp_; }
  const std::string& Version() const { return version_; }
  const std::string& System() const { return system_; }

  std::shared_ptr<TrustCenter> CurrentCenter() const {
    std::lock_guard<std::mutex> lock(centersMutex_);
    return current_center_;
  }
  std::vector<std::shared_ptr<TrustCenter>> Centers() const {
    std::lock_guard<std::mutex> lock(centersMutex_);
    return centers_;
  }
  const std::vector<std::shared_ptr<Rule>>& Rules() const { return rules_; }
  void AddRule(std::shared_ptr<Rule> rule) { rules_.push_back(std::move(rule)); }
  void AddCenter(std::shared_ptr<TrustCenter> center) {
    std::lock_guard<std::mutex> lock(centersMutex_);
    centers_.push_back(std::move(center));
  }

  const std::shared_ptr<CredentialCache>& GetCredentialCache() const { return credential_cache_; }
  void SetCredentialCache(std::shared_ptr<CredentialCache> cache) { credential_cache_ = std::move(cache); }

  // Reads a configuration file into this object with a streaming parser.
  // Unknown or misplaced elements are ignored; a text that is not well-formed
  // stops at the fault, keeping what was read before it.
  void Parse(const std::string& text);

  // Whether there are rules, every rule is good and there are centers.
  bool Good() const;
  // The first rule whose selection expression matches the invoice text, or empty.
  std::shared_ptr<Rule> FindRule(const std::string& invoiceText) const;
  // Empties the caches, the rules and the centers; the current center and the
  // text members stay.
  void Clear();

  // Rebuilds both document caches from the names the rules use, fetching the
  // texts through the loaders, and attaches the documents to the rules.
  void ReloadDocumentCache(const std::shared_ptr<AbstractDocumentLoader>& schemaLoader,
                           const std::shared_ptr<AbstractDocumentLoader>& stylesheetLoader);
  void ApplyDocumentsToRules();

  std::map<std::string, std::shared_ptr<XsdDoc>>& SchemaCache() { return schema_cache_; }
  std::map<std::string, std::shared_ptr<XslDoc>>& StylesheetCache() { return stylesheet_cache_; }

 private:
  std::vector<std::shared_ptr<Rule>> rules_;
  // Guards centers_, current_center_, url_cert_ and url_down_.
  mutable std::mutex centersMutex_;
  std::vector<std::shared_ptr<TrustCenter>> centers_;
  std::shared_ptr<TrustCenter> current_center_;
  std::shared_ptr<CredentialCache> credential_cache_;
  std::string package_name_ = "kx-schemas.zip";
  std::string url_cert_;
  std::string url_down_;
  std::string timestamp_;
  std::string version_;
  std::string system_;
  std::map<std::string, std::shared_ptr<XslDoc>> stylesheet_cache_;
  std::map<std::string, std::shared_ptr<XsdDoc>> schema_cache_;
};

}  // namespace belmor::korvex

#endif  // KORVEX_CONFIG_CONFIG_H_
