#ifndef KORVEX_ENGINE_KORVEX_H_
#define KORVEX_ENGINE_KORVEX_H_

#include <atomic>
#include <cstdint>
#include <ctime>
#include <fstream>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "common/path.h"
#include "logging/korvex_logger.h"
#include "pipeline/step_context.h"

namespace belmor::korvex {

class AbstractStep;
class ClientConfig;
class CredentialCache;
class DuplicateLog;
class InputGateClient;
class OnlineServices;
class SecurityClient;
class StepSemaphore;
struct TrustCenter;

// The one engine of the server process. It owns the client settings and the
// trust-center configuration, the session logger, the duplicate log, the gate
// client and the credential cache, holds the security client it is given,
// decides when the configuration must be fetched again and runs steps with
// uniform error handling. Created once by KorvexFactory; lives until the
// process ends. The steps of one run use it from one worker thread (runs are
// serialised by the step lock, see processing.h) while clients read and put
// its switches, texts, trust center and security client from other threads:
// those are guarded by one lock, held only to copy a value in or out, never
// while calling out. The settings, the loggers, the duplicate log, the step
// lock, the online services and the resource path are set before the engine
// is shared (Init, or a test's set-up) and stay.
class Korvex : public StepContext, public std::enable_shared_from_this<Korvex> {
 public:
  Korvex();
  ~Korvex() override;
  Korvex(const Korvex&) = delete;
  Korvex& operator=(const Korvex&) = delete;

  // The start-up: logger, work directories, step semaphore, the local
  // configuration, message language, default trust center. Needs the client
  // configuration and a shared owner; any failure is an ApplicationException
  // "Korvex init failed" carrying the cause.
  void Init();
  // Loads "korvex.xml"/"korvex.xsd" from the newer local copy, replacing what
  // the configuration held; when the application-data copy is the newer one
  // but does not load (missing schema, not parsed, not valid), the shipped
  // copy is loaded instead and the damaged one reported. The documents of
  // the rules are not loaded, so the result is never complete and the next
  // step downloads.
  void LoadUntrustedConfig();
  // Fetches the configuration, its documents and the credentials from the
  // trust center and makes a new gate client; see korvex.cc for the failure
  // paths. Throws ConfigLoadException when the load failed.
  void LoadOnlineConfig() override;
  // True when nothing was downloaded yet, the configuration is incomplete or
  // the last download is more than ten hours old.
  bool IsConfigDownloadRequired() override;
  // The 9 to 13 digits of the file's config timestamp; "000000000" when the
  // file cannot be read or has none.
  static std::string GetConfigTimestamp(const std::string& path);
  // The local copy to load: the one in the application-data directory when
  // its timestamp is greater, compared as text, else the one beside the
  // program. Throws RuntimeException when the chosen files are missing;
  // xmlPath names the chosen copy before its schema is looked for.
  void GetLocalConfigPath(std::string& xmlPath, std::string& xsdPath);
  // Selects the center of the trustCenterID setting, else the first one;
  // throws RuntimeException "No trust center available" without centers.
  void SelectDefaultTrustCenter();
  // Starts the security client with the HIN login; false (after a report
  // with the current step's origin) when it is unusable or does not start.
  bool StartSecureClient() override;

  // Runs one step; a failure is reported and never leaves this call. The
  // step lock is not touched: it belongs to the run (RunLease).
  void RunStep(const std::shared_ptr<AbstractStep>& step);
  // Each makes its step for this engine and runs it with RunStep; the engine
  // must be held by a shared pointer (std::bad_weak_ptr otherwise).
  void RunReadStep();
  void RunValidationStep();
  void RunTransformStep();
  void RunSendStep();
  void RunWriteStep();
  // Single-file mode: the later steps of the run take the file under the
  // name the step that had it wrote it ("" when it went no further).
  void SetSingleFileName(const std::string& name) override;

  void Cancel();
  void SetTrustCenter(int32_t id);
  void SetSecurityClient(std::shared_ptr<SecurityClient> client);
  void SetLanguage(const std::string& language);

