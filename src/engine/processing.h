#ifndef KORVEX_ENGINE_PROCESSING_H_
#define KORVEX_ENGINE_PROCESSING_H_

#include <atomic>
#include <memory>
#include <optional>
#include <string>

#include "pipeline/step_semaphore.h"

namespace belmor::korvex {

class Korvex;

// The processing calls a client can make, each a fixed sequence of steps.
enum class Processing { Auto, AutoOne, Read, Check, Anonymize, Send, Write };

// "Auto", "AutoOne", "Read", "Check", "Anonymize", "Send", "Write".
const char* ProcessingName(Processing processing);
std::optional<Processing> ProcessingFromName(const std::string& name);

// The process-wide state of the processing calls, shared by every worker
// thread: set by BeginProcessing when it grants a run, never by a refused
// call, and read by the steps between files (through the engine).
class RunState {
 public:
  // Set by Cancel, cleared when a run is granted.
  static std::atomic<bool>& CancelFlag();
  // Set for Auto and AutoOne runs, cleared for the others.
  static std::atomic<bool>& AutoRunFlag();
  // Set for a run whose client has someone at the screen to answer a
  // question (the monitor), cleared for every other: a scheduled run must
  // never wait for a person who is not there.
  static std::atomic<bool>& InteractiveFlag();
  // On with a name: steps work on that one file. Also sets the auto-run flag
  // to the mode flag.
  static void SetSingleFileMode(bool on, const std::string& fileName);
  static bool IsSingleFileMode();
  static std::string SingleFileName();
};

class RunLease;

// The start of a processing call, on the caller's thread: takes the step
// lock without waiting. Refused (an empty lease: a run is active, or the
// engine has no step lock) it changes nothing: not the cancel flag, not the
// auto-run flag, not single-file mode. Granted, it clears the cancel flag,
// sets the run mode (single-file mode with fileName for AutoOne; the auto-run
// flag for Auto and AutoOne; the interactive flag to interactive) and starts
// a new run of the security client.
// Throws common::RuntimeException, changing nothing, when the step lock
// cannot be used.
RunLease BeginProcessing(Korvex& engine, Processing processing, const std::string& fileName = "",
                         bool interactive = false);

// The ownership of one run: the step lock, held from BeginProcessing until
// the lease ends. Move-only; hand it to RunProcessing, which ends it after
// the run's last step. Nothing else releases the lock, so no step, cancel or
// report sink can free it for a second run while this one still works.
class RunLease {
 public:
  RunLease() = default;
  RunLease(RunLease&&) noexcept = default;
  RunLease& operator=(RunLease&&) noexcept = default;

  // False when BeginProcessing refused the call.
  explicit operator bool() const { return static_cast<bool>(lock_); }

 private:
  friend RunLease BeginProcessing(Korvex& engine, Processing processing, const std::string& fileName,
                                  bool interactive);
  explicit RunLease(StepSemaphore::Lease lock) : lock_(std::move(lock)) {}

  StepSemaphore::Lease lock_;
};

// The worker's part: the steps of the call in order, each to its end with its
// clean-up (the send step's response download and session close), then the
// lease ends and the step lock is free. Every step failure is reported by the
// engine and never leaves this call. An empty lease runs nothing.
void RunProcessing(const std::shared_ptr<Korvex>& engine, Processing processing, RunLease lease);

}  // namespace belmor::korvex

#endif  // KORVEX_ENGINE_PROCESSING_H_
