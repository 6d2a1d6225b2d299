#include "platform/step_lock.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <functional>
#include <mutex>
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

TEST(StepLockTest, OnlyOneLeaseAtATimeAndOnlyItsEndReleases) {
  StepLock first(kName);
  StepLock second(kName);
  EXPECT_FALSE(first.IsHeld());
  EXPECT_FALSE(second.IsHeld());  // asking must not take it

  StepLock::Lease held = first.TryAcquire();
  ASSERT_TRUE(held);
  // Refused from the same object, another object and as an empty lease that
  // ends at once: none of them frees the lock of the holder.
  for (int i = 0; i < 2; ++i) {
    EXPECT_FALSE(first.TryAcquire());
    EXPECT_FALSE(second.TryAcquire());
    StepLock::Lease refused = second.TryAcquire();
    EXPECT_FALSE(refused);
  }
  EXPECT_TRUE(first.IsHeld());
  EXPECT_TRUE(second.IsHeld());

  // Moving the lease moves the holding; the moved-from lease is empty and its
  // end releases nothing.
  StepLock::Lease moved = std::move(held);
  EXPECT_FALSE(held);
  ASSERT_TRUE(moved);
  { StepLock::Lease gone = std::move(held); }
  EXPECT_TRUE(second.IsHeld());

  moved = StepLock::Lease();
  EXPECT_FALSE(first.IsHeld());
  StepLock::Lease next = second.TryAcquire();
  ASSERT_TRUE(next);
  EXPECT_FALSE(first.TryAcquire());

  // Assigning one lease over another ends the one assigned over.
  next = first.TryAcquire();
  EXPECT_FALSE(next);
  EXPECT_FALSE(first.IsHeld());
}

TEST(StepLockTest, LeaseOutlivesItsStepLockObject) {
  StepLock other(kName);
  StepLock::Lease lease;
  {
    StepLock holder(kName);
    lease = holder.TryAcquire();
    ASSERT_TRUE(lease);
  }
  EXPECT_TRUE(other.IsHeld());
  lease = StepLock::Lease();
  EXPECT_TRUE(other.TryAcquire());
}

TEST(StepLockTest, ThreadsSharingOneLockGetOneWinnerAndAnyThreadMayEndTheLease) {
  StepLock lock(kName);
  std::atomic<bool> go{false};
  std::mutex mutex;
  std::vector<StepLock::Lease> won;
  std::vector<std::thread> threads;
  for (int i = 0; i < 8; ++i) {
    threads.emplace_back([&] {
      while (!go) std::this_thread::yield();
      for (int round = 0; round < 50; ++round) {
        if (StepLock::Lease lease = lock.TryAcquire()) {
          std::lock_guard<std::mutex> guard(mutex);
          won.push_back(std::move(lease));
        }
      }
    });
  }
  go = true;
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(won.size(), 1u);

  won.clear();
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
    const StepLock::Lease lease = lock.TryAcquire();
    char got = lease ? '1' : '0';
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
  }
}

}  // namespace
}  // namespace belmor::platform
