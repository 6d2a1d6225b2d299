#ifndef KORVEX_PIPELINE_STEP_CONTEXT_H_
#define KORVEX_PIPELINE_STEP_CONTEXT_H_

#include <memory>
#include <string>

namespace belmor::korvex {

class ClientConfig;
class CredentialCache;
class DuplicateLog;
class InputGateClient;
class KorvexLogger;
class SecurityClient;

// What a step needs of the engine that runs it, and nothing more: the
// settings, the loggers, the duplicate log, the trust center's clients, the
// configuration refresh and the state of the processing call. The engine
// implements it; the steps never see the engine itself, so the pipeline
// depends on nothing above it. Used by the one worker thread of a run while
// clients change the engine from other threads, so whatever may change under
// a run is handed out as a copy.
class StepContext {
 public:
  virtual ~StepContext() = default;

  virtual const std::shared_ptr<ClientConfig>& GetClientConfig() const = 0;
  virtual const std::shared_ptr<KorvexLogger>& GetLogger() const = 0;
  virtual const std::shared_ptr<DuplicateLog>& GetDuplicateLog() const = 0;
  // May change at every configuration load: steps ask again when they start.
  virtual std::shared_ptr<InputGateClient> GetInputGateClient() const = 0;
  virtual std::shared_ptr<CredentialCache> GetCredentialCache() const = 0;
  virtual std::shared_ptr<SecurityClient> GetSecurityClient() const = 0;

  // The configuration refresh at the start of every step.
  virtual bool IsConfigDownloadRequired() = 0;
  // Throws ConfigLoadException when the load failed.
  virtual void LoadOnlineConfig() = 0;
  // False (after a report with the current step's origin) when the security
  // client cannot be used.
  virtual bool StartSecureClient() = 0;
  // Single-file mode: the name the run's file was written under by the step
  // that had it, which the later steps of the run take; "" when it went no
  // further there (missing, rejected, not handled).
  virtual void SetSingleFileName(const std::string& name) = 0;

  // "de" or "fr".
  virtual std::string GetLanguage() const = 0;
  virtual std::string GetMachineId() const = 0;
  virtual std::string GetClientDescription() const = 0;

  // The update offer of the send step's version check.
  virtual bool GetAutoUpdate() const = 0;
  virtual std::string GetUpdateMsg() const = 0;
  virtual void SetUpdateMsg(const std::string& msg) = 0;
  virtual void SetUpdateAvailable(int available) = 0;

  // The processing call the step belongs to: cancelled, part of an Auto run,
  // started by a client with someone at the screen to answer a question, or
  // limited to one named file.
  virtual bool IsCancelled() const = 0;
  virtual bool IsAutoRun() const = 0;
  virtual bool IsInteractive() const = 0;
  virtual bool IsSingleFileMode() const = 0;
  virtual std::string SingleFileName() const = 0;
};

}  // namespace belmor::korvex

#endif  // KORVEX_PIPELINE_STEP_CONTEXT_H_
