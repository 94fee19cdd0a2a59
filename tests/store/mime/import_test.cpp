// The import as a user sees its result: subject, sender, recipients, dates, bodies and
// attachments of the small messages in tests/data/mime and of messages written out below,
// each aimed at one thing that goes wrong in real mail.

#include "store/mime/import.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <ctime>
#include <string>

#include "../../support/files.h"

namespace quill::store::mime {
namespace {

using namespace std::string_literals;
const std::filesystem::path kData = std::filesystem::path(QUILL_TEST_DATA) / "mime";
constexpr FileTime kNow{134410000000000000};  // 2026-12-06 03:06:40

ImportResult FromText(const std::string& text, const ImportOptions& options = {}) {
    return ImportMessageBuffer(
        std::span(reinterpret_cast<const uint8_t*>(text.data()), text.size()), options);
}

ImportResult Import(const std::string& input) {
    ImportOptions options;
    options.now = kNow;
    if (input.ends_with(".eml")) return ImportMessageFile(kData / input, options);
    return FromText(input, options);
}

bool Warned(const ImportResult& r, const std::string& text) {
    return std::any_of(r.warnings.begin(), r.warnings.end(),
                       [&](const std::string& w) { return w.find(text) != std::string::npos; });
}

// Pseudo tags of the table below: an attachment's bytes, the number of recipients ("r") or
// attachments ("a") of a message, a warning, the categories (PidNameKeywords).
constexpr PropTag kData_ = 1, kCount = 2, kWarning = 3, kKeywords = 4;

std::string Show(const PropValue* v) {
    if (v == nullptr) return "<none>";
    if (auto* s = std::get_if<std::string>(v)) return *s;
    if (auto* i = std::get_if<int32_t>(v)) return std::to_string(*i);
    if (auto* b = std::get_if<bool>(v)) return *b ? "true" : "false";
    if (auto* b = std::get_if<Bytes>(v)) return std::string(b->begin(), b->end());
    if (auto* m = std::get_if<MultiString>(v)) {
        std::string out;
        for (const auto& s : *m) out += (out.empty() ? "" : ",") + s;
        return out;
    }
    if (auto* t = std::get_if<FileTime>(v)) {
        std::time_t unix = static_cast<std::time_t>(t->ticks / 10000000 - 11644473600LL);
        char text[32];
        std::strftime(text, sizeof text, "%F %T", std::gmtime(&unix));
        return text;
    }
    return "<other>";
}

// What `at` names of the message: "" the message, "r1" its second recipient, "a0" its first
// attachment, "a0/" the message attached as a0, and so on down.
std::string Seen(const Message& m, std::string at, PropTag tag) {
    if (at.size() > 2 && at[2] == '/')
        return Seen(*m.attachments.at(at[1] - '0').embedded, at.substr(3), tag);
    if (tag == kCount)
        return std::to_string(at == "r" ? m.recipients.size() : m.attachments.size());
    if (tag == kKeywords) {
        const NamedValue* v = m.props.findNamed({PS_PUBLIC_STRINGS, true, 0, "Keywords"});
        return Show(v ? &v->value : nullptr);
    }
    if (at.empty()) return Show(m.props.find(tag));
    const size_t i = std::stoul(at.substr(1));
    if (at[0] == 'r') return Show(m.recipients.at(i).props.find(tag));
    const Attachment& a = m.attachments.at(i);
    return tag == kData_ ? std::string(a.data.begin(), a.data.end()) : Show(a.props.find(tag));
}

// What a user sees of one message. `input`: a file of tests/data/mime or a message's text.
// Each check: where (as Seen takes it), the property, and the value as Show gives it, or with a
// first character of ~ a part of it, ! a text it must not hold, ^ its start, # its
// length; for kWarning, a part of a warning (! none may hold it).
struct Check {
    std::string at;
    PropTag tag;
    std::string want;
};
Check Is(std::string at, PropTag tag, std::string want) {
    return {std::move(at), tag, std::move(want)};
}
Check Is(PropTag tag, std::string want) {
    return {"", tag, std::move(want)};
}
struct Case {
    std::string input;
    std::vector<Check> checks;
};

std::string N(int32_t n) {
    return std::to_string(n);
}
const std::string kRead = N(MSGFLAG_READ), kReadAttached = N(MSGFLAG_READ | MSGFLAG_HASATTACH);
const std::string kFrom = "From: a@example.org\r\n";
// A message of one attachment in base64, its symbols to follow.
const std::string kBase64 = kFrom +
                            "Content-Type: application/octet-stream; "
                            "name=d.bin\r\nContent-Transfer-Encoding: base64\r\n\r\n";

const Case kCases[] = {
    // Encoded words in every charset; sent from Date, received from the topmost Received.
    {"subject-utf8-base64.eml",
     {Is(PidTagSubject, "Grüße aus Köln – 東京"), Is(PidTagClientSubmitTime, "2026-12-05 08:07:03"),
      Is(PidTagMessageDeliveryTime, "2026-12-05 08:07:05")}},
    {"subject-latin1-quoted-printable.eml",
     {Is(PidTagSubject, "Re: Café crème"), Is(PidTagSubjectPrefix, "Re: "),
      Is(PidTagNormalizedSubject, "Café crème")}},
    // An unknown charset label must not turn letters into question marks.
    {"subject-adjacent-words-and-unknown-charset.eml", {Is(PidTagSubject, "Jörg und Müller")}},
    // Undeclared 8-bit header text that is not UTF-8: Windows-1252, header block too.
    {"undeclared-8bit-headers-windows1252.eml",
     {Is(PidTagSubject, "Grüße – für Sie"), Is(PidTagSentRepresentingName, "Jürgen Groß"),
      Is("r0", PidTagDisplayName, "Anna Öberg"), Is(PidTagBody, "Käse\r\n"),
      Is(PidTagTransportMessageHeaders, "~From: Jürgen Groß")}},
    // Both bodies and the envelope; the group in Cc is expanded into its members.
    {"alternative-plain-and-html.eml",
     {Is(PidTagBody, "The figures are in.\r\nCafé at 3."), Is(PidTagHtml, "~<p>Café at 3.</p>"),
      Is(PidTagInternetCodepage, "65001"), Is(PidTagSentRepresentingName, "Smith, Ann"),
      Is(PidTagSentRepresentingSmtpAddress, "ann@example.org"), Is("r", kCount, "4"),
      Is("r2", PidTagRecipientType, N(MAPI_CC)), Is("r3", PidTagSmtpAddress, "eve@example.com"),
      Is(PidTagDisplayTo, "Bob; carol@example.com")}},
    {"alternative-plain-and-html.eml",
     {Is(PidTagDisplayCc, "dave@example.com; Eve"),
      Is(PidTagClientSubmitTime, "2026-12-08 19:30:00"),
      Is(PidTagMessageDeliveryTime, "2026-12-08 19:30:00"),
      Is(PidTagInternetMessageId, "<alt-1@example.org>"),
      Is(PidTagInReplyToId, "<orig-1@example.com>"),
      Is(PidTagInternetReferences, "<root-1@example.com> <orig-1@example.com>"),
      Is(PidTagImportance, N(IMPORTANCE_HIGH)), Is(PidTagPriority, N(PRIO_URGENT)),
      Is(PidTagSensitivity, N(SENSITIVITY_COMPANY_CONFIDENTIAL)), Is(PidTagSubjectPrefix, "RE: "),
      Is(PidTagNormalizedSubject, "Quarterly figures"), Is(PidTagMessageFlags, kRead),
      Is(PidTagHasAttachments, "false")}},
    // HTML only: kept in its charset (ISO-8859-1 read as Windows-1252), with a text rendering.
    {"html-only-latin1.eml",
     {Is(PidTagHtml,
         "~Gr\xFC\xDF"
         "e &amp; Dank"),
      Is(PidTagInternetCodepage, "1252"), Is(PidTagBody, "Grüße & Dank\r\n\r\nZweite\u00A0Zeile")}},
    // Inline images of multipart/related are hidden; an image with a Content-ID that the
    // HTML never shows stays visible, or the user would never see it.
    {"related-inline-images.eml",
     {Is("a0", PidTagAttachLongFilename, "logo.png"), Is("a0", PidTagAttachmentHidden, "true"),
      Is("a0", kData_, "#768"), Is("a0", PidTagAttachContentId, "logo@example.org"),
      Is("a0", PidTagAttachFlags, N(ATT_MHTML_REF)),
      Is("a1", PidTagAttachLongFilename, "unused.png"), Is("a1", PidTagAttachmentHidden, "<none>"),
      Is("a2", PidTagAttachmentHidden, "<none>"), Is(PidTagMessageFlags, kReadAttached)}},
    {"related-inline-image-only.eml",
     {Is("a0", PidTagAttachmentHidden, "true"), Is(PidTagMessageFlags, kRead),
      Is(PidTagHasAttachments, "false")}},
    // Attachment names (their encodings in the comparison with mailparser): a path dropped,
    // none at all.
    {"attachment-names-rfc2231.eml",
     {Is("a0", PidTagAttachMimeTag, "text/plain"), Is("a1", PidTagAttachExtension, ".doc"),
      Is("a2", PidTagAttachMimeTag, "application/octet-stream"),
      Is("a3", PidTagAttachLongFilename, "plan.txt"),
      Is("a4", PidTagAttachLongFilename, "attachment-5.jpg"),
      Is("a4", PidTagAttachExtension, ".jpg"), Is("a4", kData_, "\xFF\xD8\xFF\xE0\x00\x10"s)}},
    // A forwarded message is embedded with its own attachment (what it shows: read back from
    // the runs' stores).
    {"forwarded-message-with-attachment.eml",
     {Is("a0", PidTagAttachMethod, N(ATTACH_EMBEDDED_MSG)),
      Is("a0", PidTagAttachMimeTag, "message/rfc822"), Is("a0", PidTagDisplayName, "Contract"),
      Is("a0/", PidTagClientSubmitTime, "2026-12-09 15:45:00"), Is("a0/r", kCount, "1"),
      Is("a0/", PidTagMessageFlags, kReadAttached), Is(PidTagMessageFlags, kReadAttached)}},
    // Tags in encoded words become categories, once each; a malformed status header is
    // warned about; an attached message is read whatever its own headers say.
    {"mail-program-state.eml",
     {Is(kKeywords, "R\xC3\xA9union,Work,\xC3\xA9t\xC3\xA9"),
      Is(kWarning, "unreadable X-Status header \"1?\""), Is("a0/", PidTagMessageFlags, kRead),
      Is("a0/", kKeywords, "<none>")}},
    // Without date, sender or subject.
    {"no-date-from-subject.eml",
     {Is(PidTagSubject, "<none>"), Is(PidTagSentRepresentingName, "<none>"),
      Is(PidTagClientSubmitTime, "2026-12-06 03:06:40"), Is(kWarning, "no readable date")}},
    // Only the leading mbox line is skipped.
    {"alternative-plain-only.eml",
     {Is(PidTagBody, "Only plain text here."), Is(PidTagHtml, "<none>"),
      Is(PidTagTransportMessageHeaders, "^From: ann@example.org\r\n"),
      Is(PidTagTransportMessageHeaders, "!From sender@"), Is(PidTagMessageSize, "262")}},
    // the file less its From line
    {"no-mbox-from-line.eml",
     {Is(PidTagSubject, "No separator line"),
      Is(PidTagSentRepresentingEmailAddress, "ann@example.org"), Is(PidTagBody, "Text.\r\n")}},
    // Damaged, empty and encrypted parts: every byte that can be had is kept as an
    // attachment, the message keeps its body and its paperclip, and damage is reported.
    {"broken-base64.eml",
     {Is(PidTagBody, "Hello World"), Is("a0", kData_, "\0\1\2\3\4\5\6\7\10"s),
      Is(kWarning,
         "broken base64 data in the application/octet-stream part \"data.bin\" at byte 330"),
      Is(PidTagMessageFlags, kReadAttached)}},
    {"missing-closing-boundary.eml",
     {Is(PidTagBody, "Body text."), Is("a0", kData_, "a,b\r\n1,2\r\n"),
      Is(kWarning, "closing MIME boundary is missing")}},
    {"zero-byte-attachment.eml",
     {Is("a0", PidTagAttachLongFilename, "empty.dat"), Is("a0", PidTagAttachSize, "0"),
      Is(PidTagMessageFlags, kReadAttached)}},
    {"smime-encrypted.eml",
     {Is(PidTagMessageClass, "IPM.Note.SMIME"), Is("a0", PidTagAttachLongFilename, "smime.p7m"),
      Is("a0", kData_,
         "0\x80"
         "encrypted-blob"),
      Is(PidTagMessageFlags, kReadAttached)}},
    // A signed message keeps the signed entity byte for byte (checked below) as a hidden
    // attachment; its own attachment gives the paperclip.
    {"smime-signed.eml",
     {Is(PidTagMessageClass, "IPM.Note.SMIME.MultipartSigned"), Is(PidTagBody, "Signed text."),
      Is("a1", PidTagAttachMimeTag, "multipart/signed"), Is("a1", PidTagAttachmentHidden, "true"),
      Is(PidTagHasAttachments, "true")}},
    {"very-long-header-lines.eml",
     {Is(PidTagSubject, "#6009"), Is("r", kCount, "300"),
      Is("r299", PidTagSmtpAddress, "user299@example.com"),
      Is(PidTagInternetReferences, "~<ref499@example.com>"),
      Is(PidTagTransportMessageHeaders, "~User 299 <user299@example.com>")}},
    // Base64 short of a quartet keeps every whole byte; a lone symbol left over holds none
    // and is reported, as a stray byte is.
    {kBase64 + "QUJDREVG\r\nQ\r\n", {Is("a0", kData_, "ABCDEF"), Is(kWarning, "broken base64")}},
    {kBase64 + "QUJD!REVG\r\nQUI\r\n",
     {Is("a0", kData_, "ABCDEFAB"), Is(kWarning, "broken base64")}},
    {kBase64 + "QUJD!REVG\r\nQQ\r\n", {Is("a0", kData_, "ABCDEFA")}},
    {kBase64 + "QUJD!REVG\r\nQ\r\n", {Is("a0", kData_, "ABCDEF")}},
    // Unix line ends and a base64 text body get CRLF.
    {"From: a@example.org\nSubject: lf\nContent-Type: text/plain; charset=utf-8\n"
     "Content-Transfer-Encoding: base64\n\nbGluZSAxCmxpbmUgMgpGcm9tIG1lCg==\n",
     {Is(PidTagBody, "line 1\r\nline 2\r\nFrom me\r\n")}},
    {"From: a@example.org\nSubject: lf\n\nx\n",
     {Is(PidTagTransportMessageHeaders, "From: a@example.org\r\nSubject: lf\r\n")}},
    // Empty input and a lone mbox line still give a message (garbage in the fuzz replay).
    {"", {Is(PidTagMessageClass, "IPM.Note")}},
    {"From x\r\n", {Is(PidTagMessageFlags, kRead)}},
    // Importance, priority and sensitivity.
    {kFrom + "\r\nx\r\n",
     {Is(PidTagImportance, N(IMPORTANCE_NORMAL)), Is(PidTagPriority, N(PRIO_NORMAL)),
      Is(PidTagSensitivity, N(SENSITIVITY_NONE))}},
    {kFrom + "Importance: LOW\r\nPriority: non-urgent\r\nSensitivity: Private\r\n\r\nx",
     {Is(PidTagImportance, N(IMPORTANCE_LOW)), Is(PidTagPriority, N(PRIO_NONURGENT)),
      Is(PidTagSensitivity, N(SENSITIVITY_PRIVATE))}},
    {kFrom + "X-Priority: 1 (Highest)\r\nSensitivity: personal\r\n\r\nx",
     {Is(PidTagImportance, N(IMPORTANCE_HIGH)), Is(PidTagPriority, N(PRIO_NORMAL)),
      Is(PidTagSensitivity, N(SENSITIVITY_PERSONAL))}},
    {kFrom + "X-Priority: 5\r\n\r\nx", {Is(PidTagImportance, N(IMPORTANCE_LOW))}},
    {kFrom + "Importance: normal\r\nX-Priority: 1\r\n\r\nx",
     {Is(PidTagImportance, N(IMPORTANCE_NORMAL))}},
    {kFrom + "X-MSMail-Priority: High\r\n\r\nx", {Is(PidTagImportance, N(IMPORTANCE_HIGH))}},
    // Sent on behalf of From; Reply-To; an empty group gives no recipient and no display.
    {"From: Boss <boss@example.org>\r\nSender: Assistant <pa@example.org>\r\nReply-To: Desk "
     "<desk@example.org>, other@example.org\r\nTo: undisclosed-recipients:;\r\n\r\nx\r\n",
     {Is(PidTagSentRepresentingName, "Boss"),
      Is(PidTagSentRepresentingEmailAddress, "boss@example.org"), Is(PidTagSenderName, "Assistant"),
      Is(PidTagSenderSmtpAddress, "pa@example.org"),
      Is(PidTagSenderSearchKey, "SMTP:PA@EXAMPLE.ORG\0"s),
      Is(PidTagReplyRecipientNames, "Desk; other@example.org"),
      Is(PidTagReplyRecipientEntries, "^\x02"),  // two one-off entry IDs
      Is("r", kCount, "0"), Is(PidTagDisplayTo, "<none>")}},
    // Parts GMime cannot split are kept, not dropped: a multipart without a boundary
    // becomes a text attachment; a forwarded message sent in base64 is still embedded.
    {kFrom + "Content-Type: multipart/mixed\r\n\r\n--x\r\nContent-Type: text/plain\r\n\r\n"
             "hello\r\n--x--\r\n",
     {Is("a0", kData_, "~hello"), Is(kWarning, "multipart without a boundary")}},
    {kFrom + "Content-Type: multipart/mixed; boundary=b\r\n\r\n--b\r\nContent-Type: "
             "message/rfc822\r\nContent-Transfer-Encoding: base64\r\n\r\n"
             "RnJvbTogeEB5LnoNClN1YmplY3Q6IGlubmVyDQoNCmJvZHkNCg==\r\n--b--\r\n",
     {Is("a0/", PidTagSubject, "inner"), Is("a0/", PidTagBody, "body\r\n")}},
    // NUL bytes in a text body and a charset label that names no charset.
    {kFrom + "Content-Type: text/plain; charset=x-unknown\r\n\r\nK\xE4se\0!\r\n"s,
     {Is(PidTagBody, "Käse!\r\n"), Is(kWarning, "unknown charset \"x-unknown\"")}},
    // A text part given as an attachment.
    {kFrom + "Content-Type: text/plain\r\nContent-Disposition: attachment; filename=a.txt\r\n\r\nx",
     {Is("a0", PidTagAttachLongFilename, "a.txt")}},
    // An 8-bit sender without any charset: kept, read as Windows-1252.
    {"From: Caf\xE9 <caf\xE9@example.com>\r\n\r\nx", {Is(PidTagSentRepresentingName, "Café")}},
    {"From: Caf\xE9 <caf\xE9@example.com>\r\nSender: s@example.com\r\n\r\nx",
     {Is(PidTagSentRepresentingEmailAddress, "café@example.com")}},
    // A repeated header: the first one counts, as in mainstream parsers.
    {kFrom +
         "Content-Type: multipart/alternative; boundary=\"XX\"\r\n"
         "Content-Type: text/plain; charset=us-ascii\r\n\r\n--XX\r\nContent-Type: text/plain\r\n"
         "\r\nplain\r\n--XX\r\nContent-Type: text/html\r\n\r\n<p>html</p>\r\n--XX--\r\n",
     {Is(PidTagHtml, "<p>html</p>")}},
    {kFrom + "Content-Type: multipart/mixed; boundary=b\r\n\r\n--b\r\nContent-Type: text/plain\r\n"
             "Content-Type: application/octet-stream\r\n\r\nhello\r\n--b--\r\n",
     {Is(PidTagBody, "hello")}},
    {kFrom + "Content-Type: text/plain\r\nContent-Transfer-Encoding: base64\r\n"
             "Content-Transfer-Encoding: 7bit\r\n\r\nSGk=\r\n",
     {Is(PidTagBody, "Hi")}},
    // Bad input: nothing dropped, and never quietly.
    {kFrom + "To: Anna Nym <<<\r\n\r\nx",
     {Is("r0", PidTagDisplayName, "Anna Nym <<<"),
      Is(kWarning, "unreadable address list in the To header")}},
    {kFrom + "Subject: =?utf-8?B?#?= x\r\n\r\nx",
     {Is(PidTagSubject, "=?utf-8?B?#?= x"),
      Is(kWarning, "undecodable text in the Subject header")}},
    {kFrom + "Subject: =?utf-8?Q?K=E4se?=\r\n\r\nx",
     {Is(PidTagSubject, "Käse"), Is(kWarning, "undecodable text in the Subject header")}},
};

bool Matches(const std::string& got, const std::string& want) {
    const std::string rest = want.empty() ? "" : want.substr(1);
    switch (want.empty() ? ' ' : want[0]) {
        case '~':
            return got.find(rest) != std::string::npos;
        case '!':
            return got.find(rest) == std::string::npos;
        case '^':
            return got.starts_with(rest);
        case '#':
            return std::to_string(got.size()) == rest;
        default:
            return got == want;
    }
}

// Every check; and for every message, no string property stored empty. (A message read from
// memory and from its file: compared below, over large damaged parts.)
TEST(MimeImport, WhatTheUserSees) {
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.input.substr(0, 300));
        const ImportResult r = Import(c.input);
        for (const Check& check : c.checks) {
            if (check.tag == kWarning) {
                EXPECT_EQ(Warned(r, check.want.substr(check.want[0] == '!')), check.want[0] != '!')
                    << check.want << " in " << ::testing::PrintToString(r.warnings);
                continue;
            }
            std::string got = Seen(r.message, check.at, check.tag);
            EXPECT_TRUE(Matches(got, check.want)) << check.at << " " << std::hex << check.tag
                                                  << ": " << got << "\nwant " << check.want;
        }
        for (const auto& [tag, value] : r.message.props.tagged()) {
            auto* s = std::get_if<std::string>(&value);
            EXPECT_TRUE(s == nullptr || !s->empty()) << std::hex << tag;
        }
        if (!c.input.ends_with(".eml")) continue;
        const std::string file = quill::testing::ReadFile(kData / c.input);
        // Short names stay 8.3; a signed entity is kept byte for byte.
        for (const Attachment& a : r.message.attachments) {
            EXPECT_LE(a.props.string(PidTagAttachFilename).value_or("").size(), 12u);
            if (a.props.string(PidTagAttachMimeTag) == "multipart/signed") {
                EXPECT_EQ(std::string(a.data.begin(), a.data.end()),
                          file.substr(file.find("Content-Type: multipart/signed")));
            }
        }
    }
}

