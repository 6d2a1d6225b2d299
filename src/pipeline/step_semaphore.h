#ifndef KORVEX_PIPELINE_STEP_SEMAPHORE_H_
#define KORVEX_PIPELINE_STEP_SEMAPHORE_H_

#include <string>

#include "platform/step_lock.h"

namespace belmor::korvex {

// The system-wide lock that serialises processing runs ("kxStSem" for the
// engine): two runs over one work area would send the same invoice twice.
// A processing call takes it with Acquire and is refused when that answers
// an empty lease; the run owns the lease until its last step has ended, and
// only the lease's end gives the lock back. Two objects (two engines, two
// processes) of one name exclude each other; the system frees the lock when
// its holding process dies. One object may be shared by threads.
class StepSemaphore {
 public:
  using Lease = platform::StepLock::Lease;

  explicit StepSemaphore(const std::string& name);
  virtual ~StepSemaphore();
  StepSemaphore(const StepSemaphore&) = delete;
  StepSemaphore& operator=(const StepSemaphore&) = delete;

  // Takes the lock without waiting; empty when a run holds it. Throws
  // common::RuntimeException with the reason when the lock file cannot be
  // used: no run can start then, and calling that "busy" would send the
  // practice waiting for a run that does not exist.
  Lease Acquire();

  // Whether no run holds the lock now, in this process or another; false
  // when the lock file cannot be used. Takes nothing.
  bool IsGreen() const;

  const std::string& Name() const { return lock_.name(); }

 private:
  platform::StepLock lock_;
};

}  // namespace belmor::korvex

#endif  // KORVEX_PIPELINE_STEP_SEMAPHORE_H_
