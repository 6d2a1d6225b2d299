#include "pipeline/abstract_step.h"

#include <unistd.h>

#include "common/directory_iterator.h"
#include "common/exception.h"
#include "common/file.h"
#include "config/client_config.h"
#include "engine/korvex.h"
#include "logging/korvex_logger.h"
#include "logging/log.h"
#include "logging/messages.h"
#include "logging/report.h"
#include "pipeline/client_exception.h"
#include "pipeline/step_semaphore.h"
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

// The monitor shows start and end reports in a fixed-size field.
constexpr size_t kMaxStepReportLength = 127;

std::string Text(int number) { return KorvexLogger::GetMessageText(number); }

// Cut to at most kMaxStepReportLength bytes without splitting a UTF-8
// character, which would turn the whole line into Latin-1 in the session log.
std::string Clip(std::string text) {
  if (text.size() <= kMaxStepReportLength) return text;
  size_t end = kMaxStepReportLength;
  while (end > 0 && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80) --end;
  text.resize(end);
  return text;
}

std::string Lower(std::string text) {
  for (char& c : text) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return text;
}

// A name the automation client hands in for single-file mode must name a file
// inside the step's source directory, not a path leading out of it.
bool IsPlainFileName(const std::string& name) {
  return !name.empty() && name != "." && name != ".." && name.find_first_of("/\\") == std::string::npos;
}

common::Path InDirectory(common::Path directory, const std::string& name) {
  directory.MakeDirectory();
  directory.SetFileName(name);
  return directory;
}

}  // namespace

AbstractStep::AbstractStep(const std::shared_ptr<Korvex>& engine, int32_t origin, int nameText, int successText,
                           int failureText)
    : engine_(engine), origin_(origin) {
  if (!engine_) throw common::RuntimeException("AbstractStep: no engine");
  clientConfig_ = engine_->GetClientConfig();
  securityClient_ = engine_->GetSecurityClient();
  logger_ = engine_->GetLogger();
  name_ = Text(nameText);
  successText_ = Text(successText);
  failureText_ = Text(failureText);
}

AbstractStep::~AbstractStep() = default;

void AbstractStep::Report(int32_t level, int32_t code, const std::string& fileName,
                          const std::string& message) const {
  Report(level, mcModule, code, fileName, message);
}

void AbstractStep::Report(int32_t level, int32_t mclass, int32_t code, const std::string& fileName,
                          const std::string& message) const {
  if (logger_) logger_->Log(level, mclass, origin_, code, fileName, message);
}

void AbstractStep::ReleaseSemaphore() const {
  if (const auto& semaphore = engine_->GetStepSemaphore()) semaphore->SetGreen();
}

bool AbstractStep::WorkDirectoryAccessible() const { return Accessible(clientConfig_->GetPathWork()); }

bool AbstractStep::Accessible(const common::Path& directory) {
  return ::access(directory.ToString().c_str(), R_OK | W_OK) == 0;
}

