#ifndef KORVEX_LOGGING_MESSAGES_H_
#define KORVEX_LOGGING_MESSAGES_H_

#include <concepts>
#include <initializer_list>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

namespace belmor::korvex {

// The numbered texts the practice sees, in German and French. A report's
// code is not the catalogue index: callers pick the text they need.

inline constexpr int kMessageCount = 75;

struct MessageEntry {
  int code = 0;  // equal to the entry's index in its table
  std::string text;  // UTF-8
};

using MessageTable = std::vector<MessageEntry>;

// The shipped tables, each kMessageCount entries long.
const MessageTable& GermanMessageTable();
const MessageTable& FrenchMessageTable();

// Language name to table, and the table currently in use. The language is
// switched by automation calls while worker threads fetch texts, so every
// operation is thread-safe. Texts are handed out as copies.
class MessageCatalogue {
 public:
  // Adds the table for a language, or replaces the one already there.
  void RegisterMessageTable(const std::string& language, MessageTable table);
  // Makes that language's table current; an unregistered name leaves none.
  void SelectMessageTable(const std::string& language);
  // The text in the current table; "" when no table is current or the code is
  // not in it.
  std::string GetMessageText(int code) const;

 private:
  mutable std::mutex mutex_;
  std::map<std::string, std::shared_ptr<const MessageTable>> tables_;
  std::shared_ptr<const MessageTable> current_;
};

// The catalogue of the process.
MessageCatalogue& ProcessMessageCatalogue();

// One value for a placeholder of a catalogue text.
class MessageArg {
 public:
  // Implicit, so that a call reads FormatMessageText(text, {name, copied, failed}).
  MessageArg(const std::string& text) : text_(text) {}
  MessageArg(const char* text) : text_(text ? text : "") {}
  template <std::integral T>
  MessageArg(T number) : text_(std::to_string(number)) {}
  const std::string& text() const { return text_; }

 private:
  std::string text_;
};

// Fills the "%s" and "%d" of a catalogue text, in order, with the values; "%%"
// is one "%". The texts come from tables anyone may register, so a text whose
// placeholders do not match the values must not be able to do harm: a
// placeholder without a value becomes "", surplus values are ignored, and any
// other "%" sequence is kept as it is.
std::string FormatMessageText(std::string_view format, std::initializer_list<MessageArg> args);

// The monitor shows a step's start, count and end reports in a field of this
// many bytes.
inline constexpr size_t kMaxReportText = 127;
// Cut to kMaxReportText bytes without splitting a UTF-8 character, which
// would make the session log store the whole line as Latin-1.
std::string ClipReportText(std::string text);

}  // namespace belmor::korvex

#endif  // KORVEX_LOGGING_MESSAGES_H_
