#include "config/client_config.h"

#include <sys/stat.h>

#include <cerrno>
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
// "Einstellungen konnten nicht gespeichert werden".
constexpr int kTextNotStored = 67;

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

  dirs_.inputDir = ReadDirectory("inputDir", defaultInput);
  options_->Set("inputDir", dirs_.inputDir.ToString());
  options_->save();
  dirs_.outputDir = ReadDirectory("outputDir", defaultOutput);
  options_->Set("outputDir", dirs_.outputDir.ToString());
  options_->save();

  zsrDownFilter_ = Trim(Read(*options_, "zsrDownFilter", std::string()));
  options_->Set("zsrDownFilter", zsrDownFilter_);
  options_->save();

  // Read only, like the download URLs: the file a practice gets stays the
  // one of the other settings; support adds these keys where needed.
  hinAuthUrl_ = Read(*options_, "hinAuthUrl", std::string(kDefaultHinAuthUrl));
  hinTokenUrl_ = Read(*options_, "hinTokenUrl", std::string(kDefaultHinTokenUrl));
  hinStartPage_ = Read(*options_, "hinStartPage", std::string(kDefaultHinStartPage));
  hinPkce_ = Read(*options_, "hinPkce", true);
  caFile_ = Read(*options_, "caFile", std::string());

  downUrl_ = Read(*options_, "downUrl", std::string());
  certUrl_ = Read(*options_, "certUrl", std::string());
  forceLocalConfig_ = Read(*options_, "forceLocalConfig", false);
  trustCenterID_ = Read(*options_, "trustCenterID", 0);
  options_->save();
}

ClientConfig::~ClientConfig() { StopWriter(); }

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
  CheckDirectory(work);
  CheckStorable("workDir", work.ToString());
  SetPathWorkUnchecked(work);
  // Without its folders the next run would call the new work area invalid.
  if (hooks_.createWorkFolders) CreateWorkFolders();
}

bool ClientConfig::CreateWorkFolders() const {
  const Directories d = GetDirectories();
  if (d.work.ToString().size() < 2) return false;
  const common::Path folders[] = {d.work,    d.workInput, d.workValid,        d.workOutput, d.error,
                                  d.archive, SubDirectory(d.work, "responses"), d.responsesArchive, d.logs};
  bool made = true;
  for (const common::Path& folder : folders) {
    try {
      common::File(folder).CreateDirectories(common::kPrivateDirectoryMode);
    } catch (const common::Exception& e) {
      KX_LOG(ERROR) << "[ClientConfig::CreateWorkFolders][can't write to dir: " << folder.ToString() << " : "
                    << e.Text() << "]";
      made = false;
    }
  }
  return made;
}

template <typename T>
void ClientConfig::StoreLocked(const std::string& key, const T& value) {
  options_->Set(key, value);
  if (writer_) {
    ++writer_->changes;
    writer_->wake.notify_one();
  } else {
    options_->save();
  }
}

bool ClientConfig::CanSave(std::string* reason) const {
  std::lock_guard<std::mutex> lock(mutex_);
  return options_->CanSave(reason);
}

void ClientConfig::StartWriter(std::chrono::milliseconds delay) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (writer_) return;
  writer_ = std::make_unique<Writer>();
  writer_->delay = delay;
  writer_->thread = std::thread([this] { WriterLoop(); });
}

void ClientConfig::StopWriter() {
  Writer* writer = nullptr;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!writer_) return;
    writer = writer_.get();
    writer->stop = true;
    writer->wake.notify_one();
  }
  // Joined without the lock, which the thread needs to finish.
  writer->thread.join();
  std::unique_ptr<Writer> ended;
  std::lock_guard<std::mutex> lock(mutex_);
  ended = std::move(writer_);
}

