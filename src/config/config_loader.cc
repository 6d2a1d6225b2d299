#include "config/config_loader.h"

#include <libxml/parser.h>
#include <libxml/xmlIO.h>

#include <algorithm>
#include <cstring>
#include <mutex>
#include <set>

#include "common/exception.h"
#include "config/documents.h"
#include "logging/log.h"

namespace belmor::korvex {

using common::RuntimeException;

namespace {

// The debug lines of the load steps; the online loader names itself in brackets.
struct LoadLines {
  const char* start;
  const char* load;
  const char* parse;
  const char* loadSchema;
  const char* validate;
  const char* validates;
};

constexpr LoadLines kPlainLines = {
    "ConfigLoader::Load",
    "ConfigLoader::Load: load config",
    "ConfigLoader::Load: parse config",
    "ConfigLoader::Load: load config schema",
    "ConfigLoader::Load: validate config",
    "ConfigLoader::Load: config validates",
};

constexpr LoadLines kBracketedLines = {
    "[ZipConfigLoader::Load]",
    "[ZipConfigLoader::Load][load config]",
    "[ZipConfigLoader::Load][parse config]",
    "[ZipConfigLoader::Load][load config schema]",
    "[ZipConfigLoader::Load][validate config]",
    "[ZipConfigLoader::Load][config validates]",
};

}  // namespace

const DocumentFetchException* FindFetchFailure(const common::Exception& e) {
  for (const common::Exception* link = &e; link; link = link->Cause()) {
    if (const auto* failure = dynamic_cast<const DocumentFetchException*>(link)) return failure;
  }
  return nullptr;
}

ConfigLoader::ConfigLoader(std::shared_ptr<AbstractDocumentLoader> configLoader,
                           std::shared_ptr<AbstractDocumentLoader> schemaLoader,
                           std::shared_ptr<AbstractDocumentLoader> stylesheetLoader)
    : configLoader_(std::move(configLoader)),
      schemaLoader_(std::move(schemaLoader)),
      stylesheetLoader_(std::move(stylesheetLoader)) {}

ConfigLoader::~ConfigLoader() = default;

void ConfigLoader::Load(const std::shared_ptr<Config>& config) { Load(config, "korvex.xml", "korvex.xsd"); }

void ConfigLoader::Load(const std::shared_ptr<Config>& config, const std::string& configName,
                        const std::string& schemaName) {
  try {
    RefDocumentLoader::EnsureRegistered();
    if (!config) throw RuntimeException("ConfigLoader::Load: no config");
    LoadAndValidate(*config, configName, schemaName, false);
    if (schemaLoader_ && stylesheetLoader_) {
      RefDocumentLoader::Init(config);
      config->ReloadDocumentCache(schemaLoader_, stylesheetLoader_);
    }
  } catch (...) {
    RaiseLoadFailure();
  }
}

void ConfigLoader::LoadAndValidate(Config& config, const std::string& configName, const std::string& schemaName,
                                   bool bracketedLog) {
  const LoadLines& lines = bracketedLog ? kBracketedLines : kPlainLines;
  if (!configLoader_ || !schemaLoader_) throw RuntimeException("ConfigLoader::Load: loader missing");

  KX_LOG(DEBUG) << lines.start;
  KX_LOG(DEBUG) << lines.load;
  configText_ = configLoader_->LoadDocument(configName);

  KX_LOG(DEBUG) << lines.parse;
  config.Parse(configText_);
  XmlDoc document(configText_);

  KX_LOG(DEBUG) << lines.loadSchema;
  schemaText_ = schemaLoader_->LoadDocument(schemaName);
  XsdDoc schema(schemaText_);

  KX_LOG(DEBUG) << lines.validate;
  if (!schema.Validate(document)) throw RuntimeException("ConfigLoader::Load: config.xml ist not valid");
  KX_LOG(DEBUG) << lines.validates;
}

void ConfigLoader::RaiseLoadFailure() {
  try {
    throw;
  } catch (const RuntimeException& e) {
    throw ConfigLoadException("Unable to load a complete config", e);
  } catch (...) {
    throw ConfigLoadException("Unable to load a complete config");
  }
}

// --- RefDocumentLoader --------------------------------------------------------

namespace {

// The process-wide state behind libxml2's input callbacks. The lock guards only
// the copy in and out: the callbacks must not hold it while a loader runs or a
// schema compiles, because compiling a schema calls them again.
struct RefState {
  std::mutex mutex;
  std::weak_ptr<Config> config;
  std::vector<std::shared_ptr<AbstractDocumentLoader>> loaders;
};

RefState& State() {
  static RefState state;
  return state;
}

// What an open hands to libxml2: its own copy of the text, so a cache reload
// while the parser reads cannot pull the bytes away.
struct RefStream {
  std::string text;
  size_t position = 0;
};

// The package is flat, so a reference can only mean the document of its last
// path component. libxml2 resolves a nested relative reference against the
// URI of the including document ("sub/a.xsd" including "../up/b.xsd" arrives
// as "up/b.xsd") and passes absolute URIs ("file:///x/b.xsd") as they are;
// both reach the same flat name this way. It also keeps a reference from
// leading a file loader out of its directory.
std::string DocumentName(const std::string& uri) {
  size_t slash = uri.find_last_of("/\\");
  return slash == std::string::npos ? uri : uri.substr(slash + 1);
}

bool IsSchemaName(const std::string& name) {
  return name.find(".xsd") != std::string::npos || name.find(".XSD") != std::string::npos;
}

// Names whose included schema this thread is compiling right now. Two schemas
// may include each other; without this, compiling one to cache it would open
// and compile the other, and so on until the stack runs out.
thread_local std::set<std::string> compiling;

void* NewStream(std::string text) {
  auto stream = std::make_unique<RefStream>();
  stream->text = std::move(text);
  return stream.release();
}

// Compiles a fetched schema and caches it under its name, so the next schema
// that refers to it gets it from memory. Stylesheets are not schemas and are
// only streamed; a schema that does not compile alone (it may lean on its
// includer) is streamed but not cached.
void CacheSchema(Config& config, const std::string& name, const std::string& text) {
  if (!IsSchemaName(name) || compiling.count(name) != 0) return;
  compiling.insert(name);
  try {
    auto doc = std::make_shared<XsdDoc>(text);
    if (doc->Good()) config.SchemaCache()[name] = std::move(doc);
  } catch (...) {
  }
  compiling.erase(name);
}

int RefMatch(const char* uri) {
  if (uri == nullptr) return 0;
  for (const char* extension : {".xsd", ".XSD", ".xsl", ".XSL"}) {
    if (std::strstr(uri, extension) != nullptr) return 1;
  }
  return 0;
}

void* RefOpen(const char* uri) {
  try {
    std::shared_ptr<Config> config;
    std::vector<std::shared_ptr<AbstractDocumentLoader>> loaders;
    {
      RefState& state = State();
      std::lock_guard<std::mutex> lock(state.mutex);
      config = state.config.lock();
      loaders = state.loaders;
    }
    if (!config || uri == nullptr) return nullptr;

    const std::string name = DocumentName(uri);
    auto& cache = config->SchemaCache();
    auto cached = cache.find(name);
    if (cached != cache.end() && cached->second && !cached->second->Text().empty()) {
      return NewStream(cached->second->Text());
    }
    for (const auto& loader : loaders) {
      std::string text;
      try {
        if (loader) text = loader->LoadDocument(name);
      } catch (...) {
        text.clear();
      }
      // A map loader answers an absent name with empty text: that is no document either.
      if (text.empty()) {
        KX_LOG(DEBUG) << "ConfigLoader::fileOpen: file not found: " << uri;
        continue;
      }
      CacheSchema(*config, name, text);
      return NewStream(std::move(text));
    }
  } catch (...) {
    // Nothing may cross back into libxml2; a failed open is all it can be told.
  }
  return nullptr;
}

int RefRead(void* context, char* buffer, int length) {
  if (context == nullptr || buffer == nullptr || length < 0) return -1;
  auto* stream = static_cast<RefStream*>(context);
  size_t count = std::min(static_cast<size_t>(length), stream->text.size() - stream->position);
  std::memcpy(buffer, stream->text.data() + stream->position, count);
  stream->position += count;
  return static_cast<int>(count);
}

int RefClose(void* context) {
  std::unique_ptr<RefStream> stream(static_cast<RefStream*>(context));
  return 0;
}

std::once_flag registration;

}  // namespace

void RefDocumentLoader::EnsureRegistered() {
  // libxml2's own handlers would read a reference that our loaders cannot
  // serve from the file system or the network (in clear text, for an http
  // import). Every document of this program is parsed from memory, so nothing
  // else needs them: they go, and ours are the only ones left. The parser is
  // initialised first, because its first initialisation would register the
  // defaults again.
  std::call_once(registration, [] {
    xmlInitParser();
    xmlCleanupInputCallbacks();
    if (xmlRegisterInputCallbacks(RefMatch, RefOpen, RefRead, RefClose) < 0) {
      throw RuntimeException("RefDocumentLoader::Init", "failed to register xmlRegisterInputCallbacks");
    }
  });
  // Every thread that parses comes through here first.
  RouteLibraryErrorsToDebugLog();
}

void RefDocumentLoader::Init(const std::shared_ptr<Config>& config) {
  EnsureRegistered();
  RefState& state = State();
  std::lock_guard<std::mutex> lock(state.mutex);
  state.config = config;
}

void RefDocumentLoader::SetLoaders(std::vector<std::shared_ptr<AbstractDocumentLoader>> loaders) {
  RefState& state = State();
  std::lock_guard<std::mutex> lock(state.mutex);
  state.loaders = std::move(loaders);
}

}  // namespace belmor::korvex
