#include "common/exception.h"

#include <utility>

namespace belmor::common {

Exception::Exception(std::string message, int32_t code) : message_(std::move(message)), code_(code) {}

Exception::Exception(std::string message, const std::string& subject, int32_t code)
    : message_(std::move(message)), code_(code) {
  if (!subject.empty()) {
    message_ += ": ";
    message_ += subject;
  }
}

Exception::Exception(std::string message, const Exception& cause, int32_t code)
    : message_(std::move(message)), cause_(cause.Clone()), code_(code) {}

Exception::Exception(const Exception& other)
    : std::exception(other),
      message_(other.message_),
      cause_(other.cause_ ? other.cause_->Clone() : nullptr),
      code_(other.code_) {}

Exception& Exception::operator=(const Exception& other) {
  if (this != &other) {
    message_ = other.message_;
    cause_ = other.cause_ ? other.cause_->Clone() : nullptr;
    code_ = other.code_;
    what_.clear();
  }
  return *this;
}

Exception::~Exception() = default;

const char* Exception::what() const noexcept {
  try {
    what_ = Text();
    return what_.c_str();
  } catch (...) {
    return Description();
  }
}

const char* Exception::Description() const noexcept { return "Exception"; }
const char* Exception::TypeName() const noexcept { return "Exception"; }
const char* Exception::Name() const noexcept { return Description(); }

std::unique_ptr<Exception> Exception::Clone() const { return std::make_unique<Exception>(*this); }

void Exception::Rethrow() const { throw Exception(*this); }

std::string Exception::Text() const {
  std::string text = Description();
  if (!message_.empty()) {
    text += ": ";
    text += message_;
  }
  return text;
}

std::string Exception::ChainText() const {
  std::string text = Text();
  for (const Exception* c = cause_.get(); c != nullptr; c = c->Cause()) {
    text += " <- ";
    text += c->Text();
  }
  return text;
}

}  // namespace belmor::common