  const std::shared_ptr<ClientConfig>& GetClientConfig() const override { return clientConfig_; }
  void SetClientConfig(std::shared_ptr<ClientConfig> config) { clientConfig_ = std::move(config); }
  const std::shared_ptr<KorvexLogger>& GetLogger() const override { return logger_; }
  // Init creates the logger and the step semaphore; tests of single steps set their own.
  void SetLogger(std::shared_ptr<KorvexLogger> logger) { logger_ = std::move(logger); }
  void SetStepSemaphore(std::shared_ptr<StepSemaphore> s) { stepSemaphore_ = std::move(s); }
  const std::shared_ptr<StepSemaphore>& GetStepSemaphore() const { return stepSemaphore_; }
  std::shared_ptr<InputGateClient> GetInputGateClient() const override;
  const std::shared_ptr<DuplicateLog>& GetDuplicateLog() const override { return duplicateLog_; }
  std::shared_ptr<CredentialCache> GetCredentialCache() const override;
  std::shared_ptr<SecurityClient> GetSecurityClient() const override;
  std::shared_ptr<AbstractStep> GetCurrentStep() const;
  // Init and LoadOnlineConfig make these; tests of single steps give doubles.
  void SetInputGateClient(std::shared_ptr<InputGateClient> client);
  void SetCredentialCache(std::shared_ptr<CredentialCache> cache);
  void SetDuplicateLog(std::shared_ptr<DuplicateLog> log) {
    duplicateLog_ = std::move(log);
    duplicateLogBase_.clear();
  }

  std::string GetLanguage() const override;
  std::string GetCurrentDay() const;
  void SetCurrentDay(const std::string& day);
  std::string GetUpdateMsg() const override;
  void SetUpdateMsg(const std::string& msg) override;
  int GetUpdateAvailable() const;
  void SetUpdateAvailable(int v) override;
  bool GetAutoUpdate() const override;
  void SetAutoUpdate(bool v);
  bool GetResponseMessagesEnabled() const;
  void SetResponseMessagesEnabled(bool v);
  const common::Path& GetResourcePath() const { return resourcePath_; }
  // Where the shipped "korvex.xml"/"korvex.xsd" lie; the program's directory by default.
  void SetResourcePath(const common::Path& path) {
    resourcePath_ = path;
    resourcePath_.MakeDirectory();
  }
  std::time_t GetLastDownload() const;
  void SetLastDownload(std::time_t t);
  // Replaces the clock that dates downloads and judges their age; tests move
  // time with it.
  void SetClock(std::function<std::time_t()> clock) { clock_ = std::move(clock); }

  // The factory of the online collaborators (HTTP loaders, credential cache,
  // gate client); replaced by tests.
  void SetOnlineServices(std::shared_ptr<OnlineServices> services) { onlineServices_ = std::move(services); }

  std::string GetMachineId() const override;
  // "Korvex Ordiva V 5.0.3 / " + the operating system's product name.
  std::string GetClientDescription() const override;

  // The state of the processing call in progress (processing.h).
  bool IsCancelled() const override;
  bool IsAutoRun() const override;
  bool IsInteractive() const override;
  bool IsSingleFileMode() const override;
  std::string SingleFileName() const override;

