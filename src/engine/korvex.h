#ifndef KORVEX_ENGINE_KORVEX_H_
#define KORVEX_ENGINE_KORVEX_H_

#include <atomic>
#include <cstdint>
#include <ctime>
#include <fstream>
#include <memory>
#include <mutex>
#include <string>

#include "common/path.h"

namespace belmor::korvex {

class AbstractStep;
class ClientConfig;
class CredentialCache;
class DuplicateLog;
class InputGateClient;
class KorvexLogger;
class OnlineServices;
class SecurityClient;
class StepSemaphore;

// The one engine of the server process. It owns the client settings and the
// trust-center configuration, the session logger, the duplicate log, the gate
// client and the credential cache, holds the security client it is given,
// decides when the configuration must be fetched again and runs steps with
// uniform error handling. Created once by KorvexFactory; lives until the
// process ends. It takes no lock: the steps of one run use it from one worker
// thread (runs are serialised by the step lock).
class Korvex : public std::enable_shared_from_this<Korvex> {
 public:
  Korvex();
  virtual ~Korvex();
  Korvex(const Korvex&) = delete;
  Korvex& operator=(const Korvex&) = delete;

  void Init();
  void LoadUntrustedConfig();
  void LoadOnlineConfig();
  bool IsConfigDownloadRequired();
  static std::string GetConfigTimestamp(const std::string& path);
  void GetLocalConfigPath(std::string& xmlPath, std::string& xsdPath);
  void SelectDefaultTrustCenter();
  bool StartSecureClient();

  void RunStep(const std::shared_ptr<AbstractStep>& step);

  void Cancel();
  void SetTrustCenter(int32_t id);
  void SetSecurityClient(std::shared_ptr<SecurityClient> client);
  void SetLanguage(const std::string& language);

  const std::shared_ptr<ClientConfig>& GetClientConfig() const { return clientConfig_; }
  void SetClientConfig(std::shared_ptr<ClientConfig> config) { clientConfig_ = std::move(config); }
  const std::shared_ptr<KorvexLogger>& GetLogger() const { return logger_; }
  // Init creates the logger and the step semaphore; tests of single steps set their own.
  void SetLogger(std::shared_ptr<KorvexLogger> logger) { logger_ = std::move(logger); }
  void SetStepSemaphore(std::shared_ptr<StepSemaphore> s) { stepSemaphore_ = std::move(s); }
  const std::shared_ptr<StepSemaphore>& GetStepSemaphore() const { return stepSemaphore_; }
  const std::shared_ptr<InputGateClient>& GetInputGateClient() const { return inputGate_; }
  const std::shared_ptr<DuplicateLog>& GetDuplicateLog() const { return duplicateLog_; }
  const std::shared_ptr<CredentialCache>& GetCredentialCache() const { return credentialCache_; }
  const std::shared_ptr<SecurityClient>& GetSecurityClient() const { return securityClient_; }
  const std::shared_ptr<AbstractStep>& GetCurrentStep() const { return currentStep_; }

  const std::string& GetLanguage() const { return language_; }
  const std::string& GetCurrentDay() const { return currentDay_; }
  void SetCurrentDay(const std::string& day) { currentDay_ = day; }
  const std::string& GetUpdateMsg() const { return updateMsg_; }
  void SetUpdateMsg(const std::string& msg) { updateMsg_ = msg; }
  int GetUpdateAvailable() const { return updateAvailable_; }
  void SetUpdateAvailable(int v) { updateAvailable_ = v; }
  bool GetAutoUpdate() const { return autoUpdate_; }
  void SetAutoUpdate(bool v) { autoUpdate_ = v; }
  bool GetResponseMessagesEnabled() const { return responseMessagesEnabled_; }
  void SetResponseMessagesEnabled(bool v) { responseMessagesEnabled_ = v; }
  const common::Path& GetResourcePath() const { return resourcePath_; }
  // Where the shipped "korvex.xml"/"korvex.xsd" lie; the program's directory by default.
  void SetResourcePath(const common::Path& path) { resourcePath_ = path; }
  std::time_t GetLastDownload() const { return lastDownload_; }
  void SetLastDownload(std::time_t t) { lastDownload_ = t; }

  // The factory of the online collaborators (HTTP loaders, credential cache,
  // gate client); replaced by tests.
  void SetOnlineServices(std::shared_ptr<OnlineServices> services) { onlineServices_ = std::move(services); }

  std::string GetMachineId() const;
  // "Korvex Ordiva V 5.0.3 / " + the operating system's product name.
  std::string GetClientDescription() const;

  // Process-wide run state, shared by every worker thread.
  static std::atomic<bool>& CancelFlag();
  static std::atomic<bool>& AutoRunFlag();
  // On with a name: steps work on that one file. Also sets the auto-run flag
  // to the mode flag.
  static void SetSingleFileMode(bool on, const std::string& fileName);
  static bool IsSingleFileMode();
  static std::string SingleFileName();

 private:
  std::shared_ptr<ClientConfig> clientConfig_;
  std::shared_ptr<KorvexLogger> logger_;
  std::shared_ptr<DuplicateLog> duplicateLog_;
  std::fstream duplicateLogFile_;
  std::shared_ptr<SecurityClient> securityClient_;
  std::shared_ptr<InputGateClient> inputGate_;
  std::shared_ptr<CredentialCache> credentialCache_;
  std::shared_ptr<StepSemaphore> stepSemaphore_;
  std::shared_ptr<OnlineServices> onlineServices_;
  std::string currentDay_;
  int updateAvailable_ = 0;
  std::string updateMsg_;
  bool autoUpdate_ = true;
  bool responseMessagesEnabled_ = false;
  std::string language_;
  std::shared_ptr<AbstractStep> currentStep_;
  std::time_t lastDownload_ = 0;
  common::Path resourcePath_;
};

// Creates the engine once per process and hands out the same one afterwards.
class KorvexFactory {
 public:
  virtual ~KorvexFactory() = default;
  // The engine, created and initialised on the first call; empty when Init
  // failed (a later call tries again).
  virtual std::shared_ptr<Korvex> Create();
};

}  // namespace belmor::korvex

#endif  // KORVEX_ENGINE_KORVEX_H_
