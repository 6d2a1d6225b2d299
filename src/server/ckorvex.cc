#include "server/ckorvex.h"

#include <climits>
#include <exception>
#include <stdexcept>
#include <utility>

#include "common/encoding.h"
#include "common/exception.h"
#include "common/path.h"
#include "config/client_config.h"
#include "config/config.h"
#include "engine/korvex.h"
#include "logging/log.h"
#include "pipeline/step_semaphore.h"
#include "server/bus_error.h"
#include "transport/input_gate_client.h"
#include "transport/security_client.h"

namespace belmor::korvex::server {

namespace {

void Trace(const char* member) { KX_LOG(DEBUG) << "CKorvex::" << member; }

// Every text leaving the server is UTF-8: the engine's bytes may be Latin-1.
std::string Out(const std::string& text) { return common::ToUtf8(text); }

}  // namespace

std::shared_ptr<TrustCenter> FindCenter(const std::vector<std::shared_ptr<TrustCenter>>& centers,
                                        const std::string& name) {
  const std::string wanted = common::ToUtf8(name);
  for (const auto& center : centers)
    if (wanted == Out(center->label) || wanted == Out(center->labelNEW)) return center;
  return nullptr;
}

std::string ReadableEsr(const std::string& esr) {
  if (esr.empty()) return std::string();
  const int first = static_cast<signed char>(esr[0]);
  return first >= 1 && first <= 99 ? Out(esr) : std::string();
}

RunWorker::~RunWorker() { Join(); }

void RunWorker::Join() {
  if (thread_.joinable()) thread_.join();
}

void RunWorker::Start(const std::shared_ptr<Korvex>& engine, Processing processing, RunLease lease,
                      std::function<void()> ended) {
  Join();
  auto finished = std::make_shared<std::atomic<bool>>(false);
  // A thread that cannot start throws here with the lease still ours, so
  // the lease ends with it and the step lock is free again.
  thread_ = std::thread([engine, processing, finished, lease = std::move(lease), ended = std::move(ended)]() mutable {
    RunProcessing(engine, processing, std::move(lease));
    finished->store(true);
    if (ended) ended();
  });
  finished_ = std::move(finished);
}

CKorvex::CKorvex(sdbus::IConnection& connection, std::string path, std::string owner,
                 std::shared_ptr<Korvex> engine, InstanceHost& host)
    : AdaptorInterfaces(connection, path), path_(std::move(path)), owner_(std::move(owner)),
      engine_(std::move(engine)), host_(host) {
  registerAdaptor();
  KX_LOG(DEBUG) << "CKorvex::CKorvex enter";
}

CKorvex::~CKorvex() { unregisterAdaptor(); }

std::shared_ptr<RunWorker> CKorvex::TakeWorker() {
  if (worker_->Running()) {
    KX_LOG(INFO) << "[CKorvex::~CKorvex][waiting for running thread]";
    if (engine_) engine_->Cancel();
  }
  return std::move(worker_);
}

void CKorvex::EmitChanged(const std::string& property) {
  getObject().emitPropertiesChangedSignal(INTERFACE_NAME, {property});
}

Korvex& CKorvex::Engine() const {
  if (!engine_) ThrowBusError(BusFailure::Fail, "the engine did not start (see the debug log)");
  return *engine_;
}

void CKorvex::StartRun(Processing processing, const std::string& fileName) {
  const std::string name = ProcessingName(processing);
  KX_LOG(DEBUG) << "CKorvex::" << name << " enter";
  // The name is looked for in the invoice directory and goes into reports
  // to every client: a path or an endless text is refused before anything
  // starts (and is not echoed).
  if (processing == Processing::AutoOne && (fileName.size() > NAME_MAX || fileName.find('/') != std::string::npos))
    ThrowBusError(BusFailure::InvalidArg, "not a file name of the invoice directory");
  Korvex& engine = Engine();
  if (!host_.Accepting()) ThrowBusError(BusFailure::Fail, "the server is ending");
  RunLease lease;
  try {
    lease = BeginProcessing(engine, processing, fileName, interactive_);
  } catch (const common::Exception& e) {
    // No run holds a lock that cannot be used: a failure with its reason.
    ThrowBusError(BusFailure::Fail, e.Text());
  }
  if (!lease) ThrowBusError(BusFailure::Busy, "another run is active");
  KX_LOG(DEBUG) << "CKorvex::" << name << " start thread";
  try {
    worker_->Start(engine_, processing, std::move(lease), [host = &host_] { host->RunEnded(); });
  } catch (const std::system_error& e) {
    ThrowBusError(BusFailure::Fail, e.what());
  }
}

void CKorvex::Auto() { StartRun(Processing::Auto); }
void CKorvex::Read() { StartRun(Processing::Read); }
void CKorvex::Check() { StartRun(Processing::Check); }
void CKorvex::Anonymize() { StartRun(Processing::Anonymize); }
void CKorvex::Send() { StartRun(Processing::Send); }
void CKorvex::Write() { StartRun(Processing::Write); }
void CKorvex::AutoOne(const std::string& filename) { StartRun(Processing::AutoOne, filename); }

void CKorvex::Cancel() {
  if (engine_) engine_->Cancel();
}

void CKorvex::OpenSession() {}

void CKorvex::CloseSession() {
  if (!engine_) return;
  // A working run uses the gate client and its session, and closes the
  // session itself at its end; only a client with no run to disturb is
  // closed from here. Runs start on this thread, so none starts meanwhile.
  if (host_.RunActive()) {
    KX_LOG(DEBUG) << "[CKorvex::CloseSession][a run is active: it closes its session at its end]";
    return;
  }
  if (const std::shared_ptr<InputGateClient> gate = engine_->GetInputGateClient()) {
    try {
      gate->CloseSession();
    } catch (const std::exception& e) {
      KX_LOG(WARN) << "[CKorvex::CloseSession][" << e.what() << "]";
    }
  }
}

void CKorvex::Release() { host_.ReleaseLater(*this); }

std::string CKorvex::korvexVersion() {
  Trace("get_korvexVersion");
  return "Korvex Ordiva V 5.0.3";
}

std::vector<std::string> CKorvex::trustCenters() {
  Trace("get_trustCenters");
  // The centers' list a client gets is a snapshot of this moment.
  KX_LOG(DEBUG) << "CCenters::CCenters enter";
  const auto centers = Engine().GetClientConfig()->Centers();
  KX_LOG(DEBUG) << "CCenters::CCenters: list size=" << centers.size();
  std::vector<std::string> labels;
  for (const auto& center : centers) labels.push_back(Out(center->labelNEW));
  return labels;
}

std::string CKorvex::trustCenter() {
  Trace("get_trustCenter");
  const std::shared_ptr<TrustCenter> center = Engine().GetClientConfig()->CurrentCenter();
  return center ? Out(center->labelNEW) : std::string();
}

void CKorvex::trustCenter(const std::string& value) {
  Trace("put_trustCenter");
  Korvex& engine = Engine();
  const std::shared_ptr<ClientConfig> config = engine.GetClientConfig();
  const std::shared_ptr<TrustCenter> before = config->CurrentCenter();
  // The old label still selects its center; a name matching none changes nothing.
  if (const std::shared_ptr<TrustCenter> center = FindCenter(config->Centers(), value)) {
    RequireSavable();
    engine.SetTrustCenter(center->id);
  }
  if (config->CurrentCenter() != before) host_.PropertyChanged("trustCenter");
}

void CKorvex::RequireSavable() const {
  std::string reason;
  if (!Engine().GetClientConfig()->CanSave(&reason)) {
    KX_LOG(WARN) << "[CKorvex::RequireSavable][" << reason << "]";
    ThrowBusError(BusFailure::Fail, "the settings cannot be stored: " + reason);
  }
}

template <typename Get, typename Put>
void CKorvex::PutSetting(const char* property, Get get, Put put, bool stored) {
  const auto before = get();
  if (stored) RequireSavable();
  try {
    put();
  } catch (const common::Exception& e) {
    ThrowBusError(BusFailure::InvalidArg, e.what());
  } catch (const std::invalid_argument& e) {
    ThrowBusError(BusFailure::InvalidArg, e.what());
  }
  if (get() != before) host_.PropertyChanged(property);
}

template <typename Get, typename Put>
void CKorvex::PutDirectory(const char* property, const std::string& value, Get get, Put put) {
  common::Path wanted;
  try {
    wanted = common::Path(value, true);
    wanted.MakeDirectory();
  } catch (const std::invalid_argument& e) {
    ThrowBusError(BusFailure::InvalidArg, e.what());
  }
  // Billing software sets the directories before every run.
  if (wanted.ToString() == get()) return;
  // Refused before Busy: a value no run could use is wrong whenever it comes.
  try {
    ClientConfig::CheckDirectory(wanted);
  } catch (const common::Exception& e) {
    ThrowBusError(BusFailure::InvalidArg, e.Message());
  }
  // A run moves invoices through the directories it began with: a change now
  // would strand them in the old work area and split the session log.
  const std::shared_ptr<StepSemaphore>& lock = Engine().GetStepSemaphore();
  if (lock && !lock->IsGreen()) ThrowBusError(BusFailure::Busy, "a run is active; directories change after it");
  PutSetting(property, get, [&] { put(wanted); });
}

std::string CKorvex::inputDirectory() {
  Trace("get_inputDirectory");
  return Out(Engine().GetClientConfig()->GetPathInputDir().ToString());
}

void CKorvex::inputDirectory(const std::string& value) {
  Trace("put_inputDirectory");
  const std::shared_ptr<ClientConfig> config = Engine().GetClientConfig();
  PutDirectory(
      "inputDirectory", value, [&] { return config->GetPathInputDir().ToString(); },
      [&](const common::Path& path) { config->SetPathInputDir(path); });
}

std::string CKorvex::workDirectory() {
  Trace("get_workDirectory");
  return Out(Engine().GetClientConfig()->GetPathWork().ToString());
}

void CKorvex::workDirectory(const std::string& value) {
  Trace("put_workDirectory");
  const std::shared_ptr<ClientConfig> config = Engine().GetClientConfig();
  PutDirectory(
      "workDirectory", value, [&] { return config->GetPathWork().ToString(); },
      [&](const common::Path& path) { config->set_path_work(path); });
}

std::string CKorvex::outputDirectory() {
  Trace("get_outputDirectory");
  return Out(Engine().GetClientConfig()->GetPathOutputDir().ToString());
}

void CKorvex::outputDirectory(const std::string& value) {
  Trace("put_outputDirectory");
  const std::shared_ptr<ClientConfig> config = Engine().GetClientConfig();
  PutDirectory(
      "outputDirectory", value, [&] { return config->GetPathOutputDir().ToString(); },
      [&](const common::Path& path) { config->SetPathOutputDir(path); });
}

bool CKorvex::withPDF() {
  Trace("get_withPDF");
  return false;
}

void CKorvex::withPDF(const bool&) { Trace("put_withPDF"); }

bool CKorvex::withArchive() {
  Trace("get_withArchive");
  return Engine().GetClientConfig()->GetArchive();
}

void CKorvex::withArchive(const bool& value) {
  Trace("put_withArchive");
  const std::shared_ptr<ClientConfig> config = Engine().GetClientConfig();
  PutSetting(
      "withArchive", [&] { return config->GetArchive(); }, [&] { config->SetArchive(value); });
}

std::string CKorvex::ean() {
  Trace("get_ean");
  const std::shared_ptr<TrustCenter> center = Engine().GetClientConfig()->CurrentCenter();
  return center ? Out(center->ean) : std::string();
}

std::string CKorvex::esr() {
  Trace("get_esr");
  const std::shared_ptr<TrustCenter> center = Engine().GetClientConfig()->CurrentCenter();
  return center ? ReadableEsr(center->esr) : std::string();
}

std::string CKorvex::esrPDF() {
  Trace("get_esrPDF");
  return "99";
}

std::string CKorvex::tcTel() {
  Trace("get_tcTel");
  const std::shared_ptr<TrustCenter> center = Engine().GetClientConfig()->CurrentCenter();
  return center ? Out(center->tel) : std::string();
}

std::string CKorvex::igLog() {
  Trace("get_igLog");
  const std::shared_ptr<TrustCenter> center = Engine().GetClientConfig()->CurrentCenter();
  return center ? Out(center->iglog) : std::string();
}

std::string CKorvex::session() {
  Trace("get_session");
  return Out(Engine().GetCurrentDay());
}

std::string CKorvex::asasVersion() {
  Trace("get_asasVersion");
  const std::shared_ptr<SecurityClient> security = Engine().GetSecurityClient();
  const std::string version = security ? security->GetVersion() : std::string();
  if (version.empty()) ThrowBusError(BusFailure::ClassNotAvailable, "no security client");
  return Out(version);
}

std::vector<std::string> CKorvex::asasLogins() {
  const std::shared_ptr<SecurityClient> security = Engine().GetSecurityClient();
  std::vector<std::string> logins;
  if (security)
    for (const std::string& login : security->GetLogins()) logins.push_back(Out(login));
  if (logins.empty()) ThrowBusError(BusFailure::ClassNotAvailable, "no HIN logins");
  return logins;
}

std::string CKorvex::asasLogin() {
  Trace("get_asasLogin");
  return Out(Engine().GetClientConfig()->GetHinLogin());
}

void CKorvex::asasLogin(const std::string& value) {
  Trace("put_asasLogin");
  const std::shared_ptr<ClientConfig> config = Engine().GetClientConfig();
  PutSetting(
      "asasLogin", [&] { return config->GetHinLogin(); }, [&] { config->SetHinLogin(value); });
}

bool CKorvex::activateGUI() {
  Trace("get_activateGUI");
  ThrowBusError(BusFailure::NotImplemented);
}

void CKorvex::activateGUI(const bool&) {
  Trace("put_activateGUI");
  ThrowBusError(BusFailure::NotImplemented);
}

bool CKorvex::debug() {
  Trace("get_debug");
  return Engine().GetClientConfig()->GetDebug();
}

void CKorvex::debug(const bool& value) {
  Trace("put_debug");
  const std::shared_ptr<ClientConfig> config = Engine().GetClientConfig();
  PutSetting(
      "debug", [&] { return config->GetDebug(); }, [&] { config->SetDebug(value); });
}

bool CKorvex::autoUpdate() {
  Trace("get_autoUpdate");
  return Engine().GetAutoUpdate();
}

void CKorvex::autoUpdate(const bool& value) {
  Trace("put_autoUpdate");
  Korvex& engine = Engine();
  PutSetting(
      "autoUpdate", [&] { return engine.GetAutoUpdate(); }, [&] { engine.SetAutoUpdate(value); }, false);
}

bool CKorvex::updateAvailable() {
  Trace("get_updateAvailable");
  return Engine().GetUpdateAvailable() != 0;
}

bool CKorvex::responseMessagesEnabled() {
  Trace("get_responseMessagesEnabled");
  return Engine().GetResponseMessagesEnabled();
}

void CKorvex::responseMessagesEnabled(const bool& value) {
  Trace("put_responseMessagesEnabled");
  Korvex& engine = Engine();
  PutSetting(
      "responseMessagesEnabled", [&] { return engine.GetResponseMessagesEnabled(); },
      [&] { engine.SetResponseMessagesEnabled(value); }, false);
}

std::string CKorvex::zsrDownFilter() {
  Trace("get_zsrDownFilter");
  return Out(Engine().GetClientConfig()->GetZsrDownFilter());
}

void CKorvex::zsrDownFilter(const std::string& value) {
  Trace("put_zsrDownFilter");
  const std::shared_ptr<ClientConfig> config = Engine().GetClientConfig();
  PutSetting(
      "zsrDownFilter", [&] { return config->GetZsrDownFilter(); }, [&] { config->SetZsrDownFilter(value); });
}

std::string CKorvex::updateMsg() {
  Trace("get_updateMsg");
  return Out(Engine().GetUpdateMsg());
}

bool CKorvex::interactive() {
  Trace("get_interactive");
  return interactive_;
}

// This object's own: another client's runs, and one already started, keep
// what they were started with.
void CKorvex::interactive(const bool& value) {
  Trace("put_interactive");
  if (interactive_ == value) return;
  interactive_ = value;
  EmitChanged("interactive");
}

}  // namespace belmor::korvex::server
