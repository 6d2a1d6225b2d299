#ifndef KORVEX_COMMON_DURABLE_FILE_H_
#define KORVEX_COMMON_DURABLE_FILE_H_

#include <sys/types.h>

#include <string>

#include "common/file.h"

namespace belmor::common {

// Writing files so that a crash, a full disk or a killed process never leaves
// a half-written one where a reader looks. Invoices, settings and logs of sent
// invoices all go through here. Failures raise the file exceptions.

// Mode of every temporary while it is written: owner only, whatever the umask.
inline constexpr mode_t kTemporaryMode = kPrivateFileMode;

// Writes bytes to a new file in directory named prefix + a unique suffix,
// flushes it to disk and closes it, checking every step; answers its path. A
// file that could not be written completely is removed before raising. The
// file is created with kTemporaryMode and gets exactly mode, whatever the
// umask, once all bytes are in. Files of this product hold patient data or
// credentials, so the default is owner only.
std::string WriteDurableTemporary(const std::string& directory, const std::string& prefix,
                                  const std::string& bytes, mode_t mode = kTemporaryMode);

// Gives temp the name target unless an entry of that name exists; answers
// false then and leaves both alone. Both must lie on one file system.
bool RenameNoReplace(const std::string& temp, const std::string& target);

// Replaces path by a file holding bytes: a reader, and a crash at any moment,
// sees either the old content or the new one, never a mix or a truncated file.
// The new file has exactly mode (see WriteDurableTemporary).
void ReplaceFileAtomically(const std::string& path, const std::string& bytes, mode_t mode = kTemporaryMode);

// Removes the temporaries that ReplaceFileAtomically of path left behind in
// a process that has ended (killed between writing one and its rename). Those
// of a process still running are left: it may be about to rename one. Never
// raises; ReplaceFileAtomically does this itself, and a reader that only
// appends to path afterwards calls it once at its start.
void RemoveStaleReplacements(const std::string& path);

// Appends bytes to the file at path, creating it with exactly mode when it is
// missing, and flushes the data to disk before it answers: once it returns,
// the bytes survive a crash. A failure raises; the bytes may then be partly
// there, so a reader of such a file must take a last line without its end
// for nothing.
void AppendDurably(const std::string& path, const std::string& bytes, mode_t mode = kTemporaryMode);

// Flushes a directory's entries (a rename or a new name) to disk; failures are
// ignored, as some file systems cannot sync directories.
void SyncDirectory(const std::string& directory);

// The prefix of temporary names; no step or directory listing picks these up.
inline constexpr const char* kTemporaryPrefix = ".kx-tmp-";

}  // namespace belmor::common

#endif  // KORVEX_COMMON_DURABLE_FILE_H_
