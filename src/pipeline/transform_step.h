#ifndef KORVEX_PIPELINE_TRANSFORM_STEP_H_
#define KORVEX_PIPELINE_TRANSFORM_STEP_H_

#include <memory>

#include "pipeline/abstract_step.h"

namespace belmor::korvex {

// Applies the rule's stylesheets to the invoices of work "valid", which
// anonymise them and encrypt their protected parts for the trust center's
// recipients, and writes the result to work "output". Each invoice is
// validated again first: this step also runs on its own.
class TransformStep : public AbstractStep {
 public:
  explicit TransformStep(const std::shared_ptr<StepContext>& engine);

  // Work "valid" to work "output"; starts the security client and loads every
  // recipient certificate of the current center. Without them the run ends
  // (ClientException, code 15) and the invoices stay in work "valid".
  bool Init() override;
  void Handle(const std::shared_ptr<StepWorkObject>& work) override;
};

}  // namespace belmor::korvex

#endif  // KORVEX_PIPELINE_TRANSFORM_STEP_H_
