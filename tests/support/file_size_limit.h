#ifndef KORVEX_TESTS_SUPPORT_FILE_SIZE_LIMIT_H_
#define KORVEX_TESTS_SUPPORT_FILE_SIZE_LIMIT_H_

#include <signal.h>
#include <sys/resource.h>

namespace belmor::testing {

// Makes every write past limit bytes fail with EFBIG, as a full disk would,
// even for root; restores the limit at the end of the scope. The limit holds
// for the whole process, so nothing else may write large files meanwhile.
class FileSizeLimit {
 public:
  explicit FileSizeLimit(rlim_t limit) {
    getrlimit(RLIMIT_FSIZE, &old_);
    old_handler_ = signal(SIGXFSZ, SIG_IGN);
    rlimit l = old_;
    l.rlim_cur = limit;
    setrlimit(RLIMIT_FSIZE, &l);
  }
  ~FileSizeLimit() {
    setrlimit(RLIMIT_FSIZE, &old_);
    signal(SIGXFSZ, old_handler_);
  }
  FileSizeLimit(const FileSizeLimit&) = delete;
  FileSizeLimit& operator=(const FileSizeLimit&) = delete;

 private:
  rlimit old_{};
  sighandler_t old_handler_;
};

}  // namespace belmor::testing

#endif  // KORVEX_TESTS_SUPPORT_FILE_SIZE_LIMIT_H_
