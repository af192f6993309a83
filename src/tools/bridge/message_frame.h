// The native-messaging frame: each message is its length as a 32-bit unsigned number in the
// machine's own byte order, then that many bytes of UTF-8 JSON. Browsers send the host
// messages this way on its standard input and read its answers the same way on its standard
// output.
//
// DecodeFrame works on bytes in memory (what a fuzzer feeds it); MessageReader reads frames
// from a file descriptor with the same rules. Neither keeps state beyond its own object; a
// MessageReader belongs to one thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace tulix::bridge {

// Browsers send at most 1 MB to a host and accept at most 1 MB from one; the host holds
// itself to the same bound both ways.
inline constexpr size_t kMaxMessageBytes = 1024 * 1024;
inline constexpr size_t kFrameHeaderBytes = 4;

enum class FrameStatus {
  kMessage,     // a whole message: `payload` and `consumed` are set
  kIncomplete,  // more bytes are needed; `announced` is set once the header is whole
  kTooLarge,    // the header announces more than the limit: `announced` is set, and the frame
                // takes kFrameHeaderBytes + announced bytes of the stream
};

struct Frame {
  FrameStatus status = FrameStatus::kIncomplete;
  std::string_view payload;  // points into the decoded bytes
  size_t consumed = 0;       // bytes of the input the frame took (kMessage only)
  uint64_t announced = 0;    // the header's length
};

// The first frame of `bytes`.
Frame DecodeFrame(std::string_view bytes, size_t limit = kMaxMessageBytes);

// `payload` with its header, ready to write.
std::string EncodeFrame(std::string_view payload);

enum class ReadStatus {
  kMessage,     // `message` holds the payload
  kTooLarge,    // the message was read past and dropped; `announced` is its length
  kEndOfInput,  // the input ended between messages
  kTruncated,   // the input ended inside a message; `error` says where
  kError,       // reading failed; `error` says why
};

struct ReadResult {
  ReadStatus status = ReadStatus::kEndOfInput;
  std::string message;
  uint64_t announced = 0;
  std::string error;
};

// Reads messages one by one from `fd`, blocking. A message over the limit is skipped whole, so
// the next one is read from its own header.
class MessageReader {
 public:
  explicit MessageReader(int fd, size_t limit = kMaxMessageBytes) : m_fd(fd), m_limit(limit) {}

  ReadResult Next();

 private:
  // Reads exactly `size` bytes into `out` (or drops them when `out` is null); how many bytes
  // were read before end of input, or -1 on an error (errno set).
  int64_t ReadFully(char* out, size_t size);

  int m_fd;
  size_t m_limit;
};

// Writes one frame to `fd`, all of it; false when writing fails.
bool WriteFrame(int fd, std::string_view payload);

}  // namespace tulix::bridge
