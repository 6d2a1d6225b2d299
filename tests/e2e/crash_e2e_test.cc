// Runs of the korvex-batch program killed at random points and started
// again, then runs that end by themselves. No invoice may be lost, none
// half-written may reach the trust center, and none may go out twice: an
// upload that a kill cut off (begun in the journal, not completed) is held in
// the error directory for the practice, whether or not the trust center got
// it. The counts (runs, kills, held, doubles) are printed and recorded as test
// properties.
//
// The random choices come from a seed that is printed; KORVEX_CRASH_SEED=<n>
// repeats them (the timing of the machine still varies).
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <map>
#include <random>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "e2e/e2e_support.h"
#include "support/child_process.h"
#include "support/invoice_factory.h"
#include "transport/rpc_value.h"
#include "transport/sim_fixture.h"

namespace belmor::korvex::e2e {
namespace {

namespace fs = std::filesystem;
using belmor::testing::GeneratedInvoiceNumber;
using belmor::testing::ReadFile;
using ::testing::IsEmpty;
using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

#if defined(__SANITIZE_ADDRESS__)
constexpr int kSlowdown = 3;
#else
constexpr int kSlowdown = 1;
#endif

// The invoices of the first run; every later run gets a few new ones, so
// that each has work to be killed in.
constexpr int kInvoices = 50;
constexpr int kNewPerRun = 5;
constexpr int kKills = 8;
// Enough rounds that the kills happen even when some runs end first.
constexpr int kMaxRounds = 4 * kKills;

// A started korvex-batch with its output in a file.
class BatchRun {
 public:
  BatchRun(const std::vector<std::string>& args, const std::string& output) {
    std::vector<std::string> all = {KORVEX_BATCH_PROGRAM};
    all.insert(all.end(), args.begin(), args.end());
    pid_ = belmor::testing::SpawnWithOutput(all, output);
  }
  ~BatchRun() {
    if (pid_ > 0 && !ended_) {
      ::kill(pid_, SIGKILL);
      Wait();
    }
  }
  BatchRun(const BatchRun&) = delete;
  BatchRun& operator=(const BatchRun&) = delete;

  bool Started() const { return pid_ > 0; }
  // Whether the program has ended (it is reaped then).
  bool Ended() {
    if (!ended_ && ::waitpid(pid_, &status_, WNOHANG) == pid_) ended_ = true;
    return ended_;
  }
  void Wait() {
    while (!ended_ && ::waitpid(pid_, &status_, 0) != pid_) {
    }
    ended_ = true;
  }
  // SIGKILL unless it has ended already; true when the signal ended it.
  bool Kill() {
    if (Ended()) return false;
    ::kill(pid_, SIGKILL);
    Wait();
    return WIFSIGNALED(status_) && WTERMSIG(status_) == SIGKILL;
  }
  // The exit status, -1 when it did not exit normally.
  int ExitStatus() const { return WIFEXITED(status_) ? WEXITSTATUS(status_) : -1; }

