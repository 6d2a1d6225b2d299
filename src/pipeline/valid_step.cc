#include "pipeline/valid_step.h"

#include <algorithm>
#include <cstdio>
#include <vector>

#include "common/exception.h"
#include "config/client_config.h"
#include "pipeline/step_context.h"
#include "logging/korvex_logger.h"
#include "logging/log.h"
#include "logging/report.h"
#include "pipeline/client_exception.h"
#include "pipeline/duplicate_log.h"
#include "pipeline/simple_invoice.h"
#include "pipeline/step_work_object.h"
#include "transport/input_gate_client.h"

namespace belmor::korvex {

namespace {

constexpr int32_t kCodeWorkDirectory = 7;
constexpr int32_t kCodeUnknownFormat = 10;
constexpr int32_t kCodeIncomplete = 11;
constexpr int32_t kCodeDuplicate = 12;
constexpr int32_t kCodeNoConnection = 16;
constexpr int32_t kCodeClientTooOld = 27;

constexpr int kTextNoConnection = 16;
constexpr int kTextUnknownFormat = 21;
constexpr int kTextIncomplete = 22;
constexpr int kTextDuplicate = 23;
constexpr int kTextWorkDirectoryNotSet = 34;
constexpr int kTextClientTooOld = 56;

// The version the minimum-version gate compares, as the trust center knows it.
constexpr int kVersionMajor = 5;
constexpr int kVersionMinor = 0;
constexpr int kVersionPatch = 3;

// A trust-center URL shorter than this cannot be one.
constexpr size_t kMinUrlLength = 8;

std::string Text(int number) { return KorvexLogger::GetMessageText(number); }

std::string ClientVersion() {
  char text[32];
  std::snprintf(text, sizeof text, "%d.%d.%d", kVersionMajor, kVersionMinor, kVersionPatch);
  return text;
}

std::vector<std::string> VersionParts(const std::string& version) {
  std::vector<std::string> parts(1);
  for (char c : version) {
    if (c == '.') {
      parts.emplace_back();
    } else {
      parts.back() += c;
    }
  }
  return parts;
}

bool AllDigits(const std::string& text) {
  if (text.empty()) return false;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
  }
  return true;
}

// Compared as digit strings, so no part is too long for a number.
int CompareNumbers(const std::string& a, const std::string& b) {
  const std::string x = a.substr(std::min(a.find_first_not_of('0'), a.size()));
  const std::string y = b.substr(std::min(b.find_first_not_of('0'), b.size()));
  if (x.size() != y.size()) return x.size() < y.size() ? -1 : 1;
  return x.compare(y);
}

}  // namespace

ValidationStep::ValidationStep(const std::shared_ptr<StepContext>& engine)
    : AbstractStep(engine, moPChecker, 19, 29, 30), duplicateLog_(engine->GetDuplicateLog()) {}

bool ValidationStep::IsOlderVersion(const std::string& version, const std::string& minimum) {
  const std::vector<std::string> mine = VersionParts(version);
  const std::vector<std::string> theirs = VersionParts(minimum);
  for (size_t i = 0; i < std::max(mine.size(), theirs.size()); ++i) {
    const std::string a = i < mine.size() ? mine[i] : "0";
    const std::string b = i < theirs.size() ? theirs[i] : "0";
    const int order = AllDigits(a) && AllDigits(b) ? CompareNumbers(a, b) : a.compare(b);
    if (order != 0) return order < 0;
  }
  return false;
}

bool ValidationStep::Init() {
  source_ = directories_.workInput;
  destination_ = directories_.workValid;
  inputGate_ = engine_->GetInputGateClient();
  if (destination_.ToString().size() < 3 || !Accessible(source_)) {
    throw ClientException(mlError, mcModule, origin_, kCodeWorkDirectory, "", Text(kTextWorkDirectoryNotSet));
  }
  // Without the log every invoice would pass as new; better none passes.
  if (!duplicateLog_) throw common::RuntimeException("ValidationStep::Init: no duplicate log");
  const std::shared_ptr<TrustCenter>& center = clientConfig_->CurrentCenter();
  if (center && center->url.size() < kMinUrlLength) {
    KX_LOG(WARN) << "[ValidationStep::Init][trust center url not set][" << center->url << "]";
  }
  if (!AbstractStep::Init()) return false;
  return engine_->StartSecureClient();
}

bool ValidationStep::PreHandle() {
  KX_LOG(DEBUG) << "ValidationStep::PreHandle";
  try {
    if (!inputGate_) throw common::RuntimeException("no input gate client");
    versionInfo_ = inputGate_->QueryMinVersion();
    // An empty answer is a failed query too: checking without the gate would
    // let through invoices the trust center refuses.
    if (!versionInfo_) throw common::RuntimeException("no minimum version answered");
    return true;
  } catch (const common::RuntimeException& e) {
    Report(mlError, kCodeNoConnection, "", Text(kTextNoConnection));
    KX_LOG(ERROR) << "[ValidationStep::PreHandle][Exception: " << e.Text() << "]";
  } catch (...) {
    Report(mlError, kCodeNoConnection, "", Text(kTextNoConnection));
    KX_LOG(ERROR) << "[ValidationStep::PreHandle][Exception: Unknown]";
  }
  return false;
}

void ValidationStep::Handle(const std::shared_ptr<StepWorkObject>& work) {
  const std::string name = work->FileName();
  KX_LOG(DEBUG) << "ValidationStep::Handle: " << name << " : enter";

  if (!work->Validate()) {
    work->MoveToError();
    Report(mlError, kCodeUnknownFormat, name, Text(kTextUnknownFormat));
    return;
  }

  const std::shared_ptr<SimpleInvoice> invoice = work->GetSimpleInvoice();
  KX_LOG(INFO) << "ValidationStep::Handle: " << name << ": SimpleInvoice: " << (invoice ? invoice->Dump() : "");

  if (invoice && versionInfo_ && !versionInfo_->minDate.empty() && !versionInfo_->minVer.empty() &&
      !invoice->GetDateEnd().empty() && versionInfo_->minDate < invoice->GetDateEnd() &&
      IsOlderVersion(ClientVersion(), versionInfo_->minVer)) {
    Report(mlError, kCodeClientTooOld, name, Text(kTextClientTooOld));
    work->MoveToError();
    return;
  }

  // No summary at all (the keys document did not parse) is as incomplete as
  // a summary without ID or amount.
  if (!invoice || invoice->GetID().empty() || invoice->GetAmount().empty()) {
    Report(mlError, kCodeIncomplete, name, Text(kTextIncomplete));
    work->MoveToError();
    return;
  }

  if (duplicateLog_->IsDuplicate(invoice)) {
    Report(mlError, kCodeDuplicate, name, Text(kTextDuplicate));
    work->MoveToError();
    return;
  }

  work->MoveTo();
  KX_LOG(DEBUG) << "ValidationStep::Handle: " << name << " : finished";
}

}  // namespace belmor::korvex
