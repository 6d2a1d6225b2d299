#include "pipeline/step_semaphore.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <stdexcept>
#include <string>

#include "common/exception.h"
#include "config/package_fixture.h"
#include "platform/scoped_env.h"
#include "support/temp_dir.h"

namespace belmor::korvex {
namespace {

using belmor::testing::ScopedEnv;
using belmor::testing::TempDir;

constexpr char kName[] = "kxStSem";

// Two semaphores of one name stand for two engines or two server processes.
TEST(StepSemaphoreTest, AcquireGrantsOneLeaseAndIsGreenAnswersTheRealState) {
  StepSemaphore first(kName);
  StepSemaphore second(kName);
  EXPECT_TRUE(first.IsGreen());
  EXPECT_TRUE(first.IsGreen());  // asking takes nothing
  StepSemaphore::Lease lease;
  {
    fixture::LogCapture log;
    lease = first.Acquire();
    EXPECT_TRUE(lease);
    EXPECT_TRUE(log.Has("StepSemaphore::Acquire: 1"));
  }
  {
    fixture::LogCapture log;
    EXPECT_FALSE(second.Acquire());
    // The run holding it is refused a second run too.
    EXPECT_FALSE(first.Acquire());
    EXPECT_TRUE(log.Has("StepSemaphore::Acquire: 0"));
    EXPECT_FALSE(log.Has("StepSemaphore::Acquire: 1"));
  }
  EXPECT_FALSE(first.IsGreen());
  EXPECT_FALSE(second.IsGreen());

  lease = StepSemaphore::Lease();
  EXPECT_TRUE(second.IsGreen());
  EXPECT_TRUE(second.Acquire());
}

TEST(StepSemaphoreTest, LeaseIsGivenBackWhenTheWorkerEndsByAnException) {
  StepSemaphore semaphore(kName);
  try {
    const StepSemaphore::Lease lease = semaphore.Acquire();
    ASSERT_TRUE(lease);
    EXPECT_FALSE(semaphore.IsGreen());
    throw std::runtime_error("step failed");
  } catch (const std::runtime_error&) {
  }
  EXPECT_TRUE(semaphore.IsGreen());
}

TEST(StepSemaphoreTest, RunOfAnotherProcessKeepsItRedUntilThatProcessDies) {
  int fds[2];
  ASSERT_EQ(::pipe2(fds, O_CLOEXEC), 0);
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    StepSemaphore held(kName);
    const StepSemaphore::Lease lease = held.Acquire();
    const char got = lease ? '1' : '0';
    if (::write(fds[1], &got, 1) != 1) ::_exit(2);
    for (;;) ::pause();
  }
  ::close(fds[1]);
  char got = 0;
  const bool reported = ::read(fds[0], &got, 1) == 1;
  ::close(fds[0]);

  StepSemaphore mine(kName);
  const bool greenWhileHeld = mine.IsGreen();
  const bool acquiredWhileHeld = static_cast<bool>(mine.Acquire());
  ::kill(child, SIGKILL);
  ::waitpid(child, nullptr, 0);

  ASSERT_TRUE(reported);
  ASSERT_EQ(got, '1');
  EXPECT_FALSE(greenWhileHeld);
  EXPECT_FALSE(acquiredWhileHeld);
  EXPECT_TRUE(mine.IsGreen());
  EXPECT_TRUE(mine.Acquire());
}

TEST(StepSemaphoreTest, UnusableLockFileFailsTheRunWithItsReason) {
  TempDir dir;
  // A runtime folder that does not exist: the lock file cannot be opened.
  ScopedEnv runtime("XDG_RUNTIME_DIR", dir.Sub("missing"));
  StepSemaphore semaphore(kName);
  fixture::LogCapture log;
  // Not an empty lease, which callers take for another run being active.
  EXPECT_THROW(semaphore.Acquire(), common::RuntimeException);
  EXPECT_TRUE(log.Has("StepSemaphore::Acquire: Runtime exception: cannot open the step lock's folder: " +
                      dir.Sub("missing")));
  // Nobody can run, so it is not green either.
  EXPECT_FALSE(semaphore.IsGreen());
}

}  // namespace
}  // namespace belmor::korvex
