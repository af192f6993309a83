// Recipient lists, names and texts of a mail alert from arbitrary input, as the user's settings
// and the log could give them. The input's lines are the To, Cc and Bcc lists, the sender's name
// and address, the subject, and (all the rest) the body. Whatever they hold, the message's
// header must keep its own lines (no value may start a header line or end the block), no
// address may break out of "RCPT TO:<...>", the body must not end the DATA block early, and the
// quoted-printable body must decode back to the prepared text.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz_support.h"
#include "mail/mime_message.h"

namespace {

std::vector<std::string_view> Lines(std::string_view text, size_t count) {
  std::vector<std::string_view> lines;
  while (lines.size() + 1 < count) {
    const size_t end = text.find('\n');
    if (end == std::string_view::npos) {
      break;
    }
    lines.push_back(text.substr(0, end));
    text.remove_prefix(end + 1);
  }
  lines.push_back(text);
  lines.resize(count);
  return lines;
}

bool StartsWith(std::string_view text, std::string_view prefix) {
  return text.substr(0, prefix.size()) == prefix;
}

void CheckAddress(const tulix::CSMTPAddress& address) {
  FUZZ_CHECK(!address.m_emailAddress.empty());
  FUZZ_CHECK(address.IsSafe());
  for (unsigned char c : address.m_emailAddress) {
    FUZZ_CHECK(c >= 32 && c != 127 && c != '<' && c != '>');
  }
  for (unsigned char c : address.m_friendlyName) {
    FUZZ_CHECK(c >= 32 && c != 127);
  }
}

// The header block: lines ended by CR LF, each one of the message's own, then the empty line.
void CheckHeader(std::string_view header) {
  constexpr std::string_view kNames[] = {
      "From: ",         "To: ",         "Cc: ",          "Subject: ",
      "Date: ",         "X-Mailer: ",   "MIME-Version: ", "Content-Type: ",
      "Content-Transfer-Encoding: ",    "Reply-To: "};
  size_t start = 0;
  while (true) {
    const size_t end = header.find("\r\n", start);
    FUZZ_CHECK(end != std::string_view::npos);
    const std::string_view line = header.substr(start, end - start);
    FUZZ_CHECK(line.find_first_of("\r\n") == std::string_view::npos);
    start = end + 2;
    if (line.empty()) {
      break;
    }
    bool known = false;
    for (std::string_view name : kNames) {
      known = known || StartsWith(line, name);
    }
    FUZZ_CHECK(known);
  }
  FUZZ_CHECK(start == header.size());
}

std::string DecodeQuotedPrintable(std::string_view text) {
  const auto hex = [](char c) {
    return c >= '0' && c <= '9' ? c - '0' : c >= 'A' && c <= 'F' ? c - 'A' + 10 : -1;
  };
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '=') {
      out += text[i];
      continue;
    }
    if (text.substr(i + 1, 2) == "\r\n") {
      i += 2;
      continue;
    }
    FUZZ_CHECK(i + 2 < text.size() && hex(text[i + 1]) >= 0 && hex(text[i + 2]) >= 0);
    out += static_cast<char>(hex(text[i + 1]) * 16 + hex(text[i + 2]));
    i += 2;
  }
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::vector<std::string_view> in =
      Lines(std::string_view(reinterpret_cast<const char*>(data), size), 7);
  tulix::CSMTPMessage message;
  message.AddMultipleRecipients(in[0], tulix::RecipientKind::To);
  message.AddMultipleRecipients(in[1], tulix::RecipientKind::Cc);
  message.AddMultipleRecipients(in[2], tulix::RecipientKind::Bcc);
  message.SetFrom({std::string(in[3]), std::string(in[4])});
  message.SetReplyTo({std::string(in[3]), std::string(in[4])});
  message.SetSubject(in[5]);
  message.AddTextBody(in[6]);

  for (auto kind : {tulix::RecipientKind::To, tulix::RecipientKind::Cc, tulix::RecipientKind::Bcc}) {
    for (const tulix::CSMTPAddress& address : message.GetRecipients(kind)) {
      CheckAddress(address);
    }
  }
  CheckHeader(message.GetHeader("Tue, 07 Mar 2023 14:05:09 +0100"));
  const std::string body = message.GetBodyText();
  FUZZ_CHECK(("\r\n" + body + "\r\n").find("\r\n.\r\n") == std::string::npos);

  const std::string prepared = tulix::PrepareBodyText(in[6]);
  const std::string encoded = tulix::EncodeQuotedPrintable(prepared);
  FUZZ_CHECK(DecodeQuotedPrintable(encoded) == prepared);
  size_t lineStart = 0;
  for (size_t end = encoded.find('\n'); lineStart < encoded.size();
       end = encoded.find('\n', lineStart)) {
    if (end == std::string::npos) {
      end = encoded.size();
    }
    FUZZ_CHECK(end - lineStart <= 80);
    lineStart = end + 1;
  }
  return 0;
}
