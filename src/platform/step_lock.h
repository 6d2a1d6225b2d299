#ifndef KORVEX_PLATFORM_STEP_LOCK_H_
#define KORVEX_PLATFORM_STEP_LOCK_H_

#include <string>

namespace belmor::platform {

// The name of the step lock that serialises the engine's processing runs.
inline constexpr char kRunLockName[] = "kxStSem";

// The lock file of the step lock with the given name, in a folder only this
// user can use, the same for every process of the user:
// $XDG_RUNTIME_DIR/<name>; without it /run/user/<uid>/<name> when that folder
// is the user's own with mode 0700; else <application data>/run/<name>, whose
// folder this call makes (mode 0700) when it is missing. Never in a folder
// others can write to (such as /tmp), where anyone could plant the file and
// block every run. Empty when the environment names no such folder (no
// XDG_RUNTIME_DIR, no /run/user/<uid>, no HOME).
std::string StepLockFile(const std::string& name);
// The same with perUserRuntimeRoot in place of "/run/user".
std::string StepLockFile(const std::string& name, const std::string& perUserRuntimeRoot);

// A system-wide lock that at most one holder has at a time, known to every
// process of the user by its name ("kxStSem" for the engine's runs). It is an
// advisory flock on StepLockFile(name); the system frees it when the holding
// process dies, so a crashed run never blocks the next one.
//
// Holding the lock is a Lease: the lock is given back exactly when the lease
// that took it ends, and by nothing else. A run that owns its lease cannot
// have it freed by a step, a cancel or an earlier run's clean-up, so a second
// run can never start beside it. Two acquisitions conflict whether they come
// from one StepLock object, two objects or two processes; any thread may take
// or end a lease. Programs started while the lock is held do not inherit it.
class StepLock {
 public:
  // Move-only proof of holding the lock; empty (false) when it was refused.
  // The lock is released when a non-empty lease is destroyed or assigned over.
  class Lease {
   public:
    Lease() = default;
    ~Lease();
    Lease(Lease&& other) noexcept;
    Lease& operator=(Lease&& other) noexcept;
    Lease(const Lease&) = delete;
    Lease& operator=(const Lease&) = delete;

    explicit operator bool() const { return fd_ >= 0; }

   private:
    friend class StepLock;
    explicit Lease(int fd) : fd_(fd) {}
    void End();

    int fd_ = -1;  // open and locked exactly while the lease holds the lock
  };

  explicit StepLock(std::string name);
  ~StepLock();
  StepLock(const StepLock&) = delete;
  StepLock& operator=(const StepLock&) = delete;

  // Takes the lock without waiting; an empty lease when any holder has it.
  // Throws common::RuntimeException, its message naming the file and the
  // reason, when the lock file cannot be opened, is not the user's own, or
  // lies in a folder that is not private to the user (owner, mode 0700): a
  // lock that cannot be used is a failure to report, not a run of someone
  // else.
  Lease TryAcquire();

  // Whether any holder in any process has the lock now. Asking briefly takes
  // a shared lock, so a TryAcquire at the same instant may fail (refused,
  // never granted twice). Throws like TryAcquire.
  bool IsHeld() const;

  const std::string& name() const { return name_; }
  // StepLockFile(name) as it was when the object was made.
  const std::string& file() const { return file_; }

 private:
  const std::string name_;
  const std::string file_;
};

}  // namespace belmor::platform

#endif  // KORVEX_PLATFORM_STEP_LOCK_H_
