// Standard error as the destination of the log: redirecting file descriptor 2 to the log file
// and writing whole lines to it.
//
// Everything written to descriptor 2, by the log or by any other code of the process, ends up
// in the same place, so stray diagnostics land in the log file too once it is open.
//
// Thread safety: WriteStandardError may be called from any thread at any time, also while
// another thread redirects; each call's bytes go in one write() where the system allows.
// RedirectStandardErrorToFile is meant for start-up but is safe to race with writers (dup2
// replaces the descriptor atomically).
#pragma once

#include <string_view>

namespace tulix {

// Opens the file (internal path; created when missing, emptied when present, written at its
// end) and makes it descriptor 2 of the process. The descriptor it was opened on is closed.
// Returns false when the file cannot be opened or put in place; descriptor 2 is then left as
// it was.
bool RedirectStandardErrorToFile(std::string_view path);

// Writes all the bytes to descriptor 2 in one write() call. Should the system take fewer bytes
// (a signal, a pipe or terminal as standard error), the rest follows in further calls, so
// nothing is lost. Returns false when a write fails; the bytes not yet written are dropped.
bool WriteStandardError(std::string_view bytes);

}  // namespace tulix
