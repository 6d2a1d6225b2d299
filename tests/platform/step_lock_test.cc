#include "platform/step_lock.h"

#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
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
#include "support/file_mode.h"
#include "support/temp_dir.h"

namespace belmor::platform {
namespace {

using belmor::testing::ModeOf;
using belmor::testing::RemoveAll;
using belmor::testing::ScopedEnv;
using belmor::testing::ScopedUmask;
using belmor::testing::TempDir;
using belmor::testing::WriteFile;

constexpr char kName[] = "kxStSem";

// Another user, for files and folders planted "by someone else"; only root
// can give a file away.
constexpr uid_t kOtherUser = 65534;
bool CanChangeOwners() { return ::geteuid() == 0; }

void GiveAway(const std::string& path) {
  ASSERT_EQ(::lchown(path.c_str(), kOtherUser, kOtherUser), 0) << path;
}

TEST(StepLockFileTest, RuntimeFolderElseThePrivateLoginFolderElseApplicationData) {
  TempDir root;  // stands in for /run/user
  const std::string uid = std::to_string(::geteuid());
  const std::string appDataLock =
      std::string(std::getenv("XDG_CONFIG_HOME")) + "/Belmor/korvex-ordiva/run/kxStSem";
  struct Case {
    std::string what;
    std::optional<std::string> runtime_dir;
    std::function<void(const std::string& loginFolder)> prepare;
    std::string expected;  // "login": the login folder's file
    bool needsRoot = false;
  };
  const auto folder = [](mode_t mode) {
    return [mode](const std::string& path) {
      std::filesystem::create_directory(path);
      ASSERT_EQ(::chmod(path.c_str(), mode), 0);
    };
  };
  const auto none = [](const std::string&) {};
  const Case cases[] = {
      {"runtime folder", "/run/user/1000", none, "/run/user/1000/kxStSem"},
      {"runtime folder with slash", "/run/user/1000/", none, "/run/user/1000/kxStSem"},
      {"private login folder", std::nullopt, folder(0700), "login"},
      {"empty runtime variable", "", folder(0700), "login"},
      {"relative runtime variable", "relative", folder(0700), "login"},
      {"no login folder", std::nullopt, none, appDataLock},
      {"login folder open to others", std::nullopt, folder(0755), appDataLock},
      {"login folder without access for its owner", std::nullopt, folder(0500), appDataLock},
      {"link to a private folder", std::nullopt,
       [&](const std::string& path) {
         std::filesystem::create_directory(root.Sub("elsewhere"));
         ASSERT_EQ(::chmod(root.Sub("elsewhere").c_str(), 0700), 0);
         std::filesystem::create_symlink(root.Sub("elsewhere"), path);
       },
       appDataLock},
      {"login folder of another user", std::nullopt,
       [&](const std::string& path) {
         folder(0700)(path);
         GiveAway(path);
       },
       appDataLock, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    if (c.needsRoot && !CanChangeOwners()) continue;
    const std::string login = root.Sub(uid);
    RemoveAll(login);
    RemoveAll(root.Sub("elsewhere"));
    c.prepare(login);
    ScopedEnv runtime("XDG_RUNTIME_DIR", c.runtime_dir);
    const std::string file = StepLockFile(kName, root.path());
    EXPECT_EQ(file, c.expected == "login" ? login + "/kxStSem" : c.expected);
  }

  // Without even a home there is no folder to name; the lock then fails.
  ScopedEnv runtime("XDG_RUNTIME_DIR", std::nullopt);
  ScopedEnv config("XDG_CONFIG_HOME", std::nullopt);
  ScopedEnv home("HOME", std::nullopt);
  EXPECT_EQ(StepLockFile(kName, root.Sub("missing")), "");
}

TEST(StepLockFileTest, TheApplicationDataFolderIsMadePrivateWhateverTheUmask) {
  TempDir config;
  ScopedEnv configHome("XDG_CONFIG_HOME", config.path());
  ScopedEnv runtime("XDG_RUNTIME_DIR", std::nullopt);
  TempDir noLogin;
  const std::string folder = config.Sub("Belmor/korvex-ordiva/run");
  for (mode_t mask : {000, 022, 0277}) {
    SCOPED_TRACE(mask);
    RemoveAll(config.Sub("Belmor"));
    {
      ScopedUmask umask(mask);
      EXPECT_EQ(StepLockFile(kName, noLogin.path()), folder + "/kxStSem");
    }
    EXPECT_EQ(ModeOf(folder), 0700u);
  }
  // A folder of the user's own that someone opened is closed again.
  ASSERT_EQ(::chmod(folder.c_str(), 0777), 0);
  StepLockFile(kName, noLogin.path());
  EXPECT_EQ(ModeOf(folder), 0700u);
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

// Without XDG_RUNTIME_DIR the lock used to live in /tmp/kxStSem-<uid>, where
// anyone could make it first and so refuse every run. Whatever lies there now
// changes nothing, and every process of the user still finds the one lock.
TEST(StepLockTest, WithoutRuntimeFolderAFilePlantedInTmpBlocksNothing) {
  ScopedEnv runtime("XDG_RUNTIME_DIR", std::nullopt);
  const std::string file = StepLockFile(kName);
  if (file.rfind("/run/user/", 0) == 0) {
    GTEST_SKIP() << "this machine has a login folder (" << file << "); the test must not take its lock";
  }
  const std::string planted = "/tmp/kxStSem-" + std::to_string(::geteuid());
  if (std::filesystem::exists(planted)) GTEST_SKIP() << planted << " exists already";
  struct Cleanup {
    std::string path;
    ~Cleanup() { RemoveAll(path); }
  } cleanup{planted};
  if (CanChangeOwners()) {
    WriteFile(planted, "");
    GiveAway(planted);
  } else {
    std::filesystem::create_directory(planted);  // what anyone can plant
  }

  int fds[2];
  ASSERT_EQ(::pipe2(fds, O_CLOEXEC), 0);
  Child child(ForkHolder(fds[1], false));
  ::close(fds[1]);
  char got = 0;
  ASSERT_EQ(::read(fds[0], &got, 1), 1);
  ::close(fds[0]);
  ASSERT_EQ(got, '1') << "the holder could not take the lock";

  StepLock mine(kName);
  EXPECT_EQ(mine.file(), file);
  EXPECT_TRUE(mine.IsHeld());
  EXPECT_FALSE(mine.TryAcquire());
  child.Kill();
  EXPECT_TRUE(mine.TryAcquire());
}

// A lock that cannot be used is an error with its reason, never a lock that
// someone else seems to hold: the server answers it as a failure, not as busy.
TEST(StepLockTest, UnusableLockFileIsAnErrorNamingTheReason) {
  TempDir dir;
  WriteFile(dir.Sub("target"), "");
  struct Case {
    std::string what;
    std::function<void(const std::string& folder, const std::string& file)> prepare;
    std::string says;
    bool needsRoot = false;
  };
  const Case cases[] = {
      {"missing runtime folder",
       [](const std::string& folder, const std::string&) { RemoveAll(folder); }, "No such file"},
      // Someone else's link must not redirect the lock to a file of their choice.
      {"symbolic link",
       [&](const std::string&, const std::string& file) { std::filesystem::create_symlink(dir.Sub("target"), file); },
       "kxStSem"},
      {"directory", [](const std::string&, const std::string& file) { std::filesystem::create_directory(file); },
       "Is a directory"},
      {"FIFO", [](const std::string&, const std::string& file) { ASSERT_EQ(::mkfifo(file.c_str(), 0600), 0); },
       "not a regular file"},
      {"folder open to others",
       [](const std::string& folder, const std::string&) { ASSERT_EQ(::chmod(folder.c_str(), 0755), 0); },
       "not private"},
      {"folder of another user", [](const std::string& folder, const std::string&) { GiveAway(folder); },
       "not private", true},
      {"file another user made first",
       [](const std::string&, const std::string& file) {
         WriteFile(file, "");
         GiveAway(file);
       },
       "not a regular file of this user", true},
  };
  int n = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    if (c.needsRoot && !CanChangeOwners()) continue;
    const std::string folder = dir.Sub("runtime-" + std::to_string(++n));
    std::filesystem::create_directory(folder);
    ASSERT_EQ(::chmod(folder.c_str(), 0700), 0);
    ScopedEnv runtime("XDG_RUNTIME_DIR", folder);
    StepLock lock(kName);
    c.prepare(folder, lock.file());
    try {
      lock.TryAcquire();
      ADD_FAILURE() << "granted";
    } catch (const common::RuntimeException& e) {
      EXPECT_THAT(e.Text(), ::testing::HasSubstr(folder));
      EXPECT_THAT(e.Text(), ::testing::HasSubstr(c.says));
    }
    EXPECT_THROW(lock.IsHeld(), common::RuntimeException);
  }
}

}  // namespace
}  // namespace belmor::platform
