#ifndef KORVEX_FUZZ_FUZZ_TEMP_DIR_H_
#define KORVEX_FUZZ_FUZZ_TEMP_DIR_H_

#include <cstddef>
#include <cstdint>
#include <string>

namespace belmor::fuzz {

// A directory of this process alone, made at the first call and removed at
// exit. It lies in /dev/shm when there is one: the readers under test flush
// what they write, and on a memory file system that costs nothing, so the
// fuzzer runs thousands of inputs a second instead of a few hundred.
const std::string& PrivateDir();

// Writes the input as the file at path (created or truncated, not flushed).
void WriteInput(const std::string& path, const uint8_t* data, size_t size);

// Removes everything in PrivateDir().
void ClearPrivateDir();

// Ends the process with a report libFuzzer keeps as a finding: the reader
// broke a promise of its interface for this input.
[[noreturn]] void Broken(const char* what);

}  // namespace belmor::fuzz

#endif  // KORVEX_FUZZ_FUZZ_TEMP_DIR_H_
