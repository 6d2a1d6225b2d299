#include "engine/processing.h"

#include "engine/korvex.h"
#include "pipeline/step_semaphore.h"

namespace belmor::korvex {

namespace {

struct Entry {
  Processing processing;
  const char* name;
};

constexpr Entry kNames[] = {
    {Processing::Auto, "Auto"},           {Processing::AutoOne, "AutoOne"}, {Processing::Read, "Read"},
    {Processing::Check, "Check"},         {Processing::Anonymize, "Anonymize"}, {Processing::Send, "Send"},
    {Processing::Write, "Write"},
};

}  // namespace

const char* ProcessingName(Processing processing) {
  for (const Entry& entry : kNames) {
    if (entry.processing == processing) return entry.name;
  }
  return "";
}

std::optional<Processing> ProcessingFromName(const std::string& name) {
  for (const Entry& entry : kNames) {
    if (name == entry.name) return entry.processing;
  }
  return std::nullopt;
}

bool BeginProcessing(Korvex& engine, Processing processing, const std::string& fileName) {
  const std::shared_ptr<StepSemaphore>& semaphore = engine.GetStepSemaphore();
  if (semaphore && !semaphore->IsGreen()) return false;
  Korvex::CancelFlag() = false;
  switch (processing) {
    case Processing::Auto:
      Korvex::SetSingleFileMode(false, "");
      Korvex::AutoRunFlag() = true;
      break;
    case Processing::AutoOne:
      Korvex::SetSingleFileMode(true, fileName);
      break;
    default:
      Korvex::SetSingleFileMode(false, "");
      break;
  }
  return true;
}

void RunProcessing(const std::shared_ptr<Korvex>& engine, Processing processing) {
  StepSemaphore::ReleaseAtEnd release(engine->GetStepSemaphore());
  switch (processing) {
    case Processing::Auto:
    case Processing::AutoOne:
      engine->RunReadStep();
      engine->RunValidationStep();
      engine->RunTransformStep();
      engine->RunSendStep();
      break;
    case Processing::Read:
      engine->RunReadStep();
      break;
    case Processing::Check:
      engine->RunValidationStep();
      break;
    case Processing::Anonymize:
      engine->RunTransformStep();
      break;
    case Processing::Send:
      engine->RunSendStep();
      break;
    case Processing::Write:
      engine->RunWriteStep();
      break;
  }
}

}  // namespace belmor::korvex
