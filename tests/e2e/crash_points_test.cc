// The korvex-batch program killed at each durable file operation of a run in
// turn, not at random moments: an "Auto" then "Write" over a few invoices and
// responses is counted once, then, for every operation k, started again from
// the same practice and the same trust center, killed just before operation
// k, and run to the end. Whatever k, each invoice reached the trust center
// once or waits in the error directory as one whose upload a kill cut off,
// each response reached the practice once, and no temporary is left.
//
// The operations are those of the work area, the duplicate log, the journals,
// the invoice directory and the response directory; the program counts them
// itself in test builds (common/crash_point.h).
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "e2e/e2e_support.h"
#include "support/child_process.h"
#include "support/invoice_factory.h"

namespace belmor::korvex::e2e {
namespace {

namespace fs = std::filesystem;
using belmor::testing::GeneratedInvoiceNumber;
using belmor::testing::ReadFile;
using ::testing::IsEmpty;

// Under the sanitizers a run takes several times as long: every third point
// is tried then, the first and the last always.
#if defined(__SANITIZE_ADDRESS__)
constexpr size_t kStride = 3;
#else
constexpr size_t kStride = 1;
#endif

// A response of the trust center in a format its configuration knows.
std::string Response(const std::string& number) {
  return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<response xmlns=\"urn:belmor:fixture:invoice:1.0\" number=\"" +
         number + "\" status=\"paid\" amount=\"123.45\"/>\n";
}

// How one korvex-batch run ended, and the operations it counted.
struct Outcome {
  bool killed = false;
  int exitStatus = -1;
  std::string output;
  // "operation path [to]", in order.
  std::vector<std::string> operations;
};

// The files below dir whose names start as temporaries do.
std::vector<std::string> Temporaries(const std::string& dir) {
  std::vector<std::string> found;
  for (const auto& entry : fs::recursive_directory_iterator(dir)) {
    if (entry.path().filename().string().rfind(".kx-tmp-", 0) == 0) found.push_back(entry.path().string());
  }
  return found;
}

// The regular files directly in dir, by name, with their contents.
std::map<std::string, std::string> Files(const std::string& dir) {
  std::map<std::string, std::string> files;
  if (!fs::is_directory(dir)) return files;
  for (const auto& entry : fs::directory_iterator(dir)) {
    if (entry.is_regular_file()) files[entry.path().filename().string()] = ReadFile(entry.path().string());
  }
  return files;
}

void ReplaceContents(const std::string& dir, const std::string& from) {
  fs::remove_all(dir);
  fs::create_directories(dir);
  fs::copy(from, dir, fs::copy_options::recursive | fs::copy_options::copy_symlinks);
}

// One practice and one trust center, put back into the same start before
// every run of korvex-batch that a test makes.
class CrashPointsTest : public ::testing::Test {
 protected:
  // A practice with these invoices in its invoice directory and these
  // responses (gate name -> text) waiting at the gate; the state every
  // Restore returns to.
  void Prepare(int invoices, const std::map<std::string, std::string>& responses) {
    practice_.PreloadToken();
    for (int n = 1; n <= invoices; ++n) {
      practice_.AddInvoice(n);
      input_.insert(GeneratedInvoiceNumber(n));
    }
    responses_ = responses;
    ReplaceContents(templates_.Sub("practice"), practice_.Root());
    ReplaceContents(templates_.Sub("settings"), practice_.AppData());
  }

  void Restore() {
    ReplaceContents(practice_.Root(), templates_.Sub("practice"));
    ReplaceContents(practice_.AppData(), templates_.Sub("settings"));
    for (const char* dir : {"uploads", "responses"}) {
      for (const auto& entry : fs::directory_iterator(sim_.StateDir() + "/" + dir)) fs::remove_all(entry.path());
    }
    for (const auto& [name, text] : responses_) sim_.AddResponse("Z1234", name, text);
  }