// Parts larger than the import's 64 KiB reading pieces, damaged near where the pieces meet, in
// each transfer encoding: a message read from memory (decoded where it lies) and from its file
// (read through the stream piece by piece) must give the same bytes and the same warnings.
TEST(MimeImport, BufferAndFileDecodeLargeDamagedPartsAlike) {
    std::string base64, quoted, uuencoded = "begin 644 u.bin\r\n";
    for (int i = 0; i < 1800; ++i) {
        base64 += "AAECAwQFBgcICQoLDA0ODxAREhMUFRYXGBkaGxwdHh8gISIjJCUmJygpKiss\r\n";
        quoted += "caf=C3=A9 soft line break here, then more text =\r\n";
        uuencoded += "M86)C9&5F9VAI:FML;6YO<'%R<W1U=G=X>7HP,3(S-#4V-S@Y86)C9&5F9VAI\r\n";
    }
    base64.insert(65536 - 2, "==");    // padding in the middle, the last bytes of a piece
    base64.insert(65536 + 10, "*");    // a foreign byte just after it
    quoted.insert(65536 - 200, "=4");  // an escape cut by the end of a piece
    uuencoded += "`\r\nend\r\n";
    std::string msg = "From a@example.org Sat Dec  5 09:07:03 2026\r\n" + kFrom +
                      "Content-Type: multipart/mixed; boundary=\"b\"\r\n\r\n";
    for (const auto& [encoding, content] :
         {std::pair{"base64", &base64}, {"quoted-printable", &quoted}, {"x-uuencode", &uuencoded}})
        msg += "--b\r\nContent-Type: application/octet-stream\r\nContent-Transfer-Encoding: "s +
               encoding + "\r\n\r\n" + *content;
    msg += "--b--\r\n";
    const auto file = std::filesystem::path(::testing::TempDir()) / "quill-large-parts.eml";
    quill::testing::WriteFile(file, msg);
    ImportResult fromFile = ImportMessageFile(file);
    ImportResult fromBuffer = FromText(msg);
    std::filesystem::remove(file);
    ASSERT_EQ(fromFile.message.attachments.size(), 3u);
    ASSERT_EQ(fromBuffer.message.attachments.size(), 3u);
    for (size_t i = 0; i < 3; ++i) {
        EXPECT_FALSE(fromFile.message.attachments[i].data.empty()) << i;
        EXPECT_EQ(fromBuffer.message.attachments[i].data, fromFile.message.attachments[i].data)
            << i;
    }
    EXPECT_EQ(fromBuffer.warnings, fromFile.warnings);
    EXPECT_TRUE(Warned(fromBuffer, "broken base64 data"));
}

