// Framing of the bridge's messages, in memory and through a pipe.
#include "tools/bridge/message_frame.h"

#include <unistd.h>

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <thread>

namespace tulix::bridge {
namespace {

std::string Header(uint32_t length) {
  std::string header(4, '\0');
  std::memcpy(header.data(), &length, 4);
  return header;
}

TEST(MessageFrame, DecodesWholeCutAndOversizedFrames) {
  const std::string two = EncodeFrame("{\"a\":1}") + EncodeFrame("[]");
  ASSERT_EQ(two.size(), 4u + 7u + 4u + 2u);
  EXPECT_EQ(two.substr(0, 4), Header(7));  // the machine's own byte order

  Frame first = DecodeFrame(two);
  ASSERT_EQ(first.status, FrameStatus::kMessage);
  EXPECT_EQ(first.payload, "{\"a\":1}");
  EXPECT_EQ(first.consumed, 11u);
  Frame second = DecodeFrame(std::string_view(two).substr(first.consumed));
  ASSERT_EQ(second.status, FrameStatus::kMessage);
  EXPECT_EQ(second.payload, "[]");

  // Every cut inside a frame asks for more.
  for (size_t size = 0; size < 11; ++size) {
    Frame cut = DecodeFrame(std::string_view(two).substr(0, size));
    EXPECT_EQ(cut.status, FrameStatus::kIncomplete) << size;
    EXPECT_EQ(cut.announced, size >= 4 ? 7u : 0u);
  }
  EXPECT_EQ(DecodeFrame(Header(0)).status, FrameStatus::kMessage);

  EXPECT_EQ(DecodeFrame(Header(kMaxMessageBytes)).status, FrameStatus::kIncomplete);
  Frame large = DecodeFrame(Header(kMaxMessageBytes + 1));
  EXPECT_EQ(large.status, FrameStatus::kTooLarge);
  EXPECT_EQ(large.announced, kMaxMessageBytes + 1);
  Frame huge = DecodeFrame(Header(0xFFFFFFFFu));
  EXPECT_EQ(huge.status, FrameStatus::kTooLarge);
  EXPECT_EQ(huge.announced, 0xFFFFFFFFu);
}

TEST(MessageFrame, ReaderSkipsOversizedMessagesAndTellsCutInputFromItsEnd) {
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  // Written from a thread: the skipped message is larger than a pipe holds.
  std::thread writer([fd = fds[1]] {
    WriteFrame(fd, "first");
    WriteFrame(fd, std::string(200, 'x'));
    WriteFrame(fd, "");
    WriteFrame(fd, "last");
    close(fd);
  });
  MessageReader reader(fds[0], 100);
  ReadResult read = reader.Next();
  ASSERT_EQ(read.status, ReadStatus::kMessage);
  EXPECT_EQ(read.message, "first");
  read = reader.Next();
  EXPECT_EQ(read.status, ReadStatus::kTooLarge);
  EXPECT_EQ(read.announced, 200u);
  EXPECT_TRUE(read.message.empty());
  read = reader.Next();
  ASSERT_EQ(read.status, ReadStatus::kMessage);
  EXPECT_EQ(read.message, "");
  read = reader.Next();
  ASSERT_EQ(read.status, ReadStatus::kMessage);
  EXPECT_EQ(read.message, "last");
  EXPECT_EQ(reader.Next().status, ReadStatus::kEndOfInput);
  writer.join();
  close(fds[0]);

  for (const std::string& cut :
       {Header(10) + "abc", Header(300) + "abc", std::string("\x05\x00", 2)}) {
    ASSERT_EQ(pipe(fds), 0);
    ASSERT_EQ(write(fds[1], cut.data(), cut.size()), static_cast<ssize_t>(cut.size()));
    close(fds[1]);
    MessageReader cutReader(fds[0], 100);
    read = cutReader.Next();
    EXPECT_EQ(read.status, ReadStatus::kTruncated) << cut.size();
    EXPECT_FALSE(read.error.empty());
    close(fds[0]);
  }
}

}  // namespace
}  // namespace tulix::bridge
