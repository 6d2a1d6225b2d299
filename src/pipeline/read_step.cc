#include "pipeline/read_step.h"

#include "config/client_config.h"
#include "logging/korvex_logger.h"
#include "logging/log.h"
#include "logging/report.h"
#include "pipeline/client_exception.h"
#include "pipeline/step_work_object.h"

namespace belmor::korvex {

namespace {

constexpr int32_t kCodeInvoiceDirectory = 6;
constexpr int32_t kCodeWorkDirectory = 7;

constexpr int kTextInvoiceDirectoryNotSet = 33;
constexpr int kTextWorkDirectoryNotSet = 34;
constexpr int kTextWorkDirectoryInvalid = 46;

}  // namespace

ReadStep::ReadStep(const std::shared_ptr<StepContext>& engine) : AbstractStep(engine, moPReader, 18, 29, 30) {
  // The billing program's invoice directory.
  foreignSource_ = true;
}

bool ReadStep::Init() {
  source_ = directories_.inputDir;
  destination_ = directories_.workInput;
  const auto fail = [this](int32_t code, int text) {
    return ClientException(mlError, mcModule, origin_, code, "", KorvexLogger::GetMessageText(text));
  };
  if (source_.ToString().size() >= 2 && Missing(source_)) {
    throw ClientException(mlError, mcModule, origin_, kCodeInvoiceDirectory, "", MissingText(source_));
  }
  if (source_.ToString().size() < 2 || !Accessible(source_)) {
    throw fail(kCodeInvoiceDirectory, kTextInvoiceDirectoryNotSet);
  }
  if (destination_.ToString().size() < 3) throw fail(kCodeWorkDirectory, kTextWorkDirectoryNotSet);
  if (!Accessible(destination_)) throw fail(kCodeWorkDirectory, kTextWorkDirectoryInvalid);
  return AbstractStep::Init();
}

void ReadStep::Handle(const std::shared_ptr<StepWorkObject>& work) {
  KX_LOG(DEBUG) << "ReadStep::Handle: " << work->FileName() << " : enter";
  work->MoveTo();
  KX_LOG(DEBUG) << "ReadStep::Handle: " << work->FileName() << " : enter";
}

}  // namespace belmor::korvex
