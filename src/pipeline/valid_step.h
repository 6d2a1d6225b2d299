#ifndef KORVEX_PIPELINE_VALID_STEP_H_
#define KORVEX_PIPELINE_VALID_STEP_H_

#include <memory>
#include <string>

#include "pipeline/abstract_step.h"

namespace belmor::korvex {

class DuplicateLog;
class InputGateClient;
struct VersionInfo;

// Checks the invoices of work "input" before anything is sent: the rule's
// schemas, the trust center's minimum client version for the invoice's
// treatment date, the key values the duplicate check needs, and the
// duplicate log. Invoices that pass go to work "valid" unchanged, the others
// to the day's error directory with the code of their fault.
class ValidationStep : public AbstractStep {
 public:
  explicit ValidationStep(const std::shared_ptr<StepContext>& engine);

  // Work "input" to work "valid"; takes the engine's gate client and starts
  // the security client.
  bool Init() override;
  // Asks the gate for the minimum version. Without an answer no invoice is
  // checked, so they all stay in work "input" for the next run.
  bool PreHandle() override;
  void Handle(const std::shared_ptr<StepWorkObject>& work) override;

  // Whether version is older than minimum. Dot-separated parts are compared
  // one by one, numerically where both are digits ("5.0.3" < "5.0.10"), as
  // text otherwise; a missing part counts as "0".
  static bool IsOlderVersion(const std::string& version, const std::string& minimum);

 private:
  std::shared_ptr<DuplicateLog> duplicateLog_;
  std::shared_ptr<InputGateClient> inputGate_;
  std::shared_ptr<VersionInfo> versionInfo_;
};

}  // namespace belmor::korvex

#endif  // KORVEX_PIPELINE_VALID_STEP_H_
