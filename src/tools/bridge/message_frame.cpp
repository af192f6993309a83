#include "tools/bridge/message_frame.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace tulix::bridge {

namespace {

uint32_t HeaderValue(const char* header) {
  uint32_t length = 0;
  std::memcpy(&length, header, sizeof length);
  return length;
}

}  // namespace

Frame DecodeFrame(std::string_view bytes, size_t limit) {
  Frame frame;
  if (bytes.size() < kFrameHeaderBytes) {
    return frame;
  }
  frame.announced = HeaderValue(bytes.data());
  if (frame.announced > limit) {
    frame.status = FrameStatus::kTooLarge;
    return frame;
  }
  const size_t length = static_cast<size_t>(frame.announced);
  if (bytes.size() - kFrameHeaderBytes < length) {
    return frame;
  }
  frame.status = FrameStatus::kMessage;
  frame.payload = bytes.substr(kFrameHeaderBytes, length);
  frame.consumed = kFrameHeaderBytes + length;
  return frame;
}

std::string EncodeFrame(std::string_view payload) {
  const uint32_t length = static_cast<uint32_t>(payload.size());
  std::string frame(kFrameHeaderBytes, '\0');
  std::memcpy(frame.data(), &length, sizeof length);
  frame.append(payload);
  return frame;
}

int64_t MessageReader::ReadFully(char* out, size_t size) {
  char scratch[64 * 1024];
  size_t done = 0;
  while (done < size) {
    const size_t want = out != nullptr ? size - done : std::min(size - done, sizeof scratch);
    const ssize_t got = read(m_fd, out != nullptr ? out + done : scratch, want);
    if (got < 0) {
      if (errno == EINTR) {
        continue;
      }
      return -1;
    }
    if (got == 0) {
      break;
    }
    done += static_cast<size_t>(got);
  }
  return static_cast<int64_t>(done);
}

ReadResult MessageReader::Next() {
  ReadResult result;
  char header[kFrameHeaderBytes];
  const int64_t got = ReadFully(header, sizeof header);
  if (got < 0) {
    result.status = ReadStatus::kError;
    result.error = std::string("reading standard input failed: ") + std::strerror(errno);
    return result;
  }
  if (got == 0) {
    result.status = ReadStatus::kEndOfInput;
    return result;
  }
  if (got < static_cast<int64_t>(sizeof header)) {
    result.status = ReadStatus::kTruncated;
    result.error = "input ended inside a message's length (" + std::to_string(got) + " of 4 bytes)";
    return result;
  }
  Frame frame = DecodeFrame(std::string_view(header, sizeof header), m_limit);
  result.announced = frame.announced;
  const size_t length = static_cast<size_t>(frame.announced);
  if (frame.status != FrameStatus::kTooLarge) {
    result.message.resize(length);
  }
  const int64_t body =
      ReadFully(frame.status == FrameStatus::kTooLarge ? nullptr : result.message.data(), length);
  if (body < 0) {
    result.status = ReadStatus::kError;
    result.error = std::string("reading standard input failed: ") + std::strerror(errno);
    result.message.clear();
    return result;
  }
  if (static_cast<size_t>(body) < length) {
    result.status = ReadStatus::kTruncated;
    result.error = "input ended inside a message: " + std::to_string(body) + " of " +
                   std::to_string(length) + " bytes";
    result.message.clear();
    return result;
  }
  result.status =
      frame.status == FrameStatus::kTooLarge ? ReadStatus::kTooLarge : ReadStatus::kMessage;
  return result;
}

bool WriteFrame(int fd, std::string_view payload) {
  const std::string frame = EncodeFrame(payload);
  size_t done = 0;
  while (done < frame.size()) {
    const ssize_t wrote = write(fd, frame.data() + done, frame.size() - done);
    if (wrote < 0) {
      if (errno == EINTR) {
        continue;
      }
      return false;
    }
    done += static_cast<size_t>(wrote);
  }
  return true;
}

}  // namespace tulix::bridge
