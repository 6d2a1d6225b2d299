// Any bytes as the duplicate log "korvex.log" in the work directory. Loading
// must end in a log or a rejection, never in a crash. What a log loads it
// must answer as duplicates, and write back so that a restart loads the
// same entries again (those younger than 30 days) together with a new one;
// a rejected file with content is kept byte for byte before a new log starts.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "fuzz_temp_dir.h"
#include "pipeline/duplicate_log.h"
#include "pipeline/simple_invoice.h"

namespace {

using belmor::fuzz::Broken;
using belmor::korvex::DupLogEntry;
using belmor::korvex::DuplicateLog;
using belmor::korvex::SimpleInvoice;

constexpr int64_t kNow = 1750000000;
constexpr int64_t kThirtyDays = 2592000;

std::shared_ptr<SimpleInvoice> Summary(const DupLogEntry& entry) {
  auto invoice = std::make_shared<SimpleInvoice>();
  invoice->SetID(std::string(entry.GetID()));
  invoice->SetAmount(std::string(entry.GetAmount()));
  invoice->SetZsr(std::string(entry.GetZsr()));
  invoice->SetEan(std::string(entry.GetEan()));
  invoice->SetTimestamp(std::string(entry.GetTimestamp()));
  invoice->SetStorno(entry.GetStorno());
  return invoice;
}

bool Same(const DupLogEntry& a, const DupLogEntry& b) {
  return a.GetID() == b.GetID() && a.GetAmount() == b.GetAmount() && a.GetZsr() == b.GetZsr() &&
         a.GetEan() == b.GetEan() && a.GetTimestamp() == b.GetTimestamp() && a.GetStorno() == b.GetStorno() &&
         a.GetTime() == b.GetTime();
}

std::string ReadAll(const std::string& path) {
  std::string text;
  if (FILE* file = std::fopen(path.c_str(), "rb")) {
    char buffer[4096];
    size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, file)) > 0) text.append(buffer, n);
    std::fclose(file);
  }
  return text;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string path = belmor::fuzz::PrivateDir() + "/korvex.log";
  belmor::fuzz::ClearPrivateDir();
  belmor::fuzz::WriteInput(path, data, size);

  DuplicateLog log(path);
  log.SetClock([] { return kNow; });
  if (!log.Load()) {
    if (!log.Entries().empty()) Broken("a rejected log holds entries");
    log.Reset();
    std::vector<std::string> kept;
    for (const auto& entry : std::filesystem::directory_iterator(belmor::fuzz::PrivateDir())) {
      if (entry.path() != path) kept.push_back(entry.path().string());
    }
    if (kept.size() != (size > 0 ? 1u : 0u)) Broken("a rejected file was not kept aside once");
    if (size > 0 && ReadAll(kept[0]) != std::string(reinterpret_cast<const char*>(data), size)) {
      Broken("the kept file differs from the rejected one");
    }
  }
  for (const DupLogEntry& entry : log.Entries()) {
    if (!log.IsDuplicate(Summary(entry))) Broken("a loaded entry is not a duplicate");
  }

  auto added = std::make_shared<SimpleInvoice>();
  added->SetID("R-4711|%");
  added->SetAmount("");
  if (!log.Add(added)) Broken("Add failed");
  std::vector<const DupLogEntry*> expected;
  for (const DupLogEntry& entry : log.Entries()) {
    if (entry.GetTime() > kNow - kThirtyDays) expected.push_back(&entry);
  }

  DuplicateLog restarted(path);
  restarted.SetClock([] { return kNow; });
  if (!restarted.Load()) Broken("the written log is rejected");
  if (restarted.Entries().size() != expected.size()) Broken("a restart loads other entries");
  for (size_t i = 0; i < expected.size(); ++i) {
    if (!Same(restarted.Entries()[i], *expected[i])) Broken("a restart loads other entries");
  }
  return 0;
}
