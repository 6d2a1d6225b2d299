// The duplicate log at 100,000 entries, about what a busy practice sends in
// 30 days. The send step adds one entry per invoice, one appended line
// whatever the ID: IDs counting upward as a practice numbers them, and IDs in
// random order as a directory listing hands them over. An expiry needs the
// full rewrite, measured beside them. The validation step asks IsDuplicate
// once per invoice. Two floors show what the append costs by itself and with
// the fdatasync that Add makes before it answers: an invoice that was sent
// must be in the log on the disk. That sync is the disk's time, not the log's:
// several milliseconds while other programs write. Before the benchmarks the
// program measures the heap a 10,000-entry log takes per entry, once loaded
// from a file and once built by Add. It prints the figures against their
// targets (the processor time of an Add under 1 ms, IsDuplicate under 10 µs,
// at most 100 bytes per entry) and fails when one is missed. File work is
// timed in real time, shown beside the fdatasync floor, and in processor time,
// which leaves out the waits for the disk.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <malloc.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "pipeline/duplicate_log.h"
#include "pipeline/simple_invoice.h"

namespace belmor::korvex {
namespace {

constexpr int kEntries = 100000;
constexpr int64_t kNow = 1750000000;
// The entries span 23 days, so none expires while the benchmark runs.
constexpr int64_t kSpacing = 20;
// The log's own work in an Add, without the wait for the disk.
constexpr double kAddCpuTargetUs = 1000;
constexpr double kLookupTargetUs = 10;
// The pipeline benchmark sends 10,000 invoices in one process.
constexpr int kMemoryEntries = 10000;
constexpr double kBytesPerEntryTarget = 100;

constexpr char kAppend[] = "BM_AddAppending";
constexpr char kRandom[] = "BM_AddRandomOrder";
constexpr char kRewrite[] = "BM_AddRewriting";
constexpr char kHit[] = "BM_IsDuplicateHit";
constexpr char kMiss[] = "BM_IsDuplicateMiss";
constexpr char kFloor[] = "BM_AppendLineFloor";
constexpr char kFloorSync[] = "BM_AppendLineFdatasyncFloor";

const std::string& Directory() {
  static const std::string directory = [] {
    std::string pattern = (std::filesystem::temp_directory_path() / "kx-duplog-bench-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) {
      std::perror("mkdtemp");
      std::exit(2);
    }
    return pattern;
  }();
  return directory;
}

// Practices number invoices upward; fixed width keeps text order numeric.
std::string Id(int n) {
  char text[16];
  std::snprintf(text, sizeof text, "R%08d", n);
  return text;
}

std::shared_ptr<SimpleInvoice> Invoice(const std::string& id, int n) {
  auto invoice = std::make_shared<SimpleInvoice>();
  invoice->SetID(id);
  invoice->SetAmount(std::to_string(n % 5000) + "." + std::to_string(10 + n % 90));
  invoice->SetTimestamp(std::to_string(1709800000 + n));
  char text[24];
  std::snprintf(text, sizeof text, "7601000%06d", 100000 + n % 900000);
  invoice->SetEan(text);
  std::snprintf(text, sizeof text, "Z%06d", 100000 + n % 900000);
  invoice->SetZsr(text);
  invoice->SetStorno(n % 50 == 0);
  return invoice;
}

// A log file of count entries with IDs counting upward, 20 s apart, the
// last one kSpacing before kNow.
std::string WriteLogFile(const std::string& name, int count) {
  const std::string path = Directory() + "/" + name;
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << "kxdl-1.1\r\n";
  for (int n = 0; n < count; ++n) {
    const auto invoice = Invoice(Id(n), n);
    out << invoice->GetID() << '|' << invoice->GetAmount() << '|' << kNow - (count - n) * kSpacing << '|'
        << invoice->GetZsr() << '|' << invoice->GetEan() << '|' << invoice->GetTimestamp() << '|'
        << (invoice->GetStorno() ? '1' : '0') << "\r\n";
  }
  return path;
}

ino_t Inode(const std::string& path) {
  struct stat info {};
  return ::stat(path.c_str(), &info) == 0 ? info.st_ino : 0;
}

// A second name for a log's file tells whether Add ever rewrote it: appends
// reach the file under both names, a rewrite puts a new file under the log's
// name only. (The inode alone does not tell: the file system hands out freed
// ones again, but not one that a second name keeps in use.)
std::string SecondName(const std::string& path) { return path + ".second"; }

bool Rewritten(const std::string& path) { return Inode(path) != Inode(SecondName(path)); }

// A log on its own file holding kEntries entries, loaded as the engine loads
// it at start-up. The file gets its second name first: a new name changes the
// file's status time, which the log would take for someone else's change.
std::unique_ptr<DuplicateLog> LoadedLog(const std::string& name) {
  const std::string path = WriteLogFile(name, kEntries);
  if (::link(path.c_str(), SecondName(path).c_str()) != 0) std::perror("link");
  auto log = std::make_unique<DuplicateLog>(path);
  log->SetClock([] { return kNow; });
  if (!log->Load() || log->Entries().size() != static_cast<size_t>(kEntries)) {
    std::fprintf(stderr, "cannot load %s\n", log->Path().c_str());
    std::exit(2);
  }
  return log;
}

// Heap in use, the blocks malloc maps on their own (large arrays) included.
size_t HeapInUse() {
  const struct mallinfo2 info = ::mallinfo2();
  return info.uordblks + info.hblkhd;
}

// Heap per entry of a kMemoryEntries log: loaded from a file, and built by
// Add from an empty file.
struct Footprint {
  double loaded;
  double added;
};

Footprint MeasureFootprint() {
  Footprint result{};
  const std::string loadedPath = WriteLogFile("footprint-loaded.log", kMemoryEntries);
  {
    const size_t before = HeapInUse();
    DuplicateLog log(loadedPath);
    log.SetClock([] { return kNow; });
    if (!log.Load() || log.Entries().size() != static_cast<size_t>(kMemoryEntries)) {
      std::fprintf(stderr, "cannot load %s\n", loadedPath.c_str());
      std::exit(2);
    }
    result.loaded = static_cast<double>(HeapInUse() - before) / kMemoryEntries;
  }
  {
    const size_t before = HeapInUse();
    DuplicateLog log(Directory() + "/footprint-added.log");
    log.SetClock([] { return kNow; });
    for (int n = 0; n < kMemoryEntries; ++n) log.Add(Invoice(Id(n), n));
    result.added = static_cast<double>(HeapInUse() - before) / kMemoryEntries;
  }
  return result;
}


void BM_AddAppending(benchmark::State& state) {
  static const auto log = LoadedLog("append.log");
  static int next = kEntries;
  for (auto _ : state) {
    log->Add(Invoice(Id(next), next));
    ++next;
  }
  if (Rewritten(log->Path())) state.SkipWithError("Add rewrote the file");
}

void BM_AddRandomOrder(benchmark::State& state) {
  static const auto log = LoadedLog("random.log");
  static std::mt19937 random(7);
  static int next = kEntries;
  for (auto _ : state) {
    // Half the IDs are already in the log, the others fall between them.
    const int n = static_cast<int>(random() % (2 * kEntries));
    log->Add(Invoice(n < kEntries ? Id(n) : Id(n - kEntries) + "b", next++));
  }
  if (Rewritten(log->Path())) state.SkipWithError("Add rewrote the file");
}

void BM_AddRewriting(benchmark::State& state) {
  static int64_t clock = kNow;
  static const auto log = [] {
    auto loaded = LoadedLog("rewrite.log");
    loaded->SetClock([] { return clock; });
    return loaded;
  }();
  static int next = kEntries;
  // From here on each step of the clock takes the oldest entry past 30 days,
  // so every Add must write the file whole.
  static const int64_t expiring = kNow - (kEntries - 1) * kSpacing + 2592000;
  for (auto _ : state) {
    clock = expiring + (next - kEntries) * kSpacing;
    log->Add(Invoice(Id(next), next));
    ++next;
  }
  // Only a rewrite drops the first entry from the file.
  std::ifstream in(log->Path(), std::ios::binary);
  std::string header, first;
  std::getline(in, header);
  std::getline(in, first);
  if (first.starts_with(Id(0) + "|")) state.SkipWithError("Add appended");
}

const std::vector<std::shared_ptr<SimpleInvoice>>& Queries(bool known) {
  static const auto make = [](bool hit) {
    std::mt19937 random(hit ? 11 : 12);
    std::vector<std::shared_ptr<SimpleInvoice>> queries;
    for (int i = 0; i < 4096; ++i) {
      const int n = static_cast<int>(random() % kEntries);
      // A miss shares the ID and differs in the amount, the costlier miss.
      auto invoice = Invoice(Id(n), n);
      if (!hit) invoice->SetAmount(invoice->GetAmount() + "1");
      queries.push_back(std::move(invoice));
    }
    return queries;
  };
  static const auto hits = make(true);
  static const auto misses = make(false);
  return known ? hits : misses;
}

void Lookups(benchmark::State& state, bool known) {
  static const auto log = LoadedLog("lookup.log");
  const auto& queries = Queries(known);
  size_t i = 0;
  for (auto _ : state) {
    const bool duplicate = log->IsDuplicate(queries[i++ & 4095]);
    benchmark::DoNotOptimize(duplicate);
    if (duplicate != known) state.SkipWithError("wrong answer");
  }
}

void BM_IsDuplicateHit(benchmark::State& state) { Lookups(state, true); }
void BM_IsDuplicateMiss(benchmark::State& state) { Lookups(state, false); }

// What Add's append does with the file, without the log around it.
void AppendLine(benchmark::State& state, const char* name, bool sync) {
  const std::string path = Directory() + "/" + name;
  const std::string line = "R00100000|125.40|1750000000|Z123456|7601000123456|1709900000|0\r\n";
  for (auto _ : state) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    struct stat info {};
    bool ok = fd >= 0 && ::fstat(fd, &info) == 0;
    ok = ok && ::write(fd, line.data(), line.size()) == static_cast<ssize_t>(line.size());
    if (sync) ok = ok && ::fdatasync(fd) == 0;
    ok = ok && ::fstat(fd, &info) == 0;
    if (fd >= 0) ::close(fd);
    if (!ok) state.SkipWithError("append failed");
  }
}

void BM_AppendLineFloor(benchmark::State& state) { AppendLine(state, "floor.log", false); }
void BM_AppendLineFdatasyncFloor(benchmark::State& state) { AppendLine(state, "floor-sync.log", true); }

BENCHMARK(BM_AddAppending)->Unit(benchmark::kMicrosecond)->UseRealTime();
BENCHMARK(BM_AddRandomOrder)->Unit(benchmark::kMicrosecond)->UseRealTime();
BENCHMARK(BM_AddRewriting)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_IsDuplicateHit)->Unit(benchmark::kNanosecond);
BENCHMARK(BM_IsDuplicateMiss)->Unit(benchmark::kNanosecond);
BENCHMARK(BM_AppendLineFloor)->Unit(benchmark::kMicrosecond)->UseRealTime();
BENCHMARK(BM_AppendLineFdatasyncFloor)->Unit(benchmark::kMicrosecond)->UseRealTime();

