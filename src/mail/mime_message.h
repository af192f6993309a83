// One outgoing e-mail and the exact text the mail client sends after DATA: the header block
// and, part by part, the MIME body (quoted-printable bodies, "Q" encoded words in headers,
// random boundaries).
//
// Nothing here reaches a header or an SMTP command with a CR, an LF or another control
// character in it: addresses and names carrying one are refused, free texts (subject, charset,
// content base, ID and location) have them replaced by blanks. A mail alert must never let a
// setting or a log line add header lines or commands of its own.
//
// Ownership: a message owns its root part and every part below it; a part owns its children and
// knows its parent only by a plain pointer. Parts cannot be copied.
// Thread safety: none; one thread builds a message, sends it and drops it. The encoders below
// are pure functions, safe from any thread.
#pragma once

#include <cstdint>
#include <ctime>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace tulix {

// A sender or recipient: a friendly name (may be empty) and an e-mail address.
struct CSMTPAddress {
  CSMTPAddress() = default;
  CSMTPAddress(std::string friendlyName, std::string emailAddress)
      : m_friendlyName(std::move(friendlyName)), m_emailAddress(std::move(emailAddress)) {}

  // The address alone when the name is empty, else "name <address>".
  std::string GetRegularForm() const;
  // False when the name or the address holds a control character, or the address an angle
  // bracket: such an address could break out of a header line or of "RCPT TO:<...>".
  bool IsSafe() const;

  std::string m_friendlyName;
  std::string m_emailAddress;
};

class CSMTPBodyPart {
 public:
  // A text/plain part in iso-8859-1, quoted-printable, with a fresh random boundary.
  CSMTPBodyPart();
  // The same with the boundary given (tests that compare whole texts).
  explicit CSMTPBodyPart(std::string boundary);
  CSMTPBodyPart(const CSMTPBodyPart&) = delete;
  CSMTPBodyPart& operator=(const CSMTPBodyPart&) = delete;
  ~CSMTPBodyPart();

  // Stores the text prepared for sending (PrepareBodyText) and makes the part text/plain.
  void SetText(std::string_view text);
  const std::string& GetText() const { return m_text; }

  void SetContentType(std::string_view contentType);
  const std::string& GetContentType() const { return m_contentType; }
  void SetCharset(std::string_view charset);
  const std::string& GetCharset() const { return m_charset; }
  void SetContentBase(std::string_view value);
  const std::string& GetContentBase() const { return m_contentBase; }
  void SetContentID(std::string_view value);
  const std::string& GetContentID() const { return m_contentID; }
  void SetContentLocation(std::string_view value);
  const std::string& GetContentLocation() const { return m_contentLocation; }
  void SetQuotedPrintable(bool on) { m_quotedPrintable = on; }
  bool GetQuotedPrintable() const { return m_quotedPrintable; }
  // Fixed when the part is made.
  const std::string& GetBoundary() const { return m_boundary; }

  // Takes `child` over as the last child and returns it.
  CSMTPBodyPart* AddChildBodyPart(std::unique_ptr<CSMTPBodyPart> child);
  void RemoveAllChildBodyParts();
  size_t GetNumberOfChildBodyParts() const { return m_children.size(); }
  CSMTPBodyPart* GetChildBodyPart(size_t index) const { return m_children.at(index).get(); }
  CSMTPBodyPart* GetParentBodyPart() const { return m_parent; }
  // The first child whose content type equals `contentType`, or nullptr.
  CSMTPBodyPart* FindFirstBodyPart(std::string_view contentType) const;

  // The part's header lines after the parent's boundary line, ending with the empty line.
  // Empty for a part without a parent: the root's header is the message's.
  std::string GetHeader() const;
  // The text, quoted-printable encoded when the flag is set.
  std::string GetBody() const;
  // The closing boundary line for a part with children, else empty.
  std::string GetFooter() const;
  // Appends header, body, the children in order and footer, as they go on the wire; for the
  // root only its body stands in front of the children.
  void AppendTree(std::string& out) const;

 private:
  // The message moves an already prepared text from the root to a new child when MIME is
  // switched on; preparing it twice would double its full stops twice.
  friend class CSMTPMessage;

