#include "config/rule.h"

#include <tre/tre.h>

#include "common/exception.h"
#include "logging/log.h"

namespace belmor::korvex {

using common::RuntimeException;

bool Validator::Apply(const XmlDoc& document, xmlStructuredErrorFunc handler, void* context) {
  if (!Document() || !Document()->Good()) throw RuntimeException("[Validator::Apply][no valid schema]");
  return Document()->Validate(document, handler, context);
}

bool Validator::Apply(const XmlDoc& document) { return Apply(document, nullptr, nullptr); }

std::shared_ptr<XmlDoc> Transformer::Apply(const XmlDoc& document) {
  if (!Document() || !Document()->Good()) throw RuntimeException("[Transformer::Apply][no valid stylesheet]");
  return Document()->Transform(document, parameters_);
}

bool RuleRegex::IsValid(const std::string& text) const {
  if (expression_.empty()) throw RuntimeException("[RuleRegex::IsValid][empty expression]");
  regex_t regex;
  int rc = tre_regncomp(&regex, expression_.data(), expression_.size(), REG_EXTENDED | REG_ICASE);
  if (rc != REG_OK) {
    char message[1025];
    tre_regerror(rc, &regex, message, sizeof message);
    KX_LOG(DEBUG) << "[RuleRegex::IsValid][regex error: " << message << "]";
    return false;
  }
  regmatch_t matches[10];
  // The length-aware search: invoice texts may hold NUL bytes.
  int found = tre_regnexec(&regex, text.data(), text.size(), 10, matches, 0);
  tre_regfree(&regex);
  return found == REG_OK;
}

bool Rule::Good() const {
  if (validators_.empty()) {
    KX_LOG(DEBUG) << "[Rule::Good][validators empty]";
    return false;
  }
  for (const auto& v : validators_) {
    if (!v || !v->Document() || !v->Document()->Good() || v->Name().empty()) {
      KX_LOG(DEBUG) << "[Rule::Good][validator " << (v ? v->Name() : std::string()) << " failed]";
      return false;
    }
  }
  if (transformers_.empty()) {
    KX_LOG(DEBUG) << "[Rule::Good][transformers empty]";
    return false;
  }
  for (const auto& t : transformers_) {
    if (!t || !t->Document() || !t->Document()->Good() || t->Name().empty()) {
      KX_LOG(DEBUG) << "[Rule::Good][transformer  " << (t ? t->Name() : std::string()) << " failed]";
      return false;
    }
  }
  const auto& d = duplicateCheck_;
  if (!d || !d->Document() || !d->Document()->Good() || d->Name().empty()) {
    KX_LOG(DEBUG) << "[Rule::Good][get_duplicate_check_transformer failed]";
    return false;
  }
  if (version_.empty()) {
    KX_LOG(DEBUG) << "[Rule::Good][version empty]";
    return false;
  }
  return true;
}

}  // namespace belmor::korvex
