#include "common/mutex.h"

namespace belmor::common {

Mutex::Mutex() = default;
Mutex::~Mutex() = default;

void Mutex::Lock() { mutex_.lock(); }
void Mutex::Unlock() { mutex_.unlock(); }
bool Mutex::TryLock() { return mutex_.try_lock(); }

}  // namespace belmor::common
