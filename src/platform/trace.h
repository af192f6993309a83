// The debug trace stream: diagnostic lines a user never sees. Off unless the environment
// variable TULIX_TRACE is set: to a file path (starting with "/") the lines are appended there,
// to anything else they go to standard error.
//
// Thread safety: Trace may be called from any thread; each call writes its text in one piece.
#pragma once

namespace tulix {

bool TraceEnabled();

// printf-style; the caller supplies the line end, as the diagnostic texts carry their own.
void Trace(const char* format, ...) __attribute__((format(printf, 1, 2)));

}  // namespace tulix
