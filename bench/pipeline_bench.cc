// Invoices through Read, Check, Anonymize and Send against the test trust
// center, next to the floor: the same parse, schema validation, stylesheet
// transformation with encryption and upload done by a plain loop without the
// step framework. Every measured run is a child process of its own (this
// program started again with --child), so the peak memory of one run never
// hides another's, and each child has a private home, work area and HIN login.
//
//   pipeline_bench [--small N] [--large N] [--scale N] [--keep]
//
// --small: invoices of about 10 KB (default 1000); --large: invoices of about
// 1 MB (default 100); --scale: a further framework run with that many small
// invoices whose peak memory is compared with the run of --small (default 0:
// no such run; 10000 is the figure to check, and takes minutes); --keep: leave
// the corpus and the work areas in place. The program prints invoices per
// second per step for the framework and the floor, their ratio, and the peak
// memory (VmHWM) of every child; it exits 1 when the framework needs more than
// 1.25 times the floor's time over all four steps, when the --scale run's
// peak memory is more than 10% above the --small run's, or when an invoice
// did not go all the way.
//
// What the floor counts per step:
//   Read       reading the invoice file and parsing it (XmlDoc)
//   Check      the rule's schemas (Validator::Apply)
//   Anonymize  the rule's stylesheets with the extension module and the
//              recipients' certificates (Transformer::Apply), and the text of
//              the result
//   Send       InputGateClient::Write2 on one session opened beforehand
// The framework's steps do more by design: each reads its file from the work
// area, picks the rule again and writes the file on durably; the check and the
// send step make the invoice summary and consult the duplicate log, the send
// step records it and archives the file. So the floor run also times, apart,
// the one durable move per step that the work area makes (temporary written
// and flushed, renamed, directory flushed, previous file removed): the column
// "floor+moves" shows how much of the difference that storage design explains.
// The CPU columns are each run's own processor time per invoice; the rest of
// a step's time is waiting, for the disk or for the trust center.

#include <fcntl.h>
#include <malloc.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "common/durable_file.h"
#include "bench_practice.h"
#include "config/client_config.h"
#include "config/documents.h"
#include "config/rule.h"
#include "engine/korvex.h"
#include "engine/processing.h"
#include "logging/korvex_logger.h"
#include "logging/report.h"
#include "pipeline/step_semaphore.h"
#include "pipeline/step_work_object.h"
#include "support/invoice_factory.h"
#include "support/temp_dir.h"
#include "support/trust_center_sim.h"
#include "transport/credential_cache.h"
#include "transport/input_gate_client.h"
#include "transport/oauth_client.h"

extern char** environ;