// A byte that has no place in base64 is reported wherever it stands: in each of the census's
// four lanes and among the bytes after its last group of four.
TEST(MimeImport, AStrayByteAnywhereInBase64IsReported) {
    const std::string clean = "QUJDREVGR0hJSktMTU5PUFFS\r\n";
    EXPECT_FALSE(Warned(FromText(kBase64 + clean), "broken base64"));
    for (size_t at = 0; at <= clean.size(); ++at) {
        std::string broken = clean;
        broken.insert(at, 1, "!\xC3-"[at % 3]);
        EXPECT_TRUE(Warned(FromText(kBase64 + broken), "broken base64")) << "at " << at;
    }
}

TEST(MimeImport, UnreadableFileSaysWhichAndWhy) {
    const std::filesystem::path missing = kData / "does-not-exist.eml";
    try {
        ImportMessageFile(missing);
        FAIL() << "no error";
    } catch (const ImportError& e) {
        EXPECT_EQ(e.file(), missing);
        EXPECT_EQ(e.reason(), "No such file or directory");
        EXPECT_NE(std::string(e.what()).find(missing.string()), std::string::npos);
    }
    EXPECT_THROW(ImportMessageFile(kData), ImportError);  // a folder
}

}  // namespace
}  // namespace quill::store::mime
