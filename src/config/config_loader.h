#ifndef KORVEX_CONFIG_CONFIG_LOADER_H_
#define KORVEX_CONFIG_CONFIG_LOADER_H_

#include <memory>
#include <string>
#include <vector>

#include "config/config.h"
#include "config/document_loader.h"

namespace belmor::korvex {

// A document of an online load that could not be fetched, and why: the
// practice is told whether the trust center was not reached, answered with
// an HTTP error, or wants a HIN login, instead of hearing that the
// configuration is incomplete. The loaders keep it as the cause of their
// ConfigLoadException; FindFetchFailure digs it out.
KORVEX_DECLARE_EXCEPTION(DocumentFetchException, RuntimeException, "Document not fetched");
// No connection: the host could not be reached or the connection broke.
KORVEX_DECLARE_EXCEPTION(TrustCenterUnreachableException, DocumentFetchException, "Trust center not reached");
// An answer outside 200..299 other than 401; Code() is the HTTP status.
KORVEX_DECLARE_EXCEPTION(TrustCenterStatusException, DocumentFetchException, "Trust center answered with an error");
// No token to send (no login, a login that failed or was cancelled) or a
// token the trust center refused (401).
KORVEX_DECLARE_EXCEPTION(HinLoginRequiredException, DocumentFetchException, "HIN login required");

// The fetch failure in e or its causes, nearest first; null when the load
// failed for another reason (a document that does not parse or validate).
const DocumentFetchException* FindFetchFailure(const common::Exception& e);

// Loads a configuration file and its schema through document loaders, checks
// the file against the schema and, with a schema and a stylesheet loader,
// fills the configuration's document caches. Every failure is a
// ConfigLoadException "Unable to load a complete config" with its cause.
class ConfigLoader {
 public:
  ConfigLoader(std::shared_ptr<AbstractDocumentLoader> configLoader,
               std::shared_ptr<AbstractDocumentLoader> schemaLoader,
               std::shared_ptr<AbstractDocumentLoader> stylesheetLoader);
  virtual ~ConfigLoader();

  virtual void Load(const std::shared_ptr<Config>& config, const std::string& configName,
                    const std::string& schemaName);
  virtual void Load(const std::shared_ptr<Config>& config);

  // The texts of the last load, stored by the engine as local copies.
  const std::string& ConfigText() const { return configText_; }
  const std::string& SchemaText() const { return schemaText_; }

 protected:
  // Fetches, parses and validates the configuration file; bracketedLog picks
  // the online loader's debug lines.
  void LoadAndValidate(Config& config, const std::string& configName, const std::string& schemaName,
                       bool bracketedLog);
  // Rethrows the exception being handled as ConfigLoadException "Unable to load
  // a complete config", keeping it as the cause when it is a RuntimeException.
  [[noreturn]] static void RaiseLoadFailure();

  std::shared_ptr<AbstractDocumentLoader> configLoader_;
  std::shared_ptr<AbstractDocumentLoader> schemaLoader_;
  std::shared_ptr<AbstractDocumentLoader> stylesheetLoader_;
  std::string configText_;
  std::string schemaText_;
};

// Resolves references between documents (schema includes and imports,
// stylesheet includes) for libxml2 from the configuration's schema cache and
// the registered loaders, never from the file system or the network. A
// reference is looked up by its last path component, as the package is flat.
// Its input callbacks are registered once per process, and libxml2's default
// ones are removed then: from then on no libxml2 parse in this process reads a
// file or URL by itself. Every parse and compile of this library registers
// them first, so even the first schema of a start cannot fetch an import.
// The state is process-wide and locked; the configuration is held weakly.
class RefDocumentLoader {
 public:
  // Registers the callbacks if not yet done (once per process, thread-safe)
  // and makes this configuration the one whose cache serves references.
  static void Init(const std::shared_ptr<Config>& config);
  // Registers the callbacks if not yet done; until an Init names a
  // configuration they serve only what the loaders can give (none: nothing).
  // Also routes the libraries' own error messages of the calling thread to
  // the debug log (RouteLibraryErrorsToDebugLog).
  static void EnsureRegistered();
  // Replaces the loaders asked for references that are not cached.
  static void SetLoaders(std::vector<std::shared_ptr<AbstractDocumentLoader>> loaders);
};

}  // namespace belmor::korvex

#endif  // KORVEX_CONFIG_CONFIG_LOADER_H_