namespace belmor::korvex {
namespace {

namespace fs = std::filesystem;
using bench::BenchFactory;
using bench::CountingSink;
using bench::PrivatePractice;
using bench::SourceDir;
using Clock = std::chrono::steady_clock;

constexpr double kTargetRatio = 1.25;
constexpr double kMaxMemoryGrowth = 0.10;
constexpr size_t kSmallBytes = 10 * 1024;
constexpr size_t kLargeBytes = 1024 * 1024;
// Large invoices are numbered apart from the small ones.
constexpr int kLargeFirstNumber = 500000;
constexpr const char* kStepNames[] = {"Read", "Check", "Anonymize", "Send"};
constexpr int kSteps = 4;


double Seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

// Processor time of this process so far (every thread, user and system).
double CpuSeconds() {
  timespec t{};
  ::clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}

// Peak resident set of this process in KiB.
long PeakKiB() {
  std::ifstream status("/proc/self/status");
  for (std::string line; std::getline(status, line);) {
    if (line.rfind("VmHWM:", 0) == 0) return std::strtol(line.c_str() + 6, nullptr, 10);
  }
  return -1;
}

// The first `count` invoice files of the corpus directory, in name order.
std::vector<std::string> CorpusFiles(const std::string& corpus, int count) {
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(corpus)) names.push_back(entry.path().filename().string());
  std::sort(names.begin(), names.end());
  if (static_cast<int>(names.size()) < count) throw std::runtime_error("corpus " + corpus + " is too small");
  names.resize(static_cast<size_t>(count));
  return names;
}

int CountUploads(const std::string& uploadsDir) {
  int n = 0;
  for (const auto& entry : fs::directory_iterator(uploadsDir)) {
    if (entry.path().filename().string()[0] != '.') ++n;
  }
  return n;
}

int CountFiles(const std::string& dir) {
  if (!fs::is_directory(dir)) return 0;
  int n = 0;
  for (const auto& entry : fs::recursive_directory_iterator(dir)) n += entry.is_regular_file() ? 1 : 0;
  return n;
}

// ---------------------------------------------------------------------------
// Child side: one measured run.

struct ChildArgs {
  std::string mode;  // "framework" or "floor"
  std::string corpus;
  std::string dir;
  int count = 0;
  int httpsPort = 0;
  int httpPort = 0;
  std::string caFile;
};

struct Engine {
  std::shared_ptr<Korvex> engine;
  std::shared_ptr<OAuthClient> security;
  std::shared_ptr<CountingSink> sink;
};

// The engine as korvex-batch starts it, after a Read run over an empty invoice
// directory: that run downloads the configuration and makes the HIN login, so
// the measured runs start with both in place, as every run after the first does.
Engine StartEngine() {
  Engine e;
  e.engine = BenchFactory().Create();
  if (!e.engine) throw std::runtime_error("the engine did not start (see the debug log)");
  e.sink = std::make_shared<CountingSink>();
  e.engine->GetLogger()->SetEventSink(e.sink);
  e.security = std::make_shared<OAuthClient>();
  e.security->Init();
  e.engine->SetSecurityClient(e.security);
  RunLease first = BeginProcessing(*e.engine, Processing::Read);
  if (!first) throw std::runtime_error("the step lock is taken");
  RunProcessing(e.engine, Processing::Read, std::move(first));
  if (e.engine->GetLastDownload() == 0) throw std::runtime_error("the configuration was not downloaded");
  e.sink->problems = 0;
  e.sink->shown.clear();
  return e;
}

void Emit(const std::string& key, double value) { std::printf("%s %.6f\n", key.c_str(), value); }

int RunFramework(const ChildArgs& args) {
  Engine e = StartEngine();
  const std::shared_ptr<ClientConfig>& config = e.engine->GetClientConfig();
  const std::string input = config->GetPathInputDir().ToString();
  // Links, so the step's removal of its source leaves the corpus for the floor.
  for (const std::string& name : CorpusFiles(args.corpus, args.count)) {
    fs::create_hard_link(args.corpus + "/" + name, input + "/" + name);
  }
  Emit("setup_kib", static_cast<double>(PeakKiB()));

  {
    // What RunProcessing does for Auto, with a clock around each step.
    const RunLease lease = BeginProcessing(*e.engine, Processing::Auto);
    if (!lease) throw std::runtime_error("the step lock is taken");
    void (Korvex::*const steps[kSteps])() = {&Korvex::RunReadStep, &Korvex::RunValidationStep,
                                             &Korvex::RunTransformStep, &Korvex::RunSendStep};
    for (int i = 0; i < kSteps; ++i) {
      const auto start = Clock::now();
      const double cpu = CpuSeconds();
      ((*e.engine).*steps[i])();
      Emit(std::string("cpu_") + kStepNames[i], CpuSeconds() - cpu);
      Emit(std::string("seconds_") + kStepNames[i], Seconds(Clock::now() - start));
      Emit(std::string("peak_kib_after_") + kStepNames[i], static_cast<double>(PeakKiB()));
      Emit(std::string("heap_kib_after_") + kStepNames[i], static_cast<double>(::mallinfo2().uordblks) / 1024);
    }
  }
  Emit("peak_kib", static_cast<double>(PeakKiB()));

  // Every invoice must have gone all the way: nothing left in the invoice
  // directory, the work directories or the error directory.
  int left = CountFiles(input) + CountFiles(config->GetPathWorkInput().ToString()) +
             CountFiles(config->GetPathWorkValid().ToString()) + CountFiles(config->GetPathWorkOutput().ToString()) +
             CountFiles(config->GetPathError().ToString());
  Emit("left_behind", left);
  Emit("problems", e.sink->problems);
  for (const std::string& line : e.sink->shown) std::fprintf(stderr, "pipeline_bench: report: %s\n", line.c_str());
  e.security->Shutdown();
  return 0;
}

// One durable move between work directories, done as the steps do it: the
// text written under a temporary name and flushed, renamed to its name in the
// next directory, the directory flushed, the previous file removed.
void DurableMove(const std::string& text, const std::string& from, const std::string& toDir,
                 const std::string& name) {
  const std::string temporary = common::WriteDurableTemporary(toDir, common::kTemporaryPrefix, text);
  if (!common::RenameNoReplace(temporary, toDir + "/" + name)) throw std::runtime_error("name taken: " + name);
  common::SyncDirectory(toDir);
  if (::unlink(from.c_str()) != 0) throw std::runtime_error("cannot remove " + from);
}

int RunFloor(const ChildArgs& args) {
  Engine e = StartEngine();
  const std::shared_ptr<ClientConfig>& config = e.engine->GetClientConfig();
  const std::vector<std::string> names = CorpusFiles(args.corpus, args.count);
  // The invoices, and the directories they pass through when the moves are
  // timed as well: the same ones the steps use.
  const std::string input = config->GetPathInputDir().ToString();
  const std::string dirs[kSteps] = {config->GetPathWorkInput().ToString(), config->GetPathWorkValid().ToString(),
                                    config->GetPathWorkOutput().ToString(), args.dir + "/archive"};
  for (const std::string& dir : dirs) fs::create_directories(dir);
  for (const std::string& name : names) fs::create_hard_link(args.corpus + "/" + name, input + "/" + name);

  // Set-up outside the clock, once: the rule, the recipients' certificates,
  // the fixed stylesheet parameters and one gate session.
  const std::shared_ptr<Rule> rule = config->FindRule(testing::ReadFile(input + "/" + names.front()));
  if (!rule) throw std::runtime_error("no rule for the invoices");
  e.engine->GetCredentialCache()->LoadCredentials(true);
  const std::shared_ptr<TrustCenter>& center = config->CurrentCenter();
  std::map<std::string, std::string> parameters = {
      {"libVersion", XPathStringLiteral(e.engine->GetClientDescription())},
      {"machineID", XPathStringLiteral(e.engine->GetMachineId())},
      {"rcpt", XPathStringLiteral(center->rcpt)},
      {"ruleName", XPathStringLiteral(rule->Version())},
  };
  InputGateClient gate(e.security, center->url);
  if (!gate.Connect("korvex", "ordiva")) throw std::runtime_error("no gate session");
  Emit("setup_kib", static_cast<double>(PeakKiB()));

  // Each step's own work, then its move; the clock and the processor time
  // are read between the two.
  Clock::duration spent[kSteps] = {};
  Clock::duration moves[kSteps] = {};
  double cpu[kSteps] = {};
  int step = 0;
  Clock::time_point mark;
  double cpuMark = 0;
  const auto begin = [&](int i) {
    step = i;
    cpuMark = CpuSeconds();
    mark = Clock::now();
  };
  const auto workDone = [&] {
    const Clock::time_point now = Clock::now();
    cpu[step] += CpuSeconds() - cpuMark;
    spent[step] += now - mark;
    mark = now;
  };
  const auto moveDone = [&] { moves[step] += Clock::now() - mark; };

  int failures = 0;
  for (const std::string& name : names) {
    begin(0);
    const std::string text = testing::ReadFile(input + "/" + name);
    XmlDoc document(text);
    workDone();
    DurableMove(text, input + "/" + name, dirs[0], name);
    moveDone();

    begin(1);
    bool valid = document.Good();
    for (const auto& validator : rule->Validators()) valid = valid && validator->Apply(document);
    workDone();
    DurableMove(text, dirs[0] + "/" + name, dirs[1], name);
    moveDone();

    begin(2);
    parameters["filename"] = XPathStringLiteral(name);
    std::shared_ptr<XmlDoc> current;
    for (const auto& transformer : rule->Transformers()) {
      transformer->Parameters() = parameters;
      std::shared_ptr<XmlDoc> result = transformer->Apply(current ? *current : document);
      if (result) current = std::move(result);
    }
    const std::string out = current ? current->ToString() : std::string();
    workDone();
    DurableMove(out, dirs[1] + "/" + name, dirs[2], name);
    moveDone();

    begin(3);
    gate.Write2(out);
    workDone();
    DurableMove(out, dirs[2] + "/" + name, dirs[3], name);
    moveDone();
    if (!valid || out.empty() || gate.WriteFailed()) ++failures;
  }
  gate.CloseSession();
  for (int i = 0; i < kSteps; ++i) {
    Emit(std::string("seconds_") + kStepNames[i], Seconds(spent[i]));
    Emit(std::string("moves_") + kStepNames[i], Seconds(moves[i]));
    Emit(std::string("cpu_") + kStepNames[i], cpu[i]);
  }
  Emit("peak_kib", static_cast<double>(PeakKiB()));
  Emit("left_behind", CountFiles(input) + CountFiles(dirs[0]) + CountFiles(dirs[1]) + CountFiles(dirs[2]));
  Emit("problems", failures);
  e.security->Shutdown();
  return 0;
}

int ChildMain(const ChildArgs& args) {
  PrivatePractice(args.dir, args.httpsPort, args.httpPort, args.caFile);
  return args.mode == "floor" ? RunFloor(args) : RunFramework(args);
}

// ---------------------------------------------------------------------------
// Parent side: corpus, simulator, children, report.

struct RunResult {
  std::map<std::string, double> values;
  int uploads = 0;
  double Step(int i) const { return values.at(std::string("seconds_") + kStepNames[i]); }
  // The floor's step with the durable move of the work area added.
  double StepWithMove(int i) const { return Step(i) + values.at(std::string("moves_") + kStepNames[i]); }
  double Cpu(int i) const { return values.at(std::string("cpu_") + kStepNames[i]); }
  double Total() const {
    double t = 0;
    for (int i = 0; i < kSteps; ++i) t += Step(i);
    return t;
  }
  double TotalWithMoves() const {
    double t = 0;
    for (int i = 0; i < kSteps; ++i) t += StepWithMove(i);
    return t;
  }
  double TotalCpu() const {
    double t = 0;
    for (int i = 0; i < kSteps; ++i) t += Cpu(i);
    return t;
  }
  double PeakMiB() const { return values.at("peak_kib") / 1024.0; }
};

class Parent {
 public:
  Parent(int small, int large, int scale, bool keep) : small_(small), large_(large), scale_(scale), keep_(keep) {}
  ~Parent() {
    if (!keep_ && !root_.empty()) testing::RemoveAll(testing::TestRoot());
  }

