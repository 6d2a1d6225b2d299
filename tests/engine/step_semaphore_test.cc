#include "pipeline/step_semaphore.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <memory>
#include <stdexcept>
#include <string>

#include "config/package_fixture.h"
#include "platform/scoped_env.h"
#include "support/temp_dir.h"

namespace belmor::korvex {
namespace {

using belmor::testing::ScopedEnv;
using belmor::testing::TempDir;

constexpr char kName[] = "kxStSem";

// Two semaphores of one name stand for two engines or two server processes.
TEST(StepSemaphoreTest, IsGreenAnswersWhetherThisCallTookTheLock) {
  StepSemaphore first(kName);
  StepSemaphore second(kName);
  {
    fixture::LogCapture log;
    EXPECT_TRUE(first.IsGreen());
    EXPECT_TRUE(log.Has("StepSemaphore::IsGreen: 1"));
  }
  {
    fixture::LogCapture log;
    EXPECT_FALSE(second.IsGreen());
    // The run holding it is refused a second run too.
    EXPECT_FALSE(first.IsGreen());
    EXPECT_TRUE(log.Has("StepSemaphore::IsGreen: 0"));
    EXPECT_FALSE(log.Has("StepSemaphore::IsGreen: 1"));
  }

  second.SetGreen();  // not the holder: harmless, the lock stays taken
  EXPECT_FALSE(second.IsGreen());

  first.SetGreen();
  first.SetGreen();  // releasing twice is harmless
  EXPECT_TRUE(second.IsGreen());
  EXPECT_FALSE(first.IsGreen());
  second.SetGreen();
}

TEST(StepSemaphoreTest, ReleaseAtEndGivesTheLockBackWhenTheWorkerEndsByAnException) {
  auto semaphore = std::make_shared<StepSemaphore>(kName);
  StepSemaphore other(kName);
  ASSERT_TRUE(semaphore->IsGreen());
  try {
    StepSemaphore::ReleaseAtEnd release(semaphore);
    EXPECT_FALSE(other.IsGreen());
    throw std::runtime_error("step failed");
  } catch (const std::runtime_error&) {
  }
  EXPECT_TRUE(other.IsGreen());
  other.SetGreen();

  // Without a semaphore there is nothing to release.
  StepSemaphore::ReleaseAtEnd none(nullptr);
}

TEST(StepSemaphoreTest, RunOfAnotherProcessKeepsItRedUntilThatProcessDies) {
  int fds[2];
  ASSERT_EQ(::pipe2(fds, O_CLOEXEC), 0);
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    StepSemaphore held(kName);
    const char got = held.IsGreen() ? '1' : '0';
    if (::write(fds[1], &got, 1) != 1) ::_exit(2);
    for (;;) ::pause();
  }
  ::close(fds[1]);
  char got = 0;
  const bool reported = ::read(fds[0], &got, 1) == 1;
  ::close(fds[0]);

  StepSemaphore mine(kName);
  const bool greenWhileHeld = mine.IsGreen();
  ::kill(child, SIGKILL);
  ::waitpid(child, nullptr, 0);

  ASSERT_TRUE(reported);
  ASSERT_EQ(got, '1');
  EXPECT_FALSE(greenWhileHeld);
  EXPECT_TRUE(mine.IsGreen());
  mine.SetGreen();
}

TEST(StepSemaphoreTest, UnusableLockFileRefusesTheRun) {
  TempDir dir;
  // A runtime folder that does not exist: the lock file cannot be opened.
  ScopedEnv runtime("XDG_RUNTIME_DIR", dir.Sub("missing"));
  StepSemaphore semaphore(kName);
  fixture::LogCapture log;
  EXPECT_FALSE(semaphore.IsGreen());
  EXPECT_TRUE(log.Has("StepSemaphore::IsGreen: 0"));
  semaphore.SetGreen();
}

}  // namespace
}  // namespace belmor::korvex