  std::string m_contentType = "text/plain";
  std::string m_charset = "iso-8859-1";
  std::string m_text;
  std::string m_contentBase;
  std::string m_contentID;
  std::string m_contentLocation;
  std::string m_boundary;
  bool m_quotedPrintable = true;
  std::vector<std::unique_ptr<CSMTPBodyPart>> m_children;
  CSMTPBodyPart* m_parent = nullptr;
};

enum class RecipientKind { To, Cc, Bcc };

class CSMTPMessage {
 public:
  CSMTPMessage();
  CSMTPMessage(const CSMTPMessage&) = delete;
  CSMTPMessage& operator=(const CSMTPMessage&) = delete;

  // Refuse (return false, keep the value before) an address that is not IsSafe().
  bool SetFrom(const CSMTPAddress& from);
  const CSMTPAddress& GetFrom() const { return m_from; }
  bool SetReplyTo(const CSMTPAddress& replyTo);
  const CSMTPAddress& GetReplyTo() const { return m_replyTo; }

  // Control characters in the subject become blanks.
  void SetSubject(std::string_view subject);
  const std::string& GetSubject() const { return m_subject; }
  const std::string& GetXMailer() const { return m_xMailer; }

  // Adds one recipient; false (nothing added) for an empty or unsafe address.
  bool AddRecipient(const CSMTPAddress& recipient, RecipientKind kind);
  // Adds the recipients of a text like "Name <a@b.c>; d@e.f, ...". True when the whole text was
  // taken. A ">" in front of the "<" of a piece ends the parse there; a piece whose name or
  // address is unsafe is skipped and the parse goes on. Either way the result is false with the
  // thread's last error set to 13, and what was found stays added.
  bool AddMultipleRecipients(std::string_view text, RecipientKind kind);
  const std::vector<CSMTPAddress>& GetRecipients(RecipientKind kind) const;

  // Extra header lines, written after the standard ones; false for a line with a control
  // character.
  bool AddHeaderLine(std::string_view line);

  void SetCharset(std::string_view charset) { m_root->SetCharset(charset); }
  const std::string& GetCharset() const { return m_root->GetCharset(); }
  void SetMime(bool on);
  bool GetMime() const { return m_mime; }
  void AddTextBody(std::string_view text);
  void AddHTMLBody(std::string_view html, std::string_view contentBase);

  CSMTPBodyPart& GetRootBodyPart() { return *m_root; }
  const CSMTPBodyPart& GetRootBodyPart() const { return *m_root; }

  // The header block, ending with its empty line, dated now.
  std::string GetHeader() const;
  // The same with the Date value given.
  std::string GetHeader(std::string_view date) const;
  // Everything that follows the header block up to the terminating "\r\n.\r\n" (not included).
  std::string GetBodyText() const;

 private:
  void MakeRootMultipart(std::string_view contentType);
  CSMTPBodyPart* AddChildWithRootCharset();
  std::string JoinRecipients(RecipientKind kind) const;

  CSMTPAddress m_from;
  CSMTPAddress m_replyTo;
  std::string m_subject;
  std::string m_xMailer = "CSMTPConnection v2.17";
  std::unique_ptr<CSMTPBodyPart> m_root;
  std::vector<CSMTPAddress> m_recipients[3];
  std::vector<std::string> m_headerLines;
  bool m_mime = false;
};

// --- Encoders, exposed for the tests ---

// All line ends become CR LF; a full stop at the start of any line, the first one too, is
// doubled for the SMTP transparency rule.
std::string PrepareBodyText(std::string_view text);

// Bytes 33-60 and 62-126, CR, LF, TAB and space stay, others become "=XX"; lines are cut with
// soft breaks ("=" CR LF) once they grow past 76 characters.
std::string EncodeQuotedPrintable(std::string_view text);

// `value` unchanged when all its bytes are below 128, else one "Q" encoded word in `charset`.
std::string EncodeHeaderValue(std::string_view value, std::string_view charset);

// "Tue, 07 Mar 2023 14:05:09 +0100": the date and time of `local` (only year, month, day, hour,
// minute and second are read) with English names whatever the locale, and the zone
// `utcOffsetMinutes` east of UTC.
std::string FormatMailDate(const std::tm& local, int utcOffsetMinutes);
// FormatMailDate for the program clock's now in the system's time zone.
std::string CurrentMailDate();

// A random version-4 UUID in its 36-character string form, lower case.
std::string NewUuidString();

}  // namespace tulix
