#include "pipeline/abstract_step.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <exception>
#include <vector>

#include "common/directory_iterator.h"
#include "common/durable_file.h"
#include "common/exception.h"
#include "common/file.h"
#include "common/string_util.h"
#include "config/client_config.h"
#include "config/config_loader.h"
#include "pipeline/step_context.h"
#include "logging/korvex_logger.h"
#include "logging/log.h"
#include "logging/messages.h"
#include "logging/report.h"
#include "pipeline/client_exception.h"
#include "pipeline/step_work_object.h"

namespace belmor::korvex {

namespace {

// Report codes of the step framework.
constexpr int32_t kCodeStarted = 0;
constexpr int32_t kCodeFinished = 1;
constexpr int32_t kCodeWriteFailed = 3;
constexpr int32_t kCodeNoFile = 4;
constexpr int32_t kCodeCancelled = 5;
constexpr int32_t kCodeWorkDirectory = 7;
constexpr int32_t kCodeNoTrustCenter = 9;
constexpr int32_t kCodeNoRule = 29;
constexpr int32_t kCodeConfigLoad = 30;
constexpr int32_t kCodeSingleFileMissing = 31;

// Catalogue texts.
constexpr int kTextFileCount = 9;
constexpr int kTextStarted = 27;
constexpr int kTextFinished = 28;
constexpr int kTextNoFile = 31;
constexpr int kTextCancelled = 32;
constexpr int kTextNoTrustCenter = 36;
constexpr int kTextWorkDirectoryInvalid = 46;
constexpr int kTextNoRule = 57;
constexpr int kTextConfigIncomplete = 58;
constexpr int kTextDownload = 59;
constexpr int kTextConfigComplete = 60;
constexpr int kTextDirectoryMissing = 74;
constexpr int kTextWaiting = 68;

// Why an online configuration load failed, when a document could not be
// fetched; the other failures leave the configuration incomplete.
constexpr int32_t kCodeConfigUnreachable = 45;
constexpr int32_t kCodeConfigHttpStatus = 46;
constexpr int32_t kCodeConfigLoginRequired = 47;
constexpr int kTextConfigUnreachable = 69;
constexpr int kTextConfigHttpStatus = 70;
constexpr int kTextConfigLoginRequired = 71;

std::string Text(int number) { return KorvexLogger::GetMessageText(number); }


// A name the automation client hands in for single-file mode must name a file
// inside the step's source directory, not a path leading out of it.
bool IsPlainFileName(const std::string& name) {
  return !name.empty() && name != "." && name != ".." && name.find_first_of("/\\") == std::string::npos;
}

std::string WithSeparator(std::string text) {
  if (text.empty() || text.back() != '/') text += '/';
  return text;
}

// The error report of a failed configuration load: why a document could not
// be fetched, else that the configuration is incomplete.
void ReportConfigLoadFailure(const AbstractStep& step, const ConfigLoadException& e) {
  const DocumentFetchException* fetch = FindFetchFailure(e);
  if (dynamic_cast<const HinLoginRequiredException*>(fetch)) {
    step.Report(mlError, kCodeConfigLoginRequired, "", Text(kTextConfigLoginRequired));
  } else if (dynamic_cast<const TrustCenterStatusException*>(fetch)) {
    step.Report(mlError, kCodeConfigHttpStatus, "",
                ClipReportText(FormatMessageText(Text(kTextConfigHttpStatus), {fetch->Code()})));
  } else if (fetch) {
    step.Report(mlError, kCodeConfigUnreachable, "", Text(kTextConfigUnreachable));
  } else {
    step.Report(mlError, kCodeConfigLoad, "", Text(kTextConfigIncomplete));
  }
}

}  // namespace

AbstractStep::AbstractStep(const std::shared_ptr<StepContext>& engine, int32_t origin, int nameText, int successText,
                           int failureText)
    : engine_(engine), origin_(origin) {
  if (!engine_) throw common::RuntimeException("AbstractStep: no engine");
  clientConfig_ = engine_->GetClientConfig();
  if (clientConfig_) directories_ = clientConfig_->GetDirectories();
  securityClient_ = engine_->GetSecurityClient();
  logger_ = engine_->GetLogger();
  name_ = Text(nameText);
  successText_ = Text(successText);
  failureText_ = Text(failureText);
}

AbstractStep::~AbstractStep() = default;

bool AbstractStep::Missing(const common::Path& directory) {
  struct stat info {};
  return ::stat(directory.ToString().c_str(), &info) != 0 && errno == ENOENT;
}

std::string AbstractStep::MissingText(const common::Path& directory) {
  return FormatMessageText(Text(kTextDirectoryMissing), {directory.ToString()});
}

void AbstractStep::Report(int32_t level, int32_t code, const std::string& fileName,
                          const std::string& message) const {
  Report(level, mcModule, code, fileName, message);
}

void AbstractStep::Report(int32_t level, int32_t mclass, int32_t code, const std::string& fileName,
                          const std::string& message) const {
  if (logger_) logger_->Log(level, mclass, origin_, code, fileName, message);
}

bool AbstractStep::WorkDirectoryAccessible() const { return Accessible(directories_.work); }

bool AbstractStep::Accessible(const common::Path& directory) {
  return ::access(directory.ToString().c_str(), R_OK | W_OK) == 0;
}

void AbstractStep::Run() {
  if (engine_->IsCancelled()) return;
  // In single-file mode the later steps take the file this one wrote, not
  // whatever of that name waits in their source directories: an older
  // invoice of the same name in work input would go out instead of the one
  // the caller named. However the step ended, they learn where the file went.
  if (!engine_->IsSingleFileMode()) {
    RunChecked();
    return;
  }
  singleFileWritten_.clear();
  try {
    RunChecked();
  } catch (...) {
    engine_->SetSingleFileName(singleFileWritten_);
    throw;
  }
  engine_->SetSingleFileName(singleFileWritten_);
}

void AbstractStep::RunChecked() {
  // A run that ends by an exception leaves no file queued for a later one.
  struct QueueGuard {
    std::deque<std::string>& queue;
    ~QueueGuard() { queue.clear(); }
  } guard{queue_};

  try {
    if (!clientConfig_) throw common::RuntimeException("AbstractStep::Run: no client config");
    directories_ = clientConfig_->GetDirectories();
    if (directories_.work.ToString().size() < 2) {
      throw ClientException(mlFatal, mcModule, origin_, kCodeWorkDirectory, "", Text(kTextWorkDirectoryInvalid));
    }
    if (!WorkDirectoryAccessible()) {
      throw ClientException(mlError, mcModule, origin_, kCodeWorkDirectory, "", Text(kTextWorkDirectoryInvalid));
    }
    if (!clientConfig_->CurrentCenter()) {
      throw ClientException(mlError, mcModule, origin_, kCodeNoTrustCenter, "", Text(kTextNoTrustCenter));
    }
    errors_ = 0;
    copied_ = 0;
    waiting_ = 0;
    bool cancelled = false;
    if (engine_->IsConfigDownloadRequired()) {
      Report(mlInfo, kCodeStarted, "", Text(kTextDownload));
      engine_->LoadOnlineConfig();
      // A cancel during the download leaves the load undone: nothing is
      // complete, and the step handles no file.
      cancelled = engine_->IsCancelled();
      if (cancelled) {
        Report(mlWarning, kCodeCancelled, "", Text(kTextCancelled));
      } else {
        Report(mlInfo, kCodeStarted, "", Text(kTextConfigComplete));
      }
    }
    if (!cancelled) {
      Report(mlInfo, kCodeStarted, "", ClipReportText(FormatMessageText(Text(kTextStarted), {name_})));
      if (Init()) HandleAndCleanUp();
    }

    const std::string finished = ClipReportText(FormatMessageText(Text(kTextFinished), {name_, copied_, errors_}));
    ClearQueue();
    Report(mlInfo, kCodeFinished, "", finished);
    // After the end report, which keeps its form: clients read the counts
    // from it.
    if (waiting_ > 0) {
      Report(mlInfo, mcCount, waiting_, "", ClipReportText(FormatMessageText(Text(kTextWaiting), {waiting_})));
    }
  } catch (const ClientException& e) {
    if (logger_) logger_->Log(e.Level(), e.Class(), e.Origin(), e.Code(), e.FileName(), e.Message());
    throw common::RuntimeException("AbstractStep::Run failed", e);
  } catch (const ConfigLoadException& e) {
    Report(mlDebug, kCodeConfigLoad, "", e.Text());
    ReportConfigLoadFailure(*this, e);
    throw common::RuntimeException("AbstractStep::Run failed", e);
  } catch (const common::Exception& e) {
    throw common::RuntimeException("AbstractStep::Run failed", e);
  } catch (...) {
    throw common::RuntimeException("AbstractStep::Run failed");
  }
}

void AbstractStep::HandleAndCleanUp() {
  // Cleanup fetches the responses and closes the gate session: it runs
  // however the handling ended, and a failure of its own does not hide the
  // handling's.
  std::exception_ptr failure;
  try {
    const int count = static_cast<int>(queue_.size());
    Report(mlInfo, mcCount, count, "", FormatMessageText(Text(kTextFileCount), {count}));
    if (queue_.empty()) {
      Report(mlWarning, kCodeNoFile, "", Text(kTextNoFile));
    } else if (PreHandle()) {
      HandleQueue();
    } else {
      KX_LOG(DEBUG) << "[AbstractStep::Run][PreHandle failed]";
    }
  } catch (...) {
    failure = std::current_exception();
  }
  if (!failure) {
    Cleanup();
    return;
  }
  try {
    Cleanup();
  } catch (const common::Exception& e) {
    KX_LOG(ERROR) << "[AbstractStep::Run][" << name_ << "][cleanup failed][" << e.ChainText() << "]";
  } catch (const std::exception& e) {
    KX_LOG(ERROR) << "[AbstractStep::Run][" << name_ << "][cleanup failed][" << e.what() << "]";
  } catch (...) {
    KX_LOG(ERROR) << "[AbstractStep::Run][" << name_ << "][cleanup failed]";
  }
  std::rethrow_exception(failure);
}

void AbstractStep::HandleQueue() {
  while (!queue_.empty()) {
    if (engine_->IsCancelled()) {
      Report(mlWarning, kCodeCancelled, "", Text(kTextCancelled));
      break;
    }
    // Taken off the queue first: Handle may clear it.
    const std::string name = queue_.front();
    queue_.pop_front();
    // A failure is this file's alone: it is reported for the file, which
    // stays where the failure left it, and the files behind it are handled.
    try {
      HandleOne(name);
    } catch (const ClientException& e) {
      KX_LOG(ERROR) << "[AbstractStep::Run][" << name << "][" << e.Text() << "]";
      if (logger_) logger_->Log(e.Level(), e.Class(), e.Origin(), e.Code(), e.FileName(), e.Message());
    } catch (const common::Exception& e) {
      FileFailed(name, e.ChainText());
    } catch (const std::exception& e) {
      FileFailed(name, e.what());
    }
  }
}

void AbstractStep::HandleOne(const std::string& name) {
  const std::shared_ptr<StepWorkObject> work = NewWorkObject(name);
  if (work->Prepare()) {
    const int copied = copied_;
    Handle(work);
    // Passed on under the name written, which may be a free ".n." one.
    if (copied_ > copied) singleFileWritten_ = work->DestinationFile().FileName();
  } else {
    work->MoveToError();
    Report(mlWarning, kCodeNoRule, name, Text(kTextNoRule));
  }
}

void AbstractStep::FileFailed(const std::string& name, const std::string& failure) const {
  KX_LOG(ERROR) << "[AbstractStep::Run][" << name << "][" << failure << "]";
  Report(mlWarning, kCodeWriteFailed, name, failureText_);
}

bool AbstractStep::Init() {
  KX_LOG(DEBUG) << "AbstractStep::init: " << name_ << ": enter";
  if (!WorkDirectoryAccessible()) {
    throw ClientException(mlError, mcModule, origin_, kCodeWorkDirectory, "", Text(kTextWorkDirectoryInvalid));
  }
  errorDir_ = clientConfig_->Dated(directories_.error);
  center_ = clientConfig_->CurrentCenter();
  common::File(errorDir_).CreateDirectories(common::kPrivateDirectoryMode);
  // Before anything is collected: a temporary is never an invoice, and one
  // left by a killed run may hold a whole invoice in clear text.
  if (InWorkArea(source_)) RemoveStaleTemporaries(source_);
  RemoveStaleTemporaries(destination_);
  RemoveStaleTemporaries(errorDir_);

  if (engine_->IsSingleFileMode()) {
    const std::string name = engine_->SingleFileName();
    bool found = false;
    if (IsPlainFileName(name)) {
      try {
        const common::File candidate(common::InDirectory(source_, name));
        found = candidate.Exists() && candidate.IsFile();
      } catch (const common::Exception&) {
        found = false;
      }
    }
    if (!found) {
      Report(mlError, kCodeSingleFileMissing, name, "");
      return false;
    }
    AddToQueue(name);
  } else {
    Collect();
  }
  KX_LOG(DEBUG) << "[AbstractStep::Init][step]";
  return true;
}

void AbstractStep::Collect() {
  common::DirectoryIterator it{common::File(source_)};
  while (it.Next()) {
    try {
      const common::File& file = it.CurrentFile();
      if (common::AsciiLower(it.CurrentPath().Extension()) == "xml" && file.Exists() && file.IsFile()) AddToQueue(it.Name());
    } catch (const common::Exception& e) {
      KX_LOG(DEBUG) << "[AbstractStep::Init][skipped " << it.Name() << "][" << e.Text() << "]";
    }
  }
}

bool AbstractStep::InWorkArea(const common::Path& directory) const {
  const std::string work = WithSeparator(directories_.work.ToString());
  return WithSeparator(directory.ToString()).compare(0, work.size(), work) == 0;
}

void AbstractStep::RemoveStaleTemporaries(const common::Path& directory) const {
  const std::string prefix = common::kTemporaryPrefix;
  std::vector<std::string> stale;
  try {
    common::DirectoryIterator it{common::File(directory)};
    while (it.Next()) {
      if (it.Name().compare(0, prefix.size(), prefix) != 0) continue;
      // Not followed: only a file of our own is removed, never what a link names.
      struct stat info {};
      if (::lstat(it.CurrentPath().ToString().c_str(), &info) == 0 && S_ISREG(info.st_mode)) {
        stale.push_back(it.CurrentPath().ToString());
      }
    }
  } catch (const common::Exception& e) {
    // A directory that cannot be listed now is reported by the step itself.
    KX_LOG(DEBUG) << "[AbstractStep::Init][" << directory.ToString() << "][" << e.Text() << "]";
    return;
  }
  for (const std::string& path : stale) {
    try {
      common::File(path).Remove();
      KX_LOG(INFO) << "[AbstractStep::Init][removed stale temporary " << path << "]";
    } catch (const common::Exception& e) {
      KX_LOG(ERROR) << "[AbstractStep::Init][stale temporary not removed][" << e.Text() << "]";
    }
  }
}

std::shared_ptr<StepWorkObject> AbstractStep::NewWorkObject(const std::string& name) {
  return std::make_shared<StepWorkObject>(engine_, shared_from_this(), common::InDirectory(source_, name),
                                          common::InDirectory(destination_, name));
}

void AbstractStep::ClearQueue() { queue_.clear(); }

bool AbstractStep::PreHandle() { return true; }

void AbstractStep::Cleanup() {}

void AbstractStep::AddToQueue(std::string fileName) { queue_.push_back(std::move(fileName)); }

}  // namespace belmor::korvex
