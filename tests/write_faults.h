// Write failures on demand, for the tests of what a full or failing disk leaves behind.
//
// The test program defines write, pwrite, pwrite64 and writev itself (write_faults.cpp), so every
// write of the process, the SQLite library's and the sanitizer runtime's callers included, passes
// through them before reaching the next definition (the sanitizer's interceptor, then the C
// library). While a WriteFaults object lives, the calls on files below its folder are counted,
// and the chosen one fails with the chosen error without writing anything. Descriptors elsewhere
// (the test's own output, pipes, sockets) are never touched.
//
// Thread safety: one WriteFaults at a time; the writes it watches may come from any thread.
#pragma once

#include <cerrno>
#include <string>

namespace tulix::test {

class WriteFaults {
 public:
  // Watches the files below `folder`. With failAt > 0 the failAt-th call on them fails with
  // `error`; the calls after it succeed again, as they may on a disk that had a moment's trouble.
  explicit WriteFaults(const std::string& folder, int failAt = 0, int error = ENOSPC);
  ~WriteFaults();
  WriteFaults(const WriteFaults&) = delete;
  WriteFaults& operator=(const WriteFaults&) = delete;

  // The write calls seen on files below the folder so far.
  int Calls() const;
  // True once the chosen call has failed.
  bool Injected() const;
  // The file the failed call wrote to (its real path); empty before.
  std::string FailedPath() const;
};

}  // namespace tulix::test
