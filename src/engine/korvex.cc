#include "engine/korvex.h"

#include "logging/log.h"
#include "platform/folders.h"

namespace belmor::korvex {

namespace {
struct SingleFileMode {
  std::mutex mutex;
  bool on = false;
  std::string name;
};
SingleFileMode& Mode() {
  static SingleFileMode mode;
  return mode;
}
}  // namespace

Korvex::Korvex() : resourcePath_(platform::ProgramDirectory(), true) {
  KX_LOG(DEBUG) << "Korvex::Korvex: resource path=" << resourcePath_.ToString();
}

Korvex::~Korvex() = default;

std::atomic<bool>& Korvex::CancelFlag() {
  static std::atomic<bool> flag{false};
  return flag;
}

std::atomic<bool>& Korvex::AutoRunFlag() {
  static std::atomic<bool> flag{false};
  return flag;
}

void Korvex::SetSingleFileMode(bool on, const std::string& fileName) {
  {
    std::lock_guard<std::mutex> lock(Mode().mutex);
    Mode().on = on;
    Mode().name = fileName;
  }
  AutoRunFlag() = on;
}

bool Korvex::IsSingleFileMode() {
  std::lock_guard<std::mutex> lock(Mode().mutex);
  return Mode().on;
}

std::string Korvex::SingleFileName() {
  std::lock_guard<std::mutex> lock(Mode().mutex);
  return Mode().name;
}

}  // namespace belmor::korvex
