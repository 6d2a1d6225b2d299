#ifndef KORVEX_PLATFORM_STEP_LOCK_H_
#define KORVEX_PLATFORM_STEP_LOCK_H_

#include <mutex>
#include <string>

namespace belmor::platform {

// The lock file of the step lock with the given name: $XDG_RUNTIME_DIR/<name>,
// else /tmp/<name>-<uid>.
std::string StepLockFile(const std::string& name);

// A system-wide lock that at most one holder has at a time, known to every
// process of the user by its name ("kxStSem" for the engine's runs). It is an
// advisory flock on StepLockFile(name); the system frees it when the holding
// process dies, so a crashed run never blocks the next one.
//
// Each StepLock object is a holder of its own, like a handle to a named
// semaphore: two objects of one name conflict even inside one process. One
// object may be shared by threads; any thread may release what another
// acquired. Destroying a holding object releases the lock. Programs started
// while the lock is held do not inherit it.
class StepLock {
 public:
  explicit StepLock(std::string name);
  ~StepLock();
  StepLock(const StepLock&) = delete;
  StepLock& operator=(const StepLock&) = delete;

  // Takes the lock without waiting; false when any holder, this object
  // included, has it. Throws common::RuntimeException when the lock file
  // cannot be opened or is not the user's own.
  bool TryAcquire();

  // Gives the lock back; nothing happens when this object does not hold it.
  void Release();

  // Whether any holder in any process, this object included, has the lock
  // now. Asking briefly takes a shared lock, so a TryAcquire of another
  // process at the same instant may fail. Throws like TryAcquire.
  bool IsHeld();

  const std::string& name() const { return name_; }
  // StepLockFile(name) as it was when the object was made.
  const std::string& file() const { return file_; }

 private:
  const std::string name_;
  const std::string file_;
  std::mutex mutex_;
  int fd_ = -1;  // open and locked exactly while this object holds the lock
};

}  // namespace belmor::platform

#endif  // KORVEX_PLATFORM_STEP_LOCK_H_
