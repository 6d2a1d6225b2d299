#include "pipeline/send_step.h"

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <exception>
#include <vector>

#include "common/durable_file.h"
#include "common/exception.h"
#include "common/file.h"
#include "common/string_util.h"
#include "config/client_config.h"
#include "pipeline/step_context.h"
#include "logging/korvex_logger.h"
#include "logging/log.h"
#include "logging/messages.h"
#include "logging/report.h"
#include "pipeline/client_exception.h"
#include "pipeline/duplicate_log.h"
#include "pipeline/pending_journal.h"
#include "pipeline/received_list.h"
#include "pipeline/simple_invoice.h"
#include "pipeline/step_work_object.h"
#include "platform/command.h"
#include "transport/curl_transfer.h"
#include "transport/http_client.h"
#include "transport/input_gate_client.h"

namespace belmor::korvex {

namespace {

constexpr char kProduct[] = "korvex";
constexpr char kEdition[] = "ordiva";

constexpr int32_t kCodeInfo = 0;
constexpr int32_t kCodeWriteFailed = 3;
constexpr int32_t kCodeWorkDirectory = 7;
constexpr int32_t kCodeDuplicate = 12;
constexpr int32_t kCodeNotLogged = 13;
constexpr int32_t kCodeNoConnection = 16;
constexpr int32_t kCodeTransmission = 17;
constexpr int32_t kCodeOutcomeUnknown = 18;
constexpr int32_t kCodeWaitsForNextRun = 20;
constexpr int32_t kCodeOtherCenter = 22;

constexpr int kTextUpdateQuestion = 2;
constexpr int kTextFilesInWork = 9;
constexpr int kTextNoConnection = 16;
constexpr int kTextTransmissionFailed = 17;
constexpr int kTextDuplicate = 23;
constexpr int kTextOtherCenter = 25;
constexpr int kTextNotCopied = 30;
constexpr int kTextNotLogged = 38;
constexpr int kTextCancelled = 32;
constexpr int kTextWorkDirectoryNotSet = 34;
constexpr int kTextReceptionStarted = 51;
constexpr int kTextFileReceived = 52;
constexpr int kTextReceptionFailed = 53;
constexpr int kTextReceptionFinished = 54;
constexpr int kTextOutcomeUnknown = 65;
constexpr int kTextWaitsForNextRun = 66;
constexpr int kTextForeignGate = 73;

// Once a run is cancelled, the whole of it ends within this time.
constexpr std::chrono::milliseconds kCancelBudget{5000};

std::string Text(int number) { return KorvexLogger::GetMessageText(number); }

// Where the response download stores what it fetched, for the write step.
common::Path ResponsesDirectory(const ClientConfig::Directories& directories) {
  common::Path directory = directories.work;
  directory.PushDirectory("responses");
  return directory;
}

// Writes text under name in directory, or under the first free name
// "stem.n.ext" when name is taken, and answers the name used. Never replaces
// a file: two responses that map to one name, or one the write step has not
// delivered yet, are all kept. Once it answers, the file and its name are on
// the disk.
std::string StoreUnique(const common::Path& directory, const std::string& name, const std::string& text) {
  const std::string dir = directory.DirectoryString();
  const std::string temporary = common::WriteDurableTemporary(dir, common::kTemporaryPrefix, text, common::kPrivateFileMode);
  common::Path candidate = directory;
  candidate.SetFileName(name);
  const std::string stem = candidate.BaseName();
  const std::string extension = candidate.Extension();
  try {
    for (int n = 1; !common::RenameNoReplace(temporary, candidate.ToString()); ++n) {
      candidate.SetFileName(stem + "." + std::to_string(n) + "." + extension);
    }
  } catch (...) {
    try {
      common::File(temporary).Remove();
    } catch (const common::Exception&) {
    }
    throw;
  }
  common::SyncDirectory(dir);
  return candidate.FileName();
}

}  // namespace

SendStep::SendStep(const std::shared_ptr<StepContext>& engine)
    : AbstractStep(engine, moPSender, 14, 29, 30),
      duplicateLog_(engine->GetDuplicateLog()),
      gate_(engine->GetInputGateClient()) {}

SendStep::~SendStep() = default;

bool SendStep::Init() {
  source_ = directories_.workOutput;
  destination_ = clientConfig_->Dated(directories_.archive);
  try {
    common::File(destination_).CreateDirectories(common::kPrivateDirectoryMode);
  } catch (const common::Exception& e) {
    KX_LOG(ERROR) << "[SendStep::Init][" << destination_.ToString() << "][" << e.Text() << "]";
  }
  // A configuration loaded since construction brings its own gate client.
  gate_ = engine_->GetInputGateClient();
  if (destination_.ToString().size() < 3 || !Accessible(destination_)) {
    throw ClientException(mlError, mcModule, origin_, kCodeWorkDirectory, "", Text(kTextWorkDirectoryNotSet));
  }
  // A download killed half-way leaves its temporary: a whole response, with
  // the patient's data, that nothing would ever remove.
  RemoveStaleTemporaries(ResponsesDirectory(directories_));
  if (!AbstractStep::Init()) return false;
  const common::Path journal = common::InDirectory(directories_.work, PendingJournal::kFileName);
  journal_ = std::make_unique<PendingJournal>(journal.ToString());
  RecoverUnfinishedUploads();
  return engine_->StartSecureClient();
}

bool SendStep::Connect() {
  try {
    // Init took the gate client after the configuration load of Run; the
    // response download of Cleanup keeps that one, and with it its session,
    // even when a client has selected another trust center meanwhile.
    if (!gate_) gate_ = engine_->GetInputGateClient();
    if (!gate_) throw common::RuntimeException("no gate client");
    if (gate_->IsConnected()) return true;
    if (gate_->Connect(kProduct, kEdition)) return true;
    if (!gate_->RefusedGate().empty()) {
      // The practice must know it is the trust center's answer, not the line.
      Report(mlError, kCodeNoConnection, "", FormatMessageText(Text(kTextForeignGate), {gate_->RefusedGate()}));
      return false;
    }
    throw common::RuntimeException("connection failed");
  } catch (const common::Exception& e) {
    KX_LOG(ERROR) << "SendStep::PreHandle: " << e.Text();
  } catch (...) {
    KX_LOG(ERROR) << "SendStep::PreHandle: create connection failed";
  }
  Report(mlError, kCodeNoConnection, "", Text(kTextNoConnection));
  return false;
}

bool SendStep::PreHandle() {
  if (Connect()) return true;
  connectFailed_ = true;
  // None of them was tried: each waits where it is, and the practice sees
  // which.
  for (const std::string& name : Queue()) {
    Report(mlWarning, kCodeWaitsForNextRun, name, Text(kTextWaitsForNextRun));
    ++waiting_;
  }
  if (gate_ && gate_->LastCallUnreachable()) sendingEnded_ = true;
  return false;
}

void SendStep::Handle(const std::shared_ptr<StepWorkObject>& work) {
  const std::string name = work->FileName();
  KX_LOG(DEBUG) << "SendStep::Handle: " << name << " : enter";
  if (sendingEnded_) {
    Report(mlWarning, kCodeWaitsForNextRun, name, Text(kTextWaitsForNextRun));
    ++waiting_;
    return;
  }
  // Whatever goes wrong with one invoice is reported for it; the next one is
  // still sent.
  bool sent = false;
  try {
    Send(work, sent);
    KX_LOG(DEBUG) << "SendStep::Handle: " << name << " : finished";
    return;
  } catch (const common::Exception& e) {
    KX_LOG(ERROR) << "SendStep::Handle: " << name << " : " << e.Text();
  } catch (const std::exception& e) {
    KX_LOG(ERROR) << "SendStep::Handle: " << name << " : " << e.what();
  } catch (...) {
    KX_LOG(ERROR) << "SendStep::Handle: " << name << " : unknown exception";
  }
  if (sent) {
    Report(mlWarning, kCodeWriteFailed, name, Text(kTextNotCopied));
  } else {
    Report(mlError, kCodeTransmission, name, Text(kTextTransmissionFailed));
  }
}

void SendStep::Send(const std::shared_ptr<StepWorkObject>& work, bool& sent) {
  const std::string& name = work->FileName();
  std::string recipient;
  if (!work->isTransformedForTrustCenter(Center() ? Center() : clientConfig_->CurrentCenter(), recipient)) {
    Report(mlError, kCodeOtherCenter, name, Text(kTextOtherCenter));
    work->MoveToError();
    return;
  }
  if (!gate_) throw common::RuntimeException("SendStep::Handle: no gate client");

  // Known as sent: a second copy in the same batch, or a file whose upload
  // was answered just before the last run ended. It must not go out again.
  std::shared_ptr<SimpleInvoice> invoice = work->GetSimpleInvoice();
  KX_LOG(DEBUG) << "SendStep::Handle: " << name << " : SimpleInvoice: " << (invoice ? invoice->Dump() : "");
  if (invoice && invoice->GetID().empty()) {
    // Without an ID a summary names no invoice: every such summary would
    // match every other, and all invoices after the first would be refused.
    Report(mlDebug, kCodeInfo, name, "SimpleInvoice without ID: not checked against or recorded in the duplicate log");
    invoice.reset();
  }
  if (invoice && duplicateLog_ && duplicateLog_->IsDuplicate(invoice)) {
    Report(mlError, kCodeDuplicate, name, Text(kTextDuplicate));
    work->MoveToError();
    return;
  }

  // On the disk before the request goes out: if the program dies before the
  // answer is recorded, the next run knows this upload's fate is unknown.
  const std::string sha256 = PendingJournal::Sha256Hex(work->Text());
  if (!Record('P', sha256, name)) {
    Report(mlError, kCodeTransmission, name, Text(kTextTransmissionFailed));
    return;
  }
  std::vector<std::shared_ptr<LogRecord>> messages;
  try {
    messages = gate_->Write2(work->Text());
  } catch (const GateFaultException& e) {
    // The gate read the invoice and refused it: it goes again with the next run.
    KX_LOG(ERROR) << "SendStep::Handle: " << name << " : " << e.Text();
    Record('D', sha256, name);
    Report(mlError, kCodeTransmission, name, Text(kTextTransmissionFailed));
    return;
  } catch (const TokenRequestException& e) {
    // No token, so nothing went out: the invoice waits for the next run.
    KX_LOG(ERROR) << "SendStep::Handle: " << name << " : " << e.ChainText();
    Record('D', sha256, name);
    Report(mlError, kCodeTransmission, name, Text(kTextTransmissionFailed));
    return;
  } catch (const std::exception& e) {
    // The gate may have taken it: sending it again could bill twice, so the
    // practice asks the trust center. Whatever made this answer go astray
    // would most likely do the same to the next invoice.
    KX_LOG(ERROR) << "SendStep::Handle: " << name << " : outcome unknown: " << e.what();
    Hold(work, sha256);
    sendingEnded_ = true;
    return;
  }
  // An empty answer is a failed exchange only when the gate did not take
  // the invoice: a gate that accepts without comment must not get the same
  // invoice again with every run.
  if (messages.empty() && gate_->WriteFailed()) {
    Record('D', sha256, name);
    Report(mlError, kCodeTransmission, name, Text(kTextTransmissionFailed));
    if (gate_->LastCallUnreachable()) {
      // The next invoice would wait as long for nothing. The gate never saw
      // this one: it waits like them, not counted as a faulty file.
      Report(mlWarning, kCodeWaitsForNextRun, name, Text(kTextWaitsForNextRun));
      ++waiting_;
      sendingEnded_ = true;
    } else {
      ++errors_;
      Report(mlWarning, kCodeWriteFailed, name, Text(kTextNotCopied));
    }
    return;
  }
  for (const auto& message : messages) logger_->Log(message);
  if (gate_->WriteFailed()) {
    Record('D', sha256, name);
    Report(mlError, kCodeTransmission, name, Text(kTextTransmissionFailed));
    work->MoveToError();
    return;
  }
  sent = true;
  // Recorded before the file leaves "output": if the run ends between the
  // two, the next run finds the invoice known and does not send it again.
  if (invoice && duplicateLog_ && !duplicateLog_->Add(invoice)) {
    // Sent, but a restart may not know it: the practice must hear of it.
    Report(mlError, kCodeNotLogged, name, Text(kTextNotLogged));
  }
  Record('S', sha256, name);
  PassOnSent(work);
}

void SendStep::PassOnSent(const std::shared_ptr<StepWorkObject>& work) {
  const std::string& name = work->FileName();
  if (clientConfig_->GetArchive()) {
    work->MoveTo();
    KX_LOG(DEBUG) << "SendStep::Handle: " << name << " : archive";
  } else {
    work->DeleteSource();
    KX_LOG(DEBUG) << "SendStep::Handle: " << name << " : delete";
  }
}

bool SendStep::Record(char state, const std::string& sha256, const std::string& name, const std::string& held) {
  if (!journal_) return false;
  PendingJournal::Entry entry;
  entry.state = static_cast<PendingJournal::State>(state);
  entry.time = static_cast<int64_t>(std::time(nullptr));
  entry.sha256 = sha256;
  entry.name = name;
  entry.held = held;
  try {
    journal_->Append(entry);
    return true;
  } catch (const common::Exception& e) {
    KX_LOG(ERROR) << "[SendStep::Record][" << journal_->path() << "][" << state << " " << name << "][" << e.Text()
                  << "]";
    return false;
  }
}

void SendStep::Hold(const std::shared_ptr<StepWorkObject>& work, const std::string& sha256) {
  const std::string& name = work->FileName();
  Report(mlError, kCodeOutcomeUnknown, name, Text(kTextOutcomeUnknown));
  HoldFile(work, sha256);
}

std::string SendStep::HoldFile(const std::shared_ptr<StepWorkObject>& work, const std::string& sha256) {
  const std::string& name = work->FileName();
  // Recorded before the move: a crash between the two leaves a held record
  // whose file is still in "output", which the next run moves then; never
  // a file in err/ that the journal does not know.
  std::string intended = common::InDirectory(clientConfig_->Dated(directories_.error), name).ToString();
  const std::string base = directories_.work.DirectoryString();
  if (intended.compare(0, base.size(), base) == 0) intended.erase(0, base.size());
  Record('H', sha256, name, intended);
  const std::string held = MoveToErrorAsHeld(work);
  if (!held.empty() && held != intended) Record('H', sha256, name, held);
  return held.empty() ? intended : held;
}

std::string SendStep::MoveToErrorAsHeld(const std::shared_ptr<StepWorkObject>& work) {
  common::Path movedTo;
  if (!work->MoveToError(&movedTo)) return std::string();
  std::string held = movedTo.ToString();
  const std::string base = directories_.work.DirectoryString();
  if (held.compare(0, base.size(), base) == 0) held.erase(0, base.size());
  return held;
}

void SendStep::RecoverUnfinishedUploads() {
  std::vector<PendingJournal::Entry> entries;
  try {
    entries = journal_->Read();
  } catch (const common::Exception& e) {
    KX_LOG(ERROR) << "[SendStep::Init][" << journal_->path() << "][" << e.Text() << "]";
    return;
  }
  std::vector<PendingJournal::Entry> kept;
  for (const PendingJournal::Entry& entry : entries) {
    if (entry.state == PendingJournal::State::kHeld &&
        common::File(directories_.work.DirectoryString() + entry.held).Exists()) {
      // Until the practice has dealt with the file.
      kept.push_back(entry);
      continue;
    }
    if (entry.state == PendingJournal::State::kDone) continue;
    // Begun, or taken by the gate but not passed on: only the very file
    // that went out counts, not a new one of the same name.
    const common::File file(common::InDirectory(source_, entry.name));
    if (!file.Exists() || !file.IsFile()) continue;
    const std::shared_ptr<StepWorkObject> work = NewWorkObject(entry.name);
    const bool prepared = work->Prepare();
    if (PendingJournal::Sha256Hex(work->Text()) != entry.sha256) continue;
    auto queued = std::find(queue_.begin(), queue_.end(), entry.name);
    if (queued != queue_.end()) queue_.erase(queued);
    std::shared_ptr<SimpleInvoice> invoice = prepared ? work->GetSimpleInvoice() : nullptr;
    if (invoice && invoice->GetID().empty()) invoice.reset();
    const bool known = entry.state == PendingJournal::State::kSent ||
                       (invoice && duplicateLog_ && duplicateLog_->IsDuplicate(invoice));
    if (known) {
      KX_LOG(DEBUG) << "[SendStep::Init][" << entry.name << "][sent before the last run ended: passed on]";
      PassOnSent(work);
      continue;
    }
    KX_LOG(ERROR) << "[SendStep::Init][" << entry.name << "][upload cut off by the end of the last run]";
    Report(mlError, kCodeOutcomeUnknown, entry.name, Text(kTextOutcomeUnknown));
    const std::string held = HoldFile(work, entry.sha256);
    PendingJournal::Entry record = entry;
    record.state = PendingJournal::State::kHeld;
    record.held = held;
    kept.push_back(record);
  }
  // A work area that never sent anything gets no journal.
  if (entries.empty()) return;
  try {
    // Only what the next run still needs: the journal stays a few lines long.
    journal_->Rewrite(kept);
  } catch (const common::Exception& e) {
    KX_LOG(ERROR) << "[SendStep::Init][" << journal_->path() << "][not rewritten][" << e.Text() << "]";
  }
}

void SendStep::Cleanup() {
  // One file at a time: the session stays for the next file's run.
  if (engine_->IsSingleFileMode()) return;
  if (engine_->IsCancelled()) {
    // Nothing more is asked of the trust center; only the session is
    // closed, within what is left of the cancel's time.
    Close();
    return;
  }
  // The gate client serves later runs too: the bound is this run's only.
  if (gate_ && sendingEnded_) gate_->LimitCalls(kShortCallLimit, true);
  if (!clientConfig_->GetZsrDownFilter().empty()) FetchResponses();
  CheckVersion();
  Close();
}

void SendStep::Close() {
  if (!gate_) return;
  if (engine_->IsCancelled()) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(kCancelBudget - SinceTransfersCancelled());
    gate_->LimitCalls(std::clamp(left, std::chrono::milliseconds(500), kShortCallLimit), false);
  }
  try {
    gate_->CloseSession();
  } catch (const std::exception& e) {
    // The gate forgets an unclosed session by itself.
    KX_LOG(ERROR) << "[SendStep::Cleanup][CloseSession failed][" << e.what() << "]";
  }
  gate_->LimitCalls(std::chrono::milliseconds(0), true);
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
    if (!connectFailed_) {
      Connect();
    } else if (gate_ && !gate_->IsConnected()) {
      // Tried once more, quietly: the run has said there is no connection,
      // and a failure of the responses is reported below.
      gate_->Connect(kProduct, kEdition);
    }
    // No gate client after a failed or cancelled configuration download.
    if (!gate_) throw common::RuntimeException("no gate client");
    const std::string filter = clientConfig_->GetZsrDownFilter();
    const std::shared_ptr<std::vector<std::string>> names = gate_->EnumResponses(kProduct, kEdition, filter);
    if (!names || names->empty()) return;

