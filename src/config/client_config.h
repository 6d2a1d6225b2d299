#ifndef KORVEX_CONFIG_CLIENT_CONFIG_H_
#define KORVEX_CONFIG_CLIENT_CONFIG_H_

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "common/path.h"
#include "config/config.h"
#include "config/hin_defaults.h"
#include "config/options_impl.h"

namespace belmor::korvex {

class KorvexLogger;

// The workstation settings from "korvex.ini" in the application-data
// directory, together with the trust-center configuration it derives from, so
// the engine keeps one object for both. The settings are read once, at
// construction; afterwards the IniOptions map is the live copy and every
// setter writes the file at once.
// The engine owns this object and supplies, as callbacks, the day stamp of
// the dated directories and the session logger.
//
// Clients put settings while a run works, so every setting is guarded by one
// lock and handed out as a copy. The callbacks are called without the lock.
// A step that needs several directories that belong together takes them in
// one call (GetDirectories).
//
// Saving: without a writer a setter writes the file at once, under the lock,
// as the engine's start-up, korvex-batch and tests use it. The server starts
// the writer (StartWriter): setters then only change the map and wake a
// thread of its own, which waits a moment for more changes, renders the map
// under the lock and writes it outside it (atomically, one flush), so a burst
// of puts costs a few writes and no caller waits for the disk. Every setter
// of every thread (bus puts, the engine storing a HIN login or a center)
// goes through the same writer. A failed write is reported (session log and
// every client) and tried again at the next change; StopWriter writes what
// is still pending. Nothing that was set is dropped: each write holds the
// whole map as it is at that moment.
class ClientConfig : public Config {
 public:
  // What the settings need from their owner; an empty callback means none.
  struct Hooks {
    // The day that names the dated directories; "" before the first session line.
    std::function<std::string()> currentDay;
    // Where error reports go; none yet at start-up, when the engine builds
    // its session logger after this object (the debug log gets them then).
    std::function<std::shared_ptr<KorvexLogger>()> sessionLogger;
    // Whether a new work base gets its work folders at once (CreateWorkFolders):
    // the engine's settings do; settings alone, as tests use them, touch no disk.
    bool createWorkFolders = false;
  };

  // Reads the settings, writing the file back with the values in effect.
  // Raises common::Exception when the application-data directory cannot be
  // created.
  explicit ClientConfig(Hooks hooks);
  ~ClientConfig() override;
  ClientConfig(const ClientConfig&) = delete;
  ClientConfig& operator=(const ClientConfig&) = delete;

  // Each selects as Config does, then stores the identifier of the selected
  // center (0 for none) under "trustCenterID" and saves.
  void SelectCenter(std::shared_ptr<TrustCenter> center) override;
  void SelectCenter(int32_t id) override;
  void SelectCenter(const std::string& name) override;

  // The "downUrl" / "certUrl" settings when set, else the trust center's own.
  virtual std::string GetDownUrl() const;
  virtual std::string GetCertUrl() const;
  // GetDownUrl() followed by "/config", "/schemas/" and "/transformers/".
  std::string GetConfigUrl() const;
  std::string GetSchemasUrl() const;
  std::string GetTransformersUrl() const;

  // The work directories of one moment: all from the same work base.
  struct Directories {
    common::Path work;
    common::Path inputDir;
    common::Path outputDir;
    common::Path logs;
    common::Path workInput;
    common::Path workValid;
    common::Path workOutput;
    // Undated: GetPathArchive() and the like add the day.
    common::Path archive;
    common::Path responsesArchive;
    common::Path error;
  };
  Directories GetDirectories() const;

  bool GetArchive() const;
  bool GetDebug() const;
  bool GetForceLocalConfig() const { return forceLocalConfig_; }
  std::string GetHinLogin() const;
  std::string GetZsrDownFilter() const;
  // The HIN OAuth service: the login page's base ("hinAuthUrl", plain http),
  // the token service's base ("hinTokenUrl") and the page the browser is sent
  // to after the login ("hinStartPage"). The fixed paths are added by the
  // OAuth client.
  const std::string& GetHinAuthUrl() const { return hinAuthUrl_; }
  const std::string& GetHinTokenUrl() const { return hinTokenUrl_; }
  const std::string& GetHinStartPage() const { return hinStartPage_; }
  // Whether the HIN login uses PKCE ("hinPkce", on unless the service
  // refuses its parameters).
  bool GetHinPkce() const { return hinPkce_; }
  // A CA bundle for every HTTPS request ("caFile"); empty: the system store.
  const std::string& GetCaFile() const { return caFile_; }
  // The identifier stored under "trustCenterID": read at start, updated by
  // every center selection.
  int32_t GetTrustCenterID() const;