void ClientConfig::WriterLoop() {
  std::unique_lock<std::mutex> lock(mutex_);
  Writer& w = *writer_;
  // A change after a quiet moment is written at once; the changes of a
  // burst that follow a write wait out the delay together, one write.
  auto nextWrite = std::chrono::steady_clock::now();
  for (;;) {
    w.wake.wait(lock, [&] { return w.stop || w.changes != w.attempted; });
    if (w.stop && w.written == w.changes) break;
    if (!w.stop) w.wake.wait_until(lock, nextWrite, [&] { return w.stop; });
    const bool lastTry = w.stop;
    const uint64_t covered = w.changes;
    const std::string text = options_->Render();
    lock.unlock();
    std::string reason;
    const bool stored = options_->SaveRendered(text, &reason);
    if (!stored) ReportNotStored(reason);
    nextWrite = std::chrono::steady_clock::now() + w.delay;
    lock.lock();
    w.attempted = covered;
    if (stored) w.written = covered;
    // At the end what failed before is tried once more, not forever.
    if (lastTry && !stored) break;
  }
}

void ClientConfig::ReportNotStored(const std::string& reason) const {
  KX_LOG(WARN) << "[ClientConfig::WriterLoop][settings not stored][" << reason << "]";
  const std::shared_ptr<KorvexLogger> logger = hooks_.sessionLogger ? hooks_.sessionLogger() : nullptr;
  if (logger) logger->Log(mlError, mcModule, moPReader, kNotStoredReportCode, "", KorvexLogger::GetMessageText(kTextNotStored));
}

void ClientConfig::SetPathWorkUnchecked(const common::Path& path) {
  KX_LOG(DEBUG) << "[ClientConfig::set_path_work][path=" << path.ToString() << "]";
  common::Path work = path;
  work.MakeDirectory();
  // Built before the lock is taken and swapped in at once: a reader sees the
  // old directories or the new ones, never a mixture.
  Directories d;
  d.work = work;
  d.logs = SubDirectory(work, "logs");
  d.workInput = SubDirectory(work, "input");
  d.workValid = SubDirectory(work, "valid");
  d.workOutput = SubDirectory(work, "output");
  d.archive = SubDirectory(work, "archive");
  d.responsesArchive = SubDirectory(work, "responses-archive");
  d.error = SubDirectory(work, "err");
  std::lock_guard<std::mutex> lock(mutex_);
  d.inputDir = dirs_.inputDir;
  d.outputDir = dirs_.outputDir;
  dirs_ = std::move(d);
  StoreLocked("workDir", dirs_.work.ToString());
}

void ClientConfig::CheckStorable(const std::string& key, const std::string& value) {
  if (!IniOptions::CanStore(key, value)) {
    throw common::RuntimeException("value cannot be stored in the settings file", key);
  }
}

void ClientConfig::CheckDirectory(const common::Path& directory) {
  const std::string text = directory.ToString();
  // A drive or a relative path names no fixed place on this system.
  if (text.empty() || text.front() != common::kPathSeparator) {
    throw common::RuntimeException("not an absolute directory", text);
  }
  // Without its trailing separator, so that a file in the directory's place
  // is seen as that file.
  const std::string probe = text.size() > 1 ? text.substr(0, text.size() - 1) : text;
  struct stat info {};
  if (::stat(probe.c_str(), &info) == 0) {
    if (!S_ISDIR(info.st_mode)) throw common::RuntimeException("not a directory", text);
  } else if (errno == ENOTDIR) {
    throw common::RuntimeException("not a directory (a file stands in its path)", text);
  }
}

ClientConfig::Directories ClientConfig::GetDirectories() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return dirs_;
}

namespace {

template <typename T>
T Copy(std::mutex& mutex, const T& value) {
  std::lock_guard<std::mutex> lock(mutex);
  return value;
}

}  // namespace

