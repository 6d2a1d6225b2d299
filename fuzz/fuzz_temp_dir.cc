#include "fuzz_temp_dir.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>

namespace belmor::fuzz {

namespace {

std::string MakeDir() {
  std::error_code error;
  std::string base = std::filesystem::is_directory("/dev/shm", error) && ::access("/dev/shm", W_OK) == 0
                         ? "/dev/shm"
                         : std::filesystem::temp_directory_path().string();
  std::string pattern = base + "/kx-fuzz-XXXXXX";
  if (::mkdtemp(pattern.data()) == nullptr) {
    std::perror("mkdtemp");
    std::abort();
  }
  return pattern;
}

}  // namespace

const std::string& PrivateDir() {
  // Never destroyed: the exit handler needs the name after static objects end.
  static const std::string* const dir = [] {
    const auto* made = new std::string(MakeDir());
    std::atexit([] {
      std::error_code error;
      std::filesystem::remove_all(PrivateDir(), error);
    });
    return made;
  }();
  return *dir;
}

void WriteInput(const std::string& path, const uint8_t* data, size_t size) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (fd < 0) Broken("cannot write the input file");
  size_t done = 0;
  while (done < size) {
    const ssize_t n = ::write(fd, data + done, size - done);
    if (n <= 0) Broken("cannot write the input file");
    done += static_cast<size_t>(n);
  }
  ::close(fd);
}

void ClearPrivateDir() {
  std::error_code error;
  for (const auto& entry : std::filesystem::directory_iterator(PrivateDir(), error)) {
    std::filesystem::remove_all(entry.path(), error);
  }
}

void Broken(const char* what) {
  std::fprintf(stderr, "fuzz: %s\n", what);
  std::abort();
}

}  // namespace belmor::fuzz