  int Main() {
    root_ = testing::TestRoot() + "/pipeline-bench";
    fs::create_directories(root_);
    std::printf("pipeline_bench: corpus and runs in %s\n", root_.c_str());
    MakeCorpus("small", std::max(small_, scale_), kSmallBytes, 1);
    MakeCorpus("large", large_, kLargeBytes, kLargeFirstNumber);
    // On disk before the runs, as the billing program's files are by the
    // time a run picks them up: otherwise the first run to flush an invoice
    // (the framework's read step makes it durable before moving it) would
    // pay for writing out the corpus that this program just made.
    ::sync();
    std::fflush(stdout);

    testing::TrustCenterSim sim;
    sim_ = &sim;
    std::printf("pipeline_bench: trust-center simulator on https port %d (pid %d)\n\n", sim.HttpsPort(),
                static_cast<int>(sim.Pid()));

    // Framework and floor alternate, so a trust center that slows down as it
    // fills up weighs on both alike.
    std::map<std::string, RunResult> runs;
    runs["framework-small"] = Child("framework", "small", small_);
    runs["floor-small"] = Child("floor", "small", small_);
    if (large_ > 0) {
      runs["framework-large"] = Child("framework", "large", large_);
      runs["floor-large"] = Child("floor", "large", large_);
    }
    if (scale_ > 0) runs["framework-scale"] = Child("framework", "small", scale_);
    sim_ = nullptr;
    return Report(runs);
  }

