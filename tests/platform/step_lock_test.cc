#include "platform/step_lock.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "common/exception.h"
#include "scoped_env.h"
#include "support/temp_dir.h"

namespace belmor::platform {
namespace {

using belmor::testing::ScopedEnv;
using belmor::testing::TempDir;
using belmor::testing::WriteFile;

constexpr char kName[] = "kxStSem";

TEST(StepLockFileTest, RuntimeFolderElsePerUserFileInTmp) {
  const std::string tmp_file = "/tmp/kxStSem-" + std::to_string(::geteuid());
  struct Case {
    std::optional<std::string> runtime_dir;
    std::string expected;
  };
  const Case cases[] = {
      {"/run/user/1000", "/run/user/1000/kxStSem"},
      {"/run/user/1000/", "/run/user/1000/kxStSem"},
      {std::nullopt, tmp_file},
      {"", tmp_file},
      {"relative", tmp_file},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.runtime_dir.value_or("<unset>"));
    ScopedEnv runtime("XDG_RUNTIME_DIR", c.runtime_dir);
    EXPECT_EQ(StepLockFile(kName), c.expected);
    EXPECT_EQ(StepLock(kName).file(), c.expected);
  }
}

TEST(StepLockTest, OnlyOneHolderAtATimeWithinTheProcess) {
  StepLock first(kName);
  StepLock second(kName);
  EXPECT_FALSE(first.IsHeld());
  EXPECT_FALSE(second.IsHeld());  // asking must not take it

  ASSERT_TRUE(first.TryAcquire());
  EXPECT_FALSE(first.TryAcquire());
  EXPECT_FALSE(second.TryAcquire());
  EXPECT_TRUE(first.IsHeld());
  EXPECT_TRUE(second.IsHeld());

  second.Release();  // not the holder: changes nothing
  EXPECT_FALSE(second.TryAcquire());

  first.Release();
  EXPECT_FALSE(first.IsHeld());
  ASSERT_TRUE(second.TryAcquire());
  EXPECT_FALSE(first.TryAcquire());
}

TEST(StepLockTest, DestroyingTheHolderReleases) {
  StepLock other(kName);
  {
    StepLock holder(kName);
    ASSERT_TRUE(holder.TryAcquire());
    EXPECT_TRUE(other.IsHeld());
  }
  EXPECT_TRUE(other.TryAcquire());
}

TEST(StepLockTest, ThreadsSharingOneLockGetOneWinnerAndAnyThreadMayRelease) {
  StepLock lock(kName);
  std::atomic<bool> go{false};
  std::atomic<int> winners{0};
  std::vector<std::thread> threads;
  for (int i = 0; i < 8; ++i) {
    threads.emplace_back([&] {
      while (!go) std::this_thread::yield();
      for (int round = 0; round < 50; ++round) {
        if (lock.TryAcquire()) ++winners;
      }
    });
  }
  go = true;
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(winners, 1);

  lock.Release();
  StepLock other(kName);
  EXPECT_TRUE(other.TryAcquire());
}

// A child process that stays until killed; the destructor kills and reaps it
// so a failing test leaves nothing behind.
class Child {
 public:
  explicit Child(pid_t pid) : pid_(pid) {}
  ~Child() { Kill(); }
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;

  bool Running() const { return pid_ > 0 && ::waitpid(pid_, nullptr, WNOHANG) == 0; }
  void Kill() {
    if (pid_ <= 0) return;
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
    pid_ = -1;
  }

 private:
  pid_t pid_;
};

// Forks a child that takes the lock and tells the parent through the pipe
// whether it got it; then it either waits for its death or becomes another
// program, keeping every descriptor that is not close-on-exec.
pid_t ForkHolder(int report_fd, bool exec_sleep) {
  pid_t pid = ::fork();
  if (pid != 0) return pid;
  try {
    StepLock lock(kName);
    char got = lock.TryAcquire() ? '1' : '0';
    if (::write(report_fd, &got, 1) != 1) ::_exit(2);
    if (exec_sleep) {
      ::execlp("sleep", "sleep", "30", static_cast<char*>(nullptr));
      ::_exit(127);
    }
    for (;;) ::pause();
  } catch (...) {
    ::_exit(3);
  }
}

TEST(StepLockTest, LockOfAKilledHolderIsFreeAgain) {
  int fds[2];
  ASSERT_EQ(::pipe2(fds, O_CLOEXEC), 0);
  Child child(ForkHolder(fds[1], false));
  ::close(fds[1]);
  char got = 0;
  ASSERT_EQ(::read(fds[0], &got, 1), 1);
  ::close(fds[0]);
  ASSERT_EQ(got, '1');

  StepLock mine(kName);
  EXPECT_TRUE(mine.IsHeld());
  EXPECT_FALSE(mine.TryAcquire());

  child.Kill();
  EXPECT_FALSE(mine.IsHeld());
  EXPECT_TRUE(mine.TryAcquire());
}

TEST(StepLockTest, ProgramStartedByTheHolderDoesNotInheritIt) {
  int fds[2];
  ASSERT_EQ(::pipe2(fds, O_CLOEXEC), 0);
  Child child(ForkHolder(fds[1], true));
  ::close(fds[1]);
  char got = 0;
  ASSERT_EQ(::read(fds[0], &got, 1), 1);
  ASSERT_EQ(got, '1');
  // The report pipe is close-on-exec too: its end means the exec has happened.
  ASSERT_EQ(::read(fds[0], &got, 1), 0);
  ::close(fds[0]);
  ASSERT_TRUE(child.Running());

  StepLock mine(kName);
  EXPECT_FALSE(mine.IsHeld());
  EXPECT_TRUE(mine.TryAcquire());
}

TEST(StepLockTest, UnusableLockFileIsAnError) {
  TempDir dir;
  WriteFile(dir.Sub("target"), "");
  struct Case {
    std::string what;
    std::string runtime_dir;
    std::function<void(const std::string& file)> prepare;
  };
  const Case cases[] = {
      {"missing runtime folder", dir.Sub("missing"), [](const std::string&) {}},
      // Someone else's link must not redirect the lock to a file of their choice.
      {"symbolic link", dir.Sub("link"),
       [&](const std::string& file) { std::filesystem::create_symlink(dir.Sub("target"), file); }},
      {"directory", dir.Sub("directory"), [](const std::string& file) { std::filesystem::create_directory(file); }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    if (c.runtime_dir != dir.Sub("missing")) std::filesystem::create_directory(c.runtime_dir);
    ScopedEnv runtime("XDG_RUNTIME_DIR", c.runtime_dir);
    StepLock lock(kName);
    c.prepare(lock.file());
    EXPECT_THROW(lock.TryAcquire(), common::RuntimeException);
    EXPECT_THROW(lock.IsHeld(), common::RuntimeException);
    lock.Release();
  }
}

}  // namespace
}  // namespace belmor::platform