void AbstractStep::Run() {
  if (Korvex::CancelFlag()) {
    // An Auto run keeps the lock until its last step: its send step's
    // cleanup still talks to the trust center after a cancel.
    if (!Korvex::AutoRunFlag()) ReleaseSemaphore();
    return;
  }
  // A run that ends by an exception leaves no file queued for a later one.
  struct QueueGuard {
    std::deque<std::string>& queue;
    ~QueueGuard() { queue.clear(); }
  } guard{queue_};

  try {
    if (!clientConfig_) throw common::RuntimeException("AbstractStep::Run: no client config");
    if (clientConfig_->GetPathWork().ToString().size() < 2) {
      throw ClientException(mlFatal, mcModule, origin_, kCodeWorkDirectory, "", Text(kTextWorkDirectoryInvalid));
    }
    if (!WorkDirectoryAccessible()) {
      throw ClientException(mlError, mcModule, origin_, kCodeWorkDirectory, "", Text(kTextWorkDirectoryInvalid));
    }
    if (!clientConfig_->CurrentCenter()) {
      throw ClientException(mlError, mcModule, origin_, kCodeNoTrustCenter, "", Text(kTextNoTrustCenter));
    }
    if (engine_->IsConfigDownloadRequired()) {
      Report(mlInfo, kCodeStarted, "", Text(kTextDownload));
      engine_->LoadOnlineConfig();
      Report(mlInfo, kCodeStarted, "", Text(kTextConfigComplete));
    }
    Report(mlInfo, kCodeStarted, "", Clip(FormatMessageText(Text(kTextStarted), {name_})));

    errors_ = 0;
    copied_ = 0;
    if (Init()) {
      const int count = static_cast<int>(queue_.size());
      Report(mlInfo, mcCount, count, "", FormatMessageText(Text(kTextFileCount), {count}));
      if (queue_.empty()) {
        Report(mlWarning, kCodeNoFile, "", Text(kTextNoFile));
      } else if (PreHandle()) {
        HandleQueue();
      } else {
        KX_LOG(DEBUG) << "[AbstractStep::Run][PreHandle failed]";
      }
      Cleanup();
    }

    const std::string finished = Clip(FormatMessageText(Text(kTextFinished), {name_, copied_, errors_}));
    if (!Korvex::AutoRunFlag()) ReleaseSemaphore();
    ClearQueue();
    Report(mlInfo, kCodeFinished, "", finished);
  } catch (const ClientException& e) {
    if (logger_) logger_->Log(e.Level(), e.Class(), e.Origin(), e.Code(), e.FileName(), e.Message());
    throw common::RuntimeException("AbstractStep::Run failed", e);
  } catch (const ConfigLoadException& e) {
    Report(mlDebug, kCodeConfigLoad, "", e.Text());
    Report(mlError, kCodeConfigLoad, "", Text(kTextConfigIncomplete));
    throw common::RuntimeException("AbstractStep::Run failed", e);
  } catch (const common::Exception& e) {
    throw common::RuntimeException("AbstractStep::Run failed", e);
  } catch (...) {
    throw common::RuntimeException("AbstractStep::Run failed");
  }
}

void AbstractStep::HandleQueue() {
  while (!queue_.empty()) {
    if (Korvex::CancelFlag()) {
      if (!Korvex::AutoRunFlag()) ReleaseSemaphore();
      Report(mlWarning, kCodeCancelled, "", Text(kTextCancelled));
      break;
    }
    // Taken off the queue first: Handle may clear it.
    const std::shared_ptr<StepWorkObject> work = NewWorkObject(queue_.front());
    queue_.pop_front();
    bool prepared = false;
    try {
      prepared = work->Prepare();
    } catch (const common::FileException& e) {
      // The file vanished or cannot be read now. It stays where it is for the
      // next run, and the files behind it are still handled.
      KX_LOG(ERROR) << "[AbstractStep::Run][" << work->FileName() << "][unable to read][" << e.Text() << "]";
      Report(mlWarning, kCodeWriteFailed, work->FileName(), failureText_);
      continue;
    }
    if (prepared) {
      Handle(work);
    } else {
      work->MoveToError();
      Report(mlWarning, kCodeNoRule, work->FileName(), Text(kTextNoRule));
    }
  }
}

bool AbstractStep::Init() {
  KX_LOG(DEBUG) << "AbstractStep::init: " << name_ << ": enter";
  if (!WorkDirectoryAccessible()) {
    throw ClientException(mlError, mcModule, origin_, kCodeWorkDirectory, "", Text(kTextWorkDirectoryInvalid));
  }
  errorDir_ = clientConfig_->GetPathError();
  common::File(errorDir_).CreateDirectories();

  if (Korvex::IsSingleFileMode()) {
    const std::string name = Korvex::SingleFileName();
    bool found = false;
    if (IsPlainFileName(name)) {
      try {
        const common::File candidate(InDirectory(source_, name));
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
      if (Lower(it.CurrentPath().Extension()) == "xml" && file.Exists() && file.IsFile()) AddToQueue(it.Name());
    } catch (const common::Exception& e) {
      KX_LOG(DEBUG) << "[AbstractStep::Init][skipped " << it.Name() << "][" << e.Text() << "]";
    }
  }
}

std::shared_ptr<StepWorkObject> AbstractStep::NewWorkObject(const std::string& name) {
  return std::make_shared<StepWorkObject>(engine_, shared_from_this(), InDirectory(source_, name),
                                          InDirectory(destination_, name));
}

void AbstractStep::ClearQueue() { queue_.clear(); }

bool AbstractStep::PreHandle() { return true; }

void AbstractStep::Cleanup() {}

void AbstractStep::AddToQueue(std::string fileName) { queue_.push_back(std::move(fileName)); }

}  // namespace belmor::korvex