 private:
  void MakeCorpus(const std::string& set, int count, size_t bytes, int firstNumber) {
    const std::string dir = root_ + "/corpus-" + set;
    fs::create_directories(dir);
    for (int i = 0; i < count; ++i) {
      char name[32];
      std::snprintf(name, sizeof name, "%s-%06d.xml", set.c_str(), i);
      testing::WriteFile(dir + "/" + name, testing::GeneratedInvoice(firstNumber + i, bytes));
    }
  }

  RunResult Child(const std::string& mode, const std::string& set, int count) {
    const std::string dir = root_ + "/" + mode + "-" + set + "-" + std::to_string(count);
    fs::create_directories(dir);
    const std::string output = dir + "/result.txt";
    std::vector<std::string> args = {"/proc/self/exe",
                                     "--child", mode,
                                     "--corpus", root_ + "/corpus-" + set,
                                     "--count", std::to_string(count),
                                     "--dir", dir,
                                     "--https-port", std::to_string(sim_->HttpsPort()),
                                     "--http-port", std::to_string(sim_->HttpPort()),
                                     "--ca-file", sim_->CaFile()};
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);

    std::printf("pipeline_bench: %-9s %5d %s invoices ...", mode.c_str(), count, set.c_str());
    std::fflush(stdout);
    const std::string uploads = sim_->StateDir() + "/uploads";
    const int before = CountUploads(uploads);
    const auto start = Clock::now();

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, output.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    pid_t pid = -1;
    const int rc = ::posix_spawn(&pid, "/proc/self/exe", &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0) throw std::runtime_error("cannot start the child run");
    int status = 0;
    ::waitpid(pid, &status, 0);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
      throw std::runtime_error("the " + mode + " run failed; its output: " + output +
                               (keep_ ? "" : " (removed at the end; --keep keeps it)"));
    }

