#ifndef KORVEX_CONFIG_OPTIONS_IMPL_H_
#define KORVEX_CONFIG_OPTIONS_IMPL_H_

#include <map>
#include <string>
#include <vector>

#include "common/exception.h"
#include "common/path.h"

namespace belmor::korvex {

// Raised by a look-up of a key that is absent or empty ("option not found") or
// whose value is a number out of range ("option is unparsable"); the key is
// the subject of the message.
// The macro inherits constructors by repeating the base name, so the base must
// be named without qualification.
using common::RuntimeException;
KORVEX_DECLARE_EXCEPTION(OptionNotFoundException, RuntimeException, "Option not found exception");

// Typed settings by key. Values are kept as text; the typed accessors convert.
class Options {
 public:
  virtual ~Options() = default;

  // Stores "1" or "0".
  virtual void Set(const std::string& key, bool value) = 0;
  // Stores the decimal text.
  virtual void Set(const std::string& key, int value) = 0;
  virtual void Set(const std::string& key, const std::string& value) = 0;
  // A string literal would otherwise pick the bool overload.
  void Set(const std::string& key, const char* value) { Set(key, std::string(value)); }

  // Each raises OptionNotFoundException when the key is absent or its value empty.
  virtual std::string GetString(const std::string& key) const = 0;
  // The leading decimal integer of the value after leading white space; 0 when
  // the value does not begin with one. Out of range: "option is unparsable".
  virtual int GetInt(const std::string& key) const = 0;
  // The integer rule; any value but 0 is true.
  virtual bool GetBool(const std::string& key) const = 0;

  // Reads the backing store into the settings, adding and overwriting; never clears.
  virtual void Load() = 0;
  // Writes every setting back. Failures are logged, not raised; the answer
  // tells whether the store now holds the settings.
  virtual bool save() = 0;
  // The last Load could not read the store to its end (no access, a read
  // error); save() then leaves it alone.
  virtual bool LoadedInPart() const = 0;

  // Get<std::string>, Get<int>, Get<bool>: the typed look-ups under one name.
  template <typename T>
  T Get(const std::string& key) const;
};

template <>
inline std::string Options::Get<std::string>(const std::string& key) const {
  return GetString(key);
}
template <>
inline int Options::Get<int>(const std::string& key) const {
  return GetInt(key);
}
template <>
inline bool Options::Get<bool>(const std::string& key) const {
  return GetBool(key);
}

// The settings file "korvex.ini": "#" comments, "[section]" headers and
// "key=value" lines of at most 1023 characters (a longer one is skipped).
// Whatever section a line sits under, its pair is kept in "globals", and only
// "globals" is consulted; a pair before the first header is ignored. Keys and
// values are taken exactly as written. Saving rewrites the whole file from
// the map and replaces it atomically, so a process killed mid-save leaves
// either the old or the new file, never a truncated one. The lines the
// reader skipped (comments, overlong lines, lines it does not understand)
// are written back as they stood, in their order, before the first section
// header, so a rewrite loses nothing a person wrote there; a comment after a
// pair on its line and the order of the pairs are not kept. A file that
// could not be read (no read access, a read error) is never rewritten: the
// settings in it would be lost.
// No lock: callers must not use one object from two threads at once, with
// one exception for a writer thread: Render is a read of the map, and
// CanSave and SaveRendered touch no map, so the map's owner may render under
// its own lock and write the text on another thread.
class IniOptions : public Options {
 public:
  using Sections = std::map<std::string, std::map<std::string, std::string>>;

  // Loads the file at once; a missing file leaves the settings empty.
  explicit IniOptions(const common::Path& path);
  ~IniOptions() override;

  using Options::Set;
  void Set(const std::string& key, bool value) override;
  void Set(const std::string& key, int value) override;
  void Set(const std::string& key, const std::string& value) override;
  std::string GetString(const std::string& key) const override;
  int GetInt(const std::string& key) const override;
  bool GetBool(const std::string& key) const override;
  void Load() override;
  bool save() override;
  bool LoadedInPart() const override { return partial_; }

  // The file's whole text as save() writes it.
  std::string Render() const;
  // Writes text (a Render of this object) the way save() does: refused for a
  // file that could not be read, replaced atomically otherwise. On failure reason,
  // when given, gets why.
  bool SaveRendered(const std::string& text, std::string* reason = nullptr);
  // Whether a save could succeed now: the file could be read (or was not
  // there) and its directory is a directory this process may write. A
  // change that could not be stored must be refused before it is made;
  // reason, when given, gets why not.
  bool CanSave(std::string* reason = nullptr) const;

  // Whether the line key=value loads back as the same pair. The format has
  // no escapes, so a line feed or "#" in a value, or an overlong line, would
  // come back cut short or as other settings after the next start.
  static bool CanStore(const std::string& key, const std::string& value);

  const common::Path& path() const { return path_; }
  const Sections& sections() const { return sections_; }
  // The lines the last Load skipped, as they stood (without the line feed).
  const std::vector<std::string>& kept() const { return kept_; }

  static constexpr const char* kGlobals = "globals";
  // Longest line the loader accepts; a longer one is skipped (and kept).
  static constexpr size_t kMaxLineLength = 1023;

 private:
  // The stored value, or nullptr when it is absent or empty.
  const std::string* Find(const std::string& key) const;

  common::Path path_;
  Sections sections_;
  std::vector<std::string> kept_;
  bool partial_ = false;
  // Why the file could not be read, for the refusal of a save.
  std::string unreadable_;
};

}  // namespace belmor::korvex

#endif  // KORVEX_CONFIG_OPTIONS_IMPL_H_
