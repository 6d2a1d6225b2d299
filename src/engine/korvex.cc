#include "engine/korvex.h"

#include <libxml/parser.h>
#include <sys/types.h>

#include <algorithm>
#include <exception>
#include <fstream>
#include <iterator>
#include <mutex>
#include <string>
#include <vector>

#include "common/durable_file.h"
#include "common/exception.h"
#include "common/file.h"
#include "common/regex.h"
#include "config/client_config.h"
#include "config/config_loader.h"
#include "config/document_loader.h"
#include "config/kx_client_config.h"
#include "config/zip_config_loader.h"
#include "engine/http_online_services.h"
#include "engine/online_services.h"
#include "engine/processing.h"
#include "logging/korvex_logger.h"
#include "logging/log.h"
#include "logging/messages.h"
#include "logging/report.h"
#include "pipeline/abstract_step.h"
#include "pipeline/duplicate_log.h"
#include "pipeline/pending_journal.h"
#include "pipeline/read_step.h"
#include "pipeline/received_list.h"
#include "pipeline/step_semaphore.h"
#include "pipeline/send_step.h"
#include "pipeline/transform_step.h"
#include "pipeline/valid_step.h"
#include "pipeline/write_step.h"
#include "platform/folders.h"
#include "platform/identity.h"
#include "platform/step_lock.h"
#include "platform/ui_language.h"
#include "transport/credential_cache.h"
#include "transport/curl_transfer.h"
#include "transport/http_client.h"
#include "transport/input_gate_client.h"
#include "transport/security_client.h"
#include "transport/transport_settings.h"
#include "transport/xslt_function.h"