 private:
  pid_t pid_ = -1;
  int status_ = 0;
  bool ended_ = false;
};

size_t CountUploads(const TrustCenterSim& sim) {
  size_t count = 0;
  for (const auto& entry : fs::directory_iterator(sim.StateDir() + "/uploads")) {
    if (entry.path().filename().string().front() != '.') ++count;
  }
  return count;
}

// The step a run was in when it ended: the origin of its last report line.
std::string LastStep(const std::string& output) {
  static const std::map<std::string, std::string> kSteps = {
      {"0", "read"}, {"1", "check"}, {"2", "anonymize"}, {"4", "send"}, {"7", "responses"}, {"8", "write"}};
  static const std::regex kOrigin(" origin=([0-9]+) ");
  std::string step = "start";
  for (auto it = std::sregex_iterator(output.begin(), output.end(), kOrigin); it != std::sregex_iterator(); ++it) {
    const auto found = kSteps.find((*it)[1].str());
    step = found == kSteps.end() ? "origin " + (*it)[1].str() : found->second;
  }
  return step;
}

// The uploads the trust center answered, in order: the session each came in.
std::vector<std::string> UploadSessions(const TrustCenterSim& sim) {
  std::vector<std::string> sessions;
  for (const std::string& line : sim.RequestLog()) {
    const testing::LoggedRequest r = testing::ParseLoggedRequest(line);
    if (r.rpcMethod == "korvex.inputgate.write2" && r.status.kind() == RpcValue::kInt && r.status.AsInt() == 200) {
      sessions.push_back(r.rpcParams.AsArray().at(0).AsString());
    }
  }
  return sessions;
}

unsigned Seed() {
  if (const char* fixed = std::getenv("KORVEX_CRASH_SEED"); fixed && *fixed) {
    return static_cast<unsigned>(std::strtoul(fixed, nullptr, 10));
  }
  return std::random_device()();
}

TEST(CrashTest, KilledRunsLoseNothingAndSendNothingTwice) {
  const unsigned seed = Seed();
  std::cout << "crash test seed " << seed << " (KORVEX_CRASH_SEED=" << seed << " repeats it)" << std::endl;
  RecordProperty("seed", std::to_string(seed));
  std::mt19937 random(seed);
  auto uniform = [&](int low, int high) { return std::uniform_int_distribution<int>(low, high)(random); };

  TrustCenterSim sim;
  Practice practice(sim);
  // The first run logs in through the browser; later ones use the stored token.
  ScopedEnv browser("KORVEX_BROWSER", TrustCenterSim::BrowserCommand());
  ScopedEnv confirm("KORVEX_CONFIRM", "false");
  std::set<std::string> input;
  for (int n = 1; n <= kInvoices; ++n) {
    practice.AddInvoice(n);
    input.insert(GeneratedInvoiceNumber(n));
  }
  TempDir outputs;

  struct Round {
    std::string how;
    bool killed = false;
    std::string step;
    size_t uploadsAtEnd = 0;
    // Right after the kill: the invoices the duplicate log holds, and how
    // many uploads the trust center had answered by then.
    std::set<std::string> recorded;
    size_t answered = 0;
  };
  std::vector<Round> rounds;
  int kills = 0;
  int invoices = kInvoices;
  for (int round = 0; kills < kKills && round < kMaxRounds; ++round) {
    for (int i = 0; round > 0 && i < kNewPerRun; ++i) {
      practice.AddInvoice(++invoices);
      input.insert(GeneratedInvoiceNumber(invoices));
    }
    Round r;
    const std::string output = outputs.Sub("run-" + std::to_string(round) + ".out");
    const size_t uploadsBefore = CountUploads(sim);
    // Half the kills after a random time, which lands anywhere from the start
    // to the send step; half just after the k-th upload of the run reached
    // the trust center, which aims at the send step's own critical stretch.
    const bool afterUpload = uniform(0, 1) == 1;
    // Over one kept connection a run's five uploads and its close take a few
    // milliseconds, so the delays are short enough to land inside the run.
    const int delay = uniform(0, afterUpload ? 4 * kSlowdown : 150 * kSlowdown);
    const size_t k = static_cast<size_t>(uniform(1, 4));
    r.how = afterUpload ? "upload " + std::to_string(k) + " + " + std::to_string(delay) + " ms"
                        : std::to_string(delay) + " ms";

    BatchRun run({"Auto"}, output);
    ASSERT_TRUE(run.Started());
    const auto start = Clock::now();
    const auto giveUp = start + std::chrono::seconds(60 * kSlowdown);
    auto killAt = afterUpload ? Clock::time_point::max() : start + milliseconds(delay);
    while (!run.Ended() && Clock::now() < killAt) {
      ASSERT_LT(Clock::now(), giveUp) << "run " << round << " hangs:\n" << ReadFile(output);
      if (afterUpload && killAt == Clock::time_point::max() && CountUploads(sim) >= uploadsBefore + k) {
        killAt = Clock::now() + milliseconds(delay);
      }
      std::this_thread::sleep_for(milliseconds(1));
    }
    r.killed = run.Kill();
    if (r.killed) {
      ++kills;
    } else {
      EXPECT_EQ(run.ExitStatus(), 0) << ReadFile(output);
    }
    r.step = LastStep(ReadFile(output));
    r.uploadsAtEnd = CountUploads(sim);
    if (r.killed) {
      r.recorded = practice.DuplicateLogIds();
      r.answered = UploadSessions(sim).size();
    }
    std::cout << "  run " << round + 1 << ": " << r.how << (r.killed ? ", killed in " : ", ended in ") << r.step
              << ", uploads " << r.uploadsAtEnd << std::endl;
    rounds.push_back(r);
  }
  ASSERT_EQ(kills, kKills);

  // Runs to the end; a second one finds nothing left to send.
  for (int last = 0; last < 2; ++last) {
    const std::string output = outputs.Sub("final-" + std::to_string(last) + ".out");
    BatchRun run({"Auto"}, output);
    ASSERT_TRUE(run.Started());
    run.Wait();
    EXPECT_EQ(run.ExitStatus(), 0) << ReadFile(output);
    Round r;
    r.how = "to the end";
    r.step = LastStep(ReadFile(output));
    r.uploadsAtEnd = CountUploads(sim);
    rounds.push_back(r);
  }
  EXPECT_EQ(rounds[rounds.size() - 1].uploadsAtEnd, rounds[rounds.size() - 2].uploadsAtEnd);

  // Nothing is lost: every invoice reached the trust center, or waits in the
  // error directory as one whose upload a kill cut off; none waits elsewhere.
  const std::vector<std::string> uploads = sim.Uploads();
  std::vector<std::string> numbers;
  for (size_t i = 0; i < uploads.size(); ++i) {
    const ReceivedInvoice received = OpenUpload(sim, uploads[i]);
    SCOPED_TRACE("upload " + std::to_string(i + 1) + " " + received.number);
    EXPECT_TRUE(received.wellFormed);
    EXPECT_THAT(received.patient, ::testing::HasSubstr("familyname")) << "the patient block opens";
    numbers.push_back(received.number);
  }
  const std::vector<std::string> held = practice.HeldNumbers();
  std::set<std::string> accounted(numbers.begin(), numbers.end());
  accounted.insert(held.begin(), held.end());
  EXPECT_EQ(accounted, input);
  for (const std::string& dir : {practice.InvoiceDir(), practice.Work("input"), practice.Work("valid"),
                                 practice.Work("output")}) {
    EXPECT_THAT(practice.NumbersIn(dir), IsEmpty()) << dir;
  }
  // Besides the held ones, the error directory has only copies that a kill
  // left behind in an earlier directory, refused as duplicates: each of an
  // invoice that was sent.
  for (const std::string& number : practice.NumbersIn(practice.Work("err"))) {
    EXPECT_EQ(input.count(number), 1u) << number;
    const bool isHeld = std::find(held.begin(), held.end(), number) != held.end();
    EXPECT_TRUE(isHeld || std::find(numbers.begin(), numbers.end(), number) != numbers.end())
        << number << " only in err, and not held";
  }
  // At most one invoice is held per kill: the upload the kill cut off.
  EXPECT_LE(held.size(), static_cast<size_t>(kills));

  // Nothing went out twice.
  std::map<std::string, int> copies;
  for (const std::string& number : numbers) ++copies[number];
  int doubles = 0;
  for (const auto& [number, count] : copies) {
    EXPECT_EQ(count, 1) << number << " reached the trust center " << count << " times";
    doubles += count - 1;
  }
  // What the duplicate log held when a run died never went out again: the
  // uploads answered after that moment are all of other invoices.
  for (size_t i = 0; i < rounds.size(); ++i) {
    for (size_t u = rounds[i].answered; rounds[i].killed && u < numbers.size(); ++u) {
      EXPECT_EQ(rounds[i].recorded.count(numbers[u]), 0u)
          << numbers[u] << " was recorded as sent when run " << i + 1 << " was killed, yet went out again";
    }
  }

  std::ostringstream steps;
  std::map<std::string, int> killedIn;
  for (const Round& r : rounds) {
    if (r.killed) ++killedIn[r.step];
  }
  for (const auto& [step, count] : killedIn) steps << " " << step << "=" << count;
  std::cout << "crash test: seed=" << seed << " runs=" << rounds.size() << " kills=" << kills
            << " held=" << held.size() << " doubles=" << doubles << " invoices=" << input.size()
            << " uploads=" << uploads.size()
            << " killed in:" << steps.str() << std::endl;
  RecordProperty("runs", static_cast<int>(rounds.size()));
  RecordProperty("kills", kills);
  RecordProperty("held", static_cast<int>(held.size()));
  RecordProperty("doubles", doubles);
}

}  // namespace
}  // namespace belmor::korvex::e2e
