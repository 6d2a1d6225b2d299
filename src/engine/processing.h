#ifndef KORVEX_ENGINE_PROCESSING_H_
#define KORVEX_ENGINE_PROCESSING_H_

#include <memory>
#include <optional>
#include <string>

namespace belmor::korvex {

class Korvex;

// The processing calls a client can make, each a fixed sequence of steps.
enum class Processing { Auto, AutoOne, Read, Check, Anonymize, Send, Write };

// "Auto", "AutoOne", "Read", "Check", "Anonymize", "Send", "Write".
const char* ProcessingName(Processing processing);
std::optional<Processing> ProcessingFromName(const std::string& name);

// The start of a processing call, on the caller's thread: takes the step
// lock without waiting (false: a run is active, nothing changes), clears the
// cancel flag and sets the run mode (single-file mode with fileName for
// AutoOne; the auto-run flag for Auto and AutoOne).
bool BeginProcessing(Korvex& engine, Processing processing, const std::string& fileName = "");

// The worker's part: the steps of the call in order, then the step lock is
// given back however the steps ended. Every step failure is reported by the
// engine and never leaves this call.
void RunProcessing(const std::shared_ptr<Korvex>& engine, Processing processing);

}  // namespace belmor::korvex

#endif  // KORVEX_ENGINE_PROCESSING_H_