  common::Path GetPathWork() const;
  // Where the billing software drops invoices ("inputDir").
  common::Path GetPathInputDir() const;
  // Where responses are delivered ("outputDir").
  common::Path GetPathOutputDir() const;
  common::Path GetPathLogs() const;
  common::Path GetPathWorkInput() const;
  common::Path GetPathWorkValid() const;
  common::Path GetPathWorkOutput() const;
  // Fixed at construction.
  const common::Path& GetPathAppData() const { return path_app_data_; }
  // The dated directories: the fixed directory plus the engine's current day
  // as one more level (the fixed directory itself while the day is unknown).
  // Dated(directory) does the same for a directory taken earlier.
  common::Path Dated(const common::Path& directory) const;
  common::Path GetPathArchive() const;
  common::Path GetPathResponsesArchive() const;
  common::Path GetPathError() const;
  // The duplicate log, "korvex.log" in the work base.
  common::Path GetDuplicateLogPath() const;

  // The setters of text and directories raise common::RuntimeException, and
  // change nothing, for a value the settings file cannot hold (a line feed,
  // a "#", a line over 1023 characters); the directory setters also for a
  // directory CheckDirectory refuses.
  void SetArchive(bool archive);
  void SetDebug(bool debug);
  void SetPathInputDir(const common::Path& path);
  void SetPathOutputDir(const common::Path& path);
  void SetHinLogin(const std::string& login);
  // Stored without white space at either end.
  void SetZsrDownFilter(const std::string& filter);
  // Moves the work base and every work directory below it; the invoice and
  // response directories stay where they are. With Hooks::createWorkFolders
  // the new work area is made at once, so the next run can use it.
  void set_path_work(const common::Path& path);
  // Makes the work base and its folders (input, valid, output, err, archive,
  // responses, responses-archive, logs) where they are missing, the user's
  // alone (0700) whatever the umask: they hold patient data. A folder that
  // cannot be made is logged and the others are still made; a base shorter
  // than two characters, which no step accepts, is left alone. False when
  // one of them could not be made.
  bool CreateWorkFolders() const;

  // Whether a change could be stored now (see IniOptions::CanSave); callers
  // that must not accept what cannot be stored ask before they set.
  bool CanSave(std::string* reason = nullptr) const;
  // Starts the writer thread; delay is the least time between two writes.
  // Saves then leave the setters' threads.
  void StartWriter(std::chrono::milliseconds delay = kWriteDelay);
  // Writes whatever is pending (once more after a failed write), then ends
  // the writer; setters write at once again. Does nothing without a writer.
  void StopWriter();
  // Least time between two writes: a change is on disk well within 200 ms.
  static constexpr std::chrono::milliseconds kWriteDelay{100};
  // The report code of a write that failed.
  static constexpr int32_t kNotStoredReportCode = 40;

  // The settings file itself, for start-up and tests: it takes no lock of
  // its own, so it must not be used while other threads use this object.
  const std::shared_ptr<IniOptions>& GetOptions() const { return options_; }

  // Raises common::RuntimeException, its message the reason, for a directory
  // no run could use: a relative path (relative to what the server happens to
  // run in) or a path where a file stands. One that does not exist yet is
  // fine: the practice may create it later, and the run that misses it says so.
  static void CheckDirectory(const common::Path& directory);

 private:
  // The directory stored under key, or fallback when the key is absent, empty
  // or not a path.
  common::Path ReadDirectory(const std::string& key, const common::Path& fallback) const;
  void SetPathWorkUnchecked(const common::Path& path);
  // Stores value under key and writes the file, or wakes the writer; the
  // caller holds mutex_.
  template <typename T>
  void StoreLocked(const std::string& key, const T& value);
  static void CheckStorable(const std::string& key, const std::string& value);
  void StoreTrustCenter();
  // An error report for the session log.
  void Report(const std::string& text) const;
  void WriterLoop();
  // A failed write: the debug line, then the report for the session log and
  // every client. Called without mutex_.
  void ReportNotStored(const std::string& reason) const;

  struct Writer {
    std::thread thread;
    std::condition_variable wake;
    std::chrono::milliseconds delay{kWriteDelay};
    bool stop = false;
    // Changes made so far, and how many of them the last attempt covered and
    // the last successful write holds.
    uint64_t changes = 0;
    uint64_t attempted = 0;
    uint64_t written = 0;
  };

  Hooks hooks_;
  // Guards every member below but the fixed ones (the application-data
  // directory, the URLs and switches read once at construction) and the
  // settings file.
  mutable std::mutex mutex_;
  bool archive_ = true;
  bool debug_ = false;
  std::string zsrDownFilter_;
  std::string hinLogin_;
  std::string hinAuthUrl_;
  std::string hinTokenUrl_;
  std::string hinStartPage_;
  bool hinPkce_ = true;
  std::string caFile_;
  int32_t trustCenterID_ = 0;
  Directories dirs_;
  common::Path path_app_data_;
  std::string downUrl_;
  std::string certUrl_;
  bool forceLocalConfig_ = false;
  std::shared_ptr<IniOptions> options_;
  // Set while the writer runs; guarded by mutex_.
  std::unique_ptr<Writer> writer_;
};

}  // namespace belmor::korvex

#endif  // KORVEX_CONFIG_CLIENT_CONFIG_H_
