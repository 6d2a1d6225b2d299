#include "e2e/e2e_support.h"

#include <libxml/parser.h>
#include <sys/stat.h>

#include <cstdio>
#include <filesystem>
#include <regex>
#include <sstream>

#include "common/exception.h"
#include "common/path.h"
#include "config/client_config.h"
#include "engine/korvex.h"
#include "pipeline/pending_journal.h"
#include "support/invoice_factory.h"
#include "transport/oauth_client.h"
#include "transport/smime.h"

namespace belmor::korvex::e2e {

namespace fs = std::filesystem;
using belmor::testing::ReadFile;
using belmor::testing::WriteFile;

std::string ShippedConfigDir() { return std::string(KORVEX_SOURCE_DIR) + "/testing/trustcenter/config/"; }

Practice::Practice(const TrustCenterSim& sim)
    : sim_(sim), configHome_("XDG_CONFIG_HOME", settingsHome_.path()) {
  fs::create_directories(InvoiceDir());
  fs::create_directories(ResponseDir());
  WriteSettings();
}

std::string Practice::AppData(const std::string& name) const {
  return settingsHome_.Sub("Belmor/korvex-ordiva/") + name;
}

void Practice::WriteSettings(const std::string& extra) {
  const std::string https = std::to_string(sim_.HttpsPort());
  WriteFile(AppData("korvex.ini"),
            "[globals]\n"
            "workDir=" + Work() + "\n"
            "inputDir=" + InvoiceDir() + "\n"
            "outputDir=" + ResponseDir() + "\n"
            "zsrDownFilter=*\n"
            "trustCenterID=1\n"
            "downUrl=" + sim_.BaseUrl() + "/download\n"
            "certUrl=" + sim_.BaseUrl() + "/certificates\n"
            "caFile=" + sim_.CaFile() + "\n"
            "hinAuthUrl=" + sim_.LoginBaseUrl() + "\n"
            "hinTokenUrl=" + sim_.TokenBaseUrl() + "\n"
            "hinStartPage=" + sim_.LoginBaseUrl() + "/start\n" +
            extra);
}

void Practice::PreloadToken() {
  WriteSettings("hinLogin=dr.muster\n");
  // Due in 2033: the stored token is used as it is.
  WriteFile(AppData(kTokenFileName),
            std::string("{\"client_id\": \"") + kDefaultClientId + "\", \"token_group\": \"" + kDefaultTokenGroup +
                "\", \"tokens\": [{\"hin_id\": \"dr.muster\", \"access_token\": \"" + TrustCenterSim::kValidToken +
                "\", \"refresh_token\": \"none\", \"expire\": 2000000000}]}");
}

std::string Practice::InvoiceFileName(int n) {
  char name[32];
  std::snprintf(name, sizeof name, "rechnung-%04d.xml", n);
  return name;
}

void Practice::AddInvoice(int n, size_t bytes) const {
  WriteFile(InvoiceDir() + InvoiceFileName(n), belmor::testing::GeneratedInvoice(n, bytes));
}

std::vector<std::string> Practice::NumbersIn(const std::string& dir) const {
  std::vector<std::string> numbers;
  if (!fs::is_directory(dir)) return numbers;
  for (const auto& entry : fs::recursive_directory_iterator(dir)) {
    if (!entry.is_regular_file() || entry.path().filename().string().front() == '.') continue;
    numbers.push_back(InvoiceNumber(ReadFile(entry.path().string())));
  }
  return numbers;
}

std::set<std::string> Practice::DuplicateLogIds() const {
  std::set<std::string> ids;
  if (!fs::exists(Work("korvex.log"))) return ids;
  std::istringstream in(ReadFile(Work("korvex.log")));
  std::string line;
  std::getline(in, line);  // header
  while (std::getline(in, line)) {
    const size_t bar = line.find('|');
    if (bar != std::string::npos) ids.insert(line.substr(0, bar));
  }
  return ids;
}

std::vector<std::string> Practice::HeldNumbers() const {
  std::vector<std::string> numbers;
  for (const PendingJournal::Entry& entry : PendingJournal(Work(PendingJournal::kFileName)).Read()) {
    if (entry.state != PendingJournal::State::kHeld || !fs::is_regular_file(Work(entry.held))) continue;
    numbers.push_back(InvoiceNumber(ReadFile(Work(entry.held))));
  }
  return numbers;
}

std::map<std::string, std::string> IniValues(const std::string& file) {
  std::map<std::string, std::string> values;
  std::istringstream in(ReadFile(file));
  std::string line;
  while (std::getline(in, line)) {
    const size_t equals = line.find('=');
    if (equals != std::string::npos) values[line.substr(0, equals)] = line.substr(equals + 1);
  }
  return values;
}

std::string AsStored(const std::string& directory) {
  common::Path path(directory, true);
  path.MakeDirectory();
  return path.ToString();
}

std::string InvoiceNumber(const std::string& text) {
  static const std::regex kNumber("<number>([^<]*)</number>");
  std::smatch m;
  return std::regex_search(text, m, kNumber) ? m[1].str() : std::string();
}

ReceivedInvoice OpenUpload(const TrustCenterSim& sim, const std::string& upload, const std::string& recipient) {
  ReceivedInvoice received;
  received.number = InvoiceNumber(upload);
  if (xmlDocPtr doc = xmlReadMemory(upload.data(), static_cast<int>(upload.size()), "upload.xml", nullptr,
                                    XML_PARSE_NONET | XML_PARSE_NOERROR | XML_PARSE_NOWARNING)) {
    received.wellFormed = true;
    xmlFreeDoc(doc);
  }
  static const std::regex kPatient("<korvex:patient person=\"[^\"]*\">([^<]*)</korvex:patient>");
  std::smatch m;
  if (!std::regex_search(upload, m, kPatient)) return received;
  try {
    received.patient = SMIMECrypto().Decrypt(sim.RecipientKey(recipient), sim.RecipientCert(recipient), m[1].str());
  } catch (const common::Exception&) {
  }
  return received;
}

std::vector<std::string> UploadedNumbers(const TrustCenterSim& sim) {
  std::vector<std::string> numbers;
  for (const std::string& upload : sim.Uploads()) numbers.push_back(InvoiceNumber(upload));
  return numbers;
}

Engine::Engine() : sink_(std::make_shared<RecordingSink>()), security_(std::make_shared<OAuthClient>()) {
  engine_ = std::make_shared<Korvex>();
  engine_->SetResourcePath(common::Path(ShippedConfigDir(), true));
  engine_->SetClientConfig(MakeClientConfig(engine_));
  engine_->Init();
  engine_->GetLogger()->SetEventSink(sink_);
  engine_->SetResponseMessagesEnabled(true);
  security_->Init();
  engine_->SetSecurityClient(security_);
}

Engine::~Engine() { security_->Shutdown(); }

bool Engine::Run(Processing processing) {
  RunLease lease = BeginProcessing(*engine_, processing);
  if (!lease) return false;
  RunProcessing(engine_, processing, std::move(lease));
  return true;
}

void WriteScript(const std::string& path, const std::string& text) {
  WriteFile(path, "#!/bin/sh\n" + text);
  ::chmod(path.c_str(), 0755);
}

}  // namespace belmor::korvex::e2e
