#include "pipeline/transform_step.h"

#include "common/exception.h"
#include "config/client_config.h"
#include "pipeline/step_context.h"
#include "logging/korvex_logger.h"
#include "logging/log.h"
#include "logging/report.h"
#include "pipeline/client_exception.h"
#include "pipeline/step_work_object.h"
#include "transport/credential_cache.h"

namespace belmor::korvex {

namespace {

constexpr int32_t kCodeWorkDirectory = 7;
constexpr int32_t kCodeUnknownFormat = 10;
constexpr int32_t kCodeNotAnonymised = 15;

constexpr int kTextNotAnonymised = 12;
constexpr int kTextUnknownFormat = 21;
constexpr int kTextWorkDirectoryNotSet = 34;

// Below these lengths the HIN login and the recipient list cannot be real.
constexpr size_t kMinLoginLength = 3;
constexpr size_t kMinRecipientLength = 6;

std::string Text(int number) { return KorvexLogger::GetMessageText(number); }

}  // namespace

TransformStep::TransformStep(const std::shared_ptr<StepContext>& engine) : AbstractStep(engine, moPAnonymizer, 10, 11, 30) {}

bool TransformStep::Init() {
  source_ = directories_.workValid;
  destination_ = directories_.workOutput;
  if (destination_.ToString().size() < 3 || !Accessible(destination_)) {
    throw ClientException(mlError, mcModule, origin_, kCodeWorkDirectory, "", Text(kTextWorkDirectoryNotSet));
  }
  if (!AbstractStep::Init() || !engine_->StartSecureClient()) return false;

  if (clientConfig_->GetHinLogin().size() < kMinLoginLength) {
    KX_LOG(WARN) << "[TransformStep::Init][HIN login not set]";
  }
  const std::shared_ptr<TrustCenter>& center = clientConfig_->CurrentCenter();
  if (center && center->rcpt.size() < kMinRecipientLength) {
    KX_LOG(WARN) << "[TransformStep::Init][trust center rcpt not set][" << center->rcpt << "]";
  }

  std::string failure;
  try {
    const std::shared_ptr<CredentialCache>& credentials = engine_->GetCredentialCache();
    if (!credentials) throw common::RuntimeException("TransformStep::Init: no credential cache");
    credentials->LoadCredentials(true);
    return true;
  } catch (const common::Exception& e) {
    failure = e.ChainText();
  } catch (const std::exception& e) {
    failure = e.what();
  } catch (...) {
    failure = "unknown exception";
  }
  KX_LOG(ERROR) << "[TransformStep::Init][" << failure << "]";
  Report(mlDebug, kCodeNotAnonymised, "", "can't download certificate for current trust center");
  throw ClientException(mlError, mcModule, origin_, kCodeNotAnonymised, "", Text(kTextNotAnonymised));
}

void TransformStep::Handle(const std::shared_ptr<StepWorkObject>& work) {
  const std::string name = work->FileName();
  KX_LOG(DEBUG) << "TransformStep::Handle: " << name << " : enter";

  if (!work->Validate()) {
    work->MoveToError();
    Report(mlError, kCodeUnknownFormat, name, Text(kTextUnknownFormat));
    return;
  }

  if (work->Transform()) {
    work->MoveTo();
    KX_LOG(DEBUG) << "TransformStep::Handle: " << name << " : finished";
    return;
  }
  Report(mlError, kCodeNotAnonymised, name, Text(kTextNotAnonymised));
  work->MoveToError();
}

}  // namespace belmor::korvex
