#include "engine/processing.h"

#include <mutex>

#include "engine/korvex.h"
#include "logging/log.h"
#include "pipeline/step_semaphore.h"
#include "transport/curl_transfer.h"
#include "transport/security_client.h"

namespace belmor::korvex {

namespace {

struct Entry {
  Processing processing;
  const char* name;
};

constexpr Entry kNames[] = {
    {Processing::Auto, "Auto"},           {Processing::AutoOne, "AutoOne"}, {Processing::Read, "Read"},
    {Processing::Check, "Check"},         {Processing::Anonymize, "Anonymize"}, {Processing::Send, "Send"},
    {Processing::Write, "Write"},
};

struct SingleFileMode {
  std::mutex mutex;
  bool on = false;
  std::string name;
};
SingleFileMode& Mode() {
  static SingleFileMode mode;
  return mode;
}

}  // namespace

std::atomic<bool>& RunState::CancelFlag() {
  static std::atomic<bool> flag{false};
  return flag;
}

std::atomic<bool>& RunState::AutoRunFlag() {
  static std::atomic<bool> flag{false};
  return flag;
}

std::atomic<bool>& RunState::InteractiveFlag() {
  static std::atomic<bool> flag{false};
  return flag;
}

void RunState::SetSingleFileMode(bool on, const std::string& fileName) {
  {
    std::lock_guard<std::mutex> lock(Mode().mutex);
    Mode().on = on;
    Mode().name = fileName;
  }
  AutoRunFlag() = on;
}

bool RunState::IsSingleFileMode() {
  std::lock_guard<std::mutex> lock(Mode().mutex);
  return Mode().on;
}

std::string RunState::SingleFileName() {
  std::lock_guard<std::mutex> lock(Mode().mutex);
  return Mode().name;
}

const char* ProcessingName(Processing processing) {
  for (const Entry& entry : kNames) {
    if (entry.processing == processing) return entry.name;
  }
  return "";
}

std::optional<Processing> ProcessingFromName(const std::string& name) {
  for (const Entry& entry : kNames) {
    if (name == entry.name) return entry.processing;
  }
  return std::nullopt;
}

RunLease BeginProcessing(Korvex& engine, Processing processing, const std::string& fileName, bool interactive) {
  const std::shared_ptr<StepSemaphore>& semaphore = engine.GetStepSemaphore();
  // Without the lock nothing would keep a second run from starting beside this one.
  if (!semaphore) {
    KX_LOG(ERROR) << "[BeginProcessing][" << ProcessingName(processing) << "][no step lock]";
    return {};
  }
  StepSemaphore::Lease lock = semaphore->Acquire();
  if (!lock) return {};

  // Only now: a refused call must not clear the cancel of the run that is active.
  RunState::CancelFlag() = false;
  RunState::InteractiveFlag() = interactive;
  ResumeTransfers();
  switch (processing) {
    case Processing::Auto:
      RunState::SetSingleFileMode(false, "");
      RunState::AutoRunFlag() = true;
      break;
    case Processing::AutoOne:
      RunState::SetSingleFileMode(true, fileName);
      break;
    default:
      RunState::SetSingleFileMode(false, "");
      break;
  }
  // A login that failed in an earlier run may be tried again in this one.
  if (const std::shared_ptr<SecurityClient>& security = engine.GetSecurityClient()) security->BeginRun();
  return RunLease(std::move(lock));
}

void RunProcessing(const std::shared_ptr<Korvex>& engine, Processing processing, RunLease lease) {
  if (!lease) {
    KX_LOG(ERROR) << "[RunProcessing][" << ProcessingName(processing) << "][not started: no run lease]";
    return;
  }
  // Held here, not by the caller, so the lock is free once this call returns.
  const RunLease held = std::move(lease);
  switch (processing) {
    case Processing::Auto:
    case Processing::AutoOne:
      engine->RunReadStep();
      engine->RunValidationStep();
      engine->RunTransformStep();
      engine->RunSendStep();
      break;
    case Processing::Read:
      engine->RunReadStep();
      break;
    case Processing::Check:
      engine->RunValidationStep();
      break;
    case Processing::Anonymize:
      engine->RunTransformStep();
      break;
    case Processing::Send:
      engine->RunSendStep();
      break;
    case Processing::Write:
      engine->RunWriteStep();
      break;
  }
  // The run's kept connections end with it, before its lease: the next run,
  // perhaps hours away, opens its own.
  ConnectionPool::CloseIdle();
}

}  // namespace belmor::korvex
