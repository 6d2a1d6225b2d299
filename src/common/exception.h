#ifndef KORVEX_COMMON_EXCEPTION_H_
#define KORVEX_COMMON_EXCEPTION_H_

#include <cstdint>
#include <exception>
#include <memory>
#include <string>

namespace belmor::common {

// Root of every failure the system raises. An exception carries a message, an
// optional system error code and an optional cause: the exception that led to
// this one, kept as an owned copy of its real class so the chain survives
// after the original is gone. Text() is what logs and users see.
class Exception : public std::exception {
 public:
  explicit Exception(std::string message = std::string(), int32_t code = 0);
  // The message becomes message + ": " + subject when the subject is not empty.
  Exception(std::string message, const std::string& subject, int32_t code = 0);
  Exception(std::string message, const Exception& cause, int32_t code = 0);
  Exception(const Exception& other);
  Exception& operator=(const Exception& other);
  ~Exception() override;

  // Text() of the exception, so that code catching std::exception still reports
  // something useful.
  const char* what() const noexcept override;

  // The fixed text of the class, e.g. "File not found".
  virtual const char* Description() const noexcept;
  // The run-time type name, e.g. "FileNotFoundException".
  virtual const char* TypeName() const noexcept;
  // Same as Description(); kept for callers that ask the exception for its name.
  virtual const char* Name() const noexcept;
  // A heap copy of the same class.
  virtual std::unique_ptr<Exception> Clone() const;
  // Throws a copy of the same class.
  [[noreturn]] virtual void Rethrow() const;

  const std::string& Message() const noexcept { return message_; }
  const Exception* Cause() const noexcept { return cause_.get(); }
  int32_t Code() const noexcept { return code_; }

  // Description(), then ": " and the message when the message is not empty.
  std::string Text() const;
  // Text() followed by the Text() of every cause, each after " <- "; for debug lines.
  std::string ChainText() const;

 private:
  std::string message_;
  std::unique_ptr<Exception> cause_;
  int32_t code_ = 0;
  mutable std::string what_;
};

}  // namespace belmor::common

// Declares an exception class with its description. Every class of the tree,
// here and in the other subsystems, is made by this macro so that Clone and
// Rethrow can never forget to keep the real class.
#define KORVEX_DECLARE_EXCEPTION(NAME, BASE, DESCRIPTION)                                 \
  class NAME : public BASE {                                                              \
   public:                                                                                \
    using KorvexBase = BASE;                                                              \
    using KorvexBase::KorvexBase;                                                         \
    const char* Description() const noexcept override { return DESCRIPTION; }           \
    const char* TypeName() const noexcept override { return #NAME; }                    \
    std::unique_ptr<::belmor::common::Exception> Clone() const override {                \
      return std::make_unique<NAME>(*this);                                               \
    }                                                                                     \
    [[noreturn]] void Rethrow() const override { throw NAME(*this); }                    \
  }

namespace belmor::common {

KORVEX_DECLARE_EXCEPTION(RuntimeException, Exception, "Runtime exception");
KORVEX_DECLARE_EXCEPTION(ApplicationException, Exception, "Application exception");
KORVEX_DECLARE_EXCEPTION(IOException, RuntimeException, "I/O error");
KORVEX_DECLARE_EXCEPTION(FileException, IOException, "File access error");
KORVEX_DECLARE_EXCEPTION(FileExistsException, FileException, "File exists");
KORVEX_DECLARE_EXCEPTION(FileNotFoundException, FileException, "File not found");
KORVEX_DECLARE_EXCEPTION(FileReadOnlyException, FileException, "File is read-only");
KORVEX_DECLARE_EXCEPTION(FileAccessDeniedException, FileException, "Access to file denied");
KORVEX_DECLARE_EXCEPTION(CreateFileException, FileException, "Cannot create file");
KORVEX_DECLARE_EXCEPTION(WriteFileException, FileException, "Cannot write file");
KORVEX_DECLARE_EXCEPTION(ReadFileException, FileException, "Cannot read file");

}  // namespace belmor::common

#endif  // KORVEX_COMMON_EXCEPTION_H_