 private:
  void CreateWorkDirectories();
  void LoadConfigFiles(const std::string& xml, const std::string& xsd);
  // Registers the stylesheet extension module "urn:korvex.CCode" and hands
  // it this configuration. Empty until the extension functions exist; until
  // then no stylesheet can call them.
  void RegisterStylesheetFunctions();
  // Hands the transport what it takes from the settings (CA bundle, debug
  // trace, HIN OAuth hosts) and where a new HIN login is stored.
  void PublishTransportSettings();
  // Opens the duplicate log "korvex.log" of the work directory and loads it.
  // When "korvex.workbase" names another work base (the settings were
  // edited between starts), that area's log, journal and received list are
  // carried in first.
  void OpenDuplicateLog();
  // At the start of every step, under the run's lease: makes the work
  // folders that are missing and, when the work base moved since the
  // duplicate log was opened, carries the old area's log, journal and
  // received list into the new one (merged with what it holds, flushed)
  // and opens the new log, before anything of the run could send an
  // invoice again. The old files stay where they are.
  void PrepareStep();
  // Carries the duplicate log (from) and the journal and received list of
  // the work base fromBase into the log of toBase (into) and the files
  // beside it; true when everything reached the disk.
  bool CarryWorkArea(const common::Path& fromBase, const common::Path& toBase, const DuplicateLog& from,
                     DuplicateLog& into) const;
  // The work base "korvex.workbase" in the application-data directory
  // names: where the duplicate log lived last ("" when unknown).
  std::string RecordedWorkBase() const;
  void RecordWorkBase(const common::Path& work) const;
  // The fallback of a failed online load; its own failure is logged so that
  // the caller still sees the download's exception.
  void FallBackToLocalConfig();
  void StoreLocalCopy(const std::string& configText, const std::string& schemaText);
  // Whether center is one of the centers the configuration holds now, not a
  // leftover of an earlier configuration.
  bool IsLoadedCenter(const std::shared_ptr<TrustCenter>& center) const;
  // The origin of the current step's reports; the reader's between steps.
  int32_t CurrentOrigin() const;
  void Report(int32_t level, int32_t origin, int32_t code, const std::string& text);
  std::time_t Now() const;

  std::shared_ptr<ClientConfig> clientConfig_;
  std::shared_ptr<KorvexLogger> logger_;
  std::shared_ptr<DuplicateLog> duplicateLog_;
  // The work base whose duplicate log is open; empty when the log was given
  // (SetDuplicateLog), which then stays. Both change only under a run's
  // lease, on its thread.
  std::string duplicateLogBase_;
  std::shared_ptr<StepSemaphore> stepSemaphore_;
  std::shared_ptr<OnlineServices> onlineServices_;

  // Guards the members from here to the clock.
  mutable std::mutex stateMutex_;
  std::shared_ptr<SecurityClient> securityClient_;
  std::shared_ptr<InputGateClient> inputGate_;
  std::shared_ptr<CredentialCache> credentialCache_;
  std::string currentDay_;
  int updateAvailable_ = 0;
  std::string updateMsg_;
  bool autoUpdate_ = true;
  bool responseMessagesEnabled_ = false;
  std::string language_;
  std::shared_ptr<AbstractStep> currentStep_;
  std::time_t lastDownload_ = 0;
  // Set before the engine is shared.
  common::Path resourcePath_;
  std::function<std::time_t()> clock_;
};

// The engine's settings object, given the engine's day and session logger.
std::shared_ptr<ClientConfig> MakeClientConfig(const std::shared_ptr<Korvex>& engine);

// The session logger's settings as the engine gives them: the debug switch
// and the logs directory of its ClientConfig, looked up on every report (the
// engine may be given another configuration, and holding one here would keep
// it alive), the engine's response-message switch, and the day that names its
// dated directories. Throws common::ApplicationException when the engine has
// no ClientConfig.
KorvexLogger::Settings SessionLoggerSettings(const std::shared_ptr<Korvex>& engine);
// The engine's part alone (response-message switch, day) added to settings
// whose paths and debug switch the caller chose.
KorvexLogger::Settings WithEngineHooks(KorvexLogger::Settings settings, const std::shared_ptr<Korvex>& engine);

// Creates the engine once per process and hands out the same one afterwards.
class KorvexFactory {
 public:
  virtual ~KorvexFactory() = default;
  // The engine, created and initialised on the first call; empty when Init
  // failed (a later call tries again). Safe from several threads.
  virtual std::shared_ptr<Korvex> Create();

 protected:
  // Called with each new engine before its settings are read and Init runs;
  // the default does nothing. Tests point the engine at their files here.
  virtual void Configure(Korvex& engine);
};

}  // namespace belmor::korvex

#endif  // KORVEX_ENGINE_KORVEX_H_
