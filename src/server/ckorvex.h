#ifndef KORVEX_SERVER_CKORVEX_H_
#define KORVEX_SERVER_CKORVEX_H_

#include <atomic>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <sdbus-c++/sdbus-c++.h>

#include "engine/processing.h"
#include <korvex/korvex_adaptor.h>

namespace belmor::korvex {
class Korvex;
struct TrustCenter;
}

namespace belmor::korvex::server {

class CKorvex;

// The center a client names by its label or its labelNEW (either in Latin-1
// or UTF-8), the first in configuration order; empty when none matches.
std::shared_ptr<TrustCenter> FindCenter(const std::vector<std::shared_ptr<TrustCenter>>& centers,
                                        const std::string& name);
// A center's ESR participant number as clients read it: the text only when
// its first byte, read as a signed byte, lies in 1..99; else empty.
std::string ReadableEsr(const std::string& esr);

// What an automation object needs from the server that holds it. Called on
// the bus thread only.
class InstanceHost {
 public:
  virtual ~InstanceHost() = default;
  // A property that every client may watch changed: each live object tells
  // its own client.
  virtual void PropertyChanged(const std::string& name) = 0;
  // The client let go of the object; the server ends it once the call that
  // asked for it has been answered.
  virtual void ReleaseLater(CKorvex& instance) = 0;
  // False once the server has been asked to end: no new run starts.
  virtual bool Accepting() const = 0;
  // A run has ended. Called on the run's own thread.
  virtual void RunEnded() = 0;
  // True while a run of this process works, also one whose object is gone.
  virtual bool RunActive() const = 0;
};

// The worker thread of one object's latest run. Outlives the object when the
// object is released during the run: whoever holds it last joins the thread.
class RunWorker {
 public:
  RunWorker() = default;
  ~RunWorker();
  RunWorker(const RunWorker&) = delete;
  RunWorker& operator=(const RunWorker&) = delete;

  // Starts the run on a new thread; the thread of an earlier run has ended
  // (its lease was free) and is joined first. ended is called on the run's
  // thread once the run is over.
  void Start(const std::shared_ptr<Korvex>& engine, Processing processing, RunLease lease,
             std::function<void()> ended);
  // True while the latest run has not ended.
  bool Running() const { return thread_.joinable() && !finished_->load(); }
  void Join();

 private:
  std::thread thread_;
  std::shared_ptr<std::atomic<bool>> finished_ = std::make_shared<std::atomic<bool>>(true);
};

// One automation object: /ch/belmor/Korvex/<n>, made by CreateInstance for
// the client that called it. A thin bridge to the one engine of the process
// and its settings; processing methods start a worker thread. All members
// run on the bus thread.
class CKorvex : public sdbus::AdaptorInterfaces<ch::belmor::Korvex::IKorvex_adaptor> {
 public:
  // engine may be empty when it did not start: members that need it then
  // answer Fail.
  CKorvex(sdbus::IConnection& connection, std::string path, std::string owner, std::shared_ptr<Korvex> engine,
          InstanceHost& host);
  ~CKorvex();

  const std::string& Path() const { return path_; }
  // The unique bus name of the client that created this object.
  const std::string& Owner() const { return owner_; }
  // Takes the worker away for the caller to wait for, after cancelling its
  // run when it still works; the object itself must then be destroyed on
  // the bus thread.
  std::shared_ptr<RunWorker> TakeWorker();
  // True while this object's latest run works.
  bool Running() const { return worker_ && worker_->Running(); }
  // Tells this object's client that the property changed.
  void EmitChanged(const std::string& property);

 private:
  void Auto() override;
  void Read() override;
  void Check() override;
  void Anonymize() override;
  void Send() override;
  void Cancel() override;
  void Write() override;
  void OpenSession() override;
  void CloseSession() override;
  void AutoOne(const std::string& filename) override;
  void Release() override;

  std::string korvexVersion() override;
  std::vector<std::string> trustCenters() override;
  std::string trustCenter() override;
  void trustCenter(const std::string& value) override;
  std::string inputDirectory() override;
  void inputDirectory(const std::string& value) override;
  std::string workDirectory() override;
  void workDirectory(const std::string& value) override;
  bool withPDF() override;
  void withPDF(const bool& value) override;
  bool withArchive() override;
  void withArchive(const bool& value) override;
  std::string ean() override;
  std::string esr() override;
  std::string esrPDF() override;
  std::string tcTel() override;
  std::string session() override;
  std::string asasVersion() override;
  std::vector<std::string> asasLogins() override;
  std::string asasLogin() override;
  void asasLogin(const std::string& value) override;
  bool activateGUI() override;
  void activateGUI(const bool& value) override;
  bool debug() override;
  void debug(const bool& value) override;
  std::string outputDirectory() override;
  void outputDirectory(const std::string& value) override;
  std::string igLog() override;
  bool autoUpdate() override;
  void autoUpdate(const bool& value) override;
  bool updateAvailable() override;
  bool responseMessagesEnabled() override;
  void responseMessagesEnabled(const bool& value) override;
  std::string zsrDownFilter() override;
  void zsrDownFilter(const std::string& value) override;
  std::string updateMsg() override;
  bool interactive() override;
  void interactive(const bool& value) override;

  Korvex& Engine() const;
  void StartRun(Processing processing, const std::string& fileName = std::string());
  // Runs a settings put; a value the settings file cannot hold answers
  // InvalidArg, a settings file that cannot be written now answers Fail, and
  // neither changes anything. stored: the setting lives in the settings file
  // (else it is an engine switch that nothing writes). Tells every client
  // when the value changed.
  template <typename Get, typename Put>
  void PutSetting(const char* property, Get get, Put put, bool stored = true);
  // A directory put: the value already set answers OK at once; a directory
  // no run could use (relative, a file) answers InvalidArg; another one
  // answers Busy while a run holds the step lock (the run works in the
  // directories it started with), else goes through PutSetting.
  template <typename Get, typename Put>
  void PutDirectory(const char* property, const std::string& value, Get get, Put put);
  // Fail unless the settings file can take a change now.
  void RequireSavable() const;

  std::string path_;
  std::string owner_;
  std::shared_ptr<Korvex> engine_;
  InstanceHost& host_;
  std::shared_ptr<RunWorker> worker_ = std::make_shared<RunWorker>();
  // This client has someone at the screen: its runs may ask questions.
  bool interactive_ = false;
};

}  // namespace belmor::korvex::server

#endif  // KORVEX_SERVER_CKORVEX_H_