    RunResult result;
    std::istringstream lines(testing::ReadFile(output));
    for (std::string key; lines >> key;) lines >> result.values[key];
    result.uploads = CountUploads(uploads) - before;
    std::printf(" %.1f s, %d uploads, peak %.1f MiB\n", Seconds(Clock::now() - start), result.uploads,
                result.PeakMiB());
    if (result.uploads != count || result.values["left_behind"] != 0 || result.values["problems"] != 0) {
      std::printf("pipeline_bench:   NOT ALL INVOICES WENT THROUGH: %d uploaded, %.0f files left, %.0f problems\n",
                  result.uploads, result.values["left_behind"], result.values["problems"]);
      complete_ = false;
    }
    std::fflush(stdout);
    return result;
  }

  void Table(const std::string& title, const RunResult& framework, const RunResult& floor, int count) {
    std::printf("\n%s (invoices per second; ratio = framework time / floor time)\n", title.c_str());
    std::printf("  %-10s %11s %11s %7s %13s %7s %15s %11s\n", "step", "framework", "floor", "ratio", "floor+moves",
                "ratio", "framework CPU", "floor CPU");
    const auto row = [&](const char* name, double f, double l, double lm, double fc, double lc) {
      std::printf("  %-10s %11.1f %11.1f %7.2f %13.1f %7.2f %12.2f ms %8.2f ms\n", name, count / f, count / l, f / l,
                  count / lm, f / lm, fc * 1000 / count, lc * 1000 / count);
    };
    for (int i = 0; i < kSteps; ++i) {
      row(kStepNames[i], framework.Step(i), floor.Step(i), floor.StepWithMove(i), framework.Cpu(i), floor.Cpu(i));
    }
    row("overall", framework.Total(), floor.Total(), floor.TotalWithMoves(), framework.TotalCpu(), floor.TotalCpu());
  }

  int Report(std::map<std::string, RunResult>& runs) {
    bool ok = complete_;
    const RunResult& frameworkSmall = runs.at("framework-small");
    const RunResult& floorSmall = runs.at("floor-small");
    Table(std::to_string(small_) + " invoices of about 10 KB", frameworkSmall, floorSmall, small_);
    double frameworkTotal = frameworkSmall.Total();
    double floorTotal = floorSmall.Total();
    if (large_ > 0) {
      const RunResult& frameworkLarge = runs.at("framework-large");
      const RunResult& floorLarge = runs.at("floor-large");
      Table(std::to_string(large_) + " invoices of about 1 MB", frameworkLarge, floorLarge, large_);
      frameworkTotal += frameworkLarge.Total();
      floorTotal += floorLarge.Total();
    }
    const double ratio = frameworkTotal / floorTotal;
    double movesTotal = runs.at("floor-small").TotalWithMoves();
    if (large_ > 0) movesTotal += runs.at("floor-large").TotalWithMoves();
    std::printf("\nall invoices: framework %.2f s, floor %.2f s, ratio %.2f (target %.2f): %s\n", frameworkTotal,
                floorTotal, ratio, kTargetRatio, ratio <= kTargetRatio ? "met" : "MISSED");
    std::printf("against the floor with the work area's durable moves: floor+moves %.2f s, ratio %.2f\n", movesTotal,
                frameworkTotal / movesTotal);
    std::printf("  (floor+moves: the floor plus one durable move per step, as the work area makes them; CPU: the\n"
                "   run's own processor time, user and system, per invoice)\n");
    ok = ok && ratio <= kTargetRatio;

    std::printf("\npeak memory (VmHWM of each run's process: after set-up, after each step, at the end; heap in\n"
                "use at the end: what the engine keeps, such as the duplicate log)\n");
    for (const auto& [name, run] : runs) {
      std::printf("  %-16s %6.1f MiB", name.c_str(), run.values.at("setup_kib") / 1024.0);
      if (run.values.count("peak_kib_after_Read")) {
        for (const char* step : kStepNames) {
          std::printf(" -> %s %.1f", step, run.values.at(std::string("peak_kib_after_") + step) / 1024.0);
        }
      }
      std::printf(" -> %.1f MiB", run.PeakMiB());
      if (run.values.count("heap_kib_after_Send")) {
        std::printf("; heap %.1f MiB", run.values.at("heap_kib_after_Send") / 1024.0);
      }
      std::printf("\n");
    }
    if (scale_ > 0) {
      const double growth = runs.at("framework-scale").PeakMiB() / frameworkSmall.PeakMiB() - 1.0;
      std::printf("framework peak at %d vs %d small invoices: %+.1f%% (limit %+.0f%%): %s\n", scale_, small_,
                  growth * 100, kMaxMemoryGrowth * 100, growth <= kMaxMemoryGrowth ? "met" : "MISSED");
      ok = ok && growth <= kMaxMemoryGrowth;
      // Time and processor time per invoice that grow with the count show work
      // that grows with what the run has done so far.
      const RunResult& scaled = runs.at("framework-scale");
      std::printf("framework at %d vs %d small invoices (invoices per second; CPU per invoice):\n", scale_, small_);
      for (int i = 0; i < kSteps; ++i) {
        std::printf("  %-10s %9.1f vs %9.1f   %6.2f ms vs %6.2f ms\n", kStepNames[i], scale_ / scaled.Step(i),
                    small_ / frameworkSmall.Step(i), scaled.Cpu(i) * 1000 / scale_,
                    frameworkSmall.Cpu(i) * 1000 / small_);
      }
      std::printf("  %-10s %9.1f vs %9.1f   %6.2f ms vs %6.2f ms\n", "overall", scale_ / scaled.Total(),
                  small_ / frameworkSmall.Total(), scaled.TotalCpu() * 1000 / scale_,
                  frameworkSmall.TotalCpu() * 1000 / small_);
    }
    return ok ? 0 : 1;
  }

  int small_;
  int large_;
  int scale_;
  bool keep_;
  std::string root_;
  testing::TrustCenterSim* sim_ = nullptr;
  bool complete_ = true;
};

