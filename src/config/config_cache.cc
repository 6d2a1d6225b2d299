// The document caches of Config: rebuilt from the names the rules use and
// attached to the rules' validators and transformers.
#include <vector>

#include "common/exception.h"
#include "config/config.h"
#include "config/config_loader.h"
#include "config/document_loader.h"
#include "logging/log.h"

namespace belmor::korvex {

using common::RuntimeException;

namespace {

// Fetches and compiles every document of the cache. The names are taken
// before the first compile: compiling a schema may cache the schemas it
// includes, and those are already complete, so they are not fetched again.
template <typename Doc>
void LoadAll(std::map<std::string, std::shared_ptr<Doc>>& cache, AbstractDocumentLoader& loader,
             const char* kind) {
  std::vector<std::string> names;
  names.reserve(cache.size());
  for (const auto& entry : cache) names.push_back(entry.first);
  for (const auto& name : names) {
    try {
      cache[name] = std::make_shared<Doc>(loader.LoadDocument(name));
    } catch (const RuntimeException& e) {
      std::string message = std::string("Config::ReloadDocumentCache load ") + kind + " document " + name + " failed: ";
      KX_LOG(ERROR) << message;
      throw RuntimeException(message, e);
    }
  }
}

}  // namespace

void Config::ReloadDocumentCache(const std::shared_ptr<AbstractDocumentLoader>& schemaLoader,
                                 const std::shared_ptr<AbstractDocumentLoader>& stylesheetLoader) {
  KX_LOG(DEBUG) << "Config::ReloadDocumentCache";
  if (!schemaLoader || !stylesheetLoader) throw RuntimeException("Config::ReloadDocumentCache: loader missing");

  schema_cache_.clear();
  stylesheet_cache_.clear();
  for (const auto& rule : rules_) {
    for (const auto& validator : rule->Validators()) schema_cache_[validator->Name()];
    for (const auto& transformer : rule->Transformers()) stylesheet_cache_[transformer->Name()];
    if (rule->DuplicateCheck()) stylesheet_cache_[rule->DuplicateCheck()->Name()];
  }

  KX_LOG(DEBUG) << "Config::ReloadDocumentCache: clean an register RefDocLoader";
  RefDocumentLoader::SetLoaders({schemaLoader});

  KX_LOG(DEBUG) << "Config::ReloadDocumentCache: load all XSD documents";
  LoadAll(schema_cache_, *schemaLoader, "xsd");
  KX_LOG(DEBUG) << "Config::ReloadDocumentCache: load all XSL documents";
  LoadAll(stylesheet_cache_, *stylesheetLoader, "xsl");

  ApplyDocumentsToRules();
}

void Config::ApplyDocumentsToRules() {
  KX_LOG(DEBUG) << "Config::ApplyDocumentsToRules";
  for (const auto& rule : rules_) {
    for (const auto& validator : rule->Validators()) validator->SetDocument(schema_cache_[validator->Name()]);
    for (const auto& transformer : rule->Transformers()) {
      transformer->SetDocument(stylesheet_cache_[transformer->Name()]);
    }
    if (const auto& check = rule->DuplicateCheck()) check->SetDocument(stylesheet_cache_[check->Name()]);
  }
}

}  // namespace belmor::korvex
