#ifndef KORVEX_TESTS_E2E_E2E_SUPPORT_H_
#define KORVEX_TESTS_E2E_E2E_SUPPORT_H_

// What the whole-pipeline tests share: a practice (its settings, invoice,
// work and response directories) configured for one running test trust
// center, an engine started the way the server starts it, and a look at what
// the trust center received.

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "engine/processing.h"
#include "logging/korvex_logger.h"
#include "platform/scoped_env.h"
#include "support/recording_sink.h"
#include "support/temp_dir.h"
#include "support/trust_center_sim.h"

namespace belmor::korvex {
class Korvex;
class OAuthClient;
}  // namespace belmor::korvex

namespace belmor::korvex::e2e {

using belmor::testing::ScopedEnv;
using belmor::testing::TempDir;
using belmor::testing::TrustCenterSim;

// The configuration shipped beside the program (it names port 8443, so the
// first step must fetch the trust center's own).
std::string ShippedConfigDir();

// The files of a practice: settings in the application-data directory of a
// settings home of its own (XDG_CONFIG_HOME points there while the object
// lives, so the token file and the local configuration copy are the
// practice's too), and the invoice, response and work directories.
class Practice {
 public:
  explicit Practice(const TrustCenterSim& sim);

  const std::string& Root() const { return root_.path(); }
  std::string InvoiceDir() const { return root_.Sub("Rechnungen/"); }
  std::string ResponseDir() const { return root_.Sub("Antworten/"); }
  // The work directory, or a path inside it.
  std::string Work(const std::string& relative = "") const { return root_.Sub("work/") + relative; }
  std::string AppData(const std::string& name = "") const;

  // korvex.ini as a practice's support writes it for this trust center, plus
  // extra lines ("key=value\n").
  void WriteSettings(const std::string& extra = "");
  // A token of the login "dr.muster" that the trust center always accepts,
  // stored before the engine starts, and the login selected in the settings:
  // no browser login happens.
  void PreloadToken();

  // GeneratedInvoice(n, bytes) in the invoice directory as InvoiceFileName(n).
  void AddInvoice(int n, size_t bytes = 0) const;
  static std::string InvoiceFileName(int n);

  // The invoice numbers (<number>) of the invoice files in a directory and
  // its sub-directories, one per file; hidden temporaries are skipped.
  std::vector<std::string> NumbersIn(const std::string& dir) const;
  // The invoice IDs recorded in the duplicate log "korvex.log".
  std::set<std::string> DuplicateLogIds() const;
  // The invoice numbers of the files the send step holds in the error
  // directory because their upload's fate is unknown ("korvex.pending").
  std::vector<std::string> HeldNumbers() const;

 private:
  const TrustCenterSim& sim_;
  TempDir root_;
  TempDir settingsHome_;
  ScopedEnv configHome_;
};

// The key=value lines of a settings file, by key.
std::map<std::string, std::string> IniValues(const std::string& file);
// A directory as the settings store it (with its closing separator).
std::string AsStored(const std::string& directory);

// The invoice number of an invoice text, empty when it has none.
std::string InvoiceNumber(const std::string& text);

// One upload as the trust center's recipient sees it.
struct ReceivedInvoice {
  std::string number;
  bool wellFormed = false;
  // The patient block opened with the recipient's key; empty when the upload
  // has none or it does not decrypt.
  std::string patient;
};
ReceivedInvoice OpenUpload(const TrustCenterSim& sim, const std::string& upload,
                           const std::string& recipient = "tcnord-a");

// The invoice numbers of the uploads, in upload order.
std::vector<std::string> UploadedNumbers(const TrustCenterSim& sim);

using belmor::testing::RecordingSink;
using belmor::testing::Report;

// An engine started the way the server starts one (settings, Init, the OAuth
// security client, reports to a sink), with the shipped configuration of
// ShippedConfigDir. Each object is an engine of its own, so a test may stand
// for a restart by making another.
class Engine {
 public:
  Engine();
  ~Engine();
  Engine(const Engine&) = delete;
  Engine& operator=(const Engine&) = delete;

  // One processing call on this thread; false when BeginProcessing refused it.
  bool Run(Processing processing);

  const std::shared_ptr<Korvex>& Get() const { return engine_; }
  RecordingSink& Sink() { return *sink_; }

 private:
  std::shared_ptr<Korvex> engine_;
  std::shared_ptr<RecordingSink> sink_;
  std::shared_ptr<OAuthClient> security_;
};

// An executable script file holding text (for KORVEX_BROWSER and KORVEX_CONFIRM).
void WriteScript(const std::string& path, const std::string& text);

}  // namespace belmor::korvex::e2e

#endif  // KORVEX_TESTS_E2E_E2E_SUPPORT_H_