    Downloader(mlInfo, mcModule, 0, "", Text(kTextReceptionStarted));
    const int32_t count = static_cast<int32_t>(names->size());
    Downloader(mlInfo, mcCount, count, "", FormatMessageText(Text(kTextFilesInWork), {count}).substr(0, 127));

    const common::Path directory = ResponsesDirectory(directories_);
    ReceivedList received(common::InDirectory(directories_.work, ReceivedList::kFileName).ToString());
    received.Load();
    for (const std::string& name : *names) {
      if (engine_->IsCancelled()) {
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
      Downloader(mlDebug, mcModule, 0, fileName, "Download for file started");

      const std::string text = gate_->ReadResponse(kProduct, kEdition, name, false);
      std::string stored;
      bool receivedBefore = false;
      if (!text.empty()) {
        // The gate offers again what it was never told arrived: a run ended
        // between storing and confirming. Stored once, it is only confirmed:
        // after the list was written the list knows it, before that its file
        // still waits for the write step or has been delivered already.
        const std::string sha256 = PendingJournal::Sha256Hex(text);
        receivedBefore = received.Contains(name, sha256);
        bool listed = receivedBefore;
        if (!receivedBefore) {
          receivedBefore = ReceivedList::HoldsCopy(directory.DirectoryString(), fileName, text) ||
                   ReceivedList::HoldsCopy(directories_.outputDir.DirectoryString(), fileName, text);
        }
        if (!receivedBefore) {
          try {
            common::File(directory).CreateDirectories(common::kPrivateDirectoryMode);
            // Whole or not at all, and on the disk before the gate may drop it:
            // the write step must never hand the practice half a response, and
            // an unconfirmed one comes again next run.
            stored = StoreUnique(directory, fileName, text);
          } catch (const common::Exception& e) {
            KX_LOG(ERROR) << "[SendStep::Cleanup][" << directory.ToString() << fileName << "][" << e.Text() << "]";
          }
        }
        if (!listed && (receivedBefore || !stored.empty())) {
          try {
            received.Add(name, sha256);
          } catch (const common::Exception& e) {
            // The response is stored; only a repeat of it would be stored
            // again.
            KX_LOG(ERROR) << "[SendStep::Cleanup][" << received.path() << "][" << name << " not listed][" << e.Text()
                          << "]";
          }
        }
      }
      if (receivedBefore) {
        gate_->ReadResponse(kProduct, kEdition, name, true);
        KX_LOG(DEBUG) << "[SendStep::Cleanup][" << name << "][received before: confirmed, not stored again]";
        Downloader(mlDebug, mcModule, 0, fileName, "received before: confirmed, not stored again");
      } else if (!stored.empty()) {
        gate_->ReadResponse(kProduct, kEdition, name, true);
        Downloader(mlInfo, mcModule, 2, stored, Text(kTextFileReceived));
      } else {
        Downloader(mlWarning, mcModule, 3, fileName, Text(kTextReceptionFailed));
      }
    }
    Downloader(mlInfo, mcModule, 1, "", Text(kTextReceptionFinished));
  } catch (const common::Exception& e) {
    KX_LOG(ERROR) << "SendStep::Cleanup: call responsegate failed: " << e.Text();
    Downloader(mlError, mcModule, 0, "", Text(kTextReceptionFailed));
  } catch (...) {
    KX_LOG(ERROR) << "SendStep::Cleanup: call responsegate failed";
    Downloader(mlError, mcModule, 0, "", Text(kTextReceptionFailed));
  }
}

