#ifndef KORVEX_PIPELINE_STEP_SEMAPHORE_H_
#define KORVEX_PIPELINE_STEP_SEMAPHORE_H_

#include <memory>
#include <string>

#include "platform/step_lock.h"

namespace belmor::korvex {

// The system-wide lock that serialises processing runs ("kxStSem" for the
// engine): two runs over one work area would send the same invoice twice.
// The automation object asks IsGreen before it starts a worker and refuses
// the call when the answer is false; the run gives the lock back with
// SetGreen. Each object is a holder of its own, so two engines (or two
// processes) with the same name exclude each other; the system frees the lock
// when its holding process dies. One object may be shared by threads.
class StepSemaphore {
 public:
  explicit StepSemaphore(const std::string& name);
  virtual ~StepSemaphore();
  StepSemaphore(const StepSemaphore&) = delete;
  StepSemaphore& operator=(const StepSemaphore&) = delete;

  // Takes the lock without waiting. True when this call took it; false when a
  // run holds it, this object's own included, or when the lock file cannot be
  // used (refusing a run is safe, running two at once is not).
  bool IsGreen();

  // Gives the lock back; harmless when this object does not hold it.
  void SetGreen();

  const std::string& Name() const { return lock_.name(); }

  // Gives the lock back when a worker's whole call ends, however it ends. A
  // worker takes one right after IsGreen answered true, so the lock is
  // released even when a run of several steps (Auto, whose steps keep the
  // lock while the auto-run flag is set) stops half-way.
  class ReleaseAtEnd {
   public:
    explicit ReleaseAtEnd(std::shared_ptr<StepSemaphore> semaphore) : semaphore_(std::move(semaphore)) {}
    ~ReleaseAtEnd() {
      if (semaphore_) semaphore_->SetGreen();
    }
    ReleaseAtEnd(const ReleaseAtEnd&) = delete;
    ReleaseAtEnd& operator=(const ReleaseAtEnd&) = delete;

   private:
    std::shared_ptr<StepSemaphore> semaphore_;
  };

 private:
  platform::StepLock lock_;
};

}  // namespace belmor::korvex

#endif  // KORVEX_PIPELINE_STEP_SEMAPHORE_H_
