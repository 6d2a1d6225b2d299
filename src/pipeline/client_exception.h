#ifndef KORVEX_PIPELINE_CLIENT_EXCEPTION_H_
#define KORVEX_PIPELINE_CLIENT_EXCEPTION_H_

#include <cstdint>
#include <memory>
#include <string>

#include "common/exception.h"

namespace belmor::korvex {

// A failure the practice must see: it carries the whole report (level, class,
// origin, code, file name, message) and whoever catches it hands that report
// to the session logger unchanged. The report's message and code are also the
// exception's Message() and Code().
//
// Written out rather than made by KORVEX_DECLARE_EXCEPTION because it holds
// members of its own; Clone and Rethrow keep them and the real class.
class ClientException : public common::RuntimeException {
 public:
  ClientException(int32_t level, int32_t mclass, int32_t origin, int32_t code, std::string fileName,
                  const std::string& message)
      : RuntimeException(message, code),
        level_(level),
        class_(mclass),
        origin_(origin),
        fileName_(std::move(fileName)) {}

  const char* Description() const noexcept override { return "Korvex Ordiva client exception"; }
  const char* TypeName() const noexcept override { return "ClientException"; }
  std::unique_ptr<common::Exception> Clone() const override { return std::make_unique<ClientException>(*this); }
  [[noreturn]] void Rethrow() const override { throw ClientException(*this); }

  int32_t Level() const noexcept { return level_; }
  int32_t Class() const noexcept { return class_; }
  int32_t Origin() const noexcept { return origin_; }
  const std::string& FileName() const noexcept { return fileName_; }

 private:
  int32_t level_;
  int32_t class_;
  int32_t origin_;
  std::string fileName_;
};

}  // namespace belmor::korvex

#endif  // KORVEX_PIPELINE_CLIENT_EXCEPTION_H_
