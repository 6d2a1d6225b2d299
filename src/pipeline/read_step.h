#ifndef KORVEX_PIPELINE_READ_STEP_H_
#define KORVEX_PIPELINE_READ_STEP_H_

#include <memory>

#include "pipeline/abstract_step.h"

namespace belmor::korvex {

// Takes the invoice files the billing software dropped into the invoice
// directory into the work area's "input" directory. A file whose name is
// already there arrives under the next free "name.n.xml".
class ReadStep : public AbstractStep {
 public:
  explicit ReadStep(const std::shared_ptr<StepContext>& engine);

  // Invoice directory to work "input"; a directory that is missing or cannot
  // be read and written ends the run with a ClientException.
  bool Init() override;
  void Handle(const std::shared_ptr<StepWorkObject>& work) override;
};

}  // namespace belmor::korvex

#endif  // KORVEX_PIPELINE_READ_STEP_H_
