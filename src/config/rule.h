#ifndef KORVEX_CONFIG_RULE_H_
#define KORVEX_CONFIG_RULE_H_

#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "config/documents.h"

namespace belmor::korvex {

// A named document of the trust center's package applied to invoices. The
// document arrives when the configuration's caches are applied and may be
// absent until then (or for good, when the package lacks it).
template <typename T>
class Action {
 public:
  explicit Action(std::string name) : name_(std::move(name)) {}
  virtual ~Action() = default;

  const std::string& Name() const { return name_; }
  const T& Document() const { return document_; }
  void SetDocument(T document) { document_ = std::move(document); }

 private:
  std::string name_;
  T document_;
};

// A schema an invoice must pass.
class Validator : public Action<std::shared_ptr<XsdDoc>> {
 public:
  using Action::Action;
  // Raises RuntimeException "[Validator::Apply][no valid schema]" without a
  // usable schema; otherwise the validation result.
  virtual bool Apply(const XmlDoc& document, xmlStructuredErrorFunc handler, void* context);
  virtual bool Apply(const XmlDoc& document);
};

// A stylesheet applied to an invoice, with the parameters the transform step
// sets before each use.
class Transformer : public Action<std::shared_ptr<XslDoc>> {
 public:
  using Action::Action;
  // Raises RuntimeException "[Transformer::Apply][no valid stylesheet]" without
  // a usable stylesheet; otherwise the result (empty when the transformation failed).
  virtual std::shared_ptr<XmlDoc> Apply(const XmlDoc& document);

  std::map<std::string, std::string>& Parameters() { return parameters_; }
  const std::map<std::string, std::string>& Parameters() const { return parameters_; }

 private:
  std::map<std::string, std::string> parameters_;
};

// The selection expression of a rule: extended POSIX syntax, case-insensitive,
// matching anywhere in the invoice text. Every step asks every rule for every
// invoice, so the expression is compiled once, at the first search, and the
// compiled form serves all later ones; searches from several threads may
// share one object. An expression of plain characters is looked for by a
// plain search first, so a rule that does not apply costs a fast pass over the
// invoice instead of the matcher's; the answers are the matcher's either way.
class RuleRegex {
 public:
  explicit RuleRegex(std::string expression);
  ~RuleRegex();
  RuleRegex(const RuleRegex&) = delete;
  RuleRegex& operator=(const RuleRegex&) = delete;

  const std::string& Expression() const { return expression_; }
  // Raises RuntimeException on an empty expression; an expression that does not
  // compile never matches (and is logged at every search).
  bool IsValid(const std::string& text) const;

 private:
  struct Compiled;

  std::string expression_;
  mutable std::once_flag compileOnce_;
  mutable std::unique_ptr<Compiled> compiled_;
};

// One processing rule of the trust-center configuration.
class Rule {
 public:
  const std::string& Version() const { return version_; }
  void SetVersion(std::string version) { version_ = std::move(version); }

  const std::shared_ptr<RuleRegex>& Selection() const { return selection_; }
  void SetSelection(std::shared_ptr<RuleRegex> selection) { selection_ = std::move(selection); }

  const std::shared_ptr<Transformer>& DuplicateCheck() const { return duplicateCheck_; }
  void SetDuplicateCheck(std::shared_ptr<Transformer> t) { duplicateCheck_ = std::move(t); }

  const std::vector<std::shared_ptr<Validator>>& Validators() const { return validators_; }
  void AddValidator(std::shared_ptr<Validator> v) { validators_.push_back(std::move(v)); }

  const std::vector<std::shared_ptr<Transformer>>& Transformers() const { return transformers_; }
  void AddTransformer(std::shared_ptr<Transformer> t) { transformers_.push_back(std::move(t)); }

  // Whether every validator and transformer holds a usable document, the
  // duplicate check exists and the version is set; the first failing check is
  // logged. The selection expression is not checked.
  bool Good() const;

 private:
  std::string version_;
  std::shared_ptr<RuleRegex> selection_;
  std::shared_ptr<Transformer> duplicateCheck_;
  std::vector<std::shared_ptr<Validator>> validators_;
  std::vector<std::shared_ptr<Transformer>> transformers_;
};

}  // namespace belmor::korvex

#endif  // KORVEX_CONFIG_RULE_H_
