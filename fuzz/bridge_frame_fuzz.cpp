// The bridge's message reader on an arbitrary byte stream: frames are decoded one after the
// other as the bridge reads its standard input, each whole message is read as JSON, and a
// message that decodes must encode back to the very bytes it came from.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "fuzz_support.h"
#include "tools/bridge/json_value.h"
#include "tools/bridge/message_frame.h"
namespace bridge = tulix::bridge;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view rest(reinterpret_cast<const char*>(data), size);
  // A small limit too, so the fuzzer reaches the over-long path without megabytes of input.
  for (size_t limit : {bridge::kMaxMessageBytes, size_t{64}}) {
    std::string_view stream = rest;
    while (!stream.empty()) {
      const bridge::Frame frame = bridge::DecodeFrame(stream, limit);
      if (frame.status == bridge::FrameStatus::kIncomplete) {
        break;
      }
      if (frame.status == bridge::FrameStatus::kTooLarge) {
        FUZZ_CHECK(frame.announced > limit);
        const uint64_t skip = bridge::kFrameHeaderBytes + frame.announced;
        if (skip >= stream.size()) {
          break;
        }
        stream.remove_prefix(static_cast<size_t>(skip));
        continue;
      }
      FUZZ_CHECK(frame.consumed == bridge::kFrameHeaderBytes + frame.payload.size());
      FUZZ_CHECK(frame.consumed <= stream.size() && frame.payload.size() <= limit);
      FUZZ_CHECK(bridge::EncodeFrame(frame.payload) == stream.substr(0, frame.consumed));
      bridge::ParseJson(frame.payload);
      stream.remove_prefix(frame.consumed);
    }
  }
  return 0;
}