bool SendStep::IsNewer(const std::string& currentVersion) { return std::string(kBuildDate) < currentVersion; }

void SendStep::CheckVersion() {
  try {
    if (!gate_) return;
    const std::shared_ptr<VersionInfo> info = gate_->QueryNewVersion(kBuildDate, engine_->GetLanguage());
    if (!info || info->url.empty() || !IsNewer(info->currentVersion)) return;
    engine_->SetUpdateAvailable(1);
    engine_->SetUpdateMsg(info->info);
    if (!engine_->GetAutoUpdate()) return;
    // A run of a scheduler or a billing program has no one to answer: the
    // question would hold it and the step lock.
    if (!engine_->IsInteractive()) {
      KX_LOG(DEBUG) << "[SendStep::CheckVersion][not asked: no one at the screen for this run]";
      return;
    }
    const bool yes = platform::AskYesNo(Text(kTextUpdateQuestion) + "\r\n\r\n" + engine_->GetUpdateMsg(),
                                        platform::kQuestionTimeout, [this] { return engine_->IsCancelled(); });
    if (yes) OfferUpdate(info->url);
  } catch (const common::Exception& e) {
    KX_LOG(ERROR) << "[SendStep::Cleanup][CheckVersion failed][" << e.Text() << "]";
  } catch (...) {
    KX_LOG(ERROR) << "[SendStep::Cleanup][CheckVersion failed][unknow exception]";
  }
}

// The workstation installs updates through its package manager: nothing is
// downloaded or started here. The user who said Yes gets the trust center's
// page for the update in the browser, when it is an https page on a host of
// the configuration; another address in a reply is not followed.
void SendStep::OfferUpdate(const std::string& url) {
  if (!common::StartsWithIgnoringAsciiCase(url, "https://") || !HttpClient::IsTokenHost(url)) {
    KX_LOG(DEBUG) << "[SendStep::CheckVersion][update url ignored: not https on a configured host][" << url << "]";
    return;
  }
  KX_LOG(DEBUG) << "[SendStep::CheckVersion][update page=" << url << "]";
  platform::OpenInBrowser(url);
}

}  // namespace belmor::korvex