// Keeps the mean real and processor time of each benchmark, in microseconds,
// for the summary.
class SummaryReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& run : runs) {
      if (run.run_type == Run::RT_Iteration && !run.error_occurred) {
        const double perUnit = 1e6 / benchmark::GetTimeUnitMultiplier(run.time_unit);
        times_[run.run_name.function_name] = run.GetAdjustedRealTime() * perUnit;
        cpu_[run.run_name.function_name] = run.GetAdjustedCPUTime() * perUnit;
      }
    }
    ConsoleReporter::ReportRuns(runs);
  }
  // Negative when the benchmark did not run.
  double Micros(const char* name) const { return Find(times_, name); }
  double CpuMicros(const char* name) const { return Find(cpu_, name); }

 private:
  static double Find(const std::map<std::string, double>& map, const char* name) {
    const auto found = map.find(name);
    return found == map.end() ? -1 : found->second;
  }

  std::map<std::string, double> times_;
  std::map<std::string, double> cpu_;
};

}  // namespace
}  // namespace belmor::korvex

int main(int argc, char** argv) {
  using namespace belmor::korvex;
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  const Footprint footprint = MeasureFootprint();
  SummaryReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  std::filesystem::remove_all(Directory());

  bool met = true;
  std::printf("bytes per entry: %.1f loaded, %.1f added (target: at most %.0f)\n", footprint.loaded, footprint.added,
              kBytesPerEntryTarget);
  met = footprint.loaded <= kBytesPerEntryTarget && footprint.added <= kBytesPerEntryTarget;
  const double append = reporter.Micros(kAppend);
  const double rewrite = reporter.Micros(kRewrite);
  const double floorSync = reporter.Micros(kFloorSync);
  for (const auto& [label, name] : {std::pair{"appending", kAppend}, std::pair{"random ID order", kRandom}}) {
    const double real = reporter.Micros(name);
    const double cpu = reporter.CpuMicros(name);
    if (real < 0) continue;
    std::printf("Add, %s: %.1f us, %.1f us of it processor time (target: under %.0f us)", label, real, cpu,
                kAddCpuTargetUs);
    if (floorSync > 0) std::printf("; %.2fx the fdatasync floor", real / floorSync);
    std::printf("\n");
    met = met && cpu < kAddCpuTargetUs;
  }
  if (append > 0 && rewrite >= 0) {
    std::printf("Add, full rewrite: %.1f us = %.0fx the appending Add\n", rewrite, rewrite / append);
  }
  for (const char* name : {kHit, kMiss}) {
    const double lookup = reporter.Micros(name);
    if (lookup < 0) continue;
    std::printf("%s: %.3f us (target: under %.0f us)\n", name, lookup, kLookupTargetUs);
    met = met && lookup < kLookupTargetUs;
  }
  const double floor = reporter.Micros(kFloor);
  if (floor >= 0 && floorSync >= 0) {
    std::printf("append floor: %.1f us, with fdatasync: %.1f us (the sync costs %.1f us)\n", floor, floorSync,
                floorSync - floor);
  }
  return met ? 0 : 1;
}