namespace belmor::korvex {

namespace {

constexpr const char* kConfigFile = "korvex.xml";
constexpr const char* kSchemaFile = "korvex.xsd";
constexpr const char* kNoTimestamp = "000000000";
constexpr const char* kDuplicateLogFile = "korvex.log";
// Where the duplicate log lived last, in the application-data directory: a
// start that finds the settings naming another work base carries it over.
constexpr const char* kWorkBaseFile = "korvex.workbase";
// A configuration older than ten hours is fetched again.
constexpr double kMaxConfigAge = 36000;
// The oldest libxml2 the product is built and tested against (2.9.12).
constexpr int kMinLibxmlVersion = 20912;
// The report of a damaged local configuration copy: the code of a failed
// configuration load and its text "Konfiguration ist nicht komplett".
constexpr int32_t kCodeLocalConfigDamaged = 30;
constexpr int kTextConfigIncomplete = 58;
// A downloaded configuration whose local copy could not be stored.
constexpr int32_t kCodeLocalCopyNotStored = 48;
constexpr int kTextLocalCopyNotStored = 72;

// Never destroyed: the engine lives until the process ends, and tearing it
// down among the other statics at exit could reach loggers already gone.
struct FactoryState {
  std::mutex mutex;
  std::shared_ptr<Korvex> engine;
};
FactoryState& Factory() {
  static auto* state = new FactoryState;
  return *state;
}

}  // namespace

Korvex::Korvex() : resourcePath_(platform::ProgramDirectory(), true) {
  KX_LOG(DEBUG) << "Korvex::Korvex: resource path=" << resourcePath_.ToString();
}

// libxml2 is not cleaned up here: documents, schemas and the reference
// loader's input callbacks outlive any one engine, and xmlCleanupParser would
// drop those callbacks and let later parses read files and URLs again.
Korvex::~Korvex() = default;

// --- start-up -------------------------------------------------------------------

void Korvex::Init() {
  try {
    if (!clientConfig_) throw common::ApplicationException("config not initalized");

    logger_ = std::make_shared<KorvexLogger>(clientConfig_->GetDebug() ? log::DEBUG : log::INFO,
                                             SessionLoggerSettings(shared_from_this()));

    KX_LOG(INFO) << "[starting korvex][version 5.0.3-]";
    KX_LOG(INFO) << "[Korvex::Init][starting korvex][Debug mode = " << (clientConfig_->GetDebug() ? 1 : 0) << "]";
    KX_LOG(DEBUG) << "[Korvex::Init][client config initialized]";

    CreateWorkDirectories();
    PublishTransportSettings();
    // The trust center's real services unless a test gave its own.
    if (!onlineServices_) onlineServices_ = std::make_shared<HttpOnlineServices>();

    // The process environment stays out of the debug log: it may hold
    // passwords and tokens.
    KX_LOG(INFO) << "[Korvex::Init][running us user=" << platform::UserName() << "]";
    KX_LOG(INFO) << "[ClientConfig::ClientConfig][forceLocalConfig=" << (clientConfig_->GetForceLocalConfig() ? 1 : 0)
                 << "][certUrl=" << clientConfig_->GetCertUrl() << "][downUrl=" << clientConfig_->GetDownUrl()
                 << "]";

    stepSemaphore_ = std::make_shared<StepSemaphore>(platform::kRunLockName);

    xmlInitParser();
    xmlCheckVersion(kMinLibxmlVersion);
    KX_LOG(DEBUG) << "[Korvex::Init][lib xml initalized]";

    LoadUntrustedConfig();
    KX_LOG(INFO) << "[Korvex::Init][config loaded and validated]";

    RegisterStylesheetFunctions();

    KorvexLogger::RegisterMessageTable("de", GermanMessageTable());
    KorvexLogger::RegisterMessageTable("fr", FrenchMessageTable());
    SetLanguage(platform::UiLanguage() == "fr" ? "fr" : "de");

    SelectDefaultTrustCenter();
    OpenDuplicateLog();
  } catch (const common::Exception& e) {
    throw common::ApplicationException("Korvex init failed", e);
  } catch (...) {
    throw common::ApplicationException("Korvex init failed");
  }
  KX_LOG(DEBUG) << "[Korvex::Init]: successfully done";
}

void Korvex::CreateWorkDirectories() {
  common::Path responses = clientConfig_->GetPathWork();
  responses.PushDirectory("responses");
  // The work area first: the practice's directories may lie inside it (the
  // response directory does by default), and the work directory must not be
  // made with their default mode. While no session line is written the day
  // is unknown, so this is the err directory itself.
  const struct {
    common::Path path;
    bool workArea;
  } directories[] = {
      {clientConfig_->GetPathWork(), true},      {clientConfig_->GetPathWorkInput(), true},
      {clientConfig_->GetPathWorkValid(), true}, {clientConfig_->GetPathWorkOutput(), true},
      {clientConfig_->GetPathError(), true},     {responses, true},
      {clientConfig_->GetPathLogs(), true},      {clientConfig_->GetPathInputDir(), false},
      {clientConfig_->GetPathOutputDir(), false},
  };
  for (const auto& directory : directories) {
    // One directory that cannot be made must not keep the others from being made.
    try {
      // Work-area files hold patient data: the user's alone, whatever the umask.
      if (directory.workArea) {
        common::File(directory.path).CreateDirectories(common::kPrivateDirectoryMode);
      } else {
        common::File(directory.path).CreateDirectories();
      }
      KX_LOG(INFO) << "created: " << directory.path.ToString();
    } catch (const common::Exception& e) {
      KX_LOG(ERROR) << "can't write to dir: " << directory.path.ToString() << " : " << e.Text();
    }
  }
}

void Korvex::PublishTransportSettings() {
  if (!clientConfig_) return;
  TransportSettings settings = CurrentTransportSettings();
  settings.caFile = clientConfig_->GetCaFile();
  settings.verbose = clientConfig_->GetDebug();
  settings.hinAuthUrl = clientConfig_->GetHinAuthUrl();
  settings.hinTokenUrl = clientConfig_->GetHinTokenUrl();
  settings.hinStartPage = clientConfig_->GetHinStartPage();
  settings.hinPkce = clientConfig_->GetHinPkce();
  // The bearer token goes to the hosts of this workstation's configuration
  // alone, never to one that a reply of the trust center names.
  std::vector<std::string> hosts;
  const auto add = [&hosts](const std::string& authority) {
    if (!authority.empty() && std::find(hosts.begin(), hosts.end(), authority) == hosts.end()) {
      hosts.push_back(authority);
    }
  };
  add(HttpClient::Authority(HttpClient::RewriteUrl(clientConfig_->GetDownUrl())));
  add(HttpClient::Authority(HttpClient::RewriteUrl(clientConfig_->GetCertUrl())));
  if (const std::shared_ptr<TrustCenter>& center = clientConfig_->CurrentCenter()) {
    add(HttpClient::Authority(HttpClient::RewriteUrl(center->url)));
  }
  add(HttpClient::Authority(clientConfig_->GetHinTokenUrl()));
  settings.tokenHosts = std::move(hosts);
  // The settings outlive no engine: the login goes to whichever settings are current.
  const std::weak_ptr<ClientConfig> config = clientConfig_;
  settings.storeHinLogin = [config](const std::string& login) {
    if (const std::shared_ptr<ClientConfig> current = config.lock()) {
      try {
        current->SetHinLogin(login);
      } catch (const common::Exception& e) {
        KX_LOG(ERROR) << "[Korvex::StoreHinLogin][" << e.Text() << "]";
      }
    }
  };
  SetTransportSettings(std::move(settings));
}

void Korvex::RegisterStylesheetFunctions() {
  XsltFunction::Register();
  XsltFunction::SetConfig(clientConfig_);
}

void Korvex::OpenDuplicateLog() {
  const common::Path work = clientConfig_->GetPathWork();
  auto duplicateLog = std::make_shared<DuplicateLog>(common::InDirectory(work, kDuplicateLogFile).ToString());
  // A missing, empty or foreign file starts an empty log; the first Add
  // writes the header.
  if (!duplicateLog->Load()) duplicateLog->Reset();
  // The settings may have moved the work base while no server ran.
  const std::string recorded = RecordedWorkBase();
  bool carried = true;
  if (!recorded.empty() && recorded != work.ToString()) {
    // Nothing here may keep the engine from starting: what is not carried
    // now is carried by a later start.
    try {
      const common::Path oldBase(recorded, true);
      const common::File oldDirectory(oldBase);
      DuplicateLog old(common::InDirectory(oldBase, kDuplicateLogFile).ToString());
      if (!oldDirectory.Exists() || !oldDirectory.IsDirectory()) {
        // Perhaps a drive not mounted now.
        KX_LOG(ERROR) << "[Korvex::OpenDuplicateLog][earlier work base " << recorded << " not found; not carried]";
        carried = false;
      } else if (!old.Load() && common::File(old.Path()).Exists()) {
        KX_LOG(ERROR) << "[Korvex::OpenDuplicateLog][duplicate log " << old.Path() << " not readable; not carried]";
        carried = false;
      } else {
        carried = CarryWorkArea(oldBase, work, old, *duplicateLog);
      }
    } catch (const std::exception& e) {
      KX_LOG(ERROR) << "[Korvex::OpenDuplicateLog][earlier work base " << recorded << " not carried][" << e.what()
                    << "]";
      carried = false;
    }
  }
  if (carried) RecordWorkBase(work);
  duplicateLog_ = std::move(duplicateLog);
  duplicateLogBase_ = work.ToString();
}

void Korvex::PrepareStep() {
  if (!clientConfig_) return;
  // Outside RunStep's guard: a failure here is logged, and the step then
  // reports what it finds.
  try {
    clientConfig_->CreateWorkFolders();
    if (!duplicateLog_ || duplicateLogBase_.empty()) return;
    const common::Path work = clientConfig_->GetPathWork();
    if (work.ToString() == duplicateLogBase_) return;
    auto duplicateLog = std::make_shared<DuplicateLog>(common::InDirectory(work, kDuplicateLogFile).ToString());
    if (!duplicateLog->Load()) duplicateLog->Reset();
    const bool carried = CarryWorkArea(common::Path(duplicateLogBase_, true), work, *duplicateLog_, *duplicateLog);
    // The merged log counts from now on even when it did not reach the disk:
    // it stays dirty, so the next Add writes all of it, and the record still
    // names the old base, so the next start carries it again.
    duplicateLog_ = std::move(duplicateLog);
    duplicateLogBase_ = work.ToString();
    if (carried) RecordWorkBase(work);
  } catch (const std::exception& e) {
    KX_LOG(ERROR) << "[Korvex::PrepareStep][" << e.what() << "]";
  }
}

bool Korvex::CarryWorkArea(const common::Path& fromBase, const common::Path& toBase, const DuplicateLog& from,
                           DuplicateLog& into) const {
  bool carried = into.Merge(from);
  try {
    PendingJournal(common::InDirectory(toBase, PendingJournal::kFileName).ToString())
        .MergeFrom(PendingJournal(common::InDirectory(fromBase, PendingJournal::kFileName).ToString()),
                   toBase.DirectoryString());
    ReceivedList received(common::InDirectory(toBase, ReceivedList::kFileName).ToString());
    received.Load();
    ReceivedList old(common::InDirectory(fromBase, ReceivedList::kFileName).ToString());
    old.Load();
    received.Merge(old);
  } catch (const common::Exception& e) {
    KX_LOG(ERROR) << "[Korvex::CarryWorkArea][" << e.Text() << "]";
    carried = false;
  }
  KX_LOG(DEBUG) << "[Korvex::CarryWorkArea][work base " << fromBase.ToString() << " -> " << toBase.ToString()
                << "][duplicate log, journal and received list carried" << (carried ? "" : ", not all stored")
                << "]";
  return carried;
}

std::string Korvex::RecordedWorkBase() const {
  std::ifstream in(common::InDirectory(clientConfig_->GetPathAppData(), kWorkBaseFile).ToString(), std::ios::binary);
  std::string line;
  if (!in || !std::getline(in, line)) return std::string();
  if (!line.empty() && line.back() == '\r') line.pop_back();
  return line;
}

void Korvex::RecordWorkBase(const common::Path& work) const {
  const std::string path = common::InDirectory(clientConfig_->GetPathAppData(), kWorkBaseFile).ToString();
  if (RecordedWorkBase() == work.ToString()) return;
  try {
    common::ReplaceFileAtomically(path, work.ToString() + "\n", common::kPrivateFileMode);
  } catch (const common::Exception& e) {
    // The next start carries the old area in once more; that changes nothing twice.
    KX_LOG(ERROR) << "[Korvex::RecordWorkBase][" << path << "][" << e.Text() << "]";
  }
}

// --- local configuration ---------------------------------------------------------

std::string Korvex::GetConfigTimestamp(const std::string& path) {
  std::string text;
  // libstdc++ throws when reading fails mid-way (a directory opens but cannot
  // be read); that is a file that cannot be read like any other.
  try {
    std::ifstream in(path, std::ios::binary);
    if (!in) return kNoTimestamp;
    text.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  } catch (const std::exception&) {
    return kNoTimestamp;
  }

  const common::Regex regex("<config.*timestamp=\"([0-9]{9,13})\"", REG_EXTENDED | REG_ICASE);
  if (!regex.Good()) throw common::RuntimeException("Korvex::GetConfigTimestamp: error in regular expression");
  regmatch_t match[2];
  if (regex.Search(text, match, 2) != REG_OK || match[1].rm_so < 0) return kNoTimestamp;
  return common::Regex::Group(text, match[1]);
}

void Korvex::GetLocalConfigPath(std::string& xmlPath, std::string& xsdPath) {
  const common::Path appData = clientConfig_->GetPathAppData();
  const std::string programXml = common::InDirectory(resourcePath_, kConfigFile).ToString();
  const std::string appDataXml = common::InDirectory(appData, kConfigFile).ToString();
  if (!common::File(programXml).Exists()) {
    throw common::RuntimeException("GetLocalConfigPath: fatal: local korvex xml not found", programXml);
  }

  const std::string programStamp = GetConfigTimestamp(programXml);
  const std::string appDataStamp = common::File(appDataXml).Exists() ? GetConfigTimestamp(appDataXml) : "";
  KX_LOG(DEBUG) << "[Korvex::GetLocalConfigPath][exe_path: " << programStamp << "][app_data_path: " << appDataStamp
                << "]";

  // Compared as text, not as numbers, as every installed client does: a copy
  // must win or lose the same way on every version.
  const bool useAppData = programStamp < appDataStamp;
  const common::Path& directory = useAppData ? appData : resourcePath_;
  xmlPath = useAppData ? appDataXml : programXml;
  xsdPath = common::InDirectory(directory, kSchemaFile).ToString();
  if (!common::File(xsdPath).Exists()) {
    throw common::RuntimeException("GetLocalConfigPath: fatal: local korvex xsd not found", xsdPath);
  }
}

void Korvex::LoadUntrustedConfig() {
  KX_LOG(DEBUG) << "[Korvex::LoadUntrustedConfig]";
  const std::string shippedXml = common::InDirectory(resourcePath_, kConfigFile).ToString();
  std::string xml;
  std::string xsd;
  try {
    GetLocalConfigPath(xml, xsd);
    LoadConfigFiles(xml, xsd);
    return;
  } catch (const common::Exception& e) {
    // Without the shipped copy, or when it is the one that failed, there is
    // nothing to fall back to. (GetLocalConfigPath names the chosen copy
    // before it looks for its schema.)
    if (xml.empty() || xml == shippedXml) throw;
    // A damaged newer copy (a full disk, an edit by hand) must not keep the
    // engine from starting.
    KX_LOG(ERROR) << "[Korvex::LoadUntrustedConfig][" << xml << " not loaded, using the shipped copy]["
                  << e.ChainText() << "]";
    if (logger_) {
      logger_->Log(mlWarning, mcModule, CurrentOrigin(), kCodeLocalConfigDamaged, xml,
                   KorvexLogger::GetMessageText(kTextConfigIncomplete));
    }
  }
  const std::string shippedXsd = common::InDirectory(resourcePath_, kSchemaFile).ToString();
  if (!common::File(shippedXsd).Exists()) {
    throw common::RuntimeException("GetLocalConfigPath: fatal: local korvex xsd not found", shippedXsd);
  }
  LoadConfigFiles(shippedXml, shippedXsd);
}

void Korvex::LoadConfigFiles(const std::string& xml, const std::string& xsd) {
  KX_LOG(INFO) << "[Korvex::LoadUntrustedConfig][local korvex path found: " << xml << ", " << xsd << "]";
  const common::Path xmlPath(xml);
  const common::Path xsdPath(xsd);
  auto configLoader = std::make_shared<FileDocumentLoader>(xmlPath.DirectoryString());
  auto schemaLoader = std::make_shared<FileDocumentLoader>(xsdPath.DirectoryString());
  KX_LOG(DEBUG) << "[Korvex::LoadUntrustedConfig][load local config]";
  // Parsing adds to what the configuration holds; after a half-done download
  // (or a damaged copy) that would leave its rules and centers beside these.
  clientConfig_->Clear();
  ConfigLoader(configLoader, schemaLoader, nullptr).Load(clientConfig_, xmlPath.FileName(), xsdPath.FileName());
}

bool Korvex::IsLoadedCenter(const std::shared_ptr<TrustCenter>& center) const {
  if (!center) return false;
  for (const auto& loaded : clientConfig_->Centers()) {
    if (loaded == center) return true;
  }
  return false;
}

void Korvex::SelectDefaultTrustCenter() {
  clientConfig_->SelectCenter(clientConfig_->GetTrustCenterID());
  // Selecting an unknown identifier keeps the current center, which after a
  // reload may be one the configuration no longer has.
  const std::shared_ptr<TrustCenter>& current = clientConfig_->CurrentCenter();
  if (!IsLoadedCenter(current) || current->id < 1) {
    if (clientConfig_->Centers().empty()) throw common::RuntimeException("No trust center available");
    clientConfig_->SelectCenter(clientConfig_->Centers().front());
  }
  const std::shared_ptr<TrustCenter>& selected = clientConfig_->CurrentCenter();
  KX_LOG(INFO) << "[Korvex::Init][default trust center = " << (selected ? selected->labelNEW : "none") << "]";
}

// --- online configuration --------------------------------------------------------

bool Korvex::IsConfigDownloadRequired() {
  const std::time_t lastDownload = GetLastDownload();
  if (lastDownload == 0) {
    KX_LOG(DEBUG) << "[Korvex::LoadOnlineConfig][so far no config download -> download required]";
    return true;
  }
  if (!clientConfig_ || !clientConfig_->Good()) {
    KX_LOG(DEBUG) << "[Korvex::LoadOnlineConfig][config incomplete-> download required]";
    return true;
  }
  const double age = std::difftime(Now(), lastDownload);
  if (age > kMaxConfigAge) {
    KX_LOG(INFO) << "[Korvex::LoadOnlineConfig][config is " << age << " s old -> download required]";
    return true;
  }
  KX_LOG(INFO) << "[Korvex::LoadOnlineConfig][config is " << age << " s old -> download not required]";
  return false;
}

bool Korvex::StartSecureClient() {
  KX_LOG(DEBUG) << "[Korvex::StartSecureClient][enter]";
  const int32_t origin = CurrentOrigin();
  const std::shared_ptr<SecurityClient> security = GetSecurityClient();
  if (!security || !security->IsAvailable()) {
    Report(mlError, origin, 16, KorvexLogger::GetMessageText(16));
    return false;
  }
  if (!security->SelectLogin(clientConfig_->GetHinLogin())) {
    Report(mlError, origin, 26, KorvexLogger::GetMessageText(55));
    return false;
  }
  return true;
}

// Failures after the trust-center checks take one of three paths:
// - ConfigLoadException: the local copy is loaded again and the same
//   exception thrown on;
// - another exception of the library: wrapped in ConfigLoadException, no
//   fallback;
// - anything else: the same ConfigLoadException without a cause.
void Korvex::LoadOnlineConfig() {
  KX_LOG(DEBUG) << "[Korvex::DownloadConfig]";
  const std::shared_ptr<TrustCenter> center = clientConfig_->CurrentCenter();
  if (!center) {
    Report(mlError, moPSender, 9, KorvexLogger::GetMessageText(36));
    throw common::RuntimeException("[Korvex::LoadOnlineConfig][Trust center not set]");
  }
  if (center->url.size() < 8) {
    Report(mlError, moPChecker, 9, KorvexLogger::GetMessageText(45));
    throw common::RuntimeException("[Korvex::LoadOnlineConfig][Trust center url not set]");
  }

  try {
    KX_LOG(WARN) << "[Korvex::LoadOnlineConfig][Don't check URLs if INI_DEBUG_FLAGS is activated]";
    const bool forceLocal = clientConfig_->GetForceLocalConfig();

    if (!StartSecureClient()) {
      throw ConfigLoadException("[Korvex::LoadOnlineConfig][Failed to start secure client]");
    }
    // Checked before the configuration is cleared: a cancelled run must leave
    // the engine with the configuration it had.
    if (RunState::CancelFlag()) {
      KX_LOG(WARN) << "[Korvex::LoadOnlineConfig][action canceled by user]";
      return;
    }
    if (!onlineServices_) throw common::RuntimeException("[Korvex::LoadOnlineConfig][online services not available]");
    if (!forceLocal) clientConfig_->Clear();

    // StartSecureClient saw a security client; one put since is used from the next load on.
    const std::shared_ptr<SecurityClient> security = GetSecurityClient();
    if (!security) throw ConfigLoadException("[Korvex::LoadOnlineConfig][no security client]");
    std::unique_ptr<OnlineLoadSession> session =
        onlineServices_->OpenLoadSession(security->GetProxyHost(), security->GetProxyPort());
    auto configLoader = session->CreateDocumentLoader(clientConfig_->GetConfigUrl());
    auto schemaLoader = session->CreateDocumentLoader(clientConfig_->GetSchemasUrl());
    auto stylesheetLoader = session->CreateDocumentLoader(clientConfig_->GetTransformersUrl());

    if (forceLocal) {
      RefDocumentLoader::Init(clientConfig_);
      clientConfig_->ReloadDocumentCache(schemaLoader, stylesheetLoader);
    } else {
      auto packageLoader = session->CreateDocumentLoader(clientConfig_->GetDownUrl());
      ZipConfigLoader loader(configLoader, schemaLoader, packageLoader);
      loader.Load(clientConfig_);
      // Judged before the copies are written: an incomplete download stored
      // with its newer timestamp would replace the good local copy for every
      // later start and fallback.
      if (!clientConfig_->Good()) throw ConfigLoadException("Korvex::LoadOnlineConfig: config is not complete");
      StoreLocalCopy(loader.ConfigText(), loader.SchemaText());
      // The center selected now: a client may have chosen another during the download.
      const std::shared_ptr<TrustCenter> chosen = clientConfig_->CurrentCenter();
      clientConfig_->SelectCenter(chosen ? chosen->id : center->id);
      if (!IsLoadedCenter(clientConfig_->CurrentCenter())) {
        throw ConfigLoadException("Korvex::LoadOnlineConfig: korvex center not set");
      }
    }

    auto certificateLoader = session->CreateCredentialLoader(clientConfig_->GetCertUrl(), "crt");
    std::shared_ptr<CredentialCache> credentials =
        onlineServices_->CreateCredentialCache(clientConfig_, std::move(certificateLoader));
    clientConfig_->SetCredentialCache(credentials);
    SetCredentialCache(std::move(credentials));
    const std::shared_ptr<TrustCenter> selected = clientConfig_->CurrentCenter();
    if (!selected) throw ConfigLoadException("Korvex::LoadOnlineConfig: korvex center not set");
    SetInputGateClient(onlineServices_->CreateInputGateClient(security, selected->url));
    SetLastDownload(Now());
    // The new configuration may name other hosts.
    PublishTransportSettings();
  } catch (const ConfigLoadException& e) {
    KX_LOG(ERROR) << "[Korvex::LoadOnlineConfig][failed to load config][" << e.Text() << "]";
    FallBackToLocalConfig();
    throw;
  } catch (const common::Exception& e) {
    KX_LOG(ERROR) << "[Korvex::LoadOnlineConfig][exception: " << e.Text() << "]";
    throw ConfigLoadException("Korvex::LoadOnlineConfig: Error while loading config and all dependent files", e);
  } catch (...) {
    KX_LOG(ERROR) << "[Korvex::LoadOnlineConfig][exception: -]";
    throw ConfigLoadException("Korvex::LoadOnlineConfig: Error while loading config and all dependent files");
  }
}

void Korvex::FallBackToLocalConfig() {
  try {
    LoadUntrustedConfig();
    SelectDefaultTrustCenter();
  } catch (const common::Exception& e) {
    KX_LOG(ERROR) << "[Korvex::LoadOnlineConfig][local config not loaded][" << e.ChainText() << "]";
  } catch (...) {
    KX_LOG(ERROR) << "[Korvex::LoadOnlineConfig][local config not loaded]";
  }
}

// The copy only serves later starts: a full or read-only application-data
// directory costs this run nothing, so it is a warning and the downloaded
// configuration stays in use. The schema goes first: the configuration's
// timestamp picks the pair at the next start, so a new configuration is never
// stored beside a schema older than it.
void Korvex::StoreLocalCopy(const std::string& configText, const std::string& schemaText) {
  const common::Path appData = clientConfig_->GetPathAppData();
  std::string path = common::InDirectory(appData, kSchemaFile).ToString();
  try {
    common::ReplaceFileAtomically(path, schemaText);
    path = common::InDirectory(appData, kConfigFile).ToString();
    common::ReplaceFileAtomically(path, configText);
  } catch (const common::Exception& e) {
    KX_LOG(ERROR) << "[Korvex::LoadOnlineConfig][local copy not stored][" << e.ChainText() << "]";
    if (logger_) {
      logger_->Log(mlWarning, mcModule, CurrentOrigin(), kCodeLocalCopyNotStored, path,
                   KorvexLogger::GetMessageText(kTextLocalCopyNotStored));
    }
  }
}

// --- steps -----------------------------------------------------------------------

int32_t Korvex::CurrentOrigin() const {
  const std::shared_ptr<AbstractStep> step = GetCurrentStep();
  return step ? step->Origin() : moPReader;
}

void Korvex::RunStep(const std::shared_ptr<AbstractStep>& step) {
  if (!step) return;
  const std::string name = step->Name();
  KX_LOG(INFO) << "[Korvex::RunStep][for step " << name << "]";
  {
    std::lock_guard<std::mutex> lock(stateMutex_);
    currentStep_ = step;
  }
  // A setting changed since the last run (debug, CA bundle) counts from now on.
  PublishTransportSettings();
  bool failed = true;
  try {
    step->Run();
    failed = false;
  } catch (const common::Exception& e) {
    KX_LOG(ERROR) << "Exception in " << name << ": " << e.Text();
  } catch (const std::exception& e) {
    const std::string what = e.what() ? e.what() : "";
    KX_LOG(ERROR) << "Exception in  " << name << ": " << (what.empty() ? "Unknown exception" : what);
  } catch (...) {
    KX_LOG(ERROR) << "Unknow Exception in  " << name << ": ";
  }
  {
    std::lock_guard<std::mutex> lock(stateMutex_);
    currentStep_.reset();
  }
  if (!failed) return;

  // The step lock stays with the run's lease: the run may have further steps,
  // and released here a second run could start beside them.
  const std::string text = ClipReportText(FormatMessageText(KorvexLogger::GetMessageText(28), {name, 0, 0}));
  Report(mlError, step->Origin(), 1, text);
}

// Each step is made after PrepareStep: it takes the duplicate log when it is made.
void Korvex::RunReadStep() {
  PrepareStep();
  RunStep(std::make_shared<ReadStep>(shared_from_this()));
}

void Korvex::RunValidationStep() {
  PrepareStep();
  RunStep(std::make_shared<ValidationStep>(shared_from_this()));
}

void Korvex::RunTransformStep() {
  PrepareStep();
  RunStep(std::make_shared<TransformStep>(shared_from_this()));
}

void Korvex::RunSendStep() {
  PrepareStep();
  RunStep(std::make_shared<SendStep>(shared_from_this()));
}

void Korvex::RunWriteStep() {
  PrepareStep();
  RunStep(std::make_shared<WriteStep>(shared_from_this()));
}

void Korvex::SetSingleFileName(const std::string& name) {
  if (RunState::IsSingleFileMode()) RunState::SetSingleFileMode(true, name);
}

// --- settings and accessors ------------------------------------------------------

void Korvex::Cancel() {
  RunState::CancelFlag() = true;
  // A transfer under way must not keep the run going for minutes.
  CancelTransfers();
  if (const std::shared_ptr<SecurityClient> security = GetSecurityClient()) security->Cancel();
}

void Korvex::SetTrustCenter(int32_t id) {
  clientConfig_->SelectCenter(id);
  const std::shared_ptr<TrustCenter> center = clientConfig_->CurrentCenter();
  std::shared_ptr<InputGateClient> current = GetInputGateClient();
  if (current && center) {
    // A new gate client for the new center rather than the old one re-pointed:
    // a send step that is working keeps the gate client it took, with its
    // session, and the invoices it encrypted for the old center go there.
    std::shared_ptr<InputGateClient> gate =
        onlineServices_ ? onlineServices_->CreateInputGateClient(current->GetSecurityClient(), center->url) : nullptr;
    if (gate) {
      SetInputGateClient(std::move(gate));
    } else {
      KX_LOG(WARN) << "[Korvex::SetTrustCenter][no gate client for " << center->url << "]";
    }
  }
  PublishTransportSettings();
}

void Korvex::SetSecurityClient(std::shared_ptr<SecurityClient> client) {
  std::lock_guard<std::mutex> lock(stateMutex_);
  securityClient_ = std::move(client);
}

void Korvex::SetLanguage(const std::string& language) {
  {
    std::lock_guard<std::mutex> lock(stateMutex_);
    language_ = language;
  }
  KorvexLogger::SelectMessageTable(language);
}

// --- guarded state ---------------------------------------------------------------

namespace {

template <typename T>
T Copy(std::mutex& mutex, const T& value) {
  std::lock_guard<std::mutex> lock(mutex);
  return value;
}

template <typename T>
void Put(std::mutex& mutex, T& member, T value) {
  std::lock_guard<std::mutex> lock(mutex);
  member = std::move(value);
}

}  // namespace

std::shared_ptr<InputGateClient> Korvex::GetInputGateClient() const { return Copy(stateMutex_, inputGate_); }
void Korvex::SetInputGateClient(std::shared_ptr<InputGateClient> client) { Put(stateMutex_, inputGate_, std::move(client)); }
std::shared_ptr<CredentialCache> Korvex::GetCredentialCache() const { return Copy(stateMutex_, credentialCache_); }
void Korvex::SetCredentialCache(std::shared_ptr<CredentialCache> cache) {
  Put(stateMutex_, credentialCache_, std::move(cache));
}
std::shared_ptr<SecurityClient> Korvex::GetSecurityClient() const { return Copy(stateMutex_, securityClient_); }
std::shared_ptr<AbstractStep> Korvex::GetCurrentStep() const { return Copy(stateMutex_, currentStep_); }
std::string Korvex::GetLanguage() const { return Copy(stateMutex_, language_); }
std::string Korvex::GetCurrentDay() const { return Copy(stateMutex_, currentDay_); }
void Korvex::SetCurrentDay(const std::string& day) { Put(stateMutex_, currentDay_, day); }
std::string Korvex::GetUpdateMsg() const { return Copy(stateMutex_, updateMsg_); }
void Korvex::SetUpdateMsg(const std::string& msg) { Put(stateMutex_, updateMsg_, msg); }
int Korvex::GetUpdateAvailable() const { return Copy(stateMutex_, updateAvailable_); }
void Korvex::SetUpdateAvailable(int v) { Put(stateMutex_, updateAvailable_, v); }
bool Korvex::GetAutoUpdate() const { return Copy(stateMutex_, autoUpdate_); }
void Korvex::SetAutoUpdate(bool v) { Put(stateMutex_, autoUpdate_, v); }
bool Korvex::GetResponseMessagesEnabled() const { return Copy(stateMutex_, responseMessagesEnabled_); }
void Korvex::SetResponseMessagesEnabled(bool v) { Put(stateMutex_, responseMessagesEnabled_, v); }
std::time_t Korvex::GetLastDownload() const { return Copy(stateMutex_, lastDownload_); }
void Korvex::SetLastDownload(std::time_t t) { Put(stateMutex_, lastDownload_, t); }

bool Korvex::IsCancelled() const { return RunState::CancelFlag(); }

bool Korvex::IsAutoRun() const { return RunState::AutoRunFlag(); }
bool Korvex::IsInteractive() const { return RunState::InteractiveFlag(); }

bool Korvex::IsSingleFileMode() const { return RunState::IsSingleFileMode(); }

std::string Korvex::SingleFileName() const { return RunState::SingleFileName(); }

std::string Korvex::GetMachineId() const { return ::belmor::korvex::GetMachineId(); }

std::string Korvex::GetClientDescription() const { return ClientDescription(); }

void Korvex::Report(int32_t level, int32_t origin, int32_t code, const std::string& text) {
  if (logger_) logger_->Log(level, mcModule, origin, code, "", text);
}

std::time_t Korvex::Now() const { return clock_ ? clock_() : std::time(nullptr); }

// --- settings and session logger ------------------------------------------------------------

std::shared_ptr<ClientConfig> MakeClientConfig(const std::shared_ptr<Korvex>& engine) {
  const std::weak_ptr<Korvex> weak = engine;
  ClientConfig::Hooks hooks;
  hooks.currentDay = [weak] {
    const std::shared_ptr<Korvex> engine = weak.lock();
    return engine ? engine->GetCurrentDay() : std::string();
  };
  hooks.sessionLogger = [weak] {
    const std::shared_ptr<Korvex> engine = weak.lock();
    return engine ? engine->GetLogger() : nullptr;
  };
  hooks.createWorkFolders = true;
  return std::make_shared<ClientConfig>(std::move(hooks));
}

KorvexLogger::Settings WithEngineHooks(KorvexLogger::Settings settings, const std::shared_ptr<Korvex>& engine) {
  const std::weak_ptr<Korvex> weak = engine;
  settings.responseMessagesEnabled = [weak] {
    const std::shared_ptr<Korvex> engine = weak.lock();
    return engine && engine->GetResponseMessagesEnabled();
  };
  settings.dayChanged = [weak](const std::string& day) {
    if (const std::shared_ptr<Korvex> engine = weak.lock()) engine->SetCurrentDay(day);
  };
  return settings;
}

KorvexLogger::Settings SessionLoggerSettings(const std::shared_ptr<Korvex>& engine) {
  if (!engine || !engine->GetClientConfig()) throw common::ApplicationException("no client configuration");
  auto config = [weak = std::weak_ptr<Korvex>(engine)]() -> std::shared_ptr<ClientConfig> {
    const std::shared_ptr<Korvex> engine = weak.lock();
    return engine ? engine->GetClientConfig() : nullptr;
  };
  KorvexLogger::Settings settings;
  settings.debug = [config] {
    const std::shared_ptr<ClientConfig> c = config();
    return c && c->GetDebug();
  };
  settings.logsPath = [config] {
    const std::shared_ptr<ClientConfig> c = config();
    return c ? c->GetPathLogs() : common::Path();
  };
  settings.appDataPath = engine->GetClientConfig()->GetPathAppData();
  return WithEngineHooks(std::move(settings), engine);
}

// --- factory ---------------------------------------------------------------------

void KorvexFactory::Configure(Korvex&) {}

std::shared_ptr<Korvex> KorvexFactory::Create() {
  FactoryState& state = Factory();
  std::lock_guard<std::mutex> lock(state.mutex);
  if (state.engine) return state.engine;
  try {
    auto engine = std::make_shared<Korvex>();
    Configure(*engine);
    engine->SetClientConfig(MakeClientConfig(engine));
    engine->Init();
    state.engine = std::move(engine);
  } catch (const common::Exception& e) {
    KX_LOG(ERROR) << "[KorvexFactory::Create][" << e.ChainText() << "]";
  } catch (const std::exception& e) {
    KX_LOG(ERROR) << "[KorvexFactory::Create][" << e.what() << "]";
  } catch (...) {
    KX_LOG(ERROR) << "[KorvexFactory::Create][unknown exception]";
  }
  return state.engine;
}

}  // namespace belmor::korvex
