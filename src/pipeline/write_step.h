#ifndef KORVEX_PIPELINE_WRITE_STEP_H_
#define KORVEX_PIPELINE_WRITE_STEP_H_

#include <memory>

#include "pipeline/abstract_step.h"

namespace belmor::korvex {

// Hands the responses received from the trust center (work "responses") to
// the practice's response directory. With the "archive" setting on, a copy
// of each also goes into today's "responses-archive" directory.
class WriteStep : public AbstractStep {
 public:
  explicit WriteStep(const std::shared_ptr<StepContext>& engine);

  bool Init() override;
  void Handle(const std::shared_ptr<StepWorkObject>& work) override;
};

}  // namespace belmor::korvex

#endif  // KORVEX_PIPELINE_WRITE_STEP_H_
