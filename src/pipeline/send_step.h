#ifndef KORVEX_PIPELINE_SEND_STEP_H_
#define KORVEX_PIPELINE_SEND_STEP_H_

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>

#include "pipeline/abstract_step.h"

namespace belmor::korvex {

class DuplicateLog;
class InputGateClient;
class PendingJournal;

// Uploads the invoices that the transform step encrypted for the selected
// trust center (work "output"), archives or deletes each one the gate took,
// and records it in the duplicate log. After the invoices it fetches the
// practice's responses into work "responses", offers a newer client version
// and closes the gate session.
//
// An invoice leaves "output" only after the gate has answered for it: a file
// whose upload failed definitely (not sent, a fault, a 4xx or 503) stays and
// goes out with the next run. One whose fate is unknown (the body went out
// and no readable answer came back, or a crash cut the upload off, which the
// journal "korvex.pending" shows at the next start) goes to the error
// directory for the practice to ask the trust center: the product itself
// never sends it again. The first unknown outcome, and the first call that
// cannot reach the trust center, end the run's sending; the invoices not yet
// tried wait for the next run, and the rest of the run's calls are bounded.
class SendStep : public AbstractStep {
 public:
  // The build date the newest-version query compares against.
  static constexpr char kBuildDate[] = "20230413";

  explicit SendStep(const std::shared_ptr<StepContext>& engine);
  ~SendStep() override;

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

  // What each call of the gate may take once the run's sending has ended
  // (a cancel, an unreachable trust center, an unknown outcome).
  static constexpr std::chrono::milliseconds kShortCallLimit{2000};

 private:
  // A report of the response download, which has an origin of its own.
  void Downloader(int32_t level, int32_t mclass, int32_t code, const std::string& fileName,
                  const std::string& message) const;
  // One invoice: the checks, the upload and where the file goes. sent turns
  // true once the gate has taken it.
  void Send(const std::shared_ptr<StepWorkObject>& work, bool& sent);
  // Opens the gate session when none is open; false (logged) when it fails.
  bool Connect();
  // The uploads a crash cut off in an earlier run, before anything is sent.
  void RecoverUnfinishedUploads();
  // Moves the invoice to the error directory as one whose fate is unknown,
  // and records where it went.
  void Hold(const std::shared_ptr<StepWorkObject>& work, const std::string& sha256);
  // Moves the file to the error directory; its new path relative to the work
  // directory, or empty when it stayed.
  std::string MoveToErrorAsHeld(const std::shared_ptr<StepWorkObject>& work);
  // Records the file as held, moves it to the error directory and answers
  // where the journal says it is (relative to the work directory).
  std::string HoldFile(const std::shared_ptr<StepWorkObject>& work, const std::string& sha256);
  // Passes a sent invoice on: into the archive, or deleted.
  void PassOnSent(const std::shared_ptr<StepWorkObject>& work);
  // Appends a record to the journal; false (logged) when it could not be
  // written.
  bool Record(char state, const std::string& sha256, const std::string& name, const std::string& held = "");
  void Close();
  void FetchResponses();
  void CheckVersion();
  void OfferUpdate(const std::string& url);

  std::shared_ptr<DuplicateLog> duplicateLog_;
  std::shared_ptr<InputGateClient> gate_;
  std::unique_ptr<PendingJournal> journal_;
  // Set by the first unknown outcome or unreachable trust center: the rest
  // of the queue waits for the next run.
  bool sendingEnded_ = false;
  // Set when the session could not be opened before the invoices: that was
  // reported once, and the response download does not say it again.
  bool connectFailed_ = false;
};

}  // namespace belmor::korvex

#endif  // KORVEX_PIPELINE_SEND_STEP_H_
