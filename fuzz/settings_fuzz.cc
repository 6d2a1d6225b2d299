// Any bytes as the settings file "korvex.ini". Reading must end in settings,
// never in a crash, and every look-up must answer or raise the option
// exception. Settings that the file format can hold must come back the same
// after a save and a fresh read, and nothing may come back that was not there.
#include <cstddef>
#include <cstdint>
#include <string>

#include "common/path.h"
#include "config/options_impl.h"
#include "fuzz_temp_dir.h"

namespace {

using belmor::fuzz::Broken;
using belmor::korvex::IniOptions;
using belmor::korvex::OptionNotFoundException;

const IniOptions::Sections::mapped_type* Globals(const IniOptions& options) {
  const auto found = options.sections().find(IniOptions::kGlobals);
  return found == options.sections().end() ? nullptr : &found->second;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string path = belmor::fuzz::PrivateDir() + "/korvex.ini";
  belmor::fuzz::ClearPrivateDir();
  belmor::fuzz::WriteInput(path, data, size);

  IniOptions options{belmor::common::Path(path)};
  const auto* loaded = Globals(options);
  if (loaded == nullptr) return 0;
  for (const auto& [key, value] : *loaded) {
    try {
      if (options.GetString(key) != value) Broken("a look-up answers another value");
    } catch (const OptionNotFoundException&) {
      if (!value.empty()) Broken("a set value is not found");
    }
    for (int kind = 0; kind < 2; ++kind) {
      try {
        if (kind == 0) {
          (void)options.GetInt(key);
        } else {
          (void)options.GetBool(key);
        }
      } catch (const OptionNotFoundException&) {
      }
    }
  }

  // A file that could not be read whole may be refused a rewrite.
  if (!options.save()) return 0;
  IniOptions reread{belmor::common::Path(path)};
  const auto* again = Globals(reread);
  if (again == nullptr) Broken("a saved file reads back empty");
  for (const auto& [key, value] : *loaded) {
    if (!IniOptions::CanStore(key, value)) continue;
    const auto found = again->find(key);
    if (found == again->end() || found->second != value) Broken("a setting changed through a save");
  }
  for (const auto& [key, value] : *again) {
    if (loaded->find(key) == loaded->end()) Broken("a save made up a setting");
  }
  return 0;
}
