#ifndef KORVEX_COMMON_MUTEX_H_
#define KORVEX_COMMON_MUTEX_H_

#include <mutex>

namespace belmor::common {

// A lock that the thread holding it may take again; each Lock() needs its
// Unlock(). Classes whose whole state one lock guards derive from it. The
// operations are virtual so such a class can watch or extend them.
class Mutex {
 public:
  Mutex();
  virtual ~Mutex();
  Mutex(const Mutex&) = delete;
  Mutex& operator=(const Mutex&) = delete;

  virtual void Lock();
  virtual void Unlock();
  // Takes the lock only if no other thread holds it; true when taken.
  virtual bool TryLock();

 private:
  std::recursive_mutex mutex_;
};

// Holds a Mutex for the lifetime of a scope.
class MutexLock {
 public:
  explicit MutexLock(Mutex* mutex) : mutex_(mutex) { mutex_->Lock(); }
  ~MutexLock() { mutex_->Unlock(); }
  MutexLock(const MutexLock&) = delete;
  MutexLock& operator=(const MutexLock&) = delete;

 private:
  Mutex* const mutex_;
};

}  // namespace belmor::common

#endif  // KORVEX_COMMON_MUTEX_H_
