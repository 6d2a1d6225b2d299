#ifndef KORVEX_PIPELINE_STEP_WORK_OBJECT_H_
#define KORVEX_PIPELINE_STEP_WORK_OBJECT_H_

#include <libxml/xmlerror.h>
#include <sys/stat.h>
#include <sys/types.h>

#include <cstdint>
#include <ctime>
#include <memory>
#include <string>

#include "common/path.h"

namespace belmor::korvex {

class AbstractStep;
class StepContext;
class Rule;
class SimpleInvoice;
class XmlDoc;
struct TrustCenter;

// One invoice file on its way through a step: its text and parsed document,
// the rule chosen for it, and the operations every step uses to check it,
// transform it and pass it on. Lives from its collection until its step has
// handled it; used by that step's thread only.
//
// Whatever is written on (MoveTo, MoveToError, CopyTo) is the current text,
// so a transformed invoice travels in its transformed form. While the text is
// still exactly the file that was read, a move renames the file instead of
// writing a copy: the same result without writing and flushing the invoice
// again in every step.
//
// A move never takes away a file that changed after it was read (the billing
// program may still be writing it): such a file stays where it is, untouched,
// for the next run, and the move reports it as not passed on.
class StepWorkObject {
 public:
  StepWorkObject(std::shared_ptr<StepContext> engine, std::shared_ptr<AbstractStep> step, common::Path sourceFile,
                 common::Path destinationFile);
  virtual ~StepWorkObject();
  StepWorkObject(const StepWorkObject&) = delete;
  StepWorkObject& operator=(const StepWorkObject&) = delete;

  // Reads the source file and picks the first rule that matches it; false
  // when none does. A file that cannot be read raises the file
  // exception of FileDocumentLoader.
  bool Prepare();
  // Runs the rule's schemas; each schema error becomes a debug report
  // "VALIDATION ERROR: line L, column C, message". Never raises: a failure
  // counts as not valid.
  bool Validate();
  // The summary made by the rule's duplicate-check stylesheet; empty when
  // there is none to make.
  std::shared_ptr<SimpleInvoice> GetSimpleInvoice();
  // Applies the rule's stylesheets in order, each to the result of the one
  // before; true when at least one produced a document. Raises when the
  // document did not parse or a stylesheet is missing.
  bool Transform();
  // Whether the text was transformed for this center: the recipient named on
  // its "korvex:datatransfer" element (stored in recipient) equals the
  // center's.
  bool isTransformedForTrustCenter(const std::shared_ptr<TrustCenter>& center, std::string& recipient);

  // Passes the text on to the destination under a free name and removes the
  // source; true when done. Otherwise reported as not passed on, and the
  // source is where it was.
  bool MoveTo();
  // The same into today's error directory; movedTo, when given, learns the
  // file's new path.
  bool MoveToError(common::Path* movedTo = nullptr);
  // Writes the text into directory under a free name; the source stays.
  void CopyTo(const common::Path& directory);
  // Removes the source, counted as passed on; reported as not passed on and
  // false when it cannot be removed or is no longer the file that was read.
  bool DeleteSource();

  // Writes text to path, or to the first free name "stem.n.ext" (n = 1, 2,
  // ...) when path is taken, and stores the name used in path. The file
  // appears under its name only once it is complete on disk, and an existing
  // file is never replaced. On failure answers false, keeps the error code
  // for the system-error report and leaves nothing behind.
  bool WriteUnique(common::Path& path, const std::string& text);

  // Replaces the text that a move or copy writes, for a step that changes
  // the invoice.
  void SetText(std::string text);

  // The parsed text; parsed on first use, as some steps never look inside.
  const std::shared_ptr<XmlDoc>& Document();
  const std::string& Text() const { return text_; }
  const common::Path& SourceFile() const { return sourceFile_; }
  const common::Path& DestinationFile() const { return destinationFile_; }
  // The source file's name without its directory, as reports show it.
  const std::string& FileName() const { return sourceFile_.FileName(); }
  bool IsValid() const { return valid_; }
  const std::shared_ptr<Rule>& GetRule() const { return rule_; }
  const std::shared_ptr<SimpleInvoice>& GetInvoice() const { return invoice_; }
  const std::shared_ptr<AbstractStep>& GetStep() const { return step_; }

 private:
  static void OnValidationError(void* context, xmlErrorPtr error);
  // The mcSystem report of the last failed write, if it left an error code.
  void ReportSystemError() const;
  void Report(int32_t level, int32_t code, const std::string& message) const;
  // How a move ended.
  enum class Moved { kDone, kFailed, kSourceChanged };

  // Whether the source file is still the one Prepare read: same file, size
  // and modification time. Unknown counts as changed.
  bool SourceUnchanged() const;
  // Gives the source file itself the name path, or the first free name
  // "stem.n.ext", and stores the name used in path, when the text is still
  // the file's content. False when that cannot be done (another file system,
  // a changed text): nothing has moved then.
  bool RenameUnique(common::Path& path);
  // The invoice at path (or the next free name) and no longer at the source:
  // renamed when it can be, otherwise written and the source removed. A
  // source that changed since it was read is left alone, and nothing is
  // written for it.
  Moved Relocate(common::Path& path);
  // Removes the source; false (error code kept) when it could not be.
  bool RemoveSource();

  // The source file as Prepare read it.
  struct FileIdentity {
    bool known = false;
    dev_t device = 0;
    ino_t inode = 0;
    off_t size = 0;
    timespec modified{};

    // Known only for a regular file.
    static FileIdentity Of(const struct stat& st);
    // Both known, and the same file with the same size and modification time.
    bool SameAs(const FileIdentity& other) const;
  };

  std::shared_ptr<XmlDoc> document_;
  // Set by Prepare: the text is to be parsed when the document is needed.
  bool loaded_ = false;
  std::string text_;
  std::shared_ptr<StepContext> engine_;
  std::shared_ptr<AbstractStep> step_;
  common::Path sourceFile_;
  common::Path destinationFile_;
  bool valid_ = false;
  std::shared_ptr<Rule> rule_;
  std::shared_ptr<SimpleInvoice> invoice_;
  // errno of the last failed WriteUnique, 0 after a success.
  int lastError_ = 0;
  FileIdentity sourceIdentity_;
  // Whether text_ is still byte for byte the file that was read.
  bool textIsFile_ = false;
};

// A string as an XPath literal, for stylesheet parameters: in single quotes
// as usual, in double quotes when it holds a single quote, and built with
// concat() when it holds both, so no value can end the literal early and
// change the expression.
std::string XPathStringLiteral(const std::string& value);

}  // namespace belmor::korvex

#endif  // KORVEX_PIPELINE_STEP_WORK_OBJECT_H_
