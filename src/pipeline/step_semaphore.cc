#include "pipeline/step_semaphore.h"

#include "common/exception.h"
#include "logging/log.h"

namespace belmor::korvex {

StepSemaphore::StepSemaphore(const std::string& name) : lock_(name) {
  KX_LOG(DEBUG) << "StepSemaphore::StepSemaphore: semaphore " << name << " created";
}

StepSemaphore::~StepSemaphore() = default;

bool StepSemaphore::IsGreen() {
  bool taken = false;
  try {
    taken = lock_.TryAcquire();
  } catch (const common::Exception& e) {
    KX_LOG(ERROR) << "StepSemaphore::IsGreen: " << e.Text();
  }
  KX_LOG(DEBUG) << "StepSemaphore::IsGreen: " << (taken ? 1 : 0);
  return taken;
}

void StepSemaphore::SetGreen() {
  KX_LOG(DEBUG) << "StepSemaphore::SetGreen: ";
  lock_.Release();
}

}  // namespace belmor::korvex
