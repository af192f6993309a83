#include "mail/mime_message.h"

#include <gtest/gtest.h>

#include <cctype>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "platform/clock.h"
#include "platform/last_error.h"

namespace tulix {
namespace {

// Undoes quoted-printable: soft breaks vanish, "=XX" becomes its byte.
std::string DecodeQuotedPrintable(std::string_view s) {
  std::string out;
  for (size_t i = 0; i < s.size(); ++i) {
    if (s[i] != '=') {
      out += s[i];
    } else if (s.substr(i + 1, 2) == "\r\n") {
      i += 2;
    } else {
      out += static_cast<char>(std::stoi(std::string(s.substr(i + 1, 2)), nullptr, 16));
      i += 2;
    }
  }
  return out;
}

std::vector<std::string> SplitLines(const std::string& text) {
  std::vector<std::string> lines;
  size_t start = 0;
  for (size_t end; (end = text.find("\r\n", start)) != std::string::npos; start = end + 2) {
    lines.push_back(text.substr(start, end - start));
  }
  lines.push_back(text.substr(start));
  return lines;
}

std::tm Civil(int year, int month, int day, int hour, int minute, int second) {
  std::tm t{};
  t.tm_year = year - 1900;
  t.tm_mon = month - 1;
  t.tm_mday = day;
  t.tm_hour = hour;
  t.tm_min = minute;
  t.tm_sec = second;
  return t;
}

TEST(MimeText, PreparationMakesCrLfAndDoublesLeadingStops) {
  EXPECT_EQ(PrepareBodyText("line1\rline2\n.line3"), "line1\r\nline2\r\n..line3");
  EXPECT_EQ(PrepareBodyText("a\r\n.\r\n..b"), "a\r\n..\r\n...b");
  EXPECT_EQ(PrepareBodyText("a\r\r\nb\n\rc"), "a\r\n\r\nb\r\n\r\nc");
  EXPECT_EQ(PrepareBodyText("a.b\n.\n"), "a.b\r\n..\r\n");
  // The first line stands at a line start on the wire too.
  EXPECT_EQ(PrepareBodyText(".hidden"), "..hidden");
  EXPECT_EQ(PrepareBodyText(""), "");

  CSMTPBodyPart part("b");
  part.SetContentType("text/html");
  part.SetText("x\ny");
  EXPECT_EQ(part.GetText(), "x\r\ny");
  EXPECT_EQ(part.GetContentType(), "text/plain");
}

TEST(MimeHeaderEncoding, AsciiUnchangedOtherwiseOneQEncodedWord) {
  EXPECT_EQ(EncodeHeaderValue("Tulix Alert: a=b?_c", "iso-8859-1"), "Tulix Alert: a=b?_c");
  EXPECT_EQ(EncodeHeaderValue("Caf\xE9 au lait", "iso-8859-1"), "=?iso-8859-1?q?Caf=E9_au_lait?=");
  EXPECT_EQ(EncodeHeaderValue("=?_\xff", "utf-8"), "=?utf-8?q?=3D=3F=5F=FF?=");
  EXPECT_EQ(EncodeHeaderValue("", "utf-8"), "");

  CSMTPMessage message;
  message.SetSubject("R\xE9sum\xE9 ready");
  EXPECT_NE(message.GetHeader("D").find("\r\nSubject: =?iso-8859-1?q?R=E9sum=E9_ready?=\r\n"),
            std::string::npos);
}

TEST(MimeQuotedPrintable, EscapesEqualsControlAndHighBytesInUpperCase) {
  EXPECT_EQ(EncodeQuotedPrintable("a=b"), "a=3Db");
  EXPECT_EQ(EncodeQuotedPrintable(std::string("\x7f\x80\xff\x01\0", 5)), "=7F=80=FF=01=00");
  EXPECT_EQ(EncodeQuotedPrintable("!~<> \t\r\nz"), "!~<> \t\r\nz");
  EXPECT_EQ(EncodeQuotedPrintable("\xab\xcd"), "=AB=CD");
}

TEST(MimeQuotedPrintable, CutsLinesAtBlanksOrEscapeEndsWithoutSplittingEscapes) {
  const std::string a76(76, 'a');
  EXPECT_EQ(EncodeQuotedPrintable(std::string(100, 'a')), a76 + "=\r\n" + std::string(24, 'a'));
  // Exactly 76 characters need no break; a hard line end starts the count again.
  EXPECT_EQ(EncodeQuotedPrintable(a76), a76);
  EXPECT_EQ(EncodeQuotedPrintable(std::string(70, 'a') + "\r\n" + std::string(70, 'b')),
            std::string(70, 'a') + "\r\n" + std::string(70, 'b'));
  // The nearest blank wins over the 76-character cut.
  EXPECT_EQ(EncodeQuotedPrintable(std::string(70, 'a') + " " + std::string(20, 'b')),
            std::string(70, 'a') + " =\r\n" + std::string(20, 'b'));
  // So does the end of an escape.
  EXPECT_EQ(EncodeQuotedPrintable(std::string(72, 'a') + "\xE9" + std::string(10, 'b')),
            std::string(72, 'a') + "=E9=\r\n" + std::string(10, 'b'));
  // An escape across the 76th character moves to the next line whole.
  EXPECT_EQ(EncodeQuotedPrintable(std::string(74, 'a') + "\xE9" + std::string(10, 'b')),
            std::string(74, 'a') + "=\r\n=E9" + std::string(10, 'b'));
  // A stop that a soft break puts at a line start could end the DATA section.
  EXPECT_EQ(EncodeQuotedPrintable(a76 + ".\r\nz"), a76 + "=\r\n=2E\r\nz");
}

TEST(MimeQuotedPrintable, RoundTripsMixedTextWithBoundedLines) {
  std::mt19937 random(7);
  const std::string alphabet = "abc =\t\xE9\xFF?_xyz";
  for (int round = 0; round < 50; ++round) {
    std::string text;
    const int length = 1 + static_cast<int>(random() % 600);
    for (int i = 0; i < length; ++i) {
      text += random() % 40 == 0 ? std::string("\r\n")
                                 : std::string(1, alphabet[random() % alphabet.size()]);
    }
    const std::string encoded = EncodeQuotedPrintable(text);
    ASSERT_EQ(DecodeQuotedPrintable(encoded), text) << "round " << round;
    for (const std::string& line : SplitLines(encoded)) {
      ASSERT_LE(line.size(), 77u) << line;
    }
    // Every "=" starts a soft break or a whole upper-case escape.
    for (size_t at = encoded.find('='); at != std::string::npos; at = encoded.find('=', at + 1)) {
      const std::string next = encoded.substr(at + 1, 2);
      ASSERT_TRUE(next == "\r\n" ||
                  (next.size() == 2 && std::isxdigit(next[0]) && std::isxdigit(next[1]) &&
                   !std::islower(next[0]) && !std::islower(next[1])))
          << "round " << round << " at " << at;
    }
  }
}

TEST(MimeDate, EnglishNamesAndZoneOffsets) {
  EXPECT_EQ(FormatMailDate(Civil(2023, 3, 7, 14, 5, 9), 60), "Tue, 07 Mar 2023 14:05:09 +0100");
  EXPECT_EQ(FormatMailDate(Civil(2024, 2, 29, 0, 0, 0), 330), "Thu, 29 Feb 2024 00:00:00 +0530");
  EXPECT_EQ(FormatMailDate(Civil(2000, 1, 1, 23, 59, 59), -210), "Sat, 01 Jan 2000 23:59:59 -0330");
  EXPECT_EQ(FormatMailDate(Civil(1999, 12, 31, 12, 0, 0), 0), "Fri, 31 Dec 1999 12:00:00 +0000");
  // Less than an hour west keeps its minus sign.
  EXPECT_EQ(FormatMailDate(Civil(2021, 8, 15, 1, 2, 3), -30), "Sun, 15 Aug 2021 01:02:03 -0030");

  // Now, in whatever zone this machine is in: the local time minus the offset must be the
  // clock's UTC time.
  ManualClock clock(1'700'000'000);  // Tue, 14 Nov 2023 22:13:20 UTC
  ScopedClock scoped(clock);
  const std::string now = CurrentMailDate();
  char weekday[4] = {}, sign = 0;
  int day = 0, hour = 0, minute = 0, second = 0, zone = 0, consumed = 0;
  ASSERT_EQ(std::sscanf(now.c_str(), "%3[A-Za-z], %2d Nov 2023 %2d:%2d:%2d %c%4d%n", weekday, &day,
                        &hour, &minute, &second, &sign, &zone, &consumed),
            7)
      << now;
  EXPECT_EQ(static_cast<size_t>(consumed), now.size());
  EXPECT_EQ(now.size(), 31u) << now;
  EXPECT_EQ(std::string(day == 14 ? "Tue" : day == 15 ? "Wed" : "Mon"), weekday);
  const int offset = (sign == '-' ? -1 : 1) * (zone / 100 * 60 + zone % 100);
  EXPECT_EQ(day * 1440 + hour * 60 + minute - offset, 14 * 1440 + 22 * 60 + 13);
  EXPECT_EQ(second, 20);
}

bool IsVersion4Uuid(const std::string& text) {
  if (text.size() != 36 || text[14] != '4' ||
      std::string("89ab").find(text[19]) == std::string::npos) {
    return false;
  }
  for (size_t i = 0; i < text.size(); ++i) {
    const bool hyphen = i == 8 || i == 13 || i == 18 || i == 23;
    if (hyphen ? text[i] != '-'
               : std::string("0123456789abcdef").find(text[i]) == std::string::npos) {
      return false;
    }
  }
  return true;
}

TEST(MimeParts, BoundariesAreFreshVersion4Uuids) {
  for (int i = 0; i < 100; ++i) {
    const std::string uuid = NewUuidString();
    ASSERT_TRUE(IsVersion4Uuid(uuid)) << uuid;
  }
  EXPECT_NE(NewUuidString(), NewUuidString());
  CSMTPBodyPart one, two;
  EXPECT_TRUE(IsVersion4Uuid(one.GetBoundary()));
  EXPECT_NE(one.GetBoundary(), two.GetBoundary());
}

TEST(MimeParts, TreeHeadersBodiesAndFooters) {
  CSMTPBodyPart root("R");
  auto owned = std::make_unique<CSMTPBodyPart>("C");
  CSMTPBodyPart* child = root.AddChildBodyPart(std::move(owned));
  child->SetContentType("multipart/alternative");
  child->SetContentID("<id@x>");
  child->SetContentLocation("page.htm");
  auto leafOwned = std::make_unique<CSMTPBodyPart>("L");
  leafOwned->SetText("caf\xE9");
  leafOwned->SetCharset("utf-8");
  CSMTPBodyPart* leaf = child->AddChildBodyPart(std::move(leafOwned));

  EXPECT_EQ(child->GetParentBodyPart(), &root);
  EXPECT_EQ(root.GetParentBodyPart(), nullptr);
  EXPECT_EQ(root.FindFirstBodyPart("multipart/alternative"), child);
  EXPECT_EQ(root.FindFirstBodyPart("text/plain"), nullptr);

  EXPECT_EQ(root.GetHeader(), "");
  EXPECT_EQ(child->GetHeader(),
            "\r\n--R\r\nContent-Type: multipart/alternative; charset=iso-8859-1; "
            "Boundary=\"C\"\r\nContent-Transfer-Encoding: quoted-printable\r\n"
            "Content-ID: <id@x>\r\nContent-Location: page.htm\r\n\r\n");
  EXPECT_EQ(leaf->GetHeader(),
            "\r\n--C\r\nContent-Type: text/plain; charset=utf-8\r\n"
            "Content-Transfer-Encoding: quoted-printable\r\n\r\n");
  EXPECT_EQ(leaf->GetBody(), "caf=E9");
  EXPECT_EQ(leaf->GetFooter(), "");
  EXPECT_EQ(child->GetFooter(), "\r\n--C--");

  leaf->SetQuotedPrintable(false);
  EXPECT_EQ(leaf->GetHeader(), "\r\n--C\r\nContent-Type: text/plain; charset=utf-8\r\n\r\n");
  EXPECT_EQ(leaf->GetBody(), "caf\xE9");

  std::string wire;
  root.AppendTree(wire);
  EXPECT_EQ(wire, root.GetBody() + child->GetHeader() + child->GetBody() + leaf->GetHeader() +
                      leaf->GetBody() + "\r\n--C--\r\n--R--");
}

TEST(MimeRecipients, ParsesNamesAddressesAndSeparators) {
  EXPECT_EQ(CSMTPAddress("", "a@b").GetRegularForm(), "a@b");
  EXPECT_EQ(CSMTPAddress("Ann Lee", "a@b").GetRegularForm(), "Ann Lee <a@b>");

  CSMTPMessage message;
  EXPECT_TRUE(message.AddMultipleRecipients(" Ann Lee <ann@x.org>; bob@y.org ,, ; Cy <cy@z",
                                            RecipientKind::To));
  const auto& to = message.GetRecipients(RecipientKind::To);
  ASSERT_EQ(to.size(), 3u);
  EXPECT_EQ(to[0].m_friendlyName, "Ann Lee");
  EXPECT_EQ(to[0].m_emailAddress, "ann@x.org");
  EXPECT_EQ(to[1].m_friendlyName, "");
  EXPECT_EQ(to[1].m_emailAddress, "bob@y.org");
  EXPECT_EQ(to[2].m_emailAddress, "cy@z");
  EXPECT_TRUE(message.GetRecipients(RecipientKind::Cc).empty());
  EXPECT_NE(message.GetHeader("D").find("\r\nTo: Ann Lee <ann@x.org>,bob@y.org,Cy <cy@z>\r\n"),
            std::string::npos);

  // A ">" in front of the "<" ends the parse; what came before stays.
  CSMTPMessage broken;
  SetLastError(0);
  EXPECT_FALSE(broken.AddMultipleRecipients("a@b; x> y <z@w>; c@d", RecipientKind::Cc));
  EXPECT_EQ(GetLastError(), 13u);
  ASSERT_EQ(broken.GetRecipients(RecipientKind::Cc).size(), 1u);
  EXPECT_EQ(broken.GetRecipients(RecipientKind::Cc)[0].m_emailAddress, "a@b");
}

TEST(MimeRecipients, LineBreaksNeverReachAHeaderOrCommand) {
  CSMTPMessage message;
  SetLastError(0);
  EXPECT_FALSE(message.AddMultipleRecipients(
      "ok@x, evil@x\r\nRCPT TO:<victim@y>; n\nBcc: <v@y>; last@z\r\n", RecipientKind::To));
  EXPECT_EQ(GetLastError(), 13u);
  const auto& to = message.GetRecipients(RecipientKind::To);
  ASSERT_EQ(to.size(), 2u);
  EXPECT_EQ(to[0].m_emailAddress, "ok@x");
  EXPECT_EQ(to[1].m_emailAddress, "last@z");
  EXPECT_FALSE(message.AddRecipient(CSMTPAddress("", "a@b\rDATA"), RecipientKind::Bcc));
  EXPECT_FALSE(message.AddRecipient(CSMTPAddress("", "a@b>x"), RecipientKind::Bcc));
  EXPECT_FALSE(message.AddRecipient(CSMTPAddress("x", ""), RecipientKind::Bcc));

  EXPECT_TRUE(message.SetFrom(CSMTPAddress("Tulix", "me@x")));
  EXPECT_FALSE(message.SetFrom(CSMTPAddress("Tulix\r\nBcc: v@y", "me@x")));
  EXPECT_FALSE(message.SetFrom(CSMTPAddress("Tulix", "me@x\n")));
  EXPECT_EQ(message.GetFrom().GetRegularForm(), "Tulix <me@x>");
  EXPECT_FALSE(message.SetReplyTo(CSMTPAddress("", "r@x\tq")));
  EXPECT_EQ(message.GetReplyTo().m_emailAddress, "");
  EXPECT_FALSE(message.AddHeaderLine("X-A: 1\r\nBcc: v@y"));

  message.SetSubject("Hi\r\nBcc: v@y");
  message.SetMime(true);
  message.AddHTMLBody("<p>x</p>", "http://e/\r\nX-Evil: 1");
  const std::string header = message.GetHeader("D");
  EXPECT_NE(header.find("\r\nSubject: Hi  Bcc: v@y\r\n"), std::string::npos);
  const std::string parts = message.GetBodyText();
  EXPECT_NE(parts.find("Content-Base: http://e/  X-Evil: 1\r\n"), std::string::npos);
  for (const std::string& line : SplitLines(header + parts)) {
    EXPECT_EQ(line.find_first_of("\r\n"), std::string::npos);
    EXPECT_NE(line.rfind("Bcc:", 0), 0u) << line;
    EXPECT_NE(line.rfind("X-Evil", 0), 0u) << line;
  }
}

TEST(MimeMessage, HeaderLinesDependOnRecipientsAndMime) {
  CSMTPMessage message;
  message.AddMultipleRecipients("a@b", RecipientKind::To);
  message.AddMultipleRecipients("hidden@b", RecipientKind::Bcc);
  std::string header = message.GetHeader("D");
  EXPECT_EQ(header,
            "From: \r\nTo: a@b\r\nSubject: \r\nDate: D\r\nX-Mailer: CSMTPConnection v2.17\r\n"
            "Content-Transfer-Encoding: quoted-printable\r\n\r\n");

  message.AddMultipleRecipients("C <c@d>, e@f", RecipientKind::Cc);
  message.AddHeaderLine("X-One: 1");
  message.AddHeaderLine("X-Two: 2");
  message.SetMime(true);
  header = message.GetHeader("D");
  EXPECT_NE(header.find("\r\nTo: a@b\r\nCc: C <c@d>,e@f\r\nSubject: "), std::string::npos);
  EXPECT_EQ(header.find("hidden"), std::string::npos);
  // MIME without parts has no boundary; the extra lines still leave the empty line at the end.
  EXPECT_NE(
      header.find("MIME-Version: 1.0\r\nContent-Type: multipart/mixed\r\n"
                  "Content-Transfer-Encoding: quoted-printable\r\nX-One: 1\r\nX-Two: 2\r\n\r\n"),
      std::string::npos);
  EXPECT_EQ(header.substr(header.size() - 4), "\r\n\r\n");

  // Without MIME and without parts the body is the root's own text after an empty line.
  CSMTPMessage plain;
  plain.AddTextBody("1+1=2");
  EXPECT_EQ(plain.GetBodyText(), "\r\n1+1=3D2");
}

TEST(MimeMessage, TextAndHtmlBodiesMakeTheirTrees) {
  CSMTPMessage message;
  message.SetMime(true);
  CSMTPBodyPart& root = message.GetRootBodyPart();
  EXPECT_EQ(root.GetContentType(), "multipart/mixed");
  EXPECT_EQ(root.GetNumberOfChildBodyParts(), 0u);

  message.SetCharset("utf-8");
  message.AddTextBody("first");
  message.AddTextBody("second");
  ASSERT_EQ(root.GetNumberOfChildBodyParts(), 1u);
  EXPECT_EQ(root.GetChildBodyPart(0)->GetText(), "second");
  EXPECT_EQ(root.GetChildBodyPart(0)->GetCharset(), "utf-8");
  EXPECT_EQ(root.GetText(), "This is a multi-part message in MIME format");

  message.SetMime(false);
  EXPECT_EQ(root.GetNumberOfChildBodyParts(), 0u);

  // Text set before MIME moves into the text part, its stops doubled only once.
  CSMTPMessage early;
  early.AddTextBody("a\n.b");
  early.SetMime(true);
  CSMTPBodyPart& earlyRoot = early.GetRootBodyPart();
  ASSERT_EQ(earlyRoot.GetNumberOfChildBodyParts(), 1u);
  EXPECT_EQ(earlyRoot.GetChildBodyPart(0)->GetText(), "a\r\n..b");
  EXPECT_EQ(earlyRoot.GetChildBodyPart(0)->GetContentType(), "text/plain");

  CSMTPMessage html;
  html.SetMime(true);
  html.AddHTMLBody("<p>hi</p>", "");
  CSMTPBodyPart& htmlRoot = html.GetRootBodyPart();
  EXPECT_EQ(htmlRoot.GetContentType(), "multipart/related");
  ASSERT_EQ(htmlRoot.GetNumberOfChildBodyParts(), 1u);
  CSMTPBodyPart* part = htmlRoot.GetChildBodyPart(0);
  EXPECT_EQ(part->GetContentType(), "text/html");
  EXPECT_EQ(part->GetHeader().find("Content-Base"), std::string::npos);
  part->SetContentBase("http://example.org/");
  EXPECT_NE(part->GetHeader().find("quoted-printable\r\nContent-Base: http://example.org/\r\n\r\n"),
            std::string::npos);
}

TEST(MimeMessage, WholeAlertMessageBytes) {
  CSMTPMessage message;
  message.SetMime(true);
  ASSERT_TRUE(message.SetFrom(CSMTPAddress("Tulix", "alerts@example.org")));
  ASSERT_TRUE(message.SetReplyTo(CSMTPAddress("Tulix", "alerts@example.org")));
  ASSERT_TRUE(
      message.AddMultipleRecipients("Ann <ann@example.org>, bob@example.org", RecipientKind::To));
  message.SetSubject("Tulix Alert: Family Access Violation");
  message.AddTextBody("Too many password attempts entering family mode");
  const std::string root = message.GetRootBodyPart().GetBoundary();

  EXPECT_EQ(message.GetHeader("Tue, 07 Mar 2023 14:05:09 +0100"),
            "From: Tulix <alerts@example.org>\r\n"
            "To: Ann <ann@example.org>,bob@example.org\r\n"
            "Subject: Tulix Alert: Family Access Violation\r\n"
            "Date: Tue, 07 Mar 2023 14:05:09 +0100\r\n"
            "X-Mailer: CSMTPConnection v2.17\r\n"
            "MIME-Version: 1.0\r\n"
            "Content-Type: multipart/mixed; boundary=\"" +
                root +
                "\"\r\n"
                "Content-Transfer-Encoding: quoted-printable\r\n"
                "Reply-To: Tulix <alerts@example.org>\r\n"
                "\r\n");
  EXPECT_EQ(message.GetBodyText(),
            "This is a multi-part message in MIME format"
            "\r\n--" +
                root +
                "\r\n"
                "Content-Type: text/plain; charset=iso-8859-1\r\n"
                "Content-Transfer-Encoding: quoted-printable\r\n"
                "\r\n"
                "Too many password attempts entering family mode"
                "\r\n--" +
                root + "--");
}

TEST(MimeScale, TenThousandRecipientsAndTenMegabyteBody) {
  std::string list;
  std::string expectedTo;
  for (int i = 0; i < 10'000; ++i) {
    const std::string address = "user" + std::to_string(i) + "@example.org";
    list += (i % 2 ? "; " : ", ") + ("User " + std::to_string(i) + " <" + address + ">");
    expectedTo += (i ? "," : "") + ("User " + std::to_string(i) + " <" + address + ">");
  }
  CSMTPMessage message;
  ASSERT_TRUE(message.AddMultipleRecipients(list, RecipientKind::To));
  EXPECT_EQ(message.GetRecipients(RecipientKind::To).size(), 10'000u);
  EXPECT_NE(message.GetHeader("D").find("\r\nTo: " + expectedTo + "\r\n"), std::string::npos);

  // 10 MB of 100-character lines, each with an "=" and a stop at its start.
  std::string line = "." + std::string(97, 'x') + "=\n";
  std::string body;
  body.reserve(10'000'000);
  while (body.size() + line.size() <= 10'000'000) {
    body += line;
  }
  const size_t lines = body.size() / line.size();
  message.SetMime(true);
  message.AddTextBody(body);
  const CSMTPBodyPart* part = message.GetRootBodyPart().GetChildBodyPart(0);
  EXPECT_EQ(part->GetText().size(), body.size() + 2 * lines);
  const std::string encoded = part->GetBody();
  // Each line: ".." + 97 x + "=3D" + CR LF = 104 characters, cut once after 76.
  EXPECT_EQ(encoded.size(), lines * (104 + 3));
  EXPECT_EQ(DecodeQuotedPrintable(encoded), part->GetText());
}

}  // namespace
}  // namespace tulix