int Usage() {
  std::fprintf(stderr, "usage: pipeline_bench [--small N] [--large N] [--scale N] [--keep]\n");
  return 2;
}

}  // namespace
}  // namespace belmor::korvex

int main(int argc, char** argv) {
  using namespace belmor::korvex;
  std::map<std::string, std::string> options;
  bool keep = false;
  if (!bench::ParseOptions(argc, argv, options, keep)) return Usage();
  try {
    const auto number = [&](const std::string& key, int fallback) {
      return options.count(key) ? std::stoi(options.at(key)) : fallback;
    };
    if (options.count("child")) {
      ChildArgs args;
      args.mode = options.at("child");
      args.corpus = options.at("corpus");
      args.dir = options.at("dir");
      args.count = number("count", 0);
      args.httpsPort = number("https-port", 0);
      args.httpPort = number("http-port", 0);
      args.caFile = options.at("ca-file");
      return ChildMain(args);
    }
    for (const auto& [key, value] : options) {
      if (key != "small" && key != "large" && key != "scale") return Usage();
    }
    const int small = number("small", 1000);
    if (small < 1) return Usage();
    return Parent(small, number("large", 100), number("scale", 0), keep).Main();
  } catch (const std::exception& e) {
    std::fprintf(stderr, "pipeline_bench: %s\n", e.what());
    return 1;
  }
}
