#include "pipeline/step_semaphore.h"

#include "common/exception.h"
#include "logging/log.h"

namespace belmor::korvex {

StepSemaphore::StepSemaphore(const std::string& name) : lock_(name) {
  KX_LOG(DEBUG) << "StepSemaphore::StepSemaphore: semaphore " << name << " created";
}

StepSemaphore::~StepSemaphore() = default;

StepSemaphore::Lease StepSemaphore::Acquire() {
  Lease lease;
  try {
    lease = lock_.TryAcquire();
  } catch (const common::Exception& e) {
    KX_LOG(ERROR) << "StepSemaphore::Acquire: " << e.Text();
    throw;
  }
  KX_LOG(DEBUG) << "StepSemaphore::Acquire: " << (lease ? 1 : 0);
  return lease;
}

bool StepSemaphore::IsGreen() const {
  bool green = false;
  try {
    green = !lock_.IsHeld();
  } catch (const common::Exception& e) {
    KX_LOG(ERROR) << "StepSemaphore::IsGreen: " << e.Text();
  }
  KX_LOG(DEBUG) << "StepSemaphore::IsGreen: " << (green ? 1 : 0);
  return green;
}

}  // namespace belmor::korvex
