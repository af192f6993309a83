#include "mail/mime_message.h"

#include <array>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <random>

#include "platform/clock.h"
#include "platform/last_error.h"

namespace tulix {
namespace {

constexpr char kMultipartPreamble[] = "This is a multi-part message in MIME format";
constexpr char kHexDigits[] = "0123456789ABCDEF";
// A quoted-printable line is cut once it would grow past this many characters.
constexpr size_t kMaxLine = 76;

bool IsControl(unsigned char c) {
  return c < 32 || c == 127;
}

bool HasControlCharacter(std::string_view text) {
  for (unsigned char c : text) {
    if (IsControl(c)) {
      return true;
    }
  }
  return false;
}

std::string BlankControlCharacters(std::string_view text) {
  std::string out(text);
  for (char& c : out) {
    if (IsControl(static_cast<unsigned char>(c))) {
      c = ' ';
    }
  }
  return out;
}

bool IsBlank(char c) {
  return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f';
}

std::string_view Trim(std::string_view text) {
  while (!text.empty() && IsBlank(text.front())) {
    text.remove_prefix(1);
  }
  while (!text.empty() && IsBlank(text.back())) {
    text.remove_suffix(1);
  }
  return text;
}

void AppendEscape(std::string& out, unsigned char c) {
  out += '=';
  out += kHexDigits[c >> 4];
  out += kHexDigits[c & 0x0f];
}

std::string EscapeQuotedPrintable(std::string_view text) {
  std::string out;
  out.reserve(text.size() + text.size() / 8);
  for (unsigned char c : text) {
    if ((c >= 33 && c <= 60) || (c >= 62 && c <= 126) || c == '\r' || c == '\n' || c == '\t' ||
        c == ' ') {
      out += static_cast<char>(c);
    } else {
      AppendEscape(out, c);
    }
  }
  return out;
}

// Where a line of the escaped text `s` running from `start` is cut once the character at
// `current` would make it longer than kMaxLine: after the nearest blank or escape end before
// `current`, else after kMaxLine characters, moved back so that no escape is split.
size_t FindCut(std::string_view s, size_t start, size_t current) {
  for (size_t j = current - 1; j > start; --j) {
    if (s[j] == ' ' || s[j] == '\t' || (j >= start + 2 && s[j - 2] == '=')) {
      return j;
    }
  }
  size_t cut = start + kMaxLine - 1;
  if (s[cut] == '=') {
    cut -= 1;
  } else if (s[cut - 1] == '=') {
    cut -= 2;
  }
  return cut;
}

// A line that starts after a soft break may start with a full stop that no preparation
// doubled; a lone "." there would end the DATA section early, and the server would drop any
// other leading stop. Writing it as "=2E" keeps the decoded text the same.
void AppendLine(std::string& out, std::string_view line, bool afterSoftBreak) {
  if (afterSoftBreak && !line.empty() && line.front() == '.') {
    out += "=2E";
    line.remove_prefix(1);
  }
  out.append(line);
}

std::string CutQuotedPrintableLines(std::string_view s) {
  std::string out;
  out.reserve(s.size() + s.size() / 25 + 8);
  size_t start = 0;
  bool afterSoftBreak = false;
  for (size_t i = 0; i < s.size();) {
    if (s[i] == '\r' || s[i] == '\n') {
      AppendLine(out, s.substr(start, i + 1 - start), afterSoftBreak);
      start = ++i;
      afterSoftBreak = false;
    } else if (i - start >= kMaxLine) {
      size_t cut = FindCut(s, start, i);
      AppendLine(out, s.substr(start, cut + 1 - start), afterSoftBreak);
      out += "=\r\n";
      start = cut + 1;
      afterSoftBreak = true;
    } else {
      ++i;
    }
  }
  AppendLine(out, s.substr(start), afterSoftBreak);
  return out;
}

// Days from 1970-01-01 to the given civil date (proleptic Gregorian).
int64_t DaysFromCivil(int64_t year, unsigned month, unsigned day) {
  year -= month <= 2;
  const int64_t era = (year >= 0 ? year : year - 399) / 400;
  const unsigned yearOfEra = static_cast<unsigned>(year - era * 400);
  const unsigned dayOfYear = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5 + day - 1;
  const unsigned dayOfEra = yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear;
  return era * 146097 + static_cast<int64_t>(dayOfEra) - 719468;
}

void AppendDigits(std::string& out, int value, int width) {
  char buffer[16];
  std::snprintf(buffer, sizeof buffer, "%0*d", width, value);
  out += buffer;
}

}  // namespace

// --- Encoders ---

std::string PrepareBodyText(std::string_view text) {
  std::string out;
  out.reserve(text.size() + text.size() / 32 + 2);
  // A stop at the very start would also stand at a line start on the wire (after the header's
  // empty line), so it is doubled like the others.
  bool lineStart = true;
  for (size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (lineStart && c == '.') {
      out += '.';
    }
    if (c == '\r' || c == '\n') {
      if (c == '\r' && i + 1 < text.size() && text[i + 1] == '\n') {
        ++i;
      }
      out += "\r\n";
      lineStart = true;
    } else {
      out += c;
      lineStart = false;
    }
  }
  return out;
}

std::string EncodeQuotedPrintable(std::string_view text) {
  return CutQuotedPrintableLines(EscapeQuotedPrintable(text));
}

std::string EncodeHeaderValue(std::string_view value, std::string_view charset) {
  bool plain = true;
  for (unsigned char c : value) {
    if (c > 127) {
      plain = false;
      break;
    }
  }
  if (plain) {
    return std::string(value);
  }
  std::string out;
  out.reserve(value.size() * 2 + charset.size() + 8);
  out += "=?";
  out += charset;
  out += "?q?";
  for (unsigned char c : value) {
    if (c == ' ') {
      out += '_';
    } else if (c < 128 && c != '=' && c != '?' && c != '_') {
      out += static_cast<char>(c);
    } else {
      AppendEscape(out, c);
    }
  }
  out += "?=";
  return out;
}

std::string FormatMailDate(const std::tm& local, int utcOffsetMinutes) {
  static constexpr std::array<const char*, 7> kDays = {"Sun", "Mon", "Tue", "Wed",
                                                       "Thu", "Fri", "Sat"};
  static constexpr std::array<const char*, 12> kMonths = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                                          "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  const int64_t year = int64_t{local.tm_year} + 1900;
  const int month = ((local.tm_mon % 12) + 12) % 12;
  // The weekday is worked out here so that a caller need not fill tm_wday; 1970-01-01 was a
  // Thursday.
  const int64_t days =
      DaysFromCivil(year, static_cast<unsigned>(month + 1), static_cast<unsigned>(local.tm_mday));
  const int weekday = static_cast<int>(((days % 7) + 7 + 4) % 7);

  std::string out;
  out.reserve(32);
  out += kDays[weekday];
  out += ", ";
  AppendDigits(out, local.tm_mday, 2);
  out += ' ';
  out += kMonths[month];
  out += ' ';
  AppendDigits(out, static_cast<int>(year), 4);
  out += ' ';
  AppendDigits(out, local.tm_hour, 2);
  out += ':';
  AppendDigits(out, local.tm_min, 2);
  out += ':';
  AppendDigits(out, local.tm_sec, 2);
  // The sign comes from the offset itself, so a zone less than an hour west of UTC reads
  // "-0030" rather than "+0030".
  out += utcOffsetMinutes < 0 ? " -" : " +";
  const int magnitude = std::abs(utcOffsetMinutes);
  AppendDigits(out, magnitude / 60, 2);
  AppendDigits(out, magnitude % 60, 2);
  return out;
}

std::string CurrentMailDate() {
  const std::time_t now = static_cast<std::time_t>(GetClock().Now());
  std::tm local{};
  {
    // std::localtime fills one static buffer; this lock keeps two mail threads apart.
    static std::mutex lock;
    std::lock_guard<std::mutex> guard(lock);
    const std::tm* filled = std::localtime(&now);
    if (filled != nullptr) {
      local = *filled;
    }
  }
  // The zone offset is how far the local wall-clock time runs ahead of UTC at this instant,
  // daylight saving included.
  const int64_t localSeconds =
      DaysFromCivil(int64_t{local.tm_year} + 1900, static_cast<unsigned>(local.tm_mon + 1),
                    static_cast<unsigned>(local.tm_mday)) *
          86400 +
      local.tm_hour * 3600 + local.tm_min * 60 + local.tm_sec;
  const int64_t offsetSeconds = localSeconds - static_cast<int64_t>(now);
  return FormatMailDate(local, static_cast<int>(offsetSeconds / 60));
}

std::string NewUuidString() {
  thread_local std::mt19937_64 generator = [] {
    std::random_device device;
    std::seed_seq seed{device(), device(), device(), device(), device(), device()};
    return std::mt19937_64(seed);
  }();
  std::array<unsigned char, 16> bytes;
  for (size_t i = 0; i < bytes.size(); i += 8) {
    uint64_t value = generator();
    for (size_t k = 0; k < 8; ++k) {
      bytes[i + k] = static_cast<unsigned char>(value >> (8 * k));
    }
  }
  bytes[6] = static_cast<unsigned char>((bytes[6] & 0x0f) | 0x40);  // version 4
  bytes[8] = static_cast<unsigned char>((bytes[8] & 0x3f) | 0x80);  // the RFC 4122 variant
  static constexpr char kLower[] = "0123456789abcdef";
  std::string out;
  out.reserve(36);
  for (size_t i = 0; i < bytes.size(); ++i) {
    if (i == 4 || i == 6 || i == 8 || i == 10) {
      out += '-';
    }
    out += kLower[bytes[i] >> 4];
    out += kLower[bytes[i] & 0x0f];
  }
  return out;
}

// --- CSMTPAddress ---

std::string CSMTPAddress::GetRegularForm() const {
  if (m_friendlyName.empty()) {
    return m_emailAddress;
  }
  return m_friendlyName + " <" + m_emailAddress + ">";
}

bool CSMTPAddress::IsSafe() const {
  return !HasControlCharacter(m_friendlyName) && !HasControlCharacter(m_emailAddress) &&
         m_emailAddress.find_first_of("<>") == std::string::npos;
}

// --- CSMTPBodyPart ---

CSMTPBodyPart::CSMTPBodyPart() : m_boundary(NewUuidString()) {}

CSMTPBodyPart::CSMTPBodyPart(std::string boundary) : m_boundary(std::move(boundary)) {}

CSMTPBodyPart::~CSMTPBodyPart() = default;

void CSMTPBodyPart::SetText(std::string_view text) {
  m_text = PrepareBodyText(text);
  m_contentType = "text/plain";
}

void CSMTPBodyPart::SetContentType(std::string_view contentType) {
  m_contentType = BlankControlCharacters(contentType);
}

void CSMTPBodyPart::SetCharset(std::string_view charset) {
  m_charset = BlankControlCharacters(charset);
}

void CSMTPBodyPart::SetContentBase(std::string_view value) {
  m_contentBase = BlankControlCharacters(value);
}

void CSMTPBodyPart::SetContentID(std::string_view value) {
  m_contentID = BlankControlCharacters(value);
}

void CSMTPBodyPart::SetContentLocation(std::string_view value) {
  m_contentLocation = BlankControlCharacters(value);
}

CSMTPBodyPart* CSMTPBodyPart::AddChildBodyPart(std::unique_ptr<CSMTPBodyPart> child) {
  child->m_parent = this;
  m_children.push_back(std::move(child));
  return m_children.back().get();
}

void CSMTPBodyPart::RemoveAllChildBodyParts() {
  m_children.clear();
}

CSMTPBodyPart* CSMTPBodyPart::FindFirstBodyPart(std::string_view contentType) const {
  for (const auto& child : m_children) {
    if (child->m_contentType == contentType) {
      return child.get();
    }
  }
  return nullptr;
}

std::string CSMTPBodyPart::GetHeader() const {
  if (m_parent == nullptr) {
    return {};
  }
  std::string out = "\r\n--" + m_parent->m_boundary + "\r\nContent-Type: " + m_contentType +
                    "; charset=" + m_charset;
  if (!m_children.empty()) {
    out += "; Boundary=\"" + m_boundary + "\"";
  }
  out += "\r\n";
  if (m_quotedPrintable) {
    out += "Content-Transfer-Encoding: quoted-printable\r\n";
  }
  if (!m_contentBase.empty()) {
    out += "Content-Base: " + m_contentBase + "\r\n";
  }
  if (!m_contentID.empty()) {
    out += "Content-ID: " + m_contentID + "\r\n";
  }
  if (!m_contentLocation.empty()) {
    out += "Content-Location: " + m_contentLocation + "\r\n";
  }
  out += "\r\n";
  return out;
}

std::string CSMTPBodyPart::GetBody() const {
  return m_quotedPrintable ? EncodeQuotedPrintable(m_text) : m_text;
}

std::string CSMTPBodyPart::GetFooter() const {
  if (m_children.empty()) {
    return {};
  }
  return "\r\n--" + m_boundary + "--";
}

void CSMTPBodyPart::AppendTree(std::string& out) const {
  out += GetHeader();
  out += GetBody();
  for (const auto& child : m_children) {
    child->AppendTree(out);
  }
  out += GetFooter();
}

// --- CSMTPMessage ---

CSMTPMessage::CSMTPMessage() : m_root(std::make_unique<CSMTPBodyPart>()) {}

// An address with a line break could add header lines ("Bcc: ...") or SMTP commands of its
// own. Cleaning it would send mail to an address nobody typed, so it is refused instead and
// the caller keeps the address it had.
bool CSMTPMessage::SetFrom(const CSMTPAddress& from) {
  if (!from.IsSafe()) {
    return false;
  }
  m_from = from;
  return true;
}

bool CSMTPMessage::SetReplyTo(const CSMTPAddress& replyTo) {
  if (!replyTo.IsSafe()) {
    return false;
  }
  m_replyTo = replyTo;
  return true;
}

void CSMTPMessage::SetSubject(std::string_view subject) {
  m_subject = BlankControlCharacters(subject);
}

bool CSMTPMessage::AddRecipient(const CSMTPAddress& recipient, RecipientKind kind) {
  if (recipient.m_emailAddress.empty() || !recipient.IsSafe()) {
    return false;
  }
  m_recipients[static_cast<int>(kind)].push_back(recipient);
  return true;
}

bool CSMTPMessage::AddMultipleRecipients(std::string_view text, RecipientKind kind) {
  bool complete = true;
  size_t pieceStart = 0;
  while (pieceStart <= text.size()) {
    size_t pieceEnd = text.find_first_of(",;", pieceStart);
    if (pieceEnd == std::string_view::npos) {
      pieceEnd = text.size();
    }
    const std::string_view piece = text.substr(pieceStart, pieceEnd - pieceStart);
    pieceStart = pieceEnd + 1;

    std::string_view name;
    std::string_view address = piece;
    const size_t open = piece.find('<');
    if (open != std::string_view::npos) {
      const size_t close = piece.find('>');
      if (close < open) {
        SetLastError(kErrorInvalidData);
        return false;
      }
      name = piece.substr(0, open);
      address = piece.substr(
          open + 1, close == std::string_view::npos ? std::string_view::npos : close - open - 1);
    }
    CSMTPAddress recipient{std::string(Trim(name)), std::string(Trim(address))};
    if (recipient.m_emailAddress.empty()) {
      continue;
    }
    if (!AddRecipient(recipient, kind)) {
      complete = false;
    }
  }
  if (!complete) {
    SetLastError(kErrorInvalidData);
  }
  return complete;
}

const std::vector<CSMTPAddress>& CSMTPMessage::GetRecipients(RecipientKind kind) const {
  return m_recipients[static_cast<int>(kind)];
}

bool CSMTPMessage::AddHeaderLine(std::string_view line) {
  if (HasControlCharacter(line)) {
    return false;
  }
  m_headerLines.emplace_back(line);
  return true;
}

void CSMTPMessage::MakeRootMultipart(std::string_view contentType) {
  m_root->SetText(kMultipartPreamble);
  m_root->SetContentType(contentType);
}

CSMTPBodyPart* CSMTPMessage::AddChildWithRootCharset() {
  auto part = std::make_unique<CSMTPBodyPart>();
  part->SetCharset(m_root->GetCharset());
  return m_root->AddChildBodyPart(std::move(part));
}

void CSMTPMessage::SetMime(bool on) {
  if (on == m_mime) {
    return;
  }
  m_mime = on;
  m_root->RemoveAllChildBodyParts();
  if (on) {
    std::string text = std::move(m_root->m_text);
    MakeRootMultipart("multipart/mixed");
    if (!text.empty()) {
      CSMTPBodyPart* child = AddChildWithRootCharset();
      child->m_text = std::move(text);
      child->m_contentType = "text/plain";
    }
  }
}

void CSMTPMessage::AddTextBody(std::string_view text) {
  if (!m_mime) {
    m_root->SetText(text);
    return;
  }
  if (CSMTPBodyPart* existing = m_root->FindFirstBodyPart("text/plain")) {
    existing->SetText(text);
    return;
  }
  MakeRootMultipart("multipart/mixed");
  AddChildWithRootCharset()->SetText(text);
}

void CSMTPMessage::AddHTMLBody(std::string_view html, std::string_view contentBase) {
  MakeRootMultipart("multipart/related");
  CSMTPBodyPart* part = AddChildWithRootCharset();
  part->SetText(html);
  part->SetContentType("text/html");
  part->SetContentBase(contentBase);
}

std::string CSMTPMessage::JoinRecipients(RecipientKind kind) const {
  const auto& list = GetRecipients(kind);
  size_t size = 0;
  for (const auto& recipient : list) {
    size += recipient.m_friendlyName.size() + recipient.m_emailAddress.size() + 4;
  }
  std::string out;
  out.reserve(size);
  for (const auto& recipient : list) {
    if (!out.empty()) {
      out += ',';
    }
    out += recipient.GetRegularForm();
  }
  return out;
}

std::string CSMTPMessage::GetHeader() const {
  return GetHeader(CurrentMailDate());
}

std::string CSMTPMessage::GetHeader(std::string_view date) const {
  const std::string& charset = GetCharset();
  std::string out;
  out += "From: " + EncodeHeaderValue(m_from.GetRegularForm(), charset) + "\r\n";
  out += "To: " + EncodeHeaderValue(JoinRecipients(RecipientKind::To), charset) + "\r\n";
  if (!GetRecipients(RecipientKind::Cc).empty()) {
    out += "Cc: " + EncodeHeaderValue(JoinRecipients(RecipientKind::Cc), charset) + "\r\n";
  }
  out += "Subject: " + EncodeHeaderValue(m_subject, charset) + "\r\n";
  out += "Date: " + EncodeHeaderValue(date, charset) + "\r\n";
  out += "X-Mailer: " + EncodeHeaderValue(m_xMailer, charset) + "\r\n";
  if (m_mime) {
    out += "MIME-Version: 1.0\r\nContent-Type: " + m_root->GetContentType();
    if (m_root->GetNumberOfChildBodyParts() > 0) {
      out += "; boundary=\"" + m_root->GetBoundary() + "\"";
    }
    out += "\r\n";
  }
  out += "Content-Transfer-Encoding: quoted-printable\r\n";
  if (!m_replyTo.m_emailAddress.empty()) {
    out += "Reply-To: " + m_replyTo.GetRegularForm() + "\r\n";
  }
  // Each extra line gets its own line end so that the empty line ending the block is still
  // there when lines were added.
  for (const auto& line : m_headerLines) {
    out += line + "\r\n";
  }
  out += "\r\n";
  return out;
}

std::string CSMTPMessage::GetBodyText() const {
  std::string out;
  if (!m_mime && m_root->GetNumberOfChildBodyParts() == 0) {
    // The header promised quoted-printable, so the plain body goes out encoded as well.
    out = "\r\n" + m_root->GetBody();
    return out;
  }
  m_root->AppendTree(out);
  return out;
}

}  // namespace tulix
