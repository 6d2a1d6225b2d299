#include "pipeline/write_step.h"

#include "common/exception.h"
#include "common/file.h"
#include "config/client_config.h"
#include "logging/korvex_logger.h"
#include "logging/log.h"
#include "logging/report.h"
#include "pipeline/client_exception.h"
#include "pipeline/step_work_object.h"

namespace belmor::korvex {

namespace {

constexpr int32_t kCodeWorkDirectory = 7;
constexpr int32_t kCodeResponseDirectory = 23;

constexpr int kTextWorkDirectoryNotSet = 34;
constexpr int kTextResponseDirectoryNotSet = 49;
constexpr int kTextResponseDirectoryInvalid = 50;

}  // namespace

WriteStep::WriteStep(const std::shared_ptr<StepContext>& engine) : AbstractStep(engine, moPWriter, 26, 29, 30) {}

bool WriteStep::Init() {
  source_ = directories_.work;
  source_.PushDirectory("responses");
  destination_ = directories_.outputDir;
  const auto fail = [this](int32_t code, int text) {
    return ClientException(mlError, mcModule, origin_, code, "", KorvexLogger::GetMessageText(text));
  };
  if (source_.ToString().size() < 2) throw fail(kCodeResponseDirectory, kTextResponseDirectoryNotSet);
  if (!Accessible(source_)) throw fail(kCodeResponseDirectory, kTextResponseDirectoryInvalid);
  if (destination_.ToString().size() >= 3 && Missing(destination_)) {
    throw ClientException(mlError, mcModule, origin_, kCodeResponseDirectory, "", MissingText(destination_));
  }
  if (destination_.ToString().size() < 3 || !Accessible(destination_)) {
    throw fail(kCodeWorkDirectory, kTextWorkDirectoryNotSet);
  }
  // The archive copies are written there too.
  RemoveStaleTemporaries(clientConfig_->Dated(directories_.responsesArchive));
  return AbstractStep::Init();
}

void WriteStep::Handle(const std::shared_ptr<StepWorkObject>& work) {
  const std::string name = work->FileName();
  KX_LOG(DEBUG) << "WriteStep::Handle: " << name << " : enter";
  if (clientConfig_->GetArchive()) {
    const common::Path archive = clientConfig_->Dated(directories_.responsesArchive);
    try {
      common::File(archive).CreateDirectories(common::kPrivateDirectoryMode);
    } catch (const common::Exception& e) {
      // CopyTo reports the failed copy; the response still reaches the practice.
      KX_LOG(ERROR) << "[WriteStep::Handle][" << archive.ToString() << "][" << e.Text() << "]";
    }
    work->CopyTo(archive);
    KX_LOG(DEBUG) << "WriteStep::Handle: " << name << " : archive";
  }
  work->MoveTo();
  KX_LOG(DEBUG) << "WriteStep::Handle: " << name << " : finished";
}

}  // namespace belmor::korvex