bool ClientConfig::GetArchive() const { return Copy(mutex_, archive_); }
bool ClientConfig::GetDebug() const { return Copy(mutex_, debug_); }
std::string ClientConfig::GetHinLogin() const { return Copy(mutex_, hinLogin_); }
std::string ClientConfig::GetZsrDownFilter() const { return Copy(mutex_, zsrDownFilter_); }
int32_t ClientConfig::GetTrustCenterID() const { return Copy(mutex_, trustCenterID_); }
common::Path ClientConfig::GetPathWork() const { return Copy(mutex_, dirs_.work); }
common::Path ClientConfig::GetPathInputDir() const { return Copy(mutex_, dirs_.inputDir); }
common::Path ClientConfig::GetPathOutputDir() const { return Copy(mutex_, dirs_.outputDir); }
common::Path ClientConfig::GetPathLogs() const { return Copy(mutex_, dirs_.logs); }
common::Path ClientConfig::GetPathWorkInput() const { return Copy(mutex_, dirs_.workInput); }
common::Path ClientConfig::GetPathWorkValid() const { return Copy(mutex_, dirs_.workValid); }
common::Path ClientConfig::GetPathWorkOutput() const { return Copy(mutex_, dirs_.workOutput); }

// The day comes from the engine, which asks the session logger: called
// without the lock.
common::Path ClientConfig::Dated(const common::Path& directory) const {
  if (!hooks_.currentDay) return directory;
  return SubDirectory(directory, hooks_.currentDay());
}

common::Path ClientConfig::GetPathArchive() const { return Dated(Copy(mutex_, dirs_.archive)); }
common::Path ClientConfig::GetPathResponsesArchive() const { return Dated(Copy(mutex_, dirs_.responsesArchive)); }
common::Path ClientConfig::GetPathError() const { return Dated(Copy(mutex_, dirs_.error)); }

common::Path ClientConfig::GetDuplicateLogPath() const {
  common::Path path = GetPathWork();
  path.SetFileName("korvex.log");
  return path;
}

std::string ClientConfig::GetDownUrl() const { return downUrl_.empty() ? UrlDown() : downUrl_; }
std::string ClientConfig::GetCertUrl() const { return certUrl_.empty() ? UrlCert() : certUrl_; }
std::string ClientConfig::GetConfigUrl() const { return GetDownUrl() + "/config"; }
std::string ClientConfig::GetSchemasUrl() const { return GetDownUrl() + "/schemas/"; }
std::string ClientConfig::GetTransformersUrl() const { return GetDownUrl() + "/transformers/"; }

void ClientConfig::SetArchive(bool archive) {
  std::lock_guard<std::mutex> lock(mutex_);
  archive_ = archive;
  StoreLocked("archive", archive_);
}

void ClientConfig::SetDebug(bool debug) {
  std::lock_guard<std::mutex> lock(mutex_);
  debug_ = debug;
  StoreLocked("debug", debug_);
}

void ClientConfig::SetPathInputDir(const common::Path& path) {
  common::Path directory = path;
  directory.MakeDirectory();
  CheckDirectory(directory);
  CheckStorable("inputDir", directory.ToString());
  std::lock_guard<std::mutex> lock(mutex_);
  dirs_.inputDir = directory;
  StoreLocked("inputDir", dirs_.inputDir.ToString());
}

void ClientConfig::SetPathOutputDir(const common::Path& path) {
  common::Path directory = path;
  directory.MakeDirectory();
  CheckDirectory(directory);
  CheckStorable("outputDir", directory.ToString());
  std::lock_guard<std::mutex> lock(mutex_);
  dirs_.outputDir = directory;
  StoreLocked("outputDir", dirs_.outputDir.ToString());
}

void ClientConfig::SetHinLogin(const std::string& login) {
  CheckStorable("hinLogin", login);
  std::lock_guard<std::mutex> lock(mutex_);
  hinLogin_ = login;
  StoreLocked("hinLogin", hinLogin_);
}

void ClientConfig::SetZsrDownFilter(const std::string& filter) {
  const std::string trimmed = Trim(filter);
  CheckStorable("zsrDownFilter", trimmed);
  std::lock_guard<std::mutex> lock(mutex_);
  zsrDownFilter_ = trimmed;
  StoreLocked("zsrDownFilter", zsrDownFilter_);
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
  // Read under the lock: of two selections at once, the file and the
  // identifier keep the one that was made last.
  std::lock_guard<std::mutex> lock(mutex_);
  const std::shared_ptr<TrustCenter> center = CurrentCenter();
  trustCenterID_ = center ? center->id : 0;
  StoreLocked("trustCenterID", static_cast<int>(trustCenterID_));
}

}  // namespace belmor::korvex
