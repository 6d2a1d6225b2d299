#include "pipeline/step_work_object.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <map>

#include "common/crash_point.h"
#include "common/durable_file.h"
#include "common/encoding.h"
#include "common/exception.h"
#include "common/file.h"
#include "common/regex.h"
#include "config/client_config.h"
#include "config/document_loader.h"
#include "config/documents.h"
#include "config/rule.h"
#include "pipeline/step_context.h"
#include "logging/log.h"
#include "logging/report.h"
#include "pipeline/abstract_step.h"
#include "pipeline/simple_invoice.h"
#include "platform/system_error.h"

namespace belmor::korvex {

namespace {

constexpr int32_t kCodeInfo = 0;
constexpr int32_t kCodePassedOn = 2;
constexpr int32_t kCodeWriteFailed = 3;

// The recipient attribute of the element the trust center's stylesheets wrap
// every invoice in. The recipient is a list such as "tcnord-a, tcnord-b":
// letters, digits, blanks, "@", ".", "_", "," and "-". The attribute must sit
// on that element's own start tag, so an "rcpt" further down in the invoice
// is never taken for it.
constexpr char kRecipientPattern[] =
    "<korvex:datatransfer[^>]*[[:space:]]rcpt=\"([[:alnum:][:space:]@._,-]+)\"";

std::string WithoutTrailingSeparator(std::string directory) {
  while (directory.size() > 1 && directory.back() == common::kPathSeparator) directory.pop_back();
  return directory;
}

// Renames the file at from to path, or to the first free name "stem.n.ext"
// (n = 1, 2, ...) when path is taken, never replacing a file; stores the name
// used in path. One rename: the file is at any moment under one of the two
// names, also after a crash.
void RenameToFreeName(const std::string& from, common::Path& path) {
  const std::string stem = path.BaseName();
  const std::string extension = path.Extension();
  common::Path candidate = path;
  for (int n = 1; !common::RenameNoReplace(from, candidate.ToString()); ++n) {
    candidate.SetFileName(stem + "." + std::to_string(n) + "." + extension);
  }
  path = candidate;
}

}  // namespace

std::string XPathStringLiteral(const std::string& value) {
  if (value.find('\'') == std::string::npos) return "'" + value + "'";
  if (value.find('"') == std::string::npos) return "\"" + value + "\"";
  std::string expression = "concat('";
  for (char c : value) {
    if (c == '\'') {
      expression += "', \"'\", '";
    } else {
      expression += c;
    }
  }
  expression += "')";
  return expression;
}

StepWorkObject::StepWorkObject(std::shared_ptr<StepContext> engine, std::shared_ptr<AbstractStep> step,
                               common::Path sourceFile, common::Path destinationFile)
    : engine_(std::move(engine)),
      step_(std::move(step)),
      sourceFile_(std::move(sourceFile)),
      destinationFile_(std::move(destinationFile)) {}

StepWorkObject::~StepWorkObject() = default;

void StepWorkObject::Report(int32_t level, int32_t code, const std::string& message) const {
  step_->Report(level, code, FileName(), message);
}

bool StepWorkObject::Prepare() {
  FileDocumentLoader loader(sourceFile_.DirectoryString());
  // Taken before and after reading: a file that changed while it was read is
  // not known as what was read, and no move takes it away.
  const std::string source = sourceFile_.ToString();
  struct stat before {}, after {};
  const bool stated = ::stat(source.c_str(), &before) == 0;
  sourceIdentity_ = FileIdentity();
  textIsFile_ = false;
  text_ = loader.LoadDocument(FileName());
  if (stated && ::stat(source.c_str(), &after) == 0 && before.st_size == static_cast<off_t>(text_.size())) {
    const FileIdentity read = FileIdentity::Of(before);
    if (read.SameAs(FileIdentity::Of(after))) {
      sourceIdentity_ = read;
      textIsFile_ = true;
    }
  }
  document_.reset();
  loaded_ = true;
  rule_ = step_->GetClientConfig()->FindRule(text_);
  if (!rule_) return false;
  KX_LOG(INFO) << "[AbstractStep::init][" << step_->Name() << " : " << FileName() << " : Rule: " << rule_->Version()
               << "]";
  return true;
}

const std::shared_ptr<XmlDoc>& StepWorkObject::Document() {
  if (!document_ && loaded_) document_ = std::make_shared<XmlDoc>(text_);
  return document_;
}

void StepWorkObject::OnValidationError(void* context, xmlErrorPtr error) {
  if (!error || error->level <= XML_ERR_NONE) return;
  // Called from inside libxml2: nothing may unwind through it.
  try {
    std::string message = error->message ? error->message : "";
    // libxml2 ends its messages with a line feed; the report is one line.
    while (!message.empty() && (message.back() == '\n' || message.back() == '\r')) message.pop_back();
    static_cast<StepWorkObject*>(context)->Report(
        mlDebug, kCodeInfo,
        "VALIDATION ERROR: line " + std::to_string(error->line) + ", column " + std::to_string(error->int2) + ", " +
            message);
  } catch (...) {
  }
}

bool StepWorkObject::Validate() {
  valid_ = false;
  try {
    if (!Document() || !document_->Good()) {
      Report(mlDebug, kCodeInfo, "unparsable XML");
      return false;
    }
    if (!rule_) throw common::RuntimeException("StepWorkObject::Validate: no rule");
    for (const auto& validator : rule_->Validators()) {
      if (validator->Apply(*document_, &OnValidationError, this)) {
        valid_ = true;
        Report(mlDebug, kCodeInfo, "valid XML");
      } else {
        valid_ = false;
        Report(mlDebug, kCodeInfo, "no valid XML");
        break;
      }
    }
  } catch (...) {
    valid_ = false;
    KX_LOG(ERROR) << "[StepWorkObject::Validate][" << FileName() << "][exception while validating]";
  }
  return valid_;
}

bool StepWorkObject::Transform() {
  if (!rule_ || !Document()) return false;
  const std::shared_ptr<TrustCenter> center =
      step_->Center() ? step_->Center() : step_->GetClientConfig()->CurrentCenter();
  // Parameters are XPath expressions; each value is given as a string literal.
  const std::map<std::string, std::string> parameters = {
      {"libVersion", XPathStringLiteral(engine_->GetClientDescription())},
      {"machineID", XPathStringLiteral(engine_->GetMachineId())},
      {"rcpt", XPathStringLiteral(center ? center->rcpt : std::string())},
      {"filename", XPathStringLiteral(common::ToUtf8(FileName()))},
      {"ruleName", XPathStringLiteral(rule_->Version())},
  };
  bool produced = false;
  for (const auto& transformer : rule_->Transformers()) {
    transformer->Parameters() = parameters;
    std::shared_ptr<XmlDoc> result = transformer->Apply(*document_);
    if (!result) continue;
    document_ = std::move(result);
    SetText(document_->ToString());
    produced = true;
  }
  return produced;
}

std::shared_ptr<SimpleInvoice> StepWorkObject::GetSimpleInvoice() {
  invoice_.reset();
  if (!rule_ || !rule_->DuplicateCheck() || !Document() || !document_->Good()) return invoice_;
  std::shared_ptr<XmlDoc> keys = rule_->DuplicateCheck()->Apply(*document_);
  invoice_ = SimpleInvoiceXmlParser().Parse(keys ? keys->ToString() : std::string());
  return invoice_;
}

bool StepWorkObject::isTransformedForTrustCenter(const std::shared_ptr<TrustCenter>& center,
                                                 std::string& recipient) {
  // The pattern is fixed: compiled once for the process, which costs more than
  // the search itself; a compiled expression may be searched from any thread.
  static const common::Regex regex(kRecipientPattern, REG_EXTENDED | REG_ICASE);
  if (!regex.Good()) {
    KX_LOG(DEBUG) << "[StepWorkObject::isTransformedForTrustCenter][regex error: " << regex.ErrorText(regex.Status())
                  << "]";
    return false;
  }
  regmatch_t matches[2];
  // The text may hold NUL bytes; the search takes its length.
  const int found = regex.Search(text_, matches, 2);
  if (found != REG_OK) {
    KX_LOG(DEBUG) << "[StepWorkObject::isTransformedForTrustCenter][regex error: " << regex.ErrorText(found) << "]";
    return false;
  }
  recipient = common::Regex::Group(text_, matches[1]);
  return center && recipient == center->rcpt;
}

bool StepWorkObject::WriteUnique(common::Path& path, const std::string& text) {
  lastError_ = 0;
  const std::string directory = WithoutTrailingSeparator(path.DirectoryString());
  std::string temporary;
  try {
    common::File(directory).CreateDirectories(common::kPrivateDirectoryMode);
    // Written completely under a name no listing takes for an invoice, then
    // renamed: a reader never sees half an invoice, and a crash leaves at most
    // a stray temporary beside the intact source.
    temporary = common::WriteDurableTemporary(directory, common::kTemporaryPrefix, text, common::kPrivateFileMode);
    RenameToFreeName(temporary, path);
    temporary.clear();
    common::SyncDirectory(directory);
    return true;
  } catch (const common::Exception& e) {
    lastError_ = e.Code();
    KX_LOG(ERROR) << "[StepWorkObject::WriteUnique][" << path.ToString() << "][" << e.Text() << "]";
  } catch (const std::exception& e) {
    KX_LOG(ERROR) << "[StepWorkObject::WriteUnique][" << path.ToString() << "][" << e.what() << "]";
  }
  if (!temporary.empty()) {
    try {
      common::File(temporary).Remove();
    } catch (const common::Exception&) {
    }
  }
  return false;
}

void StepWorkObject::SetText(std::string text) {
  text_ = std::move(text);
  textIsFile_ = false;
}

StepWorkObject::FileIdentity StepWorkObject::FileIdentity::Of(const struct stat& st) {
  if (!S_ISREG(st.st_mode)) return FileIdentity();
  return {true, st.st_dev, st.st_ino, st.st_size, st.st_mtim};
}

bool StepWorkObject::FileIdentity::SameAs(const FileIdentity& other) const {
  return known && other.known && device == other.device && inode == other.inode && size == other.size &&
         modified.tv_sec == other.modified.tv_sec && modified.tv_nsec == other.modified.tv_nsec;
}

bool StepWorkObject::SourceUnchanged() const {
  struct stat now {};
  return sourceIdentity_.known && ::lstat(sourceFile_.ToString().c_str(), &now) == 0 &&
         sourceIdentity_.SameAs(FileIdentity::Of(now));
}

bool StepWorkObject::RenameUnique(common::Path& path) {
  if (!textIsFile_) return false;
  const std::string source = sourceFile_.ToString();
  const int fd = ::open(source.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) return false;
  // The billing program need not have flushed its file; once renamed, the
  // invoice must survive a power cut as a written copy would. Files of the
  // work area were flushed when this program wrote them.
  if (step_->ForeignSource()) common::DurableStep("fdatasync", source);
  bool ready = !step_->ForeignSource() || ::fdatasync(fd) == 0;
  bool renamed = false;
  if (ready) {
    try {
      common::File(WithoutTrailingSeparator(path.DirectoryString())).CreateDirectories(common::kPrivateDirectoryMode);
      RenameToFreeName(source, path);
      renamed = true;
    } catch (const common::Exception& e) {
      // Another file system, most often; the copy is written instead.
      KX_LOG(DEBUG) << "[StepWorkObject::RenameUnique][" << source << "][" << e.Text() << "]";
    }
  }
  // Patient data is the user's alone, whatever mode the billing program gave
  // its file; the descriptor still names the renamed file.
  if (renamed && step_->ForeignSource() && ::fchmod(fd, common::kPrivateFileMode) != 0) {
    KX_LOG(ERROR) << "[StepWorkObject::RenameUnique][" << path.ToString() << "][chmod failed]";
  }
  ::close(fd);
  if (!renamed) return false;
  // The rename is only durable once both directories are.
  common::SyncDirectory(WithoutTrailingSeparator(path.DirectoryString()));
  common::SyncDirectory(WithoutTrailingSeparator(sourceFile_.DirectoryString()));
  return true;
}

bool StepWorkObject::RemoveSource() {
  try {
    common::File(sourceFile_).Remove();
    common::SyncDirectory(WithoutTrailingSeparator(sourceFile_.DirectoryString()));
    return true;
  } catch (const common::Exception& e) {
    lastError_ = e.Code();
    KX_LOG(ERROR) << "[StepWorkObject::RemoveSource][" << sourceFile_.ToString() << "][" << e.Text() << "]";
  }
  return false;
}

StepWorkObject::Moved StepWorkObject::Relocate(common::Path& path) {
  lastError_ = 0;
  if (!SourceUnchanged()) {
    KX_LOG(ERROR) << "[StepWorkObject::Relocate][" << sourceFile_.ToString() << "][changed since it was read: left]";
    return Moved::kSourceChanged;
  }
  if (RenameUnique(path)) return Moved::kDone;
  if (!WriteUnique(path, text_)) return Moved::kFailed;
  // Writing takes a while: the file may have changed meanwhile. Then the copy
  // goes again, so the invoice is in one place only.
  const bool unchanged = SourceUnchanged();
  if (unchanged && RemoveSource()) return Moved::kDone;
  const int error = lastError_;
  try {
    common::File(path).Remove();
    common::SyncDirectory(WithoutTrailingSeparator(path.DirectoryString()));
  } catch (const common::Exception& e) {
    KX_LOG(ERROR) << "[StepWorkObject::Relocate][" << path.ToString() << "][copy left beside its source][" << e.Text()
                  << "]";
  }
  lastError_ = error;
  return unchanged ? Moved::kFailed : Moved::kSourceChanged;
}

void StepWorkObject::ReportSystemError() const {
  if (lastError_ == 0) return;
  step_->Report(mlError, mcSystem, lastError_, sourceFile_.ToString(), platform::SystemErrorText(lastError_));
}

bool StepWorkObject::MoveTo() {
  if (Relocate(destinationFile_) == Moved::kDone) {
    Report(mlInfo, kCodePassedOn, step_->SuccessText());
    ++step_->copied_;
    return true;
  }
  ReportSystemError();
  Report(mlWarning, kCodeWriteFailed, step_->FailureText());
  return false;
}

bool StepWorkObject::MoveToError(common::Path* movedTo) {
  // Today's error directory below the work base the step took at its start.
  common::Path target =
      common::InDirectory(step_->GetClientConfig()->Dated(step_->TakenDirectories().error), FileName());
  if (Relocate(target) == Moved::kDone) {
    if (movedTo) *movedTo = target;
    ++step_->errors_;
    return true;
  }
  step_->Report(mlWarning, kCodeWriteFailed, sourceFile_.ToString(), step_->FailureText());
  return false;
}

void StepWorkObject::CopyTo(const common::Path& directory) {
  common::Path target = common::InDirectory(directory, FileName());
  if (WriteUnique(target, text_)) {
    Report(mlInfo, kCodePassedOn, step_->SuccessText());
  } else {
    ReportSystemError();
    Report(mlWarning, kCodeWriteFailed, step_->FailureText());
  }
}

bool StepWorkObject::DeleteSource() {
  lastError_ = 0;
  // What was sent is what was read; a file changed since is another text.
  if (SourceUnchanged() && RemoveSource()) {
    Report(mlInfo, kCodePassedOn, step_->SuccessText());
    ++step_->copied_;
    return true;
  }
  ReportSystemError();
  Report(mlWarning, kCodeWriteFailed, step_->FailureText());
  return false;
}

}  // namespace belmor::korvex
