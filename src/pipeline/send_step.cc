#include "pipeline/send_step.h"

#include <cstdio>
#include <vector>

#include "common/durable_file.h"
#include "common/exception.h"
#include "common/file.h"
#include "config/client_config.h"
#include "engine/korvex.h"
#include "logging/korvex_logger.h"
#include "logging/log.h"
#include "logging/messages.h"
#include "logging/report.h"
#include "pipeline/client_exception.h"
#include "pipeline/duplicate_log.h"
#include "pipeline/simple_invoice.h"
#include "pipeline/step_work_object.h"
#include "platform/command.h"
#include "transport/http_client.h"
#include "transport/input_gate_client.h"

namespace belmor::korvex {

namespace {

constexpr char kProduct[] = "korvex";
constexpr char kEdition[] = "ordiva";

constexpr int32_t kCodeWorkDirectory = 7;
constexpr int32_t kCodeDuplicate = 12;
constexpr int32_t kCodeNoConnection = 16;
constexpr int32_t kCodeTransmission = 17;
constexpr int32_t kCodeOtherCenter = 22;

constexpr int kTextUpdateQuestion = 2;
constexpr int kTextFilesInWork = 9;
constexpr int kTextNoConnection = 16;
constexpr int kTextTransmissionFailed = 17;
constexpr int kTextDuplicate = 23;
constexpr int kTextOtherCenter = 25;
constexpr int kTextNotCopied = 30;
constexpr int kTextCancelled = 32;
constexpr int kTextWorkDirectoryNotSet = 34;
constexpr int kTextReceptionStarted = 51;
constexpr int kTextFileReceived = 52;
constexpr int kTextReceptionFailed = 53;
constexpr int kTextReceptionFinished = 54;

std::string Text(int number) { return KorvexLogger::GetMessageText(number); }

}  // namespace

SendStep::SendStep(const std::shared_ptr<Korvex>& engine)
    : AbstractStep(engine, moPSender, 14, 29, 30),
      duplicateLog_(engine->GetDuplicateLog()),
      gate_(engine->GetInputGateClient()) {}

bool SendStep::Init() {
  source_ = clientConfig_->GetPathWorkOutput();
  destination_ = clientConfig_->GetPathArchive();
  try {
    common::File(destination_).CreateDirectories();
  } catch (const common::Exception& e) {
    KX_LOG(ERROR) << "[SendStep::Init][" << destination_.ToString() << "][" << e.Text() << "]";
  }
  // A configuration loaded since construction brings its own gate client.
  gate_ = engine_->GetInputGateClient();
  if (destination_.ToString().size() < 3 || !Accessible(destination_)) {
    throw ClientException(mlError, mcModule, origin_, kCodeWorkDirectory, "", Text(kTextWorkDirectoryNotSet));
  }
  if (!AbstractStep::Init()) return false;
  return engine_->StartSecureClient();
}

bool SendStep::PreHandle() {
  try {
    // The configuration load of Run may have replaced the gate client.
    gate_ = engine_->GetInputGateClient();
    if (!gate_) throw common::RuntimeException("no gate client");
    if (gate_->IsConnected()) return true;
    if (!gate_->Connect(kProduct, kEdition)) throw common::RuntimeException("connection failed");
    return true;
  } catch (const common::Exception& e) {
    KX_LOG(ERROR) << "SendStep::PreHandle: " << e.Text();
  } catch (...) {
    KX_LOG(ERROR) << "SendStep::PreHandle: create connection failed";
  }
  Report(mlError, kCodeNoConnection, "", Text(kTextNoConnection));
  return false;
}

void SendStep::Handle(const std::shared_ptr<StepWorkObject>& work) {
  const std::string name = work->FileName();
  KX_LOG(DEBUG) << "SendStep::Handle: " << name << " : enter";

  std::string recipient;
  if (!work->isTransformedForTrustCenter(clientConfig_->CurrentCenter(), recipient)) {
    Report(mlError, kCodeOtherCenter, name, Text(kTextOtherCenter));
    work->MoveToError();
    return;
  }

  // Known as sent: a second copy in the same batch, or a file whose upload
  // was answered just before the last run ended. It must not go out again.
  const std::shared_ptr<SimpleInvoice> invoice = work->GetSimpleInvoice();
  KX_LOG(DEBUG) << "SendStep::Handle: " << name << " : SimpleInvoice: " << (invoice ? invoice->Dump() : "");
  if (invoice && duplicateLog_ && duplicateLog_->IsDuplicate(invoice)) {
    Report(mlError, kCodeDuplicate, name, Text(kTextDuplicate));
    work->MoveToError();
    return;
  }

  try {
    const std::vector<std::shared_ptr<LogRecord>> messages = gate_->Write2(work->Text());
    // An empty answer is a failed exchange only when the gate did not take
    // the invoice: a gate that accepts without comment must not get the same
    // invoice again with every run.
    if (messages.empty() && gate_->WriteFailed()) {
      Report(mlError, kCodeTransmission, name, Text(kTextTransmissionFailed));
      Report(mlWarning, 3, name, Text(kTextNotCopied));
      ++errors_;
      return;
    }
    for (const auto& message : messages) logger_->Log(message);
    if (gate_->WriteFailed()) {
      Report(mlError, kCodeTransmission, name, Text(kTextTransmissionFailed));
      work->MoveToError();
      return;
    }
    // Recorded before the file leaves "output": if the run ends between the
    // two, the next run finds the invoice known and does not send it again.
    if (invoice && duplicateLog_) duplicateLog_->Add(invoice);
    if (clientConfig_->GetArchive()) {
      work->MoveTo();
      KX_LOG(DEBUG) << "SendStep::Handle: " << name << " : archive";
    } else {
      work->DeleteSource();
      KX_LOG(DEBUG) << "SendStep::Handle: " << name << " : delete";
    }
    KX_LOG(DEBUG) << "SendStep::Handle: " << name << " : finished";
  } catch (const common::RuntimeException& e) {
    KX_LOG(ERROR) << "SendStep::Handle: " << name << " : " << e.Text();
    Report(mlError, kCodeTransmission, name, Text(kTextTransmissionFailed));
  }
}

void SendStep::Cleanup() {
  // One file at a time: the session stays for the next file's run.
  if (Korvex::IsSingleFileMode()) return;
  if (!clientConfig_->GetZsrDownFilter().empty()) FetchResponses();
  CheckVersion();
  if (gate_) gate_->CloseSession();
}

std::string SendStep::ResponseFileName(const std::string& name) {
  const size_t slash = name.find_last_of("/\\");
  std::string base = slash == std::string::npos ? name : name.substr(slash + 1);
  if (base.empty() || base == "." || base == "..") return "";
  const size_t dot = base.rfind('.');
  if (dot == std::string::npos) return base + ".xml";
  base.replace(dot + 1, std::string::npos, "xml");
  // "..pdf" and the like would become "..xml": a name, not a directory.
  return base;
}

void SendStep::Downloader(int32_t level, int32_t mclass, int32_t code, const std::string& fileName,
                          const std::string& message) const {
  if (logger_) logger_->Log(level, mclass, moPDownloader, code, fileName, message);
}

void SendStep::FetchResponses() {
  try {
    PreHandle();
    const std::string& filter = clientConfig_->GetZsrDownFilter();
    const std::shared_ptr<std::vector<std::string>> names = gate_->EnumResponses(kProduct, kEdition, filter);
    if (!names || names->empty()) return;

    Downloader(mlInfo, mcModule, 0, "", Text(kTextReceptionStarted));
    const int32_t count = static_cast<int32_t>(names->size());
    Downloader(mlInfo, mcCount, count, "", FormatMessageText(Text(kTextFilesInWork), {count}).substr(0, 127));

    common::Path directory = clientConfig_->GetPathWork();
    directory.PushDirectory("responses");
    for (const std::string& name : *names) {
      if (Korvex::CancelFlag()) {
        Downloader(mlWarning, mcModule, 5, "", Text(kTextCancelled));
        break;
      }
      const std::string fileName = ResponseFileName(name);
      KX_LOG(DEBUG) << "SendStep::Cleanup: store responses in " << directory.ToString();
      if (fileName.empty()) {
        KX_LOG(ERROR) << "[SendStep::Cleanup][response name refused][" << name << "]";
        Downloader(mlWarning, mcModule, 3, name, Text(kTextReceptionFailed));
        continue;
      }
      common::Path target = directory;
      target.SetFileName(fileName);
      Downloader(mlDebug, mcModule, 0, fileName, "Download for file started");

      const std::string text = gate_->ReadResponse(kProduct, kEdition, name, false);
      bool stored = false;
      if (!text.empty()) {
        try {
          common::File(directory).CreateDirectories();
          // Whole or not at all: the write step must never hand the practice
          // half a response, and an unconfirmed one comes again next run.
          common::ReplaceFileAtomically(target.ToString(), text);
          stored = true;
        } catch (const common::Exception& e) {
          KX_LOG(ERROR) << "[SendStep::Cleanup][" << target.ToString() << "][" << e.Text() << "]";
        }
      }
      if (stored) {
        gate_->ReadResponse(kProduct, kEdition, name, true);
        Downloader(mlInfo, mcModule, 2, fileName, Text(kTextFileReceived));
      } else {
        Downloader(mlWarning, mcModule, 3, fileName, Text(kTextReceptionFailed));
      }
    }
    Downloader(mlInfo, mcModule, 1, "", Text(kTextReceptionFinished));
  } catch (const common::RuntimeException& e) {
    KX_LOG(ERROR) << "SendStep::Cleanup: call responsegate failed: " << e.Text();
    Downloader(mlError, mcModule, 0, "", Text(kTextReceptionFailed));
  } catch (...) {
    KX_LOG(ERROR) << "SendStep::Cleanup: call responsegate failed";
    Downloader(mlError, mcModule, 0, "", Text(kTextReceptionFailed));
  }
}

bool SendStep::IsNewer(const std::string& currentVersion) { return std::string(kBuildDate) < currentVersion; }

std::string SendStep::SetupFileName(const std::string& url) {
  std::string path = url.substr(0, url.find_first_of("?#"));
  const size_t slash = path.rfind('/');
  if (slash != std::string::npos) path.erase(0, slash + 1);
  std::string name;
  for (char c : path) {
    const bool safe = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' ||
                      c == '_' || c == '-';
    if (safe) name += c;
  }
  if (name.empty() || name.find_first_not_of('.') == std::string::npos) return kDefaultSetupName;
  return name;
}

void SendStep::CheckVersion() {
  try {
    if (!gate_) return;
    const std::shared_ptr<VersionInfo> info = gate_->QueryNewVersion(kBuildDate, engine_->GetLanguage());
    if (!info || info->url.empty() || !IsNewer(info->currentVersion)) return;
    engine_->SetUpdateAvailable(1);
    engine_->SetUpdateMsg(info->info);
    if (!engine_->GetAutoUpdate()) return;
    if (platform::AskYesNo(Text(kTextUpdateQuestion) + "\r\n\r\n" + engine_->GetUpdateMsg())) DownloadUpdate(info->url);
  } catch (const common::RuntimeException& e) {
    KX_LOG(ERROR) << "[SendStep::Cleanup][CheckVersion failed][" << e.Text() << "]";
  } catch (...) {
    KX_LOG(ERROR) << "[SendStep::Cleanup][CheckVersion failed][unknow exception]";
  }
}

void SendStep::DownloadUpdate(const std::string& url) {
  HttpClient client;
  const int32_t status = client.Get(url);
  KX_LOG(DEBUG) << "[SendStep::CheckVersion][download update=" << url << "]";
  if (status < 200 || status > 299) return;
  common::Path target = clientConfig_->GetPathWork();
  target.SetFileName(SetupFileName(url));
  common::ReplaceFileAtomically(target.ToString(), client.GetResponse());
  platform::OpenInBrowser(target.ToString());
}

}  // namespace belmor::korvex