  // korvex-batch Auto Write; with crashAt, killed at that operation.
  Outcome Run(size_t crashAt = 0) {
    const std::string output = outputs_.Sub("run.out");
    const std::string count = outputs_.Sub("run.count");
    fs::remove(count);
    ScopedEnv under("KORVEX_CRASH_UNDER", practice_.Root() + "/");
    ScopedEnv at("KORVEX_CRASH_AT", crashAt ? std::to_string(crashAt) : "");
    ScopedEnv counted("KORVEX_CRASH_COUNT", crashAt ? "" : count);
    Outcome outcome;
    const pid_t pid = belmor::testing::SpawnWithOutput({KORVEX_BATCH_PROGRAM, "Auto", "Write"}, output);
    if (pid <= 0) {
      ADD_FAILURE() << "korvex-batch did not start";
      return outcome;
    }
    int status = 0;
    while (::waitpid(pid, &status, 0) != pid) {
    }
    outcome.killed = WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL;
    outcome.exitStatus = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    outcome.output = ReadFile(output);
    if (!crashAt && fs::exists(count)) {
      std::istringstream in(ReadFile(count));
      std::string line;
      std::getline(in, line);  // the number of them
      while (std::getline(in, line)) outcome.operations.push_back(line.substr(line.find(' ') + 1));
    }
    return outcome;
  }

  // A practice whose runs have ended: every invoice went out once or is held
  // as one whose upload's fate is unknown, every response arrived once, and
  // nothing waits or is left half-done. held counts the invoices held.
  void CheckSettled(size_t& held) {
    std::map<std::string, int> uploads;
    for (const std::string& number : UploadedNumbers(sim_)) ++uploads[number];
    for (const auto& [number, count] : uploads) EXPECT_EQ(count, 1) << number << " reached the trust center twice";
    const std::vector<std::string> heldNumbers = practice_.HeldNumbers();
    std::set<std::string> accounted(heldNumbers.begin(), heldNumbers.end());
    for (const auto& [number, count] : uploads) accounted.insert(number);
    EXPECT_EQ(accounted, input_) << "every invoice went out or is held";
    held = heldNumbers.size();
    for (const std::string& dir : {practice_.InvoiceDir(), practice_.Work("input"), practice_.Work("valid"),
                                   practice_.Work("output")}) {
      EXPECT_THAT(practice_.NumbersIn(dir), IsEmpty()) << dir;
    }

    // The practice has each response once, under its own name.
    std::multiset<std::string> delivered;
    for (const auto& [name, text] : Files(practice_.ResponseDir())) delivered.insert(text);
    std::multiset<std::string> expected;
    for (const auto& [name, text] : responses_) expected.insert(text);
    EXPECT_EQ(delivered, expected) << "responses in " << practice_.ResponseDir() << ": "
                                   << ::testing::PrintToString(Names(practice_.ResponseDir()));
    EXPECT_THAT(Files(practice_.Work("responses")), IsEmpty());
    for (const auto& [name, text] : responses_) EXPECT_FALSE(sim_.HasResponse("Z1234", name)) << name << " unconfirmed";

    EXPECT_THAT(Temporaries(practice_.Root()), IsEmpty());
  }

  static std::vector<std::string> Names(const std::string& dir) {
    std::vector<std::string> names;
    for (const auto& [name, text] : Files(dir)) names.push_back(name);
    return names;
  }

