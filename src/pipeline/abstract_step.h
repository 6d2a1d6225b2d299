#ifndef KORVEX_PIPELINE_ABSTRACT_STEP_H_
#define KORVEX_PIPELINE_ABSTRACT_STEP_H_

#include <sys/types.h>

#include <cstdint>
#include <deque>
#include <memory>
#include <string>

#include "common/path.h"
#include "config/client_config.h"

namespace belmor::korvex {

class ClientConfig;
class StepContext;
class KorvexLogger;
class SecurityClient;
class StepWorkObject;

// One stage of invoice processing: moves the invoice files of a source
// directory to a destination directory, one StepWorkObject per file, made
// when the file's turn comes. Run fixes
// the order every step follows (checks, configuration refresh, collection,
// per-file handling, cleanup, end report) and the reports the monitor shows;
// a concrete step chooses its directories in Init and decides in Handle what
// happens to each file.
//
// A step lives for one run, is owned by a shared pointer (its work objects
// point back to it) and is used by the one worker thread that runs it. It
// takes the work directories once, when it is made and again when Run starts,
// and works with that copy to its end: a client may put another work
// directory while it runs, which counts from the next step on.
class AbstractStep : public std::enable_shared_from_this<AbstractStep> {
 public:
  // The texts are catalogue numbers, looked up now in the language in use.
  AbstractStep(const std::shared_ptr<StepContext>& engine, int32_t origin, int nameText, int successText,
               int failureText);
  virtual ~AbstractStep();
  AbstractStep(const AbstractStep&) = delete;
  AbstractStep& operator=(const AbstractStep&) = delete;

  // Sets source and destination and collects the invoice files. The base
  // collects from source_; overrides check their directories, set source_
  // and destination_, then call it. False ends the run without handling.
  virtual bool Init();
  virtual void ClearQueue();
  // Preparation before the first file; false skips every file.
  virtual bool PreHandle();
  virtual void Handle(const std::shared_ptr<StepWorkObject>& work) = 0;
  // Runs after the last file, also when there was none.
  virtual void Cleanup();
  // Queues the file of that name in the source directory.
  virtual void AddToQueue(std::string fileName);

  // One whole run. Failures that end it are reported and leave as
  // common::RuntimeException "AbstractStep::Run failed". A step never gives
  // the step lock back: the run that owns it does, after its last step.
  void Run();

  // A report of this step: class mcModule and the step's origin.
  void Report(int32_t level, int32_t code, const std::string& fileName, const std::string& message) const;
  // Any report, for the tuples that need another class.
  void Report(int32_t level, int32_t mclass, int32_t code, const std::string& fileName,
              const std::string& message) const;

  const std::string& Name() const { return name_; }
  const std::string& SuccessText() const { return successText_; }
  const std::string& FailureText() const { return failureText_; }
  int32_t Origin() const { return origin_; }
  const common::Path& Source() const { return source_; }
  const common::Path& Destination() const { return destination_; }
  const common::Path& ErrorDir() const { return errorDir_; }
  // The directories this step took at its start.
  const ClientConfig::Directories& TakenDirectories() const { return directories_; }
  // The trust center in effect when Init ran (after the configuration
  // refresh): the files of this step are made for and sent to that one, even
  // if a client selects another meanwhile.
  const std::shared_ptr<TrustCenter>& Center() const { return center_; }
  const std::shared_ptr<StepContext>& GetEngine() const { return engine_; }
  const std::shared_ptr<ClientConfig>& GetClientConfig() const { return clientConfig_; }
  // The names of the files still to handle, in collection order.
  const std::deque<std::string>& Queue() const { return queue_; }
  // Whether the source files come from another program, which may not have
  // flushed them to disk; files in the work area were flushed when written.
  bool ForeignSource() const { return foreignSource_; }
  // Files passed on and files moved to the error directory in this run.
  int Copied() const { return copied_; }
  int Errors() const { return errors_; }

 protected:
  // The work object of source_ + name, to be passed on to destination_ + name.
  std::shared_ptr<StepWorkObject> NewWorkObject(const std::string& name);
  // Whether the work directory exists and may be read and written.
  bool WorkDirectoryAccessible() const;
  // Whether the directory exists and may be read and written.
  static bool Accessible(const common::Path& directory);
  // Whether the directory is not there at all. A setting may name one the
  // practice has yet to create: the report then names it ("Verzeichnis
  // fehlt: ..."), so the practice knows which.
  static bool Missing(const common::Path& directory);
  static std::string MissingText(const common::Path& directory);

  // Removes the regular files named with the temporary prefix that a killed
  // run left in directory (a missing directory has none). Init does this for
  // the source in the work area, the destination and the error directory; a
  // step that writes elsewhere too calls it for that directory.
  void RemoveStaleTemporaries(const common::Path& directory) const;

  common::Path source_;
  common::Path destination_;
  common::Path errorDir_;
  ClientConfig::Directories directories_;
  std::shared_ptr<TrustCenter> center_;
  std::shared_ptr<StepContext> engine_;
  std::shared_ptr<ClientConfig> clientConfig_;
  std::shared_ptr<SecurityClient> securityClient_;
  std::shared_ptr<KorvexLogger> logger_;
  std::string name_;
  std::string successText_;
  std::string failureText_;
  int32_t origin_;
  // Names, not work objects: a work object is made when its file's turn
  // comes, so a run over thousands of files holds one at a time.
  std::deque<std::string> queue_;
  int errors_ = 0;
  int copied_ = 0;
  // Files left in the source for the next run, each reported as waiting.
  int waiting_ = 0;
  bool foreignSource_ = false;

 private:
  // The work objects count what they pass on and what they reject.
  friend class StepWorkObject;

  // Run without what single-file mode adds.
  void RunChecked();
  void Collect();
  // The files of the queue, then Cleanup, which runs also when the handling
  // threw.
  void HandleAndCleanUp();
  void HandleQueue();
  void HandleOne(const std::string& name);
  // The report of a file whose handling failed.
  void FileFailed(const std::string& name, const std::string& failure) const;
  bool InWorkArea(const common::Path& directory) const;

  // Single-file mode: the name this step passed the run's file on under;
  // empty while it has not.
  std::string singleFileWritten_;
};

}  // namespace belmor::korvex

#endif  // KORVEX_PIPELINE_ABSTRACT_STEP_H_
