#include "config/client_config.h"

#include <exception>
#include <stdexcept>

#include "common/file.h"
#include "logging/korvex_logger.h"
#include "logging/log.h"
#include "logging/report.h"
#include "platform/folders.h"

namespace belmor::korvex {

namespace {

// The report code for an application-data directory that cannot be created.
constexpr int32_t kAppDirReportCode = 19;

common::Path SubDirectory(common::Path base, const std::string& name) {
  base.MakeDirectory();
  base.PushDirectory(name);
  return base;
}

std::string Trim(const std::string& text) {
  constexpr const char* kBlanks = " \t\r\n\v\f";
  size_t first = text.find_first_not_of(kBlanks);
  if (first == std::string::npos) return std::string();
  size_t last = text.find_last_not_of(kBlanks);
  return text.substr(first, last - first + 1);
}

// Settings are optional: a missing or unreadable key means its default.
template <typename T>
T Read(const IniOptions& options, const std::string& key, T fallback) {
  try {
    return options.Get<T>(key);
  } catch (const OptionNotFoundException&) {
    return fallback;
  }
}

}  // namespace

void ClientConfig::Report(const std::string& text) const {
  const std::shared_ptr<KorvexLogger> logger = hooks_.sessionLogger ? hooks_.sessionLogger() : nullptr;
  if (logger) {
    logger->Log(mlError, mcModule, moPReader, kAppDirReportCode, "", text);
  } else {
    KX_LOG(ERROR) << text;
  }
}

ClientConfig::ClientConfig(Hooks hooks) : hooks_(std::move(hooks)) {
  path_app_data_ = common::Path(platform::RoamingAppDataFolder(), true);
  path_app_data_.PushDirectory("Belmor");
  path_app_data_.PushDirectory("korvex-ordiva");

  const common::Path defaultWork = SubDirectory(common::Path(platform::DocumentsFolder(), true), "Korvex-Ordiva");

  try {
    common::File(path_app_data_).CreateDirectories();
  } catch (const std::exception& e) {
    const common::Exception* known = dynamic_cast<const common::Exception*>(&e);
    const std::string text =
        "can't write to app dir : " + path_app_data_.ToString() + " : " + (known ? known->Text() : e.what());
    Report(text);
    if (known) known->Rethrow();
    throw common::Exception(text);
  }

  const common::Path defaultInput = SubDirectory(defaultWork, "Rechnungen");
  const common::Path defaultOutput = SubDirectory(defaultWork, "Antworten");

  common::Path iniPath = path_app_data_;
  iniPath.SetFileName("korvex.ini");
  options_ = std::make_shared<IniOptions>(iniPath);
  options_->Load();

  debug_ = Read(*options_, "debug", false);
  options_->Set("debug", debug_);
  options_->save();
  archive_ = Read(*options_, "archive", true);
  options_->Set("archive", archive_);
  options_->save();
  hinLogin_ = Read(*options_, "hinLogin", std::string());
  options_->Set("hinLogin", hinLogin_);
  options_->save();

  // Values that came from the file are not checked: a setting must never stop the start.
  SetPathWorkUnchecked(ReadDirectory("workDir", defaultWork));

  path_input_dir_ = ReadDirectory("inputDir", defaultInput);
  options_->Set("inputDir", path_input_dir_.ToString());
  options_->save();
  path_output_dir_ = ReadDirectory("outputDir", defaultOutput);
  options_->Set("outputDir", path_output_dir_.ToString());
  options_->save();

  zsrDownFilter_ = Trim(Read(*options_, "zsrDownFilter", std::string()));
  options_->Set("zsrDownFilter", zsrDownFilter_);
  options_->save();

  // Read only, like the download URLs: the file a practice gets stays the
  // one of the other settings; support adds these keys where needed.
  hinAuthUrl_ = Read(*options_, "hinAuthUrl", std::string(kDefaultHinAuthUrl));
  hinTokenUrl_ = Read(*options_, "hinTokenUrl", std::string(kDefaultHinTokenUrl));
  hinStartPage_ = Read(*options_, "hinStartPage", std::string(kDefaultHinStartPage));
  caFile_ = Read(*options_, "caFile", std::string());

  downUrl_ = Read(*options_, "downUrl", std::string());
  certUrl_ = Read(*options_, "certUrl", std::string());
  forceLocalConfig_ = Read(*options_, "forceLocalConfig", false);
  trustCenterID_ = Read(*options_, "trustCenterID", 0);
  options_->save();
}

ClientConfig::~ClientConfig() = default;

common::Path ClientConfig::ReadDirectory(const std::string& key, const common::Path& fallback) const {
  std::string text;
  try {
    text = options_->GetString(key);
  } catch (const OptionNotFoundException&) {
    return fallback;
  }
  try {
    common::Path path(text, true);
    return path.IsEmpty() ? fallback : path;
  } catch (const std::invalid_argument&) {
    // A malformed drive such as "C:data" must not keep the engine from starting.
    KX_LOG(WARN) << "[ClientConfig::ReadDirectory][" << key << "=" << text << " is not a path; using "
                 << fallback.ToString() << "]";
    return fallback;
  }
}

void ClientConfig::set_path_work(const common::Path& path) {
  common::Path work = path;
  work.MakeDirectory();
  CheckStorable("workDir", work.ToString());
  SetPathWorkUnchecked(work);
}

void ClientConfig::SetPathWorkUnchecked(const common::Path& path) {
  KX_LOG(DEBUG) << "[ClientConfig::set_path_work][path=" << path.ToString() << "]";
  path_work_ = path;
  path_work_.MakeDirectory();
  path_logs_ = SubDirectory(path_work_, "logs");
  path_work_input_ = SubDirectory(path_work_, "input");
  path_work_valid_ = SubDirectory(path_work_, "valid");
  path_work_output_ = SubDirectory(path_work_, "output");
  path_archive_ = SubDirectory(path_work_, "archive");
  path_responses_archive_ = SubDirectory(path_work_, "responses-archive");
  path_error_ = SubDirectory(path_work_, "err");
  options_->Set("workDir", path_work_.ToString());
  options_->save();
}

void ClientConfig::CheckStorable(const std::string& key, const std::string& value) {
  if (!IniOptions::CanStore(key, value)) {
    throw common::RuntimeException("value cannot be stored in the settings file", key);
  }
}

common::Path ClientConfig::Dated(const common::Path& directory) const {
  if (!hooks_.currentDay) return directory;
  return SubDirectory(directory, hooks_.currentDay());
}

common::Path ClientConfig::GetPathArchive() const { return Dated(path_archive_); }
common::Path ClientConfig::GetPathResponsesArchive() const { return Dated(path_responses_archive_); }
common::Path ClientConfig::GetPathError() const { return Dated(path_error_); }

common::Path ClientConfig::GetDuplicateLogPath() const {
  common::Path path = path_work_;
  path.SetFileName("korvex.log");
  return path;
}

std::string ClientConfig::GetDownUrl() const { return downUrl_.empty() ? UrlDown() : downUrl_; }
std::string ClientConfig::GetCertUrl() const { return certUrl_.empty() ? UrlCert() : certUrl_; }
std::string ClientConfig::GetConfigUrl() const { return GetDownUrl() + "/config"; }
std::string ClientConfig::GetSchemasUrl() const { return GetDownUrl() + "/schemas/"; }
std::string ClientConfig::GetTransformersUrl() const { return GetDownUrl() + "/transformers/"; }

void ClientConfig::SetArchive(bool archive) {
  archive_ = archive;
  options_->Set("archive", archive_);
  options_->save();
}

void ClientConfig::SetDebug(bool debug) {
  debug_ = debug;
  options_->Set("debug", debug_);
  options_->save();
}

void ClientConfig::SetPathInputDir(const common::Path& path) {
  common::Path directory = path;
  directory.MakeDirectory();
  CheckStorable("inputDir", directory.ToString());
  path_input_dir_ = directory;
  options_->Set("inputDir", path_input_dir_.ToString());
  options_->save();
}

void ClientConfig::SetPathOutputDir(const common::Path& path) {
  common::Path directory = path;
  directory.MakeDirectory();
  CheckStorable("outputDir", directory.ToString());
  path_output_dir_ = directory;
  options_->Set("outputDir", path_output_dir_.ToString());
  options_->save();
}

void ClientConfig::SetHinLogin(const std::string& login) {
  CheckStorable("hinLogin", login);
  hinLogin_ = login;
  options_->Set("hinLogin", hinLogin_);
  options_->save();
}

void ClientConfig::SetZsrDownFilter(const std::string& filter) {
  const std::string trimmed = Trim(filter);
  CheckStorable("zsrDownFilter", trimmed);
  zsrDownFilter_ = trimmed;
  options_->Set("zsrDownFilter", zsrDownFilter_);
  options_->save();
}

void ClientConfig::SelectCenter(std::shared_ptr<TrustCenter> center) {
  Config::SelectCenter(std::move(center));
  StoreTrustCenter();
}

void ClientConfig::SelectCenter(int32_t id) {
  Config::SelectCenter(id);
  StoreTrustCenter();
}

void ClientConfig::SelectCenter(const std::string& name) {
  Config::SelectCenter(name);
  StoreTrustCenter();
}

void ClientConfig::StoreTrustCenter() {
  // Kept in step with the file, so that a fall-back re-selection after a
  // failed download restores the user's latest choice, not the one at start.
  trustCenterID_ = CurrentCenter() ? CurrentCenter()->id : 0;
  options_->Set("trustCenterID", static_cast<int>(trustCenterID_));
  options_->save();
}

}  // namespace belmor::korvex