  TrustCenterSim sim_;
  Practice practice_{sim_};
  TempDir templates_;
  TempDir outputs_;
  std::set<std::string> input_;
  std::map<std::string, std::string> responses_;
};

// A run killed after a response was stored and before the gate heard that it
// arrived: the gate offers it again, and the practice still gets it once.
TEST_F(CrashPointsTest, AResponseStoredBeforeAKillIsDeliveredOnce) {
  ScopedEnv confirm("KORVEX_CONFIRM", "false");
  Prepare(0, {{"antwort-1.pdf", Response("R-GEN-000001")}});
  Restore();
  const Outcome counted = Run();
  ASSERT_EQ(counted.exitStatus, 0) << counted.output;
  // From just after the response got its name in work "responses" up to the
  // write step's first operation: the stretch before the confirmation.
  const std::string stored = practice_.Work("responses/antwort-1.xml");
  size_t first = 0;
  size_t last = 0;
  for (size_t i = 0; i < counted.operations.size(); ++i) {
    const std::string& op = counted.operations[i];
    if (!first && op.rfind("rename ", 0) == 0 && op.size() > stored.size() &&
        op.compare(op.size() - stored.size(), stored.size(), stored) == 0) {
      first = i + 2;  // operations count from 1
    } else if (first && !last && op.find("responses-archive") != std::string::npos) {
      last = i;  // the one before it
    }
  }
  ASSERT_TRUE(first && last >= first) << ::testing::PrintToString(counted.operations);

  for (size_t k = first; k <= last; ++k) {
    SCOPED_TRACE("killed at " + std::to_string(k) + ": " + counted.operations[k - 1]);
    Restore();
    const Outcome killed = Run(k);
    ASSERT_TRUE(killed.killed) << killed.output;
    EXPECT_TRUE(fs::exists(stored));
    const Outcome finished = Run();
    EXPECT_EQ(finished.exitStatus, 0) << finished.output;
    EXPECT_EQ(Names(practice_.ResponseDir()), std::vector<std::string>{"antwort-1.xml"});
    EXPECT_EQ(ReadFile(practice_.ResponseDir() + "antwort-1.xml"), Response("R-GEN-000001"));
    EXPECT_FALSE(sim_.HasResponse("Z1234", "antwort-1.pdf"));
  }
}

TEST_F(CrashPointsTest, AKillAtAnyFileOperationLosesNothingAndDoesNothingTwice) {
  ScopedEnv confirm("KORVEX_CONFIRM", "false");
  Prepare(3, {{"antwort-1.pdf", Response("R-GEN-000001")}, {"antwort-2.pdf", Response("R-GEN-000002")}});
  const auto start = std::chrono::steady_clock::now();

  Restore();
  const Outcome counted = Run();
  ASSERT_EQ(counted.exitStatus, 0) << counted.output;
  size_t held = 0;
  {
    SCOPED_TRACE("the run without a kill");
    CheckSettled(held);
    EXPECT_EQ(held, 0u);
  }
  const std::vector<std::string>& operations = counted.operations;
  // Each kind of place the run writes to is among them.
  for (const std::string& place : {practice_.InvoiceDir(), practice_.Work("input/"), practice_.Work("output/"),
                                  practice_.Work("korvex.log"), practice_.Work("korvex.pending"),
                                  practice_.Work("responses/"), practice_.ResponseDir()}) {
    EXPECT_TRUE(std::any_of(operations.begin(), operations.end(),
                            [&](const std::string& op) { return op.find(place) != std::string::npos; }))
        << place;
  }
  ASSERT_GT(operations.size(), 10u);

  size_t tried = 0;
  size_t heldInAll = 0;
  for (size_t k = 1; k <= operations.size(); ++k) {
    if (kStride > 1 && k % kStride != 1 && k != operations.size()) continue;
    SCOPED_TRACE("killed at " + std::to_string(k) + " of " + std::to_string(operations.size()) + ": " +
                 operations[k - 1]);
    Restore();
    const Outcome killed = Run(k);
    ASSERT_TRUE(killed.killed) << "the run did not reach operation " << k << ":\n" << killed.output;
    const Outcome finished = Run();
    EXPECT_EQ(finished.exitStatus, 0) << finished.output;
    CheckSettled(held);
    // Only the upload the kill cut off can be held.
    EXPECT_LE(held, 1u);
    heldInAll += held;
    ++tried;
    if (HasFailure()) break;
  }
  const auto seconds =
      std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now() - start).count();
  // The crash points by kind of operation ("rename", "sync", ...), for the record.
  std::map<std::string, int> kinds;
  for (const std::string& op : operations) ++kinds[op.substr(0, op.find(' '))];
  std::string byKind;
  for (const auto& [kind, count] : kinds) byKind += " " + kind + "=" + std::to_string(count);
  std::cout << "crash points: " << operations.size() << " operations (" << byKind.substr(1) << "), " << tried
            << " killed runs, " << heldInAll << " invoices held, " << seconds << " s" << std::endl;
  RecordProperty("operations", static_cast<int>(operations.size()));
  RecordProperty("tried", static_cast<int>(tried));
}

}  // namespace
}  // namespace belmor::korvex::e2e
