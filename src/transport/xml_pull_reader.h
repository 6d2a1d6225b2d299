#ifndef KORVEX_TRANSPORT_XML_PULL_READER_H_
#define KORVEX_TRANSPORT_XML_PULL_READER_H_

#include <istream>
#include <string>
#include <vector>

namespace belmor::korvex {

// A forward-only reader of the small XML subset that XML-RPC replies use. It
// pulls characters straight from a stream and builds no tree. Several readers
// may share one stream: a parser makes one reader per nesting level, and each
// reader keeps its own stack of the tags it opened, so every level closes
// exactly its own tags. The stream, with its buffer, must outlive the reader.
class XmlPullReader {
 public:
  explicit XmlPullReader(std::istream& in);

  // The name of the next start tag, pushed on this reader's stack. Comments,
  // processing instructions (the XML declaration), attributes and empty-element
  // tags are passed over. Answers the empty name, pushing nothing, where
  // character data follows, at the "</" of a closing tag (the reader is then
  // inside that tag), or at the end of the input.
  std::string NextTag();
  // The character data up to the next "<" or the end of the input, untrimmed
  // and with its entities as written. Raises RpcError "Invalid XML" inside a tag.
  std::string ReadText();
  // Consumes the closing tag of the innermost tag this reader opened and pops
  // it. False, without popping, for anything else: character data, another
  // start tag, a different name, the end of the input or an empty stack.
  bool CloseTag();
  // CloseTag until the stack is empty (true) or one of them fails (false).
  bool CloseAll();
  // Marks the reader as inside a tag; used when an inner level has consumed
  // the "</" that starts this level's closing tag.
  void SetInsideTag() { inside_tag_ = true; }

  bool IsInsideTag() const { return inside_tag_; }
  const std::vector<std::string>& OpenTags() const { return open_tags_; }

 private:
  // Consume everything up to and including "-->" or ">"; false at the end of
  // the input. `empty_element` tells whether "/" stood right before the ">".
  bool SkipPastCommentEnd();
  bool SkipPastTagEnd(bool& empty_element);
  // Characters are taken from the stream buffer directly: the stream's state
  // flags would only get in the way of sharing it and putting one back.
  std::streambuf& buf() { return *in_.rdbuf(); }

  std::istream& in_;
  bool inside_tag_ = false;
  std::vector<std::string> open_tags_;
};

}  // namespace belmor::korvex

#endif  // KORVEX_TRANSPORT_XML_PULL_READER_H_
