#include "common/mutex.h"

#include <gtest/gtest.h>

#include <future>

namespace belmor::common {
namespace {

bool TryLockElsewhere(Mutex& mutex) {
  return std::async(std::launch::async, [&mutex] {
           const bool taken = mutex.TryLock();
           if (taken) mutex.Unlock();
           return taken;
         }).get();
}

TEST(MutexTest, RecursiveOnItsThreadExclusiveAcrossThreads) {
  Mutex mutex;
  mutex.Lock();
  mutex.Lock();
  EXPECT_TRUE(mutex.TryLock());
  EXPECT_FALSE(TryLockElsewhere(mutex));
  mutex.Unlock();
  mutex.Unlock();
  // Still held once.
  EXPECT_FALSE(TryLockElsewhere(mutex));
  mutex.Unlock();
  EXPECT_TRUE(TryLockElsewhere(mutex));
}

TEST(MutexTest, MutexLockHoldsForItsScope) {
  Mutex mutex;
  {
    MutexLock hold(&mutex);
    EXPECT_FALSE(TryLockElsewhere(mutex));
  }
  EXPECT_TRUE(TryLockElsewhere(mutex));
}

}  // namespace
}  // namespace belmor::common
