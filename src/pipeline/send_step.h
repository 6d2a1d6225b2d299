#ifndef KORVEX_PIPELINE_SEND_STEP_H_
#define KORVEX_PIPELINE_SEND_STEP_H_

#include <cstdint>
#include <memory>
#include <string>

#include "pipeline/abstract_step.h"

namespace belmor::korvex {

class DuplicateLog;
class InputGateClient;

// Uploads the invoices that the transform step encrypted for the selected
// trust center (work "output"), archives or deletes each one the gate took,
// and records it in the duplicate log. After the invoices it fetches the
// practice's responses into work "responses", offers a newer client version
// and closes the gate session.
//
// An invoice leaves "output" only after the gate has answered for it: a file
// whose upload failed (no connection, a fault) stays and goes out with the
// next run; one whose answer could not be read, which the gate may have taken,
// goes to the error directory for the practice to decide.
class SendStep : public AbstractStep {
 public:
  // The build date the newest-version query compares against.
  static constexpr char kBuildDate[] = "20230413";

  explicit SendStep(const std::shared_ptr<StepContext>& engine);

  bool Init() override;
  bool PreHandle() override;
  void Handle(const std::shared_ptr<StepWorkObject>& work) override;
  void Cleanup() override;

  // The file name a response is stored under in work "responses": the last
  // component of the gate's name (either separator), its extension replaced
  // by "xml". Empty when nothing safe remains ("", ".", ".."), so a gate can
  // never make us write outside the directory.
  static std::string ResponseFileName(const std::string& name);
  // Whether currentVersion is newer than the build: byte-wise text order.
  static bool IsNewer(const std::string& currentVersion);

 private:
  // A report of the response download, which has an origin of its own.
  void Downloader(int32_t level, int32_t mclass, int32_t code, const std::string& fileName,
                  const std::string& message) const;
  // One invoice: the checks, the upload and where the file goes. sent turns
  // true once the gate has taken it.
  void Send(const std::shared_ptr<StepWorkObject>& work, bool& sent);
  void FetchResponses();
  void CheckVersion();
  void OfferUpdate(const std::string& url);

  std::shared_ptr<DuplicateLog> duplicateLog_;
  std::shared_ptr<InputGateClient> gate_;
};

}  // namespace belmor::korvex

#endif  // KORVEX_PIPELINE_SEND_STEP_H_
